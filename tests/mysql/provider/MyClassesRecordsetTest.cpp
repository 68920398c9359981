// The MySQL record set: the mapping of column types, flags, lengths and
// character sets (table-driven), values converted from row texts into
// record buffers (edge values, bounded copies, zero dates, overflow), the
// zero-limit rewrite; against the test server: every column type fetched
// and compared with what the C client library returns for the same rows,
// block fetch, the additional connection, several results; prepared record
// sets side by side with the text path (every column type read from binary
// rows, every column type written back as parameters), prepared commands
// executed many times, OpenNext refused, a prepared CALL.
#include <gtest/gtest.h>

#include <functional>

#include <cmath>
#include <cstring>
#include <optional>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/ConnectionMode.h"
#include "support/FakeMySqlServer.h"
#include "support/TestServer.h"

#include <mysql.h>  // the comparison peer (after our headers: its macros)

namespace lumo {
namespace {

using test::TestServer;

// ---- column mapping ----------------------------------------------------------------------

enum Opt : unsigned { oNoBool = 1, oOptBig = 2, oBinAsBytes = 4, oUni = 8, oBCD = 16, oFMT = 32, oCheck = 64 };

struct MapCase {
  std::uint8_t type;
  std::uint32_t length, decimals, flags, charset;
  unsigned opts;
  std::uint16_t expected;
};

TEST(MyRecordsetMapping, TypesFlagsLengthsCharsets) {
  const std::uint32_t B = my_flag::Binary, U = my_flag::Unsigned;
  const MapCase cases[] = {
      {1, 1, 0, 0, 63, 0, dtBoolean},             // TINYINT(1)
      {1, 1, 0, 0, 63, oNoBool, dtInt8},          // ... with EnableBoolean off
      {1, 3, 0, U, 63, 0, dtUInt8},               // TINYINT(3) UNSIGNED
      {2, 6, 0, U, 63, 0, dtUInt16},              // SMALLINT UNSIGNED
      {3, 11, 0, 0, 63, 0, dtInt32},              // INT
      {3, 10, 0, U, 63, 0, dtUInt32},             // INT UNSIGNED
      {9, 8, 0, U, 63, 0, dtInt32},               // MEDIUMINT UNSIGNED
      {8, 11, 0, 0, 63, oOptBig, dtInt32},        // BIGINT(11) optimised
      {8, 20, 0, 0, 63, oOptBig, dtInt64},        // BIGINT(20) stays
      {8, 20, 0, U, 63, 0, dtUInt64},             // BIGINT UNSIGNED keeps 2^64-1
      {246, 12, 2, 0, 63, oCheck | oBCD, dtBCD},  // DECIMAL(10,2)
      {246, 22, 2, 0, 63, oCheck | oBCD, dtFloat},
      {246, 22, 2, 0, 63, oCheck | oBCD | oFMT, dtFMTBCD},
      {246, 67, 30, 0, 63, oFMT, dtFMTBCD},       // DECIMAL(65,30)
      {0, 12, 2, 0, 63, oBCD, dtBCD},
      {246, 12, 2, 0, 63, 0, dtFloat},
      {4, 12, 31, 0, 63, 0, dtFloat},
      {5, 22, 31, 0, 63, 0, dtFloat},
      {6, 0, 0, B, 63, 0, dtString},              // NULL
      {6, 0, 0, B, 63, oUni, dtWideString},
      {7, 19, 0, 0, 63, 0, dtDateTime},
      {12, 26, 6, 0, 63, 0, dtDateTime},          // DATETIME(6)
      {10, 10, 0, 0, 63, 0, dtDate},
      {14, 10, 0, 0, 63, 0, dtDate},
      {11, 10, 0, 0, 63, 0, dtTime},
      {13, 4, 0, U, 63, 0, dtUInt16},             // YEAR
      {253, 20, 0, B, 63, 0, dtString},           // VARBINARY(20)
      {253, 20, 0, B, 63, oBinAsBytes, dtVarBytes},
      {253, 20, 0, B, 63, oUni, dtString},        // bytes are not UTF-8 text
      {253, 80, 0, B, 46, oBinAsBytes, dtString},  // utf8mb4_bin text: not binary data
      {253, 80, 0, 0, 45, oUni, dtWideString},
      {254, 8, 0, B, 63, oBinAsBytes, dtBytes},   // BINARY(8)
      {254, 8, 0, 0, 8, 0, dtString},
      {16, 64, 0, U, 63, 0, dtInt64},             // BIT(64)
      {16, 8, 0, U, 63, oOptBig, dtInt32},
      {247, 12, 0, 0, 8, 0, dtString},            // ENUM
      {248, 12, 0, 0, 8, oUni, dtWideString},     // SET
      {252, 65535, 0, B, 63, 0, dtBlob},          // BLOB
      {251, 0xFFFFFFFF, 0, B, 63, 0, dtBlob},     // LONGBLOB
      {252, 65535, 0, B, 46, 0, dtMemo},          // TEXT with a binary collation
      {252, 262140, 0, 0, 45, oUni, dtWideMemo},
      {252, 65535, 0, B, 0, 0, dtBlob},           // before 4.1: no character set
      {245, 0xFFFFFFFF, 0, B, 63, 0, dtMemo},     // JSON of MySQL 8
      {245, 0xFFFFFFFF, 0, B, 63, oUni, dtWideMemo},
      {255, 0xFFFFFFFF, 0, B, 63, 0, dtBlob},     // GEOMETRY
  };
  for (const MapCase& c : cases) {
    std::uint16_t type = 0;
    bool fixed = false;
    ConvertMySQLTypeToInternalFormat(c.type, c.length, c.decimals, c.flags & my_flag::Binary, c.flags & my_flag::Unsigned,
                                     !(c.opts & oNoBool), c.opts & oOptBig, !(c.opts & oBinAsBytes), c.opts & oUni,
                                     c.opts & oBCD, c.opts & oFMT, c.opts & oCheck, c.charset, type, fixed);
    EXPECT_EQ(type, c.expected) << "type " << int(c.type) << " length " << c.length << " opts " << c.opts;
    EXPECT_EQ(fixed, c.type == 254);
  }
  std::uint16_t type;
  bool fixed;
  for (int unknown : {17, 18, 19, 20, 244})
    EXPECT_THROW(ConvertMySQLTypeToInternalFormat(std::uint8_t(unknown), 1, 0, false, false, true, false, true, false,
                                                  false, false, false, 8, type, fixed),
                 Exception);
}

TMYSQL_FIELD Column(std::uint8_t type, std::uint32_t length, std::uint32_t charset, std::uint32_t flags = 0,
                    std::uint32_t decimals = 0, std::string table = "t") {
  TMYSQL_FIELD f;
  f.Name = f.OrgName = "c";
  f.Table = f.OrgTable = std::move(table);
  f.MyType = type;
  f.LengthInBytes = static_cast<std::int32_t>(length);
  f.CharsetNr = charset;
  f.Flags = flags;
  f.Decimals = decimals;
  return f;
}

std::unique_ptr<TMySQLFieldDesc> Describe(const TMYSQL_FIELD& col, const TMyColumnOptions& o) {
  auto d = std::make_unique<TMySQLFieldDesc>();
  DescribeMySQLColumn(col, GetFieldLengthInChars(col, o), o, dtUnknown, *d);
  return d;
}

TEST(MyRecordsetMapping, LengthsSizesAndFlags) {
  TMyColumnOptions uni;
  uni.UseUnicode = true;
  uni.FlatBuffers = false;
  // utf8 (3 bytes a character) and utf8mb4 (4): VARCHAR(100).
  auto d = Describe(Column(253, 300, 33), uni);
  EXPECT_EQ(d->Length(), 100);
  EXPECT_EQ(d->DataType(), dtExtWideString);
  d = Describe(Column(253, 400, 45), uni);
  EXPECT_EQ(d->Length(), 100);
  uni.FlatBuffers = true;
  d = Describe(Column(253, 400, 224), uni);
  EXPECT_EQ(d->DataType(), dtWideString);
  EXPECT_EQ(d->Size(), 4 * 100 + 2);  // two UTF-16 units for every character
  // A computed column of length 1023 and a binary column are not divided.
  EXPECT_EQ(Describe(Column(253, 1023, 45, 0, 0, ""), uni)->Length(), 1023);
  EXPECT_EQ(Describe(Column(253, 20, 63, my_flag::Binary), uni)->Length(), 20);

  // LONGBLOB's length is 4294967295, not -1.
  TMyColumnOptions plain;
  d = Describe(Column(251, 0xFFFFFFFF, 63, my_flag::Binary), plain);
  EXPECT_EQ(d->DataType(), dtBlob);
  EXPECT_EQ(d->DBType(), myBlob);
  EXPECT_EQ(d->LengthInBytes(), 0xFFFFFFFFu);
  EXPECT_EQ(Describe(Column(249, 255, 63, my_flag::Binary), plain)->DBType(), myTinyBlob);

  // FieldsAsString with UseUnicode: 8-bit text measured in bytes.
  uni.FieldsAsString = true;
  d = Describe(Column(253, 40, 45), uni);
  EXPECT_EQ(d->DataType(), dtString);
  EXPECT_EQ(d->Length(), 40);
  EXPECT_EQ(d->Size(), 41);
  EXPECT_EQ(Describe(Column(3, 11, 63), uni)->DataType(), dtString);
  EXPECT_EQ(Describe(Column(252, 65535, 63, my_flag::Binary), uni)->DataType(), dtBlob);

  // A computed VAR_STRING of 65535 bytes is a memo; long text without long strings too.
  EXPECT_EQ(Describe(Column(253, 65535, 8, 0, 0, ""), plain)->DataType(), dtMemo);
  plain.LongStrings = false;
  EXPECT_EQ(Describe(Column(253, 300, 8), plain)->DataType(), dtMemo);
  plain.LongStrings = true;
  plain.FlatBuffers = false;
  EXPECT_EQ(Describe(Column(253, 300, 8), plain)->DataType(), dtExtString);
  EXPECT_EQ(Describe(Column(253, 20, 8), plain)->DataType(), dtString);
  d = Describe(Column(253, 0, 8), plain);
  EXPECT_EQ(d->DataType(), dtExtString);
  EXPECT_EQ(d->Length(), SizeForFieldsWithZeroLength);

  // Flags.
  d = Describe(Column(3, 11, 63, my_flag::NotNull | my_flag::AutoIncrement | my_flag::PriKey), plain);
  EXPECT_FALSE(d->Required());
  EXPECT_TRUE(d->IsAutoIncrement() && d->IsKey() && d->IsPrimaryKey());
  EXPECT_TRUE(Describe(Column(3, 11, 63, my_flag::NotNull | my_flag::PartKey), plain)->Required());
  d = Describe(Column(7, 19, 63, my_flag::NotNull | my_flag::Timestamp), plain);
  EXPECT_FALSE(d->Required());
  EXPECT_TRUE(d->IsCurrentTimestamp());
  d = Describe(Column(246, 11, 0, 0, 0), plain);  // DECIMAL(10,0)
  EXPECT_EQ(d->DBLength(), 10);
  EXPECT_TRUE(Describe(Column(6, 0, 63), plain)->ReadOnly());
}

// ---- value conversion -----------------------------------------------------------------------

// A record store with the given columns and one record to convert into.
struct Rows {
  explicit Rows(const std::vector<TMYSQL_FIELD>& columns, TMyColumnOptions o = {},
                TMyRowConverter::TOptions co = {}) {
    data.SetAutoInitFields(false);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      auto d = Describe(columns[i], o);
      d->SetActualFieldNo(static_cast<std::uint16_t>(i));
      data.Fields().Add(std::move(d));
    }
    data.InitFields();
    data.Open();
    co.UseUnicode = o.UseUnicode;
    converter.Prepare(data, co);
    rec = data.AllocRecBuf();
  }
  ~Rows() { data.FreeComplexFields(rec.get(), true); }
  // Converts one row of texts (nullopt: NULL).
  void Put(const std::vector<std::optional<std::string>>& texts) {
    data.FreeComplexFields(rec.get(), true);
    data.InitRecord(rec.get());
    std::vector<TMyRowValue> values(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
      if (texts[i]) values[i] = {texts[i]->data(), static_cast<std::uint32_t>(texts[i]->size()), false};
    converter.ConvertRow(rec.get(), values.data());
  }
  Variant Get(int fieldNo) { return data.GetFieldAsVariant(fieldNo, rec.get()); }
  bool IsNull(int fieldNo) { return data.GetNull(fieldNo, rec.get()); }
  template <class T>
  T Raw(int fieldNo) {
    T v{};
    std::memcpy(&v, rec.get() + data.Fields()[fieldNo - 1]->Offset(), sizeof v);
    return v;
  }
  TMemData data;
  TMyRowConverter converter;
  TRecBuf rec;
};

TEST(MyRecordsetConversion, NumbersAtTheirLimits) {
  TMyColumnOptions o;
  o.EnableFMTBCD = true;
  const std::uint32_t U = my_flag::Unsigned;
  Rows r({Column(8, 20, 63, U), Column(8, 20, 63), Column(246, 67, 63, 0, 30), Column(16, 64, 63, U),
          Column(16, 12, 63, U), Column(1, 1, 63), Column(1, 4, 63), Column(5, 22, 63, 0, 31), Column(13, 4, 63, U)},
         o);
  r.Put({"18446744073709551615", "-9223372036854775808", "-12345678901234567890123456789012345.123456789012345678901234567891",
         std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8), std::string("\x0A\xBC", 2), "1", "-128", "-1.7976931348623157e308",
         "2155"});
  EXPECT_EQ(r.Raw<std::uint64_t>(1), 18446744073709551615ull);
  EXPECT_EQ(r.Raw<std::int64_t>(2), INT64_MIN);
  // 65 significant digits: the last one rounded away (64 is the packed decimal's limit).
  EXPECT_EQ(BcdToStr(r.Raw<TBcd>(3)), "-12345678901234567890123456789012345.12345678901234567890123456789");
  EXPECT_EQ(r.Raw<std::int64_t>(4), -1);  // all 64 bits
  EXPECT_EQ(r.Raw<std::int64_t>(5), 0xABC);
  EXPECT_EQ(r.Get(6).AsBoolean(), true);
  EXPECT_EQ(r.Raw<std::int8_t>(7), -128);
  EXPECT_EQ(r.Raw<double>(8), -1.7976931348623157e308);
  EXPECT_EQ(r.Raw<std::uint16_t>(9), 2155);
  r.Put({"0", "0", "0.000000000000000000000000000001",
         std::string("\x00", 1), std::string(), "0", "127", "5e-324", "0"});
  EXPECT_EQ(BcdToStr(r.Raw<TBcd>(3)), "0.000000000000000000000000000001");
  EXPECT_EQ(r.Raw<std::int64_t>(4), 0);
  EXPECT_EQ(r.Get(6).AsBoolean(), false);
  EXPECT_EQ(r.Raw<double>(8), 5e-324);
  r.Put({"0", "0", "-99999999999999999999999999999999999.99999999999999999999999999999", "", "", "0", "0", "0", "0"});
  EXPECT_EQ(BcdToStr(r.Raw<TBcd>(3)), "-99999999999999999999999999999999999.99999999999999999999999999999");
  // Overflow is detected, not wrapped.
  EXPECT_THROW(r.Put({"18446744073709551616", "0", "0", "", "", "0", "0", "0", "0"}), EConvertError);
  EXPECT_THROW(r.Put({"1", "9223372036854775808", "0", "", "", "0", "0", "0", "0"}), EConvertError);
  EXPECT_THROW(r.Put({"1", "1", "0", "", "", "0", "128", "0", "0"}), EConvertError);
  EXPECT_THROW(r.Put({"1x", "1", "0", "", "", "0", "0", "0", "0"}), EConvertError);

