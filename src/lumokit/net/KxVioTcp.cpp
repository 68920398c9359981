#include <lumokit/net/KxVioTcp.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <lumokit/core/Format.h>

namespace lumo {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr const char* kUnknownHost = "Unknown host '%s'\r\nSocket Error Code: %d($%X)";
constexpr const char* kCannotCreate = "Cannot create TCP/IP socket:\r\n%s.\r\nSocket Error Code: %d($%X)";
constexpr const char* kCannotConnect =
    "Cannot connect to server on host '%s':\r\n%s.\r\nSocket Error Code: %d($%X)";
constexpr const char* kConnectTimedOut = "Cannot connect to server on host '%s': Connection timed out";
constexpr const char* kWriteInvalidSocket = "Error on data writing to the connection: Invalid socket";
constexpr const char* kWaitError = "Error on data waiting from the connection:\r\n%s.\r\nSocket Error Code: %d($%X)";
constexpr const char* kCannotChangeHost = "Cannot change host for the active connection";
constexpr const char* kCannotChangePort = "Cannot change port for the active connection";

constexpr int kKeepAliveIdle = 15;     // seconds before the first probe
constexpr int kKeepAliveInterval = 1;  // seconds between probes

struct AddrInfoFree {
  void operator()(addrinfo* p) const noexcept { ::freeaddrinfo(p); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Closes a descriptor unless it is released.
class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : FFd(fd) {}
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard() {
    if (FFd >= 0) ::close(FFd);
  }
  int Get() const noexcept { return FFd; }
  int Release() noexcept { return std::exchange(FFd, -1); }

 private:
  int FFd;
};

// Milliseconds left until `deadline` for poll: -1 without a deadline,
// rounded up, at most INT_MAX.
int PollTimeout(const Deadline& deadline) {
  if (!deadline) return -1;
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

// poll on one descriptor until an event or the deadline, retrying on EINTR
// with the time that is left. Returns poll's result (errno set on -1).
int PollUntil(int fd, short events, const Deadline& deadline, short& revents) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int timeout = PollTimeout(deadline);
    const int rc = ::poll(&p, 1, timeout);
    if (rc < 0 && errno == EINTR) continue;
    // A long wait is split into INT_MAX-millisecond slices.
    if (rc == 0 && deadline && Clock::now() < *deadline) continue;
    revents = p.revents;
    return rc;
  }
}

// Result of one connect attempt: 0 connected, an errno value, or kTimedOut.
constexpr int kTimedOut = -1;

int ConnectOne(int fd, const sockaddr* addr, socklen_t len, const Deadline& deadline) {
  if (::connect(fd, addr, len) == 0) return 0;
  const int err = errno;
  // A non-blocking connect in progress (or interrupted, which goes on in the
  // background) is finished by waiting for writability; anything else failed.
  if (err != EINPROGRESS && err != EINTR) return err;
  short revents = 0;
  const int rc = PollUntil(fd, POLLOUT, deadline, revents);
  if (rc == 0) return kTimedOut;
  if (rc < 0) return errno;
  int soError = 0;
  socklen_t soLen = sizeof soError;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0) return errno;
  return soError;
}

void SetPortInAddress(sockaddr* addr, std::uint16_t port) {
  if (addr->sa_family == AF_INET) {
    sockaddr_in a;
    std::memcpy(&a, addr, sizeof a);
    a.sin_port = htons(port);
    std::memcpy(addr, &a, sizeof a);
  } else if (addr->sa_family == AF_INET6) {
    sockaddr_in6 a;
    std::memcpy(&a, addr, sizeof a);
    a.sin6_port = htons(port);
    std::memcpy(addr, &a, sizeof a);
  }
}

void SetTimeoutOption(int fd, int option, int seconds, const char* what) {
  timeval tv{};
  tv.tv_sec = std::max(seconds, 0);
  tv.tv_usec = 0;
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) RaiseLastOSError(what);
}

}  // namespace

