// Local sorting of the record store: the sort columns named by an
// IndexFieldNames list and its parser, and the key sort that orders a
// whole list of records at once from one precomputed key per record (an
// orderable 64-bit number, or a collation key from ICU for text).
//
// Decisions:
// - The key sort is stable: records with equal keys keep the order of
//   their indexes, so the same data always sorts the same way. Numbers are
//   ordered by a radix sort on their orderable 64-bit keys, text by a radix
//   sort on the first eight bytes of its collation key; only runs with
//   equal keys (equal first bytes) are compared further. Keys are added in
//   index order.
// - Collation keys are made by a collator configured exactly like the
//   comparisons of Collation.h (string sort, canonical equivalence, tertiary
//   strength for case-sensitive and secondary for case-insensitive text), so
//   key order and comparison order agree.
// - Floating-point keys put NaN after every number; -0 and +0 are equal.
// - A separator after the last IndexFieldNames entry is a format error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/data/MemTypes.h>
#include <lumokit/data/MemUtils.h>

namespace lumo {

class TSortColumn {
 public:
  TFieldDesc* FieldDesc = nullptr;
  bool DescendingOrder = false;
  TSortType SortType = stCaseSensitive;
};

class TSortColumns : public TDAObjectList<TSortColumn> {};

// Parses an IndexFieldNames list into `columns` (cleared first). Each entry
// is made by `defaults` and then changed by its modifiers. findField looks a
// name up (nullptr when unknown). Raises "Field %s not found" for an unknown
// name and "Invalid IndexFieldNames format!" for anything malformed; on
// failure `columns` is left empty.
void ParseIndexFieldNames(std::string_view text, const std::function<TFieldDesc*(const std::string&)>& findField,
                          const std::function<void(TSortColumn&)>& defaults, TSortColumns& columns);

// ---- key sort -------------------------------------------------------------------

// Orderable 64-bit forms: unsigned comparison of the results orders the
// values.
inline std::uint64_t OrderableInt64(std::int64_t v) noexcept {
  return static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63);
}
std::uint64_t OrderableDouble(double v) noexcept;

// Makes collation keys of text.
class TCollationKeyMaker {
 public:
  // Binary: the UTF-8 bytes / UTF-16 code units themselves in order.
  enum TMode { kmCaseSensitive, kmCaseInsensitive, kmBinary };
  explicit TCollationKeyMaker(TMode mode);
  ~TCollationKeyMaker();
  TCollationKeyMaker(const TCollationKeyMaker&) = delete;
  TCollationKeyMaker& operator=(const TCollationKeyMaker&) = delete;

  // Appends the key of 8-bit text (process code page) / UTF-16 text to
  // `arena` and returns the key's length.
  std::uint32_t AppendAnsi(std::string_view text, std::string& arena);
  std::uint32_t AppendWide(std::u16string_view text, std::string& arena);

 private:
  struct TImpl;
  TMode FMode;
  std::unique_ptr<TImpl> FImpl;
};

// Collects one key per record (identified by its index in list order) and
// produces the sorted order of the indexes.
class TKeySorter {
 public:
  explicit TKeySorter(bool textKeys) : FText(textKeys) {}

  void Reserve(std::size_t n);
  void AddNull(std::uint32_t index) { FNulls.push_back(index); }
  void AddFixed(std::uint32_t index, std::uint64_t key) { FFixed.push_back({key, index}); }
  // The key's bytes are the last `length` bytes appended to Arena().
  void AddText(std::uint32_t index, std::uint32_t length);
  std::string& Arena() noexcept { return FArena; }
  std::size_t Count() const noexcept { return FFixed.size() + FEntries.size() + FNulls.size(); }

  // Orders ascending (nulls first) or descending (nulls last); equal keys
  // are ordered by `tieBreak` when given (negative: a first), then by index.
  std::vector<std::uint32_t> Sort(bool descending,
                                  const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak = nullptr);

 private:
  struct TFixedEntry {
    std::uint64_t Key;
    std::uint32_t Index;
  };
  struct TEntry {
    std::uint64_t Key;  // the first eight key bytes big-endian
    std::uint64_t Offset;
    std::uint32_t Length;
    std::uint32_t Index;
  };
  int CompareKeys(const TEntry& a, const TEntry& b) const noexcept;
  std::vector<std::uint32_t> SortFixed(bool descending,
                                       const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak);
  static void SortEqualRuns(const std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& order,
                            std::size_t first, const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak,
                            bool wholeKeys = false);

  bool FText;
  std::vector<TFixedEntry> FFixed;
  std::vector<TEntry> FEntries;
  std::vector<std::uint32_t> FNulls;
  std::string FArena;
};

}  // namespace lumo
