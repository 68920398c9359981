// The typed fields: one class (or a thin subclass of a family class) for
// every field type, each with its native buffer form, its conversions and
// its limits, and DefaultFieldClass, which makes the field a data set
// creates for a field definition.
//
// Native buffer forms (what GetData/SetData move; they are the record
// store's exchange forms, so a data set over the store copies them as
// they are):
//   ftString, ftFixedChar, ftGuid, ftOraInterval  8-bit text, zero-terminated, Size + 1 bytes
//   ftWideString, ftFixedWideChar                 UTF-16, zero-terminated, 2 × (Size + 1) bytes
//   ftShortint/ftByte int8/uint8; ftSmallint/ftWord int16/uint16; ftInteger, ftAutoInc int32;
//   ftLongWord uint32; ftLargeint int64
//   ftFloat, ftCurrency, ftExtended double; ftSingle float
//   ftBCD      Currency (value × 10 000 in 64 bits); ftFMTBcd TBcd (34 bytes)
//   ftBoolean  16-bit, non-zero is true
//   ftDate     int32 day number (TTimeStamp.Date); ftTime, ftDateTime int64 micros
//   (DateTimeUtils: the date-time number in microseconds, for ftTime a signed span);
//   ftTimeStamp, ftOraTimeStamp TSQLTimeStamp
//   ftBytes    Size bytes; ftVarBytes 16-bit length then Size bytes
//   ftVariant  a constructed Variant object (never copied as bytes)
//   ftInterface, ftIDispatch, ftReference, ftCursor, ftObject  a TSharedObject* handle
//   blob types none: their values go through the data set's blob stream
//   ftADT, ftArray, ftDataSet none: their children carry the values
//
// Decisions:
// - Integer fields check every value against MinValue/MaxValue when those
//   are set, and always against their own type's range, so a value never
//   wraps; MinValue/MaxValue are themselves clamped to the type's range.
// - Text longer than a string field's Size is cut at Size bytes (at a
//   character boundary when the process code page is UTF-8).
// - Date-time and time fields keep microseconds: their buffers hold micros,
//   their variants are dates made from them (FromDateMicros), and text with
//   a fraction is read to the microsecond. A time field holds a signed span
//   (a MySQL TIME beyond a day or below zero): its text is the span's
//   ("26:00:00", "-01:30:00.5", fraction and all) when it lies beyond a
//   day or below zero; a time of day keeps the settings' long time format,
//   as date-time text keeps the settings' formats (no fraction shown, as
//   before). Text in the span form is read back as it is.
// - ftUnknown, ftConnection, ftParams, ftStream and ftTimeStampOffset have
//   no field class: DefaultFieldClass raises "Field type %s is not
//   supported".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/dataset/Field.h>

namespace lumo {

class TStream;

// ---- text -------------------------------------------------------------------

class TStringField : public TField {
 public:
  explicit TStringField(TFieldType type = ftString);
  std::string ClassName() const override { return "TStringField"; }
  int DataSize() const override { return Size() + 1; }
  bool FixedChar() const noexcept { return DataType() == ftFixedChar || FFixedChar; }
  void SetFixedChar(bool value) noexcept { FFixedChar = value; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  // False for null.
  bool ReadText(std::string& text) const;

 private:
  bool FFixedChar = false;
};

class TWideStringField : public TStringField {
 public:
  explicit TWideStringField(TFieldType type = ftWideString);
  std::string ClassName() const override { return "TWideStringField"; }
  int DataSize() const override { return 2 * (Size() + 1); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::u16string GetAsWideString() const override;
  void SetAsWideStringValue(const std::u16string& value) override;
  bool ReadWide(std::u16string& text) const;
};

// A GUID in its braced text form (38 characters).
class TGuidField : public TStringField {
 public:
  TGuidField();
  std::string ClassName() const override { return "TGuidField"; }

