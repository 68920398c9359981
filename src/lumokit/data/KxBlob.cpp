#include <lumokit/data/KxBlob.h>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

#include <lumokit/core/CodePages.h>
#include <lumokit/data/MemUtils.h>

namespace lumo {

namespace {

constexpr std::int64_t kChunk = 65536;
constexpr std::int64_t kMaxPieceSize = INT64_MAX - static_cast<std::int64_t>(sizeof(TPieceHeader));

[[noreturn]] void RaisePosition() { throw EArgumentError("Invalid BLOB position"); }
[[noreturn]] void RaiseBlobPosition() { throw EBlobError("Invalid BLOB position"); }

void CheckArgs(std::int64_t position, std::int64_t count) {
  if (position < 0 || count < 0) RaisePosition();
}

// ---- inflating with a bound ---------------------------------------------------

enum class TInflate { Ok, Stopped, SizeMismatch, Corrupt };

[[noreturn]] void RaiseInflate(TInflate result) {
  if (result == TInflate::SizeMismatch) throw EBlobError("Invalid uncompressed blob size");
  throw EBlobError("Invalid compressed blob data");
}

struct TInflateStream {
  z_stream s{};
  bool ready = false;
  ~TInflateStream() {
    if (ready) inflateEnd(&s);
  }
};

// Inflates a zlib stream that must produce exactly `expected` bytes and use
// all of its input, either into dest (capacity `expected`) or, with dest
// nullptr, in chunks to `sink`.
TInflate ZLibInflateExact(const std::uint8_t* src, std::uint64_t srcLen, std::uint8_t* dest,
                          std::uint64_t expected, const TBlobChunkProc* sink) {
  constexpr std::uint64_t kStep = 1u << 30;  // fits zlib's 32-bit counters
  TInflateStream z;
  if (inflateInit(&z.s) != Z_OK) throw std::bad_alloc();
  z.ready = true;
  std::vector<std::uint8_t> chunk(dest ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(expected, kChunk)));
  std::uint8_t scratch = 0;
  const std::uint8_t* in = src;
  std::uint64_t inLeft = srcLen;
  std::uint64_t produced = 0;
  for (;;) {
    if (z.s.avail_in == 0 && inLeft > 0) {
      const std::uint64_t take = std::min(inLeft, kStep);
      z.s.next_in = const_cast<Bytef*>(in);
      z.s.avail_in = static_cast<uInt>(take);
      in += take;
      inLeft -= take;
    }
    std::uint8_t* out;
    std::uint64_t room;
    if (produced < expected) {
      room = std::min(expected - produced, dest ? kStep : static_cast<std::uint64_t>(chunk.size()));
      out = dest ? dest + produced : chunk.data();
    } else {
      room = 1;  // one byte more than announced would mean the stream runs long
      out = &scratch;
    }
    z.s.next_out = out;
    z.s.avail_out = static_cast<uInt>(room);
    const uInt inBefore = z.s.avail_in;
    const int ret = inflate(&z.s, Z_NO_FLUSH);
    const std::uint64_t got = room - z.s.avail_out;
    if (got > 0 && produced >= expected) return TInflate::SizeMismatch;
    produced += got;
    if (got > 0 && sink && !(*sink)(out, static_cast<std::int64_t>(got))) return TInflate::Stopped;
    if (ret == Z_STREAM_END) {
      if (produced != expected) return TInflate::SizeMismatch;
      return z.s.avail_in == 0 && inLeft == 0 ? TInflate::Ok : TInflate::Corrupt;
    }
    if (ret != Z_OK && ret != Z_BUF_ERROR) return TInflate::Corrupt;
    // No progress with room to write: the input ended before the stream did.
    if (got == 0 && z.s.avail_in == inBefore) return TInflate::Corrupt;
  }
}

// Inflates through the uncompressor hook: the zlib default runs the bounded
// streaming inflate above, a replaced hook gets one call with a capacity of
// exactly `expected` bytes.
TInflate InflateExact(const std::uint8_t* src, std::uint64_t srcLen, std::uint8_t* dest, std::uint64_t expected,
                      const TBlobChunkProc* sink) {
  const TCompressProc hook = UncompressProc();
  if (!hook) throw ECompressionError("Uncompressor function is not linked");
  if (hook == &ZLibUncompress) return ZLibInflateExact(src, srcLen, dest, expected, sink);
  std::vector<std::uint8_t> temp;
  if (!dest) {
    temp.resize(static_cast<std::size_t>(expected));
    dest = temp.data();
  }
  std::uint64_t len = expected;
  try {
    DoUncompress(expected ? dest : nullptr, len, src, srcLen);
  } catch (const ECompressionError&) {
    return TInflate::Corrupt;
  }
  if (len != expected) return TInflate::SizeMismatch;
  if (sink) {
    for (std::uint64_t off = 0; off < len; off += kChunk)
      if (!(*sink)(dest + off, static_cast<std::int64_t>(std::min<std::uint64_t>(kChunk, len - off))))
        return TInflate::Stopped;
  }
  return TInflate::Ok;
}

// ---- text walkers --------------------------------------------------------------

bool IsHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

// Splits UTF-16 content delivered in arbitrary byte chunks into characters:
// the callback gets the code units of one character (1 or 2) and returns
// false to stop. A trailing odd byte is not part of the text.
class TUtf16Walker {
 public:
  template <class F>
  bool Feed(const std::uint8_t* p, std::int64_t n, F&& each) {
    for (std::int64_t i = 0; i < n; ++i) {
      if (!FHaveByte) {
        FByte = p[i];
        FHaveByte = true;
        continue;
      }
      FHaveByte = false;
      const std::uint8_t pair[2] = {FByte, p[i]};
      char16_t u;
      std::memcpy(&u, pair, 2);
      if (!Unit(u, each)) return false;
    }
    return true;
  }
  template <class F>
  bool Finish(F&& each) {
    if (FHaveHigh) {
      FHaveHigh = false;
      const char16_t lone[1] = {FHigh};
      return each(lone, 1);
    }
    return true;
  }

