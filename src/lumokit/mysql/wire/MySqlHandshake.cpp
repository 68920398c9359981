#include <lumokit/mysql/wire/MySqlHandshake.h>

#include <cctype>
#include <cstring>

namespace lumo {

TMySqlGreeting ParseGreeting(const std::uint8_t* payload, std::size_t length) {
  TMySqlPacketReader r(payload, length);
  TMySqlGreeting g;
  g.ProtocolVersion = r.ReadByte();
  if (g.ProtocolVersion != MYSQL_PROTOCOL_VERSION)
    throw EMySqlException(cr::VERSION_ERROR, "", {g.ProtocolVersion, MYSQL_PROTOCOL_VERSION});
  g.ServerVersion = r.ReadString();
  g.ThreadId = r.ReadInt32();
  r.ReadBytes(g.Scramble.data(), ScrambleLength);
  // p: the filler byte after the first 8 scramble bytes.
  const std::size_t p = r.Position();
  if (length > p + 2) {
    r.SetPosition(p + 1);
    g.ServerCapabilities = r.ReadUInt16();
  }
  std::size_t authDataLength = 0;
  g.ServerFlags = static_cast<std::uint16_t>(g.ServerCapabilities);
  if (length >= p + 18) {
    g.HasLanguage = true;
    g.ServerLanguage = r.ReadByte();
    g.ServerStatus = r.ReadInt16();
    g.ServerFlags |= static_cast<std::uint32_t>(r.ReadUInt16()) << 16;
    authDataLength = r.ReadByte();
  }
  // The 12 further scramble bytes lie at p+19..p+30.
  if (length >= p + 31) {
    r.SetPosition(p + 19);
    r.ReadBytes(g.Scramble.data() + ScrambleLength, Scramble41Length - ScrambleLength);
    g.HasScramble41 = true;
  }
  // The plugin part: the second part of the nonce (its length byte counts
  // both parts and the closing zero byte; at least 13 bytes), then the name.
  const std::size_t part2 = authDataLength > ScrambleLength + 13 ? authDataLength - ScrambleLength : 13;
  if (g.HasScramble41 && (g.ServerFlags & client::PLUGIN_AUTH) && length > p + 19 + part2) {
    const std::uint8_t* second = payload + p + 19;
    std::size_t n = part2;
    if (second[n - 1] == 0) --n;
    g.AuthPluginData.assign(g.Scramble.begin(), g.Scramble.begin() + ScrambleLength);
    g.AuthPluginData.insert(g.AuthPluginData.end(), second, second + n);
    r.SetPosition(p + 19 + part2);
    g.AuthPluginName = r.ReadString();
  }
  if (g.AuthPluginName.empty()) {
    g.ServerFlags &= ~static_cast<std::uint32_t>(client::PLUGIN_AUTH);
    g.AuthPluginData.clear();
  }
  return g;
}

bool ServerVersionAtLeast(std::string_view version, int major, int minor, int patch) {
  int parts[3] = {0, 0, 0};
  std::size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    long v = 0;
    bool any = false;
    while (i < version.size() && std::isdigit(static_cast<unsigned char>(version[i]))) {
      if (v < 100000) v = v * 10 + (version[i] - '0');
      any = true;
      ++i;
    }
    if (!any) break;
    parts[k] = static_cast<int>(v);
    if (i < version.size() && version[i] == '.')
      ++i;
    else
      break;
  }
  if (parts[0] != major) return parts[0] > major;
  if (parts[1] != minor) return parts[1] > minor;
  return parts[2] >= patch;
}

std::uint8_t HandshakeCharsetNumber(std::string_view charset, std::string_view serverVersion) {
  if (charset == "utf8" || charset == "utf8mb4")
    return ServerVersionAtLeast(serverVersion, 5, 5, 3) ? 45 : 33;
  return 8;
}

std::string_view HandshakeCharsetName(std::string_view charset, std::string_view serverVersion) {
  switch (HandshakeCharsetNumber(charset, serverVersion)) {
    case 45: return "utf8mb4";
    case 33: return "utf8";
    default: return "latin1";
  }
}

std::uint32_t NegotiateClientFlags(const TMySqlFlagRequest& request, std::uint32_t serverFlags) {
  const std::uint32_t server = serverFlags;
  std::uint32_t clientflag = request.ClientFlag;
  if (clientflag & client::MULTI_STATEMENTS) clientflag |= client::MULTI_RESULTS;
  std::uint32_t f = request.SessionFlags | clientflag | DefaultClientFlags | client::CONNECT_WITH_DB;
  const bool sslWanted = request.UseSsl || (f & client::SSL);
  if (sslWanted && !request.CanSwitchTls)
    throw EMySqlException(cr::SSL_CONNECTION_ERROR, "The transport cannot switch to TLS");
  if (sslWanted && !(server & client::SSL))
    throw EMySqlException(cr::SSL_CONNECTION_ERROR, "The server does not support SSL connections");
  const std::uint32_t serverOnly = client::COMPRESS | client::PROTOCOL_41 | client::SSL;
  f &= ~serverOnly | (server & serverOnly);
  if (sslWanted)
    f |= client::SSL;
  else
    f &= ~static_cast<std::uint32_t>(client::SSL);
  if (!request.LocalInfile) f &= ~static_cast<std::uint32_t>(client::LOCAL_FILES);
  constexpr std::uint32_t pluginNeeds = client::PLUGIN_AUTH | client::PROTOCOL_41 | client::SECURE_CONNECTION;
  constexpr std::uint32_t pluginFlags = client::PLUGIN_AUTH | client::PLUGIN_AUTH_LENENC_CLIENT_DATA;
  f &= ~pluginFlags;
  if ((server & pluginNeeds) == pluginNeeds) f |= client::PLUGIN_AUTH | (server & client::PLUGIN_AUTH_LENENC_CLIENT_DATA);
  f &= ~static_cast<std::uint32_t>(client::SESSION_TRACK);
  if ((f & client::PROTOCOL_41) && (server & client::SESSION_TRACK)) f |= client::SESSION_TRACK;
  return f;
}

