#include <lumokit/mysql/wire/MySqlStmt.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <typeinfo>

#include <lumokit/access/KxAccess.h>
#include <lumokit/core/Bcd.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlSession.h>

namespace lumo {

// ---------------------------------------------------------------------------
// The prepare reply

TMySqlPrepareOk ParsePrepareOk(const std::uint8_t* payload, std::size_t length) {
  TMySqlPacketReader r(payload, length);
  if (r.ReadByte() != 0) RaiseMalformedPacket();
  TMySqlPrepareOk ok;
  ok.StmtId = r.ReadUInt32();
  ok.FieldCount = r.ReadUInt16();
  ok.ParamCount = r.ReadUInt16();
  if (r.Remaining() >= 3) {
    r.Skip(1);
    ok.WarningCount = r.ReadUInt16();
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Parameter values

namespace {

[[noreturn]] void RaiseInvalidType(std::uint16_t dataType) {
  throw Exception(Format("Invalid internal field type $%X (%d)", {dataType, dataType}));
}

void CheckFinite(double v) {
  if (!std::isfinite(v)) throw EConvertError("A NaN or infinite floating point value cannot be sent as a parameter");
}

// The low `bytes` bytes of v, least significant first (on a little-endian
// machine a copy, which a constant count turns into one store).
void PutLe(std::uint8_t* d, std::uint64_t v, int bytes) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(d, &v, static_cast<std::size_t>(bytes));
  } else {
    for (int i = 0; i < bytes; ++i) d[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

void SetFixed(TMySqlStmtParam& p, std::uint8_t type, std::uint64_t bits, int bytes, bool isUnsigned = false) {
  p.Type = type;
  p.Unsigned = isUnsigned;
  p.IsNull = false;
  p.Sized = false;
  p.FixedLength = static_cast<std::uint8_t>(bytes);
  // All eight bytes in one go (the ones past `bytes` are not sent): cheaper
  // than a loop of variable length.
  static_assert(sizeof p.Fixed >= 8);
  PutLe(p.Fixed, bits, 8);
}

void SetDouble(TMySqlStmtParam& p, double v) {
  CheckFinite(v);
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  SetFixed(p, MYSQL_TYPE_DOUBLE, bits, 8);
}

void SetSingle(TMySqlStmtParam& p, float v) {
  CheckFinite(v);
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  SetFixed(p, MYSQL_TYPE_FLOAT, bits, 4);
}

void SetSizedKind(TMySqlStmtParam& p, TMySqlStmtParam::TBytesAt at, std::uint64_t length) {
  p.Type = MYSQL_TYPE_VAR_STRING;
  p.Unsigned = false;
  p.IsNull = false;
  p.Sized = true;
  p.At = at;
  p.Length = length;
}

// A length-prefixed value whose bytes are `bytes`: a view of p.Holder, of
// p.Value's string or byte array, or of memory p.Value or a viewed
// parameter keeps alive.
void SetSized(TMySqlStmtParam& p, std::string_view bytes) {
  using T = TMySqlStmtParam;
  const char* d = bytes.data();
  T::TBytesAt at = T::baExternal;
  if (bytes.empty() || d == p.Holder.data()) {
    at = T::baHolder;
  } else if (const std::string* s = p.Value.StringPtr(); s && d == s->data()) {
    at = T::baValueString;
  } else if (const Variant::Bytes* b = p.Value.BytesPtr(); b && d == reinterpret_cast<const char*>(b->data())) {
    at = T::baValueBytes;
  } else {
    p.External = reinterpret_cast<const std::uint8_t*>(d);
  }
  if (bytes.empty()) p.Holder.clear();
  SetSizedKind(p, at, bytes.size());
}

void SetText(TMySqlStmtParam& p, std::string text) {
  p.Holder = std::move(text);
  SetSized(p, p.Holder);
}

// An integer as the declared type when it fits, else as a LONGLONG that
// holds it.
void SetInteger(TMySqlStmtParam& p, std::uint16_t dataType, bool negative, std::uint64_t magnitude) {
  struct TRange {
    std::uint8_t Type;
    int Bytes;
    bool Unsigned;
    std::int64_t Min;
    std::uint64_t Max;
  };
  TRange r;
  switch (dataType) {
    case dtInt8: r = {MYSQL_TYPE_TINY, 1, false, -128, 127}; break;
    case dtInt16: r = {MYSQL_TYPE_SHORT, 2, false, -32768, 32767}; break;
    case dtUInt8: r = {MYSQL_TYPE_SHORT, 2, false, 0, 255}; break;
    case dtUInt16: r = {MYSQL_TYPE_LONG, 4, false, 0, 65535}; break;
    case dtInt32: r = {MYSQL_TYPE_LONG, 4, false, std::numeric_limits<std::int32_t>::min(), 2147483647}; break;
    case dtUInt32: r = {MYSQL_TYPE_LONG, 4, true, 0, 4294967295u}; break;
    case dtUInt64: r = {MYSQL_TYPE_LONGLONG, 8, true, 0, ~std::uint64_t{0}}; break;
    default:
      r = {MYSQL_TYPE_LONGLONG, 8, false, std::numeric_limits<std::int64_t>::min(),
           static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())};
      break;
  }
  const bool fits = negative ? r.Min < 0 && magnitude <= static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(r.Min)
                             : magnitude <= r.Max;
  if (!fits) {
    const bool isUnsigned = !negative && magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    r = {MYSQL_TYPE_LONGLONG, 8, isUnsigned, 0, 0};
  }
  const std::uint64_t bits = negative ? static_cast<std::uint64_t>(0) - magnitude : magnitude;
  SetFixed(p, r.Type, bits, r.Bytes, r.Unsigned);
}

void SetSigned(TMySqlStmtParam& p, std::uint16_t dataType, std::int64_t v) {
  SetInteger(p, dataType, v < 0, v < 0 ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(v)
                                        : static_cast<std::uint64_t>(v));
}

// A value of a number kind as it is: integers exactly, floating point as
// DOUBLE or FLOAT, currency and decimals as their exact text. False for
// other kinds.
bool SetNumberKind(TMySqlStmtParam& p, std::uint16_t intType, const Variant& v) {
  const std::uint16_t vt = v.VarType();
  if (IsSignedIntVarType(vt)) {
    SetSigned(p, intType, v.AsInt64());
  } else if (IsUnsignedIntVarType(vt)) {
    SetInteger(p, intType, false, v.AsUInt64());
  } else if (vt == varBoolean) {
    SetInteger(p, intType, false, v.AsBoolean() ? 1 : 0);
  } else if (vt == varDouble || vt == varDate) {
    SetDouble(p, v.AsDouble());
  } else if (vt == varSingle) {
    SetSingle(p, v.AsSingle());
  } else if (vt == varCurrency) {
    SetText(p, CurrToStr(v.AsCurrency(), InvariantFormatSettings()));
  } else if (vt == varFMTBcd) {
    SetText(p, BcdToStr(v.AsBcd(), InvariantFormatSettings()));
  } else {
    return false;
  }
  return true;
}

void SetDeclaredInteger(TMySqlStmtParam& p, std::uint16_t dataType, const Variant& v) {
  if (SetNumberKind(p, dataType, v)) return;
  // Text and other kinds: converted to the declared type (range-checked,
  // EConvertError when it is no integer).
  switch (dataType) {
    case dtInt8: SetSigned(p, dataType, v.AsInt8()); break;
    case dtInt16: SetSigned(p, dataType, v.AsInt16()); break;
    case dtInt32: SetSigned(p, dataType, v.AsInt32()); break;
    case dtUInt8: SetInteger(p, dataType, false, v.AsUInt8()); break;
    case dtUInt16: SetInteger(p, dataType, false, v.AsUInt16()); break;
    case dtUInt32: SetInteger(p, dataType, false, v.AsUInt32()); break;
    case dtUInt64: SetInteger(p, dataType, false, v.AsUInt64()); break;
    default: SetSigned(p, dataType, v.AsInt64()); break;
  }
}

// Dates and times: DATE (4 bytes), DATETIME (7, or 11 with a fraction of a
// second) or TIME (12) with the length byte in front; the zero date has
// length 0.
void SetTemporal(TMySqlStmtParam& p, std::uint16_t dataType, const Variant& v) {
  const std::uint8_t type =
      dataType == dtDate ? MYSQL_TYPE_DATE : dataType == dtTime ? MYSQL_TYPE_TIME : MYSQL_TYPE_DATETIME;
  p.Type = type;
  p.Unsigned = false;
  p.IsNull = false;
  p.Sized = false;
  std::uint8_t* d = p.Fixed;
  auto finish = [&](std::uint8_t length) {
    d[0] = length;
    p.FixedLength = static_cast<std::uint8_t>(length + 1);
  };
  auto date = [&](int y, int mo, int dd, int h, int mi, int s, std::int64_t micro) {
    PutLe(d + 1, static_cast<std::uint32_t>(y), 2);
    d[3] = static_cast<std::uint8_t>(mo);
    d[4] = static_cast<std::uint8_t>(dd);
    if (type == MYSQL_TYPE_DATE) return finish(4);
    d[5] = static_cast<std::uint8_t>(h);
    d[6] = static_cast<std::uint8_t>(mi);
    d[7] = static_cast<std::uint8_t>(s);
    // Without a fraction of a second the short form (7) says it all.
    if (micro == 0) return finish(7);
    PutLe(d + 8, static_cast<std::uint32_t>(micro), 4);
    finish(11);
  };
  // A duration: sign, days, hours modulo 24, minutes, seconds, microseconds.
  auto time = [&](bool negative, std::uint64_t micros) {
    constexpr std::uint64_t perSec = USecsPerSec;
    d[1] = negative ? 1 : 0;
    PutLe(d + 2, micros / static_cast<std::uint64_t>(USecsPerDay), 4);
    d[6] = static_cast<std::uint8_t>(micros / (3600 * perSec) % 24);
    d[7] = static_cast<std::uint8_t>(micros / (60 * perSec) % 60);
    d[8] = static_cast<std::uint8_t>(micros / perSec % 60);
    PutLe(d + 9, micros % perSec, 4);
    finish(12);
  };
  if (v.VarType() == varSQLTimeStamp) {
    const TSQLTimeStamp ts = v.AsSQLTimeStamp();
    if (ts.Year == 100 && ts.Month == 1 && ts.Day == 1 && ts.Hour == 0 && ts.Minute == 0 && ts.Second == 0 &&
        ts.Fractions == 0)
      return finish(0);
    if (ts.Year < 0 || ts.Month > 12 || ts.Day > 31 || ts.Hour > 23 || ts.Minute > 59 || ts.Second > 59 ||
        ts.Fractions > 999)
      throw EConvertError("Invalid SQL time stamp value");
    if (type == MYSQL_TYPE_TIME)
      return time(false, (((std::uint64_t{ts.Hour} * 60 + ts.Minute) * 60 + ts.Second) * 1000 + ts.Fractions) *
                             static_cast<std::uint64_t>(USecsPerMSec));
    return date(ts.Year, ts.Month, ts.Day, ts.Hour, ts.Minute, ts.Second, std::int64_t{ts.Fractions} * USecsPerMSec);
  }
  // The exact value a date variant carries (or the date-time number of any
  // other kind), in micros.
  const std::int64_t micros = v.AsDateMicros();
  if (micros == DateTimeToMicros(ZeroDate)) return finish(0);
  if (type == MYSQL_TYPE_TIME) {
    const std::uint64_t magnitude =
        micros < 0 ? 0 - static_cast<std::uint64_t>(micros) : static_cast<std::uint64_t>(micros);
    return time(micros < 0, magnitude);
  }
  TDateTimeParts parts;
  if (!TryDecodeMicros(micros, parts)) throw EConvertError("Invalid date-time value");
  date(parts.Year, parts.Month, parts.Day, parts.Hour, parts.Minute, parts.Second, parts.Micro);
}

// Text, bytes and large objects: the bytes the literal writer quotes. A
// large object whose bytes go as they are stored is sent chunk by chunk.
// `v` is p.Value or a value that outlives the use of p (p views it).
void SetBytes(TMySqlStmtParam& p, const Variant& v, bool unicode, bool textType, bool sendCompressed) {
  if (v.VarType() == varSharedObject) {
    TSharedRef<TSharedObject> obj = v.AsSharedObject();
    auto* blob = dynamic_cast<TBlob*>(obj.Get());
    const bool asStored = blob && !sendCompressed && (!textType || (!unicode && !blob->IsUnicode()));
    if (asStored) {
      blob->CheckValue();
      p.Blob = blob;
      SetSizedKind(p, TMySqlStmtParam::baBlob, static_cast<std::uint64_t>(blob->Size()));
      return;
    }
  }
  SetSized(p, ValueBytes(v, unicode, textType, sendCompressed, p.Holder));
}

// The wire type of a NULL value of a declared type.
std::uint8_t NullType(std::uint16_t dataType, bool& isUnsigned) {
  isUnsigned = dataType == dtUInt32 || dataType == dtUInt64;
  switch (dataType) {
    case dtInt8:
    case dtBoolean: return MYSQL_TYPE_TINY;
    case dtInt16:
    case dtUInt8: return MYSQL_TYPE_SHORT;
    case dtInt32:
    case dtUInt16:
    case dtUInt32: return MYSQL_TYPE_LONG;
    case dtInt64:
    case dtUInt64: return MYSQL_TYPE_LONGLONG;
    case dtFloat:
    case dtCurrency: return MYSQL_TYPE_DOUBLE;
    case dtSingle: return MYSQL_TYPE_FLOAT;
    case dtDate: return MYSQL_TYPE_DATE;
    case dtTime: return MYSQL_TYPE_TIME;
    case dtDateTime:
    case dtSQLTimeStamp: return MYSQL_TYPE_DATETIME;
    case dtVariant: return MYSQL_TYPE_NULL;
    default: return MYSQL_TYPE_VAR_STRING;
  }
}

// Back to a NULL of no type; the text holder keeps its memory for the next
// value, and a value kept alive from before is let go.
void ClearParam(TMySqlStmtParam& p) noexcept {
  p.Type = MYSQL_TYPE_NULL;
  p.Unsigned = false;
  p.IsNull = true;
  p.Sized = false;
  p.FixedLength = 0;
  p.At = TMySqlStmtParam::baHolder;
  p.Length = 0;
  p.External = nullptr;
  p.Blob = nullptr;
  p.Holder.clear();
  if (!p.Value.IsEmpty()) p.Value = Variant();
}

bool HoldsNoValue(std::uint16_t dataType) noexcept {
  return dataType == dtObject || dataType == dtReference || dataType == dtArray || dataType == dtTable ||
         dataType == dtCursor || dataType > dtUInt64;
}

bool IsBytesType(std::uint16_t dataType) noexcept {
  return dataType == dtUnknown || dataType == dtBlob || IsBytesFieldType(dataType);
}

}  // namespace

const std::uint8_t* TMySqlStmtParam::Bytes() const noexcept {
  switch (At) {
    case baHolder:
      return reinterpret_cast<const std::uint8_t*>(Holder.data());
    case baValueString:
      return reinterpret_cast<const std::uint8_t*>(Value.StringPtr()->data());
    case baValueBytes:
      return Value.BytesPtr()->data();
    case baExternal:
      return External;
    default:
      return nullptr;
  }
}

namespace {

// Fills a cleared `p` from `value`, which is p.Value or outlives the use of
// p: text and bytes are viewed where they are.
void FillParam(TMySqlStmtParam& p, std::uint16_t dataType, const Variant& value, bool isNull, bool unicode,
               bool sendBlobCompressed) {
  if (HoldsNoValue(dataType)) RaiseInvalidType(dataType);
  const bool textType = IsTextFieldType(dataType) || dataType == dtGuid;
  // A value that is missing is NULL, except for text and bytes (empty).
  if (!isNull && value.IsNullOrEmpty() && !textType && !IsBytesType(dataType)) isNull = true;
  if (isNull) {
    bool isUnsigned = false;
    p.Type = NullType(dataType, isUnsigned);
    p.Unsigned = isUnsigned;
    return;
  }
  if (textType) {
    SetBytes(p, value, unicode, true, sendBlobCompressed);
  } else if (IsBytesType(dataType)) {
    SetBytes(p, value, false, false, sendBlobCompressed);
    // Declared bytes go as a blob, which the server takes as binary rather
    // than as text of the connection's character set (and so never has to
    // convert); a parameter without a declared type stays text.
    if (dataType != dtUnknown) p.Type = MYSQL_TYPE_BLOB;
  } else if (IsIntegerFieldType(dataType)) {
    SetDeclaredInteger(p, dataType, value);
  } else {
    switch (dataType) {
      case dtBoolean:
        SetFixed(p, MYSQL_TYPE_TINY, value.AsBoolean() ? 1 : 0, 1);
        break;
      case dtFloat:
      case dtCurrency: {
        // Integers stay exact; dtCurrency keeps currency and decimal values
        // exact as well (their text), never rounded to a double.
        const std::uint16_t vt = value.VarType();
        const bool exactKind = IsIntegerVarType(vt) || vt == varBoolean ||
                               (dataType == dtCurrency && (vt == varCurrency || vt == varFMTBcd));
        if (value.IsText())
          SetDouble(p, TextToDouble(value));
        else if (!exactKind || !SetNumberKind(p, dtInt64, value))
          SetDouble(p, value.AsDouble());
        break;
      }
      case dtSingle:
        if (value.IsText()) {
          const double d = TextToDouble(value);
          CheckFinite(d);
          SetSingle(p, Variant(d).AsSingle());
        } else {
          SetSingle(p, value.AsSingle());
        }
        break;
      case dtBCD:
        if (value.VarType() == varDouble || value.VarType() == varSingle) CheckFinite(value.AsDouble());
        SetText(p, CurrToStr(value.IsText() ? TextToCurr(value) : value.AsCurrency(), InvariantFormatSettings()));
        break;
      case dtFMTBCD:
        if (value.VarType() == varDouble || value.VarType() == varSingle) CheckFinite(value.AsDouble());
        SetText(p, BcdToStr(value.IsText() ? TextToBcd(value) : value.AsBcd(), InvariantFormatSettings()));
        break;
      case dtDate:
      case dtTime:
      case dtDateTime:
      case dtSQLTimeStamp:
        SetTemporal(p, dataType, value);
        break;
      default: {
        // dtVariant: by the kind of the value.
        const std::uint16_t vt = value.VarType();
        if (vt == varDate || vt == varSQLTimeStamp)
          SetTemporal(p, dtDateTime, value);
        else if (!SetNumberKind(p, dtInt64, value))
          SetBytes(p, value, unicode, false, sendBlobCompressed);
        break;
      }
    }
  }
}

// The value of a parameter that is exactly a TParamDesc, read in place (its
// GetValue returns a copy of this very value, an allocation for text and
// bytes); null for a subclass, which may answer GetValue otherwise.
const Variant* ValueInPlace(const TParamDesc& param) noexcept {
  return typeid(param) == typeid(TParamDesc) ? &param.StoredValue() : nullptr;
}

}  // namespace

void SetStmtParam(TMySqlStmtParam& p, std::uint16_t dataType, Variant value, bool isNull, bool unicode,
                  bool sendBlobCompressed) {
  ClearParam(p);
  p.Value = std::move(value);
  FillParam(p, dataType, p.Value, isNull, unicode, sendBlobCompressed);
}

void SetStmtParamView(TMySqlStmtParam& p, const TParamDesc& param, bool unicode, bool sendBlobCompressed) {
  const Variant* value = ValueInPlace(param);
  // Large objects take the owning way (it also picks the encrypted copy).
  if (!value || value->VarType() == varSharedObject) return SetStmtParam(p, param, unicode, sendBlobCompressed);
  ClearParam(p);
  FillParam(p, param.DataType(), *value, param.GetNull(), unicode, sendBlobCompressed);
}

void SetStmtParam(TMySqlStmtParam& p, const TParamDesc& param, bool unicode, bool sendBlobCompressed) {
  Variant value = param.GetValue();
  if (value.VarType() == varSharedObject) {
    // The encrypted copy of a large object when the parameter has one.
    if (TSharedObject* obj = param.GetObject()) value = Variant(TSharedRef<TSharedObject>::Share(obj));
  }
  SetStmtParam(p, param.DataType(), std::move(value), param.GetNull(), unicode, sendBlobCompressed);
}

TMySqlStmtParam MakeStmtParam(std::uint16_t dataType, Variant value, bool isNull, bool unicode,
                              bool sendBlobCompressed) {
  TMySqlStmtParam p;
  SetStmtParam(p, dataType, std::move(value), isNull, unicode, sendBlobCompressed);
  return p;
}

TMySqlStmtParam MakeStmtParam(const TParamDesc& param, bool unicode, bool sendBlobCompressed) {
  TMySqlStmtParam p;
  SetStmtParam(p, param, unicode, sendBlobCompressed);
  return p;
}

void AppendExecuteHead(TMySqlByteBuffer& out, std::uint32_t stmtId, std::span<const TMySqlStmtParam> params,
                       std::vector<std::uint16_t>& sentTypes) {
  out.AppendInt32(stmtId);
  out.AppendByte(0);   // no cursor
  out.AppendInt32(1);  // iteration count
  const std::size_t n = params.size();
  if (n == 0) return;
  std::uint8_t* bitmap = out.Extend((n + 7) / 8);
  std::memset(bitmap, 0, (n + 7) / 8);
  bool changed = sentTypes.size() != n;
  for (std::size_t i = 0; i < n; ++i) {
    if (params[i].IsNull) bitmap[i >> 3] = static_cast<std::uint8_t>(bitmap[i >> 3] | (1u << (i & 7)));
    if (!changed && sentTypes[i] != params[i].TypeCode()) changed = true;
  }
  out.AppendByte(changed ? 1 : 0);
  if (!changed) return;
  sentTypes.resize(n);
  std::uint8_t* types = out.Extend(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    sentTypes[i] = params[i].TypeCode();
    types[2 * i] = static_cast<std::uint8_t>(sentTypes[i]);
    types[2 * i + 1] = static_cast<std::uint8_t>(sentTypes[i] >> 8);
  }
}

void AppendExecuteValues(TMySqlByteBuffer& out, std::span<const TMySqlStmtParam> params) {
  for (const TMySqlStmtParam& p : params) {
    if (p.IsNull || p.Long()) continue;
    if (!p.Sized) {
      out.AppendBytes(p.Fixed, p.FixedLength);
      continue;
    }
    out.AppendFieldLength(p.Length);
    if (p.Blob) {
      p.Blob->Data()->ForEachChunk([&out](const std::uint8_t* data, std::int64_t count) {
        out.AppendBytes(data, static_cast<std::size_t>(count));
        return true;
      });
    } else {
      out.AppendBytes(p.Bytes(), static_cast<std::size_t>(p.Length));
    }
  }
}

// ---------------------------------------------------------------------------
// Binary values

namespace {

std::uint32_t Le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

char* PutDigits(char* d, std::uint64_t v, int width) noexcept {
  char tmp[24];
  int k = 0;
  do {
    tmp[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (k < width) tmp[k++] = '0';
  while (k) *d++ = tmp[--k];
  return d;
}

char* PutFraction(char* d, std::uint32_t micro, unsigned decimals) noexcept {
  unsigned digits = decimals <= 6 ? decimals : (micro ? 6 : 0);
  if (digits == 0) return d;
  *d++ = '.';
  char six[6];
  PutDigits(six, micro % 1000000, 6);
  for (unsigned i = 0; i < digits; ++i) *d++ = six[i];
  return d;
}

}  // namespace

bool DecodeBinaryDate(const std::uint8_t* p, std::size_t n, TMySqlBinaryMoment& m) noexcept {
  m = TMySqlBinaryMoment();
  if (n != 0 && n != 4 && n != 7 && n != 11) return false;
  if (n >= 4) {
    m.Year = p[0] | (p[1] << 8);
    m.Month = p[2];
    m.Day = p[3];
  }
  if (n >= 7) {
    m.Hour = p[4];
    m.Minute = p[5];
    m.Second = p[6];
  }
  if (n == 11) m.Micro = Le32(p + 7);
  return true;
}

bool DecodeBinaryTime(const std::uint8_t* p, std::size_t n, TMySqlBinaryMoment& m) noexcept {
  m = TMySqlBinaryMoment();
  if (n != 0 && n != 8 && n != 12) return false;
  if (n >= 8) {
    m.Negative = p[0] != 0;
    m.Days = Le32(p + 1);
    m.Hour = p[5];
    m.Minute = p[6];
    m.Second = p[7];
  }
  if (n == 12) m.Micro = Le32(p + 8);
  return true;
}

bool DecodeBinaryInteger(const std::uint8_t* p, std::size_t n, bool isUnsigned, bool& negative,
                         std::uint64_t& magnitude) noexcept {
  if (n != 1 && n != 2 && n != 4 && n != 8) return false;
  std::uint64_t raw = 0;
  for (std::size_t i = n; i-- > 0;) raw = (raw << 8) | p[i];
  negative = false;
  magnitude = raw;
  if (!isUnsigned && (raw >> (8 * n - 1)) & 1) {
    // Sign-extended: the magnitude of a negative value.
    const std::uint64_t extended = n == 8 ? raw : raw | (~std::uint64_t{0} << (8 * n));
    negative = true;
    magnitude = static_cast<std::uint64_t>(0) - extended;
  }
  return true;
}

int BinaryValueText(std::uint8_t type, bool isUnsigned, unsigned decimals, const std::uint8_t* p, std::size_t n,
                    char* out) noexcept {
  char* d = out;
  switch (type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG: {
      bool negative;
      std::uint64_t magnitude;
      if (n != BinaryValueSize(type) ||
          !DecodeBinaryInteger(p, n, isUnsigned || type == MYSQL_TYPE_YEAR, negative, magnitude))
        return -1;
      if (negative) *d++ = '-';
      d = PutDigits(d, magnitude, type == MYSQL_TYPE_YEAR ? 4 : 1);
      break;
    }
    case MYSQL_TYPE_FLOAT: {
      if (n != 4) return -1;
      float f;
      const std::uint32_t bits = Le32(p);
      std::memcpy(&f, &bits, 4);
      d = std::to_chars(out, out + BinaryTextSize, f).ptr;
      break;
    }
    case MYSQL_TYPE_DOUBLE: {
      if (n != 8) return -1;
      double v;
      const std::uint64_t bits = static_cast<std::uint64_t>(Le32(p)) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
      std::memcpy(&v, &bits, 8);
      d = std::to_chars(out, out + BinaryTextSize, v).ptr;
      break;
    }
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: {
      TMySqlBinaryMoment m;
      if (!DecodeBinaryDate(p, n, m)) return -1;
      d = PutDigits(d, static_cast<std::uint64_t>(m.Year), 4);
      *d++ = '-';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Month), 2);
      *d++ = '-';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Day), 2);
      if (type == MYSQL_TYPE_DATE || type == MYSQL_TYPE_NEWDATE) break;
      *d++ = ' ';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Hour), 2);
      *d++ = ':';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Minute), 2);
      *d++ = ':';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Second), 2);
      d = PutFraction(d, m.Micro, decimals);
      break;
    }
    case MYSQL_TYPE_TIME: {
      TMySqlBinaryMoment m;
      if (!DecodeBinaryTime(p, n, m)) return -1;
      if (m.Negative) *d++ = '-';
      d = PutDigits(d, std::uint64_t{m.Days} * 24 + static_cast<std::uint64_t>(m.Hour), 2);
      *d++ = ':';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Minute), 2);
      *d++ = ':';
      d = PutDigits(d, static_cast<std::uint64_t>(m.Second), 2);
      d = PutFraction(d, m.Micro, decimals);
      break;
    }
    default:
      return -1;
  }
  return static_cast<int>(d - out);
}

