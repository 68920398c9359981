// The client-API facade: TMySQLAPI is the one interface, shaped after the
// MySQL C client API, through which the MySQL provider talks to a server.
// Operations carry the C API's names and pass opaque handles for a
// connection, a result and a row; each implementation (the wire client, the
// client library, the embedded server) is one process-wide instance.
//
// Decisions:
// - Handles are pointers to distinct incomplete types, so that a result can
//   never be passed where a connection is expected; each implementation
//   converts them to its own objects.
// - An operation that an implementation does not provide raises
//   EAbstractError "Abstract Error"; one that it refuses raises
//   ENotSupportedError naming the operation.
// - Copying a value out of a row copies at most the value's length, whatever
//   length the caller asks for, and a copy into a byte span never runs past
//   the span (EArgumentError "Buffer too small").
// - mysql_store_result and mysql_num_rows are offered beside the C API's
//   streaming calls: stored results read every row up front.
// - Prepared statements are statement handles (PMYSQL_STMT). Parameters
//   go to _mysql_stmt_execute as the provider's parameter descriptors in
//   placeholder order; a row of a statement is a row handle like a result's,
//   read with the same _mysql_fetch_value_* operations (binary values).
//   mysql_stmt_next_result steps to the next result of a CALL, as in the
//   client library.
// - Each process-wide instance lives in a TMySQLAPISlot: it is created once,
//   under a lock, however many threads connect first at the same time, and
//   every connection holds a share of it, so an instance outlives the
//   connections that use it, also when a connection with static storage is
//   destroyed at exit after the slot itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include <lumokit/core/SysUtils.h>

namespace lumo {

// Opaque handles.
struct TMySqlConnectionHandle;
struct TMySqlResultHandle;
struct TMySqlRowHandle;
struct TMySqlStmtHandle;
using PMYSQL_CON = TMySqlConnectionHandle*;
using PMYSQL_RES = TMySqlResultHandle*;
using PMYSQL_ROW = TMySqlRowHandle*;
using PMYSQL_STMT = TMySqlStmtHandle*;

class TParamDesc;

// Which layout of the client library's records is in use (cvDirect for the
// wire client).
enum TClientStructVer { cvDirect, cv3, cv4, cv410, cv411 };

// Option numbers of mysql_options (enumerators, not macros, in the C
// client's headers as well).
enum TMySqlOption {
  MYSQL_OPT_CONNECT_TIMEOUT,
  MYSQL_OPT_COMPRESS,
  MYSQL_OPT_NAMED_PIPE,
  MYSQL_INIT_COMMAND,
  MYSQL_READ_DEFAULT_FILE,
  MYSQL_READ_DEFAULT_GROUP,
  MYSQL_SET_CHARSET_DIR,
  MYSQL_SET_CHARSET_NAME,
  MYSQL_OPT_LOCAL_INFILE,
  MYSQL_OPT_PROTOCOL,
  MYSQL_SHARED_MEMORY_BASE_NAME,
  MYSQL_OPT_READ_TIMEOUT,
  MYSQL_OPT_WRITE_TIMEOUT,
  MYSQL_OPT_USE_RESULT,
  MYSQL_OPT_USE_REMOTE_CONNECTION,
  MYSQL_OPT_USE_EMBEDDED_CONNECTION,
  MYSQL_OPT_GUESS_CONNECTION,
  MYSQL_SET_CLIENT_IP,
  MYSQL_SECURE_AUTH,
  // Login options beyond the classic list (numbers of the facade's own).
  MYSQL_DEFAULT_AUTH,               // text: plugin of the first answer
  MYSQL_SERVER_PUBLIC_KEY,          // text: PEM file with the server's RSA public key
  // 1: ask the server for its RSA public key when no file is named. Off by
  // default: a key fetched over plain TCP can be swapped by someone in the
  // middle, who then reads the password.
  MYSQL_OPT_GET_SERVER_PUBLIC_KEY,
  MYSQL_ENABLE_CLEARTEXT_PLUGIN,    // 1: allow mysql_clear_password (over TLS or the local socket only)
};

// The time-out that stands for "no time-out": 365 days, in seconds (the
// classic CLIENT_NET_READ_TIMEOUT).
constexpr int ClientNetReadTimeout = 365 * 24 * 3600;

// The facade's description of one column.
struct TMYSQL_FIELD {
  std::string Name;
  std::string OrgName;
  std::string Table;
  std::string OrgTable;
  std::uint32_t Flags = 0;
  std::uint8_t MyType = 0;
  std::int32_t LengthInBytes = 0;
  std::uint32_t CharsetNr = 0;
  std::uint32_t Decimals = 0;
};

// An operation the implementation does not provide.
class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
};

