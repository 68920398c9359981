// The millisecond tick counter and sleeping, plus an injectable clock for
// code that measures intervals or runs timers: production code reads the
// steady clock, tests drive a manual one and never wait for real time.
//
// Decisions: ticks are milliseconds of std::chrono::steady_clock as an
// unsigned 64-bit count (they never wrap in practice). Places that keep the
// classic 32-bit wrapping tick (wire fields, stored tick counts) take
// GetTickCount32() and measure with TickDiff32(), which is modulo 2^32.
// TickDiff() of a later start than finish is 0, never a huge unsigned value.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumo {

// Milliseconds of the steady clock.
std::uint64_t GetTickCount64();
// The low 32 bits of GetTickCount64(): wraps about every 49.7 days.
std::uint32_t GetTickCount32();

// finish - start, or 0 when finish lies before start.
constexpr std::uint64_t TickDiff(std::uint64_t start, std::uint64_t finish) noexcept {
  return finish >= start ? finish - start : 0;
}
// finish - start modulo 2^32: correct across one wrap of a 32-bit counter.
constexpr std::uint32_t TickDiff32(std::uint32_t start, std::uint32_t finish) noexcept {
  return static_cast<std::uint32_t>(finish - start);
}

// Sleeps at least `ms` milliseconds (nothing for ms <= 0); EINTR-safe.
void Sleep(std::int64_t ms);

// A source of "now" in milliseconds.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual std::uint64_t NowMs() const = 0;
};

// The steady clock (GetTickCount64).
class TSteadyClock final : public IClock {
 public:
  std::uint64_t NowMs() const override { return GetTickCount64(); }
};

// The process-wide steady clock.
IClock& DefaultClock();

// A clock that moves only when told to; safe to read from other threads.
class TManualClock final : public IClock {
 public:
  explicit TManualClock(std::uint64_t startMs = 0) : FNow(startMs) {}
  std::uint64_t NowMs() const override { return FNow.load(std::memory_order_acquire); }
  void SetNowMs(std::uint64_t value) { FNow.store(value, std::memory_order_release); }
  void Advance(std::uint64_t ms) { FNow.fetch_add(ms, std::memory_order_acq_rel); }

 private:
  std::atomic<std::uint64_t> FNow;
};

}  // namespace lumo