  // TINYINT(1) without EnableBoolean, BIGINT(11) narrowed by OptimizedBigInt.
  o.EnableBoolean = false;
  o.OptimizedBigInt = true;
  o.EnableBCD = true;
  o.EnableFMTBCD = false;
  Rows n({Column(1, 1, 63), Column(8, 11, 63), Column(246, 12, 63, 0, 2)}, o);
  n.Put({"1", "-2147483648", "-123.45675"});
  EXPECT_EQ(n.data.Fields()[0]->DataType(), dtInt8);
  EXPECT_EQ(n.Raw<std::int8_t>(1), 1);
  EXPECT_EQ(n.Raw<std::int32_t>(2), INT32_MIN);
  EXPECT_EQ(n.Raw<std::int64_t>(3), -1234568);  // four decimals, rounded half away from zero
  EXPECT_THROW(n.Put({"1", "2147483648", "0"}), EConvertError);
}

// A moment from the server's text (date, date-time or time) in micros.
std::int64_t ExpectedMicros(const std::string& text, bool isTime) {
  std::int64_t micros = 0;
  if (isTime) {
    EXPECT_TRUE(TryStrToTimeSpanMicros(text, micros)) << text;
  } else {
    EXPECT_TRUE(TryStrToDateTimeMicros(text, micros)) << text;
  }
  return micros;
}

TEST(MyRecordsetConversion, DatesTimesAndZeroDates) {
  const auto cols = std::vector<TMYSQL_FIELD>{Column(12, 26, 63, 0, 6), Column(7, 23, 63, 0, 3), Column(10, 10, 63),
                                              Column(11, 10, 63), Column(7, 14, 63)};
  Rows r(cols);
  // Slots hold micros: every digit of a fraction, spans with sign and days.
  r.Put({"2024-02-29 23:59:59.123456", "1970-01-01 00:00:01.5", "0001-01-01", "-01:30:00", "20140131235959"});
  EXPECT_EQ(r.Raw<std::int64_t>(1), ExpectedMicros("2024-02-29 23:59:59.123456", false));
  EXPECT_EQ(r.Raw<std::int64_t>(2), ExpectedMicros("1970-01-01 00:00:01.5", false));
  EXPECT_EQ(r.Raw<std::int64_t>(3), DateTimeToMicros(EncodeDate(1, 1, 1)));
  EXPECT_EQ(r.Raw<std::int64_t>(4), -5400 * USecsPerSec);
  EXPECT_EQ(r.Raw<std::int64_t>(5), ExpectedMicros("2014-01-31 23:59:59", false));
  r.Put({"1899-12-29 06:00:00", "2038-01-19 03:14:07.999", "9999-12-31", "838:59:59.5", "19991231000000"});
  EXPECT_EQ(r.Raw<std::int64_t>(1), DateTimeToMicros(-1.25));  // before the zero point the time counts away from zero
  EXPECT_EQ(r.Raw<std::int64_t>(4), ExpectedMicros("838:59:59.5", true));
  r.Put({"2000-01-01 00:00:00", "2000-01-01 00:00:00", "2000-01-01", "25:00:00", "20000101000000"});
  EXPECT_EQ(r.Raw<std::int64_t>(4), 25 * 3600 * USecsPerSec);
  // A TIME beyond its range is no time.
  EXPECT_THROW(r.Put({"2000-01-01", "2000-01-01 00:00:00", "2000-01-01", "839:00:00", "20000101000000"}), Exception);

  // Zero dates: null by default, ZeroDate with NullForZeroDate off.
  r.Put({"0000-00-00 00:00:00", "0000-00-00 00:00:00.000", "2021-02-30", "00:00:00", "00000000000000"});
  for (int f : {1, 2, 3, 5}) EXPECT_TRUE(r.IsNull(f)) << f;
  EXPECT_FALSE(r.IsNull(4));
  TMyRowConverter::TOptions keep;
  keep.NullForZeroDate = false;
  Rows z(cols, {}, keep);
  z.Put({"0000-00-00 00:00:00", std::nullopt, "0000-00-00", "00:00:00", "00000000000000"});
  EXPECT_EQ(z.Raw<std::int64_t>(1), DateTimeToMicros(ZeroDate));
  EXPECT_TRUE(z.IsNull(2));
  EXPECT_EQ(z.Raw<std::int64_t>(3), DateTimeToMicros(ZeroDate));
  EXPECT_EQ(z.Raw<std::int64_t>(5), DateTimeToMicros(ZeroDate));
  // The date-time zero point reads null with NullForZeroOrvoDate.
  keep.NullForZeroOrvoDate = true;
  Rows orvo(cols, {}, keep);
  orvo.Put({"1899-12-30 00:00:00", "1899-12-30 00:00:00", "1899-12-30", "00:00:00", "18991230000000"});
  for (int f : {1, 2, 3, 5}) EXPECT_TRUE(orvo.IsNull(f)) << f;
  EXPECT_FALSE(orvo.IsNull(4));

  try {
    r.Put({"2000-01-01", "2000-01-01 00:00:00", "2000-01-01", "12-30-00", "20000101000000"});
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Wrong time format. Field c, value 12-30-00");
  }
  Rows odd({Column(7, 9, 63)});
  EXPECT_THROW(odd.Put({"123456789"}), Exception);
}

TEST(MyRecordsetConversion, BinaryValuesOfPreparedStatements) {
  TMyRowConverter::TOptions binary;
  binary.Binary = true;
  const std::uint32_t U = my_flag::Unsigned;
  Rows r({Column(11, 17, 63, 0, 6), Column(12, 26, 63, 0, 6), Column(10, 10, 63), Column(4, 12, 63, 0, 31),
          Column(3, 10, 63, U), Column(8, 20, 63), Column(1, 1, 63), Column(5, 22, 63, 0, 31)},
         {}, binary);
  EXPECT_EQ(r.data.Fields()[4]->DataType(), dtUInt32);
  r.Put({std::string(), std::string(), std::string("\xE8\x07\x02\x1D", 4), std::string("\xCD\xCC\xCC\x3D", 4),
         std::string(4, '\xFF'), std::string(8, '\xFF'), std::string("\x02", 1),
         std::string("\x00\x00\x00\x00\x00\x00\x04\x40", 8)});
  EXPECT_FALSE(r.IsNull(1));
  EXPECT_EQ(r.Raw<std::int64_t>(1), 0);  // the zero TIME is 0, not a day
  EXPECT_TRUE(r.IsNull(2));               // the zero date
  EXPECT_EQ(r.Raw<std::int64_t>(3), DateTimeToMicros(EncodeDate(2024, 2, 29)));
  EXPECT_EQ(r.Raw<double>(4), 0.1);  // the float's shortest decimal
  EXPECT_EQ(r.Raw<std::uint32_t>(5), 4294967295u);
  EXPECT_EQ(r.Raw<std::int64_t>(6), -1);
  EXPECT_TRUE(r.Get(7).AsBoolean());
  EXPECT_EQ(r.Raw<double>(8), 2.5);
  // Sign, days and hours of a TIME, and its microseconds.
  r.Put({std::string("\x01\x22\0\0\0\x16\x3B\x3B\x41\x1F\x00\x00", 12),
         std::string("\x6B\x07\x0C\x1D\x06\x00\x00\x01\x00\x00\x00", 11), std::string("\x01\x00\x01\x01", 4),
         std::string("\x00\x00\x80\x7F", 4), std::string(4, '\0'), std::string(8, '\0'), std::string(1, '\0'),
         std::string(8, '\0')});
  EXPECT_EQ(r.Raw<std::int64_t>(1), -ExpectedMicros("838:59:59.008001", true));
  EXPECT_EQ(r.Raw<std::int64_t>(2), DateTimeToMicros(-1.25) - 1);  // 1899-12-29 06:00 counts away from the zero point
  EXPECT_TRUE(std::isinf(r.Raw<double>(4)));
  EXPECT_FALSE(r.Get(7).AsBoolean());
  // A value whose length does not fit its type is a malformed row.
  EXPECT_THROW(r.Put({std::string(), std::string(), std::string(), std::string("\x00\x00", 2), std::string(4, '\0'),
                      std::string(8, '\0'), std::string(1, '\0'), std::string(8, '\0')}),
               EMyError);
  EXPECT_THROW(r.Put({std::string(5, '\0'), std::string(), std::string(), std::string(4, '\0'), std::string(4, '\0'),
                      std::string(8, '\0'), std::string(1, '\0'), std::string(8, '\0')}),
               EMyError);
  // So is a TIME beyond 838:59:59.999999 (35 days).
  EXPECT_THROW(r.Put({std::string("\x00\x23\0\0\0\x00\x00\x00", 8), std::string(), std::string(), std::string(4, '\0'),
                      std::string(4, '\0'), std::string(8, '\0'), std::string(1, '\0'), std::string(8, '\0')}),
               EMyError);

  // Fields that do not take the binary form get the value's text.
  TMyColumnOptions text;
  text.FieldsAsString = true;
  Rows t({Column(11, 17, 63, 0, 6), Column(5, 22, 63, 0, 31), Column(3, 11, 63), Column(12, 19, 63)}, text, binary);
  t.Put({std::string("\x01\0\0\0\0\0\0\x01\x20\xA1\x07\x00", 12), std::string("\x00\x00\x00\x00\x00\x00\x04\x40", 8),
         std::string("\xF4\xFF\xFF\xFF", 4), std::string("\xE8\x07\x02\x1D\x01\x02\x03", 7)});
  EXPECT_EQ(t.Get(1).AsString(), "-00:00:01.500000");
  EXPECT_EQ(t.Get(2).AsString(), "2.5");
  EXPECT_EQ(t.Get(3).AsString(), "-12");
  EXPECT_EQ(t.Get(4).AsString(), "2024-02-29 01:02:03");
}

TEST(MyRecordsetConversion, TextAndBytesStayInTheirSlots) {
  TMyColumnOptions o;
  o.BinaryAsString = false;
  TMYSQL_FIELD narrow = Column(253, 4, 8);
  Rows r({narrow, Column(253, 4, 63, my_flag::Binary), Column(254, 3, 63, my_flag::Binary), Column(247, 8, 8),
          Column(248, 20, 8), Column(252, 65535, 63, my_flag::Binary)},
         o);
  const std::string blob("\x00\x01\xFF\x00", 4);
  r.Put({"a\xC3\xA9\xE2\x82\xAC", "123456", "xy", "medium", "a,b,c", blob});
  EXPECT_EQ(r.Get(1).AsString(), "a\xC3\xA9");  // cut before the euro sign, not inside it
  EXPECT_EQ(r.Get(2).AsBytes(), (Variant::Bytes{'1', '2', '3', '4'}));
  EXPECT_EQ(r.Get(3).AsBytes(), (Variant::Bytes{'x', 'y', 0}));
  EXPECT_EQ(r.Get(4).AsString(), "medium");
  EXPECT_EQ(r.Get(5).AsString(), "a,b,c");
  EXPECT_EQ(r.data.GetObject(6, r.rec.get())->AsAnsiString(), blob);
  r.Put({std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
  for (int f = 1; f <= 6; ++f) EXPECT_TRUE(r.IsNull(f));
  EXPECT_NE(r.data.GetObject(6, r.rec.get()), nullptr);  // a null blob still has its object

  // UTF-16 text: characters outside the BMP are kept whole; JSON as wide memo.
  TMyColumnOptions uni;
  uni.UseUnicode = true;
  Rows w({Column(253, 8, 45), Column(245, 0xFFFFFFFF, 63, my_flag::Binary), Column(253, 400, 45)}, uni);
  const std::string emoji = "\xF0\x9F\x98\x80\xF0\x9F\x98\x81";
  w.Put({emoji, "{\"k\": \"\xC3\xA9\"}", emoji});
  EXPECT_EQ(w.Get(1).AsWideString(), Utf8Decode(emoji));
  EXPECT_EQ(w.data.GetObject(2, w.rec.get())->AsWideString(), u"{\"k\": \"\u00e9\"}");
  EXPECT_EQ(w.Get(3).AsWideString(), Utf8Decode(emoji));

  // Doubles read as text are not cut at their display length.
  TMyColumnOptions text;
  text.FieldsAsString = true;
  Rows d({Column(5, 22, 63, 0, 31)}, text);
  d.Put({"-2.2250738585072014e-308"});
  EXPECT_EQ(d.Get(1).AsString(), "-2.2250738585072014e-308");
}

// Column descriptions and values no honest server sends: every mapping
// stays within the 16-bit sizes, every value is stored within its slot or
// refused with an error (run under the address sanitizer to see the former).
TEST(MyRecordsetConversion, HostileColumnsAndValues) {
  std::vector<std::uint8_t> types;
  for (int t = 0; t <= 16; ++t) types.push_back(static_cast<std::uint8_t>(t));
  for (int t = 245; t <= 255; ++t) types.push_back(static_cast<std::uint8_t>(t));
  const std::vector<std::string> values = {
      "", std::string(70000, '7'), "12junk", std::string(100, '9') + "." + std::string(100, '9'),
      std::string("\xFF\xFE\xC3\x28\xE2\x82", 6), std::string(9, '\xFF'), std::string("\0\0\0", 3),
      "2024-13-45 99:99:99.9999999999", "-", "1e99999"};
  TMYSQL_FIELD unknown = Column(17, 1, 63);
  try {
    Describe(unknown, {});
    ADD_FAILURE() << "type 17 accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Unknown MySQL datatype (17)");
  }
  int stored = 0, refused = 0;
  for (unsigned opts = 0; opts < 4; ++opts) {
    TMyColumnOptions o;
    o.UseUnicode = opts & 1;
    o.EnableFMTBCD = opts & 2;
    o.BinaryAsString = !(opts & 2);
    for (std::uint32_t length : {0u, 1u, 0xFFFFFFFFu})
      for (std::uint32_t flags : {0u, std::uint32_t{my_flag::Unsigned | my_flag::NotNull}, std::uint32_t{my_flag::Binary}})
        for (std::uint32_t charset : {63u, 0xFFFFu}) {
          std::vector<TMYSQL_FIELD> cols;
          for (std::uint8_t t : types) cols.push_back(Column(t, length, charset, flags, 255));
          Rows r(cols, o);
          for (int f = 1; f <= static_cast<int>(cols.size()); ++f) {
            const TFieldDesc& d = *r.data.Fields()[f - 1];
            ASSERT_LE(d.Size(), 4 * 65535 + 2) << int(types[f - 1]);
            ASSERT_GT(d.Size(), 0) << int(types[f - 1]);
          }
          std::vector<std::optional<std::string>> row(cols.size());
          for (std::size_t c = 0; c < cols.size(); ++c) {
            for (const std::string& v : values) {
              std::fill(row.begin(), row.end(), std::nullopt);  // NULL even where NOT NULL was said
              row[c] = v;
              try {
                r.Put(row);
                ++stored;
              } catch (const Exception&) {
                ++refused;
              }
              for (std::size_t k = 0; k < cols.size(); ++k) {
                if (k != c) {
                  ASSERT_TRUE(r.IsNull(static_cast<int>(k + 1)));
                }
              }
            }
          }
        }
  }
  EXPECT_GT(stored, 0);
  EXPECT_GT(refused, 0);

  // Refused rather than cut: set bits beyond 64 in a BIT value, junk in
  // dates; a zero-padded long BIT value and zero dates still read.
  Rows r({Column(16, 64, 63, my_flag::Unsigned), Column(12, 19, 63), Column(7, 19, 63), Column(10, 10, 63)});
  const std::string nineBits("\x01\x00\x00\x00\x00\x00\x00\x00\x05", 9);
  try {
    r.Put({nineBits, std::nullopt, std::nullopt, std::nullopt});
    ADD_FAILURE() << "9-byte BIT value accepted";
  } catch (const EConvertError& e) {
    EXPECT_NE(std::string(e.what()).find("Value is out of range: "), std::string::npos) << e.what();
  }
  r.Put({std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x05", 9), "0000-00-00 00:00:00", "0000-00-00 00:00:00",
         "0000-00-00"});
  EXPECT_EQ(r.Raw<std::int64_t>(1), 5);
  for (int f : {2, 3, 4}) EXPECT_TRUE(r.IsNull(f));
  for (const char* junk : {"2024-01-01 00:00:00junk", "2024-01-01x", "2024-01-01 00:00:00.5x"}) {
    EXPECT_THROW(r.Put({std::nullopt, junk, std::nullopt, std::nullopt}), EConvertError) << junk;
    EXPECT_THROW(r.Put({std::nullopt, std::nullopt, junk, std::nullopt}), EConvertError) << junk;
  }
  EXPECT_THROW(r.Put({std::nullopt, std::nullopt, std::nullopt, "2024-01-0x"}), EConvertError);
  Rows d({Column(5, 22, 63, 0, 31)});
  EXPECT_THROW(d.Put({"1e400"}), EConvertError);  // no infinity from an overlong exponent
  d.Put({"1e-400"});
  EXPECT_EQ(d.Raw<double>(1), 0.0);
}

// A row with fewer or more values than the result has columns.
TEST(MyRecordsetConversion, RowsThatDoNotMatchTheColumns) {
  for (const std::string& bad : {test::TextRow({"2"}), test::TextRow({"2", "y", "extra"})}) {
    test::FakeMySqlScript script;
    script.Login().Receive();
    for (const std::string& packet : {test::LenEnc(2), test::ColumnDef41("a"), test::ColumnDef41("b"),
                                      test::EofPacket(), test::TextRow({"1", "x"}), bad, test::EofPacket()})
      script.Send(packet);
    test::FakeMySqlServer server(script);
    TMySQLConnection c;
    c.SetServer("127.0.0.1");
    c.SetProp(prPort, server.Port());
    c.SetUsername("u");
    c.Connect("");
    TMySQLRecordset rs;
    rs.SetConnection(&c);
    rs.SetProp(prCreateConnection, false);
    rs.SetSQL("SELECT a, b FROM t");
    try {
      rs.Open();
      ADD_FAILURE() << "no error";
    } catch (const EMyError& e) {
      EXPECT_EQ(e.ErrorCode(), 2027);
      EXPECT_EQ(e.Message(), "Malformed packet");
    }
    rs.Close();
    c.Disconnect();
    server.Stop();
  }
}

TEST(MyRecordsetSql, ZeroLimit) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT * FROM t", "SELECT * FROM t LIMIT 0"},
      {"SELECT * FROM t LIMIT 10", "SELECT * FROM t LIMIT 0"},
      {"select * from t limit 5, 10", "select * from t limit 5, 0"},
      {"SELECT a FROM t LIMIT 7 OFFSET 3", "SELECT a FROM t LIMIT 0 OFFSET 3"},
      {"SELECT a FROM t FOR UPDATE", "SELECT a FROM t LIMIT 0 FOR UPDATE"},
      {"SELECT 1; SELECT 2", "SELECT 1 LIMIT 0 ; SELECT 2"},
      {"SELECT (SELECT 1 LIMIT 1) AS x", "SELECT (SELECT 1 LIMIT 1) AS x LIMIT 0"},
      {"SELECT ';' /* LIMIT 3 */ FROM t", "SELECT ';' /* LIMIT 3 */ FROM t LIMIT 0"},
      {"UPDATE t SET a = 1", "UPDATE t SET a = 1"},
      {"SET @a = 1; SELECT @a", "SET @a = 1; SELECT @a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(SetLimit0(in), out) << in;
}

// ---- against the test server, through the wire client and the client library --------------

class MyRecordsetServer : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(MyRecordsetServer);

std::unique_ptr<TMySQLConnection> Connect(bool unicode = false) {
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  test::ApplyMode(*c);
  c->SetProp(prUseUnicode, unicode);
  c->Connect("");
  return c;
}

// The peer on the same character set as `ours`.
struct Peer {
  explicit Peer(TMySQLConnection& ours) {
    h = mysql_init(nullptr);
    std::string cs = ours.UnicodeCharset();
    if (!ours.UseUnicode()) {
      TMySQLRecordset rs;
      rs.SetConnection(&ours);
      rs.SetSQL("SELECT @@character_set_results");
      rs.SetProp(prFetchAll, true);
      rs.Open();
      TRecBuf rec = rs.AllocRecBuf();
      rs.SetToBegin();
      rs.GetNextRecord(rec.get());
      cs = rs.GetFieldAsVariant(1, rec.get()).AsString();
    }
    mysql_options(h, ::MYSQL_SET_CHARSET_NAME, cs.c_str());
    if (!mysql_real_connect(h, TestServer().host.c_str(), TestServer().user.c_str(), TestServer().password.c_str(),
                            test::ScratchDatabase().c_str(), static_cast<unsigned>(TestServer().port), nullptr, 0))
      ADD_FAILURE() << mysql_error(h);
  }
  ~Peer() { mysql_close(h); }
  std::vector<std::vector<std::optional<std::string>>> Rows(const std::string& sql) {
    std::vector<std::vector<std::optional<std::string>>> out;
    if (mysql_real_query(h, sql.data(), sql.size()) != 0) {
      ADD_FAILURE() << mysql_error(h);
      return out;
    }
    MYSQL_RES* res = mysql_store_result(h);
    const unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      const unsigned long* lens = mysql_fetch_lengths(res);
      auto& r = out.emplace_back();
      for (unsigned i = 0; i < n; ++i)
        r.push_back(row[i] ? std::optional<std::string>(std::string(row[i], lens[i])) : std::nullopt);
    }
    mysql_free_result(res);
    return out;
  }
  MYSQL* h;
};

// Every record of an open record set as a record buffer (plain copies: the
// store keeps the references of their complex values).
std::vector<TRecBuf> Records(TMySQLRecordset& rs) {
  std::vector<TRecBuf> out;
  rs.SetToBegin();
  for (;;) {
    TRecBuf buf = rs.AllocRecBuf();
    rs.GetNextRecord(buf.get());
    if (rs.GetEOF()) break;
    out.push_back(std::move(buf));
  }
  return out;
}

// Compares one of our values with the peer's text for the same column.
void ExpectSame(TMySQLRecordset& rs, int fieldNo, std::uint8_t* rec, const std::optional<std::string>& peer) {
  auto& f = static_cast<TMySQLFieldDesc&>(*rs.Fields()[fieldNo - 1]);
  SCOPED_TRACE(f.Name() + " (" + std::to_string(f.DataType()) + ") peer " + (peer ? peer->substr(0, 60) : "NULL"));
  const bool date = f.DataType() == dtDate || f.DataType() == dtDateTime;
  if (!peer || (date && peer->compare(0, 10, "0000-00-00") == 0)) {
    EXPECT_TRUE(rs.GetNull(fieldNo, rec));
    return;
  }
  ASSERT_FALSE(rs.GetNull(fieldNo, rec));
  const std::uint8_t* slot = rec + f.Offset();
  auto raw = [&](auto v) {
    std::memcpy(&v, slot, sizeof v);
    return v;
  };
  const std::string& t = *peer;
  switch (f.DataType()) {
    case dtInt8: case dtInt16: case dtInt32: case dtInt64: case dtUInt8: case dtUInt16: case dtUInt32: case dtUInt64: {
      if (f.MySQLType() == 16) {
        std::uint64_t bits = 0;
        for (unsigned char c : t) bits = bits << 8 | c;
        EXPECT_EQ(static_cast<std::uint64_t>(raw(std::int64_t{})), bits);
      } else if (f.DataType() == dtUInt64) {
        EXPECT_EQ(raw(std::uint64_t{}), std::strtoull(t.c_str(), nullptr, 10));
      } else {
        EXPECT_EQ(rs.GetFieldAsVariant(fieldNo, rec).AsInt64(), std::strtoll(t.c_str(), nullptr, 10));
      }
      break;
    }
    case dtBoolean:
      EXPECT_EQ(rs.GetFieldAsVariant(fieldNo, rec).AsBoolean(), t != "0");
      break;
    case dtFloat:
      EXPECT_EQ(raw(double{}), std::strtod(t.c_str(), nullptr));
      break;
    case dtFMTBCD: {
      std::string norm = t;
      if (norm.find('.') != std::string::npos) {
        while (norm.back() == '0') norm.pop_back();
        if (norm.back() == '.') norm.pop_back();
      }
      if (norm == "-0") norm = "0";
      EXPECT_EQ(BcdToStr(raw(TBcd{})), norm);
      break;
    }
    case dtDate: case dtDateTime: case dtTime:
      EXPECT_EQ(raw(std::int64_t{}), ExpectedMicros(t, f.DataType() == dtTime));
      break;
    case dtString: case dtExtString:
      // Binary data read as text ends at its first zero byte.
      EXPECT_EQ(rs.GetFieldAsVariant(fieldNo, rec).AsString(), f.CharsetNr() == 63 ? t.substr(0, t.find('\0')) : t);
      break;
    case dtWideString: case dtExtWideString:
      EXPECT_EQ(Utf8Encode(rs.GetFieldAsVariant(fieldNo, rec).AsWideString()), t);
      break;
    case dtBytes: case dtVarBytes: case dtExtVarBytes:
      EXPECT_EQ(rs.GetFieldAsVariant(fieldNo, rec).AsBytes(), Variant::Bytes(t.begin(), t.end()));
      break;
    case dtBlob: case dtMemo: case dtWideMemo: {
      TBlob* b = rs.GetObject(fieldNo, rec);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->IsUnicode() ? Utf8Encode(b->AsWideString()) : b->AsAnsiString(), t);
      break;
    }
    default:
      ADD_FAILURE() << "type not compared";
  }
}