// ---------------------------------------------------------------------------
// TMySqlStmt

TMySqlStmt::TMySqlStmt(TMySqlSession& session) : fsession(&session) { session.AddStatement(this); }

TMySqlStmt::~TMySqlStmt() {
  try {
    Close();
  } catch (...) {
  }
  if (fsession) fsession->RemoveStatement(this);
}

TMySqlSession& TMySqlStmt::Live() const {
  if (!fsession || !fsession->Net().vio()) throw EMySqlException(cr::SERVER_GONE_ERROR);
  return *fsession;
}

void TMySqlStmt::Reset() noexcept {
  if (fresult) fresult->Detach();
  fresult.reset();
  fstate = psUnknown;
  fstmtId = 0;
  fparamCount = 0;
  ffieldCount = 0;
  ffields.clear();
  FSendedTypes.clear();
  FWire.clear();
  FPending = false;
}

void TMySqlStmt::Detach() noexcept {
  if (fresult) fresult->Detach();
  fsession = nullptr;
  Reset();
}

void TMySqlStmt::Prepare(const char* query, std::size_t length) {
  if (fstate != psUnknown || fresult || FPending) Close();
  FSendedTypes.clear();
  TMySqlSession& s = Live();
  s.FSkipPacket = false;
  {
    std::lock_guard<std::mutex> lock(s.QueryBufferCS());
    s.SimpleCommand(TServerCommand::scPrepare, query, length, true);
  }
  TMySqlNet& net = s.Net();
  net.Receive();  // an error reply raises the server's error
  TMySqlPrepareOk ok;
  try {
    ok = ParsePrepareOk(net.Payload(), net.PayloadLength());
  } catch (...) {
    // Without the counts the rest of the reply cannot be found.
    s.DropConnection();
    throw;
  }
  try {
    ReadDefinitions(ok);
  } catch (...) {
    // The server made the statement: it goes again (best effort).
    if (fsession == &s && s.Net().vio() && s.status == msReady) {
      try {
        std::uint8_t id[4];
        PutLe(id, ok.StmtId, 4);
        s.SimpleCommand(TServerCommand::scCloseStmt, id, sizeof id, true);
      } catch (const EMySqlException&) {
      }
    }
    throw;
  }
  fstmtId = ok.StmtId;
  fparamCount = ok.ParamCount;
  ffieldCount = ok.FieldCount;
  s.warningCount = ok.WarningCount;
  fstate = psPrepare;
}

