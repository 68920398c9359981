// MySQL metadata against the test server: every kind on tables, indexes and
// routines whose names need quotes, hostile restriction values in both
// backslash modes, and the required restrictions.
#include <lumokit/mysql/provider/MyClassesMetaData.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/FakeMySqlServer.h"
#include "mysql/MyTestConnection.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;
using Rows = std::vector<std::vector<std::string>>;

using test::ConnectUnicode;

// The listed columns of every row of a metadata answer ("NULL" for null).
Rows Request(TMySQLMetaData& md, TMySQLConnection& c, const std::string& kind,
             std::initializer_list<std::string> restrictions, std::initializer_list<std::string> columns) {
  TStringList list;
  for (const std::string& r : restrictions) list.Add(r);
  TData& data = md.GetMetaData(&c, nullptr, kind, list);
  Rows rows;
  TRecBuf rec = data.AllocRecBuf();
  data.SetToBegin();
  for (;;) {
    data.GetNextRecord(rec.get());
    if (data.GetEOF()) break;
    auto& row = rows.emplace_back();
    for (const std::string& name : columns) {
      const Variant v = data.GetFieldAsVariant(data.FieldByName(name).FieldNo(), rec.get());
      row.push_back(v.IsNull() ? "NULL" : v.AsString());
    }
  }
  return rows;
}

// The server's error code of what `f` raises (0 for none).
int MyErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EMyError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A result set of text columns for the fake server.
void SendResult(test::FakeMySqlScript& script, const std::vector<std::string>& columns,
                const std::vector<std::vector<const char*>>& rows) {
  script.Send(test::LenEnc(columns.size()));
  for (const std::string& name : columns) script.Send(test::ColumnDef41(name));
  script.Send(test::EofPacket());
  for (const auto& row : rows) script.Send(test::TextRow(row));
  script.Send(test::EofPacket());
}

// A server before version 5: SHOW statements with quoted names, their rows
// copied into the kind's result, and empty answers where there is no query.
TEST(MyMetaDataFake, ShowStatementsOfOldServers) {
  test::FakeGreeting greeting;
  greeting.ServerVersion = "4.1.22-log";
  test::FakeMySqlScript script;
  script.Login(greeting).Receive();
  SendResult(script, {"Tables_in_o`ld"}, {{"t1"}, {"t`2"}});
  script.Receive();
  SendResult(script, {"Field", "Type", "Null", "Key", "Default", "Extra"},
             {{"id", "int(11)", "", "PRI", nullptr, ""}, {"v", "varchar(5)", "YES", "", "d'x", ""}});
  script.Receive();
  test::FakeMySqlServer server(script);
  TMySQLConnection c;
  c.SetServer("127.0.0.1");
  c.SetProp(prPort, server.Port());
  c.SetUsername("u");
  c.SetProp(prDatabase, std::string("db1"));
  c.Connect("");
  ASSERT_EQ(c.ServerPrimaryVer(), 4);
  TMySQLMetaData md;
  EXPECT_EQ(Request(md, c, "tables", {"TABLE_SCHEMA=o`ld", "TABLE_NAME=ignored", "TABLE_TYPE=VIEW"},
                    {"TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"}),
            (Rows{{"o`ld", "t1", "NULL"}, {"o`ld", "t`2", "NULL"}}));
  EXPECT_EQ(Request(md, c, "columns", {"TABLE_NAME=`t``x; DROP TABLE y`"},
                    {"TABLE_SCHEMA", "TABLE_NAME", "COLUMN_NAME", "POSITION", "DATA_TYPE", "NULLABLE", "DEFAULT_VALUE"}),
            (Rows{{"db1", "t`x; DROP TABLE y", "id", "1", "int(11)", "0", "NULL"},
                  {"db1", "t`x; DROP TABLE y", "v", "2", "varchar(5)", "1", "d'x"}}));
  EXPECT_TRUE(Request(md, c, "procedures", {}, {"PROCEDURE_NAME"}).empty());
  EXPECT_TRUE(Request(md, c, "procedureparameters", {"PROCEDURE_NAME=p"}, {"PARAMETER_NAME"}).empty());
  EXPECT_TRUE(Request(md, c, "constraints", {}, {"CONSTRAINT_NAME"}).empty());
  TStringList none;
  EXPECT_THROW(md.GetMetaData(&c, nullptr, "columns", none), EMetaDataError);
  c.Disconnect();
  ASSERT_TRUE(server.WaitDone());
  EXPECT_TRUE(server.Failures().empty());
  std::vector<std::string> queries;
  for (const auto& p : server.Received())
    if (!p.Payload.empty() && p.Payload[0] == '\x03') queries.push_back(p.Payload.substr(1));
  EXPECT_EQ(queries, (std::vector<std::string>{"SHOW TABLES FROM `o``ld`",
                                               "SHOW COLUMNS FROM `t``x; DROP TABLE y`"}));

  // Without a current database a tables request asks nothing.
  test::FakeMySqlServer bare(test::FakeMySqlScript().Login(greeting).Receive());
  TMySQLConnection d;
  d.SetServer("127.0.0.1");
  d.SetProp(prPort, bare.Port());
  d.SetUsername("u");
  d.Connect("");
  EXPECT_TRUE(Request(md, d, "tables", {}, {"TABLE_NAME"}).empty());
  d.Disconnect();
  ASSERT_TRUE(bare.WaitDone());
  EXPECT_EQ(bare.Received().size(), 2u);  // the login and QUIT
}

