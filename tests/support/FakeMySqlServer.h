// A scripted fake MySQL server for tests: it listens on a loopback port,
// plays a script of packets to every client that connects, records what the
// client sent, and can cut the connection after any number of bytes. It
// shows what a real server cannot: old protocol versions, malformed and
// truncated packets, dropped connections and hostile requests. Latches let
// a script wait for the test (or another connection), and the test for a
// script, instead of sleeping for a guessed time.
//
// Sequence numbers follow the conversation: a packet the server sends takes
// the number after the last one it received (or sent), unless the script
// gives one. After Compress(true) packets travel in the compressed protocol
// (one compressed packet per packet sent, deflated when asked); after
// StartTls they travel inside TLS. The server listens on a loopback port,
// or on a Unix socket when given a path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <lumokit/core/SyncObjs.h>
#include "support/TlsTestSupport.h"
#include "support/LoopbackServer.h"
#include "support/Wait.h"

namespace lumo::test {

// One packet of the plain protocol as it travelled.
struct FakePacket {
  std::uint8_t Seq = 0;
  std::string Payload;
  int Connection = 0;  // 0 for the first client connection, 1 for the next ...
};

// The greeting of a protocol-10 server.
struct FakeGreeting {
  int ProtocolVersion = 10;
  std::string ServerVersion = "5.5.5-10.11.6-MariaDB";
  std::uint32_t ThreadId = 7;
  std::string Scramble = "0123456789abcdefghij";  // 20 bytes (at least 8)
  std::uint16_t Capabilities = 0xF7FF;            // everything up to SECURE_CONNECTION but SSL
  std::uint8_t Language = 8;
  std::uint16_t Status = 2;
  std::uint16_t UpperCapabilities = 0;  // e.g. PLUGIN_AUTH >> 16
  bool With41Part = true;  // the further scramble bytes and the plugin name
  std::string AuthPlugin = "mysql_native_password";
  std::string Build() const;
};

// Payload builders.
std::string LenEnc(std::uint64_t v);
std::string LenEncString(const std::string& s);
std::string OkPacket(std::uint64_t affected = 0, std::uint64_t insertId = 0, std::uint16_t status = 2,
                     std::uint16_t warnings = 0, const std::string& info = "");
std::string ErrPacket(std::uint16_t code, const std::string& sqlState, const std::string& message);
std::string EofPacket(std::uint16_t warnings = 0, std::uint16_t status = 2);
// A 4.1 column definition of a VAR_STRING column.
std::string ColumnDef41(const std::string& name);
// ... of a column of any type.
std::string ColumnDef41(const std::string& name, std::uint8_t type, std::uint16_t flags = 0,
                        std::uint32_t length = 255, std::uint16_t charset = 45);
// A text row; nullptr values are NULL.
std::string TextRow(const std::vector<const char*>& values);

class FakeMySqlConnection;

// A latch between the test and the scripts, or between the scripts of two
// connections: copies share one state, and Release lets every present and
// later wait through.
class FakeLatch {
 public:
  FakeLatch() : FEvent(std::make_shared<ManualResetEvent>()) {}
  void Release() const { FEvent->SetEvent(); }
  bool Released() const { return FEvent->IsSet(); }
  // True when the latch is (or gets) released within `timeoutMs`.
  bool Wait(int timeoutMs = kPatienceMs) const { return FEvent->WaitFor(timeoutMs); }

 private:
  std::shared_ptr<ManualResetEvent> FEvent;
};

// What the server does, step by step, for one client.
class FakeMySqlScript {
 public:
  using Action = std::function<void(FakeMySqlConnection&)>;

  // Sends a packet with the next sequence number (or the one given).
  FakeMySqlScript& Send(std::string payload);
  FakeMySqlScript& SendSeq(std::string payload, std::uint8_t seq);
  // Sends bytes as they stand (no header, no compression).
  FakeMySqlScript& SendRaw(std::string bytes);
  // Reads `count` packets from the client.
  FakeMySqlScript& Receive(int count = 1);
  // Reads packets until an empty one (a LOAD DATA LOCAL INFILE upload).
  FakeMySqlScript& ReceiveUntilEmpty();
  // From here on, packets travel compressed; `deflate` deflates what the
  // server sends (else it is stored).
  FakeMySqlScript& Compress(bool on, bool deflate = false);
  // Greeting, response, OK: a successful login.
  FakeMySqlScript& Login(const FakeGreeting& greeting = FakeGreeting());
  // Closes the connection.
  FakeMySqlScript& Close();
  // The server side of a TLS handshake on the connection (after the
  // client's SSL request); a failed handshake is a failure and closes.
  FakeMySqlScript& StartTls(std::string certFile, std::string keyFile);
  // The connection is closed once the server has sent this many bytes in
  // all (the step that crosses the limit sends only part of its bytes).
  FakeMySqlScript& CutAfter(std::size_t bytes);
  // Waits until the client has begun its next packet; reads only the
  // packet's header, so a large packet stays stuck in the client's send.
  FakeMySqlScript& AwaitClient();
  // Releases `latch`.
  FakeMySqlScript& Release(FakeLatch latch);
  // Waits until `latch` is released; a failure, and the connection closed,
  // when that takes longer than `timeoutMs` or the server stops first.
  FakeMySqlScript& Await(FakeLatch latch, int timeoutMs = kPatienceMs);
  // Any other action.
  FakeMySqlScript& Do(Action action);

