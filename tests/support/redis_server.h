// A private redis-server for the tests of the job queue: on a Unix socket in a temporary
// folder of its own, with the append-only file on (so a restart keeps what it had), owned
// by this object and killed with it. `available()` tells whether the program is installed.
#pragma once

#include <string>

#include "platform/process.h"
#include "platform/scratch.h"

namespace docmill::test {

class RedisServer {
 public:
  static bool available();
  // Starts the server and waits until it answers; throws std::runtime_error when it does not.
  RedisServer();
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  const std::string& socket() const { return socket_; }
  // "unix:PATH", as DOCMILL_QUEUE and --queue take it.
  std::string address() const { return "unix:" + socket_; }
  // Kills the server (as a crash would) and starts it again on the same files.
  void restart();
  // Runs redis-cli against the server; its output.
  std::string cli(const std::string& arguments) const;

 private:
  void start();
  platform::TempFolder folder_;
  std::string socket_;
  platform::ChildProcess process_;
};

}  // namespace docmill::test
