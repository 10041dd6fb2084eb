#include "serve/server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

#include "automation/call_context.h"
#include "automation/creation.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "platform/group_memory.h"
#include "platform/host_names.h"
#include "platform/io.h"
#include "platform/random.h"
#include "platform/scratch.h"
#include "platform/settings.h"
#include "serve/form_fields.h"
#include "serve/multipart.h"
#include "serve/page.h"

namespace docmill::serve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxFields = 1 << 20;  // bytes of all text fields of one form
constexpr size_t kMaxParts = 1000;
// Connections taken past the limits, each for one request to /health, so that a load
// balancer still learns how the service is while its connections are all taken; and how
// many of them one address may hold.
constexpr int kHealthConnections = 8;
constexpr int kHealthConnectionsPerClient = 2;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

bool equalInConstantTime(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ (i < b.size() ? b[i] : 0);
  return diff == 0;
}

// Content-Disposition for a download: a plain ASCII name, and the full name in UTF-8.
std::string disposition(const std::string& name) {
  std::string ascii, encoded;
  for (unsigned char c : name) {
    ascii += c < 0x80 ? static_cast<char>(c) : '_';
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      encoded += buf;
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

std::string utcNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

enum class BodyEnd { Read, TooLarge, BadForm, BadField, ClientGone, TooSlow, Failed };

// A trace a client may give its request: it comes back in the answer's headers and goes
// into the log line, so it is short visible ASCII.
constexpr size_t kMaxTrace = 200;
bool validTrace(std::string_view trace) {
  if (trace.empty() || trace.size() > kMaxTrace) return false;
  for (unsigned char c : trace) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

// A header of the common API asking for the result to be sent elsewhere later, which the
// service never does: every conversion is answered in its own reply.
std::optional<std::string> webhookHeader(const http::fields& headers) {
  for (const auto& field : headers) {
    const std::string name(field.name_string());
    if (beast::iequals(name.substr(0, std::min<size_t>(name.size(), 18)), "Gotenberg-Webhook-")) {
      return name;
    }
  }
  return std::nullopt;
}

// "10 seconds", "0.5 seconds": a time limit as a reply names it.
std::string durationText(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%g seconds", static_cast<double>(limit.count()) / 1000);
  return text;
}

}  // namespace

ServeSettings ServeSettings::fromEnvironment() {
  ServeSettings s;
  if (auto n = platform::readSetting(platform::kServeMaxBytes)) s.maxBytes = *n;
  // An empty token would silently serve everyone; it is refused instead.
  if (auto t = platform::readNonEmptyTextSetting(platform::kServeToken)) s.token = *t;
  if (auto n = platform::readSetting(platform::kServeQueue)) s.queue = static_cast<int>(*n);
  if (auto n = platform::readSetting(platform::kServeIdleTimeout)) {
    s.idleTimeout = std::chrono::seconds(*n);
  }
  if (auto n = platform::readSetting(platform::kServeDrainTimeout)) {
    s.drainTimeout = std::chrono::seconds(*n);
  }
  if (auto n = platform::readSetting(platform::kServeMaxConnections)) {
    s.maxConnections = static_cast<int>(*n);
  }
  if (auto n = platform::readSetting(platform::kServeMaxClientConnections)) {
    s.maxClientConnections = static_cast<int>(*n);
  }
  if (auto t = platform::readSecondsSetting(platform::kServeHeaderTimeout)) s.headerTimeout = *t;
  if (auto n = platform::readSetting(platform::kServeMinUploadRate)) s.minUploadRate = *n;
  if (auto t = platform::readTextSetting(platform::kServeHosts)) s.hosts = hostList(*t);
  s.workers = static_cast<int>(std::min<uint64_t>(platform::officePoolSize(), 1024));
  if (auto q = platform::readTextSetting(platform::kQueue)) {
    std::string why;
    s.jobQueue = queue::parseQueueAddress(*q, &why);
    if (!s.jobQueue) throw platform::SettingError("DOCMILL_QUEUE is \"" + *q + "\": " + why);
    s.jobSettings = queue::StoreSettings::fromEnvironment();
  }
  return s;
}

bool ServeSettings::setListen(const std::string& address) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  std::string h = address.substr(0, colon), p = address.substr(colon + 1);
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long n = std::stoul(p);
  if (n > 65535) return false;
  boost::system::error_code ec;
  asio::ip::make_address(h.empty() ? "0.0.0.0" : h, ec);
  if (ec) return false;
  host = h.empty() ? "0.0.0.0" : h;
  port = static_cast<uint16_t>(n);
  return true;
}

struct Server::Io {
  asio::io_context context;
  tcp::acceptor acceptor{context};
};

struct Server::Connection {
  // Where a connection is, for the time limits the reaper holds it to.
  enum class Phase { Waiting, Headers, Body, Converting, Answering };
  // Why the reaper stopped reading a request.
  enum class Late { No, Headers, Stalled, Slow };

  Connection(tcp::socket s, std::string from) : socket(std::move(s)), address(std::move(from)) {
    touch();
  }
  void touch() { lastActive = nowMs(); }
  void enter(Phase p) {
    phaseStarted = nowMs();
    phase = p;
  }
  // Ends the connection from another thread: a blocked read or write returns at once.
  void cut() {
    std::lock_guard lock(mutex);
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
  }
  // Ends the reading of a request that is late, from another thread; the answer saying so
  // can still be sent.
  void stopReading(Late why) {
    Late none = Late::No;
    if (!late.compare_exchange_strong(none, why)) return;
    std::lock_guard lock(mutex);
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_receive, ec);
  }
  void cancel() {
    std::shared_ptr<CallContext> c;
    {
      std::lock_guard lock(mutex);
      c = context;
    }
    if (c) c->cancel();
  }
  // Whether the client has closed its side (or the connection broke), without waiting.
  bool clientGone() {
    boost::system::error_code ec, ignored;
    char c;
    socket.non_blocking(true, ignored);
    socket.receive(asio::buffer(&c, 1), tcp::socket::message_peek, ec);
    socket.non_blocking(false, ignored);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return false;
    return static_cast<bool>(ec);
  }

  tcp::socket socket;
  const std::string address;  // the client's
  bool healthOnly = false;    // taken past the limits, for one request to /health
  beast::flat_buffer buffer;
  std::mutex mutex;
  std::atomic<int64_t> lastActive{0};
  std::atomic<Phase> phase{Phase::Waiting};
  std::atomic<int64_t> phaseStarted{0};
  std::atomic<uint64_t> bodyBytes{0};
  std::atomic<bool> fresh{true};  // no request has begun on it yet
  std::atomic<Late> late{Late::No};
  std::atomic<bool> inRequest{false};
  std::shared_ptr<CallContext> context;  // of the request being converted, under `mutex`
};

