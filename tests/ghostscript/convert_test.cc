// Conversions through the real interpreter library, checked with the PDF tools.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "platform/scratch.h"
#include "tests/ghostscript/tools.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/support/programs.h"

namespace docmill::gs {
namespace {

using fixtures::writeTextPs;
using test::pdfPageCount;
using test::pdfText;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

Variant arrayOf(std::vector<Variant> items) {
  return Variant(SafeArray::of(std::move(items)));
}

// Each test works in a folder of its own, which is also the current folder, so that
// relative names that look like switches or devices stay inside it.
class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = platform::TempFolder(platform::systemTempFolder(), "gs-convert-test-");
    dir = folder.path();
    previous = fs::current_path();
    fs::current_path(dir);
  }
  void TearDown() override { fs::current_path(previous); }
  std::string path(const std::string& name) const { return (dir / name).string(); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  platform::TempFolder folder;
  fs::path dir, previous;
};

TEST_F(ConvertTest, PostScriptBecomesAPdfWithEveryPageAndItsText) {
  writeTextPs(path("report.ps"), 3, "Quarterly report");
  ASSERT_TRUE(convertFile(Variant(path("report.ps")), Variant(path("report.pdf"))));
  EXPECT_EQ(pdfPageCount(path("report.pdf")), 3);
  std::string text = pdfText(path("report.pdf"));
  EXPECT_THAT(text, HasSubstr("Quarterly report page 1"));
  EXPECT_THAT(text, HasSubstr("Quarterly report page 3"));
  EXPECT_EQ(ghostscriptMajorVersion(), 10);
}

TEST_F(ConvertTest, ProgramsThatQuitAndNonAsciiNamesConvert) {
  writeTextPs(path("Grüße – 東京.ps"), 2, "Quitting", "quit\n");
  ASSERT_TRUE(convertFile(Variant(path("Grüße – 東京.ps")), Variant("Ausgabe ü.pdf")));
  EXPECT_EQ(pdfPageCount(path("Ausgabe ü.pdf")), 2);
}

TEST_F(ConvertTest, ArraysMergeInArrayOrder) {
  writeTextPs(path("a.ps"), 2, "Alpha");
  writeTextPs(path("b.ps"), 1, "Bravo");
  ASSERT_TRUE(convertFiles(arrayOf({"b.ps", "a.ps"}), "ba.pdf"));
  EXPECT_EQ(pdfPageCount("ba.pdf"), 3);
  std::string text = pdfText("ba.pdf");
  EXPECT_LT(text.find("Bravo page 1"), text.find("Alpha page 1"));
  EXPECT_LT(text.find("Alpha page 1"), text.find("Alpha page 2"));

  // PDF inputs join the same way.
  ASSERT_TRUE(convertFiles(arrayOf({"ba.pdf", "b.ps", "ba.pdf"}), "joined.pdf"));
  EXPECT_EQ(pdfPageCount("joined.pdf"), 7);
}

TEST_F(ConvertTest, FailedRunRaisesWithTheInterpretersMessageAndLeavesNoOutput) {
  std::ofstream("bad.ps") << "%!PS\n/Helvetica findfont 20 scalefont setfont\n"
                             "72 720 moveto (before) show showpage\nnosuchoperator\n";
  try {
    convertFileOrRaise(Variant("bad.ps"), Variant("bad.pdf"));
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, pdoErrConversionFailed);
    EXPECT_EQ(e.error().source, "docmill");
    EXPECT_THAT(e.error().description,
                HasSubstr("Conversion to bad.pdf failed: Error: /undefined in nosuchoperator"));
    EXPECT_THAT(e.error().description, HasSubstr("Unrecoverable error"));
  }
  EXPECT_FALSE(fs::exists("bad.pdf"));

  // A missing input among several fails the run too.
  writeTextPs("a.ps", 1, "Alpha");
  std::string tail;
  EXPECT_FALSE(convertFiles(arrayOf({"a.ps", "missing.ps"}), "m.pdf", &tail));
  EXPECT_THAT(tail, HasSubstr("undefinedfilename"));
}

// Names the interpreter would treat as commands, switches, argument files or page
// templates are files of exactly that name, and nothing else happens.
TEST_F(ConvertTest, HostileOutputNamesAreLiteralFiles) {
  writeTextPs("in.ps", 2, "Literal");
  for (const std::string name :
       {"%pipe%touch pwned", "|touch pwned", "out%d.pdf", "-dNOSAFER", "@args", "-", "%stdout"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(convertFile(Variant("in.ps"), Variant(name)));
    EXPECT_EQ(pdfPageCount(path(name)), 2);
  }
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists("out1.pdf"));
  EXPECT_EQ(entries().size(), 8u);
}

TEST_F(ConvertTest, HostileInputNamesAreReadAsFiles) {
  // A file of further arguments that would send the output elsewhere.
  std::ofstream("args") << "-sOutputFile=elsewhere.pdf\n";
  const std::vector<std::string> names = {
      "%pipe%touch pwned", "|touch pwned", "-dNOSAFER", "@args", "-", "sub/%pipe%x"};
  fs::create_directory("sub");
  std::vector<Variant> inputs;
  for (size_t i = 0; i < names.size(); ++i) {
    writeTextPs(names[i], 1, "Input " + std::to_string(i));
    inputs.emplace_back(names[i]);
  }
  ASSERT_TRUE(convertFiles(arrayOf(inputs), "all.pdf"));
  EXPECT_EQ(pdfPageCount("all.pdf"), static_cast<int>(names.size()));
  std::string text = pdfText("all.pdf");
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_THAT(text, HasSubstr("Input " + std::to_string(i)));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists("elsewhere.pdf"));

  // Absolute names with such a component are read the same way.
  ASSERT_TRUE(convertFile(Variant(path("sub/%pipe%x")), Variant(path("one.pdf"))));
  EXPECT_THAT(pdfText("one.pdf"), HasSubstr("Input 5"));
}