 private:
  template <class F>
  bool Unit(char16_t u, F&& each) {
    if (FHaveHigh) {
      FHaveHigh = false;
      if (IsLowSurrogate(u)) {
        const char16_t pair[2] = {FHigh, u};
        return each(pair, 2);
      }
      const char16_t lone[1] = {FHigh};
      if (!each(lone, 1)) return false;
    }
    if (IsHighSurrogate(u)) {
      FHaveHigh = true;
      FHigh = u;
      return true;
    }
    const char16_t one[1] = {u};
    return each(one, 1);
  }

  bool FHaveByte = false;
  std::uint8_t FByte = 0;
  bool FHaveHigh = false;
  char16_t FHigh = 0;
};

// Splits UTF-8 content delivered in chunks into characters: the callback
// gets the bytes one character takes and the UTF-16 units it becomes (an
// ill-formed subsequence is one U+FFFD).
class TUtf8Walker {
 public:
  template <class F>
  bool Feed(const std::uint8_t* p, std::int64_t n, bool final, F&& each) {
    if (n > 0) FStage.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
    const char* q = FStage.data();
    const char* end = q + FStage.size();
    bool go = true;
    while (go && q < end && (final || end - q >= 4)) {
      char32_t cp;
      const std::size_t used = DecodeUtf8Char(q, end, cp);
      go = each(static_cast<std::int64_t>(used), cp != kInvalidUtf8 && cp > 0xFFFF ? 2 : 1);
      q += used;
    }
    FStage.erase(0, static_cast<std::size_t>(q - FStage.data()));
    return go;
  }

 private:
  std::string FStage;
};

enum class TPageKind { Utf8, SingleByte, MultiByte };

TPageKind PageKind(int page) {
  if (page == CP_UTF8) return TPageKind::Utf8;
  return CodePageMaxBytesPerChar(page) == 1 ? TPageKind::SingleByte : TPageKind::MultiByte;
}

// Bytes one UTF-16 character takes in the 8-bit page.
std::int64_t AnsiLength(const char16_t* units, int count, int page, TPageKind kind) {
  switch (kind) {
    case TPageKind::Utf8: {
      if (count == 2) return 4;
      const char16_t u = units[0];
      return u < 0x80 ? 1 : u < 0x800 ? 2 : 3;  // a lone surrogate becomes U+FFFD
    }
    case TPageKind::SingleByte:
      return 1;
    case TPageKind::MultiByte:
      if (count == 1 && units[0] < 0x80) return 1;
      return static_cast<std::int64_t>(UnicodeToCodePage(std::u16string_view(units, count), page).size());
  }
  return 1;
}

// Builds a new chain of pieces for rewritten content: pieces of PieceSize
// bytes, or twice the input still to come when that is less than half a
// piece.
class TChainWriter {
 public:
  TChainWriter(std::int64_t pieceSize, std::int64_t inputSize) : FPieceSize(pieceSize), FInputLeft(inputSize) {}

  void Consumed(std::int64_t n) noexcept { FInputLeft -= n; }
  void Put(const void* p, std::int64_t n) {
    const auto* s = static_cast<const std::uint8_t*>(p);
    while (n > 0) {
      if (!FCurrent || FCurrent->Used == FCurrent->Size) NewPiece();
      const std::int64_t k = std::min(n, FCurrent->Size - FCurrent->Used);
      std::memcpy(PieceData(FCurrent) + FCurrent->Used, s, static_cast<std::size_t>(k));
      FCurrent->Used += k;
      s += k;
      n -= k;
    }
  }
  std::vector<TPiecePtr> Take() { return std::move(FPieces); }

 private:
  void NewPiece() {
    const std::int64_t rest = std::max<std::int64_t>(FInputLeft, 0);
    const std::int64_t size = 2 * rest < FPieceSize ? std::max<std::int64_t>(2 * rest, 8) : FPieceSize;
    FPieces.push_back(TKxBlobData::AllocPiece(size));
    FCurrent = FPieces.back().get();
  }

