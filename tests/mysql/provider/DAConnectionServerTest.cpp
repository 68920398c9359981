// The connection component over the MySQL provider, against the test
// server: connecting and disconnecting, DisconnectedMode seen in the
// server's process list, InnoDB transactions and savepoints seen from a
// second session, ExecSQL and ExecProc, and failover after KILL.
#include <gtest/gtest.h>

#include <optional>

#include <lumokit/components/DATransaction.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include "mysql/MyDAConnection.h"
#include "support/ConnectionMode.h"
#include "support/TestServer.h"
#include "support/Wait.h"

namespace lumo {
namespace {

using test::TestServer;

using test::MyDAConnection;

// A plain provider session that watches the component's.
struct Observer {
  TMySQLConnection c;
  Observer() {
    c.SetServer(TestServer().host);
    c.SetProp(prPort, TestServer().port);
    c.SetUsername(TestServer().user);
    c.SetPassword(TestServer().password);
    test::ApplyMode(c);
    c.Connect("");
  }
  Variant Scalar(const std::string& sql) {
    TMySQLRecordset rs;
    rs.SetConnection(&c);
    rs.SetSQL(sql);
    rs.Open();
    TRecBuf rec = rs.AllocRecBuf();
    rs.SetToBegin();
    rs.GetNextRecord(rec.get());
    Variant v = rs.GetEOF() ? Variant() : rs.GetFieldAsVariant(1, rec.get());
    rs.Close();
    return v;
  }
  bool SessionExists(std::uint32_t id) {
    return Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + std::to_string(id))
               .AsInt64() > 0;
  }
  // The server removes a closed session soon, not at once: poll.
  bool SessionGoes(std::uint32_t id) {
    return test::WaitUntil([&] { return !SessionExists(id); }, test::kPatienceMs, 20);
  }
};

// Through the wire client and the client library.
class DAConnectionServer : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(DAConnectionServer);

TEST_P(DAConnectionServer, ConnectsAndDisconnects) {
  LUMO_REQUIRE_SERVER();
  Observer watch;
  MyDAConnection c;
  c.Connect();
  ASSERT_TRUE(c.Connected());
  const std::uint32_t id = c.ThreadId();
  EXPECT_TRUE(watch.SessionExists(id));
  c.Disconnect();
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(watch.SessionGoes(id));
}

TEST_P(DAConnectionServer, DisconnectedModeClosesAfterTheLastUse) {
  LUMO_REQUIRE_SERVER();
  Observer watch;
  MyDAConnection c;
  c.SetLoginPrompt(true);
  int prompts = 0;
  c.OnLogin = [&](TCustomConnection&, TStrings& params) {
    ++prompts;
    params.SetValues("USER NAME", TestServer().user);
    params.SetValues("PASSWORD", TestServer().password);
    params.SetValues("SERVER", TestServer().host);
  };
  c.Options().SetDisconnectedMode(true);

  std::uint32_t id = 0;
  {
    TDAConnectionUse use(c);
    id = c.ThreadId();
    c.ExecSQL("SET @da_mode = 1");  // a nested use keeps the session
    EXPECT_TRUE(c.Connected());
    EXPECT_TRUE(watch.SessionExists(id));
  }
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(watch.SessionGoes(id));

  // The next statement reconnects without a prompt and closes again, also
  // when it fails.
  EXPECT_THROW(c.ExecSQL("SELECT * FROM da_no_such_table"), EMyError);
  EXPECT_FALSE(c.Connected());
  c.ExecSQL("DO 1");
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(prompts, 1);
}

TEST_P(DAConnectionServer, TransactionsAndSavepointsSeenFromASecondSession) {
  LUMO_REQUIRE_SERVER();
  Observer watch;
  MyDAConnection c;
  c.Connect();
  c.ExecSQL("DROP TABLE IF EXISTS da_tx");
  c.ExecSQL("CREATE TABLE da_tx (id INT PRIMARY KEY) ENGINE=InnoDB");
  const auto rows = [&] { return watch.Scalar("SELECT COUNT(*) FROM da_tx").AsInt64(); };

  c.StartTransaction();
  c.ExecSQL("INSERT INTO da_tx VALUES (:id)", {Variant(1)});
  c.Savepoint("before two");
  c.ExecSQL("INSERT INTO da_tx VALUES (2)");
  EXPECT_EQ(rows(), 0);  // nothing committed yet
  c.RollbackToSavepoint("before two");
  c.Savepoint("sp3");
  c.ExecSQL("INSERT INTO da_tx VALUES (3)");
  c.ReleaseSavepoint("sp3");
  c.Commit();
  EXPECT_EQ(rows(), 2);
  EXPECT_EQ(watch.Scalar("SELECT SUM(id) FROM da_tx").AsInt64(), 4);

  c.StartTransaction();
  c.ExecSQL("DELETE FROM da_tx");
  c.Rollback();
  EXPECT_EQ(rows(), 2);

  // The close action of a transaction in DisconnectedMode.
  c.Disconnect();
  c.Options().SetDisconnectedMode(true);
  TDATransaction& tr = c.InternalTransaction();
  tr.SetDefaultCloseAction(taCommit);
  tr.GainTransaction();
  EXPECT_TRUE(c.Connected());
  c.ExecSQL("INSERT INTO da_tx VALUES (5)");
  tr.ReleaseTransaction();
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(rows(), 3);
  c.ExecSQL("DROP TABLE da_tx");
}

TEST_P(DAConnectionServer, ExecSQLAndExecProc) {
  LUMO_REQUIRE_SERVER();
  MyDAConnection c;
  c.Connect();
  c.ExecSQL("DROP PROCEDURE IF EXISTS da_proc");
  c.ExecSQL("DROP FUNCTION IF EXISTS da_func");
  c.ExecSQL(
      "CREATE PROCEDURE da_proc(IN a INT, OUT b INT, INOUT c VARCHAR(20)) "
      "BEGIN SET b = a * 2; SET c = CONCAT(c, '!'); END");
  c.ExecSQL("CREATE FUNCTION da_func(x INT, y INT) RETURNS INT DETERMINISTIC RETURN x * y");

  EXPECT_TRUE(c.ExecProc("da_proc", {Variant(21), Variant::Null(), Variant("hi")}).IsEmpty());
  EXPECT_EQ(c.ParamByName("b").AsInteger(), 42);
  EXPECT_EQ(c.ParamByName("c").AsString(), "hi!");
  EXPECT_EQ(c.ExecProc("da_func", {Variant(6), Variant(7)}).AsInt32(), 42);
  EXPECT_EQ(c.ExecProcEx("da_proc", {Variant("c"), Variant("x"), Variant("a"), Variant(5)}).IsEmpty(), true);
  EXPECT_EQ(c.ParamByName("b").AsInteger(), 10);
  EXPECT_EQ(c.ParamByName("c").AsString(), "x!");

  c.ExecSQL("DROP TABLE IF EXISTS da_exec");
  c.ExecSQL("CREATE TABLE da_exec (id INT, name VARCHAR(20))");
  c.ExecSQL("INSERT INTO da_exec VALUES (:id, :name)", {Variant(1), Variant("O'Brien;--")});
  c.ExecSQLEx("INSERT INTO da_exec VALUES (:id, :name)", {Variant("name"), Variant("x"), Variant("id"), Variant(2)});
  Observer watch;
  EXPECT_EQ(watch.Scalar("SELECT name FROM da_exec WHERE id = 1").AsString(), "O'Brien;--");
  EXPECT_EQ(watch.Scalar("SELECT name FROM da_exec WHERE id = 2").AsString(), "x");
  c.ExecSQL("DROP TABLE da_exec");
  c.ExecSQL("DROP PROCEDURE da_proc");
  c.ExecSQL("DROP FUNCTION da_func");
}

TEST_P(DAConnectionServer, FailoverAfterKillFromASecondSession) {
  LUMO_REQUIRE_SERVER();
  Observer watch;
  MyDAConnection c;
  c.Connect();
  c.ExecSQL("DROP TABLE IF EXISTS da_fail");
  c.ExecSQL("CREATE TABLE da_fail (id INT)");

  // Without failover the statement fails, the connection comes back.
  std::uint32_t id = c.ThreadId();
  watch.c.ExecStatement("KILL " + std::to_string(id));
  ASSERT_TRUE(watch.SessionGoes(id));
  EXPECT_THROW(c.ExecSQL("INSERT INTO da_fail VALUES (1)"), EMyError);
  ASSERT_TRUE(c.Connected());
  EXPECT_NE(c.ThreadId(), id);

  // With failover and a handler that asks for it, the statement runs again.
  c.Options().SetLocalFailover(true);
  std::vector<TConnLostCause> lost;
  c.OnConnectionLost = [&](TCustomDAConnection&, TComponent*, TConnLostCause cause, TRetryMode& mode) {
    lost.push_back(cause);
    mode = rmReconnectExecute;
  };
  id = c.ThreadId();
  watch.c.ExecStatement("KILL " + std::to_string(id));
  ASSERT_TRUE(watch.SessionGoes(id));
  c.ExecSQL("INSERT INTO da_fail VALUES (2)");
  EXPECT_EQ(lost, std::vector<TConnLostCause>{clExecute});
  EXPECT_NE(c.ThreadId(), id);
  EXPECT_EQ(watch.Scalar("SELECT COUNT(*) FROM da_fail WHERE id = 2").AsInt64(), 1);
  EXPECT_EQ(watch.Scalar("SELECT COUNT(*) FROM da_fail").AsInt64(), 1);
  c.ExecSQL("DROP TABLE da_fail");
}

}  // namespace
}  // namespace lumo
