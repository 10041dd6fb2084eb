// Conversions as durable jobs, when DOCMILL_QUEUE names a Redis: the service takes a
// request, stores it as a job and answers at once; workers (`docmill worker`, worker.h)
// convert it and store its result, which the client fetches or has posted to its webhook.
//
// Routes of the front:
//   POST   /v1/jobs/<any convert, merge or member route>   202, Location: /v1/jobs/ID
//   GET    /v1/jobs/ID           {"id", "status": queued|running|done|failed|cancelled, ...}
//   GET    /v1/jobs/ID/result    the result as the route would have answered it
//   DELETE /v1/jobs/ID           cancels a job that has not ended
// and the convert and merge routes with Gotenberg-Webhook-* headers: 204 at once, the result
// posted to the webhook by the worker. `JobFront` owns its connection to Redis; its answers
// are replies (errors as JSON records), nothing is thrown past it. Without Redis reachable,
// job routes answer 503.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "queue/job_store.h"
#include "queue/webhook.h"
#include "serve/routes.h"

namespace docmill::serve {

// The route a job submission names: the path after "/v1/jobs" for POST /v1/jobs/...; nothing
// for other requests.
std::optional<std::string> submittedPath(const std::string& method, const std::string& path);
// Whether `path` is a job's own route (/v1/jobs/ID or /v1/jobs/ID/result).
bool isJobRoute(const std::string& path);

// The webhook a request's Gotenberg-Webhook-* headers ask for (`headers` holds them by
// their lower-case names), or the refusal of them: both URLs must be allowed by `policy`,
// the methods POST, PUT or PATCH, the extra headers a JSON object of plain texts.
std::variant<queue::Webhook, Reply> webhookOf(const std::map<std::string, std::string>& headers,
                                              const queue::WebhookPolicy& policy);

// The stored form of a request the service has read: its fields, its files' bytes.
queue::JobRequest jobRequestOf(const std::string& route, const std::string& path, const Form& form,
                               const std::string& outputName, const std::string& trace);
// The request again as the service read it, its files written into `folder` and its fields
// judged as they were then (throws FieldError for what the routes refuse).
Form formOf(const queue::JobRequest& request, const std::string& folder);

class JobFront {
 public:
  // Connects to Redis; throws queue::QueueError when it cannot.
  JobFront(const queue::QueueAddress& address, const queue::StoreSettings& settings,
           queue::WebhookPolicy policy);

  const queue::WebhookPolicy& webhookPolicy() const { return policy_; }
  // Queues `request`: 202 with Location and the job's state, or 204 for a webhook request.
  Reply submit(const queue::JobRequest& request);
  // GET /v1/jobs/ID, GET /v1/jobs/ID/result, DELETE /v1/jobs/ID.
  Reply query(const std::string& method, const std::string& path);
  // Prometheus lines of the queue (length, pending, claims, dead letters, failed deliveries).
  std::string metricsText();

 private:
  queue::WebhookPolicy policy_;
  std::mutex mutex_;
  std::unique_ptr<queue::JobStore> store_;
};

}  // namespace docmill::serve
