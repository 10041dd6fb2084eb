// Conversions as jobs: the front's routes, a worker in this process with the stand-in for
// PDF.CreatePDF, webhooks to a receiver here, and a private redis-server.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/programs.h"

#include "platform/process.h"
#include "serve/worker.h"
#include "tests/serve/service_fixture.h"
#include "tests/support/prerequisites.h"
#include "tests/support/redis_server.h"
#include "tests/support/wait.h"

extern char** environ;

namespace docmill::servetest {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using json = nlohmann::json;
using Pages = std::vector<std::string>;

// An HTTP receiver on a loopback port: records each request and answers 200.
class Receiver {
 public:
  struct Request {
    std::string method, target, jobId, contentType, body;
  };
  Receiver() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { serve(); });
  }
  ~Receiver() {
    stopping_ = true;
    boost::system::error_code ec;
    asio::ip::tcp::socket poke(io_);
    poke.connect(acceptor_.local_endpoint(), ec);
    thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + path;
  }
  std::vector<Request> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stopping_) {
      asio::ip::tcp::socket socket(io_);
      boost::system::error_code ec;
      acceptor_.accept(socket, ec);
      if (ec || stopping_) continue;
      boost::beast::flat_buffer buffer;
      http::request<http::string_body> req;
      http::read(socket, buffer, req, ec);
      if (ec) continue;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back({std::string(req.method_string()), std::string(req.target()),
                             std::string(req["Docmill-Job-Id"]),
                             std::string(req[http::field::content_type]), req.body()});
      }
      http::response<http::string_body> res{http::status::ok, 11};
      res.prepare_payload();
      http::write(socket, res, ec);
    }
  }
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<Request> requests_;
};

class JobsTest : public ServeTest {
 protected:
  void SetUp() override {
    ServeTest::SetUp();
    DOCMILL_REQUIRE(test::RedisServer::available(),
                    "redis-server is not installed (Debian packages redis-server, redis-tools)");
    redis_ = std::make_unique<test::RedisServer>();
    std::string why;
    settings_.jobQueue = queue::parseQueueAddress(redis_->address(), &why);
    ASSERT_TRUE(settings_.jobQueue) << why;
    settings_.jobSettings.claimAfter = std::chrono::seconds(1);
  }
  void TearDown() override {
    worker_.reset();
    ::unsetenv("DOCMILL_WEBHOOK_ALLOW");
    ServeTest::TearDown();
  }
  void startWorker() {
    routes_ = std::make_unique<serve::Routes>(serve::RouteSettings{2, 5, "test"},
                                              serve::SystemProbe{}, metrics_, gate_);
    queue::DeliverySettings delivery;
    delivery.firstBackoff = std::chrono::milliseconds(10);
    worker_ = std::make_unique<serve::JobWorker>(*settings_.jobQueue, settings_.jobSettings,
                                                 queue::WebhookPolicy::fromEnvironment(), delivery,
                                                 *routes_);
    worker_->start(2, "test");
  }
  json state(const std::string& location) {
    HttpResult r = curl(base_ + location);
    return json::parse(r.body, nullptr, false);
  }
  // Waits until the job at `location` has `status`.
  bool reaches(const std::string& location, const std::string& status) {
    return test::waitFor([&] { return state(location).value("status", "") == status; });
  }

  std::unique_ptr<test::RedisServer> redis_;
  serve::Metrics metrics_;
  serve::Gate gate_{2, 2};
  std::unique_ptr<serve::Routes> routes_;
  std::unique_ptr<serve::JobWorker> worker_;
};