const std::string kSchema = "TABLE_SCHEMA=" + TestServer().scratchDatabase;

// The objects of one test, named after it (tests run in parallel).
struct TestObjects {
  explicit TestObjects(const std::string& prefix)
      : Table(prefix + " tab`le"), Quoted("`" + prefix + " tab``le`"), Odd(prefix + " q'b\\s"),
        Victim(prefix + "_victim"), View(prefix + "_view") {}
  std::string Table, Quoted, Odd, Victim, View;

  void Create(TMySQLConnection& c) const {
    const TMySQLInfo& info = MySQLInfo();
    c.ExecStatement("DROP VIEW IF EXISTS " + View);
    c.ExecStatement("DROP TABLE IF EXISTS " + Quoted + ", " + info.QuoteIdentifier(Odd) + ", " + Victim);
    c.ExecStatement("CREATE TABLE " + Quoted +
                    " (id INT NOT NULL PRIMARY KEY, `my col` VARCHAR(20) NOT NULL DEFAULT 'd', "
                    "b INT NULL, UNIQUE KEY `u k` (`my col`), KEY two (b, id))");
    c.ExecStatement("CREATE TABLE " + info.QuoteIdentifier(Odd) + " (id INT)");
    c.ExecStatement("CREATE TABLE " + Victim + " (id INT)");
    c.ExecStatement("CREATE VIEW " + View + " AS SELECT id FROM " + Victim);
  }
};

TEST(MyMetaDataServer, TablesColumnsAndConstraints) {
  LUMO_REQUIRE_SERVER();
  auto c = ConnectUnicode();
  const TestObjects o("mdt");
  o.Create(*c);
  TMySQLMetaData md;
  const std::string db = TestServer().scratchDatabase;
  EXPECT_EQ(Request(md, *c, "Tables ", {kSchema, "TABLE_NAME=" + o.Table}, {"TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"}),
            (Rows{{db, o.Table, "BASE TABLE"}}));
  EXPECT_EQ(Request(md, *c, "tables", {kSchema, "TABLE_NAME=" + o.Quoted}, {"TABLE_NAME"}), (Rows{{o.Table}}));
  const Rows views = Request(md, *c, "tables", {kSchema, "TABLE_TYPE=view"}, {"TABLE_NAME", "TABLE_TYPE"});
  EXPECT_NE(std::find(views.begin(), views.end(), std::vector<std::string>{o.View, "VIEW"}), views.end());
  for (const auto& row : views) EXPECT_EQ(row[1], "VIEW");
  EXPECT_EQ(Request(md, *c, "tables", {kSchema, "TABLE_NAME=" + o.View, "TABLE_TYPE=view, base table"}, {"TABLE_NAME"})
                .size(),
            1u);
  // SCOPE=local: the current database, whatever TABLE_SCHEMA says.
  const Rows local = Request(md, *c, "tables", {"TABLE_SCHEMA=mysql", "SCOPE=local"}, {"TABLE_SCHEMA", "TABLE_NAME"});
  ASSERT_FALSE(local.empty());
  for (const auto& row : local) EXPECT_EQ(row[0], db);

  EXPECT_EQ(Request(md, *c, "columns", {kSchema, "TABLE_NAME=" + o.Table},
                    {"TABLE_NAME", "COLUMN_NAME", "POSITION", "DATA_TYPE", "DATA_LENGTH", "NULLABLE"}),
            (Rows{{o.Table, "id", "1", "int", "NULL", "0"},
                  {o.Table, "my col", "2", "varchar", "20", "0"},
                  {o.Table, "b", "3", "int", "NULL", "1"}}));
  EXPECT_EQ(Request(md, *c, "columns", {kSchema, "TABLE_NAME=" + o.Table, "COLUMN_NAME=my col"}, {"COLUMN_NAME"}),
            (Rows{{"my col"}}));

  EXPECT_EQ(Request(md, *c, "constraints", {kSchema, "TABLE_NAME=" + o.Table}, {"CONSTRAINT_NAME", "CONSTRAINT_TYPE"}),
            (Rows{{"PRIMARY", "PRIMARY KEY"}, {"u k", "UNIQUE"}}));
  EXPECT_EQ(Request(md, *c, "constraints", {kSchema, "TABLE_NAME=" + o.Table, "CONSTRAINT_TYPE=unique"},
                    {"CONSTRAINT_NAME"}),
            (Rows{{"u k"}}));

  const Rows dbs = Request(md, *c, "databases", {}, {"DATABASE_NAME"});
  EXPECT_NE(std::find(dbs.begin(), dbs.end(), std::vector<std::string>{db}), dbs.end());
  EXPECT_NE(std::find(dbs.begin(), dbs.end(), std::vector<std::string>{TestServer().database}), dbs.end());
}

