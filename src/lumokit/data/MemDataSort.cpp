#include <lumokit/data/MemDataSort.h>

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/data/MemDataFilter.h>

namespace lumo {

// ---- IndexFieldNames ----------------------------------------------------------------

namespace {

[[noreturn]] void InvalidFormat() { throw Exception("Invalid IndexFieldNames format!"); }

}  // namespace

void ParseIndexFieldNames(std::string_view text, const std::function<TFieldDesc*(const std::string&)>& findField,
                          const std::function<void(TSortColumn&)>& defaults, TSortColumns& columns) {
  columns.Clear();
  try {
    TBoolParser lexer(text);
    int code = lexer.Next();
    if (code == TBoolParser::lcEnd) return;
    for (;;) {
      TFieldDesc* field = nullptr;
      std::string name;
      switch (code) {
        case TBoolParser::lcIdent:
        case TBoolParser::lxAND:
        case TBoolParser::lxFALSE:
        case TBoolParser::lxIS:
        case TBoolParser::lxLIKE:
        case TBoolParser::lxNOT:
        case TBoolParser::lxNULL:
        case TBoolParser::lxOR:
        case TBoolParser::lxTRUE:
          name = lexer.Text();
          while ((code = lexer.Next()) == TBoolParser::lxDot) {
            if (lexer.Next() != TBoolParser::lcIdent) InvalidFormat();
            name += '.';
            name += lexer.Text();
          }
          field = findField(name);
          break;
        case TBoolParser::lcNumber:
          name = lexer.Text();
          field = findField(name);
          code = lexer.Next();
          break;
        case TBoolParser::lcString:
        case TBoolParser::lcQuotedName:
          name = lexer.Text();
          field = findField(std::string(lexer.Raw()));
          if (!field) field = findField(name);
          code = lexer.Next();
          break;
        case TBoolParser::lxLeftBracket:
          if (!lexer.ReadBracketed(name)) InvalidFormat();
          field = findField(name);
          code = lexer.Next();
          break;
        default:
          InvalidFormat();
      }
      if (!field) throw Exception(Format("Field %s not found", {name}));
      auto column = std::make_unique<TSortColumn>();
      column->FieldDesc = field;
      if (defaults) defaults(*column);
      bool haveOrder = false, haveType = false;
      while (code == TBoolParser::lcIdent) {
        const std::string& word = lexer.Text();
        if (SameTextAscii(word, "ASC") || SameTextAscii(word, "DESC")) {
          if (haveOrder) InvalidFormat();
          haveOrder = true;
          column->DescendingOrder = SameTextAscii(word, "DESC");
        } else if (SameTextAscii(word, "CIS") || SameTextAscii(word, "CS") || SameTextAscii(word, "BIN")) {
          if (haveType) InvalidFormat();
          haveType = true;
          column->SortType = SameTextAscii(word, "CIS")  ? stCaseInsensitive
                             : SameTextAscii(word, "CS") ? stCaseSensitive
                                                    : stBinary;
        } else {
          InvalidFormat();
        }
        code = lexer.Next();
      }
      columns.Add(std::move(column));
      if (code == TBoolParser::lcEnd) return;
      if (code != TBoolParser::lxSemicolon && code != TBoolParser::lxComma) InvalidFormat();
      code = lexer.Next();
    }
  } catch (...) {
    columns.Clear();
    throw;
  }
}

// ---- orderable keys -----------------------------------------------------------------

std::uint64_t OrderableDouble(double v) noexcept {
  if (std::isnan(v)) return std::numeric_limits<std::uint64_t>::max();
  if (v == 0) v = 0;  // -0 and +0 alike
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & (std::uint64_t{1} << 63)) ? ~bits : bits | (std::uint64_t{1} << 63);
}

// ---- collation keys -----------------------------------------------------------------

struct TCollationKeyMaker::TImpl {
  std::unique_ptr<icu::Collator> Collator;
  std::u16string Wide;
  std::string Key;
};

TCollationKeyMaker::TCollationKeyMaker(TMode mode) : FMode(mode) {
  if (mode == kmBinary) return;
  const std::string locale = CollationLocale();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale(locale.c_str()), status));
  if (U_FAILURE(status) || !c)
    throw Exception(Format("Cannot create a collator for locale \"%s\": %s", {locale, u_errorName(status)}));
  c->setAttribute(UCOL_STRENGTH, mode == kmCaseInsensitive ? UCOL_SECONDARY : UCOL_TERTIARY, status);
  c->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);
  c->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
  if (U_FAILURE(status))
    throw Exception(Format("Cannot configure the collator for locale \"%s\": %s", {locale, u_errorName(status)}));
  FImpl = std::make_unique<TImpl>();
  FImpl->Collator = std::move(c);
}

TCollationKeyMaker::~TCollationKeyMaker() = default;

