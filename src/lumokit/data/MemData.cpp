#include <lumokit/data/MemData.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <numeric>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/KxBlob.h>

namespace lumo {

namespace {

std::atomic<std::int32_t> gRefreshIteration{1};

constexpr std::size_t RoundUp8(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }

[[noreturn]] void TooLong() { throw EConvertError("Value is too long"); }
[[noreturn]] void CannotConvert() { throw EConvertError("Cannot convert type"); }
[[noreturn]] void CannotConvertType(std::uint16_t dataType) {
  throw EConvertError(Format("Cannot convert type %d", {dataType}));
}

bool IsHeapType(std::uint16_t t) noexcept { return t == dtExtString || t == dtExtWideString || t == dtExtVarBytes; }

std::uint16_t ReadU16(const void* p) noexcept {
  std::uint16_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void WriteU16(void* p, std::uint16_t v) noexcept { std::memcpy(p, &v, sizeof v); }

template <typename T>
T ReadAs(const void* p) noexcept {
  T v{};
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void WriteAs(void* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// Length of 8-bit text that fits in `maxBytes` without cutting a UTF-8
// character (when the process code page is UTF-8).
std::size_t FitText(std::string_view text, std::size_t maxBytes) noexcept {
  if (text.size() <= maxBytes) return text.size();
  std::size_t n = maxBytes;
  if (DefaultCodePage() == CP_UTF8) {
    // Step back over continuation bytes of a character that does not fit.
    std::size_t start = n;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (start < n || (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = start;
  }
  return n;
}

std::size_t FitWide(std::u16string_view text, std::size_t maxUnits) noexcept {
  if (text.size() <= maxUnits) return text.size();
  std::size_t n = maxUnits;
  if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return n;
}

// UTF-16 units a dtWideString slot holds besides its terminator. The slot
// may be larger than 2 × Length + 2 (room for surrogate pairs), so its size,
// not the declared length, bounds every copy in and out.
std::size_t WideSlotUnits(const TFieldDesc& field) noexcept {
  return field.Size() >= 2 ? static_cast<std::size_t>(field.Size()) / 2 - 1 : 0;
}

template <typename Ch>
std::basic_string_view<Ch> RTrim(std::basic_string_view<Ch> s) noexcept {
  while (!s.empty() && (s.back() == Ch(' ') || s.back() == Ch(0))) s.remove_suffix(1);
  return s;
}

// Copies text into dest (capacity `cap` characters plus the terminator),
// turning every lone line feed into carriage return + line feed when asked.
// Code units of the character that starts at src[i]: a surrogate pair, or
// a UTF-8 sequence (lead byte and its continuation bytes) when the process
// code page is UTF-8.
std::size_t CharUnits(std::string_view src, std::size_t i) noexcept {
  std::size_t n = 1;
  if (DefaultCodePage() == CP_UTF8)
    while (i + n < src.size() && (static_cast<unsigned char>(src[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}
std::size_t CharUnits(std::u16string_view src, std::size_t i) noexcept {
  const char16_t c = src[i];
  return c >= 0xD800 && c <= 0xDBFF && i + 1 < src.size() && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF ? 2 : 1;
}

// Copies text into dest (capacity `cap` characters plus the terminator),
// turning every lone line feed into carriage return + line feed when asked.
// The copy stops before a character that does not fit whole.
template <typename Ch>
void CopyText(std::basic_string_view<Ch> src, Ch* dest, std::size_t cap, bool convertEOL) noexcept {
  std::size_t o = 0;
  if (!convertEOL) {
    if constexpr (std::is_same_v<Ch, char>)
      o = FitText(src, cap);
    else
      o = FitWide(src, cap);
    std::memcpy(dest, src.data(), o * sizeof(Ch));
  } else {
    for (std::size_t i = 0; i < src.size();) {
      const Ch c = src[i];
      if (c == Ch('\n') && (i == 0 || src[i - 1] != Ch('\r'))) {
        if (o + 2 > cap) break;
        dest[o++] = Ch('\r');
        dest[o++] = c;
        ++i;
        continue;
      }
      const std::size_t n = CharUnits(src, i);
      if (o + n > cap) break;
      std::memcpy(dest + o, src.data() + i, n * sizeof(Ch));
      o += n;
      i += n;
    }
  }
  dest[o] = Ch(0);
}

template <typename Ch>
void TrimInPlace(Ch* text) noexcept {
  std::size_t n = 0;
  while (text[n] != Ch(0)) ++n;
  while (n > 0 && text[n - 1] == Ch(' ')) text[--n] = Ch(0);
}

}  // namespace

std::int32_t CurrentRefreshIteration() noexcept { return gRefreshIteration.load(std::memory_order_acquire); }

// The large-object operations the record store needs (defined at the end).
namespace {
TBlob* AsBlob(TSharedObject* obj) noexcept;
TSharedObject* AsShared(TBlob* blob) noexcept;
TSharedObject* NewBlobObject(bool unicode);
bool BlobHasData(TBlob* blob);
void BlobClear(TBlob* blob);
Variant BlobAsVariant(TBlob* blob, std::uint16_t type);
void BlobAssign(TBlob* blob, std::uint16_t type, const Variant& value);
void BlobCommit(TBlob* blob);
void BlobCancel(TBlob* blob);
bool BlobCanRollback(TBlob* blob);
// A new blob (one reference) holding a copy of the content (of the
// rollback copy when fromRollback), with rollback enabled.
TSharedObject* BlobCopy(TBlob* blob, bool fromRollback);
// `dest` takes the content of `source` and drops its rollback copy.
void BlobTakeContent(TBlob* dest, TBlob* source);
std::string BlobAnsiText(TBlob* blob);
}  // namespace

// ---- TStringHeap ----------------------------------------------------------------------

TStringHeap::TStringHeap() = default;

TStringHeap::~TStringHeap() { ClearLocked(); }

std::int32_t TStringHeap::BufSize(const void* buf) noexcept {
  return reinterpret_cast<const TBufHeader*>(static_cast<const std::uint8_t*>(buf) - sizeof(TBufHeader))->Size;
}

std::uint16_t TStringHeap::RefMarker(const void* buf) noexcept {
  return reinterpret_cast<const TBufHeader*>(static_cast<const std::uint8_t*>(buf) - sizeof(TBufHeader))->Marker;
}

void TStringHeap::StartBlock() {
  auto* block = static_cast<TBlock*>(::operator new(BlockSize));
  block->Prev = FRoot;
  FRoot = block;
  FCarve = reinterpret_cast<std::uint8_t*>(block) + sizeof(TBlock);
  FFree = BlockSpace;
  FAllocated += BlockSize;
}

void TStringHeap::PushFree(TBufHeader* h) {
  const int cls = h->Size / Align;
  void* data = h + 1;
  std::memcpy(data, &FSmallTab[cls - 1], sizeof(void*));
  FSmallTab[cls - 1] = data;
}

void* TStringHeap::NewBlockBuf(std::int32_t capacity) {
  const int need = capacity + static_cast<int>(sizeof(TBufHeader));
  if (!FRoot || FFree < need) {
    // The rest of the current block becomes a free buffer of its class.
    if (FRoot && FFree >= static_cast<int>(sizeof(TBufHeader)) + Align) {
      auto* h = reinterpret_cast<TBufHeader*>(FCarve);
      h->Size = ((FFree - static_cast<int>(sizeof(TBufHeader))) / Align) * Align;
      h->Marker = RefFree;
      h->Large = 0;
      PushFree(h);
    }
    StartBlock();
  }
  auto* h = reinterpret_cast<TBufHeader*>(FCarve);
  h->Size = capacity;
  h->Marker = RefNull;
  h->Large = 0;
  FCarve += need;
  FFree -= need;
  if (FFree < static_cast<int>(sizeof(TBufHeader)) + Align) {
    // Too little left for another buffer: give it to this one if it stays small.
    const int extra = (FFree / Align) * Align;
    if (h->Size + extra <= SmallSize) {
      h->Size += extra;
      FCarve += extra;
      FFree -= extra;
    }
    FFree = 0;
  }
  return h + 1;
}

void* TStringHeap::NewBufLocked(std::int64_t size) {
  if (size <= 0) return nullptr;
  if (size > std::numeric_limits<std::int32_t>::max() - 64) throw EArgumentError("Value is too long");
  FEmpty = false;
  if (size <= SmallSize) {
    const int cls = static_cast<int>((size + Align - 1) / Align);
    if (void* data = FSmallTab[cls - 1]) {
      std::memcpy(&FSmallTab[cls - 1], data, sizeof(void*));
      reinterpret_cast<TBufHeader*>(data)[-1].Marker = RefNull;
      return data;
    }
    return NewBlockBuf(cls * Align);
  }
  const auto capacity = static_cast<std::int32_t>(RoundUp8(static_cast<std::size_t>(size)));
  const std::size_t bytes = sizeof(TLargeHeader) + sizeof(TBufHeader) + static_cast<std::size_t>(capacity);
  auto* large = static_cast<TLargeHeader*>(::operator new(bytes));
  large->Prev = nullptr;
  large->Next = FLarge;
  if (FLarge) FLarge->Prev = large;
  FLarge = large;
  auto* h = reinterpret_cast<TBufHeader*>(large + 1);
  h->Size = capacity;
  h->Marker = RefNull;
  h->Large = 1;
  FSysGetMem = true;
  FAllocated += static_cast<std::int64_t>(bytes);
  return h + 1;
}

void* TStringHeap::NewBuf(std::int64_t size) {
  std::unique_lock<std::mutex> lock(FThreadSafetyCS, std::defer_lock);
  if (FThreadSafety) lock.lock();
  return NewBufLocked(size);
}

bool TStringHeap::DisposeBufLocked(void* buf) {
  if (!buf) return true;
  auto* h = reinterpret_cast<TBufHeader*>(buf) - 1;
  if (h->Marker > RefNull) {
    --h->Marker;
    return false;
  }
  if (h->Marker != RefNull) AssertionFailure(__FILE__, __LINE__, "DisposeBuf failed");
  if (h->Large) {
    auto* large = reinterpret_cast<TLargeHeader*>(h) - 1;
    if (large->Prev)
      large->Prev->Next = large->Next;
    else
      FLarge = large->Next;
    if (large->Next) large->Next->Prev = large->Prev;
    FAllocated -= static_cast<std::int64_t>(sizeof(TLargeHeader) + sizeof(TBufHeader) + h->Size);
    ::operator delete(large);
    return true;
  }
  h->Marker = RefFree;
  PushFree(h);
  return true;
}

bool TStringHeap::DisposeBuf(void* buf) {
  std::unique_lock<std::mutex> lock(FThreadSafetyCS, std::defer_lock);
  if (FThreadSafety) lock.lock();
  return DisposeBufLocked(buf);
}

void* TStringHeap::AddRef(void* buf) {
  if (!buf) return nullptr;
  std::unique_lock<std::mutex> lock(FThreadSafetyCS, std::defer_lock);
  if (FThreadSafety) lock.lock();
  auto* h = reinterpret_cast<TBufHeader*>(buf) - 1;
  if (h->Marker <= RefFree) AssertionFailure(__FILE__, __LINE__, "AddRefStr failed");
  if (h->Marker == RefMax) {
    // No room to count another reference: the new holder gets a copy.
    void* copy = NewBufLocked(h->Size);
    std::memcpy(copy, buf, static_cast<std::size_t>(h->Size));
    return copy;
  }
  ++h->Marker;
  return buf;
}

char* TStringHeap::AllocStr(const char* text, bool trim, std::ptrdiff_t len) {
  if (!text) return nullptr;
  std::size_t n = len < 0 ? std::strlen(text) : static_cast<std::size_t>(len);
  if (trim)
    while (n > 0 && text[n - 1] == ' ') --n;
  auto* buf = static_cast<char*>(NewBuf(static_cast<std::int64_t>(n) + 1));
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return buf;
}

char16_t* TStringHeap::AllocWideStr(const char16_t* text, bool trim, std::ptrdiff_t len) {
  if (!text) return nullptr;
  std::size_t n = len < 0 ? StrLenW(text) : static_cast<std::size_t>(len);
  if (trim)
    while (n > 0 && text[n - 1] == u' ') --n;
  auto* buf = static_cast<char16_t*>(NewBuf(2 * (static_cast<std::int64_t>(n) + 1)));
  std::memcpy(buf, text, 2 * n);
  buf[n] = u'\0';
  return buf;
}

char* TStringHeap::ReAllocStr(char* buf, const char* text, bool trim) {
  DisposeBuf(buf);
  return AllocStr(text, trim);
}

char16_t* TStringHeap::ReAllocWideStr(char16_t* buf, const char16_t* text, bool trim) {
  DisposeBuf(buf);
  return AllocWideStr(text, trim);
}

void TStringHeap::ClearLocked() noexcept {
  while (FRoot) {
    TBlock* prev = FRoot->Prev;
    ::operator delete(FRoot);
    FRoot = prev;
  }
  while (FLarge) {
    TLargeHeader* next = FLarge->Next;
    ::operator delete(FLarge);
    FLarge = next;
  }
  std::fill(std::begin(FSmallTab), std::end(FSmallTab), nullptr);
  FCarve = nullptr;
  FFree = 0;
  FEmpty = true;
  FSysGetMem = false;
  FAllocated = 0;
}

void TStringHeap::Clear() {
  std::unique_lock<std::mutex> lock(FThreadSafetyCS, std::defer_lock);
  if (FThreadSafety) lock.lock();
  ClearLocked();
}

// ---- TBlockManager --------------------------------------------------------------------

namespace {
constexpr std::size_t BlockHeaderSize = RoundUp8(sizeof(TBlockHeader));
}

void TBlockManager::TBlockDeleter::operator()(TBlockHeader* block) const noexcept { ::operator delete(block); }

TBlockManager::TBlockManager() = default;

TBlockManager::~TBlockManager() { FreeAllBlocks(); }

void TBlockManager::SetRecordSize(int value) {
  LUMO_ASSERT(FBlocks.empty());
  FirstFree = nullptr;
  FRecordSize = value;
  FItemSize = RoundUp8(sizeof(TItemHeader) + static_cast<std::size_t>(value));
}

TItemHeader* TBlockManager::BlockItem(TBlockHeader* block, std::uint32_t index) const noexcept {
  return reinterpret_cast<TItemHeader*>(reinterpret_cast<std::uint8_t*>(block) + BlockHeaderSize +
                                        static_cast<std::size_t>(index) * FItemSize);
}

TBlockHeader* TBlockManager::NewBlock(std::uint32_t itemCount) {
  LUMO_ASSERT(itemCount > 0);
  const std::size_t bytes = BlockHeaderSize + static_cast<std::size_t>(itemCount) * FItemSize;
  void* memory = ::operator new(bytes);
  auto* block = new (memory) TBlockHeader{nullptr, FirstBlock, itemCount, 0, 0};
  try {
    FBlocks.emplace(block, std::unique_ptr<TBlockHeader, TBlockDeleter>(block));
  } catch (...) {
    ::operator delete(memory);
    throw;
  }
  if (FirstBlock) FirstBlock->Prev = block;
  else LastBlock = block;
  FirstBlock = block;
  FAllocated += static_cast<std::int64_t>(bytes);
  return block;
}

void TBlockManager::ReleaseBlock(TBlockHeader* block) noexcept {
  if (block->Prev)
    block->Prev->Next = block->Next;
  else
    FirstBlock = block->Next;
  if (block->Next)
    block->Next->Prev = block->Prev;
  else
    LastBlock = block->Prev;
  FAllocated -= static_cast<std::int64_t>(BlockHeaderSize + static_cast<std::size_t>(block->ItemCount) * FItemSize);
  FBlocks.erase(block);
}

void TBlockManager::InitItem(TItemHeader* item) noexcept {
  item->Prev = nullptr;
  item->Next = nullptr;
  item->Rollback = nullptr;
  item->Serial = FNextSerial++;
  item->Order = 0;
  item->Status = isUnmodified;
  item->UpdateResult = urNone;
  item->Flag = flUsed;
  item->FilterResult = fsNotChecked;
}

TItemHeader* TBlockManager::AllocItem() {
  if (!FirstFree) {
    // Blocks grow with the store (an eighth of the items in use, at most
    // MaxBlockItemCount), so that a large store takes few allocations.
    const std::uint32_t grown = static_cast<std::uint32_t>(std::min<std::uint64_t>(FUsedItems / 8, MaxBlockItemCount));
    TBlockHeader* block = NewBlock(std::max<std::uint32_t>({grown, DefaultItemCount, 1u}));
    for (std::uint32_t i = block->ItemCount; i-- > 0;) {
      TItemHeader* item = new (BlockItem(block, i)) TItemHeader{};
      item->Block = block;
      item->Flag = flFree;
      item->Next = FirstFree;
      if (FirstFree) FirstFree->Prev = item;
      FirstFree = item;
    }
  }
  TItemHeader* item = FirstFree;
  if (item->Flag != flFree) AssertionFailure(__FILE__, __LINE__, "Item on the free list is in use");
  FirstFree = item->Next;
  if (FirstFree) FirstFree->Prev = nullptr;
  InitItem(item);
  ++item->Block->UsedItems;
  ++FUsedItems;
  return item;
}

TBlockHeader* TBlockManager::AllocBlock(std::uint32_t itemCount) {
  TBlockHeader* block = NewBlock(itemCount);
  block->UsedItems = itemCount;
  FUsedItems += itemCount;
  for (std::uint32_t i = 0; i < itemCount; ++i) {
    TItemHeader* item = new (BlockItem(block, i)) TItemHeader{};
    item->Block = block;
    InitItem(item);
  }
  return block;
}

void TBlockManager::FreeItem(TItemHeader* item) {
  if (item->Flag != flUsed) AssertionFailure(__FILE__, __LINE__, "Freeing an item that is not in use");
  item->Flag = flFree;
  --FUsedItems;
  TBlockHeader* block = item->Block;
  if (block->UsedItems == 1) {
    // The block's last item: take the others off the free list and let go.
    for (std::uint32_t i = 0; i < block->ItemCount; ++i) {
      TItemHeader* other = BlockItem(block, i);
      if (other == item) continue;
      if (other->Prev)
        other->Prev->Next = other->Next;
      else
        FirstFree = other->Next;
      if (other->Next) other->Next->Prev = other->Prev;
    }
    ReleaseBlock(block);
    return;
  }
  item->Prev = nullptr;
  item->Next = FirstFree;
  if (FirstFree) FirstFree->Prev = item;
  FirstFree = item;
  --block->UsedItems;
}

void TBlockManager::FreeAllBlocks() noexcept {
  FBlocks.clear();
  FirstBlock = nullptr;
  LastBlock = nullptr;
  FirstFree = nullptr;
  FUsedItems = 0;
  FAllocated = 0;
}

void TBlockManager::PutRecord(const void* recBuf, TItemHeader* item) const noexcept {
  std::memcpy(GetRecordPtr(item), recBuf, static_cast<std::size_t>(FRecordSize));
}

void TBlockManager::GetRecord(void* recBuf, const TItemHeader* item) const noexcept {
  std::memcpy(recBuf, GetRecordPtr(item), static_cast<std::size_t>(FRecordSize));
}

void TBlockManager::CopyRecord(const TItemHeader* source, TItemHeader* dest) const noexcept {
  std::memcpy(GetRecordPtr(dest), GetRecordPtr(source), static_cast<std::size_t>(FRecordSize));
}

bool TBlockManager::IsLiveItem(const TItemHeader* item, const TBlockHeader* block,
                               std::uint64_t serial) const noexcept {
  if (!item || !block) return false;
  const auto it = FBlocks.find(block);
  if (it == FBlocks.end()) return false;
  const auto base = reinterpret_cast<std::uintptr_t>(block) + BlockHeaderSize;
  const auto addr = reinterpret_cast<std::uintptr_t>(item);
  if (addr < base) return false;
  const std::uintptr_t offset = addr - base;
  if (offset % FItemSize != 0 || offset / FItemSize >= block->ItemCount) return false;
  return item->Flag == flUsed && item->Serial == serial && item->Block == block;
}

// ---- TData: lifecycle -----------------------------------------------------------------

TData::TData() : FStringHeap(std::make_unique<TStringHeap>()) {}

TData::~TData() {
  for (TApplyGuard* g = FApplyGuards; g; g = g->Outer) g->Destroyed = true;
}

void TData::InitData() {
  FBOF = true;
  FEOF = true;
  FRecordCount = 0;
  FRecordNoOffset = 0;
}

void TData::FreeData() {
  FStringHeap->Clear();
  InitData();
}

std::string TData::GetArrayFieldName(const TObjectType&, int index) { return Format("[%d]", {index}); }

int TData::GetIndicatorSize() { return FFields.Count(); }

void TData::InternalAppend(void*) {
  if (OnAppend) OnAppend();
}

void TData::InternalDelete() {
  if (OnDelete) OnDelete();
}

void TData::InternalUpdate(void*) {
  if (OnUpdate) OnUpdate();
}

void TData::ParseFilter() {
  FFilterExpression.reset();
  FFilterExpression =
      TFilterExpression::Parse(FFilterText, [this](const std::string& name) { return FFields.FindField(name); });
}

void TData::SetFilterText(const std::string& value) {
  FFilterText = value;
  FFilterExpression.reset();
  if (FActive) ParseFilter();
}

void TData::InternalCacheChanged() {
  if (OnCacheChanged) OnCacheChanged();
}

void TData::InternalCacheApplied() {
  if (OnCacheApplied) OnCacheApplied();
}

void TData::InternalCacheCanceled() {
  if (OnCacheCanceled) OnCacheCanceled();
}

void TData::SetFilterItemTypes(TItemTypes value) { FFilterItemTypes = value; }

void TData::SetCachedUpdates(bool value) {
  FCachedUpdates = value;
  if (value) FFilterItemTypes = TItemTypes{isUnmodified, isUpdated, isAppended};
}

void TData::Open() {
  if (FActive) return;
  try {
    InitData();
    InternalOpen();
    try {
      ParseFilter();
    } catch (...) {
      InternalClose();
      throw;
    }
    FActive = true;
  } catch (...) {
    FreeData();
    FFilterExpression.reset();
    throw;
  }
}

void TData::Close() {
  std::exception_ptr error;
  try {
    if (FActive) InternalClose();
  } catch (...) {
    error = std::current_exception();
  }
  FActive = false;
  FreeData();
  if (FAutoInitFields && !FPrepared) ClearFields();
  FFilterExpression.reset();
  if (error) std::rethrow_exception(error);
}

void TData::Prepare() {
  InternalPrepare();
  FPrepared = true;
}

void TData::UnPrepare() {
  if (!FPrepared) return;
  FPrepared = false;
  if (FAutoInitFields) ClearFields();
  InternalUnPrepare();
}

void TData::Reopen() {
  Close();
  Open();
}

// ---- TData: fields and layout -----------------------------------------------------------

std::unique_ptr<TFieldDesc> TData::GetFieldDescType() { return std::make_unique<TFieldDesc>(); }

void TData::ClearFields() {
  FFilterExpression.reset();
  FFields.Clear();
  FComplexFieldIndexes.clear();
  FHasComplexFields = false;
  if (!FSuppressFieldsChanged && OnFieldsChanged) OnFieldsChanged();
}

void TData::InitFields() {
  if (FAutoInitFields) {
    FSuppressFieldsChanged = true;
    try {
      ClearFields();
    } catch (...) {
      FSuppressFieldsChanged = false;
      throw;
    }
    FSuppressFieldsChanged = false;
    InternalInitFields();
    if (OnGetCachedFields) OnGetCachedFields();
    MakeNamesUnique();
  }
  InitEncryption();
  LayOutRecord();
  CheckHasComplexFields();
  if (FActive && !FFilterText.empty() && !FFilterExpression) ParseFilter();
  if (OnFieldsChanged) OnFieldsChanged();
}

void TData::MakeNamesUnique() {
  std::vector<TFieldDesc*> list;
  for (int i = 0; i < FFields.Count(); ++i) {
    TFieldDesc* d = FFields[i];
    if (d && !d->HasParent()) {
      d->SetFieldNo(static_cast<std::uint16_t>(i + 1));
      d->SetReserved(false);
      list.push_back(d);
    }
  }
  // AnsiCompareText is a total order, so equal names end up side by side.
  std::stable_sort(list.begin(), list.end(), [](const TFieldDesc* a, const TFieldDesc* b) {
    const int c = AnsiCompareText(a->Name(), b->Name());
    return c != 0 ? c < 0 : a->FieldNo() < b->FieldNo();
  });
  std::vector<std::string> original;
  original.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    original.push_back(list[i]->Name());
    if (i > 0 && AnsiCompareText(original[i - 1], original[i]) == 0) {
      list[i - 1]->SetReserved(true);
      list[i]->SetReserved(true);
    }
  }
  auto exists = [this](const std::string& name) {
    for (int i = 0; i < FFields.Count(); ++i) {
      const TFieldDesc* d = FFields[i];
      if (d && !d->HasParent() && SameFieldName(d->Name(), name)) return true;
    }
    return false;
  };
  int n = 0;
  const std::string* prev = nullptr;
  for (std::size_t i = 0; i < list.size(); ++i) {
    TFieldDesc* d = list[i];
    const std::string& name = original[i];
    if (!d->Reserved() && !name.empty()) {
      n = 0;
      prev = nullptr;
      continue;
    }
    const bool newGroup = !prev || AnsiCompareText(*prev, name) != 0;
    prev = &name;
    if (newGroup) n = 0;
    if (newGroup && !name.empty()) {
      n = 1;  // the first of a group keeps its name
      continue;
    }
    std::string candidate;
    for (;;) {
      candidate = name + "_" + std::to_string(n);
      if (!exists(candidate)) break;
      ++n;
    }
    d->SetName(candidate);
    ++n;
  }
  for (TFieldDesc* d : list) d->SetReserved(false);
}

void TData::LayOutRecord() {
  int offset = 0;
  for (int i = 0; i < FFields.Count(); ++i) {
    TFieldDesc* d = FFields[i];
    if (!d) continue;
    d->SetFieldNo(static_cast<std::uint16_t>(i + 1));
    const int minSize = FieldTypeMinSize(d->DataType(), d->Length());
    if (d->Size() < minSize) d->SetSize(minSize);
    if (d->HasParent() || d->FieldDescKind() == fdkCalculated) continue;
    if (d->DataType() == dtWideString && (offset & 1)) ++offset;
    d->SetOffset(offset);
    offset += d->Size();
  }
  FDataSize = offset;
  FIndicatorSize = GetIndicatorSize();
  const int sum = FDataSize + FIndicatorSize + GetEncryptStateSize();
  FRecordSize = sum + ((sum & 1) == 0 ? 1 : 0);
  offset = FRecordSize;
  for (int i = 0; i < FFields.Count(); ++i) {
    TFieldDesc* d = FFields[i];
    if (!d || d->HasParent() || d->FieldDescKind() != fdkCalculated) continue;
    if (d->DataType() == dtWideString && (offset & 1)) ++offset;
    d->SetOffset(offset);
    offset += d->Size();
  }
  FCalcDataSize = offset - FRecordSize;
  FCalcRecordSize = FCalcDataSize + ((FCalcDataSize > 0 && (FCalcDataSize & 1) == 0) ? 1 : 0);
}

bool TData::HasComplexSlot(const TFieldDesc& field) {
  return !field.HasParent() && field.FieldDescKind() != fdkCalculated && IsComplexFieldType(field.DataType());
}

bool TData::CheckHasComplexFields() {
  FComplexFieldIndexes.clear();
  for (int i = 0; i < FFields.Count(); ++i) {
    const TFieldDesc* d = FFields[i];
    if (d && HasComplexSlot(*d)) FComplexFieldIndexes.push_back(i);
  }
  FHasComplexFields = !FComplexFieldIndexes.empty();
  return FHasComplexFields;
}

bool TData::HasFields(std::initializer_list<std::uint16_t> types) const {
  for (int i = 0; i < FFields.Count(); ++i) {
    const TFieldDesc* d = FFields[i];
    if (d && std::find(types.begin(), types.end(), d->DataType()) != types.end()) return true;
  }
  return false;
}

bool TData::HasBlobFields() {
  for (int i = 0; i < FFields.Count(); ++i) {
    const TFieldDesc* d = FFields[i];
    if (d && IsBlobFieldType(d->DataType())) return true;
  }
  return false;
}

bool TData::IsBlobFieldType(std::uint16_t dataType) { return lumo::IsBlobFieldType(dataType); }

bool TData::IsComplexFieldType(std::uint16_t dataType) { return lumo::IsComplexFieldType(dataType); }

TFieldDesc& TData::FieldDescOf(int fieldNo) const {
  if (fieldNo < 1 || fieldNo > FFields.Count() || !FFields[fieldNo - 1])
    throw EArgumentError(Format("Field number %d is out of range", {fieldNo}));
  return *FFields[fieldNo - 1];
}

// ---- TData: record buffers ------------------------------------------------------------------

void* TData::ReadHandle(const void* slot) noexcept {
  void* p = nullptr;
  std::memcpy(&p, slot, sizeof p);
  return p;
}

void TData::WriteHandle(void* slot, const void* handle) noexcept { std::memcpy(slot, &handle, sizeof handle); }

bool TData::IsNullIndicator(int fieldNo, const void* recBuf) const noexcept {
  return static_cast<const std::uint8_t*>(recBuf)[FDataSize + fieldNo - 1] != 0;
}

void TData::SetNullIndicator(int fieldNo, void* recBuf, bool value) noexcept {
  static_cast<std::uint8_t*>(recBuf)[FDataSize + fieldNo - 1] = value ? 1 : 0;
}

int TData::GetEncryptState(int) { return -1; }

void TData::SetEncryptBit(int fieldNo, void* recBuf, bool plain) {
  const int state = GetEncryptState(fieldNo);
  if (state < 0) return;
  auto* p = static_cast<std::uint8_t*>(recBuf) + FDataSize + FIndicatorSize + ((state >> 8) & 0xFF);
  const auto mask = static_cast<std::uint8_t>(state & 0xFF);
  if (plain)
    *p |= mask;
  else
    *p &= static_cast<std::uint8_t>(~mask);
}

TRecBuf TData::AllocRecBuf(bool withCalc) const {
  const std::size_t size = static_cast<std::size_t>(FRecordSize + (withCalc ? FCalcRecordSize : 0));
  return TRecBuf(new std::uint8_t[size ? size : 1]());
}

void TData::InitRecord(void* recBuf) {
  std::memset(recBuf, 0, static_cast<std::size_t>(FRecordSize));
  std::memset(static_cast<std::uint8_t*>(recBuf) + FDataSize, 1, static_cast<std::size_t>(FIndicatorSize));
  CreateComplexFields(recBuf, true);
}

void TData::AppendBlankRecord() {
  TRecBuf buf = AllocRecBuf();
  InitRecord(buf.get());
  try {
    AppendRecord(buf.get());
  } catch (...) {
    FreeComplexFields(buf.get(), true);
    throw;
  }
}

void TData::EditRecord(void* recBuf) {
  GetRecord(recBuf);
  if (!FHasComplexFields) return;
  // The edit buffer keeps the values the stored record had; the stored
  // record gets copies of its own.
  TRecBuf copy = AllocRecBuf();
  std::memcpy(copy.get(), recBuf, static_cast<std::size_t>(FRecordSize));
  CopyComplexFields(recBuf, copy.get(), false);
  PutRecord(copy.get());
}

void TData::PostRecord(void* recBuf) {
  TRecBuf old = AllocRecBuf();
  GetRecord(old.get());
  UpdateRecord(recBuf);
  CommitBlobs(recBuf);
  FreeComplexFields(old.get(), false);
}

void TData::CancelRecord(void* recBuf) {
  CancelBlobs(recBuf);
  FreeComplexFields(recBuf, false);
}

void TData::SetCacheRecBuf(void* newBuf, void* oldBuf) {
  FNewCacheRecBuf = newBuf;
  FOldCacheRecBuf = oldBuf;
}

void TData::ApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem) {
  if (OnApplyRecord) OnApplyRecord(kind, action, lastItem);
}

// ---- TData: text in records -----------------------------------------------------------------

bool TData::TrimsField(const TFieldDesc& field) const noexcept { return field.Fixed() ? FTrimFixedChar : FTrimVarChar; }

std::string_view TData::RawAnsiText(const TFieldDesc& field, const void* recBuf) const noexcept {
  const char* p = nullptr;
  std::size_t cap = 0;
  if (field.DataType() == dtExtString) {
    p = static_cast<const char*>(ReadHandle(Slot(recBuf, field)));
    if (!p) return {};
    cap = static_cast<std::size_t>(TStringHeap::BufSize(p));
  } else {
    p = reinterpret_cast<const char*>(Slot(recBuf, field));
    cap = static_cast<std::size_t>(field.Size());
  }
  const void* z = std::memchr(p, 0, cap);
  return std::string_view(p, z ? static_cast<std::size_t>(static_cast<const char*>(z) - p) : cap);
}

std::u16string_view TData::RawWideText(const TFieldDesc& field, const void* recBuf) const noexcept {
  const char16_t* p = nullptr;
  std::size_t cap = 0;
  if (field.DataType() == dtExtWideString) {
    p = static_cast<const char16_t*>(ReadHandle(Slot(recBuf, field)));
    if (!p) return {};
    cap = static_cast<std::size_t>(TStringHeap::BufSize(p)) / 2;
  } else {
    // Wide slots sit at even offsets of buffers that are at least 2-aligned.
    p = reinterpret_cast<const char16_t*>(Slot(recBuf, field));
    cap = static_cast<std::size_t>(field.Size()) / 2;
  }
  std::size_t n = 0;
  while (n < cap && p[n] != u'\0') ++n;
  return std::u16string_view(p, n);
}

TDBObject* TData::ParentObject(const TFieldDesc& field, const void* recBuf) const {
  const TFieldDesc* top = &field;
  while (top->ParentField()) top = top->ParentField();
  auto* obj = static_cast<TSharedObject*>(ReadHandle(Slot(recBuf, *top)));
  return dynamic_cast<TDBObject*>(obj);
}

std::string TData::AttributeName(const TFieldDesc& field) const {
  const TFieldDesc* top = &field;
  while (top->ParentField()) top = top->ParentField();
  const std::string& name = field.Name();
  const std::string prefix = top->Name() + ".";
  if (name.size() > prefix.size() && AnsiSameText(name.substr(0, prefix.size()), prefix))
    return name.substr(prefix.size());
  return name;
}

// ---- TData: reading and writing fields ------------------------------------------------------

bool TData::GetNull(int fieldNo, void* recBuf) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) {
    TDBObject* obj = ParentObject(field, recBuf);
    return !obj || obj->GetAttrIsNull(AttributeName(field));
  }
  const bool isNull = IsNullIndicator(fieldNo, recBuf);
  if (isNull && field.FieldDescKind() != fdkCalculated && IsBlobFieldType(field.DataType())) {
    if (BlobHasData(BlobOf(field, recBuf))) {
      SetNullIndicator(fieldNo, recBuf, false);
      SetEncryptBit(fieldNo, recBuf, true);
      return false;
    }
  }
  return isNull;
}

void TData::SetNull(int fieldNo, void* recBuf, bool value) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) {
    if (value)
      if (TDBObject* obj = ParentObject(field, recBuf)) obj->SetAttributeValue(AttributeName(field), Variant::Null());
    return;
  }
  SetNullIndicator(fieldNo, recBuf, value);
  if (value && field.FieldDescKind() != fdkCalculated && IsBlobFieldType(field.DataType()))
    BlobClear(BlobOf(field, recBuf));
}

void TData::GetField(int fieldNo, void* recBuf, void* dest, bool& isBlank, bool needConvert) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) throw ENotSupportedError("Attribute fields are read and written as variants");
  isBlank = GetNull(fieldNo, recBuf);
  if (isBlank) {
    if (dest && field.FieldDescKind() != fdkCalculated) {
      if (IsBlobFieldType(field.DataType()))
        WriteHandle(dest, ReadHandle(Slot(recBuf, field)));
      else if (field.DataType() == dtVariant)
        *static_cast<Variant*>(dest) = Variant::Null();
    }
    return;
  }
  if (dest) GetFieldData(field, recBuf, dest, needConvert);
}

void TData::GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool) {
  const std::uint8_t* slot = Slot(recBuf, field);
  const std::uint16_t type = field.DataType();
  switch (type) {
    case dtString:
    case dtExtString:
    case dtGuid: {
      const std::string_view text = RawAnsiText(field, recBuf);
      // A fixed slot is copied up to its own capacity; a heap value up to the
      // declared length (the whole value when no length is declared).
      const std::size_t cap = type != dtExtString ? static_cast<std::size_t>(std::max(field.Size() - 1, 0))
                              : field.Length() == 0 ? text.size()
                                                    : field.Length();
      auto* d = static_cast<char*>(dest);
      CopyText<char>(text, d, cap, type != dtGuid && NeedConvertEOL());
      if (type != dtGuid && TrimsField(field)) TrimInPlace(d);
      break;
    }
    case dtWideString:
    case dtExtWideString: {
      const std::u16string_view text = RawWideText(field, recBuf);
      const std::size_t cap = type == dtWideString    ? WideSlotUnits(field)
                              : field.Length() == 0 ? text.size()
                                                    : field.Length();
      std::vector<char16_t> out(cap + 1);
      CopyText<char16_t>(text, out.data(), cap, NeedConvertEOL());
      if (TrimsField(field)) TrimInPlace(out.data());
      std::size_t n = 0;
      while (out[n] != u'\0') ++n;
      std::memcpy(dest, out.data(), 2 * (n + 1));
      break;
    }
    case dtBytes:
      std::memcpy(dest, slot, field.Length());
      break;
    case dtVarBytes: {
      const std::uint16_t len = std::min<std::uint16_t>(ReadU16(slot), field.Length());
      WriteU16(dest, len);
      std::memcpy(static_cast<std::uint8_t*>(dest) + 2, slot + 2, len);
      break;
    }
    case dtExtVarBytes: {
      const auto* p = static_cast<const std::uint8_t*>(ReadHandle(slot));
      const std::uint16_t len = p ? ReadU16(p) : 0;
      WriteU16(dest, len);
      if (len) std::memcpy(static_cast<std::uint8_t*>(dest) + 2, p + 2, len);
      break;
    }
    case dtFMTBCD:
      std::memcpy(dest, slot, SizeOfTBcd);
      break;
    case dtVariant: {
      auto* obj = static_cast<TVariantObject*>(static_cast<TSharedObject*>(ReadHandle(slot)));
      *static_cast<Variant*>(dest) = obj ? obj->Value() : Variant::Null();
      break;
    }
    case dtDate:
    case dtTime:
    case dtDateTime:
      GetDateFromBuf(slot, field, dest, DateFormatOf(type));
      break;
    default:
      std::memcpy(dest, slot, static_cast<std::size_t>(field.Size()));
      break;
  }
}

void TData::PutField(int fieldNo, void* recBuf, const void* source, bool isDatabaseValue) {
  PutFieldValue(fieldNo, recBuf, source, -1, isDatabaseValue);
}

void TData::PutFieldValue(int fieldNo, void* recBuf, const void* source, std::int64_t length, bool isDatabaseValue) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) throw ENotSupportedError("Attribute fields are read and written as variants");
  if (!source) {
    SetNull(fieldNo, recBuf, true);
    SetEncryptBit(fieldNo, recBuf, false);
    return;
  }
  PutFieldData(field, recBuf, source, length, isDatabaseValue);
  FinishPut(fieldNo, field, recBuf);
}

