// Text-protocol result sets of the MySQL wire client: the column
// descriptions (TMySqlFieldInfo) read from column-definition packets, and
// TMySqlResultSet, which delivers the rows of a query either one at a time
// straight from the connection ("use" mode) or from rows read in advance
// ("store" mode). Rows are not converted: a row is a view of offsets and
// lengths (TMySqlBinds) into the received payload.
//
// Decisions:
// - Every read of server data is checked against its payload: a column
//   definition must hold all its values; a row must hold exactly one value
//   per column and end with its last value; a length prefix 255, a value
//   that runs past the payload or an end-of-data packet of 2 to 4 bytes
//   raise 2027 "Malformed packet". A row longer than 2 GiB - 1 (offsets
//   are 32-bit) raises 2020.
// - An end-of-data packet is a packet of at most 8 bytes whose first byte
//   is 0xFE, both in use and in store mode (a row that begins with 0xFE is
//   at least 9 bytes long).
// - Stored rows are read as whole logical payloads, so a row of 16 MiB or
//   more is kept like any other; they lie one after another in one buffer
//   that grows geometrically (no allocation per row).
// - In use mode a row stays valid until the next read from the connection.
// - A result finishes at its end-of-data packet or at the first failure;
//   then it detaches from its session, so that neither can leave the other
//   with a dangling pointer and freeing a finished result never touches the
//   session's next result. After a failure the session is brought back to a
//   state in which the next command is sound (TMySqlSession::
//   RecoverFromReadError). Reading a finished result returns false at once.
// - Column definitions may carry bytes after their last value (the default
//   value of a field list); they are ignored.
// - The FIELD_TYPE_* aliases and the *_FLAG names are macros in the C
//   client's headers: the types keep their MYSQL_TYPE_* names (enumerators
//   there too), and the flags live in the namespace field_flag without their
//   suffix (NOT_NULL_FLAG is field_flag::NOT_NULL).
// - Binary rows (prepared statements) are checked as strictly: the header
//   byte must be 0, the NULL bitmap must be whole with its two reserved bits
//   and the bits past the last column clear, every value of a fixed size
//   must be there, a date, date-time or time value must have one of the
//   lengths the protocol defines (0, 4, 7, 11; 0, 8, 12), and the last value
//   must end the row; anything else raises 2027.
// - A result that only describes columns (Metadata) has no session and no
//   rows: the statement's metadata is handed out so, and freeing it never
//   touches the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlPacket.h>

