// Plain descriptor I/O shared by the platform layer and the layers above it.
//
// Nothing here throws; failures show in the result and in errno.
#pragma once

#include <string_view>

namespace docmill::platform {

// Writes all of `data` to `fd`, going on after interruptions and short writes. False when a
// write fails (errno says why).
bool writeAll(int fd, std::string_view data);

// Marks `fd` to be closed in every program this process starts, so that children (offices,
// helpers) never hold the host's sockets open. False when that fails (errno says why).
bool closeOnExec(int fd);

}  // namespace docmill::platform
