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
#include <vector>

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

// Why a folder could not be copied by `copyPrivateTree`.
enum class TreeFault {
  None,
  // An entry belongs to another user, may be written by group or others, or is a link,
  // device, pipe or socket: somebody else put it there or could change it. Such a tree is
  // neither used nor removed.
  Untrusted,
  // The folder is missing, or an entry in it vanished or cannot be read: a tree that broke,
  // not one that somebody else controls.
  Unreadable,
};

struct TreeCopy {
  TreeFault fault = TreeFault::None;
  std::string problem;  // what and where, empty when the copy is whole
  bool copied() const { return fault == TreeFault::None; }
};

// Copies the folder `from` to `to`, which must not exist yet; its parent must. `to` and the
// folders in it are made mode 0700, the files 0600, whatever the umask. Only folders and
// regular files are copied, and only those that belong to root or the current user and
// that neither group nor others may write (the folder `from` itself included). Every entry
// is opened without following a link and judged on what was opened, so an entry swapped
// for a link while the copy runs is refused, never followed. Entries directly in `from`
// named in `skip` are left out; folders deeper than 32 levels count as unreadable. An
// untrusted entry ends the copy; an unreadable one is passed over and reported once the
// rest was looked at (so that a tree judged only unreadable holds nothing that somebody
// else controls, as far as could be seen). A copy that is not whole stays for the caller
// to remove. Failing to write `to` throws OsError.
TreeCopy copyPrivateTree(const std::string& from, const std::string& to,
                         const std::vector<std::string>& skip = {});

// Puts the entry `from` at `to` in one step when nothing is at `to` yet; false (nothing
// moved) when something is there, even an empty folder. Throws OsError for other failures.
bool renameIfAbsent(const std::string& from, const std::string& to);
// Swaps the entries `first` and `second` in one step: whoever opens either name meets the
// old entry or the new one, never neither. Both must exist. Throws OsError.
void exchangeEntries(const std::string& first, const std::string& second);

}  // namespace docmill::platform
