// File-system operations the component needs.
//
// The operations that change something throw `OsError` (see os_error.h) when they fail; the
// probing ones never throw and report through their result. Paths are UTF-8 byte strings,
// passed to the system unchanged.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/io.h"
#include "platform/os_error.h"
#include "platform/scratch.h"

namespace docmill::platform {

// What is at a path. `Other` is a device, pipe or socket; `None` an empty path or one that
// cannot be reached.
enum class EntryKind { None, File, Folder, Link, Other };
// The entry at `path` itself (a link is a link); never throws.
EntryKind entryAt(const std::string& path);
// The entry `path` leads to, through any links; never throws.
EntryKind entryThrough(const std::string& path);

// Opens `path` to read, through links. Throws OsError.
Descriptor openToRead(const std::string& path);
// Opens `path` to write, creating it (mode 0666 less the umask) or emptying it; never
// through a link (ELOOP). Throws OsError.
Descriptor openToWrite(const std::string& path);
// The working folder, as a descriptor that another process can resolve relative names
// against (invalid when it cannot be opened); never throws.
Descriptor openWorkingFolder();

// Length in bytes of a file (not a folder), or nothing when it cannot be read.
std::optional<int64_t> fileLength(const std::string& path);

// The bytes the entries under `folder` take, for holding what a confined process writes
// there to a limit: the length of each file, and at least one block (4096 bytes) for every
// entry, so that a swarm of empty files counts too. Links are counted, never followed, and
// folders are entered by descriptor, so an entry swapped for a link while it is counted
// leads nowhere else. Folders deeper than 64 levels are not entered. 0 when `folder` cannot
// be read; never throws.
uint64_t bytesUnder(const std::string& folder);

// What changes when the file `path` leads to (through links) is replaced or rewritten: its
// device, file number, length and time of last change, as text. Nothing when it cannot be
// reached. Never throws.
std::optional<std::string> fileStamp(const std::string& path);

// Which file a path or an open descriptor is, whatever its name: the device and the
// file number.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
// The identity of the file `path` leads to (through links); nothing when it cannot be
// reached. Never throws.
std::optional<FileIdentity> identityOf(const std::string& path);
// The identities of the regular files the calling process has open (descriptors below
// 1024). Never throws.
std::vector<FileIdentity> openFileIdentities();
// Whether an output named `path` is written into rather than replaced: a character device,
// pipe or socket, or a link that root or this user made which names one of the caller's
// descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one) or leads to a
// device, pipe or socket. A link anybody else made is never followed. Never throws.
bool isWrittenInto(const std::string& path);
// Deletes a file (a link itself, not what it points to); throws OsError on failure (EISDIR
// for a folder). What `isWrittenInto` is left in place: it is written into, not replaced.
void deleteFile(const std::string& path);
// Deletes a file if it exists; never raises.
void removeQuietly(const std::string& path);
// Deletes `path` if it is a named socket (anything else there stays); never raises.
void removeSocket(const std::string& path);
// Makes `link` a symbolic link to `target`; throws OsError on failure (EEXIST when anything
// is at `link`).
void makeLink(const std::string& target, const std::string& link);
// Creates one folder (not its parents) with `mode` less the umask; throws OsError on failure
// (EEXIST for an existing folder or file).
void makeDirectory(const std::string& path, mode_t mode = 0777);
// Creates `path` exclusively, empty, mode 0600, never through a link (O_EXCL|O_NOFOLLOW);
// false if it exists or cannot be created.
bool createExclusive(const std::string& path);

// The mode a newly created file gets: 0666 less the process's umask.
unsigned creationMode();

// Puts the finished private file `from` at `to` in one step (see moveFile in transfer.h), so
// that whoever opens `to` finds what was there before or the whole new file, never a part
// of it; a link at `to` is replaced, never followed. The file gets the mode of a newly
// created file. Throws OsError; `to` is then unchanged.
void publishFile(const std::string& from, const std::string& to);

}  // namespace docmill::platform
