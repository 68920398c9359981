// The SQL data set against the C client library in one process, on the test
// server, alternating rounds:
//  - open/close: 10,000 cycles of a one-row query opened and closed through
//    TCustomDADataSet (its fields read once per cycle), against
//    mysql_real_query + mysql_store_result + mysql_free_result with the
//    row's values converted;
//  - fetch: 1,000,000 rows of seven mixed columns opened with FetchAll
//    through TCustomDADataSet, against mysql_store_result with every value
//    converted to its C++ type and kept.
// Prints the medians of wall and CPU time and the medians of the per-round
// ratios ours / library. Run by hand:
//   bench_dataset_bench [rounds=5] [cycles=10000] [rows=1000000]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "BenchSupport.h"
#include "BenchConnection.h"
#include "BenchPeer.h"

namespace {

using namespace lumo;
using namespace lumo::bench;



// ---- open/close of one row

std::uint64_t OurCycles(TCustomDADataSet& ds, int cycles) {
  std::uint64_t sum = 0;
  for (int i = 0; i < cycles; ++i) {
    ds.Open();
    sum += static_cast<std::uint64_t>(ds.FieldByName("id").AsInteger()) + ds.FieldByName("name").AsString().size();
    ds.Close();
  }
  return sum;
}

std::uint64_t LibCycles(MYSQL* m, const std::string& sql, int cycles) {
  std::uint64_t sum = 0;
  for (int i = 0; i < cycles; ++i) {
    if (::mysql_real_query(m, sql.data(), sql.size()) != 0) Die(sql + ": " + ::mysql_error(m));
    MYSQL_RES* r = ::mysql_store_result(m);
    if (!r) Die(std::string("library store: ") + ::mysql_error(m));
    if (MYSQL_ROW row = ::mysql_fetch_row(r)) {
      const unsigned long* lens = ::mysql_fetch_lengths(r);
      std::string name(row[1], lens[1]);
      sum += static_cast<std::uint64_t>(std::strtol(row[0], nullptr, 10)) + name.size();
    }
    ::mysql_free_result(r);
  }
  return sum;
}

// ---- fetching many rows


std::uint64_t OurFetch(TCustomDADataSet& ds) {
  ds.Open();
  const auto n = static_cast<std::uint64_t>(ds.RecordCount());
  ds.Close();
  return n;
}

struct Result {
  std::vector<double> ow, oc, lw, lc, wallRatios, cpuRatios;
  void Add(const Sample& ours, const Sample& lib) {
    ow.push_back(ours.wall);
    oc.push_back(ours.cpu);
    lw.push_back(lib.wall);
    lc.push_back(lib.cpu);
    wallRatios.push_back(ours.wall / lib.wall);
    cpuRatios.push_back(ours.cpu / lib.cpu);
  }
  void Print(const char* what, double target) const {
    const double w = Median(wallRatios), c = Median(cpuRatios);
    std::printf(
        "%s: wall ours %.3f lib %.3f, median ratio %.3f | cpu ours %.3f lib %.3f, median ratio %.3f (target <= "
        "%.2f: wall %s, cpu %s)\n",
        what, Median(ow), Median(lw), w, Median(oc), Median(lc), c, target, w <= target ? "met" : "MISSED",
        c <= target ? "met" : "MISSED");
  }
};

// Runs both peers, in alternating order by round.
void Round(int i, const std::function<std::uint64_t()>& ours, const std::function<std::uint64_t()>& lib,
           Result& result, const char* what) {
  std::uint64_t a = 0, b = 0;
  Sample so, sl;
  if (i % 2 == 0) {
    so = Measure(ours, a);
    sl = Measure(lib, b);
  } else {
    sl = Measure(lib, b);
    so = Measure(ours, a);
  }
  if (a != b) Die(std::string(what) + ": the clients read different results");
  std::printf("%s round %d: wall ours %.3f lib %.3f | cpu ours %.3f lib %.3f\n", what, i + 1, so.wall, sl.wall,
              so.cpu, sl.cpu);
  std::fflush(stdout);
  result.Add(so, sl);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 10000;
  const long rows = argc > 3 ? std::atol(argv[3]) : 1000000;
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  const Server server = FromEnv();

  BenchConnection conn(server);
  conn.Connect();
  const std::string one = "bench_ds_one_" + std::to_string(::getpid());
  const std::string many = "bench_ds_rows_" + std::to_string(::getpid());
  conn.ExecSQL("DROP TABLE IF EXISTS " + one);
  conn.ExecSQL("CREATE TABLE " + one + " (id INT PRIMARY KEY, name VARCHAR(40))");
  conn.ExecSQL("INSERT INTO " + one + " VALUES (1, 'programm_version')");
  conn.ExecSQL("DROP TABLE IF EXISTS " + many);
  conn.ExecSQL("CREATE TABLE " + many +
               " (id INT PRIMARY KEY, big BIGINT, dbl DOUBLE, dec_ DECIMAL(12,2), txt VARCHAR(20),"
               " dt DATETIME, maybe INT NULL) ENGINE=InnoDB");
  conn.ExecSQL("INSERT INTO " + many +
               " SELECT seq, CAST(seq AS SIGNED) * 7919 - 4000000000, seq / 7.0, seq * 1.25, CONCAT('name-', seq),"
               " '2024-01-01' + INTERVAL seq SECOND, IF(seq % 2, seq, NULL) FROM seq_1_to_" +
               std::to_string(rows));
  MYSQL* lib = LibConnect(server);

  const std::string oneSql = "SELECT id, name FROM " + one + " WHERE id = 1";
  std::unique_ptr<TCustomDADataSet> small = conn.CreateDataSet();
  small->SetSQLText(oneSql);
  // The whole (one-row) result is read at open, on the connection's session.
  small->SetFetchAll(true);
  const std::string manySql = "SELECT id, big, dbl, dec_, txt, dt, maybe FROM " + many;
  std::unique_ptr<TCustomDADataSet> big = conn.CreateDataSet();
  big->SetSQLText(manySql);
  big->SetFetchAll(true);

  std::printf("%d rounds; %d open/close cycles; %ld rows; seconds\n", rounds, cycles, rows);
  Result openClose, fetch;
  // Profiling aid: LUMO_BENCH_OURS_ONLY=1 runs only our side of open/close
  // (with LUMO_BENCH_STREAMED=1 without FetchAll, the provider's default).
  if (std::getenv("LUMO_BENCH_STREAMED")) small->SetFetchAll(false);
  if (std::getenv("LUMO_BENCH_OURS_ONLY")) {
    std::uint64_t check = 0;
    const Sample s = Measure([&] { return OurCycles(*small, cycles); }, check);
    std::printf("ours only: wall %.3f cpu %.3f\n", s.wall, s.cpu);
    return 0;
  }
  for (int i = 0; i < rounds; ++i)
    Round(i, [&] { return OurCycles(*small, cycles); }, [&] { return LibCycles(lib, oneSql, cycles); }, openClose,
          "open/close");
  for (int i = 0; i < rounds; ++i)
    Round(i, [&] { return OurFetch(*big); }, [&] { return LibFetch(lib, manySql); }, fetch, "fetch");
  openClose.Print("Open/close of a one-row query", 1.5);
  fetch.Print("FetchAll of the rows", 1.3);

  small.reset();
  big.reset();
  conn.ExecSQL("DROP TABLE " + one);
  conn.ExecSQL("DROP TABLE " + many);
  conn.Disconnect();
  ::mysql_close(lib);
  return 0;
}
