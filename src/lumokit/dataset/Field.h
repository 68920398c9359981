// TField, one column of a data set as its users see it, and TFields, the
// ordered list of a data set's fields. A field reads and writes its value
// through the data set, in the field type's native buffer form, and offers
// it in every usual form (AsString, AsInteger, AsVariant …); the typed
// subclasses (FieldTypes.h) say what the native form is.
//
// Decisions:
// - The data set owns its fields (TDataSet::AddField); a field knows its
//   data set but never outlives it.
// - A conversion the field's type has no direct form for goes through the
//   field's variant value and the Variant conversion rules (so AsDateTime
//   of a Boolean field raises EVariantTypeCastError). A null value reads
//   as "", 0, false or a Null variant.
// - SetAsString("") on a field whose type is not text makes it null.
// - OnValidate sees the value being written: while it runs the field reads
//   the new value; raising from it leaves the record unchanged.
// - Field names compare as the record store compares them (SameFieldName).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/Variant.h>
#include <lumokit/dataset/DB.h>

namespace lumo {

class TDataSet;
class TField;
class TObjectField;

using TFieldNotifyEvent = std::function<void(TField& sender)>;

enum TProviderFlag : std::uint8_t { pfInUpdate, pfInWhere, pfInKey, pfHidden };
using TProviderFlags = TEnumSet<TProviderFlag>;

enum TAutoRefreshFlag : std::uint8_t { arNone, arAutoInc, arDefault };

class TField {
 public:
  explicit TField(TFieldType dataType);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;
  virtual ~TField();

  virtual std::string ClassName() const { return "TField"; }

  // ---- identity ----
  TDataSet* DataSet() const noexcept { return FDataSet; }
  const std::string& FieldName() const noexcept { return FFieldName; }
  void SetFieldName(std::string value);
  // FieldName, prefixed by the parent's full name for a child field
  // ("ADDR.CITY").
  std::string FullName() const;
  const std::string& DisplayLabel() const noexcept { return FDisplayLabel; }
  void SetDisplayLabel(std::string value) { FDisplayLabel = std::move(value); }
  // DisplayLabel, or FieldName when no label is set.
  const std::string& DisplayName() const noexcept { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
  TFieldType DataType() const noexcept { return FDataType; }
  // The field number in the record (1-based) for data fields; -1 for
  // calculated and lookup fields.
  int FieldNo() const noexcept { return FFieldNo; }
  // The position in the data set's field list.
  int Index() const;
  TObjectField* ParentField() const noexcept { return FParentField; }

  TFieldKind FieldKind() const noexcept { return FFieldKind; }
  void SetFieldKind(TFieldKind value);
  bool Calculated() const noexcept { return FFieldKind == fkCalculated; }
  bool Lookup() const noexcept { return FFieldKind == fkLookup; }

  // Size: characters of text, bytes of binary values, the scale of BCD
  // values; 0 where the type has no size.
  int Size() const noexcept { return FSize; }
  virtual void SetSize(int value);
  // Bytes of the native buffer form (0 for values kept outside the record).
  virtual int DataSize() const { return 0; }
  virtual bool IsBlob() const { return false; }
  // Byte offset inside the framework's calculated-field area.
  int Offset() const noexcept { return FOffset; }

  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool value) noexcept { FReadOnly = value; }
  bool Required() const noexcept { return FRequired; }
  void SetRequired(bool value) noexcept { FRequired = value; }
  bool Visible() const noexcept { return FVisible; }
  void SetVisible(bool value);
  // Not read-only, in an active data set that can be modified.
  virtual bool CanModify() const;
  const std::string& DefaultExpression() const noexcept { return FDefaultExpression; }
  void SetDefaultExpression(std::string value) { FDefaultExpression = std::move(value); }
  const std::string& Origin() const noexcept { return FOrigin; }
  void SetOrigin(std::string value) { FOrigin = std::move(value); }
  TProviderFlags ProviderFlags() const noexcept { return FProviderFlags; }
  void SetProviderFlags(TProviderFlags value) noexcept { FProviderFlags = value; }
  TAutoRefreshFlag AutoGenerateValue() const noexcept { return FAutoGenerateValue; }
  void SetAutoGenerateValue(TAutoRefreshFlag value) noexcept { FAutoGenerateValue = value; }

