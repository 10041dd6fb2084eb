// Webhook delivery against a receiver of the test's own: a small HTTP server on the loopback
// address that records what reaches it and answers with scripted statuses.
#include "queue/webhook.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace docmill::queue {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;

class Receiver {
 public:
  struct Request {
    std::string method, target, body;
    std::map<std::string, std::string> headers;  // names in lower case
  };

  // Answers with the statuses of `script` in turn, then with 200. A status of 0 reads the
  // request and never answers.
  explicit Receiver(std::vector<int> script = {}) : script_(script.begin(), script.end()) {
    acceptor_.open(tcp::v4());
    acceptor_.bind({net::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { serve(); });
  }

  ~Receiver() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stopped_.notify_all();
    // Wakes the accept.
    net::io_context io;
    tcp::socket poke(io);
    beast::error_code ec;
    poke.connect({net::ip::make_address("127.0.0.1"), port_}, ec);
    thread_.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  int connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }

 private:
  void serve() {
    for (;;) {
      tcp::socket socket(io_);
      beast::error_code ec;
      acceptor_.accept(socket, ec);
      int status = 200;
      {
        std::lock_guard lock(mutex_);
        if (stopping_ || ec) return;
        ++connections_;
      }
      beast::flat_buffer buffer;
      http::request_parser<http::string_body> parser;
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      http::read(socket, buffer, parser, ec);
      if (ec) continue;
      const auto& message = parser.get();
      Request recorded{
          std::string(message.method_string()), std::string(message.target()), message.body(), {}};
      for (const auto& field : message) {
        std::string name(field.name_string());
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        recorded.headers[name] = std::string(field.value());
      }
      {
        std::unique_lock lock(mutex_);
        requests_.push_back(std::move(recorded));
        if (!script_.empty()) {
          status = script_.front();
          script_.pop_front();
        }
        if (status == 0) {
          stopped_.wait(lock, [this] { return stopping_; });
          return;
        }
      }
      http::response<http::string_body> answer{static_cast<http::status>(status), 11};
      if (status >= 300 && status < 400) answer.set(http::field::location, url("/elsewhere"));
      answer.body() = "answer";
      answer.keep_alive(false);
      answer.prepare_payload();
      http::write(socket, answer, ec);
      socket.shutdown(tcp::socket::shutdown_send, ec);
    }
  }

  net::io_context io_;
  tcp::acceptor acceptor_{io_};
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::deque<int> script_;
  std::vector<Request> requests_;
  int connections_ = 0;
};

DeliverySettings quick() {
  DeliverySettings s;
  s.attempts = 3;
  s.firstBackoff = milliseconds(1);
  s.connectTimeout = milliseconds(5000);
  s.timeout = milliseconds(10000);
  return s;
}

JobResult pdfResult() {
  JobResult r;
  r.status = 200;
  r.contentType = "application/pdf";
  r.downloadName = "report.pdf";
  static constexpr char kBody[] = "%PDF-1.7\r\n\0binary\r\n\r\nend";
  r.body = std::string(kBody, sizeof kBody - 1);  // the NUL inside is part of it
  return r;
}

WebhookPolicy allowing(const Receiver& receiver) {
  return WebhookPolicy({receiver.url("/hooks/*")});
}

