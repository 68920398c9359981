#include <lumokit/mysql/wire/MySqlNet.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace lumo {

namespace {
// Bytes asked for at least by one raw read in plain mode.
constexpr std::size_t PlainChunk = 65536;
}  // namespace

TMySqlNet::TMySqlNet() : Fbuffer(BufferLength), FCompressBuffer(100) { Clear(); }

TMySqlNet::~TMySqlNet() {
  try {
    Close();
  } catch (...) {
  }
}

void TMySqlNet::SetVio(std::unique_ptr<TKxVio> Value) {
  std::unique_ptr<TKxVio> old = std::move(Fvio);
  Fvio = std::move(Value);
  FRawReads = Fvio && !dynamic_cast<TKxVioHandler*>(Fvio.get());
  FPacketNumber = 0;
  FComprPacketNumber = 0;
  FCompress = false;
  FCompressBuffer.SetLength(0);
  FCompressPos = 0;
  SetPayload(nullptr, 0);
  Clear();
  if (old) old->Close();  // `old` is freed even when closing raises
}

void TMySqlNet::SetCompress(bool Value) noexcept {
  if (Value != FCompress) {
    FCompressBuffer.SetLength(0);
    FCompressPos = 0;
  }
  FCompress = Value;
}

void TMySqlNet::Close() {
  Fbuffer.Release();
  FCompressBuffer.Release();
  FCompressPos = 0;
  FCompressIn.Release();
  FCompressOut.Release();
  SetPayload(nullptr, 0);
  if (Fvio) {
    std::unique_ptr<TKxVio> v = std::move(Fvio);
    v->Close();
  }
}

TKxVio& TMySqlNet::RequireVio() {
  if (!Fvio) throw EMySqlException(cr::SERVER_GONE_ERROR);
  return *Fvio;
}

void TMySqlNet::SetPayload(const std::uint8_t* data, std::size_t length) noexcept {
  FPayload = data;
  FPayloadLength = length;
  FReader.Reset(data, length);
}

// ---------------------------------------------------------------------------
// Sending

void TMySqlNet::NewCommand() {
  FPacketNumber = 0;
  FComprPacketNumber = 0;
  Clear();
}

void TMySqlNet::Clear() {
  if (Fbuffer.Capacity() < static_cast<std::size_t>(BufferLength)) Fbuffer.Reserve(BufferLength);
  Fbuffer.SetLength(NetHeaderSize);
}

void TMySqlNet::VioWrite(const std::uint8_t* data, std::size_t count) {
  TKxVio& vio = RequireVio();
  if (vio.Write(data, 0, count) < count) throw EMySqlException(cr::SERVER_LOST, vio.LastError());
}

void TMySqlNet::RealSend(const std::uint8_t* data, std::size_t count) {
  if (!FCompress) {
    VioWrite(data, count);
    return;
  }
  // One compressed packet per block; its two 3-byte lengths limit a block
  // to MaxPacketLength bytes.
  while (count > 0) {
    std::size_t block = std::min<std::size_t>(count, MaxPacketLength);
    FCompressOut.SetLength(0);
    EncodeCompressedPacket(data, block, FComprPacketNumber++, FCompressOut);
    VioWrite(FCompressOut.Data(), FCompressOut.Length());
    data += block;
    count -= block;
  }
}

void TMySqlNet::AfterSend() noexcept {
  if (FCompress) FPacketNumber = FComprPacketNumber;
}

void TMySqlNet::SendBuffered(std::uint32_t packetLength) {
  EncodePacketHeader(Fbuffer.Data(), packetLength, FPacketNumber++);
  RealSend(Fbuffer.Data(), Fbuffer.Length());
}

// Sends the full packets at the head of an oversized payload, each with its
// header written over the 4 bytes before it (saved and put back), and moves
// the rest (shorter than a full packet) to the front.
void TMySqlNet::SendLargeBuffer() {
  std::uint8_t* data = Fbuffer.Data();
  std::size_t off = NetHeaderSize;
  std::size_t len = WriteLength();
  while (len >= MaxPacketLength) {
    std::uint8_t saved[NetHeaderSize];
    std::memcpy(saved, data + off - NetHeaderSize, NetHeaderSize);
    EncodePacketHeader(data + off - NetHeaderSize, MaxPacketLength, FPacketNumber++);
    try {
      RealSend(data + off - NetHeaderSize, MaxPacketLength + NetHeaderSize);
    } catch (...) {
      std::memcpy(data + off - NetHeaderSize, saved, NetHeaderSize);
      throw;
    }
    std::memcpy(data + off - NetHeaderSize, saved, NetHeaderSize);
    off += MaxPacketLength;
    len -= MaxPacketLength;
  }
  if (off != NetHeaderSize) {
    if (len) std::memmove(data + NetHeaderSize, data + off, len);
    Fbuffer.SetLength(NetHeaderSize + len);
  }
}

