// The shipped deployment files: the systemd unit passes systemd's own checker, and the
// HAProxy configuration, run in front of two services, keeps answering while one of them
// goes away.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>

#include "serve/server.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"
#include "tests/support/files.h"
#include "tests/support/prerequisites.h"
#include "tests/support/wait.h"

extern char** environ;

namespace docmill::serve {
namespace {

namespace fs = std::filesystem;
using docmill::servetest::quoted;
using docmill::servetest::shell;

bool have(const std::string& program) {
  return !shell("command -v " + program + " 2>/dev/null").empty();
}

fs::path scratch(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

TEST(DeployTest, TheSystemdUnitsPassSystemdsChecker) {
  DOCMILL_REQUIRE(have("systemd-analyze"),
                  "systemd-analyze is not installed (Debian package systemd)");
  const fs::path dir = scratch("serve-unit");
  for (const char* name :
       {"docmill-serve.service", "docmill-worker.service", "docmill-pool.service"}) {
    // The unit as installed, with the program where this build put it.
    std::string unit = docmill::test::readFile(fs::path(DOCMILL_SOURCE) / "deploy" / name);
    ASSERT_NE(unit.find("ExecStart=/usr/local/bin/docmill "), std::string::npos) << name;
    unit = std::regex_replace(unit, std::regex("/usr/local/bin/docmill"), DOCMILL_HOST);
    std::ofstream(dir / name) << unit;
    std::string out =
        shell("systemd-analyze verify " + quoted((dir / name).string()) + " 2>&1; echo rc=$?");
    EXPECT_EQ(out, "rc=0\n") << name;
  }
  fs::remove_all(dir);
}

uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();
}

TEST(DeployTest, HaproxyRetriesOnTheOtherServiceWhenOneGoesAway) {
  DOCMILL_REQUIRE(have("haproxy"), "haproxy is not installed (Debian package haproxy)");
  docmill::servetest::FakeLog log;
  auto registration = docmill::servetest::registerFakeCreatePdf(log);
  ServeSettings settings;
  settings.port = 0;
  settings.workers = 2;
  settings.log = std::getenv("SERVE_TEST_LOG") != nullptr;
  auto first = std::make_unique<Server>(settings, SystemProbe{});
  auto second = std::make_unique<Server>(settings, SystemProbe{});
  first->start();
  second->start();

  const fs::path dir = scratch("serve-haproxy");
  const uint16_t front = freePort();
  std::string config = docmill::test::readFile(fs::path(DOCMILL_SOURCE) / "deploy/haproxy.cfg");
  ASSERT_EQ(
      shell("haproxy -c -q -f " + quoted(std::string(DOCMILL_SOURCE) + "/deploy/haproxy.cfg") +
            " 2>&1; echo rc=$?"),
      "rc=0\n");
  config = std::regex_replace(config, std::regex("bind 127.0.0.1:8080"),
                              "bind 127.0.0.1:" + std::to_string(front));
  config = std::regex_replace(config, std::regex("127.0.0.1:3001"),
                              "127.0.0.1:" + std::to_string(first->port()));
  config = std::regex_replace(config, std::regex("127.0.0.1:3002"),
                              "127.0.0.1:" + std::to_string(second->port()));
  if (!std::getenv("SERVE_TEST_LOG"))
    config = std::regex_replace(config, std::regex("log stdout format raw local0\n"), "");
  std::ofstream(dir / "haproxy.cfg") << config;

  std::vector<std::string> args = {"haproxy", "-db", "-f", (dir / "haproxy.cfg").string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t haproxy = 0;
  ASSERT_EQ(posix_spawnp(&haproxy, "haproxy", nullptr, nullptr, argv.data(), environ), 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(front);
  ASSERT_TRUE(docmill::test::waitFor(
      [&] { return docmill::servetest::curl(base + "/health").status == 200; }));

  std::ofstream(dir / "doc.txt") << "Doc\n";
  auto convert = [&] {
    return docmill::servetest::curl(base + "/forms/libreoffice/convert",
                                    {"-F", "files=@" + (dir / "doc.txt").string()});
  };
  std::vector<std::future<docmill::servetest::HttpResult>> results;
  for (int i = 0; i < 24; ++i) {
    if (i == 8) first.reset();  // one service stops; HAProxy has not noticed yet
    results.push_back(std::async(std::launch::async, convert));
  }
  int ok = 0;
  for (auto& r : results) {
    auto result = r.get();
    ok += result.status == 200 && docmill::servetest::tagsOf(result.body) == "Doc";
    if (result.status != 200)
      std::fprintf(stderr, "status %d: %s\n", result.status, result.body.c_str());
  }
  EXPECT_EQ(ok, 24);
  ::kill(haproxy, SIGTERM);
  ::waitpid(haproxy, nullptr, 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace docmill::serve
