// TCustomDADataSet: the memory data set filled by a SQL statement. It owns
// the command component that holds its text, parameters and macros, a
// provider record set that executes the statement and fetches its rows in
// blocks (or all at once) into the record store, and the data-set service
// that writes edits back. It adds server-side master/detail through
// parameters, refresh of the whole result keeping the current row, locking,
// editing of its SQL text (AddWhere, SetOrderBy, FilterSQL) and the events
// around execution and fetching. TDADataSetOptions holds its options.
//
// Decisions:
// - Connection uses are balanced by TDAUseGuard on every path. An open
//   data set whose rows are not all fetched holds one use (FFetchUse) that
//   ends when the last row arrives or when it closes, so a connection in
//   DisconnectedMode closes as soon as nothing is left to read.
// - Operations that push a failover operation (open, execute, refresh,
//   apply) pop it by a TDAOperationScope, also when they return early.
// - RecordCount with QueryRecCount is the counted rows plus what changed
//   locally, but never fewer than the rows held (a count taken before rows
//   were inserted on the server) and never negative.
// - The SQL text operations (SQLAddWhere … SQLGetOrderBy) use TDASQLText
//   with the provider command's lexer; without a provider, the generic SQL
//   lexer. (Returning an empty text, as a base without a lexer could, would
//   make AddWhere replace the statement with nothing.)
// - IsQuery is what the last execution showed (the record set returned
//   rows); before any execution, a statement whose first word is SELECT,
//   WITH, SHOW, DESC, DESCRIBE, EXPLAIN, VALUES or TABLE counts as a query.
// - A refresh keeps the current row by its key fields (the service's; the
//   base service knows the KeyFields property); without a key it goes to
//   the first row.
// - Non-blocking fetching is not offered by the providers here: the mode
//   only changes the busy cursor.
// - Default values of a new row: a simple literal (a number, a quoted
//   string, true or false, in parentheses or not) is assigned directly; a
//   number in a quoted string is a number too for a numeric field (the
//   server's defaults come quoted); every other expression goes to the
//   server, all of them in one SELECT.
// - A parameter of an update statement whose column has no field object
//   (persistent fields that leave it out) takes the value the row's record
//   buffer holds for that column.
// - Active read from a stored form opens the data set in Loaded, after the
//   other components (its connection first) are there; only in the design
//   environment or with the connection's KeepDesignConnected (the default).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DAMapRules.h>
#include <lumokit/components/DAParams.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/components/DASQLGenerator.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/StringList.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

class TCustomDADataSet;
class TDATransaction;

// ---- process-wide switches --------------------------------------------------------------

// A data change reported by the record store re-reads the buffers (false).
extern bool ResyncBeforeFetch;
// BaseSQL is forgotten by every assignment of SQL, also one made by
// AddWhere/SetOrderBy/DeleteWhere (false).
extern bool BaseSQLOldBehavior;

enum TLockMode : std::uint8_t { lmNone = 0, lmPessimistic = 1, lmOptimistic = 2 };
enum TRefreshOption : std::uint8_t { roAfterInsert = 0, roAfterUpdate = 1, roBeforeEdit = 2 };
using TRefreshOptions = TEnumSet<TRefreshOption>;

// ---- options ----------------------------------------------------------------------------

class TDADataSetOptions {
 public:
  explicit TDADataSetOptions(TCustomDADataSet* owner) : FOwner(owner) {}
  TDADataSetOptions(const TDADataSetOptions&) = delete;
  TDADataSetOptions& operator=(const TDADataSetOptions&) = delete;
  virtual ~TDADataSetOptions() = default;

  virtual void Assign(const TDADataSetOptions& source);

