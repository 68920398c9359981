#include "DADataSetService.h"

#include "DADataSet.h"
#include "DASQLGenerator.h"
#include "Format.h"
#include "KxAccessRecordSet.h"

namespace lumo {

bool OldFieldsReadOnly = false;

TDADataSetService::TDADataSetService(TMemDataSet& owner) : TDataSetService(owner) {}

TDADataSetService::~TDADataSetService() = default;

std::unique_ptr<TDataSetUpdater> TDADataSetService::CreateDataSetUpdater() {
  return std::make_unique<TDADataSetUpdater>(*this);
}

void TDADataSetService::SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) {
  TDataSetService::SetDataSetUpdater(std::move(value));
}

void TDADataSetService::PreInitCursor() {}

void TDADataSetService::WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDataSetService::WriteFieldXMLAttributeType(field, desc, writer);
}

TCustomDADataSet& TDADataSetService::DADataSet() const {
  auto* ds = dynamic_cast<TCustomDADataSet*>(FDataSet);
  if (!ds) AssertionFailure(__FILE__, __LINE__, "The service does not belong to a SQL data set");
  return *ds;
}

TDADataSetUpdater& TDADataSetService::DAUpdater() {
  auto* updater = dynamic_cast<TDADataSetUpdater*>(&Updater());
  if (!updater) AssertionFailure(__FILE__, __LINE__, "The updater of a SQL data set is not a TDADataSetUpdater");
  return *updater;
}

TDASQLGenerator& TDADataSetService::SQLGenerator() {
  if (!FSQLGenerator) FSQLGenerator = CreateSQLGenerator();
  return *FSQLGenerator;
}

std::unique_ptr<TDASQLGenerator> TDADataSetService::CreateSQLGenerator() {
  return std::make_unique<TDASQLGenerator>(*this);
}

void TDADataSetService::SetSQLGenerator(std::unique_ptr<TDASQLGenerator> value) { FSQLGenerator = std::move(value); }

void TDADataSetService::InitCursor() {}
void TDADataSetService::InitUpdatingTableIdx() {}
void TDADataSetService::InitUpdatingTableFields() {}
void TDADataSetService::InitUpdatingTable() {}
void TDADataSetService::SetFieldOrigin(TField&, TKxFieldDesc&) {}
void TDADataSetService::FillFieldsDefaultValues() {}
void TDADataSetService::SetFieldsReadOnly() {}

bool TDADataSetService::DetectCanModify() {
  TCustomDADataSet& ds = DADataSet();
  if (ds.ReadOnly() || ds.UniDirectional()) return false;
  return ds.LocalUpdate() || (ds.CachedUpdates() && ds.OnUpdateRecord) || ds.UpdateObject() != nullptr;
}

void TDADataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool) {
  FillKeyFieldDescs(keyFieldDescs, DADataSet().KeyFields(), true);
}

void TDADataSetService::FillDataFieldDescs(TFieldDescArray& dataFieldDescs, bool) { dataFieldDescs.clear(); }

void TDADataSetService::ClearFieldDescRefs() {}

std::string TDADataSetService::GetDBKeyList(const std::string&, const std::string&) { return {}; }

bool TDADataSetService::OpenNext() { throw EDAError("Operation is not supported by the database"); }

void TDADataSetService::GetKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool forceUseAllFields) {
  FillKeyFieldDescs(keyFieldDescs, forceUseAllFields);
}

void TDADataSetService::GetDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllFields) {
  FillDataFieldDescs(dataFieldDescs, forceUseAllFields);
}

void TDADataSetService::GetKeyAndDataFields(TKeyAndDataFields& keyAndDataFields, bool forceUseAllFields) {
  GetKeyFieldDescs(keyAndDataFields.KeyFieldDescs, forceUseAllFields);
  GetDataFieldDescs(keyAndDataFields.DataFieldDescs, forceUseAllFields);
}

void TDADataSetService::ClearCachedKeyFieldDescs() noexcept {}
void TDADataSetService::ClearCachedDataFieldDescs() noexcept {}

std::string TDADataSetService::QuoteName(const std::string& name) { return name; }

void TDADataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, const std::string& keyFields,
                                          bool checkKeyFields) {
  keyFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  if (keyFields.empty() || !ds.IRecordSet()) return;
  for (const std::string& name : SplitFieldNames(keyFields)) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(ds.IRecordSet()->FindField(name));
    if (!desc) {
      keyFieldDescs.clear();
      if (checkKeyFields) throw EDAError(Format("%s: Key field '%s' not found", {ds.Name(), name}));
      return;
    }
    keyFieldDescs.push_back(desc);
  }
}

TKxTableInfo* TDADataSetService::UpdatingTableInfo() const { return nullptr; }
TKxTablesInfo* TDADataSetService::TablesInfo() const { return DADataSet().TablesInfo(); }
bool TDADataSetService::IsUpdatingTableField(const TKxFieldDesc&) const { return false; }
bool TDADataSetService::UseAllFieldsFlag(bool) { return false; }

}  // namespace lumo
