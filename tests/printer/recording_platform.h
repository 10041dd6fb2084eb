// A recording double of the printing and profile services: it plays one spooler printer and
// a profile held in a map, and writes every call with its arguments into `calls`, in order.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "printer/print_platform.h"

namespace docmill::printer::recording {

inline std::string hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

inline std::string text(const char* s) {
  return s ? '"' + std::string(s) + '"' : "null";
}

class RecordingPlatform : public PrintPlatform {
 public:
  // What the platform answers.
  uint32_t platformId = VER_PLATFORM_WIN32_WINDOWS;
  bool openSucceeds = true;
  PrinterHandle handle = 0x1234;
  std::string printerName = "P";
  std::string portName = "Ne00:";
  uint32_t attributes = 0;
  bool fillSucceeds = true;
  // Replaces the normal fill of the record when set: gets the buffer and its size.
  std::function<bool(void*, uint32_t, uint32_t*)> fill;
  std::map<std::string, std::string> printerPorts;  // the "PrinterPorts" section
  // Replaces the normal copy of GetProfileStringA when set.
  std::function<void(char*, uint32_t)> profileFill;

  std::vector<std::string> calls;
  int openHandles = 0;

  bool GetVersionExA(OSVERSIONINFO* info) override {
    const bool blanks = std::string(info->szCSDVersion, 128) == std::string(128, ' ');
    calls.push_back("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) +
                    (blanks ? ", blanks)" : ", not blanks)"));
    info->dwPlatformId = platformId;
    return true;
  }

  bool OpenPrinterA(const char* name, PrinterHandle* h, const PRINTER_DEFAULTS* d) override {
    calls.push_back("OpenPrinterA(" + text(name) + ", " + text(d->pDatatype) + ", " +
                    (d->pDevMode ? "devmode" : "null") + ", " + hex(d->DesiredAccess) + ")");
    if (!openSucceeds) return false;
    *h = handle;
    ++openHandles;
    return true;
  }

  bool GetPrinterA(PrinterHandle h, uint32_t level, void* buffer, uint32_t size,
                   uint32_t* needed) override {
    calls.push_back("GetPrinterA(" + hex(h) + ", " + std::to_string(level) + ", " +
                    (buffer ? "buffer" : "null") + ", " + std::to_string(size) + ")");
    if (fill) return fill(buffer, size, needed);
    const size_t nameAt = sizeof(PRINTER_INFO_5);
    const size_t portAt = nameAt + printerName.size() + 1;
    *needed = static_cast<uint32_t>(portAt + portName.size() + 1);
    if (!buffer || size < *needed || !fillSucceeds) return false;
    auto* bytes = static_cast<char*>(buffer);
    std::memcpy(bytes + nameAt, printerName.c_str(), printerName.size() + 1);
    std::memcpy(bytes + portAt, portName.c_str(), portName.size() + 1);
    PRINTER_INFO_5 info{bytes + nameAt, bytes + portAt, attributes, 15000, 45000};
    std::memcpy(bytes, &info, sizeof info);
    return true;
  }

  bool setSucceeds = true;
  std::string setName, setPort;  // the texts of the last SetPrinterA, copied
  bool SetPrinterA(PrinterHandle h, uint32_t level, const void* info, uint32_t command) override {
    const auto* p = static_cast<const PRINTER_INFO_5*>(info);
    setName = p->pPrinterName;
    setPort = p->pPortName;
    calls.push_back("SetPrinterA(" + hex(h) + ", " + std::to_string(level) + ", " +
                    hex(p->Attributes) + ", " + std::to_string(p->DeviceNotSelectedTimeout) + ", " +
                    std::to_string(p->TransmissionRetryTimeout) + ", " + std::to_string(command) +
                    ")");
    return setSucceeds;
  }

  bool ClosePrinter(PrinterHandle h) override {
    calls.push_back("ClosePrinter(" + hex(h) + ")");
    --openHandles;
    return true;
  }

  uint32_t GetProfileStringA(const char* section, const char* key, const char* def, char* buffer,
                             uint32_t size) override {
    calls.push_back("GetProfileStringA(" + text(section) + ", " + text(key) + ", " + text(def) +
                    ", " + std::to_string(size) + ")");
    if (profileFill) {
      profileFill(buffer, size);
      return size;
    }
    const auto it = printerPorts.find(key);
    const std::string value = it == printerPorts.end() ? def : it->second;
    const size_t n = std::min<size_t>(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
  }

  bool WriteProfileStringA(const char* section, const char* key, const char* value) override {
    calls.push_back("WriteProfileStringA(" + text(section) + ", " + text(key) + ", " + text(value) +
                    ")");
    return true;
  }

  std::intptr_t SendMessageA(std::uintptr_t window, uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
    calls.push_back("SendMessageA(" + hex(window) + ", " + hex(message) + ", " +
                    std::to_string(wParam) + ", " + text(reinterpret_cast<const char*>(lParam)) +
                    ")");
    return 0;
  }
};

}  // namespace docmill::printer::recording
