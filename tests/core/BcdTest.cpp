#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <lumokit/core/Bcd.h>

namespace lumo {
namespace {

std::string S(const TBcd& b) { return BcdToStr(b, InvariantFormatSettings()); }
TBcd B(const char* text) { return StrToBcd(text, InvariantFormatSettings()); }

TEST(Bcd, PackedLayout) {
  // 12.345: five digits, three after the point, high nibble first.
  TBcd b = B("-12.345");
  EXPECT_EQ(b.Precision, 5);
  EXPECT_EQ(b.SignSpecialPlaces, 0x80 | 3);
  EXPECT_EQ(b.Fraction[0], 0x12);
  EXPECT_EQ(b.Fraction[1], 0x34);
  EXPECT_EQ(b.Fraction[2], 0x50);
  for (int i = 3; i < 32; ++i) ASSERT_EQ(b.Fraction[i], 0);

  TBcd zero{};
  EXPECT_EQ(S(zero), "0");
  EXPECT_TRUE(IsBcdZero(zero));

  // Built by hand: precision 6, places 2, digits 001250 → 12.5
  TBcd hand{};
  hand.Precision = 6;
  hand.SignSpecialPlaces = 2;
  hand.Fraction[0] = 0x00;
  hand.Fraction[1] = 0x12;
  hand.Fraction[2] = 0x50;
  EXPECT_EQ(S(hand), "12.5");
  EXPECT_EQ(GetBcdPrecision(hand), 3);
  EXPECT_EQ(GetBcdScale(hand), 1);
}

TEST(Bcd, TextBothWays) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : std::initializer_list<Case>{{"0", "0"},
                                                   {"-0", "0"},
                                                   {"-0.000", "0"},
                                                   {"  +42 ", "42"},
                                                   {"007.50", "7.5"},
                                                   {".5", "0.5"},
                                                   {"5.", "5"},
                                                   {"-0.0001", "-0.0001"},
                                                   {"123456789012345678901234567890.123456789", "123456789012345678901234567890.123456789"}}) {
    EXPECT_EQ(S(B(c.in)), c.out) << c.in;
  }
  TBcd out;
  for (const char* bad : {"", " ", ".", "-", "+-1", "1e5", "1,5", "12a", "0x10", "1 2", "--1", "1.2.3"})
    EXPECT_FALSE(TryStrToBcd(bad, out, InvariantFormatSettings())) << bad;
  try {
    B("abc");
    ADD_FAILURE();
  } catch (const EBcdError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid BCD value");
  }

  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  TFormatSettingsOverride scope(comma);
  EXPECT_EQ(BcdToStr(StrToBcd("1,25")), "1,25");
  EXPECT_FALSE(TryStrToBcd("1.25", out));
}

TEST(Bcd, SixtyFourDigitLimitsAndRounding) {
  const std::string d64(64, '9');
  EXPECT_EQ(S(B(d64.c_str())), d64);
  EXPECT_EQ(B(d64.c_str()).Precision, 64);
  EXPECT_THROW(B(("1" + d64).c_str()), EBcdError);  // 65 integer digits
  // Leading zeros do not count.
  EXPECT_EQ(S(B(("000000" + d64).c_str())), d64);

  // 63 fraction digits at most; the 64th is rounded half away from zero.
  const std::string frac63 = "0." + std::string(62, '0') + "1";
  EXPECT_EQ(S(B(frac63.c_str())), frac63);
  EXPECT_EQ(S(B(("0." + std::string(62, '0') + "15").c_str())), "0." + std::string(62, '0') + "2");
  EXPECT_EQ(S(B(("-0." + std::string(62, '0') + "15").c_str())), "-0." + std::string(62, '0') + "2");
  EXPECT_EQ(S(B(("0." + std::string(62, '0') + "14999").c_str())), frac63);
  // 64 digits in all: 10 integer digits leave room for 54 fraction digits.
  std::string wide = "1234567890." + std::string(54, '1') + "5";
  EXPECT_EQ(S(B(wide.c_str())), "1234567890." + std::string(53, '1') + "2");
  // Rounding that carries into a new integer digit.
  EXPECT_EQ(S(B(("9." + std::string(70, '9')).c_str())), "10");
  EXPECT_THROW(B((d64 + ".5").c_str()), EBcdError);

  // Very long input neither crashes nor keeps what cannot matter.
  std::string longFrac = "1." + std::string(100000, '3');
  EXPECT_EQ(S(B(longFrac.c_str())), "1." + std::string(63 - 0, '3').substr(0, 63));
  std::string longZeros = std::string(100000, '0') + "7";
  EXPECT_EQ(S(B(longZeros.c_str())), "7");
}

