// The memory data set over a plain store: opening, navigation and editing
// with their events, the writes the updater is asked for, deferred post,
// blob streams, nested data sets and a link that follows every change.
#include <gtest/gtest.h>

#include <lumokit/core/Bcd.h>
#include <lumokit/data/KxBlob.h>
#include "dataset/MemDSTestUtil.h"

namespace lumo::test {
namespace {

std::unique_ptr<TTestDataSet> People(int rows) {
  auto ds = std::make_unique<TTestDataSet>(
      std::vector<TFieldSpec>{{"ID", dtInt32}, {"NAME", dtString, 20}, {"NOTE", dtMemo}});
  for (int i = 1; i <= rows; ++i) ds->AddRow({i, "name" + std::to_string(i)});
  ds->Open();
  return ds;
}

TEST(MemDataSet, OpensWithFieldsFromTheStoreAndNavigates) {
  auto ds = People(4);
  ASSERT_EQ(ds->FieldCount(), 3);
  EXPECT_EQ(ds->FieldByName("NAME").ClassName(), "TStringField");
  EXPECT_EQ(ds->FieldByName("NAME").Size(), 20);
  EXPECT_EQ(ds->FieldByName("NOTE").DataType(), ftMemo);
  EXPECT_EQ(ds->RecordCount(), 4);
  EXPECT_EQ(ds->RecNo(), 1);
  ds->Last();
  EXPECT_EQ(ds->RecNo(), 4);
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "name4");
  ds->SetRecNo(2);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 2);
  // A bookmark holds the store's position as it is on this machine.
  const TBookmark b = ds->GetBookmark();
  EXPECT_EQ(b.size(), sizeof(TRecBookmark));
  ds->First();
  ds->GotoBookmark(b);
  EXPECT_EQ(ds->RecNo(), 2);
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
}

TEST(MemDataSet, WalksGiveEveryRowItsNumberBookmarkAndStatus) {
  TTestDataSet ds({{"ID", dtInt32}, {"NAME", dtString, 20}});
  for (int i = 1; i <= 6; ++i) ds.AddRow({i, "name" + std::to_string(i)});
  ds.SetCachedUpdates(true);
  ds.Open();
  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("changed");
  ds.Post();
  // A hidden row makes the walk step over it.
  ds.SetFilter("ID <> 3");
  ds.SetFiltered(true);
  std::vector<std::string> seen;
  std::vector<TBookmark> marks;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    seen.push_back(ds.FieldByName("ID").AsString() + "#" + std::to_string(ds.RecNo()) +
                   (ds.UpdateStatus() == usModified ? "m" : ""));
    marks.push_back(ds.GetBookmark());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1#1", "2#2m", "4#3", "5#4", "6#5"}));
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 6);
  ds.GotoBookmark(marks[2]);
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 4);
  std::vector<std::string> back;
  for (ds.Last(); !ds.Bof(); ds.Prior()) back.push_back(ds.FieldByName("NAME").AsString());
  EXPECT_EQ(back, (std::vector<std::string>{"name6", "name5", "name4", "changed", "name1"}));
}

// A walk copies each row image whole, whatever the row's width: rows from a
// few bytes to past 64 keep every character and the field after the text.
TEST(MemDataSet, WalksCopyRowsOfEveryWidthWhole) {
  for (std::uint16_t width = 1; width <= 80; ++width) {
    TTestDataSet ds({{"ID", dtInt32}, {"S", dtString, width}, {"N", dtInt32}});
    std::vector<std::string> texts;
    for (int i = 0; i < 3; ++i) {
      std::string text;
      for (int k = 0; k < width; ++k) text += static_cast<char>('a' + (i * 7 + k) % 26);
      texts.push_back(text);
      ds.AddRow({i + 1, text, 1000 + i});
    }
    ds.Open();
    int i = 0;
    for (ds.First(); !ds.Eof(); ds.Next(), ++i) {
      ASSERT_LT(i, 3);
      EXPECT_EQ(ds.FieldByName("ID").AsInteger(), i + 1) << "width " << width;
      EXPECT_EQ(ds.FieldByName("S").AsString(), texts[static_cast<std::size_t>(i)]) << "width " << width;
      EXPECT_EQ(ds.FieldByName("N").AsInteger(), 1000 + i) << "width " << width;
    }
    EXPECT_EQ(i, 3) << "width " << width;
  }
}

