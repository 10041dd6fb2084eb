// Every Office member of CreatePDF over the real office: documents in the Office formats
// (saved by the office from documents the tests write), converted to PDF and PostScript.
// The real documents of the shared corpus are converted too when that folder is present.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "automation/creation.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "office_server/servers.h"
#include "tests/office_server/fixtures.h"
#include "tests/support/prerequisites.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;
using fixtures::Printed;
using fixtures::Scratch;

class HostEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { servers_ = std::make_unique<cli::HostServers>(); }
  void TearDown() override { servers_.reset(); }

 private:
  std::unique_ptr<cli::HostServers> servers_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

// Saves a document the test wrote in flat ODF as `target` (format from its extension),
// through the application's own SaveAs.
void saveAs(const std::string& progId, const std::string& source, const std::string& target,
            const std::string& password = "") {
  auto app = createObject(progId);
  DispatchPtr doc;
  std::vector<Named> named;
  if (!password.empty()) named.push_back({"Password", Variant(password)});
  if (progId == "Word.Application") {
    doc = call(getObject(app, "Documents"), "Open", {Variant(source)}).toObject();
    call(doc, "SaveAs2", {Variant(target)}, named);
  } else if (progId == "Excel.Application") {
    doc = call(getObject(app, "Workbooks"), "Open", {Variant(source)}).toObject();
    call(doc, "SaveAs", {Variant(target)}, named);
  } else {
    doc = call(getObject(app, "Presentations"), "Open", {Variant(source)}).toObject();
    call(doc, "SaveAs", {Variant(target)});
  }
  call(doc, "Close",
       progId == "Powerpoint.Application" ? std::vector<Variant>{}
                                          : std::vector<Variant>{Variant(false)});
  call(app, "Quit");
}

class EndToEnd : public ::testing::Test {
 protected:
  Scratch dir;
  DispatchPtr pdf = createObject("PDF.CreatePDF");
  void SetUp() override { put(pdf, "TempFilePath", Variant(dir.path("tmp"))); }
  // No temporary PostScript file stays behind after a successful conversion.
  void TearDown() override { EXPECT_TRUE(fs::is_empty(dir.path("tmp"))); }
};

TEST_F(EndToEnd, WordDocumentWithPageListAndPageNumbers) {
  fixtures::writeFile(
      dir.path("in.fodt"),
      fixtures::flatText({{"Alpha page"}, {"Bravo page"}, {"Charlie page"}, {"Delta page"}}));
  saveAs("Word.Application", dir.path("in.fodt"), dir.path("in.docx"));
  std::string out = dir.path("out.pdf");
  call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("in.docx"))},
       {{"strPages", Variant("1,3-4")},
        {"blnPageNumberInFooter", Variant(true)},
        {"lngPageNumberAlignment", Variant(int16_t{2})},
        {"blnFirstPage", Variant(false)}});
  Printed printed = fixtures::readPdf(out);
  ASSERT_EQ(printed.pages, 3);
  EXPECT_NE(printed.pageText[0].find("Alpha"), std::string::npos);
  EXPECT_EQ(printed.pageText[0].find("1"), std::string::npos) << printed.pageText[0];
  EXPECT_NE(printed.pageText[1].find("Charlie"), std::string::npos);
  EXPECT_NE(printed.pageText[1].find("3"), std::string::npos);
  EXPECT_EQ(printed.text().find("Bravo"), std::string::npos);
  EXPECT_FALSE(printed.landscape());

  std::string ps = dir.path("out.ps");
  call(pdf, "CreatePSfromWord", {Variant(ps), Variant(dir.path("in.docx"))},
       {{"blnLandscape", Variant(true)}});
  Printed landscape = fixtures::readPostScript(ps);
  EXPECT_EQ(landscape.pages, 4);
  EXPECT_TRUE(landscape.landscape());
}

