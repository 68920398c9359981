#include <lumokit/dataset/Field.h>

#include <algorithm>
#include <cstring>

#include <lumokit/core/Format.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo {

// ---- TField ---------------------------------------------------------------------

TField::TField(TFieldType dataType) : FDataType(dataType) {}

TField::~TField() = default;

void TField::SetFieldName(std::string value) {
  if (FDataSet && FDataSet->Active()) DatabaseError("Cannot perform this operation on an open dataset");
  FFieldName = std::move(value);
}

std::string TField::FullName() const {
  if (!FParentField) return FFieldName;
  return FParentField->FullName() + "." + FFieldName;
}

int TField::Index() const {
  if (FParentField) return FParentField->Fields().IndexOf(this);
  return FDataSet ? FDataSet->Fields().IndexOf(this) : -1;
}

void TField::SetFieldKind(TFieldKind value) {
  if (FFieldKind == value) return;
  if (FDataSet && FDataSet->Active()) DatabaseError("Cannot perform this operation on an open dataset");
  FFieldKind = value;
  if (value != fkData) FFieldNo = -1;
}

void TField::SetSize(int value) {
  if (FDataSet && FDataSet->Active()) DatabaseError("Cannot perform this operation on an open dataset");
  FSize = value;
}

void TField::SetVisible(bool value) {
  if (FVisible == value) return;
  FVisible = value;
  if (FDataSet) FDataSet->DataEvent(deLayoutChange);
}

bool TField::CanModify() const {
  if (FReadOnly || !FDataSet || !FDataSet->Active()) return false;
  if (FFieldKind == fkLookup) return false;
  return FDataSet->CanModify();
}

TDataSet& TField::CheckDataSet() const {
  if (!FDataSet) DatabaseError(Format("Field '%s' has no dataset", {DisplayName()}));
  return *FDataSet;
}

bool TField::GetData(void* buffer) const {
  // The usual case first: no value being validated, a data set to ask.
  if (!FValidating && !FValidatingNull && FDataSet) return FDataSet->GetFieldData(*this, buffer);
  if (FValidating || FValidatingNull) {
    if (FValidatingNull) return false;
    if (buffer) {
      if (FDataType == ftVariant)
        *static_cast<Variant*>(buffer) = *static_cast<const Variant*>(FValidating);
      else
        std::memcpy(buffer, FValidating, static_cast<std::size_t>(DataSize()));
    }
    return true;
  }
  return CheckDataSet().GetFieldData(*this, buffer);
}

void TField::SetData(const void* buffer) { CheckDataSet().SetFieldData(*this, buffer); }

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  struct TGuard {
    TField& F;
    ~TGuard() {
      F.FValidating = nullptr;
      F.FValidatingNull = false;
    }
  } guard{*this};
  FValidating = buffer;
  FValidatingNull = buffer == nullptr;
  OnValidate(*this);
}

void TField::FocusControl() {
  if (FDataSet) FDataSet->DataEvent(deFocusControl, this);
}

void TField::SetAsVariant(const Variant& value) {
  if (value.IsNullOrEmpty())
    Clear();
  else
    SetVarValue(value);
}

Variant TField::OldValue() const { return CheckDataSet().GetStateFieldValue(dsOldValue, *this); }
Variant TField::NewValue() const { return CheckDataSet().GetStateFieldValue(dsNewValue, *this); }
void TField::SetNewValue(const Variant& value) { CheckDataSet().SetStateFieldValue(dsNewValue, *this, value); }
Variant TField::CurValue() const { return CheckDataSet().GetStateFieldValue(dsCurValue, *this); }

void TField::AccessError(const char* typeName) const {
  DatabaseError(Format("Cannot access field '%s' as type %s", {DisplayName(), typeName}));
}

void TField::RangeError(const std::string& value, const std::string& min, const std::string& max) const {
  DatabaseError(Format("%s is not a valid value for field '%s'. The allowed range is %s to %s",
                       {value, DisplayName(), min, max}));
}

// The defaults convert through the variant value; a null value reads as
// the kind's zero.
std::string TField::GetAsString() const { return VarToStr(GetAsVariant()); }
void TField::SetAsStringValue(const std::string& value) { SetAsVariant(Variant(value)); }
std::u16string TField::GetAsWideString() const { return VarToWideStr(GetAsVariant()); }
void TField::SetAsWideStringValue(const std::u16string& value) { SetAsVariant(Variant(value)); }

