#include <lumokit/mysql/wire/MySqlApiClient.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <unordered_set>
#include <vector>

#include <lumokit/core/Format.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/mysql/wire/MySqlErrors.h>
#include <lumokit/mysql/wire/MySqlStmt.h>

#include <mysql.h>  // the library's declarations (after our headers: its macros)

namespace lumo {

// The records of the 4.1 layout on this 64-bit platform.
static_assert(sizeof(void*) == 8, "the library facade reads 64-bit layouts");
static_assert(std::endian::native == std::endian::little, "fixed-size binary values are little-endian");
static_assert(sizeof(MYSQL_FIELD) == 128 && offsetof(MYSQL_FIELD, flags) == 100 && offsetof(MYSQL_FIELD, type) == 112,
              "unexpected MYSQL_FIELD layout");
static_assert(sizeof(MYSQL_BIND) == 112 && offsetof(MYSQL_BIND, buffer_type) == 96 &&
                  offsetof(MYSQL_BIND, is_unsigned) == 101,
              "unexpected MYSQL_BIND layout");
static_assert(sizeof(MYSQL_TIME) == 40, "unexpected MYSQL_TIME layout");
// Our option numbers are the library's.
static_assert(::MYSQL_OPT_CONNECT_TIMEOUT == static_cast<int>(lumo::MYSQL_OPT_CONNECT_TIMEOUT) &&
              ::MYSQL_SET_CHARSET_NAME == static_cast<int>(lumo::MYSQL_SET_CHARSET_NAME) &&
              ::MYSQL_OPT_PROTOCOL == static_cast<int>(lumo::MYSQL_OPT_PROTOCOL) &&
              ::MYSQL_OPT_READ_TIMEOUT == static_cast<int>(lumo::MYSQL_OPT_READ_TIMEOUT) &&
              ::MYSQL_SET_CLIENT_IP == static_cast<int>(lumo::MYSQL_SET_CLIENT_IP) &&
              ::MYSQL_SECURE_AUTH == static_cast<int>(lumo::MYSQL_SECURE_AUTH));
static_assert(NoData == MYSQL_NO_DATA);

// Every entry point the facade looks up.
#define LUMO_CLIENT_FUNCTIONS(X)                                                                                   \
  X(mysql_num_fields) X(mysql_fetch_field_direct) X(mysql_field_count) X(mysql_affected_rows) X(mysql_insert_id)    \
  X(mysql_errno) X(mysql_error) X(mysql_info) X(mysql_thread_id) X(mysql_character_set_name) X(mysql_init)          \
  X(mysql_ssl_set) X(mysql_real_connect) X(mysql_close) X(mysql_select_db) X(mysql_real_query) X(mysql_kill)       \
  X(mysql_ping) X(mysql_get_server_info) X(mysql_get_client_info) X(mysql_get_host_info) X(mysql_use_result)       \
  X(mysql_options) X(mysql_free_result) X(mysql_fetch_row) X(mysql_fetch_lengths) X(mysql_server_init)             \
  X(mysql_server_end) X(mysql_stmt_init) X(mysql_stmt_prepare) X(mysql_stmt_execute) X(mysql_stmt_param_count)     \
  X(mysql_stmt_bind_param) X(mysql_stmt_bind_result) X(mysql_stmt_field_count) X(mysql_stmt_close)                 \
  X(mysql_stmt_free_result) X(mysql_stmt_errno) X(mysql_stmt_error) X(mysql_stmt_fetch) X(mysql_stmt_fetch_column) \
  X(mysql_stmt_send_long_data) X(mysql_stmt_result_metadata) X(mysql_stmt_affected_rows)                           \
  X(mysql_stmt_store_result) X(mysql_more_results) X(mysql_next_result) X(mysql_store_result) X(mysql_num_rows)     \
  X(mysql_real_escape_string) X(mysql_sqlstate) X(mysql_stmt_next_result) X(mysql_stmt_insert_id)                  \
  X(mysql_stmt_reset) X(mariadb_get_infov)

namespace {

std::mutex GSettingsLock;
std::string GClientLibrary;

// ---- handles ------------------------------------------------------------------------------------

// A row: one value pointer per column (null for NULL) and the lengths.
struct TLibRow {
  const char* const* Values = nullptr;
  const unsigned long* Lengths = nullptr;
  std::uint32_t Count = 0;
};

struct TLibConnection;

// The library's own free functions, as the deleters of its objects.
struct TResultFree {
  decltype(&::mysql_free_result) Fn = nullptr;
  void operator()(MYSQL_RES* r) const noexcept {
    if (Fn) Fn(r);
  }
};
struct TConnectionClose {
  decltype(&::mysql_close) Fn = nullptr;
  void operator()(MYSQL* m) const noexcept {
    if (Fn) Fn(m);
  }
};
struct TStmtClose {
  decltype(&::mysql_stmt_close) Fn = nullptr;
  void operator()(MYSQL_STMT* s) const noexcept {
    if (Fn) Fn(s);
  }
};

// A result: its columns, copied when it is made (they outlive the library's
// record), and the library's result while rows are left to read.
struct TLibResult {
  std::unique_ptr<MYSQL_RES, TResultFree> Res;
  TLibConnection* Con = nullptr;  // the connection it belongs to while alive
  std::vector<TMYSQL_FIELD> Fields;
  TLibRow Row;
  bool Finished = false;
};

struct TLibStmt;

struct TLibConnection {
  std::unique_ptr<MYSQL, TConnectionClose> My;
  // Results and statements made on it and not freed yet.
  std::vector<TLibResult*> Results;
  std::vector<TLibStmt*> Stmts;
};

// One result column of a statement, bound by its type.
struct TLibColumn {
  enum TKind : std::uint8_t { ckFixed, ckDate, ckTime, ckNull, ckBytes };
  TKind Kind = ckBytes;
  std::uint8_t Type = 0;
  std::size_t Size = 0;  // bytes of a fixed-size value
  std::vector<char> Buffer;
  MYSQL_TIME Time{};
  unsigned long Length = 0;
  my_bool IsNull = 0;
  my_bool Error = 0;
  std::uint8_t Wire[12] = {};  // a date or time in the binary protocol's form
};

struct TLibStmt {
  std::unique_ptr<MYSQL_STMT, TStmtClose> St;
  TLibConnection* Con = nullptr;  // null once its connection was closed
  // The facade's own refusal of the last call (0: the library's error).
  std::uint32_t Errno = 0;
  std::string Error;
  bool Prepared = false;
  bool Executed = false;  // results of the last execution may be left
  // Parameters of the last execution (the binds point into them).
  std::vector<TMySqlStmtParam> Wire;
  std::vector<MYSQL_BIND> ParamBinds;
  std::vector<MYSQL_TIME> ParamTimes;
  std::vector<std::string> ParamTexts;
  std::vector<my_bool> ParamNulls;
  std::vector<unsigned long> ParamLengths;
  // Result columns (never resized while bound: the binds point into them).
  std::vector<TLibColumn> Columns;
  std::vector<MYSQL_BIND> ResultBinds;
  std::vector<const char*> Values;
  std::vector<unsigned long> Lengths;
  TLibRow Row;
  bool HaveRow = false;
};

TLibConnection* ConOf(PMYSQL_CON p) noexcept { return reinterpret_cast<TLibConnection*>(p); }
PMYSQL_CON HandleOf(TLibConnection* c) noexcept { return reinterpret_cast<PMYSQL_CON>(c); }
TLibResult* ResOf(PMYSQL_RES p) noexcept { return reinterpret_cast<TLibResult*>(p); }
PMYSQL_RES HandleOf(TLibResult* r) noexcept { return reinterpret_cast<PMYSQL_RES>(r); }
const TLibRow* RowOf(PMYSQL_ROW p) noexcept { return reinterpret_cast<const TLibRow*>(p); }
PMYSQL_ROW HandleOf(TLibRow* r) noexcept { return reinterpret_cast<PMYSQL_ROW>(r); }
TLibStmt* StmtOf(PMYSQL_STMT p) noexcept { return reinterpret_cast<TLibStmt*>(p); }
PMYSQL_STMT HandleOf(TLibStmt* s) noexcept { return reinterpret_cast<PMYSQL_STMT>(s); }

[[noreturn]] void RaiseNullHandle() { throw EMySqlException(cr::NULL_POINTER); }

TLibConnection& Con(PMYSQL_CON p) {
  if (!p) throw EMySqlException(cr::INVALID_CONN_HANDLE);
  return *ConOf(p);
}

// A connection that is still open in the library (2006 once it was closed
// by FreeMySQLLib).
MYSQL* My(PMYSQL_CON p) {
  TLibConnection& c = Con(p);
  if (!c.My) throw EMySqlException(cr::SERVER_GONE_ERROR);
  return c.My.get();
}

TLibResult& Res(PMYSQL_RES p) {
  if (!p) RaiseNullHandle();
  return *ResOf(p);
}

TLibStmt& St(PMYSQL_STMT p) {
  if (!p) RaiseNullHandle();
  return *StmtOf(p);
}

const TLibRow& Row(PMYSQL_ROW prow, std::uint32_t fieldnr) {
  if (!prow) RaiseNullHandle();
  const TLibRow& r = *RowOf(prow);
  if (fieldnr >= r.Count) throw EArgumentError(Format("Invalid field number %d", {fieldnr}));
  return r;
}

const char* Cstr(const std::string& s) noexcept { return s.empty() ? nullptr : s.c_str(); }

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// Copies up to Len bytes of a value; returns the count.
std::size_t CopyValue(const TLibRow& r, std::uint32_t n, std::size_t Len, std::uint8_t* dst) {
  const char* v = r.Values[n];
  if (!v || Len == 0) return 0;
  const std::size_t count = std::min<std::size_t>(Len, r.Lengths[n]);
  if (count) std::memcpy(dst, v, count);
  return count;
}

std::size_t CopyLength(const TLibRow& r, std::uint32_t n, std::size_t Len) {
  return r.Values[n] ? std::min<std::size_t>(Len, r.Lengths[n]) : 0;
}

std::uint8_t* Target(std::span<std::uint8_t> Buff, std::size_t Off, std::size_t n) {
  if (Off > Buff.size() || n > Buff.size() - Off) throw EArgumentError("Buffer too small");
  return Buff.data() + Off;
}

// ---- binary values ------------------------------------------------------------------------------

bool IsTemporal(std::uint8_t type) noexcept {
  return type == MYSQL_TYPE_DATE || type == MYSQL_TYPE_NEWDATE || type == MYSQL_TYPE_DATETIME ||
         type == MYSQL_TYPE_TIMESTAMP || type == MYSQL_TYPE_TIME;
}

// A date, date-time or time in the binary protocol's form; returns its
// length (0 for the zero value).
std::size_t EncodeMoment(const MYSQL_TIME& t, bool isTime, std::uint8_t* out) noexcept {
  auto put = [](std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  if (isTime) {
    const std::uint64_t hours = static_cast<std::uint64_t>(t.day) * 24 + t.hour;
    if (hours == 0 && t.minute == 0 && t.second == 0 && t.second_part == 0) return 0;
    out[0] = t.neg ? 1 : 0;
    put(out + 1, hours / 24, 4);
    out[5] = static_cast<std::uint8_t>(hours % 24);
    out[6] = static_cast<std::uint8_t>(t.minute);
    out[7] = static_cast<std::uint8_t>(t.second);
    if (t.second_part == 0) return 8;
    put(out + 8, t.second_part, 4);
    return 12;
  }
  const bool timeZero = t.hour == 0 && t.minute == 0 && t.second == 0 && t.second_part == 0;
  if (t.year == 0 && t.month == 0 && t.day == 0 && timeZero) return 0;
  put(out, t.year, 2);
  out[2] = static_cast<std::uint8_t>(t.month);
  out[3] = static_cast<std::uint8_t>(t.day);
  if (timeZero) return 4;
  out[4] = static_cast<std::uint8_t>(t.hour);
  out[5] = static_cast<std::uint8_t>(t.minute);
  out[6] = static_cast<std::uint8_t>(t.second);
  if (t.second_part == 0) return 7;
  put(out + 7, t.second_part, 4);
  return 11;
}

// A temporal parameter's wire form (its length byte first) as MYSQL_TIME.
MYSQL_TIME MomentOf(const TMySqlStmtParam& p) {
  TMySqlBinaryMoment m;
  const bool isTime = p.Type == MYSQL_TYPE_TIME;
  const bool ok = isTime ? DecodeBinaryTime(p.Fixed + 1, p.Fixed[0], m) : DecodeBinaryDate(p.Fixed + 1, p.Fixed[0], m);
  LUMO_ASSERT(ok);
  MYSQL_TIME t{};
  t.neg = m.Negative ? 1 : 0;
  t.second_part = m.Micro;
  t.minute = static_cast<unsigned>(m.Minute);
  t.second = static_cast<unsigned>(m.Second);
  if (isTime) {
    // Days and hours apart, as the binary protocol sends a TIME.
    t.day = m.Days;
    t.hour = static_cast<unsigned>(m.Hour);
    t.time_type = MYSQL_TIMESTAMP_TIME;
  } else {
    t.year = static_cast<unsigned>(m.Year);
    t.month = static_cast<unsigned>(m.Month);
    t.day = static_cast<unsigned>(m.Day);
    t.hour = static_cast<unsigned>(m.Hour);
    t.time_type = p.Type == MYSQL_TYPE_DATE ? MYSQL_TIMESTAMP_DATE : MYSQL_TIMESTAMP_DATETIME;
  }
  return t;
}

// How a result column of this type is bound.
void ChooseBinding(TLibColumn& c, const TMYSQL_FIELD& f) {
  c.Type = f.MyType;
  switch (f.MyType) {
    case MYSQL_TYPE_TINY:
      c.Kind = TLibColumn::ckFixed, c.Size = 1;
      break;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
      c.Kind = TLibColumn::ckFixed, c.Size = 2;
      break;
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_FLOAT:
      c.Kind = TLibColumn::ckFixed, c.Size = 4;
      break;
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_DOUBLE:
      c.Kind = TLibColumn::ckFixed, c.Size = 8;
      break;
    case MYSQL_TYPE_TIME:
      c.Kind = TLibColumn::ckTime;
      break;
    case MYSQL_TYPE_NULL:
      c.Kind = TLibColumn::ckNull;
      break;
    default:
      c.Kind = IsTemporal(f.MyType) ? TLibColumn::ckDate : TLibColumn::ckBytes;
      break;
  }
  if (c.Kind == TLibColumn::ckFixed) {
    c.Buffer.assign(8, 0);
  } else if (c.Kind == TLibColumn::ckBytes) {
    // Room for most values; a longer one is fetched again with more.
    const std::size_t room = std::clamp<std::size_t>(static_cast<std::size_t>(f.LengthInBytes) + 1, 16, 8192);
    c.Buffer.assign(room, 0);
  } else {
    c.Buffer.assign(1, 0);
  }
}

enum_field_types BufferType(const TLibColumn& c) noexcept {
  switch (c.Kind) {
    case TLibColumn::ckFixed:
      // MEDIUMINT into 4 bytes, YEAR into 2, as the binary protocol sends them.
      if (c.Type == MYSQL_TYPE_INT24) return ::MYSQL_TYPE_LONG;
      if (c.Type == MYSQL_TYPE_YEAR) return ::MYSQL_TYPE_SHORT;
      return static_cast<enum_field_types>(c.Type);
    case TLibColumn::ckDate:
    case TLibColumn::ckTime:
      return static_cast<enum_field_types>(c.Type);
    case TLibColumn::ckNull:
      return ::MYSQL_TYPE_NULL;
    default:
      return ::MYSQL_TYPE_BLOB;  // the bytes as they come
  }
}

void PointBind(MYSQL_BIND& b, TLibColumn& c, bool isUnsigned) {
  b = MYSQL_BIND{};
  b.buffer_type = BufferType(c);
  b.is_unsigned = isUnsigned ? 1 : 0;
  b.length = &c.Length;
  b.is_null = &c.IsNull;
  b.error = &c.Error;
  if (c.Kind == TLibColumn::ckDate || c.Kind == TLibColumn::ckTime) {
    b.buffer = &c.Time;
    b.buffer_length = sizeof c.Time;
  } else {
    b.buffer = c.Buffer.data();
    b.buffer_length = c.Kind == TLibColumn::ckFixed ? c.Size : c.Buffer.size();
  }
}

}  // namespace

// ---- the facade's state -------------------------------------------------------------------------

struct TMySQLAPIClient::TState {
#define LUMO_ENTRY(name) decltype(&::name) name = nullptr;
  LUMO_CLIENT_FUNCTIONS(LUMO_ENTRY)
#undef LUMO_ENTRY
  std::string LibraryName;
  std::string NotLinked;

