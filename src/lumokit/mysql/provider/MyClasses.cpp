#include <lumokit/mysql/provider/MyClasses.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiClient.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlApiEmbedded.h>
#include <lumokit/mysql/wire/MySqlErrors.h>

namespace lumo {

// The session of a connection and of everyone who borrowed it.
struct TMySqlSessionShare {
  std::mutex Lock;
  TMySQLAPI* API = nullptr;
  // Keeps the facade alive for as long as the session needs it.
  std::shared_ptr<TMySQLAPI> APIShare;
  PMYSQL_CON Handle = nullptr;
  std::vector<TMySQLConnection*> Borrowers;
};

namespace {

constexpr std::uint32_t CLIENT_FOUND_ROWS_FLAG = 2;
constexpr std::uint32_t CLIENT_COMPRESS_FLAG = 32;
constexpr std::uint32_t CLIENT_INTERACTIVE_FLAG = 1024;
constexpr std::uint32_t CLIENT_MULTI_STATEMENTS_FLAG = 65536;

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// The digits of text[pos...] as a number (stops at the first non-digit or
// before an overflow); pos is moved past the run.
int ReadNumber(std::string_view text, std::size_t& pos) noexcept {
  long long v = 0;
  while (pos < text.size() && IsDigit(text[pos])) {
    v = std::min<long long>(v * 10 + (text[pos] - '0'), std::numeric_limits<int>::max());
    ++pos;
  }
  return static_cast<int>(v);
}

bool IsQuoteChar(char c) noexcept { return c == '`' || c == '"' || c == '\''; }

}  // namespace

// ---- EMyError --------------------------------------------------------------------------------

EMyError::EMyError(int errorCode, std::string message, TComponent* component)
    : EDAError(errorCode, std::move(message), component) {
  if (errorCode == 1064) FLineNumber = ParseLineNumber(Message());
}

std::int32_t EMyError::ParseLineNumber(std::string_view message) noexcept {
  std::size_t end = message.size();
  while (end > 0 && !IsDigit(message[end - 1])) --end;
  if (end == 0) return 0;
  std::size_t begin = end;
  while (begin > 0 && IsDigit(message[begin - 1])) --begin;
  long long v = 0;
  for (std::size_t i = begin; i < end; ++i) {
    v = v * 10 + (message[i] - '0');
    if (v > std::numeric_limits<std::int32_t>::max()) return 0;
  }
  return static_cast<std::int32_t>(v);
}

bool EMyError::IsFatalError() const {
  switch (ErrorCode()) {
    case 1053:
    case 1927:
    case 2003:
    case 2006:
    case 2013:
    case 4031:
      return true;
    default:
      return false;
  }
}

bool EMyError::IsKeyViolation() const { return ErrorCode() == 1062; }

// ---- TMySQLInfo -------------------------------------------------------------------------------

TMySQLInfo::TMySQLInfo() : TSQLInfo(ParserClassOf<TMyParser>()) {}

TMySQLInfo::TMySQLInfo(TConnectionSource source) : TMySQLInfo() { FSource = std::move(source); }

std::string TMySQLInfo::UnQuote(std::string_view value) const {
  if (value.size() < 2 || !IsQuoteChar(value.front())) return std::string(value);
  return TSQLInfo::UnQuote(value, value.front(), value.front());
}

std::string TMySQLInfo::ToStringConst(std::string_view value) const {
  if (const TMySQLConnection* c = FSource ? FSource() : nullptr; c && c->Connected()) {
    // The literal lands in 8-bit statement text, encoded as a whole when
    // sent (as GetSPParams writes its literals).
    return EscapeAndQuoteStr(value, c->NeedBackslashes(), c->UseUnicode() ? std::string() : c->Charset());
  }
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    if (c == '\'') out += "''";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  out += '\'';
  return out;
}

void TMySQLInfo::SplitObjectName(std::string_view name, std::string& database, std::string& objName) const {
  TExtTableInfo info;
  TSQLInfo::SplitObjectName(name, info);
  database = info.Schema;
  objName = info.Table;
}

std::string TMySQLInfo::QuoteIdentifier(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '`';
  for (char c : name) {
    if (c == '`') out += '`';
    out += c;
  }
  out += '`';
  return out;
}

std::string TMySQLInfo::QuoteObjectName(std::string_view name) const {
  std::string database, object;
  SplitObjectName(TrimView(name), database, object);
  std::string out;
  if (!database.empty()) out = QuoteIdentifier(UnQuote(TrimView(database))) + ".";
  return out + QuoteIdentifier(UnQuote(TrimView(object)));
}

std::string TMySQLInfo::NamesFromList(const TStrings& list) const {
  std::string out;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) out += ", ";
    out += NormalizeName(list[i]);
  }
  return out;
}

