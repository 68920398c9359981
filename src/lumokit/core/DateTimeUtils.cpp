#include <lumokit/core/DateTimeUtils.h>

#include <cmath>
#include <cstdio>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

constexpr std::int32_t D1 = 365;
constexpr std::int32_t D4 = D1 * 4 + 1;
constexpr std::int32_t D100 = D4 * 25 - 1;
constexpr std::int32_t D400 = D100 * 4 + 1;
// Day number of 31 December 9999.
constexpr std::int32_t MaxDateNumber = 3652059;

constexpr const char* ShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* LongMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};
constexpr const char* ShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* LongDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};

[[noreturn]] void InvalidTimeStamp(const TTimeStamp& stamp) {
  throw EConvertError(Format("'%d.%d' is not a valid timestamp", {stamp.Date, stamp.Time}));
}

int DayOfYearBefore(int year, int month) {
  static constexpr int cum[2][13] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
                                     {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
  return cum[IsLeapYear(year) ? 1 : 0][month - 1];
}

// Day number (1 January 0001 = 1) of a valid date.
std::int32_t DayNumber(int year, int month, int day) {
  const std::int32_t i = year - 1;
  return i * 365 + i / 4 - i / 100 + i / 400 + DayOfYearBefore(year, month) + day;
}

void DayNumberToDate(std::int32_t dayNumber, int& year, int& month, int& day) {
  std::int32_t t = dayNumber - 1;
  int y = 1;
  y += 400 * (t / D400);
  t %= D400;
  std::int32_t i = t / D100;
  std::int32_t d = t % D100;
  if (i == 4) {
    --i;
    d += D100;
  }
  y += static_cast<int>(i) * 100;
  i = d / D4;
  d %= D4;
  y += static_cast<int>(i) * 4;
  i = d / D1;
  d %= D1;
  if (i == 4) {
    --i;
    d += D1;
  }
  y += static_cast<int>(i);
  int m = 1;
  while (m < 12 && d >= DayOfYearBefore(y, m + 1)) ++m;
  year = y;
  month = m;
  day = static_cast<int>(d - DayOfYearBefore(y, m)) + 1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void AppendNumber(std::string& out, long value, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*ld", width, value);
  out += buf;
}

bool StartsWithNoCase(std::string_view s, size_t pos, std::string_view prefix) {
  if (s.size() - pos < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(s[pos + i]) != AsciiLower(prefix[i])) return false;
  return true;
}

struct DateParts {
  int Year, Month, Day, Hour, Minute, Second, MSec, DayOfWeek;
  bool TimeIsZero() const { return Hour == 0 && Minute == 0 && Second == 0 && MSec == 0; }
};

DateParts Decode(TDateTime value) {
  TTimeStamp st = DateTimeToTimeStamp(value);
  DateParts p{};
  DayNumberToDate(st.Date, p.Year, p.Month, p.Day);
  p.Hour = st.Time / 3600000;
  p.Minute = st.Time / 60000 % 60;
  p.Second = st.Time / 1000 % 60;
  p.MSec = st.Time % 1000;
  p.DayOfWeek = st.Date % 7 + 1;
  return p;
}

void FormatInto(std::string& out, std::string_view fmt, const DateParts& p, TDateTime value,
                const TFormatSettings& fs, int depth) {
  if (depth > 2) return;  // a settings format that names itself
  bool hourSeen = false;  // 'm' right after an hour token means minutes
  // A 12-hour clock is used when the format has an am/pm token anywhere.
  bool twelve = false;
  for (size_t k = 0; k < fmt.size(); ++k)
    if (StartsWithNoCase(fmt, k, "am/pm") || StartsWithNoCase(fmt, k, "a/p") || StartsWithNoCase(fmt, k, "ampm"))
      twelve = true;
  size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    const char lc = AsciiLower(c);
    size_t n = 1;
    while (i + n < fmt.size() && AsciiLower(fmt[i + n]) == lc) ++n;
    switch (lc) {
      case '"':
      case '\'': {
        size_t end = fmt.find(c, i + 1);
        if (end == std::string_view::npos) end = fmt.size();
        out.append(fmt.substr(i + 1, end - i - 1));
        i = end < fmt.size() ? end + 1 : end;
        continue;
      }
      case 'y':
        if (n == 2)
          AppendNumber(out, p.Year % 100, 2);
        else
          AppendNumber(out, p.Year, 4);
        break;
      case 'm':
        if (hourSeen && n <= 2) {
          AppendNumber(out, p.Minute, static_cast<int>(n));
        } else if (n == 1 || n == 2) {
          AppendNumber(out, p.Month, static_cast<int>(n));
        } else if (n == 3) {
          out += ShortMonthNames[p.Month - 1];
        } else {
          out += LongMonthNames[p.Month - 1];
        }
        hourSeen = false;
        break;
      case 'd':
        if (n <= 2)
          AppendNumber(out, p.Day, static_cast<int>(n));
        else if (n == 3)
          out += ShortDayNames[p.DayOfWeek - 1];
        else if (n == 4)
          out += LongDayNames[p.DayOfWeek - 1];
        else if (n == 5)
          FormatInto(out, fs.ShortDateFormat, p, value, fs, depth + 1);
        else
          FormatInto(out, fs.LongDateFormat, p, value, fs, depth + 1);
        break;
      case 'h': {
        int h = p.Hour;
        if (twelve) {
          h %= 12;
          if (h == 0) h = 12;
        }
        AppendNumber(out, h, n >= 2 ? 2 : 1);
        hourSeen = true;
        i += n;
        continue;
      }
      case 'n':
        AppendNumber(out, p.Minute, n >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, p.Second, n >= 2 ? 2 : 1);
        break;
      case 'z':
        AppendNumber(out, p.MSec, n >= 3 ? 3 : 1);
        break;
      case 'c':
        FormatInto(out, fs.ShortDateFormat, p, value, fs, depth + 1);
        if (!p.TimeIsZero()) {
          out += ' ';
          FormatInto(out, fs.LongTimeFormat, p, value, fs, depth + 1);
        }
        break;
      case 't':
        FormatInto(out, n >= 2 ? fs.LongTimeFormat : fs.ShortTimeFormat, p, value, fs, depth + 1);
        break;
      case 'a':
        if (StartsWithNoCase(fmt, i, "am/pm")) {
          bool upper = fmt[i] == 'A';
          out += p.Hour >= 12 ? (upper ? "PM" : "pm") : (upper ? "AM" : "am");
          i += 5;
          continue;
        }
        if (StartsWithNoCase(fmt, i, "a/p")) {
          bool upper = fmt[i] == 'A';
          out += p.Hour >= 12 ? (upper ? "P" : "p") : (upper ? "A" : "a");
          i += 3;
          continue;
        }
        if (StartsWithNoCase(fmt, i, "ampm")) {
          out += p.Hour >= 12 ? fs.TimePMString : fs.TimeAMString;
          i += 4;
          continue;
        }
        out += c;
        i += 1;
        continue;
      case '/':
        out.append(n, fs.DateSeparator);
        break;
      case ':':
        out.append(n, fs.TimeSeparator);
        break;
      default:
        out.append(n, c);
        break;
    }
    i += n;
  }
}

// Reads 1..maxDigits decimal digits at pos.
bool ReadNumber(std::string_view s, size_t& pos, size_t maxDigits, int& value, size_t& count) {
  count = 0;
  long v = 0;
  while (pos < s.size() && IsDigit(s[pos]) && count < maxDigits) {
    v = v * 10 + (s[pos] - '0');
    ++pos;
    ++count;
  }
  value = static_cast<int>(v);
  return count > 0;
}

bool IsDateSep(char c, const TFormatSettings& fs) { return c == '-' || c == '/' || c == fs.DateSeparator; }
bool IsTimeSep(char c, const TFormatSettings& fs) { return c == ':' || c == fs.TimeSeparator; }

// Order of year, month and day in the settings' short date format: the
// letters y, m, d in the order of their first occurrence (default y m d).
void DateOrder(const TFormatSettings& fs, char order[3]) {
  int k = 0;
  for (char c : fs.ShortDateFormat) {
    char l = AsciiLower(c);
    if ((l == 'y' || l == 'm' || l == 'd') && k < 3) {
      bool seen = false;
      for (int j = 0; j < k; ++j) seen = seen || order[j] == l;
      if (!seen) order[k++] = l;
    }
  }
  if (k != 3) {
    order[0] = 'y';
    order[1] = 'm';
    order[2] = 'd';
  }
}

bool ParseTime(std::string_view s, size_t& pos, TParsedDateTime& p, const TFormatSettings& fs) {
  size_t count = 0;
  if (!ReadNumber(s, pos, 2, p.Hour, count)) return false;
  if (pos >= s.size() || !IsTimeSep(s[pos], fs)) return false;
  ++pos;
  if (!ReadNumber(s, pos, 2, p.Minute, count)) return false;
  if (pos < s.size() && IsTimeSep(s[pos], fs)) {
    ++pos;
    if (!ReadNumber(s, pos, 2, p.Second, count)) return false;
    if (pos < s.size() && (s[pos] == '.' || s[pos] == fs.DecimalSeparator)) {
      ++pos;
      int frac = 0;
      if (!ReadNumber(s, pos, 9, frac, count)) return false;
      std::uint32_t ns = static_cast<std::uint32_t>(frac);
      for (size_t k = count; k < 9; ++k) ns *= 10;
      p.Fraction = ns;
    }
  }
  p.HasTime = true;
  return p.Hour < 24 && p.Minute < 60 && p.Second < 60;
}

bool ParseDate(std::string_view s, size_t& pos, TParsedDateTime& p, const TFormatSettings& fs) {
  char order[3];
  DateOrder(fs, order);
  int values[3] = {0, 0, 0};
  size_t counts[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (pos >= s.size() || !IsDateSep(s[pos], fs)) return false;
      ++pos;
    }
    if (!ReadNumber(s, pos, order[k] == 'y' ? 4 : 2, values[k], counts[k])) return false;
  }
  for (int k = 0; k < 3; ++k) {
    if (order[k] == 'y') {
      p.Year = values[k];
      if (counts[k] <= 2) {
        // Two-digit year: the century window of the settings, anchored at 2000.
        int y = 2000 + p.Year;
        if (p.Year >= fs.TwoDigitYearCenturyWindow) y -= 100;
        p.Year = y;
      }
    } else if (order[k] == 'm') {
      p.Month = values[k];
    } else {
      p.Day = values[k];
    }
  }
  p.HasDate = true;
  return true;
}

