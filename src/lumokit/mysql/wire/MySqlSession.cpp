#include <lumokit/mysql/wire/MySqlSession.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>
#include <optional>

#include <lumokit/core/Streams.h>
#include <lumokit/mysql/wire/MyParser.h>
#include <lumokit/mysql/wire/MySqlStmt.h>
#include <lumokit/mysql/wire/MySqlVioPipe.h>
#include <lumokit/net/KxVioTcp.h>
#include <lumokit/net/KxVioTcpSSL.h>

namespace lumo {

namespace {

// LOAD DATA LOCAL INFILE: bytes per data packet (8192 - 16 rounded up to a
// multiple of 4096).
constexpr std::size_t LocalInfileChunk = 8192;

// ---- LocalInfileNames

bool WordIs(std::string_view text, std::string_view upperWord) {
  if (text.size() != upperWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upperWord[i]) return false;
  }
  return true;
}

// Whether the text holds the word INFILE at all: only then is it lexed.
bool MentionsInfile(std::string_view sql) {
  constexpr std::string_view word = "INFILE";
  return std::search(sql.begin(), sql.end(), word.begin(), word.end(), [](char c, char w) {
           return (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) == w;
         }) != sql.end();
}

// The value of one string lexeme (quotes included): the quotes removed and
// backslash escapes undone as the server reads them. A doubled quote never
// reaches here: the lexer ends a string at it.
std::string StringValue(std::string_view raw, bool noBackslashEscapes) {
  std::string value;
  if (raw.size() < 2) return value;
  const char quote = raw.front();
  const std::string_view body = raw.substr(1, raw.back() == quote ? raw.size() - 2 : raw.size() - 1);
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c != '\\' || noBackslashEscapes || i + 1 == body.size()) {
      value += c;
      continue;
    }
    const char e = body[++i];
    switch (e) {
      case '0': value += '\0'; break;
      case 'b': value += '\b'; break;
      case 'n': value += '\n'; break;
      case 'r': value += '\r'; break;
      case 't': value += '\t'; break;
      case 'Z': value += '\x1A'; break;
      case '%':
      case '_':
        value += '\\';
        value += e;
        break;
      default: value += e; break;
    }
  }
  return value;
}

}  // namespace

std::vector<std::string> LocalInfileNames(std::string_view sql, bool noBackslashEscapes) {
  std::vector<std::string> names;
  if (!MentionsInfile(sql)) return names;
  TMyParser parser{std::string(sql)};
  parser.SetBackslashEscapes(!noBackslashEscapes);
  parser.SetQuotedString(true);
  auto next = [&parser] {
    try {
      return parser.GetNextToken();
    } catch (const EParserError&) {
      return lcSymbol;  // a control byte: consumed, read as a symbol
    }
  };
  auto word = [&parser](int code, std::string_view upperWord) {
    return code != lcString && WordIs(parser.LexemView(), upperWord);
  };
  bool atStart = true;
  for (int code = next(); code != lcEnd;) {
    if (code != lcString && parser.LexemView() == ";") {
      atStart = true;
      code = next();
      continue;
    }
    // LOAD {DATA | XML} [LOW_PRIORITY | CONCURRENT] LOCAL INFILE 'file'
    const bool load = atStart && word(code, "LOAD");
    atStart = false;
    code = next();
    if (!load || (!word(code, "DATA") && !word(code, "XML"))) continue;
    code = next();
    if (word(code, "LOW_PRIORITY") || word(code, "CONCURRENT")) code = next();
    if (!word(code, "LOCAL")) continue;
    code = next();
    if (!word(code, "INFILE")) continue;
    code = next();
    if (code != lcString) continue;
    // Adjacent literals form one string; two with the same quote and nothing
    // between them are one literal with that quote doubled inside.
    std::string name;
    char quote = 0;
    std::int64_t end = -1;
    for (; code == lcString; code = next()) {
      const std::string_view raw = parser.LexemView();
      if (raw.front() == quote && parser.LexemPos() == end) name += quote;
      name += StringValue(raw, noBackslashEscapes);
      quote = raw.front();
      end = parser.LexemPos() + parser.LexemLength();
    }
    names.push_back(std::move(name));
  }
  return names;
}

// ---------------------------------------------------------------------------

TMySqlSession::TMySqlSession() : net(std::make_unique<TMySqlNet>()) {}

