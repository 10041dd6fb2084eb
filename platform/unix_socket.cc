#include "platform/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/channel.h"

namespace docmill::platform {

namespace {

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw OsError(ENAMETOOLONG, "the socket path is empty or too long", path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

Descriptor newSocket() {
  Descriptor s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) throw OsError(errno, "cannot create a socket");
  return s;
}

}  // namespace

UnixListener::UnixListener(const std::string& path) : path_(path) {
  const sockaddr_un address = addressOf(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw OsError(EEXIST, "something else is at", path);
    try {
      connectUnix(path);
      throw OsError(EADDRINUSE, "a service already listens at", path);
    } catch (const OsError& e) {
      if (e.code() == EADDRINUSE) throw;
    }
    ::unlink(path.c_str());  // a service that died left it
  }
  socket_ = newSocket();
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw OsError(errno, "cannot listen at", path);
  }
  if (::chmod(path.c_str(), 0600) != 0 || ::listen(socket_.get(), 64) != 0) {
    const int code = errno;
    ::unlink(path.c_str());
    throw OsError(code, "cannot listen at", path);
  }
  auto [r, w] = makePipe();
  wakeRead_ = std::move(r);
  wakeWrite_ = std::move(w);
}

UnixListener::~UnixListener() {
  ::unlink(path_.c_str());
}

Descriptor UnixListener::acceptConnection() {
  for (;;) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, "cannot wait for connections at", path_);
    }
    if (fds[1].revents != 0) return Descriptor();
    Descriptor c(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (c.valid()) return c;
    // A caller that gave up before we took its connection, or a pause in resources.
    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN && errno != EMFILE &&
        errno != ENFILE) {
      throw OsError(errno, "cannot accept a connection at", path_);
    }
    if (errno == EMFILE || errno == ENFILE) ::poll(nullptr, 0, 100);
  }
}

void UnixListener::stop() noexcept {
  const char byte = 0;
  [[maybe_unused]] ssize_t n = ::write(wakeWrite_.get(), &byte, 1);
}

Descriptor connectUnix(const std::string& path) {
  const sockaddr_un address = addressOf(path);
  Descriptor s = newSocket();
  while (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINTR) throw OsError(errno, "cannot connect to", path);
  }
  return s;
}

uid_t peerUser(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    throw OsError(errno, "cannot tell who is at the other end of a socket");
  }
  return credentials.uid;
}

Descriptor openCurrentFolder() {
  Descriptor d(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!d.valid()) throw OsError(errno, "cannot open the current folder");
  return d;
}

mode_t currentUmask() {
  // /proc tells without the change-and-restore that would race with other threads.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 022;
}

void workInFolder(int folder, mode_t umask) {
  if (::unshare(CLONE_FS) != 0) throw OsError(errno, "cannot give a thread a folder of its own");
  if (::fchdir(folder) != 0) throw OsError(errno, "cannot enter the caller's folder");
  ::umask(umask & 0777);
}

bool awaitPeer(int socket, int wake, int milliseconds) {
  for (;;) {
    pollfd fds[2] = {{socket, POLLIN | POLLRDHUP, 0}, {wake, POLLIN, 0}};
    const int n = ::poll(fds, wake >= 0 ? 2 : 1, milliseconds);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (wake >= 0 && fds[1].revents != 0) return false;
    return fds[0].revents != 0;
  }
}

}  // namespace docmill::platform
