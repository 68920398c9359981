#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

TEST(DateTime, TimeStampNumberingAndRoundTrips) {
  TTimeStamp st = DateTimeToTimeStamp(0.0);
  EXPECT_EQ(st.Date, 693594);
  EXPECT_EQ(st.Time, 0);
  EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(1, 1, 1)).Date, 1);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);

  for (double v : {0.0, 1.5, 36526.75, 45000.123456, 2958465.999, -700.5, -693593.25}) {
    TTimeStamp s = DateTimeToTimeStamp(v);
    EXPECT_NEAR(TimeStampToDateTime(s), v, 1e-8) << v;
    EXPECT_NEAR(MSecsToDateTime(DateTimeToMSecs(v)), v, 1e-8) << v;
  }
  // The millisecond form is the stamp flattened: day 1 begins at one day's worth.
  EXPECT_EQ(DateTimeToMSecs(EncodeDate(1, 1, 1)), 86400000.0);
  EXPECT_EQ(TimeStampToMSecs(TTimeStamp{693594, 1500}), 693594.0 * 86400000 + 1500);
}

TEST(DateTime, NegativeDayCountsTheTimeAwayFromZero) {
  // -1.25 is 29 December 1899, 06:00, not 28 December 18:00.
  TTimeStamp st = DateTimeToTimeStamp(-1.25);
  EXPECT_EQ(st.Date, 693593);
  EXPECT_EQ(st.Time, 6 * 3600000);
  EXPECT_EQ(TimeStampToDateTime(st), -1.25);
  int y, m, d, h, n, s, ms;
  DecodeDateTime(-1.25, y, m, d, h, n, s, ms);
  EXPECT_EQ((std::array<int, 5>{y, m, d, h, n}), (std::array<int, 5>{1899, 12, 29, 6, 0}));
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  EXPECT_EQ(EncodeDateTime(1800, 1, 1, 18, 0, 0, 0), EncodeDate(1800, 1, 1) - 0.75);
  // Day zero has no sign: -0.25 and 0.25 are the same moment.
  EXPECT_EQ(DateTimeToTimeStamp(-0.25).Date, 693594);
  EXPECT_EQ(TimeStampToDateTime(DateTimeToTimeStamp(-0.25)), 0.25);
  EXPECT_EQ(DateTimeToISO(-1.25), "1899-12-29 06:00:00");
  EXPECT_EQ(TimeOf(-1.25), 0.25);
  EXPECT_EQ(DateOf(-1.25), -1.0);
}

TEST(DateTime, InvalidTimeStampsAndRangesRaise) {
  auto expectMessage = [](const TTimeStamp& st, const char* text) {
    try {
      TimeStampToDateTime(st);
      ADD_FAILURE() << "no exception for " << text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), text);
    }
  };
  expectMessage(TTimeStamp{0, 0}, "'0.0' is not a valid timestamp");
  expectMessage(TTimeStamp{5, -1}, "'5.-1' is not a valid timestamp");
  expectMessage(TTimeStamp{-3, 10}, "'-3.10' is not a valid timestamp");
  EXPECT_THROW(TimeStampToDateTime(TTimeStamp{5, 86400000}), EConvertError);
  EXPECT_THROW(MSecsToTimeStamp(-1), EConvertError);
  EXPECT_THROW(MSecsToTimeStamp(std::nan("")), EConvertError);
  EXPECT_THROW(DateTimeToTimeStamp(std::nan("")), EConvertError);
  EXPECT_THROW(DateTimeToTimeStamp(1e300), EConvertError);
  EXPECT_THROW(DateTimeToTimeStamp(-693594.0), EConvertError);  // day 0
  EXPECT_THROW(DateTimeToTimeStamp(2958466.0), EConvertError);  // year 10000
}

