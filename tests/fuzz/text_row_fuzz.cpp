// Fuzzes the reading of text rows: the input's first byte chooses the
// column count (low 4 bits + 1), compression (bit 4) and store mode (bit 5);
// the rest is the byte stream a server sends after the column definitions.
// Rows are read through a result set until the end or the first error, and
// every value must lie inside its row; afterwards the session must be ready
// or have dropped its connection.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <lumokit/mysql/wire/MySqlSession.h>
#include "FuzzInputVio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const int count = (mode & 15) + 1;
  TMySqlSession s;
  auto vio = std::make_unique<fuzz::TInputVio>(data + 1, size - 1);
  vio->Connect();
  s.Net().SetVio(std::move(vio));
  s.Net().SetMaxAllowedPacketSize(1 << 20);
  s.Net().SetCompress(mode & 16);
  s.fieldCount = count;
  s.fields.resize(static_cast<std::size_t>(count));
  s.status = msGetResult;
  {
    TMySqlResultSet r(s);
    try {
      if (mode & 32) r.ReadRows();
      for (int i = 0; i < 100000 && r.Read(r.Bind()); ++i) {
        const TMySqlBinds& b = r.Bind();
        for (const TMySqlBind& v : b.Binds) {
          if (v.IsNull) continue;
          if (v.Offset < 0 || v.Length < 0 ||
              static_cast<std::size_t>(v.Offset) + static_cast<std::size_t>(v.Length) > b.BufferLength)
            __builtin_trap();
        }
      }
    } catch (const EMySqlException&) {
    }
    if (!r.Eof() && r.Session()) __builtin_trap();  // a result that stopped is finished
  }
  if (s.status != msReady && s.Net().vio()) __builtin_trap();
  return 0;
}
