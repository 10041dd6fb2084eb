// A host process for the lifetime tests: creates an application, reports its own process
// id on the first line of standard output, then the process id and profile folder of every
// office started so far (one line each, the application's own office first), and exits
// without ending anything itself, so the test can check that nothing outlives it. With
// "--wait" after the ProgID it waits to be killed instead.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "automation/creation.h"
#include "office_server/servers.h"

int main(int argc, char** argv) {
  auto registrations = docmill::office_server::registerOfficeServers();
  auto app = docmill::createObject(argc > 1 ? argv[1] : "Word.Application");
  const pid_t own = docmill::office_server::officeProcessId();
  std::printf("%d\n", static_cast<int>(getpid()));
  std::printf("%d %s\n", static_cast<int>(own),
              docmill::office_server::officeProfileFolder().c_str());
  for (const auto& office : docmill::office_server::officeStatus()) {
    if (office.pid > 0 && office.pid != own && !office.profile.empty()) {
      std::printf("%d %s\n", static_cast<int>(office.pid), office.profile.c_str());
    }
  }
  std::fflush(stdout);
  if (argc > 2 && std::string(argv[2]) == "--wait") {
    for (;;) ::pause();
  }
  return 0;
}
