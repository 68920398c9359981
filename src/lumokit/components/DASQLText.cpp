#include <lumokit/components/DASQLText.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include <lumokit/components/DAParams.h>
#include <lumokit/core/Ascii.h>

namespace lumo {

namespace {

struct TToken {
  int Code = lcEnd;
  std::string Upper;  // upper-cased text (empty for strings and comments)
  std::size_t Begin = 0;
  std::size_t End = 0;
  int Depth = 0;            // parentheses around the token ("(" and ")" count outside)
  bool AfterMacro = false;  // written right after the macro character
  bool Comment = false;
  bool LexerClause = false;  // one of the lexer's clause words
};

// Every lexeme of a text with its span and depth.
std::vector<TToken> Tokenize(const std::string& sql, const TSQLParserClass& parserClass) {
  std::unique_ptr<TSQLParser> parser = parserClass.Create(sql);
  parser->SetOmitBlank(true);
  parser->SetOmitComment(false);
  parser->SetUppered(false);
  std::vector<TToken> tokens;
  int depth = 0;
  std::size_t prevEnd = static_cast<std::size_t>(-1);
  bool prevMacro = false;
  for (;;) {
    int code;
    try {
      code = parser->GetNextToken();
    } catch (const EParserError&) {
      continue;  // the unknown byte is consumed and stays in the text
    }
    if (code == lcEnd) break;
    TToken t;
    t.Code = code;
    t.Begin = static_cast<std::size_t>(parser->PrevPos());
    t.End = std::min(static_cast<std::size_t>(parser->CurrPos()), sql.size());
    t.Comment = code == lcComment;
    if (code != lcString && !t.Comment)
      t.Upper = AsciiUpperCase(std::string_view(sql).substr(t.Begin, t.End - t.Begin));
    t.AfterMacro = prevMacro && prevEnd == t.Begin;
    prevMacro = t.Upper.size() == 1 && t.Upper[0] == MacroChar;
    prevEnd = t.End;
    if (t.Upper == ")" && depth > 0) --depth;
    t.Depth = depth;
    if (t.Upper == "(") ++depth;
    t.LexerClause = !t.Comment && code != lcString && parser->IsClauseLexem(code);
    tokens.push_back(std::move(t));
  }
  return tokens;
}

bool IsSetOperator(const TToken& t) {
  return t.Depth == 0 && (t.Upper == "UNION" || t.Upper == "INTERSECT" || t.Upper == "EXCEPT" || t.Upper == "MINUS");
}

bool IsTopLevel(const TToken& t) { return t.Depth == 0 && !t.AfterMacro && !t.Comment && t.Code != lcString; }

// A clause word that ends the FROM or WHERE part.
bool IsClause(const TToken& t) {
  if (!IsTopLevel(t)) return false;
  if (t.LexerClause || IsSetOperator(t)) return true;
  static constexpr std::array<std::string_view, 14> words = {"WHERE", "GROUP",     "HAVING", "WINDOW", "ORDER",
                                                             "LIMIT", "OFFSET",    "FETCH",  "PROCEDURE", "INTO",
                                                             "FOR",   "LOCK",      "UNION",  "RETURNING"};
  return std::find(words.begin(), words.end(), t.Upper) != words.end();
}

// Clauses that come after ORDER BY.
bool IsAfterOrderClause(const TToken& t) {
  if (!IsTopLevel(t)) return false;
  static constexpr std::array<std::string_view, 7> words = {"LIMIT", "OFFSET", "FETCH", "PROCEDURE",
                                                            "INTO",  "FOR",    "LOCK"};
  return std::find(words.begin(), words.end(), t.Upper) != words.end();
}

// Where the parts of one SELECT are.
struct TLayout {
  const std::string& Sql;
  std::vector<TToken> Tokens;
  std::size_t Start = 0;     // first token of the select
  std::size_t Stop = 0;      // the token that ends it (set operator or ";"), or Tokens.size()
  std::ptrdiff_t From = -1;  // token indexes, -1 when absent
  std::ptrdiff_t Where = -1;

  TLayout(const std::string& sql, const TSQLParserClass& parser) : Sql(sql), Tokens(Tokenize(sql, parser)) {
    for (std::size_t i = 0; i < Tokens.size(); ++i)
      if (IsTopLevel(Tokens[i]) && Tokens[i].Upper == "SELECT") {
        Start = i;
        break;
      }
    Stop = Tokens.size();
    for (std::size_t i = Start + 1; i < Tokens.size(); ++i) {
      const TToken& t = Tokens[i];
      if (IsSetOperator(t) || (t.Depth == 0 && t.Upper == ";")) {
        Stop = i;
        break;
      }
      if (!IsTopLevel(t)) continue;
      if (From < 0 && t.Upper == "FROM") From = static_cast<std::ptrdiff_t>(i);
      if (Where < 0 && t.Upper == "WHERE") Where = static_cast<std::ptrdiff_t>(i);
    }
  }