bool ZeroDate(const TParsedDateTime& p) { return p.Year == 0 && p.Month == 0 && p.Day == 0; }

// Stamp of parsed parts (zero date not allowed here); milliseconds rounded.
bool PartsToDateTime(const TParsedDateTime& p, TDateTime& result) {
  std::int32_t date = DateDelta;
  if (p.HasDate) {
    if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
        p.Day > DaysInAMonth(p.Year, p.Month))
      return false;
    date = DayNumber(p.Year, p.Month, p.Day);
  }
  std::int32_t time = 0;
  if (p.HasTime) {
    time = ((p.Hour * 60 + p.Minute) * 60 + p.Second) * 1000 + static_cast<std::int32_t>((p.Fraction + 500000) / 1000000);
    if (time >= MSecsPerDay) {
      time -= MSecsPerDay;
      ++date;
      if (date > MaxDateNumber) return false;
    }
  }
  const std::int32_t days = date - DateDelta;
  const double frac = static_cast<double>(time) / MSecsPerDay;
  result = days >= 0 ? days + frac : days - frac;
  return true;
}

}  // namespace

bool operator==(const TSQLTimeStamp& a, const TSQLTimeStamp& b) noexcept {
  return CompareSQLTimeStamp(a, b) == 0;
}

int CompareSQLTimeStamp(const TSQLTimeStamp& a, const TSQLTimeStamp& b) noexcept {
  const long fa[7] = {a.Year, a.Month, a.Day, a.Hour, a.Minute, a.Second, static_cast<long>(a.Fractions)};
  const long fb[7] = {b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second, static_cast<long>(b.Fractions)};
  for (int i = 0; i < 7; ++i)
    if (fa[i] != fb[i]) return fa[i] < fb[i] ? -1 : 1;
  return 0;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > 3e6) throw EConvertError("Invalid date-time value");
  const long long ms = std::llround(value * MSecsPerDay);
  TTimeStamp st;
  st.Date = DateDelta + static_cast<std::int32_t>(ms / MSecsPerDay);
  const long long rest = ms % MSecsPerDay;
  st.Time = static_cast<std::int32_t>(rest < 0 ? -rest : rest);
  if (st.Date < 1 || st.Date > MaxDateNumber) throw EConvertError("Invalid date-time value");
  return st;
}

TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
  if (stamp.Time < 0 || stamp.Time >= MSecsPerDay || stamp.Date <= 0) InvalidTimeStamp(stamp);
  const std::int32_t days = stamp.Date - DateDelta;
  const double frac = static_cast<double>(stamp.Time) / MSecsPerDay;
  return days >= 0 ? days + frac : days - frac;
}

double TimeStampToMSecs(const TTimeStamp& stamp) noexcept {
  return static_cast<double>(stamp.Date) * MSecsPerDay + stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
  if (!std::isfinite(msecs) || msecs < 0 || msecs >= (static_cast<double>(MaxDateNumber) + 1) * MSecsPerDay) {
    TTimeStamp bad;
    bad.Date = std::isfinite(msecs) && std::fabs(msecs) < 1e17 ? static_cast<std::int32_t>(msecs / MSecsPerDay) : 0;
    bad.Time = -1;
    InvalidTimeStamp(bad);
  }
  const long long ms = std::llround(msecs);
  TTimeStamp st;
  st.Date = static_cast<std::int32_t>(ms / MSecsPerDay);
  st.Time = static_cast<std::int32_t>(ms % MSecsPerDay);
  if (st.Date <= 0) InvalidTimeStamp(st);
  return st;
}

double DateTimeToMSecs(TDateTime value) { return TimeStampToMSecs(DateTimeToTimeStamp(value)); }

