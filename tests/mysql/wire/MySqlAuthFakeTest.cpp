// Logins through authentication plugins against the scripted fake server,
// which plays what MySQL 8 servers send: the whole caching_sha2_password
// exchange (fast path, full authentication over TLS, over the local socket
// and over plain TCP with RSA, the public-key request, a wrong password),
// switch requests with fresh nonces, and hostile or broken exchanges. The
// same scripts are run by the C client library's own plugins, which must
// send the same bytes for the same nonce.
#include <gtest/gtest.h>
#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlSession.h>
#include <lumokit/net/KxVioTcp.h>
#include "support/ErrorCode.h"
#include "support/FakeMySqlServer.h"
#include "support/RsaTestKey.h"

namespace lumo {
namespace {

using test::ErrPacket;
using test::FakeGreeting;
using test::FakeMySqlScript;
using test::FakeMySqlServer;
using test::FakePacket;
using test::OkPacket;

const std::string Password = "s3cr3t-Pa55-longer-than-the-nonce";
const std::string Nonce = "N0nce-of-twenty-byte";     // 20 bytes, from the greeting
const std::string Fresh = "fresh-nonce-of-20-by";     // 20 bytes, from a switch request
const std::string FastAuthOk("\x01\x03", 2), FullAuth("\x01\x04", 2);

using Bytes = std::vector<std::uint8_t>;
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
template <class T>
std::string S(const T& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

FakeGreeting PluginGreeting(const std::string& plugin = "caching_sha2_password", const std::string& nonce = Nonce) {
  FakeGreeting g;
  g.ServerVersion = "8.0.36";
  g.UpperCapabilities = client::PLUGIN_AUTH >> 16;
  g.AuthPlugin = plugin;
  g.Scramble = nonce;
  return g;
}

std::string Switch(const std::string& plugin, const std::string& data) { return "\xFE" + plugin + '\0' + data; }

const std::string Nonce32 = "a nonce of thirty-two bytes here";

// Greeting, response, the switch request, the answer.
FakeMySqlScript SwitchScript(const std::string& greetingPlugin, const std::string& switchRequest) {
  return FakeMySqlScript().Send(PluginGreeting(greetingPlugin).Build()).Receive().Send(switchRequest).Receive();
}

struct Options {
  TMySqlAuthSettings Auth;
  MYSQL_PROTOCOL_TYPE Protocol = MYSQL_PROTOCOL_DEFAULT;
  std::string Socket;
};

std::unique_ptr<TMySqlSession> Connect(const FakeMySqlServer& srv, const Options& o = {},
                                       const std::string& password = Password) {
  auto s = std::make_unique<TMySqlSession>();
  s->connectTimeout = 5;
  s->commandTimeout = 5;
  s->protocolType = o.Protocol;
  s->AuthSettings() = o.Auth;
  const std::string host = o.Socket.empty() ? "127.0.0.1" : "localhost";
  s->Connect(host, "lumo", password, "", srv.Port(), o.Socket, 0);
  return s;
}

using test::MySqlErrorOf;

// The parts of a 4.1 handshake response.
struct Response {
  std::uint32_t Flags = 0;
  std::string User, Token, Plugin;
};

Response ParseResponse(const std::string& payload) {
  TMySqlPacketReader r(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  Response out;
  out.Flags = r.ReadUInt32();
  r.Skip(4 + 1 + 23);
  out.User = r.ReadString();
  const std::size_t n = (out.Flags & (1u << 21)) ? static_cast<std::size_t>(r.ReadFieldLength()) : r.ReadByte();
  out.Token = r.ReadString(n);
  if (out.Flags & client::CONNECT_WITH_DB) r.ReadString();
  if (out.Flags & client::PLUGIN_AUTH) out.Plugin = r.ReadString();
  return out;
}

std::string Unmask(std::string plain, const std::string& nonce) {
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] ^= nonce[i % nonce.size()];
  return plain;
}

bool AnyPacketHolds(const std::vector<FakePacket>& packets, const std::string& secret) {
  for (const auto& p : packets)
    if (p.Payload.find(secret) != std::string::npos) return true;
  return false;
}

// A folder of its own for key files and sockets, removed with the object.
struct TempDir {
  std::string Path;
  TempDir() {
    char t[] = "/tmp/lumo-auth-XXXXXX";
    Path = ::mkdtemp(t) ? t : "";
  }
  ~TempDir() { std::system(("rm -rf '" + Path + "'").c_str()); }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string p = Path + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
};

TEST(MySqlAuthFake, CachingSha2FastPathAndWrongPassword) {
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{
      FakeMySqlScript().Send(PluginGreeting().Build()).Receive().Send(FastAuthOk).Send(OkPacket()),
      FakeMySqlScript().Send(PluginGreeting().Build()).Receive().Send(
          ErrPacket(1045, "28000", "Access denied for user 'lumo'@'localhost' (using password: YES)"))});
  auto s = Connect(srv);
  EXPECT_EQ(s->AuthPlugin(), "caching_sha2_password");
  s->Close();
  std::string msg;
  EXPECT_EQ(MySqlErrorOf([&] { Connect(srv, {}, "wrong"); }, &msg), er::ACCESS_DENIED_ERROR);
  EXPECT_EQ(msg, "\r\n#28000Access denied for user 'lumo'@'localhost' (using password: YES)");
  ASSERT_TRUE(srv.WaitDone(2));
  EXPECT_TRUE(srv.Failures().empty());
  const auto rx = srv.Received(0);
  ASSERT_EQ(rx.size(), 2u);  // the response, then QUIT: nothing else
  const Response r = ParseResponse(rx[0].Payload);
  EXPECT_TRUE(r.Flags & client::PLUGIN_AUTH);
  EXPECT_EQ(r.Plugin, "caching_sha2_password");
  EXPECT_EQ(r.Token, S(CachingSha2Scramble(Password, B(Nonce).data())));
  EXPECT_EQ(ParseResponse(srv.Received(1)[0].Payload).Token, S(CachingSha2Scramble("wrong", B(Nonce).data())));
}

// Full authentication over a secure transport sends the password itself,
// and the packet buffer keeps no copy of it.
TEST(MySqlAuthFake, FullAuthenticationOverTlsAndTheLocalSocket) {
  test::TestPki pki;
  const auto cert = pki.Issue("server", "localhost", "DNS:localhost,IP:127.0.0.1");
  FakeGreeting withTls = PluginGreeting();
  withTls.Capabilities |= client::SSL;
  FakeMySqlServer tls(FakeMySqlScript()
                          .Send(withTls.Build())
                          .Receive()  // the SSL request
                          .StartTls(cert.Cert, cert.Key)
                          .Receive()
                          .Send(FullAuth)
                          .Receive()
                          .Send(OkPacket()));
  Options o;
  o.Protocol = MYSQL_PROTOCOL_SSL;
  auto s = Connect(tls, o);
  // The last packets sent (the response, then the password) were written
  // over the first bytes of the buffer.
  const TMySqlByteBuffer& buffer = s->Net().WriteBuffer();
  ASSERT_GE(buffer.Capacity(), 64u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 64).find(Password.substr(0, 8)),
            std::string::npos);
  s->Close();
  ASSERT_TRUE(tls.WaitDone());
  EXPECT_TRUE(tls.Failures().empty());
  auto rx = tls.Received();
  ASSERT_GE(rx.size(), 3u);
  EXPECT_EQ(rx[2].Seq, 4);
  EXPECT_EQ(rx[2].Payload, Password + '\0');