TEST_F(EndToEnd, WordPasswordAndUnknownPrinterReachTheCaller) {
  fixtures::writeFile(dir.path("in.fodt"), fixtures::flatText({{"Guarded words"}}));
  saveAs("Word.Application", dir.path("in.fodt"), dir.path("locked.doc"), "s3cret");
  std::string out = dir.path("out.pdf");
  Error wrong = fixtures::errorOf([&] {
    call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("locked.doc"))},
         {{"strPassword", Variant("guess")}});
  });
  EXPECT_EQ(wrong.number, 5408);
  EXPECT_NE(wrong.description.find("password"), std::string::npos);
  Error printer = fixtures::errorOf([&] {
    call(pdf, "CreatePDFfromWord",
         {Variant(out), Variant(dir.path("in.fodt")), Variant("Imaginary Printer")});
  });
  EXPECT_NE(printer.description.find("Imaginary Printer"), std::string::npos);
  // Failed conversions leave their temporary files, as the component always has.
  for (const auto& f : fs::directory_iterator(dir.path("tmp"))) fs::remove(f.path());

  call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("locked.doc"))},
       {{"strPassword", Variant("s3cret")}});
  EXPECT_NE(fixtures::readPdf(out).text().find("Guarded"), std::string::npos);
}

TEST_F(EndToEnd, TextFileWithFontMarginsAndPageNumbers) {
  std::string text;
  for (int i = 1; i <= 120; ++i) text += "Line number " + std::to_string(i) + "\n";
  fixtures::writeFile(dir.path("in.txt"), text);
  std::string out = dir.path("out.pdf");
  call(pdf, "CreatePDFfromTextFile", {Variant(out), Variant(dir.path("in.txt"))},
       {{"strFont", Variant(" Nimbus Sans ")},
        {"intFontSize", Variant(int16_t{12})},
        {"blnPageNumberInHeader", Variant(true)},
        {"lngPageNumberAlignment", Variant(int16_t{0})},
        {"sngLeftMargin", Variant(144.0)},
        {"blnFirstPage", Variant(true)}});
  Printed printed = fixtures::readPdf(out);
  ASSERT_GE(printed.pages, 2);
  EXPECT_NE(printed.pageText[1].find("2"), std::string::npos);
  auto position = fixtures::wordPosition(out, 0, "Line");
  EXPECT_NEAR(position.first, 144, 3);
}

