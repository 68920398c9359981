#include <lumokit/dataset/FieldTypes.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include <strings.h>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/dataset/DataSet.h>

namespace lumo {

namespace {

template <typename T>
T Load(const void* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void Store(void* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

bool IsBlank(const std::string& s) { return Trim(s).empty(); }

}  // namespace

// ---- text -------------------------------------------------------------------

TStringField::TStringField(TFieldType type) : TField(type) { SetSize(20); }

bool TStringField::ReadText(std::string& text) const {
  std::vector<char> buf(static_cast<std::size_t>(DataSize()), '\0');
  if (!GetData(buf.data())) return false;
  text.assign(buf.data(), strnlen(buf.data(), buf.size()));
  return true;
}

std::string TStringField::GetAsString() const {
  std::string text;
  ReadText(text);
  return text;
}

Variant TStringField::GetAsVariant() const {
  std::string text;
  if (!ReadText(text)) return Variant::Null();
  return Variant(std::move(text));
}

void TStringField::SetAsStringValue(const std::string& value) {
  const std::string_view text(value.c_str());  // up to an embedded zero
  std::vector<char> buf(static_cast<std::size_t>(DataSize()), '\0');
  const std::size_t n = FitTextBytes(text, static_cast<std::size_t>(std::max(Size(), 0)));
  std::memcpy(buf.data(), text.data(), n);
  SetData(buf.data());
}

void TStringField::SetVarValue(const Variant& value) { SetAsStringValue(VarToStr(value)); }

TWideStringField::TWideStringField(TFieldType type) : TStringField(type) {}

bool TWideStringField::ReadWide(std::u16string& text) const {
  std::vector<char16_t> buf(static_cast<std::size_t>(Size() + 1), u'\0');
  if (!GetData(buf.data())) return false;
  std::size_t n = 0;
  while (n < buf.size() && buf[n] != u'\0') ++n;
  text.assign(buf.data(), n);
  return true;
}

Variant TWideStringField::GetAsVariant() const {
  std::u16string text;
  if (!ReadWide(text)) return Variant::Null();
  return Variant(std::move(text));
}

void TWideStringField::SetVarValue(const Variant& value) { SetAsWideStringValue(VarToWideStr(value)); }

std::string TWideStringField::GetAsString() const { return UnicodeToAnsi(GetAsWideString()); }

void TWideStringField::SetAsStringValue(const std::string& value) { SetAsWideStringValue(AnsiToUnicode(value)); }

std::u16string TWideStringField::GetAsWideString() const {
  std::u16string text;
  ReadWide(text);
  return text;
}

void TWideStringField::SetAsWideStringValue(const std::u16string& value) {
  std::u16string_view text(value.c_str());
  std::vector<char16_t> buf(static_cast<std::size_t>(Size() + 1), u'\0');
  const std::size_t n = FitWideUnits(text, static_cast<std::size_t>(std::max(Size(), 0)));
  std::memcpy(buf.data(), text.data(), 2 * n);
  SetData(buf.data());
}

TGuidField::TGuidField() : TStringField(ftGuid) { SetSize(38); }

void TGuidField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value)) {
    Clear();
    return;
  }
  TGUID guid;
  if (!TryStrToGUID(Trim(value), guid)) throw EConvertError(Format("'%s' is not a valid GUID value", {value}));
  TStringField::SetAsStringValue(GUIDToString(guid));
}

// ---- integers -------------------------------------------------------------------

TIntegerField::TIntegerField() : TIntegerField(ftInteger, 4, true) {}

TIntegerField::TIntegerField(TFieldType type, int bytes, bool isSigned)
    : TNumericField(type), FBytes(bytes), FSigned(isSigned) {}

std::int64_t TIntegerField::TypeMin() const noexcept {
  if (!FSigned) return 0;
  return -(std::int64_t{1} << (8 * FBytes - 1));
}

std::int64_t TIntegerField::TypeMax() const noexcept {
  return FSigned ? (std::int64_t{1} << (8 * FBytes - 1)) - 1 : (std::int64_t{1} << (8 * FBytes)) - 1;
}

void TIntegerField::SetMinValue(std::int64_t value) { FMinValue = std::clamp(value, TypeMin(), TypeMax()); }

