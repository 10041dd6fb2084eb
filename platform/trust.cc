#include "platform/trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

namespace {

constexpr int kMaxCopyDepth = 32;

struct TreeCopier {
  const std::vector<std::string>& skip;
  TreeCopy result;

  // Somebody else controls `where`: the copy ends.
  bool untrusted(const std::string& where, const std::string& why) {
    result.fault = TreeFault::Untrusted;
    result.problem = where + " " + why;
    return false;
  }
  // `where` cannot be read: noted, and the walk goes on past it, so that an untrusted entry
  // further on still shows (a tree judged only unreadable holds nothing of anybody else's
  // that could be seen).
  void unreadable(const std::string& where, const std::string& why) {
    if (result.fault != TreeFault::None) return;
    result.fault = TreeFault::Unreadable;
    result.problem = where + " " + why;
  }

  // Judges the entry `st` describes (named `where` in messages); false when somebody else
  // controls it.
  bool judge(const struct stat& st, const std::string& where) {
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      return untrusted(where, "is neither a folder nor a regular file");
    }
    if (auto why = untrustedEntry(st, LastEntry::Private)) return untrusted(where, *why);
    return true;
  }

  // Opens `name` in `dir` without following a link. Invalid when it cannot be opened: a
  // link, a special file or an entry of somebody else's is untrusted, anything else
  // unreadable.
  Descriptor openEntry(int dir, const char* name, const std::string& where) {
    // Not blocking: a pipe planted in the tree must not stall the copy.
    Descriptor fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.valid()) return fd;
    const int err = errno;
    struct stat st;
    if (err == ELOOP) {
      untrusted(where, "is a link");
    } else if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !judge(st, where)) {
      // judged untrusted
    } else {
      unreadable(where, "cannot be opened: " + describeErrno(err));
    }
    return fd;
  }

  void copyFile(int from, int toDir, const char* name, const std::string& where) {
    Descriptor out(
        ::openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) throw OsError(errno, "cannot create a copy of", where);
    if (::fchmod(out.get(), 0600) != 0) throw OsError(errno, "cannot set the mode of", where);
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(from, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        unreadable(where, "cannot be read: " + describeErrno(errno));
        return;
      }
      if (n == 0) break;
      if (!writeAll(out.get(), std::string_view(buffer, static_cast<size_t>(n)))) {
        throw OsError(errno, "cannot write a copy of", where);
      }
    }
    if (::close(out.release()) != 0) throw OsError(errno, "cannot write a copy of", where);
  }

  // Copies the folder open as `from` (named `where`) into the folder open as `to`. False
  // when an untrusted entry ended the copy.
  bool copyFolder(int from, int to, const std::string& where, int depth) {
    if (depth > kMaxCopyDepth) {
      unreadable(where, "is nested too deeply");
      return true;
    }
    // fdopendir takes the descriptor it is given; the walk keeps its own.
    const int listed = ::dup(from);
    DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!dir) {
      const int err = errno;
      if (listed >= 0) ::close(listed);
      unreadable(where, "cannot be listed: " + describeErrno(err));
      return true;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (depth == 0 && std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
      names.push_back(std::move(name));
    }
    const int listError = errno;
    ::closedir(dir);
    if (listError != 0) unreadable(where, "cannot be listed: " + describeErrno(listError));
    for (const std::string& name : names) {
      const std::string path = where + "/" + name;
      Descriptor entry = openEntry(from, name.c_str(), path);
      if (result.fault == TreeFault::Untrusted) return false;
      if (!entry.valid()) continue;
      struct stat st;
      if (::fstat(entry.get(), &st) != 0) {
        unreadable(path, "cannot be examined: " + describeErrno(errno));
        continue;
      }
      if (!judge(st, path)) return false;
      if (S_ISREG(st.st_mode)) {
        copyFile(entry.get(), to, name.c_str(), path);
        continue;
      }
      if (::mkdirat(to, name.c_str(), 0700) != 0) throw OsError(errno, "cannot copy", path);
      Descriptor made(::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!made.valid() || ::fchmod(made.get(), 0700) != 0) {
        throw OsError(errno, "cannot set the mode of the copy of", path);
      }
      if (!copyFolder(entry.get(), made.get(), path, depth + 1)) return false;
    }
    return true;
  }
};

}  // namespace

TreeCopy copyPrivateTree(const std::string& from, const std::string& to,
                         const std::vector<std::string>& skip) {
  TreeCopier copier{skip, {}};
  Descriptor source = copier.openEntry(AT_FDCWD, from.c_str(), from);
  if (!source.valid()) return copier.result;
  struct stat st;
  if (::fstat(source.get(), &st) != 0) {
    copier.unreadable(from, "cannot be examined: " + describeErrno(errno));
    return copier.result;
  }
  if (!copier.judge(st, from)) return copier.result;
  if (!S_ISDIR(st.st_mode)) {
    copier.unreadable(from, "is not a folder");
    return copier.result;
  }
  if (::mkdir(to.c_str(), 0700) != 0) throw OsError(errno, "cannot create the folder", to);
  Descriptor target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!target.valid() || ::fchmod(target.get(), 0700) != 0) {
    throw OsError(errno, "cannot set the mode of", to);
  }
  copier.copyFolder(source.get(), target.get(), from, 0);
  return copier.result;
}

bool renameIfAbsent(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST || errno == ENOTEMPTY) return false;
  throw OsError(errno, "cannot rename " + from + " to", to);
}

void exchangeEntries(const std::string& first, const std::string& second) {
  if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0) {
    throw OsError(errno, "cannot exchange " + first + " and", second);
  }
}

}  // namespace docmill::platform