  TempDir dir;
  const std::string path = dir.Path + "/mysqld.sock";
  FakeMySqlServer local(FakeMySqlScript()
                            .Send(PluginGreeting().Build())
                            .Receive()
                            .Send(FullAuth)
                            .Receive()
                            .Send(OkPacket()),
                        path);
  o = Options();
  o.Protocol = MYSQL_PROTOCOL_SOCKET;
  o.Socket = path;
  Connect(local, o)->Close();
  ASSERT_TRUE(local.WaitDone());
  rx = local.Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[1].Payload, Password + '\0');
}

// Over plain TCP the password is RSA-encrypted with a key from a file or,
// when allowed, from the server; with neither the login fails and the
// password never leaves the client.
TEST(MySqlAuthFake, FullAuthenticationOverPlainTcp) {
  test::RsaTestKey key;
  TempDir dir;
  const std::string keyFile = dir.Write("server-key.pub", key.PublicPem());
  const auto fullAuthScript = [] {
    return FakeMySqlScript().Send(PluginGreeting().Build()).Receive().Send(FullAuth);
  };

  // No key: a clear message, and nothing holds the password.
  FakeMySqlServer none(fullAuthScript().Receive());
  std::string msg;
  EXPECT_EQ(MySqlErrorOf([&] { Connect(none); }, &msg), cr::AUTH_PLUGIN_ERR);
  EXPECT_EQ(msg.rfind("Authentication plugin 'caching_sha2_password' reported error: Authentication requires "
                      "secure connection.", 0),
            0u)
      << msg;
  ASSERT_TRUE(none.WaitDone());
  EXPECT_EQ(none.Received().size(), 1u);
  EXPECT_FALSE(AnyPacketHolds(none.Received(), Password));

  // A key file.
  FakeMySqlServer withFile(fullAuthScript().Receive().Send(OkPacket()));
  Options o;
  o.Auth.ServerPublicKeyFile = keyFile;
  Connect(withFile, o)->Close();
  ASSERT_TRUE(withFile.WaitDone());
  auto rx = withFile.Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[1].Payload.size(), 256u);
  EXPECT_EQ(Unmask(key.Decrypt(rx[1].Payload), Nonce), Password + '\0');

  // The key asked for: 0x02, the server's PEM after 0x01, then the blob.
  FakeMySqlServer asked(fullAuthScript().Receive().Send("\x01" + key.PublicPem()).Receive().Send(OkPacket()));
  o = Options();
  o.Auth.GetServerPublicKey = true;
  Connect(asked, o)->Close();
  ASSERT_TRUE(asked.WaitDone());
  rx = asked.Received();
  ASSERT_GE(rx.size(), 3u);
  EXPECT_EQ(rx[1].Payload, "\x02");
  EXPECT_EQ(Unmask(key.Decrypt(rx[2].Payload), Nonce), Password + '\0');

  // A key file that is not there.
  FakeMySqlServer missing(fullAuthScript().Receive());
  o = Options();
  o.Auth.ServerPublicKeyFile = dir.Path + "/absent.pem";
  EXPECT_EQ(MySqlErrorOf([&] { Connect(missing, o); }, &msg), cr::AUTH_PLUGIN_ERR);
  EXPECT_NE(msg.find("cannot read the server's public key file '" + dir.Path + "/absent.pem'"), std::string::npos);
  EXPECT_FALSE(AnyPacketHolds(missing.Received(), Password));
}

