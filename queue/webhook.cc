#include "queue/webhook.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "platform/settings.h"

namespace docmill::queue {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longer URLs are not webhooks; refusing them keeps the matching cheap.
constexpr size_t kMaxUrlLength = 8192;
// Back-off never grows past this, however many attempts the settings allow.
constexpr milliseconds kMaxBackoff = std::chrono::hours(1);
// How often a back-off wait looks at `stop`.
constexpr milliseconds kStopPollSlice{20};

bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What a URL may hold as written: the unreserved and reserved characters and '%'. Blanks,
// controls (CR, LF, NUL), quotes and bytes past ASCII make it no URL of ours.
bool isUrlChar(char c) {
  return isAsciiAlnum(c) ||
         std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

bool isHostChar(char c) {
  return isAsciiAlnum(c) || c == '.' || c == '-' || c == '_';
}

// A URL taken apart: where to connect and what to ask for.
struct Target {
  bool https = false;
  std::string host;        // a name or an address; an IPv6 address without its brackets
  bool address = false;    // the host is an IP address, not a name
  std::string port;        // digits: the URL's, else the scheme's
  std::string hostHeader;  // the authority as written ("host" or "host:port")
  std::string path;        // path and query, starting with '/'
  std::string canonical;   // scheme://authority/path?query: what the allow list sees
};

// The URL as a Target; nothing (and the reason in `why`) for one that is not a plain http
// or https URL: another scheme, an upper-case one, user information, a fragment, a host or
// port that is not one, or characters no URL holds.
std::optional<Target> parseUrl(const std::string& url, std::string* why) {
  const auto refuse = [why](const char* reason) -> std::optional<Target> {
    if (why) *why = reason;
    return std::nullopt;
  };
  if (url.size() > kMaxUrlLength) return refuse("is too long");
  if (!std::all_of(url.begin(), url.end(), isUrlChar)) {
    return refuse("holds characters a URL cannot hold");
  }
  Target t;
  std::string_view rest(url);
  if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("https://")) {
    rest.remove_prefix(8);
    t.https = true;
  } else {
    return refuse("is not an http or https URL");
  }
  const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authorityEnd);
  const std::string_view remainder = rest.substr(authorityEnd);
  if (authority.find('@') != std::string_view::npos) return refuse("carries user information");
  if (remainder.find('#') != std::string_view::npos) return refuse("has a fragment");

  std::string_view host, port;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return refuse("has no valid host");
    host = authority.substr(1, close - 1);
    const bool ipv6 = !host.empty() && host.find(':') != std::string_view::npos &&
                      std::all_of(host.begin(), host.end(), [](char c) {
                        return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
                      });
    if (!ipv6) return refuse("has no valid host");
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) return refuse("has no valid host");
    if (!after.empty()) port = after.substr(1);
    if (!after.empty() && port.empty()) return refuse("has an empty port");
    t.address = true;
  } else {
    const size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    // Labels are never empty, though a name may end in the root's dot.
    const bool labels = !host.starts_with('.') && host.find("..") == std::string_view::npos;
    if (host.empty() || !labels || !std::all_of(host.begin(), host.end(), isHostChar)) {
      return refuse("has no valid host");
    }
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return refuse("has an empty port");
    }
    boost::system::error_code ec;
    net::ip::make_address_v4(std::string(host), ec);
    t.address = !ec;
  }
  if (!port.empty()) {
    if (!isDigits(port) || port.size() > 5 || std::stoi(std::string(port)) < 1 ||
        std::stoi(std::string(port)) > 65535) {
      return refuse("has no valid port");
    }
  }
  t.host = std::string(host);
  t.port = port.empty() ? (t.https ? "443" : "80") : std::string(port);
  t.hostHeader = std::string(authority);
  t.path = remainder.starts_with('/') ? std::string(remainder) : "/" + std::string(remainder);
  t.canonical = (t.https ? "https://" : "http://") + t.hostHeader + t.path;
  return t;
}

