#include <lumokit/components/DAStatementTypes.h>

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

}  // namespace lumo
