#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>

namespace lumo {
namespace {

struct LocaleGuard {
  std::string savedLocale = CollationLocale();
  TCodePageOverride page{DefaultCodePage()};
  ~LocaleGuard() { SetCollationLocale(savedLocale); }
};

std::vector<std::u16string> Sorted(std::vector<std::u16string> v) {
  std::stable_sort(v.begin(), v.end(),
                   [](const std::u16string& a, const std::u16string& b) { return AnsiStrCompWS(a, b) < 0; });
  return v;
}

TEST(Collation, CaseAndAccents) {
  EXPECT_EQ(CollationLocale(), "en_US");
  EXPECT_EQ(AnsiStrICompWS(u"abc", u"ABC"), 0);
  EXPECT_EQ(AnsiStrCompWS(u"abc", u"ABC"), -1);  // lower case first
  EXPECT_EQ(AnsiStrCompWS(u"ABC", u"abc"), 1);
  EXPECT_EQ(AnsiStrCompWS(u"abc", u"abc"), 0);
  EXPECT_EQ(AnsiStrICompWS(u"r\u00E9sum\u00E9", u"R\u00C9SUM\u00C9"), 0);
  EXPECT_EQ(AnsiStrICompWS(u"resume", u"r\u00E9sum\u00E9"), -1);  // accents still count
  EXPECT_EQ(AnsiStrCompWS(u"e\u0301", u"\u00E9"), 0);             // canonically equivalent
  // Letters with accents sort with their base letter, not after 'z'.
  EXPECT_EQ(AnsiStrCompWS(u"\u00E4", u"b"), -1);
  EXPECT_EQ(AnsiStrCompWS(u"a", u"\u00E4"), -1);
  EXPECT_EQ(Sorted({u"c\u00F4t\u00E9", u"c\u00F4te", u"cote", u"cot\u00E9", u"Cote"}),
            (std::vector<std::u16string>{u"cote", u"Cote", u"cot\u00E9", u"c\u00F4te", u"c\u00F4t\u00E9"}));
}

TEST(Collation, StringSortKeepsPunctuationSignificant) {
  EXPECT_NE(AnsiStrCompWS(u"co-op", u"coop"), 0);
  EXPECT_NE(AnsiStrICompWS(u"co-op", u"COOP"), 0);
  // Punctuation sorts before letters; with punctuation ignored "a-b" would follow "aa".
  EXPECT_EQ(AnsiStrCompWS(u"a-b", u"aa"), -1);
  EXPECT_EQ(AnsiStrCompWS(u"a b", u"a-b"), -1);
  EXPECT_EQ(AnsiStrCompWS(u"9", u"a"), -1);
  EXPECT_EQ(AnsiStrCompWS(u"", u"a"), -1);
  EXPECT_EQ(AnsiStrCompWS(u"ab", u"abc"), -1);
}

TEST(Collation, LengthLimitedComparisons) {
  EXPECT_EQ(AnsiStrLCompWS(u"abcX", u"abcY", 3), 0);
  EXPECT_EQ(AnsiStrLCompWS(u"abcX", u"abcY", 4), -1);
  EXPECT_EQ(AnsiStrLICompWS(u"ABCx", u"abcy", 3), 0);
  EXPECT_EQ(AnsiStrLCompWS(u"ABCx", u"abcy", 3), 1);
  EXPECT_EQ(AnsiStrLCompWS(u"ab", u"abc", 10), -1);
  EXPECT_EQ(AnsiStrLCompWS(u"x", u"y", 0), 0);
}

TEST(Collation, LocaleIsAProcessSetting) {
  LocaleGuard guard;
  EXPECT_EQ(AnsiStrCompWS(u"\u00E4", u"z"), -1);
  SetCollationLocale("sv");  // Swedish puts 'ä' after 'z'
  EXPECT_EQ(AnsiStrCompWS(u"\u00E4", u"z"), 1);
  std::thread([] { EXPECT_EQ(AnsiStrCompWS(u"\u00E4", u"z"), 1); }).join();
  SetCollationLocale("tr");
  EXPECT_EQ(AnsiUpperCase(std::string_view("i")), "\xC4\xB0");  // dotted capital I
  EXPECT_EQ(AnsiUpperCase(std::u16string_view(u"i")), u"\u0130");
  SetCollationLocale("en_US");
  EXPECT_EQ(AnsiUpperCase(std::string_view("i")), "I");
}

TEST(Collation, EightBitTextAndCaseMapping) {
  LocaleGuard guard;
  EXPECT_EQ(AnsiCompareText("Stra\xC3\x9F" "e", "STRA\xC3\x9F" "E"), 0);
  EXPECT_EQ(AnsiCompareText("b", "\xC3\x84"), 1);
  EXPECT_EQ(AnsiCompareText("a\xFF", "A\xEF\xBF\xBD"), 0);  // ill-formed byte = U+FFFD
  EXPECT_EQ(AnsiCompareStr("abc", "ABC"), -1);
  EXPECT_TRUE(AnsiSameText("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));
  EXPECT_FALSE(AnsiSameStr("a", "A"));
  EXPECT_TRUE(AnsiSameText(std::u16string_view(u"Id"), std::u16string_view(u"ID")));
  EXPECT_EQ(AnsiUpperCase(std::string_view("stra\xC3\x9F" "e id")), "STRASSE ID");
  EXPECT_EQ(AnsiLowerCase(std::string_view("\xC3\x80\xC3\x89 ABC")), "\xC3\xA0\xC3\xA9 abc");
  EXPECT_EQ(AnsiLowerCase(std::u16string_view(u"\u00C0\u00C9 ABC")), u"\u00E0\u00E9 abc");
  EXPECT_EQ(AnsiUpperCase(std::u16string_view(u"")), u"");

  SetDefaultCodePage(1252);  // 8-bit text now means cp1252
  EXPECT_EQ(AnsiCompareText("\xE9t\xE9", "\xC9T\xC9"), 0);
  EXPECT_EQ(AnsiCompareStr("\xE4", "b"), -1);
  EXPECT_EQ(AnsiUpperCase(std::string_view("\xE9t\xE9")), "\xC9T\xC9");
}

TEST(Collation, SafeFromSeveralThreads) {
  std::vector<std::u16string> words;
  for (int i = 0; i < 200; ++i) {
    std::u16string w;
    for (int j = 0, v = i * 7919; j < 5; ++j, v /= 3) w.push_back(u"aAbB\u00E9\u00C9-z"[v % 8]);
    words.push_back(w);
  }
  const auto expected = Sorted(words);
  std::vector<int> ok(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      bool good = true;
      for (int round = 0; round < 20 && good; ++round) good = Sorted(words) == expected;
      ok[static_cast<std::size_t>(t)] = good;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace
}  // namespace lumo
