// A conversion job as it travels between the service that takes it and the workers that run
// it: the request as the service read it, the webhook it is to be delivered to, its state
// and its result. Plain values; nothing here talks to Redis or the network.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace docmill::queue {

// Where the result goes when the client asked for it to be posted (the common API's
// Gotenberg-Webhook-* headers).
struct Webhook {
  std::string url;                   // Gotenberg-Webhook-Url: the result
  std::string errorUrl;              // Gotenberg-Webhook-Error-Url: the JSON error
  std::string method = "POST";       // Gotenberg-Webhook-Method (POST, PUT or PATCH)
  std::string errorMethod = "POST";  // Gotenberg-Webhook-Error-Method
  // Gotenberg-Webhook-Extra-Http-Headers, a JSON object of names and values.
  std::vector<std::pair<std::string, std::string>> extraHeaders;
};

// One request as the service took it in: enough for any worker to answer it as the
// service would have.
struct JobRequest {
  std::string
      route;  // "/forms/libreoffice/convert", "/forms/pdfengines/merge", "/v1/CreatePDF/{Member}"
  std::string path;  // the request's path (a member route names its member)
  std::vector<std::pair<std::string, std::string>> fields;  // the text fields, in order
  struct File {
    std::string field;       // the form field it came in
    std::string clientName;  // the client's file name, shown back to it only
    std::string bytes;
  };
  std::vector<File> files;  // in the order sent
  std::string outputName;   // Gotenberg-Output-Filename
  std::string trace;        // Gotenberg-Trace
  std::optional<Webhook> webhook;

  // The bytes the request holds (files and fields), as counted against the size limit.
  uint64_t size() const;
};

// What a job's request was answered with: the service's reply, kept whole.
struct JobResult {
  int status = 200;
  std::string contentType;
  std::string downloadName;  // Content-Disposition's file name, already safe
  std::string body;          // the PDF, the zip, or the JSON error record
};

enum class JobState { Queued, Running, Done, Failed, Cancelled };
const char* stateName(JobState state);  // "queued", "running", "done", "failed", "cancelled"

struct JobInfo {
  std::string id;
  JobState state = JobState::Queued;
  int attempts = 0;   // conversions started so far
  std::string error;  // the JSON error record of a failed job
  std::string route;
  int64_t createdMs = 0;  // milliseconds since the epoch
  int64_t updatedMs = 0;
};

// A request as bytes for storage, and back. `decodeRequest` takes bytes nobody vouches for:
// it returns nothing for bytes that are no encoded request (truncated, garbage, trailing
// bytes) and allocates in proportion to the bytes' size, whatever counts they claim.
std::string encodeRequest(const JobRequest& request);
std::optional<JobRequest> decodeRequest(std::string_view bytes);

}  // namespace docmill::queue