class TMySQLAPI {
 public:
  TMySQLAPI() = default;
  TMySQLAPI(const TMySQLAPI&) = delete;
  TMySQLAPI& operator=(const TMySQLAPI&) = delete;
  virtual ~TMySQLAPI() = default;

  // ---- the C API's operations
  virtual std::uint32_t mysql_num_fields(PMYSQL_RES pres);
  virtual std::uint32_t mysql_field_count(PMYSQL_CON pmysql);
  virtual std::int64_t mysql_affected_rows(PMYSQL_CON pmysql);
  virtual std::int64_t mysql_insert_id(PMYSQL_CON pmysql);
  virtual std::uint32_t mysql_errno(PMYSQL_CON pmysql);
  virtual std::string mysql_error(PMYSQL_CON pmysql);
  virtual std::string mysql_info(PMYSQL_CON pmysql);
  virtual std::uint32_t mysql_thread_id(PMYSQL_CON pmysql);
  virtual std::string mysql_character_set_name(PMYSQL_CON pmysql);
  // The text escaped for a string literal of the connection (its character
  // set and backslash mode), without quotes.
  virtual std::string mysql_real_escape_string(PMYSQL_CON pmysql, std::string_view from);
  // The five-character SQL state of the last error: "00000" without one,
  // "HY000" when the error carries none.
  virtual std::string mysql_sqlstate(PMYSQL_CON pmysql);
  virtual PMYSQL_CON mysql_init(PMYSQL_CON pmysql);
  virtual int mysql_ssl_set(PMYSQL_CON pmysql, const std::string& key, const std::string& cert,
                            const std::string& ca, const std::string& capath, const std::string& cipher);
  virtual PMYSQL_CON mysql_real_connect(PMYSQL_CON pmysql, const std::string& host, const std::string& user,
                                        const std::string& passwd, const std::string& db, int port,
                                        const std::string& unix_socket, std::uint32_t clientflag);
  virtual void mysql_close(PMYSQL_CON pmysql);
  virtual int mysql_select_db(PMYSQL_CON pmysql, const std::string& db);
  virtual int mysql_real_query(PMYSQL_CON pmysql, const char* q, std::size_t length);
  virtual int mysql_kill(PMYSQL_CON pmysql, std::uint32_t pid);
  virtual int mysql_ping(PMYSQL_CON pmysql);
  virtual std::string mysql_get_server_info(PMYSQL_CON pmysql);
  virtual std::string mysql_get_client_info();
  virtual std::string mysql_get_host_info(PMYSQL_CON pmysql);
  virtual PMYSQL_RES mysql_use_result(PMYSQL_CON pmysql);
  virtual PMYSQL_RES mysql_store_result(PMYSQL_CON pmysql);
  virtual int mysql_options(PMYSQL_CON pmysql, TMySqlOption option, int value);
  virtual int mysql_options(PMYSQL_CON pmysql, TMySqlOption option, const std::string& value);
  virtual void mysql_free_result(PMYSQL_RES pres);
  virtual PMYSQL_ROW mysql_fetch_row(PMYSQL_RES pres);
  virtual std::int64_t mysql_num_rows(PMYSQL_RES pres);
  virtual int mysql_server_init(int argc, char** argv, char** groups);
  virtual void mysql_server_end();
  virtual bool mysql_more_results(PMYSQL_CON pmysql);
  virtual int mysql_next_result(PMYSQL_CON pmysql);