TEST(Bcd, PrecisionScaleAndIntegerTests) {
  EXPECT_EQ(GetBcdPrecision(B("0.0100")), 3);
  EXPECT_EQ(GetBcdScale(B("0.0100")), 2);
  EXPECT_TRUE(IsBcdInt(B("12.000")));
  EXPECT_FALSE(IsBcdInt(B("12.001")));
  EXPECT_EQ(GetBcdPrecision(B("100")), 3);
  EXPECT_EQ(GetBcdPrecision(B("-123.4500")), 5);
  EXPECT_EQ(GetBcdScale(B("-123.4500")), 2);
  EXPECT_EQ(GetBcdPrecision(B("0")), 1);

  TBcd n;
  ASSERT_TRUE(NormalizeBcd(B("12.3456"), n, 10, 2));
  EXPECT_EQ(n.Precision, 10);
  EXPECT_EQ(BcdScale(n), 2);
  EXPECT_EQ(S(n), "12.35");
  ASSERT_TRUE(NormalizeBcd(B("-0.005"), n, 3, 2));
  EXPECT_EQ(S(n), "-0.01");
  ASSERT_TRUE(NormalizeBcd(B("0.004"), n, 3, 2));
  EXPECT_EQ(S(n), "0");
  TBcd keep = B("7");
  EXPECT_FALSE(NormalizeBcd(B("123.4"), keep, 4, 2));  // needs three integer digits
  EXPECT_EQ(S(keep), "7");
  EXPECT_FALSE(NormalizeBcd(B("1"), keep, 65, 0));
  EXPECT_FALSE(NormalizeBcd(B("1"), keep, 4, 5));
  ASSERT_TRUE(NormalizeBcd(B("99.995"), n, 5, 2));
  EXPECT_EQ(S(n), "100");
  EXPECT_FALSE(NormalizeBcd(B("99.995"), n, 4, 2));
}

TEST(Bcd, Arithmetic) {
  struct Case {
    const char *a, *b, *sum, *diff, *prod, *quot;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"1", "3", "4", "-2", "3", "0.333333333333333333333333333333333333333333333333333333333333333"},
           {"2", "3", "5", "-1", "6", "0.666666666666666666666666666666666666666666666666666666666666667"},
           {"-7.5", "2.5", "-5", "-10", "-18.75", "-3"},
           {"0.1", "0.2", "0.3", "-0.1", "0.02", "0.5"},
           {"123456789.123", "-0.877", "123456788.246", "123456790", "-108271604.060871",
       "-140771709.376282782212086659064994298745724059293044469783352338"},
           {"0", "-5", "-5", "5", "0", "0"},
           {"1", "8", "9", "-7", "8", "0.125"},
       }) {
    EXPECT_EQ(S(BcdAdd(B(c.a), B(c.b))), c.sum) << c.a << " + " << c.b;
    EXPECT_EQ(S(BcdSubtract(B(c.a), B(c.b))), c.diff) << c.a << " - " << c.b;
    EXPECT_EQ(S(BcdMultiply(B(c.a), B(c.b))), c.prod) << c.a << " * " << c.b;
    EXPECT_EQ(S(BcdDivide(B(c.a), B(c.b))), c.quot) << c.a << " / " << c.b;
  }
  // Results with more than 64 digits keep the integer part and round the fraction.
  const std::string big = std::string(32, '9') + "." + std::string(31, '9');
  EXPECT_EQ(S(BcdMultiply(B(big.c_str()), B("1"))), big);
  TBcd sq = BcdMultiply(B(big.c_str()), B(big.c_str()));
  EXPECT_LE(GetBcdPrecision(sq), 64);
  EXPECT_EQ(S(sq).substr(0, 5), "99999");
  EXPECT_THROW(BcdMultiply(B(std::string(40, '9').c_str()), B(std::string(30, '9').c_str())), EBcdError);
  EXPECT_THROW(BcdAdd(B(std::string(64, '9').c_str()), B("1")), EBcdError);
  EXPECT_THROW(BcdDivide(B(std::string(64, '9').c_str()), B("0.1")), EBcdError);
  try {
    BcdDivide(B("1"), B("0.000"));
    ADD_FAILURE();
  } catch (const EBcdError& e) {
    EXPECT_STREQ(e.what(), "Division by zero");
  }
  EXPECT_EQ(S(BcdDivide(B("1"), B(("1" + std::string(60, '0')).c_str()))), "0." + std::string(59, '0') + "1");
  EXPECT_EQ(S(BcdNegate(B("3.5"))), "-3.5");
  EXPECT_EQ(S(BcdNegate(B("0"))), "0");
}

