#include "platform/process.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/confinement.h"

extern char** environ;

namespace docmill::platform {

namespace {

// ---- In the child, between fork and exec: system calls only, no allocation, no locks. ----

// Reports a failed step to the parent through the error pipe and ends the child.
[[noreturn]] void failChild(int reportFd, int err) {
  if (reportFd >= 0) (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

bool setLimit(int resource, uint64_t value) {
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
  return ::setrlimit(resource, &limit) == 0;
}

// A program built with ThreadSanitizer reserves terabytes of shadow address space as it
// starts, so no address-space limit leaves it room to run. Such builds test concurrency, not
// limits: there the limit is left out.
#if defined(__SANITIZE_THREAD__)
constexpr bool kAddressSpaceLimits = false;
#else
constexpr bool kAddressSpaceLimits = true;
#endif

int applyLimitsRaw(const ResourceLimits& limits) {
  if (kAddressSpaceLimits && limits.addressSpaceBytes &&
      !setLimit(RLIMIT_AS, limits.addressSpaceBytes)) {
    return errno;
  }
  if (limits.cpuSeconds) {
    // The soft limit sends SIGXCPU; the hard limit one second later kills for sure.
    struct rlimit cpu;
    cpu.rlim_cur = static_cast<rlim_t>(limits.cpuSeconds);
    cpu.rlim_max = static_cast<rlim_t>(limits.cpuSeconds + 1);
    if (::setrlimit(RLIMIT_CPU, &cpu) != 0) return errno;
  }
  if (limits.fileSizeBytes && !setLimit(RLIMIT_FSIZE, limits.fileSizeBytes)) return errno;
  if (limits.openFiles && !setLimit(RLIMIT_NOFILE, limits.openFiles)) return errno;
  if (limits.noCoreDumps && !setLimit(RLIMIT_CORE, 0)) return errno;
  return 0;
}

// Writes `text` to /proc/self/<file>; for the identity maps of a new user namespace.
bool writeProcFile(const char* file, const char* text, size_t length) {
  int fd = ::open(file, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text, length) == static_cast<ssize_t>(length);
  ::close(fd);
  return ok;
}

// A network namespace of its own: directly where the process may (root), else inside a new
// user namespace in which the process keeps its own identity.
int enterPrivateNetwork(uid_t uid, gid_t gid, const char* uidMap, size_t uidLen, const char* gidMap,
                        size_t gidLen) {
  if (::unshare(CLONE_NEWNET) == 0) return 0;
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return errno;
  (void)uid;
  (void)gid;
  if (!writeProcFile("/proc/self/setgroups", "deny", 4)) return errno;
  if (!writeProcFile("/proc/self/uid_map", uidMap, uidLen)) return errno;
  if (!writeProcFile("/proc/self/gid_map", gidMap, gidLen)) return errno;
  return 0;
}

// Everything the child needs, prepared before the fork so that the child allocates nothing.
struct ChildPlan {
  const SpawnOptions* options = nullptr;
  std::vector<char*> argv;
  std::vector<char*> envp;
  pid_t parent = 0;
  int reportFd = -1;  // write end of the error pipe (close-on-exec)
  bool execs = true;  // false: the child runs a function, and nothing closes on exec
  char uidMap[64] = {};
  char gidMap[64] = {};
  size_t uidLen = 0;
  size_t gidLen = 0;
};

// The common set-up of every child: own session and process group, death with the host,
// descriptors, network, working folder, limits. Returns 0 or the errno of the failed step.
int prepareChild(const ChildPlan& plan) {
  const SpawnOptions& options = *plan.options;
  ::setsid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != plan.parent) ::_exit(127);  // the host is already gone

  // Move the descriptors to hand on above every target number, so that placing one does
  // not overwrite another that is still to be placed.
  int highest = 2;
  for (const auto& [from, to] : options.descriptors) highest = std::max(highest, to);
  int moved[64];
  const size_t count = std::min<size_t>(options.descriptors.size(), 64);
  for (size_t i = 0; i < count; ++i) {
    moved[i] = ::fcntl(options.descriptors[i].first, F_DUPFD_CLOEXEC, highest + 1);
    if (moved[i] < 0) return errno;
  }
  // Everything else is closed at exec (the error pipe included, which tells the parent
  // that exec succeeded).
  if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 65536; ++fd) {
      int flags = ::fcntl(fd, F_GETFD);
      if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }
  bool placed[3] = {false, false, false};
  for (size_t i = 0; i < count; ++i) {
    const int to = options.descriptors[i].second;
    if (::dup2(moved[i], to) < 0) return errno;
    if (to < 3) placed[to] = true;
  }
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull < 0) return errno;
  for (int fd = 0; fd < 3; ++fd) {
    if (!placed[fd] && ::dup2(devnull, fd) < 0) return errno;
  }
  if (!plan.execs) {
    // No exec will close them: everything but the placed descriptors goes now.
    if (::syscall(SYS_close_range, static_cast<unsigned>(highest + 1), ~0u, 0u) != 0) {
      for (int fd = highest + 1; fd < 65536; ++fd) ::close(fd);
    }
    for (int fd = 3; fd <= highest; ++fd) {
      bool target = false;
      for (size_t i = 0; i < count; ++i) target = target || options.descriptors[i].second == fd;
      if (!target) ::close(fd);
    }
  }

