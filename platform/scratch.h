// Private scratch space: one folder per host process for every file a conversion keeps for
// itself (print files, reserved PostScript files, interpreter scratch, office profiles),
// and private temporary files and folders inside it.
//
// `hostScratchFolder()` creates the process's folder on first use, mode 0700, inside the
// system temporary folder, and removes it with everything in it when the process exits
// normally. A host that is killed cannot clean up, so each new folder first removes the
// folders of hosts that no longer run (only folders of this user, never through a link).
// `TempFolder` and `TempFile` own what they create and remove it when they go, on every
// path. Creation failures throw `OsError`; removal never throws.
#pragma once

#include <string>
#include <utility>

#include "platform/os_error.h"

namespace docmill::platform {

// The folder for temporary files: $TMPDIR when set and non-empty, else /tmp.
std::string systemTempFolder();

// This process's private scratch folder (no trailing "/"), made anew if it was removed.
// Throws OsError when it cannot be created; the next call tries again.
std::string hostScratchFolder();

// Removes, inside `parent`, the scratch folders of this user's host processes that have
// ended. Returns how many it removed; never throws.
int removeDeadHostFolders(const std::string& parent);

// Removes, directly inside `folder`, the named sockets of this user called `prefix`, the
// id of a process that no longer runs, "-" and anything: the pipes that a killed process
// left behind. Never a link or another kind of file. Returns how many; never throws.
int removeDeadProcessSockets(const std::string& folder, const std::string& prefix);

// Removes a file or a folder with everything in it, without following links inside it.
// Never throws.
void removeTree(const std::string& path);

// A new private folder (mode 0700) named `prefix` and six random characters inside
// `parent`, removed with its contents when the object goes.
class TempFolder {
 public:
  TempFolder() = default;
  // Throws OsError when the folder cannot be created.
  TempFolder(const std::string& parent, const std::string& prefix);
  TempFolder(TempFolder&& other) noexcept;
  TempFolder& operator=(TempFolder&& other) noexcept;
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::string& path() const { return path_; }
  bool empty() const { return path_.empty(); }
  // Gives up ownership: the folder stays and the caller removes it.
  std::string release() { return std::exchange(path_, {}); }

 private:
  std::string path_;
};

// A new private file (mode 0600, created exclusively) named `prefix`, six random
// characters and `suffix` inside `parent`, empty and closed, removed when the object goes.
class TempFile {
 public:
  TempFile() = default;
  // Throws OsError when the file cannot be created.
  TempFile(const std::string& parent, const std::string& prefix, const std::string& suffix = {});
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  const std::string& path() const { return path_; }
  bool empty() const { return path_.empty(); }

 private:
  std::string path_;
};

}  // namespace docmill::platform
