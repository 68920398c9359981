#include <lumokit/core/Bcd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include <lumokit/core/Format.h>

namespace lumo {

namespace {

// A decimal in working form: value = Digits × 10^-Scale, Digits holding
// '0'..'9' most significant first without leading zeros ("" is zero).
struct Dec {
  bool Neg = false;
  std::string Digits;
  int Scale = 0;
};

[[noreturn]] void Overflow() { throw EBcdError("BCD overflow"); }

void StripLeading(std::string& d) {
  size_t i = d.find_first_not_of('0');
  d.erase(0, i == std::string::npos ? d.size() : i);
}

bool IsZero(const Dec& d) { return d.Digits.empty(); }

int IntDigits(const Dec& d) { return std::max(0, static_cast<int>(d.Digits.size()) - d.Scale); }

void StripTrailingZeros(Dec& d) {
  while (d.Scale > 0 && !d.Digits.empty() && d.Digits.back() == '0') {
    d.Digits.pop_back();
    --d.Scale;
  }
  if (d.Digits.empty()) d.Scale = 0;
}

// Adds one unit in the last place of a digit string (magnitude).
void Increment(std::string& d) {
  int i = static_cast<int>(d.size()) - 1;
  while (i >= 0 && d[static_cast<size_t>(i)] == '9') d[static_cast<size_t>(i--)] = '0';
  if (i < 0)
    d.insert(d.begin(), '1');
  else
    ++d[static_cast<size_t>(i)];
}

// Reduces the scale to `scale`, rounding half away from zero.
void RoundToScale(Dec& d, int scale) {
  if (d.Scale <= scale) return;
  const int drop = d.Scale - scale;
  const int len = static_cast<int>(d.Digits.size());
  bool up = false;
  if (drop <= len) {
    up = d.Digits[static_cast<size_t>(len - drop)] >= '5';
    d.Digits.resize(static_cast<size_t>(len - drop));
  } else {
    d.Digits.clear();
  }
  d.Scale = scale;
  if (up) Increment(d.Digits);
  StripLeading(d.Digits);
  if (d.Digits.empty()) d.Neg = false;
}

// Brings a value into the packed limits: rounds fraction digits that do not
// fit, raises on an integer part of more than 64 digits.
void Fit(Dec& d) {
  StripLeading(d.Digits);
  if (d.Digits.empty()) {
    d.Neg = false;
    d.Scale = 0;
    return;
  }
  if (IntDigits(d) > MaxFMTBcdDigits) Overflow();
  int room = MaxFMTBcdDigits - std::max(1, IntDigits(d));
  RoundToScale(d, std::min({d.Scale, room, MaxFMTBcdScale}));
  if (IntDigits(d) > MaxFMTBcdDigits) Overflow();  // rounding carried a digit
  if (std::max(1, IntDigits(d)) + d.Scale > MaxFMTBcdDigits) RoundToScale(d, d.Scale - 1);
}

Dec Unpack(const TBcd& b) {
  const int precision = b.Precision;
  const int places = b.SignSpecialPlaces & 0x3F;
  if (precision > MaxFMTBcdDigits || places > precision || (b.SignSpecialPlaces & 0x40) != 0)
    throw EBcdError("Invalid BCD value");
  Dec d;
  d.Digits.reserve(static_cast<size_t>(precision));
  for (int i = 0; i < precision; ++i) {
    const std::uint8_t byte = b.Fraction[i / 2];
    const int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    if (nibble > 9) throw EBcdError("Invalid BCD value");
    d.Digits.push_back(static_cast<char>('0' + nibble));
  }
  d.Scale = places;
  d.Neg = (b.SignSpecialPlaces & 0x80) != 0;
  StripLeading(d.Digits);
  if (d.Digits.empty()) {
    d.Neg = false;
    d.Scale = 0;
  }
  return d;
}

// Packs with exactly `precision` digits and `places` fraction digits; the
// value must already have at most `places` fraction digits and fit.
TBcd PackExact(const Dec& d, int precision, int places) {
  TBcd b;
  b.Precision = static_cast<std::uint8_t>(precision);
  b.SignSpecialPlaces = static_cast<std::uint8_t>(places | (d.Neg && !IsZero(d) ? 0x80 : 0));
  // Digits aligned so that the last one sits at fraction position `places`.
  std::string all(static_cast<size_t>(precision), '0');
  const int shift = places - d.Scale;  // zeros appended after the digits
  const int end = precision - shift;   // index after the last digit
  for (int k = 0; k < static_cast<int>(d.Digits.size()); ++k) {
    const int pos = end - static_cast<int>(d.Digits.size()) + k;
    if (pos >= 0 && pos < precision) all[static_cast<size_t>(pos)] = d.Digits[static_cast<size_t>(k)];
  }
  for (int i = 0; i < precision; ++i) {
    const int v = all[static_cast<size_t>(i)] - '0';
    if (i % 2 == 0)
      b.Fraction[i / 2] = static_cast<std::uint8_t>(v << 4);
    else
      b.Fraction[i / 2] = static_cast<std::uint8_t>(b.Fraction[i / 2] | v);
  }
  return b;
}

TBcd Pack(Dec d) {
  Fit(d);
  return PackExact(d, std::max(1, IntDigits(d)) + d.Scale, d.Scale);
}

// --- Magnitude arithmetic on digit strings (integers, no leading zeros) ---

int CmpInt(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string AddInt(const std::string& a, const std::string& b) {
  std::string r;
  r.reserve(std::max(a.size(), b.size()) + 1);
  int carry = 0;
  for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
    int s = carry;
    if (i < a.size()) s += a[a.size() - 1 - i] - '0';
    if (i < b.size()) s += b[b.size() - 1 - i] - '0';
    r.push_back(static_cast<char>('0' + s % 10));
    carry = s / 10;
  }
  std::reverse(r.begin(), r.end());
  StripLeading(r);
  return r;
}

// a - b for a >= b.
std::string SubInt(const std::string& a, const std::string& b) {
  std::string r;
  r.reserve(a.size());
  int borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int s = (a[a.size() - 1 - i] - '0') - borrow;
    if (i < b.size()) s -= b[b.size() - 1 - i] - '0';
    borrow = s < 0 ? 1 : 0;
    if (s < 0) s += 10;
    r.push_back(static_cast<char>('0' + s));
  }
  std::reverse(r.begin(), r.end());
  StripLeading(r);
  return r;
}

std::string MulInt(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return {};
  std::vector<int> acc(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j)
      acc[i + j + 1] += (a[i] - '0') * (b[j] - '0');
  for (size_t k = acc.size() - 1; k > 0; --k) {
    acc[k - 1] += acc[k] / 10;
    acc[k] %= 10;
  }
  std::string r;
  r.reserve(acc.size());
  for (int v : acc) r.push_back(static_cast<char>('0' + v));
  StripLeading(r);
  return r;
}

// Integer quotient a / b (b non-zero), schoolbook long division.
std::string DivInt(const std::string& a, const std::string& b) {
  std::string q, rem;
  q.reserve(a.size());
  for (char c : a) {
    rem.push_back(c);
    StripLeading(rem);
    int count = 0;
    while (CmpInt(rem, b) >= 0) {
      rem = SubInt(rem, b);
      ++count;
    }
    q.push_back(static_cast<char>('0' + count));
  }
  StripLeading(q);
  return q;
}

// Mantissas of a and b at a common scale.
void Align(const Dec& a, const Dec& b, std::string& ma, std::string& mb, int& scale) {
  scale = std::max(a.Scale, b.Scale);
  ma = a.Digits;
  mb = b.Digits;
  if (!ma.empty()) ma.append(static_cast<size_t>(scale - a.Scale), '0');
  if (!mb.empty()) mb.append(static_cast<size_t>(scale - b.Scale), '0');
}

int CompareDec(const Dec& a, const Dec& b) {
  if (a.Neg != b.Neg) return a.Neg ? -1 : 1;
  std::string ma, mb;
  int scale;
  Align(a, b, ma, mb, scale);
  const int c = CmpInt(ma, mb);
  return a.Neg ? -c : c;
}

Dec AddDec(const Dec& a, const Dec& b) {
  std::string ma, mb;
  Dec r;
  Align(a, b, ma, mb, r.Scale);
  if (a.Neg == b.Neg) {
    r.Digits = AddInt(ma, mb);
    r.Neg = a.Neg;
  } else if (CmpInt(ma, mb) >= 0) {
    r.Digits = SubInt(ma, mb);
    r.Neg = a.Neg;
  } else {
    r.Digits = SubInt(mb, ma);
    r.Neg = b.Neg;
  }
  if (r.Digits.empty()) r.Neg = false;
  return r;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses "[sign]digits[sep digits][e[sign]digits]" (the exponent only when
// allowed). Integer parts beyond 64 significant digits overflow; fraction
// digits beyond what can matter for rounding are not kept.
enum class ParseResult { Ok, Invalid, Overflow };

ParseResult ParseDec(std::string_view text, char sep, bool allowExponent, Dec& out) {
  std::string_view s = TrimView(text);
  size_t i = 0;
  Dec d;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    d.Neg = s[i] == '-';
    ++i;
  }
  size_t digitCount = 0;
  std::string intPart;
  while (i < s.size() && IsDigit(s[i])) {
    if (!(intPart.empty() && s[i] == '0')) {
      if (intPart.size() > MaxFMTBcdDigits + 400) return ParseResult::Overflow;
      intPart.push_back(s[i]);
    }
    ++i;
    ++digitCount;
  }
  std::string fracPart;
  if (i < s.size() && s[i] == sep) {
    ++i;
    while (i < s.size() && IsDigit(s[i])) {
      // Beyond 400 fraction digits nothing can reach the packed form (the
      // exponent is bounded to ±340), except the rounding digit, kept.
      if (fracPart.size() < 420) fracPart.push_back(s[i]);
      ++i;
      ++digitCount;
    }
  }
  if (digitCount == 0) return ParseResult::Invalid;
  long exp10 = 0;
  if (allowExponent && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool expNeg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      expNeg = s[i] == '-';
      ++i;
    }
    size_t start = i;
    while (i < s.size() && IsDigit(s[i])) {
      if (exp10 < 100000) exp10 = exp10 * 10 + (s[i] - '0');
      ++i;
    }
    if (i == start) return ParseResult::Invalid;
    if (exp10 > 400) {
      if (!expNeg && !(intPart.empty() && fracPart.find_first_not_of('0') == std::string::npos))
        return ParseResult::Overflow;
      if (expNeg) {
        out = Dec{};
        return i == s.size() ? ParseResult::Ok : ParseResult::Invalid;
      }
      exp10 = 0;  // zero with a huge exponent is zero
    }
    if (expNeg) exp10 = -exp10;
  }
  if (i != s.size()) return ParseResult::Invalid;
  d.Digits = intPart + fracPart;
  d.Scale = static_cast<int>(fracPart.size());
  if (exp10 > 0) {
    const int shift = static_cast<int>(std::min<long>(exp10, d.Scale));
    d.Scale -= shift;
    if (exp10 > shift && !d.Digits.empty()) d.Digits.append(static_cast<size_t>(exp10 - shift), '0');
  } else if (exp10 < 0) {
    d.Scale += static_cast<int>(-exp10);
  }
  StripLeading(d.Digits);
  if (d.Digits.empty()) {
    d.Neg = false;
    d.Scale = 0;
  }
  if (IntDigits(d) > MaxFMTBcdDigits) return ParseResult::Overflow;
  out = std::move(d);
  return ParseResult::Ok;
}

std::string DecToStr(Dec d, char sep) {
  StripTrailingZeros(d);
  if (d.Digits.empty()) return "0";
  std::string out = d.Neg ? "-" : "";
  const int intDigits = IntDigits(d);
  if (intDigits == 0)
    out += '0';
  else
    out.append(d.Digits, 0, static_cast<size_t>(intDigits));
  if (d.Scale > 0) {
    out += sep;
    out.append(static_cast<size_t>(std::max(0, d.Scale - static_cast<int>(d.Digits.size()))), '0');
    out.append(d.Digits, static_cast<size_t>(intDigits));
  }
  return out;
}

Dec DecFromUInt(std::uint64_t v, bool neg) {
  Dec d;
  d.Digits = v == 0 ? std::string() : std::to_string(v);
  d.Neg = neg && v != 0;
  return d;
}

// Integer part (toward zero) into an int64; false outside its range.
bool DecToInt64(const Dec& d, std::int64_t& out) {
  const int intDigits = IntDigits(d);
  if (intDigits > 19) return false;
  unsigned __int128 v = 0;
  for (int i = 0; i < intDigits; ++i) v = v * 10 + static_cast<unsigned>(d.Digits[static_cast<size_t>(i)] - '0');
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (d.Neg ? 1 : 0);
  if (v > limit) return false;
  out = d.Neg ? static_cast<std::int64_t>(-static_cast<__int128>(v)) : static_cast<std::int64_t>(v);
  return true;
}

}  // namespace

