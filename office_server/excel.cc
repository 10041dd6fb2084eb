// "Excel.Application" over the office's spreadsheets.
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/drawing/XDrawPages.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XHeaderFooterContent.hpp>
#include <com/sun/star/sheet/XPrintAreas.hpp>
#include <com/sun/star/sheet/XSheetCellCursor.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextContent.hpp>
#include <com/sun/star/text/XTextCursor.hpp>
#include <com/sun/star/text/XTextRange.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>

#include "office_server/app_base.h"
#include "office_server/factories.h"
#include "office_server/fixed_format.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::beans::XPropertySet;
using css::uno::Any;
using css::uno::Reference;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

const AppIdentity kExcel{"Excel", 1004, 1005, 1004, 1004};

namespace {

const DocumentKind kSpreadsheet{"com.sun.star.sheet.SpreadsheetDocument", "calc_pdf_Export",
                                "workbook", nullptr, "Calc MS Excel 2007 XML"};

// One piece of an Excel header or footer: literal text, or a field the office fills in.
struct Piece {
  std::string text;
  const char* field = nullptr;  // service name of the field, or nullptr for text
};

// Splits Excel's header codes: &P page, &N pages, &D date, &T time, &F file name, &A sheet
// name, && an ampersand. Formatting codes (&B, &I, &U, &S, &"font", &size, ...) are dropped:
// the text keeps the office's header font.
std::vector<Piece> parseHeader(const std::string& text) {
  std::vector<Piece> pieces;
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) pieces.push_back({literal, nullptr});
    literal.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&' || i + 1 >= text.size()) {
      literal += text[i];
      continue;
    }
    char code = static_cast<char>(std::toupper(static_cast<unsigned char>(text[++i])));
    const char* field = nullptr;
    switch (code) {
      case '&':
        literal += '&';
        continue;
      case 'P':
        field = "com.sun.star.text.TextField.PageNumber";
        break;
      case 'N':
        field = "com.sun.star.text.TextField.PageCount";
        break;
      case 'D':
        field = "com.sun.star.text.TextField.Date";
        break;
      case 'T':
        field = "com.sun.star.text.TextField.Time";
        break;
      case 'F':
        field = "com.sun.star.text.TextField.FileName";
        break;
      case 'A':
        field = "com.sun.star.text.TextField.SheetName";
        break;
      case '"': {
        auto end = text.find('"', i + 1);
        i = end == std::string::npos ? text.size() : end;
        continue;
      }
      default:
        while (i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) ++i;
        continue;
    }
    flush();
    pieces.push_back({"", field});
  }
  flush();
  return pieces;
}

// Excel's xlAutomatic.
constexpr int32_t kAutomatic = -4105;

// Excel's number for the paper of a page (1/100 mm, either way round): the common sizes,
// within 2 mm; xlPaperUser (256) for any other.
int32_t paperSizeOf(int32_t width, int32_t height) {
  struct Paper {
    int32_t number, shorter, longer;
  };
  static constexpr Paper kPapers[] = {{1, 21590, 27940},  {3, 27940, 43180},  {5, 21590, 35560},
                                      {7, 18415, 26670},  {8, 29700, 42000},  {9, 21000, 29700},
                                      {11, 14800, 21000}, {12, 25700, 36400}, {13, 18200, 25700},
                                      {6, 13970, 21590},  {14, 21590, 33020}};
  const int32_t shorter = std::min(width, height), longer = std::max(width, height);
  for (const Paper& p : kPapers) {
    if (std::abs(p.shorter - shorter) <= 200 && std::abs(p.longer - longer) <= 200) return p.number;
  }
  return 256;
}