  std::mutex LiveLock;
  std::unordered_set<TLibConnection*> Live;

  // The entry point, or the "not linked" error when the library lacks it.
  template <class Fn>
  Fn Need(Fn fn) const {
    if (!fn) throw Exception(NotLinked);
    return fn;
  }

  void Resolve(const TDynamicLibrary& lib) {
#define LUMO_RESOLVE(name) name = reinterpret_cast<decltype(name)>(lib.Symbol(#name));
    LUMO_CLIENT_FUNCTIONS(LUMO_RESOLVE)
#undef LUMO_RESOLVE
  }
  void Forget() noexcept {
#define LUMO_FORGET(name) name = nullptr;
    LUMO_CLIENT_FUNCTIONS(LUMO_FORGET)
#undef LUMO_FORGET
  }

  // ---- handle life cycles

  TLibResult* Wrap(MYSQL_RES* res, TLibConnection* con) {
    auto r = std::make_unique<TLibResult>();
    r->Res = std::unique_ptr<MYSQL_RES, TResultFree>(res, TResultFree{mysql_free_result});
    const unsigned n = Need(mysql_num_fields)(res);
    r->Fields.resize(n);
    for (unsigned i = 0; i < n; ++i) CopyField(*Need(mysql_fetch_field_direct)(res, i), r->Fields[i]);
    r->Row.Count = n;
    r->Con = con;
    if (con) con->Results.push_back(r.get());
    return r.release();
  }

