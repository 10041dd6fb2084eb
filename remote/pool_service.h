// The pool service: `docmill serve --socket` keeps the offices and the interpreter's helper
// warm and makes, over a Unix socket, the calls that short-lived callers (a script running
// `docmill` once per file, a Python program) would otherwise make with a cold pool of their
// own.
//
// Only the user the service runs as may use it: the socket's folder is private (0700), the
// socket 0600, and every connection's peer credentials are checked; another user's
// connection is closed unanswered. Each connection is one caller's object or batch, served
// on a thread of its own that works in the caller's folder with the caller's umask (sent as
// a descriptor when it connects), so relative paths and new files come out as they would
// in-process. A caller whose DOCMILL_ settings differ is told to work in-process.
// When a caller hangs up during a call, the call is cancelled as an HTTP client's would be.
//
// `PoolService` owns the socket file and the connection threads: `stop()` (from any thread
// or a signal) stops accepting, lets calls in flight finish and answer, closes idle
// connections (their callers go on in-process) and `run()` then returns. Failing to listen
// throws `platform::OsError`.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace docmill::remote {

class PoolService {
 public:
  // Listens at `path`; `allowedUser` is the only user served (the service's own).
  explicit PoolService(const std::string& path, uid_t allowedUser);
  ~PoolService();
  PoolService(const PoolService&) = delete;
  PoolService& operator=(const PoolService&) = delete;

  // Serves connections until `stop()`; returns once every connection has ended.
  void run();
  void stop() noexcept;
  // Connections refused because they came from another user.
  size_t refusedConnections() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Makes the user's private socket folder (0700) when it is missing and checks that it is
// ours and private; throws platform::OsError naming the problem.
void preparePrivateFolder(const std::string& folder);

// `docmill serve --socket [PATH]`: starts the whole office pool, listens at PATH (default:
// the user's pool socket) and serves until SIGTERM or SIGINT. Returns the exit status.
int runPoolService(const std::vector<std::string>& args);

}  // namespace docmill::remote
