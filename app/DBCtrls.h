// Data-bound controls of the desktop client. TDBMemo is the memo that shows
// one field of a data source's current record; it keeps the name of that
// field (DataField).
//
// Decisions:
// - Until a data link feeds it, the memo is empty and read-only: there is
//   nothing an edit could be written to.
#pragma once

#include <string>

#include "StdCtrls.h"

namespace lumo {

class TDBMemo : public TCustomMemo {
 public:
  TDBMemo();
  std::string ClassName() const override { return "TDBMemo"; }

  const std::string& DataField() const noexcept { return FDataField; }
  void SetDataField(const std::string& value) { FDataField = value; }

  static void Register(TClassRegistry& registry);

 private:
  std::string FDataField;
};

}  // namespace lumo
