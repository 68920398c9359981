// Prepared statements of the wire client without a server: the wire form of
// every parameter type (the TIME sign and days, the zero date, unsigned
// integers, bytes shorter than their size), the NULL bitmap and new-types
// byte of the execution, binary rows and their values, the prepare reply;
// against the fake server: damaged prepare replies and binary rows (2027,
// the session goes on), a parameter count that does not match (2030,
// nothing sent), types sent again after a new prepare, a statement that
// outlives its connection (2006).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <lumokit/access/KxAccess.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlStmt.h>
#include "support/FakeMySqlServer.h"

namespace lumo {
namespace {

using test::ColumnDef41;
using test::EofPacket;
using test::FakeMySqlScript;
using test::FakeMySqlServer;
using test::FakePacket;
using test::LenEncString;
using test::OkPacket;

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// "type/flag:bytes" of one parameter as the execution packet carries it.
std::string Wire(const TMySqlStmtParam& p) {
  std::string s = std::to_string(p.Type) + (p.Unsigned ? "u" : "") + ":";
  if (p.IsNull) return s + "NULL";
  TMySqlByteBuffer out;
  AppendExecuteValues(out, std::span<const TMySqlStmtParam>(&p, 1));
  return s + Hex(out.Data(), out.Length());
}

std::string Wire(std::uint16_t dataType, const Variant& v, bool unicode = false) {
  return Wire(MakeStmtParam(dataType, v, false, unicode, false));
}

TDateTime Hours(double h) { return h / 24.0; }

TEST(MySqlStmtParams, WireFormOfEveryDeclaredType) {
  struct Case {
    std::uint16_t type;
    Variant value;
    std::string wire;
  };
  const Case cases[] = {
      {dtInt8, Variant(5), "1:05"},
      {dtInt8, Variant(300), "8:2C01000000000000"},  // does not fit: the server gets it whole
      {dtInt16, Variant(-2), "2:FEFF"},
      {dtUInt8, Variant(200), "2:C800"},
      {dtUInt16, Variant(65535), "3:FFFF0000"},
      {dtInt32, Variant(-1), "3:FFFFFFFF"},
      {dtUInt32, Variant(std::uint32_t{4000000000u}), "3u:00286BEE"},
      {dtUInt32, Variant(std::int64_t{-5}), "8:FBFFFFFFFFFFFFFF"},
      {dtInt64, Variant(std::numeric_limits<std::int64_t>::min()), "8:0000000000000080"},
      {dtUInt64, Variant(std::numeric_limits<std::uint64_t>::max()), "8u:FFFFFFFFFFFFFFFF"},
      {dtInt32, Variant("-12"), "3:F4FFFFFF"},
      {dtBoolean, Variant(true), "1:01"},
      {dtFloat, Variant(1.5), "5:000000000000F83F"},
      {dtFloat, Variant(std::int64_t{9007199254740993}), "8:0100000000002000"},  // stays exact
      {dtFloat, Variant("2.5"), "5:0000000000000440"},
      {dtCurrency, Variant(Currency::FromScaled(12345)), "253:06312E32333435"},
      {dtSingle, Variant(0.1f), "4:CDCCCC3D"},
      {dtBCD, Variant("12.3456"), "253:0731322E33343536"},
      {dtDate, Variant::FromDate(EncodeDate(2024, 2, 29)), "10:04E807021D"},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2014, 5, 6, 7, 8, 9, 10)), "12:0BDE07050607080910270000"},
      {dtTime, Variant::FromDate(Hours(-1.5)), "11:0C0100000000011E0000000000"},
      {dtTime, Variant::FromDate(Hours(26)), "11:0C000100000002000000000000"},
      {dtTime, Variant::FromDate(-1500.0 / MSecsPerDay), "11:0C0100000000000001" "20A10700"},
      {dtTime, Variant::FromDate(Hours(838) + (59 * 60 + 59) / 86400.0), "11:0C0022000000163B3B00000000"},
      {dtDate, Variant::FromDate(ZeroDate), "10:00"},
      {dtDateTime, Variant::FromDate(ZeroDate), "12:00"},
      {dtTime, Variant::FromDate(ZeroDate), "11:00"},
      {dtString, Variant(std::string("ab\0c", 4)), "253:0461620063"},  // sent whole
      {dtWideString, Variant(std::u16string(u"\u00e9")), "253:02C3A9"},
      {dtVarBytes, Variant::FromBytes("\x00\xFF", 2), "252:0200FF"},
      {dtVariant, Variant(3), "8:0300000000000000"},
      {dtVariant, Variant("x"), "253:0178"},
      {dtInt32, Variant::Null(), "3:NULL"},   // a missing number is NULL ...
      {dtString, Variant::Null(), "253:00"},  // ... missing text is empty
  };
  for (const Case& c : cases) EXPECT_EQ(Wire(c.type, c.value, true), c.wire) << "type " << c.type;

  EXPECT_EQ(Wire(MakeStmtParam(dtUInt32, Variant(), true, false, false)), "3u:NULL");
  EXPECT_THROW(Wire(dtFloat, Variant(std::nan(""))), EConvertError);
  EXPECT_THROW(Wire(dtInt32, Variant("twelve")), EConvertError);
  try {
    Wire(dtObject, Variant(1));
    ADD_FAILURE() << "an object went";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid internal field type $F (15)");
  }
}