  // The first clause token after token `after` within the select (Stop
  // when there is none).
  std::size_t NextClause(std::ptrdiff_t after) const {
    for (std::size_t i = static_cast<std::size_t>(after + 1); i < Stop; ++i)
      if (IsClause(Tokens[i])) return i;
    return Stop;
  }
  // The byte position of token `i` (the end of the text for Tokens.size()).
  std::size_t PosOf(std::size_t i) const { return i < Tokens.size() ? Tokens[i].Begin : Sql.size(); }
  // The text of tokens (from, to) exclusive, without trailing comments.
  std::string PartBetween(std::size_t from, std::size_t to) const {
    std::size_t last = to;
    while (last > from + 1 && Tokens[last - 1].Comment) --last;
    if (last <= from + 1) return {};
    const std::size_t b = Tokens[from + 1].Begin;
    const std::size_t e = Tokens[last - 1].End;
    return std::string(Trim(std::string_view(Sql).substr(b, e - b)));
  }
  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
  }
};

std::string TrimRight(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  return s;
}

// Trailing blanks only: a line break that ends a comment stays.
std::string TrimBlanksRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

std::string TrimText(const std::string& s) { return std::string(TLayout::Trim(s)); }

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// The condition as it is inserted: with a line break after a trailing
// comment.
std::string ConditionText(const std::string& condition, const TSQLParserClass& parser) {
  std::vector<TToken> tokens = Tokenize(condition, parser);
  if (!tokens.empty() && tokens.back().Comment) return condition + "\r\n";
  return condition;
}

// `sql` with `text` inserted at `pos`; at the end of the text it is
// appended to the trimmed text.
std::string InsertAt(const std::string& sql, std::size_t pos, const std::string& text) {
  if (pos >= sql.size()) return TrimRight(sql) + text;
  return sql.substr(0, pos) + text + sql.substr(pos);
}

// Replaces [begin, end) by `clause` (which may be empty), keeping one blank
// before what follows.
std::string ReplaceClause(const std::string& sql, std::size_t begin, std::size_t end, const std::string& clause) {
  std::string prefix = TrimBlanksRight(sql.substr(0, begin));
  std::string suffix = end < sql.size() ? sql.substr(end) : std::string();
  if (TrimText(suffix).empty()) return prefix + clause;
  if (clause.empty() && !prefix.empty() && prefix.back() != '\n' && prefix.back() != '\r') return prefix + " " + suffix;
  if (clause.empty()) return prefix + suffix;
  return prefix + clause + " " + suffix;
}

}  // namespace

bool TDASQLText::HasTopLevelOr(const std::string& condition, const TSQLParserClass& parser) {
  std::vector<TToken> tokens = Tokenize(condition, parser);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    if (t.Depth != 0 || t.Comment || t.Code == lcString) continue;
    if (t.Upper == "OR" || t.Upper == "XOR" || t.Upper == "||") return true;
    if (t.Upper == "|" && i + 1 < tokens.size() && tokens[i + 1].Upper == "|" && tokens[i + 1].Begin == t.End)
      return true;
  }
  return false;
}

std::string TDASQLText::AddWhere(const std::string& sql, const std::string& condition, const TSQLParserClass& parser) {
  const std::string cond = TrimText(condition);
  if (cond.empty()) return sql;
  TLayout layout(sql, parser);
  std::string text = ConditionText(cond, parser);
  if (layout.Where < 0) {
    const std::size_t next = layout.NextClause(layout.From >= 0 ? layout.From : static_cast<std::ptrdiff_t>(layout.Start));
    return InsertAt(sql, layout.PosOf(next), "\r\nWHERE " + text + " ");
  }
  if (HasTopLevelOr(cond, parser)) text = "(" + cond + (text.size() > cond.size() ? "\r\n)" : ")");
  const std::size_t next = layout.NextClause(layout.Where);
  const auto where = static_cast<std::size_t>(layout.Where);
  const bool endsInComment = next > where + 1 && layout.Tokens[next - 1].Comment;
  const std::string close = std::string(endsInComment ? "\r\n)" : ")") + " AND " + text + " ";
  // The later insertion first, so that the earlier position stays valid.
  std::string result = InsertAt(sql, layout.PosOf(next), close);
  const std::size_t open = where + 1 < next ? layout.Tokens[where + 1].Begin : layout.PosOf(next);
  return InsertAt(result, open, "(");
}

