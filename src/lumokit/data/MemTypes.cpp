#include <lumokit/data/MemTypes.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

// Maps each code point of UTF-8 text through `map`; bytes that are not
// valid UTF-8 are kept as they are (as negative values, so that they never
// equal a code point).
template <typename Map>
std::vector<std::int32_t> MapCodePoints(std::string_view s, Map map) {
  std::vector<std::int32_t> out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::int32_t len = static_cast<std::int32_t>(s.size());
  std::int32_t i = 0;
  while (i < len) {
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(p, i, len, c);
    if (c < 0)
      out.push_back(-1 - static_cast<std::int32_t>(p[start]));
    else
      out.push_back(map(c));
  }
  return out;
}

std::string UpperUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::int32_t len = static_cast<std::int32_t>(s.size());
  std::int32_t i = 0;
  while (i < len) {
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(p, i, len, c);
    if (c < 0) {
      out.push_back(static_cast<char>(p[start]));
      continue;
    }
    c = u_toupper(c);
    std::uint8_t buf[4];
    std::int32_t n = 0;
    UBool error = false;
    U8_APPEND(buf, n, 4, c, error);
    if (error) continue;  // not reachable for a decoded code point
    out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void IndexError(int index) {
  throw EArgumentError(Format("List index out of bounds (%d)", {index}));
}

bool IsStructured(std::uint16_t dataType) {
  return dataType == dtObject || dataType == dtReference || dataType == dtArray || dataType == dtTable;
}

}  // namespace

// --- Data types -------------------------------------------------------------------

bool IsBlobFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtBlob || dataType == dtMemo || dataType == dtWideMemo;
}

bool IsComplexFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtVariant || dataType == dtExtString || dataType == dtExtVarBytes ||
         dataType == dtExtWideString || IsBlobFieldType(dataType);
}

int FieldTypeMinSize(std::uint16_t dataType, int length) noexcept {
  switch (dataType) {
    case dtString:
    case dtGuid:
      return length + 1;
    case dtInt8:
    case dtUInt8:
      return 1;
    case dtInt16:
    case dtUInt16:
    case dtBoolean:
      return 2;
    case dtInt32:
    case dtUInt32:
    case dtSingle:
      return 4;
    case dtFloat:
    case dtDate:
    case dtTime:
    case dtDateTime:
    case dtInt64:
    case dtUInt64:
    case dtCurrency:
    case dtBCD:
      return 8;
    case dtBlob:
    case dtMemo:
    case dtWideMemo:
    case dtObject:
    case dtReference:
    case dtArray:
    case dtTable:
    case dtVariant:
    case dtExtString:
    case dtExtVarBytes:
    case dtExtWideString:
    case dtCursor:
      return SizeOfHandle;
    case dtBytes:
      return length;
    case dtVarBytes:
      return length + 2;
    case dtWideString:
      return 2 * length + 2;
    case dtFMTBCD:
      return SizeOfTBcd;
    case dtSQLTimeStamp:
      return static_cast<int>(sizeof(TSQLTimeStamp));
    default:
      return 0;
  }
}

// --- GUIDs ------------------------------------------------------------------------

