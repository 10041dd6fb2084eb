#include "office_server/office_pool.h"

#include <algorithm>
#include <condition_variable>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "automation/call_context.h"
#include "automation/error.h"
#include "office_server/office_process.h"
#include "platform/group_memory.h"
#include "platform/settings.h"

namespace docmill::office_server {

using Clock = std::chrono::steady_clock;

// How often the resident memory of offices in a call is measured: an office that grows
// quickly (a hostile document took 130 MiB a second) passes its limit by little before it
// is seen, and one past half its limit is watched more closely.
constexpr auto kMemorySampleInterval = std::chrono::milliseconds(250);
constexpr auto kCloseMemorySampleInterval = std::chrono::milliseconds(50);
constexpr uint64_t kMiB = 1024 * 1024;
// Starts of one office that a caller waiting for it sees fail before it gives up.
constexpr int kStartAttempts = 3;
constexpr std::string_view kCantCreate = "Automation server can't create object: ";

// One office of the pool and its bookkeeping. Fields below `process` are guarded by the
// pool's mutex; `process` has its own lock and is started only by `worker`.
struct OfficeSlot {
  int index = 0;
  uint64_t generation = 0;  // the pool generation it belongs to
  OfficeProcess process;
  std::recursive_mutex callMutex;

  enum class Phase { Down, Starting, Ready, Failed } phase = Phase::Down;
  bool wantStart = false;  // the worker is asked to (re)start the office
  bool leased = false;
  std::string failure;  // why the last start failed
  int documents = 0;
  std::string document;  // the document the current lease works on
  int callDepth = 0;
  std::optional<Clock::time_point> deadline;
  bool killedForTime = false;
  bool killedForMemory = false;
  bool killedForCancel = false;  // its caller went away during the call
  int starts = 0;                // successful starts, the first one included
  std::thread worker;
};

namespace {

thread_local LeasePtr tlsCurrent;                     // the lease of the office call running here
thread_local std::weak_ptr<OfficeLease> tlsCreating;  // the application being created here
thread_local std::weak_ptr<OfficeLease> tlsOwned;     // the last lease taken on this thread

// The resident memory of an office's process group in bytes; 0 when it cannot be told.
uint64_t residentBytes(pid_t group) {
  if (group <= 0) return 0;
  try {
    return platform::residentBytesOfGroups({group})[0];
  } catch (const platform::OsError&) {
    return 0;
  }
}

std::string seconds(std::chrono::milliseconds ms) {
  char buf[32];
  if (ms.count() % 1000 == 0) {
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(ms.count() / 1000));
  } else {
    snprintf(buf, sizeof buf, "%.1f", ms.count() / 1000.0);
  }
  return buf;
}

}  // namespace

PoolSettings PoolSettings::fromEnvironment() {
  PoolSettings s;
  try {
    // Every maximum of these settings fits an int.
    s.size = static_cast<int>(platform::officePoolSize());
    if (auto timeout = platform::readSecondsSetting(platform::kOfficeTimeout)) {
      s.callTimeout = *timeout;
    }
    s.maxDocuments = static_cast<int>(
        platform::readSetting(platform::kOfficeMaxDocuments).value_or(s.maxDocuments));
    s.queueLimit =
        static_cast<int>(platform::readSetting(platform::kOfficeQueue).value_or(s.queueLimit));
    s.memoryLimitMiB = static_cast<int>(
        platform::readSetting(platform::kOfficeMemoryMiB).value_or(s.memoryLimitMiB));
  } catch (const platform::SettingError& e) {
    raiseRuntime(rt::CantCreateObject, std::string(kCantCreate) + e.what());
  }
  return s;
}

struct OfficePool::State {
  std::mutex mutex;
  std::condition_variable changed;  // slots freed, started, failed; queue moves
  std::condition_variable watch;    // wakes the watchdog
  std::optional<PoolSettings> settings;
  std::vector<std::shared_ptr<OfficeSlot>> slots;
  uint64_t generation = 0;
  bool running = false;   // slots, workers and watchdog exist
  bool stopping = false;  // they are being ended
  std::thread watchdog;
  uint64_t nextTicket = 0, serving = 0;
  std::set<uint64_t> abandoned;  // tickets of callers that went away before their turn
  // Passes over the turns of callers that went away.
  void skipAbandonedLocked() {
    while (abandoned.erase(serving)) ++serving;
  }
  int waiting = 0;

  PoolSettings& config() {
    if (!settings) settings = PoolSettings::fromEnvironment();
    return *settings;
  }

