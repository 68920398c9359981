// The TCP transport against servers on the loopback interface: connecting
// (names, addresses, refusals, time-outs), buffered reads over a real
// socket, writes to a closed peer, socket options and waiting for data.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <lumokit/core/Format.h>
#include <lumokit/core/SyncObjs.h>
#include <lumokit/net/KxVioTcp.h>
#include "support/LoopbackServer.h"

namespace lumo {
namespace {

using test::BacklogFullListener;
using test::LoopbackConnection;
using test::LoopbackServer;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A TCP transport that counts its raw reads and remembers their targets
// and results.
class TCountingTcp : public TKxVioTcp {
 public:
  using TKxVioTcp::TKxVioTcp;
  std::vector<const void*> ReadTargets;
  std::vector<std::size_t> ReadResults;

  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override {
    ReadTargets.push_back(static_cast<char*>(buffer) + offset);
    ReadResults.push_back(TKxVioTcp::ReadNoWait(buffer, offset, count));
    return ReadResults.back();
  }
};

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

// A port on 127.0.0.1 where nothing listens.
int UnusedPort() {
  int port = 0;
  LoopbackServer probe(nullptr);
  port = probe.Port();
  probe.Stop();
  return port;
}

int SocketIntOption(int fd, int level, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, option, &value, &len), 0);
  return value;
}

long SocketTimeoutOption(int fd, int option) {
  timeval tv{};
  socklen_t len = sizeof tv;
  EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, option, &tv, &len), 0);
  return tv.tv_sec;
}

// Waits until `count` bytes have arrived in the socket's receive queue.
void AwaitPending(int fd, int count) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int pending = 0;
  while (Clock::now() < deadline) {
    ASSERT_EQ(::ioctl(fd, FIONREAD, &pending), 0);
    if (pending >= count) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  FAIL() << "only " << pending << " of " << count << " bytes arrived";
}

// Sends `data` and keeps the connection open until the client closes it.
LoopbackServer::Script SendThenHold(std::string data) {
  return [data](LoopbackConnection& c) {
    if (c.Send(data)) c.WaitForPeerClose(10000);
  };
}

LoopbackServer::Script Echo() {
  return [](LoopbackConnection& c) {
    for (;;) {
      std::string got = c.Receive(65536, 10000);
      if (got.empty() || !c.Send(got)) return;
    }
  };
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + 5);
  return s;
}

// ---------------------------------------------------------------------------
// Connecting

TEST(KxVioTcpConnect, EmptyHostConnectsToLocalhostAndConfiguresTheSocket) {
  LoopbackServer server(Echo());
  TKxVioTcp vio("", server.Port());
  vio.Connect();
  ASSERT_TRUE(vio.IsActive());
  EXPECT_EQ(vio.Host(), "localhost");
  EXPECT_TRUE(vio.LastError().empty());

  const int fd = vio.GetSocket();
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(SocketIntOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_NE(SocketIntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(SocketIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 15);
  EXPECT_EQ(SocketIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_RCVTIMEO), DefaultTimeOut);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_SNDTIMEO), 0);  // 0 is never applied

  const std::string msg = "ping";
  EXPECT_EQ(vio.Write(msg.data(), 0, msg.size()), msg.size());
  std::string got(4, '\0');
  EXPECT_EQ(vio.Read(got.data(), 0, 4), 4u);
  EXPECT_EQ(got, "ping");
  vio.Close();
  EXPECT_FALSE(vio.IsActive());
  EXPECT_EQ(vio.GetSocket(), -1);
}