  // ---- lookup fields ----
  // KeyFields: this data set's fields (';'-separated) whose values are
  // looked up in LookupKeyFields of LookupDataSet; the result is the value
  // of LookupResultField there.
  const std::string& KeyFields() const noexcept { return FKeyFields; }
  void SetKeyFields(std::string value) { FKeyFields = std::move(value); }
  TDataSet* LookupDataSet() const noexcept { return FLookupDataSet; }
  void SetLookupDataSet(TDataSet* value) noexcept { FLookupDataSet = value; }
  const std::string& LookupKeyFields() const noexcept { return FLookupKeyFields; }
  void SetLookupKeyFields(std::string value) { FLookupKeyFields = std::move(value); }
  const std::string& LookupResultField() const noexcept { return FLookupResultField; }
  void SetLookupResultField(std::string value) { FLookupResultField = std::move(value); }

  // ---- values ----
  bool IsNull() const;
  void Clear() { SetData(nullptr); }
  // Reads the value into `buffer` (DataSize bytes, the native form); false
  // when the field has no value. A null buffer only asks for the null
  // state.
  bool GetData(void* buffer) const;
  // Writes the native form; nullptr makes the field null.
  void SetData(const void* buffer);

  Variant Value() const { return GetAsVariant(); }
  void SetValue(const Variant& value) { SetAsVariant(value); }
  Variant AsVariant() const { return GetAsVariant(); }
  void SetAsVariant(const Variant& value);
  std::string AsString() const { return GetAsString(); }
  void SetAsString(const std::string& value) { SetAsStringValue(value); }
  std::u16string AsWideString() const { return GetAsWideString(); }
  void SetAsWideString(const std::u16string& value) { SetAsWideStringValue(value); }
  std::int32_t AsInteger() const { return GetAsInteger(); }
  void SetAsInteger(std::int32_t value) { SetAsIntegerValue(value); }
  std::int64_t AsLargeInt() const { return GetAsLargeInt(); }
  void SetAsLargeInt(std::int64_t value) { SetAsLargeIntValue(value); }
  double AsFloat() const { return GetAsFloat(); }
  void SetAsFloat(double value) { SetAsFloatValue(value); }
  Currency AsCurrency() const { return GetAsCurrency(); }
  void SetAsCurrency(Currency value) { SetAsCurrencyValue(value); }
  bool AsBoolean() const { return GetAsBoolean(); }
  void SetAsBoolean(bool value) { SetAsBooleanValue(value); }
  TDateTime AsDateTime() const { return GetAsDateTime(); }
  void SetAsDateTime(TDateTime value) { SetAsDateTimeValue(value); }
  TSQLTimeStamp AsSQLTimeStamp() const { return GetAsSQLTimeStamp(); }
  void SetAsSQLTimeStamp(const TSQLTimeStamp& value) { SetAsSQLTimeStampValue(value); }
  TBcd AsBCD() const { return GetAsBCD(); }
  void SetAsBCD(const TBcd& value) { SetAsBCDValue(value); }
  std::vector<std::uint8_t> AsBytes() const { return GetAsBytes(); }
  void SetAsBytes(const std::vector<std::uint8_t>& value) { SetAsBytesValue(value); }
  // The text a user edits and the text shown; both AsString here.
  std::string Text() const { return GetText(false); }
  void SetText(const std::string& value) { SetAsStringValue(value); }
  std::string DisplayText() const { return GetText(true); }

  // The value as it was before the pending change, as it will be written,
  // and as it is now (the data set's old-, new- and current-value states).
  Variant OldValue() const;
  Variant NewValue() const;
  void SetNewValue(const Variant& value);
  Variant CurValue() const;

  // Copies the value of another field (through its variant).
  void AssignValue(const Variant& value) { SetAsVariant(value); }
  // Runs OnValidate with `buffer` as the value being written.
  void Validate(const void* buffer);
  // Asks data-bound controls to focus this field.
  void FocusControl();