void AppendHandshakePrefix(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p) {
  if (p.Flags & client::PROTOCOL_41) {
    out.AppendInt32(p.Flags);
    out.AppendInt32(MaxAllowedPacket);
    out.AppendByte(HandshakeCharsetNumber(p.Charset, p.ServerVersion));
    out.AppendFill(0, 23);
  } else {
    out.AppendInt16(static_cast<std::uint16_t>(p.Flags));
    out.AppendInt24(MaxAllowedPacket & 0xFFFF);
  }
}

void AppendSslRequest(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p) {
  LUMO_ASSERT(p.Flags & client::SSL);
  AppendHandshakePrefix(out, p);
}

void AppendScramble323(TMySqlByteBuffer& out, std::string_view password, const std::uint8_t* scramble8) {
  if (!password.empty()) {
    auto token = Scramble323(password, scramble8);
    out.AppendBytes(token.data(), token.size());
  }
  out.AppendByte(0);
}

void AppendHandshakeResponse(TMySqlByteBuffer& out, const TMySqlHandshakeParams& p) {
  AppendHandshakePrefix(out, p);
  out.AppendString(p.User);
  if (p.Flags & client::PLUGIN_AUTH) {
    if (p.Flags & client::PLUGIN_AUTH_LENENC_CLIENT_DATA) {
      out.AppendFieldLength(p.AuthResponse.size());
    } else {
      if (p.AuthResponse.size() > 255)
        throw AuthPluginError(cr::AUTH_PLUGIN_ERR, p.AuthPlugin,
                              "the answer is longer than this server's handshake can carry (255 bytes)");
      out.AppendByte(static_cast<std::uint8_t>(p.AuthResponse.size()));
    }
    out.AppendBytes(p.AuthResponse.data(), p.AuthResponse.size());
    if (static_cast<std::uint32_t>(p.ServerCapabilities) & client::CONNECT_WITH_DB) out.AppendString(p.Database);
    out.AppendString(p.AuthPlugin);
    return;
  }
  if (static_cast<std::uint32_t>(p.ServerCapabilities) & client::SECURE_CONNECTION) {
    if (p.Password.empty()) {
      out.AppendByte(0);
    } else if (p.HasScramble41) {
      auto token = Scramble41(p.Password, p.Scramble);
      out.AppendByte(static_cast<std::uint8_t>(token.size()));
      out.AppendBytes(token.data(), token.size());
    } else {
      out.AppendFill('x', 8);
      out.AppendByte(0);
    }
  } else {
    AppendScramble323(out, p.Password, p.Scramble);
  }
  if (static_cast<std::uint32_t>(p.ServerCapabilities) & client::CONNECT_WITH_DB) out.AppendString(p.Database);
}

TAuthReply ClassifyAuthReply(const std::uint8_t* payload, std::size_t length, bool secureConnection) {
  if (length == 0) RaiseMalformedPacket();
  if (secureConnection) {
    if (length == 1 && payload[0] == 0xFE) return TAuthReply::arOldPassword;
    if (length == 24 && payload[0] != 0)
      return payload[0] == '*' ? TAuthReply::arExchange410Old : TAuthReply::arExchange410;
  }
  if (payload[0] == 0) return TAuthReply::arOk;
  throw EMySqlException(cr::SERVER_HANDSHAKE_ERR);
}

TPluginAuthReply ClassifyPluginAuthReply(const std::uint8_t* payload, std::size_t length) {
  if (length == 0) RaiseMalformedPacket();
  switch (payload[0]) {
    case 0x00: return TPluginAuthReply::parOk;
    case 0x01: return TPluginAuthReply::parMoreData;
    case 0xFE: return length == 1 ? TPluginAuthReply::parOldSwitch : TPluginAuthReply::parSwitch;
    default: throw EMySqlException(cr::SERVER_HANDSHAKE_ERR);
  }
}

TMySqlAuthSwitch ParseAuthSwitch(const std::uint8_t* payload, std::size_t length) {
  if (length < 2 || payload[0] != 0xFE) RaiseMalformedPacket();
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(payload + 1, 0, length - 1));
  if (!end || end == payload + 1) RaiseMalformedPacket();
  TMySqlAuthSwitch s;
  s.Plugin.assign(reinterpret_cast<const char*>(payload + 1), static_cast<std::size_t>(end - payload - 1));
  s.Data = std::span<const std::uint8_t>(end + 1, payload + length);
  return s;
}

TMySqlOkPacket ParseAuthOk(const std::uint8_t* payload, std::size_t length, bool protocol41, bool transactions,
                           bool sessionTrack) {
  if (length == 0) RaiseMalformedPacket();
  if (payload[0] != 0) throw EMySqlException(cr::SERVER_HANDSHAKE_ERR);
  return ParseOkPacket(payload, length, protocol41 || transactions, protocol41, sessionTrack);
}

}  // namespace lumo
