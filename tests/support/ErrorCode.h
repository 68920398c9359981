// The MySQL error a piece of test code raises: its code (0 when it raises
// none) and, when asked, its message. Other exceptions pass through.
#pragma once

#include <functional>
#include <string>

#include <lumokit/mysql/wire/MySqlErrors.h>

namespace lumo::test {

inline int MySqlErrorOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EMySqlException& e) {
    if (message) *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace lumo::test