  std::int64_t FPieceSize;
  std::int64_t FInputLeft;
  std::vector<TPiecePtr> FPieces;
  TPieceHeader* FCurrent = nullptr;
};

void PutHeader(std::uint8_t* dest, std::int64_t size) {
  std::memcpy(dest, CCompressBlobHeaderGuid, CCompressBlobHeaderGuidSize);
  const auto v = static_cast<std::uint32_t>(size);
  for (int i = 0; i < 4; ++i) dest[CCompressBlobHeaderGuidSize + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

// ---- pieces ----------------------------------------------------------------------

void TPieceDeleter::operator()(TPieceHeader* piece) const noexcept { std::free(piece); }

std::uint8_t* PieceData(TPieceHeader* piece) noexcept {
  return piece ? reinterpret_cast<std::uint8_t*>(piece) + sizeof(TPieceHeader) : nullptr;
}

const std::uint8_t* PieceData(const TPieceHeader* piece) noexcept {
  return piece ? reinterpret_cast<const std::uint8_t*>(piece) + sizeof(TPieceHeader) : nullptr;
}

TPiecePtr TKxBlobData::AllocPiece(std::int64_t size) {
  LUMO_ASSERT(size > 0);
  if (size > kMaxPieceSize) throw std::bad_alloc();
  void* memory = std::malloc(sizeof(TPieceHeader) + static_cast<std::size_t>(size));
  if (!memory) throw std::bad_alloc();
  return TPiecePtr(new (memory) TPieceHeader{nullptr, size, 0});
}

void TKxBlobData::ReallocPiece(TPiecePtr& piece, std::int64_t size) {
  LUMO_ASSERT(piece && size >= 0);
  if (size == 0) {
    piece.reset();
    return;
  }
  if (size > kMaxPieceSize) throw std::bad_alloc();
  void* memory = std::realloc(piece.get(), sizeof(TPieceHeader) + static_cast<std::size_t>(size));
  if (!memory) throw std::bad_alloc();
  (void)piece.release();  // realloc took over the old block
  piece.reset(std::launder(static_cast<TPieceHeader*>(memory)));
  piece->Size = size;
  piece->Used = std::min(piece->Used, size);
}

TKxBlobData::~TKxBlobData() = default;

std::size_t TKxBlobData::IndexOfPiece(const TPieceHeader* piece) const {
  LUMO_ASSERT(piece && piece->Blob == this);
  for (std::size_t i = FPieces.size(); i-- > 0;)
    if (FPieces[i].get() == piece) return i;
  AssertionFailure(__FILE__, __LINE__);
}

TPieceHeader* TKxBlobData::ReallocPiece(TPieceHeader* piece, std::int64_t size) {
  const std::size_t i = IndexOfPiece(piece);
  if (size == 0) {
    FPieces.erase(FPieces.begin() + static_cast<std::ptrdiff_t>(i));
    return nullptr;
  }
  ReallocPiece(FPieces[i], size);
  return FPieces[i].get();
}

void TKxBlobData::AppendPiece(TPiecePtr piece) {
  LUMO_ASSERT(piece && !piece->Blob && piece->Used >= 0 && piece->Used <= piece->Size);
  piece->Blob = this;
  FPieces.push_back(std::move(piece));
}

TPiecePtr TKxBlobData::DeletePiece(TPieceHeader* piece) {
  const std::size_t i = IndexOfPiece(piece);
  TPiecePtr taken = std::move(FPieces[i]);
  FPieces.erase(FPieces.begin() + static_cast<std::ptrdiff_t>(i));
  taken->Blob = nullptr;
  return taken;
}

void TKxBlobData::FreePiece(TPieceHeader* piece) { DeletePiece(piece).reset(); }

TPieceHeader* TKxBlobData::CompressPiece(TPieceHeader* piece) { return ReallocPiece(piece, piece->Used); }

TPieceHeader* TKxBlobData::Pieces(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= FPieces.size())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return FPieces[static_cast<std::size_t>(index)].get();
}

void TKxBlobData::ReplacePieces(std::vector<TPiecePtr> pieces) {
  for (TPiecePtr& p : pieces) p->Blob = this;
  FPieces = std::move(pieces);
}

std::vector<TPiecePtr> TKxBlobData::TakePieces() noexcept {
  for (TPiecePtr& p : FPieces) p->Blob = nullptr;
  return std::move(FPieces);
}

// ---- TKxBlobData: stored bytes -------------------------------------------------

TSharedRef<TKxBlobData> TKxBlobData::CreateEmpty() const { return NewShared<TKxBlobData>(); }

void TKxBlobData::SetPieceSize(std::int64_t value) {
  if (value < 1) throw EArgumentError("Invalid piece size");
  FPieceSize = value;
}

std::int64_t TKxBlobData::RawSize() const noexcept {
  std::int64_t total = 0;
  for (const TPiecePtr& p : FPieces) total += p->Used;
  return total;
}

std::string TKxBlobData::RawBytes() const {
  std::string out;
  out.reserve(static_cast<std::size_t>(RawSize()));
  for (const TPiecePtr& p : FPieces)
    out.append(reinterpret_cast<const char*>(PieceData(p.get())), static_cast<std::size_t>(p->Used));
  return out;
}

std::int64_t TKxBlobData::RawRead(std::int64_t position, std::int64_t count, void* dest,
                                  std::int64_t destCapacity) const {
  CheckArgs(position, count);
  if (destCapacity < 0) RaisePosition();
  const std::int64_t size = RawSize();
  if (FPieces.empty() || position >= size) return 0;
  std::int64_t want = size - position;
  if (count > 0) want = std::min(want, count);
  want = std::min(want, destCapacity);
  auto* d = static_cast<std::uint8_t*>(dest);
  std::int64_t done = 0;
  std::int64_t offset = 0;
  for (const TPiecePtr& p : FPieces) {
    if (done == want) break;
    const std::int64_t end = offset + p->Used;
    if (position < end) {
      const std::int64_t within = position - offset;
      const std::int64_t k = std::min(want - done, p->Used - within);
      std::memcpy(d + done, PieceData(p.get()) + within, static_cast<std::size_t>(k));
      done += k;
      position += k;
    }
    offset = end;
  }
  return done;
}

void TKxBlobData::RawAppend(const void* source, std::int64_t count) {
  const auto* s = static_cast<const std::uint8_t*>(source);
  // Spare room after the last used byte: the last non-empty piece and the
  // empty pieces after it.
  std::size_t i = FPieces.size();
  while (i > 0 && FPieces[i - 1]->Used == 0) --i;
  if (i > 0) --i;
  for (; i < FPieces.size() && count > 0; ++i) {
    TPieceHeader* p = FPieces[i].get();
    const std::int64_t k = std::min(count, p->Size - p->Used);
    if (k <= 0) continue;
    std::memcpy(PieceData(p) + p->Used, s, static_cast<std::size_t>(k));
    p->Used += k;
    s += k;
    count -= k;
  }
  while (count > 0) {
    const std::int64_t k = std::min(FPieceSize, count);
    TPiecePtr piece = AllocPiece(k);
    std::memcpy(PieceData(piece.get()), s, static_cast<std::size_t>(k));
    piece->Used = k;
    AppendPiece(std::move(piece));
    s += k;
    count -= k;
  }
}

void TKxBlobData::RawWrite(std::int64_t position, std::int64_t count, const void* source) {
  CheckArgs(position, count);
  if (count == 0) return;
  const std::int64_t size = RawSize();
  position = std::min(position, size);  // writes never leave holes
  const auto* s = static_cast<const std::uint8_t*>(source);
  std::int64_t offset = 0;
  for (std::size_t i = 0; i < FPieces.size() && count > 0 && position < size; ++i) {
    TPieceHeader* p = FPieces[i].get();
    const std::int64_t end = offset + p->Used;
    if (position < end) {
      const std::int64_t within = position - offset;
      const std::int64_t k = std::min(count, p->Used - within);
      std::memcpy(PieceData(p) + within, s, static_cast<std::size_t>(k));
      s += k;
      count -= k;
      position += k;
    }
    offset = end;
  }
  if (count > 0) RawAppend(s, count);
}

void TKxBlobData::RawTruncate(std::int64_t newSize) {
  if (newSize < 0) RaisePosition();
  if (newSize == 0) {
    FPieces.clear();
    return;
  }
  std::int64_t offset = 0;
  for (TPiecePtr& p : FPieces) {
    const std::int64_t used = p->Used;
    p->Used = std::clamp<std::int64_t>(newSize - offset, 0, used);
    offset += used;
  }
}

void TKxBlobData::RawSetSize(std::int64_t value) {
  if (value < 0) RaisePosition();
  const std::int64_t size = RawSize();
  if (value < size) {
    RawTruncate(value);
  } else if (value > size) {
    TPiecePtr piece = AllocPiece(value - size);
    std::memset(PieceData(piece.get()), 0, static_cast<std::size_t>(value - size));
    piece->Used = value - size;
    AppendPiece(std::move(piece));
  }
}

void TKxBlobData::RawForEachChunk(const TBlobChunkProc& proc) const {
  for (const TPiecePtr& p : FPieces)
    for (std::int64_t off = 0; off < p->Used; off += kChunk)
      if (!proc(PieceData(p.get()) + off, std::min(kChunk, p->Used - off))) return;
}

// ---- TKxBlobData: content ------------------------------------------------------

std::int64_t TKxBlobData::GetSize() { return RawSize(); }
void TKxBlobData::SetSize(std::int64_t value) { RawSetSize(value); }
void TKxBlobData::Clear() { FPieces.clear(); }
void TKxBlobData::Truncate(std::int64_t newSize) { RawTruncate(newSize); }
bool TKxBlobData::IsEmpty() { return FPieces.empty(); }

std::int64_t TKxBlobData::Read(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity) {
  return RawRead(position, count, dest, destCapacity);
}

void TKxBlobData::Write(std::int64_t position, std::int64_t count, const void* source) {
  RawWrite(position, count, source);
}

void TKxBlobData::ForEachChunk(const TBlobChunkProc& proc) { RawForEachChunk(proc); }

TSharedRef<TKxBlobData> TKxBlobData::Clone() const {
  TSharedRef<TKxBlobData> copy = CreateEmpty();
  copy->FPieceSize = FPieceSize;
  const std::int64_t total = RawSize();
  if (total > 0) {
    TPiecePtr piece = AllocPiece(total);
    piece->Used = RawRead(0, total, PieceData(piece.get()), total);
    copy->AppendPiece(std::move(piece));
  }
  return copy;
}

void TKxBlobData::Compress() {
  for (std::size_t i = FPieces.size(); i-- > 0;) {
    if (FPieces[i]->Used == 0)
      FPieces.erase(FPieces.begin() + static_cast<std::ptrdiff_t>(i));
    else if (FPieces[i]->Used < FPieces[i]->Size)
      ReallocPiece(FPieces[i], FPieces[i]->Used);
  }
}

void TKxBlobData::Defrag() {
  if (FPieces.size() <= 1) return;
  const std::int64_t total = RawSize();
  if (FPieces[0]->Size < total) ReallocPiece(FPieces[0], total);
  TPieceHeader* first = FPieces[0].get();
  std::int64_t offset = first->Used;
  for (std::size_t i = 1; i < FPieces.size(); ++i) {
    const TPieceHeader* p = FPieces[i].get();
    std::memcpy(PieceData(first) + offset, PieceData(p), static_cast<std::size_t>(p->Used));
    offset += p->Used;
  }
  first->Used = total;
  FPieces.resize(1);
}

void TKxBlobData::CopyTo(TKxBlobData& dest) {
  LUMO_ASSERT(&dest != this);
  const std::int64_t total = RawSize();
  TPiecePtr copy;
  if (total > 0) {
    copy = AllocPiece(total);
    copy->Used = RawRead(0, total, PieceData(copy.get()), total);
  }
  dest.ReplacePieces(TakePieces());
  if (copy) AppendPiece(std::move(copy));
}

void TKxBlobData::RewriteLineEnds(bool unicode, bool addCR) {
  TChainWriter out(FPieceSize, GetSize());
  bool prevCR = false;     // AddCR: the unit before was a carriage return
  bool pendingCR = false;  // RemoveCR: a carriage return waits for its line feed
  auto emit = [&](char16_t u) {
    if (unicode) {
      out.Put(&u, 2);
    } else {
      const auto b = static_cast<std::uint8_t>(u);
      out.Put(&b, 1);
    }
  };
  auto unit = [&](char16_t u) {
    if (addCR) {
      if (u == u'\n' && !prevCR) emit(u'\r');
      emit(u);
      prevCR = u == u'\r';
    } else {
      if (pendingCR) {
        pendingCR = false;
        if (u == u'\n') {
          emit(u);
          return;
        }
        emit(u'\r');
      }
      if (u == u'\r')
        pendingCR = true;
      else
        emit(u);
    }
  };
  bool haveByte = false;
  std::uint8_t firstByte = 0;
  ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) {
      if (!unicode) {
        unit(p[i]);
      } else if (!haveByte) {
        firstByte = p[i];
        haveByte = true;
      } else {
        haveByte = false;
        const std::uint8_t pair[2] = {firstByte, p[i]};
        char16_t u;
        std::memcpy(&u, pair, 2);
        unit(u);
      }
    }
    out.Consumed(n);
    return true;
  });
  if (addCR && prevCR) emit(u'\n');
  if (!addCR && pendingCR) emit(u'\r');
  if (haveByte) out.Put(&firstByte, 1);  // a trailing odd byte stays as it is
  ReplacePieces(out.Take());
  ProtectPlainContent();
}

