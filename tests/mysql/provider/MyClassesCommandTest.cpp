// The MySQL command: the text sent for parameters (placeholders in strings
// and comments, recorded positions, numbers given as text), routine
// declarations and call texts, output parameters read back; against the
// test server: multi-result batches, affected rows, cancelling a running
// statement, and procedures with IN/INOUT/OUT parameters and 0, 1 or 2
// result sets.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <lumokit/core/Collation.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "mysql/MyTestConnection.h"
#include "support/ConnectionMode.h"
#include "support/FakeMySqlServer.h"
#include "support/TestServer.h"
#include "support/Wait.h"

namespace lumo {
namespace {

using test::TestServer;

void AddValue(TMySQLCommand& c, std::uint16_t type, Variant v, TParamDirection dir = pdInput) {
  TParamDesc& p = c.AddParam();
  p.SetDataType(type);
  p.SetParamType(dir);
  p.SetValue(v);
}

TEST(MyCommand, PlaceholdersInStringsAndCommentsStay) {
  TMySQLCommand c;
  c.SetSQL("SELECT '?', ? /* ? */, `?`, \"a\\\"?\", ? -- ?\n, ?");
  EXPECT_EQ(c.GetParamCount(), 0);
  AddValue(c, dtInt32, 1);
  AddValue(c, dtString, std::string("it's"));
  AddValue(c, dtString, Variant::Null());
  EXPECT_EQ(c.PlaceParamValues(), "SELECT '?', 1 /* ? */, `?`, \"a\\\"?\", 'it\\'s' -- ?\n, NULL");

  AddValue(c, dtInt32, 9);  // more parameters than placeholders: the rest are unused
  EXPECT_EQ(c.PlaceParamValues(), "SELECT '?', 1 /* ? */, `?`, \"a\\\"?\", 'it\\'s' -- ?\n, NULL");
  c.ClearParams();
  AddValue(c, dtInt32, 1);
  EXPECT_THROW(c.PlaceParamValues(), EDAError);
}

TEST(MyCommand, NamedParametersUseRecordedPositions) {
  TMySQLCommand c;
  c.SetSQL("SELECT :a, ':b', x::int, :c /* :d */");
  ASSERT_EQ(c.GetParamCount(), 2);
  EXPECT_EQ(c.SQL(), "SELECT ?, ':b', x::int, ? /* :d */");
  EXPECT_EQ(c.ParamPositions(), (std::vector<std::int32_t>{8, 25}));
  c.GetParam(0).SetDataType(dtInt32);
  c.GetParam(0).SetValue(std::string("42"));  // a number given as text is converted first
  c.GetParam(1).SetDataType(dtFloat);
  c.GetParam(1).SetValue(std::string("2.5"));
  EXPECT_EQ(c.PlaceParamValues(), "SELECT 42, ':b', x::int, 2.5 /* :d */");
  c.GetParam(0).SetValue(std::string("1; DROP TABLE t"));
  EXPECT_THROW(c.PlaceParamValues(), EConvertError);

  // Positions given by the owner are used as they are.
  c.SetProp(prFillParamPosition, true);
  c.SetProp(prParamPosition, 8);
  c.GetParam(0).SetValue(7);
  EXPECT_EQ(c.PlaceParamValues(), "SELECT 7, ':b', x::int, ? /* :d */");
}

TEST(MyCommand, ParsesRoutineDeclarations) {
  const auto params = TMySQLCommand::ParseParamList(
      "IN a INT, INOUT `b c` VARCHAR(20) CHARSET utf8mb4, OUT d DECIMAL(10,2) UNSIGNED, e ENUM('x','y'),\n"
      " OUT $f BIGINT(20) UNSIGNED ZEROFILL, g TINYINT(1)");
  ASSERT_EQ(params.size(), 6u);
  const struct {
    const char* name;
    TParamDirection dir;
    const char* type;
    const char* text;
    bool isUnsigned;
    int size;
  } expected[] = {{"a", pdInput, "INT", "INT", false, 0},
                  {"b c", pdInputOutput, "VARCHAR", "VARCHAR", false, 20},
                  {"d", pdOutput, "DECIMAL", "DECIMAL(10,2)", true, 10},
                  {"e", pdInput, "ENUM", "ENUM", false, 0},
                  {"$f", pdOutput, "BIGINT", "BIGINT", true, 20},
                  {"g", pdInput, "TINYINT", "TINYINT", false, 1}};
  for (std::size_t i = 0; i < params.size(); ++i) {
    EXPECT_EQ(params[i].Name, expected[i].name) << i;
    EXPECT_EQ(params[i].Direction, expected[i].dir) << i;
    EXPECT_EQ(params[i].TypeName, expected[i].type) << i;
    EXPECT_EQ(params[i].TypeText, expected[i].text) << i;
    EXPECT_EQ(params[i].Unsigned, expected[i].isUnsigned) << i;
    EXPECT_EQ(params[i].Size, expected[i].size) << i;
  }
  EXPECT_TRUE(TMySQLCommand::ParseParamList("").empty());

  TMySQLCommand c;
  c.DescribeParams("IN a TINYINT(1), OUT s VARCHAR(5), OUT m TEXT", true, "int(11) DETERMINISTIC");
  ASSERT_EQ(c.GetParamCount(), 4);
  EXPECT_EQ(c.GetParam(0).Name(), "Result");
  EXPECT_EQ(c.GetParam(0).ParamType(), pdResult);
  EXPECT_EQ(c.GetParam(0).DataType(), dtInt32);
  EXPECT_EQ(c.GetParam(1).DataType(), dtBoolean);
  EXPECT_EQ(c.GetParam(2).DataType(), dtString);
  EXPECT_EQ(c.GetParam(2).Size(), 5);
  EXPECT_EQ(c.GetParam(3).DataType(), dtMemo);
  try {
    c.DescribeParams("IN a UUID", false, "");
    ADD_FAILURE() << "an unknown type was accepted";
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(), "Unknown column type \"UUID\" in \"IN a UUID\"");
  }
}

TEST(MyCommand, BuildsCallTexts) {
  const TMySQLInfo& info = MySQLInfo();
  std::string sql, user;
  TMySQLCommand::BuildProcCall("f", true, TMySQLCommand::ParseParamList("a INT, b INT"), info, sql, user);
  EXPECT_EQ(sql, "SELECT f(?, ?)");
  EXPECT_EQ(user, "SELECT f(:a, :b)");

  TMySQLCommand::BuildProcCall(
      "p", false,
      TMySQLCommand::ParseParamList("IN a INT, INOUT x INT UNSIGNED, OUT y DECIMAL(10,2), OUT `it's` DATE, "
                                    "OUT b BLOB, OUT t VARCHAR(3), OUT yr YEAR"),
      info, sql, user);
  const std::string select =
      "; SELECT CAST(@x AS UNSIGNED) AS '@x', CAST(@y AS DECIMAL(10,2)) AS '@y', "
      "CAST(@`it's` AS DATE) AS '@it''s', CAST(@b AS BINARY) AS '@b', @t AS '@t', "
      "CAST(@yr AS UNSIGNED) AS '@yr'";
  EXPECT_EQ(sql, "SET @x = ?; CALL p(?, @x, @y, @`it's`, @b, @t, @yr)" + select);
  EXPECT_EQ(user, "SET @x = :x; CALL p(:a, @x, @y, @`it's`, @b, @t, @yr)" + select);

  // A name that looks quoted to a string reader is still one identifier.
  TMySQLCommand::BuildProcCall("q", false,
                               TMySQLCommand::ParseParamList("OUT `'\\''); DROP TABLE victim; #'` INT, OUT `a``b` INT"),
                               info, sql, user);
  EXPECT_EQ(sql, "CALL q(@`'\\''); DROP TABLE victim; #'`, @`a``b`); SELECT CAST(@`'\\''); DROP TABLE victim; #'` "
                 "AS SIGNED) AS `@'\\''); DROP TABLE victim; #'`, CAST(@`a``b` AS SIGNED) AS '@a`b'");
}

TEST(MyCommand, ReadsOutputParametersFromOneRow) {
  TMySQLCommand c;
  AddValue(c, dtInt32, Variant::Null(), pdResult);
  AddValue(c, dtInt32, 0, pdInputOutput);
  c.GetParam(1).SetName("x");
  AddValue(c, dtString, Variant::Null(), pdOutput);
  c.GetParam(2).SetName("Y");
  AddValue(c, dtInt32, 5, pdInput);
  c.GetParam(3).SetName("in");
  bool fired = false;
  c.SetReadParams([&] { fired = true; });
  const std::vector<std::pair<std::string, Variant>> row = {{"r", 10}, {"@x", 11}, {"@y", std::string("v")}};
  c.ReadOutParams(
      [&](std::string_view name) {
        for (std::size_t i = 0; i < row.size(); ++i)
          if (AnsiSameText(row[i].first, name)) return static_cast<int>(i);
        return -1;
      },
      [&](int i) { return row[static_cast<std::size_t>(i)].second; });
  EXPECT_EQ(c.GetParam(0).GetValue().AsInt32(), 10);
  EXPECT_EQ(c.GetParam(1).GetValue().AsInt32(), 11);
  EXPECT_EQ(c.GetParam(2).GetValue().AsString(), "v");
  EXPECT_EQ(c.GetParam(3).GetValue().AsInt32(), 5);
  EXPECT_TRUE(fired);
  EXPECT_TRUE(c.CanReadParams());
  EXPECT_TRUE(c.IsSelectParams());
  EXPECT_THROW(c.ReadOutParams([](std::string_view) { return 0; },
                               [](int) { return Variant(NewShared<TSharedObject>()); }),
               EDAError);
}

void ConnectToFake(TMySQLConnection& c, const test::FakeMySqlServer& server) {
  c.SetServer("127.0.0.1");
  c.SetProp(prPort, server.Port());
  c.SetUsername("u");
  c.Connect("");
}

// A batch of statements without a result set asked for: prRowsProcessed
// is the count of the first statement; the
// further results are read and freed without changing it.
TEST(MyCommand, RowsProcessedOfABatchIsTheFirstStatements) {
  constexpr std::uint16_t kMoreResults = 2 | 8;  // autocommit, more results exist
  test::FakeMySqlScript session;
  session.Login()
      .Receive()
      .Send(test::OkPacket(3, 0, kMoreResults))
      .Send(test::OkPacket(1, 0, kMoreResults))
      .Send(test::OkPacket(2))
      .Receive();
  test::FakeMySqlServer server(session);
  TMySQLConnection c;
  ConnectToFake(c, server);
  TMySQLCommand cmd;
  cmd.SetConnection(&c);
  cmd.SetSQL("INSERT INTO t VALUES (1), (2), (3); UPDATE t SET a = 0 WHERE a = 1; DELETE FROM t WHERE a > 1");
  cmd.Execute();
  EXPECT_EQ(cmd.GetCursorState(), csInactive);
  Variant rows;
  ASSERT_TRUE(cmd.GetProp(prRowsProcessed, rows));
  EXPECT_EQ(rows.AsInt64(), 3);
  c.Disconnect();
  ASSERT_TRUE(server.WaitDone());
  EXPECT_TRUE(server.Failures().empty());
}

// ---- against the test server -------------------------------------------------------------

// A cancel whose killing connection is ready only after the statement has
// ended sends no KILL: it would end the idle session (or its next statement).
TEST(MyCommand, LateCancelSendsNoKill) {
  // The statement ends once the killing connection has been accepted; that
  // connection logs in only after the statement's end.
  test::FakeLatch killerAccepted, statementEnded;
  test::FakeMySqlScript session, killer;
  session.Login().Receive().Await(killerAccepted).Send(test::OkPacket()).Receive();
  killer.Release(killerAccepted).Await(statementEnded, 60000).Login().Receive();
  test::FakeMySqlServer server({session, killer});
  TMySQLConnection c;
  c.SetServer("127.0.0.1");
  c.SetProp(prPort, server.Port());
  c.SetProp(prConnectionTimeout, 60);  // the killing connection's too
  c.SetUsername("u");
  c.Connect("");
  TMySQLCommand cmd;
  cmd.SetConnection(&c);
  cmd.SetSQL("DO 1");
  auto run = std::async(std::launch::async, [&] { cmd.Execute(); });
  ASSERT_TRUE(test::WaitUntil([&] { return cmd.Executing(); }));
  auto cancel = std::async(std::launch::async, [&] { cmd.BreakExec(); });
  // The end of the statement does not wait for the killing connection.
  EXPECT_EQ(run.wait_for(std::chrono::milliseconds(test::kPatienceMs)), std::future_status::ready);
  statementEnded.Release();
  cancel.get();
  run.get();
  c.Disconnect();
  ASSERT_TRUE(server.WaitDone(2));
  EXPECT_TRUE(server.Failures().empty());
  EXPECT_EQ(server.Received(1).size(), 2u);  // the login and a QUIT
  for (const auto& p : server.Received()) EXPECT_EQ(p.Payload.find("KILL"), std::string::npos) << p.Payload;
}

// ---- against the test server, through the wire client and the client library --------------

class MyCommandServer : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(MyCommandServer);

std::unique_ptr<TMySQLConnection> Connect() {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  test::ApplyMode(*c);
  c->Connect("");
  return c;
}

// The rows of the command's current result, read through the facade.
std::vector<std::vector<std::optional<std::string>>> ReadRows(TMySQLCommand& c) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  TMySQLAPI& api = *c.GetConnection()->MySQLAPI();
  PMYSQL_RES r = c.SQLResult();
  if (!r) return rows;
  const std::uint32_t n = api.mysql_num_fields(r);
  while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
    auto& out = rows.emplace_back();
    for (std::uint32_t i = 0; i < n; ++i)
      out.push_back(api._mysql_fetch_value_is_null(row, i) ? std::nullopt
                                                            : std::optional(api._mysql_fetch_value_str(row, i)));
  }
  c.FreeSQLResult();
  return rows;
}

