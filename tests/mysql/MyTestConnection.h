// A MySQL provider connection to the test server's scratch database with
// Unicode on, for the provider tests that work on one plain connection;
// with noBackslashes the session runs in NO_BACKSLASH_ESCAPES mode.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "MyClasses.h"
#include "MyDataTypeMap.h"
#include "MySqlApiDirect.h"
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

}  // namespace lumo::test
