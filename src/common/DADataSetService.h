// What the SQL data set asks of its data-set service and updater: the
// cursor set-up when it opens and closes, the key fields, the row count of
// a count query, whether it accepts edits, and the preparation, refresh and
// locking steps around editing. TDADataSetService and TDADataSetUpdater hold
// these operations with neutral behaviour; the SQL generator and the
// updater that run generated statements derive from them and fill them in.
//
// Decisions:
// - The base key fields are the data set's KeyFields ("%s: Key field '%s'
//   not found" for a name that is not a field of the result); without them
//   there is no key.
// - The base accepts edits when the data set is neither read-only nor
//   unidirectional and writes locally (LocalUpdate), or has cached updates
//   with an OnUpdateRecord handler; it generates no statements, so a
//   refresh of one row or a lock finds nothing to run and changes nothing.
// - The base counts no rows (GetRecCount 0: the count is the store's) and
//   has no further results ("Operation is not supported by the database").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MemDS.h"
#include "Variant.h"

namespace lumo {

// The statements of the update flow; a set of them is held in 16 bits.
enum TStatementType : std::uint8_t {
  stQuery = 0,
  stInsert = 1,
  stUpdate = 2,
  stDelete = 3,
  stLock = 4,
  stRefresh = 5,
  stCustom = 6,
  stRefreshQuick = 7,
  stRefreshCheckDeleted = 8,
  stBatchUpdate = 9
};
using TStatementTypes = TEnumSet<TStatementType>;
// "Select", "Insert", "Update", "Delete", "Lock", "Refresh" for the first
// six types, empty for the others.
std::string StatementTypeName(TStatementType type);

class TCustomDADataSet;
class TDAParams;
class TFieldDesc;

class TDADataSetUpdater : public TDataSetUpdater {
 public:
  explicit TDADataSetUpdater(TDataSetService& owner);

  TCustomDADataSet& DADataSet() const;

  // A connection use is taken before an insert or edit starts.
  virtual bool IsNeedInsertPreconnect() { return false; }
  virtual bool IsNeedEditPreconnect() { return false; }
  // Steps before an insert, an edit and a delete, and after either of the
  // first two ends (posted or cancelled).
  virtual void PrepareAppend() {}
  virtual void PrepareUpdate() {}
  virtual void PrepareDelete() {}
  virtual void UnPrepareAppendUpdate() {}
  // Re-reads the current row; false when the statement found no row.
  virtual bool PerformRefreshRecord() { return true; }
  virtual bool PerformLock() { return true; }
  virtual bool PerformUnLock() { return true; }
  // A value the updater computes itself for a default expression; false
  // when it has none.
  virtual bool GetDefaultExpressionValue(const std::string& expression, Variant& value);
  virtual void BreakExec() {}
};

class TDADataSetService : public TDataSetService {
 public:
  explicit TDADataSetService(TMemDataSet& owner);

  std::unique_ptr<TDataSetUpdater> CreateDataSetUpdater() override;
  TCustomDADataSet& DADataSet() const;
  // The updater as the SQL data set's (a TDADataSetUpdater).
  TDADataSetUpdater& DAUpdater();

  // After the rows of an open arrived / when the data set closes.
  virtual void InitCursor() {}
  virtual void CloseCursor() {}
  // The rows a count query gives (0: no count).
  virtual std::int64_t GetRecCount() { return 0; }
  // Parameters of a detail whose master is not open.
  virtual void InitMasterParams(TDAParams& params) { (void)params; }
  virtual void BreakExec() {}
  virtual bool Executing() { return false; }
  // The field descriptors changed: forget what was derived from them.
  virtual void ClearFieldDescRefs() {}
  // UpdatingTable changed on an open data set.
  virtual void InitUpdatingTable() {}
  virtual bool DetectCanModify();
  // Parameter values must be known when the statement is prepared.
  virtual bool NeedParamValuesOnPrepare() { return false; }
  // The key field descriptors of the result (see the unit comment).
  virtual void GetKeyFieldDescs(std::vector<TFieldDesc*>& keyFields, bool forceUseAllFields = false);
  virtual void ClearCachedKeyFieldDescs() {}
  // Opens the next result of the statement.
  virtual void OpenNext();
  virtual std::string GetCurrentSchema() { return {}; }
};

}  // namespace lumo
