// The binding and the argument vectors, against a stub interpreter library that records
// every call.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "conversion/routines.h"
#include "ghostscript/binding.h"
#include "ghostscript/conversions.h"
#include "platform/files.h"
#include "platform/scratch.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"
#include "tests/support/wait.h"

namespace docmill::gs {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

// Runs happen in children of the interpreter's helper: the stub keeps its script and record
// in a file that its copy in the test and its copies there share. Named before the stub is
// first loaded anywhere, removed when the program ends.
class SharedStubState : public ::testing::Environment {
 public:
  SharedStubState() {
    file_ = fs::temp_directory_path() / ("gs-stub-state-" + std::to_string(::getpid()));
    ::setenv("STUB_GS_STATE", file_.c_str(), 1);
  }
  void TearDown() override { fs::remove(file_); }

 private:
  fs::path file_;
};
const auto* const kSharedStubState = ::testing::AddGlobalTestEnvironment(new SharedStubState);

// The stub's control functions, found in the very library object the binding loaded.
struct Stub {
  void (*reset)();
  void (*script)(int, int, int);
  void (*setRevision)(long);
  void (*setOutput)(const char*, const char*, int);
  void (*writeOutput)(int);
  void (*misbehave)(int);
  const char* (*log)();

  static Stub open(const char* path) {
    void* h = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) throw std::runtime_error(::dlerror());
    Stub s;
    s.reset = reinterpret_cast<void (*)()>(::dlsym(h, "stub_reset"));
    s.script = reinterpret_cast<void (*)(int, int, int)>(::dlsym(h, "stub_script"));
    s.setRevision = reinterpret_cast<void (*)(long)>(::dlsym(h, "stub_set_revision"));
    s.setOutput =
        reinterpret_cast<void (*)(const char*, const char*, int)>(::dlsym(h, "stub_set_output"));
    s.writeOutput = reinterpret_cast<void (*)(int)>(::dlsym(h, "stub_write_output"));
    s.misbehave = reinterpret_cast<void (*)(int)>(::dlsym(h, "stub_misbehave"));
    s.log = reinterpret_cast<const char* (*)()>(::dlsym(h, "stub_log"));
    return s;
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Only the arguments init_with_args received, in order, with the private output file of
  // a conversion (a new one each run, in the host's scratch folder) written as "PRIVATE".
  std::vector<std::string> args() const {
    const std::string privateOutput = "-sOutputFile=" + platform::hostScratchFolder() + "/gs-out-";
    std::vector<std::string> out;
    for (const auto& line : calls()) {
      if (line.rfind("arg ", 0) != 0) continue;
      out.push_back(line.substr(4));
      if (out.back().starts_with(privateOutput) && out.back().ends_with(".pdf")) {
        out.back() = "-sOutputFile=PRIVATE";
      }
    }
    return out;
  }
};

const std::vector<std::string> kRunLines = {
    "revision len=32",
    "new_instance handle=0 in=null",
    "set_stdio instance=ok in=set out=set err=set",
};

std::vector<std::string> fixedArgs(const std::string& outputValue = "PRIVATE") {
  return {"ps2pdf",
          "-dNOPAUSE",
          "-dBATCH",
          "-dSAFER",
          "-r300",
          "-sDEVICE=pdfwrite",
          "-sOutputFile=" + outputValue,
          "-c",
          "/.setpdfwrite where { pop .setpdfwrite } if",
          "-f"};
}

Variant arrayOf(std::vector<Variant> items, int32_t lower = 0) {
  return Variant(SafeArray::of(std::move(items), lower));
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useLibrary(STUB_LIBRARY);
    stub = Stub::open(STUB_LIBRARY);
    stub.reset();
    folder = platform::TempFolder(platform::systemTempFolder(), "gs-binding-test-");
    dir = folder.path();
  }
  void TearDown() override {
    useLibrary("");
    ::unsetenv("DOCMILL_INTERPRETER_TIMEOUT");
    ::unsetenv("DOCMILL_INTERPRETER_MEMORY");
  }
  std::string path(const std::string& name) const { return (dir / name).string(); }

  Stub stub{};
  platform::TempFolder folder;
  fs::path dir;
};

