// Fuzzes the reading of binary rows (prepared statements): the input's
// first byte chooses the column count (low 4 bits + 1), compression (bit 4)
// and store mode (bit 5); the next bytes, one per column, choose the column
// types (an index into the types a result can carry); the rest is the byte
// stream a server sends after the column definitions. Rows are read through
// a binary result set until the end or the first error: every value must lie
// inside its row, and every fixed-size or temporal value must decode (the
// row reader already checked its length). Afterwards the session must be
// ready or have dropped its connection.
#include <cstddef>
#include <cstdint>
#include <memory>

#include <lumokit/mysql/wire/MySqlSession.h>
#include <lumokit/mysql/wire/MySqlStmt.h>
#include "FuzzInputVio.h"

namespace {

const std::uint8_t kTypes[] = {
    lumo::MYSQL_TYPE_TINY,      lumo::MYSQL_TYPE_SHORT,    lumo::MYSQL_TYPE_LONG,       lumo::MYSQL_TYPE_FLOAT,
    lumo::MYSQL_TYPE_DOUBLE,    lumo::MYSQL_TYPE_NULL,     lumo::MYSQL_TYPE_TIMESTAMP,  lumo::MYSQL_TYPE_LONGLONG,
    lumo::MYSQL_TYPE_INT24,     lumo::MYSQL_TYPE_DATE,     lumo::MYSQL_TYPE_TIME,       lumo::MYSQL_TYPE_DATETIME,
    lumo::MYSQL_TYPE_YEAR,      lumo::MYSQL_TYPE_BIT,      lumo::MYSQL_TYPE_NEWDECIMAL, lumo::MYSQL_TYPE_BLOB,
    lumo::MYSQL_TYPE_VAR_STRING, lumo::MYSQL_TYPE_STRING,  lumo::MYSQL_TYPE_GEOMETRY,   lumo::MYSQL_TYPE_ENUM,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t count = (mode & 15) + 1u;
  if (size < 1 + count) return 0;
  TMySqlFieldInfos fields(count);
  for (std::size_t i = 0; i < count; ++i) {
    fields[i].MyType = kTypes[data[1 + i] % sizeof kTypes];
    fields[i].Flags = data[1 + i] & 0x80 ? std::uint32_t{field_flag::UNSIGNED} : 0u;
    fields[i].Scale = data[1 + i] & 0x40 ? 6 : 0;
  }
  const std::uint8_t* stream = data + 1 + count;
  TMySqlSession s;
  auto vio = std::make_unique<fuzz::TInputVio>(stream, size - 1 - count);
  vio->Connect();
  s.Net().SetVio(std::move(vio));
  s.Net().SetMaxAllowedPacketSize(1 << 20);
  s.Net().SetCompress(mode & 16);
  s.status = msUseResult;
  {
    TMySqlResultSet r(&s, static_cast<int>(count), fields, true);
    s.SetResultSet(&r);
    try {
      if (mode & 32) r.ReadRows();
      for (int row = 0; row < 100000 && r.Read(r.Bind()); ++row) {
        const TMySqlBinds& b = r.Bind();
        for (std::size_t i = 0; i < count; ++i) {
          const TMySqlBind& v = b.Binds[i];
          if (v.IsNull) continue;
          if (v.Offset < 0 || v.Length < 0 ||
              static_cast<std::size_t>(v.Offset) + static_cast<std::size_t>(v.Length) > b.BufferLength)
            __builtin_trap();
          char text[BinaryTextSize];
          const bool decodes = BinaryValueText(fields[i].MyType, fields[i].Flags & field_flag::UNSIGNED,
                                               fields[i].Scale, b.Buffer + v.Offset,
                                               static_cast<std::size_t>(v.Length), text) >= 0;
          const bool fixed = BinaryValueSize(fields[i].MyType) != 0;
          const bool temporal = fields[i].MyType == MYSQL_TYPE_DATE || fields[i].MyType == MYSQL_TYPE_TIME ||
                                fields[i].MyType == MYSQL_TYPE_DATETIME || fields[i].MyType == MYSQL_TYPE_TIMESTAMP;
          if ((fixed || temporal) && !decodes) __builtin_trap();
        }
      }
    } catch (const EMySqlException&) {
    }
    if (!r.Eof() && r.Session()) __builtin_trap();  // a result that stopped is finished
  }
  if (s.status != msReady && s.Net().vio()) __builtin_trap();
  return 0;
}
