// The wire client's implementation of the client-API facade:
// TMySQLAPIDirect drives TMySqlSession (connection handle) and
// TMySqlResultSet (result handle, its TMySqlBinds being the row handle)
// with our own code, and keeps every wire error as the session's error code
// and text, as the MySQL C API reports them. MyAPIDirect is its
// process-wide instance, created by RegisterMySqlApiDirect().
//
// Decisions:
// - Every operation that can fail catches EMySqlException only, keeps its
//   code and message in the session and returns the code (null for handle
//   results); other exceptions pass through. A null connection handle
//   raises 2047 "Invalid connection handle"; a null result or row handle
//   2028 "Invalid use of null pointer" (mysql_close and mysql_free_result
//   take null and do nothing).
// - A failure that loses the framing of the connection (2013, 1156, 1157,
//   2020) closes the transport: later commands fail at once with 2006
//   instead of reading the rest of a broken reply.
// - mysql_free_result detaches the result from its session, and mysql_close
//   detaches a result that is still reading; a result finished by its end
//   or by an error detaches itself. A result thus never points to a freed
//   session, and freeing an old result never skips the rows of the
//   session's next result. Fetching from a finished or detached result
//   returns null at once.
// - mysql_options also honours MYSQL_OPT_COMPRESS (asks for compression,
//   like the client flag) and MYSQL_OPT_LOCAL_INFILE (0 refuses every LOAD
//   DATA LOCAL INFILE request); a protocol number outside the known ones is
//   refused (result 1). The login options MYSQL_DEFAULT_AUTH,
//   MYSQL_SERVER_PUBLIC_KEY, MYSQL_OPT_GET_SERVER_PUBLIC_KEY and
//   MYSQL_ENABLE_CLEARTEXT_PLUGIN go to the session's authentication
//   settings (see MySqlAuth), and so does MYSQL_SECURE_AUTH: 1 refuses the
//   pre-4.1 scramble (2049), 0 allows it; without it the scramble is
//   refused over plain TCP and allowed over TLS and the local socket.
// - mysql_ssl_set also asks for TLS through the CLIENT_SSL flag, so a
//   protocol chosen afterwards (MYSQL_OPT_PROTOCOL) cannot drop it: TCP
//   then still goes over TLS, and the local socket, which cannot switch,
//   fails with 2026 before any credential is sent. A TLS handshake that
//   fails raises the transport's plain Exception out of
//   mysql_real_connect, as every exception other than EMySqlException.
// - The query-buffer lock is the session's own (TMySqlSession::
//   QueryBufferCS).
// - mysql_real_escape_string escapes through the MySQL literal writer (the
//   one the provider writes its literals with) for the session's character
//   set (the one the connection was opened with: utf8mb4, utf8 or latin1)
//   and its NO_BACKSLASH_ESCAPES state. As with the C client library, a
//   character set switched later with SET NAMES is not seen: a caller that
//   switches to a multi-byte set whose trail bytes can be ASCII (gbk, big5,
//   sjis ...) must escape with the literal writer and that set's name.
//   The wire client may stand on the literal writer and the MySQL lexer:
//   both depend only on the core and common units, never on the wire
//   client.
// - mysql_sqlstate takes the state from the error text, where a 4.1 server
//   error carries it ("\r\n#42S02..."); the text itself stays as the
//   catalogue builds it. Client errors and older servers give "HY000", no
//   error "00000".
// - mysql_character_set_name answers the session's character set.
// - Statement handles are TMySqlStmt objects; their errors are kept in the
//   statement and in its session (so both the statement's and the
//   connection's checks see them), and every statement operation clears
//   both first. A statement whose session was closed answers 2006; closing
//   it then only frees it. mysql_stmt_result_metadata hands out a result of
//   its own that only describes the columns (freed with mysql_free_result),
//   never the statement's row reader. The C API's mysql_stmt_execute,
//   mysql_stmt_fetch and mysql_stmt_send_long_data work on MYSQL_BIND
//   records, which the wire client does not have: _mysql_stmt_execute and
//   _mysql_stmt_fetch take their place (long values go as long data by
//   themselves).
// - Handles are created with new and must be given back to mysql_close,
//   mysql_stmt_close and mysql_free_result; the result of mysql_use_result reads the session's
//   pending result, mysql_store_result reads all its rows up front.
#pragma once

#include <lumokit/mysql/wire/MySqlApi.h>
#include <lumokit/mysql/wire/MySqlResultSet.h>
#include <lumokit/mysql/wire/MySqlSession.h>
#include <lumokit/mysql/wire/MySqlStmt.h>

namespace lumo {

class TMySQLAPIDirect final : public TMySQLAPI {
 public:
  TMySQLAPIDirect();