void TMySQLInfo::NamesToList(std::string_view value, TStrings& list) const {
  const std::string_view text = TrimView(value);
  auto addPiece = [&](std::string_view piece) {
    std::string name = NormalizeName(TrimView(piece), false, true);
    if (!name.empty()) list.Add(std::move(name));
  };
  std::size_t start = 0;
  char quote = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;  // a doubled quote reopens at once
    } else if (IsQuoteChar(c)) {
      quote = c;
    } else if (c == ',' || c == ';') {
      addPiece(text.substr(start, i - start));
      start = i + 1;
    }
  }
  addPiece(text.substr(start));
}

TMySQLInfo& MySQLInfo() {
  static TMySQLInfo info;
  return info;
}

// ---- TMySQLConnection -----------------------------------------------------------------------

TMySQLConnection::TMySQLConnection() { SetMySQLAPI(); }

TMySQLConnection::~TMySQLConnection() { ReleaseSession(); }

std::unique_ptr<TKxCommand> TMySQLConnection::CreateCommand() { return std::make_unique<TMySQLCommand>(); }

std::unique_ptr<TKxTransaction> TMySQLConnection::CreateTransaction() {
  return std::make_unique<TMySQLTransaction>();
}

std::unique_ptr<TSQLInfo> TMySQLConnection::CreateSQLInfo() {
  return std::make_unique<TMySQLInfo>([this]() -> const TMySQLConnection* { return this; });
}

std::unique_ptr<TKxMapRules> TMySQLConnection::CreateDataTypeMap() { return std::make_unique<TMyMapRules>(); }

std::string& TMySQLConnection::CurrentProjectOutputDir() {
  static std::string dir;
  return dir;
}

PMYSQL_CON TMySQLConnection::MySQL() const noexcept {
  if (!FSession) return nullptr;
  std::lock_guard<std::mutex> guard(FSession->Lock);
  return FSession->Handle;
}

void TMySQLConnection::SetMySQLAPI() {
  if (FEmbedded)
    FMySQLAPIShare = AcquireMySqlApiEmbedded();
  else if (FDirect)
    FMySQLAPIShare = AcquireMySqlApiDirect();
  else
    FMySQLAPIShare = AcquireMySqlApiClient();
  FMySQLAPI = FMySQLAPIShare.get();
}

void TMySQLConnection::CheckMySQLLib() {
  // A held session keeps its facade (see SetProp).
  if (!FSession) SetMySQLAPI();
  if (FEmbedded) {
    auto* embedded = dynamic_cast<TMySQLAPIEmbedded*>(FMySQLAPI);
    LUMO_ASSERT(embedded != nullptr);
    embedded->SetParams(FEmbParams);
  }
  FMySQLAPI->CheckMySQLLib();
}

bool TMySQLConnection::IsClient41() const {
  LUMO_ASSERT(FMySQLAPI != nullptr);
  const TClientStructVer v = FMySQLAPI->ClientStructVer();
  return v == cvDirect || v == cv410 || v == cv411;
}

bool TMySQLConnection::IsServer41() const {
  return FServerPrimaryVer > 4 || (FServerPrimaryVer == 4 && FServerMinorVer >= 1);
}

std::string TMySQLConnection::UnicodeCharset() const {
  const bool has4 = FServerPrimaryVer > 5 || (FServerPrimaryVer == 5 && FServerMinorVer > 5) ||
                    (FServerPrimaryVer == 5 && FServerMinorVer == 5 && FServerReleaseVer >= 3);
  return has4 ? "utf8mb4" : "utf8";
}

