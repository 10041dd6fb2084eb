// A host process for the lifetime tests: creates an application, reports the office's
// process id and profile folder on standard output, and exits without ending anything
// itself, so the test can check that nothing outlives it.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "automation/creation.h"
#include "officeapps/officeapps.h"

int main(int argc, char** argv) {
  auto registrations = docmill::officeapps::registerOfficeServers();
  auto app = docmill::createObject(argc > 1 ? argv[1] : "Word.Application");
  std::printf("%d %s %d\n", static_cast<int>(docmill::officeapps::officeProcessId()),
              docmill::officeapps::officeProfileFolder().c_str(), static_cast<int>(getpid()));
  std::fflush(stdout);
  return 0;
}
