#include <lumokit/core/FormatSettings.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

TFormatSettings& Current() noexcept {
  static TFormatSettings settings;
  return settings;
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal digits of the shortest round-trip text and the decimal exponent
// of the first digit: value = 0.d1d2d3... × 10^(exp+1).
template <typename T>
void ShortestDigits(T value, std::string& digits, int& exponent) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(res.ptr - buf));
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  digits.clear();
  size_t i = 0;
  for (; i < s.size() && s[i] != 'e'; ++i)
    if (IsDigit(s[i])) digits.push_back(s[i]);
  exponent = 0;
  if (i < s.size()) std::from_chars(s.data() + i + 1 + (s[i + 1] == '+' ? 1 : 0), s.data() + s.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

template <typename T>
std::string ShortestToStr(T value, const TFormatSettings& settings) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  std::string digits;
  int exp = 0;
  ShortestDigits(value, digits, exp);
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  const int n = static_cast<int>(digits.size());
  if (exp >= -5 && exp < 15) {
    if (exp < 0) {
      out += '0';
      out += settings.DecimalSeparator;
      out.append(static_cast<size_t>(-exp - 1), '0');
      out += digits;
    } else if (exp + 1 >= n) {
      out += digits;
      out.append(static_cast<size_t>(exp + 1 - n), '0');
    } else {
      out.append(digits, 0, static_cast<size_t>(exp + 1));
      out += settings.DecimalSeparator;
      out.append(digits, static_cast<size_t>(exp + 1));
    }
  } else {
    out += digits[0];
    if (n > 1) {
      out += settings.DecimalSeparator;
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(exp);
  }
  return out;
}

// Reads "[sign]digits[sep digits][(e|E)[sign]digits]" and rewrites it for
// from_chars ('.' separator, no '+'). False when the text has another shape.
bool NormaliseFloatText(std::string_view s, char sep, std::string& out, bool& negative) {
  out.clear();
  negative = false;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) {
    out.push_back(s[i++]);
    ++digits;
  }
  if (i < s.size() && s[i] == sep) {
    ++i;
    out.push_back('.');
    while (i < s.size() && IsDigit(s[i])) {
      out.push_back(s[i++]);
      ++digits;
    }
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    out.push_back('e');
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      if (s[i] == '-') out.push_back('-');
      ++i;
    }
    size_t expDigits = 0;
    while (i < s.size() && IsDigit(s[i])) {
      out.push_back(s[i++]);
      ++expDigits;
    }
    if (expDigits == 0) return false;
  }
  return i == s.size();
}

template <typename T>
bool TryParseInt(std::string_view text, T& value) noexcept {
  std::string_view s = TrimView(text);
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return false;
  }
  if (s.empty()) return false;
  T v{};
  auto res = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
  value = v;
  return true;
}

// Turns decimal digits (integer part, fraction part, power of ten) into the
// value × 10^scale, rounding half away from zero. False on overflow.
bool DecimalToScaled(std::string_view intDigits, std::string_view fracDigits, long exp10, bool negative,
                     int scale, std::int64_t& out) {
  // Position of the decimal point inside the combined digit string.
  std::string all;
  all.reserve(intDigits.size() + fracDigits.size());
  all.append(intDigits);
  all.append(fracDigits);
  size_t first = all.find_first_not_of('0');
  if (first == std::string::npos) {
    out = 0;
    return true;
  }
  long point = static_cast<long>(intDigits.size()) + exp10 + scale;  // digits left of the scaled point
  long firstPos = static_cast<long>(first);
  if (point - firstPos > 19) return false;  // more than 19 integer digits of the scaled value
  unsigned __int128 acc = 0;
  for (long i = firstPos; i < point; ++i) {
    int d = i < static_cast<long>(all.size()) ? all[static_cast<size_t>(i)] - '0' : 0;
    acc = acc * 10 + static_cast<unsigned>(d);
  }
  if (point >= 0 && point < static_cast<long>(all.size()) && all[static_cast<size_t>(point)] >= '5') acc += 1;
  const unsigned __int128 limit =
      negative ? static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) + 1
               : static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
  if (acc > limit) return false;
  out = negative ? static_cast<std::int64_t>(-static_cast<__int128>(acc)) : static_cast<std::int64_t>(acc);
  return true;
}