bool TMySQLConnection::NeedBackslashes() const noexcept {
  if (FMySQLAPI && FMySQLAPI == MyAPIDirect) {
    if (PMYSQL_CON h = MySQL()) return !TMySQLAPIDirect::Session(h)->NoBackslashEscapes();
  }
  if (auto* library = dynamic_cast<TMySQLAPIClient*>(FMySQLAPI)) {
    if (PMYSQL_CON h = MySQL()) {
      try {
        if (const std::optional<bool> noBackslashes = library->NoBackslashEscapes(h)) return !*noBackslashes;
      } catch (const Exception&) {
        // A library that cannot say: the mode read at connect time.
      }
    }
  }
  return FNeedBackslashes;
}

void TMySQLConnection::ParseServerVersion(std::string_view text, int& major, int& minor, int& release) {
  major = minor = release = 0;
  constexpr std::string_view prefix = "5.5.5-";
  if (text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix && IsDigit(text[prefix.size()]))
    text.remove_prefix(prefix.size());
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) {
    std::size_t p = 0;
    major = ReadNumber(text, p);
    return;
  }
  std::size_t p = 0;
  major = ReadNumber(text.substr(0, dot), p);
  p = dot + 1;
  minor = ReadNumber(text, p);
  ++p;  // the separator after the minor number
  if (p < text.size()) release = ReadNumber(text, p);
}

bool TMySQLConnection::IsValidCharsetName(std::string_view name) noexcept {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_';
  });
}

std::string TMySQLConnection::CheckDirParam(std::string_view name, std::string value) {
  std::replace(value.begin(), value.end(), '\\', '/');
  // An absolute path stays absolute on this platform.
  if (name == "--basedir" && !value.empty() && value[0] == '.') {
    std::string dir = CurrentProjectOutputDir();
    if (!dir.empty()) {
      std::replace(dir.begin(), dir.end(), '\\', '/');
      if (dir.back() != '/') dir += '/';
      value = dir + value;
    }
  }
  return value;
}

void TMySQLConnection::SetEmbParamsStr(const std::string& text) {
  FEmbParams.SetText(Trim(text));
  static const char* const dirParams[] = {"--basedir", "--datadir", "--character-sets-dir",
                                          "--tmpdir",  "--log-bin", "--log-bin-index"};
  for (const char* name : dirParams) {
    const int i = FEmbParams.IndexOfName(name);
    if (i >= 0) FEmbParams.SetValueFromIndex(i, CheckDirParam(name, FEmbParams.ValueFromIndex(i)));
  }
}

// ---- errors

void TMySQLConnection::Check(const void* status, TComponent* component) {
  if (!status) MySQLError(component);
}

void TMySQLConnection::Check(int status, TComponent* component) {
  if (status != 0) MySQLError(component);
}

void TMySQLConnection::Check(TComponent* component) {
  PMYSQL_CON h = MySQL();
  if (!h || !FMySQLAPI || FMySQLAPI->mysql_errno(h) != 0) MySQLError(component);
}

void TMySQLConnection::MySQLError(TComponent* component) {
  PMYSQL_CON h = MySQL();
  if (!h || !FMySQLAPI) {
    EMyError e(2006, "Not connected", component);
    RaiseError(e);
  }
  const int code = static_cast<int>(FMySQLAPI->mysql_errno(h));
  std::string msg = FMySQLAPI->mysql_error(h);
  if (FUseUnicode) msg = Utf8ToAnsi(msg);
  EMyError e(code, std::move(msg), component);
  RaiseError(e);
}

void TMySQLConnection::RaiseError(EMyError& e) {
  bool fail = true;
  if (FOnError) DoError(e, fail);
  if (fail) throw e;
  Abort();
}

void TMySQLConnection::DoError(const Exception& e, bool& fail) {
  if (!FAdditional) {
    TKxConnection::DoError(e, fail);
    return;
  }
  if (FOnError) {
    bool reconnect = false, reexecute = false;
    TConnLostCause cause = clUnknown;
    FOnError(e, fail, reconnect, reexecute, 0, cause);
  }
}

