// Factories of the four application servers and the start-up hook they share.
// Internal to this folder.
#pragma once

#include "automation/dispatch.h"
#include "office_server/uno_support.h"

namespace docmill::office_server {

// Starts the office if needed; failures raise run-time error 429 with the reason.
void startOffice(const AppIdentity& app);

DispatchPtr createWordApplication();
DispatchPtr createExcelApplication();
DispatchPtr createPowerPointApplication();
DispatchPtr createPublisherApplication();

}  // namespace docmill::office_server
