// ASCII case helpers: only A-Z and a-z change; bytes of UTF-8 text and
// the characters next to the letter ranges stay as they are.
#include <gtest/gtest.h>

#include <lumokit/core/Ascii.h>

namespace lumo {
namespace {

TEST(Ascii, MapsAndComparesOnlyAsciiLetters) {
  EXPECT_EQ(AsciiUpperCase("gbk_Chinese_ci \xC3\xA9@[`{"), "GBK_CHINESE_CI \xC3\xA9@[`{");
  EXPECT_EQ(AsciiLowerCase("SELECT \xC3\x89@[`{"), "select \xC3\x89@[`{");
  EXPECT_TRUE(SameTextAscii("Utf8mb4", "UTF8MB4"));
  EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89")) << "no folding beyond ASCII";
  EXPECT_FALSE(SameTextAscii("@", "`"));
  EXPECT_FALSE(SameTextAscii("abc", "ab"));
  EXPECT_EQ(AsciiUpper(static_cast<unsigned char>(0xE9)), 0xE9);
}

TEST(Ascii, ComparesIgnoringAsciiCase) {
  EXPECT_EQ(CompareTextAscii("charset", "CharSet"), 0);
  EXPECT_LT(CompareTextAscii("Charset", "compress"), 0);
  EXPECT_GT(CompareTextAscii("UseUnicode", "direct"), 0);
  EXPECT_LT(CompareTextAscii("ab", "ABC"), 0) << "a prefix orders first";
  EXPECT_GT(CompareTextAscii("\xC3\xA9", "z"), 0) << "bytes compared unsigned";
  EXPECT_GT(CompareTextAscii("a_", "aZ"), 0) << "letters fold to upper case";
}

}  // namespace
}  // namespace lumo