// ---- connect and disconnect

void TMySQLConnection::SetOptions(PMYSQL_CON session, bool utf8) {
  TMySQLAPI& api = *FMySQLAPI;
  Check(api.mysql_options(session, MYSQL_OPT_CONNECT_TIMEOUT, FConnectionTimeout), FComponent);
  if (utf8) Check(api.mysql_options(session, MYSQL_SET_CHARSET_NAME, std::string("utf8")), FComponent);
  if (FMySQLAPI == MyAPIDirect) MyAPIDirect->SetIOHandler(session, FIOHandler);
  if (FSecureAuth) Check(api.mysql_options(session, MYSQL_SECURE_AUTH, *FSecureAuth ? 1 : 0), FComponent);
  // TLS files ask for TLS whatever the protocol: a CA given means a verified
  // server, never a connection in clear. The local socket cannot switch and
  // fails (2026) before any credential is sent.
  if (WantsTls()) {
    auto slashes = [](std::string& v) { std::replace(v.begin(), v.end(), '\\', '/'); };
    slashes(FSSL_Key);
    slashes(FSSL_Cert);
    slashes(FSSL_CA);
    slashes(FSSL_CAPath);
    Check(api.mysql_ssl_set(session, FSSL_Key, FSSL_Cert, FSSL_CA, FSSL_CAPath, FSSL_Cipher), FComponent);
  }
  switch (FProtocol) {
    case mpDefault:
    case mpSSL:
      break;
    case mpTCP:
    case mpSocket:
    case mpPipe:
      if (IsClient41())
        Check(api.mysql_options(session, MYSQL_OPT_PROTOCOL, static_cast<int>(FProtocol)), FComponent);
      else if (FProtocol == mpPipe)
        Check(api.mysql_options(session, MYSQL_OPT_NAMED_PIPE, 0), FComponent);
      break;
    default:
      // Refused before the session was made (CheckProtocol).
      throw EDAError("Wrong protocol");
  }
}

namespace {

// The protocols whose transports do not exist yet fail before anything is
// sent.
void CheckProtocol(TMyProtocol protocol) {
  switch (protocol) {
    case mpDefault:
    case mpTCP:
    case mpSocket:
    case mpPipe:
    case mpSSL:
      return;
    case mpHttp:
      throw ENotSupportedError("The HTTP protocol is not yet supported");
    default:
      throw EDAError("Wrong protocol");
  }
}

}  // namespace

void TMySQLConnection::Connect(const std::string& connectString) {
  if (FConnected && MySQL()) return;
  try {
    FServerVer.clear();
    FServerPrimaryVer = FServerMinorVer = FServerReleaseVer = 0;
    if (FSession) Disconnect();
    CheckMySQLLib();
    LUMO_ASSERT(!FSession);
    CheckProtocol(FProtocol);

    TMySQLAPI& api = *FMySQLAPI;
    PMYSQL_CON session = api.mysql_init(nullptr);
    if (!session) {
      EMyError e(2008, GetError(2008), FComponent);
      RaiseError(e);
    }
    FSession = std::make_shared<TMySqlSessionShare>();
    FSession->API = FMySQLAPI;
    FSession->APIShare = FMySQLAPIShare;
    FSession->Handle = session;
    FNativeConnection = true;

    const bool utf8 = FUseUnicode || AnsiLowerCase(FCharset) == "utf8" || AnsiLowerCase(FCharset) == "utf8mb4";
    SetOptions(session, utf8);

    std::uint32_t flags = CLIENT_FOUND_ROWS_FLAG;
    if (IsClient41() && FMultiStatements) flags |= CLIENT_MULTI_STATEMENTS_FLAG;
    if (FCompress) flags |= CLIENT_COMPRESS_FLAG;
    if (FInteractive) flags |= CLIENT_INTERACTIVE_FLAG;

    std::string host = "localhost";
    if (!FServer.empty()) host = FServer.substr(0, FServer.find(','));
    // The local socket may be named after the host: "localhost,/path".
    std::string socketName;
    const std::size_t comma = FServer.find(',');
    if ((FProtocol == mpSocket || FProtocol == mpPipe) && comma != std::string::npos)
      socketName = FServer.substr(comma + 1);
    auto enc = [utf8](const std::string& s) { return utf8 ? AnsiToUtf8(s) : s; };
    // The copy of the password made for the facade is wiped after the login.
    struct TWipedText {
      std::string Text;
      ~TWipedText() { OPENSSL_cleanse(Text.data(), Text.size()); }
    } password{enc(FPassword)};
    Check(api.mysql_real_connect(session, host, enc(FUsername), password.Text, enc(FDatabase), FPort, socketName,
                                 flags),
          FComponent);

    FConnected = true;
    FNativeConnection = true;
    TKxConnection::Connect(connectString);

    FServerVer = api.mysql_get_server_info(session);
    ParseServerVersion(FServerVer, FServerPrimaryVer, FServerMinorVer, FServerReleaseVer);
    TryToApplyUseUnicode();
    CheckNoBackslashEscapesMode();
  } catch (const EFailOver&) {
    throw;
  } catch (...) {
    try {
      Disconnect();
    } catch (...) {
    }
    throw;
  }
}

