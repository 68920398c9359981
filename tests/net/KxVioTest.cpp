// The transport contract without sockets: the buffered read and retrying
// write of TKxVio over a scripted in-memory transport, the I/O handler
// adapter, and the HTTP tunnel options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <lumokit/net/KxVio.h>

namespace lumo {
namespace {

// A transport whose raw reads hand out scripted chunks (one chunk per call,
// cut to the requested count) and whose raw writes return scripted counts.
class TScriptedVio : public TKxVio {
 public:
  struct Call {
    const void* buffer;
    std::size_t offset;
    std::size_t count;
  };

  std::deque<std::string> Chunks;
  std::vector<Call> Reads;
  std::deque<std::size_t> WriteResults;
  std::vector<std::size_t> WriteCounts;
  std::string Written;

  int GetTimeout() const override { return 0; }
  void SetTimeout(int) override {}
  void Close() override {}

  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override {
    Reads.push_back({buffer, offset, count});
    if (Chunks.empty()) return 0;
    std::string& front = Chunks.front();
    const std::size_t n = std::min(count, front.size());
    std::memcpy(static_cast<char*>(buffer) + offset, front.data(), n);
    front.erase(0, n);
    if (front.empty()) Chunks.pop_front();
    return n;
  }

  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override {
    WriteCounts.push_back(count);
    std::size_t n = count;
    if (!WriteResults.empty()) {
      n = std::min(count, WriteResults.front());
      WriteResults.pop_front();
    }
    Written.append(static_cast<const char*>(buffer) + offset, n);
    return n;
  }

  std::size_t Buffered() const { return FBufferLen - FBufferPos; }
  const void* ReadAheadBuffer() const { return FBuffer.data(); }
};

std::string Pattern(std::size_t n, char seed = 0) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

TEST(KxVioRead, SmallReadKeepsTheRestInTheReadAheadBuffer) {
  TScriptedVio vio;
  vio.Connect();
  const std::string data = Pattern(100);
  vio.Chunks.push_back(data);

  std::string out(100, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 10), 10u);
  ASSERT_EQ(vio.Reads.size(), 1u);
  EXPECT_EQ(vio.Reads[0].buffer, vio.ReadAheadBuffer());
  EXPECT_EQ(vio.Reads[0].count, VIO_READ_BUFFER_SIZE);
  EXPECT_EQ(vio.Buffered(), 90u);

  // The rest comes from the buffer without another raw read.
  EXPECT_EQ(vio.Read(out.data(), 10, 90), 90u);
  EXPECT_EQ(vio.Reads.size(), 1u);
  EXPECT_EQ(vio.Buffered(), 0u);
  EXPECT_EQ(out, data);
}

TEST(KxVioRead, LargeReadGoesStraightToTheCallerOnceTheBufferIsEmpty) {
  TScriptedVio vio;
  vio.Connect();
  const std::string data = Pattern(100 + 4000, 3);
  vio.Chunks.push_back(data.substr(0, 100));
  vio.Chunks.push_back(data.substr(100));

  std::string out(data.size(), '\0');
  ASSERT_EQ(vio.Read(out.data(), 0, 10), 10u);
  ASSERT_EQ(vio.Reads.size(), 1u);
  // 90 bytes from the buffer, then 4000 >= 2048 bytes read directly.
  EXPECT_EQ(vio.Read(out.data(), 10, 4090), 4090u);
  ASSERT_EQ(vio.Reads.size(), 2u);
  EXPECT_EQ(vio.Reads[1].buffer, out.data());
  EXPECT_EQ(vio.Reads[1].offset, 100u);
  EXPECT_EQ(vio.Reads[1].count, 4000u);
  EXPECT_EQ(vio.Buffered(), 0u);
  EXPECT_EQ(out, data);
}

TEST(KxVioRead, ShortFillIsCompletedByDirectReads) {
  TScriptedVio vio;
  vio.Connect();
  vio.Chunks = {"abcde", "fghijklmnopqrstuvwxyz"};
  std::string out(20, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 20), 20u);
  EXPECT_EQ(out, "abcdefghijklmnopqrst");
  ASSERT_EQ(vio.Reads.size(), 2u);
  EXPECT_EQ(vio.Reads[1].buffer, out.data());
  EXPECT_EQ(vio.Reads[1].offset, 5u);
  EXPECT_EQ(vio.Reads[1].count, 15u);
  // Nothing of the second chunk was buffered.
  EXPECT_EQ(vio.Buffered(), 0u);
  EXPECT_EQ(vio.Chunks.front(), "uvwxyz");
}

