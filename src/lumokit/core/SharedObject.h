// TSharedObject: the base of every value that lives outside a record and may
// be referenced from several records, parameters or variants at once
// (large objects, structured values, variant holders). Its lifetime is an
// intrusive reference count; TSharedRef<T> is the smart pointer that holds
// one counted reference.
//
// Decisions:
// - The count is atomic, so references may be taken and dropped from
//   several threads; the object itself is not locked.
// - A new object has a count of 1, owned by its creator. Release() (and
//   Free(), its other name) destroys the object when the count falls from 1.
//   Objects must therefore be created with new (NewShared<T>() does that and
//   hands the creation reference to a TSharedRef).
// - Releasing an object whose count is already 0 or below is a broken
//   invariant and raises EAssertionFailed.
// - CheckValid raises "Invalid SharedObject" when the count is 0 or below.
//   The destructor sets the count to 0, so the check catches use from
//   within destruction (a callback running while the object is being
//   destroyed). It cannot detect use of an object whose memory has already
//   been freed: lifetime is by reference, and holding a TSharedRef is what
//   keeps an object alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace lumo {

class Variant;

class TSharedObject {
 public:
  TSharedObject() noexcept : FRefCount(1) {}
  TSharedObject(const TSharedObject&) = delete;
  TSharedObject& operator=(const TSharedObject&) = delete;
  virtual ~TSharedObject();

  void AddRef() noexcept { FRefCount.fetch_add(1, std::memory_order_relaxed); }
  void Release();
  void Free() { Release(); }
  std::int32_t RefCount() const noexcept { return FRefCount.load(std::memory_order_acquire); }
  // The handle stored in record slots: the object's own address.
  void* GCHandle() noexcept { return this; }
  void CheckValid() const;

  // Drops server-side state; nothing here, providers override it.
  virtual void Disconnect() {}

  // A variant of type varSharedObject holding a counted reference.
  Variant ToVariant();
  // nullptr for a null or empty variant; otherwise the variant must be of
  // type varSharedObject (else EVariantTypeCastError). The object is not
  // referenced again: the variant keeps it alive.
  static TSharedObject* FromVariant(const Variant& value);

 private:
  std::atomic<std::int32_t> FRefCount;
};

// One counted reference to a TSharedObject (or descendant).
template <class T>
class TSharedRef {
  static_assert(std::is_base_of_v<TSharedObject, T>, "TSharedRef holds TSharedObject descendants");

 public:
  TSharedRef() noexcept = default;
  TSharedRef(std::nullptr_t) noexcept {}
  // Takes over a reference the caller already holds (e.g. the creation one).
  static TSharedRef Adopt(T* object) noexcept {
    TSharedRef r;
    r.FObject = object;
    return r;
  }
  // Adds a reference of its own.
  static TSharedRef Share(T* object) noexcept {
    if (object) object->AddRef();
    return Adopt(object);
  }

  TSharedRef(const TSharedRef& other) noexcept : FObject(other.FObject) {
    if (FObject) FObject->AddRef();
  }
  TSharedRef(TSharedRef&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
  template <class U, std::enable_if_t<std::is_convertible_v<U*, T*>, int> = 0>
  TSharedRef(const TSharedRef<U>& other) noexcept : FObject(other.Get()) {
    if (FObject) FObject->AddRef();
  }
  template <class U, std::enable_if_t<std::is_convertible_v<U*, T*>, int> = 0>
  TSharedRef(TSharedRef<U>&& other) noexcept : FObject(other.Detach()) {}

  TSharedRef& operator=(TSharedRef other) noexcept {
    std::swap(FObject, other.FObject);
    return *this;
  }
  ~TSharedRef() { Reset(); }

  void Reset() {
    if (T* p = std::exchange(FObject, nullptr)) p->Release();
  }
  // Gives up the reference without releasing it.
  T* Detach() noexcept { return std::exchange(FObject, nullptr); }
  T* Get() const noexcept { return FObject; }
  T* operator->() const noexcept { return FObject; }
  T& operator*() const noexcept { return *FObject; }
  explicit operator bool() const noexcept { return FObject != nullptr; }
  friend bool operator==(const TSharedRef& a, const TSharedRef& b) noexcept { return a.FObject == b.FObject; }

 private:
  T* FObject = nullptr;
};

template <class T, class... Args>
TSharedRef<T> NewShared(Args&&... args) {
  return TSharedRef<T>::Adopt(new T(std::forward<Args>(args)...));
}

}  // namespace lumo