// The results left on the session after the current one: the number of
// those with rows, and the rows of the last.
int CountFurtherResults(TMySQLConnection& conn, std::vector<std::vector<std::optional<std::string>>>& last) {
  TMySQLAPI& api = *conn.MySQLAPI();
  int count = 0;
  while (api.mysql_next_result(conn.MySQL()) == 0) {
    if (PMYSQL_RES r = api.mysql_use_result(conn.MySQL())) {
      ++count;
      last.clear();
      const std::uint32_t n = api.mysql_num_fields(r);
      while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
        auto& out = last.emplace_back();
        for (std::uint32_t i = 0; i < n; ++i)
          out.push_back(api._mysql_fetch_value_is_null(row, i) ? std::nullopt
                                                                : std::optional(api._mysql_fetch_value_str(row, i)));
      }
      api.mysql_free_result(r);
    }
  }
  return count;
}

TEST_P(MyCommandServer, StepsThroughResultsAndCountsRows) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  conn->ExecStatement("CREATE TEMPORARY TABLE myconn_cmd (id INT AUTO_INCREMENT PRIMARY KEY, s VARCHAR(20))");

  TMySQLCommand ins;
  ins.SetConnection(conn.get());
  ins.SetSQL("INSERT INTO myconn_cmd (s) VALUES (:a), (:b); INSERT INTO myconn_cmd (s) VALUES ('x')");
  ins.GetParam(0).SetDataType(dtString);
  ins.GetParam(0).SetValue(std::string("O'Brien\\"));
  ins.GetParam(1).SetDataType(dtString);
  ins.GetParam(1).SetValue(std::string("?"));
  std::string sent;
  ins.SetOnExecute([&](const std::string& s) { sent = s; });
  ins.Execute();
  EXPECT_EQ(sent, "INSERT INTO myconn_cmd (s) VALUES ('O\\'Brien\\\\'), ('?'); INSERT INTO myconn_cmd (s) VALUES ('x')");
  EXPECT_EQ(ins.GetCursorState(), csInactive);
  Variant rows;
  ASSERT_TRUE(ins.GetProp(prRowsProcessed, rows));
  EXPECT_EQ(rows.AsInt64(), 2);  // the first statement of the batch
  Variant id;
  conn->GetProp(prLastInsertId, id);
  EXPECT_EQ(id.AsInt64(), 3);

  // With NO_BACKSLASH_ESCAPES the same value is written with a doubled quote only.
  conn->ExecStatement("SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'");
  ins.SetSQL("INSERT INTO myconn_cmd (s) VALUES (:a)");
  ins.GetParam(0).SetDataType(dtString);
  ins.GetParam(0).SetValue(std::string("O'Brien\\"));
  ins.Execute();
  EXPECT_EQ(sent, "INSERT INTO myconn_cmd (s) VALUES ('O''Brien\\')");
  conn->ExecStatement("SET SESSION sql_mode = DEFAULT");

  TMySQLCommand sel;
  sel.SetConnection(conn.get());
  sel.SetRequestResultset(true);
  sel.SetSQL("SET @myconn_v = 5; UPDATE myconn_cmd SET s = s WHERE id > 0; SELECT s, @myconn_v FROM myconn_cmd ORDER BY id");
  sel.Execute();
  EXPECT_EQ(sel.GetCursorState(), csExecuted);
  const auto got = ReadRows(sel);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0][0], "O'Brien\\");
  EXPECT_EQ(got[1][0], "?");
  EXPECT_EQ(got[3][0], "O'Brien\\");
  EXPECT_EQ(got[3][1], "5");

  sel.SetCursorState(csInactive);
  sel.SetSQL("SELECT * FROM myconn_no_such_table");
  EXPECT_THROW(sel.Execute(), EMyError);
  EXPECT_EQ(sel.GetCursorState(), csInactive);
  sel.SetSQL("SELECT 1");
  sel.Execute();
  EXPECT_EQ(ReadRows(sel).size(), 1u);
}