  bool current(const OfficeSlot& slot) const { return running && slot.generation == generation; }

  void startLocked();
  void workerLoop(std::shared_ptr<OfficeSlot> slot);
  void watchdogLoop();
  std::chrono::milliseconds checkMemory(std::unique_lock<std::mutex>& lock,
                                        const std::vector<std::shared_ptr<OfficeSlot>>& inCall);
  void waitReady(std::unique_lock<std::mutex>& lock, const std::shared_ptr<OfficeSlot>& slot);
  void release(const std::shared_ptr<OfficeSlot>& slot);
};

OfficePool& OfficePool::instance() {
  // Never destroyed: the exit handler ends the offices while the UNO libraries still work.
  static OfficePool* pool = new OfficePool;
  return *pool;
}

OfficePool::OfficePool() : state_(new State) {}

void OfficePool::startAll() {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  s.config().warm = true;
  s.startLocked();
  for (auto& slot : s.slots) {
    if (!slot->leased && slot->phase == OfficeSlot::Phase::Down) slot->wantStart = true;
  }
  s.changed.notify_all();
}

void OfficePool::State::startLocked() {
  if (running) return;
  running = true;
  stopping = false;
  ++generation;
  // Pipes left by hosts that were killed, before our own offices make theirs.
  OfficeProcess::removeLeftoverPipes();
  const int n = config().size;
  for (int i = 0; i < n; ++i) {
    auto slot = std::make_shared<OfficeSlot>();
    slot->index = i;
    slot->generation = generation;
    slot->wantStart = config().warm;  // else started by the caller that takes it
    slots.push_back(slot);
  }
  // The offices are forked by these threads, which live as long as the pool: an office is
  // sent SIGKILL when the thread that forked it ends.
  for (auto& slot : slots) slot->worker = std::thread([this, slot] { workerLoop(slot); });
  watchdog = std::thread([this] { watchdogLoop(); });
}

void OfficePool::State::workerLoop(std::shared_ptr<OfficeSlot> slot) {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return stopping || slot->wantStart; });
    if (stopping) return;
    slot->wantStart = false;
    slot->phase = OfficeSlot::Phase::Starting;
    lock.unlock();
    std::string failure;
    try {
      slot->process.start();
    } catch (const AutomationError& e) {
      // Kept as the reason alone: the caller that meets it says what failed.
      failure = e.error().description;
      if (failure.starts_with(kCantCreate)) failure.erase(0, kCantCreate.size());
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (failure.empty()) {
      // Exit handlers run in reverse order of registration: registered after the UNO
      // libraries have set up a connection, this one ends the offices while they still work.
      static std::once_flag registered;
      std::call_once(registered, [] { std::atexit([] { OfficePool::instance().shutdown(); }); });
    }
    lock.lock();
    slot->documents = 0;
    slot->killedForTime = false;
    slot->killedForMemory = false;
    slot->killedForCancel = false;
    if (failure.empty()) ++slot->starts;
    slot->failure = failure;
    slot->phase = failure.empty() ? OfficeSlot::Phase::Ready : OfficeSlot::Phase::Failed;
    changed.notify_all();
  }
}

void OfficePool::State::watchdogLoop() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    const auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(500);
    std::vector<std::shared_ptr<OfficeSlot>> inCall;
    for (auto& slot : slots) {
      if (slot->callDepth > 0 && slot->phase == OfficeSlot::Phase::Ready && !slot->killedForTime &&
          !slot->killedForMemory) {
        inCall.push_back(slot);
      }
      if (slot->deadline && slot->phase == OfficeSlot::Phase::Ready && !slot->killedForTime) {
        if (*slot->deadline <= now) {
          slot->process.kill();
          slot->killedForTime = true;
        } else {
          next = std::min(next, *slot->deadline);
        }
      }
      // An idle office that died on its own is reaped and replaced before anyone needs it.
      if (!slot->leased && !slot->wantStart && slot->phase == OfficeSlot::Phase::Ready &&
          !slot->process.running()) {
        slot->process.end();
        slot->wantStart = true;
        changed.notify_all();
      }
    }
    if (!inCall.empty()) {
      const auto interval = checkMemory(lock, inCall);
      if (stopping) return;
      next = std::min(next, Clock::now() + interval);
    }
    watch.wait_until(lock, next);
  }
}

