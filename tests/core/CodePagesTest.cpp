#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

const std::u16string kFFFD(1, u'\xFFFD');

std::u16string Rep(int n) { return std::u16string(static_cast<std::size_t>(n), u'\xFFFD'); }

TEST(Utf8Buffers, UnicodeToUtf8NeverCutsASequence) {
  char dest[16];
  const std::u16string euro = u"ab\u20AC";  // 'a' 'b' + three-byte character
  // Room for "ab" and the terminator but not for all three bytes of the euro sign.
  for (std::size_t cap : {4u, 5u}) {
    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(UnicodeToUtf8(dest, cap, euro.data(), euro.size()), 3u) << cap;
    EXPECT_STREQ(dest, "ab");
  }
  EXPECT_EQ(UnicodeToUtf8(dest, 6, euro.data(), euro.size()), 6u);
  EXPECT_STREQ(dest, "ab\xE2\x82\xAC");

  const std::u16string emoji = u"a\U0001F600";  // surrogate pair -> four bytes
  for (std::size_t cap : {2u, 3u, 4u, 5u}) {
    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(UnicodeToUtf8(dest, cap, emoji.data(), emoji.size()), 2u) << cap;
    EXPECT_STREQ(dest, "a");
  }
  EXPECT_EQ(UnicodeToUtf8(dest, 6, emoji.data(), emoji.size()), 6u);
  EXPECT_STREQ(dest, "a\xF0\x9F\x98\x80");

  // No destination: the size needed, terminator included.
  EXPECT_EQ(UnicodeToUtf8(nullptr, 0, emoji.data(), emoji.size()), 6u);
  EXPECT_EQ(UnicodeToUtf8(nullptr, 0, euro.data(), euro.size()), 6u);
  // A destination of no bytes is left alone.
  dest[0] = 'x';
  EXPECT_EQ(UnicodeToUtf8(dest, 0, euro.data(), euro.size()), 0u);
  EXPECT_EQ(dest[0], 'x');
  EXPECT_EQ(UnicodeToUtf8(dest, 1, euro.data(), euro.size()), 1u);
  EXPECT_EQ(dest[0], '\0');
}

TEST(Utf8Buffers, Utf8ToUnicodeNeverSplitsASurrogatePair) {
  const std::string src = "a\xF0\x9F\x98\x80z";
  char16_t dest[8];
  for (std::size_t cap : {2u, 3u}) {
    std::fill(std::begin(dest), std::end(dest), u'x');
    EXPECT_EQ(Utf8ToUnicode(dest, cap, src.data(), src.size()), 2u) << cap;
    EXPECT_EQ(dest[0], u'a');
    EXPECT_EQ(dest[1], u'\0');
  }
  EXPECT_EQ(Utf8ToUnicode(dest, 4, src.data(), src.size()), 4u);
  EXPECT_EQ(std::u16string(dest, 3), u"a\U0001F600");
  EXPECT_EQ(dest[3], u'\0');
  EXPECT_EQ(Utf8ToUnicode(dest, 8, src.data(), src.size()), 5u);
  EXPECT_EQ(std::u16string(dest), u"a\U0001F600z");
  EXPECT_EQ(Utf8ToUnicode(nullptr, 0, src.data(), src.size()), 5u);
  // A malformed byte still takes one unit (U+FFFD).
  const std::string bad = "a\xFFz";
  EXPECT_EQ(Utf8ToUnicode(nullptr, 0, bad.data(), bad.size()), 4u);
  EXPECT_EQ(Utf8ToUnicode(dest, 8, bad.data(), bad.size()), 4u);
  EXPECT_EQ(std::u16string(dest), u"a\uFFFDz");
}

TEST(Utf8Conversion, MalformedSequencesBecomeReplacementCharacters) {
  // One U+FFFD per maximal ill-formed subpart.
  EXPECT_EQ(Utf8ToUtf16("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            u"a" + Rep(3) + u"b" + Rep(1) + u"c" + Rep(2) + u"d");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), Rep(2));              // overlong '/'
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), Rep(3));          // overlong, three bytes
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80x"), Rep(3) + u"x");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), Rep(4));      // above U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("ok\xE2\x82"), u"ok" + kFFFD);     // cut off at the end
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98"), kFFFD);
  EXPECT_EQ(Utf8ToUtf16("\xFE\xFF"), Rep(2));
  EXPECT_EQ(Utf8ToUtf16("\xEF\xBF\xBD"), kFFFD);  // a real U+FFFD is kept
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(IsValidUtf8("abc\xE2\x82"));
  EXPECT_TRUE(IsValidUtf8("abc\xE2\x82\xAC\xF4\x8F\xBF\xBF"));
  EXPECT_EQ(SanitizeUtf8("a\xC3(b"), "a\xEF\xBF\xBD(b");
}

