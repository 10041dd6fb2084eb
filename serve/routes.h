// What the service answers: one request, already read into a private folder, in; one reply
// out. The HTTP side (server.h) owns the connection and the folder; the routes only read the
// uploads there and write their results beside them.
//
// Routes:
//   POST /forms/libreoffice/convert   documents -> a PDF, a zip of PDFs, or one merged PDF
//   POST /forms/pdfengines/merge      PDFs -> one PDF
//   POST /v1/CreatePDF/{Member}       any member of PDF.CreatePDF, arguments in the JSON field
//                                     "args", files named by placeholders (see README)
//   GET  /health  /version  /metrics  /
// Failures are replies with a JSON error record (number, source, description) and a status
// fitting the failure; nothing here throws past `handle`, and no path a client sent reaches
// the file system: uploads and outputs live under generated names in the request's folder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "automation/call_context.h"
#include "automation/error.h"
#include "serve/form_fields.h"
#include "serve/metrics.h"

namespace docmill::serve {

struct Upload {
  std::string field;       // the form field it came in
  std::string clientName;  // the file name the client gave, only ever shown back to it
  std::string path;        // where it is stored, under a generated name
  uint64_t bytes = 0;
};

struct Form {
  std::map<std::string, std::string> fields;  // text fields; a repeated field keeps its first value
  std::vector<Upload> files;                  // in the order sent
  FormOptions options;  // the fields of the convert and merge routes, read and checked
};

struct Reply {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::string file;          // sent instead of `body` when set
  std::string downloadName;  // for Content-Disposition, already safe (see downloadName())
  std::string policy;        // a Content-Security-Policy, for a page
  int retryAfter = 0;        // seconds, for 503
  std::string location;      // a Location header (a job's address)
  std::string error;         // the error number, for the log line
};

// The name a download goes by: `requested` (the client's choice of name, from the
// Gotenberg-Output-Filename header) stripped of any folder, Windows or POSIX, and cleaned as
// every client name is (safeFileName), with the extension of `standard` added unless it ends
// so already; `standard` when nothing is requested or nothing of it is left.
std::string downloadName(const std::string& requested, const std::string& standard);

// Where upload `number` (from 1) of a request is stored: a folder of its own under a generated
// name in `requestFolder`, holding the file under the client's name as safeFileName cleans it
// (one plain name, never a path). Throws std::runtime_error when the folder cannot be made.
std::string uploadPath(const std::string& requestFolder, size_t number,
                       const std::string& clientName);

// A JSON error reply: {"number": "0x...", "source": ..., "description": ...}.
Reply errorReply(int status, const Error& error);
// The status that fits a failure of a conversion; `hresult` is the dispatch result.
int statusFor(const Error& error, int32_t hresult, const CallContext* context);

// What the service reports on its health; replaceable in tests.
struct Health {
  bool ok = false;
  std::string office;       // "ok" or why not
  std::string interpreter;  // "ok" or why not
};

// What the routes ask of the host they run in, replaceable so that tests can run the
// service without offices.
struct SystemProbe {
  std::function<Health()> health;
  // Offices alive, office restarts so far, callers waiting for an office.
  std::function<std::array<int, 3>()> offices;
};
// The real probes: an office of the pool answers, and an interpreter run of a one-page
// document succeeds (checked at most every ten seconds).
SystemProbe systemProbe();

// Conversions at a time (`workers`) and conversions that may wait for a turn (`queue`).
// Callers are counted from `tryAdmit` on; waiting for a turn ends early when the caller's
// context is cancelled.
class Gate {
 public:
  Gate(int workers, int queue) : workers_(workers), queue_(queue) {}
  // Counts one caller in, unless workers + queue are already counted; false then.
  bool tryAdmit();
  void leave();  // one admitted caller is done
  // Waits for a free worker; false when the context was cancelled first.
  bool enter(const std::shared_ptr<CallContext>& context);
  void exit();
  int waiting() const;
  int admitted() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int workers_, queue_;
  int admitted_ = 0, running_ = 0;
};

struct RouteSettings {
  int workers = 1;
  int retryAfterSeconds = 5;
  std::string version;
};

class Routes {
 public:
  Routes(RouteSettings settings, SystemProbe probe, Metrics& metrics, Gate& gate);

  // The route label of a request line ("other" for unknown paths); also its metrics label.
  static std::string routeOf(const std::string& method, const std::string& path);
  // Whether the route takes a multipart body and converts.
  static bool converts(const std::string& route);

  // A refusal that needs nothing of the body (an unknown member), so that it comes before
  // the body is read or its form checked; nothing when the request may go on.
  static std::optional<Reply> refusedBeforeBody(const std::string& route, const std::string& path);

  // Answers one request; `folder` is the request's private folder with the uploads in it.
  // Runs on a thread with the request's CallContext installed.
  Reply handle(const std::string& route, const std::string& path, const Form& form,
               const std::string& folder);
  // Answers the routes that take no body.
  Reply handleSimple(const std::string& route, int inFlight);

 private:
  Reply convertDocuments(const Form& form, const std::string& folder);
  Reply mergePdfs(const Form& form, const std::string& folder);
  Reply callMember(const std::string& path, const Form& form, const std::string& folder);

  RouteSettings settings_;
  SystemProbe probe_;
  Metrics& metrics_;
  Gate& gate_;
};

}  // namespace docmill::serve
