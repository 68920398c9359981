// Cached updates of the memory data set: changes wait in the store until
// they are applied, the updater gets them in order, and the update-record
// and update-error handlers steer each row with every action.
#include <gtest/gtest.h>

#include "dataset/MemDSTestUtil.h"

namespace lumo::test {
namespace {

class CachedUpdates : public ::testing::Test {
 protected:
  void SetUp() override {
    ds = std::make_unique<TTestDataSet>(std::vector<TFieldSpec>{{"ID", dtInt32}, {"NAME", dtString, 10}});
    for (int i = 1; i <= 3; ++i) ds->AddRow({i, "n" + std::to_string(i)});
    ds->SetCachedUpdates(true);
    ds->Open();
  }
  // Edits row 1, inserts row 10 after it and deletes row 3.
  void MakeChanges() {
    ds->Edit();
    ds->FieldByName("NAME").SetAsString("changed");
    ds->Post();
    ds->Next();
    ds->Insert();
    ds->FieldByName("ID").SetAsInteger(10);
    ds->Post();
    ds->Last();
    ds->Delete();
  }
  TRecordingUpdater& Updater() { return ds->Updater(); }
  std::unique_ptr<TTestDataSet> ds;
};

TEST_F(CachedUpdates, ChangesWaitForApplyAndGoOutInOrder) {
  MakeChanges();
  EXPECT_TRUE(Updater().Calls.empty());
  EXPECT_TRUE(ds->UpdatesPending());
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"1", "10", "2"}));
  ds->First();
  EXPECT_EQ(ds->UpdateStatus(), usModified);
  EXPECT_EQ(ds->FieldByName("NAME").OldValue(), Variant("n1"));
  ds->Next();
  EXPECT_EQ(ds->UpdateStatus(), usInserted);

  ds->ApplyUpdates();
  EXPECT_EQ(Updater().Calls, (std::vector<std::string>{"update 1", "append 10", "delete 3"}));
  EXPECT_EQ(ds->UpdateResult(), urApplied);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 10);  // the position survives the apply
  ds->CommitUpdates();
  EXPECT_FALSE(ds->UpdatesPending());
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_EQ(Updater().Calls.size(), 3u);  // committing applied rows writes nothing again
}

TEST_F(CachedUpdates, CancelRestoreRevertAndDeletedRows) {
  MakeChanges();
  TUpdateRecordTypes types{rtModified, rtInserted, rtUnmodified, rtDeleted};
  ds->SetUpdateRecordTypes(types);
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"1", "10", "2", "3"}));
  ds->SetUpdateRecordTypes(TUpdateRecordTypes{rtDeleted});
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"3"}));
  EXPECT_EQ(ds->UpdateStatus(), usDeleted);
  ds->SetUpdateRecordTypes(TUpdateRecordTypes{rtModified, rtInserted, rtUnmodified});

  ds->First();
  ds->RevertRecord();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "n1");
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  ds->CancelUpdates();
  EXPECT_FALSE(ds->UpdatesPending());
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"1", "2", "3"}));

  EXPECT_THROW(ds->SetCachedUpdates(false), EDatabaseError);  // closed data sets only
  ds->Close();
  ds->SetCachedUpdates(false);
  try {
    ds->ApplyUpdates();
    FAIL() << "applied";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed dataset");
  }
}

TEST_F(CachedUpdates, ApplyingNeedsCachedMode) {
  ds->Close();
  ds->SetCachedUpdates(false);
  ds->Open();
  try {
    ds->ApplyUpdates();
    FAIL() << "applied";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Not in cached update mode");
  }
  EXPECT_THROW(ds->UpdateRecordTypes(), EDatabaseError);
}

