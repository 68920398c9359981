#include "support/FakeMySqlServer.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace lumo::test {

namespace {

std::string Int16(std::uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

std::string Int24(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF)};
}

std::string Int32(std::uint32_t v) { return Int16(static_cast<std::uint16_t>(v)) + Int16(static_cast<std::uint16_t>(v >> 16)); }

std::uint32_t GetInt24(const std::string& s, std::size_t at) {
  return static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8) |
         (static_cast<std::uint8_t>(s[at + 2]) << 16);
}

}  // namespace

// ---------------------------------------------------------------------------
// Payload builders

std::string FakeGreeting::Build() const {
  std::string g(1, static_cast<char>(ProtocolVersion));
  g += ServerVersion;
  g += '\0';
  g += Int32(ThreadId);
  g += Scramble.substr(0, 8);
  g += '\0';
  g += Int16(Capabilities);
  g += static_cast<char>(Language);
  g += Int16(Status);
  if (With41Part) {
    g += Int16(UpperCapabilities);
    g += static_cast<char>(Scramble.size() + 1);
    g += std::string(10, '\0');
    std::string part2 = Scramble.substr(8) + '\0';
    if (part2.size() < 13) part2.resize(13, '\0');
    g += part2;
    g += AuthPlugin;
    g += '\0';
  } else {
    g += std::string(13, '\0');
  }
  return g;
}

std::string LenEnc(std::uint64_t v) {
  if (v <= 250) return std::string(1, static_cast<char>(v));
  if (v <= 0xFFFF) return "\xFC" + Int16(static_cast<std::uint16_t>(v));
  if (v <= 0xFFFFFF) return "\xFD" + Int24(static_cast<std::uint32_t>(v));
  return "\xFE" + Int32(static_cast<std::uint32_t>(v)) + Int32(static_cast<std::uint32_t>(v >> 32));
}

std::string LenEncString(const std::string& s) { return LenEnc(s.size()) + s; }

std::string OkPacket(std::uint64_t affected, std::uint64_t insertId, std::uint16_t status, std::uint16_t warnings,
                     const std::string& info) {
  return std::string(1, '\0') + LenEnc(affected) + LenEnc(insertId) + Int16(status) + Int16(warnings) +
         (info.empty() ? std::string() : LenEncString(info));
}

std::string ErrPacket(std::uint16_t code, const std::string& sqlState, const std::string& message) {
  return "\xFF" + Int16(code) + "#" + sqlState + message;
}

std::string EofPacket(std::uint16_t warnings, std::uint16_t status) { return "\xFE" + Int16(warnings) + Int16(status); }

std::string ColumnDef41(const std::string& name) { return ColumnDef41(name, 253); }

std::string ColumnDef41(const std::string& name, std::uint8_t type, std::uint16_t flags, std::uint32_t length,
                        std::uint16_t charset) {
  std::string c = LenEncString("def") + LenEncString("") + LenEncString("") + LenEncString("") +
                  LenEncString(name) + LenEncString(name);
  c += '\x0C';                   // length of the fixed block
  c += Int16(charset);           // character set
  c += Int32(length);            // column length
  c += static_cast<char>(type);  // type
  c += Int16(flags);             // flags
  c += static_cast<char>(0);     // decimals
  c += Int16(0);                 // filler
  return c;
}

std::string TextRow(const std::vector<const char*>& values) {
  std::string r;
  for (const char* v : values) r += v ? LenEncString(v) : std::string(1, '\xFB');
  return r;
}

// ---------------------------------------------------------------------------
// Script

FakeMySqlScript& FakeMySqlScript::Send(std::string payload) {
  return Do([payload = std::move(payload)](FakeMySqlConnection& c) { c.Send(payload); });
}

FakeMySqlScript& FakeMySqlScript::SendSeq(std::string payload, std::uint8_t seq) {
  return Do([payload = std::move(payload), seq](FakeMySqlConnection& c) { c.SendSeq(payload, seq); });
}

FakeMySqlScript& FakeMySqlScript::SendRaw(std::string bytes) {
  return Do([bytes = std::move(bytes)](FakeMySqlConnection& c) { c.SendRaw(bytes); });
}

FakeMySqlScript& FakeMySqlScript::Receive(int count) {
  return Do([count](FakeMySqlConnection& c) {
    FakePacket p;
    for (int i = 0; i < count && c.Receive(p); ++i) {
    }
  });
}

FakeMySqlScript& FakeMySqlScript::ReceiveUntilEmpty() {
  return Do([](FakeMySqlConnection& c) {
    FakePacket p;
    while (c.Receive(p) && !p.Payload.empty()) {
    }
  });
}

