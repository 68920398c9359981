// Framing and field codecs of the MySQL client/server protocol, without any
// I/O: packet and compressed-packet headers, sequence checks, the zlib
// wrapping of compressed packets, a growable byte buffer with little-endian
// writers, a bounds-checked payload reader, and parsers of the server's
// error, OK and EOF packets. The packet layer (MySqlNet) feeds these from
// its transport; parsers and fuzz targets use them on plain byte buffers.
//
// Every read of received data is checked against the payload's length: data
// that ends early or holds an impossible value raises EMySqlException 2027
// "Malformed packet", never an over-read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <lumokit/mysql/wire/MySqlErrors.h>

namespace lumo {

// Header sizes (the classic NET_HEADER_SIZE and COMP_HEADER_SIZE are macros
// in the C client's headers).
constexpr int NetHeaderSize = 4;
constexpr int CompHeaderSize = 3;
// Initial capacity of the packet buffer; outgoing bytes are collected up to
// this size before they are written.
constexpr int BufferLength = 8192;
// Maximum packet size announced to the server in the handshake.
constexpr std::uint32_t MaxAllowedPacket = 0x40000000;
// Largest payload of one packet; a packet of exactly this length is
// continued by the next one.
constexpr std::uint32_t MaxPacketLength = 0xFFFFFF;
// Value of the NULL marker of a length-encoded integer.
constexpr std::int64_t NullLength = -1;

[[noreturn]] void RaiseMalformedPacket();

// Capability flags (the handshake's client and server flags).
namespace client {
enum : std::uint32_t {
  LONG_PASSWORD = 1,
  FOUND_ROWS = 2,
  LONG_FLAG = 4,
  CONNECT_WITH_DB = 8,
  NO_SCHEMA = 16,
  COMPRESS = 32,
  ODBC = 64,
  LOCAL_FILES = 128,
  IGNORE_SPACE = 256,
  PROTOCOL_41 = 512,
  INTERACTIVE = 1024,
  SSL = 2048,
  IGNORE_SIGPIPE = 4096,
  TRANSACTIONS = 8192,
  RESERVED = 16384,
  SECURE_CONNECTION = 32768,
  MULTI_STATEMENTS = 65536,
  MULTI_RESULTS = 131072,
  // Result sets of a CALL through a prepared statement.
  PS_MULTI_RESULTS = 262144,
  // The handshake names authentication plugins (greeting, response and the
  // switch request); sent only to servers that announce it.
  PLUGIN_AUTH = 1u << 19,
  // The first answer of a plugin goes with a length-encoded length (a long
  // clear password); sent only to servers that announce it.
  PLUGIN_AUTH_LENENC_CLIENT_DATA = 1u << 21,
  // OK packets may carry changes of the session's state (the current
  // schema among them); sent only to servers that announce it.
  SESSION_TRACK = 1u << 23,
  // Long password, long flag, local files, protocol 4.1, transactions,
  // secure connection, multi statements, multi results.
  CAPABILITIES = 238213,
};
}  // namespace client

// Server status flags (OK and EOF packets).
namespace server {
enum : std::int32_t {
  STATUS_IN_TRANS = 1,
  STATUS_AUTOCOMMIT = 2,
  STATUS_MORE_RESULTS = 4,
  MORE_RESULTS_EXISTS = 8,
  QUERY_NO_GOOD_INDEX_USED = 16,
  QUERY_NO_INDEX_USED = 32,
  STATUS_NO_BACKSLASH_ESCAPES = 0x200,
  // The OK packet carries session state changes (with SESSION_TRACK).
  SESSION_STATE_CHANGED = 0x4000,
};

// Kinds of session state change in an OK packet.
enum : std::uint8_t { SESSION_TRACK_SCHEMA = 1 };
}  // namespace server

// The command byte that starts every command packet.
enum class TServerCommand : std::uint8_t {
  scSleep = 0,
  scQuit = 1,
  scInitDb = 2,
  scQuery = 3,
  scFieldList = 4,
  scCreateDb = 5,
  scDropDb = 6,
  scRefresh = 7,
  scShutdown = 8,
  scStatistics = 9,
  scProcessInfo = 10,
  scConnect = 11,
  scProcessKill = 12,
  scDebug = 13,
  scPing = 14,
  scTime = 15,
  scDelayedInsert = 16,
  scChangeUser = 17,
  scBunLogDump = 18,
  scTableDump = 19,
  scConnectOut = 20,
  scRegisterSlave = 21,
  scPrepare = 22,
  scExecute = 23,
  scLongData = 24,
  scCloseStmt = 25,
  scResetStmt = 26,
};

// ---------------------------------------------------------------------------
// Headers

struct TMySqlPacketHeader {
  std::uint32_t Length = 0;
  std::uint8_t Seq = 0;
};

struct TMySqlCompHeader {
  std::uint32_t Length = 0;              // bytes of data after the 7-byte header
  std::uint8_t Seq = 0;
  std::uint32_t UncompressedLength = 0;  // 0: the data is stored, not deflated
};

inline void EncodeInt24(std::uint8_t* dst, std::uint32_t v) {
  dst[0] = static_cast<std::uint8_t>(v);
  dst[1] = static_cast<std::uint8_t>(v >> 8);
  dst[2] = static_cast<std::uint8_t>(v >> 16);
}

inline std::uint32_t DecodeInt24(const std::uint8_t* src) {
  return static_cast<std::uint32_t>(src[0]) | (static_cast<std::uint32_t>(src[1]) << 8) |
         (static_cast<std::uint32_t>(src[2]) << 16);
}

inline void EncodePacketHeader(std::uint8_t* dst, std::uint32_t length, std::uint8_t seq) {
  EncodeInt24(dst, length);
  dst[3] = seq;
}

inline TMySqlPacketHeader DecodePacketHeader(const std::uint8_t* src) {
  return {DecodeInt24(src), src[3]};
}

inline void EncodeCompHeader(std::uint8_t* dst, std::uint32_t length, std::uint8_t seq,
                             std::uint32_t uncompressedLength) {
  EncodeInt24(dst, length);
  dst[3] = seq;
  EncodeInt24(dst + 4, uncompressedLength);
}

inline TMySqlCompHeader DecodeCompHeader(const std::uint8_t* src) {
  return {DecodeInt24(src), src[3], DecodeInt24(src + 4)};
}

// Raises 1156 with "<where>: Net packets out of order: received[r],
// expected[e]" when the numbers differ.
void CheckPacketNumber(const char* where, std::uint8_t received, std::uint8_t expected);

// ---------------------------------------------------------------------------
// Growable byte buffer: length and capacity, geometric growth, no zero
// filling of new space (payloads are read straight into it).

class TMySqlByteBuffer {
 public:
  explicit TMySqlByteBuffer(std::size_t capacity = 0) { Reserve(capacity); }
  TMySqlByteBuffer(const TMySqlByteBuffer&) = delete;
  TMySqlByteBuffer& operator=(const TMySqlByteBuffer&) = delete;

