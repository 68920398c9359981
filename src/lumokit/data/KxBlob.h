// Large-object values: TKxBlobData keeps the bytes of a value as a chain of
// memory pieces so that fetching can append without copying; TBlob is the
// reference-counted value a record slot points to, with a rollback copy for
// editing, line-end conversion and 8-bit/UTF-16 views; TCompressedBlob keeps
// its content zlib-compressed behind the 20-byte header
// (CCompressBlobHeaderGuid, then the uncompressed size as a signed 32-bit
// little-endian number, then the zlib stream).
//
// Decisions:
// - Sizes and positions are 64-bit. A piece header is a natural struct (owner,
//   capacity, bytes used); the chain is an ordered list of owned pieces, so a
//   piece has no Prev/Next links and no test marker. DefaultPieceSize stays
//   65514: a 100000-byte write into an empty value makes pieces of 65514 and
//   34486 bytes.
// - Read takes the destination's capacity and never copies more than that;
//   the result is the number of bytes copied. Negative positions, counts or
//   capacities raise EArgumentError "Invalid BLOB position".
// - Lifetime is by reference (atomic counts of TSharedObject): there is no
//   alive marker. "Invalid BLOB" is raised when a blob is used while it is
//   being destroyed (count 0).
// - Data objects are copy-on-write: Clone shares the data object, and a blob
//   about to change a data object that someone else also references first
//   takes its own copy, so an edit never shows through another blob.
//   SaveToRollback keeps the current data object as the rollback copy and
//   continues with a compact copy of it.
// - UseRollback selects where reads go; writes always change the current
//   content, never the rollback copy.
// - SetIsUnicode raises only when it would change the text form of a
//   non-empty blob. SetData requires a data object of the blob's own kind
//   (a plain TBlob must not pick up a compressed-data object or the reverse,
//   which would change how the bytes are understood).
// - A compressed header is trusted only when its size is between 0 and
//   INT32_MAX and at most MaxBlobInflateRatio times the compressed length;
//   content with the header bytes but an untrusted size is plain content.
//   Inflating is bounded by the announced size and must end exactly there
//   with all input used; otherwise "Invalid compressed blob data" (corrupt,
//   truncated, trailing bytes) or "Invalid uncompressed blob size" (a stream
//   that ends early or runs long). Content above INT32_MAX bytes is never
//   compressed.
// - Compression is kept only when it saves space, so the compressor gets an
//   output capacity of the plain size minus 21 bytes; a compressor that does
//   not fit leaves the content plain.
// - SetSize of compressed content to a different size decompresses first
//   (as Truncate does) instead of refusing.
// - Line-end conversion, the 8-bit/UTF-16 views, SaveToStream and ForEachChunk
//   read compressed content through a streaming inflate and leave it
//   compressed; partial reads and writes decompress in place.
// - In compressed-blob data, bytes that are written (Write, LoadFromStream,
//   pieces) are stored as given, so a value fetched in its compressed form
//   is read decompressed. Operations that rebuild existing content
//   (decompressing in place, line-end conversion, Assign from another kind
//   of blob) keep its meaning instead: a value that itself begins with a
//   trusted header stays compressed, even when that does not save space.
// - LoadFromStream stores the stream's bytes as they are (plain; a
//   TCompressedBlob can be compressed afterwards with SetCompressed).
//   SaveToFile replaces the file through a temporary file.
// - The views of the other text form are exact for the process code page:
//   GetSizeAnsi is the length AsAnsiString has, GetSizeUni twice the length
//   of AsWideString. With a single-byte page a surrogate pair becomes one
//   byte; with a multi-byte page other than UTF-8 positions are mapped by
//   re-encoding each character, and content that does not re-encode to the
//   same bytes raises "Invalid BLOB position" from TranslatePositionToUni.
// - A blob and its data objects are used by one thread at a time; only the
//   reference counts may be touched from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/core/SharedObject.h>
#include <lumokit/core/Streams.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

class EBlobError : public Exception {
 public:
  using Exception::Exception;
};

class TKxBlobData;

// Size of the pieces writes allocate (a full piece and a 22-byte header
// make 64 KiB); callers see it in how values split into pieces.
inline constexpr std::int64_t DefaultPieceSize = 65514;

inline constexpr int CCompressBlobHeaderGuidSize = 16;
inline constexpr int CCompressBlobHeaderSize = 20;
// {F19D8C39-5558-3849-A652-87CEE0C6DA7E} in its binary little-endian layout.
inline constexpr std::uint8_t CCompressBlobHeaderGuid[CCompressBlobHeaderGuidSize] = {
    0x39, 0x8C, 0x9D, 0xF1, 0x58, 0x55, 0x49, 0x38, 0xA6, 0x52, 0x87, 0xCE, 0xE0, 0xC6, 0xDA, 0x7E};