void TData::FinishPut(int fieldNo, const TFieldDesc& field, void* recBuf) {
  bool makeNull = false;
  if ((FSetEmptyStrToNull || FRequireEmptyStrToNull) && IsStringFieldType(field.DataType())) {
    if (IsWideStringFieldType(field.DataType()))
      makeNull = RawWideText(field, recBuf).empty();
    else
      makeNull = RawAnsiText(field, recBuf).empty();
  }
  SetNull(fieldNo, recBuf, makeNull);
  SetEncryptBit(fieldNo, recBuf, !makeNull);
}

void TData::PutFieldData(const TFieldDesc& field, void* recBuf, const void* source, std::int64_t length,
                         bool isDatabaseValue) {
  std::uint8_t* slot = Slot(recBuf, field);
  const std::uint16_t type = field.DataType();
  switch (type) {
    case dtString:
    case dtGuid: {
      const auto* text = static_cast<const char*>(source);
      std::string_view v =
          length < 0 ? std::string_view(text) : std::string_view(text, static_cast<std::size_t>(length));
      v = v.substr(0, FitText(v, static_cast<std::size_t>(field.Size() - 1)));
      std::memcpy(slot, v.data(), v.size());
      slot[v.size()] = 0;
      break;
    }
    case dtWideString: {
      const auto* text = static_cast<const char16_t*>(source);
      std::u16string_view v = length < 0 ? std::u16string_view(text, StrLenW(text))
                                         : std::u16string_view(text, static_cast<std::size_t>(length));
      v = v.substr(0, FitWide(v, WideSlotUnits(field)));
      std::memcpy(slot, v.data(), 2 * v.size());
      WriteU16(slot + 2 * v.size(), 0);
      break;
    }
    case dtExtString: {
      void* old = ReadHandle(slot);
      char* buf = FStringHeap->AllocStr(static_cast<const char*>(source), false, length < 0 ? -1 : length);
      FStringHeap->DisposeBuf(old);
      WriteHandle(slot, buf);
      break;
    }
    case dtExtWideString: {
      void* old = ReadHandle(slot);
      char16_t* buf = FStringHeap->AllocWideStr(static_cast<const char16_t*>(source), false, length < 0 ? -1 : length);
      FStringHeap->DisposeBuf(old);
      WriteHandle(slot, buf);
      break;
    }
    case dtVarBytes:
    case dtExtVarBytes: {
      const auto* src = static_cast<const std::uint8_t*>(source);
      std::int64_t n = length;
      if (n < 0) {
        n = ReadU16(src);
        src += 2;
      }
      if (n > (type == dtVarBytes ? field.Length() : 0xFFFF)) TooLong();
      if (type == dtVarBytes) {
        WriteU16(slot, static_cast<std::uint16_t>(n));
        std::memcpy(slot + 2, src, static_cast<std::size_t>(n));
      } else {
        void* old = ReadHandle(slot);
        auto* buf = static_cast<std::uint8_t*>(FStringHeap->NewBuf(n + 2));
        WriteU16(buf, static_cast<std::uint16_t>(n));
        if (n) std::memcpy(buf + 2, src, static_cast<std::size_t>(n));
        FStringHeap->DisposeBuf(old);
        WriteHandle(slot, buf);
      }
      break;
    }
    case dtBytes: {
      const std::size_t n = length < 0 ? field.Length() : static_cast<std::size_t>(length);
      if (n > field.Length()) TooLong();
      std::memcpy(slot, source, n);
      if (n < field.Length()) std::memset(slot + n, 0, field.Length() - n);
      break;
    }
    case dtFloat: {
      double v = ReadAs<double>(source);
      if (field.Scale() > 0 && !isDatabaseValue && std::isfinite(v) && std::fabs(v) < 1e18) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(std::min<std::uint16_t>(field.Scale(), 30)), v);
        v = std::strtod(text, nullptr);
      }
      WriteAs(slot, v);
      break;
    }
    case dtVariant: {
      auto* obj = static_cast<TVariantObject*>(static_cast<TSharedObject*>(ReadHandle(slot)));
      if (!obj) {
        obj = NewShared<TVariantObject>().Detach();
        WriteHandle(slot, static_cast<TSharedObject*>(obj));
      }
      obj->SetValue(*static_cast<const Variant*>(source));
      break;
    }
    case dtDate:
    case dtTime:
    case dtDateTime:
      PutDateToBuf(slot, field, source, DateFormatOf(type));
      break;
    default:
      std::memcpy(slot, source, static_cast<std::size_t>(field.Size()));
      break;
  }
}

