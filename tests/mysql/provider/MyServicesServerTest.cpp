// The MySQL data-set service and generator against the test server: which
// columns become keys (primary, unique, composite, never a plain index),
// generated statements that the server runs, row-version conditions, quick
// refresh, record counts of rewritten queries, default values (a new row
// takes them, the server evaluates expressions), origins and auto-increment
// fields; the schema a USE statement selects.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <lumokit/components/DADataSet.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Streams.h>
#include <lumokit/dataset/FieldTypes.h>
#include <lumokit/mysql/provider/MyServices.h>
#include "mysql/MyDAConnection.h"
#include "support/ConnectionMode.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::MyDAConnection;

class MyServiceDataSet : public TCustomDADataSet {
 protected:
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    return std::make_unique<TCustomMyDataSetService>(*this);
  }
};

class MyServicesServer : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_REQUIRE_SERVER();
    conn.Connect();
  }

  void Table(const std::string& name, const std::string& definition, const std::string& rows = "") {
    conn.ExecSQL("DROP TABLE IF EXISTS " + name);
    conn.ExecSQL("CREATE TABLE " + name + " " + definition);
    if (!rows.empty()) conn.ExecSQL("INSERT INTO " + name + " VALUES " + rows);
  }
  std::unique_ptr<MyServiceDataSet> Open(const std::string& sql, bool open = true) {
    auto ds = std::make_unique<MyServiceDataSet>();
    ds->SetConnection(&conn);
    ds->SetSQLText(sql);
    if (open) ds->Open();
    return ds;
  }
  static TCustomMyDataSetService& Service(TCustomDADataSet& ds) {
    return dynamic_cast<TCustomMyDataSetService&>(ds.DADataSetService());
  }
  static std::vector<std::string> Keys(TCustomDADataSet& ds) {
    TFieldDescArray keys;
    Service(ds).GetKeyFieldDescs(keys);
    std::vector<std::string> names;
    for (TKxFieldDesc* key : keys) names.push_back(key->Name());
    return names;
  }
  // The generated text with its markers replaced by `values` in order.
  static std::string WithValues(const std::string& sql, const std::vector<std::string>& values) {
    std::string out;
    std::size_t next = 0;
    for (char c : sql) {
      if (c == '?' && next < values.size())
        out += values[next++];
      else
        out += c;
    }
    EXPECT_EQ(next, values.size()) << sql;
    return out;
  }
  std::int64_t Count(const std::string& sql) { return Open(sql)->Fields()[0].AsLargeInt(); }

  MyDAConnection conn{true};
  TDAParams params;
};

