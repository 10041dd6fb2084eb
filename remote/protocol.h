// What the pool service and its callers agree on beyond the bytes of a message: the protocol's
// number, the limits a message is held to, and the text that says two processes would make a
// call the same way.
//
// A connection starts with the caller's Hello (protocol, `callEnvironment()`, umask, with
// its current folder attached) and the service's Welcome or Refused. Then the caller sends
// either Create and any number of Names and Invoke, each answered by Done, Failed or
// Unsupported, or one Batch, answered by Progress messages and BatchDone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace docmill::remote {

inline constexpr uint32_t kProtocol = 1;
inline constexpr size_t kMaxMessage = size_t{64} << 20;
inline constexpr size_t kMaxArguments = 4096;
inline constexpr std::chrono::seconds kHelloTimeout{10};

// The settings that decide how a call behaves (platform::behaviourEnvironment) and the build
// of the component library that makes it (its file's size and time). A service whose text
// differs from its caller's would not make the caller's call as the caller would: the caller
// then works in-process.
std::string callEnvironment();

}  // namespace docmill::remote