  std::uint8_t* Data() noexcept { return FData.get(); }
  const std::uint8_t* Data() const noexcept { return FData.get(); }
  std::size_t Length() const noexcept { return FLength; }
  std::size_t Capacity() const noexcept { return FCapacity; }

  // Capacity of at least n; grows to at least twice the current capacity.
  void Reserve(std::size_t n) {
    if (n > FCapacity) Grow(n);
  }
  // Sets the length; new bytes are uninitialised.
  void SetLength(std::size_t n) {
    Reserve(n);
    FLength = n;
  }
  // Appends n uninitialised bytes and returns their address.
  std::uint8_t* Extend(std::size_t n) {
    Reserve(FLength + n);
    std::uint8_t* p = FData.get() + FLength;
    FLength += n;
    return p;
  }
  // Releases the memory.
  void Release() noexcept {
    FData.reset();
    FCapacity = 0;
    FLength = 0;
  }

  void AppendByte(std::uint8_t v) { *Extend(1) = v; }
  void AppendBool(bool v) { AppendByte(v ? 1 : 0); }
  void AppendInt16(std::uint16_t v) {
    std::uint8_t* p = Extend(2);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
  }
  void AppendInt24(std::uint32_t v) { EncodeInt24(Extend(3), v); }
  void AppendInt32(std::uint32_t v) {
    std::uint8_t* p = Extend(4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void AppendInt64(std::uint64_t v) {
    std::uint8_t* p = Extend(8);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void AppendBytes(const void* data, std::size_t count) {
    if (count) std::memcpy(Extend(count), data, count);
  }
  void AppendFill(std::uint8_t pattern, std::size_t count) {
    if (count) std::memset(Extend(count), pattern, count);
  }
  // The bytes of text and a terminating zero byte.
  void AppendString(std::string_view text) {
    AppendBytes(text.data(), text.size());
    AppendByte(0);
  }
  // Length-encoded integer: <= 250 one byte; <= 65535 252 + 2 bytes;
  // <= 16777215 253 + 3 bytes; else 254 + 8 bytes.
  void AppendFieldLength(std::uint64_t length);

 private:
  void Grow(std::size_t n);

  std::unique_ptr<std::uint8_t[]> FData;
  std::size_t FLength = 0;
  std::size_t FCapacity = 0;
};

// ---------------------------------------------------------------------------
// Bounds-checked reader over one received payload.

class TMySqlPacketReader {
 public:
  TMySqlPacketReader() = default;
  TMySqlPacketReader(const std::uint8_t* data, std::size_t length, std::size_t position = 0)
      : FData(data), FLength(length), FPosition(position <= length ? position : length) {}

  void Reset(const std::uint8_t* data, std::size_t length) {
    FData = data;
    FLength = length;
    FPosition = 0;
  }

  const std::uint8_t* Data() const noexcept { return FData; }
  std::size_t Length() const noexcept { return FLength; }
  std::size_t Position() const noexcept { return FPosition; }
  std::size_t Remaining() const noexcept { return FLength - FPosition; }
  bool AtEnd() const noexcept { return FPosition >= FLength; }
  // A position past the end raises 2027.
  void SetPosition(std::size_t position) {
    if (position > FLength) RaiseMalformedPacket();
    FPosition = position;
  }
  void Skip(std::size_t n) {
    Need(n);
    FPosition += n;
  }

  std::uint8_t PeekByte() const {
    Need(1);
    return FData[FPosition];
  }
  std::uint8_t ReadByte() {
    Need(1);
    return FData[FPosition++];
  }
  std::uint16_t ReadUInt16() {
    Need(2);
    const std::uint8_t* p = FData + FPosition;
    FPosition += 2;
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  std::int16_t ReadInt16() { return static_cast<std::int16_t>(ReadUInt16()); }
  std::uint32_t ReadInt24() {
    Need(3);
    std::uint32_t v = DecodeInt24(FData + FPosition);
    FPosition += 3;
    return v;
  }
  std::uint32_t ReadUInt32() {
    Need(4);
    const std::uint8_t* p = FData + FPosition;
    FPosition += 4;
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }
  std::int32_t ReadInt32() { return static_cast<std::int32_t>(ReadUInt32()); }
  std::uint64_t ReadUInt64() {
    Need(8);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | FData[FPosition + static_cast<std::size_t>(i)];
    FPosition += 8;
    return v;
  }
  std::int64_t ReadInt64() { return static_cast<std::int64_t>(ReadUInt64()); }
  void ReadBytes(void* dst, std::size_t count) {
    Need(count);
    if (count) std::memcpy(dst, FData + FPosition, count);
    FPosition += count;
  }
  // The next l bytes as text.
  std::string ReadString(std::size_t l) {
    Need(l);
    std::string s(reinterpret_cast<const char*>(FData + FPosition), l);
    FPosition += l;
    return s;
  }
  // Text up to the next zero byte (consumed) or to the end of the payload.
  std::string ReadString();
  // Length-encoded integer: 0-250 the value, 251 NullLength, 252/253/254
  // followed by 2/3/8 bytes; 255 is malformed.
  std::int64_t ReadFieldLength();

 private:
  void Need(std::size_t n) const {
    if (n > FLength - FPosition) RaiseMalformedPacket();
  }

  const std::uint8_t* FData = nullptr;
  std::size_t FLength = 0;
  std::size_t FPosition = 0;
};

// ---------------------------------------------------------------------------
// Server replies

// Raises the server error held in an error packet (first byte 0xFF): the
// unsigned 16-bit code and the rest as text (kept whole: "#" and the SQL
// state lead it with the 4.1 protocol), marked as coming from the server
// whatever its number. A packet too short to hold a code raises 2027.
[[noreturn]] void RaiseErrorPacket(const std::uint8_t* payload, std::size_t length);

struct TMySqlOkPacket {
  std::int64_t AffectedRows = 0;
  std::int64_t InsertId = 0;
  bool HasStatus = false;
  std::int32_t ServerStatus = 0;
  bool HasWarnings = false;
  std::int32_t WarningCount = 0;
  std::string Info;
  // The session's schema changed to Schema (a session-tracking entry).
  bool HasSchema = false;
  std::string Schema;
};

// Parses an OK packet (first byte 0): affected rows and insert id
// (length-encoded), the status when hasStatus, the warning count when
// hasWarnings, then the message as a length-encoded string (absent when
// the packet ends there). With sessionTrack (SESSION_TRACK negotiated) and
// SESSION_STATE_CHANGED in the status, the state changes follow: a
// length-encoded block of entries, each a kind byte and length-encoded
// data; a schema entry (its data a length-encoded name) sets Schema, the
// other kinds are skipped. A first byte other than 0, a packet that ends
// early or an entry that runs past its block raises 2027.
TMySqlOkPacket ParseOkPacket(const std::uint8_t* payload, std::size_t length, bool hasStatus, bool hasWarnings,
                             bool sessionTrack = false);

// The end-of-data packet: first byte 0xFE and at most 8 bytes (a row that
// begins with 0xFE is at least 9 bytes long).
inline bool IsEofPacket(const std::uint8_t* payload, std::size_t length) noexcept {
  return length >= 1 && length <= 8 && payload[0] == 0xFE;
}

struct TMySqlEofPacket {
  bool HasStatus = false;
  std::int32_t WarningCount = 0;
  std::int32_t ServerStatus = 0;
};

// Parses an EOF packet: 1 byte (pre-4.1) carries nothing; 5 bytes or more
// carry the warning count and the status; 2 to 4 bytes raise 2027.
TMySqlEofPacket ParseEofPacket(const std::uint8_t* payload, std::size_t length);

// ---------------------------------------------------------------------------
// Compression (through the data core's compression hooks, zlib format by
// default; a hook that is not linked raises its ECompressionError)

// Appends to out one compressed packet holding count bytes of data (count at
// most MaxPacketLength): deflated when count exceeds MIN_COMPRESS_LENGTH and
// deflating makes it smaller, else stored with uncompressed length 0 (also
// when the compressor fails).
void EncodeCompressedPacket(const std::uint8_t* data, std::size_t count, std::uint8_t seq,
                            TMySqlByteBuffer& out);

// Inflates srcLen bytes into exactly dstLen bytes at dst; anything else
// (damaged data, a different length) raises 1157. The output never runs
// past dstLen bytes.
void InflateExact(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst, std::size_t dstLen);

}  // namespace lumo
