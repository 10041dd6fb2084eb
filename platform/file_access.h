// Confinement of the calling process's file access, for a helper that reads hostile input:
// from the call on, it (and every thread and child it makes later) may only read files and
// list folders beneath the folders it names, and may create, change or remove nothing
// anywhere. Descriptors opened before stay usable.
//
// Relies on the kernel's Landlock; on a kernel without it nothing is restricted and the call
// says so. Other failures throw `OsError`.
#pragma once

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace docmill::platform {

// Returns false when the kernel cannot restrict file access. Folders that do not exist are
// left out.
bool restrictFileAccess(const std::vector<std::string>& readableFolders);

}  // namespace docmill::platform