TDateTime MSecsToDateTime(double msecs) { return TimeStampToDateTime(MSecsToTimeStamp(msecs)); }

bool IsLeapYear(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInAMonth(int year, int month) noexcept {
  static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInAMonth(year, month))
    return false;
  result = static_cast<double>(DayNumber(year, month, day) - DateDelta);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) noexcept {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 || msec < 0 ||
      msec >= 1000)
    return false;
  result = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + msec) / MSecsPerDay;
  return true;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec,
                       TDateTime& result) noexcept {
  TDateTime d = 0, t = 0;
  if (!TryEncodeDate(year, month, day, d) || !TryEncodeTime(hour, minute, second, msec, t)) return false;
  // The time of day counts away from zero on days before 30 December 1899.
  result = d >= 0 ? d + t : d - t;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r = 0;
  if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime r = 0;
  if (!TryEncodeTime(hour, minute, second, msec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  TDateTime d = EncodeDate(year, month, day);
  TDateTime t = EncodeTime(hour, minute, second, msec);
  return d >= 0 ? d + t : d - t;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  DateParts p = Decode(value);
  year = p.Year;
  month = p.Month;
  day = p.Day;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  DateParts p = Decode(value);
  hour = p.Hour;
  minute = p.Minute;
  second = p.Second;
  msec = p.MSec;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second,
                    int& msec) {
  DateParts p = Decode(value);
  year = p.Year;
  month = p.Month;
  day = p.Day;
  hour = p.Hour;
  minute = p.Minute;
  second = p.Second;
  msec = p.MSec;
}

int DayOfWeek(TDateTime value) { return DateTimeToTimeStamp(value).Date % 7 + 1; }

TDateTime DateOf(TDateTime value) {
  TTimeStamp st = DateTimeToTimeStamp(value);
  return static_cast<double>(st.Date - DateDelta);
}

TDateTime TimeOf(TDateTime value) {
  TTimeStamp st = DateTimeToTimeStamp(value);
  return static_cast<double>(st.Time) / MSecsPerDay;
}

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime value) {
  DateParts p = Decode(value);
  TSQLTimeStamp ts;
  ts.Year = static_cast<std::int16_t>(p.Year);
  ts.Month = static_cast<std::uint16_t>(p.Month);
  ts.Day = static_cast<std::uint16_t>(p.Day);
  ts.Hour = static_cast<std::uint16_t>(p.Hour);
  ts.Minute = static_cast<std::uint16_t>(p.Minute);
  ts.Second = static_cast<std::uint16_t>(p.Second);
  ts.Fractions = static_cast<std::uint32_t>(p.MSec);
  return ts;
}

bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& v, TDateTime& result) noexcept {
  TDateTime t = 0;
  if (!TryEncodeTime(v.Hour, v.Minute, v.Second, static_cast<int>(v.Fractions > 999 ? 1000 : v.Fractions), t))
    return false;
  if (v.Year == 0 && v.Month == 0 && v.Day == 0) {  // a time without a date
    result = t;
    return true;
  }
  TDateTime d = 0;
  if (!TryEncodeDate(v.Year, v.Month, v.Day, d)) return false;
  result = d >= 0 ? d + t : d - t;
  return true;
}

TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& value) {
  TDateTime r = 0;
  if (!TrySQLTimeStampToDateTime(value, r)) throw EConvertError("Invalid SQL time stamp value");
  return r;
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  return FormatDateTime(format, value, FormatSettings());
}

std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& settings) {
  DateParts p = Decode(value);
  std::string out;
  FormatInto(out, format, p, value, settings, 0);
  return out;
}

std::string DateToStr(TDateTime value) { return FormatDateTime("ddddd", value); }

std::string TimeToStr(TDateTime value) { return FormatDateTime("tt", value); }

std::string DateTimeToStr(TDateTime value) { return DateTimeToStr(value, FormatSettings()); }

std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
  DateParts p = Decode(value);
  std::string out;
  const bool dayZero = p.Year == 1899 && p.Month == 12 && p.Day == 30;
  if (dayZero && !p.TimeIsZero()) {
    FormatInto(out, settings.LongTimeFormat, p, value, settings, 1);
    return out;
  }
  FormatInto(out, "c", p, value, settings, 0);
  return out;
}

std::string DateTimeToISO(TDateTime value) {
  DateParts p = Decode(value);
  std::string out;
  AppendNumber(out, p.Year, 4);
  out += '-';
  AppendNumber(out, p.Month, 2);
  out += '-';
  AppendNumber(out, p.Day, 2);
  out += ' ';
  AppendNumber(out, p.Hour, 2);
  out += ':';
  AppendNumber(out, p.Minute, 2);
  out += ':';
  AppendNumber(out, p.Second, 2);
  if (p.MSec != 0) {
    out += '.';
    AppendNumber(out, p.MSec, 3);
  }
  return out;
}

std::string TimeSpanToStr(std::int64_t msecs, bool trimFraction) {
  // The magnitude in unsigned arithmetic, so that the most negative value has one too.
  std::uint64_t m = msecs < 0 ? 0 - static_cast<std::uint64_t>(msecs) : static_cast<std::uint64_t>(msecs);
  std::string out = msecs < 0 ? "-" : "";
  out += std::to_string(m / 3600000u);
  out += ':';
  AppendNumber(out, static_cast<long>(m / 60000u % 60u), 2);
  out += ':';
  AppendNumber(out, static_cast<long>(m / 1000u % 60u), 2);
  if (const long ms = static_cast<long>(m % 1000u); ms != 0) {
    out += '.';
    AppendNumber(out, ms, 3);
    if (trimFraction) out.erase(out.find_last_not_of('0') + 1);
  }
  return out;
}

std::string SQLTimeStampToStr(const TSQLTimeStamp& v) {
  const TFormatSettings& fs = FormatSettings();
  std::string out;
  const bool hasDate = !(v.Year == 0 && v.Month == 0 && v.Day == 0);
  const bool hasTime = v.Hour || v.Minute || v.Second || v.Fractions;
  if (hasDate || !hasTime) {
    AppendNumber(out, v.Year, 4);
    out += fs.DateSeparator;
    AppendNumber(out, v.Month, 2);
    out += fs.DateSeparator;
    AppendNumber(out, v.Day, 2);
  }
  if (hasTime) {
    if (!out.empty()) out += ' ';
    AppendNumber(out, v.Hour, 2);
    out += fs.TimeSeparator;
    AppendNumber(out, v.Minute, 2);
    out += fs.TimeSeparator;
    AppendNumber(out, v.Second, 2);
    if (v.Fractions != 0) {
      out += '.';
      AppendNumber(out, static_cast<long>(v.Fractions), 3);
    }
  }
  return out;
}

bool TryParseDateTimeText(std::string_view text, TParsedDateTime& parts, const TFormatSettings& settings) noexcept {
  const std::string_view s = TrimView(text);
  TParsedDateTime p;
  size_t pos = 0;
  // A date, when the text has a date separator before any time separator.
  size_t firstDateSep = std::string_view::npos, firstTimeSep = std::string_view::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    if (firstDateSep == std::string_view::npos && IsDateSep(s[i], settings) && !IsTimeSep(s[i], settings))
      firstDateSep = i;
    if (firstTimeSep == std::string_view::npos && IsTimeSep(s[i], settings)) firstTimeSep = i;
  }
  if (firstDateSep < firstTimeSep) {
    if (!ParseDate(s, pos, p, settings)) return false;
    if (pos < s.size()) {
      if (s[pos] != ' ' && s[pos] != 'T' && s[pos] != 't') return false;
      while (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T' || s[pos] == 't')) ++pos;
      if (!ParseTime(s, pos, p, settings)) return false;
    }
  } else {
    if (!ParseTime(s, pos, p, settings)) return false;
  }
  if (pos != s.size()) return false;
  if (p.HasDate && !ZeroDate(p)) {
    if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
        p.Day > DaysInAMonth(p.Year, p.Month))
      return false;
  }
  parts = p;
  return true;
}

