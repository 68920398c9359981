// The in-memory record store. TData owns the field descriptors, lays out the
// binary record buffer and does all per-field access, the filter and the
// complex values of a record; TMemData keeps the rows as a doubly linked
// list of items that live in blocks, with variable-length values in a
// string heap, and adds record numbers, bookmarks, cached updates and local
// sorting. A provider record set derives from TMemData and fills it.
//
// Decisions:
// - Text copies in and out of a record are bounded by the slot's size, not
//   by the declared length (a dtWideString slot of a four-byte character set
//   holds 2 × Length units), and never split a UTF-8 sequence or a surrogate
//   pair; a heap string is copied out up to its declared length. GetField
//   and GetFieldAsVariant therefore give the same text.
// - A dtTime value below MaxTimeSpanDays in magnitude is a signed time span
//   and keeps its sign and whole days on every read and write (MemTypes.h).
// - Blocks for single items start at DefaultItemCount (10) items and grow
//   with the store to an eighth of the items in use, at most 256, so that a
//   large store costs few allocations (a block is still released with its
//   last item).
// - Item headers, block headers, bookmarks and string-heap buffer headers
//   are natural 64-bit structs (TItemHeader is 48 bytes); items are padded to
//   a multiple of 8 bytes. RecordSize keeps its observable rule (always odd).
// - Every item carries a serial number unique within its data object, and
//   the block manager knows its live blocks. A bookmark names its item, the
//   item's block and serial; SetToBookmark touches the item only after
//   checking that the block is live, the address is an item of it, the item
//   is in use and the serial matches. A stale bookmark falls back to its
//   record number; without one SetToBookmark returns false and the position
//   stays. BookmarkValid accepts a live item; only while a filter is set
//   must that item also be visible (a cached delete hidden by its status
//   still has a place to go to: the record after it).
// - Record numbers: record number = Order + RecordNoOffset for a visible
//   item; visibility is cached per item (FilterResult) and never inferred
//   from Order. Orders may become zero or negative while RecordNoOffset
//   grows. SetRecordNo builds the position-to-item array when it would
//   otherwise walk more than RecNoCacheWalkLimit items.
//   Once built, that array follows inserts and deletes (a move of pointers)
//   until a sort, a filter change or a fetch drops it.
// - Sorting orders a vector of per-record keys (see MemDataSort.h) and then
//   relinks the list. Records with equal keys end up in the order they were
//   added to the store (whatever order an earlier sort left). After an
//   insert a record moves backward while it sorts before its predecessor
//   and otherwise forward while it sorts after its successor, so the list
//   stays sorted wherever the record was inserted.
// - A filter predicate or expression that raises while a record is tested
//   hides that record; navigation never stops half-way on it.
// - A descriptor whose Size is below the least size of its type is given
//   that size when the record is laid out.
// - Complex values: the record in an item holds one counted reference to
//   each of its blobs, variant holders and other shared objects and one
//   heap reference to each heap buffer; AddRefComplexFields adds one of each
//   (variant holders included, so that a rollback copy never shares an
//   uncounted variant). InsertRecord and UpdateRecord take over the values
//   in the buffer they are given; PostRecord frees what the stored record
//   held before.
// - dtExtVarBytes keeps a 16-bit length: longer values raise "Value is too
//   long" (EConvertError) instead of being cut; dtVarBytes rejects more than
//   Length bytes the same way, and 16-bit integer fields reject values out
//   of their range. 8-bit text cut to a dtString field's size is cut at a
//   character boundary of the process code page when that is UTF-8.
// - The string heap's reference marker is 16 bits: when it would overflow,
//   AddRef returns a copy of the buffer instead. Large buffers (over 2000
//   bytes) are tracked, so Clear frees them too. With ThreadSafety, NewBuf,
//   DisposeBuf, AddRef and Clear take one lock.
// - ApplyUpdates survives handlers that change the store: an entry removed
//   by a handler is skipped, a handler that closes or reopens the store
//   stops the walk at once, and one that destroys the data object is
//   detected before anything of it is touched again.
// - Calling InitFields or InitData on a data object that holds rows first
//   frees the rows.
// - Exchange forms of GetField/PutField (the caller's buffer): dtString,
//   dtExtString, dtGuid zero-terminated 8-bit text; dtWideString,
//   dtExtWideString zero-terminated UTF-16; dtBytes Length bytes;
//   dtVarBytes, dtExtVarBytes a 16-bit length and the bytes; dates in their
//   TDateFormat; dtVariant a Variant object; blob and object types the
//   handle (PutField then stores a handle whose reference the record takes
//   over); everything else its Size bytes.
// - PutFieldAsVariant: every integer field (dtInt8 … dtUInt64) takes a
//   variant of any integer kind, signed or unsigned, of any width (dtInt32
//   also text); a value outside the field's range raises
//   EVariantOverflowError and nothing is stored. Refusing by kind instead
//   would refuse values that fit: GetFieldAsVariant answers with the
//   field's own kind (UInt64 from an unsigned BIGINT, Int8 from a TINYINT),
//   so copying a row into a store whose columns differ in width or sign, or
//   a server-generated key into its field, would fail on the kind alone.
//   Booleans, reals and dates are still refused with "Cannot convert type".
// - Fields that are attributes of a structured field are read and written
//   through their object as variants (GetFieldAsVariant, PutFieldAsVariant,
//   GetNull, SetNull); the raw GetField/PutField raise ENotSupportedError.
// - Filter text set on a store does not refilter it by itself; the owner
//   calls FilterUpdated (as the data set does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <lumokit/core/SharedObject.h>
#include <lumokit/core/Variant.h>
#include <lumokit/data/MemDataFilter.h>
#include <lumokit/data/MemDataSort.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

