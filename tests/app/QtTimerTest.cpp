// The desktop client's timers over Qt's event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <memory>

#include <lumokit/core/KxTimer.h>
#include "QtTimer.h"

namespace lumo {
namespace {

// The client's timers fire from the event loop, not while being armed, and
// only while the client's factory is installed.
TEST(ClientTimers, FireOnTheEventLoopWhileInstalled) {
  ASSERT_EQ(CreateKxTimer(), nullptr);
  {
    TQtTimerFactoryScope scope;
    std::unique_ptr<TKxTimer> timer = CreateKxTimer();
    ASSERT_NE(timer, nullptr);
    int fired = 0;
    timer->OnTimer = [&] { ++fired; };
    timer->Start(10);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(fired, 0);
    QDeadlineTimer deadline(20000);
    while (fired == 0 && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->Enabled());
    // A stopped timer never fires; a second timer proves the loop ran past it.
    timer->Start(0);
    timer->Stop();
    std::unique_ptr<TKxTimer> probe = CreateKxTimer();
    bool probed = false;
    probe->OnTimer = [&] { probed = true; };
    probe->Start(30);
    while (!probed && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_TRUE(probed);
    EXPECT_EQ(fired, 1);
  }
  EXPECT_EQ(CreateKxTimer(), nullptr);
}

}  // namespace
}  // namespace lumo