bool IsBcdNegative(const TBcd& value) { return Unpack(value).Neg; }

bool IsBcdZero(const TBcd& value) { return IsZero(Unpack(value)); }

bool TryStrToBcd(std::string_view text, TBcd& result) noexcept { return TryStrToBcd(text, result, FormatSettings()); }

bool TryStrToBcd(std::string_view text, TBcd& result, const TFormatSettings& settings) noexcept {
  try {
    Dec d;
    if (ParseDec(text, settings.DecimalSeparator, false, d) != ParseResult::Ok) return false;
    result = Pack(std::move(d));
    return true;
  } catch (...) {
    return false;
  }
}

TBcd StrToBcd(std::string_view text) { return StrToBcd(text, FormatSettings()); }

TBcd StrToBcd(std::string_view text, const TFormatSettings& settings) {
  Dec d;
  switch (ParseDec(text, settings.DecimalSeparator, false, d)) {
    case ParseResult::Ok:
      return Pack(std::move(d));
    case ParseResult::Overflow:
      Overflow();
    case ParseResult::Invalid:
      break;
  }
  throw EBcdError(Format("'%s' is not a valid BCD value", {text.substr(0, 200)}));
}

std::string BcdToStr(const TBcd& value) { return BcdToStr(value, FormatSettings()); }

