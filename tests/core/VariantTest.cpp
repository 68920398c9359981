#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <lumokit/core/Variant.h>

namespace lumo {
namespace {

TBcd B(const char* text) { return StrToBcd(text, InvariantFormatSettings()); }

TEST(Variant, TypeCodes) {
  struct Case {
    Variant v;
    std::uint16_t code;
    const char* name;
  };
  const Case cases[] = {
      {Variant(), 0, "Empty"},
      {Variant::Null(), 1, "Null"},
      {Variant(std::int16_t(1)), 2, "Smallint"},
      {Variant(1), 3, "Integer"},
      {Variant(1.5f), 4, "Single"},
      {Variant(1.5), 5, "Double"},
      {Variant(Currency::FromScaled(1)), 6, "Currency"},
      {Variant::FromDate(1.0), 7, "Date"},
      {Variant(true), 11, "Boolean"},
      {Variant(std::int8_t(1)), 16, "ShortInt"},
      {Variant(std::uint8_t(1)), 17, "Byte"},
      {Variant(std::uint16_t(1)), 18, "Word"},
      {Variant(1u), 19, "LongWord"},
      {Variant(1LL), 20, "Int64"},
      {Variant(1ULL), 21, "UInt64"},
      {Variant("a"), 0x100, "String"},
      {Variant(u"a"), 0x102, "UnicodeString"},
      {Variant::FromBytes({1, 2}), 0x2011, "Array Byte"},
      {Variant::UnassignedBytes(), 0x2011, "Array Byte"},
      {Variant::FromArray({Variant(1)}), 0x200C, "Array Variant"},
      {Variant(B("1.5")), varFMTBcd, "FMTBcd"},
      {Variant(TSQLTimeStamp{}), varSQLTimeStamp, "SQLTimeStamp"},
      {Variant(NewShared<TSharedObject>()), 0x4000, "SharedObject"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.v.VarType(), c.code) << c.name;
    EXPECT_EQ(VarTypeAsText(c.v.VarType()), c.name);
  }
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_FALSE(Variant::Null().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNullOrEmpty());
  EXPECT_TRUE(Variant::UnassignedBytes().IsUnassignedBytes());
  EXPECT_FALSE(Variant::FromBytes({}).IsUnassignedBytes());
  EXPECT_EQ(Variant::UnassignedBytes().BytesPtr(), nullptr);
  ASSERT_NE(Variant::FromBytes({}).BytesPtr(), nullptr);
  EXPECT_TRUE(Variant(TSharedRef<TSharedObject>()).IsNull());
}

TEST(Variant, IntegerConversionsAreRangeCheckedNeverClamped) {
  EXPECT_EQ(Variant(127).AsInt8(), 127);
  EXPECT_THROW(Variant(128).AsInt8(), EVariantOverflowError);
  EXPECT_THROW(Variant(-1).AsUInt8(), EVariantOverflowError);
  EXPECT_THROW(Variant(-1).AsUInt64(), EVariantOverflowError);
  EXPECT_THROW(Variant(65536).AsUInt16(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::numeric_limits<std::uint64_t>::max()).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(Variant(std::numeric_limits<std::uint64_t>::max()).AsUInt64(), UINT64_MAX);
  EXPECT_EQ(Variant(INT64_MIN).AsInt64(), INT64_MIN);
  EXPECT_THROW(Variant(1e10).AsInt32(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::nan("")).AsInt32(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::numeric_limits<double>::infinity()).AsInt64(), EVariantOverflowError);
  // Floats and currency round half away from zero.
  EXPECT_EQ(Variant(2.5).AsInt32(), 3);
  EXPECT_EQ(Variant(-2.5).AsInt32(), -3);
  EXPECT_EQ(Variant(2.4999).AsInt32(), 2);
  EXPECT_EQ(Variant(Currency::FromScaled(-25000)).AsInt32(), -3);
  EXPECT_EQ(Variant(B("-7.5")).AsInt16(), -8);
  EXPECT_THROW(Variant(B("1000000000000000000000000000000")).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(Variant(true).AsInt32(), 1);
  EXPECT_EQ(Variant().AsInt32(), 0);
  // Text is read strictly as an integer.
  EXPECT_EQ(Variant(" -42 ").AsInt32(), -42);
  EXPECT_EQ(Variant(u"+7").AsInt64(), 7);
  EXPECT_THROW(Variant("1.5").AsInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant("12abc").AsInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant("").AsInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant("99999999999999999999").AsInt64(), EVariantOverflowError);
  EXPECT_THROW(Variant("300").AsUInt8(), EVariantOverflowError);
  try {
    Variant(300).AsInt8();
    ADD_FAILURE();
  } catch (const EVariantOverflowError& e) {
    EXPECT_STREQ(e.what(), "Arithmetic overflow converting variant of type (Integer) into type (ShortInt)");
  }
  try {
    Variant::Null().AsInt32();
    ADD_FAILURE();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
  }
  EXPECT_THROW(Variant::FromBytes({1}).AsInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant(TSQLTimeStamp{}).AsInt32(), EVariantTypeCastError);
  // Errors are conversion errors for callers that catch the general kind.
  EXPECT_THROW(Variant("x").AsInt32(), EConvertError);
}

TEST(Variant, FloatCurrencyBooleanAndBcdConversions) {
  EXPECT_EQ(Variant(" 2.5 ").AsDouble(), 2.5);
  EXPECT_EQ(Variant(u"1e3").AsDouble(), 1000.0);
  EXPECT_THROW(Variant("2,5").AsDouble(), EVariantTypeCastError);
  EXPECT_EQ(Variant(Currency::FromScaled(12345)).AsDouble(), 1.2345);
  EXPECT_EQ(Variant(B("0.1")).AsDouble(), 0.1);
  EXPECT_THROW(Variant(1e300).AsSingle(), EVariantOverflowError);
  EXPECT_EQ(Variant(0.1).AsSingle(), 0.1f);

  EXPECT_EQ(Variant(1.23456).AsCurrency().Scaled, 12346);
  EXPECT_EQ(Variant(-7).AsCurrency().Scaled, -70000);
  EXPECT_EQ(Variant("1.5").AsCurrency().Scaled, 15000);
  EXPECT_EQ(Variant(B("1.00005")).AsCurrency().Scaled, 10001);
  EXPECT_THROW(Variant(INT64_MAX).AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant("1e30").AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant("x").AsCurrency(), EVariantTypeCastError);

  EXPECT_TRUE(Variant(-3).AsBoolean());
  EXPECT_TRUE(Variant(0.5).AsBoolean());
  EXPECT_FALSE(Variant(0).AsBoolean());
  EXPECT_TRUE(Variant("true").AsBoolean());
  EXPECT_FALSE(Variant("0").AsBoolean());
  EXPECT_TRUE(Variant(B("0.001")).AsBoolean());
  EXPECT_FALSE(Variant().AsBoolean());
  EXPECT_THROW(Variant("perhaps").AsBoolean(), EVariantTypeCastError);

  EXPECT_EQ(BcdToStr(Variant(UINT64_MAX).AsBcd()), "18446744073709551615");
  EXPECT_EQ(BcdToStr(Variant(0.1).AsBcd()), "0.1");
  EXPECT_EQ(BcdToStr(Variant("1e3").AsBcd()), "1000");
  EXPECT_EQ(BcdToStr(Variant(Currency::FromScaled(-5)).AsBcd()), "-0.0005");
  EXPECT_THROW(Variant(std::string(70, '9')).AsBcd(), EVariantOverflowError);
  EXPECT_THROW(Variant("abc").AsBcd(), EVariantTypeCastError);
}

TEST(Variant, TextConversions) {
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(-5).AsString(), "-5");
  EXPECT_EQ(Variant(0.1).AsString(), "0.1");
  EXPECT_EQ(Variant(0.1f).AsString(), "0.1");
  EXPECT_EQ(Variant(1e20).AsString(), "1E20");
  EXPECT_EQ(Variant(Currency::FromScaled(15000)).AsString(), "1.5");
  EXPECT_EQ(Variant(B("-0.50")).AsString(), "-0.5");
  EXPECT_EQ(Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)).AsString(), "2024-01-02 03:04:05");
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_THROW(Variant::Null().AsString(), EVariantTypeCastError);
  EXPECT_EQ(VarToStr(Variant::Null()), "");
  EXPECT_EQ(Variant::FromBytes({'h', 'i'}).AsString(), "hi");
  EXPECT_THROW(Variant::FromArray({}).AsString(), EVariantTypeCastError);

