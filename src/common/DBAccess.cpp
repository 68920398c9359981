#include "DBAccess.h"

namespace lumo {

// The base knows no codes; providers answer for theirs.
bool EDAError::IsFatalError() const { return false; }

bool EDAError::IsKeyViolation() const { return false; }

}  // namespace lumo
