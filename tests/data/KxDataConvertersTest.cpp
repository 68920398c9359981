#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/KxDataConverters.h>
#include <lumokit/data/MemData.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {
namespace {

// A value in its exchange form.
struct Val {
  std::uint16_t Type;
  std::vector<std::uint8_t> Bytes;
  int Len = 0;  // SourceLen
  int Scale = 0;
};
template <class T>
Val Of(std::uint16_t type, T v, int len = 0) {
  Val r{type, std::vector<std::uint8_t>(sizeof v), len};
  std::memcpy(r.Bytes.data(), &v, sizeof v);
  return r;
}
Val I8(std::int8_t v) { return Of(dtInt8, v); }
Val U8(std::uint8_t v) { return Of(dtUInt8, v); }
Val I16(std::int16_t v) { return Of(dtInt16, v); }
Val U16(std::uint16_t v) { return Of(dtUInt16, v); }
Val I32(std::int32_t v) { return Of(dtInt32, v); }
Val U32(std::uint32_t v) { return Of(dtUInt32, v); }
Val I64(std::int64_t v) { return Of(dtInt64, v); }
Val F64(double v) { return Of(dtFloat, v); }
Val Cur(double v) { return Of(dtCurrency, v); }
Val F32(float v) { return Of(dtSingle, v); }
Val Bool(std::uint16_t v) { return Of(dtBoolean, v); }
Val Bcd(std::int64_t scaled) { return Of(dtBCD, scaled); }
Val Fmt(const char* text) { return Of(dtFMTBCD, StrToBcd(text)); }
Val Day(std::int32_t d) { return Of(dtDate, d); }
Val Ms(std::int32_t ms) { return Of(dtTime, ms); }
Val DT(double msecs) { return Of(dtDateTime, msecs); }
Val Stamp(const char* text) { return Of(dtSQLTimeStamp, StrToSQLTimeStamp(text)); }
Val Str(std::string s, std::uint16_t type = dtString) {
  Val r{type, std::vector<std::uint8_t>(s.begin(), s.end()), static_cast<int>(s.size())};
  r.Bytes.push_back(0);
  return r;
}
Val WStr(std::u16string s) {
  Val r{dtWideString, std::vector<std::uint8_t>(2 * s.size() + 2), static_cast<int>(s.size())};
  std::memcpy(r.Bytes.data(), s.data(), 2 * s.size());
  return r;
}
Val Bytes(std::vector<std::uint8_t> b) { return Val{dtBytes, b, static_cast<int>(b.size())}; }
Val VarBytes(std::vector<std::uint8_t> b) {
  Val r{dtVarBytes, std::vector<std::uint8_t>(b.size() + 2), static_cast<int>(b.size())};
  r.Bytes[0] = static_cast<std::uint8_t>(b.size());
  std::copy(b.begin(), b.end(), r.Bytes.begin() + 2);
  return r;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  std::string r = "[";
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
    r += buf;
  }
  return r + "]";
}

