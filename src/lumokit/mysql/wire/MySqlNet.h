// The packet layer of the MySQL wire client: TMySqlNet owns the transport,
// cuts outgoing payloads into packets with headers and sequence numbers,
// joins incoming packets into logical payloads, and optionally wraps all of
// it in the compressed protocol. The session, the result-set reader and the
// prepared-statement code build and parse payloads through it.
//
// Decisions:
// - Received logical payloads are capped by MaxAllowedPacketSize() (the
//   client's max_allowed_packet, default 1 GiB) before anything is
//   allocated; a longer one raises 2020. Buffers grow geometrically.
// - Compressed data is inflated from a scratch buffer into the uncompressed
//   stream and must come out at exactly the announced length (else 1157).
//   Bytes of a compressed packet not yet consumed stay for the next read,
//   so packets of the next reply that share it are never lost.
// - In compressed mode a received payload that lies whole in the
//   uncompressed stream is used in place; Payload() then points there.
//   Either way it is valid until the next read or write.
// - In plain mode the bytes are read in chunks of whatever the transport
//   has (at least 64 KiB asked for) into the same stream buffer, and a
//   payload of one packet is used where it arrived: rows are never copied.
//   Transports over an application's I/O handler are read through their
//   buffered Read instead (a handler need not provide raw reads), and so
//   are large payloads once the stream buffer is drained.
// - Send splits a payload of any size into packets; WriteOrSendBytes sends
//   large blocks from the caller's memory without copying them.
// - Without a transport, sending and receiving raise 2006.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/mysql/wire/MySqlPacket.h>
#include <lumokit/net/KxVio.h>

namespace lumo {

class TMySqlNet {
 public:
  TMySqlNet();
  TMySqlNet(const TMySqlNet&) = delete;
  TMySqlNet& operator=(const TMySqlNet&) = delete;
  // Closes (errors ignored).
  ~TMySqlNet();

  // The transport (owned); null when none is held.
  TKxVio* vio() const noexcept { return Fvio.get(); }
  // Closes and frees the held transport, then holds `Value`. A new
  // transport starts uncompressed with sequence numbers 0.
  void SetVio(std::unique_ptr<TKxVio> Value);
  // Releases the buffers' memory and closes and frees the transport (freed
  // even when closing raises).
  void Close();

  bool Compress() const noexcept { return FCompress; }
  // Bytes still unread when the mode changes were sent past a reply: they
  // are dropped.
  void SetCompress(bool Value) noexcept;
  std::uint32_t MaxAllowedPacketSize() const noexcept { return FMaxAllowedPacket; }
  void SetMaxAllowedPacketSize(std::uint32_t Value) noexcept { FMaxAllowedPacket = Value; }

  // Bytes received but not yet read (in the stream buffer and in the
  // transport's read-ahead buffer).
  std::size_t UnreadBytes() const noexcept {
    return FCompressBuffer.Length() - FCompressPos + (Fvio ? Fvio->Buffered() : 0);
  }

  std::uint8_t PacketNumber() const noexcept { return FPacketNumber; }
  std::uint8_t ComprPacketNumber() const noexcept { return FComprPacketNumber; }

  // ---- building and sending
  // Sequence numbers := 0, then Clear.
  void NewCommand();
  // Empties the payload being built (the 4 header bytes stay reserved).
  void Clear();

  void WriteByte(std::uint8_t v) { Fbuffer.AppendByte(v); }
  void WriteBool(bool v) { Fbuffer.AppendBool(v); }
  void WriteInt16(std::uint16_t v) { Fbuffer.AppendInt16(v); }
  void WriteInt24(std::uint32_t v) { Fbuffer.AppendInt24(v); }
  void WriteInt32(std::uint32_t v) { Fbuffer.AppendInt32(v); }
  void WriteInt64(std::uint64_t v) { Fbuffer.AppendInt64(v); }
  void WriteBytes(const void* data, std::size_t count) { Fbuffer.AppendBytes(data, count); }
  void Fill(std::uint8_t pattern, std::size_t count) { Fbuffer.AppendFill(pattern, count); }
  // The 8-bit text and a terminating zero byte.
  void WriteString(std::string_view text) { Fbuffer.AppendString(text); }
  void WriteFieldLength(std::uint64_t length) { Fbuffer.AppendFieldLength(length); }
  // The buffer the payload is built in; bytes appended to it belong to the
  // payload (its first 4 bytes are the reserved header).
  TMySqlByteBuffer& WriteBuffer() noexcept { return Fbuffer; }
  // Bytes of payload built so far.
  std::size_t WriteLength() const noexcept { return Fbuffer.Length() - NetHeaderSize; }