// Most documents are set in TrueType fonts; their text must still be text after printing,
// accents and ligatures included, in the PostScript and in the PDF made from it.
TEST_F(EndToEnd, TextInTrueTypeFontsStaysText) {
  fixtures::writeFile(dir.path("in.txt"),
                      "Gr\xC3\xB6\xC3\x9F"
                      "e caf\xC3\xA9 fine office\nSecond line\n");
  std::string out = dir.path("out.pdf");
  std::string ps = dir.path("out.ps");
  for (const char* font : {"DejaVu Serif", "Liberation Mono"}) {
    SCOPED_TRACE(font);
    call(pdf, "CreatePDFfromTextFile", {Variant(out), Variant(dir.path("in.txt"))},
         {{"strFont", Variant(font)}});
    std::string fonts = fixtures::run("pdffonts '" + out + "'");
    EXPECT_NE(fonts.find("TrueType"), std::string::npos) << fonts;
    std::string text = fixtures::readPdf(out).text();
    EXPECT_NE(text.find("Gr\xC3\xB6\xC3\x9F"
                        "e caf\xC3\xA9"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Second line"), std::string::npos) << text;
    // A ligature comes out as its own character or as its letters, never as nothing.
    EXPECT_TRUE(text.find("fine") != std::string::npos ||
                text.find("\xEF\xAC\x81ne") != std::string::npos)
        << text;
    EXPECT_TRUE(text.find("office") != std::string::npos || text.find("o\xEF\xAC\x83"
                                                                      "ce") != std::string::npos)
        << text;

    call(pdf, "CreatePSfromTextFile", {Variant(ps), Variant(dir.path("in.txt"))},
         {{"strFont", Variant(font)}});
    EXPECT_NE(fixtures::readPostScript(ps).text().find("Second line"), std::string::npos);
  }
}

TEST_F(EndToEnd, ExcelRangeWithHeaderFooterAndTwoSheetsMerged) {
  fixtures::Sheet costs{"Costs", {}};
  fixtures::Sheet sales{"Sales", {}};
  for (int r = 1; r <= 60; ++r) {
    costs.rows.push_back({"Cost" + std::to_string(r), std::to_string(r)});
    sales.rows.push_back({"Sale" + std::to_string(r), std::to_string(r * 2)});
  }
  fixtures::writeFile(dir.path("in.fods"), fixtures::flatSpreadsheet({costs, sales}));
  saveAs("Excel.Application", dir.path("in.fods"), dir.path("in.xlsx"));
  std::string out = dir.path("one.pdf");
  call(pdf, "CreatePDFfromExcel",
       {Variant(out), Variant(dir.path("in.xlsx")), Variant("Sales"), Variant("A1:B5")},
       {{"strHeader", Variant("Sheet &A")},
        {"lngHeaderAlignment", Variant(int16_t{0})},
        {"strFooter", Variant("Page &P")},
        {"lngFooterAlignment", Variant(int16_t{2})},
        {"blnLandscape", Variant(true)},
        {"dblTopMargin", Variant(1.0)},
        {"lngFirstPageNumber", Variant(int16_t{7})}});
  Printed one = fixtures::readPdf(out);
  ASSERT_EQ(one.pages, 1);
  EXPECT_TRUE(one.landscape());
  EXPECT_NE(one.text().find("Sheet Sales"), std::string::npos) << one.text();
  EXPECT_NE(one.text().find("Page 7"), std::string::npos);
  EXPECT_NE(one.text().find("Sale5"), std::string::npos);
  EXPECT_EQ(one.text().find("Sale6"), std::string::npos);

  std::string merged = dir.path("merged.pdf");
  call(pdf, "CreatePDFfromMultiExcel",
       {Variant(merged), Variant(dir.path("in.xlsx")),
        Variant(SafeArray::of({Variant("Sales"), Variant(int16_t{1})})),
        Variant(SafeArray::of({Variant("A1:B2"), Variant("A1:B3")}))});
  Printed both = fixtures::readPdf(merged);
  ASSERT_EQ(both.pages, 2);
  EXPECT_NE(both.pageText[0].find("Sale2"), std::string::npos);
  EXPECT_NE(both.pageText[1].find("Cost3"), std::string::npos);
}

TEST_F(EndToEnd, PresentationSlideRangeAndPublication) {
  fixtures::writeFile(dir.path("in.fodp"),
                      fixtures::flatPresentation({"First slide", "Second slide", "Third slide"}));
  saveAs("Powerpoint.Application", dir.path("in.fodp"), dir.path("in.pptx"));
  std::string out = dir.path("slides.pdf");
  call(pdf, "CreatePDFfromPowerPoint", {Variant(out), Variant(dir.path("in.pptx"))},
       {{"lngStartSlide", Variant(int16_t{2})},
        {"lngEndSlide", Variant(int16_t{3})},
        {"blnHorizontalOrientation", Variant(true)}});
  Printed slides = fixtures::readPdf(out);
  ASSERT_EQ(slides.pages, 2);
  EXPECT_TRUE(slides.landscape());
  EXPECT_NE(slides.pageText[0].find("Second"), std::string::npos);

  fixtures::writeFile(dir.path("in.fodg"), fixtures::flatDrawing({"Flyer page"}));
  std::string ps = dir.path("pub.ps");
  call(pdf, "CreatePSfromPub", {Variant(ps), Variant(dir.path("in.fodg"))});
  EXPECT_NE(fixtures::readPostScript(ps).text().find("Flyer"), std::string::npos);
}

// Chinese, Japanese and Korean text prints with fonts that have its characters, and stays
// text: the PDF gives back the same characters.
TEST_F(EndToEnd, ChineseJapaneseAndKoreanTextSurvives) {
  const std::vector<std::string> lines = {
      "\u4E2D\u6587\u6D4B\u8BD5\u6587\u672C",              // Chinese
      "\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8",  // Japanese
      "\uD55C\uAD6D\uC5B4 \uD14D\uC2A4\uD2B8"};            // Korean
  fixtures::writeFile(dir.path("cjk.fodt"), fixtures::flatText({lines}));
  std::string out = dir.path("cjk.pdf");
  call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("cjk.fodt"))});
  std::string text = fixtures::readPdf(out).text();
  for (const auto& line : lines) EXPECT_NE(text.find(line), std::string::npos) << text;
}

