// The provider-neutral vocabulary of the data core: data-type codes, the
// field descriptor and its list, structured types with their attributes,
// the shared object kinds that hold values outside a record, the
// enumerations that travel between the record store, the contracts and the
// data-set components, and the date exchange forms.
//
// Decisions:
// - Handle slots (blobs, objects, Ext buffers, cursors) are sizeof(void*)
//   bytes (SizeOfHandle), not 4.
// - Name lookups of fields compare case-insensitively with Unicode simple
//   case folding of UTF-8 names (per code point); bytes that are not valid
//   UTF-8 compare as they are. Locale-aware collation plugs in at
//   SameFieldName (MemTypes.cpp).
// - A self-referencing structured type is recognised by identity: an
//   attribute whose structured type is the very object that owns it holds
//   no counted reference to it. A different type object that merely has the
//   same name is counted like any other, so it cannot be freed while used.
// - "Field %s not found" and "Attribute %s not found" are raised as
//   lumo::Exception; list indexes out of range raise EArgumentError "List
//   index out of bounds (%d)".
// - TDBObject's attribute operations raise ENotSupportedError unless a
//   provider overrides them.
// - Record slots of dtDate, dtTime and dtDateTime (8 bytes) hold the
//   date-time number in micros (DateTimeUtils): a signed 64-bit count of
//   microseconds, so that a fraction of a second keeps six digits in the
//   store; the slots keep the 8 bytes of the date-time number, whose double
//   the exchange form dfDateTime and the variants give.
// - dtTime and dtDateTime are exchanged as dfDateTimeMicros (the micros as
//   they are) and dtDate as dfDate, so that fields get every digit. dfMSecs
//   and dfTime stay for the callers that ask for them (the value
//   converters): dfMSecs keeps the fraction of a millisecond, dfTime rounds
//   to the millisecond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/SharedObject.h>
#include <lumokit/core/Variant.h>

namespace lumo {

// --- Data-type codes -----------------------------------------------------------
constexpr std::uint16_t dtUnknown = 0;
constexpr std::uint16_t dtString = 1;
constexpr std::uint16_t dtInt8 = 2;
constexpr std::uint16_t dtInt16 = 3;
constexpr std::uint16_t dtSmallint = dtInt16;
constexpr std::uint16_t dtInt32 = 4;
constexpr std::uint16_t dtInteger = dtInt32;
constexpr std::uint16_t dtFloat = 5;
constexpr std::uint16_t dtDate = 6;
constexpr std::uint16_t dtTime = 7;
constexpr std::uint16_t dtDateTime = 8;
constexpr std::uint16_t dtUInt16 = 9;
constexpr std::uint16_t dtWord = dtUInt16;
constexpr std::uint16_t dtBoolean = 10;
constexpr std::uint16_t dtInt64 = 11;
constexpr std::uint16_t dtLargeint = dtInt64;
constexpr std::uint16_t dtCurrency = 12;
constexpr std::uint16_t dtBlob = 13;
constexpr std::uint16_t dtMemo = 14;
constexpr std::uint16_t dtObject = 15;
constexpr std::uint16_t dtReference = 16;
constexpr std::uint16_t dtArray = 17;
constexpr std::uint16_t dtTable = 18;
constexpr std::uint16_t dtVariant = 19;
constexpr std::uint16_t dtExtString = 20;
constexpr std::uint16_t dtBytes = 21;
constexpr std::uint16_t dtVarBytes = 22;
constexpr std::uint16_t dtExtVarBytes = 23;
constexpr std::uint16_t dtUInt32 = 24;
constexpr std::uint16_t dtLongWord = dtUInt32;
constexpr std::uint16_t dtWideString = 25;
constexpr std::uint16_t dtExtWideString = 26;
constexpr std::uint16_t dtBCD = 27;
constexpr std::uint16_t dtFMTBCD = 28;
constexpr std::uint16_t dtGuid = 29;
constexpr std::uint16_t dtWideMemo = 30;
constexpr std::uint16_t dtSQLTimeStamp = 31;
constexpr std::uint16_t dtCursor = 32;
constexpr std::uint16_t dtSingle = 33;
constexpr std::uint16_t dtUInt8 = 34;
constexpr std::uint16_t dtUInt64 = 35;

constexpr int SizeOfHandle = static_cast<int>(sizeof(void*));

// Text held in the record: dtString, dtExtString, dtWideString, dtExtWideString.
constexpr bool IsStringFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtString || dataType == dtExtString || dataType == dtWideString || dataType == dtExtWideString;
}
// dtWideString and dtExtWideString (UTF-16 in the record).
constexpr bool IsWideStringFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtWideString || dataType == dtExtWideString;
}
// Every text type: the string types and the text blobs dtMemo, dtWideMemo.
constexpr bool IsTextFieldType(std::uint16_t dataType) noexcept {
  return IsStringFieldType(dataType) || dataType == dtMemo || dataType == dtWideMemo;
}
// Bytes held in the record: dtBytes, dtVarBytes, dtExtVarBytes.
constexpr bool IsBytesFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtBytes || dataType == dtVarBytes || dataType == dtExtVarBytes;
}
// Types whose Length counts characters or bytes: the string and byte types.
constexpr bool IsSizedFieldType(std::uint16_t dataType) noexcept {
  return IsStringFieldType(dataType) || IsBytesFieldType(dataType);
}
// dtInt8 … dtUInt64, signed and unsigned (not dtBoolean).
constexpr bool IsIntegerFieldType(std::uint16_t dataType) noexcept {
  return dataType == dtInt8 || dataType == dtInt16 || dataType == dtInt32 || dataType == dtInt64 ||
         dataType == dtUInt8 || dataType == dtUInt16 || dataType == dtUInt32 || dataType == dtUInt64;
}
// dtBlob, dtMemo, dtWideMemo (the record store's default; providers widen it).
bool IsBlobFieldType(std::uint16_t dataType) noexcept;
// dtVariant, the Ext types and every blob type.
bool IsComplexFieldType(std::uint16_t dataType) noexcept;
// The least number of bytes a field of the type occupies in a record
// buffer (handles are SizeOfHandle); 0 for dtUnknown or an unknown code.
int FieldTypeMinSize(std::uint16_t dataType, int length) noexcept;