void TMySqlStmt::ReadDefinitions(const TMySqlPrepareOk& ok) {
  TMySqlSession& s = *fsession;
  TMySqlNet& net = s.Net();
  const bool protocol41 = s.protocol41();
  const bool longFlag = static_cast<std::uint32_t>(s.serverCapabilities) & client::LONG_FLAG;
  int unreadEofs = (ok.ParamCount > 0 ? 1 : 0) + (ok.FieldCount > 0 ? 1 : 0);
  TMySqlFieldInfos fields;
  // Reads definitions up to their end; `each` takes every one.
  auto section = [&](std::size_t expected, auto&& each) {
    std::size_t count = 0;
    for (;;) {
      net.Receive();
      const std::uint8_t* p = net.Payload();
      const std::size_t n = net.PayloadLength();
      if (IsEofPacket(p, n)) {
        --unreadEofs;
        const TMySqlEofPacket eof = ParseEofPacket(p, n);
        if (eof.HasStatus) {
          s.warningCount = eof.WarningCount;
          s.serverStatus = eof.ServerStatus;
        }
        break;
      }
      if (++count > expected) RaiseMalformedPacket();
      each(p, n);
    }
    if (count != expected) RaiseMalformedPacket();
  };
  s.status = msGetResult;
  try {
    if (ok.ParamCount > 0) section(ok.ParamCount, [](const std::uint8_t*, std::size_t) {});
    if (ok.FieldCount > 0)
      section(ok.FieldCount, [&](const std::uint8_t* p, std::size_t n) {
        fields.push_back(ParseFieldInfo(p, n, protocol41, longFlag));
      });
  } catch (const EMySqlException& e) {
    s.RecoverFromReadError(e, unreadEofs);
    throw;
  } catch (...) {
    s.RecoverFromReadError(EMySqlException(cr::UNKNOWN_ERROR), unreadEofs);
    throw;
  }
  s.status = msReady;
  ffields = std::move(fields);
}

