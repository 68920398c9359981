// Macros and parameters of the SQL components: finding and expanding macro
// references (strings, comments, inactive macros, lists that stay as they
// are), the typed macro values, the older stored form of macros, and the
// value rules of large-object and date parameters.
#include <gtest/gtest.h>

#include <lumokit/access/KxAccessSQLInfo.h>
#include <lumokit/components/DAParams.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/Streams.h>
#include <lumokit/mysql/wire/MyParser.h>

namespace lumo {
namespace {

struct RecordingOwner : IDAMacrosOwner {
  std::vector<std::string> Changes;
  const TSQLInfo* Info = nullptr;
  void MacroChanged(TMacro& macro) override { Changes.push_back(macro.Name() + "=" + macro.Value()); }
  const TSQLInfo* MacroSQLInfo() override { return Info; }
};

std::vector<std::string> Names(const TMacros& macros) {
  std::vector<std::string> out;
  for (int i = 0; i < macros.Count(); ++i) out.push_back(macros[i].Name());
  return out;
}

TEST(DAMacrosTest, ScanFindsReferencesOutsideStringsAndComments) {
  TMacros macros;
  macros.SetParserClass(ParserClassOf<TMyParser>());
  EXPECT_TRUE(macros.Scan("SELECT * FROM &tab WHERE id = :id AND s = '&notAMacro' /* &nor */ -- &this\n"
                          "AND &Cond OR &TAB"));
  EXPECT_EQ(Names(macros), (std::vector<std::string>{"tab", "Cond"}));
  EXPECT_EQ(macros[0].Value(), "");
  EXPECT_TRUE(macros[0].Active());
  // "& x" and "&&" are no references; a keyword is a name.
  EXPECT_TRUE(macros.Scan("SELECT a & b, c && d FROM &where"));
  EXPECT_EQ(Names(macros), (std::vector<std::string>{"where"}));
}

TEST(DAMacrosTest, RescanKeepsValuesByNameAndReportsNoChangeForTheSameList) {
  TMacros macros;
  macros.Scan("SELECT * FROM &tab WHERE &cond");
  macros.MacroByName("tab").SetValue("t1");
  macros.MacroByName("cond").SetActive(false);
  EXPECT_FALSE(macros.Scan("SELECT x FROM &TAB WHERE &cond"));
  EXPECT_TRUE(macros.Scan("SELECT * FROM &cond, &tab, &more"));
  EXPECT_EQ(Names(macros), (std::vector<std::string>{"cond", "tab", "more"}));
  EXPECT_FALSE(macros[0].Active());
  EXPECT_EQ(macros[1].Value(), "t1");
  EXPECT_TRUE(macros.Scan("SELECT 1"));
  EXPECT_EQ(macros.Count(), 0);
  EXPECT_THROW(macros.MacroByName("tab"), EDatabaseError);
  try {
    macros.MacroByName("tab");
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Macro tab not found");
  }
}

TEST(DAMacrosTest, ExpandSubstitutesActiveValuesAndCopiesEverythingElse) {
  TMacros macros;
  const std::string text = "SELECT '&tab' AS s /* &tab */ FROM &tab WHERE 1=1 &cond &gone";
  macros.Scan(text);
  macros.Delete(2);  // "gone" is no longer in the list: its reference is dropped
  macros.MacroByName("tab").SetValue("orders o");
  macros.MacroByName("cond").SetValue("AND o.id > 5");
  std::string sql = text;
  macros.Expand(sql);
  EXPECT_EQ(sql, "SELECT '&tab' AS s /* &tab */ FROM orders o WHERE 1=1 AND o.id > 5 ");
  macros.MacroByName("cond").SetActive(false);
  sql = text;
  macros.Expand(sql);
  EXPECT_EQ(sql, "SELECT '&tab' AS s /* &tab */ FROM orders o WHERE 1=1  ");
  std::string plain = "SELECT 1";
  macros.Expand(plain);
  EXPECT_EQ(plain, "SELECT 1");
}

TEST(DAMacrosTest, ChangesNotifyTheOwnerOnlyWhenSomethingChangesOutsideUpdates) {
  RecordingOwner owner;
  TMacros macros(&owner);
  macros.Scan("&a");
  macros[0].SetValue("1");
  macros[0].SetValue("1");
  macros.BeginUpdate();
  macros[0].SetValue("2");
  macros.EndUpdate();
  macros[0].SetActive(false);
  EXPECT_EQ(owner.Changes, (std::vector<std::string>{"a=1", "a=2"}));
}

TEST(DAMacrosTest, TypedValuesWriteLiteralsOfTheOwnersDialect) {
  RecordingOwner owner;
  TMacros macros(&owner);
  TMacro& m = macros.Add("v");
  // Without a dialect: standard SQL quoting.
  m.SetAsString("O'Brien");
  EXPECT_EQ(m.Value(), "'O''Brien'");
  EXPECT_EQ(m.AsString(), "O'Brien");
  m.SetValue(" 'it''s' ");
  EXPECT_EQ(m.AsString(), "it's");

  // A dialect with backslash escapes: the trailing backslash cannot end the
  // literal early.
  struct BackslashInfo : TSQLInfo {
    std::string ToStringConst(std::string_view value) const override {
      std::string out = "'";
      for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
      }
      return out + "'";
    }
  } info;
  owner.Info = &info;
  m.SetAsString("O'Brien\\");
  EXPECT_EQ(m.Value(), "'O\\'Brien\\\\'");
  EXPECT_EQ(m.AsString(), "O'Brien\\");