  // Conversions between handles and the wire client's objects.
  static TMySqlSession* Session(PMYSQL_CON pmysql) noexcept { return reinterpret_cast<TMySqlSession*>(pmysql); }
  static PMYSQL_CON Handle(TMySqlSession* session) noexcept { return reinterpret_cast<PMYSQL_CON>(session); }
  static TMySqlResultSet* ResultSet(PMYSQL_RES pres) noexcept { return reinterpret_cast<TMySqlResultSet*>(pres); }
  static PMYSQL_RES Handle(TMySqlResultSet* result) noexcept { return reinterpret_cast<PMYSQL_RES>(result); }
  static TMySqlBinds* Row(PMYSQL_ROW prow) noexcept { return reinterpret_cast<TMySqlBinds*>(prow); }
  static PMYSQL_ROW Handle(TMySqlBinds* row) noexcept { return reinterpret_cast<PMYSQL_ROW>(row); }
  static TMySqlStmt* Stmt(PMYSQL_STMT pstmt) noexcept { return reinterpret_cast<TMySqlStmt*>(pstmt); }
  static PMYSQL_STMT Handle(TMySqlStmt* stmt) noexcept { return reinterpret_cast<PMYSQL_STMT>(stmt); }

  std::uint32_t mysql_num_fields(PMYSQL_RES pres) override;
  std::uint32_t mysql_field_count(PMYSQL_CON pmysql) override;
  std::int64_t mysql_affected_rows(PMYSQL_CON pmysql) override;
  std::int64_t mysql_insert_id(PMYSQL_CON pmysql) override;
  std::uint32_t mysql_errno(PMYSQL_CON pmysql) override;
  std::string mysql_error(PMYSQL_CON pmysql) override;
  std::string mysql_info(PMYSQL_CON pmysql) override;
  std::uint32_t mysql_thread_id(PMYSQL_CON pmysql) override;
  std::string mysql_character_set_name(PMYSQL_CON pmysql) override;
  std::string mysql_real_escape_string(PMYSQL_CON pmysql, std::string_view from) override;
  std::string mysql_sqlstate(PMYSQL_CON pmysql) override;
  PMYSQL_CON mysql_init(PMYSQL_CON pmysql) override;
  int mysql_ssl_set(PMYSQL_CON pmysql, const std::string& key, const std::string& cert, const std::string& ca,
                    const std::string& capath, const std::string& cipher) override;
  PMYSQL_CON mysql_real_connect(PMYSQL_CON pmysql, const std::string& host, const std::string& user,
                                const std::string& passwd, const std::string& db, int port,
                                const std::string& unix_socket, std::uint32_t clientflag) override;
  void mysql_close(PMYSQL_CON pmysql) override;
  int mysql_select_db(PMYSQL_CON pmysql, const std::string& db) override;
  int mysql_real_query(PMYSQL_CON pmysql, const char* q, std::size_t length) override;
  int mysql_kill(PMYSQL_CON pmysql, std::uint32_t pid) override;
  int mysql_ping(PMYSQL_CON pmysql) override;
  std::string mysql_get_server_info(PMYSQL_CON pmysql) override;
  std::string mysql_get_client_info() override;
  std::string mysql_get_host_info(PMYSQL_CON pmysql) override;
  PMYSQL_RES mysql_use_result(PMYSQL_CON pmysql) override;
  PMYSQL_RES mysql_store_result(PMYSQL_CON pmysql) override;
  int mysql_options(PMYSQL_CON pmysql, TMySqlOption option, int value) override;
  int mysql_options(PMYSQL_CON pmysql, TMySqlOption option, const std::string& value) override;
  void mysql_free_result(PMYSQL_RES pres) override;
  PMYSQL_ROW mysql_fetch_row(PMYSQL_RES pres) override;
  std::int64_t mysql_num_rows(PMYSQL_RES pres) override;
  int mysql_server_init(int argc, char** argv, char** groups) override;
  void mysql_server_end() override;
  bool mysql_more_results(PMYSQL_CON pmysql) override;
  int mysql_next_result(PMYSQL_CON pmysql) override;

