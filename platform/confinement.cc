#include "platform/confinement.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/process.h"

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

std::string idMap(unsigned id) {
  return std::to_string(id) + " " + std::to_string(id) + " 1\n";
}

// Whether a child can have a network namespace of its own: tried once per process in a
// throw-away child, since what the kernel allows depends on privileges and settings that no
// call tells up front.
bool networkNamespaceAllowed(const std::string& uidMap, const std::string& gidMap) {
  static std::once_flag once;
  static bool allowed = false;
  std::call_once(once, [&] {
    const pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
      ::_exit(enterPrivateNetworkInChild(uidMap.data(), uidMap.size(), gidMap.data(),
                                         gidMap.size()) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    allowed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  });
  return allowed;
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

void Confinement::allowReadOnly(const std::string& path) {
  rules_.push_back({path, kReadFile | kReadDir, true});
}

void Confinement::allowWriteFile(const std::string& path) {
  // Only files: a folder here would open everything beneath it to writing.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return;
  rules_.push_back({path, kReadFile | kWriteFile | kTruncate, true, true});
}

void Confinement::allowPrivateFolder(const std::string& folder) {
  rules_.push_back({folder, ~(kExecute | kIoctlDev), true});
}

bool Confinement::restrictThisProcess() {
  if (!prepare().files) return false;
  if (int err = enterInChild()) throw OsError(err, "cannot restrict file access");
  return true;
}

bool restrictFileAccess(const FileAccess& access) {
  Confinement confinement;
  for (const auto& path : access.readable) confinement.allowReadOnly(path);
  for (const auto& path : access.writable) confinement.allowWriteFile(path);
  for (const auto& path : access.privateFolders) confinement.allowPrivateFolder(path);
  return confinement.restrictThisProcess();
}

bool restrictFileAccess(const std::vector<std::string>& readableFolders) {
  FileAccess access;
  access.readable = readableFolders;
  return restrictFileAccess(access);
}

Confinement::InForce Confinement::prepare() {
  InForce inForce;
  uidMap_ = idMap(::getuid());
  gidMap_ = idMap(::getgid());
  ownNetwork_ = isolateNetwork_ && networkNamespaceAllowed(uidMap_, gidMap_);
  inForce.ownNetwork = ownNetwork_;

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
    if (rule.path.empty()) continue;
    const int fd =
        ::open(rule.path.c_str(), O_PATH | O_CLOEXEC | (rule.notThroughLink ? O_NOFOLLOW : 0));
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR || rule.leftOutUnlessOpened) continue;
      throw OsError(errno, "cannot open for a file access rule", rule.path);
    }
    struct stat st {};
    uint64_t allowed = rule.access & handled;
    if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) allowed &= kFileRights;
    // A link put there since the rule was asked for: left out like a missing path.
    if (rule.notThroughLink && S_ISLNK(st.st_mode)) allowed = 0;
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
  // Where the trial worked, a failure now is not ignored: past a user namespace's unshare
  // there is no way back, and wrong ids would make the child unreachable.
  if (ownNetwork_) {
    if (int err = enterPrivateNetworkInChild(uidMap_.data(), uidMap_.size(), gidMap_.data(),
                                             gidMap_.size())) {
      return err;
    }
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
