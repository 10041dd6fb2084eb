// `docmill serve` as shipped: the real offices and interpreter behind real HTTP, a SIGTERM
// with a request in flight, and a temporary folder left empty.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "tests/serve/http_client.h"
#include "tests/support/wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using docmill::servetest::curl;
using docmill::servetest::HttpResult;

using docmill::servetest::shell;

uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();
}

class ServeBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("serve-binary-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "tmp");
    port_ = freePort();
    base_ = "http://127.0.0.1:" + std::to_string(port_);
    std::vector<std::string> env = {"TMPDIR=" + (dir_ / "tmp").string(),
                                    "DOCMILL_REGISTRY=/nonexistent-docmill-registry",
                                    "DOCMILL_OFFICE_POOL=2", "DOCMILL_SERVE_DRAIN_TIMEOUT=60"};
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<std::string> args = {DOCMILL_HOST, "serve", "--listen",
                                     "127.0.0.1:" + std::to_string(port_)};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, DOCMILL_HOST, nullptr, nullptr, argv.data(), envp.data()), 0);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  bool waitHealthy() {
    return docmill::test::waitFor([&] { return curl(base_ + "/health").status == 200; },
                                  std::chrono::minutes(2));
  }
  // Requests the service is reading, converting or answering, this one included.
  int requestsInFlight() {
    const std::string metrics = curl(base_ + "/metrics").body;
    const auto at = metrics.find("\ndocmill_requests_in_flight ");
    return at == std::string::npos ? -1 : std::atoi(metrics.c_str() + at + 28);
  }
  int pages(const std::string& pdf) {
    std::string path = (dir_ / "p.pdf").string();
    std::ofstream(path, std::ios::binary) << pdf;
    return std::atoi(
        shell("pdfinfo " + docmill::servetest::quoted(path) + " | sed -n 's/^Pages: *//p'")
            .c_str());
  }

  fs::path dir_;
  uint16_t port_ = 0;
  std::string base_;
  pid_t pid_ = 0;
};

TEST_F(ServeBinary, ConvertsOfficeDocumentsAndPostScriptAndDrainsOnSigterm) {
  ASSERT_TRUE(waitHealthy());
  const std::string samples = DOCMILL_SAMPLES;
  HttpResult memo =
      curl(base_ + "/forms/libreoffice/convert", {"-F", "files=@" + samples + "/memo.fodt"});
  ASSERT_EQ(memo.status, 200) << memo.body;
  EXPECT_EQ(memo.body.rfind("%PDF-", 0), 0u);
  EXPECT_EQ(memo.headers["content-disposition"].find("memo.pdf") != std::string::npos, true);

  const std::string ps = (dir_ / "hello.ps").string();
  std::ofstream(ps) << "%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 moveto (Hello) show "
                       "showpage\n";
  HttpResult member =
      curl(base_ + "/v1/CreatePDF/CreatePDFfromPS",
           {"-F", "doc=@" + ps, "-F", "args=[\"output:h.pdf\", \"file:hello.ps\"]"});
  ASSERT_EQ(member.status, 200) << member.body;
  EXPECT_EQ(pages(member.body), 1);

  // SIGTERM while a merge of several kinds is under way: it finishes, then the host ends.
  auto inFlight = std::async(std::launch::async, [&] {
    return curl(
        base_ + "/forms/libreoffice/convert",
        {"-F", "files=@" + samples + "/memo.fodt", "-F", "files=@" + samples + "/talk.fodp", "-F",
         "files=@" + samples + "/budget.fods", "-F", "files=@" + ps, "-F", "merge=true"});
  });
  ASSERT_TRUE(docmill::test::waitFor([&] { return requestsInFlight() >= 2; }));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  HttpResult merged = inFlight.get();
  EXPECT_EQ(merged.status, 200) << merged.body;
  EXPECT_GE(pages(merged.body), 4);
  int status = 0;
  ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
  pid_ = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(curl(base_ + "/health").status, 0);
  // Offices, uploads, results: nothing stays behind.
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp"))
      << shell("ls -R " + docmill::servetest::quoted((dir_ / "tmp").string()));
}

TEST(ServeStart, AnEmptyTokenIsRefusedRatherThanServingWithoutOne) {
  // `timeout` only ends a service that started anyway, so that the failure shows.
  for (const char* value : {"", "  "}) {
    const std::string out = shell(
        std::string("DOCMILL_SERVE_TOKEN=") + docmill::servetest::quoted(value) + " timeout 20 " +
        docmill::servetest::quoted(DOCMILL_HOST) + " serve --listen 127.0.0.1:0 2>&1; echo rc=$?");
    EXPECT_NE(out.find("DOCMILL_SERVE_TOKEN"), std::string::npos) << out;
    EXPECT_NE(out.find("rc=2"), std::string::npos) << out;
    EXPECT_EQ(out.find("listening"), std::string::npos) << out;
  }
}

}  // namespace