TEST(KxVioRead, EndOfStreamGivesAShortCount) {
  TScriptedVio vio;
  vio.Connect();
  vio.Chunks = {std::string(50, 'x')};
  std::string out(100, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 100), 50u);
  EXPECT_EQ(vio.Reads.size(), 2u);  // the fill, then one direct read that got nothing

  // A fill that gets nothing ends the read at once: a second raw read would
  // only wait for a whole receive time-out again.
  TScriptedVio empty;
  empty.Connect();
  EXPECT_EQ(empty.Read(out.data(), 0, 10), 0u);
  EXPECT_EQ(empty.Reads.size(), 1u);
}

TEST(KxVioRead, ReadBeforeConnectDoesNotTouchAMissingBuffer) {
  TScriptedVio vio;
  vio.Chunks = {"hello"};
  std::string out(5, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 5), 5u);
  EXPECT_EQ(out, "hello");
  ASSERT_EQ(vio.Reads.size(), 1u);
  EXPECT_EQ(vio.Reads[0].buffer, out.data());
}

TEST(KxVioWrite, RetriesUntilEverythingIsWritten) {
  TScriptedVio vio;
  vio.WriteResults = {8, 0, 12};
  const std::string data = Pattern(30, 1);
  EXPECT_EQ(vio.Write(data.data(), 0, 30), 30u);
  EXPECT_EQ(vio.Written, data);
  EXPECT_EQ(vio.WriteCounts, (std::vector<std::size_t>{30, 22, 22, 10}));
}

TEST(KxVioWrite, GivesUpAfterTheThirdFailureEvenAfterProgress) {
  TScriptedVio vio;
  // Failures are not forgiven by a partial write in between.
  vio.WriteResults = {5, 0, 5, 0, 0, 100};
  const std::string data = Pattern(20);
  EXPECT_EQ(vio.Write(data.data(), 0, 20), 10u);
  EXPECT_EQ(vio.WriteCounts.size(), 5u);

  TScriptedVio dead;
  dead.WriteResults = {0, 0, 0, 0};
  EXPECT_EQ(dead.Write(data.data(), 0, 20), 0u);
  EXPECT_EQ(dead.WriteCounts.size(), 3u);
}

TEST(KxVioWrite, BaseWaitForDataIsAnInternalError) {
  TScriptedVio vio;
  EXPECT_THROW(vio.WaitForData(0), EAssertionFailed);
}

// ---------------------------------------------------------------------------
// I/O handler adapter

struct TFakeHandle : TKxIOHandle {
  explicit TFakeHandle(int id) : Id(id) {}
  int Id;
};

class TFakeHandler : public TKxIOHandler {
 public:
  std::vector<std::string> Log;
  std::string Incoming;
  std::string Outgoing;
  int Timeout = -1;
  bool Secure = false;
  int NextId = 1;
  std::vector<TComponent*> Clients;

  std::string GetHandlerType() const override { return "fake"; }

  std::unique_ptr<TKxIOHandle> Connect(const std::string& Server, int Port, const std::string& SSL_key,
                                       const std::string& SSL_cert, const std::string& SSL_ca) override {
    Log.push_back("connect " + Server + ":" + std::to_string(Port) + " " + SSL_key + "," + SSL_cert + "," + SSL_ca);
    return std::make_unique<TFakeHandle>(NextId++);
  }
  void Disconnect(TKxIOHandle& Handle) override { Log.push_back("disconnect " + Id(Handle)); }
  std::size_t ReadNoWait(TKxIOHandle& Handle, void* buffer, std::size_t offset, std::size_t count) override {
    Log.push_back("readnowait " + Id(Handle) + " " + std::to_string(count));
    const std::size_t n = std::min(count, Incoming.size());
    std::memcpy(static_cast<char*>(buffer) + offset, Incoming.data(), n);
    Incoming.erase(0, n);
    return n;
  }
  std::size_t Write(TKxIOHandle& Handle, const void* buffer, std::size_t offset, std::size_t count) override {
    Log.push_back("write " + Id(Handle));
    Outgoing.append(static_cast<const char*>(buffer) + offset, count);
    return count;
  }
  bool WaitForData(TKxIOHandle& Handle, int T) override {
    Log.push_back("wait " + Id(Handle) + " " + std::to_string(T));
    return !Incoming.empty();
  }
  int GetTimeout(TKxIOHandle&) override { return Timeout; }
  void SetTimeout(TKxIOHandle& Handle, int Value) override {
    Log.push_back("timeout " + Id(Handle) + " " + std::to_string(Value));
    Timeout = Value;
  }
  bool GetIsSecure(TKxIOHandle&) override { return Secure; }
  void SetIsSecure(TKxIOHandle&, bool Value) override { Secure = Value; }

