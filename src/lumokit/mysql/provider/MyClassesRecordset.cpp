#include <lumokit/mysql/provider/MyClassesRecordset.h>

#include <typeinfo>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MyParser.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlStmt.h>

namespace lumo {

std::int32_t SizeForFieldsWithZeroLength = 65530;
bool __Strings65535ToMemo = true;

namespace {

// MySQL type numbers used here.
enum : std::uint8_t {
  tDecimal = 0,
  tTiny = 1,
  tShort = 2,
  tLong = 3,
  tFloat = 4,
  tDouble = 5,
  tNull = 6,
  tTimestamp = 7,
  tLongLong = 8,
  tInt24 = 9,
  tDate = 10,
  tTime = 11,
  tDateTime = 12,
  tYear = 13,
  tNewDate = 14,
  tVarChar = 15,
  tBit = 16,
  tJson = 245,
  tNewDecimal = 246,
  tEnum = 247,
  tSet = 248,
  tTinyBlob = 249,
  tMediumBlob = 250,
  tLongBlob = 251,
  tBlob = 252,
  tVarString = 253,
  tString = 254,
  tGeometry = 255,
};

bool IsBlobColumn(std::uint8_t t) noexcept { return (t >= tTinyBlob && t <= tBlob) || t == tGeometry; }

// How a value of a binary row is taken into a field of a kind: straight
// from its binary form, by way of its text, or as it stands (values that a
// binary row holds as text).
enum : std::uint8_t { bwAsText, bwInteger, bwFloat, bwDate, bwTime, bwText };

// The zero-date sentinel of the literal writer (1 January 100), in micros.
std::int64_t ZeroDateMicros() { return DateTimeToMicros(ZeroDate); }

// Bytes of `text` that fit into `maxBytes` without cutting a UTF-8 sequence
// (when the cut falls inside one).
std::size_t FitUtf8(const char* text, std::size_t n, std::size_t maxBytes) noexcept {
  if (n <= maxBytes) return n;
  std::size_t k = maxBytes;
  // Step back over continuation bytes to the lead byte of the cut sequence.
  std::size_t back = 0;
  while (k > 0 && back < 4 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) {
    --k;
    ++back;
  }
  return back < 4 ? k : maxBytes;
}

std::string ShortText(const char* p, std::uint32_t n) {
  std::string s(p ? p : "", p ? std::min<std::uint32_t>(n, 64) : 0);
  if (n > 64) s += "...";
  return s;
}

// Decimal digits [p, p + count): false on anything else.
inline bool Digits(const char* p, int count, int& value) noexcept {
  int v = 0;
  for (int i = 0; i < count; ++i) {
    const unsigned d = static_cast<unsigned char>(p[i]) - '0';
    if (d > 9) return false;
    v = v * 10 + static_cast<int>(d);
  }
  value = v;
  return true;
}

// Fraction digits after a '.' as microseconds (up to 6 digits read, the
// rest ignored); false for a non-digit.
inline bool Micros(const char* p, std::size_t n, int& micros) noexcept {
  int v = 0, k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned d = static_cast<unsigned char>(p[i]) - '0';
    if (d > 9) return false;
    if (k < 6) {
      v = v * 10 + static_cast<int>(d);
      ++k;
    }
  }
  for (; k < 6; ++k) v *= 10;
  micros = v;
  return true;
}

// Whether a text has the form of a date or date-time ("YYYY-MM-DD",
// "YYYY-MM-DD hh:mm:ss", with an optional fraction): such a text that is no
// valid date (a zero date) reads as the zero date; anything else is junk.
bool DateShaped(const char* p, std::size_t n) noexcept {
  static constexpr char shape[] = "0000-00-00 00:00:00";
  if (n != 10 && n < 19) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const char want = i < 19 ? shape[i] : i == 19 ? '.' : '0';
    if (want == '0' ? (p[i] < '0' || p[i] > '9') : i == 10 ? (p[i] != ' ' && p[i] != 'T') : p[i] != want)
      return false;
  }
  return n <= 19 || n > 20;
}

// Date and time of day to micros; the time counts away from zero on days
// before 30 December 1899.
bool EncodeMoment(int y, int m, int d, int hh, int mi, int ss, int micro, std::int64_t& micros) noexcept {
  return TryEncodeMicros({y, m, d, hh, mi, ss, micro}, micros);
}

}  // namespace

int MySQLCharsetMaxBytes(std::uint32_t nr) noexcept {
  // Collations above 1024 are the pad-less twins of nr - 1024.
  if (nr >= 1024 && nr < 2048) nr -= 1024;
  if (nr == MyBinaryCharsetNr) return 1;
  if (nr == 33 || nr == 76 || nr == 83 || (nr >= 192 && nr <= 215) || nr == 223 || (nr >= 576 && nr <= 578))
    return 3;
  if (nr == 45 || nr == 46 || (nr >= 224 && nr <= 247) || (nr >= 255 && nr <= 323) || (nr >= 608 && nr <= 610) ||
      (nr >= 672 && nr <= 674) || (nr >= 736 && nr <= 738))
    return 4;
  return 0;
}

// ---- TMySQLFieldDesc ----------------------------------------------------------------------

void TMySQLFieldDesc::Assign(const TFieldDesc& source) {
  TKxFieldDesc::Assign(source);
  if (auto* my = dynamic_cast<const TMySQLFieldDesc*>(&source)) {
    FMySQLType = my->FMySQLType;
    FIsUnsigned = my->FIsUnsigned;
    FIsPrimaryKey = my->FIsPrimaryKey;
    FIsUniqueKey = my->FIsUniqueKey;
    FIsBinary = my->FIsBinary;
    FIsCurrentTimestamp = my->FIsCurrentTimestamp;
    FIgnoreRangeErrors = my->FIgnoreRangeErrors;
    FLengthInBytes = my->FLengthInBytes;
    FCharsetNr = my->FCharsetNr;
  }
}

// ---- column mapping ----------------------------------------------------------------------------

void ConvertMySQLTypeToInternalFormat(std::uint8_t MySQLType, std::uint32_t FieldLengthInBytes,
                                      std::uint32_t Decimals, bool IsBinary, bool IsUnsigned, bool EnableBoolean,
                                      bool OptimizedBigInt, bool BinaryAsString, bool Unicode, bool EnableBCD,
                                      bool EnableFMTBCD, bool CheckPrecision, std::uint32_t CharsetNr,
                                      std::uint16_t& InternalType, bool& Fixed) {
  const std::uint64_t length = FieldLengthInBytes;
  const bool binaryCharset = CharsetNr == MyBinaryCharsetNr;
  // Before protocol 4.1 no character set is sent: the flag alone decides.
  const bool binaryData = IsBinary && (binaryCharset || CharsetNr == 0);
  Fixed = MySQLType == tString;
  std::uint16_t t = dtUnknown;
  switch (MySQLType) {
    case tDecimal:
    case tNewDecimal:
      if (!CheckPrecision) {
        t = EnableFMTBCD ? dtFMTBCD : EnableBCD ? dtBCD : dtFloat;
      } else {
        const std::int64_t precision =
            static_cast<std::int64_t>(length) - 1 - (Decimals > 0 ? 1 : 0);
        if (EnableBCD && precision <= 14 && Decimals <= 4)
          t = dtBCD;
        else
          t = EnableFMTBCD ? dtFMTBCD : dtFloat;
      }
      break;
    case tTiny:
      t = length == 1 && EnableBoolean ? dtBoolean : IsUnsigned ? dtUInt8 : dtInt8;
      break;
    case tShort:
      t = IsUnsigned ? dtUInt16 : dtInt16;
      break;
    case tLong:
      t = IsUnsigned ? dtUInt32 : dtInt32;
      break;
    case tFloat:
    case tDouble:
      t = dtFloat;
      break;
    case tNull:
      t = dtString;
      break;
    case tTimestamp:
    case tDateTime:
      t = dtDateTime;
      break;
    case tLongLong:
      // Unsigned values above 2^63-1 need the unsigned type.
      t = length < 12 && OptimizedBigInt ? dtInt32 : IsUnsigned ? dtUInt64 : dtInt64;
      break;
    case tInt24:
      t = dtInt32;
      break;
    case tDate:
    case tNewDate:
      t = dtDate;
      break;
    case tTime:
      t = dtTime;
      break;
    case tYear:
      t = dtUInt16;
      break;
    case tVarChar:
    case tVarString:
      t = IsBinary && binaryCharset && !BinaryAsString ? dtVarBytes : dtString;
      break;
    case tBit:
      t = length < 32 && OptimizedBigInt ? dtInt32 : dtInt64;
      break;
    case tEnum:
    case tSet:
      t = dtString;
      break;
    case tString:
      t = IsBinary && binaryCharset && !BinaryAsString ? dtBytes : dtString;
      break;
    case tJson:
      t = dtMemo;
      break;
    case tTinyBlob:
    case tMediumBlob:
    case tLongBlob:
    case tBlob:
    case tGeometry:
      t = binaryData ? dtBlob : dtMemo;
      break;
    default:
      throw Exception(Format("Unknown MySQL datatype (%d)", {static_cast<int>(MySQLType)}));
  }
  // Binary strings read as text keep their bytes: decoding them as UTF-8
  // would replace what is not UTF-8.
  const bool binaryString =
      IsBinary && binaryCharset && (MySQLType == tVarChar || MySQLType == tVarString || MySQLType == tString);
  if (Unicode && !binaryString) {
    if (t == dtString)
      t = dtWideString;
    else if (t == dtMemo)
      t = dtWideMemo;
  }
  InternalType = t;
}

std::uint32_t GetFieldLengthInChars(const TMYSQL_FIELD& column, const TMyColumnOptions& options) {
  const auto bytes = static_cast<std::uint32_t>(column.LengthInBytes);
  if (!options.UseUnicode || options.ShowStatement) return bytes;
  const std::uint8_t t = column.MyType;
  if (!(t == tNull || t == tVarChar || t >= tEnum)) return bytes;
  if (column.CharsetNr == MyBinaryCharsetNr) return bytes;
  if (column.OrgTable.empty() && column.Table.empty() && bytes == 1023) return bytes;
  int maxBytes = MySQLCharsetMaxBytes(column.CharsetNr);
  if (maxBytes <= 0) maxBytes = std::max(1, options.DefaultCharsetMaxBytes);
  return bytes / static_cast<std::uint32_t>(maxBytes);
}