void TMySqlStmt::BindResult() {
  if (fstate == psUnknown) throw EMySqlException(cr::NO_PREPARE_STMT);
  if (ffieldCount == 0) throw EMySqlException(cr::UNKNOWN_ERROR);
}

void TMySqlStmt::Execute(std::span<TParamDesc* const> params, bool unicode, bool sendBlobCompressed) {
  Live();
  if (fstate == psUnknown) throw EMySqlException(cr::NO_PREPARE_STMT);
  if (params.size() != static_cast<std::size_t>(fparamCount)) throw EMySqlException(cr::NOT_ALL_PARAMS_BOUND);
  // The wire forms view the parameters' values and are used only within
  // this call; the next execution fills them again in place, so the steady
  // state allocates nothing for them.
  FWire.resize(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) SetStmtParamView(FWire[i], *params[i], unicode, sendBlobCompressed);
  Execute(FWire);
}

void TMySqlStmt::Execute(std::vector<TMySqlStmtParam>& params) {
  TMySqlSession& s = Live();
  if (fstate == psUnknown) throw EMySqlException(cr::NO_PREPARE_STMT);
  if (params.size() != static_cast<std::size_t>(fparamCount)) throw EMySqlException(cr::NOT_ALL_PARAMS_BOUND);
  if (FPending || fresult) FreeResult();
  // Every result of the execution is read here, the status packet that ends
  // a CALL included.
  s.FSkipPacket = false;
  try {
    {
      std::lock_guard<std::mutex> lock(s.QueryBufferCS());
      for (std::size_t i = 0; i < params.size(); ++i)
        if (params[i].Long()) SendLongData(static_cast<std::uint16_t>(i), params[i]);
      s.StartCommand(TServerCommand::scExecute);
      TMySqlByteBuffer& out = s.Net().WriteBuffer();
      AppendExecuteHead(out, fstmtId, params, FSendedTypes);
      AppendExecuteValues(out, params);
      s.Net().Send();
    }
    s.ReadQueryResult();
  } catch (const EMySqlException& e) {
    // A server that refused the execution may not have kept the types.
    FSendedTypes.clear();
    // A refused execution keeps its long data and its error on the server
    // until the statement is reset.
    const bool sentLong = std::any_of(params.begin(), params.end(), [](const TMySqlStmtParam& p) { return p.Long(); });
    if (sentLong && e.FromServer() && fsession == &s && s.Net().vio() && s.status == msReady) ResetOnServer();
    throw;
  } catch (...) {
    FSendedTypes.clear();
    throw;
  }
  TakeResult();
}

