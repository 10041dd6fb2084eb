// The job store against a real redis-server of its own: the life of a job, workers that go
// silent, failures retried and dead-lettered, cancelling, expiry, limits and a Redis that
// restarts under it.
#include "queue/job_store.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "tests/support/prerequisites.h"
#include "tests/support/redis_server.h"
#include "tests/support/wait.h"

namespace docmill::queue {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class JobStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DOCMILL_REQUIRE(test::RedisServer::available(), "redis-server is not installed");
    redis_.emplace();
  }

  std::unique_ptr<JobStore> store(StoreSettings settings = {}) {
    QueueAddress address;
    address.socketPath = redis_->socket();
    return std::make_unique<JobStore>(address, settings);
  }

  static JobRequest request(std::string bytes = "plain text") {
    JobRequest r;
    r.route = "/forms/libreoffice/convert";
    r.path = r.route;
    r.fields = {{"landscape", "true"}};
    r.files.push_back({"files", "report.docx", std::move(bytes)});
    return r;
  }

  static JobResult failure(int status, const std::string& description) {
    return {status, "application/json", "", "{\"description\":\"" + description + "\"}\n"};
  }

  std::optional<test::RedisServer> redis_;
};

// Every byte value, NULs and CR LF included, and a file larger than one network read.
std::string binaryBytes() {
  std::string bytes;
  for (int round = 0; round < 4096; ++round) {
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b ^ round));
  }
  return bytes;
}

TEST_F(JobStoreTest, AJobGoesFromSubmittedToDoneWithItsBytesIntact) {
  auto s = store();
  JobRequest sent = request(binaryBytes());
  sent.files.push_back({"files", "empty.txt", ""});
  sent.webhook = Webhook{"http://hook/ok", "http://hook/error", "PUT", "POST", {{"X-A", "1"}}};
  const std::string id = s->submit(sent);
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');
  EXPECT_EQ(s->info(id)->state, JobState::Queued);
  EXPECT_EQ(s->stats().length, 1u);

  auto job = s->claim("worker-1", milliseconds(1000));
  ASSERT_TRUE(job);
  EXPECT_EQ(job->id, id);
  EXPECT_EQ(job->attempt, 1);
  EXPECT_FALSE(job->reclaimed);
  ASSERT_EQ(job->request.files.size(), 2u);
  EXPECT_TRUE(job->request.files[0].bytes == sent.files[0].bytes);
  EXPECT_EQ(job->request.files[1].clientName, "empty.txt");
  EXPECT_EQ(job->request.fields, sent.fields);
  ASSERT_TRUE(job->request.webhook);
  EXPECT_EQ(job->request.webhook->method, "PUT");
  EXPECT_EQ(job->request.webhook->extraHeaders, sent.webhook->extraHeaders);
  EXPECT_EQ(s->info(id)->state, JobState::Running);
  EXPECT_EQ(s->info(id)->attempts, 1);
  EXPECT_FALSE(s->result(id));  // nothing to give while it runs
  EXPECT_EQ(s->stats().pending, 1u);

  JobResult pdf{200, "application/pdf", "report.pdf",
                std::string("%PDF-1.7\n\0\r\n\xff", 13) + binaryBytes()};
  s->complete(*job, pdf, false);
  const auto info = s->info(id);
  EXPECT_EQ(info->state, JobState::Done);
  EXPECT_EQ(info->route, sent.route);
  EXPECT_LE(info->createdMs, info->updatedMs);
  const auto got = s->result(id);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->contentType, "application/pdf");
  EXPECT_EQ(got->downloadName, "report.pdf");
  EXPECT_TRUE(got->body == pdf.body);

  const QueueStats stats = s->stats();
  EXPECT_EQ(stats.length, 0u);
  EXPECT_EQ(stats.pending, 0u);
  EXPECT_EQ(stats.dead, 0u);
  EXPECT_FALSE(s->claim("worker-1", milliseconds(0)));
  EXPECT_FALSE(s->info("no-such-job"));
}

TEST_F(JobStoreTest, AJobWhoseWorkerWentSilentIsTakenOverAndTheSilentWorkerLosesIt) {
  StoreSettings settings;
  settings.claimAfter = seconds(1);
  auto silent = store(settings);
  auto other = store(settings);
  const std::string id = silent->submit(request());
  auto lost = silent->claim("silent", milliseconds(1000));
  ASSERT_TRUE(lost);
  EXPECT_TRUE(silent->keepClaim(*lost));

  std::optional<ClaimedJob> taken;
  ASSERT_TRUE(test::waitFor(
      [&] { return (taken = other->claim("other", milliseconds(100))).has_value(); }));
  EXPECT_EQ(taken->id, id);
  EXPECT_TRUE(taken->reclaimed);
  EXPECT_EQ(taken->attempt, 2);
  EXPECT_EQ(other->stats().claims, 1u);
  EXPECT_FALSE(silent->keepClaim(*lost));  // it is the other worker's now

  other->complete(*taken, {200, "application/pdf", "a.pdf", "from the other"}, false);
  // The silent worker waking up late changes nothing.
  silent->complete(*lost, {200, "application/pdf", "a.pdf", "late"}, false);
  EXPECT_EQ(other->result(id)->body, "from the other");
  EXPECT_EQ(other->stats().pending, 0u);
}

