#include <lumokit/mysql/wire/MySqlApi.h>

namespace lumo {

std::uint32_t TMySQLAPI::mysql_num_fields(PMYSQL_RES) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_field_count(PMYSQL_CON) { throw EAbstractError(); }
std::int64_t TMySQLAPI::mysql_affected_rows(PMYSQL_CON) { throw EAbstractError(); }
std::int64_t TMySQLAPI::mysql_insert_id(PMYSQL_CON) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_errno(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_error(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_info(PMYSQL_CON) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_thread_id(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_character_set_name(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_real_escape_string(PMYSQL_CON, std::string_view) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_sqlstate(PMYSQL_CON) { throw EAbstractError(); }
PMYSQL_CON TMySQLAPI::mysql_init(PMYSQL_CON) { throw EAbstractError(); }
int TMySQLAPI::mysql_ssl_set(PMYSQL_CON, const std::string&, const std::string&, const std::string&,
                             const std::string&, const std::string&) {
  throw EAbstractError();
}
PMYSQL_CON TMySQLAPI::mysql_real_connect(PMYSQL_CON, const std::string&, const std::string&, const std::string&,
                                         const std::string&, int, const std::string&, std::uint32_t) {
  throw EAbstractError();
}
void TMySQLAPI::mysql_close(PMYSQL_CON) { throw EAbstractError(); }
int TMySQLAPI::mysql_select_db(PMYSQL_CON, const std::string&) { throw EAbstractError(); }
int TMySQLAPI::mysql_real_query(PMYSQL_CON, const char*, std::size_t) { throw EAbstractError(); }
int TMySQLAPI::mysql_kill(PMYSQL_CON, std::uint32_t) { throw EAbstractError(); }
int TMySQLAPI::mysql_ping(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_get_server_info(PMYSQL_CON) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_get_client_info() { throw EAbstractError(); }
std::string TMySQLAPI::mysql_get_host_info(PMYSQL_CON) { throw EAbstractError(); }
PMYSQL_RES TMySQLAPI::mysql_use_result(PMYSQL_CON) { throw EAbstractError(); }
PMYSQL_RES TMySQLAPI::mysql_store_result(PMYSQL_CON) { throw EAbstractError(); }
int TMySQLAPI::mysql_options(PMYSQL_CON, TMySqlOption, int) { throw EAbstractError(); }
int TMySQLAPI::mysql_options(PMYSQL_CON, TMySqlOption, const std::string&) { throw EAbstractError(); }
void TMySQLAPI::mysql_free_result(PMYSQL_RES) { throw EAbstractError(); }
PMYSQL_ROW TMySQLAPI::mysql_fetch_row(PMYSQL_RES) { throw EAbstractError(); }
std::int64_t TMySQLAPI::mysql_num_rows(PMYSQL_RES) { throw EAbstractError(); }
int TMySQLAPI::mysql_server_init(int, char**, char**) { throw EAbstractError(); }
void TMySQLAPI::mysql_server_end() { throw EAbstractError(); }
bool TMySQLAPI::mysql_more_results(PMYSQL_CON) { throw EAbstractError(); }
int TMySQLAPI::mysql_next_result(PMYSQL_CON) { throw EAbstractError(); }

PMYSQL_STMT TMySQLAPI::mysql_stmt_init(PMYSQL_CON) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_prepare(PMYSQL_STMT, const char*, std::size_t) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_execute(PMYSQL_STMT) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_stmt_param_count(PMYSQL_STMT) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_stmt_field_count(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_close(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_free_result(PMYSQL_STMT) { throw EAbstractError(); }
std::uint32_t TMySQLAPI::mysql_stmt_errno(PMYSQL_STMT) { throw EAbstractError(); }
std::string TMySQLAPI::mysql_stmt_error(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_fetch(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_send_long_data(PMYSQL_STMT, std::uint32_t, const char*, std::size_t) {
  throw EAbstractError();
}
PMYSQL_RES TMySQLAPI::mysql_stmt_result_metadata(PMYSQL_STMT) { throw EAbstractError(); }
PMYSQL_RES TMySQLAPI::mysql_stmt_param_metadata(PMYSQL_STMT) { throw EAbstractError(); }
std::int64_t TMySQLAPI::mysql_stmt_affected_rows(PMYSQL_STMT) { throw EAbstractError(); }
std::int64_t TMySQLAPI::mysql_stmt_insert_id(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::mysql_stmt_next_result(PMYSQL_STMT) { throw EAbstractError(); }

bool TMySQLAPI::LoadedMySQLLib() { throw EAbstractError(); }
void TMySQLAPI::LoadMySQLLib() { throw EAbstractError(); }
void TMySQLAPI::FreeMySQLLib() { throw EAbstractError(); }
void TMySQLAPI::CheckMySQLLib() { throw EAbstractError(); }

void TMySQLAPI::_mysql_fetch_field_direct(PMYSQL_RES, std::uint32_t, TMYSQL_FIELD&, bool) { throw EAbstractError(); }
PMYSQL_ROW TMySQLAPI::_mysql_fetch_row(PMYSQL_RES) { throw EAbstractError(); }
void TMySQLAPI::_mysql_fetch_lengths(PMYSQL_RES, std::span<std::uint32_t>) { throw EAbstractError(); }
bool TMySQLAPI::_mysql_fetch_value_is_null(PMYSQL_ROW, std::uint32_t) { throw EAbstractError(); }
const char* TMySQLAPI::_mysql_fetch_value_ptr(PMYSQL_RES, PMYSQL_ROW, std::uint32_t) { throw EAbstractError(); }
std::size_t TMySQLAPI::_mysql_fetch_value_to_buff(PMYSQL_ROW, std::uint32_t, std::size_t, std::size_t,
                                                  std::span<std::uint8_t>) {
  throw EAbstractError();
}
std::size_t TMySQLAPI::_mysql_fetch_value_to_buff(PMYSQL_ROW, std::uint32_t, std::size_t, void*) {
  throw EAbstractError();
}
std::size_t TMySQLAPI::_mysql_fetch_value_to_str(PMYSQL_ROW, std::uint32_t, std::size_t, std::size_t,
                                                 std::span<std::uint8_t>) {
  throw EAbstractError();
}
std::size_t TMySQLAPI::_mysql_fetch_value_to_str(PMYSQL_ROW, std::uint32_t, std::size_t, void*) {
  throw EAbstractError();
}
const std::uint8_t* TMySQLAPI::_mysql_fetch_value_arr(PMYSQL_ROW, std::uint32_t, std::int32_t&) {
  throw EAbstractError();
}
std::string TMySQLAPI::_mysql_fetch_value_str(PMYSQL_ROW, std::uint32_t) { throw EAbstractError(); }

int TMySQLAPI::_mysql_stmt_execute(PMYSQL_STMT, std::span<TParamDesc* const>, bool, bool) { throw EAbstractError(); }
int TMySQLAPI::_mysql_stmt_bind_result(PMYSQL_STMT) { throw EAbstractError(); }
int TMySQLAPI::_mysql_stmt_fetch(PMYSQL_STMT, PMYSQL_ROW&) { throw EAbstractError(); }
void TMySQLAPI::_mysql_stmt_fetch_lengths(PMYSQL_ROW, std::span<std::uint32_t>) { throw EAbstractError(); }
const char* TMySQLAPI::_mysql_stmt_fetch_value_ptr(PMYSQL_STMT, std::uint32_t) { throw EAbstractError(); }

void TMySQLAPI::SetTimeout(PMYSQL_CON pmysql, int Timeout) {
  if (FClientStructVer != cvDirect && FClientStructVer != cv410 && FClientStructVer != cv411) return;
  if (Timeout == 0) Timeout = ClientNetReadTimeout;
  mysql_options(pmysql, MYSQL_OPT_READ_TIMEOUT, Timeout);
  mysql_options(pmysql, MYSQL_OPT_WRITE_TIMEOUT, Timeout);
}

}  // namespace lumo
