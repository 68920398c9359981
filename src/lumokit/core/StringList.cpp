#include <lumokit/core/StringList.h>

#include <algorithm>
#include <numeric>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>

namespace lumo {

namespace {

constexpr std::string_view Utf8BOM = "\xEF\xBB\xBF";

int CompareBytes(std::string_view a, std::string_view b, bool caseSensitive) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if (!caseSensitive) {
      ca = AsciiLower(ca);
      cb = AsciiLower(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string JoinDelimited(const TStrings& list, char delimiter, char quote) {
  std::string result;
  const int n = list.Count();
  for (int i = 0; i < n; ++i) {
    const std::string& s = list[i];
    if (i > 0) result += delimiter;
    bool needQuote = s.empty();
    for (char c : s) {
      if (IsBlank(c) || c == delimiter || c == quote) {
        needQuote = true;
        break;
      }
    }
    if (!needQuote || quote == '\0') {
      result += s;
      continue;
    }
    result += quote;
    for (char c : s) {
      if (c == quote) result += quote;
      result += c;
    }
    result += quote;
  }
  return result;
}

std::vector<std::string> SplitDelimited(std::string_view text, char delimiter, char quote, bool strict) {
  std::vector<std::string> items;
  const std::size_t n = text.size();
  std::size_t i = 0;
  auto skipBlanks = [&] {
    if (!strict)
      while (i < n && IsBlank(text[i])) ++i;
  };
  skipBlanks();
  while (i < n) {
    std::string item;
    while (i < n) {
      char c = text[i];
      if (quote != '\0' && c == quote) {
        // A quoted run; a doubled quote stands for one. An unterminated run
        // takes the rest of the text.
        ++i;
        while (i < n) {
          if (text[i] == quote) {
            if (i + 1 < n && text[i + 1] == quote) {
              item += quote;
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          item += text[i++];
        }
        continue;
      }
      if (c == delimiter || (!strict && IsBlank(c))) break;
      item += c;
      ++i;
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (i < n && text[i] == delimiter) {
      ++i;
      skipBlanks();
      // A delimiter at the very end introduces one last, empty item.
      if (i == n) items.emplace_back();
    }
  }
  return items;
}

}  // namespace

// ---------------------------------------------------------------- TStrings

void TStrings::ListIndexError(int index) { throw EStringListError(Format("List index out of bounds (%d)", {index})); }

int TStrings::AddObject(std::string s, std::any object) {
  int index = Count();
  InsertObject(index, std::move(s), std::move(object));
  return index;
}

void TStrings::Exchange(int index1, int index2) {
  if (index1 == index2) return;
  BeginUpdate();
  try {
    std::string s1 = Get(index1);
    std::any o1 = GetObject(index1);
    Put(index1, Get(index2));
    PutObject(index1, GetObject(index2));
    Put(index2, std::move(s1));
    PutObject(index2, std::move(o1));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::Move(int curIndex, int newIndex) {
  if (curIndex == newIndex) return;
  if (newIndex < 0 || newIndex >= Count()) ListIndexError(newIndex);
  BeginUpdate();
  try {
    std::string s = Get(curIndex);
    std::any o = GetObject(curIndex);
    Delete(curIndex);
    InsertObject(newIndex, std::move(s), std::move(o));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStrings::IndexOf(std::string_view s) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (CompareStrings(Get(i), s) == 0) return i;
  return -1;
}

int TStrings::CompareStrings(std::string_view a, std::string_view b) const { return CompareBytes(a, b, false); }

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> result;
  const int n = Count();
  result.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) result.push_back(Get(i));
  return result;
}

std::string TStrings::Text() const {
  std::string result;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    result += Get(i);
    result += FLineBreak;
  }
  return result;
}

void TStrings::SetText(std::string_view text) {
  std::vector<std::string> lines;
  const std::size_t n = text.size();
  std::size_t start = 0;
  for (std::size_t i = 0; i < n;) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < n) lines.emplace_back(text.substr(start));
  ReplaceLines(std::move(lines));
}

std::string TStrings::CommaText() const { return JoinDelimited(*this, ',', '"'); }

void TStrings::SetCommaText(std::string_view text) { ReplaceLines(SplitDelimited(text, ',', '"', false)); }

std::string TStrings::DelimitedText() const { return JoinDelimited(*this, FDelimiter, FQuoteChar); }

void TStrings::SetDelimitedText(std::string_view text) {
  ReplaceLines(SplitDelimited(text, FDelimiter, FQuoteChar, FStrictDelimiter));
}

std::string TStrings::Names(int index) const {
  const std::string& s = Get(index);
  auto p = s.find(FNameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStrings::ValueFromIndex(int index) const {
  const std::string& s = Get(index);
  auto p = s.find(FNameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

void TStrings::SetValueFromIndex(int index, std::string_view value) {
  std::string name = Names(index);
  if (value.empty()) {
    Delete(index);
    return;
  }
  std::string line = name;
  line += FNameValueSeparator;
  line += value;
  PutKeepingOrder(index, std::move(line));
}

int TStrings::IndexOfName(std::string_view name) const {
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    std::string_view s = Get(i);
    auto p = s.find(FNameValueSeparator);
    if (p != std::string_view::npos && CompareStrings(s.substr(0, p), name) == 0) return i;
  }
  return -1;
}

std::string TStrings::Values(std::string_view name) const {
  int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStrings::SetValues(std::string_view name, std::string_view value) {
  int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  std::string line(name);
  line += FNameValueSeparator;
  line += value;
  if (index < 0) {
    Add(std::move(line));
    return;
  }
  PutKeepingOrder(index, std::move(line));
}

void TStrings::PutKeepingOrder(int index, std::string s) { Put(index, std::move(s)); }

void TStrings::ReplaceLines(std::vector<std::string> lines) {
  const int n = Count();
  if (n == static_cast<int>(lines.size())) {
    bool same = true;
    for (int i = 0; i < n && same; ++i) same = Get(i) == lines[static_cast<std::size_t>(i)] && !GetObject(i).has_value();
    if (same) return;
  }
  BeginUpdate();
  try {
    Clear();
    for (auto& line : lines) Add(std::move(line));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  const int n = source.Count();
  bool hasObjects = false;
  for (int i = 0; i < n && !hasObjects; ++i) hasObjects = source.GetObject(i).has_value();
  if (!hasObjects) {
    ReplaceLines(source.ToVector());
    return;
  }
  BeginUpdate();
  try {
    Clear();
    for (int i = 0; i < n; ++i) AddObject(source.Get(i), source.GetObject(i));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::Assign(const std::vector<std::string>& lines) { ReplaceLines(lines); }

void TStrings::AddStrings(const TStrings& source) {
  const int n = source.Count();
  if (n == 0) return;
  std::vector<std::pair<std::string, std::any>> items;
  items.reserve(static_cast<std::size_t>(n));
  // Copied first: `source` may be this list.
  for (int i = 0; i < n; ++i) items.emplace_back(source.Get(i), source.GetObject(i));
  BeginUpdate();
  try {
    for (auto& item : items) AddObject(std::move(item.first), std::move(item.second));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::AddStrings(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  BeginUpdate();
  try {
    for (const auto& line : lines) Add(line);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

bool TStrings::Equals(const TStrings& other) const {
  const int n = Count();
  if (n != other.Count()) return false;
  for (int i = 0; i < n; ++i)
    if (Get(i) != other.Get(i)) return false;
  return true;
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  LUMO_ASSERT(FUpdateCount > 0);
  if (--FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::SetUpdateState(bool) {}

void TStrings::LoadFromStream(TStream& stream) {
  std::string bytes = stream.ReadToEnd();
  std::string_view text = bytes;
  if (text.substr(0, Utf8BOM.size()) == Utf8BOM) text.remove_prefix(Utf8BOM.size());
  SetText(text);
}

void TStrings::SaveToStream(TStream& stream) const {
  if (FWriteBOM) stream.WriteBuffer(Utf8BOM);
  stream.WriteBuffer(Text());
}

void TStrings::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TStrings::SaveToFile(const std::string& fileName) const {
  ReplaceFile(fileName, [this](TStream& stream) { SaveToStream(stream); });
}

// ------------------------------------------------------------- TStringList

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
}

void TStringList::CheckNotSorted() const {
  if (FSorted) throw EStringListError("Operation not allowed on sorted list");
}

const std::string& TStringList::Get(int index) const {
  CheckIndex(index);
  return FList[static_cast<std::size_t>(index)].FString;
}

void TStringList::Put(int index, std::string s) {
  CheckIndex(index);
  CheckNotSorted();
  auto& item = FList[static_cast<std::size_t>(index)];
  if (item.FString == s) return;
  Changing();
  item.FString = std::move(s);
  Changed();
}

const std::any& TStringList::GetObject(int index) const {
  CheckIndex(index);
  return FList[static_cast<std::size_t>(index)].FObject;
}

void TStringList::PutObject(int index, std::any object) {
  CheckIndex(index);
  auto& item = FList[static_cast<std::size_t>(index)];
  if (!item.FObject.has_value() && !object.has_value()) return;
  Changing();
  item.FObject = std::move(object);
  Changed();
}

void TStringList::InsertObject(int index, std::string s, std::any object) {
  CheckNotSorted();
  if (index < 0 || index > Count()) ListIndexError(index);
  Changing();
  FList.insert(FList.begin() + index, TStringItem{std::move(s), std::move(object)});
  Changed();
}

int TStringList::AddObject(std::string s, std::any object) {
  int index = Count();
  if (FSorted) {
    if (Find(s, index)) {
      switch (FDuplicates) {
        case TDuplicates::dupIgnore: return index;
        case TDuplicates::dupError: throw EStringListError("String list does not allow duplicates");
        case TDuplicates::dupAccept: break;
      }
      // Equal lines keep the order in which they were added.
      while (index < Count() && CompareStrings(FList[static_cast<std::size_t>(index)].FString, s) == 0) ++index;
    }
  }
  Changing();
  FList.insert(FList.begin() + index, TStringItem{std::move(s), std::move(object)});
  Changed();
  return index;
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  Changing();
  FList.erase(FList.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (FList.empty()) return;
  Changing();
  FList.clear();
  Changed();
}

void TStringList::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  CheckNotSorted();
  if (index1 == index2) return;
  Changing();
  std::swap(FList[static_cast<std::size_t>(index1)], FList[static_cast<std::size_t>(index2)]);
  Changed();
}

void TStringList::Move(int curIndex, int newIndex) {
  CheckIndex(curIndex);
  CheckIndex(newIndex);
  CheckNotSorted();
  if (curIndex == newIndex) return;
  Changing();
  auto first = FList.begin();
  if (curIndex < newIndex)
    std::rotate(first + curIndex, first + curIndex + 1, first + newIndex + 1);
  else
    std::rotate(first + newIndex, first + curIndex, first + curIndex + 1);
  Changed();
}

void TStringList::PutKeepingOrder(int index, std::string s) {
  if (!FSorted) {
    Put(index, std::move(s));
    return;
  }
  CheckIndex(index);
  if (FList[static_cast<std::size_t>(index)].FString == s) return;
  // The line's place may change with its text.
  BeginUpdate();
  try {
    std::any object = FList[static_cast<std::size_t>(index)].FObject;
    Delete(index);
    AddObject(std::move(s), std::move(object));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStringList::IndexOf(std::string_view s) const {
  if (!FSorted) return TStrings::IndexOf(s);
  int index;
  return Find(s, index) ? index : -1;
}

int TStringList::CompareStrings(std::string_view a, std::string_view b) const {
  return CompareBytes(a, b, FCaseSensitive);
}

bool TStringList::Find(std::string_view s, int& index) const {
  if (!FSorted) {
    index = TStrings::IndexOf(s);
    if (index >= 0) return true;
    index = Count();
    return false;
  }
  // Lower bound: the first line not ordered before `s`.
  int lo = 0;
  int hi = Count();
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (CompareStrings(FList[static_cast<std::size_t>(mid)].FString, s) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  index = lo;
  return lo < Count() && CompareStrings(FList[static_cast<std::size_t>(lo)].FString, s) == 0;
}

void TStringList::SortPositions(const std::function<bool(int, int)>& less) {
  const int n = Count();
  if (n < 2) return;
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), less);
  bool moved = false;
  for (int i = 0; i < n && !moved; ++i) moved = order[static_cast<std::size_t>(i)] != i;
  if (!moved) return;
  Changing();
  std::vector<TStringItem> sorted;
  sorted.reserve(FList.size());
  for (int i : order) sorted.push_back(std::move(FList[static_cast<std::size_t>(i)]));
  FList = std::move(sorted);
  Changed();
}

void TStringList::Sort() {
  SortPositions([this](int a, int b) {
    return CompareStrings(FList[static_cast<std::size_t>(a)].FString, FList[static_cast<std::size_t>(b)].FString) < 0;
  });
}

void TStringList::CustomSort(const std::function<int(const TStringList&, int, int)>& compare) {
  CheckNotSorted();
  SortPositions([this, &compare](int a, int b) { return compare(*this, a, b) < 0; });
}

void TStringList::SetSorted(bool value) {
  if (value == FSorted) return;
  if (value) Sort();
  FSorted = value;
}

void TStringList::SetCaseSensitive(bool value) {
  if (value == FCaseSensitive) return;
  FCaseSensitive = value;
  if (FSorted) Sort();
}

void TStringList::Changing() {
  if (UpdateCount() == 0) {
    if (FOnChanging) FOnChanging(*this);
  } else if (!FChangingSent) {
    if (FOnChanging) FOnChanging(*this);
    FChangingSent = true;
  }
}

void TStringList::Changed() {
  if (UpdateCount() == 0) {
    if (FOnChange) FOnChange(*this);
  } else {
    FChangePending = true;
  }
}

void TStringList::SetUpdateState(bool updating) {
  bool fire = !updating && FChangePending;
  FChangingSent = false;
  FChangePending = false;
  if (fire && FOnChange) FOnChange(*this);
}

}  // namespace lumo
