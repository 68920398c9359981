// The process-wide facades under threads: first connects in several threads
// at once get one facade, and a facade given up by its slot stays alive
// for the connection still using it. tests/scripts/tsan-smoke.sh also runs
// these under ThreadSanitizer, which reports any unsynchronised creation.
#include <gtest/gtest.h>

#include <array>
#include <exception>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "mysql/MyTestConnection.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

std::unique_ptr<TMySQLConnection> Unconnected() {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(test::TestServer().host);
  c->SetProp(prPort, test::TestServer().port);
  c->SetUsername(test::TestServer().user);
  c->SetPassword(test::TestServer().password);
  return c;
}

TEST(FacadeThreads, FirstConnectsInSeveralThreadsShareOneFacade) {
  LUMO_REQUIRE_SERVER();
  RegisterMyDataTypeMap();
  UnregisterMySqlApiDirect();  // the connects below make it
  constexpr int kThreads = 4;
  std::latch ready(kThreads);
  std::array<TMySQLAPI*, kThreads> used{};
  std::array<std::string, kThreads> answers;
  std::array<std::string, kThreads> errors;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      try {
        auto c = Unconnected();
        ready.arrive_and_wait();
        c->Connect("");
        used[i] = c->MySQLAPI();
        answers[i] = test::Scalar(*c, "SELECT 6 * 7").value_or("NULL");
        c->Disconnect();
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(errors[i], "") << "thread " << i;
    EXPECT_EQ(answers[i], "42") << "thread " << i;
    EXPECT_EQ(used[i], MyAPIDirect) << "thread " << i;
  }
  EXPECT_NE(MyAPIDirect, nullptr);
}

TEST(FacadeThreads, AFacadeGivenUpStaysAliveForItsConnections) {
  LUMO_REQUIRE_SERVER();
  RegisterMyDataTypeMap();
  auto c = Unconnected();
  c->Connect("");
  TMySQLAPI* const before = c->MySQLAPI();
  UnregisterMySqlApiDirect();
  EXPECT_EQ(MyAPIDirect, nullptr);
  EXPECT_EQ(test::Scalar(*c, "SELECT 6 * 7"), "42");
  EXPECT_EQ(c->MySQLAPI(), before);
  c->Disconnect();
  // The next connect makes a new one.
  c->Connect("");
  EXPECT_NE(MyAPIDirect, nullptr);
  EXPECT_EQ(c->MySQLAPI(), MyAPIDirect);
  EXPECT_EQ(test::Scalar(*c, "SELECT 1"), "1");
}

}  // namespace
}  // namespace lumo
