#include "MySqlSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <limits>

#include "KxVioTcp.h"
#include "Streams.h"

namespace lumo {

namespace {

// LOAD DATA LOCAL INFILE: bytes per data packet (8192 - 16 rounded up to a
// multiple of 4096).
constexpr std::size_t LocalInfileChunk = 8192;

// ---- the statement scanner of LocalInfileNames

enum class TTok { Word, String, Semicolon, Other, End };

struct TToken {
  TTok Kind = TTok::End;
  std::string_view Text;  // words; strings with their quotes
};

// Splits a query text into words, quoted strings, semicolons and other
// characters, skipping blanks and comments. Nothing is copied.
class TSqlScanner {
 public:
  TSqlScanner(std::string_view sql, bool noBackslashEscapes) : FSql(sql), FNoBackslash(noBackslashEscapes) {}

  TToken Next() {
    SkipBlanksAndComments();
    TToken t;
    if (FPos >= FSql.size()) return t;
    const std::size_t start = FPos;
    const unsigned char c = static_cast<unsigned char>(FSql[FPos]);
    if (c == ';') {
      ++FPos;
      t.Kind = TTok::Semicolon;
    } else if (c == '\'' || c == '"' || c == '`') {
      SkipQuoted(static_cast<char>(c));
      t.Kind = c == '`' ? TTok::Other : TTok::String;
    } else if (IsWordChar(c)) {
      while (FPos < FSql.size() && IsWordChar(static_cast<unsigned char>(FSql[FPos]))) ++FPos;
      t.Kind = TTok::Word;
    } else {
      ++FPos;
      t.Kind = TTok::Other;
    }
    t.Text = FSql.substr(start, FPos - start);
    return t;
  }

  // The value of a string token: quotes removed, doubled quotes and
  // backslash escapes undone.
  std::string Unquote(std::string_view raw) const {
    std::string value;
    if (raw.size() < 2) return value;
    const char quote = raw.front();
    const std::string_view body = raw.substr(1, raw.back() == quote ? raw.size() - 2 : raw.size() - 1);
    for (std::size_t i = 0; i < body.size(); ++i) {
      const char c = body[i];
      if (c == quote && i + 1 < body.size() && body[i + 1] == quote) {
        value += quote;
        ++i;
      } else if (c == '\\' && !FNoBackslash && i + 1 < body.size()) {
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
      } else {
        value += c;
      }
    }
    return value;
  }

 private:
  static bool IsWordChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

  void SkipBlanksAndComments() {
    while (FPos < FSql.size()) {
      const unsigned char c = static_cast<unsigned char>(FSql[FPos]);
      if (std::isspace(c)) {
        ++FPos;
      } else if (c == '#' || (c == '-' && FSql.substr(FPos, 2) == "--" &&
                              (FPos + 2 >= FSql.size() || std::isspace(static_cast<unsigned char>(FSql[FPos + 2])) ||
                               std::iscntrl(static_cast<unsigned char>(FSql[FPos + 2]))))) {
        const std::size_t eol = FSql.find('\n', FPos);
        FPos = eol == std::string_view::npos ? FSql.size() : eol + 1;
      } else if (c == '/' && FSql.substr(FPos, 2) == "/*") {
        const std::size_t end = FSql.find("*/", FPos + 2);
        FPos = end == std::string_view::npos ? FSql.size() : end + 2;
      } else {
        return;
      }
    }
  }

  // Moves past a quoted string (or to the end of an unterminated one).
  void SkipQuoted(char quote) {
    ++FPos;
    while (FPos < FSql.size()) {
      const char c = FSql[FPos++];
      if (c == quote) {
        if (FPos < FSql.size() && FSql[FPos] == quote) {
          ++FPos;
          continue;
        }
        return;
      }
      if (c == '\\' && !FNoBackslash && quote != '`' && FPos < FSql.size()) ++FPos;
    }
  }

  std::string_view FSql;
  bool FNoBackslash;
  std::size_t FPos = 0;
};

bool WordIs(const TToken& t, std::string_view word) {
  if (t.Kind != TTok::Word || t.Text.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(t.Text[i])) != word[i]) return false;
  return true;
}

}  // namespace