bool TryStrToGUID(std::string_view text, TGUID& guid) noexcept {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  const std::string_view body = text.substr(1, 36);
  std::uint8_t bytes[16];
  int n = 0;
  for (size_t i = 0; i < body.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (body[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = HexValue(body[i]), lo = HexValue(body[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  TGUID g;
  g.D1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  g.D2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  g.D3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(g.D4, bytes + 8, 8);
  guid = g;
  return true;
}

std::string GUIDToString(const TGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.D1, g.D2, g.D3, g.D4[0],
                g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5], g.D4[6], g.D4[7]);
  return buf;
}

// --- Date exchange forms -----------------------------------------------------------------

TDateFormat DateFormatOf(std::uint16_t dataType) noexcept {
  switch (dataType) {
    case dtDate:
      return dfDate;
    case dtTime:
    case dtDateTime:
      return dfDateTimeMicros;
    default:
      return dfDateTime;
  }
}

bool IsTimeSpan(TDateTime value) noexcept { return std::fabs(value) < MaxTimeSpanDays; }

bool IsTimeSpanMicros(std::int64_t micros) noexcept {
  constexpr auto limit = static_cast<std::int64_t>(MaxTimeSpanDays) * USecsPerDay;
  return micros > -limit && micros < limit;
}

namespace {

// The day number of micros, checked to lie in the years 1..9999.
std::int64_t CheckedDayNumber(std::int64_t micros) {
  TDateTimeParts parts;
  if (!TryDecodeMicros(micros, parts)) throw EConvertError("Invalid date-time value");
  return DateDelta + micros / USecsPerDay;
}

}  // namespace

void GetDateFromBuf(const void* buf, void* date, TDateFormat format) {
  std::int64_t micros = 0;
  std::memcpy(&micros, buf, sizeof micros);
  switch (format) {
    case dfDateTime: {
      const double dt = MicrosToDateTime(micros);
      std::memcpy(date, &dt, sizeof dt);
      break;
    }
    case dfMSecs: {
      // The flat count of the stamp, the fraction of a millisecond kept.
      const double ms = static_cast<double>(CheckedDayNumber(micros)) * MSecsPerDay +
                        static_cast<double>(TimeOfMicros(micros)) / USecsPerMSec;
      std::memcpy(date, &ms, sizeof ms);
      break;
    }
    case dfTime: {
      // A signed span (a time column): whole days and sign stay in the count.
      const std::int64_t span = IsTimeSpanMicros(micros) ? micros : TimeOfMicros(micros);
      const std::int64_t ms = (span + (span < 0 ? -USecsPerMSec / 2 : USecsPerMSec / 2)) / USecsPerMSec;
      if (ms > std::numeric_limits<std::int32_t>::max() || ms < -std::numeric_limits<std::int32_t>::max())
        throw EConvertError("Time span is too large for milliseconds in 32 bits");
      const auto t = static_cast<std::int32_t>(ms);
      std::memcpy(date, &t, sizeof t);
      break;
    }
    case dfDate: {
      const auto d = static_cast<std::int32_t>(CheckedDayNumber(micros));
      std::memcpy(date, &d, sizeof d);
      break;
    }
    case dfDateTimeMicros:
      std::memcpy(date, &micros, sizeof micros);
      break;
  }
}

void PutDateToBuf(void* buf, const void* date, TDateFormat format) {
  std::int64_t micros = 0;
  switch (format) {
    case dfDateTime: {
      double dt = 0;
      std::memcpy(&dt, date, sizeof dt);
      micros = DateTimeToMicros(dt);
      break;
    }
    case dfMSecs: {
      double ms = 0;
      std::memcpy(&ms, date, sizeof ms);
      const TTimeStamp st = MSecsToTimeStamp(ms);
      micros = DateTimeToMicros(static_cast<double>(st.Date - DateDelta)) +
               (st.Date >= DateDelta ? 1 : -1) * std::int64_t{st.Time} * USecsPerMSec;
      break;
    }
    case dfTime: {
      std::int32_t t = 0;
      std::memcpy(&t, date, sizeof t);
      micros = std::int64_t{t} * USecsPerMSec;  // a signed span, days included
      break;
    }
    case dfDate: {
      std::int32_t d = 0;
      std::memcpy(&d, date, sizeof d);
      micros = DateTimeToMicros(TimeStampToDateTime(TTimeStamp{d, 0}));
      break;
    }
    case dfDateTimeMicros:
      std::memcpy(&micros, date, sizeof micros);
      CheckedDayNumber(micros);
      break;
  }
  std::memcpy(buf, &micros, sizeof micros);
}

// --- Structured types -----------------------------------------------------------------------

TAttribute::~TAttribute() {
  if (FObjectTypeCounted && FObjectType) FObjectType->Release();
}

void TAttribute::SetObjectType(TObjectType* value) {
  if (value == FObjectType) return;
  TObjectType* old = FObjectType;
  const bool oldCounted = FObjectTypeCounted;
  FObjectType = value;
  // A type that refers to itself through its own attribute must not keep
  // itself alive: the owner is never counted.
  FObjectTypeCounted = value != nullptr && value != FOwner;
  if (FObjectTypeCounted) value->AddRef();
  if (oldCounted && old) old->Release();
}

TObjectType::~TObjectType() { ClearAttributes(); }

TAttribute& TObjectType::Attributes(int index) const {
  if (index < 0 || index >= AttributeCount()) IndexError(index);
  return *FAttributes[static_cast<size_t>(index)];
}

TAttribute& TObjectType::AddAttribute() { return AddAttribute(std::make_unique<TAttribute>(this)); }

TAttribute& TObjectType::AddAttribute(std::unique_ptr<TAttribute> attribute) {
  LUMO_ASSERT(attribute && attribute->Owner() == this);
  attribute->SetAttributeNo(static_cast<std::uint16_t>(FAttributes.size() + 1));
  FAttributes.push_back(std::move(attribute));
  return *FAttributes.back();
}

void TObjectType::ClearAttributes() {
  // Attributes may release other types whose destruction must not see a
  // half-cleared list of ours.
  std::vector<std::unique_ptr<TAttribute>> items;
  items.swap(FAttributes);
  items.clear();
}

TAttribute* TObjectType::FindAttribute(std::string_view name) const {
  const std::string path = UpperUtf8(name);
  std::string_view s = path;
  const TObjectType* type = this;
  while (true) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    std::string step;
    if (!s.empty() && s.front() == '[') {
      const size_t close = s.find(']');
      if (close == std::string_view::npos) return nullptr;
      step = "ELEMENT";
      s.remove_prefix(close + 1);
      if (!s.empty() && s.front() == '.') s.remove_prefix(1);
    } else {
      const size_t dot = s.find('.');
      const size_t bracket = s.find('[');
      if (bracket != std::string_view::npos && (dot == std::string_view::npos || bracket < dot)) {
        step = std::string(s.substr(0, bracket));
        s.remove_prefix(bracket);
      } else if (dot != std::string_view::npos) {
        step = std::string(s.substr(0, dot));
        s.remove_prefix(dot + 1);
        if (s.empty()) return nullptr;  // a path may not end with "."
      } else {
        step = std::string(s);
        s = {};
      }
    }
    TAttribute* found = nullptr;
    for (const auto& attr : type->FAttributes)
      if (UpperUtf8(attr->Name()) == step) {
        found = attr.get();
        break;
      }
    if (!found) return nullptr;
    if (s.empty()) return found;
    if (!IsStructured(found->DataType()) || !found->ObjectType()) return nullptr;
    type = found->ObjectType();
  }
}

TAttribute& TObjectType::AttributeByName(std::string_view name) const {
  TAttribute* a = FindAttribute(name);
  if (!a) throw Exception(Format("Attribute %s not found", {name}));
  return *a;
}

TDBObject::~TDBObject() = default;

Variant TDBObject::GetAttributeValue(const std::string& name) {
  throw ENotSupportedError(Format("Attribute %s: object values are not supported", {name}));
}

void TDBObject::SetAttributeValue(const std::string& name, const Variant&) {
  throw ENotSupportedError(Format("Attribute %s: object values are not supported", {name}));
}

bool TDBObject::GetAttrIsNull(const std::string& name) {
  throw ENotSupportedError(Format("Attribute %s: object values are not supported", {name}));
}

// --- Field descriptors --------------------------------------------------------------------

TFieldDesc::~TFieldDesc() = default;

void TFieldDesc::Assign(const TFieldDesc& source) {
  FName = source.FName;
  FActualName = source.FActualName;
  FDataType = source.FDataType;
  FSubDataType = source.FSubDataType;
  FLength = source.FLength;
  FScale = source.FScale;
  FSize = source.FSize;
  FOffset = source.FOffset;
  FRequired = source.FRequired;
  FFieldNo = source.FFieldNo;
}

bool SameFieldName(std::string_view a, std::string_view b) {
  // Simple Unicode case folding per code point. Locale-aware collation (an
  // ICU collator at secondary strength) replaces this comparison once the
  // shared collation service is in place.
  if (a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  auto fold = [](UChar32 c) { return static_cast<std::int32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)); };
  return MapCodePoints(a, fold) == MapCodePoints(b, fold);
}

void TFieldDescs::CheckIndex(int index, bool allowEnd) const {
  if (index < 0 || index > Count() || (index == Count() && !allowEnd)) IndexError(index);
}

TFieldDesc* TFieldDescs::Items(int index) const {
  CheckIndex(index, false);
  return FItems[static_cast<size_t>(index)].get();
}

int TFieldDescs::Add(std::unique_ptr<TFieldDesc> desc) {
  FItems.push_back(std::move(desc));
  return Count() - 1;
}

void TFieldDescs::Insert(int index, std::unique_ptr<TFieldDesc> desc) {
  CheckIndex(index, true);
  FItems.insert(FItems.begin() + index, std::move(desc));
}

void TFieldDescs::Delete(int index) {
  CheckIndex(index, false);
  FItems.erase(FItems.begin() + index);
}

std::unique_ptr<TFieldDesc> TFieldDescs::Extract(int index) {
  CheckIndex(index, false);
  std::unique_ptr<TFieldDesc> item = std::move(FItems[static_cast<size_t>(index)]);
  FItems.erase(FItems.begin() + index);
  return item;
}

int TFieldDescs::IndexOf(const TFieldDesc* desc) const noexcept {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == desc) return static_cast<int>(i);
  return -1;
}

TFieldDesc* TFieldDescs::FindField(std::string_view name) const {
  for (const auto& d : FItems)
    if (d && !d->HasParent() && SameFieldName(d->Name(), name)) return d.get();
  for (const auto& d : FItems)
    if (d && ((d->HasParent() && SameFieldName(d->Name(), name)) || SameFieldName(d->ActualName(), name)))
      return d.get();
  return nullptr;
}

TFieldDesc& TFieldDescs::FieldByName(std::string_view name) const {
  TFieldDesc* d = FindField(name);
  if (!d) throw Exception(Format("Field %s not found", {name}));
  return *d;
}

}  // namespace lumo
