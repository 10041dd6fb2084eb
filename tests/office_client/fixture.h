// Shared set-up of the converter tests: a scratch folder, recording servers under the four
// ProgIDs, a registry folder of its own (so no server installed on the machine answers),
// and hooks that log pauses, message pumps and conversions instead of sleeping or running
// the interpreter.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "office_client/converters.h"
#include "office_client/hooks.h"
#include "platform/scratch.h"
#include "tests/office_client/recorder.h"
#include "tests/support/files.h"
#include "tests/support/member_args.h"

namespace docmill::test {

namespace fs = std::filesystem;

// The member a converter test calls: "CreatePDFfrom" & kind for a PDF output, else
// "CreatePSfrom" & kind.
inline std::string memberFor(const char* kind, const std::string& output) {
  const bool pdf = output.size() >= 4 && output.compare(output.size() - 4, 4, ".pdf") == 0;
  return std::string(pdf ? "CreatePDFfrom" : "CreatePSfrom") + kind;
}

class OfficeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = platform::TempFolder(platform::systemTempFolder(), "docmill-convtest-");
    dir_ = folder_.path();
    fs::create_directory(dir_ + "/registry");
    fs::create_directory(dir_ + "/tmp");
    setenv("DOCMILL_REGISTRY", (dir_ + "/registry").c_str(), 1);
    rec_ = std::make_shared<Recorder>(dir_ + "/tmp/");
    for (const char* id : {"Word.Application", "Excel.Application", "Powerpoint.Application",
                           "Publisher.Application"}) {
      rec_->serve(id);
    }
    rec_->values["ActivePrinter"] = Variant("Saved Printer");
    rec_->labels = {{"Open", "doc"}, {"Worksheets", "sheet"}, {"ActiveDocument", "pub"}};
    self_ = rec_->object("self");
    obj_ = std::make_unique<FakeObject>(dir_ + "/tmp/", self_);

    installHooks(/*fakeConversion=*/true);
  }

  // Pauses, pumps and (when `fakeConversion`) conversions are logged instead of run.
  void installHooks(bool fakeConversion) {
    hooks_.reset();
    office_client::Hooks h;
    h.pause = [this](std::chrono::milliseconds d) {
      now_ += d;
      rec_->note("pause " + std::to_string(d.count()));
      if (onPause) onPause(++pauses_);
    };
    h.pumpMessages = [this] {
      rec_->note("pump");
      if (onPump) onPump(++pumps_);
    };
    h.now = [this] { return now_; };
    if (fakeConversion) {
      h.convertFile = [this](const Variant& in, const Variant& out) {
        rec_->note("convert " + in.toString() + " -> " + out.toString());
        if (conversionError.number) throw AutomationError(conversionError);
        std::ofstream(out.toString()) << "%PDF-1.4 converted";
      };
    }
    hooks_ = std::make_unique<office_client::ScopedHooks>(std::move(h));
  }

  void TearDown() override {
    hooks_.reset();
    rec_.reset();
    unsetenv("DOCMILL_REGISTRY");
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes a file into the scratch folder and returns its path.
  std::string file(const std::string& name, const std::string& content = "content") {
    std::ofstream(path(name)) << content;
    return path(name);
  }
  static std::string read(const std::string& p) { return test::readFile(p); }
  // The log with the scratch folder written as "$".
  std::vector<std::string> log(const std::string& from = "") const {
    std::vector<std::string> lines = from.empty() ? rec_->log() : rec_->logFrom(from);
    for (auto& l : lines) {
      for (size_t at; (at = l.find(dir_)) != std::string::npos;) l.replace(at, dir_.size(), "$");
    }
    return lines;
  }
  // Files left in the temporary folder.
  size_t tempFiles() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_ + "/tmp"), {}));
  }
  // Runs `method` and returns the error it raised (number 0 when it raised none).
  Error failure(void (*method)(ObjectServices&, const MemberArguments&), Args& args) {
    try {
      method(*obj_, args.bound());
    } catch (const AutomationError& e) {
      return e.error();
    }
    return Error{};
  }

  platform::TempFolder folder_;
  std::string dir_;
  std::shared_ptr<Recorder> rec_;
  DispatchPtr self_;
  std::unique_ptr<FakeObject> obj_;
  std::unique_ptr<office_client::ScopedHooks> hooks_;
  office_client::Clock::time_point now_{};
  int pauses_ = 0;
  int pumps_ = 0;
  // What the logged conversion raises (nothing while the number is 0).
  Error conversionError;
  std::function<void(int)> onPause;
  std::function<void(int)> onPump;
};

}  // namespace docmill::test