TEST_F(BindingTest, SuccessfulRunCallsEachEntryPointOnceInOrder) {
  std::string tail = "stale";
  EXPECT_TRUE(convertFile(Variant("in file.ps"), Variant("out dir/out.pdf"), &tail));
  EXPECT_EQ(tail, "");

  std::vector<std::string> expected = kRunLines;
  expected.push_back("init_with_args instance=ok argc=11");
  expected.push_back("exit instance=ok");
  expected.push_back("delete_instance instance=ok");
  std::vector<std::string> calls;
  for (const auto& line : stub.calls()) {
    if (!line.starts_with("arg ")) calls.push_back(line);
  }
  EXPECT_THAT(calls, ElementsAreArray(expected));
  // Element 0 first; a path with spaces is one element, unquoted.
  auto args = fixedArgs();
  args.push_back("in file.ps");
  EXPECT_THAT(stub.args(), ElementsAreArray(args));
}

TEST_F(BindingTest, FailurePathsReleaseTheInstanceAndReportFalse) {
  // The run itself fails: exit and delete still follow.
  stub.script(0, 0, -100);
  EXPECT_FALSE(callGhostscript({"ps2pdf"}));
  EXPECT_THAT(stub.calls(), ElementsAre(kRunLines[0], kRunLines[1], kRunLines[2],
                                        "init_with_args instance=ok argc=1", "arg ps2pdf",
                                        "exit instance=ok", "delete_instance instance=ok"));

  // set_stdio fails: no run, no exit, but the instance is deleted.
  stub.reset();
  stub.script(0, -1, 0);
  EXPECT_FALSE(callGhostscript({"ps2pdf"}));
  EXPECT_THAT(stub.calls(),
              ElementsAre(kRunLines[0], kRunLines[1], kRunLines[2], "delete_instance instance=ok"));

  // No instance: nothing else is called.
  stub.reset();
  stub.script(-100, 0, 0);
  std::string tail;
  EXPECT_FALSE(callGhostscript({"ps2pdf"}, &tail));
  EXPECT_THAT(stub.calls(), ElementsAre(kRunLines[0], kRunLines[1]));
  EXPECT_THAT(tail, HasSubstr("could not start"));
}

TEST_F(BindingTest, ProgramThatQuitsItselfCountsAsSuccess) {
  stub.script(0, 0, -101);
  EXPECT_TRUE(callGhostscript({"ps2pdf"}));
  stub.script(0, 0, 1);
  EXPECT_TRUE(callGhostscript({"ps2pdf"}));
}

TEST_F(BindingTest, OutputOfAnyLengthIsTakenWholeAndOnlyErrorLinesAreKept) {
  std::string noise(1 << 20, 'x');
  std::string out = "GPL banner\n" + noise + "\nError: /undefined in foo\nOperand stack:\n" + noise;
  std::string err = noise + "\nGPL Ghostscript 10.00.0: Unrecoverable error, exit code 1\n";
  stub.script(0, 0, -100);
  for (int chunk : {0, 1, 3, 4096}) {
    stub.setOutput(out.c_str(), err.c_str(), chunk);
    std::string tail;
    EXPECT_FALSE(callGhostscript({"ps2pdf"}, &tail));
    EXPECT_EQ(tail, "Error: /undefined in foo; xxxxxxxxxx" + std::string(290, 'x') +
                        "...; GPL Ghostscript 10.00.0: Unrecoverable error, exit code 1")
        << "chunk " << chunk;
  }
  // No callback ever returned less than it was given, and stdin gave nothing.
  for (const auto& line : stub.calls()) {
    EXPECT_THAT(line, ::testing::Not(HasSubstr("took")));
    EXPECT_THAT(line, ::testing::Not(HasSubstr("stdin gave")));
  }
}

TEST_F(BindingTest, SilentFailureStillExplainsItself) {
  stub.script(0, 0, -100);
  std::string tail;
  EXPECT_FALSE(callGhostscript({"ps2pdf"}, &tail));
  EXPECT_EQ(tail, "the interpreter stopped with code -100");
}

