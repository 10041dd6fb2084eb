#include "platform/scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

namespace docmill::platform {

namespace {

constexpr std::string_view kHostPrefix = "docmill-host-";

// The start time of process `pid` in clock ticks after boot (field 22 of its stat file), or
// nothing when the process does not exist or /proc cannot say.
std::optional<unsigned long long> startTime(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  // The command name (field 2) is in parentheses and may itself hold spaces or ')'.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(line).substr(close + 1);
  // Fields 3 onwards; the start time is the 20th of them.
  for (int field = 3; field < 22; ++field) {
    const auto space = rest.find(' ', 1);
    if (space == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(space);
  }
  rest.remove_prefix(1);
  unsigned long long value = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (ec != std::errc()) return std::nullopt;
  (void)end;
  return value;
}

bool haveProc() {
  struct stat st;
  return ::stat("/proc/self/stat", &st) == 0;
}

// "docmill-host-PID-START-XXXXXX": true with the pid and start time when `name` has that form.
bool parseHostFolder(std::string_view name, std::string* pid, unsigned long long* start) {
  if (!name.starts_with(kHostPrefix)) return false;
  name.remove_prefix(kHostPrefix.size());
  const auto dash1 = name.find('-');
  if (dash1 == std::string_view::npos || dash1 == 0) return false;
  const auto dash2 = name.find('-', dash1 + 1);
  if (dash2 == std::string_view::npos) return false;
  std::string_view pidText = name.substr(0, dash1);
  std::string_view startText = name.substr(dash1 + 1, dash2 - dash1 - 1);
  for (char c : pidText) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, ec] = std::from_chars(startText.data(), startText.data() + startText.size(), *start);
  if (ec != std::errc() || end != startText.data() + startText.size()) return false;
  *pid = std::string(pidText);
  return true;
}

bool hostRuns(const std::string& pid, unsigned long long start) {
  if (!haveProc()) {
    // Without /proc a reused process id cannot be told apart: keep the folder.
    long value = std::strtol(pid.c_str(), nullptr, 10);
    return value > 0 && (::kill(static_cast<pid_t>(value), 0) == 0 || errno == EPERM);
  }
  auto actual = startTime(pid);
  return actual && *actual == start;
}

std::string makeFolder(const std::string& parent, const std::string& prefix) {
  std::string templ = parent + "/" + prefix + "XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw OsError(errno, "cannot create a folder in", parent);
  return templ;
}

// The process's folder and the process that made it: a child forked from the host must
// not remove its parent's folder when it exits.
struct HostFolder {
  std::mutex mutex;
  std::string path;
  pid_t owner = 0;
};

HostFolder& hostFolder() {
  static auto* folder = new HostFolder;  // never destroyed: the exit handler reads it
  return *folder;
}

void removeHostFolderAtExit() {
  HostFolder& folder = hostFolder();
  std::lock_guard lock(folder.mutex);
  if (!folder.path.empty() && folder.owner == ::getpid()) removeTree(folder.path);
  folder.path.clear();
}

}  // namespace

std::string systemTempFolder() {
  const char* t = std::getenv("TMPDIR");
  return (t && *t) ? std::string(t) : std::string("/tmp");
}

std::string hostScratchFolder() {
  HostFolder& folder = hostFolder();
  std::lock_guard lock(folder.mutex);
  if (!folder.path.empty() && folder.owner == ::getpid()) {
    // Made anew when something removed it (a cleaner of old temporary files, say).
    struct stat st;
    if (::lstat(folder.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
      return folder.path;
    }
  }
  const std::string parent = systemTempFolder();
  removeDeadHostFolders(parent);
  const std::string self = std::to_string(::getpid());
  const std::string prefix =
      std::string(kHostPrefix) + self + "-" + std::to_string(startTime(self).value_or(0)) + "-";
  folder.path = makeFolder(parent, prefix);
  if (folder.owner == 0) std::atexit(removeHostFolderAtExit);
  folder.owner = ::getpid();
  return folder.path;
}

int removeDeadHostFolders(const std::string& parent) {
  DIR* dir = ::opendir(parent.c_str());
  if (!dir) return 0;
  std::vector<std::string> dead;
  const uid_t me = ::getuid();
  while (dirent* entry = ::readdir(dir)) {
    std::string pid;
    unsigned long long start = 0;
    if (!parseHostFolder(entry->d_name, &pid, &start)) continue;
    const std::string path = parent + "/" + entry->d_name;
    struct stat st;
    // Only real folders of this user: never a link, never somebody else's files.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me) continue;
    if (!hostRuns(pid, start)) dead.push_back(path);
  }
  ::closedir(dir);
  for (const auto& path : dead) removeTree(path);
  return static_cast<int>(dead.size());
}

int removeDeadProcessSockets(const std::string& folder, const std::string& prefix) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  std::vector<std::string> dead;
  const uid_t me = ::getuid();
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    name.remove_prefix(prefix.size());
    long pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || pid <= 0 || end == name.data() + name.size() || *end != '-') continue;
    const std::string path = folder + "/" + entry->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != me) continue;
    // A process id that is in use again keeps the files: never guess.
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    dead.push_back(path);
  }
  ::closedir(dir);
  int removed = 0;
  for (const auto& path : dead) removed += ::unlink(path.c_str()) == 0 ? 1 : 0;
  return removed;
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  // remove_all removes links themselves and does not descend through them.
  std::filesystem::remove_all(path, ec);
}

TempFolder::TempFolder(const std::string& parent, const std::string& prefix)
    : path_(makeFolder(parent, prefix)) {}

TempFolder::TempFolder(TempFolder&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TempFolder& TempFolder::operator=(TempFolder&& other) noexcept {
  if (this != &other) {
    removeTree(path_);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TempFolder::~TempFolder() {
  removeTree(path_);
}

TempFile::TempFile(const std::string& parent, const std::string& prefix,
                   const std::string& suffix) {
  std::string templ = parent + "/" + prefix + "XXXXXX" + suffix;
  // mkstemps opens with O_CREAT|O_EXCL and mode 0600, so a planted file or link is never used.
  int fd = ::mkostemps(templ.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) throw OsError(errno, "cannot create a file in", parent);
  ::close(fd);
  path_ = std::move(templ);
}

TempFile::TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) ::unlink(path_.c_str());
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TempFile::~TempFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace docmill::platform
