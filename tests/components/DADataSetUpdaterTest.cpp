// The updater on the fake provider: the optimistic value comparison, the
// savepoint names of row locks, and the lock-transaction states that
// savepoints and their rollbacks move through, with and without an active
// transaction and in cached-updates mode.
#include <gtest/gtest.h>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DADataSetUpdater.h>
#include <lumokit/core/DateTimeUtils.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo {
namespace {

using test::FakeDAConnection;
using test::FakeServer;
using Log = std::vector<std::string>;

TEST(DADataSetUpdater, LockCompareTreatsNullsAndNearDatesAsEqual) {
  TCustomDADataSet ds;
  TDADataSetUpdater& u = ds.DADataSetService().DAUpdater();
  EXPECT_TRUE(u.LockCompare(Variant::Null(), Variant::Null()));
  EXPECT_FALSE(u.LockCompare(Variant::Null(), Variant(0)));
  EXPECT_FALSE(u.LockCompare(Variant("a"), Variant("b")));
  EXPECT_TRUE(u.LockCompare(Variant(1), Variant(1.0)));
  const TDateTime t = EncodeDateTime(2024, 5, 6, 12, 0, 0, 0);
  const double ms = 1.0 / 86400000.0;
  EXPECT_TRUE(u.LockCompare(Variant::FromDate(t), Variant::FromDate(t + 0.5 * ms)));
  EXPECT_FALSE(u.LockCompare(Variant::FromDate(t), Variant::FromDate(t + 2 * ms)));
}

TEST(DADataSetUpdater, SavepointNamesAreCutAndUniquePerDataSet) {
  TCustomDADataSet a, b, unnamedA, unnamedB;
  a.SetName("A" + std::string(39, 'x'));
  b.SetName("A" + std::string(39, 'x').substr(0, 30) + "y");  // equal to a after the cut
  const std::string na = a.DADataSetService().DAUpdater().LockSavepointName();
  const std::string nb = b.DADataSetService().DAUpdater().LockSavepointName();
  EXPECT_EQ(na.substr(0, 31), ("LOCK_" + a.Name()).substr(0, 30) + "_");
  EXPECT_NE(na, nb);
  EXPECT_NE(unnamedA.DADataSetService().DAUpdater().LockSavepointName(),
            unnamedB.DADataSetService().DAUpdater().LockSavepointName());
  const std::string cu = a.DADataSetService().DAUpdater().CachedLockSavepointName();
  EXPECT_EQ(cu.substr(0, 31), ("LOCK_CU_" + a.Name()).substr(0, 30) + "_");
}

class UpdaterStates : public ::testing::Test {
 protected:
  void SetUp() override {
    conn.Connect();
    ds.SetName("Orders");
    ds.SetConnection(&conn);
    server.ClearLog();
  }
  TDADataSetUpdater& U() { return ds.DADataSetService().DAUpdater(); }

  FakeServer server;
  FakeDAConnection conn{server};
  TCustomDADataSet ds;
};

TEST_F(UpdaterStates, RowLockOutsideAndInsideATransaction) {
  const std::string sp = U().LockSavepointName();
  // No transaction: the lock starts one and its release rolls it back.
  U().SetSavepoint(sp, false);
  EXPECT_EQ(U().LockTrStarted(), ltsOnLock);
  EXPECT_NE(U().FixedTransaction(), nullptr);
  U().RollbackToSavepoint(sp, false);
  EXPECT_EQ(U().LockTrStarted(), ltsNone);
  EXPECT_EQ(U().FixedTransaction(), nullptr);
  EXPECT_FALSE(conn.InTransaction());
  // The user's transaction: a savepoint inside it, rolled back to.
  conn.StartTransaction();
  U().SetSavepoint(sp, false);
  EXPECT_EQ(U().LockTrStarted(), ltsNone);
  U().RollbackToSavepoint(sp, false);
  EXPECT_TRUE(conn.InTransaction());
  EXPECT_EQ(U().FixedTransaction(), nullptr);
  conn.Rollback();
  EXPECT_EQ(server.Log(), (Log{"START TRANSACTION", "ROLLBACK", "START TRANSACTION", "SAVEPOINT " + sp,
                               "ROLLBACK TO SAVEPOINT " + sp, "ROLLBACK"}));
}

TEST_F(UpdaterStates, CachedUpdatesLockSpansTheChanges) {
  ds.SetCachedUpdates(true);
  const std::string cu = U().CachedLockSavepointName();
  U().SetSavepoint(cu, true);
  EXPECT_EQ(U().LockTrStarted(), ltsOnLockCachedUpdates);
  // A row lock inside it keeps the state and the fixed transaction.
  U().SetSavepoint(U().LockSavepointName(), false);
  EXPECT_EQ(U().LockTrStarted(), ltsOnLockCachedUpdates);
  U().RollbackToSavepoint(U().LockSavepointName(), false);
  EXPECT_NE(U().FixedTransaction(), nullptr);
  U().RollbackToSavepoint(cu, true);
  EXPECT_EQ(U().LockTrStarted(), ltsNone);
  EXPECT_EQ(U().FixedTransaction(), nullptr);
  EXPECT_FALSE(conn.InTransaction());

  conn.StartTransaction();
  U().SetSavepoint(cu, true);
  EXPECT_EQ(U().LockTrStarted(), ltsBeforeLockCachedUpdates);
  U().RollbackToSavepoint(cu, true);
  EXPECT_EQ(U().LockTrStarted(), ltsNone);
  EXPECT_TRUE(conn.InTransaction());
  conn.Rollback();
}

}  // namespace
}  // namespace lumo