std::string BcdToStr(const TBcd& value, const TFormatSettings& settings) {
  return DecToStr(Unpack(value), settings.DecimalSeparator);
}

TBcd Int64ToBcd(std::int64_t value) {
  const bool neg = value < 0;
  const std::uint64_t mag = neg ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  return Pack(DecFromUInt(mag, neg));
}

TBcd UInt64ToBcd(std::uint64_t value) { return Pack(DecFromUInt(value, false)); }

TBcd DoubleToBcd(double value) {
  if (!std::isfinite(value)) Overflow();
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  Dec d;
  if (ParseDec(std::string_view(buf, static_cast<size_t>(res.ptr - buf)), '.', true, d) != ParseResult::Ok)
    Overflow();
  return Pack(std::move(d));
}

double BcdToDouble(const TBcd& value) {
  const std::string text = DecToStr(Unpack(value), '.');
  double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v;
}

bool TryBcdToInt64(const TBcd& value, std::int64_t& result) noexcept {
  try {
    return DecToInt64(Unpack(value), result);
  } catch (...) {
    return false;
  }
}

std::int64_t BcdToInt64(const TBcd& value) {
  std::int64_t v = 0;
  if (!DecToInt64(Unpack(value), v)) Overflow();
  return v;
}

bool TryBcdToCurr(const TBcd& value, Currency& result) noexcept {
  try {
    Dec d = Unpack(value);
    StripTrailingZeros(d);
    if (d.Scale > 4) return false;
    d.Digits.append(static_cast<size_t>(4 - d.Scale), '0');
    d.Scale = 0;
    StripLeading(d.Digits);
    std::int64_t v = 0;
    if (!DecToInt64(d, v)) return false;
    result.Scaled = v;
    return true;
  } catch (...) {
    return false;
  }
}

