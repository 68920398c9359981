#include <lumokit/data/KxTypes.h>

#include <algorithm>
#include <climits>

#include <lumokit/core/Format.h>

namespace lumo {

namespace {

[[noreturn]] void RaiseIndex(long long index) {
  throw EKeyedListError(Format("List index out of bounds (%d)", {index}));
}

}  // namespace

template <typename V>
std::size_t TKeyValueStringList<V>::Checked(int Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FItems.size()) RaiseIndex(Index);
  return static_cast<std::size_t>(Index);
}

template <typename V>
void TKeyValueStringList<V>::SetSorted(bool value) {
  if (value && !FSorted) Sort();
  FSorted = value;
}

template <typename V>
int TKeyValueStringList<V>::Add(std::string Key, V Value) {
  if (FItems.size() >= static_cast<std::size_t>(INT_MAX)) RaiseIndex(INT_MAX);
  int index = Count();
  if (FSorted) {
    if (Find(Key, index)) throw EKeyedListError("String \"" + Key + "\" is already in the list.");
  }
  FItems.insert(FItems.begin() + index, Item{std::move(Key), std::move(Value)});
  return index;
}

template <typename V>
void TKeyValueStringList<V>::Insert(int Index, std::string Key, V Value) {
  if (FSorted) throw EKeyedListError("Operation not allowed on sorted list");
  if (Index < 0 || Index > Count()) RaiseIndex(Index);
  if (FItems.size() >= static_cast<std::size_t>(INT_MAX)) RaiseIndex(INT_MAX);
  FItems.insert(FItems.begin() + Index, Item{std::move(Key), std::move(Value)});
}

template <typename V>
void TKeyValueStringList<V>::Delete(int Index) {
  FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(Checked(Index)));
}

template <typename V>
void TKeyValueStringList<V>::Assign(const TKeyValueStringList& Source) {
  if (&Source == this) return;
  Clear();
  for (const Item& item : Source.FItems) Add(item.Key, item.Value);
}

template <typename V>
void TKeyValueStringList<V>::Sort() {
  std::stable_sort(FItems.begin(), FItems.end(), [](const Item& a, const Item& b) { return a.Key < b.Key; });
  FSorted = true;
}

template <typename V>
bool TKeyValueStringList<V>::Find(std::string_view Key, int& Index) const {
  auto it = std::lower_bound(FItems.begin(), FItems.end(), Key,
                             [](const Item& item, std::string_view key) { return std::string_view(item.Key) < key; });
  Index = static_cast<int>(it - FItems.begin());
  return it != FItems.end() && it->Key == Key;
}

template <typename V>
int TKeyValueStringList<V>::IndexOf(std::string_view Key) const {
  if (FSorted) {
    int index;
    return Find(Key, index) ? index : -1;
  }
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].Key == Key) return static_cast<int>(i);
  return -1;
}

template class TKeyValueStringList<std::int32_t>;
template class TKeyValueStringList<std::string>;

}  // namespace lumo
