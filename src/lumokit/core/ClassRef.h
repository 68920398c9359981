// Class references: a record {type, factory, name} that stands for a class
// in one role (a provider's connection class, a component's service class
// ...) and makes objects of it as the role's base class. Components ask
// their providers for such references and create what they need from them.
//
// Decisions:
// - The exact class test is typeid equality, never an inheritance test.
// - Base may be an incomplete type where a reference is only passed on;
//   creating and testing need it complete.
// - Creating through an empty reference is a programming error ("Must be
//   overrided": the role's owner did not supply a class).
#pragma once

#include <memory>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <lumokit/core/SysUtils.h>

namespace lumo {

// The identity of a class: what the exact class test compares.
struct TClassId {
  const std::type_info* Type = nullptr;
  std::string_view Name;

  bool Matches(const std::type_info& cls) const noexcept { return Type && *Type == cls; }
};

template <class T>
TClassId ClassIdOf(std::string_view name) noexcept {
  return {&typeid(T), name};
}

// A class reference of one role: objects are made as Base with the
// constructor arguments Args.
template <class Base, class... Args>
struct TLumoClassRef {
  using TFactory = std::unique_ptr<Base> (*)(Args...);

  const std::type_info* Type = nullptr;
  TFactory Factory = nullptr;
  std::string_view Name;

  constexpr TLumoClassRef() noexcept = default;
  constexpr TLumoClassRef(const std::type_info* type, TFactory factory, std::string_view name = {}) noexcept
      : Type(type), Factory(factory), Name(name) {}
  constexpr TLumoClassRef(TFactory factory, const std::type_info& type) noexcept : Type(&type), Factory(factory) {}

  explicit operator bool() const noexcept { return Factory != nullptr; }
  std::unique_ptr<Base> Create(Args... args) const {
    if (!Factory) AssertionFailure(__FILE__, __LINE__, "Must be overrided");
    return Factory(std::forward<Args>(args)...);
  }
  // Whether `object` is exactly of this class.
  bool IsClassOf(const Base& object) const noexcept { return Type && typeid(object) == *Type; }
  bool IsClassOf(const Base* object) const noexcept { return object && IsClassOf(*object); }
  TClassId Id() const noexcept { return {Type, Name}; }
  friend bool operator==(const TLumoClassRef& a, const TLumoClassRef& b) noexcept {
    return a.Type == b.Type || (a.Type && b.Type && *a.Type == *b.Type);
  }
};

// The components' name for references made without arguments.
template <class Base>
using TClassRef = TLumoClassRef<Base>;

// The reference of class T in the role Base.
template <class Base, class T, class... Args>
TLumoClassRef<Base, Args...> LumoClassOf(std::string_view name) noexcept {
  static_assert(std::is_base_of_v<Base, T>, "the class must belong to the role");
  return {&typeid(T),
          [](Args... args) -> std::unique_ptr<Base> { return std::make_unique<T>(std::forward<Args>(args)...); },
          name};
}

template <class Base, class T>
TClassRef<Base> ClassOf(std::string_view name = {}) noexcept {
  return LumoClassOf<Base, T>(name);
}

}  // namespace lumo