// What a script writer is told when a document cannot be opened: why, with a number for
// each kind of failure, never the clean-up's own complaint.
TEST_F(EndToEnd, OpenFailuresSayWhy) {
  fixtures::writeFile(dir.path("note.fodt"), fixtures::flatText({{"Sealed words"}}));
  saveAs("Word.Application", dir.path("note.fodt"), dir.path("note.docx"));
  saveAs("Word.Application", dir.path("note.docx"), dir.path("locked.odt"), "s3cret");
  fixtures::Sheet data{"Data", {{"Sealed", "1"}, {"Rows", "2"}}};
  fixtures::writeFile(dir.path("book.fods"), fixtures::flatSpreadsheet({data}));
  saveAs("Excel.Application", dir.path("book.fods"), dir.path("locked.ods"), "s3cret");
  fixtures::writeFile(dir.path("garbage.pub"), std::string(4096, '\x5A'));
  fixtures::writeFile(dir.path("garbage.xlsx"), "PK\x03\x04 not really a workbook");
  const std::string out = dir.path("out.pdf");
  struct Case {
    const char* name;
    std::function<void()> convert;
    int32_t number;
    const char* says;
  };
  auto word = [&](const char* password) {
    return [&, password] {
      call(pdf, "CreatePDFfromWord", {Variant(out), Variant(dir.path("locked.odt"))},
           {{"strPassword", Variant(password)}});
    };
  };
  auto excel = [&](const std::string& file, const char* password) {
    return [&, file, password] {
      call(pdf, "CreatePDFfromExcel",
           {Variant(out), Variant(file), Variant(int16_t{1}), Variant("A1:B2")},
           {{"strPassword", Variant(password)}});
    };
  };
  const std::vector<Case> cases = {
      {"document, no password", word(""), 5408, "is protected by a password"},
      {"document, wrong password", word("guess"), 5408, "password is incorrect"},
      {"workbook, no password", excel(dir.path("locked.ods"), ""), 1005,
       "is protected by a password"},
      {"workbook, wrong password", excel(dir.path("locked.ods"), "guess"), 1005,
       "password is incorrect"},
      {"damaged workbook", excel(dir.path("garbage.xlsx"), ""), 1004, "damaged"},
      {"damaged publication",
       [&] {
         call(pdf, "CreatePDFfromPub", {Variant(out), Variant(dir.path("garbage.pub"))});
       },
       static_cast<int32_t>(0x80041000), "garbage.pub"},
  };
  for (const auto& c : cases) {
    Error e = fixtures::errorOf(c.convert);
    EXPECT_EQ(e.number, c.number) << c.name << ": " << e.description;
    EXPECT_NE(e.description.find(c.says), std::string::npos) << c.name << ": " << e.description;
    EXPECT_EQ(e.description.find("No publication"), std::string::npos) << c.name;
  }
  // Failed conversions leave their temporary files, as the component always has.
  for (const auto& f : fs::directory_iterator(dir.path("tmp"))) fs::remove(f.path());
}

// Several prints joined into one PDF keep every word findable: their fonts (subsets of one
// TrueType font, one per print, each numbering its glyphs its own way) meet in one
// interpreter run and must not be taken for one another.
TEST_F(EndToEnd, MergedSheetsKeepEveryWordFindable) {
  const std::vector<std::vector<std::string>> words = {{"AlphaCell", "BravoCell", "ffi office"},
                                                       {"CharlieCell", "DeltaCell", "fluffy"},
                                                       {"EchoCell", "FoxtrotCell", "NovemberCell"}};
  std::vector<fixtures::Sheet> sheets;
  for (size_t i = 0; i < words.size(); ++i) {
    fixtures::Sheet sheet{"S" + std::to_string(i + 1), {}};
    for (size_t r = 0; r < words[i].size(); ++r) {
      sheet.rows.push_back({words[i][r], std::to_string(r)});
    }
    sheets.push_back(sheet);
  }
  std::string book = fixtures::flatSpreadsheet(sheets);
  for (auto [from, to] : {std::pair{"Nimbus Sans", "Liberation Sans"}, {"12pt", "10pt"}}) {
    for (size_t at = book.find(from); at != std::string::npos; at = book.find(from, at)) {
      book.replace(at, std::string(from).size(), to);
    }
  }
  fixtures::writeFile(dir.path("in.fods"), book);
  const std::string merged = dir.path("merged.pdf");
  call(pdf, "CreatePDFfromMultiExcel",
       {Variant(merged), Variant(dir.path("in.fods")),
        Variant(SafeArray::of({Variant("S1"), Variant("S2"), Variant("S3")})),
        Variant(SafeArray::of({Variant("A1:B3"), Variant("A1:B3"), Variant("A1:B3")}))},
       {{"strHeader", Variant("Heading words")}, {"strFooter", Variant("Footing words")}});
  EXPECT_NE(fixtures::run("pdffonts '" + merged + "'").find("TrueType"), std::string::npos);
  Printed printed = fixtures::readPdf(merged);
  ASSERT_EQ(printed.pages, 3) << printed.text();
  for (size_t i = 0; i < words.size(); ++i) {
    for (const auto& w : words[i]) {
      EXPECT_NE(printed.pageText[i].find(w), std::string::npos) << printed.pageText[i];
    }
    EXPECT_NE(printed.pageText[i].find("Heading words"), std::string::npos);
    EXPECT_NE(printed.pageText[i].find("Footing words"), std::string::npos);
  }
}

