#include "ghostscript/transcript.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace docmill::gs