// Whether `url` (a canonical URL) matches `pattern` as a whole. '*' stands for any run of
// characters, except that a '*' in the pattern's scheme and authority (before the first '/'
// after "://") stands for no '/' or ':' (so "https://*.example.com/*" is not met by
// "https://evil.test/.example.com/", and a port is allowed only where a pattern names one
// or has a '*' after its ':'). The pattern "*" alone allows every URL.
bool matches(std::string_view pattern, std::string_view url) {
  if (pattern == "*") return true;
  const size_t scheme = pattern.find("://");
  const size_t pathStart = scheme == std::string_view::npos
                               ? pattern.size()
                               : std::min(pattern.find('/', scheme + 3), pattern.size());
  // next[j]: whether pattern[i+1..] matches url[j..]; row[j]: the same for pattern[i..].
  const size_t m = url.size();
  std::vector<char> next(m + 1, 0), row(m + 1, 0);
  next[m] = 1;
  for (size_t i = pattern.size(); i-- > 0;) {
    const char p = pattern[i];
    const bool narrow = i < pathStart;
    row[m] = p == '*' ? next[m] : 0;
    for (size_t j = m; j-- > 0;) {
      if (p == '*') {
        const bool spans = !narrow || (url[j] != '/' && url[j] != ':');
        row[j] = next[j] || (spans && row[j + 1]);
      } else {
        row[j] = p == url[j] && next[j + 1];
      }
    }
    std::swap(next, row);
  }
  return next[0];
}

// RFC 9110's token characters: what a header name is made of.
bool isToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return isAsciiAlnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

bool holdsLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Headers a client may not set: they decide the request's framing or target, or they are
// the ones this delivery sets itself.
bool isReservedHeader(std::string_view name) {
  static constexpr std::string_view kReserved[] = {
      "Host",       "Content-Length",   "Transfer-Encoding", "Connection",
      "Keep-Alive", "Proxy-Connection", "Upgrade",           "TE",
      "Trailer",    "Expect",           "Content-Type",      "Content-Disposition",
      kJobIdHeader, kAttemptHeader};
  return std::any_of(std::begin(kReserved), std::end(kReserved), [name](std::string_view r) {
    return beast::iequals(beast::string_view(name.data(), name.size()),
                          beast::string_view(r.data(), r.size()));
  });
}

// Content-Disposition for a result file; nothing for a name that cannot be carried safely
// (controls, quotes, backslashes, slashes). Bytes past ASCII go in the UTF-8 form as well.
std::optional<std::string> disposition(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  std::string ascii, encoded;
  bool plain = true;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '/') return std::nullopt;
    if (c >= 0x80) plain = false;
    ascii += c < 0x80 ? static_cast<char>(c) : '_';
    if (isAsciiAlnum(static_cast<char>(c)) || c == '.' || c == '-' || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xf];
    }
  }
  std::string value = "attachment; filename=\"" + ascii + "\"";
  if (!plain) value += "; filename*=UTF-8''" + encoded;
  return value;
}

std::optional<http::verb> methodOf(const std::string& method) {
  if (method.empty() || beast::iequals(method, "POST")) return http::verb::post;
  if (beast::iequals(method, "PUT")) return http::verb::put;
  if (beast::iequals(method, "PATCH")) return http::verb::patch;
  return std::nullopt;
}

using Request = http::request<http::span_body<const char>>;

// How one attempt ended.
struct Outcome {
  int status = 0;  // 0: no answer came
  std::string problem;
  bool retry = false;
};

// Starts an asynchronous operation and runs the context until it completes (the stream's
// expiry bounds it); its error.
template <typename Start>
beast::error_code runStep(net::io_context& io, Start&& start) {
  beast::error_code result;
  start([&result](beast::error_code ec, auto&&...) { result = ec; });
  io.restart();
  io.run();
  return result;
}

std::string describe(const beast::error_code& ec, milliseconds limit) {
  if (ec == beast::error::timeout)
    return "timed out after " + std::to_string(limit.count()) + " ms";
  return ec.message();
}

