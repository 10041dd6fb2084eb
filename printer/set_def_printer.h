// Makes a named printer the default printer of the user, by one of two routes chosen by
// the platform family the platform reports: family 1 marks the printer as default through
// the spooler (its level-5 attributes); every other family writes the "Device" value of the
// profile's "windows" section and broadcasts the change.
//
// Nothing the platform does is reported: an unknown printer or a failed call ends the call
// normally, with the default left as the platform left it. Only an argument that does not
// convert to text raises (Type mismatch). A printer handle is owned by the spooler route
// and closed on every path once it has been opened.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "automation/variant.h"
#include "printer/print_platform.h"

namespace docmill::printer {

// Over the machine's printing system (CUPS).
void setDefPrinter(const Variant& strPrinter);
// Over the given platform.
void setDefPrinter(const Variant& strPrinter, PrintPlatform& platform);

// The steps of the two routes, exposed for tests.
namespace detail {

// Spooler route: sets the default bit on the printer's level-5 attributes, keeping its other
// bits. An empty name makes no call.
void setDefPrinterByAttribute(const std::string& name, PrintPlatform& platform);
// Profile route: looks the printer up in "PrinterPorts" and writes the default device when
// the entry names both a driver and a port.
void setDefPrinterByProfile(const std::string& name, PrintPlatform& platform);

// The NUL-terminated text at `text`, which must lie inside `buffer` (the memory the spooler
// filled). The read never leaves the buffer: a text without a NUL before the buffer's end is
// cut there. A null pointer or one outside the buffer gives "".
std::string stringFromPointer(const char* text, std::span<const std::byte> buffer);

// Splits "driver,port,..." into its first two fields. Both are "" when there is no comma;
// the port stays "" unless a second comma closes it.
void parsePrinterPorts(std::string_view value, std::string& driver, std::string& port);

// Writes name,driver,port to "Device" of section "windows" and broadcasts the change.
void writeDefaultDevice(const std::string& name, const std::string& driver, const std::string& port,
                        PrintPlatform& platform);

}  // namespace detail
}  // namespace docmill::printer
