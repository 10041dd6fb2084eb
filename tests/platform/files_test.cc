// Deleting an old output removes files and links, never the devices, pipes or folders a
// caller may name as an output.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

// Clearing an office's stale pipe file must not take a file of the same name with it.
TEST(RemoveSocket, RemovesASocketAndNothingElse) {
  platform::TempFolder dir(fs::temp_directory_path().string(), "files-test-");
  const std::string socketPath = dir.path() + "/pipe";
  const std::string file = dir.path() + "/file";
  std::ofstream(file) << "keep";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);

  platform::removeSocket(file);
  platform::removeSocket(dir.path() + "/missing");
  EXPECT_TRUE(fs::exists(file));
  platform::removeSocket(socketPath);
  EXPECT_FALSE(fs::exists(socketPath));

  platform::makeLink(file, dir.path() + "/link");
  EXPECT_EQ(fs::read_symlink(dir.path() + "/link"), file);
  try {
    platform::makeLink(file, dir.path() + "/link");
    FAIL() << "replaced a link";
  } catch (const platform::OsError& e) {
    EXPECT_EQ(e.code(), EEXIST);
  }
}

// Outputs are removed only when they are files or links, and only regular files are
// rewritten in place: the probes must tell a link from what it leads to.
TEST(EntryKinds, TellALinkFromWhatItLeadsTo) {
  platform::TempFolder dir(fs::temp_directory_path().string(), "files-test-");
  const std::string file = dir.path() + "/file", link = dir.path() + "/link";
  const std::string fifo = dir.path() + "/fifo", dangling = dir.path() + "/dangling";
  std::ofstream(file) << "x";
  fs::create_symlink(file, link);
  fs::create_symlink(dir.path() + "/missing", dangling);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  using platform::EntryKind;
  EXPECT_EQ(platform::entryAt(file), EntryKind::File);
  EXPECT_EQ(platform::entryAt(link), EntryKind::Link);
  EXPECT_EQ(platform::entryThrough(link), EntryKind::File);
  EXPECT_EQ(platform::entryAt(dangling), EntryKind::Link);
  EXPECT_EQ(platform::entryThrough(dangling), EntryKind::None);
  EXPECT_EQ(platform::entryAt(fifo), EntryKind::Other);
  EXPECT_EQ(platform::entryAt(dir.path()), EntryKind::Folder);
  EXPECT_EQ(platform::entryAt(""), EntryKind::None);
}

TEST(OpenToWrite, NeverWritesThroughALink) {
  platform::TempFolder dir(fs::temp_directory_path().string(), "files-test-");
  const std::string file = dir.path() + "/file", link = dir.path() + "/link";
  std::ofstream(file) << "keep";
  fs::create_symlink(file, link);
  try {
    platform::openToWrite(link);
    FAIL() << "opened a link to write";
  } catch (const platform::OsError& e) {
    EXPECT_EQ(e.code(), ELOOP);
  }
  EXPECT_EQ(fs::file_size(file), 4u);
  EXPECT_TRUE(platform::openToWrite(dir.path() + "/new").valid());
  EXPECT_EQ(platform::entryAt(dir.path() + "/new"), platform::EntryKind::File);
}
