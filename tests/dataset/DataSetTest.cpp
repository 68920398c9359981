// The framework's data set over the vector cursor: navigation, the buffer
// window that links see, editing with its events and error events, and
// held-back notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <lumokit/dataset/DataSource.h>
#include "dataset/VectorDataSet.h"

namespace lumo::test {
namespace {

std::unique_ptr<TVectorDataSet> MakeDataSet(int rows) {
  auto ds = std::make_unique<TVectorDataSet>(
      std::vector<TVectorDataSet::TColumn>{{"ID", ftInteger}, {"NAME", ftString, 10, true}});
  ds->Open();
  for (int i = 1; i <= rows; ++i) ds->AppendRecord({i, "n" + std::to_string(i)});
  ds->First();
  return ds;
}

void LogEvents(TDataSet& ds, std::vector<std::string>& log) {
  auto on = [&log](const char* name) { return [&log, name](TDataSet&) { log.push_back(name); }; };
  ds.BeforeEdit = on("BeforeEdit");
  ds.AfterEdit = on("AfterEdit");
  ds.BeforeInsert = on("BeforeInsert");
  ds.AfterInsert = on("AfterInsert");
  ds.BeforePost = on("BeforePost");
  ds.AfterPost = on("AfterPost");
  ds.BeforeCancel = on("BeforeCancel");
  ds.AfterCancel = on("AfterCancel");
  ds.BeforeDelete = on("BeforeDelete");
  ds.AfterDelete = on("AfterDelete");
  ds.BeforeScroll = on("BeforeScroll");
  ds.AfterScroll = on("AfterScroll");
  ds.OnNewRecord = on("OnNewRecord");
}

// Records what reaches a link, and lets a test read the rows of its window.
class TRecordingLink : public TDataLink {
 public:
  std::vector<std::string> Calls;
  std::vector<int> WindowIds() {
    std::vector<int> ids;
    const int saved = ActiveRecord();
    for (int i = 0; i < RecordCount(); ++i) {
      SetActiveRecord(i);
      ids.push_back(DataSet()->FieldByName("ID").AsInteger());
    }
    SetActiveRecord(saved);
    return ids;
  }

 protected:
  void ActiveChanged() override { Calls.push_back(Active() ? "active" : "inactive"); }
  void EditingChanged() override { Calls.push_back(Editing() ? "editing" : "browsing"); }
  void DataSetChanged() override { Calls.push_back("changed"); }
  void DataSetScrolled(int distance) override { Calls.push_back("scrolled " + std::to_string(distance)); }
  void RecordChanged(TField* field) override { Calls.push_back("record " + (field ? field->FieldName() : "*")); }
  void UpdateData() override { Calls.push_back("update"); }
  void CheckBrowseMode() override { Calls.push_back("check"); }
};

TEST(DataSetNavigation, MovesOverRowsAndReportsEnds) {
  auto ds = MakeDataSet(5);
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->MoveBy(3), 3);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 4);
  EXPECT_EQ(ds->MoveBy(10), 1);
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->RecNo(), 5);
  ds->Next();
  EXPECT_EQ(ds->RecNo(), 5);
  EXPECT_EQ(ds->MoveBy(-2), -2);
  EXPECT_FALSE(ds->Eof());
  ds->Last();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "n5");
  ds->First();
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->RecNo(), 1);
}

TEST(DataSetNavigation, BookmarksReturnToTheirRow) {
  auto ds = MakeDataSet(5);
  ds->MoveBy(2);
  const TBookmark b = ds->GetBookmark();
  ASSERT_EQ(b.size(), sizeof(std::int32_t));
  ds->Last();
  ds->GotoBookmark(b);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 3);
  EXPECT_THROW(ds->GotoBookmark(TBookmark{1, 2}), EDatabaseError);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 3);
}

TEST(DataSetNavigation, LinkWindowFollowsTheActiveRow) {
  auto ds = MakeDataSet(6);
  TDataSource src(ds.get());
  TRecordingLink link;
  link.SetBufferCount(3);
  link.SetDataSource(&src);
  EXPECT_EQ(link.WindowIds(), (std::vector<int>{1, 2, 3}));
  ds->MoveBy(2);  // still inside the window
  EXPECT_EQ(link.ActiveRecord(), 2);
  link.Calls.clear();
  ds->Next();  // one row past it: the window scrolls by one
  EXPECT_EQ(link.Calls, (std::vector<std::string>{"check", "scrolled 1"}));
  EXPECT_EQ(link.WindowIds(), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(link.ActiveRecord(), 2);
  ds->Last();
  EXPECT_EQ(link.WindowIds(), (std::vector<int>{4, 5, 6}));
  ds->MoveBy(-3);
  EXPECT_EQ(link.ActiveRecord(), 0);
  EXPECT_EQ(link.WindowIds(), (std::vector<int>{3, 4, 5}));
}

TEST(DataSetEditing, EditPostAndCancelInOrder) {
  auto ds = MakeDataSet(3);
  std::vector<std::string> log;
  LogEvents(*ds, log);
  ds->Next();
  log.clear();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("changed");
  EXPECT_TRUE(ds->Modified());
  ds->Post();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost"}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "changed");

  log.clear();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("dropped");
  ds->Cancel();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "changed");
  EXPECT_EQ(ds->State(), dsBrowse);
}