Currency BcdToCurr(const TBcd& value) {
  Currency c;
  if (TryBcdToCurr(value, c)) return c;
  if (GetBcdScale(value) > 4) throw EBcdError(Format("%s has invalid scale", {BcdToStr(value)}));
  throw EBcdError(Format("Value is out of range: %s", {BcdToStr(value)}));
}

TBcd CurrToBcd(Currency value) {
  const bool neg = value.Scaled < 0;
  const std::uint64_t mag = neg ? 0 - static_cast<std::uint64_t>(value.Scaled) : static_cast<std::uint64_t>(value.Scaled);
  Dec d = DecFromUInt(mag, neg);
  d.Scale = 4;
  StripTrailingZeros(d);
  return Pack(std::move(d));
}

bool NormalizeBcd(const TBcd& value, TBcd& result, int precision, int places) {
  if (precision < 1 || precision > MaxFMTBcdDigits || places < 0 || places > precision ||
      places > MaxFMTBcdScale)
    return false;
  Dec d = Unpack(value);
  RoundToScale(d, places);
  if (IntDigits(d) > precision - places) return false;
  result = PackExact(d, precision, places);
  return true;
}

int BcdCompare(const TBcd& a, const TBcd& b) { return CompareDec(Unpack(a), Unpack(b)); }