bool TryStrToDateTime(std::string_view text, TDateTime& value) noexcept {
  return TryStrToDateTime(text, value, FormatSettings());
}

bool TryStrToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& settings) noexcept {
  TParsedDateTime p;
  if (!TryParseDateTimeText(text, p, settings)) return false;
  if (p.HasDate && ZeroDate(p)) return false;
  return PartsToDateTime(p, value);
}

bool TryStrToDate(std::string_view text, TDateTime& value) noexcept {
  TParsedDateTime p;
  if (!TryParseDateTimeText(text, p, FormatSettings()) || !p.HasDate || p.HasTime || ZeroDate(p)) return false;
  return PartsToDateTime(p, value);
}

bool TryStrToTime(std::string_view text, TDateTime& value) noexcept {
  TParsedDateTime p;
  if (!TryParseDateTimeText(text, p, FormatSettings()) || p.HasDate) return false;
  return PartsToDateTime(p, value);
}

bool TryStrToSQLTimeStamp(std::string_view text, TSQLTimeStamp& value) noexcept {
  TParsedDateTime p;
  if (!TryParseDateTimeText(text, p, FormatSettings())) return false;
  // Milliseconds, rounded; a carry into the next second is kept exact by
  // going through the date-time number.
  std::uint32_t ms = (p.Fraction + 500000) / 1000000;
  if (ms >= 1000 && !ZeroDate(p)) {
    TDateTime dt = 0;
    if (!PartsToDateTime(p, dt)) return false;
    try {
      value = DateTimeToSQLTimeStamp(dt);
    } catch (...) {
      return false;
    }
    return true;
  }
  TSQLTimeStamp ts;
  ts.Year = static_cast<std::int16_t>(p.Year);
  ts.Month = static_cast<std::uint16_t>(p.Month);
  ts.Day = static_cast<std::uint16_t>(p.Day);
  ts.Hour = static_cast<std::uint16_t>(p.Hour);
  ts.Minute = static_cast<std::uint16_t>(p.Minute);
  ts.Second = static_cast<std::uint16_t>(p.Second);
  ts.Fractions = ms;
  if (ms >= 1000) {
    // A time without a date: carry the rounded second through the clock;
    // past 23:59:59 the value stays at the last millisecond of the day.
    ts.Fractions = 0;
    if (++ts.Second == 60) {
      ts.Second = 0;
      if (++ts.Minute == 60) {
        ts.Minute = 0;
        if (++ts.Hour == 24) {
          ts.Hour = 23;
          ts.Minute = 59;
          ts.Second = 59;
          ts.Fractions = 999;
        }
      }
    }
  }
  value = ts;
  return true;
}

TDateTime StrToDateTime(std::string_view text) {
  TDateTime v = 0;
  if (!TryStrToDateTime(text, v)) throw EConvertError(Format("'%s' is not a valid date and time", {text}));
  return v;
}

TDateTime StrToDate(std::string_view text) {
  TDateTime v = 0;
  if (!TryStrToDate(text, v)) throw EConvertError(Format("'%s' is not a valid date", {text}));
  return v;
}

TDateTime StrToTime(std::string_view text) {
  TDateTime v = 0;
  if (!TryStrToTime(text, v)) throw EConvertError(Format("'%s' is not a valid time", {text}));
  return v;
}

TSQLTimeStamp StrToSQLTimeStamp(std::string_view text) {
  TSQLTimeStamp v;
  if (!TryStrToSQLTimeStamp(text, v)) throw EConvertError(Format("'%s' is not a valid date and time", {text}));
  return v;
}

// --- Microseconds -------------------------------------------------------------

