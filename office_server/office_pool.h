// The offices that serve the Office application servers of a host process.
//
// `OfficePool::instance()` owns a fixed number of office processes (`DOCMILL_OFFICE_POOL`,
// default: the number of cores), each with its own profile, pipe and a thread of its own
// that starts and restarts it. Nothing starts before the first application object; then
// offices start on demand: the first caller starts one, and another starts only when a
// caller finds every running office taken and the pool below its size (a warm pool,
// `PoolSettings::warm` or `startAll()`, starts every office in the background at once). A
// caller that needs an office that is still starting waits for that start instead of
// starting a second copy. A start that fails
// (the office killed while it starts, say) is made again for the waiting caller, within
// its call time-out and three starts at most, before the caller fails with error 429.
//
// An application object takes an office for its whole life through an `OfficeLease`,
// shared by every object it creates, so one document's calls all reach the same office
// and different applications work in parallel. When every office is taken, creation waits
// in a first-come queue of bounded length (`DOCMILL_OFFICE_QUEUE`); beyond it, creation
// fails at once with run-time error 429.
//
// Each office call runs inside a `CallScope`: it holds the office's call lock and arms a
// watchdog. A call that takes longer than `DOCMILL_OFFICE_TIMEOUT` seconds (default 120)
// has its office's process group killed; the call then fails with an error naming the
// document, the dead office is reaped and its profile removed, and a fresh office replaces
// it. An office that dies on its own is treated the same way, and so is one whose process
// group grows past `DOCMILL_OFFICE_MEMORY` MiB of resident memory (default 3072) during a
// call: the watchdog measures it four times a second while a call runs (twenty times once it
// holds half its limit). After
// `DOCMILL_OFFICE_MAX_DOCS` documents (default 200), or when it holds more than half its
// memory limit, an office is replaced once its lease is returned, never during a call.
//
// A call or a wait made for a caller whose `CallContext` is cancelled ends early: a waiting
// caller leaves the queue, and an office in a call is killed and replaced as at its time
// limit; either fails with `cancelledError()`. A call ended by its time limit marks the
// caller's context as timed out.
//
// `shutdown()` (also run when the host process exits) ends every office and removes every
// profile; the next application object starts the pool afresh.
//
// Threads: every member may be called from any thread. Three kinds of lock, always taken
// in this order when more than one is held:
// - an office's call lock (`OfficeSlot::callMutex`, recursive, held by a `CallScope`)
//   serialises the calls into that office: one application's document at a time;
// - the pool's lock (`State::mutex`) guards the settings, the slot list and every field of
//   a slot but its process (phase, lease, document count, deadline, kill flags), and the
//   queue; the watchdog, each slot's worker thread and callers wait on its conditions;
// - each `OfficeProcess` guards its own process, connection and profile with its own lock;
//   its `kill()` takes none, so the watchdog can end a hung office at any moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/call_context.h"
#include "office_server/servers.h"
#include "office_server/uno_support.h"

namespace docmill::office_server {

struct OfficeSlot;

// One office reserved for one application object and the objects it creates. Returned to
// the pool when the last of them goes.
class OfficeLease {
 public:
  explicit OfficeLease(std::shared_ptr<OfficeSlot> slot) : slot_(std::move(slot)) {}
  ~OfficeLease();
  OfficeLease(const OfficeLease&) = delete;
  OfficeLease& operator=(const OfficeLease&) = delete;

  // The lease whose office call runs on this thread, or of the application being created
  // on it; nullptr when neither.
  static std::shared_ptr<OfficeLease> current();
  // The lease this thread took last, while it lives.
  static std::shared_ptr<OfficeLease> owned();

  // Waits until the office runs, restarting it first if it has died; raises 429 when it
  // cannot be started. Returns its desktop. Call with the office's call lock held.
  css::uno::Reference<css::frame::XDesktop2> desktop();
  // Notes a document being opened: it counts towards recycling and names the failures of
  // the calls that follow.
  void documentOpened(const std::string& path);
  std::string document() const;
  pid_t processId() const;
  // The only folder the office can reach: documents are copied in and out through it.
  std::string workFolder() const;
  // A call on this thread failed with a disposed object: see OfficeProcess::checkConnection.
  static void checkConnectionOnThisThread();

 private:
  friend class CallScope;
  friend class OfficePool;
  std::shared_ptr<OfficeSlot> slot_;
};
using LeasePtr = std::shared_ptr<OfficeLease>;

// One call into an office: holds its call lock, makes its lease current on this thread and
// arms the time-out for the outermost call.
class CallScope {
 public:
  explicit CallScope(LeasePtr lease);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // After the call's work: if the office was killed for taking too long or for growing
  // past its memory limit, or died under a call that failed, the dead office is reaped and its
  // profile removed, and the call's error becomes one that says so and names the document.
  // Otherwise returns normally.
  void checkOffice(const AppIdentity& app, const std::string& member, bool failed);
  // The same for clean-up calls that must not raise: a dead office is reaped quietly.
  void settle();

 private:
  LeasePtr lease_;
  std::unique_lock<std::recursive_mutex> guard_;
  LeasePtr previous_;
  CallContext::Hook cancelHook_;
};

class OfficePool {
 public:
  static OfficePool& instance();

  // Takes a free office, waiting in the queue for one; the first call starts the pool.
  // A thread that already holds a lease and finds every office taken shares its own.
  LeasePtr acquire();
  // For the creation of an application object: the acquired lease stays current on this
  // thread until `finishCreation()`, so the objects the application makes share it.
  LeasePtr acquireForCreation();
  void finishCreation();

  // Starts every office now, in the background, and from then on as if `warm` were set.
  void startAll();
  // Ends every office and removes every profile; the next use starts afresh. Never raises.
  void shutdown();
  // Shuts the pool down and uses `settings` from its next start on.
  void configure(const PoolSettings& settings);
  PoolSettings settings();
  std::vector<OfficeStatus> status();
  int queueLength();

 private:
  OfficePool();
  friend class OfficeLease;
  friend class CallScope;
  struct State;
  State* state_;
};

}  // namespace docmill::office_server
