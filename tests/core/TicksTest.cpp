#include <gtest/gtest.h>

#include <thread>

#include <lumokit/core/Ticks.h>

namespace lumo {
namespace {

TEST(Ticks, CounterAdvancesWithSleep) {
  std::uint64_t a = GetTickCount64();
  Sleep(25);
  std::uint64_t b = GetTickCount64();
  EXPECT_GE(TickDiff(a, b), 24u);
  // The 32-bit counter is the low half of the 64-bit one: read between two
  // readings of that, it lies between their low halves.
  const std::uint64_t before = GetTickCount64();
  const std::uint32_t low = GetTickCount32();
  const std::uint64_t after = GetTickCount64();
  EXPECT_LE(TickDiff32(static_cast<std::uint32_t>(before), low), TickDiff(before, after));
  // No pause for zero or less.
  std::uint64_t c = GetTickCount64();
  Sleep(0);
  Sleep(-5);
  EXPECT_LT(TickDiff(c, GetTickCount64()), 5000u);
}

TEST(Ticks, DifferencesAcrossWrapAndBackwards) {
  EXPECT_EQ(TickDiff32(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(TickDiff32(100, 250), 150u);
  EXPECT_EQ(TickDiff(250, 100), 0u);
  EXPECT_EQ(TickDiff(100, 250), 150u);
}

TEST(Ticks, ManualClockMovesOnlyWhenTold) {
  TManualClock clock(1000);
  IClock& c = clock;
  EXPECT_EQ(c.NowMs(), 1000u);
  clock.Advance(30000);
  EXPECT_EQ(c.NowMs(), 31000u);
  clock.SetNowMs(5);
  EXPECT_EQ(c.NowMs(), 5u);

  std::thread t([&] { clock.Advance(10); });
  t.join();
  EXPECT_EQ(c.NowMs(), 15u);

  std::uint64_t a = DefaultClock().NowMs();
  EXPECT_LE(a, GetTickCount64());
  EXPECT_GE(a + 1000, GetTickCount64());
}

}  // namespace
}  // namespace lumo
