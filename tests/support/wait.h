// Waiting in tests for something to happen, instead of sleeping for a guessed time: the
// condition is looked at again every few milliseconds until it holds or a generous limit
// passes (the limit only keeps a broken build from hanging; it is never what a test
// measures).
#pragma once

#include <chrono>
#include <thread>

namespace docmill::test {

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace docmill::test
