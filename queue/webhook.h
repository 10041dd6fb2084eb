// Posting a job's result to the client's webhook: only to URLs the operator allowed
// (DOCMILL_WEBHOOK_ALLOW), never following a redirect, within time limits, again with
// back-off when the receiver fails, and with a header that names the job so that a receiver
// can drop a second delivery of the same result.
//
// Nothing here throws: a delivery reports how it ended.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "queue/job.h"

namespace docmill::queue {

class WebhookPolicy {
 public:
  // Patterns a URL must match as a whole, '*' standing for any run of characters (e.g.
  // "https://hooks.example.com/*"). Only http and https URLs without user information
  // ("user@") are ever allowed. No patterns (the default) allow none: webhooks are off
  // until configured.
  explicit WebhookPolicy(std::vector<std::string> patterns = {});
  // DOCMILL_WEBHOOK_ALLOW: patterns separated by commas or blanks.
  static WebhookPolicy fromEnvironment();
  bool allows(const std::string& url) const;
  bool enabled() const { return !patterns_.empty(); }

 private:
  std::vector<std::string> patterns_;
};

struct DeliverySettings {
  int attempts = 5;
  std::chrono::milliseconds firstBackoff{1000};  // doubled after each failed attempt
  std::chrono::milliseconds connectTimeout{5000};
  std::chrono::milliseconds timeout{30000};  // for the whole of one attempt
};

struct Delivery {
  bool delivered = false;
  int attempts = 0;
  int lastStatus = 0;       // the receiver's last HTTP status; 0 when none came
  std::string lastProblem;  // why the last attempt failed
};

// The header every delivery carries: the job's id (the same on every delivery of a job).
inline constexpr const char* kJobIdHeader = "Docmill-Job-Id";

// Posts `result` (a success to webhook.url, a failure's JSON to webhook.errorUrl) with the
// webhook's method and extra headers, plus kJobIdHeader, Content-Type and, for a file,
// Content-Disposition. A 2xx answer is delivered; a 3xx is a failure (never followed); 4xx
// other than 408/429 end the retries. `stop` is polled between attempts (a draining worker).
Delivery deliver(const Webhook& webhook, const std::string& jobId, const JobResult& result,
                 const WebhookPolicy& policy, const DeliverySettings& settings,
                 const std::function<bool()>& stop = {});

}  // namespace docmill::queue