bool TMySQLConnection::WantsTls() const noexcept {
  return FProtocol == mpSSL || !FSSL_CA.empty() || !FSSL_CAPath.empty() || !FSSL_Cert.empty() || !FSSL_Key.empty();
}

void TMySQLConnection::ReleaseSession() noexcept {
  std::shared_ptr<TMySqlSessionShare> share = std::move(FSession);
  if (!share) return;
  std::lock_guard<std::mutex> guard(share->Lock);
  if (FNativeConnection) {
    if (share->Handle && share->API) {
      try {
        share->API->mysql_close(share->Handle);
      } catch (...) {
      }
    }
    share->Handle = nullptr;
    for (TMySQLConnection* b : share->Borrowers) b->FConnected = false;
    share->Borrowers.clear();
  } else {
    auto& b = share->Borrowers;
    b.erase(std::remove(b.begin(), b.end(), this), b.end());
  }
}

void TMySQLConnection::Disconnect() {
  ReleaseSession();
  FConnected = false;
}

void TMySQLConnection::TryToApplyUseUnicode() {
  if (!IsServer41()) {
    FUseUnicode = false;
    return;
  }
  if (FUseUnicode) {
    ExecStatement("SET NAMES " + UnicodeCharset());
  } else if (!FCharset.empty()) {
    if (!IsValidCharsetName(FCharset)) throw EDAError(Format("Invalid character set name: %s", {FCharset}));
    ExecStatement("SET NAMES " + FCharset);
  }
}

void TMySQLConnection::CheckNoBackslashEscapesMode() {
  FNeedBackslashes = true;
  if (FCheckBackslashes) {
    TMySQLCommand command;
    command.SetConnection(this);
    command.SetComponent(FComponent);
    command.SetProp(prDisableParamScan, true);
    command.SetProp(prCommandTimeout, FConnectionTimeout);
    command.SetRequestResultset(true);
    command.SetSQL("SELECT @@session.sql_mode");
    command.Execute();
    std::string mode;
    if (PMYSQL_RES res = command.SQLResult()) {
      if (PMYSQL_ROW row = FMySQLAPI->mysql_fetch_row(res)) {
        if (!FMySQLAPI->_mysql_fetch_value_is_null(row, 0)) mode = FMySQLAPI->_mysql_fetch_value_str(row, 0);
      }
    }
    command.FreeSQLResult();
    if (AnsiUpperCase(mode).find("NO_BACKSLASH_ESCAPES") != std::string::npos) FNeedBackslashes = false;
  }
}

