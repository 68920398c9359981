// Edits written back to the test server by the MySQL updater: tables with
// a primary key, a composite key, only a unique key, no key and a nullable
// key; a join written to one alias; names that need quotes; StrictUpdate on
// duplicate rows; a refresh condition; pessimistic and optimistic locks,
// also inside the caller's transaction; persistent fields without the key;
// compressed large objects; batches of cached changes; a failing cached
// row; auto-increment keys.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DADataSetUpdater.h>
#include <lumokit/components/DAUpdateSQL.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/dataset/FieldTypes.h>
#include <lumokit/mysql/provider/MyServices.h>
#include <lumokit/mysql/provider/MyUpdater.h>
#include "mysql/MyDAConnection.h"

namespace lumo {
namespace {

using test::MyDAConnection;

// A data set with the MySQL service, as the provider's front gives it.
class MyUpdDataSet : public TCustomDADataSet {
 protected:
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    return std::make_unique<TCustomMyDataSetService>(*this);
  }
};

TEST(MyUpdater, LockCompareAcceptsLessThanASecondWithinTheMinute) {
  MyUpdDataSet ds;
  TCustomMyDataSetService service(ds);
  TCustomMyDataSetUpdater updater(service);
  auto at = [](int h, int m, int s, int ms) { return Variant::FromDate(EncodeDateTime(2024, 5, 6, h, m, s, ms)); };
  EXPECT_TRUE(updater.LockCompare(at(12, 0, 0, 400), at(12, 0, 1, 300)));
  EXPECT_FALSE(updater.LockCompare(at(12, 0, 59, 900), at(12, 1, 0, 100)));
  EXPECT_FALSE(updater.LockCompare(at(12, 0, 0, 0), at(12, 0, 1, 0)));
  EXPECT_TRUE(updater.LockCompare(Variant::Null(), Variant::Null()));
}

class UpdaterServer : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_REQUIRE_SERVER();
    conn.Connect();
  }

  std::unique_ptr<MyUpdDataSet> Open(const std::string& sql, bool open = true) {
    auto ds = std::make_unique<MyUpdDataSet>();
    ds->SetConnection(&conn);
    ds->SetSQLText(sql);
    if (open) ds->Open();
    return ds;
  }
  // The rows of a query as "a,b;a,b" (NULL for nulls).
  std::string Rows(const std::string& sql) {
    std::unique_ptr<TCustomDADataSet> q = conn.CreateDataSet();
    q->SetSQLText(sql);
    q->Open();
    std::string out;
    for (; !q->Eof(); q->Next()) {
      if (!out.empty()) out += ";";
      for (int i = 0; i < q->Fields().Count(); ++i)
        out += (i ? "," : "") + (q->Fields()[i].IsNull() ? std::string("NULL") : q->Fields()[i].AsString());
    }
    return out;
  }
  // Whether the session is inside a transaction (the server's view).
  bool InTransaction() { return Rows("SELECT CAST(@@in_transaction AS SIGNED)") == "1"; }
  void Table(const std::string& name, const std::string& columns, const std::string& rows) {
    conn.ExecSQL("DROP TABLE IF EXISTS " + name);
    conn.ExecSQL("CREATE TABLE " + name + " (" + columns + ")");
    if (!rows.empty()) conn.ExecSQL("INSERT INTO " + name + " VALUES " + rows);
  }
  // Edits the row where `field` is `value`, setting v.
  static void EditV(TCustomDADataSet& ds, const char* field, const Variant& key, const std::string& v) {
    ASSERT_TRUE(ds.Locate(field, key, {}));
    ds.Edit();
    ds.FieldByName("v").SetAsString(v);
    ds.Post();
  }

  MyDAConnection conn{true};
};

