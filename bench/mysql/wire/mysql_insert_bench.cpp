// Single-row INSERTs with five parameters (int, double, a 20-character
// string full of quotes and backslashes, a date-time, a ~100-byte blob),
// the statement text built by our literal writer and sent through our wire
// facade, against the C client library building the same statement with
// mysql_real_escape_string and snprintf and sending it with
// mysql_real_query. The rows are split into rounds; the two clients take
// turns round by round (who goes first alternates), each round runs in one
// transaction, and the medians of the per-round ratios ours / library are
// printed for wall time and for this process's CPU time. A third client,
// the provider's command (TMySQLCommand with five parameters set per row),
// is measured in the same rounds against the same peer. Run by hand:
//   bench_mysql_insert_bench [rows=100000] [rounds=20]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/data/MemTypes.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include "BenchPeer.h"
#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

// One row's values in the form each client holds them: variants for ours
// (what parameters carry), plain C values for the library.
struct CRow {
  int id;
  double x;
  std::string s;
  int year, month, day, hour, minute, second;
  std::string blob;
};

struct Rows {
  std::vector<std::array<Variant, 5>> ours;
  std::vector<CRow> lib;
};

Rows MakeRows(long n) {
  Rows r;
  r.ours.reserve(static_cast<std::size_t>(n));
  r.lib.reserve(static_cast<std::size_t>(n));
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (long i = 0; i < n; ++i) {
    CRow c;
    c.id = static_cast<int>(i);
    c.x = static_cast<double>(i) * 1.37 + 0.001;
    char buf[32];
    std::snprintf(buf, sizeof buf, "O'Br\\en \"%06ld\" x'\\", i % 1000000);
    c.s = std::string(buf).substr(0, 20);
    const long sec = i % 86400;
    c.year = 2020 + static_cast<int>(i % 5);
    c.month = 1 + static_cast<int>(i % 12);
    c.day = 1 + static_cast<int>(i % 28);
    c.hour = static_cast<int>(sec / 3600);
    c.minute = static_cast<int>(sec / 60 % 60);
    c.second = static_cast<int>(sec % 60);
    c.blob.resize(96 + i % 9);
    for (char& b : c.blob) b = static_cast<char>(next());
    r.ours.push_back({Variant(c.id), Variant(c.x), Variant(c.s),
                      Variant::FromDate(EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second, 0)),
                      Variant::FromBytes(c.blob.data(), c.blob.size())});
    r.lib.push_back(std::move(c));
  }
  return r;
}

// ---- ours

PMYSQL_CON OurConnect(const Server& s) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  PMYSQL_CON h = api.mysql_init(nullptr);
  api.mysql_options(h, lumo::MYSQL_SET_CHARSET_NAME, "utf8");
  if (!api.mysql_real_connect(h, s.host, s.user, s.password, s.db, s.port, "", 0u))
    Die("connect: " + api.mysql_error(h));
  return h;
}

void OurExec(PMYSQL_CON h, const std::string& sql) {
  if (MyAPIDirect->mysql_real_query(h, sql.data(), sql.size()) != 0)
    Die(sql.substr(0, 200) + ": " + MyAPIDirect->mysql_error(h));
}

constexpr std::uint16_t kTypes[5] = {dtInt32, dtFloat, dtString, dtDateTime, dtVarBytes};

std::uint64_t OurInsert(PMYSQL_CON h, const std::string& table, const Rows& rows, long from, long to) {
  const std::string charset = "utf8mb4";
  const std::string head = "INSERT INTO " + table + " (id, x, s, d, b) VALUES (";
  std::string sql;
  std::uint64_t bytes = 0;
  OurExec(h, "START TRANSACTION");
  for (long i = from; i < to; ++i) {
    const auto& v = rows.ours[static_cast<std::size_t>(i)];
    sql.assign(head);
    for (int k = 0; k < 5; ++k) {
      if (k) sql += ", ";
      AppendValueToSQL(sql, kTypes[k], v[static_cast<std::size_t>(k)], false, true, false, true, 10, charset);
    }
    sql += ')';
    OurExec(h, sql);
    bytes += sql.size();
  }
  OurExec(h, "COMMIT");
  return bytes;
}

