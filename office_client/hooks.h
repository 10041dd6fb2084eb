// The points where a converter meets the world outside the Office applications: the
// message pump, the clock and pause of the completion wait, and the interpreter run that
// turns a printed PostScript file into PDF.
//
// Each hook belongs to the calling thread (there is no shared state between threads): an
// embedding event loop sets the message pump of its own thread, and tests replace the
// clock, the pause and the conversion for the thread they run on. A `ScopedHooks` puts the
// previous hooks back when it ends. Hooks may throw `AutomationError`; the converter then
// fails with that error like with any other.
#pragma once

#include <chrono>
#include <functional>

#include "automation/variant.h"

namespace docmill::office_client {

using Clock = std::chrono::steady_clock;

struct Hooks {
  // Serves the calling thread's pending events; called where a converter waits or loops.
  // Does nothing by default: Linux threads have no message queue of their own.
  std::function<void()> pumpMessages;
  // Blocks the calling thread; a real sleep by default.
  std::function<void(std::chrono::milliseconds)> pause;
  // The clock that bounds the completion wait.
  std::function<Clock::time_point()> now;
  // One interpreter run from a PostScript file to a PDF file: the interpreter by default.
  // A failed run raises 0x80004101 and leaves no output of its own.
  std::function<void(const Variant& input, const Variant& output)> convertFile;
};

// The calling thread's hooks (defaults filled in).
const Hooks& hooks();

// Makes `pump` the calling thread's message pump (an empty function restores the no-op).
void setMessagePump(std::function<void()> pump);

// Replaces the calling thread's hooks for the lifetime of the object. Empty members of
// `replacement` keep the hook that was in force.
class ScopedHooks {
 public:
  explicit ScopedHooks(Hooks replacement);
  ~ScopedHooks();
  ScopedHooks(const ScopedHooks&) = delete;
  ScopedHooks& operator=(const ScopedHooks&) = delete;

 private:
  Hooks saved_;
};

// One pass over the calling thread's pending messages.
inline void pumpMessages() {
  hooks().pumpMessages();
}

}  // namespace docmill::office_client
