// Variant: the value of any type that property codes, field values,
// parameters and filters carry between layers. Its type codes follow the
// platform's variant type codes; its equality, ordering and conversion rules
// are written once, here.
//
// Kinds and type codes (VarType()):
//   Empty varEmpty 0 (unassigned) | Null varNull 1 | Boolean varBoolean 11
//   Int8 varShortInt 16 | Int16 varSmallint 2 | Int32 varInteger 3 |
//   Int64 varInt64 20 | UInt8 varByte 17 | UInt16 varWord 18 |
//   UInt32 varLongWord 19 | UInt64 varUInt64 21 | Single varSingle 4 |
//   Double varDouble 5 | Currency varCurrency 6 (value × 10 000 in 64 bits) |
//   Date varDate 7 (the date-time number) | String varString 0x100 (8-bit) |
//   WideString varUString 0x102 (UTF-16; varOleStr 8 names the same kind in
//   VarAsType) | byte array varArray|varByte 0x2011 (assigned or unassigned)
//   | array of variants varArray|varVariant 0x200C | SharedObject
//   varSharedObject 0x4000 (a counted reference) | FMTBcd varFMTBcd 0x110
//   (TBcd) | SQL time stamp varSQLTimeStamp 0x111 (TSQLTimeStamp). A null
//   TSharedRef stored in a variant gives Null.
//
// Conversions (As…, VarAsType). "number" = Boolean, integers, Single,
// Double, Currency, Date, FMTBcd.
//   source          | to integers          | to Double/Single | to String
//   Empty           | 0                    | 0                | ""
//   Null            | error                | error            | error (VarToStr gives "")
//   Boolean         | 0 / 1                | 0 / 1            | FormatSettings TrueBoolStr/FalseBoolStr
//   integers        | range-checked        | nearest          | decimal
//   Single, Double, | rounded half away    | widened/narrowed | shortest round-trip text,
//   Date            | from zero, checked   | (range-checked)  | Date: DateTimeToStr
//   Currency        | rounded, checked     | value / 10 000   | CurrToStr
//   FMTBcd          | rounded, checked     | nearest          | BcdToStr
//   String, Wide    | trimmed integer text | StrToFloat text  | Wide → code page
//   SQLTimeStamp    | error                | date-time number | SQLTimeStampToStr
//   byte array      | error                | error            | the bytes as they are
//   array, object   | error                | error            | error
//  To Boolean: numbers are true when non-zero; text by TryStrToBool
//  (True/False texts or a number); Empty is false. To Currency: rounded to
//  four decimals, range-checked. To Date: numbers as the date-time number,
//  text by StrToDateTime (ISO forms), SQL time stamps through the date-time
//  number. To FMTBcd: exact from integers and Currency, doubles through
//  their shortest text, text by StrToBcd. To SQLTimeStamp: through the
//  date-time number, text by StrToSQLTimeStamp. To a byte array: the bytes
//  of the 8-bit text (WideString as UTF-8); Empty gives an empty array.
//  Text to WideString and back goes through the process 8-bit code page
//  (CodePages: UTF-8 by default; invalid sequences become U+FFFD).
//  A date made with FromDateMicros also keeps its exact value in micros
//  (DateTimeUtils), beside the double: copies keep it, AsDateMicros gives
//  it back, and two such dates compare by it; every other conversion sees
//  the double alone. AsDateMicros of any other kind is its date-time number
//  in micros, text read with its fraction to the microsecond.
//  Failure: EVariantTypeCastError "Could not convert variant of type (%s)
//  into type (%s)"; a value outside the target range (never clamped):
//  EVariantOverflowError "Arithmetic overflow converting variant of type
//  (%s) into type (%s)". Type names are those of VarTypeAsText.
//
// Comparison. Three forms:
//  - VarSameValue (also operator==): ordinary equality. Empty equals only
//    Empty; Null equals only Null. Numbers compare by value across kinds
//    (1 == 1.0 == Currency 1 == FMTBcd 1.00; integers and FMTBcd exactly).
//    Two 8-bit texts compare byte by byte; when one side is wide both
//    compare as UTF-16 code units (ordinal; locale-aware comparison lives
//    elsewhere). Text against a number is converted to that number's kind
//    (a date: parsed as date-time); text that does not convert is unequal.
//    Byte arrays: equal when both are unassigned, or both are assigned with
//    equal bytes. Arrays: element by element. Shared objects: identity.
//    Anything else is unequal. Never throws.
//  - VarEqual: the comparison of the dataset framework. In order: wide text
//    against wide or 8-bit text compares as UTF-16; Null equals Null and
//    nothing else; an empty text equals only another empty text; byte
//    arrays as above; everything else as VarSameValue.
//  - VarStrictEqual: same VarType() and VarSameValue (change detection).
//  VarCompare orders: Empty < Null < every value; numbers by value (NaN
//  after every number, equal to itself); texts as above; byte arrays
//  byte-wise, shorter prefix first, unassigned before assigned; arrays
//  element-wise. Pairs that cannot be ordered raise EVariantTypeCastError
//  (text that does not convert) or EVariantInvalidOpError "Invalid variant
//  operation" (objects, arrays against scalars, bytes against other kinds).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/SharedObject.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

