#include <lumokit/dataset/FieldDefs.h>

#include <lumokit/core/Format.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo {

// ---- TFieldDef ------------------------------------------------------------------

TFieldDef::TFieldDef(TFieldDefs& owner, std::string name, TFieldType dataType, int size, bool required, int fieldNo)
    : FOwner(&owner), FName(std::move(name)), FDataType(dataType), FSize(size), FFieldNo(fieldNo) {
  if (required) FAttributes.Include(faRequired);
}

TFieldDef::~TFieldDef() = default;

void TFieldDef::Changed() { FOwner->Changed(); }

void TFieldDef::SetName(std::string value) {
  FName = std::move(value);
  Changed();
}

void TFieldDef::SetDataType(TFieldType value) {
  FDataType = value;
  Changed();
}

void TFieldDef::SetSize(int value) {
  FSize = value;
  Changed();
}

void TFieldDef::SetPrecision(int value) {
  FPrecision = value;
  Changed();
}

void TFieldDef::SetRequired(bool value) {
  if (value)
    FAttributes.Include(faRequired);
  else
    FAttributes.Exclude(faRequired);
  Changed();
}

void TFieldDef::SetAttributes(TFieldAttributes value) {
  FAttributes = value;
  Changed();
}

TFieldDef* TFieldDef::ParentDef() const noexcept { return FOwner->ParentDef(); }

TFieldDefs& TFieldDef::ChildDefs() {
  if (!FChildDefs) FChildDefs = std::make_unique<TFieldDefs>(FOwner->DataSet(), this);
  return *FChildDefs;
}

bool TFieldDef::HasChildDefs() const noexcept { return FChildDefs && FChildDefs->Count() > 0; }

TField& TFieldDef::CreateField(TDataSet& dataSet, TField* parent) {
  std::unique_ptr<TField> field = dataSet.GetFieldClass(FDataType);
  if (!field) DatabaseError(Format("Field type %s is not supported", {FieldTypeName(FDataType)}));
  field->SetFieldName(FName);
  switch (FDataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftBytes:
    case ftVarBytes:
    case ftBCD:
    case ftFMTBcd:
    case ftOraInterval:
      field->SetSize(FSize);
      break;
    default:
      break;
  }
  // The cheap conditions first: a cast that fails costs more than a test.
  if (FPrecision > 0)
    if (auto* f = dynamic_cast<TFloatField*>(field.get())) f->SetPrecision(FPrecision);
  if (auto* f = dynamic_cast<TBCDField*>(field.get())) f->SetPrecision(FPrecision);
  if (auto* f = dynamic_cast<TFMTBCDField*>(field.get())) f->SetPrecision(FPrecision);
  if (FAttributes.Contains(faFixed))
    if (auto* f = dynamic_cast<TStringField*>(field.get())) f->SetFixedChar(true);
  field->SetRequired(FAttributes.Contains(faRequired));
  field->SetReadOnly(FAttributes.Contains(faReadonly));
  if (FInternalCalcField) field->SetFieldKind(fkInternalCalc);
  TField* created = nullptr;
  if (auto* parentObject = dynamic_cast<TObjectField*>(parent)) {
    created = &parentObject->AddField(std::move(field));
  } else {
    created = &dataSet.AddField(std::move(field));
  }
  if (FChildDefs)
    for (const auto& child : *FChildDefs) child->CreateField(dataSet, created);
  return *created;
}

// ---- TFieldDefs -----------------------------------------------------------------

TFieldDefs::TFieldDefs(TDataSet* dataSet, TFieldDef* parentDef) : FDataSet(dataSet), FParentDef(parentDef) {}

TFieldDefs::~TFieldDefs() = default;

TFieldDef& TFieldDefs::Items(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TFieldDef& TFieldDefs::Add(std::string name, TFieldType dataType, int size, bool required, int fieldNo) {
  if (fieldNo <= 0) fieldNo = Count() + 1;
  FItems.push_back(std::make_unique<TFieldDef>(*this, std::move(name), dataType, size, required, fieldNo));
  Changed();
  return *FItems.back();
}

TFieldDef& TFieldDefs::AddFieldDef() { return Add("", ftUnknown); }

void TFieldDefs::Clear() {
  FItems.clear();
  Changed();
}

void TFieldDefs::Delete(int index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
  Changed();
}

TFieldDef* TFieldDefs::Find(std::string_view name) const {
  for (const auto& d : FItems)
    if (SameFieldName(d->Name(), name)) return d.get();
  return nullptr;
}

TFieldDef& TFieldDefs::FieldDefByName(std::string_view name) const {
  TFieldDef* d = Find(name);
  if (!d) DatabaseError(Format("Field '%s' not found", {name}));
  return *d;
}

int TFieldDefs::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (SameFieldName(FItems[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

void TFieldDefs::Update() {
  if (FUpdated || !FDataSet || FParentDef) return;
  FDataSet->InternalInitFieldDefs();
}

void TFieldDefs::EndUpdate() noexcept {
  if (FUpdateCount > 0) --FUpdateCount;
}

void TFieldDefs::Changed() noexcept {
  FUpdated = false;
  if (FParentDef) FParentDef->FOwner->Changed();
}

}  // namespace lumo