// An application's I/O handler that carries the connection over plain TCP;
// it has no TLS, unless it claims to have it.
class TPlainTcpHandler : public TKxIOHandler {
 public:
  bool ClaimsTls = false;

  std::unique_ptr<TKxIOHandle> Connect(const std::string& server, int port, const std::string&, const std::string&,
                                       const std::string&) override {
    auto h = std::make_unique<THandle>(server, port);
    h->Tcp.Connect();
    return h;
  }
  void Disconnect(TKxIOHandle& h) override { Tcp(h).Close(); }
  std::size_t ReadNoWait(TKxIOHandle& h, void* buffer, std::size_t offset, std::size_t count) override {
    return Tcp(h).ReadNoWait(buffer, offset, count);
  }
  std::size_t Write(TKxIOHandle& h, const void* buffer, std::size_t offset, std::size_t count) override {
    return Tcp(h).Write(buffer, offset, count);
  }
  bool WaitForData(TKxIOHandle& h, int timeout) override { return Tcp(h).WaitForData(timeout); }
  int GetTimeout(TKxIOHandle& h) override { return Tcp(h).GetTimeout(); }
  void SetTimeout(TKxIOHandle& h, int value) override { Tcp(h).SetTimeout(value); }
  bool GetIsSecure(TKxIOHandle&) override { return ClaimsTls; }

