// The packet layer over an in-memory transport: what goes on the wire for
// payloads of every size, plain and compressed, and how received bytes are
// joined, checked and refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlNet.h>

namespace lumo {
namespace {

// A transport that serves `In` and collects what is written in `Out`;
// writes beyond `WriteLimit` bytes fail.
class TScriptVio : public TKxVio {
 public:
  std::string In;
  std::size_t InPos = 0;
  std::string Out;
  std::size_t WriteLimit = static_cast<std::size_t>(-1);
  int Reads = 0;

  int GetTimeout() const override { return 0; }
  void SetTimeout(int) override {}
  void Close() override {}
  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override {
    ++Reads;
    std::size_t n = std::min(count, In.size() - InPos);
    if (n == 0) {
      FLastError = "the script has ended";
      return 0;
    }
    std::memcpy(static_cast<char*>(buffer) + offset, In.data() + InPos, n);
    InPos += n;
    return n;
  }
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override {
    std::size_t n = std::min(count, WriteLimit - Out.size());
    if (n == 0) {
      FLastError = "the peer is gone";
      return 0;
    }
    Out.append(static_cast<const char*>(buffer) + offset, n);
    return n;
  }
};

struct Wire {
  TMySqlNet net;
  TScriptVio* vio;
  Wire() {
    auto v = std::make_unique<TScriptVio>();
    v->Connect();
    vio = v.get();
    net.SetVio(std::move(v));
  }
};

std::string Header(std::uint32_t len, std::uint8_t seq) {
  return {static_cast<char>(len & 0xFF), static_cast<char>((len >> 8) & 0xFF), static_cast<char>(len >> 16),
          static_cast<char>(seq)};
}

struct WirePacket {
  std::uint32_t Length;
  std::uint8_t Seq;
  std::size_t Offset;  // of the payload in the stream
};

// Splits a plain stream into packets.
std::vector<WirePacket> Packets(const std::string& s) {
  std::vector<WirePacket> out;
  std::size_t at = 0;
  while (at + 4 <= s.size()) {
    auto h = DecodePacketHeader(reinterpret_cast<const std::uint8_t*>(s.data() + at));
    out.push_back({h.Length, h.Seq, at + 4});
    at += 4 + h.Length;
  }
  EXPECT_EQ(at, s.size());
  return out;
}

// Undoes the compressed layer of a stream.
std::string Uncompress(const std::string& s, std::vector<TMySqlCompHeader>* headers = nullptr) {
  std::string plain;
  std::size_t at = 0;
  while (at + 7 <= s.size()) {
    auto h = DecodeCompHeader(reinterpret_cast<const std::uint8_t*>(s.data() + at));
    if (headers) headers->push_back(h);
    const auto* data = reinterpret_cast<const std::uint8_t*>(s.data() + at + 7);
    if (h.UncompressedLength == 0) {
      plain.append(s, at + 7, h.Length);
    } else {
      std::string out(h.UncompressedLength, '\0');
      InflateExact(data, h.Length, reinterpret_cast<std::uint8_t*>(out.data()), out.size());
      plain += out;
    }
    at += 7 + h.Length;
  }
  EXPECT_EQ(at, s.size());
  return plain;
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

int CodeOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EMySqlException& e) {
    if (message) *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

TEST(MySqlNet, SmallCommandIsOneWrite) {
  Wire w;
  w.net.NewCommand();
  w.net.WriteByte(3);
  w.net.WriteString("SELECT 1");
  w.net.Send();
  EXPECT_EQ(w.vio->Out, Header(10, 0) + std::string("\x03SELECT 1\0", 10));
  EXPECT_EQ(w.net.PacketNumber(), 1);
  // An empty payload sends nothing.
  w.net.Send();
  EXPECT_EQ(w.vio->Out.size(), 14u);
}

TEST(MySqlNet, PayloadOfOneFullPacketEndsWithAnEmptyPacket) {
  Wire w;
  const std::string query = Pattern(16777214);
  w.net.NewCommand();
  w.net.WriteByte(3);
  w.net.WriteOrSendBytes(query.data(), query.size());
  w.net.Send();
  auto p = Packets(w.vio->Out);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].Length, MaxPacketLength);
  EXPECT_EQ(p[0].Seq, 0);
  EXPECT_EQ(p[1].Length, 0u);
  EXPECT_EQ(p[1].Seq, 1);
  EXPECT_EQ(w.vio->Out[4], '\x03');
  EXPECT_TRUE(w.vio->Out.compare(5, query.size(), query) == 0);
}

TEST(MySqlNet, LargePayloadsAreSplitWithConsecutiveNumbers) {
  const std::string big = Pattern(20000000);
  {
    Wire w;
    w.net.NewCommand();
    w.net.WriteOrSendBytes(big.data(), big.size());
    w.net.Send();
    auto p = Packets(w.vio->Out);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].Length, MaxPacketLength);
    EXPECT_EQ(p[1].Length, 20000000u - MaxPacketLength);
    EXPECT_EQ(p[0].Seq, 0);
    EXPECT_EQ(p[1].Seq, 1);
    EXPECT_TRUE(w.vio->Out.compare(4, MaxPacketLength, big, 0, MaxPacketLength) == 0);
    EXPECT_TRUE(w.vio->Out.compare(p[1].Offset, p[1].Length, big, MaxPacketLength, p[1].Length) == 0);
  }
  {
    // A payload built in the buffer that spans two full packets is split
    // too, and ends with an empty packet.
    Wire w;
    w.net.NewCommand();
    const std::string two = Pattern(2 * MaxPacketLength);
    w.net.WriteBytes(two.data(), two.size());
    w.net.Send();
    auto p = Packets(w.vio->Out);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].Length, MaxPacketLength);
    EXPECT_EQ(p[1].Length, MaxPacketLength);
    EXPECT_EQ(p[2].Length, 0u);
    EXPECT_EQ(p[2].Seq, 2);
    EXPECT_TRUE(w.vio->Out.compare(p[1].Offset, MaxPacketLength, two, MaxPacketLength, MaxPacketLength) == 0);
  }
}

