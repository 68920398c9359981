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

#include "MySqlSession.h"

namespace {

class TInputVio : public lumo::TKxVio {
 public:
  TInputVio(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  int GetTimeout() const override { return 0; }
  void SetTimeout(int) override {}
  void Close() override {}
  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override {
    const std::size_t n = std::min(count, FSize - FPos);
    if (n) std::memcpy(static_cast<std::uint8_t*>(buffer) + offset, FData + FPos, n);
    FPos += n;
    return n;
  }
  std::size_t WriteNoWait(const void*, std::size_t, std::size_t count) override { return count; }
  std::size_t Read(void* buffer, std::size_t offset, std::size_t count) override {
    return ReadNoWait(buffer, offset, count);
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const int count = (mode & 15) + 1;
  TMySqlSession s;
  auto vio = std::make_unique<TInputVio>(data + 1, size - 1);
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
