#include "pdfclean/conformance.h"

#include <qpdf/QPDFObjectHandle.hh>

#include <set>

#include "pdfclean/conformance_checks.h"
#include "pdfclean/documents.h"
#include "pdfclean/limits.h"
#include "pdfclean/xmp.h"

namespace docmill::pdfclean {

namespace conformance {

namespace {

struct TooDeep {};

bool isName(QPDFObjectHandle h, const char* name) {
  return h.isName() && h.getName() == name;
}

// The PDF/A output intent's destination profile.
QPDFObjectHandle profileStream(QPDF& pdf) {
  QPDFObjectHandle intents = pdf.getRoot().getKey("/OutputIntents");
  if (!intents.isArray()) return QPDFObjectHandle::newNull();
  for (int i = 0; i < intents.getArrayNItems(); ++i) {
    QPDFObjectHandle intent = intents.getArrayItem(i);
    if (intent.isDictionary() && isName(intent.getKey("/S"), "/GTS_PDFA1") &&
        intent.getKey("/DestOutputProfile").isStream()) {
      return intent.getKey("/DestOutputProfile");
    }
  }
  return QPDFObjectHandle::newNull();
}

class Findings {
 public:
  Findings(int part) : part_(part) {}

  // Looks at `h` and the direct objects inside it; indirect ones are looked at on their own.
  void visit(QPDFObjectHandle h, int depth) {
    if (depth > kMaxDepth) throw TooDeep();
    if (h.isStream()) {
      QPDFObjectHandle dict = h.getDict();
      look(dict);
      // An image's soft mask is a stream entry of the image.
      if (part_ == 1 && dict.getKey("/SMask").isStream()) found_.insert("it has soft masks");
      visitInside(dict, depth);
    } else if (h.isDictionary()) {
      look(h);
      visitInside(h, depth);
    } else if (h.isArray()) {
      for (int i = 0; i < h.getArrayNItems(); ++i) {
        QPDFObjectHandle item = h.getArrayItem(i);
        if (!item.isIndirect()) visit(item, depth + 1);
      }
    }
  }

  std::set<std::string> take() { return std::move(found_); }

 private:
  void visitInside(QPDFObjectHandle dict, int depth) {
    for (const std::string& key : dict.getKeys()) {
      QPDFObjectHandle value = dict.getKey(key);
      if (!value.isIndirect()) visit(value, depth + 1);
    }
  }

  void look(QPDFObjectHandle dict) {
    if (isName(dict.getKey("/S"), "/JavaScript") || dict.hasKey("/JS")) {
      found_.insert("it holds JavaScript");
    }
    if (isName(dict.getKey("/Type"), "/Font")) font(dict);
    if (part_ != 1) return;
    QPDFObjectHandle group = dict.getKey("/Group");
    if (group.isDictionary() && isName(group.getKey("/S"), "/Transparency")) {
      found_.insert("it has transparency groups");
    }
    QPDFObjectHandle mask = dict.getKey("/SMask");
    if (mask.isDictionary() || (mask.isName() && mask.getName() != "/None")) {
      found_.insert("it has soft masks");
    }
    QPDFObjectHandle blend = dict.getKey("/BM");
    if (blend.isArray() && blend.getArrayNItems() > 0) blend = blend.getArrayItem(0);
    if (blend.isName() && blend.getName() != "/Normal" && blend.getName() != "/Compatible") {
      found_.insert("it has blend modes other than Normal");
    }
    for (const char* alpha : {"/CA", "/ca"}) {
      QPDFObjectHandle value = dict.getKey(alpha);
      double number = 1;
      if (value.getValueAsNumber(number) && number < 1) {
        found_.insert("it has translucent drawing (constant alpha below 1)");
      }
    }
  }

  void font(QPDFObjectHandle font) {
    QPDFObjectHandle subtype = font.getKey("/Subtype");
    if (isName(subtype, "/Type3")) return;
    QPDFObjectHandle described = font;
    if (isName(subtype, "/Type0")) {
      QPDFObjectHandle descendants = font.getKey("/DescendantFonts");
      if (!descendants.isArray() || descendants.getArrayNItems() < 1) {
        found_.insert("a font has no descendant font");
        return;
      }
      described = descendants.getArrayItem(0);
    }
    QPDFObjectHandle descriptor =
        described.isDictionary() ? described.getKey("/FontDescriptor") : described;
    const bool embedded =
        descriptor.isDictionary() &&
        (descriptor.getKey("/FontFile").isStream() || descriptor.getKey("/FontFile2").isStream() ||
         descriptor.getKey("/FontFile3").isStream());
    if (!embedded) {
      QPDFObjectHandle name = font.getKey("/BaseFont");
      found_.insert("a font is not embedded: " + (name.isName() ? name.getName().substr(1) : "?"));
    }
  }

  int part_;
  std::set<std::string> found_;
};

}  // namespace

std::vector<std::string> pdfaProblems(QPDF& pdf, int part) {
  std::vector<std::string> problems;
  try {
    if (pdf.isEncrypted()) problems.push_back("it is encrypted");
    auto bytes = documents::readXmp(pdf);
    auto packet = bytes ? xmp::Packet::parse(*bytes) : std::nullopt;
    if (!packet) {
      problems.push_back("it has no readable XMP metadata");
    } else {
      auto claimed = packet->get(xmp::kPdfaId, "part");
      auto level = packet->get(xmp::kPdfaId, "conformance");
      if (!claimed) {
        problems.push_back("its XMP metadata does not identify it as PDF/A");
      } else if (*claimed != std::to_string(part)) {
        problems.push_back("its XMP metadata identifies it as PDF/A-" + *claimed);
      }
      if (claimed && (!level || (*level != "A" && *level != "B" && *level != "U"))) {
        problems.push_back("its XMP metadata names no PDF/A conformance level");
      }
    }
    if (!profileStream(pdf).isStream()) {
      problems.push_back("it has no PDF/A output intent with an ICC profile");
    }
    Findings findings(part);
    findings.visit(pdf.getTrailer(), 0);
    for (QPDFObjectHandle object : pdf.getAllObjects()) findings.visit(object, 0);
    QPDFObjectHandle names = pdf.getRoot().getKey("/Names");
    if (names.isDictionary() && names.hasKey("/JavaScript")) {
      problems.push_back("it holds JavaScript");
    }
    for (const std::string& found : findings.take()) {
      if (std::find(problems.begin(), problems.end(), found) == problems.end()) {
        problems.push_back(found);
      }
    }
  } catch (const TooDeep&) {
    problems.push_back("it is nested too deeply");
  } catch (const std::exception& e) {
    problems.push_back("it cannot be read: " + documents::describe(e));
  }
  return problems;
}

std::optional<std::string> outputProfile(QPDF& pdf) {
  try {
    return documents::decoded(profileStream(pdf), kMaxProfileBytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace conformance

std::vector<std::string> pdfaProblems(const std::string& path, int part) {
  try {
    QPDF pdf;
    documents::open(pdf, path, path, {});
    return conformance::pdfaProblems(pdf, part);
  } catch (const std::exception& e) {
    return {"it cannot be read: " + documents::describe(e)};
  }
}

}  // namespace docmill::pdfclean