void TIntegerField::SetMaxValue(std::int64_t value) { FMaxValue = std::clamp(value, TypeMin(), TypeMax()); }

bool TIntegerField::ReadValue(std::int64_t& value) const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  switch (FBytes) {
    case 1:
      value = FSigned ? Load<std::int8_t>(buf) : Load<std::uint8_t>(buf);
      break;
    case 2:
      value = FSigned ? Load<std::int16_t>(buf) : Load<std::uint16_t>(buf);
      break;
    default:
      value = FSigned ? Load<std::int32_t>(buf) : static_cast<std::int64_t>(Load<std::uint32_t>(buf));
      break;
  }
  return true;
}

void TIntegerField::WriteValue(std::int64_t value) {
  std::int64_t lo = TypeMin(), hi = TypeMax();
  if (FMinValue != 0 || FMaxValue != 0) {
    lo = std::max(lo, FMinValue);
    hi = std::min(hi, FMaxValue);
  }
  if (value < lo || value > hi) RangeError(std::to_string(value), std::to_string(lo), std::to_string(hi));
  std::uint8_t buf[8] = {};
  switch (FBytes) {
    case 1:
      Store(buf, static_cast<std::uint8_t>(value));
      break;
    case 2:
      Store(buf, static_cast<std::uint16_t>(value));
      break;
    default:
      Store(buf, static_cast<std::uint32_t>(value));
      break;
  }
  SetData(buf);
}

Variant TIntegerField::GetAsVariant() const {
  std::int64_t v = 0;
  if (!ReadValue(v)) return Variant::Null();
  switch (FBytes) {
    case 1:
      return FSigned ? Variant(static_cast<std::int8_t>(v)) : Variant(static_cast<std::uint8_t>(v));
    case 2:
      return FSigned ? Variant(static_cast<std::int16_t>(v)) : Variant(static_cast<std::uint16_t>(v));
    default:
      return FSigned ? Variant(static_cast<std::int32_t>(v)) : Variant(static_cast<std::uint32_t>(v));
  }
}

void TIntegerField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    WriteValue(value.AsInt64());
}

std::string TIntegerField::GetAsString() const {
  std::int64_t v = 0;
  return ReadValue(v) ? std::to_string(v) : std::string();
}

void TIntegerField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    WriteValue(StrToInt64(Trim(value)));
}

std::int32_t TIntegerField::GetAsInteger() const {
  std::int64_t v = 0;
  if (!ReadValue(v)) return 0;
  if (v >= INT32_MIN && v <= INT32_MAX) return static_cast<std::int32_t>(v);
  return Variant(v).AsInt32();  // raises the overflow error
}

void TIntegerField::SetAsIntegerValue(std::int32_t value) { WriteValue(value); }

std::int64_t TIntegerField::GetAsLargeInt() const {
  std::int64_t v = 0;
  ReadValue(v);
  return v;
}

void TIntegerField::SetAsLargeIntValue(std::int64_t value) { WriteValue(value); }

double TIntegerField::GetAsFloat() const { return static_cast<double>(GetAsLargeInt()); }

void TIntegerField::SetAsFloatValue(double value) { WriteValue(Variant(value).AsInt64()); }

bool TIntegerField::GetAsBoolean() const { return GetAsLargeInt() != 0; }

void TIntegerField::SetAsBooleanValue(bool value) { WriteValue(value ? 1 : 0); }

TLargeintField::TLargeintField() : TNumericField(ftLargeint) {}

bool TLargeintField::ReadValue(std::int64_t& value) const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  value = Load<std::int64_t>(buf);
  return true;
}

Variant TLargeintField::GetAsVariant() const {
  std::int64_t v = 0;
  return ReadValue(v) ? Variant(v) : Variant::Null();
}

void TLargeintField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsLargeIntValue(value.AsInt64());
}

std::string TLargeintField::GetAsString() const {
  std::int64_t v = 0;
  return ReadValue(v) ? std::to_string(v) : std::string();
}

void TLargeintField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    SetAsLargeIntValue(StrToInt64(Trim(value)));
}

std::int32_t TLargeintField::GetAsInteger() const { return Variant(GetAsLargeInt()).AsInt32(); }

std::int64_t TLargeintField::GetAsLargeInt() const {
  std::int64_t v = 0;
  ReadValue(v);
  return v;
}