void DescribeMySQLColumn(const TMYSQL_FIELD& column, std::uint32_t lengthInChars, const TMyColumnOptions& o,
                         std::uint16_t fetchInternalType, TMySQLFieldDesc& d) {
  const auto bytes = static_cast<std::uint32_t>(column.LengthInBytes);
  const std::uint8_t myType = column.MyType;
  const std::uint32_t flags = column.Flags;
  const bool isBinary = flags & my_flag::Binary;
  const bool isUnsigned = flags & my_flag::Unsigned;
  const auto len = static_cast<std::uint16_t>(std::min<std::uint32_t>(lengthInChars, 65535));

  d.SetName(o.UseUnicode ? Utf8ToAnsi(column.Name) : column.Name);
  d.SetActualName(o.UseUnicode ? Utf8ToAnsi(column.OrgName) : column.OrgName);
  d.SetMySQLType(myType);
  d.SetLengthInBytes(bytes);
  d.SetCharsetNr(column.CharsetNr);
  d.SetDBType(TMyConverterManager::GetDBType(myType, static_cast<std::int64_t>(bytes),
                                             static_cast<int>(column.CharsetNr), flags));
  const bool decimalType = myType == tDecimal || myType == tNewDecimal;
  d.SetDBLength(static_cast<std::int32_t>(len) - (decimalType && column.Decimals == 0 && len > 0 ? 1 : 0));
  d.SetDBScale(static_cast<std::int32_t>(std::min<std::uint32_t>(column.Decimals, 65535)));

  std::uint16_t type = dtUnknown;
  bool fixed = myType == tString;
  if (fetchInternalType != dtUnknown) {
    type = fetchInternalType;
  } else if (o.FieldsAsString && !IsBlobColumn(myType)) {
    type = dtString;
  } else {
    ConvertMySQLTypeToInternalFormat(myType, bytes, column.Decimals, isBinary, isUnsigned, o.EnableBoolean,
                                     o.OptimizedBigInt, o.BinaryAsString, o.UseUnicode, o.EnableBCD,
                                     o.EnableFMTBCD, o.CheckPrecision, column.CharsetNr, type, fixed);
    if (myType == tVarString && bytes == 65535 && column.Table.empty() && __Strings65535ToMemo)
      type = isBinary && column.CharsetNr == MyBinaryCharsetNr ? dtBlob : o.UseUnicode ? dtWideMemo : dtMemo;
    if (!o.LongStrings && len > 256) {
      if (type == dtString) type = dtMemo;
      if (type == dtWideString) type = dtWideMemo;
    }
  }
  // Inline slots only with flat buffers (or short values) and a known length.
  if (!((o.FlatBuffers || len < 32) && len != 0)) {
    if (type == dtString) type = dtExtString;
    if (type == dtBytes || type == dtVarBytes) type = dtExtVarBytes;
    if (type == dtWideString) type = dtExtWideString;
  }
  d.SetDataType(type);
  d.SetFixed(fixed);

  d.SetIsUnsigned(isUnsigned);
  d.SetReadOnly(myType == tNull);
  const bool autoInc = flags & my_flag::AutoIncrement;
  d.SetIsAutoIncrement(autoInc);
  d.SetRequired((flags & my_flag::NotNull) && !autoInc && myType != tTimestamp);
  d.SetIsBinary(isBinary);
  d.SetIsKey(flags & (my_flag::PriKey | my_flag::UniqueKey | my_flag::MultipleKey | my_flag::PartKey));
  d.SetIsPrimaryKey(flags & my_flag::PriKey);
  d.SetIsUniqueKey(flags & my_flag::UniqueKey);
  d.SetIsCurrentTimestamp(flags & my_flag::Timestamp);

  // 8-bit text and bytes are measured in bytes: with UseUnicode a text
  // column's bytes may exceed its characters.
  std::uint16_t byteLen = len;
  if (o.UseUnicode) byteLen = static_cast<std::uint16_t>(std::max<std::uint32_t>(len, std::min<std::uint32_t>(bytes, 65535)));
  // Read as text, a double may need 24 characters
  // ("-2.2250738585072014e-308"), more than its display length of 22.
  if (type == dtString && (myType == tFloat || myType == tDouble)) byteLen = std::max<std::uint16_t>(byteLen, 24);
  const auto scale = static_cast<std::uint16_t>(std::min<std::uint32_t>(column.Decimals, 65535));
  std::int64_t size = 0;
  switch (type) {
    case dtString:
    case dtBytes:
      d.SetLength(byteLen);
      size = std::int64_t{byteLen} + 1;
      break;
    case dtInt8:
    case dtInt16:
    case dtUInt16:
    case dtBoolean:
    case dtUInt8:
      size = 2;
      break;
    case dtFloat:
    case dtBCD:
      d.SetLength(len);
      d.SetScale(scale);
      size = 8;
      break;
    case dtDate:
    case dtTime:
    case dtDateTime:
      d.SetLength(len);
      size = 8;
      break;
    case dtInt64:
    case dtUInt64:
      size = 8;
      break;
    case dtExtString:
    case dtExtWideString: {
      const std::uint16_t l = type == dtExtString ? byteLen : len;
      d.SetLength(l == 0 && myType != tNull ? static_cast<std::uint16_t>(SizeForFieldsWithZeroLength) : l);
      size = SizeOfHandle;
      break;
    }
    case dtVarBytes:
      d.SetLength(byteLen);
      size = std::int64_t{byteLen} + 2;
      break;
    case dtExtVarBytes:
      d.SetLength(byteLen);
      size = SizeOfHandle;
      break;
    case dtWideString: {
      d.SetLength(len);
      // Room for surrogate pairs when a character may take four bytes.
      int maxBytes = MySQLCharsetMaxBytes(column.CharsetNr);
      if (maxBytes <= 0) maxBytes = o.DefaultCharsetMaxBytes;
      const std::int64_t units = maxBytes >= 4 ? 2 * std::int64_t{len} : len;
      size = 2 * units + 2;
      break;
    }
    case dtFMTBCD:
      d.SetLength(len);
      d.SetScale(scale);
      size = std::max<std::int64_t>(std::int64_t{len} + 1, SizeOfTBcd);
      break;
    default:  // dtInt32, dtUInt32, blob and memo types
      size = type == dtInt32 || type == dtUInt32 ? 4 : SizeOfHandle;
      break;
  }
  d.SetSize(static_cast<std::int32_t>(size));
}

// ---- TMyRowConverter ----------------------------------------------------------------------------

std::uint8_t TMyRowConverter::BinaryWay(std::uint8_t wireType, TKind kind) noexcept {
  switch (wireType) {
    case tTiny:
    case tShort:
    case tYear:
    case tInt24:
    case tLong:
    case tLongLong:
      return kind == ckSigned || kind == ckUnsigned || kind == ckBoolean || kind == ckFloat ? bwInteger : bwText;
    case tFloat:
    case tDouble:
      return kind == ckFloat ? bwFloat : bwText;
    case tDate:
    case tNewDate:
    case tDateTime:
    case tTimestamp:
      return kind == ckDateTime || kind == ckTimestamp ? bwDate : bwText;
    case tTime:
      return kind == ckTime ? bwTime : bwText;
    default:
      return bwAsText;
  }
}

void TMyRowConverter::Prepare(TData& data, const TOptions& options) {
  FData = &data;
  FOptions = options;
  FDataSize = data.DataSize();
  FPlans.assign(static_cast<std::size_t>(data.FieldCount()), TPlan{});
  for (int i = 0; i < data.FieldCount(); ++i) {
    TPlan& p = FPlans[static_cast<std::size_t>(i)];
    auto* f = dynamic_cast<TMySQLFieldDesc*>(data.Fields()[i]);
    if (!f || f->HasParent() || f->FieldDescKind() == fdkCalculated) continue;
    p.Field = f;
    p.Column = f->ActualFieldNo();
    p.Offset = f->Offset();
    p.Size = f->Size();
    p.DataType = f->DataType();
    p.Length = f->Length();
    p.Scale = f->Scale();
    p.BitSource = f->MySQLType() == tBit;
    switch (p.DataType) {
      case dtInt8: p.Kind = ckSigned; p.Width = 1; break;
      case dtInt16: p.Kind = ckSigned; p.Width = 2; break;
      case dtInt32: p.Kind = ckSigned; p.Width = 4; break;
      case dtInt64: p.Kind = ckSigned; p.Width = 8; break;
      case dtUInt8: p.Kind = ckUnsigned; p.Width = 1; break;
      case dtUInt16: p.Kind = ckUnsigned; p.Width = 2; break;
      case dtUInt32: p.Kind = ckUnsigned; p.Width = 4; break;
      case dtUInt64: p.Kind = ckUnsigned; p.Width = 8; break;
      case dtBoolean: p.Kind = ckBoolean; break;
      case dtFloat: p.Kind = ckFloat; break;
      case dtBCD: p.Kind = ckBCD; break;
      case dtFMTBCD: {
        p.Kind = ckFMTBCD;
        // Precision of the column: its display length less point and sign.
        int precision = static_cast<int>(f->Length()) - (f->Scale() > 0 ? 1 : 0) - (f->IsUnsigned() ? 0 : 1);
        precision = std::clamp(precision, 1, MaxFMTBcdDigits);
        p.Length = static_cast<std::uint16_t>(precision);
        p.Scale = static_cast<std::uint16_t>(std::min<int>({f->Scale(), precision, MaxFMTBcdScale}));
        break;
      }
      case dtDate:
      case dtDateTime:
        p.Kind = f->MySQLType() == tTimestamp ? ckTimestamp : f->MySQLType() == tTime ? ckTime : ckDateTime;
        break;
      case dtTime:
        p.Kind = f->MySQLType() == tTime ? ckTime : ckDateTime;
        break;
      case dtString: p.Kind = ckString; break;
      case dtWideString: p.Kind = ckWideString; break;
      case dtExtString: p.Kind = ckExtString; break;
      case dtExtWideString: p.Kind = ckExtWideString; break;
      case dtBytes: p.Kind = ckBytes; break;
      case dtVarBytes: p.Kind = ckVarBytes; break;
      case dtExtVarBytes: p.Kind = ckExtVarBytes; break;
      case dtBlob:
      case dtMemo:
      case dtWideMemo:
        p.Kind = ckBlob;
        p.UnicodeBlob = p.DataType == dtWideMemo || (p.DataType == dtMemo && options.UseUnicode);
        break;
      default: p.Kind = ckNone; break;
    }
    p.WireType = f->MySQLType();
    p.WireUnsigned = f->IsUnsigned() || p.WireType == tYear;
    p.Decimals = static_cast<std::uint8_t>(std::clamp(f->DBScale(), 0, 31));
    p.Binary = BinaryWay(p.WireType, p.Kind);
  }
}