TMySqlSession::~TMySqlSession() {
  if (FResultSet) FResultSet->Detach();
  DetachStatements();
  OPENSSL_cleanse(password.data(), password.size());
}

void TMySqlSession::AddStatement(TMySqlStmt* stmt) { FStatements.push_back(stmt); }

void TMySqlSession::RemoveStatement(TMySqlStmt* stmt) noexcept {
  auto it = std::find(FStatements.begin(), FStatements.end(), stmt);
  if (it != FStatements.end()) FStatements.erase(it);
}

void TMySqlSession::DetachStatements() noexcept {
  std::vector<TMySqlStmt*> statements = std::move(FStatements);
  FStatements.clear();
  for (TMySqlStmt* stmt : statements) stmt->Detach();
}

void TMySqlSession::Connect(const std::string& host_, const std::string& user_, const std::string& passwd,
                            const std::string& db, int port_, const std::string& unix_socket,
                            std::uint32_t clientflag) {
  const std::string h = host_.empty() ? (host.empty() ? std::string("localhost") : host) : host_;
  const std::string u = user_.empty() ? user : user_;
  // The password is not copied; the member, when it is the one used, is
  // wiped once the login is over, whatever its outcome.
  const std::string_view pw = passwd.empty() ? std::string_view(password) : std::string_view(passwd);
  struct TWipe {
    std::string& Text;
    ~TWipe() {
      OPENSSL_cleanse(Text.data(), Text.size());
      Text.clear();
    }
  } wipePassword{password};
  const std::string d = db.empty() ? database : db;
  int pt = port_ ? port_ : port;
  if (pt == 0) pt = MYSQL_DEFAULT_PORT;

  // Statements of an earlier connection are not known to the new one.
  DetachStatements();
  serverStatus = server::STATUS_AUTOCOMMIT;
  status = msReady;
  FIsClosed = false;
  fieldCount = 0;
  fields.clear();
  FInfileNames.clear();
  FBatchAbandoned = false;
  FCharacterSet.clear();
  FAuthPlugin.clear();
  try {
    CreateTransport(h, pt, unix_socket, clientflag);
    OpenTransport(h);

    // Greeting.
    net->Receive();
    TMySqlGreeting g = ParseGreeting(net->Payload(), net->PayloadLength());
    serverVersion = g.ServerVersion;
    threadId = g.ThreadId;
    FscrambleBuff = g.Scramble;
    FHasScramble41 = g.HasScramble41;
    serverCapabilities = g.ServerCapabilities;
    FServerFlags = g.ServerFlags;
    if (g.HasLanguage) {
      FserverLanguage = g.ServerLanguage;
      serverStatus = g.ServerStatus;
    }
    host = h;
    port = pt;
    net->Clear();

    TMySqlFlagRequest req;
    req.SessionFlags = FclientFlag;
    req.ClientFlag = clientflag;
    req.UseSsl = protocolType == MYSQL_PROTOCOL_SSL;
    req.CanSwitchTls = TransportCanSwitchToTls();
    req.LocalInfile = FLocalInfile;
    const std::uint32_t f = NegotiateClientFlags(req, FServerFlags);

    TMySqlHandshakeParams p;
    p.Flags = f;
    p.ServerCapabilities = serverCapabilities;
    p.ServerVersion = serverVersion;
    p.Charset = charset;
    p.User = u;
    p.Password = pw;
    p.Database = d;
    p.Scramble = FscrambleBuff.data();
    p.HasScramble41 = FHasScramble41;
    FCharacterSet = HandshakeCharsetName(charset, serverVersion);

    // The plugin of the first answer, chosen before anything is sent.
    TMySqlAuthContext auth;
    auth.Password = pw;
    auth.SecureTransport = (f & client::SSL) || dynamic_cast<TMySqlVioPipe*>(net->vio());
    auth.Settings = FAuthSettings;
    // A server without the 4.1 login takes the pre-4.1 scramble in the
    // response itself: refused before it is sent.
    if (!(static_cast<std::uint32_t>(serverCapabilities) & client::SECURE_CONNECTION) && !pw.empty() &&
        OldPasswordRefused(auth))
      throw SecureAuthError();
    std::unique_ptr<TMySqlAuthPlugin> plugin;
    TSecureBytes answer;
    if (f & client::PLUGIN_AUTH) {
      plugin = FirstAuthPlugin(g, auth);
      answer = plugin->Name() == g.AuthPluginName || plugin->TakesNonce(g.AuthPluginData)
                   ? plugin->Start(g.AuthPluginData)
                   : TSecureBytes();  // the server asks again with a nonce for this plugin
      p.AuthPlugin = plugin->Name();
      p.AuthResponse = answer.view();
    }

    if (f & client::SSL) SendSslRequest(p);
    AppendHandshakeResponse(net->WriteBuffer(), p);
    net->SendSecret();
    answer = TSecureBytes();
    FclientFlag = f;
    if (static_cast<std::uint32_t>(serverCapabilities) & client::CONNECT_WITH_DB) database = d;

    if (plugin)
      AuthenticateWithPlugins(std::move(plugin), auth);
    else
      Authenticate(pw, auth);
    net->SetCompress(f & client::COMPRESS);
  } catch (...) {
    // Leave nothing half-open: the session may be closed or connected again.
    try {
      net->Close();
    } catch (...) {
    }
    status = msReady;
    throw;
  }
}