void TLargeintField::SetAsLargeIntValue(std::int64_t value) {
  if ((FMinValue != 0 || FMaxValue != 0) && (value < FMinValue || value > FMaxValue))
    RangeError(std::to_string(value), std::to_string(FMinValue), std::to_string(FMaxValue));
  std::uint8_t buf[8];
  Store(buf, value);
  SetData(buf);
}

double TLargeintField::GetAsFloat() const { return static_cast<double>(GetAsLargeInt()); }

void TLargeintField::SetAsFloatValue(double value) { SetAsLargeIntValue(Variant(value).AsInt64()); }

// ---- floating point ------------------------------------------------------------------

TFloatField::TFloatField() : TFloatField(ftFloat, false, 15) {}

TFloatField::TFloatField(TFieldType type, bool single, int precision)
    : TNumericField(type), FSingle(single), FPrecision(precision) {}

void TFloatField::SetPrecision(int value) noexcept { FPrecision = std::clamp(value, 2, FSingle ? 7 : 15); }

bool TFloatField::ReadValue(double& value) const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  value = FSingle ? static_cast<double>(Load<float>(buf)) : Load<double>(buf);
  return true;
}

Variant TFloatField::GetAsVariant() const {
  double v = 0;
  if (!ReadValue(v)) return Variant::Null();
  return FSingle ? Variant(static_cast<float>(v)) : Variant(v);
}

void TFloatField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsFloatValue(value.AsDouble());
}

std::string TFloatField::GetAsString() const {
  double v = 0;
  if (!ReadValue(v)) return {};
  return FSingle ? SingleToStr(static_cast<float>(v)) : FloatToStr(v);
}

void TFloatField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    SetAsFloatValue(StrToFloat(Trim(value)));
}

std::int32_t TFloatField::GetAsInteger() const { return Variant(GetAsFloat()).AsInt32(); }

std::int64_t TFloatField::GetAsLargeInt() const { return Variant(GetAsFloat()).AsInt64(); }

double TFloatField::GetAsFloat() const {
  double v = 0;
  ReadValue(v);
  return v;
}

void TFloatField::SetAsFloatValue(double value) {
  if ((FMinValue != 0 || FMaxValue != 0) && (value < FMinValue || value > FMaxValue))
    RangeError(FloatToStr(value), FloatToStr(FMinValue), FloatToStr(FMaxValue));
  std::uint8_t buf[8] = {};
  if (FSingle) {
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX)
      RangeError(FloatToStr(value), FloatToStr(-FLT_MAX), FloatToStr(FLT_MAX));
    Store(buf, static_cast<float>(value));
  } else {
    Store(buf, value);
  }
  SetData(buf);
}

lumo::Currency TFloatField::GetAsCurrency() const { return DoubleToCurr(GetAsFloat()); }

TCurrencyField::TCurrencyField() : TFloatField(ftCurrency, false, 15) { SetCurrency(true); }

// ---- BCD ----------------------------------------------------------------------------

TBCDField::TBCDField() : TNumericField(ftBCD) { SetSize(4); }

bool TBCDField::ReadValue(lumo::Currency& value) const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  value = lumo::Currency::FromScaled(Load<std::int64_t>(buf));
  return true;
}

Variant TBCDField::GetAsVariant() const {
  lumo::Currency v;
  return ReadValue(v) ? Variant(v) : Variant::Null();
}

void TBCDField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsCurrencyValue(value.AsCurrency());
}

std::string TBCDField::GetAsString() const {
  lumo::Currency v;
  return ReadValue(v) ? CurrToStr(v) : std::string();
}

void TBCDField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    SetAsCurrencyValue(StrToCurr(Trim(value)));
}

double TBCDField::GetAsFloat() const { return CurrToDouble(GetAsCurrency()); }

void TBCDField::SetAsFloatValue(double value) { SetAsCurrencyValue(DoubleToCurr(value)); }

lumo::Currency TBCDField::GetAsCurrency() const {
  lumo::Currency v;
  ReadValue(v);
  return v;
}

void TBCDField::SetAsCurrencyValue(lumo::Currency value) {
  if ((FMinValue.Scaled != 0 || FMaxValue.Scaled != 0) && (value < FMinValue || value > FMaxValue))
    RangeError(CurrToStr(value), CurrToStr(FMinValue), CurrToStr(FMaxValue));
  std::uint8_t buf[8];
  Store(buf, value.Scaled);
  SetData(buf);
}