  const std::vector<Action>& Steps() const { return FSteps; }

 private:
  std::vector<Action> FSteps;
};

class FakeMySqlServer {
 public:
  // Plays `script` to every client; `scripts` gives one script per
  // connection in the order they come (the last one repeats).
  explicit FakeMySqlServer(FakeMySqlScript script);
  explicit FakeMySqlServer(std::vector<FakeMySqlScript> scripts);
  // Listens on the Unix socket `socketPath` instead.
  FakeMySqlServer(FakeMySqlScript script, const std::string& socketPath);
  ~FakeMySqlServer();

  int Port() const { return FServer->Port(); }
  // Waits until `connections` scripts have finished (true) or the time ran
  // out (false).
  bool WaitDone(int connections = 1, int timeoutMs = kPatienceMs);
  // Packets the clients sent, in the order they arrived over all
  // connections (connections run in threads of their own, so packets of two
  // connections may interleave).
  std::vector<FakePacket> Received() const;
  // Packets one connection sent, in order.
  std::vector<FakePacket> Received(int connection) const;
  // Everything that went wrong inside the scripts (reads that timed out,
  // malformed client data); empty when the scripts ran as written.
  std::vector<std::string> Failures() const;
  void Stop();

 private:
  friend class FakeMySqlConnection;
  FakeMySqlServer(std::vector<FakeMySqlScript> scripts, const std::string& bindAddress);
  void Record(FakePacket p);
  void Fail(const std::string& what);

  std::vector<FakeMySqlScript> FScripts;
  mutable std::mutex FLock;
  std::vector<FakePacket> FReceived;
  std::vector<std::string> FFailures;
  int FConnections = 0;
  std::unique_ptr<LoopbackServer> FServer;
};

// The server side of one connection, handed to script actions.
class FakeMySqlConnection {
 public:
  FakeMySqlConnection(FakeMySqlServer& server, LoopbackConnection& conn, int index = 0)
      : FServer(server), FConn(conn), FIndex(index) {}

  void Send(const std::string& payload);
  void SendSeq(const std::string& payload, std::uint8_t seq);
  void SendRaw(const std::string& bytes);
  // Reads one packet (recorded); false when the client closed or the read
  // failed (recorded as a failure unless `quiet`).
  bool Receive(FakePacket& packet, bool quiet = false);
  // Waits for the header of the client's next packet without taking it.
  bool AwaitPacket() { return FillPlain(4, false); }
  void SetCompress(bool on, bool deflate) {
    FCompress = on;
    FDeflate = deflate;
  }
  void SetCutAfter(std::size_t bytes) { FCutAfter = bytes; }
  void Close() {
    FTls.reset();
    FConn.Close();
    FClosed = true;
  }
  void StartTls(const std::string& certFile, const std::string& keyFile);
  bool Closed() const { return FClosed; }
  std::uint8_t NextSeq() const { return FSeq; }
  // The socket, for steps that speak TLS on it themselves.
  int Fd() const { return FConn.Fd(); }
  void Fail(const std::string& what) { FServer.Fail(what); }
  bool StopRequested() const { return FConn.StopRequested(); }

 private:
  bool ReadExact(std::string& out, std::size_t n, bool quiet);
  bool FillPlain(std::size_t n, bool quiet);

  FakeMySqlServer& FServer;
  LoopbackConnection& FConn;
  int FIndex = 0;
  std::uint8_t FSeq = 0;
  std::uint8_t FComprSeq = 0;
  bool FCompress = false;
  bool FDeflate = false;
  bool FClosed = false;
  std::size_t FSent = 0;
  std::size_t FCutAfter = static_cast<std::size_t>(-1);
  std::string FPlain;  // uncompressed bytes received but not yet parsed
  std::unique_ptr<TlsServerSide> FTls;
};

}  // namespace lumo::test
