// Default-printer switching against the CUPS server of this machine (scripts/start-cups.sh
// starts one). The test adds its own queues, and on every path removes them and puts the
// saved default settings file back. It skips when no server answers.
#include <cups/cups.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "printer/destinations.h"
#include "printer/set_def_printer.h"
#include "tests/support/prerequisites.h"
#include "tests/support/programs.h"

namespace docmill::printer {
namespace {

namespace fs = std::filesystem;

std::string output(const std::string& command) {
  return test::runShell(command + " 2>&1").text;
}

bool run(const std::string& command) {
  return test::runShell(command + " >/dev/null 2>&1").status == 0;
}

bool serverAnswers() {
  return output("lpstat -r").find("is running") != std::string::npos;
}

// The default as every CUPS client sees it, the user's lpoptions included (cupsGetDefault
// asks the server only and would miss it).
std::string currentDefault() {
  cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
  const std::string name = dest ? dest->name : "";
  cupsFreeDests(dest ? 1 : 0, dest);
  return name;
}

// A file that the test may change, put back as it was (or removed, with the folder it
// needed) when the snapshot goes.
class FileSnapshot {
 public:
  explicit FileSnapshot(fs::path path) : path_(std::move(path)) {
    std::error_code ignored;
    folderExisted_ = fs::exists(path_.parent_path(), ignored);
    if (std::ifstream in{path_}) {
      std::ostringstream text;
      text << in.rdbuf();
      saved_ = text.str();
    }
  }
  FileSnapshot(const FileSnapshot&) = delete;
  FileSnapshot& operator=(const FileSnapshot&) = delete;
  ~FileSnapshot() {
    std::error_code ignored;
    if (saved_) {
      std::ofstream(path_, std::ios::trunc) << *saved_;
      return;
    }
    fs::remove(path_, ignored);
    if (!folderExisted_) fs::remove(path_.parent_path(), ignored);  // only when empty
  }

 private:
  fs::path path_;
  bool folderExisted_ = false;
  std::optional<std::string> saved_;
};

// The files `lpoptions -d` may write the default into: the user's own and, for root on
// some CUPS versions, the server-wide one.
std::vector<fs::path> lpoptionsFiles() {
  const char* root = std::getenv("CUPS_SERVERROOT");
  std::vector<fs::path> files{fs::path(root ? root : "/etc/cups") / "lpoptions"};
  if (const char* home = std::getenv("HOME")) files.push_back(fs::path(home) / ".cups/lpoptions");
  return files;
}

// Adds the queues and saves the default settings; the destructor undoes both.
class TestQueues {
 public:
  explicit TestQueues(std::vector<std::pair<std::string, std::string>> queues) {
    for (const fs::path& file : lpoptionsFiles()) {
      snapshots_.push_back(std::make_unique<FileSnapshot>(file));
    }
    for (const auto& [name, uri] : queues) {
      // File devices need "FileDevice Yes"; a server without it still takes an IPP URI.
      if (run("lpadmin -p '" + name + "' -E -v '" + uri + "'") ||
          run("lpadmin -p '" + name + "' -E -v ipp://127.0.0.1:9/printers/" + name)) {
        added_.push_back(name);
      }
    }
  }
  TestQueues(const TestQueues&) = delete;
  TestQueues& operator=(const TestQueues&) = delete;
  ~TestQueues() {
    snapshots_.clear();
    for (const std::string& name : added_) run("lpadmin -x '" + name + "'");
  }
  size_t added() const { return added_.size(); }

 private:
  std::vector<std::unique_ptr<FileSnapshot>> snapshots_;
  std::vector<std::string> added_;
};

TEST(CupsIntegrationTest, SetDefPrinterMakesTheDestinationTheDefault) {
  DOCMILL_REQUIRE(serverAnswers(), "no CUPS server answers");
  unsetenv("LPDEST");
  unsetenv("PRINTER");
  const std::string before = currentDefault();
  {
    TestQueues queues({{"docmill-it-a", "file:///dev/null"},
                       {"docmill-it-b", "file:///dev/null"},
                       // A name and a device URI that both hold commas.
                       {"docmill-it,comma", "ipp://127.0.0.1:9/printers/x?a=1,2"}});
    ASSERT_EQ(queues.added(), 3u) << "lpadmin could not add the test queues";

    setDefPrinter(Variant("docmill-it-a"));
    EXPECT_EQ(currentDefault(), "docmill-it-a");
    EXPECT_THAT(output("lpstat -d"), ::testing::HasSubstr("docmill-it-a"));

    setDefPrinter(Variant("DOCMILL-IT-B"));  // CUPS names ignore case
    EXPECT_EQ(currentDefault(), "docmill-it-b");

    setDefPrinter(Variant("docmill-it,comma"));
    EXPECT_EQ(currentDefault(), "docmill-it,comma");

    EXPECT_NO_THROW(setDefPrinter(Variant("docmill-it-missing")));
    EXPECT_NO_THROW(setDefPrinter(Variant("")));
    EXPECT_EQ(currentDefault(), "docmill-it,comma");

    const std::vector<std::string> printers = installedPrinters();
    ASSERT_FALSE(printers.empty());
    EXPECT_EQ(printers.front(), "Generic PostScript Printer");
    EXPECT_THAT(printers,
                ::testing::IsSupersetOf({"docmill-it-a", "docmill-it-b", "docmill-it,comma"}));
  }
  EXPECT_EQ(currentDefault(), before);
}

TEST(CupsIntegrationTest, WithoutAServerNothingChangesAndNothingIsRaised) {
  // libcups keeps its server per thread, so pointing this thread at a socket that does not
  // exist leaves the rest of the process alone.
  std::vector<std::string> printers;
  bool raised = false;
  std::thread([&] {
    cupsSetServer("/nonexistent/docmill-test.sock");
    try {
      setDefPrinter(Variant("docmill-it-a"));
    } catch (...) {
      raised = true;
    }
    printers = installedPrinters();
  }).join();
  EXPECT_FALSE(raised);
  EXPECT_THAT(printers, ::testing::ElementsAre("Generic PostScript Printer"));
}

}  // namespace
}  // namespace docmill::printer