// The destination value as text, read without the converters.
std::string Show(std::uint16_t type, const std::uint8_t* p, int len) {
  auto get = [p](auto v) {
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  switch (type) {
    case dtInt8: return std::to_string(get(std::int8_t()));
    case dtUInt8: return std::to_string(get(std::uint8_t()));
    case dtInt16: return std::to_string(get(std::int16_t()));
    case dtUInt16: return std::to_string(get(std::uint16_t()));
    case dtInt32: return std::to_string(get(std::int32_t()));
    case dtUInt32: return std::to_string(get(std::uint32_t()));
    case dtInt64: return std::to_string(get(std::int64_t()));
    case dtBoolean: return "w" + std::to_string(get(std::int16_t()));
    case dtFloat:
    case dtCurrency: return FloatToStr(get(double()));
    case dtSingle: return SingleToStr(get(float()));
    case dtBCD: return CurrToStr(Currency::FromScaled(get(std::int64_t())));
    case dtFMTBCD: {
      TBcd b = get(TBcd());
      return BcdToStr(b) + "/" + std::to_string(BcdScale(b));
    }
    case dtDate: return "d" + std::to_string(get(std::int32_t()));
    case dtTime: return "t" + std::to_string(get(std::int32_t()));
    case dtDateTime: return "m" + FloatToStr(get(double()));
    case dtSQLTimeStamp: return SQLTimeStampToStr(get(TSQLTimeStamp()));
    case dtString:
    case dtGuid: return std::string(reinterpret_cast<const char*>(p));
    case dtWideString: return Utf16ToUtf8(reinterpret_cast<const char16_t*>(p));
    case dtBytes: return Hex(p, static_cast<std::size_t>(len));
    case dtVarBytes: return Hex(p + 2, get(std::uint16_t()));
    default: return "?";
  }
}

struct Case {
  Val Source;
  std::uint16_t Dest;
  int DestLen;
  int DestScale;
  const char* Expected;        // the value shown, or "!" and the message
  const char* Ignored = nullptr;  // with IgnoreErrors, when it differs
};

// Runs one conversion into a destination pre-filled with 0xEE bytes (an
// Ext slot: no buffer); a failure must leave the destination as it was.
std::string RunOne(const Val& src, std::uint16_t dest, int destLen, int destScale, bool ignore) {
  static TStringHeap heap;
  TConvertProcedure convert = TDataConverters::Find(src.Type, dest);
  if (!convert) return "no converter";
  const bool ext = dest == dtExtString || dest == dtExtWideString || dest == dtExtVarBytes;
  alignas(8) std::uint8_t in[256] = {};
  if (!src.Bytes.empty()) std::memcpy(in, src.Bytes.data(), src.Bytes.size());
  alignas(8) std::uint8_t out[256], before[256];
  std::memset(out, 0xEE, sizeof out);
  if (ext) std::memset(out, 0, sizeof(void*));
  std::memcpy(before, out, sizeof out);
  try {
    convert(&heap, in, src.Len, src.Scale, out, destLen, destScale, ignore);
  } catch (const EDataMappingError& e) {
    if (std::memcmp(before, out, sizeof out) != 0) return "destination changed by a failed conversion";
    return "!" + e.Message();
  }
  if (!ext) return Show(dest, out, destLen);
  void* buf;
  std::memcpy(&buf, out, sizeof buf);
  std::string shown = Show(dest == dtExtString ? dtString : dest == dtExtWideString ? dtWideString : dtVarBytes,
                           static_cast<std::uint8_t*>(buf), destLen);
  heap.DisposeBuf(buf);
  return shown;
}

void Check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Source.Type) + " -> " + std::to_string(c.Dest) + " expecting " + c.Expected);
    EXPECT_EQ(RunOne(c.Source, c.Dest, c.DestLen, c.DestScale, false), c.Expected);
    std::string ignored = RunOne(c.Source, c.Dest, c.DestLen, c.DestScale, true);
    EXPECT_EQ(ignored, c.Ignored ? c.Ignored : c.Expected);
  }
}

TEST(KxDataConverters, IntegersAcrossWidths) {
  Check({
      {I8(-128), dtInt16, 0, 0, "-128"},
      {I64(127), dtInt8, 0, 0, "127"},
      {I16(300), dtInt8, 0, 0, "!Value is out of range: 300", "127"},
      {I16(-300), dtInt8, 0, 0, "!Value is out of range: -300", "-128"},
      {I8(-1), dtUInt8, 0, 0, "!Value is out of range: -1", "0"},
      {U8(255), dtInt8, 0, 0, "!Value is out of range: 255", "127"},
      {U16(65535), dtInt16, 0, 0, "!Value is out of range: 65535", "32767"},
      {I32(65536), dtUInt16, 0, 0, "!Value is out of range: 65536", "65535"},
      {U32(4294967295u), dtInt32, 0, 0, "!Value is out of range: 4294967295", "2147483647"},
      {U32(4294967295u), dtInt64, 0, 0, "4294967295"},
      {I64(std::numeric_limits<std::int64_t>::min()), dtUInt32, 0, 0,
       "!Value is out of range: -9223372036854775808", "0"},
      {I64(4294967296), dtUInt32, 0, 0, "!Value is out of range: 4294967296", "4294967295"},
      {I64(-2147483648LL), dtInt32, 0, 0, "-2147483648"},
      {I32(7), dtFloat, 0, 0, "7"},
      {I64(-9007199254740993LL), dtFloat, 0, 0, "-9.007199254740992E15"},
      {I32(7), dtCurrency, 0, 0, "7"},
      {U8(200), dtSingle, 0, 0, "200"},
  });
}