void TMyRowConverter::ConvertRow(void* recBuf, const TMyRowValue* values) {
  auto* rec = static_cast<std::uint8_t*>(recBuf);
  std::uint8_t* nulls = rec + FDataSize;
  const std::size_t count = FPlans.size();
  for (std::size_t i = 0; i < count; ++i) {
    const TPlan& plan = FPlans[i];
    if (plan.Kind == ckNone) continue;
    const TMyRowValue& v = values[plan.Column];
    if (v.IsNull) {
      nulls[i] = 1;
      continue;
    }
    nulls[i] = 0;
    if (FOptions.Binary)
      ConvertBinaryValue(plan, rec, v.Data ? v.Data : "", v.Data ? v.Length : 0, nulls[i]);
    else
      ConvertValue(plan, rec, v.Data ? v.Data : "", v.Data ? v.Length : 0, nulls[i]);
  }
}

void TMyRowConverter::ConvertBinaryValue(const TPlan& plan, std::uint8_t* rec, const char* p, std::uint32_t n,
                                         std::uint8_t& isNull) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(p);
  std::uint8_t* slot = rec + plan.Offset;
  switch (plan.Binary) {
    case bwInteger: {
      bool negative = false;
      std::uint64_t magnitude = 0;
      if (n != BinaryValueSize(plan.WireType) || !DecodeBinaryInteger(b, n, plan.WireUnsigned, negative, magnitude))
        throw EMyError(2027, "Malformed packet");
      if (plan.Kind == ckBoolean) {
        const std::int16_t w = magnitude != 0 ? -1 : 0;
        std::memcpy(slot, &w, 2);
      } else if (plan.Kind == ckFloat) {
        const double v = negative ? -static_cast<double>(magnitude) : static_cast<double>(magnitude);
        std::memcpy(slot, &v, 8);
      } else {
        PutInteger(plan, slot, negative, magnitude, nullptr, 0);
      }
      return;
    }
    case bwFloat: {
      char text[BinaryTextSize];
      double v = 0;
      if (plan.WireType == tDouble && n == 8) {
        std::uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
        std::memcpy(&v, &bits, 8);
      } else {
        // A FLOAT as the shortest decimal that reads back to the same float.
        const int len = BinaryValueText(plan.WireType, false, 0, b, n, text);
        if (len < 0) throw EMyError(2027, "Malformed packet");
        std::from_chars(text, text + len, v);
      }
      std::memcpy(slot, &v, 8);
      return;
    }
    case bwDate: {
      TMySqlBinaryMoment m;
      if (!DecodeBinaryDate(b, n, m)) throw EMyError(2027, "Malformed packet");
      std::int64_t v = 0;
      const bool valid = n > 0 && m.Micro < USecsPerSec &&
                         EncodeMoment(m.Year, m.Month, m.Day, m.Hour, m.Minute, m.Second, static_cast<int>(m.Micro), v);
      if (!PutDate(plan, slot, valid, v)) {
        isNull = 1;
        return;
      }
      if (valid && plan.Kind == ckTimestamp && OnTimestamp) OnTimestamp(*plan.Field, MicrosToDateTime(v));
      return;
    }
    case bwTime: {
      TMySqlBinaryMoment m;
      if (!DecodeBinaryTime(b, n, m)) throw EMyError(2027, "Malformed packet");
      // Days beyond the range of a TIME would overflow the count.
      if (m.Days > 34 || m.Micro >= USecsPerSec) throw EMyError(2027, "Malformed packet");
      const std::int64_t micros =
          (((std::int64_t{m.Days} * 24 + m.Hour) * 60 + m.Minute) * 60 + m.Second) * USecsPerSec + m.Micro;
      if (micros > MaxTimeSpanMicros) throw EMyError(2027, "Malformed packet");
      const std::int64_t v = m.Negative ? -micros : micros;
      std::memcpy(slot, &v, sizeof v);
      return;
    }
    case bwText: {
      char text[BinaryTextSize];
      const int len = BinaryValueText(plan.WireType, plan.WireUnsigned, plan.Decimals, b, n, text);
      if (len < 0) throw EMyError(2027, "Malformed packet");
      ConvertValue(plan, rec, text, static_cast<std::uint32_t>(len), isNull);
      return;
    }
    default:
      ConvertValue(plan, rec, p, n, isNull);
      return;
  }
}

void TMyRowConverter::RangeError(const TPlan& plan, const char* p, std::uint32_t n) {
  throw EConvertError("Field: " + plan.Field->Name() + "\r\n" +
                      Format("Value is out of range: %s", {ShortText(p, n)}));
}

void TMyRowConverter::ValueError(const TPlan& plan, const char* p, std::uint32_t n) {
  throw EConvertError(Format("Invalid value of field %s: '%s'", {plan.Field->Name(), ShortText(p, n)}));
}

void TMyRowConverter::PutInteger(const TPlan& plan, std::uint8_t* slot, bool negative, std::uint64_t magnitude,
                                 const char* p, std::uint32_t n) {
  // A value from a binary row has no text: it is written for the message.
  auto fail = [&] {
    if (p) RangeError(plan, p, n);
    char text[24];
    char* d = text;
    if (negative) *d++ = '-';
    d = std::to_chars(d, text + sizeof text, magnitude).ptr;
    RangeError(plan, text, static_cast<std::uint32_t>(d - text));
  };
  const unsigned bits = plan.Width * 8u;
  if (plan.Kind == ckUnsigned) {
    const std::uint64_t max = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    std::uint64_t v = magnitude;
    if (negative && magnitude != 0) {
      if (!plan.Field->IgnoreRangeErrors()) fail();
      v = 0;
    } else if (v > max) {
      if (!plan.Field->IgnoreRangeErrors()) fail();
      v = max;
    }
    switch (plan.Width) {
      case 1: { const auto x = static_cast<std::uint8_t>(v); std::memcpy(slot, &x, 1); break; }
      case 2: { const auto x = static_cast<std::uint16_t>(v); std::memcpy(slot, &x, 2); break; }
      case 4: { const auto x = static_cast<std::uint32_t>(v); std::memcpy(slot, &x, 4); break; }
      default: std::memcpy(slot, &v, 8); break;
    }
    return;
  }
  const std::uint64_t maxPos = (std::uint64_t{1} << (bits - 1)) - 1;
  std::int64_t v;
  if (!negative) {
    if (magnitude > maxPos) {
      if (!plan.Field->IgnoreRangeErrors()) fail();
      magnitude = maxPos;
    }
    v = static_cast<std::int64_t>(magnitude);
  } else {
    if (magnitude > maxPos + 1) {
      if (!plan.Field->IgnoreRangeErrors()) fail();
      magnitude = maxPos + 1;
    }
    v = magnitude == maxPos + 1 ? (bits == 64 ? std::numeric_limits<std::int64_t>::min()
                                              : -static_cast<std::int64_t>(magnitude))
                                : -static_cast<std::int64_t>(magnitude);
  }
  switch (plan.Width) {
    case 1: { const auto x = static_cast<std::int8_t>(v); std::memcpy(slot, &x, 1); break; }
    case 2: { const auto x = static_cast<std::int16_t>(v); std::memcpy(slot, &x, 2); break; }
    case 4: { const auto x = static_cast<std::int32_t>(v); std::memcpy(slot, &x, 4); break; }
    default: std::memcpy(slot, &v, 8); break;
  }
}

bool TMyRowConverter::PutDate(const TPlan& plan, std::uint8_t* slot, bool valid, std::int64_t micros) {
  if (!valid) {
    if (FOptions.NullForZeroDate) return false;
    micros = ZeroDateMicros();
  } else if (micros == 0 && FOptions.NullForZeroOrvoDate && plan.Kind != ckTime) {
    return false;
  }
  std::memcpy(slot, &micros, sizeof micros);
  return true;
}

bool TMyRowConverter::ParseDateTime(const char* p, std::size_t n, std::int64_t& value) {
  int y, m, d, hh = 0, mi = 0, ss = 0, us = 0;
  if (n < 10 || p[4] != '-' || p[7] != '-' || !Digits(p, 4, y) || !Digits(p + 5, 2, m) || !Digits(p + 8, 2, d))
    return false;
  if (n > 10) {
    if (n < 19 || (p[10] != ' ' && p[10] != 'T') || p[13] != ':' || p[16] != ':' || !Digits(p + 11, 2, hh) ||
        !Digits(p + 14, 2, mi) || !Digits(p + 17, 2, ss))
      return false;
    if (n > 19 && (p[19] != '.' || !Micros(p + 20, n - 20, us))) return false;
  }
  return EncodeMoment(y, m, d, hh, mi, ss, us, value);
}

bool TMyRowConverter::ParseTime(const char* p, std::size_t n, std::int64_t& value) {
  std::size_t i = 0;
  const bool negative = n > 0 && p[0] == '-';
  if (negative) ++i;
  std::int64_t hours = 0;
  const std::size_t start = i;
  while (i < n && i < 5 && p[i] >= '0' && p[i] <= '9') hours = hours * 10 + (p[i++] - '0');
  int mi, ss, us = 0;
  if (i == start || i >= n || p[i] != ':' || i + 6 > n || p[i + 3] != ':' || !Digits(p + i + 1, 2, mi) ||
      !Digits(p + i + 4, 2, ss) || mi > 59 || ss > 59)
    return false;
  i += 6;
  if (i < n && (p[i] != '.' || !Micros(p + i + 1, n - i - 1, us))) return false;
  const std::int64_t micros = (hours * 3600 + mi * 60 + ss) * USecsPerSec + us;
  if (micros > MaxTimeSpanMicros) return false;
  value = negative ? -micros : micros;
  return true;
}

// Stores a new string-heap buffer in a slot and disposes of the one the slot
// held.
void TMyRowConverter::SetHeapBuf(std::uint8_t* slot, void* buf) {
  void* old = nullptr;
  std::memcpy(&old, slot, sizeof old);
  FData->StringHeap().DisposeBuf(old);
  std::memcpy(slot, &buf, sizeof buf);
}

void TMyRowConverter::ConvertValue(const TPlan& plan, std::uint8_t* rec, const char* p, std::uint32_t n,
                                   std::uint8_t& isNull) {
  std::uint8_t* slot = rec + plan.Offset;
  switch (plan.Kind) {
    case ckSigned:
    case ckUnsigned:
    case ckBoolean:
      ConvertInteger(plan, slot, p, n);
      return;
    case ckFloat:
    case ckBCD:
    case ckFMTBCD:
      ConvertNumber(plan, slot, p, n);
      return;
    case ckDateTime:
    case ckTimestamp:
    case ckTime:
      ConvertDateTime(plan, slot, p, n, isNull);
      return;
    case ckString:
    case ckWideString:
    case ckExtString:
    case ckExtWideString:
      ConvertText(plan, slot, p, n);
      return;
    case ckBytes:
    case ckVarBytes:
    case ckExtVarBytes:
      ConvertBytes(plan, slot, p, n);
      return;
    case ckBlob:
      ConvertBlob(plan, slot, p, n, isNull);
      return;
    case ckNone:
      return;
  }
}