namespace {
template <typename T, typename Fn>
T OrZero(const Variant& v, Fn fn) {
  return v.IsNullOrEmpty() ? T{} : fn(v);
}
}  // namespace

std::int32_t TField::GetAsInteger() const {
  return OrZero<std::int32_t>(GetAsVariant(), [](const Variant& v) { return v.AsInt32(); });
}
void TField::SetAsIntegerValue(std::int32_t value) { SetAsVariant(Variant(value)); }
std::int64_t TField::GetAsLargeInt() const {
  return OrZero<std::int64_t>(GetAsVariant(), [](const Variant& v) { return v.AsInt64(); });
}
void TField::SetAsLargeIntValue(std::int64_t value) { SetAsVariant(Variant(value)); }
double TField::GetAsFloat() const {
  return OrZero<double>(GetAsVariant(), [](const Variant& v) { return v.AsDouble(); });
}
void TField::SetAsFloatValue(double value) { SetAsVariant(Variant(value)); }
Currency TField::GetAsCurrency() const {
  return OrZero<Currency>(GetAsVariant(), [](const Variant& v) { return v.AsCurrency(); });
}
void TField::SetAsCurrencyValue(Currency value) { SetAsVariant(Variant(value)); }
bool TField::GetAsBoolean() const {
  return OrZero<bool>(GetAsVariant(), [](const Variant& v) { return v.AsBoolean(); });
}
void TField::SetAsBooleanValue(bool value) { SetAsVariant(Variant(value)); }
TDateTime TField::GetAsDateTime() const {
  return OrZero<TDateTime>(GetAsVariant(), [](const Variant& v) { return v.AsDate(); });
}
void TField::SetAsDateTimeValue(TDateTime value) { SetAsVariant(Variant::FromDate(value)); }
TSQLTimeStamp TField::GetAsSQLTimeStamp() const {
  return OrZero<TSQLTimeStamp>(GetAsVariant(), [](const Variant& v) { return v.AsSQLTimeStamp(); });
}
void TField::SetAsSQLTimeStampValue(const TSQLTimeStamp& value) { SetAsVariant(Variant(value)); }
TBcd TField::GetAsBCD() const {
  return OrZero<TBcd>(GetAsVariant(), [](const Variant& v) { return v.AsBcd(); });
}
void TField::SetAsBCDValue(const TBcd& value) { SetAsVariant(Variant(value)); }
std::vector<std::uint8_t> TField::GetAsBytes() const {
  return OrZero<std::vector<std::uint8_t>>(GetAsVariant(), [](const Variant& v) { return v.AsBytes(); });
}
void TField::SetAsBytesValue(const std::vector<std::uint8_t>& value) { SetAsVariant(Variant::FromBytes(value)); }
std::string TField::GetText(bool) const { return GetAsString(); }

// ---- TFields --------------------------------------------------------------------

TFields::~TFields() = default;

TField& TFields::Fields(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TField* TFields::FindField(std::string_view name) const {
  for (const auto& f : FItems)
    if (SameFieldName(f->FieldName(), name)) return f.get();
  return nullptr;
}

TField& TFields::FieldByName(std::string_view name) const {
  TField* f = FindField(name);
  if (!f) DatabaseError(Format("Field '%s' not found", {name}));
  return *f;
}

int TFields::IndexOf(const TField* field) const noexcept {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == field) return static_cast<int>(i);
  return -1;
}

TField& TFields::Add(std::unique_ptr<TField> field) {
  TField& f = *field;
  FItems.push_back(std::move(field));
  return f;
}

std::unique_ptr<TField> TFields::Remove(TField& field) {
  const int i = IndexOf(&field);
  if (i < 0) return nullptr;
  std::unique_ptr<TField> f = std::move(FItems[static_cast<std::size_t>(i)]);
  FItems.erase(FItems.begin() + i);
  return f;
}

void TFields::Clear() noexcept {
  // Last first, as they were added.
  while (!FItems.empty()) FItems.pop_back();
}

void TFields::Move(int curIndex, int newIndex) {
  Fields(curIndex);
  Fields(newIndex);
  auto item = std::move(FItems[static_cast<std::size_t>(curIndex)]);
  FItems.erase(FItems.begin() + curIndex);
  FItems.insert(FItems.begin() + newIndex, std::move(item));
}

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= names.size()) {
    std::size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string name = Trim(names.substr(start, end - start));
    if (!name.empty()) out.push_back(std::move(name));
    start = end + 1;
  }
  return out;
}

}  // namespace lumo