  static void CopyField(const MYSQL_FIELD& f, TMYSQL_FIELD& d) {
    d.Name.assign(f.name ? f.name : "", f.name ? f.name_length : 0);
    d.OrgName.assign(f.org_name ? f.org_name : "", f.org_name ? f.org_name_length : 0);
    if (d.OrgName.empty()) d.OrgName = d.Name;
    d.Table.assign(f.table ? f.table : "", f.table ? f.table_length : 0);
    d.OrgTable.assign(f.org_table ? f.org_table : "", f.org_table ? f.org_table_length : 0);
    d.MyType = static_cast<std::uint8_t>(f.type);
    d.Flags = f.flags;
    // Numeric columns carry NUM as the wire client marks them.
    if (IsNumericField(d.MyType, static_cast<std::uint32_t>(std::min<unsigned long>(f.length, UINT32_MAX))))
      d.Flags |= field_flag::NUM;
    d.LengthInBytes = CorrectFieldLen(static_cast<std::int64_t>(f.length));
    d.CharsetNr = f.charsetnr;
    d.Decimals = f.decimals;
  }

  // Forgets the result's rows (the library's record is freed).
  static void Finish(TLibResult& r) noexcept {
    r.Res.reset();
    r.Finished = true;
    r.Row.Values = nullptr;
    r.Row.Lengths = nullptr;
  }

  static void Unlink(TLibResult& r) noexcept {
    if (!r.Con) return;
    auto& list = r.Con->Results;
    list.erase(std::remove(list.begin(), list.end(), &r), list.end());
    r.Con = nullptr;
  }

  static void Unlink(TLibStmt& s) noexcept {
    if (!s.Con) return;
    auto& list = s.Con->Stmts;
    list.erase(std::remove(list.begin(), list.end(), &s), list.end());
    s.Con = nullptr;
  }

  // Frees the connection's results and closes its statements in the library
  // while the connection is still open, then closes it.
  void Shut(TLibConnection& c) noexcept {
    for (TLibResult* r : std::vector<TLibResult*>(c.Results)) {
      Finish(*r);
      r->Con = nullptr;
    }
    c.Results.clear();
    for (TLibStmt* s : std::vector<TLibStmt*>(c.Stmts)) {
      s->St.reset();
      s->Con = nullptr;
      s->HaveRow = false;
    }
    c.Stmts.clear();
    c.My.reset();
  }