TEST_F(ConvertTest, SafeModeStillGuardsTheDocument) {
  // A document that tries to write a file is refused by the interpreter's safe mode,
  // even when its own name looks like the switch that would lift it.
  std::ofstream("-dNOSAFER") << "%!PS\n(written.txt) (w) file closefile\nshowpage\n";
  std::string tail;
  EXPECT_FALSE(convertFile(Variant("-dNOSAFER"), Variant("x.pdf"), &tail));
  EXPECT_THAT(tail, HasSubstr("invalidfileaccess"));
  EXPECT_FALSE(fs::exists("written.txt"));
}

TEST_F(ConvertTest, TwoThreadsConvertAtTheSameTime) {
  writeTextPs("one.ps", 20, "First");
  writeTextPs("two.ps", 20, "Second");
  std::atomic<int> failures{0};
  auto work = [&](const std::string& in, const std::string& prefix) {
    for (int i = 0; i < 3; ++i) {
      std::string out = prefix + std::to_string(i) + ".pdf";
      if (!convertFile(Variant(in), Variant(out))) ++failures;
    }
  };
  std::thread a(work, "one.ps", "a");
  std::thread b(work, "two.ps", "b");
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pdfPageCount("a" + std::to_string(i) + ".pdf"), 20);
    EXPECT_THAT(pdfText("b" + std::to_string(i) + ".pdf"), HasSubstr("Second page 20"));
    EXPECT_THAT(pdfText("b" + std::to_string(i) + ".pdf"), Not(HasSubstr("First")));
  }
}

// The public members as the component calls them: by-reference arguments in table order.
void invoke(void (*method)(std::span<Variant* const>), Variant first, Variant second) {
  std::vector<Variant*> args = {&first, &second};
  method(args);
}

TEST_F(ConvertTest, PublicMethodsReplaceTheOutputAndJoinInOrder) {
  writeTextPs("letter.ps", 1, "Letter");
  writeTextPs("report.ps", 3, "Report");
  std::ofstream("letter.pdf") << "an older letter";
  invoke(createPDFfromPS, Variant("letter.pdf"), Variant("letter.ps"));
  EXPECT_EQ(pdfPageCount("letter.pdf"), 1);

  invoke(createPDFfromMultiPS, Variant("both.pdf"),
         arrayOf({Variant("report.ps"), Variant("letter.ps")}));
  EXPECT_EQ(pdfPageCount("both.pdf"), 4);
  invoke(createPDFfromMultiPDF, Variant("again.pdf"),
         arrayOf({Variant("letter.pdf"), Variant("both.pdf")}));
  EXPECT_EQ(pdfPageCount("again.pdf"), 5);
  std::string text = pdfText("again.pdf");
  EXPECT_LT(text.find("Letter page 1"), text.find("Report page 1"));
  EXPECT_LT(text.find("Report page 3"), text.rfind("Letter page 1"));

  // A missing input among several is a failed run: raised, and no partial output stays.
  try {
    invoke(createPDFfromMultiPS, Variant("partial.pdf"),
           arrayOf({Variant("report.ps"), Variant("missing.ps")}));
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, pdoErrConversionFailed);
    EXPECT_THAT(e.error().description, HasSubstr("Conversion to partial.pdf failed: "));
    EXPECT_THAT(e.error().description, HasSubstr("undefinedfilename in (missing.ps)"));
  }
  EXPECT_FALSE(fs::exists("partial.pdf"));
}

// Whatever a document asks for, the PDF the component writes runs nothing and launches
// nothing; its web links and links within the document stay.
TEST_F(ConvertTest, OutputsCarryNoScriptsOrLaunchesButKeepTheirLinks) {
  using docmill::test::actionsIn;
  docmill::test::writeFile("hostile.pdf", docmill::test::hostilePdf());
  docmill::test::writeFile("hostile.ps", docmill::test::hostilePostScript());
  writeTextPs("plain.ps", 1, "Plain");
  invoke(createPDFfromMultiPDF, Variant("from-pdf.pdf"), arrayOf({Variant("hostile.pdf")}));
  invoke(createPDFfromPS, Variant("from-ps.pdf"), Variant("hostile.ps"));
  invoke(createPDFfromMultiPS, Variant("from-both.pdf"),
         arrayOf({Variant("plain.ps"), Variant("hostile.ps")}));
  for (const char* pdf : {"from-pdf.pdf", "from-ps.pdf", "from-both.pdf"}) {
    SCOPED_TRACE(pdf);
    const auto found = actionsIn(pdf);
    for (const char* active : {"/Launch", "/JavaScript", "/AA", "/OpenAction"}) {
      EXPECT_EQ(found.count(active), 0u) << active;
    }
    EXPECT_EQ(found.count("/URI"), 1u);
  }
  const auto fromPdf = actionsIn("from-pdf.pdf");
  EXPECT_EQ(fromPdf.count("/GoTo") + fromPdf.count("Dest"), 1u);
  EXPECT_THAT(pdfText("from-both.pdf"), HasSubstr("Hostile marks"));
}

}  // namespace
}  // namespace docmill::gs
