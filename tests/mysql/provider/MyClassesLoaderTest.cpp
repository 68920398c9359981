// The MySQL bulk loader against the test server: rows of every value kind
// (quotes, backslashes, bytes, Unicode, nulls) round-trip in both backslash
// modes; statements are cut by RowsPerQuery or by size; duplicate keys,
// table locks, names that need quotes and out-of-order rows.
#include <lumokit/mysql/provider/MyClassesLoader.h>

#include <gtest/gtest.h>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "mysql/MyTestConnection.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;
using Rows = std::vector<std::vector<std::string>>;

using test::ConnectUnicode;

// Every row of a query as text ("NULL" for null).
Rows Query(TMySQLConnection& c, const std::string& sql) {
  TMySQLRecordset rs;
  rs.SetConnection(&c);
  rs.SetProp(prFetchAll, true);
  rs.SetSQL(sql);
  rs.Open();
  Rows rows;
  TRecBuf rec = rs.AllocRecBuf();
  rs.SetToBegin();
  for (;;) {
    rs.GetNextRecord(rec.get());
    if (rs.GetEOF()) break;
    auto& row = rows.emplace_back();
    for (int i = 1; i <= rs.FieldCount(); ++i) {
      const Variant v = rs.GetFieldAsVariant(i, rec.get());
      row.push_back(v.IsNull() ? "NULL" : v.AsString());
    }
  }
  return rows;
}

void Load(TMySQLLoader& loader, const std::vector<std::vector<Variant>>& rows) {
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t col = 0; col < rows[r].size(); ++col)
      loader.PutColumnData(static_cast<int>(col), static_cast<int>(r + 1), rows[r][col]);
  loader.DoLoad();
  loader.Finish();
}

TEST(MyLoaderServer, EveryValueKindRoundTripsInBothBackslashModes) {
  LUMO_REQUIRE_SERVER();
  for (const bool noBackslashes : {false, true}) {
    SCOPED_TRACE(noBackslashes ? "NO_BACKSLASH_ESCAPES" : "backslash escapes");
    auto c = ConnectUnicode(noBackslashes);
    c->ExecStatement("DROP TABLE IF EXISTS `ld all``kinds`");
    c->ExecStatement(
        "CREATE TABLE `ld all``kinds` (id INT PRIMARY KEY, i BIGINT, f DOUBLE, dc DECIMAL(12,4), s VARCHAR(50), "
        "t TEXT, b BLOB, d DATE, dt DATETIME, tm TIME, flag TINYINT(1), `odd``col` VARCHAR(10))");
    TMySQLLoader loader;
    loader.SetConnection(c.get());
    loader.SetTableName("`ld all``kinds`");
    const std::string quotes = "it's \\ a \"q\" \\' \\\\'' end\\";
    Load(loader, {{1, std::int64_t{-9223372036854775807}, 1.5, std::string("1234.5678"), quotes,
                   std::string("line1\nline2\\n\t\\0"), Variant::FromBytes({0, 0x27, 0x5C, 0xFF, 0x22}),
                   Variant::FromDate(EncodeDate(2024, 1, 2)), Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)),
                   Variant::FromDate(EncodeTime(10, 11, 12, 0)), true, std::string("x`y")},
                  {2, Variant::Null(), Variant(), Variant::Null(), Variant::Null(), Variant(), Variant::Null(),
                   Variant::Null(), Variant(), Variant::Null(), false, Variant()},
                  {3, 42, -0.25, 7, std::u16string(u"\u00fc\u20ac\U0001F600'\\"), std::string("\xc3\xbc\\'"),
                   Variant::FromBytes({}), std::string("2000-02-29"), Variant::Null(), Variant::Null(), 0,
                   std::string("'")}});
    EXPECT_EQ(loader.StatementsSent(), 1);
    EXPECT_EQ(Query(*c, "SELECT id, CAST(i AS CHAR), CAST(f AS CHAR), CAST(dc AS CHAR), s, t, HEX(b), "
                        "CAST(d AS CHAR), CAST(dt AS CHAR), CAST(tm AS CHAR), CAST(flag AS CHAR), `odd``col` "
                        "FROM `ld all``kinds` ORDER BY id"),
              (Rows{{"1", "-9223372036854775807", "1.5", "1234.5678", quotes, "line1\nline2\\n\t\\0", "00275CFF22",
                     "2024-01-02", "2024-01-02 03:04:05", "10:11:12", "1", "x`y"},
                    {"2", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "0", "NULL"},
                    {"3", "42", "-0.25", "7.0000", "\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80'\\", "\xc3\xbc\\'", "",
                     "2000-02-29", "NULL", "NULL", "0", "'"}}));
    c->ExecStatement("DROP TABLE `ld all``kinds`");
  }
}

