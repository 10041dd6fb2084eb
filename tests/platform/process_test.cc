// Child processes: what a child can reach (descriptors, network, system calls), the limits
// it runs under, and that its owner always ends and reaps it, whole group included.
#include "platform/process.h"
#include "tests/support/processes.h"
#include "tests/support/wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

using namespace docmill::platform;
using namespace std::chrono_literals;

namespace {

std::string readAll(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, n);
  return text;
}

// Runs a shell command as a child whose standard output comes back as a string.
std::string output(const std::string& command, ExitStatus* status = nullptr) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  SpawnOptions options;
  options.argv = {"/bin/sh", "-c", command};
  options.descriptors = {{fds[1], 1}};
  ChildProcess child = ChildProcess::start(options);
  ::close(fds[1]);
  std::string text = readAll(fds[0]);
  ::close(fds[0]);
  ExitStatus ended = child.wait();
  if (status) *status = ended;
  return text;
}

// True while a process of the group lives (zombies do not count: the machine's init may be
// slow to reap the orphans it inherits).
bool groupExists(pid_t group) {
  for (const auto& process : docmill::test::listProcesses()) {
    if (process.group == group && process.state != 'Z') return true;
  }
  return false;
}

TEST(ChildProcess, GetsOnlyTheDescriptorsItIsGivenAndReportsHowItEnded) {
  // A descriptor the host left open by mistake (no close-on-exec) must not reach the child.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  ExitStatus status;
  std::string fds = output("ls /proc/self/fd; exit 3", &status);
  ::close(leaked);
  // 0-2 and the descriptor ls itself opened to read the folder.
  EXPECT_EQ(fds, "0\n1\n2\n3\n");
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 3);
  EXPECT_EQ(status.describe(), "exit status 3");

  EXPECT_EQ(output("echo $MARK"), "\n");
  SpawnOptions own;
  own.environment = std::vector<std::string>{"MARK=set"};
  own.argv = {"/bin/sh", "-c", "test \"$MARK\" = set && test -z \"$HOME\""};
  EXPECT_TRUE(ChildProcess::start(own).wait().succeeded());

  SpawnOptions missing;
  missing.argv = {"/no/such/program"};
  try {
    ChildProcess::start(missing);
    FAIL() << "started a missing program";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
  }
}

TEST(ChildProcess, DeadlineKillAndDestructionEndTheWholeGroup) {
  SpawnOptions options;
  // The child starts a grandchild that would outlive it if only the child were killed.
  options.argv = {"/bin/sh", "-c", "sleep 60 & sleep 60"};
  ChildProcess child = ChildProcess::start(options);
  const pid_t group = child.pid();
  EXPECT_FALSE(child.waitUntil(std::chrono::steady_clock::now() + 100ms));
  EXPECT_TRUE(child.running());
  child.kill();
  ExitStatus status = child.wait();
  EXPECT_EQ(status.signal, SIGKILL);
  EXPECT_TRUE(docmill::test::waitFor([&] { return !groupExists(group); }));

  pid_t abandoned = 0;
  {
    ChildProcess other = ChildProcess::start(options);
    abandoned = other.pid();
  }
  // Reaped by its owner: not even a zombie remains under that id.
  EXPECT_EQ(::kill(abandoned, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

// An ended process that waits to be reaped keeps its group in existence but runs nothing:
// whoever waits for a group to end waits for the live members only.
TEST(ChildProcess, AGroupOfZombiesHasNoLiveMembers) {
  SpawnOptions options;
  options.argv = {"/bin/sleep", "60"};
  ChildProcess child = ChildProcess::start(options);
  const pid_t group = child.pid();
  EXPECT_TRUE(groupHasLiveMembers(group));
  child.kill();
  ASSERT_TRUE(docmill::test::waitFor([&] { return !groupExists(group); }));
  EXPECT_TRUE(groupHasMembers(group));  // not reaped yet
  EXPECT_FALSE(groupHasLiveMembers(group));
  child.wait();
  EXPECT_FALSE(groupHasMembers(group));
}

TEST(ChildProcess, OutlivesTheThreadThatStartedIt) {
  ChildProcess child;
  std::thread([&] {
    SpawnOptions options;
    options.argv = {"/bin/sleep", "30"};
    child = ChildProcess::start(options);
  }).join();
  EXPECT_FALSE(child.waitUntil(std::chrono::steady_clock::now() + 300ms));
}

TEST(ChildProcess, LimitsEndRunawayMemoryAndProcessorUse) {
  SpawnOptions limited;
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer reserves terabytes of address space
  limited.limits.addressSpaceBytes = 256ull << 20;
  ChildProcess greedy = ChildProcess::run(
      [] {
        void* big = std::malloc(size_t{1} << 30);
        return big ? 0 : 1;
      },
      limited);
  EXPECT_EQ(greedy.wait().code, 1);
#endif

  limited.limits = {};
  limited.limits.cpuSeconds = 1;
  ChildProcess spinning = ChildProcess::run(
      [] {
        volatile unsigned long counter = 0;
        for (;;) counter = counter + 1;
        return 0;
      },
      limited);
  ExitStatus status = spinning.wait();
  // Ended by its processor limit (a spinning child never ends by itself).
  EXPECT_TRUE(status.signal == SIGXCPU || status.signal == SIGKILL) << status.describe();
}

// Connects to a listener of the host's on the loopback; true when the connection was made.
bool reachesHost(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(s);
  return ok;
}

TEST(ChildProcess, PrivateNetworkAndRestrictedCallsReachNothing) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);

  EXPECT_EQ(ChildProcess::run([&] { return reachesHost(port) ? 0 : 1; }).wait().code, 0);
  SpawnOptions isolated;
  isolated.privateNetwork = true;
  EXPECT_EQ(ChildProcess::run([&] { return reachesHost(port) ? 0 : 1; }, isolated).wait().code, 1);
  ::close(listener);

  // After the filter: no programs, no sockets, no namespaces; files and threads still work.
  ChildProcess restricted = ChildProcess::run([] {
    restrictSystemCalls();
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execv(argv[0], argv);
    if (errno != EPERM) return 1;
    if (::socket(AF_UNIX, SOCK_STREAM, 0) >= 0 || errno != EPERM) return 2;
    if (::unshare(CLONE_NEWNET) == 0 || errno != EPERM) return 3;
    int fd = ::open("/dev/null", O_WRONLY);
    if (fd < 0 || ::write(fd, "x", 1) != 1) return 4;
    bool ran = false;
    std::thread([&] { ran = true; }).join();
    return ran ? 0 : 5;
  });
  EXPECT_EQ(restricted.wait().code, 0);

  // Without new processes: no fork, no spawn; threads still work.
  ChildProcess alone = ChildProcess::run([] {
    restrictSystemCalls(NewProcesses::Denied);
    if (::fork() >= 0 || errno != EPERM) return 1;
    FILE* pipe = ::popen("true", "r");
    if (pipe && ::pclose(pipe) == 0) return 2;
    bool ran = false;
    std::thread([&] { ran = true; }).join();
    return ran ? 0 : 3;
  });
  EXPECT_EQ(alone.wait().code, 0);
}

}  // namespace
