#include "cli/layout.h"

#include "automation/creation.h"
#include "automation/dispatch.h"

namespace docmill::cli {

namespace {

// Worksheet visibility as the spreadsheet application reports it.
constexpr int32_t kSheetVisible = -1;

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
          if (get(sheet, "Visible").toI4() != kSheetVisible || nothingToPrint(sheet)) continue;
          std::string name = get(sheet, "Name").toString();
          Variant area = get(getObject(sheet, "PageSetup"), "PrintArea");
          std::vector<std::string> ranges = area.isNull() || area.isEmpty()
                                                ? std::vector<std::string>{}
                                                : printAreaRanges(area.toString());
          if (ranges.empty()) ranges.push_back(kWholeSheet);
          for (auto& range : ranges) sheets.push_back({name, std::move(range)});
        }
      },
      {Variant(false)});
  if (ok) layout.sheets = std::move(sheets);
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
