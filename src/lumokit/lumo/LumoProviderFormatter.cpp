#include <lumokit/lumo/LumoProviderFormatter.h>

#include <algorithm>
#include <memory>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

namespace {

[[noreturn]] void FormatterError(std::string message) { throw Exception(std::move(message)); }

bool IsPunct(const TSQLParser& parser, int code, std::string_view text) {
  return code != lcEnd && code != lcString && code != lcIdent && code != lcComment && code != lcBlank &&
         code != lcNumber && parser.LexemView() == text;
}

// An identifier written without quotes, or a keyword.
bool IsWord(TSQLParser& parser, int code) {
  if (code == lcIdent) {
    const std::string_view text = parser.LexemView();
    if (text.empty()) return false;
    const auto first = static_cast<unsigned char>(text[0]);
    return first >= 0x80 || first == '_' || IsAsciiUpper(static_cast<char>(first)) ||
           IsAsciiLower(static_cast<char>(first));
  }
  return code > 0 && !parser.IsSymbolCode(code);
}

// The next lexeme; a byte the lexer does not know is handed to `unknown`
// (with its offset) and skipped.
template <class Unknown>
int NextToken(TSQLParser& parser, Unknown unknown) {
  for (;;) {
    try {
      return parser.GetNextToken();
    } catch (const EParserError& e) {
      unknown(e.Position());
    }
  }
}

int NextToken(TSQLParser& parser) {
  return NextToken(parser, [](std::int64_t) {});
}

// The next lexeme that is neither blank nor comment.
int NextSignificant(TSQLParser& parser) {
  int code;
  do code = NextToken(parser);
  while (code == lcBlank || code == lcComment);
  return code;
}

std::string Trimmed(std::string_view text) { return std::string(TrimView(text)); }

}  // namespace

bool TAsciiNoCaseLess::operator()(std::string_view a, std::string_view b) const noexcept {
  return CompareTextAscii(a, b) < 0;
}

// ---- one expansion ------------------------------------------------------------------------

// The state of one Expand call: the macros being expanded (to catch cycles)
// and the nesting depth.
class TLumoSqlFormatter::TExpansion {
 public:
  explicit TExpansion(const TLumoSqlFormatter& formatter) : F(formatter) {}

  std::string Run(std::string_view text, int depth);

 private:
  struct TCondition {
    bool Value;
    bool HadElse;
  };
  struct TEscape {
    std::string Word;
    bool HasBody = false;
    std::string Body;
  };

  // Reads the escape after "{"; false when "{" is followed by no word.
  bool ReadEscape(TSQLParser& parser, std::string_view text, int code, TEscape& escape);
  void Evaluate(const TEscape& escape, std::vector<TCondition>& conditions, bool active, int depth,
                std::string& out);
  std::string DateTimeLiteral(const std::string& word, const std::string& body) const;
  std::string ExpandMacro(const TEscape& escape, const std::string& body, int depth);
  void CopyLexeme(TSQLParser& parser, int code, std::string& out) const;

  const TLumoSqlFormatter& F;
  std::vector<std::string> FMacros;
};

std::string TLumoSqlFormatter::TExpansion::Run(std::string_view text, int depth) {
  if (depth > MaxNestingDepth) FormatterError("Escapes are nested too deeply");
  auto parser = F.CreateParser(text);
  std::vector<TCondition> conditions;
  std::string out;
  out.reserve(text.size());
  auto active = [&conditions] {
    return std::all_of(conditions.begin(), conditions.end(), [](const TCondition& c) { return c.Value; });
  };
  for (;;) {
    const int code = NextToken(*parser, [&](std::int64_t pos) {
      if (active()) out += text[static_cast<std::size_t>(pos)];
    });
    if (code == lcEnd) break;
    if (!IsPunct(*parser, code, "{")) {
      if (active()) CopyLexeme(*parser, code, out);
      continue;
    }
    const int next = NextToken(*parser, [](std::int64_t) { FormatterError("Empty macro or function name"); });
    TEscape escape;
    if (ReadEscape(*parser, text, next, escape)) {
      Evaluate(escape, conditions, active(), depth, out);
    } else if (F.IsServerKeywordLexem(*parser, next)) {
      if (active()) {
        out += '{';
        out += parser->LexemView();
      }
    } else {
      FormatterError("Empty macro or function name");
    }
  }
  if (!conditions.empty()) FormatterError("{if} statement not completed");
  return out;
}