 protected:
  void RegisterClient(TComponent* Client) override { Clients.push_back(Client); }
  void UnRegisterClient(TComponent* Client) override { std::erase(Clients, Client); }

 private:
  static std::string Id(TKxIOHandle& h) { return std::to_string(dynamic_cast<TFakeHandle&>(h).Id); }
};

// Implements only what is abstract.
class TBareHandler : public TKxIOHandler {
 public:
  std::unique_ptr<TKxIOHandle> Connect(const std::string&, int, const std::string&, const std::string&,
                                       const std::string&) override {
    return std::make_unique<TFakeHandle>(0);
  }
};

TEST(KxVioHandler, DelegatesToTheHandlerWhileOpen) {
  TFakeHandler handler;
  TKxVioHandler vio("db.example", 3307, handler, "key", "cert", "ca");
  vio.SetTimeout(12);  // remembered while closed
  EXPECT_EQ(vio.GetTimeout(), 12);
  EXPECT_TRUE(handler.Log.empty());

  vio.Connect();
  ASSERT_EQ(handler.Log.size(), 2u);
  EXPECT_EQ(handler.Log[0], "connect db.example:3307 key,cert,ca");
  EXPECT_EQ(handler.Log[1], "timeout 1 12");
  EXPECT_EQ(vio.GetTimeout(), 12);

  handler.Incoming = "0123456789";
  EXPECT_TRUE(vio.WaitForData(3));
  std::string out(4, '\0');
  EXPECT_EQ(vio.Read(out.data(), 0, 4), 4u);
  EXPECT_EQ(out, "0123");
  EXPECT_EQ(vio.Read(out.data(), 0, 4), 4u);  // from the read-ahead buffer
  EXPECT_EQ(out, "4567");
  EXPECT_EQ(std::count_if(handler.Log.begin(), handler.Log.end(),
                          [](const std::string& s) { return s.rfind("readnowait", 0) == 0; }),
            1);

  EXPECT_EQ(vio.Write("abc", 0, 3), 3u);
  EXPECT_EQ(handler.Outgoing, "abc");
  EXPECT_EQ(handler.Log.back(), "write 1");
  EXPECT_THROW(vio.WriteNoWait("abc", 0, 3), EAssertionFailed);

  EXPECT_FALSE(vio.IsSecure());
  vio.SetIsSecure(true);
  EXPECT_TRUE(vio.IsSecure());
  vio.SetTimeout(40);
  EXPECT_EQ(handler.Timeout, 40);

  vio.Close();
  EXPECT_EQ(handler.Log.back(), "disconnect 1");
  vio.Close();  // nothing held: no second disconnect
  EXPECT_EQ(std::count(handler.Log.begin(), handler.Log.end(), "disconnect 1"), 1);
}

TEST(KxVioHandler, ClosedAdapterDoesNothing) {
  TFakeHandler handler;
  TKxVioHandler vio("h", 1, handler, "", "", "");
  handler.Incoming = "data";
  char buf[8];
  EXPECT_EQ(vio.Read(buf, 0, 4), 0u);
  EXPECT_EQ(vio.ReadNoWait(buf, 0, 4), 0u);
  EXPECT_EQ(vio.Write("x", 0, 1), 0u);
  EXPECT_FALSE(vio.WaitForData(0));
  vio.SetIsSecure(true);
  EXPECT_FALSE(vio.IsSecure());
  EXPECT_TRUE(handler.Log.empty());

  // A zero time-out is not pushed to a new handle; a reconnect gets a new one.
  vio.Connect();
  vio.Close();
  vio.Connect();
  EXPECT_EQ(handler.Log, (std::vector<std::string>{"connect h:1 ,,", "disconnect 1", "connect h:1 ,,"}));
}

