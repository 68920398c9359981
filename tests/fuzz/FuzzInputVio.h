// A transport that reads a fuzz input as if a server had sent it: reads
// come straight from the bytes and end where they end; writes are swallowed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <lumokit/net/KxVio.h>

namespace lumo::fuzz {

class TInputVio : public TKxVio {
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
  // Straight from the input, without the pause a socket read takes when the
  // stream ends.
  std::size_t Read(void* buffer, std::size_t offset, std::size_t count) override {
    return ReadNoWait(buffer, offset, count);
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

}  // namespace lumo::fuzz