std::uint32_t TCollationKeyMaker::AppendAnsi(std::string_view text, std::string& arena) {
  if (FMode == kmBinary) {
    arena.append(text);
    return static_cast<std::uint32_t>(text.size());
  }
  FImpl->Wide = DefaultCodePage() == CP_UTF8 ? Utf8ToUtf16(text) : AnsiToUnicode(text);
  return AppendWide(FImpl->Wide, arena);
}

std::uint32_t TCollationKeyMaker::AppendWide(std::u16string_view text, std::string& arena) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) throw EArgumentError("Text too long for comparison");
  if (FMode == kmBinary) {
    // Code units big-endian, so that byte order is code-unit order.
    const std::size_t start = arena.size();
    arena.resize(start + 2 * text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      arena[start + 2 * i] = static_cast<char>(text[i] >> 8);
      arena[start + 2 * i + 1] = static_cast<char>(text[i] & 0xFF);
    }
    return static_cast<std::uint32_t>(2 * text.size());
  }
  std::string& key = FImpl->Key;
  if (key.size() < 64) key.resize(64);
  const auto len = static_cast<int32_t>(text.size());
  int32_t n = FImpl->Collator->getSortKey(text.data(), len, reinterpret_cast<uint8_t*>(key.data()),
                                          static_cast<int32_t>(key.size()));
  if (n > static_cast<int32_t>(key.size())) {
    key.resize(static_cast<std::size_t>(n));
    n = FImpl->Collator->getSortKey(text.data(), len, reinterpret_cast<uint8_t*>(key.data()),
                                    static_cast<int32_t>(key.size()));
  }
  if (n <= 0) throw Exception("Text comparison failed");
  // The key ends with a zero byte that no other key byte equals; it is kept
  // so that a key never ends where a longer one goes on.
  arena.append(key.data(), static_cast<std::size_t>(n));
  return static_cast<std::uint32_t>(n);
}

// ---- key sorter ---------------------------------------------------------------------

void TKeySorter::Reserve(std::size_t n) {
  if (FText) {
    FEntries.reserve(n);
    FArena.reserve(n * 32);
  } else {
    FFixed.reserve(n);
  }
}

void TKeySorter::AddText(std::uint32_t index, std::uint32_t length) {
  const std::uint64_t offset = FArena.size() - length;
  std::uint64_t prefix = 0;
  const std::uint32_t take = std::min<std::uint32_t>(length, 8);
  for (std::uint32_t i = 0; i < take; ++i)
    prefix |= std::uint64_t{static_cast<unsigned char>(FArena[offset + i])} << (56 - 8 * i);
  FEntries.push_back({prefix, offset, length, index});
}