TEST(MySqlNet, ReceivesPayloadsOfEverySize) {
  Wire w;
  const std::string full = Pattern(MaxPacketLength);
  const std::string rest = Pattern(1000);
  w.vio->In = Header(MaxPacketLength, 0) + full + Header(0, 1) +                 // full + empty
              Header(MaxPacketLength, 2) + full + Header(1000, 3) + rest +      // full + rest
              Header(0, 4);                                                       // empty payload
  w.net.Receive();
  ASSERT_EQ(w.net.PayloadLength(), MaxPacketLength);
  EXPECT_TRUE(std::equal(full.begin(), full.end(), w.net.Payload()));
  w.net.Receive();
  ASSERT_EQ(w.net.PayloadLength(), MaxPacketLength + 1000u);
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), w.net.Payload() + MaxPacketLength));
  w.net.Receive();
  EXPECT_EQ(w.net.PayloadLength(), 0u);
  EXPECT_EQ(CodeOf([&] { w.net.ReadByte(); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(w.net.PacketNumber(), 5);
}

TEST(MySqlNet, SequenceNumbersWrapAndAreChecked) {
  Wire w;
  w.net.NewCommand();
  for (int i = 0; i < 257; ++i) w.net.SendEmpty();
  auto p = Packets(w.vio->Out);
  ASSERT_EQ(p.size(), 257u);
  EXPECT_EQ(p[255].Seq, 255);
  EXPECT_EQ(p[256].Seq, 0);

  Wire r;
  for (int i = 0; i < 257; ++i) r.vio->In += Header(0, static_cast<std::uint8_t>(i));
  for (int i = 0; i < 257; ++i) r.net.Receive();
  EXPECT_EQ(r.net.PacketNumber(), 1);

  Wire bad;
  bad.vio->In = Header(1, 5) + "x";
  std::string msg;
  EXPECT_EQ(CodeOf([&] { bad.net.Receive(); }, &msg), er::NET_PACKETS_OUT_OF_ORDER);
  EXPECT_EQ(msg, "\r\nReceiveHeader: Net packets out of order: received[5], expected[0]");
}

TEST(MySqlNet, ErrorPacketsRaiseTheServerError) {
  Wire w;
  const std::string text = "#42S02Table 'vexa.nosuch' doesn't exist";
  w.vio->In = Header(static_cast<std::uint32_t>(3 + text.size()), 0) + "\xFF\x7A\x04" + text;
  std::string msg;
  EXPECT_EQ(CodeOf([&] { w.net.Receive(); }, &msg), 1146);
  EXPECT_EQ(msg, "\r\n" + text);
}

TEST(MySqlNet, LengthsAreCappedBeforeAllocation) {
  Wire w;
  w.net.SetMaxAllowedPacketSize(1000);
  w.vio->In = Header(1001, 0);  // no data follows: the layer must not wait for it
  EXPECT_EQ(CodeOf([&] { w.net.Receive(); }), cr::NET_PACKET_TOO_LARGE);
  EXPECT_EQ(GetError(cr::NET_PACKET_TOO_LARGE), "Got packet bigger than 'max_allowed_packet'");

  // The cap holds for the joined payload too.
  Wire j;
  j.net.SetMaxAllowedPacketSize(MaxPacketLength + 10);
  j.vio->In = Header(MaxPacketLength, 0) + Pattern(MaxPacketLength) + Header(11, 1);
  EXPECT_EQ(CodeOf([&] { j.net.Receive(); }), cr::NET_PACKET_TOO_LARGE);
}

TEST(MySqlNet, ShortReadsAndWritesAndNoTransport) {
  Wire w;
  w.vio->In = Header(10, 0) + "abc";
  std::string msg;
  EXPECT_EQ(CodeOf([&] { w.net.Receive(); }, &msg), cr::SERVER_LOST);
  EXPECT_EQ(msg, "Lost connection to MySQL server during query\r\nthe script has ended");

  Wire s;
  s.vio->WriteLimit = 3;
  s.net.NewCommand();
  s.net.WriteByte(14);
  EXPECT_EQ(CodeOf([&] { s.net.Send(); }, &msg), cr::SERVER_LOST);
  EXPECT_EQ(msg, "Lost connection to MySQL server during query\r\nthe peer is gone");

  TMySqlNet none;
  none.NewCommand();
  none.WriteByte(14);
  EXPECT_EQ(CodeOf([&] { none.Send(); }), cr::SERVER_GONE_ERROR);
  EXPECT_EQ(CodeOf([&] { none.Receive(); }), cr::SERVER_GONE_ERROR);
}

TEST(MySqlNet, ReceiveBufferAndSkipPacket) {
  Wire w;
  w.vio->In = Header(3, 0) + "row" + Header(0, 1);
  std::vector<std::uint8_t> row;
  w.net.ReceiveBuffer(row);
  EXPECT_EQ(std::string(row.begin(), row.end()), "row");
  EXPECT_EQ(CodeOf([&] { w.net.ReceiveBuffer(row); }), cr::MALFORMED_PACKET);

  Wire huge;
  huge.vio->In = Header(MaxPacketLength, 0);
  EXPECT_THROW(huge.net.ReceiveBuffer(row), EArgumentError);

  Wire err;
  err.vio->In = Header(9, 0) + "\xFF\x15\x04#28000";
  EXPECT_EQ(CodeOf([&] { err.net.ReceiveBuffer(row); }), 1045);

  // Skipping keeps the head of a long packet and reads all of it.
  Wire sk;
  const std::string longRow = Pattern(200000);
  sk.vio->In = Header(200000, 0) + longRow + Header(5, 1) + std::string("\xFE\0\0\x02\0", 5);
  EXPECT_EQ(sk.net.SkipPacket(), 200000u);
  EXPECT_EQ(sk.net.PayloadLength(), TMySqlNet::SkipChunk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sk.net.Payload()), 10), longRow.substr(0, 10));
  EXPECT_EQ(sk.net.SkipPacket(), 5u);
  EXPECT_TRUE(IsEofPacket(sk.net.Payload(), sk.net.PayloadLength()));
}

