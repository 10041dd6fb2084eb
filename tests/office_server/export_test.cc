// The documents' ExportAsFixedFormat over the real office: the office's own PDF with the
// settings asked, each application's own parameters, and the refusals that keep unknown names
// and values away from the office.
#include <gtest/gtest.h>

#include <filesystem>

#include "automation/creation.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

using fixtures::Printed;
using fixtures::Scratch;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

constexpr int32_t kWordBadValue = 4608;
constexpr int16_t kPdf = 17;  // wdExportFormatPDF

// An application and the document it opened, closed and quit on every path.
struct Opened {
  DispatchPtr app, doc;
  Opened(const char* progId, const std::string& path) : app(createObject(progId)) {
    const std::string id = progId;
    if (id == "Word.Application") {
      doc = call(getObject(app, "Documents"), "Open", {Variant(path)}).toObject();
    } else if (id == "Excel.Application") {
      doc = call(getObject(app, "Workbooks"), "Open", {Variant(path)}).toObject();
    } else if (id == "Powerpoint.Application") {
      doc = call(getObject(app, "Presentations"), "Open", {Variant(path)}).toObject();
    } else {
      doc = call(app, "Open", {Variant(path)}).toObject();
    }
  }
  ~Opened() {
    try {
      call(doc, "Close");
      call(app, "Quit");
    } catch (...) {
    }
  }
};

std::string metadataOf(const std::string& pdf) {
  return fixtures::run("pdfinfo -meta '" + pdf + "'");
}
std::string infoOf(const std::string& pdf) {
  return fixtures::run("pdfinfo '" + pdf + "'");
}
int outlineEntries(const std::string& pdf) {
  std::string json = fixtures::run("qpdf --json=2 --json-key=outlines '" + pdf + "'");
  int n = 0;
  for (size_t at = json.find("\"title\""); at != std::string::npos;
       at = json.find("\"title\"", at + 1)) {
    ++n;
  }
  return n;
}

TEST(ExportAsFixedFormat, WordWritesTheOfficesPdfWithTheStandardsAndPagesAsked) {
  Scratch dir;
  fixtures::writeFile(dir.path("three.fodt"),
                      fixtures::flatText({{"Alpha page"}, {"Bravo page"}, {"Charlie page"}}));
  Opened word("Word.Application", dir.path("three.fodt"));
  const std::string out = dir.path("out.pdf");

  call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(kPdf)},
       {{"PdfA", Variant("PDF/A-2b")}, {"PdfUA", Variant(true)}});
  const std::string meta = metadataOf(out);
  EXPECT_NE(meta.find("<pdfaid:part>2</pdfaid:part>"), std::string::npos) << meta;
  EXPECT_NE(meta.find("<pdfaid:conformance>B</pdfaid:conformance>"), std::string::npos);
  EXPECT_NE(meta.find("<pdfuaid:part>1</pdfuaid:part>"), std::string::npos);
  EXPECT_NE(infoOf(out).find("Tagged:          yes"), std::string::npos);
  EXPECT_EQ(fixtures::readPdf(out).pages, 3);

  // wdExportFromTo, by name, and an export setting: pages 2 to 3 only.
  call(word.doc, "ExportAsFixedFormat", {},
       {{"OutputFileName", Variant(out)},
        {"ExportFormat", Variant(kPdf)},
        {"Range", Variant(int32_t{3})},
        {"From", Variant(int32_t{2})},
        {"To", Variant(int32_t{3})},
        {"exportFormFields", Variant(false)}});
  Printed pages = fixtures::readPdf(out);
  ASSERT_EQ(pages.pages, 2);
  EXPECT_NE(pages.pageText[0].find("Bravo"), std::string::npos);
  EXPECT_NE(pages.pageText[1].find("Charlie"), std::string::npos);
  EXPECT_EQ(metadataOf(out).find("pdfaid"), std::string::npos);
}