TEST_F(JobsTest, AJobIsQueuedConvertedFetchedAndEndsOnce) {
  start();
  const std::string a = file("a.txt", "A\nline\n");
  HttpResult queued = post("/v1/jobs/forms/libreoffice/convert", {"files=@" + a});
  ASSERT_EQ(queued.status, 202) << queued.body;
  const std::string location = queued.headers["location"];
  ASSERT_EQ(location.rfind("/v1/jobs/", 0), 0u);
  EXPECT_EQ(state(location).value("status", ""), "queued");
  EXPECT_EQ(curl(base_ + location + "/result").status, 409);

  startWorker();
  ASSERT_TRUE(reaches(location, "done"));
  HttpResult result = curl(base_ + location + "/result");
  ASSERT_EQ(result.status, 200);
  EXPECT_EQ(result.headers["content-type"], "application/pdf");
  EXPECT_NE(result.headers["content-disposition"].find("a.pdf"), std::string::npos);
  EXPECT_EQ(pageTexts(result.body), (Pages{"A", "line"}));
  EXPECT_EQ(state(location).value("attempts", 0), 1);
  EXPECT_EQ(curl(base_ + location, {"-X", "DELETE"}).status, 409) << "it has ended";

  // Unknown jobs and paths that are no job's.
  EXPECT_EQ(curl(base_ + "/v1/jobs/0b4e28ba-2fa1-41d2-883f-0016d3cca427").status, 404);
  EXPECT_EQ(curl(base_ + "/v1/jobs/..%2f..%2fetc").status, 404);
  // A bad field is refused before anything is queued; a document the office cannot open
  // fails for good (no second attempt) with the route's own error, and is a dead letter.
  EXPECT_EQ(post("/v1/jobs/forms/libreoffice/convert", {"files=@" + a, "quality=0"}).status, 400);
  const std::string broken = file("broken.docx", "BROKEN\n");
  HttpResult bad = post("/v1/jobs/forms/libreoffice/convert", {"files=@" + broken});
  ASSERT_EQ(bad.status, 202);
  ASSERT_TRUE(reaches(bad.headers["location"], "failed"));
  const json failed = state(bad.headers["location"]);
  EXPECT_EQ(failed.value("attempts", 0), 1);
  EXPECT_TRUE(failed.contains("error")) << failed.dump();
  const HttpResult error = curl(base_ + bad.headers["location"] + "/result");
  EXPECT_GE(error.status, 400);
  EXPECT_LT(error.status, 500);
  EXPECT_NE(curl(base_ + "/metrics").body.find("docmill_queue_dead_letters 1"), std::string::npos);
}

TEST_F(JobsTest, CancelledJobsStopOrNeverStart) {
  start();
  const std::string hold = file("hold.txt", "HOLD\n"), plain = file("p.txt", "P\n");
  HttpResult first = post("/v1/jobs/forms/libreoffice/convert", {"files=@" + plain});
  ASSERT_EQ(first.status, 202);
  EXPECT_EQ(curl(base_ + first.headers["location"], {"-X", "DELETE"}).status, 200);

  startWorker();
  HttpResult running = post("/v1/jobs/forms/libreoffice/convert", {"files=@" + hold});
  ASSERT_TRUE(reaches(running.headers["location"], "running"));
  EXPECT_EQ(curl(base_ + running.headers["location"], {"-X", "DELETE"}).status, 200);
  ASSERT_TRUE(test::waitFor([&] { return log_.cancelled.load() == 1; }))
      << "the conversion under way was stopped";
  EXPECT_EQ(state(first.headers["location"]).value("status", ""), "cancelled");
  EXPECT_EQ(state(running.headers["location"]).value("status", ""), "cancelled");
  for (const auto& call : log_.all()) EXPECT_EQ(call.find("p.txt"), std::string::npos) << call;
}

