#include <lumokit/data/KxDataConverters.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemData.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

static_assert(std::endian::native == std::endian::little, "exchange forms are little-endian");

namespace {

// ---- arguments, raw access, failures ------------------------------------------------

struct Args {
  TStringHeap* Heap;
  const void* Src;
  int SrcLen;
  int SrcScale;
  void* Dst;
  int DstLen;
  int DstScale;
  bool Ignore;
};

template <class T>
T Load(const void* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void Store(void* p, const T& v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

[[noreturn]] void Fail(std::string_view message) { throw EDataMappingError(std::string(message)); }
[[noreturn]] void Fail(std::string_view fmt, std::string_view value) { throw EDataMappingError(Format(fmt, {value})); }

constexpr std::string_view kOutOfRange = "Value is out of range: %s";
constexpr std::string_view kCannotConvert = "Value cannot be converted: %s";
constexpr std::string_view kTooLong = "String value is too long";
constexpr std::string_view kBinaryTooLong = "Binary value is too long";
constexpr std::string_view kInvalidBinary = "Invalid binary value";
constexpr std::string_view kInvalidScale = "%s has invalid scale";

// dtBCD holds value x 10 000 in 64 bits; whole values beyond this bound do
// not fit.
constexpr std::int64_t kBcdWholeBound = 922337203685477;
constexpr std::int64_t kBcdBound = kBcdWholeBound * Currency::Factor;
constexpr std::int32_t kDecValue[4] = {10000, 1000, 100, 10};
constexpr double kTwo63 = 9223372036854775808.0;

// ---- values as read from a source ----------------------------------------------------

struct IntV {
  std::int64_t V;
};
struct FloatV {
  double V;
  bool Single;
};
struct BcdV {
  std::int64_t Scaled;
};
struct FmtV {
  TBcd V;
};
struct BoolV {
  std::uint16_t W;
};
struct DateV {
  std::uint16_t Kind;  // dtDate, dtTime, dtDateTime or dtSQLTimeStamp
  std::int32_t Num;    // day (dtDate) or milliseconds (dtTime)
  double MSecs;        // dtDateTime
  TSQLTimeStamp Sql;   // dtSQLTimeStamp
};
struct ATextV {
  std::string_view V;
};
struct WTextV {
  std::u16string_view V;
};
struct BinV {
  const std::uint8_t* P;
  std::size_t N;
  bool Fixed;  // dtBytes: the whole field, trailing zeros are padding
};

std::string IntText(std::int64_t v) { return std::to_string(v); }
std::string FloatText(const FloatV& f) { return f.Single ? SingleToStr(static_cast<float>(f.V)) : FloatToStr(f.V); }
std::string BcdText(std::int64_t scaled) { return CurrToStr(Currency::FromScaled(scaled)); }
std::string FmtText(const TBcd& v) { return BcdToStr(v); }

// ---- small numeric helpers -----------------------------------------------------------

// `text` gives the value's text for the message, only when one is raised.
template <class T, class TextFn>
void PutInt(const Args& a, std::int64_t v, TextFn&& text) {
  constexpr std::int64_t lo = static_cast<std::int64_t>(std::numeric_limits<T>::min());
  constexpr std::int64_t hi = static_cast<std::int64_t>(std::numeric_limits<T>::max());
  if (v < lo || v > hi) {
    if (!a.Ignore) Fail(kOutOfRange, text());
    v = v < lo ? lo : hi;
  }
  Store(a.Dst, static_cast<T>(v));
}

// A finite double's integer part in int64, or the nearest limit.
std::int64_t TruncClamp(double v, bool& outOfRange) noexcept {
  outOfRange = false;
  if (std::isnan(v)) return 0;
  double t = std::trunc(v);
  if (t < -kTwo63) {
    outOfRange = true;
    return std::numeric_limits<std::int64_t>::min();
  }
  if (t >= kTwo63) {
    outOfRange = true;
    return std::numeric_limits<std::int64_t>::max();
  }
  return static_cast<std::int64_t>(t);
}

// The integer part of a decimal, clamped, with whether it was out of range.
std::int64_t BcdIntClamp(const TBcd& v, bool& outOfRange) {
  std::int64_t r = 0;
  outOfRange = !TryBcdToInt64(v, r);
  if (outOfRange)
    r = IsBcdNegative(v) ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  return r;
}

// Drops fraction digits beyond `places` toward zero.
TBcd TruncBcd(const TBcd& v, int places) {
  if (GetBcdScale(v) <= places) return v;
  std::string t = BcdToStr(v, InvariantFormatSettings());
  std::size_t dot = t.find('.');
  if (dot != std::string::npos) t.resize(places > 0 ? dot + 1 + static_cast<std::size_t>(places) : dot);
  if (t.empty() || t == "-") t = "0";
  return StrToBcd(t, InvariantFormatSettings());
}

// Significant digits before the point (0 for a value below one).
int BcdIntDigits(const TBcd& v) {
  std::string t = BcdToStr(v, InvariantFormatSettings());
  std::size_t i = (t[0] == '-') ? 1 : 0;
  std::size_t dot = t.find('.');
  std::size_t end = dot == std::string::npos ? t.size() : dot;
  while (i < end && t[i] == '0') ++i;
  return static_cast<int>(end - i);
}

bool IsValidBcdBytes(const std::uint8_t* p) {
  TBcd v;
  std::memcpy(&v, p, sizeof v);
  try {
    (void)GetBcdScale(v);
    return (v.SignSpecialPlaces & 0x40) == 0;
  } catch (const Exception&) {
    return false;
  }
}

// Reads decimal text (or, failing that, float text with an exponent).
bool TryTextToBcd(std::string_view text, TBcd& v) {
  if (TryStrToBcd(text, v)) return true;
  double d;
  if (!TryStrToFloat(text, d) || !std::isfinite(d)) return false;
  try {
    v = DoubleToBcd(d);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// The exact decimal of a finite float: the shortest text that reads back to
// it. False when that has no 64-digit form.
bool FloatToBcd(const FloatV& v, TBcd& r) {
  if (!std::isfinite(v.V)) return false;
  if (v.Single) return TryTextToBcd(FloatText(v), r);
  try {
    r = DoubleToBcd(v.V);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

bool IsIntegerSyntax(std::string_view t) noexcept {
  std::size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i >= t.size()) return false;
  for (; i < t.size(); ++i)
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

// ---- dates --------------------------------------------------------------------------

constexpr TTimeStamp kZeroStamp{DateDelta, 0};

bool ValidStamp(const TTimeStamp& ts) noexcept {
  return ts.Date > 0 && ts.Date <= 3652059 && ts.Time >= 0 && ts.Time < MSecsPerDay;
}

std::string DateSourceText(const DateV& d) {
  switch (d.Kind) {
    case dtDate:
    case dtTime:
      return IntText(d.Num);
    case dtDateTime:
      return FloatToStr(d.MSecs);
    default:
      return SQLTimeStampToStr(d.Sql);
  }
}

// The moment a date value stands for; an invalid one fails or, ignoring,
// gives the date-time number 0.
TTimeStamp StampOf(const Args& a, const DateV& d) {
  TTimeStamp ts{};
  bool ok = true;
  try {
    switch (d.Kind) {
      case dtDate:
        ts = {d.Num, 0};
        break;
      case dtTime:
        ts = {DateDelta, d.Num};
        break;
      case dtDateTime:
        ts = MSecsToTimeStamp(d.MSecs);
        break;
      default:
        ts = DateTimeToTimeStamp(SQLTimeStampToDateTime(d.Sql));
        break;
    }
  } catch (const EConvertError&) {
    ok = false;
  }
  if (!ok || !ValidStamp(ts)) {
    if (!a.Ignore) Fail(kCannotConvert, DateSourceText(d));
    ts = kZeroStamp;
  }
  return ts;
}

TDateTime StampToDateTime(const TTimeStamp& ts) { return TimeStampToDateTime(ts); }

std::string MSecSuffix(const TTimeStamp& ts) {
  int ms = ts.Time % MSecsPerSec;
  if (ms == 0) return {};
  char buf[8];
  std::snprintf(buf, sizeof buf, ".%03d", ms);
  return buf;
}

std::string DateText(const Args& a, const DateV& d) {
  if (d.Kind == dtSQLTimeStamp) return SQLTimeStampToStr(d.Sql);
  if (d.Kind == dtTime && (d.Num < 0 || d.Num >= MSecsPerDay)) return TimeSpanToStr(d.Num);
  TTimeStamp ts = StampOf(a, d);
  TDateTime dt = StampToDateTime(ts);
  switch (d.Kind) {
    case dtDate:
      return DateToStr(dt);
    case dtTime:
      return TimeToStr(dt) + MSecSuffix(ts);
    default:
      return DateTimeToStr(dt) + MSecSuffix(ts);
  }
}

// Parses date or time text; false when it is not one.
bool TextToStamp(std::string_view text, TTimeStamp& ts) {
  TDateTime dt;
  if (!TryStrToDateTime(TrimView(text), dt)) return false;
  try {
    ts = DateTimeToTimeStamp(dt);
  } catch (const EConvertError&) {
    return false;
  }
  return ValidStamp(ts);
}

// ---- text storage -------------------------------------------------------------------

std::size_t CutUtf8(std::string_view s, std::size_t n) noexcept {
  if (ResolveCodePage(CP_ACP) != CP_UTF8) return n;
  while (n > 0 && n < s.size() && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}
std::size_t CutUtf16(std::u16string_view s, std::size_t n) noexcept {
  if (n > 0 && n < s.size() && s[n] >= 0xDC00 && s[n] <= 0xDFFF && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return n;
}

// The number of characters to keep, after the length check.
template <class View>
std::size_t CheckedLength(const Args& a, View s, bool unlimited) {
  if (unlimited || s.size() <= static_cast<std::size_t>(a.DstLen)) return s.size();
  if (!a.Ignore) Fail(kTooLong);
  if constexpr (std::is_same_v<View, std::string_view>)
    return CutUtf8(s, static_cast<std::size_t>(a.DstLen));
  else
    return CutUtf16(s, static_cast<std::size_t>(a.DstLen));
}

enum class TextForm { Ansi, Wide };

template <TextForm Form, bool Ext>
struct TextStore {
  static void Put(const Args& a, std::string_view s) {
    if constexpr (Form == TextForm::Wide) {
      std::u16string w = AnsiToUnicode(s);
      PutNative(a, std::u16string_view(w));
    } else {
      PutNative(a, s);
    }
  }
  static void Put(const Args& a, std::u16string_view s) {
    if constexpr (Form == TextForm::Ansi) {
      std::string t = UnicodeToAnsi(s);
      PutNative(a, std::string_view(t));
    } else {
      PutNative(a, s);
    }
  }

 private:
  using Char = std::conditional_t<Form == TextForm::Ansi, char, char16_t>;
  static void PutNative(const Args& a, std::basic_string_view<Char> s) {
    LUMO_ASSERT(Ext || a.DstLen >= 0);
    std::size_t n = CheckedLength(a, s, Ext && a.DstLen <= 0);
    std::size_t bytes = n * sizeof(Char);
    if constexpr (Ext) {
      LUMO_ASSERT(a.Heap != nullptr);
      void* buf = a.Heap->NewBuf(static_cast<std::int64_t>(bytes + sizeof(Char)));
      if (bytes) std::memcpy(buf, s.data(), bytes);
      std::memset(static_cast<char*>(buf) + bytes, 0, sizeof(Char));
      a.Heap->DisposeBuf(Load<void*>(a.Dst));
      Store(a.Dst, buf);
    } else {
      if (bytes) std::memcpy(a.Dst, s.data(), bytes);
      std::memset(static_cast<char*>(a.Dst) + bytes, 0, sizeof(Char));
    }
  }
};

// ---- binary storage -----------------------------------------------------------------

enum class BinForm { Fixed, Var, ExtVar };

template <BinForm Form>
void PutBinary(const Args& a, const std::uint8_t* p, std::size_t n) {
  std::size_t room;
  if constexpr (Form == BinForm::ExtVar)
    room = a.DstLen > 0 ? static_cast<std::size_t>(std::min(a.DstLen, 65535)) : 65535;
  else {
    LUMO_ASSERT(a.DstLen >= 0);
    room = static_cast<std::size_t>(Form == BinForm::Var ? std::min(a.DstLen, 65535) : a.DstLen);
  }
  if (n > room) {
    if (!a.Ignore) Fail(kBinaryTooLong);
    n = room;
  }
  auto* d = static_cast<std::uint8_t*>(a.Dst);
  if constexpr (Form == BinForm::Fixed) {
    if (n) std::memmove(d, p, n);
    std::memset(d + n, 0, room - n);
  } else if constexpr (Form == BinForm::Var) {
    if (n) std::memmove(d + 2, p, n);
    Store(d, static_cast<std::uint16_t>(n));
  } else {
    LUMO_ASSERT(a.Heap != nullptr);
    auto* buf = static_cast<std::uint8_t*>(a.Heap->NewBuf(static_cast<std::int64_t>(n + 2)));
    Store(buf, static_cast<std::uint16_t>(n));
    if (n) std::memcpy(buf + 2, p, n);
    a.Heap->DisposeBuf(Load<void*>(a.Dst));
    Store(a.Dst, static_cast<void*>(buf));
  }
}

// ---- type tags ------------------------------------------------------------------------
// Each tag knows how to read its exchange form (Read: the value; Raw: its
// bytes) and, as a destination, which values it accepts (Put overloads).

struct TagBase {
  static constexpr bool kBinary = false;  // a binary type (source or destination)
  static constexpr bool kText = false;    // accepts text values of either form
  static constexpr int kFixedSize = 0;    // exchange size of a fixed-size type
  static constexpr bool kHasRaw = false;  // its bytes can go to a binary type
};

// -- integers
template <class T>
struct IntTag : TagBase {
  using Value = IntV;
  static constexpr int kFixedSize = sizeof(T);
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    f(IntV{static_cast<std::int64_t>(Load<T>(a.Src))});
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), sizeof(T));
  }

  static void Put(const Args& a, IntV v) {
    PutInt<T>(a, v.V, [&] { return IntText(v.V); });
  }
  static void Put(const Args& a, const FloatV& v) {
    bool whole = std::isfinite(v.V) && std::trunc(v.V) == v.V;
    if (!whole && !a.Ignore) Fail(kCannotConvert, FloatText(v));
    bool out;
    std::int64_t i = TruncClamp(v.V, out);
    if (out && !a.Ignore) Fail(kOutOfRange, FloatText(v));
    PutInt<T>(a, i, [&] { return FloatText(v); });
  }
  static void Put(const Args& a, BcdV v) {
    if (v.Scaled % Currency::Factor != 0 && !a.Ignore) Fail(kCannotConvert, BcdText(v.Scaled));
    PutInt<T>(a, v.Scaled / Currency::Factor, [&] { return BcdText(v.Scaled); });
  }
  static void Put(const Args& a, const FmtV& v) {
    if (!IsBcdInt(v.V) && !a.Ignore) Fail(kCannotConvert, FmtText(v.V));
    bool out;
    std::int64_t i = BcdIntClamp(v.V, out);
    if (out && !a.Ignore) Fail(kOutOfRange, FmtText(v.V));
    PutInt<T>(a, i, [&] { return FmtText(v.V); });
  }
  static void Put(const Args& a, BoolV v) {
    auto i = static_cast<std::int64_t>(static_cast<std::int16_t>(v.W));
    if (std::is_unsigned_v<T> && i < 0) i = 1;
    PutInt<T>(a, i, [&] { return IntText(i); });
  }
  static void Put(const Args& a, ATextV v) {
    std::string_view t = TrimView(v.V);
    std::int64_t i = 0;
    auto text = [&] { return std::string(v.V); };
    if (TryStrToInt64(t, i)) return PutInt<T>(a, i, text);
    if (IsIntegerSyntax(t)) {
      if (!a.Ignore) Fail(kOutOfRange, v.V);
      i = t[0] == '-' ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
      return PutInt<T>(a, i, text);
    }
    if (!a.Ignore) Fail("%s is an invalid integer value", v.V);
    Store(a.Dst, T(0));
  }
};

// -- floats (dtFloat and dtCurrency; dtSingle)
template <class T>
struct FloatTag : TagBase {
  using Value = FloatV;
  static constexpr int kFixedSize = sizeof(T);
  static constexpr bool kHasRaw = true;
  static constexpr bool kSingle = std::is_same_v<T, float>;
  template <class F>
  static void Read(const Args& a, F&& f) {
    f(FloatV{static_cast<double>(Load<T>(a.Src)), kSingle});
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), sizeof(T));
  }

  template <class TextFn>
  static void PutDouble(const Args& a, double d, TextFn&& text) {
    if constexpr (kSingle) {
      if (std::isfinite(d) && std::isinf(static_cast<float>(d))) {
        if (!a.Ignore) Fail(kOutOfRange, text());
        d = d < 0 ? -FLT_MAX : FLT_MAX;
      }
    }
    Store(a.Dst, static_cast<T>(d));
  }
  static void Put(const Args& a, IntV v) { Store(a.Dst, static_cast<T>(v.V)); }
  static void Put(const Args& a, const FloatV& v) {
    PutDouble(a, v.V, [&] { return FloatText(v); });
  }
  static void Put(const Args& a, BcdV v) {
    double d = (v.Scaled > -(std::int64_t{1} << 53) && v.Scaled < (std::int64_t{1} << 53))
                   ? static_cast<double>(v.Scaled) / 10000.0
                   : BcdToDouble(CurrToBcd(Currency::FromScaled(v.Scaled)));
    Store(a.Dst, static_cast<T>(d));
  }
  static void Put(const Args& a, const FmtV& v) {
    PutDouble(a, BcdToDouble(v.V), [&] { return FmtText(v.V); });
  }
  static void Put(const Args& a, BoolV v) { Store(a.Dst, static_cast<T>(static_cast<std::int16_t>(v.W))); }
  static void Put(const Args& a, ATextV v) {
    double d = 0;
    if (!TryStrToFloat(v.V, d)) {
      if (!a.Ignore) Fail("%s is an invalid numeric value", v.V);
      d = 0;
    }
    PutDouble(a, d, [&] { return std::string(v.V); });
  }
};

// -- dtBoolean
struct BoolTag : TagBase {
  using Value = BoolV;
  static constexpr int kFixedSize = 2;
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    f(BoolV{Load<std::uint16_t>(a.Src)});
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), 2);
  }

  static std::uint16_t WordOf(std::int64_t i) noexcept {
    if (i == 0) return 0;
    auto w = static_cast<std::uint16_t>(static_cast<std::uint64_t>(i) & 0xFFFF);
    return w ? w : 0xFFFF;
  }
  static void PutWord(const Args& a, std::uint16_t w) { Store(a.Dst, w); }
  static void Put(const Args& a, IntV v) { PutWord(a, WordOf(v.V)); }
  static void Put(const Args& a, const FloatV& v) {
    bool whole = std::isfinite(v.V) && std::trunc(v.V) == v.V;
    if (!whole && !a.Ignore) Fail(kCannotConvert, FloatText(v));
    if (std::isnan(v.V) || v.V == 0) return PutWord(a, 0);
    bool out;
    std::int64_t i = TruncClamp(v.V, out);
    PutWord(a, out || i == 0 ? 0xFFFF : WordOf(i));
  }
  static void Put(const Args& a, BcdV v) {
    if (v.Scaled % Currency::Factor != 0 && !a.Ignore) Fail(kCannotConvert, BcdText(v.Scaled));
    std::int64_t i = v.Scaled / Currency::Factor;
    PutWord(a, v.Scaled == 0 ? 0 : (i == 0 ? 0xFFFF : WordOf(i)));
  }
  static void Put(const Args& a, const FmtV& v) {
    if (!IsBcdInt(v.V) && !a.Ignore) Fail(kCannotConvert, FmtText(v.V));
    if (IsBcdZero(v.V)) return PutWord(a, 0);
    bool out;
    std::int64_t i = BcdIntClamp(v.V, out);
    PutWord(a, out || i == 0 ? 0xFFFF : WordOf(i));
  }
  static void Put(const Args& a, BoolV v) { PutWord(a, v.W); }
  static void Put(const Args& a, ATextV v) {
    bool b = false;
    if (!TryStrToBool(TrimView(v.V), b)) {
      if (!a.Ignore) Fail("%s is an invalid boolean value", v.V);
      b = false;
    }
    PutWord(a, b ? 0xFFFF : 0);
  }
};

// -- dtBCD
struct BcdTag : TagBase {
  using Value = BcdV;
  static constexpr int kFixedSize = 8;
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    f(BcdV{Load<std::int64_t>(a.Src)});
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), 8);
  }

  // The scale check, then the store.
  static void PutScaled(const Args& a, std::int64_t scaled) {
    if ((a.DstLen > 0 || a.DstScale > 0) && a.DstScale >= 0 && a.DstScale <= 3) {
      std::int64_t rest = scaled % kDecValue[a.DstScale];
      if (rest != 0) {
        if (!a.Ignore) Fail(kInvalidScale, BcdText(scaled));
        scaled -= rest;
      }
    }
    Store(a.Dst, scaled);
  }
  // A decimal value: more than four fraction digits cannot be converted,
  // beyond the 64-bit form is out of range.
  static void PutDecimal(const Args& a, TBcd v, std::string_view text) {
    if (GetBcdScale(v) > 4) {
      if (!a.Ignore) Fail(kCannotConvert, text);
      v = TruncBcd(v, 4);
    }
    Currency c;
    if (!TryBcdToCurr(v, c)) {
      if (!a.Ignore) Fail(kOutOfRange, text);
      c.Scaled = IsBcdNegative(v) ? -kBcdBound : kBcdBound;
    }
    PutScaled(a, c.Scaled);
  }
  static void Put(const Args& a, IntV v) {
    std::int64_t i = v.V;
    if (i > kBcdWholeBound || i < -kBcdWholeBound) {
      if (!a.Ignore) Fail(kOutOfRange, IntText(i));
      i = i < 0 ? -kBcdWholeBound : kBcdWholeBound;
    }
    PutScaled(a, i * Currency::Factor);
  }
  static void Put(const Args& a, const FloatV& v) {
    if (!std::isfinite(v.V) && !a.Ignore) Fail(kCannotConvert, FloatText(v));
    if (std::isnan(v.V)) return PutScaled(a, 0);
    TBcd d;
    if (!FloatToBcd(v, d)) {
      if (!a.Ignore) Fail(kOutOfRange, FloatText(v));
      return PutScaled(a, v.V < 0 ? -kBcdBound : kBcdBound);
    }
    PutDecimal(a, d, FloatText(v));
  }
  static void Put(const Args& a, BcdV v) { PutScaled(a, v.Scaled); }
  static void Put(const Args& a, const FmtV& v) { PutDecimal(a, v.V, FmtText(v.V)); }
  static void Put(const Args& a, BoolV v) { PutScaled(a, static_cast<std::int16_t>(v.W) * Currency::Factor); }
  static void Put(const Args& a, ATextV v) {
    TBcd d;
    if (!TryTextToBcd(v.V, d)) {
      if (!a.Ignore) Fail("%s is an invalid numeric value", v.V);
      return PutScaled(a, 0);
    }
    PutDecimal(a, d, v.V);
  }
};

