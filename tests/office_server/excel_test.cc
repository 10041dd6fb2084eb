// Excel.Application over the real office, driven through the same late-bound calls the
// Excel converters make.
#include <gtest/gtest.h>

#include "automation/creation.h"
#include "office_server/protection.h"
#include "office_server/servers.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

using fixtures::Printed;
using fixtures::Scratch;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

// A sheet of `rows` numbered rows: "Row1 ...", "Row2 ...".
fixtures::Sheet numberedSheet(const std::string& name, int rows) {
  fixtures::Sheet sheet{name, {}};
  for (int r = 1; r <= rows; ++r) {
    sheet.rows.push_back({name + "R" + std::to_string(r), std::to_string(r * 10)});
  }
  return sheet;
}

struct ExcelRun {
  DispatchPtr app = createObject("Excel.Application");
  DispatchPtr book;

  void open(const std::string& path, Variant password = "", Variant writeRes = "") {
    book = call(getObject(app, "Workbooks"), "Open", {Variant(path)},
                {{"WriteResPassword", writeRes}, {"Password", password}})
               .toObject();
    put(app, "DisplayAlerts", Variant(false));
  }
  DispatchPtr sheet(Variant which) { return getObject(book, "Worksheets", {which}); }
  void setup(const DispatchPtr& sheet, const std::string& name, Variant value) {
    put(getObject(sheet, "PageSetup"), name, value);
  }
  void print(const DispatchPtr& sheet, const std::string& range, const std::string& out) {
    call(getObject(sheet, "Range", {Variant(range)}), "PrintOut", {},
         {{"ActivePrinter", Variant("Generic PostScript Printer")},
          {"PrToFilename", Variant(out)},
          {"Collate", Variant(true)},
          {"PrintToFile", Variant(true)},
          {"preview", Variant(false)},
          {"Copies", Variant(int16_t{1})}});
  }
  ~ExcelRun() {
    try {
      put(app, "DisplayAlerts", Variant(true));
      if (book) call(book, "Close", {Variant(false)});
      call(app, "Quit");
    } catch (...) {
    }
  }
};

TEST(ExcelApplication, PrintsExactlyTheRangeOfTheNamedSheet) {
  Scratch dir;
  fixtures::writeFile(
      dir.path("book.fods"),
      fixtures::flatSpreadsheet({numberedSheet("First", 5), numberedSheet("Second", 5)}));
  ExcelRun excel;
  excel.open(dir.path("book.fods"));
  auto second = excel.sheet(Variant("second"));
  excel.print(second, "A2:B3", dir.path("out.ps"));
  Printed printed = fixtures::readPostScript(dir.path("out.ps"));
  ASSERT_EQ(printed.pages, 1);
  EXPECT_NE(printed.text().find("SecondR2"), std::string::npos) << printed.text();
  EXPECT_NE(printed.text().find("SecondR3"), std::string::npos);
  EXPECT_EQ(printed.text().find("SecondR1"), std::string::npos);
  EXPECT_EQ(printed.text().find("SecondR4"), std::string::npos);
  EXPECT_EQ(printed.text().find("First"), std::string::npos);

  auto first = excel.sheet(Variant(int16_t{1}));
  excel.print(first, "A1:B1", dir.path("first.ps"));
  EXPECT_NE(fixtures::readPostScript(dir.path("first.ps")).text().find("FirstR1"),
            std::string::npos);
}

TEST(ExcelApplication, PageSetupHeaderFooterLandscapeAndFirstPageNumber) {
  Scratch dir;
  fixtures::writeFile(dir.path("book.fods"),
                      fixtures::flatSpreadsheet({numberedSheet("Data", 120)}));
  ExcelRun excel;
  excel.open(dir.path("book.fods"));
  auto sheet = excel.sheet(Variant("Data"));
  excel.setup(sheet, "PrintGridlines", Variant(true));
  excel.setup(sheet, "Orientation", Variant(int16_t{2}));
  excel.setup(sheet, "CenterHeader", Variant("Report &A"));
  excel.setup(sheet, "RightFooter", Variant("Page &P of &N"));
  double inch = get(excel.app, "InchesToPoints", {Variant(1.0)}).toDouble();
  EXPECT_DOUBLE_EQ(inch, 72.0);
  excel.setup(sheet, "TopMargin", Variant(inch * 1.5));
  excel.setup(sheet, "HeaderMargin", Variant(inch * 0.5));
  excel.setup(sheet, "FirstPageNumber", Variant(int32_t{5}));
  excel.print(sheet, "A1:B120", dir.path("out.ps"));
  Printed printed = fixtures::readPostScript(dir.path("out.ps"));
  ASSERT_GE(printed.pages, 2);
  EXPECT_TRUE(printed.landscape());
  EXPECT_NE(printed.pageText[0].find("Report Data"), std::string::npos) << printed.pageText[0];
  EXPECT_NE(printed.pageText[0].find("Page 5 of"), std::string::npos) << printed.pageText[0];
  EXPECT_NE(printed.pageText[1].find("Page 6 of"), std::string::npos);
}

