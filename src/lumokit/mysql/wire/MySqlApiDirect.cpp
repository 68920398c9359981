#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <lumokit/mysql/wire/MyClassesLiterals.h>

namespace lumo {

namespace {

const char* const ClientInfo = "7.0.0 Direct";

TMySqlSession& Con(PMYSQL_CON pmysql) {
  if (!pmysql) throw EMySqlException(cr::INVALID_CONN_HANDLE);
  return *TMySQLAPIDirect::Session(pmysql);
}

TMySqlResultSet& Res(PMYSQL_RES pres) {
  if (!pres) TMySQLAPIDirect::RaiseNullHandle();
  return *TMySQLAPIDirect::ResultSet(pres);
}

const TMySqlBind& Value(PMYSQL_ROW prow, std::uint32_t fieldnr, const TMySqlBinds** row = nullptr) {
  const TMySqlBind& b = TMySQLAPIDirect::Bind(prow, fieldnr);
  if (row) *row = TMySQLAPIDirect::Row(prow);
  return b;
}

void ClearError(TMySqlSession& s) {
  if (s.Errno() != 0 || !s.Error().empty()) {
    s.SetErrno(0);
    s.SetError(std::string());
  }
}

int Keep(TMySqlSession& s, const EMySqlException& e) {
  s.SetErrno(static_cast<std::uint32_t>(e.ErrorCode()));
  s.SetError(e.Message());
  // The next call then reports 2006 at once.
  if (TMySqlSession::LosesConnection(e)) s.DropConnection();
  return e.ErrorCode();
}

// Runs `f` with the session's error cleared; returns 0 or the error code.
template <class F>
int Run(TMySqlSession& s, F&& f) {
  ClearError(s);
  try {
    f();
    return 0;
  } catch (const EMySqlException& e) {
    return Keep(s, e);
  }
}

// The session must be ready for a result or a next result.
void CheckStatus(const TMySqlSession& s, TMySqlStatus expected) {
  if (s.status != expected)
    throw EMySqlException(cr::COMMANDS_OUT_OF_SYNC, Format("mysql.status = %d", {static_cast<int>(s.status)}));
}

// Copies up to Len bytes of a value; returns the count.
std::size_t CopyValue(const TMySqlBinds& row, const TMySqlBind& b, std::size_t Len, std::uint8_t* dst) {
  if (Len == 0 || b.Offset == 0 || b.IsNull || !row.Buffer) return 0;
  const std::size_t n = std::min(Len, static_cast<std::size_t>(b.Length));
  if (n) std::memcpy(dst, row.Buffer + b.Offset, n);
  return n;
}

std::size_t CopyLength(const TMySqlBinds& row, const TMySqlBind& b, std::size_t Len) {
  if (Len == 0 || b.Offset == 0 || b.IsNull || !row.Buffer) return 0;
  return std::min(Len, static_cast<std::size_t>(b.Length));
}

std::uint8_t* Target(std::span<std::uint8_t> Buff, std::size_t Off, std::size_t n) {
  if (Off > Buff.size() || n > Buff.size() - Off) throw EArgumentError("Buffer too small");
  return Buff.data() + Off;
}

TMySqlStmt& St(PMYSQL_STMT pstmt) {
  if (!pstmt) TMySQLAPIDirect::RaiseNullHandle();
  return *TMySQLAPIDirect::Stmt(pstmt);
}

void ClearError(TMySqlStmt& st) {
  if (st.Errno() != 0 || !st.Error().empty()) {
    st.SetErrno(0);
    st.SetError(std::string());
  }
  if (TMySqlSession* s = st.Session()) ClearError(*s);
}

// Runs a statement operation with the errors cleared; a wire error is kept
// in the statement and in the session it ran on.
template <class F>
int RunStmt(TMySqlStmt& st, F&& f) {
  TMySqlSession* s = st.Session();  // stays alive while the operation runs
  ClearError(st);
  try {
    f();
    return 0;
  } catch (const EMySqlException& e) {
    st.SetErrno(static_cast<std::uint32_t>(e.ErrorCode()));
    st.SetError(e.Message());
    if (s) Keep(*s, e);
    return e.ErrorCode();
  }
}

}  // namespace

TMySQLAPIDirect* MyAPIDirect = nullptr;

namespace {
TMySQLAPISlot<TMySQLAPIDirect> GMyAPIDirect(MyAPIDirect);
}  // namespace

std::shared_ptr<TMySQLAPIDirect> AcquireMySqlApiDirect() { return GMyAPIDirect.Acquire(); }

void RegisterMySqlApiDirect() { GMyAPIDirect.Acquire(); }

void UnregisterMySqlApiDirect() { GMyAPIDirect.Release(); }

// The version is the wire client's own: set once, so that connects in
// several threads only ever read it.
TMySQLAPIDirect::TMySQLAPIDirect() {
  FClientStructVer = cvDirect;
  FClientVer = ClientInfo;
}

void TMySQLAPIDirect::RaiseNullHandle() { throw EMySqlException(cr::NULL_POINTER); }

void TMySQLAPIDirect::RaiseInvalidFieldsCount() { throw EArgumentError("Invalid fields count"); }

void TMySQLAPIDirect::RaiseBadValue(PMYSQL_ROW prow, std::uint32_t fieldnr) {
  if (!prow) RaiseNullHandle();
  throw EArgumentError(Format("Invalid field number %d", {fieldnr}));
}

void TMySQLAPIDirect::CheckMySQLLib() {
  // Nothing to load.
}

// ---------------------------------------------------------------------------
// Connection

std::uint32_t TMySQLAPIDirect::mysql_field_count(PMYSQL_CON pmysql) {
  return static_cast<std::uint32_t>(Con(pmysql).fieldCount);
}

std::int64_t TMySQLAPIDirect::mysql_affected_rows(PMYSQL_CON pmysql) { return Con(pmysql).affectedRows; }

std::int64_t TMySQLAPIDirect::mysql_insert_id(PMYSQL_CON pmysql) { return Con(pmysql).insertId; }

std::uint32_t TMySQLAPIDirect::mysql_errno(PMYSQL_CON pmysql) { return Con(pmysql).Errno(); }

std::string TMySQLAPIDirect::mysql_error(PMYSQL_CON pmysql) { return Con(pmysql).Error(); }

std::string TMySQLAPIDirect::mysql_info(PMYSQL_CON pmysql) { return Con(pmysql).info; }

std::uint32_t TMySQLAPIDirect::mysql_thread_id(PMYSQL_CON pmysql) {
  return static_cast<std::uint32_t>(Con(pmysql).threadId);
}

std::string TMySQLAPIDirect::mysql_character_set_name(PMYSQL_CON pmysql) {
  return std::string(Con(pmysql).CharacterSetName());
}

std::string TMySQLAPIDirect::mysql_real_escape_string(PMYSQL_CON pmysql, std::string_view from) {
  const TMySqlSession& s = Con(pmysql);
  return EscapeStr(from, !s.NoBackslashEscapes(), std::string(s.CharacterSetName()));
}

std::string TMySQLAPIDirect::mysql_sqlstate(PMYSQL_CON pmysql) {
  const TMySqlSession& s = Con(pmysql);
  if (s.Errno() == 0) return "00000";
  // A server error's text is "\r\n#" and the state, then the server's text.
  const std::string& e = s.Error();
  if (e.size() >= 8 && e.compare(0, 3, "\r\n#") == 0) return e.substr(3, 5);
  return "HY000";
}

PMYSQL_CON TMySQLAPIDirect::mysql_init(PMYSQL_CON) { return Handle(std::make_unique<TMySqlSession>().release()); }

int TMySQLAPIDirect::mysql_ssl_set(PMYSQL_CON pmysql, const std::string& key, const std::string& cert,
                                   const std::string& ca, const std::string& capath, const std::string& cipher) {
  TMySqlSession& s = Con(pmysql);
  s.protocolType = MYSQL_PROTOCOL_SSL;
  // Kept when a protocol is chosen afterwards: TLS is never dropped silently.
  s.SetClientFlag(s.ClientFlag() | client::SSL);
  s.SSL_key = key;
  s.SSL_cert = cert;
  s.SSL_ca = ca;
  s.SSL_capath = capath;
  s.SSL_cipher = cipher;
  return 0;
}

PMYSQL_CON TMySQLAPIDirect::mysql_real_connect(PMYSQL_CON pmysql, const std::string& host, const std::string& user,
                                               const std::string& passwd, const std::string& db, int port,
                                               const std::string& unix_socket, std::uint32_t clientflag) {
  TMySqlSession& s = Con(pmysql);
  return Run(s, [&] { s.Connect(host, user, passwd, db, port, unix_socket, clientflag); }) == 0 ? pmysql : nullptr;
}

void TMySQLAPIDirect::mysql_close(PMYSQL_CON pmysql) {
  if (!pmysql) return;
  std::unique_ptr<TMySqlSession> s(Session(pmysql));
  if (TMySqlResultSet* r = s->ResultSet()) r->Detach();
  try {
    s->Close();
  } catch (const EMySqlException&) {
  }
}

int TMySQLAPIDirect::mysql_select_db(PMYSQL_CON pmysql, const std::string& db) {
  TMySqlSession& s = Con(pmysql);
  return Run(s, [&] { s.SelectDb(db); });
}

int TMySQLAPIDirect::mysql_real_query(PMYSQL_CON pmysql, const char* q, std::size_t length) {
  TMySqlSession& s = Con(pmysql);
  return Run(s, [&] {
    {
      std::lock_guard<std::mutex> lock(s.QueryBufferCS());
      s.SimpleCommand(TServerCommand::scQuery, q, length, true);
    }
    s.ReadQueryResult();
  });
}

int TMySQLAPIDirect::mysql_kill(PMYSQL_CON pmysql, std::uint32_t pid) {
  TMySqlSession& s = Con(pmysql);
  const std::uint8_t arg[4] = {static_cast<std::uint8_t>(pid), static_cast<std::uint8_t>(pid >> 8),
                               static_cast<std::uint8_t>(pid >> 16), static_cast<std::uint8_t>(pid >> 24)};
  return Run(s, [&] { s.SimpleCommand(TServerCommand::scProcessKill, arg, sizeof arg, false); });
}

int TMySQLAPIDirect::mysql_ping(PMYSQL_CON pmysql) {
  TMySqlSession& s = Con(pmysql);
  return Run(s, [&] { s.Ping(); });
}

std::string TMySQLAPIDirect::mysql_get_server_info(PMYSQL_CON pmysql) { return Con(pmysql).serverVersion; }

std::string TMySQLAPIDirect::mysql_get_client_info() { return ClientInfo; }

std::string TMySQLAPIDirect::mysql_get_host_info(PMYSQL_CON pmysql) { return Con(pmysql).hostInfo; }

int TMySQLAPIDirect::mysql_options(PMYSQL_CON pmysql, TMySqlOption option, int value) {
  TMySqlSession& s = Con(pmysql);
  switch (option) {
    case MYSQL_OPT_CONNECT_TIMEOUT:
      s.connectTimeout = value;
      break;
    case MYSQL_OPT_COMPRESS:
      s.SetClientFlag(s.ClientFlag() | client::COMPRESS);
      break;
    case MYSQL_OPT_NAMED_PIPE:
      s.protocolType = MYSQL_PROTOCOL_PIPE;
      break;
    case MYSQL_OPT_LOCAL_INFILE:
      s.SetLocalInfile(value != 0);
      break;
    case MYSQL_OPT_PROTOCOL:
      if (value < MYSQL_PROTOCOL_DEFAULT || value > MYSQL_PROTOCOL_SSL) return 1;
      s.protocolType = static_cast<MYSQL_PROTOCOL_TYPE>(value);
      break;
    case MYSQL_OPT_READ_TIMEOUT:
    case MYSQL_OPT_WRITE_TIMEOUT:
      s.commandTimeout = value;
      break;
    case MYSQL_OPT_GET_SERVER_PUBLIC_KEY:
      s.AuthSettings().GetServerPublicKey = value != 0;
      break;
    case MYSQL_ENABLE_CLEARTEXT_PLUGIN:
      s.AuthSettings().EnableCleartextPlugin = value != 0;
      break;
    case MYSQL_SECURE_AUTH:
      s.AuthSettings().SecureAuth = value != 0;
      break;
    default:
      break;
  }
  return 0;
}

int TMySQLAPIDirect::mysql_options(PMYSQL_CON pmysql, TMySqlOption option, const std::string& value) {
  TMySqlSession& s = Con(pmysql);
  switch (option) {
    case MYSQL_SET_CHARSET_NAME:
      s.charset = value;
      break;
    case MYSQL_DEFAULT_AUTH:
      s.AuthSettings().DefaultPlugin = value;
      break;
    case MYSQL_SERVER_PUBLIC_KEY:
      s.AuthSettings().ServerPublicKeyFile = value;
      break;
    default:
      break;
  }
  return 0;
}

int TMySQLAPIDirect::mysql_server_init(int, char**, char**) {
  throw ENotSupportedError("mysql_server_init is not supported by the wire client");
}

void TMySQLAPIDirect::mysql_server_end() {
  throw ENotSupportedError("mysql_server_end is not supported by the wire client");
}

bool TMySQLAPIDirect::mysql_more_results(PMYSQL_CON pmysql) {
  return Con(pmysql).serverStatus & server::MORE_RESULTS_EXISTS;
}

int TMySQLAPIDirect::mysql_next_result(PMYSQL_CON pmysql) {
  TMySqlSession& s = Con(pmysql);
  bool more = false;
  const int rc = Run(s, [&] {
    CheckStatus(s, msReady);
    s.affectedRows = -1;
    more = s.serverStatus & server::MORE_RESULTS_EXISTS;
    if (more) s.ReadQueryResult();
  });
  return rc != 0 ? rc : (more ? 0 : -1);
}

void TMySQLAPIDirect::SetIOHandler(PMYSQL_CON pmysql, TKxIOHandler* IOHandler) {
  Con(pmysql).SetIOHandler(IOHandler);
}

void TMySQLAPIDirect::SetHttpOptions(PMYSQL_CON pmysql, const THttpOptions* HttpOptions) {
  Con(pmysql).SetHttpOptions(HttpOptions);
}

// ---------------------------------------------------------------------------
// Results

PMYSQL_RES TMySQLAPIDirect::mysql_use_result(PMYSQL_CON pmysql) {
  TMySqlSession& s = Con(pmysql);
  if (s.fields.empty()) return nullptr;  // the statement had no result set
  try {
    CheckStatus(s, msGetResult);
  } catch (const EMySqlException& e) {
    Keep(s, e);
    return nullptr;
  }
  return Handle(std::make_unique<TMySqlResultSet>(s).release());
}

PMYSQL_RES TMySQLAPIDirect::mysql_store_result(PMYSQL_CON pmysql) {
  TMySqlSession& s = Con(pmysql);
  ClearError(s);
  if (s.fields.empty()) return nullptr;
  std::unique_ptr<TMySqlResultSet> r;
  const int rc = Run(s, [&] {
    CheckStatus(s, msGetResult);
    r = std::make_unique<TMySqlResultSet>(s);
    r->ReadRows();
  });
  return rc == 0 ? Handle(r.release()) : nullptr;
}

std::uint32_t TMySQLAPIDirect::mysql_num_fields(PMYSQL_RES pres) {
  return static_cast<std::uint32_t>(Res(pres).FieldCount());
}

std::int64_t TMySQLAPIDirect::mysql_num_rows(PMYSQL_RES pres) { return Res(pres).RowCount(); }

void TMySQLAPIDirect::mysql_free_result(PMYSQL_RES pres) {
  if (!pres) return;
  std::unique_ptr<TMySqlResultSet> r(ResultSet(pres));
  try {
    r->Clear();  // skips unread rows and detaches
  } catch (const EMySqlException&) {
  }
}

PMYSQL_ROW TMySQLAPIDirect::mysql_fetch_row(PMYSQL_RES pres) {
  TMySqlResultSet& r = Res(pres);
  TMySqlSession* s = r.Session();
  if (s) ClearError(*s);
  try {
    return r.Read(r.Bind()) ? Handle(&r.Bind()) : nullptr;
  } catch (const EMySqlException& e) {
    // The result has finished and brought its session back to a sound
    // state; only the error is left to keep.
    if (s) {
      s->SetErrno(static_cast<std::uint32_t>(e.ErrorCode()));
      s->SetError(e.Message());
    }
    return nullptr;
  }
}

void TMySQLAPIDirect::_mysql_fetch_field_direct(PMYSQL_RES pres, std::uint32_t fieldnr, TMYSQL_FIELD& field,
                                                bool Unicode) {
  const TMySqlResultSet& r = Res(pres);
  if (fieldnr >= r.Fields().size()) throw EArgumentError(Format("Invalid field number %d", {fieldnr}));
  const TMySqlFieldInfo& f = r.Fields()[fieldnr];
  field.Name = f.Name;
  field.OrgName = f.OrgName.empty() ? f.Name : f.OrgName;
  field.Table = f.Table;
  field.OrgTable = f.OrgTable;
  field.Flags = f.Flags;
  field.MyType = f.MyType;
  field.Decimals = f.Scale;
  field.CharsetNr = f.CharsetNr;
  field.LengthInBytes = CorrectFieldLen(f.Length);
  if (Unicode && !f.Table.empty() && !r.Protocol41()) {
    switch (f.MyType) {
      case MYSQL_TYPE_VARCHAR:
      case MYSQL_TYPE_ENUM:
      case MYSQL_TYPE_SET:
      case MYSQL_TYPE_VAR_STRING:
      case MYSQL_TYPE_STRING:
        field.LengthInBytes *= 3;
        break;
      default:
        break;
    }
  }
}


// ---------------------------------------------------------------------------
// Values of a row



std::size_t TMySQLAPIDirect::_mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                        std::size_t Off, std::span<std::uint8_t> Buff) {
  const TMySqlBinds* row = nullptr;
  const TMySqlBind& b = Value(prow, fieldnr, &row);
  const std::size_t n = CopyLength(*row, b, Len);
  return CopyValue(*row, b, n, Target(Buff, Off, n));
}

