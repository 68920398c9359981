// Prepared statements against the C client library's, on the test server,
// in one process, the clients taking turns round by round (who goes first
// alternates):
// - INSERT: executions of one prepared 5-parameter INSERT (int, double, a
//   20-character string, a date-time, a ~100-byte blob), the values set as
//   parameter descriptors and executed through our facade, against
//   mysql_stmt_execute with the values copied into bound buffers; each round
//   in one transaction. The provider's prepared TMySQLCommand is measured
//   against the same peer.
// - FETCH: one prepared SELECT streaming rows of seven mixed columns (INT,
//   BIGINT, DOUBLE, DECIMAL, VARCHAR(20), DATETIME, a nullable INT), every
//   value read through our facade (_mysql_stmt_fetch and the value
//   accessors), against mysql_stmt_fetch into bound buffers. A prepared
//   TMySQLRecordset with FetchAll is measured against the same peer keeping
//   its rows.
// Prints the medians of the per-round ratios ours / library for wall time
// and this process's CPU time. Run by hand:
//   bench_mysql_stmt_bench [inserts=100000] [rows=1000000] [rounds=10]
// rows=0 skips the FETCH half.
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include "BenchPeer.h"
#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

struct CRow {
  int id;
  double x;
  std::string s;
  MYSQL_TIME d;
  std::string blob;
};

struct Rows {
  std::vector<std::array<Variant, 5>> ours;
  std::vector<CRow> lib;
};

Rows MakeRows(long n) {
  Rows r;
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (long i = 0; i < n; ++i) {
    CRow c{};
    c.id = static_cast<int>(i);
    c.x = static_cast<double>(i) * 1.37 + 0.001;
    char buf[32];
    std::snprintf(buf, sizeof buf, "O'Br\\en \"%06ld\" x'\\", i % 1000000);
    c.s = std::string(buf).substr(0, 20);
    const long sec = i % 86400;
    c.d.year = 2020 + static_cast<unsigned>(i % 5);
    c.d.month = 1 + static_cast<unsigned>(i % 12);
    c.d.day = 1 + static_cast<unsigned>(i % 28);
    c.d.hour = static_cast<unsigned>(sec / 3600);
    c.d.minute = static_cast<unsigned>(sec / 60 % 60);
    c.d.second = static_cast<unsigned>(sec % 60);
    c.d.time_type = MYSQL_TIMESTAMP_DATETIME;
    c.blob.resize(96 + static_cast<std::size_t>(i % 9));
    for (char& b : c.blob) b = static_cast<char>(next());
    r.ours.push_back({Variant(c.id), Variant(c.x), Variant(c.s),
                      Variant::FromDate(EncodeDateTime(static_cast<int>(c.d.year), static_cast<int>(c.d.month),
                                                       static_cast<int>(c.d.day), static_cast<int>(c.d.hour),
                                                       static_cast<int>(c.d.minute), static_cast<int>(c.d.second), 0)),
                      Variant::FromBytes(c.blob.data(), c.blob.size())});
    r.lib.push_back(std::move(c));
  }
  return r;
}

constexpr std::uint16_t kTypes[5] = {dtInt32, dtFloat, dtString, dtDateTime, dtVarBytes};

// ---- ours

PMYSQL_CON OurConnect(const Server& s) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  PMYSQL_CON h = api.mysql_init(nullptr);
  api.mysql_options(h, lumo::MYSQL_SET_CHARSET_NAME, "utf8mb4");  // as the peer
  api.SetTimeout(h, 600);
  if (!api.mysql_real_connect(h, s.host, s.user, s.password, s.db, s.port, "", 0u))
    Die("connect: " + api.mysql_error(h));
  return h;
}

void OurExec(PMYSQL_CON h, const std::string& sql) {
  if (MyAPIDirect->mysql_real_query(h, sql.data(), sql.size()) != 0)
    Die(sql.substr(0, 200) + ": " + MyAPIDirect->mysql_error(h));
}

