#include <lumokit/components/DADataSetUpdater.h>

#include <atomic>
#include <cmath>
#include <cstdlib>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/components/DASQLGenerator.h>
#include <lumokit/components/DATransaction.h>
#include <lumokit/components/DAUpdateSQL.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/MemData.h>

namespace lumo {

bool OldCachedUpdateLockMode = false;
bool SQLGeneratorCompatibility = false;

double DateTimeFilterDelta() noexcept { return 1.1576048564E-8; }

namespace {

std::atomic<std::uint64_t> gUpdaterSerial{0};

// The generator's parameter information, read in one place.
int InfoCount(const TDAParamsInfo* info) { return info ? info->Count() : 0; }
const TDAParamInfo& InfoAt(const TDAParamsInfo& info, int i) { return info.Items(i); }

bool IsDml(TStatementType t) { return t == stInsert || t == stUpdate || t == stDelete; }

bool StartsWithText(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && AnsiSameText(text.substr(0, prefix.size()), std::string(prefix));
}

// "P_" n "_" in front of a batch parameter's name.
std::string StripBatchPrefix(const std::string& name) {
  if (name.size() < 4 || !(name[0] == 'P' || name[0] == 'p') || name[1] != '_') return name;
  std::size_t i = 2;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
  if (i == 2 || i >= name.size() || name[i] != '_') return name;
  return name.substr(i + 1);
}

bool IsDateTimeVariant(const Variant& v) { return v.VarType() == varDate || v.VarType() == varSQLTimeStamp; }

}  // namespace

// ---- the transaction of one statement or batch ------------------------------------------------

// Runs a statement or batch as a unit: in a transaction started here when
// none is active, else (for a batch) inside a savepoint. Commit releases it;
// a scope that ends without Commit rolls back (errors of that swallowed).
class TDADataSetUpdater::TUpdateTransactionScope {
 public:
  TUpdateTransactionScope(TDADataSetUpdater& updater, TDATransaction* transaction, const std::string& savepoint)
      : FUpdater(updater), FTransaction(transaction) {
    if (!transaction) return;
    if (!updater.TrActive(transaction)) {
      updater.TrStart(transaction);
      FStarted = true;
    } else if (!savepoint.empty()) {
      updater.TrSavepoint(transaction, savepoint);
      FSavepoint = savepoint;
    }
  }
  TUpdateTransactionScope(const TUpdateTransactionScope&) = delete;
  TUpdateTransactionScope& operator=(const TUpdateTransactionScope&) = delete;
  ~TUpdateTransactionScope() {
    if (!FTransaction || FDone) return;
    try {
      if (FStarted)
        FUpdater.TrRollback(FTransaction);
      else if (!FSavepoint.empty())
        FUpdater.TrRollbackToSavepoint(FTransaction, FSavepoint);
    } catch (...) {
    }
  }
  void Commit() {
    FDone = true;
    if (FTransaction && FStarted) FUpdater.TrCommit(FTransaction);
  }