void TData::GetDateFromBuf(const void* buf, const TFieldDesc&, void* date, TDateFormat format) {
  ::lumo::GetDateFromBuf(buf, date, format);
}

void TData::PutDateToBuf(void* buf, const TFieldDesc&, const void* date, TDateFormat format) {
  ::lumo::PutDateToBuf(buf, date, format);
}

Variant TData::GetFieldAsVariant(int fieldNo, void* recBuf) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) {
    TDBObject* obj = ParentObject(field, recBuf);
    return obj ? obj->GetAttributeValue(AttributeName(field)) : Variant::Null();
  }
  if (GetNull(fieldNo, recBuf)) return Variant::Null();
  return GetFieldDataAsVariant(field, recBuf);
}

Variant TData::GetFieldDataAsVariant(const TFieldDesc& field, const void* recBuf) {
  const std::uint8_t* slot = Slot(recBuf, field);
  const std::uint16_t type = field.DataType();
  switch (type) {
    case dtInt8:
      return Variant(ReadAs<std::int8_t>(slot));
    case dtUInt8:
      return Variant(ReadAs<std::uint8_t>(slot));
    case dtInt16:
      return Variant(ReadAs<std::int16_t>(slot));
    case dtUInt16:
      return Variant(ReadAs<std::uint16_t>(slot));
    case dtInt32:
      return Variant(ReadAs<std::int32_t>(slot));
    case dtUInt32:
      return Variant(ReadAs<std::uint32_t>(slot));
    case dtInt64:
      return Variant(ReadAs<std::int64_t>(slot));
    case dtUInt64:
      return Variant(ReadAs<std::uint64_t>(slot));
    case dtFloat:
    case dtCurrency:
      return Variant(ReadAs<double>(slot));
    case dtSingle:
      return Variant(ReadAs<float>(slot));
    case dtBoolean:
      return Variant(ReadAs<std::int16_t>(slot) != 0);
    case dtDate: {
      std::int32_t day = 0;
      ::lumo::GetDateFromBuf(slot, &day, dfDate);
      return Variant::FromDate(static_cast<double>(day - DateDelta));
    }
    case dtTime: {
      const auto v = ReadAs<std::int64_t>(slot);
      return Variant::FromDateMicros(IsTimeSpanMicros(v) ? v : TimeOfMicros(v));
    }
    case dtDateTime: {
      std::int64_t v = 0;
      ::lumo::GetDateFromBuf(slot, &v, dfDateTimeMicros);
      TDateTimeParts parts;
      if (!TryDecodeMicros(v, parts)) throw EConvertError("Invalid date-time value");
      return Variant::FromDateMicros(v);
    }
    case dtString:
    case dtExtString:
    case dtGuid: {
      std::string_view text = RawAnsiText(field, recBuf);
      if (type != dtGuid && TrimsField(field)) text = RTrim(text);
      return Variant(std::string(text));
    }
    case dtWideString:
    case dtExtWideString: {
      std::u16string_view text = RawWideText(field, recBuf);
      if (TrimsField(field)) text = RTrim(text);
      return Variant(std::u16string(text));
    }
    case dtMemo:
    case dtWideMemo:
    case dtBlob:
      return BlobAsVariant(BlobOf(field, recBuf), type);
    case dtBytes:
      return Variant::FromBytes(slot, field.Length());
    case dtVarBytes:
      return Variant::FromBytes(slot + 2, std::min<std::uint16_t>(ReadU16(slot), field.Length()));
    case dtExtVarBytes: {
      const auto* p = static_cast<const std::uint8_t*>(ReadHandle(slot));
      return p ? Variant::FromBytes(p + 2, ReadU16(p)) : Variant::FromBytes(Variant::Bytes{});
    }
    case dtBCD:
      return Variant(Currency::FromScaled(ReadAs<std::int64_t>(slot)));
    case dtFMTBCD:
      return Variant(ReadAs<TBcd>(slot));
    case dtSQLTimeStamp:
      return Variant(ReadAs<TSQLTimeStamp>(slot));
    case dtVariant: {
      auto* obj = static_cast<TVariantObject*>(static_cast<TSharedObject*>(ReadHandle(slot)));
      return obj ? obj->Value() : Variant::Null();
    }
    default:
      CannotConvertType(type);
  }
}

