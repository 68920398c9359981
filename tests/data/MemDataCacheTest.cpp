// Record store: editing with complex values and cached updates (apply
// action sequences, commit, cancel, revert, restore, hostile handlers).
#include <gtest/gtest.h>

#include <lumokit/data/KxBlob.h>
#include "data/MemDataTestUtil.h"

namespace lumo {
namespace {

using test::Append;
using test::Column;
using test::Locate;
using test::OpenData;

std::unique_ptr<TMemData> CachedStore(int rows) {
  auto data = OpenData({{"ID", dtInt32}, {"NAME", dtExtString}});
  for (int i = 1; i <= rows; ++i) Append(*data, {Variant(i), Variant("n" + std::to_string(i))});
  data->SetCachedUpdates(true);
  return data;
}

void Edit(TMemData& data, int id, const std::string& name) {
  ASSERT_TRUE(Locate(data, id));
  TRecBuf buf = data.AllocRecBuf();
  data.EditRecord(buf.get());
  data.PutFieldAsVariant(2, buf.get(), Variant(name));
  data.PostRecord(buf.get());
}

void Delete(TMemData& data, int id) {
  ASSERT_TRUE(Locate(data, id));
  data.DeleteRecord();
}

TEST(MemDataEdit, EditPostCancelKeepValuesApart) {
  auto data = OpenData({{"ID", dtInt32}, {"NAME", dtExtString}, {"V", dtVariant}});
  Append(*data, {Variant(1), Variant("one"), Variant(10)});
  TRecBuf buf = data->AllocRecBuf();
  data->SetRecordNo(1);
  data->EditRecord(buf.get());
  data->PutFieldAsVariant(2, buf.get(), Variant("changed"));
  data->PutFieldAsVariant(3, buf.get(), Variant(20));
  EXPECT_EQ(Column(*data, 2), std::vector<std::string>{"one"}) << "the edit buffer is separate";
  EXPECT_EQ(Column(*data, 3), std::vector<std::string>{"10"});
  data->CancelRecord(buf.get());
  EXPECT_EQ(Column(*data, 2), std::vector<std::string>{"one"});

  data->SetRecordNo(1);
  data->EditRecord(buf.get());
  data->PutFieldAsVariant(2, buf.get(), Variant("posted"));
  data->PostRecord(buf.get());
  EXPECT_EQ(Column(*data, 2), std::vector<std::string>{"posted"});
  EXPECT_EQ(Column(*data, 3), std::vector<std::string>{"10"});

  // In cached mode the rollback record holds references of its own to the
  // old variant and text (the sanitizer build checks for double frees).
  data->SetCachedUpdates(true);
  data->SetRecordNo(1);
  data->EditRecord(buf.get());
  data->PutFieldAsVariant(3, buf.get(), Variant(30));
  data->PostRecord(buf.get());
  data->SetRecordNo(1);
  data->EditRecord(buf.get());
  data->PutFieldAsVariant(2, buf.get(), Variant("second"));
  data->PostRecord(buf.get());
  data->SetRecordNo(1);
  data->RevertRecord();
  EXPECT_EQ(Column(*data, 2), std::vector<std::string>{"posted"});
  EXPECT_EQ(Column(*data, 3), std::vector<std::string>{"10"});
  data->SetRecordNo(1);
  data->EditRecord(buf.get());
  data->PutFieldAsVariant(3, buf.get(), Variant(40));
  data->PostRecord(buf.get());
  data->OnApplyRecord = [](TUpdateRecKind, TUpdateRecAction& a, bool) { a = urApplied; };
  data->CommitUpdates();
  EXPECT_EQ(Column(*data, 3), std::vector<std::string>{"40"});
}

TEST(MemDataCache, DeleteAppendedAndUpdated) {
  auto data = CachedStore(3);
  Append(*data, {Variant(4), Variant("n4")});
  EXPECT_EQ(data->CacheCount(), 1);
  Delete(*data, 4);  // an appended record goes outright, with its entry
  EXPECT_EQ(data->CacheCount(), 0);
  EXPECT_EQ(data->GetRecordCount(), 3);

  Edit(*data, 2, "changed");
  EXPECT_EQ(data->GetUpdateStatus(), isUpdated);
  Delete(*data, 2);  // an updated record gets its old values back, then hides
  EXPECT_EQ(data->GetUpdateStatus(), isDeleted);
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"1", "3"}));
  EXPECT_TRUE(data->HasUpdatedOrDeletedRecords());
  data->SetFilterItemTypes(TItemTypes{isDeleted});
  EXPECT_EQ(Column(*data, 2), std::vector<std::string>{"n2"});
  data->SetFilterItemTypes(TItemTypes{isUnmodified, isUpdated, isAppended});
}

