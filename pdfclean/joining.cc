// Joining PDFs into one, with what makes them navigable and accessible.
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFNumberTreeObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <filesystem>
#include <memory>
#include <set>

#include "pdfclean/conformance_checks.h"
#include "pdfclean/documents.h"
#include "pdfclean/finishing.h"
#include "pdfclean/finishing_steps.h"
#include "pdfclean/limits.h"
#include "pdfclean/xmp.h"
#include "platform/files.h"

namespace docmill::pdfclean {

namespace {

using PageCopies = std::map<QPDFObjGen, QPDFObjectHandle>;

[[noreturn]] void tooDeep(const std::string& name) {
  throw FinishError(name + " is nested too deeply");
}

bool isName(QPDFObjectHandle h, const char* name) {
  return h.isName() && h.getName() == name;
}

QPDFObjectHandle scalarCopy(QPDFObjectHandle h) {
  return QPDFObjectHandle::parse(h.unparse());
}

struct Input {
  std::string name;   // in failures
  std::string title;  // of its outline entry
  std::unique_ptr<QPDF> pdf = std::make_unique<QPDF>();
  std::vector<QPDFObjectHandle> pages;
  bool tagged = false;
  std::optional<xmp::Packet> xmp;
  std::string pdfaPart, pdfaLevel;
  bool declaresUa = false;
  std::unique_ptr<documents::Copier> copier;
  PageCopies copies;
};

bool isTagged(QPDF& pdf) {
  QPDFObjectHandle root = pdf.getRoot();
  QPDFObjectHandle mark = root.getKey("/MarkInfo");
  return root.getKey("/StructTreeRoot").isDictionary() && mark.isDictionary() &&
         mark.getKey("/Marked").isBool() && mark.getKey("/Marked").getBoolValue();
}

std::string listOf(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

// ---- structure -------------------------------------------------------------------------

// The structure trees of the inputs under one root: their top elements side by side, their
// parent trees in one with each input's keys moved past those before it, their role and
// class maps merged.
class Structure {
 public:
  explicit Structure(QPDF& out)
      : out_(out),
        root_(out.makeIndirectObject(QPDFObjectHandle::newDictionary())),
        kids_(QPDFObjectHandle::newArray()),
        roles_(QPDFObjectHandle::newDictionary()),
        classes_(QPDFObjectHandle::newDictionary()) {}

  void add(Input& input, const std::string& language) {
    QPDFObjectHandle tree = input.copier->copy(input.pdf->getRoot().getKey("/StructTreeRoot"));
    const long long offset = next_;
    long long span = 0;
    QPDFObjectHandle nextKey = tree.getKey("/ParentTreeNextKey");
    if (nextKey.isInteger() && nextKey.getIntValue() > 0) span = nextKey.getIntValue();
    if (tree.getKey("/ParentTree").isDictionary()) {
      try {
        QPDFNumberTreeObjectHelper parents(tree.getKey("/ParentTree"), out_);
        for (auto entry : parents) {
          if (entry.first < 0 || entry.first > (1LL << 40)) continue;
          parents_.emplace_back(entry.first + offset, entry.second);
          span = std::max(span, entry.first + 1);
        }
      } catch (const std::exception& e) {
        throw FinishError(input.name + " is a damaged PDF file that cannot be read (" +
                          documents::describe(e) + ")");
      }
    }
    next_ += span;
    if (offset > 0) {
      std::set<QPDFObjGen> seen;
      for (auto& [original, page] : input.copies) shiftParents(page, offset, seen, input.name);
    }

    std::vector<QPDFObjectHandle> top;
    QPDFObjectHandle k = tree.getKey("/K");
    if (k.isDictionary()) top.push_back(k);
    for (int i = 0; k.isArray() && i < k.getArrayNItems(); ++i) {
      if (k.getArrayItem(i).isDictionary()) top.push_back(k.getArrayItem(i));
    }
    const std::map<std::string, std::string> roles = merge(roles_, tree.getKey("/RoleMap"));
    const std::map<std::string, std::string> classes = merge(classes_, tree.getKey("/ClassMap"));
    rename(top, roles, classes, input.copier->recopiedAnnotations(), input.name);
    for (QPDFObjectHandle element : top) {
      element.replaceKey("/P", root_);
      // Each input's part speaks its input's language where that differs from the whole.
      if (!language.empty() && !element.hasKey("/Lang")) {
        QPDFObjectHandle lang = input.pdf->getRoot().getKey("/Lang");
        if (lang.isString() && lang.getUTF8Value() != language) {
          element.replaceKey("/Lang", scalarCopy(lang));
        }
      }
      kids_.appendItem(element);
    }
  }

  // Puts the joined tree into the catalog.
  void finish() {
    QPDFObjectHandle nums = QPDFObjectHandle::newArray();
    for (auto& [key, value] : parents_) {
      nums.appendItem(QPDFObjectHandle::newInteger(key));
      nums.appendItem(value);
    }
    QPDFObjectHandle parentTree = QPDFObjectHandle::newDictionary();
    parentTree.replaceKey("/Nums", nums);
    root_.replaceKey("/Type", QPDFObjectHandle::newName("/StructTreeRoot"));
    root_.replaceKey("/K", kids_);
    root_.replaceKey("/ParentTree", out_.makeIndirectObject(parentTree));
    root_.replaceKey("/ParentTreeNextKey", QPDFObjectHandle::newInteger(next_));
    if (!roles_.getKeys().empty()) root_.replaceKey("/RoleMap", roles_);
    if (!classes_.getKeys().empty()) root_.replaceKey("/ClassMap", classes_);
    QPDFObjectHandle catalog = out_.getRoot();
    catalog.replaceKey("/StructTreeRoot", root_);
    QPDFObjectHandle mark = QPDFObjectHandle::newDictionary();
    mark.replaceKey("/Marked", QPDFObjectHandle::newBool(true));
    catalog.replaceKey("/MarkInfo", mark);
  }

 private:
  static void shift(QPDFObjectHandle dict, const char* key, long long offset) {
    QPDFObjectHandle value = dict.getKey(key);
    if (value.isInteger())
      dict.replaceKey(key, QPDFObjectHandle::newInteger(value.getIntValue() + offset));
  }

  // Moves the parent tree keys that `page`, its annotations and its form XObjects (and theirs)
  // hold by `offset`.
  static void shiftParents(QPDFObjectHandle page, long long offset, std::set<QPDFObjGen>& seen,
                           const std::string& name) {
    shift(page, "/StructParents", offset);
    QPDFObjectHandle annotations = page.getKey("/Annots");
    for (int i = 0; annotations.isArray() && i < annotations.getArrayNItems(); ++i) {
      QPDFObjectHandle annotation = annotations.getArrayItem(i);
      if (annotation.isDictionary() &&
          (!annotation.isIndirect() || seen.insert(annotation.getObjGen()).second)) {
        shift(annotation, "/StructParent", offset);
      }
    }
    std::vector<std::pair<QPDFObjectHandle, int>> resources = {{page.getKey("/Resources"), 0}};
    while (!resources.empty()) {
      auto [dict, depth] = resources.back();
      resources.pop_back();
      if (depth > kMaxDepth) tooDeep(name);
      if (!dict.isDictionary()) continue;
      QPDFObjectHandle xobjects = dict.getKey("/XObject");
      if (!xobjects.isDictionary()) continue;
      for (const std::string& key : xobjects.getKeys()) {
        QPDFObjectHandle xobject = xobjects.getKey(key);
        if (!xobject.isStream() || !seen.insert(xobject.getObjGen()).second) continue;
        QPDFObjectHandle xdict = xobject.getDict();
        shift(xdict, "/StructParents", offset);
        shift(xdict, "/StructParent", offset);
        resources.emplace_back(xdict.getKey("/Resources"), depth + 1);
      }
    }
  }

  // Adds the entries of `map` to `into`; an entry whose name is taken by another meaning gets
  // a new name. Returns the names changed.
  std::map<std::string, std::string> merge(QPDFObjectHandle into, QPDFObjectHandle map) {
    std::map<std::string, std::string> renamed;
    if (!map.isDictionary()) return renamed;
    const std::set<std::string> keys = map.getKeys();
    for (const std::string& key : keys) {
      QPDFObjectHandle existing = into.getKey(key);
      if (existing.isNull() || existing.unparse() == map.getKey(key).unparse()) continue;
      std::string fresh;
      for (int n = 2; fresh.empty() || into.hasKey(fresh) || keys.count(fresh); ++n) {
        fresh = key + "_" + std::to_string(n);
      }
      renamed[key] = fresh;
    }
    for (const std::string& key : keys) {
      QPDFObjectHandle value = map.getKey(key);
      // A role may map to another role of the same map that was renamed.
      if (value.isName() && renamed.count(value.getName())) {
        value = QPDFObjectHandle::newName(renamed.at(value.getName()));
      }
      const auto it = renamed.find(key);
      const std::string target = it == renamed.end() ? key : it->second;
      if (!into.hasKey(target)) into.replaceKey(target, value);
    }
    return renamed;
  }

  // Gives the elements under `top` the new names of their roles and classes, and their
  // object references the annotations as they are on the pages.
  static void rename(const std::vector<QPDFObjectHandle>& top,
                     const std::map<std::string, std::string>& roles,
                     const std::map<std::string, std::string>& classes,
                     const std::map<QPDFObjGen, QPDFObjectHandle>& annotations,
                     const std::string& name) {
    if (roles.empty() && classes.empty() && annotations.empty()) return;
    std::vector<std::pair<QPDFObjectHandle, int>> stack;
    for (const auto& element : top) stack.emplace_back(element, 0);
    std::set<QPDFObjGen> seen;
    auto renamed = [](QPDFObjectHandle h, const std::map<std::string, std::string>& names) {
      if (h.isName() && names.count(h.getName())) {
        return QPDFObjectHandle::newName(names.at(h.getName()));
      }
      return h;
    };
    while (!stack.empty()) {
      auto [element, depth] = stack.back();
      stack.pop_back();
      if (depth > kMaxDepth) tooDeep(name);
      if (element.isIndirect() && !seen.insert(element.getObjGen()).second) continue;
      if (element.isArray()) {
        for (int i = 0; i < element.getArrayNItems(); ++i) {
          stack.emplace_back(element.getArrayItem(i), depth + 1);
        }
        continue;
      }
      if (!element.isDictionary()) continue;
      if (QPDFObjectHandle object = element.getKey("/Obj"); object.isIndirect()) {
        const auto it = annotations.find(object.getObjGen());
        if (it != annotations.end()) element.replaceKey("/Obj", it->second);
      }
      if (!element.hasKey("/S")) continue;
      element.replaceKey("/S", renamed(element.getKey("/S"), roles));
      QPDFObjectHandle c = element.getKey("/C");
      if (c.isName()) element.replaceKey("/C", renamed(c, classes));
      for (int i = 0; c.isArray() && i < c.getArrayNItems(); ++i) {
        c.setArrayItem(i, renamed(c.getArrayItem(i), classes));
      }
      stack.emplace_back(element.getKey("/K"), depth + 1);
    }
  }

  QPDF& out_;
  QPDFObjectHandle root_, kids_, roles_, classes_;
  std::vector<std::pair<long long, QPDFObjectHandle>> parents_;
  long long next_ = 0;
};

// ---- outlines --------------------------------------------------------------------------

class Outline {
 public:
  explicit Outline(QPDF& out) : out_(out) {}

  // Adds the input's own outline after those of the inputs before it: under an entry for
  // `input` leading to its first page, or (`alone`: the only input) as it is.
  void add(Input& input, bool structure, bool alone) {
    if (alone) {
      QPDFObjectHandle outlines = input.pdf->getRoot().getKey("/Outlines");
      if (!outlines.isDictionary()) return;
      std::set<QPDFObjGen> seen;
      for (Item& item : level(input, outlines.getKey("/First"), 1, seen, structure)) {
        top_.push_back(item);
      }
      return;
    }
    if (input.pages.empty()) return;
    Item entry{out_.makeIndirectObject(QPDFObjectHandle::newDictionary())};
    entry.dict.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(input.title));
    QPDFObjectHandle dest = QPDFObjectHandle::newArray();
    dest.appendItem(input.copies.at(input.pages.front().getObjGen()));
    dest.appendItem(QPDFObjectHandle::newName("/Fit"));
    entry.dict.replaceKey("/Dest", dest);
    QPDFObjectHandle outlines = input.pdf->getRoot().getKey("/Outlines");
    if (outlines.isDictionary()) {
      std::set<QPDFObjGen> seen;
      std::vector<Item> children = level(input, outlines.getKey("/First"), 1, seen, structure);
      if (!children.empty()) {
        entry.open = true;
        entry.visible = link(entry.dict, children);
        entry.dict.replaceKey("/Count", QPDFObjectHandle::newInteger(entry.visible));
      }
    }
    top_.push_back(entry);
  }

  // Puts the joined outline into the catalog.
  void finish() {
    if (top_.empty()) return;
    QPDFObjectHandle root = out_.makeIndirectObject(QPDFObjectHandle::newDictionary());
    root.replaceKey("/Type", QPDFObjectHandle::newName("/Outlines"));
    root.replaceKey("/Count", QPDFObjectHandle::newInteger(link(root, top_)));
    out_.getRoot().replaceKey("/Outlines", root);
  }

 private:
  struct Item {
    QPDFObjectHandle dict;
    long long visible = 0;  // descendants shown when it is open
    bool open = false;
  };

  // Makes `items` the children of `parent`; returns how many entries they show.
  static long long link(QPDFObjectHandle parent, const std::vector<Item>& items) {
    long long shown = 0;
    for (size_t i = 0; i < items.size(); ++i) {
      QPDFObjectHandle dict = items[i].dict;
      dict.replaceKey("/Parent", parent);
      if (i > 0) dict.replaceKey("/Prev", items[i - 1].dict);
      if (i + 1 < items.size()) dict.replaceKey("/Next", items[i + 1].dict);
      shown += 1 + (items[i].open ? items[i].visible : 0);
    }
    parent.replaceKey("/First", items.front().dict);
    parent.replaceKey("/Last", items.back().dict);
    return shown;
  }

  std::vector<Item> level(Input& input, QPDFObjectHandle first, int depth,
                          std::set<QPDFObjGen>& seen, bool structure) {
    if (depth > kMaxDepth) tooDeep(input.name);
    std::vector<Item> items;
    for (QPDFObjectHandle source = first; source.isDictionary(); source = source.getKey("/Next")) {
      if (source.isIndirect() && !seen.insert(source.getObjGen()).second) break;
      if (++count_ > kMaxOutlineItems) {
        throw FinishError(input.name + " has more than " + std::to_string(kMaxOutlineItems) +
                          " bookmarks");
      }
      Item item{out_.makeIndirectObject(QPDFObjectHandle::newDictionary())};
      QPDFObjectHandle title = source.getKey("/Title");
      item.dict.replaceKey("/Title",
                           title.isString() ? scalarCopy(title) : QPDFObjectHandle::newString(""));
      destinationOf(input, source, item.dict);
      QPDFObjectHandle color = source.getKey("/C");
      if (color.isArray() && color.getArrayNItems() == 3)
        item.dict.replaceKey("/C", scalarsOf(color));
      QPDFObjectHandle flags = source.getKey("/F");
      if (flags.isInteger()) item.dict.replaceKey("/F", scalarCopy(flags));
      if (structure && source.getKey("/SE").isDictionary()) {
        item.dict.replaceKey("/SE", input.copier->copy(source.getKey("/SE")));
      }
      std::vector<Item> children =
          level(input, source.getKey("/First"), depth + 1, seen, structure);
      if (!children.empty()) {
        QPDFObjectHandle count = source.getKey("/Count");
        item.open = count.isInteger() && count.getIntValue() > 0;
        item.visible = link(item.dict, children);
        item.dict.replaceKey(
            "/Count", QPDFObjectHandle::newInteger(item.open ? item.visible : -item.visible));
      }
      items.push_back(item);
    }
    return items;
  }

  static QPDFObjectHandle scalarsOf(QPDFObjectHandle array) {
    QPDFObjectHandle out = QPDFObjectHandle::newArray();
    for (int i = 0; i < array.getArrayNItems(); ++i) {
      QPDFObjectHandle item = array.getArrayItem(i);
      out.appendItem(item.isScalar() ? scalarCopy(item) : QPDFObjectHandle::newNull());
    }
    return out;
  }

  // Where the entry `source` leads, set on `target`: a place in the joined file, a web
  // address, a named action; anything else is copied as it is (active content is the
  // caller's to remove).
  void destinationOf(Input& input, QPDFObjectHandle source, QPDFObjectHandle target) {
    if (source.hasKey("/Dest")) {
      if (auto dest = input.copier->destination(source.getKey("/Dest"), input.copies)) {
        target.replaceKey("/Dest", *dest);
      }
      return;
    }
    QPDFObjectHandle action = source.getKey("/A");
    if (!action.isDictionary()) return;
    if (isName(action.getKey("/S"), "/GoTo")) {
      if (auto dest = input.copier->destination(action.getKey("/D"), input.copies)) {
        target.replaceKey("/Dest", *dest);
      }
      return;
    }
    target.replaceKey("/A", input.copier->copy(action));
  }

  QPDF& out_;
  std::vector<Item> top_;
  size_t count_ = 0;
};

// ---- identification --------------------------------------------------------------------

void readIdentification(Input& input) {
  if (auto bytes = documents::readXmp(*input.pdf)) input.xmp = xmp::Packet::parse(*bytes);
  if (!input.xmp) return;
  input.pdfaPart = input.xmp->get(xmp::kPdfaId, "part").value_or("");
  input.pdfaLevel = input.xmp->get(xmp::kPdfaId, "conformance").value_or("");
  input.declaresUa = input.xmp->get(xmp::kPdfuaId, "part").has_value();
}

// Whether two ICC profiles are one: the same bytes but for the header's creation time and
// profile ID, which an application that makes its profile at each export (the office does)
// writes anew each time.
bool sameProfile(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const bool stamped = (i >= 24 && i < 36) || (i >= 84 && i < 100);
    if (!stamped && a[i] != b[i]) return false;
  }
  return true;
}

// The PDF/A part every input is (by its identification and a first check), with one output
// intent profile for all; 0 when there is none.
int commonPdfaPart(std::vector<Input>& inputs) {
  const std::string part = inputs.front().pdfaPart;
  if (part != "1" && part != "2" && part != "3") return 0;
  const int n = part[0] - '0';
  std::optional<std::string> profile;
  for (Input& input : inputs) {
    if (input.pdfaPart != part) return 0;
    if (!conformance::pdfaProblems(*input.pdf, n).empty()) return 0;
    auto own = conformance::outputProfile(*input.pdf);
    if (!own || (profile && !sameProfile(*own, *profile))) return 0;
    profile = own;
  }
  return n;
}

}  // namespace

