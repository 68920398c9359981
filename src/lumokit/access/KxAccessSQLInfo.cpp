#include <lumokit/access/KxAccessSQLInfo.h>

#include <algorithm>
#include <array>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/StringList.h>

namespace lumo {

namespace {

bool IsDigitAscii(char ch) noexcept { return ch >= '0' && ch <= '9'; }

std::string_view Trim(std::string_view s) noexcept {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// The next lexeme; a byte the lexer does not know is skipped (the lexer has
// consumed it), so that a statement the server may well accept can still be
// read as far as possible.
int Next(TSQLParser& p) {
  for (;;) {
    try {
      return p.GetNextToken();
    } catch (const EParserError&) {
    }
  }
}

bool IsSymbolLexeme(TSQLParser& p, int code) { return code == lcSymbol || (code > 0 && p.IsSymbolCode(code)); }

bool IsSym(TSQLParser& p, int code, char ch) {
  if (!IsSymbolLexeme(p, code)) return false;
  std::string_view v = p.LexemView();
  return v.size() == 1 && v[0] == ch;
}

// An identifier or a keyword (anything that may name an object).
bool IsNameLexeme(TSQLParser& p, int code) { return code == lcIdent || (code > 0 && !p.IsSymbolCode(code)); }

// The upper-cased text of an unquoted word, or "" for anything else.
std::string WordOf(TSQLParser& p, int code) {
  if (!IsNameLexeme(p, code)) return {};
  std::string_view v = p.LexemView();
  if (v.empty() || !(IsAsciiUpper(v[0]) || IsAsciiLower(v[0]) || v[0] == '_')) return {};
  return AsciiUpperCase(v);
}

// Reads up to and including the ")" that closes a "(" already read.
void SkipToClose(TSQLParser& p) {
  int depth = 1;
  for (;;) {
    int c = Next(p);
    if (c == lcEnd) return;
    if (IsSym(p, c, '('))
      ++depth;
    else if (IsSym(p, c, ')') && --depth == 0)
      return;
  }
}

}  // namespace

// ---- TKxTableInfo / TKxTablesInfo ----------------------------------------------------

void TKxTableInfo::SetTableName(std::string value) {
  FTableName = std::move(value);
  if (FOwner) FOwner->InvalidateIndexes();
}

void TKxTableInfo::SetTableAlias(std::string value) {
  FTableAlias = std::move(value);
  if (FOwner) FOwner->InvalidateIndexes();
}

TKxTablesInfo::TKxTablesInfo(TTableInfoFactory factory) : FFactory(std::move(factory)) {}

TKxTablesInfo::~TKxTablesInfo() = default;

TKxTableInfo& TKxTablesInfo::Add() {
  std::unique_ptr<TKxTableInfo> info = FFactory ? FFactory(*this) : std::make_unique<TKxTableInfo>(this);
  LUMO_ASSERT(info != nullptr);
  info->FOwner = this;
  info->FIndex = Count();
  FItems.push_back(std::move(info));
  FIndexValid = false;
  return *FItems.back();
}

void TKxTablesInfo::Clear() {
  FItems.clear();
  FIndexValid = false;
}

TKxTableInfo& TKxTablesInfo::Items(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

void TKxTablesInfo::BeginUpdate() { ++FUpdateCount; }

void TKxTablesInfo::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) FIndexValid = false;
}

void TKxTablesInfo::SetCaseSensitive(bool value) noexcept {
  if (FCaseSensitive != value) {
    FCaseSensitive = value;
    FIndexValid = false;
  }
}

TKxTableInfo* TKxTablesInfo::FindByName(std::string_view name) const {
  int i = IndexByName(name);
  return i < 0 ? nullptr : FItems[static_cast<std::size_t>(i)].get();
}

int TKxTablesInfo::IndexOf(const TKxTableInfo* info) const noexcept {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == info) return static_cast<int>(i);
  return -1;
}

int TKxTablesInfo::IndexByName(std::string_view name) const { return Lookup(name, false); }

int TKxTablesInfo::IndexByAlias(std::string_view alias) const { return Lookup(alias, true); }

std::string TKxTablesInfo::Key(std::string_view name) const {
  return FCaseSensitive ? std::string(name) : AnsiUpperCase(name);
}