TEST_F(UpdaterServer, PostsEditsInsertsAndDeletesForEveryKindOfKey) {
  struct TCase {
    const char* columns;
    const char* rows;
  } cases[] = {
      {"id INT PRIMARY KEY, v VARCHAR(10)", "(1,'a'),(2,'b')"},
      {"id INT, k INT, v VARCHAR(10), PRIMARY KEY (id, k)", "(1,1,'a'),(2,1,'b')"},
      {"id INT NOT NULL, v VARCHAR(10), UNIQUE KEY (id)", "(1,'a'),(2,'b')"},
      {"id INT, v VARCHAR(10)", "(1,'a'),(2,'b')"},
      {"id INT NULL, v VARCHAR(10), UNIQUE KEY (id)", "(NULL,'a'),(2,'b')"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.columns);
    Table("upd_keys", c.columns, c.rows);
    const bool composite = std::string(c.columns).find(" k INT") != std::string::npos;
    auto ds = Open("SELECT * FROM upd_keys ORDER BY v");
    ds->First();
    ds->Edit();  // the first row, whose key may be NULL
    ds->FieldByName("v").SetAsString("a2");
    ds->Post();
    ds->Append();
    ds->FieldByName("id").SetAsInteger(3);
    if (composite) ds->FieldByName("k").SetAsInteger(1);
    ds->FieldByName("v").SetAsString("c");
    ds->Post();
    ASSERT_TRUE(ds->Locate("v", Variant("b"), {}));
    ds->Delete();
    EXPECT_EQ(Rows("SELECT v FROM upd_keys ORDER BY v"), "a2;c");
  }
}

// Without a key every old value is in the WHERE; a row with a NULL there
// gets another statement (IS NULL) than the row edited before it, and its
// values must not be those of the earlier statement.
TEST_F(UpdaterServer, KeylessRowsWithAndWithoutNullsAreEachFound) {
  Table("upd_nokey", "n INT, a INT, b INT, v VARCHAR(10)", "(1,5,6,'x'),(2,NULL,7,'y'),(3,8,NULL,'z')");
  auto ds = Open("SELECT * FROM upd_nokey ORDER BY n");
  EditV(*ds, "n", 1, "x2");
  EditV(*ds, "n", 2, "y2");
  EditV(*ds, "n", 3, "z2");
  EditV(*ds, "n", 1, "x3");
  EXPECT_EQ(Rows("SELECT v FROM upd_nokey ORDER BY n"), "x3;y2;z2");
}

TEST_F(UpdaterServer, JoinWritesToTheAliasedTableAndNamesAreQuoted) {
  Table("upd_c", "id INT PRIMARY KEY, name VARCHAR(10)", "(1,'x')");
  Table("upd_o", "id INT PRIMARY KEY, cid INT, v VARCHAR(10)", "(10,1,'a')");
  auto ds = Open("SELECT o.id, o.v, c.name FROM upd_o o JOIN upd_c c ON c.id = o.cid", false);
  ds->SetUpdatingTable("o");
  ds->Open();
  EditV(*ds, "id", 10, "b");
  EXPECT_EQ(Rows("SELECT v FROM upd_o"), "b");
  EXPECT_EQ(Rows("SELECT name FROM upd_c"), "x");

  Table("`upd q`", "`my id` INT PRIMARY KEY, `v` VARCHAR(10), `a?b` INT", "(1,'a',5)");
  auto q = Open("SELECT * FROM `upd q`");
  q->Edit();
  q->FieldByName("v").SetAsString("it's");
  q->FieldByName("a?b").SetAsInteger(6);
  q->Post();
  EXPECT_EQ(Rows("SELECT * FROM `upd q`"), "1,it's,6");
}

TEST_F(UpdaterServer, StrictUpdateRejectsATwoRowChangeAndLeavesTheTableAlone) {
  Table("upd_dup", "id INT, v VARCHAR(10)", "(1,'a'),(1,'a')");
  auto ds = Open("SELECT id, v FROM upd_dup");
  ds->Edit();
  ds->FieldByName("v").SetAsString("z");
  try {
    ds->Post();
    ADD_FAILURE() << "the post succeeded";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Update failed. Found 2 records");
  }
  ds->Cancel();
  EXPECT_EQ(Rows("SELECT v FROM upd_dup"), "a;a");
  EXPECT_FALSE(InTransaction());
  ds->Options().SetStrictUpdate(false);
  ds->Edit();
  ds->FieldByName("v").SetAsString("z");
  ds->Post();
  EXPECT_EQ(Rows("SELECT v FROM upd_dup"), "z;z");
}