TEST_F(JobsTest, WebhooksPostResultsAndErrorsOnlyToAllowedUrls) {
  Receiver receiver;
  const std::string doc = file("w.txt", "W\n"), broken = file("b.docx", "BROKEN\n");
  auto hooked = [&](const std::string& path, const std::string& done, const std::string& failed) {
    return post(
        path, {"files=@" + doc},
        {"-H", "Gotenberg-Webhook-Url: " + done, "-H", "Gotenberg-Webhook-Error-Url: " + failed,
         "-H", "Gotenberg-Webhook-Extra-Http-Headers: {\"X-Batch\": \"7\"}"});
  };
  {
    // Off until the operator allows URLs.
    start();
    EXPECT_EQ(
        hooked("/forms/libreoffice/convert", receiver.url("/done"), receiver.url("/failed")).status,
        400);
    server_.reset();
  }
  ::setenv("DOCMILL_WEBHOOK_ALLOW", receiver.url("/*").c_str(), 1);
  start();
  startWorker();
  EXPECT_EQ(
      hooked("/forms/libreoffice/convert", "http://127.0.0.1:1/done", receiver.url("/f")).status,
      400)
      << "a URL off the list";
  HttpResult ok =
      hooked("/forms/libreoffice/convert", receiver.url("/done"), receiver.url("/failed"));
  ASSERT_EQ(ok.status, 204) << ok.body;
  HttpResult bad = post("/forms/libreoffice/convert", {"files=@" + broken},
                        {"-H", "Gotenberg-Webhook-Url: " + receiver.url("/done"), "-H",
                         "Gotenberg-Webhook-Error-Url: " + receiver.url("/failed")});
  ASSERT_EQ(bad.status, 204);
  ASSERT_TRUE(test::waitFor([&] { return receiver.requests().size() == 2; }));
  for (const auto& r : receiver.requests()) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.jobId.size(), 36u) << "the job's id lets a receiver drop a second delivery";
    if (r.target == "/done") {
      EXPECT_EQ(r.contentType, "application/pdf");
      EXPECT_EQ(pageTexts(r.body), (Pages{"W"}));
    } else {
      EXPECT_EQ(r.target, "/failed");
      EXPECT_NE(r.body.find("\"description\""), std::string::npos) << r.body;
    }
  }
}

TEST_F(JobsTest, AJobWhoseWorkerDiesIsFinishedByAnotherAndAWorkerDrainsOnSigterm) {
  start();
  // The real worker, the real interpreter: a PostScript job that takes a while.
  const std::string slow =
      file("slow.ps",
           "%!PS\n0 1 40000000 { pop } for\n/Helvetica findfont 20 scalefont setfont "
           "72 700 moveto (slow) show showpage\n");
  auto submit = [&] {
    HttpResult r =
        post("/v1/jobs/v1/CreatePDF/CreatePDFfromPS",
             {"doc=@" + slow, "args={\"positional\": [\"output:o.pdf\", \"file:slow.ps\"]}"});
    EXPECT_EQ(r.status, 202) << r.body;
    return r.headers["location"];
  };
  auto worker = [&] {
    platform::SpawnOptions options;
    options.argv = {DOCMILL_HOST, "worker", "--queue", redis_->address()};
    std::vector<std::string>& env = options.environment.emplace();
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("DOCMILL_OFFICE_POOL=1");
    env.push_back("DOCMILL_JOB_CLAIM_AFTER=1");
    env.push_back("TMPDIR=" + dir_.string());
    return platform::ChildProcess::start(options);
  };
  const std::string first = submit();
  platform::ChildProcess a = worker();
  ASSERT_TRUE(reaches(first, "running"));
  a.kill();  // mid-conversion, as a crash would
  a = platform::ChildProcess();
  platform::ChildProcess b = worker();
  ASSERT_TRUE(reaches(first, "done"));
  EXPECT_EQ(state(first).value("attempts", 0), 2);
  EXPECT_EQ(test::pdfPageCount(file("first.pdf", curl(base_ + first + "/result").body)), 1);
  EXPECT_NE(curl(base_ + "/metrics").body.find("docmill_queue_claims_total 1"), std::string::npos);

  // SIGTERM: the job under way ends, then the worker.
  const std::string second = submit();
  ASSERT_TRUE(reaches(second, "running"));
  platform::signalGroup(b.pid(), SIGTERM);
  const auto status = b.waitUntil(std::chrono::steady_clock::now() + std::chrono::minutes(3));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->succeeded()) << status->describe();
  EXPECT_EQ(state(second).value("status", ""), "done");
}

}  // namespace
}  // namespace docmill::servetest
