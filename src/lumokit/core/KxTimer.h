// The timer that components use for delayed work (the delayed refresh of a
// detail data set): an interface that fires its handler on the thread that
// owns the component, and a process-wide factory that the application
// installs over its event loop (the desktop client does so over Qt's).
//
// Decisions: without an installed factory there is no event loop to fire
// on, so CreateKxTimer returns nullptr and callers do the delayed work at
// once. A timer is single-shot-per-Start: Start (re)arms it, firing stops
// it, Stop disarms it; destroying it disarms it. Tests install a manual
// clock (tests/support) whose Advance fires the due timers.
#pragma once

#include <functional>
#include <memory>

namespace lumo {

class TKxTimer {
 public:
  TKxTimer() = default;
  TKxTimer(const TKxTimer&) = delete;
  TKxTimer& operator=(const TKxTimer&) = delete;
  virtual ~TKxTimer() = default;

  // Arms the timer to fire once after `intervalMs` milliseconds, replacing
  // an earlier arming.
  virtual void Start(int intervalMs) = 0;
  virtual void Stop() = 0;
  virtual bool Enabled() const = 0;

  // Runs on the owner's thread when the timer fires.
  std::function<void()> OnTimer;
};

using TKxTimerFactory = std::function<std::unique_ptr<TKxTimer>()>;

// Installs the process-wide factory (an empty one removes it) and returns
// the previous one.
TKxTimerFactory SetKxTimerFactory(TKxTimerFactory factory);
// A new timer from the installed factory, or nullptr when none is installed.
std::unique_ptr<TKxTimer> CreateKxTimer();

}  // namespace lumo
