#include "officeapps/officeapps.h"

#include <mutex>

#include "officeapps/office_process.h"
#include "officeapps/officeapps_internal.h"

namespace docmill::officeapps {

namespace {

Guid guid(uint8_t last) {
  // Class identifiers of our own four servers; constant from build to build.
  Guid g;
  g.bytes = {0x5d, 0x0c, 0x6e, 0x11, 0x7a, 0x42, 0x4b, 0x1e,
             0x9c, 0x33, 0x0f, 0x61, 0xd0, 0xc0, 0x00, last};
  return g;
}

}  // namespace

void startOffice(const AppIdentity&) {
  auto& host = OfficeHost::instance();
  std::lock_guard guard(host.lock());
  host.ensureRunning();
}

std::vector<ClassRegistration> registerOfficeServers() {
  std::vector<ClassRegistration> result;
  result.push_back(registerClass(guid(1), "Word.Application", makeFactory(createWordApplication)));
  result.push_back(
      registerClass(guid(2), "Excel.Application", makeFactory(createExcelApplication)));
  result.push_back(
      registerClass(guid(3), "Powerpoint.Application", makeFactory(createPowerPointApplication)));
  result.push_back(
      registerClass(guid(4), "Publisher.Application", makeFactory(createPublisherApplication)));
  return result;
}

void shutdownOffice() {
  OfficeHost::instance().shutdown();
}

pid_t officeProcessId() {
  return OfficeHost::instance().processId();
}

std::string officeProfileFolder() {
  return OfficeHost::instance().profileFolder();
}

}  // namespace docmill::officeapps
