// Editing the text of a SELECT without a server: adding a condition to its
// WHERE clause, replacing or removing the WHERE clause, replacing its ORDER
// BY list, and reading its FROM, WHERE and ORDER BY parts. A dialect's lexer
// supplies the lexemes; only what stands outside parentheses (subqueries,
// derived tables, common table expressions) counts, and a WHERE written right
// after the macro character is a macro reference, not a clause.
//
// Decisions:
// - The statement's clauses are those of the first top-level SELECT (after
//   a leading WITH); it ends at a top-level UNION, INTERSECT, EXCEPT, MINUS
//   or ";". A clause after FROM or WHERE is any of GROUP, HAVING, WINDOW,
//   ORDER, LIMIT, OFFSET, FETCH, PROCEDURE, INTO, FOR and LOCK besides the
//   lexer's own clause words. ORDER BY is the top-level one after the last
//   set operator, since it orders the whole result.
// - AddWhere with an existing WHERE puts the old condition in parentheses
//   and appends " AND " and the new one; a new condition with a top-level
//   OR, XOR or "||" is put in parentheses too, otherwise it would extend
//   the old condition instead of narrowing it. A condition that ends in a
//   line comment is followed by a line break, so the comment cannot swallow
//   the text after it. Otherwise the texts are exactly: "\r\nWHERE " +
//   condition + " " before the next clause (or at the end); "(" before the
//   old condition and ")" (or "\r\n)" after a comment) + " AND " + condition
//   + " " before the next clause.
// - SetWhere and SetOrderBy keep one blank between the new clause and a
//   clause that follows it (the bare " WHERE " + condition would run into
//   the next keyword).
// - A byte the lexer does not know is passed over as text.
#pragma once

#include <string>
#include <string_view>

#include <lumokit/access/KxParser.h>

namespace lumo {

class TDASQLText {
 public:
  // The text with `condition` added to the WHERE clause (an empty or blank
  // condition leaves it unchanged).
  static std::string AddWhere(const std::string& sql, const std::string& condition, const TSQLParserClass& parser);
  // The text with its WHERE clause replaced by " WHERE " + condition, or
  // removed when the condition is empty.
  static std::string SetWhere(const std::string& sql, const std::string& condition, const TSQLParserClass& parser);
  static std::string DeleteWhere(const std::string& sql, const TSQLParserClass& parser) {
    return SetWhere(sql, {}, parser);
  }
  // The text with its ORDER BY replaced by " ORDER BY " + fields (";" read
  // as ","), or removed when fields is empty.
  static std::string SetOrderBy(const std::string& sql, const std::string& fields, const TSQLParserClass& parser);
  // The parts of the clauses (trimmed, empty when absent).
  static std::string GetOrderBy(const std::string& sql, const TSQLParserClass& parser);
  static std::string GetFrom(const std::string& sql, const TSQLParserClass& parser);
  static std::string GetWhere(const std::string& sql, const TSQLParserClass& parser);
  // Whether `condition` has an OR, XOR or "||" outside parentheses.
  static bool HasTopLevelOr(const std::string& condition, const TSQLParserClass& parser);
};

}  // namespace lumo