// Each test gets its own copy of the table: ctest runs the tests of this
// program in parallel processes against one server.
std::string TypesTable() {
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return "rs_types_" + std::to_string(std::hash<std::string>{}(test) % 100000000);
}

void CreateTypesTable(TMySQLConnection& c) {
  c.ExecStatement(std::string("DROP TABLE IF EXISTS ") + TypesTable());
  c.ExecStatement(std::string("CREATE TABLE ") + TypesTable() + R"( (
    id INT PRIMARY KEY, ti TINYINT, tb TINYINT(1), tu TINYINT UNSIGNED, si SMALLINT, su SMALLINT UNSIGNED,
    mi MEDIUMINT, mu MEDIUMINT UNSIGNED, i INT, iu INT UNSIGNED, bi BIGINT, bu BIGINT UNSIGNED,
    f FLOAT, d DOUBLE, dc DECIMAL(10,2), dm DECIMAL(65,30), b1 BIT(1), b64 BIT(64),
    dt DATE, tm TIME, tm6 TIME(6), dtt DATETIME, dt6 DATETIME(6), ts TIMESTAMP(3) NULL, y YEAR,
    c CHAR(10), vc VARCHAR(50), bn BINARY(8), vb VARBINARY(20), tt TINYTEXT, tx TEXT, mt MEDIUMTEXT,
    lt LONGTEXT, tbl TINYBLOB, bl BLOB, mb MEDIUMBLOB, lb LONGBLOB, e ENUM('a','bb','ccc'),
    st SET('x','y','z'), js JSON) CHARACTER SET utf8mb4)");
  c.ExecStatement("SET SESSION sql_mode = ''");
  c.ExecStatement(std::string("INSERT INTO ") + TypesTable() + R"( VALUES
    (1, 5, 1, 200, -300, 60000, -8000000, 16000000, -2000000000, 4000000000, -9000000000000000000,
     18000000000000000000, 3.14159, 2.718281828459045, 12345678.91,
     '12345678901234567890123456789012345.12345678901234567890123456789', b'1', b'1010101111001101',
     '2024-02-29', '-01:30:00', '26:00:00.250000', '2024-02-29 23:59:59', '2024-02-29 23:59:59.123456',
     '2024-02-29 12:00:00.5', 2024, 'fixed', 'caf\u00e9 \U0001F600', x'0102', x'00FF7F', 'tiny', 'text',
     'medium', 'long', x'00', x'DEADBEEF', x'', x'0001', 'bb', 'x,z', '{"k": [1, "\u00e9"]}'),
    (2, -128, 0, 0, -32768, 0, -8388608, 0, -2147483648, 0, -9223372036854775808, 0, -1e-30, -1.7976931348623157e308,
     -99999999.99, '-0.000000000000000000000000000001', b'0', b'0', '0000-00-00', '-838:59:59', '00:00:00',
     '0000-00-00 00:00:00', '1000-01-01 00:00:00.000001', NULL, 0, '', '', '', '', '', '', '', '', '', '', '', '',
     '', '', '[]'),
    (3, 127, 1, 255, 32767, 65535, 8388607, 16777215, 2147483647, 4294967295, 9223372036854775807,
     18446744073709551615, 3.4e38, 1.7976931348623157e308, 99999999.99,
     '99999999999999999999999999999999999.999999999999999999999999999', b'1',
     b'1111111111111111111111111111111111111111111111111111111111111111', '9999-12-31', '838:59:59',
     '838:59:59.999999', '9999-12-31 23:59:59', '9999-12-31 23:59:59.999499', '2038-01-19 03:14:07.999', 2155,
     'zzzzzzzzzz', REPEAT('\u00e9', 50), x'FFFFFFFFFFFFFFFF', REPEAT(x'FF', 20), REPEAT('t', 255),
     REPEAT('x', 70000), REPEAT('m', 100000), REPEAT('l', 300000), REPEAT(x'FE', 255), REPEAT(x'00', 65535),
     REPEAT(x'01', 100000), REPEAT(x'02', 200000), 'ccc', 'x,y,z', '{}'),
    (4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
     NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
     NULL, NULL, NULL, NULL))");
}