Server::Server(ServeSettings settings, SystemProbe probe)
    : settings_(std::move(settings)),
      gate_(std::max(1, settings_.workers), std::max(0, settings_.queue)),
      routes_(RouteSettings{std::max(1, settings_.workers), settings_.retryAfterSeconds,
                            kLibraryVersion},
              std::move(probe), metrics_, gate_),
      hosts_(settings_.host, settings_.hosts, platform::machineNames()),
      io_(std::make_unique<Io>()) {
  if (settings_.jobQueue) {
    jobs_ = std::make_unique<JobFront>(*settings_.jobQueue, settings_.jobSettings,
                                       queue::WebhookPolicy::fromEnvironment());
  }
  // With one allocator pool for every thread, what a finished request freed can be handed
  // back whole (see the end of serveRequest), and idle pools do not each keep a peak.
  platform::useOneAllocatorPool();
}

Server::~Server() {
  stop();
}

void Server::start() {
  tcp::endpoint endpoint(asio::ip::make_address(settings_.host), settings_.port);
  io_->acceptor.open(endpoint.protocol());
  // Offices and helpers started later must not hold the service's sockets open.
  if (!platform::closeOnExec(io_->acceptor.native_handle())) {
    throw std::system_error(errno, std::generic_category(), "cannot protect the listening socket");
  }
  io_->acceptor.set_option(asio::socket_base::reuse_address(true));
  io_->acceptor.bind(endpoint);
  io_->acceptor.listen(asio::socket_base::max_listen_connections);
  boundPort_ = io_->acceptor.local_endpoint().port();
  acceptLoop();
  acceptor_ = std::thread([this] { io_->context.run(); });
  reaper_ = std::thread([this] { reapLoop(); });
}