std::string TDASQLText::SetWhere(const std::string& sql, const std::string& condition, const TSQLParserClass& parser) {
  const std::string cond = TrimText(condition);
  TLayout layout(sql, parser);
  const std::string clause = cond.empty() ? std::string() : " WHERE " + ConditionText(cond, parser);
  if (layout.Where >= 0) {
    const std::size_t next = layout.NextClause(layout.Where);
    return ReplaceClause(sql, layout.Tokens[static_cast<std::size_t>(layout.Where)].Begin, layout.PosOf(next), clause);
  }
  if (cond.empty()) return sql;
  const std::size_t next = layout.NextClause(layout.From >= 0 ? layout.From : static_cast<std::ptrdiff_t>(layout.Start));
  const std::size_t pos = layout.PosOf(next);
  const std::string before = sql.substr(0, std::min(pos, sql.size()));
  return ReplaceClause(sql, pos, pos, (HasLineBreak(before) ? "\r\n" : "") + clause);
}

namespace {

// The top-level ORDER of the last select, and the token that ends its list.
struct TOrderBy {
  std::ptrdiff_t Order = -1;
  std::size_t Next = 0;
  std::size_t Insert = 0;  // where a new ORDER BY goes when there is none
};

TOrderBy FindOrderBy(const std::vector<TToken>& tokens) {
  std::size_t start = 0;
  std::size_t stop = tokens.size();
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].Depth == 0 && tokens[i].Upper == ";") {
      stop = i;
      break;
    }
    if (IsSetOperator(tokens[i])) start = i + 1;
  }
  TOrderBy r;
  r.Next = r.Insert = stop;
  bool fromSeen = false;
  for (std::size_t i = start; i < stop; ++i) {
    const TToken& t = tokens[i];
    if (!IsTopLevel(t)) continue;
    if (t.Upper == "FROM") fromSeen = true;
    if (r.Order < 0 && t.Upper == "ORDER") {
      r.Order = static_cast<std::ptrdiff_t>(i);
      continue;
    }
    if (IsAfterOrderClause(t) && (fromSeen || r.Order >= 0)) {
      if (r.Order >= 0) {
        r.Next = i;
        break;
      }
      if (r.Insert == stop) r.Insert = i;
    }
  }
  if (r.Order < 0) r.Next = r.Insert;
  return r;
}

}  // namespace

std::string TDASQLText::SetOrderBy(const std::string& sql, const std::string& fields, const TSQLParserClass& parser) {
  std::string list = TrimText(fields);
  std::replace(list.begin(), list.end(), ';', ',');
  std::vector<TToken> tokens = Tokenize(sql, parser);
  const TOrderBy order = FindOrderBy(tokens);
  const auto pos = [&](std::size_t i) { return i < tokens.size() ? tokens[i].Begin : sql.size(); };
  const std::size_t begin = order.Order >= 0 ? tokens[static_cast<std::size_t>(order.Order)].Begin : pos(order.Insert);
  const std::size_t end = pos(order.Next);
  if (list.empty() && order.Order < 0) return sql;
  std::string clause;
  if (!list.empty()) {
    const std::string before = sql.substr(0, begin);
    clause = std::string(HasLineBreak(before) ? "\r\n" : "") + " ORDER BY " + list;
  }
  return ReplaceClause(sql, begin, end, clause);
}

std::string TDASQLText::GetOrderBy(const std::string& sql, const TSQLParserClass& parser) {
  std::vector<TToken> tokens = Tokenize(sql, parser);
  const TOrderBy order = FindOrderBy(tokens);
  if (order.Order < 0) return {};
  std::size_t from = static_cast<std::size_t>(order.Order);
  if (from + 1 < tokens.size() && tokens[from + 1].Upper == "BY") ++from;
  TLayout layout(sql, parser);
  layout.Tokens = std::move(tokens);
  return layout.PartBetween(from, order.Next);
}

std::string TDASQLText::GetFrom(const std::string& sql, const TSQLParserClass& parser) {
  TLayout layout(sql, parser);
  if (layout.From < 0) return {};
  return layout.PartBetween(static_cast<std::size_t>(layout.From), layout.NextClause(layout.From));
}

std::string TDASQLText::GetWhere(const std::string& sql, const TSQLParserClass& parser) {
  TLayout layout(sql, parser);
  if (layout.Where < 0) return {};
  return layout.PartBetween(static_cast<std::size_t>(layout.Where), layout.NextClause(layout.Where));
}

}  // namespace lumo