bool ParseDecimalScaled(std::string_view text, char sep, int scale, std::int64_t& out) {
  std::string_view s = TrimView(text);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  size_t intStart = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  std::string_view intDigits = s.substr(intStart, i - intStart);
  std::string_view fracDigits;
  if (i < s.size() && s[i] == sep) {
    size_t fracStart = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    fracDigits = s.substr(fracStart, i - fracStart);
  }
  if (intDigits.empty() && fracDigits.empty()) return false;
  long exp10 = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool expNeg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      expNeg = s[i] == '-';
      ++i;
    }
    size_t expStart = i;
    while (i < s.size() && IsDigit(s[i])) {
      if (exp10 < 100000) exp10 = exp10 * 10 + (s[i] - '0');
      ++i;
    }
    if (i == expStart) return false;
    if (expNeg) exp10 = -exp10;
  }
  if (i != s.size()) return false;
  return DecimalToScaled(intDigits, fracDigits, exp10, negative, scale, out);
}

}  // namespace

const TFormatSettings& FormatSettings() noexcept { return Current(); }

const TFormatSettings& InvariantFormatSettings() noexcept {
  static const TFormatSettings invariant;
  return invariant;
}

void SetFormatSettings(const TFormatSettings& settings) { Current() = settings; }

TFormatSettingsOverride::TFormatSettingsOverride(const TFormatSettings& settings) : FSaved(Current()) {
  Current() = settings;
}

TFormatSettingsOverride::~TFormatSettingsOverride() { Current() = FSaved; }

std::string_view TrimView(std::string_view text) noexcept {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string FloatToStr(double value) { return ShortestToStr(value, FormatSettings()); }
std::string FloatToStr(double value, const TFormatSettings& settings) { return ShortestToStr(value, settings); }
std::string SingleToStr(float value) { return ShortestToStr(value, FormatSettings()); }
std::string SingleToStr(float value, const TFormatSettings& settings) { return ShortestToStr(value, settings); }

bool TryStrToFloat(std::string_view text, double& value) noexcept {
  return TryStrToFloat(text, value, FormatSettings());
}

bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& settings) noexcept {
  try {
    std::string_view s = TrimView(text);
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
      negative = body[0] == '-';
      body.remove_prefix(1);
    }
    if (SameTextAscii(body, "INF") || SameTextAscii(body, "INFINITY")) {
      value = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
      return true;
    }
    if (SameTextAscii(body, "NAN")) {
      value = std::numeric_limits<double>::quiet_NaN();
      return true;
    }
    std::string norm;
    if (!NormaliseFloatText(s, settings.DecimalSeparator, norm, negative)) return false;
    double v = 0;
    auto res = std::from_chars(norm.data(), norm.data() + norm.size(), v, std::chars_format::general);
    if (res.ptr != norm.data() + norm.size()) return false;
    if (res.ec == std::errc::result_out_of_range) {
      // Underflow reads as zero; overflow is an error.
      size_t e = norm.find('e');
      if (e == std::string::npos || e + 1 >= norm.size() || norm[e + 1] != '-') return false;
      v = 0;
    } else if (res.ec != std::errc()) {
      return false;
    }
    value = negative ? -v : v;
    return true;
  } catch (...) {
    return false;
  }
}

double StrToFloat(std::string_view text) { return StrToFloat(text, FormatSettings()); }

double StrToFloat(std::string_view text, const TFormatSettings& settings) {
  double v = 0;
  if (!TryStrToFloat(text, v, settings))
    throw EConvertError(Format("'%s' is not a valid floating point value", {text}));
  return v;
}

bool TryStrToInt(std::string_view text, std::int32_t& value) noexcept { return TryParseInt(text, value); }
bool TryStrToInt64(std::string_view text, std::int64_t& value) noexcept { return TryParseInt(text, value); }
bool TryStrToUInt64(std::string_view text, std::uint64_t& value) noexcept { return TryParseInt(text, value); }

