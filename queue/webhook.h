// Posting a job's result to the client's webhook: only to URLs the operator allowed
// (DOCMILL_WEBHOOK_ALLOW), never following a redirect, within time limits, again with
// back-off when the receiver fails, and with a header that names the job so that a receiver
// can drop a second delivery of the same result.
//
// The URL and the extra headers come from a client, so they are checked before anything is
// sent: a delivery that would go where the operator did not allow, or with headers that
// would change the request's framing or target, sends nothing and says why. Nothing here
// throws: a delivery reports how it ended.
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
  // "https://hooks.example.com/*"); a '*' before the pattern's path stands for no '/' or
  // ':', so that it cannot reach past the host ("https://*.example.com/*" does not allow
  // "https://evil.test/.example.com/") and a port is allowed only where a pattern names one
  // ("http://10.0.0.5:8080/*", "http://10.0.0.5:*/*"). The pattern "*" alone allows every
  // URL that may be allowed at all. Only plain http and https URLs are ever allowed: a
  // lower-case scheme, a host (name, IPv4 or [IPv6]) and optional port, no user
  // information ("user@"), no fragment, and no character outside those a URL is written
  // with (no blanks, controls or bytes past ASCII). A URL without a path is matched as if
  // it ended in "/". Letters are compared as written. No patterns (the default) allow
  // none: webhooks are off until configured.
  explicit WebhookPolicy(std::vector<std::string> patterns = {});
  // DOCMILL_WEBHOOK_ALLOW: patterns separated by commas or blanks.
  static WebhookPolicy fromEnvironment();
  bool allows(const std::string& url) const;
  bool enabled() const { return !patterns_.empty(); }

 private:
  std::vector<std::string> patterns_;
};

struct DeliverySettings {
  int attempts = 5;                              // at least one is made
  std::chrono::milliseconds firstBackoff{1000};  // doubled after each failed attempt (to 1 h)
  std::chrono::milliseconds connectTimeout{5000};
  // For the whole of one attempt: connecting, TLS, sending and the answer's head. Resolving
  // the host name is bounded by the system resolver's own limits.
  std::chrono::milliseconds timeout{30000};
};

struct Delivery {
  bool delivered = false;
  int attempts = 0;         // requests tried; 0 when the delivery was refused before any
  int lastStatus = 0;       // the HTTP status of the last attempt; 0 when none came
  std::string lastProblem;  // why it was refused or the last attempt failed; empty when delivered
};

// The header every delivery carries: the job's id (the same on every delivery of a job).
inline constexpr const char* kJobIdHeader = "Docmill-Job-Id";

// The header that numbers the attempts of one delivery, from 1.
inline constexpr const char* kAttemptHeader = "Docmill-Delivery-Attempt";

// Posts `result` (a success to webhook.url with webhook.method, a failure, status 400 or
// more, to webhook.errorUrl with webhook.errorMethod) with the webhook's extra headers, plus
// kJobIdHeader, kAttemptHeader, Content-Type and, for a file with a name that can be
// carried safely, Content-Disposition. Refused, with nothing sent: a URL the policy does not
// allow, an empty URL for the kind of result, a method other than POST, PUT or PATCH (empty
// is POST), an extra header whose name is not a token or whose value holds CR, LF or NUL,
// and one that would override Host, the framing headers (Content-Length, Transfer-Encoding,
// Connection, ...), Content-Type, Content-Disposition or ours. The connection goes to the
// addresses the host name resolved to, over TLS for https (the peer verified against the
// system's CA store and the host name). A 2xx answer is delivered; a 3xx is a failure (never
// followed); 408, 429, 5xx and failures to connect or to get an answer are tried again
// after the back-off, up to `settings.attempts`; other answers end the delivery. The first
// attempt is always made; `stop` is polled after each failed one and during the back-off
// (a draining worker), and ends the retries.
Delivery deliver(const Webhook& webhook, const std::string& jobId, const JobResult& result,
                 const WebhookPolicy& policy, const DeliverySettings& settings,
                 const std::function<bool()>& stop = {});

}  // namespace docmill::queue
