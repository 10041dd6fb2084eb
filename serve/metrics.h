// The service's counters, in the Prometheus text format: requests by route and status,
// conversions by route and outcome, request durations per route as histograms, and gauges
// the caller fills in when the text is made (queue depth, offices alive, office restarts).
// Thread-safe; nothing here fails.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace docmill::serve {

struct Gauges {
  int requestsInFlight = 0;
  int queueDepth = 0;  // requests waiting for a conversion slot, and callers waiting for an office
  int officesAlive = 0;
  int officeRestarts = 0;
};

class Metrics {
 public:
  void request(const std::string& route, int status, double seconds);
  // `outcome`: "ok", "failed", "timeout", "cancelled", "rejected".
  void conversion(const std::string& route, const std::string& outcome);
  std::string text(const Gauges& gauges) const;

 private:
  static constexpr std::array<double, 10> kBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 120};
  struct Histogram {
    std::array<uint64_t, kBuckets.size()> buckets{};
    uint64_t count = 0;
    double sum = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, uint64_t> requests_;
  std::map<std::pair<std::string, std::string>, uint64_t> conversions_;
  std::map<std::string, Histogram> durations_;
};

}  // namespace docmill::serve
