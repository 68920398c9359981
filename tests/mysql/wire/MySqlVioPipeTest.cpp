// The local-socket transport without a server: how the path is chosen,
// the failures 2016 and 2017 with their reasons (a missing socket, a path
// longer than sun_path, another machine, a socket whose accept queue stays
// full), and the session's 2003 that carries the reason.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlSession.h>
#include <lumokit/mysql/wire/MySqlVioPipe.h>

namespace lumo {
namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (FOld)
      ::setenv(FName, FOld->c_str(), 1);
    else
      ::unsetenv(FName);
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

std::string ErrorOf(TMySqlVioPipe& vio, int* code) {
  try {
    vio.Connect();
  } catch (const EMySqlException& e) {
    *code = e.ErrorCode();
    return e.Message();
  }
  *code = 0;
  return "";
}

TEST(MySqlVioPipe, PathFromNameEnvironmentOrDefault) {
  ScopedEnv env("MYSQL_UNIX_PORT", "/tmp/from-env.sock");
  EXPECT_EQ(TMySqlVioPipe(".", "/var/x.sock", 0).SocketPath(), "/var/x.sock");
  EXPECT_EQ(TMySqlVioPipe(".", "MySQL", 0).SocketPath(), "/tmp/from-env.sock");
  ScopedEnv empty("MYSQL_UNIX_PORT", "");
  EXPECT_EQ(TMySqlVioPipe(".", "", 0).SocketPath(), "/run/mysqld/mysqld.sock");
  for (const char* host : {"", ".", "localhost", "LOCALHOST"}) EXPECT_TRUE(TMySqlVioPipe::IsLocalHost(host));
  EXPECT_FALSE(TMySqlVioPipe::IsLocalHost("127.0.0.1"));
}

TEST(MySqlVioPipe, FailuresCarryTheirReason) {
  char dir[] = "/tmp/lumo-sock-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string missing = std::string(dir) + "/missing.sock";
  int code = 0;
  TMySqlVioPipe absent("localhost", missing, 0);
  std::string msg = ErrorOf(absent, &code);
  EXPECT_EQ(code, cr::NAMEDPIPEOPEN_ERROR);
  EXPECT_EQ(msg, "Can't open named pipe to host: .  pipe: " + missing + " (" + missing +
                     ")\r\nNo such file or directory");
  EXPECT_EQ(absent.LastError(), msg);
  EXPECT_FALSE(absent.IsActive());

  const std::string longPath = std::string(dir) + "/" + std::string(120, 'p') + ".sock";
  TMySqlVioPipe overlong(".", longPath, 0);
  msg = ErrorOf(overlong, &code);
  EXPECT_EQ(code, cr::NAMEDPIPEOPEN_ERROR);
  EXPECT_NE(msg.find("\r\nThe socket path is longer than 107 bytes"), std::string::npos) << msg;

  TMySqlVioPipe remote("db.example", missing, 0);
  msg = ErrorOf(remote, &code);
  EXPECT_EQ(code, cr::NAMEDPIPEOPEN_ERROR);
  EXPECT_NE(msg.find("host: db.example"), std::string::npos) << msg;

  // The session's 2003 carries the transport's message.
  TMySqlSession s;
  s.protocolType = MYSQL_PROTOCOL_SOCKET;
  try {
    s.Connect("localhost", "root", "", "", 0, missing, 0);
    ADD_FAILURE() << "connected";
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), cr::CONN_HOST_ERROR);
    EXPECT_EQ(e.Message(), absent.LastError());
  }
  ::rmdir(dir);
}

// A listener that never accepts, its queue filled: a client waits for it
// until the time-out, then fails with 2016.
TEST(MySqlVioPipe, ABusySocketTimesOutWith2016) {
  char dir[] = "/tmp/lumo-sock-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/busy.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 16; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    fillers.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) break;
  }
  ASSERT_EQ(errno, EAGAIN);

  TMySqlVioPipe vio("localhost", path, 0);
  vio.SetTimeout(1);
  int code = 0;
  const std::string msg = ErrorOf(vio, &code);
  EXPECT_EQ(code, cr::NAMEDPIPEWAIT_ERROR);
  EXPECT_EQ(msg.rfind("Can't wait for named pipe to host: .  pipe: " + path, 0), 0u) << msg;

  for (int fd : fillers) ::close(fd);
  ::close(listener);
  ::unlink(path.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace lumo