// -- dtFMTBCD
struct FmtTag : TagBase {
  using Value = FmtV;
  static constexpr int kFixedSize = SizeOfTBcd;
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    f(FmtV{Load<TBcd>(a.Src)});
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), SizeOfTBcd);
  }

  static TBcd Nines(int intDigits, int scale, bool negative) {
    std::string t = intDigits > 0 ? std::string(static_cast<std::size_t>(intDigits), '9') : std::string("0");
    if (scale > 0) t += '.' + std::string(static_cast<std::size_t>(scale), '9');
    TBcd r = StrToBcd(t, InvariantFormatSettings());
    return negative ? BcdNegate(r) : r;
  }
  // The precision and scale check, then the store.
  static void PutChecked(const Args& a, TBcd v) {
    if (a.DstLen > 0 || a.DstScale > 0) {
      int scale = std::min(a.DstScale, MaxFMTBcdScale);
      if (scale >= 0 && GetBcdScale(v) > scale) {
        if (!a.Ignore) Fail(kInvalidScale, FmtText(v));
        int digits = std::min(std::max(BcdIntDigits(v), 1) + 1 + scale, MaxFMTBcdDigits);
        TBcd r;
        if (NormalizeBcd(v, r, digits, std::min(scale, digits))) v = r;
      }
      if (a.DstLen > 0) {
        int allowed = std::min(a.DstLen, MaxFMTBcdDigits) - std::max(scale, 0);
        if (BcdIntDigits(v) > std::max(allowed, 0)) {
          if (!a.Ignore) Fail(kOutOfRange, FmtText(v));
          v = Nines(allowed, std::max(scale, 0), IsBcdNegative(v));
        }
      }
    }
    Store(a.Dst, v);
  }
  static void Put(const Args& a, IntV v) { PutChecked(a, Int64ToBcd(v.V)); }
  // The largest value of the destination's precision and scale.
  static TBcd Limit(const Args& a, bool negative) {
    int scale = std::clamp(a.DstScale, 0, MaxFMTBcdScale);
    int digits = a.DstLen > 0 ? std::min(a.DstLen, MaxFMTBcdDigits) : MaxFMTBcdDigits;
    return Nines(digits - scale, scale, negative);
  }
  static void Put(const Args& a, const FloatV& v) {
    if (!std::isfinite(v.V) && !a.Ignore) Fail(kCannotConvert, FloatText(v));
    if (std::isnan(v.V)) return PutChecked(a, Int64ToBcd(0));
    TBcd d;
    if (!FloatToBcd(v, d)) {
      if (!a.Ignore) Fail(kOutOfRange, FloatText(v));
      return Store(a.Dst, Limit(a, v.V < 0));
    }
    PutChecked(a, d);
  }
  static void Put(const Args& a, BcdV v) { PutChecked(a, CurrToBcd(Currency::FromScaled(v.Scaled))); }
  static void Put(const Args& a, const FmtV& v) { PutChecked(a, v.V); }
  static void Put(const Args& a, BoolV v) { PutChecked(a, Int64ToBcd(static_cast<std::int16_t>(v.W))); }
  static void Put(const Args& a, ATextV v) {
    TBcd d;
    if (!TryTextToBcd(v.V, d)) {
      if (!a.Ignore) Fail("%s is an invalid numeric value", v.V);
      d = Int64ToBcd(0);
    }
    PutChecked(a, d);
  }
};