TEST_F(MyServicesServer, KeysComeFromPrimaryThenUniqueKeysNeverFromPlainIndexes) {
  Table("gs_pk_uq", "(id INT PRIMARY KEY, u INT UNIQUE, v INT)");
  // Nullable: a unique key of NOT NULL columns is reported as the primary key.
  Table("gs_uq", "(u INT UNIQUE, v INT)");
  Table("gs_comp", "(a INT, b INT, v INT, PRIMARY KEY (a, b))");
  Table("gs_comp_uq", "(a INT, b INT, v INT, UNIQUE KEY (a, b))");
  Table("gs_nn_uq", "(a INT NOT NULL, b INT NOT NULL, v INT, UNIQUE KEY (a, b))");
  Table("gs_idx", "(a INT, v INT, m TEXT, KEY (a))", "(1, 1, 'x')");

  EXPECT_EQ(Keys(*Open("SELECT * FROM gs_pk_uq")), (std::vector<std::string>{"id"}));
  auto unique = Open("SELECT * FROM gs_uq");
  EXPECT_EQ(Keys(*unique), (std::vector<std::string>{"u"}));
  EXPECT_EQ(Keys(*Open("SELECT * FROM gs_comp")), (std::vector<std::string>{"a", "b"}));
  // The composite unique key comes from the server's index list, in its order.
  EXPECT_EQ(Keys(*Open("SELECT v, b, a FROM gs_comp_uq")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Keys(*Open("SELECT v, b, a FROM gs_nn_uq")), (std::vector<std::string>{"b", "a"}));
  // A name with quotes reaches the metadata as a literal.
  Table("`gs q'x\\`", "(a INT, b INT, UNIQUE KEY (a, b))");
  EXPECT_EQ(Keys(*Open("SELECT * FROM `gs q'x\\`")), (std::vector<std::string>{"a", "b"}));

  // Several rows may hold NULL in a unique column: such a row is found by
  // all its fields.
  conn.ExecSQL("INSERT INTO gs_uq VALUES (NULL, 1), (NULL, 2), (3, 3)");
  unique->Refresh();
  EXPECT_EQ(Service(*unique).SQLGenerator().GenerateSQL(stDelete, false, &params),
            "DELETE FROM gs_uq\r\nWHERE\r\n  u IS NULL AND v = ?");
  unique->Last();
  EXPECT_EQ(Service(*unique).SQLGenerator().GenerateSQL(stDelete, false, &params),
            "DELETE FROM gs_uq\r\nWHERE\r\n  u = ?");

  // The server flags a as a key column (of a non-unique index): it must not
  // become the key, or an UPDATE could change every row sharing its value.
  auto plain = Open("SELECT * FROM gs_idx");
  ASSERT_TRUE(plain->GetFieldDesc("a")->IsKey());
  EXPECT_TRUE(Keys(*plain).empty());
  EXPECT_EQ(Service(*plain).SQLGenerator().GenerateSQL(stDelete, false, &params),
            "DELETE FROM gs_idx\r\nWHERE\r\n  a = ? AND v = ?");
}

TEST_F(MyServicesServer, GeneratedStatementsRunOnTheServer) {
  Table("gs_odd", "(id INT PRIMARY KEY, `x.y` INT, `a``b` INT)", "(1, 10, 20)");
  auto ds = Open("SELECT * FROM gs_odd");
  TDASQLGenerator& gen = Service(*ds).SQLGenerator();
  ds->Edit();
  ds->FieldByName("x.y").SetAsInteger(11);
  ds->FieldByName("a`b").SetAsInteger(21);
  const std::string update = gen.GenerateSQL(stUpdate, true, &params);
  EXPECT_EQ(update, "UPDATE gs_odd\r\nSET\r\n  `x.y` = ?, `a``b` = ?\r\nWHERE\r\n  id = ?");
  ds->Cancel();
  conn.ExecSQL(WithValues(update, {"11", "21", "1"}));
  EXPECT_EQ(Count("SELECT `x.y` + `a``b` FROM gs_odd WHERE id = 1"), 32);

  ds->Append();
  ds->FieldByName("id").SetAsInteger(2);
  ds->FieldByName("a`b").SetAsInteger(5);
  const std::string insert = gen.GenerateSQL(stInsert, true, &params);
  ds->Cancel();
  conn.ExecSQL(WithValues(insert, {"2", "5"}));
  EXPECT_EQ(Count("SELECT COUNT(*) FROM gs_odd WHERE id = 2 AND `x.y` IS NULL AND `a``b` = 5"), 1);

  const std::string lock = gen.GenerateSQL(stLock, false, &params);
  EXPECT_EQ(lock, "SELECT * FROM gs_odd\r\nWHERE\r\n  id = ?\r\nFOR UPDATE");
  auto locked = Open(WithValues(lock, {"1"}));
  EXPECT_EQ(locked->RecordCount(), 1);

  const std::string del = gen.GenerateSQL(stDelete, false, &params);
  conn.ExecSQL(WithValues(del, {"1"}));
  EXPECT_EQ(Count("SELECT COUNT(*) FROM gs_odd"), 1);

  // A table whose name holds a "." is that one table, also behind an alias,
  // not table gs_dot of the current database.
  const std::string dotted = "`" + Open("SELECT DATABASE()")->Fields()[0].AsString() + ".gs_dot`";
  Table("gs_dot", "(id INT PRIMARY KEY, v INT)", "(1, 100)");
  Table(dotted, "(id INT PRIMARY KEY, v INT)", "(1, 1)");
  for (const std::string& from : {dotted, dotted + " w"}) {
    auto dot = Open("SELECT * FROM " + from);
    ASSERT_EQ(dot->TablesInfo()->Count(), 1) << from;
    EXPECT_EQ(dot->TablesInfo()->Items(0).TableName(), dotted) << from;
    EXPECT_EQ(Service(*dot).SQLGenerator().GenerateSQL(stLock, false, &params),
              "SELECT * FROM " + dotted + "\r\nWHERE\r\n  id = ?\r\nFOR UPDATE");
    dot->Edit();
    dot->FieldByName("v").SetAsInteger(dot->FieldByName("v").AsInteger() + 1);
    dot->Post();
    conn.ExecSQL("UPDATE " + dotted + " SET v = v + 10");
    dot->RefreshRecord();
    EXPECT_EQ(dot->FieldByName("v").AsInteger(), from == dotted ? 12 : 23) << from;
  }
  EXPECT_EQ(Count("SELECT v FROM gs_dot"), 100);
  conn.ExecSQL("DROP TABLE " + dotted);
}

TEST_F(MyServicesServer, RowVersionAndQuickRefreshUseTheTimestampColumn) {
  Table("gs_ts", "(id INT PRIMARY KEY, v INT, ts TIMESTAMP DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP)");
  conn.ExecSQL("INSERT INTO gs_ts (id, v) VALUES (1, 1)");
  auto ds = Open("SELECT * FROM gs_ts");
  TCustomMyDataSetService& service = Service(*ds);
  ASSERT_NE(service.TimestampField(), nullptr);
  EXPECT_EQ(service.TimestampField()->Name(), "ts");
  service.SetProp(prCheckRowVersion, true);
  ds->Edit();
  ds->FieldByName("v").SetAsInteger(2);
  EXPECT_EQ(service.SQLGenerator().GenerateSQL(stUpdate, true, &params),
            "UPDATE gs_ts\r\nSET\r\n  v = ?\r\nWHERE\r\n  id = ? AND ts = ?");
  ds->Cancel();

  const std::string quick = service.SQLGenerator().GenerateSQL(stRefreshQuick, false, &params);
  EXPECT_NE(quick.find("ts >= '"), std::string::npos) << quick;
  EXPECT_EQ(Open(quick)->RecordCount(), 1);

  Table("gs_nots", "(id INT PRIMARY KEY, v INT)");
  auto plain = Open("SELECT * FROM gs_nots");
  try {
    Service(*plain).SQLGenerator().GenerateSQL(stRefreshQuick, false, &params);
    FAIL() << "quick refresh without TIMESTAMP must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Timestamp field required");
  }
}