  // The same without calling the library: its objects are left as they are.
  static void Abandon(TLibConnection& c) noexcept {
    for (TLibResult* r : c.Results) {
      (void)r->Res.release();
      TState::Finish(*r);
      r->Con = nullptr;
    }
    c.Results.clear();
    for (TLibStmt* s : c.Stmts) {
      (void)s->St.release();
      s->Con = nullptr;
      s->HaveRow = false;
    }
    c.Stmts.clear();
    (void)c.My.release();
  }
};

// ---- settings and registration -----------------------------------------------------------------

void SetMySQLClientLibrary(std::string fileName) {
  std::lock_guard<std::mutex> lock(GSettingsLock);
  GClientLibrary = std::move(fileName);
}

std::string MySQLClientLibrary() {
  std::lock_guard<std::mutex> lock(GSettingsLock);
  return GClientLibrary;
}

TMySQLAPIClient* MyAPIClient = nullptr;

namespace {
TMySQLAPISlot<TMySQLAPIClient> GMyAPIClient(MyAPIClient);
}  // namespace

std::shared_ptr<TMySQLAPIClient> AcquireMySqlApiClient() { return GMyAPIClient.Acquire(); }

void RegisterMySqlApiClient() { GMyAPIClient.Acquire(); }

void UnregisterMySqlApiClient() { GMyAPIClient.Release(); }

// ---- loading ------------------------------------------------------------------------------------

TMySQLAPIClient::TMySQLAPIClient() : F(std::make_unique<TState>()) { FClientStructVer = cv411; }

TMySQLAPIClient::~TMySQLAPIClient() { UnloadLibrary(); }

std::string TMySQLAPIClient::GetLibraryName() {
  std::string name = MySQLClientLibrary();
  return name.empty() ? DefaultLibraryName() : name;
}

std::string TMySQLAPIClient::NotLinkedMessage(const std::string& libraryName) const {
  return "MySQL API function is not linked. You should update MySQL client library (" + libraryName + ").";
}

TClientStructVer TMySQLAPIClient::ClientStructVerOf(std::string_view version, bool hasInfov) {
  if (hasInfov || version.find("MariaDB") != std::string_view::npos) return cv411;
  // major.minor.release: the digits after each dot up to a non-digit.
  int parts[3] = {0, 0, 0};
  std::size_t p = 0;
  for (int i = 0; i < 3; ++i) {
    while (p < version.size() && version[p] >= '0' && version[p] <= '9') {
      parts[i] = parts[i] * 10 + (version[p] - '0');
      if (parts[i] > 1000000) break;
      ++p;
    }
    const std::size_t dot = version.find('.', p);
    if (dot == std::string_view::npos) break;
    p = dot + 1;
  }
  const int major = parts[0], minor = parts[1], release = parts[2];
  if (major == 3) return cv3;
  if (major == 4) return minor == 0 ? cv4 : release != 0 ? cv411 : cv410;
  if (major == 5 || major == 6 || major >= 10) return cv411;
  throw Exception("Invalid client version");
}

void TMySQLAPIClient::RequireLibrary() {
  std::lock_guard<std::recursive_mutex> lock(FLoadLock);
  if (FLibrary.Loaded()) return;
  const std::string name = GetLibraryName();
  if (!FLibrary.Load(name)) {
    throw EOSError("MySQL client library couldn't be loaded. Please place " + name +
                       " file to system folder (included to PATH) or to the folder with executable unit of main "
                       "program.\n" +
                       FLibrary.LastError(),
                   FLibrary.LastErrorCode());
  }
  FLoadedName = name;
  F->LibraryName = name;
  F->NotLinked = NotLinkedMessage(name);
  F->Resolve(FLibrary);
}

void TMySQLAPIClient::ReadClientVersion() {
  const std::string version = Text(F->Need(F->mysql_get_client_info)());
  const TClientStructVer v = ClientStructVerOf(version, F->mariadb_get_infov != nullptr);
  // Only the 4.1 layout can be read here (see the unit comment).
  if (v != cv411) throw Exception("Invalid client version");
  // Written only when another library was loaded (no connection is live
  // then): connects in other threads read these without the lock.
  if (FClientVer != version) FClientVer = version;
  if (FClientStructVer != v) FClientStructVer = v;
}

bool TMySQLAPIClient::LoadedMySQLLib() { return FLibrary.Loaded(); }

void TMySQLAPIClient::LoadMySQLLib() {
  std::lock_guard<std::recursive_mutex> lock(FLoadLock);
  RequireLibrary();
  ReadClientVersion();
  if (!FInitialised) {
    // Once, before any connection, as threaded programs must.
    if (F->Need(F->mysql_server_init)(0, nullptr, nullptr) != 0) throw Exception("A call to an mysql_server_init failed");
    FInitialised = true;
  }
}

void TMySQLAPIClient::CheckMySQLLib() { LoadMySQLLib(); }

void TMySQLAPIClient::FreeMySQLLib() { UnloadLibrary(); }

void TMySQLAPIClient::CloseLiveConnections() noexcept {
  std::lock_guard<std::mutex> live(F->LiveLock);
  for (TLibConnection* c : F->Live) F->Shut(*c);
  F->Live.clear();
}

void TMySQLAPIClient::UnloadLibrary() noexcept {
  std::lock_guard<std::recursive_mutex> lock(FLoadLock);
  CloseLiveConnections();
  F->Forget();
  FLibrary.Free();
  FInitialised = false;
}

void TMySQLAPIClient::AbandonLibrary() noexcept {
  std::lock_guard<std::recursive_mutex> lock(FLoadLock);
  {
    std::lock_guard<std::mutex> live(F->LiveLock);
    for (TLibConnection* c : F->Live) F->Abandon(*c);
    F->Live.clear();
  }
  F->Forget();
  FInitialised = false;
}

std::optional<bool> TMySQLAPIClient::NoBackslashEscapes(PMYSQL_CON pmysql) {
  if (!F->mariadb_get_infov) return std::nullopt;
  unsigned int status = 0;
  if (F->mariadb_get_infov(My(pmysql), MARIADB_CONNECTION_SERVER_STATUS, &status) != 0) return std::nullopt;
  return (status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0;
}

// ---- connections --------------------------------------------------------------------------------

PMYSQL_CON TMySQLAPIClient::mysql_init(PMYSQL_CON) {
  MYSQL* m = F->Need(F->mysql_init)(nullptr);
  if (!m) return nullptr;
  auto c = std::make_unique<TLibConnection>();
  c->My = std::unique_ptr<MYSQL, TConnectionClose>(m, TConnectionClose{F->mysql_close});
  // The wire client's character set until another one is asked for.
  F->Need(F->mysql_options)(m, ::MYSQL_SET_CHARSET_NAME, "latin1");
  std::lock_guard<std::mutex> live(F->LiveLock);
  F->Live.insert(c.get());
  return HandleOf(c.release());
}

void TMySQLAPIClient::mysql_close(PMYSQL_CON pmysql) {
  if (!pmysql) return;
  std::unique_ptr<TLibConnection> c(ConOf(pmysql));
  {
    std::lock_guard<std::mutex> live(F->LiveLock);
    F->Live.erase(c.get());
  }
  F->Shut(*c);
}

std::uint32_t TMySQLAPIClient::mysql_errno(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  if (!c.My) return cr::SERVER_GONE_ERROR;
  return F->Need(F->mysql_errno)(c.My.get());
}

std::string TMySQLAPIClient::mysql_error(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  if (!c.My) return GetError(cr::SERVER_GONE_ERROR);
  return Text(F->Need(F->mysql_error)(c.My.get()));
}

std::string TMySQLAPIClient::mysql_sqlstate(PMYSQL_CON pmysql) { return Text(F->Need(F->mysql_sqlstate)(My(pmysql))); }

std::uint32_t TMySQLAPIClient::mysql_field_count(PMYSQL_CON pmysql) {
  return F->Need(F->mysql_field_count)(My(pmysql));
}

std::int64_t TMySQLAPIClient::mysql_affected_rows(PMYSQL_CON pmysql) {
  return static_cast<std::int64_t>(F->Need(F->mysql_affected_rows)(My(pmysql)));
}

std::int64_t TMySQLAPIClient::mysql_insert_id(PMYSQL_CON pmysql) {
  return static_cast<std::int64_t>(F->Need(F->mysql_insert_id)(My(pmysql)));
}

std::string TMySQLAPIClient::mysql_info(PMYSQL_CON pmysql) { return Text(F->Need(F->mysql_info)(My(pmysql))); }

std::uint32_t TMySQLAPIClient::mysql_thread_id(PMYSQL_CON pmysql) {
  return static_cast<std::uint32_t>(F->Need(F->mysql_thread_id)(My(pmysql)));
}

std::string TMySQLAPIClient::mysql_character_set_name(PMYSQL_CON pmysql) {
  return Text(F->Need(F->mysql_character_set_name)(My(pmysql)));
}

std::string TMySQLAPIClient::mysql_real_escape_string(PMYSQL_CON pmysql, std::string_view from) {
  MYSQL* m = My(pmysql);
  std::string to(from.size() * 2 + 1, '\0');
  const unsigned long n = F->Need(F->mysql_real_escape_string)(m, to.data(), from.data(), from.size());
  if (n == static_cast<unsigned long>(-1)) throw EConvertError("The text cannot be escaped for this character set");
  to.resize(n);
  return to;
}

int TMySQLAPIClient::mysql_ssl_set(PMYSQL_CON pmysql, const std::string& key, const std::string& cert,
                                   const std::string& ca, const std::string& capath, const std::string& cipher) {
  MYSQL* m = My(pmysql);
  const int rc = F->Need(F->mysql_ssl_set)(m, Cstr(key), Cstr(cert), Cstr(ca), Cstr(capath), Cstr(cipher));
  if (rc != 0) return rc;
  auto options = F->Need(F->mysql_options);
  if (!ca.empty() || !capath.empty()) {
    const my_bool verify = 1;
    if (options(m, ::MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify) != 0) return 1;
  }
  // Connector/C: no connection without TLS, refused before the login.
  if (F->mariadb_get_infov) {
    const my_bool enforce = 1;
    if (options(m, ::MYSQL_OPT_SSL_ENFORCE, &enforce) != 0) return 1;
  }
  return 0;
}

PMYSQL_CON TMySQLAPIClient::mysql_real_connect(PMYSQL_CON pmysql, const std::string& host, const std::string& user,
                                               const std::string& passwd, const std::string& db, int port,
                                               const std::string& unix_socket, std::uint32_t clientflag) {
  MYSQL* m = My(pmysql);
  MYSQL* r = F->Need(F->mysql_real_connect)(m, Cstr(host), user.c_str(), passwd.c_str(), Cstr(db),
                                            static_cast<unsigned>(std::max(port, 0)), Cstr(unix_socket), clientflag);
  return r ? pmysql : nullptr;
}

int TMySQLAPIClient::mysql_select_db(PMYSQL_CON pmysql, const std::string& db) {
  MYSQL* m = My(pmysql);
  return F->Need(F->mysql_select_db)(m, db.c_str()) == 0 ? 0 : static_cast<int>(F->Need(F->mysql_errno)(m));
}

int TMySQLAPIClient::mysql_real_query(PMYSQL_CON pmysql, const char* q, std::size_t length) {
  MYSQL* m = My(pmysql);
  return F->Need(F->mysql_real_query)(m, q, length) == 0 ? 0 : static_cast<int>(F->Need(F->mysql_errno)(m));
}

int TMySQLAPIClient::mysql_kill(PMYSQL_CON pmysql, std::uint32_t pid) {
  MYSQL* m = My(pmysql);
  return F->Need(F->mysql_kill)(m, pid) == 0 ? 0 : static_cast<int>(F->Need(F->mysql_errno)(m));
}

int TMySQLAPIClient::mysql_ping(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  if (!c.My) return cr::SERVER_GONE_ERROR;
  return F->Need(F->mysql_ping)(c.My.get()) == 0 ? 0 : static_cast<int>(F->Need(F->mysql_errno)(c.My.get()));
}

std::string TMySQLAPIClient::mysql_get_server_info(PMYSQL_CON pmysql) {
  return Text(F->Need(F->mysql_get_server_info)(My(pmysql)));
}

std::string TMySQLAPIClient::mysql_get_client_info() { return Text(F->Need(F->mysql_get_client_info)()); }

std::string TMySQLAPIClient::mysql_get_host_info(PMYSQL_CON pmysql) {
  return Text(F->Need(F->mysql_get_host_info)(My(pmysql)));
}

int TMySQLAPIClient::mysql_options(PMYSQL_CON pmysql, TMySqlOption option, int value) {
  MYSQL* m = My(pmysql);
  auto options = F->Need(F->mysql_options);
  const auto opt = static_cast<enum mysql_option>(option);
  switch (option) {
    case MYSQL_OPT_CONNECT_TIMEOUT:
    case MYSQL_OPT_READ_TIMEOUT:
    case MYSQL_OPT_WRITE_TIMEOUT: {
      // The library counts in 32-bit milliseconds: "none" is 0 there.
      const unsigned seconds = value <= 0 || value >= 2147483 ? 0u : static_cast<unsigned>(value);
      return options(m, opt, &seconds);
    }
    case MYSQL_OPT_LOCAL_INFILE:
    case MYSQL_OPT_PROTOCOL: {
      const unsigned v = static_cast<unsigned>(value);
      return options(m, opt, &v);
    }
    case MYSQL_SECURE_AUTH: {
      const my_bool v = value != 0;
      return options(m, opt, &v);
    }
    case MYSQL_OPT_COMPRESS:
    case MYSQL_OPT_NAMED_PIPE:
    case MYSQL_OPT_USE_RESULT:
    case MYSQL_OPT_USE_REMOTE_CONNECTION:
    case MYSQL_OPT_USE_EMBEDDED_CONNECTION:
    case MYSQL_OPT_GUESS_CONNECTION:
      return options(m, opt, nullptr);
    default:
      return 0;  // a text option given a number
  }
}

int TMySQLAPIClient::mysql_options(PMYSQL_CON pmysql, TMySqlOption option, const std::string& value) {
  MYSQL* m = My(pmysql);
  switch (option) {
    case MYSQL_INIT_COMMAND:
    case MYSQL_READ_DEFAULT_FILE:
    case MYSQL_READ_DEFAULT_GROUP:
    case MYSQL_SET_CHARSET_DIR:
    case MYSQL_SET_CHARSET_NAME:
    case MYSQL_SHARED_MEMORY_BASE_NAME:
    case MYSQL_SET_CLIENT_IP:
      return F->Need(F->mysql_options)(m, static_cast<enum mysql_option>(option), value.c_str());
    default:
      return 0;
  }
}

int TMySQLAPIClient::mysql_server_init(int argc, char** argv, char** groups) {
  return F->Need(F->mysql_server_init)(argc, argv, groups);
}

void TMySQLAPIClient::mysql_server_end() { F->Need(F->mysql_server_end)(); }

bool TMySQLAPIClient::mysql_more_results(PMYSQL_CON pmysql) {
  return F->Need(F->mysql_more_results)(My(pmysql)) != 0;
}

int TMySQLAPIClient::mysql_next_result(PMYSQL_CON pmysql) { return F->Need(F->mysql_next_result)(My(pmysql)); }

// ---- results ------------------------------------------------------------------------------------

PMYSQL_RES TMySQLAPIClient::mysql_use_result(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  MYSQL_RES* r = F->Need(F->mysql_use_result)(My(pmysql));
  return r ? HandleOf(F->Wrap(r, &c)) : nullptr;
}

PMYSQL_RES TMySQLAPIClient::mysql_store_result(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  MYSQL_RES* r = F->Need(F->mysql_store_result)(My(pmysql));
  return r ? HandleOf(F->Wrap(r, &c)) : nullptr;
}

std::uint32_t TMySQLAPIClient::mysql_num_fields(PMYSQL_RES pres) {
  return static_cast<std::uint32_t>(Res(pres).Fields.size());
}

std::int64_t TMySQLAPIClient::mysql_num_rows(PMYSQL_RES pres) {
  TLibResult& r = Res(pres);
  return r.Res ? static_cast<std::int64_t>(F->Need(F->mysql_num_rows)(r.Res.get())) : 0;
}

void TMySQLAPIClient::mysql_free_result(PMYSQL_RES pres) {
  if (!pres) return;
  std::unique_ptr<TLibResult> r(ResOf(pres));
  TState::Unlink(*r);
  TState::Finish(*r);
}

PMYSQL_ROW TMySQLAPIClient::mysql_fetch_row(PMYSQL_RES pres) {
  TLibResult& r = Res(pres);
  if (r.Finished || !r.Res) return nullptr;
  MYSQL_ROW row = F->Need(F->mysql_fetch_row)(r.Res.get());
  if (!row) {
    // The end or an error (kept by the library); the record stays until it
    // is freed, since the library may look at its connection then.
    r.Finished = true;
    return nullptr;
  }
  r.Row.Values = row;
  r.Row.Lengths = F->Need(F->mysql_fetch_lengths)(r.Res.get());
  return HandleOf(&r.Row);
}

void TMySQLAPIClient::_mysql_fetch_field_direct(PMYSQL_RES pres, std::uint32_t fieldnr, TMYSQL_FIELD& field, bool) {
  const TLibResult& r = Res(pres);
  if (fieldnr >= r.Fields.size()) throw EArgumentError(Format("Invalid field number %d", {fieldnr}));
  field = r.Fields[fieldnr];
}

void TMySQLAPIClient::_mysql_fetch_lengths(PMYSQL_RES pres, std::span<std::uint32_t> Lens) {
  const TLibResult& r = Res(pres);
  if (Lens.size() != r.Row.Count) throw EArgumentError("Invalid fields count");
  for (std::size_t i = 0; i < Lens.size(); ++i)
    Lens[i] = r.Row.Lengths ? static_cast<std::uint32_t>(r.Row.Lengths[i]) : 0;
}

bool TMySQLAPIClient::_mysql_fetch_value_is_null(PMYSQL_ROW prow, std::uint32_t fieldnr) {
  return Row(prow, fieldnr).Values[fieldnr] == nullptr;
}

const char* TMySQLAPIClient::_mysql_fetch_value_ptr(PMYSQL_RES, PMYSQL_ROW prow, std::uint32_t fieldnr) {
  return Row(prow, fieldnr).Values[fieldnr];
}

std::size_t TMySQLAPIClient::_mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                        std::size_t Off, std::span<std::uint8_t> Buff) {
  const TLibRow& r = Row(prow, fieldnr);
  const std::size_t n = CopyLength(r, fieldnr, Len);
  return CopyValue(r, fieldnr, n, Target(Buff, Off, n));
}

std::size_t TMySQLAPIClient::_mysql_fetch_value_to_buff(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                        void* pBuff) {
  return CopyValue(Row(prow, fieldnr), fieldnr, Len, static_cast<std::uint8_t*>(pBuff));
}

std::size_t TMySQLAPIClient::_mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                       std::size_t Off, std::span<std::uint8_t> Buff) {
  const TLibRow& r = Row(prow, fieldnr);
  const std::size_t n = CopyLength(r, fieldnr, Len);
  std::uint8_t* dst = Target(Buff, Off, n + 1);
  CopyValue(r, fieldnr, n, dst);
  dst[n] = 0;
  return n;
}

std::size_t TMySQLAPIClient::_mysql_fetch_value_to_str(PMYSQL_ROW prow, std::uint32_t fieldnr, std::size_t Len,
                                                       void* pBuff) {
  auto* dst = static_cast<std::uint8_t*>(pBuff);
  const std::size_t n = CopyValue(Row(prow, fieldnr), fieldnr, Len, dst);
  dst[n] = 0;
  return n;
}

const std::uint8_t* TMySQLAPIClient::_mysql_fetch_value_arr(PMYSQL_ROW prow, std::uint32_t fieldnr,
                                                            std::int32_t& Off) {
  Off = 0;
  return reinterpret_cast<const std::uint8_t*>(Row(prow, fieldnr).Values[fieldnr]);
}

std::string TMySQLAPIClient::_mysql_fetch_value_str(PMYSQL_ROW prow, std::uint32_t fieldnr) {
  const TLibRow& r = Row(prow, fieldnr);
  const char* v = r.Values[fieldnr];
  return v ? std::string(v, r.Lengths[fieldnr]) : std::string();
}

// ---- prepared statements ------------------------------------------------------------------------

namespace {

// The facade's own refusal, kept in the statement until its next call.
int Refuse(TLibStmt& s, int code) {
  s.Errno = static_cast<std::uint32_t>(code);
  s.Error = GetError(code);
  return code;
}

// A statement whose connection is open; else the 2006 refusal (in `rc`).
MYSQL_STMT* Live(TLibStmt& s, int& rc) {
  s.Errno = 0;
  s.Error.clear();
  rc = 0;
  if (!s.Con || !s.St) {
    rc = Refuse(s, cr::SERVER_GONE_ERROR);
    return nullptr;
  }
  return s.St.get();
}

}  // namespace

PMYSQL_STMT TMySQLAPIClient::mysql_stmt_init(PMYSQL_CON pmysql) {
  TLibConnection& c = Con(pmysql);
  MYSQL_STMT* st = F->Need(F->mysql_stmt_init)(My(pmysql));
  if (!st) return nullptr;
  auto s = std::make_unique<TLibStmt>();
  s->St = std::unique_ptr<MYSQL_STMT, TStmtClose>(st, TStmtClose{F->mysql_stmt_close});
  s->Con = &c;
  c.Stmts.push_back(s.get());
  return HandleOf(s.release());
}

int TMySQLAPIClient::mysql_stmt_close(PMYSQL_STMT pstmt) {
  if (!pstmt) return 0;
  std::unique_ptr<TLibStmt> s(StmtOf(pstmt));
  TState::Unlink(*s);
  s->St.reset();  // closes it in the library (errors ignored)
  return 0;
}

int TMySQLAPIClient::mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* q, std::size_t length) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  s.Prepared = false;
  s.Executed = false;
  s.HaveRow = false;
  s.Columns.clear();
  s.ResultBinds.clear();
  if (F->Need(F->mysql_stmt_prepare)(st, q, length) != 0) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  s.Prepared = true;
  return 0;
}

