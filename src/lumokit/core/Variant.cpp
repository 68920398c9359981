#include <lumokit/core/Variant.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>

namespace lumo {

namespace {

// Trimmed text of optional sign and decimal digits into a 128-bit integer.
// 0 = ok, 1 = not an integer text, 2 = too large.
int ParseInt128(std::string_view text, __int128& out) {
  std::string_view s = TrimView(text);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return 1;
  for (char c : s)
    if (c < '0' || c > '9') return 1;
  size_t first = s.find_first_not_of('0');
  if (first == std::string_view::npos) {
    out = 0;
    return 0;
  }
  s.remove_prefix(first);
  if (s.size() > 36) return 2;
  __int128 v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  out = neg ? -v : v;
  return 0;
}

// Compares an integer with a long double exactly for moderate magnitudes.
int CompareIntFloat(__int128 i, long double d) {
  if (d >= 1e30L) return -1;
  if (d <= -1e30L) return 1;
  const long double f = std::floor(d);
  const __int128 fi = static_cast<__int128>(f);
  if (i < fi) return -1;
  if (i > fi) return 1;
  return d > f ? -1 : 0;
}

int Sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

std::string Int128ToStr(__int128 v) {
  if (v == 0) return "0";
  const bool neg = v < 0;
  unsigned __int128 m = neg ? static_cast<unsigned __int128>(-(v + 1)) + 1 : static_cast<unsigned __int128>(v);
  std::string s;
  while (m > 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return neg ? "-" + s : s;
}

}  // namespace

// Internal views of a variant's value used by the comparison rules.
struct VariantAccess {
  enum class NumKind { None, Exact, Float, Bcd, Stamp };
  struct Num {
    NumKind Kind = NumKind::None;
    __int128 Mant = 0;  // Exact: Mant × 10^-Scale
    int Scale = 0;
    long double F = 0;
    TBcd B{};
    TSQLTimeStamp T{};
    bool IsDate = false;  // Float that came from a date
    bool HasMicros = false;  // a date with its exact value in Micros
    std::int64_t Micros = 0;
  };

  static const Variant::Storage& S(const Variant& v) { return v.FValue; }

