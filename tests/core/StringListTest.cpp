#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <lumokit/core/Streams.h>
#include <lumokit/core/StringList.h>

namespace lumo {
namespace {

using Lines = std::vector<std::string>;

TEST(StringList, TextSplitsAtEveryKindOfLineBreak) {
  TStringList l;
  l.SetText("a\r\nb\nc\rd");
  EXPECT_EQ(l.ToVector(), (Lines{"a", "b", "c", "d"}));
  l.SetText("a\r\n\r\nb\r\n");  // trailing break ends the last line, adds none
  EXPECT_EQ(l.ToVector(), (Lines{"a", "", "b"}));
  l.SetText("\n");
  EXPECT_EQ(l.ToVector(), (Lines{""}));
  l.SetText("\r\r\n");
  EXPECT_EQ(l.ToVector(), (Lines{"", ""}));
  l.SetText("");
  EXPECT_EQ(l.Count(), 0);
}

TEST(StringList, TextRoundTrips) {
  TStringList l;
  for (const Lines& lines : {Lines{}, Lines{""}, Lines{"", ""}, Lines{"SELECT *", "", "FROM t", ""}, Lines{"x"}}) {
    l.Assign(lines);
    std::string text = l.Text();
    TStringList back;
    back.SetText(text);
    EXPECT_EQ(back.ToVector(), lines) << text;
  }
  l.Assign(Lines{"a", "b"});
  EXPECT_EQ(l.Text(), "a\r\nb\r\n");
  l.SetLineBreak("\n");
  EXPECT_EQ(l.Text(), "a\nb\n");
  // Normalised text (one break kind, final break) comes back unchanged.
  l.SetText("one\ntwo\n");
  EXPECT_EQ(l.Text(), "one\ntwo\n");
}

TEST(StringList, NamesAndValues) {
  TStringList l;
  l.SetText("MySQL.UseUnicode=True\nEmpty=\nNoSeparator\n=NoName\nUrl=a=b");
  EXPECT_EQ(l.Names(0), "MySQL.UseUnicode");
  EXPECT_EQ(l.ValueFromIndex(0), "True");
  EXPECT_EQ(l.Values("mysql.useunicode"), "True");  // names ignore case by default
  EXPECT_EQ(l.IndexOfName("Empty"), 1);
  EXPECT_EQ(l.Values("Empty"), "");
  EXPECT_EQ(l.Names(2), "");
  EXPECT_EQ(l.ValueFromIndex(2), "");
  EXPECT_EQ(l.IndexOfName("NoSeparator"), -1);  // a line without '=' has no name
  EXPECT_EQ(l.Names(3), "");
  EXPECT_EQ(l.ValueFromIndex(3), "NoName");
  EXPECT_EQ(l.Values("Url"), "a=b");  // split at the first separator
  EXPECT_EQ(l.Values("Missing"), "");
  EXPECT_EQ(l.IndexOfName("Missing"), -1);

  l.SetValues("Url", "c");
  EXPECT_EQ(l[4], "Url=c");
  l.SetValues("New", "1");
  EXPECT_EQ(l[5], "New=1");
  l.SetValues("Empty", "");  // an empty value removes the line
  EXPECT_EQ(l.IndexOfName("Empty"), -1);
  l.SetValues("Missing", "");
  EXPECT_EQ(l.Count(), 5);

  l.SetCaseSensitive(true);
  EXPECT_EQ(l.Values("mysql.useunicode"), "");

  TStringList header;
  header.SetNameValueSeparator(':');
  header.Add("Content-Length: 10");
  EXPECT_EQ(header.Values("content-length"), " 10");
}

TEST(StringList, SetValuesOnSortedListKeepsOrder) {
  TStringList l;
  l.SetSorted(true);
  l.SetValues("b", "2");
  l.SetValues("a", "1");
  l.SetValues("c", "3");
  l.SetValues("a", "zz");
  EXPECT_EQ(l.ToVector(), (Lines{"a=zz", "b=2", "c=3"}));
  l.SetValueFromIndex(1, "x");
  EXPECT_EQ(l.ToVector(), (Lines{"a=zz", "b=x", "c=3"}));
}

TEST(StringList, SortedListAndDuplicates) {
  TStringList l;
  l.Assign(Lines{"pear", "Apple", "fig", "apple"});
  l.SetSorted(true);
  EXPECT_EQ(l.ToVector(), (Lines{"Apple", "apple", "fig", "pear"}));  // stable, case folded

  EXPECT_EQ(l.Add("APPLE"), 0);  // dupIgnore: the existing index, nothing added
  EXPECT_EQ(l.Count(), 4);
  l.SetDuplicates(TDuplicates::dupAccept);
  EXPECT_EQ(l.Add("APPLE"), 2);  // after the equal ones
  EXPECT_EQ(l.Add("banana"), 3);
  EXPECT_EQ(l.ToVector(), (Lines{"Apple", "apple", "APPLE", "banana", "fig", "pear"}));
  l.SetDuplicates(TDuplicates::dupError);
  try {
    l.Add("Fig");
    FAIL() << "duplicate accepted";
  } catch (const EStringListError& e) {
    EXPECT_STREQ(e.what(), "String list does not allow duplicates");
  }
  int index = -1;
  EXPECT_TRUE(l.Find("FIG", index));
  EXPECT_EQ(index, 4);
  EXPECT_FALSE(l.Find("cherry", index));
  EXPECT_EQ(index, 4);
  EXPECT_EQ(l.IndexOf("PEAR"), 5);
  EXPECT_EQ(l.IndexOf("kiwi"), -1);

  EXPECT_THROW(l.Insert(0, "x"), EStringListError);
  EXPECT_THROW(l.SetStrings(0, "x"), EStringListError);
  EXPECT_THROW(l.Exchange(0, 1), EStringListError);
  EXPECT_THROW(l.CustomSort([](const TStringList&, int, int) { return 0; }), EStringListError);

  // Case-sensitive order is byte order; bytes >= 0x80 sort after ASCII.
  l.SetDuplicates(TDuplicates::dupAccept);
  l.SetCaseSensitive(true);
  l.Add("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(l.ToVector(), (Lines{"APPLE", "Apple", "apple", "banana", "fig", "pear", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(l.IndexOf("apple"), 2);
  EXPECT_EQ(l.IndexOf("APPLe"), -1);
}

TEST(StringList, CaseInsensitiveLookupFoldsOnlyAscii) {
  TStringList l;
  l.Assign(Lines{"Alpha", "\xC3\x89t\xC3\xA9", "Zed"});
  EXPECT_EQ(l.IndexOf("ALPHA"), 0);
  EXPECT_EQ(l.IndexOf("zED"), 2);
  EXPECT_EQ(l.IndexOf("\xC3\x89t\xC3\xA9"), 1);
  EXPECT_EQ(l.IndexOf("\xC3\xA9t\xC3\xA9"), -1);  // no Unicode folding
  EXPECT_EQ(l.IndexOf("Alph"), -1);
}

TEST(StringList, CommaTextQuotingRoundTrips) {
  TStringList l;
  l.Assign(Lines{"plain", "with space", "comma,inside", "quote\"inside", "", "tab\there", "line\r\nbreak"});
  std::string text = l.CommaText();
  EXPECT_EQ(text,
            "plain,\"with space\",\"comma,inside\",\"quote\"\"inside\",\"\",\"tab\there\",\"line\r\nbreak\"");
  TStringList back;
  back.SetCommaText(text);
  EXPECT_EQ(back.ToVector(), l.ToVector());

  back.SetCommaText("a b , c,\"d e\",");  // unquoted blanks separate; trailing comma adds ""
  EXPECT_EQ(back.ToVector(), (Lines{"a", "b", "c", "d e", ""}));
  back.SetCommaText("");
  EXPECT_EQ(back.Count(), 0);
  back.Assign(Lines{""});
  EXPECT_EQ(back.CommaText(), "\"\"");

  TStringList tabs;
  tabs.SetDelimiter(';');
  tabs.SetQuoteChar('\'');
  tabs.SetStrictDelimiter(true);
  tabs.SetDelimitedText(" a b ;'c;d'; e");
  EXPECT_EQ(tabs.ToVector(), (Lines{" a b ", "c;d", " e"}));
  EXPECT_EQ(tabs.DelimitedText(), "' a b ';'c;d';' e'");
}

TEST(StringList, ChangeEventsFireOncePerOutermostUpdate) {
  TStringList l;
  int changing = 0;
  int changed = 0;
  std::vector<int> countsSeenByChanging;
  l.SetOnChanging([&](TStrings& s) {
    ++changing;
    countsSeenByChanging.push_back(s.Count());
  });
  l.SetOnChange([&](TStrings&) { ++changed; });

  l.Add("a");
  EXPECT_EQ(changing, 1);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(countsSeenByChanging.back(), 0);  // before the change

  l.BeginUpdate();
  l.BeginUpdate();
  l.Add("b");
  l.Add("c");
  l.Delete(0);
  l.EndUpdate();
  EXPECT_EQ(changed, 1);
  l.Add("d");
  l.EndUpdate();
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);

  l.SetText("x\ny\nz");  // a whole-list change is one change
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);