TEST(WebhookPolicy, AllowsOnlyPlainUrlsMatchingAPatternAsAWhole) {
  const WebhookPolicy policy(
      {"http://allowed.example/*", "https://*.hooks.example/in/*", "http://10.0.0.5:*/*"});
  for (const char* url :
       {"http://allowed.example/x", "http://allowed.example", "http://allowed.example?x=1",
        "https://a.b.hooks.example/in/x?y=1", "http://10.0.0.5:8080/"}) {
    EXPECT_TRUE(policy.allows(url)) << url;
  }
  for (const char* url : {"http://allowed.example@evil/",     // user information, host "evil"
                          "http://user:pw@allowed.example/",  // user information
                          "http://allowed.example.evil/",     // another host
                          "http://allowed.example:6379/",     // a port nobody allowed
                          "http://allowed.example:/x",        // an empty port
                          "HTTP://allowed.example/",          // upper-case scheme
                          "http://allowed.example/\r\nX-Injected: 1",
                          "http://allowed.example/\n",
                          "http://allowed.example/ x",
                          "http://allowed.example/#frag",
                          "file:///etc/passwd",
                          "gopher://allowed.example/",
                          "ftp://allowed.example/",
                          "//allowed.example/",
                          "allowed.example/",
                          "https://evil.test/.hooks.example/in/x",  // a '*' reaching past the host
                          "https://evil.test:1.hooks.example/in/x",
                          "https://.hooks.example/in/x",
                          "http://10.0.0.5:99999/",
                          "http://10.0.0.5:0x50/",
                          "http://[::1]:80/"}) {
    EXPECT_FALSE(policy.allows(url)) << url;
  }
  EXPECT_FALSE(WebhookPolicy().allows("http://allowed.example/"));
  EXPECT_FALSE(WebhookPolicy().enabled());
  const WebhookPolicy any({"*"});
  EXPECT_TRUE(any.allows("https://anything.example:8443/x"));
  EXPECT_FALSE(any.allows("file:///etc/passwd"));
  EXPECT_FALSE(any.allows("http://a@b/"));
}

TEST(WebhookPolicy, ReadsPatternsSeparatedByCommasOrBlanks) {
  ::setenv("DOCMILL_WEBHOOK_ALLOW", " http://a.example/*,http://b.example/* ,, http://c.example/x",
           1);
  const WebhookPolicy policy = WebhookPolicy::fromEnvironment();
  ::unsetenv("DOCMILL_WEBHOOK_ALLOW");
  EXPECT_TRUE(policy.allows("http://a.example/1"));
  EXPECT_TRUE(policy.allows("http://b.example/2"));
  EXPECT_TRUE(policy.allows("http://c.example/x"));
  EXPECT_FALSE(policy.allows("http://c.example/y"));
  EXPECT_FALSE(WebhookPolicy::fromEnvironment().enabled());
}

TEST(WebhookDelivery, PostsTheResultOnceWithItsHeadersAndBodyIntact) {
  Receiver receiver;
  Webhook hook;
  hook.url = receiver.url("/hooks/done?ref=7");
  hook.method = "PUT";
  hook.extraHeaders = {{"Authorization", "Bearer secret"}, {"X-Trace", "a b\tc"}};
  const JobResult result = pdfResult();
  const Delivery d = deliver(hook, "job-1", result, allowing(receiver), quick());
  EXPECT_TRUE(d.delivered) << d.lastProblem;
  EXPECT_EQ(d.attempts, 1);
  EXPECT_EQ(d.lastStatus, 200);
  EXPECT_EQ(d.lastProblem, "");
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.method, "PUT");
  EXPECT_EQ(r.target, "/hooks/done?ref=7");
  EXPECT_EQ(r.body, result.body);
  EXPECT_EQ(r.headers.at("docmill-job-id"), "job-1");
  EXPECT_EQ(r.headers.at("docmill-delivery-attempt"), "1");
  EXPECT_EQ(r.headers.at("content-type"), "application/pdf");
  EXPECT_EQ(r.headers.at("content-disposition"), "attachment; filename=\"report.pdf\"");
  EXPECT_EQ(r.headers.at("authorization"), "Bearer secret");
  EXPECT_EQ(r.headers.at("x-trace"), "a b\tc");
  EXPECT_EQ(r.headers.at("host"), "127.0.0.1:" + receiver.url("").substr(17));
}

