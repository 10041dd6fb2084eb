// The print destinations of the machine's printing system (CUPS), reduced to what printer
// selection needs: the list of destinations and making one of them the user's default.
//
// `Destinations` is the narrow seam in front of libcups so that the spooler and profile
// emulation above it can be tested with a double. Nothing here throws or reports why a
// call failed: without a reachable CUPS server the list is empty and no default changes.
#pragma once

#include <string>
#include <vector>

namespace docmill::printer {

// The printer the Office applications print through when the caller names none; it is
// always accepted, whatever the printing system holds.
inline constexpr const char* kGenericPostScriptPrinter = "Generic PostScript Printer";

struct Destination {
  std::string name;
  std::string deviceUri;   // where the queue sends its jobs; "" when the server does not say
  std::string printerUri;  // the queue's own address on the server; may be ""
  bool isDefault = false;  // the user's default (lpoptions) or else the server's
  bool shared = false;
  bool remote = false;  // a queue of another server
};

class Destinations {
 public:
  virtual ~Destinations() = default;
  // Every destination the user can print to (instances excluded), in the server's order.
  virtual std::vector<Destination> list() = 0;
  // Makes the destination `name` (as spelled in list()) the user's default, as
  // `lpoptions -d` does. False when there is no such destination or it could not be saved.
  virtual bool makeDefault(const std::string& name) = 0;
};

// Over libcups and the server it is configured for.
class CupsDestinations : public Destinations {
 public:
  std::vector<Destination> list() override;
  bool makeDefault(const std::string& name) override;
};

// The printer names the Office applications accept: "Generic PostScript Printer" first,
// then every CUPS destination.
std::vector<std::string> installedPrinters();
std::vector<std::string> installedPrinters(Destinations& destinations);

}  // namespace docmill::printer