TEST_F(JobStoreTest, AJobWhoseWorkersGoSilentOnEveryAttemptIsDeadLettered) {
  StoreSettings settings;
  settings.claimAfter = seconds(1);
  settings.maxAttempts = 2;
  auto s = store(settings);
  const std::string id = s->submit(request("a document that takes its worker down"));
  ASSERT_TRUE(s->claim("first", milliseconds(1000)));
  std::optional<ClaimedJob> second;
  ASSERT_TRUE(
      test::waitFor([&] { return (second = s->claim("second", milliseconds(100))).has_value(); }));
  EXPECT_EQ(second->attempt, 2);
  // The second goes silent too: nobody gets it a third time.
  ASSERT_TRUE(test::waitFor([&] {
    EXPECT_FALSE(s->claim("third", milliseconds(100)));
    return s->info(id)->state == JobState::Failed;
  }));
  EXPECT_NE(s->info(id)->error.find("stopped answering"), std::string::npos);
  EXPECT_EQ(s->stats().dead, 1u);
  EXPECT_EQ(s->stats().pending, 0u);
}

TEST_F(JobStoreTest, ARetryableFailureIsQueuedAgainUntilItsAttemptsAreSpentThenDeadLettered) {
  StoreSettings settings;
  settings.maxAttempts = 3;
  auto s = store(settings);
  const std::string id = s->submit(request());
  for (int attempt = 1; attempt <= 3; ++attempt) {
    auto job = s->claim("w", milliseconds(1000));
    ASSERT_TRUE(job) << "attempt " << attempt;
    EXPECT_EQ(job->id, id);
    EXPECT_EQ(job->attempt, attempt);
    s->complete(*job, failure(504, "timed out " + std::to_string(attempt)), true);
    const auto info = s->info(id);
    EXPECT_EQ(info->state, attempt < 3 ? JobState::Queued : JobState::Failed);
    EXPECT_NE(info->error.find("timed out " + std::to_string(attempt)), std::string::npos);
  }
  EXPECT_FALSE(s->claim("w", milliseconds(0)));
  EXPECT_EQ(s->result(id)->status, 504);
  EXPECT_NE(s->result(id)->body.find("timed out 3"), std::string::npos);
  const QueueStats stats = s->stats();
  EXPECT_EQ(stats.dead, 1u);
  EXPECT_EQ(stats.length, 0u);
  EXPECT_EQ(stats.pending, 0u);

  // A failure no retry mends is dead at once.
  const std::string bad = s->submit(request());
  auto job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  s->complete(*job, failure(400, "not a document"), false);
  EXPECT_EQ(s->info(bad)->state, JobState::Failed);
  EXPECT_EQ(s->info(bad)->attempts, 1);
  EXPECT_EQ(s->stats().dead, 2u);
}

TEST_F(JobStoreTest, CancellingStopsQueuedAndRunningJobsButNotEndedOnes) {
  auto s = store();
  const std::string queued = s->submit(request("queued"));
  const std::string running = s->submit(request("running"));
  EXPECT_TRUE(s->cancel(queued));
  EXPECT_TRUE(s->cancelled(queued));

  // The cancelled job's entry is passed over.
  auto job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  EXPECT_EQ(job->id, running);
  EXPECT_FALSE(s->cancelled(running));
  EXPECT_TRUE(s->cancel(running));
  EXPECT_TRUE(s->cancelled(running));
  EXPECT_FALSE(s->keepClaim(*job));
  s->complete(*job, {200, "application/pdf", "a.pdf", "too late"}, false);
  EXPECT_EQ(s->info(running)->state, JobState::Cancelled);
  EXPECT_FALSE(s->result(running));
  EXPECT_FALSE(s->cancel(running));
  EXPECT_FALSE(s->cancel("no-such-job"));
  EXPECT_EQ(s->stats().pending, 0u);
  EXPECT_EQ(s->stats().length, 0u);

  const std::string done = s->submit(request());
  job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  s->complete(*job, {200, "application/pdf", "a.pdf", "%PDF"}, false);
  EXPECT_FALSE(s->cancel(done));
  EXPECT_EQ(s->info(done)->state, JobState::Done);
}

TEST_F(JobStoreTest, AJobIsForgottenItsTimeToLiveAfterItEnded) {
  StoreSettings settings;
  settings.ttl = seconds(1);
  auto s = store(settings);
  const std::string id = s->submit(request());
  auto job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  s->complete(*job, {200, "application/pdf", "a.pdf", "%PDF"}, false);
  ASSERT_TRUE(s->result(id));
  EXPECT_TRUE(test::waitFor([&] { return !s->info(id) && !s->result(id); }));

  // One that expired while queued is passed over by the workers.
  const std::string forgotten = s->submit(request());
  ASSERT_TRUE(test::waitFor([&] { return !s->info(forgotten); }));
  EXPECT_FALSE(s->claim("w", milliseconds(0)));
  EXPECT_EQ(s->stats().pending, 0u);
}