 private:
  TDADataSetUpdater& FUpdater;
  TDATransaction* FTransaction;
  std::string FSavepoint;
  bool FStarted = false;
  bool FDone = false;
};

TKxTransaction* TDADataSetUpdater::DirectTransaction(TDATransaction* tr) {
  TCustomDAConnection* c = DADataSet().UsedConnection();
  if (!tr || !c || c->IsMultipleTransactionsSupported() || !c->IConnection()) return nullptr;
  return &c->IConnection()->GetInternalTransaction();
}

bool TDADataSetUpdater::TrActive(TDATransaction* tr) {
  if (TKxTransaction* direct = DirectTransaction(tr)) return direct->GetInTransaction() || tr->Active();
  return tr && tr->Active();
}

void TDADataSetUpdater::TrStart(TDATransaction* tr) {
  if (TKxTransaction* direct = DirectTransaction(tr))
    direct->StartTransaction();
  else
    tr->StartTransaction();
}

void TDADataSetUpdater::TrCommit(TDATransaction* tr) {
  if (TKxTransaction* direct = DirectTransaction(tr))
    direct->Commit();
  else
    tr->Commit();
}

void TDADataSetUpdater::TrRollback(TDATransaction* tr) {
  if (TKxTransaction* direct = DirectTransaction(tr))
    direct->Rollback();
  else
    tr->Rollback();
}

void TDADataSetUpdater::TrSavepoint(TDATransaction* tr, const std::string& name) {
  if (TKxTransaction* direct = DirectTransaction(tr))
    direct->Savepoint(name);
  else
    tr->Savepoint(name);
}

void TDADataSetUpdater::TrRollbackToSavepoint(TDATransaction* tr, const std::string& name) {
  if (TKxTransaction* direct = DirectTransaction(tr))
    direct->RollbackToSavepoint(name);
  else
    tr->RollbackToSavepoint(name);
}

// ---- construction -------------------------------------------------------------------------------

TDADataSetUpdater::TDADataSetUpdater(TDataSetService& owner)
    : TDataSetUpdater(owner), FSerial(++gUpdaterSerial) {}

TDADataSetUpdater::~TDADataSetUpdater() = default;

TCustomDADataSet& TDADataSetUpdater::DADataSet() const {
  auto* ds = dynamic_cast<TCustomDADataSet*>(FDataSet);
  if (!ds) AssertionFailure(__FILE__, __LINE__, "The updater does not belong to a SQL data set");
  return *ds;
}

TDADataSetService& TDADataSetUpdater::DAService() const {
  auto* service = dynamic_cast<TDADataSetService*>(FDataSetService);
  if (!service) AssertionFailure(__FILE__, __LINE__, "The updater's service is not a TDADataSetService");
  return *service;
}

std::string TDADataSetUpdater::LockSavepointName() const {
  return ("LOCK_" + DADataSet().Name()).substr(0, 30) + "_" + std::to_string(FSerial);
}

std::string TDADataSetUpdater::CachedLockSavepointName() const {
  return ("LOCK_CU_" + DADataSet().Name()).substr(0, 30) + "_" + std::to_string(FSerial);
}

bool TDADataSetUpdater::StrictUpdate() const { return DADataSet().Options().StrictUpdate(); }

bool TDADataSetUpdater::GetDefaultExpressionValue(const std::string&, Variant&) { return false; }

bool TDADataSetUpdater::GetIdentityFieldValue(Variant&) { return false; }

bool TDADataSetUpdater::UseParamType(TDAParam&) { return false; }

void TDADataSetUpdater::SetDefaultParamType(TDAParam& param) { param.SetParamType(ptInput); }

bool TDADataSetUpdater::NeedReturnParams() {
  TCustomDADataSet& ds = DADataSet();
  return ds.Options().ReturnParams() || ds.DMLRefresh();
}

bool TDADataSetUpdater::RefreshAfterInsertAllowed() {
  TCustomDADataSet& ds = DADataSet();
  return !ds.DMLRefresh() || ds.Options().FullRefresh();
}

bool TDADataSetUpdater::IsPreconnected() {
  TCustomDADataSet& ds = DADataSet();
  return (ds.State() == dsEdit && IsNeedEditPreconnect()) || (ds.State() == dsInsert && IsNeedInsertPreconnect());
}

bool TDADataSetUpdater::CanRefreshByLock() {
  TCustomDADataSet& ds = DADataSet();
  const std::string lock = Trim(ds.SQLLock().Text());
  if (!lock.empty() && !StartsWithText(lock, "FOR")) return false;
  if (ds.RefreshOptions().Contains(roBeforeEdit))
    return Trim(ds.SQLRefresh().Text()).empty() && !ds.Options().FullRefresh();
  return true;
}

bool TDADataSetUpdater::RowHasCachedChange() {
  TCustomDADataSet& ds = DADataSet();
  if (!ds.CachedUpdates() || ds.IsEmpty()) return false;
  ds.UpdateCursorPos();
  TData& d = ds.Data();
  return d.GetUpdateResult() != urApplied && d.GetUpdateStatus() != isUnmodified;
}

bool TDADataSetUpdater::IsCachedInsert() {
  TCustomDADataSet& ds = DADataSet();
  if (!ds.CachedUpdates() || ds.IsEmpty()) return false;
  ds.UpdateCursorPos();
  TData& d = ds.Data();
  return d.GetUpdateResult() != urApplied && d.GetUpdateStatus() == isAppended;
}

// ---- choosing the statement ---------------------------------------------------------------------

std::string TDADataSetUpdater::GetUpdateStatement(TStatementType type) {
  TCustomDADataSet& ds = DADataSet();
  if (type != stInsert && type != stUpdate && type != stDelete && type != stLock && type != stRefresh) return {};
  std::string text = ds.UpdateSQL(type).Text();
  if (type == stRefresh) {
    text = Trim(text);
    if (StartsWithText(text, "WHERE")) {
      const std::string condition = Trim(text.substr(5));
      const std::string base = SQLGeneratorCompatibility ? ds.BaseSQL() : ds.GetFinalSQL();
      text = ds.SQLAddWhere(base, condition);
    }
  } else if (type == stLock) {
    text = Trim(text);
    if (StartsWithText(text, "FOR")) {
      const std::string refresh = GetUpdateStatement(stRefresh);
      text = refresh + "\r\n" + text;
    }
  }
  return text;
}

TDATransaction* TDADataSetUpdater::StatementTransaction(TStatementType slot) {
  if (FFixedTransaction) return FFixedTransaction;
  TCustomDADataSet& ds = DADataSet();
  if (slot == stRefresh || slot == stCustom) {
    TDATransaction* update = ds.UpdateTransaction();
    if (update && update->Active()) return update;
    return ds.UsedTransaction();
  }
  return ds.UsedUpdateTransaction();
}

TComponent& TDADataSetUpdater::CheckUpdateQuery(TStatementType type) {
  TCustomDADataSet& ds = DADataSet();
  std::unique_ptr<TComponent>& slot = FUpdateComponents[type];
  TCustomDAConnection* connection = ds.UsedConnection();
  if (!connection) throw EDAError("Connection is not defined");
  if (!slot) {
    std::unique_ptr<TCustomDADataSet> q = connection->CreateDataSet();
    slot = std::move(q);
  }
  auto& q = static_cast<TCustomDADataSet&>(*slot);
  if (q.Connection() != connection) q.SetConnection(connection);
  q.Close();
  TDATransaction* tr = StatementTransaction(type);
  if (tr && connection->IsMultipleTransactionsSupported()) q.SetTransaction(tr);
  if (type == stBatchUpdate) {
    q.SetParamCheck(false);
    q.Params().Clear();
  }
  q.SetReadOnly(true);
  TDADataSetOptions& o = q.Options();
  o.SetNumberRange(false);
  o.SetFlatBuffers(true);
  // Large objects the statement writes are stored as the data set's mode says.
  o.SetCompressBlobMode(ds.Options().CompressBlobMode());
  o.SetTrimFixedChar(ds.Options().TrimFixedChar());
  o.SetTrimVarChar(ds.Options().TrimVarChar());
  o.SetSetEmptyStrToNull(ds.Options().SetEmptyStrToNull());
  o.SetFullRefresh(ds.Options().FullRefresh());
  o.SetStrictUpdate(false);
  if (type == stRefresh || type == stRefreshQuick || type == stRefreshCheckDeleted)
    o.SetLongStrings(ds.Options().LongStrings());
  FUpdateQuery = &q;
  SetUpdateQueryOptions(type);
  return q;
}

TCustomDADataSet* TDADataSetUpdater::UpdateDataSet() const noexcept {
  return dynamic_cast<TCustomDADataSet*>(FUpdateQuery);
}

TDAParams& TDADataSetUpdater::UpdateParams() const {
  if (auto* q = dynamic_cast<TCustomDADataSet*>(FUpdateQuery)) return q->Params();
  if (auto* c = dynamic_cast<TCustomDASQL*>(FUpdateQuery)) return c->Params();
  AssertionFailure(__FILE__, __LINE__, "No update component");
}

void TDADataSetUpdater::CheckUpdateSQL(const std::string& sql, TStatementTypes types, TDAParamsInfo*& paramsInfo,
                                       bool useGenerator) {
  TCustomDADataSet& ds = DADataSet();
  paramsInfo = nullptr;
  FStatementGenerated = false;
  if (types == TStatementTypes{stLock, stRefresh}) types = TStatementTypes{stLock};
  TStatementType slot = stCustom;
  int count = 0;
  for (int t = stQuery; t <= stBatchUpdate; ++t)
    if (types.Contains(static_cast<TStatementType>(t))) {
      slot = static_cast<TStatementType>(t);
      ++count;
    }
  if (count != 1) slot = stCustom;
  FCurrentSlot = slot;

  // An update object's component runs the statement with its own settings.
  auto* updateObject = dynamic_cast<TCustomDAUpdateSQL*>(ds.UpdateObject());
  if (updateObject) {
    if (TComponent* object = updateObject->UpdateObjectOf(slot)) {
      FUpdateQuery = object;
      std::string text;
      if (auto* q = dynamic_cast<TCustomDADataSet*>(object)) {
        if (q->SQLAutoGenerated()) return;
        text = q->SQLText();
      } else if (auto* c = dynamic_cast<TCustomDASQL*>(object)) {
        text = c->SQLText();
      }
      if (Trim(text).empty())
        throw EDAError("SQL property of InsertObject, ModifyObject, DeleteObject or RefreshObject cannot be empty");
      return;
    }
  }

  auto& q = static_cast<TCustomDADataSet&>(CheckUpdateQuery(slot));
  const bool batching = BatchUpdate();
  q.SetAutoCommit((IsDml(slot) || slot == stBatchUpdate) ? ds.AutoCommit() : false);

  std::string text = sql;
  if (text.empty()) {
    if (slot == stBatchUpdate)
      text = PrepareBatch(FBatchSQLs);
    else if (updateObject)
      text = updateObject->SQLOf(slot);
    if (text.empty() && slot != stBatchUpdate) {
      text = GetUpdateStatement(slot);
      if (!text.empty() && ds.MacroCount() > 0) ds.Macros().Expand(text);
    }
    if (Trim(text).empty() && useGenerator && slot != stBatchUpdate) {
      TDASQLGenerator& generator = DAService().SQLGenerator();
      const int index = batching ? FBatchStatements : -1;
      const bool serverDetail = ds.MasterSource() && !ds.MasterFields().empty() && !ds.DetailFields().empty() &&
                                !ds.Options().LocalMasterDetail();
      const bool quick = slot == stRefreshQuick || slot == stRefreshCheckDeleted;
      const bool collect = !(quick && (!ds.FilterSQL().empty() || serverDetail));
      const bool modifiedOnly = !ds.Options().UpdateAllFields();
      const bool ownParams = ds.ParamCount() > 0;
      std::string generated;
      {
        // The generator builds the list together with the text: it is the
        // text's list, in the text's order, not the user's.
        TDAParamsRebuild rebuild(q.Params());
        q.Params().Clear();
        generated = generator.GenerateSQL(slot, modifiedOnly, collect ? &q.Params() : nullptr, index);
      }
      q.Params().SetParamsChangeType(ctGenerated);
      FStatementGenerated = !generated.empty();
      TCustomDASQL& command = q.Command();
      const bool lockScan =
          collect && !quick && !(slot == stRefresh && (ownParams || ds.Options().FullRefresh()));
      const bool keepPrepared = q.SQLText() == generated && ds.Options().PrepareUpdateSQL() &&
                                !ds.UsedConnection()->Options().DisconnectedMode();
      if (!keepPrepared) {
        TFlagScope macros(command.FLockMacros);
        bool dummy = false;
        TFlagScope scan(lockScan ? command.FLockScanParams : dummy);
        if (!IsDml(slot)) command.FLockMacros = false;
        q.SetSQLText(generated);
      }
      if (collect) paramsInfo = &generator.ParamsInfo();
      text = generated;
    }
  }

  // Collected into the batch instead of running.
  if (batching && slot != stBatchUpdate && slot != stLock && slot != stRefresh) {
    std::string batchText = text;
    if (!FStatementGenerated && !text.empty())
      batchText = q.Command().CheckICommand().ParseSQL(text, nullptr, "P_" + std::to_string(FBatchStatements) + "_");
    if (!Trim(batchText).empty()) {
      if (!FBatchSQLs.empty()) FBatchSQLs += "\r\n";
      FBatchSQLs += batchText;
      FBatchSQLs += ";";
      ++FBatchStatements;
    }
  }

  if (!FStatementGenerated && q.SQLText() != text) {
    q.Params().Clear();
    q.SetSQLText(text);
  }
  if (ds.Options().PrepareUpdateSQL() && !ds.UsedConnection()->Options().DisconnectedMode() && !batching)
    q.Options().SetAutoPrepare(true);
}

// ---- parameters ---------------------------------------------------------------------------------

TField* TDADataSetUpdater::FieldByParamName(std::string& name, bool& old, int& fieldNo) {
  TCustomDADataSet& ds = DADataSet();
  old = false;
  fieldNo = -1;
  TField* field = nullptr;
  if (StartsWithText(name, "OLD_")) {
    field = ds.FindField(name);
    if (!field) {
      name = name.substr(4);
      old = true;
    }
  }
  if (!field && !name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) {
    char* end = nullptr;
    const long n = std::strtol(name.c_str(), &end, 10);
    if (end && *end == '\0' && n > 0 && n <= ds.Fields().Count()) {
      fieldNo = static_cast<int>(n);
      for (int i = 0; i < ds.Fields().Count(); ++i)
        if (ds.Fields()[i].FieldNo() == fieldNo) field = &ds.Fields()[i];
    }
  }
  if (!field) field = ds.FindField(name);
  return field;
}

TFieldDesc* TDADataSetUpdater::RecordSetDescOfParam(const std::string& name) {
  TData& data = DADataSet().Data();
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
    const long n = std::strtol(name.c_str(), nullptr, 10);
    for (int i = 0; i < data.FieldCount(); ++i)
      if (data.Fields()[i]->FieldNo() == n) return data.Fields()[i];
    return nullptr;
  }
  return data.FindField(name);
}