std::chrono::milliseconds OfficePool::State::checkMemory(
    std::unique_lock<std::mutex>& lock, const std::vector<std::shared_ptr<OfficeSlot>>& inCall) {
  std::vector<pid_t> groups;
  for (const auto& slot : inCall) groups.push_back(slot->process.processId());
  const uint64_t limit = static_cast<uint64_t>(config().memoryLimitMiB) * kMiB;
  // /proc is read without the pool's lock: calls come and go meanwhile.
  lock.unlock();
  std::vector<uint64_t> used;
  try {
    used = platform::residentBytesOfGroups(groups);
  } catch (const platform::OsError&) {
  }
  lock.lock();
  auto interval = std::chrono::milliseconds(kMemorySampleInterval);
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i] > limit / 2) interval = kCloseMemorySampleInterval;
    OfficeSlot& slot = *inCall[i];
    // Still the same office, still in a call, and not ended for another reason meanwhile.
    if (used[i] <= limit || slot.callDepth == 0 || slot.killedForTime || slot.killedForMemory ||
        slot.process.processId() != groups[i]) {
      continue;
    }
    slot.process.kill();
    slot.killedForMemory = true;
  }
  return interval;
}

void OfficePool::State::waitReady(std::unique_lock<std::mutex>& lock,
                                  const std::shared_ptr<OfficeSlot>& slot) {
  using Phase = OfficeSlot::Phase;
  // A start that fails (an office killed while it starts, say) did nothing of the caller's
  // yet: another one is made, as long as the caller's time-out allows and a few times at
  // most, since a failure that repeats is one of the machine's.
  const auto deadline = Clock::now() + config().callTimeout;
  for (int failures = 0;;) {
    if ((slot->phase == Phase::Down || slot->phase == Phase::Failed) && !slot->wantStart) {
      slot->wantStart = true;
      changed.notify_all();
    }
    changed.wait(lock, [&] {
      return !current(*slot) || stopping ||
             (!slot->wantStart && (slot->phase == Phase::Ready || slot->phase == Phase::Failed));
    });
    if (!current(*slot) || stopping) {
      raiseRuntime(rt::CantCreateObject, std::string(kCantCreate) + "the offices were shut down");
    }
    if (slot->phase != Phase::Failed) return;
    if (++failures >= kStartAttempts || Clock::now() >= deadline) {
      raiseRuntime(rt::CantCreateObject, std::string(kCantCreate) + slot->failure);
    }
  }
}

void OfficePool::State::release(const std::shared_ptr<OfficeSlot>& slot) {
  const uint64_t used = residentBytes(slot->process.processId());
  std::unique_lock lock(mutex);
  slot->leased = false;
  slot->document.clear();
  if (!current(*slot)) {
    // Left over from a pool that has been shut down.
    lock.unlock();
    slot->process.end();
    return;
  }
  const uint64_t halfLimit = static_cast<uint64_t>(config().memoryLimitMiB) * kMiB / 2;
  if (slot->phase == OfficeSlot::Phase::Ready &&
      (slot->documents >= config().maxDocuments || used > halfLimit || !slot->process.running())) {
    // Replaced in the background: worn out, grown past half its memory limit (offices keep
    // much of what their documents took), or dead since its last call.
    slot->wantStart = true;
  }
  changed.notify_all();
}