TEST(KxVioHandler, DestroyingAnOpenAdapterDisconnects) {
  TFakeHandler handler;
  {
    TKxVioHandler vio("h", 1, handler, "", "", "");
    vio.Connect();
  }
  EXPECT_EQ(handler.Log.back(), "disconnect 1");
}

TEST(KxIOHandler, BaseOperationsAreNotProvided) {
  TBareHandler handler;
  EXPECT_EQ(handler.HandlerType(), "");
  auto handle = handler.Connect("h", 1, "", "", "");
  EXPECT_FALSE(handler.GetIsSecure(*handle));
  handler.SetIsSecure(*handle, true);  // no effect, no error

  char buf[4];
  auto expectNotOverriden = [](auto&& op) {
    try {
      op();
      ADD_FAILURE() << "no exception";
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(e.Message().rfind("Not overriden in an inherited class", 0), 0u) << e.Message();
    }
  };
  expectNotOverriden([&] { handler.Disconnect(*handle); });
  expectNotOverriden([&] { handler.ReadNoWait(*handle, buf, 0, 4); });
  expectNotOverriden([&] { handler.Read(*handle, buf, 0, 4); });
  expectNotOverriden([&] { handler.Write(*handle, buf, 0, 4); });
  expectNotOverriden([&] { handler.WaitForData(*handle, 1); });
  expectNotOverriden([&] { handler.GetTimeout(*handle); });
  expectNotOverriden([&] { handler.SetTimeout(*handle, 1); });
}

TEST(KxIOHandler, UtilsRegisterAndUnregisterClients) {
  TFakeHandler handler;
  EXPECT_EQ(handler.HandlerType(), "fake");
  TComponent a, b;
  TKxIOHandlerUtils::RegisterClient(&handler, &a);
  TKxIOHandlerUtils::RegisterClient(&handler, &b);
  TKxIOHandlerUtils::UnRegisterClient(&handler, &a);
  EXPECT_EQ(handler.Clients, (std::vector<TComponent*>{&b}));
  TKxIOHandlerUtils::RegisterClient(nullptr, &a);  // ignored
}

// ---------------------------------------------------------------------------
// HTTP tunnel options

THttpOptions SampleOptions() {
  THttpOptions o;
  o.SetUrl("http://host/relay.php");
  o.SetUsername("user");
  o.SetPassword("secret");
  o.ProxyOptions().SetHostname("proxy");
  o.ProxyOptions().SetPort(8080);
  o.ProxyOptions().SetUsername("puser");
  o.ProxyOptions().SetPassword("ppass");
  return o;
}

TEST(HttpOptions, EqualsComparesEveryFieldExactly) {
  const THttpOptions a = SampleOptions();
  EXPECT_FALSE(a.Equals(nullptr));
  THttpOptions b;
  EXPECT_FALSE(a.Equals(&b));
  a.AssignTo(b);
  EXPECT_TRUE(a.Equals(&b));
  EXPECT_TRUE(b.Equals(&a));

  const std::vector<void (*)(THttpOptions&)> changes = {
      [](THttpOptions& o) { o.SetUrl("http://HOST/relay.php"); },
      [](THttpOptions& o) { o.SetUsername("User"); },
      [](THttpOptions& o) { o.SetPassword("secret "); },
      [](THttpOptions& o) { o.ProxyOptions().SetHostname("Proxy"); },
      [](THttpOptions& o) { o.ProxyOptions().SetPort(8081); },
      [](THttpOptions& o) { o.ProxyOptions().SetUsername("PUSER"); },
      [](THttpOptions& o) { o.ProxyOptions().SetPassword(""); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    THttpOptions c = SampleOptions();
    changes[i](c);
    EXPECT_FALSE(a.Equals(&c)) << "change " << i;
  }
}

TEST(HttpOptions, ProxyOptionsAreCopiedByValue) {
  TProxyOptions proxy;
  proxy.SetHostname("p1");
  proxy.SetPort(3128);
  THttpOptions o;
  o.SetProxyOptions(proxy);
  proxy.SetHostname("p2");
  EXPECT_EQ(o.ProxyOptions().Hostname(), "p1");
  EXPECT_EQ(o.ProxyOptions().Port(), 3128);

  THttpOptions copy;
  o.AssignTo(copy);
  o.ProxyOptions().SetPort(1);
  EXPECT_EQ(copy.ProxyOptions().Port(), 3128);
}

}  // namespace
}  // namespace lumo
