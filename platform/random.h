// Random values from the system's generator (the source behind /dev/urandom), for names that
// others must not guess or repeat: job ids, request traces.
//
// Throws `OsError` when the system gives no random bytes (no getrandom and no /dev/urandom).
#pragma once

#include <cstddef>
#include <string>

namespace docmill::platform {

// Fills `size` bytes at `out` with random bytes.
void randomBytes(void* out, size_t size);

// A random version-4 UUID in its lower-case text form ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx").
std::string randomUuid();

}  // namespace docmill::platform
