#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <lumokit/components/DAMapRules.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/KxDataTypeMap.h>
#include <lumokit/data/MemData.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {
namespace {

// A provider of its own (900) so that these tests need no real one.
constexpr std::uint16_t tpChar = 901, tpDecimal = 902, tpInt = 903;

class DataTypeMapTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!DBTypeInfos().FindTypeInfo(tpChar)) {
      DBTypeInfos().Add(tpChar, "TestChar", true, false);
      DBTypeInfos().Add(tpDecimal, "Test Decimal", true, true);
      DBTypeInfos().Add(tpInt, "TestInt", false, false);
    }
  }
};

// Rules that convert through a manager given by the test.
class TTestRules : public TKxMapRules {
 public:
  explicit TTestRules(const TConverterManager& manager) : FManager(manager) {}
  const TConverterManager& GetConverterManager() const override { return FManager; }

 private:
  const TConverterManager& FManager;
};

// Front rules that count their changes.
class TCountingRules : public TDAMapRules {
 public:
  void DoRulesChanged() override { ++Changes; }
  int Changes = 0;
};

std::string Describe(const TDAMapRule& r) {
  return r.FieldName() + "|" + std::to_string(r.DBType()) + "|" + std::to_string(r.DBLengthMin()) + ".." +
         std::to_string(r.DBLengthMax()) + "|" + std::to_string(r.DBScaleMin()) + ".." +
         std::to_string(r.DBScaleMax()) + "|" + std::to_string(r.FieldType()) + "(" +
         std::to_string(r.FieldLength()) + "," + std::to_string(r.FieldScale()) + ")" +
         (r.IgnoreErrors() ? "|ignore" : "");
}

// The rule parsed from `text`, or the exception's class letter and message
// (R rule text, D database side, F field side).
std::string Parse(const std::string& text) {
  TDAMapRules rules;
  try {
    rules.AddRule(text);
  } catch (const EInvalidMapRuleExpression& e) {
    return "R:" + e.Message();
  } catch (const EInvalidDBTypeMapping& e) {
    return "D:" + e.Message();
  } catch (const EInvalidFieldTypeMapping& e) {
    return "F:" + e.Message();
  }
  EXPECT_EQ(rules.Count(), 1);
  return Describe(rules.Items(0));
}

TEST_F(DataTypeMapTest, DatabaseTypeRegistry) {
  const TDBTypeInfos& infos = DBTypeInfos();
  EXPECT_EQ(infos.FindTypeInfo(tpDecimal)->Name(), "Test Decimal");
  EXPECT_EQ(infos.FindTypeInfo("  test decimal ", 0)->DBType(), tpDecimal);
  EXPECT_EQ(infos.FindTypeInfo("TESTINT", 900)->DBType(), tpInt);
  EXPECT_EQ(infos.FindTypeInfo("TestInt", 200), nullptr);
  EXPECT_EQ(infos.FindTypeInfo(999), nullptr);
  EXPECT_EQ(GetDBProvider(tpInt), 900);

  struct {
    std::uint16_t Type;
    int LMin, LMax, SMin, SMax;
    bool Required;
    const char* Error;
  } cases[] = {
      {0, -1, -1, -1, -1, true, "Database type is not defined"},
      {0, 5, -1, -1, -1, false, ""},
      {998, -1, -1, -1, -1, false, "Unsupported database type: 998"},
      {tpInt, -1, 5, -1, -1, false, "Length cannot be specified for the \"TestInt\" database type"},
      {tpChar, 1, 5, 0, -1, false, "Scale cannot be specified for the \"TestChar\" database type"},
      {tpDecimal, 1, 5, 0, 2, true, ""},
  };
  for (const auto& c : cases) {
    std::string error;
    try {
      infos.Validate(c.Type, c.LMin, c.LMax, c.SMin, c.SMax, c.Required);
    } catch (const EInvalidDBTypeMapping& e) {
      error = e.Message();
    }
    EXPECT_EQ(error, c.Error);
  }
  TFieldTypeInfos const& fields = DataTypeFieldTypeInfos();
  EXPECT_EQ(fields.Count(), 24);
  EXPECT_EQ(fields.FindTypeInfo(" timestamp ")->FieldType(), dtSQLTimeStamp);
  EXPECT_THROW(fields.Validate(dtBytes, 5, 1), EInvalidFieldTypeMapping);
  EXPECT_NO_THROW(fields.Validate(dtBCD, 10, 2));
}