TEST(KxDataConverters, FloatsToIntegersAndSingles) {
  const double inf = std::numeric_limits<double>::infinity();
  Check({
      {F64(2.5), dtInt32, 0, 0, "!Value cannot be converted: 2.5", "2"},
      {F64(-2.5), dtInt8, 0, 0, "!Value cannot be converted: -2.5", "-2"},
      {F64(1e20), dtInt64, 0, 0, "!Value is out of range: 1E20", "9223372036854775807"},
      {F64(-1.0), dtUInt16, 0, 0, "!Value is out of range: -1", "0"},
      {F64(255.0), dtUInt8, 0, 0, "255"},
      {F64(std::nan("")), dtInt32, 0, 0, "!Value cannot be converted: NAN", "0"},
      {F64(-inf), dtInt16, 0, 0, "!Value cannot be converted: -INF", "-32768"},
      {F32(0.1f), dtFloat, 0, 0, "0.10000000149011612"},
      {F32(0.1f), dtString, 20, 0, "0.1"},
      {F64(0.1), dtString, 20, 0, "0.1"},
      {Cur(12.5), dtFloat, 0, 0, "12.5"},
      {F64(1e300), dtSingle, 0, 0, "!Value is out of range: 1E300", "3.4028235E38"},
      {F64(inf), dtSingle, 0, 0, "INF"},
      {F64(std::nan("")), dtSingle, 0, 0, "NAN"},
      {F64(0.1), dtSingle, 0, 0, "0.1"},
  });
}

TEST(KxDataConverters, BcdScaleAndRange) {
  Check({
      // value x 10 000 must be whole on the exact decimal, not the double
      {F64(0.1), dtBCD, 0, 0, "0.1"},
      {F64(1.2345), dtBCD, 0, 0, "1.2345"},
      {F64(0.00001), dtBCD, 0, 0, "!Value cannot be converted: 0.00001", "0"},
      {F64(1.23456), dtBCD, 0, 0, "!Value cannot be converted: 1.23456", "1.2345"},
      {F64(1.2345), dtBCD, 10, 2, "!1.2345 has invalid scale", "1.23"},
      {F64(-1.2345), dtBCD, 10, 2, "!-1.2345 has invalid scale", "-1.23"},
      {Bcd(12345), dtBCD, 10, 3, "!1.2345 has invalid scale", "1.234"},
      {Bcd(12345), dtBCD, 0, 0, "1.2345"},
      {F64(1e16), dtBCD, 0, 0, "!Value is out of range: 1E16", "922337203685477"},
      {F64(std::nan("")), dtBCD, 0, 0, "!Value cannot be converted: NAN", "0"},
      {I64(922337203685478), dtBCD, 0, 0, "!Value is out of range: 922337203685478", "922337203685477"},
      {I64(-922337203685477), dtBCD, 0, 0, "-922337203685477"},
      {Bcd(25000), dtInt32, 0, 0, "!Value cannot be converted: 2.5", "2"},
      {Bcd(-30000), dtInt16, 0, 0, "-3"},
      {Bcd(3000000), dtInt8, 0, 0, "!Value is out of range: 300", "127"},
      {Bcd(15000), dtFloat, 0, 0, "1.5"},
      {Bcd(std::numeric_limits<std::int64_t>::max()), dtFloat, 0, 0, "922337203685477.6"},
      {Fmt("1.23456"), dtBCD, 0, 0, "!Value cannot be converted: 1.23456", "1.2345"},
      {Fmt("-100000000000000000000"), dtBCD, 0, 0, "!Value is out of range: -100000000000000000000", "-922337203685477"},
      {Str(" 12.5 "), dtBCD, 0, 0, "12.5"},
      {Str("1.5E2"), dtBCD, 0, 0, "150"},
      {Str("x1"), dtBCD, 0, 0, "!x1 is an invalid numeric value", "0"},
      {Str("0.123456"), dtBCD, 0, 0, "!Value cannot be converted: 0.123456", "0.1234"},
      {Bcd(-12345), dtString, 10, 0, "-1.2345"},
  });
}

