#include "platform/file_access.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace docmill::platform {

namespace {

// The file-system rights each version of the kernel interface knows; all of them are
// denied unless a rule grants them.
uint64_t knownRights(long abi) {
  uint64_t rights = (1ull << 13) - 1;  // execute .. make symbolic link
  if (abi >= 2) rights |= 1ull << 13;  // refer (link or rename across folders)
  if (abi >= 3) rights |= 1ull << 14;  // truncate
  if (abi >= 5) rights |= 1ull << 15;  // device ioctl
  return rights;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool restrictFileAccess(const std::vector<std::string>& readableFolders) {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    if (errno == ENOSYS || errno == EOPNOTSUPP) return false;
    throw OsError(errno, "cannot restrict file access");
  }
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = knownRights(abi);
  Descriptor ruleset(
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (ruleset.get() < 0) throw OsError(errno, "cannot restrict file access");

  for (const auto& folder : readableFolders) {
    Descriptor dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) continue;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    rule.parent_fd = dir.get();
    if (::syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) !=
        0) {
      throw OsError(errno, "cannot allow reading", folder);
    }
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    throw OsError(errno, "cannot restrict file access");
  }
  if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
    throw OsError(errno, "cannot restrict file access");
  }
  return true;
}

}  // namespace docmill::platform
