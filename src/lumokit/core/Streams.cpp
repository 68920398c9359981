#include <lumokit/core/Streams.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include <lumokit/core/Format.h>

namespace lumo {

namespace {

// One system call moves at most this many bytes (Linux caps a single read or
// write a little below 2 GiB anyway).
constexpr std::int64_t MaxIoChunk = std::int64_t{1} << 30;

[[noreturn]] void RaiseSeekError() { throw EStreamError("Stream seek error"); }

std::string FolderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---------------------------------------------------------------- TStream

std::int64_t TStream::Size() {
  std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count <= 0) return;
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  // A stream may deliver less than asked without being at its end (a pipe);
  // only a read that moves nothing ends the attempt.
  while (done < count) {
    std::int64_t n = Read(p + done, count - done);
    if (n <= 0) throw EStreamError("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count <= 0) return;
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    std::int64_t n = Write(p + done, count - done);
    if (n <= 0) throw EStreamError("Stream write error");
    done += n;
  }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count < 0) throw EArgumentError(Format("Invalid copy count (%d)", {count}));
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(CopyChunkSize));
  std::int64_t total = 0;
  if (count == 0) {
    source.SetPosition(0);
    for (;;) {
      std::int64_t n = source.Read(chunk.data(), CopyChunkSize);
      if (n <= 0) break;
      WriteBuffer(chunk.data(), n);
      total += n;
    }
    return total;
  }
  while (total < count) {
    std::int64_t n = std::min(CopyChunkSize, count - total);
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    total += n;
  }
  return total;
}

std::string TStream::ReadToEnd() {
  std::string result;
  char chunk[16384];
  for (;;) {
    std::int64_t n = Read(chunk, sizeof chunk);
    if (n <= 0) break;
    result.append(chunk, static_cast<std::size_t>(n));
  }
  return result;
}

// ---------------------------------------------------------- TMemoryStream

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const auto size = static_cast<std::int64_t>(FData.size());
  if (count <= 0 || FPosition >= size) return 0;
  std::int64_t n = std::min(count, size - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (count > std::numeric_limits<std::int64_t>::max() - FPosition) return 0;
  std::int64_t end = FPosition + count;
  if (end > static_cast<std::int64_t>(FData.size())) SetSize(end);
  std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = static_cast<std::int64_t>(FData.size()); break;
  }
  if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) || base + offset < 0)
    RaiseSeekError();
  FPosition = base + offset;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
  if (newSize < 0) throw EStreamError("Stream write error");
  auto wanted = static_cast<std::size_t>(newSize);
  if (wanted > FData.capacity()) {
    // Grow by half again at least, so that a stream written in small pieces
    // reallocates a logarithmic number of times.
    std::size_t cap = FData.capacity();
    std::size_t next = cap + cap / 2;
    if (next < wanted) next = wanted;
    if (next < 256) next = 256;
    FData.reserve(next);
  }
  FData.resize(wanted);
  if (FPosition > newSize) FPosition = newSize;
}

void TMemoryStream::SetCapacity(std::int64_t value) {
  if (value < static_cast<std::int64_t>(FData.size())) return;
  FData.reserve(static_cast<std::size_t>(value));
}