std::uint32_t TMySQLAPIClient::mysql_stmt_param_count(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  return s.St ? static_cast<std::uint32_t>(F->Need(F->mysql_stmt_param_count)(s.St.get())) : 0;
}

std::uint32_t TMySQLAPIClient::mysql_stmt_field_count(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  return s.St ? F->Need(F->mysql_stmt_field_count)(s.St.get()) : 0;
}

std::uint32_t TMySQLAPIClient::mysql_stmt_errno(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  if (s.Errno != 0) return s.Errno;
  if (!s.St) return cr::SERVER_GONE_ERROR;
  return F->Need(F->mysql_stmt_errno)(s.St.get());
}

std::string TMySQLAPIClient::mysql_stmt_error(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  if (s.Errno != 0) return s.Error;
  if (!s.St) return GetError(cr::SERVER_GONE_ERROR);
  return Text(F->Need(F->mysql_stmt_error)(s.St.get()));
}

std::int64_t TMySQLAPIClient::mysql_stmt_affected_rows(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  return s.St ? static_cast<std::int64_t>(F->Need(F->mysql_stmt_affected_rows)(s.St.get())) : -1;
}

std::int64_t TMySQLAPIClient::mysql_stmt_insert_id(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  return s.St ? static_cast<std::int64_t>(F->Need(F->mysql_stmt_insert_id)(s.St.get())) : 0;
}

