// The Office application servers: "Word.Application", "Excel.Application",
// "Powerpoint.Application" and "Publisher.Application", played by LibreOffice.
//
// `registerOfficeServers()` puts the four classes into this process's class table for as
// long as the returned registrations live. The first application object starts one
// office process (headless, private profile, private pipe) that stays warm for later
// objects; it ends, and its profile is removed, when the host process exits or when
// `shutdownOffice()` is called. Creating an application when the office cannot be started
// raises run-time error 429.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "automation/creation.h"

namespace docmill::officeapps {

[[nodiscard]] std::vector<ClassRegistration> registerOfficeServers();

// Ends the office process group now (if one runs) and removes its profile. The next
// application object starts a new one. Never raises.
void shutdownOffice();

// The running office's process id (also its process group) and profile folder; 0 and ""
// when none runs. For hosts that report on the office, and for tests.
pid_t officeProcessId();
std::string officeProfileFolder();

}  // namespace docmill::officeapps
