// Fuzzes the parsing of a server greeting and the handshake response built
// from it: any input either parses or raises EMySqlException.
#include <cstddef>
#include <cstdint>

#include "MySqlHandshake.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  try {
    TMySqlGreeting g = ParseGreeting(data, size);
    TMySqlFlagRequest req;
    req.ClientFlag = client::COMPRESS | client::MULTI_STATEMENTS;
    TMySqlHandshakeParams p;
    p.Flags = NegotiateClientFlags(req, g.ServerCapabilities);
    p.ServerCapabilities = g.ServerCapabilities;
    p.ServerVersion = g.ServerVersion;
    p.Charset = "utf8";
    p.User = "fuzz";
    p.Password = "pw";
    p.Database = "db";
    p.Scramble = g.Scramble.data();
    p.HasScramble41 = g.HasScramble41;
    TMySqlByteBuffer out;
    AppendHandshakeResponse(out, p);
  } catch (const EMySqlException&) {
  }
  return 0;
}