PMYSQL_STMT OurPrepare(PMYSQL_CON h, const std::string& sql) {
  PMYSQL_STMT st = MyAPIDirect->mysql_stmt_init(h);
  if (MyAPIDirect->mysql_stmt_prepare(st, sql.data(), sql.size()) != 0)
    Die(sql + ": " + MyAPIDirect->mysql_stmt_error(st));
  return st;
}

std::uint64_t OurInsert(PMYSQL_CON h, PMYSQL_STMT st, std::array<TParamDesc, 5>& params, const Rows& rows, long from,
                        long to) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  TParamDesc* refs[5] = {&params[0], &params[1], &params[2], &params[3], &params[4]};
  OurExec(h, "START TRANSACTION");
  for (long i = from; i < to; ++i) {
    const auto& v = rows.ours[static_cast<std::size_t>(i)];
    for (int k = 0; k < 5; ++k) params[static_cast<std::size_t>(k)].SetValue(v[static_cast<std::size_t>(k)]);
    if (api._mysql_stmt_execute(st, refs, true, false) != 0) Die("execute: " + api.mysql_stmt_error(st));
  }
  OurExec(h, "COMMIT");
  return static_cast<std::uint64_t>(to - from);
}

std::uint64_t CmdInsert(TMySQLConnection& conn, TMySQLCommand& cmd, const Rows& rows, long from, long to) {
  conn.ExecStatement("START TRANSACTION");
  for (long i = from; i < to; ++i) {
    const auto& v = rows.ours[static_cast<std::size_t>(i)];
    for (int k = 0; k < 5; ++k) cmd.GetParam(k).SetValue(v[static_cast<std::size_t>(k)]);
    cmd.Execute();
  }
  conn.ExecStatement("COMMIT");
  return static_cast<std::uint64_t>(to - from);
}

// Streams every row and reads every value; returns a checksum.
std::uint64_t OurFetch(PMYSQL_STMT st) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  if (api._mysql_stmt_execute(st, {}, true, false) != 0 || api._mysql_stmt_bind_result(st) != 0)
    Die("execute: " + api.mysql_stmt_error(st));
  std::uint64_t sum = 0;
  std::uint32_t lens[7];
  PMYSQL_ROW row;
  while (api._mysql_stmt_fetch(st, row) == 0) {
    api._mysql_stmt_fetch_lengths(row, lens);
    std::int32_t id;
    std::int64_t big;
    double dbl;
    std::memcpy(&id, api._mysql_stmt_fetch_value_ptr(st, 0), 4);
    std::memcpy(&big, api._mysql_stmt_fetch_value_ptr(st, 1), 8);
    std::memcpy(&dbl, api._mysql_stmt_fetch_value_ptr(st, 2), 8);
    const double dec = std::strtod(std::string(api._mysql_stmt_fetch_value_ptr(st, 3), lens[3]).c_str(), nullptr);
    const std::string text(api._mysql_stmt_fetch_value_ptr(st, 4), lens[4]);
    TMySqlBinaryMoment m;
    DecodeBinaryDate(reinterpret_cast<const std::uint8_t*>(api._mysql_stmt_fetch_value_ptr(st, 5)), lens[5], m);
    std::int32_t maybe = 0;
    if (!api._mysql_fetch_value_is_null(row, 6)) std::memcpy(&maybe, api._mysql_stmt_fetch_value_ptr(st, 6), 4);
    sum += static_cast<std::uint64_t>(id) + static_cast<std::uint64_t>(big) + static_cast<std::uint64_t>(dbl) +
           static_cast<std::uint64_t>(dec) + text.size() + static_cast<std::uint64_t>(m.Second) +
           static_cast<std::uint64_t>(maybe);
  }
  return sum;
}

std::uint64_t RecordsetFetch(TMySQLRecordset& rs) {
  rs.Open();
  const auto n = static_cast<std::uint64_t>(rs.GetRecordCount());
  rs.Close();
  return n;
}

// ---- the C client library

void LibExec(MYSQL* m, const char* sql) {
  if (::mysql_query(m, sql) != 0) Die(std::string("library: ") + ::mysql_error(m));
}

