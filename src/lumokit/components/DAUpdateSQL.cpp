#include <lumokit/components/DAUpdateSQL.h>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DADataSetUpdater.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/core/Format.h>

namespace lumo {

namespace {

TStatementType SlotOf(TUpdateKind kind) {
  switch (kind) {
    case TUpdateKind::ukModify:
      return stUpdate;
    case TUpdateKind::ukInsert:
      return stInsert;
    case TUpdateKind::ukDelete:
      return stDelete;
  }
  return stUpdate;
}

bool HasSlot(TStatementType type) {
  return type == stInsert || type == stUpdate || type == stDelete || type == stLock || type == stRefresh;
}

}  // namespace

TCustomDAUpdateSQL::TCustomDAUpdateSQL() {
  for (TStatementType t : {stUpdate, stInsert, stDelete, stLock, stRefresh})
    FSQLText[t] = std::make_unique<TStringList>();
}

TCustomDAUpdateSQL::~TCustomDAUpdateSQL() {
  Destroying();
  if (FDataSet && FDataSet->UpdateObject() == this) FDataSet->SetUpdateObject(nullptr);
}

TStringList& TCustomDAUpdateSQL::GetSQL(TUpdateKind kind) { return *FSQLText[SlotOf(kind)]; }

std::string TCustomDAUpdateSQL::SQLOf(TStatementType type) const {
  if (!HasSlot(type)) return {};
  return FSQLText[type]->Text();
}

TComponent* TCustomDAUpdateSQL::UpdateObjectOf(TStatementType type) const noexcept {
  return HasSlot(type) ? FUpdateObject[type] : nullptr;
}

bool TCustomDAUpdateSQL::IsDataSetClass(const TComponent& component) const {
  return dynamic_cast<const TCustomDADataSet*>(&component) != nullptr;
}

bool TCustomDAUpdateSQL::IsSQLClass(const TComponent& component) const {
  return dynamic_cast<const TCustomDASQL*>(&component) != nullptr;
}

void TCustomDAUpdateSQL::CheckObject(const TComponent* value, const TCustomDADataSet* dataSet) const {
  if (!value) return;
  if (!IsDataSetClass(*value) && !IsSQLClass(*value))
    throw EDAError(Format("Only %s and %s objects are allowed in update properties",
                          {DataSetClassName(), SQLClassName()}));
  if (dataSet && value == dataSet)
    throw EDAError("Circular references are not allowed between TCustomDADataset and TCustomDAUpdateSQL objects");
}

void TCustomDAUpdateSQL::SetObject(TStatementType type, TComponent* value) {
  if (!HasSlot(type)) return;
  CheckObject(value, FDataSet);
  SetReference(FUpdateObject[type], value);
}

void TCustomDAUpdateSQL::SetDataSetImpl(TCustomDADataSet* value) {
  SetReference(FDataSet, value);
}

void TCustomDAUpdateSQL::Notification(TComponent& component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  for (TComponent*& object : FUpdateObject)
    if (object == &component) object = nullptr;
  if (&component == FDataSet) FDataSet = nullptr;
}

void TCustomDAUpdateSQL::Loaded() {
  TComponent::Loaded();
  FDesignCreate = false;
}

void TCustomDAUpdateSQL::Apply(TUpdateKind kind) {
  if (!FDataSet) throw EDAError("DataSet is not defined");
  const TStatementType slot = SlotOf(kind);
  FDataSet->DADataSetService().DAUpdater().PerformSQL(FSQLText[slot]->Text(), TStatementTypes{slot});
}

void TCustomDAUpdateSQL::ExecSQL(TUpdateKind kind) { Apply(kind); }

void TCustomDAUpdateSQL::AssignTo(TCustomDAUpdateSQL& dest) const {
  for (TStatementType t : {stRefresh, stUpdate, stInsert, stDelete}) dest.FSQLText[t]->Assign(*FSQLText[t]);
  dest.SetDataSet(FDataSet);
  for (TStatementType t : {stRefresh, stUpdate, stInsert, stDelete}) dest.SetObject(t, FUpdateObject[t]);
}

}  // namespace lumo
