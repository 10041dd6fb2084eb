// What a web page or one client can make of the service: a page on another site posting to
// it (directly, or under its own name through DNS rebinding), a client holding many
// connections, headers or uploads that never finish, and uploads that take every
// conversion slot before they are complete.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serve/access.h"
#include "tests/serve/http_client.h"
#include "tests/serve/service_fixture.h"
#include "tests/support/programs.h"
#include "tests/support/wait.h"

namespace docmill::serve {
namespace {

using docmill::servetest::curl;
using docmill::servetest::formRequest;
using docmill::servetest::HttpResult;
using docmill::servetest::RawClient;
using docmill::servetest::ServeTest;
using docmill::servetest::statusOf;

TEST(HostPolicyTest, OnlyTheNamesTheServiceIsReachedByPass) {
  const HostPolicy loopback("127.0.0.1", {}, {"box"});
  for (const char* host : {"127.0.0.1:3000", "127.0.0.1", "localhost", "LOCALHOST:1", "localhost.",
                           "[::1]:3000", "ip6-localhost", ""}) {
    EXPECT_TRUE(loopback.allowsHost(host)) << host;
  }
  for (const char* host : {"evil.example", "evil.example:3000", "127.0.0.1.evil.example", "box",
                           "[::1", "localhost:http", "localhost.evil.example"}) {
    EXPECT_FALSE(loopback.allowsHost(host)) << host;
  }

  // Every interface: the machine's own names and addresses too.
  const HostPolicy any("0.0.0.0", {}, {"box.example.org", "box", "10.1.2.3", "fe80::1"});
  for (const char* host :
       {"box:3000", "BOX.example.org", "10.1.2.3:80", "[fe80::1]:80", "localhost"}) {
    EXPECT_TRUE(any.allowsHost(host)) << host;
  }
  EXPECT_FALSE(any.allowsHost("other.example.org"));

  // One address: that address and the names given.
  const HostPolicy one("10.0.0.5", hostList(" docs.example.com, Proxy.Local:8080 ,,"), {"box"});
  for (const char* host : {"10.0.0.5:3000", "docs.example.com", "proxy.local:443"}) {
    EXPECT_TRUE(one.allowsHost(host)) << host;
  }
  for (const char* host : {"localhost", "127.0.0.1", "box"}) {
    EXPECT_FALSE(one.allowsHost(host)) << host;
  }
}

TEST(HostPolicyTest, PostsFromAnotherSitesPageAreTold) {
  const HostPolicy policy("127.0.0.1", {"docs.example.com"}, {});
  struct Case {
    const char *origin, *fetchSite, *host;
    bool cross;
  } cases[] = {
      {"", "", "127.0.0.1:3000", false},  // curl, scripts
      {"http://127.0.0.1:3000", "same-origin", "127.0.0.1:3000", false},
      {"https://docs.example.com", "", "docs.example.com", false},
      {"http://docs.example.com", "", "docs.example.com:80", false},
      {"http://evil.example", "", "127.0.0.1:3000", true},
      {"http://localhost:3000", "", "127.0.0.1:3000", true},
      {"http://127.0.0.1:8080", "same-site", "127.0.0.1:3000", true},
      {"https://127.0.0.1:3000", "", "127.0.0.1:3000", false},  // TLS ended by a proxy
      {"null", "", "127.0.0.1:3000", true},
      {"", "cross-site", "127.0.0.1:3000", true},
      {"http://127.0.0.1:3000", "", "", false},
      {"http://evil.example", "", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(policy.crossSite(c.origin, c.fetchSite, c.host), c.cross)
        << c.origin << " | " << c.fetchSite << " | " << c.host;
  }
}

TEST_F(ServeTest, ServesOnlyItsOwnNamesAndRefusesOtherSitesPages) {
  settings_.hosts = {"docs.example.com"};
  start();
  const std::string doc = file("a.txt", "A\n");
  const std::string port = std::to_string(server_->port());
  auto convert = [&](std::vector<std::string> headers) {
    return post("/forms/libreoffice/convert", {"files=@" + doc}, std::move(headers));
  };
  // A rebound name reaches the service's address but is not one of its names.
  for (const std::string& host : {"evil.example:" + port, std::string("evil.example")}) {
    HttpResult r = convert({"-H", "Host: " + host});
    EXPECT_EQ(r.status, 403) << host;
    EXPECT_NE(r.body.find("evil.example"), std::string::npos) << r.body;
    EXPECT_EQ(curl(base_ + "/", {"-H", "Host: " + host}).status, 403) << host;
  }
  EXPECT_EQ(convert({"-H", "Host: localhost:" + port}).status, 200);
  EXPECT_EQ(convert({"-H", "Host: docs.example.com"}).status, 200);

  // Another site's page, told by its Origin or by the browser's Sec-Fetch-Site.
  EXPECT_EQ(convert({"-H", "Origin: http://evil.example"}).status, 403);
  EXPECT_EQ(convert({"-H", "Origin: http://localhost:" + port}).status, 403);
  EXPECT_EQ(convert({"-H", "Sec-Fetch-Site: cross-site"}).status, 403);
  // The service's own page, under each of its names.
  EXPECT_EQ(convert({"-H", "Origin: http://127.0.0.1:" + port}).status, 200);
  EXPECT_EQ(convert({"-H", "Host: docs.example.com", "-H", "Origin: https://docs.example.com", "-H",
                     "Sec-Fetch-Site: same-origin"})
                .status,
            200);
  int converted = 0;
  for (const auto& call : log_.all()) converted += call.rfind("ExportAsFixedFormat", 0) == 0;
  EXPECT_EQ(converted, 4);
}

TEST_F(ServeTest, OnEveryInterfaceItAnswersToTheMachinesOwnName) {
  settings_.host = "0.0.0.0";
  start();
  std::string name = test::runProgram({"hostname"}).text;
  name = name.substr(0, name.find('\n'));
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(curl(base_ + "/health", {"-H", "Host: " + name}).status, 200) << name;
  EXPECT_EQ(curl(base_ + "/health", {"-H", "Host: elsewhere.example"}).status, 403);
}

TEST_F(ServeTest, OneClientsConnectionsLeaveRoomForOthersAndForHealthChecks) {
  settings_.maxConnections = 4;
  settings_.maxClientConnections = 2;
  settings_.headerTimeout = std::chrono::minutes(5);  // the idle connections stay
  start();
  const uint16_t port = server_->port();
  const std::string version = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string health = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  // Two idle connections from one address fill its share, and two more are taken for a
  // request to /health each; past them the address gets 503 at once. Connections are
  // taken in the order they were made.
  RawClient first(port), second(port), spare1(port), spare2(port), more(port);
  const std::string refused = more.readToEnd();
  EXPECT_EQ(statusOf(refused), 503) << refused;
  EXPECT_NE(refused.find("Too many connections"), std::string::npos) << refused;
  ASSERT_TRUE(spare1.send(version));
  EXPECT_EQ(statusOf(spare1.readToEnd()), 503);
  ASSERT_TRUE(spare2.send(health));
  EXPECT_EQ(statusOf(spare2.readToEnd()), 200);

  // Another address fills the rest; a third address still learns how the service is.
  RawClient other1(port, "127.0.0.2"), other2(port, "127.0.0.2"), third(port, "127.0.0.3");
  ASSERT_TRUE(third.send(version));
  EXPECT_EQ(statusOf(third.readToEnd()), 503);
  EXPECT_EQ(curl(base_ + "/health", {"--interface", "127.0.0.3"}).status, 200);
  // Once one of them goes, there is room again.
  first.close();
  EXPECT_TRUE(test::waitFor([&] {
    return curl(base_ + "/version", {"--interface", "127.0.0.3"}).status == 200;
  }));
}

TEST_F(ServeTest, UploadsTakeAConversionSlotOnlyOnceComplete) {
  settings_.workers = 1;
  settings_.queue = 0;
  settings_.minUploadRate = 0;
  start();
  // Three uploads that never finish...
  const std::string whole =
      formRequest("/forms/libreoffice/convert", "slow.txt", std::string(1000, 's'));
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 3; ++i) {
    slow.push_back(std::make_unique<RawClient>(server_->port()));
    ASSERT_TRUE(slow.back()->send(whole.substr(0, whole.size() - 500)));
  }
  ASSERT_TRUE(test::waitFor([&] { return server_->inFlight() == 3; }));
  // ...leave the only worker to a complete one.
  EXPECT_EQ(post("/forms/libreoffice/convert", {"files=@" + file("a.txt", "A\n")}).status, 200);
  slow.clear();
  EXPECT_TRUE(test::waitFor([&] { return server_->inFlight() == 0; }));
}

TEST_F(ServeTest, LateHeadersAndSlowOrStalledUploadsAreEnded) {
  settings_.headerTimeout = std::chrono::milliseconds(300);
  settings_.minUploadRate = 1000;
  start();
  const std::string whole =
      formRequest("/forms/libreoffice/convert", "a.txt", std::string(5000, 'a'));
  // Headers that never end.
  RawClient headers(server_->port());
  ASSERT_TRUE(headers.send(whole.substr(0, 40)));
  const std::string late = headers.readToEnd();
  EXPECT_EQ(statusOf(late), 408) << late;
  EXPECT_NE(late.find("headers did not arrive within 0.3 seconds"), std::string::npos) << late;
  // A connection that never says anything is closed without an answer.
  RawClient silent(server_->port());
  EXPECT_EQ(silent.readToEnd(), "");
  // An upload far below the least rate.
  RawClient slow(server_->port());
  ASSERT_TRUE(slow.send(whole.substr(0, whole.size() - 4000)));
  const std::string slowAnswer = slow.readToEnd();
  EXPECT_EQ(statusOf(slowAnswer), 408) << slowAnswer;
  EXPECT_NE(slowAnswer.find("slower than 1000 bytes a second"), std::string::npos) << slowAnswer;

  // Without a least rate, an upload that stops is ended after the idle time.
  server_.reset();
  settings_.minUploadRate = 0;
  settings_.idleTimeout = std::chrono::milliseconds(300);
  start();
  RawClient stalled(server_->port());
  ASSERT_TRUE(stalled.send(whole.substr(0, whole.size() - 4000)));
  const std::string stalledAnswer = stalled.readToEnd();
  EXPECT_EQ(statusOf(stalledAnswer), 408) << stalledAnswer;
  EXPECT_NE(stalledAnswer.find("stalled"), std::string::npos) << stalledAnswer;
  // None of them reached a conversion.
  EXPECT_TRUE(log_.all().empty());
}

}  // namespace
}  // namespace docmill::serve