int TKxTablesInfo::Lookup(std::string_view text, bool byAlias) const {
  std::string key = Key(text);
  if (FUpdateCount > 0) {
    for (std::size_t i = 0; i < FItems.size(); ++i) {
      const std::string& v = byAlias ? FItems[i]->FTableAlias : FItems[i]->FTableName;
      if (Key(v) == key) return static_cast<int>(i);
    }
    return -1;
  }
  if (!FIndexValid) RebuildIndexes();
  const auto& index = byAlias ? FAliasIndex : FNameIndex;
  auto it = index.find(key);
  return it == index.end() ? -1 : it->second;
}

void TKxTablesInfo::RebuildIndexes() const {
  FNameIndex.clear();
  FAliasIndex.clear();
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    FItems[i]->FIndex = static_cast<int>(i);
    FNameIndex.emplace(Key(FItems[i]->FTableName), static_cast<int>(i));
    FAliasIndex.emplace(Key(FItems[i]->FTableAlias), static_cast<int>(i));
  }
  FIndexValid = true;
}

// ---- TSQLInfo: names ---------------------------------------------------------------------

TSQLInfo::TSQLInfo(TSQLParserClass parserClass) : FParserClass(parserClass) {}

TSQLInfo::~TSQLInfo() = default;

std::unique_ptr<TSQLParser> TSQLInfo::CreateParser(std::string_view text) const {
  return FParserClass.Create(std::string(text));
}

void TSQLInfo::ParseExtColumnName(TSQLParser&, int&, std::string&) const {}

bool TSQLInfo::FirstCharQuotesNeed(char ch, TIdentCase identCase) const {
  switch (identCase) {
    case icUpper:
      return !IsAsciiUpper(ch);
    case icLower:
      return !IsAsciiLower(ch);
    default:
      return !IsAsciiUpper(ch) && !IsAsciiLower(ch);
  }
}

bool TSQLInfo::NextCharQuotesNeed(char ch, TIdentCase identCase) const {
  if (IsDigitAscii(ch) || ch == '$' || ch == '_') return false;
  return FirstCharQuotesNeed(ch, identCase);
}

bool TSQLInfo::IsQuoted(std::string_view value, char leftQ, char rightQ) const {
  if (value.size() < 2 || value.front() != leftQ || value.back() != rightQ) return false;
  const std::size_t last = value.size() - 1;
  for (std::size_t i = 1; i < last; ++i) {
    if (value[i] != rightQ) continue;
    if (i + 1 < last && value[i + 1] == rightQ)
      ++i;
    else
      return false;
  }
  return true;
}

bool TSQLInfo::IsQuoted(std::string_view value) const { return IsQuoted(value, LeftQuote(), RightQuote()); }

std::string TSQLInfo::Quote(std::string_view value, char leftQ, char rightQ) const {
  if (IsQuoted(value, leftQ, rightQ)) return std::string(value);
  std::string r;
  r.reserve(value.size() + 2);
  r += leftQ;
  for (char c : value) {
    r += c;
    if (c == rightQ) r += c;
  }
  r += rightQ;
  return r;
}

std::string TSQLInfo::UnQuote(std::string_view value, char leftQ, char rightQ) const {
  if (!IsQuoted(value, leftQ, rightQ)) return std::string(value);
  std::string r;
  r.reserve(value.size() - 2);
  const std::size_t last = value.size() - 1;
  for (std::size_t i = 1; i < last; ++i) {
    r += value[i];
    if (value[i] == rightQ) ++i;  // the doubled quote
  }
  return r;
}

std::string TSQLInfo::UnQuote(std::string_view value) const { return UnQuote(value, LeftQuote(), RightQuote()); }

bool TSQLInfo::QuotesNeeded(std::string_view value) const {
  if (value.empty()) return false;
  const TIdentCase ic = IdentCase();
  if (FirstCharQuotesNeed(value[0], ic)) return true;
  for (std::size_t i = 1; i < value.size(); ++i)
    if (NextCharQuotesNeed(value[i], ic)) return true;
  return false;
}

std::string TSQLInfo::QuoteIfNeed(std::string_view value) const {
  return QuotesNeeded(value) ? Quote(value) : std::string(value);
}

std::string TSQLInfo::IdentifierOf(std::string_view name, bool quote) const {
  if (!quote && !name.empty() && !QuotesNeeded(name)) return std::string(name);
  const char rightQ = RightQuote();
  std::string r;
  r.reserve(name.size() + 2);
  r += LeftQuote();
  for (char c : name) {
    r += c;
    if (c == rightQ) r += c;
  }
  r += rightQ;
  return r;
}

