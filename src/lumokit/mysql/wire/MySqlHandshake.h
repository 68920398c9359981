// The handshake of the MySQL protocol as pure functions over payloads: parsing
// the server greeting, choosing the capability flags, building the TLS
// request and the handshake response, and classifying the server's replies
// during authentication. The session (MySqlSession) drives them over its
// packet layer; tests and fuzz targets call them on byte buffers.
//
// Decisions:
// - Character set: the session's charset "utf8" (or "utf8mb4") asks for
//   utf8mb4 (45) where the server has it (version 5.5.3 or later), else for
//   utf8 (33); every other name asks for latin1 (8).
// - The TLS request is the 32-byte fixed prefix of the 4.1 response (the
//   2+3-byte prefix before 4.1), and the response sent under TLS repeats the
//   full prefix with the real flags: that is what servers parse.
// - A server that does not offer TLS to a client that asked for it fails the
//   connect with 2026 before any credential is sent.
// - The greeting's 12 further scramble bytes are taken only when the payload
//   holds at least p + 31 bytes (p: the filler byte after the first 8
//   scramble bytes): they lie at p + 19 to p + 30, so a bound of p + 30
//   would read one byte past a greeting cut short there. Such a greeting
//   counts as one without the 20-byte scramble.
// - Multi-statement texts are allowed only when the caller asks for them
//   (MULTI_STATEMENTS in the connect flags), as with the C client library:
//   a text that stacks a second statement behind an injected quote is then
//   refused by the server. The flags always sent are CAPABILITIES without
//   MULTI_STATEMENTS; MULTI_RESULTS stays, so stored procedures can return
//   result sets, and PS_MULTI_RESULTS is added, so they can through prepared
//   statements too (MariaDB refuses a prepared CALL that returns result sets
//   otherwise). The MySQL provider asks for multi statements by default
//   (its batches and the read-back of output parameters need them).
// - Authentication plugins are named (PLUGIN_AUTH) only with servers that
//   announce them together with PROTOCOL_41 and SECURE_CONNECTION, and
//   only when the greeting's plugin part is whole (a greeting cut short
//   counts as one without it). The token then goes with a one-byte length
//   (length-encoded where the server takes that, PLUGIN_AUTH_LENENC_CLIENT_
//   DATA; a longer answer for a server that does not raises 2061), followed
//   by the database and the plugin's name. The greeting's nonce
//   is its 8 + 12 (or more, as its length byte says) bytes without the
//   closing zero byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/mysql/wire/MySqlPacket.h>
#include <lumokit/mysql/wire/MySqlSha1.h>

