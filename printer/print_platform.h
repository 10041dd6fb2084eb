// The printing and profile services that default-printer switching calls, as one narrow
// interface: the version query, the spooler calls on one printer (open, read and write the
// level-5 record, close) and the user profile's string values with the change broadcast.
//
// The records are plain structs of ours with the layout the calls exchange. Every call
// reports failure through its result and never throws; a caller that opened a printer owns
// the handle and must close it. Texts are NUL-terminated UTF-8 byte strings.
#pragma once

#include <cstdint>

namespace docmill::printer {

using PrinterHandle = std::uintptr_t;  // 0 is never a valid handle

// Platform families reported in OSVERSIONINFO::dwPlatformId.
inline constexpr uint32_t VER_PLATFORM_WIN32s = 0;
inline constexpr uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

inline constexpr uint32_t PRINTER_ALL_ACCESS = 0xF000C;

// PRINTER_INFO_5::Attributes bits.
inline constexpr uint32_t PRINTER_ATTRIBUTE_QUEUED = 0x1;
inline constexpr uint32_t PRINTER_ATTRIBUTE_DEFAULT = 0x4;
inline constexpr uint32_t PRINTER_ATTRIBUTE_SHARED = 0x8;
inline constexpr uint32_t PRINTER_ATTRIBUTE_NETWORK = 0x10;
inline constexpr uint32_t PRINTER_ATTRIBUTE_LOCAL = 0x40;

inline constexpr std::uintptr_t HWND_BROADCAST = 0xFFFF;
inline constexpr uint32_t WM_WININICHANGE = 0x001A;

struct OSVERSIONINFO {
  uint32_t dwOSVersionInfoSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFO) == 148);

struct PRINTER_DEFAULTS {
  const char* pDatatype;
  const void* pDevMode;
  uint32_t DesiredAccess;
};

// Level-5 printer information. GetPrinterA writes it at the start of the caller's buffer
// with the two texts stored after it in the same buffer.
struct PRINTER_INFO_5 {
  const char* pPrinterName;
  const char* pPortName;
  uint32_t Attributes;
  uint32_t DeviceNotSelectedTimeout;  // milliseconds
  uint32_t TransmissionRetryTimeout;  // milliseconds
};

class PrintPlatform {
 public:
  virtual ~PrintPlatform() = default;

  // Fills the record; the caller sets dwOSVersionInfoSize to sizeof(OSVERSIONINFO) first.
  virtual bool GetVersionExA(OSVERSIONINFO* info) = 0;

  // Opens the printer `name`; on success *handle holds a handle the caller must close.
  virtual bool OpenPrinterA(const char* name, PrinterHandle* handle,
                            const PRINTER_DEFAULTS* defaults) = 0;
  // Writes the record of `level` into `buffer` (`bufferSize` bytes). *needed always receives
  // the byte count the record needs; a null or too small buffer fails after setting it.
  virtual bool GetPrinterA(PrinterHandle handle, uint32_t level, void* buffer, uint32_t bufferSize,
                           uint32_t* needed) = 0;
  // Applies the record of `level` at `info` (command 0: no queue command).
  virtual bool SetPrinterA(PrinterHandle handle, uint32_t level, const void* info,
                           uint32_t command) = 0;
  virtual bool ClosePrinter(PrinterHandle handle) = 0;

  // Copies the value of key `key` in section `section` (or `defaultValue` when there is
  // none) into `buffer`, cut to `size` - 1 characters and NUL-terminated; returns the number
  // of characters copied, without the NUL.
  virtual uint32_t GetProfileStringA(const char* section, const char* key, const char* defaultValue,
                                     char* buffer, uint32_t size) = 0;
  virtual bool WriteProfileStringA(const char* section, const char* key, const char* value) = 0;

  // Sends a message synchronously; `lParam` may carry a pointer to a NUL-terminated text.
  virtual std::intptr_t SendMessageA(std::uintptr_t window, uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) = 0;
};

}  // namespace docmill::printer
