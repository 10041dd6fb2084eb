#include "office_server/fixed_format.h"

#include <com/sun/star/view/XRenderable.hpp>

#include <algorithm>
#include <optional>
#include <vector>

#include "office_server/app_base.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::uno::Any;
using rtl::OUString;

namespace {

enum class Kind { Flag, Number, Choice, Text, None };

// A named export setting: the name callers use, the export filter's setting it becomes (none
// for those the server carries out itself) and the values it takes.
struct Setting {
  const char* name;
  const char* filterName;
  Kind kind;
  int32_t least = 0, most = 0;
  std::vector<int32_t> choices = {};
};

// The settings of the office's PDF export that callers may ask for. The office here reads
// every one of them except ExportNotesInMargin, which it passes over (the notes then stay
// annotations, as without it).
const std::vector<Setting>& settings() {
  static const std::vector<Setting> table = {
      {"exportFormFields", "ExportFormFields", Kind::Flag},
      {"allowDuplicateFieldNames", "AllowDuplicateFieldNames", Kind::Flag},
      {"exportBookmarks", "ExportBookmarks", Kind::Flag},
      {"exportBookmarksToPdfDestination", "ExportBookmarksToPDFDestination", Kind::Flag},
      {"exportPlaceholders", "ExportPlaceholders", Kind::Flag},
      {"exportNotes", "ExportNotes", Kind::Flag},
      {"exportNotesPages", "ExportNotesPages", Kind::Flag},
      {"exportOnlyNotesPages", "ExportOnlyNotesPages", Kind::Flag},
      {"exportNotesInMargin", "ExportNotesInMargin", Kind::Flag},
      {"convertOooTargetToPdfTarget", "ConvertOOoTargetToPDFTarget", Kind::Flag},
      {"exportLinksRelativeFsys", "ExportLinksRelativeFsys", Kind::Flag},
      {"exportHiddenSlides", "ExportHiddenSlides", Kind::Flag},
      {"skipEmptyPages", "IsSkipEmptyPages", Kind::Flag},
      {"singlePageSheets", "SinglePageSheets", Kind::Flag},
      {"updateIndexes", nullptr, Kind::Flag},
      {"losslessImageCompression", "UseLosslessCompression", Kind::Flag},
      {"quality", "Quality", Kind::Number, 1, 100},
      {"reduceImageResolution", "ReduceImageResolution", Kind::Flag},
      {"maxImageResolution", "MaxImageResolution", Kind::Choice, 0, 0, {75, 150, 300, 600, 1200}},
      {"initialView", "InitialView", Kind::Number, 0, 2},
      {"initialPage", "InitialPage", Kind::Number, 1, 1'000'000},
      {"magnification", "Magnification", Kind::Number, 0, 4},
      {"zoom", "Zoom", Kind::Number, 1, 6400},
      {"pageLayout", "PageLayout", Kind::Number, 0, 3},
      {"firstPageOnLeft", "FirstPageOnLeft", Kind::Flag},
      {"resizeWindowToInitialPage", "ResizeWindowToInitialPage", Kind::Flag},
      {"centerWindow", "CenterWindow", Kind::Flag},
      {"openInFullScreenMode", "OpenInFullScreenMode", Kind::Flag},
      {"displayPDFDocumentTitle", "DisplayPDFDocumentTitle", Kind::Flag},
      {"hideViewerMenubar", "HideViewerMenubar", Kind::Flag},
      {"hideViewerToolbar", "HideViewerToolbar", Kind::Flag},
      {"hideViewerWindowControls", "HideViewerWindowControls", Kind::Flag},
      {"useTransitionEffects", "UseTransitionEffects", Kind::Flag},
      {"openBookmarkLevels", "OpenBookmarkLevels", Kind::Number, -1, 10},
      {"nativeWatermarkText", "Watermark", Kind::Text},
      {"nativeWatermarkColor", "WatermarkColor", Kind::Number, 0, 0xFFFFFF},
      {"nativeWatermarkFontHeight", "WatermarkFontHeight", Kind::Number, 0, 1000},
      {"nativeWatermarkRotateAngle", "WatermarkRotateAngle", Kind::Number, -3600, 3600},
      {"nativeWatermarkFontName", "WatermarkFontName", Kind::Text},
      {"nativeTiledWatermarkText", "TiledWatermark", Kind::Text},
      // The standards, carried out through the settings below.
      {"PdfA", nullptr, Kind::None},
      {"PdfUA", nullptr, Kind::None},
  };
  return table;
}

const Setting* findSetting(std::string_view name) {
  for (const auto& s : settings()) {
    if (namesEqual(s.name, name)) return &s;
  }
  return nullptr;
}

// The export filter's version setting for a PDF/A level; 0 when the text names none.
int32_t pdfaVersion(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (text == "pdf/a-1b") return 1;
  if (text == "pdf/a-2b") return 2;
  if (text == "pdf/a-3b") return 3;
  return 0;
}

constexpr size_t kLongestText = 1000;

}  // namespace

