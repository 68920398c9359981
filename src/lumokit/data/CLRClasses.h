// Byte and text helpers used throughout the library: encodings that turn
// text into bytes and back for a code page, unaligned little-endian reads and
// writes of numbers in memory and byte vectors, and append-only text builders
// that the SQL generators build statements with. They are thin wrappers over
// CodePages and the standard library.
//
// Decisions: byte arrays are std::vector<uint8_t> (TBytes). 8-bit text given
// to or returned by an encoding is in the process code page. Every access to
// a byte vector is bounds-checked and raises ArgumentException (an alias of
// EArgumentError); raw-address accesses are the caller's responsibility, as
// their name says. GetMaxByteCount/GetMaxCharCount count UTF-16 code units.
// Unmanaged-memory allocation and the stream class are left out: containers
// and TStream serve instead.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

using TBytes = std::vector<std::uint8_t>;
using ArgumentException = EArgumentError;
using NotSupportedException = ENotSupportedError;

// Raises ArgumentException unless [index, index + count) lies within `size`.
[[noreturn]] void RaiseRangeError(std::size_t index, std::size_t count, std::size_t size);
inline void CheckRange(std::size_t index, std::size_t count, std::size_t size) {
  if (index > size || count > size - index) RaiseRangeError(index, count, size);
}

// ---- encodings -------------------------------------------------------------

class Encoding {
 public:
  // CP_ACP (0) follows the process code page, also when it changes later.
  // Raises "Invalid codepage (%d)" for an unsupported page.
  explicit Encoding(int codePage);

  static const Encoding& Default();  // the process 8-bit code page
  static const Encoding& ASCII();
  static const Encoding& Unicode();  // UTF-16 little-endian
  static const Encoding& BigEndianUnicode();
  static const Encoding& UTF8();
  // A shared instance per page (thread-safe).
  static const Encoding& GetEncoding(int CodePage);

  int CodePage() const;

  TBytes GetBytes(std::u16string_view chars) const;
  // 8-bit text in the process code page.
  TBytes GetBytes(std::string_view ansiText) const;

  std::u16string GetString(const TBytes& bytes) const { return GetWideString(bytes); }
  std::u16string GetString(const TBytes& bytes, std::size_t index, std::size_t count) const {
    return GetWideString(bytes, index, count);
  }
  std::u16string GetWideString(const TBytes& bytes) const;
  std::u16string GetWideString(const TBytes& bytes, std::size_t index, std::size_t count) const;
  std::u16string GetWideString(std::string_view bytes) const;
  std::string GetAnsiString(const TBytes& bytes) const;
  std::string GetAnsiString(const TBytes& bytes, std::size_t index, std::size_t count) const;
  std::string GetAnsiString(std::string_view bytes) const;

  std::size_t GetMaxByteCount(std::size_t charCount) const;
  std::size_t GetMaxCharCount(std::size_t byteCount) const;

  static TBytes Convert(const Encoding& srcEncoding, const Encoding& dstEncoding, const TBytes& bytes);
  static TBytes Convert(const Encoding& srcEncoding, const Encoding& dstEncoding, const TBytes& bytes,
                        std::size_t index, std::size_t count);

 private:
  int FCodePage;
};

using CodePageEncoding = Encoding;

// ---- little-endian numbers in memory ----------------------------------------

namespace detail {

template <typename T>
T ByteSwap(T v) noexcept {
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v), r = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    r = static_cast<U>((r << 8) | (u & 0xFF));
    u = static_cast<U>(u >> 8);
  }
  return static_cast<T>(r);
}

template <typename T>
T LoadLE(const void* p) noexcept {
  if constexpr (std::is_floating_point_v<T>) {
    using I = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    I bits = LoadLE<I>(p);
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  } else {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) v = ByteSwap(v);
    return v;
  }
}

template <typename T>
void StoreLE(void* p, T v) noexcept {
  if constexpr (std::is_floating_point_v<T>) {
    using I = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    I bits;
    std::memcpy(&bits, &v, sizeof v);
    StoreLE<I>(p, bits);
  } else {
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) v = ByteSwap(v);
    std::memcpy(p, &v, sizeof v);
  }
}

}  // namespace detail