TEST(MemDataCache, CancelRevertRestore) {
  auto data = CachedStore(4);
  Edit(*data, 1, "a");
  Edit(*data, 1, "b");
  Delete(*data, 3);
  Append(*data, {Variant(5), Variant("n5")});
  EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"b", "n2", "n4", "n5"}));
  TRecBuf old = data->AllocRecBuf();
  ASSERT_TRUE(Locate(*data, 1));
  data->GetOldRecord(old.get());
  EXPECT_EQ(data->GetFieldAsVariant(2, old.get()).AsString(), "n1") << "the rollback holds the first old values";
  data->RevertRecord();
  EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"n1", "n2", "n4", "n5"}));
  data->CancelUpdates();
  EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"n1", "n2", "n3", "n4"}));
  EXPECT_EQ(data->CacheCount(), 0);
  EXPECT_EQ(data->GetRecordCount(), 4);

  // RestoreUpdates makes applied changes pending again.
  Edit(*data, 2, "x");
  data->OnApplyRecord = [](TUpdateRecKind, TUpdateRecAction& a, bool) { a = urApplied; };
  data->ApplyUpdates(TUpdateRecKinds{ukUpdate});
  EXPECT_FALSE(data->GetUpdatesPending());
  data->RestoreUpdates();
  EXPECT_TRUE(data->GetUpdatesPending());
}

// The actions a handler returns, one per call, and what it saw.
struct TScript {
  std::vector<TUpdateRecAction> Actions;
  std::vector<int> Seen;
};

void UseScript(TMemData& data, TScript& script) {
  data.OnApplyRecord = [&data, &script](TUpdateRecKind, TUpdateRecAction& action, bool) {
    script.Seen.push_back(data.GetFieldAsVariant(1, data.NewCacheRecBuf()).AsInt32());
    action = script.Seen.size() <= script.Actions.size() ? script.Actions[script.Seen.size() - 1] : urApplied;
  };
}

std::vector<TUpdateRecAction> Results(TMemData& data, int n) {
  std::vector<TUpdateRecAction> out;
  for (int id = 1; id <= n; ++id) {
    data.SetFilterItemTypes(TItemTypes{isUnmodified, isUpdated, isAppended, isDeleted});
    if (Locate(data, id)) out.push_back(data.GetUpdateResult());
  }
  return out;
}

TEST(MemDataCache, ApplyActionSequences) {
  const struct {
    std::vector<TUpdateRecAction> Actions;
    std::vector<int> Seen;
    std::vector<TUpdateRecAction> Results;
  } cases[] = {
      // Three suspended and an applied one: the run takes the last action.
      {{urSuspended, urSuspended, urSuspended, urApplied}, {1, 2, 3, 4}, {urApplied, urApplied, urApplied, urApplied}},
      // A retry after two suspended records restarts at the first of them.
      {{urSuspended, urSuspended, urRetry, urApplied, urApplied, urApplied},
       {1, 2, 3, 1, 2, 3, 4},
       {urApplied, urApplied, urApplied, urApplied}},
      // A retry without a run applies the same record again.
      {{urRetry, urApplied, urSkip, urFail, urApplied}, {1, 1, 2, 3, 4}, {urApplied, urSkip, urFail, urApplied}},
      // Suspended to the end stays suspended.
      {{urApplied, urSkip, urSuspended, urSuspended}, {1, 2, 3, 4}, {urApplied, urSkip, urSuspended, urSuspended}},
  };
  for (const auto& c : cases) {
    auto data = CachedStore(4);
    Edit(*data, 1, "u");
    Append(*data, {Variant(9), Variant("x")});
    Delete(*data, 9);  // never reaches the handler
    Delete(*data, 2);
    Edit(*data, 3, "u");
    Edit(*data, 4, "u");
    TScript script{c.Actions, {}};
    UseScript(*data, script);
    data->ApplyUpdates(TUpdateRecKinds{ukUpdate, ukInsert, ukDelete});
    EXPECT_EQ(script.Seen, c.Seen);
    EXPECT_EQ(Results(*data, 4), c.Results);
  }
}