class TBlob;

// ---- string heap ------------------------------------------------------------------

class TStringHeap {
 public:
  static constexpr int BlockSize = 16384;
  static constexpr int SmallSize = 2000;
  static constexpr int Align = 8;
  static constexpr std::uint16_t RefFree = 100;
  static constexpr std::uint16_t RefNull = 101;
  static constexpr std::uint16_t RefMax = 0xFFFF;

  TStringHeap();
  ~TStringHeap();
  TStringHeap(const TStringHeap&) = delete;
  TStringHeap& operator=(const TStringHeap&) = delete;

  // A buffer of at least `size` bytes with one reference; nullptr for size <= 0.
  void* NewBuf(std::int64_t size);
  // Drops one reference; the buffer is released with the last one. Returns
  // true when it was released. nullptr is ignored (returns true).
  bool DisposeBuf(void* buf);
  // Adds a reference and returns `buf`, or, when its marker is at RefMax, a
  // new buffer with the same content. nullptr gives nullptr.
  [[nodiscard]] void* AddRef(void* buf);

  // Copies text into a new zero-terminated buffer (len -1: up to the
  // terminating zero; trim: trailing blanks dropped). nullptr text gives
  // nullptr.
  char* AllocStr(const char* text, bool trim = false, std::ptrdiff_t len = -1);
  char16_t* AllocWideStr(const char16_t* text, bool trim = false, std::ptrdiff_t len = -1);
  char* ReAllocStr(char* buf, const char* text, bool trim = false);
  char16_t* ReAllocWideStr(char16_t* buf, const char16_t* text, bool trim = false);

  // Frees every block and every large buffer.
  void Clear();

  bool Empty() const noexcept { return FEmpty; }
  bool SysGetMem() const noexcept { return FSysGetMem; }
  bool ThreadSafety() const noexcept { return FThreadSafety; }
  void SetThreadSafety(bool value) noexcept { FThreadSafety = value; }
  // Bytes taken from the system (blocks and large buffers).
  std::int64_t AllocatedBytes() const noexcept { return FAllocated; }

  // The capacity and the reference marker of a buffer.
  static std::int32_t BufSize(const void* buf) noexcept;
  static std::uint16_t RefMarker(const void* buf) noexcept;

 private:
  struct TBufHeader {
    std::int32_t Size;
    std::uint16_t Marker;
    std::uint16_t Large;
  };
  struct TLargeHeader {
    TLargeHeader* Prev;
    TLargeHeader* Next;
  };
  struct TBlock {
    TBlock* Prev;
  };
  static_assert(sizeof(TBufHeader) == 8, "heap buffers stay 8-byte aligned");
  static constexpr int SmallClasses = SmallSize / Align;
  static constexpr int BlockSpace = BlockSize - static_cast<int>(sizeof(TBlock));

  void* NewBufLocked(std::int64_t size);
  bool DisposeBufLocked(void* buf);
  void* NewBlockBuf(std::int32_t capacity);
  void PushFree(TBufHeader* h);
  void StartBlock();
  void ClearLocked() noexcept;

  void* FSmallTab[SmallClasses] = {};
  TBlock* FRoot = nullptr;
  std::uint8_t* FCarve = nullptr;
  int FFree = 0;
  TLargeHeader* FLarge = nullptr;
  bool FEmpty = true;
  bool FSysGetMem = false;
  bool FThreadSafety = false;
  std::int64_t FAllocated = 0;
  std::mutex FThreadSafetyCS;
};

// ---- items and blocks ---------------------------------------------------------------

constexpr std::uint8_t flUsed = 0xEE;
constexpr std::uint8_t flFree = 0xDD;
constexpr std::uint16_t DefaultBlockItemCount = 10;
constexpr std::uint32_t MaxBlockItemCount = 256;

struct TBlockHeader;

struct TItemHeader {
  TBlockHeader* Block;
  TItemHeader* Prev;
  TItemHeader* Next;
  TItemHeader* Rollback;
  std::uint64_t Serial;
  std::int32_t Order;
  TItemStatus Status;
  TUpdateRecAction UpdateResult;
  std::uint8_t Flag;
  TItemFilterState FilterResult;
};
static_assert(sizeof(TItemHeader) == 48, "natural 64-bit item header");

struct TBlockHeader {
  TBlockHeader* Prev;
  TBlockHeader* Next;
  std::uint32_t ItemCount;
  std::uint32_t UsedItems;
  std::uint8_t Test;
};

class TBlockManager {
 public:
  TBlockManager();
  ~TBlockManager();
  TBlockManager(const TBlockManager&) = delete;
  TBlockManager& operator=(const TBlockManager&) = delete;

