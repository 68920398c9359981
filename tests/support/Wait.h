// Waiting in tests for something another thread or process does: poll a
// condition with a generous deadline instead of sleeping for a guessed time,
// so that a slow, shared or sanitized machine only makes a test slower.
#pragma once

#include <chrono>
#include <thread>

namespace lumo::test {

// A deadline far beyond any healthy wait, well inside the test runner's.
constexpr int kPatienceMs = 20000;

// Polls `done` until it holds (true) or `timeoutMs` have passed (false).
template <class Condition>
bool WaitUntil(Condition done, int timeoutMs = kPatienceMs, int pollMs = 5) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

}  // namespace lumo::test
