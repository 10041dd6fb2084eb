// What keeps an untrusted child process in its box: the confinement it enters before exec
// (files, TCP, network namespace), the resident-memory reading a watchdog acts on, the
// hand-over of files into and out of its folder, and the removal of pipes of dead hosts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/confinement.h"
#include "platform/group_memory.h"
#include "platform/scratch.h"
#include "platform/transfer.h"
#include "tests/support/files.h"
#include "tests/support/prerequisites.h"

namespace fs = std::filesystem;
using namespace docmill::platform;

namespace {

// Runs `body` in a forked child and returns its exit status (the body's result).
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// A TCP listener on 127.0.0.1 that counts the connections it accepts.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }
  int accepted() {
    int n = 0;
    for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0; ++n) ::close(c);
    return n;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// 0 when a TCP connection to 127.0.0.1:port succeeds, else the errno.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int err = result == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string netNamespace(const std::string& pid) {
  return fs::read_symlink("/proc/" + pid + "/ns/net").string();
}

class IsolationTest : public ::testing::Test {
 protected:
  TempFolder dir_{fs::temp_directory_path().string(), "isolation-test-"};
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
};

TEST_F(IsolationTest, ConfinedChildReachesOnlyItsAllowedPathsAndNoNetwork) {
  fs::create_directories(path("allowed"));
  fs::create_directories(path("own"));
  std::ofstream(path("allowed/readme.txt")) << "fine";
  std::ofstream(path("secret.txt")) << "SECRET";
  Listener listener;

  Confinement confinement;
  confinement.allowRead(path("allowed"));
  confinement.allowWrite(path("own"));
  confinement.allowDevice("/dev/null");
  confinement.allowRead(path("missing"));  // ignored, not an error
  confinement.isolateNetwork();
  const Confinement::InForce inForce = confinement.prepare();
  DOCMILL_REQUIRE(inForce.files, "this kernel has no Landlock");

  enum : int { kOk = 0, kNotEntered, kSecretRead, kAllowedUnread, kOwnUnwritten, kConnected };
  const std::string own = path("own/written.txt");
  const std::string secret = path("secret.txt");
  const std::string allowed = path("allowed/readme.txt");
  const int port = listener.port();
  const int status = inChild([&] {
    if (confinement.enterInChild() != 0) return int{kNotEntered};
    if (::open(secret.c_str(), O_RDONLY) >= 0 || errno != EACCES) return int{kSecretRead};
    if (::open(allowed.c_str(), O_RDONLY) < 0) return int{kAllowedUnread};
    if (::open(own.c_str(), O_WRONLY | O_CREAT, 0600) < 0) return int{kOwnUnwritten};
    if (connectTo(port) == 0) return int{kConnected};
    return int{kOk};
  });
  EXPECT_EQ(status, kOk);
  EXPECT_EQ(listener.accepted(), 0);
  // The file written inside its own folder is really there for the parent.
  EXPECT_TRUE(fs::exists(own));
}

