// Unix stream sockets between processes of one user: a listener at a path, connections to
// it, the user at the other end, and a thread that works in a caller's folder.
//
// The listener owns its socket file and removes it when it goes. Every call throws `OsError`
// when the system refuses; `acceptConnection` returns an invalid descriptor when it was
// woken to stop.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/io.h"
#include "platform/os_error.h"

namespace docmill::platform {

class UnixListener {
 public:
  // Listens at `path` (mode 0600). A socket file there that nobody answers on any more (its
  // service died) is replaced; one that answers means another service listens: EADDRINUSE.
  // Anything other than a socket at `path` is left alone: EEXIST.
  explicit UnixListener(const std::string& path);
  ~UnixListener();
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  // The next connection, close-on-exec; an invalid descriptor once `stop()` was called.
  Descriptor acceptConnection();
  // Wakes `acceptConnection` and makes every later call return at once. Safe from any
  // thread and from a signal handler.
  void stop() noexcept;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  Descriptor socket_;
  Descriptor wakeRead_, wakeWrite_;
};

// A connection to the listener at `path`, close-on-exec.
Descriptor connectUnix(const std::string& path);

// The user id of the process at the other end of a connected Unix socket, as it was when
// it connected.
uid_t peerUser(int socket);

// The current folder, as a descriptor that can be sent to another process (O_PATH).
Descriptor openCurrentFolder();
// The process's umask, read without changing it.
mode_t currentUmask();

// Gives the calling thread a folder and umask of its own (the rest of the process keeps
// theirs): it moves into `folder` (a descriptor of a folder) and takes `umask`. Threads it
// starts afterwards share them; relative paths it opens resolve from `folder`.
void workInFolder(int folder, mode_t umask);

// Whether something is ready to be read on `socket` or its other end has gone (a caller that
// hangs up while its call runs), waiting at most `milliseconds` (-1: until it is so or
// `wake` is readable). Returns false when woken by `wake` or the time passed.
bool awaitPeer(int socket, int wake, int milliseconds);

}  // namespace docmill::platform