// -- dates and times
template <std::uint16_t Kind>
struct DateTag : TagBase {
  using Value = DateV;
  using Stored = std::conditional_t<Kind == dtDateTime, double,
                                    std::conditional_t<Kind == dtSQLTimeStamp, TSQLTimeStamp, std::int32_t>>;
  static constexpr int kFixedSize = sizeof(Stored);
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    DateV d{Kind, 0, 0, {}};
    if constexpr (Kind == dtDateTime)
      d.MSecs = Load<double>(a.Src);
    else if constexpr (Kind == dtSQLTimeStamp)
      d.Sql = Load<TSQLTimeStamp>(a.Src);
    else
      d.Num = Load<std::int32_t>(a.Src);
    f(d);
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    f(static_cast<const std::uint8_t*>(a.Src), sizeof(Stored));
  }

  static void PutStamp(const Args& a, const TTimeStamp& ts) {
    if constexpr (Kind == dtDate)
      Store(a.Dst, ts.Date);
    else if constexpr (Kind == dtTime)
      Store(a.Dst, ts.Time);
    else if constexpr (Kind == dtDateTime)
      Store(a.Dst, TimeStampToMSecs(ts));
    else
      Store(a.Dst, DateTimeToSQLTimeStamp(StampToDateTime(ts)));
  }
  static void Put(const Args& a, const DateV& d) {
    if constexpr (Kind == dtSQLTimeStamp) {
      if (d.Kind == dtSQLTimeStamp) return Store(a.Dst, d.Sql);
    }
    PutStamp(a, StampOf(a, d));
  }
  static void Put(const Args& a, ATextV v) {
    if constexpr (Kind == dtSQLTimeStamp) {
      TSQLTimeStamp s;
      if (TryStrToSQLTimeStamp(TrimView(v.V), s)) return Store(a.Dst, s);
    }
    if constexpr (Kind == dtTime) {
      // A span's text (beyond a day or below zero) as its milliseconds.
      std::int64_t micros = 0;
      if (TryStrToTimeSpanMicros(v.V, micros))
        return Store(a.Dst, static_cast<std::int32_t>((micros + (micros < 0 ? -500 : 500)) / USecsPerMSec));
    }
    TTimeStamp ts;
    if (!TextToStamp(v.V, ts)) {
      if (!a.Ignore) Fail("%s is an invalid date or time value", v.V);
      ts = kZeroStamp;
    }
    PutStamp(a, ts);
  }
  // Whether bytes copied from a binary value form a valid value.
  static bool ValidBytes(const std::uint8_t* p) {
    try {
      if constexpr (Kind == dtDate)
        return ValidStamp({Load<std::int32_t>(p), 0});
      else if constexpr (Kind == dtTime)
        return ValidStamp({DateDelta, Load<std::int32_t>(p)});
      else if constexpr (Kind == dtDateTime)
        return ValidStamp(MSecsToTimeStamp(Load<double>(p)));
      else {
        TDateTime dt;
        return TrySQLTimeStampToDateTime(Load<TSQLTimeStamp>(p), dt);
      }
    } catch (const EConvertError&) {
      return false;
    }
  }
  static void PutZero(const Args& a) { PutStamp(a, kZeroStamp); }
};