  static Num NumberOf(const Variant& v) {
    Num n;
    std::visit(
        [&n](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, bool>) {
            n.Kind = NumKind::Exact;
            n.Mant = x ? 1 : 0;
          } else if constexpr (std::is_integral_v<T>) {
            n.Kind = NumKind::Exact;
            n.Mant = x;
          } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
            n.Kind = NumKind::Float;
            n.F = x;
          } else if constexpr (std::is_same_v<T, Currency>) {
            n.Kind = NumKind::Exact;
            n.Mant = x.Scaled;
            n.Scale = 4;
          } else if constexpr (std::is_same_v<T, Variant::DateValue>) {
            n.Kind = NumKind::Float;
            n.F = x.Value;
            n.IsDate = true;
            n.HasMicros = x.HasMicros;
            n.Micros = x.Micros;
          } else if constexpr (std::is_same_v<T, TBcd>) {
            n.Kind = NumKind::Bcd;
            n.B = x;
          } else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
            n.Kind = NumKind::Stamp;
            n.T = x;
          }
        },
        v.FValue);
    return n;
  }

  // Text read as a number of the kind of `like`; None when it does not read.
  static Num TextAsNumber(const std::string& text, const Num& like) {
    Num n;
    if (like.Kind == NumKind::Stamp) {
      if (TryStrToSQLTimeStamp(text, n.T)) n.Kind = NumKind::Stamp;
      return n;
    }
    if (like.IsDate) {
      TDateTime d = 0;
      if (TryStrToDateTime(text, d)) {
        n.Kind = NumKind::Float;
        n.F = d;
        n.IsDate = true;
        return n;
      }
    }
    __int128 i = 0;
    if (ParseInt128(text, i) == 0) {
      n.Kind = NumKind::Exact;
      n.Mant = i;
      return n;
    }
    if (TryStrToBcd(text, n.B)) {
      n.Kind = NumKind::Bcd;
      return n;
    }
    double d = 0;
    if (TryStrToFloat(text, d)) {
      n.Kind = NumKind::Float;
      n.F = d;
      return n;
    }
    bool b = false;
    if (TryStrToBool(text, b)) {
      n.Kind = NumKind::Exact;
      n.Mant = b ? 1 : 0;
    }
    return n;
  }

  static TBcd ExactToBcd(const Num& n) {
    TBcd b = StrToBcd(Int128ToStr(n.Mant), InvariantFormatSettings());
    if (n.Scale == 0) return b;
    return BcdDivide(b, Int64ToBcd(10000));
  }

  // -1, 0, 1; 2 when the two cannot be compared.
  static int CompareNum(Num a, Num b) {
    if (a.Kind == NumKind::Stamp && b.Kind == NumKind::Stamp) return CompareSQLTimeStamp(a.T, b.T);
    for (Num* p : {&a, &b}) {
      if (p->Kind == NumKind::Stamp) {
        TDateTime d = 0;
        if (!TrySQLTimeStampToDateTime(p->T, d)) return 2;
        p->Kind = NumKind::Float;
        p->F = d;
      }
    }
    if (a.Kind == NumKind::Bcd || b.Kind == NumKind::Bcd) {
      try {
        for (Num* p : {&a, &b}) {
          if (p->Kind == NumKind::Exact) {
            p->B = ExactToBcd(*p);
          } else if (p->Kind == NumKind::Float) {
            if (std::isnan(p->F)) return p == &a ? 1 : -1;
            // Beyond 10^64 a double lies outside every packed decimal.
            if (!(std::fabs(p->F) < 1e64L)) return p == &a ? (p->F < 0 ? -1 : 1) : (p->F < 0 ? 1 : -1);
            p->B = DoubleToBcd(static_cast<double>(p->F));
          }
          p->Kind = NumKind::Bcd;
        }
        return BcdCompare(a.B, b.B);
      } catch (const EBcdError&) {
        return 2;
      }
    }
    if (a.Kind == NumKind::Exact && b.Kind == NumKind::Exact) {
      __int128 x = a.Mant, y = b.Mant;
      for (int s = a.Scale; s < b.Scale; ++s) x *= 10;
      for (int s = b.Scale; s < a.Scale; ++s) y *= 10;
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (a.HasMicros && b.HasMicros) return a.Micros < b.Micros ? -1 : (a.Micros > b.Micros ? 1 : 0);
    if (a.Kind == NumKind::Float && b.Kind == NumKind::Float) {
      const bool an = std::isnan(a.F), bn = std::isnan(b.F);
      if (an || bn) return an && bn ? 0 : (an ? 1 : -1);
      return a.F < b.F ? -1 : (a.F > b.F ? 1 : 0);
    }
    if (a.Kind == NumKind::Exact && b.Kind == NumKind::Float) return -CompareNum(b, a);
    // a Float, b Exact
    if (std::isnan(a.F)) return 1;
    if (b.Scale == 0) return -CompareIntFloat(b.Mant, a.F);
    const long double bv = static_cast<long double>(b.Mant) / 10000.0L;
    return a.F < bv ? -1 : (a.F > bv ? 1 : 0);
  }

  enum Category { cEmpty, cNull, cNumber, cText, cBytes, cArray, cObject };

  static Category CategoryOf(const Variant& v) {
    switch (v.VarType()) {
      case varEmpty:
        return cEmpty;
      case varNull:
        return cNull;
      case varString:
      case varUString:
        return cText;
      case varArray | varByte:
        return cBytes;
      case varArray | varVariant:
        return cArray;
      case varSharedObject:
        return cObject;
      default:
        return cNumber;
    }
  }

  enum Failure { fNone, fCast, fOp };

  static int CompareText(const Variant& a, const Variant& b) {
    const std::string* as = a.StringPtr();
    const std::string* bs = b.StringPtr();
    if (as && bs) return Sign(as->compare(*bs));
    const std::u16string aw = as ? AnsiToUnicode(*as) : *a.WideStringPtr();
    const std::u16string bw = bs ? AnsiToUnicode(*bs) : *b.WideStringPtr();
    return Sign(aw.compare(bw));
  }

  static int CompareBytes(const Variant& a, const Variant& b) {
    const auto& x = std::get<Variant::ByteArray>(a.FValue).Data;
    const auto& y = std::get<Variant::ByteArray>(b.FValue).Data;
    if (!x || !y) return x ? 1 : (y ? -1 : 0);
    const size_t n = std::min(x->size(), y->size());
    const int c = n ? std::memcmp(x->data(), y->data(), n) : 0;
    if (c != 0) return Sign(c);
    return x->size() < y->size() ? -1 : (x->size() > y->size() ? 1 : 0);
  }

  // The one comparison behind VarSameValue and VarCompare. Returns 2 with
  // `why` set when the pair cannot be compared.
  static int Compare(const Variant& a, const Variant& b, Failure& why, std::uint16_t& from, std::uint16_t& to) {
    const Category ca = CategoryOf(a), cb = CategoryOf(b);
    if (ca <= cNull || cb <= cNull) {
      const int ra = ca <= cNull ? ca : 2, rb = cb <= cNull ? cb : 2;
      return ra < rb ? -1 : (ra > rb ? 1 : 0);
    }
    if (ca == cText && cb == cText) return CompareText(a, b);
    if (ca == cBytes && cb == cBytes) return CompareBytes(a, b);
    if (ca == cArray && cb == cArray) {
      const auto& x = a.AsArray();
      const auto& y = b.AsArray();
      for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
        const int c = Compare(x[i], y[i], why, from, to);
        if (c != 0) return c;
      }
      return x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
    }
    if (ca == cObject && cb == cObject) {
      if (std::get<TSharedRef<TSharedObject>>(a.FValue) == std::get<TSharedRef<TSharedObject>>(b.FValue)) return 0;
      why = fOp;
      return 2;
    }
    if (ca == cNumber && cb == cNumber) {
      const int c = CompareNum(NumberOf(a), NumberOf(b));
      if (c == 2) why = fOp;
      return c;
    }
    if ((ca == cText && cb == cNumber) || (ca == cNumber && cb == cText)) {
      const Variant& text = ca == cText ? a : b;
      const Variant& num = ca == cText ? b : a;
      const Num n = NumberOf(num);
      const Num t = TextAsNumber(text.AsString(), n);
      if (t.Kind == NumKind::None) {
        why = fCast;
        from = text.VarType();
        to = num.VarType();
        return 2;
      }
      int c = CompareNum(t, n);
      if (c == 2) {
        why = fOp;
        return 2;
      }
      return ca == cText ? c : -c;
    }
    why = fOp;
    return 2;
  }
};

