#include <gtest/gtest.h>
#include <sys/wait.h>
#include "tests/support/programs.h"

#include <array>
#include <cstdio>
#include <string>

namespace {

struct Result {
  int status;
  std::string out;
};

// Runs the host with `args` (shell words), capturing stdout and stderr together.
Result runHost(const std::string& args) {
  std::string cmd = std::string("DOCMILL_REGISTRY=/nonexistent-docmill-registry ") + DOCMILL_HOST +
                    " " + args + " 2>&1";
  const docmill::test::ProgramOutput run = docmill::test::runShell(cmd);
  return {run.status, run.text};
}

TEST(HostTest, HelpListsEveryMemberFromTheTypeInformation) {
  Result r = runHost("--help");
  EXPECT_EQ(r.status, 0);
  for (const char* m : {"CreatePDFfromMultiExcel", "SetDefPrinter", "TempFilePath",
                        "pdoAlignCenter", "strPrinter: Variant ByRef Optional = \"Generic"}) {
    EXPECT_NE(r.out.find(m), std::string::npos) << m;
  }
}

TEST(HostTest, FailuresPrintNumberSourceAndDescriptionAndExitNonZero) {
  Result r = runHost("NoSuchMember");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "docmill: error 0x80020006 (docmill): Unknown name.\n");
  r = runHost("CreatePDFfromPS /nonexistent/out.pdf '/nonexistent/in put.ps'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "docmill: error 0x80004100 (docmill): File /nonexistent/in put.ps does not exist.\n");
}

TEST(HostTest, PropertiesAreReadAndSetForTheRun) {
  Result r = runHost("--set TempFilePath=/tmp --get tempfilepath");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "/tmp/\n");
  r = runHost("--set GhostScriptVersion=i2:3 GhostScriptVersion");
  EXPECT_EQ(r.out, "3\n");
}

}  // namespace