TEST(MyMetaDataServer, HostileRestrictionValuesInBothBackslashModes) {
  LUMO_REQUIRE_SERVER();
  for (const bool noBackslashes : {false, true}) {
    SCOPED_TRACE(noBackslashes ? "NO_BACKSLASH_ESCAPES" : "backslash escapes");
    auto c = ConnectUnicode(noBackslashes);
    const TestObjects o("mdh");
  o.Create(*c);
    TMySQLMetaData md;
    // A real name holding a quote and a backslash is found exactly.
    EXPECT_EQ(Request(md, *c, "tables", {kSchema, "TABLE_NAME=" + o.Odd}, {"TABLE_NAME"}), (Rows{{o.Odd}}));
    EXPECT_EQ(Request(md, *c, "columns", {kSchema, "TABLE_NAME=" + o.Odd}, {"COLUMN_NAME"}), (Rows{{"id"}}));
    const std::vector<std::string> hostiles = {"x' OR '1'='1", "x\\' OR 1=1 -- ", "x\\",
                                               o.Victim + "' OR TABLE_NAME <> '",
                                               "x\\'); DROP TABLE " + o.Victim + "; -- "};
    for (const std::string& hostile : hostiles) {
      SCOPED_TRACE(hostile);
      EXPECT_TRUE(Request(md, *c, "tables", {kSchema, "TABLE_NAME=" + hostile}, {"TABLE_NAME"}).empty());
      EXPECT_TRUE(Request(md, *c, "tables", {kSchema, "TABLE_TYPE=" + hostile}, {"TABLE_NAME"}).empty());
      EXPECT_TRUE(Request(md, *c, "procedures", {"PROCEDURE_TYPE=" + hostile}, {"PROCEDURE_NAME"})
                      .empty());
      EXPECT_TRUE(
          Request(md, *c, "constraints", {"TABLE_SCHEMA=" + hostile}, {"TABLE_NAME"}).empty());
    }
    // Names in SHOW statements: a hostile table name is only a missing table.
    EXPECT_EQ(MyErrorOf([&] {
                Request(md, *c, "indexes", {"TABLE_NAME=" + o.Victim + "`; DROP TABLE " + o.Victim + "; -- "}, {"INDEX_NAME"});
              }),
              1146);
    EXPECT_EQ(MyErrorOf([&] {
                Request(md, *c, "indexcolumns", {"TABLE_NAME=" + o.Victim, "TABLE_SCHEMA=x`; DROP TABLE " + o.Victim},
                        {"INDEX_NAME"});
              }),
              1146);
    EXPECT_EQ(Request(md, *c, "tables", {kSchema, "TABLE_NAME=" + o.Victim}, {"TABLE_NAME"}).size(), 1u);
  }
}