  bool SetFieldsReadOnly() const noexcept { return FSetFieldsReadOnly; }
  void SetSetFieldsReadOnly(bool value) noexcept { FSetFieldsReadOnly = value; }
  bool RequiredFields() const noexcept { return FRequiredFields; }
  void SetRequiredFields(bool value);
  bool StrictUpdate() const noexcept { return FStrictUpdate; }
  void SetStrictUpdate(bool value) noexcept { FStrictUpdate = value; }
  bool NumberRange() const noexcept { return FNumberRange; }
  void SetNumberRange(bool value);
  bool QueryRecCount() const noexcept { return FQueryRecCount; }
  void SetQueryRecCount(bool value) noexcept { FQueryRecCount = value; }
  bool AutoPrepare() const noexcept { return FAutoPrepare; }
  void SetAutoPrepare(bool value);
  bool ReturnParams() const noexcept { return FReturnParams; }
  void SetReturnParams(bool value) noexcept { FReturnParams = value; }
  bool TrimFixedChar() const noexcept { return FTrimFixedChar; }
  void SetTrimFixedChar(bool value);
  bool TrimVarChar() const noexcept { return FTrimVarChar; }
  void SetTrimVarChar(bool value);
  bool SetEmptyStrToNull() const noexcept { return FSetEmptyStrToNull; }
  void SetSetEmptyStrToNull(bool value);
  // These require a closed data set.
  bool LongStrings() const noexcept { return FLongStrings; }
  void SetLongStrings(bool value);
  bool FlatBuffers() const noexcept { return FFlatBuffers; }
  void SetFlatBuffers(bool value);
  TCompressBlobMode CompressBlobMode() const noexcept { return FCompressBlobMode; }
  void SetCompressBlobMode(TCompressBlobMode value);
  bool FieldsOrigin() const noexcept { return FFieldsOrigin; }
  void SetFieldsOrigin(bool value);
  bool DefaultValues() const noexcept { return FDefaultValues; }
  void SetDefaultValues(bool value);
  bool ExtendedFieldsInfo() const noexcept { return FExtendedFieldsInfo; }
  void SetExtendedFieldsInfo(bool value);
  bool EnableBCD() const noexcept { return FEnableBCD; }
  void SetEnableBCD(bool value);
  bool EnableFMTBCD() const noexcept { return FEnableFMTBCD; }
  void SetEnableFMTBCD(bool value);
  bool LocalMasterDetail() const noexcept { return FLocalMasterDetail; }
  void SetLocalMasterDetail(bool value);
  bool QuoteNames() const noexcept { return FQuoteNames; }
  void SetQuoteNames(bool value);
  bool RemoveOnRefresh() const noexcept { return FRemoveOnRefresh; }
  void SetRemoveOnRefresh(bool value) noexcept { FRemoveOnRefresh = value; }
  bool FullRefresh() const noexcept { return FFullRefresh; }
  void SetFullRefresh(bool value) noexcept { FFullRefresh = value; }
  std::int32_t UpdateBatchSize() const noexcept { return FUpdateBatchSize; }
  void SetUpdateBatchSize(std::int32_t value) noexcept { FUpdateBatchSize = value < 1 ? 1 : value; }
  bool UpdateAllFields() const noexcept { return FUpdateAllFields; }
  void SetUpdateAllFields(bool value) noexcept { FUpdateAllFields = value; }
  bool PrepareUpdateSQL() const noexcept { return FPrepareUpdateSQL; }
  void SetPrepareUpdateSQL(bool value) noexcept { FPrepareUpdateSQL = value; }

  TCustomDADataSet* Owner() const noexcept { return FOwner; }

 protected:
  // A setting passed to the record set requires a closed data set.
  void CheckInactive() const;
  void ToRecordSet(int prop, const Variant& value);
  // Sets an option that is passed to the record set of a closed data set.
  void SetClosedOption(bool& option, bool value, int prop);

  bool FSetFieldsReadOnly = true;
  bool FRequiredFields = true;
  bool FStrictUpdate = true;
  bool FNumberRange = false;
  bool FQueryRecCount = false;
  bool FAutoPrepare = false;
  bool FReturnParams = false;
  bool FTrimFixedChar = true;
  bool FTrimVarChar = false;
  bool FSetEmptyStrToNull = false;
  bool FLongStrings = true;
  bool FRemoveOnRefresh = true;
  bool FFlatBuffers = false;
  bool FQuoteNames = false;
  TCompressBlobMode FCompressBlobMode = cbNone;
  bool FFullRefresh = false;
  bool FLocalMasterDetail = false;
  bool FFieldsOrigin = false;
  bool FDefaultValues = false;
  bool FExtendedFieldsInfo = false;
  std::int32_t FUpdateBatchSize = 1;
  bool FUpdateAllFields = false;
  bool FPrepareUpdateSQL = false;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
  TCustomDADataSet* FOwner;
};

