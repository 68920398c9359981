// The SQL data set and SQL command components against the test server:
// fetching a 1000-row table in blocks, all at once and unidirectionally,
// DML with its affected rows and insert ids, Execute of a SELECT, refresh
// keeping the current row, server-side master/detail over two tables, UTF-8
// text, binary and memo parameters, and macros on real tables.
#include <gtest/gtest.h>

#include <string>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/dataset/DataSource.h>
#include "mysql/MyDAConnection.h"

namespace lumo {
namespace {

using test::MyDAConnection;

class DADataSetServer : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_REQUIRE_SERVER();
    conn.Connect();
  }

  // 1000 rows with id 1..1000 and v = id * 2, in a table of the test's own
  // (ctest may run the tests of this suite side by side).
  void MakeNumbers(const std::string& table) {
    conn.ExecSQL("DROP TABLE IF EXISTS " + table);
    conn.ExecSQL("CREATE TABLE " + table + " (id INT PRIMARY KEY, v INT)");
    std::string sql = "INSERT INTO " + table + " VALUES ";
    for (int i = 1; i <= 1000; ++i) sql += (i > 1 ? ",(" : "(") + std::to_string(i) + "," + std::to_string(2 * i) + ")";
    conn.ExecSQL(sql);
  }

  std::unique_ptr<TCustomDADataSet> Query(const std::string& sql) {
    std::unique_ptr<TCustomDADataSet> ds = conn.CreateDataSet();
    ds->SetSQLText(sql);
    return ds;
  }

  MyDAConnection conn{true};
};

TEST_F(DADataSetServer, FetchesBlocksAllAtOnceOrUnidirectionally) {
  MakeNumbers("da_nums_blocks");
  auto ds = Query("SELECT id, v FROM da_nums_blocks ORDER BY id");
  int fetches = 0;
  ds->BeforeFetch = [&](TCustomDADataSet&, bool&) { ++fetches; };
  ds->Open();
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(ds->RecordCount(), 25);
  EXPECT_FALSE(ds->Fetched());
  ds->Last();
  EXPECT_EQ(fetches, 41);  // 40 blocks of 25 and the read that finds the end
  EXPECT_EQ(ds->RecordCount(), 1000);
  EXPECT_EQ(ds->FieldByName("v").AsInteger(), 2000);
  EXPECT_TRUE(ds->Fetched());
  ds->Close();

  ds->SetFetchAll(true);
  fetches = 0;
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 1000);
  EXPECT_TRUE(ds->Fetched());
  EXPECT_EQ(fetches, 41);
  ds->Close();

  ds->SetUniDirectional(true);
  EXPECT_FALSE(ds->FetchAll());
  ds->Open();
  int rows = 0, held = 0;
  std::int64_t sum = 0;
  for (; !ds->Eof(); ds->Next()) {
    ++rows;
    sum += ds->FieldByName("id").AsInteger();
    held = std::max(held, ds->RecordCount());
  }
  EXPECT_EQ(rows, 1000);
  EXPECT_EQ(sum, 500500);
  EXPECT_LE(held, 25);
}

TEST_F(DADataSetServer, StatementsReportRowsAffectedAndInsertIds) {
  conn.ExecSQL("DROP TABLE IF EXISTS da_ai");
  conn.ExecSQL("CREATE TABLE da_ai (id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(10))");
  auto ds = Query("INSERT INTO da_ai (v) VALUES (:v)");
  ds->ParamByName("v").SetAsString("a");
  ds->Execute();
  EXPECT_EQ(ds->RowsAffected(), 1);
  EXPECT_EQ(ds->LastInsertId(), 1);
  ds->ParamByName("v").SetAsString("b");
  ds->Execute();
  EXPECT_EQ(ds->LastInsertId(), 2);
  EXPECT_FALSE(ds->Active());

  std::unique_ptr<TCustomDASQL> sql = conn.CreateSQL();
  sql->SetSQLText("UPDATE da_ai SET v = :v WHERE id <= :max");
  sql->ParamByName("v").SetAsString("z");
  sql->ParamByName("max").SetAsInteger(2);
  sql->Execute();
  EXPECT_EQ(sql->RowsAffected(), 2);
  sql->SetSQLText("INSERT INTO da_ai (v) VALUES ('c')");
  sql->Execute();
  EXPECT_EQ(sql->LastInsertId(), 3);

  // A statement of a data set runs in the connection's own transaction.
  conn.StartTransaction();
  auto insert = Query("INSERT INTO da_ai (v) VALUES ('undone')");
  insert->Execute();
  conn.Rollback();
  auto count = Query("SELECT COUNT(*) AS n FROM da_ai");
  count->Open();
  EXPECT_EQ(count->FieldByName("n").AsInteger(), 3);

  // Execute of a SELECT opens the data set.
  auto select = Query("SELECT v FROM da_ai WHERE id = :id");
  select->ParamByName("id").SetAsInteger(3);
  select->Execute();
  ASSERT_TRUE(select->Active());
  EXPECT_EQ(select->FieldByName("v").AsString(), "c");
}

TEST_F(DADataSetServer, RefreshKeepsTheCurrentRow) {
  MakeNumbers("da_nums_refresh");
  auto ds = Query("SELECT id, v FROM da_nums_refresh WHERE id <= 100 ORDER BY id");
  ds->SetKeyFields("id");
  ds->Open();
  ds->MoveBy(39);
  ASSERT_EQ(ds->FieldByName("id").AsInteger(), 40);
  conn.ExecSQL("UPDATE da_nums_refresh SET v = -1 WHERE id = 40");
  ds->Refresh();
  EXPECT_EQ(ds->FieldByName("id").AsInteger(), 40);
  EXPECT_EQ(ds->FieldByName("v").AsInteger(), -1);
  EXPECT_EQ(ds->RecordCount(), 100);
}