void TDADataSetUpdater::WriteUQParams(TDAParamsInfo* paramsInfo, TStatementTypes types) {
  TCustomDADataSet& ds = DADataSet();
  TDAParams& params = UpdateParams();
  const bool batching = BatchUpdate();
  const bool quick = types.Contains(stRefreshQuick) || types.Contains(stRefreshCheckDeleted);
  const bool refresh = types.Contains(stRefresh);
  TDAParams* target = &params;
  int first = 0;
  if (batching) {
    if (!FBatchParams) FBatchParams = std::make_unique<TDAParams>();
    first = FBatchParams->Count();
    const std::string prefix = FStatementGenerated ? std::string() : "P_" + std::to_string(FBatchStatements - 1) + "_";
    for (int i = 0; i < params.Count(); ++i) {
      const TDAParam& p = params[i];
      FBatchParams->CreateParam(p.DataType(), prefix + p.Name(), p.ParamType());
    }
    target = FBatchParams.get();
  }
  const int infoCount = quick ? 0 : InfoCount(paramsInfo);
  const int shift = refresh ? params.Count() - infoCount : 0;
  const TSQLInfo* sqlInfo = ds.SQLInfo();
  const bool oldAllowed = ds.State() != dsInsert || ds.InDeferredPost();
  for (int i = 0; i < params.Count(); ++i) {
    TDAParam& p = (*target)[first + i];
    TField* field = nullptr;
    bool old = false;
    const int infoIndex = i - shift;
    if (paramsInfo && infoIndex >= 0 && infoIndex < infoCount) {
      const TDAParamInfo& info = InfoAt(*paramsInfo, infoIndex);
      field = info.Field();
      old = info.Old();
    }
    std::string name = sqlInfo ? sqlInfo->UnQuote(params[i].Name()) : params[i].Name();
    if (batching) name = StripBatchPrefix(name);
    bool resolved = field != nullptr;
    if (!field) {
      const bool ownParam = refresh && ds.MasterSource() && ds.MasterFields().empty() && ds.FindParam(name);
      int fieldNo = -1;
      if (!ownParam) {
        field = FieldByParamName(name, old, fieldNo);
        resolved = true;
      }
    }
    if (field) {
      const bool useOld = old && oldAllowed;
      if (UseParamType(p) && (p.ParamType() == ptOutput || p.ParamType() == ptResult)) {
        p.SetDataType(field->DataType());
        p.Clear();
      } else {
        ds.AssignFieldValue(p, *field, useOld);
      }
    } else if (TDAParam* own = ds.FindParam(name);
               own && (refresh || quick || own->ParamType() == ptResult)) {
      p.Assign(*own);
    } else if (TFieldDesc* desc = resolved ? RecordSetDescOfParam(name) : nullptr) {
      // A column without a field object (persistent fields that leave it
      // out) takes its value from the row's record buffers; an object, array
      // or nested table gives its current value.
      const std::uint16_t type = desc->DataType();
      const bool object = type == dtObject || type == dtArray || type == dtTable;
      ds.AssignFieldValue(p, *desc, old && oldAllowed && !object);
    } else if (!ds.AssignedBeforeUpdateExecute()) {
      throw EDAError(Format("Not found field corresponding parameter %s", {params[i].Name()}));
    }
    if (!UseParamType(p)) SetDefaultParamType(p);
  }
  if (quick && ds.MasterSource() && ds.MasterSource()->DataSet() && ds.MasterSource()->DataSet()->Active())
    ds.SetMasterParams(params);
}

