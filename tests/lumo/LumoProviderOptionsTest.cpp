#include <lumokit/lumo/LumoProviderOptions.h>

#include <gtest/gtest.h>

#include "LumoTestProvider.h"

namespace lumo {
namespace {

using test::DerivedConnection;
using test::ErrorOf;
using test::FakeServer;
using test::OptionLines;
using test::RecordingConnection;

TEST(LumoProviderOptionsTest, ExtractOptionSplitsPrefixNameAndValue) {
  struct Case {
    const char* Line;
    bool Found;
    const char* Prefix;
    const char* Name;
    const char* Value;
  } cases[] = {
      {"MySQL.UseUnicode=True", true, "MySQL", "UseUnicode", "True"},
      {"UseUnicode=True", true, "", "UseUnicode", "True"},
      {"Charset=utf8.mb4", true, "", "Charset", "utf8.mb4"},  // "." after "=" is the value's
      {"MySQL.Charset=a.b", true, "MySQL", "Charset", "a.b"},
      {" MySQL . Charset = x ", true, "MySQL", "Charset", " x "},
      {"Name=", true, "", "Name", ""},
      {"MySQL.UseUnicode", false, "", "", ""},
  };
  for (const Case& c : cases) {
    std::string prefix = "-", name = "-", value = "-";
    EXPECT_EQ(ExtractOption(c.Line, prefix, name, value), c.Found) << c.Line;
    if (!c.Found) continue;
    EXPECT_EQ(prefix, c.Prefix) << c.Line;
    EXPECT_EQ(name, c.Name) << c.Line;
    EXPECT_EQ(value, c.Value) << c.Line;
  }
}

TEST(LumoProviderOptionsTest, KindsConvertAndValidateTheirTexts) {
  TIntegerOption timeout("ConnectionTimeout", 1, {}, 15);
  EXPECT_EQ(timeout.GetAsNative(" 42 ").AsInt32(), 42);
  EXPECT_EQ(timeout.GetAsString(Variant(std::int32_t{-7})), "-7");
  EXPECT_TRUE(timeout.CheckValue("-2147483647"));  // a valid integer, not a marker
  EXPECT_TRUE(timeout.CheckValue("-2147483648"));
  EXPECT_FALSE(timeout.CheckValue("2147483648"));
  EXPECT_FALSE(timeout.CheckValue("4x"));
  EXPECT_EQ(ErrorOf([&] { timeout.Validate("ten"); }), "Invalid value: ten for option ConnectionTimeout");

  TBooleanOption compress("Compress", 2, {}, false);
  EXPECT_TRUE(compress.GetAsNative("  tRUE ").AsBoolean());
  EXPECT_FALSE(compress.GetAsNative("false").AsBoolean());
  EXPECT_EQ(compress.GetAsString(true), "True");
  EXPECT_EQ(compress.GetAsString(false), "False");
  EXPECT_NO_THROW(compress.Validate(" FALSE "));
  EXPECT_EQ(ErrorOf([&] { compress.Validate("yes"); }), "Invalid value: yes for option Compress");
  TStringList values;
  compress.GetValuesList(values);
  EXPECT_EQ(values.ToVector(), (std::vector<std::string>{"False", "True"}));

  TStringOption charset("Charset", 3, {}, "");
  EXPECT_EQ(charset.GetAsNative(" utf8 ").AsString(), " utf8 ");
  EXPECT_NO_THROW(charset.Validate("anything at all"));
  charset.GetValuesList(values);
  EXPECT_EQ(values.Count(), 0);
}

TEST(LumoProviderOptionsTest, EnumerationNamesComeFromTheTable) {
  TEnumeratorOption protocol("Protocol", 1, {}, std::int32_t{0},
                             {"TMyProtocol", {"mpDefault", "mpTCP", "mpSocket", "mpSSL"}, 0});
  EXPECT_EQ(protocol.GetAsNative(" MPssl ").AsInt32(), 3);
  EXPECT_EQ(protocol.GetAsString(std::int32_t{1}), "mpTCP");
  EXPECT_EQ(ErrorOf([&] { protocol.Validate("SSL"); }), "Invalid value: SSL for option Protocol");
  EXPECT_EQ(ErrorOf([&] { protocol.GetAsString(std::int32_t{4}); }), "Invalid value: 4 for option Protocol");

  // A type name starting with "_": names are written and read without their
  // first character.
  TEnumeratorOption keys("DuplicateKeys", 2, {}, std::int32_t{10},
                         {"_TMyDuplicateKeys", {"_dkNone", "_dkIgnore", "_dkReplace"}, 10});
  EXPECT_EQ(keys.GetAsString(std::int32_t{11}), "dkIgnore");
  EXPECT_EQ(keys.GetAsNative("dkReplace").AsInt32(), 12);
  EXPECT_FALSE(keys.CheckValue("_dkIgnore"));
  TStringList values;
  keys.GetValuesList(values);
  EXPECT_EQ(values.ToVector(), (std::vector<std::string>{"dkNone", "dkIgnore", "dkReplace"}));

  std::vector<std::string> many(256, "x");
  EXPECT_THROW(TEnumeratorOption("Big", 3, {}, std::int32_t{0}, {"TBig", many, 0}), EAssertionFailed);
}

TEST(LumoProviderOptionsTest, AValuesListHandlerDecidesValidation) {
  TStringOption charset("Charset", 1, {}, "");
  charset.SetOnGetValuesList([](TStrings& list) {
    list.Add("utf8mb4");
    list.Add("latin1");
  });
  EXPECT_NO_THROW(charset.Validate(" UTF8MB4"));
  EXPECT_EQ(ErrorOf([&] { charset.Validate("koi8r"); }), "Invalid value: koi8r for option Charset");
}

// A list for the recording connection of the test provider.
class ImportTest : public ::testing::Test {
 protected:
  ImportTest() : list("MySQL"), connection(server) {
    const TClassId cls = ClassIdOf<RecordingConnection>("RecordingConnection");
    list.AddNew<TIntegerOption>("ConnectionTimeout", 1001, std::vector{cls}, 15);
    list.AddNew<TBooleanOption>("UseUnicode", 1018, std::vector{cls}, false);
    list.AddNew<TStringOption>("Charset", 1009, std::vector{cls}, "");
    list.AddNew<TBooleanOption>("Compress", 1007, std::vector{cls}, false);
    list.AddNew<TBooleanOption>("Direct", 1031, std::vector{cls}, true);
  }

