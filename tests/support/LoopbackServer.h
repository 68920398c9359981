// A small TCP server on the loopback interface for tests: it listens on an
// ephemeral port, accepts in a thread of its own and runs a script callback
// for every connection in a thread per connection. Stopping is cooperative:
// Stop wakes every wait of the server and of the scripts, then joins all
// threads. BacklogFullListener is a listener that never accepts and whose
// queue is full, so that further connection attempts hang.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lumo::test {

// One accepted connection as the server script sees it. Every wait ends
// early when the server is being stopped.
class LoopbackConnection {
 public:
  LoopbackConnection(int fd, int stopFd) noexcept;
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;
  ~LoopbackConnection();

  int Fd() const noexcept { return FFd; }
  // Sends every byte; false when the peer is gone, the time ran out or the
  // server is stopping.
  bool Send(const void* data, std::size_t size, int timeoutMs = 5000);
  bool Send(std::string_view data, int timeoutMs = 5000) { return Send(data.data(), data.size(), timeoutMs); }
  // Receives exactly `size` bytes; false on end of stream, time-out or stop.
  bool ReceiveExact(void* data, std::size_t size, int timeoutMs = 5000);
  // Receives what is available, at most `max` bytes, waiting up to
  // `timeoutMs` for the first; empty on end of stream, time-out or stop.
  std::string Receive(std::size_t max, int timeoutMs = 5000);
  // Waits until the peer closes (true), discarding what it sends; false on
  // time-out or stop.
  bool WaitForPeerClose(int timeoutMs = 5000);
  // Waits until the server is stopped or the time runs out.
  void WaitForStop(int timeoutMs);
  // Closes the server side now (the peer sees the end of the stream).
  void Close() noexcept;
  // Closes with a reset (SO_LINGER 0) instead of an orderly shutdown.
  void Reset() noexcept;
  bool StopRequested() const;

 private:
  // Waits for `events` on the connection; false on time-out or stop.
  bool Wait(short events, int timeoutMs);

  int FFd;
  int FStopFd;  // read end of the server's stop pipe (not owned)
};

class LoopbackServer {
 public:
  using Script = std::function<void(LoopbackConnection&)>;

  // Listens on `bindAddress` (numeric IPv4 or IPv6) at an ephemeral port,
  // or on the Unix socket path `bindAddress` when it begins with "/" (Port()
  // is then 0).
  // Throws std::runtime_error when the socket cannot be set up.
  explicit LoopbackServer(Script script, const std::string& bindAddress = "127.0.0.1");
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer();

  int Port() const noexcept { return FPort; }
  // Connections accepted so far.
  int Accepted() const noexcept { return FAccepted.load(); }
  // Connections whose script has returned.
  int Finished() const noexcept { return FFinished.load(); }
  // Messages of exceptions that escaped a script.
  std::vector<std::string> ScriptErrors() const;
  // Stops accepting, wakes every wait and joins every thread. Idempotent.
  void Stop();

 private:
  void AcceptLoop();
  void RunScript(int fd);

  Script FScript;
  int FListenFd = -1;
  int FStopPipe[2] = {-1, -1};
  int FPort = 0;
  std::atomic<int> FAccepted{0};
  std::atomic<int> FFinished{0};
  std::atomic<bool> FStopped{false};
  mutable std::mutex FLock;
  std::vector<std::thread> FWorkers;  // guarded by FLock
  std::vector<std::string> FErrors;   // guarded by FLock
  std::thread FAcceptThread;
};

// A listener on 127.0.0.1 that never accepts, with its accept queue filled
// by a few connections of its own: the SYN of any further connection is
// dropped, so a connect to Port() hangs until its time-out.
class BacklogFullListener {
 public:
  BacklogFullListener();
  BacklogFullListener(const BacklogFullListener&) = delete;
  BacklogFullListener& operator=(const BacklogFullListener&) = delete;
  ~BacklogFullListener();

  int Port() const noexcept { return FPort; }

 private:
  int FListenFd = -1;
  int FPort = 0;
  std::vector<int> FFillers;
};

}  // namespace lumo::test