std::size_t TMySQLAPIDirect::_mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                        void* pBuff) {
  const TMySqlBinds* row = nullptr;
  const TMySqlBind& b = Value(prow, fieldnr, &row);
  return CopyValue(*row, b, Len, static_cast<std::uint8_t*>(pBuff));
}

std::size_t TMySQLAPIDirect::_mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                       std::size_t Off, std::span<std::uint8_t> Buff) {
  const TMySqlBinds* row = nullptr;
  const TMySqlBind& b = Value(prow, fieldnr, &row);
  const std::size_t n = CopyLength(*row, b, Len);
  std::uint8_t* dst = Target(Buff, Off, n + 1);
  CopyValue(*row, b, n, dst);
  dst[n] = 0;
  return n;
}

std::size_t TMySQLAPIDirect::_mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                       void* pBuff) {
  const TMySqlBinds* row = nullptr;
  const TMySqlBind& b = Value(prow, fieldnr, &row);
  auto* dst = static_cast<std::uint8_t*>(pBuff);
  const std::size_t n = CopyValue(*row, b, Len, dst);
  dst[n] = 0;
  return n;
}

const std::uint8_t* TMySQLAPIDirect::_mysql_fetch_value_arr(PMYSQL_ROW prow, std::uint32_t fieldnr,
                                                            std::int32_t& Off) {
  const TMySqlBinds* row = nullptr;
  Off = Value(prow, fieldnr, &row).Offset;
  return row->Buffer;
}

