#include "serve/jobs.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "serve/form_fields.h"

namespace docmill::serve {

namespace {

using json = nlohmann::json;

constexpr const char* kJobsPrefix = "/v1/jobs";

std::string jsonText(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

Reply refusal(int status, const std::string& description) {
  return errorReply(status, Error{hr::E_INVALIDARG, "docmill", description});
}

Reply unreachable(const std::exception& e) {
  Reply r = errorReply(503, Error{rt::CantCreateObject, "docmill",
                                  std::string("The job queue cannot be reached: ") + e.what()});
  r.retryAfter = 5;
  return r;
}

// A job id as the store makes them: a UUID (anything else is no job of ours).
bool plausibleId(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool webhookMethod(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH";
}

std::string isoTime(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

std::optional<std::string> submittedPath(const std::string& method, const std::string& path) {
  if (method != "POST" || path.rfind(std::string(kJobsPrefix) + "/", 0) != 0) return std::nullopt;
  return path.substr(std::char_traits<char>::length(kJobsPrefix));
}

bool isJobRoute(const std::string& path) {
  return path.rfind(std::string(kJobsPrefix) + "/", 0) == 0;
}

std::variant<queue::Webhook, Reply> webhookOf(const std::map<std::string, std::string>& headers,
                                              const queue::WebhookPolicy& policy) {
  auto header = [&](const char* name) {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  };
  if (!policy.enabled()) {
    return refusal(400,
                   "Webhooks are off on this service: its operator allows webhook URLs with "
                   "DOCMILL_WEBHOOK_ALLOW.");
  }
  queue::Webhook hook;
  hook.url = header("gotenberg-webhook-url");
  hook.errorUrl = header("gotenberg-webhook-error-url");
  if (hook.url.empty() || hook.errorUrl.empty()) {
    return refusal(400,
                   "A webhook needs both Gotenberg-Webhook-Url and "
                   "Gotenberg-Webhook-Error-Url.");
  }
  for (const auto& [name, url] : {std::pair{"Gotenberg-Webhook-Url", hook.url},
                                  std::pair{"Gotenberg-Webhook-Error-Url", hook.errorUrl}}) {
    if (!policy.allows(url)) {
      return refusal(
          400, std::string(name) + " is not allowed on this service (DOCMILL_WEBHOOK_ALLOW).");
    }
  }
  if (auto m = header("gotenberg-webhook-method"); !m.empty()) hook.method = m;
  if (auto m = header("gotenberg-webhook-error-method"); !m.empty()) hook.errorMethod = m;
  for (const auto& [name, method] :
       {std::pair{"Gotenberg-Webhook-Method", hook.method},
        std::pair{"Gotenberg-Webhook-Error-Method", hook.errorMethod}}) {
    if (!webhookMethod(method)) {
      return refusal(400, std::string(name) + " must be POST, PUT or PATCH.");
    }
  }
  if (auto extra = header("gotenberg-webhook-extra-http-headers"); !extra.empty()) {
    const json parsed = json::parse(extra, nullptr, false);
    if (!parsed.is_object()) {
      return refusal(400, "Gotenberg-Webhook-Extra-Http-Headers must be a JSON object.");
    }
    for (const auto& [name, value] : parsed.items()) {
      if (!value.is_string()) {
        return refusal(400, "Gotenberg-Webhook-Extra-Http-Headers: the value of \"" + name +
                                "\" must be a text.");
      }
      hook.extraHeaders.emplace_back(name, value.get<std::string>());
    }
  }
  return hook;
}

queue::JobRequest jobRequestOf(const std::string& route, const std::string& path, const Form& form,
                               const std::string& outputName, const std::string& trace) {
  queue::JobRequest request;
  request.route = route;
  request.path = path;
  request.outputName = outputName;
  request.trace = trace;
  for (const auto& [name, value] : form.fields) request.fields.emplace_back(name, value);
  for (const Upload& u : form.files) {
    std::ifstream in(u.path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error("cannot read an upload");
    request.files.push_back({u.field, u.clientName, std::move(bytes)});
  }
  return request;
}

Form formOf(const queue::JobRequest& request, const std::string& folder) {
  Form form;
  std::optional<FormFields> checker;
  if (FormFields::reads(request.route)) checker.emplace(request.route);
  for (const auto& [name, value] : request.fields) {
    if (checker) {
      checker->begin(name, false);
      checker->text(name, value);
    }
    form.fields.emplace(name, value);
  }
  for (const auto& f : request.files) {
    if (checker) checker->begin(f.field, true);
    Upload u;
    u.field = f.field;
    u.clientName = f.clientName;
    u.path = uploadPath(folder, form.files.size() + 1, f.clientName);
    u.bytes = f.bytes.size();
    std::ofstream out(u.path, std::ios::binary | std::ios::trunc);
    out.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot store an upload");
    form.files.push_back(std::move(u));
  }
  if (checker) form.options = checker->finish();
  return form;
}

JobFront::JobFront(const queue::QueueAddress& address, const queue::StoreSettings& settings,
                   queue::WebhookPolicy policy)
    : policy_(std::move(policy)), store_(std::make_unique<queue::JobStore>(address, settings)) {}

Reply JobFront::submit(const queue::JobRequest& request) {
  std::string id;
  try {
    std::lock_guard lock(mutex_);
    id = store_->submit(request);
  } catch (const queue::QueueError& e) {
    if (e.kind() == queue::QueueError::Kind::TooLarge) return refusal(413, e.what());
    return unreachable(e);
  }
  Reply r;
  if (request.webhook) {
    r.status = 204;
    r.contentType = "text/plain";
    r.location = std::string(kJobsPrefix) + "/" + id;
    return r;
  }
  r.status = 202;
  r.location = std::string(kJobsPrefix) + "/" + id;
  r.body = jsonText(json{{"id", id}, {"status", "queued"}, {"location", r.location}});
  return r;
}

Reply JobFront::query(const std::string& method, const std::string& path) {
  std::string rest = path.substr(std::char_traits<char>::length(kJobsPrefix) + 1);
  bool wantsResult = false;
  if (const auto slash = rest.find('/'); slash != std::string::npos) {
    if (rest.substr(slash) != "/result") return refusal(404, "No such route.");
    wantsResult = true;
    rest.resize(slash);
  }
  const std::string& id = rest;
  const bool get = method == "GET" || method == "HEAD";
  if (!(get || (method == "DELETE" && !wantsResult))) {
    return errorReply(405, Error{hr::E_INVALIDARG, "docmill", "This method is not allowed here."});
  }
  auto noSuchJob = [&] {
    return errorReply(404, Error{hr::DISP_E_MEMBERNOTFOUND, "docmill",
                                 "No such job: it never existed or its time to live has passed."});
  };
  if (!plausibleId(id)) return noSuchJob();
  try {
    std::lock_guard lock(mutex_);
    if (method == "DELETE") {
      if (store_->cancel(id)) {
        Reply r;
        r.body = jsonText(json{{"id", id}, {"status", "cancelled"}});
        return r;
      }
      auto info = store_->info(id);
      if (!info) return noSuchJob();
      return errorReply(409, Error{hr::E_INVALIDARG, "docmill",
                                   std::string("The job has already ended: it is ") +
                                       queue::stateName(info->state) + "."});
    }
    auto info = store_->info(id);
    if (!info) return noSuchJob();
    if (!wantsResult) {
      json j{{"id", id},
             {"status", queue::stateName(info->state)},
             {"route", info->route},
             {"attempts", info->attempts},
             {"created", isoTime(info->createdMs)},
             {"updated", isoTime(info->updatedMs)}};
      if (!info->error.empty()) {
        json error = json::parse(info->error, nullptr, false);
        if (!error.is_discarded()) j["error"] = error;
      }
      if (info->state == queue::JobState::Done || info->state == queue::JobState::Failed) {
        j["result"] = std::string(kJobsPrefix) + "/" + id + "/result";
      }
      Reply r;
      r.body = jsonText(j);
      return r;
    }
    auto result = store_->result(id);
    if (!result) {
      return errorReply(409, Error{hr::E_INVALIDARG, "docmill",
                                   std::string("The job has no result: it is ") +
                                       queue::stateName(info->state) + "."});
    }
    Reply r;
    r.status = result->status;
    r.contentType = result->contentType.empty() ? "application/json" : result->contentType;
    r.downloadName = result->downloadName;
    r.body = std::move(result->body);
    return r;
  } catch (const queue::QueueError& e) {
    return unreachable(e);
  }
}

std::string JobFront::metricsText() {
  queue::QueueStats s;
  try {
    std::lock_guard lock(mutex_);
    s = store_->stats();
  } catch (const queue::QueueError&) {
    return "# the job queue cannot be reached\ndocmill_queue_up 0\n";
  }
  std::string text = "docmill_queue_up 1\n";
  auto line = [&](const char* name, const char* help, uint64_t value, const char* type) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
            name + " " + std::to_string(value) + "\n";
  };
  line("docmill_queue_length", "Jobs queued and not yet taken by a worker.", s.length, "gauge");
  line("docmill_queue_pending", "Jobs taken by a worker and not yet ended.", s.pending, "gauge");
  line("docmill_queue_claims_total", "Jobs taken over from a worker that went silent.", s.claims,
       "counter");
  line("docmill_queue_dead_letters", "Jobs in the dead-letter stream.", s.dead, "gauge");
  line("docmill_webhook_delivery_failures_total", "Webhook deliveries that failed for good.",
       s.deliveryFailures, "counter");
  return text;
}

}  // namespace docmill::serve
