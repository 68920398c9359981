#include "QtTimer.h"

#include <QTimer>

#include <memory>
#include <utility>

namespace lumo {

namespace {

class TQtKxTimer : public TKxTimer {
 public:
  TQtKxTimer() {
    FTimer.setSingleShot(true);
    // Fired timers stop (single shot) before the handler runs, so the
    // handler may start the timer again.
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (OnTimer) OnTimer();
    });
  }

  void Start(int intervalMs) override { FTimer.start(intervalMs < 0 ? 0 : intervalMs); }
  void Stop() override { FTimer.stop(); }
  bool Enabled() const override { return FTimer.isActive(); }

 private:
  QTimer FTimer;
};

}  // namespace

TQtTimerFactoryScope::TQtTimerFactoryScope()
    : FPrevious(SetKxTimerFactory([]() -> std::unique_ptr<TKxTimer> { return std::make_unique<TQtKxTimer>(); })) {}

TQtTimerFactoryScope::~TQtTimerFactoryScope() { SetKxTimerFactory(std::move(FPrevious)); }

}  // namespace lumo