TEST_F(DataTypeMapTest, RuleTextGrammarAndMessages) {
  struct {
    const char* Text;
    const char* Expected;
  } cases[] = {
      {"TestChar(1..50) -> String(50)", "|901|1..50|-1..-1|1(50,-1)"},
      {"[Price] -> FMTBCD(18,4), IgnoreErrors", "Price|0|-1..-1|-1..-1|28(18,4)|ignore"},
      {"Test Decimal(10..12, 2..4) -> FMTBCD(12,4)", "|902|10..12|2..4|28(12,4)"},
      {"testchar(ANY..255)->string", "|901|-1..255|-1..-1|1(-1,-1)"},
      {"  [ My Col ]  -  >  Largeint , ignoreerrors ;  ", "My Col|0|-1..-1|-1..-1|11(-1,-1)|ignore"},
      {"TestChar /*c*/ -> Guid", "|901|-1..-1|-1..-1|29(-1,-1)"},
      {"Test /*x*/  decimal(1..2) -> BCD(4, 2)", "|902|1..2|-1..-1|27(4,2)"},
      {"", "R:Unexpected end of data type map rule expression"},
      {";", "R:Unexpected end of data type map rule expression"},
      {"TestChar", "R:Unexpected end of data type map rule expression"},
      {"TestChar(1..5", "R:Unexpected end of data type map rule expression"},
      {"TestChar(1..5) ->", "R:Unexpected end of data type map rule expression"},
      {"TestChar(1..5) -> ;", "R:Unexpected end of data type map rule expression"},
      {"[Price -> Integer", "R:Unexpected end of data type map rule expression"},
      {"TestChar -> String(5", "R:Unexpected end of data type map rule expression"},
      {"TestChar -> String,", "R:Unexpected end of data type map rule expression"},
      {"TestChar(1..5] -> String", "R:Expected \")\" instead of \"]\" in data type map rule expression"},
      {"TestChar(1..x) -> String", "R:Expected \"Integer value\" instead of \"x\" in data type map rule expression"},
      {"TestChar(1.5..6) -> String",
       "R:Expected \"Integer value\" instead of \"1.5\" in data type map rule expression"},
      {"TestChar(1,5) -> String", "R:Expected \".\" instead of \",\" in data type map rule expression"},
      {"TestChar(1..5) String", "R:Expected \"-\" instead of \"String\" in data type map rule expression"},
      {"TestChar -< String", "R:Expected \">\" instead of \"<\" in data type map rule expression"},
      {"TestChar -> String, Ignore", "R:Expected \"IgnoreErrors\" instead of \"Ignore\" in data type map rule expression"},
      {"TestChar -> String(5) x", "R:Expected \"End of Rule\" instead of \"x\" in data type map rule expression"},
      {"TestChar -> String; TestInt -> Integer",
       "R:Expected \"End of Rule\" instead of \"TestInt\" in data type map rule expression"},
      {"Nope -> String", "D:Unsupported database type: Nope"},
      {"TestChar -> Strong", "F:Unsupported field type: Strong"},
      {"-> String", "D:Database type is not defined"},
      {"TestInt(1..2) -> Integer", "D:Length cannot be specified for the \"TestInt\" database type"},
      {"TestChar(1..10, 0..2) -> String", "D:Scale cannot be specified for the \"TestChar\" database type"},
      {"TestChar -> Integer(5)", "F:Length cannot be specified for the \"Integer\" field type"},
      {"TestChar -> String(5,2)", "F:Scale cannot be specified for the \"String\" field type"},
      {"TestChar -> (5)", "F:Field type is not defined"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.Text), c.Expected) << c.Text;
}

