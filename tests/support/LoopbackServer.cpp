#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace lumo::test {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// A listening Unix domain socket at `path` (a file left there is replaced).
int ListenLocal(const std::string& path, int backlog) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) throw std::runtime_error("socket path too long: " + path);
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail("socket");
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    Fail("bind/listen on " + path);
  }
  return fd;
}

// Binds a listening socket to `address` (numeric) at an ephemeral port, or
// to the Unix socket path `address` when it begins with "/".
int Listen(const std::string& address, int backlog, int& port) {
  if (!address.empty() && address[0] == '/') {
    port = 0;
    return ListenLocal(address, backlog);
  }
  sockaddr_storage ss{};
  socklen_t len = 0;
  int family = AF_INET;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    std::memcpy(&ss, &v4, sizeof v4);
    len = sizeof v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
    family = AF_INET6;
    v6.sin6_family = AF_INET6;
    std::memcpy(&ss, &v6, sizeof v6);
    len = sizeof v6;
  } else {
    throw std::runtime_error("not a numeric address: " + address);
  }
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail("socket");
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, backlog) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    Fail("bind/listen on " + address);
  }
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
  if (bound.ss_family == AF_INET) {
    sockaddr_in a;
    std::memcpy(&a, &bound, sizeof a);
    port = ntohs(a.sin_port);
  } else {
    sockaddr_in6 a;
    std::memcpy(&a, &bound, sizeof a);
    port = ntohs(a.sin6_port);
  }
  return fd;
}

}  // namespace

// ---------------------------------------------------------------------------
// LoopbackConnection

LoopbackConnection::LoopbackConnection(int fd, int stopFd) noexcept : FFd(fd), FStopFd(stopFd) {
  // Non-blocking, so that no call can outlast a stop request.
  const int flags = ::fcntl(FFd, F_GETFL);
  if (flags >= 0) ::fcntl(FFd, F_SETFL, flags | O_NONBLOCK);
}

LoopbackConnection::~LoopbackConnection() { Close(); }

bool LoopbackConnection::StopRequested() const {
  pollfd p{FStopFd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

bool LoopbackConnection::Wait(short events, int timeoutMs) {
  if (FFd < 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p[2] = {{FFd, events, 0}, {FStopFd, POLLIN, 0}};
    const int rc = ::poll(p, 2, MillisLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    if (p[1].revents) return false;
    return true;
  }
}

bool LoopbackConnection::Send(const void* data, std::size_t size, int timeoutMs) {
  const auto* p = static_cast<const char*>(data);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    if (FFd < 0) return false;
    const ssize_t n = ::send(FFd, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(POLLOUT, MillisLeft(deadline))) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool LoopbackConnection::ReceiveExact(void* data, std::size_t size, int timeoutMs) {
  auto* p = static_cast<char*>(data);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    if (FFd < 0) return false;
    const ssize_t n = ::recv(FFd, p, size, 0);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Wait(POLLIN, MillisLeft(deadline))) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::string LoopbackConnection::Receive(std::size_t max, int timeoutMs) {
  std::string out;
  if (max == 0 || !Wait(POLLIN, timeoutMs)) return out;
  out.resize(max);
  ssize_t n;
  do {
    n = ::recv(FFd, out.data(), max, 0);
  } while (n < 0 && errno == EINTR);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

bool LoopbackConnection::WaitForPeerClose(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char sink[4096];
  for (;;) {
    if (!Wait(POLLIN, MillisLeft(deadline))) return false;
    const ssize_t n = ::recv(FFd, sink, sizeof sink, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return true;
  }
}

void LoopbackConnection::WaitForStop(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{FStopFd, POLLIN, 0};
    const int rc = ::poll(&p, 1, MillisLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    return;
  }
}

void LoopbackConnection::Close() noexcept {
  if (FFd < 0) return;
  ::shutdown(FFd, SHUT_RDWR);
  ::close(FFd);
  FFd = -1;
}

void LoopbackConnection::Reset() noexcept {
  if (FFd < 0) return;
  linger l{1, 0};
  ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(FFd);
  FFd = -1;
}

// ---------------------------------------------------------------------------
// LoopbackServer

LoopbackServer::LoopbackServer(Script script, const std::string& bindAddress)
    : FScript(std::move(script)) {
  if (::pipe2(FStopPipe, O_CLOEXEC) != 0) Fail("pipe2");
  try {
    FListenFd = Listen(bindAddress, 64, FPort);
  } catch (...) {
    ::close(FStopPipe[0]);
    ::close(FStopPipe[1]);
    throw;
  }
  FAcceptThread = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() { Stop(); }

void LoopbackServer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{FListenFd, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
    const int rc = ::poll(p, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    const int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++FAccepted;
    std::lock_guard<std::mutex> guard(FLock);
    FWorkers.emplace_back([this, fd] { RunScript(fd); });
  }
}

void LoopbackServer::RunScript(int fd) {
  LoopbackConnection connection(fd, FStopPipe[0]);
  try {
    if (FScript) FScript(connection);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> guard(FLock);
    FErrors.emplace_back(e.what());
  } catch (...) {
    std::lock_guard<std::mutex> guard(FLock);
    FErrors.emplace_back("unknown exception");
  }
  connection.Close();
  ++FFinished;
}

std::vector<std::string> LoopbackServer::ScriptErrors() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FErrors;
}

void LoopbackServer::Stop() {
  if (FStopped.exchange(true)) return;
  // One byte in the pipe wakes every poll that watches its read end; it is
  // never drained.
  const char byte = 1;
  while (::write(FStopPipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
  if (FAcceptThread.joinable()) FAcceptThread.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> guard(FLock);
    workers.swap(FWorkers);
  }
  for (auto& t : workers) t.join();
  ::close(FListenFd);
  ::close(FStopPipe[0]);
  ::close(FStopPipe[1]);
  FListenFd = FStopPipe[0] = FStopPipe[1] = -1;
}

// ---------------------------------------------------------------------------
// BacklogFullListener

BacklogFullListener::BacklogFullListener() {
  FListenFd = Listen("127.0.0.1", 0, FPort);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(FPort));
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  // A few connections take every place in the queue; later SYNs are dropped.
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    FFillers.push_back(fd);
  }
  // The first filler takes the one place in the queue; wait until its
  // handshake is done (the others stay in SYN retries).
  if (!FFillers.empty()) {
    pollfd p{FFillers.front(), POLLOUT, 0};
    while (::poll(&p, 1, 20000) < 0 && errno == EINTR) {
    }
  }
}

BacklogFullListener::~BacklogFullListener() {
  for (int fd : FFillers) ::close(fd);
  ::close(FListenFd);
}

}  // namespace lumo::test