// -- text types
template <TextForm Form, bool Ext>
struct TextTag : TagBase {
  using Char = std::conditional_t<Form == TextForm::Ansi, char, char16_t>;
  using View = std::basic_string_view<Char>;
  using Value = std::conditional_t<Form == TextForm::Ansi, ATextV, WTextV>;
  using Out = TextStore<Form, Ext>;
  static constexpr bool kText = true;
  static constexpr bool kHasRaw = true;

  // Calls f with a view of the source text (a copy when it is misaligned).
  template <class F>
  static void WithView(const Args& a, F&& f) {
    const void* p = a.Src;
    std::size_t maxLen = std::numeric_limits<std::size_t>::max();
    if constexpr (Ext) {
      p = Load<const void*>(a.Src);
      if (!p) return f(View());
    } else {
      maxLen = static_cast<std::size_t>(std::max(a.SrcLen, 0));
    }
    if constexpr (Form == TextForm::Ansi) {
      const char* s = static_cast<const char*>(p);
      f(View(s, Ext ? std::strlen(s) : strnlen(s, maxLen)));
    } else {
      const auto* b = static_cast<const std::uint8_t*>(p);
      std::size_t n = 0;
      while (n < maxLen && Load<char16_t>(b + 2 * n) != 0) ++n;
      if (reinterpret_cast<std::uintptr_t>(p) % alignof(char16_t) == 0)
        return f(View(static_cast<const char16_t*>(p), n));
      std::u16string copy(n, u'\0');
      std::memcpy(copy.data(), p, 2 * n);
      f(View(copy));
    }
  }
  template <class F>
  static void Read(const Args& a, F&& f) {
    WithView(a, [&](View v) { f(Value{v}); });
  }
  template <class F>
  static void Raw(const Args& a, F&& f) {
    WithView(a, [&](View v) { f(reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(Char)); });
  }

