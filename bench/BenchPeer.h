// The C client library as the benchmarks' peer: a connection to the test
// server on utf8mb4, as the library connects by default, and the reading of
// the seven-column result of the fetch benchmarks with mysql_store_result,
// every value converted to its C++ type and kept.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

// One row of id INT, big BIGINT, dbl DOUBLE, dec_ DECIMAL, txt VARCHAR,
// dt DATETIME, maybe INT NULL.
struct LibRow {
  std::int32_t id;
  std::int64_t big;
  double dbl;
  double dec;
  std::string text;
  int year, month, day, hour, minute, second;
  std::optional<std::int32_t> maybe;
};

inline int Digits(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

// Runs `sql` and keeps every row converted; returns the row count.
inline std::uint64_t LibFetch(MYSQL* m, const std::string& sql) {
  if (::mysql_real_query(m, sql.data(), sql.size()) != 0) Die(sql + ": " + ::mysql_error(m));
  MYSQL_RES* r = ::mysql_store_result(m);
  if (!r) Die(std::string("library store: ") + ::mysql_error(m));
  std::vector<LibRow> rows;
  rows.reserve(static_cast<std::size_t>(::mysql_num_rows(r)));
  while (MYSQL_ROW row = ::mysql_fetch_row(r)) {
    const unsigned long* lens = ::mysql_fetch_lengths(r);
    LibRow x{};
    x.id = static_cast<std::int32_t>(std::strtol(row[0], nullptr, 10));
    x.big = std::strtoll(row[1], nullptr, 10);
    x.dbl = std::strtod(row[2], nullptr);
    x.dec = std::strtod(row[3], nullptr);
    x.text.assign(row[4], lens[4]);
    const char* d = row[5];
    x.year = Digits(d, 4);
    x.month = Digits(d + 5, 2);
    x.day = Digits(d + 8, 2);
    x.hour = Digits(d + 11, 2);
    x.minute = Digits(d + 14, 2);
    x.second = Digits(d + 17, 2);
    if (row[6]) x.maybe = static_cast<std::int32_t>(std::strtol(row[6], nullptr, 10));
    rows.push_back(std::move(x));
  }
  ::mysql_free_result(r);
  return rows.size();
}

}  // namespace lumo::bench