  PMYSQL_STMT mysql_stmt_init(PMYSQL_CON pmysql) override;
  int mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* q, std::size_t length) override;
  std::uint32_t mysql_stmt_param_count(PMYSQL_STMT pstmt) override;
  std::uint32_t mysql_stmt_field_count(PMYSQL_STMT pstmt) override;
  int mysql_stmt_close(PMYSQL_STMT pstmt) override;
  int mysql_stmt_free_result(PMYSQL_STMT pstmt) override;
  std::uint32_t mysql_stmt_errno(PMYSQL_STMT pstmt) override;
  std::string mysql_stmt_error(PMYSQL_STMT pstmt) override;
  int mysql_stmt_fetch(PMYSQL_STMT pstmt) override;
  int mysql_stmt_send_long_data(PMYSQL_STMT pstmt, std::uint32_t param_number, const char* data,
                                std::size_t length) override;
  PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT pstmt) override;
  PMYSQL_RES mysql_stmt_param_metadata(PMYSQL_STMT pstmt) override;
  std::int64_t mysql_stmt_affected_rows(PMYSQL_STMT pstmt) override;
  std::int64_t mysql_stmt_insert_id(PMYSQL_STMT pstmt) override;
  int mysql_stmt_next_result(PMYSQL_STMT pstmt) override;

  bool LoadedMySQLLib() override { return true; }
  void LoadMySQLLib() override {}
  void FreeMySQLLib() override {}
  void CheckMySQLLib() override;

  void _mysql_fetch_field_direct(PMYSQL_RES pres, std::uint32_t fieldnr, TMYSQL_FIELD& field,
                                 bool Unicode) override;
  PMYSQL_ROW _mysql_fetch_row(PMYSQL_RES pres) override { return mysql_fetch_row(pres); }
  // The accessors of the row loop are inline.
  void _mysql_fetch_lengths(PMYSQL_RES pres, std::span<std::uint32_t> Lens) override {
    if (!pres) RaiseNullHandle();
    const std::vector<TMySqlBind>& binds = ResultSet(pres)->Bind().Binds;
    if (Lens.size() != binds.size()) RaiseInvalidFieldsCount();
    for (std::size_t i = 0; i < binds.size(); ++i) Lens[i] = static_cast<std::uint32_t>(binds[i].Length);
  }
  bool _mysql_fetch_value_is_null(PMYSQL_ROW prow, std::uint32_t fieldnr) override {
    return Bind(prow, fieldnr).IsNull;
  }
  const char* _mysql_fetch_value_ptr(PMYSQL_RES, PMYSQL_ROW prow, std::uint32_t fieldnr) override {
    const TMySqlBind& b = Bind(prow, fieldnr);
    const std::uint8_t* buffer = Row(prow)->Buffer;
    return b.Offset == 0 || !buffer ? nullptr : reinterpret_cast<const char*>(buffer + b.Offset);
  }
  std::size_t _mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len, std::size_t Off,
                                         std::span<std::uint8_t> Buff) override;
  std::size_t _mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                         void* pBuff) override;
  std::size_t _mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len, std::size_t Off,
                                        std::span<std::uint8_t> Buff) override;
  std::size_t _mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                        void* pBuff) override;
  const std::uint8_t* _mysql_fetch_value_arr(PMYSQL_ROW prow, std::uint32_t fieldnr, std::int32_t& Off) override;
  std::string _mysql_fetch_value_str(PMYSQL_ROW prow, std::uint32_t fieldnr) override;

  int _mysql_stmt_execute(PMYSQL_STMT pstmt, std::span<TParamDesc* const> Params, bool Unicode,
                          bool SendBlobCompressed) override;
  int _mysql_stmt_bind_result(PMYSQL_STMT pstmt) override;
  int _mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) override;
  void _mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::span<std::uint32_t> Lens) override;
  const char* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, std::uint32_t fieldnr) override;

  // One value of a row; a null row raises 2028, a field number out of
  // range EArgumentError.
  static const TMySqlBind& Bind(PMYSQL_ROW prow, std::uint32_t fieldnr) {
    if (!prow || fieldnr >= Row(prow)->Binds.size()) RaiseBadValue(prow, fieldnr);
    return Row(prow)->Binds[fieldnr];
  }
  [[noreturn]] static void RaiseNullHandle();
  [[noreturn]] static void RaiseInvalidFieldsCount();
  [[noreturn]] static void RaiseBadValue(PMYSQL_ROW prow, std::uint32_t fieldnr);

  // Transport choices kept in the session (not owned; they must outlive
  // the connection).
  void SetIOHandler(PMYSQL_CON pmysql, TKxIOHandler* IOHandler);
  void SetHttpOptions(PMYSQL_CON pmysql, const THttpOptions* HttpOptions);
};

// The process-wide instance; null before RegisterMySqlApiDirect() and after
// UnregisterMySqlApiDirect(). Start-up registers it, shutdown unregisters it
// (both may be called again; the second call does nothing).
extern TMySQLAPIDirect* MyAPIDirect;
void RegisterMySqlApiDirect();
void UnregisterMySqlApiDirect();
// The instance (registered on the first call) with a share that keeps it
// alive while held; what a connection holds.
std::shared_ptr<TMySQLAPIDirect> AcquireMySqlApiDirect();

}  // namespace lumo