  // Numbers and dates are SQL, whatever the process formats say.
  TFormatSettings german = FormatSettings();
  german.DecimalSeparator = ',';
  german.DateSeparator = '.';
  german.ShortDateFormat = "dd.mm.yyyy";
  std::string floatText, dateText;
  {
    TFormatSettingsOverride formats(german);
    m.SetAsFloat(1.5);
    floatText = m.Value();
    m.SetAsDateTime(EncodeDate(2024, 1, 2));
    dateText = m.Value();
  }
  EXPECT_EQ(floatText, "1.5");
  EXPECT_EQ(dateText, "'2024-01-02'");
  m.SetAsFloat(1.5);
  EXPECT_DOUBLE_EQ(m.AsFloat(), 1.5);
  m.SetAsInteger(-7);
  EXPECT_EQ(m.AsInteger(), -7);
  m.SetAsDateTime(EncodeDateTime(2024, 2, 29, 13, 5, 9, 0));
  EXPECT_EQ(m.Value(), "'2024-02-29 13:05:09'");
  EXPECT_EQ(m.AsDateTime(), EncodeDateTime(2024, 2, 29, 13, 5, 9, 0));
  m.SetAsDateTime(EncodeDate(2024, 1, 2));
  EXPECT_EQ(m.Value(), "'2024-01-02'");
  m.SetValue("abc");
  EXPECT_THROW(m.AsInteger(), EConvertError);
}

TEST(DAMacrosTest, TheOlderStoredFormIsReadWholeOrNotAtAll) {
  TMacros macros;
  macros.Scan("&a &b");
  macros.MacroByName("a").SetValue("x");
  // A value longer than 1000 bytes survives, and the reading stays in step
  // (the macro after it is read right).
  macros.MacroByName("b").SetValue(std::string(1500, 'v'));
  macros.MacroByName("b").SetActive(false);
  const std::vector<std::uint8_t> data = macros.WriteBinaryData();

  TMacros copy;
  copy.Scan("&a &b");
  copy.ReadBinaryData(data);
  EXPECT_EQ(copy.MacroByName("a").Value(), "x");
  EXPECT_EQ(copy.MacroByName("b").Value(), std::string(1500, 'v'));
  EXPECT_FALSE(copy.MacroByName("b").Active());

  // Cut anywhere: an error, and the macros keep their values.
  TMacros cut;
  cut.Scan("&a &b");
  cut.MacroByName("a").SetValue("keep");
  for (std::size_t n : {std::size_t{0}, std::size_t{3}, data.size() - 1}) {
    try {
      cut.ReadBinaryData(std::span(data.data(), n));
      ADD_FAILURE() << "no error for " << n << " bytes";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), "Stored macro data is truncated");
    }
    EXPECT_EQ(cut.MacroByName("a").Value(), "keep");
  }
  // The form without active flags (mark other than 'd').
  const std::vector<std::uint8_t> plain{0, 1, 'a', 2, 0, 'h', 'i', 1, 'b', 0, 0};
  copy.ReadBinaryData(plain);
  EXPECT_EQ(copy.MacroByName("a").Value(), "hi");
  EXPECT_TRUE(copy.MacroByName("b").Active());
}