// --- Type names and errors -------------------------------------------------

std::string VarTypeAsText(std::uint16_t varType) {
  if (varType & varArray) return "Array " + VarTypeAsText(varType & varTypeMask);
  switch (varType) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varOleStr: return "OleStr";
    case varBoolean: return "Boolean";
    case varVariant: return "Variant";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varUInt64: return "UInt64";
    case varString: return "String";
    case varUString: return "UnicodeString";
    case varFMTBcd: return "FMTBcd";
    case varSQLTimeStamp: return "SQLTimeStamp";
    case varSharedObject: return "SharedObject";
    default: return "Unknown";
  }
}

void Variant::CastError(std::uint16_t target) const {
  throw EVariantTypeCastError(Format("Could not convert variant of type (%s) into type (%s)",
                                     {VarTypeAsText(VarType()), VarTypeAsText(target)}));
}

void Variant::OverflowError(std::uint16_t target) const {
  throw EVariantOverflowError(Format("Arithmetic overflow converting variant of type (%s) into type (%s)",
                                     {VarTypeAsText(VarType()), VarTypeAsText(target)}));
}

// --- Construction -----------------------------------------------------------

Variant Variant::Null() {
  Variant v;
  v.FValue = NullTag{};
  return v;
}

Variant Variant::FromDate(TDateTime value) {
  Variant v;
  v.FValue = DateValue{value};
  return v;
}

Variant Variant::FromDateMicros(std::int64_t micros) {
  Variant v;
  v.FValue = DateValue{MicrosToDateTime(micros), micros, true};
  return v;
}

