// The client-API facade over the MariaDB/MySQL C client library, loaded at
// run time: TMySQLAPIClient answers every operation of TMySQLAPI by calling
// the library function of the same name, and gives the provider rows in the
// same forms as the wire client (text rows, and binary rows of prepared
// statements in the wire client's binary encoding), so that the provider
// reads both alike. MyAPIClient is its process-wide instance.
//
// Decisions:
// - This is the only unit that sees the library's declarations: records are
//   read through <mysql.h>'s MYSQL_FIELD, MYSQL_BIND and MYSQL_TIME, whose
//   sizes are checked at compile time, never through offset tables.
// - Library: MySQLClientLibrary() when set, else "libmariadb.so.3"
//   (TDynamicLibrary: RTLD_LOCAL, never unmapped). Entry points are looked up
//   by name when the library loads; one that is missing raises, when it is
//   called, "MySQL API function is not linked. You should update MySQL
//   client library (<file>)." A library that cannot be loaded raises EOSError
//   "MySQL client library couldn't be loaded. Please place <file> file to
//   system folder (included to PATH) or to the folder with executable unit
//   of main program." followed by a line break and the system's reason.
// - Versions: a library that has mariadb_get_infov (MariaDB Connector/C,
//   which reports "3.x"), or whose version text has major 5, 6 or 10 and
//   above, or contains "MariaDB", has the 4.1 layout (cv411). Majors 3 and 4
//   map as the older libraries did (cv3, cv4, cv410, cv411), every other
//   major raises "Invalid client version". Only the 4.1 layout is readable
//   on this platform: loading a library of an older layout raises "Invalid
//   client version" too.
// - Handles: a connection handle is a facade object that owns the library's
//   MYSQL; a result handle owns its MYSQL_RES; a row handle is the result's
//   (or statement's) current row with its lengths; a statement handle owns
//   its MYSQL_STMT with its parameter and result binds. The facade knows its
//   live connections; a connection knows its unfinished result and its
//   statements. Closing a connection frees that result and closes those
//   statements in the library first, so a later mysql_free_result or a
//   statement call never reaches a closed MYSQL: the result then reads as
//   finished, a statement answers 2006 "MySQL server has gone away" and
//   closing it only frees it. FreeMySQLLib closes every live connection
//   before it lets go of the library.
// - Errors are the library's (mysql_errno/mysql_error and the statement
//   forms), except where the facade refuses a call itself (2006 for a
//   detached statement, 2029 for an unprepared one, 2030 when the parameter
//   count differs, 2028 for a null handle): those are kept in the handle and
//   answered by the same functions until the next call.
// - A connection asks for latin1, the wire client's character set, until
//   MYSQL_SET_CHARSET_NAME names another one.
// - Time-outs: MYSQL_OPT_CONNECT_TIMEOUT, _READ_TIMEOUT and _WRITE_TIMEOUT
//   of 2147483 seconds or more (the 365 days that stand for "none") are
//   passed as 0, the library's "no time-out", since the library counts them
//   in 32-bit milliseconds.
// - TLS: mysql_ssl_set passes empty texts as null; with a CA file or folder
//   the server's certificate and name are verified
//   (MYSQL_OPT_SSL_VERIFY_SERVER_CERT), and a Connector/C library is told to
//   refuse a server without TLS (MYSQL_OPT_SSL_ENFORCE) before it sends any
//   credential.
// - Prepared statements: parameters get the wire client's conversions
//   (MakeStmtParam) and are bound as MYSQL_BIND records; strings, bytes and
//   large objects of LongDataThreshold bytes or more are sent whole with
//   mysql_stmt_send_long_data in chunks (large objects piece by piece, never
//   copied). Result columns are bound by their type: fixed-size numbers as
//   themselves, dates and times as MYSQL_TIME re-encoded in the binary
//   protocol's form (0, 4, 7 or 11 bytes; 0, 8 or 12 for TIME), everything
//   else as raw bytes, fetched again with a larger buffer
//   (mysql_stmt_fetch_column) when a value does not fit. A statement row
//   stays valid until the next fetch. Executing again first drops what is
//   left of the last execution's results; mysql_stmt_free_result drops
//   every result that is left (the results of a CALL included).
// - _mysql_fetch_value_arr answers the value's own bytes with offset 0: the
//   library's values need not lie in one buffer.
// - NoBackslashEscapes asks a Connector/C library for the server status of
//   the last reply (mariadb_get_infov); other libraries do not say.
// - The library is initialised once (mysql_server_init with no arguments)
//   when it loads, before any connection, as multi-threaded programs must.
// - A process that links the client library itself must not use the
//   embedded facade as well: the embedded library's calls to its own
//   functions could then reach the linked client library.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <lumokit/core/DynamicLibrary.h>
#include <lumokit/mysql/wire/MySqlApi.h>

