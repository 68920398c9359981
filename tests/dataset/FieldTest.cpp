// The typed fields over the vector cursor: native forms round-trip through
// every accessor, limits hold (never a wrapped value or a split character),
// validation sees the new value, and calculated fields follow their row.
#include <gtest/gtest.h>

#include <lumokit/core/DateTimeUtils.h>
#include "dataset/VectorDataSet.h"

namespace lumo::test {
namespace {

class FieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds = std::make_unique<TVectorDataSet>(std::vector<TVectorDataSet::TColumn>{
        {"SI", ftSmallint},  {"W", ftWord},      {"I", ftInteger},     {"L", ftLargeint},   {"F", ftFloat},
        {"SG", ftSingle},    {"B", ftBCD, 4},    {"FB", ftFMTBcd, 2},  {"BO", ftBoolean},   {"D", ftDate},
        {"T", ftTime},       {"DT", ftDateTime}, {"TS", ftTimeStamp},  {"S", ftString, 5},  {"WS", ftWideString, 4},
        {"G", ftGuid, 38},   {"BY", ftBytes, 3}, {"VB", ftVarBytes, 4}});
    ds->Open();
    ds->Append();
  }
  TField& F(const char* name) { return ds->FieldByName(name); }
  std::string ErrorOf(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  }
  std::unique_ptr<TVectorDataSet> ds;
};

TEST_F(FieldTest, IntegersNeverWrapAndHonourTheirLimits) {
  EXPECT_EQ(ErrorOf([&] { F("SI").SetAsInteger(40000); }),
            "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767");
  EXPECT_TRUE(F("SI").IsNull());
  EXPECT_EQ(ErrorOf([&] { F("W").SetAsInteger(-1); }),
            "-1 is not a valid value for field 'W'. The allowed range is 0 to 65535");
  F("W").SetAsInteger(65535);
  EXPECT_EQ(F("W").AsInteger(), 65535);
  EXPECT_EQ(F("W").Value().VarType(), varWord);

  auto& i = static_cast<TIntegerField&>(F("I"));
  i.SetMaxValue(9999999999LL);  // more than the type holds: clamped
  EXPECT_EQ(i.MaxValue(), 2147483647);
  i.SetMinValue(0);
  i.SetMaxValue(10);
  EXPECT_EQ(ErrorOf([&] { i.SetAsInteger(11); }),
            "11 is not a valid value for field 'I'. The allowed range is 0 to 10");
  i.SetAsFloat(2.5);  // rounded half away from zero
  EXPECT_EQ(i.AsInteger(), 3);
  i.SetAsString(" ");
  EXPECT_TRUE(i.IsNull());
  EXPECT_EQ(i.AsString(), "");
  EXPECT_EQ(i.AsInteger(), 0);
  EXPECT_TRUE(i.Value().IsNull());

  F("L").SetAsString("-9223372036854775808");
  EXPECT_EQ(F("L").AsLargeInt(), INT64_MIN);
  EXPECT_THROW(F("L").AsInteger(), EVariantOverflowError);
}