TEST(DateTime, EncodeChecksEveryPart) {
  TDateTime r = 0;
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, r));
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, r));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, r));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, r));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, r));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, r));
  EXPECT_FALSE(TryEncodeDate(2020, 13, 1, r));
  EXPECT_FALSE(TryEncodeDate(2020, 4, 31, r));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, r));
  EXPECT_FALSE(TryEncodeTime(-1, 0, 0, 0, r));
  EXPECT_FALSE(TryEncodeDateTime(2020, 1, 1, 25, 0, 0, 0, r));
  EXPECT_TRUE(TryEncodeTime(23, 59, 59, 999, r));
  EXPECT_THROW(EncodeDate(2021, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(1, 2, 3, 4000), EConvertError);

  // Every day of a few years decodes back to itself.
  for (int y : {1, 4, 100, 1600, 1899, 1900, 2000, 2024, 9999})
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= DaysInAMonth(y, m); ++d) {
        int yy, mm, dd;
        DecodeDate(EncodeDate(y, m, d), yy, mm, dd);
        ASSERT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
      }
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 6, 2)), 1);  // a Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);     // a Monday
}

TEST(DateTime, SQLTimeStampConversions) {
  TSQLTimeStamp ts = DateTimeToSQLTimeStamp(EncodeDateTime(2023, 7, 14, 13, 5, 9, 250));
  EXPECT_EQ(ts.Year, 2023);
  EXPECT_EQ(ts.Month, 7);
  EXPECT_EQ(ts.Day, 14);
  EXPECT_EQ(ts.Hour, 13);
  EXPECT_EQ(ts.Minute, 5);
  EXPECT_EQ(ts.Second, 9);
  EXPECT_EQ(ts.Fractions, 250u);
  EXPECT_EQ(SQLTimeStampToDateTime(ts), EncodeDateTime(2023, 7, 14, 13, 5, 9, 250));
  EXPECT_EQ(SQLTimeStampToStr(ts), "2023-07-14 13:05:09.250");

  TSQLTimeStamp bad = ts;
  bad.Month = 13;
  EXPECT_THROW(SQLTimeStampToDateTime(bad), EConvertError);
  bad = ts;
  bad.Fractions = 1000;
  EXPECT_THROW(SQLTimeStampToDateTime(bad), EConvertError);

  TSQLTimeStamp later = ts;
  later.Fractions = 251;
  EXPECT_EQ(CompareSQLTimeStamp(ts, later), -1);
  EXPECT_EQ(CompareSQLTimeStamp(later, ts), 1);
  EXPECT_TRUE(ts == DateTimeToSQLTimeStamp(SQLTimeStampToDateTime(ts)));
}

TEST(DateTime, TextForms) {
  const TDateTime dt = EncodeDateTime(2024, 3, 5, 7, 8, 9, 45);
  EXPECT_EQ(DateTimeToStr(dt), "2024-03-05 07:08:09");
  EXPECT_EQ(DateTimeToISO(dt), "2024-03-05 07:08:09.045");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5)), "2024-03-05");
  EXPECT_EQ(DateTimeToStr(EncodeTime(10, 30, 0, 0)), "10:30:00");
  EXPECT_EQ(DateTimeToStr(0.0), "1899-12-30");
  EXPECT_EQ(DateToStr(dt), "2024-03-05");
  EXPECT_EQ(TimeToStr(dt), "07:08:09");
  EXPECT_EQ(FormatDateTime("dd/mm/yy h:nn:ss.zzz am/pm", dt), "05-03-24 7:08:09.045 am");
  EXPECT_EQ(FormatDateTime("ddd, d mmm yyyy 'at' hh:mm", dt), "Tue, 5 Mar 2024 at 07:08");
  EXPECT_EQ(FormatDateTime("dddd mmmm", dt), "Tuesday March");
  // Time spans: the sign comes from the milliseconds, hours are not wrapped.
  EXPECT_EQ(TimeSpanToStr(-500), "-0:00:00.500");
  EXPECT_EQ(TimeSpanToStr(-500, true), "-0:00:00.5");
  EXPECT_EQ(TimeSpanToStr(3019999010LL, true), "838:53:19.01");
  EXPECT_EQ(TimeSpanToStr(std::numeric_limits<std::int64_t>::min()), "-2562047788015:12:55.808");

  TFormatSettings german;
  german.DateSeparator = '.';
  german.ShortDateFormat = "dd/mm/yyyy";
  german.DecimalSeparator = ',';
  TFormatSettingsOverride scope(german);
  EXPECT_EQ(DateTimeToStr(dt), "05.03.2024 07:08:09");
  EXPECT_EQ(StrToDateTime("05.03.2024 07:08:09"), EncodeDateTime(2024, 3, 5, 7, 8, 9, 0));
  EXPECT_EQ(StrToDate("5.3.24"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDate("5.3.99"), EncodeDate(1999, 3, 5));
}

