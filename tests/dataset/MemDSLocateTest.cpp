// Searching, filtering and sorting in the memory data set: Locate bisects
// the local index (counted in value comparisons) and finds the first
// duplicate in search order, partial and nearest searches scan, filters by
// expression and by event, Lookup and lookup fields.
#include <gtest/gtest.h>

#include <random>

#include "dataset/MemDSTestUtil.h"

namespace lumo::test {
namespace {

constexpr int kRows = 1024;

// IDs 0 … 511, each twice, in random order; NAME tells the copies apart
// ("a<id>" added first, "b<id>" second).
std::unique_ptr<TTestDataSet> Pairs() {
  auto ds = std::make_unique<TTestDataSet>(std::vector<TFieldSpec>{{"ID", dtInt32}, {"NAME", dtString, 10}});
  std::vector<int> ids;
  for (int i = 0; i < kRows / 2; ++i) ids.push_back(i);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
  for (int id : ids) ds->AddRow({id, "a" + std::to_string(id)});
  for (int id : ids) ds->AddRow({id, "b" + std::to_string(id)});
  ds->Open();
  return ds;
}

TEST(MemDSLocate, BisectsTheIndexAndFindsTheFirstDuplicate) {
  auto ds = Pairs();
  ds->SetIndexFieldNames("ID");
  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->Locate("ID", 300, {}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "a300");
  EXPECT_EQ(ds->RecNo(), 601);
  // One row per halving, the duplicates included: 11 for 1024 rows.
  EXPECT_LE(ds->Store().Compares, 11);

  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->LocateEx("ID", 300, TLocateExOptions{lxUp}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b300");
  EXPECT_LE(ds->Store().Compares, 11);

  ASSERT_TRUE(ds->Locate("ID", 0, {}));
  EXPECT_EQ(ds->RecNo(), 1);
  ASSERT_TRUE(ds->LocateEx("ID", 511, TLocateExOptions{lxUp}));
  EXPECT_EQ(ds->RecNo(), kRows);
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b511");

  ds->SetRecNo(10);
  EXPECT_FALSE(ds->Locate("ID", 5000, {}));
  EXPECT_FALSE(ds->Locate("ID", -1, {}));
  EXPECT_EQ(ds->RecNo(), 10);  // a failed search keeps the position
}

TEST(MemDSLocate, LongRunsOfDuplicatesAreBisectedToo) {
  TTestDataSet ds({{"ID", dtInt32}, {"NAME", dtString, 10}});
  for (int i = 0; i < kRows; ++i) ds.AddRow({i % 2 + 1, "n" + std::to_string(i)});
  ds.Open();
  ds.SetIndexFieldNames("ID");
  ds.Store().Compares = 0;
  ASSERT_TRUE(ds.Locate("ID", 2, {}));
  EXPECT_EQ(ds.RecNo(), kRows / 2 + 1);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "n1");
  EXPECT_LE(ds.Store().Compares, 11);
  ds.Store().Compares = 0;
  ASSERT_TRUE(ds.LocateEx("ID", 1, TLocateExOptions{lxUp}));
  EXPECT_EQ(ds.RecNo(), kRows / 2);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "n" + std::to_string(kRows - 2));
  EXPECT_LE(ds.Store().Compares, 11);
}

TEST(MemDSLocate, NextContinuesAfterTheCurrentRow) {
  auto ds = Pairs();
  ds->SetIndexFieldNames("ID");
  ASSERT_TRUE(ds->Locate("ID", 42, {}));
  ASSERT_TRUE(ds->LocateEx("ID", 42, TLocateExOptions{lxNext}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b42");
  EXPECT_FALSE(ds->LocateEx("ID", 42, TLocateExOptions{lxNext}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b42");
}

TEST(MemDSLocate, PartialKeyAndNearestNeverBisect) {
  auto ds = Pairs();
  ds->SetIndexFieldNames("NAME");
  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->LocateEx("NAME", "b49", TLocateExOptions{lxPartialKey}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b49");
  EXPECT_GT(ds->Store().Compares, kRows / 2);  // a row-by-row scan

  ds->SetIndexFieldNames("ID");
  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->LocateEx("ID", 250.5, TLocateExOptions{lxNearest}));
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), 251);
  EXPECT_GT(ds->Store().Compares, 100);

  // A fractional key is not rounded onto a stored value.
  EXPECT_FALSE(ds->Locate("ID", 250.5, {}));
}

TEST(MemDSLocate, SeveralKeysAndUnsortedData) {
  auto ds = Pairs();
  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->Locate("ID;NAME", Variant::FromArray({77, "B77"}), TLocateOptions{loCaseInsensitive}));
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b77");
  EXPECT_FALSE(ds->Locate("ID;NAME", Variant::FromArray({77, "B77"}), {}));
  EXPECT_GT(ds->Store().Compares, kRows / 2);

  ds->SetIndexFieldNames("ID");
  ds->Store().Compares = 0;
  ASSERT_TRUE(ds->Locate("NAME;ID", Variant::FromArray({"b77", 77}), {}));  // the index key goes first
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "b77");
  EXPECT_LE(ds->Store().Compares, 24);
  EXPECT_TRUE(ds->Locate("ID;UNKNOWN", Variant::FromArray({3, 4}), {}));  // unknown names are dropped
}

TEST(MemDSLocate, NullKeysMatchOnlyNulls) {
  TTestDataSet ds({{"ID", dtInt32}, {"CODE", dtInt32}});
  ds.AddRow({1, 5});
  ds.AddRow({2, Variant()});
  ds.AddRow({3, 7});
  ds.Open();
  ASSERT_TRUE(ds.Locate("CODE", Variant::Null(), {}));
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 2);
  ds.SetIndexFieldNames("CODE");
  ASSERT_TRUE(ds.Locate("CODE", Variant::Null(), {}));
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 2);
  ASSERT_TRUE(ds.Locate("CODE", 7, {}));
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3);
}

