// The wire client against the C client library in one process, on the test
// server, same SQL, alternating: (a) streaming 1,000,000 rows of six mixed
// columns, (b) the same compressed, (c) 2,000 connect + SELECT 1 + close
// cycles, (d) streaming the rows over TLS (both clients verify the server
// against LUMO_TEST_CA and must agree on the cipher), (e) streaming them
// over the local socket (LUMO_TEST_SOCKET). For each workload it prints the
// medians of wall time and of this process's CPU time and the ratios ours /
// library; the server's own work dominates wall time, the CPU ratio shows
// the client's cost. Run by hand:
//   bench_mysql_wire_bench [repetitions=5] [rows=1000000] [cycles=2000] [workloads=abcde]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

// How a client reaches the server.
enum class Via { Tcp, Compressed, Tls, Socket };

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// ---- our client

PMYSQL_CON OurConnect(const Server& s, Via via = Via::Tcp) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  PMYSQL_CON h = api.mysql_init(nullptr);
  api.mysql_options(h, lumo::MYSQL_SET_CHARSET_NAME, "utf8");
  if (via == Via::Tls) api.mysql_ssl_set(h, "", "", Env("LUMO_TEST_CA"), "", "");
  if (via == Via::Socket) api.mysql_options(h, lumo::MYSQL_OPT_PROTOCOL, lumo::MYSQL_PROTOCOL_SOCKET);
  const std::string host = via == Via::Socket ? "localhost" : s.host;
  if (!api.mysql_real_connect(h, host, s.user, s.password, s.db, s.port,
                              via == Via::Socket ? Env("LUMO_TEST_SOCKET") : "",
                              via == Via::Compressed ? std::uint32_t{client::COMPRESS} : 0u))
    Die("connect: " + api.mysql_error(h));
  return h;
}

void OurExec(PMYSQL_CON h, const std::string& sql) {
  if (MyAPIDirect->mysql_real_query(h, sql.data(), sql.size()) != 0) Die(sql + ": " + MyAPIDirect->mysql_error(h));
}

// Streams a result: lengths of every row and the first byte of every value.
std::uint64_t OurStream(PMYSQL_CON h, const std::string& sql) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  OurExec(h, sql);
  PMYSQL_RES r = api.mysql_use_result(h);
  const std::uint32_t n = api.mysql_num_fields(r);
  std::vector<std::uint32_t> lens(n);
  std::uint64_t sum = 0;
  while (PMYSQL_ROW row = api.mysql_fetch_row(r)) {
    api._mysql_fetch_lengths(r, lens);
    for (std::uint32_t i = 0; i < n; ++i) {
      const char* p = api._mysql_fetch_value_ptr(r, row, i);
      sum += lens[i] + (p ? static_cast<unsigned char>(*p) : 0u);
    }
  }
  if (api.mysql_errno(h)) Die("fetch: " + api.mysql_error(h));
  api.mysql_free_result(r);
  return sum;
}

// The second column of the first row (SHOW STATUS answers).
std::string OurValue(PMYSQL_CON h, const std::string& sql) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  OurExec(h, sql);
  PMYSQL_RES r = api.mysql_use_result(h);
  std::string v;
  if (PMYSQL_ROW row = api.mysql_fetch_row(r)) v = api._mysql_fetch_value_str(row, 1);
  while (api.mysql_fetch_row(r)) {
  }
  api.mysql_free_result(r);
  return v;
}

std::uint64_t OurCycles(const Server& s, int cycles) {
  std::uint64_t sum = 0;
  for (int i = 0; i < cycles; ++i) {
    PMYSQL_CON h = OurConnect(s);
    sum += OurStream(h, "SELECT 1");
    MyAPIDirect->mysql_close(h);
  }
  return sum;
}

// ---- the C client library

