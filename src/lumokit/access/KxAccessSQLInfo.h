// Dialect knowledge about identifiers and statements that a provider hands
// to the provider-neutral layers: quoting, unquoting and normalising names,
// splitting qualified names, writing string constants, and reading the tables
// and the select list of a statement without a server. Also the per-statement
// table and column information those readings fill.
//
// Decisions:
// - Quote doubles every closing quote inside the name, and UnQuote turns a
//   doubled one back into one, so any name round-trips and a name never ends
//   its quotes early. IsQuoted accepts only a well-formed quoted name (the
//   closing quote at the end and every closing quote inside doubled): a text
//   such as "a"; DROP ..." is not quoted but quoted again, safely.
// - A name that comes from a server (a table or column name of a result) is
//   one identifier: IdentifierOf quotes it whole when it needs quotes (the
//   closing quote doubled), never splits it at "." and never takes it as
//   already quoted, so "a.b" or "`t`" cannot turn into another object.
// - Names are split at "." only outside identifier quotes (doubled quotes
//   included); NamesToList does not cut inside identifier quotes either.
// - QuotesNeeded treats bytes >= 0x80 (UTF-8 letters) as needing quotes:
//   quoting is always valid, leaving them bare depends on the server.
// - ToStringConst is virtual: the base writes standard SQL (single quotes,
//   an embedded quote doubled); a dialect whose strings know backslash
//   escapes overrides it.
// - Whether table names (and aliases) differ by case is a property of the
//   SQL info (TableNamesCaseSensitive, false by default) that a connection
//   sets from its server; ParseTablesInfo hands it to the table list, whose
//   indexes honour it. Case-insensitive matching folds with the locale's
//   upper-case mapping.
// - ParseTablesInfo clears the list first. Besides the join words FULL,
//   INNER, JOIN, LEFT, OUTER and RIGHT it knows CROSS, NATURAL and
//   STRAIGHT_JOIN; it skips the condition of ON and of USING, and index
//   hints (USE/FORCE/IGNORE INDEX|KEY (...)). A direct alias must be a plain
//   identifier; after AS a keyword or a string is accepted too.
// - ParseColumnsInfo takes a trailing identifier as an alias when the lexeme
//   before it is not a symbol other than ")" (so "a.b", "x = y" have none,
//   "count(*) n" has one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <lumokit/access/KxParser.h>
#include <lumokit/data/MemUtils.h>

namespace lumo {

class TStrings;

enum TIdentCase : std::uint8_t { icUpper = 0, icLower = 1, icMixed = 2, icMixedCaseSensitive = 3 };

// ---- tables and columns of a statement --------------------------------------------

class TKxTablesInfo;

class TKxTableInfo {
 public:
  explicit TKxTableInfo(TKxTablesInfo* owner = nullptr) noexcept : FOwner(owner) {}
  TKxTableInfo(const TKxTableInfo&) = delete;
  TKxTableInfo& operator=(const TKxTableInfo&) = delete;
  virtual ~TKxTableInfo() = default;

  TKxTablesInfo* Owner() const noexcept { return FOwner; }
  int Index() const noexcept { return FIndex; }
  const std::string& TableName() const noexcept { return FTableName; }
  void SetTableName(std::string value);
  const std::string& TableAlias() const noexcept { return FTableAlias; }
  void SetTableAlias(std::string value);
  bool IsView() const noexcept { return FIsView; }
  void SetIsView(bool value) noexcept { FIsView = value; }
  // The name with whatever qualification the provider keeps (the base: the name).
  virtual std::string TableNameFull() const { return FTableName; }
  virtual void SetTableNameFull(std::string value) { SetTableName(std::move(value)); }

 protected:
  TKxTablesInfo* FOwner;
  int FIndex = -1;
  std::string FTableName;
  std::string FTableAlias;
  bool FIsView = false;

  friend class TKxTablesInfo;
};

// Makes a table entry of the provider's class.
using TTableInfoFactory = std::function<std::unique_ptr<TKxTableInfo>(TKxTablesInfo& owner)>;

// The tables of one statement. Lookups by name and alias use an index that
// is rebuilt when needed; while an update is open they search linearly.
class TKxTablesInfo {
 public:
  explicit TKxTablesInfo(TTableInfoFactory factory = {});
  TKxTablesInfo(const TKxTablesInfo&) = delete;
  TKxTablesInfo& operator=(const TKxTablesInfo&) = delete;
  virtual ~TKxTablesInfo();

  TKxTableInfo& Add();
  void Clear();
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TKxTableInfo& Items(int index) const;
  TKxTableInfo& operator[](int index) const { return Items(index); }
  virtual void BeginUpdate();
  virtual void EndUpdate();
  bool Updating() const noexcept { return FUpdateCount > 0; }

  TKxTableInfo* FindByName(std::string_view name) const;
  int IndexOf(const TKxTableInfo* info) const noexcept;
  int IndexByName(std::string_view name) const;
  int IndexByAlias(std::string_view alias) const;

  bool CaseSensitive() const noexcept { return FCaseSensitive; }
  void SetCaseSensitive(bool value) noexcept;

