#include <lumokit/core/SharedObject.h>

#include <lumokit/core/SysUtils.h>

namespace lumo {

TSharedObject::~TSharedObject() { FRefCount.store(0, std::memory_order_release); }

void TSharedObject::Release() {
  const std::int32_t before = FRefCount.fetch_sub(1, std::memory_order_acq_rel);
  if (before == 1) {
    delete this;
  } else if (before <= 0) {
    FRefCount.fetch_add(1, std::memory_order_relaxed);  // leave the count as it was
    LUMO_ASSERT(before > 0);
  }
}

void TSharedObject::CheckValid() const {
  if (RefCount() <= 0) throw Exception("Invalid SharedObject");
}

// ToVariant and FromVariant are defined with the Variant type (Variant.cpp).

}  // namespace lumo