// Sends the request on a connected stream and reads the answer's status.
template <typename Stream>
Outcome exchange(net::io_context& io, Stream& stream, Request& request, Clock::time_point deadline,
                 milliseconds timeout) {
  beast::get_lowest_layer(stream).expires_at(deadline);
  if (auto ec = runStep(io, [&](auto handler) { http::async_write(stream, request, handler); })) {
    return {0, "sending the request failed: " + describe(ec, timeout), true};
  }
  // Only the status line and headers matter; the body is never read, so its size does not.
  beast::flat_buffer buffer;
  for (int interim = 0; interim < 5; ++interim) {
    http::response_parser<http::empty_body> parser;
    // Not boost::none: Boost 1.74 compares a length with an empty limit as exceeding it.
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    if (auto ec = runStep(
            io, [&](auto handler) { http::async_read_header(stream, buffer, parser, handler); })) {
      return {0, "reading the answer failed: " + describe(ec, timeout), true};
    }
    const int status = static_cast<int>(parser.get().result_int());
    if (status >= 100 && status < 200) continue;  // an interim answer: the final one follows
    const std::string code = std::to_string(status);
    if (status >= 200 && status < 300) return {status, "", false};
    if (status >= 300 && status < 400) {
      return {status, "the receiver answered " + code + " (a redirect, not followed)", false};
    }
    const bool again = status == 408 || status == 429 || status >= 500;
    return {status, "the receiver answered " + code, again};
  }
  return {0, "the receiver sent no final answer", true};
}

// One attempt: resolve, connect to one of the addresses found, send, read the status.
Outcome attempt(const Target& target, Request& request, const DeliverySettings& settings,
                ssl::context* tls) {
  const auto deadline = Clock::now() + settings.timeout;
  net::io_context io;
  tcp::resolver resolver(io);
  beast::error_code ec;
  // The system resolver bounds its own wait (resolv.conf's timeout and attempts).
  const auto endpoints =
      resolver.resolve(target.host, target.port, tcp::resolver::numeric_service, ec);
  if (ec) return {0, "cannot resolve " + target.host + ": " + ec.message(), true};
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  if (left <= milliseconds(0)) return {0, "resolving took the whole attempt", true};
  const milliseconds connectLimit = std::min(settings.connectTimeout, left);

  const auto connect = [&](beast::tcp_stream& tcpStream) -> std::optional<Outcome> {
    tcpStream.expires_after(connectLimit);
    // Only the addresses resolved above: nothing resolves the name again behind the check.
    if (auto e = runStep(io, [&](auto handler) { tcpStream.async_connect(endpoints, handler); })) {
      return Outcome{0, "cannot connect to " + target.hostHeader + ": " + describe(e, connectLimit),
                     true};
    }
    return std::nullopt;
  };

  if (!tls) {
    beast::tcp_stream stream(io);
    if (auto failed = connect(stream)) return *failed;
    Outcome outcome = exchange(io, stream, request, deadline, settings.timeout);
    stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    return outcome;
  }
  beast::ssl_stream<beast::tcp_stream> stream(io, *tls);
  SSL* handle = stream.native_handle();
  if (target.address) {
    // An address is checked against the certificate's IP entries and sent as no name.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(handle), target.host.c_str());
  } else if (!SSL_set_tlsext_host_name(handle, target.host.c_str()) ||
             !SSL_set1_host(handle, target.host.c_str())) {
    return {0, "cannot set up TLS for " + target.host, false};
  }
  if (auto failed = connect(beast::get_lowest_layer(stream))) return *failed;
  beast::get_lowest_layer(stream).expires_at(deadline);
  if (auto e = runStep(
          io, [&](auto handler) { stream.async_handshake(ssl::stream_base::client, handler); })) {
    return {0, "TLS with " + target.hostHeader + " failed: " + describe(e, settings.timeout), true};
  }
  // No TLS close: the answer is in, and a receiver that never acknowledges must not hold us.
  return exchange(io, stream, request, deadline, settings.timeout);
}

// Waits `duration`, looking at `stop` every few milliseconds; false when it said stop.
bool waitUnlessStopped(milliseconds duration, const std::function<bool()>& stop) {
  const auto until = Clock::now() + duration;
  for (;;) {
    if (stop && stop()) return false;
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kStopPollSlice));
  }
}

Delivery refused(std::string problem) {
  Delivery d;
  d.lastProblem = std::move(problem);
  return d;
}