// `docmill convert` keeps each document's own layout: a landscape text stays landscape,
// wide slides print on wide pages and tall ones on tall pages, and a workbook gives every
// visible sheet in order, each in its own orientation and print range.
TEST_F(EndToEnd, BatchKeepsEachDocumentsOwnLayout) {
  fixtures::writeFile(dir.path("memo.fodt"),
                      fixtures::flatText({{"Turned memo"}, {"Second turned page"}}, true));
  fixtures::writeFile(dir.path("wide.fodp"), fixtures::flatPresentation({"Wide slide"}));
  fixtures::writeFile(dir.path("tall.fodp"), fixtures::flatPresentation({"Tall slide"}, 15.75, 28));
  fixtures::Sheet first{"First", {{"Alpha"}, {"Bravo"}}};
  fixtures::Sheet secret{"Secret", {{"Hidden"}}, false, true};
  fixtures::Sheet second{"Second", {{"Charlie", "Delta"}}, true};
  fixtures::Sheet third{"Third", {}, false, false, "A1:A2"};
  for (int r = 1; r <= 5; ++r) third.rows.push_back({"ThirdRow" + std::to_string(r)});
  fixtures::Sheet blank{"Blank", {}};
  fixtures::writeFile(dir.path("book.fods"),
                      fixtures::flatSpreadsheet({first, blank, secret, second, third}));
  saveAs("Excel.Application", dir.path("book.fods"), dir.path("sheets.xlsx"));

  // The office's own export, the batch's default, and the members' print route alike.
  for (const std::string route : {"--viaPostScript=false", "--via-postscript"}) {
    SCOPED_TRACE(route);
    const std::string outDir = dir.path("out" + route);
    ASSERT_EQ(
        cli::runConvert({route, "-o", outDir, dir.path("memo.fodt"), dir.path("wide.fodp"),
                         dir.path("tall.fodp"), dir.path("book.fods"), dir.path("sheets.xlsx")}),
        0);
    Printed memo = fixtures::readPdf(outDir + "/memo.pdf");
    ASSERT_EQ(memo.pages, 2);
    EXPECT_TRUE(memo.landscape(0) && memo.landscape(1));
    EXPECT_TRUE(fixtures::readPdf(outDir + "/wide.pdf").landscape());
    Printed tall = fixtures::readPdf(outDir + "/tall.pdf");
    EXPECT_FALSE(tall.landscape());
    EXPECT_NE(tall.text().find("Tall slide"), std::string::npos);
    for (const char* book : {"/book.pdf", "/sheets.pdf"}) {
      SCOPED_TRACE(book);
      Printed sheets = fixtures::readPdf(outDir + book);
      ASSERT_EQ(sheets.pages, 3) << sheets.text();
      EXPECT_NE(sheets.pageText[0].find("Bravo"), std::string::npos);
      EXPECT_FALSE(sheets.landscape(0));
      EXPECT_NE(sheets.pageText[1].find("Delta"), std::string::npos);
      EXPECT_TRUE(sheets.landscape(1));
      EXPECT_NE(sheets.pageText[2].find("ThirdRow2"), std::string::npos);
      EXPECT_EQ(sheets.pageText[2].find("ThirdRow3"), std::string::npos);
      EXPECT_FALSE(sheets.landscape(2));
      EXPECT_EQ(sheets.text().find("Hidden"), std::string::npos);
    }
  }
  // A sheet with nothing on it prints nothing, and never another sheet in its place.
  Error blankSheet = fixtures::errorOf([&] {
    call(pdf, "CreatePDFfromExcel",
         {Variant(dir.path("out.pdf")), Variant(dir.path("book.fods")), Variant("Blank"),
          Variant("A1:B2")});
  });
  EXPECT_EQ(blankSheet.number, 1004);
  EXPECT_NE(blankSheet.description.find("anything to print"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.path("out.pdf")));
  for (const auto& f : fs::directory_iterator(dir.path("tmp"))) fs::remove(f.path());
}