// deflate cannot expand a stream by more than about 1032:1.
inline constexpr std::int64_t MaxBlobInflateRatio = 1032;
// Content of at most this many bytes is never compressed.
inline constexpr std::int64_t BlobMinCompressLength = 50;

// ---- pieces ---------------------------------------------------------------------

// The header in front of a piece's data bytes.
struct TPieceHeader {
  const TKxBlobData* Blob;  // the data object the piece is linked into, nullptr while not linked
  std::int64_t Size;        // capacity of the data part
  std::int64_t Used;        // bytes in use, from the start of the data part
};

struct TPieceDeleter {
  void operator()(TPieceHeader* piece) const noexcept;
};
using TPiecePtr = std::unique_ptr<TPieceHeader, TPieceDeleter>;

// The address after the header; nullptr for nullptr.
std::uint8_t* PieceData(TPieceHeader* piece) noexcept;
const std::uint8_t* PieceData(const TPieceHeader* piece) noexcept;

// Receives content in order, at most 64 KiB at a time; returns false to stop.
using TBlobChunkProc = std::function<bool(const std::uint8_t* data, std::int64_t count)>;

// ---- TKxBlobData ------------------------------------------------------------------

// The bytes of a value: the concatenation of the used parts of its pieces.
class TKxBlobData : public TSharedObject {
 public:
  TKxBlobData() = default;
  ~TKxBlobData() override;

  // A new empty data object of the same class.
  virtual TSharedRef<TKxBlobData> CreateEmpty() const;
  // A new data object of the same class holding a compact copy of the stored
  // bytes (one piece) and the same piece size.
  TSharedRef<TKxBlobData> Clone() const;

  virtual std::int64_t GetSize();
  // A smaller value truncates; a larger one appends one zero-filled piece.
  virtual void SetSize(std::int64_t value);
  // Frees every piece.
  virtual void Clear();
  // 0 clears; otherwise the used parts are cut to newSize (pieces stay).
  virtual void Truncate(std::int64_t newSize);
  // No pieces (a chain of empty pieces is not empty).
  virtual bool IsEmpty();
  // Copies min(count (0: to the end), size - position, destCapacity) bytes
  // starting at position; 0 beyond the end.
  virtual std::int64_t Read(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity);
  // Overwrites from position (moved back to the size when beyond it) and
  // appends what runs past the end.
  virtual void Write(std::int64_t position, std::int64_t count, const void* source);
  // Hands the content to `proc` in order (decompressed for compressed data).
  virtual void ForEachChunk(const TBlobChunkProc& proc);
  // Makes the stored bytes equal the content (compressed data decompresses
  // in place) and returns true; false when the content has to stay in
  // another form (see TCompressedBlobData).
  virtual bool EnsurePlain() { return true; }

  std::int64_t Size() { return GetSize(); }
  std::int64_t PieceSize() const noexcept { return FPieceSize; }
  // Raises EArgumentError "Invalid piece size" for a value below 1.
  void SetPieceSize(std::int64_t value);

  // The stored bytes, whatever they mean.
  std::int64_t RawSize() const noexcept;
  std::string RawBytes() const;

  // Pieces: AllocPiece raises EAssertionFailed for a size below 1 (and
  // std::bad_alloc when memory runs out); the header is zeroed but for Size.
  static TPiecePtr AllocPiece(std::int64_t size);
  // Resizes a piece that is not linked; 0 frees it. Used is cut to the size.
  static void ReallocPiece(TPiecePtr& piece, std::int64_t size);
  // Resizes a piece linked into this object and returns its new address
  // (nullptr when size is 0: the piece is unlinked and freed).
  TPieceHeader* ReallocPiece(TPieceHeader* piece, std::int64_t size);
  // Links a piece that is not linked anywhere at the end of the chain.
  void AppendPiece(TPiecePtr piece);
  // Unlinks a piece of this object and hands it back.
  TPiecePtr DeletePiece(TPieceHeader* piece);
  // Unlinks and frees a piece of this object.
  void FreePiece(TPieceHeader* piece);
  // Shrinks a linked piece to its used size (freed when unused); returns the
  // new address.
  TPieceHeader* CompressPiece(TPieceHeader* piece);
  int PieceCount() const noexcept { return static_cast<int>(FPieces.size()); }
  TPieceHeader* Pieces(int index) const;
  TPieceHeader* FirstPiece() const noexcept { return FPieces.empty() ? nullptr : FPieces.front().get(); }

  // Shrinks every piece to its used size.
  void Compress();
  // Joins all pieces into the first one.
  void Defrag();
  // Moves the chain to dest (cleared first) and keeps a compact copy here.
  void CopyTo(TKxBlobData& dest);

