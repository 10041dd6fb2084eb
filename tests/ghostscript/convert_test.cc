// Conversions through the real interpreter library, checked with the PDF tools.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include "automation/call_context.h"
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

// A PDF of `pages` pages, each saying "Page <n> text", with a correct cross-reference table.
std::string textPdf(int pages) {
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  for (int i = 0; i < pages; ++i) {
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font "
        "<< /F1 3 0 R >> >> /Contents " +
        std::to_string(5 + 2 * i) + " 0 R >>");
    objects.push_back(docmill::test::pdfStream("BT /F1 24 Tf 72 700 Td (Page " +
                                               std::to_string(i + 1) + " text) Tj ET"));
  }
  return docmill::test::pdfFromObjects(objects);
}

// `from` written again, encrypted (AES-256) with the user password `user`.
void encrypt(const std::string& from, const std::string& to, const char* user) {
  QPDF pdf;
  pdf.processFile(from.c_str());
  QPDFWriter writer(pdf, to.c_str());
  writer.setR6EncryptionParameters(user, "owner", true, true, true, true, true, true, qpdf_r3p_full,
                                   true);
  writer.write();
}

// The error a call raises (number 0 when none), made with a context of its own whose
// bad-input mark is returned in `badInput`.
Error failureOf(const std::function<void()>& call, bool* badInput) {
  auto context = std::make_shared<CallContext>();
  CallContext::Scope scope(context);
  Error error;
  try {
    call();
  } catch (const AutomationError& e) {
    error = e.error();
  }
  *badInput = context->badInput();
  return error;
}

// A damaged or locked PDF, an empty file or a file of another kind is not turned into a
// blank page or left out of a merge: the call fails naming it, and writes nothing.
TEST_F(ConvertTest, UnusableInputsFailNamingTheInputAndLeaveNoOutput) {
  writeTextPs("good.ps", 1, "Good");
  docmill::test::writeFile("good.pdf", textPdf(2));
  const std::string three = textPdf(3);
  docmill::test::writeFile("damaged.pdf", "%PDF-1.4\ngarbage\n");
  docmill::test::writeFile("truncated.pdf", three.substr(0, three.size() * 6 / 10));
  encrypt("good.pdf", "locked.pdf", "secret");
  docmill::test::writeFile("picture.png",
                           std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR") + std::string(200, '\x9c'));
  docmill::test::writeFile("empty.ps", "");
  const std::pair<std::string, std::string> cases[] = {
      {"damaged.pdf", "damaged.pdf is a damaged PDF file that cannot be read"},
      {"truncated.pdf", "truncated.pdf is a damaged PDF file: some of its pages cannot be read"},
      {"locked.pdf", "locked.pdf is encrypted and cannot be opened without its password"},
      {"picture.png", "picture.png is not a PDF or PostScript file"},
      {"empty.ps", "empty.ps is empty"},
  };
  for (const auto& [input, reason] : cases) {
    SCOPED_TRACE(input);
    bool badInput = false;
    Error alone =
        failureOf([&] { invoke(createPDFfromPS, Variant("out.pdf"), Variant(input)); }, &badInput);
    EXPECT_EQ(alone.number, pdoErrConversionFailed);
    EXPECT_EQ(alone.description, "Conversion to out.pdf failed: " + reason);
    EXPECT_TRUE(badInput);
    EXPECT_FALSE(fs::exists("out.pdf"));

    Error merged = failureOf(
        [&] {
          invoke(createPDFfromMultiPDF, Variant("out.pdf"),
                 arrayOf({Variant("good.ps"), Variant(input), Variant("good.pdf")}));
        },
        &badInput);
    EXPECT_EQ(merged.description, "Conversion to out.pdf failed: " + reason);
    EXPECT_TRUE(badInput);
    EXPECT_FALSE(fs::exists("out.pdf"));
  }

  // A document's own error is still reported in the interpreter's words, and is no bad
  // input of the caller's.
  std::ofstream("bad.ps") << "%!PS\nnosuchoperator\n";
  bool badInput = true;
  Error own =
      failureOf([&] { convertFileOrRaise(Variant("bad.ps"), Variant("out.pdf")); }, &badInput);
  EXPECT_THAT(own.description, HasSubstr("Error: /undefined in nosuchoperator"));
  EXPECT_FALSE(badInput);
}

// What a reader repairs or reads anyway still converts: a PDF whose cross-reference offset
// is wrong or that has junk before its header, one encrypted without a user password, and
// PostScript with a printer-language preamble, an end-of-job character first or no header.
TEST_F(ConvertTest, RepairableAndUnusualInputsStillConvert) {
  const std::string three = textPdf(3);
  const size_t at = three.rfind("startxref\n") + 10;
  docmill::test::writeFile("offset.pdf", three.substr(0, at) + "9" + three.substr(at));
  docmill::test::writeFile("junk.pdf", "Junk before the header\n" + textPdf(1));
  docmill::test::writeFile("plain.pdf", textPdf(1));
  encrypt("plain.pdf", "owner-only.pdf", "");
  const std::string page = "/Helvetica findfont 20 scalefont setfont 72 700 moveto ";
  docmill::test::writeFile("pjl.ps",
                           "\x1b%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n"
                           "%!PS\n" +
                               page + "(Preamble) show showpage\n");
  docmill::test::writeFile("eoj.ps", "\x04%!PS\n" + page + "(Eoj) show showpage\n");
  docmill::test::writeFile("bare.ps", page + "(Bare) show showpage\n");
  docmill::test::writeFile("silent.ps", "1 2 add pop\n");
  ASSERT_TRUE(convertFiles(arrayOf({"offset.pdf", "junk.pdf", "owner-only.pdf", "pjl.ps", "eoj.ps",
                                    "bare.ps", "silent.ps"}),
                           "all.pdf"));
  EXPECT_EQ(pdfPageCount("all.pdf"), 8);
  const std::string text = pdfText("all.pdf");
  for (const char* expected : {"Page 3 text", "Preamble", "Eoj", "Bare"}) {
    EXPECT_THAT(text, HasSubstr(expected));
  }
}

}  // namespace
}  // namespace docmill::gs