  // 8-bit text is UTF-8; wide text is UTF-16, astral characters as pairs.
  const std::string utf8 = "z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // z é € 😀
  const std::u16string utf16 = u"z\u00E9\u20AC\U0001F600";
  EXPECT_EQ(Variant(utf8).AsWideString(), utf16);
  EXPECT_EQ(Variant(utf16).AsString(), utf8);
  EXPECT_EQ(Variant("\xFF\xC3").AsWideString(), u"\uFFFD\uFFFD");
  EXPECT_EQ(Variant(std::u16string(1, char16_t(0xD800))).AsString(), "\xEF\xBF\xBD");
  EXPECT_EQ(Variant(utf16).AsBytes().size(), utf8.size());

  {
    TFormatSettings comma;
    comma.DecimalSeparator = ',';
    comma.TrueBoolStr = "Yes";
    TFormatSettingsOverride scope(comma);
    EXPECT_EQ(Variant(2.5).AsString(), "2,5");
    EXPECT_EQ(Variant("2,5").AsDouble(), 2.5);
    EXPECT_EQ(Variant(true).AsString(), "Yes");
    EXPECT_TRUE(Variant("yes").AsBoolean());
  }
}

TEST(Variant, DatesAndTimeStamps) {
  const TDateTime dt = EncodeDateTime(2021, 12, 31, 23, 59, 58, 0);
  EXPECT_EQ(Variant("2021-12-31 23:59:58").AsDate(), dt);
  EXPECT_EQ(Variant(u"2021-12-31").AsDate(), EncodeDate(2021, 12, 31));
  EXPECT_THROW(Variant("31/12/2021 x").AsDate(), EVariantTypeCastError);
  EXPECT_EQ(Variant(45000).AsDate(), 45000.0);
  EXPECT_THROW(Variant(true).AsDate(), EVariantTypeCastError);
  EXPECT_EQ(Variant::FromDate(dt).AsDouble(), dt);

  TSQLTimeStamp ts = Variant::FromDate(dt).AsSQLTimeStamp();
  EXPECT_EQ(ts.Year, 2021);
  EXPECT_EQ(ts.Second, 58);
  EXPECT_EQ(Variant(ts).AsDate(), dt);
  EXPECT_EQ(Variant(ts).AsString(), "2021-12-31 23:59:58");
  EXPECT_EQ(Variant("2021-12-31 23:59:58.125").AsSQLTimeStamp().Fractions, 125u);
  TSQLTimeStamp zero = Variant("0000-00-00 00:00:00").AsSQLTimeStamp();
  EXPECT_EQ(zero.Year, 0);
  EXPECT_EQ(Variant(zero).AsDate(), 0.0) << "a zero date is a time of day alone";
  TSQLTimeStamp badMonth = ts;
  badMonth.Month = 13;
  EXPECT_THROW(Variant(badMonth).AsDate(), EVariantTypeCastError);
  EXPECT_THROW(Variant(1e12).AsSQLTimeStamp(), EVariantOverflowError);

  // A date made from micros keeps them past the double's precision.
  std::int64_t far = 0;
  ASSERT_TRUE(TryEncodeMicros({9999, 12, 31, 23, 59, 59, 999999}, far));
  const Variant exact = Variant::FromDateMicros(far);
  EXPECT_EQ(exact.VarType(), varDate);
  EXPECT_EQ(Variant(exact).AsDateMicros(), far);
  EXPECT_EQ(VarAsType(exact, varDate).AsDateMicros(), far);
  EXPECT_NE(exact, Variant::FromDateMicros(far - 1));
  EXPECT_EQ(VarCompare(Variant::FromDateMicros(far - 1), exact), -1);
  EXPECT_EQ(Variant("2026-03-04 05:06:07.019400").AsDateMicros() % USecsPerSec, 19400);
  EXPECT_EQ(Variant::FromDate(0.75).AsDateMicros(), 18 * 3600 * USecsPerSec);
}

TEST(Variant, VarAsTypeProducesTheTargetKind) {
  const std::uint16_t targets[] = {varBoolean, varShortInt, varSmallint, varInteger, varInt64, varByte,
                                   varWord,    varLongWord, varUInt64,   varSingle,  varDouble, varCurrency,
                                   varDate,    varString,   varUString,  varFMTBcd};
  for (std::uint16_t t : targets) {
    EXPECT_EQ(VarAsType(Variant(1), t).VarType(), t) << VarTypeAsText(t);
    if (t != varDate) {
      EXPECT_EQ(VarAsType(Variant("1"), t).VarType(), t) << VarTypeAsText(t);
    }
  }
  EXPECT_EQ(VarAsType(Variant(1), varDate).AsDouble(), 1.0);
  EXPECT_EQ(VarAsType(Variant("1"), varOleStr).VarType(), varUString);
  EXPECT_EQ(VarAsType(Variant("ab"), varArray | varByte).AsBytes(), (Variant::Bytes{'a', 'b'}));
  EXPECT_TRUE(VarAsType(Variant(5), varNull).IsNull());
  EXPECT_THROW(VarAsType(Variant::Null(), varInteger), EVariantTypeCastError);
  EXPECT_THROW(VarAsType(Variant(1), 0x0999), EVariantTypeCastError);
}

TEST(Variant, OrdinaryEqualityAcrossKinds) {
  // Equal pairs.
  const std::pair<Variant, Variant> equal[] = {
      {Variant(), Variant()},
      {Variant::Null(), Variant::Null()},
      {Variant(1), Variant(1.0)},
      {Variant(1), Variant(std::uint64_t(1))},
      {Variant(1), Variant(Currency::FromScaled(10000))},
      {Variant(1), Variant(B("1.00"))},
      {Variant(true), Variant(1)},
      {Variant(0.1), Variant(B("0.1"))},
      {Variant(Currency::FromScaled(1000)), Variant(B("0.1"))},
      {Variant("12"), Variant(12)},
      {Variant("0.1"), Variant(0.1)},
      {Variant("abc"), Variant(u"abc")},
      {Variant("\xC3\xA9"), Variant(u"\u00E9")},
      {Variant("2024-01-02"), Variant::FromDate(EncodeDate(2024, 1, 2))},
      {Variant::FromBytes({1, 2}), Variant::FromBytes({1, 2})},
      {Variant::UnassignedBytes(), Variant::UnassignedBytes()},
      {Variant::FromArray({Variant(1), Variant("x")}), Variant::FromArray({Variant(1.0), Variant(u"x")})},
      {Variant(INT64_MAX), Variant(B("9223372036854775807"))},
      {Variant(std::nan("")), Variant(std::nan(""))},
  };
  for (const auto& [a, b] : equal) {
    EXPECT_TRUE(VarSameValue(a, b)) << VarToStr(a) << " vs " << VarToStr(b);
    EXPECT_TRUE(VarSameValue(b, a)) << VarToStr(b) << " vs " << VarToStr(a);
  }
  // Unequal pairs, none of which raises.
  const std::pair<Variant, Variant> unequal[] = {
      {Variant(), Variant::Null()},
      {Variant(), Variant(0)},
      {Variant(), Variant("")},
      {Variant::Null(), Variant(0)},
      {Variant(INT64_MAX), Variant(9223372036854775807.0)},  // the double is 2^63
      {Variant(std::uint64_t(UINT64_MAX)), Variant(-1)},
      {Variant("abc"), Variant(1)},
      {Variant("abc"), Variant("ABC")},
      {Variant::FromBytes({}), Variant::UnassignedBytes()},
      {Variant::FromBytes({1, 2}), Variant::FromBytes({1, 2, 3})},
      {Variant::FromBytes({'a'}), Variant("a")},
      {Variant(NewShared<TSharedObject>()), Variant(NewShared<TSharedObject>())},
      {Variant::FromArray({Variant(1)}), Variant(1)},
      {Variant(0.1), Variant(Currency::FromScaled(1001))},
  };
  for (const auto& [a, b] : unequal) {
    EXPECT_FALSE(VarSameValue(a, b)) << a.VarType() << " vs " << b.VarType();
    EXPECT_FALSE(VarSameValue(b, a));
  }
  auto obj = NewShared<TSharedObject>();
  EXPECT_TRUE(VarSameValue(Variant(obj), obj->ToVariant()));
  EXPECT_TRUE(Variant(2) == Variant(2.0));
}

TEST(Variant, DatasetEqualityRules) {
  // Null equals Null; Empty is not Null.
  EXPECT_TRUE(VarEqual(Variant::Null(), Variant::Null()));
  EXPECT_FALSE(VarEqual(Variant::Null(), Variant()));
  EXPECT_FALSE(VarEqual(Variant::Null(), Variant(0)));
  EXPECT_FALSE(VarEqual(Variant(""), Variant::Null()));
  // Wide against 8-bit text compares as UTF-16.
  EXPECT_TRUE(VarEqual(Variant(u"caf\u00E9"), Variant("caf\xC3\xA9")));
  EXPECT_FALSE(VarEqual(Variant(u"a"), Variant("A")));
  // An empty text equals only another empty text.
  EXPECT_TRUE(VarEqual(Variant(""), Variant(u"")));
  EXPECT_TRUE(VarEqual(Variant(""), Variant("")));
  EXPECT_FALSE(VarEqual(Variant(""), Variant()));
  EXPECT_FALSE(VarEqual(Variant(""), Variant(0)));
  EXPECT_FALSE(VarEqual(Variant(""), Variant::FromBytes({})));
  // Byte arrays: lengths and bytes; unassigned only equals unassigned.
  EXPECT_TRUE(VarEqual(Variant::FromBytes({9, 8}), Variant::FromBytes({9, 8})));
  EXPECT_FALSE(VarEqual(Variant::FromBytes({9, 8}), Variant::FromBytes({9, 7})));
  EXPECT_TRUE(VarEqual(Variant::UnassignedBytes(), Variant::UnassignedBytes()));
  EXPECT_FALSE(VarEqual(Variant::UnassignedBytes(), Variant::FromBytes({})));
  EXPECT_TRUE(VarEqual(Variant::FromBytes({}), Variant::FromBytes({})));
  // The rest is ordinary equality.
  EXPECT_TRUE(VarEqual(Variant(3), Variant(B("3.000"))));
  EXPECT_TRUE(VarEqual(Variant("3"), Variant(3)));

  // Strict equality also wants the same type code.
  EXPECT_FALSE(VarStrictEqual(Variant(1), Variant(1.0)));
  EXPECT_TRUE(VarStrictEqual(Variant(1.0), Variant(1.0)));
  EXPECT_TRUE(VarStrictEqual(Variant::Null(), Variant::Null()));
  EXPECT_FALSE(VarStrictEqual(Variant("a"), Variant(u"a")));
}

TEST(Variant, Ordering) {
  EXPECT_EQ(VarCompare(Variant(), Variant::Null()), -1);
  EXPECT_EQ(VarCompare(Variant::Null(), Variant(-1e300)), -1);
  EXPECT_EQ(VarCompare(Variant(5), Variant::Null()), 1);
  EXPECT_EQ(VarCompare(Variant(1), Variant(2.5)), -1);
  EXPECT_EQ(VarCompare(Variant(std::uint64_t(UINT64_MAX)), Variant(INT64_MAX)), 1);
  EXPECT_EQ(VarCompare(Variant(INT64_MAX), Variant(9223372036854775807.0)), -1);
  EXPECT_EQ(VarCompare(Variant(B("0.3")), Variant(0.3)), 0) << "doubles read as their shortest text";
  EXPECT_EQ(VarCompare(Variant(B("0.30000000000000001")), Variant(0.3)), 1);
  EXPECT_EQ(VarCompare(Variant(B("-1000000000000000000000")), Variant(-1)), -1);
  const std::string big63 = "1" + std::string(63, '0');  // 10^63, inside the decimal range
  EXPECT_EQ(VarCompare(Variant(B(big63.c_str())), Variant(1e61)), 1);
  EXPECT_EQ(VarCompare(Variant(1e62), Variant(B(big63.c_str()))), -1);
  EXPECT_EQ(VarCompare(Variant(B(big63.c_str())), Variant(1e70)), -1);
  EXPECT_EQ(VarCompare(Variant(std::nan("")), Variant(1e308)), 1);
  EXPECT_EQ(VarCompare(Variant(Currency::FromScaled(5)), Variant(0.0004)), 1);
  EXPECT_EQ(VarCompare(Variant("b"), Variant("a")), 1);
  EXPECT_EQ(VarCompare(Variant("\xC3\xA9"), Variant("z")), 1) << "bytes compare unsigned";
  EXPECT_EQ(VarCompare(Variant(u"\U0001F600"), Variant(u"\uFFFD")), -1) << "UTF-16 code units";
  EXPECT_EQ(VarCompare(Variant("10"), Variant(9)), 1) << "text converts to the number";
  EXPECT_EQ(VarCompare(Variant(9), Variant("10")), -1);
  EXPECT_EQ(VarCompare(Variant::FromDate(EncodeDate(2024, 1, 2)), Variant("2024-01-01 23:00")), 1);
  EXPECT_EQ(VarCompare(Variant::UnassignedBytes(), Variant::FromBytes({})), -1);
  EXPECT_EQ(VarCompare(Variant::FromBytes({1, 2}), Variant::FromBytes({1, 2, 0})), -1);
  EXPECT_EQ(VarCompare(Variant::FromBytes({2}), Variant::FromBytes({1, 9})), 1);
  EXPECT_EQ(VarCompare(Variant::FromArray({Variant(1), Variant(2)}), Variant::FromArray({Variant(1), Variant(3)})), -1);
  TSQLTimeStamp a{}, b{};
  a.Year = b.Year = 2000;
  b.Fractions = 1;
  EXPECT_EQ(VarCompare(Variant(a), Variant(b)), -1);

  try {
    VarCompare(Variant("abc"), Variant(1));
    ADD_FAILURE();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (String) into type (Integer)");
  }
  EXPECT_THROW(VarCompare(Variant(NewShared<TSharedObject>()), Variant(NewShared<TSharedObject>())),
               EVariantInvalidOpError);
  EXPECT_THROW(VarCompare(Variant::FromBytes({1}), Variant(1)), EVariantInvalidOpError);
  EXPECT_THROW(VarCompare(Variant::FromArray({}), Variant("x")), EVariantInvalidOpError);
}

TEST(Variant, SharedObjectsAreCountedReferences) {
  int destroyed = 0;
  struct TCounted : TSharedObject {
    explicit TCounted(int& d) : D(d) {}
    ~TCounted() override { ++D; }
    int& D;
  };
  auto obj = NewShared<TCounted>(destroyed);
  {
    Variant v = obj->ToVariant();
    EXPECT_EQ(obj->RefCount(), 2);
    Variant copy = v;
    EXPECT_EQ(obj->RefCount(), 3);
    EXPECT_EQ(TSharedObject::FromVariant(copy), obj.Get());
    EXPECT_EQ(obj->RefCount(), 3) << "FromVariant takes no reference of its own";
  }
  EXPECT_EQ(obj->RefCount(), 1);
  EXPECT_EQ(TSharedObject::FromVariant(Variant::Null()), nullptr);
  EXPECT_EQ(TSharedObject::FromVariant(Variant()), nullptr);
  EXPECT_THROW(TSharedObject::FromVariant(Variant(1)), EVariantTypeCastError);
  Variant last(obj);
  obj.Reset();
  EXPECT_EQ(destroyed, 0);
  last = Variant();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace lumo
