#include <lumokit/core/Ticks.h>

#include <chrono>
#include <thread>

namespace lumo {

std::uint64_t GetTickCount64() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t GetTickCount32() { return static_cast<std::uint32_t>(GetTickCount64()); }

void Sleep(std::int64_t ms) {
  if (ms <= 0) return;
  // sleep_for resumes after a signal with the remaining time.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

IClock& DefaultClock() {
  static TSteadyClock clock;
  return clock;
}

}  // namespace lumo
