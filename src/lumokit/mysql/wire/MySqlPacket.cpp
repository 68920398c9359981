#include <lumokit/mysql/wire/MySqlPacket.h>

#include <algorithm>

#include <lumokit/data/MemUtils.h>

namespace lumo {

namespace {

// Deflates through the data core's compressor hook; false when it fails
// (the block is then sent stored). A hook that is not linked raises.
bool Deflate(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst, std::size_t& dstLen) {
  std::uint64_t outLen = dstLen;
  try {
    DoCompress(dst, outLen, src, srcLen);
  } catch (const ECompressionError&) {
    if (!CompressProc()) throw;
    return false;
  }
  dstLen = static_cast<std::size_t>(outLen);
  return true;
}

}  // namespace

void RaiseMalformedPacket() { throw EMySqlException(cr::MALFORMED_PACKET); }

void CheckPacketNumber(const char* where, std::uint8_t received, std::uint8_t expected) {
  if (received != expected)
    throw EMySqlException(er::NET_PACKETS_OUT_OF_ORDER,
                          Format("%s: Net packets out of order: received[%d], expected[%d]",
                                 {where, static_cast<int>(received), static_cast<int>(expected)}));
}

// ---------------------------------------------------------------------------

void TMySqlByteBuffer::Grow(std::size_t n) {
  std::size_t cap = std::max<std::size_t>(n, FCapacity < 64 ? 64 : FCapacity * 2);
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[cap]);
  if (FLength) std::memcpy(data.get(), FData.get(), FLength);
  FData = std::move(data);
  FCapacity = cap;
}

void TMySqlByteBuffer::AppendFieldLength(std::uint64_t length) {
  if (length <= 250) {
    AppendByte(static_cast<std::uint8_t>(length));
  } else if (length <= 0xFFFF) {
    AppendByte(252);
    AppendInt16(static_cast<std::uint16_t>(length));
  } else if (length <= 0xFFFFFF) {
    AppendByte(253);
    AppendInt24(static_cast<std::uint32_t>(length));
  } else {
    AppendByte(254);
    AppendInt64(length);
  }
}

// ---------------------------------------------------------------------------

std::string TMySqlPacketReader::ReadString() {
  const std::uint8_t* start = FData + FPosition;
  std::size_t rest = FLength - FPosition;
  const void* zero = rest ? std::memchr(start, 0, rest) : nullptr;
  if (!zero) {
    FPosition = FLength;
    return std::string(reinterpret_cast<const char*>(start), rest);
  }
  std::size_t n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - start);
  FPosition += n + 1;
  return std::string(reinterpret_cast<const char*>(start), n);
}

std::int64_t TMySqlPacketReader::ReadFieldLength() {
  std::uint8_t b = ReadByte();
  if (b <= 250) return b;
  switch (b) {
    case 251:
      return NullLength;
    case 252:
      return ReadUInt16();
    case 253:
      return ReadInt24();
    case 254:
      return ReadInt64();
    default:
      RaiseMalformedPacket();
  }
}

// ---------------------------------------------------------------------------

void RaiseErrorPacket(const std::uint8_t* payload, std::size_t length) {
  TMySqlPacketReader r(payload, length);
  if (r.ReadByte() != 0xFF) RaiseMalformedPacket();
  const int code = r.ReadUInt16();
  const std::string text = r.ReadString();
  throw EMySqlException::FromServerPacket(code, text);
}

namespace {

// The next length-encoded length, as a count of bytes that must follow.
std::size_t ReadLength(TMySqlPacketReader& r) {
  const std::int64_t n = r.ReadFieldLength();
  if (n < 0 || static_cast<std::uint64_t>(n) > r.Remaining()) RaiseMalformedPacket();
  return static_cast<std::size_t>(n);
}

// The session state changes of an OK packet (the reader stands at their
// block).
void ReadSessionState(TMySqlPacketReader& r, TMySqlOkPacket& ok) {
  const std::size_t blockLength = ReadLength(r);
  TMySqlPacketReader block(r.Data() + r.Position(), blockLength);
  r.Skip(blockLength);
  while (!block.AtEnd()) {
    const std::uint8_t kind = block.ReadByte();
    const std::size_t entryLength = ReadLength(block);
    TMySqlPacketReader entry(block.Data() + block.Position(), entryLength);
    block.Skip(entryLength);
    if (kind != server::SESSION_TRACK_SCHEMA) continue;
    ok.Schema = entry.ReadString(ReadLength(entry));
    ok.HasSchema = true;
  }
}

}  // namespace

