#include "cli/office_export.h"

#include <algorithm>
#include <filesystem>

#include "automation/creation.h"
#include "automation/dispatch.h"

namespace docmill::cli {

namespace {

std::string lowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool oneOf(const std::string& ext, std::initializer_list<const char*> list) {
  return std::any_of(list.begin(), list.end(), [&](const char* e) { return ext == e; });
}

// The applications' own numbers for portrait and landscape pages and for the PDF format of
// their exports.
constexpr int32_t kWordPortrait = 0, kWordLandscape = 1;
constexpr int32_t kExcelPortrait = 1, kExcelLandscape = 2;
constexpr int32_t kWordPdf = 17, kExcelPdf = 0, kPowerPointPdf = 2, kPublisherPdf = 2;

DispatchPtr asObject(const Variant& v) {
  if (!v.isObject()) raiseRuntime(rt::TypeMismatch);
  return v.object();
}

// An application and the document it opened: the document is closed (never saved) and the
// application quit when this goes, whatever happened in between.
class Session {
 public:
  explicit Session(const char* progId) : app(createObject(progId)) {}
  ~Session() {
    try {
      if (doc) call(doc, "Close", closeArgs);
    } catch (const AutomationError&) {
    }
    try {
      call(app, "Quit");
    } catch (const AutomationError&) {
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  DispatchPtr app, doc;
  std::vector<Variant> closeArgs;
};

// The PDF settings every application's export takes by name.
std::vector<Named> pdfSettings(const PdfOptions& pdf) {
  std::vector<Named> named;
  if (pdf.pdfa != PdfStandard::None) named.push_back({"PdfA", Variant(standardName(pdf.pdfa))});
  if (pdf.pdfua) named.push_back({"PdfUA", Variant(true)});
  named.insert(named.end(), pdf.exportSettings.begin(), pdf.exportSettings.end());
  return named;
}

// `turn`: whether the document takes the orientation asked (word-processing documents and
// text do; other kinds the word processor opens keep theirs, as in print).
void exportWord(const std::string& input, const std::string& pdf, const ExportRequest& request,
                bool turn) {
  Session word("Word.Application");
  std::vector<Named> open = {{"ReadOnly", Variant(true)}};
  if (!request.pdf->password.empty()) {
    open.push_back({"PasswordDocument", Variant(request.pdf->password)});
  }
  word.doc = asObject(call(getObject(word.app, "Documents"), "Open", {Variant(input)}, open));
  word.closeArgs = {Variant(false)};
  if (request.landscape && turn) {
    // A document whose page setup cannot be changed keeps its own orientation, as in print.
    try {
      put(getObject(word.doc, "PageSetup"), "Orientation",
          Variant(*request.landscape ? kWordLandscape : kWordPortrait));
    } catch (const AutomationError&) {
    }
  }
  call(word.doc, "ExportAsFixedFormat", {Variant(pdf), Variant(kWordPdf)},
       pdfSettings(*request.pdf));
}

void exportWorkbook(const std::string& input, const std::string& pdf,
                    const ExportRequest& request) {
  Session excel("Excel.Application");
  put(excel.app, "DisplayAlerts", Variant(false));
  std::vector<Named> open = {{"UpdateLinks", Variant(int16_t{0})}, {"ReadOnly", Variant(true)}};
  if (!request.pdf->password.empty()) open.push_back({"Password", Variant(request.pdf->password)});
  excel.doc = asObject(call(getObject(excel.app, "Workbooks"), "Open", {Variant(input)}, open));
  excel.closeArgs = {Variant(false)};
  if (request.landscape) {
    DispatchPtr sheets = getObject(excel.doc, "Worksheets");
    const int32_t count = get(sheets, "Count").toI4();
    for (int32_t i = 1; i <= count; ++i) {
      put(getObject(getObject(sheets, "Item", {Variant(i)}), "PageSetup"), "Orientation",
          Variant(*request.landscape ? kExcelLandscape : kExcelPortrait));
    }
  }
  call(excel.doc, "ExportAsFixedFormat", {Variant(kExcelPdf), Variant(pdf)},
       pdfSettings(*request.pdf));
}

Exported exportPresentation(const std::string& input, const std::string& pdf,
                            const ExportRequest& request) {
  Session powerpoint("Powerpoint.Application");
  std::vector<Named> open = {{"ReadOnly", Variant(int16_t{-1})},
                             {"WithWindow", Variant(int16_t{0})}};
  if (!request.pdf->password.empty()) open.push_back({"Password", Variant(request.pdf->password)});
  powerpoint.doc =
      asObject(call(getObject(powerpoint.app, "Presentations"), "Open", {Variant(input)}, open));
  if (request.landscape) {
    DispatchPtr setup = getObject(powerpoint.doc, "PageSetup");
    // A square slide counts as wide, as the office lays it out.
    const bool wide = get(setup, "SlideWidth").toDouble() >= get(setup, "SlideHeight").toDouble();
    // Settings only the export knows keep it, and the slides their shape.
    const bool exportAsked = request.pdf->pdfua || !request.pdf->exportSettings.empty();
    if (wide != *request.landscape && !exportAsked) return Exported::NeedsTurning;
  }
  call(powerpoint.doc, "ExportAsFixedFormat", {Variant(pdf), Variant(kPowerPointPdf)},
       pdfSettings(*request.pdf));
  return Exported::Done;
}

void exportPublication(const std::string& input, const std::string& pdf,
                       const ExportRequest& request) {
  Session publisher("Publisher.Application");
  std::vector<Named> open;
  if (!request.pdf->password.empty()) open.push_back({"Password", Variant(request.pdf->password)});
  publisher.doc = asObject(call(publisher.app, "Open", {Variant(input)}, open));
  call(publisher.doc, "ExportAsFixedFormat", {Variant(kPublisherPdf), Variant(pdf)},
       pdfSettings(*request.pdf));
}

}  // namespace

OfficeKind officeKind(const std::string& input) {
  const std::string ext = lowerExtension(input);
  if (oneOf(ext, {".ps", ".eps", ".prn", ".pdf"})) return OfficeKind::None;
  if (oneOf(ext, {".doc", ".docx", ".docm", ".dot", ".dotx", ".dotm", ".rtf", ".odt", ".ott",
                  ".fodt", ".wpd"})) {
    return OfficeKind::Word;
  }
  if (oneOf(ext, {".txt", ".text", ".log"})) return OfficeKind::Text;
  if (oneOf(ext, {".xls", ".xlsx", ".xlsm", ".xlsb", ".xlt", ".xltx", ".xltm", ".ods", ".ots",
                  ".fods", ".csv"})) {
    return OfficeKind::Workbook;
  }
  if (oneOf(ext, {".ppt", ".pptx", ".pptm", ".pps", ".ppsx", ".ppsm", ".pot", ".potx", ".potm",
                  ".odp", ".otp", ".fodp"})) {
    return OfficeKind::Presentation;
  }
  if (oneOf(ext, {".pub", ".odg", ".otg", ".fodg", ".vsd", ".vsdx", ".cdr"})) {
    return OfficeKind::Publication;
  }
  return OfficeKind::Other;
}

Exported exportDocument(const std::string& input, const std::string& pdf,
                        const ExportRequest& request) {
  static const PdfOptions kDefaults;
  ExportRequest ask = request;
  if (!ask.pdf) ask.pdf = &kDefaults;
  switch (officeKind(input)) {
    case OfficeKind::Workbook:
      exportWorkbook(input, pdf, ask);
      return Exported::Done;
    case OfficeKind::Presentation:
      return exportPresentation(input, pdf, ask);
    case OfficeKind::Publication:
      exportPublication(input, pdf, ask);
      return Exported::Done;
    case OfficeKind::Word:
    case OfficeKind::Text:
      exportWord(input, pdf, ask, true);
      return Exported::Done;
    case OfficeKind::Other:
    case OfficeKind::None:
      break;
  }
  exportWord(input, pdf, ask, false);
  return Exported::Done;
}

}  // namespace docmill::cli