namespace lumo {

class TMySqlSession;

// Column type codes.
enum TMySqlFieldType : std::uint8_t {
  MYSQL_TYPE_DECIMAL = 0,
  MYSQL_TYPE_TINY = 1,
  MYSQL_TYPE_SHORT = 2,
  MYSQL_TYPE_LONG = 3,
  MYSQL_TYPE_FLOAT = 4,
  MYSQL_TYPE_DOUBLE = 5,
  MYSQL_TYPE_NULL = 6,
  MYSQL_TYPE_TIMESTAMP = 7,
  MYSQL_TYPE_LONGLONG = 8,
  MYSQL_TYPE_INT24 = 9,
  MYSQL_TYPE_DATE = 10,
  MYSQL_TYPE_TIME = 11,
  MYSQL_TYPE_DATETIME = 12,
  MYSQL_TYPE_YEAR = 13,
  MYSQL_TYPE_NEWDATE = 14,
  MYSQL_TYPE_VARCHAR = 15,
  MYSQL_TYPE_BIT = 16,
  MYSQL_TYPE_NEWDECIMAL = 246,
  MYSQL_TYPE_ENUM = 247,
  MYSQL_TYPE_SET = 248,
  MYSQL_TYPE_TINY_BLOB = 249,
  MYSQL_TYPE_MEDIUM_BLOB = 250,
  MYSQL_TYPE_LONG_BLOB = 251,
  MYSQL_TYPE_BLOB = 252,
  MYSQL_TYPE_VAR_STRING = 253,
  MYSQL_TYPE_STRING = 254,
  MYSQL_TYPE_GEOMETRY = 255,
};

// Column flags.
namespace field_flag {
enum : std::uint32_t {
  NOT_NULL = 1,
  PRI_KEY = 2,
  UNIQUE_KEY = 4,
  MULTIPLE_KEY = 8,
  BLOB = 16,
  UNSIGNED = 32,
  ZEROFILL = 64,
  BINARY = 128,
  ENUM = 256,
  AUTO_INCREMENT = 512,
  TIMESTAMP = 1024,
  SET = 2048,
  PART_KEY = 16384,
  NUM = 32768,
  GROUP = 32768,
  UNIQUE = 65536,
};
}  // namespace field_flag

// One column of a result.
struct TMySqlFieldInfo {
  std::string Name;
  std::string OrgName;
  std::string Table;
  std::string OrgTable;
  std::string Database;
  std::string DefaultValue;
  std::uint32_t Length = 0;     // display length
  std::uint32_t Scale = 0;      // decimals
  std::uint32_t MaxLength = 0;  // always 0 here
  std::uint32_t Flags = 0;
  std::uint32_t CharsetNr = 0;  // 0 before protocol 4.1
  std::uint8_t MyType = 0;
};
using TMySqlFieldInfos = std::vector<TMySqlFieldInfo>;

// Numeric columns: types up to INT24 (a TIMESTAMP only with length 14 or
// 8) and YEAR; DECIMAL counts, NEWDECIMAL does not.
bool IsNumericField(std::uint8_t type, std::uint32_t length) noexcept;

// Parses one column definition: 4.1 (catalog, database, table, underlying
// table, name, underlying name, fixed block) or older (table, name,
// 3-byte length, type, flags and decimals: 2 + 1 bytes with longFlag, else
// 1 + 1). Adds field_flag::NUM to numeric columns. Malformed data raises
// 2027.
TMySqlFieldInfo ParseFieldInfo(const std::uint8_t* payload, std::size_t length, bool protocol41, bool longFlag);

// One column of the current row.
struct TMySqlBind {
  bool IsNull = true;
  std::int32_t Offset = 0;  // index of the value's first byte in the row; 0 for NULL
  std::int32_t Length = 0;  // bytes of the value
  std::uint8_t MyType = 0;  // set for binary rows
  std::int32_t DbType = 0;  // the provider's type tag (not set here)
  bool Unicode = false;     // not set here
};

// The "row" handed to callers of the client API: one bind per column and
// the row's bytes.
class TMySqlBinds {
 public:
  explicit TMySqlBinds(std::size_t count) : Binds(count) {}
  TMySqlBinds(const TMySqlBinds&) = delete;
  TMySqlBinds& operator=(const TMySqlBinds&) = delete;

  std::vector<TMySqlBind> Binds;
  const std::uint8_t* Buffer = nullptr;  // the current row
  std::size_t BufferLength = 0;
};

// Decodes a text row of `count` values into `binds`: each value is the NULL
// marker 251 or a length-encoded length followed by that many bytes, and the
// last value ends the row. Anything else raises 2027.
void DecodeTextRow(const std::uint8_t* row, std::size_t length, TMySqlBind* binds, std::size_t count);

// The bytes a binary-row value of this column type occupies: 1, 2, 4 or 8
// for the fixed-size types, 0 for the types sent with a length prefix.
std::size_t BinaryValueSize(std::uint8_t type) noexcept;

// Decodes a binary row of `count` columns whose types are `types` into
// `binds`: the header byte 0, a NULL bitmap of (count + 9) / 8 bytes in which
// column i is bit i + 2, then the values of the columns that are not NULL
// (fixed-size or length-prefixed by type). Anything else raises 2027.
void DecodeBinaryRow(const std::uint8_t* row, std::size_t length, const std::uint8_t* types, TMySqlBind* binds,
                     std::size_t count);

// Rows read in advance, one after another in one growable buffer.
class TRows {
 public:
  void Add(const std::uint8_t* row, std::size_t length);
  const std::uint8_t* Get(std::size_t index) const noexcept { return FData.Data() + FEnds[index] - Size(index); }
  std::size_t Size(std::size_t index) const noexcept {
    return FEnds[index] - (index ? FEnds[index - 1] : 0);
  }
  std::size_t GetCount() const noexcept { return FEnds.size(); }
  void Clear() noexcept;