TEST_F(BindingTest, TextReachesTheInterpreterAsUtf8Bytes) {
  EXPECT_TRUE(callGhostscript({"ps2pdf", "Grüße – 東京.ps"}));
  EXPECT_THAT(stub.args(), ElementsAre("ps2pdf", "Grüße – 東京.ps"));
}

TEST_F(BindingTest, MajorVersionFromRevision) {
  for (auto [revision, major] : std::vector<std::pair<long, int>>{
           {704, 7}, {815, 8}, {950, 9}, {9530, 9}, {10000, 10}, {10010, 10}, {0, 0}}) {
    stub.setRevision(revision);
    EXPECT_EQ(ghostscriptMajorVersion(), major) << revision;
  }
}

TEST_F(BindingTest, MissingLibraryAndEntryPointRaise) {
  useLibrary("/nonexistent/libgs-missing.so");
  EXPECT_EQ(ghostscriptMajorVersion(), 0);
  try {
    callGhostscript({"ps2pdf"});
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 53);
    EXPECT_EQ(e.error().description, "File not found: /nonexistent/libgs-missing.so");
  }
  EXPECT_EQ(Library::at("/nonexistent/libgs-missing.so").folder(), "");

  // A library without gsapi_exit fails before any instance exists.
  useLibrary(STUB_LIBRARY_NOEXIT);
  Stub noexit = Stub::open(STUB_LIBRARY_NOEXIT);
  noexit.reset();
  try {
    callGhostscript({"ps2pdf"});
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 453);
    EXPECT_EQ(e.error().description,
              std::string("Can't find DLL entry point gsapi_exit in ") + STUB_LIBRARY_NOEXIT);
  }
  EXPECT_THAT(noexit.calls(), ElementsAre("revision len=32"));
  // The version needs only gsapi_revision.
  EXPECT_EQ(ghostscriptMajorVersion(), 10);
}

TEST_F(BindingTest, LibraryFolderIsWhereTheLoaderFoundIt) {
  EXPECT_EQ(Library::current().folder(), fs::path(STUB_LIBRARY).parent_path().string());
}

TEST_F(BindingTest, ArrayOfInputsFollowsTheFixedArgumentsInOrder) {
  EXPECT_TRUE(convertFiles(arrayOf({"a.ps", "b.ps", "c d.ps"}), "out.pdf"));
  auto expected = fixedArgs();
  expected.insert(expected.end(), {"a.ps", "b.ps", "c d.ps"});
  EXPECT_THAT(stub.args(), ElementsAreArray(expected));

  // One element gives exactly the single-file vector.
  stub.reset();
  convertFiles(arrayOf({"a.ps"}), "out.pdf");
  auto many = stub.args();
  stub.reset();
  convertFile(Variant("a.ps"), Variant("out.pdf"));
  EXPECT_EQ(many, stub.args());

  // No elements: the ten fixed arguments only.
  stub.reset();
  convertFiles(Variant(SafeArray(vt::Variant, {ArrayBound{0, 0}})), "out.pdf");
  EXPECT_THAT(stub.args(), ElementsAreArray(fixedArgs()));

  // A by-reference argument holding the array.
  stub.reset();
  Variant held = arrayOf({"x.ps"});
  convertFiles(Variant::byRef(held), "out.pdf");
  EXPECT_EQ(stub.args().back(), "x.ps");
}

int32_t runtimeErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e.error().number;
  }
  return 0;
}