  // Appends a block of any size to the payload, sending full packets as they
  // fill; large parts go to the transport straight from `data`.
  void WriteOrSendBytes(const void* data, std::size_t count);
  // Sends the payload built so far (nothing when it is empty) and clears it.
  void Send();
  // As Send, then wipes the payload's bytes from the buffer (also when
  // sending fails): for packets that carry a password or a token.
  void SendSecret();
  // Sends an empty packet; the payload must be empty.
  void SendEmpty();

  // ---- receiving
  // Reads one logical payload; an error packet raises the server's error.
  void Receive();
  // Reads exactly one packet into `result` (row-by-row reading). An empty
  // packet raises 2027; a packet of MaxPacketLength bytes raises
  // EArgumentError "Cannot retrieve huge data in FetchAll mode"; an error
  // packet raises the server's error.
  void ReceiveBuffer(std::vector<std::uint8_t>& result);
  // Reads one packet and discards it; its first min(length, SkipChunk) bytes
  // stay readable as the payload. Returns the packet's length.
  static constexpr std::size_t SkipChunk = 65536;
  std::uint32_t SkipPacket();

  // The current received payload and a reader positioned in it.
  const std::uint8_t* Payload() const noexcept { return FPayload; }
  std::size_t PayloadLength() const noexcept { return FPayloadLength; }
  TMySqlPacketReader& Reader() noexcept { return FReader; }

  std::uint8_t ReadByte() { return FReader.ReadByte(); }
  std::int16_t ReadInt16() { return FReader.ReadInt16(); }
  std::uint16_t ReadUInt16() { return FReader.ReadUInt16(); }
  std::uint32_t ReadInt24() { return FReader.ReadInt24(); }
  std::int32_t ReadInt32() { return FReader.ReadInt32(); }
  std::int64_t ReadInt64() { return FReader.ReadInt64(); }
  void ReadBytes(void* dst, std::size_t count) { FReader.ReadBytes(dst, count); }
  std::string ReadString(std::size_t l) { return FReader.ReadString(l); }
  std::string ReadString() { return FReader.ReadString(); }
  std::int64_t ReadFieldLength() { return FReader.ReadFieldLength(); }
  std::size_t Position() const noexcept { return FReader.Position(); }
  void SetPosition(std::size_t p) { FReader.SetPosition(p); }

 private:
  TKxVio& RequireVio();
  // Header at the front of Fbuffer, then the whole buffer as one packet.
  void SendBuffered(std::uint32_t packetLength);
  void SendLargeBuffer();
  void BufferedWrite(const std::uint8_t* data, std::size_t n, std::uint32_t packetLength);
  void AfterSend() noexcept;
  void RealSend(const std::uint8_t* data, std::size_t count);
  void VioWrite(const std::uint8_t* data, std::size_t count);
  void VioRead(std::uint8_t* data, std::size_t count);
  void RealReceive(std::uint8_t* data, std::size_t count);
  std::uint32_t ReceiveHeader();
  // Reads the next compressed packet into the uncompressed stream.
  void ReadCompressedPacket();
  // Reads what the transport has (at least `need` more bytes) into the
  // stream buffer.
  void ReadPlainChunk(std::size_t need);
  // At least n unread bytes in the stream buffer.
  void FillStream(std::size_t n);
  void SetPayload(const std::uint8_t* data, std::size_t length) noexcept;

  std::unique_ptr<TKxVio> Fvio;
  TMySqlByteBuffer Fbuffer;          // [4-byte header][payload] when writing; payload when read
  TMySqlByteBuffer FCompressBuffer;  // the received stream (inflated in compressed mode)
  std::size_t FCompressPos = 0;      // next unread byte of FCompressBuffer
  bool FRawReads = false;            // plain mode reads chunks with ReadNoWait
  TMySqlByteBuffer FCompressIn;      // scratch: deflated data of one packet
  TMySqlByteBuffer FCompressOut;     // scratch: one outgoing compressed packet
  std::uint8_t FPacketNumber = 0;
  std::uint8_t FComprPacketNumber = 0;
  bool FCompress = false;
  std::uint32_t FMaxAllowedPacket = MaxAllowedPacket;
  const std::uint8_t* FPayload = nullptr;
  std::size_t FPayloadLength = 0;
  TMySqlPacketReader FReader;
};

}  // namespace lumo
