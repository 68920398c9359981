#include "support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lumo::test {

namespace {

std::string Env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : fallback;
}

TestServerInfo Load() {
  TestServerInfo info;
  info.host = Env("LUMO_TEST_HOST", info.host);
  info.port = std::atoi(Env("LUMO_TEST_PORT", "3306").c_str());
  info.socket = Env("LUMO_TEST_SOCKET", "");
  info.user = Env("LUMO_TEST_USER", info.user);
  info.password = Env("LUMO_TEST_PASSWORD", "");
  info.nativeUser = Env("LUMO_TEST_NATIVE_USER", "lumo_native");
  info.nativePassword = Env("LUMO_TEST_NATIVE_PASSWORD", "native-pass");
  info.oldUser = Env("LUMO_TEST_OLD_USER", "lumo_old");
  info.oldPassword = Env("LUMO_TEST_OLD_PASSWORD", "old-pass");
  info.ed25519User = Env("LUMO_TEST_ED25519_USER", "lumo_ed25519");
  info.ed25519Password = Env("LUMO_TEST_ED25519_PASSWORD", "ed-pass");
  info.caFile = Env("LUMO_TEST_CA", "");
  info.database = Env("LUMO_TEST_DATABASE", info.database);
  info.scratchDatabase = Env("LUMO_TEST_SCRATCH_DATABASE", info.scratchDatabase);
  return info;
}

}  // namespace

const TestServerInfo& TestServer() {
  static const TestServerInfo info = Load();
  return info;
}

bool RunningInCI() {
  const char* ci = std::getenv("CI");
  return ci && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

bool TestServerReachable() {
  const TestServerInfo& info = TestServer();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(info.port));
  if (::inet_pton(AF_INET, info.host.c_str(), &addr.sin_addr) != 1)
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  bool ok = false;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc == 0) {
    ok = true;
  } else if (errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 2000) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace lumo::test