TEST(MySqlStmtParams, BytesGoWithTheirOwnLengthAndLongValuesAhead) {
  TParamDesc p;
  p.SetDataType(dtBytes);
  p.SetSize(10);
  p.SetValue(Variant("xy"));
  EXPECT_EQ(Wire(MakeStmtParam(p, false, false)), "252:027879");  // a blob, not 10 bytes

  const TMySqlStmtParam small = MakeStmtParam(dtString, Variant(std::string(9200, 'a')), false, false, false);
  EXPECT_FALSE(small.Long());
  const TMySqlStmtParam large = MakeStmtParam(dtBlob, Variant(std::string(LongDataThreshold, 'b')), false, false, false);
  EXPECT_TRUE(large.Long());
  TMySqlByteBuffer out;
  AppendExecuteValues(out, std::span<const TMySqlStmtParam>(&large, 1));
  EXPECT_EQ(out.Length(), 0u);  // sent ahead, not in the execution

  // Copies and moves keep the bytes they view (short strings live inside).
  std::vector<TMySqlStmtParam> v;
  for (int i = 0; i < 20; ++i) v.push_back(MakeStmtParam(dtString, Variant(std::string("s") + char('a' + i)), false, false, false));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Wire(v[static_cast<std::size_t>(i)]), "253:0273" + Hex(reinterpret_cast<const std::uint8_t*>("abcdefghijklmnopqrst") + i, 1));
}

// A wire form filled again in place equals a new one for every value, and
// the view of a parameter equals its copy, whatever the value before was.
TEST(MySqlStmtParams, FilledAgainInPlaceLikeNew) {
  struct Case {
    std::uint16_t type;
    Variant value;
    bool isNull;
  };
  const Case cases[] = {
      {dtString, Variant(std::string(300, 'q')), false},
      {dtUInt32, Variant(std::uint32_t{4000000000u}), false},
      {dtInt32, Variant(7), true},
      {dtVarBytes, Variant::FromBytes("\x01\x02\x03", 3), false},
      {dtCurrency, Variant(Currency::FromScaled(12345)), false},
      {dtDateTime, Variant::FromDate(EncodeDateTime(2024, 2, 29, 23, 59, 58, 7)), false},
      {dtString, Variant("ab"), false},
      {dtString, Variant::Null(), false},
  };
  TMySqlStmtParam reused, viewed;
  TParamDesc param;
  for (int round = 0; round < 2; ++round)
    for (const Case& c : cases) {
      SCOPED_TRACE(c.type);
      const std::string fresh = Wire(MakeStmtParam(c.type, c.value, c.isNull, true, false));
      SetStmtParam(reused, c.type, c.value, c.isNull, true, false);
      EXPECT_EQ(Wire(reused), fresh);
      param.SetDataType(c.type);
      param.SetValue(c.value);
      if (c.isNull) param.SetNull(true);
      SetStmtParamView(viewed, param, true, false);
      EXPECT_EQ(Wire(viewed), Wire(MakeStmtParam(param, true, false)));
    }
}