// No integer field holds unsigned 64-bit values above 2^63 - 1: such
// columns are decimal fields, read and written exactly.
TEST(MemDataSet, UnsignedBigColumnsAreExactDecimalFields) {
  TTestDataSet ds({{"ID", dtInt32}, {"BIG", dtUInt64}});
  ds.Open();
  EXPECT_EQ(ds.FieldByName("BIG").DataType(), ftFMTBcd);
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(1);
  ds.FieldByName("BIG").SetAsString("18446744073709551615");
  ds.Post();
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(2);
  ds.Post();
  EXPECT_EQ(ds.Column("BIG"), (std::vector<std::string>{"18446744073709551615", "null"}));
  ds.First();
  EXPECT_EQ(ds.FieldByName("BIG").AsVariant(), Variant(StrToBcd("18446744073709551615")));
  for (const char* bad : {"-1", "1.5", "18446744073709551616"}) {
    ds.Edit();
    EXPECT_THROW(ds.FieldByName("BIG").SetAsString(bad), Exception) << bad;
    ds.Cancel();
  }
  EXPECT_EQ(ds.FieldByName("BIG").AsString(), "18446744073709551615");
  EXPECT_EQ(TFieldTypeMap::Default().GetDataType(ftAutoInc), dtInt32);
  EXPECT_EQ(TFieldTypeMap::Default().GetFieldType(dtExtVarBytes), ftVarBytes);
}

TEST(MemDataSet, StaleBookmarksAndOldValuesOfNewRows) {
  auto ds = People(4);
  ds->Last();
  const TBookmark last = ds->GetBookmark();
  ds->Delete();
  ds->Delete();
  ds->SetRecNo(1);
  try {
    ds->GotoBookmark(last);  // neither the row nor its record number exists
    FAIL() << "moved";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record not found");
  }
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_FALSE(ds->BookmarkValid(last));
  ds->Insert();  // a new row has no old version (not its neighbour's)
  EXPECT_TRUE(ds->FieldByName("ID").OldValue().IsNull());
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("ID").OldValue(), Variant(1));
}

TEST(MemDataSet, LongValuesKeptOutsideTheRowStayWithinTheFieldBuffer) {
  TTestDataSet ds({{"ID", dtInt32}, {"S", dtExtString, 5}, {"W", dtExtWideString, 3}});
  TData& store = ds.Data();
  ds.AddRow({1, "abc", u"xy"});
  // A provider may store more than the declared length outside the row.
  TRecBuf row = MakeRow(store, {2, "abcdefghij", std::u16string(u"ééééé")});
  store.OnAppend = nullptr;
  store.AppendRecord(row.get());
  ds.Open();
  ds.Last();
  EXPECT_EQ(ds.FieldByName("S").AsString().size(), 5u);
  EXPECT_EQ(ds.FieldByName("W").AsWideString().size(), 3u);
  ds.First();
  EXPECT_EQ(ds.FieldByName("S").AsString(), "abc");
}