std::int32_t TBCDField::GetAsInteger() const { return Variant(GetAsCurrency()).AsInt32(); }

std::int64_t TBCDField::GetAsLargeInt() const { return Variant(GetAsCurrency()).AsInt64(); }

void TBCDField::SetAsIntegerValue(std::int32_t value) { SetAsCurrencyValue(Variant(value).AsCurrency()); }

void TBCDField::SetAsLargeIntValue(std::int64_t value) { SetAsCurrencyValue(Variant(value).AsCurrency()); }

TBcd TBCDField::GetAsBCD() const { return CurrToBcd(GetAsCurrency()); }

void TBCDField::SetAsBCDValue(const TBcd& value) { SetAsCurrencyValue(BcdToCurr(value)); }

TFMTBCDField::TFMTBCDField() : TNumericField(ftFMTBcd) { SetSize(8); }

bool TFMTBCDField::ReadValue(TBcd& value) const {
  std::uint8_t buf[SizeOfTBcd] = {};
  if (!GetData(buf)) return false;
  std::memcpy(&value, buf, SizeOfTBcd);
  return true;
}

Variant TFMTBCDField::GetAsVariant() const {
  TBcd v{};
  return ReadValue(v) ? Variant(v) : Variant::Null();
}

void TFMTBCDField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsBCDValue(value.AsBcd());
}

std::string TFMTBCDField::GetAsString() const {
  TBcd v{};
  return ReadValue(v) ? BcdToStr(v) : std::string();
}

void TFMTBCDField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    SetAsBCDValue(StrToBcd(Trim(value)));
}

double TFMTBCDField::GetAsFloat() const {
  TBcd v{};
  return ReadValue(v) ? BcdToDouble(v) : 0.0;
}

std::int64_t TFMTBCDField::GetAsLargeInt() const {
  TBcd v{};
  return ReadValue(v) ? BcdToInt64(v) : 0;
}

std::int32_t TFMTBCDField::GetAsInteger() const { return Variant(GetAsLargeInt()).AsInt32(); }

TBcd TFMTBCDField::GetAsBCD() const {
  TBcd v{};
  ReadValue(v);
  return v;
}

void TFMTBCDField::SetAsBCDValue(const TBcd& value) {
  if (!FMinValue.empty() && BcdCompare(value, StrToBcd(FMinValue)) < 0)
    RangeError(BcdToStr(value), FMinValue, FMaxValue.empty() ? "" : FMaxValue);
  if (!FMaxValue.empty() && BcdCompare(value, StrToBcd(FMaxValue)) > 0)
    RangeError(BcdToStr(value), FMinValue.empty() ? "" : FMinValue, FMaxValue);
  SetData(&value);
}

lumo::Currency TFMTBCDField::GetAsCurrency() const {
  TBcd v{};
  return ReadValue(v) ? BcdToCurr(v) : lumo::Currency{};
}

// ---- boolean ------------------------------------------------------------------------

TBooleanField::TBooleanField() : TField(ftBoolean) {}

void TBooleanField::SetDisplayValues(std::string value) {
  const std::size_t sep = value.find(';');
  FTrueText = value.substr(0, sep);
  FFalseText = sep == std::string::npos ? std::string() : value.substr(sep + 1);
  FDisplayValues = std::move(value);
}

Variant TBooleanField::GetAsVariant() const {
  std::uint8_t buf[2] = {};
  if (!GetData(buf)) return Variant::Null();
  return Variant(Load<std::uint16_t>(buf) != 0);
}

void TBooleanField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsBooleanValue(value.AsBoolean());
}

std::string TBooleanField::GetAsString() const {
  const Variant v = GetAsVariant();
  if (v.IsNull()) return {};
  return v.AsBoolean() ? FTrueText : FFalseText;
}

void TBooleanField::SetAsStringValue(const std::string& value) {
  const std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  auto same = [&](const std::string& s) { return !s.empty() && strcasecmp(s.c_str(), text.c_str()) == 0; };
  bool b = false;
  if (same(FTrueText))
    b = true;
  else if (same(FFalseText))
    b = false;
  else if (!TryStrToBool(text, b))
    throw EConvertError(Format("'%s' is not a valid boolean value for field '%s'", {value, DisplayName()}));
  SetAsBooleanValue(b);
}

