// One office process: headless, with a private user profile in a temporary folder of its
// own (a copy of the user's profile template when there is a sound one, see
// profile_template.h), reached over a private pipe (never a TCP port). It runs confined: it can
// read the system's files and write only inside its profile, where its work folder receives the
// documents it opens and the files it writes; it has a network of its own and no TCP.
//
// An `OfficeProcess` owns the process group it starts, the profile folder and the pipe
// files; `end()` (and the destructor) ends the whole group, by force if it does not end by
// itself, reaps it and removes the profile. The pool (office_pool.h) decides when offices
// start and end; this class only knows how.
//
// `start()` raises run-time error 429 with a description of what went wrong. UNO types stay
// inside this folder.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "office_server/uno_support.h"
#include "platform/process.h"

namespace docmill::office_server {

class OfficeProcess {
 public:
  OfficeProcess() = default;
  ~OfficeProcess();
  OfficeProcess(const OfficeProcess&) = delete;
  OfficeProcess& operator=(const OfficeProcess&) = delete;

  // Ends what runs now, then starts a fresh office and connects to it. Blocks until the
  // office answers (at most 90 seconds). A process that forked the office must outlive it:
  // the office is sent SIGKILL when the forking thread ends. The office is confined to its
  // own folder and a network of its own (see office_process.cc).
  void start();
  // Ends the office (if any) and removes its profile and pipe files. Never raises.
  void end();

  // True while the office process lives and its connection holds. Reaps it when it has
  // ended, so a dead office never lingers as a zombie once it has been asked about.
  bool running();
  // After a call failed with a disposed object: asks the office something simple, and if
  // that fails too the connection is gone (the office may take a moment longer to be seen
  // dead), so `running()` is false from now on. A document that was merely closed leaves
  // the office as it is.
  void checkConnection();
  // Removes the pipe files that offices of hosts that no longer run left behind (a host
  // killed by force cannot remove them): only files of our own naming, of this user, and
  // only sockets. Never raises.
  static void removeLeftoverPipes();
  // Sends SIGKILL to the whole process group at once; safe from any thread at any time.
  // The caller still has to `end()` the office to reap it and remove its profile.
  void kill();

  css::uno::Reference<css::frame::XDesktop2> desktop() const;
  // The process id (also its process group); 0 when none runs. The profile, or "".
  pid_t processId() const;
  std::string profileFolder() const;
  // The folder inside the profile where the office reads and writes documents: the only
  // one it can reach. "" when none runs.
  std::string workFolder() const;
  // How many office processes the last `start()` ran: 1, or 2 when the office made a new
  // profile and ended to be started again (see profile_template.h).
  int processStarts() const { return processStarts_; }

 private:
  bool exitedLocked();
  void endLocked();
  std::string workFolderLocked() const;

  mutable std::mutex mutex_;
  platform::ChildProcess child_;  // the office; its process group is the office's
  std::atomic<pid_t> group_{0};   // child_'s pid, readable without the lock (kill(), processId())
  mutable std::mutex infoMutex_;
  std::string profileSeen_;                 // profile_, readable while a start holds `mutex_`
  std::vector<std::string> killedSockets_;  // pipe files seen by kill(), under infoMutex_
  std::string profile_;
  std::string pipeName_;
  std::vector<std::string> sockets_;  // the office's pipe files, removed after it ends
  css::uno::Reference<css::uno::XComponentContext> remote_;
  css::uno::Reference<css::frame::XDesktop2> desktop_;
  css::uno::Reference<css::lang::XComponent> bridge_;
  std::shared_ptr<std::atomic<bool>> connectionLost_;  // set when the bridge goes
  std::atomic<int> processStarts_{0};
};

}  // namespace docmill::office_server