// A parameter class of its own is asked for its value.
TEST(MySqlStmtParams, ViewAsksAParameterSubclassForItsValue) {
  struct TFixedParam : TParamDesc {
    Variant GetValue() const override { return Variant("own"); }
  } param;
  param.SetDataType(dtString);
  param.SetValue(Variant("stored"));
  TMySqlStmtParam p;
  SetStmtParamView(p, param, false, false);
  EXPECT_EQ(Wire(p), "253:036F776E");
}

// Date-times held to the millisecond are taken apart like DecodeDateTime
// does, across the years 1 to 9999 and before 1899 (negative numbers); a
// value just short of midnight rounds up to the next day.
TEST(MySqlStmtParams, DateTimesTakenApartLikeDecodeDateTime) {
  std::vector<double> values = {MinDateTime, -693593.5, -1.25, -0.5, 0.5, 1.0 - 1e-12, 45351.75, 2958465.5};
  std::uint32_t seed = 99;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(MinDateTime + (MaxDateTime - MinDateTime) * (seed / 4294967296.0), y, mo, d, h, mi, s, ms);
    values.push_back(EncodeDateTime(y, mo, d, h, mi, s, ms));
  }
  for (double v : values) {
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(v, y, mo, d, h, mi, s, ms);
    const int micro = ms * 1000;
    // Seven bytes without a fraction of a second, eleven with one.
    const int parts[] = {micro ? 11 : 7, y & 255, y >> 8, mo, d, h, mi, s, micro & 255, micro >> 8 & 255, micro >> 16, 0};
    std::uint8_t expected[12];
    for (int i = 0; i < 12; ++i) expected[i] = static_cast<std::uint8_t>(parts[i]);
    ASSERT_EQ(Wire(dtDateTime, Variant::FromDate(v)), "12:" + Hex(expected, micro ? 12 : 8)) << v;
  }
  EXPECT_THROW(Wire(dtDateTime, Variant::FromDate(MaxDateTime + 2)), EConvertError);

  // Microseconds: exact from a date variant made of micros, and what a
  // double near today holds.
  std::int64_t last = 0;
  ASSERT_TRUE(TryEncodeMicros({9999, 12, 31, 23, 59, 59, 999999}, last));
  EXPECT_EQ(Wire(dtDateTime, Variant::FromDateMicros(last)), "12:0B0F270C1F173B3B3F420F00");
  EXPECT_EQ(Wire(dtTime, Variant::FromDateMicros(-MaxTimeSpanMicros)), "11:0C0122000000163B3B3F420F00");
  EXPECT_EQ(Wire(dtDateTime, Variant::FromDate(EncodeDateTime(2026, 3, 4, 5, 6, 7, 19) + 0.4 / SecsPerDay / 1000)),
            "12:0BEA070304050607C84B0000");
}

TEST(MySqlStmtParams, NullBitmapAndNewTypesByte) {
  for (std::size_t count : {9u, 17u}) {
    for (std::size_t nullAt = 0; nullAt < count; ++nullAt) {
      std::vector<TMySqlStmtParam> params;
      for (std::size_t i = 0; i < count; ++i) params.push_back(MakeStmtParam(dtInt32, Variant(1), i == nullAt, false, false));
      std::vector<std::uint16_t> sent;
      TMySqlByteBuffer out;
      AppendExecuteHead(out, 7, params, sent);
      const std::size_t bitmap = (count + 7) / 8;
      ASSERT_EQ(out.Length(), 9 + bitmap + 1 + 2 * count);
      for (std::size_t bit = 0; bit < 8 * bitmap; ++bit)
        EXPECT_EQ((out.Data()[9 + bit / 8] >> (bit % 8)) & 1, bit == nullAt ? 1 : 0) << count << " " << nullAt;
      EXPECT_EQ(out.Data()[9 + bitmap], 1);
    }
  }
  // Types go only when they change.
  std::vector<TMySqlStmtParam> params = {MakeStmtParam(dtInt32, Variant(1), false, false, false),
                                         MakeStmtParam(dtString, Variant("a"), false, false, false)};
  std::vector<std::uint16_t> sent;
  TMySqlByteBuffer first, again, changed;
  AppendExecuteHead(first, 1, params, sent);
  EXPECT_EQ(Hex(first.Data(), first.Length()), "01000000" "00" "01000000" "00" "01" "0300" "FD00");
  AppendExecuteHead(again, 1, params, sent);
  EXPECT_EQ(Hex(again.Data(), again.Length()), "01000000" "00" "01000000" "00" "00");
  params[0] = MakeStmtParam(dtUInt32, Variant(1), false, false, false);
  AppendExecuteHead(changed, 1, params, sent);
  EXPECT_EQ(Hex(changed.Data() + 10, changed.Length() - 10), "01" "0380" "FD00");
}