TEST_F(CachedUpdates, UpdateRecordHandlerDecidesEachRow) {
  MakeChanges();
  std::vector<std::string> seen;
  TUpdateAction answer = uaApplied;
  int retries = 0;
  ds->OnUpdateRecord = [&](TDataSet& d, TUpdateKind kind, TUpdateAction& action) {
    EXPECT_EQ(action, uaFail);  // preset
    seen.push_back(std::to_string(static_cast<int>(kind)) + ":" + d.FieldByName("ID").AsString());
    action = answer;
    if (answer == uaRetry && ++retries == 2) action = uaApplied;
  };

  // Applied without writing anything.
  ds->ApplyUpdates(TUpdateRecKinds{ukUpdate});
  EXPECT_EQ(seen, (std::vector<std::string>{"0:1"}));
  EXPECT_TRUE(Updater().Calls.empty());
  ds->First();
  EXPECT_EQ(ds->UpdateResult(), urApplied);

  // Skipped: stays pending, not applied.
  answer = uaSkip;
  seen.clear();
  ds->ApplyUpdates(TUpdateRecKinds{ukInsert});
  EXPECT_EQ(seen, (std::vector<std::string>{"1:10"}));
  ds->Next();
  EXPECT_EQ(ds->UpdateResult(), urSkip);

  // Retried until the handler is content.
  answer = uaRetry;
  seen.clear();
  ds->ApplyUpdates(TUpdateRecKinds{ukInsert});
  EXPECT_EQ(seen, (std::vector<std::string>{"1:10", "1:10"}));

  // The default write after the handler.
  answer = uaDefault;
  ds->ApplyUpdates(TUpdateRecKinds{ukDelete});
  EXPECT_EQ(Updater().Calls, (std::vector<std::string>{"delete 3"}));

  // Failing raises, or leaves the row un-applied with the switch.
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("again");
  ds->Post();
  answer = uaFail;
  try {
    ds->ApplyUpdates(TUpdateRecKinds{ukUpdate});
    FAIL() << "applied";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Update failed");
  }
  DoNotRaiseExcetionOnUaFail = true;
  EXPECT_NO_THROW(ds->ApplyUpdates(TUpdateRecKinds{ukUpdate}));
  DoNotRaiseExcetionOnUaFail = false;
  EXPECT_EQ(ds->UpdateResult(), urFail);
  EXPECT_TRUE(ds->UpdatesPending());

  answer = uaAbort;
  EXPECT_THROW(ds->ApplyUpdates(), EAbort);
  EXPECT_EQ(ds->State(), dsBrowse);
}

TEST_F(CachedUpdates, UpdateErrorHandlerSeesDatabaseErrors) {
  MakeChanges();
  Updater().FailOn = 10;
  Updater().FailTimes = 100;
  TUpdateAction answer = uaSkip;
  int errors = 0;
  ds->OnUpdateError = [&](TDataSet&, EDatabaseError& e, TUpdateKind kind, TUpdateAction& action) {
    ++errors;
    EXPECT_STREQ(e.what(), "write failed");
    EXPECT_EQ(kind, TUpdateKind::ukInsert);
    EXPECT_EQ(action, uaFail);
    action = answer;
  };
  ds->ApplyUpdates();  // the failing row is skipped, the others are written
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Updater().Calls, (std::vector<std::string>{"update 1", "append 10", "delete 3"}));

  answer = uaFail;
  EXPECT_THROW(ds->ApplyUpdates(), EDatabaseError);
  answer = uaAbort;
  EXPECT_THROW(ds->ApplyUpdates(), EAbort);

  // Fixed by the handler, then retried.
  Updater().FailTimes = 1;
  answer = uaRetry;
  Updater().Calls.clear();
  ds->ApplyUpdates();
  EXPECT_EQ(Updater().Calls, (std::vector<std::string>{"append 10", "append 10"}));

  // Without a handler the error reaches the caller.
  ds->OnUpdateError = nullptr;
  ds->First();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("again");
  ds->Post();
  Updater().FailOn = 1;
  Updater().FailTimes = 1;
  EXPECT_THROW(ds->ApplyUpdates(), EDatabaseError);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "again");
}

TEST_F(CachedUpdates, BatchUpdaterIsFlushedAtTheLastRow) {
  MakeChanges();
  Updater().Batch = true;
  ds->ApplyUpdates();
  EXPECT_EQ(Updater().Calls, (std::vector<std::string>{"update 1", "append 10", "delete 3", "flush"}));
  ds->First();
  EXPECT_EQ(ds->UpdateResult(), urApplied);
  ds->CommitUpdates();
  EXPECT_FALSE(ds->UpdatesPending());
}

}  // namespace
}  // namespace lumo::test