TEST(Bcd, CompareIsByValue) {
  EXPECT_EQ(BcdCompare(B("1.50"), B("1.5")), 0);
  EXPECT_TRUE(B("1.50") == B("1.5"));
  EXPECT_EQ(BcdCompare(B("-2"), B("1")), -1);
  EXPECT_EQ(BcdCompare(B("-2"), B("-3")), 1);
  EXPECT_EQ(BcdCompare(B("0.001"), B("0.0009")), 1);
  EXPECT_EQ(BcdCompare(B("-0"), B("0")), 0);
  EXPECT_EQ(BcdCompare(B("100"), B("99.999")), 1);
}

TEST(Bcd, NumbersAndTheFourDecimalForm) {
  EXPECT_EQ(S(Int64ToBcd(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(S(UInt64ToBcd(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(BcdToInt64(B("-9223372036854775808")), INT64_MIN);
  EXPECT_EQ(BcdToInt64(B("-12.9")), -12);
  EXPECT_THROW(BcdToInt64(B("9223372036854775808")), EBcdError);
  EXPECT_EQ(S(DoubleToBcd(0.1)), "0.1");
  EXPECT_EQ(S(DoubleToBcd(1.5e20)), "150000000000000000000");
  EXPECT_EQ(S(DoubleToBcd(-2.5e-7)), "-0.00000025");
  EXPECT_EQ(S(DoubleToBcd(1e-100)), "0");
  EXPECT_THROW(DoubleToBcd(1e100), EBcdError);
  EXPECT_THROW(DoubleToBcd(std::numeric_limits<double>::infinity()), EBcdError);
  EXPECT_EQ(BcdToDouble(B("0.1")), 0.1);
  EXPECT_EQ(BcdToDouble(B("-123456.789")), -123456.789);

  Currency c;
  ASSERT_TRUE(TryBcdToCurr(B("12.3400"), c));
  EXPECT_EQ(c.Scaled, 123400);
  ASSERT_TRUE(TryBcdToCurr(B("-922337203685477.5808"), c));
  EXPECT_EQ(c.Scaled, INT64_MIN);
  EXPECT_FALSE(TryBcdToCurr(B("1.00001"), c));  // not whole in ten-thousandths
  EXPECT_FALSE(TryBcdToCurr(B("922337203685477.5808"), c));
  try {
    BcdToCurr(B("1.00001"));
    ADD_FAILURE();
  } catch (const EBcdError& e) {
    EXPECT_STREQ(e.what(), "1.00001 has invalid scale");
  }
  EXPECT_THROW(BcdToCurr(B("100000000000000000000")), EBcdError);
  EXPECT_EQ(S(CurrToBcd(Currency::FromScaled(-15000))), "-1.5");
  EXPECT_EQ(S(CurrToBcd(Currency::FromScaled(INT64_MIN))), "-922337203685477.5808");
}

TEST(Bcd, BrokenRecordsRaiseInsteadOfReadingPastTheDigits) {
  TBcd b{};
  b.Precision = 65;
  EXPECT_THROW(BcdToStr(b), EBcdError);
  b.Precision = 2;
  b.SignSpecialPlaces = 3;  // more places than digits
  EXPECT_THROW(BcdToStr(b), EBcdError);
  b.SignSpecialPlaces = 0x40;
  EXPECT_THROW(BcdToStr(b), EBcdError);
  b.SignSpecialPlaces = 0;
  b.Fraction[0] = 0xA1;
  EXPECT_THROW(BcdToStr(b), EBcdError);
  std::int64_t i64 = 0;
  EXPECT_FALSE(TryBcdToInt64(b, i64));

  // Random bytes: every operation either works or raises EBcdError.
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    TBcd r;
    for (int k = 0; k < 34; ++k) reinterpret_cast<std::uint8_t*>(&r)[k] = static_cast<std::uint8_t>(rng());
    r.Precision %= 70;
    try {
      std::string text = BcdToStr(r, InvariantFormatSettings());
      EXPECT_TRUE(B(text.c_str()) == r);
    } catch (const EBcdError&) {
    }
  }
}

}  // namespace
}  // namespace lumo
