#include <lumokit/lumo/LumoProviderFormatter.h>

#include <gtest/gtest.h>

#include <lumokit/mysql/wire/MyParser.h>

namespace lumo {
namespace {

// A formatter with back-quotes, a few templates and predefined macros, over
// the lexer of the front (double quotes and back-quotes name identifiers).
class BackQuoteFormatter : public TLumoSqlFormatter {
 public:
  BackQuoteFormatter() {
    SetFunctions(&Functions());
    SetPredefinedMacros(&Macros());
    SetParserClass(ParserClassOf<TMyLumoParser>());
  }
  char LeftQuote() const override { return '`'; }
  char RightQuote() const override { return '`'; }

  static const TSqlFunctionTable& Functions() {
    static const TSqlFunctionTable table{
        {"USER", "USER()"},
        {"CURRENT_DATE", "CURRENT_DATE"},
        {"CHAR_LENGTH", "CHAR_LENGTH(%s)"},
        {"CONCAT", "CONCAT(%s, %s)"},
        {"SUBSTRING", "SUBSTRING(%s, %s, %s)"},
        {"DATEADD", "(%2:s + INTERVAL '%1:s' %0:s)"},
        {"__DATE_LITERAL", "CAST(%s AS DATE)"},
        {"__TIME_LITERAL", "CAST(%s AS TIME)"},
        {"__DATE_TIME_LITERAL", "CAST(%s AS DATETIME)"},
    };
    return table;
  }
  static const TSqlMacroTable& Macros() {
    static const TSqlMacroTable table{{"PROVIDER", "MySQL"}, {"MYSQL", ""}, {"VARCHAR", "VARCHAR"}};
    return table;
  }
};

class FormatterTest : public ::testing::Test {
 protected:
  std::string Expand(std::string sql) {
    formatter.SetUserMacros(&names, &values);
    formatter.Expand(sql);
    return sql;
  }
  std::string ErrorOf(std::string sql) {
    try {
      Expand(std::move(sql));
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(no error)";
  }
  void AddMacro(const char* name, const char* value) {
    names.Add(name);
    values.Add(value);
  }

  BackQuoteFormatter formatter;
  TStringList names, values;
};

TEST_F(FormatterTest, TextsWithoutEscapesStayAsTheyAre) {
  EXPECT_EQ(Expand("SELECT a FROM t WHERE b = 'x'"), "SELECT a FROM t WHERE b = 'x'");
  EXPECT_EQ(Expand("SELECT '{fn USER}', `a{b}` /* {x} */ FROM t"), "SELECT '{fn USER}', `a{b}` /* {x} */ FROM t");
  EXPECT_EQ(Expand("SELECT \x01 \"a\""), "SELECT \x01 `a`");  // a byte the lexer does not know
}

TEST_F(FormatterTest, FunctionsFillTheirTemplates) {
  EXPECT_EQ(Expand("SELECT {fn USER}, {fn USER()}, {fn CURRENT_DATE}"), "SELECT USER(), USER(), CURRENT_DATE");
  EXPECT_EQ(Expand("SELECT {fn CONCAT( a ,'x, y')}"), "SELECT CONCAT(a, 'x, y')");
  EXPECT_EQ(Expand("{fn SUBSTRING(name, f(1, 2), 3)}"), "SUBSTRING(name, f(1, 2), 3)");
  EXPECT_EQ(Expand("{fn DATEADD(day, 5, d)}"), "(d + INTERVAL '5' day)");
  EXPECT_EQ(Expand("{fn CHAR_LENGTH({fn CONCAT(a, {fn USER})})}"), "CHAR_LENGTH(CONCAT(a, USER()))");
  EXPECT_EQ(TLumoSqlFormatter::ApplyTemplate("F", "x LIKE '%%a%' AND %0:s", {"b"}), "x LIKE '%a%' AND b");
}

TEST_F(FormatterTest, FunctionErrors) {
  EXPECT_EQ(ErrorOf("{fn concat(a, b)}"), "Unknown function: concat");
  EXPECT_EQ(ErrorOf("{fn CONCAT(a)}"), "Wrong argument count for function: CONCAT");
  EXPECT_EQ(ErrorOf("{fn CONCAT(a, b, c, d)}"), "Wrong argument count for function: CONCAT");
  EXPECT_EQ(ErrorOf("{fn USER(a)}"), "Wrong argument count for function: USER");
  EXPECT_EQ(ErrorOf("{fn CONCAT(a, (b)}"), "Invalid bracket count in function call");
  EXPECT_EQ(ErrorOf("{fn 'x'}"), "Empty function name");
  EXPECT_EQ(ErrorOf("{fn}"), "Empty function name");
  EXPECT_EQ(ErrorOf("{fn USER x}"), "Unexpected character");
  EXPECT_EQ(ErrorOf("{fn CONCAT(a, b) c}"), "Unexpected character");
  EXPECT_EQ(ErrorOf("{fn(a)}"), "Unexpected character");
  EXPECT_EQ(ErrorOf("SELECT {fn USER"), "'}' expected");
}

TEST_F(FormatterTest, DateAndTimeLiterals) {
  EXPECT_EQ(Expand("WHERE d = {date '2014-01-31'}"), "WHERE d = CAST('2014-01-31' AS DATE)");
  EXPECT_EQ(Expand("{time  '10:20:30' }"), "CAST('10:20:30' AS TIME)");
  EXPECT_EQ(Expand("{timestamp '2014-01-31 10:20:30'}"), "CAST('2014-01-31 10:20:30' AS DATETIME)");
  EXPECT_EQ(ErrorOf("{date 2014-01-31}"), "Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}");
  EXPECT_EQ(ErrorOf("{date '2014' '01'}"), "Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}");
  EXPECT_EQ(ErrorOf("{time 10:20:30}"), "Invalid hour-minute-second string. The format is {time 'hh:mm:ss'}");
  AddMacro("Q", "'2014-01-31");  // an unclosed literal from a macro
  EXPECT_EQ(ErrorOf("{date {Q}}"), "Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}");
  EXPECT_EQ(ErrorOf("{timestamp}"),
            "Invalid timestamp string. The format is {timestamp 'yyyy-mm-dd hh:mm:ss'}");
}

TEST_F(FormatterTest, ConditionalParts) {
  EXPECT_EQ(Expand("A{if MySQL} B{else} C{endif} D"), "A B D");
  EXPECT_EQ(Expand("A{if ORACLE} B{else} C{endif} D"), "A C D");
  EXPECT_EQ(Expand("{if}x{endif}{if mysql}{if oracle}y{else}z{endif}{endif}"), "xz");
  // Nothing in a false part is evaluated.
  EXPECT_EQ(Expand("{if ORACLE}{fn NVL2(a, b, c)}{date x}{endif}ok"), "ok");
  AddMacro("Oracle", "1");
  EXPECT_EQ(Expand("{if oracle }yes{endif}"), "yes");

  EXPECT_EQ(ErrorOf("a{else}"), "Unexpected {else}");
  EXPECT_EQ(ErrorOf("{if MYSQL}a{else}b{else}c{endif}"), "Unexpected {else}");
  EXPECT_EQ(ErrorOf("a{endif}"), "Unexpected {endif}");
  EXPECT_EQ(ErrorOf("{if MYSQL}a"), "{if} statement not completed");
}

TEST_F(FormatterTest, Macros) {
  EXPECT_EQ(Expand("SELECT '{PROVIDER}', {provider}"), "SELECT '{PROVIDER}', MySQL");
  EXPECT_EQ(Expand("CAST(a AS {VARCHAR (20)})"), "CAST(a AS VARCHAR (20))");
  EXPECT_EQ(Expand("[{UNDEFINED}][{UNDEFINED with body}]"), "[][]");
  AddMacro("provider", "Mine");  // user macros come first
  AddMacro("tab", "{PROVIDER}_t");
  EXPECT_EQ(Expand("{PROVIDER} {tab}"), "Mine Mine_t");

  EXPECT_EQ(ErrorOf("{{x}"), "Empty macro or function name");
  EXPECT_EQ(ErrorOf("{ fn USER}"), "Empty macro or function name");
  EXPECT_EQ(ErrorOf("{PROVIDER("), "Unexpected character");
}

TEST_F(FormatterTest, SelfReferencesAndDeepNestingRaiseInsteadOfRecursing) {
  AddMacro("A", "x{A}");
  AddMacro("B", "{C}");
  AddMacro("C", "{b}");
  EXPECT_EQ(ErrorOf("SELECT {A}"), "Cyclic macro reference: A");
  EXPECT_EQ(ErrorOf("SELECT {B}"), "Cyclic macro reference: B");
  AddMacro("D", "d");
  EXPECT_EQ(Expand("{D {D}}"), "d d");  // the same macro in its own body is no cycle

  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "{fn CHAR_LENGTH(";
  deep += "a";
  for (int i = 0; i < 5000; ++i) deep += ")}";
  EXPECT_EQ(ErrorOf(deep), "Escapes are nested too deeply");
}

TEST_F(FormatterTest, DoubleQuotedNamesGetTheServerQuotes) {
  EXPECT_EQ(Expand("SELECT \"my col\" FROM \"t\""), "SELECT `my col` FROM `t`");
  EXPECT_EQ(Expand("SELECT \"a`b\""), "SELECT `a``b`");   // the back-quote cannot end the name
  EXPECT_EQ(Expand("SELECT \"a\"\"b\""), "SELECT `a\"b`");
  EXPECT_EQ(Expand("SELECT `kept` FROM t"), "SELECT `kept` FROM t");

  TLumoSqlFormatter base;  // double quotes stay double quotes
  std::string sql = "SELECT \"x\" FROM t";
  base.Expand(sql);
  EXPECT_EQ(sql, "SELECT \"x\" FROM t");
}

TEST_F(FormatterTest, LineCommentsBecomeBlockComments) {
  EXPECT_EQ(Expand("SELECT 1 -- one\nFROM t"), "SELECT 1 /* one*/\nFROM t");
  EXPECT_EQ(Expand("SELECT 1 -- a */ b\n"), "SELECT 1 -- a */ b\n");
  EXPECT_EQ(Expand("SELECT \"a\" # -- hash\n"), "SELECT `a` # -- hash\n");
}

class ServerBraceFormatter : public TLumoSqlFormatter {
 public:
  bool IsServerKeywordLexem(TSQLParser& parser, int) const override { return parser.LexemView() == "?"; }
};

TEST(LumoSqlFormatterTest, ServerSyntaxAfterABraceIsKept) {
  ServerBraceFormatter formatter;
  std::string sql = "{?= call p}";
  formatter.Expand(sql);
  EXPECT_EQ(sql, "{?= call p}");

  std::string unknown = "{fn F}";
  try {
    formatter.Expand(unknown);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unknown function: F");
  }
}

}  // namespace
}  // namespace lumo