MYSQL* LibConnect(const Server& s, Via via = Via::Tcp) {
  MYSQL* m = ::mysql_init(nullptr);
  ::mysql_options(m, ::MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (via == Via::Compressed) ::mysql_options(m, ::MYSQL_OPT_COMPRESS, nullptr);
  const std::string ca = Env("LUMO_TEST_CA"), socket = Env("LUMO_TEST_SOCKET");
  if (via == Via::Tls) {
    const my_bool verify = 1;
    ::mysql_ssl_set(m, nullptr, nullptr, ca.c_str(), nullptr, nullptr);
    ::mysql_options(m, ::MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify);
  }
  const unsigned protocol = via == Via::Socket ? ::MYSQL_PROTOCOL_SOCKET : ::MYSQL_PROTOCOL_TCP;
  ::mysql_options(m, ::MYSQL_OPT_PROTOCOL, &protocol);
  const std::string host = via == Via::Socket ? "localhost" : s.host;
  if (!::mysql_real_connect(m, host.c_str(), s.user.c_str(), s.password.c_str(), s.db.c_str(),
                            static_cast<unsigned>(s.port), via == Via::Socket ? socket.c_str() : nullptr, 0))
    Die(std::string("library connect: ") + ::mysql_error(m));
  return m;
}

std::uint64_t LibStream(MYSQL* m, const std::string& sql) {
  if (::mysql_real_query(m, sql.data(), sql.size()) != 0) Die(sql + ": " + ::mysql_error(m));
  MYSQL_RES* r = ::mysql_use_result(m);
  const unsigned n = ::mysql_num_fields(r);
  std::uint64_t sum = 0;
  while (MYSQL_ROW row = ::mysql_fetch_row(r)) {
    const unsigned long* lens = ::mysql_fetch_lengths(r);
    for (unsigned i = 0; i < n; ++i) sum += lens[i] + (row[i] ? static_cast<unsigned char>(*row[i]) : 0u);
  }
  if (::mysql_errno(m)) Die(std::string("library fetch: ") + ::mysql_error(m));
  ::mysql_free_result(r);
  return sum;
}

std::string LibValue(MYSQL* m, const std::string& sql) {
  if (::mysql_real_query(m, sql.data(), sql.size()) != 0) Die(sql + ": " + ::mysql_error(m));
  MYSQL_RES* r = ::mysql_store_result(m);
  MYSQL_ROW row = r ? ::mysql_fetch_row(r) : nullptr;
  std::string v = row && row[1] ? row[1] : "";
  if (r) ::mysql_free_result(r);
  return v;
}

std::uint64_t LibCycles(const Server& s, int cycles) {
  std::uint64_t sum = 0;
  for (int i = 0; i < cycles; ++i) {
    MYSQL* m = LibConnect(s);
    sum += LibStream(m, "SELECT 1");
    ::mysql_close(m);
  }
  return sum;
}

// ---- measuring

// A workload runs in `chunks` parts per repetition, the two clients taking
// turns part by part, so that a change of the machine's load hits both.
struct Workload {
  const char* name;
  std::function<std::uint64_t()> ours, lib;
  int chunks;
  double wallTarget, cpuTarget;
};

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
  const long rows = argc > 2 ? std::atol(argv[2]) : 1000000;
  const int cycles = argc > 3 ? std::atoi(argv[3]) : 2000;
  const std::string which = argc > 4 ? argv[4] : "abcde";
  RegisterMySqlApiDirect();
  const Server server = FromEnv();

  // The rows: six mixed columns, about 60 bytes a row, in a table of this
  // process's own.
  const std::string table = "bench_wire_rows_" + std::to_string(::getpid());
  PMYSQL_CON setup = OurConnect(server);
  OurExec(setup, "DROP TABLE IF EXISTS " + table);
  OurExec(setup, "CREATE TABLE " + table +
                     " (id INT PRIMARY KEY, n BIGINT, x DOUBLE, s VARCHAR(40), d DATETIME, m DECIMAL(12,2))"
                     " ENGINE=InnoDB");
  OurExec(setup, "INSERT INTO " + table +
                     " SELECT seq, seq * 7919, seq / 7.0, CONCAT('name-', seq, '-', REPEAT('x', seq % 13)),"
                     " '2024-01-01' + INTERVAL seq SECOND, seq * 1.25 FROM seq_1_to_" + std::to_string(rows));
  const std::string select = "SELECT id, n, x, s, d, m FROM " + table;

  PMYSQL_CON ourPlain = OurConnect(server);
  PMYSQL_CON ourZip = OurConnect(server, Via::Compressed);
  PMYSQL_CON ourTls = OurConnect(server, Via::Tls);
  PMYSQL_CON ourSocket = OurConnect(server, Via::Socket);
  MYSQL* libPlain = LibConnect(server);
  MYSQL* libZip = LibConnect(server, Via::Compressed);
  MYSQL* libTls = LibConnect(server, Via::Tls);
  MYSQL* libSocket = LibConnect(server, Via::Socket);
  // Both TLS connections must use the same cipher to be compared.
  const std::string cipherSql = "SHOW STATUS LIKE 'Ssl_cipher'";
  const std::string ourCipher = OurValue(ourTls, cipherSql), libCipher = LibValue(libTls, cipherSql);
  if (ourCipher.empty() || ourCipher != libCipher) Die("TLS ciphers differ: ours " + ourCipher + ", lib " + libCipher);
  std::printf("TLS cipher of both clients: %s\n", ourCipher.c_str());

  Workload work[] = {
      {"(a) stream rows", [&] { return OurStream(ourPlain, select); }, [&] { return LibStream(libPlain, select); },
       1, 1.0, 1.25},
      {"(b) stream rows, compressed", [&] { return OurStream(ourZip, select); },
       [&] { return LibStream(libZip, select); }, 1, 1.1, 1.25},
      {"(c) connect+SELECT 1+close", [&] { return OurCycles(server, 10); }, [&] { return LibCycles(server, 10); },
       cycles / 10, 1.0, 1.25},
      {"(d) stream rows over TLS", [&] { return OurStream(ourTls, select); }, [&] { return LibStream(libTls, select); },
       1, 1.05, 1.05},
      {"(e) stream rows, local socket", [&] { return OurStream(ourSocket, select); },
       [&] { return LibStream(libSocket, select); }, 1, 1.0, 1.0},
  };
  std::printf("%d repetitions, %ld rows, %d cycles; medians in seconds\n", reps, rows, cycles / 10 * 10);
  for (Workload& w : work) {
    if (which.find(w.name[1]) == std::string::npos) continue;
    std::vector<double> ow, oc, lw, lc, wallRatios, cpuRatios;
    for (int i = 0; i < reps; ++i) {
      Sample so, sl;
      for (int k = 0; k < w.chunks; ++k) {
        std::uint64_t a = 0, b = 0;
        // Alternate which client goes first.
        Sample po, pl;
        if ((i + k) % 2 == 0) {
          po = Measure(w.ours, a);
          pl = Measure(w.lib, b);
        } else {
          pl = Measure(w.lib, b);
          po = Measure(w.ours, a);
        }
        if (a != b) Die(std::string(w.name) + ": the clients read different data");
        so.wall += po.wall;
        so.cpu += po.cpu;
        sl.wall += pl.wall;
        sl.cpu += pl.cpu;
      }
      wallRatios.push_back(so.wall / sl.wall);
      cpuRatios.push_back(so.cpu / sl.cpu);
      ow.push_back(so.wall);
      oc.push_back(so.cpu);
      lw.push_back(sl.wall);
      lc.push_back(sl.cpu);
    }
    const double wallRatio = Median(ow) / Median(lw), cpuRatio = Median(oc) / Median(lc);
    // The ratio of the medians, and in brackets the median of the ratios
    // of each repetition.
    std::printf(
        "%-28s wall ours %.3f lib %.3f ratio %.3f [%.3f] (target <= %.2f %s) | cpu ours %.3f lib %.3f ratio %.3f "
        "[%.3f] (target <= %.2f %s)\n",
        w.name, Median(ow), Median(lw), wallRatio, Median(wallRatios), w.wallTarget,
        wallRatio <= w.wallTarget ? "met" : "MISSED", Median(oc), Median(lc), cpuRatio, Median(cpuRatios), w.cpuTarget,
        cpuRatio <= w.cpuTarget ? "met" : "MISSED");
    std::fflush(stdout);
  }

  OurExec(setup, "DROP TABLE " + table);
  MyAPIDirect->mysql_close(setup);
  MyAPIDirect->mysql_close(ourPlain);
  MyAPIDirect->mysql_close(ourZip);
  MyAPIDirect->mysql_close(ourTls);
  MyAPIDirect->mysql_close(ourSocket);
  ::mysql_close(libPlain);
  ::mysql_close(libZip);
  ::mysql_close(libTls);
  ::mysql_close(libSocket);
  UnregisterMySqlApiDirect();
  return 0;
}
