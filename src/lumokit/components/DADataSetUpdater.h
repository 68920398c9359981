// TDADataSetUpdater writes the posted rows of a SQL data set back to the
// server: it picks the statement of each action (the user's, an update
// object's, or the SQL generator's), fills its parameters from the row,
// runs it through an internal update data set in the right transaction,
// checks the rows it affected, copies returned values into the row, and
// takes and releases row locks with savepoints. Cached changes can be
// collected into batches that go to the server as one text.
//
// Decisions:
// - Savepoint names are "LOCK_" / "LOCK_CU_" + the data set's name cut to
//   30 characters, then "_" and a number unique to the updater, so two data
//   sets never share a savepoint (no name, or names equal after the cut).
//   The provider quotes them where it sends them.
// - With StrictUpdate and no active update transaction, a generated
//   UPDATE or DELETE and the check of its row count run in one transaction
//   that is committed only when exactly one row changed: a rejected change
//   is not left committed.
// - A batch runs inside a transaction when none is active (committed after
//   the last statement succeeded), else inside a savepoint that is rolled
//   back when a statement fails, so the server keeps none of a batch the
//   record store treats as failed. Under StrictUpdate each statement's row
//   count is checked (BatchRowsAffected of the provider).
// - The optimistic check compares with VarEqual, so Null equals Null.
// - A pessimistic lock is released only when its edit is cancelled; a
//   posted edit inside the caller's transaction (or with AutoCommit off)
//   stays in that transaction with its lock until it commits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/components/DAParams.h>
#include <lumokit/components/DAStatementTypes.h>
#include <lumokit/core/Variant.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

class TCustomDADataSet;
class TComponent;
class TDADataSetService;
class TDATransaction;
class TKxTransaction;
class TDAParamsInfo;
class TField;
class TFieldDesc;

enum TLockTrStarted : std::uint8_t { ltsNone, ltsOnLock, ltsOnLockCachedUpdates, ltsBeforeLockCachedUpdates };
enum TCheckMode : std::uint8_t { cmNone, cmException, cmRefresh };

// Process-wide switches of the update flow (false at start): row locks are
// not taken in cached-updates mode; a user refresh statement that starts
// with WHERE extends the base SQL instead of the final SQL.
extern bool OldCachedUpdateLockMode;
extern bool SQLGeneratorCompatibility;

// Two date-time values closer than this (a fraction of a day, about one
// millisecond) are equal for the optimistic lock check.
double DateTimeFilterDelta() noexcept;

class TDADataSetUpdater : public TDataSetUpdater {
 public:
  explicit TDADataSetUpdater(TDataSetService& owner);
  ~TDADataSetUpdater() override;

  TCustomDADataSet& DADataSet() const;
  TDADataSetService& DAService() const;

  TCheckMode CheckMode() const noexcept { return FCheckMode; }
  void SetCheckMode(TCheckMode value) noexcept { FCheckMode = value; }
  // The component that ran the last statement (nullptr before any).
  TComponent* UpdateQuery() const noexcept { return FUpdateQuery; }
  TLockTrStarted LockTrStarted() const noexcept { return FLockTrStarted; }
  TDATransaction* FixedTransaction() const noexcept { return FFixedTransaction; }
  int BatchStatements() const noexcept { return FBatchStatements; }
  const std::string& BatchSQL() const noexcept { return FBatchSQLs; }
  // The savepoint of a row lock and the one spanning the cached changes.
  std::string LockSavepointName() const;
  std::string CachedLockSavepointName() const;

  // ---- what the data set calls around editing
  virtual bool IsNeedInsertPreconnect() { return false; }
  virtual bool IsNeedEditPreconnect() { return false; }
  bool IsPreconnected();
  virtual void PrepareAppend() {}
  virtual void PrepareUpdate();
  virtual void PrepareDelete();
  // An edit or insert was cancelled: releases the lock the edit took (a
  // posted edit keeps it until its transaction ends).
  virtual void UnPrepareAppendUpdate();
  virtual bool PerformRefreshRecord();
  virtual bool PerformLock();
  virtual bool PerformUnLock();
  virtual bool GetDefaultExpressionValue(const std::string& expression, Variant& value);
  virtual void BreakExec() {}

  // ---- the record store's hooks
  bool PerformAppend() override;
  bool PerformDelete() override;
  bool PerformUpdate() override;
  bool CacheChanged() override;
  bool CacheApplied() override;
  bool CacheCanceled() override;
  bool BatchUpdate() override;
  bool CanFlushBatch() override;
  void FlushBatch() override;

  // Runs the statement of the types (the given text, else the chosen one);
  // false when there was nothing to run.
  virtual bool PerformSQL(const std::string& sql, TStatementTypes types);
  virtual void PerformRefreshQuick(bool checkDeleted);
  // The first field of the first row of `sql`.
  Variant SelectDbValue(const std::string& operationName, const std::string& sql);
  // Every field of the first row of `sql` (none for no row). The text is
  // sent as it stands: nothing in it is taken for a parameter.
  std::vector<Variant> SelectDbValues(const std::string& operationName, const std::string& sql);
  void UnprepareUpdateObjects();
  virtual bool LockCompare(const Variant& value1, const Variant& value2);
  virtual bool GetIdentityFieldValue(Variant& value);