TEST_F(JobStoreTest, RequestsAndResultsPastTheLimitAreRefused) {
  StoreSettings settings;
  settings.maxBytes = 1000;
  auto s = store(settings);
  try {
    s->submit(request(std::string(1001, 'x')));
    ADD_FAILURE() << "a request past the limit was taken";
  } catch (const QueueError& e) {
    EXPECT_EQ(e.kind(), QueueError::Kind::TooLarge);
  }
  EXPECT_EQ(s->stats().length, 0u);

  const std::string id = s->submit(request(std::string(900, 'x')));
  auto job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  s->complete(*job, {200, "application/pdf", "a.pdf", std::string(2000, 'p')}, true);
  const auto info = s->info(id);
  EXPECT_EQ(info->state, JobState::Failed);  // and not queued again: it would only grow again
  EXPECT_NE(info->error.find("2000 bytes"), std::string::npos) << info->error;
  EXPECT_GE(s->result(id)->status, 400);
  EXPECT_EQ(s->stats().dead, 1u);
}

TEST_F(JobStoreTest, AJobSurvivesARedisRestartAndTheStoreReconnects) {
  auto s = store();
  const std::string id = s->submit(request(binaryBytes()));
  redis_->restart();  // killed as a crash would, started again on its files

  auto job = s->claim("w", milliseconds(1000));
  ASSERT_TRUE(job);
  EXPECT_EQ(job->id, id);
  EXPECT_TRUE(job->request.files[0].bytes == binaryBytes());
  s->complete(*job, {200, "application/pdf", "a.pdf", "%PDF"}, false);
  EXPECT_EQ(s->info(id)->state, JobState::Done);

  // Where nothing answers, the store gives up once its time to reconnect has passed.
  StoreSettings quick;
  quick.reconnectFor = milliseconds(200);
  QueueAddress nowhere;
  nowhere.socketPath = redis_->socket() + ".none";
  try {
    JobStore unreachable(nowhere, quick);
    ADD_FAILURE() << "a store without Redis was made";
  } catch (const QueueError& e) {
    EXPECT_EQ(e.kind(), QueueError::Kind::Unreachable);
  }
}

TEST(JobRequestEncoding, TruncatedOrForgedBytesDecodeToNothing) {
  JobRequest r;
  r.route = "/forms/pdfengines/merge";
  r.fields = {{"a", "b"}};
  r.files = {{"files", "x.pdf", std::string("\0\x01\x02", 3)}};
  r.webhook = Webhook{};
  const std::string bytes = encodeRequest(r);
  ASSERT_TRUE(decodeRequest(bytes));
  EXPECT_EQ(decodeRequest(bytes)->files[0].bytes, r.files[0].bytes);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(decodeRequest(bytes.substr(0, cut))) << "cut at " << cut;
  }
  EXPECT_FALSE(decodeRequest(bytes + "x"));
  EXPECT_FALSE(decodeRequest("garbage that is no request at all"));
  // A count of four billion fields, and a text claiming an exabyte: refused, not allocated.
  std::string forged(bytes.substr(0, 5 + 8 + r.route.size() + 8 + r.path.size()));
  EXPECT_FALSE(decodeRequest(forged + std::string("\xff\xff\xff\xff", 4) + std::string(64, 'a')));
  EXPECT_FALSE(decodeRequest(forged + std::string(4, '\0') + std::string("\x01\0\0\0", 4) +
                             std::string("\xff\xff\xff\xff\xff\xff\xff\x0f", 8) +
                             std::string(32, 'a')));
}

TEST(QueueAddressParsing, TakesRedisAndUnixAddressesAndRefusesOthers) {
  std::string why;
  auto a = parseQueueAddress("redis://cache.local:6380/2", &why);
  ASSERT_TRUE(a) << why;
  EXPECT_EQ(a->host, "cache.local");
  EXPECT_EQ(a->port, 6380);
  EXPECT_EQ(a->database, 2);
  a = parseQueueAddress("redis://[::1]", &why);
  ASSERT_TRUE(a) << why;
  EXPECT_EQ(a->host, "::1");
  EXPECT_EQ(a->port, 6379);
  a = parseQueueAddress("unix:/run/redis/redis.sock", &why);
  ASSERT_TRUE(a) << why;
  EXPECT_EQ(a->socketPath, "/run/redis/redis.sock");
  for (const char* bad :
       {"", "cache:6379", "redis://", "redis://host:0", "redis://host:70000", "redis://host:port",
        "redis://host/db", "unix:", "unix:relative.sock", "redis://user@host"}) {
    EXPECT_FALSE(parseQueueAddress(bad, &why)) << bad;
  }
}

}  // namespace
}  // namespace docmill::queue