// ---- running the statement ------------------------------------------------------------------------

void TDADataSetUpdater::UpdateExecute(TStatementTypes types) {
  (void)types;
  if (auto* q = dynamic_cast<TCustomDADataSet*>(FUpdateQuery))
    q->Execute();
  else if (auto* c = dynamic_cast<TCustomDASQL*>(FUpdateQuery))
    c->Execute();
}

void TDADataSetUpdater::CheckRowsAffected(std::int64_t rows, const char* message) {
  if (rows != 1) throw EDAError(Format(message, {rows}));
}

bool TDADataSetUpdater::PerformSQL(const std::string& sql, TStatementTypes types) {
  TCustomDADataSet& ds = DADataSet();
  TDAUseGuard<TCustomDADataSet> use(ds);
  TDAParamsInfo* paramsInfo = nullptr;
  CheckUpdateSQL(sql, types, paramsInfo, true);
  if (types == TStatementTypes{stLock, stRefresh}) types = TStatementTypes{stLock};
  TCustomDADataSet* q = UpdateDataSet();
  auto* command = dynamic_cast<TCustomDASQL*>(FUpdateQuery);
  const std::string text = q ? q->SQLText() : command ? command->SQLText() : std::string();
  if (Trim(text).empty() && !(q && q->SQLAutoGenerated())) return false;
  const bool batching = BatchUpdate();
  const bool batch = types.Contains(stBatchUpdate);
  if (batch) {
    UpdateParams().Assign(*FBatchParams);
  } else {
    WriteUQParams(paramsInfo, types);
  }
  if (batching && !batch) return true;

  const bool dml = types.Contains(stInsert) || types.Contains(stUpdate) || types.Contains(stDelete);
  // A change whose row count is checked runs in a transaction of its own
  // when none is active, so that a rejected change is not committed. A
  // generated INSERT adds exactly one row or fails, so it needs none.
  TDATransaction* tr = StatementTransaction(FCurrentSlot);
  const bool ownTransaction = dml && StrictUpdate() && tr && !TrActive(tr) && ds.AutoCommit() &&
                              !(types.Contains(stInsert) && FStatementGenerated);
  std::unique_ptr<TUpdateTransactionScope> scope;
  if (ownTransaction) {
    scope = std::make_unique<TUpdateTransactionScope>(*this, tr, std::string());
    if (q) q->SetAutoCommit(false);
  }

  TDAParams& params = UpdateParams();
  ds.DoBeforeUpdateExecute(types, params);
  if (ds.AssignedBeforeUpdateExecute())
    for (int i = 0; i < params.Count(); ++i)
      if (params[i].DataType() == ftUnknown)
        throw EDAError(Format("Unknown data type of parameter %s", {params[i].Name()}));
  UpdateExecute(types);

  struct TCloseResult {
    TCustomDADataSet* Q;
    ~TCloseResult() {
      if (!Q) return;
      try {
        Q->Close();
      } catch (...) {
      }
    }
  } closeResult{q};

  const bool lock = types.Contains(stLock);
  const bool refresh = types.Contains(stRefresh);
  if (q && q->Active() && types.Contains(stRefreshCheckDeleted)) {
    RemoveDeletedRows(*q);
  } else if (q && q->Active() && types.Contains(stRefreshQuick)) {
    MergeQuickRefreshRows(*q);
    ds.Resync({});
  } else if (q && q->Active() && (lock || refresh)) {
    const std::int64_t count = q->RecordCount();
    FLastRowCount = count;
    if (StrictUpdate() && count != 1) CheckRowsAffected(count, "Refresh failed. Found %d records");
    if (count > 0 &&
        (refresh || ((FCheckMode == cmException || FCheckMode == cmRefresh) &&
                     !ds.RefreshOptions().Contains(roBeforeEdit))))
      CopyResultRow(*q, types);
  } else if (!batch) {
    const std::int64_t rows = q ? q->RowsAffected() : command ? command->RowsAffected() : -1;
    FLastRowCount = rows;
    if (StrictUpdate() && (dml || !lock)) CheckRowsAffected(rows, "Update failed. Found %d records");
    if (NeedReturnParams() || refresh) {
      if (ReturnParamsAsFields()) {
        if (q && q->Active() && q->RecordCount() > 0) CopyResultRow(*q, types);
      } else {
        ReturnOutParams(paramsInfo);
      }
    }
  } else {
    std::vector<std::int64_t> counts;
    if (StrictUpdate() && BatchRowsAffected(counts)) {
      if (static_cast<int>(counts.size()) != FBatchStatements)
        throw EDAError(Format("Update failed. Found %d records", {std::int64_t{0}}));
      for (std::int64_t n : counts) CheckRowsAffected(n, "Update failed. Found %d records");
    }
  }
  if (scope) scope->Commit();
  ds.DoAfterUpdateExecute(types, params);
  return true;
}