TEST(DateTime, ParsesIsoTextStrictly) {
  EXPECT_EQ(StrToDateTime("2024-03-05"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDateTime(" 2024-03-05 07:08:09 "), EncodeDateTime(2024, 3, 5, 7, 8, 9, 0));
  EXPECT_EQ(StrToDateTime("2024-03-05T07:08"), EncodeDateTime(2024, 3, 5, 7, 8, 0, 0));
  EXPECT_EQ(StrToDateTime("2024-03-05 07:08:09.123456"), EncodeDateTime(2024, 3, 5, 7, 8, 9, 123));
  EXPECT_EQ(StrToDateTime("2024-03-05 07:08:09.5"), EncodeDateTime(2024, 3, 5, 7, 8, 9, 500));
  // Rounding the fraction may carry into the next day.
  EXPECT_EQ(StrToDateTime("2024-03-05 23:59:59.9996"), EncodeDate(2024, 3, 6));
  EXPECT_EQ(StrToTime("10:30:15"), EncodeTime(10, 30, 15, 0));
  EXPECT_EQ(StrToDateTime("1850-06-01 18:00:00"), EncodeDateTime(1850, 6, 1, 18, 0, 0, 0));
  EXPECT_LT(StrToDateTime("1850-06-01 18:00:00"), StrToDateTime("1850-06-01 06:00:00") + 0)
      << "before 1900 a later time of day is a more negative number";

  TDateTime v = 0;
  for (const char* bad : {"", " ", "2024", "2024-13-01", "2024-02-30", "2024-03-05 24:00:00", "2024-03-05 07:60",
                          "2024-03-05 07:08:09.", "2024-03-05 07:08:09.1234567890", "2024-03-05x", "10:30:15 PM",
                          "0000-00-00", "-2024-01-01", "2024--01", "12345-01-01", "07", "07:", ":30",
                          "2024-03-05 07:08:09 extra", "9999-12-31 23:59:59.9999"})
    EXPECT_FALSE(TryStrToDateTime(bad, v)) << bad;
  EXPECT_FALSE(TryStrToDate("2024-03-05 10:00", v));
  EXPECT_FALSE(TryStrToTime("2024-03-05", v));
  try {
    StrToDateTime("soon");
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'soon' is not a valid date and time");
  }

  // SQL time stamps keep the zero date that servers send.
  TSQLTimeStamp ts = StrToSQLTimeStamp("0000-00-00 00:00:00");
  EXPECT_EQ(ts.Year, 0);
  EXPECT_EQ(ts.Month, 0);
  ts = StrToSQLTimeStamp("2001-02-03 04:05:06.0075");
  EXPECT_EQ(ts.Fractions, 8u);
  EXPECT_EQ(ts.Second, 6);
  ts = StrToSQLTimeStamp("2001-02-03 04:05:06.9999");
  EXPECT_EQ(ts.Second, 7);
  EXPECT_EQ(ts.Fractions, 0u);
  ts = StrToSQLTimeStamp("10:59:59.9999");
  EXPECT_EQ(ts.Hour * 10000 + ts.Minute * 100 + ts.Second, 110000);
  ts = StrToSQLTimeStamp("23:59:59.9999");
  EXPECT_EQ(ts.Fractions, 999u);
}

// Micros keep six fraction digits over the whole calendar, follow the
// number's rule for days before 30 December 1899, and read time spans.
TEST(DateTime, MicrosecondsAndTimeSpans) {
  std::int64_t m = 0;
  ASSERT_TRUE(TryEncodeMicros({9999, 12, 31, 23, 59, 59, 999999}, m));
  EXPECT_EQ(MicrosToISO(m), "9999-12-31 23:59:59.999999");
  TDateTimeParts p;
  ASSERT_TRUE(TryDecodeMicros(m, p));
  EXPECT_EQ(p.Micro, 999999);
  EXPECT_FALSE(TryDecodeMicros(m + 1, p)) << "the year 10000";
  ASSERT_TRUE(TryEncodeMicros({1899, 12, 29, 6, 0, 0, 1}, m));
  EXPECT_EQ(m, -(USecsPerDay + 6 * 3600 * USecsPerSec + 1)) << "-1.25 days and a microsecond";
  EXPECT_EQ(MicrosToISO(m), "1899-12-29 06:00:00.000001");
  EXPECT_EQ(TimeOfMicros(m), 6 * 3600 * USecsPerSec + 1);
  // A double near today carries its microseconds; one far off is rounded.
  const TDateTime today = EncodeDateTime(2026, 3, 4, 5, 6, 7, 19) + 0.4 / SecsPerDay / 1000;
  EXPECT_EQ(MicrosToISO(DateTimeToMicros(today)), "2026-03-04 05:06:07.0194");
  EXPECT_EQ(MicrosToDateTime(DateTimeToMicros(today)), today);
  EXPECT_THROW(DateTimeToMicros(std::nan("")), EConvertError);

  ASSERT_TRUE(TryStrToDateTimeMicros("2026-03-04 05:06:07.0194005", m));
  EXPECT_EQ(MicrosToISO(m), "2026-03-04 05:06:07.019401");
  ASSERT_TRUE(TryStrToDateTimeMicros("2026-12-31 23:59:59.9999996", m));
  EXPECT_EQ(MicrosToISO(m), "2027-01-01 00:00:00");
  EXPECT_FALSE(TryStrToDateTimeMicros("0000-00-00 00:00:00", m));
  TSQLTimeStamp ts{};
  ts.Year = 1899, ts.Month = 12, ts.Day = 29, ts.Hour = 6, ts.Fractions = 5;
  ASSERT_TRUE(TrySQLTimeStampToMicros(ts, m));
  EXPECT_EQ(MicrosToISO(m), "1899-12-29 06:00:00.005");

  for (const auto& [text, micros] : std::initializer_list<std::pair<const char*, std::int64_t>>{
           {"26:00:00", 26 * 3600 * USecsPerSec},
           {"-01:30:00.5", -(5400 * USecsPerSec + 500000)},
           {"838:59:59.999999", MaxTimeSpanMicros},
           {"-838:59:59.999999", -MaxTimeSpanMicros},
           {"00:00:00.000001", 1}}) {
    EXPECT_EQ(TimeSpanMicrosToStr(micros), text);
    ASSERT_TRUE(TryStrToTimeSpanMicros(text, m)) << text;
    EXPECT_EQ(m, micros) << text;
  }
  EXPECT_EQ(TimeSpanMicrosToStr(-5400 * USecsPerSec, false), "-1:30:00");
  ASSERT_TRUE(TryStrToTimeSpanMicros(" +7:05 ", m));
  EXPECT_EQ(m, (7 * 60 + 5) * 60 * USecsPerSec);
  for (const char* bad : {"839:00:00", "1:60:00", "1:00:00.", "-", "1:2", "12345:00:00", "1:00:00x"})
    EXPECT_FALSE(TryStrToTimeSpanMicros(bad, m)) << bad;
}

}  // namespace
}  // namespace lumo