std::int64_t Variant::AsDateMicros() const {
  if (const auto* d = std::get_if<DateValue>(&FValue); d && d->HasMicros) return d->Micros;
  std::int64_t micros = 0;
  if (const auto* t = std::get_if<TSQLTimeStamp>(&FValue); t && TrySQLTimeStampToMicros(*t, micros)) return micros;
  if (const std::string* s = StringPtr(); s && TryStrToDateTimeMicros(*s, micros)) return micros;
  if (const std::u16string* w = WideStringPtr(); w && TryStrToDateTimeMicros(Utf16ToUtf8(*w), micros)) return micros;
  return DateTimeToMicros(AsDate());
}

Variant::Variant(TSharedRef<TSharedObject> object) {
  if (object)
    FValue = std::move(object);
  else
    FValue = NullTag{};
}

Variant Variant::FromBytes(Bytes bytes) {
  Variant v;
  v.FValue = ByteArray{std::move(bytes)};
  return v;
}

Variant Variant::FromBytes(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return FromBytes(size ? Bytes(p, p + size) : Bytes());
}

Variant Variant::UnassignedBytes() {
  Variant v;
  v.FValue = ByteArray{std::nullopt};
  return v;
}

Variant Variant::FromArray(Array items) {
  Variant v;
  v.FValue = std::move(items);
  return v;
}

std::uint16_t Variant::VarType() const noexcept {
  return std::visit(
      [](const auto& x) -> std::uint16_t {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return varEmpty;
        else if constexpr (std::is_same_v<T, NullTag>) return varNull;
        else if constexpr (std::is_same_v<T, bool>) return varBoolean;
        else if constexpr (std::is_same_v<T, std::int8_t>) return varShortInt;
        else if constexpr (std::is_same_v<T, std::int16_t>) return varSmallint;
        else if constexpr (std::is_same_v<T, std::int32_t>) return varInteger;
        else if constexpr (std::is_same_v<T, std::int64_t>) return varInt64;
        else if constexpr (std::is_same_v<T, std::uint8_t>) return varByte;
        else if constexpr (std::is_same_v<T, std::uint16_t>) return varWord;
        else if constexpr (std::is_same_v<T, std::uint32_t>) return varLongWord;
        else if constexpr (std::is_same_v<T, std::uint64_t>) return varUInt64;
        else if constexpr (std::is_same_v<T, float>) return varSingle;
        else if constexpr (std::is_same_v<T, double>) return varDouble;
        else if constexpr (std::is_same_v<T, Currency>) return varCurrency;
        else if constexpr (std::is_same_v<T, DateValue>) return varDate;
        else if constexpr (std::is_same_v<T, std::string>) return varString;
        else if constexpr (std::is_same_v<T, std::u16string>) return varUString;
        else if constexpr (std::is_same_v<T, ByteArray>) return varArray | varByte;
        else if constexpr (std::is_same_v<T, Array>) return varArray | varVariant;
        else if constexpr (std::is_same_v<T, TSharedRef<TSharedObject>>) return varSharedObject;
        else if constexpr (std::is_same_v<T, TBcd>) return varFMTBcd;
        else return varSQLTimeStamp;
      },
      FValue);
}

bool Variant::IsText() const noexcept {
  return std::holds_alternative<std::string>(FValue) || std::holds_alternative<std::u16string>(FValue);
}

bool Variant::IsUnassignedBytes() const noexcept {
  const ByteArray* b = std::get_if<ByteArray>(&FValue);
  return b && !b->Data;
}

const Variant::Bytes* Variant::BytesPtr() const noexcept {
  const ByteArray* b = std::get_if<ByteArray>(&FValue);
  return b && b->Data ? &*b->Data : nullptr;
}

// --- Conversions --------------------------------------------------------------

