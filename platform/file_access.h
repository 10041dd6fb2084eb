// Narrowing what a process can reach in the file system, for good: after
// `restrictFileAccess` the process (and every process it starts later) can open only what
// the given lists name; everything else fails with EACCES, whatever the file's own
// permissions say. It cannot create, remove, rename or link anything outside its private
// folders, and (where the kernel can) it can neither signal processes outside its own
// restriction nor reach the network.
//
// Built on the kernel's Landlock security module. Where the kernel has none (or it is
// switched off), nothing is restricted and the call says so; any other failure throws
// `OsError` and leaves the process as it was. Entries that do not exist, or cannot be
// opened, are left out (and so stay unreachable).
#pragma once

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace docmill::platform {

struct FileAccess {
  // Files, and folders with everything beneath them, that may be read.
  std::vector<std::string> readable;
  // Existing files that may be read, written and truncated (not removed or replaced).
  std::vector<std::string> writable;
  // Folders beneath which anything may be done.
  std::vector<std::string> privateFolders;
};

// Applies `access` to the calling thread and every thread and process it starts later: call
// it while the process has a single thread. Descriptors opened before stay usable. True
// when the kernel enforces it, false when the kernel offers no such restriction. Throws
// OsError.
bool restrictFileAccess(const FileAccess& access);

// The same for a process that only reads: it may read beneath `readableFolders` and create,
// change or remove nothing anywhere.
bool restrictFileAccess(const std::vector<std::string>& readableFolders);

}  // namespace docmill::platform