  static void Put(const Args& a, IntV v) { Out::Put(a, std::string_view(IntText(v.V))); }
  static void Put(const Args& a, const FloatV& v) { Out::Put(a, std::string_view(FloatText(v))); }
  static void Put(const Args& a, BcdV v) { Out::Put(a, std::string_view(BcdText(v.Scaled))); }
  static void Put(const Args& a, const FmtV& v) { Out::Put(a, std::string_view(FmtText(v.V))); }
  static void Put(const Args& a, BoolV v) { Out::Put(a, std::string_view(v.W ? "True" : "False")); }
  static void Put(const Args& a, const DateV& v) { Out::Put(a, std::string_view(DateText(a, v))); }
  static void Put(const Args& a, ATextV v) { Out::Put(a, v.V); }
  static void Put(const Args& a, WTextV v) { Out::Put(a, v.V); }
  static void Put(const Args& a, const BinV& v) {
    std::size_t n = v.N;
    if constexpr (Form == TextForm::Ansi) {
      if (v.Fixed)
        while (n > 0 && v.P[n - 1] == 0) --n;
      Out::Put(a, std::string_view(reinterpret_cast<const char*>(v.P), n));
    } else {
      n /= 2;
      std::u16string w(n, u'\0');
      if (n) std::memcpy(w.data(), v.P, 2 * n);
      if (v.Fixed)
        while (!w.empty() && w.back() == 0) w.pop_back();
      Out::Put(a, std::u16string_view(w));
    }
  }
};

