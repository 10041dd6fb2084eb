// Messages between processes over a connected Unix stream socket: each message is a length
// followed by that many bytes, and may carry one open descriptor to the other side.
//
// Sending never raises SIGPIPE: a peer that is gone shows as OsError(EPIPE). Receiving tells a
// closed connection (nothing) apart from a broken one or a deadline that passed (OsError with
// ETIMEDOUT); a message longer than the reader accepts is a broken connection (EMSGSIZE).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/io.h"
#include "platform/os_error.h"

namespace docmill::platform {

// A pipe: its read end, then its write end, both close-on-exec. Throws OsError.
std::pair<Descriptor, Descriptor> makePipe();

// Two connected stream sockets, close-on-exec. Throws OsError.
std::pair<Descriptor, Descriptor> socketPair();

// Sends one message, with `descriptor` attached when it is not -1. Throws OsError.
void sendMessage(int socket, std::string_view bytes, int descriptor = -1);

// Tells the other side of a connected socket that nothing more will be sent (it sees the
// connection half-closed), while what it sends can still be received. Safe while another
// thread receives on the same socket. Never throws.
void stopSending(int socket) noexcept;

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
