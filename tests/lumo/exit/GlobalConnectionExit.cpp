// A front connection with static storage, connected (over TCP, or TLS with
// "tls") when the process ends: main returns without disconnecting or
// unregistering anything, so the connection is torn down among the static
// destructors, after the units' own globals may be gone. The process must
// end with status 0. Exit status 77: no test server (not under CI=true).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>
#include "support/TestServer.h"

namespace {
lumo::TLumoConnection GConnection;
}  // namespace

int main(int argc, char** argv) {
  const bool tls = argc > 1 && std::strcmp(argv[1], "tls") == 0;
  if (!lumo::test::TestServerReachable()) {
    std::puts(lumo::test::RunningInCI() ? "FAIL: no test server (CI=true)" : "SKIP: no test server");
    return lumo::test::RunningInCI() ? 1 : 77;
  }
  try {
    const lumo::test::TestServerInfo& server = lumo::test::TestServer();
    lumo::RegisterMySQLProvider();
    GConnection.SetProviderName("MySQL");
    GConnection.SetServer(server.host);
    GConnection.SetPort(server.port);
    GConnection.SetUsername(server.user);
    GConnection.SetPassword(server.password);
    GConnection.SetDatabase(server.database);
    GConnection.SetLoginPrompt(false);
    if (tls) {
      GConnection.SpecificOptions().Add("MySQL.Protocol=mpSSL");
      GConnection.SpecificOptions().Add("MySQL.SSLCACert=" + server.caFile);
    }
    GConnection.Connect();
    GConnection.ExecSQL("SELECT 1");
    std::printf("connected%s; ending with the connection open\n", tls ? " over TLS" : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "FAIL: %s\n", e.what());
    return 1;
  }
  return 0;
}
