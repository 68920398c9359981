// The library facades: the record layout each library version gets, a
// library that cannot be loaded or lacks functions, the embedded server's
// parameter checks; against the test server: the handles of a closed
// connection, a TLS login verified with a CA, and a facade change while a
// session is held.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>

#include <lumokit/core/StringList.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/wire/MySqlApiClient.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlApiEmbedded.h>
#include "support/FakeMySqlServer.h"
#include "mysql/MyTestConnection.h"
#include "support/TestServer.h"
#include "support/TlsTestSupport.h"

namespace lumo {
namespace {

using test::TestServer;

// MySQLClientLibrary for one scope.
struct LibraryName {
  explicit LibraryName(std::string name) : Old(MySQLClientLibrary()) { SetMySQLClientLibrary(std::move(name)); }
  ~LibraryName() { SetMySQLClientLibrary(Old); }
  std::string Old;
};

void ExpectMessage(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error; expected " << message;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

TEST(MyApiClient, LibraryVersionsChooseTheirLayout) {
  const struct {
    const char* version;
    bool infov;
    int layout;  // -1: refused
  } cases[] = {
      {"3.3.19", true, cv411},  {"3.23.58", false, cv3},        {"4.0.27", false, cv4},
      {"4.1.0", false, cv410},  {"4.1.22", false, cv411},       {"5.0.2", false, cv411},
      {"6.0.0", false, cv411},  {"10.11.19-MariaDB", false, cv411}, {"11.4.2", false, cv411},
      {"8.0.36-MariaDB", false, cv411}, {"7.1", false, -1},     {"8.0.36", false, -1},
      {"", false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    if (c.layout < 0) {
      ExpectMessage([&] { TMySQLAPIClient::ClientStructVerOf(c.version, c.infov); }, "Invalid client version");
    } else {
      EXPECT_EQ(TMySQLAPIClient::ClientStructVerOf(c.version, c.infov), c.layout);
    }
  }
}

TEST(MyApiClient, ALibraryThatCannotLoadSaysWhy) {
  const std::string file = "/nonexistent/libmariadb-missing.so.3";
  LibraryName name(file);
  const std::string expected = "MySQL client library couldn't be loaded. Please place " + file +
                               " file to system folder (included to PATH) or to the folder with executable unit of "
                               "main program.\n";
  TMySQLAPIClient client;
  TMySQLAPIEmbedded embedded;  // loads the same file
  for (TMySQLAPIClient* api : {&client, static_cast<TMySQLAPIClient*>(&embedded)}) {
    try {
      api->CheckMySQLLib();
      ADD_FAILURE() << "loaded " << file;
    } catch (const EOSError& e) {
      EXPECT_EQ(e.Message().substr(0, expected.size()), expected);
      EXPECT_NE(e.Message().find("No such file or directory"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(api->LoadedMySQLLib());
  }
}

TEST(MyApiClient, AMissingFunctionRaisesWhenCalled) {
  LibraryName name(LUMO_FAKE_CLIENT_LIBRARY);
  void* fake = ::dlopen(LUMO_FAKE_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(fake, nullptr) << ::dlerror();
  auto setInfo = reinterpret_cast<void (*)(const char*)>(::dlsym(fake, "lumo_fake_set_client_info"));
  ASSERT_NE(setInfo, nullptr);
  setInfo("5.7.30");
  {
    TMySQLAPIClient api;
    api.CheckMySQLLib();
    EXPECT_EQ(api.ClientVer(), "5.7.30");
    EXPECT_EQ(api.ClientStructVer(), cv411);
    PMYSQL_CON h = api.mysql_init(nullptr);
    ASSERT_NE(h, nullptr);
    const std::string notLinked =
        std::string("MySQL API function is not linked. You should update MySQL client library (") +
        LUMO_FAKE_CLIENT_LIBRARY + ").";
    ExpectMessage([&] { api.mysql_stmt_init(h); }, notLinked);
    ExpectMessage([&] { api.mysql_real_query(h, "DO 1", 4); }, notLinked);
    ExpectMessage([&] { api.mysql_errno(h); }, notLinked);
    api.mysql_close(h);
  }
  // Versions whose records cannot be read here.
  for (const char* version : {"7.1.0", "4.0.27"}) {
    setInfo(version);
    TMySQLAPIClient api;
    ExpectMessage([&] { api.CheckMySQLLib(); }, "Invalid client version");
  }
  setInfo("5.7.30");
  ::dlclose(fake);
}

// With a CA the library checks the server's name as well: a certificate of
// the right CA for another name stops the login inside the handshake.
TEST(MyApiClient, ACaMakesTheLibraryCheckTheServerName) {
  test::TestPki pki;
  const auto other = pki.Issue("other", "other.example", "DNS:other.example");
  std::atomic<bool> loginSeen{false};
  test::FakeGreeting greeting;
  greeting.Capabilities |= 0x0800;  // CLIENT_SSL
  test::FakeMySqlScript script;
  std::string hello = greeting.Build();
  // The upper capabilities: multi statements and results, plugin auth.
  const std::size_t upper = 1 + greeting.ServerVersion.size() + 1 + 4 + 8 + 1 + 2 + 1 + 2;
  hello[upper] = 0x0F;
  script.Send(hello).Receive(1).Do([&](test::FakeMySqlConnection& c) {
    test::TlsServerSide tls(c.Fd(), other.Cert, other.Key);
    std::string header;
    loginSeen = tls.Ok() && tls.ReadExact(header, 4);
  });
  test::FakeMySqlServer server(script);
  TMySQLAPIClient api;
  api.CheckMySQLLib();
  PMYSQL_CON h = api.mysql_init(nullptr);
  api.mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 10);
  ASSERT_EQ(api.mysql_ssl_set(h, "", "", pki.CaFile(), "", ""), 0);
  EXPECT_EQ(api.mysql_real_connect(h, "127.0.0.1", "root", "secret", "", server.Port(), "", 0), nullptr);
  EXPECT_EQ(api.mysql_errno(h), 2026u) << api.mysql_error(h);
  api.mysql_close(h);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_FALSE(loginSeen);
}

TEST(MyApiEmbedded, ParametersAreCheckedBeforeTheServerStarts) {
  using E = TMySQLAPIEmbedded;
  TStringList p;
  p.SetText("  --datadir=/srv/db/data/ \n# a comment\n\n--no-defaults\n--key_buffer_size=8M\n--log-bin=x\n");
  const std::vector<std::string> lines = E::CleanParams(p);
  EXPECT_EQ(lines, (std::vector<std::string>{"--datadir=/srv/db/data/", "--key_buffer_size=8M", "--log-bin=x"}));
  E::CheckParams(lines);
  EXPECT_EQ(E::DataFolder(lines), "/srv/db/data");
  EXPECT_EQ(E::DataFolderLockPath(E::DataFolder(lines)), "/srv/db/data.lock");
  EXPECT_EQ(E::DataFolder({"--basedir=/opt/db"}), "/opt/db/data");
  EXPECT_EQ(E::DataFolder({"--basedir=/opt/db/", "--datadir=/srv/x"}), "/srv/x");
  EXPECT_EQ(E::DataFolder({"--datadir=rel/d"}), (std::filesystem::current_path() / "rel/d").string());
  EXPECT_EQ(E::DataFolder({"--key_buffer_size=8M"}), "");

  const struct {
    const char* line;
    const char* message;
  } refused[] = {
      {"datadir=/x", "Invalid embedded server parameter \"datadir=/x\": write --name or --name=value"},
      {"-h", "Invalid embedded server parameter \"-h\": write --name or --name=value"},
      {"--na me=1", "Invalid embedded server parameter \"--na me=1\": write --name or --name=value"},
      {"--=1", "Invalid embedded server parameter \"--=1\": write --name or --name=value"},
      {"--help", "Embedded server parameter \"--help\" is not accepted: it would print the server's help and end the "
                 "process"},
      {"--he", "Embedded server parameter \"--he\" is not accepted: it would print the server's help and end the "
               "process"},
      {"--bootstrap", "Embedded server parameter \"--bootstrap\" is not accepted: it would read statements from the "
                      "standard input"},
      {"--log=/tmp/q.log", "Embedded server parameter \"--log=/tmp/q.log\" is not accepted: it is an ambiguous "
                           "option name that ends the process (use --general-log and --general-log-file)"},
  };
  for (const auto& r : refused) ExpectMessage([&] { E::CheckParams({"--datadir=/x", r.line}); }, r.message);
}

// ---- against the test server ---------------------------------------------------------------

std::unique_ptr<TMySQLConnection> Connection(bool direct) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  c->SetProp(prDatabase, TestServer().scratchDatabase);
  c->SetProp(prDirect, direct);
  return c;
}

using test::Scalar;

TEST(MyApiClientServer, AClosedConnectionLeavesItsHandlesSafe) {
  LUMO_REQUIRE_SERVER();
  TMySQLAPIClient api;
  api.CheckMySQLLib();
  auto open = [&] {
    PMYSQL_CON h = api.mysql_init(nullptr);
    EXPECT_EQ(api.mysql_real_connect(h, TestServer().host, TestServer().user, TestServer().password, "",
                                      TestServer().port, "", 0),
              h)
        << api.mysql_error(h);
    return h;
  };
  PMYSQL_CON h = open();
  PMYSQL_STMT st = api.mysql_stmt_init(h);
  ASSERT_EQ(api.mysql_stmt_prepare(st, "SELECT ?", 8), 0) << api.mysql_stmt_error(st);
  const std::string sql = "SELECT 1 UNION SELECT 2 UNION SELECT 3";
  ASSERT_EQ(api.mysql_real_query(h, sql.data(), sql.size()), 0);
  PMYSQL_RES r = api.mysql_use_result(h);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(api.mysql_fetch_row(r), nullptr);
  api.mysql_close(h);  // with a result half read and a prepared statement
  EXPECT_EQ(api.mysql_fetch_row(r), nullptr);
  EXPECT_EQ(api.mysql_num_fields(r), 1u);
  api.mysql_free_result(r);
  EXPECT_EQ(api.mysql_stmt_prepare(st, "DO 1", 4), 2006);
  EXPECT_EQ(api.mysql_stmt_errno(st), 2006u);
  EXPECT_EQ(api.mysql_stmt_error(st), "MySQL server has gone away");
  EXPECT_EQ(api.mysql_stmt_close(st), 0);

  // Letting go of the library closes what is still open.
  PMYSQL_CON live = open();
  api.FreeMySQLLib();
  EXPECT_FALSE(api.LoadedMySQLLib());
  EXPECT_EQ(api.mysql_errno(live), 2006u);
  EXPECT_EQ(api.mysql_ping(live), 2006);
  api.mysql_close(live);
}

// Serial: it reads the server-wide count of refused logins, which other
// tests raise on purpose.
TEST(MyApiClientServerSerial, TlsWithACaVerifiesTheServerBeforeTheLogin) {
  LUMO_REQUIRE_SERVER();
  auto tls = [](const std::string& ca, const std::string& user, const std::string& password) {
    auto c = Connection(false);
    c->SetUsername(user);
    c->SetPassword(password);
    c->SetProp(prProtocol, static_cast<int>(mpSSL));
    c->SetProp(prSSL_CA, ca);
    c->Connect("");
    return c;
  };
  auto admin = tls(TestServer().caFile, TestServer().user, TestServer().password);
  EXPECT_NE(Scalar(*admin, "SHOW STATUS LIKE 'Ssl_cipher'", 1).value_or(""), "");
  auto denied = [&] { return Scalar(*admin, "SHOW GLOBAL STATUS LIKE 'Access_denied_errors'", 1); };
  const auto before = denied();
  test::TestPki stranger("Stranger CA");
  try {
    tls(stranger.CaFile(), TestServer().nativeUser, "wrong-password");
    ADD_FAILURE() << "a server with a certificate of another CA was accepted";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 2026) << e.Message();
  }
  EXPECT_EQ(denied(), before);  // the wrong password never reached the server
}

TEST(MyApiClientServer, AFacadeChangeWaitsForTheNextConnect) {
  LUMO_REQUIRE_SERVER();
  auto c = Connection(true);
  c->Connect("");
  ASSERT_EQ(c->MySQLAPI(), MyAPIDirect);
  c->SetProp(prDirect, false);
  EXPECT_EQ(c->MySQLAPI(), MyAPIDirect);  // the session is the wire client's
  EXPECT_EQ(c->GetClientVersion(), MyAPIDirect->mysql_get_client_info());
  EXPECT_EQ(Scalar(*c, "SELECT 6 * 7"), "42");
  c->Disconnect();
  c->Connect("");
  ASSERT_NE(MyAPIClient, nullptr);
  EXPECT_EQ(c->MySQLAPI(), MyAPIClient);
  EXPECT_EQ(Scalar(*c, "SELECT 6 * 7"), "42");
  EXPECT_EQ(c->GetClientVersion(), MyAPIClient->ClientVer());
  EXPECT_NE(c->GetClientVersion(), MyAPIDirect->mysql_get_client_info());
}

}  // namespace
}  // namespace lumo
