// The one office process of a host process: started on first use, kept warm, ended when
// the host exits.
//
// `OfficeHost::instance()` owns the office: its process group, its private user profile in
// a temporary folder of its own and the connection over a private pipe. Every call that
// talks to the office holds `OfficeHost::lock()`, so calls from several objects or threads
// are serialised onto the one office. If the office has died, the next `ensureRunning()`
// starts a fresh one. `shutdown()` (also run when the host exits) ends the process group,
// by force if it does not end by itself, and removes the profile.
//
// Failures to start or reach the office raise run-time error 429 with a description that
// says what went wrong. UNO types stay inside this folder.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "officeapps/uno_support.h"

namespace docmill::officeapps {

class OfficeHost {
 public:
  static OfficeHost& instance();

  // Held around every conversation with the office.
  std::recursive_mutex& lock() { return mutex_; }

  // Starts the office if it is not running (or has died) and returns its desktop.
  css::uno::Reference<css::frame::XDesktop2> ensureRunning();
  // The office's component context (valid after ensureRunning()).
  css::uno::Reference<css::uno::XComponentContext> context();

  // Ends the office now (if running) and removes its profile. Never raises.
  void shutdown();

  // The office process id, or 0 when none runs. The profile folder, or "" when none.
  pid_t processId();
  std::string profileFolder();

  ~OfficeHost();

 private:
  OfficeHost() = default;
  bool alive();
  void start();
  void endProcess();

  std::recursive_mutex mutex_;
  pid_t pid_ = 0;  // also the office's process group
  bool reaped_ = false;
  std::string profile_;
  std::string pipeName_;
  std::vector<std::string> sockets_;  // the office's pipe files, removed after it ends
  css::uno::Reference<css::uno::XComponentContext> remote_;
  css::uno::Reference<css::frame::XDesktop2> desktop_;
  css::uno::Reference<css::lang::XComponent> bridge_;
};

}  // namespace docmill::officeapps
