// The printing and profile services of `PrintPlatform`, played by CUPS destinations.
//
// The platform family is the NT family. The spooler calls work on one destination: level 5
// holds its name, its port (see below) and the attributes, with the default bit when it is
// the default; setting the default bit makes it the user's default. The profile holds two
// things: section "PrinterPorts" has one key per destination with the value
// "winspool,<port>,15,45", and "Device" of section "windows" reads as the default
// destination's "<name>,winspool,<port>"; writing it makes the destination it names the
// user's default, as `lpoptions -d` does. Nothing else of the profile is stored, and the
// broadcast is a no-op.
//
// The port is the destination's device URI (its queue URI when there is none) with every
// comma written "%2C": a raw comma would split the port where the "PrinterPorts" value is
// read field by field. Printer handles are owned by the object that handed them out; any
// left open are dropped with it. Without a reachable CUPS server every call fails.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "printer/destinations.h"
#include "printer/print_platform.h"

namespace docmill::printer {

class CupsPrintPlatform : public PrintPlatform {
 public:
  // Over libcups.
  CupsPrintPlatform();
  // Over the given destinations, which must outlive the platform.
  explicit CupsPrintPlatform(Destinations& destinations);

  bool GetVersionExA(OSVERSIONINFO* info) override;
  bool OpenPrinterA(const char* name, PrinterHandle* handle,
                    const PRINTER_DEFAULTS* defaults) override;
  bool GetPrinterA(PrinterHandle handle, uint32_t level, void* buffer, uint32_t bufferSize,
                   uint32_t* needed) override;
  bool SetPrinterA(PrinterHandle handle, uint32_t level, const void* info,
                   uint32_t command) override;
  bool ClosePrinter(PrinterHandle handle) override;
  uint32_t GetProfileStringA(const char* section, const char* key, const char* defaultValue,
                             char* buffer, uint32_t size) override;
  bool WriteProfileStringA(const char* section, const char* key, const char* value) override;
  std::intptr_t SendMessageA(std::uintptr_t window, uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;

  // The port text of a destination, as described above.
  static std::string portOf(const Destination& destination);

 private:
  std::optional<Destination> find(const std::string& name);

  std::unique_ptr<Destinations> owned_;
  Destinations& destinations_;
  std::map<PrinterHandle, std::string> open_;  // handle -> destination name
  PrinterHandle nextHandle_ = 1;
};

}  // namespace docmill::printer
