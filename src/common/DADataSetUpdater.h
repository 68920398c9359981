// The updater of a SQL data set: the steps around inserting, editing and
// deleting a row, re-reading it and locking it. This seam holds neutral
// behaviour (nothing is run, every step succeeds); the updater that runs
// generated or user statements derives from it.
#pragma once

#include <string>

#include "DAStatementTypes.h"
#include "MemDS.h"
#include "Variant.h"

namespace lumo {

class TCustomDADataSet;

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

}  // namespace lumo