TEST(MyLoaderServer, StatementsAreCutByRowsOrBySize) {
  LUMO_REQUIRE_SERVER();
  auto c = ConnectUnicode();
  c->ExecStatement("DROP TABLE IF EXISTS ld_batches");
  c->ExecStatement("CREATE TABLE ld_batches (id INT PRIMARY KEY, s TEXT)");
  std::vector<std::vector<Variant>> five;
  for (int i = 1; i <= 5; ++i) five.push_back({i, std::to_string(i)});

  TMySQLLoader byRows;
  byRows.SetConnection(c.get());
  byRows.SetTableName("ld_batches");
  byRows.SetProp(prRowsPerQuery, 2);
  Load(byRows, five);
  EXPECT_EQ(byRows.StatementsSent(), 3);  // 2, 2 and 1 rows
  EXPECT_EQ(Query(*c, "SELECT COUNT(*), SUM(id) FROM ld_batches"), (Rows{{"5", "15"}}));

  c->ExecStatement("DELETE FROM ld_batches");
  TMySQLLoader bySize;
  bySize.SetConnection(c.get());
  bySize.SetTableName("ld_batches");
  Load(bySize, five);
  EXPECT_EQ(bySize.StatementsSent(), 1);

  // 400 rows of about 1 KiB: three statements, every row exactly once.
  c->ExecStatement("DELETE FROM ld_batches");
  std::vector<std::vector<Variant>> big;
  for (int i = 1; i <= 400; ++i) big.push_back({i, std::string(1000, static_cast<char>('a' + i % 26))});
  Load(bySize, big);
  EXPECT_EQ(bySize.StatementsSent(), 1 + 3);
  EXPECT_EQ(Query(*c, "SELECT COUNT(*), SUM(id), SUM(LENGTH(s)) FROM ld_batches"),
            (Rows{{"400", "80200", "400000"}}));
  c->ExecStatement("DROP TABLE ld_batches");
}

TEST(MyLoaderServer, DuplicateKeysLocksAndNames) {
  LUMO_REQUIRE_SERVER();
  auto c = ConnectUnicode();
  c->ExecStatement("DROP TABLE IF EXISTS `ld dup`, ld_other");
  c->ExecStatement("CREATE TABLE `ld dup` (id INT PRIMARY KEY, `select` VARCHAR(10))");
  c->ExecStatement("CREATE TABLE ld_other (id INT)");
  c->ExecStatement("INSERT INTO `ld dup` VALUES (1, 'old')");

  TMySQLLoader loader;
  loader.SetConnection(c.get());
  loader.SetTableName("ld dup");
  loader.SetProp(prDuplicateKeys, static_cast<std::int32_t>(dkReplace));
  loader.SetProp(prDelayed, true);
  loader.Prepare();
  EXPECT_EQ(loader.InsHeader(), "REPLACE DELAYED INTO `ld dup` (`id`, `select`) VALUES ");
  loader.Reset();
  EXPECT_EQ(loader.InsHeader(), "");
  loader.SetProp(prDelayed, false);

  Load(loader, {{1, "new"}, {2, "two"}});
  EXPECT_EQ(Query(*c, "SELECT id, `select` FROM `ld dup` ORDER BY id"), (Rows{{"1", "new"}, {"2", "two"}}));
  loader.SetProp(prDuplicateKeys, static_cast<std::int32_t>(dkIgnore));
  Load(loader, {{2, "ignored"}, {3, "three"}});
  EXPECT_EQ(Query(*c, "SELECT id, `select` FROM `ld dup` ORDER BY id"),
            (Rows{{"1", "new"}, {"2", "two"}, {"3", "three"}}));
  loader.SetProp(prDuplicateKeys, static_cast<std::int32_t>(dkNone));
  try {
    Load(loader, {{3, "again"}});
    ADD_FAILURE() << "a duplicate key was loaded";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1062);
  }
  // The failed statement is not sent again with the next rows.
  loader.Reset();
  Load(loader, {{4, "four"}});
  EXPECT_EQ(Query(*c, "SELECT COUNT(*) FROM `ld dup`"), (Rows{{"4"}}));

  // LockTable: while loading, other tables are out of reach.
  loader.SetProp(prLock, true);
  loader.PutColumnData(0, 1, 5);
  try {
    Query(*c, "SELECT COUNT(*) FROM ld_other");
    ADD_FAILURE() << "the table was not locked";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1100);
  }
  loader.DoLoad();
  loader.Finish();
  EXPECT_EQ(Query(*c, "SELECT COUNT(*) FROM ld_other"), (Rows{{"0"}}));

  loader.SetProp(prLock, false);
  loader.PutColumnData(0, 1, 6);
  EXPECT_THROW(loader.PutColumnData(0, 3, 7), ELoaderError);
  EXPECT_THROW(loader.PutColumnData(9, 2, 7), ELoaderError);
  loader.Reset();

  // A hostile table name is only a table that does not exist.
  TMySQLLoader hostile;
  hostile.SetConnection(c.get());
  hostile.SetTableName("ld_other`; DROP TABLE ld_other; --");
  try {
    hostile.PutColumnData(0, 1, 1);
    ADD_FAILURE() << "a table of that name was found";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1146);
  }
  EXPECT_EQ(Query(*c, "SELECT COUNT(*) FROM ld_other"), (Rows{{"0"}}));

  Variant v;
  EXPECT_TRUE(loader.GetProp(prDuplicateKeys, v));
  EXPECT_EQ(v.AsInt32(), dkNone);
  EXPECT_ANY_THROW(loader.SetProp(prCommandTimeout, 1));
  c->ExecStatement("DROP TABLE `ld dup`, ld_other");
}

}  // namespace
}  // namespace lumo
