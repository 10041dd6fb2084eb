#include "ghostscript/transcript.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace docmill::gs {
namespace {

TEST(ErrorTranscriptTest, KeepsTheLastErrorLinesOfEachStream) {
  ErrorTranscript t;
  t.addStdout("Loading font... done.\n   **** Error: Cannot find a 'startxref'.\n");
  t.addStdout("Error: /ioerror in --showpage--\nOperand stack:\n   --nostringval--\n");
  t.addStdout("Last OS error: No space left on device");  // no final newline
  for (int i = 0; i < 10; ++i) t.addStderr("warning " + std::to_string(i) + "\n");
  EXPECT_EQ(t.summary(),
            "**** Error: Cannot find a 'startxref'.; Error: /ioerror in --showpage--; "
            "Last OS error: No space left on device; "
            "warning 6; warning 7; warning 8; warning 9");
}

TEST(ErrorTranscriptTest, SaysNothingForACleanRun) {
  ErrorTranscript t;
  t.addStdout("GPL Ghostscript 10.0.0\nPage 1\n\n");
  t.addStderr("  \r\n");
  EXPECT_EQ(t.summary(), "");
}

// The PDF reader's reports of inputs it skipped, as the interpreter writes them (split
// anywhere), are told apart from its reports of files it repaired and read.
TEST(ErrorTranscriptTest, TellsSkippedInputsFromRepairedOnesOnceEach) {
  ErrorTranscript t;
  std::vector<Finding> seen;
  t.onFinding([&](Finding f) { seen.push_back(f); });
  t.addStdout("   **** Error: An error occurred while reading an XREF table.\n");
  t.addStdout("               Output may be incorrect.\n   **** Error: Couldn't initia");
  t.addStdout("lise file.\n               Output may be incorrect.\n");
  t.addStderr("GPL Ghostscript 10.00.0: \n   **** This file requires a password for access.\n");
  t.addStdout("   **** Error: Couldn't get page info.\n   **** Error: Couldn't initialise file.\n");
  t.addStdout("Error: /syntaxerror in (binary token, type=137)");  // no final newline
  EXPECT_EQ(seen.size(), 3u);  // the last line is complete only at the end
  EXPECT_THAT(t.summary(), ::testing::HasSubstr("Error: /syntaxerror"));
  EXPECT_EQ(seen, (std::vector<Finding>{Finding::Unreadable, Finding::Password,
                                        Finding::PagesMissing, Finding::Error}));
  EXPECT_TRUE(t.found(Finding::Password));

  ErrorTranscript repaired;
  repaired.addStdout(
      "   **** Error: Page drawing error occurred.\n   **** Warning: File has "
      "some garbage before %PDF- .\n");
  repaired.summary();
  for (Finding f : {Finding::Error, Finding::Unreadable, Finding::PagesMissing, Finding::Password})
    EXPECT_FALSE(repaired.found(f));
}

}  // namespace
}  // namespace docmill::gs