// -- dtGuid (read as 8-bit text; written from text only)
struct GuidTag : TagBase {
  using Value = ATextV;
  using Out = TextStore<TextForm::Ansi, false>;
  template <class F>
  static void Read(const Args& a, F&& f) {
    const char* s = static_cast<const char*>(a.Src);
    f(ATextV{std::string_view(s, strnlen(s, static_cast<std::size_t>(std::max(a.SrcLen, 0))))});
  }
  static void Put(const Args& a, ATextV v) {
    std::string t = Trim(v.V);
    if (t.size() > 1) {
      if (t.front() != '{') t.insert(t.begin(), '{');
      if (t.back() != '}') t.push_back('}');
    }
    TGUID g;
    if (!TryStrToGUID(t, g)) {
      if (!a.Ignore) Fail("%s is an invalid GUID value", v.V);
      g = TGUID{};
    }
    Out::Put(a, std::string_view(GUIDToString(g)));
  }
};

// -- large objects (dtMemo, dtWideMemo; dtBlob uses Memo)
template <TextForm Form>
struct MemoTag : TagBase {
  using Value = std::conditional_t<Form == TextForm::Ansi, ATextV, WTextV>;
  static constexpr bool kText = true;
  template <class F>
  static void Read(const Args& a, F&& f) {
    auto* blob = static_cast<TBlob*>(Load<void*>(a.Src));
    if constexpr (Form == TextForm::Ansi) {
      std::string s = blob ? blob->AsAnsiString() : std::string();
      f(ATextV{s});
    } else {
      std::u16string s = blob ? blob->AsWideString() : std::u16string();
      f(WTextV{s});
    }
  }
  static TBlob& Target(const Args& a) {
    auto* blob = static_cast<TBlob*>(Load<void*>(a.Dst));
    LUMO_ASSERT(blob != nullptr);
    return *blob;
  }
  static void Put(const Args& a, ATextV v) { Target(a).SetAsAnsiString(std::string(v.V)); }
  static void Put(const Args& a, WTextV v) { Target(a).SetAsWideString(std::u16string(v.V)); }
};

// -- binary types
template <BinForm Form>
struct BinTag : TagBase {
  using Value = BinV;
  static constexpr bool kBinary = true;
  static constexpr bool kHasRaw = true;
  template <class F>
  static void Raw(const Args& a, F&& f) {
    const auto* s = static_cast<const std::uint8_t*>(a.Src);
    if constexpr (Form == BinForm::Fixed) {
      f(s, static_cast<std::size_t>(std::max(a.SrcLen, 0)));
    } else {
      if constexpr (Form == BinForm::ExtVar) {
        s = static_cast<const std::uint8_t*>(Load<const void*>(a.Src));
        if (!s) return f(s, 0);
      }
      std::size_t n = Load<std::uint16_t>(s);
      if (Form == BinForm::Var && a.SrcLen >= 0) n = std::min(n, static_cast<std::size_t>(a.SrcLen));
      f(s + 2, n);
    }
  }
  template <class F>
  static void Read(const Args& a, F&& f) {
    Raw(a, [&](const std::uint8_t* p, std::size_t n) { f(BinV{p, n, Form == BinForm::Fixed}); });
  }
  static void PutBytes(const Args& a, const std::uint8_t* p, std::size_t n) { PutBinary<Form>(a, p, n); }
};