void Server::acceptLoop() {
  io_->acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !io_->acceptor.is_open()) return;
    if (!ec && !platform::closeOnExec(socket.native_handle())) return acceptLoop();
    if (!ec) {
      boost::system::error_code ignored;
      auto from = socket.remote_endpoint(ignored).address();
      if (from.is_v6() && from.to_v6().is_v4_mapped()) {
        from = asio::ip::make_address_v4(asio::ip::v4_mapped, from.to_v6());
      }
      auto connection = std::make_shared<Connection>(std::move(socket), from.to_string());
      if (!admit(connection)) {
        // Told so at once, in the few bytes a new connection can always take; nothing of
        // the request is read.
        const std::string body =
            errorReply(503, Error{rt::CantCreateObject, "docmill",
                                  "Too many connections are open; try again later."})
                .body;
        const std::string busy =
            "HTTP/1.1 503 Service Unavailable\r\nServer: docmill\r\n"
            "Content-Type: application/json\r\nConnection: close\r\n"
            "Retry-After: " +
            std::to_string(settings_.retryAfterSeconds) +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        connection->socket.non_blocking(true, ignored);
        connection->socket.send(asio::buffer(busy), 0, ignored);
        connection->socket.shutdown(tcp::socket::shutdown_send, ignored);
        connection->socket.close(ignored);
      }
    }
    acceptLoop();
  });
}

bool Server::admit(const std::shared_ptr<Connection>& connection) {
  std::lock_guard lock(mutex_);
  if (draining_) return false;
  int ordinary = 0, fromClient = 0, health = 0, healthFromClient = 0;
  for (const auto& c : connections_) {
    const bool same = c->address == connection->address;
    (c->healthOnly ? health : ordinary) += 1;
    (c->healthOnly ? healthFromClient : fromClient) += same ? 1 : 0;
  }
  if (ordinary >= settings_.maxConnections || fromClient >= settings_.maxClientConnections) {
    if (health >= kHealthConnections || healthFromClient >= kHealthConnectionsPerClient) {
      return false;
    }
    connection->healthOnly = true;
  }
  connections_.push_back(connection);
  ++threads_;
  std::thread([this, connection] { serveConnection(connection); }).detach();
  return true;
}

void Server::reapLoop() {
  using Phase = Connection::Phase;
  using Late = Connection::Late;
  const int64_t idle = settings_.idleTimeout.count(), header = settings_.headerTimeout.count();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    const int64_t now = nowMs();
    for (auto& c : connections_) {
      // The phase first: its start is written before it, so it is never older than read.
      const Phase phase = c->phase;
      const int64_t quiet = now - c->lastActive, inPhase = now - c->phaseStarted;
      switch (phase) {
        case Phase::Waiting:
          // A new connection has the header time to begin; a kept one the idle time.
          if (quiet > (c->fresh ? header : idle)) c->cut();
          break;
        case Phase::Headers:
          if (inPhase > header) c->stopReading(Late::Headers);
          break;
        case Phase::Body:
          if (quiet > idle) {
            c->stopReading(Late::Stalled);
          } else if (settings_.minUploadRate > 0 && inPhase > header &&
                     static_cast<double>(c->bodyBytes) * 1000 <
                         static_cast<double>(settings_.minUploadRate) * inPhase) {
            c->stopReading(Late::Slow);
          }
          break;
        case Phase::Converting:
          break;  // the client is watched for leaving instead
        case Phase::Answering:
          if (quiet > idle) c->cut();
          break;
      }
      // While draining, connections waiting for their next request end at once.
      if (draining_ && !c->inRequest) c->cut();
    }
  }
}

void Server::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || !acceptor_.joinable()) return;
    draining_ = true;
  }
  asio::post(io_->context, [this] {
    boost::system::error_code ec;
    io_->acceptor.close(ec);
  });
  acceptor_.join();
  std::unique_lock lock(mutex_);
  changed_.notify_all();
  // Requests in flight may finish within the drain time; then what is left is cancelled.
  if (!changed_.wait_for(lock, settings_.drainTimeout, [&] { return threads_ == 0; })) {
    for (auto& c : connections_) {
      c->cancel();
      c->cut();
    }
  }
  changed_.wait(lock, [&] { return threads_ == 0; });
  stopping_ = true;
  changed_.notify_all();
  lock.unlock();
  reaper_.join();
}

