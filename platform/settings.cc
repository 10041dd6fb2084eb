#include "platform/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

namespace docmill::platform {

namespace {

const char* valueOf(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

[[noreturn]] void refuse(const char* name, const std::string& value, const std::string& rule) {
  throw SettingError(std::string(name) + " is \"" + value + "\": " + rule);
}

}  // namespace

std::optional<uint64_t> readSetting(const WholeNumberSetting& setting) {
  const char* text = valueOf(setting.name);
  if (!text) return std::nullopt;
  const std::string value(text);
  const std::string rule = "expected a whole number of at least " + std::to_string(setting.minimum);
  uint64_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') refuse(setting.name, value, rule);
    // Past the maximum, further digits only make it larger still.
    if (number <= setting.maximum) number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number < setting.minimum) refuse(setting.name, value, rule);
  return number > setting.maximum ? setting.maximum : number;
}

std::optional<std::chrono::milliseconds> readSecondsSetting(const char* name) {
  const char* text = valueOf(name);
  if (!text) return std::nullopt;
  const std::string value(text);
  const std::string rule = "expected a number of seconds greater than 0, such as 90 or 1.5";
  const size_t point = value.find('.');
  const std::string whole = value.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : value.substr(point + 1);
  const auto digitsOnly = [](const std::string& s) {
    return s.find_first_not_of("0123456789") == std::string::npos;
  };
  if ((whole.empty() && fraction.empty()) || !digitsOnly(whole) || !digitsOnly(fraction)) {
    refuse(name, value, rule);
  }
  // A year is far more than any call may take; the bound keeps the count representable.
  constexpr double kMaxSeconds = 366.0 * 24 * 3600;
  const double seconds = std::min(std::strtod(value.c_str(), nullptr), kMaxSeconds);
  const auto ms = static_cast<long long>(std::llround(seconds * 1000));
  if (ms <= 0) refuse(name, value, rule);
  return std::chrono::milliseconds(ms);
}

std::optional<std::string> readTextSetting(const char* name) {
  const char* text = valueOf(name);
  if (!text) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> readNonEmptyTextSetting(const char* name) {
  const char* text = std::getenv(name);
  if (!text) return std::nullopt;
  const std::string value(text);
  if (value.find_first_not_of(" \t\r\n") == std::string::npos) {
    refuse(name, value, "set but empty; give it a value or unset it");
  }
  return value;
}

std::string poolSocketFolder() {
  if (const char* runtime = valueOf("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return std::string(runtime) + "/docmill";
  }
  return "/tmp/docmill-" + std::to_string(::geteuid());
}

std::string poolSocketPath() {
  if (const char* path = valueOf(kPoolSocket)) return path;
  return poolSocketFolder() + "/pool.sock";
}

std::string behaviourEnvironment() {
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const bool ours = entry.starts_with("DOCMILL_") && !entry.starts_with("DOCMILL_POOL_SOCKET=");
    if (ours || entry.starts_with("TMPDIR=") || entry.starts_with("HOME=") ||
        entry.starts_with("XDG_DATA_HOME=")) {
      entries.emplace_back(entry);
    }
  }
  std::sort(entries.begin(), entries.end());
  std::string text;
  for (const auto& entry : entries) text += entry + '\n';
  return text;
}

uint64_t officePoolSize() {
  if (auto size = readSetting(kOfficePool)) return *size;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores ? cores : 2;
}

}  // namespace docmill::platform