TEST_F(FieldTest, TextIsCutAtCharacterBoundaries) {
  F("S").SetAsString("abcd\xC3\xA9xyz");  // the 2-byte é would straddle the fifth byte
  EXPECT_EQ(F("S").AsString(), "abcd");
  F("S").SetAsString("");
  EXPECT_FALSE(F("S").IsNull());
  F("WS").SetAsWideString(u"abc\U0001F600");  // a surrogate pair at units 4 and 5
  EXPECT_EQ(F("WS").AsWideString(), u"abc");
  F("WS").SetAsString("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(F("WS").AsWideString(), u"\u00e9t\u00e9");
  EXPECT_EQ(F("WS").AsString(), "\xC3\xA9t\xC3\xA9");
}

TEST_F(FieldTest, NumbersConvertBetweenForms) {
  F("F").SetAsString("1.5");
  EXPECT_DOUBLE_EQ(F("F").AsFloat(), 1.5);
  EXPECT_EQ(F("F").AsInteger(), 2);
  EXPECT_EQ(F("F").AsCurrency(), Currency::FromScaled(15000));
  F("SG").SetAsFloat(0.1);
  EXPECT_EQ(F("SG").AsString(), "0.1");
  EXPECT_THROW(F("SG").SetAsFloat(1e300), EDatabaseError);
  F("B").SetAsString("12.3456");
  EXPECT_EQ(F("B").AsCurrency(), Currency::FromScaled(123456));
  EXPECT_EQ(F("B").AsString(), "12.3456");
  F("FB").SetAsString("123456789012345678.25");
  EXPECT_EQ(F("FB").AsString(), "123456789012345678.25");
  EXPECT_EQ(F("FB").Value().VarType(), varFMTBcd);
}

TEST_F(FieldTest, BooleansDatesAndGuids) {
  auto& bo = static_cast<TBooleanField&>(F("BO"));
  bo.SetDisplayValues("Yes;No");
  bo.SetAsString("no");
  EXPECT_FALSE(bo.AsBoolean());
  EXPECT_EQ(bo.AsString(), "No");
  bo.SetAsString("True");  // the process-wide texts are accepted too
  EXPECT_EQ(bo.AsString(), "Yes");
  EXPECT_THROW(bo.SetAsString("perhaps"), EConvertError);

  const TDateTime when = EncodeDateTime(2024, 2, 29, 13, 45, 10, 250);
  F("D").SetAsDateTime(when);
  F("T").SetAsDateTime(when);
  F("DT").SetAsDateTime(when);
  F("TS").SetAsDateTime(when);
  EXPECT_DOUBLE_EQ(F("D").AsDateTime(), EncodeDate(2024, 2, 29));
  EXPECT_NEAR(F("T").AsDateTime(), EncodeTime(13, 45, 10, 250), 1e-9);
  EXPECT_NEAR(F("DT").AsDateTime(), when, 1e-9);
  EXPECT_EQ(F("D").AsString(), "2024-02-29");
  EXPECT_EQ(F("T").AsString(), "13:45:10");
  EXPECT_EQ(F("TS").AsSQLTimeStamp().Hour, 13);
  F("DT").SetAsString("2001-02-03 04:05:06");
  EXPECT_EQ(F("DT").AsString(), "2001-02-03 04:05:06");

  // Date-times keep microseconds through text and variants; a time holds a
  // signed span and shows it as it is.
  F("DT").SetAsString("9999-12-31 23:59:59.999999");
  const Variant last = F("DT").Value();
  EXPECT_EQ(MicrosToISO(last.AsDateMicros()), "9999-12-31 23:59:59.999999");
  F("DT").SetAsDateTime(0);
  F("DT").SetValue(last);
  EXPECT_EQ(F("DT").Value().AsDateMicros(), last.AsDateMicros());
  F("T").SetAsString("-26:00:00.25");
  EXPECT_EQ(F("T").AsString(), "-26:00:00.25");
  EXPECT_EQ(F("T").Value().AsDateMicros(), -(26 * 3600 * USecsPerSec + 250000));
  F("T").SetValue(Variant::FromDateMicros(MaxTimeSpanMicros));
  EXPECT_EQ(F("T").AsString(), "838:59:59.999999");
  F("T").SetAsDateTime(-1.5 / 24);
  EXPECT_EQ(F("T").AsString(), "-01:30:00");

  F("G").SetAsString("{6f9619ff-8b86-d011-b42d-00c04fc964ff}");
  EXPECT_EQ(F("G").AsString(), "{6F9619FF-8B86-D011-B42D-00C04FC964FF}");
  EXPECT_THROW(F("G").SetAsString("not a guid"), EConvertError);
}

TEST_F(FieldTest, BinaryValuesAreNeverCut) {
  F("BY").SetAsBytes({1, 2});
  EXPECT_EQ(F("BY").AsBytes(), (std::vector<std::uint8_t>{1, 2, 0}));
  EXPECT_EQ(ErrorOf([&] { F("BY").SetAsBytes({1, 2, 3, 4}); }), "Value is too long for field 'BY'");
  F("VB").SetAsBytes({9, 8, 7});
  EXPECT_EQ(F("VB").AsBytes(), (std::vector<std::uint8_t>{9, 8, 7}));
  EXPECT_EQ(F("VB").Value(), Variant::FromBytes(std::vector<std::uint8_t>{9, 8, 7}));
}

TEST_F(FieldTest, ValidationSeesTheNewValueAndCanRefuseIt) {
  F("I").SetAsInteger(1);
  std::vector<int> seen;
  F("I").OnValidate = [&](TField& f) {
    seen.push_back(f.AsInteger());
    if (f.AsInteger() < 0) throw EDatabaseError("negative");
  };
  F("I").SetAsInteger(5);
  EXPECT_THROW(F("I").SetAsInteger(-3), EDatabaseError);
  EXPECT_EQ(seen, (std::vector<int>{5, -3}));
  EXPECT_EQ(F("I").AsInteger(), 5);
}

TEST(CalculatedField, FollowsItsRowAndFieldChanges) {
  TVectorDataSet ds({{"ID", ftInteger}});
  ds.AddField<TIntegerField>("ID");
  auto& twice = ds.AddField<TIntegerField>("TWICE", fkCalculated);
  int calcs = 0;
  ds.OnCalcFields = [&](TDataSet& d) {
    ++calcs;
    EXPECT_EQ(d.State(), dsCalcFields);
    if (!d.FieldByName("ID").IsNull()) twice.SetAsInteger(d.FieldByName("ID").AsInteger() * 2);
  };
  ds.Open();
  ds.AppendRecord({3});
  ds.AppendRecord({4});
  ds.First();
  EXPECT_EQ(twice.AsInteger(), 6);
  ds.Next();
  EXPECT_EQ(twice.AsInteger(), 8);
  ds.Edit();
  calcs = 0;
  ds.FieldByName("ID").SetAsInteger(10);
  EXPECT_EQ(calcs, 1);
  EXPECT_EQ(twice.AsInteger(), 20);
  ds.Cancel();
  EXPECT_EQ(twice.AsInteger(), 8);
}

TEST(FieldBinding, PersistentFieldOfAnotherTypeIsRefused) {
  TVectorDataSet ds({{"ID", ftInteger}});
  ds.AddField<TStringField>("ID");
  try {
    ds.Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Type mismatch for field 'ID', expecting: String actual: Integer");
  }
  EXPECT_FALSE(ds.Active());
}

TEST(FieldBinding, EveryFieldTypeHasItsClassOrAClearRefusal) {
  for (int t = 0; t < FieldTypeCount; ++t) {
    const auto type = static_cast<TFieldType>(t);
    const bool unsupported = type == ftUnknown || type == ftConnection || type == ftParams || type == ftStream ||
                             type == ftTimeStampOffset;
    if (unsupported) {
      EXPECT_THROW(DefaultFieldClass(type), EDatabaseError) << FieldTypeName(type);
    } else {
      auto f = DefaultFieldClass(type);
      EXPECT_EQ(f->DataType(), type) << FieldTypeName(type);
    }
  }
}

}  // namespace
}  // namespace lumo::test
