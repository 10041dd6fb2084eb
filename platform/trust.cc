#include "platform/trust.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "platform/io.h"

namespace docmill::platform {

namespace {

// Links followed before a path counts as a loop, as the kernel counts them.
constexpr int kMaxLinks = 40;

bool trustedOwner(uid_t uid) {
  return uid == 0 || uid == ::geteuid();
}

// Appends the components of `path` to `pending` so that the first component is taken
// first (the list is used as a stack). Empty and "." components say nothing.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    at = slash + 1;
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

std::string joined(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out;
}

std::string describeErrno(int err) {
  return std::strerror(err);
}

std::string randomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device source;
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  std::string out(6, 'x');
  for (char& c : out) c = kChars[pick(source)];
  return out;
}

}  // namespace

std::optional<std::string> untrustedEntry(const struct stat& st, LastEntry last) {
  if (!trustedOwner(st.st_uid)) return "belongs to another user";
  // A link's own mode means nothing; who may replace it is its folder's business.
  if (S_ISLNK(st.st_mode)) return std::nullopt;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return std::nullopt;
  if (S_ISDIR(st.st_mode)) {
    if ((st.st_mode & S_ISVTX) && last == LastEntry::StickyFolderAllowed) return std::nullopt;
    return "is a folder that others may write to";
  }
  return "may be written by others";
}

PathCheck checkPath(const std::string& path, LastEntry last) {
  PathCheck result;
  std::vector<std::string> pending;
  pushComponents(path, pending);
  if (path.empty() || path[0] != '/') {
    // A relative path hangs from the current folder, whose own ancestors count as well.
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) {
      result.problem = "the current folder cannot be examined: " + describeErrno(errno);
      return result;
    }
    pushComponents(cwd, pending);
  }

  std::vector<std::string> resolved;
  struct stat st;
  if (::lstat("/", &st) != 0) {
    result.problem = "/ cannot be examined: " + describeErrno(errno);
    return result;
  }
  if (auto why = untrustedEntry(st, LastEntry::StickyFolderAllowed)) {
    result.problem = "/ " + *why;
    return result;
  }
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      // The physical parent, which was checked on the way down.
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    resolved.push_back(name);
    const std::string here = joined(resolved);
    if (::lstat(here.c_str(), &st) != 0) {
      const int err = errno;
      if (err != ENOENT && err != ENOTDIR) {
        result.problem = here + " cannot be examined: " + describeErrno(err);
      }
      return result;
    }
    if (S_ISLNK(st.st_mode)) {
      if (auto why = untrustedEntry(st, last)) {
        result.problem = here + " is a link that " + *why;
        return result;
      }
      if (++links > kMaxLinks) {
        result.problem = here + " leads through too many links";
        return result;
      }
      char target[PATH_MAX];
      const ssize_t n = ::readlink(here.c_str(), target, sizeof target - 1);
      if (n < 0) {
        result.problem = here + " cannot be examined: " + describeErrno(errno);
        return result;
      }
      const std::string text(target, static_cast<size_t>(n));
      resolved.pop_back();
      if (!text.empty() && text[0] == '/') resolved.clear();
      pushComponents(text, pending);
      continue;
    }
    // Anything but a folder before the end makes the path unusable, which its user meets.
    if (!pending.empty() && !S_ISDIR(st.st_mode)) return result;
    if (auto why = untrustedEntry(st, LastEntry::StickyFolderAllowed)) {
      result.problem = here + " " + *why;
      return result;
    }
  }
  // The entry the path ends at, under its own rule (a trailing ".." lands on a folder that
  // was checked only as a parent).
  const std::string end = joined(resolved);
  if (::lstat(end.c_str(), &st) != 0) return result;
  if (auto why = untrustedEntry(st, last)) {
    result.problem = end + " " + *why;
    return result;
  }
  result.resolved = end;
  return result;
}

bool isPlainFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool entryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

void makeFolders(const std::string& path, mode_t mode) {
  std::vector<std::string> parts;
  pushComponents(path, parts);
  std::string prefix = !path.empty() && path[0] == '/' ? "" : ".";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    prefix += "/" + *it;
    if (*it == "..") continue;
    if (::mkdir(prefix.c_str(), mode) != 0) {
      if (errno == EEXIST) continue;
      throw OsError(errno, "cannot create the folder", prefix);
    }
    // The umask may have taken bits away: set exactly `mode` on the folder just made.
    Descriptor dir(::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0 || ::fchmod(dir.get(), mode) != 0) {
      throw OsError(errno, "cannot set the mode of", prefix);
    }
  }
}

void replaceFile(const std::string& folder, const std::string& name, std::string_view contents,
                 mode_t mode) {
  Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) throw OsError(errno, "cannot open the folder", folder);
  std::string temp;
  Descriptor file;
  for (int attempt = 0; attempt < 100 && file.get() < 0; ++attempt) {
    temp = "." + name + "." + randomSuffix();
    file = Descriptor(::openat(dir.get(), temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0 && errno != EEXIST) break;
  }
  if (file.get() < 0) throw OsError(errno, "cannot create a file in", folder);
  const bool written = writeAll(file.get(), contents) && ::fchmod(file.get(), mode) == 0 &&
                       ::fsync(file.get()) == 0 && ::close(file.release()) == 0;
  if (!written || ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) {
    const int err = errno;
    ::unlinkat(dir.get(), temp.c_str(), 0);
    throw OsError(err, "cannot write", folder + "/" + name);
  }
}

std::optional<std::string> readTrustedFile(const std::string& path, size_t maxBytes,
                                           std::string* problem) {
  problem->clear();
  // Not blocking: a pipe planted under the name must not stall the reader.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ELOOP) {
      *problem = "is a link";
    } else if (errno != ENOENT) {
      *problem = "cannot be read: " + describeErrno(errno);
    }
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0) {
    *problem = "cannot be read: " + describeErrno(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    *problem = "is not a regular file";
    return std::nullopt;
  }
  if (auto why = untrustedEntry(st, LastEntry::Private)) {
    *problem = *why;
    return std::nullopt;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    *problem = "is too large";
    return std::nullopt;
  }
  std::string contents;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *problem = "cannot be read: " + describeErrno(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > maxBytes) {
      *problem = "is too large";
      return std::nullopt;
    }
  }
  return contents;
}

}  // namespace docmill::platform