TEST(DAParamTest, LargeObjectsKeepTheirBytesAndTextInTheBlob) {
  TDAParam blob;
  blob.SetDataType(ftBlob);
  ASSERT_NE(blob.AsBlobRef(), nullptr);
  EXPECT_TRUE(blob.IsNull());
  const std::string bytes("\xff\xfe\x00\x80 z", 6);
  blob.SetAsString(bytes);
  EXPECT_EQ(blob.AsString(), bytes);  // never decoded as text
  EXPECT_EQ(blob.AsBlobRef()->Size(), 6);
  EXPECT_FALSE(blob.IsNull());

  TDAParam memo;
  memo.SetDataType(ftMemo);
  memo.SetValue(Variant::FromBytes({'a', 0, 'b'}));
  EXPECT_EQ(memo.AsBytes(), (Variant::Bytes{'a', 0, 'b'}));
  EXPECT_EQ(memo.AsBlobRef()->Size(), 3);

  TDAParam wide;
  wide.SetAsWideMemo(u"\u00e9t\u00e9");
  EXPECT_TRUE(wide.AsBlobRef()->IsUnicode());
  EXPECT_EQ(wide.AsString(), "\xc3\xa9t\xc3\xa9");

  // Changing the type drops the old object; Assign shares it.
  TDAParam other;
  other.Assign(blob);
  EXPECT_EQ(other.AsBlobRef(), blob.AsBlobRef());
  blob.SetDataType(ftInteger);
  EXPECT_EQ(blob.AsBlobRef(), nullptr);
  EXPECT_EQ(other.AsString(), bytes);

  TMemoryStream stream;
  EXPECT_THROW(memo.LoadFromStream(stream, ftString), EDatabaseError);
  try {
    memo.LoadFromStream(stream, ftInteger);
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Data type is not supported");
  }
}

TEST(DAParamTest, DatesReadAsDateTextAndSettersKeepFixedTypes) {
  TDAParam p;
  p.SetAsDateTime(EncodeDateTime(2024, 5, 6, 7, 8, 9, 0));
  EXPECT_EQ(p.AsString(), DateToStr(EncodeDate(2024, 5, 6)));
  p.SetDataType(ftFixedChar);
  p.SetAsAnsiString("ab");
  EXPECT_EQ(p.DataType(), ftFixedChar);
  TDAParam q;
  q.SetAsString("x");
  EXPECT_EQ(q.DataType(), ftWideString);
  EXPECT_EQ(q.AsWideString(), u"x");
  TDAParams params;
  params.CreateParam(ftInteger, "a", ptInput);
  EXPECT_EQ(params.ParamsChangeType(), ctUsers);
  {
    TDAParamsRebuild rebuild(params);
    params.Clear();
  }
  params.SetParamsChangeType(ctGenerated);
  params.Add();
  EXPECT_EQ(params.ParamsChangeType(), ctUsers);
}

}  // namespace
}  // namespace lumo