TEST(WebhookDelivery, AFailedJobGoesToTheErrorUrlOrNowhere) {
  Receiver receiver;
  Webhook hook;
  hook.url = receiver.url("/hooks/done");
  hook.errorUrl = receiver.url("/hooks/failed");
  hook.errorMethod = "PATCH";
  JobResult failure;
  failure.status = 422;
  failure.contentType = "application/json";
  failure.body = R"({"status":422,"message":"bad document"})";
  Delivery d = deliver(hook, "job-2", failure, allowing(receiver), quick());
  EXPECT_TRUE(d.delivered) << d.lastProblem;
  auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "PATCH");
  EXPECT_EQ(requests[0].target, "/hooks/failed");
  EXPECT_EQ(requests[0].body, failure.body);
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/json");
  EXPECT_EQ(requests[0].headers.count("content-disposition"), 0u);

  hook.errorUrl.clear();
  d = deliver(hook, "job-2", failure, allowing(receiver), quick());
  EXPECT_FALSE(d.delivered);
  EXPECT_EQ(d.attempts, 0);
  EXPECT_NE(d.lastProblem.find("no error URL"), std::string::npos) << d.lastProblem;
  EXPECT_EQ(receiver.requests().size(), 1u);
}

TEST(WebhookDelivery, RetriesWithTheSameJobIdUntilTheReceiverTakesIt) {
  Receiver receiver({503, 503, 200});
  Webhook hook;
  hook.url = receiver.url("/hooks/done");
  const Delivery d = deliver(hook, "job-3", pdfResult(), allowing(receiver), quick());
  EXPECT_TRUE(d.delivered) << d.lastProblem;
  EXPECT_EQ(d.attempts, 3);
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].headers.at("docmill-job-id"), "job-3");
    EXPECT_EQ(requests[i].headers.at("docmill-delivery-attempt"), std::to_string(i + 1));
    EXPECT_EQ(requests[i].body, pdfResult().body);
  }
}

TEST(WebhookDelivery, RetriesOnlyWhatMayHeal) {
  struct Case {
    std::vector<int> script;
    int attempts;
    bool delivered;
    int lastStatus;
  };
  const Case cases[] = {
      {{302}, 1, false, 302},  // never followed: /elsewhere is not asked
      {{400}, 1, false, 400},     {{404}, 1, false, 404},           {{429, 200}, 2, true, 200},
      {{408, 200}, 2, true, 200}, {{500, 502, 504}, 3, false, 504},
  };
  for (const auto& c : cases) {
    Receiver receiver(c.script);
    Webhook hook;
    hook.url = receiver.url("/hooks/done");
    const Delivery d = deliver(hook, "job-4", pdfResult(), allowing(receiver), quick());
    const std::string label = "first answer " + std::to_string(c.script[0]);
    EXPECT_EQ(d.delivered, c.delivered) << label;
    EXPECT_EQ(d.attempts, c.attempts) << label;
    EXPECT_EQ(d.lastStatus, c.lastStatus) << label;
    EXPECT_EQ(receiver.requests().size(), static_cast<size_t>(c.attempts)) << label;
    if (!d.delivered) {
      EXPECT_FALSE(d.lastProblem.empty()) << label;
    }
  }
}

TEST(WebhookDelivery, ConnectionFailuresAndSilentReceiversAreRetriedWithinLimits) {
  uint16_t closedPort;
  {
    net::io_context io;
    tcp::acceptor probe(io, {net::ip::make_address("127.0.0.1"), 0});
    closedPort = probe.local_endpoint().port();
  }
  Webhook hook;
  hook.url = "http://127.0.0.1:" + std::to_string(closedPort) + "/hooks/x";
  Delivery d = deliver(hook, "job-5", pdfResult(), WebhookPolicy({hook.url}), quick());
  EXPECT_FALSE(d.delivered);
  EXPECT_EQ(d.attempts, 3);
  EXPECT_EQ(d.lastStatus, 0);
  EXPECT_NE(d.lastProblem.find("cannot connect"), std::string::npos) << d.lastProblem;

  // https to a receiver that speaks no TLS: the handshake fails; nothing goes in clear.
  Receiver plain;
  hook.url = "https://127.0.0.1:" + plain.url("").substr(17) + "/hooks/x";
  d = deliver(hook, "job-5", pdfResult(), WebhookPolicy({hook.url}), quick());
  EXPECT_FALSE(d.delivered);
  EXPECT_EQ(d.attempts, 3);
  EXPECT_NE(d.lastProblem.find("TLS"), std::string::npos) << d.lastProblem;
  EXPECT_TRUE(plain.requests().empty());

  Receiver silent({0});
  hook.url = silent.url("/hooks/x");
  DeliverySettings settings = quick();
  settings.attempts = 1;
  settings.timeout = milliseconds(300);
  d = deliver(hook, "job-5", pdfResult(), allowing(silent), settings);
  EXPECT_FALSE(d.delivered);
  EXPECT_EQ(d.attempts, 1);
  EXPECT_NE(d.lastProblem.find("timed out"), std::string::npos) << d.lastProblem;
}