TEST(MemDataSet, EditingFiresEventsInOrderAndReachesTheStore) {
  auto ds = People(2);
  std::vector<std::string> log;
  auto on = [&log](const char* name) { return [&log, name](TDataSet&) { log.push_back(name); }; };
  ds->BeforeInsert = on("BeforeInsert");
  ds->OnNewRecord = on("OnNewRecord");
  ds->AfterInsert = on("AfterInsert");
  ds->BeforePost = on("BeforePost");
  ds->AfterPost = on("AfterPost");
  ds->BeforeDelete = on("BeforeDelete");
  ds->AfterDelete = on("AfterDelete");
  ds->BeforeScroll = on("BeforeScroll");
  ds->AfterScroll = on("AfterScroll");
  ds->Append();
  ds->FieldByName("ID").SetAsInteger(3);
  ds->FieldByName("NAME").SetAsString("three");
  EXPECT_EQ(ds->RecNo(), -1);  // a new row has no number yet
  ds->Post();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                                           "AfterScroll", "BeforePost", "AfterPost"}));
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_EQ(ds->Store().GetRecordCount(), 3);

  log.clear();
  ds->First();
  ds->Delete();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeScroll", "AfterScroll", "BeforeDelete", "BeforeScroll",
                                           "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"2", "3"}));

  ds->Edit();
  ds->FieldByName("NAME").SetAsString("changed");
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "name2");
  ds->Refresh();  // nothing to re-read: the rows stay
  EXPECT_EQ(ds->Column("ID"), (std::vector<std::string>{"2", "3"}));
}

TEST(MemDataSet, UpdaterIsAskedForEveryWriteOutsideCachedMode) {
  auto ds = People(2);
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("x");
  ds->Post();
  ds->Append();
  ds->FieldByName("ID").SetAsInteger(9);
  ds->Post();
  ds->First();
  ds->Delete();
  EXPECT_EQ(ds->Updater().Calls, (std::vector<std::string>{"update 1", "append 9", "delete 1"}));
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);

  ds->SetLocalUpdate(true);
  ds->Delete();
  EXPECT_EQ(ds->Updater().Calls.size(), 3u);
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST(MemDataSet, DeferredPostThenPostIsOneInsertThenOneUpdate) {
  auto ds = People(1);
  ds->Append();
  ds->FieldByName("ID").SetAsInteger(5);
  ds->DeferredPost();
  EXPECT_EQ(ds->State(), dsInsert);
  ds->FieldByName("NAME").SetAsString("five");
  // The row as written is now the row's old value.
  EXPECT_TRUE(ds->FieldByName("NAME").OldValue().IsNull());
  EXPECT_EQ(ds->FieldByName("NAME").NewValue(), Variant("five"));
  ds->Post();
  EXPECT_EQ(ds->Updater().Calls, (std::vector<std::string>{"append 5", "update 5"}));
  EXPECT_EQ(ds->Column("NAME"), (std::vector<std::string>{"name1", "five"}));

  ds->Updater().Calls.clear();
  ds->Edit();
  ds->DeferredPost();
  ds->DeferredPost();
  ds->Cancel();
  EXPECT_EQ(ds->Updater().Calls, (std::vector<std::string>{"update 5", "update 5"}));
  EXPECT_THROW(ds->DeferredPost(), EDatabaseError);  // not editing
}

TEST(MemDataSet, DefaultExpressionsFillNewRows) {
  TTestDataSet ds({{"ID", dtInt32}, {"NAME", dtString, 10}});
  ds.Open();
  ds.FieldByName("NAME").SetDefaultExpression("'it''s'");
  ds.FieldByName("ID").SetDefaultExpression("7");
  ds.FieldByName("ID").SetReadOnly(true);  // defaults are written even so
  ds.Append();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "it's");
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7);
  ds.Cancel();
  DefaultExpressionOldBehavior = true;
  ds.Append();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "'it''s'");
  DefaultExpressionOldBehavior = false;
  ds.Cancel();
}

TEST(MemDataSet, ReadOnlyAndRequiredFieldsAreEnforced) {
  TTestDataSet ds({{"ID", dtInt32}, {"NAME", dtString, 10}});
  ds.AddRow({1, "a"});
  ds.Open();
  ds.FieldByName("ID").SetReadOnly(true);
  ds.FieldByName("NAME").SetRequired(true);
  ds.Edit();
  try {
    ds.FieldByName("ID").SetAsInteger(2);
    FAIL() << "written";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'ID' cannot be modified");
  }
  ds.FieldByName("NAME").Clear();
  try {
    ds.Post();
    FAIL() << "posted";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NAME' must have a value");
  }
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "a");
}