TEST_P(MyRecordsetServer, EveryColumnTypeAsThePeerReadsIt) {
  LUMO_REQUIRE_SERVER();
  for (bool unicode : {false, true}) {
    SCOPED_TRACE(unicode ? "UseUnicode" : "8-bit");
    auto conn = Connect(unicode);
    if (unicode) conn->SetProp(prEnableFmtBCD, true);  // exact decimals
    CreateTypesTable(*conn);
    const std::string sql = std::string("SELECT * FROM ") + TypesTable() + " ORDER BY id";
    TMySQLRecordset rs;
    rs.SetConnection(conn.get());
    rs.SetSQL(sql);
    rs.SetProp(prFetchAll, true);
    rs.Open();
    Peer peer(*conn);
    const auto expected = peer.Rows(sql);
    std::vector<TRecBuf> records = Records(rs);
    ASSERT_EQ(records.size(), expected.size());
    ASSERT_EQ(rs.FieldCount(), 40);
    EXPECT_EQ(rs.Fields()[2]->DataType(), dtBoolean);
    EXPECT_EQ(rs.Fields()[11]->DataType(), dtUInt64);
    EXPECT_EQ(rs.Fields()[15]->DataType(), unicode ? dtFMTBCD : dtFloat);
    EXPECT_EQ(rs.Fields()[26]->DataType(), unicode ? dtWideString : dtString);
    EXPECT_EQ(rs.Fields()[26]->Length(), 50);
    EXPECT_EQ(rs.Fields()[39]->DataType(), unicode ? dtWideMemo : dtMemo);
    for (std::size_t r = 0; r < records.size(); ++r)
      for (int f = 1; f <= rs.FieldCount(); ++f) ExpectSame(rs, f, records[r].get(), expected[r][f - 1]);
    // The table remembers its largest TIMESTAMP value.
    auto* table = dynamic_cast<TMyTableInfo*>(static_cast<TKxFieldDesc*>(rs.Fields()[23])->TableInfo());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->TimestampField(), rs.Fields()[23]);
    EXPECT_EQ(DateTimeToMicros(table->MaxTimestamp()), ExpectedMicros("2038-01-19 03:14:07.999", false));
    EXPECT_EQ(table->TableName(), TypesTable());
    rs.Close();
    // With NullForZeroDate off the zero date reads as ZeroDate.
    rs.SetProp(prNullForZeroDate, false);
    rs.Open();
    records = Records(rs);
    std::int64_t v = 0;
    std::memcpy(&v, records[1].get() + rs.Fields()[18]->Offset(), sizeof v);
    EXPECT_EQ(v, DateTimeToMicros(ZeroDate));
    rs.Close();
  }
}