TEST(WebhookDelivery, RefusesWhatACallerMustNotChooseWithoutConnecting) {
  Receiver receiver;
  const WebhookPolicy policy = allowing(receiver);
  const std::string port = receiver.url("").substr(17);
  std::vector<Webhook> hooks;
  for (const std::string& url :
       {receiver.url("/other"), "http://localhost:" + port + "/hooks/x",
        "http://allowed@127.0.0.1:" + port + "/hooks/x", receiver.url("/hooks/x\r\nX: 1"),
        std::string("file:///etc/passwd")}) {
    Webhook hook;
    hook.url = url;
    hooks.push_back(hook);
  }
  const std::vector<std::pair<std::string, std::string>> badHeaders = {
      {"X-A\r\nInjected", "1"},
      {"X-A", "v\r\nInjected: 1"},
      {"X-A", "v\nInjected: 1"},
      {"X-A", std::string("v\0w", 3)},
      {"X A", "1"},
      {"", "1"},
      {"Host", "evil.example"},
      {"content-length", "0"},
      {"Transfer-Encoding", "chunked"},
      {"Connection", "keep-alive"},
      {"Content-Type", "text/html"},
      {"DOCMILL-JOB-ID", "another-job"},
      {"Docmill-Delivery-Attempt", "9"},
  };
  for (const auto& header : badHeaders) {
    Webhook hook;
    hook.url = receiver.url("/hooks/x");
    hook.extraHeaders = {{"X-Fine", "1"}, header};
    hooks.push_back(hook);
  }
  for (const char* method : {"GET", "DELETE", "POST\r\nX: 1", "CONNECT"}) {
    Webhook hook;
    hook.url = receiver.url("/hooks/x");
    hook.method = method;
    hooks.push_back(hook);
  }
  for (const auto& hook : hooks) {
    const Delivery d = deliver(hook, "job-6", pdfResult(), policy, quick());
    std::string label = hook.url + " " + hook.method;
    for (const auto& [name, value] : hook.extraHeaders) label += " [" + name + ": " + value + "]";
    EXPECT_FALSE(d.delivered) << label;
    EXPECT_EQ(d.attempts, 0) << label;
    EXPECT_FALSE(d.lastProblem.empty()) << label;
  }
  EXPECT_EQ(receiver.connections(), 0);
}

TEST(WebhookDelivery, StopEndsTheRetriesDuringTheBackoff) {
  Receiver receiver({503, 503});
  Webhook hook;
  hook.url = receiver.url("/hooks/done");
  DeliverySettings settings = quick();
  settings.attempts = 2;
  // Far longer than the test may take: only looking at `stop` during the wait ends it.
  settings.firstBackoff = std::chrono::minutes(2);
  int asked = 0;
  const Delivery d = deliver(hook, "job-7", pdfResult(), allowing(receiver), settings,
                             [&asked] { return ++asked >= 3; });
  EXPECT_FALSE(d.delivered);
  EXPECT_EQ(d.attempts, 1);
  EXPECT_EQ(d.lastStatus, 503);
  EXPECT_GE(asked, 3);
  EXPECT_EQ(receiver.requests().size(), 1u);
}

}  // namespace
}  // namespace docmill::queue
