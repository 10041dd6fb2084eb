// What keeps one piece of work apart from the rest: a process shut in to the files it is
// given, messages (and descriptors) between processes, and a finished file put in place in
// one step.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/channel.h"
#include "platform/confinement.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/scratch.h"
#include "tests/support/files.h"
#include "tests/support/prerequisites.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using namespace docmill::platform;
using namespace std::chrono_literals;

namespace {

// True when opening `path` with `flags` is refused for lack of access.
bool refused(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  return fd < 0 && errno == EACCES;
}

bool opens(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

TEST(FileAccess, ProcessReachesOnlyWhatItWasGiven) {
  TempFolder dir(systemTempFolder(), "file-access-test-");
  const std::string readable = dir.path() + "/readable", writable = dir.path() + "/writable",
                    other = dir.path() + "/other", shelf = dir.path() + "/shelf",
                    own = dir.path() + "/own";
  std::ofstream(readable) << "r";
  std::ofstream(writable) << "w";
  std::ofstream(other) << "o";
  fs::create_directory(shelf);
  std::ofstream(shelf + "/book") << "b";
  fs::create_directory(own);

  // Each check that fails ends the child with its own number.
  ChildProcess child = ChildProcess::run([&] {
    FileAccess access;
    access.readable = {readable, shelf, dir.path() + "/missing"};
    access.writable = {writable};
    access.privateFolders = {own};
    if (!restrictFileAccess(access)) return 99;
    if (!opens(readable, O_RDONLY) || !refused(readable, O_WRONLY)) return 1;
    if (!opens(shelf + "/book", O_RDONLY) || !refused(shelf + "/new", O_WRONLY | O_CREAT)) return 2;
    if (!refused(other, O_RDONLY) || !refused("/etc/passwd", O_RDONLY)) return 3;
    if (!opens(writable, O_WRONLY | O_TRUNC)) return 4;
    if (::unlink(writable.c_str()) == 0 || !refused(dir.path() + "/new", O_WRONLY | O_CREAT)) {
      return 5;
    }
    if (!opens(own + "/a", O_WRONLY | O_CREAT) ||
        ::rename((own + "/a").c_str(), (own + "/b").c_str()) ||
        ::mkdir((own + "/sub").c_str(), 0700) || ::unlink((own + "/b").c_str())) {
      return 6;
    }
    if (::rename(other.c_str(), (own + "/stolen").c_str()) == 0) return 7;
    return 0;
  });
  const ExitStatus status = child.wait();
  DOCMILL_REQUIRE(status.code != 99, "the kernel cannot restrict file access");
  EXPECT_EQ(status.code, 0) << status.describe();
  // The host itself is not restricted.
  EXPECT_EQ(docmill::test::readFile(other), "o");
  EXPECT_TRUE(opens(dir.path() + "/new", O_WRONLY | O_CREAT));
}

TEST(Channel, MessagesCarryTheirBytesAndADescriptor) {
  auto [a, b] = socketPair();
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  Descriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

  // Larger than any socket buffer: the sender blocks until the reader takes it.
  const std::string big(8 << 20, 'x');
  std::thread sender([&, fd = a.get()] {
    sendMessage(fd, "hello", writeEnd.get());
    sendMessage(fd, big);
    sendMessage(fd, "");
  });
  auto first = receiveMessage(b.get(), 16);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bytes, "hello");
  ASSERT_TRUE(first->descriptor.valid());
  EXPECT_EQ(::write(first->descriptor.get(), "!", 1), 1);
  char c = 0;
  EXPECT_EQ(::read(readEnd.get(), &c, 1), 1);
  EXPECT_EQ(c, '!');
  auto second = receiveMessage(b.get(), big.size());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->bytes, big);
  EXPECT_FALSE(second->descriptor.valid());
  auto empty = receiveMessage(b.get(), 16);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->bytes, "");
  sender.join();

  // Nothing in time; a message above what the reader takes.
  try {
    receiveMessage(b.get(), 16, std::chrono::steady_clock::now() + 50ms);
    ADD_FAILURE() << "no time-out";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), ETIMEDOUT);
  }
  sendMessage(a.get(), std::string(100, 'y'));
  try {
    receiveMessage(b.get(), 10);
    ADD_FAILURE() << "took an oversized message";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), EMSGSIZE);
  }

  // A closed side: the reader sees the end, the writer an error (not SIGPIPE).
  auto [c1, c2] = socketPair();
  c1.reset();
  EXPECT_FALSE(receiveMessage(c2.get(), 16));
  try {
    sendMessage(c2.get(), "anyone?");
    ADD_FAILURE() << "sent to nobody";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), EPIPE);
  }
}