void Server::serveConnection(std::shared_ptr<Connection> connection) {
  try {
    while (serveRequest(*connection)) {
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "docmill serve: connection ended: %s\n", e.what());
  }
  boost::system::error_code ec;
  connection->socket.shutdown(tcp::socket::shutdown_send, ec);
  connection->socket.close(ec);
  std::lock_guard lock(mutex_);
  connections_.remove(connection);
  --threads_;
  changed_.notify_all();
}

bool Server::serveRequest(Connection& conn) {
  using Phase = Connection::Phase;
  using Late = Connection::Late;
  const auto lateText = [this](Late why) -> std::string {
    switch (why) {
      case Late::Slow:
        return "The upload was slower than " + std::to_string(settings_.minUploadRate) +
               " bytes a second.";
      case Late::Stalled:
        return "The upload stalled for " + durationText(settings_.idleTimeout) + ".";
      default:
        return "The request's headers did not arrive within " +
               durationText(settings_.headerTimeout) + ".";
    }
  };
  conn.touch();
  conn.enter(Phase::Waiting);
  boost::system::error_code ec;
  if (conn.buffer.size() == 0) {
    // The header time runs from a request's first byte.
    conn.socket.wait(tcp::socket::wait_read, ec);
    if (ec) return false;
  }
  conn.enter(Phase::Headers);
  conn.fresh = false;
  http::request_parser<http::buffer_body> parser;
  parser.header_limit(16 * 1024);
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());  // counted here
  http::read_header(conn.socket, conn.buffer, parser, ec);
  const bool lateHeaders = ec && conn.late == Late::Headers;
  if (!lateHeaders && (ec == http::error::end_of_stream || ec == asio::error::eof ||
                       ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
                       ec == asio::error::shut_down || ec == asio::error::operation_aborted)) {
    return false;
  }

  const auto started = Clock::now();
  const uint64_t number = nextId_++;
  char idText[24];
  std::snprintf(idText, sizeof idText, "%08llx", static_cast<unsigned long long>(number));
  const std::string id = idText;
  conn.inRequest = true;
  ++inFlight_;
  struct InFlight {
    Server& server;
    Connection& conn;
    ~InFlight() {
      --server.inFlight_;
      conn.inRequest = false;
    }
  } inFlight{*this, conn};

  std::string method, target, path, route = "other";
  // The request's trace: the client's own, or one made up for it.
  std::string trace = platform::randomUuid();
  bool badTrace = false;
  std::string outputName;                 // the download's name the client asks for
  std::optional<std::string> jobPath;     // POST /v1/jobs/...: the route the job names
  std::optional<queue::Webhook> webhook;  // where the client wants the result posted
  bool keepAlive = false;
  bool bodyPending = false;
  Reply reply;
  Form form;
  uint64_t bytes = 0;
  bool converted = false;
  std::optional<platform::TempFolder> folder;

  if (lateHeaders) {
    reply = errorReply(408, Error{hr::E_ABORT, "docmill", lateText(conn.late)});
    bodyPending = true;
  } else if (ec) {
    reply = errorReply(ec == http::error::header_limit ? 431 : 400,
                       Error{hr::E_INVALIDARG, "docmill", "Malformed request: " + ec.message()});
  } else {
    auto& req = parser.get();
    method = std::string(req.method_string());
    target = std::string(req.target());
    path = target.substr(0, target.find('?'));
    route = Routes::routeOf(method, path);
    // A job names the route it is to be converted by after /v1/jobs.
    if (jobs_) jobPath = submittedPath(method, path);
    if (jobPath) route = Routes::routeOf(method, *jobPath);
    const std::string& routePath = jobPath ? *jobPath : path;
    // The Gotenberg-Webhook-* headers: a job whose result is posted, where the service has a
    // job queue and the operator allows the URLs; refused otherwise.
    auto webhookRefusal = [&](const http::fields& headers, const std::string& r,
                              std::optional<queue::Webhook>& hook) -> std::optional<Reply> {
      std::optional<std::string> name;
      if (Routes::converts(r)) name = webhookHeader(headers);
      if (!name) return std::nullopt;
      if (!jobs_) {
        return errorReply(400, Error{hr::E_INVALIDARG, "docmill",
                                     *name + " is not supported by docmill without a job queue "
                                             "(DOCMILL_QUEUE): every conversion is answered in "
                                             "its own reply."});
      }
      if (r == "/v1/CreatePDF") {
        return errorReply(400, Error{hr::E_INVALIDARG, "docmill",
                                     *name + " applies to the convert and merge routes."});
      }
      std::map<std::string, std::string> found;
      for (const auto& field : headers) {
        std::string lower(field.name_string());
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.rfind("gotenberg-webhook-", 0) == 0) found[lower] = std::string(field.value());
      }
      auto parsed = webhookOf(found, jobs_->webhookPolicy());
      if (auto* refusal = std::get_if<Reply>(&parsed)) return std::move(*refusal);
      hook = std::move(std::get<queue::Webhook>(parsed));
      return std::nullopt;
    };
    keepAlive = req.keep_alive();
    bodyPending = parser.chunked() || (parser.content_length() && *parser.content_length() > 0);
    if (const std::string given(req["Gotenberg-Trace"]); !given.empty()) {
      if (validTrace(given)) {
        trace = given;
      } else {
        badTrace = true;
      }
    }
    outputName = std::string(req["Gotenberg-Output-Filename"]);

    auto authorized = [&] {
      if (settings_.token.empty() || route == "/health" || route == "/") return true;
      auto it = req.find(http::field::authorization);
      if (it == req.end()) return false;
      std::string value(it->value());
      return value.rfind("Bearer ", 0) == 0 &&
             equalInConstantTime(value.substr(7), settings_.token);
    };

    const std::string host(req[http::field::host]);
    if (!hosts_.allowsHost(host)) {
      reply = errorReply(403,
                         Error{rt::PermissionDenied, "docmill",
                               "This service does not answer to the name \"" + host.substr(0, 100) +
                                   "\"; DOCMILL_SERVE_HOSTS lists further names."});
    } else if (method != "GET" && method != "HEAD" &&
               hosts_.crossSite(std::string(req[http::field::origin]),
                                std::string(req["Sec-Fetch-Site"]), host)) {
      reply = errorReply(403, Error{rt::PermissionDenied, "docmill",
                                    "Requests from another site's page are refused."});
    } else if (draining_) {
      reply = errorReply(503, Error{hr::E_ABORT, "docmill", "The service is shutting down."});
      reply.retryAfter = settings_.retryAfterSeconds;
      keepAlive = false;
    } else if (conn.healthOnly && route != "/health") {
      reply = errorReply(503, Error{rt::CantCreateObject, "docmill",
                                    "Too many connections are open; try again later."});
      reply.retryAfter = settings_.retryAfterSeconds;
    } else if (!authorized()) {
      reply = errorReply(
          401, Error{rt::PermissionDenied, "docmill", "A valid bearer token is required."});
    } else if (jobs_ && !jobPath && isJobRoute(path)) {
      reply = jobs_->query(method, path);
    } else if (!Routes::converts(route)) {
      if (route == "/") {
        Page page = makePage();
        reply.contentType = "text/html; charset=utf-8";
        reply.body = std::move(page.html);
        reply.policy = std::move(page.policy);
      } else {
        reply = routes_.handleSimple(route, inFlight_);
        if (route == "/metrics" && jobs_) reply.body += jobs_->metricsText();
      }
    } else if (badTrace) {
      reply = errorReply(400, Error{hr::E_INVALIDARG, "docmill",
                                    "Gotenberg-Trace must be 1 to " + std::to_string(kMaxTrace) +
                                        " visible ASCII characters."});
    } else if (auto refused = webhookRefusal(req.base(), route, webhook)) {
      reply = std::move(*refused);
    } else if (auto early = Routes::refusedBeforeBody(route, routePath)) {
      reply = std::move(*early);
    } else if (parser.content_length() && *parser.content_length() > settings_.maxBytes) {
      reply = errorReply(413, Error{hr::E_INVALIDARG, "docmill",
                                    "The request body is larger than " +
                                        std::to_string(settings_.maxBytes) + " bytes."});
    } else if (!formBoundary(std::string(req[http::field::content_type]))) {
      reply = errorReply(400, Error{hr::E_INVALIDARG, "docmill",
                                    "The body must be multipart/form-data with a boundary."});
    } else {
      conn.bodyBytes = 0;
      conn.enter(Phase::Body);
      if (beast::iequals(req[http::field::expect], "100-continue")) {
        http::response<http::empty_body> cont{http::status::continue_, 11};
        http::write(conn.socket, cont, ec);
      }
      BodyEnd end = BodyEnd::Read;
      std::string failure;
      try {
        folder.emplace(platform::hostScratchFolder(), "request-");
      } catch (const platform::OsError& e) {
        end = BodyEnd::Failed;
        failure = std::string("Cannot create a private folder: ") + e.what();
      }
      if (end == BodyEnd::Read) {
        // Parts go to generated names; text fields stay in memory up to a bound.
        std::ofstream file;
        std::string* field = nullptr;
        size_t fieldBytes = 0;
        size_t parts = 0;
        MultipartReader::Handler handler;
        // The fields of the routes that read them are judged as they arrive.
        std::optional<FormFields> checker;
        if (FormFields::reads(route)) checker.emplace(route);
        std::string fieldName;
        handler.begin = [&](const PartInfo& part) {
          if (++parts > kMaxParts) throw FormError("the form has too many parts");
          if (checker) checker->begin(part.name, part.fileName.has_value());
          fieldName = part.name;
          if (part.fileName) {
            Upload u;
            u.field = part.name;
            u.clientName = *part.fileName;
            u.path = uploadPath(folder->path(), form.files.size() + 1, *part.fileName);
            file.open(u.path, std::ios::binary | std::ios::trunc);
            if (!file) throw std::runtime_error("cannot store an upload");
            form.files.push_back(std::move(u));
            field = nullptr;
          } else {
            auto [it, fresh] = form.fields.emplace(part.name, std::string());
            field = fresh ? &it->second : nullptr;
          }
        };
        handler.data = [&](const char* data, size_t size) {
          if (file.is_open()) {
            file.write(data, static_cast<std::streamsize>(size));
            if (!file) throw std::runtime_error("cannot store an upload");
            form.files.back().bytes += size;
          } else {
            fieldBytes += size;
            if (fieldBytes > kMaxFields) throw FormError("the form's text fields are too long");
            if (field) field->append(data, size);
          }
        };
        handler.end = [&] {
          if (file.is_open()) {
            file.close();
            if (!file) throw std::runtime_error("cannot store an upload");
          } else if (checker && field) {
            checker->text(fieldName, *field);
          }
          field = nullptr;
        };
        MultipartReader reader(*formBoundary(std::string(req[http::field::content_type])), handler);
        std::vector<char> chunk(kChunk);
        try {
          while (!parser.is_done()) {
            parser.get().body().data = chunk.data();
            parser.get().body().size = chunk.size();
            // What has arrived is taken at once, so that a bad field ends the request early.
            http::read_some(conn.socket, conn.buffer, parser, ec);
            if (ec == http::error::need_buffer) ec = {};
            if (ec) {
              end = conn.late != Late::No ? BodyEnd::TooSlow
                    : (ec == asio::error::eof || ec == http::error::partial_message ||
                       ec == asio::error::connection_reset || ec == asio::error::shut_down ||
                       ec == asio::error::broken_pipe || ec == asio::error::operation_aborted)
                        ? BodyEnd::ClientGone
                        : BodyEnd::BadForm;
              failure = ec.message();
              break;
            }
            conn.touch();
            const size_t n = chunk.size() - parser.get().body().size;
            bytes += n;
            conn.bodyBytes = bytes;
            if (bytes > settings_.maxBytes) {
              end = BodyEnd::TooLarge;
              break;
            }
            reader.feed(chunk.data(), n);
          }
          if (end == BodyEnd::Read) {
            reader.finish();
            if (checker) form.options = checker->finish();
          }
        } catch (const FieldError& e) {
          end = BodyEnd::BadField;
          failure = e.what();
        } catch (const FormError& e) {
          end = BodyEnd::BadForm;
          failure = e.what();
        } catch (const std::exception& e) {
          end = BodyEnd::Failed;
          failure = e.what();
        }
        if (file.is_open()) file.close();
      }
      conn.enter(Phase::Converting);  // the upload's limits no longer apply
      // A form refused only once it was whole leaves the connection fit for the next request.
      bodyPending = end != BodyEnd::Read && !(end == BodyEnd::BadField && parser.is_done());
      switch (end) {
        case BodyEnd::ClientGone:
          reply =
              errorReply(499, Error{hr::E_ABORT, "docmill", "The client went away: " + failure});
          break;
        case BodyEnd::TooSlow:
          reply = errorReply(408, Error{hr::E_ABORT, "docmill", lateText(conn.late)});
          break;
        case BodyEnd::TooLarge:
          reply = errorReply(413, Error{hr::E_INVALIDARG, "docmill",
                                        "The request body is larger than " +
                                            std::to_string(settings_.maxBytes) + " bytes."});
          break;
        case BodyEnd::BadForm:
          reply = errorReply(400, Error{hr::E_INVALIDARG, "docmill", "Malformed form: " + failure});
          break;
        case BodyEnd::BadField:
          reply = errorReply(400, Error{hr::E_INVALIDARG, "docmill", failure});
          break;
        case BodyEnd::Failed:
          reply = errorReply(500, Error{hr::E_FAIL, "docmill", failure});
          break;
        case BodyEnd::Read: {
          if (jobPath || webhook) {
            // A job: stored whole for the workers, answered at once.
            try {
              queue::JobRequest job = jobRequestOf(route, routePath, form, outputName, trace);
              job.webhook = std::move(webhook);
              reply = jobs_->submit(job);
            } catch (const std::exception& e) {
              reply = errorReply(500, Error{hr::E_FAIL, "docmill", e.what()});
            }
            break;
          }
          // Only a complete upload takes a place among the conversions.
          if (!gate_.tryAdmit()) {
            reply = errorReply(503, Error{rt::CantCreateObject, "docmill",
                                          "Too many conversions are waiting; try again later."});
            reply.retryAfter = settings_.retryAfterSeconds;
            metrics_.conversion(route, "rejected");
            break;
          }
          struct Admitted {
            Gate& gate;
            ~Admitted() { gate.leave(); }
          } admitted{gate_};
          converted = true;
          // The conversion runs on its own thread; this one watches the client meanwhile.
          auto context = std::make_shared<CallContext>();
          {
            std::lock_guard lock(conn.mutex);
            conn.context = context;
          }
          std::mutex m;
          std::condition_variable cv;
          bool done = false;
          std::thread worker([&] {
            CallContext::Scope scope(context);
            Reply r;
            try {
              r = routes_.handle(route, routePath, form, folder->path());
            } catch (...) {
              r = errorReply(500,
                             Error{hr::E_FAIL, "docmill", "The conversion failed unexpectedly."});
            }
            std::lock_guard lock(m);
            reply = std::move(r);
            done = true;
            cv.notify_all();
          });
          {
            std::unique_lock lock(m);
            bool gone = false;
            while (!done) {
              cv.wait_for(lock, std::chrono::milliseconds(100));
              if (done || gone) continue;
              lock.unlock();
              if (conn.clientGone()) {
                gone = true;
                context->cancel();
              }
              lock.lock();
            }
          }
          worker.join();
          {
            std::lock_guard lock(conn.mutex);
            conn.context.reset();
          }
          if (context->cancelled()) {
            reply = errorReply(499, cancelledError());
            keepAlive = false;
          }
          conn.touch();
          break;
        }
      }
    }
  }

  // The answer. A client that went away gets none; its request is only logged.
  bool sent = false;
  conn.touch();
  conn.enter(Phase::Answering);
  if (conn.healthOnly || conn.late != Late::No) keepAlive = false;
  if (reply.status != 499) {
    if (bodyPending) keepAlive = false;
    auto fill = [&](auto& res) {
      res.result(static_cast<unsigned>(reply.status));
      res.version(11);
      res.set(http::field::server, "docmill");
      res.set(http::field::content_type, reply.contentType);
      res.set(http::field::cache_control, "no-store");
      res.set("X-Content-Type-Options", "nosniff");
      res.set("X-Frame-Options", "DENY");
      res.set("X-Request-Id", id);
      res.set("Gotenberg-Trace", trace);
      if (!reply.policy.empty()) res.set("Content-Security-Policy", reply.policy);
      if (reply.retryAfter > 0) res.set(http::field::retry_after, std::to_string(reply.retryAfter));
      if (!reply.location.empty()) res.set(http::field::location, reply.location);
      if (reply.status == 401) res.set(http::field::www_authenticate, "Bearer");
      if (!reply.downloadName.empty()) {
        res.set(http::field::content_disposition,
                disposition(downloadName(outputName, reply.downloadName)));
      }
      res.keep_alive(keepAlive);
    };
    conn.touch();
    if (!reply.file.empty()) {
      http::response<http::file_body> res;
      fill(res);
      res.body().open(reply.file.c_str(), beast::file_mode::scan, ec);
      if (ec) {
        reply = errorReply(500, Error{hr::E_FAIL, "docmill", "Cannot read the result."});
      } else {
        res.prepare_payload();
        if (method == "HEAD") {
          res.body().close();
        }
        http::response_serializer<http::file_body> sr{res};
        if (method == "HEAD") sr.split(true);
        while (!ec && !(method == "HEAD" ? sr.is_header_done() : sr.is_done())) {
          if (method == "HEAD") {
            http::write_header(conn.socket, sr, ec);
          } else {
            http::write_some(conn.socket, sr, ec);
          }
          conn.touch();
        }
        sent = !ec;
      }
    }
    if (reply.file.empty()) {
      http::response<http::string_body> res;
      fill(res);
      res.body() = std::move(reply.body);
      res.prepare_payload();
      if (method == "HEAD") {
        http::response_serializer<http::string_body> sr{res};
        sr.split(true);
        http::write_header(conn.socket, sr, ec);
      } else {
        http::write(conn.socket, res, ec);
      }
      sent = !ec;
    }
  }

  // The request's folder goes before the next request is read, and what its conversion
  // allocated (a PDF read whole, pages picked) goes back to the system: the allocator
  // would otherwise keep the peak of the largest request for the life of the service.
  folder.reset();
  if (converted) platform::releaseFreedMemory();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  metrics_.request(route, reply.status, seconds);
  if (settings_.log) {
    nlohmann::json line = {{"time", utcNow()},
                           {"id", id},
                           {"trace", trace},
                           {"method", method},
                           {"route", route},
                           {"path", path.substr(0, 200)},
                           {"files", form.files.size()},
                           {"bytes", bytes},
                           {"status", reply.status},
                           {"duration_ms", static_cast<int64_t>(seconds * 1000)}};
    if (!reply.error.empty()) line["error"] = reply.error;
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
  if (bodyPending && sent) {
    // The rest of a body not read is drained for a moment, so the client sees the answer
    // rather than a reset connection.
    conn.socket.shutdown(tcp::socket::shutdown_send, ec);
    char sink[4096];
    size_t drained = 0;
    while (!ec && drained < (8u << 20)) drained += conn.socket.read_some(asio::buffer(sink), ec);
  }
  return sent && keepAlive && !draining_;
}

