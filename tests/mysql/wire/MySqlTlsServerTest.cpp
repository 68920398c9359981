// TLS and the local socket against the private test server (its TLS has a
// CA of its own, LUMO_TEST_CA): verified connects by address and by name,
// a wrong CA that stops the login before any credential reaches the server,
// unverified connects, a client certificate that does not exist,
// compression and a 20 MiB value inside TLS, 1,000 connects without a
// leak, and the Unix socket by path, by $MYSQL_UNIX_PORT and through the
// provider connection.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/net/KxVioTcpSSL.h>
#include "support/DirectFacade.h"
#include "support/TestServer.h"
#include "support/TlsTestSupport.h"

namespace lumo {
namespace {

using test::TestServer;

using test::Api;
using test::Value;

struct Options {
  std::string host = TestServer().host, user = TestServer().user, password = TestServer().password;
  std::string ca = TestServer().caFile, capath, cert;
  bool tls = true;
  int protocol = -1;  // MYSQL_OPT_PROTOCOL when >= 0
  std::string socket;
  std::uint32_t flags = 0;
};

// Connects through the facade; on failure the handle is closed and `error`
// holds "<code>:<message>". A plain Exception (a TLS handshake failure)
// passes through.
PMYSQL_CON Open(const Options& o, std::string* error = nullptr) {
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 10);
  Api().SetTimeout(h, 60);
  if (o.tls) Api().mysql_ssl_set(h, "", o.cert, o.ca, o.capath, "");
  if (o.protocol >= 0) Api().mysql_options(h, MYSQL_OPT_PROTOCOL, o.protocol);
  try {
    if (Api().mysql_real_connect(h, o.host, o.user, o.password, "", TestServer().port, o.socket, o.flags)) return h;
  } catch (...) {
    Api().mysql_close(h);
    throw;
  }
  if (error) *error = std::to_string(Api().mysql_errno(h)) + ":" + Api().mysql_error(h);
  Api().mysql_close(h);
  return nullptr;
}

struct Closer {
  void operator()(void* h) const { Api().mysql_close(static_cast<PMYSQL_CON>(h)); }
};
using Connection = std::unique_ptr<std::remove_pointer_t<PMYSQL_CON>, Closer>;

TKxVioTcpSSL* TlsOf(PMYSQL_CON h) { return dynamic_cast<TKxVioTcpSSL*>(TMySQLAPIDirect::Session(h)->Net().vio()); }

std::string HandshakeFailure(const Options& o) {
  try {
    Connection c(Open(o));
  } catch (const EMySqlException& e) {
    return "EMySqlException " + e.Message();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "connected";
}

TEST(MySqlTlsServer, VerifiedConnectByAddressAndByNameWithACaFileOrFolder) {
  LUMO_REQUIRE_SERVER();
  test::TestPki scratch;  // only its folder: the server's CA, hashed
  const std::string folder = scratch.Dir() + "/certs";
  ASSERT_EQ(std::system(("mkdir " + folder + " && cp " + TestServer().caFile + " " + folder +
                         " && openssl rehash " + folder).c_str()),
            0);
  for (const std::string host : {"127.0.0.1", "localhost", "folder"}) {
    Options o;
    o.host = host == "folder" ? "localhost" : host;
    if (host == "folder") {
      o.ca.clear();
      o.capath = folder;
    }
    std::string error;
    Connection c(Open(o, &error));
    ASSERT_TRUE(c) << error;
    const std::string version = Value(c.get(), "SHOW STATUS LIKE 'Ssl_version'", 1);
    EXPECT_TRUE(version == "TLSv1.2" || version == "TLSv1.3") << version;
    EXPECT_NE(Value(c.get(), "SHOW STATUS LIKE 'Ssl_cipher'", 1), "");
    EXPECT_EQ(Api().mysql_get_host_info(c.get()), o.host + " via SSL");
    ASSERT_NE(TlsOf(c.get()), nullptr);
    EXPECT_TRUE(TlsOf(c.get())->Verifies());
  }
}

// Serial: it reads the server-wide count of refused logins, which other
// tests raise on purpose.
TEST(MySqlTlsServerSerial, WrongCaStopsBeforeAnyCredentialIsSent) {
  LUMO_REQUIRE_SERVER();
  test::TestPki stranger("Stranger CA");
  Connection admin(Open(Options()));
  ASSERT_TRUE(admin);
  auto denied = [&] { return Value(admin.get(), "SHOW GLOBAL STATUS LIKE 'Access_denied_errors'", 1); };
  Options o;
  o.user = TestServer().nativeUser;
  o.password = "wrong-password";
  o.ca = stranger.CaFile();
  const std::string before = denied();
  const std::string msg = HandshakeFailure(o);
  EXPECT_EQ(msg.rfind("SSL_do_handshake = ", 0), 0u) << msg;
  EXPECT_NE(msg.find("certificate verify failed"), std::string::npos) << msg;
  EXPECT_EQ(denied(), before);  // the wrong password never reached the server
  // The counter does see a wrong password that gets through.
  o.ca = TestServer().caFile;
  std::string error;
  EXPECT_FALSE(Connection(Open(o, &error)));
  EXPECT_EQ(error.substr(0, 5), "1045:");
  EXPECT_NE(denied(), before);
}

TEST(MySqlTlsServer, WithoutCaAndWithAMissingClientCertificate) {
  LUMO_REQUIRE_SERVER();
  Options o;
  o.ca.clear();
  o.cert = "/nonexistent/client-cert.pem";
  std::string error;
  Connection c(Open(o, &error));
  ASSERT_TRUE(c) << error;
  TKxVioTcpSSL* tls = TlsOf(c.get());
  ASSERT_NE(tls, nullptr);
  EXPECT_FALSE(tls->Verifies());
  EXPECT_NE(tls->PeerCertificateSubject().find("CN=localhost"), std::string::npos);
  EXPECT_NE(tls->ClientCertificateError().find("/nonexistent/client-cert.pem"), std::string::npos);
  EXPECT_NE(Value(c.get(), "SHOW STATUS LIKE 'Ssl_cipher'", 1), "");
}

TEST(MySqlTlsServer, CompressionAndA20MiBValueInsideTls) {
  LUMO_REQUIRE_SERVER();
  for (std::uint32_t flags : {0u, std::uint32_t{client::COMPRESS}}) {
    Options o;
    o.flags = flags;
    Connection c(Open(o));
    ASSERT_TRUE(c);
    EXPECT_EQ(Value(c.get(), "SHOW STATUS LIKE 'Compression'", 1), flags ? "ON" : "OFF");
    std::string big(20 << 20, 'x');
    for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(Value(c.get(), "SELECT '" + big + "'"), big);
  }
}

// Heap in use after many TLS connects grows by far less than one set of
// OpenSSL objects per connection; LeakSanitizer checks the rest in
// sanitizer builds.
TEST(MySqlTlsServer, AThousandConnectsLeaveNoTlsObjectsBehind) {
  LUMO_REQUIRE_SERVER();
  auto cycle = [](int n) {
    for (int i = 0; i < n; ++i) {
      Connection c(Open(Options()));
      ASSERT_TRUE(c);
    }
  };
  cycle(20);
  const std::size_t before = mallinfo2().uordblks;
  cycle(1000);
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + (4u << 20)) << before << " -> " << after;
}

TEST(MySqlLocalSocketServer, ByPathByEnvironmentAndThroughTheProvider) {
  LUMO_REQUIRE_SERVER();
  ASSERT_FALSE(TestServer().socket.empty());
  ASSERT_EQ(getenv("MYSQL_UNIX_PORT") ? std::string(getenv("MYSQL_UNIX_PORT")) : "", TestServer().socket);
  const struct {
    const char* host;
    int protocol;
    std::string socket;
  } ways[] = {
      {"localhost", MYSQL_PROTOCOL_SOCKET, TestServer().socket},
      {".", MYSQL_PROTOCOL_PIPE, ""},       // $MYSQL_UNIX_PORT
      {"LocalHost", MYSQL_PROTOCOL_SOCKET, "mysql"},  // a name without "/": $MYSQL_UNIX_PORT
  };
  for (const auto& w : ways) {
    Options o;
    o.tls = false;
    o.host = w.host;
    o.protocol = w.protocol;
    o.socket = w.socket;
    std::string error;
    Connection c(Open(o, &error));
    ASSERT_TRUE(c) << w.host << ": " << error;
    // The server sees a local-socket client as coming from localhost
    // (TCP clients come from 127.0.0.1: names are not resolved).
    EXPECT_EQ(Value(c.get(), "SELECT USER()"), "root@localhost");
  }
  // TLS cannot be asked for over the local socket.
  Options tls;
  tls.protocol = MYSQL_PROTOCOL_SOCKET;
  tls.host = "localhost";
  std::string error;
  EXPECT_FALSE(Connection(Open(tls, &error)));
  EXPECT_EQ(error, "2026:SSL connection error\r\nThe transport cannot switch to TLS");

  for (const std::string& server : {"localhost," + TestServer().socket, std::string("localhost")}) {
    TMySQLConnection conn;
    conn.SetServer(server);
    conn.SetUsername(TestServer().user);
    conn.SetPassword(TestServer().password);
    conn.SetProp(prProtocol, static_cast<int>(server == "localhost" ? mpPipe : mpSocket));
    conn.Connect("");
    EXPECT_EQ(Api().mysql_get_host_info(conn.MySQL()).find("via"), std::string("localhost ").size()) << server;
    EXPECT_EQ(Value(conn.MySQL(), "SELECT USER()"), "root@localhost");
  }
}

// A CA given means a verified server whatever the protocol says; the local
// socket cannot do TLS and says so.
TEST(MySqlTlsServer, ProviderConnectionOverTls) {
  LUMO_REQUIRE_SERVER();
  for (TMyProtocol protocol : {mpSSL, mpDefault, mpTCP, mpSocket}) {
    TMySQLConnection conn;
    conn.SetServer(protocol == mpSocket ? "localhost," + TestServer().socket : TestServer().host);
    conn.SetProp(prPort, TestServer().port);
    conn.SetUsername(TestServer().user);
    conn.SetPassword(TestServer().password);
    conn.SetProp(prProtocol, static_cast<int>(protocol));
    conn.SetProp(prSSL_CA, TestServer().caFile);
    if (protocol == mpSocket) {
      try {
        conn.Connect("");
        ADD_FAILURE() << "a CA was given and the socket connected in clear";
      } catch (const EMyError& e) {
        EXPECT_EQ(e.ErrorCode(), 2026);
        EXPECT_EQ(e.Message(), "SSL connection error\r\nThe transport cannot switch to TLS");
      }
      continue;
    }
    conn.Connect("");
    EXPECT_NE(Value(conn.MySQL(), "SHOW STATUS LIKE 'Ssl_cipher'", 1), "") << static_cast<int>(protocol);
    ASSERT_NE(TlsOf(conn.MySQL()), nullptr) << static_cast<int>(protocol);
    EXPECT_TRUE(TlsOf(conn.MySQL())->Verifies()) << static_cast<int>(protocol);
  }
}

}  // namespace
}  // namespace lumo
