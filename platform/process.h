// Child processes for work that must not harm the host: a program (or, in a helper that runs
// a single thread, a function) started in a process group of its own, with resource limits,
// optionally without network, ended with the host, waited for with a deadline, killed as a
// whole group and always reaped.
//
// A `ChildProcess` owns its process: destroying it kills the group and reaps the child, so no
// child outlives its owner and none is left a zombie. `start` throws `OsError` when the
// program cannot be started (the exec failure is reported, not a child that exits 127).
// `restrictSystemCalls` lets a process that handles hostile input give up, for good, what it
// never needs: starting programs, opening network connections, tracing or reading other
// processes, changing namespaces or mounts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/os_error.h"

namespace docmill::platform {

class Confinement;

// Limits a child runs under; 0 leaves a limit as the host has it.
struct ResourceLimits {
  uint64_t addressSpaceBytes = 0;  // virtual memory; allocations past it fail
  uint64_t cpuSeconds = 0;         // processor time; the child is killed past it
  uint64_t fileSizeBytes = 0;      // largest file the child may write
  uint64_t openFiles = 0;          // highest descriptor number + 1
  bool noCoreDumps = true;
};

struct SpawnOptions {
  // argv[0] is the program's path; nothing is looked up in PATH.
  std::vector<std::string> argv;
  // The child's whole environment ("NAME=value"); nothing: the host's own.
  std::optional<std::vector<std::string>> environment;
  // The child's working folder; empty: the host's.
  std::string workingFolder;
  ResourceLimits limits;
  // A network namespace of its own, so the child reaches no network at all (not even the
  // loopback of the host). Where the system allows no namespace, start fails.
  bool privateNetwork = false;
  // Descriptors handed to the child, as {descriptor in the host, number in the child}.
  // Every other descriptor is closed in the child; 0, 1 and 2 are /dev/null unless given.
  std::vector<std::pair<int, int>> descriptors;
  // Entered by the child just before exec (see confinement.h); it must outlive `start`. A
  // child that cannot enter it is not started.
  const Confinement* confinement = nullptr;
};

// How a child ended.
struct ExitStatus {
  bool exited = false;  // by exit(); `code` holds the status
  int code = 0;
  int signal = 0;         // by a signal: its number
  double cpuSeconds = 0;  // processor time the child and the children it waited for used
  bool succeeded() const { return exited && code == 0; }
  // "exit status 3", "signal 9 (Killed)".
  std::string describe() const;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the group and reaps the child if it is still there.
  ~ChildProcess();

  // Starts a program. The child is killed when the host process ends, whichever thread
  // called this. Throws OsError when the child cannot be made or the program not started.
  static ChildProcess start(const SpawnOptions& options);

  // Runs `body` in a forked child that ends with `body`'s result as its exit status (an
  // escaping exception gives 70). Only for processes with a single thread, such as a
  // helper program: after a fork in a process with other threads, only the calling thread
  // exists and locks held by the others stay held. `options.argv` and `environment` are
  // ignored. Throws OsError when no child can be made.
  static ChildProcess run(const std::function<int()>& body, const SpawnOptions& options = {});

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !status_; }

  // Waits until the child ends or the deadline passes; nothing when the deadline passed
  // first (the child still runs).
  std::optional<ExitStatus> waitUntil(std::chrono::steady_clock::time_point deadline);
  ExitStatus wait();
  // Sends SIGKILL to the child's whole process group; the child still has to be waited for.
  void kill();
  // Sends `signal` to the child's whole process group while the child has not been reaped.
  void signalGroup(int signal);
  // The descriptor that becomes readable when the child ends (for poll), or -1.
  int exitDescriptor() const { return pidfd_; }

 private:
  ChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  void reset();

  pid_t pid_ = 0;
  int pidfd_ = -1;
  std::optional<ExitStatus> status_;
};

// In a forked child before exec, as for `SpawnOptions::privateNetwork`: a network namespace
// of its own, through a user namespace with the given identity maps ("uid uid 1\n", made
// before the fork) where the process may not make one directly. Async-signal-safe; returns
// 0 or the errno of the step that failed.
int enterPrivateNetworkInChild(const char* uidMap, size_t uidLength, const char* gidMap,
                               size_t gidLength) noexcept;

// Whether any process is still in process group `group`. Never throws.
bool groupHasMembers(pid_t group) noexcept;
// Whether any process of group `group` still runs: ended processes that wait to be reaped
// (zombies) do not count. A child that left its parent is reaped by the system's first
// process, which in some containers does so late or never, so its zombie can outstay the
// group by far while holding nothing open. Reads /proc; never throws.
bool groupHasLiveMembers(pid_t group) noexcept;
// Sends `signal` to every process of group `group` (nothing for a group of 0 or less); safe
// from any thread at any time. Never throws.
void signalGroup(pid_t group, int signal) noexcept;

// The children of the calling process that have ended and were not reaped (zombies), read
// from /proc. Never throws.
std::vector<pid_t> unreapedChildren();

// The paths of the named Unix sockets that process `pid` holds open whose path contains
// `part`, read from its /proc entry (the socket table of its own network namespace, since
// ours does not list the sockets of a child in another). Empty when the process is gone or
// cannot be read. Never throws.
std::vector<std::string> namedSocketsOf(pid_t pid, const std::string& part);

// Applies `limits` to the calling process. Throws OsError for a limit that cannot be set.
void applyLimits(const ResourceLimits& limits);

// The bytes of address space the calling process has mapped now (what a limit on address
// space counts), or 0 when the system cannot say.
uint64_t addressSpaceInUse();

// Whether a restricted process may still make child processes (threads it always may).
enum class NewProcesses { Allowed, Denied };

// From now on the calling process (all its threads started later, and its children) can no
// longer start programs, create sockets, trace or read other processes, load kernel code
// or change its namespaces and mounts: such calls fail with EPERM. With
// NewProcesses::Denied it cannot fork either, so nothing it does outlives it or leaves its
// process group. Throws OsError when the system refuses the filter.
void restrictSystemCalls(NewProcesses processes = NewProcesses::Allowed);

}  // namespace docmill::platform