void TMySqlSession::CreateTransport(const std::string& h, int pt, const std::string& unix_socket,
                                    std::uint32_t clientflag) {
  if (FIOHandler) {
    net->SetVio(std::make_unique<TKxVioHandler>(h, pt, *FIOHandler, SSL_key, SSL_cert, SSL_ca));
    hostInfo = h + " via " + FIOHandler->ClassName();
    return;
  }
  if (FHttpOptions) throw EMySqlException(cr::CONN_UNKNOW_PROTOCOL, "The HTTP tunnel transport is not supported yet");
  switch (protocolType) {
    case MYSQL_PROTOCOL_DEFAULT:
    case MYSQL_PROTOCOL_TCP:
    case MYSQL_PROTOCOL_SSL:
      // TLS asked for by the protocol or by the SSL flag: the transport
      // that can switch.
      if (protocolType == MYSQL_PROTOCOL_SSL || ((FclientFlag | clientflag) & client::SSL)) {
        net->SetVio(std::make_unique<TKxVioTcpSSL>(h, SSL_cipher, SSL_capath, SSL_ca, SSL_cert, SSL_key, pt));
        hostInfo = h + " via SSL";
      } else {
        net->SetVio(std::make_unique<TKxVioTcp>(h, pt));
        hostInfo = h + " via TCP/IP";
      }
      break;
    case MYSQL_PROTOCOL_PIPE:
      net->SetVio(std::make_unique<TMySqlVioPipe>(h, unix_socket, pt));
      hostInfo = h + " via pipes";
      break;
    case MYSQL_PROTOCOL_SOCKET:
      net->SetVio(std::make_unique<TMySqlVioPipe>(h, unix_socket, pt));
      hostInfo = h + " via UNIX socket";
      break;
    default:
      if (!net->vio()) throw EMySqlException(cr::CONN_UNKNOW_PROTOCOL);
      break;
  }
}

bool TMySqlSession::TransportCanSwitchToTls() const noexcept {
  TKxVio* vio = net->vio();
  return dynamic_cast<TKxVioTcpSSL*>(vio) || dynamic_cast<TKxVioHandler*>(vio);
}

void TMySqlSession::OpenTransport(const std::string& h) {
  TKxVio& vio = *net->vio();
  vio.SetTimeout(connectTimeout);
  try {
    vio.Connect();
  } catch (...) {
    if (FIOHandler) throw;
    throw EMySqlException(cr::CONN_HOST_ERROR, vio.LastError(), {h, 10061});
  }
}

void TMySqlSession::SendSslRequest(const TMySqlHandshakeParams& p) {
  // Bytes the server sent past its greeting would be taken as if they had
  // come through TLS.
  if (net->UnreadBytes() != 0)
    throw EMySqlException(cr::SSL_CONNECTION_ERROR, "The server sent data before the TLS handshake");
  AppendSslRequest(net->WriteBuffer(), p);
  net->Send();
  // The TLS handshake; the response follows under TLS with the next
  // sequence number.
  TKxVio* vio = net->vio();
  if (auto* tls = dynamic_cast<TKxVioTcpSSL*>(vio))
    tls->SetisSecure(true);
  else if (auto* handler = dynamic_cast<TKxVioHandler*>(vio))
    SwitchHandlerToTls(*handler);
  else
    AssertionFailure(__FILE__, __LINE__);
}