 private:
  struct THandle : TKxIOHandle {
    THandle(const std::string& server, int port) : Tcp(server, port) {}
    TKxVioTcp Tcp;
  };
  static TKxVioTcp& Tcp(TKxIOHandle& h) { return static_cast<THandle&>(h).Tcp; }
};

// TLS asked for over an I/O handler that cannot switch: the connect stops
// after the SSL request, before any credential; the plain channel is never
// taken for a secure one that full authentication sends the password over.
TEST(MySqlAuthFake, AHandlerWithoutTlsIsNotASecureTransport) {
  FakeGreeting withTls = PluginGreeting();
  withTls.Capabilities |= client::SSL;
  const auto script = [&] {
    return FakeMySqlScript().Send(withTls.Build()).Receive().Receive().Send(FullAuth).Receive().Send(OkPacket());
  };
  TPlainTcpHandler handler;
  {
    FakeMySqlServer srv(script());
    TMySqlSession s;
    s.connectTimeout = s.commandTimeout = 5;
    s.SetIOHandler(&handler);
    s.protocolType = MYSQL_PROTOCOL_SSL;
    std::string msg;
    EXPECT_EQ(MySqlErrorOf([&] { s.Connect("127.0.0.1", "lumo", Password, "", srv.Port(), "", 0); }, &msg),
              cr::SSL_CONNECTION_ERROR);
    EXPECT_EQ(msg, "SSL connection error\r\nThe I/O handler did not switch the connection to TLS");
    EXPECT_EQ(s.Net().vio(), nullptr);
    ASSERT_TRUE(srv.WaitDone());
    EXPECT_EQ(srv.Received().size(), 1u);  // the SSL request alone
    EXPECT_FALSE(AnyPacketHolds(srv.Received(), Password));
  }
  // A handler that reports its channel secure is trusted with the password.
  handler.ClaimsTls = true;
  FakeMySqlServer srv(script());
  TMySqlSession s;
  s.connectTimeout = s.commandTimeout = 5;
  s.SetIOHandler(&handler);
  s.protocolType = MYSQL_PROTOCOL_SSL;
  s.Connect("127.0.0.1", "lumo", Password, "", srv.Port(), "", 0);
  EXPECT_EQ(s.AuthPlugin(), "caching_sha2_password");
  s.Close();
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
  ASSERT_EQ(srv.Received().size(), 4u);  // the last one is QUIT
  EXPECT_EQ(srv.Received()[2].Payload, Password + '\0');
}

// Each switch request brings its own nonce: the answer is made over it,
// not over the greeting's.
TEST(MySqlAuthFake, SwitchRequestsUseTheirOwnNonce) {
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{
      SwitchScript("mysql_native_password", Switch("caching_sha2_password", Fresh + '\0'))
          .Send(FastAuthOk)
          .Send(OkPacket()),
      SwitchScript("mysql_native_password", Switch("client_ed25519", Nonce32)).Send(OkPacket()),
      SwitchScript("caching_sha2_password", Switch("mysql_native_password", Fresh + '\0')).Send(OkPacket())});
  EXPECT_EQ(Connect(srv)->AuthPlugin(), "caching_sha2_password");
  EXPECT_EQ(Connect(srv)->AuthPlugin(), "client_ed25519");
  EXPECT_EQ(Connect(srv)->AuthPlugin(), "mysql_native_password");
  ASSERT_TRUE(srv.WaitDone(3));
  EXPECT_TRUE(srv.Failures().empty());
  const std::string answers[] = {S(CachingSha2Scramble(Password, B(Fresh).data())),
                                 S(Ed25519Sign(Password, B(Nonce32))), S(Scramble41(Password, B(Fresh).data()))};
  for (int c = 0; c < 3; ++c) {
    const auto rx = srv.Received(c);
    ASSERT_GE(rx.size(), 2u) << c;
    EXPECT_EQ(rx[1].Seq, 3) << c;
    EXPECT_EQ(rx[1].Payload, answers[c]) << c;
  }
  // The native scramble went first where the greeting named that plugin.
  EXPECT_EQ(ParseResponse(srv.Received(0)[0].Payload).Token, S(Scramble41(Password, B(Nonce).data())));
}