TEST_F(BindingTest, UnusableArraysRaiseBeforeTheInterpreterRuns) {
  EXPECT_EQ(runtimeErrorOf([] { convertFiles(Variant("a.ps"), "out.pdf"); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeErrorOf([] {
              convertFiles(arrayOf({"a.ps", "b.ps"}, 1), "out.pdf");
            }),
            rt::SubscriptOutOfRange);
  EXPECT_EQ(runtimeErrorOf([] {
              convertFiles(arrayOf({"a.ps", Variant::null()}), "out.pdf");
            }),
            rt::TypeMismatch);
  EXPECT_EQ(runtimeErrorOf([] { convertFile(Variant::null(), Variant("out.pdf")); }),
            rt::TypeMismatch);
  EXPECT_EQ(stub.calls(), std::vector<std::string>{});
}

TEST_F(BindingTest, SixteenBitCountersLimitTheInputCount) {
  // Upper bound 32756 (32757 inputs) is the largest that converts.
  std::vector<Variant> items(32757, Variant("p.ps"));
  EXPECT_TRUE(convertFiles(arrayOf(items), "out.pdf"));
  EXPECT_EQ(stub.args().size(), 32767u);

  stub.reset();
  items.push_back(Variant("p.ps"));
  EXPECT_EQ(runtimeErrorOf([&] { convertFiles(arrayOf(items), "out.pdf"); }), rt::Overflow);
  EXPECT_EQ(stub.calls(), std::vector<std::string>{});

  // An upper bound beyond 16 bits overflows before any element is read.
  SafeArray huge(vt::Variant, {ArrayBound{0, 40000}});
  EXPECT_EQ(runtimeErrorOf([&] { convertFiles(Variant(huge), "out.pdf"); }), rt::Overflow);
}

TEST_F(BindingTest, PathsTheInterpreterWouldInterpretArePassedAsLiteralNames) {
  convertFile(Variant("@args"), Variant("out%d.pdf"));
  EXPECT_EQ(stub.args()[10], "./@args");

  stub.reset();
  convertFiles(arrayOf({"-dNOSAFER", "-", "/abs/-x.ps", "dir/a%b.ps"}), "-sOutputFile=x");
  auto args = stub.args();
  EXPECT_THAT(std::vector<std::string>(args.begin() + 10, args.end()),
              ElementsAre("./-dNOSAFER", "./-", "/abs/-x.ps", "dir/a%b.ps"));
}

// The run writes a private file, never the caller's output; the finished PDF is put at
// exactly the name the caller gave, whatever the interpreter would make of that name.
TEST_F(BindingTest, TheRunWritesAPrivateFileThatIsPutInPlaceWhole) {
  for (const std::string name : {"out%d.pdf", "|cat", "-sOutputFile=x", "%pipe%touch x"}) {
    SCOPED_TRACE(name);
    stub.reset();
    stub.writeOutput(2);
    EXPECT_TRUE(convertFile(Variant("in.ps"), Variant(path(name))));
    EXPECT_EQ(stub.args()[6], "-sOutputFile=PRIVATE");
    EXPECT_THAT(test::readFile(path(name)), StartsWith("%PDF-1.7"));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 4);

  // A pipe that nobody reads cannot take the PDF: the call fails at once, and the pipe
  // (the caller's) stays.
  const std::string pipe = path("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::string tail;
  EXPECT_FALSE(convertFile(Variant("in.ps"), Variant(pipe), &tail));
  EXPECT_THAT(tail, StartsWith("the PDF cannot be put in place: "));
  EXPECT_TRUE(fs::is_fifo(pipe));
  // A link at the output's name is neither followed nor replaced.
  const std::string target = path("target.pdf");
  fs::create_symlink(target, path("link.pdf"));
  EXPECT_FALSE(convertFile(Variant("in.ps"), Variant(path("link.pdf")), &tail));
  EXPECT_EQ(tail, "the PDF will not be written through the link " + path("link.pdf"));
  EXPECT_TRUE(fs::is_symlink(path("link.pdf")));
  EXPECT_FALSE(fs::exists(target));
  // No private file stays behind, whatever happened.
  for (const auto& e : fs::directory_iterator(platform::hostScratchFolder())) {
    EXPECT_THAT(e.path().filename().string(), ::testing::Not(StartsWith("gs-out-")));
  }
}

TEST_F(BindingTest, InputsTheInterpreterWouldRefuseAreReadThroughAPrivateLink) {
  convertFiles(arrayOf({"%pipe%touch x", path("|y.ps"), "plain.ps"}), "out.pdf");
  auto args = stub.args();
  ASSERT_EQ(args.size(), 13u);
  const std::string privateFolder = platform::hostScratchFolder() + "/gs-links-";
  EXPECT_THAT(args[10], StartsWith(privateFolder));
  EXPECT_THAT(args[11], StartsWith(privateFolder));
  EXPECT_EQ(args[12], "plain.ps");
  // The links and their folder are gone after the run.
  EXPECT_FALSE(fs::exists(fs::symlink_status(args[10])));
  EXPECT_FALSE(fs::exists(fs::path(args[10]).parent_path()));
}

TEST_F(BindingTest, FailedConversionRaisesAndRemovesOnlyItsOwnOutput) {
  stub.script(0, 0, -100);
  stub.setOutput("Error: /undefined in foo\n", "", 0);
  stub.writeOutput(1);
  const std::string out = path("out%d.pdf");
  try {
    convertFileOrRaise(Variant("in.ps"), Variant(out));
    FAIL() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, pdoErrConversionFailed);
    EXPECT_EQ(e.error().source, "docmill");
    EXPECT_EQ(e.error().description, "Conversion to " + out + " failed: Error: /undefined in foo");
  }
  EXPECT_FALSE(fs::exists(out));

  // A file that was there before the run is not this run's to remove.
  std::ofstream(out) << "keep";
  EXPECT_EQ(runtimeErrorOf([&] { convertFilesOrRaise(arrayOf({"in.ps"}), out); }),
            pdoErrConversionFailed);
  EXPECT_TRUE(fs::exists(out));

  // A successful run keeps its output.
  fs::remove(out);
  stub.script(0, 0, 0);
  stub.writeOutput(2);
  convertFileOrRaise(Variant("in.ps"), Variant(out));
  EXPECT_TRUE(fs::exists(out));
}

// What a hostile document can make the interpreter do ends with its run: the call fails
// with the reason, and the next run works.
TEST_F(BindingTest, CrashingEndlessOrGreedyInterpreterFailsOnlyItsOwnRun) {
  ::setenv("DOCMILL_INTERPRETER_MEMORY", "64", 1);
  // Only the endless one has a time limit short enough to end it.
  const std::tuple<int, const char*, std::string> cases[] = {
      {1, "60", "the interpreter ended unexpectedly ("},
      {2, "1", "the interpreter did not finish within its time limit of 1 seconds"},
      {3, "60", "the interpreter went over its memory limit of 64 MiB"}};
  for (const auto& [how, seconds, reason] : cases) {
    ::setenv("DOCMILL_INTERPRETER_TIMEOUT", seconds, 1);
    stub.reset();
    stub.misbehave(how);
    std::string tail;
    EXPECT_FALSE(callGhostscript({"ps2pdf"}, &tail)) << how;
    EXPECT_THAT(tail, StartsWith(reason));
    stub.reset();
    EXPECT_TRUE(callGhostscript({"ps2pdf"})) << how;
  }
}

// The helper process: the child of this process that runs docmill-interpreter (0 if none).
pid_t helperProcess() {
  for (const auto& child : test::childrenOfThisProcess()) {
    if (child.name == "docmill-interpr" && child.state != 'Z') return child.pid;
  }
  return 0;
}

// The run in progress: the child of helper `helper` (0 if none).
pid_t runOf(pid_t helper) {
  for (const auto& p : test::listProcesses()) {
    if (p.parent == helper && p.state != 'Z') return p.pid;
  }
  return 0;
}

TEST_F(BindingTest, HelperThatDiesIsReplaced) {
  EXPECT_TRUE(callGhostscript({"ps2pdf"}));
  const pid_t first = helperProcess();
  ASSERT_GT(first, 0);
  ::kill(first, SIGKILL);
  EXPECT_TRUE(callGhostscript({"ps2pdf"}));
  const pid_t second = helperProcess();
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);

  // Dying in the middle of a run fails that run only.
  stub.misbehave(2);
  std::thread killer([&] {
    // Once the run is under way: its child, the helper's, spins in the interpreter.
    test::waitFor([&] { return runOf(second) > 0; });
    ::kill(second, SIGKILL);
  });
  std::string tail;
  EXPECT_FALSE(callGhostscript({"ps2pdf"}, &tail));
  killer.join();
  EXPECT_EQ(tail, "the interpreter's helper process ended unexpectedly");
  stub.reset();
  EXPECT_TRUE(callGhostscript({"ps2pdf"}));
}

}  // namespace
}  // namespace docmill::gs