TEST(KxDataConverters, FmtBcdPrecisionAndScale) {
  Check({
      {Fmt("12345.6"), dtFMTBCD, 5, 2, "!Value is out of range: 12345.6", "999.99/2"},
      {Fmt("-12345.678"), dtFMTBCD, 5, 2, "!-12345.678 has invalid scale", "-999.99/2"},
      {Fmt("1234.5"), dtFMTBCD, 5, 2, "!Value is out of range: 1234.5", "999.99/2"},
      {Fmt("999.994"), dtFMTBCD, 5, 2, "!999.994 has invalid scale", "999.99/2"},
      {Fmt("0.5"), dtFMTBCD, 2, 2, "0.5/1"},
      {Fmt("1.50"), dtFMTBCD, 5, 1, "1.5/2"},
      {Fmt("123"), dtFMTBCD, 0, 0, "123/0"},
      {I64(std::numeric_limits<std::int64_t>::min()), dtFMTBCD, 0, 0, "-9223372036854775808/0"},
      {I32(100000), dtFMTBCD, 5, 0, "!Value is out of range: 100000", "99999/0"},
      {F64(0.1), dtFMTBCD, 10, 4, "0.1/1"},
      {F64(std::numeric_limits<double>::infinity()), dtFMTBCD, 4, 2, "!Value cannot be converted: INF", "99.99/2"},
      {Bcd(12345), dtFMTBCD, 0, 0, "1.2345/4"},
      {Fmt("2.5"), dtInt32, 0, 0, "!Value cannot be converted: 2.5", "2"},
      {Fmt("1000000000000000000000000000000"), dtInt64, 0, 0, "!Value is out of range: 1000000000000000000000000000000",
       "9223372036854775807"},
      {Fmt("-7"), dtInt8, 0, 0, "-7"},
      {Fmt("0.25"), dtFloat, 0, 0, "0.25"},
      {Str("12.3456"), dtFMTBCD, 10, 2, "!12.3456 has invalid scale", "12.35/2"},
      {Str("abc"), dtFMTBCD, 10, 2, "!abc is an invalid numeric value", "0/0"},
      {Fmt("-0.001"), dtString, 10, 0, "-0.001"},
  });
}

TEST(KxDataConverters, BooleansAndNumbers) {
  Check({
      {I8(0), dtBoolean, 0, 0, "w0"},
      {I8(5), dtBoolean, 0, 0, "w5"},
      {I32(65536), dtBoolean, 0, 0, "w-1"},  // non-zero is true even with zero low bits
      {I64(-1), dtBoolean, 0, 0, "w-1"},
      {F64(3.0), dtBoolean, 0, 0, "w3"},
      {F64(0.5), dtBoolean, 0, 0, "!Value cannot be converted: 0.5", "w-1"},
      {F64(1e30), dtBoolean, 0, 0, "w-1"},
      {Bcd(20000), dtBoolean, 0, 0, "w2"},
      {Fmt("0.0"), dtBoolean, 0, 0, "w0"},
      {Bool(0xFFFF), dtInt8, 0, 0, "-1"},
      {Bool(0xFFFF), dtUInt8, 0, 0, "1"},
      {Bool(0xFFFF), dtFloat, 0, 0, "-1"},
      {Bool(0xFFFF), dtBCD, 0, 0, "-1"},
      {Bool(1), dtFMTBCD, 0, 0, "1/0"},
      {Bool(7), dtString, 10, 0, "True"},
      {Bool(0), dtWideString, 10, 0, "False"},
      {Str(" true "), dtBoolean, 0, 0, "w-1"},
      {Str("False"), dtBoolean, 0, 0, "w0"},
      {Str("maybe"), dtBoolean, 0, 0, "!maybe is an invalid boolean value", "w0"},
  });
}

TEST(KxDataConverters, TextToNumbers) {
  Check({
      {Str(" 42 "), dtInt32, 0, 0, "42"},
      {Str("4x"), dtInt32, 0, 0, "!4x is an invalid integer value", "0"},
      {Str("300"), dtInt8, 0, 0, "!Value is out of range: 300", "127"},
      {Str("-99999999999999999999"), dtInt64, 0, 0, "!Value is out of range: -99999999999999999999",
       "-9223372036854775808"},
      {WStr(u"65535"), dtUInt16, 0, 0, "65535"},
      {Str("2.5e3"), dtFloat, 0, 0, "2500"},
      {Str("nope"), dtFloat, 0, 0, "!nope is an invalid numeric value", "0"},
      {Str("1e39"), dtSingle, 0, 0, "!Value is out of range: 1e39", "3.4028235E38"},
      {I16(-32768), dtString, 6, 0, "-32768"},
      {I16(-32768), dtString, 5, 0, "!String value is too long", "-3276"},
      {I64(12345), dtWideString, 3, 0, "!String value is too long", "123"},
  });
}

