#include "platform/transfer.h"

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace docmill::platform {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting a failed close (a write that did not reach the disk).
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Copies everything from `in` to `out`; the errno of a failure, or 0.
int copyContents(int in, int out) {
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    // Not between these files (or into one opened to append, EBADF): copy by hand.
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EBADF) {
      return errno;
    }
    break;
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
  }
}

// Copies the open regular file `in` into the new file `to` opened with `mode`.
void copyInto(int in, const std::string& from, const std::string& to, mode_t mode) {
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (out.get() < 0) throw OsError(errno, "cannot create", to);
  int err = copyContents(in, out.get());
  if (err == 0 && out.close() != 0) err = errno;
  if (err != 0) {
    ::unlink(to.c_str());
    throw OsError(err, "cannot copy " + from + " to", to);
  }
}

}  // namespace

void copyFile(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) throw OsError(errno, "cannot open", from);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) throw OsError(errno, "cannot read", from);
  if (!S_ISREG(st.st_mode)) throw OsError(EINVAL, "not a regular file:", from);
  copyInto(in.get(), from, to, 0600);
}

void moveFile(const std::string& from, const std::string& to) {
  // A device, pipe or socket named as the destination, or the caller's own descriptor
  // (/dev/stdout), is written into, never replaced: renaming over /dev/null, a caller's pipe
  // or the link /dev/stdout would take it away from everyone else.
  struct stat target {};
  if (::lstat(to.c_str(), &target) == 0 && S_ISBLK(target.st_mode)) {
    throw OsError(EINVAL, "not a file, pipe or socket:", to);  // a disk is never written
  }
  if (isWrittenInto(to)) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) throw OsError(errno, "cannot open", from);
    // Non-blocking open: a pipe nobody reads fails at once (ENXIO) instead of hanging. A
    // file behind the caller's descriptor is added to, as the caller's own writes would be.
    const int follow = S_ISLNK(target.st_mode) ? 0 : O_NOFOLLOW;
    Fd out(::open(to.c_str(), O_WRONLY | O_APPEND | follow | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (out.get() < 0) throw OsError(errno, "cannot write", to);
    struct stat opened {};
    if (::fstat(out.get(), &opened) != 0 || S_ISBLK(opened.st_mode) || S_ISDIR(opened.st_mode)) {
      throw OsError(EINVAL, "not a file, pipe or socket:", to);
    }
    const int flags = ::fcntl(out.get(), F_GETFL);
    if (flags >= 0) ::fcntl(out.get(), F_SETFL, flags & ~O_NONBLOCK);
    int err = copyContents(in.get(), out.get());
    if (err == 0 && out.close() != 0) err = errno;
    if (err != 0) throw OsError(err, "cannot write", to);
    ::unlink(from.c_str());
    return;
  }
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV) throw OsError(errno, "cannot move " + from + " to", to);
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw OsError(errno, "cannot open", from);
  std::random_device random;
  std::string temporary;
  for (int attempt = 0;; ++attempt) {
    temporary = to + ".~" + std::to_string(random() % 1000000000u);
    try {
      copyInto(in.get(), from, temporary, 0666);  // the process's umask applies, as to any file
      break;
    } catch (const OsError& e) {
      if (e.code() != EEXIST || attempt >= 10) throw;
      ::lseek(in.get(), 0, SEEK_SET);
    }
  }
  if (::rename(temporary.c_str(), to.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    throw OsError(err, "cannot move " + from + " to", to);
  }
  ::unlink(from.c_str());
}

}  // namespace docmill::platform