namespace {

// The day number and the microseconds of the day that micros stand for (the
// day not range-checked).
void SplitMicros(std::int64_t micros, std::int64_t& dayNumber, std::int64_t& timeOfDay) noexcept {
  dayNumber = DateDelta + micros / USecsPerDay;
  const std::int64_t rest = micros % USecsPerDay;
  timeOfDay = rest < 0 ? -rest : rest;
}

std::int64_t JoinMicros(std::int64_t dayNumber, std::int64_t timeOfDay) noexcept {
  const std::int64_t days = dayNumber - DateDelta;
  return days >= 0 ? days * USecsPerDay + timeOfDay : days * USecsPerDay - timeOfDay;
}

// The fraction's digits after a '.', trailing zeros removed; nothing for 0.
void AppendMicroFraction(std::string& out, std::int64_t micro) {
  if (micro == 0) return;
  char buf[24];
  std::snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(micro));
  std::string_view f(buf);
  out.append(f.substr(0, f.find_last_not_of('0') + 1));
}

// Up to nine fraction digits as nanoseconds; false for anything else.
bool ReadFractionNanos(std::string_view s, std::size_t& pos, std::uint32_t& nanos) noexcept {
  std::uint32_t v = 0;
  std::size_t digits = 0;
  while (pos < s.size() && IsDigit(s[pos])) {
    if (++digits > 9) return false;
    v = v * 10 + static_cast<std::uint32_t>(s[pos++] - '0');
  }
  if (digits == 0) return false;
  for (; digits < 9; ++digits) v *= 10;
  nanos = v;
  return true;
}

}  // namespace

std::int64_t DateTimeToMicros(TDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > 3e6) throw EConvertError("Invalid date-time value");
  // Whole days and fraction apart: the fraction's product has room for
  // far more than microseconds.
  const double days = std::trunc(value);
  const std::int64_t whole = static_cast<std::int64_t>(days) * USecsPerDay;
  const double fraction = (value - days) * static_cast<double>(USecsPerDay);
  // The coarsest step that gives the same double back, so that a time held
  // to the millisecond stays that time where the double has room for less
  // than a microsecond.
  for (const std::int64_t step : {USecsPerMSec, std::int64_t{100}, std::int64_t{10}}) {
    const std::int64_t micros = whole + std::llround(fraction / static_cast<double>(step)) * step;
    if (MicrosToDateTime(micros) == value) return micros;
  }
  return whole + std::llround(fraction);
}

TDateTime MicrosToDateTime(std::int64_t micros) noexcept {
  return static_cast<double>(micros / USecsPerDay) +
         static_cast<double>(micros % USecsPerDay) / static_cast<double>(USecsPerDay);
}

bool TryDecodeMicros(std::int64_t micros, TDateTimeParts& parts) noexcept {
  std::int64_t dayNumber = 0, time = 0;
  SplitMicros(micros, dayNumber, time);
  if (dayNumber < 1 || dayNumber > MaxDateNumber) return false;
  TDateTimeParts p;
  DayNumberToDate(static_cast<std::int32_t>(dayNumber), p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(time / (3600 * USecsPerSec));
  p.Minute = static_cast<int>(time / (60 * USecsPerSec) % 60);
  p.Second = static_cast<int>(time / USecsPerSec % 60);
  p.Micro = static_cast<std::int32_t>(time % USecsPerSec);
  parts = p;
  return true;
}

bool TryEncodeMicros(const TDateTimeParts& p, std::int64_t& micros) noexcept {
  if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
      p.Day > DaysInAMonth(p.Year, p.Month) || p.Hour < 0 || p.Hour > 23 || p.Minute < 0 || p.Minute > 59 ||
      p.Second < 0 || p.Second > 59 || p.Micro < 0 || p.Micro >= USecsPerSec)
    return false;
  const std::int64_t time = ((std::int64_t{p.Hour} * 60 + p.Minute) * 60 + p.Second) * USecsPerSec + p.Micro;
  micros = JoinMicros(DayNumber(p.Year, p.Month, p.Day), time);
  return true;
}

std::int64_t TimeOfMicros(std::int64_t micros) noexcept {
  std::int64_t dayNumber = 0, time = 0;
  SplitMicros(micros, dayNumber, time);
  return time;
}

