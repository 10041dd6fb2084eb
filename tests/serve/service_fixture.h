// What the tests of the running service share: a service on a free loopback port with the
// stand-in for PDF.CreatePDF behind it (fake_create_pdf.h), its settings to change before
// `start`, files written for upload, the check that no request folder stays behind, and what
// the service writes on stderr.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/scratch.h"
#include "serve/server.h"
#include "tests/serve/fake_create_pdf.h"
#include "tests/serve/http_client.h"
#include "tests/support/files.h"

namespace docmill::servetest {

namespace fs = std::filesystem;
using serve::Health;
using serve::Server;
using serve::ServeSettings;
using serve::SystemProbe;

inline std::vector<std::string> requestFolders() {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(platform::hostScratchFolder())) {
    if (e.path().filename().string().rfind("request-", 0) == 0) found.push_back(e.path());
  }
  return found;
}

// What this process writes on stderr (the service's log lines) while the object lives, or
// until `text` reads it.
class StderrCapture {
 public:
  StderrCapture() : file_(platform::systemTempFolder(), "serve-test-log-") {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(file_.path().c_str(), O_WRONLY | O_APPEND);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() {
    restore();
    return test::readFile(file_.path());
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  platform::TempFile file_;
  int saved_ = -1;
};

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registration_ = docmill::servetest::registerFakeCreatePdf(log_);
    dir_ = fs::temp_directory_path() / ("serve-test-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    settings_.host = "127.0.0.1";
    settings_.port = 0;
    settings_.workers = 2;
    settings_.queue = 4;
    settings_.log = false;
    settings_.drainTimeout = std::chrono::seconds(10);
  }
  void TearDown() override {
    server_.reset();
    EXPECT_TRUE(requestFolders().empty()) << "a request folder was left behind";
    fs::remove_all(dir_);
  }
  void start() {
    SystemProbe probe;
    probe.health = [this] { return Health{healthy_, healthy_ ? "ok" : "no office runs", "ok"}; };
    probe.offices = [] { return std::array<int, 3>{2, 1, 0}; };
    server_ = std::make_unique<Server>(settings_, probe);
    server_->start();
    base_ = "http://127.0.0.1:" + std::to_string(server_->port());
  }
  std::string file(const std::string& name, const std::string& content) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  HttpResult post(const std::string& route, const std::vector<std::string>& form,
                  std::vector<std::string> extra = {}) {
    for (const auto& f : form) {
      extra.push_back("-F");
      extra.push_back(f);
    }
    return curl(base_ + route, extra);
  }

  docmill::servetest::FakeLog log_;
  servetest::FakeRegistration registration_;
  fs::path dir_;
  ServeSettings settings_;
  std::unique_ptr<Server> server_;
  std::string base_;
  bool healthy_ = true;
};

}  // namespace docmill::servetest