void TDADataSetUpdater::StoreFieldValue(TField& field, const Variant& value) {
  TCustomDADataSet& ds = DADataSet();
  const bool readOnly = field.ReadOnly();
  field.SetReadOnly(false);
  struct TRestore {
    TField& F;
    bool R;
    ~TRestore() { F.SetReadOnly(R); }
  } restore{field, readOnly};
  const TDataSetState state = ds.State();
  auto write = [&] {
    if (value.IsNullOrEmpty())
      field.Clear();
    else
      field.SetValue(value);
  };
  if (state == dsEdit || state == dsInsert)
    write();
  else
    ds.WithTempState(dsNewValue, write);
}

void TDADataSetUpdater::CopyResultRow(TCustomDADataSet& result, TStatementTypes types) {
  TCustomDADataSet& ds = DADataSet();
  TData& data = ds.Data();
  const bool lockCheck = types.Contains(stLock) && FCheckMode == cmException &&
                         !ds.RefreshOptions().Contains(roBeforeEdit);
  const bool useOld = ds.State() == dsEdit || ds.State() == dsInsert || ds.State() == dsSetKey || ds.CachedUpdates();
  bool wrote = false;
  for (int i = 0; i < result.Fields().Count(); ++i) {
    TField& source = result.Fields()[i];
    TFieldDesc* target = nullptr;
    const int index = DAService().SQLGenerator().DecodeFieldIndex(source.FieldName());
    if (index >= 0 && index < data.Fields().Count())
      target = data.Fields()[index];
    else
      target = data.FindField(source.FieldName());
    if (!target) continue;
    TField* field = ds.FindField(target->Name());
    if (!field || field->FieldKind() != fkData) continue;
    const Variant value = source.Value();
    if (lockCheck) {
      const Variant current = useOld ? field->OldValue() : field->Value();
      if (!LockCompare(value, current)) throw EDAError("Record was changed by another user");
      continue;
    }
    if (!ds.CanRefreshField(*field)) continue;
    StoreFieldValue(*field, value);
    wrote = true;
  }
  // A refresh outside an edit writes the row back to the store.
  if (wrote && !FRefreshInUpdate && !ds.InCacheProcessing() && ds.State() == dsBrowse && !ds.IsEmpty()) {
    ds.UpdateCursorPos();
    data.PutRecord(ds.ActiveBuffer());
  }
}

void TDADataSetUpdater::ReturnOutParams(TDAParamsInfo* paramsInfo) {
  TCustomDADataSet& ds = DADataSet();
  TDAParams& params = UpdateParams();
  const int infoCount = InfoCount(paramsInfo);
  for (int i = 0; i < params.Count(); ++i) {
    TDAParam& p = params[i];
    if (UseParamType(p) && p.ParamType() != ptOutput && p.ParamType() != ptInputOutput && p.ParamType() != ptResult)
      continue;
    TField* field = nullptr;
    bool old = false;
    if (paramsInfo && i < infoCount) {
      field = InfoAt(*paramsInfo, i).Field();
      old = InfoAt(*paramsInfo, i).Old();
    } else {
      std::string name = p.Name();
      int fieldNo = -1;
      field = FieldByParamName(name, old, fieldNo);
    }
    if (!field || old || !ds.CanRefreshField(*field)) continue;
    const Variant value = p.Value();
    if (p.IsNull()) {
      if (!field->IsNull()) StoreFieldValue(*field, Variant::Null());
    } else if (!VarSameValue(value, field->Value())) {
      StoreFieldValue(*field, value);
    }
  }
}

// ---- insert, update, delete -----------------------------------------------------------------------

bool TDADataSetUpdater::PerformAppend() {
  TCustomDADataSet& ds = DADataSet();
  if (!PerformSQL(std::string(), TStatementTypes{stInsert})) {
    if (StrictUpdate()) throw EDAError(Format("Update failed. Found %d records", {0}));
    return false;
  }
  if (BatchUpdate()) return true;
  Variant identity;
  if (TKxFieldDesc* desc = DAService().IdentityField(); desc && GetIdentityFieldValue(identity)) {
    if (TField* field = ds.FindField(desc->Name())) StoreFieldValue(*field, identity);
  }
  if (TCustomDADataSet* q = UpdateDataSet()) ds.FLastInsertId = q->LastInsertId();
  if (ds.RefreshOptions().Contains(roAfterInsert) && RefreshAfterInsertAllowed()) PerformRefreshRecordInUpdate();
  return true;
}