// Integers and booleans: decimal text, or the big-endian bytes of a BIT
// column.
void TMyRowConverter::ConvertInteger(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n) {
  if (plan.Kind == ckBoolean) {
    bool value = false;
    if (plan.BitSource) {
      value = n > 0 && p[n - 1] != 0;
    } else {
      std::uint32_t k = n > 0 && (p[0] == '-' || p[0] == '+') ? 1 : 0;
      if (k == n) ValueError(plan, p, n);
      for (; k < n; ++k) {
        if (p[k] < '0' || p[k] > '9') ValueError(plan, p, n);
        if (p[k] != '0') value = true;
      }
    }
    const std::int16_t w = value ? -1 : 0;
    std::memcpy(slot, &w, 2);
    return;
  }
  if (plan.BitSource) {
    // Big-endian bytes of at most 64 bits; set bits beyond them do not fit
    // any integer slot.
    const std::uint32_t skip = n > 8 ? n - 8 : 0;
    for (std::uint32_t k = 0; k < skip; ++k)
      if (p[k] != 0) RangeError(plan, p, n);
    std::uint64_t v = 0;
    for (std::uint32_t k = skip; k < n; ++k) v = (v << 8) | static_cast<unsigned char>(p[k]);
    if (plan.Width == 8) {
      std::memcpy(slot, &v, 8);  // the bit pattern, whatever the sign
      return;
    }
    PutInteger(plan, slot, false, v, p, n);
    return;
  }
  std::uint32_t k = 0;
  bool negative = false;
  if (n > 0 && (p[0] == '-' || p[0] == '+')) {
    negative = p[0] == '-';
    k = 1;
  }
  if (k == n) ValueError(plan, p, n);
  std::uint64_t mag = 0;
  for (; k < n; ++k) {
    const unsigned d = static_cast<unsigned char>(p[k]) - '0';
    if (d > 9) ValueError(plan, p, n);
    if (mag > (~std::uint64_t{0} - d) / 10) RangeError(plan, p, n);
    mag = mag * 10 + d;
  }
  PutInteger(plan, slot, negative, mag, p, n);
}

// Floats, currency (dtBCD) and packed decimals (dtFMTBCD).
void TMyRowConverter::ConvertNumber(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n) {
  switch (plan.Kind) {
    case ckFloat: {
      double v = 0;
      const char* b = p;
      if (n > 0 && *b == '+') ++b;
      const auto r = std::from_chars(b, p + n, v);
      if (r.ec == std::errc::result_out_of_range) {
        // Below the smallest subnormal reads as zero; beyond the largest
        // double it does not fit.
        v = std::strtod(std::string(p, n).c_str(), nullptr);
        if (std::isinf(v)) RangeError(plan, p, n);
      } else if (r.ec != std::errc() || r.ptr != p + n) {
        ValueError(plan, p, n);
      }
      std::memcpy(slot, &v, 8);
      return;
    }
    case ckBCD: {
      const std::int64_t v = ParseCurrency(plan, p, n);
      std::memcpy(slot, &v, 8);
      return;
    }
    default: {
      TBcd bcd{};
      if (!TryStrToBcd(std::string_view(p, n), bcd, InvariantFormatSettings())) ValueError(plan, p, n);
      TBcd normal{};
      if (NormalizeBcd(bcd, normal, plan.Length, plan.Scale)) bcd = normal;
      std::memcpy(slot, &bcd, sizeof bcd);
      return;
    }
  }
}

// A decimal text as a currency value (value x 10 000), fraction digits past
// the fourth rounded half away from zero.
std::int64_t TMyRowConverter::ParseCurrency(const TPlan& plan, const char* p, std::uint32_t n) {
  std::uint32_t k = 0;
  bool negative = false;
  if (n > 0 && (p[0] == '-' || p[0] == '+')) {
    negative = p[0] == '-';
    k = 1;
  }
  std::uint64_t mag = 0;
  int fracDigits = -1;
  bool roundUp = false, any = false;
  for (; k < n; ++k) {
    const char c = p[k];
    if (c == '.' && fracDigits < 0) {
      fracDigits = 0;
      continue;
    }
    const unsigned d = static_cast<unsigned char>(c) - '0';
    if (d > 9) ValueError(plan, p, n);
    any = true;
    if (fracDigits >= 4) {
      if (fracDigits == 4) roundUp = d >= 5;
      ++fracDigits;
      continue;
    }
    if (mag > (~std::uint64_t{0} - d) / 10) RangeError(plan, p, n);
    mag = mag * 10 + d;
    if (fracDigits >= 0) ++fracDigits;
  }
  if (!any) ValueError(plan, p, n);
  for (int f = std::max(fracDigits, 0); f < 4; ++f) {
    if (mag > ~std::uint64_t{0} / 10) RangeError(plan, p, n);
    mag *= 10;
  }
  if (roundUp) ++mag;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  if (mag > limit) RangeError(plan, p, n);
  return negative ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
}

// Dates, date-times, TIMESTAMP values (also in the digit forms of old
// servers) and TIME values.
void TMyRowConverter::ConvertDateTime(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n,
                                      std::uint8_t& isNull) {
  std::int64_t v = 0;
  switch (plan.Kind) {
    case ckTime:
      if (!ParseTime(p, n, v))
        throw Exception(Format("Wrong time format. Field %s, value %s", {plan.Field->Name(), ShortText(p, n)}));
      std::memcpy(slot, &v, sizeof v);
      return;
    case ckTimestamp: {
      bool valid;
      if (n >= 10 && p[4] == '-') {
        valid = ParseDateTime(p, n, v);
        if (!valid && !DateShaped(p, n)) ValueError(plan, p, n);
      } else {
        valid = ParseTimestampDigits(plan, p, n, v);
      }
      if (!PutDate(plan, slot, valid, v)) {
        isNull = 1;
        return;
      }
      if (valid && OnTimestamp) OnTimestamp(*plan.Field, MicrosToDateTime(v));
      return;
    }
    default: {
      const bool valid = ParseDateTime(p, n, v);
      if (!valid && !DateShaped(p, n)) ValueError(plan, p, n);
      if (!PutDate(plan, slot, valid, v)) isNull = 1;
      return;
    }
  }
}

// The digit forms of a TIMESTAMP, by its display length (old servers).
bool TMyRowConverter::ParseTimestampDigits(const TPlan& plan, const char* p, std::uint32_t n, std::int64_t& v) {
  int y = 0, m = 1, d = 1, hh = 0, mi = 0, ss = 0;
  bool ok = true;
  auto two = [&](std::size_t at, int& out) { ok = ok && at + 2 <= n && Digits(p + at, 2, out); };
  auto year2 = [&](std::size_t at) {
    two(at, y);
    y += y < 70 ? 2000 : 1900;
  };
  switch (plan.Field->LengthInBytes()) {
    case 2: year2(0); break;
    case 4: year2(0); two(2, m); break;
    case 6: year2(0); two(2, m); two(4, d); break;
    case 8: ok = n >= 4 && Digits(p, 4, y); two(4, m); two(6, d); break;
    case 10: year2(0); two(2, m); two(4, d); two(6, hh); two(8, mi); break;
    case 12: year2(0); two(2, m); two(4, d); two(6, hh); two(8, mi); two(10, ss); break;
    case 14:
      ok = n >= 4 && Digits(p, 4, y);
      two(4, m); two(6, d); two(8, hh); two(10, mi); two(12, ss);
      break;
    default:
      throw Exception(Format("Invalid FIELD_TYPE_TIMESTAMP Field.Length (%d)",
                             {static_cast<int>(plan.Field->LengthInBytes())}));
  }
  return ok && EncodeMoment(y, m, d, hh, mi, ss, 0, v);
}

// Text: 8-bit in the record (bounded by the slot, never cut inside a UTF-8
// sequence) or on the string heap; UTF-16 decoded from UTF-8.
void TMyRowConverter::ConvertText(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n) {
  switch (plan.Kind) {
    case ckString: {
      const std::size_t m = FitUtf8(p, n, static_cast<std::size_t>(plan.Size - 1));
      std::memcpy(slot, p, m);
      slot[m] = 0;
      return;
    }
    case ckWideString:
      // Slots of wide text sit at even offsets of 8-aligned records.
      Utf8ToUnicode(reinterpret_cast<char16_t*>(slot), static_cast<std::size_t>(plan.Size) / 2, p, n);
      return;
    case ckExtString: {
      auto* buf = static_cast<char*>(FData->StringHeap().NewBuf(std::int64_t{n} + 1));
      std::memcpy(buf, p, n);
      buf[n] = 0;
      SetHeapBuf(slot, buf);
      return;
    }
    default: {
      // A UTF-8 text never has more UTF-16 units than bytes.
      auto* buf = static_cast<char16_t*>(FData->StringHeap().NewBuf(2 * (std::int64_t{n} + 1)));
      Utf8ToUnicode(buf, std::size_t{n} + 1, p, n);
      SetHeapBuf(slot, buf);
      return;
    }
  }
}

// Byte strings: fixed (zero-padded), with a 16-bit length in the record, or
// with a 16-bit length on the string heap.
void TMyRowConverter::ConvertBytes(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n) {
  switch (plan.Kind) {
    case ckBytes: {
      const std::size_t m = std::min<std::size_t>(n, plan.Length);
      std::memcpy(slot, p, m);
      if (m < plan.Length) std::memset(slot + m, 0, plan.Length - m);
      return;
    }
    case ckVarBytes: {
      const auto m = static_cast<std::uint16_t>(std::min<std::size_t>(n, plan.Length));
      std::memcpy(slot, &m, 2);
      std::memcpy(slot + 2, p, m);
      return;
    }
    default: {
      const auto m = static_cast<std::uint16_t>(std::min<std::size_t>(n, 0xFFFF));
      auto* buf = static_cast<std::uint8_t*>(FData->StringHeap().NewBuf(std::int64_t{m} + 2));
      std::memcpy(buf, &m, 2);
      std::memcpy(buf + 2, p, m);
      SetHeapBuf(slot, buf);
      return;
    }
  }
}

