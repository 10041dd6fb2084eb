// Deleting an old output removes files and links, never the devices, pipes or folders a
// caller may name as an output.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace docmill;

TEST(DeleteFile, RemovesFilesAndLinksButNoDeviceOrPipe) {
  platform::TempFolder dir(fs::temp_directory_path().string(), "files-test-");
  const std::string file = dir.path() + "/old.pdf";
  const std::string target = dir.path() + "/target.pdf";
  const std::string link = dir.path() + "/link.pdf";
  const std::string fifo = dir.path() + "/fifo.pdf";
  std::ofstream(file) << "old";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, link);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  platform::deleteFile(file);
  EXPECT_FALSE(fs::exists(file));
  platform::deleteFile(link);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_TRUE(fs::exists(target));
  platform::deleteFile(fifo);
  EXPECT_TRUE(fs::is_fifo(fifo));

  try {
    platform::deleteFile(dir.path());
    FAIL() << "deleted a folder";
  } catch (const platform::OsError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
  try {
    platform::deleteFile(dir.path() + "/missing.pdf");
    FAIL() << "deleted a missing file";
  } catch (const platform::OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
  }
}