MYSQL_STMT* LibPrepare(MYSQL* m, const std::string& sql) {
  MYSQL_STMT* st = ::mysql_stmt_init(m);
  if (::mysql_stmt_prepare(st, sql.data(), sql.size()) != 0) Die(sql + ": " + ::mysql_stmt_error(st));
  return st;
}

std::uint64_t LibInsert(MYSQL* m, MYSQL_STMT* st, const Rows& rows, long from, long to) {
  struct {
    int id;
    double x;
    char s[64];
    unsigned long sLen;
    MYSQL_TIME d;
    char b[256];
    unsigned long bLen;
  } buf{};
  MYSQL_BIND b[5];
  std::memset(b, 0, sizeof b);
  b[0].buffer_type = ::MYSQL_TYPE_LONG;
  b[0].buffer = &buf.id;
  b[1].buffer_type = ::MYSQL_TYPE_DOUBLE;
  b[1].buffer = &buf.x;
  b[2].buffer_type = ::MYSQL_TYPE_STRING;
  b[2].buffer = buf.s;
  b[2].length = &buf.sLen;
  b[3].buffer_type = ::MYSQL_TYPE_DATETIME;
  b[3].buffer = &buf.d;
  b[4].buffer_type = ::MYSQL_TYPE_BLOB;
  b[4].buffer = buf.b;
  b[4].length = &buf.bLen;
  if (::mysql_stmt_bind_param(st, b) != 0) Die(std::string("bind: ") + ::mysql_stmt_error(st));
  LibExec(m, "START TRANSACTION");
  for (long i = from; i < to; ++i) {
    const CRow& c = rows.lib[static_cast<std::size_t>(i)];
    buf.id = c.id;
    buf.x = c.x;
    std::memcpy(buf.s, c.s.data(), c.s.size());
    buf.sLen = c.s.size();
    buf.d = c.d;
    std::memcpy(buf.b, c.blob.data(), c.blob.size());
    buf.bLen = c.blob.size();
    if (::mysql_stmt_execute(st) != 0) Die(std::string("library execute: ") + ::mysql_stmt_error(st));
  }
  LibExec(m, "COMMIT");
  return static_cast<std::uint64_t>(to - from);
}

struct LibRow {
  std::int32_t id;
  std::int64_t big;
  double dbl, dec;
  std::string text;
  MYSQL_TIME dt;
  std::optional<std::int32_t> maybe;
};

// Streams every row into bound buffers; keeps the rows when asked (what a
// record store does), else returns a checksum like OurFetch.
std::uint64_t LibFetch(MYSQL_STMT* st, bool keep) {
  if (::mysql_stmt_execute(st) != 0) Die(std::string("library execute: ") + ::mysql_stmt_error(st));
  LibRow r{};
  char dec[40], text[40];
  unsigned long len[7];
  my_bool isNull[7];
  MYSQL_BIND b[7];
  std::memset(b, 0, sizeof b);
  const enum_field_types types[7] = {::MYSQL_TYPE_LONG,   ::MYSQL_TYPE_LONGLONG, ::MYSQL_TYPE_DOUBLE,
                                     ::MYSQL_TYPE_STRING, ::MYSQL_TYPE_STRING,   ::MYSQL_TYPE_DATETIME,
                                     ::MYSQL_TYPE_LONG};
  std::int32_t maybe = 0;
  void* buffers[7] = {&r.id, &r.big, &r.dbl, dec, text, &r.dt, &maybe};
  for (int i = 0; i < 7; ++i) {
    b[i].buffer_type = types[i];
    b[i].buffer = buffers[i];
    b[i].buffer_length = 40;
    b[i].length = &len[i];
    b[i].is_null = &isNull[i];
  }
  ::mysql_stmt_bind_result(st, b);
  std::vector<LibRow> rows;
  std::uint64_t sum = 0;
  while (::mysql_stmt_fetch(st) == 0) {
    r.dec = std::strtod(std::string(dec, len[3]).c_str(), nullptr);
    r.text.assign(text, len[4]);
    r.maybe = isNull[6] ? std::nullopt : std::optional<std::int32_t>(maybe);
    if (keep) {
      rows.push_back(r);
    } else {
      sum += static_cast<std::uint64_t>(r.id) + static_cast<std::uint64_t>(r.big) + static_cast<std::uint64_t>(r.dbl) +
             static_cast<std::uint64_t>(r.dec) + r.text.size() + r.dt.second +
             static_cast<std::uint64_t>(r.maybe.value_or(0));
    }
  }
  return keep ? rows.size() : sum;
}