// The tags in the order of the converter names' type words.
using TInt8 = IntTag<std::int8_t>;
using TUInt8 = IntTag<std::uint8_t>;
using TInt16 = IntTag<std::int16_t>;
using TUInt16 = IntTag<std::uint16_t>;
using TInt32 = IntTag<std::int32_t>;
using TUInt32 = IntTag<std::uint32_t>;
using TInt64 = IntTag<std::int64_t>;
using TFloat = FloatTag<double>;
using TSingle = FloatTag<float>;
using TDate = DateTag<dtDate>;
using TTime = DateTag<dtTime>;
using TDateTime_ = DateTag<dtDateTime>;
using TSQLTS = DateTag<dtSQLTimeStamp>;
using TAStr = TextTag<TextForm::Ansi, false>;
using TExtAStr = TextTag<TextForm::Ansi, true>;
using TWStr = TextTag<TextForm::Wide, false>;
using TExtWStr = TextTag<TextForm::Wide, true>;
using TMemo = MemoTag<TextForm::Ansi>;
using TWideMemo = MemoTag<TextForm::Wide>;
using TBytes = BinTag<BinForm::Fixed>;
using TVarBytes = BinTag<BinForm::Var>;
using TExtVarBytes = BinTag<BinForm::ExtVar>;

template <class... T>
struct TypeList {};
using AllTags = TypeList<TInt8, TUInt8, TInt16, TUInt16, TInt32, TUInt32, TInt64, TFloat, TSingle, BoolTag, BcdTag,
                         FmtTag, TDate, TTime, TDateTime_, TSQLTS, TAStr, TExtAStr, TWStr, TExtWStr, TMemo, TWideMemo,
                         TBytes, TVarBytes, TExtVarBytes, GuidTag>;
constexpr int kTagCount = 26;
constexpr std::string_view kTagWords[kTagCount] = {
    "Int8", "UInt8",   "Int16",  "UInt16",   "Int32", "UInt32",   "Int64",        "Float", "Single",
    "Bool", "BCD",     "FMTBCD", "Date",     "Time",  "DateTime", "SQLTimeStamp", "AStr",  "ExtAStr",
    "WStr", "ExtWStr", "Memo",   "WideMemo", "Bytes", "VarBytes", "ExtVarBytes",  "Guid"};

// The tag index of each data-type code (-1: no converters); dtCurrency is
// served by Float, dtBlob by Memo.
constexpr std::array<std::int8_t, 36> kTagOfCode = [] {
  std::array<std::int8_t, 36> t{};
  t.fill(-1);
  const std::uint16_t codes[kTagCount] = {
      dtInt8,       dtUInt8,         dtInt16,  dtUInt16,   dtInt32, dtUInt32,   dtInt64,        dtFloat,  dtSingle,
      dtBoolean,    dtBCD,           dtFMTBCD, dtDate,     dtTime,  dtDateTime, dtSQLTimeStamp, dtString, dtExtString,
      dtWideString, dtExtWideString, dtMemo,   dtWideMemo, dtBytes, dtVarBytes, dtExtVarBytes,  dtGuid};
  for (int i = 0; i < kTagCount; ++i) t[codes[i]] = static_cast<std::int8_t>(i);
  t[dtCurrency] = t[dtFloat];
  t[dtBlob] = t[dtMemo];
  return t;
}();

int TagOf(std::uint16_t code) noexcept { return code < kTagOfCode.size() ? kTagOfCode[code] : -1; }

// ---- the generated converters ----------------------------------------------------------

// Wide text goes to a destination that is not a text type as 8-bit text.
template <class D, class V>
using Delivered = std::conditional_t<std::is_same_v<V, WTextV> && !D::kText, ATextV, V>;

template <class D, class V>
void Deliver(const Args& a, const V& v) {
  if constexpr (std::is_same_v<V, WTextV> && !D::kText) {
    std::string s = Utf16ToUtf8(v.V);
    D::Put(a, ATextV{s});
  } else {
    D::Put(a, v);
  }
}

// Bytes of a binary value into a fixed-size destination. With the wrong
// count (errors ignored) the bytes both have are copied over the old value;
// a result that is no valid value of the type becomes zero (the date-time
// number 0 for dates).
template <class D>
void PutFixedFromBinary(const Args& a, const std::uint8_t* p, std::size_t n) {
  constexpr std::size_t size = D::kFixedSize;
  if (n != size && !a.Ignore) Fail(kInvalidBinary);
  std::uint8_t value[size];
  std::memcpy(value, a.Dst, size);
  if (n) std::memmove(value, p, std::min(n, size));
  bool valid = true;
  if constexpr (std::is_same_v<D, FmtTag>) valid = IsValidBcdBytes(value);
  if constexpr (requires { D::ValidBytes(value); }) valid = D::ValidBytes(value);
  if (valid) return static_cast<void>(std::memcpy(a.Dst, value, size));
  if (!a.Ignore) Fail(kInvalidBinary);
  if constexpr (std::is_same_v<D, FmtTag>)
    Store(a.Dst, Int64ToBcd(0));
  else if constexpr (requires { D::PutZero(a); })
    D::PutZero(a);
}

template <class S, class D>
constexpr bool Supported() {
  if constexpr (D::kBinary)
    return S::kHasRaw;
  else if constexpr (S::kBinary)
    return D::kFixedSize > 0 || (D::kText && !std::is_same_v<D, TMemo> && !std::is_same_v<D, TWideMemo>);
  else
    return requires(const Args& a, const Delivered<D, typename S::Value>& v) { D::Put(a, v); };
}

