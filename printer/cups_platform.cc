#include "printer/cups_platform.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace docmill::printer {

namespace {

constexpr char kDriver[] = "winspool";
// The timeouts the spooler reports, in milliseconds; "PrinterPorts" gives them in seconds.
constexpr uint32_t kDeviceNotSelectedMs = 15000;
constexpr uint32_t kTransmissionRetryMs = 45000;

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Destination names, section and key names compare without regard to ASCII case, as both
// CUPS and the profile do.
bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && sameText(text.substr(0, prefix.size()), prefix);
}

uint32_t attributesOf(const Destination& d) {
  uint32_t attributes = d.remote ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL;
  if (d.shared) attributes |= PRINTER_ATTRIBUTE_SHARED;
  if (d.isDefault) attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  return attributes;
}

}  // namespace

CupsPrintPlatform::CupsPrintPlatform()
    : owned_(std::make_unique<CupsDestinations>()), destinations_(*owned_) {}

CupsPrintPlatform::CupsPrintPlatform(Destinations& destinations) : destinations_(destinations) {}

std::string CupsPrintPlatform::portOf(const Destination& destination) {
  std::string uri = !destination.deviceUri.empty()    ? destination.deviceUri
                    : !destination.printerUri.empty() ? destination.printerUri
                                                      : "cups:" + destination.name;
  std::string port;
  port.reserve(uri.size());
  for (char c : uri) {
    if (c == ',') {
      port += "%2C";
    } else {
      port += c;
    }
  }
  return port;
}

std::optional<Destination> CupsPrintPlatform::find(const std::string& name) {
  for (Destination& d : destinations_.list()) {
    if (sameText(d.name, name)) return std::move(d);
  }
  return std::nullopt;
}

bool CupsPrintPlatform::GetVersionExA(OSVERSIONINFO* info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFO)) return false;
  info->dwMajorVersion = 10;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 0;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return true;
}

bool CupsPrintPlatform::OpenPrinterA(const char* name, PrinterHandle* handle,
                                     const PRINTER_DEFAULTS* /*defaults*/) {
  if (name == nullptr || *name == '\0' || handle == nullptr) return false;
  const std::optional<Destination> d = find(name);
  if (!d) return false;
  *handle = nextHandle_++;
  open_.emplace(*handle, d->name);
  return true;
}

bool CupsPrintPlatform::GetPrinterA(PrinterHandle handle, uint32_t level, void* buffer,
                                    uint32_t bufferSize, uint32_t* needed) {
  if (needed == nullptr || level != 5) return false;
  const auto it = open_.find(handle);
  if (it == open_.end()) return false;
  const std::optional<Destination> d = find(it->second);
  if (!d) return false;

  // The record first, then the two texts it points at, all inside the caller's buffer.
  const std::string port = portOf(*d);
  const size_t nameAt = sizeof(PRINTER_INFO_5);
  const size_t portAt = nameAt + d->name.size() + 1;
  const size_t total = portAt + port.size() + 1;
  if (total > UINT32_MAX) return false;
  *needed = static_cast<uint32_t>(total);
  if (buffer == nullptr || bufferSize < total) return false;

  auto* bytes = static_cast<char*>(buffer);
  std::memcpy(bytes + nameAt, d->name.c_str(), d->name.size() + 1);
  std::memcpy(bytes + portAt, port.c_str(), port.size() + 1);
  PRINTER_INFO_5 info{};
  info.pPrinterName = bytes + nameAt;
  info.pPortName = bytes + portAt;
  info.Attributes = attributesOf(*d);
  info.DeviceNotSelectedTimeout = kDeviceNotSelectedMs;
  info.TransmissionRetryTimeout = kTransmissionRetryMs;
  std::memcpy(bytes, &info, sizeof info);
  return true;
}

bool CupsPrintPlatform::SetPrinterA(PrinterHandle handle, uint32_t level, const void* info,
                                    uint32_t command) {
  if (level != 5 || info == nullptr || command != 0) return false;
  const auto it = open_.find(handle);
  if (it == open_.end()) return false;
  PRINTER_INFO_5 record;
  std::memcpy(&record, info, sizeof record);
  // Only the default bit has a CUPS counterpart; the other settings stay with the server.
  if ((record.Attributes & PRINTER_ATTRIBUTE_DEFAULT) == 0) return true;
  return destinations_.makeDefault(it->second);
}

bool CupsPrintPlatform::ClosePrinter(PrinterHandle handle) {
  return open_.erase(handle) == 1;
}

uint32_t CupsPrintPlatform::GetProfileStringA(const char* section, const char* key,
                                              const char* defaultValue, char* buffer,
                                              uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::string value = defaultValue ? defaultValue : "";
  if (section != nullptr && key != nullptr) {
    if (sameText(section, "PrinterPorts")) {
      if (const std::optional<Destination> d = find(key)) {
        value = std::string(kDriver) + "," + portOf(*d) + ",15,45";
      }
    } else if (sameText(section, "windows") && sameText(key, "Device")) {
      for (const Destination& d : destinations_.list()) {
        if (d.isDefault) {
          value = d.name + "," + kDriver + "," + portOf(d);
          break;
        }
      }
    }
  }
  const size_t copied = std::min<size_t>(value.size(), size - 1);
  std::memcpy(buffer, value.data(), copied);
  buffer[copied] = '\0';
  return static_cast<uint32_t>(copied);
}

bool CupsPrintPlatform::WriteProfileStringA(const char* section, const char* key,
                                            const char* value) {
  if (section == nullptr || key == nullptr || value == nullptr) return false;
  if (!sameText(section, "windows") || !sameText(key, "Device")) return false;
  // The value is "<name>,<driver>,<port>"; destination names may themselves hold commas,
  // so the longest destination name that the value starts with, followed by a comma, wins.
  const std::string_view device(value);
  const Destination* chosen = nullptr;
  const std::vector<Destination> all = destinations_.list();
  for (const Destination& d : all) {
    if (d.name.empty() || device.size() <= d.name.size()) continue;
    if (!startsWith(device, d.name) || device[d.name.size()] != ',') continue;
    if (chosen == nullptr || d.name.size() > chosen->name.size()) chosen = &d;
  }
  return chosen != nullptr && destinations_.makeDefault(chosen->name);
}

std::intptr_t CupsPrintPlatform::SendMessageA(std::uintptr_t /*window*/, uint32_t /*message*/,
                                              std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
  // CUPS clients read the default afresh for every job; there is nobody to notify.
  return 0;
}

}  // namespace docmill::printer