// Three DML statements in one text: the rows of the first are reported,
// and all three ran.
TEST_P(MyCommandServer, RowsProcessedOfThreeStatementsIsTheFirsts) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  conn->ExecStatement("CREATE TEMPORARY TABLE myconn_rows (a INT)");
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.SetSQL(
      "INSERT INTO myconn_rows VALUES (1), (2), (3), (4); UPDATE myconn_rows SET a = 0 WHERE a = 1; "
      "DELETE FROM myconn_rows WHERE a > 2");
  cmd.Execute();
  Variant rows;
  ASSERT_TRUE(cmd.GetProp(prRowsProcessed, rows));
  EXPECT_EQ(rows.AsInt64(), 4);
  cmd.SetSQL("SELECT GROUP_CONCAT(a ORDER BY a) FROM myconn_rows");
  cmd.SetRequestResultset(true);
  cmd.Execute();
  EXPECT_EQ(ReadRows(cmd).at(0).at(0), "0,2");
}

TEST_P(MyCommandServer, BreakExecCancelsARunningStatement) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.BreakExec();  // idle: nothing happens
  EXPECT_FALSE(cmd.WaitForBreak());
  auto other = Connect();
  const std::string sleeping = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                               std::to_string(conn->GetThreadId()) + " AND STATE = 'User sleep'";
  auto serverSleeps = [&] {
    TMySQLCommand probe;
    probe.SetConnection(other.get());
    probe.SetRequestResultset(true);
    probe.SetSQL(sleeping);
    probe.Execute();
    return ReadRows(probe) == std::vector<std::vector<std::optional<std::string>>>{{"1"}};
  };
  cmd.SetSQL("SELECT SLEEP(60)");
  auto run = std::async(std::launch::async, [&] {
    try {
      cmd.Execute();
      return std::string("finished");
    } catch (const EAbort&) {
      return std::string("aborted");
    } catch (const Exception& e) {
      return "error: " + e.Message();
    }
  });
  // Cancelled once the server is inside the sleep, long before its end.
  ASSERT_TRUE(test::WaitUntil([&] { return cmd.Executing(); }));
  EXPECT_TRUE(test::WaitUntil(serverSleeps, test::kPatienceMs, 20));
  cmd.BreakExec();
  ASSERT_EQ(run.wait_for(std::chrono::milliseconds(test::kPatienceMs)), std::future_status::ready);
  EXPECT_EQ(run.get(), "aborted");
  EXPECT_FALSE(cmd.Executing());
}