void TKxBlobData::AddCRString() { RewriteLineEnds(false, true); }
void TKxBlobData::RemoveCRString() { RewriteLineEnds(false, false); }
void TKxBlobData::AddCRUnicode() { RewriteLineEnds(true, true); }
void TKxBlobData::RemoveCRUnicode() { RewriteLineEnds(true, false); }

std::int64_t TKxBlobData::GetSizeAnsi() {
  const int page = DefaultCodePage();
  const TPageKind kind = PageKind(page);
  std::int64_t total = 0;
  TUtf16Walker walker;
  auto each = [&](const char16_t* units, int count) {
    total += AnsiLength(units, count, page, kind);
    return true;
  };
  ForEachChunk([&](const std::uint8_t* p, std::int64_t n) { return walker.Feed(p, n, each); });
  walker.Finish(each);
  return total;
}

std::int64_t TKxBlobData::GetSizeUni() {
  const int page = DefaultCodePage();
  switch (PageKind(page)) {
    case TPageKind::SingleByte:
      return GetSize() * 2;
    case TPageKind::MultiByte: {
      std::string bytes;
      ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
        bytes.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
        return true;
      });
      return static_cast<std::int64_t>(CodePageToUnicode(bytes, page).size()) * 2;
    }
    case TPageKind::Utf8:
      break;
  }
  std::int64_t units = 0;
  TUtf8Walker walker;
  auto each = [&](std::int64_t, int u) {
    units += u;
    return true;
  };
  ForEachChunk([&](const std::uint8_t* p, std::int64_t n) { return walker.Feed(p, n, false, each); });
  walker.Feed(nullptr, 0, true, each);
  return units * 2;
}