TEST(KxVioTcpConnect, TriesEveryAddressAndBothFamilies) {
  // "localhost" may resolve to ::1 before 127.0.0.1; the server listens on
  // IPv4 only, so a transport that stopped at the first address would fail.
  LoopbackServer v4(Echo());
  TKxVioTcp byName("localhost", v4.Port());
  EXPECT_NO_THROW(byName.Connect());
  EXPECT_TRUE(byName.IsActive());

  std::unique_ptr<LoopbackServer> v6;
  try {
    v6 = std::make_unique<LoopbackServer>(Echo(), "::1");
  } catch (const std::runtime_error& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  TKxVioTcp byAddress("::1", v6->Port());
  EXPECT_NO_THROW(byAddress.Connect());
  EXPECT_TRUE(byAddress.IsActive());
  const std::string msg = "six";
  EXPECT_EQ(byAddress.Write(msg.data(), 0, 3), 3u);
  std::string got(3, '\0');
  EXPECT_EQ(byAddress.Read(got.data(), 0, 3), 3u);
  EXPECT_EQ(got, "six");
}

TEST(KxVioTcpConnect, RefusedPortRaisesAndLeavesTheTransportClosed) {
  const int port = UnusedPort();
  const int before = OpenDescriptors();
  TKxVioTcp vio("127.0.0.1", port);
  try {
    vio.Connect();
    FAIL() << "connected to an unused port";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.Message(),
              Format("Cannot connect to server on host '127.0.0.1':\r\n%s.\r\nSocket Error Code: %d($%X)",
                     {SysErrorMessage(ECONNREFUSED), ECONNREFUSED, ECONNREFUSED}));
  }
  EXPECT_EQ(vio.LastErrorCode(), ECONNREFUSED);
  EXPECT_FALSE(vio.IsActive());
  EXPECT_EQ(vio.GetSocket(), -1);
  EXPECT_EQ(OpenDescriptors(), before);

  // A closed transport can be pointed elsewhere and connected.
  LoopbackServer server(Echo());
  vio.SetPort(server.Port());
  EXPECT_NO_THROW(vio.Connect());
  EXPECT_TRUE(vio.LastError().empty());
  EXPECT_EQ(vio.LastErrorCode(), 0);
}

TEST(KxVioTcpConnect, UnknownHostRaises) {
  TKxVioTcp vio("no-such-host.invalid", 3306);
  try {
    vio.Connect();
    FAIL() << "resolved a name under .invalid";
  } catch (const SocketException& e) {
    const int code = vio.LastErrorCode();
    EXPECT_NE(code, 0);
    EXPECT_EQ(e.Message(), Format("Unknown host 'no-such-host.invalid'\r\nSocket Error Code: %d($%X)", {code, code}));
  }
  EXPECT_FALSE(vio.IsActive());
}

TEST(KxVioTcpConnect, PortOutOfRangeIsRefused) {
  TKxVioTcp vio("127.0.0.1", 65536 + 80);
  EXPECT_THROW(vio.Connect(), SocketException);
  EXPECT_EQ(vio.LastErrorCode(), EINVAL);
  EXPECT_FALSE(vio.IsActive());
}

TEST(KxVioTcpConnect, ConnectionTimeOutWhenTheServerNeverAnswers) {
  BacklogFullListener listener;
  const int before = OpenDescriptors();
  TKxVioTcp vio("127.0.0.1", listener.Port());
  vio.SetConnectionTimeout(1);
  const auto start = Clock::now();
  try {
    vio.Connect();
    FAIL() << "connected to a full accept queue";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.Message(), "Cannot connect to server on host '127.0.0.1': Connection timed out");
  }
  // Without the time-out the system would try for minutes.
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 10.0);
  EXPECT_EQ(vio.LastError(), "Cannot connect to server on host '127.0.0.1': Connection timed out");
  EXPECT_FALSE(vio.IsActive());
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(KxVioTcpConnect, ConnectingAnOpenTransportIsAnInternalError) {
  LoopbackServer server(Echo());
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.Connect();
  EXPECT_THROW(vio.Connect(), EAssertionFailed);
  EXPECT_TRUE(vio.IsActive());
}

// ---------------------------------------------------------------------------
// Reading

TEST(KxVioTcpRead, SmallReadsAreServedFromTheReadAheadBuffer) {
  const std::string data = Pattern(100);
  LoopbackServer server(SendThenHold(data));
  TCountingTcp vio("127.0.0.1", server.Port());
  vio.Connect();
  AwaitPending(vio.GetSocket(), 100);

  std::string out(100, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 10), 10u);
  EXPECT_EQ(vio.ReadTargets.size(), 1u);
  EXPECT_EQ(vio.Buffered(), 90u);
  EXPECT_EQ(vio.Read(out.data(), 10, 90), 90u);
  EXPECT_EQ(vio.ReadTargets.size(), 1u);  // no socket call
  EXPECT_EQ(vio.Buffered(), 0u);
  EXPECT_EQ(out, data);
}

