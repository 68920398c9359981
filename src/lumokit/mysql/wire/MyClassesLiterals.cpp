#include <lumokit/mysql/wire/MyClassesLiterals.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

TDateTime ZeroDate = -657434.0;  // 0100-01-01
bool __UseNewBooleanParamType = false;

namespace {

// ---- escape tables ---------------------------------------------------------------

// Second character of the backslash escape of a byte, 0 for bytes copied as
// they are.
struct TEscapeTable {
  std::uint8_t Esc[256] = {};
  constexpr TEscapeTable() {
    Esc[0] = '0';
    Esc['\n'] = 'n';
    Esc['\r'] = 'r';
    Esc[26] = 'Z';
    Esc['"'] = '"';
    Esc['\''] = '\'';
    Esc['\\'] = '\\';
  }
};
constexpr TEscapeTable kEscape;

// Multi-byte character sets whose trail bytes can be ASCII, read the way the
// server's lexer reads them: a lead byte followed by valid trail bytes is
// one character, skipped whole; anything else is a single byte.
enum class TMbKind : std::uint8_t { None, Gbk, Big5, Sjis, Gb18030, EucKr };

struct TMbTables {
  bool Lead[256] = {};
  bool Trail[256] = {};
};

constexpr TMbTables MakeMbTables(TMbKind kind) {
  TMbTables t;
  auto range = [](bool* a, int from, int to) {
    for (int i = from; i <= to; ++i) a[i] = true;
  };
  switch (kind) {
    case TMbKind::Gbk:
    case TMbKind::Gb18030:
      range(t.Lead, 0x81, 0xFE);
      range(t.Trail, 0x40, 0x7E);
      range(t.Trail, 0x80, 0xFE);
      break;
    case TMbKind::Big5:
      range(t.Lead, 0xA1, 0xF9);
      range(t.Trail, 0x40, 0x7E);
      range(t.Trail, 0xA1, 0xFE);
      break;
    case TMbKind::Sjis:
      range(t.Lead, 0x81, 0x9F);
      range(t.Lead, 0xE0, 0xFC);
      range(t.Trail, 0x40, 0x7E);
      range(t.Trail, 0x80, 0xFC);
      break;
    case TMbKind::EucKr:
      range(t.Lead, 0x81, 0xFE);
      range(t.Trail, 0x41, 0x5A);
      range(t.Trail, 0x61, 0x7A);
      range(t.Trail, 0x81, 0xFE);
      break;
    case TMbKind::None:
      break;
  }
  return t;
}

constexpr TMbTables kMbTables[] = {MakeMbTables(TMbKind::None), MakeMbTables(TMbKind::Gbk),
                                   MakeMbTables(TMbKind::Big5), MakeMbTables(TMbKind::Sjis),
                                   MakeMbTables(TMbKind::Gb18030), MakeMbTables(TMbKind::EucKr)};

TMbKind MbKindOf(const std::string& charset) noexcept {
  if (charset.size() < 3 || charset.size() > 7) return TMbKind::None;
  if (SameTextAscii(charset, "gbk")) return TMbKind::Gbk;
  if (SameTextAscii(charset, "big5")) return TMbKind::Big5;
  if (SameTextAscii(charset, "sjis") || SameTextAscii(charset, "cp932")) return TMbKind::Sjis;
  if (SameTextAscii(charset, "gb18030")) return TMbKind::Gb18030;
  if (SameTextAscii(charset, "euckr")) return TMbKind::EucKr;
  return TMbKind::None;
}

// Length of the valid multi-byte character starting at p (whose first byte
// is a lead byte), 0 when there is none.
inline std::size_t MbCharLen(TMbKind kind, const TMbTables& t, const std::uint8_t* p, std::size_t left) noexcept {
  if (left >= 2 && t.Trail[p[1]]) return 2;
  if (kind == TMbKind::Gb18030 && left >= 4 && p[1] >= 0x30 && p[1] <= 0x39 && t.Lead[p[2]] && p[3] >= 0x30 &&
      p[3] <= 0x39)
    return 4;
  return 0;
}

// Appends the escaped bytes (without quotes). The destination is grown to
// the worst case once and cut back afterwards: no allocation per byte.
void AppendEscapedBytes(std::string& SQL, const std::uint8_t* s, std::size_t n, bool needBackslashes,
                        TMbKind mb) {
  if (!needBackslashes) {
    // Only the quote is doubled; no multi-byte character contains one.
    const char* p = reinterpret_cast<const char*>(s);
    const char* end = p + n;
    while (p < end) {
      const void* q = std::memchr(p, '\'', static_cast<std::size_t>(end - p));
      if (!q) {
        SQL.append(p, static_cast<std::size_t>(end - p));
        break;
      }
      const char* quote = static_cast<const char*>(q);
      SQL.append(p, static_cast<std::size_t>(quote - p) + 1);
      SQL += '\'';
      p = quote + 1;
    }
    return;
  }
  const std::size_t old = SQL.size();
  SQL.resize(old + 2 * n);
  char* d = SQL.data() + old;
  std::size_t i = 0;
  if (mb == TMbKind::None) {
    for (; i < n; ++i) {
      const std::uint8_t c = s[i];
      const std::uint8_t e = kEscape.Esc[c];
      if (e == 0) {
        *d++ = static_cast<char>(c);
      } else {
        *d++ = '\\';
        *d++ = static_cast<char>(e);
      }
    }
  } else {
    const TMbTables& t = kMbTables[static_cast<int>(mb)];
    while (i < n) {
      const std::uint8_t c = s[i];
      if (t.Lead[c]) {
        const std::size_t len = MbCharLen(mb, t, s + i, n - i);
        if (len != 0) {
          std::memcpy(d, s + i, len);
          d += len;
          i += len;
        } else {
          // A lead byte that starts no character: escaped, so that it cannot
          // join a following backslash or quote into a character.
          *d++ = '\\';
          *d++ = static_cast<char>(c);
          ++i;
        }
        continue;
      }
      const std::uint8_t e = kEscape.Esc[c];
      if (e == 0) {
        *d++ = static_cast<char>(c);
      } else {
        *d++ = '\\';
        *d++ = static_cast<char>(e);
      }
      ++i;
    }
  }
  SQL.resize(static_cast<std::size_t>(d - SQL.data()));
}

void AppendQuotedBytes(std::string& SQL, std::string_view from, bool needBackslashes, TMbKind mb) {
  SQL.reserve(SQL.size() + 2 * from.size() + 2);
  SQL += '\'';
  AppendEscapedBytes(SQL, reinterpret_cast<const std::uint8_t*>(from.data()), from.size(), needBackslashes, mb);
  SQL += '\'';
}

// ---- numbers ------------------------------------------------------------------

template <typename T>
void AppendNumber(std::string& SQL, T value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof(buf), value);
  SQL.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

[[noreturn]] void RaiseNotFinite() {
  throw EConvertError("A NaN or infinite floating point value cannot be written as a MySQL literal");
}

void AppendDouble(std::string& SQL, double value) {
  if (!std::isfinite(value)) RaiseNotFinite();
  AppendNumber(SQL, value);
}

void AppendSingle(std::string& SQL, float value) {
  if (!std::isfinite(value)) RaiseNotFinite();
  AppendNumber(SQL, value);
}

// A number kind written as it is (integers exactly, floats shortest, '.').
bool AppendNumberKind(std::string& SQL, const Variant& v) {
  const std::uint16_t vt = v.VarType();
  if (IsSignedIntVarType(vt)) {
    AppendNumber(SQL, v.AsInt64());
  } else if (IsUnsignedIntVarType(vt)) {
    AppendNumber(SQL, v.AsUInt64());
  } else if (vt == varBoolean) {
    SQL += v.AsBoolean() ? '1' : '0';
  } else if (vt == varDouble || vt == varDate) {
    AppendDouble(SQL, v.AsDouble());
  } else if (vt == varSingle) {
    AppendSingle(SQL, v.AsSingle());
  } else if (vt == varCurrency) {
    SQL += CurrToStr(v.AsCurrency(), InvariantFormatSettings());
  } else if (vt == varFMTBcd) {
    SQL += BcdToStr(v.AsBcd(), InvariantFormatSettings());
  } else {
    return false;
  }
  return true;
}

void AppendInteger(std::string& SQL, std::uint16_t dataType, const Variant& v) {
  if (AppendNumberKind(SQL, v)) return;
  // Text and other kinds: converted to the declared type (range-checked;
  // EConvertError when it is no integer).
  switch (dataType) {
    case dtInt8: AppendNumber(SQL, static_cast<int>(v.AsInt8())); break;
    case dtInt16: AppendNumber(SQL, v.AsInt16()); break;
    case dtInt32: AppendNumber(SQL, v.AsInt32()); break;
    case dtUInt8: AppendNumber(SQL, static_cast<unsigned>(v.AsUInt8())); break;
    case dtUInt16: AppendNumber(SQL, v.AsUInt16()); break;
    case dtUInt32: AppendNumber(SQL, v.AsUInt32()); break;
    case dtUInt64: AppendNumber(SQL, v.AsUInt64()); break;
    default: AppendNumber(SQL, v.AsInt64()); break;
  }
}

// ---- dates and times --------------------------------------------------------------

inline char* Put2(char* d, int v) noexcept {
  d[0] = static_cast<char>('0' + v / 10);
  d[1] = static_cast<char>('0' + v % 10);
  return d + 2;
}

inline char* Put4(char* d, int v) noexcept {
  d = Put2(d, v / 100);
  return Put2(d, v % 100);
}

// The fraction of a second (microseconds) as "." and its digits without
// trailing zeros; nothing for 0.
inline char* PutMicros(char* d, std::int32_t micro) noexcept {
  if (micro <= 0) return d;
  *d++ = '.';
  for (std::int32_t unit = 100000; unit > 0 && micro > 0; unit /= 10) {
    *d++ = static_cast<char>('0' + micro / unit);
    micro %= unit;
  }
  return d;
}

void AppendDateTimeParts(std::string& SQL, int y, int mo, int dd, int h, int mi, int s, std::int32_t micro,
                         bool withTime) {
  char buf[32];
  char* d = buf;
  *d++ = '\'';
  d = Put4(d, y);
  *d++ = '-';
  d = Put2(d, mo);
  *d++ = '-';
  d = Put2(d, dd);
  if (withTime) {
    *d++ = ' ';
    d = Put2(d, h);
    *d++ = ':';
    d = Put2(d, mi);
    *d++ = ':';
    d = Put2(d, s);
    d = PutMicros(d, micro);
  }
  *d++ = '\'';
  SQL.append(buf, static_cast<std::size_t>(d - buf));
}

constexpr std::string_view kZeroDateLiteral = "'0000-00-00 00:00:00'";

void AppendDateTime(std::string& SQL, std::uint16_t dataType, const Variant& v) {
  if (v.VarType() == varSQLTimeStamp) {
    // Written from its fields, so the zero date a server sent goes back as
    // it came.
    const TSQLTimeStamp ts = v.AsSQLTimeStamp();
    if (ts.Year == 100 && ts.Month == 1 && ts.Day == 1 && ts.Hour == 0 && ts.Minute == 0 && ts.Second == 0 &&
        ts.Fractions == 0) {
      SQL += kZeroDateLiteral;
      return;
    }
    if (ts.Year < 0 || ts.Month > 12 || ts.Day > 31 || ts.Hour > 23 || ts.Minute > 59 || ts.Second > 59 ||
        ts.Fractions > 999)
      throw EConvertError("Invalid SQL time stamp value");
    if (dataType == dtTime) {
      char buf[24];
      char* d = buf;
      *d++ = '\'';
      d = Put2(d, ts.Hour);
      *d++ = ':';
      d = Put2(d, ts.Minute);
      *d++ = ':';
      d = Put2(d, ts.Second);
      d = PutMicros(d, static_cast<std::int32_t>(ts.Fractions) * 1000);
      *d++ = '\'';
      SQL.append(buf, static_cast<std::size_t>(d - buf));
      return;
    }
    AppendDateTimeParts(SQL, ts.Year, ts.Month, ts.Day, ts.Hour, ts.Minute, ts.Second,
                        static_cast<std::int32_t>(ts.Fractions) * 1000, dataType != dtDate);
    return;
  }
  // The exact value a date variant carries (or the date-time number of any
  // other kind), in micros.
  const std::int64_t micros = v.AsDateMicros();
  if (micros == DateTimeToMicros(ZeroDate)) {
    SQL += kZeroDateLiteral;
    return;
  }
  if (dataType == dtTime) {
    // A signed duration: hours are not wrapped at 24.
    SQL += '\'';
    SQL += TimeSpanMicrosToStr(micros, false);
    SQL += '\'';
    return;
  }
  TDateTimeParts p;
  if (!TryDecodeMicros(micros, p)) throw EConvertError("Invalid date-time value");
  AppendDateTimeParts(SQL, p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Micro, dataType != dtDate);
}

// ---- large objects --------------------------------------------------------------

// The stored bytes of a blob's data object (no copy when they are in one
// piece).
std::string_view StoredBytes(TKxBlobData* data, std::string& holder) {
  if (data->PieceCount() == 0) return {};
  if (data->PieceCount() == 1) {
    const TPieceHeader* p = data->FirstPiece();
    return {reinterpret_cast<const char*>(PieceData(p)), static_cast<std::size_t>(p->Used)};
  }
  holder = data->RawBytes();
  return holder;
}

// 8-bit text in the process code page as UTF-8 (no copy when it is UTF-8
// already).
std::string_view AnsiAsUtf8(std::string_view text, std::string& holder) {
  if (DefaultCodePage() == CP_UTF8 && IsValidUtf8(text)) return text;
  holder = AnsiToUtf8(text);
  return holder;
}

// The content of a blob in the form it is sent in.
std::string_view BlobContentBytes(TBlob& blob, std::string_view content, bool useUnicode, bool textType,
                                  std::string& holder) {
  if (content.empty()) return {};
  if (blob.IsUnicode() && (useUnicode || textType)) {
    std::u16string wide(content.size() / 2, u'\0');
    std::memcpy(wide.data(), content.data(), wide.size() * 2);
    holder = useUnicode ? Utf16ToUtf8(wide) : UnicodeToAnsi(wide);
    return holder;
  }
  return useUnicode ? AnsiAsUtf8(content, holder) : content;
}

// `view` is `raw` itself or a conversion kept in holder: either way the
// bytes end up owned by holder.
std::string_view Owned(std::string_view view, std::string& raw, std::string& holder) {
  if (view.data() != raw.data()) return view;
  holder = std::move(raw);
  return holder;
}

std::string_view BlobBytes(TBlob& blob, bool useUnicode, bool textType, bool sendCompressed, std::string& holder) {
  blob.Defrag();
  auto* cblob = dynamic_cast<TCompressedBlob*>(&blob);
  if (sendCompressed) {
    // The compressed form goes as the bytes it is: never re-encoded.
    if (cblob) {
      cblob->SetCompressed(true);
      if (cblob->Compressed()) return StoredBytes(blob.Data(), holder);
    } else if (blob.Size() > BlobMinCompressLength) {
      TCompressedBlob temp(blob.IsUnicode());
      temp.Assign(blob);
      temp.SetCompressed(true);
      temp.Defrag();
      if (temp.Compressed()) {
        holder = temp.Data()->RawBytes();
        return holder;
      }
    }
  }
  if (cblob && cblob->Compressed()) {
    const auto bytes = blob.AsBytes();
    std::string raw(bytes.begin(), bytes.end());
    return Owned(BlobContentBytes(blob, raw, useUnicode, textType, holder), raw, holder);
  }
  blob.CheckValue();
  return BlobContentBytes(blob, StoredBytes(blob.Data(), holder), useUnicode, textType, holder);
}

// ---- values by kind -------------------------------------------------------------

void AppendVar(std::string& SQL, const Variant& data, bool useUnicode, bool textType, bool sendCompressed,
               bool needBackslashes, TMbKind mb) {
  std::string holder;
  AppendQuotedBytes(SQL, ValueBytes(data, useUnicode, textType, sendCompressed, holder), needBackslashes, mb);
}

// A value whose declared type says nothing about its form (dtVariant and
// the other kinds): written by the kind of the value, text always quoted.
void AppendByKind(std::string& SQL, const Variant& v, bool useUnicode, bool sendCompressed, bool needBackslashes,
                  TMbKind mb) {
  if (v.IsNullOrEmpty()) {
    SQL += "NULL";
    return;
  }
  const std::uint16_t vt = v.VarType();
  if (vt == varDate) {
    AppendDateTime(SQL, dtDateTime, v);
  } else if (vt == varSQLTimeStamp) {
    AppendDateTime(SQL, dtDateTime, v);
  } else if (!AppendNumberKind(SQL, v)) {
    AppendVar(SQL, v, useUnicode, false, sendCompressed, needBackslashes, mb);
  }
}

void AppendValue(std::string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                 bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer, TMbKind mb) {
  if (IsNull) {
    SQL += "NULL";
    return;
  }
  if (IsTextFieldType(DataType)) {
    AppendVar(SQL, Value, UseUnicode, true, SendBlobCompressed, NeedBackslashes, mb);
    return;
  }
  switch (DataType) {
    case dtUnknown:
    case dtBlob:
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes:
      AppendVar(SQL, Value, false, false, SendBlobCompressed, NeedBackslashes, mb);
      return;
    case dtGuid:
      AppendVar(SQL, Value, UseUnicode, true, SendBlobCompressed, NeedBackslashes, mb);
      return;
    default:
      break;
  }
  // A typed value without a value: NULL rather than an empty text pasted in.
  if (Value.IsNullOrEmpty()) {
    SQL += "NULL";
    return;
  }
  if (IsIntegerFieldType(DataType)) {
    AppendInteger(SQL, DataType, Value);
    return;
  }
  switch (DataType) {
    case dtFloat: {
      const std::uint16_t vt = Value.VarType();
      if (IsIntegerVarType(vt) || vt == varBoolean)
        AppendNumberKind(SQL, Value);
      else
        AppendDouble(SQL, Value.IsText() ? TextToDouble(Value) : Value.AsDouble());
      return;
    }
    case dtSingle: {
      if (Value.IsText()) {
        const double d = TextToDouble(Value);
        if (!std::isfinite(d)) RaiseNotFinite();
        AppendSingle(SQL, Variant(d).AsSingle());
      } else {
        AppendSingle(SQL, Value.AsSingle());
      }
      return;
    }
    case dtCurrency: {
      // Written like dtFloat: a double keeps the digits it has,
      // it is not rounded to the four decimals of the currency type.
      // Values of the currency and decimal kinds are exact already.
      if (Value.IsText())
        AppendDouble(SQL, TextToDouble(Value));
      else if (!AppendNumberKind(SQL, Value))
        AppendDouble(SQL, Value.AsDouble());
      return;
    }
    case dtBCD: {
      if (Value.VarType() == varDouble || Value.VarType() == varSingle) {
        if (!std::isfinite(Value.AsDouble())) RaiseNotFinite();
      }
      const Currency c = Value.IsText() ? TextToCurr(Value) : Value.AsCurrency();
      SQL += CurrToStr(c, InvariantFormatSettings());
      return;
    }
    case dtFMTBCD: {
      if (Value.VarType() == varDouble || Value.VarType() == varSingle) {
        if (!std::isfinite(Value.AsDouble())) RaiseNotFinite();
      }
      SQL += BcdToStr(Value.IsText() ? TextToBcd(Value) : Value.AsBcd(), InvariantFormatSettings());
      return;
    }
    case dtDate:
    case dtTime:
    case dtDateTime:
    case dtSQLTimeStamp:
      AppendDateTime(SQL, DataType, Value);
      return;
    case dtBoolean: {
      const bool b = Value.AsBoolean();
      if (ServerPrimaryVer >= 5 && __UseNewBooleanParamType)
        SQL += b ? "b'1'" : "b'0'";
      else
        SQL += b ? '1' : '0';
      return;
    }
    default:
      AppendByKind(SQL, Value, UseUnicode, SendBlobCompressed, NeedBackslashes, mb);
      return;
  }
}

}  // namespace