TEST_F(DataTypeMapTest, AddRulesKeepsWhatCameBeforeAFailure) {
  TCountingRules rules;
  rules.AddRules("TestChar -> String(10); [Id] -> Integer;  ");
  EXPECT_EQ(rules.Count(), 2);
  EXPECT_EQ(rules.Changes, 2);
  EXPECT_THROW(rules.AddRules("TestInt -> Largeint; Nope -> String; [X] -> Float"), EInvalidDBTypeMapping);
  EXPECT_EQ(rules.Count(), 3);
  EXPECT_THROW(rules.AddRules("[A] -> Float;; [B] -> Float"), EInvalidMapRuleExpression);
  EXPECT_EQ(rules.Count(), 4);
  rules.AddRules("   ");
  EXPECT_EQ(rules.Count(), 4);

  rules.AddDBTypeRule(tpChar, dtBytes, {.DBLengthMin = 1, .DBLengthMax = 8, .FieldLength = 8});
  rules.AddFieldNameRule("Flag", dtBoolean, {.IgnoreErrors = true});
  EXPECT_EQ(Describe(rules.Items(4)), "|901|1..8|-1..-1|21(8,-1)");
  EXPECT_EQ(Describe(rules.Items(5)), "Flag|0|-1..-1|-1..-1|10(-1,-1)|ignore");
  EXPECT_THROW(rules.AddDBTypeRule(0, dtBoolean), EInvalidDBTypeMapping);
  EXPECT_EQ(rules.Changes, 6);

  TConverterManager manager;
  TTestRules target(manager);
  target.AddRule("Old", 0, -1, -1, -1, -1, dtInt32, -1, -1, false);
  rules.WriteTo(target);
  ASSERT_EQ(target.Count(), rules.Count());
  EXPECT_EQ(target.Items(1).FieldName(), "Id");
  EXPECT_EQ(target.Items(1).DataType(), dtInt32);
  EXPECT_EQ(target.Items(4).DBLengthMax(), 8);
  EXPECT_TRUE(target.Items(5).IgnoreErrors());
  rules.Clear();
  EXPECT_EQ(rules.Changes, 7);
}

TEST_F(DataTypeMapTest, LookupPrecedence) {
  TConverterManager manager;
  TTestRules own(manager), connection(manager);
  connection.AddRule("", tpChar, -1, -1, -1, -1, dtInt64, -1, -1, false);
  connection.AddRule("Code", 0, -1, -1, -1, -1, dtInt32, -1, -1, false);
  own.AddRule("", tpChar, 1, 10, -1, -1, dtInt16, -1, -1, false);
  own.AddRule("CODE", tpChar, 20, -1, -1, -1, dtInt8, -1, -1, false);

  auto found = [&](const char* name, int length) -> std::uint16_t {
    const TKxMapRule* r = FindMapRule(&own, &connection, name, tpChar, length, -1);
    return r ? r->DataType() : 0;
  };
  EXPECT_EQ(found("code", 25), dtInt8);   // own by name
  EXPECT_EQ(found("Code", 5), dtInt32);   // connection by name (own name rule wants length >= 20)
  EXPECT_EQ(found("Other", 5), dtInt16);  // own by type
  EXPECT_EQ(found("Other", 15), dtInt64); // connection by type
  EXPECT_EQ(found("Other", -1), dtInt16); // an unknown length passes any bounds
  EXPECT_EQ(FindMapRule(&own, nullptr, "Other", tpInt, 5, 0), nullptr);
  EXPECT_EQ(FindMapRule(nullptr, &connection, "x", tpChar, 5, 0)->DataType(), dtInt64);

  TKxMapRule probe;
  probe.Set("", tpDecimal, 10, 12, 2, 4, -1, -1, false);
  EXPECT_TRUE(TKxMapRules::CheckSQLType(probe, tpDecimal, 12, 2));
  EXPECT_FALSE(TKxMapRules::CheckSQLType(probe, tpDecimal, 13, 2));
  EXPECT_FALSE(TKxMapRules::CheckSQLType(probe, tpDecimal, 10, 5));
  EXPECT_FALSE(TKxMapRules::CheckSQLType(probe, tpChar, 10, 2));
  EXPECT_THROW(TKxMapRules().GetConverterManager(), EAssertionFailed);
}