void TData::PutFieldAsVariant(int fieldNo, void* recBuf, const Variant& value, bool isDatabaseValue) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (field.HasParent()) {
    TDBObject* obj = ParentObject(field, recBuf);
    if (!obj) throw Exception("Object field is null");
    obj->SetAttributeValue(AttributeName(field), value);
    return;
  }
  if (value.IsNullOrEmpty()) {
    PutField(fieldNo, recBuf, nullptr, isDatabaseValue);
    return;
  }
  const std::uint16_t type = field.DataType();
  const std::uint16_t vt = value.VarType();
  std::uint8_t* slot = Slot(recBuf, field);
  auto put = [&](const void* source, std::int64_t length = -1) {
    PutFieldValue(fieldNo, recBuf, source, length, isDatabaseValue);
  };
  switch (type) {
    case dtBoolean: {
      if (vt != varBoolean) CannotConvert();
      const std::int16_t v = value.AsBoolean() ? 1 : 0;
      put(&v);
      break;
    }
    case dtInt8:
    case dtUInt8: {
      if (!IsIntegerVarType(vt)) CannotConvert();
      std::uint8_t buf[2] = {};
      if (type == dtInt8) {
        const std::int16_t v = value.AsInt8();
        if (field.Size() >= 2)
          std::memcpy(buf, &v, 2);
        else
          buf[0] = static_cast<std::uint8_t>(static_cast<std::int8_t>(v));
      } else {
        const std::uint16_t v = value.AsUInt8();
        if (field.Size() >= 2)
          std::memcpy(buf, &v, 2);
        else
          buf[0] = static_cast<std::uint8_t>(v);
      }
      put(buf);
      break;
    }
    case dtInt16:
    case dtUInt16: {
      if (!IsIntegerVarType(vt)) CannotConvert();
      if (type == dtInt16) {
        const std::int16_t v = value.AsInt16();
        put(&v);
      } else {
        const std::uint16_t v = value.AsUInt16();
        put(&v);
      }
      break;
    }
    case dtInt32: {
      if (!IsIntegerVarType(vt) && !value.IsText()) CannotConvert();
      const std::int32_t v = value.AsInt32();
      put(&v);
      break;
    }
    case dtUInt32: {
      if (!IsIntegerVarType(vt)) CannotConvert();
      const std::uint32_t v = value.AsUInt32();
      put(&v);
      break;
    }
    case dtInt64: {
      if (!IsIntegerVarType(vt)) CannotConvert();
      const std::int64_t v = value.AsInt64();
      put(&v);
      break;
    }
    case dtUInt64: {
      if (!IsIntegerVarType(vt)) CannotConvert();
      const std::uint64_t v = value.AsUInt64();
      put(&v);
      break;
    }
    case dtFloat:
    case dtCurrency:
    case dtSingle: {
      if (!VarIsNumeric(value) && !value.IsText()) CannotConvert();
      if (type == dtSingle) {
        const float v = value.AsSingle();
        put(&v);
      } else {
        const double v = value.AsDouble();
        put(&v);
      }
      break;
    }
    case dtDate:
    case dtTime:
    case dtDateTime: {
      // Stored as the exact number a date variant carries, in micros.
      std::int64_t v = value.AsDateMicros();
      if (type == dtDate)
        v = v / USecsPerDay * USecsPerDay;
      else if (type == dtTime && !IsTimeSpanMicros(v))
        v = TimeOfMicros(v);
      if (type != dtTime) {
        TDateTimeParts parts;
        if (!TryDecodeMicros(v, parts)) throw EConvertError("Invalid date-time value");
      }
      WriteAs(slot, v);
      FinishPut(fieldNo, field, recBuf);
      break;
    }
    case dtSQLTimeStamp: {
      const TSQLTimeStamp v = value.AsSQLTimeStamp();
      put(&v);
      break;
    }
    case dtBCD: {
      const std::int64_t v = value.AsCurrency().Scaled;
      put(&v);
      break;
    }
    case dtFMTBCD: {
      const TBcd v = value.AsBcd();
      put(&v);
      break;
    }
    case dtString:
    case dtGuid:
    case dtExtString: {
      const std::string v = value.AsString();
      put(v.c_str(), static_cast<std::int64_t>(v.size()));
      break;
    }
    case dtWideString:
    case dtExtWideString: {
      const std::u16string v = value.AsWideString();
      put(v.c_str(), static_cast<std::int64_t>(v.size()));
      break;
    }
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes: {
      const Variant::Bytes* bytes = value.BytesPtr();
      if (!value.IsByteArray()) CannotConvert();
      const std::size_t n = bytes ? bytes->size() : 0;
      if (type == dtBytes && n != field.Length()) CannotConvert();
      if (type == dtVarBytes && n > field.Length()) CannotConvert();
      if (type == dtExtVarBytes && n > 0xFFFF) TooLong();
      static const std::uint8_t kEmpty = 0;
      put(n ? bytes->data() : &kEmpty, static_cast<std::int64_t>(n));
      break;
    }
    case dtMemo:
    case dtWideMemo:
    case dtBlob: {
      TBlob* blob = BlobOf(field, recBuf);
      if (!blob) {
        CreateComplexField(recBuf, fieldNo - 1, true);
        blob = BlobOf(field, recBuf);
      }
      if (type == dtBlob && !value.IsByteArray() && !value.IsText()) CannotConvert();
      BlobAssign(blob, type, value);
      FinishPut(fieldNo, field, recBuf);
      break;
    }
    case dtVariant:
      put(&value);
      break;
    default:
      CannotConvertType(type);
  }
}

// ---- TData: complex values ----------------------------------------------------------------

namespace {

TSharedObject* SharedAt(const void* slot) noexcept {
  void* p = nullptr;
  std::memcpy(&p, slot, sizeof p);
  return static_cast<TSharedObject*>(p);
}

// Bytes a heap value of the type occupies (its content, terminator included).
std::size_t HeapValueSize(std::uint16_t type, const void* p) noexcept {
  switch (type) {
    case dtExtString:
      return std::strlen(static_cast<const char*>(p)) + 1;
    case dtExtWideString:
      return 2 * (StrLenW(static_cast<const char16_t*>(p)) + 1);
    default:
      return 2 + std::size_t{ReadU16(p)};
  }
}

}  // namespace

void TData::CreateComplexFields(void* recBuf, bool withBlob) {
  for (int index : FComplexFieldIndexes) CreateComplexField(recBuf, index, withBlob);
}

void TData::CreateComplexField(void* recBuf, int fieldIndex, bool withBlob) {
  const TFieldDesc* field = FFields[fieldIndex];
  if (!field || !HasComplexSlot(*field)) return;
  std::uint8_t* slot = Slot(recBuf, *field);
  const std::uint16_t type = field->DataType();
  if (IsBlobFieldType(type)) {
    if (withBlob) WriteHandle(slot, NewBlobObject(type == dtWideMemo));
  } else if (type == dtVariant) {
    WriteHandle(slot, static_cast<TSharedObject*>(NewShared<TVariantObject>().Detach()));
  } else if (IsHeapType(type)) {
    WriteHandle(slot, nullptr);
  }
}

void TData::FreeComplexFields(void* recBuf, bool withBlob) {
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    std::uint8_t* slot = Slot(recBuf, field);
    void* p = ReadHandle(slot);
    if (!p) continue;
    const std::uint16_t type = field.DataType();
    if (IsHeapType(type)) {
      if (FStringHeap->DisposeBuf(p)) WriteHandle(slot, nullptr);
      continue;
    }
    if (IsBlobFieldType(type) && !withBlob) continue;
    TSharedObject* obj = SharedAt(slot);
    const bool last = obj->RefCount() == 1;
    obj->Release();
    if (last) WriteHandle(slot, nullptr);
  }
}

void TData::AddRefComplexFields(void* recBuf) {
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    std::uint8_t* slot = Slot(recBuf, field);
    void* p = ReadHandle(slot);
    if (!p) continue;
    if (IsHeapType(field.DataType()))
      WriteHandle(slot, FStringHeap->AddRef(p));
    else
      SharedAt(slot)->AddRef();
  }
}

void TData::CopyComplexFields(const void* source, void* dest, bool withBlob) {
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    const std::uint16_t type = field.DataType();
    void* p = ReadHandle(Slot(source, field));
    std::uint8_t* slot = Slot(dest, field);
    if (IsHeapType(type)) {
      void* copy = nullptr;
      if (p) {
        const std::size_t n = HeapValueSize(type, p);
        copy = FStringHeap->NewBuf(static_cast<std::int64_t>(n));
        std::memcpy(copy, p, n);
      }
      WriteHandle(slot, copy);
    } else if (type == dtVariant) {
      TSharedObject* copy = nullptr;
      if (p) copy = NewShared<TVariantObject>(static_cast<TVariantObject*>(SharedAt(&p))->Value()).Detach();
      WriteHandle(slot, copy);
    } else if (IsBlobFieldType(type)) {
      if (withBlob) WriteHandle(slot, p ? BlobCopy(AsBlob(static_cast<TSharedObject*>(p)), false) : nullptr);
    } else if (p && source != dest) {
      // Provider objects cannot be copied here: the copy shares them.
      SharedAt(&p)->AddRef();
      WriteHandle(slot, p);
    }
  }
}

// ---- TData: blobs through records ---------------------------------------------------------

TBlob* TData::BlobOf(const TFieldDesc& field, const void* recBuf) const noexcept {
  return AsBlob(SharedAt(Slot(recBuf, field)));
}

TBlob* TData::CheckedBlob(int fieldNo, const void* recBuf) {
  const TFieldDesc& field = FieldDescOf(fieldNo);
  if (!IsBlobFieldType(field.DataType()) || field.HasParent()) throw Exception("Field is not BLOB");
  return BlobOf(field, recBuf);
}

TBlob* TData::GetObject(int fieldNo, const void* recBuf) { return CheckedBlob(fieldNo, recBuf); }

void TData::SetObject(int fieldNo, void* recBuf, TSharedObject* obj) {
  CheckedBlob(fieldNo, recBuf);
  WriteHandle(Slot(recBuf, FieldDescOf(fieldNo)), obj);
}

void TData::CommitBlobs(void* recBuf) {
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    if (IsBlobFieldType(field.DataType())) BlobCommit(BlobOf(field, recBuf));
  }
}

void TData::CancelBlobs(void* recBuf) {
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    if (IsBlobFieldType(field.DataType())) BlobCancel(BlobOf(field, recBuf));
  }
}

// ---- TMemData: lifecycle --------------------------------------------------------------------

TMemData::TMemData() = default;

TMemData::~TMemData() { ReleaseAll(); }

void TMemData::ReleaseAll() noexcept {
  // Heap values go with the heap; shared objects need their references dropped.
  bool shared = false;
  for (int index : FComplexFieldIndexes)
    if (!IsHeapType(FFields[index]->DataType())) shared = true;
  if (shared) {
    for (TItemHeader* item = FFirstItem; item; item = item->Next) {
      try {
        FreeComplexFields(TBlockManager::GetRecordPtr(item), true);
        if (item->Rollback) FreeComplexFields(TBlockManager::GetRecordPtr(item->Rollback), true);
      } catch (...) {
        // A release that raises must not stop the others.
      }
    }
  }
  FreeCache();
  FStringHeap->Clear();
  FBlockMan.FreeAllBlocks();
  FFirstItem = FLastItem = FCurrentItem = nullptr;
  ClearRecordNoCache();
}

void TMemData::InitData() {
  ReleaseAll();
  TData::InitData();
  FRefreshIteration = gRefreshIteration.fetch_add(1, std::memory_order_acq_rel) + 1;
}

void TMemData::FreeData() { InitData(); }

void TMemData::InitFields() {
  if (FFirstItem || FBlockMan.BlockCount() > 0) FreeData();
  TData::InitFields();
  FBlockMan.SetRecordSize(FRecordSize);
  FIndexFields.Clear();
  if (!TrimView(FIndexFieldNames).empty()) {
    ParseIndexFieldNames(
        FIndexFieldNames, [this](const std::string& name) { return FFields.FindField(name); },
        [this](TSortColumn& c) { SetSortDefaults(c); }, FIndexFields);
  }
}

void TMemData::ClearFields() {
  FIndexFields.Clear();
  TData::ClearFields();
}

void TMemData::Reopen() {
  Close();
  Open();
  ClearRecordNoCache();
  if (!FFilterText.empty()) FilterUpdated();
  if (FIndexFields.Count() > 0) SortItems();
}

bool TMemData::Fetch(bool) { return false; }

// ---- TMemData: visibility and record numbers --------------------------------------------------

namespace {

class TRecordFilterAdapter : public TFilterRecord {
 public:
  TRecordFilterAdapter(TData& data, void* recBuf) : FData(data), FRecBuf(recBuf) {}
  Variant FieldValue(const TFieldDesc& field) override { return FData.GetFieldAsVariant(field.FieldNo(), FRecBuf); }

 private:
  TData& FData;
  void* FRecBuf;
};

}  // namespace

bool TData::FilterAccepts(void* recBuf) {
  FilterRecBuf = recBuf;
  try {
    if (FFilterFunc && !FFilterFunc(recBuf)) return false;
    if (FFilterMDFunc && !FFilterMDFunc(recBuf)) return false;
    if (FFilterExpression) {
      TRecordFilterAdapter adapter(*this, recBuf);
      if (!FFilterExpression->Evaluate(adapter, FFilterCaseInsensitive, FFilterNoPartialCompare)) return false;
    }
  } catch (const Exception&) {
    FilterRecBuf = nullptr;
    return false;
  }
  FilterRecBuf = nullptr;
  return true;
}

bool TMemData::OmitRecord(TItemHeader* item) {
  if (FCachedUpdates && !FFilterItemTypes.Contains(item->Status)) return true;
  if (!Filtered()) return false;
  void* recBuf = TBlockManager::GetRecordPtr(item);
  if (FCalcRecordSize > 0 && OnGetCachedBuffer) recBuf = const_cast<void*>(CalcBuffer(recBuf, 0));
  return !FilterAccepts(recBuf);
}

void TMemData::CheckVisibility(TItemHeader* item) { item->FilterResult = OmitRecord(item) ? fsOmitted : fsNotOmitted; }

void TMemData::ClearRecordNoCache() noexcept {
  FRecordNoCacheValid = false;
  FRecordNoCache.clear();
}

void TMemData::RenumberAll() {
  std::int32_t r = 0;
  for (TItemHeader* item = FFirstItem; item; item = item->Next) item->Order = IsVisible(item) ? ++r : 0;
  FRecordNoOffset = 0;
  FRecordCount = r;
  ClearRecordNoCache();
}

void TMemData::ReorderItems(TItemHeader* item, TReorderOption option) {
  // The offset drifts with every change numbered from the front; far out,
  // one full renumbering brings it back.
  constexpr std::int32_t OffsetLimit = 1 << 30;
  if (option == roFull || !item || FRecordNoOffset > OffsetLimit || FRecordNoOffset < -OffsetLimit) {
    if (option == roDelete) item->FilterResult = fsOmitted;
    RenumberAll();
    return;
  }
  TItemHeader* succ = item->Next;
  while (succ && !IsVisible(succ)) succ = succ->Next;
  if (option == roInsert) {
    TItemHeader* pred = item->Prev;
    while (pred && !IsVisible(pred)) pred = pred->Prev;
    const std::int32_t pos = pred ? pred->Order + FRecordNoOffset + 1 : 1;
    // A built position array follows the change (moving pointers is far
    // cheaper than walking the list again).
    if (FRecordNoCacheValid)
      FRecordNoCache.insert(FRecordNoCache.begin() + static_cast<std::ptrdiff_t>(pos - 1), item);
    ++FRecordCount;
    if (!succ) {
      item->Order = pos - FRecordNoOffset;
      return;
    }
    if (pos - 1 > FRecordCount / 2) {
      std::int32_t r = pos;
      item->Order = r - FRecordNoOffset;
      for (TItemHeader* it = item->Next; it; it = it->Next) it->Order = IsVisible(it) ? ++r - FRecordNoOffset : 0;
    } else {
      // Renumber the shorter side before the record; those after it move
      // up by one through the offset.
      ++FRecordNoOffset;
      std::int32_t o = succ->Order - 1;
      item->Order = o;
      for (TItemHeader* it = item->Prev; it; it = it->Prev) it->Order = IsVisible(it) ? --o : 0;
    }
    return;
  }
  // roDelete: the item is hidden now; its Order is still the old one.
  const std::int32_t pos = item->Order + FRecordNoOffset;
  if (FRecordNoCacheValid) {
    LUMO_ASSERT(pos >= 1 && static_cast<std::size_t>(pos) <= FRecordNoCache.size() && FRecordNoCache[pos - 1] == item);
    FRecordNoCache.erase(FRecordNoCache.begin() + static_cast<std::ptrdiff_t>(pos - 1));
  }
  item->Order = 0;
  --FRecordCount;
  if (!succ) return;
  if (pos > FRecordCount / 2) {
    std::int32_t r = pos - 1;
    for (TItemHeader* it = item->Next; it; it = it->Next) it->Order = IsVisible(it) ? ++r - FRecordNoOffset : 0;
  } else {
    --FRecordNoOffset;
    std::int32_t o = succ->Order;
    for (TItemHeader* it = item->Prev; it; it = it->Prev) it->Order = IsVisible(it) ? --o : 0;
  }
}

void TMemData::PrepareRecNoCache() {
  FRecordNoCache.clear();
  FRecordNoCache.reserve(static_cast<std::size_t>(std::max(FRecordCount, 0)));
  for (TItemHeader* item = FFirstItem; item; item = item->Next)
    if (IsVisible(item)) FRecordNoCache.push_back(item);
  FRecordNoCacheValid = true;
}

int TMemData::GetRecordNo() {
  if (FCurrentItem && IsVisible(FCurrentItem)) return FCurrentItem->Order + FRecordNoOffset;
  return 0;
}

