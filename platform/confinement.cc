#include "platform/confinement.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace docmill::platform {

namespace {

// The Landlock interface, spelled out here because the system headers of older releases
// lack the parts added since (network rules, scopes).
constexpr int kCreateRulesetVersion = 1;
constexpr int kRulePathBeneath = 1;

enum : uint64_t {
  kExecute = 1ULL << 0,
  kWriteFile = 1ULL << 1,
  kReadFile = 1ULL << 2,
  kReadDir = 1ULL << 3,
  kMakeSock = 1ULL << 9,
  kTruncate = 1ULL << 14,  // version 3
  kIoctlDev = 1ULL << 15,  // version 5
};
constexpr uint64_t kNetBindTcp = 1ULL << 0;
constexpr uint64_t kNetConnectTcp = 1ULL << 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0;
constexpr uint64_t kScopeSignal = 1ULL << 1;
// Rights that concern the file itself; the others apply to folders only.
constexpr uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

struct RulesetAttr {
  uint64_t handledFs;
  uint64_t handledNet;  // version 4
  uint64_t scoped;      // version 6
};

struct __attribute__((packed)) PathBeneathAttr {
  uint64_t allowed;
  int32_t parentFd;
};

// Every file-system right the kernel's version knows: the ones handled are refused unless
// a rule allows them.
uint64_t handledFs(int version) {
  uint64_t rights = (1ULL << 13) - 1;      // version 1: execute .. make symlink
  if (version >= 2) rights |= 1ULL << 13;  // refer (linking and renaming across folders)
  if (version >= 3) rights |= kTruncate;
  if (version >= 5) rights |= kIoctlDev;
  return rights;
}

int addRule(int ruleset, int fd, uint64_t allowed) {
  PathBeneathAttr attr{allowed, fd};
  return static_cast<int>(::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &attr, 0));
}

int writeAll(const char* path, const char* text, size_t length) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const ssize_t written = ::write(fd, text, length);
  const int err = written == static_cast<ssize_t>(length) ? 0 : (written < 0 ? errno : EIO);
  ::close(fd);
  return err;
}

// How a network namespace is made here: directly (root), through a user namespace of our
// own, or not at all.
enum class NetworkWay { None, Direct, ThroughUserNamespace };

int enterNetwork(NetworkWay way, const std::string& uidMap, const std::string& gidMap) {
  if (way == NetworkWay::Direct) return ::unshare(CLONE_NEWNET) == 0 ? 0 : errno;
  if (way != NetworkWay::ThroughUserNamespace) return 0;
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return errno;
  // Our own ids inside, so files and pipe names stay ours.
  if (int err = writeAll("/proc/self/setgroups", "deny", 4)) return err;
  if (int err = writeAll("/proc/self/uid_map", uidMap.data(), uidMap.size())) return err;
  return writeAll("/proc/self/gid_map", gidMap.data(), gidMap.size());
}

std::string idMap(unsigned id) {
  return std::to_string(id) + " " + std::to_string(id) + " 1\n";
}

// Tried once per process in a throw-away child, since what the kernel allows depends on
// privileges and settings no call tells up front.
NetworkWay networkWay(const std::string& uidMap, const std::string& gidMap) {
  static std::once_flag once;
  static NetworkWay way = NetworkWay::None;
  std::call_once(once, [&] {
    for (NetworkWay candidate : {NetworkWay::Direct, NetworkWay::ThroughUserNamespace}) {
      const pid_t child = ::fork();
      if (child < 0) return;
      if (child == 0) ::_exit(enterNetwork(candidate, uidMap, gidMap) == 0 ? 0 : 1);
      int status = 0;
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        way = candidate;
        return;
      }
    }
  });
  return way;
}

}  // namespace

Confinement::~Confinement() {
  if (ruleset_ >= 0) ::close(ruleset_);
}

int Confinement::landlockVersion() {
  const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  return version < 0 ? 0 : static_cast<int>(version);
}

void Confinement::allowRead(const std::string& path) {
  rules_.push_back({path, kExecute | kReadFile | kReadDir});
}

void Confinement::allowWrite(const std::string& path) {
  rules_.push_back({path, ~0ULL});
}

void Confinement::allowDevice(const std::string& path) {
  rules_.push_back({path, kReadFile | kWriteFile | kTruncate | kIoctlDev});
}

void Confinement::allowSockets(const std::string& folder) {
  rules_.push_back({folder, kMakeSock});
}

Confinement::InForce Confinement::prepare() {
  InForce inForce;
  uidMap_ = idMap(::getuid());
  gidMap_ = idMap(::getgid());
  if (isolateNetwork_) {
    const NetworkWay way = networkWay(uidMap_, gidMap_);
    networkWay_ = static_cast<int>(way);
    inForce.ownNetwork = way != NetworkWay::None;
  }

  const int version = landlockVersion();
  if (version < 1) return inForce;
  const uint64_t handled = handledFs(version);
  RulesetAttr attr{handled, 0, 0};
  size_t size = sizeof attr.handledFs;
  if (version >= 4) {
    attr.handledNet = kNetBindTcp | kNetConnectTcp;  // no rule allows any port
    size += sizeof attr.handledNet;
  }
  if (version >= 6) {
    // Nor may it reach abstract sockets or signal processes outside its own confinement.
    attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size += sizeof attr.scoped;
  }
  if (ruleset_ >= 0) ::close(ruleset_);
  ruleset_ = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, size, 0));
  if (ruleset_ < 0) throw OsError(errno, "cannot create file access rules");
  readAccess_ = kExecute | kReadFile | kReadDir;
  for (const Rule& rule : rules_) {
    const int fd = ::open(rule.path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      throw OsError(errno, "cannot open for a file access rule", rule.path);
    }
    struct stat st {};
    uint64_t allowed = rule.access & handled;
    if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) allowed &= kFileRights;
    const int result = allowed == 0 ? 0 : addRule(ruleset_, fd, allowed);
    const int err = errno;
    ::close(fd);
    if (result != 0) throw OsError(err, "cannot add a file access rule for", rule.path);
  }
  inForce.files = true;
  inForce.tcp = version >= 4;
  return inForce;
}

int Confinement::enterInChild() const noexcept {
  const auto way = static_cast<NetworkWay>(networkWay_);
  if (way == NetworkWay::ThroughUserNamespace) {
    // Past the unshare there is no way back: wrong ids would make the office unreachable.
    if (int err = enterNetwork(way, uidMap_, gidMap_)) return err;
  } else if (way == NetworkWay::Direct && ::unshare(CLONE_NEWNET) != 0) {
    return errno;
  }
  if (ruleset_ < 0) return 0;
  if (ownProcessEntry_) {
    const int fd = ::open("/proc/self", O_PATH | O_CLOEXEC);
    if (fd >= 0) {
      addRule(ruleset_, fd, readAccess_);
      ::close(fd);
    }
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (::syscall(SYS_landlock_restrict_self, ruleset_, 0) != 0) return errno;
  return 0;
}

}  // namespace docmill::platform