LeasePtr OfficePool::acquire() {
  State& s = *state_;
  // A caller that goes away stops waiting; the hook is dropped after the lock (it takes it).
  const auto context = CallContext::current();
  raiseIfCancelled();
  CallContext::Hook wakeOnCancel = CallContext::onCancel(context, [&s] {
    { std::lock_guard wake(s.mutex); }
    s.changed.notify_all();
  });
  std::unique_lock lock(s.mutex);
  s.startLocked();
  auto freeSlot = [&]() -> std::shared_ptr<OfficeSlot> {
    std::shared_ptr<OfficeSlot> best;
    for (auto& slot : s.slots) {
      if (slot->leased) continue;
      // A running office first, then one that is starting, then one to be started.
      auto rank = [](const OfficeSlot& o) {
        if (o.phase == OfficeSlot::Phase::Ready && !o.wantStart) return 0;
        if (o.phase == OfficeSlot::Phase::Starting || o.wantStart) return 1;
        return 2;
      };
      if (!best || rank(*slot) < rank(*best)) best = slot;
    }
    return best;
  };
  if (auto mine = tlsOwned.lock(); mine && s.current(*mine->slot_) && !freeSlot()) {
    // This thread holds an office already: waiting for another could wait for itself.
    return mine;
  }
  const int limit = s.config().queueLimit;
  if (!freeSlot() && s.waiting >= limit) {
    raiseRuntime(rt::CantCreateObject, std::string(kCantCreate) + "all " +
                                           std::to_string(s.slots.size()) +
                                           " offices are busy and " + std::to_string(s.waiting) +
                                           " callers are waiting already");
  }
  const uint64_t ticket = s.nextTicket++;
  ++s.waiting;
  s.changed.wait(lock, [&] {
    return !s.running || (context && context->cancelled()) || (ticket == s.serving && freeSlot());
  });
  --s.waiting;
  if (s.running && context && context->cancelled()) {
    // Its turn passes to the next caller, whether it had come or not.
    if (ticket == s.serving) {
      ++s.serving;
    } else {
      s.abandoned.insert(ticket);
    }
    s.skipAbandonedLocked();
    s.changed.notify_all();
    raise(cancelledError());
  }
  if (!s.running) {
    ++s.serving;
    s.skipAbandonedLocked();
    s.changed.notify_all();
    raiseRuntime(rt::CantCreateObject, std::string(kCantCreate) + "the offices were shut down");
  }
  ++s.serving;
  s.skipAbandonedLocked();
  auto slot = freeSlot();
  slot->leased = true;
  slot->document.clear();
  s.changed.notify_all();
  auto lease = std::make_shared<OfficeLease>(slot);
  try {
    s.waitReady(lock, slot);
  } catch (...) {
    lock.unlock();
    throw;  // the lease goes back to the pool as it is destroyed
  }
  lock.unlock();
  tlsOwned = lease;
  return lease;
}

LeasePtr OfficePool::acquireForCreation() {
  LeasePtr lease = acquire();
  tlsCreating = lease;
  return lease;
}

void OfficePool::finishCreation() {
  tlsCreating.reset();
}

void OfficePool::shutdown() {
  State& s = *state_;
  std::vector<std::shared_ptr<OfficeSlot>> slots;
  std::thread watchdog;
  {
    std::lock_guard lock(s.mutex);
    if (!s.running) return;
    s.stopping = true;
    s.running = false;
    slots.swap(s.slots);
    watchdog.swap(s.watchdog);
    // Offices still starting give up at once.
    for (auto& slot : slots) slot->process.kill();
    s.changed.notify_all();
    s.watch.notify_all();
  }
  for (auto& slot : slots) {
    if (slot->worker.joinable()) slot->worker.join();
  }
  if (watchdog.joinable()) watchdog.join();
  for (auto& slot : slots) slot->process.end();
  std::lock_guard lock(s.mutex);
  s.stopping = false;
}

void OfficePool::configure(const PoolSettings& settings) {
  shutdown();
  std::lock_guard lock(state_->mutex);
  state_->settings = settings;
}

PoolSettings OfficePool::settings() {
  std::lock_guard lock(state_->mutex);
  return state_->config();
}

int OfficePool::queueLength() {
  std::lock_guard lock(state_->mutex);
  return state_->waiting;
}

std::vector<OfficeStatus> OfficePool::status() {
  std::vector<std::shared_ptr<OfficeSlot>> slots;
  std::vector<OfficeStatus> result;
  {
    std::lock_guard lock(state_->mutex);
    slots = state_->slots;
    for (auto& slot : slots) {
      OfficeStatus st;
      st.index = slot->index;
      st.documents = slot->documents;
      st.leased = slot->leased;
      st.inCall = slot->callDepth > 0;
      st.ready = slot->phase == OfficeSlot::Phase::Ready && !slot->wantStart &&
                 !slot->killedForTime && !slot->killedForMemory && !slot->killedForCancel;
      st.restarts = std::max(0, slot->starts - 1);
      st.waiting = state_->waiting;
      st.document = slot->document;
      result.push_back(st);
    }
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    result[i].pid = slots[i]->process.processId();
    result[i].profile = slots[i]->process.profileFolder();
    result[i].processStarts = slots[i]->process.processStarts();
  }
  return result;
}

// --- leases ---

OfficeLease::~OfficeLease() {
  OfficePool::instance().state_->release(slot_);
}

LeasePtr OfficeLease::owned() {
  return tlsOwned.lock();
}

LeasePtr OfficeLease::current() {
  if (tlsCurrent) return tlsCurrent;
  return tlsCreating.lock();
}