TEST(MyMetaDataServer, IndexesAndIndexColumns) {
  LUMO_REQUIRE_SERVER();
  auto c = ConnectUnicode();
  const TestObjects o("mdi");
  o.Create(*c);
  TMySQLMetaData md;
  const std::string db = TestServer().scratchDatabase;
  EXPECT_EQ(Request(md, *c, "indexes", {"TABLE_NAME=" + o.Table},
                    {"TABLE_SCHEMA", "INDEX_SCHEMA", "TABLE_NAME", "INDEX_NAME", "UNIQUE"}),
            (Rows{{db, db, o.Table, "PRIMARY", "1"},
                  {db, db, o.Table, "u k", "1"},
                  {db, db, o.Table, "two", "0"}}));
  const Rows columns = Request(md, *c, "indexcolumns", {kSchema, "TABLE_NAME=" + o.Quoted},
                               {"INDEX_NAME", "COLUMN_NAME", "COLUMN_POSITION", "SORT_ORDER"});
  EXPECT_EQ(columns, (Rows{{"PRIMARY", "id", "1", "ASC"},
                           {"u k", "my col", "1", "ASC"},
                           {"two", "b", "1", "ASC"},
                           {"two", "id", "2", "ASC"}}));
  // A qualified table name.
  EXPECT_EQ(Request(md, *c, "indexes", {"TABLE_NAME=" + db + "." + o.Quoted}, {"INDEX_NAME"}).size(), 3u);

  TStringList none;
  EXPECT_THROW(
      {
        try {
          md.GetMetaData(c.get(), nullptr, "Indexes", none);
        } catch (const EMetaDataError& e) {
          EXPECT_EQ(e.Message(), "TABLE_NAME restriction must be set");
          throw;
        }
      },
      EMetaDataError);
}

TEST(MyMetaDataServer, ProceduresAndTheirParameters) {
  LUMO_REQUIRE_SERVER();
  auto c = ConnectUnicode();
  const std::string db = TestServer().scratchDatabase;
  c->ExecStatement("DROP FUNCTION IF EXISTS `md fn`");
  c->ExecStatement("DROP PROCEDURE IF EXISTS md_proc");
  c->ExecStatement("CREATE FUNCTION `md fn`(a INT, b VARCHAR(10)) RETURNS VARCHAR(20) DETERMINISTIC RETURN "
                   "CONCAT(a, b)");
  c->ExecStatement("CREATE PROCEDURE md_proc(IN a INT, OUT b DECIMAL(10,2), INOUT c VARCHAR(5)) SET b = a");
  TMySQLMetaData md;
  EXPECT_EQ(Request(md, *c, "procedures", {"PROCEDURE_SCHEMA=" + db, "PROCEDURE_TYPE=function, procedure",
                                           "PROCEDURE_NAME=md fn"},
                    {"PROCEDURE_SCHEMA", "PROCEDURE_NAME", "PROCEDURE_TYPE"}),
            (Rows{{db, "md fn", "FUNCTION"}}));
  EXPECT_TRUE(
      Request(md, *c, "procedures", {"PROCEDURE_TYPE=procedure", "PROCEDURE_NAME=md fn"}, {"PROCEDURE_NAME"}).empty());

  const std::initializer_list<std::string> cols = {"PROCEDURE_SCHEMA", "PROCEDURE_NAME", "PARAMETER_NAME", "POSITION",
                                                   "DIRECTION",        "DATA_TYPE",      "DATA_LENGTH"};
  EXPECT_EQ(Request(md, *c, "procedureparameters", {"PROCEDURE_NAME=`md fn`"}, cols),
            (Rows{{db, "md fn", "", "0", "OUT", "VARCHAR", "20"},
                  {db, "md fn", "a", "1", "IN", "INT", "NULL"},
                  {db, "md fn", "b", "2", "IN", "VARCHAR", "10"}}));
  // The schema asked for is where the routine is looked up.
  c->ExecStatement("USE " + TestServer().database);
  EXPECT_EQ(Request(md, *c, "procedureparameters", {"PROCEDURE_SCHEMA=" + db, "PROCEDURE_NAME=md_proc"}, cols),
            (Rows{{db, "md_proc", "a", "1", "IN", "INT", "NULL"},
                  {db, "md_proc", "b", "2", "OUT", "DECIMAL(10,2)", "10"},
                  {db, "md_proc", "c", "3", "IN/OUT", "VARCHAR", "5"}}));
  TStringList none;
  EXPECT_THROW(md.GetMetaData(c.get(), nullptr, "ProcedureParameters", none), EMetaDataError);
}

}  // namespace
}  // namespace lumo