std::int64_t TKxBlobData::TranslatePositionToAnsi(std::int64_t position) {
  if (position < 0) RaiseBlobPosition();
  const int page = DefaultCodePage();
  const TPageKind kind = PageKind(page);
  std::int64_t ansi = 0;
  std::int64_t bytes = 0;
  bool found = position == 0;
  TUtf16Walker walker;
  auto each = [&](const char16_t* units, int count) {
    ansi += AnsiLength(units, count, page, kind);
    bytes += 2 * count;
    if (ansi > position) RaiseBlobPosition();  // inside a character
    found = ansi == position;
    return !found;
  };
  if (!found) {
    ForEachChunk([&](const std::uint8_t* p, std::int64_t n) { return walker.Feed(p, n, each); });
    if (!found) walker.Finish(each);
  }
  if (!found) RaiseBlobPosition();  // beyond the content
  return bytes;
}

std::int64_t TKxBlobData::TranslatePositionToUni(std::int64_t position) {
  if (position < 0 || position % 2 != 0) RaiseBlobPosition();
  const std::int64_t target = position / 2;  // UTF-16 units
  const int page = DefaultCodePage();
  const TPageKind kind = PageKind(page);
  if (kind == TPageKind::SingleByte) {
    if (target > GetSize()) RaiseBlobPosition();
    return target;
  }
  std::int64_t units = 0;
  std::int64_t bytes = 0;
  bool found = target == 0;
  if (found) return 0;
  auto step = [&](std::int64_t used, int u) {
    units += u;
    bytes += used;
    if (units > target) RaiseBlobPosition();
    found = units == target;
    return !found;
  };
  if (kind == TPageKind::Utf8) {
    TUtf8Walker walker;
    bool go = true;
    ForEachChunk([&](const std::uint8_t* p, std::int64_t n) { return go = walker.Feed(p, n, false, step); });
    if (go) walker.Feed(nullptr, 0, true, step);
  } else {
    // Other multi-byte pages: re-encode each character to find its bytes.
    std::string stored;
    ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
      stored.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
      return true;
    });
    const std::u16string text = CodePageToUnicode(stored, page);
    for (std::size_t i = 0; i < text.size() && !found;) {
      const int count = IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
      const std::string enc = UnicodeToCodePage(std::u16string_view(text).substr(i, count), page);
      if (stored.compare(static_cast<std::size_t>(bytes), enc.size(), enc) != 0) RaiseBlobPosition();
      step(static_cast<std::int64_t>(enc.size()), count);
      i += count;
    }
  }
  if (!found) RaiseBlobPosition();
  return bytes;
}

// ---- TCompressedBlobData -------------------------------------------------------

namespace {

// The uncompressed size a header announces when it can be trusted for a
// stored value of rawSize bytes, else -1.
std::int64_t TrustedSizeOf(const std::uint8_t* header, std::int64_t rawSize) {
  if (rawSize <= CCompressBlobHeaderSize) return -1;
  if (std::memcmp(header, CCompressBlobHeaderGuid, CCompressBlobHeaderGuidSize) != 0) return -1;
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(header[CCompressBlobHeaderGuidSize + i]) << (8 * i);
  if (v > static_cast<std::uint32_t>(INT32_MAX)) return -1;  // negative as a signed 32-bit number
  const std::int64_t size = v;
  const std::int64_t packed = rawSize - CCompressBlobHeaderSize;
  if (packed < INT32_MAX / MaxBlobInflateRatio + 1 && size > packed * MaxBlobInflateRatio) return -1;
  return size;
}

}  // namespace

TSharedRef<TKxBlobData> TCompressedBlobData::CreateEmpty() const { return NewShared<TCompressedBlobData>(); }

std::int64_t TCompressedBlobData::TrustedSize() const {
  const std::int64_t raw = RawSize();
  if (raw <= CCompressBlobHeaderSize) return -1;
  std::uint8_t header[CCompressBlobHeaderSize];
  RawRead(0, CCompressBlobHeaderSize, header, CCompressBlobHeaderSize);
  return TrustedSizeOf(header, raw);
}

bool TCompressedBlobData::IsCompressed() const { return TrustedSize() >= 0; }

const std::uint8_t* TCompressedBlobData::JoinedRaw() {
  Defrag();
  return PieceData(FirstPiece());
}

std::string TCompressedBlobData::Inflated() {
  std::string out(static_cast<std::size_t>(GetSize()), '\0');
  out.resize(static_cast<std::size_t>(Read(0, 0, out.data(), static_cast<std::int64_t>(out.size()))));
  return out;
}

void TCompressedBlobData::StoreWrapped(const void* source, std::int64_t size) {
  if (size > INT32_MAX) throw EBlobError("Invalid uncompressed blob size");
  CheckZLib();
  std::uint64_t len = ZLibCompressBound(static_cast<std::uint64_t>(size)) + 64;
  TPiecePtr piece = AllocPiece(CCompressBlobHeaderSize + static_cast<std::int64_t>(len));
  DoCompress(PieceData(piece.get()) + CCompressBlobHeaderSize, len, source, static_cast<std::uint64_t>(size));
  PutHeader(PieceData(piece.get()), size);
  piece->Used = CCompressBlobHeaderSize + static_cast<std::int64_t>(len);
  ReallocPiece(piece, piece->Used);
  std::vector<TPiecePtr> pieces;
  pieces.push_back(std::move(piece));
  ReplacePieces(std::move(pieces));
}

