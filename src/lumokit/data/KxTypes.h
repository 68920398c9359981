// Keyed string lists: small ordered maps from string keys to integers or
// strings, with a sorted mode that keeps keys unique and found by binary
// search, and an unsorted mode that keeps insertion order and duplicates.
// Keys compare ordinally (byte-wise) and case-sensitively.
//
// Decisions: indexes are signed 32-bit with -1 for "not found", as callers
// expect; an index out of range raises EKeyedListError "List index out of
// bounds (%d)"; Insert on a sorted list raises "Operation not allowed on
// sorted list" (it would break the order Find relies on). Find on an
// unsorted list is a binary search over unordered keys and means nothing;
// use IndexOf there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

class EKeyedListError : public Exception {
 public:
  using Exception::Exception;
};

template <typename V>
class TKeyValueStringList {
 public:
  struct Item {
    std::string Key;
    V Value;
  };

  bool Sorted() const noexcept { return FSorted; }
  // Turning the flag on sorts the list.
  void SetSorted(bool value);

  // Sorted: inserts at the ordered position, raising on an equal key.
  // Unsorted: appends. Returns the index of the new item.
  int Add(std::string Key, V Value);
  void Insert(int Index, std::string Key, V Value);
  void Delete(int Index);
  void Clear() noexcept { FItems.clear(); }
  // Clears, then adds every item of Source in order (this list's Sorted
  // flag is kept).
  void Assign(const TKeyValueStringList& Source);
  // Stable sort by key; sets Sorted.
  void Sort();
  // Binary search: on a hit Index is the first item with that key, on a miss
  // the position where the key would be inserted.
  bool Find(std::string_view Key, int& Index) const;
  // Binary search when sorted, else a linear scan; -1 when absent.
  int IndexOf(std::string_view Key) const;

  const std::string& Keys(int Index) const { return FItems[Checked(Index)].Key; }
  const V& Values(int Index) const { return FItems[Checked(Index)].Value; }
  void SetValue(int Index, V Value) { FItems[Checked(Index)].Value = std::move(Value); }
  int Count() const noexcept { return static_cast<int>(FItems.size()); }

 private:
  std::size_t Checked(int Index) const;

  std::vector<Item> FItems;
  bool FSorted = false;
};

extern template class TKeyValueStringList<std::int32_t>;
extern template class TKeyValueStringList<std::string>;

using TIntValueStringList = TKeyValueStringList<std::int32_t>;
using TStrValueStringList = TKeyValueStringList<std::string>;

}  // namespace lumo