TEST(KxVioTcpRead, LargeReadBypassesTheEmptyBuffer) {
  const std::string data = Pattern(4096);
  LoopbackServer server(SendThenHold(data));
  TCountingTcp vio("127.0.0.1", server.Port());
  vio.Connect();

  std::string out(4096, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 4096), 4096u);
  EXPECT_EQ(out, data);
  ASSERT_FALSE(vio.ReadTargets.empty());
  for (const void* target : vio.ReadTargets) {
    EXPECT_GE(target, static_cast<const void*>(out.data()));
    EXPECT_LT(target, static_cast<const void*>(out.data() + out.size()));
  }
  EXPECT_EQ(vio.Buffered(), 0u);
}

TEST(KxVioTcpRead, PeerCloseMidReadReturnsTheBytesReceived) {
  LoopbackServer server([](LoopbackConnection& c) {
    c.Send(Pattern(50));
    c.Close();
  });
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.SetReceiveTimeout(60);
  vio.Connect();
  std::string out(100, '\0');
  const auto start = Clock::now();
  EXPECT_EQ(vio.Read(out.data(), 0, 100), 50u);
  // The end of the stream, not the receive time-out, ended the read.
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_EQ(out.substr(0, 50), Pattern(50));
  // The end of the stream is not an error of the socket.
  EXPECT_EQ(vio.LastErrorCode(), 0);
}

TEST(KxVioTcpRead, ReceiveTimeOutGivesAShortReadWithTheReason) {
  LoopbackServer server(SendThenHold("0123456789"));
  TCountingTcp vio("127.0.0.1", server.Port());
  vio.SetReceiveTimeout(1);
  vio.Connect();
  AwaitPending(vio.GetSocket(), 10);
  std::string out(100, '\0');
  const auto start = Clock::now();
  EXPECT_EQ(vio.Read(out.data(), 0, 100), 10u);
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 10.0);
  // One time-out, not one per attempt.
  EXPECT_EQ(vio.ReadResults, (std::vector<std::size_t>{10, 0}));
  EXPECT_EQ(vio.LastErrorCode(), ETIMEDOUT);
  EXPECT_EQ(vio.LastError(),
            Format("Error on data reading from the connection:\r\n%s.\r\nSocket Error Code: %d($%X)",
                   {SysErrorMessage(ETIMEDOUT), ETIMEDOUT, ETIMEDOUT}));
  EXPECT_EQ(out.substr(0, 10), "0123456789");
}

// ---------------------------------------------------------------------------
// Writing

TEST(KxVioTcpWrite, NeverConnectedTransportRefusesToWrite) {
  TKxVioTcp vio("127.0.0.1", 1);
  EXPECT_EQ(vio.Write("abc", 0, 3), 0u);
  EXPECT_EQ(vio.LastError(), "Error on data writing to the connection: Invalid socket");
  EXPECT_EQ(vio.LastErrorCode(), 0);
}

TEST(KxVioTcpWrite, WritingToAClosedPeerFailsWithoutSigpipe) {
  // The default disposition of SIGPIPE ends the process.
  struct sigaction old {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &old);

  LoopbackServer server([](LoopbackConnection& c) { c.Close(); });
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.Connect();
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (server.Finished() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));

  const std::string block(65536, 'x');
  std::size_t written = block.size();
  for (int i = 0; i < 50 && written == block.size(); ++i) written = vio.Write(block.data(), 0, block.size());
  EXPECT_LT(written, block.size());
  EXPECT_TRUE(vio.LastErrorCode() == EPIPE || vio.LastErrorCode() == ECONNRESET) << vio.LastErrorCode();
  EXPECT_EQ(vio.LastError().rfind("Error on data writing to the connection:\r\n", 0), 0u) << vio.LastError();
  ::sigaction(SIGPIPE, &old, nullptr);
}

// ---------------------------------------------------------------------------
// Settings