std::int32_t StrToInt(std::string_view text) {
  std::int32_t v = 0;
  if (!TryStrToInt(text, v)) throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  return v;
}

std::int64_t StrToInt64(std::string_view text) {
  std::int64_t v = 0;
  if (!TryStrToInt64(text, v)) throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  return v;
}

std::uint64_t StrToUInt64(std::string_view text) {
  std::uint64_t v = 0;
  if (!TryStrToUInt64(text, v)) throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  return v;
}

std::string BoolToStr(bool value) {
  const TFormatSettings& fs = FormatSettings();
  return value ? fs.TrueBoolStr : fs.FalseBoolStr;
}

bool TryStrToBool(std::string_view text, bool& value) noexcept {
  const TFormatSettings& fs = FormatSettings();
  std::string_view s = TrimView(text);
  if (SameTextAscii(s, fs.TrueBoolStr) || SameTextAscii(s, "True")) {
    value = true;
    return true;
  }
  if (SameTextAscii(s, fs.FalseBoolStr) || SameTextAscii(s, "False")) {
    value = false;
    return true;
  }
  double d = 0;
  if (TryStrToFloat(s, d, fs) && !std::isnan(d)) {
    value = d != 0;
    return true;
  }
  return false;
}

bool StrToBool(std::string_view text) {
  bool v = false;
  if (!TryStrToBool(text, v)) throw EConvertError(Format("'%s' is not a valid boolean value", {text}));
  return v;
}

double CurrToDouble(Currency value) noexcept {
  return static_cast<double>(value.Scaled) / static_cast<double>(Currency::Factor);
}

bool TryDoubleToCurr(double value, Currency& result) noexcept {
  if (!std::isfinite(value)) return false;
  if (std::fabs(value) > 1e15) return false;  // beyond ±922 337 203 685 477
  try {
    // Through the shortest decimal text, so that 0.00005 rounds as written.
    std::string text = ShortestToStr(value, InvariantFormatSettings());
    std::int64_t scaled = 0;
    if (!ParseDecimalScaled(text, '.', 4, scaled)) return false;
    result.Scaled = scaled;
    return true;
  } catch (...) {
    return false;
  }
}

Currency DoubleToCurr(double value) {
  Currency c;
  if (!TryDoubleToCurr(value, c))
    throw EConvertError(Format("Value is out of range: %s", {FloatToStr(value)}));
  return c;
}

std::string CurrToStr(Currency value) { return CurrToStr(value, FormatSettings()); }

std::string CurrToStr(Currency value, const TFormatSettings& settings) {
  const bool negative = value.Scaled < 0;
  const std::uint64_t mag = negative ? 0 - static_cast<std::uint64_t>(value.Scaled)
                                     : static_cast<std::uint64_t>(value.Scaled);
  std::string out = negative ? "-" : "";
  out += std::to_string(mag / 10000);
  std::uint64_t frac = mag % 10000;
  if (frac != 0) {
    char buf[5];
    for (int i = 3; i >= 0; --i) {
      buf[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    int len = 4;
    while (buf[len - 1] == '0') --len;
    out += settings.DecimalSeparator;
    out.append(buf, static_cast<size_t>(len));
  }
  return out;
}

bool TryStrToCurr(std::string_view text, Currency& value) noexcept {
  return TryStrToCurr(text, value, FormatSettings());
}

bool TryStrToCurr(std::string_view text, Currency& value, const TFormatSettings& settings) noexcept {
  try {
    std::int64_t scaled = 0;
    if (!ParseDecimalScaled(text, settings.DecimalSeparator, 4, scaled)) return false;
    value.Scaled = scaled;
    return true;
  } catch (...) {
    return false;
  }
}

Currency StrToCurr(std::string_view text) {
  Currency c;
  if (!TryStrToCurr(text, c)) throw EConvertError(Format("'%s' is not a valid floating point value", {text}));
  return c;
}

}  // namespace lumo
