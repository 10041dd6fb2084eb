// `docmill worker --queue URL`: converts the jobs a front (`docmill serve` with
// DOCMILL_QUEUE, jobs.h) stored in Redis, any number of workers on any number of machines.
//
// A worker runs as many conversions at a time as its office pool has offices, each on a
// thread with its own connection. For each job it rebuilds the request in a private folder,
// answers it with the service's own routes, posts the result to the job's webhook when it
// has one (before the job is acknowledged, so that a worker that dies in between leaves the
// job to be done and delivered again: the receiver tells the second delivery by its job id),
// and stores the result. A job cancelled while it runs is stopped as a client that hangs up
// is. SIGTERM or SIGINT drains: no new job is taken, those under way finish.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "queue/job_store.h"
#include "queue/webhook.h"
#include "serve/routes.h"

namespace docmill::serve {

// The worker's threads: each claims a job, answers it with `routes` and ends it. Owns its
// threads; `stop` (or the destructor) lets the jobs under way finish and waits for them.
class JobWorker {
 public:
  JobWorker(queue::QueueAddress address, queue::StoreSettings settings, queue::WebhookPolicy policy,
            queue::DeliverySettings delivery, Routes& routes);
  ~JobWorker();
  JobWorker(const JobWorker&) = delete;
  JobWorker& operator=(const JobWorker&) = delete;

  // Starts `threads` threads, consumers named NAME-0, NAME-1, ...
  void start(int threads, const std::string& name);
  void stop();

 private:
  void loop(const std::string& consumer);
  void run(queue::JobStore& store, const queue::ClaimedJob& job);
  void finish(queue::JobStore& store, const queue::ClaimedJob& job, queue::JobResult result);

  queue::QueueAddress address_;
  queue::StoreSettings settings_;
  queue::WebhookPolicy policy_;
  queue::DeliverySettings delivery_;
  Routes& routes_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

// Returns the exit status (2 for bad arguments or settings, 1 when Redis cannot be reached
// at the start).
int runWorker(const std::vector<std::string>& args);

}  // namespace docmill::serve