// An absolute cell reference in Excel's notation ("$AB$12") from zero-based indices.
std::string cellName(int32_t column, int32_t row) {
  std::string letters;
  for (int32_t c = column + 1; c > 0; c = (c - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
  }
  return "$" + letters + "$" + std::to_string(row + 1);
}

// The page setup of one worksheet as Excel describes it (margins in points, measured from
// the paper edge to the cells, header and footer inside the top and bottom margins).
// Values the caller never set keep the sheet's own layout.
struct SheetSetup {
  std::optional<bool> gridlines;
  std::optional<int> orientation;            // 1 portrait, 2 landscape
  std::map<std::string, std::string> texts;  // "LeftHeader" ... "RightFooter"
  std::optional<double> top, left, right, bottom, header, footer;
  std::optional<int32_t> firstPageNumber;
};

struct WorkbookState {
  DocumentPtr doc;
  std::map<std::string, SheetSetup> setups;  // by sheet name

  Reference<css::lang::XComponent> component() const { return doc->get(kExcel); }
  Reference<css::container::XNameAccess> sheets() const {
    Reference<css::sheet::XSpreadsheetDocument> book(component(), UNO_QUERY_THROW);
    return Reference<css::container::XNameAccess>(book->getSheets(), UNO_QUERY_THROW);
  }
  // Cells of the sheet that hold something (values, text, formulas, notes).
  Reference<css::sheet::XSheetCellRanges> contentCells(const std::string& sheetName) const {
    Reference<css::sheet::XCellRangesQuery> query(sheets()->getByName(toOU(sheetName)),
                                                  UNO_QUERY_THROW);
    using namespace css::sheet::CellFlags;
    return query->queryContentCells(
        static_cast<sal_Int16>(VALUE | DATETIME | STRING | FORMULA | ANNOTATION));
  }
  // Drawing objects on the sheet (charts, pictures, shapes).
  int32_t shapeCount(const std::string& sheetName) const {
    const auto names = sheets()->getElementNames();
    for (sal_Int32 i = 0; i < names.getLength(); ++i) {
      if (names[i] != toOU(sheetName)) continue;
      Reference<css::drawing::XDrawPagesSupplier> pages(component(), UNO_QUERY_THROW);
      Reference<css::container::XIndexAccess> page(pages->getDrawPages()->getByIndex(i),
                                                   UNO_QUERY_THROW);
      return page->getCount();
    }
    return 0;
  }
  // The office prints nothing of a sheet without cells or drawings, and for a selection on
  // such a sheet it would print another sheet instead.
  bool hasNothingToPrint(const std::string& sheetName) const {
    return contentCells(sheetName)->getCount() == 0 && shapeCount(sheetName) == 0;
  }

  Reference<XPropertySet> pageStyle(const std::string& sheetName) const {
    Reference<XPropertySet> sheet(sheets()->getByName(toOU(sheetName)), UNO_QUERY_THROW);
    OUString styleName = getProp<OUString>(sheet, "PageStyle");
    Reference<css::style::XStyleFamiliesSupplier> families(component(), UNO_QUERY_THROW);
    Reference<css::container::XNameAccess> styles(
        families->getStyleFamilies()->getByName("PageStyles"), UNO_QUERY_THROW);
    return Reference<XPropertySet>(styles->getByName(styleName), UNO_QUERY_THROW);
  }

  // The height of a page style's header or footer band ("Header", "Footer") where it
  // has a usable one; 0 where it has none. A page style that never described the band may
  // still have it switched on, with a height of a whole page or more: such a band would
  // leave the cells no room, so it counts as none, and is laid out afresh when printed.
  static int32_t bandHeight(const Reference<XPropertySet>& style, const std::string& band) {
    if (!getProp<bool>(style, (band + "IsOn").c_str())) return 0;
    const int32_t height = getProp<int32_t>(style, (band + "Height").c_str());
    const int32_t room = getProp<int32_t>(style, "Height") - getProp<int32_t>(style, "TopMargin") -
                         getProp<int32_t>(style, "BottomMargin");
    return height > 0 && height < room ? height : 0;
  }
  static bool bandUnusable(const Reference<XPropertySet>& style, const std::string& band) {
    return getProp<bool>(style, (band + "IsOn").c_str()) && bandHeight(style, band) == 0;
  }

  // Excel's view of a sheet's margins, read from its page style.
  double currentMargin(const std::string& sheet, const std::string& which) {
    auto style = pageStyle(sheet);
    auto band = [&](const char* prefix, const char* margin) {
      return std::pair{getProp<int32_t>(style, margin), bandHeight(style, prefix)};
    };
    if (which == "TopMargin") {
      auto [edge, height] = band("Header", "TopMargin");
      return hmmToPoints(edge + height);
    }
    if (which == "BottomMargin") {
      auto [edge, height] = band("Footer", "BottomMargin");
      return hmmToPoints(edge + height);
    }
    if (which == "HeaderMargin") {
      auto [edge, height] = band("Header", "TopMargin");
      return height ? hmmToPoints(edge) : std::min(21.6, hmmToPoints(edge) / 2);
    }
    if (which == "FooterMargin") {
      auto [edge, height] = band("Footer", "BottomMargin");
      return height ? hmmToPoints(edge) : std::min(21.6, hmmToPoints(edge) / 2);
    }
    return hmmToPoints(getProp<int32_t>(style, which.c_str()));
  }

  void fillHeaderText(const Reference<css::text::XText>& text, const std::string& value) {
    Reference<css::lang::XMultiServiceFactory> factory(component(), UNO_QUERY_THROW);
    text->setString(OUString());
    Reference<css::text::XTextCursor> cursor = text->createTextCursor();
    cursor->gotoEnd(false);
    for (const Piece& piece : parseHeader(value)) {
      if (!piece.field) {
        text->insertString(cursor.get(), toOU(piece.text), false);
        continue;
      }
      Reference<css::text::XTextContent> field(
          factory->createInstance(OUString::createFromAscii(piece.field)), UNO_QUERY_THROW);
      text->insertTextContent(cursor.get(), field, false);
      cursor->gotoEnd(false);
    }
  }

  // Writes what the caller set into the sheet's page style, just before printing it.
  void apply(const std::string& sheet) {
    auto it = setups.find(sheet);
    if (it == setups.end()) return;
    SheetSetup& s = it->second;
    auto style = pageStyle(sheet);
    // The margins as Excel sees them before a band is switched on or moved: a header or
    // footer given now sits inside the margin the cells already had.
    const double top = s.top.value_or(currentMargin(sheet, "TopMargin"));
    const double header = s.header.value_or(currentMargin(sheet, "HeaderMargin"));
    const double bottom = s.bottom.value_or(currentMargin(sheet, "BottomMargin"));
    const double footer = s.footer.value_or(currentMargin(sheet, "FooterMargin"));
    // A band is laid out afresh when its margins are given, when it gets text, and when the
    // page style's own would leave the cells no room.
    bool placeHeader = s.top || s.header || bandUnusable(style, "Header");
    bool placeFooter = s.bottom || s.footer || bandUnusable(style, "Footer");
    if (s.gridlines) setProp(style, "PrintGrid", Any(*s.gridlines));
    if (s.orientation) {
      bool landscape = *s.orientation == 2;
      int32_t w = getProp<int32_t>(style, "Width");
      int32_t h = getProp<int32_t>(style, "Height");
      setProp(style, "IsLandscape", Any(landscape));
      if (landscape != (w > h)) {
        setProp(style, "Width", Any(h));
        setProp(style, "Height", Any(w));
      }
    }
    for (const char* band : {"Header", "Footer"}) {
      std::string b(band);
      bool any = false;
      for (const char* part : {"Left", "Center", "Right"}) any |= s.texts.count(part + b) > 0;
      if (!any) continue;
      setProp(style, (b + "IsOn").c_str(), Any(true));
      (b == "Header" ? placeHeader : placeFooter) = true;
      for (const char* page : {"RightPage", "LeftPage"}) {
        const std::string name = std::string(page) + b + "Content";
        Reference<css::sheet::XHeaderFooterContent> content(style->getPropertyValue(toOU(name)),
                                                            UNO_QUERY_THROW);
        if (auto t = s.texts.find("Left" + b); t != s.texts.end()) {
          fillHeaderText(content->getLeftText(), t->second);
        }
        if (auto t = s.texts.find("Center" + b); t != s.texts.end()) {
          fillHeaderText(content->getCenterText(), t->second);
        }
        if (auto t = s.texts.find("Right" + b); t != s.texts.end()) {
          fillHeaderText(content->getRightText(), t->second);
        }
        style->setPropertyValue(toOU(name), Any(content));
      }
    }
    // Margins: the band's distance from the paper edge, then the band, then the cells.
    auto placeBand = [&](const char* prefix, const char* marginName, double bodyMargin,
                         double bandMargin) {
      const std::string p(prefix);
      if (getProp<bool>(style, (p + "IsOn").c_str())) {
        int32_t edge = pointsToHmm(std::min(bandMargin, bodyMargin));
        int32_t height = std::max<int32_t>(pointsToHmm(bodyMargin) - edge, 300);
        setProp(style, marginName, Any(edge));
        setProp(style, (p + "IsDynamicHeight").c_str(), Any(false));
        setProp(style, (p + "BodyDistance").c_str(), Any(std::min<int32_t>(250, height / 3)));
        setProp(style, (p + "Height").c_str(), Any(height));
      } else {
        setProp(style, marginName, Any(pointsToHmm(bodyMargin)));
      }
    };
    if (placeHeader) placeBand("Header", "TopMargin", top, header);
    if (placeFooter) placeBand("Footer", "BottomMargin", bottom, footer);
    if (s.left) setProp(style, "LeftMargin", Any(pointsToHmm(*s.left)));
    if (s.right) setProp(style, "RightMargin", Any(pointsToHmm(*s.right)));
    if (s.firstPageNumber) {
      setProp(style, "FirstPageNumber", Any(static_cast<int16_t>(*s.firstPageNumber)));
    }
  }
};
using StatePtr = std::shared_ptr<WorkbookState>;

class ExcelObject : public OfficeObject {
 public:
  ExcelObject() : OfficeObject(kExcel) {}
};

class ExcelPageSetup : public ExcelObject {
 public:
  ExcelPageSetup(StatePtr state, std::string sheet)
      : state_(std::move(state)), sheet_(std::move(sheet)) {}

 protected:
  Variant member(NamedCall& call) override {
    SheetSetup& s = state_->setups[sheet_];
    if (is(call, "PrintGridlines")) {
      if (!call.isPut()) {
        return Variant(s.gridlines.value_or(getProp<bool>(state_->pageStyle(sheet_), "PrintGrid")));
      }
      s.gridlines = putValue(call).toBool();
      return {};
    }
    if (is(call, "Orientation")) {
      if (!call.isPut()) {
        int o =
            s.orientation.value_or(getProp<bool>(state_->pageStyle(sheet_), "IsLandscape") ? 2 : 1);
        return Variant(static_cast<int32_t>(o));
      }
      int32_t o = putValue(call).toI4();
      if (o != 1 && o != 2)
        fail(app_.badValue,
             "Unable to set the Orientation property of the PageSetup class: use 1 (portrait) or 2 "
             "(landscape).");
      s.orientation = o;
      return {};
    }
    for (const char* name : {"LeftHeader", "CenterHeader", "RightHeader", "LeftFooter",
                             "CenterFooter", "RightFooter"}) {
      if (!is(call, name)) continue;
      if (!call.isPut()) {
        auto t = s.texts.find(name);
        return Variant(t == s.texts.end() ? std::string() : t->second);
      }
      s.texts[name] = putValue(call).concatText();
      return {};
    }
    struct Margin {
      const char* name;
      std::optional<double> SheetSetup::*field;
    };
    static const Margin margins[] = {
        {"TopMargin", &SheetSetup::top},       {"LeftMargin", &SheetSetup::left},
        {"RightMargin", &SheetSetup::right},   {"BottomMargin", &SheetSetup::bottom},
        {"HeaderMargin", &SheetSetup::header}, {"FooterMargin", &SheetSetup::footer}};
    for (const auto& m : margins) {
      if (!is(call, m.name)) continue;
      auto& field = s.*(m.field);
      if (!call.isPut()) return Variant(field.value_or(state_->currentMargin(sheet_, m.name)));
      double points = numberAsWritten(putValue(call));
      if (points < 0 || points > 1000) {
        fail(app_.badValue, std::string("Unable to set the ") + m.name +
                                " property of the PageSetup class: the margin is out of range.");
      }
      field = points;
      return {};
    }
    if (is(call, "PrintArea") && !call.isPut()) return Variant(printArea());
    if (is(call, "PaperSize") && !call.isPut()) {
      auto style = state_->pageStyle(sheet_);
      return Variant(
          paperSizeOf(getProp<int32_t>(style, "Width"), getProp<int32_t>(style, "Height")));
    }
    if (is(call, "FirstPageNumber")) {
      if (!call.isPut()) {
        if (s.firstPageNumber) return Variant(*s.firstPageNumber);
        // The sheet's own: a page style that goes on counting is Excel's xlAutomatic.
        const int16_t own = getProp<int16_t>(state_->pageStyle(sheet_), "FirstPageNumber");
        return Variant(static_cast<int32_t>(own > 0 ? own : kAutomatic));
      }
      int32_t n = putValue(call).toI4();
      // Excel's xlAutomatic continues the numbering: page 1 for a single print.
      s.firstPageNumber = n == kAutomatic ? 1 : n;
      if (*s.firstPageNumber < 0 || *s.firstPageNumber > 32767) {
        fail(app_.badValue, "Unable to set the FirstPageNumber property of the PageSetup class.");
      }
      return {};
    }
    unknownMember(call);
  }

 private:
  // The sheet's print ranges as Excel writes them: "$A$1:$C$9,$E$1:$F$2"; "" for none.
  std::string printArea() const {
    Reference<css::sheet::XPrintAreas> areas(state_->sheets()->getByName(toOU(sheet_)),
                                             UNO_QUERY_THROW);
    std::string text;
    for (const auto& a : areas->getPrintAreas()) {
      if (!text.empty()) text += ",";
      text += cellName(a.StartColumn, a.StartRow) + ":" + cellName(a.EndColumn, a.EndRow);
    }
    return text;
  }

  StatePtr state_;
  std::string sheet_;
};

class ExcelRange : public ExcelObject {
 public:
  ExcelRange(StatePtr state, std::string sheet, Reference<css::table::XCellRange> range)
      : state_(std::move(state)), sheet_(std::move(sheet)), range_(std::move(range)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "PrintOut") || is(call, "PrintOutEx")) {
      // Excel's positional order: From, To, Copies, Preview, ActivePrinter, PrintToFile,
      // Collate, PrToFileName.
      const Variant* printer = argument(call, 4, "ActivePrinter");
      const Variant* toFile = argument(call, 5, "PrintToFile");
      const Variant* target = argument(call, 7, "PrToFileName");
      const Variant* preview = argument(call, 3, "Preview");
      const Variant* copies = argument(call, 2, "Copies");
      if (printer) checkPrinter(app_, *printer);
      if (preview && preview->toBool())
        fail(app_.badValue, "A server cannot show a print preview.");
      if (copies && copies->toI4() != 1)
        fail(app_.badValue, "Only one copy can be printed to a file.");
      if ((toFile && !toFile->toBool()) || !target || target->toString().empty()) {
        fail(app_.badValue,
             "PrintOut needs PrintToFile True and PrToFileName, the file to print into.");
      }
      if (state_->hasNothingToPrint(sheet_)) {
        fail(app_.badValue,
             "Excel did not find anything to print on the worksheet \"" + sheet_ + "\".");
      }
      state_->apply(sheet_);
      printToFile(app_, state_->component(), kSpreadsheet.pdfFilter,
                  props({prop("Selection", Any(range_))}), target->toString());
      return {};
    }
    if (is(call, "Address")) {
      Reference<css::sheet::XCellRangeAddressable> at(range_, UNO_QUERY_THROW);
      auto a = at->getRangeAddress();
      std::string first = cellName(a.StartColumn, a.StartRow);
      if (a.StartColumn == a.EndColumn && a.StartRow == a.EndRow) return Variant(first);
      return Variant(first + ":" + cellName(a.EndColumn, a.EndRow));
    }
    if (is(call, "Value") && !call.isPut()) {
      // The value of a single cell: a number, a text, or Empty for an empty cell.
      Reference<css::sheet::XCellRangeAddressable> at(range_, UNO_QUERY_THROW);
      auto a = at->getRangeAddress();
      if (a.StartColumn != a.EndColumn || a.StartRow != a.EndRow) {
        fail(app_.badValue, "Value can be read from one cell at a time.");
      }
      Reference<css::table::XCell> cell = range_->getCellByPosition(0, 0);
      switch (cell->getType()) {
        case css::table::CellContentType_EMPTY:
          return {};
        case css::table::CellContentType_VALUE:
          return Variant(cell->getValue());
        default: {
          Reference<css::text::XText> text(cell, UNO_QUERY_THROW);
          return Variant(fromOU(text->getString()));
        }
      }
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
  std::string sheet_;
  Reference<css::table::XCellRange> range_;
};

// A worksheet's drawing objects; only counted.
class ExcelShapes : public ExcelObject {
 public:
  ExcelShapes(StatePtr state, std::string sheet)
      : state_(std::move(state)), sheet_(std::move(sheet)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Count")) return Variant(state_->shapeCount(sheet_));
    unknownMember(call);
  }

 private:
  StatePtr state_;
  std::string sheet_;
};

class ExcelWorksheet : public ExcelObject {
 public:
  ExcelWorksheet(StatePtr state, std::string name)
      : state_(std::move(state)), name_(std::move(name)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "PageSetup")) {
      return Variant(DispatchPtr(std::make_shared<ExcelPageSetup>(state_, name_)));
    }
    if (is(call, "Name")) return Variant(name_);
    if (is(call, "UsedRange")) {
      // From A1 to the last cell that holds something; A1 on an empty sheet.
      Reference<css::sheet::XSpreadsheet> sheet(state_->sheets()->getByName(toOU(name_)),
                                                UNO_QUERY_THROW);
      Reference<css::sheet::XSheetCellCursor> cursor = sheet->createCursor();
      Reference<css::sheet::XUsedAreaCursor> used(cursor, UNO_QUERY_THROW);
      used->gotoEndOfUsedArea(false);
      Reference<css::sheet::XCellRangeAddressable> end(cursor, UNO_QUERY_THROW);
      auto a = end->getRangeAddress();
      Reference<css::table::XCellRange> range =
          sheet->getCellRangeByPosition(0, 0, a.EndColumn, a.EndRow);
      return Variant(DispatchPtr(std::make_shared<ExcelRange>(state_, name_, range)));
    }
    if (is(call, "Shapes")) {
      return Variant(DispatchPtr(std::make_shared<ExcelShapes>(state_, name_)));
    }
    if (is(call, "Visible") && !call.isPut()) {
      // Excel's xlSheetVisible (-1) or xlSheetHidden (0).
      Reference<XPropertySet> sheet(state_->sheets()->getByName(toOU(name_)), UNO_QUERY_THROW);
      return Variant(static_cast<int32_t>(getProp<bool>(sheet, "IsVisible") ? -1 : 0));
    }
    if (is(call, "Range")) {
      if (call.args.empty()) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      std::string ref = call.args[0].toString();
      if (call.args.size() > 1 && !call.args[1].isMissing()) ref += ":" + call.args[1].toString();
      Reference<css::table::XCellRange> sheet(state_->sheets()->getByName(toOU(name_)),
                                              UNO_QUERY_THROW);
      Reference<css::table::XCellRange> range;
      try {
        range = sheet->getCellRangeByName(toOU(ref));
      } catch (const css::uno::RuntimeException&) {
      }
      if (!range.is()) {
        fail(app_.badValue, "The range \"" + ref + "\" is not valid on the worksheet \"" + name_ +
                                "\". Use a reference such as A1:D20.");
      }
      return Variant(DispatchPtr(std::make_shared<ExcelRange>(state_, name_, range)));
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
  std::string name_;
};

class ExcelWorksheets : public IndexedCollection {
 public:
  explicit ExcelWorksheets(StatePtr state) : IndexedCollection(kExcel), state_(std::move(state)) {}
  Variant item(const Variant& index) override {
    auto sheets = state_->sheets();
    if (index.valueType() == vt::Bstr) {
      std::string name = index.bstr();
      for (const OUString& candidate : sheets->getElementNames()) {
        if (namesEqual(fromOU(candidate), name)) {
          return Variant(DispatchPtr(std::make_shared<ExcelWorksheet>(state_, fromOU(candidate))));
        }
      }
      raise(Error{rt::SubscriptOutOfRange, app_.name,
                  "Subscript out of range: the workbook has no worksheet named \"" + name + "\"."});
    }
    int32_t position = index.toI4();
    auto names = sheets->getElementNames();
    if (position < 1 || position > names.getLength()) {
      raise(Error{rt::SubscriptOutOfRange, app_.name,
                  "Subscript out of range: the workbook has " + std::to_string(names.getLength()) +
                      " worksheets, not " + std::to_string(position) + "."});
    }
    return Variant(
        DispatchPtr(std::make_shared<ExcelWorksheet>(state_, fromOU(names[position - 1]))));
  }

 protected:
  int32_t count() override { return state_->sheets()->getElementNames().getLength(); }

 private:
  StatePtr state_;
};

class ExcelWorkbook : public ExcelObject {
 public:
  explicit ExcelWorkbook(DocumentPtr doc) : state_(std::make_shared<WorkbookState>()) {
    state_->doc = std::move(doc);
    worksheets_ = std::make_shared<ExcelWorksheets>(state_);
  }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Worksheets") || is(call, "Sheets")) {
      if (!call.args.empty()) return worksheets_->item(call.args[0]);
      return Variant(DispatchPtr(worksheets_));
    }
    if (is(call, "Close")) {
      state_->doc->close();  // opened read-only: nothing is ever written back
      return {};
    }
    if (is(call, "SaveAs")) {
      const Variant* name = argument(call, 0, "Filename");
      if (!name) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      const Variant* password = argument(call, 2, "Password");
      storeDocument(app_, state_->component(), kSpreadsheet, name->toString(),
                    password ? password->toString() : std::string());
      return {};
    }
    if (is(call, "ExportAsFixedFormat")) return exportAsFixedFormat(call);
    if (is(call, "FullName") || is(call, "Name")) return Variant(state_->doc->path());
    unknownMember(call);
  }

 private:
  // Excel's positional order. Every visible sheet is exported in order, each with its own
  // print areas and page setup (and what the caller set through PageSetup).
  static constexpr const char* kExportParameters[] = {
      "Type", "Filename", "Quality",          "IncludeDocProperties",  "IgnorePrintAreas",
      "From", "To",       "OpenAfterPublish", "FixedFormatExtClassPtr"};

  Variant exportAsFixedFormat(const NamedCall& call) {
    FixedFormatCall pdf(app_, call, kExportParameters);
    const std::string target = pdf.target("Filename");
    pdf.requireFormat("Type", 0, 1);  // xlTypePDF, xlTypeXPS
    pdf.refuseTrue("OpenAfterPublish", "cannot be done: a server shows no viewer.");
    pdf.refuseObject("FixedFormatExtClassPtr");
    if (pdf.choice("Quality", {0, 1}) == 1) pdf.forScreen();  // xlQualityMinimum
    for (const auto& [sheet, setup] : state_->setups) state_->apply(sheet);
    if (const Variant* ignore = pdf.argument("IgnorePrintAreas"); ignore && ignore->toBool()) {
      // The document was opened read-only and is never saved: its print areas may go.
      auto sheets = state_->sheets();
      for (const OUString& name : sheets->getElementNames()) {
        Reference<css::sheet::XPrintAreas> areas(sheets->getByName(name), UNO_QUERY_THROW);
        areas->setPrintAreas({});
      }
    }
    const Variant* from = pdf.argument("From");
    const Variant* to = pdf.argument("To");
    if (from || to) pdf.pages(from, to, exportedPageCount(state_->component()));
    pdf.write(state_->component(), kSpreadsheet.pdfFilter, target);
    return {};
  }

  StatePtr state_;
  std::shared_ptr<ExcelWorksheets> worksheets_;
};