std::vector<std::string> LocalInfileNames(std::string_view sql, bool noBackslashEscapes) {
  std::vector<std::string> names;
  TSqlScanner scanner(sql, noBackslashEscapes);
  bool atStart = true;
  for (TToken t = scanner.Next(); t.Kind != TTok::End;) {
    if (t.Kind == TTok::Semicolon) {
      atStart = true;
      t = scanner.Next();
      continue;
    }
    if (!atStart) {
      t = scanner.Next();
      continue;
    }
    atStart = false;
    // LOAD {DATA | XML} [LOW_PRIORITY | CONCURRENT] LOCAL INFILE 'file'
    if (!WordIs(t, "LOAD")) {
      t = scanner.Next();
      continue;
    }
    t = scanner.Next();
    if (!WordIs(t, "DATA") && !WordIs(t, "XML")) continue;
    t = scanner.Next();
    if (WordIs(t, "LOW_PRIORITY") || WordIs(t, "CONCURRENT")) t = scanner.Next();
    if (!WordIs(t, "LOCAL")) continue;
    t = scanner.Next();
    if (!WordIs(t, "INFILE")) continue;
    t = scanner.Next();
    if (t.Kind != TTok::String) continue;
    std::string name = scanner.Unquote(t.Text);
    // Adjacent literals form one string.
    for (t = scanner.Next(); t.Kind == TTok::String; t = scanner.Next()) name += scanner.Unquote(t.Text);
    names.push_back(std::move(name));
  }
  return names;
}

// ---------------------------------------------------------------------------

TMySqlSession::TMySqlSession() : net(std::make_unique<TMySqlNet>()) {}

TMySqlSession::~TMySqlSession() {
  if (FResultSet) FResultSet->Detach();
}