  // Takes an item from the free list (a new block when it is empty: of
  // DefaultItemCount items, or an eighth of the items in use up to
  // MaxBlockItemCount), marked flUsed with fresh status and a new serial.
  TItemHeader* AllocItem();
  // Returns an item to its block; the block is released with its last item.
  void FreeItem(TItemHeader* item);
  // A block whose items are all in use, fresh, and not linked anywhere.
  TBlockHeader* AllocBlock(std::uint32_t itemCount);
  // Releases every block.
  void FreeAllBlocks() noexcept;

  TItemHeader* BlockItem(TBlockHeader* block, std::uint32_t index) const noexcept;
  static std::uint8_t* GetRecordPtr(TItemHeader* item) noexcept {
    return reinterpret_cast<std::uint8_t*>(item) + sizeof(TItemHeader);
  }
  static const std::uint8_t* GetRecordPtr(const TItemHeader* item) noexcept {
    return reinterpret_cast<const std::uint8_t*>(item) + sizeof(TItemHeader);
  }
  void PutRecord(const void* recBuf, TItemHeader* item) const noexcept;
  void GetRecord(void* recBuf, const TItemHeader* item) const noexcept;
  void CopyRecord(const TItemHeader* source, TItemHeader* dest) const noexcept;

  // True when `item` is an item of the live block `block`, in use, with
  // this serial. Reads nothing that is not live.
  bool IsLiveItem(const TItemHeader* item, const TBlockHeader* block, std::uint64_t serial) const noexcept;

  int RecordSize() const noexcept { return FRecordSize; }
  // Only while no block exists.
  void SetRecordSize(int value);
  std::size_t ItemSize() const noexcept { return FItemSize; }
  std::size_t BlockCount() const noexcept { return FBlocks.size(); }
  std::int64_t AllocatedBytes() const noexcept { return FAllocated; }

  TItemHeader* FirstFree = nullptr;
  TBlockHeader* FirstBlock = nullptr;  // the newest block
  TBlockHeader* LastBlock = nullptr;   // the oldest block
  std::uint16_t DefaultItemCount = DefaultBlockItemCount;

 private:
  struct TBlockDeleter {
    void operator()(TBlockHeader* block) const noexcept;
  };
  TBlockHeader* NewBlock(std::uint32_t itemCount);
  void ReleaseBlock(TBlockHeader* block) noexcept;
  void InitItem(TItemHeader* item) noexcept;

  int FRecordSize = 0;
  std::size_t FItemSize = sizeof(TItemHeader);
  std::uint64_t FNextSerial = 1;
  std::uint64_t FUsedItems = 0;
  std::int64_t FAllocated = 0;
  std::unordered_map<const TBlockHeader*, std::unique_ptr<TBlockHeader, TBlockDeleter>> FBlocks;
};

// A position handed to the data set as opaque bytes.
struct TRecBookmark {
  std::int32_t RefreshIteration = 0;
  std::int32_t Order = -1;  // record number, -1 without a current record
  TItemHeader* Item = nullptr;
  TBlockHeader* Block = nullptr;
  std::uint64_t Serial = 0;
};

// One cached change.
struct TCacheItem {
  TItemHeader* Item = nullptr;
  TCacheItem* Next = nullptr;
  TCacheItem* Prev = nullptr;
  bool Removed = false;  // taken out of the cache while an apply walk runs
};

using TUpdateRecKinds = TEnumSet<TUpdateRecKind>;
using TItemTypes = TEnumSet<TItemStatus>;
using TRecBuf = std::unique_ptr<std::uint8_t[]>;

enum TReorderOption : std::uint8_t { roInsert, roDelete, roFull };

// The process-wide refresh iteration (advanced by every InitData).
std::int32_t CurrentRefreshIteration() noexcept;

// ---- TData --------------------------------------------------------------------------

class TData {
 public:
  using TNotifyEvent = std::function<void()>;
  using TApplyRecordEvent = std::function<void(TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem)>;
  using TFilterFunc = std::function<bool(void* recBuf)>;
  using TGetCachedBufferEvent = std::function<void(void* buffer)>;

  TData();
  virtual ~TData();
  TData(const TData&) = delete;
  TData& operator=(const TData&) = delete;

  // ---- lifecycle (hooks for the provider first) ----
  virtual void InternalPrepare() {}
  virtual void InternalUnPrepare() {}
  virtual void InternalOpen() {}
  virtual void InternalClose() {}
  virtual void InitData();
  virtual void FreeData();
  virtual void InternalInitFields() {}
  virtual std::string GetArrayFieldName(const TObjectType& objectType, int index);
  virtual int GetIndicatorSize();
  virtual int GetEncryptStateSize() { return 0; }
  virtual bool NeedConvertEOL() { return false; }

  // ---- navigation ----
  virtual bool GetEOF() { return FEOF; }
  virtual bool GetBOF() { return FBOF; }
  virtual int GetRecordCount() { return FRecordCount; }
  virtual int GetRecordNo() = 0;
  virtual void SetRecordNo(int value) = 0;

  // Fire OnAppend/OnDelete/OnUpdate (the owner writes the change).
  virtual void InternalAppend(void* recBuf);
  virtual void InternalDelete();
  virtual void InternalUpdate(void* recBuf);

