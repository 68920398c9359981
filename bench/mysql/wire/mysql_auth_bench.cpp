// Logins with the ed25519 account: the wire client against the C client
// library in one process, on the test server, alternating in chunks of 10:
// connect (greeting, native first answer, switch to client_ed25519,
// signature) + SELECT 1 + close. Prints the medians of wall time and of this
// process's CPU time per repetition and the ratios ours / library. Run by
// hand:
//   bench_mysql_auth_bench [repetitions=5] [cycles=500]
// The server and the account come from the LUMO_TEST_* variables
// (scripts/test-server env).
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlApiDirect.h>

#include "BenchSupport.h"

namespace {

using namespace lumo;
using namespace lumo::bench;

std::uint64_t OurCycle(const Server& s) {
  TMySQLAPIDirect& api = *MyAPIDirect;
  PMYSQL_CON h = api.mysql_init(nullptr);
  if (!api.mysql_real_connect(h, s.host, s.user, s.password, s.db, s.port, "", 0))
    Die("connect: " + api.mysql_error(h));
  if (api.mysql_real_query(h, "SELECT 1", 8) != 0) Die("SELECT 1: " + api.mysql_error(h));
  PMYSQL_RES r = api.mysql_use_result(h);
  std::uint64_t sum = 0;
  while (PMYSQL_ROW row = api.mysql_fetch_row(r)) sum += static_cast<unsigned char>(*api._mysql_fetch_value_ptr(r, row, 0));
  api.mysql_free_result(r);
  api.mysql_close(h);
  return sum;
}

std::uint64_t LibCycle(const Server& s) {
  MYSQL* m = ::mysql_init(nullptr);
  const unsigned protocol = ::MYSQL_PROTOCOL_TCP;
  ::mysql_options(m, ::MYSQL_OPT_PROTOCOL, &protocol);
  if (!::mysql_real_connect(m, s.host.c_str(), s.user.c_str(), s.password.c_str(), s.db.c_str(),
                            static_cast<unsigned>(s.port), nullptr, 0))
    Die(std::string("library connect: ") + ::mysql_error(m));
  if (::mysql_real_query(m, "SELECT 1", 8) != 0) Die(std::string("library SELECT 1: ") + ::mysql_error(m));
  MYSQL_RES* r = ::mysql_use_result(m);
  std::uint64_t sum = 0;
  while (MYSQL_ROW row = ::mysql_fetch_row(r)) sum += static_cast<unsigned char>(*row[0]);
  ::mysql_free_result(r);
  ::mysql_close(m);
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 500;
  const int chunk = 10;
  RegisterMySqlApiDirect();
  Server server = FromEnv();
  const char* user = std::getenv("LUMO_TEST_ED25519_USER");
  const char* password = std::getenv("LUMO_TEST_ED25519_PASSWORD");
  if (!user || !password) Die("LUMO_TEST_ED25519_USER/PASSWORD not set: eval \"$(scripts/test-server env)\"");
  server.user = user;
  server.password = password;

  std::vector<double> ow, oc, lw, lc;
  for (int i = 0; i < reps; ++i) {
    Sample so, sl;
    for (int k = 0; k < cycles / chunk; ++k) {
      std::uint64_t a = 0, b = 0;
      auto ours = [&] {
        std::uint64_t sum = 0;
        for (int c = 0; c < chunk; ++c) sum += OurCycle(server);
        return sum;
      };
      auto lib = [&] {
        std::uint64_t sum = 0;
        for (int c = 0; c < chunk; ++c) sum += LibCycle(server);
        return sum;
      };
      Sample po, pl;
      if ((i + k) % 2 == 0) {
        po = Measure(ours, a);
        pl = Measure(lib, b);
      } else {
        pl = Measure(lib, b);
        po = Measure(ours, a);
      }
      if (a != b) Die("the clients read different data");
      so.wall += po.wall;
      so.cpu += po.cpu;
      sl.wall += pl.wall;
      sl.cpu += pl.cpu;
    }
    ow.push_back(so.wall);
    oc.push_back(so.cpu);
    lw.push_back(sl.wall);
    lc.push_back(sl.cpu);
  }
  const double wallRatio = Median(ow) / Median(lw), cpuRatio = Median(oc) / Median(lc);
  std::printf("%d repetitions of %d ed25519 connect+SELECT 1+close cycles; medians in seconds\n", reps,
              cycles / chunk * chunk);
  std::printf("wall ours %.3f lib %.3f ratio %.3f (target <= 1.05 %s) | cpu ours %.3f lib %.3f ratio %.3f\n",
              Median(ow), Median(lw), wallRatio, wallRatio <= 1.05 ? "met" : "MISSED", Median(oc), Median(lc),
              cpuRatio);
  return 0;
}