void TMySqlNet::BufferedWrite(const std::uint8_t* data, std::size_t n, std::uint32_t packetLength) {
  std::size_t used = Fbuffer.Length();
  if (used < static_cast<std::size_t>(BufferLength)) {
    std::size_t k = std::min(n, static_cast<std::size_t>(BufferLength) - used);
    Fbuffer.AppendBytes(data, k);
    data += k;
    n -= k;
  }
  if (n == 0) return;  // the caller's Send sends the buffer as one packet
  // One packet on the wire: the buffered bytes, then the rest of the block
  // straight from the caller's memory.
  SendBuffered(packetLength);
  Clear();
  RealSend(data, n);
}

void TMySqlNet::WriteOrSendBytes(const void* data, std::size_t count) {
  const auto* src = static_cast<const std::uint8_t*>(data);
  if (WriteLength() >= MaxPacketLength) SendLargeBuffer();
  std::size_t p = WriteLength();
  std::size_t a = p + count;
  if (a < MaxPacketLength) {
    BufferedWrite(src, count, static_cast<std::uint32_t>(a));
    return;
  }
  while (a >= MaxPacketLength) {
    std::size_t part = MaxPacketLength - p;
    BufferedWrite(src, part, MaxPacketLength);
    src += part;
    a -= MaxPacketLength;
    p = 0;
  }
  if (a == 0)
    SendEmpty();  // a payload that is a multiple of a full packet ends with an empty one
  else
    BufferedWrite(src, a, static_cast<std::uint32_t>(a));
}

void TMySqlNet::Send() {
  std::size_t payload = WriteLength();
  if (payload >= MaxPacketLength) {
    SendLargeBuffer();
    SendBuffered(static_cast<std::uint32_t>(WriteLength()));  // may be the empty end packet
  } else if (payload > 0) {
    SendBuffered(static_cast<std::uint32_t>(payload));
  }
  Clear();
  AfterSend();
}

void TMySqlNet::SendSecret() {
  struct TWipe {
    TMySqlByteBuffer& Buffer;
    std::size_t Length;
    ~TWipe() {
      if (Buffer.Data()) OPENSSL_cleanse(Buffer.Data(), std::min(Length, Buffer.Capacity()));
    }
  } wipe{Fbuffer, Fbuffer.Length()};
  Send();
}

void TMySqlNet::SendEmpty() {
  LUMO_ASSERT(WriteLength() == 0);
  SendBuffered(0);
  Clear();
  AfterSend();
}

// ---------------------------------------------------------------------------
// Receiving

void TMySqlNet::VioRead(std::uint8_t* data, std::size_t count) {
  TKxVio& vio = RequireVio();
  if (vio.Read(data, 0, count) < count) throw EMySqlException(cr::SERVER_LOST, vio.LastError());
}

void TMySqlNet::ReadCompressedPacket() {
  // Keep the unread rest at the front, then append this packet's bytes.
  std::size_t rest = FCompressBuffer.Length() - FCompressPos;
  if (rest && FCompressPos) std::memmove(FCompressBuffer.Data(), FCompressBuffer.Data() + FCompressPos, rest);
  FCompressBuffer.SetLength(rest);
  FCompressPos = 0;

  std::uint8_t h[NetHeaderSize + CompHeaderSize];
  VioRead(h, sizeof h);
  TMySqlCompHeader ch = DecodeCompHeader(h);
  CheckPacketNumber("ReceiveCompHeader", ch.Seq, FPacketNumber);
  FPacketNumber = static_cast<std::uint8_t>(ch.Seq + 1);
  FComprPacketNumber = FPacketNumber;

  if (ch.UncompressedLength == 0) {
    FCompressBuffer.Reserve(rest + ch.Length);
    VioRead(FCompressBuffer.Data() + rest, ch.Length);
    FCompressBuffer.SetLength(rest + ch.Length);
  } else {
    FCompressIn.SetLength(ch.Length);
    VioRead(FCompressIn.Data(), ch.Length);
    FCompressBuffer.Reserve(rest + ch.UncompressedLength);
    InflateExact(FCompressIn.Data(), ch.Length, FCompressBuffer.Data() + rest, ch.UncompressedLength);
    FCompressBuffer.SetLength(rest + ch.UncompressedLength);
  }
}