TEST(ExportAsFixedFormat, BookmarksFollowTheApplicationsParameterAndTheExportSetting) {
  Scratch dir;
  fixtures::writeFile(dir.path("doc.fodt"),
                      fixtures::flatTextBody(R"(<text:h text:outline-level="1">First</text:h>)"
                                             R"(<text:h text:outline-level="1">Second</text:h>)"));
  Opened word("Word.Application", dir.path("doc.fodt"));
  const std::string out = dir.path("out.pdf");
  call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(kPdf)});
  EXPECT_EQ(outlineEntries(out), 2);
  // wdExportCreateNoBookmarks
  call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(kPdf)},
       {{"CreateBookmarks", Variant(int32_t{0})}});
  EXPECT_EQ(outlineEntries(out), 0);
  // The named setting wins over the application's parameter.
  call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(kPdf)},
       {{"CreateBookmarks", Variant(int32_t{0})}, {"exportBookmarks", Variant(true)}});
  EXPECT_EQ(outlineEntries(out), 2);
}

// Names the export does not know, formats it does not write, values out of range and pages
// the document lacks fail with Word's bad-value error before the office is asked, and the
// target keeps what it held.
TEST(ExportAsFixedFormat, RefusesUnknownNamesAndBadValuesAndLeavesTheTarget) {
  Scratch dir;
  fixtures::writeFile(dir.path("one.fodt"), fixtures::flatText({{"Only page"}}));
  const std::string out = dir.path("out.pdf");
  fixtures::writeFile(out, "old");
  Opened word("Word.Application", dir.path("one.fodt"));
  const std::vector<std::pair<std::vector<Named>, std::string>> refused = {
      {{{"FilterData", Variant("x")}}, "FilterData"},
      {{{"SelectPdfVersion", Variant(int32_t{1})}}, "SelectPdfVersion"},
      {{{"PdfA", Variant("PDF/A-4")}}, "PDF/A-4"},
      {{{"quality", Variant(int32_t{101})}}, "quality 101"},
      {{{"maxImageResolution", Variant(int32_t{100})}}, "maxImageResolution 100"},
      {{{"nativeWatermarkText", Variant(std::string(1001, 'x'))}}, "1000"},
      {{{"Range", Variant(int32_t{3})}, {"From", Variant(int32_t{2})}}, "1 page"},
      {{{"Range", Variant(int32_t{1})}}, "Range 1"},
      {{{"OpenAfterExport", Variant(true)}}, "viewer"},
  };
  for (const auto& [named, words] : refused) {
    Error e = fixtures::errorOf([&] {
      call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(kPdf)}, named);
    });
    EXPECT_EQ(e.number, kWordBadValue) << words << ": " << e.description;
    EXPECT_EQ(e.source, "Word");
    EXPECT_NE(e.description.find(words), std::string::npos) << e.description;
  }
  Error xps = fixtures::errorOf([&] {
    call(word.doc, "ExportAsFixedFormat", {Variant(out), Variant(int16_t{18})});
  });
  EXPECT_EQ(xps.number, kWordBadValue);
  EXPECT_NE(xps.description.find("XPS"), std::string::npos);
  std::vector<Variant> tooMany(16, Variant(int32_t{0}));
  tooMany[0] = Variant(out);
  tooMany[1] = Variant(kPdf);
  EXPECT_EQ(fixtures::errorOf([&] { call(word.doc, "ExportAsFixedFormat", tooMany); }).number,
            hr::DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(fixtures::readFile(out), "old");
}

