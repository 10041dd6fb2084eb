#include "printer/destinations.h"

#include <cups/cups.h>

#include <cstdlib>
#include <string_view>

namespace docmill::printer {

namespace {

// Frees what cupsGetDests allocated, on every path.
class DestArray {
 public:
  DestArray() { count_ = cupsGetDests(&dests_); }
  DestArray(const DestArray&) = delete;
  DestArray& operator=(const DestArray&) = delete;
  ~DestArray() { cupsFreeDests(count_, dests_); }
  int count() const { return count_; }
  cups_dest_t* data() const { return dests_; }

 private:
  cups_dest_t* dests_ = nullptr;
  int count_ = 0;
};

std::string option(const cups_dest_t& dest, const char* name) {
  const char* value = cupsGetOption(name, dest.num_options, dest.options);
  return value ? value : "";
}

bool isTrue(std::string_view value) {
  return value == "true" || value == "1";
}

}  // namespace

std::vector<Destination> CupsDestinations::list() {
  DestArray dests;
  std::vector<Destination> result;
  for (int i = 0; i < dests.count(); ++i) {
    const cups_dest_t& dest = dests.data()[i];
    if (dest.name == nullptr || dest.instance != nullptr) continue;
    Destination d;
    d.name = dest.name;
    d.deviceUri = option(dest, "device-uri");
    d.printerUri = option(dest, "printer-uri-supported");
    d.isDefault = dest.is_default != 0;
    d.shared = isTrue(option(dest, "printer-is-shared"));
    const std::string type = option(dest, "printer-type");
    if (!type.empty()) {
      d.remote = (std::strtoul(type.c_str(), nullptr, 10) & CUPS_PRINTER_REMOTE) != 0;
    }
    result.push_back(std::move(d));
  }
  return result;
}

bool CupsDestinations::makeDefault(const std::string& name) {
  DestArray dests;
  // Only the destination itself, never one of its instances, becomes the default.
  cups_dest_t* dest = cupsGetDest(name.c_str(), nullptr, dests.count(), dests.data());
  if (dest == nullptr) return false;
  cupsSetDefaultDest(dest->name, nullptr, dests.count(), dests.data());
  return cupsSetDests2(CUPS_HTTP_DEFAULT, dests.count(), dests.data()) == 0;
}

std::vector<std::string> installedPrinters() {
  CupsDestinations destinations;
  return installedPrinters(destinations);
}

std::vector<std::string> installedPrinters(Destinations& destinations) {
  std::vector<std::string> names{kGenericPostScriptPrinter};
  for (Destination& d : destinations.list()) names.push_back(std::move(d.name));
  return names;
}

}  // namespace docmill::printer
