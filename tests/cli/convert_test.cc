#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "cli/convert.h"
#include "platform/scratch.h"
#include "tests/support/programs.h"

namespace docmill::cli {
namespace {

namespace fs = std::filesystem;

TEST(ConvertPlanTest, EachFileTypeGoesThroughItsMember) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.PS", "CreatePDFfromPS"},           {"a.pdf", "CreatePDFfromMultiPDF"},
      {"a.docx", "CreatePDFfromMiscFile"},   {"a.RTF", "CreatePDFfromMiscFile"},
      {"a.odt", "CreatePDFfromMiscFile"},    {"a.txt", "CreatePDFfromTextFile"},
      {"a.xlsx", "CreatePDFfromExcel"},      {"a.csv", "CreatePDFfromExcel"},
      {"a.pptx", "CreatePDFfromPowerPoint"}, {"a.odp", "CreatePDFfromPowerPoint"},
      {"a.pub", "CreatePDFfromPub"},         {"a.odg", "CreatePDFfromPub"},
      {"a.html", "CreatePDFfromMiscFile"},   {"noextension", "CreatePDFfromMiscFile"},
  };
  for (const auto& [file, member] : cases) {
    EXPECT_EQ(planConversion(file, "o.pdf").member, member) << file;
  }
  auto excel = planConversion("book.xls", "o.pdf");
  ASSERT_EQ(excel.args.size(), 4u);
  EXPECT_EQ(excel.args[2], Variant(int16_t{1}));
  auto pdf = planConversion("in.pdf", "o.pdf");
  ASSERT_TRUE(pdf.args[1].isArray());
  EXPECT_EQ(pdf.args[1].array().at(0), Variant("in.pdf"));
  EXPECT_EQ(defaultOutput("/x/y/report.docx", ""), "/x/y/report.pdf");
  EXPECT_EQ(defaultOutput("/x/y/report.docx", "/out"), "/out/report.pdf");
}

// What is known of a document's layout chooses the arguments: the slides' shape, and the
// visible sheets with their ranges (a print area of several ranges prints each).
TEST(ConvertPlanTest, LayoutChoosesOrientationAndSheets) {
  DocumentLayout tall;
  tall.wideSlides = false;
  auto slides = planConversion("deck.pptx", "o.pdf", tall);
  EXPECT_EQ(slides.member, "CreatePDFfromPowerPoint");
  ASSERT_EQ(slides.named.size(), 1u);
  EXPECT_EQ(slides.named[0].name, "blnHorizontalOrientation");
  EXPECT_EQ(slides.named[0].value, Variant(false));
  EXPECT_TRUE(planConversion("deck.pptx", "o.pdf").named.empty());

  DocumentLayout book;
  for (const auto& range : printAreaRanges("$A$1:$B$2, 'Odd, name'!$D$4:$E$5")) {
    book.sheets.push_back({"Sales", range, true, 5});
  }
  book.sheets.push_back({"Costs", kWholeSheet, true, -4105});
  auto sheets = planConversion("book.xlsx", "o.pdf", book);
  EXPECT_EQ(sheets.member, "CreatePDFfromMultiExcel");
  ASSERT_EQ(sheets.args.size(), 4u);
  EXPECT_EQ(sheets.args[2],
            Variant(SafeArray::of({Variant("Sales"), Variant("Sales"), Variant("Costs")})));
  EXPECT_EQ(
      sheets.args[3],
      Variant(SafeArray::of({Variant("$A$1:$B$2"), Variant("$D$4:$E$5"), Variant(kWholeSheet)})));
  // The sheets' own gridlines and first page numbers, not the member's defaults.
  ASSERT_EQ(sheets.named.size(), 2u);
  EXPECT_EQ(sheets.named[0].name, "blnUseGrid");
  EXPECT_EQ(sheets.named[0].value, Variant(true));
  EXPECT_EQ(sheets.named[1].name, "varFirstPageNumber");
  EXPECT_EQ(
      sheets.named[1].value,
      Variant(SafeArray::of({Variant(int32_t{5}), Variant(int32_t{5}), Variant(int32_t{-4105})})));
  EXPECT_TRUE(printAreaRanges("").empty());
}

