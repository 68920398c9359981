// Byte streams: the abstract TStream that large objects, scripts, dumps and
// the form reader read and write, with memory and file streams. Sizes and
// positions are 64-bit. Read and Write move as many bytes as they can and
// return the count; ReadBuffer and WriteBuffer raise EStreamError when the
// full count cannot be moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace lumo {

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class EFOpenError : public EStreamError {
 public:
  EFOpenError(std::string message, int errorCode) : EStreamError(std::move(message)), FErrorCode(errorCode) {}
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Moves up to `count` bytes; returns how many were moved (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t newSize) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Raise EStreamError ("Stream read error" / "Stream write error") when
  // fewer than `count` bytes could be moved.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies `count` bytes from `source` (its whole content from position 0
  // when count is 0); returns the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

}  // namespace lumo