bool TBooleanField::GetAsBoolean() const {
  const Variant v = GetAsVariant();
  return !v.IsNull() && v.AsBoolean();
}

void TBooleanField::SetAsBooleanValue(bool value) {
  const std::uint16_t v = value ? 1 : 0;
  SetData(&v);
}

std::int32_t TBooleanField::GetAsInteger() const { return GetAsBoolean() ? 1 : 0; }

// ---- date and time ---------------------------------------------------------------------

TDateTimeField::TDateTimeField() : TDateTimeField(ftDateTime) {}

TDateTimeField::TDateTimeField(TFieldType type) : TField(type) {}

int TDateTimeField::DataSize() const { return DataType() == ftDate ? 4 : 8; }

bool TDateTimeField::ReadMicros(std::int64_t& micros) const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  if (DataType() == ftDate) {
    const auto day = Load<std::int32_t>(buf);
    micros = DateTimeToMicros(TimeStampToDateTime(TTimeStamp{day, 0}));
    return true;
  }
  micros = Load<std::int64_t>(buf);
  if (DataType() == ftTime && !IsTimeSpanMicros(micros)) micros = TimeOfMicros(micros);
  return true;
}

void TDateTimeField::WriteMicros(std::int64_t micros) {
  std::uint8_t buf[8] = {};
  switch (DataType()) {
    case ftDate: {
      TDateTimeParts parts;
      if (!TryDecodeMicros(micros, parts)) throw EConvertError("Invalid date-time value");
      Store(buf, static_cast<std::int32_t>(DateDelta + micros / USecsPerDay));
      break;
    }
    case ftTime:
      Store(buf, IsTimeSpanMicros(micros) ? micros : TimeOfMicros(micros));
      break;
    default:
      Store(buf, micros);
      break;
  }
  SetData(buf);
}

bool TDateTimeField::ReadValue(TDateTime& value) const {
  std::int64_t micros = 0;
  if (!ReadMicros(micros)) return false;
  value = MicrosToDateTime(micros);
  return true;
}

Variant TDateTimeField::GetAsVariant() const {
  std::int64_t micros = 0;
  if (!ReadMicros(micros)) return Variant::Null();
  return DataType() == ftDate ? Variant::FromDate(MicrosToDateTime(micros)) : Variant::FromDateMicros(micros);
}

void TDateTimeField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    WriteMicros(value.AsDateMicros());
}

std::string TDateTimeField::GetAsString() const {
  std::int64_t micros = 0;
  if (!ReadMicros(micros)) return {};
  switch (DataType()) {
    case ftDate:
      return DateToStr(MicrosToDateTime(micros));
    case ftTime:
      // A time of day in the settings' format; a span beyond a day or below
      // zero as it is.
      if (micros >= 0 && micros < USecsPerDay) return TimeToStr(MicrosToDateTime(micros));
      return TimeSpanMicrosToStr(micros);
    default:
      return DateTimeToStr(MicrosToDateTime(micros));
  }
}

void TDateTimeField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value)) {
    Clear();
    return;
  }
  const std::string text = Trim(value);
  std::int64_t micros = 0;
  switch (DataType()) {
    case ftDate:
      SetAsDateTimeValue(StrToDate(text));
      break;
    case ftTime:
      if (TryStrToTimeSpanMicros(text, micros))
        WriteMicros(micros);
      else
        SetAsDateTimeValue(StrToTime(text));
      break;
    default:
      if (TryStrToDateTimeMicros(text, micros))
        WriteMicros(micros);
      else
        SetAsDateTimeValue(StrToDateTime(text));
      break;
  }
}

double TDateTimeField::GetAsFloat() const { return GetAsDateTime(); }

TDateTime TDateTimeField::GetAsDateTime() const {
  TDateTime v = 0;
  ReadValue(v);
  return v;
}

void TDateTimeField::SetAsDateTimeValue(TDateTime value) { WriteMicros(DateTimeToMicros(value)); }

