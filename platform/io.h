// Plain descriptor I/O shared by the platform layer and the layers above it.
//
// A `Descriptor` owns one open file descriptor and closes it when it goes. Nothing here
// throws; failures show in the result and in errno.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

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

// Writes all of `data` to `fd`, going on after interruptions and short writes. False when a
// write fails (errno says why).
bool writeAll(int fd, std::string_view data);

// Reads up to `length` bytes of `fd` from `offset` on (the descriptor's position stays),
// going on after interruptions and short reads; fewer only at the end of the file. False
// when a read fails (errno says why).
bool readAt(int fd, uint64_t offset, size_t length, std::string& out);

// Reads from `fd` until its end or `deadline`, keeping only the last `keep` bytes read in
// `text` (what a child says before it fails, say). True when the end was reached.
bool readLastWords(int fd, std::chrono::steady_clock::time_point deadline, size_t keep,
                   std::string& text);

// Marks `fd` to be closed in every program this process starts, so that children (offices,
// helpers) never hold the host's sockets open. False when that fails (errno says why).
bool closeOnExec(int fd);

// Has writes to a peer that has gone fail with EPIPE instead of ending the whole process with
// SIGPIPE, for code that writes through libraries which do not ask the system to spare it
// (a client library's socket to a server that restarts). A process that installed a handler
// of its own keeps it.
void ignoreBrokenPipe();

}  // namespace docmill::platform