 protected:
  void SetAsStringValue(const std::string& value) override;
};

// ---- numbers --------------------------------------------------------------------

class TNumericField : public TField {
 public:
  using TField::TField;
  std::string ClassName() const override { return "TNumericField"; }
};

// The integer family: one implementation for every width and signedness.
class TIntegerField : public TNumericField {
 public:
  TIntegerField();
  std::string ClassName() const override { return "TIntegerField"; }
  int DataSize() const override { return FBytes; }
  // 0 and 0: only the type's own range is checked.
  std::int64_t MinValue() const noexcept { return FMinValue; }
  void SetMinValue(std::int64_t value);
  std::int64_t MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(std::int64_t value);
  // The range of the storage type.
  std::int64_t TypeMin() const noexcept;
  std::int64_t TypeMax() const noexcept;

 protected:
  TIntegerField(TFieldType type, int bytes, bool isSigned);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsIntegerValue(std::int32_t value) override;
  std::int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(std::int64_t value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  bool GetAsBoolean() const override;
  void SetAsBooleanValue(bool value) override;
  bool ReadValue(std::int64_t& value) const;
  void WriteValue(std::int64_t value);

 private:
  int FBytes;
  bool FSigned;
  std::int64_t FMinValue = 0;
  std::int64_t FMaxValue = 0;
};

class TSmallintField : public TIntegerField {
 public:
  TSmallintField() : TIntegerField(ftSmallint, 2, true) {}
  std::string ClassName() const override { return "TSmallintField"; }
};
class TShortintField : public TIntegerField {
 public:
  TShortintField() : TIntegerField(ftShortint, 1, true) {}
  std::string ClassName() const override { return "TShortintField"; }
};
class TWordField : public TIntegerField {
 public:
  TWordField() : TIntegerField(ftWord, 2, false) {}
  std::string ClassName() const override { return "TWordField"; }
};
class TByteField : public TIntegerField {
 public:
  TByteField() : TIntegerField(ftByte, 1, false) {}
  std::string ClassName() const override { return "TByteField"; }
};
class TLongWordField : public TIntegerField {
 public:
  TLongWordField() : TIntegerField(ftLongWord, 4, false) {}
  std::string ClassName() const override { return "TLongWordField"; }
};
class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField() : TIntegerField(ftAutoInc, 4, true) {}
  std::string ClassName() const override { return "TAutoIncField"; }
};

class TLargeintField : public TNumericField {
 public:
  TLargeintField();
  std::string ClassName() const override { return "TLargeintField"; }
  int DataSize() const override { return 8; }
  // 0 and 0: no check.
  std::int64_t MinValue() const noexcept { return FMinValue; }
  void SetMinValue(std::int64_t value) noexcept { FMinValue = value; }
  std::int64_t MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(std::int64_t value) noexcept { FMaxValue = value; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::int32_t GetAsInteger() const override;
  std::int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(std::int64_t value) override;
  void SetAsIntegerValue(std::int32_t value) override { SetAsLargeIntValue(value); }
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  bool ReadValue(std::int64_t& value) const;

 private:
  std::int64_t FMinValue = 0;
  std::int64_t FMaxValue = 0;
};

// The floating family: double storage (ftFloat, ftCurrency, ftExtended) or
// single storage (ftSingle).
class TFloatField : public TNumericField {
 public:
  TFloatField();
  std::string ClassName() const override { return "TFloatField"; }
  int DataSize() const override { return FSingle ? 4 : 8; }
  // Significant digits of the text form (2 … 15; 7 for single storage).
  int Precision() const noexcept { return FPrecision; }
  void SetPrecision(int value) noexcept;
  bool Currency() const noexcept { return FCurrency; }
  void SetCurrency(bool value) noexcept { FCurrency = value; }
  // 0 and 0: no check.
  double MinValue() const noexcept { return FMinValue; }
  void SetMinValue(double value) noexcept { FMinValue = value; }
  double MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(double value) noexcept { FMaxValue = value; }