void TMemData::SetRecordNo(int value) {
  if (value <= 0) return;
  while (value > FRecordCount && Fetch(false)) {
  }
  if (FRecordCount == 0) return;
  if (value > FRecordCount) value = FRecordCount;
  TItemHeader* item = nullptr;
  if (FRecordNoCacheValid && static_cast<int>(FRecordNoCache.size()) == FRecordCount) {
    item = FRecordNoCache[static_cast<std::size_t>(value - 1)];
  } else {
    // Start from the nearest of the first, the current and the last record.
    TItemHeader* first = FFirstItem;
    while (first && !IsVisible(first)) first = first->Next;
    TItemHeader* last = FLastItem;
    while (last && !IsVisible(last)) last = last->Prev;
    item = first;
    int at = 1;
    if (FRecordCount - value < value - at) {
      item = last;
      at = FRecordCount;
    }
    if (FCurrentItem && IsVisible(FCurrentItem)) {
      const int cur = FCurrentItem->Order + FRecordNoOffset;
      if (std::abs(value - cur) < std::abs(value - at)) {
        item = FCurrentItem;
        at = cur;
      }
    }
    if (std::abs(value - at) > RecNoCacheWalkLimit) {
      PrepareRecNoCache();
      item = FRecordNoCache[static_cast<std::size_t>(value - 1)];
    } else {
      while (at < value) {
        item = item->Next;
        if (IsVisible(item)) ++at;
      }
      while (at > value) {
        item = item->Prev;
        if (IsVisible(item)) --at;
      }
    }
  }
  FCurrentItem = item;
  FBOF = FEOF = false;
}

// ---- TMemData: navigation --------------------------------------------------------------------

void TMemData::SetToBegin() {
  FCurrentItem = nullptr;
  FBOF = true;
  FEOF = FRecordCount == 0 && !FFirstItem;
}

void TMemData::SetToEnd() {
  FCurrentItem = nullptr;
  FEOF = true;
  FBOF = FRecordCount == 0 && !FFirstItem;
}

TItemHeader* TMemData::VisibleCurrent() {
  if (!FCurrentItem || IsVisible(FCurrentItem)) return FCurrentItem;
  TItemHeader* item = FCurrentItem->Next;
  for (;;) {
    while (item && !IsVisible(item)) item = item->Next;
    if (item) break;
    TItemHeader* last = FLastItem;
    if (!Fetch(false)) break;
    item = last ? last->Next : FFirstItem;
  }
  FCurrentItem = item;
  if (!item) {
    FEOF = true;
  } else {
    FBOF = FEOF = false;
  }
  return item;
}

void TMemData::GetRecord(void* recBuf) {
  TItemHeader* item = VisibleCurrent();
  if (item && recBuf) FBlockMan.GetRecord(recBuf, item);
}

void TMemData::GetNextRecord(void* recBuf) {
  TItemHeader* item = nullptr;
  bool atEnd = false;
  if (FCurrentItem)
    item = FCurrentItem->Next;
  else if (FBOF)
    item = FFirstItem;
  else if (FEOF)
    atEnd = true;
  else
    item = FFirstItem;
  while (!atEnd) {
    while (item && !IsVisible(item)) item = item->Next;
    if (item) break;
    // Past the last item: ask for more rows.
    if (!FetchForWalk(false, item)) break;
  }
  if (!item) {
    FCurrentItem = nullptr;
    FEOF = true;
    return;
  }
  FCurrentItem = item;
  FBOF = FEOF = false;
  if (recBuf) FBlockMan.GetRecord(recBuf, item);
}

void TMemData::GetPriorRecord(void* recBuf) {
  TItemHeader* item = nullptr;
  bool atBegin = false;
  if (FCurrentItem)
    item = FCurrentItem->Prev;
  else if (!FBOF)
    item = FLastItem;
  else
    atBegin = true;
  while (!atBegin) {
    while (item && !IsVisible(item)) item = item->Prev;
    if (item || !CanFetchBack()) break;
    // Before the first item: ask for the rows before it.
    if (!FetchForWalk(true, item)) break;
  }
  if (!item) {
    FCurrentItem = nullptr;
    FBOF = true;
    return;
  }
  FCurrentItem = item;
  FBOF = FEOF = false;
  if (recBuf) FBlockMan.GetRecord(recBuf, item);
}

TData::TStep TMemData::StepRecordFar(bool back, TRecBookmark& bookmark) {
  // A row was reached when the walk ends on an item, which is then visible.
  if (back)
    TMemData::GetPriorRecord(nullptr);
  else
    TMemData::GetNextRecord(nullptr);
  TItemHeader* item = FCurrentItem;
  if (!item) return {};
  FillBookmark(item, bookmark);
  return {TBlockManager::GetRecordPtr(item), item->Status};
}

bool TMemData::FetchForWalk(bool fetchBack, TItemHeader*& item) {
  TItemHeader* edge = fetchBack ? FFirstItem : FLastItem;
  if (!Fetch(fetchBack)) return false;
  if (fetchBack)
    item = edge ? edge->Prev : FLastItem;
  else
    item = edge ? edge->Next : FFirstItem;
  return true;
}

void TMemData::PutRecord(const void* recBuf) {
  if (FCurrentItem) FBlockMan.PutRecord(recBuf, FCurrentItem);
}

// ---- TMemData: the list -----------------------------------------------------------------------

void TMemData::LinkBefore(TItemHeader* item, TItemHeader* before) noexcept {
  if (before) {
    item->Next = before;
    item->Prev = before->Prev;
    if (before->Prev)
      before->Prev->Next = item;
    else
      FFirstItem = item;
    before->Prev = item;
  } else {
    item->Prev = FLastItem;
    item->Next = nullptr;
    if (FLastItem)
      FLastItem->Next = item;
    else
      FFirstItem = item;
    FLastItem = item;
  }
}

void TMemData::Unlink(TItemHeader* item) noexcept {
  if (item->Prev)
    item->Prev->Next = item->Next;
  else
    FFirstItem = item->Next;
  if (item->Next)
    item->Next->Prev = item->Prev;
  else
    FLastItem = item->Prev;
  item->Prev = item->Next = nullptr;
}

TItemHeader* TMemData::InsertItem() {
  TItemHeader* item = FBlockMan.AllocItem();
  TItemHeader* before = FCurrentItem;
  if (!before && FBOF && !FEOF) before = FFirstItem;
  LinkBefore(item, before);
  return item;
}

void TMemData::FreeRollback(TItemHeader* item) {
  if (TItemHeader* rb = item->Rollback) {
    item->Rollback = nullptr;
    FreeComplexFields(TBlockManager::GetRecordPtr(rb), true);
    FBlockMan.FreeItem(rb);
  }
}

void TMemData::FreeItemWithValues(TItemHeader* item) {
  FreeComplexFields(TBlockManager::GetRecordPtr(item), true);
  FreeRollback(item);
  FBlockMan.FreeItem(item);
}

void TMemData::RemoveItem(TItemHeader* item) {
  if (IsVisible(item)) ReorderItems(item, roDelete);
  RemoveCacheItem(item);
  if (FCurrentItem == item) FCurrentItem = item->Next ? item->Next : item->Prev;
  Unlink(item);
  FreeItemWithValues(item);
  if (!FFirstItem) {
    FCurrentItem = nullptr;
    FBOF = FEOF = true;
  }
}

void TMemData::LinkFetchedItems(TBlockHeader* block, std::uint32_t rowsFetched, bool fetchBack) {
  LUMO_ASSERT(rowsFetched <= block->ItemCount);
  TItemHeader* first = nullptr;
  TItemHeader* anchor = fetchBack ? FFirstItem : nullptr;
  for (std::uint32_t i = 0; i < rowsFetched; ++i) {
    TItemHeader* item = FBlockMan.BlockItem(block, i);
    LinkBefore(item, anchor);
    if (fetchBack) anchor = item;
    if (i == 0) first = item;
  }
  // Unused items go back (the block goes with the last of them).
  for (std::uint32_t i = block->ItemCount; i-- > rowsFetched;) FBlockMan.FreeItem(FBlockMan.BlockItem(block, i));
  if (first) InitFetchedItems(first, rowsFetched, fetchBack);
}

void TMemData::InitFetchedItems(TItemHeader* first, std::uint32_t count, bool fetchBack, bool countVisible) {
  ClearRecordNoCache();
  if (!fetchBack) {
    TItemHeader* pred = first->Prev;
    while (pred && !IsVisible(pred)) pred = pred->Prev;
    std::int32_t r = pred ? pred->Order + FRecordNoOffset : 0;
    TItemHeader* item = first;
    for (std::uint32_t i = 0; i < count && item; ++i, item = item->Next) {
      if (IsVisible(item)) {
        item->Order = ++r - FRecordNoOffset;
        if (countVisible) ++FRecordCount;
      } else {
        item->Order = 0;
      }
    }
    return;
  }
  // Items linked before the old first, `first` nearest to it.
  TItemHeader* succ = first->Next;
  while (succ && !IsVisible(succ)) succ = succ->Next;
  if (!succ) {
    RenumberAll();
    return;
  }
  std::int32_t o = succ->Order;
  std::int32_t added = 0;
  TItemHeader* item = first;
  for (std::uint32_t i = 0; i < count && item; ++i, item = item->Prev) {
    if (IsVisible(item)) {
      item->Order = --o;
      ++added;
    } else {
      item->Order = 0;
    }
  }
  FRecordNoOffset += added;
  if (countVisible) FRecordCount += added;
}

// ---- TMemData: sorted positions ----------------------------------------------------------------

int TMemData::CompareItems(TItemHeader* a, TItemHeader* b) {
  return CompareRecords(TBlockManager::GetRecordPtr(a), TBlockManager::GetRecordPtr(b));
}

bool TMemData::MoveSortedRecord(TItemHeader* item, int direction) {
  if (FIndexFields.Count() == 0) return false;
  if (direction <= 0) {
    TItemHeader* p = item->Prev;
    while (p && CompareItems(item, p) < 0) p = p->Prev;
    if (p != item->Prev) {
      Unlink(item);
      LinkBefore(item, p ? p->Next : FFirstItem);
      return true;
    }
  }
  if (direction >= 0) {
    TItemHeader* n = item->Next;
    while (n && CompareItems(item, n) > 0) n = n->Next;
    if (n != item->Next) {
      Unlink(item);
      LinkBefore(item, n);
      return true;
    }
  }
  return false;
}

void TMemData::ItemChanged(TItemHeader* item, bool wasVisible, int sortDirection) {
  item->FilterResult = fsNotChecked;
  const bool nowVisible = IsVisible(item);
  if (FIndexFields.Count() == 0 || sortDirection == 0) {
    if (wasVisible && !nowVisible) {
      ReorderItems(item, roDelete);
    } else if (!wasVisible && nowVisible) {
      ReorderItems(item, roInsert);
    }
    return;
  }
  // Out of the numbering while it moves, back in at its new place.
  if (wasVisible) {
    item->FilterResult = fsOmitted;
    ReorderItems(item, roDelete);
  }
  std::exception_ptr error;
  try {
    MoveSortedRecord(item, sortDirection);
  } catch (...) {
    error = std::current_exception();  // a comparison failed: numbered where it is
  }
  item->FilterResult = nowVisible ? fsNotOmitted : fsOmitted;
  if (nowVisible) ReorderItems(item, roInsert);
  if (error) std::rethrow_exception(error);
}

// ---- TMemData: editing ---------------------------------------------------------------------------

void TMemData::AppendRecord(void* recBuf) {
  SetToEnd();
  InsertRecord(recBuf);
}

void TMemData::InsertRecord(void* recBuf) {
  if (!FCachedUpdates) InternalAppend(recBuf);
  const bool cacheIt = FCachedUpdates && !FLocalUpdate;
  std::unique_ptr<TCacheItem> entry;
  if (cacheIt) entry = std::make_unique<TCacheItem>();
  TItemHeader* item = InsertItem();
  FBlockMan.PutRecord(recBuf, item);
  if (cacheIt) {
    item->Status = isAppended;
    item->UpdateResult = urNone;
    entry->Item = item;
    entry->Prev = FLastCacheItem;
    if (FLastCacheItem)
      FLastCacheItem->Next = entry.get();
    else
      FCache = entry.get();
    FLastCacheItem = entry.get();
    FCacheIndex[item] = std::move(entry);
  }
  FCurrentItem = item;
  FBOF = FEOF = false;
  if (FHasComplexFields) CommitBlobs(TBlockManager::GetRecordPtr(item));
  std::exception_ptr error;
  try {
    if (FIndexFields.Count() > 0) MoveSortedRecord(item, 0);
  } catch (...) {
    error = std::current_exception();  // a comparison failed: numbered where it is
  }
  if (IsVisible(item)) ReorderItems(item, roInsert);
  if (error) std::rethrow_exception(error);
}

void TMemData::UpdateRecord(void* recBuf) {
  TItemHeader* item = VisibleCurrent();
  if (!item) return;
  const int direction = FIndexFields.Count() > 0 ? CompareRecords(recBuf, TBlockManager::GetRecordPtr(item)) : 0;
  if (!FCachedUpdates) InternalUpdate(recBuf);
  if (FCachedUpdates && !FLocalUpdate) {
    if (item->Status == isUnmodified && !FindCacheItem(item)) AddCacheItem(item);
    if (!(item->Status == isAppended && item->UpdateResult != urApplied)) {
      MakeRollback(item, recBuf);
      item->Status = isUpdated;
    }
    item->UpdateResult = urNone;
  }
  const bool wasVisible = IsVisible(item);
  FBlockMan.PutRecord(recBuf, item);
  ItemChanged(item, wasVisible, direction);
}

void TMemData::DeleteRecord() {
  TItemHeader* item = VisibleCurrent();
  if (!item) return;
  if (item == FLastItem) Fetch(false);
  if (!FCachedUpdates) {
    InternalDelete();
    RemoveItem(item);
    return;
  }
  if (FLocalUpdate || item->Status == isAppended) {
    RemoveItem(item);
    return;
  }
  int direction = 0;
  if (item->Status == isUpdated && item->Rollback) {
    if (FIndexFields.Count() > 0)
      direction = CompareRecords(TBlockManager::GetRecordPtr(item->Rollback), TBlockManager::GetRecordPtr(item));
    RestoreRollback(item);
  }
  if (!FindCacheItem(item)) AddCacheItem(item);
  item->Status = isDeleted;
  item->UpdateResult = urNone;
  ItemChanged(item, true, direction);
}

// ---- TMemData: cached updates --------------------------------------------------------------------

TCacheItem* TMemData::FindCacheItem(TItemHeader* item) const {
  const auto it = FCacheIndex.find(item);
  return it == FCacheIndex.end() ? nullptr : it->second.get();
}

TCacheItem* TMemData::AddCacheItem(TItemHeader* item) {
  auto entry = std::make_unique<TCacheItem>();
  TCacheItem* e = entry.get();
  e->Item = item;
  FCacheIndex[item] = std::move(entry);
  e->Prev = FLastCacheItem;
  if (FLastCacheItem)
    FLastCacheItem->Next = e;
  else
    FCache = e;
  FLastCacheItem = e;
  return e;
}

void TMemData::RemoveCacheItem(TItemHeader* item) {
  const auto it = FCacheIndex.find(item);
  if (it == FCacheIndex.end()) return;
  TCacheItem* e = it->second.get();
  if (e->Prev)
    e->Prev->Next = e->Next;
  else
    FCache = e->Next;
  if (e->Next)
    e->Next->Prev = e->Prev;
  else
    FLastCacheItem = e->Prev;
  // While an apply walk runs, the entry stays readable (its Next still
  // leads on) until the walk ends.
  if (FApplyDepth > 0) {
    e->Removed = true;
    FRemovedCache.push_back(std::move(it->second));
  }
  FCacheIndex.erase(it);
}

void TMemData::FreeCache() noexcept {
  FCache = FLastCacheItem = nullptr;
  FCacheIndex.clear();
  FRemovedCache.clear();
}

void TMemData::MakeRollback(TItemHeader* item, const void* newRecBuf) {
  if (!item->Rollback) {
    TItemHeader* rb = FBlockMan.AllocItem();
    FBlockMan.CopyRecord(item, rb);
    AddRefComplexFields(TBlockManager::GetRecordPtr(rb));
    item->Rollback = rb;
  }
  // Also on later changes: a blob the rollback record still shares with the
  // edited record (it was not changed before) must not take the new content
  // with it.
  void* old = TBlockManager::GetRecordPtr(item->Rollback);
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    if (!IsBlobFieldType(field.DataType())) continue;
    TBlob* blob = BlobOf(field, old);
    // The edit changed a blob the stored record still shares: the old
    // content moves to a blob of the rollback record's own.
    if (blob && blob == BlobOf(field, newRecBuf) && BlobCanRollback(blob)) {
      WriteHandle(Slot(old, field), BlobCopy(blob, true));
      AsShared(blob)->Release();
      BlobCommit(blob);
    }
  }
}