FixedFormatCall::FixedFormatCall(const AppIdentity& app, const NamedCall& call,
                                 std::span<const char* const> parameters)
    : app_(app), call_(call), parameters_(parameters) {
  if (call.args.size() > parameters.size()) raiseDispatch(hr::DISP_E_BADPARAMCOUNT);
  auto bad = [&](const std::string& name, const std::string& why) {
    raiseApp(app_, app_.badValue, "ExportAsFixedFormat: " + name + " " + why + ".");
  };
  for (const auto& [name, value] : call.named) {
    if (std::any_of(parameters.begin(), parameters.end(),
                    [&](const char* p) { return namesEqual(p, name); })) {
      continue;
    }
    const Setting* s = findSetting(name);
    if (!s) bad(name, "is no parameter of the export");
    if (value.isMissing()) continue;
    if (namesEqual(s->name, "PdfA")) {
      const std::string text = value.toString();
      const int32_t version = pdfaVersion(text);
      if (!version) bad("PdfA \"" + text + "\"", "is not PDF/A-1b, PDF/A-2b or PDF/A-3b");
      settings_["SelectPdfVersion"] = Any(version);
    } else if (namesEqual(s->name, "PdfUA")) {
      const bool on = value.toBool();
      for (const char* filterName :
           {"PDFUACompliance", "UseTaggedPDF", "EnableTextAccessForAccessibilityTools"}) {
        settings_[filterName] = Any(on);
      }
    } else if (s->kind == Kind::Flag) {
      const bool on = value.toBool();
      flags_[s->name] = on;
      if (s->filterName) settings_[s->filterName] = Any(on);
    } else if (s->kind == Kind::Text) {
      const std::string text = value.toString();
      if (text.size() > kLongestText) bad(s->name, "is longer than 1000 characters");
      settings_[s->filterName] = Any(toOU(text));
    } else {
      const int32_t n = value.toI4();
      const bool inRange = s->kind == Kind::Choice ? std::find(s->choices.begin(), s->choices.end(),
                                                               n) != s->choices.end()
                                                   : n >= s->least && n <= s->most;
      if (!inRange) bad(std::string(s->name) + " " + std::to_string(n), "is out of range");
      // A watermark height of 0 asks for the export's own choice.
      if (namesEqual(s->name, "nativeWatermarkFontHeight") && n == 0) continue;
      settings_[s->filterName] = Any(n);
    }
  }
}

const Variant* FixedFormatCall::argument(std::string_view name) const {
  for (size_t i = 0; i < parameters_.size(); ++i) {
    if (namesEqual(parameters_[i], name)) return office_server::argument(call_, i, name);
  }
  return nullptr;
}

std::string FixedFormatCall::target(const char* name) const {
  const Variant* file = argument(name);
  if (!file) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
  std::string path = file->toString();
  if (path.empty()) {
    raiseApp(app_, app_.badValue,
             std::string("ExportAsFixedFormat needs ") + name + ", the file to write.");
  }
  return path;
}