PMYSQL_RES TMySQLAPIClient::mysql_stmt_result_metadata(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  if (!s.St || !s.Prepared) return nullptr;
  MYSQL_RES* meta = F->Need(F->mysql_stmt_result_metadata)(s.St.get());
  if (!meta) return nullptr;
  // The columns are copied: the result needs neither the statement nor the
  // connection afterwards.
  TLibResult* r = F->Wrap(meta, nullptr);
  TState::Finish(*r);
  return HandleOf(r);
}

PMYSQL_RES TMySQLAPIClient::mysql_stmt_param_metadata(PMYSQL_STMT) {
  throw ENotSupportedError("mysql_stmt_param_metadata is not supported by the client library facade");
}

int TMySQLAPIClient::mysql_stmt_send_long_data(PMYSQL_STMT pstmt, std::uint32_t param_number, const char* data,
                                               std::size_t length) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  if (F->Need(F->mysql_stmt_send_long_data)(st, param_number, data, length) != 0)
    return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  return 0;
}

int TMySQLAPIClient::mysql_stmt_free_result(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  s.HaveRow = false;
  if (!s.Executed) return 0;
  // The rows of this result, then every further result of the execution.
  if (F->Need(F->mysql_stmt_free_result)(st) != 0) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  while (F->Need(F->mysql_more_results)(s.Con->My.get())) {
    const int next = F->Need(F->mysql_stmt_next_result)(st);
    if (next > 0) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
    if (next < 0) break;
    if (F->Need(F->mysql_stmt_free_result)(st) != 0) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  }
  s.Executed = false;
  return 0;
}