TEST(MySqlNet, CompressedSendStoresSmallAndDeflatesLarge) {
  Wire w;
  w.net.SetCompress(true);
  w.net.NewCommand();
  w.net.WriteByte(3);
  w.net.WriteBytes(Pattern(39).data(), 39);  // 40-byte command
  w.net.Send();
  std::vector<TMySqlCompHeader> h;
  std::string plain = Uncompress(w.vio->Out, &h);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].UncompressedLength, 0u);
  EXPECT_EQ(h[0].Seq, 0);
  EXPECT_EQ(plain.size(), 44u);
  EXPECT_EQ(w.net.PacketNumber(), 1);  // replies are numbered after the compressed packets

  w.vio->Out.clear();
  w.net.NewCommand();
  w.net.WriteByte(3);
  w.net.WriteBytes(Pattern(999).data(), 999);  // 1000-byte command
  w.net.Send();
  h.clear();
  plain = Uncompress(w.vio->Out, &h);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].UncompressedLength, 1004u);
  EXPECT_LT(h[0].Length, 1004u);
  EXPECT_EQ(plain, Header(1000, 0) + "\x03" + Pattern(999));
}

TEST(MySqlNet, CompressedRoundTripOfLargePayloads) {
  for (bool compress : {false, true}) {
    Wire a;
    a.net.SetCompress(compress);
    const std::string big = Pattern(20000000);
    a.net.NewCommand();
    a.net.WriteByte(3);
    a.net.WriteOrSendBytes(big.data(), big.size());
    a.net.Send();
    a.net.WriteByte(14);
    a.net.Send();

    Wire b;
    b.net.SetCompress(compress);
    b.vio->In = a.vio->Out;
    b.net.Receive();
    ASSERT_EQ(b.net.PayloadLength(), big.size() + 1) << compress;
    EXPECT_EQ(b.net.Payload()[0], 3);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), b.net.Payload() + 1)) << compress;
    b.net.Receive();
    ASSERT_EQ(b.net.PayloadLength(), 1u);
    EXPECT_EQ(b.net.Payload()[0], 14);
  }
}