bool TDADataSetUpdater::PerformUpdate() { return PerformUpdateDelete(stUpdate); }

bool TDADataSetUpdater::PerformDelete() { return PerformUpdateDelete(stDelete); }

void TDADataSetUpdater::SafeUnlock(bool cachedUpdates) noexcept {
  try {
    PerformUnLock();
  } catch (...) {
  }
  if (!cachedUpdates) return;
  try {
    UnPrepareCachedUpdate();
  } catch (...) {
  }
}

bool TDADataSetUpdater::PerformUpdateDelete(TStatementType type) {
  TCustomDADataSet& ds = DADataSet();
  TDAUseGuard<TCustomDADataSet> use(ds);
  const bool cached = ds.CachedUpdates();
  const bool optimistic = ds.LockMode() == lmOptimistic;
  if (optimistic && !BatchUpdate() && !(cached && RowHasCachedChange() && !ds.InCacheProcessing()))
    LockRow(cached);
  bool result = false;
  try {
    result = PerformSQL(std::string(), TStatementTypes{type});
    if (result && !BatchUpdate() && type == stUpdate && ds.RefreshOptions().Contains(roAfterUpdate) &&
        (ds.Options().FullRefresh() || !ds.DMLRefresh()))
      PerformRefreshRecordInUpdate();
    EndUpdate(result);
  } catch (...) {
    if (!cached || optimistic) SafeUnlock(cached);
    throw;
  }
  return result;
}

void TDADataSetUpdater::EndUpdate(bool success) {
  TCustomDADataSet& ds = DADataSet();
  if (!success && ds.LockMode() == lmOptimistic) PerformUnLock();
  if (!FFixedTransaction) return;
  if (!ds.AutoCommit() || (FLockTrStarted != ltsOnLock && FLockTrStarted != ltsOnLockCachedUpdates)) return;
  if (ds.CachedUpdates() && FLockTrStarted == ltsOnLockCachedUpdates && ds.Data().HasUpdatedOrDeletedRecords())
    return;
  TCustomDAConnection* c = ds.UsedConnection();
  TDATransaction* tr = std::exchange(FFixedTransaction, nullptr);
  FLockTrStarted = ltsNone;
  if (c && c->IsMultipleTransactionsSupported())
    tr->AutoCommitTransaction(c->AutoCommit() && ds.AutoCommit());
  else if (TrActive(tr))
    TrCommit(tr);
}

// ---- savepoints and locks -----------------------------------------------------------------------

void TDADataSetUpdater::SetSavepoint(const std::string& name, bool cachedUpdates) {
  TCustomDADataSet& ds = DADataSet();
  TDATransaction* tr = FFixedTransaction ? FFixedTransaction : ds.UsedUpdateTransaction();
  if (!tr) throw EDAError("Transaction not assigned");
  if (TrActive(tr)) {
    if (SavepointAllowed()) TrSavepoint(tr, name);
    if (!ds.CachedUpdates())
      FLockTrStarted = ltsNone;
    else if (cachedUpdates)
      FLockTrStarted = ltsBeforeLockCachedUpdates;
  } else {
    TrStart(tr);
    FLockTrStarted = cachedUpdates ? ltsOnLockCachedUpdates : ltsOnLock;
  }
  FFixedTransaction = tr;
}

void TDADataSetUpdater::RollbackToSavepoint(const std::string& name, bool cachedUpdates) {
  TCustomDADataSet& ds = DADataSet();
  TDATransaction* tr = FFixedTransaction;
  if (!tr) return;
  try {
    if ((!cachedUpdates && FLockTrStarted == ltsOnLock) || (cachedUpdates && FLockTrStarted == ltsOnLockCachedUpdates)) {
      FLockTrStarted = ltsNone;
      TrRollback(tr);
    } else if (!SavepointAllowed()) {
      FLockTrStarted = ltsNone;
      TCustomDAConnection* c = ds.UsedConnection();
      if (c && c->IsMultipleTransactionsSupported())
        tr->RollbackRetaining();
      else
        TrRollback(tr);
    } else {
      if (cachedUpdates && FLockTrStarted == ltsBeforeLockCachedUpdates) FLockTrStarted = ltsNone;
      TrRollbackToSavepoint(tr, name);
    }
  } catch (...) {
  }
  if (!(ds.CachedUpdates() && FLockTrStarted != ltsNone)) FFixedTransaction = nullptr;
}

bool TDADataSetUpdater::PerformLock() {
  TCustomDADataSet& ds = DADataSet();
  if (!ds.Active() || ds.IsEmpty()) return false;
  ds.UpdateCursorPos();
  SetSavepoint(LockSavepointName(), false);
  PerformSQL(std::string(), TStatementTypes{stLock});
  return true;
}

bool TDADataSetUpdater::PerformUnLock() {
  RollbackToSavepoint(LockSavepointName(), false);
  return true;
}

void TDADataSetUpdater::PrepareUpdate() {
  if (FMerging) return;
  TCustomDADataSet& ds = DADataSet();
  const bool cached = ds.CachedUpdates();
  const bool lockAllowed = !(cached && OldCachedUpdateLockMode);
  TStatementTypes types;
  if (ds.RefreshOptions().Contains(roBeforeEdit) && !IsCachedInsert()) {
    if (CanRefreshByLock() && ds.LockMode() == lmPessimistic && lockAllowed)
      types.Include(stRefresh);
    else
      PerformRefreshRecord();
  }
  if (ds.LockMode() == lmPessimistic && lockAllowed && !(cached && RowHasCachedChange())) types.Include(stLock);
  if (!types.Contains(stLock)) {
    if (types.Contains(stRefresh)) PerformRefreshRecord();
    return;
  }
  if (cached) PrepareCachedUpdate();
  SetSavepoint(LockSavepointName(), false);
  try {
    PerformSQL(std::string(), types);
  } catch (...) {
    SafeUnlock(cached);
    throw;
  }
}