// The fixtures' page styles describe no header or footer (valid, and what many workbooks
// do): a header or footer given for printing sits inside the margins the cells already had,
// and every cell still prints, as many to a page as without it.
TEST(ExcelApplication, HeaderAndFooterOnAPageStyleThatHasNone) {
  Scratch dir;
  fixtures::Sheet wide = numberedSheet("Wide", 120);
  wide.landscape = true;
  fixtures::writeFile(dir.path("book.fods"),
                      fixtures::flatSpreadsheet({numberedSheet("Data", 120), wide}));
  struct Bands {
    const char* header;
    const char* footer;
  };
  for (const char* name : {"Data", "Wide"}) {
    int plainPages = 0;
    for (Bands bands : {Bands{nullptr, nullptr}, Bands{"Top words", nullptr},
                        Bands{nullptr, "Bottom words"}, Bands{"Top words", "Bottom words"}}) {
      SCOPED_TRACE(std::string(name) + (bands.header ? " header" : "") +
                   (bands.footer ? " footer" : ""));
      ExcelRun excel;
      excel.open(dir.path("book.fods"));
      auto sheet = excel.sheet(Variant(name));
      if (bands.header) excel.setup(sheet, "CenterHeader", Variant(bands.header));
      if (bands.footer) excel.setup(sheet, "CenterFooter", Variant(bands.footer));
      excel.print(sheet, "A1:B120", dir.path("out.ps"));
      Printed printed = fixtures::readPostScript(dir.path("out.ps"));
      const std::string text = printed.text();
      for (int r = 1; r <= 120; ++r) {
        ASSERT_NE(text.find(std::string(name) + "R" + std::to_string(r) + " "), std::string::npos)
            << "row " << r << " is missing:\n"
            << text;
      }
      if (!bands.header && !bands.footer) {
        plainPages = printed.pages;
        continue;
      }
      // The bands take room from the margins, not from the cells.
      EXPECT_EQ(printed.pages, plainPages);
      for (const auto& page : printed.pageText) {
        if (bands.header) {
          EXPECT_NE(page.find(bands.header), std::string::npos) << page;
        }
        if (bands.footer) {
          EXPECT_NE(page.find(bands.footer), std::string::npos) << page;
        }
      }
    }
  }
}

TEST(ExcelApplication, ErrorsForUnknownSheetBadRangeAndPassword) {
  Scratch dir;
  fixtures::writeFile(dir.path("book.fods"), fixtures::flatSpreadsheet({numberedSheet("Only", 3)}));
  {
    ExcelRun excel;
    excel.open(dir.path("book.fods"));
    call(excel.book, "SaveAs", {Variant(dir.path("locked.xls"))}, {{"Password", Variant("pw")}});
    call(excel.book, "SaveAs", {Variant(dir.path("locked.xlsx"))}, {{"Password", Variant("pw")}});
    call(excel.book, "SaveAs", {Variant(dir.path("open.xls"))});
    Error sheet = fixtures::errorOf([&] { excel.sheet(Variant("Missing")); });
    EXPECT_EQ(sheet.number, 9);
    EXPECT_NE(sheet.description.find("Missing"), std::string::npos);
    Error position = fixtures::errorOf([&] { excel.sheet(Variant(int16_t{2})); });
    EXPECT_EQ(position.number, 9);
    Error range = fixtures::errorOf(
        [&] { getObject(excel.sheet(Variant("Only")), "Range", {Variant("A1:ZZZZZZ")}); });
    EXPECT_EQ(range.number, 1004);
    EXPECT_NE(range.description.find("A1:ZZZZZZ"), std::string::npos);
  }
  // The office's own protected files are encrypted by their own marks.
  EXPECT_TRUE(office_server::isEncryptedDocument(dir.path("locked.xls")));
  EXPECT_TRUE(office_server::isEncryptedDocument(dir.path("locked.xlsx")));
  EXPECT_FALSE(office_server::isEncryptedDocument(dir.path("open.xls")));
  ExcelRun excel;
  Error wrong = fixtures::errorOf([&] { excel.open(dir.path("locked.xls"), "bad"); });
  EXPECT_EQ(wrong.number, 1005);  // a password failure, apart from 1004
  EXPECT_NE(wrong.description.find("password"), std::string::npos);
  EXPECT_EQ(fixtures::errorOf([&] { excel.open(dir.path("locked.xlsx")); }).number, 1005);
  excel.open(dir.path("locked.xls"), "pw", "");
  excel.print(excel.sheet(Variant(int16_t{1})), "A1:B3", dir.path("out.ps"));
  EXPECT_NE(fixtures::readPostScript(dir.path("out.ps")).text().find("OnlyR3"), std::string::npos);
}

}  // namespace
}  // namespace docmill