bool TLumoSqlFormatter::TExpansion::ReadEscape(TSQLParser& parser, std::string_view text, int code,
                                               TEscape& escape) {
  if (!IsWord(parser, code)) return false;
  escape.Word = parser.Lexem();
  code = NextToken(parser, [](std::int64_t) { FormatterError("Unexpected character"); });
  if (IsPunct(parser, code, "}")) return true;
  if (code != lcBlank) FormatterError("Unexpected character");
  const auto bodyBegin = static_cast<std::size_t>(parser.CurrPos());
  int nesting = 1;
  for (;;) {
    code = NextToken(parser);
    if (code == lcEnd) FormatterError("'}' expected");
    if (IsPunct(parser, code, "{")) {
      ++nesting;
    } else if (IsPunct(parser, code, "}") && --nesting == 0) {
      const auto bodyEnd = static_cast<std::size_t>(parser.LexemPos());
      escape.HasBody = true;
      escape.Body = std::string(text.substr(bodyBegin, bodyEnd - bodyBegin));
      return true;
    }
  }
}

void TLumoSqlFormatter::TExpansion::Evaluate(const TEscape& escape, std::vector<TCondition>& conditions,
                                             bool active, int depth, std::string& out) {
  const std::string word = AsciiLowerCase(escape.Word);
  if (word == "if") {
    const std::string body = active && escape.HasBody ? Run(escape.Body, depth + 1) : escape.Body;
    conditions.push_back({F.CheckIfCondition(body), false});
    return;
  }
  if (word == "else") {
    if (conditions.empty() || conditions.back().HadElse) FormatterError("Unexpected {else}");
    conditions.back().Value = !conditions.back().Value;
    conditions.back().HadElse = true;
    return;
  }
  if (word == "endif") {
    if (conditions.empty()) FormatterError("Unexpected {endif}");
    conditions.pop_back();
    return;
  }
  if (!active) return;
  const std::string body = escape.HasBody ? Run(escape.Body, depth + 1) : std::string();
  if (word == "fn")
    out += F.CallFunction(body);
  else if (word == "date" || word == "time" || word == "timestamp")
    out += DateTimeLiteral(word, body);
  else
    out += ExpandMacro(escape, body, depth);
}

std::string TLumoSqlFormatter::TExpansion::DateTimeLiteral(const std::string& word, const std::string& body) const {
  std::string name, message;
  if (word == "date") {
    name = "__DATE_LITERAL";
    message = "Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}";
  } else if (word == "time") {
    name = "__TIME_LITERAL";
    message = "Invalid hour-minute-second string. The format is {time 'hh:mm:ss'}";
  } else {
    name = "__DATE_TIME_LITERAL";
    message = "Invalid timestamp string. The format is {timestamp 'yyyy-mm-dd hh:mm:ss'}";
  }
  // One closed single-quoted string and nothing else: a blank is appended
  // so that an unclosed string shows by running past the literal.
  const std::string literal = Trimmed(body);
  auto parser = F.CreateParser(literal + " ");
  const int code = NextToken(*parser, [&](std::int64_t) { FormatterError(message); });
  const bool valid = code == lcString && !literal.empty() && literal[0] == '\'' && parser->LexemPos() == 0 &&
                     parser->CurrPos() == static_cast<std::int64_t>(literal.size());
  if (!valid) FormatterError(message);
  const std::vector<std::string> args{literal};
  if (F.FFunctions) {
    auto it = F.FFunctions->find(name);
    if (it != F.FFunctions->end()) return ApplyTemplate(name, it->second, args);
  }
  return F.GetFunction(name, args);
}

std::string TLumoSqlFormatter::TExpansion::ExpandMacro(const TEscape& escape, const std::string& body, int depth) {
  const std::string name = AsciiUpperCase(TrimView(escape.Word));
  const std::string* text = F.FindMacro(name);
  if (!text) return {};
  if (std::find(FMacros.begin(), FMacros.end(), name) != FMacros.end())
    FormatterError(Format("Cyclic macro reference: %s", {name}));
  std::string value = *text;
  if (escape.HasBody) value += " " + body;
  FMacros.push_back(name);
  struct TPop {
    std::vector<std::string>& Stack;
    ~TPop() { Stack.pop_back(); }
  } pop{FMacros};
  return Run(value, depth + 1);
}