TEST(PublishFile, PutsTheWholeFileInPlaceWithoutFollowingLinks) {
  TempFolder dir(systemTempFolder(), "publish-test-");
  const std::string victim = dir.path() + "/victim", target = dir.path() + "/target.ps";
  std::ofstream(victim) << "victim";
  fs::create_symlink(victim, target);

  const mode_t saved = ::umask(027);
  TempFile finished(dir.path(), "finished-");
  std::ofstream(finished.path()) << "printed";
  publishFile(finished.path(), target);
  ::umask(saved);
  EXPECT_EQ(docmill::test::readFile(target), "printed");
  EXPECT_EQ(docmill::test::readFile(victim), "victim");
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
  EXPECT_FALSE(fs::exists(finished.path()));

  // A target that cannot be written leaves the finished file for its owner to remove.
  TempFile again(dir.path(), "finished-");
  EXPECT_THROW(publishFile(again.path(), dir.path() + "/no/such/folder/x.ps"), OsError);
  EXPECT_TRUE(fs::exists(again.path()));

  // From another file system the content is copied beside the target first.
  struct stat shm {
  }, here{};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system";
  }
  TempFile elsewhere("/dev/shm", "publish-test-");
  std::ofstream(elsewhere.path()) << "copied";
  publishFile(elsewhere.path(), target);
  EXPECT_EQ(docmill::test::readFile(target), "copied");
  EXPECT_FALSE(fs::exists(elsewhere.path()));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u);  // victim, target and the file that could not be published
}

TEST(PublishFile, WritesIntoAPipeOrDeviceInsteadOfReplacingIt) {
  TempFolder dir(systemTempFolder(), "publish-test-");
  const std::string fifo = dir.path() + "/out.ps";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // Nobody reads the pipe: the publish fails at once and the pipe stays.
  TempFile unread(dir.path(), "finished-");
  std::ofstream(unread.path()) << "lost";
  EXPECT_THROW(publishFile(unread.path(), fifo), OsError);
  EXPECT_TRUE(fs::is_fifo(fifo));

  // A reader gets the whole print through the pipe, which is still a pipe afterwards.
  TempFile finished(dir.path(), "finished-");
  std::ofstream(finished.path()) << "printed";
  std::string received;
  std::thread reader([&] {
    std::ifstream in(fifo);
    received.assign(std::istreambuf_iterator<char>(in), {});
  });
  // The reader must have the pipe open before the writer's non-blocking open.
  const bool published = docmill::test::waitFor([&] {
    try {
      publishFile(finished.path(), fifo);
      return true;
    } catch (const OsError& e) {
      if (e.code() != ENXIO) throw;
      return false;
    }
  });
  EXPECT_TRUE(published);
  if (!published) std::ofstream{fifo};  // lets the reader go
  reader.join();
  EXPECT_EQ(received, "printed");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_FALSE(fs::exists(finished.path()));

  if (fs::exists("/dev/null")) {
    TempFile discarded(dir.path(), "finished-");
    std::ofstream(discarded.path()) << "nothing";
    publishFile(discarded.path(), "/dev/null");
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
  }
}

// A link of the system's or the user's own that leads to a pipe, as /dev/stdout does, is
// written through and stays; a link somebody else made is replaced, never followed.
TEST(PublishFile, WritesThroughOwnLinksToAPipeAndReplacesOthers) {
  TempFolder dir(systemTempFolder(), "publish-test-");
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string stdoutLike = dir.path() + "/stdout";
  fs::create_symlink("/proc/self/fd/" + std::to_string(ends[1]), stdoutLike);
  TempFile finished(dir.path(), "finished-");
  std::ofstream(finished.path()) << "printed";
  publishFile(finished.path(), stdoutLike);
  ::close(ends[1]);
  char buffer[64] = {};
  const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
  ::close(ends[0]);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "printed");
  EXPECT_TRUE(fs::is_symlink(stdoutLike));

  // The same with the descriptor open on a file, as a shell's redirection leaves it: the
  // file gets the output, and deleting the old output leaves the link alone.
  const std::string redirected = dir.path() + "/redirected.pdf";
  const int file = ::open(redirected.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  const std::string fileLike = dir.path() + "/stdout-file";
  fs::create_symlink("/proc/self/fd/" + std::to_string(file), fileLike);
  deleteFile(fileLike);
  EXPECT_TRUE(fs::is_symlink(fileLike));
  TempFile again(dir.path(), "finished-");
  std::ofstream(again.path()) << "to a file";
  publishFile(again.path(), fileLike);
  ::close(file);
  EXPECT_EQ(docmill::test::readFile(redirected), "to a file");
  EXPECT_TRUE(fs::is_symlink(fileLike));

  if (::geteuid() != 0) return;  // only root can give a link to another user
  const std::string fifo = dir.path() + "/fifo", planted = dir.path() + "/planted.ps";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, planted);
  ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
  TempFile other(dir.path(), "finished-");
  std::ofstream(other.path()) << "replaced";
  publishFile(other.path(), planted);  // no reader: following the link would fail
  EXPECT_FALSE(fs::is_symlink(planted));
  EXPECT_EQ(docmill::test::readFile(planted), "replaced");
  EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
