// The date-time number (a double counting days since 30 December 1899, the
// time of day as its fraction), the time stamp it is converted through, the
// 16-byte SQL time stamp, and date and time text in the forms of the
// process FormatSettings (ISO by default). Every layer that stores, shows or
// sends a date uses these conversions.
//
// Decisions:
// - Negative date-time numbers: the integer part is the day, and the
//   fraction counts the time of day away from zero, so -1.25 is
//   29 December 1899 06:00 (not 28 December 18:00). -0.25 and 0.25 are the
//   same moment (30 December 1899 06:00); converting back gives 0.25.
// - Date-time number to milliseconds rounds half away from zero. Numbers
//   that are not finite or lie outside the years 1..9999 raise
//   EConvertError "Invalid date-time value".
// - Milliseconds (dfMSecs form) are the time stamp flattened:
//   Date × 86 400 000 + Time, so 1 January 0001 00:00 (day 1) is 86 400 000.
// - TSQLTimeStamp.Fractions holds milliseconds (0..999).
// - DateTimeToStr leaves out the time at midnight and the date on day 0
//   (30 December 1899) when there is a time; DateTimeToISO never does.
// - Parsing never raises on malformed input in the Try forms: it returns
//   false. Accepted: "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.f…]]" (a 'T' may
//   stand for the blank), and a time alone "HH:MM[:SS[.f…]]". Fractions may
//   have 1..9 digits and are rounded to milliseconds (a value that rounds up
//   to the next second is carried). The settings' date and time separators
//   are accepted besides '-' and ':'. The order of year, month and day
//   follows the settings' ShortDateFormat (y-m-d by default); a year of one
//   or two digits takes the century by TwoDigitYearCenturyWindow.
// - SQL time stamps keep the zero date "0000-00-00" that servers send; it
//   converts to a date-time number as a time of day alone (day 0). A
//   time-only text whose fraction rounds past 23:59:59 stays at 23:59:59.999.
// - Microseconds: the date-time number is also kept in fixed point, as a
//   signed 64-bit count of microseconds of the number (the number ×
//   86 400 000 000; "micros" below). Record slots, field buffers and the
//   exact value a date Variant carries are micros, so that a fraction of a
//   second keeps its six digits wherever a value is kept: a double of days
//   has room for them only up to the year 2079 (and rounds
//   9999-12-31 23:59:59.999999 into the year 10000). The double stays the
//   date-time number that callers read and write. Micros follow the
//   number's rules: the whole days are the day, the time of day counts away
//   from zero before 30 December 1899, and a time span (what a MySQL TIME
//   holds, up to ±838:59:59.999999) is the same count read as signed
//   microseconds. A double becomes micros by its whole days and its
//   fraction apart (no rounding added to the double's own), the fraction
//   rounded half away from zero to the coarsest of 1 ms, 100 µs, 10 µs and
//   1 µs that reads back as the same double: a double far from 1899 has
//   room for less than a microsecond (5 µs in the year 1000), and a time it
//   holds to the millisecond stays that time instead of gaining digits.
// - Span texts (TimeSpanMicrosToStr) are the sign, the whole hours (at least
//   two digits unless asked otherwise, never wrapped at 24), ":nn:ss" and,
//   when there is a fraction, its digits without trailing zeros:
//   "-01:30:00", "26:00:00", "838:59:59.999999". TryStrToTimeSpanMicros
//   reads that form back (hours of one or more digits, seconds optional, a
//   fraction of up to nine digits rounded to microseconds) within
//   ±838:59:59.999999.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <lumokit/core/FormatSettings.h>

namespace lumo {

using TDateTime = double;

constexpr std::int32_t HoursPerDay = 24;
constexpr std::int32_t MinsPerHour = 60;
constexpr std::int32_t SecsPerMin = 60;
constexpr std::int32_t MSecsPerSec = 1000;
constexpr std::int32_t MSecsPerDay = 86400000;
constexpr double SecsPerDay = 86400.0;
// Day number of 30 December 1899 in the time stamp numbering (1 January 0001 = 1).
constexpr std::int32_t DateDelta = 693594;
// First and last day of the years 1..9999 as date-time numbers.
constexpr double MinDateTime = -693593.0;         // 0001-01-01
constexpr double MaxDateTime = 2958465.99999999;  // 9999-12-31 23:59:59.999

struct TTimeStamp {
  std::int32_t Date = 0;  // days since 1 January 0001, that day being 1
  std::int32_t Time = 0;  // milliseconds since midnight
};

struct TSQLTimeStamp {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;  // milliseconds
};
static_assert(sizeof(TSQLTimeStamp) == 16, "TSQLTimeStamp is a 16-byte record");

bool operator==(const TSQLTimeStamp& a, const TSQLTimeStamp& b) noexcept;
// Field by field from Year to Fractions: -1, 0 or 1.
int CompareSQLTimeStamp(const TSQLTimeStamp& a, const TSQLTimeStamp& b) noexcept;

// --- Time stamps ---------------------------------------------------------
TTimeStamp DateTimeToTimeStamp(TDateTime value);
// Raises EConvertError "'%d.%d' is not a valid timestamp" unless Time >= 0,
// Time < 86 400 000 and Date > 0.
TDateTime TimeStampToDateTime(const TTimeStamp& stamp);
double TimeStampToMSecs(const TTimeStamp& stamp) noexcept;
// Raises EConvertError "'%d.%d' is not a valid timestamp" for a value that
// gives an invalid stamp (or is not finite).
TTimeStamp MSecsToTimeStamp(double msecs);
double DateTimeToMSecs(TDateTime value);
TDateTime MSecsToDateTime(double msecs);

// --- Encoding and decoding ------------------------------------------------
bool IsLeapYear(int year) noexcept;
int DaysInAMonth(int year, int month) noexcept;  // 0 for a month outside 1..12
bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept;
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) noexcept;
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec,
                       TDateTime& result) noexcept;