// Excel's positional order: Filename, UpdateLinks, ReadOnly, Format, Password,
// WriteResPassword, ... The write-reservation password guards saving only; workbooks are
// opened read-only.
using ExcelWorkbooks = OpenDocuments<ExcelWorkbook>;
constexpr OpenParameters kOpenWorkbook{kSpreadsheet, "Filename", 4, "Password"};

class ExcelApplication : public ExcelObject {
 public:
  ExcelApplication() : workbooks_(std::make_shared<ExcelWorkbooks>(kExcel, docs_, kOpenWorkbook)) {}
  ~ExcelApplication() override { docs_->closeAll(); }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Workbooks")) return Variant(DispatchPtr(workbooks_));
    if (is(call, "DisplayAlerts")) {
      if (!call.isPut()) return Variant(alerts_);
      alerts_ = putValue(call).toBool();
      return {};
    }
    if (is(call, "Visible")) {
      if (!call.isPut()) return Variant(false);
      putValue(call).toBool();  // a server shows no window
      return {};
    }
    if (is(call, "ActivePrinter")) {
      if (!call.isPut()) return Variant(printer_);
      printer_ = checkPrinter(app_, putValue(call));
      return {};
    }
    if (is(call, "InchesToPoints") || is(call, "CentimetersToPoints")) {
      const Variant* value =
          argument(call, 0, is(call, "InchesToPoints") ? "Inches" : "Centimeters");
      if (!value) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      double factor = is(call, "InchesToPoints") ? 72.0 : 72.0 / 2.54;
      return Variant(numberAsWritten(*value) * factor);
    }
    if (is(call, "Quit")) {
      docs_->closeAll();
      return {};
    }
    if (is(call, "Name")) return Variant("Excel");
    if (is(call, "PrintsSynchronously")) return printsSynchronously(app_, call);
    unknownMember(call);
  }

 private:
  std::shared_ptr<DocumentList> docs_ = std::make_shared<DocumentList>();
  std::shared_ptr<ExcelWorkbooks> workbooks_;
  bool alerts_ = true;
  std::string printer_ = kDefaultPrinter;
};

}  // namespace

DispatchPtr createExcelApplication() {
  auto app = std::make_shared<ExcelApplication>();
  startOffice(kExcel);
  return app;
}

}  // namespace docmill::office_server