FakeMySqlScript& FakeMySqlScript::Compress(bool on, bool deflate) {
  return Do([on, deflate](FakeMySqlConnection& c) { c.SetCompress(on, deflate); });
}

FakeMySqlScript& FakeMySqlScript::Login(const FakeGreeting& greeting) {
  return Send(greeting.Build()).Receive().Send(OkPacket());
}

FakeMySqlScript& FakeMySqlScript::Close() {
  return Do([](FakeMySqlConnection& c) { c.Close(); });
}

FakeMySqlScript& FakeMySqlScript::StartTls(std::string certFile, std::string keyFile) {
  return Do([certFile = std::move(certFile), keyFile = std::move(keyFile)](FakeMySqlConnection& c) {
    c.StartTls(certFile, keyFile);
  });
}

FakeMySqlScript& FakeMySqlScript::CutAfter(std::size_t bytes) {
  return Do([bytes](FakeMySqlConnection& c) { c.SetCutAfter(bytes); });
}

FakeMySqlScript& FakeMySqlScript::AwaitClient() {
  return Do([](FakeMySqlConnection& c) { c.AwaitPacket(); });
}

FakeMySqlScript& FakeMySqlScript::Release(FakeLatch latch) {
  return Do([latch](FakeMySqlConnection&) { latch.Release(); });
}

FakeMySqlScript& FakeMySqlScript::Await(FakeLatch latch, int timeoutMs) {
  return Do([latch, timeoutMs](FakeMySqlConnection& c) {
    // In slices, so that a stopping server is not held up.
    const bool released = WaitUntil([&] { return latch.Wait(20) || c.StopRequested(); }, timeoutMs, 0);
    if (!released || !latch.Released()) {
      c.Fail("the latch the script waits for was not released");
      c.Close();
    }
  });
}

FakeMySqlScript& FakeMySqlScript::Do(Action action) {
  FSteps.push_back(std::move(action));
  return *this;
}

// ---------------------------------------------------------------------------
// Connection

void FakeMySqlConnection::SendRaw(const std::string& bytes) {
  if (FClosed) return;
  std::size_t n = bytes.size();
  bool cut = false;
  if (FCutAfter != static_cast<std::size_t>(-1) && FSent + n >= FCutAfter) {
    n = FCutAfter - FSent;
    cut = true;
  }
  if (n && !(FTls ? FTls->Write(bytes.substr(0, n)) : FConn.Send(bytes.data(), n))) Fail("send failed");
  FSent += n;
  if (cut) Close();
}

void FakeMySqlConnection::SendSeq(const std::string& payload, std::uint8_t seq) {
  std::string wire;
  std::size_t off = 0;
  // A payload of any size: full packets, then the rest (possibly empty).
  for (;;) {
    std::size_t n = std::min<std::size_t>(payload.size() - off, 0xFFFFFF);
    wire += Int24(static_cast<std::uint32_t>(n));
    wire += static_cast<char>(seq++);
    wire.append(payload, off, n);
    off += n;
    if (n < 0xFFFFFF) break;
  }
  FSeq = seq;
  if (!FCompress) {
    SendRaw(wire);
    return;
  }
  std::string data = wire;
  std::uint32_t uncompressed = 0;
  if (FDeflate) {
    uLongf len = compressBound(static_cast<uLong>(wire.size()));
    std::string z(len, '\0');
    if (compress(reinterpret_cast<Bytef*>(z.data()), &len, reinterpret_cast<const Bytef*>(wire.data()),
                 static_cast<uLong>(wire.size())) == Z_OK) {
      z.resize(len);
      data = z;
      uncompressed = static_cast<std::uint32_t>(wire.size());
    }
  }
  SendRaw(Int24(static_cast<std::uint32_t>(data.size())) + static_cast<char>(FComprSeq++) + Int24(uncompressed) + data);
}

void FakeMySqlConnection::Send(const std::string& payload) { SendSeq(payload, FSeq); }

void FakeMySqlConnection::StartTls(const std::string& certFile, const std::string& keyFile) {
  if (FClosed) return;
  if (!FPlain.empty()) Fail("the client sent data before the TLS handshake");
  FTls = std::make_unique<TlsServerSide>(FConn.Fd(), certFile, keyFile);
  if (!FTls->Ok()) {
    Fail("TLS handshake: " + FTls->Error());
    Close();
  }
}