// ---- binary rows

std::string Row(std::initializer_list<std::string> parts) {
  std::string r;
  for (const auto& p : parts) r += p;
  return r;
}

void Decode(const std::string& row, const std::vector<std::uint8_t>& types, std::vector<TMySqlBind>& binds) {
  binds.assign(types.size(), TMySqlBind{});
  DecodeBinaryRow(reinterpret_cast<const std::uint8_t*>(row.data()), row.size(), types.data(), binds.data(),
                  types.size());
}

TEST(MySqlBinaryRow, BitmapFromBitTwoAndEveryValueInsideTheRow) {
  const std::vector<std::uint8_t> types = {MYSQL_TYPE_LONG, MYSQL_TYPE_VAR_STRING, MYSQL_TYPE_DOUBLE};
  std::vector<TMySqlBind> b;
  // The second of three columns NULL: bitmap byte 0x08.
  const std::string row = Row({std::string("\x00\x08", 2), std::string("\x2A\0\0\0", 4), std::string(8, '\x01')});
  Decode(row, types, b);
  EXPECT_FALSE(b[0].IsNull);
  EXPECT_EQ(b[0].Offset, 2);
  EXPECT_EQ(b[0].Length, 4);
  EXPECT_TRUE(b[1].IsNull);
  EXPECT_EQ(b[2].Offset, 6);
  EXPECT_EQ(b[2].Length, 8);
  EXPECT_EQ(b[2].MyType, MYSQL_TYPE_DOUBLE);

  // Seven columns need two bitmap bytes; a 251 length prefix is NULL too.
  const std::vector<std::uint8_t> seven(7, MYSQL_TYPE_VAR_STRING);
  Decode(Row({std::string("\x00\x00\x00", 3), "\x01" "a", "\xFB", std::string(5, '\0')}), seven, b);
  EXPECT_EQ(b[0].Length, 1);
  EXPECT_TRUE(b[1].IsNull);
  EXPECT_EQ(b[6].Length, 0);
  EXPECT_FALSE(b[6].IsNull);

  const std::vector<std::uint8_t> date = {MYSQL_TYPE_DATE};
  const std::vector<std::string> bad = {
      std::string("\x01\x00\x2A\0\0\0", 6),                        // header byte not 0
      std::string("\x00\x01\x2A\0\0\0", 6),                        // reserved bit set
      std::string("\x00\x20\x2A\0\0\0", 6),                        // bit past the last column
      std::string("\x00\x00\x2A\0\0", 5),                          // LONG cut short
      std::string("\x00\x00\x2A\0\0\0\0", 7),                      // a byte after the last value
      std::string("\x00", 1),                                      // no bitmap
  };
  const std::vector<std::uint8_t> one = {MYSQL_TYPE_LONG};
  for (const auto& r : bad) EXPECT_THROW(Decode(r, one, b), EMySqlException) << Hex(reinterpret_cast<const std::uint8_t*>(r.data()), r.size());
  const std::vector<std::string> badSized = {
      std::string("\x00\x00\x05" "ab", 5),       // length past the packet
      std::string("\x00\x00\xFF", 3),            // length prefix 255
      std::string("\x00\x00\xFC\x01", 4),        // length prefix cut short
  };
  for (const auto& r : badSized) EXPECT_THROW(Decode(r, {MYSQL_TYPE_BLOB}, b), EMySqlException);
  EXPECT_THROW(Decode(std::string("\x00\x00\x05\xE8\x07\x01\x01\x00", 8), date, b), EMySqlException);
  try {
    Decode(bad[0], one, b);
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), cr::MALFORMED_PACKET);
  }
}