  TOptionsList list;
  FakeServer server;
  RecordingConnection connection;
};

TEST_F(ImportTest, EveryOptionIsSetAndAbsentOnesGetTheirDefaults) {
  list.ImportOptions(OptionLines{"mYsQl.useunicode=tRUE", "Charset=latin1.x"}, TOptionTarget(connection));
  EXPECT_EQ(connection.Log.Calls.size(), 5u);
  EXPECT_TRUE(connection.Log.Last(1018).AsBoolean());
  EXPECT_EQ(connection.Log.Last(1009).AsString(), "latin1.x");
  EXPECT_EQ(connection.Log.Last(1001).AsInt32(), 15);
  EXPECT_TRUE(connection.Log.Last(1031).AsBoolean());

  // Applied again without the lines: reset to the defaults.
  connection.Log.Calls.clear();
  list.ImportOptions(OptionLines{}, TOptionTarget(connection));
  EXPECT_EQ(connection.Log.Calls.size(), 5u);
  EXPECT_FALSE(connection.Log.Last(1018).AsBoolean());
  EXPECT_EQ(connection.Log.Last(1009).AsString(), "");
}

TEST_F(ImportTest, PrefixesAndFirstLinesDecide) {
  list.ImportOptions(OptionLines{"Oracle.UseUnicode=True", "Compress=True", "MySQL.Compress=False"},
                     TOptionTarget(connection));
  EXPECT_FALSE(connection.Log.Last(1018).AsBoolean());  // another provider's line
  EXPECT_TRUE(connection.Log.Last(1007).AsBoolean());   // the first matching line wins
}

TEST_F(ImportTest, ARejectedLineLeavesTheObjectAsItWas) {
  EXPECT_EQ(ErrorOf([&] {
              list.ImportOptions(OptionLines{"UseUnicode=True", "MySQL.Compress=yes"}, TOptionTarget(connection));
            }),
            "Invalid value: yes for option Compress");
  EXPECT_TRUE(connection.Log.Calls.empty());
}

TEST_F(ImportTest, TheClassTestIsExact) {
  DerivedConnection derived(server);
  list.ImportOptions(OptionLines{"UseUnicode=True"}, TOptionTarget(derived));
  EXPECT_TRUE(derived.Log.Calls.empty());

  // A target tested as one class may set its properties elsewhere.
  test::PropLog elsewhere;
  list.ImportOptions(OptionLines{"UseUnicode=True"},
                     TOptionTarget(typeid(RecordingConnection),
                                   [&](int prop, const Variant& v) { elsewhere.Add(prop, v); }));
  EXPECT_TRUE(elsewhere.Last(1018).AsBoolean());
}

TEST_F(ImportTest, AnAssignHandlerReplacesThePropertyCall) {
  std::vector<std::string> assigned;
  list.OptionByName("charset")->SetOnAssignValue([&](const TOptionTarget& target, const Variant& value) {
    ASSERT_EQ(target.As<RecordingConnection>(), &connection);
    assigned.push_back(value.AsString());
  });
  list.ImportOptions(OptionLines{"Charset=cp1251"}, TOptionTarget(connection));
  EXPECT_EQ(assigned, (std::vector<std::string>{"cp1251"}));
  EXPECT_TRUE(connection.Log.Last(1009).IsEmpty());
}

TEST_F(ImportTest, ListLookupExportAndValues) {
  EXPECT_EQ(list.OptionByName("USEUNICODE"), &list.Items(4));  // sorted by name
  EXPECT_EQ(list.OptionByName("Missing"), nullptr);
  EXPECT_THROW(list.AddNew<TStringOption>("charSET", 1, std::vector<TClassId>{}, ""), EAssertionFailed);

  TStringList exported;
  list.ExportDefOptions(exported);
  EXPECT_EQ(exported.ToVector(),
            (std::vector<std::string>{"MySQL.Charset=", "MySQL.Compress=False", "MySQL.ConnectionTimeout=15",
                                      "MySQL.Direct=True", "MySQL.UseUnicode=False"}));

  OptionLines lines{"ConnectionTimeout= 30"};
  EXPECT_EQ(list.GetValueByName(lines, "connectiontimeout").AsInt32(), 30);
  EXPECT_TRUE(list.GetValueByName(lines, "Direct").AsBoolean());
  EXPECT_TRUE(list.GetValueByName(lines, "NoSuchOption").IsEmpty());
}

}  // namespace
}  // namespace lumo