TEST_F(MyServicesServer, RecordCountsOfRewrittenQueries) {
  Table("gs_cnt", "(a INT, b INT)", "(1, 1), (1, 2), (2, 2), (3, 3), (3, 3)");
  auto count = [&](const std::string& sql) {
    auto ds = Open(sql, false);
    ds->Options().SetQueryRecCount(true);
    ds->SetFetchAll(false);
    ds->SetFetchRows(1);
    ds->Open();
    return ds->RecordCount();
  };
  EXPECT_EQ(count("SELECT a, b FROM gs_cnt ORDER BY a"), 5);
  EXPECT_EQ(count("SELECT DISTINCT a, b FROM gs_cnt"), 4);
  EXPECT_EQ(count("SELECT DISTINCT a AS x FROM gs_cnt"), 3);
  EXPECT_EQ(count("SELECT a FROM gs_cnt LIMIT 2"), 2);
  auto ds = Open("SELECT a FROM gs_cnt WHERE a > :m", false);
  ds->ParamByName("m").SetAsInteger(1);
  ds->Options().SetQueryRecCount(true);
  ds->SetFetchAll(false);
  ds->SetFetchRows(1);
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 3);
}

TEST_F(MyServicesServer, DefaultValuesOriginsAndAutoIncrementFields) {
  Table("gs_def",
        "(id INT AUTO_INCREMENT PRIMARY KEY, s VARCHAR(10) DEFAULT 'it''s', d DATE DEFAULT '2020-01-02', "
        "t TIMESTAMP DEFAULT CURRENT_TIMESTAMP, n INT DEFAULT 5, z INT)");
  auto ds = Open("SELECT x.* FROM gs_def x", false);
  ds->Options().SetDefaultValues(true);
  ds->Options().SetFieldsOrigin(true);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("s").DefaultExpression(), "'it''s'");
  EXPECT_EQ(ds->FieldByName("d").DefaultExpression(), "'2020-01-02'");
  EXPECT_EQ(ds->FieldByName("t").DefaultExpression(), "CURRENT_TIMESTAMP");
  EXPECT_EQ(ds->FieldByName("n").DefaultExpression(), "'5'");
  EXPECT_EQ(ds->FieldByName("z").DefaultExpression(), "");
  EXPECT_EQ(ds->FieldByName("s").Origin(), "x.s");
  // A new row takes them; CURRENT_TIMESTAMP is the server's to evaluate.
  ds->Append();
  EXPECT_EQ(ds->FieldByName("s").AsString(), "it's");
  EXPECT_EQ(ds->FieldByName("d").AsDateTime(), EncodeDate(2020, 1, 2));
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 5);
  EXPECT_TRUE(ds->FieldByName("z").IsNull());
  const double now = Open("SELECT NOW()")->Fields()[0].AsDateTime();
  EXPECT_LT(std::fabs(ds->FieldByName("t").AsDateTime() - now), 1.0 / 24);
  ds->Post();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM gs_def WHERE s = 'it''s' AND n = 5 AND t IS NOT NULL"), 1);

  Table("`gs d'ef`", "(id INT PRIMARY KEY, s VARCHAR(5) DEFAULT 'z')");
  auto quoted = Open("SELECT * FROM `gs d'ef`", false);
  quoted->Options().SetDefaultValues(true);
  quoted->Open();
  EXPECT_EQ(quoted->FieldByName("s").DefaultExpression(), "'z'");

  // Defaults that only the server can evaluate are the updater's (Append
  // would ask it); the identity field is checked on a plain data set.
  auto plain = Open("SELECT * FROM gs_def");
  TField& id = plain->FieldByName("id");
  EXPECT_TRUE(id.ReadOnly());
  EXPECT_EQ(id.AutoGenerateValue(), arAutoInc);
  ASSERT_NE(Service(*plain).IdentityField(), nullptr);
  EXPECT_EQ(Service(*plain).IdentityField()->Name(), "id");
  // Expressions other than literals go to the server in one statement.
  plain->FieldByName("n").SetDefaultExpression("(40 + 2)");
  plain->FieldByName("s").SetDefaultExpression("CONCAT('a', 'b')");
  plain->FieldByName("z").SetDefaultExpression("(3)");
  plain->Append();
  EXPECT_EQ(plain->FieldByName("n").AsInteger(), 42);
  EXPECT_EQ(plain->FieldByName("s").AsString(), "ab");
  EXPECT_EQ(plain->FieldByName("z").AsInteger(), 3);
  plain->FieldByName("s").Clear();
  plain->FieldByName("z").Clear();
  plain->FieldByName("n").SetAsInteger(7);
  // The identity field is not written; the server gives it.
  EXPECT_EQ(Service(*plain).SQLGenerator().GenerateSQL(stInsert, true, &params),
            "INSERT INTO gs_def\r\n  (n)\r\nVALUES\r\n  (?)");
  plain->Cancel();
}