TEST_F(DataTypeMapTest, ConverterManagerAndFieldMapping) {
  TConverterManager manager;
  EXPECT_EQ(manager.OnDemandConverterCount(), 479);
  EXPECT_EQ(manager.DetectOnDemandConverter(dtInt8, dtBoolean)->PutDataConverter(),
            TDataConverters::Find(dtBoolean, dtInt8));
  EXPECT_EQ(manager.DetectOnDemandConverter(dtDate, dtTime), nullptr);

  manager.AddFetchConverter(tpChar, 1, 4, -1, -1, dtBoolean, dtInt8);
  manager.AddFetchConverter(tpChar, 5, -1, -1, -1, dtBoolean, dtInt16);
  manager.AddFetchConverter(tpDecimal, dtFMTBCD);
  manager.AddFetchConverter(tpDecimal, 1, 9, 0, 0, dtInt32);
  EXPECT_EQ(manager.DetectFetchConverter(tpChar, 4, -1, dtBoolean)->InternalDataType(), dtInt8);
  EXPECT_EQ(manager.DetectFetchConverter(tpChar, 400, -1, dtBoolean)->InternalDataType(), dtInt16);
  EXPECT_EQ(manager.DetectFetchConverter(tpChar, 4, -1, dtInt32), nullptr);
  EXPECT_EQ(manager.DetectFetchConverter(tpDecimal, 5, 2, dtInt32), nullptr);
  EXPECT_EQ(manager.DetectFetchConverter(tpDecimal, 5, 0, dtInt32)->DestDataType(), dtInt32);
  EXPECT_NE(manager.DetectFetchConverter(tpDecimal, 30, 10, dtFMTBCD), nullptr);
  manager.DeleteFetchConverter(0);
  EXPECT_EQ(manager.DetectFetchConverter(tpChar, 4, -1, dtBoolean), nullptr);
  manager.ClearFetchMappers();
  EXPECT_EQ(manager.FetchConverterCount(), 0);

  TTestRules rules(manager);
  rules.AddRule("Same", 0, -1, -1, -1, -1, dtString, -1, -1, false);
  rules.AddRule("Shorter", 0, -1, -1, -1, -1, dtString, 10, -1, false);
  rules.AddRule("AsText", 0, -1, -1, -1, -1, dtString, -1, -1, false);
  rules.AddRule("AsDec", 0, -1, -1, -1, -1, dtFMTBCD, -1, 3, false);
  rules.AddRule("NoWay", 0, -1, -1, -1, -1, dtGuid, -1, -1, false);
  rules.AddRule("Secret", 0, -1, -1, -1, -1, dtBoolean, -1, -1, false);
  auto map = [&](const char* name, std::uint16_t type, int length, bool enabled = true) {
    return ResolveFieldMapping(&rules, nullptr, enabled, name, type, length, 0, tpChar, length, 0);
  };
  EXPECT_EQ(map("Same", dtString, 30).MapRule, nullptr);
  TFieldMapping m = map("Shorter", dtString, 30);
  EXPECT_EQ(m.OnDemandConverter->DestDataType(), dtString);
  EXPECT_EQ(m.MapLength, 10);
  EXPECT_EQ(map("Shorter", dtString, 30, false).MapRule, nullptr);
  m = map("AsText", dtInt32, 4);
  EXPECT_EQ(m.MapLength, 20);  // presented text without a size function
  EXPECT_EQ(m.MapScale, 0);
  m = map("AsDec", dtInt32, 4);
  EXPECT_EQ(m.MapLength, 0);  // Size0
  EXPECT_EQ(m.MapScale, 3);
  m = map("NoWay", dtInt32, 4);
  EXPECT_NE(m.MapRule, nullptr);
  EXPECT_EQ(m.OnDemandConverter, nullptr);
  const TKxMapRule* rule = rules.DetectFieldNameMapRule("Secret", tpChar, 1, 0);
  EXPECT_EQ(FindMapFetchConverter(rule, true, tpChar, 1, 0), nullptr);

  EXPECT_EQ(DBTypeMappingText(tpDecimal, 10, 2), "Test Decimal(10,2)");
  EXPECT_EQ(DBTypeMappingText(tpDecimal, 0, 2), "Test Decimal(2)");
  EXPECT_EQ(DBTypeMappingText(tpInt, 0, 0), "TestInt");
  EXPECT_EQ(DBTypeMappingText(997, 4, 0), "Unknown(997)");
  EXPECT_EQ(FieldTypeMappingText(DataTypeFieldTypeInfos(), dtGuid, -1, -1), "Guid");
  EXPECT_EQ(FieldTypeMappingText(DataTypeFieldTypeInfos(), dtFMTBCD, 18, 4), "FMTBCD(18,4)");
  EXPECT_EQ(FieldTypeMappingText(DataTypeFieldTypeInfos(), 77, 1, 1), "Unknown(77)");
  try {
    RaiseUnsupportedDataTypeMapping(DBTypeMappingText(tpInt, 4, 0), "Guid");
    ADD_FAILURE();
  } catch (const EUnsupportedDataTypeMapping& e) {
    EXPECT_EQ(e.Message(), "Unsupported data type mapping: \"TestInt(4)\" to \"Guid\"");
  }
}

