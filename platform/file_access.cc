#include "platform/file_access.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/channel.h"

namespace docmill::platform {

namespace {

// The kernel's access rights by number, including those newer than the system's header.
constexpr uint64_t kExecute = 1ull << 0;
constexpr uint64_t kWriteFile = 1ull << 1;
constexpr uint64_t kReadFile = 1ull << 2;
constexpr uint64_t kReadDir = 1ull << 3;
constexpr uint64_t kTruncate = 1ull << 14;  // from version 3
constexpr uint64_t kIoctlDev = 1ull << 15;  // from version 5
// What may be done to a file itself; the other rights concern folders.
constexpr uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

// The rights each version of the interface knows.
uint64_t handledFileSystemRights(int version) {
  uint64_t rights = (1ull << 13) - 1;      // version 1: execute to make-symlink
  if (version >= 2) rights |= 1ull << 13;  // refer: linking and renaming across folders
  if (version >= 3) rights |= kTruncate;
  if (version >= 5) rights |= kIoctlDev;
  return rights;
}

// The ruleset's attributes as the newest kernels read them; older ones read a prefix.
struct RulesetAttributes {
  uint64_t handledFileSystem = 0;
  uint64_t handledNetwork = 0;  // from version 4: TCP bind and connect
  uint64_t scoped = 0;          // from version 6: abstract sockets and signals
};

size_t attributeSize(int version) {
  if (version >= 6) return sizeof(RulesetAttributes);
  if (version >= 4) return 2 * sizeof(uint64_t);
  return sizeof(uint64_t);
}

int createRuleset(const RulesetAttributes* attributes, size_t size, uint32_t flags) {
  return static_cast<int>(::syscall(SYS_landlock_create_ruleset, attributes, size, flags));
}

// Adds a rule for `path` with `rights`, narrowed to what a file may carry when `path` is
// not a folder. Paths that cannot be opened are skipped.
void addRule(int ruleset, const std::string& path, uint64_t rights, uint64_t handled) {
  if (path.empty()) return;
  Descriptor fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd.valid()) return;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) rights &= kFileRights;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights & handled;
  rule.parent_fd = fd.get();
  if (rule.allowed_access == 0) return;
  if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
    throw OsError(errno, "cannot allow access to", path);
  }
}

}  // namespace

bool restrictFileAccess(const FileAccess& access) {
  const int version = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version < 0) {
    if (errno == ENOSYS || errno == EOPNOTSUPP) return false;
    throw OsError(errno, "cannot ask the kernel for file access restrictions");
  }
  RulesetAttributes attributes;
  attributes.handledFileSystem = handledFileSystemRights(version);
  if (version >= 4) attributes.handledNetwork = 0x3;  // bind and connect, never allowed
  if (version >= 6) attributes.scoped = 0x3;          // abstract sockets and signals
  const uint64_t handled = attributes.handledFileSystem;
  Descriptor ruleset(createRuleset(&attributes, attributeSize(version), 0));
  if (!ruleset.valid()) throw OsError(errno, "cannot create a file access ruleset");

  for (const auto& path : access.readable) {
    addRule(ruleset.get(), path, kReadFile | kReadDir, handled);
  }
  for (const auto& path : access.writable) {
    // Only files: a folder here would open everything beneath it to writing.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    addRule(ruleset.get(), path, kReadFile | kWriteFile | kTruncate, handled);
  }
  for (const auto& path : access.privateFolders) {
    addRule(ruleset.get(), path, handled & ~(kExecute | kIoctlDev), handled);
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) throw OsError(errno, "cannot restrict");
  if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
    throw OsError(errno, "cannot restrict file access");
  }
  return true;
}

bool restrictFileAccess(const std::vector<std::string>& readableFolders) {
  FileAccess access;
  access.readable = readableFolders;
  return restrictFileAccess(access);
}

}  // namespace docmill::platform