// --- Shared enumerations (8-bit; the values are significant) ---------------------
enum TItemStatus : std::uint8_t { isUnmodified = 0, isUpdated = 1, isAppended = 2, isDeleted = 3 };
enum TUpdateRecKind : std::uint8_t { ukUpdate = 0, ukInsert = 1, ukDelete = 2 };
enum TUpdateRecAction : std::uint8_t {
  urFail = 0,
  urAbort = 1,
  urSkip = 2,
  urRetry = 3,
  urApplied = 4,
  urNone = 5,
  urSuspended = 6
};
enum TItemFilterState : std::uint8_t { fsNotChecked = 0, fsNotOmitted = 1, fsOmitted = 2 };
enum TSortType : std::uint8_t { stCaseSensitive = 0, stCaseInsensitive = 1, stBinary = 2 };
enum TCompareOption : std::uint8_t {
  coCaseInsensitive = 0,
  coPartialKey = 1,
  coPartialCompare = 2,
  coOrdinalCompare = 3,
  coInvertNullOrder = 4
};
enum TLocateExOption : std::uint8_t {
  lxCaseInsensitive = 0,
  lxPartialKey = 1,
  lxNearest = 2,
  lxNext = 3,
  lxUp = 4,
  lxPartialCompare = 5
};
enum TConnLostCause : std::uint8_t {
  clUnknown = 0,
  clExecute = 1,
  clOpen = 2,
  clRefresh = 3,
  clApply = 4,
  clServiceQuery = 5,
  clTransStart = 6,
  clConnectionApply = 7,
  clConnect = 8
};
enum TCompressBlobMode : std::uint8_t { cbNone = 0, cbClient = 1, cbServer = 2, cbClientServer = 3 };
enum TDANumericType : std::uint8_t { ntFloat = 0, ntBCD = 1, ntFmtBCD = 2 };
enum TFieldDescKind : std::uint8_t { fdkData = 0, fdkCached = 1, fdkCalculated = 2 };
// dfDateTimeMicros: the date-time number in micros, a signed 64-bit integer.
enum TDateFormat : std::uint8_t { dfMSecs = 0, dfDateTime = 1, dfTime = 2, dfDate = 3, dfDateTimeMicros = 4 };

// A set of enumeration values; element N is bit 1 << N.
template <typename E>
class TEnumSet {
 public:
  constexpr TEnumSet() noexcept = default;
  constexpr TEnumSet(std::initializer_list<E> items) noexcept {
    for (E e : items) Include(e);
  }
  static constexpr TEnumSet FromBits(std::uint32_t bits) noexcept {
    TEnumSet s;
    s.FBits = bits;
    return s;
  }
  constexpr bool Contains(E e) const noexcept { return (FBits & Bit(e)) != 0; }
  constexpr TEnumSet& Include(E e) noexcept {
    FBits |= Bit(e);
    return *this;
  }
  constexpr TEnumSet& Exclude(E e) noexcept {
    FBits &= ~Bit(e);
    return *this;
  }
  constexpr bool Empty() const noexcept { return FBits == 0; }
  constexpr std::uint32_t Bits() const noexcept { return FBits; }
  friend constexpr bool operator==(TEnumSet a, TEnumSet b) noexcept { return a.FBits == b.FBits; }