void TCompressedBlobData::EditContent(const std::function<void(std::string&)>& edit) {
  std::string value = Inflated();
  edit(value);
  const auto size = static_cast<std::int64_t>(value.size());
  if (size > BlobMinCompressLength && CompressFrom(value.data(), size)) return;
  StoreWrapped(value.data(), size);  // plain, these bytes would be read as compressed
}

void TCompressedBlobData::ProtectPlainContent() {
  if (TrustedSize() < 0) return;
  const std::string value = RawBytes();
  StoreWrapped(value.data(), static_cast<std::int64_t>(value.size()));
}

std::int64_t TCompressedBlobData::GetSize() {
  const std::int64_t size = TrustedSize();
  return size >= 0 ? size : RawSize();
}

void TCompressedBlobData::SetSize(std::int64_t value) {
  if (value < 0) RaisePosition();
  const std::int64_t size = TrustedSize();
  if (size >= 0) {
    if (value == size) return;
    if (!EnsurePlain()) {
      EditContent([value](std::string& v) { v.resize(static_cast<std::size_t>(value), '\0'); });
      return;
    }
  }
  RawSetSize(value);
}

void TCompressedBlobData::Truncate(std::int64_t newSize) {
  if (newSize < 0) RaisePosition();
  if (newSize == 0) {
    Clear();
    return;
  }
  const std::int64_t size = TrustedSize();
  if (size >= 0) {
    if (newSize >= size) return;
    if (!EnsurePlain()) {
      EditContent([newSize](std::string& v) { v.resize(static_cast<std::size_t>(newSize)); });
      return;
    }
  }
  RawTruncate(newSize);
}

std::int64_t TCompressedBlobData::Read(std::int64_t position, std::int64_t count, void* dest,
                                       std::int64_t destCapacity) {
  CheckArgs(position, count);
  if (destCapacity < 0) RaisePosition();
  const std::int64_t size = TrustedSize();
  if (size < 0) return RawRead(position, count, dest, destCapacity);
  if (position == 0 && (count == 0 || count == size) && destCapacity >= size) {
    const std::uint8_t* raw = JoinedRaw();
    const TInflate r = InflateExact(raw + CCompressBlobHeaderSize,
                                    static_cast<std::uint64_t>(RawSize() - CCompressBlobHeaderSize),
                                    static_cast<std::uint8_t*>(dest), static_cast<std::uint64_t>(size), nullptr);
    if (r != TInflate::Ok) RaiseInflate(r);
    return size;
  }
  if (position >= size) return 0;
  if (EnsurePlain()) return RawRead(position, count, dest, destCapacity);
  // The content cannot be stored plain: copy the range out of the stream.
  std::int64_t want = std::min(size - position, destCapacity);
  if (count > 0) want = std::min(want, count);
  auto* d = static_cast<std::uint8_t*>(dest);
  std::int64_t skip = position, done = 0;
  ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
    if (skip >= n) {
      skip -= n;
      return true;
    }
    const std::int64_t k = std::min(n - skip, want - done);
    std::memcpy(d + done, p + skip, static_cast<std::size_t>(k));
    done += k;
    skip = 0;
    return done < want;
  });
  return done;
}

void TCompressedBlobData::Write(std::int64_t position, std::int64_t count, const void* source) {
  CheckArgs(position, count);
  if (count == 0) return;
  const std::int64_t size = TrustedSize();
  const std::int64_t oldSize = size >= 0 ? size : RawSize();
  if (position == 0 && (oldSize == 0 || (size >= 0 && count == size))) {
    // The whole content is replaced: store it compressed when that pays (and
    // a compressor is linked: compression is an optimisation here).
    if (count > BlobMinCompressLength && CompressProc() && UncompressProc() && CompressFrom(source, count)) return;
    Clear();
    RawWrite(0, count, source);
    return;
  }
  if (size >= 0 && !EnsurePlain()) {
    EditContent([&](std::string& v) {
      const std::size_t at = std::min(static_cast<std::size_t>(position), v.size());
      v.resize(std::max(v.size(), at + static_cast<std::size_t>(count)));
      std::memcpy(v.data() + at, source, static_cast<std::size_t>(count));
    });
    return;
  }
  RawWrite(position, count, source);
}

void TCompressedBlobData::ForEachChunk(const TBlobChunkProc& proc) {
  const std::int64_t size = TrustedSize();
  if (size < 0) {
    RawForEachChunk(proc);
    return;
  }
  const std::uint8_t* raw = JoinedRaw();
  const TInflate r =
      InflateExact(raw + CCompressBlobHeaderSize, static_cast<std::uint64_t>(RawSize() - CCompressBlobHeaderSize),
                   nullptr, static_cast<std::uint64_t>(size), &proc);
  if (r != TInflate::Ok && r != TInflate::Stopped) RaiseInflate(r);
}

bool TCompressedBlobData::EnsurePlain() {
  const std::int64_t size = TrustedSize();
  if (size < 0) return true;
  const std::uint8_t* raw = JoinedRaw();
  const auto packed = static_cast<std::uint64_t>(RawSize() - CCompressBlobHeaderSize);
  TPiecePtr piece = size > 0 ? AllocPiece(size) : nullptr;
  const TInflate r = InflateExact(raw + CCompressBlobHeaderSize, packed, PieceData(piece.get()),
                                  static_cast<std::uint64_t>(size), nullptr);
  if (r != TInflate::Ok) RaiseInflate(r);  // the compressed content stays
  // A value that itself begins with a trusted header would be misread if it
  // were stored plain: it stays compressed.
  if (TrustedSizeOf(PieceData(piece.get()), size) >= 0) return false;
  std::vector<TPiecePtr> pieces;
  if (piece) {
    piece->Used = size;
    pieces.push_back(std::move(piece));
  }
  ReplacePieces(std::move(pieces));
  return true;
}