namespace lumo {

constexpr int MYSQL_DEFAULT_PORT = 3306;      // MYSQL_PORT
constexpr int MYSQL_PROTOCOL_VERSION = 10;    // PROTOCOL_VERSION

struct TMySqlGreeting {
  int ProtocolVersion = 0;
  std::string ServerVersion;
  std::int32_t ThreadId = 0;
  std::array<std::uint8_t, Scramble41Length> Scramble{};  // bytes 8..19 only with HasScramble41
  bool HasScramble41 = false;
  std::int32_t ServerCapabilities = 0;  // the 16 bits the greeting carries
  // All 32 capability bits: the upper 16 come from the 4.1 part. PLUGIN_AUTH
  // is cleared when the plugin part is not whole.
  std::uint32_t ServerFlags = 0;
  // With PLUGIN_AUTH: the plugin the server named and its nonce.
  std::string AuthPluginName;
  std::vector<std::uint8_t> AuthPluginData;
  bool HasLanguage = false;
  std::int32_t ServerLanguage = 0;
  std::int32_t ServerStatus = 0;
};

// Parses the greeting. A protocol version other than 10 raises 2007 with
// (version, 10); data that ends before the scramble, or a 4.1 part that is
// cut short, leaves the optional fields unset; a greeting too short for the
// version, thread id and first 8 scramble bytes raises 2027.
TMySqlGreeting ParseGreeting(const std::uint8_t* payload, std::size_t length);

// True when the version text ("5.5.5-10.11.6-MariaDB", "4.0.27-log") is at
// least major.minor.patch.
bool ServerVersionAtLeast(std::string_view version, int major, int minor, int patch);

// The character-set byte of the 4.1 response.
std::uint8_t HandshakeCharsetNumber(std::string_view charset, std::string_view serverVersion);
// The name of that character set: "utf8mb4", "utf8" or "latin1".
std::string_view HandshakeCharsetName(std::string_view charset, std::string_view serverVersion);

struct TMySqlFlagRequest {
  std::uint32_t SessionFlags = 0;  // extra flags set on the session before connecting
  std::uint32_t ClientFlag = 0;    // flags passed to Connect
  bool UseSsl = false;             // the session is configured for TLS
  bool LocalInfile = true;         // LOAD DATA LOCAL INFILE allowed
  bool CanSwitchTls = false;       // the transport can switch to TLS
};

// The flags sent whatever the caller asks for: CAPABILITIES but
// MULTI_STATEMENTS, and PS_MULTI_RESULTS.
constexpr std::uint32_t DefaultClientFlags =
    (client::CAPABILITIES & ~std::uint32_t{client::MULTI_STATEMENTS}) | client::PS_MULTI_RESULTS;

// The capability flags to send: the caller's flags, DefaultClientFlags and
// CONNECT_WITH_DB (MULTI_RESULTS with MULTI_STATEMENTS); COMPRESS and
// PROTOCOL_41 only when the server announced them; SSL exactly when TLS was
// asked for (UseSsl or the SSL flag) and the server announced it;
// LOCAL_FILES only when local files are allowed; PLUGIN_AUTH when the
// server announced it with PROTOCOL_41 and SECURE_CONNECTION (the upper
// bits of serverFlags), with PLUGIN_AUTH_LENENC_CLIENT_DATA when announced
// too; SESSION_TRACK when the server announced it with PROTOCOL_41 (its
// OK packets then report a change of schema). TLS asked for over a
// transport that cannot switch, or not offered by the server, raises 2026.
std::uint32_t NegotiateClientFlags(const TMySqlFlagRequest& request, std::uint32_t serverFlags);

struct TMySqlHandshakeParams {
  std::uint32_t Flags = 0;         // result of NegotiateClientFlags
  std::int32_t ServerCapabilities = 0;
  std::string_view ServerVersion;
  std::string_view Charset;
  std::string_view User;
  std::string_view Password;
  std::string_view Database;
  const std::uint8_t* Scramble = nullptr;  // 20 bytes (only 8 valid without HasScramble41)
  bool HasScramble41 = false;
  // With PLUGIN_AUTH in Flags: the plugin's name and its first answer,
  // which replace the token computed from Password.
  std::string_view AuthPlugin;
  std::string_view AuthResponse;
};

// Appends the fixed prefix: with PROTOCOL_41 the flags (4 bytes),
// MaxAllowedPacket (4 bytes), the character-set byte and 23 zero bytes;
// without it the flags (2 bytes) and 3 zero bytes.
void AppendHandshakePrefix(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p);

// Appends the SSL request: the fixed prefix, whose flags hold SSL (32
// bytes with PROTOCOL_41). The TLS handshake follows it.
void AppendSslRequest(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p);

// Appends the whole handshake response: prefix, user, password token and
// (when the server takes it) the database; with PLUGIN_AUTH the plugin's
// answer stands for the token and its name follows.
void AppendHandshakeResponse(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p);

// Appends the pre-4.1 token over the first 8 scramble bytes and a zero byte
// (one zero byte for an empty password).
void AppendScramble323(TMySqlByteBuffer& out, std::string_view password, const std::uint8_t* scramble8);

enum class TAuthReply {
  arOk,             // OK packet
  arOldPassword,    // single byte 0xFE: send the pre-4.1 token
  arExchange410,    // 24 bytes, first not 0 and not '*'
  arExchange410Old  // 24 bytes beginning with '*': new scramble, pre-4.1 token
};

// Classifies the first reply to the handshake response (error packets are
// raised before). An empty reply raises 2027, anything not listed raises
// 2012; the old-password and 4.1.0 forms are recognised only when the server
// announced SECURE_CONNECTION.
TAuthReply ClassifyAuthReply(const std::uint8_t* payload, std::size_t length, bool secureConnection);

// The replies during a login with authentication plugins.
enum class TPluginAuthReply {
  parOk,         // OK packet
  parMoreData,   // 0x01 and data for the current plugin
  parSwitch,     // 0xFE, a plugin name and its nonce
  parOldSwitch,  // the single byte 0xFE: the pre-4.1 token
};

// Classifies a reply of a plugin login (error packets are raised before);
// an empty reply raises 2027, any other first byte 2012.
TPluginAuthReply ClassifyPluginAuthReply(const std::uint8_t* payload, std::size_t length);

struct TMySqlAuthSwitch {
  std::string Plugin;
  std::span<const std::uint8_t> Data;  // inside the payload
};

// Parses a switch request (0xFE, the zero-terminated plugin name, the
// plugin's data); a name without its zero byte or an empty name raises
// 2027.
TMySqlAuthSwitch ParseAuthSwitch(const std::uint8_t* payload, std::size_t length);

// Checks the final reply of the authentication: an OK packet, parsed for its
// status (see ParseOkPacket); anything else raises 2027 (empty) or 2012.
TMySqlOkPacket ParseAuthOk(const std::uint8_t* payload, std::size_t length, bool protocol41, bool transactions,
                           bool sessionTrack = false);

}  // namespace lumo