// A workbook as the office's own settings make it: its page style prints the grid, starts
// at page 5 and has a footer with the page number.
std::string gridWorkbook(const std::vector<fixtures::Sheet>& sheets, bool grid) {
  std::string book = fixtures::flatSpreadsheet(sheets);
  auto replace = [&](const std::string& from, const std::string& to) {
    const size_t at = book.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    book.replace(at, from.size(), to);
  };
  replace(R"(fo:page-height="27.94cm" fo:margin="1.9cm"/></style:page-layout>)",
          std::string(R"(fo:page-height="27.94cm" fo:margin="1.9cm" style:first-page-number="5")") +
              (grid ? R"( style:print="grid objects charts drawings zero-values")" : "") +
              R"(/><style:footer-style><style:header-footer-properties fo:min-height="0.6cm"/>)"
              R"(</style:footer-style></style:page-layout>)");
  replace(R"(<style:master-page style:name="Default" style:page-layout-name="pm1"/>)",
          R"(<style:master-page style:name="Default" style:page-layout-name="pm1"><style:footer>)"
          R"(<text:p>Folio <text:page-number>1</text:page-number></text:p></style:footer>)"
          R"(</style:master-page>)");
  return book;
}

// How much of the first page of a PDF is inked, drawn at 50 dpi.
size_t inkedPixels(const std::string& pdf) {
  const std::string grey = fixtures::run(
      "gs -q -dNOPAUSE -dBATCH -dSAFER -dFirstPage=1 -dLastPage=1 -sDEVICE=pgmraw -r50 "
      "-sOutputFile=- '" +
      pdf + "' 2>/dev/null");
  // "P5", width, height, 255, then one byte a pixel: the header is far shorter than a row.
  size_t inked = 0;
  for (size_t i = std::min<size_t>(grey.size(), 64); i < grey.size(); ++i) {
    inked += static_cast<unsigned char>(grey[i]) < 200 ? 1 : 0;
  }
  return inked;
}

// The batch prints a workbook as the office prints it: with the grid and first page number
// its page style sets (the members' own defaults set neither), and a workbook whose visible
// sheets are all empty as one blank page of its paper, where the member reports that there
// is nothing to print. The office's own export, the batch's default, keeps the same settings
// and gives its one empty page.
TEST_F(EndToEnd, BatchPrintsWorkbooksWithTheirOwnSettings) {
  fixtures::Sheet data{"Data", {}};
  for (int r = 1; r <= 12; ++r) data.rows.push_back({"Item" + std::to_string(r), "Value"});
  fixtures::writeFile(dir.path("grid.fods"), gridWorkbook({data}, true));
  fixtures::writeFile(dir.path("plain.fods"), gridWorkbook({data}, false));
  fixtures::Sheet hidden{"Hidden", {{"Unseen"}}, false, true};
  fixtures::writeFile(dir.path("empty.fods"),
                      fixtures::flatSpreadsheet({{"First", {}}, hidden, {"Wide", {}, true}}));
  for (const std::string route : {"--via-postscript", "--viaPostScript=false"}) {
    SCOPED_TRACE(route);
    const std::string outDir = dir.path("out" + route);
    EXPECT_EQ(cli::runConvert({route, "-o", outDir, dir.path("grid.fods"), dir.path("plain.fods"),
                               dir.path("empty.fods")}),
              0);
    Printed grid = fixtures::readPdf(outDir + "/grid.pdf");
    Printed plain = fixtures::readPdf(outDir + "/plain.pdf");
    ASSERT_EQ(grid.pages, 1);
    EXPECT_NE(grid.text().find("Folio 5"), std::string::npos) << grid.text();
    EXPECT_NE(plain.text().find("Folio 5"), std::string::npos) << plain.text();
    // The same cells, once with the grid's lines around them.
    EXPECT_NE(grid.text().find("Item12"), std::string::npos);
    EXPECT_GT(inkedPixels(outDir + "/grid.pdf"), inkedPixels(outDir + "/plain.pdf") * 3 / 2);

    Printed empty = fixtures::readPdf(outDir + "/empty.pdf");
    ASSERT_EQ(empty.pages, 1);
    EXPECT_EQ(empty.text().find_first_not_of(" \n\f"), std::string::npos) << empty.text();
  }
  Printed empty = fixtures::readPdf(dir.path("out--via-postscript") + "/empty.pdf");
  EXPECT_FALSE(empty.landscape());  // the paper of the first visible sheet
  EXPECT_NEAR(empty.pageSize[0].first, 612, 1);
  Error nothing = fixtures::errorOf([&] {
    call(pdf, "CreatePDFfromExcel",
         {Variant(dir.path("one.pdf")), Variant(dir.path("empty.fods")), Variant("First"),
          Variant("A1:B2")});
  });
  EXPECT_NE(nothing.description.find("anything to print"), std::string::npos);
  for (const auto& f : fs::directory_iterator(dir.path("tmp"))) fs::remove(f.path());
}

