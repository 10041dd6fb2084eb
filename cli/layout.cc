#include "cli/layout.h"

#include <map>

#include "automation/creation.h"
#include "automation/dispatch.h"

namespace docmill::cli {

namespace {

// Worksheet visibility and page orientation as the spreadsheet application reports them.
constexpr int32_t kSheetVisible = -1;
constexpr int32_t kLandscapeOrientation = 2;

// Runs `read` on the document `path` opened by `open` in a new application `progId`, then
// closes the document with `closeArgs` and quits, also when reading fails. Returns false
// when anything failed.
template <typename Open, typename Read>
bool withDocument(const char* progId, Open open, Read read, const std::vector<Variant>& closeArgs) {
  DispatchPtr app;
  try {
    app = createObject(progId);
  } catch (const AutomationError&) {
    return false;
  }
  bool ok = false;
  DispatchPtr doc;
  try {
    doc = open(app);
    read(doc);
    ok = true;
  } catch (const AutomationError&) {
  }
  try {
    if (doc) call(doc, "Close", closeArgs);
  } catch (const AutomationError&) {
  }
  try {
    call(app, "Quit");
  } catch (const AutomationError&) {
  }
  return ok;
}

DispatchPtr asObject(const Variant& v) {
  if (!v.isObject()) raiseRuntime(rt::TypeMismatch);
  return v.object();
}

// A worksheet without a value, a text or a drawing has nothing to print (a workbook's print
// passes over it). A server that cannot say is taken to have something.
bool nothingToPrint(const DispatchPtr& sheet) {
  try {
    DispatchPtr used = getObject(sheet, "UsedRange");
    return get(used, "Address").toString() == "$A$1" && get(used, "Value").isEmpty() &&
           get(getObject(sheet, "Shapes"), "Count").toI4() == 0;
  } catch (const AutomationError&) {
    return false;
  }
}

// A sheet's own gridlines and first page number; a server that cannot say is taken to
// print no grid and to start at page 1.
std::pair<bool, int32_t> ownPrintSettings(const DispatchPtr& setup) {
  std::pair<bool, int32_t> own{false, 1};
  try {
    own.first = get(setup, "PrintGridlines").toBool();
    own.second = get(setup, "FirstPageNumber").toI4();
  } catch (const AutomationError&) {
  }
  return own;
}

// The paper of a sheet in points, turned as the sheet is: from the application's paper
// number and orientation; Letter where the paper is none of those known.
std::pair<double, double> paperOf(const DispatchPtr& setup) {
  static const std::map<int32_t, std::pair<double, double>> kPapers = {
      {1, {612, 792}},   {3, {792, 1224}}, {5, {612, 1008}}, {6, {396, 612}},
      {7, {522, 756}},   {8, {842, 1191}}, {9, {595, 842}},  {11, {420, 595}},
      {12, {729, 1032}}, {13, {516, 729}}, {14, {612, 936}}};
  std::pair<double, double> paper{612, 792};
  try {
    if (auto known = kPapers.find(get(setup, "PaperSize").toI4()); known != kPapers.end()) {
      paper = known->second;
    }
    if (get(setup, "Orientation").toI4() == kLandscapeOrientation) {
      std::swap(paper.first, paper.second);
    }
  } catch (const AutomationError&) {
  }
  return paper;
}

}  // namespace

DocumentLayout presentationLayout(const std::string& path) {
  DocumentLayout layout;
  bool wide = false;
  bool ok = withDocument(
      "Powerpoint.Application",
      [&](const DispatchPtr& app) {
        return asObject(
            call(getObject(app, "Presentations"), "Open", {Variant(path)},
                 {{"ReadOnly", Variant(int16_t{-1})}, {"WithWindow", Variant(int16_t{0})}}));
      },
      [&](const DispatchPtr& pres) {
        DispatchPtr setup = getObject(pres, "PageSetup");
        // A square slide counts as wide: the office lays it out that way.
        wide = get(setup, "SlideWidth").toDouble() >= get(setup, "SlideHeight").toDouble();
      },
      {});
  if (ok) layout.wideSlides = wide;
  return layout;
}

DocumentLayout workbookLayout(const std::string& path) {
  DocumentLayout layout;
  std::vector<SheetRange> sheets;
  std::optional<std::pair<double, double>> firstPaper;
  bool ok = withDocument(
      "Excel.Application",
      [&](const DispatchPtr& app) {
        put(app, "DisplayAlerts", Variant(false));
        return asObject(call(getObject(app, "Workbooks"), "Open", {Variant(path)},
                             {{"UpdateLinks", Variant(int16_t{0})}, {"ReadOnly", Variant(true)}}));
      },
      [&](const DispatchPtr& book) {
        DispatchPtr worksheets = getObject(book, "Worksheets");
        const int32_t count = get(worksheets, "Count").toI4();
        for (int32_t i = 1; i <= count; ++i) {
          DispatchPtr sheet = getObject(worksheets, "Item", {Variant(i)});
          if (get(sheet, "Visible").toI4() != kSheetVisible) continue;
          DispatchPtr setup = getObject(sheet, "PageSetup");
          if (nothingToPrint(sheet)) {
            if (!firstPaper) firstPaper = paperOf(setup);
            continue;
          }
          std::string name = get(sheet, "Name").toString();
          Variant area = get(setup, "PrintArea");
          std::vector<std::string> ranges = area.isNull() || area.isEmpty()
                                                ? std::vector<std::string>{}
                                                : printAreaRanges(area.toString());
          if (ranges.empty()) ranges.push_back(kWholeSheet);
          const auto [grid, firstPage] = ownPrintSettings(setup);
          for (auto& range : ranges) sheets.push_back({name, std::move(range), grid, firstPage});
        }
      },
      {Variant(false)});
  if (ok) layout.sheets = std::move(sheets);
  if (ok && layout.sheets.empty() && firstPaper) layout.blankPage = firstPaper;
  return layout;
}

std::vector<std::string> printAreaRanges(const std::string& printArea) {
  std::vector<std::string> ranges;
  std::string current;
  bool quoted = false;
  auto finish = [&] {
    // A sheet name before the range ("Sales!$A$1:$B$2", "'My sheet'!A1") is not part of
    // the range the sheet's own Range takes.
    if (auto bang = current.rfind('!'); bang != std::string::npos) current.erase(0, bang + 1);
    size_t begin = current.find_first_not_of(' ');
    size_t end = current.find_last_not_of(' ');
    if (begin != std::string::npos) ranges.push_back(current.substr(begin, end - begin + 1));
    current.clear();
  };
  for (char c : printArea) {
    if (c == '\'') quoted = !quoted;
    if (c == ',' && !quoted) {
      finish();
    } else {
      current += c;
    }
  }
  finish();
  return ranges;
}

}  // namespace docmill::cli