void TDADataSetUpdater::PrepareDelete() {
  TCustomDADataSet& ds = DADataSet();
  const bool cached = ds.CachedUpdates();
  if (ds.LockMode() != lmPessimistic || (cached && OldCachedUpdateLockMode) || (cached && RowHasCachedChange()))
    return;
  LockRow(cached);
}

void TDADataSetUpdater::LockRow(bool cachedUpdates) {
  try {
    if (cachedUpdates) PrepareCachedUpdate();
    PerformLock();
  } catch (...) {
    SafeUnlock(cachedUpdates);
    throw;
  }
}

void TDADataSetUpdater::UnPrepareAppendUpdate() {
  if (FMerging) return;
  TCustomDADataSet& ds = DADataSet();
  const bool cached = ds.CachedUpdates();
  // Only a cancelled edit releases its lock: a posted one keeps it until
  // the transaction ends, or the rollback to the lock's savepoint would
  // undo the row just written.
  if (ds.LockMode() != lmPessimistic || ds.State() != dsEdit || (cached && OldCachedUpdateLockMode)) return;
  if (cached && RowHasCachedChange()) return;
  PerformUnLock();
  if (cached) UnPrepareCachedUpdate();
}

// ---- the lock that spans cached changes ---------------------------------------------------------------

namespace {
bool CachedLockActive(TCustomDADataSet& ds) {
  return ds.LockMode() == lmPessimistic && ds.CachedUpdates() && !OldCachedUpdateLockMode;
}
}  // namespace

void TDADataSetUpdater::PrepareCachedUpdate() {
  TCustomDADataSet& ds = DADataSet();
  if (!CachedLockActive(ds)) return;
  if (!ds.Data().HasUpdatedOrDeletedRecords()) SetSavepoint(CachedLockSavepointName(), true);
}

void TDADataSetUpdater::UnPrepareCachedUpdate() {
  TCustomDADataSet& ds = DADataSet();
  if (!CachedLockActive(ds)) return;
  if (!ds.Data().HasUpdatedOrDeletedRecords()) RollbackToSavepoint(CachedLockSavepointName(), true);
}

void TDADataSetUpdater::FinishCachedUpdate() {
  TCustomDADataSet& ds = DADataSet();
  if (!CachedLockActive(ds)) return;
  if (!ds.Data().HasUpdatedOrDeletedRecords()) {
    FFixedTransaction = nullptr;
    FLockTrStarted = ltsNone;
  }
}

void TDADataSetUpdater::UnLockCachedUpdate() {
  TCustomDADataSet& ds = DADataSet();
  if (!CachedLockActive(ds)) return;
  if (ds.Data().HasUpdatedOrDeletedRecords()) RollbackToSavepoint(CachedLockSavepointName(), true);
}

bool TDADataSetUpdater::CacheChanged() {
  UnPrepareCachedUpdate();
  return true;
}

bool TDADataSetUpdater::CacheApplied() {
  FinishCachedUpdate();
  return true;
}

bool TDADataSetUpdater::CacheCanceled() {
  UnLockCachedUpdate();
  return true;
}

// ---- batches --------------------------------------------------------------------------------------

bool TDADataSetUpdater::BatchUpdate() {
  TCustomDADataSet& ds = DADataSet();
  return ds.InCacheProcessing() && ds.Options().UpdateBatchSize() > 1 && !ds.UpdateObject();
}

bool TDADataSetUpdater::CanFlushBatch() {
  return BatchUpdate() && FBatchStatements > 0 && FBatchStatements >= DADataSet().Options().UpdateBatchSize();
}

void TDADataSetUpdater::ClearBatch() noexcept {
  FBatchSQLs.clear();
  if (FBatchParams) FBatchParams->Clear();
  FBatchStatements = 0;
}

void TDADataSetUpdater::FlushBatch() {
  struct TClear {
    TDADataSetUpdater& U;
    ~TClear() { U.ClearBatch(); }
  } clear{*this};
  if (FBatchStatements <= 0) return;
  RunBatch();
}

void TDADataSetUpdater::RunBatch() {
  TCustomDADataSet& ds = DADataSet();
  TDAUseGuard<TCustomDADataSet> use(ds);
  // The statements of a batch stand or fall together.
  TUpdateTransactionScope scope(*this, StatementTransaction(stBatchUpdate),
                                ("BATCH_" + ds.Name()).substr(0, 30) + "_" + std::to_string(FSerial));
  PerformSQL(std::string(), TStatementTypes{stBatchUpdate});
  scope.Commit();
}

// ---- refresh ----------------------------------------------------------------------------------------

bool TDADataSetUpdater::PerformRefreshRecord() {
  TCustomDADataSet& ds = DADataSet();
  if (ds.CachedUpdates() && !ds.InCacheProcessing() && !ds.IsEmpty()) {
    ds.UpdateCursorPos();
    if (ds.Data().GetUpdateStatus() == isUpdated) ds.RevertRecord();
  }
  FLastRowCount = -1;
  if (!PerformSQL(std::string(), TStatementTypes{stRefresh})) return false;
  return FLastRowCount != 0;
}

bool TDADataSetUpdater::PerformRefreshRecordInUpdate() {
  TFlagScope flag(FRefreshInUpdate);
  return PerformRefreshRecord();
}

void TDADataSetUpdater::PerformRefreshQuick(bool checkDeleted) {
  TCustomDADataSet& ds = DADataSet();
  if (ds.BeforeRefresh) ds.BeforeRefresh(ds);
  TDAUseGuard<TCustomDADataSet> use(ds);
  TFieldDescArray keys;
  DAService().GetKeyFieldDescs(keys);
  if (keys.empty()) throw EDAError("Unique keyfields required");
  ds.CheckBrowseMode();
  if (!DAService().UpdatingTableInfo()) return;
  const bool strict = ds.Options().StrictUpdate();
  const bool filtered = ds.Filtered();
  ds.DisableControls();
  struct TRestore {
    TCustomDADataSet& DS;
    bool Strict, Filtered;
    ~TRestore() {
      DS.Options().SetStrictUpdate(Strict);
      try {
        DS.SetFiltered(Filtered);
      } catch (...) {
      }
      DS.EnableControls();
    }
  } restore{ds, strict, filtered};
  ds.SetFiltered(false);
  ds.Options().SetStrictUpdate(false);
  std::vector<TField*> keyFields;
  Variant keyValues;
  for (TKxFieldDesc* d : keys)
    if (TField* f = ds.FindField(d->Name())) keyFields.push_back(f);
  if (!ds.IsEmpty()) {
    Variant::Array values;
    for (TField* f : keyFields) values.push_back(f->Value());
    keyValues = keyFields.size() == 1 ? values[0] : Variant::FromArray(values);
  }
  if (checkDeleted && !ds.IsEmpty()) PerformSQL(std::string(), TStatementTypes{stRefreshCheckDeleted});
  PerformSQL(std::string(), TStatementTypes{stRefreshQuick});
  if (keyValues.IsEmpty() || !ds.LocateEx(keyFields, keyValues, {})) ds.First();
  if (ds.AfterRefresh) ds.AfterRefresh(ds);
}

