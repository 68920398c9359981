// Message templates in the classic printf-like dialect the system's texts
// use: %s, %d, %u, %x/%X, %e/%f/%g/%n, %%, width, precision ("%-.64s"), '*'
// and indexed arguments ("%0:s"). Format never throws: a specifier without a
// matching argument is copied as it stands, and only the template is scanned,
// so text substituted from outside is never treated as a template.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace lumo {

class FormatArg {
 public:
  using Value = std::variant<std::int64_t, std::uint64_t, double, std::string_view, const void*>;

  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
  FormatArg(T v) : FValue(static_cast<std::int64_t>(v)) {}
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T> && !std::is_same_v<T, bool>, int> = 0>
  FormatArg(T v) : FValue(static_cast<std::uint64_t>(v)) {}
  FormatArg(bool v) : FValue(static_cast<std::int64_t>(v ? 1 : 0)) {}
  FormatArg(double v) : FValue(v) {}
  FormatArg(float v) : FValue(static_cast<double>(v)) {}
  FormatArg(const std::string& v) : FValue(std::string_view(v)) {}
  FormatArg(std::string_view v) : FValue(v) {}
  FormatArg(const char* v) : FValue(std::string_view(v ? v : "")) {}
  FormatArg(const void* v) : FValue(v) {}

  const Value& Get() const { return FValue; }

 private:
  Value FValue;
};

std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args) noexcept;

}  // namespace lumo