TEST_F(MyServicesServer, NumberRangesAndXmlAttributesFollowTheColumnTypes) {
  Table("gs_num", "(id INT AUTO_INCREMENT PRIMARY KEY, t TINYINT UNSIGNED, s SMALLINT, m MEDIUMINT, "
                  "d DECIMAL(5,2), ts TIMESTAMP DEFAULT CURRENT_TIMESTAMP)",
        "(1, 200, -5, 7, 123.45, '2020-01-01 00:00:00')");
  auto ds = Open("SELECT * FROM gs_num", false);
  ds->Options().SetNumberRange(true);
  ds->Open();
  auto range = [&](const char* name) {
    auto& field = dynamic_cast<TIntegerField&>(ds->FieldByName(name));
    return std::make_pair(field.MinValue(), field.MaxValue());
  };
  EXPECT_EQ(range("t"), std::make_pair(std::int64_t{0}, std::int64_t{255}));
  EXPECT_EQ(range("s"), std::make_pair(std::int64_t{-32768}, std::int64_t{32767}));
  EXPECT_EQ(range("m"), std::make_pair(std::int64_t{-8388608}, std::int64_t{8388607}));
  if (auto* d = dynamic_cast<TFloatField*>(&ds->FieldByName("d"))) EXPECT_DOUBLE_EQ(d->MaxValue(), 999.99);

  TMemoryStream xml;
  ds->SaveToXML(xml);
  const std::string text(reinterpret_cast<const char*>(xml.Memory()), static_cast<std::size_t>(xml.Size()));
  const std::size_t id = text.find("name='id'");
  const std::size_t ts = text.find("name='ts'");
  ASSERT_NE(id, std::string::npos) << text;
  ASSERT_NE(ts, std::string::npos);
  EXPECT_NE(text.substr(id, text.find('>', id) - id).find("rs:maybenull='false'"), std::string::npos) << text;
  EXPECT_NE(text.substr(ts, text.find('>', ts) - ts).find("rs:rowver='true'"), std::string::npos) << text;
}