  // Line ends of 8-bit (String) and UTF-16 (Unicode) content: AddCR turns
  // every line feed without a carriage return before it, and a carriage
  // return that ends the content, into a pair; RemoveCR turns every pair
  // into a line feed. The result is plain content in new pieces.
  void AddCRString();
  void RemoveCRString();
  void AddCRUnicode();
  void RemoveCRUnicode();

  // The other text form in the process code page (see the unit comment).
  std::int64_t GetSizeAnsi();  // content is UTF-16
  std::int64_t GetSizeUni();   // content is 8-bit
  // Byte position of the 8-bit view -> byte position in the UTF-16 content,
  // and byte position of the UTF-16 view -> position in the 8-bit content.
  // A position inside a character or beyond the end raises "Invalid BLOB
  // position".
  std::int64_t TranslatePositionToAnsi(std::int64_t position);
  std::int64_t TranslatePositionToUni(std::int64_t position);

 protected:
  // Operations on the stored bytes, for the classes that give them another
  // meaning.
  std::int64_t RawRead(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity) const;
  void RawWrite(std::int64_t position, std::int64_t count, const void* source);
  void RawAppend(const void* source, std::int64_t count);
  void RawTruncate(std::int64_t newSize);
  void RawSetSize(std::int64_t value);
  void RawForEachChunk(const TBlobChunkProc& proc) const;
  // Replaces the chain with `pieces` (linked to this object).
  void ReplacePieces(std::vector<TPiecePtr> pieces);
  std::vector<TPiecePtr> TakePieces() noexcept;
  // Called after plain content was produced from content (line ends,
  // copies): stores it so that it keeps its meaning.
  virtual void ProtectPlainContent() {}

 private:
  friend class TBlob;
  std::size_t IndexOfPiece(const TPieceHeader* piece) const;
  void RewriteLineEnds(bool unicode, bool addCR);

  std::vector<TPiecePtr> FPieces;
  std::int64_t FPieceSize = DefaultPieceSize;
};

// ---- TCompressedBlobData ----------------------------------------------------------

// Data whose stored bytes are either plain content or the compressed form.
class TCompressedBlobData : public TKxBlobData {
 public:
  TSharedRef<TKxBlobData> CreateEmpty() const override;

  std::int64_t GetSize() override;
  void SetSize(std::int64_t value) override;
  void Truncate(std::int64_t newSize) override;
  std::int64_t Read(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity) override;
  void Write(std::int64_t position, std::int64_t count, const void* source) override;
  void ForEachChunk(const TBlobChunkProc& proc) override;
  // Stays compressed (false) when the decompressed value itself begins with
  // a trusted header, which stored plain would be misread.
  bool EnsurePlain() override;

  // The stored bytes carry a trusted compressed header.
  bool IsCompressed() const;
  // true: compresses plain content longer than 50 bytes when that makes it
  // smaller (content above INT32_MAX bytes stays plain); false: decompresses
  // in place (a damaged content raises and stays as it was).
  void SetCompressed(bool value);
  // Replaces the content with `source` compressed when that saves space;
  // false (content unchanged) otherwise. Requires the compression hooks.
  bool CompressFrom(const void* source, std::int64_t size);
  // Inflates the whole content into dest; destLen is the capacity on entry
  // and the bytes produced on return. Raises "Invalid compressed blob size"
  // (fewer than 21 bytes), "Invalid compressed blob header" (no or an
  // untrusted header), "Invalid uncompressed blob size" (capacity too small
  // or a stream of another length), "Invalid compressed blob data".
  void UncompressTo(void* dest, std::int64_t& destLen);
  // Size of the stored compressed form; "Blob is not compressed" for plain.
  std::int64_t CompressedSize() const;

 private:
  void ProtectPlainContent() override;
  // The uncompressed size from a trusted header, or -1.
  std::int64_t TrustedSize() const;
  // The whole content.
  std::string Inflated();
  // Stores the value compressed even when that does not save space.
  void StoreWrapped(const void* source, std::int64_t size);
  // Applies an edit to the content of a value that cannot be stored plain.
  void EditContent(const std::function<void(std::string&)>& edit);
  // Joins the stored bytes into one piece and returns their address.
  const std::uint8_t* JoinedRaw();
};

// ---- TBlob ------------------------------------------------------------------------

class TBlob : public TSharedObject {
 public:
  explicit TBlob(bool isUnicode = false);
  ~TBlob() override;

