// The 1,000,000-row fetch into the record store through the three facades:
// the built-in wire client and the client library on the test server (same
// SQL, alternating, median ratio library / wire client), and the embedded
// server on a data folder of its own made by mariadb-install-db. Rows have
// seven mixed columns (INT, BIGINT, DOUBLE, DECIMAL, VARCHAR(20), DATETIME
// and a nullable INT), read by TMySQLRecordset with FetchAll. Run by hand:
//   bench_mysql_facades_bench [rounds=5] [rows=1000000] [embedded=1]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
// The program links no client library: both library facades load theirs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiEmbedded.h>

#include "BenchMixedRows.h"
#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

std::unique_ptr<TMySQLConnection> Connect(const Server& s, bool direct) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(s.host);
  c->SetProp(prPort, s.port);
  c->SetUsername(s.user);
  c->SetPassword(s.password);
  c->SetProp(prDatabase, s.db);
  c->SetProp(prDirect, direct);
  c->SetProp(prConnectionTimeout, 600);
  c->Connect("");
  return c;
}

void CheckRows(std::uint64_t got, long rows) {
  if (got != static_cast<std::uint64_t>(rows)) Die("read " + std::to_string(got) + " rows");
}

void Embedded(int rounds, long rows) {
  const std::string dir = std::filesystem::temp_directory_path().string() + "/lumo-bench-emb-" + std::to_string(::getpid());
  const std::string data = dir + "/data";
  std::filesystem::create_directories(dir);
  if (std::system(("mariadb-install-db --no-defaults --datadir=" + data +
                   " --auth-root-authentication-method=normal --skip-test-db >" + dir + "/install.log 2>&1")
                      .c_str()) != 0)
    Die("mariadb-install-db failed (see " + dir + "/install.log)");
  {
    TMySQLConnection c;
    c.SetProp(prEmbedded, true);
    c.SetUsername("root");
    c.SetProp(prEmbParams, "--datadir=" + data + "\n--innodb-buffer-pool-size=256M");
    c.Connect("");
    c.ExecStatement("CREATE DATABASE bench");
    c.SetProp(prDatabase, std::string("bench"));
    FillMixedRows(c, "rows_", rows);
    const std::string select = "SELECT id, big, dbl, dec_, txt, dt, maybe FROM rows_";
    std::vector<double> wall, cpu;
    for (int i = 0; i < rounds; ++i) {
      std::uint64_t n = 0;
      const Sample s = Measure([&] { return FetchAllRows(c, select); }, n);
      CheckRows(n, rows);
      std::printf("embedded round %d: wall %.3f cpu %.3f\n", i + 1, s.wall, s.cpu);
      std::fflush(stdout);
      wall.push_back(s.wall);
      cpu.push_back(s.cpu);
    }
    std::printf("FetchAll through the embedded server: wall %.3f cpu %.3f (medians)\n", Median(wall), Median(cpu));
  }
  UnregisterMySqlApiEmbedded();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const long rows = argc > 2 ? std::atol(argv[2]) : 1000000;
  const bool embedded = argc > 3 ? std::atoi(argv[3]) != 0 : true;
  RegisterMyDataTypeMap();
  const Server server = FromEnv();

  const std::string table = "bench_facades_" + std::to_string(::getpid());
  auto wire = Connect(server, true);
  auto library = Connect(server, false);
  FillMixedRows(*wire, table, rows);
  const std::string select = "SELECT id, big, dbl, dec_, txt, dt, maybe FROM " + table;

  std::printf("%d rounds, %ld rows; seconds\n", rounds, rows);
  std::vector<double> ww, wc, lw, lc, wallRatios, cpuRatios;
  for (int i = 0; i < rounds; ++i) {
    std::uint64_t a = 0, b = 0;
    Sample sw, sl;
    if (i % 2 == 0) {
      sw = Measure([&] { return FetchAllRows(*wire, select); }, a);
      sl = Measure([&] { return FetchAllRows(*library, select); }, b);
    } else {
      sl = Measure([&] { return FetchAllRows(*library, select); }, b);
      sw = Measure([&] { return FetchAllRows(*wire, select); }, a);
    }
    CheckRows(a, rows);
    CheckRows(b, rows);
    std::printf("round %d: wall wire %.3f library %.3f | cpu wire %.3f library %.3f\n", i + 1, sw.wall, sl.wall,
                sw.cpu, sl.cpu);
    std::fflush(stdout);
    ww.push_back(sw.wall);
    wc.push_back(sw.cpu);
    lw.push_back(sl.wall);
    lc.push_back(sl.cpu);
    wallRatios.push_back(sl.wall / sw.wall);
    cpuRatios.push_back(sl.cpu / sw.cpu);
  }
  std::printf(
      "FetchAll, client library against the wire client: wall library %.3f wire %.3f, median ratio %.3f | cpu "
      "library %.3f wire %.3f, median ratio %.3f\n",
      Median(lw), Median(ww), Median(wallRatios), Median(lc), Median(wc), Median(cpuRatios));
  wire->ExecStatement("DROP TABLE " + table);
  wire->Disconnect();
  library->Disconnect();
  if (embedded) Embedded(rounds, rows);
  return 0;
}
