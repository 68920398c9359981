// Parameter scanning of long statements: ParseSQL on 0.25, 0.5, 1 and 2 MB
// of SQL with markers, strings, comments and casts. The time must grow
// linearly with the text, so the ratios printed should stay near 2 and the
// throughput near constant.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <lumokit/access/KxAccess.h>

namespace {

using namespace lumo;

class BenchCommand : public TKxCommand {
 public:
  bool GetPrepared() override { return false; }
  void Execute(int) override {}
  TCursorState GetCursorState() override { return csInactive; }
  void SetCursorState(TCursorState) override {}
  std::string CreateProcCall(const std::string&, bool, bool) override { return {}; }
};

std::string MakeStatement(std::size_t bytes) {
  static const std::string chunk =
      "SELECT a, :p1, 'text with :x and ''quotes''', /* comment :y */ b::int, \"Quoted Name\"\n"
      "  FROM t WHERE c = :p2 AND d := 1 -- line comment :z\nUNION ALL ";
  std::string sql;
  sql.reserve(bytes + chunk.size());
  while (sql.size() < bytes) sql += chunk;
  return sql;
}

double BestSeconds(BenchCommand& cmd, const std::string& sql, std::size_t& params) {
  double best = 1e30;
  for (int run = 0; run < 15; ++run) {
    TParamDescs list;
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    cmd.ParseSQL(sql, &list, out);
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    params = static_cast<std::size_t>(list.Count());
  }
  return best;
}

}  // namespace

int main() {
  BenchCommand cmd;
  double previous = 0;
  for (std::size_t kb : {256, 512, 1024, 2048}) {
    const std::string sql = MakeStatement(kb << 10);
    std::size_t params = 0;
    double s = BestSeconds(cmd, sql, params);
    std::printf("ParseSQL %4.2f MB: %8.2f ms, %7.1f MB/s, %zu parameters", static_cast<double>(kb) / 1024, s * 1e3,
                static_cast<double>(sql.size()) / (1 << 20) / s, params);
    if (previous > 0) std::printf(", ratio to previous size %.2f", s / previous);
    std::printf("\n");
    previous = s;
  }
  return 0;
}
