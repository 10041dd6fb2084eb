// The resident memory of whole process groups, for watchdogs that end a group of processes
// that grows past its limit (a process that forks helpers shares its budget with them).
//
// Read from /proc in one pass however many groups are asked about; a process that ends
// while it is read is left out. Throws OsError when /proc cannot be read at all.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "platform/os_error.h"

namespace docmill::platform {

// For each of `groups`, the sum of the resident memory of its processes in bytes (0 for a
// group without processes).
std::vector<uint64_t> residentBytesOfGroups(const std::vector<pid_t>& groups);

}  // namespace docmill::platform