TEST(MemDataCache, KindsCommitAndFailures) {
  auto data = CachedStore(3);
  Edit(*data, 1, "u");
  Delete(*data, 2);
  Append(*data, {Variant(4), Variant("n4")});
  std::vector<TUpdateRecKind> kinds;
  data->OnApplyRecord = [&](TUpdateRecKind k, TUpdateRecAction& a, bool last) {
    kinds.push_back(k);
    a = urApplied;
    EXPECT_EQ(last, k == ukInsert);
  };
  data->ApplyUpdates(TUpdateRecKinds{ukDelete});
  EXPECT_EQ(kinds, std::vector<TUpdateRecKind>{ukDelete});
  EXPECT_TRUE(data->GetUpdatesPending());

  // A handler error stops the walk on the failing record; commit keeps it.
  kinds.clear();
  data->OnApplyRecord = [&](TUpdateRecKind k, TUpdateRecAction& a, bool) {
    kinds.push_back(k);
    if (k == ukInsert) throw Exception("server said no");
    a = urApplied;
  };
  EXPECT_THROW(data->CommitUpdates(), Exception);
  EXPECT_EQ(data->GetUpdateStatus(), isAppended);
  EXPECT_EQ(data->GetUpdateResult(), urFail);
  data->OnApplyRecord = [](TUpdateRecKind, TUpdateRecAction& a, bool) { a = urFail; };
  data->CommitUpdates();
  EXPECT_EQ(data->CacheCount(), 1) << "only the failed insert is left";
  EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"u", "n3", "n4"}));
  data->SetFilterItemTypes(TItemTypes{isDeleted});
  EXPECT_TRUE(Column(*data, 1).empty()) << "the applied delete is gone for good";
}

TEST(MemDataCache, HandlersThatChangeTheStore) {
  // A handler that writes into the row image: the store keeps it.
  {
    auto data = CachedStore(2);
    Edit(*data, 1, "u");
    data->OnApplyRecord = [&](TUpdateRecKind, TUpdateRecAction& a, bool) {
      data->PutFieldAsVariant(2, data->NewCacheRecBuf(), Variant("from server"));
      a = urApplied;
    };
    data->CommitUpdates();
    EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"from server", "n2"}));
  }
  // A handler that reverts a later change: that entry is skipped.
  {
    auto data = CachedStore(3);
    Edit(*data, 1, "u");
    Edit(*data, 2, "u");
    Edit(*data, 3, "u");
    std::vector<int> seen;
    data->OnApplyRecord = [&](TUpdateRecKind, TUpdateRecAction& a, bool) {
      const int id = data->GetFieldAsVariant(1, data->NewCacheRecBuf()).AsInt32();
      seen.push_back(id);
      if (id == 1) {
        ASSERT_TRUE(Locate(*data, 2));
        data->RevertRecord();
      }
      a = urApplied;
    };
    data->ApplyUpdates(TUpdateRecKinds{ukUpdate});
    EXPECT_EQ(seen, (std::vector<int>{1, 3}));
    EXPECT_EQ(Column(*data, 2), (std::vector<std::string>{"u", "n2", "u"}));
  }
  // A handler that closes the store stops the walk.
  {
    auto data = CachedStore(3);
    Edit(*data, 1, "u");
    Edit(*data, 2, "u");
    int calls = 0;
    data->OnApplyRecord = [&](TUpdateRecKind, TUpdateRecAction& a, bool) {
      ++calls;
      data->Close();
      a = urApplied;
    };
    data->ApplyUpdates(TUpdateRecKinds{ukUpdate});
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(data->Active());
  }
  // A handler that destroys the store: the walk notices and leaves.
  {
    auto data = CachedStore(3);
    Edit(*data, 1, "u");
    Edit(*data, 2, "u");
    int calls = 0;
    TMemData* raw = data.get();
    raw->OnApplyRecord = [&](TUpdateRecKind, TUpdateRecAction& a, bool) {
      ++calls;
      a = urApplied;
      data.reset();
    };
    raw->CommitUpdates();
    EXPECT_EQ(calls, 1);
  }
}