css::uno::Reference<css::frame::XDesktop2> OfficeLease::desktop() {
  auto& s = *OfficePool::instance().state_;
  if (!slot_->process.running()) {
    slot_->process.end();  // reaps what is left of it and removes its profile
    std::unique_lock lock(s.mutex);
    slot_->phase = OfficeSlot::Phase::Down;
    s.waitReady(lock, slot_);
    // The time the call spent waiting for the fresh office is not held against it.
    if (slot_->callDepth > 0) slot_->deadline = Clock::now() + s.config().callTimeout;
  }
  return slot_->process.desktop();
}

void OfficeLease::documentOpened(const std::string& path) {
  std::lock_guard lock(OfficePool::instance().state_->mutex);
  ++slot_->documents;
  slot_->document = path;
}

std::string OfficeLease::document() const {
  std::lock_guard lock(OfficePool::instance().state_->mutex);
  return slot_->document;
}

pid_t OfficeLease::processId() const {
  return slot_->process.processId();
}

std::string OfficeLease::workFolder() const {
  return slot_->process.workFolder();
}

void OfficeLease::checkConnectionOnThisThread() {
  if (LeasePtr lease = current()) lease->slot_->process.checkConnection();
}

// --- calls ---

CallScope::CallScope(LeasePtr lease)
    : lease_(std::move(lease)), guard_(lease_->slot_->callMutex), previous_(tlsCurrent) {
  tlsCurrent = lease_;
  auto& s = *OfficePool::instance().state_;
  bool outermost = false;
  {
    std::lock_guard lock(s.mutex);
    if (lease_->slot_->callDepth++ == 0) {
      outermost = true;
      lease_->slot_->deadline = Clock::now() + s.config().callTimeout;
      s.watch.notify_all();
    }
  }
  // A caller that goes away ends the call the way its time limit would.
  if (outermost) {
    cancelHook_ = CallContext::onCancel(CallContext::current(), [&s, slot = lease_->slot_] {
      std::lock_guard lock(s.mutex);
      if (slot->callDepth > 0 && slot->phase == OfficeSlot::Phase::Ready && !slot->killedForTime &&
          !slot->killedForMemory) {
        slot->process.kill();
        slot->killedForCancel = true;
      }
    });
  }
}

CallScope::~CallScope() {
  cancelHook_.reset();
  {
    auto& s = *OfficePool::instance().state_;
    std::lock_guard lock(s.mutex);
    if (--lease_->slot_->callDepth == 0) lease_->slot_->deadline.reset();
  }
  tlsCurrent = previous_;
}

void CallScope::settle() {
  try {
    checkOffice(AppIdentity{}, std::string(), false);
  } catch (const AutomationError&) {
  }
}

void CallScope::checkOffice(const AppIdentity& app, const std::string& member, bool failed) {
  auto& s = *OfficePool::instance().state_;
  OfficeSlot& slot = *lease_->slot_;
  bool timedOut = false;
  bool overMemory = false;
  bool cancelled = false;
  std::string document;
  std::chrono::milliseconds timeout;
  int memoryLimit = 0;
  {
    std::lock_guard lock(s.mutex);
    timedOut = slot.killedForTime;
    overMemory = slot.killedForMemory;
    cancelled = slot.killedForCancel;
    document = slot.document;
    timeout = s.config().callTimeout;
    memoryLimit = s.config().memoryLimitMiB;
  }
  if (!timedOut && !overMemory && !cancelled) {
    if (slot.process.running()) return;
    // An office that an earlier call found dead has been ended already and this call did not
    // reach one (a call that does starts a fresh one first): its own outcome stands.
    if (slot.process.processId() == 0) return;
  }
  // The office is dead: reap it and remove its profile now; the lease or the pool starts
  // the next one.
  slot.process.end();
  {
    std::lock_guard lock(s.mutex);
    slot.killedForTime = false;
    slot.killedForMemory = false;
    slot.killedForCancel = false;
  }
  if (cancelled) raise(cancelledError());
  const std::string on = document.empty() ? std::string() : " on " + document;
  if (overMemory) {
    raiseApp(app, app.failed,
             app.name + " did not finish " + member + on +
                 ": its office went past the memory limit of " + std::to_string(memoryLimit) +
                 " MiB; it was stopped and is replaced by a fresh one.");
  }
  if (timedOut) {
    if (auto context = CallContext::current()) context->noteTimedOut();
    raiseApp(app, app.failed,
             app.name + " did not finish " + member + on + " within " + seconds(timeout) +
                 " seconds; its office was stopped and is replaced by a fresh one.");
  }
  if (failed) {
    raiseApp(app, app.failed,
             "The office stopped unexpectedly during " + member + on +
                 "; it is replaced by a fresh one.");
  }
}

}  // namespace docmill::office_server