TEST(MySqlBinaryValues, TextOfFixedAndTemporalValues) {
  struct Case {
    std::uint8_t type;
    bool isUnsigned;
    unsigned decimals;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {MYSQL_TYPE_TINY, false, 0, "\xFF", "-1"},
      {MYSQL_TYPE_TINY, true, 0, "\xFF", "255"},
      {MYSQL_TYPE_YEAR, false, 0, std::string("\xE8\x07", 2), "2024"},
      {MYSQL_TYPE_LONGLONG, false, 0, std::string("\0\0\0\0\0\0\0\x80", 8), "-9223372036854775808"},
      {MYSQL_TYPE_LONGLONG, true, 0, std::string(8, '\xFF'), "18446744073709551615"},
      {MYSQL_TYPE_FLOAT, false, 0, "\xCD\xCC\xCC\x3D", "0.1"},
      {MYSQL_TYPE_DOUBLE, false, 0, std::string("\x18\x2D\x44\x54\xFB\x21\x09\x40", 8), "3.141592653589793"},
      {MYSQL_TYPE_DATE, false, 0, std::string("\xE8\x07\x02\x1D", 4), "2024-02-29"},
      {MYSQL_TYPE_DATE, false, 0, "", "0000-00-00"},
      {MYSQL_TYPE_DATETIME, false, 6, std::string("\xE8\x07\x02\x1D\x17\x3B\x3B\x40\xE2\x01\x00", 11),
       "2024-02-29 23:59:59.123456"},
      {MYSQL_TYPE_DATETIME, false, 0, std::string("\xE8\x07\x02\x1D\x01\x02\x03", 7), "2024-02-29 01:02:03"},
      {MYSQL_TYPE_TIME, false, 0, std::string("\x01\x22\0\0\0\x16\x3B\x3B", 8), "-838:59:59"},
      {MYSQL_TYPE_TIME, false, 1, std::string("\x01\0\0\0\0\0\0\x01\x20\xA1\x07\x00", 12), "-00:00:01.5"},
      {MYSQL_TYPE_TIME, false, 0, "", "00:00:00"},
  };
  for (const Case& c : cases) {
    char out[BinaryTextSize];
    const int n = BinaryValueText(c.type, c.isUnsigned, c.decimals, reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                  c.bytes.size(), out);
    ASSERT_GE(n, 0) << c.text;
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), c.text);
  }
  char out[BinaryTextSize];
  EXPECT_EQ(BinaryValueText(MYSQL_TYPE_LONG, false, 0, reinterpret_cast<const std::uint8_t*>("ab"), 2, out), -1);
  EXPECT_EQ(BinaryValueText(MYSQL_TYPE_VAR_STRING, false, 0, reinterpret_cast<const std::uint8_t*>("ab"), 2, out), -1);
}

TEST(MySqlPrepareReply, CountsAndIdOrMalformed) {
  const std::string ok("\x00\x07\x00\x00\x00\x02\x00\x03\x00\x00\x01\x00", 12);
  const TMySqlPrepareOk r = ParsePrepareOk(reinterpret_cast<const std::uint8_t*>(ok.data()), ok.size());
  EXPECT_EQ(r.StmtId, 7u);
  EXPECT_EQ(r.FieldCount, 2);
  EXPECT_EQ(r.ParamCount, 3);
  EXPECT_EQ(r.WarningCount, 1);
  for (std::size_t n = 0; n < 9; ++n)
    EXPECT_THROW(ParsePrepareOk(reinterpret_cast<const std::uint8_t*>(ok.data()), n), EMySqlException);
  std::string notOk = ok;
  notOk[0] = '\x01';
  EXPECT_THROW(ParsePrepareOk(reinterpret_cast<const std::uint8_t*>(notOk.data()), notOk.size()), EMySqlException);
}

// ---- against the fake server

TMySQLAPIDirect& Api() {
  RegisterMySqlApiDirect();
  return *MyAPIDirect;
}

PMYSQL_CON Connect(int port) {
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 5);
  Api().SetTimeout(h, 5);
  EXPECT_EQ(Api().mysql_real_connect(h, "127.0.0.1", "lumo", "pw", "", port, "", 0), h)
      << Api().mysql_error(h);
  return h;
}

std::string PrepareOk(std::uint32_t id, std::uint16_t columns, std::uint16_t params) {
  std::string p(1, '\0');
  for (int i = 0; i < 4; ++i) p += static_cast<char>(id >> (8 * i));
  p += static_cast<char>(columns);
  p += static_cast<char>(columns >> 8);
  p += static_cast<char>(params);
  p += static_cast<char>(params >> 8);
  p += std::string(3, '\0');
  return p;
}

int Prepare(PMYSQL_STMT st, const std::string& sql) { return Api().mysql_stmt_prepare(st, sql.data(), sql.size()); }