  // ---- savepoints (public for the data set's cached-update lock)
  virtual bool SavepointAllowed() { return true; }
  virtual void SetSavepoint(const std::string& name, bool cachedUpdates);
  virtual void RollbackToSavepoint(const std::string& name, bool cachedUpdates);

 protected:
  virtual bool UseParamType(TDAParam& param);
  virtual void SetDefaultParamType(TDAParam& param);
  bool NeedReturnParams();
  virtual bool ReturnParamsAsFields() { return false; }
  virtual bool RefreshAfterInsertAllowed();
  virtual bool CanRefreshByLock();
  // The field a parameter name stands for; `name` loses an "OLD_" prefix.
  virtual TField* FieldByParamName(std::string& name, bool& old, int& fieldNo);
  // The record set's descriptor a parameter name stands for (a field
  // number for a numeric name); nullptr when none.
  TFieldDesc* RecordSetDescOfParam(const std::string& name);
  virtual std::string GetUpdateStatement(TStatementType type);
  // The slot's internal update component, made ready for the statement.
  virtual TComponent& CheckUpdateQuery(TStatementType type);
  virtual void SetUpdateQueryOptions(TStatementType type) { (void)type; }
  virtual void CheckUpdateSQL(const std::string& sql, TStatementTypes types, TDAParamsInfo*& paramsInfo,
                              bool useGenerator);
  virtual void UpdateExecute(TStatementTypes types);
  virtual bool IsRefreshQuickField(TFieldDesc& desc) { (void)desc; return false; }
  virtual void SaveMaxRefreshQuickValue(TFieldDesc& desc, const Variant& value) { (void)desc; (void)value; }
  virtual void PrepareCachedUpdate();
  virtual void FinishCachedUpdate();
  virtual void UnPrepareCachedUpdate();
  virtual void UnLockCachedUpdate();
  virtual bool PerformUpdateDelete(TStatementType type);
  virtual bool PerformRefreshRecordInUpdate();
  virtual std::string PrepareBatch(const std::string& sql) { return sql; }
  // Rows affected by each statement of the last batch; false when the
  // provider cannot tell them apart.
  virtual bool BatchRowsAffected(std::vector<std::int64_t>& counts) { (void)counts; return false; }
  void WriteUQParams(TDAParamsInfo* paramsInfo, TStatementTypes types);

  // The internal data set running the current statement (nullptr when an
  // update object's SQL command runs it).
  TCustomDADataSet* UpdateDataSet() const noexcept;
  TDAParams& UpdateParams() const;
  // The transaction the statement runs in (see CheckUpdateQuery).
  TDATransaction* StatementTransaction(TStatementType slot);
  // The data set is in cached-updates mode and the current row already
  // carries a change that is not applied yet.
  bool RowHasCachedChange();
  bool StrictUpdate() const;
  bool StatementIsGenerated() const noexcept { return FStatementGenerated; }

 private:
  class TUpdateTransactionScope;

  // The provider's own transaction of the connection when the component
  // transaction rides on it (providers without several transactions), else
  // nullptr. The updater's own transactions start and end there: ending the
  // component transaction closes every data set that reads in it, the one
  // being edited among them.
  TKxTransaction* DirectTransaction(TDATransaction* tr);
  bool TrActive(TDATransaction* tr);
  void TrStart(TDATransaction* tr);
  void TrCommit(TDATransaction* tr);
  void TrRollback(TDATransaction* tr);
  void TrSavepoint(TDATransaction* tr, const std::string& name);
  void TrRollbackToSavepoint(TDATransaction* tr, const std::string& name);

  // Results of the deleted check and the quick refresh.
  std::vector<TField*> KeyFieldsOf(TCustomDADataSet& dataSet);
  void RemoveDeletedRows(TCustomDADataSet& result);
  void MergeQuickRefreshRows(TCustomDADataSet& result);

  void ClearBatch() noexcept;
  void EndUpdate(bool success);
  // Copies the internal data set's first row into the data set's row.
  void CopyResultRow(TCustomDADataSet& result, TStatementTypes types);
  void ReturnOutParams(TDAParamsInfo* paramsInfo);
  void StoreFieldValue(TField& field, const Variant& value);
  void CheckRowsAffected(std::int64_t rows, const char* message);
  void RunBatch();
  bool IsCachedInsert();
  void SafeUnlock(bool cachedUpdates) noexcept;
  // Locks the current row; a failure releases what it took and propagates.
  void LockRow(bool cachedUpdates);

  TDATransaction* FFixedTransaction = nullptr;
  TLockTrStarted FLockTrStarted = ltsNone;
  std::unique_ptr<TComponent> FUpdateComponents[10];
  TComponent* FUpdateQuery = nullptr;
  std::string FBatchSQLs;
  std::unique_ptr<TDAParams> FBatchParams;
  std::int32_t FBatchStatements = 0;
  bool FRefreshInUpdate = false;
  // Rows of a quick refresh are being written into the store.
  bool FMerging = false;
  // Rows the last statement returned or changed (-1: unknown).
  std::int64_t FLastRowCount = -1;
  TCheckMode FCheckMode = cmException;
  bool FStatementGenerated = false;
  TStatementType FCurrentSlot = stCustom;
  std::uint64_t FSerial;
};

}  // namespace lumo