  if (options.privateNetwork) {
    int err = enterPrivateNetwork(::getuid(), ::getgid(), plan.uidMap, plan.uidLen, plan.gidMap,
                                  plan.gidLen);
    if (err) return err;
  }
  if (!options.workingFolder.empty() && ::chdir(options.workingFolder.c_str()) != 0) return errno;
  if (int err = applyLimitsRaw(options.limits)) return err;
  if (options.confinement) {
    if (int err = options.confinement->enterInChild()) return err;
  }
  return 0;
}

ChildPlan makePlan(const SpawnOptions& options, std::vector<std::string>& envStore) {
  ChildPlan plan;
  plan.options = &options;
  plan.parent = ::getpid();
  for (const auto& arg : options.argv) plan.argv.push_back(const_cast<char*>(arg.c_str()));
  plan.argv.push_back(nullptr);
  if (options.environment) {
    envStore = *options.environment;
  } else {
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  }
  for (auto& entry : envStore) plan.envp.push_back(entry.data());
  plan.envp.push_back(nullptr);
  plan.uidLen = static_cast<size_t>(
      std::snprintf(plan.uidMap, sizeof plan.uidMap, "%u %u 1\n", ::getuid(), ::getuid()));
  plan.gidLen = static_cast<size_t>(
      std::snprintf(plan.gidMap, sizeof plan.gidMap, "%u %u 1\n", ::getgid(), ::getgid()));
  return plan;
}

int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Runs `fork` on one thread that lives as long as the process. The kernel sends the
// parent-death signal when the thread that forked ends, not the process: a child started
// from a short-lived worker thread would otherwise be killed with that thread. Callers
// take turns; each hands in its own job and takes back its own result.
pid_t forkFromLongLivedThread(const std::function<pid_t()>& fork) {
  struct Job {
    const std::function<pid_t()>* fork;
    pid_t result = 0;
    int err = 0;
    bool done = false;
  };
  struct Forker {
    std::mutex mutex;
    std::condition_variable changed;
    Job* job = nullptr;
  };
  // Never destroyed: the thread waits on it until the process ends.
  static Forker* forker = [] {
    auto* f = new Forker;
    std::thread([f] {
      std::unique_lock lock(f->mutex);
      for (;;) {
        f->changed.wait(lock, [f] { return f->job != nullptr; });
        Job* job = f->job;
        job->result = (*job->fork)();
        job->err = errno;
        job->done = true;
        f->job = nullptr;
        f->changed.notify_all();
      }
    }).detach();
    return f;
  }();
  Job mine{&fork};
  std::unique_lock lock(forker->mutex);
  forker->changed.wait(lock, [] { return forker->job == nullptr; });
  forker->job = &mine;
  forker->changed.notify_all();
  forker->changed.wait(lock, [&] { return mine.done; });
  errno = mine.err;
  return mine.result;
}

ExitStatus statusFrom(int raw, const rusage& usage) {
  ExitStatus status;
  status.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(raw)) {
    status.exited = true;
    status.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.signal = WTERMSIG(raw);
  }
  return status;
}

}  // namespace

int enterPrivateNetworkInChild(const char* uidMap, size_t uidLength, const char* gidMap,
                               size_t gidLength) noexcept {
  return enterPrivateNetwork(::getuid(), ::getgid(), uidMap, uidLength, gidMap, gidLength);
}

