// What a host shares with the work it does for one caller, on every thread that does that
// work: a way to cancel it once the caller has gone, and the record of a time limit that
// ended part of it or of an input that could not be read (so the host can tell a time-out
// or the caller's own bad document from other failures).
//
// The host makes a `CallContext` and installs it with `CallContext::Scope` on each thread
// that works for the caller; a thread that hands work to other threads installs the same
// context there. Work that can be stopped (an office call, an interpreter run, a wait for a
// free office) registers a hook with `onCancel` for as long as it runs; the hook stops the
// work the way the work's own time limit would, and the work then fails with its own error
// or with `cancelledError()`. A hook runs at most once, on the thread that cancels, without
// any lock of the context held; one registered after the cancellation runs at once, on the
// registering thread. A hook must not be registered or dropped while holding a lock that
// its own function takes. Nothing here raises.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "automation/error.h"

namespace docmill {

class CallContext {
  struct Entry;

 public:
  CallContext() = default;
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  // The context installed on this thread; nullptr when none is.
  static std::shared_ptr<CallContext> current();

  // Runs every registered hook once; later calls do nothing.
  void cancel();
  bool cancelled() const { return cancelled_.load(); }

  // A registered hook; dropping it removes the hook, waiting for it to finish if it runs.
  class Hook {
   public:
    Hook() = default;
    Hook(Hook&& other) noexcept = default;
    Hook& operator=(Hook&& other) noexcept;
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;
    ~Hook() { reset(); }
    void reset();

   private:
    friend class CallContext;
    Hook(std::weak_ptr<CallContext> context, std::shared_ptr<Entry> entry)
        : context_(std::move(context)), entry_(std::move(entry)) {}
    std::weak_ptr<CallContext> context_;
    std::shared_ptr<Entry> entry_;
  };
  // `fn` runs when the context is cancelled (at once when it already is).
  [[nodiscard]] static Hook onCancel(const std::shared_ptr<CallContext>& context,
                                     std::function<void()> fn);

  // Work of this context was ended by its time limit.
  void noteTimedOut() { timedOut_.store(true); }
  bool timedOut() const { return timedOut_.load(); }

  // Work of this context failed because an input the caller gave is unusable (damaged,
  // password-protected, not a document of the kind expected): the caller's fault, not ours.
  void noteBadInput() { badInput_.store(true); }
  bool badInput() const { return badInput_.load(); }

  // Installs a context on the calling thread for the scope's life (nullptr installs none).
  class Scope {
   public:
    explicit Scope(std::shared_ptr<CallContext> context);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::shared_ptr<CallContext> previous_;
  };

 private:
  struct Entry {
    std::mutex mutex;  // held while the hook runs
    std::function<void()> fn;
    bool active = true;
  };
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> timedOut_{false};
  std::atomic<bool> badInput_{false};
};

// The error of work that stopped because its caller cancelled it: E_ABORT,
// "The call was cancelled by its caller."
Error cancelledError();
// Raises cancelledError() when the calling thread's context is cancelled.
void raiseIfCancelled();

}  // namespace docmill