// Conversions running at once through objects that share one temporary folder never take
// each other's files: every PDF holds its own document and no other.
TEST_F(EndToEnd, ParallelObjectsSharingATemporaryFolderNeverMixFiles) {
  constexpr int kCount = 8;
  for (int i = 0; i < kCount; ++i) {
    fixtures::writeFile(dir.path("in" + std::to_string(i) + ".fodt"),
                        fixtures::flatText({{"Document" + std::to_string(i) + "words"}}));
  }
  std::vector<std::string> failures(kCount);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCount; ++i) {
    threads.emplace_back([&, i] {
      try {
        DispatchPtr own = createObject("PDF.CreatePDF");
        put(own, "TempFilePath", Variant(dir.path("tmp")));
        call(own, "CreatePDFfromWord",
             {Variant(dir.path("out" + std::to_string(i) + ".pdf")),
              Variant(dir.path("in" + std::to_string(i) + ".fodt"))});
      } catch (const AutomationError& e) {
        failures[i] = e.what();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(failures[i], "");
    const std::string text = fixtures::readPdf(dir.path("out" + std::to_string(i) + ".pdf")).text();
    for (int j = 0; j < kCount; ++j) {
      const bool found = text.find("Document" + std::to_string(j) + "words") != std::string::npos;
      EXPECT_EQ(found, i == j) << text;
    }
  }
}

// The shared corpus: real documents nobody here wrote. Each converts into a PDF with pages.
TEST_F(EndToEnd, CorpusDocumentsConvert) {
  const fs::path corpus = test::corpusFolder();
  DOCMILL_REQUIRE(!corpus.empty(), "no corpus folder");
  struct Kind {
    const char* member;
    std::vector<Variant> extra;
  };
  // The member for a file, by its extension; transparency/ mixes word-processing
  // documents and presentations.
  auto kindOf = [](const fs::path& file) -> std::optional<Kind> {
    const std::string ext = file.extension().string();
    if (ext == ".docx" || ext == ".doc") return Kind{"CreatePDFfromWord", {}};
    if (ext == ".pptx" || ext == ".ppt") return Kind{"CreatePDFfromPowerPoint", {}};
    if (ext == ".pub") return Kind{"CreatePDFfromPub", {}};
    if (ext == ".xlsx" || ext == ".xls" || ext == ".ods") {
      return Kind{"CreatePDFfromExcel", {Variant(int16_t{1}), Variant("A1:D10")}};
    }
    return std::nullopt;
  };
  int converted = 0;
  for (const char* folder : {"word", "powerpoint", "publisher", "excel", "transparency"}) {
    for (const auto& entry : fs::directory_iterator(corpus / folder)) {
      const auto kind = kindOf(entry.path());
      if (!kind) continue;
      std::string out = dir.path(entry.path().filename().string() + ".pdf");
      std::vector<Variant> args = {Variant(out), Variant(entry.path().string())};
      args.insert(args.end(), kind->extra.begin(), kind->extra.end());
      try {
        call(pdf, kind->member, args);
      } catch (const AutomationError& e) {
        ADD_FAILURE() << entry.path() << ": " << e.what();
        continue;
      }
      EXPECT_GE(fixtures::readPdf(out).pages, 1) << entry.path();
      ++converted;
    }
  }
  EXPECT_GT(converted, 0);
}

}  // namespace
}  // namespace docmill
