#include "printer/set_def_printer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "printer/cups_platform.h"

namespace docmill::printer {

namespace {

constexpr uint32_t kInfoLevel = 5;
constexpr size_t kProfileBufferSize = 1024;
constexpr char kWindowsSection[] = "windows";

// Closes an opened printer handle when the spooler route leaves, whichever way it leaves.
class OpenPrinter {
 public:
  OpenPrinter(PrintPlatform& platform, PrinterHandle handle)
      : platform_(platform), handle_(handle) {}
  OpenPrinter(const OpenPrinter&) = delete;
  OpenPrinter& operator=(const OpenPrinter&) = delete;
  ~OpenPrinter() { platform_.ClosePrinter(handle_); }
  PrinterHandle get() const { return handle_; }

 private:
  PrintPlatform& platform_;
  PrinterHandle handle_;
};

}  // namespace

void setDefPrinter(const Variant& strPrinter, PrintPlatform& platform) {
  const std::string name = strPrinter.toString();

  OSVERSIONINFO version{};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFO);
  std::memset(version.szCSDVersion, ' ', sizeof version.szCSDVersion);
  platform.GetVersionExA(&version);

  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    detail::setDefPrinterByAttribute(name, platform);
  } else {
    detail::setDefPrinterByProfile(name, platform);
  }
}

void setDefPrinter(const Variant& strPrinter) {
  CupsPrintPlatform platform;
  setDefPrinter(strPrinter, platform);
}

namespace detail {

void setDefPrinterByAttribute(const std::string& name, PrintPlatform& platform) {
  if (name.empty()) return;

  PRINTER_DEFAULTS defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
  PrinterHandle handle = 0;
  if (!platform.OpenPrinterA(name.c_str(), &handle, &defaults)) return;
  OpenPrinter printer(platform, handle);

  uint32_t needed = 0;
  platform.GetPrinterA(printer.get(), kInfoLevel, nullptr, 0, &needed);

  // Word-sized elements keep the record's pointers aligned; the buffer always covers the
  // whole record, so reading it back stays inside even when the size query reported less.
  using Word = std::uint64_t;
  const size_t bytes = std::max<size_t>(needed, sizeof(PRINTER_INFO_5));
  std::vector<Word> words(bytes / sizeof(Word) + 1, 0);
  const std::span<const std::byte> filled(reinterpret_cast<const std::byte*>(words.data()),
                                          words.size() * sizeof(Word));
  if (!platform.GetPrinterA(printer.get(), kInfoLevel, words.data(), needed, &needed)) return;

  PRINTER_INFO_5 stored;
  std::memcpy(&stored, words.data(), sizeof stored);
  // The texts are copied out of the spooler's buffer before the record is handed back.
  const std::string printerName = stringFromPointer(stored.pPrinterName, filled);
  const std::string portName = stringFromPointer(stored.pPortName, filled);
  PRINTER_INFO_5 info{};
  info.pPrinterName = printerName.c_str();
  info.pPortName = portName.c_str();
  // The default bit is added to what the printer had; its other settings stay as they are.
  info.Attributes = stored.Attributes | PRINTER_ATTRIBUTE_DEFAULT;
  info.DeviceNotSelectedTimeout = stored.DeviceNotSelectedTimeout;
  info.TransmissionRetryTimeout = stored.TransmissionRetryTimeout;

  platform.SetPrinterA(printer.get(), kInfoLevel, &info, 0);
}

void setDefPrinterByProfile(const std::string& name, PrintPlatform& platform) {
  std::array<char, kProfileBufferSize> buffer{};
  platform.GetProfileStringA("PrinterPorts", name.c_str(), "", buffer.data(),
                             static_cast<uint32_t>(buffer.size()));
  // The value ends at its NUL; the last byte is never taken, so even a platform that fills
  // the buffer without a NUL cannot make the read run past it.
  const std::string_view value(buffer.data(), strnlen(buffer.data(), buffer.size() - 1));

  std::string driver;
  std::string port;
  parsePrinterPorts(value, driver, port);
  if (!driver.empty() && !port.empty()) writeDefaultDevice(name, driver, port, platform);
}

std::string stringFromPointer(const char* text, std::span<const std::byte> buffer) {
  if (text == nullptr || buffer.empty()) return {};
  // Compared as addresses, so that a pointer outside the buffer is recognised without
  // forming an out-of-range pointer.
  const auto at = reinterpret_cast<std::uintptr_t>(text);
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
  if (at < begin || at - begin >= buffer.size()) return {};
  const size_t available = buffer.size() - (at - begin);
  return std::string(text, strnlen(text, available));
}

void parsePrinterPorts(std::string_view value, std::string& driver, std::string& port) {
  driver.clear();
  port.clear();
  const size_t first = value.find(',');
  if (first == std::string_view::npos) return;
  driver = value.substr(0, first);
  const size_t second = value.find(',', first + 1);
  if (second != std::string_view::npos) port = value.substr(first + 1, second - first - 1);
}

void writeDefaultDevice(const std::string& name, const std::string& driver, const std::string& port,
                        PrintPlatform& platform) {
  const std::string device = name + "," + driver + "," + port;
  platform.WriteProfileStringA(kWindowsSection, "Device", device.c_str());
  platform.SendMessageA(HWND_BROADCAST, WM_WININICHANGE, 0,
                        reinterpret_cast<std::intptr_t>(kWindowsSection));
}

}  // namespace detail
}  // namespace docmill::printer
