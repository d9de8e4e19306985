// Waiting for an event in a test: polls a condition with a generous limit, since the
// machine running the tests may be busy.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// True once the condition holds; false when it still does not after the limit.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