TEST_F(DADataSetServer, ServerSideMasterDetailFollowsTheMasterRow) {
  conn.ExecSQL("DROP TABLE IF EXISTS da_detail");
  conn.ExecSQL("DROP TABLE IF EXISTS da_master");
  conn.ExecSQL("CREATE TABLE da_master (id INT PRIMARY KEY, name VARCHAR(10))");
  conn.ExecSQL("CREATE TABLE da_detail (id INT PRIMARY KEY, master_id INT, v VARCHAR(10))");
  conn.ExecSQL("INSERT INTO da_master VALUES (1, 'one'), (2, 'two')");
  conn.ExecSQL("INSERT INTO da_detail VALUES (1, 1, 'a'), (2, 1, 'b'), (3, 2, 'c')");
  auto master = Query("SELECT id, name FROM da_master ORDER BY id");
  TDataSource source(master.get());
  auto detail = Query("SELECT id, master_id, v FROM da_detail");
  detail->SetMasterSource(&source);
  detail->SetMasterFields("id");
  detail->SetDetailFields("master_id");
  EXPECT_EQ(detail->FinalSQL(), "SELECT id, master_id, v FROM da_detail\r\nWHERE master_id = :id ");
  master->Open();
  detail->Open();
  EXPECT_EQ(detail->RecordCount(), 2);
  EXPECT_EQ(detail->ParamByName("id").AsInteger(), 1);
  master->Next();
  EXPECT_EQ(detail->RecordCount(), 1);
  EXPECT_EQ(detail->FieldByName("v").AsString(), "c");
  master->First();
  ASSERT_EQ(detail->RecordCount(), 2);

  // A row moved to another master leaves this detail.
  detail->SetLocalUpdate(true);
  detail->Edit();
  detail->FieldByName("master_id").SetAsInteger(2);
  detail->Post();
  EXPECT_EQ(detail->RecordCount(), 1);
}

TEST_F(DADataSetServer, TextBinaryAndMemoParametersRoundTrip) {
  conn.ExecSQL("DROP TABLE IF EXISTS da_uni");
  conn.ExecSQL(
      "CREATE TABLE da_uni (id INT PRIMARY KEY, s VARCHAR(20) CHARACTER SET utf8mb4, b BLOB, "
      "m TEXT CHARACTER SET utf8mb4)");
  const std::u16string text = u"Gr\u00fc\u00dfe \U0001F600";
  const Variant::Bytes bytes{0x00, 0xFF, 0x27, 0x5C, 0xC3, 0x28};
  const std::string memo = "\xc3\x9c" "n\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9 'x' \\ line";
  std::unique_ptr<TCustomDASQL> sql = conn.CreateSQL();
  sql->SetSQLText("INSERT INTO da_uni VALUES (1, :s, :b, :m)");
  sql->ParamByName("s").SetAsWideString(text);
  sql->ParamByName("b").SetAsBlob(bytes);
  sql->ParamByName("m").SetAsMemo(memo);
  sql->Execute();
  EXPECT_EQ(sql->RowsAffected(), 1);

  auto ds = Query("SELECT s, b, m, OCTET_LENGTH(s) AS n FROM da_uni WHERE s = :s");
  ds->ParamByName("s").SetAsWideString(text);
  ds->Open();
  ASSERT_EQ(ds->RecordCount(), 1);
  EXPECT_EQ(ds->FieldByName("s").AsWideString(), text);
  EXPECT_EQ(ds->FieldByName("b").AsBytes(), bytes);
  EXPECT_EQ(ds->FieldByName("m").AsString(), memo);
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 12);
}

TEST_F(DADataSetServer, MacrosNameTablesAndQuoteTheirTexts) {
  MakeNumbers("da_nums_macros");
  auto ds = Query("SELECT COUNT(*) AS n, &v AS s FROM &tab WHERE id > :min");
  ASSERT_EQ(ds->MacroCount(), 2);
  ds->MacroByName("tab").SetValue("da_nums_macros");
  ds->MacroByName("v").SetAsString("O'Brien\\");
  ds->ParamByName("min").SetAsInteger(990);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 10);
  EXPECT_EQ(ds->FieldByName("s").AsString(), "O'Brien\\");
  // A change of a macro the open text uses closes it for the new text.
  ds->MacroByName("tab").SetValue("(SELECT * FROM da_nums_macros WHERE v > 1990) x");
  EXPECT_FALSE(ds->Active());
  ds->Open();
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 5);
}

// BIGINT UNSIGNED columns (ids, information_schema sizes) open as exact
// decimal fields, and a parameter taken from one reaches the server whole.
TEST_F(DADataSetServer, UnsignedBigintColumnsOpenWithEveryValue) {
  auto ds = Query("SELECT CAST(18446744073709551615 AS UNSIGNED) AS u, CHARACTER_MAXIMUM_LENGTH AS l "
                  "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = 'information_schema' LIMIT 1");
  ds->Open();
  EXPECT_EQ(ds->FieldByName("u").AsString(), "18446744073709551615");
  auto back = Query("SELECT :u = 18446744073709551615 AS same");
  back->ParamByName("u").SetValue(ds->FieldByName("u").AsVariant());
  back->Open();
  EXPECT_EQ(back->FieldByName("same").AsInteger(), 1);
}

}  // namespace
}  // namespace lumo
