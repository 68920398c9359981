// The front against the C client library, on the test server, alternating:
// 10,000 executions of "SELECT 1" through TLumoSQL on a TLumoConnection
// (provider MySQL, UseUnicode on), against mysql_real_query with
// mysql_store_result and mysql_free_result. Prints the medians of wall time
// and of the per-round ratios ours / library (target <= 1.2). Then the
// start-up time of the desktop client to its first shown value: lumo-client
// --screenshot against the same server, from start to exit (the picture is
// taken once the memo shows the value), median of the runs. Run by hand:
//   bench_lumo_front_bench [rounds=5] [executions=10000] [client runs=5]
// The server comes from the LUMO_TEST_* variables (scripts/test-server env).
#include <mysql.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>

#include "BenchPeer.h"
#include "BenchSupport.h"

extern char** environ;

namespace {

using namespace lumo;
using namespace lumo::bench;

const std::string kSelect = "SELECT 1";

std::uint64_t OurRun(TCustomDASQL& sql, int executions) {
  for (int i = 0; i < executions; ++i) sql.Execute();
  return static_cast<std::uint64_t>(executions);
}

std::uint64_t LibRun(MYSQL* m, int executions) {
  for (int i = 0; i < executions; ++i) {
    if (::mysql_real_query(m, kSelect.data(), kSelect.size()) != 0) Die(::mysql_error(m));
    MYSQL_RES* r = ::mysql_store_result(m);
    if (!r) Die(std::string("library store: ") + ::mysql_error(m));
    ::mysql_free_result(r);
  }
  return static_cast<std::uint64_t>(executions);
}

// Seconds from spawning the client to its exit; dies when it fails.
double ClientStartup(const Server& s, const std::string& png) {
  const std::string port = std::to_string(s.port);
  std::vector<std::string> args = {LUMO_CLIENT_PATH, "--screenshot", png, "--server", s.host, "--port", port};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawn(&pid, LUMO_CLIENT_PATH, nullptr, nullptr, argv.data(), environ) != 0) Die("cannot start the client");
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Die("the client failed");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int executions = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int clientRuns = argc > 3 ? std::atoi(argv[3]) : 5;
  RegisterMySQLProvider();
  const Server server = FromEnv();

  TLumoConnection conn;
  conn.SetProviderName("MySQL");
  conn.SetServer(server.host);
  conn.SetPort(server.port);
  conn.SetUsername(server.user);
  conn.SetPassword(server.password);
  conn.SetDatabase(server.db);
  conn.SetLoginPrompt(false);
  conn.SpecificOptions().Add("MySQL.UseUnicode=True");
  conn.Connect();
  std::unique_ptr<TCustomDASQL> sql = conn.CreateSQL();
  sql->SetSQLText(kSelect);
  MYSQL* lib = LibConnect(server);

  std::printf("%d rounds of %d executions; seconds\n", rounds, executions);
  std::vector<double> ow, lw, ratios;
  for (int i = 0; i < rounds; ++i) {
    std::uint64_t a = 0, b = 0;
    Sample so, sl;
    if (i % 2 == 0) {
      so = Measure([&] { return OurRun(*sql, executions); }, a);
      sl = Measure([&] { return LibRun(lib, executions); }, b);
    } else {
      sl = Measure([&] { return LibRun(lib, executions); }, b);
      so = Measure([&] { return OurRun(*sql, executions); }, a);
    }
    if (a != b) Die("the clients ran different counts");
    std::printf("round %d: wall ours %.3f lib %.3f | cpu ours %.3f lib %.3f\n", i + 1, so.wall, sl.wall, so.cpu,
                sl.cpu);
    std::fflush(stdout);
    ow.push_back(so.wall);
    lw.push_back(sl.wall);
    ratios.push_back(so.wall / sl.wall);
  }
  const double ratio = Median(ratios);
  std::printf("SELECT 1 through TLumoSQL: wall ours %.3f lib %.3f, median ratio %.3f (target <= 1.20: %s)\n",
              Median(ow), Median(lw), ratio, ratio <= 1.2 ? "met" : "MISSED");
  ::mysql_close(lib);
  sql.reset();
  conn.Disconnect();

  const std::string png = "/tmp/lumo_front_bench_" + std::to_string(::getpid()) + ".png";
  std::vector<double> startups;
  for (int i = 0; i < clientRuns; ++i) startups.push_back(ClientStartup(server, png));
  ::unlink(png.c_str());
  std::printf("desktop client start-up to the first shown value: median %.3f s over %d runs\n", Median(startups),
              clientRuns);
  return 0;
}