std::string TMySQLAPIDirect::_mysql_fetch_value_str(PMYSQL_ROW prow, std::uint32_t fieldnr) {
  const TMySqlBinds* row = nullptr;
  const TMySqlBind& b = Value(prow, fieldnr, &row);
  if (b.IsNull || b.Offset == 0 || !row->Buffer) return std::string();
  return std::string(reinterpret_cast<const char*>(row->Buffer + b.Offset), static_cast<std::size_t>(b.Length));
}

// ---------------------------------------------------------------------------
// Prepared statements

PMYSQL_STMT TMySQLAPIDirect::mysql_stmt_init(PMYSQL_CON pmysql) {
  return Handle(std::make_unique<TMySqlStmt>(Con(pmysql)).release());
}

int TMySQLAPIDirect::mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* q, std::size_t length) {
  TMySqlStmt& st = St(pstmt);
  return RunStmt(st, [&] { st.Prepare(q, length); });
}

std::uint32_t TMySQLAPIDirect::mysql_stmt_param_count(PMYSQL_STMT pstmt) {
  return static_cast<std::uint32_t>(St(pstmt).ParamCount());
}

std::uint32_t TMySQLAPIDirect::mysql_stmt_field_count(PMYSQL_STMT pstmt) {
  return static_cast<std::uint32_t>(St(pstmt).FieldCount());
}