void FillNumbers(TMySQLConnection& c, const std::string& table, int count) {
  c.ExecStatement("DROP TABLE IF EXISTS " + table);
  c.ExecStatement("CREATE TABLE " + table + " (id INT PRIMARY KEY, v VARCHAR(20))");
  c.ExecStatement("INSERT INTO " + table +
                  " WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < " +
                  std::to_string(count) + ") SELECT n, CONCAT('row ', n) FROM s");
}

TEST_P(MyRecordsetServer, BlocksOfFetchRows) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  FillNumbers(*conn, "rs_block_recset", 1000);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL("SELECT id, v FROM rs_block_recset ORDER BY id");
  rs.SetProp(prCreateConnection, false);
  int fetches = 0;
  rs.OnAfterFetch = [&] { ++fetches; };
  rs.Open();
  EXPECT_EQ(rs.FetchRows(), 25);
  EXPECT_EQ(rs.GetRecordCount(), 25);
  while (rs.Fetch()) EXPECT_EQ(rs.GetRecordCount() % 25, 0);
  EXPECT_EQ(rs.GetRecordCount(), 1000);
  EXPECT_EQ(fetches, 41);  // 40 full blocks and the one that finds the end
  const std::vector<TRecBuf> records = Records(rs);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(rs.GetFieldAsVariant(1, records[i].get()).AsInt32(), i + 1);
    ASSERT_EQ(rs.GetFieldAsVariant(2, records[i].get()).AsString(), "row " + std::to_string(i + 1));
  }
  rs.Close();
  conn->ExecStatement("SELECT 1");  // the session is free again
}

