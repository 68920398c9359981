// The connection's decisions on server errors, with errors injected by the
// fake server: error events, reconnecting with and without local failover,
// the bound on reconnects and re-executions, what prevents a reconnect, and
// what happens to transactions.
#include <gtest/gtest.h>

#include "components/DAConnectionTestUtil.h"

namespace lumo::test {
namespace {

constexpr const char* Lost = "Lost connection to MySQL server during query";

struct ErrorFixture : ::testing::Test {
  FakeServer server;
  FakeDAConnection c{server};
  std::vector<std::string> errors;  // OnError calls: message
  std::vector<TConnLostCause> lost;  // OnConnectionLost calls

  void SetUp() override {
    c.OnError = [this](TCustomDAConnection&, const EDAError& e, bool&) { errors.push_back(e.Message()); };
    c.Connect();
  }
  // The next statement finds its session gone.
  void DropOnce(const std::string& sql) {
    server.BeforeExecute = [this, sql, done = false](const std::string& text) mutable {
      if (text == sql && !done) {
        done = true;
        server.DropSessions();
        throw EFakeError(Lost, 2013);
      }
    };
  }
  void RetryWith(TRetryMode mode) {
    c.OnConnectionLost = [this, mode](TCustomDAConnection&, TComponent*, TConnLostCause cause, TRetryMode& retry) {
      lost.push_back(cause);
      retry = mode;
    };
  }
};

TEST_F(ErrorFixture, NonFatalErrorFiresOnErrorOnceAndFailCanSilenceIt) {
  server.OnError("bad", "syntax error", 1064);
  EXPECT_THROW(c.ExecSQL("bad"), EFakeError);
  EXPECT_EQ(errors, std::vector<std::string>{"syntax error"});
  c.OnError = [](TCustomDAConnection&, const EDAError&, bool& fail) { fail = false; };
  EXPECT_THROW(c.ExecSQL("bad"), EAbort);
  EXPECT_EQ(server.Connects, 1);
  EXPECT_TRUE(c.Connected());
}

TEST_F(ErrorFixture, WithoutFailoverALostConnectionReconnectsButRaises) {
  DropOnce("UPDATE t SET a = 1");
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 1"), EFakeError);
  EXPECT_EQ(server.Connects, 2);
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(errors, std::vector<std::string>{Lost});
  c.ExecSQL("UPDATE t SET a = 2");  // the new session works
}

TEST_F(ErrorFixture, WithoutFailoverAFailedReconnectDisconnects) {
  server.OnConnect = [] { throw EFakeError("Can't connect to MySQL server", 2003); };
  DropOnce("UPDATE t SET a = 1");
  RecordingClient client(c);
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 1"), EFakeError);
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.ConnectCount(), 0);
  EXPECT_EQ(server.Connects, 2);  // one reconnect
  EXPECT_EQ(errors, std::vector<std::string>{Lost});
  EXPECT_NE(std::find(client.Events.begin(), client.Events.end(), "disconnect"), client.Events.end());
}

TEST_F(ErrorFixture, FailoverReexecutesWhenTheHandlerAsksForIt) {
  c.Options().SetLocalFailover(true);
  RetryWith(rmReconnectExecute);
  DropOnce("UPDATE t SET a = 1");
  c.ExecSQL("UPDATE t SET a = 1");
  EXPECT_EQ(lost, std::vector<TConnLostCause>{clExecute});
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(server.Log(), (std::vector<std::string>{"UPDATE t SET a = 1", "UPDATE t SET a = 1"}));

  // Without a handler an execute is not repeated (rmRaise for clExecute).
  c.OnConnectionLost = nullptr;
  DropOnce("UPDATE t SET a = 2");
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 2"), EFakeError);
  EXPECT_FALSE(c.Connected());
}

TEST_F(ErrorFixture, ReconnectingIsBoundedWithGrowingWaits) {
  c.Options().SetLocalFailover(true);
  RetryWith(rmReconnectExecute);
  DropOnce("UPDATE t SET a = 1");
  server.OnConnect = [] { throw EFakeError("Can't connect to MySQL server", 2003); };
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 1"), EFakeError);  // the original error, not EAbort
  EXPECT_EQ(server.Connects, 1 + c.Options().MaxReconnectAttempts());
  EXPECT_EQ(c.Sleeps, (std::vector<std::int64_t>{100, 200}));
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(errors, std::vector<std::string>{Lost});  // once, not per attempt

  c.Options().SetMaxReconnectAttempts(0);
  server.OnConnect = nullptr;
  c.Connect();
  DropOnce("UPDATE t SET a = 2");
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 2"), EFakeError);
  EXPECT_EQ(server.Connects, 5);  // the explicit connect only
}

TEST_F(ErrorFixture, ReexecutionIsBoundedWhenTheStatementKillsEverySession) {
  c.Options().SetLocalFailover(true);
  RetryWith(rmReconnectExecute);
  server.BeforeExecute = [this](const std::string& sql) {
    if (sql != "KILL ME") return;
    server.DropSessions();
    throw EFakeError(Lost, 2013);
  };
  EXPECT_THROW(c.ExecSQL("KILL ME"), EDAError);
  const auto log = server.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "KILL ME"), 1 + c.Options().MaxReconnectAttempts());
}

TEST_F(ErrorFixture, ServerStateOfAClientPreventsReconnecting) {
  c.Options().SetLocalFailover(true);
  RetryWith(rmReconnectExecute);
  RecordingClient openWithRows(c);
  openWithRows.HoldsServerState = true;
  DropOnce("UPDATE t SET a = 1");
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 1"), EFakeError);
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(server.Connects, 1);
  EXPECT_FALSE(c.Connected());
}

TEST_F(ErrorFixture, ActiveTransactionIsResetAndBlocksFailoverUnlessRestorable) {
  c.Options().SetLocalFailover(true);
  RetryWith(rmReconnectExecute);
  c.StartTransaction();
  DropOnce("UPDATE t SET a = 1");
  EXPECT_THROW(c.ExecSQL("UPDATE t SET a = 1"), EFakeError);
  EXPECT_FALSE(c.InTransaction());
  EXPECT_TRUE(lost.empty());  // a transaction that cannot be restored: no failover

  server.RestorableTransactions = true;
  c.Connect();
  c.StartTransaction();
  server.ClearLog();
  DropOnce("UPDATE t SET a = 2");
  c.ExecSQL("UPDATE t SET a = 2");
  EXPECT_TRUE(c.InTransaction());
  EXPECT_EQ(c.InternalTransaction().TrStartCount(), 1);
  EXPECT_TRUE(c.InternalTransaction().ExplicitlyStarted());
  EXPECT_EQ(server.Log(), (std::vector<std::string>{"UPDATE t SET a = 2", "START TRANSACTION", "UPDATE t SET a = 2"}));
}

TEST_F(ErrorFixture, ConnectInDisconnectedModeIsRetried) {
  c.Disconnect();
  c.Options().SetLocalFailover(true);
  c.Options().SetDisconnectedMode(true);
  int refusals = 1;
  server.OnConnect = [&] {
    if (refusals-- > 0) throw EFakeError("Can't connect to MySQL server", 2003);
  };
  c.ExecSQL("UPDATE t SET a = 1");
  EXPECT_EQ(server.Connects, 3);  // the first connect, refused once, then the retry
  EXPECT_EQ(server.Log(), std::vector<std::string>{"UPDATE t SET a = 1"});
  EXPECT_FALSE(c.Connected());
}

}  // namespace
}  // namespace lumo::test
