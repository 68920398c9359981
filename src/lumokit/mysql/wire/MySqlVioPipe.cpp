#include <lumokit/mysql/wire/MySqlVioPipe.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <lumokit/core/Ascii.h>
#include <lumokit/mysql/wire/MySqlErrors.h>

namespace lumo {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes one write hands to the socket at the most.
constexpr std::size_t kMaxWrite = 65535;
// The pause between two attempts on a busy socket.
constexpr auto kBusyRetry = std::chrono::milliseconds(10);

}  // namespace

TMySqlVioPipe::TMySqlVioPipe(std::string hostname, std::string unix_socket, int port)
    : TKxVioTcp(std::move(hostname), port), Funix_socket(std::move(unix_socket)) {}

bool TMySqlVioPipe::IsLocalHost(const std::string& host) {
  return host.empty() || host == "." || SameTextAscii(host, "localhost");
}

std::string TMySqlVioPipe::SocketPath() const {
  if (Funix_socket.find('/') != std::string::npos) return Funix_socket;
  const char* env = std::getenv("MYSQL_UNIX_PORT");
  if (env && *env) return env;
  return MYSQL_DEFAULT_UNIX_SOCKET;
}

void TMySqlVioPipe::Fail(int code, const std::string& host, const std::string& path, const std::string& reason,
                         int errorCode) {
  EMySqlException e(code, reason, {host, path, Funix_socket});
  FLastErrorCode = errorCode;
  FLastError = e.Message();
  throw e;
}

void TMySqlVioPipe::Connect() {
  LUMO_ASSERT(!IsActive());
  TKxVio::Connect();
  ClearLastError();
  const std::string path = SocketPath();
  if (!IsLocalHost(FHostname))
    Fail(cr::NAMEDPIPEOPEN_ERROR, FHostname, path, "A local socket reaches only this machine", EINVAL);
  const std::string host = ".";

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    Fail(cr::NAMEDPIPEOPEN_ERROR, host, path,
         "The socket path is longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes", ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  FSd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FSd < 0) {
    const int err = errno;
    Fail(cr::NAMEDPIPEOPEN_ERROR, host, path, SysErrorMessage(err), err);
  }
  try {
    ConnectSocket(addr, host, path);
    const int flags = ::fcntl(FSd, F_GETFL);
    if (flags < 0 || ::fcntl(FSd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int err = errno;
      Fail(cr::NAMEDPIPESETSTATE_ERROR, host, path, SysErrorMessage(err), err);
    }
    ApplyReceiveTimeout();
    ApplySendTimeout();
  } catch (...) {
    TKxVioTcp::Close();
    throw;
  }
}

void TMySqlVioPipe::ConnectSocket(const sockaddr_un& addr, const std::string& host, const std::string& path) {
  const bool limited = FConnectionTimeout > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(FConnectionTimeout, 0));
  for (;;) {
    if (::connect(FSd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EAGAIN) Fail(cr::NAMEDPIPEOPEN_ERROR, host, path, SysErrorMessage(err), err);
    // The server's accept queue is full: wait for it as for a busy pipe.
    const auto now = Clock::now();
    if (limited && now >= deadline) Fail(cr::NAMEDPIPEWAIT_ERROR, host, path, SysErrorMessage(ETIMEDOUT), ETIMEDOUT);
    std::this_thread::sleep_for(limited ? std::min<Clock::duration>(kBusyRetry, deadline - now) : kBusyRetry);
  }
}

std::size_t TMySqlVioPipe::WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) {
  return TKxVioTcp::WriteNoWait(buffer, offset, std::min(count, kMaxWrite));
}

}  // namespace lumo
