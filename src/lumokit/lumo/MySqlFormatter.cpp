#include <lumokit/lumo/MySqlFormatter.h>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/mysql/wire/MyParser.h>

namespace lumo {

const TSqlFunctionTable& MyFunctions() {
  static const TSqlFunctionTable functions{
      {"USER", "USER()"},
      {"CHAR_LENGTH", "CHAR_LENGTH(%s)"},
      {"LOCATE", "LOCATE(%s, %s)"},
      {"SUBSTRING", "SUBSTRING(%s, %s, %s)"},
      {"CONCAT", "CONCAT(%s, %s)"},
      {"CHAR", "CHAR(%s)"},
      {"TRIM", "TRIM(%s)"},
      {"TRUNCATE", "TRUNCATE(%s, %s)"},
      {"CEILING", "CEILING(%s)"},
      {"CURRENT_DATE", "CURRENT_DATE"},
      {"YEAR", "YEAR(%s)"},
      {"MONTH", "MONTH(%s)"},
      {"DAY", "EXTRACT(DAY FROM %s)"},
      {"DATEADD", "(%2:s + INTERVAL (%1:s) %0:s)"},
      {"__DATE_TIME_LITERAL", "CAST(%s AS DATETIME)"},
      {"__DATE_LITERAL", "CAST(%s AS DATE)"},
      {"__TIME_LITERAL", "CAST(%s AS TIME)"},
      {"TODATE", "CAST(%s AS DATETIME)"},
      {"TONUMBER", "CAST(%s AS DOUBLE)"},
      {"TOCHAR", "CAST(%s AS CHAR)"},
  };
  return functions;
}

const TSqlMacroTable& MyMacros() {
  static const TSqlMacroTable macros{
      {"PROVIDER", "MySQL"}, {"MYSQL", ""}, {"DATETIME", "DATETIME"}, {"DOUBLE", "DOUBLE"}, {"VARCHAR", "VARCHAR"},
  };
  return macros;
}

TMySqlFormatter::TMySqlFormatter() {
  SetFunctions(&MyFunctions());
  SetPredefinedMacros(&MyMacros());
  SetParserClass(ParserClassOf<TMyLumoParser>());
}

std::string TMySqlFormatter::GetFunction(const std::string& name, const std::vector<std::string>& args) const {
  if (AsciiUpperCase(name) != "DATEDIFF") return TLumoSqlFormatter::GetFunction(name, args);
  if (args.size() != 3) throw Exception(Format("Wrong argument count for function: %s", {"DATEDIFF"}));
  const std::string& s = args[1];
  const std::string& e = args[2];
  const std::string part = AsciiLowerCase(args[0]);
  const std::string days = "(TO_DAYS(" + e + ")" + " - " + " TO_DAYS(" + s + "))";
  const std::string seconds = "(TIME_TO_SEC(" + e + ") - TIME_TO_SEC(" + s + "))";
  if (part == "year")
    return "FLOOR((PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM " + e + "), EXTRACT(YEAR_MONTH FROM " + s + ")))/12)";
  if (part == "month") return "PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM " + e + "), EXTRACT(YEAR_MONTH FROM " + s + "))";
  if (part == "day") return days;
  if (part == "hour") return "(" + days + "*24 + " + "TRUNCATE(" + seconds + "/3600, 0))";
  if (part == "minute") return "(" + days + "*1440 + " + " TRUNCATE(" + seconds + "/60, 0))";
  if (part == "second") return "(" + days + "*86400 + " + seconds + ")";
  if (part == "millisecond") return "(" + days + "*86400000 + " + seconds + "*1000)";
  throw Exception(Format("Unknown datepart: %s", {args[0]}));
}

}  // namespace lumo