// ---- public ---------------------------------------------------------------------

double TextToDouble(const Variant& v) {
  double d;
  if (const std::string* s = v.StringPtr(); s && TryStrToFloat(*s, d, InvariantFormatSettings())) return d;
  if (const std::u16string* w = v.WideStringPtr(); w && TryStrToFloat(Utf16ToUtf8(*w), d, InvariantFormatSettings()))
    return d;
  return v.AsDouble();
}

Currency TextToCurr(const Variant& v) {
  Currency c;
  if (const std::string* s = v.StringPtr(); s && TryStrToCurr(*s, c, InvariantFormatSettings())) return c;
  if (const std::u16string* w = v.WideStringPtr(); w && TryStrToCurr(Utf16ToUtf8(*w), c, InvariantFormatSettings()))
    return c;
  return v.AsCurrency();
}

TBcd TextToBcd(const Variant& v) {
  TBcd b;
  if (const std::string* s = v.StringPtr(); s && TryStrToBcd(*s, b, InvariantFormatSettings())) return b;
  if (const std::u16string* w = v.WideStringPtr(); w && TryStrToBcd(Utf16ToUtf8(*w), b, InvariantFormatSettings()))
    return b;
  return v.AsBcd();
}

std::string_view ValueBytes(const Variant& Data, bool UseUnicode, bool TextType, bool SendBlobCompressed,
                            std::string& Holder) {
  if (const std::string* s = Data.StringPtr()) return UseUnicode ? AnsiAsUtf8(*s, Holder) : std::string_view(*s);
  if (const std::u16string* w = Data.WideStringPtr()) {
    Holder = UseUnicode ? Utf16ToUtf8(*w) : UnicodeToAnsi(*w);
    return Holder;
  }
  if (Data.IsByteArray()) {
    const Variant::Bytes* b = Data.BytesPtr();
    return b ? std::string_view(reinterpret_cast<const char*>(b->data()), b->size()) : std::string_view();
  }
  if (Data.IsNullOrEmpty()) return {};
  if (Data.VarType() == varSharedObject) {
    TSharedRef<TSharedObject> obj = Data.AsSharedObject();
    if (auto* blob = dynamic_cast<TBlob*>(obj.Get())) return BlobBytes(*blob, UseUnicode, TextType, SendBlobCompressed, Holder);
  }
  // Numbers, dates and the rest as their 8-bit text (ASCII for numbers).
  std::string text = Data.AsString();
  return Owned(UseUnicode ? AnsiAsUtf8(text, Holder) : std::string_view(text), text, Holder);
}

