// Fuzzes the parsing of a server greeting and the handshake response built
// from it, with the first answer of the plugin the greeting names; then the
// same bytes as a reply of a plugin login. Any input either parses or
// raises EMySqlException.
#include <cstddef>
#include <cstdint>

#include <lumokit/mysql/wire/MySqlAuth.h>
#include <lumokit/mysql/wire/MySqlHandshake.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  try {
    TMySqlGreeting g = ParseGreeting(data, size);
    TMySqlFlagRequest req;
    req.ClientFlag = client::COMPRESS | client::MULTI_STATEMENTS;
    TMySqlHandshakeParams p;
    p.Flags = NegotiateClientFlags(req, g.ServerFlags);
    p.ServerCapabilities = g.ServerCapabilities;
    p.ServerVersion = g.ServerVersion;
    p.Charset = "utf8";
    p.User = "fuzz";
    p.Password = "pw";
    p.Database = "db";
    p.Scramble = g.Scramble.data();
    p.HasScramble41 = g.HasScramble41;
    TMySqlAuthContext auth;
    auth.Password = "pw";
    TSecureBytes answer;
    if (p.Flags & client::PLUGIN_AUTH) {
      auto plugin = CreateAuthPlugin(g.AuthPluginName, auth);
      answer = plugin->Start(g.AuthPluginData);
      p.AuthPlugin = plugin->Name();
      p.AuthResponse = answer.view();
    }
    TMySqlByteBuffer out;
    AppendHandshakeResponse(out, p);
  } catch (const EMySqlException&) {
  }
  try {
    if (ClassifyPluginAuthReply(data, size) == TPluginAuthReply::parSwitch) {
      TMySqlAuthContext auth;
      auth.Password = "pw";
      const TMySqlAuthSwitch sw = ParseAuthSwitch(data, size);
      CreateAuthPlugin(sw.Plugin, auth)->Start(sw.Data);
    }
  } catch (const EMySqlException&) {
  }
  return 0;
}
