#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "conversion/routines.h"
#include "platform/files.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;

class RoutinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("docmill-routines-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(RoutinesTest, FileExistsReadsTheLengthOnly) {
  std::ofstream(dir / "empty").close();
  EXPECT_TRUE(fileExists(Variant((dir / "empty").string())));
  EXPECT_FALSE(fileExists(Variant((dir / "missing").string())));
  EXPECT_FALSE(fileExists(Variant(dir.string())));  // a folder has no file length
  EXPECT_FALSE(fileExists(Variant("")));
  EXPECT_FALSE(fileExists(Variant::null()));
  EXPECT_FALSE(fileExists(Variant::missing()));
}

TEST_F(RoutinesTest, DeletingAnOldOutputRaisesTheRunTimeErrorOfTheFailure) {
  auto numberOf = [](const std::string& path) {
    try {
      deleteFile(path);
    } catch (const AutomationError& e) {
      return e.error().number;
    }
    return 0;
  };
  EXPECT_EQ(numberOf(dir.string()), rt::PathFileAccessError);
  EXPECT_EQ(numberOf((dir / "missing.pdf").string()), rt::FileNotFound);
  EXPECT_EQ(numberOf((dir / "missing" / "a.pdf").string()), rt::FileNotFound);
  std::ofstream(dir / "old.pdf").close();
  EXPECT_EQ(numberOf((dir / "old.pdf" / "a.pdf").string()), rt::PathNotFound);
  EXPECT_EQ(numberOf((dir / "old.pdf").string()), 0);
  EXPECT_FALSE(fs::exists(dir / "old.pdf"));
}

TEST_F(RoutinesTest, FileNotFoundNamesThePathAsPassed) {
  Error e = fileNotFoundError(Variant("C:\\in\\a.ps"));
  EXPECT_EQ(e.number, static_cast<int32_t>(0x80004100));
  EXPECT_EQ(e.source, "docmill");
  EXPECT_EQ(e.description, "File C:\\in\\a.ps does not exist.");
  EXPECT_EQ(fileNotFoundError(Variant::null()).description, "File  does not exist.");
}

TEST_F(RoutinesTest, GuardedReRaisesWithTheComponentAsSource) {
  std::vector<std::string> log;
  try {
    guarded(
        [] {
          raise(Error{1004, "Excel", "Unknown sheet"});
        },
        [&] { log.push_back("cleanup"); });
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 1004);
    EXPECT_EQ(e.error().source, "docmill");
    EXPECT_EQ(e.error().description, "Unknown sheet");
  }
  EXPECT_EQ(log, std::vector<std::string>{"cleanup"});

  try {
    guarded([] { raise(Error{1, "A", "first"}); }, [] { raise(Error{2, "B", "second"}); });
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 2);  // a failing clean-up wins
    EXPECT_EQ(e.error().source, "docmill");
  }
  bool cleaned = false;
  guarded([] {}, [&] { cleaned = true; });
  EXPECT_FALSE(cleaned);
}

TEST_F(RoutinesTest, TemporaryNamesAreDigitsAndReservedPathsNeverRepeat) {
  for (int i = 0; i < 200; ++i) {
    std::string n = uniqueTempName();
    ASSERT_GE(n.size(), 1u);
    ASSERT_LE(n.size(), 8u);
    ASSERT_EQ(n.find_first_not_of("0123456789"), std::string::npos);
    ASSERT_NE(n[0], '0');
  }
  std::string prefix = dir.string() + "/";
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string p = reserveTempPath(prefix);
    ASSERT_EQ(p.rfind(prefix, 0), 0u);
    ASSERT_EQ(p.substr(p.size() - 3), ".ps");
    ASSERT_TRUE(fs::exists(p));  // reserved on disk, so no other conversion draws it
    ASSERT_TRUE(seen.insert(p).second);
  }
  // Threads draw independently and still get distinct paths.
  std::vector<std::string> a(50), b(50);
  std::thread t1([&] {
    for (auto& s : a) s = reserveTempPath(prefix);
  });
  std::thread t2([&] {
    for (auto& s : b) s = reserveTempPath(prefix);
  });
  t1.join();
  t2.join();
  for (auto& s : a) EXPECT_TRUE(seen.insert(s).second);
  for (auto& s : b) EXPECT_TRUE(seen.insert(s).second);
  // An unwritable folder gives a candidate without a file.
  std::string bad = reserveTempPath("/nonexistent-docmill-dir/");
  EXPECT_FALSE(fs::exists(bad));
}

TEST_F(RoutinesTest, AFolderOthersMayWriteToIsRefusedAtEveryUse) {
  // TempFilePath accepted the folder earlier; since then anybody may write to it.
  fs::create_directory(dir / "open");
  fs::permissions(dir / "open", fs::perms::all);
  try {
    reserveTempPath((dir / "open").string() + "/");
    FAIL() << "reserved";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 70);
  }
  EXPECT_TRUE(fs::is_empty(dir / "open"));
  // A shared folder with the sticky bit keeps others from replacing our files.
  fs::permissions(dir / "open", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_TRUE(fs::exists(reserveTempPath((dir / "open").string() + "/")));
}

}  // namespace
}  // namespace docmill
