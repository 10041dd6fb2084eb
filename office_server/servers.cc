#include "office_server/servers.h"

#include "office_server/factories.h"
#include "office_server/office_pool.h"

namespace docmill::office_server {

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
  // The application object took its office while it was being made; from here on only the
  // calls of its own objects make that lease current.
  LeasePtr lease = OfficeLease::current();
  OfficePool::instance().finishCreation();
  if (!lease) return;
  CallScope scope(lease);
  lease->desktop();
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
  OfficePool::instance().shutdown();
}

void startOffices() {
  try {
    OfficePool::instance().startAll();
  } catch (const AutomationError&) {
    // Settings refused: the first caller meets the same error.
  }
}

void configureOffices(const PoolSettings& settings) {
  OfficePool::instance().configure(settings);
}

PoolSettings officeSettings() {
  return OfficePool::instance().settings();
}

std::vector<OfficeStatus> officeStatus() {
  return OfficePool::instance().status();
}

int officeQueueLength() {
  return OfficePool::instance().queueLength();
}

pid_t officeProcessId() {
  if (auto lease = OfficeLease::owned()) return lease->processId();
  for (const auto& office : officeStatus()) {
    if (office.pid) return office.pid;
  }
  return 0;
}

std::string officeProfileFolder() {
  const pid_t pid = officeProcessId();
  for (const auto& office : officeStatus()) {
    if (office.pid == pid) return office.profile;
  }
  return {};
}

}  // namespace docmill::office_server