void TMySqlStmt::ResetOnServer() noexcept {
  try {
    std::uint8_t id[4];
    PutLe(id, fstmtId, 4);
    fsession->SimpleCommand(TServerCommand::scResetStmt, id, sizeof id, false);
  } catch (const EMySqlException&) {
    // The next execution reports what is wrong.
  }
}

void TMySqlStmt::SendLongChunk(std::uint16_t index, const void* data, std::size_t count) {
  TMySqlSession& s = *fsession;
  s.StartCommand(TServerCommand::scLongData);
  TMySqlNet& net = s.Net();
  net.WriteInt32(fstmtId);
  net.WriteInt16(index);
  net.WriteOrSendBytes(data, count);
  net.Send();
}

void TMySqlStmt::SendLongData(std::uint16_t index, const TMySqlStmtParam& param) {
  if (param.Blob) {
    param.Blob->Data()->ForEachChunk([&](const std::uint8_t* data, std::int64_t count) {
      SendLongChunk(index, data, static_cast<std::size_t>(count));
      return true;
    });
    return;
  }
  for (std::uint64_t off = 0; off < param.Length; off += LongDataChunk)
    SendLongChunk(index, param.Bytes() + off, static_cast<std::size_t>(std::min<std::uint64_t>(LongDataChunk, param.Length - off)));
}