// Broken and hostile exchanges end the connect with a clear error at once.
TEST(MySqlAuthFake, BrokenExchangesFailClearly) {
  const auto afterResponse = [](const std::string& reply) { return SwitchScript("mysql_native_password", reply); };
  struct Case {
    FakeMySqlScript Script;
    int Code;
    std::string Message;
    Options Opts;
  };
  Options clearAllowed;
  clearAllowed.Auth.EnableCleartextPlugin = true;
  FakeGreeting longNonce = PluginGreeting("caching_sha2_password", "a nonce of thirty bytes, long!");
  std::vector<Case> cases = {
      {afterResponse(Switch("auth_gssapi_client", "data")), cr::AUTH_PLUGIN_CANNOT_LOAD,
       "Authentication plugin 'auth_gssapi_client' cannot be loaded: this client does not provide it", {}},
      {afterResponse(Switch("mysql_clear_password", "")), cr::AUTH_PLUGIN_CANNOT_LOAD,
       "Authentication plugin 'mysql_clear_password' cannot be loaded: the password would travel in clear: it is "
       "sent only over TLS or the local socket",
       clearAllowed},
      {afterResponse(Switch("caching_sha2_password", Fresh.substr(1))), cr::MALFORMED_PACKET, "Malformed packet", {}},
      {afterResponse(std::string("\xFE" "caching_sha2_password", 22)), cr::MALFORMED_PACKET, "Malformed packet", {}},
      {afterResponse(std::string("\x01\x04", 2)), cr::MALFORMED_PACKET, "Malformed packet", {}},
      {afterResponse(Switch("mysql_native_password", Fresh + '\0'))
           .Send(Switch("mysql_native_password", Fresh + '\0'))
           .Receive(),
       cr::SERVER_HANDSHAKE_ERR,
       "Error in server handshake\r\nThe server asked to switch the authentication method twice", {}},
      {FakeMySqlScript().Send(longNonce.Build()).Receive(), cr::MALFORMED_PACKET, "Malformed packet", {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    FakeMySqlServer srv(cases[i].Script);
    std::unique_ptr<TMySqlSession> s;
    std::string msg;
    EXPECT_EQ(MySqlErrorOf([&] { s = Connect(srv, cases[i].Opts); }, &msg), cases[i].Code) << i;
    EXPECT_EQ(msg, cases[i].Message) << i;
    ASSERT_TRUE(srv.WaitDone()) << i;
    EXPECT_FALSE(AnyPacketHolds(srv.Received(), Password)) << i;
    // The long greeting nonce is refused before anything is sent.
    if (i + 1 == cases.size()) {
      EXPECT_TRUE(srv.Received().empty());
    }
  }
}

// The facade's login options reach the session.
TEST(MySqlAuthFake, FacadeLoginOptions) {
  RegisterMySqlApiDirect();
  TMySQLAPIDirect& api = *MyAPIDirect;
  FakeMySqlServer srv(SwitchScript("caching_sha2_password", FullAuth).Close());
  PMYSQL_CON h = api.mysql_init(nullptr);
  api.mysql_options(h, lumo::MYSQL_OPT_GET_SERVER_PUBLIC_KEY, 1);
  api.mysql_options(h, lumo::MYSQL_DEFAULT_AUTH, std::string("dialog"));
  EXPECT_EQ(api.mysql_real_connect(h, "127.0.0.1", "lumo", Password, "", srv.Port(), "", 0), nullptr);
  EXPECT_EQ(api.mysql_errno(h), static_cast<std::uint32_t>(cr::AUTH_PLUGIN_CANNOT_LOAD));
  EXPECT_EQ(api.mysql_error(h), "Authentication plugin 'dialog' cannot be loaded: this client does not provide it");
  api.mysql_options(h, lumo::MYSQL_DEFAULT_AUTH, std::string());
  EXPECT_EQ(api.mysql_real_connect(h, "127.0.0.1", "lumo", Password, "", srv.Port(), "", 0), nullptr);
  api.mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  const auto rx = srv.Received();
  ASSERT_EQ(rx.size(), 2u);
  EXPECT_EQ(rx[1].Payload, "\x02");  // the key is asked for
}

// ---- the C client library's plugins on the same scripts

struct LibResult {
  unsigned Errno = 0;
  std::string Error;
};

LibResult LibConnect(const FakeMySqlServer& srv, const std::string& keyFile, bool tls) {
  MYSQL* m = ::mysql_init(nullptr);
  if (tls) ::mysql_ssl_set(m, nullptr, nullptr, nullptr, nullptr, nullptr);
  const unsigned timeout = 5;
  ::mysql_options(m, ::MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  ::mysql_options(m, ::MYSQL_OPT_READ_TIMEOUT, &timeout);
  if (!keyFile.empty()) ::mysql_options(m, ::MYSQL_SERVER_PUBLIC_KEY, keyFile.c_str());
  LibResult r;
  if (!::mysql_real_connect(m, "127.0.0.1", "lumo", Password.c_str(), nullptr, static_cast<unsigned>(srv.Port()),
                            nullptr, 0)) {
    r.Errno = ::mysql_errno(m);
    r.Error = ::mysql_error(m);
  }
  ::mysql_close(m);
  return r;
}

TEST(MySqlAuthFake, TheClientLibrarySendsTheSameBytes) {
  test::RsaTestKey key;
  TempDir dir;
  const std::string keyFile = dir.Write("server-key.pub", key.PublicPem());
  test::TestPki pki;
  const auto cert = pki.Issue("server", "localhost", "DNS:localhost,IP:127.0.0.1");
  FakeGreeting withTls = PluginGreeting();
  withTls.Capabilities |= client::SSL;
  // Per client: the fast path, a switch to client_ed25519, full
  // authentication with the key file, and full authentication over TLS.
  const std::vector<FakeMySqlScript> scripts = {
      FakeMySqlScript().Send(PluginGreeting().Build()).Receive().Send(FastAuthOk).Send(OkPacket()),
      SwitchScript("mysql_native_password", Switch("client_ed25519", Nonce32)).Send(OkPacket()),
      FakeMySqlScript().Send(PluginGreeting().Build()).Receive().Send(FullAuth).Receive().Send(OkPacket()),
      FakeMySqlScript()
          .Send(withTls.Build())
          .Receive()
          .StartTls(cert.Cert, cert.Key)
          .Receive()
          .Send(FullAuth)
          .Receive()
          .Send(OkPacket())};
  FakeMySqlServer ours(scripts), lib(scripts);
  Options o;
  o.Auth.ServerPublicKeyFile = keyFile;
  for (int i = 0; i < 4; ++i) {
    o.Protocol = i == 3 ? MYSQL_PROTOCOL_SSL : MYSQL_PROTOCOL_DEFAULT;
    Connect(ours, o)->Close();
  }
  for (int i = 0; i < 4; ++i) {
    const LibResult r = LibConnect(lib, keyFile, i == 3);
    EXPECT_EQ(r.Errno, 0u) << i << ": " << r.Error;
  }
  ASSERT_TRUE(ours.WaitDone(4));
  ASSERT_TRUE(lib.WaitDone(4));
  EXPECT_TRUE(ours.Failures().empty());
  EXPECT_TRUE(lib.Failures().empty());

  const auto tokenOf = [](const FakeMySqlServer& s) { return ParseResponse(s.Received(0).at(0).Payload); };
  EXPECT_EQ(tokenOf(lib).Plugin, "caching_sha2_password");
  EXPECT_EQ(tokenOf(ours).Token, tokenOf(lib).Token);
  EXPECT_EQ(tokenOf(ours).Token, S(CachingSha2Scramble(Password, B(Nonce).data())));
  EXPECT_EQ(ours.Received(1).at(1).Payload, lib.Received(1).at(1).Payload);
  EXPECT_EQ(ours.Received(1).at(1).Payload, S(Ed25519Sign(Password, B(Nonce32))));
  // RSA-OAEP is randomised: the plaintexts are compared.
  EXPECT_EQ(key.Decrypt(ours.Received(2).at(1).Payload), key.Decrypt(lib.Received(2).at(1).Payload));
  EXPECT_EQ(ours.Received(3).at(2).Payload, Password + '\0');
  EXPECT_EQ(lib.Received(3).at(2).Payload, Password + '\0');
}

}  // namespace
}  // namespace lumo
