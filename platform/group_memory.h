// The resident memory of whole process groups, for watchdogs that end a group of processes
// that grows past its limit (a process that forks helpers shares its budget with them); and
// giving back what this process has freed, for long-running hosts.
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

// Makes every thread of this process allocate from one pool from now on. Threads otherwise
// get pools of their own, whose free space at their end stays with the process whatever
// is freed; with one pool, `releaseFreedMemory` reaches all of it. Call it before the
// threads start. Never fails.
void useOneAllocatorPool();

// Hands the memory this process has freed but the allocator still keeps back to the
// system, so that one large piece of work does not leave a long-running host holding its
// peak. Never fails.
void releaseFreedMemory();

}  // namespace docmill::platform