TEST(KxDataConverters, DatesAndTimes) {
  constexpr double msPerDay = 86400000.0;
  const std::int32_t day = 693594 + 45000;  // 2023-03-15
  Check({
      {Day(day), dtDateTime, 0, 0, ("m" + FloatToStr(day * msPerDay)).c_str()},
      {Ms(3723004), dtDateTime, 0, 0, ("m" + FloatToStr(693594 * msPerDay + 3723004)).c_str()},
      {DT(day * msPerDay + 3723004), dtDate, 0, 0, ("d" + std::to_string(day)).c_str()},
      {DT(day * msPerDay + 3723004), dtTime, 0, 0, "t3723004"},
      {DT(day * msPerDay + 3723004), dtSQLTimeStamp, 0, 0, "2023-03-15 01:02:03.004"},
      {Stamp("2023-03-15 01:02:03"), dtDate, 0, 0, ("d" + std::to_string(day)).c_str()},
      {Stamp("2023-03-15 01:02:03"), dtTime, 0, 0, "t3723000"},
      {Day(day), dtString, 20, 0, "2023-03-15"},
      {Ms(3723004), dtString, 20, 0, "01:02:03.004"},
      {Ms(-5400000), dtString, 20, 0, "-1:30:00"},  // spans of a time column
      {Ms(93600250), dtWideString, 20, 0, "26:00:00.250"},
      {DT(day * msPerDay), dtString, 30, 0, "2023-03-15"},
      {DT(day * msPerDay + 3723000), dtWideString, 30, 0, "2023-03-15 01:02:03"},
      {Stamp("2023-03-15 01:02:03"), dtString, 30, 0, "2023-03-15 01:02:03"},
      {Str(" 2023-03-15 "), dtDate, 0, 0, ("d" + std::to_string(day)).c_str()},
      {Str("01:02:03.004"), dtTime, 0, 0, "t3723004"},
      {Str("2023-03-15 01:02:03"), dtDateTime, 0, 0, ("m" + FloatToStr(day * msPerDay + 3723000)).c_str()},
      {Str("0000-00-00 00:00:00"), dtSQLTimeStamp, 0, 0, "0000-00-00"},
      {Str("soon"), dtDateTime, 0, 0, "!soon is an invalid date or time value",
       ("m" + FloatToStr(693594 * msPerDay)).c_str()},
      {Str("2023-02-30"), dtDate, 0, 0, "!2023-02-30 is an invalid date or time value", "d693594"},
      {Day(0), dtDateTime, 0, 0, "!Value cannot be converted: 0", ("m" + FloatToStr(693594 * msPerDay)).c_str()},
      {Day(day), dtString, 5, 0, "!String value is too long", "2023-"},
  });
  // Text a converter writes is read back by the opposite one.
  for (double ms : {day * msPerDay + 1, day * msPerDay + 86399999, 693594 * msPerDay + 1000}) {
    TConvertProcedure out = TDataConverters::Find(dtDateTime, dtString), in = TDataConverters::Find(dtString, dtDateTime);
    char text[40];
    double back = 0;
    out(nullptr, &ms, 0, 0, text, 39, 0, false);
    in(nullptr, text, 39, 0, &back, 0, 0, false);
    EXPECT_EQ(back, ms) << text;
  }
}

TEST(KxDataConverters, TextLengthsAndForms) {
  Check({
      {Str("abc"), dtString, 3, 0, "abc"},
      {Str("abcd"), dtString, 3, 0, "!String value is too long", "abc"},
      {Str("\xC3\xA9t\xC3\xA9"), dtWideString, 3, 0, "\xC3\xA9t\xC3\xA9"},
      {Str("t\xC3\xA9"), dtString, 2, 0, "!String value is too long", "t"},  // no half character
      {WStr(u"a\U0001F600"), dtWideString, 2, 0, "!String value is too long", "a"},
      {WStr(u"\u00e9t\u00e9"), dtString, 5, 0, "\xC3\xA9t\xC3\xA9"},
      {Str("  pad  "), dtString, 10, 0, "  pad  "},
      {Str("4x", dtGuid), dtString, 38, 0, "4x"},
  });
}

