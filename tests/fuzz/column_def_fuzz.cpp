// Fuzzes the reading of column definitions. When the first byte is even,
// the rest is one definition, parsed in the 4.1 layout (bit 1) or the older
// one with (bit 2) or without the long flag. When it is odd, the rest is the
// byte stream a server sends after a query (column count, definitions, end
// of definitions, rows), read by the session as a query reply. Any input
// yields field descriptions or raises EMySqlException; nothing is read
// outside the input.
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
  try {
    if (!(mode & 1)) {
      const TMySqlFieldInfo f = ParseFieldInfo(data + 1, size - 1, mode & 2, mode & 4);
      // Every text comes from the input.
      for (const std::string* t : {&f.Name, &f.Table, &f.OrgTable, &f.OrgName, &f.Database})
        if (t->size() >= size) __builtin_trap();
      return 0;
    }
    TMySqlSession s;
    auto vio = std::make_unique<fuzz::TInputVio>(data + 1, size - 1);
    vio->Connect();
    s.Net().SetVio(std::move(vio));
    s.Net().SetMaxAllowedPacketSize(1 << 20);
    s.Net().SetCompress(mode & 2);
    const std::uint32_t caps = (mode & 4 ? client::PROTOCOL_41 : 0u) | (mode & 8 ? client::LONG_FLAG : 0u);
    s.serverCapabilities = static_cast<std::int32_t>(caps);
    s.SetClientFlag(caps);
    s.ReadQueryResult();
    if (s.fields.size() != static_cast<std::size_t>(s.fieldCount)) __builtin_trap();
    s.FreeQuery();
  } catch (const EMySqlException&) {
  }
  return 0;
}
