#include "tests/office_client/recorder.h"

#include <algorithm>
#include <fstream>
#include <regex>

namespace docmill::test {

namespace {

class RecordingObject : public IDispatch {
 public:
  RecordingObject(std::shared_ptr<Recorder> recorder, std::string label)
      : recorder_(std::move(recorder)), label_(std::move(label)) {}

  std::vector<DispId> getIDsOfNames(std::span<const std::string> names) override {
    std::vector<DispId> ids;
    for (const auto& n : names) {
      auto it = std::find(names_.begin(), names_.end(), n);
      if (it == names_.end()) it = names_.insert(names_.end(), n);
      ids.push_back(static_cast<DispId>(it - names_.begin()) + 1);
    }
    return ids;
  }

  Variant invoke(DispId member, uint16_t flags, DispParams& params) override {
    std::vector<std::pair<std::string, Variant>> named;
    std::optional<Variant> putValue;
    for (const auto& [id, value] : params.named) {
      if (id == DISPID_PROPERTYPUT) {
        putValue = value;
      } else {
        named.emplace_back(nameOf(id), value);
      }
    }
    return recorder_->invoked(label_, nameOf(member), flags, params.args, named, putValue);
  }

 private:
  const std::string& nameOf(DispId id) { return names_.at(static_cast<size_t>(id - 1)); }

  std::shared_ptr<Recorder> recorder_;
  std::string label_;
  std::vector<std::string> names_;
};

std::string kindOf(uint16_t flags) {
  if (flags & invoke::PropertyPut) return "put";
  if (flags == invoke::Method) return "call";
  if (flags == (invoke::Method | invoke::PropertyGet)) return "get";
  return "invoke" + std::to_string(flags);
}

}  // namespace

std::string postScriptPage(const std::string& text) {
  return "%!PS-Adobe-3.0\n%%Pages: 1\n%%Page: 1 1\n/Helvetica findfont 24 scalefont setfont\n"
         "72 700 moveto (" +
         text + ") show\nshowpage\n%%EOF\n";
}

Recorder::Recorder(std::string tempFolder) : tempFolder_(std::move(tempFolder)) {
  onPrint = [](const std::string& path) { std::ofstream(path) << postScriptPage("Printed"); };
}

void Recorder::serve(const std::string& progId) {
  Guid id;
  for (size_t i = 0; i < progId.size(); ++i) id.bytes[i % 16] ^= static_cast<uint8_t>(progId[i]);
  std::weak_ptr<Recorder> self = weak_from_this();
  registrations_.push_back(registerClass(id, progId, makeFactory([self]() -> DispatchPtr {
                                           auto r = self.lock();
                                           ++r->created_;
                                           r->note("create app");
                                           return r->object("app");
                                         })));
}

DispatchPtr Recorder::object(const std::string& label) {
  return std::make_shared<RecordingObject>(shared_from_this(), label);
}

void Recorder::note(const std::string& line) {
  log_.push_back(normalise(line));
}

std::vector<std::string> Recorder::logFrom(const std::string& prefix) const {
  for (size_t i = 0; i < log_.size(); ++i) {
    if (log_[i].rfind(prefix, 0) == 0) return {log_.begin() + static_cast<long>(i), log_.end()};
  }
  return {};
}

std::string Recorder::normalise(const std::string& text) {
  static const std::regex kName("^[0-9]+\\.ps");
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t at = text.find(tempFolder_, pos);
    if (at == std::string::npos) break;
    std::smatch m;
    const std::string rest = text.substr(at + tempFolder_.size());
    if (!std::regex_search(rest, m, kName)) {
      out += text.substr(pos, at + tempFolder_.size() - pos);
      pos = at + tempFolder_.size();
      continue;
    }
    const std::string path = tempFolder_ + m.str();
    auto it = std::find(temps_.begin(), temps_.end(), path);
    if (it == temps_.end()) it = temps_.insert(temps_.end(), path);
    out += text.substr(pos, at - pos) + "<tmp" + std::to_string(it - temps_.begin() + 1) + ">";
    pos = at + path.size();
  }
  return out + text.substr(pos);
}

Variant Recorder::invoked(const std::string& label, const std::string& member, uint16_t flags,
                          const std::vector<Variant>& args,
                          const std::vector<std::pair<std::string, Variant>>& named,
                          const std::optional<Variant>& putValue) {
  std::string list;
  auto add = [&](const std::string& text) { list += (list.empty() ? "" : ", ") + text; };
  for (const auto& a : args) add(a.debugString());
  for (const auto& [name, value] : named) add(name + ":=" + value.debugString());
  std::string line = kindOf(flags) + " " + label + "." + member;
  if (!list.empty()) line += "(" + list + ")";
  if (putValue) line += " = " + putValue->debugString();
  line = normalise(line);
  log_.push_back(line);

  for (const auto& [prefix, error] : failures) {
    if (line.rfind(prefix, 0) == 0) throw AutomationError(error);
  }
  if (member == "PrintOut") {
    std::string target;
    for (const auto& [name, value] : named) {
      if ((name == "Outputfilename" || name == "PrToFilename" || name == "PrintToFile") &&
          value.valueType() == vt::Bstr) {
        target = value.toString();
      }
    }
    if (target.empty() && args.size() == 3 && args[2].valueType() == vt::Bstr) {
      target = args[2].toString();
    }
    if (onPrint && !target.empty()) onPrint(target);
  }
  if (putValue) return Variant();
  auto value = values.find(member);
  if (value != values.end()) return value->second;
  if (member == "InchesToPoints" && !args.empty()) return Variant(args[0].toDouble() * 72);
  auto short_ = labels.find(member);
  std::string childLabel = short_ != labels.end()
                               ? short_->second
                               : label + "." + member + (args.empty() ? "" : "(" + list + ")");
  return Variant(object(childLabel));
}

}  // namespace docmill::test
