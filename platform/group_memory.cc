#include "platform/group_memory.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace docmill::platform {

namespace {

// The process group (field 5) and resident pages (field 24) of /proc/PID/stat, read with
// plain system calls: this runs every few hundred milliseconds while offices work.
bool readStat(const char* pid, pid_t* group, uint64_t* pages) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  // The command name (field 2) is in parentheses and may itself hold spaces or ')'.
  char* p = std::strrchr(buf, ')');
  if (!p) return false;
  ++p;
  // Fields 3 onwards, separated by single spaces.
  unsigned long long fields[22] = {};
  int field = 3;
  while (field <= 24 && *p) {
    while (*p == ' ') ++p;
    if (field == 3) {
      while (*p && *p != ' ') ++p;  // the state, a letter
    } else {
      char* end = nullptr;
      const long long value = std::strtoll(p, &end, 10);
      if (end == p) return false;
      fields[field - 3] = static_cast<unsigned long long>(value < 0 ? 0 : value);
      p = end;
    }
    ++field;
  }
  if (field <= 24) return false;
  *group = static_cast<pid_t>(fields[5 - 3]);
  *pages = fields[24 - 3];
  return true;
}

}  // namespace

std::vector<uint64_t> residentBytesOfGroups(const std::vector<pid_t>& groups) {
  std::vector<uint64_t> bytes(groups.size(), 0);
  DIR* proc = ::opendir("/proc");
  if (!proc) throw OsError(errno, "cannot read", "/proc");
  const uint64_t pageSize = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  while (dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    pid_t group = 0;
    uint64_t pages = 0;
    if (!readStat(entry->d_name, &group, &pages)) continue;
    for (size_t i = 0; i < groups.size(); ++i) {
      if (groups[i] > 0 && groups[i] == group) bytes[i] += pages * pageSize;
    }
  }
  ::closedir(proc);
  return bytes;
}

void useOneAllocatorPool() {
  ::mallopt(M_ARENA_MAX, 1);
}

void releaseFreedMemory() {
  ::malloc_trim(0);
}

}  // namespace docmill::platform