__int128 Variant::ToInt128(std::uint16_t target) const {
  return std::visit(
      [&](const auto& x) -> __int128 {
        using T = std::decay_t<decltype(x)>;
        auto fromFloat = [&](long double d) -> __int128 {
          if (!std::isfinite(d)) OverflowError(target);
          const long double r = std::round(d);  // half away from zero
          if (std::fabs(r) >= 1e30L) OverflowError(target);
          return static_cast<__int128>(r);
        };
        if constexpr (std::is_same_v<T, std::monostate>) return 0;
        else if constexpr (std::is_same_v<T, bool>) return x ? 1 : 0;
        else if constexpr (std::is_integral_v<T>) return x;
        else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) return fromFloat(x);
        else if constexpr (std::is_same_v<T, DateValue>) return fromFloat(x.Value);
        else if constexpr (std::is_same_v<T, Currency>) {
          __int128 q = x.Scaled / 10000, rem = x.Scaled % 10000;
          if (rem >= 5000) ++q;
          if (rem <= -5000) --q;
          return q;
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          __int128 v = 0;
          int rc = 0;
          if constexpr (std::is_same_v<T, std::string>)
            rc = ParseInt128(x, v);
          else
            rc = ParseInt128(Utf16ToUtf8(x), v);
          if (rc == 1) CastError(target);
          if (rc == 2) OverflowError(target);
          return v;
        } else if constexpr (std::is_same_v<T, TBcd>) {
          TBcd r;
          if (!NormalizeBcd(x, r, MaxFMTBcdDigits, 0)) OverflowError(target);
          __int128 v = 0;
          if (ParseInt128(BcdToStr(r, InvariantFormatSettings()), v) != 0) OverflowError(target);
          return v;
        } else {
          CastError(target);
        }
      },
      FValue);
}

template <typename T>
T Variant::ToInteger(std::uint16_t target) const {
  const __int128 v = ToInt128(target);
  if (v < static_cast<__int128>(std::numeric_limits<T>::min()) ||
      v > static_cast<__int128>(std::numeric_limits<T>::max()))
    OverflowError(target);
  return static_cast<T>(v);
}

std::int8_t Variant::AsInt8() const { return ToInteger<std::int8_t>(varShortInt); }
std::int16_t Variant::AsInt16() const { return ToInteger<std::int16_t>(varSmallint); }
std::int32_t Variant::AsInt32() const { return ToInteger<std::int32_t>(varInteger); }
std::int64_t Variant::AsInt64() const { return ToInteger<std::int64_t>(varInt64); }
std::uint8_t Variant::AsUInt8() const { return ToInteger<std::uint8_t>(varByte); }
std::uint16_t Variant::AsUInt16() const { return ToInteger<std::uint16_t>(varWord); }
std::uint32_t Variant::AsUInt32() const { return ToInteger<std::uint32_t>(varLongWord); }
std::uint64_t Variant::AsUInt64() const { return ToInteger<std::uint64_t>(varUInt64); }

bool Variant::AsBoolean() const {
  return std::visit(
      [&](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return false;
        else if constexpr (std::is_same_v<T, bool>) return x;
        else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>) return x != 0;
        else if constexpr (std::is_same_v<T, DateValue>) return x.Value != 0;
        else if constexpr (std::is_same_v<T, Currency>) return x.Scaled != 0;
        else if constexpr (std::is_same_v<T, TBcd>) return !IsBcdZero(x);
        else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          bool b = false;
          bool ok = false;
          if constexpr (std::is_same_v<T, std::string>)
            ok = TryStrToBool(x, b);
          else
            ok = TryStrToBool(Utf16ToUtf8(x), b);
          if (!ok) CastError(varBoolean);
          return b;
        } else {
          CastError(varBoolean);
        }
      },
      FValue);
}

double Variant::AsDouble() const {
  return std::visit(
      [&](const auto& x) -> double {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return 0;
        else if constexpr (std::is_same_v<T, bool>) return x ? 1 : 0;
        else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>) return static_cast<double>(x);
        else if constexpr (std::is_same_v<T, DateValue>) return x.Value;
        else if constexpr (std::is_same_v<T, Currency>) return CurrToDouble(x);
        else if constexpr (std::is_same_v<T, TBcd>) return BcdToDouble(x);
        else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
          TDateTime d = 0;
          if (!TrySQLTimeStampToDateTime(x, d)) CastError(varDouble);
          return d;
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          double d = 0;
          bool ok = false;
          if constexpr (std::is_same_v<T, std::string>)
            ok = TryStrToFloat(x, d);
          else
            ok = TryStrToFloat(Utf16ToUtf8(x), d);
          if (!ok) CastError(varDouble);
          return d;
        } else {
          CastError(varDouble);
        }
      },
      FValue);
}

