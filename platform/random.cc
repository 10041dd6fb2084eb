#include "platform/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/io.h"
#include "platform/os_error.h"

namespace docmill::platform {

namespace {

// Reads /dev/urandom where the kernel has no getrandom (before Linux 3.17, some sandboxes).
void readUrandom(unsigned char* out, size_t size) {
  Descriptor fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw OsError(errno, "open", "/dev/urandom");
  while (size > 0) {
    const ssize_t got = ::read(fd.get(), out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw OsError(got < 0 ? errno : EIO, "read", "/dev/urandom");
    out += got;
    size -= static_cast<size_t>(got);
  }
}

}  // namespace

void randomBytes(void* out, size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t got = ::getrandom(bytes, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      if (errno != ENOSYS && errno != EPERM) throw OsError(errno, "getrandom");
      readUrandom(bytes, size);
      return;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
  }
}

std::string randomUuid() {
  unsigned char b[16];
  randomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

}  // namespace docmill::platform