  // Parses at once when the data object is active; a text that does not
  // parse raises and leaves no expression.
  virtual void SetFilterText(const std::string& value);

  virtual void InternalCacheChanged();
  virtual void InternalCacheApplied();
  virtual void InternalCacheCanceled();
  virtual bool GetUpdatesPending() { return false; }
  virtual void SetFilterItemTypes(TItemTypes value);

  virtual void Open();
  virtual void Close();
  virtual void Prepare();
  virtual void UnPrepare();
  virtual bool IsFullReopen() { return false; }
  virtual void Reopen();

  // ---- fields ----
  // The descriptor class of this store: a new descriptor of it.
  virtual std::unique_ptr<TFieldDesc> GetFieldDescType();
  virtual void InitFields();
  virtual void ExplicitInitFields() { InitFields(); }
  virtual void ClearFields();

  // `recBuf` is a whole record buffer (with its calculated area for
  // calculated fields).
  virtual void GetField(int fieldNo, void* recBuf, void* dest, bool& isBlank, bool needConvert = false);
  virtual void GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool needConvert = false);
  // source nullptr sets the field null.
  virtual void PutField(int fieldNo, void* recBuf, const void* source, bool isDatabaseValue = false);
  // `length` counts bytes of dtBytes/dtVarBytes/dtExtVarBytes values and
  // characters of text (-1: the exchange form's own length).
  virtual void PutFieldData(const TFieldDesc& field, void* recBuf, const void* source, std::int64_t length,
                            bool isDatabaseValue);
  // PutField with an explicit length (see PutFieldData).
  void PutFieldValue(int fieldNo, void* recBuf, const void* source, std::int64_t length, bool isDatabaseValue = false);
  virtual bool GetNull(int fieldNo, void* recBuf);
  virtual void SetNull(int fieldNo, void* recBuf, bool value);
  virtual void InitEncryption() {}
  // -1: never encrypted; else byte index (high byte) and bit mask (low byte).
  virtual int GetEncryptState(int fieldNo);
  virtual Variant GetFieldDataAsVariant(const TFieldDesc& field, const void* recBuf);
  virtual void PutFieldAsVariant(int fieldNo, void* recBuf, const Variant& value, bool isDatabaseValue = false);
  virtual void GetDateFromBuf(const void* buf, const TFieldDesc& field, void* date, TDateFormat format);
  virtual void PutDateToBuf(void* buf, const TFieldDesc& field, const void* date, TDateFormat format);
  virtual bool IsBlobFieldType(std::uint16_t dataType);
  virtual bool IsComplexFieldType(std::uint16_t dataType);
  virtual bool FieldListDependsOnParams() { return false; }

  // ---- records ----
  virtual void GetRecord(void* recBuf) = 0;
  virtual void GetNextRecord(void* recBuf) = 0;
  virtual void GetPriorRecord(void* recBuf) = 0;
  // One step of a walk as GetNextRecord (GetPriorRecord with `back`) takes
  // it, without copying the row: the row's image (RecordSize bytes, valid
  // until the store changes) and update status, with its bookmark filled
  // in; a null image (EOF or BOF set) when there was no row.
  struct TStep {
    const void* Row = nullptr;
    TItemStatus Status = isUnmodified;
  };
  virtual TStep StepRecord(bool back, TRecBookmark& bookmark) = 0;
  virtual void PutRecord(const void* recBuf) = 0;
  virtual void AppendRecord(void* recBuf) = 0;
  virtual void InsertRecord(void* recBuf) = 0;
  virtual void UpdateRecord(void* recBuf) = 0;
  virtual void DeleteRecord() = 0;
  virtual void CancelRecord(void* recBuf);

  virtual void CreateComplexFields(void* recBuf, bool withBlob);
  virtual void CreateComplexField(void* recBuf, int fieldIndex, bool withBlob);
  virtual void FreeComplexFields(void* recBuf, bool withBlob);
  virtual void CopyComplexFields(const void* source, void* dest, bool withBlob);
  virtual void AddRefComplexFields(void* recBuf);

  virtual void SetToBegin() = 0;
  virtual void SetToEnd() = 0;
  virtual void GetBookmark(TRecBookmark& bookmark) = 0;
  // False when the bookmark names no record that can be found (the
  // position is then unchanged).
  virtual bool SetToBookmark(const TRecBookmark& bookmark) = 0;
  virtual bool BookmarkValid(const TRecBookmark* bookmark) = 0;
  // nullptr is a missing bookmark.
  virtual int CompareBookmarks(const TRecBookmark* b1, const TRecBookmark* b2) = 0;
  virtual bool NeedGetRecordAfterGotoBookmark() { return false; }

  // ---- cached updates ----
  virtual TItemStatus GetUpdateStatus() = 0;
  virtual TUpdateRecAction GetUpdateResult() = 0;
  virtual bool HasUpdatedOrDeletedRecords() = 0;
  virtual void SetCacheRecBuf(void* newBuf, void* oldBuf);
  virtual void ApplyUpdates(TUpdateRecKinds kinds) = 0;
  virtual void CommitUpdates() = 0;
  virtual void CancelUpdates() = 0;
  virtual void RestoreUpdates() = 0;
  virtual void RevertRecord() = 0;
  virtual void ApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem);
  virtual void GetOldRecord(void* recBuf) = 0;
  virtual void FilterUpdated() = 0;

  // ---- non-virtual helpers ----
  // A zeroed buffer of RecordSize bytes (plus CalcRecordSize with withCalc).
  TRecBuf AllocRecBuf(bool withCalc = false) const;
  // Zeroes the buffer, marks every field null and creates complex values.
  void InitRecord(void* recBuf);
  void AppendBlankRecord();
  void EditRecord(void* recBuf);
  void PostRecord(void* recBuf);
  Variant GetFieldAsVariant(int fieldNo, void* recBuf);
  TFieldDesc* FindField(std::string_view name) const { return FFields.FindField(name); }
  TFieldDesc& FieldByName(std::string_view name) const { return FFields.FieldByName(name); }
  bool HasFields(std::initializer_list<std::uint16_t> types) const;
  bool HasBlobFields();
  bool CheckHasComplexFields();
  // The blob of a blob field ("Field is not BLOB" otherwise); nullptr when
  // the slot is empty.
  TBlob* GetObject(int fieldNo, const void* recBuf);
  // Stores a handle; the record takes over one reference of `obj`.
  void SetObject(int fieldNo, void* recBuf, TSharedObject* obj);
  // Blob access through a record. With translateToUnicode the caller sees
  // UTF-16 content (and 8-bit content otherwise) whatever the blob holds;
  // positions and counts are then in the caller's form.
  std::int64_t ReadBlob(int fieldNo, const void* recBuf, std::int64_t position, std::int64_t count, void* dest,
                        bool fromRollback = false, bool translateToUnicode = false);
  void WriteBlob(int fieldNo, void* recBuf, std::int64_t position, std::int64_t count, const void* source,
                 bool translateFromUnicode = false);
  void TruncateBlob(int fieldNo, void* recBuf, std::int64_t size, bool translateFromUnicode = false);
  std::int64_t GetBlobSize(int fieldNo, const void* recBuf, bool fromRollback = false, bool translateToUnicode = false);
  void SetBlobSize(int fieldNo, void* recBuf, std::int64_t size, bool fromRollback = false,
                   bool translateToUnicode = false);
  bool Filtered() const noexcept { return FFilterFunc || FFilterMDFunc || FFilterExpression; }

  // ---- properties ----
  TFieldDescs& Fields() noexcept { return FFields; }
  const TFieldDescs& Fields() const noexcept { return FFields; }
  int FieldCount() const noexcept { return FFields.Count(); }
  int RecordSize() const noexcept { return FRecordSize; }
  int CalcRecordSize() const noexcept { return FCalcRecordSize; }
  int DataSize() const noexcept { return FDataSize; }
  int CalcDataSize() const noexcept { return FCalcDataSize; }
  TStringHeap& StringHeap() noexcept { return *FStringHeap; }
  bool Active() const noexcept { return FActive; }
  bool Prepared() const noexcept { return FPrepared; }
  int RecordNoOffset() const noexcept { return FRecordNoOffset; }

  bool CachedUpdates() const noexcept { return FCachedUpdates; }
  virtual void SetCachedUpdates(bool value);
  bool LocalUpdate() const noexcept { return FLocalUpdate; }
  void SetLocalUpdate(bool value) noexcept { FLocalUpdate = value; }
  bool AutoInitFields() const noexcept { return FAutoInitFields; }
  void SetAutoInitFields(bool value) noexcept { FAutoInitFields = value; }
  bool TrimFixedChar() const noexcept { return FTrimFixedChar; }
  void SetTrimFixedChar(bool value) noexcept { FTrimFixedChar = value; }
  bool TrimVarChar() const noexcept { return FTrimVarChar; }
  void SetTrimVarChar(bool value) noexcept { FTrimVarChar = value; }
  bool SetEmptyStrToNull() const noexcept { return FSetEmptyStrToNull; }
  void SetSetEmptyStrToNull(bool value) noexcept { FSetEmptyStrToNull = value; }
  bool RequireEmptyStrToNull() const noexcept { return FRequireEmptyStrToNull; }
  void SetRequireEmptyStrToNull(bool value) noexcept { FRequireEmptyStrToNull = value; }
  bool SparseArrays() const noexcept { return FSparseArrays; }
  void SetSparseArrays(bool value) noexcept { FSparseArrays = value; }
  bool HasComplexFields() const noexcept { return FHasComplexFields; }

  const std::string& FilterText() const noexcept { return FFilterText; }
  TFilterExpression* FilterExpression() const noexcept { return FFilterExpression.get(); }
  bool FilterCaseInsensitive() const noexcept { return FFilterCaseInsensitive; }
  void SetFilterCaseInsensitive(bool value) noexcept { FFilterCaseInsensitive = value; }
  bool FilterNoPartialCompare() const noexcept { return FFilterNoPartialCompare; }
  void SetFilterNoPartialCompare(bool value) noexcept { FFilterNoPartialCompare = value; }
  TItemTypes FilterItemTypes() const noexcept { return FFilterItemTypes; }
  const TFilterFunc& FilterFunc() const noexcept { return FFilterFunc; }
  void SetFilterFunc(TFilterFunc value) { FFilterFunc = std::move(value); }
  const TFilterFunc& FilterMDFunc() const noexcept { return FFilterMDFunc; }
  void SetFilterMDFunc(TFilterFunc value) { FFilterMDFunc = std::move(value); }

  void* NewCacheRecBuf() const noexcept { return FNewCacheRecBuf; }
  void* OldCacheRecBuf() const noexcept { return FOldCacheRecBuf; }

  // Events.
  TNotifyEvent OnAppend;
  TNotifyEvent OnDelete;
  TNotifyEvent OnUpdate;
  TApplyRecordEvent OnApplyRecord;
  TNotifyEvent OnCacheChanged;
  TNotifyEvent OnCacheApplied;
  TNotifyEvent OnCacheCanceled;
  TNotifyEvent OnFieldsChanged;
  TNotifyEvent OnGetCachedFields;
  TGetCachedBufferEvent OnGetCachedBuffer;

 protected:
  // The descriptor of a field number (1-based); raises for a bad number.
  TFieldDesc& FieldDescOf(int fieldNo) const;
  static std::uint8_t* Slot(void* recBuf, const TFieldDesc& field) noexcept {
    return static_cast<std::uint8_t*>(recBuf) + field.Offset();
  }
  static const std::uint8_t* Slot(const void* recBuf, const TFieldDesc& field) noexcept {
    return static_cast<const std::uint8_t*>(recBuf) + field.Offset();
  }
  static void* ReadHandle(const void* slot) noexcept;
  static void WriteHandle(void* slot, const void* handle) noexcept;
  bool IsNullIndicator(int fieldNo, const void* recBuf) const noexcept;
  void SetNullIndicator(int fieldNo, void* recBuf, bool value) noexcept;
  void SetEncryptBit(int fieldNo, void* recBuf, bool plain);
  // After a value was stored: empty text to null when asked, the null
  // indicator and the encryption bit.
  void FinishPut(int fieldNo, const TFieldDesc& field, void* recBuf);
  // True for the top-level, non-calculated fields whose slot holds a
  // complex value.
  bool HasComplexSlot(const TFieldDesc& field);
  void MakeNamesUnique();
  void LayOutRecord();
  // Text of a text field in the record (trimmed by the trimming flags).
  std::string_view RawAnsiText(const TFieldDesc& field, const void* recBuf) const noexcept;
  std::u16string_view RawWideText(const TFieldDesc& field, const void* recBuf) const noexcept;
  bool TrimsField(const TFieldDesc& field) const noexcept;
  // Values of fields that are attributes of a structured field.
  TDBObject* ParentObject(const TFieldDesc& field, const void* recBuf) const;
  std::string AttributeName(const TFieldDesc& field) const;

  // Filter: the expression and the predicates for one record buffer.
  void ParseFilter();
  bool FilterAccepts(void* recBuf);
  // Blob helpers.
  TBlob* BlobOf(const TFieldDesc& field, const void* recBuf) const noexcept;
  TBlob* CheckedBlob(int fieldNo, const void* recBuf);
  void CommitBlobs(void* recBuf);
  void CancelBlobs(void* recBuf);

  // State.
  int FRecordSize = 0;
  int FCalcRecordSize = 0;
  bool FCachedUpdates = false;
  bool FLocalUpdate = false;
  bool FAutoInitFields = true;
  bool FTrimFixedChar = false;
  bool FTrimVarChar = false;
  TFilterFunc FFilterFunc;
  TFilterFunc FFilterMDFunc;
  std::string FFilterText;
  bool FFilterCaseInsensitive = false;
  bool FFilterNoPartialCompare = false;
  TItemTypes FFilterItemTypes{isUnmodified, isUpdated, isAppended};
  std::unique_ptr<TFilterExpression> FFilterExpression;
  void* FilterRecBuf = nullptr;
  bool FSetEmptyStrToNull = false;
  bool FHasComplexFields = false;
  bool FSparseArrays = false;
  bool FRequireEmptyStrToNull = false;
  std::int32_t FRecordNoOffset = 0;
  std::int32_t FRecordCount = 0;
  bool FBOF = true;
  bool FEOF = true;
  int FDataSize = 0;
  int FCalcDataSize = 0;
  int FIndicatorSize = 0;
  TFieldDescs FFields;
  std::unique_ptr<TStringHeap> FStringHeap;
  bool FActive = false;
  bool FPrepared = false;
  void* FNewCacheRecBuf = nullptr;
  void* FOldCacheRecBuf = nullptr;
  // The complex top-level fields (indexes into FFields), refreshed by
  // InitFields.
  std::vector<int> FComplexFieldIndexes;
  bool FSuppressFieldsChanged = false;

  // Guards of running ApplyUpdates walks: the destructor marks them, so a
  // walk notices that a handler destroyed the data object.
  struct TApplyGuard {
    bool Destroyed = false;
    TApplyGuard* Outer = nullptr;
  };
  TApplyGuard* FApplyGuards = nullptr;
};