TEST(KxVioTcpSettings, HostAndPortCannotChangeWhileOpen) {
  LoopbackServer server(Echo());
  TKxVioTcp vio;
  vio.SetHost("127.0.0.1");
  vio.SetPort(server.Port());
  vio.Connect();
  try {
    vio.SetHost("other");
    FAIL();
  } catch (const SocketException& e) {
    EXPECT_EQ(e.Message(), "Cannot change host for the active connection");
  }
  try {
    vio.SetPort(1);
    FAIL();
  } catch (const SocketException& e) {
    EXPECT_EQ(e.Message(), "Cannot change port for the active connection");
  }
  EXPECT_EQ(vio.LastErrorCode(), 0);
  EXPECT_EQ(vio.Host(), "127.0.0.1");
  EXPECT_EQ(vio.Port(), server.Port());
}

TEST(KxVioTcpSettings, TimeOutsApplyOnlyWhenTheyChange) {
  LoopbackServer server(Echo());
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.SetTimeout(7);
  EXPECT_EQ(vio.GetTimeout(), 7);
  EXPECT_EQ(vio.ReceiveTimeout(), 7);
  EXPECT_EQ(vio.ConnectionTimeout(), 7);
  vio.Connect();
  const int fd = vio.GetSocket();
  EXPECT_EQ(SocketTimeoutOption(fd, SO_RCVTIMEO), 7);

  // Change the option behind the transport's back: setting the stored value
  // again must not touch it.
  timeval tv{3, 0};
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
  vio.SetReceiveTimeout(7);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_RCVTIMEO), 3);
  vio.SetReceiveTimeout(5);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_RCVTIMEO), 5);

  vio.SetSendTimeout(4);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_SNDTIMEO), 4);
  vio.SetSendTimeout(0);
  EXPECT_EQ(vio.SendTimeout(), 0);
  EXPECT_EQ(SocketTimeoutOption(fd, SO_SNDTIMEO), 4);
}

TEST(KxVioTcpSettings, FailingSocketOptionRaisesAnOSError) {
  LoopbackServer server(Echo());
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.Connect();
  // Put something that is not a socket under the transport's descriptor.
  const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  ASSERT_EQ(::dup2(devnull, vio.GetSocket()), vio.GetSocket());
  ::close(devnull);
  try {
    vio.SetReceiveTimeout(9);
    FAIL() << "no error";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOTSOCK);
  }
  vio.Close();
}

// ---------------------------------------------------------------------------
// Waiting for data

TEST(KxVioTcpWait, WaitsForDataOrPolls) {
  // The server echoes each byte, but only once the test lets it answer.
  ManualResetEvent answer;
  LoopbackServer server([&answer](LoopbackConnection& c) {
    char b;
    while (c.ReceiveExact(&b, 1, 10000)) {
      while (!answer.WaitFor(20))
        if (c.StopRequested()) return;
      if (!c.Send(std::string(1, b))) return;
    }
  });
  TKxVioTcp vio("127.0.0.1", server.Port());
  vio.Connect();

  // A zero time-out polls (the receive time-out is 30 s).
  auto start = Clock::now();
  EXPECT_FALSE(vio.WaitForData(0));
  EXPECT_LT(SecondsSince(start), 5.0);

  ASSERT_EQ(vio.Write("a", 0, 1), 1u);
  EXPECT_FALSE(vio.WaitForData(0));
  std::atomic<bool> answered{false};
  std::thread release([&] {
    // Time for a wait that returns early to show it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    answered = true;
    answer.SetEvent();
  });
  EXPECT_TRUE(vio.WaitForData(-1));
  EXPECT_TRUE(answered);
  release.join();
  EXPECT_TRUE(vio.WaitForData(0));
  char got = 0;
  EXPECT_EQ(vio.Read(&got, 0, 1), 1u);
  EXPECT_EQ(got, 'a');

  ASSERT_EQ(vio.Write("b", 0, 1), 1u);
  EXPECT_TRUE(vio.WaitForData(5));
  EXPECT_TRUE(vio.LastError().empty());
}

TEST(KxVioTcpWait, WaitingOnAClosedTransportRaises) {
  TKxVioTcp vio;
  try {
    vio.WaitForData(0);
    FAIL() << "no error";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.Message(), Format("Error on data waiting from the connection:\r\n%s.\r\nSocket Error Code: %d($%X)",
                                  {SysErrorMessage(EBADF), EBADF, EBADF}));
  }
  EXPECT_EQ(vio.LastErrorCode(), EBADF);
}

}  // namespace
}  // namespace lumo