// Sheets that differ in gridlines print in runs, each with its own, joined in order; a
// workbook with nothing to print gives one blank page of its paper.
TEST(ConvertPlanTest, WorkbooksKeepTheirOwnPrintSettings) {
  DocumentLayout book;
  book.sheets = {{"A", "A1:B2", false, 1},
                 {"B", "A1:B2", true, 1},
                 {"C", "A1:B2", true, 3},
                 {"D", "A1:B2", false, 1}};
  auto plan = planConversion("book.xlsx", "o.pdf", book);
  EXPECT_EQ(plan.member, "CreatePDFfromMultiPDF");
  EXPECT_EQ(plan.args[0], Variant("o.pdf"));
  ASSERT_EQ(plan.parts.size(), 3u);
  const std::vector<std::vector<Variant>> runs = {
      {Variant("A")}, {Variant("B"), Variant("C")}, {Variant("D")}};
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(plan.parts[i].member, "CreatePDFfromMultiExcel");
    EXPECT_EQ(plan.parts[i].args[2], Variant(SafeArray::of(runs[i])));
    EXPECT_EQ(plan.parts[i].named[0].value, Variant(i == 1));
  }
  EXPECT_EQ(plan.parts[1].named[1].value,
            Variant(SafeArray::of({Variant(int32_t{1}), Variant(int32_t{3})})));

  DocumentLayout empty;
  empty.blankPage = std::pair{595.0, 842.0};
  auto blank = planConversion("empty.xlsx", "o.pdf", empty);
  EXPECT_EQ(blank.member, "CreatePDFfromPS");
  EXPECT_NE(blank.generatedInput.find("<< /PageSize [595.00 842.00] >> setpagedevice\nshowpage"),
            std::string::npos)
      << blank.generatedInput;
  PageOptions turned;
  turned.landscape = true;
  EXPECT_NE(
      planConversion("empty.xlsx", "o.pdf", empty, turned).generatedInput.find("[842.00 595.00]"),
      std::string::npos);
  // Nothing known of the workbook: its first sheet through the one-sheet member.
  EXPECT_EQ(planConversion("unknown.xlsx", "o.pdf").member, "CreatePDFfromExcel");
}

TEST(ConvertPlanTest, BatchOutputsNeverOverwriteAnInputOrEachOther) {
  auto out = batchOutputs({"/d/book.xls", "/d/book.ods", "/d/memo.docx", "/d/scan.pdf",
                           "/e/book.xls", "/d/book.xls.pdf"},
                          "");
  EXPECT_EQ(out,
            (std::vector<std::string>{"/d/book.xls-2.pdf", "/d/book.ods.pdf", "/d/memo.pdf",
                                      "/d/scan.pdf.pdf", "/e/book.pdf", "/d/book.xls.pdf.pdf"}));
  out = batchOutputs({"/d/book.xls", "/e/book.xls"}, "/out");
  EXPECT_EQ(out, (std::vector<std::string>{"/out/book.xls.pdf", "/out/book.xls-2.pdf"}));
}

class ConvertRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = platform::TempFolder(platform::systemTempFolder(), "docmill-convert-");
    dir = folder.path();
    for (int i = 1; i <= 3; ++i) {
      std::ofstream(dir / ("p" + std::to_string(i) + ".ps"))
          << "%!PS\n/Helvetica findfont 24 scalefont setfont 72 700 moveto (Page" << i
          << ") show showpage\n";
    }
    std::ofstream(dir / "bad.ps") << "this is not PostScript\n";
  }

  int run(const std::string& args) {
    std::string cmd = std::string("cd ") + dir.string() + " && " + DOCMILL_HOST + " convert " +
                      args + " >" + (dir / "log").string() + " 2>&1";
    return test::runShell(cmd).status;
  }
  std::string text(const fs::path& pdf) { return test::pdfText(pdf.string()); }
  std::string log() {
    std::ifstream in(dir / "log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  platform::TempFolder folder;
  fs::path dir;
};

TEST_F(ConvertRunTest, OneBadFileFailsTheRunButNotTheOthers) {
  EXPECT_EQ(run("-j 2 p1.ps bad.ps p2.ps p3.ps"), 1) << log();
  for (const char* name : {"p1.pdf", "p2.pdf", "p3.pdf"}) {
    EXPECT_TRUE(fs::exists(dir / name)) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "bad.pdf"));
  std::string l = log();
  EXPECT_NE(l.find("FAILED bad.ps: error 0x80004101 (docmill)"), std::string::npos) << l;
  EXPECT_NE(l.find("3 converted, 1 failed"), std::string::npos) << l;
  EXPECT_EQ(run("p1.ps p2.ps -o outdir"), 0) << log();
  EXPECT_TRUE(fs::exists(dir / "outdir" / "p2.pdf"));
}

