// Codecs of the packet layer on plain byte buffers: headers, the
// bounds-checked reader, error/OK/EOF packets and compressed packets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <lumokit/data/MemUtils.h>
#include <lumokit/mysql/wire/MySqlPacket.h>

namespace lumo {
namespace {

using Bytes = std::vector<std::uint8_t>;

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EMySqlException& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(MySqlPacket, ReaderFieldsAndBounds) {
  Bytes b = {0x01, 0x34, 0x12, 0x56, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 'a', 'b', 0, 'c'};
  TMySqlPacketReader r(b.data(), b.size());
  EXPECT_EQ(r.ReadByte(), 1);
  EXPECT_EQ(r.ReadUInt16(), 0x1234);
  EXPECT_EQ(r.ReadInt24(), 0x123456u);
  EXPECT_EQ(r.ReadInt32(), 0x12345678);
  EXPECT_EQ(r.ReadString(), "ab");
  EXPECT_EQ(r.ReadString(), "c");  // the end of the payload ends the text
  EXPECT_EQ(r.ReadString(), "");
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(CodeOf([&] { r.ReadByte(); }), cr::MALFORMED_PACKET);

  // Every fixed-size read that runs past the end raises 2027 and leaves the
  // position where it was.
  Bytes three = {1, 2, 3};
  TMySqlPacketReader t(three.data(), three.size());
  EXPECT_EQ(CodeOf([&] { t.ReadInt32(); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(CodeOf([&] { t.ReadInt64(); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(CodeOf([&] { t.ReadString(4); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(CodeOf([&] { t.SetPosition(4); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(t.Position(), 0u);
  EXPECT_EQ(t.ReadInt24(), 0x030201u);
  EXPECT_EQ(CodeOf([] { TMySqlPacketReader(nullptr, 0).PeekByte(); }), cr::MALFORMED_PACKET);
}

TEST(MySqlPacket, FieldLengthRoundTripAndMalformedPrefixes) {
  const std::uint64_t values[] = {0, 250, 251, 0xFFFF, 0x10000, 0xFFFFFF, 0x1000000, 0x123456789ABCull};
  TMySqlByteBuffer w;
  for (auto v : values) w.AppendFieldLength(v);
  // Sizes of the encodings: 1, 1, 3, 3, 4, 4, 9, 9.
  EXPECT_EQ(w.Length(), 1u + 1 + 3 + 3 + 4 + 4 + 9 + 9);
  TMySqlPacketReader r(w.Data(), w.Length());
  for (auto v : values) EXPECT_EQ(static_cast<std::uint64_t>(r.ReadFieldLength()), v);

  Bytes nullMarker = {251};
  EXPECT_EQ(TMySqlPacketReader(nullMarker.data(), 1).ReadFieldLength(), NullLength);
  for (Bytes bad : {Bytes{255}, Bytes{252, 1}, Bytes{253, 1, 2}, Bytes{254, 1, 2, 3, 4, 5, 6, 7}, Bytes{}}) {
    TMySqlPacketReader br(bad.data(), bad.size());
    EXPECT_EQ(CodeOf([&] { br.ReadFieldLength(); }), cr::MALFORMED_PACKET) << bad.size();
  }
}

TEST(MySqlPacket, BufferGrowsGeometrically) {
  TMySqlByteBuffer b(16);
  std::size_t reallocations = 0;
  std::size_t cap = b.Capacity();
  for (int i = 0; i < 100000; ++i) {
    b.AppendByte(static_cast<std::uint8_t>(i));
    if (b.Capacity() != cap) {
      ++reallocations;
      cap = b.Capacity();
    }
  }
  EXPECT_LE(reallocations, 14u);
  EXPECT_EQ(b.Data()[99999], static_cast<std::uint8_t>(99999));
  b.AppendString("ab");
  EXPECT_EQ(b.Length(), 100003u);
  EXPECT_EQ(b.Data()[100002], 0);
}

TEST(MySqlPacket, HeadersAndSequenceCheck) {
  std::uint8_t h[7];
  EncodePacketHeader(h, 0xFFFFFF, 255);
  auto ph = DecodePacketHeader(h);
  EXPECT_EQ(ph.Length, MaxPacketLength);
  EXPECT_EQ(ph.Seq, 255);
  EncodeCompHeader(h, 0x10203, 7, 0x40506);
  auto ch = DecodeCompHeader(h);
  EXPECT_EQ(ch.Length, 0x10203u);
  EXPECT_EQ(ch.Seq, 7);
  EXPECT_EQ(ch.UncompressedLength, 0x40506u);

  EXPECT_NO_THROW(CheckPacketNumber("ReceiveHeader", 0, 0));
  try {
    CheckPacketNumber("ReceiveHeader", 5, 3);
    FAIL();
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), 1156);
    EXPECT_EQ(e.Message(), "\r\nReceiveHeader: Net packets out of order: received[5], expected[3]");
  }
}

TEST(MySqlPacket, ErrorPacket) {
  std::string text = "#42S02Table 'vexa.nosuch' doesn't exist";
  Bytes p = {0xFF, 0x7A, 0x04};
  p.insert(p.end(), text.begin(), text.end());
  try {
    RaiseErrorPacket(p.data(), p.size());
    FAIL();
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), 1146);
    EXPECT_EQ(e.Message(), "\r\n" + text);
    EXPECT_TRUE(e.FromServer());
  }
  // The code is unsigned; a zero byte ends the text.
  Bytes high = {0xFF, 0xFE, 0xFF, 'a', 0, 'b'};
  EXPECT_EQ(CodeOf([&] { RaiseErrorPacket(high.data(), high.size()); }), 65534);
  // Too short for a code.
  Bytes cut = {0xFF, 0x7A};
  EXPECT_EQ(CodeOf([&] { RaiseErrorPacket(cut.data(), cut.size()); }), cr::MALFORMED_PACKET);
}

TEST(MySqlPacket, OkAndEofPackets) {
  Bytes ok = {0x00, 0xFC, 0x10, 0x27, 0x05, 0x02, 0x02, 0x01, 0x00, 0x04, 'i', 'n', 'f', 'o'};
  auto o = ParseOkPacket(ok.data(), ok.size(), true, true);
  EXPECT_EQ(o.AffectedRows, 10000);
  EXPECT_EQ(o.InsertId, 5);
  EXPECT_EQ(o.ServerStatus, 0x202);
  EXPECT_EQ(o.WarningCount, 1);
  EXPECT_EQ(o.Info, "info");
  // Every cut of the packet inside the fixed fields is malformed.
  for (std::size_t n = 0; n < 9; ++n)
    EXPECT_EQ(CodeOf([&] { ParseOkPacket(ok.data(), n, true, true); }), cr::MALFORMED_PACKET) << n;
  EXPECT_EQ(ParseOkPacket(ok.data(), 9, true, true).Info, "");
  // A message longer than what is left is malformed.
  EXPECT_EQ(CodeOf([&] { ParseOkPacket(ok.data(), ok.size() - 1, true, true); }), cr::MALFORMED_PACKET);

  // Session state changes (status 0x4000): the schema entry is read, other
  // kinds are skipped; an entry past its block or a cut block is malformed.
  Bytes tracked = {0x00, 0x00, 0x00, 0x02, 0x40, 0x00, 0x00, 0x00, 0x0B,
                   0x03, 0x02, 'x', 'y', 0x01, 0x05, 0x04, 'd', 'b', '_', '1'};
  auto t = ParseOkPacket(tracked.data(), tracked.size(), true, true, true);
  EXPECT_TRUE(t.HasSchema);
  EXPECT_EQ(t.Schema, "db_1");
  EXPECT_FALSE(ParseOkPacket(tracked.data(), tracked.size(), true, true, false).HasSchema);
  for (std::size_t n = 9; n < tracked.size(); ++n)
    EXPECT_EQ(CodeOf([&] { ParseOkPacket(tracked.data(), n, true, true, true); }), cr::MALFORMED_PACKET) << n;
  Bytes overlong = tracked;
  overlong[8] = 0x03;
  EXPECT_EQ(CodeOf([&] { ParseOkPacket(overlong.data(), overlong.size(), true, true, true); }),
            cr::MALFORMED_PACKET);

  Bytes eof = {0xFE, 0x03, 0x00, 0x0A, 0x00};
  EXPECT_TRUE(IsEofPacket(eof.data(), eof.size()));
  auto e = ParseEofPacket(eof.data(), eof.size());
  EXPECT_TRUE(e.HasStatus);
  EXPECT_EQ(e.WarningCount, 3);
  EXPECT_EQ(e.ServerStatus, 10);
  EXPECT_FALSE(ParseEofPacket(eof.data(), 1).HasStatus);
  for (std::size_t n = 2; n <= 4; ++n)
    EXPECT_EQ(CodeOf([&] { ParseEofPacket(eof.data(), n); }), cr::MALFORMED_PACKET) << n;
  Bytes row(9, 0xFE);
  EXPECT_FALSE(IsEofPacket(row.data(), row.size()));
}

TEST(MySqlPacket, CompressedPacketsSmallStoredLargeDeflated) {
  Bytes small(40, 'q');
  TMySqlByteBuffer out;
  EncodeCompressedPacket(small.data(), small.size(), 3, out);
  ASSERT_EQ(out.Length(), 7u + 40);
  auto h = DecodeCompHeader(out.Data());
  EXPECT_EQ(h.Length, 40u);
  EXPECT_EQ(h.Seq, 3);
  EXPECT_EQ(h.UncompressedLength, 0u);

  Bytes text(1000);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>('a' + i % 7);
  TMySqlByteBuffer big;
  EncodeCompressedPacket(text.data(), text.size(), 0, big);
  h = DecodeCompHeader(big.Data());
  EXPECT_EQ(h.UncompressedLength, 1000u);
  EXPECT_LT(h.Length, 1000u);
  EXPECT_EQ(big.Length(), 7u + h.Length);
  Bytes back(1000);
  InflateExact(big.Data() + 7, h.Length, back.data(), back.size());
  EXPECT_EQ(back, text);

  // A length that differs from the announced one, either way, is refused.
  Bytes shorter(999), longer(1001);
  EXPECT_EQ(CodeOf([&] { InflateExact(big.Data() + 7, h.Length, shorter.data(), shorter.size()); }),
            er::NET_UNCOMPRESS_ERROR);
  EXPECT_EQ(CodeOf([&] { InflateExact(big.Data() + 7, h.Length, longer.data(), longer.size()); }),
            er::NET_UNCOMPRESS_ERROR);
  EXPECT_EQ(CodeOf([&] { InflateExact(text.data(), 100, back.data(), back.size()); }), er::NET_UNCOMPRESS_ERROR);

  // Data that deflate cannot shrink is stored: the header never announces
  // more than it carries.
  Bytes noise(5000);
  std::uint32_t x = 12345;
  for (auto& c : noise) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(x >> 24);
  }
  TMySqlByteBuffer stored;
  EncodeCompressedPacket(noise.data(), noise.size(), 9, stored);
  h = DecodeCompHeader(stored.Data());
  EXPECT_EQ(h.UncompressedLength, 0u);
  EXPECT_EQ(h.Length, 5000u);
  EXPECT_EQ(Bytes(stored.Data() + 7, stored.Data() + stored.Length()), noise);
}

TEST(MySqlPacket, CompressionGoesThroughTheHooks) {
  Bytes text(1000, 'a');
  TMySqlByteBuffer out;
  // A compressor that fails: the block is stored.
  SetCompressProc([](void*, std::uint64_t&, const void*, std::uint64_t) { throw ECompressionError("Error"); });
  EncodeCompressedPacket(text.data(), text.size(), 0, out);
  EXPECT_EQ(DecodeCompHeader(out.Data()).UncompressedLength, 0u);
  EXPECT_EQ(out.Length(), 1007u);
  // Hooks that are not linked raise their own errors.
  SetCompressProc(nullptr);
  SetUncompressProc(nullptr);
  try {
    EncodeCompressedPacket(text.data(), text.size(), 0, out);
    ADD_FAILURE();
  } catch (const ECompressionError& e) {
    EXPECT_STREQ(e.what(), "Compressor function is not linked");
  }
  try {
    InflateExact(text.data(), 10, text.data(), 10);
    ADD_FAILURE();
  } catch (const ECompressionError& e) {
    EXPECT_STREQ(e.what(), "Uncompressor function is not linked");
  }
  SetCompressProc(ZLibCompress);
  SetUncompressProc(ZLibUncompress);
}

}  // namespace
}  // namespace lumo