std::string TMySQLConnection::CurrentDatabase() {
  PMYSQL_CON h = MySQL();
  if (!FConnected || !h || !FMySQLAPI) return FDatabase;
  auto decode = [this](const std::string& name) { return FUseUnicode ? Utf8ToAnsi(name) : name; };
  if (FMySQLAPI == MyAPIDirect) {
    const TMySqlSession& session = *TMySQLAPIDirect::Session(h);
    if (session.TracksSchema()) return decode(session.database);
  }
  TMySQLCommand command;
  command.SetConnection(this);
  command.SetComponent(FComponent);
  command.SetProp(prDisableParamScan, true);
  command.SetProp(prCommandTimeout, FConnectionTimeout);
  command.SetRequestResultset(true);
  command.SetSQL("SELECT DATABASE()");
  command.Execute();
  std::string name;
  if (PMYSQL_RES res = command.SQLResult()) {
    if (PMYSQL_ROW row = FMySQLAPI->mysql_fetch_row(res)) {
      if (!FMySQLAPI->_mysql_fetch_value_is_null(row, 0)) name = FMySQLAPI->_mysql_fetch_value_str(row, 0);
    }
  }
  command.FreeSQLResult();
  return decode(name);
}

void TMySQLConnection::ExecStatement(const std::string& sql) {
  TMySQLCommand command;
  command.SetConnection(this);
  command.SetComponent(FComponent);
  command.SetProp(prDisableParamScan, true);
  command.SetProp(prCommandTimeout, FConnectionTimeout);
  command.SetSQL(sql);
  command.Execute();
}

void TMySQLConnection::SetDatabase(const std::string& value) {
  if (value == FDatabase) return;
  FDatabase = value;
  PMYSQL_CON h = MySQL();
  if (FConnected && h && !value.empty())
    Check(FMySQLAPI->mysql_select_db(h, FUseUnicode ? AnsiToUtf8(value) : value), FComponent);
}

std::uint32_t TMySQLConnection::GetThreadId() {
  PMYSQL_CON h = MySQL();
  if (!h) MySQLError(FComponent);
  return FMySQLAPI->mysql_thread_id(h);
}

// ---- copying

void TMySQLConnection::Assign(const TKxConnection& source) {
  TKxConnection::Assign(source);
  const auto* src = dynamic_cast<const TMySQLConnection*>(&source);
  if (!src) return;
  FConnectionTimeout = src->FConnectionTimeout;
  FDatabase = src->FDatabase;
  FPort = src->FPort;
  FCompress = src->FCompress;
  FUseUnicode = src->FUseUnicode;
  FCharset = src->FCharset;
  FProtocol = src->FProtocol;
  FMySQLAPI = src->FMySQLAPI;
  FMySQLAPIShare = src->FMySQLAPIShare;
  FDirect = src->FDirect;
  FEmbedded = src->FEmbedded;
  FOptimizedBigInt = src->FOptimizedBigInt;
  FNullForZeroOrvoDate = src->FNullForZeroOrvoDate;
  FCheckPrecision = src->FCheckPrecision;
  FInteractive = src->FInteractive;
  FMultiStatements = src->FMultiStatements;
  FSecureAuth = src->FSecureAuth;
  // What a second connection to the same server needs as well.
  FCheckBackslashes = src->FCheckBackslashes;
  FSSL_Cipher = src->FSSL_Cipher;
  FSSL_CA = src->FSSL_CA;
  FSSL_Key = src->FSSL_Key;
  FSSL_Cert = src->FSSL_Cert;
  FSSL_CAPath = src->FSSL_CAPath;
  src->FHttpOptions.AssignTo(FHttpOptions);
  FEmbParams.Assign(src->FEmbParams);
}

void TMySQLConnection::AssignConnect(TKxConnection* source) {
  if (source == this) return;
  Disconnect();
  if (!source) return;
  auto* src = dynamic_cast<TMySQLConnection*>(source);
  if (!src) throw EArgumentError("AssignConnect needs a MySQL connection");
  Assign(*src);
  FServerVer = src->FServerVer;
  FServerPrimaryVer = src->FServerPrimaryVer;
  FServerMinorVer = src->FServerMinorVer;
  FServerReleaseVer = src->FServerReleaseVer;
  FNeedBackslashes = src->FNeedBackslashes;
  FNativeConnection = false;
  FSession = src->FSession;
  bool connected = false;
  if (FSession) {
    std::lock_guard<std::mutex> guard(FSession->Lock);
    connected = FSession->Handle != nullptr;
    if (connected) FSession->Borrowers.push_back(this);
  }
  if (!connected) FSession.reset();
  GetInternalTransaction().AssignConnect(&src->GetInternalTransaction());
  FConnected = connected;
}