 private:
  static constexpr std::uint32_t Bit(E e) noexcept { return 1u << static_cast<unsigned>(e); }
  std::uint32_t FBits = 0;
};
using TCompareOptions = TEnumSet<TCompareOption>;
using TLocateExOptions = TEnumSet<TLocateExOption>;

// --- GUIDs --------------------------------------------------------------------
struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};
  friend bool operator==(const TGUID&, const TGUID&) = default;
};
// Reads the braced text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// (hex digits in either case); false for anything else.
bool TryStrToGUID(std::string_view text, TGUID& guid) noexcept;
// The braced form with upper-case hex digits (38 characters).
std::string GUIDToString(const TGUID& guid);

// --- Date exchange forms ------------------------------------------------------------
// dtDate is exchanged as dfDate, dtTime and dtDateTime as dfDateTimeMicros.
// A dtTime slot holds either a signed time span (what a time column
// carries, up to 838:59:59.999999 either way) or a calendar date-time of
// which only the time of day counts. Numbers below MaxTimeSpanDays in
// magnitude are spans: sign and whole days are kept on every read and
// write, and dfTime carries them as signed milliseconds (a span beyond 32
// bits raises).
TDateFormat DateFormatOf(std::uint16_t dataType) noexcept;
constexpr double MaxTimeSpanDays = 35;
bool IsTimeSpan(TDateTime value) noexcept;
bool IsTimeSpanMicros(std::int64_t micros) noexcept;
// Reads the 8-byte slot at `buf` (micros) and writes it at `date` in the
// given form (double for dfMSecs/dfDateTime, int32 for dfTime/dfDate,
// int64 for dfDateTimeMicros).
void GetDateFromBuf(const void* buf, void* date, TDateFormat format);
// The other way: `date` in the given form to the slot at `buf`. dfTime
// values take day 693594, dfDate values take time 0. Invalid values raise
// EConvertError.
void PutDateToBuf(void* buf, const void* date, TDateFormat format);

// --- Structured types ---------------------------------------------------------------
class TObjectType;

class TAttribute {
 public:
  explicit TAttribute(TObjectType* owner = nullptr) noexcept : FOwner(owner) {}
  TAttribute(const TAttribute&) = delete;
  TAttribute& operator=(const TAttribute&) = delete;
  virtual ~TAttribute();

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  std::uint16_t DataType() const noexcept { return FDataType; }
  void SetDataType(std::uint16_t value) noexcept { FDataType = value; }
  std::uint16_t SubDataType() const noexcept { return FSubDataType; }
  void SetSubDataType(std::uint16_t value) noexcept { FSubDataType = value; }
  std::uint16_t Length() const noexcept { return FLength; }
  void SetLength(std::uint16_t value) noexcept { FLength = value; }
  std::uint16_t Scale() const noexcept { return FScale; }
  void SetScale(std::uint16_t value) noexcept { FScale = value; }
  std::int32_t Size() const noexcept { return FSize; }
  void SetSize(std::int32_t value) noexcept { FSize = value; }
  std::int32_t DataSize() const noexcept { return FDataSize; }
  void SetDataSize(std::int32_t value) noexcept { FDataSize = value; }
  std::int32_t Offset() const noexcept { return FOffset; }
  void SetOffset(std::int32_t value) noexcept { FOffset = value; }
  std::int32_t IndicatorOffset() const noexcept { return FIndicatorOffset; }
  void SetIndicatorOffset(std::int32_t value) noexcept { FIndicatorOffset = value; }
  std::uint16_t AttributeNo() const noexcept { return FAttributeNo; }
  void SetAttributeNo(std::uint16_t value) noexcept { FAttributeNo = value; }
  bool Fixed() const noexcept { return FFixed; }
  void SetFixed(bool value) noexcept { FFixed = value; }
  TObjectType* Owner() const noexcept { return FOwner; }
  TObjectType* ObjectType() const noexcept { return FObjectType; }
  // Counted, except when `value` is the owner itself.
  void SetObjectType(TObjectType* value);