int TMySQLAPIDirect::mysql_stmt_close(PMYSQL_STMT pstmt) {
  if (!pstmt) return 0;
  std::unique_ptr<TMySqlStmt> st(Stmt(pstmt));  // closes, errors ignored
  return 0;
}

int TMySQLAPIDirect::mysql_stmt_free_result(PMYSQL_STMT pstmt) {
  TMySqlStmt& st = St(pstmt);
  return RunStmt(st, [&] { st.FreeResult(); });
}

std::uint32_t TMySQLAPIDirect::mysql_stmt_errno(PMYSQL_STMT pstmt) { return St(pstmt).Errno(); }

std::string TMySQLAPIDirect::mysql_stmt_error(PMYSQL_STMT pstmt) { return St(pstmt).Error(); }

int TMySQLAPIDirect::mysql_stmt_fetch(PMYSQL_STMT) {
  throw ENotSupportedError("mysql_stmt_fetch is not supported by the wire client: use _mysql_stmt_fetch");
}

int TMySQLAPIDirect::mysql_stmt_send_long_data(PMYSQL_STMT, std::uint32_t, const char*, std::size_t) {
  throw ENotSupportedError("mysql_stmt_send_long_data is not supported by the wire client");
}

PMYSQL_RES TMySQLAPIDirect::mysql_stmt_result_metadata(PMYSQL_STMT pstmt) {
  const TMySqlStmt& st = St(pstmt);
  if (st.State() == psUnknown || st.FieldCount() == 0) return nullptr;
  const bool protocol41 = st.Session() ? st.Session()->protocol41() : true;
  return Handle(TMySqlResultSet::Metadata(st.Fields(), protocol41).release());
}

