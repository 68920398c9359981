// The library's delayed-work timer (TKxTimer) over Qt's event loop: a
// single-shot QTimer that runs the handler on the thread that owns the
// window. The client installs its factory for as long as it runs, so a
// detail data set's delayed refresh waits its delay instead of running at
// once.
#pragma once

#include <lumokit/core/KxTimer.h>

namespace lumo {

// Installs the Qt timer factory while alive and puts the previous factory
// back when it ends.
class TQtTimerFactoryScope {
 public:
  TQtTimerFactoryScope();
  ~TQtTimerFactoryScope();
  TQtTimerFactoryScope(const TQtTimerFactoryScope&) = delete;
  TQtTimerFactoryScope& operator=(const TQtTimerFactoryScope&) = delete;

 private:
  TKxTimerFactory FPrevious;
};

}  // namespace lumo