 protected:
  std::string FName;
  std::uint16_t FDataType = dtUnknown;
  std::uint16_t FSubDataType = 0;
  std::uint16_t FLength = 0;
  std::uint16_t FScale = 0;
  std::int32_t FSize = 0;
  std::int32_t FDataSize = 0;
  std::int32_t FOffset = 0;
  std::int32_t FIndicatorOffset = 0;
  std::uint16_t FAttributeNo = 0;
  TObjectType* FObjectType = nullptr;
  bool FObjectTypeCounted = false;
  TObjectType* FOwner;
  bool FFixed = false;
};

class TObjectType : public TSharedObject {
 public:
  TObjectType() = default;
  explicit TObjectType(std::string name, std::uint16_t dataType = dtObject)
      : FName(std::move(name)), FDataType(dataType) {}
  ~TObjectType() override;

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  std::uint16_t DataType() const noexcept { return FDataType; }
  void SetDataType(std::uint16_t value) noexcept { FDataType = value; }
  std::int32_t Size() const noexcept { return FSize; }
  void SetSize(std::int32_t value) noexcept { FSize = value; }

  int AttributeCount() const noexcept { return static_cast<int>(FAttributes.size()); }
  TAttribute& Attributes(int index) const;
  // Appends a new attribute owned by this type (AttributeNo = its 1-based position).
  TAttribute& AddAttribute();
  // Appends a provider's attribute, which must have been created with this owner.
  TAttribute& AddAttribute(std::unique_ptr<TAttribute> attribute);
  void ClearAttributes();

  // Walks a path such as "ADDR.CITY" or "PHONES[2].NUMBER"; nullptr when a
  // step is not found, a step before the last is not structured, or an
  // element index is not closed.
  TAttribute* FindAttribute(std::string_view name) const;
  // Raises "Attribute %s not found".
  TAttribute& AttributeByName(std::string_view name) const;

 protected:
  std::string FName;
  std::uint16_t FDataType = dtObject;
  std::int32_t FSize = 0;
  std::vector<std::unique_ptr<TAttribute>> FAttributes;
};

// A structured value of a provider: a shared object with a counted type.
class TDBObject : public TSharedObject {
 public:
  explicit TDBObject(TObjectType* objectType = nullptr) { SetObjectType(objectType); }
  ~TDBObject() override;

  TObjectType* ObjectType() const noexcept { return FObjectType.Get(); }
  void SetObjectType(TObjectType* value) { FObjectType = TSharedRef<TObjectType>::Share(value); }

  virtual Variant GetAttributeValue(const std::string& name);
  virtual void SetAttributeValue(const std::string& name, const Variant& value);
  virtual bool GetAttrIsNull(const std::string& name);

 protected:
  TSharedRef<TObjectType> FObjectType;
};

// Holds the value of a dtVariant field.
class TVariantObject : public TSharedObject {
 public:
  TVariantObject() = default;
  explicit TVariantObject(Variant value) : FValue(std::move(value)) {}
  const Variant& Value() const noexcept { return FValue; }
  void SetValue(Variant value) { FValue = std::move(value); }

 protected:
  Variant FValue;
};

// --- Field descriptors -----------------------------------------------------------------
class TFieldDesc {
 public:
  TFieldDesc() = default;
  TFieldDesc(const TFieldDesc&) = delete;
  TFieldDesc& operator=(const TFieldDesc&) = delete;
  virtual ~TFieldDesc();