void FixedFormatCall::requireFormat(const char* name, int32_t pdf, int32_t xps) const {
  const Variant* format = argument(name);
  if (!format) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
  const int32_t value = format->toI4();
  if (value == pdf) return;
  raiseApp(app_, app_.badValue,
           value == xps
               ? std::string("ExportAsFixedFormat writes PDF only, not XPS.")
               : "ExportAsFixedFormat: " + std::string(name) + " " + std::to_string(value) +
                     " is not a format it writes; use " + std::to_string(pdf) + " (PDF).");
}

void FixedFormatCall::refuseTrue(const char* name, const std::string& why) const {
  if (const Variant* v = argument(name); v && v->toBool()) {
    raiseApp(app_, app_.badValue, "ExportAsFixedFormat: " + std::string(name) + " " + why);
  }
}

void FixedFormatCall::refuseObject(const char* name) const {
  const Variant* v = argument(name);
  if (!v || v->isEmpty() || v->isNull() || (v->isObject() && !v->object())) return;
  raiseApp(app_, app_.badValue,
           "ExportAsFixedFormat: " + std::string(name) +
               " must be Nothing: the export is the office's own.");
}

std::optional<int32_t> FixedFormatCall::choice(const char* name,
                                               std::initializer_list<int32_t> allowed) const {
  const Variant* v = argument(name);
  if (!v) return std::nullopt;
  const int32_t n = v->toI4();
  if (std::find(allowed.begin(), allowed.end(), n) == allowed.end()) {
    std::string list;
    for (int32_t a : allowed) list += (list.empty() ? "" : ", ") + std::to_string(a);
    raiseApp(app_, app_.badValue,
             "ExportAsFixedFormat: " + std::string(name) + " " + std::to_string(n) +
                 " is not supported; use " + list + ".");
  }
  return n;
}

void FixedFormatCall::set(const char* filterName, const Any& value) {
  own_[filterName] = value;
}

void FixedFormatCall::pages(const Variant* from, const Variant* to, int32_t pageCount) {
  if (!from && !to) return;
  const int32_t first = from ? from->toI4() : 1;
  const std::optional<int32_t> last = to ? std::optional(to->toI4()) : std::nullopt;
  // The office refuses a range that selects no page with an unhelpful write error.
  if (first < 1 || (last && *last < first) || (pageCount > 0 && first > pageCount)) {
    raiseApp(app_, app_.badValue,
             "The pages " + std::to_string(first) + " to " +
                 (last ? std::to_string(*last) : std::string("the end")) + " are not valid" +
                 (pageCount > 0 ? ": the document has " + std::to_string(pageCount) +
                                      (pageCount == 1 ? " page." : " pages.")
                                : "."));
  }
  // "3-" runs to the last page.
  set("PageRange",
      Any(toOU(std::to_string(first) + "-" + (last ? std::to_string(*last) : std::string()))));
}

void FixedFormatCall::forScreen() {
  set("ReduceImageResolution", Any(true));
  set("MaxImageResolution", Any(int32_t{150}));
}

bool FixedFormatCall::asked(std::string_view name) const {
  auto it = flags_.find(name);
  return it != flags_.end() && it->second;
}

void FixedFormatCall::write(const css::uno::Reference<css::lang::XComponent>& doc,
                            const char* filter, const std::string& target) const {
  std::map<std::string, Any> all = own_;
  for (const auto& [name, value] : settings_) all[name] = value;
  std::vector<css::beans::PropertyValue> data;
  for (const auto& [name, value] : all) data.push_back(prop(name.c_str(), value));
  exportToFile(app_, doc, filter,
               css::uno::Sequence<css::beans::PropertyValue>(data.data(),
                                                             static_cast<sal_Int32>(data.size())),
               target);
}

int32_t exportedPageCount(const css::uno::Reference<css::lang::XComponent>& doc) {
  css::uno::Reference<css::view::XRenderable> renderable(doc, css::uno::UNO_QUERY);
  if (!renderable.is()) return -1;
  try {
    return renderable->getRendererCount(Any(doc), {});
  } catch (const css::uno::Exception&) {
    return -1;
  }
}

}  // namespace docmill::office_server