TEST(DataSetEditing, InsertDeleteAndScrollPostsPendingEdit) {
  auto ds = MakeDataSet(3);
  std::vector<std::string> log;
  LogEvents(*ds, log);
  ds->Next();
  log.clear();
  ds->Insert();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                                           "AfterScroll"}));
  ds->FieldByName("ID").SetAsInteger(10);
  ds->FieldByName("NAME").SetAsString("ten");
  ds->Next();  // leaving the row posts it
  EXPECT_EQ(ds->State(), dsBrowse);
  ds->First();
  std::vector<int> ids;
  while (!ds->Eof()) {
    ids.push_back(ds->FieldByName("ID").AsInteger());
    ds->Next();
  }
  EXPECT_EQ(ids, (std::vector<int>{1, 10, 2, 3}));

  ds->First();
  ds->Delete();
  EXPECT_EQ(ds->RecordCount(), 3);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 10);
  ds->Append();
  ds->FieldByName("ID").SetAsInteger(20);
  EXPECT_THROW(ds->Post(), EDatabaseError);  // NAME is required
  try {
    ds->Post();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NAME' must have a value");
  }
  ds->FieldByName("NAME").SetAsString("twenty");
  ds->Post();
  ds->Last();
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 20);
}

TEST(DataSetEditing, WritingOutsideAnEditStateIsRefused) {
  auto ds = MakeDataSet(1);
  try {
    ds->FieldByName("ID").SetAsInteger(5);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
  }
  ds->ReadOnlyData = true;
  EXPECT_THROW(ds->Edit(), EDatabaseError);
  EXPECT_EQ(ds->State(), dsBrowse);
}

TEST(DataSetEditing, PostErrorHandlerRetriesAbortsOrFails) {
  auto ds = MakeDataSet(1);
  ds->Append();
  ds->FieldByName("ID").SetAsInteger(2);
  int calls = 0;
  ds->OnPostError = [&](TDataSet& d, EDatabaseError&, TDataAction& action) {
    ++calls;
    d.FieldByName("NAME").SetAsString("fixed");
    action = daRetry;
  };
  ds->Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ds->RecordCount(), 2);

  ds->Append();
  ds->OnPostError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; };
  EXPECT_THROW(ds->Post(), EAbort);
  EXPECT_EQ(ds->State(), dsInsert);
  ds->Cancel();
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(DataSetEditing, FailingNewRecordHandlerLeavesBrowseState) {
  auto ds = MakeDataSet(2);
  ds->OnNewRecord = [](TDataSet&) { throw EDatabaseError("no new rows"); };
  EXPECT_THROW(ds->Insert(), EDatabaseError);
  EXPECT_EQ(ds->State(), dsBrowse);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 1);
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(DataSetControls, DisabledControlsGetOneChangeAtTheEnd) {
  auto ds = MakeDataSet(4);
  TDataSource src(ds.get());
  TRecordingLink link;
  link.SetDataSource(&src);
  link.Calls.clear();
  ds->DisableControls();
  ds->DisableControls();
  ds->Next();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("x");
  ds->Post();
  ds->EnableControls();
  EXPECT_TRUE(link.Calls.empty());
  ds->EnableControls();
  EXPECT_EQ(link.Calls, (std::vector<std::string>{"changed"}));
}

TEST(DataSetControls, LinksSeeStateFieldAndRecordChanges) {
  auto ds = MakeDataSet(2);
  TDataSource src(ds.get());
  TRecordingLink link;
  link.SetDataSource(&src);
  TField* changed = nullptr;
  src.OnDataChange = [&](TDataSource&, TField* f) { changed = f; };
  link.Calls.clear();
  ds->Edit();
  ds->FieldByName("ID").SetAsInteger(7);
  EXPECT_EQ(changed, &ds->FieldByName("ID"));
  ds->Post();
  EXPECT_EQ(link.Calls, (std::vector<std::string>{"check", "editing", "record *", "record ID", "update", "check",
                                                  "browsing", "changed"}));
  ds->Close();
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(link.Calls.back(), "inactive");
}

TEST(DataSetControls, LinkDestroyedDuringNotificationIsSkipped) {
  auto ds = MakeDataSet(3);
  TDataSource src(ds.get());
  auto second = std::make_unique<TRecordingLink>();
  TFieldDataLink first;
  first.SetFieldName("ID");
  first.SetDataSource(&src);
  second->SetDataSource(&src);
  first.OnDataChange = [&] { second.reset(); };
  ds->Next();  // first link destroys the second while both are being told
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(src.DataLinkCount(), 1);
  ds->Next();
  EXPECT_EQ(first.Field()->AsInteger(), 3);
}

TEST(DataSetControls, CircularLinksAreRefused) {
  auto master = MakeDataSet(1);
  TDataSource src(master.get());
  // A data source cannot serve a data set through which it is followed.
  class TDetailLink : public TDetailDataLink {
   public:
    explicit TDetailLink(TDataSet& ds) : FDataSet(ds) {}

   protected:
    TDataSet* GetDetailDataSet() override { return &FDataSet; }

   private:
    TDataSet& FDataSet;
  } link(*master);
  try {
    link.SetDataSource(&src);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
}

}  // namespace
}  // namespace lumo::test