// Large objects (blob, memo, wide memo): the slot's blob object (made when
// there is none) gets the bytes, UTF-8 decoded for a Unicode blob, and is
// compressed or made plain by the compress-blob mode.
void TMyRowConverter::ConvertBlob(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n,
                                  std::uint8_t& isNull) {
  TSharedObject* obj = nullptr;
  std::memcpy(&obj, slot, sizeof obj);
  auto* blob = dynamic_cast<TCompressedBlob*>(obj);
  if (!blob) {
    TSharedRef<TCompressedBlob> fresh = NewShared<TCompressedBlob>(plan.UnicodeBlob);
    fresh->EnableRollback();
    if (obj) obj->Release();
    blob = fresh.Detach();
    TSharedObject* handle = blob;
    std::memcpy(slot, &handle, sizeof handle);
  }
  if (blob->IsUnicode() != plan.UnicodeBlob && blob->Size() == 0) blob->SetIsUnicode(plan.UnicodeBlob);
  if (n > 0) {
    if (blob->IsUnicode()) {
      FWide = Utf8Decode(std::string_view(p, n));
      blob->Write(0, static_cast<std::int64_t>(2 * FWide.size()), FWide.data());
    } else {
      blob->Write(0, n, p);
    }
  }
  blob->Commit();
  if (FOptions.CompressBlob == cbClient || FOptions.CompressBlob == cbClientServer) {
    blob->SetCompressed(true);
  } else {
    try {
      blob->SetCompressed(false);
    } catch (const EBlobError&) {
      // A value whose compressed form cannot be read is no value.
      blob->Clear();
      blob->Commit();
      isNull = 1;
    }
  }
}

// ---- zero limit -----------------------------------------------------------------------------------

std::string SetLimit0(const std::string& sql) {
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  int code = parser.GetNextToken();
  if (code != lxSELECT) return sql;  // also a SELECT preceded by SET
  int depth = 0;
  std::int64_t insertAt = -1;  // before PROCEDURE, FOR or LOCK
  std::int64_t separator = -1;
  std::int64_t numberPos = -1, numberLen = 0;
  for (;;) {
    code = parser.GetNextToken();
    if (code == lcEnd) break;
    // Strings and quoted names may hold the symbols' texts.
    const std::string_view lexem = code == lcString || code == lcIdent ? std::string_view() : parser.LexemView();
    if (lexem == "(") {
      ++depth;
      continue;
    }
    if (lexem == ")") {
      --depth;
      continue;
    }
    if (depth > 0) continue;
    if (lexem == ";") {
      separator = parser.LexemPos();
      break;
    }
    if (code == lxLIMIT) {
      // LIMIT count, LIMIT offset, count, LIMIT count OFFSET offset: the count.
      if (parser.GetNextToken() != lcNumber) continue;
      numberPos = parser.LexemPos();
      numberLen = parser.LexemLength();
      if (parser.GetNextToken() == lcEnd) break;
      if (parser.LexemView() == ",") {
        if (parser.GetNextToken() != lcNumber) {
          numberPos = -1;
          continue;
        }
        numberPos = parser.LexemPos();
        numberLen = parser.LexemLength();
      } else {
        parser.Back();
      }
      continue;
    }
    if (insertAt < 0 && (code == lxPROCEDURE || code == lxFOR || code == lxLOCK)) insertAt = parser.LexemPos();
  }
  std::string result = sql;
  if (numberPos >= 0) return result.replace(static_cast<std::size_t>(numberPos), static_cast<std::size_t>(numberLen), "0");
  if (insertAt >= 0) return result.insert(static_cast<std::size_t>(insertAt), "LIMIT 0 ");
  if (separator >= 0) return result.insert(static_cast<std::size_t>(separator), " LIMIT 0 ");
  return result + " LIMIT 0";
}

// ---- TMySQLRecordset: set-up ----------------------------------------------------------------------

TMySQLRecordset::TMySQLRecordset() {
  FFetchRows = 25;
  FConverter.OnTimestamp = [](TMySQLFieldDesc& field, TDateTime value) {
    auto* table = dynamic_cast<TMyTableInfo*>(field.TableInfo());
    if (table && table->TimestampField() == &field && value > table->MaxTimestamp()) table->SetMaxTimestamp(value);
  };
}

TMySQLRecordset::~TMySQLRecordset() {
  // The results and the additional connection go before the command.
  try {
    if (FCommand) {
      DrainResults();
      if (FSQLResultNext) {
        if (TMySQLConnection* c = UsedConnection(); c && c->MySQLAPI()) c->MySQLAPI()->mysql_free_result(FSQLResultNext);
        FSQLResultNext = nullptr;
      }
    }
  } catch (...) {
  }
  // Returned even when finishing the results failed (then not valid).
  try {
    if (FCommand) ReleaseSwapConnection(true);
  } catch (...) {
  }
}

std::unique_ptr<TKxCommand> TMySQLRecordset::CreateCommand() {
  auto cmd = std::make_unique<TMySQLCommand>();
  cmd->SetRequestResultset(true);
  return cmd;
}

void TMySQLRecordset::SetCommand(std::unique_ptr<TKxCommand> value) {
  if (auto* my = dynamic_cast<TMySQLCommand*>(value.get())) my->SetRequestResultset(true);
  TKxRecordSet::SetCommand(std::move(value));
}

TMySQLCommand& TMySQLRecordset::Command() { return static_cast<TMySQLCommand&>(GetCommand()); }

TMySQLConnection* TMySQLRecordset::UsedConnection() { return Command().GetConnection(); }

void TMySQLRecordset::SetConnection(TKxConnection* value) {
  TKxRecordSet::SetConnection(value);
  UpdateConnectionSettings();
}

void TMySQLRecordset::UpdateConnectionSettings() {
  TMySQLConnection* c = FConnectionSwap ? FConnectionSwap : UsedConnection();
  if (!c) return;
  FIsClient41 = c->MySQLAPI() ? c->IsClient41() : true;
  FUseUnicode = c->UseUnicode();
  FOptimizedBigInt = c->OptimizedBigInt();
  FNullForZeroOrvoDate = c->NullForZeroOrvoDate();
  FCheckPrecision = c->CheckPrecision();
  if (c->Connected()) {
    FServerPrimaryVer = c->ServerPrimaryVer();
    FServerMinorVer = c->ServerMinorVer();
  }
}

void TMySQLRecordset::Check(const void* status) {
  if (!status) Check(1);
}

void TMySQLRecordset::Check(int status) {
  if (status == 0) return;
  TMySQLConnection* c = UsedConnection();
  if (!c) throw EMyError(2006, "Not connected");
  c->MySQLError(Command().Component());
}

void TMySQLRecordset::Check() {
  TMySQLConnection* c = UsedConnection();
  if (!c) return;
  c->Check(Command().Component());
}

bool TMySQLRecordset::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prFieldsAsString:
    case prMySQLFieldsAsString:
      FFieldsAsString = value.AsBoolean();
      return true;
    case prNullForZeroDate:
      FNullForZeroDate = value.AsBoolean();
      return true;
    case prEnableBoolean:
      FEnableBoolean = value.AsBoolean();
      return true;
    case prCreateConnection:
      FCreateConnection = value.AsBoolean();
      return true;
    case prCommandTimeout:
      return Command().SetProp(prCommandTimeout, value);
    case prOpenNext:
      Command().SetOpenNext(value.AsBoolean());
      return true;
    case prUseHandler:
      FUseHandler = value.AsBoolean();
      return true;
    case prBinaryAsString:
      FBinaryAsString = value.AsBoolean();
      return true;
    default:
      return TKxRecordSet::SetProp(prop, value);
  }
}

bool TMySQLRecordset::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prRowsFetched:
      value = static_cast<std::int32_t>(GetRecordCount());
      return true;
    case prEnableBoolean:
      value = FEnableBoolean;
      return true;
    case prFieldsAsString:
    case prMySQLFieldsAsString:
      value = FFieldsAsString;
      return true;
    case prNullForZeroDate:
      value = FNullForZeroDate;
      return true;
    case prCreateConnection:
      value = FCreateConnection;
      return true;
    case prUseHandler:
      value = FUseHandler;
      return true;
    case prBinaryAsString:
      value = FBinaryAsString;
      return true;
    case prOpenNext:
      value = Command().OpenNext();
      return true;
    case prIsCanOpenNext:
      value = FOpenNextState == osMoreResults;
      return true;
    default:
      return TKxRecordSet::GetProp(prop, value);
  }
}

bool TMySQLRecordset::CanDisconnect() {
  bool result = TKxRecordSet::CanDisconnect();
  if (result && FUseHandler) {
    TMySQLConnection* c = UsedConnection();
    result = FIsClient41 && c && c->Connected() && c->IsServer41();
  }
  return result;
}

bool TMySQLRecordset::RowsReturn() {
  if (FCommandType == ctUnknown) return Command().SQLResult() != nullptr || FSQLResultNext != nullptr;
  return TKxRecordSet::RowsReturn();
}

const TOnDemandConverter* TMySQLRecordset::GetMapOnDemandConverter(const TKxFieldDesc& field,
                                                                   const TKxMapRule*& mapRule) {
  if (field.DataType() == dtInt32 && field.DBType() == myMediumintUnsigned) {
    mapRule = GetMapRule(field);
    return FindMapOnDemandConverter(mapRule, dtUInt32, field.DBLength(), field.DBScale());
  }
  return TKxRecordSet::GetMapOnDemandConverter(field, mapRule);
}

void TMySQLRecordset::GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool needConvert) {
  const std::uint16_t t = field.DataType();
  if ((t == dtBlob || t == dtMemo || t == dtWideMemo) && !needConvert) {
    std::memcpy(dest, static_cast<const std::uint8_t*>(recBuf) + field.Offset(), sizeof(void*));
    return;
  }
  TKxRecordSet::GetFieldData(field, recBuf, dest, needConvert);
}

// ---- additional connection ----------------------------------------------------------------------

void TMySQLRecordset::QuerySwapConnection() {
  TMySQLCommand& cmd = Command();
  if (FConnectionSwap || cmd.GetCursorState() >= csExecuting || cmd.OpenNext()) return;
  TMySQLConnection* user = cmd.GetConnection();
  if (!user || !user->Connected() || !user->MySQLAPI()) return;
  TMySQLAPI& api = *user->MySQLAPI();
  api.SetTimeout(user->MySQL(), cmd.CommandTimeout());
  user->Check(api.mysql_ping(user->MySQL()), cmd.Component());

  std::unique_ptr<TMySQLConnection> extra;
  if (user->GetMySQLConnection()) {
    if (!user->ReturnMySQLConnection())
      throw Exception("ReturnMySQLConnection must be assigned together with GetMySQLConnection");
    extra = user->GetMySQLConnection()();
    if (!extra) throw Exception("GetMySQLConnection returned no connection");
  } else {
    extra = std::make_unique<TMySQLConnection>();
    extra->Assign(*user);
    // The statement runs in the schema the user's session is in now.
    extra->SetDatabase(user->CurrentDatabase());
  }
  extra->SetAdditional(true);
  if (!extra->Connected()) extra->Connect("");
  if (user->GetInternalTransaction().Active()) extra->GetInternalTransaction().StartTransaction();
  FConnectionSwap = user;
  FAdditional = std::move(extra);
  cmd.SetConnection(FAdditional.get());
}