// Reads and writes at an address plus an offset (unchecked), and at an offset
// into a byte vector (checked).
namespace Marshal {

template <typename T>
T Read(const void* ptr, std::ptrdiff_t ofs = 0) noexcept {
  return detail::LoadLE<T>(static_cast<const std::uint8_t*>(ptr) + ofs);
}
template <typename T>
void Write(void* ptr, std::ptrdiff_t ofs, T value) noexcept {
  detail::StoreLE<T>(static_cast<std::uint8_t*>(ptr) + ofs, value);
}
template <typename T>
T Read(const TBytes& buf, std::size_t ofs) {
  CheckRange(ofs, sizeof(T), buf.size());
  return detail::LoadLE<T>(buf.data() + ofs);
}
template <typename T>
void Write(TBytes& buf, std::size_t ofs, T value) {
  CheckRange(ofs, sizeof(T), buf.size());
  detail::StoreLE<T>(buf.data() + ofs, value);
}

inline std::uint8_t ReadByte(const void* p, std::ptrdiff_t ofs = 0) noexcept { return Read<std::uint8_t>(p, ofs); }
inline std::int16_t ReadInt16(const void* p, std::ptrdiff_t ofs = 0) noexcept { return Read<std::int16_t>(p, ofs); }
inline std::int32_t ReadInt32(const void* p, std::ptrdiff_t ofs = 0) noexcept { return Read<std::int32_t>(p, ofs); }
inline std::int64_t ReadInt64(const void* p, std::ptrdiff_t ofs = 0) noexcept { return Read<std::int64_t>(p, ofs); }
inline void* ReadIntPtr(const void* p, std::ptrdiff_t ofs = 0) noexcept {
  return reinterpret_cast<void*>(Read<std::uintptr_t>(p, ofs));
}
inline void WriteByte(void* p, std::ptrdiff_t ofs, std::uint8_t v) noexcept { Write(p, ofs, v); }
inline void WriteInt16(void* p, std::ptrdiff_t ofs, std::int16_t v) noexcept { Write(p, ofs, v); }
inline void WriteInt32(void* p, std::ptrdiff_t ofs, std::int32_t v) noexcept { Write(p, ofs, v); }
inline void WriteInt64(void* p, std::ptrdiff_t ofs, std::int64_t v) noexcept { Write(p, ofs, v); }
inline void WriteIntPtr(void* p, std::ptrdiff_t ofs, const void* v) noexcept {
  Write(p, ofs, reinterpret_cast<std::uintptr_t>(v));
}

inline std::uint8_t ReadByte(const TBytes& b, std::size_t ofs) { return Read<std::uint8_t>(b, ofs); }
inline std::int16_t ReadInt16(const TBytes& b, std::size_t ofs) { return Read<std::int16_t>(b, ofs); }
inline std::int32_t ReadInt32(const TBytes& b, std::size_t ofs) { return Read<std::int32_t>(b, ofs); }
inline std::int64_t ReadInt64(const TBytes& b, std::size_t ofs) { return Read<std::int64_t>(b, ofs); }
inline void WriteByte(TBytes& b, std::size_t ofs, std::uint8_t v) { Write(b, ofs, v); }
inline void WriteInt16(TBytes& b, std::size_t ofs, std::int16_t v) { Write(b, ofs, v); }
inline void WriteInt32(TBytes& b, std::size_t ofs, std::int32_t v) { Write(b, ofs, v); }
inline void WriteInt64(TBytes& b, std::size_t ofs, std::int64_t v) { Write(b, ofs, v); }

// Zero-terminated text at an address (nullptr gives ""), or `len` units.
std::string PtrToStringAnsi(const char* p);
std::string PtrToStringAnsi(const char* p, std::size_t len);
std::u16string PtrToStringUni(const char16_t* p);
std::u16string PtrToStringUni(const char16_t* p, std::size_t len);

// Copies `count` bytes between a byte vector (checked) and memory.
void Copy(const TBytes& source, std::size_t startIndex, void* destination, std::size_t count);
void Copy(const void* source, TBytes& destination, std::size_t startIndex, std::size_t count);

}  // namespace Marshal

