#include <gtest/gtest.h>

#include <lumokit/components/DAMapRules.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>

namespace lumo {
namespace {

class MyDataTypeMapTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterMyDataTypeMap(); }
};

TEST_F(MyDataTypeMapTest, RegistrationAndTypes) {
  const TMyConverterManager* first = &MyConverterManager();
  RegisterMyDataTypeMap();
  EXPECT_EQ(&MyConverterManager(), first);
  InitMyTypes();
  int mysql = 0;
  for (int i = 0; i < DBTypeInfos().Count(); ++i) mysql += GetDBProvider(DBTypeInfos().Items(i).DBType()) == 200;
  EXPECT_EQ(mysql, 29);
  EXPECT_EQ(DBTypeInfos().FindTypeInfo("tinyint unsigned", 200)->DBType(), myTinyintUnsigned);
  EXPECT_EQ(DBTypeInfos().FindTypeInfo(myDecimal)->Name(), "Decimal");
  EXPECT_TRUE(DBTypeInfos().FindTypeInfo(myTimestamp)->Length());
  EXPECT_FALSE(DBTypeInfos().FindTypeInfo(myMediumint)->Length());
  EXPECT_EQ(MyConverterManager().GetDBProvider(), 200);
  EXPECT_EQ(MyConverterManager().FetchConverterCount(), 133);
  EXPECT_EQ(MyConverterManager().OnDemandConverterCount(), 479);
  EXPECT_EQ(&TMyMapRules().GetConverterManager(), first);

  UnregisterMyDataTypeMap();
  EXPECT_THROW(MyConverterManager(), EAssertionFailed);
  RegisterMyDataTypeMap();
  EXPECT_EQ(MyConverterManager().FetchConverterCount(), 133);
}