TEST_P(MyCommandServer, ProceduresWithOutputParametersAndResults) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  const std::string body = "(IN a INT, INOUT b INT, OUT c VARCHAR(20)) BEGIN SET b = b + a; SET c = 'done'; ";
  conn->ExecStatement("DROP PROCEDURE IF EXISTS myconn_p0");
  conn->ExecStatement("DROP PROCEDURE IF EXISTS myconn_p1");
  conn->ExecStatement("DROP PROCEDURE IF EXISTS myconn_p2");
  conn->ExecStatement("DROP FUNCTION IF EXISTS myconn_f");
  conn->ExecStatement("CREATE PROCEDURE myconn_p0" + body + "END");
  conn->ExecStatement("CREATE PROCEDURE myconn_p1" + body + "SELECT a; END");
  conn->ExecStatement("CREATE PROCEDURE myconn_p2" + body + "SELECT a; SELECT a + 1, 'x'; END");
  conn->ExecStatement("CREATE FUNCTION myconn_f(x INT, y INT) RETURNS INT DETERMINISTIC RETURN x * y");

  for (int results = 0; results <= 2; ++results) {
    TMySQLCommand cmd;
    cmd.SetConnection(conn.get());
    const std::string name = "myconn_p" + std::to_string(results);
    EXPECT_EQ(cmd.CreateProcCall(name, true, false),
              "SET @b = :b; CALL " + name + "(:a, @b, @c); SELECT CAST(@b AS SIGNED) AS '@b', @c AS '@c'");
    ASSERT_EQ(cmd.GetParamCount(), 3);
    cmd.FindParam("a")->SetValue(2);
    cmd.FindParam("b")->SetValue(40);
    cmd.SetProp(prIsStoredProc, true);
    cmd.SetRequestResultset(true);
    cmd.Execute();
    ASSERT_NE(cmd.SQLResult(), nullptr) << name;
    auto first = ReadRows(cmd);
    std::vector<std::vector<std::optional<std::string>>> last = first;
    const int further = CountFurtherResults(*conn, last);
    EXPECT_EQ(1 + further, results + 1) << name;  // the procedure's results, then the read-back row
    ASSERT_EQ(last.size(), 1u) << name;
    EXPECT_EQ(last[0][0], "42") << name;
    EXPECT_EQ(last[0][1], "done") << name;
    if (results > 0) {
      EXPECT_EQ(first[0][0], "2") << name;
    }
  }

  TMySQLCommand f;
  f.SetConnection(conn.get());
  EXPECT_EQ(f.CreateProcCall("myconn_f", true, false), "SELECT myconn_f(:x, :y)");
  ASSERT_EQ(f.GetParamCount(), 3);
  EXPECT_EQ(f.GetParam(0).ParamType(), pdResult);
  f.FindParam("x")->SetValue(6);
  f.FindParam("y")->SetValue(7);
  f.SetProp(prIsStoredProc, true);
  f.SetRequestResultset(true);
  f.Execute();
  EXPECT_EQ(ReadRows(f)[0][0], "42");

  // A parameter name from the definition never leaves its quotes.
  const std::string evil = "`'\\''); DROP TABLE myconn_victim; #'`";
  conn->ExecStatement("CREATE TABLE IF NOT EXISTS myconn_victim (id INT)");
  conn->ExecStatement("DROP PROCEDURE IF EXISTS myconn_pq");
  conn->ExecStatement("CREATE PROCEDURE myconn_pq(OUT " + evil + " INT) SET " + evil + " = 7");
  TMySQLCommand q;
  q.SetConnection(conn.get());
  q.CreateProcCall("myconn_pq", true, false);
  q.SetProp(prIsStoredProc, true);
  q.SetRequestResultset(true);
  q.Execute();
  auto readBack = ReadRows(q);
  CountFurtherResults(*conn, readBack);
  ASSERT_EQ(readBack.size(), 1u);
  EXPECT_EQ(readBack[0][0], "7");
  EXPECT_EQ(test::Scalar(*conn, "SELECT COUNT(*) FROM myconn_victim"), "0");  // the table is still there
  conn->ExecStatement("DROP PROCEDURE myconn_pq");
  conn->ExecStatement("DROP TABLE myconn_victim");

  TMySQLCommand missing;
  missing.SetConnection(conn.get());
  EXPECT_THROW(missing.CreateProcCall("myconn_no_such_proc", true, false), EMyError);

  // Output parameters are read back by a second statement.
  TMySQLConnection single;
  single.Assign(*conn);
  single.SetProp(prMultiStatements, false);
  single.Connect("");
  TMySQLCommand refused;
  refused.SetConnection(&single);
  try {
    refused.CreateProcCall("myconn_p0", true, false);
    ADD_FAILURE() << "output parameters without multi statements";
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(), "The output parameters of routine myconn_p0 need multi-statement texts: turn "
                           "MultiStatements on");
  }
  TMySQLCommand inputOnly;
  inputOnly.SetConnection(&single);
  EXPECT_EQ(inputOnly.CreateProcCall("myconn_f", true, false), "SELECT myconn_f(:x, :y)");
  single.Disconnect();

  // A user who may only execute the procedure does not see its definition.
  const std::string account = test::ModeName("myconn_exec");
  conn->ExecStatement("DROP USER IF EXISTS '" + account + "'@'%'");
  conn->ExecStatement("CREATE USER '" + account + "'@'%' IDENTIFIED BY 'exec-pass'");
  conn->ExecStatement("GRANT EXECUTE ON PROCEDURE " + test::ScratchDatabase() + ".myconn_p0 TO '" + account + "'@'%'");
  TMySQLConnection user;
  user.Assign(*conn);
  user.SetUsername(account);
  user.SetPassword("exec-pass");
  user.Connect("");
  TMySQLCommand hidden;
  hidden.SetConnection(&user);
  try {
    hidden.CreateProcCall("myconn_p0", true, false);
    ADD_FAILURE() << "a hidden definition was read";
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot read the parameters of routine myconn_p0: its definition is not visible to this user");
  }
  user.Disconnect();
  conn->ExecStatement("DROP USER '" + account + "'@'%'");
}