 protected:
  TFloatField(TFieldType type, bool single, int precision);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::int32_t GetAsInteger() const override;
  std::int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  void SetAsIntegerValue(std::int32_t value) override { SetAsFloatValue(value); }
  void SetAsLargeIntValue(std::int64_t value) override { SetAsFloatValue(static_cast<double>(value)); }
  lumo::Currency GetAsCurrency() const override;
  void SetAsCurrencyValue(lumo::Currency value) override { SetAsFloatValue(CurrToDouble(value)); }
  bool ReadValue(double& value) const;

 private:
  bool FSingle;
  bool FCurrency = false;
  int FPrecision;
  double FMinValue = 0;
  double FMaxValue = 0;
};

class TCurrencyField : public TFloatField {
 public:
  TCurrencyField();
  std::string ClassName() const override { return "TCurrencyField"; }
};
class TExtendedField : public TFloatField {
 public:
  TExtendedField() : TFloatField(ftExtended, false, 15) {}
  std::string ClassName() const override { return "TExtendedField"; }
};
class TSingleField : public TFloatField {
 public:
  TSingleField() : TFloatField(ftSingle, true, 7) {}
  std::string ClassName() const override { return "TSingleField"; }
};

// Fixed-point values of at most four decimals in 64 bits (Size = scale).
class TBCDField : public TNumericField {
 public:
  TBCDField();
  std::string ClassName() const override { return "TBCDField"; }
  int DataSize() const override { return 8; }
  int Precision() const noexcept { return FPrecision; }
  void SetPrecision(int value) noexcept { FPrecision = value; }
  // Currency(0) and Currency(0): no check.
  lumo::Currency MinValue() const noexcept { return FMinValue; }
  void SetMinValue(lumo::Currency value) noexcept { FMinValue = value; }
  lumo::Currency MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(lumo::Currency value) noexcept { FMaxValue = value; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  lumo::Currency GetAsCurrency() const override;
  void SetAsCurrencyValue(lumo::Currency value) override;
  std::int32_t GetAsInteger() const override;
  std::int64_t GetAsLargeInt() const override;
  void SetAsIntegerValue(std::int32_t value) override;
  void SetAsLargeIntValue(std::int64_t value) override;
  TBcd GetAsBCD() const override;
  void SetAsBCDValue(const TBcd& value) override;
  bool ReadValue(lumo::Currency& value) const;

 private:
  int FPrecision = 0;
  lumo::Currency FMinValue{};
  lumo::Currency FMaxValue{};
};

// Packed decimals of up to 64 digits (Size = scale).
class TFMTBCDField : public TNumericField {
 public:
  TFMTBCDField();
  std::string ClassName() const override { return "TFMTBCDField"; }
  int DataSize() const override { return SizeOfTBcd; }
  int Precision() const noexcept { return FPrecision; }
  void SetPrecision(int value) noexcept { FPrecision = value; }
  // Decimal texts; empty: no check.
  const std::string& MinValue() const noexcept { return FMinValue; }
  void SetMinValue(std::string value) { FMinValue = std::move(value); }
  const std::string& MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(std::string value) { FMaxValue = std::move(value); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  double GetAsFloat() const override;
  std::int64_t GetAsLargeInt() const override;
  std::int32_t GetAsInteger() const override;
  TBcd GetAsBCD() const override;
  void SetAsBCDValue(const TBcd& value) override;
  lumo::Currency GetAsCurrency() const override;
  bool ReadValue(TBcd& value) const;

 private:
  int FPrecision = 0;
  std::string FMinValue;
  std::string FMaxValue;
};

// ---- boolean ----------------------------------------------------------------------

class TBooleanField : public TField {
 public:
  TBooleanField();
  std::string ClassName() const override { return "TBooleanField"; }
  int DataSize() const override { return 2; }
  // "True;False": the texts for true and false (also accepted on input,
  // case-insensitively, besides the process-wide boolean texts).
  const std::string& DisplayValues() const noexcept { return FDisplayValues; }
  void SetDisplayValues(std::string value);

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  bool GetAsBoolean() const override;
  void SetAsBooleanValue(bool value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsIntegerValue(std::int32_t value) override { SetAsBooleanValue(value != 0); }

 private:
  std::string FDisplayValues = "True;False";
  std::string FTrueText = "True";
  std::string FFalseText = "False";
};

// ---- date and time ---------------------------------------------------------------------

// ftDateTime, and the family base of ftDate and ftTime.
class TDateTimeField : public TField {
 public:
  TDateTimeField();
  std::string ClassName() const override { return "TDateTimeField"; }
  int DataSize() const override;