void TMemData::RestoreRollback(TItemHeader* item) {
  TItemHeader* rb = item->Rollback;
  if (!rb) return;
  void* cur = TBlockManager::GetRecordPtr(item);
  void* old = TBlockManager::GetRecordPtr(rb);
  for (int index : FComplexFieldIndexes) {
    const TFieldDesc& field = *FFields[index];
    std::uint8_t* curSlot = Slot(cur, field);
    void* p = ReadHandle(curSlot);
    if (!p) continue;
    const std::uint16_t type = field.DataType();
    if (IsHeapType(type)) {
      FStringHeap->DisposeBuf(p);
    } else if (IsBlobFieldType(type)) {
      TBlob* current = AsBlob(SharedAt(curSlot));
      TBlob* previous = BlobOf(field, old);
      if (previous && previous != current) {
        // The blob the data set may hold keeps its identity and takes the
        // old content; the rollback's blob goes.
        BlobTakeContent(current, previous);
        WriteHandle(Slot(old, field), AsShared(current));
        AsShared(previous)->Release();
      } else {
        AsShared(current)->Release();
      }
    } else {
      SharedAt(curSlot)->Release();
    }
  }
  FBlockMan.CopyRecord(rb, item);
  item->Rollback = nullptr;
  FBlockMan.FreeItem(rb);
}

void TMemData::RevertItem(TItemHeader* item) {
  switch (item->Status) {
    case isUnmodified:
      item->UpdateResult = urNone;
      break;
    case isUpdated: {
      const bool wasVisible = IsVisible(item);
      int direction = 0;
      if (item->Rollback && FIndexFields.Count() > 0)
        direction = CompareRecords(TBlockManager::GetRecordPtr(item->Rollback), TBlockManager::GetRecordPtr(item));
      RestoreRollback(item);
      item->Status = isUnmodified;
      item->UpdateResult = urNone;
      ItemChanged(item, wasVisible, direction);
      break;
    }
    case isAppended:
      RemoveItem(item);
      break;
    case isDeleted: {
      const bool wasVisible = IsVisible(item);
      item->Status = isUnmodified;
      item->UpdateResult = urNone;
      ItemChanged(item, wasVisible, 0);
      break;
    }
  }
  InternalCacheChanged();
}

void TMemData::RevertRecord() {
  TItemHeader* item = FCurrentItem;
  if (!item || !FindCacheItem(item)) return;
  RemoveCacheItem(item);
  RevertItem(item);
}

void TMemData::CancelUpdates() {
  InternalCacheCanceled();
  while (FCache) {
    TItemHeader* item = FCache->Item;
    RemoveCacheItem(item);
    RevertItem(item);
  }
  RenumberAll();
}

void TMemData::RestoreUpdates() {
  for (TCacheItem* e = FCache; e; e = e->Next) e->Item->UpdateResult = urNone;
}

bool TMemData::GetUpdatesPending() {
  for (TCacheItem* e = FCache; e; e = e->Next)
    if (e->Item->UpdateResult != urApplied) return true;
  return false;
}

bool TMemData::HasUpdatedOrDeletedRecords() {
  for (TCacheItem* e = FCache; e; e = e->Next)
    if ((e->Item->Status == isUpdated || e->Item->Status == isDeleted) && e->Item->UpdateResult != urApplied)
      return true;
  return false;
}

TItemStatus TMemData::GetUpdateStatus() { return FCurrentItem ? FCurrentItem->Status : isUnmodified; }

TUpdateRecAction TMemData::GetUpdateResult() { return FCurrentItem ? FCurrentItem->UpdateResult : urNone; }

void TMemData::GetOldRecord(void* recBuf) {
  if (!FCurrentItem) return;
  FBlockMan.GetRecord(recBuf, FCurrentItem->Rollback ? FCurrentItem->Rollback : FCurrentItem);
}

void TMemData::SetCachedUpdates(bool value) {
  if (value == FCachedUpdates) return;
  if (!value) {
    CancelUpdates();
    FCachedUpdates = false;
  } else {
    TData::SetCachedUpdates(true);
  }
  if (FFirstItem) FilterUpdated();
}

void TMemData::SetFilterItemTypes(TItemTypes value) {
  TData::SetFilterItemTypes(value);
  if (FFirstItem && FCachedUpdates) FilterUpdated();
}

void TMemData::FilterUpdated() {
  std::int32_t r = 0;
  for (TItemHeader* item = FFirstItem; item; item = item->Next) {
    item->FilterResult = fsNotChecked;
    item->Order = IsVisible(item) ? ++r : 0;
  }
  FRecordNoOffset = 0;
  FRecordCount = r;
  ClearRecordNoCache();
}

void TMemData::ApplyUpdates(TUpdateRecKinds kinds) {
  if (!FCachedUpdates) return;
  // Registers the walk; on the way out (unless a handler destroyed the data
  // object) it unregisters and frees the entries removed meanwhile.
  struct TScope {
    TMemData& Data;
    TApplyGuard Guard;
    bool OwnNew = false, OwnOld = false;
    explicit TScope(TMemData& data) : Data(data) {
      Guard.Outer = data.FApplyGuards;
      data.FApplyGuards = &Guard;
      ++data.FApplyDepth;
    }
    ~TScope() {
      if (Guard.Destroyed) return;
      Data.FApplyGuards = Guard.Outer;
      if (--Data.FApplyDepth == 0) Data.FRemovedCache.clear();
      if (OwnNew) Data.FNewCacheRecBuf = nullptr;
      if (OwnOld) Data.FOldCacheRecBuf = nullptr;
    }
  } scope(*this);
  const TApplyGuard& guard = scope.Guard;
  const bool wasActive = FActive;
  const std::int32_t iteration = FRefreshIteration;
  TRecBookmark saved;
  GetBookmark(saved);
  const bool savedBOF = FBOF, savedEOF = FEOF;
  const std::size_t bufSize = static_cast<std::size_t>(FRecordSize + FCalcRecordSize);
  // Without buffers from the owner the walk uses its own (handlers find
  // them through NewCacheRecBuf/OldCacheRecBuf while it runs).
  if (!FNewCacheRecBuf) {
    FApplyNewBuf.assign(bufSize ? bufSize : 1, 0);
    FNewCacheRecBuf = FApplyNewBuf.data();
    scope.OwnNew = true;
  }
  if (!FOldCacheRecBuf) {
    FApplyOldBuf.assign(bufSize ? bufSize : 1, 0);
    FOldCacheRecBuf = FApplyOldBuf.data();
    scope.OwnOld = true;
  }
  void* const newBuf = FNewCacheRecBuf;
  void* const oldBuf = FOldCacheRecBuf;

  TCacheItem* entry = FCache;
  TCacheItem* runStart = nullptr;
  while (entry) {
    if (entry->Removed) {
      entry = entry->Next;
      continue;
    }
    TItemHeader* item = entry->Item;
    if (item->UpdateResult == urApplied) {
      entry = entry->Next;
      continue;
    }
    FCurrentItem = item;
    FBOF = FEOF = false;
    TUpdateRecAction action = urFail;
    const bool last = entry->Next == nullptr;
    bool writeBack = false;
    std::exception_ptr error;
    try {
      switch (item->Status) {
        case isUpdated:
          if (kinds.Contains(ukUpdate)) {
            FBlockMan.GetRecord(newBuf, item);
            FBlockMan.GetRecord(oldBuf, item->Rollback ? item->Rollback : item);
            writeBack = true;
            ApplyRecord(ukUpdate, action, last);
          }
          break;
        case isAppended:
          if (kinds.Contains(ukInsert)) {
            FBlockMan.GetRecord(newBuf, item);
            FBlockMan.GetRecord(oldBuf, item);
            writeBack = true;
            ApplyRecord(ukInsert, action, last);
          }
          break;
        case isDeleted:
          if (kinds.Contains(ukDelete)) {
            FBlockMan.GetRecord(newBuf, item);
            FBlockMan.GetRecord(oldBuf, item);
            ApplyRecord(ukDelete, action, last);
          }
          break;
        case isUnmodified:
          AssertionFailure(__FILE__, __LINE__, "Unmodified record in the cache");
      }
    } catch (...) {
      error = std::current_exception();
    }
    // A handler that destroyed, closed or reopened the data object ends the
    // walk before anything of the old state is touched.
    if (guard.Destroyed || (wasActive && !FActive) || FRefreshIteration != iteration) {
      if (error) std::rethrow_exception(error);
      return;
    }
    if (!entry->Removed) {
      if (writeBack) {
        // The handler may have changed the row image (server values).
        const int direction = FIndexFields.Count() > 0 ? CompareRecords(newBuf, TBlockManager::GetRecordPtr(item)) : 0;
        const bool wasVisible = IsVisible(item);
        FBlockMan.PutRecord(newBuf, item);
        ItemChanged(item, wasVisible, direction);
      }
      item->UpdateResult = action;
      if (action != urSuspended && runStart)
        for (TCacheItem* e = runStart; e && e != entry; e = e->Next)
          if (!e->Removed) e->Item->UpdateResult = action;
    }
    if (error) std::rethrow_exception(error);
    if (action == urSuspended) {
      if (!runStart) runStart = entry;
      entry = entry->Next;
    } else if (action == urRetry) {
      if (runStart) entry = runStart;
    } else {
      runStart = nullptr;
      entry = entry->Next;
    }
  }
  if (saved.Item) {
    if (FBlockMan.IsLiveItem(saved.Item, saved.Block, saved.Serial)) {
      FCurrentItem = saved.Item;
      FBOF = FEOF = false;
    }
  } else {
    FCurrentItem = nullptr;
    FBOF = savedBOF;
    FEOF = savedEOF;
  }
  InternalCacheApplied();
}

void TMemData::CommitUpdates() {
  struct TScope {
    TMemData& Data;
    TApplyGuard Guard;
    explicit TScope(TMemData& data) : Data(data) {
      Guard.Outer = data.FApplyGuards;
      data.FApplyGuards = &Guard;
    }
    ~TScope() {
      if (!Guard.Destroyed) Data.FApplyGuards = Guard.Outer;
    }
  } scope(*this);
  const bool wasActive = FActive;
  const std::int32_t iteration = FRefreshIteration;
  if (GetUpdatesPending()) ApplyUpdates(TUpdateRecKinds{ukUpdate, ukInsert, ukDelete});
  if (scope.Guard.Destroyed || (wasActive && !FActive) || FRefreshIteration != iteration) return;
  TCacheItem* e = FCache;
  while (e) {
    TCacheItem* next = e->Next;
    TItemHeader* item = e->Item;
    if (item->UpdateResult == urApplied) {
      RemoveCacheItem(item);
      FreeRollback(item);
      if (item->Status == isDeleted) {
        RemoveItem(item);
      } else {
        const bool wasVisible = IsVisible(item);
        item->Status = isUnmodified;
        item->UpdateResult = urNone;
        ItemChanged(item, wasVisible, 0);
      }
    }
    e = next;
  }
}

// ---- TMemData: bookmarks ------------------------------------------------------------------------

void TMemData::GetBookmark(TRecBookmark& bookmark) {
  bookmark.RefreshIteration = FRefreshIteration;
  bookmark.Item = FCurrentItem;
  if (FCurrentItem) {
    bookmark.Block = FCurrentItem->Block;
    bookmark.Serial = FCurrentItem->Serial;
    bookmark.Order = IsVisible(FCurrentItem) ? FCurrentItem->Order + FRecordNoOffset : -1;
  } else {
    bookmark.Block = nullptr;
    bookmark.Serial = 0;
    bookmark.Order = -1;
  }
}

bool TMemData::SetToBookmark(const TRecBookmark& bookmark) {
  if (bookmark.RefreshIteration == FRefreshIteration &&
      FBlockMan.IsLiveItem(bookmark.Item, bookmark.Block, bookmark.Serial)) {
    FCurrentItem = bookmark.Item;
    FBOF = FEOF = false;
    return true;
  }
  if (bookmark.Order > 0) {
    while (bookmark.Order > FRecordCount && Fetch(false)) {
    }
    if (bookmark.Order <= FRecordCount) {
      SetRecordNo(bookmark.Order);
      return true;
    }
  }
  return false;
}

bool TMemData::BookmarkValid(const TRecBookmark* bookmark) {
  if (!bookmark) return false;
  const bool live = bookmark->RefreshIteration == FRefreshIteration &&
                    FBlockMan.IsLiveItem(bookmark->Item, bookmark->Block, bookmark->Serial);
  // Only a filter makes a live record's bookmark invalid: a record hidden by
  // its cached-update status (a cached delete) is still a place to go to.
  if (live && Filtered() && !IsVisible(bookmark->Item)) return false;
  return live || (bookmark->Order > 0 && bookmark->Order <= FRecordCount);
}

int TMemData::CompareBookmarks(const TRecBookmark* b1, const TRecBookmark* b2) {
  if (!b1 || !b2) return (!b1 && !b2) ? 0 : (!b1 ? 1 : -1);
  if (b1->RefreshIteration == FRefreshIteration && b2->RefreshIteration == FRefreshIteration) {
    const bool live1 = FBlockMan.IsLiveItem(b1->Item, b1->Block, b1->Serial);
    const bool live2 = FBlockMan.IsLiveItem(b2->Item, b2->Block, b2->Serial);
    if (live1 && live2) {
      if (b1->Item == b2->Item) return 0;
      if (IsVisible(b1->Item) && IsVisible(b2->Item)) {
        const std::int32_t o1 = b1->Item->Order, o2 = b2->Item->Order;
        return o1 < o2 ? -1 : o1 > o2 ? 1 : 0;
      }
    }
  }
  return b1->Order < b2->Order ? -1 : b1->Order > b2->Order ? 1 : 0;
}

// ---- TMemData: comparing values --------------------------------------------------------------

struct TMemData::TKeyValue {
  const void* Ptr = nullptr;
  std::uint16_t Type = dtUnknown;
  std::string Text;
  std::vector<std::uint8_t> Bytes;
  double Number = 0;
};

namespace {

int Sign(int c) noexcept { return c < 0 ? -1 : c > 0 ? 1 : 0; }

template <typename T>
int Cmp(T a, T b) noexcept {
  return a < b ? -1 : b < a ? 1 : 0;
}

// A number read from a record slot or a key.
struct TNum {
  enum TKind { nkSigned, nkUnsigned, nkFloat } Kind = nkSigned;
  std::int64_t I = 0;
  std::uint64_t U = 0;
  double D = 0;
};

bool IsNumericType(std::uint16_t t) noexcept {
  return IsIntegerFieldType(t) || t == dtBoolean || t == dtFloat || t == dtCurrency || t == dtSingle || t == dtDate ||
         t == dtTime || t == dtDateTime || t == dtBCD;
}

// dtBCD keys are doubles; dtBCD slots hold the value × 10 000.
TNum ReadNumber(std::uint16_t type, const void* p, bool isKey) noexcept {
  TNum n;
  auto sgn = [&](std::int64_t v) {
    n.Kind = TNum::nkSigned;
    n.I = v;
  };
  auto uns = [&](std::uint64_t v) {
    n.Kind = TNum::nkUnsigned;
    n.U = v;
  };
  auto flt = [&](double v) {
    n.Kind = TNum::nkFloat;
    n.D = v;
  };
  switch (type) {
    case dtInt8:
      sgn(ReadAs<std::int8_t>(p));
      break;
    case dtUInt8:
      uns(ReadAs<std::uint8_t>(p));
      break;
    case dtInt16:
      sgn(ReadAs<std::int16_t>(p));
      break;
    case dtUInt16:
      uns(ReadAs<std::uint16_t>(p));
      break;
    case dtInt32:
      sgn(ReadAs<std::int32_t>(p));
      break;
    case dtUInt32:
      uns(ReadAs<std::uint32_t>(p));
      break;
    case dtInt64:
      sgn(ReadAs<std::int64_t>(p));
      break;
    case dtUInt64:
      uns(ReadAs<std::uint64_t>(p));
      break;
    case dtBoolean:
      sgn(ReadAs<std::int16_t>(p) != 0 ? 1 : 0);
      break;
    case dtSingle:
      flt(ReadAs<float>(p));
      break;
    case dtDate:
    case dtTime:
    case dtDateTime:
      // Slots and keys of dates alike hold micros.
      sgn(ReadAs<std::int64_t>(p));
      break;
    case dtBCD:
      if (isKey)
        flt(ReadAs<double>(p));
      else
        flt(static_cast<double>(ReadAs<std::int64_t>(p)) / 10000.0);
      break;
    default:
      flt(ReadAs<double>(p));
      break;
  }
  return n;
}

int CompareNumbers(const TNum& a, const TNum& b) noexcept {
  if (a.Kind != TNum::nkFloat && b.Kind != TNum::nkFloat) {
    if (a.Kind == b.Kind) return a.Kind == TNum::nkSigned ? Cmp(a.I, b.I) : Cmp(a.U, b.U);
    if (a.Kind == TNum::nkSigned) return a.I < 0 ? -1 : Cmp(static_cast<std::uint64_t>(a.I), b.U);
    return b.I < 0 ? 1 : Cmp(a.U, static_cast<std::uint64_t>(b.I));
  }
  auto wide = [](const TNum& n) -> long double {
    return n.Kind == TNum::nkSigned     ? static_cast<long double>(n.I)
           : n.Kind == TNum::nkUnsigned ? static_cast<long double>(n.U)
                                        : static_cast<long double>(n.D);
  };
  const long double x = wide(a), y = wide(b);
  const bool nx = std::isnan(x), ny = std::isnan(y);
  if (nx || ny) return Cmp<int>(nx, ny);
  return Cmp(x, y);
}

int CompareBytes(const std::uint8_t* key, std::size_t nk, const std::uint8_t* val, std::size_t nv,
                 TCompareOptions options) noexcept {
  if (options.Contains(coPartialCompare)) {
    if (nk == 0) return 0;
    return std::search(val, val + nv, key, key + nk) != val + nv ? 0 : 1;
  }
  if (options.Contains(coPartialKey)) {
    if (nv < nk) return 1;
    return nk ? Sign(std::memcmp(key, val, nk)) : 0;
  }
  const std::size_t n = std::min(nk, nv);
  const int c = n ? std::memcmp(key, val, n) : 0;
  return c ? Sign(c) : Cmp(nk, nv);
}

// The first `chars` characters of 8-bit text (UTF-8 aware).
std::size_t PrefixBytes(std::string_view s, std::size_t chars, std::size_t& counted) noexcept {
  if (DefaultCodePage() != CP_UTF8) {
    counted = std::min(chars, s.size());
    return counted;
  }
  std::size_t pos = 0;
  counted = 0;
  while (counted < chars && pos < s.size()) {
    char32_t cp = 0;
    pos += DecodeUtf8Char(s.data() + pos, s.data() + s.size(), cp);
    ++counted;
  }
  return pos;
}

std::size_t CharCount(std::string_view s) noexcept {
  std::size_t counted = 0;
  PrefixBytes(s, s.size(), counted);
  return counted;
}

}  // namespace