void AppendEscapedStr(std::string& SQL, std::string_view From, bool NeedBackslashes, const std::string& Charset) {
  AppendQuotedBytes(SQL, From, NeedBackslashes, MbKindOf(Charset));
}

void AppendEscapedWideStr(std::u16string& SQL, std::u16string_view From, bool NeedBackslashes) {
  SQL.reserve(SQL.size() + 2 * From.size() + 2);
  SQL += u'\'';
  if (!NeedBackslashes) {
    for (char16_t c : From) {
      SQL += c;
      if (c == u'\'') SQL += c;
    }
  } else {
    const std::size_t old = SQL.size();
    SQL.resize(old + 2 * From.size());
    char16_t* d = SQL.data() + old;
    for (char16_t c : From) {
      const std::uint8_t e = c < 0x80 ? kEscape.Esc[c] : 0;
      if (e == 0) {
        *d++ = c;
      } else {
        *d++ = u'\\';
        *d++ = e;
      }
    }
    SQL.resize(static_cast<std::size_t>(d - SQL.data()));
  }
  SQL += u'\'';
}

std::string EscapeAndQuoteStr(std::string_view From, bool NeedBackslashes, const std::string& Charset) {
  std::string r;
  AppendEscapedStr(r, From, NeedBackslashes, Charset);
  return r;
}