TEST(MemDSLocate, LookupReadsWithoutMoving) {
  auto ds = Pairs();
  ds->SetRecNo(3);
  const int id = ds->FieldByName("ID").AsInteger();
  EXPECT_EQ(ds->Lookup("NAME", "b9", "ID"), Variant(9));
  EXPECT_TRUE(ds->Lookup("NAME", "zz", "ID").IsNull());
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_EQ(ds->FieldByName("ID").AsInteger(), id);

  // A lookup field in another data set reads through Lookup.
  TTestDataSet orders({{"NO", dtInt32}, {"PERSON", dtString, 10}});
  orders.AddRow({1, "a5"});
  orders.AddRow({2, "b6"});
  orders.AddRow({3, "nobody"});
  orders.AddField<TIntegerField>("NO");
  orders.AddField<TStringField>("PERSON");
  auto& person = orders.AddField<TIntegerField>("PERSON_ID", fkLookup);
  person.SetLookupDataSet(ds.get());
  person.SetKeyFields("PERSON");
  person.SetLookupKeyFields("NAME");
  person.SetLookupResultField("ID");
  orders.Open();
  EXPECT_EQ(orders.Column("PERSON_ID"), (std::vector<std::string>{"5", "6", "null"}));
  EXPECT_EQ(ds->RecNo(), 3);
}

TEST(MemDSFilter, ExpressionAndEventFilterRows) {
  auto ds = Pairs();
  ds->SetIndexFieldNames("ID");
  ds->SetFilter("ID < 3");
  EXPECT_EQ(ds->RecordCount(), kRows);  // not yet filtered
  ds->SetFiltered(true);
  EXPECT_EQ(ds->Column("NAME"), (std::vector<std::string>{"a0", "b0", "a1", "b1", "a2", "b2"}));
  ds->SetFilter("ID = 1 or NAME = 'B2'");
  EXPECT_EQ(ds->Column("NAME"), (std::vector<std::string>{"a1", "b1"}));
  ds->SetFilterOptions(TFilterOptions{foCaseInsensitive});
  EXPECT_EQ(ds->Column("NAME"), (std::vector<std::string>{"a1", "b1", "b2"}));

  ds->SetFilter("");
  int calls = 0;
  ds->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    ++calls;
    EXPECT_EQ(d.State(), dsFilter);
    accept = d.FieldByName("NAME").AsString()[0] == 'b' && d.FieldByName("ID").AsInteger() >= 510;
  });
  EXPECT_EQ(ds->Column("NAME"), (std::vector<std::string>{"b510", "b511"}));
  EXPECT_GT(calls, 0);
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), kRows);
}

TEST(MemDSFilter, FailingFilterHandlerIsReportedAndTheRowKept) {
  TTestDataSet ds({{"ID", dtInt32}});
  for (int i = 1; i <= 3; ++i) ds.AddRow({i});
  ds.Open();
  std::vector<std::string> reported;
  SetHandleExceptionHook([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      reported.push_back(x.what());
    }
  });
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) {
    accept = d.FieldByName("ID").AsInteger() != 3;
    if (d.FieldByName("ID").AsInteger() == 2) throw EDatabaseError("bad row");
  });
  ds.SetFiltered(true);
  SetHandleExceptionHook(nullptr);
  EXPECT_EQ(ds.Column("ID"), (std::vector<std::string>{"1", "2"}));
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(reported[0], "bad row");
}