std::string ExitStatus::describe() const {
  if (exited) return "exit status " + std::to_string(code);
  const char* name = ::strsignal(signal);
  return "signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      pidfd_(std::exchange(other.pidfd_, -1)),
      status_(std::move(other.status_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = std::exchange(other.pid_, 0);
    pidfd_ = std::exchange(other.pidfd_, -1);
    status_ = std::move(other.status_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  reset();
}

void ChildProcess::reset() {
  if (pid_ > 0 && !status_) {
    kill();
    wait();
  }
  if (pidfd_ >= 0) ::close(pidfd_);
  pid_ = 0;
  pidfd_ = -1;
  status_.reset();
}

ChildProcess ChildProcess::start(const SpawnOptions& options) {
  if (options.argv.empty()) throw OsError(EINVAL, "cannot start a program without a name");
  std::vector<std::string> envStore;
  ChildPlan plan = makePlan(options, envStore);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw OsError(errno, "cannot start", options.argv[0]);
  plan.reportFd = report[1];

  pid_t pid = forkFromLongLivedThread([&plan]() -> pid_t {
    pid_t child = ::fork();
    if (child != 0) return child;
    if (int err = prepareChild(plan)) failChild(plan.reportFd, err);
    ::execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    failChild(plan.reportFd, errno);
  });
  const int forkErr = errno;
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    throw OsError(forkErr, "cannot start", options.argv[0]);
  }
  ChildProcess child(pid, openPidfd(pid));
  // The pipe closes at a successful exec; a failed step writes its errno first.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    child.wait();
    throw OsError(err, "cannot start", options.argv[0]);
  }
  return child;
}

ChildProcess ChildProcess::run(const std::function<int()>& body, const SpawnOptions& options) {
  std::vector<std::string> envStore;
  SpawnOptions own = options;
  own.argv.clear();
  own.environment = std::vector<std::string>{};
  ChildPlan plan = makePlan(own, envStore);
  plan.execs = false;
  pid_t pid = ::fork();
  if (pid < 0) throw OsError(errno, "cannot make a child process");
  if (pid == 0) {
    if (prepareChild(plan) != 0) ::_exit(127);
    int code = 70;
    try {
      code = body();
    } catch (...) {
      code = 70;
    }
    ::_exit(code);
  }
  return ChildProcess(pid, openPidfd(pid));
}

std::optional<ExitStatus> ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline) {
  if (status_) return status_;
  if (pid_ <= 0) return ExitStatus{};
  for (;;) {
    int raw = 0;
    rusage usage{};
    pid_t got = ::wait4(pid_, &raw, WNOHANG, &usage);
    if (got == pid_) {
      status_ = statusFrom(raw, usage);
      return status_;
    }
    if (got < 0 && errno != EINTR) {
      // Reaped elsewhere (a host that ignores SIGCHLD): nothing more can be known.
      status_ = ExitStatus{};
      return status_;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, 1000)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left + 1, 5)));
    }
  }
}

ExitStatus ChildProcess::wait() {
  if (status_) return *status_;
  return *waitUntil(std::chrono::steady_clock::time_point::max());
}

void ChildProcess::signalGroup(int signal) {
  if (pid_ <= 0 || status_) return;
  ::kill(-pid_, signal);
}

bool groupHasMembers(pid_t group) noexcept {
  return group > 0 && ::kill(-group, 0) == 0;
}

namespace {

struct ProcEntry {
  pid_t pid = 0;
  char state = 0;
  pid_t parent = 0;
  pid_t group = 0;
};

// Calls `visit` with each process /proc lists until it returns true; true then. A process
// that ends while the list is read is left out.
template <typename Visit>
bool anyProcess(Visit visit) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
       it.increment(ec)) {
    ProcEntry e;
    e.pid = static_cast<pid_t>(std::atoi(it->path().filename().c_str()));
    if (e.pid <= 0) continue;
    std::ifstream stat(it->path() / "stat");
    std::string line;
    std::getline(stat, line);
    // The name in parentheses may hold anything; the state, parent and group follow.
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    int parent = 0, group = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d %d", &e.state, &parent, &group) != 3) {
      continue;
    }
    e.parent = parent;
    e.group = group;
    if (visit(e)) return true;
  }
  return false;
}

}  // namespace

bool groupHasLiveMembers(pid_t group) noexcept {
  if (!groupHasMembers(group)) return false;
  try {
    return anyProcess([group](const ProcEntry& e) {
      return e.group == group && e.state != 'Z' && e.state != 'X';
    });
  } catch (...) {
    // Unable to look: as if something still ran.
    return true;
  }
}