// ---- TMemData -----------------------------------------------------------------------

class TMemData : public TData {
 public:
  // SetRecordNo builds the position-to-item array instead of walking
  // further than this.
  static constexpr int RecNoCacheWalkLimit = 256;

  TMemData();
  ~TMemData() override;

  // ---- TData ----
  void InitData() override;
  void FreeData() override;
  void InitFields() override;
  void ClearFields() override;
  void Reopen() override;
  int GetRecordNo() override;
  void SetRecordNo(int value) override;
  void GetRecord(void* recBuf) override;
  void GetNextRecord(void* recBuf) override;
  void GetPriorRecord(void* recBuf) override;
  // Inline, for the memory data set's walk: the common step, a forward one
  // onto a visible item next to the current one, is taken here; everything
  // else (hidden items, the ends, fetching) goes the long way. The walk is
  // TMemData's own, so this is final.
  TStep StepRecord(bool back, TRecBookmark& bookmark) final {
    if (!back)
      if (const TStep step = StepRecordNear(bookmark); step.Row) return step;
    return StepRecordFar(back, bookmark);
  }
  // The common step alone: a null row (and nothing changed) when the step is
  // not of that kind.
  TStep StepRecordNear(TRecBookmark& bookmark) noexcept {
    TItemHeader* item = FCurrentItem ? FCurrentItem->Next : (FEOF && !FBOF ? nullptr : FFirstItem);
    if (!item || item->FilterResult != fsNotOmitted) return {};
    FCurrentItem = item;
    FBOF = FEOF = false;
    FillBookmark(item, bookmark);
    return {TBlockManager::GetRecordPtr(item), item->Status};
  }
  void PutRecord(const void* recBuf) override;
  void AppendRecord(void* recBuf) override;
  void InsertRecord(void* recBuf) override;
  void UpdateRecord(void* recBuf) override;
  void DeleteRecord() override;
  void SetToBegin() override;
  void SetToEnd() override;
  void GetBookmark(TRecBookmark& bookmark) override;
  bool SetToBookmark(const TRecBookmark& bookmark) override;
  bool BookmarkValid(const TRecBookmark* bookmark) override;
  int CompareBookmarks(const TRecBookmark* b1, const TRecBookmark* b2) override;
  bool GetUpdatesPending() override;
  void SetFilterItemTypes(TItemTypes value) override;
  TItemStatus GetUpdateStatus() override;
  TUpdateRecAction GetUpdateResult() override;
  bool HasUpdatedOrDeletedRecords() override;
  void ApplyUpdates(TUpdateRecKinds kinds) override;
  void CommitUpdates() override;
  void CancelUpdates() override;
  void RestoreUpdates() override;
  void RevertRecord() override;
  void GetOldRecord(void* recBuf) override;
  void FilterUpdated() override;
  void SetCachedUpdates(bool value) override;

