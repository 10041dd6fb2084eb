// Hostile documents through the real interpreter: a run reaches only its own files, ends
// within its limits, and takes neither the host nor the other conversions down with it.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "automation/call_context.h"
#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "platform/confinement.h"
#include "platform/process.h"
#include "platform/scratch.h"
#include "tests/ghostscript/tools.h"
#include "tests/hostile/postscript.h"
#include "tests/support/prerequisites.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/wait.h"

namespace docmill::gs {
namespace {

using fixtures::writeTextPs;
using test::pdfPageCount;
using test::pdfText;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

// Files of somebody else: another conversion's document in the shared temporary folder
// and one in this host's own scratch folder, each with a secret, and names to create.
struct Victims {
  platform::TempFolder shared{platform::systemTempFolder(), "docmill-victim-"};
  platform::TempFolder own{platform::hostScratchFolder(), "victim-"};
  std::string sharedSecret = shared.path() + "/other-conversion.ps";
  std::string ownSecret = own.path() + "/other-print.ps";
  std::string doomed = shared.path() + "/doomed.ps";
  std::string planted = shared.path() + "/planted.ps";
  std::string pipeMark = shared.path() + "/piped";
  std::string redirected = shared.path() + "/redirected.pdf";

  Victims() {
    std::ofstream(sharedSecret) << "SECRET-SHARED-7731\n";
    std::ofstream(ownSecret) << "SECRET-OWN-5190\n";
    std::ofstream(doomed) << "still here\n";
  }

  std::string document() const {
    using namespace hostile;
    return escapeDocument({readsFile(sharedSecret), readsFile(ownSecret), readsFile("/etc/passwd"),
                           readsFile("/proc/self/environ"), listsFiles(shared.path() + "/*"),
                           listsFiles(own.path() + "/*"), listsFiles("/tmp/*"), writesFile(planted),
                           writesFile(own.path() + "/planted.ps"), deletesFile(doomed),
                           renamesFile(doomed, planted), runsCommand("touch " + pipeMark)});
  }

  // Sending the pages elsewhere is refused; the interpreter may end the run over it.
  std::string redirectDocument() const {
    return hostile::escapeDocument({hostile::redirectsOutput(redirected)});
  }

  // Every attempt of the converted escape document (`text`) came back refused, or, for a
  // listing, found nothing; and nothing outside changed.
  void expectNothingLeaked(const std::string& text) const {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line != "\f") lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "end of attempts");
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
      const bool listing = lines[i].rfind("list ", 0) == 0;
      const std::string& got = lines[i + 1];
      EXPECT_TRUE(got == "BLOCKED" || (listing && got == "listed")) << lines[i] << " gave " << got;
    }
    for (const char* leak : {"SECRET-", "root:", "DOCMILL_LEAK_MARK"}) {
      EXPECT_THAT(text, Not(HasSubstr(leak)));
    }
    EXPECT_TRUE(fs::exists(doomed));
    EXPECT_FALSE(fs::exists(planted));
    EXPECT_FALSE(fs::exists(own.path() + "/planted.ps"));
    EXPECT_FALSE(fs::exists(pipeMark));
  }
};

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("DOCMILL_LEAK_MARK", "DOCMILL_LEAK_MARK", 1);
    dir = platform::TempFolder(platform::systemTempFolder(), "gs-sandbox-test-");
  }
  void TearDown() override {
    ::unsetenv("DOCMILL_INTERPRETER_TIMEOUT");
    ::unsetenv("DOCMILL_INTERPRETER_MEMORY");
    ::unsetenv("DOCMILL_INTERPRETER_DISK");
    // Every run's private folder and output went with its run.
    for (const auto& e : fs::directory_iterator(platform::hostScratchFolder())) {
      EXPECT_THAT(e.path().filename().string(), Not(HasSubstr("gs-run-")));
      EXPECT_THAT(e.path().filename().string(), Not(HasSubstr("gs-out-")));
    }
  }
  std::string path(const std::string& name) const { return dir.path() + "/" + name; }

  // CreatePDFfromPS as the component calls it; the error it raised (number 0 when none).
  Error createPdf(const std::string& pdf, const std::string& ps) {
    Variant out(pdf), in(ps);
    std::vector<Variant*> args = {&out, &in};
    try {
      createPDFfromPS(args);
    } catch (const AutomationError& e) {
      return e.error();
    }
    return {};
  }

  platform::TempFolder dir;
};

