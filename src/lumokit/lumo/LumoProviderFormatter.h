// The server-independent SQL formatter: expands the escapes in braces that
// a statement may carry ({fn NAME(args)}, {date '...'}, {time '...'},
// {timestamp '...'}, {if MACRO} ... {else} ... {endif} and macro escapes),
// gives double-quoted identifiers the server's quotes and turns "--"
// comments into block comments. A provider supplies the function templates,
// the predefined macros, the lexer and the quote characters.
//
// Decisions:
// - A text without "{", "\"" and "--" is left as it is without being read.
// - Function templates know two kinds of places: "%s" (the next argument)
//   and "%N:s" (argument N, from 0; the next "%s" then takes N + 1); "%%"
//   is a "%". Any other "%" is copied. A call must give exactly as many
//   arguments as the template has distinct places, else "Wrong argument
//   count for function: %s". Arguments are trimmed; "()" with nothing but
//   blanks inside is a call without arguments; text after the closing ")"
//   raises "Unexpected character".
// - Macro names are looked up ignoring case, user macros first; a macro that
//   (directly or through others) expands itself raises "Cyclic macro
//   reference: %s". Escapes nest at most MaxNestingDepth levels deep
//   ("Escapes are nested too deeply"), so a hostile text cannot exhaust the
//   stack.
// - A double-quoted identifier loses its quotes and its doubled inner
//   quotes; the name is written between LeftQuote and RightQuote with every
//   RightQuote inside doubled, so a quote character in the name cannot end
//   it early.
// - Inside a part whose condition is false nothing is evaluated: functions,
//   literals and macros there raise no errors.
// - An escape without its closing "}" raises "'}' expected". A byte the
//   lexer does not know is copied as it is.
// - Errors are plain errors (lumo::Exception).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxParser.h>
#include <lumokit/core/StringList.h>

namespace lumo {

// Case-insensitive (ASCII) order for macro tables.
struct TAsciiNoCaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// Function name -> template (names match exactly, as written in the escape).
using TSqlFunctionTable = std::map<std::string, std::string, std::less<>>;
// Macro name -> text (names match ignoring case).
using TSqlMacroTable = std::map<std::string, std::string, TAsciiNoCaseLess>;

class TLumoSqlFormatter {
 public:
  static constexpr int MaxNestingDepth = 64;

  TLumoSqlFormatter();
  TLumoSqlFormatter(const TLumoSqlFormatter&) = delete;
  TLumoSqlFormatter& operator=(const TLumoSqlFormatter&) = delete;
  virtual ~TLumoSqlFormatter();

  virtual char LeftQuote() const { return '"'; }
  virtual char RightQuote() const { return '"'; }
  // Whether "{" followed by the current lexeme is server syntax to keep.
  virtual bool IsServerKeywordLexem(TSQLParser& parser, int code) const;
  // The text of a function the table does not have; raises "Unknown
  // function: %s" here.
  virtual std::string GetFunction(const std::string& name, const std::vector<std::string>& args) const;

  // The connection's macros (parallel lists, not owned; nullptr for none).
  void SetUserMacros(const TStrings* names, const TStrings* values);
  // Expands every escape of `sql` in place.
  void Expand(std::string& sql);
  // An empty body, or the name of a user or predefined macro.
  bool CheckIfCondition(std::string_view body) const;
  void SetParserClass(TSQLParserClass value) { FParserClass = value; }
  TSQLParserClass ParserClass() const noexcept { return FParserClass; }

  // Puts the arguments into a template (see the decisions above).
  static std::string ApplyTemplate(const std::string& name, std::string_view tmpl,
                                   const std::vector<std::string>& args);

 protected:
  // The provider's tables (not owned; nullptr for none).
  void SetFunctions(const TSqlFunctionTable* value) noexcept { FFunctions = value; }
  void SetPredefinedMacros(const TSqlMacroTable* value) noexcept { FPredefinedMacros = value; }

 private:
  class TExpansion;
  friend class TExpansion;

  // A lexer over `text` that keeps blanks, comments, quotes and case.
  std::unique_ptr<TSQLParser> CreateParser(std::string_view text) const;
  // The text of the macro `name`, or nullptr when there is none.
  const std::string* FindMacro(std::string_view name) const;
  std::string CallFunction(const std::string& body) const;

  const TSqlFunctionTable* FFunctions = nullptr;
  const TSqlMacroTable* FPredefinedMacros = nullptr;
  const TStrings* FUserMacroNames = nullptr;
  const TStrings* FUserMacroValues = nullptr;
  TSQLParserClass FParserClass;
};

}  // namespace lumo
