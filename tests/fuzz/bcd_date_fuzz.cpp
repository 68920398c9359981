// Feeds arbitrary bytes to the decimal, number and date parsers and to
// the packed-decimal operations. Malformed input must be rejected with
// false or a conversion error, never a crash; text that parses must
// survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/Variant.h>

using namespace lumo;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void FuzzBcdText(std::string_view text) {
  const TFormatSettings& inv = InvariantFormatSettings();
  TBcd b;
  if (TryStrToBcd(text, b, inv)) {
    const std::string s = BcdToStr(b, inv);
    TBcd again;
    Check(TryStrToBcd(s, again, inv));
    Check(BcdCompare(b, again) == 0);
    Check(BcdToStr(again, inv) == s);
    Check(GetBcdPrecision(b) <= MaxFMTBcdDigits);
    Check(GetBcdScale(b) <= MaxFMTBcdScale);
    try {
      TBcd sum = BcdAdd(b, again);
      TBcd diff = BcdSubtract(sum, again);
      (void)BcdToStr(diff, inv);
      (void)BcdMultiply(b, again);
      (void)BcdDivide(b, again);
    } catch (const EBcdError&) {
    }
    TBcd n;
    (void)NormalizeBcd(b, n, 1 + static_cast<int>(text.size() % 64), static_cast<int>(text.size() % 8));
    Currency c;
    (void)TryBcdToCurr(b, c);
    std::int64_t i = 0;
    (void)TryBcdToInt64(b, i);
    (void)BcdToDouble(b);
  }
}

void FuzzRawBcd(const std::uint8_t* data, std::size_t size) {
  if (size < 2 * sizeof(TBcd)) return;
  TBcd a, b;
  std::memcpy(&a, data, sizeof a);
  std::memcpy(&b, data + sizeof a, sizeof b);
  try {
    (void)BcdToStr(a);
    (void)BcdAdd(a, b);
    (void)BcdMultiply(a, b);
    (void)BcdDivide(a, b);
    (void)BcdCompare(a, b);
  } catch (const EBcdError&) {
  }
}

void FuzzDates(std::string_view text) {
  TDateTime dt = 0;
  if (TryStrToDateTime(text, dt)) {
    const std::string iso = DateTimeToISO(dt);
    TDateTime again = 0;
    Check(TryStrToDateTime(iso, again));
    Check(DateTimeToTimeStamp(again).Date == DateTimeToTimeStamp(dt).Date);
    Check(DateTimeToTimeStamp(again).Time == DateTimeToTimeStamp(dt).Time);
  }
  // Micros and spans read back from their own texts.
  std::int64_t micros = 0, again = 0;
  if (TryStrToDateTimeMicros(text, micros)) {
    Check(TryStrToDateTimeMicros(MicrosToISO(micros), again));
    Check(again == micros);
  }
  if (TryStrToTimeSpanMicros(text, micros)) {
    Check(TryStrToTimeSpanMicros(TimeSpanMicrosToStr(micros), again));
    Check(again == micros);
  }
  TSQLTimeStamp ts;
  if (TryStrToSQLTimeStamp(text, ts)) (void)SQLTimeStampToStr(ts);
  double d = 0;
  if (TryStrToFloat(text, d)) {
    double back = 0;
    Check(TryStrToFloat(FloatToStr(d), back));
    Check(back == d || (d != d && back != back));
  }
  Currency c;
  if (TryStrToCurr(text, c)) Check(StrToCurr(CurrToStr(c)) == c);
  std::int64_t i = 0;
  (void)TryStrToInt64(text, i);
}

void FuzzVariant(std::string_view text) {
  const Variant v{std::string(text)};
  try { (void)v.AsInt64(); } catch (const EConvertError&) {}
  try { (void)v.AsDouble(); } catch (const EConvertError&) {}
  try { (void)v.AsCurrency(); } catch (const EConvertError&) {}
  try { (void)v.AsBcd(); } catch (const EConvertError&) {}
  try { (void)v.AsDate(); } catch (const EConvertError&) {}
  try { (void)v.AsDateMicros(); } catch (const EConvertError&) {}
  try { (void)v.AsBoolean(); } catch (const EConvertError&) {}
  (void)v.AsWideString();
  (void)VarSameValue(v, Variant(1));
  (void)VarEqual(v, Variant::FromDate(1.5));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FuzzBcdText(text);
  FuzzRawBcd(data, size);
  FuzzDates(text);
  FuzzVariant(text);
  return 0;
}
