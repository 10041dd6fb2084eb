// The host's private scratch folder: private, one per process, gone after a normal exit,
// and removed by the next host after a kill; private files and folders inside it.
#include "platform/scratch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace docmill::platform;

namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A folder of its own that stands in for the system temporary folder, so the test sees
// only the hosts it made.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    parent_ = TempFolder(fs::temp_directory_path().string(), "scratch-test-");
    ::setenv("TMPDIR", parent_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", saved_.c_str(), 1);
    }
  }
  // Runs `body` in a child process; the child ends with `exit` (normally, running its exit
  // handlers) or by SIGKILL. Returns what the child wrote to the pipe.
  std::string inChild(bool killed) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      std::string folder = hostScratchFolder();
      std::ofstream(folder + "/document.pdf") << "secret";
      (void)!::write(fds[1], folder.data(), folder.size());
      ::close(fds[1]);
      if (killed) ::raise(SIGKILL);
      std::exit(0);
    }
    ::close(fds[1]);
    std::string folder;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) folder.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return folder;
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(parent_.path())) {
      names.push_back(e.path().filename());
    }
    return names;
  }

  std::string saved_;
  TempFolder parent_;
};

TEST_F(ScratchTest, HostFolderIsPrivateAndRemovedAtNormalExit) {
  std::string folder = inChild(false);
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(fs::path(folder).parent_path(), fs::path(parent_.path()));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(entries().empty());

  // In this process: one folder for every call, readable only by its owner.
  std::string mine = hostScratchFolder();
  EXPECT_EQ(hostScratchFolder(), mine);
  EXPECT_EQ(modeOf(mine), 0700u);
}

TEST_F(ScratchTest, FoldersOfKilledHostsGoWithTheNextHostButLiveOnesStay) {
  std::string killed = inChild(true);
  ASSERT_TRUE(fs::exists(killed + "/document.pdf"));
  // A living process's folder (this one), a look-alike link and a foreign name stay.
  std::string living = hostScratchFolder();  // removes the dead one on creation
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(living));

  fs::create_directory(parent_.path() + "/elsewhere");
  std::ofstream(parent_.path() + "/elsewhere/keep") << "x";
  fs::create_directory_symlink(parent_.path() + "/elsewhere",
                               parent_.path() + "/docmill-host-999999999-1-abcdef");
  fs::create_directory(parent_.path() + "/docmill-host-notapid-1-abcdef");
  // A folder whose process id is alive but belongs to a process started at another time
  // (a reused id) is a dead host's.
  std::string reused = parent_.path() + "/docmill-host-" + std::to_string(::getpid()) + "-1-zzzzzz";
  fs::create_directory(reused);
  EXPECT_EQ(removeDeadHostFolders(parent_.path()), 1);
  EXPECT_FALSE(fs::exists(reused));
  EXPECT_TRUE(fs::exists(living));
  EXPECT_TRUE(fs::exists(parent_.path() + "/elsewhere/keep"));
  EXPECT_TRUE(fs::is_symlink(parent_.path() + "/docmill-host-999999999-1-abcdef"));
  EXPECT_TRUE(fs::exists(parent_.path() + "/docmill-host-notapid-1-abcdef"));
}

TEST_F(ScratchTest, PrivateFilesAndFoldersAreExclusiveAndGoWithTheirOwner) {
  std::string filePath, folderPath;
  {
    TempFile file(parent_.path(), "print-", ".pdf");
    filePath = file.path();
    EXPECT_TRUE(filePath.ends_with(".pdf"));
    EXPECT_EQ(modeOf(filePath), 0600u);
    TempFolder folder(parent_.path(), "work-");
    folderPath = folder.path();
    EXPECT_EQ(modeOf(folderPath), 0700u);
    std::ofstream(folderPath + "/inner") << "x";
    fs::create_symlink(parent_.path(), folderPath + "/link-to-parent");
    TempFolder moved = std::move(folder);
    EXPECT_EQ(moved.path(), folderPath);
  }
  EXPECT_FALSE(fs::exists(filePath));
  EXPECT_FALSE(fs::exists(folderPath));
  EXPECT_TRUE(fs::exists(parent_.path()));  // the link inside was removed, not followed

  EXPECT_THROW(TempFile(parent_.path() + "/missing", "x-"), OsError);
  try {
    TempFolder(parent_.path() + "/missing", "x-");
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("/missing"), std::string::npos);
  }
}

}  // namespace