TEST(MySqlStmtFake, DamagedPrepareRepliesRaise2027AndTheSessionGoesOn) {
  const std::string col = ColumnDef41("a", MYSQL_TYPE_LONG);
  std::vector<std::vector<std::string>> replies = {
      {PrepareOk(1, 2, 0), col, col.substr(0, col.size() - 3), EofPacket()},  // a definition cut short
      {PrepareOk(1, 2, 0), col, EofPacket()},                                   // one definition too few
      {PrepareOk(1, 1, 0), col, col, EofPacket()},                              // one too many
      {PrepareOk(1, 1, 1), col, col, EofPacket(), col, EofPacket()},            // a parameter too many
  };
  FakeMySqlScript sc;
  sc.Login();
  for (const auto& reply : replies) {
    sc.Receive();
    for (const auto& p : reply) sc.Send(p);
    sc.Receive();  // the client closes the statement the server made
    sc.Receive().Send(OkPacket());
  }
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  for (std::size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(i);
    PMYSQL_STMT st = Api().mysql_stmt_init(h);
    EXPECT_EQ(Prepare(st, "SELECT a, b FROM t"), cr::MALFORMED_PACKET);
    EXPECT_EQ(Api().mysql_stmt_error(st), "Malformed packet");
    EXPECT_EQ(Api().mysql_stmt_result_metadata(st), nullptr);
    EXPECT_EQ(Api().mysql_ping(h), 0) << Api().mysql_error(h);
    Api().mysql_stmt_close(st);
  }
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
  // After every damaged reply the statement was closed again (COM_STMT_CLOSE, id 1).
  int closes = 0;
  for (const FakePacket& p : srv.Received())
    if (p.Payload == std::string("\x19\x01\0\0\0", 5)) ++closes;
  EXPECT_EQ(closes, static_cast<int>(replies.size()));
}

TEST(MySqlStmtFake, DamagedBinaryRowsRaise2027AndTheSessionGoesOn) {
  const std::vector<std::string> badRows = {
      std::string("\x00\x01\x2A\0\0\0", 6),  // reserved bitmap bit
      std::string("\x00\x00\x2A\0\0", 5),    // LONG cut short
      std::string("\x00\x00\x2A\0\0\0\x01", 7),
  };
  const std::string col = ColumnDef41("a", MYSQL_TYPE_LONG);
  FakeMySqlScript sc;
  sc.Login().Receive().Send(PrepareOk(3, 1, 0)).Send(col).Send(EofPacket());
  for (const auto& bad : badRows)
    sc.Receive()
        .Send("\x01")
        .Send(col)
        .Send(EofPacket())
        .Send(std::string("\x00\x00\x07\0\0\0", 6))
        .Send(bad)
        .Send(EofPacket());
  sc.Receive().Send(OkPacket());
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  PMYSQL_STMT st = Api().mysql_stmt_init(h);
  ASSERT_EQ(Prepare(st, "SELECT a FROM t"), 0) << Api().mysql_stmt_error(st);
  for (std::size_t i = 0; i < badRows.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(Api()._mysql_stmt_execute(st, {}, false, false), 0) << Api().mysql_stmt_error(st);
    ASSERT_EQ(Api()._mysql_stmt_bind_result(st), 0);
    PMYSQL_ROW row = nullptr;
    ASSERT_EQ(Api()._mysql_stmt_fetch(st, row), 0);
    std::uint32_t v = 0;
    Api()._mysql_fetch_value_to_buff(row, 0, 4, &v);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(Api()._mysql_stmt_fetch(st, row), cr::MALFORMED_PACKET);
    EXPECT_EQ(row, nullptr);
    EXPECT_EQ(Api()._mysql_stmt_fetch(st, row), NoData);  // the result is finished
  }
  EXPECT_EQ(Api().mysql_ping(h), 0) << Api().mysql_error(h);
  Api().mysql_stmt_close(st);
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
}

// The COM_STMT_EXECUTE packets a connection sent.
std::vector<std::string> Executions(const FakeMySqlServer& srv) {
  std::vector<std::string> out;
  for (const FakePacket& p : srv.Received())
    if (!p.Payload.empty() && p.Payload[0] == '\x17') out.push_back(p.Payload);
  return out;
}