TEST_F(MyDataTypeMapTest, DatabaseTypeOfAColumn) {
  constexpr std::uint32_t U = 32, B = 128, E = 256, S = 2048;
  struct {
    int SqlType;
    std::int64_t Length;
    int Charset;
    std::uint32_t Flags;
    std::uint16_t Expected;
  } cases[] = {
      {246, 10, 63, 0, myDecimal},     {0, 10, 63, 0, myDecimal},       {1, 4, 63, 0, myTinyint},
      {1, 3, 63, U, myTinyintUnsigned}, {2, 6, 63, U, mySmallintUnsigned}, {3, 11, 63, 0, myInteger},
      {9, 8, 63, U, myMediumintUnsigned}, {8, 20, 63, U, myBigintUnsigned}, {4, 12, 63, 0, myFloat},
      {5, 22, 63, 0, myDouble},        {7, 19, 63, 0, myTimestamp},     {14, 10, 63, 0, myDate},
      {11, 10, 63, 0, myTime},         {12, 19, 63, 0, myDatetime},     {13, 4, 63, 0, myYear},
      {253, 40, 33, 0, myVarchar},     {253, 40, 33, B, myVarchar},     {253, 40, 63, B, myVarbinary},
      {15, 40, 63, B, myVarbinary},    {6, 0, 63, 0, myVarchar},        {16, 1, 63, 0, myBit},
      {247, 3, 33, 0, myEnum},         {248, 3, 33, 0, mySet},          {249, 255, 63, B, myTinyBlob},
      {249, 255, 33, 0, myTinyText},   {252, 255, 63, B, myTinyBlob},   {252, 256, 63, B, myBlob},
      {251, 255, 33, 0, myTinyText},   {250, 65535, 33, 0, myText},     {255, 4294967295, 63, B, myBlob},
      {254, 16, 63, B, myBinary},      {254, 16, 33, B | E, myEnum},    {254, 16, 33, S, mySet},
      {254, 16, 33, 0, myChar},        {99, 1, 63, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TMyConverterManager::GetDBType(c.SqlType, c.Length, c.Charset, c.Flags), c.Expected)
        << c.SqlType << " " << c.Flags;
}

TEST_F(MyDataTypeMapTest, FetchConverters) {
  const TMyConverterManager& m = MyConverterManager();
  auto stored = [&](std::uint16_t db, int len, int scale, std::uint16_t presented) -> int {
    const TFetchConverter* c = m.DetectFetchConverter(db, len, scale, presented);
    return c ? c->InternalDataType() : -1;
  };
  EXPECT_EQ(stored(myBit, 1, -1, dtBoolean), dtUInt16);
  EXPECT_EQ(stored(myBit, 32, -1, dtInt64), dtUInt32);
  EXPECT_EQ(stored(myBit, 40, -1, dtInt16), dtInt64);
  EXPECT_EQ(stored(myTinyint, 1, -1, dtBoolean), dtInt8);
  EXPECT_EQ(stored(myTinyint, 5, -1, dtBoolean), dtInt16);
  EXPECT_EQ(stored(myTinyintUnsigned, 3, -1, dtUInt32), dtUInt8);
  EXPECT_EQ(stored(myTinyintUnsigned, 4, -1, dtBoolean), dtUInt16);
  EXPECT_EQ(stored(myBigint, 5, -1, dtBoolean), -1);
  EXPECT_EQ(stored(myBigintUnsigned, 9, -1, dtInt64), dtInt32);
  EXPECT_EQ(stored(myBigint, 20, -1, dtInt32), dtInt64);
  EXPECT_EQ(stored(myBigintUnsigned, 20, -1, dtFMTBCD), dtFMTBCD);
  EXPECT_EQ(stored(myBigint, 20, -1, dtFMTBCD), -1);
  EXPECT_EQ(stored(myDecimal, 4, 0, dtInt32), dtInt16);
  EXPECT_EQ(stored(myDecimal, 12, 0, dtUInt16), dtInt64);
  EXPECT_EQ(stored(myDecimal, 12, 2, dtInt64), -1);
  EXPECT_EQ(stored(myDecimal, 30, 10, dtBCD), dtBCD);
  EXPECT_EQ(stored(myVarchar, 10, -1, dtBytes), dtString);
  EXPECT_EQ(stored(myChar, 10, -1, dtWideString), dtWideString);
  EXPECT_EQ(stored(myVarbinary, 10, -1, dtWideString), dtWideString);
  EXPECT_EQ(stored(mySet, 10, -1, dtString), dtString);
  EXPECT_EQ(stored(myBlob, 65535, -1, dtString), dtMemo);
  EXPECT_EQ(stored(myTinyText, 255, -1, dtWideString), dtWideMemo);
  EXPECT_EQ(stored(myText, -1, -1, dtGuid), -1);
}

// A rule from text, copied into a MySQL record set's rules, decides how a
// TINYINT(1) column is stored and presented.
TEST_F(MyDataTypeMapTest, TinyintOneAsBoolean) {
  TDAMapRules front;
  front.AddRules("Tinyint(1..1) -> Boolean; Decimal(10..12, 2..4) -> FMTBCD(12,4); Varchar(ANY..255) -> WideString");
  TMyMapRules rules;
  front.WriteTo(rules);

  const TKxMapRule* rule = FindMapRule(&rules, nullptr, "flag", myTinyint, 1, 0);
  ASSERT_NE(rule, nullptr);
  const TFetchConverter* fetch = FindMapFetchConverter(rule, false, myTinyint, 1, 0);
  ASSERT_NE(fetch, nullptr);
  EXPECT_EQ(fetch->InternalDataType(), dtInt8);
  EXPECT_EQ(FindMapRule(&rules, nullptr, "flag", myTinyint, 4, 0), nullptr);

  TFieldMapping m = ResolveFieldMapping(&rules, nullptr, true, "flag", dtInt8, 0, 0, myTinyint, 1, 0);
  ASSERT_NE(m.OnDemandConverter, nullptr);
  std::int8_t byte = 0;
  std::uint16_t word = 1;
  GetMappedFieldData(m, nullptr, dtInt8, 0, 0, &byte, &word, "flag");
  EXPECT_EQ(word, 0);
  byte = -7;
  GetMappedFieldData(m, nullptr, dtInt8, 0, 0, &byte, &word, "flag");
  EXPECT_NE(word, 0);
  word = 0xFFFF;
  PutMappedFieldData(m, nullptr, dtInt8, 0, 0, &word, &byte, "flag");
  EXPECT_EQ(byte, -1);

  EXPECT_NE(FindMapRule(&rules, nullptr, "price", myDecimal, 12, 4), nullptr);
  EXPECT_EQ(FindMapRule(&rules, nullptr, "price", myDecimal, 13, 4), nullptr);
  EXPECT_EQ(FindMapRule(&rules, nullptr, "price", myDecimal, 10, 1), nullptr);
  EXPECT_EQ(FindMapRule(&rules, nullptr, "name", myVarchar, 255, -1)->DataType(), dtWideString);
  EXPECT_EQ(FindMapRule(&rules, nullptr, "name", myVarchar, 256, -1), nullptr);

  try {
    front.AddRule("Varchar(1..10, 0..2) -> String");
    ADD_FAILURE();
  } catch (const EInvalidDBTypeMapping& e) {
    EXPECT_EQ(e.Message(), "Scale cannot be specified for the \"Varchar\" database type");
  }
}

}  // namespace
}  // namespace lumo