void TMySQLRecordset::ReleaseSwapConnection(bool forbidQueries) {
  if (!FConnectionSwap) return;
  TMySQLCommand& cmd = Command();
  TMySQLConnection* user = FConnectionSwap;
  std::unique_ptr<TMySQLConnection> extra = std::move(FAdditional);
  FConnectionSwap = nullptr;
  cmd.SetConnection(user);
  if (!extra) return;
  try {
    TKxTransaction& t = extra->GetInternalTransaction();
    if (t.Active()) {
      if (!forbidQueries && extra->Connected())
        t.Commit();
      else
        t.Reset();
    }
  } catch (...) {
    forbidQueries = true;
  }
  extra->SetAdditional(true);
  if (user->ReturnMySQLConnection()) {
    extra->SetIsValid(!forbidQueries);
    user->ReturnMySQLConnection()(extra);
  } else {
    try {
      extra->Disconnect();
    } catch (...) {
    }
  }
}

// ---- executing ----------------------------------------------------------------------------------

void TMySQLRecordset::ExecCommand() {
  TMySQLCommand& cmd = Command();
  const bool prepared = cmd.GetPrepared();
  if (prepared && cmd.OpenNext()) throw Exception("Cannot OpenNext if statement is Prepared");
  if (cmd.OpenNext() && cmd.GetCursorState() <= csPrepared) {
    // The pending further result becomes the current one.
    if (!FSQLResultNext && FOpenNextState == osMoreResults) FreeResult(true, false);
    FWaitForFetchBreak.store(false, std::memory_order_release);
    if (FSQLResultNext) {
      cmd.SetSQLResult(FSQLResultNext);
      FSQLResultNext = nullptr;
      FCommandType = ctCursor;
      cmd.SetCursorState(csExecuted);
      FOpenNextState = osNotChecked;
      FBlocksReleased = false;
    } else {
      FCommandType = ctStatement;
    }
    return;
  }
  FOpenNextState = osNotChecked;
  FBlocksReleased = false;
  FFetchState = fsBOF;
  // A prepared statement runs on the connection it was prepared on.
  if (!prepared && !FFetchAll && FCreateConnection) QuerySwapConnection();
  UpdateConnectionSettings();
  try {
    TKxRecordSet::ExecCommand();
    if (cmd.SQLResult()) {
      FCommandType = ctCursor;
      cmd.SetCursorState(csExecuted);
    } else if (prepared) {
      // The statement has read and dropped whatever its execution returned.
      FCommandType = ctStatement;
      FOpenNextState = osNoMoreResults;
    } else {
      FCommandType = ctStatement;
      FOpenNextState = FIsClient41 && UsedConnection() && UsedConnection()->MySQLAPI() &&
                               UsedConnection()->MySQLAPI()->mysql_more_results(UsedConnection()->MySQL())
                           ? osMoreResults
                           : osNoMoreResults;
      FreeResult(true, false);
      if (FSQLResultNext) {
        cmd.SetSQLResult(FSQLResultNext);
        FSQLResultNext = nullptr;
        FCommandType = ctCursor;
        cmd.SetCursorState(csExecuted);
      }
    }
  } catch (...) {
    if (prepared) {
      try {
        FreeResult(false, false);
      } catch (...) {
      }
    } else {
      cmd.FreeSQLResult();
      ReleaseSwapConnection(true);
    }
    throw;
  }
}

void TMySQLRecordset::FreePreparedResult(bool tryToFinishFetch) {
  TMySQLCommand& cmd = Command();
  const bool open = cmd.SQLResult() || FFetchState == fsMiddle;
  int rc = 0;
  if (open && cmd.Stmt() && cmd.StmtAPI()) {
    if (tryToFinishFetch && FetchBreakRequested()) cmd.BreakExec();
    // The rest of the rows and every further result of a CALL.
    rc = cmd.StmtAPI()->mysql_stmt_free_result(cmd.Stmt());
  }
  cmd.FreeSQLResult();
  if (open) FFetchState = fsEof;
  FOpenNextState = osNoMoreResults;
  if (cmd.GetCursorState() == csFetching || cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetched);
  cmd.CheckStmt(rc);
}

void TMySQLRecordset::FreeResult(bool tryGetNextResult, bool tryToFinishFetch) {
  TMySQLCommand& cmd = Command();
  if (cmd.GetPrepared()) {
    FreePreparedResult(tryToFinishFetch);
    return;
  }
  TMySQLConnection* con = UsedConnection();
  TMySQLAPI* api = con ? con->MySQLAPI() : nullptr;
  PMYSQL_CON session = con ? con->MySQL() : nullptr;
  bool forbid = false;
  if (PMYSQL_RES res = cmd.SQLResult(); res && api) {
    if (!FFetchAll && FConnectionSwap && FIsCanFastClose) {
      // Read a little more; when rows still remain, kill the additional
      // connection's query rather than reading them all.
      bool remain = true;
      for (int i = 0; i < FFetchRows && remain; ++i) remain = api->mysql_fetch_row(res) != nullptr;
      if (remain && FConnectionSwap->Connected() && session) {
        const std::string kill = "KILL " + std::to_string(api->mysql_thread_id(session));
        if (FConnectionSwap->MySQLAPI())
          FConnectionSwap->MySQLAPI()->mysql_real_query(FConnectionSwap->MySQL(), kill.data(), kill.size());
        while (api->mysql_fetch_row(res)) {
        }
        forbid = true;
      }
    } else if (tryToFinishFetch) {
      if (FetchBreakRequested()) cmd.BreakExec();
      while (api->mysql_fetch_row(res)) {
      }
    }
    if (!forbid && FIsClient41 && session && api->mysql_more_results(session))
      FOpenNextState = osMoreResults;
    else
      FOpenNextState = osNoMoreResults;
    cmd.FreeSQLResult();
  }
  if (tryGetNextResult && !forbid && FIsClient41 && api && session && FOpenNextState == osMoreResults &&
      !FSQLResultNext) {
    for (;;) {
      const int r = api->mysql_next_result(session);
      if (r > 0) {
        FOpenNextState = osError;
        cmd.SetCursorState(csInactive);
        FCommandType = ctUnknown;
        Check(r);
      }
      FOpenNextState = r == 0 ? osMoreResults : osNoMoreResults;
      if (r != 0) break;
      FRowsAffectedNext = api->mysql_affected_rows(session);
      PMYSQL_RES next = api->mysql_use_result(session);
      if (!next && api->mysql_errno(session) != 0) {
        FOpenNextState = osError;
        Check();
      }
      if (next) {
        FSQLResultNext = next;
        break;
      }
      if (!api->mysql_more_results(session)) {
        FOpenNextState = osNoMoreResults;
        break;
      }
    }
  }
  if (forbid || (FOpenNextState == osNoMoreResults && !FSQLResultNext)) ReleaseSwapConnection(forbid);
  if (cmd.GetCursorState() == csFetching || cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetched);
}

void TMySQLRecordset::DrainResults() {
  TMySQLCommand& cmd = Command();
  for (int guard = 0; guard < 1000000; ++guard) {
    FreeResult(true, true);
    if (!FSQLResultNext) break;
    cmd.SetSQLResult(FSQLResultNext);
    FSQLResultNext = nullptr;
  }
  FOpenNextState = osNoMoreResults;
}

// ---- open, describe, close -------------------------------------------------------------------

void TMySQLRecordset::InternalPrepare() {
  try {
    if (!FFetchAll && FCreateConnection) QuerySwapConnection();
    UpdateConnectionSettings();
    TKxRecordSet::InternalPrepare();
    TMySQLCommand& cmd = Command();
    FCommandType = ctUnknown;
    if (cmd.GetPrepared() && cmd.StmtAPI()) {
      TMySQLAPI& api = *cmd.StmtAPI();
      const bool columns = api.mysql_stmt_field_count(cmd.Stmt()) > 0;
      // A CALL describes its columns only when it runs.
      FCommandType = columns ? ctCursor : ctStatement;
      cmd.FreeSQLResult();
      if (columns) cmd.SetSQLResult(api.mysql_stmt_result_metadata(cmd.Stmt()));
    }
  } catch (...) {
    try {
      InternalUnPrepare();
    } catch (...) {
    }
    throw;
  }
}

void TMySQLRecordset::InternalUnPrepare() {
  Command().FreeSQLResult();  // the statement's column description
  TKxRecordSet::InternalUnPrepare();
  Command().SetCursorState(csInactive);
  FCommandType = ctUnknown;
  ReleaseSwapConnection();
}

void TMySQLRecordset::ExplicitInitFields() {
  if (FCommandType == ctUnknown || FieldCount() == 0) InitFields();
}

TMyColumnOptions TMySQLRecordset::ColumnOptions(bool showStatement) const {
  TMyColumnOptions o;
  o.UseUnicode = FUseUnicode;
  o.EnableBoolean = FEnableBoolean;
  o.OptimizedBigInt = FOptimizedBigInt;
  o.BinaryAsString = FBinaryAsString;
  const TKxConnection* c = FCommand ? FCommand->Connection() : nullptr;
  o.EnableBCD = (FCommand && FCommand->EnableBCD()) || (c && c->EnableBCD());
  o.EnableFMTBCD = (FCommand && FCommand->EnableFMTBCD()) || (c && c->EnableFMTBCD());
  o.CheckPrecision = FCheckPrecision;
  o.FieldsAsString = FFieldsAsString;
  o.LongStrings = FLongStrings;
  o.FlatBuffers = FFlatBuffers;
  o.ShowStatement = showStatement;
  // utf8mb4 from 5.5.3 on (what UseUnicode asks for), else utf8.
  o.DefaultCharsetMaxBytes =
      FServerPrimaryVer > 5 || (FServerPrimaryVer == 5 && FServerMinorVer >= 5) || FServerPrimaryVer == 0 ? 4 : 3;
  return o;
}