void TMySqlSession::SwitchHandlerToTls(TKxVioHandler& handler) {
  // A handler without TLS of its own ignores the switch; the session would
  // then count the plain channel as secure and full authentication or the
  // cleartext plugin would hand the password over in clear.
  handler.SetIsSecure(true);
  if (!handler.GetIsSecure())
    throw EMySqlException(cr::SSL_CONNECTION_ERROR, "The I/O handler did not switch the connection to TLS");
}

void TMySqlSession::Authenticate(std::string_view pw, const TMySqlAuthContext& auth) {
  net->Receive();
  const bool secure = static_cast<std::uint32_t>(serverCapabilities) & client::SECURE_CONNECTION;
  switch (ClassifyAuthReply(net->Payload(), net->PayloadLength(), secure)) {
    case TAuthReply::arOk:
      break;
    case TAuthReply::arExchange410Old:
      if (OldPasswordRefused(auth)) throw SecureAuthError();
      std::copy(net->Payload() + 4, net->Payload() + 24, FscrambleBuff.begin());
      [[fallthrough]];
    case TAuthReply::arOldPassword:
      if (OldPasswordRefused(auth)) throw SecureAuthError();
      net->Clear();
      AppendScramble323(net->WriteBuffer(), pw, FscrambleBuff.data());
      net->SendSecret();
      net->Receive();
      break;
    case TAuthReply::arExchange410: {
      TSecureBytes answer;
      {
        TSha1Digest a = Answer410(pw, net->Payload());
        answer = TSecureBytes(a.data(), a.size());
        OPENSSL_cleanse(a.data(), a.size());
      }
      net->Clear();
      net->WriteBytes(answer.data(), answer.size());
      net->SendSecret();
      net->Receive();
      break;
    }
  }
  ApplyOk(ParseAuthOk(net->Payload(), net->PayloadLength(), protocol41(),
                      static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS, TracksSchema()));
}

std::unique_ptr<TMySqlAuthPlugin> TMySqlSession::FirstAuthPlugin(const TMySqlGreeting& g,
                                                                 const TMySqlAuthContext& auth) const {
  // A plugin the user names must exist; the server's choice is followed
  // when this client has it and may use it here, else the native scramble
  // goes first and the server switches to what the account needs.
  if (!FAuthSettings.DefaultPlugin.empty()) return CreateAuthPlugin(FAuthSettings.DefaultPlugin, auth);
  if (g.AuthPluginName != authplugin::NativePassword) {
    try {
      return CreateAuthPlugin(g.AuthPluginName, auth);
    } catch (const EMySqlException& e) {
      // Not available here (or the pre-4.1 scramble, refused): the native
      // answer goes first and the server switches if the account needs it.
      if (e.ErrorCode() != cr::AUTH_PLUGIN_CANNOT_LOAD && e.ErrorCode() != cr::SECURE_AUTH) throw;
    }
  }
  return CreateAuthPlugin(authplugin::NativePassword, auth);
}

void TMySqlSession::SendAuthData(const TSecureBytes& data) {
  net->Clear();
  if (data.empty()) {
    net->SendEmpty();
    return;
  }
  net->WriteBytes(data.data(), data.size());
  net->SendSecret();
}

void TMySqlSession::AuthenticateWithPlugins(std::unique_ptr<TMySqlAuthPlugin> plugin, const TMySqlAuthContext& auth) {
  // Every step reads one packet, a plugin's exchange has a fixed number of
  // steps and the server may switch plugins once: the loop ends.
  bool switched = false;
  for (;;) {
    net->Receive();
    const std::uint8_t* d = net->Payload();
    const std::size_t n = net->PayloadLength();
    switch (ClassifyPluginAuthReply(d, n)) {
      case TPluginAuthReply::parOk:
        ApplyOk(ParseAuthOk(d, n, protocol41(), static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS,
                            TracksSchema()));
        FAuthPlugin = plugin->Name();
        return;
      case TPluginAuthReply::parMoreData:
        if (auto reply = plugin->Continue(std::span<const std::uint8_t>(d + 1, n - 1))) SendAuthData(*reply);
        break;
      case TPluginAuthReply::parOldSwitch:
      case TPluginAuthReply::parSwitch: {
        if (switched)
          throw EMySqlException(cr::SERVER_HANDSHAKE_ERR, "The server asked to switch the authentication method twice");
        switched = true;
        if (n == 1) {
          // The old form: the pre-4.1 token over the greeting's scramble.
          plugin = CreateAuthPlugin(authplugin::OldPassword, auth);
          SendAuthData(plugin->Start(std::span<const std::uint8_t>(FscrambleBuff.data(), ScrambleLength)));
          break;
        }
        const TMySqlAuthSwitch sw = ParseAuthSwitch(d, n);
        plugin = CreateAuthPlugin(sw.Plugin, auth);
        SendAuthData(plugin->Start(sw.Data));
        break;
      }
    }
  }
}

