// The process-wide number, date and boolean text settings, and the
// conversions between numbers and text that every layer shares. The
// defaults are fixed ('.' decimal separator, ISO dates "yyyy-mm-dd", times
// "hh:nn:ss", "True"/"False"), never taken from the environment's locale, so
// that results do not depend on where the process runs.
//
// Decisions:
// - FormatSettings() is one plain object. Replace it (SetFormatSettings or
//   the scoped TFormatSettingsOverride) only while no other thread formats or
//   parses: at start-up or in a test. Reading it is lock-free.
// - Float to text is the shortest text that reads back to the same value
//   (std::to_chars). Fixed notation is used while the decimal exponent lies
//   in [-5, 15); beyond that the scientific form "1.5E20" / "1E-7" (no '+',
//   no leading exponent zeros). Non-finite values are "NAN", "INF", "-INF".
// - Text to float is exact (correctly rounded, std::from_chars): optional
//   blanks around, optional sign, digits with the settings' decimal
//   separator, optional exponent; "INF"/"NAN" are accepted in any case.
//   Anything else, or a value beyond the double range, is an error.
// - Text to integer: optional blanks around, optional sign, decimal digits
//   only. A value outside the target range is an error, never clamped.
// - Currency is a signed 64-bit integer holding the value × 10 000. Text and
//   doubles with more than four fraction digits are rounded half away from
//   zero; a value outside the 64-bit range is an error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumo {

struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '-';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "yyyy-mm-dd";
  std::string LongDateFormat = "yyyy-mm-dd";
  std::string ShortTimeFormat = "hh:nn";
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  std::string TrueBoolStr = "True";
  std::string FalseBoolStr = "False";
  // Two-digit years in parsed text: years within this many years after the
  // current century's start belong to it, the rest to the previous one.
  int TwoDigitYearCenturyWindow = 50;
};

// The settings in force for the process.
const TFormatSettings& FormatSettings() noexcept;
// Fixed settings with '.' as decimal separator and ISO forms, for text that
// goes to a server or a file rather than to a person.
const TFormatSettings& InvariantFormatSettings() noexcept;
void SetFormatSettings(const TFormatSettings& settings);

// Replaces the process settings for its lifetime and restores the previous
// ones when it ends (for tests).
class TFormatSettingsOverride {
 public:
  explicit TFormatSettingsOverride(const TFormatSettings& settings);
  ~TFormatSettingsOverride();
  TFormatSettingsOverride(const TFormatSettingsOverride&) = delete;
  TFormatSettingsOverride& operator=(const TFormatSettingsOverride&) = delete;

 private:
  TFormatSettings FSaved;
};

// Removes leading and trailing blanks and control characters (<= ' ').
std::string_view TrimView(std::string_view text) noexcept;
std::string Trim(std::string_view text);

// --- Floats --------------------------------------------------------------
std::string FloatToStr(double value);
std::string FloatToStr(double value, const TFormatSettings& settings);
// Shortest text of the single-precision value (0.1f gives "0.1").
std::string SingleToStr(float value);
std::string SingleToStr(float value, const TFormatSettings& settings);

bool TryStrToFloat(std::string_view text, double& value) noexcept;
bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& settings) noexcept;
// Raises EConvertError "'%s' is not a valid floating point value".
double StrToFloat(std::string_view text);
double StrToFloat(std::string_view text, const TFormatSettings& settings);

// --- Integers ------------------------------------------------------------
bool TryStrToInt(std::string_view text, std::int32_t& value) noexcept;
bool TryStrToInt64(std::string_view text, std::int64_t& value) noexcept;
bool TryStrToUInt64(std::string_view text, std::uint64_t& value) noexcept;
// Raise EConvertError "'%s' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
std::int64_t StrToInt64(std::string_view text);
std::uint64_t StrToUInt64(std::string_view text);

// --- Booleans ------------------------------------------------------------
// The settings' TrueBoolStr or FalseBoolStr.
std::string BoolToStr(bool value);
// Accepts the settings' true/false texts, "True"/"False" (any case) and
// integers (non-zero is true).
bool TryStrToBool(std::string_view text, bool& value) noexcept;
// Raises EConvertError "'%s' is not a valid boolean value".
bool StrToBool(std::string_view text);

// --- Currency ------------------------------------------------------------
struct Currency {
  std::int64_t Scaled = 0;  // value × 10 000

  static constexpr std::int64_t Factor = 10000;
  static constexpr Currency FromScaled(std::int64_t scaled) { return Currency{scaled}; }
  friend constexpr bool operator==(Currency a, Currency b) { return a.Scaled == b.Scaled; }
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.Scaled <=> b.Scaled; }
};

double CurrToDouble(Currency value) noexcept;
// Rounds to four fraction digits (half away from zero); false for a
// non-finite value or one outside the currency range.
bool TryDoubleToCurr(double value, Currency& result) noexcept;
// Raises EConvertError "Value is out of range: %s" when TryDoubleToCurr fails.
Currency DoubleToCurr(double value);
// "12.5", "-0.0001", "3" (no trailing fraction zeros).
std::string CurrToStr(Currency value);
std::string CurrToStr(Currency value, const TFormatSettings& settings);
bool TryStrToCurr(std::string_view text, Currency& value) noexcept;
bool TryStrToCurr(std::string_view text, Currency& value, const TFormatSettings& settings) noexcept;
// Raises EConvertError "'%s' is not a valid floating point value".
Currency StrToCurr(std::string_view text);

}  // namespace lumo