bool TCompressedBlobData::CompressFrom(const void* source, std::int64_t size) {
  CheckZLib();
  // Kept only when header + stream < size, so the stream gets size - 21 bytes.
  const std::int64_t room = size - CCompressBlobHeaderSize - 1;
  if (room < 1 || size > INT32_MAX) return false;
  TPiecePtr piece = AllocPiece(CCompressBlobHeaderSize + room);
  std::uint64_t len = static_cast<std::uint64_t>(room);
  try {
    DoCompress(PieceData(piece.get()) + CCompressBlobHeaderSize, len, source, static_cast<std::uint64_t>(size));
  } catch (const ECompressionError&) {
    return false;  // failed, or the result would not be smaller
  }
  if (len > static_cast<std::uint64_t>(room)) return false;
  PutHeader(PieceData(piece.get()), size);
  piece->Used = CCompressBlobHeaderSize + static_cast<std::int64_t>(len);
  ReallocPiece(piece, piece->Used);
  std::vector<TPiecePtr> pieces;
  pieces.push_back(std::move(piece));
  ReplacePieces(std::move(pieces));
  return true;
}

void TCompressedBlobData::SetCompressed(bool value) {
  if (RawSize() == 0 || value == IsCompressed()) return;
  if (!value) {
    EnsurePlain();
    return;
  }
  const std::int64_t size = RawSize();
  if (size <= BlobMinCompressLength || size > INT32_MAX) return;
  CompressFrom(JoinedRaw(), size);
}

void TCompressedBlobData::UncompressTo(void* dest, std::int64_t& destLen) {
  const std::int64_t raw = RawSize();
  if (raw <= CCompressBlobHeaderSize) throw EBlobError("Invalid compressed blob size");
  const std::int64_t size = TrustedSize();
  if (size < 0) throw EBlobError("Invalid compressed blob header");
  if (destLen < size) throw EBlobError("Invalid uncompressed blob size");
  const std::uint8_t* p = JoinedRaw();
  const TInflate r =
      InflateExact(p + CCompressBlobHeaderSize, static_cast<std::uint64_t>(raw - CCompressBlobHeaderSize),
                   static_cast<std::uint8_t*>(dest), static_cast<std::uint64_t>(size), nullptr);
  if (r != TInflate::Ok) RaiseInflate(r);
  destLen = size;
}

std::int64_t TCompressedBlobData::CompressedSize() const {
  if (!IsCompressed()) throw EBlobError("Blob is not compressed");
  return RawSize();
}

// ---- TBlob -----------------------------------------------------------------------

TBlob::TBlob(bool isUnicode) : TBlob(isUnicode, NewShared<TKxBlobData>()) {}

TBlob::TBlob(bool isUnicode, TSharedRef<TKxBlobData> data) : FData(std::move(data)), FIsUnicode(isUnicode) {}

TBlob::~TBlob() = default;

TSharedRef<TBlob> TBlob::CreateClone() const { return NewShared<TBlob>(FIsUnicode); }

TSharedRef<TKxBlobData> TBlob::CreateBlobData() const { return NewShared<TKxBlobData>(); }

void TBlob::CheckAlive() const {
  if (RefCount() <= 0) throw EBlobError("Invalid BLOB");
}

TKxBlobData* TBlob::Data() const noexcept { return FUseRollback && FRollback ? FRollback.Get() : FData.Get(); }

TKxBlobData& TBlob::PrepareChange() {
  CheckAlive();
  if (FNeedRollback && !FRollback)
    SaveToRollback();
  else if (FData->RefCount() > 1)
    FData = FData->Clone();
  return *FData;
}

void TBlob::SaveToRollback() {
  CheckAlive();
  if (!FNeedRollback) throw EBlobError("Blob must be in cached mode");
  TSharedRef<TKxBlobData> copy = FData->Clone();
  FRollback = std::move(FData);
  FData = std::move(copy);
}

std::int64_t TBlob::GetSize() {
  CheckAlive();
  CheckValue();
  return Data()->GetSize();
}

void TBlob::SetSize(std::int64_t value) {
  if (value < 0) RaisePosition();
  PrepareChange().SetSize(value);
}

void TBlob::SetIsUnicode(bool value) {
  CheckAlive();
  if (value == FIsUnicode) return;
  if (FData->GetSize() > 0) throw EBlobError("Cannot change IsUnicode if Size > 0");
  FIsUnicode = value;
}

std::int64_t TBlob::GetSizeAnsi() {
  LUMO_ASSERT(FIsUnicode);
  CheckAlive();
  CheckValue();
  return Data()->GetSizeAnsi();
}

std::int64_t TBlob::GetSizeUni() {
  LUMO_ASSERT(!FIsUnicode);
  CheckAlive();
  CheckValue();
  return Data()->GetSizeUni();
}

std::int64_t TBlob::TranslatePositionToAnsi(std::int64_t position) {
  LUMO_ASSERT(FIsUnicode);
  CheckAlive();
  CheckValue();
  return Data()->TranslatePositionToAnsi(position);
}

std::int64_t TBlob::TranslatePositionToUni(std::int64_t position) {
  LUMO_ASSERT(!FIsUnicode);
  CheckAlive();
  CheckValue();
  return Data()->TranslatePositionToUni(position);
}

void TBlob::FreeBlob() {
  FData = CreateBlobData();
  FRollback.Reset();
}

std::int64_t TBlob::Read(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity) {
  CheckAlive();
  CheckValue();
  return Data()->Read(position, count, dest, destCapacity);
}

void TBlob::Write(std::int64_t position, std::int64_t count, const void* source) {
  CheckArgs(position, count);
  if (count == 0) return;
  PrepareChange().Write(position, count, source);
}

void TBlob::Clear() {
  CheckAlive();
  if (FData->IsEmpty()) return;
  PrepareChange().Clear();
}

void TBlob::Truncate(std::int64_t newSize) {
  if (newSize < 0) RaisePosition();
  PrepareChange().Truncate(newSize);
}

bool TBlob::IsEmpty() {
  CheckAlive();
  return Data()->IsEmpty();
}

void TBlob::Defrag() {
  CheckAlive();
  FData->Defrag();
}

void TBlob::AddCR() {
  TKxBlobData& data = PrepareChange();
  if (FIsUnicode)
    data.AddCRUnicode();
  else
    data.AddCRString();
}

void TBlob::RemoveCR() {
  TKxBlobData& data = PrepareChange();
  if (FIsUnicode)
    data.RemoveCRUnicode();
  else
    data.RemoveCRString();
}

