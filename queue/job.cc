#include "queue/job.h"

#include <cstring>

namespace docmill::queue {

namespace {

// The encoding: a tag, then every value in a fixed order. A text is its length (8 bytes,
// little-endian) and its bytes; a list is its count (4 bytes) and its items; the webhook is
// one byte (0 or 1) and, when 1, its values.
constexpr std::string_view kTag{"DMJR\x01", 5};

class Writer {
 public:
  void count(uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
  }
  void text(std::string_view value) {
    count(value.size(), 8);
    out_.append(value);
  }
  void pairs(const std::vector<std::pair<std::string, std::string>>& list) {
    count(list.size(), 4);
    for (const auto& [name, value] : list) {
      text(name);
      text(value);
    }
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads what Writer wrote, from bytes nobody vouches for: every length is checked against
// what is left, and a count is only believed as far as the bytes left could hold its items,
// so no count makes it allocate more than the input's size.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : in_(bytes) {}

  bool count(uint64_t& value, int width) {
    if (in_.size() < static_cast<size_t>(width)) return false;
    value = 0;
    for (int i = 0; i < width; ++i) {
      value |= static_cast<uint64_t>(static_cast<unsigned char>(in_[i])) << (8 * i);
    }
    in_.remove_prefix(static_cast<size_t>(width));
    return true;
  }
  bool text(std::string& value) {
    uint64_t length = 0;
    if (!count(length, 8) || length > in_.size()) return false;
    value.assign(in_.substr(0, static_cast<size_t>(length)));
    in_.remove_prefix(static_cast<size_t>(length));
    return true;
  }
  // A count of items each at least `itemBytes` long.
  bool items(uint64_t& value, size_t itemBytes) {
    return count(value, 4) && value <= in_.size() / itemBytes;
  }
  bool pairs(std::vector<std::pair<std::string, std::string>>& list) {
    uint64_t n = 0;
    if (!items(n, 16)) return false;
    for (uint64_t i = 0; i < n; ++i) {
      std::pair<std::string, std::string> item;
      if (!text(item.first) || !text(item.second)) return false;
      list.push_back(std::move(item));
    }
    return true;
  }
  bool skip(std::string_view expected) {
    if (!in_.starts_with(expected)) return false;
    in_.remove_prefix(expected.size());
    return true;
  }
  bool atEnd() const { return in_.empty(); }

 private:
  std::string_view in_;
};

}  // namespace

uint64_t JobRequest::size() const {
  uint64_t total = 0;
  for (const auto& [name, value] : fields) total += name.size() + value.size();
  for (const auto& file : files)
    total += file.field.size() + file.clientName.size() + file.bytes.size();
  return total;
}

const char* stateName(JobState state) {
  switch (state) {
    case JobState::Queued:
      return "queued";
    case JobState::Running:
      return "running";
    case JobState::Done:
      return "done";
    case JobState::Failed:
      return "failed";
    case JobState::Cancelled:
      return "cancelled";
  }
  return "unknown";
}

std::string encodeRequest(const JobRequest& request) {
  Writer w;
  std::string out(kTag);
  w.text(request.route);
  w.text(request.path);
  w.pairs(request.fields);
  w.count(request.files.size(), 4);
  for (const auto& file : request.files) {
    w.text(file.field);
    w.text(file.clientName);
    w.text(file.bytes);
  }
  w.text(request.outputName);
  w.text(request.trace);
  w.count(request.webhook ? 1 : 0, 1);
  if (request.webhook) {
    const Webhook& hook = *request.webhook;
    w.text(hook.url);
    w.text(hook.errorUrl);
    w.text(hook.method);
    w.text(hook.errorMethod);
    w.pairs(hook.extraHeaders);
  }
  return out + w.take();
}

std::optional<JobRequest> decodeRequest(std::string_view bytes) {
  Reader r(bytes);
  JobRequest request;
  if (!r.skip(kTag) || !r.text(request.route) || !r.text(request.path) ||
      !r.pairs(request.fields)) {
    return std::nullopt;
  }
  uint64_t files = 0;
  if (!r.items(files, 24)) return std::nullopt;
  for (uint64_t i = 0; i < files; ++i) {
    JobRequest::File file;
    if (!r.text(file.field) || !r.text(file.clientName) || !r.text(file.bytes)) {
      return std::nullopt;
    }
    request.files.push_back(std::move(file));
  }
  uint64_t hasWebhook = 0;
  if (!r.text(request.outputName) || !r.text(request.trace) || !r.count(hasWebhook, 1) ||
      hasWebhook > 1) {
    return std::nullopt;
  }
  if (hasWebhook) {
    Webhook hook;
    if (!r.text(hook.url) || !r.text(hook.errorUrl) || !r.text(hook.method) ||
        !r.text(hook.errorMethod) || !r.pairs(hook.extraHeaders)) {
      return std::nullopt;
    }
    request.webhook = std::move(hook);
  }
  // Anything after the last value means the bytes are not what this wrote.
  if (!r.atEnd()) return std::nullopt;
  return request;
}

}  // namespace docmill::queue