// Numbers to and from little-endian byte vectors.
namespace BitConverter {

template <typename T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
TBytes GetBytes(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return TBytes{static_cast<std::uint8_t>(value ? 1 : 0)};
  } else {
    TBytes b(sizeof(T));
    detail::StoreLE<T>(b.data(), value);
    return b;
  }
}

inline bool ToBoolean(const TBytes& b, std::size_t i) { return Marshal::Read<std::uint8_t>(b, i) != 0; }
inline std::int16_t ToInt16(const TBytes& b, std::size_t i) { return Marshal::Read<std::int16_t>(b, i); }
inline std::uint16_t ToUInt16(const TBytes& b, std::size_t i) { return Marshal::Read<std::uint16_t>(b, i); }
inline std::int32_t ToInt32(const TBytes& b, std::size_t i) { return Marshal::Read<std::int32_t>(b, i); }
inline std::uint32_t ToUInt32(const TBytes& b, std::size_t i) { return Marshal::Read<std::uint32_t>(b, i); }
inline std::int64_t ToInt64(const TBytes& b, std::size_t i) { return Marshal::Read<std::int64_t>(b, i); }
inline std::uint64_t ToUInt64(const TBytes& b, std::size_t i) { return Marshal::Read<std::uint64_t>(b, i); }
inline float ToSingle(const TBytes& b, std::size_t i) { return Marshal::Read<float>(b, i); }
inline double ToDouble(const TBytes& b, std::size_t i) { return Marshal::Read<double>(b, i); }

std::int64_t DoubleToInt64Bits(double value) noexcept;
double Int64BitsToDouble(std::int64_t value) noexcept;

}  // namespace BitConverter

// Byte-vector copies; both ranges are checked, overlapping ranges allowed.
namespace Buffer {

void BlockCopy(const TBytes& src, std::size_t srcOffset, TBytes& dst, std::size_t dstOffset, std::size_t count);
std::uint8_t GetByte(const TBytes& array, std::size_t index);
void SetByte(TBytes& array, std::size_t index, std::uint8_t value);

}  // namespace Buffer

// ---- text builders -----------------------------------------------------------

// Append-only text over a character array with a separate actual length.
// When an append does not fit, the array grows to the needed length plus the
// current length plus half the current capacity.
template <typename CharT>
class TStringBuilderT {
 public:
  using string_type = std::basic_string<CharT>;
  using view_type = std::basic_string_view<CharT>;

  explicit TStringBuilderT(std::size_t capacity = 16);
  explicit TStringBuilderT(view_type value);

  TStringBuilderT& Append(view_type value);
  // `count` characters of `value` from `startIndex`; raises when out of range.
  TStringBuilderT& Append(view_type value, std::size_t startIndex, std::size_t count);
  TStringBuilderT& Append(CharT value);
  TStringBuilderT& Append(CharT value, std::size_t repeatCount);
  TStringBuilderT& Append(const TStringBuilderT& value);
  TStringBuilderT& Insert(std::size_t index, view_type value);
  // Replaces every occurrence; an empty `oldValue` raises.
  TStringBuilderT& Replace(view_type oldValue, view_type newValue);

  string_type ToString() const { return string_type(FString.data(), FActualLength); }
  view_type View() const noexcept { return view_type(FString.data(), FActualLength); }
  std::size_t Length() const noexcept { return FActualLength; }
  // Cuts the text, or extends it with zero characters.
  void SetLength(std::size_t value);
  std::size_t Capacity() const noexcept { return FString.size(); }
  void Clear() noexcept { FActualLength = 0; }
  CharT operator[](std::size_t index) const;

 private:
  void Grow(std::size_t needed);

  string_type FString;  // its size is the capacity
  std::size_t FActualLength = 0;
};

extern template class TStringBuilderT<char>;
extern template class TStringBuilderT<char16_t>;

using AnsiStringBuilder = TStringBuilderT<char>;
using WideStringBuilder = TStringBuilderT<char16_t>;

}  // namespace lumo
