#include "ghostscript/run_protocol.h"

#include <cstring>

namespace docmill::gs::protocol {

namespace {

enum Kind : uint8_t { kOrder = 'O', kRequest = 'Q', kStarted = 'S', kChild = 'R', kEnd = 'E' };

class Writer {
 public:
  explicit Writer(Kind kind) { out_.push_back(static_cast<char>(kind)); }
  void number(uint64_t value) { out_.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void text(std::string_view value) {
    number(value.size());
    out_.append(value);
  }
  void texts(const std::vector<std::string>& values) {
    number(values.size());
    for (const auto& v : values) text(v);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(std::string_view in, Kind kind) : in_(in) {
    if (in_.empty() || static_cast<uint8_t>(in_[0]) != kind) throw BadMessage();
    at_ = 1;
  }
  uint64_t number() {
    uint64_t value = 0;
    if (in_.size() - at_ < sizeof value) throw BadMessage();
    std::memcpy(&value, in_.data() + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  std::string text() {
    const uint64_t length = number();
    if (length > in_.size() - at_) throw BadMessage();
    std::string value(in_.substr(at_, length));
    at_ += length;
    return value;
  }
  std::vector<std::string> texts() {
    const uint64_t count = number();
    // Every entry takes at least its length field: a count above that is a lie.
    if (count > (in_.size() - at_) / sizeof(uint64_t)) throw BadMessage();
    std::vector<std::string> values;
    values.reserve(count);
    for (uint64_t i = 0; i < count; ++i) values.push_back(text());
    return values;
  }
  void finish() const {
    if (at_ != in_.size()) throw BadMessage();
  }

 private:
  std::string_view in_;
  size_t at_ = 0;
};

}  // namespace

std::string encode(const RunOrder& order) {
  Writer w(kOrder);
  w.number(order.timeoutMilliseconds);
  w.number(order.memoryBytes);
  w.number(order.diskBytes);
  w.text(order.library);
  w.text(order.scratchFolder);
  w.texts(order.outputs);
  return w.take();
}

std::string encode(const RunRequest& request) {
  Writer w(kRequest);
  w.texts(request.args);
  w.texts(request.reads);
  w.texts(request.writes);
  w.text(request.scratchFolder);
  return w.take();
}

std::string encode(const ChildReport& report) {
  Writer w(kChild);
  w.number(report.ran ? 1 : 0);
  w.number(report.refused ? 1 : 0);
  w.number(report.overDisk ? 1 : 0);
  w.number(static_cast<uint64_t>(report.code));
  w.text(report.text);
  std::string kinds;
  for (InputKind kind : report.inputs) kinds.push_back(static_cast<char>(kind));
  w.text(kinds);
  w.number(report.findings.size());
  for (const FindingAt& f : report.findings) {
    w.number(static_cast<uint64_t>(f.finding));
    w.number(static_cast<uint64_t>(static_cast<int64_t>(f.input)));
  }
  return w.take();
}

std::string encode(const EndReport& report) {
  Writer w(kEnd);
  w.number(static_cast<uint64_t>(report.how));
  w.number(static_cast<uint64_t>(report.value));
  w.number(report.cpuMicroseconds);
  w.text(report.text);
  return w.take();
}

std::string encodeStarted() {
  return Writer(kStarted).take();
}

RunOrder decodeOrder(std::string_view bytes) {
  Reader r(bytes, kOrder);
  RunOrder order;
  order.timeoutMilliseconds = r.number();
  order.memoryBytes = r.number();
  order.diskBytes = r.number();
  order.library = r.text();
  order.scratchFolder = r.text();
  order.outputs = r.texts();
  r.finish();
  return order;
}

RunRequest decodeRequest(std::string_view bytes) {
  Reader r(bytes, kRequest);
  RunRequest request;
  request.args = r.texts();
  request.reads = r.texts();
  request.writes = r.texts();
  request.scratchFolder = r.text();
  r.finish();
  return request;
}

Report decodeReport(std::string_view bytes) {
  Report report;
  if (!bytes.empty() && static_cast<uint8_t>(bytes[0]) == kStarted) {
    Reader(bytes, kStarted).finish();
    report.kind = Report::Kind::Started;
    return report;
  }
  if (!bytes.empty() && static_cast<uint8_t>(bytes[0]) == kEnd) {
    Reader r(bytes, kEnd);
    report.kind = Report::Kind::End;
    const uint64_t how = r.number();
    if (how > static_cast<uint64_t>(EndReport::How::Cancelled)) throw BadMessage();
    report.end.how = static_cast<EndReport::How>(how);
    report.end.value = static_cast<int64_t>(r.number());
    report.end.cpuMicroseconds = r.number();
    report.end.text = r.text();
    r.finish();
    return report;
  }
  Reader r(bytes, kChild);
  report.child.ran = r.number() != 0;
  report.child.refused = r.number() != 0;
  report.child.overDisk = r.number() != 0;
  report.child.code = static_cast<int64_t>(r.number());
  report.child.text = r.text();
  for (char kind : r.text()) {
    if (static_cast<uint8_t>(kind) > kLastInputKind) throw BadMessage();
    report.child.inputs.push_back(static_cast<InputKind>(kind));
  }
  const uint64_t findings = r.number();
  if (findings > static_cast<uint64_t>(kFindingKinds)) throw BadMessage();
  for (uint64_t i = 0; i < findings; ++i) {
    const uint64_t kind = r.number();
    const auto input = static_cast<int64_t>(r.number());
    if (kind >= static_cast<uint64_t>(kFindingKinds) || input < -1 ||
        input >= static_cast<int64_t>(report.child.inputs.size())) {
      throw BadMessage();
    }
    report.child.findings.push_back({static_cast<Finding>(kind), static_cast<int>(input)});
  }
  r.finish();
  return report;
}

}  // namespace docmill::gs::protocol
