#include "automation/call_context.h"

#include <algorithm>
#include <utility>

namespace docmill {

namespace {
thread_local std::shared_ptr<CallContext> tlsContext;
}  // namespace

std::shared_ptr<CallContext> CallContext::current() {
  return tlsContext;
}

void CallContext::cancel() {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true)) return;
    entries = entries_;
  }
  for (const auto& entry : entries) {
    std::lock_guard lock(entry->mutex);
    if (!entry->active) continue;
    entry->active = false;
    entry->fn();
  }
}

CallContext::Hook CallContext::onCancel(const std::shared_ptr<CallContext>& context,
                                        std::function<void()> fn) {
  if (!context) return {};
  auto entry = std::make_shared<Entry>();
  entry->fn = std::move(fn);
  {
    std::lock_guard lock(context->mutex_);
    if (!context->cancelled_.load()) {
      context->entries_.push_back(entry);
      return Hook(context, entry);
    }
  }
  entry->active = false;
  entry->fn();
  return {};
}

CallContext::Hook& CallContext::Hook::operator=(Hook&& other) noexcept {
  if (this != &other) {
    reset();
    context_ = std::move(other.context_);
    entry_ = std::move(other.entry_);
  }
  return *this;
}

void CallContext::Hook::reset() {
  if (!entry_) return;
  if (auto context = context_.lock()) {
    std::lock_guard lock(context->mutex_);
    auto& list = context->entries_;
    list.erase(std::remove(list.begin(), list.end(), entry_), list.end());
  }
  {
    // Waits for the hook if it runs now; it never runs after this.
    std::lock_guard lock(entry_->mutex);
    entry_->active = false;
  }
  entry_.reset();
  context_.reset();
}

CallContext::Scope::Scope(std::shared_ptr<CallContext> context)
    : previous_(std::exchange(tlsContext, std::move(context))) {}

CallContext::Scope::~Scope() {
  tlsContext = std::move(previous_);
}

Error cancelledError() {
  return Error{hr::E_ABORT, "docmill", "The call was cancelled by its caller."};
}

void raiseIfCancelled() {
  if (tlsContext && tlsContext->cancelled()) raise(cancelledError());
}

}  // namespace docmill