bool TMySQLConnection::CheckIsValid() {
  PMYSQL_CON h = MySQL();
  bool ok = false;
  if (FMySQLAPI && h) ok = FMySQLAPI->mysql_ping(h) == 0 && FMySQLAPI->mysql_ping(h) == 0;
  FIsValid = ok;
  return ok;
}

std::string TMySQLConnection::GetServerVersion() {
  return Format("%d.%d.%d", {FServerPrimaryVer, FServerMinorVer, FServerReleaseVer});
}

std::string TMySQLConnection::GetServerVersionFull() { return FServerVer; }

std::string TMySQLConnection::GetClientVersion() {
  CheckMySQLLib();
  if (FMySQLAPI->LoadedMySQLLib()) return FMySQLAPI->mysql_get_client_info();
  FMySQLAPI->LoadMySQLLib();
  std::string v = FMySQLAPI->mysql_get_client_info();
  FMySQLAPI->FreeMySQLLib();
  return v;
}

// ---- properties

bool TMySQLConnection::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prDatabase:
      SetDatabase(value.AsString());
      return true;
    case prPort:
      FPort = value.AsInt32();
      return true;
    // The HTTP and proxy settings are the base connection's.
    case prConnectionTimeout:
      FConnectionTimeout = value.AsInt32();
      return true;
    case prCompress:
      FCompress = value.AsBoolean();
      return true;
    case prCharset: {
      std::string v = value.AsString();
      if (v != FCharset) {
        FCharset = std::move(v);
        if (FConnected && MySQL() && !FUseUnicode) TryToApplyUseUnicode();
      }
      return true;
    }
    case prProtocol:
      FProtocol = static_cast<TMyProtocol>(value.AsInt32());
      return true;
    case prUseUnicode: {
      const bool v = value.AsBoolean();
      if (v != FUseUnicode) {
        FUseUnicode = v;
        if (FConnected && MySQL()) TryToApplyUseUnicode();
      }
      return true;
    }
    case prEmbParams:
      SetEmbParamsStr(value.AsString());
      return true;
    case prSSL_Cipher:
      FSSL_Cipher = value.AsString();
      return true;
    case prSSL_CA:
      FSSL_CA = value.AsString();
      return true;
    case prSSL_Key:
      FSSL_Key = value.AsString();
      return true;
    case prSSL_Cert:
      FSSL_Cert = value.AsString();
      return true;
    case prSSL_CAPath:
      FSSL_CAPath = value.AsString();
      return true;
    // A held session stays with the facade that made it: the new choice
    // takes effect at the next Connect.
    case prEmbedded:
      FEmbedded = value.AsBoolean();
      if (!FSession) SetMySQLAPI();
      return true;
    case prDirect:
      FDirect = value.AsBoolean();
      if (!FSession) SetMySQLAPI();
      return true;
    case prCheckPrecision:
      FCheckPrecision = value.AsBoolean();
      return true;
    case prOptimizedBigInt:
      FOptimizedBigInt = value.AsBoolean();
      return true;
    case prCheckBackslashes: {
      const bool v = value.AsBoolean();
      if (v != FCheckBackslashes) {
        FCheckBackslashes = v;
        if (FConnected && MySQL()) CheckNoBackslashEscapesMode();
      }
      return true;
    }
    case prNullForZeroOrvoDate:
      FNullForZeroOrvoDate = value.AsBoolean();
      return true;
    case prInteractive:
      FInteractive = value.AsBoolean();
      return true;
    case prMultiStatements:
      FMultiStatements = value.AsBoolean();
      return true;
    case prSecureAuth:
      if (value.IsNullOrEmpty())
        FSecureAuth.reset();
      else
        FSecureAuth = value.AsBoolean();
      return true;
    default:
      return TKxConnection::SetProp(prop, value);
  }
}

