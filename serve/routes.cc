#include "serve/routes.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/arguments.h"
#include "cli/convert.h"
#include "component/type_library.h"
#include "conversion/routines.h"
#include "platform/scratch.h"
#include "serve/multipart.h"
#include "serve/pdf_files.h"
#ifdef DOCMILL_HAVE_OFFICE_APPS
#include "office_server/servers.h"
#endif

namespace docmill::serve {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// A request the service turns down before any conversion, with its status.
struct Refusal {
  int status;
  Error error;
};

[[noreturn]] void refuse(int status, const std::string& description,
                         int32_t number = hr::E_INVALIDARG) {
  throw Refusal{status, Error{number, "docmill", description}};
}

std::string jsonText(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// Replaces the private paths in a failure's text by the names the client knows.
std::string forClient(std::string text, const Form& form, const std::string& folder) {
  auto replaceAll = [&text](const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  };
  for (const auto& f : form.files) replaceAll(f.path, safeFileName(f.clientName, "file"));
  replaceAll(folder + "/", "");
  replaceAll(folder, "");
  return text;
}

// How deep arrays and objects may nest in `args`. Parsing and converting a value recurse
// once per level, so the depth is checked on the text first: a short request of brackets
// must not exhaust a thread's stack.
constexpr int kMaxNesting = 64;

// Whether the JSON text opens more than `limit` arrays or objects inside each other
// (brackets inside strings do not count).
bool nestedDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

Reply fileReply(const std::string& path, const std::string& name, const std::string& type) {
  Reply r;
  r.contentType = type;
  r.file = path;
  r.downloadName = name;
  return r;
}

// The names of the files of one answer: unique whatever their letter case (archives are
// unpacked on systems that ignore it), each within the length safeFileName allows, with
// "-2", "-3", ... after the base while a name is taken.
class Names {
 public:
  std::string add(const std::string& base, const std::string& suffix) {
    for (int n = 1;; ++n) {
      const std::string tail = (n == 1 ? "" : "-" + std::to_string(n)) + suffix;
      size_t cut = std::min(base.size(), kMaxName > tail.size() ? kMaxName - tail.size() : 0);
      while (cut > 0 && cut < base.size() &&
             (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) {
        --cut;
      }
      const std::string name = base.substr(0, cut) + tail;
      std::string key = name;
      std::transform(key.begin(), key.end(), key.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (taken_.insert(key).second) return name;
    }
  }

 private:
  static constexpr size_t kMaxName = 120;
  std::set<std::string> taken_;
};

// One file of an answer: where it is, and the name the client gets it under.
struct Output {
  std::string path, name;
};

// The files that hold one converted document (or the merged one) under the common API's
// names: "BASE.pdf" for the whole PDF, "BASE_0.pdf", "BASE_1.pdf", ... for the parts of a
// split, and "BASE.pdf" again for the pages of a split unified into one file.
void addOutputs(std::vector<Output>& outputs, Names& names, const cli::FileResult& result,
                const std::string& base, const cli::PdfOptions& options) {
  const bool unified =
      options.split && options.split->mode == pdfclean::Split::Mode::Pages && options.split->unify;
  if (result.parts.empty()) {
    outputs.push_back({result.output, names.add(base, ".pdf")});
  } else if (unified && result.parts.size() == 1) {
    outputs.push_back({result.parts.front(), names.add(base, ".pdf")});
  } else {
    for (size_t k = 0; k < result.parts.size(); ++k) {
      outputs.push_back({result.parts[k], names.add(base, "_" + std::to_string(k) + ".pdf")});
    }
  }
}

// The answer: one file as itself (under `single` when given, else its own name), several as
// a zip.
Reply answer(const std::vector<Output>& outputs, const std::string& single,
             const std::string& folder) {
  if (outputs.size() == 1) {
    return fileReply(outputs[0].path, single.empty() ? outputs[0].name : single, "application/pdf");
  }
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& o : outputs) entries.emplace_back(o.name, o.path);
  writeZip(folder + "/result.zip", entries);
  return fileReply(folder + "/result.zip", "result.zip", "application/zip");
}

std::string downloadStem(const Upload& file) {
  std::string stem = fs::path(safeFileName(file.clientName, "document")).stem().string();
  return stem.empty() ? "document" : stem;
}

// Runs a batch of the request. A refusal of the batch, or the failure of one of its files
// (named by the client's name for it, from `form`), ends the request.
cli::BatchResult runBatch(const cli::BatchRequest& request, const Form& form,
                          const std::string& folder) {
  cli::BatchResult result = cli::convertBatch(request);
  if (!result.refused.empty()) refuse(400, forClient(result.refused, form, folder));
  const auto context = CallContext::current();
  // A failed join is every file's failure: its own words name the file at fault, so no one
  // file's name goes before them.
  if (result.joinError) {
    Error e = *result.joinError;
    e.description = forClient(e.description, form, folder);
    throw Refusal{statusFor(e, hr::DISP_E_EXCEPTION, context.get()), e};
  }
  for (const auto& r : result.files) {
    if (!r.error) continue;
    Error e = *r.error;
    std::string name = "file";
    for (const auto& f : form.files) {
      if (f.path == r.input) name = safeFileName(f.clientName, "file");
    }
    // Every failure opens with the file's name, once: the batch may have put it there.
    e.description = forClient(e.description, form, folder);
    if (e.description.rfind(name + ": ", 0) != 0) e.description = name + ": " + e.description;
    throw Refusal{statusFor(e, hr::DISP_E_EXCEPTION, context.get()), e};
  }
  if (result.noScratch) refuse(500, "Cannot create a private folder.", hr::E_FAIL);
  return result;
}

// What a merge made: the joined PDF, or its parts when it was split.
const cli::FileResult& merged(const cli::BatchResult& result) {
  if (result.files.empty()) refuse(500, "The merge made nothing.", hr::E_FAIL);
  for (const auto& r : result.files) {
    if (!r.parts.empty()) return r;
  }
  return result.files.front();
}

// The form with `paths` standing for its uploads, so that failures of a batch over files made
// from the uploads name the client's files.
Form standingFor(const Form& form, const std::vector<std::string>& paths) {
  Form named;
  named.files = form.files;
  for (size_t i = 0; i < named.files.size() && i < paths.size(); ++i)
    named.files[i].path = paths[i];
  return named;
}

std::string makeFolder(const std::string& parent, const std::string& name) {
  std::string path = parent + "/" + name;
  std::error_code ec;
  fs::create_directory(path, ec);
  if (ec) refuse(500, "Cannot create a private folder: " + ec.message(), hr::E_FAIL);
  fs::permissions(path, fs::perms::owner_all, ec);
  return path;
}

}  // namespace

std::string downloadName(const std::string& requested, const std::string& standard) {
  const std::string base = safeFileName(requested, "");
  if (base.empty()) return standard;
  const std::string ext = fs::path(standard).extension().string();
  if (base.size() > ext.size() && sameName(base.substr(base.size() - ext.size()), ext)) {
    return base;
  }
  return safeFileName(base + ext, standard);
}

// Where an upload is stored: a folder of its own under a generated name, holding the file
// under the client's name as safeFileName cleans it (one plain name, never a path). The
// office then reads and shows the name the client knows (a CSV's sheet is named after its
// file; fields and messages show the file's name), and the extension picks the conversion.
std::string uploadPath(const std::string& requestFolder, size_t number,
                       const std::string& clientName) {
  const std::string folder = requestFolder + "/upload-" + std::to_string(number);
  std::error_code ec;
  std::filesystem::create_directory(folder, ec);
  if (ec) throw std::runtime_error("cannot store an upload");
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
  return folder + "/" + safeFileName(clientName, "upload");
}

Reply errorReply(int status, const Error& error) {
  Reply r;
  r.status = status;
  r.error = hexCode(error.number);
  r.body = jsonText(json{{"number", r.error},
                         {"source", error.source.empty() ? "docmill" : error.source},
                         {"description", error.description}}) +
           "\n";
  return r;
}

int statusFor(const Error& error, int32_t hresult, const CallContext* context) {
  if (context && context->timedOut()) return 504;
  if (error.number == hr::E_ABORT) return 499;
  if (context && context->badInput()) return 400;
  switch (hresult) {
    case hr::DISP_E_EXCEPTION:
      break;
    case hr::DISP_E_UNKNOWNNAME:
    case hr::DISP_E_MEMBERNOTFOUND:
      return 404;
    default:
      return 400;  // argument count, types, names: the request's fault
  }
  switch (error.number) {
    case rt::CantCreateObject:
      return 503;
    case pdoErrFileNotFound:
    case pdoErrConversionFailed:  // the interpreter refused the document
    case rt::InvalidProcedureCall:
    case rt::Overflow:
    case rt::SubscriptOutOfRange:
    case rt::TypeMismatch:
    case rt::FileNotFound:
    case hr::E_INVALIDARG:
    case 5174:  // Word: cannot open, password, bad value
    case 5408:
    case 4608:
    case 1004:  // Excel: cannot open or bad value
    case 1005:
    case static_cast<int32_t>(0x80048240):  // PowerPoint
    case static_cast<int32_t>(0x80048241):
    case static_cast<int32_t>(0x80048242):
    case static_cast<int32_t>(0x80041000):  // Publisher
    case static_cast<int32_t>(0x80041001):
    case static_cast<int32_t>(0x80041002):
      return 400;
    default:
      return 500;
  }
}

// --- Gate ---

bool Gate::tryAdmit() {
  std::lock_guard lock(mutex_);
  if (admitted_ >= workers_ + queue_) return false;
  ++admitted_;
  return true;
}

void Gate::leave() {
  std::lock_guard lock(mutex_);
  --admitted_;
}

bool Gate::enter(const std::shared_ptr<CallContext>& context) {
  CallContext::Hook wake = CallContext::onCancel(context, [this] {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return running_ < workers_ || (context && context->cancelled()); });
  if (context && context->cancelled()) return false;
  ++running_;
  return true;
}

void Gate::exit() {
  {
    std::lock_guard lock(mutex_);
    --running_;
  }
  changed_.notify_all();
}

int Gate::waiting() const {
  std::lock_guard lock(mutex_);
  return admitted_ - running_;
}

int Gate::admitted() const {
  std::lock_guard lock(mutex_);
  return admitted_;
}

// --- probes ---

SystemProbe systemProbe() {
  SystemProbe probe;
  struct Cache {
    std::mutex mutex;
    std::chrono::steady_clock::time_point checked;
    std::string interpreter = "not checked";
  };
  auto cache = std::make_shared<Cache>();
  probe.health = [cache] {
    Health h;
#ifdef DOCMILL_HAVE_OFFICE_APPS
    int ready = 0;
    for (const auto& o : office_server::officeStatus()) ready += o.ready ? 1 : 0;
    h.office = ready > 0 ? "ok" : "no office runs";
#else
    h.office = "ok";
#endif
    {
      std::lock_guard lock(cache->mutex);
      const auto now = std::chrono::steady_clock::now();
      if (cache->interpreter != "ok" || now - cache->checked > std::chrono::seconds(10)) {
        // One real run: a one-page document through the sandboxed interpreter.
        try {
          platform::TempFolder folder(platform::hostScratchFolder(), "health-");
          const std::string ps = folder.path() + "/probe.ps", pdf = folder.path() + "/probe.pdf";
          std::ofstream(ps) << "%!PS\n/Helvetica findfont 12 scalefont setfont 72 72 moveto "
                               "(ok) show showpage\n";
          Variant out(pdf), in(ps);
          call(createObject(kProgId), "CreatePDFfromPS", {Variant::byRef(out), Variant::byRef(in)});
          cache->interpreter = fs::file_size(pdf) > 0 ? "ok" : "the interpreter wrote nothing";
        } catch (const AutomationError& e) {
          cache->interpreter = e.error().description;
        } catch (const std::exception& e) {
          cache->interpreter = e.what();
        }
        cache->checked = now;
      }
      h.interpreter = cache->interpreter;
    }
    h.ok = h.office == "ok" && h.interpreter == "ok";
    return h;
  };
  probe.offices = [] {
    std::array<int, 3> n{0, 0, 0};
#ifdef DOCMILL_HAVE_OFFICE_APPS
    for (const auto& o : office_server::officeStatus()) {
      n[0] += o.ready ? 1 : 0;
      n[1] += o.restarts;
      n[2] = o.waiting;
    }
#endif
    return n;
  };
  return probe;
}

// --- routes ---

Routes::Routes(RouteSettings settings, SystemProbe probe, Metrics& metrics, Gate& gate)
    : settings_(std::move(settings)), probe_(std::move(probe)), metrics_(metrics), gate_(gate) {}

std::string Routes::routeOf(const std::string& method, const std::string& path) {
  if (path == "/forms/libreoffice/convert" || path == "/forms/pdfengines/merge") {
    return method == "POST" ? path : "method";
  }
  if (startsWith(path, "/v1/CreatePDF/")) return method == "POST" ? "/v1/CreatePDF" : "method";
  if (path == "/" || path == "/health" || path == "/version" || path == "/metrics") {
    return method == "GET" || method == "HEAD" ? path : "method";
  }
  return "other";
}

bool Routes::converts(const std::string& route) {
  return route == "/forms/libreoffice/convert" || route == "/forms/pdfengines/merge" ||
         route == "/v1/CreatePDF";
}

Reply Routes::handleSimple(const std::string& route, int inFlight) {
  if (route == "/health") {
    Health h = probe_.health ? probe_.health() : Health{true, "ok", "ok"};
    Reply r;
    r.status = h.ok ? 200 : 503;
    r.body = jsonText(json{{"status", h.ok ? "up" : "down"},
                           {"office", h.office},
                           {"interpreter", h.interpreter}}) +
             "\n";
    return r;
  }
  if (route == "/version") {
    Reply r;
    r.body = jsonText(json{{"name", "docmill"}, {"version", settings_.version}}) + "\n";
    return r;
  }
  if (route == "/metrics") {
    Gauges g;
    g.requestsInFlight = inFlight;
    std::array<int, 3> offices = probe_.offices ? probe_.offices() : std::array<int, 3>{0, 0, 0};
    g.officesAlive = offices[0];
    g.officeRestarts = offices[1];
    g.queueDepth = gate_.waiting() + offices[2];
    Reply r;
    r.contentType = "text/plain; version=0.0.4";
    r.body = metrics_.text(g);
    return r;
  }
  if (route == "method") {
    return errorReply(405, Error{hr::E_INVALIDARG, "docmill", "This method is not allowed here."});
  }
  return errorReply(404, Error{hr::DISP_E_MEMBERNOTFOUND, "docmill", "No such route."});
}

Reply Routes::handle(const std::string& route, const std::string& path, const Form& form,
                     const std::string& folder) {
  const auto context = CallContext::current();
  // Only conversions take a turn; the rest answer at once.
  if (!gate_.enter(context)) {
    metrics_.conversion(route, "cancelled");
    return errorReply(499, cancelledError());
  }
  struct Turn {
    Gate& gate;
    ~Turn() { gate.exit(); }
  } turn{gate_};
  Reply reply;
  try {
    if (route == "/forms/libreoffice/convert") {
      reply = convertDocuments(form, folder);
    } else if (route == "/forms/pdfengines/merge") {
      reply = mergePdfs(form, folder);
    } else {
      reply = callMember(path, form, folder);
    }
  } catch (const Refusal& r) {
    reply = errorReply(r.status, r.error);
  } catch (const AutomationError& e) {
    Error error = e.error();
    error.description = forClient(error.description, form, folder);
    reply = errorReply(statusFor(error, e.hresult(), context.get()), error);
  } catch (const FileError& e) {
    reply = errorReply(400, Error{hr::E_INVALIDARG, "docmill", e.what()});
  } catch (const std::exception& e) {
    reply = errorReply(500, Error{hr::E_FAIL, "docmill", e.what()});
  }
  if (context && context->cancelled()) reply = errorReply(499, cancelledError());
  std::string outcome = reply.status < 400    ? "ok"
                        : reply.status == 504 ? "timeout"
                        : reply.status == 499 ? "cancelled"
                        : reply.status == 503 ? "rejected"
                                              : "failed";
  metrics_.conversion(route, outcome);
  if (reply.status == 503) reply.retryAfter = settings_.retryAfterSeconds;
  return reply;
}

Reply Routes::convertDocuments(const Form& form, const std::string& folder) {
  if (form.files.empty()) refuse(400, "The form has no files to convert.", pdoErrFileNotFound);
  const FormOptions& o = form.options;
  const bool picking = !o.ranges.empty();
  cli::BatchRequest batch;
  for (const auto& f : form.files) {
    batch.inputs.push_back(f.path);
    batch.names.push_back(safeFileName(f.clientName, "file"));
  }
  batch.jobs = std::max(1, std::min<int>(settings_.workers, static_cast<int>(form.files.size())));
  batch.options.landscape = o.landscape;
  batch.pdf = picking ? o.beforePages : o.pdf;

  Names bases, names;
  std::vector<Output> outputs;
  if (o.merge && !picking) {
    batch.output = folder + "/merged.pdf";
    batch.merge = true;
    cli::BatchResult result = runBatch(batch, form, folder);
    addOutputs(outputs, names, merged(result), "merged", o.pdf);
    return answer(outputs, o.pdf.split ? "" : "merged.pdf", folder);
  }

  batch.output = makeFolder(folder, "out");
  std::vector<cli::FileResult> done = runBatch(batch, form, folder).files;
  if (picking) {
    const std::string picked = makeFolder(folder, "pages");
    std::vector<std::string> pdfs;
    for (size_t i = 0; i < done.size(); ++i) {
      pdfs.push_back(picked + "/" + std::to_string(i + 1) + ".pdf");
      try {
        selectPages(done[i].output, pdfs[i], o.ranges);
      } catch (const FileError& e) {
        refuse(400,
               safeFileName(form.files[i].clientName, "file") + ": nativePageRanges: " + e.what());
      }
      done[i].output = pdfs[i];
    }
    // What shapes any PDF is done to the picked pages: the join, the standard, metadata,
    // flattening, encryption, split.
    const Form named = standingFor(form, pdfs);
    cli::BatchRequest after;
    after.inputs = pdfs;
    after.names = batch.names;
    after.pdf = o.afterPages;
    if (o.merge) {
      after.output = folder + "/merged.pdf";
      after.merge = true;
      after.jobs = 1;
      cli::BatchResult result = runBatch(after, named, folder);
      addOutputs(outputs, names, merged(result), "merged", o.afterPages);
      return answer(outputs, o.afterPages.split ? "" : "merged.pdf", folder);
    }
    if (!o.afterPages.empty()) {
      after.output = makeFolder(folder, "finished");
      after.jobs = batch.jobs;
      done = runBatch(after, named, folder).files;
    }
  }
  const cli::PdfOptions& shaped = picking ? o.afterPages : o.pdf;
  for (size_t i = 0; i < done.size(); ++i) {
    const std::string safe =
        safeFileName(form.files[i].clientName, "document-" + std::to_string(i + 1));
    addOutputs(outputs, names, done[i], bases.add(safe, ""), shaped);
  }
  // One document whole keeps its own name with ".pdf" for its extension.
  return answer(outputs, shaped.split ? "" : downloadStem(form.files[0]) + ".pdf", folder);
}

Reply Routes::mergePdfs(const Form& form, const std::string& folder) {
  if (form.files.empty()) refuse(400, "The form has no PDF files to merge.", pdoErrFileNotFound);
  std::vector<std::string> inputs;
  for (const auto& f : form.files) {
    char head[5] = {};
    std::ifstream(f.path, std::ios::binary).read(head, 5);
    if (std::string(head, 5) != "%PDF-") {
      refuse(400, safeFileName(f.clientName, "file") + " is not a PDF file.");
    }
    // Joined by kind, so each stored copy must read as a PDF whatever the client called it.
    std::string asPdf = f.path + ".pdf";
    std::error_code ec;
    fs::rename(f.path, asPdf, ec);
    if (ec) refuse(500, "Cannot prepare the files: " + ec.message(), hr::E_FAIL);
    inputs.push_back(asPdf);
  }
  cli::BatchRequest join;
  join.inputs = inputs;
  for (const auto& f : form.files) join.names.push_back(safeFileName(f.clientName, "file"));
  join.output = folder + "/merged.pdf";
  join.merge = true;
  join.jobs = 1;
  join.pdf = form.options.pdf;
  cli::BatchResult joined = runBatch(join, standingFor(form, inputs), folder);
  Names names;
  std::vector<Output> outputs;
  addOutputs(outputs, names, merged(joined), "merged", form.options.pdf);
  return answer(outputs, form.options.pdf.split ? "" : "merged.pdf", folder);
}

namespace {

// The arguments of one member call, built from the "args" field. Placeholders stand for
// files: "file:NAME" for an upload (by its file name, else its field name), "output:NAME"
// for a file the member writes, sent back as NAME.
class ArgumentBuilder {
 public:
  ArgumentBuilder(const Form& form, const std::string& folder) : form_(form), folder_(folder) {}

  // What one argument holds: its value, and how many of its items are file placeholders,
  // output placeholders and anything else.
  struct Built {
    Variant value;
    int files = 0, outputs = 0, others = 0;
  };

  Built build(const json& j) {
    Built b;
    b.value = resolve(toVariant(j), b);
    return b;
  }

  const std::vector<std::pair<std::string, std::string>>& outputs() const { return outputs_; }

 private:
  Variant toVariant(const json& j) {
    if (j.is_string()) return cli::parseValue(j.get<std::string>());
    if (j.is_boolean()) return Variant(j.get<bool>());
    if (j.is_null()) return Variant::null();
    if (j.is_number_integer()) {
      long long v = j.get<long long>();
      if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
      return Variant(static_cast<double>(v));
    }
    if (j.is_number()) return Variant(j.get<double>());
    if (j.is_array()) return arrayOf(j, 0);
    if (j.is_object() && j.contains("items") && j["items"].is_array()) {
      const json& lb = j.value("lbound", json(0));
      if (!lb.is_number_integer() || lb.get<long long>() < INT32_MIN ||
          lb.get<long long>() > INT32_MAX) {
        refuse(400, "args: lbound must be a 32-bit integer.");
      }
      return arrayOf(j["items"], static_cast<int32_t>(lb.get<long long>()));
    }
    refuse(400,
           "args: a value must be a string, number, Boolean, null, array or "
           "{\"lbound\": N, \"items\": [...]}.");
  }

  Variant arrayOf(const json& items, int32_t lower) {
    if (items.size() > 10000) refuse(400, "args: an array may hold at most 10000 items.");
    std::vector<Variant> values;
    for (const auto& item : items) values.push_back(toVariant(item));
    return Variant(SafeArray::of(std::move(values), lower));
  }

  Variant resolve(const Variant& v, Built& b) {
    if (v.valueType() == vt::Bstr) {
      const std::string s = v.toString();
      if (startsWith(s, "file:")) {
        ++b.files;
        return Variant(upload(s.substr(5)));
      }
      if (startsWith(s, "output:")) {
        ++b.outputs;
        return Variant(output(s.substr(7)));
      }
      ++b.others;
      return v;
    }
    if (v.isArray() && v.array().dims() == 1) {
      const SafeArray& a = v.array();
      std::vector<Variant> items;
      for (int32_t i = a.lbound(); i <= a.ubound(); ++i) {
        int32_t index[] = {i};
        items.push_back(resolve(a.at(index), b));
      }
      return Variant(SafeArray::of(std::move(items), a.lbound()));
    }
    // Numbers, Booleans, null and the like: a member taking a file name would read them as
    // one, so they count against an argument that must name files.
    ++b.others;
    return v;
  }

  std::string upload(const std::string& name) {
    for (const auto& f : form_.files) {
      if (f.clientName == name) return f.path;
    }
    for (const auto& f : form_.files) {
      if (f.field == name) return f.path;
    }
    refuse(400, "File " + safeFileName(name, "?") + " was not uploaded.", pdoErrFileNotFound);
  }

  std::string output(const std::string& name) {
    std::string safe = safeFileName(name, "output");
    for (const auto& [n, p] : outputs_) {
      if (n == safe) refuse(400, "The output " + safe + " is named twice.");
    }
    std::string ext = fs::path(safe).extension().string();
    if (ext.size() > 10 ||
        ext.find_first_not_of(".abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") !=
            std::string::npos) {
      ext.clear();
    }
    std::string path = folder_ + "/output-" + std::to_string(outputs_.size() + 1) + ext;
    outputs_.emplace_back(safe, path);
    return path;
  }

  const Form& form_;
  const std::string& folder_;
  std::vector<std::pair<std::string, std::string>> outputs_;
};

json toJson(const Variant& v) {
  switch (v.valueType()) {
    case vt::Empty:
    case vt::Null:
      return nullptr;
    case vt::Bool:
      return v.toBool();
    case vt::I2:
    case vt::I4:
      return v.toI4();
    case vt::R4:
    case vt::R8:
      return v.toDouble();
    default:
      try {
        return v.toString();
      } catch (const AutomationError&) {
        return v.debugString();
      }
  }
}

}  // namespace

namespace {

const std::string kMemberPrefix = "/v1/CreatePDF/";

// The member a path of the member route names (a method or a property's read, before its
// write); a refusal when none is, or when it is not served.
const FuncDesc& servedMember(const std::string& path) {
  const std::string member = path.substr(std::min(path.size(), kMemberPrefix.size()));
  const FuncDesc* func = nullptr;
  for (const auto& f : createPdfInterface().funcs) {
    if (sameName(f.name, member)) {
      func = &f;
      if (f.kind == invoke::Method || f.kind == invoke::PropertyGet) break;
    }
  }
  if (!func) refuse(404, "Unknown name.", hr::DISP_E_UNKNOWNNAME);
  // Changing the printer every program of the host prints to is not a caller's to do.
  if (sameName(func->name, "SetDefPrinter")) {
    refuse(403, "SetDefPrinter changes the host's default printer and is not served.",
           rt::PermissionDenied);
  }
  return *func;
}

}  // namespace

std::optional<Reply> Routes::refusedBeforeBody(const std::string& route, const std::string& path) {
  if (route != "/v1/CreatePDF") return std::nullopt;
  try {
    servedMember(path);
  } catch (const Refusal& r) {
    return errorReply(r.status, r.error);
  }
  return std::nullopt;
}

Reply Routes::callMember(const std::string& path, const Form& form, const std::string& folder) {
  const FuncDesc* func = &servedMember(path);

  json args = json::object();
  if (auto it = form.fields.find("args"); it != form.fields.end()) {
    if (nestedDeeperThan(it->second, kMaxNesting)) {
      refuse(400, "args nests arrays and objects more than " + std::to_string(kMaxNesting) +
                      " levels deep.");
    }
    args = json::parse(it->second, nullptr, false);
    if (args.is_discarded()) refuse(400, "args is not valid JSON.");
    if (args.is_array()) args = json{{"positional", args}};
    if (!args.is_object()) refuse(400, "args must be a JSON object or array.");
  }
  for (const auto& [key, value] : args.items()) {
    if (key != "positional" && key != "named" && key != "properties" && key != "value") {
      refuse(400, "args: unknown key " + key + ".");
    }
  }

  const std::string temp = makeFolder(folder, "temp");
  DispatchPtr obj = createObject(kProgId);
  // Each request has its own object and its own private folder for temporary files.
  put(obj, "TempFilePath", Variant(temp + "/"));

  ArgumentBuilder builder(form, folder);
  auto plainValue = [&](const json& j, const std::string& what) {
    auto b = builder.build(j);
    if (b.files || b.outputs) refuse(400, what + " cannot name a file.");
    return b.value;
  };
  if (args.contains("properties")) {
    if (!args["properties"].is_object()) refuse(400, "args: properties must be an object.");
    for (const auto& [name, value] : args["properties"].items()) {
      if (sameName(name, "TempFilePath")) {
        refuse(400, "TempFilePath is chosen by the service for each request.");
      }
      if (!sameName(name, "GhostScriptVersion"))
        refuse(400, "args: unknown property " + name + ".");
      put(obj, name, plainValue(value, name));
    }
  }

  const bool property = func->kind != invoke::Method;
  if (property) {
    if (args.contains("value")) {
      if (sameName(func->name, "TempFilePath")) {
        refuse(400, "TempFilePath is chosen by the service for each request.");
      }
      put(obj, func->name, plainValue(args["value"], func->name));
    }
    Reply r;
    // The request's private folder is the service's business: its path is not told.
    json value = sameName(func->name, "TempFilePath") ? json("") : toJson(get(obj, func->name));
    if (value.is_string()) value = forClient(value.get<std::string>(), form, folder);
    r.body = jsonText(json{{"value", value}}) + "\n";
    return r;
  }

  const bool converts = startsWith(func->name, "Create");
  std::vector<Variant> positional;
  std::vector<Named> named;
  auto check = [&](size_t index, const ArgumentBuilder::Built& b, const std::string& name) {
    if (!converts) {
      if (b.files || b.outputs) refuse(400, name + " cannot name a file.");
      return;
    }
    if (index == 0 && (b.outputs != 1 || b.files || b.others)) {
      refuse(400, name + " must be an output placeholder such as \"output:result.pdf\".");
    }
    if (index == 1 && (b.files == 0 || b.outputs || b.others)) {
      refuse(400, name + " must name uploaded files (\"file:NAME\").");
    }
    if (index > 1 && (b.files || b.outputs)) refuse(400, name + " cannot name a file.");
  };
  if (args.contains("positional")) {
    if (!args["positional"].is_array()) refuse(400, "args: positional must be an array.");
    size_t i = 0;
    for (const auto& j : args["positional"]) {
      auto b = builder.build(j);
      check(i, b,
            i < func->params.size() ? func->params[i].name : "argument " + std::to_string(i + 1));
      positional.push_back(b.value);
      ++i;
    }
  }
  if (args.contains("named")) {
    if (!args["named"].is_object()) refuse(400, "args: named must be an object.");
    for (const auto& [name, value] : args["named"].items()) {
      auto b = builder.build(value);
      size_t index = func->params.size();
      for (size_t k = 0; k < func->params.size(); ++k) {
        if (sameName(func->params[k].name, name)) index = k;
      }
      check(index, b, name);
      named.push_back({name, b.value});
    }
  }

  std::vector<Variant> refs;
  for (auto& v : positional) refs.push_back(Variant::byRef(v));
  Variant result =
      docmill::callMember(obj, func->name, invoke::Method, std::move(refs), std::move(named));

  const auto& outputs = builder.outputs();
  std::vector<std::pair<std::string, std::string>> written;
  for (const auto& [name, path] : outputs) {
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) written.emplace_back(name, path);
  }
  if (written.empty()) {
    if (!outputs.empty()) refuse(500, func->name + " wrote no output.", hr::E_FAIL);
    Reply r;
    json value = toJson(result);
    if (value.is_string()) value = forClient(value.get<std::string>(), form, folder);
    r.body = jsonText(json{{"result", value}}) + "\n";
    return r;
  }
  if (written.size() == 1) {
    const std::string ext = fs::path(written[0].first).extension().string();
    std::string type = sameName(ext, ".pdf")  ? "application/pdf"
                       : sameName(ext, ".ps") ? "application/postscript"
                                              : "application/octet-stream";
    return fileReply(written[0].second, written[0].first, type);
  }
  writeZip(folder + "/result.zip", written);
  return fileReply(folder + "/result.zip", "result.zip", "application/zip");
}

}  // namespace docmill::serve