void TMySqlSession::ApplyOk(const TMySqlOkPacket& ok) {
  affectedRows = ok.AffectedRows;
  insertId = ok.InsertId;
  if (ok.HasStatus) serverStatus = ok.ServerStatus;
  if (ok.HasWarnings) warningCount = ok.WarningCount;
  info = ok.Info;
  if (ok.HasSchema) database = ok.Schema;
}

void TMySqlSession::ApplyEof(const std::uint8_t* payload, std::size_t length) {
  TMySqlEofPacket eof = ParseEofPacket(payload, length);
  if (eof.HasStatus) {
    warningCount = eof.WarningCount;
    serverStatus = eof.ServerStatus;
  }
}

// ---------------------------------------------------------------------------
// Commands

void TMySqlSession::WriteCommand(TServerCommand command) {
  if (FBatchAbandoned && status == msReady) SkipAbandonedBatch();
  if (status != msReady || (serverStatus & server::MORE_RESULTS_EXISTS))
    throw EMySqlException(cr::COMMANDS_OUT_OF_SYNC);
  info.clear();
  affectedRows = 0;
  net->NewCommand();
  net->WriteByte(static_cast<std::uint8_t>(command));
}

void TMySqlSession::StartCommand(TServerCommand command) {
  TKxVio* vio = net->vio();
  if (!vio) throw EMySqlException(cr::SERVER_GONE_ERROR);
  vio->SetTimeout(commandTimeout);
  WriteCommand(command);
  FInfileNames.clear();
}

void TMySqlSession::SimpleCommand(TServerCommand command, const void* args, std::size_t length, bool skipCheck) {
  StartCommand(command);
  if (command == TServerCommand::scQuery && FLocalInfile && args)
    FInfileNames = LocalInfileNames(std::string_view(static_cast<const char*>(args), length), NoBackslashEscapes());
  if (args && length) net->WriteOrSendBytes(args, length);
  net->Send();
  if (!skipCheck) net->Receive();
}

void TMySqlSession::ReadQueryResult() {
  serverStatus = server::STATUS_AUTOCOMMIT;
  net->Receive();
  for (;;) {
    TMySqlPacketReader& r = net->Reader();
    const std::int64_t count = r.ReadFieldLength();
    if (count == 0) {
      ApplyOk(ParseOkReply());
      fieldCount = 0;
      fields.clear();
      return;
    }
    if (count == NullLength) {
      // LOCAL INFILE request: the rest of the payload names the file.
      SendLocalFile(std::string(reinterpret_cast<const char*>(net->Payload()) + 1, net->PayloadLength() - 1));
      continue;
    }
    if (count < 0 || count > std::numeric_limits<std::int32_t>::max()) RaiseMalformedPacket();
    if (!r.AtEnd()) extraInfo = r.ReadFieldLength();
    fieldCount = static_cast<std::int32_t>(count);
    ReadFieldsInfo();
    status = msGetResult;
    warningCount = 0;
    return;
  }
}

void TMySqlSession::ReadFieldsInfo() {
  fields.clear();
  const bool longFlag = static_cast<std::uint32_t>(serverCapabilities) & client::LONG_FLAG;
  int unreadEofs = 2;
  try {
    for (;;) {
      net->Receive();
      const std::uint8_t* p = net->Payload();
      const std::size_t n = net->PayloadLength();
      if (IsEofPacket(p, n)) {
        unreadEofs = 1;
        ApplyEof(p, n);
        break;
      }
      if (fields.size() >= static_cast<std::size_t>(fieldCount)) RaiseMalformedPacket();
      fields.push_back(ParseFieldInfo(p, n, protocol41(), longFlag));
    }
    if (fields.size() != static_cast<std::size_t>(fieldCount)) RaiseMalformedPacket();
  } catch (const EMySqlException& e) {
    fields.clear();
    fieldCount = 0;
    RecoverFromReadError(e, unreadEofs);
    throw;
  } catch (...) {
    fields.clear();
    fieldCount = 0;
    RecoverFromReadError(EMySqlException(cr::UNKNOWN_ERROR), unreadEofs);
    throw;
  }
}

