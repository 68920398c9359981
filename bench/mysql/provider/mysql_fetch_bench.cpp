// Fetching into the record store against the C client library in one
// process, on the test server, same SQL, alternating: 1,000,000 rows of
// seven mixed columns (INT, BIGINT, DOUBLE, DECIMAL, VARCHAR(20), DATETIME
// and a nullable INT) read by TMySQLRecordset with FetchAll, against
// mysql_store_result with every value converted to its C++ type (strtoll,
// strtod, a date-time parse, std::string) and kept in a vector of rows.
// Prints the medians of wall and CPU time and the medians of the per-round
// ratios ours / library. Run by hand:
//   bench_mysql_fetch_bench [rounds=5] [rows=1000000]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include "BenchMixedRows.h"
#include "BenchPeer.h"
#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

// ---- ours: the record set

std::unique_ptr<TMySQLConnection> OurConnect(const Server& s) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(s.host);
  c->SetProp(prPort, s.port);
  c->SetUsername(s.user);
  c->SetPassword(s.password);
  c->SetProp(prDatabase, s.db);
  c->SetProp(prConnectionTimeout, 600);  // also the time-out of the set-up statements
  c->Connect("");
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const long rows = argc > 2 ? std::atol(argv[2]) : 1000000;
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  const Server server = FromEnv();

  const std::string table = "bench_fetch_rows_" + std::to_string(::getpid());
  auto ours = OurConnect(server);
  FillMixedRows(*ours, table, rows);
  const std::string select = "SELECT id, big, dbl, dec_, txt, dt, maybe FROM " + table;
  MYSQL* lib = LibConnect(server);

  std::printf("%d rounds, %ld rows; seconds\n", rounds, rows);
  std::vector<double> ow, oc, lw, lc, wallRatios, cpuRatios;
  for (int i = 0; i < rounds; ++i) {
    std::uint64_t a = 0, b = 0;
    Sample so, sl;
    if (i % 2 == 0) {
      so = Measure([&] { return FetchAllRows(*ours, select); }, a);
      sl = Measure([&] { return LibFetch(lib, select); }, b);
    } else {
      sl = Measure([&] { return LibFetch(lib, select); }, b);
      so = Measure([&] { return FetchAllRows(*ours, select); }, a);
    }
    if (a != b || a != static_cast<std::uint64_t>(rows)) Die("the clients read different row counts");
    std::printf("round %d: wall ours %.3f lib %.3f | cpu ours %.3f lib %.3f\n", i + 1, so.wall, sl.wall, so.cpu,
                sl.cpu);
    std::fflush(stdout);
    ow.push_back(so.wall);
    oc.push_back(so.cpu);
    lw.push_back(sl.wall);
    lc.push_back(sl.cpu);
    wallRatios.push_back(so.wall / sl.wall);
    cpuRatios.push_back(so.cpu / sl.cpu);
  }
  const double wallRatio = Median(wallRatios), cpuRatio = Median(cpuRatios);
  std::printf(
      "FetchAll into the record store: wall ours %.3f lib %.3f, median ratio %.3f | cpu ours %.3f lib %.3f, median "
      "ratio %.3f (target <= 1.30: wall %s, cpu %s)\n",
      Median(ow), Median(lw), wallRatio, Median(oc), Median(lc), cpuRatio, wallRatio <= 1.3 ? "met" : "MISSED",
      cpuRatio <= 1.3 ? "met" : "MISSED");

  ours->ExecStatement("DROP TABLE " + table);
  ours->Disconnect();
  ::mysql_close(lib);
  return 0;
}