bool TMySQLConnection::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prDatabase:
      value = FDatabase;
      return true;
    case prPort:
      value = static_cast<std::int32_t>(FPort);
      return true;
    case prLastInsertId: {
      PMYSQL_CON h = MySQL();
      value = static_cast<std::int64_t>(h ? FMySQLAPI->mysql_insert_id(h) : 0);
      return true;
    }
    case prConnectionTimeout:
      value = static_cast<std::int32_t>(FConnectionTimeout);
      return true;
    case prCompress:
      value = FCompress;
      return true;
    case prCharset:
      value = FCharset;
      return true;
    case prUseUnicode:
      value = FUseUnicode;
      return true;
    case prCheckBackslashes:
      value = FCheckBackslashes;
      return true;
    case prNeedBackslashes:
      value = NeedBackslashes();
      return true;
    case prInteractive:
      value = FInteractive;
      return true;
    case prMultiStatements:
      value = FMultiStatements;
      return true;
    case prSecureAuth:
      value = FSecureAuth ? Variant(*FSecureAuth) : Variant::Null();
      return true;
    default:
      return TKxConnection::GetProp(prop, value);
  }
}

// ---- TMySQLTransaction ----------------------------------------------------------------------

TMySQLTransaction::TMySQLTransaction() = default;

TMySQLConnection& TMySQLTransaction::GetConnection() const {
  if (FConnections.empty()) throw EDAError("There are no connections in the transaction");
  if (FConnections.size() > 1) throw EDAError("multiple transaction");
  auto* c = dynamic_cast<TMySQLConnection*>(FConnections.front());
  if (!c || !c->Connected() || !c->MySQL())
    throw EDAError("One of the connections in the transaction is not active");
  return *c;
}

std::string TMySQLTransaction::IsolationLevelSQL(TKxIsolationLevel level) {
  switch (level) {
    case ilReadCommitted:
      return "SET TRANSACTION ISOLATION LEVEL READ COMMITTED";
    case ilReadUnCommitted:
      return "SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED";
    case ilRepeatableRead:
      return "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ";
    case ilIsolated:
      return "SET TRANSACTION ISOLATION LEVEL SERIALIZABLE";
    default:
      throw EDAError("Unsupported transaction isolation level");
  }
}

void TMySQLTransaction::StartTransaction() {
  if (FReadOnly) throw EDAError("Readonly transactions are not supported by the database");
  CheckInactive();
  const std::string sql = IsolationLevelSQL(FIsolationLevel);
  TMySQLConnection& c = GetConnection();
  if (c.IsServer41() && c.MultiStatements()) {
    c.ExecStatement(sql + "; BEGIN");
  } else {
    c.ExecStatement(sql);
    c.ExecStatement("BEGIN");
  }
  FActive = true;
  FNativeTransaction = true;
}

void TMySQLTransaction::Commit() {
  CheckActive();
  if (FNativeTransaction) GetConnection().ExecStatement("COMMIT");
  FActive = false;
}

void TMySQLTransaction::Rollback() {
  CheckActive();
  if (FNativeTransaction) GetConnection().ExecStatement("ROLLBACK");
  FActive = false;
}

void TMySQLTransaction::Savepoint(const std::string& name) {
  CheckActive();
  TMySQLConnection& c = GetConnection();
  c.ExecStatement("SAVEPOINT " + TMySQLInfo::QuoteIdentifier(name));
}

void TMySQLTransaction::ReleaseSavepoint(const std::string& name) {
  CheckActive();
  TMySQLConnection& c = GetConnection();
  c.ExecStatement("RELEASE SAVEPOINT " + TMySQLInfo::QuoteIdentifier(name));
}

void TMySQLTransaction::RollbackToSavepoint(const std::string& name) {
  CheckActive();
  TMySQLConnection& c = GetConnection();
  c.ExecStatement("ROLLBACK TO SAVEPOINT " + TMySQLInfo::QuoteIdentifier(name));
}

}  // namespace lumo