float Variant::AsSingle() const {
  if (const float* f = std::get_if<float>(&FValue)) return *f;
  double d = 0;
  try {
    d = AsDouble();
  } catch (const EVariantTypeCastError&) {
    CastError(varSingle);
  }
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) OverflowError(varSingle);
  return static_cast<float>(d);
}

Currency Variant::AsCurrency() const {
  return std::visit(
      [&](const auto& x) -> Currency {
        using T = std::decay_t<decltype(x)>;
        auto fromDouble = [&](double d) {
          Currency c;
          if (!TryDoubleToCurr(d, c)) OverflowError(varCurrency);
          return c;
        };
        if constexpr (std::is_same_v<T, Currency>) return x;
        else if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, bool> || std::is_integral_v<T>) {
          const __int128 v = ToInt128(varCurrency) * 10000;
          if (v < INT64_MIN || v > INT64_MAX) OverflowError(varCurrency);
          return Currency::FromScaled(static_cast<std::int64_t>(v));
        } else if constexpr (std::is_floating_point_v<T>) return fromDouble(x);
        else if constexpr (std::is_same_v<T, DateValue>) return fromDouble(x.Value);
        else if constexpr (std::is_same_v<T, TBcd>) {
          TBcd r;
          Currency c;
          if (!NormalizeBcd(x, r, MaxFMTBcdDigits, 4) || !TryBcdToCurr(r, c)) OverflowError(varCurrency);
          return c;
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          std::string text;
          if constexpr (std::is_same_v<T, std::string>)
            text = x;
          else
            text = Utf16ToUtf8(x);
          Currency c;
          if (TryStrToCurr(text, c)) return c;
          double d = 0;
          if (TryStrToFloat(text, d)) OverflowError(varCurrency);
          CastError(varCurrency);
        } else {
          CastError(varCurrency);
        }
      },
      FValue);
}

TDateTime Variant::AsDate() const {
  return std::visit(
      [&](const auto& x) -> TDateTime {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, DateValue>) return x.Value;
        else if constexpr (std::is_same_v<T, std::monostate>) return 0;
        else if constexpr ((std::is_integral_v<T> && !std::is_same_v<T, bool>) || std::is_floating_point_v<T> ||
                           std::is_same_v<T, Currency> || std::is_same_v<T, TBcd>)
          return AsDouble();
        else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
          TDateTime d = 0;
          if (!TrySQLTimeStampToDateTime(x, d)) CastError(varDate);
          return d;
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          TDateTime d = 0;
          bool ok = false;
          if constexpr (std::is_same_v<T, std::string>)
            ok = TryStrToDateTime(x, d);
          else
            ok = TryStrToDateTime(Utf16ToUtf8(x), d);
          if (!ok) CastError(varDate);
          return d;
        } else {
          CastError(varDate);
        }
      },
      FValue);
}

namespace {
template <typename F>
auto RangeChecked(F f, const Variant& v, std::uint16_t target) -> decltype(f()) {
  try {
    return f();
  } catch (const EVariantError&) {
    throw;
  } catch (const EConvertError&) {
    throw EVariantOverflowError(Format("Arithmetic overflow converting variant of type (%s) into type (%s)",
                                       {VarTypeAsText(v.VarType()), VarTypeAsText(target)}));
  }
}
}  // namespace

std::string Variant::AsString() const {
  return std::visit(
      [&](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return {};
        else if constexpr (std::is_same_v<T, bool>) return BoolToStr(x);
        else if constexpr (std::is_integral_v<T>) return std::to_string(x);
        else if constexpr (std::is_same_v<T, float>) return SingleToStr(x);
        else if constexpr (std::is_same_v<T, double>) return FloatToStr(x);
        else if constexpr (std::is_same_v<T, Currency>) return CurrToStr(x);
        else if constexpr (std::is_same_v<T, DateValue>)
          return RangeChecked([&] { return DateTimeToStr(x.Value); }, *this, varString);
        else if constexpr (std::is_same_v<T, std::string>) return x;
        else if constexpr (std::is_same_v<T, std::u16string>) return UnicodeToAnsi(x);
        else if constexpr (std::is_same_v<T, ByteArray>)
          return x.Data ? std::string(x.Data->begin(), x.Data->end()) : std::string();
        else if constexpr (std::is_same_v<T, TBcd>) return BcdToStr(x);
        else if constexpr (std::is_same_v<T, TSQLTimeStamp>) return SQLTimeStampToStr(x);
        else CastError(varString);
      },
      FValue);
}