// A store that lays out its own fields (one integer ID), so that the data
// set's calculated fields become store fields too.
class TSelfDescribingStore : public TMemData {
 public:
  void InternalInitFields() override {
    std::unique_ptr<TFieldDesc> d = GetFieldDescType();
    d->SetName("ID");
    d->SetDataType(dtInt32);
    d->SetSize(FieldTypeMinSize(dtInt32, 0));
    Fields().Add(std::move(d));
  }
};

class TSelfDescribingDataSet : public TMemDataSet {
 public:
  ~TSelfDescribingDataSet() override {
    Destroying();
    Close();
  }

 protected:
  void CreateIRecordSet() override { SetIRecordSet(std::make_unique<TSelfDescribingStore>()); }
};

TEST(MemDSFilter, ExpressionOverACalculatedFieldCalculatesEachRow) {
  TSelfDescribingDataSet ds;
  ds.AddField<TIntegerField>("ID");
  auto& twice = ds.AddField<TIntegerField>("TWICE", fkCalculated);
  int calculations = 0;
  ds.OnCalcFields = [&](TDataSet& d) {
    ++calculations;
    if (d.FieldByName("ID").AsInteger() != 2) twice.SetAsInteger(2 * d.FieldByName("ID").AsInteger());
  };
  ds.Data().InitFields();
  ds.Open();
  for (int i = 1; i <= 5; ++i) ds.AppendRecord({i});
  calculations = 0;
  ds.SetFilter("TWICE > 4 or TWICE is null");
  ds.SetFiltered(true);
  EXPECT_GE(calculations, 5);  // the filter saw every row calculated
  std::vector<std::pair<int, Variant>> rows;
  for (ds.First(); !ds.Eof(); ds.Next()) rows.emplace_back(ds.FieldByName("ID").AsInteger(), twice.Value());
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].first, 2);
  EXPECT_TRUE(rows[0].second.IsNull());  // nothing left from the row calculated before it
  EXPECT_EQ(rows[1].first, 3);
  EXPECT_EQ(rows[3].second.AsInt32(), 10);
}

TEST(MemDSSort, AnIndexOnACalculatedFieldOrdersTheRowsWhenTheDataSetOpens) {
  TSelfDescribingDataSet ds;
  ds.AddField<TIntegerField>("ID");
  auto& key = ds.AddField<TIntegerField>("KEY", fkCalculated);
  ds.OnCalcFields = [&](TDataSet& d) {
    if (!d.FieldByName("ID").IsNull()) key.SetAsInteger(10 - d.FieldByName("ID").AsInteger());
  };
  ds.Data().InitFields();
  ds.Data().Open();
  for (int i = 1; i <= 4; ++i) Append(ds.Data(), {i});
  ds.SetIndexFieldNames("KEY");
  ds.Open();
  std::vector<int> ids;
  for (ds.First(); !ds.Eof(); ds.Next()) ids.push_back(ds.FieldByName("ID").AsInteger());
  EXPECT_EQ(ids, (std::vector<int>{4, 3, 2, 1}));
}

TEST(MemDSFilter, FindRecordFiltersOnlyWhileSearching) {
  TTestDataSet ds({{"ID", dtInt32}});
  for (int i = 1; i <= 6; ++i) ds.AddRow({i});
  ds.Open();
  ds.SetFilter("ID > 2 and ID < 6");
  ASSERT_TRUE(ds.FindFirst());
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3);
  ASSERT_TRUE(ds.FindNext());
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 4);
  ASSERT_TRUE(ds.FindLast());
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 5);
  EXPECT_FALSE(ds.FindNext());
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 5);  // a failed search keeps the row
  EXPECT_EQ(ds.RecordCount(), 6);  // the data set itself is not filtered
}

TEST(MemDSSort, IndexFieldNamesOrdersRowsAndInsertsKeepTheOrder) {
  auto ds = Pairs();
  ds->SetIndexFieldNames("ID DESC; NAME");
  ds->First();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "a511");
  ds->Insert();
  ds->FieldByName("ID").SetAsInteger(600);
  ds->FieldByName("NAME").SetAsString("new");
  ds->Post();
  ds->First();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "new");
  EXPECT_THROW(ds->SetIndexFieldNames("NOPE"), Exception);
}

}  // namespace
}  // namespace lumo::test