TEST_F(ConvertRunTest, MergeKeepsTheOrderGivenAndLeavesNoScratchFiles) {
  ASSERT_EQ(run("p2.ps -o p2.pdf"), 0);
  ASSERT_EQ(run("--merge -o all.pdf p3.ps p2.pdf p1.ps"), 0) << log();
  std::string t = text(dir / "all.pdf");
  size_t a = t.find("Page3"), b = t.find("Page2"), c = t.find("Page1");
  ASSERT_NE(a, std::string::npos) << t;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(run("--merge -o none.pdf p1.ps missing.docx"), 1);
  // An output that is also an input is refused before anything is written.
  auto before = fs::file_size(dir / "p2.pdf");
  EXPECT_EQ(run("--merge -o ./p2.pdf p1.ps p2.pdf"), 2);
  EXPECT_EQ(run("-o p2.pdf p2.pdf"), 2);
  EXPECT_EQ(fs::file_size(dir / "p2.pdf"), before);
  EXPECT_NE(log().find("is also an input"), std::string::npos) << log();
  EXPECT_FALSE(fs::exists(dir / "none.pdf"));
  for (const auto& e : fs::directory_iterator(fs::temp_directory_path())) {
    EXPECT_EQ(e.path().filename().string().rfind("docmill-merge-", 0), std::string::npos);
  }
}

// Every option is checked before any work, with the words PdfOptions uses, and exits with
// status 2; the usage lists them all.
TEST_F(ConvertRunTest, OptionsAreCheckedBeforeAnyWork) {
  const std::pair<const char*, const char*> refused[] = {
      {"--quality=0 p1.ps", "quality: \"0\" is not a whole number from 1 to 100"},
      {"--bogus p1.ps", "bogus is no option docmill knows"},
      {"--imageQuality=5 p1.ps", "imageQuality is not supported by docmill"},
      {"--via-postscript --pdfua p1.ps", "pdfua needs the office's own export"},
      {"--userPassword=u --pdfa=PDF/A-2b p1.ps", "cannot be encrypted"},
      {"--splitMode=pages p1.ps", "splitSpan is needed with splitMode"},
      {"--metadata={ p1.ps", "metadata is not a JSON object"},
  };
  for (const auto& [args, words] : refused) {
    EXPECT_EQ(run(args), 2) << args << ": " << log();
    EXPECT_NE(log().find(words), std::string::npos) << args << ": " << log();
  }
  EXPECT_FALSE(fs::exists(dir / "p1.pdf"));
  EXPECT_EQ(run("--help"), 2);
  for (const auto& o : optionHelp()) {
    EXPECT_NE(log().find(std::string("--") + o.name + "="), std::string::npos) << o.name;
  }
  EXPECT_NE(log().find("--via-postscript"), std::string::npos);
  // A bare option is true; an accessible PDF needs a document the office exports.
  EXPECT_EQ(run("--pdfua p1.ps"), 1);
  EXPECT_NE(log().find("FAILED p1.ps"), std::string::npos) << log();
  EXPECT_NE(log().find("no structure to tag"), std::string::npos) << log();
  // After "--", every argument is an input.
  std::ofstream(dir / "-dash.ps") << "%!PS\nshowpage\n";
  EXPECT_EQ(run("--via-postscript -- -dash.ps"), 0) << log();
  EXPECT_TRUE(fs::exists(dir / "-dash.pdf"));
}

// PostScript and PDF inputs go through their members, then get the same finishing.
TEST_F(ConvertRunTest, PostScriptGetsTheFinishingAsked) {
  ASSERT_EQ(run("-o titled.pdf '--metadata={\"Title\": \"Given title\"}' p1.ps"), 0) << log();
  EXPECT_NE(test::runShell("pdfinfo " + (dir / "titled.pdf").string()).text.find("Given title"),
            std::string::npos);
  ASSERT_EQ(run("--merge -o cut.pdf --splitMode=intervals --splitSpan=2 p1.ps p2.ps p3.ps"), 0)
      << log();
  EXPECT_EQ(test::pdfPageCount((dir / "cut_0.pdf").string()), 2);
  EXPECT_EQ(test::pdfPageCount((dir / "cut_1.pdf").string()), 1);
  EXPECT_NE(text(dir / "cut_1.pdf").find("Page3"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "cut.pdf"));
  // A split is handed out whole or not at all: a part that cannot be written takes the
  // others with it.
  fs::create_directory(dir / "half_1.pdf");
  EXPECT_EQ(run("--merge -o half.pdf --splitMode=intervals --splitSpan=2 p1.ps p2.ps p3.ps"), 1);
  EXPECT_NE(log().find("half_1.pdf"), std::string::npos) << log();
  EXPECT_FALSE(fs::exists(dir / "half_0.pdf"));
}

}  // namespace
}  // namespace docmill::cli
