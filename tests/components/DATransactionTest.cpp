// Transactions on the fake provider: explicit and implicit starts and their
// nesting, the close action, what a transaction holds of its connections in
// DisconnectedMode, several transactions on one connection, and the
// connection-level apply of cached updates.
#include <gtest/gtest.h>

#include "components/DAConnectionTestUtil.h"

namespace lumo::test {
namespace {

using Log = std::vector<std::string>;

TEST(DATransaction, ExplicitTransactionsAndTheirErrors) {
  FakeServer server;
  FakeDAConnection c(server);
  TDATransaction& tr = c.InternalTransaction();
  EXPECT_THROW(c.StartTransaction(), EDAError);  // "One of the connections ... is not active"
  c.Connect();
  EXPECT_THROW(c.Commit(), EDAError);
  c.StartTransaction();
  EXPECT_FALSE(c.IConnection()->AutoCommit());
  EXPECT_THROW(c.StartTransaction(), EDAError);
  EXPECT_THROW(tr.SetIsolationLevel(ilRepeatableRead), EDAError);
  EXPECT_TRUE(tr.ExplicitlyStarted());
  c.Commit();
  EXPECT_TRUE(c.IConnection()->AutoCommit());
  c.StartTransaction();
  c.Rollback();
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "COMMIT", "START TRANSACTION", "ROLLBACK"}));
  EXPECT_EQ(c.ConnectCount(), 1);  // the transaction gave its use back

  // A second transaction on a connection that has one active.
  TDATransaction other;
  other.SetShareTransaction(true);
  other.AddConnection(c);
  c.StartTransaction();
  EXPECT_THROW(other.StartTransaction(), EDAError);  // "Multiple transactions are not supported ..."
  c.Rollback();
}

class NoExplicitAutoCommit : public TDATransaction {
 protected:
  bool CanAutoCommitExplicitTransaction() override { return false; }
};

TEST(DATransaction, ImplicitNestingAndAutoCommit) {
  FakeServer server;
  FakeDAConnection c(server);
  c.Connect();
  TDATransaction& tr = c.InternalTransaction();

  tr.GainTransaction();
  tr.GainTransaction();
  EXPECT_TRUE(tr.Active());
  EXPECT_FALSE(tr.ExplicitlyStarted());
  EXPECT_EQ(tr.TrStartCount(), 2);
  tr.AutoCommitTransaction(false);  // only counted
  EXPECT_EQ(tr.UnCommitedStatementCount(), 1);
  tr.ReleaseTransaction();
  EXPECT_EQ(tr.TrStartCount(), 1);
  tr.AutoCommitTransaction(true);  // at nesting 1: commit
  EXPECT_FALSE(tr.Active());
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "COMMIT"}));

  NoExplicitAutoCommit explicitOnly;
  explicitOnly.SetShareTransaction(true);
  explicitOnly.AddConnection(c);
  explicitOnly.StartTransaction();
  explicitOnly.AutoCommitTransaction(true);
  EXPECT_TRUE(explicitOnly.Active());
  EXPECT_EQ(explicitOnly.UnCommitedStatementCount(), 1);
  explicitOnly.Rollback();
}

TEST(DATransaction, DisconnectedModeKeepsTheConnectionForTheTransaction) {
  FakeServer server;
  FakeDAConnection c(server);
  c.Options().SetDisconnectedMode(true);
  TDATransaction& tr = c.InternalTransaction();

  c.StartTransaction();  // connects for the transaction
  c.ExecSQL("UPDATE t SET a = 1");
  EXPECT_TRUE(c.Connected());
  c.Commit();
  EXPECT_FALSE(c.Connected());

  // An implicit transaction ends at the last release with the close action.
  TDAConnectionUse use(c);
  tr.GainTransaction();
  tr.ReleaseTransaction();
  EXPECT_FALSE(tr.Active());
  tr.SetDefaultCloseAction(taCommit);
  tr.GainTransaction();
  tr.ReleaseTransaction();
  // With a statement left uncommitted it stays open.
  tr.GainTransaction();
  tr.AutoCommitTransaction(false);
  tr.ReleaseTransaction();
  EXPECT_TRUE(tr.Active());
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "UPDATE t SET a = 1", "COMMIT", "START TRANSACTION", "ROLLBACK",
                               "START TRANSACTION", "COMMIT", "START TRANSACTION"}));
  use.Release();
  EXPECT_TRUE(c.Connected());  // the open transaction holds it
  tr.CloseTransaction();
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(server.Log().back(), "COMMIT");
}

TEST(DATransaction, CommitEndsTheClientsThatUseIt) {
  FakeServer server;
  FakeDAConnection c(server);
  RecordingClient uses(c, "uses");
  RecordingClient elsewhere(c, "elsewhere");
  TDATransaction other;
  elsewhere.Transaction = &other;
  c.Connect();
  c.StartTransaction();
  c.Commit();
  EXPECT_EQ(std::count(uses.Events.begin(), uses.Events.end(), "transaction ends"), 1);
  EXPECT_EQ(std::count(elsewhere.Events.begin(), elsewhere.Events.end(), "transaction ends"), 0);
}

TEST(DATransaction, DestroyingTheConnectionLeavesTransactionsConsistent) {
  FakeServer server;
  TDATransaction tr;
  tr.SetShareTransaction(true);
  {
    FakeDAConnection c(server);
    tr.SetDefaultConnection(&c);
    EXPECT_EQ(c.TransactionCount(), 2);
    c.Connect();
  }
  EXPECT_EQ(tr.ConnectionsCount(), 0);
  EXPECT_EQ(tr.DefaultConnection(), nullptr);
}

TEST(DAConnectionApply, AppliesInTransactionsStartedHereAndCommitsOrRollsBack) {
  FakeServer server;
  FakeDAConnection c(server);
  c.Connect();
  RecordingClient a(c, "a"), b(c, "b"), idle(c, "idle");
  a.CachedUpdates = b.CachedUpdates = true;
  a.Transaction = b.Transaction = &c.InternalTransaction();
  c.ApplyUpdates();
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "COMMIT"}));
  // The commit ends the clients of the transaction, then the caches commit.
  EXPECT_EQ(a.Events, (std::vector<std::string>{"apply", "transaction ends", "commit updates"}));
  EXPECT_TRUE(a.AutoCommit);  // restored
  EXPECT_EQ(idle.Events, std::vector<std::string>{"transaction ends"});

  b.FailApply = true;
  server.ClearLog();
  EXPECT_THROW(c.ApplyUpdates({&a, &b}), EFakeError);
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "ROLLBACK"}));
  EXPECT_EQ(std::count(a.Events.begin(), a.Events.end(), "commit updates"), 1);

  a.Transaction = nullptr;
  EXPECT_THROW(c.ApplyUpdates({&a}), EDAError);  // "Transaction not assigned"
  FakeDAConnection stranger(server);
  RecordingClient foreign(stranger, "foreign");
  EXPECT_THROW(c.ApplyUpdates({&foreign}), EDAError);  // "Cannot update, foreign is not owned by ..."
}

}  // namespace
}  // namespace lumo::test