bool operator==(const TBcd& a, const TBcd& b) { return BcdCompare(a, b) == 0; }

TBcd BcdAdd(const TBcd& a, const TBcd& b) { return Pack(AddDec(Unpack(a), Unpack(b))); }

TBcd BcdSubtract(const TBcd& a, const TBcd& b) {
  Dec nb = Unpack(b);
  if (!IsZero(nb)) nb.Neg = !nb.Neg;
  return Pack(AddDec(Unpack(a), nb));
}

TBcd BcdNegate(const TBcd& a) {
  Dec d = Unpack(a);
  if (!IsZero(d)) d.Neg = !d.Neg;
  return Pack(std::move(d));
}

TBcd BcdMultiply(const TBcd& a, const TBcd& b) {
  const Dec da = Unpack(a), db = Unpack(b);
  Dec r;
  r.Digits = MulInt(da.Digits, db.Digits);
  r.Scale = da.Scale + db.Scale;
  r.Neg = da.Neg != db.Neg && !r.Digits.empty();
  return Pack(std::move(r));
}

TBcd BcdDivide(const TBcd& a, const TBcd& b) {
  const Dec da = Unpack(a), db = Unpack(b);
  if (IsZero(db)) throw EBcdError("Division by zero");
  if (IsZero(da)) return Pack(Dec{});
  // Upper bound of the quotient's integer digits, and the scale that fits.
  const int intDigits = (static_cast<int>(da.Digits.size()) - da.Scale) -
                        (static_cast<int>(db.Digits.size()) - db.Scale) + 1;
  if (intDigits > MaxFMTBcdDigits + 1) Overflow();
  const int scale = std::clamp(MaxFMTBcdDigits - std::max(1, intDigits), 0, MaxFMTBcdScale);
  // q = a × 10^(scale + sb - sa + 1) / b, one digit more for rounding.
  const int e = scale + db.Scale - da.Scale + 1;
  std::string n = da.Digits, dv = db.Digits;
  if (e >= 0)
    n.append(static_cast<size_t>(e), '0');
  else
    dv.append(static_cast<size_t>(-e), '0');
  std::string q = DivInt(n, dv);
  Dec r;
  r.Neg = da.Neg != db.Neg;
  r.Digits = q;
  r.Scale = scale + 1;
  RoundToScale(r, scale);
  r.Neg = r.Neg && !r.Digits.empty();
  StripTrailingZeros(r);
  return Pack(std::move(r));
}

int GetBcdPrecision(const TBcd& value) {
  Dec d = Unpack(value);
  StripTrailingZeros(d);
  return std::max(1, IntDigits(d)) + d.Scale;
}

int GetBcdScale(const TBcd& value) {
  Dec d = Unpack(value);
  StripTrailingZeros(d);
  return d.Scale;
}

bool IsBcdInt(const TBcd& value) { return GetBcdScale(value) == 0; }

}  // namespace lumo