  // ---- TMemData ----
  // Fetches the next (or previous) block of rows; false when none came.
  virtual bool Fetch(bool fetchBack = false);
  // Fetches more rows for a walk that ran past the last item (or, fetching
  // back, before the first); false when none came. `item` becomes the item
  // the walk goes on from.
  virtual bool FetchForWalk(bool fetchBack, TItemHeader*& item);
  // Whether rows before the first item can be fetched.
  virtual bool CanFetchBack() { return false; }
  virtual void SetSortDefaults(TSortColumn& column);
  // String comparisons (results -1, 0, 1); see the unit comment of the
  // sort unit for the collation used.
  virtual int InternalAnsiStrComp(std::string_view s1, std::string_view s2, TCompareOptions options);
  virtual int InternalAnsiCompareText(std::string_view s1, std::string_view s2, TCompareOptions options);
  virtual int InternalWStrLComp(std::u16string_view s1, std::u16string_view s2, std::size_t len,
                                TCompareOptions options);
  virtual int InternalWStrComp(std::u16string_view s1, std::u16string_view s2, TCompareOptions options);
  virtual int CompareStrValues(std::string_view key, std::string_view value, TCompareOptions options);
  virtual int CompareWideStrValues(std::u16string_view key, std::u16string_view value, TCompareOptions options);
  // Compares a key (in the form produced by PrepareKey) of type valueType
  // with the field value in recBuf.
  virtual int CompareFieldValue(const void* value, std::uint16_t valueType, TCompareOptions options, const void* recBuf,
                                const TFieldDesc& field);
  virtual int CompareFields(const void* recBuf1, const void* recBuf2, const TSortColumn& column);
  virtual int CompareFields(const void* recBuf1, const void* recBuf2, TCompareOptions options, const TFieldDesc& field);
  virtual void SetIndexFieldNames(const std::string& value);
  virtual void SortItems();
  // Whether SortItems may order by precomputed keys. A subclass whose
  // comparison hooks differ from the ones here answers false, and then
  // every comparison goes through CompareRecords.
  virtual bool CanSortByKeys() { return true; }

