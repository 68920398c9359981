#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

TEST(FormatSettings, FloatTextIsShortestAndRoundTrips) {
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(FloatToStr(100.0), "100");
  EXPECT_EQ(FloatToStr(1e6), "1000000");
  EXPECT_EQ(FloatToStr(-2.5), "-2.5");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(1.5e20), "1.5E20");
  EXPECT_EQ(FloatToStr(0.00001), "0.00001");
  EXPECT_EQ(FloatToStr(1.5e-7), "1.5E-7");
  EXPECT_EQ(FloatToStr(0.0), "0");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  EXPECT_EQ(SingleToStr(0.1f), "0.1");
  EXPECT_EQ(SingleToStr(16777216.0f), "16777216");

  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    double back = 0;
    ASSERT_TRUE(TryStrToFloat(FloatToStr(v), back)) << FloatToStr(v);
    ASSERT_EQ(back, v) << FloatToStr(v);
  }
  double tiny = 0;
  ASSERT_TRUE(TryStrToFloat(FloatToStr(5e-324), tiny));
  EXPECT_EQ(tiny, 5e-324);
}

TEST(FormatSettings, FloatParsingIsStrict) {
  double v = 0;
  EXPECT_TRUE(TryStrToFloat(" +1.25e2 ", v));
  EXPECT_EQ(v, 125.0);
  EXPECT_TRUE(TryStrToFloat(".5", v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(TryStrToFloat("-inf", v));
  EXPECT_TRUE(std::isinf(v) && v < 0);
  EXPECT_TRUE(TryStrToFloat("1e-400", v));
  EXPECT_EQ(v, 0.0);
  for (const char* bad : {"", ".", "1,5", "1.5.2", "1e", "1e+", "0x10", "12abc", "--1", "+-1", "1e999", "nan1"})
    EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
  try {
    StrToFloat("abc");
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
  }

  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  TFormatSettingsOverride scope(comma);
  EXPECT_EQ(FloatToStr(2.5), "2,5");
  EXPECT_EQ(StrToFloat("2,5"), 2.5);
  EXPECT_FALSE(TryStrToFloat("2.5", v));
  EXPECT_EQ(FloatToStr(2.5, InvariantFormatSettings()), "2.5");
}

TEST(FormatSettings, OverrideRestoresThePreviousSettings) {
  {
    TFormatSettings s;
    s.TrueBoolStr = "yes";
    TFormatSettingsOverride scope(s);
    EXPECT_EQ(BoolToStr(true), "yes");
  }
  EXPECT_EQ(BoolToStr(true), "True");
  EXPECT_EQ(FormatSettings().DecimalSeparator, '.');
}

TEST(FormatSettings, IntegerParsingChecksTheRange) {
  std::int32_t i = 0;
  std::int64_t l = 0;
  std::uint64_t u = 0;
  EXPECT_TRUE(TryStrToInt(" -2147483648 ", i));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_FALSE(TryStrToInt("2147483648", i));
  EXPECT_TRUE(TryStrToInt64("+9223372036854775807", l));
  EXPECT_EQ(l, INT64_MAX);
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", l));
  EXPECT_TRUE(TryStrToUInt64("18446744073709551615", u));
  EXPECT_FALSE(TryStrToUInt64("18446744073709551616", u));
  EXPECT_FALSE(TryStrToUInt64("-1", u));
  for (const char* bad : {"", "+", "-", "1.0", "1e3", "12 3", "0x1F", "+-3"}) EXPECT_FALSE(TryStrToInt64(bad, l)) << bad;
  EXPECT_THROW(StrToInt("99999999999"), EConvertError);
}

TEST(FormatSettings, BooleansAndCurrency) {
  bool b = false;
  EXPECT_TRUE(TryStrToBool("TRUE", b) && b);
  EXPECT_TRUE(TryStrToBool("false", b) && !b);
  EXPECT_TRUE(TryStrToBool("-1", b) && b);
  EXPECT_TRUE(TryStrToBool("0", b) && !b);
  EXPECT_FALSE(TryStrToBool("maybe", b));

  EXPECT_EQ(CurrToStr(Currency::FromScaled(125000)), "12.5");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(-1)), "-0.0001");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(INT64_MIN)), "-922337203685477.5808");
  EXPECT_EQ(StrToCurr("12.34565").Scaled, 123457);   // half away from zero
  EXPECT_EQ(StrToCurr("-12.34565").Scaled, -123457);
  EXPECT_EQ(StrToCurr("1.5e2").Scaled, 1500000);
  EXPECT_EQ(StrToCurr("922337203685477.5807").Scaled, INT64_MAX);
  Currency c;
  EXPECT_FALSE(TryStrToCurr("922337203685477.5808", c));
  EXPECT_TRUE(TryStrToCurr("-922337203685477.5808", c));
  EXPECT_FALSE(TryStrToCurr("1e30", c));
  EXPECT_FALSE(TryStrToCurr("12,5", c));
  EXPECT_EQ(DoubleToCurr(0.00005).Scaled, 1);
  EXPECT_EQ(DoubleToCurr(-2.675).Scaled, -26750);
  EXPECT_EQ(CurrToDouble(Currency::FromScaled(12345)), 1.2345);
  EXPECT_THROW(DoubleToCurr(1e16), EConvertError);
  EXPECT_THROW(DoubleToCurr(std::nan("")), EConvertError);
}

}  // namespace
}  // namespace lumo