namespace lumo {

// The library file both library facades load instead of their default
// names; empty: the defaults. Read when a facade loads its library.
void SetMySQLClientLibrary(std::string fileName);
std::string MySQLClientLibrary();

class TMySQLAPIClient : public TMySQLAPI {
 public:
  TMySQLAPIClient();
  ~TMySQLAPIClient() override;

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
  // The next row into the statement's own buffers: 0, NoData or the error
  // code (the provider reads rows through _mysql_stmt_fetch).
  int mysql_stmt_fetch(PMYSQL_STMT pstmt) override;
  int mysql_stmt_send_long_data(PMYSQL_STMT pstmt, std::uint32_t param_number, const char* data,
                                std::size_t length) override;
  PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT pstmt) override;
  PMYSQL_RES mysql_stmt_param_metadata(PMYSQL_STMT pstmt) override;
  std::int64_t mysql_stmt_affected_rows(PMYSQL_STMT pstmt) override;
  std::int64_t mysql_stmt_insert_id(PMYSQL_STMT pstmt) override;
  int mysql_stmt_next_result(PMYSQL_STMT pstmt) override;

  bool LoadedMySQLLib() override;
  void LoadMySQLLib() override;
  void FreeMySQLLib() override;
  void CheckMySQLLib() override;

  void _mysql_fetch_field_direct(PMYSQL_RES pres, std::uint32_t fieldnr, TMYSQL_FIELD& field,
                                 bool Unicode) override;
  PMYSQL_ROW _mysql_fetch_row(PMYSQL_RES pres) override { return mysql_fetch_row(pres); }
  void _mysql_fetch_lengths(PMYSQL_RES pres, std::span<std::uint32_t> Lens) override;
  bool _mysql_fetch_value_is_null(PMYSQL_ROW prow, std::uint32_t fieldnr) override;
  const char* _mysql_fetch_value_ptr(PMYSQL_RES pres, PMYSQL_ROW prow, std::uint32_t fieldnr) override;
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

  // The file this facade loads: MySQLClientLibrary(), else DefaultLibraryName().
  virtual std::string GetLibraryName();
  virtual std::string DefaultLibraryName() const { return "libmariadb.so.3"; }

  // The layout of a library reporting `version` (see the unit comment);
  // raises "Invalid client version".
  static TClientStructVer ClientStructVerOf(std::string_view version, bool hasInfov);
  // The server's NO_BACKSLASH_ESCAPES state as of its last reply, when the
  // library reports it.
  std::optional<bool> NoBackslashEscapes(PMYSQL_CON pmysql);

 protected:
  // Whether dates and times go to the library as text rather than as
  // MYSQL_TIME (the embedded server reads MYSQL_TIME parameters as zero).
  virtual bool TemporalParametersAsText() const { return false; }
  // The message of a call to a function the library lacks.
  virtual std::string NotLinkedMessage(const std::string& libraryName) const;
  // Loads the library and resolves its entry points (nothing when loaded);
  // raises the load error when the system refuses it.
  void RequireLibrary();
  // Reads and classifies the loaded library's version (FClientVer,
  // FClientStructVer); raises "Invalid client version".
  void ReadClientVersion();
  // Closes every live connection, forgets the entry points, lets go of the
  // library.
  void UnloadLibrary() noexcept;
  // Closes every live connection (their results and statements first).
  void CloseLiveConnections() noexcept;
  // Forgets the live connections' library objects and the entry points
  // without calling the library (which may be finalised already).
  void AbandonLibrary() noexcept;
  std::recursive_mutex& LoadLock() noexcept { return FLoadLock; }

 private:
  struct TState;
  std::unique_ptr<TState> F;
  TDynamicLibrary FLibrary;
  std::string FLoadedName;
  bool FInitialised = false;
  std::recursive_mutex FLoadLock;
};

// The process-wide instance; null before RegisterMySqlApiClient() and after
// UnregisterMySqlApiClient() (both may be called again).
extern TMySQLAPIClient* MyAPIClient;
void RegisterMySqlApiClient();
void UnregisterMySqlApiClient();
// The instance (registered on the first call) with a share that keeps it,
// and the library it loaded, alive while held.
std::shared_ptr<TMySQLAPIClient> AcquireMySqlApiClient();

}  // namespace lumo