TEST(MemDataBlob, FieldsThroughRecords) {
  auto data = OpenData({{"ID", dtInt32}, {"M", dtMemo}, {"W", dtWideMemo}, {"B", dtBlob}});
  TRecBuf buf = data->AllocRecBuf();
  data->InitRecord(buf.get());
  EXPECT_TRUE(data->GetNull(2, buf.get()));
  try {
    data->GetObject(1, buf.get());
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Field is not BLOB");
  }
  // Written through the record: no longer null, readable in either form.
  data->WriteBlob(2, buf.get(), 0, 5, "h\xC3\xA9llo");
  EXPECT_FALSE(data->GetNull(2, buf.get()));
  EXPECT_EQ(data->GetBlobSize(2, buf.get()), 5);
  EXPECT_EQ(data->GetBlobSize(2, buf.get(), false, true), 8);
  char16_t wide[8] = {};
  EXPECT_EQ(data->ReadBlob(2, buf.get(), 2, 4, wide, false, true), 4);
  EXPECT_EQ(std::u16string(wide, 2), u"\u00e9l");
  data->PutFieldAsVariant(3, buf.get(), Variant(u"wide \u00fc"));
  EXPECT_EQ(data->GetFieldAsVariant(3, buf.get()).AsWideString(), u"wide \u00fc");
  EXPECT_TRUE(data->GetObject(3, buf.get())->IsUnicode());
  data->PutFieldAsVariant(4, buf.get(), Variant::FromBytes(std::string(1000, 'x').data(), 1000));
  EXPECT_EQ(data->GetFieldAsVariant(4, buf.get()).AsBytes().size(), 1000u);
  // A blob whose indicator says null but that holds data is reported (and
  // marked) not null; setting null clears it.
  data->SetNull(4, buf.get(), false);
  data->GetObject(2, buf.get())->Commit();
  data->AppendRecord(buf.get());
  TRecBuf row = data->AllocRecBuf();
  data->GetRecord(row.get());
  data->SetNull(2, row.get(), true);
  EXPECT_EQ(data->GetObject(2, row.get())->Size(), 0);
  EXPECT_TRUE(data->GetNull(2, row.get()));
}

TEST(MemDataBlob, EditsAndCachedUpdates) {
  auto data = OpenData({{"ID", dtInt32}, {"M", dtMemo}});
  for (int i = 1; i <= 2; ++i) Append(*data, {Variant(i), Variant("memo " + std::to_string(i))});
  auto memo = [&](int id) {
    EXPECT_TRUE(Locate(*data, id));
    TRecBuf b = data->AllocRecBuf();
    data->GetRecord(b.get());
    return data->GetFieldAsVariant(2, b.get()).AsString();
  };
  auto edit = [&](int id, const std::string& text, bool post) {
    ASSERT_TRUE(Locate(*data, id));
    TRecBuf b = data->AllocRecBuf();
    data->EditRecord(b.get());
    data->PutFieldAsVariant(2, b.get(), Variant(text));
    if (post)
      data->PostRecord(b.get());
    else
      data->CancelRecord(b.get());
  };
  edit(1, "cancelled", false);
  EXPECT_EQ(memo(1), "memo 1");
  edit(1, "posted", true);
  EXPECT_EQ(memo(1), "posted");

  data->SetCachedUpdates(true);
  ASSERT_TRUE(Locate(*data, 2));
  TRecBuf held = data->AllocRecBuf();
  data->GetRecord(held.get());
  TBlob* blob = data->GetObject(2, held.get());  // what a data set would hold
  edit(2, "changed", true);
  EXPECT_EQ(memo(2), "changed");
  TRecBuf old = data->AllocRecBuf();
  data->GetOldRecord(old.get());
  EXPECT_EQ(data->GetFieldAsVariant(2, old.get()).AsString(), "memo 2");
  data->RevertRecord();
  EXPECT_EQ(memo(2), "memo 2");
  EXPECT_EQ(blob->AsAnsiString(), "memo 2") << "the blob the data set holds shows the old content";
  // A first change that leaves the blob alone, a second one that changes it:
  // the rollback still has the old content.
  ASSERT_TRUE(Locate(*data, 1));
  TRecBuf idOnly = data->AllocRecBuf();
  data->EditRecord(idOnly.get());
  data->PutFieldAsVariant(1, idOnly.get(), Variant(10));
  data->PostRecord(idOnly.get());
  edit(10, "second change", true);
  ASSERT_TRUE(Locate(*data, 10));
  data->RevertRecord();
  EXPECT_EQ(memo(1), "posted");
  edit(2, "again", true);
  ASSERT_TRUE(Locate(*data, 2));
  data->DeleteRecord();
  data->CancelUpdates();
  EXPECT_EQ(memo(2), "memo 2");
  edit(2, "kept", true);
  data->OnApplyRecord = [](TUpdateRecKind, TUpdateRecAction& a, bool) { a = urApplied; };
  data->CommitUpdates();
  EXPECT_EQ(memo(2), "kept");
}

}  // namespace
}  // namespace lumo
