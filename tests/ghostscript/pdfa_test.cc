// PDF/A conversion of PDFs that exist, through the real interpreter, checked with the PDF
// tools; the converted files stay PDF/A when their metadata is set or they are joined.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "automation/error.h"
#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "pdfclean/finishing.h"
#include "platform/scratch.h"
#include "tests/pdfclean/hostile_documents.h"
#include "tests/pdfclean/pdf_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/pdf_checks.h"
#include "tests/support/programs.h"

namespace docmill::gs {
namespace {

namespace fs = std::filesystem;
using test::pdfFacts;
using test::pdfText;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// A page of text, half covered by a translucent, multiplying square in a transparency group.
std::string translucentPdf() {
  return test::pdfFromObjects(
      {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Group << /S "
       "/Transparency /CS /DeviceRGB >> /Resources << /Font << /F1 5 0 R >> /ExtGState << /GS1 "
       "<< /ca 0.5 /BM /Multiply >> >> >> >>",
       test::pdfStream("BT /F1 24 Tf 72 700 Td (Translucent words) Tj ET /GS1 gs 1 0 0 rg 60 "
                       "600 300 150 re f"),
       "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"});
}

// A page whose TrueType font is named, not embedded.
std::string unembeddedFontPdf() {
  return test::pdfFromObjects(
      {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << "
       "/Font << /F1 5 0 R >> >> >>",
       test::pdfStream("BT /F1 24 Tf 72 700 Td (Borrowed letters) Tj ET"),
       "<< /Type /Font /Subtype /TrueType /BaseFont /Arial /FirstChar 32 /LastChar 126 "
       "/Encoding /WinAnsiEncoding >>"});
}

class PdfATest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = folder_.path() + "/" + name;
    test::writeFile(path, bytes);
    return path;
  }
  std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

  platform::TempFolder folder_{platform::systemTempFolder(), "gs-pdfa-test-"};
};

TEST_F(PdfATest, TransparencyAndUnembeddedFontsBecomePdfAOfEachPart) {
  const std::string translucent = write("translucent.pdf", translucentPdf());
  const std::string borrowed = write("borrowed.pdf", unembeddedFontPdf());
  ASSERT_THAT(test::pdfaProblems(pdfFacts(borrowed), 2),
              Not(IsEmpty()));  // the fixture is no PDF/A
  for (int part : {1, 2, 3}) {
    SCOPED_TRACE(part);
    const std::string a = path("translucent-" + std::to_string(part) + ".pdf");
    const std::string b = path("borrowed-" + std::to_string(part) + ".pdf");
    convertToPdfA(translucent, a, part);
    convertToPdfA(borrowed, b, part);
    EXPECT_THAT(test::pdfaProblems(pdfFacts(a), part), IsEmpty());
    EXPECT_THAT(test::pdfaProblems(pdfFacts(b), part), IsEmpty());
    EXPECT_THAT(pdfText(b), HasSubstr("Borrowed letters"));
    // PDF/A-2 and -3 hold transparency, and the text under it stays text.
    if (part > 1) {
      EXPECT_THAT(pdfText(a), HasSubstr("Translucent words"));
    }
  }
}

TEST_F(PdfATest, ConvertedFilesStayPdfAWithNewMetadataAndWhenJoined) {
  const std::string a = path("a.pdf"), b = path("b.pdf");
  convertToPdfA(write("in-a.pdf", unembeddedFontPdf()), a, 2);
  convertToPdfA(write("in-b.pdf", translucentPdf()), b, 2);
  pdfclean::Finish finish;
  pdfclean::Metadata& m = finish.metadata.emplace();
  m.title = "Archived \xE2\x80\x93 report";
  m.author = "Ada";
  m.modDate = "D:20240102030405+01'00'";
  pdfclean::finishPdf(a, finish);
  test::PdfFacts facts = pdfFacts(a);
  EXPECT_THAT(test::pdfaProblems(facts, 2), IsEmpty());
  EXPECT_EQ(facts.info["Title"], *m.title);
  EXPECT_EQ(test::xmpValue(facts.xmp, "dc:title"), *m.title);
  EXPECT_EQ(test::xmpValue(facts.xmp, "xmp:ModifyDate"), "2024-01-02T03:04:05+01:00");

  const std::string joined = path("joined.pdf");
  EXPECT_EQ(pdfclean::joinPdfs({a, b}, joined).pdfaPart, 2);
  facts = pdfFacts(joined);
  EXPECT_THAT(test::pdfaProblems(facts, 2), IsEmpty());
  EXPECT_EQ(facts.info["Title"], *m.title);
  const std::string text = pdfText(joined);
  EXPECT_LT(text.find("Borrowed letters"), text.find("Translucent words"));
}

TEST_F(PdfATest, UnusableInputsFailByNameAndLeaveNothing) {
  const std::string plain = write("plain.pdf", unembeddedFontPdf());
  const std::string locked = path("locked.pdf");
  ASSERT_EQ(test::runProgram({"qpdf", "--encrypt", "u", "o", "256", "--", plain, locked}).status,
            0);
  const std::string damaged = write("damaged.pdf", "%PDF-1.7\n1 0 obj\n<< /Type /Catalog");
  const std::pair<std::string, const char*> cases[] = {
      {locked, " is encrypted and cannot be opened without its password"},
      {damaged, " is a damaged PDF file"},
  };
  for (const auto& [input, why] : cases) {
    const std::string out = path("out.pdf");
    try {
      convertToPdfA(input, out, 2);
      ADD_FAILURE() << input << " was converted";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().number, pdoErrConversionFailed);
      EXPECT_THAT(e.error().description, HasSubstr(input + why));
    }
    EXPECT_FALSE(fs::exists(out));
  }
  EXPECT_THROW(convertToPdfA(plain, path("out.pdf"), 4), AutomationError);
  EXPECT_FALSE(fs::exists(path("out.pdf")));
}

// Names the interpreter would take for commands, switches, argument files or page templates
// are files of exactly that name, given as they are or relative to the working folder.
TEST_F(PdfATest, HostileNamesAreLiteralFiles) {
  struct Back {
    fs::path to = fs::current_path();
    ~Back() { fs::current_path(to); }
  } back;
  fs::current_path(folder_.path());
  test::writeFile("args", "-sOutputFile=elsewhere.pdf\n");
  const std::pair<std::string, std::string> names[] = {
      {"%pipe%touch pwned", "|touch pwned"},
      {"|touch pwned", "%pipe%touch pwned"},
      {"-dNOSAFER", "out%d.pdf"},
      {"@args", "-dNOSAFER.pdf"},
      {"in%d.pdf", "@args.pdf"},
  };
  for (const auto& [input, output] : names) {
    SCOPED_TRACE(input + " -> " + output);
    test::writeFile(input, unembeddedFontPdf());
    convertToPdfA(input, output, 2);
    EXPECT_THAT(pdfText(path(output)), HasSubstr("Borrowed letters"));
    EXPECT_EQ(pdfFacts(path(output)).pdfaPart, "2");
    fs::remove(output);
  }
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists("elsewhere.pdf"));
  EXPECT_FALSE(fs::exists("out1.pdf"));
}

}  // namespace
}  // namespace docmill::gs
