// Messages between processes over a connected Unix stream socket: each message is a length
// followed by that many bytes, and may carry one open descriptor to the other side.
//
// A `Descriptor` owns one open file descriptor and closes it when it goes. Sending never
// raises SIGPIPE: a peer that is gone shows as OsError(EPIPE). Receiving tells a closed
// connection (nothing) apart from a broken one or a deadline that passed (OsError with
// ETIMEDOUT); a message longer than the reader accepts is a broken connection (EMSGSIZE).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/os_error.h"

namespace docmill::platform {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any).
  void reset();
  // Gives up ownership.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Two connected stream sockets, close-on-exec. Throws OsError.
std::pair<Descriptor, Descriptor> socketPair();

// Sends one message, with `descriptor` attached when it is not -1. Throws OsError.
void sendMessage(int socket, std::string_view bytes, int descriptor = -1);

struct Message {
  std::string bytes;
  Descriptor descriptor;  // the descriptor sent with it, if any
};

using Deadline = std::chrono::steady_clock::time_point;

// The next message; nothing when the other side closed the connection between messages.
// Throws OsError for a broken connection, for a message above `maxBytes` (EMSGSIZE) and
// when `deadline` passes first (ETIMEDOUT).
std::optional<Message> receiveMessage(int socket, size_t maxBytes,
                                      Deadline deadline = Deadline::max());

}  // namespace docmill::platform