 protected:
  explicit TDateTimeField(TFieldType type);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override { SetAsDateTimeValue(value); }
  TDateTime GetAsDateTime() const override;
  void SetAsDateTimeValue(TDateTime value) override;
  TSQLTimeStamp GetAsSQLTimeStamp() const override;
  void SetAsSQLTimeStampValue(const TSQLTimeStamp& value) override;
  bool ReadValue(TDateTime& value) const;
  // The value in micros (a time field: its span); false for null.
  bool ReadMicros(std::int64_t& micros) const;
  // Keeps what the field's type holds of `micros`: the day of a date, the
  // span (or else the time of day) of a time.
  void WriteMicros(std::int64_t micros);
};

class TDateField : public TDateTimeField {
 public:
  TDateField() : TDateTimeField(ftDate) {}
  std::string ClassName() const override { return "TDateField"; }
};
class TTimeField : public TDateTimeField {
 public:
  TTimeField() : TDateTimeField(ftTime) {}
  std::string ClassName() const override { return "TTimeField"; }
};

class TSQLTimeStampField : public TField {
 public:
  explicit TSQLTimeStampField(TFieldType type = ftTimeStamp);
  std::string ClassName() const override { return "TSQLTimeStampField"; }
  int DataSize() const override { return static_cast<int>(sizeof(TSQLTimeStamp)); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  TDateTime GetAsDateTime() const override;
  void SetAsDateTimeValue(TDateTime value) override;
  double GetAsFloat() const override { return GetAsDateTime(); }
  TSQLTimeStamp GetAsSQLTimeStamp() const override;
  void SetAsSQLTimeStampValue(const TSQLTimeStamp& value) override;
  bool ReadValue(TSQLTimeStamp& value) const;
};

// ---- binary ---------------------------------------------------------------------------

// ftBytes (exactly Size bytes) and ftVarBytes (up to Size bytes).
class TBytesField : public TField {
 public:
  TBytesField();
  std::string ClassName() const override { return "TBytesField"; }
  int DataSize() const override;

 protected:
  explicit TBytesField(TFieldType type);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::vector<std::uint8_t> GetAsBytes() const override;
  void SetAsBytesValue(const std::vector<std::uint8_t>& value) override;
  bool ReadBytes(std::vector<std::uint8_t>& bytes) const;
};

class TVarBytesField : public TBytesField {
 public:
  TVarBytesField() : TBytesField(ftVarBytes) {}
  std::string ClassName() const override { return "TVarBytesField"; }
};

// ---- large objects ----------------------------------------------------------------------

// ftBlob and the binary large-object kinds; the family base of the memos.
class TBlobField : public TField {
 public:
  explicit TBlobField(TFieldType type = ftBlob);
  std::string ClassName() const override { return "TBlobField"; }
  bool IsBlob() const override { return true; }
  // Set when the value was written through a blob stream since the edit began.
  bool Modified() const noexcept { return FModified; }
  void SetModified(bool value) noexcept { FModified = value; }
  std::int64_t BlobSize() const;
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::vector<std::uint8_t> GetAsBytes() const override;
  void SetAsBytesValue(const std::vector<std::uint8_t>& value) override;
  std::string GetText(bool displayText) const override;
  // The stored bytes (8-bit text for a memo, UTF-16 code units for a wide memo).
  std::string ReadAll() const;
  void WriteAll(const void* data, std::size_t size);