void signalGroup(pid_t group, int signal) noexcept {
  if (group > 0) ::kill(-group, signal);
}

std::vector<pid_t> unreapedChildren() {
  std::vector<pid_t> result;
  const pid_t self = ::getpid();
  anyProcess([&](const ProcEntry& e) {
    if (e.parent == self && e.state == 'Z') result.push_back(e.pid);
    return false;
  });
  return result;
}

std::vector<std::string> namedSocketsOf(pid_t pid, const std::string& part) {
  std::vector<std::string> paths;
  try {
    std::vector<std::string> inodes;
    std::error_code ec;
    const std::string entry = "/proc/" + std::to_string(pid);
    for (const auto& fd : std::filesystem::directory_iterator(entry + "/fd", ec)) {
      const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
      if (target.starts_with("socket:[")) inodes.push_back(target.substr(8, target.size() - 9));
    }
    std::ifstream table(entry + "/net/unix");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string num, refs, protocol, flags, type, state, inode, path;
      fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
      if (path.find(part) == std::string::npos) continue;
      if (std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) paths.push_back(path);
    }
  } catch (const std::exception&) {
    // A process that went while it was read holds nothing more.
  }
  return paths;
}

void ChildProcess::kill() {
  if (pid_ <= 0 || status_) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case it has not made its own group yet
}

void applyLimits(const ResourceLimits& limits) {
  if (int err = applyLimitsRaw(limits)) throw OsError(err, "cannot set a resource limit");
}

uint64_t addressSpaceInUse() {
  // The first field of statm is the size of every mapping, in pages.
  int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  const uint64_t pages = std::strtoull(text, nullptr, 10);
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

void restrictSystemCalls(NewProcesses processes) {
#if defined(__x86_64__)
  constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
  throw OsError(ENOSYS, "no system call filter for this architecture");
#endif
  // Calls that fail with EPERM from now on.
  static const int kDenied[] = {
      SYS_execve,
      SYS_execveat,
      SYS_socket,
      SYS_ptrace,
      SYS_process_vm_readv,
      SYS_process_vm_writev,
      SYS_mount,
      SYS_umount2,
      SYS_unshare,
      SYS_setns,
      SYS_chroot,
      SYS_pivot_root,
      SYS_kexec_load,
      SYS_kexec_file_load,
      SYS_init_module,
      SYS_finit_module,
      SYS_delete_module,
      SYS_bpf,
      SYS_userfaultfd,
      SYS_perf_event_open,
      SYS_keyctl,
      SYS_add_key,
      SYS_request_key,
      SYS_io_uring_setup,
      SYS_io_uring_enter,
      SYS_io_uring_register,
  };
  constexpr uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWPID |
                                       CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWCGROUP;
  const uint32_t eperm = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
  std::vector<sock_filter> program;
  auto stmt = [&](uint16_t code, uint32_t k) { program.push_back(BPF_STMT(code, k)); };
  auto jump = [&](uint16_t code, uint32_t k, uint8_t t, uint8_t f) {
    program.push_back(BPF_JUMP(code, k, t, f));
  };
  stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
  jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0);
  stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
#if defined(__x86_64__)
  // The x32 numbering reaches the same calls under other numbers.
  jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1);
  stmt(BPF_RET | BPF_K, eperm);
#endif
  for (int nr : kDenied) {
    jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1);
    stmt(BPF_RET | BPF_K, eperm);
  }
  const bool noProcesses = processes == NewProcesses::Denied;
#if defined(SYS_fork)
  if (noProcesses) {
    for (int nr : {SYS_fork, SYS_vfork}) {
      jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1);
      stmt(BPF_RET | BPF_K, eperm);
    }
  }
#endif
  // clone3 passes its flags in memory the filter cannot read: it reports "not implemented",
  // and the C library falls back to clone, whose flags it can.
  jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1);
  stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA));
  jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, noProcesses ? 5 : 3);
  stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0]));
  jump(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 0, 1);
  stmt(BPF_RET | BPF_K, eperm);
  if (noProcesses) {
    // A new thread shares the process; anything else is a new process.
    jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0);
    stmt(BPF_RET | BPF_K, eperm);
  }
  stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);

  sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) throw OsError(errno, "cannot restrict");
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &fprog) != 0) {
    throw OsError(errno, "cannot install the system call filter");
  }
}

}  // namespace docmill::platform
