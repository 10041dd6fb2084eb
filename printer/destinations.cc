#include "printer/destinations.h"

#include <cups/cups.h>

#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "platform/library.h"

namespace docmill::printer {

namespace {

// libcups, loaded when a destination is first asked for rather than with every process
// that holds this code: it brings some twenty libraries (TLS, Kerberos, D-Bus) whose loading
// would slow the start of every command, most of which never print. Null when it cannot
// be loaded, which is taken as no reachable printing system. The library stays loaded.
struct Cups {
  decltype(&cupsGetDests) getDests = nullptr;
  decltype(&cupsFreeDests) freeDests = nullptr;
  decltype(&cupsGetOption) getOption = nullptr;
  decltype(&cupsGetDest) getDest = nullptr;
  decltype(&cupsSetDefaultDest) setDefaultDest = nullptr;
  decltype(&cupsSetDests2) setDests2 = nullptr;
};

const Cups* cups() {
  static const Cups* loaded = []() -> const Cups* {
    try {
      platform::DynamicLibrary library("libcups.so.2");
      auto* c = new Cups;
      const auto find = [&](auto& target, const char* name) {
        target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(library.symbol(name));
        return target != nullptr;
      };
      if (!find(c->getDests, "cupsGetDests") || !find(c->freeDests, "cupsFreeDests") ||
          !find(c->getOption, "cupsGetOption") || !find(c->getDest, "cupsGetDest") ||
          !find(c->setDefaultDest, "cupsSetDefaultDest") || !find(c->setDests2, "cupsSetDests2")) {
        delete c;
        return nullptr;
      }
      library.keepLoaded();
      return c;
    } catch (const platform::OsError&) {
      return nullptr;
    }
  }();
  return loaded;
}

// Frees what cupsGetDests allocated, on every path. Empty without libcups.
class DestArray {
 public:
  DestArray() {
    if (cups()) count_ = cups()->getDests(&dests_);
  }
  DestArray(const DestArray&) = delete;
  DestArray& operator=(const DestArray&) = delete;
  ~DestArray() {
    if (cups()) cups()->freeDests(count_, dests_);
  }
  int count() const { return count_; }
  cups_dest_t* data() const { return dests_; }

 private:
  cups_dest_t* dests_ = nullptr;
  int count_ = 0;
};

std::string option(const cups_dest_t& dest, const char* name) {
  const char* value = cups()->getOption(name, dest.num_options, dest.options);
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
  if (!cups()) return false;
  cups_dest_t* dest = cups()->getDest(name.c_str(), nullptr, dests.count(), dests.data());
  if (dest == nullptr) return false;
  cups()->setDefaultDest(dest->name, nullptr, dests.count(), dests.data());
  return cups()->setDests2(CUPS_HTTP_DEFAULT, dests.count(), dests.data()) == 0;
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