int TMySQLAPIClient::mysql_stmt_next_result(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  s.HaveRow = false;
  s.Columns.clear();
  s.ResultBinds.clear();
  const int next = F->Need(F->mysql_stmt_next_result)(st);
  if (next > 0) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  return next;
}

int TMySQLAPIClient::_mysql_stmt_execute(PMYSQL_STMT pstmt, std::span<TParamDesc* const> Params, bool Unicode,
                                         bool SendBlobCompressed) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  if (!s.Prepared) return Refuse(s, cr::NO_PREPARE_STMT);
  auto errnoOf = [&] { return static_cast<int>(F->Need(F->mysql_stmt_errno)(st)); };
  const std::size_t n = Params.size();
  if (n != F->Need(F->mysql_stmt_param_count)(st)) return Refuse(s, cr::NOT_ALL_PARAMS_BOUND);
  if (s.Executed) {
    const int left = mysql_stmt_free_result(pstmt);
    if (left != 0) return left;
  }
  s.HaveRow = false;
  s.Columns.clear();
  s.ResultBinds.clear();

  // The wire client's conversions; values stay in s.Wire until the next
  // execution, the binds point into them.
  s.Wire.resize(n);
  for (std::size_t i = 0; i < n; ++i) SetStmtParam(s.Wire[i], *Params[i], Unicode, SendBlobCompressed);
  s.ParamBinds.assign(n, MYSQL_BIND{});
  s.ParamTimes.assign(n, MYSQL_TIME{});
  s.ParamTexts.assign(n, std::string());
  s.ParamNulls.assign(n, 0);
  s.ParamLengths.assign(n, 0);
  std::vector<std::size_t> longData;
  for (std::size_t i = 0; i < n; ++i) {
    TMySqlStmtParam& w = s.Wire[i];
    MYSQL_BIND& b = s.ParamBinds[i];
    b.buffer_type = static_cast<enum_field_types>(w.Type);
    b.is_unsigned = w.Unsigned ? 1 : 0;
    b.is_null = &s.ParamNulls[i];
    b.length = &s.ParamLengths[i];
    if (w.IsNull) {
      s.ParamNulls[i] = 1;
    } else if (!w.Sized) {
      if (IsTemporal(w.Type) && TemporalParametersAsText()) {
        char text[BinaryTextSize];
        const int len = BinaryValueText(w.Type, false, 7, w.Fixed + 1, w.Fixed[0], text);
        LUMO_ASSERT(len >= 0);
        s.ParamTexts[i].assign(text, static_cast<std::size_t>(len));
        b.buffer_type = ::MYSQL_TYPE_STRING;
        b.buffer = s.ParamTexts[i].data();
        b.buffer_length = s.ParamLengths[i] = static_cast<unsigned long>(len);
      } else if (IsTemporal(w.Type)) {
        s.ParamTimes[i] = MomentOf(w);
        b.buffer = &s.ParamTimes[i];
        b.buffer_length = sizeof(MYSQL_TIME);
      } else {
        b.buffer = w.Fixed;
        b.buffer_length = w.FixedLength;
      }
    } else if (w.Long() || (w.At == TMySqlStmtParam::baBlob && w.Length > 0)) {
      // Sent whole ahead of the execution; the library takes a value
      // without a buffer for NULL.
      longData.push_back(i);
      b.buffer = &s.ParamNulls[i];
    } else {
      const std::uint8_t* bytes = w.Bytes();
      b.buffer = bytes ? const_cast<std::uint8_t*>(bytes) : static_cast<void*>(&s.ParamNulls[i]);
      b.buffer_length = static_cast<unsigned long>(w.Length);
      s.ParamLengths[i] = static_cast<unsigned long>(w.Length);
    }
  }
  if (n > 0 && F->Need(F->mysql_stmt_bind_param)(st, s.ParamBinds.data()) != 0) return errnoOf();
  auto send = [&](unsigned index, const void* data, std::size_t count) {
    return F->Need(F->mysql_stmt_send_long_data)(st, index, static_cast<const char*>(data), count) == 0;
  };
  bool sent = true;
  for (std::size_t i : longData) {
    const TMySqlStmtParam& w = s.Wire[i];
    const auto index = static_cast<unsigned>(i);
    if (w.Blob) {
      w.Blob->Data()->ForEachChunk([&](const std::uint8_t* data, std::int64_t count) {
        sent = send(index, data, static_cast<std::size_t>(count));
        return sent;
      });
    } else {
      for (std::uint64_t off = 0; sent && off < w.Length; off += LongDataChunk)
        sent = send(index, w.Bytes() + off, static_cast<std::size_t>(std::min<std::uint64_t>(LongDataChunk, w.Length - off)));
    }
    if (!sent) break;
  }
  if (!sent || F->Need(F->mysql_stmt_execute)(st) != 0) {
    const int code = errnoOf();
    if (!longData.empty()) {
      // The server keeps the long data of a refused execution (and refuses
      // every later one) until the statement is reset; the error is kept.
      s.Errno = static_cast<std::uint32_t>(code);
      s.Error = Text(F->Need(F->mysql_stmt_error)(st));
      F->Need(F->mysql_stmt_reset)(st);
    }
    return code;
  }
  s.Executed = true;
  return 0;
}