TSQLTimeStamp TDateTimeField::GetAsSQLTimeStamp() const {
  TDateTime v = 0;
  return ReadValue(v) ? DateTimeToSQLTimeStamp(v) : TSQLTimeStamp{};
}

void TDateTimeField::SetAsSQLTimeStampValue(const TSQLTimeStamp& value) {
  std::int64_t micros = 0;
  if (!TrySQLTimeStampToMicros(value, micros)) throw EConvertError("Invalid SQL time stamp value");
  WriteMicros(micros);
}

TSQLTimeStampField::TSQLTimeStampField(TFieldType type) : TField(type) {}

bool TSQLTimeStampField::ReadValue(TSQLTimeStamp& value) const {
  std::uint8_t buf[sizeof(TSQLTimeStamp)] = {};
  if (!GetData(buf)) return false;
  std::memcpy(&value, buf, sizeof value);
  return true;
}

Variant TSQLTimeStampField::GetAsVariant() const {
  TSQLTimeStamp v{};
  return ReadValue(v) ? Variant(v) : Variant::Null();
}

void TSQLTimeStampField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsSQLTimeStampValue(value.AsSQLTimeStamp());
}

std::string TSQLTimeStampField::GetAsString() const {
  TSQLTimeStamp v{};
  return ReadValue(v) ? SQLTimeStampToStr(v) : std::string();
}

void TSQLTimeStampField::SetAsStringValue(const std::string& value) {
  if (IsBlank(value))
    Clear();
  else
    SetAsSQLTimeStampValue(StrToSQLTimeStamp(Trim(value)));
}

TDateTime TSQLTimeStampField::GetAsDateTime() const {
  TSQLTimeStamp v{};
  return ReadValue(v) ? SQLTimeStampToDateTime(v) : 0.0;
}

void TSQLTimeStampField::SetAsDateTimeValue(TDateTime value) { SetAsSQLTimeStampValue(DateTimeToSQLTimeStamp(value)); }

TSQLTimeStamp TSQLTimeStampField::GetAsSQLTimeStamp() const {
  TSQLTimeStamp v{};
  ReadValue(v);
  return v;
}

void TSQLTimeStampField::SetAsSQLTimeStampValue(const TSQLTimeStamp& value) { SetData(&value); }

// ---- binary -------------------------------------------------------------------------------

TBytesField::TBytesField() : TBytesField(ftBytes) {}

TBytesField::TBytesField(TFieldType type) : TField(type) { SetSize(16); }

int TBytesField::DataSize() const { return DataType() == ftVarBytes ? Size() + 2 : Size(); }

bool TBytesField::ReadBytes(std::vector<std::uint8_t>& bytes) const {
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(DataSize(), 2)), 0);
  if (!GetData(buf.data())) return false;
  if (DataType() == ftVarBytes) {
    const std::size_t n = std::min<std::size_t>(Load<std::uint16_t>(buf.data()), static_cast<std::size_t>(Size()));
    bytes.assign(buf.begin() + 2, buf.begin() + 2 + static_cast<std::ptrdiff_t>(n));
  } else {
    bytes.assign(buf.begin(), buf.begin() + Size());
  }
  return true;
}

Variant TBytesField::GetAsVariant() const {
  std::vector<std::uint8_t> bytes;
  return ReadBytes(bytes) ? Variant::FromBytes(std::move(bytes)) : Variant::Null();
}

void TBytesField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsBytesValue(value.AsBytes());
}

std::string TBytesField::GetAsString() const {
  std::vector<std::uint8_t> bytes;
  ReadBytes(bytes);
  return std::string(bytes.begin(), bytes.end());
}

void TBytesField::SetAsStringValue(const std::string& value) {
  SetAsBytesValue(std::vector<std::uint8_t>(value.begin(), value.end()));
}

std::vector<std::uint8_t> TBytesField::GetAsBytes() const {
  std::vector<std::uint8_t> bytes;
  ReadBytes(bytes);
  return bytes;
}

void TBytesField::SetAsBytesValue(const std::vector<std::uint8_t>& value) {
  // Binary values are never cut: a longer value is an error.
  if (value.size() > static_cast<std::size_t>(Size()))
    DatabaseError(Format("Value is too long for field '%s'", {DisplayName()}));
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(DataSize(), 1)), 0);
  if (DataType() == ftVarBytes) {
    Store(buf.data(), static_cast<std::uint16_t>(value.size()));
    std::memcpy(buf.data() + 2, value.data(), value.size());
  } else {
    std::memcpy(buf.data(), value.data(), value.size());
  }
  SetData(buf.data());
}