  // Copies Name, ActualName, DataType, SubDataType, Length, Scale, Size,
  // Offset, Required and FieldNo, and nothing else.
  virtual void Assign(const TFieldDesc& source);

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  const std::string& ActualName() const noexcept { return FActualName; }
  void SetActualName(std::string value) { FActualName = std::move(value); }
  std::uint16_t DataType() const noexcept { return FDataType; }
  void SetDataType(std::uint16_t value) noexcept { FDataType = value; }
  std::uint16_t SubDataType() const noexcept { return FSubDataType; }
  void SetSubDataType(std::uint16_t value) noexcept { FSubDataType = value; }
  std::uint16_t Length() const noexcept { return FLength; }
  void SetLength(std::uint16_t value) noexcept { FLength = value; }
  std::uint16_t Scale() const noexcept { return FScale; }
  void SetScale(std::uint16_t value) noexcept { FScale = value; }
  std::uint16_t FieldNo() const noexcept { return FFieldNo; }
  void SetFieldNo(std::uint16_t value) noexcept { FFieldNo = value; }
  std::uint16_t ActualFieldNo() const noexcept { return FActualFieldNo; }
  void SetActualFieldNo(std::uint16_t value) noexcept { FActualFieldNo = value; }
  std::int32_t Size() const noexcept { return FSize; }
  void SetSize(std::int32_t value) noexcept { FSize = value; }
  std::int32_t Offset() const noexcept { return FOffset; }
  void SetOffset(std::int32_t value) noexcept { FOffset = value; }
  std::int32_t DataOffset() const noexcept { return FDataOffset; }
  void SetDataOffset(std::int32_t value) noexcept { FDataOffset = value; }
  bool Required() const noexcept { return FRequired; }
  void SetRequired(bool value) noexcept { FRequired = value; }
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool value) noexcept { FReadOnly = value; }
  bool IsKey() const noexcept { return FIsKey; }
  void SetIsKey(bool value) noexcept { FIsKey = value; }
  bool Fixed() const noexcept { return FFixed; }
  void SetFixed(bool value) noexcept { FFixed = value; }
  bool Hidden() const noexcept { return FHidden; }
  void SetHidden(bool value) noexcept { FHidden = value; }
  // A counted reference: setting releases the old type and references the new.
  TObjectType* ObjectType() const noexcept { return FObjectType.Get(); }
  void SetObjectType(TObjectType* value) { FObjectType = TSharedRef<TObjectType>::Share(value); }
  TFieldDesc* ParentField() const noexcept { return FParentField; }
  void SetParentField(TFieldDesc* value) noexcept { FParentField = value; }
  bool HasParent() const noexcept { return FParentField != nullptr; }
  bool HiddenObject() const noexcept { return FHiddenObject; }
  void SetHiddenObject(bool value) noexcept { FHiddenObject = value; }
  void* Handle() const noexcept { return FHandle; }
  void SetHandle(void* value) noexcept { FHandle = value; }
  bool Reserved() const noexcept { return FReserved; }
  void SetReserved(bool value) noexcept { FReserved = value; }
  TFieldDescKind FieldDescKind() const noexcept { return FFieldDescKind; }
  void SetFieldDescKind(TFieldDescKind value) noexcept { FFieldDescKind = value; }
  bool IsAutoIncrement() const noexcept { return FIsAutoIncrement; }
  void SetIsAutoIncrement(bool value) noexcept { FIsAutoIncrement = value; }

 protected:
  std::string FName;
  std::string FActualName;
  std::uint16_t FDataType = dtUnknown;
  std::uint16_t FSubDataType = 0;
  std::uint16_t FLength = 0;
  std::uint16_t FScale = 0;
  std::uint16_t FFieldNo = 0;
  std::uint16_t FActualFieldNo = 0;
  std::int32_t FSize = 0;
  std::int32_t FOffset = 0;
  std::int32_t FDataOffset = 0;
  bool FRequired = false;
  bool FReadOnly = false;
  bool FIsKey = false;
  bool FFixed = false;
  bool FHidden = false;
  TSharedRef<TObjectType> FObjectType;
  TFieldDesc* FParentField = nullptr;
  bool FHiddenObject = false;
  void* FHandle = nullptr;
  bool FReserved = false;
  TFieldDescKind FFieldDescKind = fdkData;
  bool FIsAutoIncrement = false;
};

// Owning list of descriptors, indexed from zero (field number N is item
// N - 1). Entries may be nullptr; lookups skip them.
class TFieldDescs {
 public:
  TFieldDescs() = default;
  TFieldDescs(const TFieldDescs&) = delete;
  TFieldDescs& operator=(const TFieldDescs&) = delete;

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TFieldDesc* Items(int index) const;
  TFieldDesc* operator[](int index) const { return Items(index); }
  // Appends (nullptr appends an empty entry) and returns the new index.
  int Add(std::unique_ptr<TFieldDesc> desc);
  void Insert(int index, std::unique_ptr<TFieldDesc> desc);
  // Destroys the item and removes its entry.
  void Delete(int index);
  // Removes the entry and hands the item to the caller.
  std::unique_ptr<TFieldDesc> Extract(int index);
  void Clear() noexcept { FItems.clear(); }
  int IndexOf(const TFieldDesc* desc) const noexcept;

  // First pass: a descriptor without a parent whose Name matches. Second
  // pass, only when the first found nothing: a descriptor with a parent
  // whose Name matches, or any whose ActualName matches.
  TFieldDesc* FindField(std::string_view name) const;
  // Raises "Field %s not found".
  TFieldDesc& FieldByName(std::string_view name) const;

 private:
  void CheckIndex(int index, bool allowEnd) const;
  std::vector<std::unique_ptr<TFieldDesc>> FItems;
};

// The case-insensitive comparison used for field names (see the header).
bool SameFieldName(std::string_view a, std::string_view b);

}  // namespace lumo