TEST_P(MyRecordsetServer, UnidirectionalWalkHoldsOneBlock) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  FillNumbers(*conn, "rs_unidir_recset", 1000);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL("SELECT id, v FROM rs_unidir_recset ORDER BY id");
  rs.SetProp(prUniDirectional, true);
  rs.SetProp(prCreateConnection, false);
  rs.Open();
  TRecBuf buf = rs.AllocRecBuf();
  int seen = 0, most = 0;
  for (rs.SetToBegin();;) {
    rs.GetNextRecord(buf.get());
    if (rs.GetEOF()) break;
    ++seen;
    most = std::max(most, rs.GetRecordCount());
    ASSERT_EQ(rs.GetFieldAsVariant(1, buf.get()).AsInt32(), seen);
    ASSERT_EQ(rs.GetFieldAsVariant(2, buf.get()).AsString(), "row " + std::to_string(seen));
  }
  EXPECT_EQ(seen, 1000);
  EXPECT_EQ(most, 25);
  rs.Close();
  conn->ExecStatement("SELECT 1");
}

TEST_P(MyRecordsetServer, AdditionalConnectionComesAndGoes) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  FillNumbers(*conn, "rs_extra_recset", 1000);
  int given = 0, returned = 0, valid = 0;
  conn->SetGetMySQLConnection([&] {
    ++given;
    auto c = std::make_unique<TMySQLConnection>();
    c->Assign(*conn);
    return c;
  });
  conn->SetReturnMySQLConnection([&](std::unique_ptr<TMySQLConnection>& c) {
    ++returned;
    valid += c->IsValid();
    c.reset();
  });
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());

  // Read to the end: the additional connection goes back, valid.
  rs.SetSQL("SELECT id FROM rs_extra_recset");
  rs.Open();
  ASSERT_NE(rs.ConnectionSwap(), nullptr);
  EXPECT_NE(rs.UsedConnection(), conn.get());
  conn->ExecStatement("UPDATE rs_extra_recset SET v = 'busy' WHERE id = 1");  // the user's session is free
  rs.FetchAll();
  EXPECT_EQ(rs.GetRecordCount(), 1000);
  EXPECT_EQ(rs.ConnectionSwap(), nullptr);
  EXPECT_EQ(rs.UsedConnection(), conn.get());
  EXPECT_EQ(given, 1);
  EXPECT_EQ(returned, 1);
  EXPECT_EQ(valid, 1);
  rs.Close();

  // An error while rows arrive: released as well.
  rs.SetSQL("SELECT id, IF(id = 500, (SELECT 1 UNION SELECT 2), id) FROM rs_extra_recset ORDER BY id");
  rs.Open();
  try {
    rs.FetchAll();
    ADD_FAILURE() << "no error";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1242);
  }
  EXPECT_EQ(rs.ConnectionSwap(), nullptr);
  EXPECT_EQ(returned, 2);
  rs.Close();

  // An error at execution.
  rs.SetSQL("SELECT nope FROM rs_extra_recset");
  EXPECT_THROW(rs.Open(), EMyError);
  EXPECT_EQ(rs.ConnectionSwap(), nullptr);
  EXPECT_EQ(given, 3);
  EXPECT_EQ(returned, 3);

  // Closed after a few rows: the unread rest is cut off by KILL; the
  // connection is not handed out again.
  rs.SetProp(prFetchRows, 3);
  rs.SetSQL("SELECT a.id FROM rs_extra_recset a, rs_extra_recset b");
  rs.Open();
  EXPECT_EQ(rs.GetRecordCount(), 3);
  rs.Close();
  EXPECT_EQ(returned, 4);
  EXPECT_EQ(valid, 2);  // read to the end, and after the error in the rows

  // A record set destroyed in the middle of its rows gives it back once.
  {
    TMySQLRecordset open;
    open.SetConnection(conn.get());
    open.SetProp(prFetchRows, 3);
    open.SetSQL("SELECT a.id FROM rs_extra_recset a, rs_extra_recset b");
    open.Open();
    ASSERT_NE(open.ConnectionSwap(), nullptr);
  }
  EXPECT_EQ(given, 5);
  EXPECT_EQ(returned, 5);
  conn->ExecStatement("SELECT 1");
}