std::size_t TSQLInfo::SkipNamePart(std::string_view value, std::size_t begin, char leftQ, char rightQ) noexcept {
  std::size_t i = begin;
  while (i < value.size() && value[i] != '.') {
    if (value[i] != leftQ) {
      ++i;
      continue;
    }
    // A quoted part: a doubled closing quote stands for one.
    for (++i; i < value.size(); ++i) {
      if (value[i] != rightQ) continue;
      if (i + 1 < value.size() && value[i + 1] == rightQ) {
        ++i;
        continue;
      }
      ++i;
      break;
    }
  }
  return i;
}

std::string TSQLInfo::NormalizeName(std::string_view value, bool quoteNames, bool unQuoteNames) const {
  return NormalizeName(value, LeftQuote(), RightQuote(), quoteNames, unQuoteNames);
}

std::string TSQLInfo::NormalizeName(std::string_view value, char leftQ, char rightQ, bool quoteNames,
                                    bool unQuoteNames) const {
  const std::size_t dot = SkipNamePart(value, 0, leftQ, rightQ);
  if (dot < value.size()) {
    return NormalizeName(value.substr(0, dot), leftQ, rightQ, quoteNames, unQuoteNames) + "." +
           NormalizeName(value.substr(dot + 1), leftQ, rightQ, quoteNames, unQuoteNames);
  }
  std::string s(value);
  if (!quoteNames && !IsQuoted(s, leftQ, rightQ)) {
    if (IdentCase() == icUpper)
      s = AnsiUpperCase(s);
    else if (IdentCase() == icLower)
      s = AnsiLowerCase(s);
  }
  std::string bare = UnQuote(s, leftQ, rightQ);
  if (unQuoteNames || (!quoteNames && !QuotesNeeded(bare))) return bare;
  return Quote(s, leftQ, rightQ);
}

void TSQLInfo::SplitObjectName(std::string_view name, TExtTableInfo& info) const {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = SkipNamePart(name, pos, LeftQuote(), RightQuote());
    parts.push_back(name.substr(pos, end - pos));
    if (end >= name.size()) break;
    pos = end + 1;
  }
  info.Table.clear();
  info.Schema.clear();
  info.Catalog.clear();
  const std::size_t n = parts.size();
  info.Table = std::string(parts[n - 1]);
  if (n >= 2) info.Schema = std::string(parts[n - 2]);
  if (n >= 3) {
    // Anything before the schema belongs to the catalog.
    const std::size_t catalogEnd = static_cast<std::size_t>(parts[n - 3].data() + parts[n - 3].size() - name.data());
    info.Catalog = std::string(name.substr(0, catalogEnd));
  }
}

std::string TSQLInfo::NamesFromList(const TStrings& list) const {
  std::string r;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) r += ';';
    r += list[i];
  }
  return r;
}

