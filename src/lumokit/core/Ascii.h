// Case mapping and case-insensitive comparison for ASCII letters only, for
// the words and names the system itself defines (SQL keywords, character
// set and option names, form identifiers). Every byte outside A-Z and a-z,
// including each byte of a UTF-8 sequence, stays as it is; case mapping of
// user text by locale is Collation's.
#pragma once

#include <string>
#include <string_view>

namespace lumo {

constexpr bool IsAsciiUpper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool IsAsciiLower(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr char AsciiUpper(char c) noexcept { return IsAsciiLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char AsciiLower(char c) noexcept { return IsAsciiUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr unsigned char AsciiUpper(unsigned char c) noexcept {
  return static_cast<unsigned char>(AsciiUpper(static_cast<char>(c)));
}
constexpr unsigned char AsciiLower(unsigned char c) noexcept {
  return static_cast<unsigned char>(AsciiLower(static_cast<char>(c)));
}

std::string AsciiUpperCase(std::string_view s);
std::string AsciiLowerCase(std::string_view s);
// Equal but for the case of ASCII letters.
bool SameTextAscii(std::string_view a, std::string_view b) noexcept;
// <0, 0, >0 as `a` orders before, equal to or after `b` with A-Z and a-z
// alike (bytes compared unsigned; a prefix orders first).
int CompareTextAscii(std::string_view a, std::string_view b) noexcept;

}  // namespace lumo