int TKxVioTcp::TransferErrorCode(int err) noexcept {
  return (err == EAGAIN || err == EWOULDBLOCK) ? ETIMEDOUT : err;
}

TKxVioTcp::TKxVioTcp() = default;

TKxVioTcp::TKxVioTcp(std::string hostname, int port) : FHostname(std::move(hostname)), FPort(port) {}

TKxVioTcp::~TKxVioTcp() { CloseSocket(); }

int TKxVioTcp::GetTimeout() const { return FReceiveTimeout; }

void TKxVioTcp::SetTimeout(int Value) {
  SetReceiveTimeout(Value);
  FConnectionTimeout = Value;
}

int TKxVioTcp::GetSocket() const { return FSd; }

void TKxVioTcp::SetHost(const std::string& Value) {
  if (IsActive()) {
    FLastErrorCode = 0;
    throw SocketException(kCannotChangeHost);
  }
  FHostname = Value;
}

void TKxVioTcp::SetPort(int Value) {
  if (IsActive()) {
    FLastErrorCode = 0;
    throw SocketException(kCannotChangePort);
  }
  FPort = Value;
}

void TKxVioTcp::SetSendTimeout(int Value) {
  if (Value == FSendTimeout) return;
  FSendTimeout = Value;
  if (IsActive()) ApplySendTimeout();
}

void TKxVioTcp::SetReceiveTimeout(int Value) {
  if (Value == FReceiveTimeout) return;
  FReceiveTimeout = Value;
  if (IsActive()) ApplyReceiveTimeout();
}

void TKxVioTcp::ApplyReceiveTimeout() {
  SetTimeoutOption(FSd, SO_RCVTIMEO, FReceiveTimeout, "Cannot set the receive time-out of the socket");
}

void TKxVioTcp::ApplySendTimeout() {
  if (FSendTimeout > 0)
    SetTimeoutOption(FSd, SO_SNDTIMEO, FSendTimeout, "Cannot set the send time-out of the socket");
}

void TKxVioTcp::Connect() {
  LUMO_ASSERT(FSd == -1);
  TKxVio::Connect();
  if (FHostname.empty()) FHostname = "localhost";
  ClearLastError();
  try {
    InternalConnect();
    ConfigureSocket();
  } catch (...) {
    CloseSocket();
    throw;
  }
}

void TKxVioTcp::InternalConnect() {
  const Deadline deadline =
      FConnectionTimeout > 0 ? Deadline(Clock::now() + std::chrono::seconds(FConnectionTimeout))
                             : Deadline();

  if (FPort < 0 || FPort > 65535) {
    FLastErrorCode = EINVAL;
    FLastError = Format(kCannotConnect, {FHostname, SysErrorMessage(EINVAL), EINVAL, EINVAL});
    throw SocketException(FLastError);
  }

  // A numeric address is taken as it stands; only a name goes to the
  // resolver.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* raw = nullptr;
  int rc = ::getaddrinfo(FHostname.c_str(), nullptr, &hints, &raw);
  if (rc == EAI_NONAME) {
    hints.ai_flags = 0;
    raw = nullptr;
    rc = ::getaddrinfo(FHostname.c_str(), nullptr, &hints, &raw);
  }
  AddrInfoList addresses(raw);
  if (rc != 0 || !addresses) {
    const int code = rc == EAI_SYSTEM ? errno : rc;
    FLastErrorCode = code;
    FLastError = Format(kUnknownHost, {FHostname, code, code});
    throw SocketException(FLastError);
  }

  for (addrinfo* ai = addresses.get(); ai; ai = ai->ai_next) {
    if (!ai->ai_addr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    FdGuard fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (fd.Get() < 0) {
      // Another address family may still work (IPv6 may be disabled).
      const int err = errno;
      FLastErrorCode = err;
      FLastError = Format(kCannotCreate, {SysErrorMessage(err), err, err});
      continue;
    }
    sockaddr_storage addr{};
    std::memcpy(&addr, ai->ai_addr, ai->ai_addrlen);
    SetPortInAddress(reinterpret_cast<sockaddr*>(&addr), static_cast<std::uint16_t>(FPort));

    const int result = ConnectOne(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), ai->ai_addrlen, deadline);
    if (result == kTimedOut) {
      FLastErrorCode = ETIMEDOUT;
      FLastError = Format(kConnectTimedOut, {FHostname});
      throw SocketException(FLastError);
    }
    if (result != 0) {
      FLastErrorCode = result;
      FLastError = Format(kCannotConnect, {FHostname, SysErrorMessage(result), result, result});
      continue;
    }
    // Connected: reads and writes block (bounded by the socket time-outs).
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int err = errno;
      FLastErrorCode = err;
      FLastError = Format(kCannotConnect, {FHostname, SysErrorMessage(err), err, err});
      continue;
    }
    ClearLastError();
    FSd = fd.Release();
    return;
  }
  throw SocketException(FLastError);
}