void TLumoSqlFormatter::TExpansion::CopyLexeme(TSQLParser& parser, int code, std::string& out) const {
  const std::string_view text = parser.LexemView();
  if (code == lcIdent && text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    // A double-quoted name: without its quotes and doubled inner quotes,
    // written with the server's quotes (the closing one doubled inside).
    const std::string_view inner = text.substr(1, text.size() - 2);
    out += F.LeftQuote();
    for (std::size_t i = 0; i < inner.size(); ++i) {
      const char ch = inner[i];
      if (ch == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
      if (ch == F.RightQuote()) out += ch;
      out += ch;
    }
    out += F.RightQuote();
    return;
  }
  if (code == lcComment && text.substr(0, 2) == "--" && text.find("*/") == std::string_view::npos) {
    out += "/*";
    out += text.substr(2);
    out += "*/";
    return;
  }
  out += text;
}

// ---- TLumoSqlFormatter ----------------------------------------------------------------------

TLumoSqlFormatter::TLumoSqlFormatter() : FParserClass(ParserClassOf<TSQLParser>()) {}

TLumoSqlFormatter::~TLumoSqlFormatter() = default;

bool TLumoSqlFormatter::IsServerKeywordLexem(TSQLParser&, int) const { return false; }

std::string TLumoSqlFormatter::GetFunction(const std::string& name, const std::vector<std::string>&) const {
  FormatterError(Format("Unknown function: %s", {name}));
}

void TLumoSqlFormatter::SetUserMacros(const TStrings* names, const TStrings* values) {
  FUserMacroNames = names;
  FUserMacroValues = values;
}

void TLumoSqlFormatter::Expand(std::string& sql) {
  if (sql.find_first_of("{\"") == std::string::npos && sql.find("--") == std::string::npos) return;
  TExpansion expansion(*this);
  sql = expansion.Run(sql, 0);
}

bool TLumoSqlFormatter::CheckIfCondition(std::string_view body) const {
  const std::string_view name = TrimView(body);
  return name.empty() || FindMacro(name) != nullptr;
}

std::unique_ptr<TSQLParser> TLumoSqlFormatter::CreateParser(std::string_view text) const {
  auto parser = FParserClass.Create(std::string(text));
  parser->SetOmitBlank(false);
  parser->SetOmitComment(false);
  parser->SetQuotedString(true);
  parser->SetUppered(false);
  return parser;
}

const std::string* TLumoSqlFormatter::FindMacro(std::string_view name) const {
  name = TrimView(name);
  if (FUserMacroNames) {
    for (int i = 0; i < FUserMacroNames->Count(); ++i) {
      if (!SameTextAscii(TrimView((*FUserMacroNames)[i]), name)) continue;
      static const std::string empty;
      return FUserMacroValues && i < FUserMacroValues->Count() ? &(*FUserMacroValues)[i] : &empty;
    }
  }
  if (FPredefinedMacros) {
    auto it = FPredefinedMacros->find(name);
    if (it != FPredefinedMacros->end()) return &it->second;
  }
  return nullptr;
}

std::string TLumoSqlFormatter::CallFunction(const std::string& body) const {
  auto parser = CreateParser(body);
  int code = NextSignificant(*parser);
  if (!IsWord(*parser, code)) FormatterError("Empty function name");
  const std::string name = parser->Lexem();
  std::vector<std::string> args;
  code = NextSignificant(*parser);
  if (IsPunct(*parser, code, "(")) {
    auto argBegin = static_cast<std::size_t>(parser->CurrPos());
    int nesting = 1;
    while (nesting > 0) {
      code = NextToken(*parser);
      if (code == lcEnd) FormatterError("Invalid bracket count in function call");
      const bool close = IsPunct(*parser, code, ")");
      if (IsPunct(*parser, code, "(")) {
        ++nesting;
      } else if ((close && --nesting == 0) || (nesting == 1 && IsPunct(*parser, code, ","))) {
        const auto end = static_cast<std::size_t>(parser->LexemPos());
        args.push_back(Trimmed(std::string_view(body).substr(argBegin, end - argBegin)));
        argBegin = static_cast<std::size_t>(parser->CurrPos());
      }
    }
    if (args.size() == 1 && args[0].empty()) args.clear();
    code = NextSignificant(*parser);
  }
  if (code != lcEnd) FormatterError("Unexpected character");
  if (FFunctions) {
    auto it = FFunctions->find(name);
    if (it != FFunctions->end()) return ApplyTemplate(name, it->second, args);
  }
  return GetFunction(name, args);
}

std::string TLumoSqlFormatter::ApplyTemplate(const std::string& name, std::string_view tmpl,
                                             const std::vector<std::string>& args) {
  // Two passes over the places: count the arguments the template takes,
  // then fill them in.
  auto walk = [&tmpl](auto onText, auto onPlace) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
      if (tmpl[i] != '%' || i + 1 >= tmpl.size()) {
        onText(tmpl[i]);
        continue;
      }
      if (tmpl[i + 1] == '%') {
        onText('%');
        ++i;
      } else if (tmpl[i + 1] == 's') {
        onPlace(next++);
        ++i;
      } else {
        std::size_t j = i + 1, index = 0;
        while (j < tmpl.size() && tmpl[j] >= '0' && tmpl[j] <= '9' && j - i <= 4) index = index * 10 + (tmpl[j++] - '0');
        if (j > i + 1 && j + 1 < tmpl.size() && tmpl[j] == ':' && tmpl[j + 1] == 's') {
          onPlace(index);
          next = index + 1;
          i = j + 1;
        } else {
          onText('%');
        }
      }
    }
  };
  std::size_t needed = 0;
  walk([](char) {}, [&needed](std::size_t index) { needed = std::max(needed, index + 1); });
  if (args.size() != needed) FormatterError(Format("Wrong argument count for function: %s", {name}));
  std::string out;
  walk([&out](char ch) { out += ch; }, [&out, &args](std::size_t index) { out += args[index]; });
  return out;
}

}  // namespace lumo
