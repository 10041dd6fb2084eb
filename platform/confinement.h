// Confinement of a process that runs something we do not trust with the machine (an office
// or a helper that reads hostile documents): a network of its own, in which nothing outside
// can be reached, and a file system in which only the listed paths exist for it. The one
// place that speaks to the kernel's Landlock security module.
//
// A child about to run a program:
// The parent describes the confinement and calls `prepare()`, which does everything that
// allocates or may fail slowly; the forked child calls `enterInChild()` before exec, which
// makes async-signal-safe system calls only. What the kernel cannot do is left out quietly:
// file rules need Landlock (Linux 5.13 or later, enabled), the refusal of TCP needs Landlock
// network rules (6.7), the network namespace needs root or unprivileged user namespaces.
// `prepare()` says what will be in force. A confinement owns the descriptors it prepared and
// closes them when it goes; it is neither copied nor shared between threads.
//
// A process that restricts itself (a helper, while it still has one thread) fills a
// `FileAccess` and calls `restrictFileAccess`: from then on it, and every process it starts
// later, can open only what the lists name; everything else fails with EACCES, whatever the
// file's own permissions say. It can neither create, remove, rename or link anything outside
// its private folders nor (where the kernel can) signal processes outside its restriction or
// reach the network. Where the kernel has no Landlock nothing is restricted and the call
// says so; entries that do not exist, or cannot be opened, are left out (and so stay
// unreachable).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace docmill::platform {

class Confinement {
 public:
  Confinement() = default;
  ~Confinement();
  Confinement(const Confinement&) = delete;
  Confinement& operator=(const Confinement&) = delete;

  // Files beneath `path` may be read and executed, folders listed. Paths that do not exist
  // are ignored.
  void allowRead(const std::string& path);
  // Everything beneath `path` may be read, written, created and removed.
  void allowWrite(const std::string& path);
  // Device files such as /dev/null that are read and written but never listed.
  void allowDevice(const std::string& path);
  // Named sockets may be created directly in `folder`; nothing else there is reachable.
  void allowSockets(const std::string& folder);
  // Files beneath `path` may be read (not executed), folders listed; a path that cannot be
  // opened is left out.
  void allowReadOnly(const std::string& path);
  // The existing file `path` may be read, written and truncated (not removed or replaced); a
  // folder, a link or a path that cannot be opened is left out. A link is never followed:
  // the rule would open its target, wherever it points, to the process.
  void allowWriteFile(const std::string& path);
  // Anything but executing and device control may be done beneath `folder`; a path that
  // cannot be opened is left out.
  void allowPrivateFolder(const std::string& folder);
  // The process's own /proc entry, known only in the child.
  void allowOwnProcessEntry() { ownProcessEntry_ = true; }
  // A network namespace of its own: no interface but a loopback that is down.
  void isolateNetwork() { isolateNetwork_ = true; }

  // What the kernel will enforce.
  struct InForce {
    bool files = false;       // only the allowed paths are reachable
    bool tcp = false;         // TCP connections and listening refused
    bool ownNetwork = false;  // the child enters a network namespace of its own
  };
  // Builds the rules. Throws OsError when the kernel supports the rules but a path that
  // exists cannot be added (the confinement would silently be wider than asked).
  InForce prepare();

  // In the forked child, before exec: enters the network namespace (root directly, others
  // through a user namespace of their own, mapped to their own ids; skipped where neither
  // is allowed) and restricts the file system. Returns 0, or the errno of the step that
  // failed when a prepared file restriction could not be applied.
  int enterInChild() const noexcept;

  // Prepares and enters the file rules in the calling process (all its threads started
  // later, and its children), for good. False when the kernel offers no Landlock. Throws
  // OsError.
  bool restrictThisProcess();

  // Whether Landlock is available, and its version (0 when not).
  static int landlockVersion();

 private:
  struct Rule {
    std::string path;
    unsigned long long access;
    bool leftOutUnlessOpened = false;  // a path that cannot be opened is skipped, not an error
    bool notThroughLink = false;       // a link at the path is left out, never followed
  };
  std::vector<Rule> rules_;
  bool ownProcessEntry_ = false;
  bool isolateNetwork_ = false;
  bool ownNetwork_ = false;  // the child enters a network namespace, as prepare() found possible
  int ruleset_ = -1;
  unsigned long long readAccess_ = 0;  // rights of allowRead(), for the child's /proc entry
  // Prepared for the child: "uid uid 1" and "gid gid 1" for a user namespace.
  std::string uidMap_, gidMap_;
};

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
