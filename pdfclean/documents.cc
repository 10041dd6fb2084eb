#include "pdfclean/documents.h"

#include <qpdf/Buffer.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <filesystem>
#include <set>
#include <string_view>
#include <utility>

#include "pdfclean/limits.h"
#include "platform/trust.h"

namespace docmill::pdfclean::documents {

namespace {

[[noreturn]] void tooDeep(const std::string& name) {
  throw FinishError(name + " is nested too deeply");
}

[[noreturn]] void damaged(const std::string& name, const std::string& why) {
  throw FinishError(name + " is a damaged PDF file that cannot be read (" + why + ")");
}

// Collects what a stream decodes to, and stops it past a limit.
class BoundedText : public Pipeline {
 public:
  struct TooLong : std::exception {};
  BoundedText(std::string& out, size_t limit)
      : Pipeline("bounded text", nullptr), out_(out), limit_(limit) {}
  void write(unsigned char const* data, size_t length) override {
    if (length > limit_ - out_.size()) throw TooLong();
    out_.append(reinterpret_cast<const char*>(data), length);
  }
  void finish() override {}

 private:
  std::string& out_;
  size_t limit_;
};

}  // namespace

std::string describe(const std::exception& e) {
  if (auto* q = dynamic_cast<const QPDFExc*>(&e)) return q->getMessageDetail();
  return e.what();
}

void open(QPDF& pdf, const std::string& path, const std::string& name, const OpenRules& rules) {
  pdf.setSuppressWarnings(true);
  pdf.setAttemptRecovery(rules.repair);
  try {
    pdf.processFile(path.c_str(), rules.password.empty() ? nullptr : rules.password.c_str());
    if (!pdf.getRoot().getKey("/Pages").isDictionary()) damaged(name, "it has no page tree");
  } catch (const FinishError&) {
    throw;
  } catch (const QPDFExc& e) {
    if (e.getErrorCode() == qpdf_e_password) {
      throw FinishError(name +
                        (rules.password.empty()
                             ? " is encrypted and cannot be opened without its password"
                             : " is encrypted and cannot be opened with the password given"));
    }
    damaged(name, e.getMessageDetail());
  } catch (const std::exception& e) {
    damaged(name, e.what());
  }
}

std::vector<QPDFObjectHandle> pages(QPDF& pdf, const std::string& name) {
  // libqpdf walks the page tree by recursion: its depth is looked at first.
  std::vector<std::pair<QPDFObjectHandle, int>> stack = {{pdf.getRoot().getKey("/Pages"), 0}};
  std::set<QPDFObjGen> seen;
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > kMaxDepth) tooDeep(name);
    if (node.isIndirect() && !seen.insert(node.getObjGen()).second) continue;
    if (!node.isDictionary()) continue;
    QPDFObjectHandle kids = node.getKey("/Kids");
    if (!kids.isArray()) continue;
    for (int i = kids.getArrayNItems() - 1; i >= 0; --i) {
      stack.emplace_back(kids.getArrayItem(i), depth + 1);
    }
  }
  try {
    return pdf.getAllPages();
  } catch (const std::exception& e) {
    damaged(name, describe(e));
  }
}

void Copier::check(QPDFObjectHandle object) {
  // The same walk as libqpdf's copying: depth first, dictionary keys in order, each object
  // once, never into a page tree node or (below the top) another page.
  std::vector<std::pair<QPDFObjectHandle, int>> stack = {{object, 0}};
  while (!stack.empty()) {
    auto [h, depth] = stack.back();
    stack.pop_back();
    if (depth > kMaxReferenceChain) tooDeep(name_);
    if (h.isPagesObject()) continue;
    if (h.isIndirect()) {
      if (depth > 0 && h.isPageObject()) continue;
      if (!reserved_.insert(h.getObjGen()).second) continue;
    }
    if (h.isArray()) {
      for (int i = h.getArrayNItems() - 1; i >= 0; --i) {
        stack.emplace_back(h.getArrayItem(i), depth + 1);
      }
    } else if (h.isDictionary()) {
      const std::set<std::string> keys = h.getKeys();
      for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        stack.emplace_back(h.getKey(*key), depth + 1);
      }
    } else if (h.isStream()) {
      stack.emplace_back(h.getDict(), depth + 1);
    }
  }
}

QPDFObjectHandle Copier::copy(QPDFObjectHandle object) {
  if (!object.isIndirect()) object = from_.makeIndirectObject(object);
  check(object);
  return to_.copyForeignObject(object);
}