void TMySQLRecordset::InternalInitFields() {
  TMySQLCommand& cmd = Command();
  UpdateConnectionSettings();
  if (FCommandType == ctUnknown) {
    // Describe by executing the statement with no rows to return.
    const std::string userSQL = cmd.UserSQL();
    const bool scan = cmd.ScanParams();
    const TCursorState state = cmd.GetCursorState();
    auto restore = [&] {
      cmd.SetProp(prScanParams, false);
      cmd.SetSQL(userSQL);
      cmd.SetProp(prScanParams, scan);
      cmd.SetCursorState(state <= csPrepared ? state : csInactive);
    };
    try {
      if (!cmd.StoredProc()) {
        cmd.SetProp(prScanParams, false);
        cmd.SetSQL(SetLimit0(userSQL));
        cmd.SetProp(prScanParams, scan);
      }
      cmd.Execute();
      if (!cmd.SQLResult()) {
        FOpenNextState = osMoreResults;
        FreeResult(true, false);
        if (FSQLResultNext) {
          cmd.SetSQLResult(FSQLResultNext);
          FSQLResultNext = nullptr;
        }
      }
      if (cmd.SQLResult()) CreateFieldDescs();
      DrainResults();
      FOpenNextState = osNotChecked;
      restore();
    } catch (...) {
      try {
        DrainResults();
      } catch (...) {
      }
      restore();
      throw;
    }
    return;
  }
  if (!cmd.SQLResult()) return;
  CreateFieldDescs();
  if (FConnectionSwap) {
    TMyParser parser(cmd.SQL());
    parser.SetOmitBlank(true);
    parser.SetOmitComment(true);
    FIsCanFastClose = parser.GetNextToken() == lxSELECT && cmd.SQL().find(';') == std::string::npos;
  } else {
    FIsCanFastClose = false;
  }
}

namespace {

// The statement's first keywords, lower-cased, for the SHOW corrections.
struct TStatementKind {
  bool Show = false, Create = false, Engines = false, Select = false, Explain = false;
  bool ShowColumns = false;
  int ShowWhat = 0;  // lxPRIVILEGES, lxPROCESSLIST, lxSLAVE
};

TStatementKind ClassifyStatement(const std::string& sql) {
  // A data set opened again and again asks for the same text: the last
  // answer of this thread is kept.
  thread_local std::string lastSQL;
  thread_local TStatementKind lastKind;
  thread_local bool lastValid = false;
  if (lastValid && sql == lastSQL) return lastKind;
  TStatementKind k;
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  int first = lcEnd;
  int index = 0;
  for (int code = parser.GetNextToken(); code != lcEnd; code = parser.GetNextToken(), ++index) {
    if (index == 0) first = code;
    if (index == 1 && first == lxSHOW) k.ShowWhat = code;
    if (code == lxCREATE) k.Create = true;
    if (code == lxENGINES) k.Engines = true;
    if (code == lxCOLUMNS && first == lxSHOW) k.ShowColumns = true;
    if (index > 64) break;
  }
  k.Show = first == lxSHOW;
  k.Select = first == lxSELECT;
  k.Explain = first == lxEXPLAIN || first == lxDESCRIBE || first == lxDESC;
  if (first == lxDESC || first == lxDESCRIBE) k.ShowColumns = true;
  lastSQL = sql;
  lastKind = k;
  lastValid = true;
  return k;
}

}  // namespace

const TMySQLRecordset::TColumnTableNames& TMySQLRecordset::ColumnTableNames(const TMYSQL_FIELD& col,
                                                                           const TSQLInfo& info) {
  const int codePage = DefaultCodePage();
  for (const TColumnTableNames& n : FColumnTableNames)
    if (n.Info == &info && n.UseUnicode == FUseUnicode && n.CodePage == codePage && n.Table == col.Table &&
        n.OrgTable == col.OrgTable)
      return n;
  // A handful of tables at most: the list is forgotten rather than let grow.
  if (FColumnTableNames.size() >= 16) FColumnTableNames.clear();
  TColumnTableNames n;
  n.Table = col.Table;
  n.OrgTable = col.OrgTable;
  n.Info = &info;
  n.UseUnicode = FUseUnicode;
  n.CodePage = codePage;
  const std::string alias = FUseUnicode ? Utf8ToAnsi(col.Table) : col.Table;
  const std::string org = FUseUnicode ? Utf8ToAnsi(col.OrgTable) : col.OrgTable;
  // The server names one table (or alias): a "." or a quote in it is part
  // of the name.
  n.Key = info.IdentifierOf(alias);
  n.Name = org.empty() ? n.Key : info.IdentifierOf(org);
  FColumnTableNames.push_back(std::move(n));
  return FColumnTableNames.back();
}

TMyTableInfo* TMySQLRecordset::AddSQLObjectIfNeed(const TColumnTableNames& names) {
  int index = FTablesInfo.IndexByName(names.Key);
  if (index < 0) index = FTablesInfo.IndexByAlias(names.Key);
  TKxTableInfo* t = index >= 0 ? &FTablesInfo[index] : nullptr;
  if (!t) {
    t = &FTablesInfo.Add();
    t->SetTableName(names.Name);
    t->SetTableAlias(names.Key);
  }
  return dynamic_cast<TMyTableInfo*>(t);
}

void TMySQLRecordset::CreateFieldDescs() {
  TMySQLCommand& cmd = Command();
  if (cmd.GetPrepared() && FieldCount() > 0) return;
  TMySQLConnection* con = UsedConnection();
  PMYSQL_RES res = cmd.SQLResult();
  if (!con || !con->MySQLAPI() || !res) return;
  TMySQLAPI& api = *con->MySQLAPI();
  const TStatementKind kind = ClassifyStatement(cmd.SQL());
  const TMyColumnOptions options = ColumnOptions(kind.Show);
  const std::uint32_t count = api.mysql_num_fields(res);
  const TSQLInfo& info = cmd.GetSQLInfo();
  // Columns of one table follow each other: the entry found for a key is
  // the one the list would give for it again.
  std::string lastKey;
  TMyTableInfo* lastTable = nullptr;
  bool haveLast = false;
  FTablesInfo.BeginUpdate();
  try {
    for (std::uint32_t i = 0; i < count; ++i) {
      TMYSQL_FIELD col;
      api._mysql_fetch_field_direct(res, i, col, FUseUnicode);
      std::uint32_t len = GetFieldLengthInChars(col, options);
      if (kind.Show) {
        const std::string name = AsciiLowerCase(col.Name);
        switch (kind.ShowWhat) {
          case lxPRIVILEGES:
            if ((name == "privilege" || name == "context") && len < 30) len = 40;
            break;
          case lxPROCESSLIST:
            if (name == "state" || name == "command") len *= 3;
            break;
          case lxSLAVE:
            if (name == "slave_io_state" && len < 80) len = 80;
            if ((name == "slave_io_running" || name == "slave_sql_running") && len <= 2) len *= 3;
            if ((name == "last_error" || name == "last_io_error" || name == "last_sql_error") && len < 80) len = 2048;
            break;
          default:
            break;
        }
        if (kind.Create && (FServerPrimaryVer == 4 || FServerPrimaryVer == 5) && name == "create table") len = 65535;
        if (kind.Create && FServerPrimaryVer == 5 && name == "create procedure") len = 65535;
        if (FServerPrimaryVer == 5 && con->ServerReleaseVer() >= 52) {
          if (name == "user") len = 16;
          if (name == "host") len = 60;
        }
      }
      if (kind.Engines && FServerPrimaryVer == 5 && FServerMinorVer == 0) len = len * 3 + 1;
      if (kind.Explain && FServerPrimaryVer < 5 && AsciiLowerCase(col.Name) == "type") len = 65534;

      auto desc = std::make_unique<TMySQLFieldDesc>();
      DescribeMySQLColumn(col, len, options, dtUnknown, *desc);
      // A mapping rule's fetch converter decides the stored type.
      const TKxMapRule* rule = GetMapRule(*desc);
      if (const TFetchConverter* fc = FindMapFetchConverter(rule, FieldIsEncrypted(desc->Name()), desc->DBType(),
                                                            desc->DBLength(), desc->DBScale())) {
        desc->SetIgnoreRangeErrors(rule->IgnoreErrors());
        DescribeMySQLColumn(col, len, options, fc->InternalDataType(), *desc);
      }
      desc->SetFieldNo(static_cast<std::uint16_t>(i + 1));
      desc->SetActualFieldNo(static_cast<std::uint16_t>(i));
      if (!col.Table.empty()) {
        const TColumnTableNames& names = ColumnTableNames(col, info);
        if (!haveLast || lastKey != names.Key) {
          lastTable = AddSQLObjectIfNeed(names);
          lastKey = names.Key;
          haveLast = true;
        }
        if (TMyTableInfo* t = lastTable) {
          desc->SetTableInfo(t);
          if (col.MyType == 7 && (!t->TimestampField() || (col.Flags & my_flag::Timestamp)))
            t->SetTimestampField(desc.get());
        }
      }
      Fields().Add(std::move(desc));
    }
  } catch (...) {
    FTablesInfo.EndUpdate();
    throw;
  }
  FTablesInfo.EndUpdate();
  FillTablesAliases();
}

namespace {

// One table of a FROM list: its name normalised (whole and without the
// database) and its alias.
struct TFromEntry {
  std::string Object, Full, Alias;
};

// The FROM list of a SELECT: name [AS] alias, separated by ",". A data set
// opened again and again reads the same text: the last list of this
// thread is kept.
const std::vector<TFromEntry>& ParseFromList(const std::string& sql, const TSQLInfo& info) {
  thread_local std::string lastSQL;
  thread_local std::vector<TFromEntry> lastList;
  thread_local const std::type_info* lastInfo = nullptr;
  thread_local bool lastValid = false;
  if (lastValid && sql == lastSQL && *lastInfo == typeid(info)) return lastList;
  lastValid = false;
  std::vector<TFromEntry> list;
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  if (parser.ToLexem(lxFROM, true) != lcEnd) {
    for (;;) {
      std::string name;
      int code = parser.GetNextToken();
      if (code != lcIdent && code < lxSQLFirst) break;
      name = std::string(parser.LexemView());
      for (;;) {
        code = parser.GetNextToken();
        if (parser.LexemView() != ".") break;
        name += ".";
        code = parser.GetNextToken();
        if (code == lcIdent || code >= lxSQLFirst) name += std::string(parser.LexemView());
        else break;
      }
      TFromEntry e;
      if (code == lxAS) code = parser.GetNextToken();
      if (code == lcIdent) {
        e.Alias = info.NormalizeName(parser.LexemView());
        code = parser.GetNextToken();
      }
      if (!name.empty() && name.back() == '.') throw Exception("TableName cannot be empty");
      // The table is the last part of the name; a "." inside quotes does
      // not part it.
      TExtTableInfo parts;
      info.SplitObjectName(name, parts);
      e.Full = info.NormalizeName(name);
      e.Object = info.NormalizeName(parts.Table);
      if (e.Object.empty()) throw Exception("TableName cannot be empty");
      list.push_back(std::move(e));
      if (parser.LexemView() != ",") break;
    }
  }
  lastSQL = sql;
  lastList = std::move(list);
  lastInfo = &typeid(info);
  lastValid = true;
  return lastList;
}

}  // namespace