void TMySqlStmt::TakeResult() {
  TMySqlSession& s = *fsession;
  faffectedRows = s.affectedRows;
  finsertId = s.insertId;
  fresult.reset();
  if (s.status == msGetResult && s.fieldCount > 0) {
    ffields = std::move(s.fields);
    ffieldCount = s.fieldCount;
    s.fields.clear();
    s.fieldCount = 0;
    fresult = std::make_unique<TMySqlResultSet>(&s, ffieldCount, ffields, true);
    s.status = msUseResult;
    s.SetResultSet(fresult.get());
  } else {
    // This execution (or this result of it) has no columns.
    ffieldCount = 0;
    ffields.clear();
  }
  FPending = fresult || (s.serverStatus & server::MORE_RESULTS_EXISTS);
  fstate = psExecute;
}

int TMySqlStmt::Fetch(TMySqlBinds*& row) {
  row = nullptr;
  Live();
  if (fstate == psUnknown) throw EMySqlException(cr::NO_PREPARE_STMT);
  if (!fresult) return NoData;
  try {
    if (fresult->Read(fresult->Bind())) {
      row = &fresult->Bind();
      return 0;
    }
  } catch (...) {
    // The result finished and the session is in step again.
    fresult.reset();
    FPending = fsession && (fsession->serverStatus & server::MORE_RESULTS_EXISTS);
    throw;
  }
  fresult.reset();
  FPending = fsession && (fsession->serverStatus & server::MORE_RESULTS_EXISTS);
  return NoData;
}

