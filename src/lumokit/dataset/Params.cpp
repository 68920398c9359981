#include <lumokit/dataset/Params.h>

#include <algorithm>

#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>

namespace lumo {

TFieldType FieldTypeOfVariant(const Variant& value) noexcept {
  if (value.IsByteArray()) return ftVarBytes;
  switch (value.VarType()) {
    case varSmallint:
    case varShortInt:
    case varByte:
      return ftSmallint;
    case varWord:
      return ftWord;
    case varInteger:
      return ftInteger;
    case varLongWord:
      return ftLongWord;
    case varInt64:
    case varUInt64:
      return ftLargeint;
    case varSingle:
    case varDouble:
      return ftFloat;
    case varCurrency:
      return ftCurrency;
    case varDate:
      return ftDateTime;
    case varBoolean:
      return ftBoolean;
    case varString:
      return ftString;
    case varOleStr:
    case varUString:
      return ftWideString;
    case varFMTBcd:
      return ftFMTBcd;
    case varSQLTimeStamp:
      return ftTimeStamp;
    default:
      return ftUnknown;
  }
}

// ---- TParam ----------------------------------------------------------------------------------

TParam::TParam() = default;

TParam::~TParam() = default;

void TParam::Assign(const TParam& source) {
  if (&source == this) return;
  FName = source.FName;
  SetDataType(source.DataType());
  FParamType = source.FParamType;
  FValue = source.Value();
  FBound = source.FBound;
  FSize = source.FSize;
  FPrecision = source.FPrecision;
  FNumericScale = source.FNumericScale;
}

void TParam::Clear() { FValue = Variant::Null(); }

void TParam::SetValue(const Variant& value) {
  if (FDataType == ftUnknown) SetDataType(FieldTypeOfVariant(value));
  FValue = value;
  FBound = true;
}

void TParam::SetTypedValue(TFieldType type, Variant value) {
  SetDataType(type);
  FValue = std::move(value);
  FBound = true;
}

int TParam::Index() const { return FCollection ? FCollection->IndexOf(this) : -1; }

std::string TParam::AsString() const { return IsNull() ? std::string() : Value().AsString(); }
void TParam::SetAsString(const std::string& value) { SetTypedValue(ftString, Variant(value)); }
std::u16string TParam::AsWideString() const { return IsNull() ? std::u16string() : Value().AsWideString(); }
void TParam::SetAsWideString(const std::u16string& value) { SetTypedValue(ftWideString, Variant(value)); }
std::int32_t TParam::AsInteger() const { return IsNull() ? 0 : Value().AsInt32(); }
void TParam::SetAsInteger(std::int32_t value) { SetTypedValue(ftInteger, Variant(value)); }
void TParam::SetAsSmallInt(std::int16_t value) { SetTypedValue(ftSmallint, Variant(value)); }
void TParam::SetAsWord(std::uint16_t value) { SetTypedValue(ftWord, Variant(value)); }
std::int64_t TParam::AsLargeInt() const { return IsNull() ? 0 : Value().AsInt64(); }
void TParam::SetAsLargeInt(std::int64_t value) { SetTypedValue(ftLargeint, Variant(value)); }
double TParam::AsFloat() const { return IsNull() ? 0.0 : Value().AsDouble(); }
void TParam::SetAsFloat(double value) { SetTypedValue(ftFloat, Variant(value)); }
Currency TParam::AsCurrency() const { return IsNull() ? Currency{} : Value().AsCurrency(); }
void TParam::SetAsCurrency(Currency value) { SetTypedValue(ftCurrency, Variant(value)); }
bool TParam::AsBoolean() const { return IsNull() ? false : Value().AsBoolean(); }
void TParam::SetAsBoolean(bool value) { SetTypedValue(ftBoolean, Variant(value)); }
TDateTime TParam::AsDateTime() const { return IsNull() ? 0.0 : Value().AsDate(); }
void TParam::SetAsDateTime(TDateTime value) { SetTypedValue(ftDateTime, Variant::FromDate(value)); }
void TParam::SetAsDate(TDateTime value) { SetTypedValue(ftDate, Variant::FromDate(value)); }
void TParam::SetAsTime(TDateTime value) { SetTypedValue(ftTime, Variant::FromDate(value)); }
Variant::Bytes TParam::AsBytes() const { return IsNull() ? Variant::Bytes() : Value().AsBytes(); }
void TParam::SetAsBytes(const Variant::Bytes& value) { SetTypedValue(ftVarBytes, Variant::FromBytes(value)); }
void TParam::SetAsMemo(const std::string& value) { SetTypedValue(ftMemo, Variant(value)); }

// ---- TParams ---------------------------------------------------------------------------------

TParams::TParams() = default;

TParams::~TParams() = default;

TParam& TParams::Items(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

std::unique_ptr<TParam> TParams::CreateItem() { return std::make_unique<TParam>(); }

TParam& TParams::Add() { return AddParam(CreateItem()); }

TParam& TParams::CreateParam(TFieldType dataType, const std::string& name, TParamType paramType) {
  TParam& p = Add();
  p.SetName(name);
  p.SetDataType(dataType);
  p.SetParamType(paramType);
  return p;
}

TParam& TParams::AddParam(std::unique_ptr<TParam> param) {
  LUMO_ASSERT(param && !param->FCollection);
  param->FCollection = this;
  FItems.push_back(std::move(param));
  Update();
  return *FItems.back();
}

std::unique_ptr<TParam> TParams::RemoveParam(TParam& param) {
  auto it = std::find_if(FItems.begin(), FItems.end(), [&](const auto& p) { return p.get() == &param; });
  LUMO_ASSERT(it != FItems.end());
  std::unique_ptr<TParam> result = std::move(*it);
  FItems.erase(it);
  result->FCollection = nullptr;
  Update();
  return result;
}

void TParams::Delete(int index) { RemoveParam(Items(index)); }

void TParams::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Update();
}

TParam* TParams::FindParam(std::string_view name) const {
  for (const auto& p : FItems)
    if (AnsiSameText(p->Name(), name)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) const {
  TParam* p = FindParam(name);
  if (!p) DatabaseError(Format("Parameter '%s' not found", {name}));
  return *p;
}

int TParams::IndexOf(const TParam* param) const noexcept {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == param) return static_cast<int>(i);
  return -1;
}

void TParams::Assign(const TParams& source) {
  if (&source == this) return;
  std::vector<std::unique_ptr<TParam>> items;
  items.reserve(source.FItems.size());
  for (const auto& s : source.FItems) {
    std::unique_ptr<TParam> p = CreateItem();
    p->Assign(*s);
    p->FCollection = this;
    items.push_back(std::move(p));
  }
  FItems = std::move(items);
  Update();
}

void TParams::AssignValues(const TParams& source) {
  for (const auto& p : FItems) {
    if (const TParam* s = source.FindParam(p->Name())) {
      p->SetDataType(s->DataType());
      p->SetValue(s->Value());
      p->SetBound(s->Bound());
    }
  }
}

bool TParams::IsEqual(const TParams& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i) {
    const TParam& a = Items(i);
    const TParam& b = other.Items(i);
    if (a.Name() != b.Name() || a.DataType() != b.DataType() || !VarSameValue(a.Value(), b.Value())) return false;
  }
  return true;
}

}  // namespace lumo