bool TMySqlSession::LosesConnection(const EMySqlException& e) noexcept {
  const int code = e.ErrorCode();
  if (e.FromServer()) return ServerErrorClosesConnection(code);
  return code == cr::SERVER_LOST || code == cr::NET_PACKET_TOO_LARGE || code == er::NET_PACKETS_OUT_OF_ORDER ||
         code == er::NET_UNCOMPRESS_ERROR;
}

void TMySqlSession::DropConnection() noexcept {
  if (FResultSet) FResultSet->Detach();
  DetachStatements();
  status = msReady;
  FBatchAbandoned = false;
  serverStatus &= ~server::MORE_RESULTS_EXISTS;
  FSkipPacket = false;
  try {
    net->Close();
  } catch (...) {
  }
}

void TMySqlSession::RecoverFromReadError(const EMySqlException& e, int unreadEofs) noexcept {
  // Inside a reply every error of the client's own but 2027 leaves the
  // stream at an unknown place.
  if (e.FromServer() ? ServerErrorClosesConnection(e.ErrorCode()) : e.ErrorCode() != cr::MALFORMED_PACKET) {
    DropConnection();
    return;
  }
  if (!e.FromServer() && unreadEofs > 0 && net->vio()) {
    // The packets are whole, only their content is wrong: skip the rest of
    // the reply (the rest of the definitions, then the rows).
    try {
      for (; unreadEofs > 0; --unreadEofs) {
        status = msGetResult;
        // The end of the definitions is never followed by a call's status.
        const bool skipPacket = FSkipPacket;
        if (unreadEofs == 2) FSkipPacket = false;
        FreeQuery();
        if (unreadEofs == 2) FSkipPacket = skipPacket;
      }
      return;
    } catch (const EMySqlException& skipError) {
      RecoverFromReadError(skipError, 0);
      return;
    } catch (...) {
      DropConnection();
      return;
    }
  }
  // An error packet (or a damaged end of the reply): nothing follows it.
  status = msReady;
  serverStatus &= ~server::MORE_RESULTS_EXISTS;
  FSkipPacket = false;
}

void TMySqlSession::FailLocalFile(const std::string& fileName, const std::string& what, bool serverErrorWins) {
  net->Clear();
  net->SendEmpty();
  try {
    net->Receive();  // an error reply raises the server's error
    if (net->PayloadLength() > 0 && net->Payload()[0] == 0) ApplyOk(ParseOkReply());
  } catch (const EMySqlException& e) {
    // The connection itself failed, or the server closed it after its error.
    if (serverErrorWins || !e.FromServer() || ServerErrorClosesConnection(e.ErrorCode())) throw;
  }
  // The server goes on with the rest of the batch: its results can still be
  // read, and the next command skips those left unread.
  FBatchAbandoned = serverStatus & server::MORE_RESULTS_EXISTS;
  throw EMySqlException(cr::LOAD_DATA_LOCAL_INFILE_REJECTED,
                        Format("The server asked for the local file '%s', but %s", {fileName, what}));
}

void TMySqlSession::SendLocalFile(const std::string& fileName) {
  constexpr const char* notSent = "; the file was not sent";
  if (!FLocalInfile) return FailLocalFile(fileName, std::string("local files are not enabled") + notSent, false);
  auto named = std::find(FInfileNames.begin(), FInfileNames.end(), fileName);
  if (named == FInfileNames.end())
    return FailLocalFile(fileName, std::string("the statement sent did not name this file") + notSent, false);
  FInfileNames.erase(named);

  std::optional<TFileStream> file;
  try {
    file.emplace(fileName, fmOpenRead | fmShareDenyWrite);
  } catch (const EFOpenError& e) {
    return FailLocalFile(fileName, "it cannot be opened: " + SysErrorMessage(e.ErrorCode()) + notSent, true);
  }
  std::size_t sent = 0;
  net->Clear();
  TMySqlByteBuffer& buf = net->WriteBuffer();
  for (;;) {
    const auto got = static_cast<std::size_t>(file->Read(buf.Extend(LocalInfileChunk), LocalInfileChunk));
    buf.SetLength(NetHeaderSize + got);
    if (got > 0) net->Send();
    sent += got;
    if (got < LocalInfileChunk) break;  // the end, or a read error
  }
  const int readError = file->LastError();
  file.reset();
  if (readError)
    return FailLocalFile(fileName,
                         "reading it failed: " + SysErrorMessage(readError) +
                             (sent == 0 ? std::string(notSent) : "; only its first " + std::to_string(sent) +
                                                                     " bytes were sent"),
                         true);
  net->Clear();
  net->SendEmpty();
  net->Receive();  // an error reply raises the server's error
}