TEST_F(UpdaterServer, RefreshWithAConditionOnlyAndAutoIncrementKeys) {
  Table("upd_ai", "id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(10)", "");
  auto ds = Open("SELECT id, v FROM upd_ai");
  ds->SQLRefresh().SetText("WHERE id = :id");
  ds->Append();
  ds->FieldByName("v").SetAsString("a");
  ds->Post();
  EXPECT_EQ(ds->FieldByName("id").AsInteger(), 1);
  EXPECT_EQ(ds->LastInsertId(), 1);
  ds->Append();
  ds->FieldByName("v").SetAsString("b");
  ds->Post();
  EXPECT_EQ(ds->FieldByName("id").AsInteger(), 2);
  conn.ExecSQL("UPDATE upd_ai SET v = 'server' WHERE id = 2");
  ds->RefreshRecord();
  EXPECT_EQ(ds->FieldByName("v").AsString(), "server");
  EXPECT_EQ(ds->RecordCount(), 2);
  // A row the server no longer has leaves the data set.
  conn.ExecSQL("DELETE FROM upd_ai WHERE id = 2");
  ds->Options().SetStrictUpdate(false);
  ds->RefreshRecord();
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST_F(UpdaterServer, PessimisticLockIsHeldUntilTheEditEnds) {
  Table("upd_lock", "id INT PRIMARY KEY, v VARCHAR(10)", "(1,'a')");
  auto ds = Open("SELECT id, v FROM upd_lock", false);
  ds->SetLockMode(lmPessimistic);
  ds->Open();
  MyDAConnection other{true};
  other.Connect();
  const std::string probe = "SELECT id FROM upd_lock WHERE id = 1 FOR UPDATE NOWAIT";
  ds->Edit();
  EXPECT_TRUE(InTransaction());
  other.StartTransaction();
  EXPECT_THROW(other.ExecSQL(probe), EDAError);
  other.Rollback();
  ds->Cancel();
  EXPECT_FALSE(InTransaction());
  other.StartTransaction();
  EXPECT_NO_THROW(other.ExecSQL(probe));
  other.Rollback();
  // A posted edit commits the transaction the lock started.
  EditV(*ds, "id", 1, "b");
  EXPECT_FALSE(InTransaction());
  EXPECT_EQ(Rows("SELECT v FROM upd_lock"), "b");
}

TEST_F(UpdaterServer, PessimisticEditPostedInsideATransactionStaysInIt) {
  Table("upd_lock_tr", "id INT PRIMARY KEY, v VARCHAR(10)", "(1,'a')");
  auto ds = Open("SELECT id, v FROM upd_lock_tr", false);
  ds->SetLockMode(lmPessimistic);
  ds->Open();
  // The caller's transaction: the written row is committed with it.
  conn.StartTransaction();
  EditV(*ds, "id", 1, "b");
  EXPECT_TRUE(InTransaction());
  conn.Commit();
  EXPECT_EQ(Rows("SELECT v FROM upd_lock_tr"), "b");
  // AutoCommit off: the transaction the lock started waits for the caller.
  if (!ds->Active()) ds->Open();
  ds->SetAutoCommit(false);
  EditV(*ds, "id", 1, "c");
  const bool open = InTransaction();
  EXPECT_TRUE(open);
  if (open) conn.Commit();
  EXPECT_EQ(Rows("SELECT v FROM upd_lock_tr"), "c");
}

TEST_F(UpdaterServer, PersistentFieldsWithoutTheKeyColumnStillFindTheRow) {
  Table("upd_pf", "id INT PRIMARY KEY, v VARCHAR(10)", "(1,'a'),(2,'b')");
  auto ds = Open("SELECT id, v FROM upd_pf ORDER BY id", false);
  ds->AddField<TWideStringField>("v");
  ds->Open();
  ds->Edit();
  ds->FieldByName("v").SetAsString("a2");
  ds->Post();
  ds->Last();
  ds->Delete();
  EXPECT_EQ(Rows("SELECT id, v FROM upd_pf"), "1,a2");
}

TEST_F(UpdaterServer, LargeObjectsAreStoredCompressedAsTheModeSays) {
  Table("upd_blob", "id INT PRIMARY KEY, b LONGBLOB", "");
  auto blobs = Open("SELECT id, b FROM upd_blob", false);
  blobs->Options().SetCompressBlobMode(cbServer);
  blobs->Open();
  const std::string content(10000, 'x');
  blobs->Append();
  blobs->FieldByName("id").SetAsInteger(1);
  blobs->FieldByName("b").SetAsString(content);
  blobs->Post();
  EXPECT_EQ(Rows("SELECT HEX(LEFT(b, 16)), LENGTH(b) < 1000 FROM upd_blob"), "398C9DF158554938A65287CEE0C6DA7E,1");
  blobs->Close();
  blobs->Open();
  EXPECT_EQ(blobs->FieldByName("b").AsString(), content);
}

TEST_F(UpdaterServer, OptimisticCheckFindsAChangeByAnotherUser) {
  Table("upd_opt", "id INT PRIMARY KEY, v VARCHAR(10), n INT NULL", "(1,'a',NULL),(2,'b',NULL)");
  auto ds = Open("SELECT id, v, n FROM upd_opt ORDER BY id", false);
  ds->SetLockMode(lmOptimistic);
  ds->Open();
  EditV(*ds, "id", 2, "b2");  // unchanged on the server, NULL = NULL
  conn.ExecSQL("UPDATE upd_opt SET v = 'other' WHERE id = 1");
  ASSERT_TRUE(ds->Locate("id", 1, {}));
  ds->Edit();
  ds->FieldByName("v").SetAsString("mine");
  try {
    ds->Post();
    ADD_FAILURE() << "the post succeeded";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Record was changed by another user");
  }
  ds->Cancel();
  EXPECT_EQ(Rows("SELECT v FROM upd_opt ORDER BY id"), "other;b2");
  EXPECT_FALSE(InTransaction());
}

TEST_F(UpdaterServer, QuickRefreshReadsChangedRowsAndDropsDeletedOnes) {
  Table("upd_quick",
        "id INT PRIMARY KEY, v VARCHAR(10), "
        "ts TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP",
        "(1,'a',NOW() - INTERVAL 1 DAY),(2,'b',NOW() - INTERVAL 1 DAY)");
  auto ds = Open("SELECT id, v, ts FROM upd_quick ORDER BY id");
  TDADataSetUpdater& updater = ds->DADataSetService().DAUpdater();
  conn.ExecSQL("INSERT INTO upd_quick (id, v) VALUES (3,'new')");
  conn.ExecSQL("UPDATE upd_quick SET v = 'a2' WHERE id = 1");
  conn.ExecSQL("DELETE FROM upd_quick WHERE id = 2");
  updater.PerformRefreshQuick(false);
  EXPECT_EQ(ds->RecordCount(), 3);
  ASSERT_TRUE(ds->Locate("id", 1, {}));
  EXPECT_EQ(ds->FieldByName("v").AsString(), "a2");
  ASSERT_TRUE(ds->Locate("id", 3, {}));
  EXPECT_EQ(ds->FieldByName("v").AsString(), "new");
  updater.PerformRefreshQuick(true);
  EXPECT_EQ(ds->RecordCount(), 2);
  EXPECT_FALSE(ds->Locate("id", 2, {}));
  EXPECT_EQ(Rows("SELECT v FROM upd_quick ORDER BY id"), "a2;new");
}

TEST_F(UpdaterServer, UserStatementsOfAnUpdateObjectAndItsChecks) {
  Table("upd_uo", "id INT PRIMARY KEY, v VARCHAR(10)", "(1,'a')");
  auto ds = Open("SELECT id, v FROM upd_uo", false);
  TCustomDAUpdateSQL uo;
  uo.ModifySQL().SetText("UPDATE upd_uo SET v = CONCAT(:v, '!') WHERE id = :OLD_id");
  EXPECT_THROW(uo.SetModifyObject(&uo), EDAError);  // not a data set or SQL command
  ds->SetUpdateObject(&uo);
  EXPECT_EQ(uo.DataSet(), ds.get());
  auto other = Open("SELECT 1", false);
  EXPECT_THROW(uo.SetRefreshObject(ds.get()), EDAError);  // its own data set
  ds->Open();
  ds->Edit();
  ds->FieldByName("id").SetAsInteger(5);
  ds->FieldByName("v").SetAsString("b");
  ds->Post();
  EXPECT_EQ(Rows("SELECT id, v FROM upd_uo"), "1,b!");
  other->SetUpdateObject(&uo);  // moves to the other data set
  EXPECT_EQ(ds->UpdateObject(), nullptr);
  EXPECT_EQ(uo.DataSet(), other.get());
}

class UpdaterBatches : public UpdaterServer {
 protected:
  // Each test has its own table: ctest runs the two side by side.
  const std::string T = std::string("upd_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  // Seven cached edits applied with batches of three.
  std::unique_ptr<MyUpdDataSet> SevenEdits(int& batches) {
    Table(T, "id INT PRIMARY KEY, v VARCHAR(10), u INT, UNIQUE KEY (u)",
          "(1,'a',1),(2,'a',2),(3,'a',3),(4,'a',4),(5,'a',5),(6,'a',6),(7,'a',7)");
    auto ds = Open("SELECT id, v, u FROM " + T + " ORDER BY id", false);
    ds->SetCachedUpdates(true);
    ds->Options().SetUpdateBatchSize(3);
    ds->Open();
    ds->AfterUpdateExecute = [&batches](TCustomDADataSet&, TStatementTypes types, TDAParams&) {
      if (types.Contains(stBatchUpdate)) ++batches;
    };
    for (int id = 1; id <= 7; ++id) EditV(*ds, "id", id, "v" + std::to_string(id));
    return ds;
  }
};

TEST_F(UpdaterBatches, SevenRowsGoInThreeRequests) {
  int batches = 0;
  auto ds = SevenEdits(batches);
  ds->ApplyUpdates();
  ds->CommitUpdates();
  EXPECT_EQ(batches, 3);
  EXPECT_EQ(Rows("SELECT v FROM " + T + " ORDER BY id"), "v1;v2;v3;v4;v5;v6;v7");
  EXPECT_FALSE(InTransaction());
}

TEST_F(UpdaterBatches, AFailingStatementLeavesNothingOfItsBatch) {
  int batches = 0;
  auto ds = SevenEdits(batches);
  // Row 5 takes a unique value row 7 holds: the second batch (4, 5, 6) fails.
  ASSERT_TRUE(ds->Locate("id", 5, {}));
  ds->Edit();
  ds->FieldByName("u").SetAsInteger(7);
  ds->Post();
  EXPECT_THROW(ds->ApplyUpdates(), EDAError);
  EXPECT_EQ(Rows("SELECT v FROM " + T + " ORDER BY id"), "v1;v2;v3;a;a;a;a");
  EXPECT_TRUE(ds->UpdatesPending());
  // A row removed on the server makes its batch affect too few rows.
  conn.ExecSQL("UPDATE " + T + " SET u = 70 WHERE id = 7");
  conn.ExecSQL("DELETE FROM " + T + " WHERE id = 6");
  EXPECT_THROW(ds->ApplyUpdates(), EDAError);
  EXPECT_EQ(Rows("SELECT v FROM " + T + " ORDER BY id"), "v1;v2;v3;a;a;a");
  EXPECT_TRUE(ds->UpdatesPending());
}

TEST_F(UpdaterServer, CachedApplyWithAFailingRowLosesNothing) {
  Table("upd_cache", "id INT PRIMARY KEY, u INT, UNIQUE KEY (u)", "(1,1),(2,2),(3,3),(9,20)");
  auto ds = Open("SELECT id, u FROM upd_cache WHERE id < 9 ORDER BY id", false);
  ds->SetCachedUpdates(true);
  ds->Open();
  for (int id = 1; id <= 3; ++id) {
    ASSERT_TRUE(ds->Locate("id", id, {}));
    ds->Edit();
    ds->FieldByName("u").SetAsInteger(id * 10);  // 20 is taken by row 9
    ds->Post();
  }
  EXPECT_THROW(ds->ApplyUpdates(), EDAError);
  EXPECT_TRUE(ds->UpdatesPending());
  ASSERT_TRUE(ds->Locate("id", 2, {}));
  EXPECT_EQ(ds->UpdateStatus(), usModified);
  EXPECT_EQ(ds->FieldByName("u").AsInteger(), 20);
  conn.ExecSQL("DELETE FROM upd_cache WHERE id = 9");
  ds->ApplyUpdates();
  ds->CommitUpdates();
  EXPECT_FALSE(ds->UpdatesPending());
  EXPECT_EQ(Rows("SELECT u FROM upd_cache ORDER BY id"), "10;20;30");
}

}  // namespace
}  // namespace lumo