TEST_F(DataTypeMapTest, MappedReadsAndWritesNameTheField) {
  TConverterManager manager;
  TTestRules rules(manager);
  rules.AddRule("D", 0, -1, -1, -1, -1, dtString, 10, -1, false);
  rules.AddRule("N", 0, -1, -1, -1, -1, dtBoolean, -1, -1, false);
  rules.AddRule("M", 0, -1, -1, -1, -1, dtString, 40, -1, false);
  TStringHeap heap;

  // A stored date (its slot in micros) read and written as text.
  TFieldMapping date = ResolveFieldMapping(&rules, nullptr, true, "D", dtDate, 0, 0, tpChar, 0, 0);
  ASSERT_NE(date.OnDemandConverter, nullptr);
  std::int64_t stored = DateTimeToMicros(EncodeDate(2024, 2, 29));
  char text[16] = {};
  GetMappedFieldData(date, &heap, dtDate, 0, 0, &stored, text, "D");
  EXPECT_STREQ(text, "2024-02-29");
  PutMappedFieldData(date, &heap, dtDate, 0, 0, "2001-01-02", &stored, "D");
  EXPECT_EQ(stored, DateTimeToMicros(EncodeDate(2001, 1, 2)));
  try {
    PutMappedFieldData(date, &heap, dtDate, 0, 0, "later", &stored, "D");
    ADD_FAILURE();
  } catch (const EDataMappingError& e) {
    EXPECT_EQ(e.Message(), "Field: D\r\nlater is an invalid date or time value");
  }
  EXPECT_EQ(stored, DateTimeToMicros(EncodeDate(2001, 1, 2)));

  // Text presented as a time: the field's buffer takes micros, a span too.
  rules.AddRule("T", 0, -1, -1, -1, -1, dtTime, -1, -1, false);
  TFieldMapping time = ResolveFieldMapping(&rules, nullptr, true, "T", dtString, 10, 0, tpChar, 10, 0);
  ASSERT_NE(time.OnDemandConverter, nullptr);
  char span[16] = "26:00:00";
  std::int64_t presented = 0;
  GetMappedFieldData(time, &heap, dtString, 10, 0, span, &presented, "T");
  EXPECT_EQ(presented, 26 * 3600 * USecsPerSec);
  presented = -5400 * USecsPerSec;
  PutMappedFieldData(time, &heap, dtString, 10, 0, &presented, span, "T");
  EXPECT_STREQ(span, "-1:30:00");

  // TINYINT(1) presented as Boolean: any non-zero byte is true, a truth
  // value is written as the low byte of its word.
  TFieldMapping flag = ResolveFieldMapping(&rules, nullptr, true, "N", dtInt8, 0, 0, tpChar, 1, 0);
  std::int8_t byte = 3;
  std::uint16_t word = 0;
  GetMappedFieldData(flag, &heap, dtInt8, 0, 0, &byte, &word, "N");
  EXPECT_EQ(word, 3);
  word = 0xFFFF;
  PutMappedFieldData(flag, &heap, dtInt8, 0, 0, &word, &byte, "N");
  EXPECT_EQ(byte, -1);

  // A stored memo read as text; writing enables the blob's rollback first.
  TFieldMapping memo = ResolveFieldMapping(&rules, nullptr, true, "M", dtMemo, 0, 0, tpChar, 0, 0);
  TSharedRef<TBlob> blob = NewShared<TBlob>(false);
  void* handle = blob.Get();
  PutMappedFieldData(memo, &heap, dtMemo, 0, 0, "note", &handle, "M");
  EXPECT_TRUE(blob->NeedRollback());
  EXPECT_EQ(blob->AsAnsiString(), "note");

  // Fetching into a narrower stored type checks the range.
  manager.AddFetchConverter(tpChar, 1, 9, -1, -1, dtInt64, dtInt32);
  const TFetchConverter* fetch = manager.DetectFetchConverter(tpChar, 5, -1, dtInt64);
  std::int64_t wide = 5000000000;
  std::int32_t narrow = 0;
  EXPECT_THROW(ConvertFetchedValue(*fetch, &heap, dtInt64, &wide, 0, &narrow, 0, 0, false), EDataMappingError);
  ConvertFetchedValue(*fetch, &heap, dtString, "-77", 3, &narrow, 0, 0, false);
  EXPECT_EQ(narrow, -77);
}

}  // namespace
}  // namespace lumo