void TMySqlSession::SkipAbandonedBatch() {
  // FSkipPacket already belongs to the command about to be sent.
  const bool skipPacket = FSkipPacket;
  FSkipPacket = false;
  try {
    while (status == msReady && (serverStatus & server::MORE_RESULTS_EXISTS)) {
      try {
        ReadQueryResult();
        FreeQuery();
      } catch (const EMySqlException& e) {
        // A server error ends the batch, another refused file does not; a
        // failed connection fails the new command.
        const bool serverEndsBatch = e.FromServer() && !ServerErrorClosesConnection(e.ErrorCode());
        if (!serverEndsBatch && e.ErrorCode() != cr::LOAD_DATA_LOCAL_INFILE_REJECTED) throw;
      }
    }
  } catch (...) {
    FBatchAbandoned = false;
    FSkipPacket = skipPacket;
    throw;
  }
  FBatchAbandoned = false;
  FSkipPacket = skipPacket;
}

void TMySqlSession::FreeQuery() {
  // A result that was reading these rows is finished.
  if (FResultSet) FResultSet->Detach();
  if (status == msReady) return;
  if (!net->vio()) {
    status = msReady;
    return;
  }
  try {
    bool continuation = false;
    for (;;) {
      const std::uint32_t n = net->SkipPacket();
      if (!continuation && n > 0) {
        const std::uint8_t* p = net->Payload();
        if (p[0] == 0xFF) RaiseErrorPacket(p, net->PayloadLength());
        if (IsEofPacket(p, n)) {
          ApplyEof(p, n);
          break;
        }
      }
      continuation = n == MaxPacketLength;
    }
  } catch (const EMySqlException& e) {
    status = msReady;
    if (e.FromServer()) {
      // A server error ends the reply: nothing further follows.
      serverStatus &= ~server::MORE_RESULTS_EXISTS;
      FSkipPacket = false;
    }
    throw;
  }
  status = msReady;
  if (FSkipPacket && (serverStatus & server::MORE_RESULTS_EXISTS)) {
    // The status packet that ends a stored-procedure call.
    FSkipPacket = false;
    serverStatus &= ~server::MORE_RESULTS_EXISTS;
    net->Receive();
    ApplyOkReply();
  }
}

void TMySqlSession::ApplyOkReply() {
  if (net->PayloadLength() > 0 && net->Payload()[0] == 0) {
    TMySqlOkPacket ok = ParseOkReply();
    if (ok.HasStatus) serverStatus = ok.ServerStatus;
    if (ok.HasSchema) database = ok.Schema;
  }
}

TMySqlOkPacket TMySqlSession::ParseOkReply() const {
  const bool transactions = static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS;
  return ParseOkPacket(net->Payload(), net->PayloadLength(), protocol41() || transactions, protocol41(),
                       TracksSchema());
}

void TMySqlSession::SelectDb(const std::string& db) {
  SimpleCommand(TServerCommand::scInitDb, db.data(), db.size(), false);
  ApplyOkReply();
  database = db;
}

std::string TMySqlSession::Statistics() {
  SimpleCommand(TServerCommand::scStatistics);
  return std::string(reinterpret_cast<const char*>(net->Payload()), net->PayloadLength());
}

void TMySqlSession::Ping() {
  SimpleCommand(TServerCommand::scPing);
  ApplyOkReply();
}

void TMySqlSession::Close() {
  if (FResultSet) FResultSet->Detach();
  DetachStatements();
  if (FIsClosed) return;
  FIsClosed = true;
  status = msReady;
  try {
    if (net->vio()) {
      net->NewCommand();
      net->WriteByte(static_cast<std::uint8_t>(TServerCommand::scQuit));
      net->Send();
    }
  } catch (const EMySqlException&) {
    // The goodbye is best effort: the transport is closed below either way.
  }
  net->Close();
}

}  // namespace lumo
