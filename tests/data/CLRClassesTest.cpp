#include <gtest/gtest.h>

#include <climits>

#include <lumokit/core/CodePages.h>
#include <lumokit/data/CLRClasses.h>

namespace lumo {
namespace {

TBytes B(std::initializer_list<int> v) {
  TBytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

TEST(Encoding, ClassInstancesAndCodePages) {
  EXPECT_EQ(Encoding::UTF8().GetBytes(u"\u00E9\u20AC"), B({0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
  EXPECT_EQ(Encoding::Unicode().GetBytes(u"A\u20AC"), B({0x41, 0x00, 0xAC, 0x20}));
  EXPECT_EQ(Encoding::BigEndianUnicode().GetBytes(u"A\u20AC"), B({0x00, 0x41, 0x20, 0xAC}));
  EXPECT_EQ(Encoding::ASCII().GetBytes(u"a\u00E9"), B({'a', '?'}));
  EXPECT_EQ(Encoding::Unicode().GetString(B({0x41, 0x00, 0xAC, 0x20})), u"A\u20AC");
  EXPECT_EQ(Encoding::Unicode().GetString(B({0x41, 0x00, 0xAC, 0x20}), 2, 2), u"\u20AC");

  const Encoding& cp1252 = Encoding::GetEncoding(1252);
  EXPECT_EQ(&cp1252, &Encoding::GetEncoding(1252));
  EXPECT_EQ(cp1252.CodePage(), 1252);
  EXPECT_EQ(cp1252.GetWideString(B({0x80, 'x'})), u"\u20ACx");
  EXPECT_EQ(cp1252.GetAnsiString(B({0x80})), "\xE2\x82\xAC");  // process page is UTF-8
  EXPECT_EQ(cp1252.GetBytes(std::string_view("\xE2\x82\xAC")), B({0x80}));
  EXPECT_EQ(Encoding::Convert(cp1252, Encoding::UTF8(), B({'a', 0xE9})), B({'a', 0xC3, 0xA9}));
  EXPECT_EQ(Encoding::Convert(Encoding::UTF8(), Encoding::Unicode(), B({'x', 0xC3, 0xA9, 'y'}), 1, 2),
            B({0xE9, 0x00}));
  try {
    Encoding::GetEncoding(12345);
    FAIL() << "no exception";
  } catch (const ArgumentException& e) {
    EXPECT_STREQ(e.what(), "Invalid codepage (12345)");
  }
  EXPECT_THROW(Encoding::UTF8().GetString(B({1, 2, 3}), 2, 2), ArgumentException);
  EXPECT_THROW(Encoding::UTF8().GetString(B({1, 2, 3}), SIZE_MAX, 2), ArgumentException);
}

TEST(Encoding, DefaultFollowsTheProcessCodePage) {
  EXPECT_EQ(Encoding::Default().CodePage(), CP_UTF8);
  TCodePageOverride page(1251);
  EXPECT_EQ(Encoding::Default().CodePage(), 1251);
  EXPECT_EQ(&Encoding::GetEncoding(CP_ACP), &Encoding::Default());
  EXPECT_EQ(Encoding::Default().GetBytes(u"\u0416"), B({0xC6}));
  // 8-bit text is now cp1251: converting it into UTF-8 bytes.
  EXPECT_EQ(Encoding::UTF8().GetBytes(std::string_view("\xC6")), B({0xD0, 0x96}));
}

TEST(Encoding, MaximumCounts) {
  EXPECT_EQ(Encoding::UTF8().GetMaxByteCount(10), 30u);
  EXPECT_EQ(Encoding::Unicode().GetMaxByteCount(10), 20u);
  EXPECT_EQ(Encoding::GetEncoding(54936).GetMaxByteCount(10), 40u);
  EXPECT_EQ(Encoding::ASCII().GetMaxByteCount(10), 10u);
  EXPECT_EQ(Encoding::Unicode().GetMaxCharCount(5), 3u);
  EXPECT_EQ(Encoding::UTF8().GetMaxCharCount(5), 5u);
  EXPECT_THROW(Encoding::UTF8().GetMaxByteCount(SIZE_MAX / 2), ArgumentException);
  // The bounds hold for real conversions.
  const std::u16string text = u"\u4E2D\U0001F600a";
  EXPECT_LE(Encoding::GetEncoding(54936).GetBytes(text).size(), Encoding::GetEncoding(54936).GetMaxByteCount(4));
  TBytes odd = B({0x41, 0x00, 0x42});
  EXPECT_LE(Encoding::Unicode().GetString(odd).size(), Encoding::Unicode().GetMaxCharCount(odd.size()));
}

TEST(Marshalling, UnalignedLittleEndianAccess) {
  TBytes buf(16, 0);
  Marshal::WriteInt32(buf, 1, 0x11223344);
  EXPECT_EQ(buf[1], 0x44);
  EXPECT_EQ(buf[4], 0x11);
  EXPECT_EQ(Marshal::ReadInt32(buf, 1), 0x11223344);
  Marshal::WriteInt64(buf.data(), 7, -2);
  EXPECT_EQ(Marshal::ReadInt64(buf.data(), 7), -2);
  EXPECT_EQ(Marshal::ReadByte(buf, 14), 0xFF);
  EXPECT_EQ(Marshal::ReadByte(buf, 15), 0);
  Marshal::WriteInt16(buf, 3, -32768);
  EXPECT_EQ(Marshal::ReadInt16(buf.data(), 3), -32768);
  int anchor = 0;
  Marshal::WriteIntPtr(buf.data(), 5, &anchor);
  EXPECT_EQ(Marshal::ReadIntPtr(buf.data(), 5), &anchor);

  EXPECT_THROW(Marshal::ReadInt32(buf, 13), ArgumentException);
  EXPECT_THROW(Marshal::WriteInt64(buf, 9, 1), ArgumentException);
  EXPECT_THROW(Marshal::ReadInt16(buf, SIZE_MAX), ArgumentException);
  EXPECT_NO_THROW(Marshal::ReadInt64(buf, 8));

  char out[4] = {};
  Marshal::Copy(B({1, 2, 3, 4, 5}), 1, out, 4);
  EXPECT_EQ(out[3], 5);
  EXPECT_THROW(Marshal::Copy(B({1, 2}), 1, out, 2), ArgumentException);
  TBytes dst(3, 0);
  Marshal::Copy("xy", dst, 1, 2);
  EXPECT_EQ(dst, B({0, 'x', 'y'}));
  EXPECT_EQ(Marshal::PtrToStringAnsi(nullptr), "");
  EXPECT_EQ(Marshal::PtrToStringUni(u"ab\0c", 4), std::u16string(u"ab\0c", 4));
}

TEST(Marshalling, BitConverterAndBuffer) {
  EXPECT_EQ(BitConverter::GetBytes(std::int16_t(-2)), B({0xFE, 0xFF}));
  EXPECT_EQ(BitConverter::GetBytes(std::uint32_t(0x01020304)), B({4, 3, 2, 1}));
  EXPECT_EQ(BitConverter::GetBytes(true), B({1}));
  EXPECT_EQ(BitConverter::GetBytes(1.0), B({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(BitConverter::ToDouble(BitConverter::GetBytes(-1.5), 0), -1.5);
  EXPECT_EQ(BitConverter::ToSingle(BitConverter::GetBytes(3.25f), 0), 3.25f);
  EXPECT_EQ(BitConverter::ToUInt64(BitConverter::GetBytes(~0ULL), 0), ~0ULL);
  EXPECT_EQ(BitConverter::Int64BitsToDouble(BitConverter::DoubleToInt64Bits(2.5)), 2.5);
  EXPECT_THROW(BitConverter::ToInt32(B({1, 2, 3}), 0), ArgumentException);

  TBytes a = B({1, 2, 3, 4, 5});
  Buffer::BlockCopy(a, 0, a, 1, 4);  // overlapping
  EXPECT_EQ(a, B({1, 1, 2, 3, 4}));
  EXPECT_THROW(Buffer::BlockCopy(a, 2, a, 0, 4), ArgumentException);
  Buffer::SetByte(a, 4, 9);
  EXPECT_EQ(Buffer::GetByte(a, 4), 9);
  EXPECT_THROW(Buffer::GetByte(a, 5), ArgumentException);
}

TEST(StringBuilder, AppendInsertReplace) {
  WideStringBuilder sb;
  sb.Append(u"SELECT ").Append(u"a, b, c", 0, 4).Append(u' ').Append(u'*', 3);
  EXPECT_EQ(sb.ToString(), u"SELECT a, b ***");
  sb.SetLength(sb.Length() - 4);
  EXPECT_EQ(sb.ToString(), u"SELECT a, b");
  sb.Insert(7, u"DISTINCT ").Insert(0, u"/*x*/ ").Insert(sb.Length(), u" FROM t");
  EXPECT_EQ(sb.ToString(), u"/*x*/ SELECT DISTINCT a, b FROM t");
  sb.Replace(u", ", u" || ");
  EXPECT_EQ(sb.ToString(), u"/*x*/ SELECT DISTINCT a || b FROM t");
  sb.Replace(u"/*x*/ ", u"");
  EXPECT_EQ(sb.ToString(), u"SELECT DISTINCT a || b FROM t");
  sb.Replace(u"nothing", u"x");
  EXPECT_EQ(sb.Length(), 29u);
  EXPECT_EQ(sb[0], u'S');

  EXPECT_THROW(sb.Replace(u"", u"x"), ArgumentException);
  EXPECT_THROW(sb.Insert(30, u"x"), ArgumentException);
  EXPECT_THROW(sb.Append(u"abc", 2, 2), ArgumentException);
  EXPECT_THROW(sb[29], ArgumentException);

  AnsiStringBuilder ab("x");
  ab.Append(ab.View()).Append(ab.View()).Append(ab);  // appending itself across growth
  EXPECT_EQ(ab.ToString(), "xxxxxxxx");
  ab.SetLength(10);
  EXPECT_EQ(ab.ToString(), std::string("xxxxxxxx\0\0", 10));
  ab.Clear();
  EXPECT_EQ(ab.ToString(), "");
}

TEST(StringBuilder, GrowthRule) {
  AnsiStringBuilder sb(16);
  EXPECT_EQ(sb.Capacity(), 16u);
  sb.Append(std::string(16, 'a'));
  EXPECT_EQ(sb.Capacity(), 16u);  // fits exactly
  sb.Append('b');                 // needs 17: 17 + 16 + 16 / 2
  EXPECT_EQ(sb.Capacity(), 41u);
  sb.Append(std::string(30, 'c'));  // needs 47: 47 + 17 + 41 / 2
  EXPECT_EQ(sb.Capacity(), 84u);
  EXPECT_EQ(sb.Length(), 47u);
  EXPECT_EQ(sb.ToString(), std::string(16, 'a') + "b" + std::string(30, 'c'));
}

}  // namespace
}  // namespace lumo
