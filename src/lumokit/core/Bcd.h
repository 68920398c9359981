// The 34-byte packed decimal of up to 64 digits that exact numeric columns
// are held in (dtFMTBCD), with text conversion, arithmetic, comparison and
// normalisation, and the conversions to and from the four-decimal 64-bit
// form (dtBCD, the same representation as Currency).
//
// Layout: Precision (digits stored), then the sign in bit 7 and the number
// of fraction digits in bits 0..5 of SignSpecialPlaces, then 32 bytes of two
// digits each, high nibble first; the first Precision nibbles are the
// digits, the last `places` of them after the decimal point.
//
// Decisions:
// - At most 64 digits, at most 63 of them after the point (six bits). A
//   value whose integer part needs more than 64 digits raises EBcdError
//   "BCD overflow".
// - Wherever fraction digits must be dropped (a result or text with more
//   digits than fit, NormalizeBcd to fewer places, division), the value is
//   rounded half away from zero.
// - Add and subtract keep the larger scale of the operands, multiply the sum
//   of the scales (both exact while they fit in 64 digits). Divide gives as
//   many fraction digits as fit in 64 digits (at most 63), rounded, with
//   trailing zeros removed; a zero divisor raises EBcdError "Division by
//   zero".
// - Results are packed with the fewest digits: the integer digits without
//   leading zeros (at least one) plus the scale.
// - Text: optional blanks around, optional sign, digits with the settings'
//   decimal separator (".5" and "5." are accepted), no exponent. Anything
//   else raises EBcdError "'%s' is not a valid BCD value". BcdToStr writes
//   no trailing fraction zeros and never "-0".
// - A TBcd read from a buffer is validated before use (precision <= 64,
//   places <= precision, no special bit, digit nibbles <= 9); a broken one
//   raises EBcdError "Invalid BCD value".
// - Equality (operator==, BcdCompare) is by value: 1.50 equals 1.5.
// - GetBcdPrecision is the smallest precision that holds the value at
//   GetBcdScale places: significant integer digits (at least one) plus
//   GetBcdScale (0.0100 → 3; 100 → 3).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

constexpr int SizeOfTBcd = 34;
constexpr int MaxFMTBcdDigits = 64;
constexpr int MaxFMTBcdScale = 63;

struct TBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::uint8_t Fraction[32] = {};
};
static_assert(sizeof(TBcd) == SizeOfTBcd, "TBcd is the 34-byte packed decimal");

class EBcdError : public EConvertError {
 public:
  using EConvertError::EConvertError;
};

// Stored precision and number of fraction digits, as in the record.
inline int BcdPrecision(const TBcd& value) noexcept { return value.Precision; }
inline int BcdScale(const TBcd& value) noexcept { return value.SignSpecialPlaces & 0x3F; }
bool IsBcdNegative(const TBcd& value);
bool IsBcdZero(const TBcd& value);

// --- Text ----------------------------------------------------------------
bool TryStrToBcd(std::string_view text, TBcd& result) noexcept;
bool TryStrToBcd(std::string_view text, TBcd& result, const TFormatSettings& settings) noexcept;
TBcd StrToBcd(std::string_view text);
TBcd StrToBcd(std::string_view text, const TFormatSettings& settings);
std::string BcdToStr(const TBcd& value);
std::string BcdToStr(const TBcd& value, const TFormatSettings& settings);

// --- Numbers -------------------------------------------------------------
TBcd Int64ToBcd(std::int64_t value);
TBcd UInt64ToBcd(std::uint64_t value);
// Through the shortest decimal text of the double (0.1 gives 0.1); raises
// EBcdError "BCD overflow" for non-finite values.
TBcd DoubleToBcd(double value);
// The nearest double.
double BcdToDouble(const TBcd& value);
// The integer part (fraction dropped toward zero); "BCD overflow" outside
// the 64-bit range.
std::int64_t BcdToInt64(const TBcd& value);
bool TryBcdToInt64(const TBcd& value, std::int64_t& result) noexcept;

// --- The four-decimal 64-bit form (dtBCD, Currency) --------------------------
// False when the value has a non-zero digit after the fourth fraction digit
// or lies outside the 64-bit range of value × 10 000.
bool TryBcdToCurr(const TBcd& value, Currency& result) noexcept;
// Raises EBcdError "%s has invalid scale" or "Value is out of range: %s".
Currency BcdToCurr(const TBcd& value);
TBcd CurrToBcd(Currency value);

// --- Normalisation, comparison, arithmetic ---------------------------------
// Re-packs `value` with exactly `precision` digits and `places` fraction
// digits, rounding surplus fraction digits. False (and `result` unchanged)
// when the integer part does not fit or the arguments are out of range.
bool NormalizeBcd(const TBcd& value, TBcd& result, int precision, int places);
// -1, 0 or 1 by value.
int BcdCompare(const TBcd& a, const TBcd& b);
bool operator==(const TBcd& a, const TBcd& b);

TBcd BcdAdd(const TBcd& a, const TBcd& b);
TBcd BcdSubtract(const TBcd& a, const TBcd& b);
TBcd BcdMultiply(const TBcd& a, const TBcd& b);
TBcd BcdDivide(const TBcd& a, const TBcd& b);
TBcd BcdNegate(const TBcd& a);

int GetBcdPrecision(const TBcd& value);
int GetBcdScale(const TBcd& value);
bool IsBcdInt(const TBcd& value);

}  // namespace lumo
