#include "cli/pdf_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace docmill::cli {

namespace {

using Json = nlohmann::json;

enum class Kind { Flag, Number, Choice, Text };

// An option of the office's own export: how its value is read and which values it takes.
struct ExportOption {
  const char* name;
  Kind kind;
  int least = 0, most = 0;        // Number: the range
  std::vector<int> choices = {};  // Choice: the values
};

const std::vector<ExportOption>& exportOptions() {
  static const std::vector<ExportOption> options = {
      {"exportFormFields", Kind::Flag},
      {"allowDuplicateFieldNames", Kind::Flag},
      {"exportBookmarks", Kind::Flag},
      {"exportBookmarksToPdfDestination", Kind::Flag},
      {"exportPlaceholders", Kind::Flag},
      {"exportNotes", Kind::Flag},
      {"exportNotesPages", Kind::Flag},
      {"exportOnlyNotesPages", Kind::Flag},
      {"exportNotesInMargin", Kind::Flag},
      {"convertOooTargetToPdfTarget", Kind::Flag},
      {"exportLinksRelativeFsys", Kind::Flag},
      {"exportHiddenSlides", Kind::Flag},
      {"skipEmptyPages", Kind::Flag},
      {"singlePageSheets", Kind::Flag},
      {"updateIndexes", Kind::Flag},
      {"losslessImageCompression", Kind::Flag},
      {"quality", Kind::Number, 1, 100},
      {"reduceImageResolution", Kind::Flag},
      {"maxImageResolution", Kind::Choice, 0, 0, {75, 150, 300, 600, 1200}},
      {"initialView", Kind::Choice, 0, 0, {0, 1, 2}},
      {"initialPage", Kind::Number, 1, 1'000'000},
      {"magnification", Kind::Choice, 0, 0, {0, 1, 2, 3, 4}},
      {"zoom", Kind::Number, 1, 6400},
      {"pageLayout", Kind::Choice, 0, 0, {0, 1, 2, 3}},
      {"firstPageOnLeft", Kind::Flag},
      {"resizeWindowToInitialPage", Kind::Flag},
      {"centerWindow", Kind::Flag},
      {"openInFullScreenMode", Kind::Flag},
      {"displayPDFDocumentTitle", Kind::Flag},
      {"hideViewerMenubar", Kind::Flag},
      {"hideViewerToolbar", Kind::Flag},
      {"hideViewerWindowControls", Kind::Flag},
      {"useTransitionEffects", Kind::Flag},
      {"openBookmarkLevels", Kind::Choice, 0, 0, {-1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"nativeWatermarkText", Kind::Text},
      {"nativeWatermarkColor", Kind::Number, 0, 0xFFFFFF},
      {"nativeWatermarkFontHeight", Kind::Number, 0, 1000},
      {"nativeWatermarkRotateAngle", Kind::Number, -3600, 3600},
      {"nativeWatermarkFontName", Kind::Text},
      {"nativeTiledWatermarkText", Kind::Text},
  };
  return options;
}

// Options that shape the PDF of any input, converted or joined.
const std::array<const char*, 11> kCommon = {
    "pdfa",    "pdfua",     "password",  "userPassword", "ownerPassword",   "metadata",
    "flatten", "splitMode", "splitSpan", "splitUnify",   "nativePdfFormats"};
// Permissions of an encrypted file.
const std::array<const char*, 6> kPermissions = {"allowPrinting",     "allowCopying",
                                                 "allowModifying",    "allowAnnotating",
                                                 "allowFillingForms", "allowAssembling"};

// Fields of the common API's two routes that docmill does not do.
const std::array<const char*, 24> kUnsupported = {
    "addOriginalDocumentAsStream",  // an embedded copy: embedded files are always removed
    "watermarkSource",
    "watermarkExpression",
    "watermarkPages",
    "watermarkOptions",
    "stampSource",
    "stampExpression",
    "stampPages",
    "stampOptions",
    "rotateAngle",
    "rotatePages",
    "embeds",
    "embedsMetadata",
    "facturxVersion",
    "facturxConformanceLevel",
    "facturxDocumentType",
    "facturxXml",
    "bookmarks",
    "autoIndexBookmarks",
    "titleBookmarks",
    "downloadFrom",
    "optimizeImages",
    "imageQuality",
    "webhookUrl",
};

template <size_t N>
bool among(const std::array<const char*, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

const ExportOption* exportOption(std::string_view name) {
  for (const auto& option : exportOptions()) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The values a flag takes, as the common API reads them.
bool parseFlag(std::string_view name, std::string_view value) {
  static const std::array<std::string_view, 6> yes = {"1", "t", "T", "true", "TRUE", "True"};
  static const std::array<std::string_view, 6> no = {"0", "f", "F", "false", "FALSE", "False"};
  if (std::find(yes.begin(), yes.end(), value) != yes.end()) return true;
  if (std::find(no.begin(), no.end(), value) != no.end()) return false;
  throw OptionError(std::string(name), std::string(value), "is not true or false");
}

// A whole number in decimal digits (an optional minus sign first), or nothing.
std::optional<int> parseWhole(std::string_view value) {
  int n = 0;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (ec != std::errc() || ptr != end || value.empty() || value.front() == '+') {
    return std::nullopt;
  }
  return n;
}

std::string listOf(const std::vector<int>& choices) {
  std::string text;
  for (size_t i = 0; i < choices.size(); ++i) {
    if (i) text += i + 1 == choices.size() ? " or " : ", ";
    text += std::to_string(choices[i]);
  }
  return text;
}

Variant exportValue(const ExportOption& option, std::string_view value) {
  const std::string name = option.name;
  switch (option.kind) {
    case Kind::Flag:
      return Variant(parseFlag(name, value));
    case Kind::Number: {
      auto n = parseWhole(value);
      if (!n || *n < option.least || *n > option.most) {
        throw OptionError(name, std::string(value),
                          "is not a whole number from " + std::to_string(option.least) + " to " +
                              std::to_string(option.most));
      }
      return Variant(static_cast<int32_t>(*n));
    }
    case Kind::Choice: {
      auto n = parseWhole(value);
      if (!n ||
          std::find(option.choices.begin(), option.choices.end(), *n) == option.choices.end()) {
        throw OptionError(name, std::string(value), "is not " + listOf(option.choices));
      }
      return Variant(static_cast<int32_t>(*n));
    }
    case Kind::Text:
      if (value.size() > 1000) throw OptionError(name, "...", "is longer than 1000 characters");
      return Variant(std::string(value));
  }
  return Variant();
}

}  // namespace

OptionError::OptionError(std::string option, std::string value, const std::string& why)
    : std::runtime_error(value.empty() ? option + " " + why
                                       : option + ": \"" + value + "\" " + why),
      option(std::move(option)),
      value(std::move(value)) {}

std::string standardName(PdfStandard standard) {
  switch (standard) {
    case PdfStandard::A1b:
      return "PDF/A-1b";
    case PdfStandard::A2b:
      return "PDF/A-2b";
    case PdfStandard::A3b:
      return "PDF/A-3b";
    case PdfStandard::None:
      break;
  }
  return {};
}

OptionSupport optionSupport(std::string_view name, OptionUse use) {
  if (among(kCommon, name) || among(kPermissions, name)) return OptionSupport::Supported;
  if (name == "viaPostScript" || exportOption(name)) {
    return use == OptionUse::Convert ? OptionSupport::Supported : OptionSupport::Unsupported;
  }
  if (among(kUnsupported, name)) return OptionSupport::Unsupported;
  return OptionSupport::Unknown;
}

const std::vector<OptionHelp>& optionHelp() {
  static const std::vector<OptionHelp> help = {
      {"pdfa", "PDF/A-1b|PDF/A-2b|PDF/A-3b", "archival PDF of that level", true},
      {"pdfua", "true|false", "accessible, tagged PDF (PDF/UA-1)", true},
      {"password", "TEXT", "opens password-protected inputs", true},
      {"userPassword", "TEXT", "encrypts the PDF (AES-256); the password opens it", true},
      {"ownerPassword", "TEXT", "encrypts the PDF; the password lifts its restrictions", true},
      {"allowPrinting", "true|false", "an encrypted PDF may be printed (default true)", true},
      {"allowCopying", "true|false", "its text may be copied (default true)", true},
      {"allowModifying", "true|false", "it may be changed (default false)", true},
      {"allowAnnotating", "true|false", "it may be annotated (default false)", true},
      {"allowFillingForms", "true|false", "its forms may be filled in (default true)", true},
      {"allowAssembling", "true|false", "its pages may be rearranged (default false)", true},
      {"metadata", "JSON", "Title, Author, Subject, Keywords, Creator, Producer, ...", true},
      {"flatten", "true|false", "form fields and annotations drawn into the pages", true},
      {"splitMode", "pages|intervals", "cut each PDF into several (a zip)", true},
      {"splitSpan", "N|PAGES", "pages in each part, or the pages taken", true},
      {"splitUnify", "true|false", "pages mode: the pages taken in one PDF", true},
      {"singlePageSheets", "true|false", "each sheet of a workbook on one page", false},
      {"exportFormFields", "true|false", "form fields stay fillable (default true)", false},
      {"exportBookmarks", "true|false", "headings become bookmarks (default true)", false},
      {"losslessImageCompression", "true|false", "images kept lossless", false},
      {"quality", "1-100", "JPEG quality of images (default 90)", false},
      {"reduceImageResolution", "true|false", "images scaled down to maxImageResolution", false},
      {"maxImageResolution", "75|150|300|600|1200", "their resolution in dpi", false},
      {"viaPostScript", "true|false", "the members' print route instead of the export", false},
  };
  return help;
}

void PdfOptions::set(std::string_view name, std::string_view value, OptionUse use) {
  const std::string key(name);
  switch (optionSupport(name, use)) {
    case OptionSupport::Unknown:
      throw OptionError(key, "", "is no option docmill knows");
    case OptionSupport::Unsupported:
      throw OptionError(key, "",
                        use == OptionUse::Merge && (key == "viaPostScript" || exportOption(name))
                            ? "applies to converting documents, not to joining PDFs"
                            : "is not supported by docmill");
    case OptionSupport::Supported:
      break;
  }
  if (value.empty()) return;
  const std::string text(value);
  if (key == "pdfa") {
    const std::string l = lower(text);
    if (l == "pdf/a-1b") {
      pdfa = PdfStandard::A1b;
    } else if (l == "pdf/a-2b") {
      pdfa = PdfStandard::A2b;
    } else if (l == "pdf/a-3b") {
      pdfa = PdfStandard::A3b;
    } else {
      throw OptionError(key, text, "is not PDF/A-1b, PDF/A-2b or PDF/A-3b");
    }
  } else if (key == "pdfua") {
    pdfua = parseFlag(key, text);
  } else if (key == "nativePdfFormats") {
    parseFlag(key, text);  // how the standards are reached is docmill's choice; both are met
  } else if (key == "password") {
    password = text;
  } else if (key == "userPassword") {
    finish.userPassword = text;
  } else if (key == "ownerPassword") {
    finish.ownerPassword = text;
  } else if (among(kPermissions, key)) {
    const bool allowed = parseFlag(key, text);
    auto& p = finish.permissions;
    if (key == "allowPrinting") p.printing = allowed;
    if (key == "allowCopying") p.copying = allowed;
    if (key == "allowModifying") p.modifying = allowed;
    if (key == "allowAnnotating") p.annotating = allowed;
    if (key == "allowFillingForms") p.fillingForms = allowed;
    if (key == "allowAssembling") p.assembling = allowed;
  } else if (key == "metadata") {
    finish.metadata = parseMetadata(text, &finish.minimumVersion);
  } else if (key == "flatten") {
    finish.flatten = parseFlag(key, text);
  } else if (key == "splitMode") {
    if (!split) split.emplace();
    if (text == "intervals") {
      split->mode = pdfclean::Split::Mode::Intervals;
    } else if (text == "pages") {
      split->mode = pdfclean::Split::Mode::Pages;
    } else {
      throw OptionError(key, text, "is not pages or intervals");
    }
  } else if (key == "splitSpan") {
    if (!split) split.emplace();
    split->pages = text;  // read against the mode in check(), which may come later
  } else if (key == "splitUnify") {
    if (!split) split.emplace();
    split->unify = parseFlag(key, text);
  } else if (key == "viaPostScript") {
    viaPostScript = parseFlag(key, text);
  } else {
    const ExportOption& option = *exportOption(name);
    Variant v = exportValue(option, text);
    auto same = [&](const Named& n) { return n.name == key; };
    exportSettings.erase(std::remove_if(exportSettings.begin(), exportSettings.end(), same),
                         exportSettings.end());
    exportSettings.push_back({key, std::move(v)});
  }
  given_.insert(key);
  asGiven_.push_back({key, text, use == OptionUse::Merge});
}

const Variant* PdfOptions::exportSetting(std::string_view name) const {
  for (const auto& n : exportSettings) {
    if (n.name == name) return &n.value;
  }
  return nullptr;
}

void PdfOptions::check() const {
  const bool encrypted = !finish.userPassword.empty() || !finish.ownerPassword.empty();
  if (pdfa != PdfStandard::None && encrypted) {
    throw OptionError("pdfa", "",
                      "cannot be combined with userPassword or ownerPassword: a PDF/A file "
                      "cannot be encrypted");
  }
  if (!encrypted) {
    for (const char* name : kPermissions) {
      if (given(name))
        throw OptionError(name, "", "applies only with userPassword or ownerPassword");
    }
  }
  if (split) {
    const bool modeGiven = given("splitMode"), spanGiven = given("splitSpan");
    if (!modeGiven) throw OptionError("splitMode", "", "is needed with splitSpan or splitUnify");
    if (!spanGiven) throw OptionError("splitSpan", "", "is needed with splitMode");
    if (split->mode == pdfclean::Split::Mode::Intervals) {
      auto n = parseWhole(split->pages);
      if (!n || *n < 1) {
        throw OptionError("splitSpan", split->pages,
                          "is not a whole number of pages of at least 1 (splitMode intervals)");
      }
      if (split->unify) throw OptionError("splitUnify", "", "applies only to splitMode pages");
    } else {
      try {
        pdfclean::parsePageList(split->pages);
      } catch (const pdfclean::FinishError& e) {
        throw OptionError("splitSpan", split->pages,
                          std::string("is not a page list such as 1-3,5,8-: ") + e.what());
      }
    }
  }
  if (viaPostScript && !exportSettings.empty()) {
    throw OptionError(exportSettings.front().name, "",
                      "applies to the office's own export, not with viaPostScript");
  }
  if (viaPostScript && pdfua) {
    throw OptionError("pdfua", "", "needs the office's own export, not viaPostScript");
  }
  if (auto reduce = exportSetting("reduceImageResolution");
      reduce && !reduce->toBool() && exportSetting("maxImageResolution")) {
    throw OptionError("maxImageResolution", "", "applies only with reduceImageResolution true");
  }
}

std::optional<std::string> pdfDate(std::string_view text) {
  // YYYY-MM-DD or YYYY:MM:DD, then T or a blank, hh:mm[:ss][.fraction], then Z or ±hh:mm.
  std::string s(text);
  if (s.size() < 10) return std::nullopt;
  auto digits = [&](size_t at, size_t n) {
    if (at + n > s.size()) return false;
    for (size_t i = at; i < at + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
  };
  if (!digits(0, 4) || (s[4] != '-' && s[4] != ':') || !digits(5, 2) || s[7] != s[4] ||
      !digits(8, 2)) {
    return std::nullopt;
  }
  const int month = std::stoi(s.substr(5, 2)), day = std::stoi(s.substr(8, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::string out = "D:" + s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2);
  size_t at = 10;
  if (at == s.size()) return out;
  if (s[at] != 'T' && s[at] != 't' && s[at] != ' ') return std::nullopt;
  ++at;
  if (!digits(at, 2) || at + 2 >= s.size() || s[at + 2] != ':' || !digits(at + 3, 2)) {
    return std::nullopt;
  }
  const int hour = std::stoi(s.substr(at, 2)), minute = std::stoi(s.substr(at + 3, 2));
  if (hour > 23 || minute > 59) return std::nullopt;
  out += s.substr(at, 2) + s.substr(at + 3, 2);
  at += 5;
  if (at < s.size() && s[at] == ':') {
    if (!digits(at + 1, 2) || std::stoi(s.substr(at + 1, 2)) > 60) return std::nullopt;
    out += s.substr(at + 1, 2);
    at += 3;
  } else {
    out += "00";
  }
  if (at < s.size() && s[at] == '.') {
    ++at;
    while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at]))) ++at;
  }
  if (at == s.size()) return out;
  if (s[at] == 'Z' || s[at] == 'z')
    return at + 1 == s.size() ? std::optional(out + "Z") : std::nullopt;
  if ((s[at] != '+' && s[at] != '-') || !digits(at + 1, 2) || at + 6 != s.size() ||
      s[at + 3] != ':' || !digits(at + 4, 2)) {
    return std::nullopt;
  }
  return out + s[at] + s.substr(at + 1, 2) + "'" + s.substr(at + 4, 2) + "'";
}

pdfclean::Metadata parseMetadata(std::string_view json, std::string* minimumVersion) {
  Json object;
  try {
    // Depth is bounded by the shape checked below: one object of scalars and one array.
    object = Json::parse(json, nullptr, true, false);
  } catch (const Json::exception&) {
    throw OptionError("metadata", "", "is not a JSON object");
  }
  if (!object.is_object()) throw OptionError("metadata", "", "is not a JSON object");
  pdfclean::Metadata m;
  auto textOf = [](const std::string& key, const Json& value) {
    if (!value.is_string()) throw OptionError("metadata", key, "is not a text");
    const std::string text = value.get<std::string>();
    if (text.size() > 10000) throw OptionError("metadata", key, "is longer than 10000 bytes");
    return text;
  };
  auto dateOf = [&](const std::string& key, const Json& value) {
    auto date = pdfDate(textOf(key, value));
    if (!date) {
      throw OptionError("metadata", key, "is not a date such as 2006-09-18T16:27:50-04:00");
    }
    return *date;
  };
  for (const auto& [key, value] : object.items()) {
    if (key == "Title") {
      m.title = textOf(key, value);
    } else if (key == "Author") {
      m.author = textOf(key, value);
    } else if (key == "Subject") {
      m.subject = textOf(key, value);
    } else if (key == "Creator") {
      m.creator = textOf(key, value);
    } else if (key == "Producer") {
      m.producer = textOf(key, value);
    } else if (key == "Copyright") {
      m.copyright = textOf(key, value);
    } else if (key == "Keywords") {
      std::vector<std::string> words;
      if (value.is_array()) {
        if (value.size() > 1000) throw OptionError("metadata", key, "holds more than 1000 words");
        for (const auto& word : value) words.push_back(textOf(key, word));
      } else {
        words.push_back(textOf(key, value));
      }
      m.keywords = std::move(words);
    } else if (key == "CreationDate" || key == "CreateDate") {
      m.creationDate = dateOf(key, value);
    } else if (key == "ModDate") {
      m.modDate = dateOf(key, value);
    } else if (key == "Marked") {
      if (!value.is_boolean()) throw OptionError("metadata", key, "is not true or false");
      m.marked = value.get<bool>();
    } else if (key == "Trapped") {
      const std::string t =
          value.is_boolean() ? (value.get<bool>() ? "True" : "False") : textOf(key, value);
      if (t != "True" && t != "False" && t != "Unknown") {
        throw OptionError("metadata", key, "is not True, False or Unknown");
      }
      m.trapped = t;
    } else if (key == "PDFVersion") {
      std::string v = value.is_number() ? value.dump() : textOf(key, value);
      if (v == "2") v = "2.0";
      static const std::array<std::string_view, 5> versions = {"1.4", "1.5", "1.6", "1.7", "2.0"};
      if (std::find(versions.begin(), versions.end(), v) == versions.end()) {
        throw OptionError("metadata", key, "is not a PDF version from 1.4 to 2.0");
      }
      if (minimumVersion) *minimumVersion = v;
    } else {
      throw OptionError("metadata", key,
                        "is not a key docmill writes (Title, Author, Subject, Keywords, Creator, "
                        "Producer, CreationDate, ModDate, Copyright, Marked, Trapped, PDFVersion)");
    }
  }
  return m;
}

}  // namespace docmill::cli