void TMemData::SetSortDefaults(TSortColumn& column) {
  column.DescendingOrder = false;
  column.SortType = stCaseSensitive;
}

int TMemData::InternalAnsiStrComp(std::string_view s1, std::string_view s2, TCompareOptions options) {
  if (options.Contains(coOrdinalCompare)) {
    const std::size_t n = std::min(s1.size(), s2.size());
    const int c = n ? std::memcmp(s1.data(), s2.data(), n) : 0;
    return c ? Sign(c) : Cmp(s1.size(), s2.size());
  }
  return options.Contains(coCaseInsensitive) ? AnsiCompareText(s1, s2) : AnsiCompareStr(s1, s2);
}

int TMemData::InternalAnsiCompareText(std::string_view s1, std::string_view s2, TCompareOptions options) {
  return InternalAnsiStrComp(s1, s2, options);
}

int TMemData::InternalWStrComp(std::u16string_view s1, std::u16string_view s2, TCompareOptions options) {
  if (options.Contains(coOrdinalCompare)) {
    const int c = s1.compare(s2);
    return Sign(c);
  }
  return options.Contains(coCaseInsensitive) ? AnsiStrICompWS(s1, s2) : AnsiStrCompWS(s1, s2);
}

int TMemData::InternalWStrLComp(std::u16string_view s1, std::u16string_view s2, std::size_t len,
                                TCompareOptions options) {
  if (options.Contains(coOrdinalCompare)) return Sign(s1.substr(0, len).compare(s2.substr(0, len)));
  return options.Contains(coCaseInsensitive) ? AnsiStrLICompWS(s1, s2, len) : AnsiStrLCompWS(s1, s2, len);
}

int TMemData::CompareStrValues(std::string_view key, std::string_view value, TCompareOptions options) {
  if (options.Contains(coPartialCompare)) {
    if (options.Contains(coCaseInsensitive))
      return AnsiUpperCase(value).find(AnsiUpperCase(key)) != std::string::npos ? 0 : 1;
    return value.find(key) != std::string_view::npos ? 0 : 1;
  }
  if (options.Contains(coPartialKey) && !key.empty()) {
    const std::size_t chars = CharCount(key);
    std::size_t counted = 0;
    const std::size_t bytes = PrefixBytes(value, chars, counted);
    if (counted < chars) return 1;
    return InternalAnsiStrComp(key, value.substr(0, bytes), options);
  }
  return InternalAnsiStrComp(key, value, options);
}

int TMemData::CompareWideStrValues(std::u16string_view key, std::u16string_view value, TCompareOptions options) {
  if (options.Contains(coPartialCompare)) {
    if (options.Contains(coCaseInsensitive))
      return AnsiUpperCase(value).find(AnsiUpperCase(key)) != std::u16string::npos ? 0 : 1;
    return value.find(key) != std::u16string_view::npos ? 0 : 1;
  }
  if (options.Contains(coPartialKey) && !key.empty()) {
    if (value.size() < key.size()) return 1;
    return InternalWStrLComp(key, value, key.size(), options);
  }
  return InternalWStrComp(key, value, options);
}

namespace {

std::string FieldText(TData& data, const TFieldDesc& field, const void* recBuf, std::string_view ansi,
                      std::u16string_view wide) {
  const std::uint8_t* slot = static_cast<const std::uint8_t*>(recBuf) + field.Offset();
  switch (field.DataType()) {
    case dtString:
    case dtExtString:
    case dtGuid:
      return std::string(ansi);
    case dtWideString:
    case dtExtWideString:
      return UnicodeToAnsi(wide);
    case dtInt8:
    case dtInt16:
    case dtInt32:
    case dtInt64:
      return std::to_string(ReadNumber(field.DataType(), slot, false).I);
    case dtUInt8:
    case dtUInt16:
    case dtUInt32:
    case dtUInt64:
      return std::to_string(ReadNumber(field.DataType(), slot, false).U);
    case dtBoolean:
      return BoolToStr(ReadAs<std::int16_t>(slot) != 0);
    case dtFloat:
    case dtCurrency:
      return FloatToStr(ReadAs<double>(slot));
    case dtSingle:
      return SingleToStr(ReadAs<float>(slot));
    case dtDate:
      return DateToStr(MicrosToDateTime(ReadAs<std::int64_t>(slot)));
    case dtTime: {
      const auto v = ReadAs<std::int64_t>(slot);
      return TimeSpanMicrosToStr(IsTimeSpanMicros(v) ? v : TimeOfMicros(v));
    }
    case dtDateTime:
      return DateTimeToStr(MicrosToDateTime(ReadAs<std::int64_t>(slot)));
    case dtBCD:
      return CurrToStr(Currency::FromScaled(ReadAs<std::int64_t>(slot)));
    case dtFMTBCD:
      return BcdToStr(ReadAs<TBcd>(slot));
    case dtSQLTimeStamp:
      return SQLTimeStampToStr(ReadAs<TSQLTimeStamp>(slot));
    case dtBytes:
      return std::string(reinterpret_cast<const char*>(slot), field.Length());
    case dtVarBytes:
      return std::string(reinterpret_cast<const char*>(slot) + 2,
                         std::min<std::uint16_t>(ReadU16(slot), field.Length()));
    case dtExtVarBytes: {
      const void* p = nullptr;
      std::memcpy(&p, slot, sizeof p);
      return p ? std::string(static_cast<const char*>(p) + 2, ReadU16(p)) : std::string();
    }
    case dtMemo:
    case dtWideMemo:
    case dtBlob: {
      void* p = nullptr;
      std::memcpy(&p, slot, sizeof p);
      return BlobAnsiText(AsBlob(static_cast<TSharedObject*>(p)));
    }
    default:
      return VarToStr(data.GetFieldDataAsVariant(field, recBuf));
  }
}

}  // namespace

void TMemData::PrepareKey(const TFieldDesc& field, const void* recBuf, TKeyValue& key) {
  const std::uint8_t* slot = Slot(recBuf, field);
  key.Ptr = slot;
  key.Type = field.DataType();
  switch (field.DataType()) {
    case dtDate:
    case dtTime:
    case dtDateTime:
      key.Type = dtDateTime;
      break;
    case dtExtString: {
      static const char kEmpty = '\0';
      const void* p = ReadHandle(slot);
      key.Ptr = p ? p : &kEmpty;
      key.Type = dtString;
      break;
    }
    case dtExtWideString: {
      static const char16_t kEmpty = u'\0';
      const void* p = ReadHandle(slot);
      key.Ptr = p ? p : &kEmpty;
      key.Type = dtWideString;
      break;
    }
    case dtBytes:
      key.Bytes.resize(2 + field.Length());
      WriteU16(key.Bytes.data(), field.Length());
      std::memcpy(key.Bytes.data() + 2, slot, field.Length());
      key.Ptr = key.Bytes.data();
      break;
    case dtExtVarBytes: {
      static const std::uint8_t kEmpty[2] = {0, 0};
      const void* p = ReadHandle(slot);
      key.Ptr = p ? p : kEmpty;
      break;
    }
    case dtBCD:
      key.Number = static_cast<double>(ReadAs<std::int64_t>(slot)) / 10000.0;
      key.Ptr = &key.Number;
      break;
    case dtMemo:
    case dtWideMemo:
    case dtBlob:
      key.Text = BlobAnsiText(BlobOf(field, recBuf));
      key.Ptr = key.Text.c_str();
      key.Type = dtString;
      break;
    case dtVariant: {
      key.Bytes.clear();
      auto* obj = static_cast<TVariantObject*>(SharedAt(slot));
      static const Variant kNull = Variant::Null();
      key.Ptr = obj ? &obj->Value() : &kNull;
      break;
    }
    default:
      break;
  }
}

namespace {

int CompareVariants(TMemData& data, const Variant& a, const Variant& b, TCompareOptions options) {
  const std::uint16_t ta = a.VarType(), tb = b.VarType();
  // A lower type code sorts after a higher one.
  auto byType = [&]() { return ta == tb ? 0 : (ta < tb ? 1 : -1); };
  if (a.IsByteArray() || b.IsByteArray()) {
    const bool na = a.IsNullOrEmpty(), nb = b.IsNullOrEmpty();
    if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
    if (ta != tb) return byType();
    const Variant::Bytes* x = a.BytesPtr();
    const Variant::Bytes* y = b.BytesPtr();
    const std::size_t nx = x ? x->size() : 0, ny = y ? y->size() : 0;
    if (!options.Contains(coPartialKey) && !options.Contains(coPartialCompare) && nx != ny) return Cmp(nx, ny);
    return CompareBytes(nx ? x->data() : nullptr, nx, ny ? y->data() : nullptr, ny, options);
  }
  const bool numA = VarIsNumeric(a), numB = VarIsNumeric(b);
  if (ta == tb || (numA && numB)) {
    try {
      return VarCompare(a, b);
    } catch (const Exception&) {
      return byType();
    }
  }
  if (a.IsText() || b.IsText()) return data.CompareStrValues(VarToStr(a), VarToStr(b), options);
  return byType();
}

}  // namespace

int TMemData::CompareFieldValue(const void* value, std::uint16_t valueType, TCompareOptions options, const void* recBuf,
                                const TFieldDesc& field) {
  const std::uint16_t ft = field.DataType();
  const std::uint8_t* slot = Slot(recBuf, field);
  auto textOfField = [&]() {
    std::string_view ansi;
    std::u16string_view wide;
    if (ft == dtString || ft == dtExtString || ft == dtGuid) ansi = RawAnsiText(field, recBuf);
    if (IsWideStringFieldType(ft)) wide = RawWideText(field, recBuf);
    return FieldText(*this, field, recBuf, ansi, wide);
  };
  if (IsNumericType(valueType)) {
    if (valueType == dtBCD && ft == dtBCD) {
      const double k = ReadAs<double>(value) * 10000.0;
      if (std::isnan(k)) return 1;
      return CompareNumbers(TNum{TNum::nkFloat, 0, 0, std::round(k)},
                            TNum{TNum::nkSigned, ReadAs<std::int64_t>(slot), 0, 0});
    }
    if (IsNumericType(ft)) return CompareNumbers(ReadNumber(valueType, value, true), ReadNumber(ft, slot, false));
    if (ft == dtFMTBCD) {
      const TNum k = ReadNumber(valueType, value, true);
      return CompareNumbers(k, TNum{TNum::nkFloat, 0, 0, BcdToDouble(ReadAs<TBcd>(slot))});
    }
    const TNum k = ReadNumber(valueType, value, true);
    const std::string keyText = k.Kind == TNum::nkSigned     ? std::to_string(k.I)
                                : k.Kind == TNum::nkUnsigned ? std::to_string(k.U)
                                                             : FloatToStr(k.D);
    return CompareStrValues(keyText, textOfField(), options);
  }
  switch (valueType) {
    case dtFMTBCD: {
      const TBcd k = ReadAs<TBcd>(value);
      if (ft == dtFMTBCD) return BcdCompare(k, ReadAs<TBcd>(slot));
      if (IsNumericType(ft))
        return CompareNumbers(TNum{TNum::nkFloat, 0, 0, BcdToDouble(k)}, ReadNumber(ft, slot, false));
      return CompareStrValues(BcdToStr(k), textOfField(), options);
    }
    case dtSQLTimeStamp: {
      const TSQLTimeStamp k = ReadAs<TSQLTimeStamp>(value);
      if (ft == dtSQLTimeStamp) return CompareSQLTimeStamp(k, ReadAs<TSQLTimeStamp>(slot));
      return CompareStrValues(SQLTimeStampToStr(k), textOfField(), options);
    }
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes: {
      const auto* k = static_cast<const std::uint8_t*>(value);
      const std::size_t nk = ReadU16(k);
      const std::uint8_t* v = nullptr;
      std::size_t nv = 0;
      if (ft == dtBytes) {
        v = slot;
        nv = field.Length();
      } else if (ft == dtVarBytes) {
        v = slot + 2;
        nv = std::min<std::uint16_t>(ReadU16(slot), field.Length());
      } else if (ft == dtExtVarBytes) {
        const auto* p = static_cast<const std::uint8_t*>(ReadHandle(slot));
        if (p) {
          v = p + 2;
          nv = ReadU16(p);
        }
      } else {
        const std::string t = textOfField();
        return CompareBytes(k + 2, nk, reinterpret_cast<const std::uint8_t*>(t.data()), t.size(), options);
      }
      return CompareBytes(k + 2, nk, v, nv, options);
    }
    case dtVariant: {
      const Variant& k = *static_cast<const Variant*>(value);
      if (ft == dtVariant) {
        auto* obj = static_cast<TVariantObject*>(SharedAt(slot));
        return CompareVariants(*this, k, obj ? obj->Value() : Variant::Null(), options);
      }
      return CompareVariants(*this, k, GetFieldDataAsVariant(field, recBuf), options);
    }
    case dtWideString: {
      std::u16string_view key(static_cast<const char16_t*>(value), StrLenW(static_cast<const char16_t*>(value)));
      if (IsWideStringFieldType(ft)) {
        std::u16string_view v = RawWideText(field, recBuf);
        if (TrimsField(field)) {
          v = RTrim(v);
          key = RTrim(key);
        }
        return CompareWideStrValues(key, v, options);
      }
      const std::u16string v = AnsiToUnicode(textOfField());
      return CompareWideStrValues(key, v, options);
    }
    case dtString:
    case dtGuid: {
      std::string_view key(static_cast<const char*>(value));
      const bool partial = options.Contains(coPartialKey) || options.Contains(coPartialCompare);
      if ((ft == dtString || ft == dtExtString) && !partial && !TrimsField(field))
        return InternalAnsiStrComp(key, RawAnsiText(field, recBuf), options);
      std::string v = textOfField();
      if (IsStringFieldType(ft) || ft == dtGuid) {
        if (TrimsField(field)) {
          v.resize(RTrim(std::string_view(v)).size());
          key = RTrim(key);
        }
      }
      if (ft == dtBCD || ft == dtFMTBCD || ft == dtGuid) options.Include(coCaseInsensitive);
      return CompareStrValues(key, v, options);
    }
    default:
      AssertionFailure(__FILE__, __LINE__, Format("Unknown key type %d", {valueType}));
  }
}

int TMemData::CompareFields(const void* recBuf1, const void* recBuf2, const TSortColumn& column) {
  TCompareOptions options;
  if (column.SortType == stCaseInsensitive)
    options.Include(coCaseInsensitive);
  else if (column.SortType == stBinary)
    options.Include(coOrdinalCompare);
  return CompareFields(recBuf1, recBuf2, options, *column.FieldDesc);
}