  // A new empty blob of the same class and text form.
  virtual TSharedRef<TBlob> CreateClone() const;
  // The data object this class keeps its content in.
  virtual TSharedRef<TKxBlobData> CreateBlobData() const;
  // Called before every read (providers that fetch lazily); nothing here.
  virtual void CheckValue() {}
  // Keeps the current content as the rollback copy; "Blob must be in cached
  // mode" unless rollback is enabled.
  virtual void SaveToRollback();
  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t value);
  // "Cannot change IsUnicode if Size > 0".
  virtual void SetIsUnicode(bool value);
  virtual std::int64_t GetSizeAnsi();
  virtual std::int64_t GetSizeUni();
  // Drops the content and the rollback copy; derived classes release their
  // own resources here as well.
  virtual void FreeBlob();
  virtual std::int64_t Read(std::int64_t position, std::int64_t count, void* dest, std::int64_t destCapacity);
  virtual void Write(std::int64_t position, std::int64_t count, const void* source);
  virtual void Clear();
  virtual void Truncate(std::int64_t newSize);
  virtual bool IsEmpty();
  virtual void Defrag();
  // Replaces the content with the stream's, read from position 0.
  virtual void LoadFromStream(TStream& stream);
  // Empties the stream and writes the content to it.
  virtual void SaveToStream(TStream& stream);
  virtual void Commit();
  virtual void Cancel();

  std::int64_t Size() { return GetSize(); }
  bool IsUnicode() const noexcept { return FIsUnicode; }
  std::int64_t PieceSize() const noexcept { return FData->PieceSize(); }
  void SetPieceSize(std::int64_t value) { FData->SetPieceSize(value); }

  void EnableRollback() noexcept { FNeedRollback = true; }
  bool NeedRollback() const noexcept { return FNeedRollback; }
  bool CanRollback() const noexcept { return static_cast<bool>(FRollback); }
  bool UseRollback() const noexcept { return FUseRollback; }
  void SetUseRollback(bool value) noexcept { FUseRollback = value; }

  // The data object reads go to (the rollback copy while UseRollback is set
  // and one exists).
  TKxBlobData* Data() const noexcept;
  TKxBlobData* Rollback() const noexcept { return FRollback.Get(); }
  // Not while UseRollback is set; value must be non-null and of this blob's
  // data class (EArgumentError "Invalid BLOB data").
  void SetData(TSharedRef<TKxBlobData> value);
  // A new blob sharing the data (of the rollback copy when fromRollback and
  // one exists), or an empty one.
  TSharedRef<TBlob> Clone(bool fromRollback = false, bool cloneData = true) const;
  // Clears, takes the source's text form and copies its content.
  void Assign(TBlob& source);

  void AddCR();
  void RemoveCR();
  std::int64_t TranslatePositionToAnsi(std::int64_t position);
  std::int64_t TranslatePositionToUni(std::int64_t position);

  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);

  // Text views: AsAnsiString is 8-bit text in the process code page,
  // AsWideString UTF-16; AsString is AsAnsiString (std::string carries
  // 8-bit text throughout the library). Setting one clears the
  // blob and stores the value in the blob's own form.
  std::string AsAnsiString();
  void SetAsAnsiString(const std::string& value);
  std::u16string AsWideString();
  void SetAsWideString(const std::u16string& value);
  std::string AsString() { return AsAnsiString(); }
  void SetAsString(const std::string& value) { SetAsAnsiString(value); }
  std::vector<std::uint8_t> AsBytes();
  void SetAsBytes(const std::vector<std::uint8_t>& value);

 protected:
  TBlob(bool isUnicode, TSharedRef<TKxBlobData> data);
  // Raises "Invalid BLOB" while the blob is being destroyed.
  void CheckAlive() const;
  // Takes the rollback copy or a private copy of shared data before a change
  // and returns the data object to change.
  TKxBlobData& PrepareChange();
  // The whole content (of Data()) as bytes.
  std::string ReadAll();

  TSharedRef<TKxBlobData> FData;
  TSharedRef<TKxBlobData> FRollback;
  bool FIsUnicode = false;
  bool FNeedRollback = false;
  bool FUseRollback = false;
};

// ---- TCompressedBlob --------------------------------------------------------------

// The blob the record store uses for every large-object field.
class TCompressedBlob : public TBlob {
 public:
  explicit TCompressedBlob(bool isUnicode = false);

  TSharedRef<TBlob> CreateClone() const override;
  TSharedRef<TKxBlobData> CreateBlobData() const override;

  // Switches the stored form of the current content. Compressing happens
  // only above 50 bytes and when it saves space; decompressing a damaged
  // content raises and leaves it as it was.
  bool Compressed();
  void SetCompressed(bool value);
  std::int64_t CompressedSize();

 private:
  TCompressedBlobData& CData(TKxBlobData* which) const;
};

}  // namespace lumo