  // ---- prepared statements
  virtual PMYSQL_STMT mysql_stmt_init(PMYSQL_CON pmysql);
  virtual int mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* q, std::size_t length);
  virtual int mysql_stmt_execute(PMYSQL_STMT pstmt);
  virtual std::uint32_t mysql_stmt_param_count(PMYSQL_STMT pstmt);
  virtual std::uint32_t mysql_stmt_field_count(PMYSQL_STMT pstmt);
  virtual int mysql_stmt_close(PMYSQL_STMT pstmt);
  virtual int mysql_stmt_free_result(PMYSQL_STMT pstmt);
  virtual std::uint32_t mysql_stmt_errno(PMYSQL_STMT pstmt);
  virtual std::string mysql_stmt_error(PMYSQL_STMT pstmt);
  virtual int mysql_stmt_fetch(PMYSQL_STMT pstmt);
  virtual int mysql_stmt_send_long_data(PMYSQL_STMT pstmt, std::uint32_t param_number, const char* data,
                                        std::size_t length);
  // The columns of the statement's result as a result handle of its own
  // (freed with mysql_free_result); null when the statement has none.
  virtual PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT pstmt);
  virtual PMYSQL_RES mysql_stmt_param_metadata(PMYSQL_STMT pstmt);
  virtual std::int64_t mysql_stmt_affected_rows(PMYSQL_STMT pstmt);
  virtual std::int64_t mysql_stmt_insert_id(PMYSQL_STMT pstmt);
  // 0 when the next result of the execution was read, -1 when none
  // follows, else the error code.
  virtual int mysql_stmt_next_result(PMYSQL_STMT pstmt);

  // ---- the library
  virtual bool LoadedMySQLLib();
  virtual void LoadMySQLLib();
  virtual void FreeMySQLLib();
  virtual void CheckMySQLLib();

  // ---- rows and fields in the facade's own forms
  virtual void _mysql_fetch_field_direct(PMYSQL_RES pres, std::uint32_t fieldnr, TMYSQL_FIELD& field,
                                         bool Unicode);
  virtual PMYSQL_ROW _mysql_fetch_row(PMYSQL_RES pres);
  // One length per column: Lens must have exactly one element per column,
  // else "Invalid fields count".
  virtual void _mysql_fetch_lengths(PMYSQL_RES pres, std::span<std::uint32_t> Lens);
  virtual bool _mysql_fetch_value_is_null(PMYSQL_ROW prow, std::uint32_t fieldnr);
  // The value's first byte in the row (null for NULL).
  virtual const char* _mysql_fetch_value_ptr(PMYSQL_RES pres, PMYSQL_ROW prow, std::uint32_t fieldnr);
  // Copies min(Len, value length) bytes to Buff[Off...] or pBuff; returns
  // the count copied.
  virtual std::size_t _mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                 std::size_t Off, std::span<std::uint8_t> Buff);
  virtual std::size_t _mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                 void* pBuff);
  // As _to_buff, then a zero byte after the bytes copied.
  virtual std::size_t _mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                std::size_t Off, std::span<std::uint8_t> Buff);
  virtual std::size_t _mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                void* pBuff);
  // The row's bytes, with Off := the value's offset in them.
  virtual const std::uint8_t* _mysql_fetch_value_arr(PMYSQL_ROW prow, std::uint32_t fieldnr, std::int32_t& Off);
  virtual std::string _mysql_fetch_value_str(PMYSQL_ROW prow, std::uint32_t fieldnr);

  // ---- statements in the facade's own forms
  // Executes with the parameters in placeholder order; 0 or the error code.
  virtual int _mysql_stmt_execute(PMYSQL_STMT pstmt, std::span<TParamDesc* const> Params, bool Unicode,
                                  bool SendBlobCompressed);
  // Prepares the statement's rows for fetching; 0 or the error code.
  virtual int _mysql_stmt_bind_result(PMYSQL_STMT pstmt);
  // 0 with the next row in `row`, NoData (100) at the end, or the error
  // code.
  virtual int _mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row);
  virtual void _mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::span<std::uint32_t> Lens);
  // The value's first byte in the statement's current row (null for NULL).
  virtual const char* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, std::uint32_t fieldnr);

  // ---- not virtual
  // FieldLen when below 65536, else 65535.
  static std::int32_t CorrectFieldLen(std::int64_t FieldLen) noexcept {
    return FieldLen < 65536 ? static_cast<std::int32_t>(FieldLen) : 65535;
  }
  // Read and write time-out in seconds (0: ClientNetReadTimeout), for
  // cvDirect, cv410 and cv411 only.
  void SetTimeout(PMYSQL_CON pmysql, int Timeout);

  const std::string& ClientVer() const noexcept { return FClientVer; }
  TClientStructVer ClientStructVer() const noexcept { return FClientStructVer; }

 protected:
  std::string FClientVer;
  TClientStructVer FClientStructVer = cvDirect;
};

// The slot of one process-wide facade instance. `published` is the unit's
// global pointer (MyAPIDirect …): it names the instance while the slot holds
// one, and is null before the first Acquire, after Release and once the
// slot is gone at exit.
template <class T>
class TMySQLAPISlot {
 public:
  explicit TMySQLAPISlot(T*& published) noexcept : FPublished(published) {}
  ~TMySQLAPISlot() { FPublished = nullptr; }
  TMySQLAPISlot(const TMySQLAPISlot&) = delete;
  TMySQLAPISlot& operator=(const TMySQLAPISlot&) = delete;

  // The instance, made on the first call.
  std::shared_ptr<T> Acquire() {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FInstance) {
      FInstance = std::make_shared<T>();
      FPublished = FInstance.get();
    }
    return FInstance;
  }

  // Gives the slot's share up; the instance ends when the last connection
  // that holds it lets it go. Returns the share so that the caller can
  // finish it (end a server) outside the lock.
  std::shared_ptr<T> Release() {
    std::lock_guard<std::mutex> lock(FLock);
    FPublished = nullptr;
    return std::move(FInstance);
  }

 private:
  std::mutex FLock;
  std::shared_ptr<T> FInstance;
  T*& FPublished;
};

}  // namespace lumo
