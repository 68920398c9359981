// Feeds arbitrary stored bytes to the compressed large-object reader. A
// value must either read back consistently (whole read, chunked read and
// decompression in place agree, and compressing again round-trips) or fail
// with a blob error that leaves the stored bytes as they were; never a
// crash, an over-read or an allocation beyond what the header may claim.
//
// Input: byte 0 selects the form (even: the rest is the stored value as it
// is; odd: the header GUID is put in front of the rest, so mutations reach
// the size and the zlib stream directly), byte 1 the piece size the stored
// value is split into.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <lumokit/data/KxBlob.h>

using namespace lumo;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string Whole(TKxBlobData& data, bool& failed) {
  failed = false;
  try {
    std::string out(static_cast<std::size_t>(data.GetSize()), '\0');
    const std::int64_t n = data.Read(0, 0, out.data(), static_cast<std::int64_t>(out.size()));
    Check(n == static_cast<std::int64_t>(out.size()));
    return out;
  } catch (const EBlobError&) {
    failed = true;
    return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string raw;
  if (data[0] & 1) raw.assign(reinterpret_cast<const char*>(CCompressBlobHeaderGuid), CCompressBlobHeaderGuidSize);
  raw.append(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::size_t split = 1 + data[1] * 4u;

  auto blob = NewShared<TCompressedBlob>((data[0] & 2) != 0);
  auto* stored = static_cast<TCompressedBlobData*>(blob->Data());
  for (std::size_t off = 0; off < raw.size(); off += split) {
    const std::size_t n = std::min(split, raw.size() - off);
    TPiecePtr piece = TKxBlobData::AllocPiece(static_cast<std::int64_t>(n));
    std::memcpy(PieceData(piece.get()), raw.data() + off, n);
    piece->Used = static_cast<std::int64_t>(n);
    stored->AppendPiece(std::move(piece));
  }

  const auto rawSize = static_cast<std::int64_t>(raw.size());
  const std::int64_t logical = stored->GetSize();
  Check(logical == rawSize || (logical <= (rawSize - CCompressBlobHeaderSize) * MaxBlobInflateRatio &&
                               logical <= INT32_MAX));
  const bool compressed = stored->IsCompressed();
  if (!compressed) Check(logical == rawSize);

  bool failed;
  const std::string content = Whole(*stored, failed);
  Check(stored->RawBytes() == raw);  // reading whole never changes the stored bytes
  if (failed) {
    Check(compressed);
    try {
      blob->SetCompressed(false);
      Check(false);
    } catch (const EBlobError&) {
    }
    Check(stored->RawBytes() == raw);
    char part[8];
    try {
      blob->Read(1, 8, part, sizeof part);
      Check(logical <= 1);  // only a read past the end answers without inflating
    } catch (const EBlobError&) {
    }
    Check(stored->RawBytes() == raw);
    return 0;
  }

  std::string chunked;
  stored->ForEachChunk([&](const std::uint8_t* p, std::int64_t n) {
    chunked.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
    return true;
  });
  Check(chunked == content);
  if (blob->IsUnicode()) {
    Check(blob->GetSizeAnsi() == static_cast<std::int64_t>(blob->AsAnsiString().size()));
  } else {
    Check(blob->GetSizeUni() == static_cast<std::int64_t>(blob->AsWideString().size() * 2));
  }
  if (content.size() > 3) {
    char part[3];
    Check(blob->Read(1, 3, part, sizeof part) == 3 && std::memcmp(part, content.data() + 1, 3) == 0);
  }
  blob->SetCompressed(false);
  bool again;
  Check(Whole(*stored, again) == content && !again);
  if (!stored->IsCompressed()) Check(stored->RawBytes() == content);
  blob->SetCompressed(true);
  Check(Whole(*stored, again) == content && !again);
  return 0;
}
