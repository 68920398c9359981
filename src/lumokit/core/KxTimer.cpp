#include <lumokit/core/KxTimer.h>

#include <mutex>
#include <utility>

namespace lumo {

namespace {

struct TFactorySlot {
  std::mutex Lock;
  TKxTimerFactory Factory;
};

TFactorySlot& Slot() {
  static TFactorySlot slot;
  return slot;
}

}  // namespace

TKxTimerFactory SetKxTimerFactory(TKxTimerFactory factory) {
  std::lock_guard<std::mutex> lock(Slot().Lock);
  return std::exchange(Slot().Factory, std::move(factory));
}

std::unique_ptr<TKxTimer> CreateKxTimer() {
  TKxTimerFactory factory;
  {
    std::lock_guard<std::mutex> lock(Slot().Lock);
    factory = Slot().Factory;
  }
  return factory ? factory() : nullptr;
}

}  // namespace lumo