void TMySqlSession::Connect(const std::string& host_, const std::string& user_, const std::string& passwd,
                            const std::string& db, int port_, const std::string& unix_socket,
                            std::uint32_t clientflag) {
  const std::string h = host_.empty() ? (host.empty() ? std::string("localhost") : host) : host_;
  const std::string u = user_.empty() ? user : user_;
  const std::string pw = passwd.empty() ? password : passwd;
  const std::string d = db.empty() ? database : db;
  int pt = port_ ? port_ : port;
  if (pt == 0) pt = MYSQL_DEFAULT_PORT;

  serverStatus = server::STATUS_AUTOCOMMIT;
  status = msReady;
  FIsClosed = false;
  fieldCount = 0;
  fields.clear();
  FInfileNames.clear();
  try {
    CreateTransport(h, pt, unix_socket);
    OpenTransport(h);

    // Greeting.
    net->Receive();
    TMySqlGreeting g = ParseGreeting(net->Payload(), net->PayloadLength());
    serverVersion = g.ServerVersion;
    threadId = g.ThreadId;
    FscrambleBuff = g.Scramble;
    FHasScramble41 = g.HasScramble41;
    serverCapabilities = g.ServerCapabilities;
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
    req.LocalInfile = FLocalInfile;
    const std::uint32_t f = NegotiateClientFlags(req, serverCapabilities);

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
    if (f & client::SSL) StartTls();
    AppendHandshakeResponse(net->WriteBuffer(), p);
    net->Send();
    FclientFlag = f;
    if (static_cast<std::uint32_t>(serverCapabilities) & client::CONNECT_WITH_DB) database = d;

    Authenticate(pw);
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

void TMySqlSession::CreateTransport(const std::string& h, int pt, const std::string& unix_socket) {
  (void)unix_socket;  // the local-socket transport will take it
  if (FIOHandler) {
    net->SetVio(std::make_unique<TKxVioHandler>(h, pt, *FIOHandler, SSL_key, SSL_cert, SSL_ca));
    hostInfo = h + " via " + FIOHandler->ClassName();
    return;
  }
  if (FHttpOptions) throw EMySqlException(cr::CONN_UNKNOW_PROTOCOL, "The HTTP tunnel transport is not supported yet");
  switch (protocolType) {
    case MYSQL_PROTOCOL_DEFAULT:
    case MYSQL_PROTOCOL_TCP:
      net->SetVio(std::make_unique<TKxVioTcp>(h, pt));
      hostInfo = h + " via TCP/IP";
      break;
    case MYSQL_PROTOCOL_SSL:
      // The TLS transport derives from TCP and turns secure in StartTls.
      net->SetVio(std::make_unique<TKxVioTcp>(h, pt));
      hostInfo = h + " via SSL";
      break;
    case MYSQL_PROTOCOL_PIPE:
    case MYSQL_PROTOCOL_SOCKET:
      throw EMySqlException(cr::CONN_UNKNOW_PROTOCOL, "The local-socket transport is not supported yet");
    default:
      if (!net->vio()) throw EMySqlException(cr::CONN_UNKNOW_PROTOCOL);
      break;
  }
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

void TMySqlSession::StartTls() {
  // Here the TLS request (the fixed prefix with CLIENT_SSL) goes out in
  // clear and the transport turns secure; the response then follows under
  // TLS. Until the TLS transport exists the connect stops before anything is
  // sent.
  throw EMySqlException(cr::SSL_CONNECTION_ERROR, "The TLS transport is not supported yet");
}

void TMySqlSession::Authenticate(const std::string& pw) {
  net->Receive();
  const bool secure = static_cast<std::uint32_t>(serverCapabilities) & client::SECURE_CONNECTION;
  switch (ClassifyAuthReply(net->Payload(), net->PayloadLength(), secure)) {
    case TAuthReply::arOk:
      break;
    case TAuthReply::arExchange410Old:
      std::copy(net->Payload() + 4, net->Payload() + 24, FscrambleBuff.begin());
      [[fallthrough]];
    case TAuthReply::arOldPassword:
      net->Clear();
      AppendScramble323(net->WriteBuffer(), pw, FscrambleBuff.data());
      net->Send();
      net->Receive();
      break;
    case TAuthReply::arExchange410: {
      TSha1Digest answer = Answer410(pw, net->Payload());
      net->Clear();
      net->WriteBytes(answer.data(), answer.size());
      net->Send();
      net->Receive();
      break;
    }
  }
  ApplyOk(ParseAuthOk(net->Payload(), net->PayloadLength(), protocol41(),
                      static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS));
}

void TMySqlSession::ApplyOk(const TMySqlOkPacket& ok) {
  affectedRows = ok.AffectedRows;
  insertId = ok.InsertId;
  if (ok.HasStatus) serverStatus = ok.ServerStatus;
  if (ok.HasWarnings) warningCount = ok.WarningCount;
  info = ok.Info;
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
  if (status != msReady || (serverStatus & server::MORE_RESULTS_EXISTS))
    throw EMySqlException(cr::COMMANDS_OUT_OF_SYNC);
  info.clear();
  affectedRows = 0;
  net->NewCommand();
  net->WriteByte(static_cast<std::uint8_t>(command));
}

void TMySqlSession::SimpleCommand(TServerCommand command, const void* args, std::size_t length, bool skipCheck) {
  TKxVio* vio = net->vio();
  if (!vio) throw EMySqlException(cr::SERVER_GONE_ERROR);
  vio->SetTimeout(commandTimeout);
  WriteCommand(command);
  FInfileNames.clear();
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
      const bool transactions = static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS;
      ApplyOk(ParseOkPacket(net->Payload(), net->PayloadLength(), protocol41() || transactions, protocol41()));
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
  status = msReady;
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

void TMySqlSession::RefuseLocalFile(const std::string& fileName, const char* reason) {
  net->Clear();
  net->SendEmpty();
  try {
    net->Receive();
  } catch (const EMySqlException& e) {
    // The connection itself failed, or the server closed it after its error.
    if (!e.FromServer() || ServerErrorClosesConnection(e.ErrorCode())) throw;
  }
  throw EMySqlException(cr::LOAD_DATA_LOCAL_INFILE_REJECTED,
                        Format("The server asked for the local file '%s', but %s; the file was not sent",
                               {fileName, reason}));
}

void TMySqlSession::SendLocalFile(const std::string& fileName) {
  if (!FLocalInfile) return RefuseLocalFile(fileName, "local files are not enabled");
  auto named = std::find(FInfileNames.begin(), FInfileNames.end(), fileName);
  if (named == FInfileNames.end())
    return RefuseLocalFile(fileName, "the statement sent did not name this file");
  FInfileNames.erase(named);

  net->Clear();
  int openError = 0;
  int readError = 0;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    openError = errno;
  } else {
    try {
      TMySqlByteBuffer& buf = net->WriteBuffer();
      for (;;) {
        std::uint8_t* dst = buf.Extend(LocalInfileChunk);
        ssize_t got;
        do {
          got = ::read(fd, dst, LocalInfileChunk);
        } while (got < 0 && errno == EINTR);
        if (got < 0) readError = errno;
        buf.SetLength(NetHeaderSize + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got <= 0) break;
        net->Send();
      }
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
  }
  net->Clear();
  net->SendEmpty();
  net->Receive();  // an error reply raises the server's error
  if (openError)
    throw EFOpenError(Format("Cannot open file \"%s\". %s", {fileName, SysErrorMessage(openError)}), openError);
  if (readError) throw EStreamError(Format("Stream read error: %s", {SysErrorMessage(readError)}));
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
    const bool transactions = static_cast<std::uint32_t>(serverCapabilities) & client::TRANSACTIONS;
    TMySqlOkPacket ok = ParseOkPacket(net->Payload(), net->PayloadLength(), protocol41() || transactions, protocol41());
    if (ok.HasStatus) serverStatus = ok.ServerStatus;
  }
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