TEST_F(SandboxTest, HostileDocumentReachesNothingOutsideItsOwnRun) {
  Victims victims;
  std::ofstream(path("escape.ps")) << victims.document();
  ASSERT_EQ(createPdf(path("escape.pdf"), path("escape.ps")).number, 0);
  const std::string text = pdfText(path("escape.pdf"));
  EXPECT_THAT(text, HasSubstr("BLOCKED"));
  victims.expectNothingLeaked(text);

  std::ofstream(path("redirect.ps")) << victims.redirectDocument();
  const Error redirect = createPdf(path("redirect.pdf"), path("redirect.ps"));
  EXPECT_FALSE(fs::exists(victims.redirected));
  if (redirect.number == 0) {
    EXPECT_THAT(pdfText(path("redirect.pdf")), HasSubstr("after the redirect"));
  } else {
    EXPECT_EQ(redirect.number, pdoErrConversionFailed);
    EXPECT_FALSE(fs::exists(path("redirect.pdf")));
  }
}

// A link planted at an output's name after the old output was removed (so between the
// component's clean-up and the run) is neither followed nor replaced: the run ends and
// the file it points to, or would create, is untouched.
TEST_F(SandboxTest, OutputPlantedAsALinkIsNeverWrittenThrough) {
  Victims victims;
  const std::string in = path("good.ps");
  writeTextPs(in, 1, "Good");
  const std::string created = victims.shared.path() + "/created.pdf";
  fs::create_symlink(victims.sharedSecret, path("linked.pdf"));
  fs::create_symlink(created, path("dangling.pdf"));
  for (const std::string& out : {path("linked.pdf"), path("dangling.pdf")}) {
    std::string tail;
    EXPECT_FALSE(callGhostscript({"ps2pdf", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                                  "-sOutputFile=" + out, in},
                                 &tail, RunFiles{{in}, {out}}))
        << out;
    EXPECT_THAT(tail, HasSubstr("will not write through the link " + out));
    EXPECT_TRUE(fs::is_symlink(out));
  }
  std::ifstream secret(victims.sharedSecret);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "SECRET-SHARED-7731\n");
  EXPECT_FALSE(fs::exists(created));
}

// The interpreter's own safe mode is one guard; the run's process is shut in as well, so a
// document that got past the safe mode would still find nothing.
TEST_F(SandboxTest, WithoutTheSafeModeTheRunStillReachesOnlyItsOwnFiles) {
  const bool enforced = platform::ChildProcess::run([] {
                          return platform::restrictFileAccess(platform::FileAccess{}) ? 0 : 1;
                        })
                            .wait()
                            .code == 0;
  DOCMILL_REQUIRE(enforced, "the kernel cannot restrict file access");
  Victims victims;
  const std::string in = path("escape.ps"), out = path("escape.pdf");
  std::ofstream(in) << victims.document();
  std::string tail;
  ASSERT_TRUE(callGhostscript({"ps2pdf", "-dNOPAUSE", "-dBATCH", "-dNOSAFER", "-sDEVICE=pdfwrite",
                               "-sOutputFile=" + out, in},
                              &tail, RunFiles{{in}, {out}}))
      << tail;
  victims.expectNothingLeaked(pdfText(out));
}

TEST_F(SandboxTest, EndlessAndGreedyDocumentsStopAtTheirLimitsWhileOthersConvert) {
  ::setenv("DOCMILL_INTERPRETER_TIMEOUT", "3", 1);
  ::setenv("DOCMILL_INTERPRETER_MEMORY", "300", 1);
  std::ofstream(path("loop.ps")) << hostile::loopsForever();
  std::ofstream(path("greedy.ps")) << hostile::allocatesWithoutEnd();
  writeTextPs(path("good.ps"), 3, "Good");

  // Good conversions go on in another thread the whole time.
  std::atomic<bool> hostileDone{false};
  std::atomic<int> good{0}, bad{0};
  std::thread other([&] {
    for (int i = 0; !hostileDone || i < 2; ++i) {
      const std::string out = path("good" + std::to_string(i) + ".pdf");
      if (createPdf(out, path("good.ps")).number == 0 && pdfPageCount(out) == 3) {
        ++good;
      } else {
        ++bad;
      }
    }
  });

  Error endless = createPdf(path("loop.pdf"), path("loop.ps"));
  EXPECT_EQ(endless.number, pdoErrConversionFailed);
  EXPECT_EQ(endless.description, "Conversion to " + path("loop.pdf") +
                                     " failed: the interpreter did not finish within its time "
                                     "limit of 3 seconds (DOCMILL_INTERPRETER_TIMEOUT)");

  // Time enough that only the memory limit can end this one.
  ::setenv("DOCMILL_INTERPRETER_TIMEOUT", "60", 1);
  Error greedy = createPdf(path("greedy.pdf"), path("greedy.ps"));
  EXPECT_EQ(greedy.number, pdoErrConversionFailed);
  EXPECT_THAT(greedy.description,
              HasSubstr("Conversion to " + path("greedy.pdf") +
                        " failed: the interpreter went over its memory limit of 300 MiB"));
  hostileDone = true;
  other.join();
  EXPECT_GE(good.load(), 2);
  EXPECT_EQ(bad.load(), 0);
  // No partial output of either.
  EXPECT_FALSE(fs::exists(path("loop.pdf")));
  EXPECT_FALSE(fs::exists(path("greedy.pdf")));
}