  // Nothing changed, nothing fires.
  l.BeginUpdate();
  l.EndUpdate();
  l.SetText("x\r\ny\r\nz\r\n");
  l.SetStrings(1, "y");
  l.SetCommaText("x,y,z");
  TStringList same;
  same.Assign(Lines{"x", "y", "z"});
  l.Assign(same);
  l.Sort();  // already in order
  l.Move(1, 1);
  TStringList empty;
  empty.SetOnChange([&](TStrings&) { ++changed; });
  empty.Clear();
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);

  l.SetStrings(1, "Y");
  EXPECT_EQ(changed, 4);
}

TEST(StringList, ChangingHandlerCanVetoAChange) {
  TStringList l;
  l.Assign(Lines{"SELECT 1"});
  l.SetOnChanging([](TStrings&) { throw Exception("Cannot change an active data set"); });
  EXPECT_THROW(l.SetText("SELECT 2"), Exception);
  EXPECT_EQ(l.ToVector(), (Lines{"SELECT 1"}));
  EXPECT_EQ(l.UpdateCount(), 0);
}

TEST(StringList, IndexErrorsNameTheIndex) {
  TStringList l;
  l.Add("only");
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const EArgumentError& e) {
      return e.Message();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { (void)l[1]; }), "List index out of bounds (1)");
  EXPECT_EQ(message([&] { l.Delete(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(message([&] { l.Insert(2, "x"); }), "List index out of bounds (2)");
  EXPECT_EQ(message([&] { l.Move(0, 1); }), "List index out of bounds (1)");
  EXPECT_EQ(message([&] { (void)l.Objects(3); }), "List index out of bounds (3)");
  l.Insert(1, "end");  // inserting at Count appends
  EXPECT_EQ(l[1], "end");
}

TEST(StringList, ObjectsMoveWithTheirLines) {
  int first = 1;
  int second = 2;
  TStringList l;
  l.AddObject("one", &first);
  l.AddObject("two", &second);
  l.Add("three");
  l.Move(0, 2);
  EXPECT_EQ(l.ToVector(), (Lines{"two", "three", "one"}));
  EXPECT_EQ(l.ObjectAs<int*>(2), &first);
  EXPECT_EQ(l.ObjectAs<int*>(1), nullptr);
  EXPECT_EQ(l.ObjectAs<long>(0), 0);  // a different type gives T{}
  l.Exchange(0, 2);
  EXPECT_EQ(l.ObjectAs<int*>(0), &first);

  l.CustomSort([](const TStringList& list, int a, int b) {
    return static_cast<int>(list[a].size()) - static_cast<int>(list[b].size());
  });
  EXPECT_EQ(l.ToVector(), (Lines{"one", "two", "three"}));
  EXPECT_EQ(l.ObjectAs<int*>(1), &second);

  TStringList copy;
  copy.Assign(l);
  EXPECT_TRUE(copy.Equals(l));
  EXPECT_EQ(copy.ObjectAs<int*>(0), &first);
  copy.AddStrings(copy);
  EXPECT_EQ(copy.ToVector(), (Lines{"one", "two", "three", "one", "two", "three"}));
  EXPECT_FALSE(copy.Equals(l));
}

TEST(StringList, StreamsAndFilesAreUtf8WithOptionalBOM) {
  TStringStream in("\xEF\xBB\xBFline \xC3\xA9\r\nsecond");
  TStringList l;
  l.LoadFromStream(in);
  EXPECT_EQ(l.ToVector(), (Lines{"line \xC3\xA9", "second"}));

  TStringStream out;
  l.SaveToStream(out);
  EXPECT_EQ(out.DataString(), "line \xC3\xA9\r\nsecond\r\n");
  l.SetWriteBOM(true);
  TStringStream withBom;
  l.SaveToStream(withBom);
  EXPECT_EQ(withBom.DataString(), "\xEF\xBB\xBFline \xC3\xA9\r\nsecond\r\n");

  auto path = std::filesystem::temp_directory_path() / ("lumo-strings-" + std::to_string(::getpid()) + ".txt");
  l.SaveToFile(path.string());
  TStringList back;
  back.LoadFromFile(path.string());
  EXPECT_TRUE(back.Equals(l));
  std::filesystem::remove(path);
  EXPECT_THROW(back.LoadFromFile(path.string()), EFOpenError);
}

}  // namespace
}  // namespace lumo