PMYSQL_RES TMySQLAPIDirect::mysql_stmt_param_metadata(PMYSQL_STMT) {
  throw ENotSupportedError("mysql_stmt_param_metadata is not supported by the wire client");
}

std::int64_t TMySQLAPIDirect::mysql_stmt_affected_rows(PMYSQL_STMT pstmt) { return St(pstmt).AffectedRows(); }

std::int64_t TMySQLAPIDirect::mysql_stmt_insert_id(PMYSQL_STMT pstmt) { return St(pstmt).InsertId(); }

int TMySQLAPIDirect::mysql_stmt_next_result(PMYSQL_STMT pstmt) {
  TMySqlStmt& st = St(pstmt);
  int next = -1;
  const int rc = RunStmt(st, [&] { next = st.NextResult(); });
  return rc != 0 ? rc : next;
}

int TMySQLAPIDirect::_mysql_stmt_execute(PMYSQL_STMT pstmt, std::span<TParamDesc* const> Params, bool Unicode,
                                         bool SendBlobCompressed) {
  TMySqlStmt& st = St(pstmt);
  return RunStmt(st, [&] { st.Execute(Params, Unicode, SendBlobCompressed); });
}

int TMySQLAPIDirect::_mysql_stmt_bind_result(PMYSQL_STMT pstmt) {
  TMySqlStmt& st = St(pstmt);
  return RunStmt(st, [&] { st.BindResult(); });
}

int TMySQLAPIDirect::_mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) {
  TMySqlStmt& st = St(pstmt);
  row = nullptr;
  TMySqlBinds* binds = nullptr;
  int fetched = NoData;
  const int rc = RunStmt(st, [&] { fetched = st.Fetch(binds); });
  if (rc != 0) return rc;
  if (binds) row = Handle(binds);
  return fetched;
}

void TMySQLAPIDirect::_mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::span<std::uint32_t> Lens) {
  if (!prow) RaiseNullHandle();
  const std::vector<TMySqlBind>& binds = Row(prow)->Binds;
  if (Lens.size() != binds.size()) RaiseInvalidFieldsCount();
  for (std::size_t i = 0; i < binds.size(); ++i) Lens[i] = static_cast<std::uint32_t>(binds[i].Length);
}

const char* TMySQLAPIDirect::_mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, std::uint32_t fieldnr) {
  const TMySqlResultSet* r = St(pstmt).Result();
  if (!r) return nullptr;
  TMySqlBinds& row = const_cast<TMySqlResultSet*>(r)->Bind();
  return _mysql_fetch_value_ptr(nullptr, Handle(&row), fieldnr);
}

}  // namespace lumo
