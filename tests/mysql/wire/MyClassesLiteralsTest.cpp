// The MySQL literal writer: the escape table in both escaping modes,
// multi-byte character sets whose trail bytes can be a backslash, typed
// numbers, dates, times, booleans, blobs with compressed sending and the
// UseUnicode conversions; against the server, random bytes sent through
// literals under several character sets and both sql_modes come back
// unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include <lumokit/core/CodePages.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/TestServer.h"

namespace lumo {
namespace {

std::string Lit(std::uint16_t dt, const Variant& v, bool useUnicode = false, bool backslashes = true,
                const std::string& charset = "", int serverVer = 10, bool compressed = false) {
  std::string s = "x";  // appends after what is there
  AppendValueToSQL(s, dt, v, false, useUnicode, compressed, backslashes, serverVer, charset);
  return s.substr(1);
}

TEST(MyLiterals, EscapeTableInBothModes) {
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    std::string expected = in;
    switch (b) {
      case 0: expected = "\\0"; break;
      case '\n': expected = "\\n"; break;
      case '\r': expected = "\\r"; break;
      case 26: expected = "\\Z"; break;
      case '"': expected = "\\\""; break;
      case '\'': expected = "\\'"; break;
      case '\\': expected = "\\\\"; break;
    }
    EXPECT_EQ(EscapeAndQuoteStr(in, true, "latin1"), "'" + expected + "'") << b;
    EXPECT_EQ(EscapeAndQuoteStr(in, false, "latin1"), b == '\'' ? "''''" : "'" + in + "'") << b;
    if (b < 128) {
      const std::u16string w(1, static_cast<char16_t>(b));
      EXPECT_EQ(EscapeAndQuoteWideStr(w, true), u"'" + Utf8ToUtf16(expected) + u"'") << b;
    }
  }
  EXPECT_EQ(EscapeAndQuoteStr("O'Brien\\", true, ""), "'O\\'Brien\\\\'");
  EXPECT_EQ(EscapeAndQuoteStr("O'Brien\\", false, ""), "'O''Brien\\'");
  EXPECT_EQ(EscapeAndQuoteWideStr(u"O'Brien\\\u4E00", false), u"'O''Brien\\\u4E00'");
  EXPECT_EQ(EscapeAndQuoteWideStr(u"\u4E5C'", true), u"'\u4E5C\\''");  // high bytes of 0x5C are no backslash
  EXPECT_EQ(Lit(dtString, Variant("O'Brien\\"), false, false), "'O''Brien\\'");
}

TEST(MyLiterals, MultiByteCharsetsKeepCharactersAndEscapeLoneLeadBytes) {
  struct Case {
    const char* charset;
    std::string in;
    std::string backslash;  // expected inside the quotes, backslash mode
  };
  const Case cases[] = {
      // A valid character whose trail byte is 0x5C is copied whole.
      {"gbk", "\x81\x5C", "\x81\x5C"},
      {"gbk", "\x81\x5C\x5C", "\x81\x5C\\\\"},
      // A lead byte before a quote starts no character: it is escaped, so
      // the server cannot join it with the backslash of the escaped quote.
      {"gbk", "\x81\x27", "\\\x81\\'"},
      {"gbk", "a\x81", "a\\\x81"},  // cut off at the end
      {"GBK", "\xFE\x40", "\xFE\x40"},
      {"big5", "\xA1\x5C", "\xA1\x5C"},
      {"big5", "\xA0\x5C", "\xA0\\\\"},  // 0xA0 leads nothing in big5
      {"big5", "\xA1\x27", "\\\xA1\\'"},
      {"big5", "\xA1\x80", "\\\xA1\x80"},  // 0x80 is no big5 trail byte
      {"sjis", "\x95\x5C", "\x95\x5C"},
      {"sjis", "\xA1\x5C", "\xA1\\\\"},  // half-width katakana: single byte
      {"sjis", "\xE0\x5C\x9F", "\xE0\x5C\\\x9F"},
      {"cp932", "\x81\x5C\x27", "\x81\x5C\\'"},
      {"gb18030", "\x81\x30\x81\x30\x5C", "\x81\x30\x81\x30\\\\"},  // four-byte character
      {"gb18030", "\x81\x30\x27", "\\\x81" "0\\'"},
      {"gb18030", "\x81\x30\x81", "\\\x81" "0\\\x81"},
      {"gb18030", "\x95\x5C", "\x95\x5C"},
      {"euckr", "\xB0\x41", "\xB0\x41"},
      {"euckr", "\xB0\x5C", "\\\xB0\\\\"},  // 0x5C is no euckr trail byte
      // Single-byte and UTF-8 sets: byte by byte, as before.
      {"latin1", "\x81\x5C", "\x81\\\\"},
      {"utf8mb4", "\xC3\xA9'\x81\x5C", "\xC3\xA9\\'\x81\\\\"},
      {"binary", "\xBF\x27", "\xBF\\'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeAndQuoteStr(c.in, true, c.charset), "'" + c.backslash + "'") << c.charset << " " << c.in;
    // Without backslashes only the quote is doubled: no multi-byte
    // character of these sets holds a quote byte.
    std::string doubled;
    for (char ch : c.in) doubled += ch == '\'' ? std::string("''") : std::string(1, ch);
    EXPECT_EQ(EscapeAndQuoteStr(c.in, false, c.charset), "'" + doubled + "'") << c.charset << " " << c.in;
  }
  EXPECT_EQ(Lit(dtString, Variant("\x81\x27"), false, true, "gbk"), "'\\\x81\\''");
}

TEST(MyLiterals, TimesDatesAndZeroDate) {
  const TDateTime hour = 1.0 / 24;
  struct Case {
    std::uint16_t dt;
    Variant v;
    const char* expected;
  };
  const Case cases[] = {
      {dtTime, Variant(-1.5 * hour), "'-1:30:00'"},
      {dtTime, Variant(26 * hour), "'26:00:00'"},
      {dtTime, Variant::FromDate(EncodeTime(7, 5, 9, 0)), "'7:05:09'"},
      {dtTime, Variant((1.5 / 86400)), "'0:00:01.5'"},
      {dtTime, Variant(-(3723.25 / 86400)), "'-1:02:03.25'"},
      {dtTime, Variant("12:30:00"), "'12:30:00'"},
      {dtDate, Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 1, 2, 0)), "'2024-02-29'"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)), "'2024-01-02 03:04:05'"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 120)), "'2024-01-02 03:04:05.12'"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(999, 12, 31, 23, 59, 59, 7)), "'0999-12-31 23:59:59.007'"},
      {dtDateTime, Variant("2001-02-03 04:05:06"), "'2001-02-03 04:05:06'"},
      {dtSQLTimeStamp, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 500)), "'2024-01-02 03:04:05.5'"},
      {dtSQLTimeStamp, Variant(TSQLTimeStamp{0, 0, 0, 0, 0, 0, 0}), "'0000-00-00 00:00:00'"},
      {dtDateTime, Variant(TSQLTimeStamp{2020, 5, 6, 7, 8, 9, 10}), "'2020-05-06 07:08:09.01'"},
      {dtDate, Variant::FromDate(ZeroDate), "'0000-00-00 00:00:00'"},
      {dtTime, Variant::FromDate(ZeroDate), "'0000-00-00 00:00:00'"},
      {dtDateTime, Variant::FromDate(EncodeDate(100, 1, 1)), "'0000-00-00 00:00:00'"},
      {dtDateTime, Variant::Null(), "NULL"},
      // Microseconds, from date variants of micros, text and doubles near today.
      {dtDateTime, Variant::FromDateMicros(Variant("9999-12-31 23:59:59.999999").AsDateMicros()),
       "'9999-12-31 23:59:59.999999'"},
      {dtDateTime, Variant("2026-03-04 05:06:07.019400"), "'2026-03-04 05:06:07.0194'"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2026, 3, 4, 5, 6, 7, 19) + 0.4 / SecsPerDay / 1000),
       "'2026-03-04 05:06:07.0194'"},
      {dtTime, Variant::FromDateMicros(-MaxTimeSpanMicros), "'-838:59:59.999999'"},
      {dtTime, Variant::FromDateMicros(26 * 3600 * USecsPerSec + 1), "'26:00:00.000001'"},
  };
  for (const Case& c : cases) EXPECT_EQ(Lit(c.dt, c.v), c.expected) << c.expected;
  EXPECT_THROW(Lit(dtDateTime, Variant("not a date")), EConvertError);
  EXPECT_THROW(Lit(dtTime, Variant(std::numeric_limits<double>::quiet_NaN())), EConvertError);
}