Delivery deliverOrThrow(const Webhook& webhook, const std::string& jobId, const JobResult& result,
                        const WebhookPolicy& policy, const DeliverySettings& settings,
                        const std::function<bool()>& stop) {
  const bool failed = result.status >= 400;
  const std::string& url = failed ? webhook.errorUrl : webhook.url;
  const char* which = failed ? "error URL" : "URL";
  if (url.empty()) {
    return refused(failed ? "the job failed and the webhook names no error URL"
                          : "the webhook names no URL");
  }
  std::string why;
  const auto target = parseUrl(url, &why);
  if (!target) return refused(std::string("the webhook ") + which + " " + why);
  if (!policy.allows(url)) {
    return refused(std::string("the webhook ") + which + " is not allowed (DOCMILL_WEBHOOK_ALLOW)");
  }
  const auto verb = methodOf(failed ? webhook.errorMethod : webhook.method);
  if (!verb) return refused("the webhook method is not POST, PUT or PATCH");
  if (jobId.empty() || holdsLineBreakOrNul(jobId)) return refused("the job id cannot be sent");

  Request request(*verb, target->path, 11);
  request.set(http::field::host, target->hostHeader);
  request.set(http::field::user_agent, "docmill");
  for (const auto& [name, value] : webhook.extraHeaders) {
    if (!isToken(name)) return refused("an extra header's name is not a valid header name");
    if (isReservedHeader(name)) {
      return refused("the extra header \"" + name + "\" cannot be set by the client");
    }
    if (holdsLineBreakOrNul(value)) {
      return refused("the extra header \"" + name + "\" holds CR, LF or NUL");
    }
    request.insert(name, value);
  }
  std::string contentType = result.contentType;
  if (contentType.empty() || holdsLineBreakOrNul(contentType)) {
    contentType = failed ? "application/json" : "application/octet-stream";
  }
  request.set(http::field::content_type, contentType);
  if (!failed) {
    if (auto value = disposition(result.downloadName)) {
      request.set(http::field::content_disposition, *value);
    }
  }
  request.set(kJobIdHeader, jobId);
  request.keep_alive(false);
  request.body() = {result.body.data(), result.body.size()};
  request.prepare_payload();

  std::optional<ssl::context> tls;
  if (target->https) {
    tls.emplace(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
    tls->set_default_verify_paths();
    tls->set_verify_mode(ssl::verify_peer);
  }

  Delivery delivery;
  const int attempts = std::max(1, settings.attempts);
  milliseconds backoff = std::clamp(settings.firstBackoff, milliseconds(0), kMaxBackoff);
  for (int n = 1;; ++n) {
    request.set(kAttemptHeader, std::to_string(n));
    Outcome outcome = attempt(*target, request, settings, tls ? &*tls : nullptr);
    delivery.attempts = n;
    delivery.lastStatus = outcome.status;
    delivery.lastProblem = std::move(outcome.problem);
    if (outcome.status >= 200 && outcome.status < 300) {
      delivery.delivered = true;
      return delivery;
    }
    if (!outcome.retry || n >= attempts) return delivery;
    if (!waitUnlessStopped(backoff, stop)) {
      delivery.lastProblem += " (no retry: stopping)";
      return delivery;
    }
    backoff = std::min(backoff * 2, kMaxBackoff);
  }
}

}  // namespace

WebhookPolicy::WebhookPolicy(std::vector<std::string> patterns) : patterns_(std::move(patterns)) {
  std::erase_if(patterns_, [](const std::string& p) { return p.empty(); });
}

WebhookPolicy WebhookPolicy::fromEnvironment() {
  std::vector<std::string> patterns;
  const std::string text = platform::readTextSetting(platform::kWebhookAllow).value_or("");
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find_first_of(", \t\r\n", start), text.size());
    if (end > start) patterns.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return WebhookPolicy(std::move(patterns));
}

bool WebhookPolicy::allows(const std::string& url) const {
  const auto target = parseUrl(url, nullptr);
  return target && std::any_of(patterns_.begin(), patterns_.end(),
                               [&](const std::string& p) { return matches(p, target->canonical); });
}

Delivery deliver(const Webhook& webhook, const std::string& jobId, const JobResult& result,
                 const WebhookPolicy& policy, const DeliverySettings& settings,
                 const std::function<bool()>& stop) {
  try {
    return deliverOrThrow(webhook, jobId, result, policy, settings, stop);
  } catch (const std::exception& e) {
    return refused(std::string("the delivery failed: ") + e.what());
  }
}

}  // namespace docmill::queue