std::map<QPDFObjGen, QPDFObjectHandle> Copier::copyPages(
    const std::vector<QPDFObjectHandle>& chosen) {
  std::map<QPDFObjGen, QPDFObjectHandle> copies;
  try {
    // What pages take from the page tree above them goes with them.
    from_.pushInheritedAttributesToPage();
  } catch (const std::exception& e) {
    damaged(name_, describe(e));
  }
  QPDFAcroFormDocumentHelper fromForms(from_);
  const bool forms = fromForms.hasAcroForm();
  if (forms) check(from_.getRoot().getKey("/AcroForm"));
  QPDFPageDocumentHelper toPages(to_);
  std::vector<std::pair<QPDFObjectHandle, QPDFObjectHandle>> pairs;
  for (const QPDFObjectHandle& page : chosen) {
    QPDFObjectHandle copied = copy(page);
    toPages.addPage(QPDFPageObjectHelper(copied), false);
    copies[page.getObjGen()] = copied;
    pairs.emplace_back(page, copied);
  }
  if (forms) {
    QPDFAcroFormDocumentHelper toForms(to_);
    for (auto& [page, copied] : pairs) {
      QPDFObjectHandle before = copied.getKey("/Annots");
      std::vector<QPDFObjectHandle> first;
      for (int i = 0; before.isArray() && i < before.getArrayNItems(); ++i) {
        first.push_back(before.getArrayItem(i));
      }
      toForms.fixCopiedAnnotations(copied, page, fromForms);
      QPDFObjectHandle after = copied.getKey("/Annots");
      if (!after.isArray() || static_cast<size_t>(after.getArrayNItems()) != first.size()) continue;
      for (size_t i = 0; i < first.size(); ++i) {
        QPDFObjectHandle now = after.getArrayItem(static_cast<int>(i));
        if (first[i].isIndirect() && now.getObjGen() != first[i].getObjGen()) {
          recopied_[first[i].getObjGen()] = now;
        }
      }
    }
  }
  // A link copied before the page it leads to was copied leads nowhere; each is set again
  // from its original, and every annotation names the page it is now on.
  for (auto& [page, copied] : pairs) {
    QPDFObjectHandle before = page.getKey("/Annots"), after = copied.getKey("/Annots");
    if (!before.isArray() || !after.isArray() ||
        before.getArrayNItems() != after.getArrayNItems()) {
      continue;
    }
    for (int i = 0; i < before.getArrayNItems(); ++i) {
      QPDFObjectHandle original = before.getArrayItem(i), annotation = after.getArrayItem(i);
      if (!original.isDictionary() || !annotation.isDictionary()) continue;
      if (annotation.hasKey("/P")) annotation.replaceKey("/P", copied);
      if (!original.getKey("/Subtype").isNameAndEquals("/Link")) continue;
      if (original.hasKey("/Dest")) {
        if (auto dest = destination(original.getKey("/Dest"), copies)) {
          annotation.replaceKey("/Dest", *dest);
        } else {
          annotation.removeKey("/Dest");
        }
      }
      QPDFObjectHandle action = original.getKey("/A"), copiedAction = annotation.getKey("/A");
      if (action.isDictionary() && action.getKey("/S").isNameAndEquals("/GoTo") &&
          copiedAction.isDictionary()) {
        if (auto dest = destination(action.getKey("/D"), copies)) {
          copiedAction.replaceKey("/D", *dest);
        } else {
          annotation.removeKey("/A");
        }
      }
    }
  }
  return copies;
}

std::optional<QPDFObjectHandle> Copier::destination(
    QPDFObjectHandle dest, const std::map<QPDFObjGen, QPDFObjectHandle>& copies) {
  try {
    if (dest.isName() || dest.isString()) {
      if (!outlines_) outlines_.emplace(from_);
      dest = outlines_->resolveNamedDest(dest);
    }
    if (dest.isDictionary()) dest = dest.getKey("/D");
    if (!dest.isArray() || dest.getArrayNItems() < 1) return std::nullopt;
    QPDFObjectHandle page = dest.getArrayItem(0);
    if (!page.isIndirect()) return std::nullopt;
    auto copy = copies.find(page.getObjGen());
    if (copy == copies.end()) return std::nullopt;
    QPDFObjectHandle result = QPDFObjectHandle::newArray();
    result.appendItem(copy->second);
    for (int i = 1; i < dest.getArrayNItems(); ++i) {
      QPDFObjectHandle item = dest.getArrayItem(i);
      if (item.isIndirect() || !item.isScalar()) return std::nullopt;
      result.appendItem(QPDFObjectHandle::parse(item.unparse()));
    }
    return result;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> decoded(QPDFObjectHandle stream, size_t limit) {
  if (!stream.isStream()) return std::nullopt;
  std::string text;
  BoundedText sink(text, limit);
  try {
    if (!stream.pipeStreamData(&sink, 0, qpdf_dl_generalized, true)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> readXmp(QPDF& pdf) {
  return decoded(pdf.getRoot().getKey("/Metadata"), kMaxXmpBytes);
}

void writeXmp(QPDF& pdf, const std::string& xmp) {
  QPDFObjectHandle stream = QPDFObjectHandle::newStream(&pdf, xmp);
  QPDFObjectHandle dict = stream.getDict();
  dict.replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
  dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
  pdf.getRoot().replaceKey("/Metadata", stream);
}

void write(QPDF& pdf, const std::string& path, unsigned mode,
           const std::function<void(QPDFWriter&)>& configure, bool strict) {
  std::shared_ptr<Buffer> bytes;
  try {
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.setDecodeLevel(qpdf_dl_none);
    if (configure) configure(writer);
    writer.write();
    bytes = writer.getBufferSharedPointer();
    if (strict && pdf.anyWarnings()) {
      throw FinishError(std::filesystem::path(path).filename().string() + " is a damaged PDF file");
    }
  } catch (const FinishError&) {
    throw;
  } catch (const std::exception& e) {
    throw FinishError("the PDF cannot be written: " + describe(e));
  }
  const std::filesystem::path file(path);
  const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
  try {
    platform::replaceFile(
        folder, file.filename().string(),
        std::string_view(reinterpret_cast<const char*>(bytes->getBuffer()), bytes->getSize()),
        static_cast<mode_t>(mode));
  } catch (const platform::OsError& e) {
    throw FinishError("the PDF cannot be written to " + path + ": " + e.what());
  }
}

}  // namespace docmill::pdfclean::documents
