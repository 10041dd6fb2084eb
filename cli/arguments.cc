#include "cli/arguments.h"

#include <cstdlib>
#include <vector>

namespace docmill::cli {

namespace {

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::vector<std::string> splitElements(const std::string& s) {
  std::vector<std::string> items;
  if (s.empty()) return items;
  std::string cur;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == ',') {
      cur += ',';
      ++i;
    } else if (s[i] == ',') {
      items.push_back(cur);
      cur.clear();
    } else {
      cur += s[i];
    }
  }
  items.push_back(cur);
  return items;
}

int32_t parseInt(const std::string& s) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end) raiseRuntime(rt::TypeMismatch);
  return static_cast<int32_t>(v);
}

}  // namespace

Variant parseValue(const std::string& text) {
  if (text == "null") return Variant::null();
  if (text == "empty") return Variant();
  if (text == "missing") return Variant::missing();
  if (text == "nothing") return Variant::nothing();
  if (startsWith(text, "str:")) return Variant(text.substr(4));
  if (startsWith(text, "i2:")) return Variant(Variant(text.substr(3)).toI2());
  if (startsWith(text, "i4:")) return Variant(Variant(text.substr(3)).toI4());
  if (startsWith(text, "r4:"))
    return Variant(static_cast<float>(Variant(text.substr(3)).toDouble()));
  if (startsWith(text, "r8:")) return Variant(Variant(text.substr(3)).toDouble());
  if (startsWith(text, "bool:")) return Variant(Variant(text.substr(5)).toBool());
  if (startsWith(text, "array:") || startsWith(text, "array@")) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) raiseRuntime(rt::TypeMismatch);
    int32_t lower = text[5] == '@' ? parseInt(text.substr(6, colon - 6)) : 0;
    std::vector<Variant> items;
    for (const auto& e : splitElements(text.substr(colon + 1))) items.push_back(parseValue(e));
    return Variant(SafeArray::of(std::move(items), lower));
  }
  return Variant(text);
}

}  // namespace docmill::cli
