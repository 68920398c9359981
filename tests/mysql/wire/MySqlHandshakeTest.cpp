// The handshake as pure functions: greeting parsing (every truncation),
// flag negotiation, response layouts, password tokens and the
// classification of authentication replies.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlHandshake.h>

namespace lumo {
namespace {

using Bytes = std::vector<std::uint8_t>;

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EMySqlException& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

void Append(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// A 4.1 greeting as current servers send it; `scramble` holds 20 bytes.
Bytes Greeting41(std::uint16_t caps, const std::string& scramble) {
  Bytes g = {10};
  Append(g, "5.5.5-10.11.6-MariaDB");
  g.push_back(0);
  Append(g, std::string("\x2a\x00\x00\x00", 4));  // thread id 42
  Append(g, scramble.substr(0, 8));
  g.push_back(0);  // filler
  g.push_back(static_cast<std::uint8_t>(caps));
  g.push_back(static_cast<std::uint8_t>(caps >> 8));
  g.push_back(45);                 // language
  Append(g, std::string("\x02\x00", 2));  // status
  Append(g, std::string("\xff\x81", 2));  // upper capability bytes
  g.push_back(21);                 // auth data length
  g.insert(g.end(), 10, 0);        // reserved
  Append(g, scramble.substr(8, 12));
  g.push_back(0);
  Append(g, "mysql_native_password");
  g.push_back(0);
  return g;
}

const std::string Scramble = "ABCDEFGHIJKLMNOPQRST";

TEST(MySqlHandshake, ParsesA41Greeting) {
  Bytes g = Greeting41(0xF7FE, Scramble);
  auto gr = ParseGreeting(g.data(), g.size());
  EXPECT_EQ(gr.ProtocolVersion, 10);
  EXPECT_EQ(gr.ServerVersion, "5.5.5-10.11.6-MariaDB");
  EXPECT_EQ(gr.ThreadId, 42);
  EXPECT_EQ(gr.ServerCapabilities, 0xF7FE);
  EXPECT_TRUE(gr.HasLanguage);
  EXPECT_EQ(gr.ServerLanguage, 45);
  EXPECT_EQ(gr.ServerStatus, 2);
  EXPECT_TRUE(gr.HasScramble41);
  EXPECT_EQ(std::string(gr.Scramble.begin(), gr.Scramble.end()), Scramble);
  // The upper capability bytes name plugins; the nonce lacks the zero byte.
  EXPECT_EQ(gr.ServerFlags, 0x81FFF7FEu);
  EXPECT_EQ(gr.AuthPluginName, "mysql_native_password");
  EXPECT_EQ(std::string(gr.AuthPluginData.begin(), gr.AuthPluginData.end()), Scramble);

  // A length byte for a longer nonce moves the plugin name behind it.
  Bytes g32 = Greeting41(0xF7FE, "0123456789abcdefghijklmnopqrstuv");
  const std::size_t p = 1 + 22 + 4 + 8;
  g32[p + 8] = 33;
  g32.insert(g32.begin() + static_cast<std::ptrdiff_t>(p + 19 + 12), {'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's',
                                                                     't', 'u', 'v'});
  gr = ParseGreeting(g32.data(), g32.size());
  EXPECT_EQ(std::string(gr.AuthPluginData.begin(), gr.AuthPluginData.end()), "0123456789abcdefghijklmnopqrstuv");
  EXPECT_EQ(gr.AuthPluginName, "mysql_native_password");
}

TEST(MySqlHandshake, EveryTruncatedGreetingIsSafe) {
  Bytes g = Greeting41(0xF7FE, Scramble);
  const std::size_t p = 1 + 22 + 4 + 8;  // the filler byte
  for (std::size_t n = 0; n <= g.size(); ++n) {
    Bytes cut(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(n));
    int code = 0;
    TMySqlGreeting gr;
    try {
      gr = ParseGreeting(cut.data(), cut.size());
    } catch (const EMySqlException& e) {
      code = e.ErrorCode();
    }
    if (n < p) {
      EXPECT_EQ(code, cr::MALFORMED_PACKET) << n;
      continue;
    }
    ASSERT_EQ(code, 0) << n;
    EXPECT_EQ(gr.ServerCapabilities != 0, n > p + 2) << n;
    EXPECT_EQ(gr.HasLanguage, n >= p + 18) << n;
    // The 12 further scramble bytes end at p+30: they count only when all
    // are there.
    EXPECT_EQ(gr.HasScramble41, n >= p + 31) << n;
    // Plugins are named only when the name has begun after the 13-byte part.
    EXPECT_EQ((gr.ServerFlags & client::PLUGIN_AUTH) != 0, n > p + 32) << n;
    EXPECT_EQ(gr.AuthPluginData.size(), n > p + 32 ? 20u : 0u) << n;
  }
}

TEST(MySqlHandshake, OldServersAndWrongProtocol) {
  // A 4.0 greeting: 16-bit capabilities without PROTOCOL_41, 13 filler bytes
  // and no second scramble part.
  Bytes g = {10};
  Append(g, "4.0.27-log");
  g.push_back(0);
  Append(g, std::string("\x07\x00\x00\x00", 4));
  Append(g, "abcdefgh");
  g.push_back(0);
  Append(g, std::string("\x2c\x20", 2));  // LONG_FLAG|CONNECT_WITH_DB|COMPRESS|TRANSACTIONS
  g.push_back(8);
  Append(g, std::string("\x02\x00", 2));
  g.insert(g.end(), 13, 0);
  auto gr = ParseGreeting(g.data(), g.size());
  EXPECT_EQ(gr.ServerVersion, "4.0.27-log");
  EXPECT_EQ(gr.ServerCapabilities, 0x202C);
  EXPECT_FALSE(gr.HasScramble41);

  Bytes v9 = {9, '3', '.', '2', '2', 0};
  try {
    ParseGreeting(v9.data(), v9.size());
    FAIL();
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), cr::VERSION_ERROR);
    EXPECT_EQ(e.Message(), "Protocol mismatch. Server Version = 9 Client Version = 10");
  }
}

TEST(MySqlHandshake, VersionsAndCharsets) {
  EXPECT_TRUE(ServerVersionAtLeast("5.5.5-10.11.6-MariaDB", 5, 5, 3));
  EXPECT_TRUE(ServerVersionAtLeast("10.0.0", 5, 5, 3));
  EXPECT_FALSE(ServerVersionAtLeast("5.5.2", 5, 5, 3));
  EXPECT_FALSE(ServerVersionAtLeast("4.1.22-log", 5, 5, 3));
  EXPECT_FALSE(ServerVersionAtLeast("", 5, 5, 3));
  EXPECT_EQ(HandshakeCharsetNumber("utf8", "10.11.6-MariaDB"), 45);
  EXPECT_EQ(HandshakeCharsetNumber("utf8", "5.0.96"), 33);
  EXPECT_EQ(HandshakeCharsetNumber("latin1", "10.11.6-MariaDB"), 8);
  EXPECT_EQ(HandshakeCharsetNumber("", "10.11.6-MariaDB"), 8);
}

TEST(MySqlHandshake, FlagNegotiation) {
  const std::int32_t modern = 0xF7FE;  // no CLIENT_SSL
  TMySqlFlagRequest req;
  req.ClientFlag = client::MULTI_STATEMENTS | client::COMPRESS | client::FOUND_ROWS;
  std::uint32_t f = NegotiateClientFlags(req, modern);
  EXPECT_TRUE(f & client::MULTI_RESULTS);
  EXPECT_TRUE(f & client::COMPRESS);
  EXPECT_TRUE(f & client::FOUND_ROWS);
  EXPECT_TRUE(f & client::CONNECT_WITH_DB);
  EXPECT_TRUE(f & client::LOCAL_FILES);
  EXPECT_FALSE(f & client::SSL);
  EXPECT_EQ(f & client::CAPABILITIES, static_cast<std::uint32_t>(client::CAPABILITIES));
  // Multi statements only when asked for; multi results always, for
  // prepared statements too (a prepared CALL returning result sets).
  req.ClientFlag = client::FOUND_ROWS;
  f = NegotiateClientFlags(req, modern);
  EXPECT_FALSE(f & client::MULTI_STATEMENTS);
  EXPECT_TRUE(f & client::MULTI_RESULTS);
  EXPECT_TRUE(f & client::PS_MULTI_RESULTS);
  req.SessionFlags = client::MULTI_STATEMENTS;
  EXPECT_TRUE(NegotiateClientFlags(req, modern) & client::MULTI_STATEMENTS);
  req.SessionFlags = 0;
  req.ClientFlag = client::MULTI_STATEMENTS | client::COMPRESS | client::FOUND_ROWS;

  // Flags the server lacks are dropped.
  f = NegotiateClientFlags(req, 0x202C);
  EXPECT_FALSE(f & client::PROTOCOL_41);
  EXPECT_TRUE(f & client::COMPRESS);
  req.LocalInfile = false;
  EXPECT_FALSE(NegotiateClientFlags(req, modern) & client::LOCAL_FILES);

  // TLS asked for: kept when offered over a transport that can switch, a
  // failure before anything is sent when not offered or when the transport
  // cannot switch.
  TMySqlFlagRequest ssl;
  ssl.UseSsl = true;
  ssl.CanSwitchTls = true;
  EXPECT_TRUE(NegotiateClientFlags(ssl, modern | client::SSL) & client::SSL);
  EXPECT_EQ(CodeOf([&] { NegotiateClientFlags(ssl, modern); }), cr::SSL_CONNECTION_ERROR);
  TMySqlFlagRequest sslFlag;
  sslFlag.ClientFlag = client::SSL;
  sslFlag.CanSwitchTls = true;
  EXPECT_EQ(CodeOf([&] { NegotiateClientFlags(sslFlag, modern); }), cr::SSL_CONNECTION_ERROR);
  sslFlag.CanSwitchTls = false;
  EXPECT_EQ(CodeOf([&] { NegotiateClientFlags(sslFlag, modern | client::SSL); }), cr::SSL_CONNECTION_ERROR);
  // A transport that could switch gets no SSL flag unless TLS is asked for.
  TMySqlFlagRequest plain;
  plain.CanSwitchTls = true;
  EXPECT_FALSE(NegotiateClientFlags(plain, modern | client::SSL) & client::SSL);

  // Plugin names only with a 4.1 server that announces them.
  const std::uint32_t plugins = 0xF7FEu | client::PLUGIN_AUTH;
  EXPECT_TRUE(NegotiateClientFlags(plain, plugins) & client::PLUGIN_AUTH);
  EXPECT_FALSE(NegotiateClientFlags(plain, modern) & client::PLUGIN_AUTH);
  EXPECT_FALSE(NegotiateClientFlags(plain, plugins & ~std::uint32_t{client::SECURE_CONNECTION}) & client::PLUGIN_AUTH);
  EXPECT_FALSE(NegotiateClientFlags(plain, plugins) & client::PLUGIN_AUTH_LENENC_CLIENT_DATA);
  EXPECT_TRUE(NegotiateClientFlags(plain, plugins | client::PLUGIN_AUTH_LENENC_CLIENT_DATA) &
              client::PLUGIN_AUTH_LENENC_CLIENT_DATA);
  plain.ClientFlag = client::PLUGIN_AUTH | client::PLUGIN_AUTH_LENENC_CLIENT_DATA;
  EXPECT_EQ(NegotiateClientFlags(plain, plugins & ~std::uint32_t{client::PROTOCOL_41}) &
                (client::PLUGIN_AUTH | client::PLUGIN_AUTH_LENENC_CLIENT_DATA),
            0u);
}

TMySqlHandshakeParams Params(std::uint32_t flags, std::int32_t serverCaps, const std::string& scramble,
                             bool has41) {
  TMySqlHandshakeParams p;
  p.Flags = flags;
  p.ServerCapabilities = serverCaps;
  p.ServerVersion = "10.11.6-MariaDB";
  p.Charset = "utf8";
  p.User = "lumo";
  p.Password = "secret";
  p.Database = "vexa";
  p.Scramble = reinterpret_cast<const std::uint8_t*>(scramble.data());
  p.HasScramble41 = has41;
  return p;
}

TEST(MySqlHandshake, ResponseLayouts) {
  const std::uint32_t f = client::CAPABILITIES | client::CONNECT_WITH_DB;
  auto p = Params(f, 0xF7FE, Scramble, true);
  TMySqlByteBuffer out;
  AppendHandshakeResponse(out, p);
  TMySqlPacketReader r(out.Data(), out.Length());
  EXPECT_EQ(r.ReadUInt32(), f);
  EXPECT_EQ(r.ReadUInt32(), MaxAllowedPacket);
  EXPECT_EQ(r.ReadByte(), 45);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(r.ReadByte(), 0);
  EXPECT_EQ(r.ReadString(), "lumo");
  EXPECT_EQ(r.ReadByte(), 20);
  auto token = Scramble41("secret", p.Scramble);
  Bytes sent(20);
  r.ReadBytes(sent.data(), 20);
  EXPECT_EQ(sent, Bytes(token.begin(), token.end()));
  EXPECT_EQ(r.ReadString(), "vexa");
  EXPECT_TRUE(r.AtEnd());

  // The TLS request is the fixed prefix alone, and the response sent under
  // TLS repeats it whole.
  TMySqlByteBuffer sslReq, sslResp;
  AppendSslRequest(sslReq, Params(f | client::SSL, 0xFFFE, Scramble, true));
  AppendHandshakeResponse(sslResp, Params(f | client::SSL, 0xFFFE, Scramble, true));
  ASSERT_EQ(sslReq.Length(), 32u);
  EXPECT_EQ(Bytes(sslReq.Data(), sslReq.Data() + 32), Bytes(sslResp.Data(), sslResp.Data() + 32));
  EXPECT_EQ(sslReq.Data()[1] & (client::SSL >> 8), client::SSL >> 8);

  // 4.0 server: 2-byte flags, a 3-byte zero size, the pre-4.1 token, no
  // database when the server does not take one.
  auto old = Params(f & ~static_cast<std::uint32_t>(client::PROTOCOL_41), client::LONG_PASSWORD, Scramble, false);
  TMySqlByteBuffer o;
  AppendHandshakeResponse(o, old);
  auto t323 = Scramble323("secret", old.Scramble);
  Bytes expected = {static_cast<std::uint8_t>(old.Flags), static_cast<std::uint8_t>(old.Flags >> 8), 0, 0, 0};
  Append(expected, "lumo");
  expected.push_back(0);
  expected.insert(expected.end(), t323.begin(), t323.end());
  expected.push_back(0);
  EXPECT_EQ(Bytes(o.Data(), o.Data() + o.Length()), expected);

  // Secure connection without the 20-byte scramble; empty password.
  TMySqlByteBuffer x;
  auto nox = Params(f, client::SECURE_CONNECTION | client::PROTOCOL_41, Scramble, false);
  AppendHandshakeResponse(x, nox);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(x.Data()) + 32, x.Length() - 32),
            std::string("lumo\0xxxxxxxx\0", 14));
  TMySqlByteBuffer e;
  nox.Password = "";
  nox.User = "";
  AppendHandshakeResponse(e, nox);
  EXPECT_EQ(e.Length(), 34u);

  // With plugin names: the plugin's answer stands for the token, the plugin
  // name follows the database.
  auto withPlugin = Params(f | client::PLUGIN_AUTH, 0xF7FE, Scramble, true);
  const std::string answer(32, '\x9C');
  withPlugin.AuthPlugin = "caching_sha2_password";
  withPlugin.AuthResponse = answer;
  TMySqlByteBuffer pa;
  AppendHandshakeResponse(pa, withPlugin);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pa.Data()) + 32, pa.Length() - 32),
            std::string("lumo\0\x20", 6) + answer + std::string("vexa\0caching_sha2_password\0", 27));
  // A clear password longer than 255 bytes: length-encoded where the server
  // takes it, else refused.
  const std::string longAnswer(300, 'p');
  withPlugin.AuthPlugin = "mysql_clear_password";
  withPlugin.AuthResponse = longAnswer;
  EXPECT_EQ(CodeOf([&] {
              TMySqlByteBuffer refused;
              AppendHandshakeResponse(refused, withPlugin);
            }),
            cr::AUTH_PLUGIN_ERR);
  withPlugin.Flags |= client::PLUGIN_AUTH_LENENC_CLIENT_DATA;
  TMySqlByteBuffer lenenc;
  AppendHandshakeResponse(lenenc, withPlugin);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(lenenc.Data()) + 37, 3), "\xFC\x2C\x01");
}

