#include <lumokit/data/MemUtils.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>

namespace lumo {

int PtrCompare(const void* p, const void* q) noexcept {
  std::less<const void*> less;
  return less(p, q) ? -1 : less(q, p) ? 1 : 0;
}

void CopyBuffer(const void* source, void* dest, std::size_t count) noexcept {
  if (count) std::memmove(dest, source, count);
}

void CopyBufferAnsi(std::string_view source, void* dest, std::size_t count) noexcept {
  CopyBuffer(source.data(), dest, std::min(count, source.size()));
}

void CopyBufferUni(std::u16string_view source, void* dest, std::size_t count) noexcept {
  CopyBuffer(source.data(), dest, std::min(count, source.size()) * sizeof(char16_t));
}

void FillChar(void* dest, std::size_t count, std::uint8_t value) noexcept {
  if (count) std::memset(dest, value, count);
}

// ---- compression hooks ---------------------------------------------------------

namespace {

std::atomic<TCompressProc> gCompress{&ZLibCompress};
std::atomic<TCompressProc> gUncompress{&ZLibUncompress};

[[noreturn]] void RaiseZError() { throw ECompressionError("Error"); }
[[noreturn]] void RaiseTooSmall() { throw ECompressionError("ZLib error: target buffer may be too small"); }

void CheckSizes(void* dest, std::uint64_t destLen, const void* source, std::uint64_t sourceLen) {
  if (sourceLen > UINT32_MAX || destLen > UINT32_MAX)
    throw ECompressionError(Format("Data too large for zlib (%u bytes)", {std::max(sourceLen, destLen)}));
  if ((!source && sourceLen) || (!dest && destLen)) throw ECompressionError("Error");
}

// Classifies a final zlib result: the output filled before the stream ended
// means the target was too small; anything else that is not stream end is a
// failure of the data or of zlib.
void CheckResult(int ret, const z_stream& s) {
  if (ret == Z_STREAM_END) return;
  if ((ret == Z_OK || ret == Z_BUF_ERROR) && s.avail_out == 0) RaiseTooSmall();
  if (ret < 0 || ret == Z_NEED_DICT) RaiseZError();
  RaiseTooSmall();
}

}  // namespace

TCompressProc CompressProc() noexcept { return gCompress.load(); }
TCompressProc UncompressProc() noexcept { return gUncompress.load(); }
void SetCompressProc(TCompressProc proc) noexcept { gCompress.store(proc); }
void SetUncompressProc(TCompressProc proc) noexcept { gUncompress.store(proc); }

void CheckZLib() {
  if (!gCompress.load()) throw ECompressionError("Compressor function is not linked");
  if (!gUncompress.load()) throw ECompressionError("Uncompressor function is not linked");
}

void DoCompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen) {
  TCompressProc proc = gCompress.load();
  if (!proc) throw ECompressionError("Compressor function is not linked");
  proc(dest, destLen, source, sourceLen);
}

void DoUncompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen) {
  TCompressProc proc = gUncompress.load();
  if (!proc) throw ECompressionError("Uncompressor function is not linked");
  proc(dest, destLen, source, sourceLen);
}

void ZLibCompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen) {
  CheckSizes(dest, destLen, source, sourceLen);
  z_stream s{};
  if (deflateInit(&s, Z_DEFAULT_COMPRESSION) != Z_OK) RaiseZError();
  s.next_in = static_cast<Bytef*>(const_cast<void*>(source));
  s.avail_in = static_cast<uInt>(sourceLen);
  Bytef none = 0;  // zlib wants an output pointer even for no room
  s.next_out = dest ? static_cast<Bytef*>(dest) : &none;
  s.avail_out = static_cast<uInt>(destLen);
  int ret = deflate(&s, Z_FINISH);
  std::uint64_t produced = s.total_out;
  deflateEnd(&s);
  CheckResult(ret, s);
  destLen = produced;
}

void ZLibUncompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen) {
  CheckSizes(dest, destLen, source, sourceLen);
  z_stream s{};
  if (inflateInit(&s) != Z_OK) RaiseZError();
  s.next_in = static_cast<Bytef*>(const_cast<void*>(source));
  s.avail_in = static_cast<uInt>(sourceLen);
  Bytef none = 0;  // zlib wants an output pointer even for no room
  s.next_out = dest ? static_cast<Bytef*>(dest) : &none;
  s.avail_out = static_cast<uInt>(destLen);
  int ret = inflate(&s, Z_FINISH);
  std::uint64_t produced = s.total_out;
  inflateEnd(&s);
  CheckResult(ret, s);
  destLen = produced;
}

std::uint64_t ZLibCompressBound(std::uint64_t sourceLen) noexcept {
  return compressBound(static_cast<uLong>(sourceLen));
}

}  // namespace lumo