TEST(Utf8Conversion, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD800x")), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"x\xDC00")), "x\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xDC00\xD800")), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\U0010FFFF\u00E9\u20AC"), "\xF4\x8F\xBF\xBF\xC3\xA9\xE2\x82\xAC");
  const char16_t lone[] = {u'a', 0xD83D, u'b'};
  char dest[8];
  EXPECT_EQ(UnicodeToUtf8(dest, sizeof dest, lone, 3), 6u);
  EXPECT_STREQ(dest, "a\xEF\xBF\xBD" "b");
}

// The hand-written path must agree with iconv on well-formed text of every
// length class, including the ASCII runs that take the fast path.
TEST(Utf8Conversion, AgreesWithIconvOnRandomText) {
  std::mt19937 rng(12345);
  std::u16string text;
  for (int i = 0; i < 20000; ++i) {
    char32_t cp;
    switch (rng() % 5) {
      case 0: case 1: cp = 0x20 + rng() % 0x5F; break;
      case 2: cp = 0x80 + rng() % 0x780; break;
      case 3: cp = 0x800 + rng() % (0xD800 - 0x800); break;
      default: cp = 0x10000 + rng() % 0x100000; break;
    }
    if (cp >= 0x10000) {
      text.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(cp));
    }
  }
  std::string utf8 = Utf16ToUtf8(text);
  iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string ref(text.size() * 4, '\0');
  char* in = reinterpret_cast<char*>(text.data());
  std::size_t inLeft = text.size() * 2;
  char* out = ref.data();
  std::size_t outLeft = ref.size();
  ASSERT_NE(iconv(cd, &in, &inLeft, &out, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(cd);
  ref.resize(ref.size() - outLeft);
  EXPECT_EQ(utf8, ref);
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_EQ(Utf8ToUtf16(utf8), text);
  // The buffer helpers take a bulk path when everything fits.
  std::string buf8(text.size() * 3 + 1, 'x');
  ASSERT_EQ(UnicodeToUtf8(buf8.data(), buf8.size(), text.data(), text.size()), utf8.size() + 1);
  EXPECT_EQ(buf8.substr(0, utf8.size() + 1), utf8 + '\0');
  std::u16string buf16(utf8.size() + 1, u'x');
  ASSERT_EQ(Utf8ToUnicode(buf16.data(), buf16.size(), utf8.data(), utf8.size()), text.size() + 1);
  EXPECT_EQ(buf16.substr(0, text.size() + 1), text + u'\0');
}

TEST(Utf8Conversion, RandomBytesAlwaysGiveWellFormedText) {
  std::mt19937 rng(777);
  for (int round = 0; round < 500; ++round) {
    std::string bytes(rng() % 64, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng() % 4 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
    std::u16string u = Utf8ToUtf16(bytes);
    std::string back = Utf16ToUtf8(u);
    ASSERT_TRUE(IsValidUtf8(back));
    ASSERT_EQ(back, SanitizeUtf8(bytes));
    ASSERT_EQ(Utf8ToUtf16(back), u);
    std::vector<char16_t> dest(u.size() + 1);
    ASSERT_EQ(Utf8ToUnicode(dest.data(), dest.size(), bytes.data(), bytes.size()), u.size() + 1);
    ASSERT_EQ(std::u16string(dest.data()).size(), std::u16string(u.c_str()).size());
    std::vector<char16_t> big(bytes.size() + 1);  // bulk path
    ASSERT_EQ(Utf8ToUnicode(big.data(), big.size(), bytes.data(), bytes.size()), u.size() + 1);
    ASSERT_EQ(std::u16string(big.data(), u.size()), u);
    std::vector<char> narrow(back.size() + 1);  // exact room: character by character
    ASSERT_EQ(UnicodeToUtf8(narrow.data(), narrow.size(), u.data(), u.size()), back.size() + 1);
    ASSERT_EQ(std::string(narrow.data(), back.size()), back);
  }
}

TEST(CodePageConversion, SingleByteAndMultiByteRoundTrips) {
  // cp1252: the euro sign sits at 0x80; 0x81 is unassigned.
  EXPECT_EQ(CodePageToUnicode("\x80 Gr\xFC\xDF" "e", 1252), u"\u20AC Gr\u00FC\u00DFe");
  EXPECT_EQ(UnicodeToCodePage(u"\u20AC Gr\u00FC\u00DFe", 1252), "\x80 Gr\xFC\xDF" "e");
  EXPECT_EQ(CodePageToUnicode("a\x81" "b", 1252), u"a\uFFFDb");
  // A character the page cannot hold becomes one '?', a surrogate pair too.
  EXPECT_EQ(UnicodeToCodePage(u"x\u4E2D\U0001F600y", 1252), "x??y");

  EXPECT_EQ(UnicodeToCodePage(u"\u4E2D\u6587", 936), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(CodePageToUnicode("\xD6\xD0\xCE\xC4", 936), u"\u4E2D\u6587");
  EXPECT_EQ(CodePageToUnicode("a\xD6", 936), u"a\uFFFD");  // lead byte without trail byte
  EXPECT_EQ(UnicodeToCodePage(u"\u65E5\u672C", 932), "\x93\xFA\x96\x7B");
  EXPECT_EQ(CodePageToUnicode("\x93\xFA\x96\x7B", 932), u"\u65E5\u672C");
  EXPECT_EQ(ConvertCodePage("\x93\xFA\x96\x7B", 932, CP_UTF8), "\xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(ConvertCodePage("\xE6\x97\xA5", CP_UTF8, 54936), UnicodeToCodePage(u"\u65E5", 54936));

  const std::u16string mixed = u"A\u00E9\U0001F600";
  EXPECT_EQ(UnicodeToCodePage(mixed, CP_UTF16BE), std::string("\x00" "A\x00\xE9\xD8\x3D\xDE\x00", 8));
  EXPECT_EQ(CodePageToUnicode(UnicodeToCodePage(mixed, CP_UTF16LE), CP_UTF16LE), mixed);
  EXPECT_EQ(CodePageToUnicode(std::string("A\x00" "B", 3), CP_UTF16LE), u"A\uFFFD");
  EXPECT_EQ(CodePageToUnicode(UnicodeToCodePage(mixed, 12001), 12001), mixed);
  EXPECT_EQ(UnicodeToCodePage(u"a\u00E9", CP_ASCII), "a?");
  EXPECT_EQ(CodePageToUnicode("a\xE9", CP_ASCII), u"a\uFFFD");
  EXPECT_EQ(CodePageToUnicode("a\xE9", CP_LATIN1), u"a\u00E9");
}

TEST(CodePageConversion, UnknownPagesAreRejected) {
  try {
    CodePageToUnicode("x", 12345);
    FAIL() << "no exception";
  } catch (const EArgumentError& e) {
    EXPECT_STREQ(e.what(), "Invalid codepage (12345)");
  }
  EXPECT_THROW(UnicodeToCodePage(u"x", -7), EArgumentError);
  EXPECT_THROW(CodePageMaxBytesPerChar(4), EArgumentError);
  EXPECT_FALSE(IsCodePageSupported(12345));
  EXPECT_TRUE(IsCodePageSupported(1258));
  EXPECT_TRUE(IsCodePageSupported(28605));
  EXPECT_EQ(CodePageMaxBytesPerChar(CP_UTF8), 3);
  EXPECT_EQ(CodePageMaxBytesPerChar(54936), 4);
  try {
    SetDefaultCodePage(CP_UTF16LE);  // not an 8-bit page
    FAIL() << "no exception";
  } catch (const EArgumentError& e) {
    EXPECT_STREQ(e.what(), "Invalid codepage (1200)");
  }
  EXPECT_EQ(DefaultCodePage(), CP_UTF8);
}

TEST(CodePageConversion, ProcessCodePageDrivesTheAnsiHelpers) {
  TCodePageOverride guard(DefaultCodePage());
  EXPECT_EQ(AnsiToUtf8("caf\xC3\xA9\xFF"), "caf\xC3\xA9\xEF\xBF\xBD");
  SetDefaultCodePage(1252);
  EXPECT_EQ(CodePageIconvName(CP_ACP), std::string("CP1252"));
  EXPECT_EQ(AnsiToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD"), "caf\xE9 \x80 ?");
  EXPECT_EQ(AnsiToUnicode("\xE9"), u"\u00E9");
  EXPECT_EQ(UnicodeToAnsi(u"\u00E9"), "\xE9");
  // Other threads see the page and can convert at the same time.
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &ok] {
      bool good = DefaultCodePage() == 1252;
      for (int i = 0; i < 200 && good; ++i)
        good = UnicodeToCodePage(CodePageToUnicode("\xD6\xD0", 936), 936) == "\xD6\xD0" &&
               AnsiToUtf8("\x80") == "\xE2\x82\xAC";
      ok[static_cast<std::size_t>(t)] = good;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok, std::vector<int>(4, 1));
}

TEST(WideStrings, CopyLengthAndTrim) {
  char16_t buf[8];
  StrLCopyW(buf, u"abcdef", 3);
  EXPECT_EQ(std::u16string(buf), u"abc");
  StrLCopyW(buf, u"ab", 5);
  EXPECT_EQ(std::u16string(buf), u"ab");
  EXPECT_EQ(StrLenW(u"hello"), 5u);
  EXPECT_EQ(StrLenW(nullptr), 0u);

  char text[] = "name  \0 x";
  EXPECT_EQ(StrTrim(text, -1), 4u);
  EXPECT_STREQ(text, "name");
  char fixed[] = {'a', ' ', 'b', ' ', '\0', ' ', 'z'};
  EXPECT_EQ(StrTrim(fixed, 6), 3u);  // only the first six characters are looked at
  EXPECT_EQ(std::string(fixed, 7), std::string("a b\0\0\0z", 7));
  char16_t wide[] = u"id \0\0";
  EXPECT_EQ(StrTrimW(wide, 5), 2u);
  EXPECT_EQ(std::u16string(wide, 5), std::u16string(u"id\0\0\0", 5));
}

}  // namespace
}  // namespace lumo