int runServe(const std::vector<std::string>& args) {
  ServeSettings settings;
  try {
    settings = ServeSettings::fromEnvironment();
  } catch (const platform::SettingError& e) {
    std::fprintf(stderr, "docmill serve: %s\n", e.what());
    return 2;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    std::string listen;
    if (args[i] == "--listen" && i + 1 < args.size()) {
      listen = args[++i];
    } else if (args[i].rfind("--listen=", 0) == 0) {
      listen = args[i].substr(9);
    } else {
      std::fprintf(stderr,
                   "usage: docmill serve [--listen ADDR:PORT]   (default 127.0.0.1:3000)\n");
      return args[i] == "--help" || args[i] == "-h" ? 0 : 2;
    }
    if (!settings.setListen(listen)) {
      std::fprintf(stderr, "docmill serve: cannot listen on \"%s\" (ADDR:PORT)\n", listen.c_str());
      return 2;
    }
  }
  Server server(settings, systemProbe());
  try {
    server.start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "docmill serve: cannot listen on %s:%u: %s\n", settings.host.c_str(),
                 settings.port, e.what());
    return 1;
  }
  // The offices start at once, so the first requests and the health check find them.
  cli::startAllOffices();
  std::fprintf(stderr, "docmill serve: listening on http://%s:%u/\n", settings.host.c_str(),
               server.port());
  asio::io_context io;
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([](const boost::system::error_code&, int) {});
  io.run();
  std::fprintf(stderr, "docmill serve: stopping\n");
  server.stop();
  return 0;
}

}  // namespace docmill::serve
