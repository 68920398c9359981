// Fuzzes the packet layer's receiving side: the input is the byte stream a
// server sends, read as compressed packets (or plain packets when the first
// byte is odd) until it ends. Any input yields payloads or raises
// EMySqlException (or the argument error of an oversized stored row);
// nothing is read outside the input and nothing grows past the cap.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <lumokit/mysql/wire/MySqlNet.h>
#include "FuzzInputVio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  auto vio = std::make_unique<fuzz::TInputVio>(data + 1, size - 1);
  vio->Connect();
  TMySqlNet net;
  net.SetVio(std::move(vio));
  net.SetCompress(!(mode & 1));
  net.SetMaxAllowedPacketSize(1 << 20);
  std::vector<std::uint8_t> row;
  try {
    for (int i = 0; i < 64; ++i) {
      switch ((mode >> 1) % 3) {
        case 0:
          net.Receive();
          if (net.PayloadLength()) net.ReadByte();
          break;
        case 1:
          net.ReceiveBuffer(row);
          break;
        case 2:
          net.SkipPacket();
          break;
      }
    }
  } catch (const EMySqlException&) {
  } catch (const EArgumentError&) {
  }
  return 0;
}
