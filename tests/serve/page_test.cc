// The page at / in headless Chromium: files are put into its file field and uploaded by its
// own script, and what it offers for download is what the service sent. Chromium is
// driven over its DevTools protocol.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "serve/server.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"
#include "tests/support/prerequisites.h"
#include "tests/support/wait.h"

extern char** environ;

namespace docmill::serve {
namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
using json = nlohmann::json;

std::string chromium() {
  for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (fs::exists(p)) return p;
  }
  return {};
}

// One page of a headless browser, driven over the DevTools protocol.
class Browser {
 public:
  explicit Browser(const fs::path& profile) : profile_(profile) {
    std::vector<std::string> args = {chromium(),
                                     "--headless=new",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--remote-debugging-port=0",
                                     "--user-data-dir=" + profile.string(),
                                     "about:blank"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The browser's own temporary files go into the profile, removed with it, not /tmp.
    const fs::path tmp = profile / "tmp";
    fs::create_directories(tmp);
    std::vector<std::string> env = {"TMPDIR=" + tmp.string()};
    for (char** e = environ; *e; ++e) {
      if (std::string_view(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // A group of its own, so that its helper processes end with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Browser() {
    if (ws_) {
      beast::error_code ec;
      ws_->close(beast::websocket::close_code::normal, ec);
    }
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Connects to the browser's first page; false when it never came up.
  bool connect() {
    std::string port;
    const bool listening = docmill::test::waitFor([&] {
      std::ifstream active(profile_ / "DevToolsActivePort");
      std::getline(active, port);
      return !port.empty();
    });
    if (!listening) return false;
    std::string socketPath;
    const bool found = docmill::test::waitFor([&] {
      auto list = json::parse(
          docmill::servetest::curl("http://127.0.0.1:" + port + "/json/list").body, nullptr, false);
      if (!list.is_array()) return false;
      for (const auto& t : list) {
        if (t.value("type", "") == "page") {
          std::string url = t.value("webSocketDebuggerUrl", "");
          socketPath = url.substr(url.find('/', 5));
          return true;
        }
      }
      return false;
    });
    if (!found) return false;
    boost::asio::ip::tcp::socket socket(io_);
    socket.connect(
        {boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(std::stoi(port))});
    ws_ =
        std::make_unique<beast::websocket::stream<boost::asio::ip::tcp::socket>>(std::move(socket));
    ws_->handshake("127.0.0.1:" + port, socketPath);
    return true;
  }

  // Sends one command and returns its result (events in between are skipped).
  json send(const std::string& method, json params = json::object()) {
    const int id = ++next_;
    ws_->write(
        boost::asio::buffer(json{{"id", id}, {"method", method}, {"params", params}}.dump()));
    for (;;) {
      beast::flat_buffer buffer;
      ws_->read(buffer);
      json message = json::parse(beast::buffers_to_string(buffer.data()));
      if (message.value("id", 0) != id) continue;
      if (message.contains("error")) throw std::runtime_error(message["error"].dump());
      return message["result"];
    }
  }
  json evaluate(const std::string& expression) {
    return send("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})["result"]
        .value("value", json());
  }
  // Waits until `expression` is true in the page.
  bool waitFor(const std::string& expression) {
    return docmill::test::waitFor([&] { return evaluate(expression) == json(true); });
  }
  void setFiles(const std::string& selector, const std::vector<std::string>& files) {
    int root = send("DOM.getDocument")["root"]["nodeId"];
    int node = send("DOM.querySelector", {{"nodeId", root}, {"selector", selector}})["nodeId"];
    send("DOM.setFileInputFiles", {{"nodeId", node}, {"files", files}});
  }

 private:
  fs::path profile_;
  pid_t pid_ = 0;
  boost::asio::io_context io_;
  std::unique_ptr<beast::websocket::stream<boost::asio::ip::tcp::socket>> ws_;
  int next_ = 0;
};

TEST(PageTest, APersonUploadsDocumentsAndGetsTheirPdfsBack) {
  DOCMILL_REQUIRE(!chromium().empty(), "chromium is not installed (Debian package chromium)");
  docmill::servetest::FakeLog log;
  auto registration = docmill::servetest::registerFakeCreatePdf(log);
  const fs::path dir = fs::temp_directory_path() / ("serve-page-" + std::to_string(::getpid()));
  fs::create_directories(dir / "profile");
  std::ofstream(dir / "report.txt") << "Report\nsecond page\n";
  std::ofstream(dir / "notes.txt") << "Notes\n";

  ServeSettings settings;
  settings.port = 0;
  settings.workers = 2;
  settings.log = false;
  Server server(settings, SystemProbe{});
  server.start();
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  {
    Browser browser(dir / "profile");
    ASSERT_TRUE(browser.connect()) << "headless chromium did not start";
    browser.send("Page.enable");
    browser.send("Page.navigate", {{"url", base + "/"}});
    ASSERT_TRUE(browser.waitFor(
        "document.readyState === 'complete' && !!document.getElementById('input')"));

    // One document: its PDF, under the document's name.
    browser.setFiles("#input", {(dir / "report.txt").string()});
    browser.evaluate("document.getElementById('convert').click()");
    ASSERT_TRUE(
        browser.waitFor("document.getElementById('status').dataset.state !== 'working' && "
                        "document.getElementById('status').dataset.state !== 'idle'"));
    EXPECT_EQ(browser.evaluate("document.getElementById('status').dataset.state"), "done")
        << browser.evaluate("document.getElementById('status').textContent");
    json result = browser.evaluate("window.lastResult");
    EXPECT_EQ(result["name"], "report.pdf");
    EXPECT_EQ(result["type"], "application/pdf");
    EXPECT_EQ(result["head"], "%PDF-");
    EXPECT_TRUE(browser.evaluate("!document.getElementById('download').hidden").get<bool>());

    // A second file and "merge": one PDF of both, in the order picked.
    browser.evaluate("window.lastResult = null; document.getElementById('merge').click()");
    browser.setFiles("#input", {(dir / "notes.txt").string()});
    ASSERT_TRUE(browser.waitFor("document.querySelectorAll('#files li').length === 2"));
    browser.evaluate("document.getElementById('convert').click()");
    ASSERT_TRUE(browser.waitFor("!!window.lastResult"));
    EXPECT_EQ(browser.evaluate("window.lastResult.name"), "merged.pdf");

    // A failure shows the service's own description.
    browser.evaluate(
        "document.querySelector('input[value=\"/forms/pdfengines/merge\"]').click();"
        "window.lastResult = null; document.getElementById('status').dataset.state = 'idle'");
    browser.evaluate("document.getElementById('convert').click()");
    ASSERT_TRUE(browser.waitFor("document.getElementById('status').dataset.state === 'failed'"));
    EXPECT_NE(browser.evaluate("document.getElementById('status').textContent")
                  .get<std::string>()
                  .find("is not a PDF file"),
              std::string::npos);
  }
  // The office exported the first document, then both for the merge.
  int exported = 0;
  for (const auto& call : log.all()) exported += call.rfind("ExportAsFixedFormat", 0) == 0;
  EXPECT_EQ(exported, 3);
  server.stop();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace docmill::serve