// ---- large objects ---------------------------------------------------------------------------

TBlobField::TBlobField(TFieldType type) : TField(type) {}

std::string TBlobField::ReadAll() const {
  if (IsNull()) return {};
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(const_cast<TBlobField&>(*this), bmRead);
  return s->ReadToEnd();
}

void TBlobField::WriteAll(const void* data, std::size_t size) {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(*this, bmWrite);
  if (size) s->WriteBuffer(data, static_cast<std::int64_t>(size));
}

std::int64_t TBlobField::BlobSize() const {
  if (IsNull()) return 0;
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(const_cast<TBlobField&>(*this), bmRead);
  return s->Size();
}

void TBlobField::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  const std::string data = stream.ReadToEnd();
  WriteAll(data.data(), data.size());
}

void TBlobField::SaveToStream(TStream& stream) const { stream.WriteBuffer(ReadAll()); }

Variant TBlobField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  const std::string data = ReadAll();
  return Variant::FromBytes(data.data(), data.size());
}

void TBlobField::SetVarValue(const Variant& value) {
  if (value.IsText())
    SetAsStringValue(value.AsString());
  else
    SetAsBytesValue(value.AsBytes());
}

std::string TBlobField::GetAsString() const { return ReadAll(); }

void TBlobField::SetAsStringValue(const std::string& value) { WriteAll(value.data(), value.size()); }

std::vector<std::uint8_t> TBlobField::GetAsBytes() const {
  const std::string data = ReadAll();
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

void TBlobField::SetAsBytesValue(const std::vector<std::uint8_t>& value) { WriteAll(value.data(), value.size()); }

std::string TBlobField::GetText(bool displayText) const {
  if (displayText) return IsNull() ? "(blob)" : "(BLOB)";
  return GetAsString();
}

Variant TMemoField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(ReadAll());
}

std::string TMemoField::GetText(bool displayText) const {
  if (displayText) return IsNull() ? "(memo)" : "(MEMO)";
  return GetAsString();
}

Variant TWideMemoField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsWideString());
}

void TWideMemoField::SetVarValue(const Variant& value) { SetAsWideStringValue(VarToWideStr(value)); }

std::string TWideMemoField::GetAsString() const { return UnicodeToAnsi(GetAsWideString()); }

void TWideMemoField::SetAsStringValue(const std::string& value) { SetAsWideStringValue(AnsiToUnicode(value)); }

std::u16string TWideMemoField::GetAsWideString() const {
  const std::string data = ReadAll();
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), 2 * text.size());
  return text;
}

void TWideMemoField::SetAsWideStringValue(const std::u16string& value) {
  WriteAll(value.data(), 2 * value.size());
}

std::string TWideMemoField::GetText(bool displayText) const {
  if (displayText) return IsNull() ? "(widememo)" : "(WIDEMEMO)";
  return GetAsString();
}

// ---- other values ------------------------------------------------------------------------------

TVariantField::TVariantField() : TField(ftVariant) {}

Variant TVariantField::GetAsVariant() const {
  Variant v;
  if (!GetData(&v)) return Variant::Null();
  return v;
}

void TVariantField::SetVarValue(const Variant& value) { SetData(&value); }

TInterfaceField::TInterfaceField(TFieldType type) : TField(type) {}

Variant TInterfaceField::GetAsVariant() const {
  void* handle = nullptr;
  if (!GetData(&handle) || !handle) return Variant::Null();
  return Variant(TSharedRef<TSharedObject>::Share(static_cast<TSharedObject*>(handle)));
}

void TInterfaceField::SetVarValue(const Variant& value) {
  TSharedObject* object = TSharedObject::FromVariant(value);
  SetData(&object);
}

// ---- structured fields -----------------------------------------------------------------------------

TObjectField::TObjectField(TFieldType type) : TField(type) {}

TField& TObjectField::AddField(std::unique_ptr<TField> field) {
  if (!field) throw EArgumentError("Field cannot be nil");
  field->FDataSet = DataSet();
  field->FParentField = this;
  return FFields.Add(std::move(field));
}

