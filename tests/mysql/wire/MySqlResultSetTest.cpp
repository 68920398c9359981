// Column definitions and text rows decoded from byte buffers: the 4.1 and
// older layouts, the numeric rule, NULL against empty values, every length
// prefix, and damaged data cut at every byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlResultSet.h>
#include "support/FakeMySqlServer.h"

namespace lumo {
namespace {

using test::LenEnc;
using test::LenEncString;

const std::uint8_t* U8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EMySqlException& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::string Def41(const std::string& name, std::uint8_t type, std::uint32_t length, std::uint16_t flags = 0,
                  std::uint8_t decimals = 0) {
  std::string block = {45, 0};
  for (int i = 0; i < 4; ++i) block += static_cast<char>(length >> (8 * i));
  block += static_cast<char>(type);
  block += {static_cast<char>(flags), static_cast<char>(flags >> 8), static_cast<char>(decimals), 0, 0};
  return LenEncString("def") + LenEncString("db") + LenEncString("t") + LenEncString("org_t") + LenEncString(name) +
         LenEncString("org_" + name) + LenEncString(block);
}

TEST(MySqlResultSet, ColumnDefinitions41) {
  struct Case {
    std::uint8_t type;
    std::uint32_t length;
    bool numeric;
  };
  const Case cases[] = {{MYSQL_TYPE_DECIMAL, 10, true},    {MYSQL_TYPE_LONG, 11, true},
                        {MYSQL_TYPE_INT24, 9, true},       {MYSQL_TYPE_TIMESTAMP, 14, true},
                        {MYSQL_TYPE_TIMESTAMP, 8, true},   {MYSQL_TYPE_TIMESTAMP, 19, false},
                        {MYSQL_TYPE_YEAR, 4, true},        {MYSQL_TYPE_NEWDECIMAL, 12, false},
                        {MYSQL_TYPE_DATE, 10, false},      {MYSQL_TYPE_BLOB, 0xFFFFFFFF, false}};
  for (const Case& c : cases) {
    const std::string d = Def41("c", c.type, c.length, field_flag::NOT_NULL | field_flag::UNSIGNED, 3);
    const TMySqlFieldInfo f = ParseFieldInfo(U8(d), d.size(), true, true);
    EXPECT_EQ(f.Name, "c");
    EXPECT_EQ(f.OrgName, "org_c");
    EXPECT_EQ(f.Table, "t");
    EXPECT_EQ(f.OrgTable, "org_t");
    EXPECT_EQ(f.Database, "db");
    EXPECT_EQ(f.CharsetNr, 45u);
    EXPECT_EQ(f.Length, c.length);
    EXPECT_EQ(f.MyType, c.type);
    EXPECT_EQ(f.Scale, 3u);
    EXPECT_EQ(f.Flags, field_flag::NOT_NULL | field_flag::UNSIGNED | (c.numeric ? field_flag::NUM : 0u))
        << int(c.type) << " " << c.length;
  }
  // Every cut of a definition is malformed.
  const std::string d = Def41("name", MYSQL_TYPE_VAR_STRING, 255);
  for (std::size_t k = 0; k < d.size(); ++k)
    EXPECT_EQ(CodeOf([&] { ParseFieldInfo(U8(d), k, true, true); }), cr::MALFORMED_PACKET) << k;
  // A fixed block too short, or a prefix 255.
  std::string shortBlock = d.substr(0, d.size() - 13) + LenEncString(std::string(9, '\0'));
  EXPECT_EQ(CodeOf([&] { ParseFieldInfo(U8(shortBlock), shortBlock.size(), true, true); }), cr::MALFORMED_PACKET);
  const std::string bad = "\xFF" + d;
  EXPECT_EQ(CodeOf([&] { ParseFieldInfo(U8(bad), bad.size(), true, true); }), cr::MALFORMED_PACKET);
}

TEST(MySqlResultSet, ColumnDefinitionsBefore41) {
  // Table, name, 3-byte length, type, flags and decimals.
  const std::string base = LenEncString("t") + LenEncString("n") + LenEncString(std::string("\x0B\x00\x00", 3)) +
                           LenEncString(std::string(1, MYSQL_TYPE_LONG));
  const std::string withLong = base + LenEncString(std::string("\x21\x02\x05", 3));
  TMySqlFieldInfo f = ParseFieldInfo(U8(withLong), withLong.size(), false, true);
  EXPECT_EQ(f.Table, "t");
  EXPECT_EQ(f.OrgTable, "t");
  EXPECT_EQ(f.Name, "n");
  EXPECT_EQ(f.OrgName, "");
  EXPECT_EQ(f.Database, "");
  EXPECT_EQ(f.CharsetNr, 0u);
  EXPECT_EQ(f.Length, 11u);
  EXPECT_EQ(f.Flags, 0x0221u | field_flag::NUM);
  EXPECT_EQ(f.Scale, 5u);
  // Without the long flag: one byte of flags.
  const std::string shortFlags = base + LenEncString(std::string("\x21\x05", 2));
  f = ParseFieldInfo(U8(shortFlags), shortFlags.size(), false, false);
  EXPECT_EQ(f.Flags, 0x21u | field_flag::NUM);
  EXPECT_EQ(f.Scale, 5u);
  EXPECT_EQ(CodeOf([&] { ParseFieldInfo(U8(shortFlags), shortFlags.size(), false, true); }), cr::MALFORMED_PACKET);
  for (std::size_t k = 0; k < withLong.size(); ++k)
    EXPECT_EQ(CodeOf([&] { ParseFieldInfo(U8(withLong), k, false, true); }), cr::MALFORMED_PACKET) << k;
}

TEST(MySqlResultSet, TextRows) {
  const std::string big(70000, 'b');
  const std::string row = std::string("\xFB") + LenEncString("") + LenEncString("abc") + LenEncString(big) +
                          "\xFE" + std::string("\x03\0\0\0\0\0\0\0", 8) + "xyz" + LenEncString(std::string(1, '\xFB'));
  std::vector<TMySqlBind> b(6);
  DecodeTextRow(U8(row), row.size(), b.data(), b.size());
  EXPECT_TRUE(b[0].IsNull);
  EXPECT_EQ(b[0].Offset, 0);
  EXPECT_FALSE(b[1].IsNull);
  EXPECT_EQ(b[1].Length, 0);
  EXPECT_EQ(row.substr(b[2].Offset, b[2].Length), "abc");
  EXPECT_EQ(b[3].Length, 70000);
  EXPECT_EQ(row.substr(b[3].Offset, 3), "bbb");
  EXPECT_EQ(row.substr(b[4].Offset, b[4].Length), "xyz");
  EXPECT_FALSE(b[5].IsNull);  // the value is the byte 251
  EXPECT_EQ(row.substr(b[5].Offset, b[5].Length), "\xFB");

  // Cut at every byte, one value too many or too few, prefix 255, a length
  // past the end: all malformed.
  for (std::size_t k = 0; k < row.size(); ++k)
    EXPECT_EQ(CodeOf([&] { DecodeTextRow(U8(row), k, b.data(), b.size()); }), cr::MALFORMED_PACKET) << k;
  const std::string longer = row + LenEncString("x");
  EXPECT_EQ(CodeOf([&] { DecodeTextRow(U8(longer), longer.size(), b.data(), b.size()); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(CodeOf([&] { DecodeTextRow(U8(row), row.size(), b.data(), 5); }), cr::MALFORMED_PACKET);
  const std::string bad[] = {"\xFF", "\xFC\x05", "\xFD\x01\x00", std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF") + "x",
                             LenEnc(5) + "abc"};
  for (const std::string& r : bad)
    EXPECT_EQ(CodeOf([&] { DecodeTextRow(U8(r), r.size(), b.data(), 1); }), cr::MALFORMED_PACKET);
}

TEST(MySqlResultSet, StoredRowsLieInOneBuffer) {
  TRows rows;
  const std::string a = "first", c = std::string(100000, 'c');
  rows.Add(U8(a), a.size());
  rows.Add(U8(c), 0);
  rows.Add(U8(c), c.size());
  ASSERT_EQ(rows.GetCount(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rows.Get(0)), rows.Size(0)), a);
  EXPECT_EQ(rows.Size(1), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rows.Get(2)), rows.Size(2)), c);
  rows.Clear();
  EXPECT_EQ(rows.GetCount(), 0u);
}

}  // namespace
}  // namespace lumo