TEST(MemDataSet, BlobStreamsWriteReadAndRefuseReadOnlyFields) {
  auto ds = People(1);
  TField& note = ds->FieldByName("NOTE");
  EXPECT_TRUE(note.IsNull());
  ds->Edit();
  note.SetAsString("first text");
  ds->Post();
  EXPECT_EQ(note.AsString(), "first text");
  EXPECT_EQ(static_cast<TBlobField&>(note).BlobSize(), 10);
  EXPECT_EQ(ds->GetBlob(note)->AsAnsiString(), "first text");
  EXPECT_THROW(ds->GetBlob("NAME"), EDatabaseError);

  ds->Edit();
  note.SetReadOnly(true);
  try {
    ds->CreateBlobStream(note, bmWrite);
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NOTE' cannot be modified");
  }
  EXPECT_EQ(note.AsString(), "first text");  // nothing was truncated
  note.SetReadOnly(false);
  {
    auto s = ds->CreateBlobStream(note, bmReadWrite);
    s->Seek(0, TSeekOrigin::soEnd);
    s->WriteBuffer(" and more");
  }
  EXPECT_EQ(note.AsString(), "first text and more");
  ds->Cancel();  // the blob change rolls back with the edit
  EXPECT_EQ(note.AsString(), "first text");
  EXPECT_THROW(ds->CreateBlobStream(note, bmWrite), EDatabaseError);  // browsing
}

TEST(MemDataSet, FieldLinkFollowsEveryChange) {
  auto ds = People(3);
  TDataSource src(ds.get());
  TFieldDataLink link;
  link.SetFieldName("NAME");
  std::vector<std::string> seen;
  link.OnDataChange = [&] { seen.push_back(link.Field() ? link.Field()->AsString() : "-"); };
  link.OnEditingChange = [&] { seen.push_back(link.Editing() ? "editing" : "browsing"); };
  link.SetDataSource(&src);
  ds->Next();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("new");
  ds->FieldByName("ID").SetAsInteger(20);  // another field: not this link's business
  ds->Post();
  ds->Last();
  ds->Close();
  EXPECT_EQ(seen, (std::vector<std::string>{"name1", "name2", "editing", "name2", "new", "browsing", "new", "name3",
                                            "-"}));
}

TEST(MemDataSet, NestedDataSetKeepsItsRowWhileTheParentStays) {
  TTestDataSet parent({{"ID", dtInt32}});
  for (int i = 1; i <= 3; ++i) parent.AddRow({i});
  parent.AddField<TIntegerField>("ID");
  auto& kids = parent.AddField<TDataSetField>("KIDS", fkCalculated);
  TTestDataSet nested({{"ID", dtInt32}});
  for (int i = 1; i <= 3; ++i) nested.AddRow({i * 10});
  nested.SetDataSetField(&kids);
  EXPECT_EQ(nested.ParentDataSet(), &parent);
  parent.Open();
  nested.Open();
  parent.DataEvent(deDataSetChange);  // the first parent position
  nested.Next();
  ASSERT_EQ(nested.RecNo(), 2);
  parent.DataEvent(deDataSetChange);  // the parent stayed on its row: keep ours
  EXPECT_EQ(nested.RecNo(), 2);
  parent.Next();  // the parent moved: start from the first row
  EXPECT_EQ(nested.RecNo(), 1);
  nested.Last();
  parent.Prior();
  EXPECT_EQ(nested.RecNo(), 1);
  nested.SetDataSetField(nullptr);
  EXPECT_TRUE(parent.NestedDataSets().empty());
}

}  // namespace
}  // namespace lumo::test
