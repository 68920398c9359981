// What the server tests that talk to the wire client's facade share: the
// facade itself, a statement that must succeed, and one value of a query.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <lumokit/mysql/wire/MySqlApiDirect.h>

namespace lumo::test {

// The wire client's facade, registered on first use.
inline TMySQLAPIDirect& Api() {
  RegisterMySqlApiDirect();
  return *MyAPIDirect;
}

// Runs a statement that must succeed (a failure names the statement).
inline void Exec(PMYSQL_CON h, const std::string& sql) {
  ASSERT_EQ(Api().mysql_real_query(h, sql.data(), sql.size()), 0) << Api().mysql_error(h) << "\n" << sql.substr(0, 200);
}

// The value of `column` in the first row: "" without a row, "NULL" for
// NULL, "error: <message>" when the query fails.
inline std::string Value(PMYSQL_CON h, const std::string& sql, int column = 0) {
  if (Api().mysql_real_query(h, sql.data(), sql.size()) != 0) return "error: " + Api().mysql_error(h);
  PMYSQL_RES r = Api().mysql_use_result(h);
  if (!r) return "";
  std::string v;
  if (PMYSQL_ROW row = Api().mysql_fetch_row(r))
    v = Api()._mysql_fetch_value_is_null(row, static_cast<std::uint32_t>(column))
            ? "NULL"
            : Api()._mysql_fetch_value_str(row, static_cast<std::uint32_t>(column));
  Api().mysql_free_result(r);
  return v;
}

}  // namespace lumo::test