bool TrySQLTimeStampToMicros(const TSQLTimeStamp& v, std::int64_t& micros) noexcept {
  if (v.Hour > 23 || v.Minute > 59 || v.Second > 59 || v.Fractions > 999) return false;
  const std::int64_t time =
      ((std::int64_t{v.Hour} * 60 + v.Minute) * 60 + v.Second) * USecsPerSec + std::int64_t{v.Fractions} * USecsPerMSec;
  if (v.Year == 0 && v.Month == 0 && v.Day == 0) {  // a time without a date
    micros = time;
    return true;
  }
  TDateTimeParts p;
  p.Year = v.Year;
  p.Month = v.Month;
  p.Day = v.Day;
  if (!TryEncodeMicros(p, micros)) return false;
  micros = JoinMicros(DateDelta + micros / USecsPerDay, time);
  return true;
}

std::string MicrosToISO(std::int64_t micros) {
  TDateTimeParts p;
  if (!TryDecodeMicros(micros, p)) throw EConvertError("Invalid date-time value");
  std::string out;
  AppendNumber(out, p.Year, 4);
  out += '-';
  AppendNumber(out, p.Month, 2);
  out += '-';
  AppendNumber(out, p.Day, 2);
  out += ' ';
  AppendNumber(out, p.Hour, 2);
  out += ':';
  AppendNumber(out, p.Minute, 2);
  out += ':';
  AppendNumber(out, p.Second, 2);
  AppendMicroFraction(out, p.Micro);
  return out;
}

std::string TimeSpanMicrosToStr(std::int64_t micros, bool padHours) {
  const std::uint64_t m = micros < 0 ? 0 - static_cast<std::uint64_t>(micros) : static_cast<std::uint64_t>(micros);
  constexpr std::uint64_t perSec = USecsPerSec;
  std::string out = micros < 0 ? "-" : "";
  AppendNumber(out, static_cast<long>(m / (3600 * perSec)), padHours ? 2 : 1);
  out += ':';
  AppendNumber(out, static_cast<long>(m / (60 * perSec) % 60), 2);
  out += ':';
  AppendNumber(out, static_cast<long>(m / perSec % 60), 2);
  AppendMicroFraction(out, static_cast<std::int64_t>(m % perSec));
  return out;
}

bool TryStrToTimeSpanMicros(std::string_view text, std::int64_t& micros) noexcept {
  const std::string_view s = TrimView(text);
  std::size_t pos = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) ++pos;
  std::int64_t hours = 0;
  const std::size_t start = pos;
  while (pos < s.size() && IsDigit(s[pos])) {
    if (pos - start >= 4) return false;
    hours = hours * 10 + (s[pos++] - '0');
  }
  auto two = [&](int& out) {
    if (pos + 2 > s.size() || !IsDigit(s[pos]) || !IsDigit(s[pos + 1])) return false;
    out = (s[pos] - '0') * 10 + (s[pos + 1] - '0');
    pos += 2;
    return out < 60;
  };
  int minute = 0, second = 0;
  std::uint32_t nanos = 0;
  if (pos == start || pos >= s.size() || s[pos] != ':') return false;
  ++pos;
  if (!two(minute)) return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!two(second)) return false;
    if (pos < s.size() && s[pos] == '.' && !ReadFractionNanos(s, ++pos, nanos)) return false;
  }
  if (pos != s.size()) return false;
  const std::int64_t m =
      ((hours * 60 + minute) * 60 + second) * USecsPerSec + static_cast<std::int64_t>((nanos + 500) / 1000);
  if (m > MaxTimeSpanMicros) return false;
  micros = negative ? -m : m;
  return true;
}

bool TryStrToDateTimeMicros(std::string_view text, std::int64_t& micros) noexcept {
  return TryStrToDateTimeMicros(text, micros, FormatSettings());
}

bool TryStrToDateTimeMicros(std::string_view text, std::int64_t& micros, const TFormatSettings& settings) noexcept {
  TParsedDateTime p;
  if (!TryParseDateTimeText(text, p, settings)) return false;
  if (p.HasDate && ZeroDate(p)) return false;
  std::int64_t dayNumber = p.HasDate ? DayNumber(p.Year, p.Month, p.Day) : DateDelta;
  std::int64_t time = ((std::int64_t{p.Hour} * 60 + p.Minute) * 60 + p.Second) * USecsPerSec +
                      static_cast<std::int64_t>((p.Fraction + 500) / 1000);
  if (time >= USecsPerDay) {
    time -= USecsPerDay;
    if (++dayNumber > MaxDateNumber) return false;
  }
  micros = JoinMicros(dayNumber, time);
  return true;
}

}  // namespace lumo