TMySqlOkPacket ParseOkPacket(const std::uint8_t* payload, std::size_t length, bool hasStatus, bool hasWarnings,
                             bool sessionTrack) {
  TMySqlPacketReader r(payload, length);
  if (r.ReadByte() != 0) RaiseMalformedPacket();
  TMySqlOkPacket ok;
  ok.AffectedRows = r.ReadFieldLength();
  ok.InsertId = r.ReadFieldLength();
  if (hasStatus) {
    ok.HasStatus = true;
    ok.ServerStatus = r.ReadUInt16();
  }
  if (hasWarnings) {
    ok.HasWarnings = true;
    ok.WarningCount = r.ReadUInt16();
  }
  // The message is a length-encoded string; servers leave it out when empty.
  if (!r.AtEnd()) {
    std::int64_t n = r.ReadFieldLength();
    if (n < 0) RaiseMalformedPacket();
    ok.Info = r.ReadString(static_cast<std::size_t>(n));
  }
  if (sessionTrack && ok.HasStatus && (ok.ServerStatus & server::SESSION_STATE_CHANGED) && !r.AtEnd())
    ReadSessionState(r, ok);
  return ok;
}

TMySqlEofPacket ParseEofPacket(const std::uint8_t* payload, std::size_t length) {
  TMySqlPacketReader r(payload, length);
  if (r.ReadByte() != 0xFE) RaiseMalformedPacket();
  TMySqlEofPacket eof;
  if (length == 1) return eof;
  eof.WarningCount = r.ReadUInt16();
  eof.ServerStatus = r.ReadUInt16();
  eof.HasStatus = true;
  return eof;
}

// ---------------------------------------------------------------------------

void EncodeCompressedPacket(const std::uint8_t* data, std::size_t count, std::uint8_t seq,
                            TMySqlByteBuffer& out) {
  LUMO_ASSERT(count <= MaxPacketLength);
  const std::size_t headerAt = out.Length();
  if (count > MIN_COMPRESS_LENGTH) {
    const auto bound = static_cast<std::size_t>(ZLibCompressBound(count));
    out.Reserve(headerAt + NetHeaderSize + CompHeaderSize + bound);
    std::size_t deflated = bound;
    std::uint8_t* dst = out.Data() + headerAt + NetHeaderSize + CompHeaderSize;
    if (Deflate(data, count, dst, deflated) && deflated < count) {
      out.SetLength(headerAt + NetHeaderSize + CompHeaderSize + deflated);
      EncodeCompHeader(out.Data() + headerAt, static_cast<std::uint32_t>(deflated), seq,
                       static_cast<std::uint32_t>(count));
      return;
    }
  }
  // Stored: deflating would not make the block smaller (or it is tiny).
  std::uint8_t* p = out.Extend(NetHeaderSize + CompHeaderSize + count);
  EncodeCompHeader(p, static_cast<std::uint32_t>(count), seq, 0);
  if (count) std::memcpy(p + NetHeaderSize + CompHeaderSize, data, count);
}

void InflateExact(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst, std::size_t dstLen) {
  std::uint64_t produced = dstLen;
  try {
    DoUncompress(dst, produced, src, srcLen);
  } catch (const ECompressionError&) {
    if (!UncompressProc()) throw;
    produced = dstLen + 1;  // damaged data
  }
  if (produced != dstLen) throw EMySqlException(er::NET_UNCOMPRESS_ERROR);
}

}  // namespace lumo
