#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <lumokit/core/SyncObjs.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/core/Ticks.h>

namespace lumo {
namespace {

TEST(ManualResetEvent, TimesOutWhenNotSignalled) {
  ManualResetEvent e;
  std::uint64_t start = GetTickCount64();
  EXPECT_FALSE(e.WaitFor(60));
  EXPECT_GE(TickDiff(start, GetTickCount64()), 59u);
  EXPECT_FALSE(e.WaitFor(0));
}

TEST(ManualResetEvent, StaysSignalledUntilReset) {
  ManualResetEvent e(true);
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_TRUE(e.WaitFor(-1));
  e.ResetEvent();
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.WaitFor(0));
}

TEST(ManualResetEvent, SignalFromAnotherThreadReleasesAllWaiters) {
  ManualResetEvent e;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.WaitFor(10000)) ++released;
    });
  std::thread signaller([&] {
    Sleep(30);
    e.SetEvent();
  });
  std::uint64_t start = GetTickCount64();
  EXPECT_TRUE(e.WaitFor(-1));
  EXPECT_LT(TickDiff(start, GetTickCount64()), 5000u);
  signaller.join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
}

TEST(AutoResetEvent, EachSignalReleasesOneWait) {
  AutoResetEvent e;
  e.SetEvent();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_FALSE(e.WaitFor(0));  // consumed

  std::atomic<int> released{0};
  std::thread a([&] { released += e.WaitFor(5000) ? 1 : 0; });
  std::thread b([&] { released += e.WaitFor(5000) ? 1 : 0; });
  e.SetEvent();
  // The second signal only after the first was taken: a signal given while
  // one is still pending is not counted twice.
  for (int i = 0; i < 500 && released.load() == 0; ++i) Sleep(10);
  EXPECT_EQ(released.load(), 1);
  e.SetEvent();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
}

class LockFile : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = (std::filesystem::temp_directory_path() / ("lumo-lock-" + std::to_string(::getpid()) + ".lock")).string();
  }
  void TearDown() override { std::filesystem::remove(FPath); }
  std::string FPath;
};

TEST_F(LockFile, SecondHolderTimesOutUntilTheFirstReleases) {
  NamedFileLock first(FPath);
  NamedFileLock second(FPath);
  ASSERT_TRUE(first.Acquire(0));
  EXPECT_TRUE(first.Acquire(0));  // already held by this object

  std::uint64_t start = GetTickCount64();
  EXPECT_FALSE(second.Acquire(120));
  std::uint64_t waited = TickDiff(start, GetTickCount64());
  EXPECT_GE(waited, 119u);
  EXPECT_LT(waited, 2000u);
  EXPECT_FALSE(second.Held());

  // Released from another thread while the second one polls.
  std::thread releaser([&] {
    Sleep(50);
    first.Release();
  });
  EXPECT_TRUE(second.Acquire(5000));
  releaser.join();
  EXPECT_TRUE(second.Held());
  EXPECT_FALSE(first.Acquire(0));
}

TEST_F(LockFile, DestructionReleasesTheLock) {
  NamedFileLock waiter(FPath);
  {
    NamedFileLock holder(FPath);
    ASSERT_TRUE(holder.Acquire(-1));
    EXPECT_FALSE(waiter.Acquire(0));
  }
  EXPECT_TRUE(waiter.Acquire(0));
}

TEST_F(LockFile, NamesMapToOneFileAndBadPathsFail) {
  EXPECT_EQ(NamedFileLock::PathForName("  /Var/Lib:MySQL\\Data "), NamedFileLock::PathForName("/var/lib:mysql\\data"));
  std::string path = NamedFileLock::PathForName("/var/lib/mysql/data");
  EXPECT_EQ(path.substr(path.find_last_of('/')), "/lumokit- var lib mysql data.lock");
  EXPECT_THROW(NamedFileLock::PathForName("   "), EArgumentError);
  EXPECT_LE(NamedFileLock::PathForName(std::string(400, 'x')).size() - path.find_last_of('/'), 256u);
  try {
    NamedFileLock bad(FPath + ".missing-folder/x.lock");
    FAIL() << "opened a lock file in a missing folder";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOENT);
  }
}

}  // namespace
}  // namespace lumo
