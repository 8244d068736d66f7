// The one way a test waits for something that happens in another process.
#pragma once

#include <chrono>
#include <thread>

namespace brantwick::testing {

// Polls `condition` until it holds or `timeout` passes; a condition that costs
// more (a file read in whole, a datagram sent) asks for a longer `step`.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace brantwick::testing