bool FakeMySqlConnection::ReadExact(std::string& out, std::size_t n, bool quiet) {
  out.resize(n);
  if (n == 0) return true;
  if (FClosed || !(FTls ? FTls->ReadExact(out, n) : FConn.ReceiveExact(out.data(), n, 10000))) {
    if (!quiet) Fail("the client did not send the bytes the script waits for");
    return false;
  }
  return true;
}

bool FakeMySqlConnection::FillPlain(std::size_t n, bool quiet) {
  while (FPlain.size() < n) {
    if (!FCompress) {
      std::string more;
      if (!ReadExact(more, n - FPlain.size(), quiet)) return false;
      FPlain += more;
      continue;
    }
    std::string h, data;
    if (!ReadExact(h, 7, quiet)) return false;
    const std::uint32_t c = GetInt24(h, 0);
    const std::uint32_t u = GetInt24(h, 4);
    FComprSeq = static_cast<std::uint8_t>(static_cast<std::uint8_t>(h[3]) + 1);
    if (!ReadExact(data, c, quiet)) return false;
    if (u == 0) {
      FPlain += data;
    } else {
      std::string out(u, '\0');
      uLongf len = u;
      if (uncompress(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(data.data()), c) !=
              Z_OK ||
          len != u) {
        Fail("the client sent a damaged compressed packet");
        return false;
      }
      FPlain += out;
    }
  }
  return true;
}

bool FakeMySqlConnection::Receive(FakePacket& packet, bool quiet) {
  packet = FakePacket();
  for (;;) {
    if (!FillPlain(4, quiet)) return false;
    const std::uint32_t n = GetInt24(FPlain, 0);
    const auto seq = static_cast<std::uint8_t>(FPlain[3]);
    if (!FillPlain(4 + n, quiet)) return false;
    packet.Seq = seq;
    packet.Connection = FIndex;
    packet.Payload.append(FPlain, 4, n);
    FPlain.erase(0, 4 + n);
    FSeq = static_cast<std::uint8_t>(seq + 1);
    if (n < 0xFFFFFF) break;
  }
  FServer.Record(packet);
  return true;
}

// ---------------------------------------------------------------------------
// Server

FakeMySqlServer::FakeMySqlServer(FakeMySqlScript script) : FakeMySqlServer(std::vector<FakeMySqlScript>{script}) {}

FakeMySqlServer::FakeMySqlServer(std::vector<FakeMySqlScript> scripts) : FakeMySqlServer(std::move(scripts), "") {}

FakeMySqlServer::FakeMySqlServer(FakeMySqlScript script, const std::string& socketPath)
    : FakeMySqlServer(std::vector<FakeMySqlScript>{std::move(script)}, socketPath) {}

FakeMySqlServer::FakeMySqlServer(std::vector<FakeMySqlScript> scripts, const std::string& bindAddress)
    : FScripts(std::move(scripts)) {
  auto play = [this](LoopbackConnection& conn) {
    std::size_t index;
    {
      std::lock_guard<std::mutex> lock(FLock);
      index = static_cast<std::size_t>(FConnections++);
    }
    const FakeMySqlScript& script = FScripts[std::min(index, FScripts.size() - 1)];
    FakeMySqlConnection c(*this, conn, static_cast<int>(index));
    for (const auto& step : script.Steps()) {
      if (c.Closed()) break;
      step(c);
    }
    // Record what the client still sends (a QUIT) until it closes.
    FakePacket p;
    while (!c.Closed() && c.Receive(p, true)) {
    }
  };
  FServer = bindAddress.empty() ? std::make_unique<LoopbackServer>(play)
                                : std::make_unique<LoopbackServer>(play, bindAddress);
}

FakeMySqlServer::~FakeMySqlServer() { Stop(); }

void FakeMySqlServer::Stop() {
  if (FServer) FServer->Stop();
}

bool FakeMySqlServer::WaitDone(int connections, int timeoutMs) {
  return WaitUntil([&] { return FServer->Finished() >= connections; }, timeoutMs, 2);
}

std::vector<FakePacket> FakeMySqlServer::Received() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FReceived;
}

std::vector<FakePacket> FakeMySqlServer::Received(int connection) const {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<FakePacket> out;
  for (const auto& p : FReceived)
    if (p.Connection == connection) out.push_back(p);
  return out;
}

std::vector<std::string> FakeMySqlServer::Failures() const {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<std::string> all = FFailures;
  for (auto& e : FServer->ScriptErrors()) all.push_back(e);
  return all;
}

void FakeMySqlServer::Record(FakePacket p) {
  std::lock_guard<std::mutex> lock(FLock);
  FReceived.push_back(std::move(p));
}

void FakeMySqlServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(FLock);
  FFailures.push_back(what);
}

}  // namespace lumo::test