template <class S, class D>
void Convert(TStringHeap* heap, const void* source, int sourceLen, int sourceScale, void* dest, int destLen,
             int destScale, bool ignore) {
  const Args a{heap, source, sourceLen, sourceScale, dest, destLen, destScale, ignore};
  try {
    if constexpr (D::kBinary) {
      S::Raw(a, [&](const std::uint8_t* p, std::size_t n) { D::PutBytes(a, p, n); });
    } else if constexpr (S::kBinary && D::kFixedSize > 0) {
      S::Raw(a, [&](const std::uint8_t* p, std::size_t n) { PutFixedFromBinary<D>(a, p, n); });
    } else {
      S::Read(a, [&](const auto& v) { Deliver<D>(a, v); });
    }
  } catch (const EDataTypeMappingError&) {
    throw;
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const Exception& e) {
    throw EDataMappingError(e.Message());
  }
}

template <class S, class D>
constexpr TConvertProcedure ConverterOf() {
  if constexpr (Supported<S, D>())
    return &Convert<S, D>;
  else
    return nullptr;
}
template <class S, class... D>
constexpr std::array<TConvertProcedure, sizeof...(D)> Row(TypeList<D...>) {
  return {ConverterOf<S, D>()...};
}
template <class... S>
constexpr std::array<std::array<TConvertProcedure, kTagCount>, kTagCount> Table(TypeList<S...>) {
  return {Row<S>(AllTags{})...};
}
constexpr auto kConverters = Table(AllTags{});

// ---- the on-demand matrix ---------------------------------------------------------------

constexpr std::uint16_t kTextTypes[] = {dtString, dtExtString, dtWideString, dtExtWideString};
constexpr std::uint16_t kBinaryTypes[] = {dtBytes, dtVarBytes, dtExtVarBytes};
constexpr std::uint16_t kIntTypes[] = {dtInt8, dtUInt8, dtInt16, dtUInt16, dtInt32, dtUInt32, dtInt64};
constexpr std::uint16_t kNumberTypes[] = {dtInt8,  dtUInt8,  dtInt16,    dtUInt16,  dtInt32, dtUInt32, dtInt64,
                                          dtFloat, dtSingle, dtCurrency, dtBoolean, dtBCD,   dtFMTBCD};

bool IsDecimal(std::uint16_t t) { return t == dtBCD || t == dtFMTBCD; }

TOnDemandPair MakePair(std::uint16_t s, std::uint16_t d) {
  TCalcSizeFunc len = nullptr, scale = nullptr;
  bool sTB = IsSizedFieldType(s), dTB = IsSizedFieldType(d);
  if (IsBytesFieldType(s) && IsWideStringFieldType(d))
    len = &TSizeConverters::SizeDiv2;
  else if (IsWideStringFieldType(s) && IsBytesFieldType(d))
    len = &TSizeConverters::SizeX2;
  else if (sTB && dTB)
    len = &TSizeConverters::CopySize;
  else if (IsDecimal(s) && IsDecimal(d))
    len = scale = &TSizeConverters::CopySize;
  else if (IsDecimal(d))
    len = scale = &TSizeConverters::Size0;
  else if ((IsStringFieldType(s) && d == dtGuid) || (s == dtGuid && IsStringFieldType(d)))
    len = &TSizeConverters::GuidSize;
  return {s, d, len, scale};
}

std::vector<TOnDemandPair> BuildMatrix() {
  std::vector<TOnDemandPair> pairs;
  auto add = [&](std::uint16_t s, std::initializer_list<std::span<const std::uint16_t>> groups) {
    for (auto g : groups)
      for (std::uint16_t d : g) pairs.push_back(MakePair(s, d));
  };
  const std::uint16_t textBinaryTargets[] = {dtBoolean, dtFloat, dtSingle, dtCurrency, dtBCD,
                                             dtFMTBCD,  dtDate,  dtTime,   dtDateTime, dtSQLTimeStamp};
  const std::uint16_t guid[] = {dtGuid};
  for (auto group : {std::span<const std::uint16_t>(kTextTypes), std::span<const std::uint16_t>(kBinaryTypes)})
    for (std::uint16_t s : group) {
      add(s, {kIntTypes, textBinaryTargets, kTextTypes, kBinaryTypes});
      if (IsStringFieldType(s)) add(s, {guid});
    }
  for (std::uint16_t s : kNumberTypes) {
    for (std::uint16_t d : kNumberTypes)
      if (d != s || IsDecimal(s)) pairs.push_back(MakePair(s, d));
    add(s, {kTextTypes, kBinaryTypes});
  }
  const std::uint16_t fromDay[] = {dtDateTime, dtSQLTimeStamp};
  const std::uint16_t fromDateTime[] = {dtDate, dtTime, dtSQLTimeStamp};
  const std::uint16_t fromStamp[] = {dtDate, dtTime, dtDateTime};
  add(dtDate, {fromDay, kTextTypes, kBinaryTypes});
  add(dtTime, {fromDay, kTextTypes, kBinaryTypes});
  add(dtDateTime, {fromDateTime, kTextTypes, kBinaryTypes});
  add(dtSQLTimeStamp, {fromStamp, kTextTypes, kBinaryTypes});
  const std::uint16_t wideMemo[] = {dtWideMemo}, memo[] = {dtMemo}, memos[] = {dtMemo, dtWideMemo};
  add(dtMemo, {kTextTypes, wideMemo});
  add(dtWideMemo, {kTextTypes, memo});
  add(dtBlob, {kTextTypes, memos});
  add(dtGuid, {kTextTypes});
  return pairs;
}

}  // namespace

TConvertProcedure TDataConverters::Find(std::uint16_t source, std::uint16_t dest) noexcept {
  int s = TagOf(source), d = TagOf(dest);
  if (s < 0 || d < 0) return nullptr;
  return kConverters[static_cast<std::size_t>(s)][static_cast<std::size_t>(d)];
}

std::string TDataConverters::Name(std::uint16_t source, std::uint16_t dest) {
  if (!Find(source, dest)) return {};
  return std::string(kTagWords[TagOf(source)]) + "To" + std::string(kTagWords[TagOf(dest)]);
}

const std::vector<TOnDemandPair>& TDataConverters::MatrixPairs() {
  static const std::vector<TOnDemandPair> pairs = BuildMatrix();
  return pairs;
}

}  // namespace lumo
