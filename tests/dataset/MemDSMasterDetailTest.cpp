// The local master/detail link of the memory data set: the detail shows
// the rows of the master's current row, follows scrolls at once or after
// the delay on a manual clock, posts before the master moves, gives new
// rows the master's values; and number ranges from field precision.
#include <gtest/gtest.h>

#include <climits>

#include "support/ManualClock.h"
#include "dataset/MemDSTestUtil.h"
#include "dataset/VectorDataSet.h"

namespace lumo::test {
namespace {

class MasterDetail : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 1; i <= 3; ++i) master.AddRow({i, "m" + std::to_string(i)});
    const int links[][2] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 2}};
    for (const auto& l : links) detail.AddRow({l[0], l[1]});
    detail.SetMasterSource(&source);
    detail.SetMasterFields("ID");
    detail.SetDetailFields("MASTER");
    master.Open();
    detail.Open();
  }

  TTestDataSet master{{{"ID", dtInt32}, {"NAME", dtString, 10}}};
  TTestDataSet detail{{{"NO", dtInt32}, {"MASTER", dtInt32}}};
  TDataSource source{&master};
};

TEST_F(MasterDetail, DetailShowsTheRowsOfTheMastersRow) {
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"1", "2"}));
  master.Next();
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"3", "4", "5"}));
  master.Next();
  EXPECT_TRUE(detail.IsEmpty());
  master.Close();
  EXPECT_EQ(detail.RecordCount(), 5);  // without a master row nothing is filtered
}

TEST_F(MasterDetail, DelayedRefreshWaitsForTheClock) {
  TManualClock clock;
  detail.SetDetailDelay(50);
  int refreshes = 0;
  detail.AfterScroll = [&](TDataSet&) { ++refreshes; };
  master.Next();
  master.Next();
  master.Prior();  // three scrolls within the delay
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"1", "2"}));
  refreshes = 0;
  clock.Advance(49);
  EXPECT_EQ(refreshes, 0);
  clock.Advance(1);
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"3", "4", "5"}));
  EXPECT_EQ(clock.ArmedTimers(), 0);
}

TEST_F(MasterDetail, EmptyMasterShowsNoDetailRows) {
  TTestDataSet empty({{"ID", dtInt32}});
  empty.Open();
  source.SetDataSet(&empty);
  EXPECT_TRUE(detail.IsEmpty());
  RefreshParamsOnInsert = true;
  empty.Close();
  empty.Open();
  EXPECT_EQ(detail.RecordCount(), 5);
  RefreshParamsOnInsert = false;
}

TEST_F(MasterDetail, NewDetailRowsTakeTheMasterValues) {
  master.Next();
  detail.Append();
  EXPECT_EQ(detail.FieldByName("MASTER").AsInteger(), 2);
  detail.FieldByName("NO").SetAsInteger(6);
  detail.Post();
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"3", "4", "5", "6"}));
}

TEST_F(MasterDetail, DetailEditIsPostedBeforeTheMasterMoves) {
  detail.Edit();
  detail.FieldByName("NO").SetAsInteger(11);
  master.Next();
  EXPECT_EQ(detail.State(), dsBrowse);
  master.First();
  EXPECT_EQ(detail.Column("NO"), (std::vector<std::string>{"11", "2"}));
}

TEST_F(MasterDetail, LinksMustNotLoopAndMasterMustBeAMemoryDataSet) {
  TDataSource detailSource(&detail);
  try {
    master.SetMasterSource(&detailSource);
    FAIL() << "linked";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  TVectorDataSet other({{"ID", ftInteger}});
  other.Open();
  other.AppendRecord({1});
  try {
    source.SetDataSet(&other);
    FAIL() << "followed";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Master dataset must be inherited from TMemDataSet");
  }
}

TEST(NumberRange, RangesFromPrecisionStayWithinTheType) {
  TTestDataSet ds({{"SI", dtInt16, 3}, {"I", dtInt32, 11}, {"L", dtInt64, 20}, {"F", dtFloat, 5}});
  ds.Data().Fields()[3]->SetScale(2);
  ds.SetNumberRange(true);
  ds.Open();
  auto& si = static_cast<TIntegerField&>(ds.FieldByName("SI"));
  auto& i = static_cast<TIntegerField&>(ds.FieldByName("I"));
  auto& l = static_cast<TLargeintField&>(ds.FieldByName("L"));
  auto& f = static_cast<TFloatField&>(ds.FieldByName("F"));
  EXPECT_EQ(si.MaxValue(), 999);
  EXPECT_EQ(si.MinValue(), -999);
  EXPECT_EQ(i.MaxValue(), INT32_MAX);  // 10^11 - 1 does not fit: the type's limits
  EXPECT_EQ(i.MinValue(), INT32_MIN);
  EXPECT_EQ(l.MaxValue(), INT64_MAX);
  EXPECT_DOUBLE_EQ(f.MaxValue(), 999.99);
  ds.Append();
  EXPECT_THROW(si.SetAsInteger(1000), EDatabaseError);
  i.SetAsInteger(INT32_MAX);
  EXPECT_EQ(i.AsInteger(), INT32_MAX);
  EXPECT_THROW(f.SetAsFloat(1000), EDatabaseError);
  ds.Cancel();
}

}  // namespace
}  // namespace lumo::test