std::string EscapeStr(std::string_view From, bool NeedBackslashes, const std::string& Charset) {
  std::string r;
  AppendEscapedBytes(r, reinterpret_cast<const std::uint8_t*>(From.data()), From.size(), NeedBackslashes,
                     MbKindOf(Charset));
  return r;
}

std::u16string EscapeAndQuoteWideStr(std::u16string_view From, bool NeedBackslashes) {
  std::u16string r;
  AppendEscapedWideStr(r, From, NeedBackslashes);
  return r;
}

std::string EscapeAndQuoteVar(const Variant& Data, bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes,
                              const std::string& Charset) {
  std::string r;
  AppendVar(r, Data, UseUnicode, false, SendBlobCompressed, NeedBackslashes, MbKindOf(Charset));
  return r;
}

void AppendValueToSQL(std::string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                      bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset) {
  AppendValue(SQL, DataType, Value, IsNull, UseUnicode, SendBlobCompressed, NeedBackslashes, ServerPrimaryVer,
              MbKindOf(Charset));
}

void AppendValueToSQL(std::u16string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull,
                      bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset) {
  if (!IsNull && (IsTextFieldType(DataType) || DataType == dtGuid) && Value.IsText()) {
    if (const std::u16string* w = Value.WideStringPtr())
      AppendEscapedWideStr(SQL, *w, NeedBackslashes);
    else
      AppendEscapedWideStr(SQL, AnsiToUnicode(*Value.StringPtr()), NeedBackslashes);
    return;
  }
  std::string s;
  AppendValue(s, DataType, Value, IsNull, UseUnicode, SendBlobCompressed, NeedBackslashes, ServerPrimaryVer,
              MbKindOf(Charset));
  SQL += UseUnicode ? Utf8ToUtf16(s) : AnsiToUnicode(s);
}

std::string ValueToSQL(std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                       bool SendBlobCompressed, int ServerPrimaryVer, std::optional<bool> NeedBackslashes) {
  std::string s;
  AppendValue(s, DataType, Value, IsNull, UseUnicode, SendBlobCompressed, NeedBackslashes.value_or(false),
              ServerPrimaryVer, TMbKind::None);
  if (NeedBackslashes.has_value() || s.size() < 2 || s.front() != '\'' ||
      s.find('\\') == std::string::npos)
    return s;
  // The escaping mode is unknown and the literal holds a backslash, which
  // the two modes read differently: a hexadecimal literal means the same
  // bytes in both.
  std::string raw;
  raw.reserve(s.size());
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    raw += s[i];
    if (s[i] == '\'') ++i;  // the doubled quote
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex = "X'";
  hex.reserve(raw.size() * 2 + 3);
  for (unsigned char c : raw) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  hex += '\'';
  return hex;
}

}  // namespace lumo