constexpr std::uint16_t varEmpty = 0x0000;
constexpr std::uint16_t varNull = 0x0001;
constexpr std::uint16_t varSmallint = 0x0002;
constexpr std::uint16_t varInteger = 0x0003;
constexpr std::uint16_t varSingle = 0x0004;
constexpr std::uint16_t varDouble = 0x0005;
constexpr std::uint16_t varCurrency = 0x0006;
constexpr std::uint16_t varDate = 0x0007;
constexpr std::uint16_t varOleStr = 0x0008;
constexpr std::uint16_t varBoolean = 0x000B;
constexpr std::uint16_t varVariant = 0x000C;
constexpr std::uint16_t varShortInt = 0x0010;
constexpr std::uint16_t varByte = 0x0011;
constexpr std::uint16_t varWord = 0x0012;
constexpr std::uint16_t varLongWord = 0x0013;
constexpr std::uint16_t varInt64 = 0x0014;
constexpr std::uint16_t varUInt64 = 0x0015;
constexpr std::uint16_t varString = 0x0100;
constexpr std::uint16_t varUString = 0x0102;
constexpr std::uint16_t varFMTBcd = 0x0110;
constexpr std::uint16_t varSQLTimeStamp = 0x0111;
constexpr std::uint16_t varTypeMask = 0x0FFF;
constexpr std::uint16_t varArray = 0x2000;
constexpr std::uint16_t varSharedObject = 0x4000;

// The integer kinds by signedness (every width, 8 to 64 bits); Boolean is
// not one of them.
constexpr bool IsSignedIntVarType(std::uint16_t vt) noexcept {
  return vt == varShortInt || vt == varSmallint || vt == varInteger || vt == varInt64;
}
constexpr bool IsUnsignedIntVarType(std::uint16_t vt) noexcept {
  return vt == varByte || vt == varWord || vt == varLongWord || vt == varUInt64;
}
constexpr bool IsIntegerVarType(std::uint16_t vt) noexcept {
  return IsSignedIntVarType(vt) || IsUnsignedIntVarType(vt);
}

class EVariantError : public EConvertError {
 public:
  using EConvertError::EConvertError;
};
class EVariantTypeCastError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
class EVariantOverflowError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
class EVariantInvalidOpError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Empty", "Null", "Smallint", "Integer", "Single", "Double", "Currency",
// "Date", "OleStr", "Boolean", "Variant", "ShortInt", "Byte", "Word",
// "LongWord", "Int64", "UInt64", "String", "UnicodeString", "FMTBcd",
// "SQLTimeStamp", "SharedObject"; arrays "Array " + element name.
std::string VarTypeAsText(std::uint16_t varType);

class Variant {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Array = std::vector<Variant>;

  Variant() noexcept = default;  // Empty
  Variant(std::nullptr_t) = delete;
  static Variant Null();

  Variant(bool value) : FValue(value) {}
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
                                 !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char8_t> &&
                                 !std::is_same_v<T, char16_t> && !std::is_same_v<T, char32_t>,
                             int> = 0>
  Variant(T value) : FValue(MapInteger(value)) {}
  Variant(float value) : FValue(value) {}
  Variant(double value) : FValue(value) {}
  Variant(Currency value) : FValue(value) {}
  static Variant FromDate(TDateTime value);
  // A date whose exact value, micros of the date-time number, is kept too.
  static Variant FromDateMicros(std::int64_t micros);
  Variant(const char* value) : FValue(std::string(value ? value : "")) {}
  Variant(std::string_view value) : FValue(std::string(value)) {}
  Variant(std::string value) : FValue(std::move(value)) {}
  Variant(const char16_t* value) : FValue(std::u16string(value ? value : u"")) {}
  Variant(std::u16string value) : FValue(std::move(value)) {}
  Variant(const TBcd& value) : FValue(value) {}
  Variant(const TSQLTimeStamp& value) : FValue(value) {}
  Variant(TSharedRef<TSharedObject> object);
  template <class T, std::enable_if_t<!std::is_same_v<T, TSharedObject>, int> = 0>
  Variant(const TSharedRef<T>& object) : Variant(TSharedRef<TSharedObject>(object)) {}
  static Variant FromBytes(Bytes bytes);
  static Variant FromBytes(const void* data, std::size_t size);
  // A byte-array variant that holds no array at all (unlike an empty one).
  static Variant UnassignedBytes();
  static Variant FromArray(Array items);

