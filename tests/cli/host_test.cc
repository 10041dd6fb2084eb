#include <gtest/gtest.h>
#include <sys/wait.h>
#include "tests/support/programs.h"

#include <array>
#include <cstdio>
#include <string>
#include "tests/support/programs.h"

#include "tests/support/programs.h"
namespace {
#include "tests/support/programs.h"

#include "tests/support/programs.h"
struct Result {
#include "tests/support/programs.h"
  int status;
#include "tests/support/programs.h"
  std::string out;
#include "tests/support/programs.h"
};
#include "tests/support/programs.h"

#include "tests/support/programs.h"
// Runs the host with `args` (shell words), capturing stdout and stderr together.
#include "tests/support/programs.h"
Result runHost(const std::string& args) {
#include "tests/support/programs.h"
  std::string cmd = std::string("DOCMILL_REGISTRY=/nonexistent-docmill-registry ") + DOCMILL_HOST +
#include "tests/support/programs.h"
                    " " + args + " 2>&1";
#include "tests/support/programs.h"
  const docmill::test::ProgramOutput run = docmill::test::runShell(cmd);
#include "tests/support/programs.h"
  return {run.status, run.text};
#include "tests/support/programs.h"
}
#include "tests/support/programs.h"

#include "tests/support/programs.h"
TEST(HostTest, HelpListsEveryMemberFromTheTypeInformation) {
#include "tests/support/programs.h"
  Result r = runHost("--help");
#include "tests/support/programs.h"
  EXPECT_EQ(r.status, 0);
#include "tests/support/programs.h"
  for (const char* m : {"CreatePDFfromMultiExcel", "SetDefPrinter", "TempFilePath",
#include "tests/support/programs.h"
                        "pdoAlignCenter", "strPrinter: Variant ByRef Optional = \"Generic"}) {
#include "tests/support/programs.h"
    EXPECT_NE(r.out.find(m), std::string::npos) << m;
#include "tests/support/programs.h"
  }
#include "tests/support/programs.h"
}
#include "tests/support/programs.h"

#include "tests/support/programs.h"
TEST(HostTest, FailuresPrintNumberSourceAndDescriptionAndExitNonZero) {
#include "tests/support/programs.h"
  Result r = runHost("NoSuchMember");
#include "tests/support/programs.h"
  EXPECT_EQ(r.status, 1);
#include "tests/support/programs.h"
  EXPECT_EQ(r.out, "docmill: error 0x80020006 (docmill): Unknown name.\n");
#include "tests/support/programs.h"
  r = runHost("CreatePDFfromPS /nonexistent/out.pdf '/nonexistent/in put.ps'");
#include "tests/support/programs.h"
  EXPECT_EQ(r.status, 1);
#include "tests/support/programs.h"
  EXPECT_EQ(r.out,
#include "tests/support/programs.h"
            "docmill: error 0x80004100 (docmill): File /nonexistent/in put.ps does not exist.\n");
#include "tests/support/programs.h"
}
#include "tests/support/programs.h"

#include "tests/support/programs.h"
TEST(HostTest, PropertiesAreReadAndSetForTheRun) {
#include "tests/support/programs.h"
  Result r = runHost("--set TempFilePath=/tmp --get tempfilepath");
#include "tests/support/programs.h"
  EXPECT_EQ(r.status, 0);
#include "tests/support/programs.h"
  EXPECT_EQ(r.out, "/tmp/\n");
#include "tests/support/programs.h"
  r = runHost("--set GhostScriptVersion=i2:3 GhostScriptVersion");
#include "tests/support/programs.h"
  EXPECT_EQ(r.out, "3\n");
#include "tests/support/programs.h"
}
#include "tests/support/programs.h"

#include "tests/support/programs.h"
}  // namespace
#include "tests/support/programs.h"