void TMySQLRecordset::FillTablesAliases() {
  TMySQLCommand& cmd = Command();
  const std::string& sql = cmd.SQL();
  const TStatementKind kind = ClassifyStatement(sql);
  const TSQLInfo& info = cmd.GetSQLInfo();
  if (!kind.Select) {
    if (kind.ShowColumns) {
      for (int i = 0; i < FieldCount(); ++i) {
        TFieldDesc* f = Fields()[i];
        if (!f || !SameFieldName(f->Name(), "Type")) continue;
        f->SetLength(256);
        if (!FLongStrings) {
          f->SetDataType(f->DataType() == dtWideString || f->DataType() == dtExtWideString ? dtWideMemo : dtMemo);
          f->SetSize(SizeOfHandle);
        }
      }
    }
  } else {
    for (const TFromEntry& e : ParseFromList(sql, info)) {
      const std::string& object = e.Object;
      const std::string& full = e.Full;
      if (!e.Alias.empty()) {
        const int index = FTablesInfo.IndexByAlias(e.Alias);
        if (index >= 0) {
          FTablesInfo[index].SetTableName(object);
          FTablesInfo[index].SetTableNameFull(full);
        }
      } else {
        int index = FTablesInfo.IndexByName(object);
        if (index < 0) index = FTablesInfo.IndexByAlias(object);
        if (index >= 0) {
          TKxTableInfo& t = FTablesInfo[index];
          if (t.TableName() != object && t.TableAlias() == object) {
            // The name denotes a view over another table.
            t.SetIsView(true);
            for (int i = 0; i < FieldCount(); ++i) {
              auto* f = dynamic_cast<TKxFieldDesc*>(Fields()[i]);
              if (f && f->TableInfo() == &t) f->SetActualName(f->Name());
            }
            t.SetTableName(object);
            t.SetTableAlias("");
          }
          t.SetTableNameFull(full);
        } else if (FServerPrimaryVer >= 5) {
          TKxTableInfo& t = FTablesInfo.Add();
          t.SetTableName(object);
          t.SetTableNameFull(full);
          t.SetIsView(true);
        }
      }
    }
  }
  for (int i = 0; i < FTablesInfo.Count(); ++i)
    if (FTablesInfo[i].TableNameFull().empty()) FTablesInfo[i].SetTableNameFull(FTablesInfo[i].TableName());
  FTablesInfo.InvalidateIndexes();
}

void TMySQLRecordset::InternalClose() {
  TMySQLCommand& cmd = Command();
  if (FFetchAll)
    DrainResults();
  else
    FreeResult(false, false);
  if (FOpenNextState != osMoreResults && !cmd.GetPrepared()) ReleaseSwapConnection();
  cmd.SetCursorState(csInactive);
  if (!Prepared()) FCommandType = ctUnknown;
  for (int i = 0; i < FieldCount(); ++i) {
    auto* f = dynamic_cast<TMySQLFieldDesc*>(Fields()[i]);
    if (f && f->MySQLType() == 7)
      if (auto* t = dynamic_cast<TMyTableInfo*>(f->TableInfo())) t->SetMaxTimestamp(0);
  }
  TKxRecordSet::InternalClose();
}

void TMySQLRecordset::Disconnect() {
  if (!Prepared()) {
    try {
      FreeResult(false, false);
    } catch (...) {
    }
  }
  UpdateConnectionSettings();
  TKxRecordSet::Disconnect();
}

void TMySQLRecordset::SetToEnd() {
  FetchAll();
  TKxRecordSet::SetToEnd();
}

void TMySQLRecordset::BreakFetch() {
  TKxRecordSet::BreakFetch();
  TMySQLCommand& cmd = Command();
  if (cmd.GetCursorState() == csFetching || cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetched);
}

// ---- fetching ------------------------------------------------------------------------------------

void TMySQLRecordset::ReadRowValues(TMySQLAPI& api, PMYSQL_RES res, PMYSQL_ROW row, bool prepared) {
  const std::size_t count = FValues.size();
  if (&api == MyAPIDirect) {
    const TMySqlBinds* binds = TMySQLAPIDirect::Row(row);
    if (binds->Binds.size() != count) throw EMyError(2027, "Malformed packet");
    const auto* buffer = reinterpret_cast<const char*>(binds->Buffer);
    for (std::size_t i = 0; i < count; ++i) {
      const TMySqlBind& b = binds->Binds[i];
      TMyRowValue& v = FValues[i];
      v.IsNull = b.IsNull;
      v.Data = buffer ? buffer + b.Offset : nullptr;
      v.Length = static_cast<std::uint32_t>(b.Length);
    }
    return;
  }
  if (prepared)
    api._mysql_stmt_fetch_lengths(row, FLengths);
  else
    api._mysql_fetch_lengths(res, FLengths);
  for (std::size_t i = 0; i < count; ++i) {
    TMyRowValue& v = FValues[i];
    const auto n = static_cast<std::uint32_t>(i);
    v.IsNull = api._mysql_fetch_value_is_null(row, n);
    v.Data = v.IsNull                 ? nullptr
             : prepared ? api._mysql_stmt_fetch_value_ptr(Command().Stmt(), n)
                        : api._mysql_fetch_value_ptr(res, row, n);
    v.Length = FLengths[i];
  }
}

bool TMySQLRecordset::Fetch(bool fetchBack) {
  TMySQLCommand& cmd = Command();
  if (FieldCount() == 0) {
    FreeResult(false, false);
    throw Exception("Query must return exactly result set - use Execute");
  }
  if (fetchBack) return false;
  const bool prepared = cmd.GetPrepared();
  const TCursorState state = cmd.GetCursorState();
  PMYSQL_RES res = cmd.SQLResult();
  TMySQLConnection* con = UsedConnection();
  if (state == csInactive || state == csFetched || !res || !con || !con->MySQLAPI()) return false;
  if (prepared && (FFetchState == fsEof || !cmd.Stmt())) return false;
  if (state == csExecuted) cmd.SetCursorState(csFetching);
  bool cancel = false;
  DoBeforeFetch(cancel);
  if (cancel) return false;
  struct TAfter {
    TMySQLRecordset& Self;
    ~TAfter() {
      try {
        Self.DoAfterFetch();
      } catch (...) {
      }
    }
  } after{*this};

  TMySQLAPI& api = *con->MySQLAPI();
  PMYSQL_CON session = con->MySQL();
  const std::uint32_t columns = api.mysql_num_fields(res);
  FValues.assign(columns, TMyRowValue{});
  FLengths.assign(columns, 0);
  TMyRowConverter::TOptions options;
  options.UseUnicode = FUseUnicode;
  options.NullForZeroDate = FNullForZeroDate;
  options.NullForZeroOrvoDate = FNullForZeroOrvoDate;
  options.CompressBlob = cmd.CompressBlob();
  options.Binary = prepared;
  FConverter.Prepare(*this, options);
  for (std::size_t i = 0; i < FConverter.FieldCount(); ++i) {
    const auto* f = dynamic_cast<const TMySQLFieldDesc*>(Fields()[static_cast<int>(i)]);
    if (f && f->ActualFieldNo() >= columns) throw EMyError(2027, "Malformed packet");
  }

  // A unidirectional walk holds only the newest block: the rows already
  // passed are freed before the next block is filled (FetchAll keeps all).
  if (FUniDirectional && cmd.GetCursorState() != csFetchingAll && FirstItem()) {
    ReleaseFetchedRows();
    FBlocksReleased = true;
  }
  if (prepared && FFetchState == fsBOF) {
    cmd.CheckStmt(api._mysql_stmt_bind_result(cmd.Stmt()));
    FFetchState = fsMiddle;
  }
  const auto capacity = static_cast<std::uint32_t>(std::max(1, FFetchRows));
  TBlockHeader* block = AllocFetchBlock(capacity);
  std::uint32_t rows = 0;
  bool atEnd = false;
  try {
    while (rows < capacity) {
      PMYSQL_ROW row = nullptr;
      if (prepared) {
        const int rc = api._mysql_stmt_fetch(cmd.Stmt(), row);
        if (rc != 0 && rc != lumo::NoData) cmd.CheckStmt(rc);
      } else {
        row = api._mysql_fetch_row(res);
        if (!row && api.mysql_errno(session) != 0) Check();
      }
      if (!row) {
        atEnd = true;
        break;
      }
      void* rec = TBlockManager::GetRecordPtr(BlockMan().BlockItem(block, rows));
      InitRecord(rec);
      ++rows;
      ReadRowValues(api, res, row, prepared);
      FConverter.ConvertRow(rec, FValues.data());
    }
  } catch (...) {
    for (std::uint32_t i = 0; i < rows; ++i)
      FreeComplexFields(TBlockManager::GetRecordPtr(BlockMan().BlockItem(block, i)), true);
    LinkFetchedItems(block, 0, false);
    try {
      FreeResult(false, false);
    } catch (...) {
    }
    throw;
  }
  if (rows > 0)
    CreateBlockStruct(block, static_cast<int>(rows), false);
  else
    LinkFetchedItems(block, 0, false);
  if (atEnd) {
    if (prepared) FFetchState = fsEof;
    FNoData = true;
    FreeResult(true, false);
    // Output parameters come as a result of exactly one row (not the last
    // row of a longer result walked block by block).
    if (cmd.StoredProc() && cmd.GetParamCount() > 0 && GetRecordCount() == 1 && !FBlocksReleased) ReadOutParams();
  }
  return rows > 0;
}

void TMySQLRecordset::ReadOutParams() {
  TItemHeader* item = FirstItem();
  if (!item) return;
  TRecBuf rec = AllocRecBuf();
  BlockMan().GetRecord(rec.get(), item);
  Command().ReadOutParams(
      [this](std::string_view name) {
        TFieldDesc* f = FindField(name);
        return f ? Fields().IndexOf(f) : -1;
      },
      [this, &rec](int index) -> Variant {
        const int fieldNo = index + 1;
        if (GetNull(fieldNo, rec.get())) return Variant::Null();
        const TFieldDesc& f = *Fields()[index];
        if (IsBlobFieldType(f.DataType())) {
          if (TBlob* blob = GetObject(fieldNo, rec.get())) return Variant(TSharedRef<TBlob>::Share(blob));
          return Variant::Null();
        }
        return GetFieldAsVariant(fieldNo, rec.get());
      });
}

}  // namespace lumo