TEST_F(IsolationTest, NetworkNamespaceOfItsOwnWhereTheKernelAllowsIt) {
  Confinement confinement;
  confinement.isolateNetwork();
  DOCMILL_REQUIRE(confinement.prepare().ownNetwork, "no network namespace allowed here");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const int err = confinement.enterInChild();
    // Tell the parent we are in, then wait for it to look.
    (void)!::write(fds[1], &err, sizeof err);
    ::pause();
    ::_exit(0);
  }
  ::close(fds[1]);
  int err = -1;
  ASSERT_EQ(::read(fds[0], &err, sizeof err), static_cast<ssize_t>(sizeof err));
  ::close(fds[0]);
  EXPECT_EQ(err, 0);
  EXPECT_NE(netNamespace(std::to_string(pid)), netNamespace("self"));
  // Its files stay ours: the ids inside are our own.
  struct stat st {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(pid)).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::getuid());
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(IsolationTest, ResidentMemoryIsSummedOverTheWholeGroup) {
  constexpr size_t kSize = 64 << 20;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t leader = ::fork();
  if (leader == 0) {
    ::setpgid(0, 0);
    // The leader and a helper in its group each hold 64 MiB of touched memory.
    if (::fork() != 0) ::usleep(0);
    void* block =
        ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memset(block, 1, kSize);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::setpgid(leader, leader);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  const std::vector<uint64_t> used = residentBytesOfGroups({leader, 999999999, 0});
  ::kill(-leader, SIGKILL);
  ::waitpid(leader, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(used.size(), 3u);
  EXPECT_GE(used[0], 2 * kSize);
  EXPECT_LT(used[0], 2 * kSize + (256u << 20));
  EXPECT_EQ(used[1], 0u);
  EXPECT_EQ(used[2], 0u);
}

TEST_F(IsolationTest, FilesAreHandedOverWholeAndOnlyRegularFilesGoIn) {
  std::ofstream(path("in.doc")) << std::string(200000, 'd');
  copyFile(path("in.doc"), path("copy.doc"));
  EXPECT_EQ(docmill::test::readFile(path("copy.doc")), std::string(200000, 'd'));
  EXPECT_EQ(modeOf(path("copy.doc")), 0600u);
  // Never over an existing file or link: the copy goes only where nothing was.
  EXPECT_THROW(copyFile(path("in.doc"), path("copy.doc")), OsError);

  // A pipe, a device or a folder would be read forever or not at all: refused at once.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& odd : {path("fifo"), std::string("/dev/zero"), dir_.path()}) {
    try {
      copyFile(odd, path("odd"));
      ADD_FAILURE() << odd << " was copied";
    } catch (const OsError& e) {
      EXPECT_EQ(e.code(), EINVAL) << odd;
    }
    EXPECT_FALSE(fs::exists(path("odd")));
  }
  try {
    copyFile(path("absent.doc"), path("odd"));
    ADD_FAILURE();
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_EQ(e.path(), path("absent.doc"));
  }

  // Out again: replaces what is at the target and leaves nothing behind.
  std::ofstream(path("out.pdf")) << "old";
  std::ofstream(path("made.pdf")) << "new";
  moveFile(path("made.pdf"), path("out.pdf"));
  EXPECT_EQ(docmill::test::readFile(path("out.pdf")), "new");
  EXPECT_FALSE(fs::exists(path("made.pdf")));
  EXPECT_THROW(moveFile(path("made.pdf"), path("out.pdf")), OsError);
  EXPECT_THROW(moveFile(path("out.pdf"), path("no/such/folder/out.pdf")), OsError);
  EXPECT_EQ(docmill::test::readFile(path("out.pdf")), "new");
}

TEST_F(IsolationTest, OnlySocketsOfDeadProcessesAreRemoved) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string prefix = "OSL_PIPE_" + std::to_string(::getuid()) + "_test-";
  auto socketAt = [&](const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path(name).c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << name;
    ::close(fd);
  };
  const std::string deadName = prefix + std::to_string(dead) + "-a1";
  const std::string liveName = prefix + std::to_string(::getpid()) + "-a1";
  socketAt(deadName);
  socketAt(liveName);
  socketAt(prefix + std::to_string(dead));  // not our naming: no "-" after the id
  socketAt("OSL_PIPE_0_other-" + std::to_string(dead) + "-a1");
  std::ofstream(path(prefix + std::to_string(dead) + "-file")) << "not a socket";
  fs::create_symlink(path(deadName), path(prefix + std::to_string(dead) + "-link"));

  EXPECT_EQ(removeDeadProcessSockets(dir_.path(), prefix), 1);
  EXPECT_FALSE(fs::exists(path(deadName)));
  for (const std::string& kept :
       {liveName, prefix + std::to_string(dead), "OSL_PIPE_0_other-" + std::to_string(dead) + "-a1",
        prefix + std::to_string(dead) + "-file"}) {
    EXPECT_TRUE(fs::exists(path(kept))) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(path(prefix + std::to_string(dead) + "-link")));
}

}  // namespace