Joined joinPdfs(const std::vector<std::string>& paths, const std::string& output,
                const JoinOptions& options) {
  if (paths.empty()) throw FinishError("there are no PDFs to join");
  std::vector<Input> inputs(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    Input& input = inputs[i];
    const bool named = i < options.names.size() && !options.names[i].empty();
    input.name = named ? options.names[i] : paths[i];
    input.title = named ? options.names[i] : std::filesystem::path(paths[i]).filename().string();
    documents::open(*input.pdf, paths[i], input.name, {true, options.password});
    input.pages = documents::pages(*input.pdf, input.name);
    input.tagged = isTagged(*input.pdf);
    readIdentification(input);
  }
  if (options.accessible) {
    std::vector<std::string> untagged;
    for (const Input& input : inputs) {
      if (!input.tagged) untagged.push_back(input.name);
    }
    if (!untagged.empty()) {
      throw FinishError(listOf(untagged) + (untagged.size() == 1 ? " has" : " have") +
                        " no tags, so the merged PDF cannot be accessible");
    }
  }
  bool tagged = true;
  for (const Input& input : inputs) tagged = tagged && input.tagged;

  try {
    Joined joined;
    joined.tagged = tagged;
    joined.pdfaPart = commonPdfaPart(inputs);
    QPDF out;
    out.emptyPDF();
    out.setSuppressWarnings(true);
    Input& first = inputs.front();
    std::string language;
    if (QPDFObjectHandle lang = first.pdf->getRoot().getKey("/Lang"); lang.isString()) {
      language = lang.getUTF8Value();
    }
    std::optional<Structure> structure;
    if (tagged) structure.emplace(out);
    Outline outline(out);
    for (Input& input : inputs) {
      input.copier = std::make_unique<documents::Copier>(out, *input.pdf, input.name);
      input.copies = input.copier->copyPages(input.pages);
      if (structure) structure->add(input, language);
      outline.add(input, tagged, inputs.size() == 1);
    }
    if (structure) structure->finish();
    outline.finish();
    steps::carryDocument(out, *first.pdf, *first.copier, joined.pdfaPart > 0);
    if (QPDFObjectHandle mode = first.pdf->getRoot().getKey("/PageMode"); mode.isName()) {
      out.getRoot().replaceKey("/PageMode", scalarCopy(mode));
    }

    // The metadata of the first input, claiming only what the joined file is.
    const bool accessible = tagged && (options.accessible || [&] {
                              for (const Input& input : inputs) {
                                if (!input.declaresUa) return false;
                              }
                              return true;
                            }());
    std::optional<xmp::Packet> packet = first.xmp;
    if (!packet && accessible) {
      steps::Packet fresh;
      steps::setMetadata(out, {}, fresh);
      packet = fresh.xmp;
    }
    if (packet) {
      if (joined.pdfaPart == 0) {
        for (const char* property : {"part", "conformance", "amd", "rev"}) {
          packet->remove(xmp::kPdfaId, property);
        }
      } else {
        std::string level = first.pdfaLevel;
        for (const Input& input : inputs) {
          if (input.pdfaLevel != level) level = "B";
        }
        if (level != "U" && (level != "A" || !tagged)) level = "B";
        packet->set(xmp::kPdfaId, "conformance", xmp::Value::text(level));
      }
      if (accessible) {
        packet->set(xmp::kPdfuaId, "part", xmp::Value::text("1"));
      } else {
        packet->remove(xmp::kPdfuaId, "part");
      }
      documents::writeXmp(out, packet->serialize());
    }
    if (accessible) {
      // Readers show the document's title, not its file name, as accessible files ask.
      QPDFObjectHandle preferences = out.getRoot().getKey("/ViewerPreferences");
      if (!preferences.isDictionary()) {
        preferences = QPDFObjectHandle::newDictionary();
        out.getRoot().replaceKey("/ViewerPreferences", preferences);
      }
      preferences.replaceKey("/DisplayDocTitle", QPDFObjectHandle::newBool(true));
    }

    documents::write(out, output, platform::creationMode(), [&](QPDFWriter& writer) {
      for (Input& input : inputs) {
        writer.setMinimumPDFVersion(input.pdf->getPDFVersion(), input.pdf->getExtensionLevel());
      }
    });
    return joined;
  } catch (const FinishError&) {
    throw;
  } catch (const std::exception& e) {
    throw FinishError("the PDFs cannot be joined: " + documents::describe(e));
  }
}

}  // namespace docmill::pdfclean