TEST_F(MyServicesServer, OpenNextWalksTheResultsOfOneStatement) {
  auto ds = Open("SELECT 1 AS a; SELECT 'two' AS b", false);
  ds->SetFetchAll(false);
  TCustomMyDataSetService& service = Service(*ds);
  EXPECT_TRUE(service.OpenNext());  // a closed data set just opens
  EXPECT_EQ(ds->Fields()[0].FieldName(), "a");
  EXPECT_TRUE(service.OpenNext());
  EXPECT_EQ(ds->FieldByName("b").AsString(), "two");
  EXPECT_FALSE(service.OpenNext());
  EXPECT_FALSE(ds->Active());

  ds->SetFetchAll(true);
  ds->Open();
  try {
    service.OpenNext();
    FAIL() << "OpenNext with FetchAll must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "OpenNext is not compatible with FetchAll = True");
  }
}

// The schema a USE statement selects, through the wire client (which the
// server tells of the change) and the client library (which asks).
class MyServicesSchema : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(MyServicesSchema);

TEST_P(MyServicesSchema, DefaultsKeysAndAdditionalConnectionsFollowAUseStatement) {
  LUMO_REQUIRE_SERVER();
  MyDAConnection c{true};
  c.Connect();
  const std::string other = test::ModeName(test::TestServer().scratchDatabase + "_use");
  c.ExecSQL("CREATE DATABASE IF NOT EXISTS `" + other + "`");
  c.ExecSQL("USE `" + other + "`");
  c.ExecSQL("DROP TABLE IF EXISTS gs_use");
  // A composite unique key has no per-column flag: the index list says it.
  c.ExecSQL("CREATE TABLE gs_use (a INT, b INT, v INT DEFAULT 7, UNIQUE KEY (a, b))");
  c.ExecSQL("INSERT INTO gs_use VALUES (1, 1, 1)");
  for (bool fetchAll : {true, false}) {
    SCOPED_TRACE(fetchAll ? "fetch all" : "additional connection");
    MyServiceDataSet ds;
    ds.SetConnection(&c);
    ds.SetSQLText("SELECT * FROM gs_use");
    ds.SetFetchAll(fetchAll);
    ds.Options().SetDefaultValues(true);
    ds.Open();
    EXPECT_EQ(ds.RecordCount(), 1);
    EXPECT_EQ(ds.FieldByName("v").DefaultExpression(), "'7'");
    TFieldDescArray keys;
    dynamic_cast<TCustomMyDataSetService&>(ds.DADataSetService()).GetKeyFieldDescs(keys);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0]->Name(), "a");
  }
}

}  // namespace
}  // namespace lumo