int TKeySorter::CompareKeys(const TEntry& a, const TEntry& b) const noexcept {
  if (a.Key != b.Key) return a.Key < b.Key ? -1 : 1;
  if (!FText) return 0;
  // Equal first eight bytes: compare the rest.
  const std::uint32_t skip = 8;
  const std::uint32_t la = a.Length > skip ? a.Length - skip : 0;
  const std::uint32_t lb = b.Length > skip ? b.Length - skip : 0;
  const std::uint32_t n = std::min(la, lb);
  if (n > 0) {
    const int c = std::memcmp(FArena.data() + a.Offset + skip, FArena.data() + b.Offset + skip, n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (a.Length != b.Length) return a.Length < b.Length ? -1 : 1;
  return 0;
}

namespace {

// Stable LSD radix sort on the 64-bit keys; passes whose byte is the same
// in every key are skipped.
template <typename Entry>
void RadixSort(std::vector<Entry>& entries) {
  std::vector<Entry> scratch(entries.size());
  for (int shift = 0; shift < 64; shift += 8) {
    std::size_t count[257] = {};
    for (const Entry& e : entries) ++count[((e.Key >> shift) & 0xFF) + 1];
    if (std::find(std::begin(count) + 1, std::end(count), entries.size()) != std::end(count)) continue;
    for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
    for (const Entry& e : entries) scratch[count[(e.Key >> shift) & 0xFF]++] = e;
    entries.swap(scratch);
  }
}

// Stable LSD radix sort of (key << 32 | index) values on their upper 32
// bits, eleven bits a pass; passes whose digit is the same everywhere are
// skipped. Half the memory traffic of 16-byte entries.
void RadixSortPacked(std::vector<std::uint64_t>& packed) {
  constexpr int kBits = 11;
  constexpr int kPasses = 3;  // 33 bits cover the 32-bit keys
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  // Every pass's histogram from one read of the values.
  std::vector<std::uint32_t> count(kPasses * (kBuckets + 1));
  for (std::uint64_t v : packed)
    for (int p = 0; p < kPasses; ++p) ++count[p * (kBuckets + 1) + ((v >> (32 + p * kBits)) & (kBuckets - 1)) + 1];
  std::vector<std::uint64_t> scratch;
  for (int p = 0; p < kPasses; ++p) {
    std::uint32_t* c = count.data() + p * (kBuckets + 1);
    if (std::find(c + 1, c + kBuckets + 1, packed.size()) != c + kBuckets + 1) continue;
    for (std::size_t b = 0; b < kBuckets; ++b) c[b + 1] += c[b];
    if (scratch.empty()) scratch.resize(packed.size());
    const int shift = 32 + p * kBits;
    for (std::uint64_t v : packed) scratch[c[(v >> shift) & (kBuckets - 1)]++] = v;
    packed.swap(scratch);
  }
}

}  // namespace

std::vector<std::uint32_t> TKeySorter::Sort(bool descending,
                                            const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak) {
  std::sort(FNulls.begin(), FNulls.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int c = tieBreak ? tieBreak(a, b) : 0;
    return c != 0 ? c < 0 : a < b;
  });
  if (!FText) return SortFixed(descending, tieBreak);
  // Text: radix on the first key bytes (complemented for descending order;
  // the sort is stable, so equal prefixes stay in index order), then the
  // runs with equal prefixes by the rest of the key and the tie-breaker.
  if (descending)
    for (TEntry& e : FEntries) e.Key = ~e.Key;
  RadixSort(FEntries);
  if (descending)
    for (TEntry& e : FEntries) e.Key = ~e.Key;
  auto less = [&](const TEntry& a, const TEntry& b) {
    int c = CompareKeys(a, b);
    if (descending) c = -c;
    if (c == 0 && tieBreak) c = tieBreak(a.Index, b.Index);
    return c != 0 ? c < 0 : a.Index < b.Index;
  };
  for (std::size_t i = 0; i < FEntries.size();) {
    std::size_t j = i + 1;
    while (j < FEntries.size() && FEntries[j].Key == FEntries[i].Key) ++j;
    if (j - i > 1)
      std::sort(FEntries.begin() + static_cast<std::ptrdiff_t>(i), FEntries.begin() + static_cast<std::ptrdiff_t>(j),
                less);
    i = j;
  }
  std::vector<std::uint32_t> order;
  order.reserve(FEntries.size() + FNulls.size());
  if (!descending) order.insert(order.end(), FNulls.begin(), FNulls.end());
  for (const TEntry& e : FEntries) order.push_back(e.Index);
  if (descending) order.insert(order.end(), FNulls.begin(), FNulls.end());
  return order;
}

std::vector<std::uint32_t> TKeySorter::SortFixed(bool descending,
                                                 const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak) {
  std::vector<std::uint32_t> order;
  order.reserve(FFixed.size() + FNulls.size());
  if (!descending) order.insert(order.end(), FNulls.begin(), FNulls.end());
  const std::size_t first = order.size();
  // Keys whose spread fits 32 bits (every 32-bit column, and most others)
  // are sorted as (key - lowest) << 32 | index: equal keys keep index order.
  std::uint64_t lowest = UINT64_MAX;
  std::uint64_t highest = 0;
  for (const TFixedEntry& e : FFixed) {
    lowest = std::min(lowest, e.Key);
    highest = std::max(highest, e.Key);
  }
  if (!FFixed.empty() && highest - lowest <= UINT32_MAX) {
    std::vector<std::uint64_t> packed;
    packed.reserve(FFixed.size());
    for (const TFixedEntry& e : FFixed)
      packed.push_back((descending ? highest - e.Key : e.Key - lowest) << 32 | e.Index);
    FFixed = {};
    RadixSortPacked(packed);
    for (std::uint64_t v : packed) order.push_back(static_cast<std::uint32_t>(v));
    if (tieBreak) SortEqualRuns(packed, order, first, tieBreak);
  } else {
    // Wider spreads: 16-byte entries (keys complemented for descending
    // order), the same stable sort on all eight key bytes.
    if (descending)
      for (TFixedEntry& e : FFixed) e.Key = ~e.Key;
    RadixSort(FFixed);
    std::vector<std::uint64_t> keys;
    keys.reserve(FFixed.size());
    for (const TFixedEntry& e : FFixed) {
      order.push_back(e.Index);
      keys.push_back(e.Key);
    }
    if (tieBreak) SortEqualRuns(keys, order, first, tieBreak, true);
  }
  if (descending) order.insert(order.end(), FNulls.begin(), FNulls.end());
  return order;
}

void TKeySorter::SortEqualRuns(const std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& order,
                               std::size_t first, const std::function<int(std::uint32_t, std::uint32_t)>& tieBreak,
                               bool wholeKeys) {
  // keys[i] belongs to order[first + i]; packed keys compare on their upper
  // half only.
  auto keyOf = [&](std::size_t i) { return wholeKeys ? keys[i] : keys[i] >> 32; };
  auto less = [&](std::uint32_t a, std::uint32_t b) {
    const int c = tieBreak(a, b);
    return c != 0 ? c < 0 : a < b;
  };
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keyOf(j) == keyOf(i)) ++j;
    if (j - i > 1)
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(first + i),
                order.begin() + static_cast<std::ptrdiff_t>(first + j), less);
    i = j;
  }
}

}  // namespace lumo