Variant TObjectField::GetAsVariant() const {
  Variant::Array values;
  for (const auto& f : FFields) values.push_back(f->Value());
  return Variant::FromArray(std::move(values));
}

void TObjectField::SetVarValue(const Variant& value) {
  const Variant::Array& values = value.AsArray();
  for (int i = 0; i < FFields.Count(); ++i)
    FFields[i].SetValue(static_cast<std::size_t>(i) < values.size() ? values[static_cast<std::size_t>(i)]
                                                                     : Variant::Null());
}

std::string TObjectField::GetAsString() const {
  std::string text = "(";
  for (int i = 0; i < FFields.Count(); ++i) {
    if (i) text += ", ";
    text += FFields[i].AsString();
  }
  return text + ")";
}

TDataSetField::~TDataSetField() {
  if (FNestedDataSet) FNestedDataSet->SetDataSetField(nullptr);
}

// ---- text limits ---------------------------------------------------------------------------

std::size_t FitTextBytes(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text.size();
  std::size_t n = max;
  if (ResolveCodePage(DefaultCodePage()) == 65001)
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::size_t FitWideUnits(std::u16string_view text, std::size_t max) {
  if (text.size() <= max) return text.size();
  std::size_t n = max;
  if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return n;
}

// ---- factory ------------------------------------------------------------------------------------------

std::unique_ptr<TField> DefaultFieldClass(TFieldType type) {
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftOraInterval:
      return std::make_unique<TStringField>(type);
    case ftWideString:
    case ftFixedWideChar:
      return std::make_unique<TWideStringField>(type);
    case ftGuid:
      return std::make_unique<TGuidField>();
    case ftSmallint:
      return std::make_unique<TSmallintField>();
    case ftInteger:
      return std::make_unique<TIntegerField>();
    case ftWord:
      return std::make_unique<TWordField>();
    case ftAutoInc:
      return std::make_unique<TAutoIncField>();
    case ftLongWord:
      return std::make_unique<TLongWordField>();
    case ftShortint:
      return std::make_unique<TShortintField>();
    case ftByte:
      return std::make_unique<TByteField>();
    case ftLargeint:
      return std::make_unique<TLargeintField>();
    case ftFloat:
      return std::make_unique<TFloatField>();
    case ftCurrency:
      return std::make_unique<TCurrencyField>();
    case ftExtended:
      return std::make_unique<TExtendedField>();
    case ftSingle:
      return std::make_unique<TSingleField>();
    case ftBCD:
      return std::make_unique<TBCDField>();
    case ftFMTBcd:
      return std::make_unique<TFMTBCDField>();
    case ftBoolean:
      return std::make_unique<TBooleanField>();
    case ftDate:
      return std::make_unique<TDateField>();
    case ftTime:
      return std::make_unique<TTimeField>();
    case ftDateTime:
      return std::make_unique<TDateTimeField>();
    case ftTimeStamp:
    case ftOraTimeStamp:
      return std::make_unique<TSQLTimeStampField>(type);
    case ftBytes:
      return std::make_unique<TBytesField>();
    case ftVarBytes:
      return std::make_unique<TVarBytesField>();
    case ftBlob:
    case ftTypedBinary:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftOraBlob:
      return std::make_unique<TBlobField>(type);
    case ftGraphic:
      return std::make_unique<TGraphicField>();
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      return std::make_unique<TMemoField>(type);
    case ftWideMemo:
      return std::make_unique<TWideMemoField>();
    case ftVariant:
      return std::make_unique<TVariantField>();
    case ftInterface:
    case ftCursor:
    case ftObject:
      return std::make_unique<TInterfaceField>(type);
    case ftIDispatch:
      return std::make_unique<TIDispatchField>();
    case ftReference:
      return std::make_unique<TReferenceField>();
    case ftADT:
      return std::make_unique<TADTField>();
    case ftArray:
      return std::make_unique<TArrayField>();
    case ftDataSet:
      return std::make_unique<TDataSetField>();
    case ftUnknown:
    case ftConnection:
    case ftParams:
    case ftStream:
    case ftTimeStampOffset:
      break;
  }
  DatabaseError(Format("Field type %s is not supported", {FieldTypeName(type)}));
}

}  // namespace lumo
