// Helpers of the provider tests that work on plain connections: one to the
// test server's scratch database with Unicode on (with noBackslashes the
// session runs in NO_BACKSLASH_ESCAPES mode), and one value of a query.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/TestServer.h"

namespace lumo::test {

inline std::unique_ptr<TMySQLConnection> ConnectUnicode(bool noBackslashes = false) {
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  c->SetProp(prDatabase, TestServer().scratchDatabase);
  c->SetProp(prUseUnicode, true);
  c->Connect("");
  if (noBackslashes) c->ExecStatement("SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')");
  EXPECT_EQ(c->NeedBackslashes(), !noBackslashes);
  return c;
}

// One value of the first row (nullopt for NULL or no row).
inline std::optional<std::string> Scalar(TMySQLConnection& c, const std::string& sql, std::uint32_t column = 0) {
  TMySQLCommand cmd;
  cmd.SetConnection(&c);
  cmd.SetRequestResultset(true);
  cmd.SetSQL(sql);
  cmd.Execute();
  std::optional<std::string> value;
  TMySQLAPI& api = *c.MySQLAPI();
  if (PMYSQL_RES r = cmd.SQLResult()) {
    if (PMYSQL_ROW row = api.mysql_fetch_row(r))
      if (!api._mysql_fetch_value_is_null(row, column)) value = api._mysql_fetch_value_str(row, column);
    cmd.FreeSQLResult();
  }
  return value;
}

}  // namespace lumo::test