int TMemData::CompareFields(const void* recBuf1, const void* recBuf2, TCompareOptions options,
                            const TFieldDesc& field) {
  const int fieldNo = field.FieldNo();
  const bool n1 = GetNull(fieldNo, const_cast<void*>(recBuf1));
  const bool n2 = GetNull(fieldNo, const_cast<void*>(recBuf2));
  if (n1 || n2) {
    if (n1 && n2) return 0;
    const int c = n1 ? -1 : 1;
    return options.Contains(coInvertNullOrder) ? -c : c;
  }
  TKeyValue key;
  PrepareKey(field, recBuf1, key);
  return CompareFieldValue(key.Ptr, key.Type, options, recBuf2, field);
}

bool TMemData::SortColumnsNeedCalc() const noexcept {
  for (const auto& c : FIndexFields)
    if (c && c->FieldDesc && c->FieldDesc->FieldDescKind() == fdkCalculated) return true;
  return false;
}

const void* TMemData::CalcBuffer(const void* recBuf, int which) {
  std::vector<std::uint8_t>& buf = FCalcBuf[which];
  buf.assign(static_cast<std::size_t>(FRecordSize + FCalcRecordSize), 0);
  std::memcpy(buf.data(), recBuf, static_cast<std::size_t>(FRecordSize));
  if (OnGetCachedBuffer) OnGetCachedBuffer(buf.data());
  return buf.data();
}

int TMemData::CompareRecords(const void* recBuf1, const void* recBuf2) {
  if (SortColumnsNeedCalc() && FCalcRecordSize > 0 && OnGetCachedBuffer) {
    recBuf1 = CalcBuffer(recBuf1, 0);
    recBuf2 = CalcBuffer(recBuf2, 1);
  }
  for (const auto& column : FIndexFields) {
    int c = CompareFields(recBuf1, recBuf2, *column);
    if (column->DescendingOrder) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

void TMemData::SetIndexFieldNames(const std::string& value) {
  TSortColumns columns;
  if (FFields.Count() > 0 || FPrepared || FActive)
    ParseIndexFieldNames(
        value, [this](const std::string& name) { return FFields.FindField(name); },
        [this](TSortColumn& c) { SetSortDefaults(c); }, columns);
  FIndexFieldNames = value;
  FIndexFields = std::move(columns);
  if (FIndexFields.Count() > 0 && FFirstItem) SortItems();
}

bool TMemData::SortByKeys(std::vector<TItemHeader*>& items, std::vector<std::uint32_t>& order) {
  const TSortColumn& c0 = *FIndexFields[0];
  const TFieldDesc& f = *c0.FieldDesc;
  const std::uint16_t t = f.DataType();
  const bool ansi = t == dtString || t == dtExtString || t == dtGuid;
  const bool wide = IsWideStringFieldType(t);
  if (!IsNumericType(t) && !ansi && !wide) return false;
  if (f.HasParent() || f.FieldDescKind() == fdkCalculated) return false;

  const int fieldNo = f.FieldNo();
  const bool trims = TrimsField(f);
  TKeySorter sorter(ansi || wide);
  sorter.Reserve(items.size());
  std::unique_ptr<TCollationKeyMaker> maker;
  if (ansi || wide) {
    TCollationKeyMaker::TMode mode = TCollationKeyMaker::kmCaseSensitive;
    if (c0.SortType == stBinary)
      mode = TCollationKeyMaker::kmBinary;
    else if (c0.SortType == stCaseInsensitive || t == dtGuid)
      mode = TCollationKeyMaker::kmCaseInsensitive;
    maker = std::make_unique<TCollationKeyMaker>(mode);
  }
  // The common fixed-width columns: one tight loop per type.
  auto addAll = [&](auto key) {
    for (std::uint32_t i = 0; i < items.size(); ++i) {
      const std::uint8_t* rec = TBlockManager::GetRecordPtr(items[i]);
      if (IsNullIndicator(fieldNo, rec))
        sorter.AddNull(i);
      else
        sorter.AddFixed(i, key(rec + f.Offset()));
    }
  };
  bool added = true;
  switch (t) {
    case dtInt32:
      addAll([](const std::uint8_t* p) { return OrderableInt64(ReadAs<std::int32_t>(p)); });
      break;
    case dtInt64:
      addAll([](const std::uint8_t* p) { return OrderableInt64(ReadAs<std::int64_t>(p)); });
      break;
    case dtFloat:
      addAll([](const std::uint8_t* p) { return OrderableDouble(ReadAs<double>(p)); });
      break;
    default:
      added = false;
      break;
  }
  for (std::uint32_t i = 0; !added && i < items.size(); ++i) {
    const std::uint8_t* rec = TBlockManager::GetRecordPtr(items[i]);
    if (IsNullIndicator(fieldNo, rec)) {
      sorter.AddNull(i);
      continue;
    }
    if (ansi) {
      std::string_view v = RawAnsiText(f, rec);
      if (trims) v = RTrim(v);
      sorter.AddText(i, maker->AppendAnsi(v, sorter.Arena()));
    } else if (wide) {
      std::u16string_view v = RawWideText(f, rec);
      if (trims) v = RTrim(v);
      sorter.AddText(i, maker->AppendWide(v, sorter.Arena()));
    } else if (t == dtBCD) {
      sorter.AddFixed(i, OrderableInt64(ReadAs<std::int64_t>(rec + f.Offset())));
    } else {
      const TNum n = ReadNumber(t, rec + f.Offset(), false);
      sorter.AddFixed(i, n.Kind == TNum::nkSigned     ? OrderableInt64(n.I)
                         : n.Kind == TNum::nkUnsigned ? n.U
                                                      : OrderableDouble(n.D));
    }
  }
  std::function<int(std::uint32_t, std::uint32_t)> tieBreak;
  if (FIndexFields.Count() > 1) {
    tieBreak = [&](std::uint32_t a, std::uint32_t b) {
      const void* ra = TBlockManager::GetRecordPtr(items[a]);
      const void* rb = TBlockManager::GetRecordPtr(items[b]);
      for (int k = 1; k < FIndexFields.Count(); ++k) {
        const TSortColumn& c = *FIndexFields[k];
        int r = CompareFields(ra, rb, c);
        if (c.DescendingOrder) r = -r;
        if (r != 0) return r;
      }
      return 0;
    };
  }
  order = sorter.Sort(c0.DescendingOrder, tieBreak);
  return true;
}

void TMemData::SortItems() {
  if (FIndexFields.Count() == 0) return;
  // The linked items, gathered block by block (in memory order, so that a
  // list already shuffled by an earlier sort costs no cache miss per item)
  // and put in the order they were made: equal keys keep that order.
  std::vector<TItemHeader*> items;
  items.reserve(static_cast<std::size_t>(std::max(FRecordCount, 0)));
  std::int32_t visibleCount = 0;
  bool inOrder = true;
  std::uint64_t lastSerial = 0;
  for (TBlockHeader* block = FBlockMan.LastBlock; block; block = block->Prev)
    for (std::uint32_t i = 0; i < block->ItemCount; ++i) {
      TItemHeader* item = FBlockMan.BlockItem(block, i);
      if (item->Flag != flUsed || !(item->Prev || item == FFirstItem)) continue;
      items.push_back(item);
      if (IsVisible(item)) ++visibleCount;
      if (item->Serial < lastSerial) inOrder = false;
      lastSerial = item->Serial;
    }
  if (!inOrder) {
    std::vector<std::pair<std::uint64_t, TItemHeader*>> made;
    made.reserve(items.size());
    for (TItemHeader* item : items) made.emplace_back(item->Serial, item);
    std::sort(made.begin(), made.end());
    for (std::size_t i = 0; i < made.size(); ++i) items[i] = made[i].second;
  }
  const std::size_t n = items.size();
  if (n < 2) {
    RenumberAll();
    return;
  }
  std::vector<std::uint32_t> order;
  if (!CanSortByKeys() || SortColumnsNeedCalc() || !SortByKeys(items, order)) {
    order.resize(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const int c = CompareItems(items[a], items[b]);
      return c != 0 ? c < 0 : a < b;
    });
  }
  // Record numbers by sorted position (the position itself when nothing is
  // hidden), then one pass over the items in their old order (usually their
  // order in memory) that relinks them.
  // Each item with its sorted position (one random access a position), and
  // the items in sorted order with a null at each end, so that an item's
  // two neighbours lie next to each other in memory.
  struct TSlot {
    TItemHeader* Item;
    std::uint32_t Pos;
  };
  std::vector<TSlot> slots(n);
  for (std::uint32_t i = 0; i < n; ++i) slots[i].Item = items[i];
  std::vector<TItemHeader*> sorted(n + 2, nullptr);
  // The random accesses are asked for a few steps ahead.
  constexpr std::uint32_t kAhead = 16;
  for (std::uint32_t pos = 0; pos < n; ++pos) {
    if (pos + kAhead < n) __builtin_prefetch(&slots[order[pos + kAhead]], 1);
    TSlot& slot = slots[order[pos]];
    slot.Pos = pos;
    sorted[pos + 1] = slot.Item;
  }
  std::vector<std::int32_t> numbers;
  if (static_cast<std::size_t>(visibleCount) < n) {
    numbers.resize(n);
    std::int32_t r = 0;
    for (std::uint32_t pos = 0; pos < n; ++pos)
      numbers[pos] = sorted[pos + 1]->FilterResult == fsNotOmitted ? ++r : 0;
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(&sorted[slots[i + kAhead].Pos]);
    TItemHeader* item = slots[i].Item;
    const std::uint32_t pos = slots[i].Pos;
    item->Prev = sorted[pos];
    item->Next = sorted[pos + 2];
    item->Order = numbers.empty() ? static_cast<std::int32_t>(pos) + 1 : numbers[pos];
  }
  FFirstItem = sorted[1];
  FLastItem = sorted[n];
  FRecordNoOffset = 0;
  FRecordCount = visibleCount;
  ClearRecordNoCache();
}

// ---- large objects ----------------------------------------------------------------------------

namespace {

TBlob* AsBlob(TSharedObject* obj) noexcept { return static_cast<TBlob*>(obj); }
TSharedObject* AsShared(TBlob* blob) noexcept { return blob; }

TSharedObject* NewBlobObject(bool unicode) {
  TSharedRef<TCompressedBlob> blob = NewShared<TCompressedBlob>(unicode);
  blob->EnableRollback();
  return blob.Detach();
}

bool BlobHasData(TBlob* blob) { return blob && blob->Size() > 0; }

void BlobClear(TBlob* blob) {
  if (blob) blob->Clear();
}

Variant BlobAsVariant(TBlob* blob, std::uint16_t type) {
  if (type == dtBlob) return blob ? Variant::FromBytes(blob->AsBytes()) : Variant::FromBytes(Variant::Bytes{});
  if (type == dtWideMemo) return Variant(blob ? blob->AsWideString() : std::u16string());
  return Variant(blob ? blob->AsAnsiString() : std::string());
}

void BlobAssign(TBlob* blob, std::uint16_t type, const Variant& value) {
  if (type == dtBlob)
    blob->SetAsBytes(value.AsBytes());
  else if (type == dtWideMemo)
    blob->SetAsWideString(value.AsWideString());
  else
    blob->SetAsAnsiString(value.AsString());
}

void BlobCommit(TBlob* blob) {
  if (blob) blob->Commit();
}

void BlobCancel(TBlob* blob) {
  if (blob && blob->CanRollback()) blob->Cancel();
}

bool BlobCanRollback(TBlob* blob) { return blob && blob->CanRollback(); }

TSharedObject* BlobCopy(TBlob* blob, bool fromRollback) {
  TSharedRef<TBlob> copy = blob->Clone(fromRollback, true);
  copy->EnableRollback();
  return copy.Detach();
}

void BlobTakeContent(TBlob* dest, TBlob* source) {
  dest->Commit();
  dest->SetData(TSharedRef<TKxBlobData>::Share(source->Data()));
}

std::string BlobAnsiText(TBlob* blob) { return blob ? blob->AsAnsiString() : std::string(); }

// Reads through the rollback copy for the lifetime of the object.
class TRollbackReader {
 public:
  TRollbackReader(TBlob* blob, bool fromRollback) : FBlob(blob), FOld(blob->UseRollback()) {
    if (fromRollback) blob->SetUseRollback(true);
  }
  ~TRollbackReader() { FBlob->SetUseRollback(FOld); }
  TRollbackReader(const TRollbackReader&) = delete;
  TRollbackReader& operator=(const TRollbackReader&) = delete;

 private:
  TBlob* FBlob;
  bool FOld;
};

// The content in the other text form, as bytes (UTF-16 code units little-endian).
std::string OtherForm(TBlob* blob) {
  if (blob->IsUnicode()) return blob->AsAnsiString();
  const std::u16string w = blob->AsWideString();
  return std::string(reinterpret_cast<const char*>(w.data()), 2 * w.size());
}

// Stores bytes given in the other text form.
void SetOtherForm(TBlob* blob, const std::string& bytes) {
  if (blob->IsUnicode()) {
    blob->SetAsAnsiString(bytes);
  } else {
    std::u16string w(bytes.size() / 2, u'\0');
    std::memcpy(w.data(), bytes.data(), 2 * w.size());
    blob->SetAsWideString(w);
  }
}

}  // namespace

std::int64_t TData::ReadBlob(int fieldNo, const void* recBuf, std::int64_t position, std::int64_t count, void* dest,
                             bool fromRollback, bool translateToUnicode) {
  TBlob* blob = CheckedBlob(fieldNo, recBuf);
  if (!blob) return 0;
  TRollbackReader reader(blob, fromRollback);
  if (translateToUnicode == blob->IsUnicode()) {
    const std::int64_t size = blob->Size();
    if (position < 0 || position >= size) return 0;
    const std::int64_t n = count > 0 ? std::min(count, size - position) : size - position;
    return blob->Read(position, n, dest, n);
  }
  const std::string bytes = OtherForm(blob);
  const auto size = static_cast<std::int64_t>(bytes.size());
  if (position < 0 || position >= size) return 0;
  const std::int64_t n = count > 0 ? std::min(count, size - position) : size - position;
  std::memcpy(dest, bytes.data() + position, static_cast<std::size_t>(n));
  return n;
}

void TData::WriteBlob(int fieldNo, void* recBuf, std::int64_t position, std::int64_t count, const void* source,
                      bool translateFromUnicode) {
  TBlob* blob = CheckedBlob(fieldNo, recBuf);
  if (!blob) {
    CreateComplexField(recBuf, fieldNo - 1, true);
    blob = CheckedBlob(fieldNo, recBuf);
  }
  blob->EnableRollback();
  if (translateFromUnicode == blob->IsUnicode()) {
    blob->Write(position, count, source);
  } else {
    std::string bytes = OtherForm(blob);
    const auto at =
        static_cast<std::size_t>(std::clamp<std::int64_t>(position, 0, static_cast<std::int64_t>(bytes.size())));
    const auto n = static_cast<std::size_t>(std::max<std::int64_t>(count, 0));
    if (bytes.size() < at + n) bytes.resize(at + n);
    std::memcpy(bytes.data() + at, source, n);
    SetOtherForm(blob, bytes);
  }
  SetNullIndicator(fieldNo, recBuf, false);
  SetEncryptBit(fieldNo, recBuf, true);
}

void TData::TruncateBlob(int fieldNo, void* recBuf, std::int64_t size, bool translateFromUnicode) {
  TBlob* blob = CheckedBlob(fieldNo, recBuf);
  if (!blob) return;
  blob->EnableRollback();
  if (translateFromUnicode == blob->IsUnicode()) {
    blob->Truncate(size);
    return;
  }
  std::string bytes = OtherForm(blob);
  if (static_cast<std::int64_t>(bytes.size()) > size) {
    bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
    SetOtherForm(blob, bytes);
  }
}

std::int64_t TData::GetBlobSize(int fieldNo, const void* recBuf, bool fromRollback, bool translateToUnicode) {
  TBlob* blob = CheckedBlob(fieldNo, recBuf);
  if (!blob) return 0;
  TRollbackReader reader(blob, fromRollback);
  if (translateToUnicode == blob->IsUnicode()) return blob->Size();
  return translateToUnicode ? blob->GetSizeUni() : blob->GetSizeAnsi();
}

void TData::SetBlobSize(int fieldNo, void* recBuf, std::int64_t size, bool, bool translateToUnicode) {
  TBlob* blob = CheckedBlob(fieldNo, recBuf);
  if (!blob) return;
  blob->EnableRollback();
  if (translateToUnicode == blob->IsUnicode()) {
    blob->SetSize(size);
    return;
  }
  std::string bytes = OtherForm(blob);
  bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
  SetOtherForm(blob, bytes);
}

}  // namespace lumo