void TBlob::LoadFromStream(TStream& stream) {
  CheckAlive();
  // Read everything first, so that a failing stream leaves the content as it was.
  std::vector<TPiecePtr> pieces;
  const std::int64_t expected = stream.Size();
  stream.SetPosition(0);
  const std::int64_t pieceSize = FData->PieceSize();
  std::int64_t total = 0;
  for (;;) {
    TPiecePtr piece = TKxBlobData::AllocPiece(pieceSize);
    std::int64_t n = 0;
    while (piece->Used < pieceSize &&
           (n = stream.Read(PieceData(piece.get()) + piece->Used, pieceSize - piece->Used)) > 0)
      piece->Used += n;
    const bool more = piece->Used == pieceSize;
    total += piece->Used;
    if (piece->Used > 0) pieces.push_back(std::move(piece));
    if (!more) break;
  }
  // A stream that stops short has failed (a file stream keeps the reason).
  const auto* file = dynamic_cast<const TFileStream*>(&stream);
  if (file && file->LastError() != 0)
    RaiseOSError(Format("Cannot read file \"%s\"", {file->FileName()}), file->LastError());
  if (total < expected) throw EStreamError("Stream read error");
  Clear();
  if (!pieces.empty()) PrepareChange().ReplacePieces(std::move(pieces));
}

void TBlob::SaveToStream(TStream& stream) {
  CheckAlive();
  CheckValue();
  stream.SetSize(0);
  stream.SetPosition(0);
  Data()->ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
    stream.WriteBuffer(p, n);
    return true;
  });
}

void TBlob::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TBlob::SaveToFile(const std::string& fileName) {
  ReplaceFile(fileName, [this](TStream& stream) { SaveToStream(stream); });
}

void TBlob::Commit() {
  CheckAlive();
  FRollback.Reset();
}

void TBlob::Cancel() {
  CheckAlive();
  if (FRollback) FData = std::move(FRollback);
}

void TBlob::SetData(TSharedRef<TKxBlobData> value) {
  LUMO_ASSERT(!FUseRollback);
  const TSharedRef<TKxBlobData> own = CreateBlobData();
  const TKxBlobData& ownKind = *own;
  if (!value) throw EArgumentError("Invalid BLOB data");
  const TKxBlobData& newKind = *value;
  if (typeid(newKind) != typeid(ownKind)) throw EArgumentError("Invalid BLOB data");
  FData = std::move(value);
}

TSharedRef<TBlob> TBlob::Clone(bool fromRollback, bool cloneData) const {
  CheckAlive();
  TSharedRef<TBlob> blob = CreateClone();
  if (cloneData) blob->FData = fromRollback && FRollback ? FRollback : FData;
  return blob;
}

void TBlob::Assign(TBlob& source) {
  if (&source == this) return;
  source.CheckAlive();
  source.CheckValue();
  TSharedRef<TKxBlobData> from = TSharedRef<TKxBlobData>::Share(source.Data());
  Clear();
  FIsUnicode = source.FIsUnicode;
  if (from->IsEmpty()) return;
  TKxBlobData& data = PrepareChange();
  const TKxBlobData& fromKind = *from;
  auto append = [&data](const std::uint8_t* p, std::int64_t n) {
    data.RawAppend(p, n);
    return true;
  };
  // Data of the same kind copies its stored form (compressed stays
  // compressed); otherwise the content is copied.
  if (typeid(fromKind) == typeid(data)) {
    from->RawForEachChunk(append);
  } else {
    from->ForEachChunk(append);
    data.ProtectPlainContent();
  }
}

std::string TBlob::ReadAll() {
  CheckAlive();
  CheckValue();
  TKxBlobData* data = Data();
  std::string out(static_cast<std::size_t>(data->GetSize()), '\0');
  out.resize(static_cast<std::size_t>(data->Read(0, 0, out.data(), static_cast<std::int64_t>(out.size()))));
  return out;
}

std::string TBlob::AsAnsiString() {
  std::string bytes = ReadAll();
  if (!FIsUnicode) return bytes;
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return UnicodeToAnsi(text);
}

std::u16string TBlob::AsWideString() {
  const std::string bytes = ReadAll();
  if (!FIsUnicode) return AnsiToUnicode(bytes);
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

std::vector<std::uint8_t> TBlob::AsBytes() {
  const std::string bytes = ReadAll();
  return {bytes.begin(), bytes.end()};
}

void TBlob::SetAsAnsiString(const std::string& value) {
  Clear();
  if (FIsUnicode) {
    const std::u16string text = AnsiToUnicode(value);
    Write(0, static_cast<std::int64_t>(text.size() * 2), text.data());
  } else {
    Write(0, static_cast<std::int64_t>(value.size()), value.data());
  }
}

void TBlob::SetAsWideString(const std::u16string& value) {
  Clear();
  if (FIsUnicode) {
    Write(0, static_cast<std::int64_t>(value.size() * 2), value.data());
  } else {
    const std::string bytes = UnicodeToAnsi(value);
    Write(0, static_cast<std::int64_t>(bytes.size()), bytes.data());
  }
}

void TBlob::SetAsBytes(const std::vector<std::uint8_t>& value) {
  Clear();
  Write(0, static_cast<std::int64_t>(value.size()), value.data());
}

// ---- TCompressedBlob ---------------------------------------------------------------

TCompressedBlob::TCompressedBlob(bool isUnicode) : TBlob(isUnicode, NewShared<TCompressedBlobData>()) {}

TSharedRef<TBlob> TCompressedBlob::CreateClone() const { return NewShared<TCompressedBlob>(FIsUnicode); }

TSharedRef<TKxBlobData> TCompressedBlob::CreateBlobData() const { return NewShared<TCompressedBlobData>(); }

TCompressedBlobData& TCompressedBlob::CData(TKxBlobData* which) const {
  auto* data = dynamic_cast<TCompressedBlobData*>(which);
  LUMO_ASSERT(data);
  return *data;
}

bool TCompressedBlob::Compressed() {
  CheckAlive();
  return CData(Data()).IsCompressed();
}

void TCompressedBlob::SetCompressed(bool value) {
  CheckAlive();
  CheckValue();
  CData(FData.Get()).SetCompressed(value);
}

std::int64_t TCompressedBlob::CompressedSize() {
  CheckAlive();
  return CData(Data()).CompressedSize();
}

}  // namespace lumo
