// Confinement of a child process that is about to run a program we do not trust with the
// machine (an office that reads hostile documents): a network of its own, in which nothing
// outside can be reached, and a file system in which only the listed paths exist for it.
//
// The parent describes the confinement and calls `prepare()`, which does everything that
// allocates or may fail slowly; the forked child calls `enterInChild()` before exec, which
// makes async-signal-safe system calls only. What the kernel cannot do is left out quietly:
// file rules need Landlock (Linux 5.13 or later, enabled), the refusal of TCP needs Landlock
// network rules (6.7), the network namespace needs root or unprivileged user namespaces.
// `prepare()` says what will be in force. A confinement owns the descriptors it prepared and
// closes them when it goes; it is neither copied nor shared between threads.
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

  // Whether Landlock is available, and its version (0 when not).
  static int landlockVersion();

 private:
  struct Rule {
    std::string path;
    unsigned long long access;
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

}  // namespace docmill::platform
