// The MySQL SQL formatter: TMySqlFormatter hands the server-independent
// formatter the MySQL function templates (MyFunctions), the predefined
// macros (MyMacros), the MySQL lexer and the back-quote, and builds the
// DATEDIFF call, whose text depends on its date part.
//
// Decisions:
// - TOCHAR is "CAST(%s AS CHAR)": a cast to VARCHAR is a syntax error on
//   MySQL and MariaDB.
// - DATEADD puts its amount in parentheses, "(%2:s + INTERVAL (%1:s) %0:s)":
//   a quoted amount made a column or an expression a string (read as 0).
// - The DATEDIFF forms for day, hour, minute, second and millisecond are
//   sums and differences; each is wrapped in parentheses, so the call can
//   stand inside a larger expression ({fn DATEDIFF(day, a, b)} * 2) without
//   the operators around it binding to its parts.
// - Function names in the table match exactly (upper case). A name that is
//   not there is compared with "DATEDIFF" ignoring case; any other raises
//   "Unknown function: %s" with the name as written.
// - The tables are built once, on first use, and live for the whole run;
//   after that they are only read, from any thread.
#pragma once

#include <string>
#include <vector>

#include <lumokit/lumo/LumoProviderFormatter.h>

namespace lumo {

// The MySQL function templates.
const TSqlFunctionTable& MyFunctions();
// The MySQL predefined macros.
const TSqlMacroTable& MyMacros();

class TMySqlFormatter : public TLumoSqlFormatter {
 public:
  TMySqlFormatter();

  char LeftQuote() const override { return '`'; }
  char RightQuote() const override { return '`'; }
  // DATEDIFF(datepart, start, end); raises "Unknown function: %s",
  // "Wrong argument count for function: %s" or "Unknown datepart: %s".
  std::string GetFunction(const std::string& name, const std::vector<std::string>& args) const override;
};

}  // namespace lumo
