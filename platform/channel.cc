#include "platform/channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace docmill::platform {

namespace {

// Waits until `socket` has something to read; throws ETIMEDOUT when the deadline passes.
void awaitReadable(int socket, Deadline deadline) {
  if (deadline == Deadline::max()) return;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) throw OsError(ETIMEDOUT, "no message in time");
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd p{socket, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
    if (n > 0) return;
    if (n < 0 && errno != EINTR) throw OsError(errno, "cannot wait for a message");
  }
}

// Reads exactly `length` bytes; false when the connection closed before the first byte.
bool readExactly(int socket, char* data, size_t length, Deadline deadline) {
  size_t done = 0;
  while (done < length) {
    awaitReadable(socket, deadline);
    const ssize_t n = ::recv(socket, data + done, length - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      if (done == 0) return false;
      throw OsError(ECONNRESET, "connection closed inside a message");
    } else if (errno != EINTR) {
      throw OsError(errno, "cannot receive a message");
    }
  }
  return true;
}

}  // namespace

std::pair<Descriptor, Descriptor> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw OsError(errno, "cannot make a pipe");
  return {Descriptor(fds[0]), Descriptor(fds[1])};
}

std::pair<Descriptor, Descriptor> socketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw OsError(errno, "cannot create a socket pair");
  }
  return {Descriptor(fds[0]), Descriptor(fds[1])};
}

void stopSending(int socket) noexcept {
  ::shutdown(socket, SHUT_WR);
}

void sendMessage(int socket, std::string_view bytes, int descriptor) {
  const uint64_t length = bytes.size();
  // The length and the first bytes go out with the descriptor; the rest follows.
  iovec parts[2] = {{const_cast<uint64_t*>(&length), sizeof length},
                    {const_cast<char*>(bytes.data()), bytes.size()}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = 2;
  if (descriptor >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &descriptor, sizeof(int));
  }
  size_t total = sizeof length + bytes.size();
  size_t sent = 0;
  while (sent < total) {
    ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, "cannot send a message");
    }
    sent += static_cast<size_t>(n);
    // The descriptor went with the first part; skip what was sent and go on.
    msg.msg_control = nullptr;
    msg.msg_controllen = 0;
    size_t skip = static_cast<size_t>(n);
    while (msg.msg_iovlen > 0 && skip >= msg.msg_iov[0].iov_len) {
      skip -= msg.msg_iov[0].iov_len;
      ++msg.msg_iov;
      --msg.msg_iovlen;
    }
    if (msg.msg_iovlen > 0) {
      msg.msg_iov[0].iov_base = static_cast<char*>(msg.msg_iov[0].iov_base) + skip;
      msg.msg_iov[0].iov_len -= skip;
    }
  }
}

std::optional<Message> receiveMessage(int socket, size_t maxBytes, Deadline deadline) {
  uint64_t length = 0;
  Message message;
  // The first byte carries the descriptor, if one was sent.
  for (;;) {
    awaitReadable(socket, deadline);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{&length, 1};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, "cannot receive a message");
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        // Only the first is kept; any others a peer forced on us are closed.
        if (!message.descriptor.valid()) {
          message.descriptor = Descriptor(fd);
        } else {
          ::close(fd);
        }
      }
    }
    if (msg.msg_flags & MSG_CTRUNC) throw OsError(EBADMSG, "a message carried too much");
    break;
  }
  char* rest = reinterpret_cast<char*>(&length) + 1;
  if (!readExactly(socket, rest, sizeof length - 1, deadline)) {
    throw OsError(ECONNRESET, "connection closed inside a message");
  }
  if (length > maxBytes) throw OsError(EMSGSIZE, "a message is too long");
  message.bytes.resize(static_cast<size_t>(length));
  if (length > 0 && !readExactly(socket, message.bytes.data(), message.bytes.size(), deadline)) {
    throw OsError(ECONNRESET, "connection closed inside a message");
  }
  return message;
}

}  // namespace docmill::platform
