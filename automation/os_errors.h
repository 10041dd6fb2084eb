// The one conversion of the platform layer's failures into the classic run-time errors:
// an errno value, or a `platform::OsError`, becomes 53 File not found, 70 Permission
// denied, 76 Path not found or 75 Path/File access error.
//
// Layers that call the platform layer and report to automation clients convert here, once,
// where they call it; nothing else maps errno values.
#pragma once

#include "automation/error.h"
#include "platform/os_error.h"

namespace docmill {

// The run-time error for an errno value.
Error errorFromErrno(int err);
[[noreturn]] void raiseErrno(int err);
// The run-time error for a failed operating-system call.
[[noreturn]] void raiseOsError(const platform::OsError& e);

}  // namespace docmill