void TKxVioTcp::ConfigureSocket() {
  // Failures of these options are not fatal: the connection works without.
  const int on = 1;
  ::setsockopt(FSd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(FSd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(FSd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdle, sizeof kKeepAliveIdle);
  ::setsockopt(FSd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveInterval, sizeof kKeepAliveInterval);
  // The stored time-outs are applied to every new socket.
  ApplyReceiveTimeout();
  ApplySendTimeout();
}

void TKxVioTcp::CloseSocket() noexcept {
  if (FSd == -1) return;
  ::shutdown(FSd, SHUT_RDWR);
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  ::close(FSd);
  FSd = -1;
}

void TKxVioTcp::Close() { CloseSocket(); }

std::size_t TKxVioTcp::ReadNoWait(void* buffer, std::size_t offset, std::size_t count) {
  ClearLastError();
  if (count == 0) return 0;
  std::byte* p = static_cast<std::byte*>(buffer) + offset;
  ssize_t n;
  do {
    n = ::recv(FSd, p, count, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<std::size_t>(n);
  const int err = TransferErrorCode(errno);
  FLastErrorCode = err;
  FLastError = Format(ReadErrorFormat, {SysErrorMessage(err), err, err});
  return 0;
}

std::size_t TKxVioTcp::WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) {
  ClearLastError();
  if (count == 0) return 0;
  const std::byte* p = static_cast<const std::byte*>(buffer) + offset;
  ssize_t n;
  do {
    n = ::send(FSd, p, count, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<std::size_t>(n);
  const int err = TransferErrorCode(errno);
  FLastErrorCode = err;
  FLastError = Format(WriteErrorFormat, {SysErrorMessage(err), err, err});
  return 0;
}

std::size_t TKxVioTcp::Write(const void* buffer, std::size_t offset, std::size_t count) {
  if (!IsActive()) {
    FLastErrorCode = 0;
    FLastError = kWriteInvalidSocket;
    return 0;
  }
  return TKxVio::Write(buffer, offset, count);
}

bool TKxVioTcp::WaitForData(int Timeout) {
  ClearLastError();
  auto fail = [this](int err) -> bool {
    FLastErrorCode = err;
    FLastError = Format(kWaitError, {SysErrorMessage(err), err, err});
    throw SocketException(FLastError);
  };
  if (!IsActive()) return fail(EBADF);
  const Deadline deadline = Timeout < 0 ? Deadline() : Deadline(Clock::now() + std::chrono::seconds(Timeout));
  short revents = 0;
  const int rc = PollUntil(FSd, POLLIN, deadline, revents);
  if (rc < 0) return fail(errno);
  if (rc == 0) return false;
  if (revents & POLLNVAL) return fail(EBADF);
  // End of stream and errors make the socket readable too: the next read
  // does not block and reports them.
  return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace lumo