namespace {

// Runs `fn` with one of the store's write hooks switched off, so that rows
// the server already holds are not sent back to it.
template <class Fn>
void WithoutHook(TData::TNotifyEvent& hook, Fn&& fn) {
  TData::TNotifyEvent saved = std::move(hook);
  hook = nullptr;
  struct TRestore {
    TData::TNotifyEvent& Hook;
    TData::TNotifyEvent& Saved;
    ~TRestore() { Hook = std::move(Saved); }
  } restore{hook, saved};
  fn();
}

}  // namespace

std::vector<TField*> TDADataSetUpdater::KeyFieldsOf(TCustomDADataSet& dataSet) {
  TFieldDescArray keys;
  DAService().GetKeyFieldDescs(keys);
  std::vector<TField*> fields;
  for (TKxFieldDesc* d : keys)
    if (TField* f = dataSet.FindField(d->Name())) fields.push_back(f);
  return fields;
}

void TDADataSetUpdater::RemoveDeletedRows(TCustomDADataSet& result) {
  TCustomDADataSet& ds = DADataSet();
  const std::vector<TField*> keys = KeyFieldsOf(ds);
  if (keys.empty()) return;
  std::string names;
  for (TField* f : keys) names += (names.empty() ? "" : ";") + f->FieldName();
  const std::string savedIndex = result.IndexFieldNames();
  result.SetIndexFieldNames(names);
  struct TRestore {
    TCustomDADataSet& R;
    std::string Index;
    ~TRestore() {
      try {
        R.SetIndexFieldNames(Index);
      } catch (...) {
      }
    }
  } restore{result, savedIndex};
  ds.First();
  while (!ds.Eof()) {
    Variant::Array values;
    for (TField* f : keys) values.push_back(f->Value());
    if (result.LocateEx(names, keys.size() == 1 ? values[0] : Variant::FromArray(values), {})) {
      ds.Next();
      continue;
    }
    ds.RemoveRecordLocally();
    ds.Resync({});
  }
}

void TDADataSetUpdater::MergeQuickRefreshRows(TCustomDADataSet& result) {
  TCustomDADataSet& ds = DADataSet();
  TFlagScope merging(FMerging);
  const std::vector<TField*> keys = KeyFieldsOf(ds);
  TData& data = ds.Data();
  for (result.First(); !result.Eof(); result.Next()) {
    Variant::Array values;
    bool complete = !keys.empty();
    for (TField* f : keys) {
      TField* source = result.FindField(f->FieldName());
      if (!source) complete = false;
      values.push_back(source ? source->Value() : Variant());
    }
    const bool found =
        complete && ds.LocateEx(keys, keys.size() == 1 ? values[0] : Variant::FromArray(values), {});
    auto copy = [&] {
      for (int i = 0; i < result.Fields().Count(); ++i) {
        TField& source = result.Fields()[i];
        TField* target = ds.FindField(source.FieldName());
        if (!target || target->FieldKind() != fkData) continue;
        StoreFieldValue(*target, source.Value());
        if (TFieldDesc* desc = ds.GetFieldDesc(*target); desc && IsRefreshQuickField(*desc))
          SaveMaxRefreshQuickValue(*desc, source.Value());
      }
    };
    if (found) {
      WithoutHook(data.OnUpdate, [&] {
        ds.Edit();
        copy();
        ds.Post();
      });
    } else {
      WithoutHook(data.OnAppend, [&] {
        ds.Append();
        copy();
        ds.Post();
      });
    }
  }
}

// ---- other entry points -------------------------------------------------------------------------------

Variant TDADataSetUpdater::SelectDbValue(const std::string& operationName, const std::string& sql) {
  const std::vector<Variant> values = SelectDbValues(operationName, sql);
  return values.empty() ? Variant::Null() : values.front();
}

std::vector<Variant> TDADataSetUpdater::SelectDbValues(const std::string& operationName, const std::string& sql) {
  (void)operationName;
  TCustomDADataSet& ds = DADataSet();
  TDAUseGuard<TCustomDADataSet> use(ds);
  auto& q = static_cast<TCustomDADataSet&>(CheckUpdateQuery(stCustom));
  struct TRestore {
    TCustomDADataSet& Q;
    bool ParamCheck;
    ~TRestore() {
      try {
        Q.Close();
        Q.SetParamCheck(ParamCheck);
      } catch (...) {
      }
    }
  } restore{q, q.ParamCheck()};
  q.SetParamCheck(false);
  q.Params().Clear();
  q.SetSQLText(sql);
  q.Open();
  std::vector<Variant> values;
  if (q.IsEmpty()) return values;
  for (int i = 0; i < q.Fields().Count(); ++i) values.push_back(q.Fields()[i].Value());
  return values;
}

void TDADataSetUpdater::UnprepareUpdateObjects() {
  for (auto& c : FUpdateComponents)
    if (auto* q = dynamic_cast<TCustomDADataSet*>(c.get())) {
      q->Close();
      q->UnPrepare();
    }
}

bool TDADataSetUpdater::LockCompare(const Variant& value1, const Variant& value2) {
  if (VarEqual(value1, value2)) return true;
  if (IsDateTimeVariant(value1) && IsDateTimeVariant(value2) && value1.VarType() == value2.VarType())
    return std::fabs(value1.AsDouble() - value2.AsDouble()) < DateTimeFilterDelta();
  return false;
}

}  // namespace lumo