void TMySqlNet::ReadPlainChunk(std::size_t need) {
  TKxVio& vio = RequireVio();
  std::size_t rest = FCompressBuffer.Length() - FCompressPos;
  if (rest && FCompressPos) std::memmove(FCompressBuffer.Data(), FCompressBuffer.Data() + FCompressPos, rest);
  FCompressBuffer.SetLength(rest);
  FCompressPos = 0;
  FCompressBuffer.Reserve(rest + std::max(need, PlainChunk));
  const std::size_t target = rest + need;
  while (rest < target) {
    const std::size_t got =
        std::min(vio.ReadNoWait(FCompressBuffer.Data(), rest, FCompressBuffer.Capacity() - rest),
                 FCompressBuffer.Capacity() - rest);
    if (got == 0) throw EMySqlException(cr::SERVER_LOST, vio.LastError());
    rest += got;
    FCompressBuffer.SetLength(rest);
  }
}

void TMySqlNet::FillStream(std::size_t n) {
  while (FCompressBuffer.Length() - FCompressPos < n) {
    if (FCompress)
      ReadCompressedPacket();
    else
      ReadPlainChunk(n - (FCompressBuffer.Length() - FCompressPos));
  }
}

void TMySqlNet::RealReceive(std::uint8_t* data, std::size_t count) {
  if (!FCompress && !FRawReads) {
    VioRead(data, count);
    return;
  }
  while (count > 0) {
    std::size_t avail = FCompressBuffer.Length() - FCompressPos;
    if (avail == 0) {
      if (FCompress) {
        ReadCompressedPacket();
      } else if (count >= PlainChunk) {
        VioRead(data, count);  // large: straight to its place
        return;
      } else {
        ReadPlainChunk(count);
      }
      continue;
    }
    std::size_t k = std::min(avail, count);
    std::memcpy(data, FCompressBuffer.Data() + FCompressPos, k);
    FCompressPos += k;
    data += k;
    count -= k;
  }
}

std::uint32_t TMySqlNet::ReceiveHeader() {
  std::uint8_t h[NetHeaderSize];
  const std::uint8_t* at = h;
  if (FCompress || FRawReads) {
    FillStream(NetHeaderSize);
    at = FCompressBuffer.Data() + FCompressPos;
    FCompressPos += NetHeaderSize;
  } else {
    RealReceive(h, sizeof h);
  }
  TMySqlPacketHeader ph = DecodePacketHeader(at);
  if (!FCompress) {
    CheckPacketNumber("ReceiveHeader", ph.Seq, FPacketNumber);
    FPacketNumber = static_cast<std::uint8_t>(ph.Seq + 1);
    FComprPacketNumber = FPacketNumber;
  }
  return ph.Length;
}

void TMySqlNet::Receive() {
  SetPayload(nullptr, 0);
  std::size_t total = 0;
  for (bool first = true;; first = false) {
    std::uint32_t n = ReceiveHeader();
    if (static_cast<std::uint64_t>(total) + n > FMaxAllowedPacket)
      throw EMySqlException(cr::NET_PACKET_TOO_LARGE);
    if (first && (FCompress || FRawReads) && n < MaxPacketLength) {
      // A payload of one packet is used where it was received or inflated.
      FillStream(n);
      SetPayload(FCompressBuffer.Data() + FCompressPos, n);
      FCompressPos += n;
      break;
    }
    Fbuffer.SetLength(total + n);
    RealReceive(Fbuffer.Data() + total, n);
    total += n;
    if (n < MaxPacketLength) {
      SetPayload(Fbuffer.Data(), total);
      break;
    }
  }
  if (FPayloadLength > 0 && FPayload[0] == 0xFF) RaiseErrorPacket(FPayload, FPayloadLength);
}

void TMySqlNet::ReceiveBuffer(std::vector<std::uint8_t>& result) {
  std::uint32_t n = ReceiveHeader();
  if (n == 0) RaiseMalformedPacket();
  if (n == MaxPacketLength) throw EArgumentError("Cannot retrieve huge data in FetchAll mode");
  if (n > FMaxAllowedPacket) throw EMySqlException(cr::NET_PACKET_TOO_LARGE);
  result.resize(n);
  RealReceive(result.data(), n);
  if (result[0] == 0xFF) RaiseErrorPacket(result.data(), n);
}

std::uint32_t TMySqlNet::SkipPacket() {
  SetPayload(nullptr, 0);
  Fbuffer.Reserve(2 * SkipChunk);
  std::uint32_t n = ReceiveHeader();
  std::size_t keep = std::min<std::size_t>(n, SkipChunk);
  Fbuffer.SetLength(keep);
  RealReceive(Fbuffer.Data(), keep);
  for (std::size_t rest = n - keep; rest > 0;) {
    std::size_t k = std::min(rest, SkipChunk);
    RealReceive(Fbuffer.Data() + SkipChunk, k);
    rest -= k;
  }
  SetPayload(Fbuffer.Data(), keep);
  return n;
}

}  // namespace lumo
