// Access to the private test server that scripts/test-server runs: its
// address and accounts come from the LUMO_TEST_* environment variables.
// A test that needs the server starts with LUMO_REQUIRE_SERVER(); without a
// server it is skipped with a visible message, or fails when CI=true.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace lumo::test {

struct TestServerInfo {
  std::string host = "127.0.0.1";
  int port = 3306;
  std::string socket;
  std::string user = "root";
  std::string password;
  std::string nativeUser;
  std::string nativePassword;
  std::string oldUser;
  std::string oldPassword;
  // Created only when the server has the ed25519 plugin.
  std::string ed25519User;
  std::string ed25519Password;
  std::string caFile;
  std::string database = "vexa";
  std::string scratchDatabase = "lumo_test";
};

// Reads the LUMO_TEST_* variables (defaults where a variable is unset).
const TestServerInfo& TestServer();

// True when something accepts TCP connections at the test server's address.
bool TestServerReachable();

bool RunningInCI();

}  // namespace lumo::test

#define LUMO_REQUIRE_SERVER()                                                          \
  do {                                                                                 \
    if (!::lumo::test::TestServerReachable()) {                                        \
      if (::lumo::test::RunningInCI()) {                                               \
        FAIL() << "the test server is not running (CI=true): start scripts/test-server"; \
      } else {                                                                         \
        GTEST_SKIP() << "no test server running: start it with scripts/test-server start"; \
      }                                                                                \
    }                                                                                  \
  } while (0)
