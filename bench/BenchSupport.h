// Shared pieces of the hand-run benchmarks against a server: where the test
// server is (from the LUMO_TEST_* variables), wall and CPU time of one
// workload, and the median of per-round figures.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace lumo::bench {

struct Server {
  std::string host = "127.0.0.1", user = "root", password, db = "lumo_test";
  int port = 3306;
};

inline Server FromEnv() {
  Server s;
  auto env = [](const char* n, std::string& v) {
    if (const char* e = std::getenv(n)) v = e;
  };
  env("LUMO_TEST_HOST", s.host);
  env("LUMO_TEST_USER", s.user);
  env("LUMO_TEST_PASSWORD", s.password);
  env("LUMO_TEST_SCRATCH_DATABASE", s.db);
  if (const char* p = std::getenv("LUMO_TEST_PORT")) s.port = std::atoi(p);
  return s;
}

[[noreturn]] inline void Die(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

inline double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Sample {
  double wall = 0, cpu = 0;
};

// Runs f once; `check` receives its result so that the work cannot be
// optimised away and the two peers can be compared.
inline Sample Measure(const std::function<std::uint64_t()>& f, std::uint64_t& check) {
  const double c0 = CpuSeconds();
  const auto w0 = std::chrono::steady_clock::now();
  check = f();
  Sample s;
  s.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  s.cpu = CpuSeconds() - c0;
  return s;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace lumo::bench
