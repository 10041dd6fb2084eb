// Paths followed as the kernel follows them, and reads that neither block nor follow links.
#include "platform/trust.h"
#include "platform/scratch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace docmill::platform;

namespace {

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder(systemTempFolder(), "trust-test-");
    dir_ = folder_.path();
    previous_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(previous_); }
  TempFolder folder_;
  fs::path dir_, previous_;
};

TEST_F(TrustTest, RelativePathsLinkLoopsAndMissingEntries) {
  fs::create_directories(dir_ / "good" / "sub");
  fs::current_path(dir_ / "good");
  PathCheck check = checkPath("sub/../sub/");
  EXPECT_TRUE(check.trusted()) << check.problem;
  EXPECT_EQ(check.resolved, (dir_ / "good" / "sub").string());
  // Nothing there: nothing to swap, and the user of the path meets the gap itself.
  check = checkPath("missing/deeper");
  EXPECT_TRUE(check.trusted());
  EXPECT_EQ(check.resolved, "");

  // A relative path counts the folders above the current one too.
  fs::create_directory(dir_ / "open");
  fs::permissions(dir_ / "open", fs::perms::all);
  fs::create_directory(dir_ / "open" / "sub");
  fs::current_path(dir_ / "open" / "sub");
  EXPECT_FALSE(checkPath(".").trusted());

  // Links that lead round in a circle end the check instead of hanging it.
  fs::create_symlink(dir_ / "b", dir_ / "a");
  fs::create_symlink(dir_ / "a", dir_ / "b");
  check = checkPath((dir_ / "a").string());
  EXPECT_NE(check.problem.find("too many links"), std::string::npos) << check.problem;
}

TEST_F(TrustTest, TrustedReadsNeitherBlockNorFollowLinks) {
  std::string problem;
  const std::string good = (dir_ / "record").string();
  std::ofstream(good) << "CLSID=x\n";
  ::chmod(good.c_str(), 0644);
  EXPECT_EQ(readTrustedFile(good, 100, &problem), "CLSID=x\n");
  EXPECT_EQ(readTrustedFile(good, 4, &problem), std::nullopt);
  EXPECT_EQ(problem, "is too large");

  fs::create_symlink(good, dir_ / "link");
  EXPECT_EQ(readTrustedFile((dir_ / "link").string(), 100, &problem), std::nullopt);
  EXPECT_EQ(problem, "is a link");
  // A pipe with no writer would block an ordinary open for ever.
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0644), 0);
  EXPECT_EQ(readTrustedFile((dir_ / "pipe").string(), 100, &problem), std::nullopt);
  EXPECT_EQ(problem, "is not a regular file");
  EXPECT_EQ(readTrustedFile((dir_ / "missing").string(), 100, &problem), std::nullopt);
  EXPECT_EQ(problem, "");
}

}  // namespace

// A private copy holds folders and regular files of ours only, made private whatever they
// were; a link or a special file ends the copy (never followed), an unreadable entry is
// passed over and reported.
TEST_F(TrustTest, PrivateTreeCopiesOnlyOwnFoldersAndFiles) {
  fs::create_directories(dir_ / "from" / "a" / "b");
  std::ofstream(dir_ / "from" / "a" / "b" / "f") << "text";
  std::ofstream(dir_ / "from" / "left-out") << "x";
  ::chmod((dir_ / "from" / "a").c_str(), 0755);
  TreeCopy copy = copyPrivateTree((dir_ / "from").string(), (dir_ / "to").string(), {"left-out"});
  ASSERT_TRUE(copy.copied()) << copy.problem;
  std::ifstream in(dir_ / "to" / "a" / "b" / "f");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "text");
  EXPECT_FALSE(fs::exists(dir_ / "to" / "left-out"));
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "to" / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((dir_ / "to" / "a" / "b" / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // The copy may not exist yet.
  EXPECT_THROW(copyPrivateTree((dir_ / "from").string(), (dir_ / "to").string()), OsError);

  fs::create_symlink(dir_ / "from" / "a" / "b" / "f", dir_ / "from" / "a" / "link");
  copy = copyPrivateTree((dir_ / "from").string(), (dir_ / "to-link").string());
  EXPECT_EQ(copy.fault, TreeFault::Untrusted);
  EXPECT_NE(copy.problem.find("link"), std::string::npos) << copy.problem;
  fs::remove(dir_ / "from" / "a" / "link");

  ASSERT_EQ(::mkfifo((dir_ / "from" / "a" / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(copyPrivateTree((dir_ / "from").string(), (dir_ / "to-fifo").string()).fault,
            TreeFault::Untrusted);
  fs::remove(dir_ / "from" / "a" / "fifo");

  ::chmod((dir_ / "from" / "a" / "b").c_str(), 0777);
  EXPECT_EQ(copyPrivateTree((dir_ / "from").string(), (dir_ / "to-open").string()).fault,
            TreeFault::Untrusted);
  ::chmod((dir_ / "from" / "a" / "b").c_str(), 0700);

  EXPECT_EQ(copyPrivateTree((dir_ / "missing").string(), (dir_ / "to-missing").string()).fault,
            TreeFault::Unreadable);
  EXPECT_FALSE(fs::exists(dir_ / "to-missing"));
}