  // Compares two record buffers by the sort columns.
  int CompareRecords(const void* recBuf1, const void* recBuf2);

  const std::string& IndexFieldNames() const noexcept { return FIndexFieldNames; }
  TSortColumns& IndexFields() noexcept { return FIndexFields; }

  // Blocks for a provider's fetch: allocate a block, fill the records of
  // its items, then link the first rowsFetched items after the last item
  // (before the first with fetchBack); the rest are freed.
  TBlockHeader* AllocFetchBlock(std::uint32_t itemCount) { return FBlockMan.AllocBlock(itemCount); }
  void LinkFetchedItems(TBlockHeader* block, std::uint32_t rowsFetched, bool fetchBack);
  // Numbers `count` linked items starting at `first` (backward from it
  // with fetchBack), counting visible ones into RecordCount unless told not to.
  void InitFetchedItems(TItemHeader* first, std::uint32_t count, bool fetchBack, bool countVisible = true);

  TBlockManager& BlockMan() noexcept { return FBlockMan; }
  TItemHeader* FirstItem() const noexcept { return FFirstItem; }
  TItemHeader* LastItem() const noexcept { return FLastItem; }
  TItemHeader* CurrentItem() const noexcept { return FCurrentItem; }
  int CacheCount() const noexcept { return static_cast<int>(FCacheIndex.size()); }
  bool RecordNoCacheBuilt() const noexcept { return FRecordNoCacheValid; }
  void PrepareRecNoCache();
  // Whether an item passes the item-type test and the filters (cached).
  bool IsVisible(TItemHeader* item) {
    if (item->FilterResult == fsNotChecked) CheckVisibility(item);
    return item->FilterResult == fsNotOmitted;
  }