  // Entries changed a name: the indexes must be rebuilt.
  void InvalidateIndexes() noexcept { FIndexValid = false; }

 private:
  std::string Key(std::string_view name) const;
  int Lookup(std::string_view text, bool byAlias) const;
  void RebuildIndexes() const;

  TTableInfoFactory FFactory;
  std::vector<std::unique_ptr<TKxTableInfo>> FItems;
  bool FCaseSensitive = false;
  int FUpdateCount = 0;
  mutable bool FIndexValid = false;
  mutable std::unordered_map<std::string, int> FNameIndex;
  mutable std::unordered_map<std::string, int> FAliasIndex;
};

struct TColumnInfo {
  std::string Name;
  std::string Table;
  std::int32_t TableIndex = -1;
  std::string Expr;
  std::string Alias;
  bool Used = false;
  bool Described = false;
  bool Required = false;
};

class TColumnsInfo : public TDAObjectList<TColumnInfo> {};

struct TExtTableInfo {
  std::string Table;
  std::string Schema;
  std::string Catalog;
  std::string DBLink;
  std::string Synonym;
  std::uint8_t Flag = 0;
};

// ---- dialect knowledge --------------------------------------------------------------

class TSQLInfo {
 public:
  explicit TSQLInfo(TSQLParserClass parserClass = ParserClassOf<TSQLParser>());
  TSQLInfo(const TSQLInfo&) = delete;
  TSQLInfo& operator=(const TSQLInfo&) = delete;
  virtual ~TSQLInfo();

  // Hook for column-name suffixes a dialect reads after a column name.
  virtual void ParseExtColumnName(TSQLParser& parser, int& code, std::string& text) const;
  virtual bool FirstCharQuotesNeed(char ch, TIdentCase identCase) const;
  virtual bool NextCharQuotesNeed(char ch, TIdentCase identCase) const;
  virtual char LeftQuote() const { return '"'; }
  virtual char RightQuote() const { return '"'; }
  virtual TIdentCase IdentCase() const { return icMixed; }
  virtual bool ParamQuoteAllowed() const { return true; }
  virtual char ProcedureOverloadSeparator() const { return ':'; }

  // A quoted value stays as it is; anything else is wrapped, every closing
  // quote inside doubled.
  virtual std::string Quote(std::string_view value, char leftQ, char rightQ) const;
  // The name inside the quotes, doubled closing quotes made single; a value
  // that is not quoted comes back unchanged.
  virtual std::string UnQuote(std::string_view value) const;
  virtual bool IsQuoted(std::string_view value) const;
  virtual bool QuotesNeeded(std::string_view value) const;
  virtual std::string NormalizeName(std::string_view value, bool quoteNames = false, bool unQuoteNames = false) const;
  virtual std::string NormalizeName(std::string_view value, char leftQ, char rightQ, bool quoteNames,
                                    bool unQuoteNames) const;
  virtual void SplitObjectName(std::string_view name, TExtTableInfo& info) const;
  virtual void ParseTablesInfo(std::string_view sql, TKxTablesInfo& tablesInfo) const;
  virtual void ParseColumnsInfo(std::string_view sql, TColumnsInfo& columnsInfo) const;
  virtual std::string NamesFromList(const TStrings& list) const;
  virtual void NamesToList(std::string_view value, TStrings& list) const;

  std::string Quote(std::string_view value) const { return Quote(value, LeftQuote(), RightQuote()); }
  std::string QuoteIfNeed(std::string_view value) const;
  // One identifier exactly as a server names it: bare when it needs no
  // quotes and `quote` is off, else enclosed in the dialect's quotes with
  // every closing quote doubled.
  std::string IdentifierOf(std::string_view name, bool quote = false) const;
  // A string constant of the dialect holding `value` exactly.
  virtual std::string ToStringConst(std::string_view value) const;

  // The same with explicit quote characters.
  bool IsQuoted(std::string_view value, char leftQ, char rightQ) const;
  std::string UnQuote(std::string_view value, char leftQ, char rightQ) const;

  bool TableNamesCaseSensitive() const noexcept { return FTableNamesCaseSensitive; }
  void SetTableNamesCaseSensitive(bool value) noexcept { FTableNamesCaseSensitive = value; }

  const TSQLParserClass& ParserClass() const noexcept { return FParserClass; }
  std::unique_ptr<TSQLParser> CreateParser(std::string_view text) const;

 protected:
  // The index just past the identifier starting at `begin` of `value`: a
  // quoted part (with doubled quotes) or a run up to the next ".".
  static std::size_t SkipNamePart(std::string_view value, std::size_t begin, char leftQ, char rightQ) noexcept;
  bool IsJoinWord(const TSQLParser& parser, int code) const;

 private:
  // Walks a FROM list until a clause keyword, ")" (nested) or the end.
  void WalkFromList(TSQLParser& parser, TKxTablesInfo& tablesInfo, bool nested) const;

  TSQLParserClass FParserClass;
  bool FTableNamesCaseSensitive = false;
};

}  // namespace lumo
