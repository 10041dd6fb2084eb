#include "office_client/hooks.h"

#include <thread>

#include "ghostscript/conversions.h"

namespace docmill::office_client {

namespace {

Hooks defaults() {
  Hooks h;
  h.pumpMessages = [] {};
  h.pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  h.now = [] { return Clock::now(); };
  h.convertFile = [](const Variant& in, const Variant& out) { gs::convertFileOrRaise(in, out); };
  return h;
}

Hooks& current() {
  thread_local Hooks h = defaults();
  return h;
}

}  // namespace

const Hooks& hooks() {
  return current();
}

void setMessagePump(std::function<void()> pump) {
  current().pumpMessages = pump ? std::move(pump) : std::function<void()>([] {});
}

ScopedHooks::ScopedHooks(Hooks replacement) : saved_(current()) {
  Hooks& h = current();
  if (replacement.pumpMessages) h.pumpMessages = std::move(replacement.pumpMessages);
  if (replacement.pause) h.pause = std::move(replacement.pause);
  if (replacement.now) h.now = std::move(replacement.now);
  if (replacement.convertFile) h.convertFile = std::move(replacement.convertFile);
}

ScopedHooks::~ScopedHooks() {
  current() = std::move(saved_);
}

}  // namespace docmill::office_client
