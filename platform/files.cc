#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/transfer.h"

namespace docmill::platform {

std::optional<int64_t> fileLength(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

namespace {

constexpr uint64_t kBlock = 4096;
constexpr int kMaxFolderDepth = 64;

// Adds what the entries of the open folder `fd` take to `*total`; takes `fd` over.
void addFolder(int fd, int depth, uint64_t* total) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  while (dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    *total += size > kBlock ? size : kBlock;
    if (S_ISDIR(st.st_mode) && depth < kMaxFolderDepth) {
      const int child =
          ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) addFolder(child, depth + 1, total);
    }
  }
  ::closedir(dir);
}

}  // namespace

uint64_t bytesUnder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  uint64_t total = 0;
  addFolder(fd, 0, &total);
  return total;
}

std::optional<std::string> fileStamp(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

std::optional<FileIdentity> identityOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

std::vector<FileIdentity> openFileIdentities() {
  std::vector<FileIdentity> open;
  for (int fd = 0; fd < 1024; ++fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) open.push_back({st.st_dev, st.st_ino});
  }
  return open;
}

namespace {

// A character device, pipe or socket: written into as a stream.
bool isStream(mode_t mode) {
  return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// Whether `text` (a path or a link's contents) names a descriptor of this process.
bool namesADescriptor(const std::string& text) {
  const std::string own = "/proc/" + std::to_string(::getpid()) + "/fd/";
  for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                    std::string("/proc/thread-self/fd/"), own}) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return text == "/dev/stdout" || text == "/dev/stderr";
}

}  // namespace

bool isWrittenInto(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISLNK(st.st_mode)) return isStream(st.st_mode);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return false;
  struct stat through;
  if (::stat(path.c_str(), &through) != 0 || S_ISDIR(through.st_mode) || S_ISBLK(through.st_mode)) {
    return false;
  }
  if (isStream(through.st_mode) || namesADescriptor(path)) return true;
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 && namesADescriptor(std::string(target, static_cast<size_t>(n)));
}

void deleteFile(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw OsError(EISDIR, "cannot delete", path);
    // A device, pipe or socket, or the link /dev/stdout, named as an output is written into,
    // never removed: unlinking /dev/null or /dev/stdout would break the machine for everyone.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return;
    if (S_ISLNK(st.st_mode) && isWrittenInto(path)) return;
  }
  if (::unlink(path.c_str()) != 0) throw OsError(errno, "cannot delete", path);
}

void removeQuietly(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
}

namespace {

EntryKind kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return EntryKind::File;
  if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
  if (S_ISLNK(st.st_mode)) return EntryKind::Link;
  return EntryKind::Other;
}

}  // namespace

EntryKind entryAt(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 ? kindOf(st) : EntryKind::None;
}

EntryKind entryThrough(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? kindOf(st) : EntryKind::None;
}

Descriptor openToRead(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw OsError(errno, "cannot read", path);
  return fd;
}

Descriptor openToWrite(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.valid()) throw OsError(errno, "cannot write", path);
  return fd;
}

Descriptor openWorkingFolder() {
  return Descriptor(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

void removeSocket(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
}

void makeLink(const std::string& target, const std::string& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    throw OsError(errno, "cannot create the link", link);
  }
}

void makeDirectory(const std::string& path, mode_t mode) {
  if (path.empty()) throw OsError(ENOENT, "cannot create the folder", path);
  if (::mkdir(path.c_str(), mode) != 0) throw OsError(errno, "cannot create the folder", path);
}

bool createExclusive(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

unsigned creationMode() {
  // Reading the umask through umask() would change it for every thread for a moment.
  unsigned mask = 022;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) {
      mask = static_cast<unsigned>(std::strtoul(line.c_str() + 6, nullptr, 8));
      break;
    }
  }
  return 0666u & ~mask & 0777u;
}

void publishFile(const std::string& from, const std::string& to) {
  if (::chmod(from.c_str(), creationMode()) != 0) throw OsError(errno, "cannot prepare", from);
  moveFile(from, to);
}

}  // namespace docmill::platform
