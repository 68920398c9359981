// Fuzzes the parsers of server replies: OK (with session state changes),
// error and EOF packets, the authentication replies, length-encoded
// integers and the scan of query texts for LOAD DATA LOCAL INFILE file
// names. The first byte picks the parser; any input either parses or raises
// EMySqlException.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <lumokit/mysql/wire/MySqlHandshake.h>
#include <lumokit/mysql/wire/MySqlSession.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  ++data;
  --size;
  try {
    switch (selector % 7) {
      case 0:
        ParseOkPacket(data, size, selector & 8, selector & 16, selector & 32);
        break;
      case 1:
        RaiseErrorPacket(data, size);
      case 2:
        if (IsEofPacket(data, size)) ParseEofPacket(data, size);
        ParseEofPacket(data, size);
        break;
      case 3:
        ClassifyAuthReply(data, size, selector & 8);
        break;
      case 4:
        ParseAuthOk(data, size, selector & 8, selector & 16, selector & 32);
        break;
      case 5: {
        TMySqlPacketReader r(data, size);
        while (!r.AtEnd()) {
          std::int64_t n = r.ReadFieldLength();
          if (n > 0) r.Skip(static_cast<std::size_t>(n));
        }
        break;
      }
      case 6:
        LocalInfileNames(std::string_view(reinterpret_cast<const char*>(data), size), selector & 8);
        break;
    }
  } catch (const EMySqlException&) {
  }
  return 0;
}
