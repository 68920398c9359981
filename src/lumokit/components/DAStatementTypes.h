// The statements of a data set's update flow (insert, update, delete, lock,
// refresh and the auxiliary kinds) and sets of them, shared by the data-set
// service, the SQL generator and the updater.
#pragma once

#include <cstdint>
#include <string>

#include <lumokit/data/MemTypes.h>

namespace lumo {

// The statements of the update flow; a set of them is held in 16 bits, bit n
// standing for the type of ordinal n.
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

}  // namespace lumo