struct Figures {
  std::vector<double> wall, cpu;
  void Add(const Sample& ours, const Sample& lib) {
    wall.push_back(ours.wall / lib.wall);
    cpu.push_back(ours.cpu / lib.cpu);
  }
  void Print(const char* what) const {
    const double w = Median(wall), c = Median(cpu);
    std::printf("%s / lib, median of per-round ratios: wall %.3f | cpu %.3f (target <= 1.0: wall %s, cpu %s)\n", what,
                w, c, w <= 1.0 ? "met" : "MISSED", c <= 1.0 ? "met" : "MISSED");
  }
};

// Runs two measurements in an order that alternates with the round.
void Pair(int round, const std::function<std::uint64_t()>& a, std::uint64_t& ra, Sample& sa,
          const std::function<std::uint64_t()>& b, std::uint64_t& rb, Sample& sb) {
  if (round % 2 == 0) {
    sa = Measure(a, ra);
    sb = Measure(b, rb);
  } else {
    sb = Measure(b, rb);
    sa = Measure(a, ra);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long inserts = argc > 1 ? std::atol(argv[1]) : 100000;
  const long rows = argc > 2 ? std::atol(argv[2]) : 1000000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  const Server server = FromEnv();
  const std::string pid = std::to_string(::getpid());
  PMYSQL_CON our = OurConnect(server);
  MYSQL* lib = LibConnect(server);
  auto conn = std::make_unique<TMySQLConnection>();
  conn->SetServer(server.host);
  conn->SetProp(prPort, server.port);
  conn->SetUsername(server.user);
  conn->SetPassword(server.password);
  conn->SetProp(prDatabase, server.db);
  conn->SetProp(prUseUnicode, true);
  conn->SetProp(prConnectionTimeout, 600);
  conn->Connect("");

  // ---- INSERT
  const Rows data = MakeRows(inserts);
  const std::string ourTable = "bench_stmt_ours_" + pid, libTable = "bench_stmt_lib_" + pid,
                    cmdTable = "bench_stmt_cmd_" + pid;
  for (const std::string& t : {ourTable, libTable, cmdTable}) {
    OurExec(our, "DROP TABLE IF EXISTS " + t);
    OurExec(our, "CREATE TABLE " + t +
                     " (id INT PRIMARY KEY, x DOUBLE, s VARCHAR(40), d DATETIME, b VARBINARY(200)) ENGINE=InnoDB");
  }
  const std::string insert = " (id, x, s, d, b) VALUES (?, ?, ?, ?, ?)";
  PMYSQL_STMT ourIns = OurPrepare(our, "INSERT INTO " + ourTable + insert);
  MYSQL_STMT* libIns = LibPrepare(lib, "INSERT INTO " + libTable + insert);
  std::array<TParamDesc, 5> params;
  for (int k = 0; k < 5; ++k) params[static_cast<std::size_t>(k)].SetDataType(kTypes[k]);
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.SetSQL("INSERT INTO " + cmdTable + " (id, x, s, d, b) VALUES (:id, :x, :s, :d, :b)");
  for (int k = 0; k < 5; ++k) cmd.GetParam(k).SetDataType(kTypes[k]);
  cmd.Prepare();
  Figures facadeIns, commandIns;
  const long per = (inserts + rounds - 1) / rounds;
  for (int r = 0; r < rounds; ++r) {
    const long from = r * per, to = std::min(inserts, from + per);
    if (from >= to) break;
    std::uint64_t a = 0, b = 0, c = 0;
    Sample so, sl, sc;
    Pair(r, [&] { return OurInsert(our, ourIns, params, data, from, to); }, a, so,
         [&] { return LibInsert(lib, libIns, data, from, to); }, b, sl);
    sc = Measure([&] { return CmdInsert(*conn, cmd, data, from, to); }, c);
    facadeIns.Add(so, sl);
    commandIns.Add(sc, sl);
  }
  const std::string check = "SELECT (SELECT COUNT(*) FROM " + ourTable + " o JOIN " + libTable + " l USING (id) JOIN " +
                            cmdTable + " c USING (id) WHERE o.x = l.x AND o.s = l.s AND o.d = l.d AND o.b = l.b" +
                            " AND c.x = l.x AND c.s = l.s AND c.d = l.d AND c.b = l.b)";
  OurExec(our, check);
  PMYSQL_RES res = MyAPIDirect->mysql_store_result(our);
  const std::string same = MyAPIDirect->_mysql_fetch_value_str(MyAPIDirect->mysql_fetch_row(res), 0);
  MyAPIDirect->mysql_free_result(res);
  if (same != std::to_string(inserts)) Die("the clients stored different rows: " + same);
  std::printf("%ld prepared INSERTs in %d rounds, rows identical\n", inserts, rounds);
  facadeIns.Print("INSERT, facade");
  commandIns.Print("INSERT, TMySQLCommand");
  MyAPIDirect->mysql_stmt_close(ourIns);
  ::mysql_stmt_close(libIns);
  cmd.Unprepare();
  for (const std::string& t : {ourTable, libTable, cmdTable}) OurExec(our, "DROP TABLE " + t);

  // ---- FETCH
  const auto finish = [&] {
    conn->Disconnect();
    MyAPIDirect->mysql_close(our);
    ::mysql_close(lib);
    UnregisterMySqlApiDirect();
    return 0;
  };
  if (rows <= 0) return finish();
  const std::string table = "bench_stmt_rows_" + pid;
  OurExec(our, "DROP TABLE IF EXISTS " + table);
  OurExec(our, "CREATE TABLE " + table +
                   " (id INT PRIMARY KEY, big BIGINT, dbl DOUBLE, dec_ DECIMAL(12,2), txt VARCHAR(20), dt DATETIME,"
                   " maybe INT NULL) ENGINE=InnoDB");
  OurExec(our, "INSERT INTO " + table +
                   " SELECT seq, CAST(seq AS SIGNED) * 7919 - 4000000000, seq / 7.0, seq * 1.25, CONCAT('name-', seq),"
                   " '2024-01-01' + INTERVAL seq SECOND, IF(seq % 2, seq, NULL) FROM seq_1_to_" +
                   std::to_string(rows));
  const std::string select = "SELECT id, big, dbl, dec_, txt, dt, maybe FROM " + table;
  PMYSQL_STMT ourSel = OurPrepare(our, select);
  MYSQL_STMT* libSel = LibPrepare(lib, select);
  TMySQLRecordset rs;
  rs.SetConnection(conn.get());
  rs.SetSQL(select);
  rs.SetProp(prFetchAll, true);
  rs.Prepare();
  Figures facadeFetch, recordsetFetch;
  const int fetchRounds = std::max(2, rounds / 2);
  for (int r = 0; r < fetchRounds; ++r) {
    std::uint64_t a = 0, b = 0;
    Sample so, sl;
    Pair(r, [&] { return OurFetch(ourSel); }, a, so, [&] { return LibFetch(libSel, false); }, b, sl);
    if (a != b) Die("the clients read different values");
    facadeFetch.Add(so, sl);
    Pair(r, [&] { return RecordsetFetch(rs); }, a, so, [&] { return LibFetch(libSel, true); }, b, sl);
    if (a != b || a != static_cast<std::uint64_t>(rows)) Die("the clients read different row counts");
    recordsetFetch.Add(so, sl);
  }
  std::printf("%ld binary rows streamed, %d rounds\n", rows, fetchRounds);
  facadeFetch.Print("FETCH, facade");
  recordsetFetch.Print("FETCH, prepared TMySQLRecordset with FetchAll (lib keeps rows)");
  rs.UnPrepare();
  MyAPIDirect->mysql_stmt_close(ourSel);
  ::mysql_stmt_close(libSel);
  OurExec(our, "DROP TABLE " + table);
  return finish();
}