 private:
  TMySqlByteBuffer FData;
  std::vector<std::size_t> FEnds;  // end of each row in FData
};

class TMySqlResultSet {
 public:
  // Use mode: the pending result of `session` (its field descriptions are
  // moved here). The result becomes the session's ResultSet.
  explicit TMySqlResultSet(TMySqlSession& session);
  // General form: `session` must not be null. A binary result decodes its
  // rows as binary rows (prepared statements).
  TMySqlResultSet(TMySqlSession* session, int fieldCount, TMySqlFieldInfos fields, bool binary = false);
  // A result that only describes its columns: no session, no rows.
  static std::unique_ptr<TMySqlResultSet> Metadata(TMySqlFieldInfos fields, bool protocol41);
  TMySqlResultSet(const TMySqlResultSet&) = delete;
  TMySqlResultSet& operator=(const TMySqlResultSet&) = delete;
  // Clears (errors ignored).
  ~TMySqlResultSet();

  // Store mode: reads every row up to the end-of-data packet, takes its
  // warning count and status and returns the session to ready. Then the
  // result no longer needs its session and detaches.
  void ReadRows();
  // Use mode: reads the next row from the connection; false at the end.
  bool ReadRow();
  // The next row decoded into `bind` (which must have one element per
  // column, else 2028); false at the end or when the result is finished.
  bool Read(TMySqlBinds& bind);
  // Finishes the result: unread rows of a use-mode result are skipped
  // (FreeQuery), stored rows released, the session detached.
  void Clear();
  // Forgets the session (and the session forgets this result) without
  // touching the connection.
  void Detach() noexcept;

  int FieldCount() const noexcept { return ffieldCount; }
  const TMySqlFieldInfos& Fields() const noexcept { return ffields; }
  TMySqlSession* Session() const noexcept { return fsession; }
  // The bind list handed to callers as the row.
  TMySqlBinds& Bind() noexcept { return *FBind; }
  bool Eof() const noexcept { return feof; }
  bool Stored() const noexcept { return frows != nullptr; }
  // Stored rows, or rows read so far in use mode.
  std::int64_t RowCount() const noexcept;
  // The session's protocol when the result was created.
  bool Protocol41() const noexcept { return FProtocol41; }
  bool Binary() const noexcept { return FBinary; }

 private:
  // Ends a use-mode result after the failure `e` (see the unit comment);
  // `atEnd`: the end-of-data packet was already read.
  void FinishAfterError(const EMySqlException& e, bool atEnd) noexcept;
  void Finish() noexcept;
  // Decodes a row by the result's protocol (text or binary).
  void DecodeRow(const std::uint8_t* row, std::size_t length, TMySqlBind* binds) const;
  TMySqlResultSet() = default;

  std::unique_ptr<TRows> frows;  // store mode
  std::size_t frowIndex = 0;     // next stored row
  std::int64_t frowCount = 0;    // rows received in use mode
  int ffieldCount = 0;
  const std::uint8_t* frowBuffer = nullptr;
  std::size_t frowLength = 0;
  TMySqlFieldInfos ffields;
  TMySqlSession* fsession = nullptr;
  bool feof = false;
  bool FAtEnd = false;  // the end-of-data packet was read
  bool FProtocol41 = false;
  bool FBinary = false;
  std::vector<std::uint8_t> FTypes;  // column types of a binary result
  std::unique_ptr<TMySqlBinds> FBind;
};

}  // namespace lumo
