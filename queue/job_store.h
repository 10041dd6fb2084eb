// Durable conversion jobs in Redis Streams: the service submits, workers anywhere claim,
// convert and complete them, and nothing accepted is lost while Redis keeps its data.
//
// Layout (every key under the store's prefix, "docmill" by default):
//   PREFIX:jobs               the stream of job ids, read by the consumer group "workers"
//                             (made from the stream's start, so jobs submitted before any
//                             worker ran are read); an entry goes once acknowledged
//   PREFIX:dead               the dead-letter stream: job id, its error, attempts (the last
//                             ten thousand or so)
//   PREFIX:job:ID             a hash: state, route, attempts, times, error, result's status,
//                             type and name
//   PREFIX:job:ID:input       the encoded request (job.h); dropped once the job is done or
//                             cancelled, kept with a failed one
//   PREFIX:job:ID:result      the result's bytes
//   PREFIX:stats              counters: claims, delivery failures
// A job's keys expire `ttl` after its last change. A worker acknowledges a stream entry only
// in the transaction that stores the job's result (or its final failure, or queues it
// again); an entry whose worker went silent is claimed again by another (XAUTOCLAIM) once it
// has been idle for `claimAfter`, so a worker on a long conversion calls `keepClaim`.
//
// One JobStore holds one connection, used under its lock; a thread that blocks waiting for
// jobs should have a store of its own. When Redis is unreachable (restarting, say), calls
// reconnect with short pauses and start over; those that cannot reach it within
// `reconnectFor` throw QueueError(Unreachable), and an answer from Redis that makes no sense
// here throws QueueError(Protocol). Every operation can be run again after a connection
// broke mid-way without doing its work twice (a submit may leave a second stream entry,
// which workers pass over). Redis's own types never leave this folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "queue/job.h"

namespace docmill::queue {

class QueueError : public std::runtime_error {
 public:
  enum class Kind { Unreachable, TooLarge, Protocol };
  QueueError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// "redis://HOST:PORT[/DB]" or "unix:PATH" (DOCMILL_QUEUE).
struct QueueAddress {
  std::string host;  // empty for a Unix socket
  int port = 6379;
  std::string socketPath;
  int database = 0;
};
// Nothing, with `why` saying what is wrong, for text that is no such address.
std::optional<QueueAddress> parseQueueAddress(std::string_view text, std::string* why);

struct StoreSettings {
  std::chrono::seconds ttl{3600};       // DOCMILL_JOB_TTL
  uint64_t maxBytes = 100ull << 20;     // DOCMILL_JOB_MAX_BYTES: a request, and a result
  std::chrono::seconds claimAfter{60};  // DOCMILL_JOB_CLAIM_AFTER
  int maxAttempts = 3;                  // conversions before a job is dead
  std::chrono::milliseconds reconnectFor{10000};
  std::string prefix = "docmill";
  // Reads the DOCMILL_JOB_* settings; throws platform::SettingError for a refused value.
  static StoreSettings fromEnvironment();
};

struct QueueStats {
  uint64_t length = 0;   // entries in the jobs stream not yet delivered to a worker
  uint64_t pending = 0;  // delivered to a worker, not yet acknowledged
  uint64_t claims = 0;   // entries claimed again after their worker went silent
  uint64_t dead = 0;     // entries in the dead-letter stream
  uint64_t deliveryFailures = 0;
};

// A job a worker has claimed.
struct ClaimedJob {
  std::string id;
  std::string entry;  // its stream entry, acknowledged when the job ends
  JobRequest request;
  int attempt = 1;         // this conversion's number (1 for the first)
  bool reclaimed = false;  // taken over from a worker that went silent
  std::string consumer;    // the worker that claimed it
};

class JobStore {
 public:
  // Connects; throws QueueError(Unreachable) when Redis cannot be reached.
  JobStore(QueueAddress address, StoreSettings settings);
  ~JobStore();
  JobStore(const JobStore&) = delete;
  JobStore& operator=(const JobStore&) = delete;

  // Stores the request and queues it; returns the job's id (a UUID). Throws
  // QueueError(TooLarge) past maxBytes, QueueError(Unreachable) without Redis.
  std::string submit(const JobRequest& request);
  // Nothing for an unknown (or expired) id.
  std::optional<JobInfo> info(const std::string& id);
  // The stored result of a done or failed job; nothing otherwise.
  std::optional<JobResult> result(const std::string& id);
  // Cancels a queued or running job (a running one's worker sees it through `cancelled`);
  // false for an unknown id or a job that has already ended.
  bool cancel(const std::string& id);
  bool cancelled(const std::string& id);

  // Worker side. The next job for `consumer`: first an entry idle past claimAfter (its worker
  // died), else a new one, waiting at most `block` (0: not at all). Marks the job running and
  // counts the attempt. Entries whose job expired or was cancelled are acknowledged and
  // skipped. A job whose workers went silent on all of its maxAttempts attempts fails for
  // good (a document that kills its worker must not kill them all).
  std::optional<ClaimedJob> claim(const std::string& consumer, std::chrono::milliseconds block);
  // While converting: tells the store the worker is still at the job, so that no other
  // worker takes it over, and keeps its records from expiring. Call it more often than
  // claimAfter (a conversion may well take longer). False when the job is no longer this
  // worker's to finish (cancelled, expired, or taken over after a silence): stop it.
  bool keepClaim(const ClaimedJob& job);
  // Stores the job's result (done for status < 400, failed otherwise), then acknowledges it,
  // in one transaction: an entry is never acknowledged without its result. A failure that
  // another attempt may mend (`retryable`: a time-out, a crash, a lost office) with attempts
  // left: the job is queued again instead, its error kept. A final failure also goes to the
  // dead-letter stream with its error. A result larger than maxBytes is stored as a failure
  // that says so. A job that is no longer running (cancelled, expired, finished by the
  // worker that took it over) keeps its state; the entry is only acknowledged.
  void complete(const ClaimedJob& job, const JobResult& result, bool retryable);
  // Counts a webhook delivery that failed for good.
  void noteDeliveryFailure();
  QueueStats stats();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace docmill::queue
