// Whether files and folders on disk can be changed by somebody else, and writes and reads
// that never go through a link somebody planted.
//
// A path is trusted when no user other than root and the current one can change what it
// names: every folder and link met while following it, one component at a time as the
// kernel does, belongs to root or the current user, and no folder on the way is writable by
// group or others unless it has the sticky bit (then others may add entries but cannot
// rename or replace ours). The last entry may be held to a stricter rule.
//
// This part of the platform layer depends on nothing else of ours, so that the automation
// runtime below the rest of the platform layer can use it too. The checks return their
// verdict; the writes throw `OsError`.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace docmill::platform {

// How the last entry of a checked path may be shared.
enum class LastEntry {
  // A folder may be writable by others when it has the sticky bit (a shared temporary
  // folder); a file must not be writable by group or others.
  StickyFolderAllowed,
  // Neither a folder nor a file may be writable by group or others.
  Private,
};

struct PathCheck {
  // Why somebody else could change what the path names; empty when nobody can.
  std::string problem;
  // The path with every link followed, when it could be followed to its end.
  std::string resolved;
  bool trusted() const { return problem.empty(); }
};

// Follows `path` (relative paths from the current folder) and checks every folder and link
// on the way, and the entry it ends at. A missing entry ends the check without complaint:
// nothing is there to be swapped, and whoever uses the path meets the missing entry itself.
PathCheck checkPath(const std::string& path, LastEntry last = LastEntry::StickyFolderAllowed);

// Why the entry `st` describes could be changed by somebody else under `last`'s rule, or
// nothing.
std::optional<std::string> untrustedEntry(const struct stat& st, LastEntry last);

// True when `path` is a regular file itself, not a link to one.
bool isPlainFile(const std::string& path);
// True when anything is at `path`: a file, a folder, a link (even one that leads nowhere).
bool entryExists(const std::string& path);

// Creates the folder `path` and its missing parents with `mode`, whatever the process's
// umask. Folders that exist are left as they are. Throws OsError.
void makeFolders(const std::string& path, mode_t mode);

// Replaces `folder`/`name` with `contents`, with `mode` whatever the umask: the text goes
// into a new private file in the same folder (created exclusively, never through a link)
// that is then renamed over the old entry, so a reader sees the old file or the new one and
// a link planted at either name is replaced, never followed. `folder` itself is opened as
// named (callers that must not follow links there pass a resolved path). Throws OsError.
void replaceFile(const std::string& folder, const std::string& name, std::string_view contents,
                 mode_t mode);

// The contents of the regular file `path`, opened without following a link, when it
// belongs to root or the current user, nobody else may write it, and it holds at most
// `maxBytes`. Otherwise nothing, with `problem` saying why (empty when the file is simply
// not there).
std::optional<std::string> readTrustedFile(const std::string& path, size_t maxBytes,
                                           std::string* problem);

}  // namespace docmill::platform