// ---- the provider's command

std::unique_ptr<TMySQLConnection> CmdConnect(const Server& s) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(s.host);
  c->SetProp(prPort, s.port);
  c->SetUsername(s.user);
  c->SetPassword(s.password);
  c->SetProp(prDatabase, s.db);
  c->SetProp(prUseUnicode, true);
  c->Connect("");
  return c;
}

std::uint64_t CmdInsert(TMySQLConnection& conn, TMySQLCommand& cmd, const Rows& rows, long from, long to) {
  std::uint64_t n = 0;
  conn.ExecStatement("START TRANSACTION");
  for (long i = from; i < to; ++i) {
    const auto& v = rows.ours[static_cast<std::size_t>(i)];
    for (int k = 0; k < 5; ++k) cmd.GetParam(k).SetValue(v[static_cast<std::size_t>(k)]);
    cmd.Execute();
    ++n;
  }
  conn.ExecStatement("COMMIT");
  return n;
}

// ---- the C client library

void LibExec(MYSQL* m, const char* sql, std::size_t len) {
  if (::mysql_real_query(m, sql, len) != 0) Die(std::string("library: ") + ::mysql_error(m));
}

std::uint64_t LibInsert(MYSQL* m, const std::string& table, const Rows& rows, long from, long to) {
  const std::string head = "INSERT INTO " + table + " (id, x, s, d, b) VALUES (";
  std::vector<char> buf(4096);
  std::uint64_t bytes = 0;
  LibExec(m, "START TRANSACTION", 17);
  for (long i = from; i < to; ++i) {
    const CRow& c = rows.lib[static_cast<std::size_t>(i)];
    char* p = buf.data();
    std::memcpy(p, head.data(), head.size());
    p += head.size();
    p += std::sprintf(p, "%d, %.17g, '", c.id, c.x);
    p += ::mysql_real_escape_string(m, p, c.s.data(), c.s.size());
    p += std::sprintf(p, "', '%04d-%02d-%02d %02d:%02d:%02d', '", c.year, c.month, c.day, c.hour, c.minute,
                      c.second);
    p += ::mysql_real_escape_string(m, p, c.blob.data(), c.blob.size());
    *p++ = '\'';
    *p++ = ')';
    LibExec(m, buf.data(), static_cast<std::size_t>(p - buf.data()));
    bytes += static_cast<std::uint64_t>(p - buf.data());
  }
  LibExec(m, "COMMIT", 6);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  RegisterMySqlApiDirect();
  const Server server = FromEnv();
  const Rows data = MakeRows(rows);

  const std::string pid = std::to_string(::getpid());
  const std::string ourTable = "bench_insert_ours_" + pid, libTable = "bench_insert_lib_" + pid,
                    cmdTable = "bench_insert_cmd_" + pid;
  PMYSQL_CON our = OurConnect(server);
  MYSQL* lib = LibConnect(server);
  std::unique_ptr<TMySQLConnection> cmdConn = CmdConnect(server);
  TMySQLCommand cmd;
  cmd.SetConnection(cmdConn.get());
  cmd.SetSQL("INSERT INTO " + cmdTable + " (id, x, s, d, b) VALUES (:id, :x, :s, :d, :b)");
  for (int k = 0; k < 5; ++k) cmd.GetParam(k).SetDataType(kTypes[k]);
  for (const std::string& t : {ourTable, libTable, cmdTable}) {
    OurExec(our, "DROP TABLE IF EXISTS " + t);
    OurExec(our, "CREATE TABLE " + t + " (id INT PRIMARY KEY, x DOUBLE, s VARCHAR(40), d DATETIME, b VARBINARY(200)) ENGINE=InnoDB");
  }

  std::vector<double> wallRatios, cpuRatios, cmdWallRatios, cmdCpuRatios;
  Sample totalOur, totalLib, totalCmd;
  std::uint64_t ourBytes = 0, libBytes = 0;
  const long per = (rows + rounds - 1) / rounds;
  for (int r = 0; r < rounds; ++r) {
    const long from = r * per, to = std::min(rows, from + per);
    if (from >= to) break;
    std::uint64_t a = 0, b = 0, c = 0;
    Sample so, sl, sc;
    auto ours = [&] { return OurInsert(our, ourTable, data, from, to); };
    auto theirs = [&] { return LibInsert(lib, libTable, data, from, to); };
    auto command = [&] { return CmdInsert(*cmdConn, cmd, data, from, to); };
    if (r % 2 == 0) {
      so = Measure(ours, a);
      sl = Measure(theirs, b);
      sc = Measure(command, c);
    } else {
      sc = Measure(command, c);
      sl = Measure(theirs, b);
      so = Measure(ours, a);
    }
    cmdWallRatios.push_back(sc.wall / sl.wall);
    cmdCpuRatios.push_back(sc.cpu / sl.cpu);
    totalCmd.wall += sc.wall;
    totalCmd.cpu += sc.cpu;
    ourBytes += a;
    libBytes += b;
    wallRatios.push_back(so.wall / sl.wall);
    cpuRatios.push_back(so.cpu / sl.cpu);
    totalOur.wall += so.wall;
    totalOur.cpu += so.cpu;
    totalLib.wall += sl.wall;
    totalLib.cpu += sl.cpu;
  }

  // The tables must hold the same rows.
  const std::string check = "SELECT (SELECT COUNT(*) FROM " + ourTable + " o JOIN " + libTable +
                            " l USING (id) JOIN " + cmdTable +
                            " c USING (id) WHERE o.x = l.x AND o.s = l.s AND o.d = l.d AND o.b = l.b"
                            " AND c.x = l.x AND c.s = l.s AND c.d = l.d AND c.b = l.b)";
  OurExec(our, check);
  PMYSQL_RES res = MyAPIDirect->mysql_store_result(our);
  PMYSQL_ROW row = MyAPIDirect->mysql_fetch_row(res);
  const std::string same = MyAPIDirect->_mysql_fetch_value_str(row, 0);
  MyAPIDirect->mysql_free_result(res);
  if (same != std::to_string(rows)) Die("the two clients stored different rows: " + same + " of " + std::to_string(rows));

  const double wallRatio = Median(wallRatios), cpuRatio = Median(cpuRatios);
  const double cmdWallRatio = Median(cmdWallRatios), cmdCpuRatio = Median(cmdCpuRatios);
  std::printf("%ld INSERTs in %d rounds, rows identical; statement bytes ours %llu lib %llu\n", rows,
              static_cast<int>(wallRatios.size()), static_cast<unsigned long long>(ourBytes),
              static_cast<unsigned long long>(libBytes));
  std::printf("total wall: writer+facade %.3f s, command %.3f s, lib %.3f s | total cpu: writer+facade %.3f s, "
              "command %.3f s, lib %.3f s\n",
              totalOur.wall, totalCmd.wall, totalLib.wall, totalOur.cpu, totalCmd.cpu, totalLib.cpu);
  std::printf("writer+facade / lib, median of per-round ratios: wall %.3f (target <= 1.10 %s) | cpu %.3f (target <= "
              "1.10 %s)\n",
              wallRatio, wallRatio <= 1.1 ? "met" : "MISSED", cpuRatio, cpuRatio <= 1.1 ? "met" : "MISSED");
  std::printf("TMySQLCommand / lib, median of per-round ratios: wall %.3f (target <= 1.10 %s) | cpu %.3f (target <= "
              "1.10 %s)\n",
              cmdWallRatio, cmdWallRatio <= 1.1 ? "met" : "MISSED", cmdCpuRatio, cmdCpuRatio <= 1.1 ? "met" : "MISSED");

  for (const std::string& t : {ourTable, libTable, cmdTable}) OurExec(our, "DROP TABLE " + t);
  cmdConn->Disconnect();
  MyAPIDirect->mysql_close(our);
  ::mysql_close(lib);
  UnregisterMySqlApiDirect();
  return 0;
}
