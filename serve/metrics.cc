#include "serve/metrics.h"

#include <cstdio>

namespace docmill::serve {

namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

}  // namespace

void Metrics::request(const std::string& route, int status, double seconds) {
  std::lock_guard lock(mutex_);
  ++requests_[{route, status}];
  Histogram& h = durations_[route];
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++h.buckets[i];
  }
  ++h.count;
  h.sum += seconds;
}

void Metrics::conversion(const std::string& route, const std::string& outcome) {
  std::lock_guard lock(mutex_);
  ++conversions_[{route, outcome}];
}

std::string Metrics::text(const Gauges& gauges) const {
  std::lock_guard lock(mutex_);
  std::string out;
  out += "# HELP docmill_requests_total HTTP requests answered, by route and status.\n";
  out += "# TYPE docmill_requests_total counter\n";
  for (const auto& [key, n] : requests_) {
    out += "docmill_requests_total{route=\"" + key.first + "\",status=\"" +
           std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
  }
  out += "# HELP docmill_conversions_total Conversion requests, by route and outcome.\n";
  out += "# TYPE docmill_conversions_total counter\n";
  for (const auto& [key, n] : conversions_) {
    out += "docmill_conversions_total{route=\"" + key.first + "\",outcome=\"" + key.second +
           "\"} " + std::to_string(n) + "\n";
  }
  out +=
      "# HELP docmill_request_duration_seconds Time from a request's first byte to its answer.\n";
  out += "# TYPE docmill_request_duration_seconds histogram\n";
  for (const auto& [route, h] : durations_) {
    for (size_t i = 0; i < kBuckets.size(); ++i) {
      out += "docmill_request_duration_seconds_bucket{route=\"" + route + "\",le=\"" +
             number(kBuckets[i]) + "\"} " + std::to_string(h.buckets[i]) + "\n";
    }
    out += "docmill_request_duration_seconds_bucket{route=\"" + route + "\",le=\"+Inf\"} " +
           std::to_string(h.count) + "\n";
    out += "docmill_request_duration_seconds_sum{route=\"" + route + "\"} " + number(h.sum) + "\n";
    out += "docmill_request_duration_seconds_count{route=\"" + route + "\"} " +
           std::to_string(h.count) + "\n";
  }
  auto gauge = [&](const char* name, const char* help, const char* type, int v) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + std::to_string(v) + "\n";
  };
  gauge("docmill_requests_in_flight", "Requests being read, converted or answered.", "gauge",
        gauges.requestsInFlight);
  gauge("docmill_queue_depth", "Conversions waiting for their turn.", "gauge", gauges.queueDepth);
  gauge("docmill_offices_alive", "Office processes that run and take calls.", "gauge",
        gauges.officesAlive);
  gauge("docmill_office_restarts_total", "Times an office was started again.", "counter",
        gauges.officeRestarts);
  return out;
}

}  // namespace docmill::serve