TEST(KxDataConverters, Guids) {
  const char* zero = "{00000000-0000-0000-0000-000000000000}";
  Check({
      {Str("6f9619ff-8b86-d011-b42d-00c04fc964ff"), dtGuid, 38, 0, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
      {Str(" {6f9619ff-8b86-d011-b42d-00c04fc964ff} "), dtGuid, 38, 0, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
      {WStr(u"6f9619ff-8b86-d011-b42d-00c04fc964ff}"), dtGuid, 38, 0, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
      {Str(""), dtGuid, 38, 0, "! is an invalid GUID value", zero},
      {Str("{"), dtGuid, 38, 0, "!{ is an invalid GUID value", zero},
      {Str("not-a-guid"), dtGuid, 38, 0, "!not-a-guid is an invalid GUID value", zero},
      {Str("{6F9619FF-8B86-D011-B42D-00C04FC964FF}", dtGuid), dtWideString, 38, 0,
       "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
      {Str("{6F9619FF-8B86-D011-B42D-00C04FC964FF}", dtGuid), dtString, 10, 0, "!String value is too long",
       "{6F9619FF-"},
  });
}

TEST(KxDataConverters, Bytes) {
  Check({
      {I32(0x01020304), dtBytes, 6, 0, "[04 03 02 01 00 00]"},
      {I32(0x01020304), dtVarBytes, 4, 0, "[04 03 02 01]"},
      {I32(1), dtVarBytes, 3, 0, "!Binary value is too long", "[01 00 00]"},
      {Str("ab"), dtVarBytes, 10, 0, "[61 62]"},
      {WStr(u"ab"), dtBytes, 4, 0, "[61 00 62 00]"},
      {Bytes({1, 2, 3, 4}), dtInt32, 0, 0, "67305985"},
      {VarBytes({1, 2, 3}), dtInt32, 0, 0, "!Invalid binary value", "-301792767"},  // 3 bytes copied, 0xEE kept
      {Bytes({0, 0}), dtBoolean, 0, 0, "w0"},
      {Bytes(std::vector<std::uint8_t>(34, 0xFF)), dtFMTBCD, 0, 0, "!Invalid binary value", "0/0"},
      {Bytes({0, 0, 0, 0}), dtDate, 0, 0, "!Invalid binary value", "d693594"},
      {Bytes({'h', 'i', 0, 0}), dtString, 10, 0, "hi"},
      {Bytes({'h', 0, 'i', 0, 0, 0, 7}), dtWideString, 10, 0, "hi"},
      {VarBytes({'h', 0, 'i', 0}), dtWideString, 10, 0, "hi"},
      {VarBytes({'a', 'b', 'c'}), dtString, 2, 0, "!String value is too long", "ab"},
      {Bytes({1, 2, 3}), dtVarBytes, 2, 0, "!Binary value is too long", "[01 02]"},
      {VarBytes({9}), dtBytes, 3, 0, "[09 00 00]"},
  });
}

// Ext forms, large objects: heap buffers and blob handles.
TEST(KxDataConverters, HeapAndBlobForms) {
  TStringHeap heap;
  const char* text = "hello";
  void* slot = nullptr;
  TConvertProcedure toExt = TDataConverters::Find(dtString, dtExtString);
  toExt(&heap, text, 5, 0, &slot, 0, 0, false);
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(static_cast<char*>(slot), "hello");
  // A failed conversion keeps the old buffer; a successful one replaces it.
  void* before = slot;
  EXPECT_THROW(toExt(&heap, "toolong", 7, 0, &slot, 3, 0, false), EDataMappingError);
  EXPECT_EQ(slot, before);
  toExt(&heap, "toolong", 7, 0, &slot, 3, 0, true);
  EXPECT_STREQ(static_cast<char*>(slot), "too");

  std::int32_t n = 0;
  TDataConverters::Find(dtExtString, dtInt32)(&heap, &slot, 0, 0, &n, 0, 0, true);
  EXPECT_EQ(n, 0);  // "too" is not an integer
  void* wide = nullptr;
  TDataConverters::Find(dtExtString, dtExtWideString)(&heap, &slot, 0, 0, &wide, 0, 0, false);
  EXPECT_EQ(std::u16string(static_cast<char16_t*>(wide)), u"too");
  void* bin = nullptr;
  TDataConverters::Find(dtExtWideString, dtExtVarBytes)(&heap, &wide, 0, 0, &bin, 0, 0, false);
  std::uint16_t binLen;
  std::memcpy(&binLen, bin, 2);
  EXPECT_EQ(binLen, 6);
  void* empty = nullptr;
  char out[8] = "xxxxxxx";
  TDataConverters::Find(dtExtVarBytes, dtString)(&heap, &empty, 0, 0, out, 7, 0, false);
  EXPECT_STREQ(out, "");

  TSharedRef<TBlob> memo = NewShared<TBlob>(false), wmemo = NewShared<TBlob>(true);
  void* memoSlot = memo.Get();
  void* wmemoSlot = wmemo.Get();
  TDataConverters::Find(dtString, dtMemo)(&heap, "memo text", 9, 0, &memoSlot, 0, 0, false);
  EXPECT_EQ(memo->AsAnsiString(), "memo text");
  TDataConverters::Find(dtMemo, dtWideMemo)(&heap, &memoSlot, 0, 0, &wmemoSlot, 0, 0, false);
  EXPECT_EQ(wmemo->AsWideString(), u"memo text");
  char small[5];
  EXPECT_THROW(TDataConverters::Find(dtWideMemo, dtString)(&heap, &wmemoSlot, 0, 0, small, 4, 0, false),
               EDataMappingError);
  TDataConverters::Find(dtBlob, dtString)(&heap, &memoSlot, 0, 0, small, 4, 0, true);
  EXPECT_STREQ(small, "memo");
}

// Every registered converter, on edge values of its source and a range of
// destination sizes: with IgnoreErrors it never raises; without, it either
// succeeds or raises EDataMappingError leaving the destination untouched.
TEST(KxDataConverters, EveryPairOnEdgeValues) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  std::vector<Val> samples = {
      I8(-128), U8(255), I16(-32768), U16(65535), I32(std::numeric_limits<std::int32_t>::min()),
      U32(4294967295u), I64(std::numeric_limits<std::int64_t>::max()), I64(0), F64(nan), F64(-inf), F64(-1e300),
      F64(0.1), F32(3.4e38f), Cur(-0.5), Bool(0), Bool(0xFFFF), Bcd(std::numeric_limits<std::int64_t>::min()),
      Bcd(12345), Fmt("-99999999999999999999999999999999.99999999999999999999999999999999"), Fmt("0.000000001"),
      Day(1), Day(0), Ms(86399999), Ms(-1), DT(nan), DT(-5), DT(63113904000000.0), Stamp("9999-12-31 23:59:59"),
      Stamp("0000-00-00"), Of(dtSQLTimeStamp, TSQLTimeStamp{2020, 13, 1, 0, 0, 0, 0}), Str(""), Str("12.5"),
      Str("-9223372036854775809"), Str("2020-01-01 10:00:00"), Str("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
      WStr(u""), WStr(u"\U0001F600 true"), Bytes({}), Bytes({1, 2, 3, 4}), Bytes(std::vector<std::uint8_t>(34, 0)),
      VarBytes({}), VarBytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Str("{00000000", dtGuid)};
  int runs = 0;
  for (const TOnDemandPair& p : TDataConverters::MatrixPairs())
    for (auto [from, to] : {std::pair{p.SourceDataType, p.DestDataType}, std::pair{p.DestDataType, p.SourceDataType}})
      for (const Val& v : samples) {
        if (v.Type != from || IsBlobFieldType(to)) continue;  // large objects: HeapAndBlobForms
        for (int len : {0, 1, 4, 40})
          for (int scale : {0, 2}) {
            std::string strict = RunOne(v, to, len, scale, false), lenient = RunOne(v, to, len, scale, true);
            EXPECT_NE(lenient[0], '!') << from << "->" << to << " " << lenient;
            EXPECT_EQ(strict.find("destination changed"), std::string::npos) << from << "->" << to;
            if (strict[0] != '!') {
              EXPECT_EQ(strict, lenient) << from << "->" << to;
            }
            ++runs;
          }
      }
  EXPECT_GT(runs, 5000);
}

// The matrix: exactly the listed pairs, each with both converters and the
// listed size functions.
TEST(KxDataConverters, RegisteredPairsAreTheListedOnes) {
  using Set = std::vector<std::uint16_t>;
  const Set text = {dtString, dtExtString, dtWideString, dtExtWideString};
  const Set binary = {dtBytes, dtVarBytes, dtExtVarBytes};
  const Set ints = {dtInt8, dtUInt8, dtInt16, dtUInt16, dtInt32, dtUInt32, dtInt64};
  const Set numbers = {dtInt8,  dtUInt8,  dtInt16,    dtUInt16,  dtInt32, dtUInt32, dtInt64,
                       dtFloat, dtSingle, dtCurrency, dtBoolean, dtBCD,   dtFMTBCD};
  auto join = [](std::initializer_list<Set> sets) {
    Set r;
    for (const Set& s : sets) r.insert(r.end(), s.begin(), s.end());
    return r;
  };
  std::set<std::pair<int, int>> expected;
  auto row = [&](const Set& stored, const Set& presented) {
    for (auto s : stored)
      for (auto d : presented)
        if (s != d || !std::count(numbers.begin(), numbers.end(), s) || s == dtBCD || s == dtFMTBCD)
          expected.insert({s, d});
  };
  const Set scalars = join({ints, {dtBoolean, dtFloat, dtSingle, dtCurrency, dtBCD, dtFMTBCD, dtDate, dtTime,
                                   dtDateTime, dtSQLTimeStamp}, text, binary});
  row(join({text, binary}), scalars);
  row(text, {dtGuid});
  row(numbers, join({numbers, text, binary}));
  row({dtDate, dtTime}, join({{dtDateTime, dtSQLTimeStamp}, text, binary}));
  row({dtDateTime}, join({{dtDate, dtTime, dtSQLTimeStamp}, text, binary}));
  row({dtSQLTimeStamp}, join({{dtDate, dtTime, dtDateTime}, text, binary}));
  row({dtMemo}, join({text, {dtWideMemo}}));
  row({dtWideMemo}, join({text, {dtMemo}}));
  row({dtBlob}, join({text, {dtMemo, dtWideMemo}}));
  row({dtGuid}, text);

  std::set<std::pair<int, int>> registered;
  for (const TOnDemandPair& p : TDataConverters::MatrixPairs()) {
    EXPECT_TRUE(registered.insert({p.SourceDataType, p.DestDataType}).second) << "twice";
    EXPECT_NE(TDataConverters::Find(p.SourceDataType, p.DestDataType), nullptr);
    EXPECT_NE(TDataConverters::Find(p.DestDataType, p.SourceDataType), nullptr);
  }
  EXPECT_EQ(registered, expected);
  EXPECT_EQ(registered.size(), 479u);

  auto sizes = [](std::uint16_t s, std::uint16_t d) {
    for (const TOnDemandPair& p : TDataConverters::MatrixPairs())
      if (p.SourceDataType == s && p.DestDataType == d)
        return std::make_pair(p.CalcLength ? p.CalcLength(10) : -1, p.CalcScale ? p.CalcScale(3) : -1);
    return std::make_pair(-2, -2);
  };
  EXPECT_EQ(sizes(dtBytes, dtWideString), std::make_pair(5, -1));
  EXPECT_EQ(sizes(dtExtWideString, dtVarBytes), std::make_pair(20, -1));
  EXPECT_EQ(sizes(dtString, dtExtVarBytes), std::make_pair(10, -1));
  EXPECT_EQ(sizes(dtFMTBCD, dtBCD), std::make_pair(10, 3));
  EXPECT_EQ(sizes(dtInt32, dtFMTBCD), std::make_pair(0, 0));
  EXPECT_EQ(sizes(dtString, dtBCD), std::make_pair(0, 0));
  EXPECT_EQ(sizes(dtString, dtGuid), std::make_pair(38, -1));
  EXPECT_EQ(sizes(dtGuid, dtWideString), std::make_pair(38, -1));
  EXPECT_EQ(sizes(dtInt32, dtString), std::make_pair(-1, -1));
  EXPECT_EQ(sizes(dtMemo, dtString), std::make_pair(-1, -1));

  EXPECT_EQ(TDataConverters::Name(dtInt8, dtUInt8), "Int8ToUInt8");
  EXPECT_EQ(TDataConverters::Name(dtCurrency, dtExtString), "FloatToExtAStr");
  EXPECT_EQ(TDataConverters::Name(dtBlob, dtWideMemo), "MemoToWideMemo");
  EXPECT_EQ(TDataConverters::Name(dtGuid, dtBytes), "");
}

}  // namespace
}  // namespace lumo
