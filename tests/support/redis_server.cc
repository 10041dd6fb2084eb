#include "tests/support/redis_server.h"

#include <unistd.h>

#include <stdexcept>

#include "tests/support/programs.h"
#include "tests/support/wait.h"

namespace docmill::test {

bool RedisServer::available() {
  return ::access("/usr/bin/redis-server", X_OK) == 0 && ::access("/usr/bin/redis-cli", X_OK) == 0;
}

RedisServer::RedisServer()
    : folder_(platform::systemTempFolder(), "redis-test-"),
      socket_(folder_.path() + "/redis.sock") {
  start();
}

RedisServer::~RedisServer() = default;

void RedisServer::start() {
  platform::SpawnOptions options;
  options.argv = {"/usr/bin/redis-server",
                  "--port",
                  "0",
                  "--unixsocket",
                  socket_,
                  "--unixsocketperm",
                  "700",
                  "--dir",
                  folder_.path(),
                  "--save",
                  "",
                  "--appendonly",
                  "yes",
                  "--appendfsync",
                  "always"};
  process_ = platform::ChildProcess::start(options);
  if (!waitFor([&] { return cli("PING") == "PONG\n"; })) {
    throw std::runtime_error("redis-server did not answer on " + socket_);
  }
}

void RedisServer::restart() {
  process_ = platform::ChildProcess();  // killed and reaped
  ::unlink(socket_.c_str());
  start();
}

std::string RedisServer::cli(const std::string& arguments) const {
  return runShell("/usr/bin/redis-cli -s " + shellQuoted(socket_) + " " + arguments + " 2>&1").text;
}

}  // namespace docmill::test
