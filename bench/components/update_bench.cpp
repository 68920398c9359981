// Cached updates written back by the updater against the C client library,
// on the test server, in alternating rounds: 10,000 rows of a table with a
// primary key are edited in a cached-updates data set (not timed), then
// ApplyUpdates + CommitUpdates is timed with UpdateBatchSize 1 and 50
// (StrictUpdate on, as by default). The library sends the same UPDATE texts
// with mysql_real_query: one per request for batch size 1, fifty joined by
// ";" in one multi-statement request inside START TRANSACTION ... COMMIT
// for batch size 50 (a batch stands or falls as one, as the updater runs
// it), reading every result's affected-row count. Prints the medians of wall and CPU time and
// of the per-round ratios ours / library. Run by hand:
//   bench_update_bench [rounds=3] [rows=10000]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyServices.h>
#include "BenchConnection.h"
#include "BenchPeer.h"
#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;


class BenchDataSet : public TCustomDADataSet {
 protected:
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    return std::make_unique<TCustomMyDataSetService>(*this);
  }
};

void Exec(MYSQL* m, const std::string& sql) {
  if (::mysql_real_query(m, sql.data(), sql.size()) != 0) Die(sql.substr(0, 200) + ": " + ::mysql_error(m));
}

void MakeTable(MYSQL* m, int rows) {
  Exec(m, "DROP TABLE IF EXISTS bench_upd");
  Exec(m, "CREATE TABLE bench_upd (id INT PRIMARY KEY, v INT, s VARCHAR(40))");
  std::string sql;
  for (int i = 1; i <= rows; ++i) {
    sql += (sql.empty() ? "INSERT INTO bench_upd VALUES (" : ",(") + std::to_string(i) + ",0,'row " +
           std::to_string(i) + "')";
    if (i % 1000 == 0 || i == rows) {
      Exec(m, sql);
      sql.clear();
    }
  }
}

// Edits every row's v to `value` (cached), then times the apply.
Sample OurApply(BenchDataSet& ds, int batch, int value, std::uint64_t& check) {
  ds.Options().SetUpdateBatchSize(batch);
  ds.Open();
  for (ds.First(); !ds.Eof(); ds.Next()) {
    ds.Edit();
    ds.FieldByName("v").SetAsInteger(value);
    ds.Post();
  }
  Sample s = Measure(
      [&] {
        ds.ApplyUpdates();
        ds.CommitUpdates();
        return static_cast<std::uint64_t>(ds.RecordCount());
      },
      check);
  ds.Close();
  return s;
}

// The same UPDATE texts, `batch` to a request; every count is read.
std::uint64_t LibApply(MYSQL* m, int rows, int batch, int value) {
  std::uint64_t affected = 0;
  std::string sql;
  int inText = 0;
  auto flush = [&] {
    // A batch stands or falls as one, as the updater runs it.
    if (batch > 1) Exec(m, "START TRANSACTION");
    Exec(m, sql);
    do {
      if (MYSQL_RES* r = ::mysql_store_result(m)) ::mysql_free_result(r);
      if (::mysql_affected_rows(m) != 1) Die("library: a statement changed no row");
      ++affected;
    } while (::mysql_next_result(m) == 0);
    if (batch > 1) Exec(m, "COMMIT");
    sql.clear();
    inText = 0;
  };
  for (int id = 1; id <= rows; ++id) {
    if (inText) sql += ";\r\n";
    sql += "UPDATE bench_upd\r\nSET\r\n  v = " + std::to_string(value) + "\r\nWHERE\r\n  id = " + std::to_string(id);
    if (++inText == batch) flush();
  }
  if (inText) flush();
  return affected;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  const int rows = argc > 2 ? std::atoi(argv[2]) : 10000;
  const Server server = FromEnv();
  MYSQL* lib = LibConnect(server, CLIENT_MULTI_STATEMENTS);
  MakeTable(lib, rows);

  BenchConnection conn(server);
  conn.Connect();
  BenchDataSet ds;
  ds.SetConnection(&conn);
  ds.SetSQLText("SELECT id, v, s FROM bench_upd");
  ds.SetFetchAll(true);
  ds.SetCachedUpdates(true);

  int value = 0;
  for (int batch : {1, 50}) {
    std::vector<double> ourWall, ourCpu, libWall, libCpu, ratioWall, ratioCpu;
    for (int r = 0; r < rounds; ++r) {
      std::uint64_t ourCheck = 0, libCheck = 0;
      const Sample ours = OurApply(ds, batch, ++value, ourCheck);
      const Sample peer = Measure([&] { return LibApply(lib, rows, batch, ++value); }, libCheck);
      if (ourCheck != libCheck) Die("the two clients changed different row counts");
      ourWall.push_back(ours.wall);
      ourCpu.push_back(ours.cpu);
      libWall.push_back(peer.wall);
      libCpu.push_back(peer.cpu);
      ratioWall.push_back(ours.wall / peer.wall);
      ratioCpu.push_back(ours.cpu / peer.cpu);
    }
    std::printf("batch %2d, %d rows: ours %.3f s (cpu %.3f s), library %.3f s (cpu %.3f s); ratio wall %.2f, cpu %.2f\n",
                batch, rows, Median(ourWall), Median(ourCpu), Median(libWall), Median(libCpu), Median(ratioWall),
                Median(ratioCpu));
  }
  ::mysql_close(lib);
  return 0;
}
