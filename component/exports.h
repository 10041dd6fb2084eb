// The component library's exports, callable by name after dlopen or directly when linked.
// Each returns an automation result code (S_OK on success) and never throws.
#pragma once

#include <cstdint>

#include "automation/creation.h"

extern "C" {
int32_t DllGetClassObject(const docmill::Guid* clsid, docmill::ClassFactoryPtr** factory);
int32_t DllCanUnloadNow();
int32_t DllRegisterServer();
int32_t DllUnregisterServer();
}