void TSQLInfo::NamesToList(std::string_view value, TStrings& list) const {
  list.Clear();
  const char lq = LeftQuote(), rq = RightQuote();
  std::size_t begin = 0, i = 0;
  auto flush = [&](std::size_t end) {
    std::string_view piece = Trim(value.substr(begin, end - begin));
    if (!piece.empty()) list.Add(std::string(piece));
  };
  while (i < value.size()) {
    char c = value[i];
    if (c == lq) {
      ++i;
      while (i < value.size()) {
        if (value[i] == rq) {
          if (i + 1 < value.size() && value[i + 1] == rq) {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      if (i < value.size()) ++i;
      continue;
    }
    if (c == ',' || c == ';') {
      flush(i);
      begin = i + 1;
    }
    ++i;
  }
  flush(value.size());
}

std::string TSQLInfo::ToStringConst(std::string_view value) const {
  std::string r;
  r.reserve(value.size() + 2);
  r += '\'';
  for (char c : value) {
    r += c;
    if (c == '\'') r += c;
  }
  r += '\'';
  return r;
}

// ---- TSQLInfo: statements ----------------------------------------------------------------

bool TSQLInfo::IsJoinWord(const TSQLParser& parser, int code) const {
  switch (code) {
    case lxFULL:
    case lxINNER:
    case lxJOIN:
    case lxLEFT:
    case lxOUTER:
    case lxRIGHT:
      return true;
    default:
      break;
  }
  auto& p = const_cast<TSQLParser&>(parser);
  std::string w = WordOf(p, code);
  return w == "CROSS" || w == "NATURAL" || w == "STRAIGHT_JOIN";
}

void TSQLInfo::ParseTablesInfo(std::string_view sql, TKxTablesInfo& tablesInfo) const {
  tablesInfo.BeginUpdate();
  struct TEnd {
    TKxTablesInfo& Info;
    ~TEnd() { Info.EndUpdate(); }
  } end{tablesInfo};
  tablesInfo.Clear();
  tablesInfo.SetCaseSensitive(FTableNamesCaseSensitive);

  std::unique_ptr<TSQLParser> parser = CreateParser(sql);
  TSQLParser& p = *parser;
  p.SetUppered(false);
  int c;
  do c = Next(p);
  while (c != lcEnd && c != lxSELECT);
  if (c == lcEnd) return;
  // The FROM of this SELECT: the first one outside parentheses.
  int depth = 0;
  for (;;) {
    c = Next(p);
    if (c == lcEnd) return;
    if (IsSym(p, c, '('))
      ++depth;
    else if (IsSym(p, c, ')')) {
      if (--depth < 0) return;
    } else if (c == lxFROM && depth == 0)
      break;
  }
  WalkFromList(p, tablesInfo, false);
}

void TSQLInfo::WalkFromList(TSQLParser& p, TKxTablesInfo& tablesInfo, bool nested) const {
  // Reads an optional alias after a table reference or a subquery.
  auto readAlias = [&](std::string& alias) {
    int c = Next(p);
    if (c == lxAS) {
      c = Next(p);
      if (IsNameLexeme(p, c) || c == lcString)
        alias = p.Lexem();
      else
        p.Back();
      return;
    }
    if (c == lcIdent && !IsJoinWord(p, c)) {
      std::string w = WordOf(p, c);
      if (w != "USING" && w != "USE" && w != "FORCE" && w != "IGNORE" && w != "PARTITION" && w != "ONLY") {
        alias = p.Lexem();
        return;
      }
    }
    p.Back();
  };
  // Skips index hints and partition lists after a table reference.
  auto skipHints = [&]() {
    for (;;) {
      int c = Next(p);
      std::string w = WordOf(p, c);
      if (w != "USE" && w != "FORCE" && w != "IGNORE" && w != "PARTITION") {
        p.Back();
        return;
      }
      do c = Next(p);
      while (c != lcEnd && !IsSym(p, c, '('));
      if (c == lcEnd) return;
      SkipToClose(p);
    }
  };

  // Reserved words of the statement (LIMIT, FOR, INTO ...) end the list too;
  // the dialect's own keywords may name tables.
  auto ends = [&](int c) {
    return c == lcEnd || IsSym(p, c, ')') || IsSym(p, c, ';') || p.IsClauseLexem(c) ||
           (c >= lxSQLFirst && c <= lxWITH && c != lxON && c != lxAS && !IsJoinWord(p, c));
  };
  for (;;) {
    int c = Next(p);
    if (ends(c)) {
      if (nested && !IsSym(p, c, ')')) p.Back();  // let the outer walk see the end too
      return;
    }
    if (IsSym(p, c, ',') || IsJoinWord(p, c)) continue;
    if (c == lxON) {
      // The join condition runs to the next join word, "," or the end of the list.
      int depth = 0;
      for (;;) {
        c = Next(p);
        if (c == lcEnd) return;
        if (IsSym(p, c, '(')) {
          ++depth;
          continue;
        }
        if (IsSym(p, c, ')')) {
          if (depth == 0) {
            p.Back();
            break;
          }
          --depth;
          continue;
        }
        if (depth == 0 && (IsSym(p, c, ',') || IsJoinWord(p, c) || (ends(c) && !IsSym(p, c, ')') &&
                                                                      c != lxAND && c != lxOR && c != lxNOT &&
                                                                      c != lxIS && c != lxSELECT))) {
          p.Back();
          break;
        }
      }
      continue;
    }
    if (WordOf(p, c) == "USING") {
      do c = Next(p);
      while (c != lcEnd && !IsSym(p, c, '('));
      if (c == lcEnd) return;
      SkipToClose(p);
      continue;
    }
    if (IsSym(p, c, '(')) {
      c = Next(p);
      if (c == lxSELECT || c == lxWITH) {
        SkipToClose(p);
        std::string alias;
        readAlias(alias);
        continue;
      }
      p.Back();
      WalkFromList(p, tablesInfo, true);
      // A nested walk that stopped at anything but its ")" left that lexeme unread.
      c = Next(p);
      p.Back();
      if (ends(c) && !IsSym(p, c, ')')) return;
      continue;
    }
    if (!IsNameLexeme(p, c)) continue;
    std::string name = p.Lexem();
    if (WordOf(p, c) == "ONLY") {
      // ONLY before a table name is skipped; otherwise it is the name.
      int n = Next(p);
      p.Back();
      if (IsNameLexeme(p, n)) continue;
    }
    for (;;) {
      c = Next(p);
      if (!IsSym(p, c, '.')) {
        p.Back();
        break;
      }
      c = Next(p);
      if (!IsNameLexeme(p, c)) {
        p.Back();
        break;
      }
      name += '.';
      name += p.LexemView();
    }
    std::string alias;
    readAlias(alias);
    skipHints();
    TKxTableInfo& info = tablesInfo.Add();
    info.SetTableName(NormalizeName(name, false, true));
    info.SetTableAlias(NormalizeName(alias, false, true));
  }
}

void TSQLInfo::ParseColumnsInfo(std::string_view sql, TColumnsInfo& columnsInfo) const {
  columnsInfo.Clear();
  std::unique_ptr<TSQLParser> parser = CreateParser(sql);
  TSQLParser& p = *parser;
  p.SetUppered(false);
  int c;
  do c = Next(p);
  while (c != lcEnd && c != lxSELECT);
  if (c == lcEnd) return;
  do c = Next(p);
  while (p.IsSelectModifier(c));

  struct TLex {
    int Code;
    bool Symbol;
    std::string Text;
    std::int64_t Begin;
    std::int64_t End;
  };
  std::vector<TLex> item;
  auto finish = [&]() {
    std::size_t n = item.size();
    if (n == 0) return;
    auto column = std::make_unique<TColumnInfo>();
    if (n >= 3 && item[n - 2].Code == lxAS) {
      column->Alias = NormalizeName(item[n - 1].Text, false, true);
      n -= 2;
    } else if (n >= 2 && item[n - 1].Code == lcIdent && (!item[n - 2].Symbol || item[n - 2].Text == ")")) {
      column->Alias = NormalizeName(item[n - 1].Text, false, true);
      n -= 1;
    }
    bool plain = n % 2 == 1 && n <= 7;
    for (std::size_t i = 0; plain && i < n; ++i) {
      if (i % 2 == 1) {
        plain = item[i].Symbol && item[i].Text == ".";
      } else {
        const std::string upper = AsciiUpperCase(item[i].Text);
        plain = item[i].Code == lcIdent && !p.IsFunctionOrConst(upper) && !p.IsQuasiColumn(upper);
      }
    }
    if (plain) {
      column->Name = NormalizeName(item[n - 1].Text, false, true);
      std::string table;
      for (std::size_t i = 0; i + 1 < n; ++i) table += item[i].Text;
      if (!table.empty()) {
        table.pop_back();  // the last "."
        column->Table = NormalizeName(table, false, true);
      }
    } else {
      column->Expr = std::string(sql.substr(static_cast<std::size_t>(item[0].Begin),
                                            static_cast<std::size_t>(item[n - 1].End - item[0].Begin)));
    }
    columnsInfo.Add(std::move(column));
    item.clear();
  };

  int depth = 0;
  for (; c != lcEnd; c = Next(p)) {
    if (IsSym(p, c, '(')) {
      ++depth;
    } else if (IsSym(p, c, ')')) {
      if (depth == 0) break;
      --depth;
    } else if (depth == 0) {
      if (c == lxFROM || IsSym(p, c, ';') || p.IsClauseLexem(c) || c == lxINTO || c == lxLIMIT || c == lxFOR ||
          c == lxLOCK || c == lxOFFSET || c == lxFETCH)
        break;
      if (IsSym(p, c, ',')) {
        finish();
        continue;
      }
    }
    std::string text = p.Lexem();
    if (depth == 0 && c == lcIdent) ParseExtColumnName(p, c, text);
    item.push_back({c, IsSymbolLexeme(p, c), std::move(text), p.PrevPos(), p.CurrPos()});
  }
  finish();
}

}  // namespace lumo