std::u16string Variant::AsWideString() const {
  if (const std::u16string* w = std::get_if<std::u16string>(&FValue)) return *w;
  if (IsNull() || std::holds_alternative<Array>(FValue) ||
      std::holds_alternative<TSharedRef<TSharedObject>>(FValue))
    CastError(varUString);
  return AnsiToUnicode(AsString());
}

TBcd Variant::AsBcd() const {
  return std::visit(
      [&](const auto& x) -> TBcd {
        using T = std::decay_t<decltype(x)>;
        auto fromDouble = [&](double d) {
          if (!std::isfinite(d)) OverflowError(varFMTBcd);
          try {
            return DoubleToBcd(d);
          } catch (const EBcdError&) {
            OverflowError(varFMTBcd);
          }
        };
        if constexpr (std::is_same_v<T, TBcd>) return x;
        else if constexpr (std::is_same_v<T, std::monostate>) return TBcd{};
        else if constexpr (std::is_same_v<T, bool>) return Int64ToBcd(x ? 1 : 0);
        else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) return Int64ToBcd(x);
        else if constexpr (std::is_integral_v<T>) return UInt64ToBcd(x);
        else if constexpr (std::is_floating_point_v<T>) return fromDouble(x);
        else if constexpr (std::is_same_v<T, DateValue>) return fromDouble(x.Value);
        else if constexpr (std::is_same_v<T, Currency>) return CurrToBcd(x);
        else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string>) {
          std::string text;
          if constexpr (std::is_same_v<T, std::string>)
            text = x;
          else
            text = Utf16ToUtf8(x);
          TBcd b;
          if (TryStrToBcd(text, b)) return b;
          double d = 0;
          if (TryStrToFloat(text, d)) return fromDouble(d);
          try {
            StrToBcd(text);
          } catch (const EBcdError& e) {
            if (std::strcmp(e.what(), "BCD overflow") == 0) OverflowError(varFMTBcd);
          }
          CastError(varFMTBcd);
        } else {
          CastError(varFMTBcd);
        }
      },
      FValue);
}

TSQLTimeStamp Variant::AsSQLTimeStamp() const {
  if (const TSQLTimeStamp* t = std::get_if<TSQLTimeStamp>(&FValue)) return *t;
  if (const std::string* s = StringPtr()) {
    TSQLTimeStamp t;
    if (!TryStrToSQLTimeStamp(*s, t)) CastError(varSQLTimeStamp);
    return t;
  }
  if (const std::u16string* w = WideStringPtr()) {
    TSQLTimeStamp t;
    if (!TryStrToSQLTimeStamp(Utf16ToUtf8(*w), t)) CastError(varSQLTimeStamp);
    return t;
  }
  if (std::holds_alternative<bool>(FValue)) CastError(varSQLTimeStamp);
  TDateTime d = 0;
  try {
    d = AsDate();
  } catch (const EVariantTypeCastError&) {
    CastError(varSQLTimeStamp);
  }
  return RangeChecked([&] { return DateTimeToSQLTimeStamp(d); }, *this, varSQLTimeStamp);
}

Variant::Bytes Variant::AsBytes() const {
  if (const ByteArray* b = std::get_if<ByteArray>(&FValue)) return b->Data ? *b->Data : Bytes();
  if (IsEmpty()) return {};
  if (const std::string* s = StringPtr()) return Bytes(s->begin(), s->end());
  if (const std::u16string* w = WideStringPtr()) {
    const std::string u = Utf16ToUtf8(*w);
    return Bytes(u.begin(), u.end());
  }
  CastError(varArray | varByte);
}

const Variant::Array& Variant::AsArray() const {
  if (const Array* a = std::get_if<Array>(&FValue)) return *a;
  CastError(varArray | varVariant);
}

TSharedRef<TSharedObject> Variant::AsSharedObject() const {
  if (const auto* r = std::get_if<TSharedRef<TSharedObject>>(&FValue)) return *r;
  if (IsNullOrEmpty()) return {};
  CastError(varSharedObject);
}