int TMySQLAPIClient::_mysql_stmt_bind_result(PMYSQL_STMT pstmt) {
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  if (!s.Prepared) return Refuse(s, cr::NO_PREPARE_STMT);
  MYSQL_RES* meta = F->Need(F->mysql_stmt_result_metadata)(st);
  if (!meta) return Refuse(s, cr::UNKNOWN_ERROR);
  std::unique_ptr<TLibResult> columns(F->Wrap(meta, nullptr));
  const std::size_t n = columns->Fields.size();
  s.Columns.clear();
  s.Columns.resize(n);
  s.ResultBinds.assign(n, MYSQL_BIND{});
  for (std::size_t i = 0; i < n; ++i) {
    const TMYSQL_FIELD& f = columns->Fields[i];
    ChooseBinding(s.Columns[i], f);
    PointBind(s.ResultBinds[i], s.Columns[i], (f.Flags & field_flag::UNSIGNED) != 0);
  }
  s.Values.assign(n, nullptr);
  s.Lengths.assign(n, 0);
  s.Row = TLibRow{s.Values.data(), s.Lengths.data(), static_cast<std::uint32_t>(n)};
  s.HaveRow = false;
  if (F->Need(F->mysql_stmt_bind_result)(st, s.ResultBinds.data()) != 0)
    return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  return 0;
}

int TMySQLAPIClient::mysql_stmt_fetch(PMYSQL_STMT pstmt) {
  PMYSQL_ROW row = nullptr;
  return _mysql_stmt_fetch(pstmt, row);
}

int TMySQLAPIClient::_mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) {
  row = nullptr;
  TLibStmt& s = St(pstmt);
  int rc = 0;
  MYSQL_STMT* st = Live(s, rc);
  if (!st) return rc;
  if (s.Columns.empty()) {
    const int bound = _mysql_stmt_bind_result(pstmt);
    if (bound != 0) return bound;
  }
  s.HaveRow = false;
  const int fetched = F->Need(F->mysql_stmt_fetch)(st);
  if (fetched == MYSQL_NO_DATA) return NoData;
  if (fetched != 0 && fetched != MYSQL_DATA_TRUNCATED) return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  bool rebind = false;
  for (std::size_t i = 0; i < s.Columns.size(); ++i) {
    TLibColumn& c = s.Columns[i];
    if (c.IsNull || c.Kind == TLibColumn::ckNull) {
      s.Values[i] = nullptr;
      s.Lengths[i] = 0;
      continue;
    }
    switch (c.Kind) {
      case TLibColumn::ckFixed:
        s.Values[i] = c.Buffer.data();
        s.Lengths[i] = c.Size;
        break;
      case TLibColumn::ckDate:
      case TLibColumn::ckTime:
        s.Values[i] = reinterpret_cast<const char*>(c.Wire);
        s.Lengths[i] = EncodeMoment(c.Time, c.Kind == TLibColumn::ckTime, c.Wire);
        break;
      default:
        if (c.Length > c.Buffer.size()) {
          // Too long for the buffer: fetched again whole, and the larger
          // buffer is kept for the next rows.
          c.Buffer.resize(std::max<std::size_t>(c.Length, c.Buffer.size() * 2));
          MYSQL_BIND& b = s.ResultBinds[i];
          b.buffer = c.Buffer.data();
          b.buffer_length = c.Buffer.size();
          if (F->Need(F->mysql_stmt_fetch_column)(st, &b, static_cast<unsigned>(i), 0) != 0)
            return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
          rebind = true;
        }
        s.Values[i] = c.Buffer.data();
        s.Lengths[i] = c.Length;
        break;
    }
  }
  if (rebind && F->Need(F->mysql_stmt_bind_result)(st, s.ResultBinds.data()) != 0)
    return static_cast<int>(F->Need(F->mysql_stmt_errno)(st));
  s.HaveRow = true;
  row = HandleOf(&s.Row);
  return 0;
}

void TMySQLAPIClient::_mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::span<std::uint32_t> Lens) {
  if (!prow) RaiseNullHandle();
  const TLibRow& r = *RowOf(prow);
  if (Lens.size() != r.Count) throw EArgumentError("Invalid fields count");
  for (std::size_t i = 0; i < Lens.size(); ++i) Lens[i] = static_cast<std::uint32_t>(r.Lengths[i]);
}

const char* TMySQLAPIClient::_mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, std::uint32_t fieldnr) {
  const TLibStmt& s = St(pstmt);
  if (!s.HaveRow) return nullptr;
  return _mysql_fetch_value_ptr(nullptr, HandleOf(const_cast<TLibRow*>(&s.Row)), fieldnr);
}

}  // namespace lumo
