// Cancellation contexts: hooks run once, on the cancelling thread, also when registered
// late; a dropped hook never runs and waits for one that is running; the context follows
// the threads it is installed on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "automation/call_context.h"

namespace docmill {
namespace {

TEST(CallContextTest, HooksRunOnceAndLateOnesAtOnce) {
  auto context = std::make_shared<CallContext>();
  int runs = 0;
  auto hook = CallContext::onCancel(context, [&] { ++runs; });
  auto dropped = CallContext::onCancel(context, [&] { runs += 100; });
  dropped.reset();
  context->cancel();
  context->cancel();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(context->cancelled());
  auto late = CallContext::onCancel(context, [&] { runs += 10; });
  EXPECT_EQ(runs, 11);
  // No context: nothing to cancel, nothing runs.
  auto none = CallContext::onCancel(nullptr, [&] { runs += 1000; });
  EXPECT_EQ(runs, 11);
}

TEST(CallContextTest, DroppingAHookWaitsForItToFinish) {
  auto context = std::make_shared<CallContext>();
  std::atomic<bool> started{false}, finished{false};
  auto hook = CallContext::onCancel(context, [&] {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    finished = true;
  });
  std::thread canceller([&] { context->cancel(); });
  while (!started) std::this_thread::yield();
  hook.reset();
  EXPECT_TRUE(finished);
  canceller.join();
}

TEST(CallContextTest, TheInstalledContextIsPerThreadAndRaisesOnceCancelled) {
  auto context = std::make_shared<CallContext>();
  EXPECT_EQ(CallContext::current(), nullptr);
  {
    CallContext::Scope scope(context);
    EXPECT_EQ(CallContext::current(), context);
    std::thread other([] { EXPECT_EQ(CallContext::current(), nullptr); });
    other.join();
    EXPECT_NO_THROW(raiseIfCancelled());
    context->cancel();
    try {
      raiseIfCancelled();
      FAIL();
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().number, hr::E_ABORT);
    }
  }
  EXPECT_EQ(CallContext::current(), nullptr);
  EXPECT_FALSE(context->timedOut());
  context->noteTimedOut();
  EXPECT_TRUE(context->timedOut());
}

}  // namespace
}  // namespace docmill
