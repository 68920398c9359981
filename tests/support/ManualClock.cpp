#include "ManualClock.h"

#include <algorithm>

namespace lumo::test {

class TManualClock::TTimer : public TKxTimer {
 public:
  explicit TTimer(TManualClock& clock) : FClock(&clock) { clock.FTimers.push_back(this); }
  ~TTimer() override {
    if (FClock) std::erase(FClock->FTimers, this);
  }
  void Start(int intervalMs) override {
    FDue = (FClock ? FClock->FNow : 0) + std::max(intervalMs, 0);
    FArmed = true;
  }
  void Stop() override { FArmed = false; }
  bool Enabled() const override { return FArmed; }

  TManualClock* FClock;
  long long FDue = 0;
  bool FArmed = false;
};

TManualClock::TManualClock() {
  FPrevious = SetKxTimerFactory([this]() -> std::unique_ptr<TKxTimer> { return std::make_unique<TTimer>(*this); });
}

TManualClock::~TManualClock() {
  for (TTimer* t : FTimers) t->FClock = nullptr;
  SetKxTimerFactory(std::move(FPrevious));
}

void TManualClock::Advance(int ms) {
  const long long target = FNow + std::max(ms, 0);
  for (;;) {
    TTimer* next = nullptr;
    for (TTimer* t : FTimers)
      if (t->FArmed && t->FDue <= target && (!next || t->FDue < next->FDue)) next = t;
    if (!next) break;
    FNow = std::max(FNow, next->FDue);
    next->FArmed = false;
    if (next->OnTimer) next->OnTimer();
  }
  FNow = target;
}

int TManualClock::ArmedTimers() const {
  return static_cast<int>(std::count_if(FTimers.begin(), FTimers.end(), [](const TTimer* t) { return t->FArmed; }));
}

}  // namespace lumo::test
