// The C client library as the benchmarks' peer: a connection to the test
// server on utf8mb4, as the library connects by default. Included after
// <mysql.h> by the benchmarks that measure against it.
#pragma once

#include <mysql.h>

#include <string>

#include "BenchSupport.h"

namespace lumo::bench {

inline MYSQL* LibConnect(const Server& s, unsigned long flags = 0) {
  MYSQL* m = ::mysql_init(nullptr);
  ::mysql_options(m, ::MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!::mysql_real_connect(m, s.host.c_str(), s.user.c_str(), s.password.c_str(), s.db.c_str(),
                            static_cast<unsigned>(s.port), nullptr, flags))
    Die(std::string("library connect: ") + ::mysql_error(m));
  return m;
}

}  // namespace lumo::bench