 private:
  bool FModified = false;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TFieldType type = ftMemo) : TBlobField(type) {}
  std::string ClassName() const override { return "TMemoField"; }

 protected:
  Variant GetAsVariant() const override;
  std::string GetText(bool displayText) const override;
};

class TWideMemoField : public TBlobField {
 public:
  TWideMemoField() : TBlobField(ftWideMemo) {}
  std::string ClassName() const override { return "TWideMemoField"; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;
  std::u16string GetAsWideString() const override;
  void SetAsWideStringValue(const std::u16string& value) override;
  std::string GetText(bool displayText) const override;
};

class TGraphicField : public TBlobField {
 public:
  TGraphicField() : TBlobField(ftGraphic) {}
  std::string ClassName() const override { return "TGraphicField"; }
};

// ---- other values ------------------------------------------------------------------------

class TVariantField : public TField {
 public:
  TVariantField();
  std::string ClassName() const override { return "TVariantField"; }
  int DataSize() const override { return static_cast<int>(sizeof(Variant)); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
};

// A counted reference to a shared object (ftInterface, ftIDispatch,
// ftReference, ftCursor, ftObject); its variant is of kind SharedObject.
class TInterfaceField : public TField {
 public:
  explicit TInterfaceField(TFieldType type = ftInterface);
  std::string ClassName() const override { return "TInterfaceField"; }
  int DataSize() const override { return static_cast<int>(sizeof(void*)); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
};

class TIDispatchField : public TInterfaceField {
 public:
  TIDispatchField() : TInterfaceField(ftIDispatch) {}
  std::string ClassName() const override { return "TIDispatchField"; }
};

class TReferenceField : public TInterfaceField {
 public:
  TReferenceField() : TInterfaceField(ftReference) {}
  std::string ClassName() const override { return "TReferenceField"; }
};

// ---- structured fields -----------------------------------------------------------------------

// A field made of child fields (ftADT, ftArray) or holding a nested data
// set (ftDataSet). Its value is the array of its children's values.
class TObjectField : public TField {
 public:
  explicit TObjectField(TFieldType type);
  std::string ClassName() const override { return "TObjectField"; }
  TFields& Fields() noexcept { return FFields; }
  const TFields& Fields() const noexcept { return FFields; }
  // Adds a child owned by this field (its parent becomes this field).
  TField& AddField(std::unique_ptr<TField> field);
  const std::string& ObjectType() const noexcept { return FObjectType; }
  void SetObjectType(std::string value) { FObjectType = std::move(value); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;

 private:
  TFields FFields;
  std::string FObjectType;
};

class TADTField : public TObjectField {
 public:
  TADTField() : TObjectField(ftADT) {}
  std::string ClassName() const override { return "TADTField"; }
};

class TArrayField : public TObjectField {
 public:
  TArrayField() : TObjectField(ftArray) {}
  std::string ClassName() const override { return "TArrayField"; }
};

// The field of a parent data set that holds a nested data set; the nested
// data set registers itself through TDataSet::SetDataSetField.
class TDataSetField : public TObjectField {
 public:
  TDataSetField() : TObjectField(ftDataSet) {}
  ~TDataSetField() override;
  std::string ClassName() const override { return "TDataSetField"; }
  TDataSet* NestedDataSet() const noexcept { return FNestedDataSet; }

 private:
  friend class TDataSet;
  TDataSet* FNestedDataSet = nullptr;
};

// ---- text limits ---------------------------------------------------------------------------

// Bytes of `text` that fit in `max` bytes without splitting a character
// (a UTF-8 sequence when the process code page is UTF-8).
std::size_t FitTextBytes(std::string_view text, std::size_t max);
// Code units of `text` that fit in `max` units without splitting a
// surrogate pair.
std::size_t FitWideUnits(std::u16string_view text, std::size_t max);

// ---- factory -----------------------------------------------------------------------------------

// A new field of the class that serves `type` (see the header).
std::unique_ptr<TField> DefaultFieldClass(TFieldType type);

}  // namespace lumo
