#include "DADataSetService.h"

#include "DADataSet.h"
#include "Format.h"

namespace lumo {

std::string StatementTypeName(TStatementType type) {
  switch (type) {
    case stQuery:
      return "Select";
    case stInsert:
      return "Insert";
    case stUpdate:
      return "Update";
    case stDelete:
      return "Delete";
    case stLock:
      return "Lock";
    case stRefresh:
      return "Refresh";
    default:
      return {};
  }
}

// ---- TDADataSetUpdater ----------------------------------------------------------------------

TDADataSetUpdater::TDADataSetUpdater(TDataSetService& owner) : TDataSetUpdater(owner) {}

TCustomDADataSet& TDADataSetUpdater::DADataSet() const {
  auto* ds = dynamic_cast<TCustomDADataSet*>(FDataSet);
  if (!ds) AssertionFailure(__FILE__, __LINE__, "The updater does not belong to a SQL data set");
  return *ds;
}

bool TDADataSetUpdater::GetDefaultExpressionValue(const std::string&, Variant&) { return false; }

// ---- TDADataSetService ----------------------------------------------------------------------

TDADataSetService::TDADataSetService(TMemDataSet& owner) : TDataSetService(owner) {}

std::unique_ptr<TDataSetUpdater> TDADataSetService::CreateDataSetUpdater() {
  return std::make_unique<TDADataSetUpdater>(*this);
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

bool TDADataSetService::DetectCanModify() {
  TCustomDADataSet& ds = DADataSet();
  if (ds.ReadOnly() || ds.UniDirectional()) return false;
  return ds.LocalUpdate() || (ds.CachedUpdates() && ds.OnUpdateRecord) || ds.UpdateObject() != nullptr;
}

void TDADataSetService::GetKeyFieldDescs(std::vector<TFieldDesc*>& keyFields, bool) {
  keyFields.clear();
  TCustomDADataSet& ds = DADataSet();
  if (ds.KeyFields().empty() || !ds.IRecordSet()) return;
  for (const std::string& name : SplitFieldNames(ds.KeyFields())) {
    TFieldDesc* desc = ds.IRecordSet()->FindField(name);
    if (!desc) {
      keyFields.clear();
      throw EDAError(Format("%s: Key field '%s' not found", {ds.Name(), name}));
    }
    keyFields.push_back(desc);
  }
}

void TDADataSetService::OpenNext() { throw EDAError("Operation is not supported by the database"); }

}  // namespace lumo
