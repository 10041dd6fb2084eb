// The public conversions against the stub library: what they test, delete and raise.
#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "conversion/routines.h"
#include "ghostscript/binding.h"
#include "ghostscript/conversions.h"
#include "platform/scratch.h"

namespace docmill::gs {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

struct StubControl {
  void (*reset)() = nullptr;
  void (*script)(int, int, int) = nullptr;
  const char* (*log)() = nullptr;
  void (*writeOutput)(int) = nullptr;
};

class MethodsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useLibrary(STUB_LIBRARY);
    void* h = ::dlopen(STUB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr);
    stub.reset = reinterpret_cast<void (*)()>(::dlsym(h, "stub_reset"));
    stub.script = reinterpret_cast<void (*)(int, int, int)>(::dlsym(h, "stub_script"));
    stub.log = reinterpret_cast<const char* (*)()>(::dlsym(h, "stub_log"));
    stub.writeOutput = reinterpret_cast<void (*)(int)>(::dlsym(h, "stub_write_output"));
    stub.reset();
    folder = platform::TempFolder(platform::systemTempFolder(), "gs-methods-test-");
    dir = folder.path();
    input = (dir / "in.ps").string();
    output = (dir / "out.pdf").string();
    std::ofstream(input) << "%!PS\n";
  }
  void TearDown() override { useLibrary(""); }
  std::string log() const { return stub.log(); }

  // Calls a method with two by-reference arguments, as the member table binds them;
  // returns the error it raised (number 0 when none).
  Error call(void (*method)(std::span<Variant* const>), Variant first, Variant second) {
    std::vector<Variant*> args = {&first, &second};
    try {
      method(args);
    } catch (const AutomationError& e) {
      return e.error();
    }
    return {};
  }

  StubControl stub;
  platform::TempFolder folder;
  fs::path dir;
  std::string input, output;
};

TEST_F(MethodsTest, MissingInputRaisesBeforeAnythingIsTouched) {
  std::ofstream(output) << "old";
  const std::string missing = dir / "no such.ps";
  Error e = call(createPDFfromPS, Variant(output), Variant(missing));
  EXPECT_EQ(e.number, pdoErrFileNotFound);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "File " + missing + " does not exist.");
  EXPECT_TRUE(fs::exists(output));
  EXPECT_EQ(log(), "");
}

TEST_F(MethodsTest, ExistingOutputIsDeletedBeforeTheRun) {
  std::ofstream(output) << "old";
  EXPECT_EQ(call(createPDFfromPS, Variant(output), Variant(input)).number, 0);
  EXPECT_THAT(log(), HasSubstr("arg " + input));
  EXPECT_THAT(log(), Not(HasSubstr("output present")));
  EXPECT_FALSE(fs::exists(output));  // the stub writes nothing

  std::ofstream(output) << "old";
  Variant inputs = Variant(SafeArray::of({Variant(input), Variant(dir / "missing.ps")}));
  EXPECT_EQ(call(createPDFfromMultiPS, Variant(output), inputs).number, 0);
  EXPECT_THAT(log(), Not(HasSubstr("output present")));
  EXPECT_THAT(log(), HasSubstr("argc=12"));
}

TEST_F(MethodsTest, FailedRunIsRaisedWithTheComponentAsSource) {
  stub.script(0, 0, -100);
  for (auto method : {createPDFfromPS, createPDFfromMultiPS, createPDFfromMultiPDF}) {
    Variant in = method == createPDFfromPS ? Variant(input) : Variant(SafeArray::of({input}));
    Error e = call(method, Variant(output), in);
    EXPECT_EQ(e.number, pdoErrConversionFailed);
    EXPECT_EQ(e.source, "docmill");
    EXPECT_EQ(e.description,
              "Conversion to " + output + " failed: the interpreter stopped with code -100");
  }
}

TEST_F(MethodsTest, AnOutputThatCannotBeCheckedForActiveContentIsRemovedAndReported) {
  // The run succeeds but leaves a file no PDF reader could check.
  stub.writeOutput(1);
  for (auto method : {createPDFfromPS, createPDFfromMultiPS, createPDFfromMultiPDF}) {
    Variant in = method == createPDFfromPS ? Variant(input) : Variant(SafeArray::of({input}));
    Error e = call(method, Variant(output), in);
    EXPECT_EQ(e.number, pdoErrConversionFailed);
    EXPECT_THAT(e.description, HasSubstr("Conversion to " + output +
                                         " failed: the PDF cannot be checked for active content"));
    EXPECT_FALSE(fs::exists(output));
  }
  // A finished PDF that a pipe nobody reads cannot take is a failure too; the pipe is the
  // caller's and stays (and nothing waits for a reader that never comes).
  stub.writeOutput(2);
  const std::string pipe = (dir / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  try {
    convertFileOrRaise(Variant(input), Variant(pipe));
    ADD_FAILURE() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, pdoErrConversionFailed);
  }
  EXPECT_TRUE(fs::exists(pipe));
}

TEST_F(MethodsTest, ArgumentErrorsAreRaisedAfterTheOldOutputIsGone) {
  std::ofstream(output) << "old";
  Error e = call(createPDFfromMultiPDF, Variant(output), Variant(input));
  EXPECT_EQ(e.number, rt::TypeMismatch);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_FALSE(fs::exists(output));

  // A missing library is met only after the deletion, too.
  std::ofstream(output) << "old";
  useLibrary("/nonexistent/libgs-missing.so");
  e = call(createPDFfromPS, Variant(output), Variant(input));
  EXPECT_EQ(e.number, rt::FileNotFound);
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "File not found: /nonexistent/libgs-missing.so");
  EXPECT_FALSE(fs::exists(output));
}

}  // namespace
}  // namespace docmill::gs