// Every visible sheet in order with its own page setup (hidden ones stay out), pages From
// To, and print areas ignored when asked.
TEST(ExportAsFixedFormat, ExcelExportsTheVisibleSheetsWithTheirPageSetup) {
  Scratch dir;
  std::vector<fixtures::Sheet> sheets = {
      {"First", {{"FirstCell", "1"}, {"Outside", "2"}}, false, false, "A1:A1"},
      {"Hidden", {{"HiddenCell"}}, false, true},
      {"Second", {{"SecondCell"}}, true},
  };
  fixtures::writeFile(dir.path("book.fods"), fixtures::flatSpreadsheet(sheets));
  Opened excel("Excel.Application", dir.path("book.fods"));
  const std::string out = dir.path("out.pdf");
  call(excel.doc, "ExportAsFixedFormat", {Variant(int32_t{0}), Variant(out)});
  Printed all = fixtures::readPdf(out);
  ASSERT_EQ(all.pages, 2) << all.text();
  EXPECT_NE(all.pageText[0].find("FirstCell"), std::string::npos);
  EXPECT_EQ(all.pageText[0].find("Outside"), std::string::npos);  // outside the print area
  EXPECT_NE(all.pageText[1].find("SecondCell"), std::string::npos);
  EXPECT_FALSE(all.landscape(0));
  EXPECT_TRUE(all.landscape(1));
  EXPECT_EQ(all.text().find("HiddenCell"), std::string::npos);

  // A page setup changed through the object model is exported as set.
  auto setup = getObject(getObject(excel.doc, "Worksheets", {Variant("First")}), "PageSetup");
  put(setup, "Orientation", Variant(int32_t{2}));
  call(excel.doc, "ExportAsFixedFormat", {Variant(int32_t{0}), Variant(out)},
       {{"From", Variant(int32_t{1})},
        {"To", Variant(int32_t{1})},
        {"IgnorePrintAreas", Variant(true)}});
  Printed first = fixtures::readPdf(out);
  ASSERT_EQ(first.pages, 1);
  EXPECT_TRUE(first.landscape(0));
  EXPECT_NE(first.pageText[0].find("Outside"), std::string::npos);
  Error e = fixtures::errorOf([&] {
    call(excel.doc, "ExportAsFixedFormat", {Variant(int32_t{0}), Variant(out)},
         {{"From", Variant(int32_t{3})}});
  });
  EXPECT_EQ(e.number, 1004);
  EXPECT_NE(e.description.find("2 pages"), std::string::npos) << e.description;
}

// Slides keep their shape in the export; notes pages come out when asked; a publication's
// pages are chosen From To.
TEST(ExportAsFixedFormat, PresentationsAndPublications) {
  Scratch dir;
  fixtures::writeFile(dir.path("deck.fodp"),
                      fixtures::flatPresentation({"Slide one", "Slide two"}));
  fixtures::writeFile(dir.path("pages.fodg"),
                      fixtures::flatDrawing({"Page A", "Page B", "Page C"}));
  const std::string out = dir.path("out.pdf");
  {
    Opened powerpoint("Powerpoint.Application", dir.path("deck.fodp"));
    call(powerpoint.doc, "ExportAsFixedFormat", {Variant(out), Variant(int32_t{2})});
    Printed slides = fixtures::readPdf(out);
    ASSERT_EQ(slides.pages, 2);
    EXPECT_TRUE(slides.landscape(0));
    EXPECT_NE(slides.pageText[1].find("Slide two"), std::string::npos);
    // ppPrintOutputNotesPages: one upright notes page per slide.
    call(powerpoint.doc, "ExportAsFixedFormat", {Variant(out), Variant(int32_t{2})},
         {{"OutputType", Variant(int32_t{5})}});
    Printed notes = fixtures::readPdf(out);
    ASSERT_EQ(notes.pages, 2);
    EXPECT_FALSE(notes.landscape(0));
    // Turning the slides is a print setting; the export refuses to pretend it did.
    put(getObject(powerpoint.doc, "PageSetup"), "SlideOrientation", Variant(int32_t{2}));
    Error e = fixtures::errorOf([&] {
      call(powerpoint.doc, "ExportAsFixedFormat", {Variant(out), Variant(int32_t{2})});
    });
    EXPECT_EQ(e.number, static_cast<int32_t>(0x80048242));
  }
  Opened publisher("Publisher.Application", dir.path("pages.fodg"));
  call(publisher.doc, "ExportAsFixedFormat", {Variant(int32_t{2}), Variant(out)},
       {{"From", Variant(int32_t{2})},
        {"To", Variant(int32_t{3})},
        {"nativeWatermarkText", Variant("DRAFTMARK")}});
  Printed picked = fixtures::readPdf(out);
  ASSERT_EQ(picked.pages, 2);
  EXPECT_NE(picked.pageText[0].find("Page B"), std::string::npos);
  EXPECT_NE(picked.pageText[0].find("DRAFTMARK"), std::string::npos);
}

}  // namespace
}  // namespace docmill
