// What an input is by its first bytes, and which input a run's findings make unusable.
#include "ghostscript/inputs.h"

#include <gtest/gtest.h>

#include <string>

namespace docmill::gs {
namespace {

using K = InputKind;
using namespace std::string_literals;

TEST(InputsTest, TheFirstBytesTellPostScriptPdfAndEmptyFilesFromTheRest) {
  const std::pair<std::string, K> cases[] = {
      {"%!PS-Adobe-3.0\n", K::PostScript},
      {"\x04%!PS\n", K::PostScript},  // an end-of-job character first, as drivers write
      {"\x1b%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n%!PS\n", K::PostScript},
      {"\xC5\xD0\xD3\xC6\x20\x00\x00\x00", K::PostScript},  // encapsulated, with a preview
      {"%PDF-1.7\n", K::Pdf},
      {"\x1b%-12345X@PJL\n%PDF-1.4\n", K::Pdf},
      {std::string(1000, 'j') + "%PDF-1.4\n", K::Pdf},  // junk first, as readers allow
      {std::string(1030, 'j') + "%PDF-1.4\n", K::Unknown},
      {"", K::Empty},
      {" \r\n\t\0\0"s, K::Empty},
      {"\x89PNG\r\n\x1a\n", K::Unknown},
      {"PK\x03\x04", K::Unknown},
      {"1 2 add pop\n", K::Unknown},  // may well be PostScript: only a failed run tells
  };
  for (const auto& [start, kind] : cases) EXPECT_EQ(kindFromStart(start, true), kind) << start;
  // Blanks at the start of a longer file say nothing yet.
  EXPECT_EQ(kindFromStart(std::string(kStartBytes, ' '), false), K::Unknown);
}

std::string judged(std::vector<K> inputs, std::vector<FindingAt> findings, bool stopped) {
  auto unusable = unusableInput(inputs, findings, stopped);
  return unusable ? std::to_string(unusable->index) + " " + unusable->reason : "none";
}

TEST(InputsTest, FindingsNameTheInputTheyAreAbout) {
  // Before the run: a locked PDF or an empty file, wherever it is.
  EXPECT_EQ(judged({K::PostScript, K::PdfEncrypted}, {}, false),
            "1 is encrypted and cannot be opened without its password");
  EXPECT_EQ(judged({K::PostScript, K::Empty}, {}, false), "1 is empty");
  EXPECT_EQ(judged({K::PostScript, K::Pdf, K::PdfDamaged, K::Unknown, K::Missing}, {}, false),
            "none");

  // The PDF reader's complaints: about the input being read, else one that would not open,
  // else the only PDF. One made while PostScript ran came from that program.
  const FindingAt unreadable{Finding::Unreadable, 2};
  EXPECT_EQ(judged({K::Pdf, K::PostScript, K::Pdf}, {unreadable}, false),
            "2 is a damaged PDF file that cannot be read");
  EXPECT_EQ(judged({K::Pdf, K::PdfDamaged}, {{Finding::PagesMissing, -1}}, false),
            "1 is a damaged PDF file: some of its pages cannot be read");
  EXPECT_EQ(judged({K::PostScript, K::Pdf}, {{Finding::Password, -1}}, false),
            "1 is encrypted and cannot be opened without its password");
  EXPECT_EQ(judged({K::Pdf, K::Pdf}, {{Finding::Unreadable, -1}}, false), "none");
  EXPECT_EQ(judged({K::Pdf, K::PostScript}, {{Finding::Unreadable, 1}}, false), "none");

  // A run that stopped at an error report stopped at an input that is no document only when
  // that input does not start as one.
  EXPECT_EQ(judged({K::PostScript, K::Unknown}, {{Finding::Error, 1}}, true),
            "1 is not a PDF or PostScript file");
  EXPECT_EQ(judged({K::PostScript, K::Unknown}, {{Finding::Error, 0}}, true), "none");
  EXPECT_EQ(judged({K::PostScript, K::Unknown}, {{Finding::Error, -1}}, true),
            "1 is not a PDF or PostScript file");
  EXPECT_EQ(judged({K::Unknown, K::Unknown}, {{Finding::Error, -1}}, true), "none");
  EXPECT_EQ(judged({K::PdfDamaged}, {{Finding::Error, 0}}, true),
            "0 is a damaged PDF file that cannot be read");
  // Unusual PostScript that ran without an error report is accepted.
  EXPECT_EQ(judged({K::Unknown}, {}, false), "none");
}

}  // namespace
}  // namespace docmill::gs