// PostScript that writes a temporary file of `mib` MiB (without end for 0) through the
// interpreter's own call for one (in the run's private folder).
std::string writesATemporaryFile(int mib) {
  return "(fill) (w) .tempfile exch pop /f exch def\n/chunk 65536 string def\n"
         "0 1 65535 { chunk exch 65 put } for\n" +
         (mib ? "1 1 " + std::to_string(mib * 16) + " { pop f chunk writestring } for\n"
              : std::string("{ f chunk writestring } loop\n"));
}

TEST_F(SandboxTest, ARunThatWritesPastItsDiskLimitIsStopped) {
  writeTextPs(path("x.ps"), 1, "Limited");
  ::setenv("DOCMILL_INTERPRETER_DISK", "4x", 1);
  EXPECT_EQ(createPdf(path("x.pdf"), path("x.ps")).number, rt::InvalidProcedureCall);

  ::setenv("DOCMILL_INTERPRETER_DISK", "8", 1);
  ::setenv("DOCMILL_INTERPRETER_TIMEOUT", "60", 1);  // a backstop only
  const std::string limit =
      " failed: the interpreter wrote more than its disk limit of 8 MiB (DOCMILL_INTERPRETER_DISK)";
  // One file without end.
  std::ofstream(path("fill.ps")) << "%!PS\n" << writesATemporaryFile(0);
  EXPECT_EQ(createPdf(path("fill.pdf"), path("fill.ps")).description,
            "Conversion to " + path("fill.pdf") + limit);
  EXPECT_FALSE(fs::exists(path("fill.pdf")));

  // Three files, none of them near the limit alone, and a run that would go on.
  std::ofstream(path("many.ps")) << "%!PS\n"
                                 << writesATemporaryFile(3) << writesATemporaryFile(3)
                                 << writesATemporaryFile(3) << "{} loop\n";
  EXPECT_EQ(createPdf(path("many.pdf"), path("many.ps")).description,
            "Conversion to " + path("many.pdf") + limit);
  EXPECT_FALSE(fs::exists(path("many.pdf")));
}

// The run's process: the interpreter helper's child (0 while there is none).
pid_t runningInterpreter() {
  pid_t helper = 0;
  for (const auto& child : test::childrenOfThisProcess()) {
    if (child.name == "docmill-interpr" && child.state != 'Z') helper = child.pid;
  }
  for (const auto& p : test::listProcesses()) {
    if (helper && p.parent == helper && p.state != 'Z') return p.pid;
  }
  return 0;
}

// A caller that goes away ends its run at once; the call fails as cancelled, and neither
// the output nor anything private stays. Until then, the output does not exist at all.
TEST_F(SandboxTest, ACancelledCallEndsItsRun) {
  ::setenv("DOCMILL_INTERPRETER_TIMEOUT", "120", 1);  // a backstop only
  std::ofstream(path("loop.ps")) << "%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 "
                                    "moveto (First) show showpage\n{} loop\n";
  auto context = std::make_shared<CallContext>();
  Error error;
  std::thread call([&] {
    CallContext::Scope scope(context);
    error = createPdf(path("loop.pdf"), path("loop.ps"));
  });
  ASSERT_TRUE(test::waitFor([] { return runningInterpreter() > 0; }));
  const pid_t run = runningInterpreter();
  EXPECT_FALSE(fs::exists(path("loop.pdf")));
  context->cancel();
  call.join();
  EXPECT_EQ(error.number, hr::E_ABORT);
  EXPECT_EQ(error.description, cancelledError().description);
  EXPECT_TRUE(test::waitFor([&] { return ::kill(run, 0) != 0; }));
  EXPECT_FALSE(fs::exists(path("loop.pdf")));
}

}  // namespace
}  // namespace docmill::gs