TEST_P(MyRecordsetServer, FieldsWithoutRowsAndOutputParameters) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  FillNumbers(*conn, "rs_fields_recset", 3);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL("SELECT id, v AS name FROM rs_fields_recset r WHERE id > 0 LIMIT 2");
  rs.InitFields();  // described without reading rows
  ASSERT_EQ(rs.FieldCount(), 2);
  EXPECT_EQ(rs.Fields()[1]->Name(), "name");
  EXPECT_EQ(rs.Fields()[1]->ActualName(), "v");
  EXPECT_EQ(rs.Command().UserSQL(), "SELECT id, v AS name FROM rs_fields_recset r WHERE id > 0 LIMIT 2");
  ASSERT_EQ(rs.TablesInfo().Count(), 1);
  EXPECT_EQ(rs.TablesInfo()[0].TableName(), "rs_fields_recset");
  EXPECT_EQ(rs.TablesInfo()[0].TableAlias(), "r");
  conn->ExecStatement("SELECT 1");  // nothing left pending
  rs.Open();
  EXPECT_EQ(rs.GetRecordCount(), 2);
  rs.Close();

  // SHOW statements: lengths are characters already; the column type text gets room.
  auto uni = Connect(true);
  TMySQLRecordset show;
  show.SetConnection(uni.get());
  show.SetProp(prFetchAll, true);
  show.SetSQL("SHOW COLUMNS FROM rs_fields_recset");
  show.Open();
  EXPECT_EQ(show.GetRecordCount(), 2);
  EXPECT_EQ(show.FieldByName("Type").Length(), 256);
  EXPECT_EQ(show.FieldByName("Field").DataType(), dtWideString);
  EXPECT_EQ(Utf8Encode(show.GetFieldAsVariant(1, Records(show)[1].get()).AsWideString()), "v");
  show.Close();

  conn->ExecStatement("DROP PROCEDURE IF EXISTS rs_proc_recset");
  conn->ExecStatement(
      "CREATE PROCEDURE rs_proc_recset(IN a INT, OUT b INT, INOUT c VARCHAR(20)) "
      "BEGIN SET b = a * 2; SET c = CONCAT(c, '!'); END");
  TMySQLRecordset call;
  call.SetConnection(conn.get());
  TMySQLCommand& cmd = call.Command();
  cmd.CreateProcCall("rs_proc_recset", true, false);
  cmd.SetProp(prIsStoredProc, true);
  cmd.FindParam("a")->SetValue(21);
  cmd.FindParam("c")->SetValue(std::string("hi"));
  call.Open();
  EXPECT_EQ(call.GetRecordCount(), 1);
  EXPECT_TRUE(cmd.CanReadParams());
  EXPECT_EQ(cmd.FindParam("b")->GetValue().AsInt32(), 42);
  EXPECT_EQ(cmd.FindParam("c")->GetValue().AsString(), "hi!");
  call.Close();
  conn->ExecStatement("DROP PROCEDURE rs_proc_recset");
}

TEST_P(MyRecordsetServer, EachDescriptionFindsTheTablesOfItsColumns) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  const std::string a = TypesTable() + "_a", b = TypesTable() + "_b";
  FillNumbers(*conn, a, 2);
  FillNumbers(*conn, b, 2);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  auto tables = [&] {
    std::vector<std::string> out;
    for (int i = 0; i < rs.FieldCount(); ++i) {
      const TKxTableInfo* t = static_cast<TKxFieldDesc*>(rs.Fields()[i])->TableInfo();
      out.push_back(t ? t->TableName() + " " + t->TableAlias() : "-");
    }
    return out;
  };
  // Twice each, and the aliases swapped: the same alias names another
  // table. A joined table's name comes from its column description alone
  // (the FROM list is read up to the JOIN); the table list is emptied at
  // close, as the SQL data set does.
  auto open = [&](const std::string& sql) {
    rs.SetSQL(sql);
    rs.Open();
    std::vector<std::string> t = tables();
    rs.Close();
    rs.TablesInfo().Clear();
    return t;
  };
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(open("SELECT a.id, b.id, 1 AS one, a.v FROM " + a + " a JOIN " + b + " b ON a.id = b.id"),
              (std::vector<std::string>{a + " a", b + " b", "-", a + " a"}));
    EXPECT_EQ(open("SELECT a.id, b.v FROM " + b + " a JOIN " + a + " b ON a.id = b.id"),
              (std::vector<std::string>{b + " a", a + " b"}));
  }
  conn->ExecStatement("DROP TABLE " + a);
  conn->ExecStatement("DROP TABLE " + b);
}

TEST_P(MyRecordsetServer, MappingRulesChooseTheStoredType) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  conn->ExecStatement("DROP TABLE IF EXISTS rs_map_recset");
  conn->ExecStatement("CREATE TABLE rs_map_recset (id INT PRIMARY KEY, b BIGINT(5), t VARCHAR(10))");
  conn->ExecStatement("INSERT INTO rs_map_recset VALUES (1, 7, 'x'), (2, 1099511627776, 'y')");
  for (bool ignore : {false, true}) {
    TMySQLRecordset rs;
    rs.SetConnection(conn.get());
    rs.DataTypeMap().AddRule("", myBigint, -1, -1, -1, -1, dtInt32, -1, -1, ignore);
    rs.DataTypeMap().AddRule("t", 0, -1, -1, -1, -1, dtWideString, -1, -1, false);
    rs.SetSQL("SELECT id, b, t FROM rs_map_recset ORDER BY id");
    rs.SetProp(prFetchAll, true);
    if (!ignore) {
      // BIGINT(5) is stored as a 32-bit integer: 2^40 does not fit.
      EXPECT_THROW(rs.Open(), EConvertError);
      conn->ExecStatement("SELECT 1");  // the failed fetch left nothing pending
      continue;
    }
    rs.Open();
    EXPECT_EQ(rs.Fields()[1]->DataType(), dtInt32);
    EXPECT_EQ(rs.Fields()[2]->DataType(), dtWideString);
    const auto records = Records(rs);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(rs.GetFieldAsVariant(2, records[0].get()).AsInt32(), 7);
    EXPECT_EQ(rs.GetFieldAsVariant(2, records[1].get()).AsInt32(), INT32_MAX);  // errors ignored: the nearest limit
    EXPECT_EQ(rs.GetFieldAsVariant(3, records[1].get()).AsWideString(), u"y");
    rs.Close();
  }
}

TEST_P(MyRecordsetServer, SeveralResultsOpenOneAfterAnother) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  const std::string sql = "SET @rs_x = 7; SELECT @rs_x AS a; DO 1; SELECT 'two' AS b, 3 AS c";
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL(sql);
  rs.Open();
  ASSERT_EQ(rs.FieldCount(), 1);
  Variant more;
  rs.GetProp(prIsCanOpenNext, more);
  EXPECT_TRUE(more.AsBoolean());
  EXPECT_EQ(rs.GetFieldAsVariant(1, Records(rs)[0].get()).AsInt32(), 7);
  rs.Close();
  rs.SetProp(prOpenNext, true);
  rs.Open();
  rs.SetProp(prOpenNext, false);
  ASSERT_EQ(rs.FieldCount(), 2);
  EXPECT_EQ(rs.GetFieldAsVariant(1, Records(rs)[0].get()).AsString(), "two");
  rs.GetProp(prIsCanOpenNext, more);
  EXPECT_FALSE(more.AsBoolean());
  EXPECT_EQ(rs.ConnectionSwap(), nullptr);
  rs.Close();

  // Fetching all: the further results are reported, and drained at close.
  rs.SetProp(prFetchAll, true);
  rs.Open();
  rs.GetProp(prIsCanOpenNext, more);
  EXPECT_TRUE(more.AsBoolean());
  rs.Close();
  conn->ExecStatement("SELECT 1");
}


// The same value in two record sets (the same field of both).
void ExpectSameValue(TMySQLRecordset& a, std::uint8_t* ra, TMySQLRecordset& b, std::uint8_t* rb, int fieldNo) {
  const TFieldDesc& f = *a.Fields()[fieldNo - 1];
  SCOPED_TRACE(f.Name());
  ASSERT_EQ(f.DataType(), b.Fields()[fieldNo - 1]->DataType());
  ASSERT_EQ(a.GetNull(fieldNo, ra), b.GetNull(fieldNo, rb));
  if (a.GetNull(fieldNo, ra)) return;
  const Variant va = a.GetFieldAsVariant(fieldNo, ra), vb = b.GetFieldAsVariant(fieldNo, rb);
  auto raw = [&](std::uint8_t* rec, auto v) {
    std::memcpy(&v, rec + f.Offset(), sizeof v);
    return v;
  };
  switch (f.DataType()) {
    case dtFloat:
      EXPECT_EQ(raw(ra, double{}), raw(rb, double{}));
      break;
    case dtDate: case dtTime: case dtDateTime:
      EXPECT_EQ(raw(ra, std::int64_t{}), raw(rb, std::int64_t{}));
      break;
    case dtUInt64:
      EXPECT_EQ(va.AsUInt64(), vb.AsUInt64());
      break;
    case dtFMTBCD:
      EXPECT_EQ(BcdToStr(va.AsBcd()), BcdToStr(vb.AsBcd()));
      break;
    case dtWideString: case dtExtWideString:
      EXPECT_EQ(va.AsWideString(), vb.AsWideString());
      break;
    case dtBytes: case dtVarBytes: case dtExtVarBytes:
      EXPECT_EQ(va.AsBytes(), vb.AsBytes());
      break;
    case dtBlob: case dtMemo: case dtWideMemo:
      EXPECT_EQ(a.GetObject(fieldNo, ra)->AsBytes(), b.GetObject(fieldNo, rb)->AsBytes());
      break;
    default:
      EXPECT_EQ(va.AsString(), vb.AsString());
      break;
  }
}