int TMySqlStmt::NextResult() {
  TMySqlSession& s = Live();
  try {
    if (fresult) {
      std::unique_ptr<TMySqlResultSet> r = std::move(fresult);
      r->Clear();
    }
    if (!FPending || s.status != msReady || !(s.serverStatus & server::MORE_RESULTS_EXISTS)) {
      FPending = false;
      return -1;
    }
    s.affectedRows = -1;
    s.ReadQueryResult();
  } catch (...) {
    FPending = false;
    throw;
  }
  TakeResult();
  return 0;
}

void TMySqlStmt::FreeResult() {
  if (!fsession) {
    Reset();
    return;
  }
  TMySqlSession& s = *fsession;
  try {
    if (fresult) {
      std::unique_ptr<TMySqlResultSet> r = std::move(fresult);
      r->Clear();  // skips the unread rows
    }
    while (FPending && fsession && s.status == msReady && (s.serverStatus & server::MORE_RESULTS_EXISTS) &&
           s.Net().vio()) {
      s.ReadQueryResult();
      if (s.status == msGetResult) {
        s.FreeQuery();
        s.fields.clear();
        s.fieldCount = 0;
      }
    }
  } catch (...) {
    FPending = false;
    throw;
  }
  FPending = false;
}

void TMySqlStmt::Close() {
  try {
    if (fsession) {
      try {
        FreeResult();
      } catch (const EMySqlException&) {
        // Whether the connection can still take the close is seen below.
      }
      if (fstate != psUnknown && fsession && fsession->Net().vio() && fsession->status == msReady) {
        std::uint8_t id[4];
        PutLe(id, fstmtId, 4);
        fsession->SimpleCommand(TServerCommand::scCloseStmt, id, sizeof id, true);
      }
    }
  } catch (...) {
    Reset();
    throw;
  }
  Reset();
}

}  // namespace lumo