TEST(MySqlStmtFake, ParameterCountAndTypesAcrossExecutionsAndPrepares) {
  const std::string param = ColumnDef41("?", MYSQL_TYPE_VAR_STRING);
  FakeMySqlScript sc;
  sc.Login();
  for (int prepare = 0; prepare < 2; ++prepare) {
    if (prepare == 1) sc.Receive();  // preparing again closes the statement first
    sc.Receive().Send(PrepareOk(5, 0, 2)).Send(param).Send(param).Send(EofPacket());
    sc.Receive().Send(OkPacket(1)).Receive().Send(OkPacket(1));
  }
  sc.Receive().Send(OkPacket());
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  PMYSQL_STMT st = Api().mysql_stmt_init(h);
  TParamDesc a, b;
  a.SetDataType(dtInt32);
  a.SetValue(Variant(1));
  b.SetDataType(dtString);
  b.SetValue(Variant("x"));
  TParamDesc* two[] = {&a, &b};
  EXPECT_EQ(Api()._mysql_stmt_execute(st, two, false, false), cr::NO_PREPARE_STMT);
  EXPECT_EQ(Api().mysql_stmt_error(st), "Statement not prepared");
  EXPECT_EQ(Api()._mysql_stmt_bind_result(st), cr::NO_PREPARE_STMT);
  for (int prepare = 0; prepare < 2; ++prepare) {
    ASSERT_EQ(Prepare(st, "INSERT INTO t VALUES (?, ?)"), 0) << Api().mysql_stmt_error(st);
    EXPECT_EQ(Api()._mysql_stmt_bind_result(st), cr::UNKNOWN_ERROR);  // no columns
    EXPECT_EQ(Api()._mysql_stmt_execute(st, std::span<TParamDesc* const>(two, 1), false, false),
              cr::NOT_ALL_PARAMS_BOUND);
    EXPECT_EQ(Api().mysql_stmt_error(st), "Not all parameters data supplied");
    ASSERT_EQ(Api()._mysql_stmt_execute(st, two, false, false), 0) << Api().mysql_stmt_error(st);
    ASSERT_EQ(Api()._mysql_stmt_execute(st, two, false, false), 0) << Api().mysql_stmt_error(st);
    EXPECT_EQ(Api().mysql_stmt_affected_rows(st), 1);
  }
  EXPECT_EQ(Api().mysql_ping(h), 0);
  Api().mysql_stmt_close(st);
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
  // Nothing went for the short parameter lists; the types went with the
  // first execution after each prepare only.
  const std::vector<std::string> ex = Executions(srv);
  ASSERT_EQ(ex.size(), 4u);
  const std::string typed = std::string("\x01\x03\x00\xFD\x00", 5);
  for (std::size_t i = 0; i < ex.size(); ++i) {
    ASSERT_GE(ex[i].size(), 12u);
    EXPECT_EQ(ex[i].substr(11, 1), i % 2 == 0 ? "\x01" : std::string(1, '\0')) << i;
    if (i % 2 == 0) {
      EXPECT_EQ(ex[i].substr(11, 5), typed);
    }
  }
}

TEST(MySqlStmtFake, AStatementOutlivingItsConnectionAnswers2006) {
  FakeMySqlScript sc;
  sc.Login().Receive().Send(PrepareOk(9, 0, 0)).Receive();
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  PMYSQL_STMT st = Api().mysql_stmt_init(h);
  ASSERT_EQ(Prepare(st, "DO 1"), 0) << Api().mysql_stmt_error(st);
  Api().mysql_close(h);  // the session is freed
  EXPECT_EQ(Api()._mysql_stmt_execute(st, {}, false, false), cr::SERVER_GONE_ERROR);
  EXPECT_EQ(Api().mysql_stmt_error(st), "MySQL server has gone away");
  PMYSQL_ROW row = nullptr;
  EXPECT_EQ(Api()._mysql_stmt_fetch(st, row), cr::SERVER_GONE_ERROR);
  EXPECT_EQ(Prepare(st, "DO 1"), cr::SERVER_GONE_ERROR);
  EXPECT_EQ(Api().mysql_stmt_result_metadata(st), nullptr);
  EXPECT_EQ(Api().mysql_stmt_close(st), 0);
  ASSERT_TRUE(srv.WaitDone());
}

}  // namespace
}  // namespace lumo