// One compressed packet holding `plain`, deflated or stored.
std::string Comp(const std::string& plain, std::uint8_t seq, bool deflate) {
  if (deflate) {
    TMySqlByteBuffer tmp;
    EncodeCompressedPacket(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), seq, tmp);
    EXPECT_NE(DecodeCompHeader(tmp.Data()).UncompressedLength, 0u);
    return std::string(reinterpret_cast<const char*>(tmp.Data()), tmp.Length());
  }
  std::uint8_t h[7];
  EncodeCompHeader(h, static_cast<std::uint32_t>(plain.size()), seq, 0);
  return std::string(reinterpret_cast<const char*>(h), 7) + plain;
}

TEST(MySqlNet, CompressedReceiveKeepsWhatFollows) {
  Wire w;
  w.net.SetCompress(true);
  // Three payloads in one compressed packet, the third cut across the next
  // one, then a deflated packet.
  const std::string p1 = Header(3, 0) + "one";
  const std::string p2 = Header(3, 1) + "two";
  const std::string p3 = Header(100, 2) + Pattern(100);
  const std::string p4 = Header(300, 3) + Pattern(300);
  w.vio->In = Comp(p1 + p2 + p3.substr(0, 50), 0, false) + Comp(p3.substr(50), 1, false) + Comp(p4, 2, true);
  w.net.Receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.net.Payload()), w.net.PayloadLength()), "one");
  w.net.Receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.net.Payload()), w.net.PayloadLength()), "two");
  w.net.Receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.net.Payload()), w.net.PayloadLength()), Pattern(100));
  w.net.Receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.net.Payload()), w.net.PayloadLength()), Pattern(300));
  EXPECT_EQ(w.net.PacketNumber(), 3);

  // A compressed packet out of order.
  Wire o;
  o.net.SetCompress(true);
  o.vio->In = Comp(p1, 4, false);
  std::string msg;
  EXPECT_EQ(CodeOf([&] { o.net.Receive(); }, &msg), er::NET_PACKETS_OUT_OF_ORDER);
  EXPECT_EQ(msg, "\r\nReceiveCompHeader: Net packets out of order: received[4], expected[0]");
}

TEST(MySqlNet, DamagedCompressedPacketsAreRefused) {
  const std::string p = Header(300, 0) + Pattern(300);
  std::string good = Comp(p, 0, true);
  auto h = DecodeCompHeader(reinterpret_cast<const std::uint8_t*>(good.data()));
  // Announced uncompressed length one more and one less than the truth.
  for (int delta : {-1, 1}) {
    std::string bad = good;
    EncodeCompHeader(reinterpret_cast<std::uint8_t*>(bad.data()), h.Length, 0,
                     static_cast<std::uint32_t>(static_cast<int>(h.UncompressedLength) + delta));
    Wire w;
    w.net.SetCompress(true);
    w.vio->In = bad;
    EXPECT_EQ(CodeOf([&] { w.net.Receive(); }), er::NET_UNCOMPRESS_ERROR) << delta;
  }
  // Garbage data.
  std::string junk = good;
  for (std::size_t i = 7; i < junk.size(); ++i) junk[i] = static_cast<char>(i);
  Wire w;
  w.net.SetCompress(true);
  w.vio->In = junk;
  EXPECT_EQ(CodeOf([&] { w.net.Receive(); }), er::NET_UNCOMPRESS_ERROR);
}

}  // namespace
}  // namespace lumo