TEST_P(MyCommandServer, PreparedCommandRunsManyTimesFailsAndUnprepares) {
  LUMO_REQUIRE_SERVER();
  auto conn = Connect();
  conn->ExecStatement("DROP TABLE IF EXISTS cmd_prep");
  conn->ExecStatement("CREATE TABLE cmd_prep (id INT PRIMARY KEY, v VARCHAR(20), t TIME)");
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.SetSQL("INSERT INTO cmd_prep VALUES (:id, :v, :t)");
  ASSERT_EQ(cmd.GetParamCount(), 3);
  cmd.GetParam(0).SetDataType(dtInt32);
  cmd.GetParam(1).SetDataType(dtString);
  cmd.GetParam(2).SetDataType(dtTime);
  cmd.Prepare();
  ASSERT_TRUE(cmd.GetPrepared());
  EXPECT_EQ(cmd.GetCursorState(), csPrepared);
  for (int i = 0; i < 100; ++i) {
    cmd.GetParam(0).SetValue(Variant(i));
    cmd.GetParam(1).SetValue(Variant("it's " + std::to_string(i)));
    cmd.GetParam(2).SetValue(Variant::FromDate(-(i + 0.5) / 24.0));
    cmd.Execute();
    EXPECT_EQ(cmd.RowsAffected(), 1);
  }
  // A server error leaves the statement prepared and usable.
  cmd.GetParam(0).SetValue(Variant(5));
  try {
    cmd.Execute();
    ADD_FAILURE() << "a duplicate key went in";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1062);
  }
  EXPECT_TRUE(cmd.GetPrepared());
  cmd.GetParam(0).SetValue(Variant(100));
  cmd.Execute();
  cmd.Unprepare();
  EXPECT_FALSE(cmd.GetPrepared());
  cmd.GetParam(0).SetValue(Variant(101));
  cmd.Execute();  // the text path again

  TMySQLCommand check;
  check.SetConnection(conn.get());
  check.SetRequestResultset(true);
  check.SetSQL("SELECT COUNT(*), MIN(t), MAX(v) FROM cmd_prep");
  check.Execute();
  const auto rows = ReadRows(check);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "102");
  EXPECT_EQ(rows[0][1], "-99:30:00");
  EXPECT_EQ(rows[0][2], "it's 99");
  check.FreeSQLResult();

  // A statement the server refuses leaves no statement behind.
  TMySQLCommand bad;
  bad.SetConnection(conn.get());
  bad.SetSQL("SELEKT 1");
  try {
    bad.Prepare();
    ADD_FAILURE() << "prepared";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1064);
  }
  EXPECT_FALSE(bad.GetPrepared());
  EXPECT_EQ(bad.Stmt(), nullptr);
  conn->ExecStatement("DO 1");
}

}  // namespace
}  // namespace lumo