 protected:
  // Raw visibility test of an item (not cached).
  virtual bool OmitRecord(TItemHeader* item);
  void CheckVisibility(TItemHeader* item);
  // Renumbers after `item` became visible (roInsert) or hidden (roDelete;
  // its Order still the old one), or everything (roFull).
  void ReorderItems(TItemHeader* item, TReorderOption option);
  void RenumberAll();
  TItemHeader* InsertItem();
  void LinkBefore(TItemHeader* item, TItemHeader* before) noexcept;
  void Unlink(TItemHeader* item) noexcept;
  // Unlinks and frees a linked item with its values and rollback record.
  void RemoveItem(TItemHeader* item);
  void FreeItemWithValues(TItemHeader* item);
  // Moves an item to its sorted place (direction < 0: backward, > 0:
  // forward, 0 for a new item: either way); true when it moved.
  bool MoveSortedRecord(TItemHeader* item, int direction);
  int CompareItems(TItemHeader* a, TItemHeader* b);
  // The current item, moved forward over hidden items.
  TItemHeader* VisibleCurrent();
  // StepRecord beyond the common step.
  TStep StepRecordFar(bool back, TRecBookmark& bookmark);
  // The bookmark of a visible item.
  void FillBookmark(TItemHeader* item, TRecBookmark& bookmark) const noexcept {
    bookmark.RefreshIteration = FRefreshIteration;
    bookmark.Item = item;
    bookmark.Block = item->Block;
    bookmark.Serial = item->Serial;
    bookmark.Order = item->Order + FRecordNoOffset;
  }
  void ClearRecordNoCache() noexcept;
  // Cache entries.
  TCacheItem* FindCacheItem(TItemHeader* item) const;
  TCacheItem* AddCacheItem(TItemHeader* item);
  void RemoveCacheItem(TItemHeader* item);
  void FreeCache() noexcept;
  // Cached-update steps on one item. MakeRollback keeps the values before
  // the first change (and the old content of blobs changed later).
  void MakeRollback(TItemHeader* item, const void* newRecBuf);
  void RestoreRollback(TItemHeader* item);
  void FreeRollback(TItemHeader* item);
  void RevertItem(TItemHeader* item);
  // Visibility or order of an item may have changed: re-test and renumber.
  void ItemChanged(TItemHeader* item, bool wasVisible, int sortDirection);
  void ReleaseAll() noexcept;
  // Prepares a field value of a record as a key for CompareFieldValue.
  struct TKeyValue;
  void PrepareKey(const TFieldDesc& field, const void* recBuf, TKeyValue& key);
  // Record buffers with their calculated values, for comparisons.
  const void* CalcBuffer(const void* recBuf, int which);
  bool SortColumnsNeedCalc() const noexcept;
  // Orders the items by precomputed keys of the first sort column; false
  // when that column's type has no such keys.
  bool SortByKeys(std::vector<TItemHeader*>& items, std::vector<std::uint32_t>& order);

  TCacheItem* FCache = nullptr;
  TCacheItem* FLastCacheItem = nullptr;
  std::unordered_map<const TItemHeader*, std::unique_ptr<TCacheItem>> FCacheIndex;
  std::vector<std::unique_ptr<TCacheItem>> FRemovedCache;
  int FApplyDepth = 0;
  std::int32_t FRefreshIteration = 0;
  std::string FIndexFieldNames;
  TSortColumns FIndexFields;
  std::vector<TItemHeader*> FRecordNoCache;
  bool FRecordNoCacheValid = false;
  TItemHeader* FFirstItem = nullptr;
  TItemHeader* FLastItem = nullptr;
  TItemHeader* FCurrentItem = nullptr;
  TBlockManager FBlockMan;
  std::vector<std::uint8_t> FCalcBuf[2];
  std::vector<std::uint8_t> FApplyNewBuf;
  std::vector<std::uint8_t> FApplyOldBuf;
};

}  // namespace lumo