// Raise EConvertError "Invalid argument to date encode" / "... time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);

void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second,
                    int& msec);
// Day of the week, 1 = Sunday … 7 = Saturday.
int DayOfWeek(TDateTime value);

// The date part (day at midnight) and the time part (day 0) of a value.
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);

// --- SQL time stamps ------------------------------------------------------
TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime value);
bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& value, TDateTime& result) noexcept;
// Raises EConvertError "Invalid SQL time stamp value" for invalid parts.
TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& value);

// --- Text -----------------------------------------------------------------
// Format tokens: yyyy yy m mm mmm mmmm d dd ddd dddd h hh n nn s ss z zzz,
// am/pm, a/p and ampm (12-hour clock), c (short date + long time, time left
// out at midnight), ddddd (short date), t (short time), tt (long time),
// '/' and ':' (the settings' separators), "…" and '…' literals.
std::string FormatDateTime(std::string_view format, TDateTime value);
std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& settings);

std::string DateToStr(TDateTime value);  // short date format
std::string TimeToStr(TDateTime value);  // long time format
std::string DateTimeToStr(TDateTime value);
std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings);
// "yyyy-mm-dd hh:nn:ss" with ".zzz" when the milliseconds are not zero.
std::string DateTimeToISO(TDateTime value);
std::string SQLTimeStampToStr(const TSQLTimeStamp& value);
// A signed time span of milliseconds (what a time column holds, beyond a
// day or below zero): "-" when negative, the whole hours not wrapped at 24,
// ":mm:ss", then ".zzz" when the milliseconds are not zero (with the
// trailing zeros removed when trimFraction is set). -5 400 000 gives
// "-1:30:00", 93 600 250 gives "26:00:00.250" ("26:00:00.25" trimmed).
std::string TimeSpanToStr(std::int64_t msecs, bool trimFraction = false);

// --- Microseconds (see the header) ------------------------------------------
constexpr std::int64_t USecsPerMSec = 1000;
constexpr std::int64_t USecsPerSec = 1000000;
constexpr std::int64_t USecsPerDay = 86400000000;
// The largest span a MySQL time column holds: 838:59:59.999999.
constexpr std::int64_t MaxTimeSpanMicros = 3020399999999;

// Raises EConvertError "Invalid date-time value" for a number that is not
// finite or lies beyond the years 1..9999, as DateTimeToTimeStamp does.
std::int64_t DateTimeToMicros(TDateTime value);
// The double nearest to the number.
TDateTime MicrosToDateTime(std::int64_t micros) noexcept;

struct TDateTimeParts {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0;
  std::int32_t Micro = 0;  // microseconds of the second
};
// The calendar day and the time of day of a date-time in micros; false when
// the day lies outside the years 1..9999.
bool TryDecodeMicros(std::int64_t micros, TDateTimeParts& parts) noexcept;
// The other way; false for parts that are no valid date and time of day.
bool TryEncodeMicros(const TDateTimeParts& parts, std::int64_t& micros) noexcept;
// The time of day of a date-time in micros, as a span from midnight.
std::int64_t TimeOfMicros(std::int64_t micros) noexcept;
// The exact micros of a SQL time stamp (its milliseconds; the zero date as
// a time of day alone); false for invalid parts.
bool TrySQLTimeStampToMicros(const TSQLTimeStamp& value, std::int64_t& micros) noexcept;

// "yyyy-mm-dd hh:nn:ss", then the fraction's digits without trailing zeros
// when it is not zero. Raises EConvertError "Invalid date-time value"
// outside the years 1..9999.
std::string MicrosToISO(std::int64_t micros);
std::string TimeSpanMicrosToStr(std::int64_t micros, bool padHours = true);
bool TryStrToTimeSpanMicros(std::string_view text, std::int64_t& micros) noexcept;
// Date and/or time text in the forms TryParseDateTimeText reads, with the
// fraction rounded to microseconds (carried into the next second when it
// rounds up); a time alone is a time of day. False for the zero date.
bool TryStrToDateTimeMicros(std::string_view text, std::int64_t& micros) noexcept;
bool TryStrToDateTimeMicros(std::string_view text, std::int64_t& micros, const TFormatSettings& settings) noexcept;

// Parsed parts of a date and/or time text; Fraction is in nanoseconds.
struct TParsedDateTime {
  bool HasDate = false;
  bool HasTime = false;
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0;
  std::uint32_t Fraction = 0;
};
bool TryParseDateTimeText(std::string_view text, TParsedDateTime& parts,
                          const TFormatSettings& settings) noexcept;

bool TryStrToDateTime(std::string_view text, TDateTime& value) noexcept;
bool TryStrToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& settings) noexcept;
bool TryStrToDate(std::string_view text, TDateTime& value) noexcept;
bool TryStrToTime(std::string_view text, TDateTime& value) noexcept;
bool TryStrToSQLTimeStamp(std::string_view text, TSQLTimeStamp& value) noexcept;
// Raise EConvertError "'%s' is not a valid date and time", "'%s' is not a
// valid date", "'%s' is not a valid time".
TDateTime StrToDateTime(std::string_view text);
TDateTime StrToDate(std::string_view text);
TDateTime StrToTime(std::string_view text);
TSQLTimeStamp StrToSQLTimeStamp(std::string_view text);

}  // namespace lumo
