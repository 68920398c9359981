// Byte streams: the abstract TStream that large objects, scripts, dumps and
// the form reader read and write, with memory and file streams and a writer
// that replaces a file safely (temporary file in the same folder, fsync,
// rename). Sizes and positions are 64-bit. Read and Write move as many bytes
// as they can and return the count; ReadBuffer and WriteBuffer raise
// EStreamError when the full count cannot be moved.
//
// Decisions: seeking to a negative position raises EStreamError "Stream seek
// error" (a memory stream may be positioned past its end: reads there return
// 0 and a write fills the gap with zero bytes). POSIX has no mandatory share
// modes, so the fmShare* flags are accepted and ignored. SaveToFile of the
// streams here replaces the target through TSafeFileWriter, so a failed
// save never leaves a half-written file behind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/SysUtils.h>

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
  // Default: seeks to the end and back.
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t newSize) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Raise EStreamError ("Stream read error" / "Stream write error") when
  // fewer than `count` bytes could be moved.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  void WriteBuffer(std::string_view bytes) { WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size())); }
  // Copies `count` bytes from `source` at its position (its whole content
  // from position 0, read until its end, when count is 0) in chunks of
  // CopyChunkSize bytes; returns the bytes copied. A negative count raises
  // EArgumentError.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
  // The bytes from the current position to the end.
  std::string ReadToEnd();

  static constexpr std::int64_t CopyChunkSize = 65536;
};

// A growable in-memory buffer. Capacity grows geometrically; Memory() stays
// valid until the next operation that changes the size or capacity.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  // Shrinking moves a position past the new end to the end.
  void SetSize(std::int64_t newSize) override;

  std::uint8_t* Memory() noexcept { return FData.data(); }
  const std::uint8_t* Memory() const noexcept { return FData.data(); }
  std::int64_t Capacity() const noexcept { return static_cast<std::int64_t>(FData.capacity()); }
  void SetCapacity(std::int64_t value);
  // Empties the stream and releases its memory.
  void Clear();

  // Replaces the content with the whole of `source` (read from its position
  // 0 to its end); the position becomes 0.
  void LoadFromStream(TStream& source);
  void LoadFromFile(const std::string& fileName);
  // Writes the whole content to `dest` at its current position.
  void SaveToStream(TStream& dest) const;
  void SaveToFile(const std::string& fileName) const;

  std::string_view View() const noexcept {
    return {reinterpret_cast<const char*>(FData.data()), FData.size()};
  }

 protected:
  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
};

// A memory stream over a byte array.
class TBytesStream : public TMemoryStream {
 public:
  TBytesStream() = default;
  explicit TBytesStream(std::vector<std::uint8_t> bytes) { FData = std::move(bytes); }
  const std::vector<std::uint8_t>& Bytes() const noexcept { return FData; }
};

// A memory stream over 8-bit text.
class TStringStream : public TMemoryStream {
 public:
  TStringStream() = default;
  explicit TStringStream(std::string_view text) { FData.assign(text.begin(), text.end()); }
  std::string DataString() const { return std::string(View()); }
};

// File open modes. fmCreate creates the file or truncates an existing one
// and opens it for reading and writing.
enum : std::uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

// A file through a POSIX descriptor (O_CLOEXEC, 64-bit offsets, EINTR
// retried). Open failure raises EFOpenError "Cannot open file \"%s\". %s",
// create failure "Cannot create file \"%s\". %s", with the system's text.
class TFileStream : public TStream {
 public:
  // `rights` are the permission bits of a created file (before the umask).
  TFileStream(const std::string& fileName, std::uint32_t mode, mode_t rights = 0666);
  ~TFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t newSize) override;

  // Writes the file's data to the device (fsync); raises EStreamError.
  void Flush();
  const std::string& FileName() const noexcept { return FFileName; }
  int Handle() const noexcept { return FHandle; }
  // errno of the last failed read or write, 0 when none failed.
  int LastError() const noexcept { return FLastError; }

 protected:
  // Takes over an open descriptor.
  TFileStream(std::string fileName, int handle) : FFileName(std::move(fileName)), FHandle(handle) {}
  void CloseHandle() noexcept;

  std::string FFileName;
  int FHandle = -1;
  int FLastError = 0;
};

// Replaces a file safely: bytes go to a temporary file in the target's
// folder; Commit() flushes it to the device, renames it over the target and
// syncs the folder. Destroying the writer without Commit() (an exception
// while writing) removes the temporary file and leaves the target as it was.
// A new file gets `rights` (before the umask); a replaced file keeps its
// permission bits. Commit failures raise EStreamError
// "Cannot replace file \"%s\". %s"; a write that failed earlier (even one
// whose short count the caller ignored) makes Commit fail as well.
class TSafeFileWriter : public TFileStream {
 public:
  explicit TSafeFileWriter(const std::string& fileName, mode_t rights = 0666);
  ~TSafeFileWriter() override;

  void Commit();
  bool Committed() const noexcept { return FCommitted; }
  const std::string& TempFileName() const noexcept { return FTempName; }

 private:
  std::string FTempName;
  bool FCommitted = false;
};

// Replaces the file with `bytes` through TSafeFileWriter.
void ReplaceFileContents(const std::string& fileName, std::string_view bytes, mode_t rights = 0666);
// Replaces the file with what `writer` writes; when `writer` throws, the
// target is left untouched and the exception propagates.
void ReplaceFile(const std::string& fileName, const std::function<void(TStream&)>& writer,
                 mode_t rights = 0666);

}  // namespace lumo