TEST(MySqlHandshake, PasswordTokens) {
  auto abc = Sha1("abc");
  EXPECT_EQ(Hex(abc.data(), abc.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1("ab", "c"), abc);

  // The server keeps SHA1(SHA1(password)) and accepts a token t when
  // SHA1(t XOR SHA1(scramble + stored)) equals the stored hash.
  const std::string pw = "password";
  auto stage1 = Sha1(pw);
  auto stored = Sha1(std::string_view(reinterpret_cast<const char*>(stage1.data()), 20));
  EXPECT_EQ(Hex(stored.data(), 20), "2470c0c06dee42fd1618bb99005adca2ec9d1e19");
  auto token = Scramble41(pw, reinterpret_cast<const std::uint8_t*>(Scramble.data()));
  auto mix = Sha1(Scramble, std::string_view(reinterpret_cast<const char*>(stored.data()), 20));
  for (int i = 0; i < 20; ++i) mix[i] ^= token[i];
  EXPECT_EQ(Sha1(std::string_view(reinterpret_cast<const char*>(mix.data()), 20)), stored);

  // The pre-4.1 hash printed in hex is the server's old password hash.
  auto h = HashPassword323("password");
  char buf[17];
  std::snprintf(buf, sizeof buf, "%08x%08x", h[0], h[1]);
  EXPECT_STREQ(buf, "5d2e19393cc5ef67");
  // Spaces and tabs do not count.
  EXPECT_EQ(HashPassword323("pass word\t"), HashPassword323("password"));

  // Every byte of the pre-4.1 token is a letter-range value XOR a 5-bit
  // mask; the token depends on the scramble.
  auto t1 = Scramble323("old-pass", reinterpret_cast<const std::uint8_t*>("abcdefgh"));
  auto t2 = Scramble323("old-pass", reinterpret_cast<const std::uint8_t*>("abcdefgi"));
  EXPECT_NE(t1, t2);
  for (auto b : t1) EXPECT_TRUE(b >= 64 - 31 && b < 128) << int(b);
}

TEST(MySqlHandshake, AuthReplies) {
  Bytes fe = {0xFE};
  EXPECT_EQ(ClassifyAuthReply(fe.data(), 1, true), TAuthReply::arOldPassword);
  EXPECT_EQ(CodeOf([&] { ClassifyAuthReply(fe.data(), 1, false); }), cr::SERVER_HANDSHAKE_ERR);
  Bytes ok = {0, 0, 0, 2, 0, 0, 0};
  EXPECT_EQ(ClassifyAuthReply(ok.data(), ok.size(), true), TAuthReply::arOk);
  Bytes r24(24, 'z');
  EXPECT_EQ(ClassifyAuthReply(r24.data(), 24, true), TAuthReply::arExchange410);
  r24[0] = '*';
  EXPECT_EQ(ClassifyAuthReply(r24.data(), 24, true), TAuthReply::arExchange410Old);
  EXPECT_EQ(CodeOf([&] { ClassifyAuthReply(r24.data(), 23, true); }), cr::SERVER_HANDSHAKE_ERR);
  EXPECT_EQ(CodeOf([&] { ClassifyAuthReply(ok.data(), 0, true); }), cr::MALFORMED_PACKET);
  // An auth-switch request of a newer server is not an OK packet.
  Bytes sw = {0xFE, 'm', 'y', 0};
  EXPECT_EQ(CodeOf([&] { ClassifyAuthReply(sw.data(), sw.size(), true); }), cr::SERVER_HANDSHAKE_ERR);

  // Replies of a plugin login, and switch requests.
  EXPECT_EQ(ClassifyPluginAuthReply(ok.data(), ok.size()), TPluginAuthReply::parOk);
  EXPECT_EQ(ClassifyPluginAuthReply(fe.data(), 1), TPluginAuthReply::parOldSwitch);
  EXPECT_EQ(ClassifyPluginAuthReply(sw.data(), sw.size()), TPluginAuthReply::parSwitch);
  Bytes more = {0x01, 0x04};
  EXPECT_EQ(ClassifyPluginAuthReply(more.data(), more.size()), TPluginAuthReply::parMoreData);
  EXPECT_EQ(CodeOf([&] { ClassifyPluginAuthReply(r24.data(), 24); }), cr::SERVER_HANDSHAKE_ERR);
  EXPECT_EQ(CodeOf([&] { ClassifyPluginAuthReply(ok.data(), 0); }), cr::MALFORMED_PACKET);
  const auto parsed = ParseAuthSwitch(sw.data(), sw.size());
  EXPECT_EQ(parsed.Plugin, "my");
  EXPECT_TRUE(parsed.Data.empty());
  Bytes withData = {0xFE, 'p', 0, 1, 2, 0};
  EXPECT_EQ(Bytes(ParseAuthSwitch(withData.data(), withData.size()).Data.begin(),
                  ParseAuthSwitch(withData.data(), withData.size()).Data.end()),
            Bytes({1, 2, 0}));
  for (const Bytes& bad : {Bytes{0xFE, 'p'}, Bytes{0xFE, 0, 1}, Bytes{0xFE}})
    EXPECT_EQ(CodeOf([&] { ParseAuthSwitch(bad.data(), bad.size()); }), cr::MALFORMED_PACKET) << bad.size();

  auto o = ParseAuthOk(ok.data(), ok.size(), true, true);
  EXPECT_EQ(o.ServerStatus, 2);
  EXPECT_EQ(CodeOf([&] { ParseAuthOk(ok.data(), 3, true, true); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(CodeOf([&] { ParseAuthOk(fe.data(), 1, true, true); }), cr::SERVER_HANDSHAKE_ERR);

  // The 4.1.0 exchange: the answer XOR H1 gives back reply[4..23] XOR H2.
  Bytes reply(24);
  for (int i = 0; i < 24; ++i) reply[i] = static_cast<std::uint8_t>(i * 7 + 1);
  auto answer = Answer410("se cret", reply.data());
  auto h1 = Sha1("secret");
  auto h2 = Sha1(std::string_view(reinterpret_cast<const char*>(reply.data()), 4),
                 std::string_view(reinterpret_cast<const char*>(h1.data()), 20));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(answer[i] ^ h1[i], reply[4 + i] ^ h2[i]);
}

}  // namespace
}  // namespace lumo