TEST_P(MyRecordsetServer, PreparedReadsEveryColumnTypeAsTheTextPathAndThePeer) {
  LUMO_REQUIRE_SERVER();
  for (bool unicode : {false, true}) {
    SCOPED_TRACE(unicode ? "UseUnicode" : "8-bit");
    auto conn = Connect(unicode);
    if (unicode) conn->SetProp(prEnableFmtBCD, true);
    CreateTypesTable(*conn);
    const std::string sql = std::string("SELECT * FROM ") + TypesTable() + " ORDER BY id";
    TMySQLRecordset text;
    text.SetConnection(conn.get());
    text.SetSQL(sql);
    text.SetProp(prFetchAll, true);
    text.Open();
    const std::vector<TRecBuf> want = Records(text);
    TMySQLRecordset rs;
    rs.SetConnection(conn.get());
    rs.SetSQL(sql);
    // Blocks of two rows on the additional connection (8-bit), or all at once.
    rs.SetProp(prFetchAll, unicode);
    rs.SetProp(prFetchRows, 2);
    rs.Prepare();
    EXPECT_TRUE(rs.Command().GetPrepared());
    EXPECT_EQ(rs.ConnectionSwap() != nullptr, !unicode);
    const auto peer = Peer(*conn).Rows(sql);
    for (int round = 0; round < 2; ++round) {  // opened twice on one statement
      rs.Open();
      ASSERT_EQ(rs.FieldCount(), text.FieldCount());
      const std::vector<TRecBuf> got = Records(rs);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t r = 0; r < got.size(); ++r) {
        for (int f = 1; f <= rs.FieldCount(); ++f) {
          ExpectSameValue(text, want[r].get(), rs, got[r].get(), f);
          ExpectSame(rs, f, got[r].get(), peer[r][f - 1]);
        }
      }
      rs.Close();
    }
    // The statement stays on its connection until it is unprepared.
    EXPECT_EQ(rs.ConnectionSwap() != nullptr, !unicode);
    rs.UnPrepare();
    EXPECT_FALSE(rs.Command().GetPrepared());
    EXPECT_EQ(rs.ConnectionSwap(), nullptr);
    conn->ExecStatement("SELECT 1");
  }
}

TEST_P(MyRecordsetServer, PreparedParametersWriteEveryColumnTypeBack) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect(true);
  conn->SetProp(prEnableFmtBCD, true);
  CreateTypesTable(*conn);
  const std::string copy = std::string(TypesTable()) + "_copy";
  conn->ExecStatement("DROP TABLE IF EXISTS " + copy);
  conn->ExecStatement("CREATE TABLE " + copy + " LIKE " + TypesTable());
  TMySQLRecordset original;
  original.SetConnection(conn.get());
  original.SetSQL(std::string("SELECT * FROM ") + TypesTable() + " ORDER BY id");
  original.SetProp(prFetchAll, true);
  original.Open();
  const std::vector<TRecBuf> rows = Records(original);
  const int n = original.FieldCount();

  TMySQLCommand ins;
  ins.SetConnection(conn.get());
  std::string sql = "INSERT INTO " + copy + " VALUES (";
  for (int f = 1; f <= n; ++f) sql += (f > 1 ? ", :p" : ":p") + std::to_string(f);
  ins.SetSQL(sql + ")");
  ASSERT_EQ(ins.GetParamCount(), n);
  for (int f = 1; f <= n; ++f) {
    // Binary strings read as 8-bit text are no UTF-8 text: they go as bytes.
    const auto& field = static_cast<const TMySQLFieldDesc&>(*original.Fields()[f - 1]);
    const bool bytes = field.CharsetNr() == 63 && IsStringFieldType(field.DataType());
    ins.GetParam(f - 1).SetDataType(bytes ? dtVarBytes : field.DataType());
  }
  ins.Prepare();
  for (const TRecBuf& rec : rows) {
    for (int f = 1; f <= n; ++f) {
      TParamDesc& p = ins.GetParam(f - 1);
      if (original.GetNull(f, rec.get()))
        p.SetNull(true);
      else if (IsBlobFieldType(p.DataType()))
        p.SetObject(original.GetObject(f, rec.get()));
      else
        p.SetValue(original.GetFieldAsVariant(f, rec.get()));
    }
    ins.Execute();
    EXPECT_EQ(ins.RowsAffected(), 1);
  }
  ins.Unprepare();

  for (bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "prepared" : "text");
    TMySQLRecordset back;
    back.SetConnection(conn.get());
    back.SetSQL("SELECT * FROM " + copy + " ORDER BY id");
    back.SetProp(prFetchAll, true);
    if (prepared) back.Prepare();
    back.Open();
    const std::vector<TRecBuf> got = Records(back);
    ASSERT_EQ(got.size(), rows.size());
    for (std::size_t r = 0; r < got.size(); ++r) {
      // Every value, 838:59:59.999999 and other fractions to the
      // microsecond among them, comes back as it went.
      for (int f = 1; f <= n; ++f) ExpectSameValue(original, rows[r].get(), back, got[r].get(), f);
    }
    back.Close();
  }
}

TEST_P(MyRecordsetServer, PreparedStatementsOpenAgainRefuseOpenNextAndCallProcedures) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  FillNumbers(*conn, "rs_prep_numbers", 100);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL("SELECT id, v FROM rs_prep_numbers WHERE id >= :lo ORDER BY id");
  rs.SetProp(prFetchAll, true);
  ASSERT_EQ(rs.Command().GetParamCount(), 1);
  rs.Command().GetParam(0).SetDataType(dtInt32);
  rs.Prepare();
  for (int lo : {91, 96, 101}) {
    rs.Command().GetParam(0).SetValue(Variant(lo));
    rs.Open();
    const auto records = Records(rs);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(101 - lo));
    if (!records.empty()) {
      EXPECT_EQ(rs.GetFieldAsVariant(1, records[0].get()).AsInt32(), lo);
    }
    rs.Close();
  }
  rs.SetProp(prOpenNext, true);
  try {
    rs.Open();
    ADD_FAILURE() << "opened the next result of a prepared statement";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot OpenNext if statement is Prepared");
  }
  rs.SetProp(prOpenNext, false);
  rs.UnPrepare();

  // A prepared CALL: its first result set is read, the rest is dropped.
  conn->ExecStatement("DROP PROCEDURE IF EXISTS rs_prep_two");
  conn->ExecStatement("CREATE PROCEDURE rs_prep_two() BEGIN SELECT 1 AS a UNION SELECT 2; SELECT 'x' AS b; END");
  TMySQLRecordset call;
  call.SetConnection(conn.get());
  call.SetSQL("CALL rs_prep_two()");
  call.SetProp(prFetchAll, true);
  call.Prepare();
  for (int round = 0; round < 2; ++round) {
    call.Open();
    ASSERT_EQ(call.FieldCount(), 1);
    EXPECT_EQ(Records(call).size(), 2u);
    call.Close();
    conn->ExecStatement("SELECT 1");  // nothing is left pending
  }
  call.UnPrepare();
}

// The all-types table through the wire client and through the client
// library, text rows and binary rows: field for field the same records.
TEST(MyRecordsetFacades, TypesTableReadsTheSameThroughBothFacades) {
  LUMO_REQUIRE_SERVER();
  for (bool unicode : {false, true}) {
    SCOPED_TRACE(unicode ? "UseUnicode" : "8-bit");
    auto wire = Connect(unicode);
    auto library = Connect(unicode);
    library->Disconnect();
    library->SetProp(prDirect, false);
    library->Connect("");
    ASSERT_NE(library->MySQLAPI(), wire->MySQLAPI());
    CreateTypesTable(*wire);
    for (bool prepared : {false, true}) {
      SCOPED_TRACE(prepared ? "prepared" : "text");
      TMySQLRecordset a, b;
      for (auto [rs, conn] : {std::pair{&a, wire.get()}, std::pair{&b, library.get()}}) {
        rs->SetConnection(conn);
        rs->SetSQL(std::string("SELECT * FROM ") + TypesTable() + " ORDER BY id");
        rs->SetProp(prFetchAll, true);
        if (prepared) rs->Prepare();
        rs->Open();
      }
      ASSERT_EQ(a.FieldCount(), b.FieldCount());
      const std::vector<TRecBuf> ra = Records(a), rb = Records(b);
      ASSERT_EQ(ra.size(), rb.size());
      for (int f = 1; f <= a.FieldCount(); ++f) {
        EXPECT_EQ(a.Fields()[f - 1]->Length(), b.Fields()[f - 1]->Length()) << a.Fields()[f - 1]->Name();
        for (std::size_t r = 0; r < ra.size(); ++r) ExpectSameValue(a, ra[r].get(), b, rb[r].get(), f);
      }
    }
  }
}

}  // namespace
}  // namespace lumo
