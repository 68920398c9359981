// Memory helpers of the data core: the owning object list, pointer
// arithmetic and buffer copies, and the replaceable compression hooks that
// packet compression and compressed large objects go through (zlib by
// default).
//
// Decisions: the hooks take 64-bit sizes; the zlib defaults reject sources
// and capacities above UINT32_MAX with a compression error instead of
// truncating them. The uncompressor never writes past the capacity it is
// given, whatever the input. zlib reports an output buffer that filled up
// before the stream ended as Z_BUF_ERROR (a negative result); that case
// raises "ZLib error: target buffer may be too small", as does any other
// non-final result, while corrupt, truncated or dictionary-needing input
// raises "Error". A missing hook raises "Compressor function is not linked"
// or "Uncompressor function is not linked". All are ECompressionError.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

// ---- the owning list ---------------------------------------------------------

// A list of owned objects (entries may be empty): an object is destroyed when
// it is deleted from the list, replaced, or when the list is cleared or
// destroyed. Indexes out of range raise EArgumentError "List index out of
// bounds (%d)".
template <typename T>
class TDAObjectList {
 public:
  TDAObjectList() = default;
  TDAObjectList(TDAObjectList&&) noexcept = default;
  TDAObjectList& operator=(TDAObjectList&&) noexcept = default;
  virtual ~TDAObjectList() = default;

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  T* Items(int index) const { return FItems[Checked(index)].get(); }
  T* operator[](int index) const { return Items(index); }
  T* First() const { return Items(0); }
  T* Last() const { return Items(Count() - 1); }

  int Add(std::unique_ptr<T> item) {
    FItems.push_back(std::move(item));
    return Count() - 1;
  }
  void Insert(int index, std::unique_ptr<T> item) {
    if (index != Count()) Checked(index);
    FItems.insert(FItems.begin() + index, std::move(item));
  }
  // Replaces the entry, destroying the object it held.
  void SetItem(int index, std::unique_ptr<T> item) { FItems[Checked(index)] = std::move(item); }
  void Delete(int index) { FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(Checked(index))); }
  // Takes the object out of the list without destroying it.
  std::unique_ptr<T> Extract(int index) {
    std::size_t i = Checked(index);
    std::unique_ptr<T> item = std::move(FItems[i]);
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
    return item;
  }
  int IndexOf(const T* item) const noexcept {
    for (std::size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i].get() == item) return static_cast<int>(i);
    return -1;
  }
  // Deletes (and destroys) the object; returns its former index or -1.
  int Remove(const T* item) {
    int i = IndexOf(item);
    if (i >= 0) Delete(i);
    return i;
  }
  void Move(int curIndex, int newIndex) {
    if (curIndex == newIndex) return;
    Checked(newIndex);
    std::unique_ptr<T> item = Extract(curIndex);
    FItems.insert(FItems.begin() + newIndex, std::move(item));
  }
  // Grows with empty entries or shrinks, destroying the objects cut off.
  void SetCount(int count) {
    if (count < 0) RaiseIndex(count);
    FItems.resize(static_cast<std::size_t>(count));
  }
  void Clear() noexcept { FItems.clear(); }

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

 private:
  [[noreturn]] static void RaiseIndex(int index) {
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  }
  std::size_t Checked(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= FItems.size()) RaiseIndex(index);
    return static_cast<std::size_t>(index);
  }

  std::vector<std::unique_ptr<T>> FItems;
};

// ---- pointers and buffers ------------------------------------------------------

inline void* PtrOffset(void* p, std::ptrdiff_t n) noexcept { return static_cast<std::uint8_t*>(p) + n; }
inline const void* PtrOffset(const void* p, std::ptrdiff_t n) noexcept {
  return static_cast<const std::uint8_t*>(p) + n;
}
// -1, 0 or 1 by address.
int PtrCompare(const void* p, const void* q) noexcept;

// A byte move (the ranges may overlap).
void CopyBuffer(const void* source, void* dest, std::size_t count) noexcept;
// Copies min(count, source length) characters of the text to dest.
void CopyBufferAnsi(std::string_view source, void* dest, std::size_t count) noexcept;
void CopyBufferUni(std::u16string_view source, void* dest, std::size_t count) noexcept;
void FillChar(void* dest, std::size_t count, std::uint8_t value) noexcept;

// ---- compression hooks ---------------------------------------------------------

class ECompressionError : public Exception {
 public:
  using Exception::Exception;
};

// Data of at most this many bytes is sent and stored uncompressed.
inline constexpr std::uint64_t MIN_COMPRESS_LENGTH = 50;

// (Dest, DestLen, Source, SourceLen): DestLen holds the capacity of Dest on
// entry and the bytes produced on return; failures raise.
using TCompressProc = void (*)(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen);

TCompressProc CompressProc() noexcept;
TCompressProc UncompressProc() noexcept;
// nullptr unlinks a hook.
void SetCompressProc(TCompressProc proc) noexcept;
void SetUncompressProc(TCompressProc proc) noexcept;

// Raises when either hook is missing.
void CheckZLib();
void DoCompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen);
void DoUncompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen);

// The zlib defaults (zlib format, default level, one call with finish).
void ZLibCompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen);
void ZLibUncompress(void* dest, std::uint64_t& destLen, const void* source, std::uint64_t sourceLen);
// Capacity that always suffices for ZLibCompress of sourceLen bytes.
std::uint64_t ZLibCompressBound(std::uint64_t sourceLen) noexcept;

}  // namespace lumo