TEST(MyLiterals, BooleansByServerVersionAndSwitch) {
  // {switch, server version, value, literal}
  const std::tuple<bool, int, Variant, const char*> cases[] = {
      {false, 10, Variant(true), "1"}, {false, 5, Variant("False"), "0"}, {true, 5, Variant(true), "b'1'"},
      {true, 10, Variant(0), "b'0'"},  {true, 4, Variant(true), "1"}};
  for (const auto& [sw, ver, v, expected] : cases) {
    __UseNewBooleanParamType = sw;
    EXPECT_EQ(Lit(dtBoolean, v, false, true, "", ver), expected) << sw << ver;
  }
  __UseNewBooleanParamType = false;
  EXPECT_THROW(Lit(dtBoolean, Variant("1 OR 1=1")), EConvertError);
}

TEST(MyLiterals, NumbersAreTypedAndNeverPastedRaw) {
  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  comma.ThousandSeparator = '.';
  TFormatSettingsOverride guard(comma);
  struct Case {
    std::uint16_t dt;
    Variant v;
    const char* expected;
  };
  const Case cases[] = {
      {dtInt32, Variant(42), "42"},
      {dtInt32, Variant(" -7 "), "-7"},
      {dtInt64, Variant(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {dtUInt64, Variant("18446744073709551615"), "18446744073709551615"},
      {dtInt32, Variant(2.5), "2.5"},
      {dtFloat, Variant(0.1), "0.1"},
      {dtFloat, Variant(0.1 + 0.2), "0.30000000000000004"},
      {dtFloat, Variant("2.5"), "2.5"},
      {dtFloat, Variant("2,5"), "2.5"},
      {dtFloat, Variant(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
      {dtSingle, Variant(0.1), "0.1"},
      {dtCurrency, Variant(Currency::FromScaled(125000)), "12.5"},
      {dtCurrency, Variant("-3.25"), "-3.25"},
      {dtBCD, Variant(1.5), "1.5"},
      {dtFMTBCD, Variant("123.4500"), "123.45"},
      {dtFMTBCD, Variant(StrToBcd("-0,001")), "-0.001"},
      {dtGuid, Variant("{F19D8C39-5558-3849-A652-87CEE0C6DA7E}"), "'{F19D8C39-5558-3849-A652-87CEE0C6DA7E}'"},
      {dtVariant, Variant("1); DROP TABLE t; --"), "'1); DROP TABLE t; --'"},
      {dtInt32, Variant(), "NULL"},
      {dtString, Variant::Null(), "''"},
  };
  for (const Case& c : cases) EXPECT_EQ(Lit(c.dt, c.v), c.expected) << c.expected;
  // Text that is not a number of the declared type raises.
  for (std::uint16_t dt : {dtInt32, dtInt8, dtUInt16, dtFloat, dtSingle, dtCurrency, dtBCD, dtFMTBCD})
    EXPECT_THROW(Lit(dt, Variant("1 OR 1=1")), EConvertError) << dt;
  EXPECT_THROW(Lit(dtInt8, Variant("300")), EConvertError);
  EXPECT_THROW(Lit(dtUInt32, Variant("-1")), EConvertError);
  const double inf = std::numeric_limits<double>::infinity();
  for (std::uint16_t dt : {dtFloat, dtSingle, dtCurrency, dtFMTBCD, dtInt32}) {
    EXPECT_THROW(Lit(dt, Variant(std::numeric_limits<double>::quiet_NaN())), EConvertError) << dt;
    EXPECT_THROW(Lit(dt, Variant(-inf)), EConvertError) << dt;
  }
  EXPECT_THROW(Lit(dtSingle, Variant(1e300)), EConvertError);
}

// dtCurrency is written like dtFloat: a double keeps every digit it
// has (shortest round-trip text), it is not rounded to four decimals.
TEST(MyLiterals, CurrencyParametersAreNotRounded) {
  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  comma.ThousandSeparator = '.';
  TFormatSettingsOverride guard(comma);
  EXPECT_EQ(Lit(dtCurrency, Variant(1.23456)), "1.23456");
  EXPECT_EQ(Lit(dtCurrency, Variant(0.1 + 0.2)), "0.30000000000000004");
  EXPECT_EQ(Lit(dtCurrency, Variant(-0.00005)), "-5e-05");
  EXPECT_EQ(Lit(dtCurrency, Variant(1e20)), "1e+20");  // beyond the currency range: not an overflow
  EXPECT_EQ(Lit(dtCurrency, Variant(1.5f)), "1.5");
  EXPECT_EQ(Lit(dtCurrency, Variant("1,23456")), "1.23456");
  EXPECT_EQ(Lit(dtCurrency, Variant("1.23456")), "1.23456");
  // Values of the currency kind and integers are written as they are.
  EXPECT_EQ(Lit(dtCurrency, Variant(Currency::FromScaled(-12345))), "-1.2345");
  EXPECT_EQ(Lit(dtCurrency, Variant(std::int64_t{9007199254740993})), "9007199254740993");
  // dtBCD stays the currency value.
  EXPECT_EQ(Lit(dtBCD, Variant(1.23456)), "1.2346");
}

// Undoes the backslash escapes of a literal written without a character set.
std::string Unescape(const std::string& lit) {
  std::string out;
  for (std::size_t i = 1; i + 1 < lit.size(); ++i) {
    char c = lit[i];
    if (c == '\\') {
      c = lit[++i];
      c = c == '0' ? '\0' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 'Z' ? '\x1A' : c;
    }
    out += c;
  }
  return out;
}

TEST(MyLiterals, BlobsAndCompressedSending) {
  auto blobOf = [](const std::string& content, bool compressedKind) {
    TSharedRef<TBlob> b = compressedKind ? TSharedRef<TBlob>(NewShared<TCompressedBlob>()) : NewShared<TBlob>();
    b->SetAsString(content);
    return b;
  };
  for (bool compressedKind : {false, true}) {
    const std::string small(40, 'a'), large(51, 'a');
    // 40 bytes go plain even with compressed sending on.
    EXPECT_EQ(Lit(dtBlob, Variant(blobOf(small, compressedKind)), false, true, "", 10, true), "'" + small + "'");
    // 51 bytes go in the compressed form, which reads back as the content;
    // its bytes are never re-encoded, also for a text type with UseUnicode.
    const std::string sent = Unescape(Lit(compressedKind ? dtMemo : dtBlob, Variant(blobOf(large, compressedKind)),
                                          compressedKind, true, "", 10, true));
    ASSERT_GT(sent.size(), 20u);
    EXPECT_EQ(std::memcmp(sent.data(), CCompressBlobHeaderGuid, CCompressBlobHeaderGuidSize), 0);
    TCompressedBlob check;
    check.Write(0, static_cast<std::int64_t>(sent.size()), sent.data());
    EXPECT_EQ(check.AsString(), large);
    // Without compressed sending the content goes as it is.
    EXPECT_EQ(Lit(dtBlob, Variant(blobOf(large, compressedKind)), false, true, "", 10, false), "'" + large + "'");
  }
  // A compressed blob sent without compressed sending is decompressed.
  auto cb = NewShared<TCompressedBlob>();
  cb->SetAsString(std::string(200, 'q') + "'\\");
  cb->SetCompressed(true);
  ASSERT_TRUE(cb->Compressed());
  EXPECT_EQ(Lit(dtMemo, Variant(TSharedRef<TBlob>(cb))), "'" + std::string(200, 'q') + "\\'\\\\'");
  // Pieces are joined; an empty blob is ''.
  auto pieces = NewShared<TBlob>();
  pieces->SetPieceSize(3);
  pieces->SetAsString("ab'cdefg");
  EXPECT_EQ(Lit(dtBlob, Variant(TSharedRef<TBlob>(pieces))), "'ab\\'cdefg'");
  EXPECT_EQ(Lit(dtBlob, Variant(TSharedRef<TBlob>(NewShared<TBlob>()))), "''");
}

TEST(MyLiterals, UseUnicodeConversions) {
  const std::u16string wide = u"\u00E9\u20AC\U0001F600'";
  const std::string utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\\'";
  EXPECT_EQ(Lit(dtWideString, Variant(wide), true), "'" + utf8 + "'");
  auto wideBlob = NewShared<TBlob>(true);
  wideBlob->SetAsWideString(wide);
  EXPECT_EQ(Lit(dtWideMemo, Variant(TSharedRef<TBlob>(wideBlob)), true), "'" + utf8 + "'");
  // Without UseUnicode a 16-bit text blob goes in the process page (UTF-8 here), not as UTF-16 bytes.
  EXPECT_EQ(Lit(dtWideMemo, Variant(TSharedRef<TBlob>(wideBlob)), false), "'" + utf8 + "'");
  // Bytes are never re-encoded, whatever UseUnicode says.
  EXPECT_EQ(Lit(dtVarBytes, Variant::FromBytes("\xE9\xFF", 2), true), "'\xE9\xFF'");
  EXPECT_EQ(Lit(dtBlob, Variant("\xE9"), true), "'\xE9'");
  {
    TCodePageOverride page(1252);
    // 8-bit text is in the process page: converted to UTF-8 with UseUnicode.
    EXPECT_EQ(Lit(dtString, Variant("\xE9'"), true), "'\xC3\xA9\\''");
    EXPECT_EQ(Lit(dtString, Variant("\xE9'"), false), "'\xE9\\''");
    EXPECT_EQ(Lit(dtWideString, Variant(u"\u00E9"), false), "'\xE9'");
    auto ansiBlob = NewShared<TBlob>();
    ansiBlob->SetAsString("\x80");
    EXPECT_EQ(Lit(dtMemo, Variant(TSharedRef<TBlob>(ansiBlob)), true), "'\xE2\x82\xAC'");
  }
  // Invalid UTF-8 in 8-bit text with the UTF-8 process page is cleaned up.
  EXPECT_EQ(Lit(dtString, Variant("a\xFF"), true), "'a\xEF\xBF\xBD'");
}

TEST(MyLiterals, WideFormAndValueToSQL) {
  std::u16string w = u"x";
  AppendValueToSQL(w, dtWideString, Variant(u"O'B\u4E00"), false, true, false, true, 10, "utf8mb4");
  AppendValueToSQL(w, dtInt32, Variant(42), false, true, false, true, 10, "utf8mb4");
  AppendValueToSQL(w, dtString, Variant(), true, true, false, true, 10, "utf8mb4");
  AppendValueToSQL(w, dtDateTime, Variant::FromDate(EncodeDate(2020, 1, 2)), false, false, false, true, 10, "");
  EXPECT_EQ(w, u"x'O\\'B\u4E00'42NULL'2020-01-02 00:00:00'");
  // The escaping mode unknown: quotes doubled (read alike in both modes),
  // a backslash makes it a hexadecimal literal.
  EXPECT_EQ(ValueToSQL(dtString, Variant("O'Brien"), false, false, false, 10), "'O''Brien'");
  EXPECT_EQ(ValueToSQL(dtString, Variant("O'Brien\\"), false, false, false, 10), "X'4F27427269656E5C'");
  EXPECT_EQ(ValueToSQL(dtString, Variant("O'Brien\\"), false, false, false, 10, true), "'O\\'Brien\\\\'");
  EXPECT_EQ(ValueToSQL(dtString, Variant("O'Brien\\"), false, false, false, 10, false), "'O''Brien\\'");
  EXPECT_EQ(ValueToSQL(dtInt32, Variant(5), true, false, false, 10), "NULL");
}

// ---- against the server ------------------------------------------------------------

TMySQLAPIDirect& Api() {
  RegisterMySqlApiDirect();
  return *MyAPIDirect;
}

struct Conn {
  PMYSQL_CON h = nullptr;
  explicit Conn(const std::string& charset) {
    h = Api().mysql_init(nullptr);
    Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 10);
    const auto& s = test::TestServer();
    if (!Api().mysql_real_connect(h, s.host, s.user, s.password, s.scratchDatabase, s.port, "", 0)) {
      ADD_FAILURE() << Api().mysql_error(h);
      Api().mysql_close(h);
      h = nullptr;
      return;
    }
    Exec("SET NAMES " + charset);
  }
  ~Conn() {
    if (h) Api().mysql_close(h);
  }
  bool Exec(const std::string& sql) {
    if (Api().mysql_real_query(h, sql.data(), sql.size()) == 0) return true;
    ADD_FAILURE() << Api().mysql_error(h) << "\n" << sql.substr(0, 300);
    return false;
  }
  std::vector<std::string> Row(const std::string& sql) {
    std::vector<std::string> out;
    if (!Exec(sql)) return out;
    PMYSQL_RES r = Api().mysql_store_result(h);
    if (!r) return out;
    const auto n = Api().mysql_num_fields(r);
    if (PMYSQL_ROW row = Api().mysql_fetch_row(r))
      for (std::uint32_t i = 0; i < n; ++i) out.push_back(Api()._mysql_fetch_value_str(row, i));
    Api().mysql_free_result(r);
    return out;
  }
};

std::string Hex(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// Random text valid in the character set, weighted towards the bytes that
// matter: quotes, backslashes, NUL, line ends, and multi-byte characters
// whose trail byte is 0x5C.
std::string ValidText(const std::string& charset, std::mt19937& rng, int chars) {
  const char specials[] = {'\'', '\\', '"', '\0', '\n', '\r', '\x1A', 'a', '%', '_'};
  auto pick = [&](int lo, int hi) { return static_cast<char>(std::uniform_int_distribution<int>(lo, hi)(rng)); };
  std::string s;
  for (int i = 0; i < chars; ++i) {
    const int kind = static_cast<int>(rng() % 4);
    if (kind == 0) {
      s += specials[rng() % sizeof(specials)];
    } else if (kind == 1 || charset == "latin1") {
      s += charset == "latin1" ? pick(0, 255) : pick(0, 127);
    } else if (charset == "utf8mb4") {
      char buf[4];
      char32_t cp = static_cast<char32_t>(std::uniform_int_distribution<int>(0x80, 0x10FFFF)(rng));
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x4E00;
      s.append(buf, EncodeUtf8Char(cp, buf));
    } else {
      char lead, trail = kind == 2 ? '\x5C' : '\0';
      if (charset == "gbk") {
        lead = pick(0x81, 0xFE);
        if (!trail) trail = rng() % 2 ? pick(0x40, 0x7E) : pick(0x80, 0xFE);
      } else if (charset == "big5") {
        lead = pick(0xA1, 0xF9);
        if (!trail) trail = rng() % 2 ? pick(0x40, 0x7E) : pick(0xA1, 0xFE);
      } else {  // sjis
        lead = rng() % 2 ? pick(0x81, 0x9F) : pick(0xE0, 0xEF);
        if (!trail) trail = rng() % 2 ? pick(0x40, 0x7E) : pick(0x80, 0xFC);
      }
      s += lead;
      s += trail;
    }
  }
  return s;
}

// Random bytes 0x00-0xFF go into VARBINARY and BLOB unchanged; text valid in
// the connection's character set goes into a TEXT column of that set
// unchanged. A TEXT column only holds well-formed text, so it gets valid
// text that is rich in 0x5C trail bytes and specials rather than raw bytes.
TEST(MyLiteralsServer, RandomBytesRoundTripUnderCharsetsAndModes) {
  LUMO_REQUIRE_SERVER();
  std::mt19937 rng(20240611);
  for (const std::string charset : {"latin1", "utf8mb4", "gbk", "big5", "sjis"}) {
    Conn c(charset);
    ASSERT_NE(c.h, nullptr);
    const std::string table = "lumo_literals_" + charset;
    ASSERT_TRUE(c.Exec("DROP TABLE IF EXISTS " + table));
    ASSERT_TRUE(c.Exec("CREATE TABLE " + table + " (id INT PRIMARY KEY, vb VARBINARY(600), bl BLOB, tx TEXT CHARACTER SET " +
                       charset + ")"));
    for (bool noBackslashes : {false, true}) {
      ASSERT_TRUE(c.Exec(noBackslashes ? "SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"
                                       : "SET SESSION sql_mode = DEFAULT"));
      ASSERT_EQ(c.Row("SELECT @@sql_mode LIKE '%NO_BACKSLASH_ESCAPES%'").at(0), noBackslashes ? "1" : "0");
      for (int id = 0; id < 40; ++id) {
        std::string bytes(static_cast<std::size_t>(rng() % 300), '\0');
        for (char& b : bytes) b = static_cast<char>(rng());
        // Lone lead bytes before a quote or backslash, and at the very end.
        if (id % 4 == 0) bytes += std::string("\x81\x27\xA1\x5C\x95", 5);
        const std::string text = ValidText(charset, rng, 120);
        std::string sql = "INSERT INTO " + table + " VALUES (";
        AppendValueToSQL(sql, dtInt32, Variant(id), false, false, false, !noBackslashes, 10, charset);
        sql += ", ";
        AppendValueToSQL(sql, dtVarBytes, Variant::FromBytes(bytes.data(), bytes.size()), false, false, false,
                         !noBackslashes, 10, charset);
        sql += ", ";
        AppendValueToSQL(sql, dtBlob, Variant(bytes), false, false, false, !noBackslashes, 10, charset);
        sql += ", ";
        AppendValueToSQL(sql, dtMemo, Variant(text), false, false, false, !noBackslashes, 10, charset);
        sql += ")";
        ASSERT_TRUE(c.Exec(sql)) << charset << " " << noBackslashes << " " << id;
        const auto row = c.Row("SELECT HEX(vb), HEX(bl), HEX(tx) FROM " + table + " WHERE id = " + std::to_string(id));
        ASSERT_EQ(row.size(), 3u);
        EXPECT_EQ(row[0], Hex(bytes)) << charset << " " << noBackslashes << " " << id;
        EXPECT_EQ(row[1], Hex(bytes)) << charset << " " << noBackslashes << " " << id;
        EXPECT_EQ(row[2], Hex(text)) << charset << " " << noBackslashes << " " << id;
      }
      ASSERT_TRUE(c.Exec("DELETE FROM " + table));
    }
    c.Exec("DROP TABLE " + table);
  }
}

// Typed values as the server reads them back.
TEST(MyLiteralsServer, TypedValuesReadBack) {
  LUMO_REQUIRE_SERVER();
  Conn c("utf8mb4");
  ASSERT_NE(c.h, nullptr);
  struct Case {
    std::uint16_t dt;
    Variant v;
    const char* expr;  // what the literal is wrapped in
    const char* expected;
  };
  const TDateTime hour = 1.0 / 24;
  const Case cases[] = {
      {dtTime, Variant(-1.5 * hour), "CAST(%s AS TIME)", "-01:30:00"},
      {dtTime, Variant(26 * hour + 0.25 / 86400), "CAST(%s AS TIME(3))", "26:00:00.250"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 120)), "CAST(%s AS DATETIME(3))",
       "2024-01-02 03:04:05.120"},
      {dtFloat, Variant(0.1 + 0.2), "CAST(%s AS DOUBLE) = 0.1e0 + 0.2e0", "1"},
      {dtFMTBCD, Variant("-12345678901234567890.123456789"), "CAST(%s AS DECIMAL(40,9))",
       "-12345678901234567890.123456789"},
      {dtUInt64, Variant("18446744073709551615"), "%s", "18446744073709551615"},
      {dtBoolean, Variant(true), "%s + 0", "1"},
      {dtCurrency, Variant(1.23456), "CAST(%s AS DECIMAL(10,5))", "1.23456"},
  };
  for (const Case& k : cases) {
    const std::string lit = Lit(k.dt, k.v, true, true, "utf8mb4");
    std::string expr = k.expr;
    expr.replace(expr.find("%s"), 2, lit);
    const auto row = c.Row("SELECT " + expr);
    ASSERT_EQ(row.size(), 1u) << expr;
    EXPECT_EQ(row[0], k.expected) << expr;
  }
  __UseNewBooleanParamType = true;
  EXPECT_EQ(c.Row("SELECT " + Lit(dtBoolean, Variant(true)) + " + 0").at(0), "1");
  __UseNewBooleanParamType = false;
}

}  // namespace
}  // namespace lumo
