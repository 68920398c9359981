// A manual clock for tests of delayed work: while it lives it is the
// process's timer factory, and its timers fire only when the test advances
// the clock, in the order they fall due, on the test's own thread.
#pragma once

#include <memory>
#include <vector>

#include <lumokit/core/KxTimer.h>

namespace lumo::test {

class TManualClock {
 public:
  TManualClock();
  ~TManualClock();
  TManualClock(const TManualClock&) = delete;
  TManualClock& operator=(const TManualClock&) = delete;

  // Moves the clock on; every timer due by then fires (a handler may arm
  // timers again, which fire too when they fall due within the step).
  void Advance(int ms);
  long long Now() const noexcept { return FNow; }
  // Timers created from this clock that are armed now.
  int ArmedTimers() const;

 private:
  class TTimer;
  friend class TTimer;

  long long FNow = 0;
  std::vector<TTimer*> FTimers;
  TKxTimerFactory FPrevious;
};

}  // namespace lumo::test
