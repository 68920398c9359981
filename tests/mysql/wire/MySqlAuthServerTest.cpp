// Logins through authentication plugins against the private test server:
// the ed25519 account (right and wrong password, over TCP, TLS and the
// local socket, and the public key the server stored for it), accounts
// reached through the server's switch request, and the plugin that ends
// each login.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <optional>
#include <string>

#include <lumokit/mysql/wire/MySqlSession.h>
#include "support/ErrorCode.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;

enum class Via { Tcp, Tls, Socket };

std::unique_ptr<TMySqlSession> Open(const std::string& user, const std::string& password, Via via = Via::Tcp,
                                    const std::string& defaultPlugin = "",
                                    std::optional<bool> secureAuth = std::nullopt) {
  auto s = std::make_unique<TMySqlSession>();
  s->connectTimeout = 10;
  s->commandTimeout = 30;
  s->AuthSettings().DefaultPlugin = defaultPlugin;
  s->AuthSettings().SecureAuth = secureAuth;
  std::string host = TestServer().host;
  if (via == Via::Tls) {
    s->protocolType = MYSQL_PROTOCOL_SSL;
    s->SSL_ca = TestServer().caFile;
  } else if (via == Via::Socket) {
    s->protocolType = MYSQL_PROTOCOL_SOCKET;
    host = "localhost";
  }
  s->Connect(host, user, password, "", TestServer().port, TestServer().socket, 0);
  return s;
}

std::string Scalar(TMySqlSession& s, const std::string& sql) {
  s.SimpleCommand(TServerCommand::scQuery, sql.data(), sql.size(), true);
  s.ReadQueryResult();
  EXPECT_GE(s.fieldCount, 1);
  s.Net().Receive();
  const std::int64_t len = s.Net().ReadFieldLength();
  std::string v = len == NullLength ? "<NULL>" : s.Net().ReadString(static_cast<std::size_t>(len));
  s.FreeQuery();
  return v;
}

using test::MySqlErrorOf;

std::string Base64NoPadding(const std::array<std::uint8_t, 32>& bytes) {
  unsigned char out[64] = {};
  const int n = EVP_EncodeBlock(out, bytes.data(), static_cast<int>(bytes.size()));
  std::string s(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
  while (!s.empty() && s.back() == '=') s.pop_back();
  return s;
}

TEST(MySqlAuthServer, Ed25519Account) {
  LUMO_REQUIRE_SERVER();
  const std::string& user = TestServer().ed25519User;
  const std::string& pw = TestServer().ed25519Password;
  auto root = Open(TestServer().user, TestServer().password);
  EXPECT_EQ(root->AuthPlugin(), "mysql_native_password");
  const std::string stored = Scalar(
      *root, "SELECT IFNULL((SELECT JSON_VALUE(Priv, '$.authentication_string') FROM mysql.global_priv "
             "WHERE User = '" + user + "' AND JSON_VALUE(Priv, '$.plugin') = 'ed25519'), '')");
  if (stored.empty()) {
    // CI's server is made by scripts/test-server, which creates the account.
    if (test::RunningInCI()) FAIL() << "the test server has no ed25519 account (CI=true)";
    GTEST_SKIP() << "the test server has no ed25519 account (its auth_ed25519 plugin is missing)";
  }
  // The key the server keeps is the one this client derives from the password.
  EXPECT_EQ(stored, Base64NoPadding(Ed25519PublicKey(pw)));

  for (Via via : {Via::Tcp, Via::Tls, Via::Socket}) {
    auto s = Open(user, pw, via);
    EXPECT_EQ(s->AuthPlugin(), "client_ed25519");
    EXPECT_EQ(Scalar(*s, "SELECT CURRENT_USER()").rfind(user + "@", 0), 0u);
    s->Close();
    EXPECT_EQ(MySqlErrorOf([&] { Open(user, pw + "x", via); }), er::ACCESS_DENIED_ERROR);
  }
  EXPECT_EQ(MySqlErrorOf([&] { Open(user, ""); }), er::ACCESS_DENIED_ERROR);
}

// The first answer made with caching_sha2_password, as a client whose
// server default is that plugin would: the server switches to the plugin
// of the account.
TEST(MySqlAuthServer, AccountsReachedThroughASwitchRequest) {
  LUMO_REQUIRE_SERVER();
  const std::string sha2(authplugin::CachingSha2Password);
  auto native = Open(TestServer().nativeUser, TestServer().nativePassword, Via::Tcp, sha2);
  EXPECT_EQ(native->AuthPlugin(), "mysql_native_password");
  EXPECT_EQ(Scalar(*native, "SELECT CURRENT_USER()").rfind(TestServer().nativeUser + "@", 0), 0u);
  EXPECT_EQ(MySqlErrorOf([&] { Open(TestServer().nativeUser, "wrong", Via::Tcp, sha2); }), er::ACCESS_DENIED_ERROR);

  // The old password: over TLS and the local socket by default, over plain
  // TCP only when allowed; refused everywhere when asked.
  const std::string& oldUser = TestServer().oldUser;
  const std::string& oldPw = TestServer().oldPassword;
  for (Via via : {Via::Tls, Via::Socket}) {
    EXPECT_EQ(Open(oldUser, oldPw, via)->AuthPlugin(), "mysql_old_password");
    EXPECT_EQ(MySqlErrorOf([&] { Open(oldUser, oldPw, via, "", true); }), cr::SECURE_AUTH);
  }
  EXPECT_EQ(MySqlErrorOf([&] { Open(oldUser, oldPw); }), cr::SECURE_AUTH);
  EXPECT_EQ(Open(oldUser, oldPw, Via::Tcp, "", false)->AuthPlugin(), "mysql_old_password");

  // An unknown default plugin stops the connect before anything is sent.
  EXPECT_EQ(MySqlErrorOf([&] { Open(TestServer().nativeUser, TestServer().nativePassword, Via::Tcp, "dialog"); }),
            cr::AUTH_PLUGIN_CANNOT_LOAD);
}

}  // namespace
}  // namespace lumo