  std::uint16_t VarType() const noexcept;
  bool IsEmpty() const noexcept { return FValue.index() == 0; }
  bool IsNull() const noexcept { return std::holds_alternative<NullTag>(FValue); }
  bool IsNullOrEmpty() const noexcept { return IsEmpty() || IsNull(); }
  bool IsText() const noexcept;
  bool IsByteArray() const noexcept { return std::holds_alternative<ByteArray>(FValue); }
  bool IsUnassignedBytes() const noexcept;
  bool IsArray() const noexcept { return (VarType() & varArray) != 0; }

  bool AsBoolean() const;
  std::int8_t AsInt8() const;
  std::int16_t AsInt16() const;
  std::int32_t AsInt32() const;
  std::int64_t AsInt64() const;
  std::uint8_t AsUInt8() const;
  std::uint16_t AsUInt16() const;
  std::uint32_t AsUInt32() const;
  std::uint64_t AsUInt64() const;
  float AsSingle() const;
  double AsDouble() const;
  Currency AsCurrency() const;
  TDateTime AsDate() const;
  std::int64_t AsDateMicros() const;
  std::string AsString() const;
  std::u16string AsWideString() const;
  TBcd AsBcd() const;
  TSQLTimeStamp AsSQLTimeStamp() const;
  Bytes AsBytes() const;
  const Array& AsArray() const;
  // Empty and Null give a null reference; other kinds raise.
  TSharedRef<TSharedObject> AsSharedObject() const;

  // Direct access without conversion: nullptr when the kind differs (and
  // for an unassigned byte array).
  const std::string* StringPtr() const noexcept { return std::get_if<std::string>(&FValue); }
  const std::u16string* WideStringPtr() const noexcept { return std::get_if<std::u16string>(&FValue); }
  const Bytes* BytesPtr() const noexcept;

  friend bool operator==(const Variant& a, const Variant& b);
  friend int VarCompare(const Variant& a, const Variant& b);
  friend bool VarSameValue(const Variant& a, const Variant& b);
  friend bool VarEqual(const Variant& a, const Variant& b);

 private:
  struct NullTag {};
  struct DateValue {
    TDateTime Value;
    std::int64_t Micros = 0;  // the exact value when HasMicros
    bool HasMicros = false;
  };
  struct ByteArray {
    std::optional<Bytes> Data;
  };
  using Storage = std::variant<std::monostate, NullTag, bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t,
                               std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, float, double, Currency,
                               DateValue, std::string, std::u16string, ByteArray, Array,
                               TSharedRef<TSharedObject>, TBcd, TSQLTimeStamp>;

  template <typename T>
  static Storage MapInteger(T v) {
    if constexpr (std::is_signed_v<T>) {
      if constexpr (sizeof(T) == 1) return static_cast<std::int8_t>(v);
      else if constexpr (sizeof(T) == 2) return static_cast<std::int16_t>(v);
      else if constexpr (sizeof(T) == 4) return static_cast<std::int32_t>(v);
      else return static_cast<std::int64_t>(v);
    } else {
      if constexpr (sizeof(T) == 1) return static_cast<std::uint8_t>(v);
      else if constexpr (sizeof(T) == 2) return static_cast<std::uint16_t>(v);
      else if constexpr (sizeof(T) == 4) return static_cast<std::uint32_t>(v);
      else return static_cast<std::uint64_t>(v);
    }
  }

  [[noreturn]] void CastError(std::uint16_t target) const;
  [[noreturn]] void OverflowError(std::uint16_t target) const;
  __int128 ToInt128(std::uint16_t target) const;
  template <typename T>
  T ToInteger(std::uint16_t target) const;

  friend struct VariantAccess;
  Storage FValue;
};

// Platform-style helpers.
inline std::uint16_t VarType(const Variant& v) noexcept { return v.VarType(); }
inline bool VarIsNull(const Variant& v) noexcept { return v.IsNull(); }
inline bool VarIsEmpty(const Variant& v) noexcept { return v.IsEmpty(); }
inline bool VarIsNullOrEmpty(const Variant& v) noexcept { return v.IsNullOrEmpty(); }
// True for the integer, floating, currency, date and FMTBcd kinds: values
// that compare and convert as numbers.
inline bool VarIsNumeric(const Variant& v) noexcept {
  const std::uint16_t vt = v.VarType();
  return IsIntegerVarType(vt) || vt == varSingle || vt == varDouble || vt == varCurrency || vt == varDate ||
         vt == varFMTBcd;
}
// AsString, but "" for Null.
std::string VarToStr(const Variant& v);
std::u16string VarToWideStr(const Variant& v);
// The value converted to the kind of `varType` (see the table above).
Variant VarAsType(const Variant& v, std::uint16_t varType);

bool VarSameValue(const Variant& a, const Variant& b);
bool VarEqual(const Variant& a, const Variant& b);
bool VarStrictEqual(const Variant& a, const Variant& b);
// -1, 0 or 1.
int VarCompare(const Variant& a, const Variant& b);

}  // namespace lumo