  // Events.
  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;

 protected:
  // The typed subclasses implement these; the defaults convert through
  // the variant value.
  virtual Variant GetAsVariant() const = 0;
  virtual void SetVarValue(const Variant& value) = 0;
  virtual std::string GetAsString() const;
  virtual void SetAsStringValue(const std::string& value);
  virtual std::u16string GetAsWideString() const;
  virtual void SetAsWideStringValue(const std::u16string& value);
  virtual std::int32_t GetAsInteger() const;
  virtual void SetAsIntegerValue(std::int32_t value);
  virtual std::int64_t GetAsLargeInt() const;
  virtual void SetAsLargeIntValue(std::int64_t value);
  virtual double GetAsFloat() const;
  virtual void SetAsFloatValue(double value);
  virtual Currency GetAsCurrency() const;
  virtual void SetAsCurrencyValue(Currency value);
  virtual bool GetAsBoolean() const;
  virtual void SetAsBooleanValue(bool value);
  virtual TDateTime GetAsDateTime() const;
  virtual void SetAsDateTimeValue(TDateTime value);
  virtual TSQLTimeStamp GetAsSQLTimeStamp() const;
  virtual void SetAsSQLTimeStampValue(const TSQLTimeStamp& value);
  virtual TBcd GetAsBCD() const;
  virtual void SetAsBCDValue(const TBcd& value);
  virtual std::vector<std::uint8_t> GetAsBytes() const;
  virtual void SetAsBytesValue(const std::vector<std::uint8_t>& value);
  virtual std::string GetText(bool displayText) const;

  // Raises "Cannot access field '%s' as type %s".
  [[noreturn]] void AccessError(const char* typeName) const;
  // Raises "%s is not a valid value for field '%s'. The allowed range is
  // %s to %s".
  [[noreturn]] void RangeError(const std::string& value, const std::string& min, const std::string& max) const;
  // The data set this field belongs to; raises "Field '%s' has no dataset".
  TDataSet& CheckDataSet() const;

  void SetDataTypeValue(TFieldType type) noexcept { FDataType = type; }

 private:
  friend class TDataSet;
  friend class TFields;
  friend class TFieldDef;
  friend class TObjectField;

  TDataSet* FDataSet = nullptr;
  TObjectField* FParentField = nullptr;
  std::string FFieldName;
  std::string FDisplayLabel;
  TFieldType FDataType;
  TFieldKind FFieldKind = fkData;
  int FFieldNo = 0;
  int FSize = 0;
  int FOffset = 0;
  bool FReadOnly = false;
  bool FRequired = false;
  bool FVisible = true;
  std::string FDefaultExpression;
  std::string FOrigin;
  TProviderFlags FProviderFlags{pfInUpdate, pfInWhere};
  TAutoRefreshFlag FAutoGenerateValue = arNone;
  std::string FKeyFields;
  TDataSet* FLookupDataSet = nullptr;
  std::string FLookupKeyFields;
  std::string FLookupResultField;
  // While OnValidate runs: the value being written.
  const void* FValidating = nullptr;
  bool FValidatingNull = false;
};

// The ordered fields of a data set (or the children of a structured field).
// The list owns its fields.
class TFields {
 public:
  TFields() = default;
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;
  ~TFields();

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TField& operator[](int index) const { return Fields(index); }
  // Raises "List index out of bounds (%d)".
  TField& Fields(int index) const;
  TField* FindField(std::string_view name) const;
  // Raises "Field '%s' not found".
  TField& FieldByName(std::string_view name) const;
  // -1 when the field is not in this list.
  int IndexOf(const TField* field) const noexcept;

  TField& Add(std::unique_ptr<TField> field);
  std::unique_ptr<TField> Remove(TField& field);
  void Clear() noexcept;
  void Move(int curIndex, int newIndex);

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

 private:
  std::vector<std::unique_ptr<TField>> FItems;
};

// The names in a ';'-separated list, trimmed, empty entries dropped.
std::vector<std::string> SplitFieldNames(std::string_view names);

}  // namespace lumo