void TMemoryStream::Clear() {
  std::vector<std::uint8_t>().swap(FData);
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  std::vector<std::uint8_t> data;
  source.SetPosition(0);
  std::int64_t size = source.Size();
  if (size > 0) data.reserve(static_cast<std::size_t>(size));
  std::uint8_t chunk[65536];
  for (;;) {
    std::int64_t n = source.Read(chunk, sizeof chunk);
    if (n <= 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  FData = std::move(data);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& dest) const {
  if (!FData.empty()) dest.WriteBuffer(FData.data(), static_cast<std::int64_t>(FData.size()));
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
  ReplaceFileContents(fileName, View());
}

// ------------------------------------------------------------ TFileStream

TFileStream::TFileStream(const std::string& fileName, std::uint32_t mode, mode_t rights)
    : FFileName(fileName) {
  int flags = O_CLOEXEC;
  bool create = (mode & 0xFF00) == fmCreate;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x0003) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  int fd;
  do {
    fd = ::open(fileName.c_str(), flags, rights);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    throw EFOpenError(Format(create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s",
                             {fileName, SysErrorMessage(err)}),
                      err);
  }
  FHandle = fd;
}

TFileStream::~TFileStream() { CloseHandle(); }

void TFileStream::CloseHandle() noexcept {
  if (FHandle >= 0) {
    // Not retried on EINTR: on Linux the descriptor is released either way.
    ::close(FHandle);
    FHandle = -1;
  }
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    std::int64_t want = std::min(count - done, MaxIoChunk);
    ssize_t n = ::read(FHandle, p + done, static_cast<std::size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      FLastError = errno;
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    std::int64_t want = std::min(count - done, MaxIoChunk);
    ssize_t n = ::write(FHandle, p + done, static_cast<std::size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      FLastError = errno;
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  if (r < 0) RaiseSeekError();
  return static_cast<std::int64_t>(r);
}

std::int64_t TFileStream::Size() {
  struct stat st;
  if (::fstat(FHandle, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<std::int64_t>(st.st_size);
  return TStream::Size();
}

void TFileStream::SetSize(std::int64_t newSize) {
  int r;
  do {
    r = ::ftruncate(FHandle, static_cast<off_t>(newSize));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    throw EStreamError(Format("Cannot set the size of file \"%s\". %s", {FFileName, SysErrorMessage(errno)}));
  }
  // Like a memory stream: a position past the new end moves to the end.
  if (Position() > newSize) SetPosition(newSize);
}

void TFileStream::Flush() {
  int r;
  do {
    r = ::fsync(FHandle);
  } while (r < 0 && errno == EINTR);
  if (r < 0) throw EStreamError(Format("Cannot flush file \"%s\". %s", {FFileName, SysErrorMessage(errno)}));
}

// -------------------------------------------------------- TSafeFileWriter

namespace {

// The file a write should land in: a symbolic link is followed, so that the
// link stays and its target gets the new content.
std::string ResolveTarget(const std::string& fileName) {
  struct stat st;
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(fileName.c_str(), nullptr);
    if (real) {
      std::string result(real);
      std::free(real);
      return result;
    }
  }
  return fileName;
}

std::string UniqueSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uint64_t v = rng() ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string s;
  for (int i = 0; i < 10; ++i) {
    s += digits[v % 36];
    v /= 36;
  }
  return s;
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems refuse fsync on a folder (EINVAL); the rename itself
  // has happened, so that is not a failure of the replacement.
  while (::fsync(fd) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace

TSafeFileWriter::TSafeFileWriter(const std::string& fileName, mode_t rights) : TFileStream(fileName, -1) {
  const std::string target = ResolveTarget(fileName);
  const std::string folder = FolderOf(target);
  // Long names are cut so that the temporary name stays within NAME_MAX.
  const std::string base = BaseNameOf(target).substr(0, 200);
  int fd = -1;
  int err = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = folder + "/." + base + ".tmp" + UniqueSuffix();
    do {
      fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, rights);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      FTempName = std::move(temp);
      break;
    }
    err = errno;
    if (err != EEXIST) break;
  }
  if (fd < 0) {
    throw EFOpenError(Format("Cannot create file \"%s\". %s", {fileName, SysErrorMessage(err)}), err);
  }
  FHandle = fd;
  // A replaced file keeps its permission bits.
  struct stat st;
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);
  FFileName = target;
}

TSafeFileWriter::~TSafeFileWriter() {
  if (!FCommitted) {
    CloseHandle();
    if (!FTempName.empty()) ::unlink(FTempName.c_str());
  }
}

void TSafeFileWriter::Commit() {
  if (FCommitted) return;
  auto fail = [this](int err) {
    CloseHandle();
    ::unlink(FTempName.c_str());
    FTempName.clear();
    throw EStreamError(Format("Cannot replace file \"%s\". %s", {FFileName, SysErrorMessage(err)}));
  };
  if (FHandle < 0) fail(EBADF);
  if (FLastError != 0) fail(FLastError);
  int r;
  do {
    r = ::fsync(FHandle);
  } while (r < 0 && errno == EINTR);
  if (r < 0) fail(errno);
  // close() can report a delayed write error (network file systems).
  int fd = FHandle;
  FHandle = -1;
  if (::close(fd) < 0 && errno != EINTR) fail(errno);
  if (::rename(FTempName.c_str(), FFileName.c_str()) < 0) fail(errno);
  FCommitted = true;
  SyncFolder(FolderOf(FFileName));
}

void ReplaceFile(const std::string& fileName, const std::function<void(TStream&)>& writer, mode_t rights) {
  TSafeFileWriter file(fileName, rights);
  writer(file);
  file.Commit();
}

void ReplaceFileContents(const std::string& fileName, std::string_view bytes, mode_t rights) {
  TSafeFileWriter file(fileName, rights);
  file.WriteBuffer(bytes);
  file.Commit();
}

}  // namespace lumo
