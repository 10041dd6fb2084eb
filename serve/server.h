// The HTTP side of `docmill serve`: listens, reads each request (uploads streamed into a
// private folder per request), hands it to the routes and sends the reply.
//
// Each connection has a thread of its own; a conversion runs on a further thread while the
// connection's thread watches the client, and cancels the request's `CallContext` when the
// client goes away. The private folder of a request is removed on every path once its
// reply is sent.
//
// What one client can hold is bounded, so that no client locks the others out:
//   - connections, in all and from one address; past either limit a few more connections
//     are taken for /health alone (one request each), and the rest are answered 503;
//   - time: a request's headers must arrive within `headerTimeout` of its first byte (of
//     the connection, for a new one), an upload must average `minUploadRate` once it has
//     gone on for `headerTimeout`, and a client that sends or takes nothing for
//     `idleTimeout` is disconnected; the late ones are answered 408;
//   - conversion slots: a request counts against the workers and the queue only once its
//     upload is complete.
// Requests must name the service in their Host and, when they change something, must not
// come from another site's page (access.h): otherwise 403. The fields of the convert and
// merge routes are judged as they arrive (form_fields.h), so a refused field ends the
// request before the rest of its upload is stored. Every answer carries the request's trace
// (Gotenberg-Trace, the client's or a new UUID), which its log line names too; a download
// takes the name the client asks for in Gotenberg-Output-Filename (routes.h downloadName).
//
// With a job queue (DOCMILL_QUEUE), the constructor connects to it and throws
// queue::QueueError when it cannot. `start` binds and begins accepting (throws
// std::system_error when it cannot bind);
// `stop` stops accepting, lets requests in flight finish for up to `drainTimeout`, then
// cancels what is left and waits for every connection to end. The destructor stops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "queue/job_store.h"
#include "serve/access.h"
#include "serve/jobs.h"
#include "serve/metrics.h"
#include "serve/routes.h"

namespace docmill::serve {

struct ServeSettings {
  std::string host = "127.0.0.1";
  uint16_t port = 3000;              // 0: any free port (see Server::port)
  uint64_t maxBytes = 100ull << 20;  // DOCMILL_SERVE_MAX_BYTES
  std::string token;                 // DOCMILL_SERVE_TOKEN; empty: none asked for
  int workers = 0;                   // conversions at a time; 0: DOCMILL_OFFICE_POOL or cores
  int queue = 64;                    // DOCMILL_SERVE_QUEUE: conversions that may wait
  int retryAfterSeconds = 5;
  int maxConnections = 256;                        // DOCMILL_SERVE_MAX_CONNECTIONS
  int maxClientConnections = 32;                   // DOCMILL_SERVE_MAX_CLIENT_CONNECTIONS
  std::chrono::milliseconds idleTimeout{60000};    // DOCMILL_SERVE_IDLE_TIMEOUT
  std::chrono::milliseconds headerTimeout{10000};  // DOCMILL_SERVE_HEADER_TIMEOUT
  uint64_t minUploadRate = 1024;          // DOCMILL_SERVE_MIN_UPLOAD_RATE, bytes a second; 0: none
  std::chrono::seconds drainTimeout{30};  // DOCMILL_SERVE_DRAIN_TIMEOUT
  std::vector<std::string> hosts;         // DOCMILL_SERVE_HOSTS: further names it answers to
  bool log = true;                        // one JSON line per request on stderr
  // DOCMILL_QUEUE: conversions become jobs in this Redis, converted by workers (jobs.h);
  // nothing: every conversion is made here and answered in its own reply.
  std::optional<queue::QueueAddress> jobQueue;
  queue::StoreSettings jobSettings;  // DOCMILL_JOB_*

  // Throws platform::SettingError for a refused value.
  static ServeSettings fromEnvironment();
  // "HOST:PORT", "[V6]:PORT" or ":PORT"; false when malformed.
  bool setListen(const std::string& address);
};

class Server {
 public:
  Server(ServeSettings settings, SystemProbe probe);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void start();
  uint16_t port() const { return boundPort_; }
  void stop();
  // Requests being read, converted or answered.
  int inFlight() const { return inFlight_.load(); }

 private:
  struct Connection;
  void acceptLoop();
  // Takes a new connection in, as an ordinary one or one for /health alone; false when
  // the limits leave no room for it.
  bool admit(const std::shared_ptr<Connection>& connection);
  void reapLoop();
  void serveConnection(std::shared_ptr<Connection> connection);
  bool serveRequest(Connection& connection);

  ServeSettings settings_;
  Metrics metrics_;
  Gate gate_;
  Routes routes_;
  HostPolicy hosts_;
  std::unique_ptr<JobFront> jobs_;  // with DOCMILL_QUEUE
  uint16_t boundPort_ = 0;

  struct Io;
  std::unique_ptr<Io> io_;
  std::thread acceptor_, reaper_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<std::shared_ptr<Connection>> connections_;
  int threads_ = 0;  // connection threads still running
  bool stopping_ = false;
  std::atomic<bool> draining_{false};
  std::atomic<int> inFlight_{0};
  std::atomic<uint64_t> nextId_{1};
};

// `docmill serve [--listen ADDR:PORT]`: runs the service until SIGTERM or SIGINT; returns
// the exit status. The host registers the classes it serves (cli::HostServers) first.
int runServe(const std::vector<std::string>& args);

}  // namespace docmill::serve