// ---- the data set -----------------------------------------------------------------------

class TCustomDADataSet : public TMemDataSet, public IDAConnectionClient {
 public:
  using TBeforeExecuteEvent = std::function<void(TCustomDADataSet& sender)>;
  using TAfterExecuteEvent = std::function<void(TCustomDADataSet& sender, bool result)>;
  using TBeforeFetchEvent = std::function<void(TCustomDADataSet& dataSet, bool& cancel)>;
  using TAfterFetchEvent = std::function<void(TCustomDADataSet& dataSet)>;
  using TUpdateExecuteEvent =
      std::function<void(TCustomDADataSet& sender, TStatementTypes statementTypes, TDAParams& params)>;

  TCustomDADataSet();
  ~TCustomDADataSet() override;
  std::string ClassName() const override { return "TCustomDADataSet"; }

  // ---- properties
  TCustomDAConnection* Connection() const noexcept { return FConnection; }
  virtual void SetConnection(TCustomDAConnection* value);
  TDATransaction* Transaction() { return GetTransaction(); }
  void SetTransaction(TDATransaction* value) { SetTransactionImpl(value); }
  TDATransaction* UpdateTransaction() override { return UsedUpdateTransaction(); }
  void SetUpdateTransaction(TDATransaction* value);
  TStringList& SQL() noexcept { return FCommand->SQL(); }
  std::string SQLText() const { return FCommand->SQLText(); }
  void SetSQLText(const std::string& value) { FCommand->SetSQLText(value); }
  TDAParams& Params() noexcept { return FCommand->Params(); }
  int ParamCount() const noexcept { return FCommand->ParamCount(); }
  TMacros& Macros() noexcept { return FCommand->Macros(); }
  int MacroCount() const noexcept { return FCommand->MacroCount(); }
  bool ParamCheck() const noexcept { return FCommand->ParamCheck(); }
  void SetParamCheck(bool value) { FCommand->SetParamCheck(value); }
  std::int32_t FetchRows() const noexcept { return FFetchRows; }
  void SetFetchRows(std::int32_t value);
  bool FetchAll() { return GetFetchAll(); }
  void SetFetchAll(bool value) { SetFetchAllImpl(value); }
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool value) { SetReadOnlyImpl(value); }
  bool UniDirectional() const noexcept { return FUniDirectional; }
  void SetUniDirectional(bool value);
  bool AutoCommit() const noexcept { return FAutoCommit; }
  void SetAutoCommit(bool value);
  bool Debug() const noexcept { return FDebug; }
  void SetDebug(bool value) noexcept { FDebug = value; }
  TRefreshOptions RefreshOptions() const noexcept { return FRefreshOptions; }
  void SetRefreshOptions(TRefreshOptions value) { SetRefreshOptionsImpl(value); }
  TDADataSetOptions& Options() const;
  TLockMode LockMode() const noexcept { return FLockMode; }
  void SetLockMode(TLockMode value) noexcept { FLockMode = value; }
  const std::string& KeyFields() const noexcept { return FKeyFields; }
  void SetKeyFields(const std::string& value) { SetKeyFieldsImpl(value); }
  const std::string& UpdatingTable() const noexcept { return FUpdatingTable; }
  void SetUpdatingTable(const std::string& value) { SetUpdatingTableImpl(value); }
  const std::string& FilterSQL() const noexcept { return FFilterSQL; }
  void SetFilterSQL(const std::string& value) { SetFilterSQLImpl(value); }
  bool DMLRefresh() const noexcept { return FDMLRefresh; }
  void SetDMLRefresh(bool value) noexcept { FDMLRefresh = value; }
  bool Disconnected() const noexcept { return FDisconnected; }
  void SetDisconnected(bool value) noexcept { FDisconnected = value; }
  TDAMapRules& DataTypeMap() const;
  // The user statements of the update flow (insert, update, delete, lock,
  // refresh).
  TStringList& SQLInsert() { return UpdateSQL(stInsert); }
  TStringList& SQLUpdate() { return UpdateSQL(stUpdate); }
  TStringList& SQLDelete() { return UpdateSQL(stDelete); }
  TStringList& SQLLock() { return UpdateSQL(stLock); }
  TStringList& SQLRefresh() { return UpdateSQL(stRefresh); }
  TStringList& UpdateSQL(TStatementType type);
  TComponent* UpdateObject() const noexcept { return FUpdateObject; }
  void SetUpdateObject(TComponent* value);

  // ---- state
  std::int64_t RowsAffected() const noexcept { return FRowsAffected; }
  std::int64_t LastInsertId() const noexcept { return FLastInsertId; }
  bool IsQuery() { return GetIsQuery(); }
  std::string BaseSQL();
  const std::string& FinalSQL() { return FCommand->FinalSQL(); }
  TKxRecordSet* IRecordSet() const noexcept { return FIRecordSet; }
  TCustomDASQL& Command() const noexcept { return *FCommand; }
  TKxTablesInfo* TablesInfo() const noexcept { return FIRecordSet ? &FIRecordSet->TablesInfo() : nullptr; }
  TSQLInfo* SQLInfo();
  bool Executing();
  bool Fetching();
  bool FetchingAll();
  bool Fetched() { return IsFetched(); }

  // ---- operations
  void Prepare() override;
  void UnPrepare() override;
  void Execute() { ExecuteImpl(); }
  void ExecSQL() { ExecuteImpl(); }
  // May be called from another thread.
  void BreakExec();
  void RefreshRecord();
  void Lock();
  void UnLock();
  void ApplyUpdates(TUpdateRecKinds kinds) override;
  using TMemDataSet::ApplyUpdates;
  bool FindKey(const std::vector<Variant>& keyValues);
  void FindNearest(const std::vector<Variant>& keyValues);
  void GotoCurrent(TCustomDADataSet& dataSet);
  void AddWhere(const std::string& condition);
  void DeleteWhere();
  void SetOrderBy(const std::string& fields);
  std::string GetOrderBy();
  void SaveSQL();
  void RestoreSQL();
  bool SQLSaved() const noexcept { return !FBaseSQL.empty(); }
  TDAParam* FindParam(std::string_view name) { return FCommand->FindParam(name); }
  TDAParam& ParamByName(std::string_view name) { return FCommand->ParamByName(name); }
  TMacro* FindMacro(std::string_view name) { return FCommand->FindMacro(name); }
  TMacro& MacroByName(std::string_view name) { return FCommand->MacroByName(name); }
  using TMemDataSet::GetFieldDesc;
  TFieldDesc* GetFieldDesc(std::string_view fieldName);
  std::uint16_t GetDataType(std::string_view fieldName);
  // Keeps the current row by its key values.
  void SetFiltered(bool value) override;
  // A stored Active waits for Loaded (see the unit comment).
  void SetActive(bool value) override;
  void Loaded() override;
  int GetFieldPrecision(std::string_view fieldName);
  int GetFieldScale(std::string_view fieldName);

  // ---- events
  TBeforeExecuteEvent BeforeExecute;
  TAfterExecuteEvent AfterExecute;
  TBeforeFetchEvent BeforeFetch;
  TAfterFetchEvent AfterFetch;
  TUpdateExecuteEvent BeforeUpdateExecute;
  TUpdateExecuteEvent AfterUpdateExecute;

  // ---- IDAConnectionClient
  TComponent& ClientComponent() override { return *this; }
  TCustomDAConnection* ClientConnection() override { return FConnection; }
  void SetIConnection(TKxConnection* value) override;
  void ClearConnection() override;
  bool PreventsReconnect(TComponent* failing, TConnLostCause cause) override;
  TDATransaction* UsedTransaction() override;
  void TransactionEnds(TDATransaction& transaction) override;
  void ResetProviderObjects() override;
  bool HasCachedUpdates() override { return Active() && CachedUpdates(); }
  void ApplyCachedUpdates() override { TMemDataSet::ApplyUpdates(); }
  bool ClientAutoCommit() const override { return FAutoCommit; }
  void SetClientAutoCommit(bool value) override { FAutoCommit = value; }
  void CommitCachedUpdates() override { CommitUpdates(); }

  // What the update flow uses of the data set.
  virtual TCustomDAConnection* UsedConnection();
  virtual TDATransaction* UsedUpdateTransaction();
  virtual std::string GetFinalSQL();
  virtual std::string SQLAddWhere(const std::string& sql, const std::string& condition);
  virtual std::string SQLDeleteWhere(const std::string& sql);
  virtual std::string SQLGetWhere(const std::string& sql);
  virtual std::string SQLGetFrom(const std::string& sql);
  virtual std::string SQLSetOrderBy(const std::string& sql, const std::string& fields);
  virtual std::string SQLGetOrderBy(const std::string& sql);
  virtual void AssignFieldValue(TDAParam& param, TField& field, bool old);
  virtual void AssignFieldValue(TDAParam& param, TFieldDesc& desc, bool old);
  virtual bool CanRefreshField(TField& field);
  virtual bool SQLAutoGenerated() { return false; }
  virtual bool AssignedBeforeUpdateExecute() { return static_cast<bool>(BeforeUpdateExecute); }
  virtual void DoBeforeUpdateExecute(TStatementTypes types, TDAParams& params);
  virtual bool AssignedAfterUpdateExecute() { return static_cast<bool>(AfterUpdateExecute); }
  virtual void DoAfterUpdateExecute(TStatementTypes types, TDAParams& params);
  // Copies the master's values into the parameters named like its fields;
  // true when a value changed.
  bool SetMasterParams(TDAParams& params);
  TDADataSetService& DADataSetService();
  const std::string& OldKeyFields() const noexcept { return FOldKeyFields; }
  void SetOldKeyFields(std::string value) { FOldKeyFields = std::move(value); }
  const std::string& OldTableName() const noexcept { return FOldTableName; }

 protected:
  template <class>
  friend class TDAUseGuard;
  friend class TCustomDASQL;
  friend class TDADataSetOptions;
  // The updater writes refreshed values into the row buffers and sets
  // LastInsertId.
  friend class TDADataSetUpdater;

  // ---- introduced operations
  // The command a data set starts with. The constructor cannot reach an
  // override, so a subclass that holds its text in a command of its own
  // class hands it over with ReplaceCommand in its constructor.
  virtual std::unique_ptr<TCustomDASQL> CreateCommand();
  void ReplaceCommand(std::unique_ptr<TCustomDASQL> command);
  virtual std::unique_ptr<TDAMapRules> CreateDataTypeMap();
  virtual std::unique_ptr<TDADataSetOptions> CreateOptions();
  virtual void CheckConnection();
  virtual void BeginConnection(bool noConnectCheck = true);
  virtual void EndConnection();
  virtual void Disconnect(bool needClose = true);
  virtual void ConnectChange(bool connecting);
  virtual TDATransaction* GetTransaction() { return FTransaction; }
  virtual void SetTransactionImpl(TDATransaction* value);
  virtual void SetKeyFieldsImpl(const std::string& value);
  virtual void SetUpdatingTableImpl(const std::string& value);
  virtual void BeforeOpenCursor(bool infoQuery) { (void)infoQuery; }
  virtual void AfterOpenCursor(bool infoQuery) { (void)infoQuery; }
  virtual void InternalExecute();
  virtual void SetRefreshOptionsImpl(TRefreshOptions value);
  virtual bool GetFetchAll() { return FFetchAll; }
  virtual void SetFetchAllImpl(bool value);
  virtual void SetReadOnlyImpl(bool value);
  virtual void SetFilterSQLImpl(const std::string& value);
  virtual void ScanMacros();
  virtual void DoBeforeExecute();
  virtual void DoAfterExecute(bool result);
  virtual void DoOnBeforeFetch(bool& cancel);
  virtual void DoOnAfterFetch();
  virtual bool GetIsQuery();
  virtual bool NeedDetailRefresh(TDAParam& param, TBlob* masterBlob);
  virtual void CheckSQL();
  virtual void ExecuteImpl();
  virtual bool IsFetched();

  // ---- the memory data set's operations
  void CreateIRecordSet() override;
  void SetIRecordSet(std::unique_ptr<TData> data) override;
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override;
  void DataReopen() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalRefresh() override;
  // Fetches the rows not read yet first.
  void InternalLast() override;
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalDelete() override;
  void InternalCancel() override;
  void InternalPost() override;
  // Simple literals directly, then the updater's own values, then the rest
  // evaluated by the server in one SELECT.
  void SetDefaultExpressionValues() override;
  bool GetCanModify() override;
  int GetRecordCount() override;
  bool MDLinksRefreshed(TField* field) override;
  void RefreshDetail() override;
  bool UseLocalMasterDetailFilter() override;
  void MDPropertiesChanged() override;
  void DoAfterOpen() override;
  void Notification(TComponent& component, TOperation operation) override;

  // The provider record set of the connection's class, bound to this data
  // set (made when needed; raises without a connection).
  TKxRecordSet& CheckIRecordSet();
  TKxCommand& CheckICommand();
  // The command's SQL changed (called by the command).
  void CommandSQLChanged();
  void MacroChanged(TMacro& macro);
  // Appends the update statements to a text scanned for macros.
  void AddUpdateSQLText(std::string& text);
  // Stores an edited text as SQL, keeping BaseSQL (see BaseSQLOldBehavior).
  void SaveModifiedSQL(const std::string& text);
  // The parser class of the provider (generic SQL without one).
  TSQLParserClass ParserClass();
  void ApplyRecordSetProps(TKxRecordSet& rs);

 private:
  // The insert or edit step with the updater's preparation (and a
  // connection use first when the updater asks for one).
  void BeginEditStep(bool preconnect, void (TDADataSetUpdater::*prepare)(), void (TCustomDADataSet::*step)());
  void MemInternalInsert() { TMemDataSet::InternalInsert(); }
  void MemInternalEdit() { TMemDataSet::InternalEdit(); }
  void EndPreconnect() noexcept;
  void CheckFetchUse();
  void EndFetchUse() noexcept;
  void ReleaseExecuteUse();
  // Records which key values the current row has (empty when no key).
  bool CurrentKey(std::vector<TField*>& fields, Variant& values);
  // The key fields and the key value of FindKey/FindNearest.
  bool KeyFor(const std::vector<Variant>& keyValues, std::vector<TField*>& fields, Variant& values);
  // LocateEx, reading the rest of the rows when they are not all here.
  bool LocateKey(const std::vector<TField*>& fields, const Variant& values, TLocateExOptions options);
  void RemoveRecordLocally();
  void ComputeRecordCount();
  void MasterDetailInvalidated();
  void ReopenAfterChange(bool wasActive);

  TCustomDAConnection* FConnection = nullptr;
  TDATransaction* FTransaction = nullptr;
  TDATransaction* FUpdateTransaction = nullptr;
  std::int32_t FFetchRows = 25;
  bool FDebug = false;
  bool FReadOnly = false;
  bool FUniDirectional = false;
  bool FAutoCommit = true;
  TComponent* FUpdateObject = nullptr;
  TRefreshOptions FRefreshOptions;
  mutable std::unique_ptr<TDADataSetOptions> FOptions;
  std::string FBaseSQL;
  TLockMode FLockMode = lmNone;
  std::string FKeyFields;
  bool FDMLRefresh = false;
  bool FDisconnected = false;
  mutable std::unique_ptr<TDAMapRules> FDataTypeMap;
  std::string FOldKeyFields;
  std::string FOldTableName;
  std::int64_t FRowsAffected = -1;
  TKxRecordSet* FIRecordSet = nullptr;  // the store of the memory data set
  TKxConnection* FBoundIConnection = nullptr;  // the provider connection it was given
  std::unique_ptr<TCustomDASQL> FCommand;
  std::string FFilterSQL;
  std::string FUpdatingTable;
  bool FNonBlocking = false;
  std::unique_ptr<TStringList> FUpdateSQL[5];
  std::int64_t FRecordCount = 0;
  std::int64_t FFetchedRows = 0;
  int FRowsBeforeFetch = 0;
  std::int64_t FLastInsertId = 0;
  bool FFetchAll = false;
  bool FFetchCanceled = false;
  bool FStreamedOpen = false;
  bool FIsQueryKnown = false;
  bool FIsQueryValue = false;
  // The use held while rows remain to be fetched.
  bool FFetchUse = false;
  TDAUseGuard<TCustomDADataSet>* FExecuteUse = nullptr;
  bool FInExecute = false;
  bool FPreconnected = false;
  bool FPrepareUse = false;
};

}  // namespace lumo