std::string VarToStr(const Variant& v) { return v.IsNull() ? std::string() : v.AsString(); }

std::u16string VarToWideStr(const Variant& v) { return v.IsNull() ? std::u16string() : v.AsWideString(); }

Variant VarAsType(const Variant& v, std::uint16_t varType) {
  if (v.VarType() == varType) return v;
  switch (varType) {
    case varEmpty: return Variant();
    case varNull: return Variant::Null();
    case varBoolean: return Variant(v.AsBoolean());
    case varShortInt: return Variant(v.AsInt8());
    case varSmallint: return Variant(v.AsInt16());
    case varInteger: return Variant(v.AsInt32());
    case varInt64: return Variant(v.AsInt64());
    case varByte: return Variant(v.AsUInt8());
    case varWord: return Variant(v.AsUInt16());
    case varLongWord: return Variant(v.AsUInt32());
    case varUInt64: return Variant(v.AsUInt64());
    case varSingle: return Variant(v.AsSingle());
    case varDouble: return Variant(v.AsDouble());
    case varCurrency: return Variant(v.AsCurrency());
    case varDate: return v.VarType() == varDate ? v : Variant::FromDate(v.AsDate());
    case varString: return Variant(v.AsString());
    case varOleStr:
    case varUString: return Variant(v.AsWideString());
    case varFMTBcd: return Variant(v.AsBcd());
    case varSQLTimeStamp: return Variant(v.AsSQLTimeStamp());
    case varArray | varByte: return Variant::FromBytes(v.AsBytes());
    case varArray | varVariant: return Variant::FromArray(v.AsArray());
    case varSharedObject: return Variant(v.AsSharedObject());
    default:
      throw EVariantTypeCastError(Format("Could not convert variant of type (%s) into type (%s)",
                                         {VarTypeAsText(v.VarType()), VarTypeAsText(varType)}));
  }
}

// --- Comparison ---------------------------------------------------------------

bool VarSameValue(const Variant& a, const Variant& b) {
  try {
    VariantAccess::Failure why = VariantAccess::fNone;
    std::uint16_t from = 0, to = 0;
    return VariantAccess::Compare(a, b, why, from, to) == 0;
  } catch (const Exception&) {
    return false;
  }
}

bool operator==(const Variant& a, const Variant& b) { return VarSameValue(a, b); }

bool VarEqual(const Variant& a, const Variant& b) {
  const bool aw = a.WideStringPtr() != nullptr, bw = b.WideStringPtr() != nullptr;
  const bool at = a.IsText(), bt = b.IsText();
  if ((aw && bt) || (bw && at)) return a.AsWideString() == b.AsWideString();
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  const bool aEmptyText = at && (a.StringPtr() ? a.StringPtr()->empty() : a.WideStringPtr()->empty());
  const bool bEmptyText = bt && (b.StringPtr() ? b.StringPtr()->empty() : b.WideStringPtr()->empty());
  if (aEmptyText || bEmptyText) return aEmptyText && bEmptyText;
  if (a.IsByteArray() && b.IsByteArray()) return VariantAccess::CompareBytes(a, b) == 0;
  return VarSameValue(a, b);
}

bool VarStrictEqual(const Variant& a, const Variant& b) {
  return a.VarType() == b.VarType() && VarSameValue(a, b);
}

int VarCompare(const Variant& a, const Variant& b) {
  VariantAccess::Failure why = VariantAccess::fNone;
  std::uint16_t from = 0, to = 0;
  const int c = VariantAccess::Compare(a, b, why, from, to);
  if (c != 2) return c;
  if (why == VariantAccess::fCast)
    throw EVariantTypeCastError(Format("Could not convert variant of type (%s) into type (%s)",
                                       {VarTypeAsText(from), VarTypeAsText(to)}));
  throw EVariantInvalidOpError("Invalid variant operation");
}

// --- Shared objects in variants -------------------------------------------------

Variant TSharedObject::ToVariant() { return Variant(TSharedRef<TSharedObject>::Share(this)); }

TSharedObject* TSharedObject::FromVariant(const Variant& value) {
  if (value.IsNullOrEmpty()) return nullptr;
  return value.AsSharedObject().Get();
}

}  // namespace lumo
