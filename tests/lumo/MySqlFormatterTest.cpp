// The MySQL SQL formatter: the texts of its templates, DATEDIFF and macros,
// its errors, and — against the test server — every function template and
// every DATEDIFF form executed after expansion, through a connection made
// and set up by the MySQL provider.
#include <lumokit/lumo/MySqlFormatter.h>

#include <gtest/gtest.h>

#include <lumokit/lumo/MySQLLumoProvider.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include "LumoTestProvider.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::ErrorOf;
using test::OptionLines;
using test::TestServer;

std::string Expanded(std::string sql, TLumoSqlFormatter* formatter = nullptr) {
  TMySqlFormatter own;
  (formatter ? *formatter : own).Expand(sql);
  return sql;
}

TEST(MySqlFormatter, TemplatesMacrosAndQuotes) {
  EXPECT_EQ(Expanded("SELECT {fn TOCHAR(n)}"), "SELECT CAST(n AS CHAR)");
  EXPECT_EQ(Expanded("{fn DATEADD(DAY, n + 1, d)}"), "(d + INTERVAL (n + 1) DAY)");
  EXPECT_EQ(Expanded("{date '2014-01-31'}"), "CAST('2014-01-31' AS DATE)");
  EXPECT_EQ(Expanded("{timestamp '2014-01-31 10:11:12'}"), "CAST('2014-01-31 10:11:12' AS DATETIME)");
  EXPECT_EQ(Expanded("{fn CURRENT_DATE}"), "CURRENT_DATE");
  EXPECT_EQ(Expanded("{fn SUBSTRING(s, 2, 3)}"), "SUBSTRING(s, 2, 3)");
  EXPECT_EQ(Expanded("{fn DAY(d)}"), "EXTRACT(DAY FROM d)");
  EXPECT_EQ(Expanded("{PROVIDER}"), "MySQL");
  EXPECT_EQ(Expanded("{if MYSQL}a{else}b{endif}"), "a");
  EXPECT_EQ(Expanded("{if ORACLE}a{else}b{endif}"), "b");
  EXPECT_EQ(Expanded("CREATE TABLE t (c {VARCHAR}(10), d {DATETIME}, e {DOUBLE})"),
            "CREATE TABLE t (c VARCHAR(10), d DATETIME, e DOUBLE)");
  EXPECT_EQ(Expanded("SELECT \"my col\" FROM \"a`b\""), "SELECT `my col` FROM `a``b`");
}

TEST(MySqlFormatter, DateDiffFormsAndErrors) {
  EXPECT_EQ(Expanded("{fn DATEDIFF(day, a, b)}"), "(TO_DAYS(b) -  TO_DAYS(a))");
  EXPECT_EQ(Expanded("{fn datediff(Month, a, b)}"),
            "PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM b), EXTRACT(YEAR_MONTH FROM a))");
  EXPECT_EQ(Expanded("{fn DATEDIFF(year, a, b)}"),
            "FLOOR((PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM b), EXTRACT(YEAR_MONTH FROM a)))/12)");
  EXPECT_EQ(Expanded("{fn DATEDIFF(HOUR, a, b)}"),
            "((TO_DAYS(b) -  TO_DAYS(a))*24 + TRUNCATE((TIME_TO_SEC(b) - TIME_TO_SEC(a))/3600, 0))");
  EXPECT_EQ(Expanded("{fn DATEDIFF(minute, a, b)}"),
            "((TO_DAYS(b) -  TO_DAYS(a))*1440 +  TRUNCATE((TIME_TO_SEC(b) - TIME_TO_SEC(a))/60, 0))");
  EXPECT_EQ(Expanded("{fn DATEDIFF(second, a, b)}"),
            "((TO_DAYS(b) -  TO_DAYS(a))*86400 + (TIME_TO_SEC(b) - TIME_TO_SEC(a)))");
  EXPECT_EQ(Expanded("{fn DATEDIFF(millisecond, a, b)}"),
            "((TO_DAYS(b) -  TO_DAYS(a))*86400000 + (TIME_TO_SEC(b) - TIME_TO_SEC(a))*1000)");

  EXPECT_EQ(ErrorOf([] { Expanded("{fn char_length(s)}"); }), "Unknown function: char_length");
  EXPECT_EQ(ErrorOf([] { Expanded("{fn NOSUCH(s)}"); }), "Unknown function: NOSUCH");
  EXPECT_EQ(ErrorOf([] { Expanded("{fn DATEDIFF(day, a)}"); }), "Wrong argument count for function: DATEDIFF");
  EXPECT_EQ(ErrorOf([] { Expanded("{fn datediff(day, a, b, c)}"); }), "Wrong argument count for function: DATEDIFF");
  EXPECT_EQ(ErrorOf([] { Expanded("{fn DATEDIFF(week, a, b)}"); }), "Unknown datepart: week");
  EXPECT_EQ(ErrorOf([] { Expanded("{fn CONCAT(a)}"); }), "Wrong argument count for function: CONCAT");
}

// ---- against the test server ----------------------------------------------------------------

std::unique_ptr<TKxConnection> Connect(TLumoProvider& p) {
  std::unique_ptr<TKxConnection> c = p.GetConnectionClass().Create();
  p.SetObjectProps(*c, OptionLines{"MySQL.UseUnicode=True"});
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  c->SetProp(prDatabase, TestServer().scratchDatabase);
  c->Connect("");
  return c;
}

// The first value of the expanded statement's first row, as the server
// writes it as text.
std::string Value(TLumoProvider& p, TKxConnection& c, const std::string& expr, const std::string& from = "") {
  std::string sql = "SELECT CAST((" + expr + ") AS CHAR)" + from;
  auto formatter = p.GetSqlFormatterClass().Create();
  formatter->Expand(sql);
  std::unique_ptr<TKxRecordSet> rs = p.GetRecordSetClass().Create();
  rs->SetConnection(&c);
  p.SetObjectProps(*rs, OptionLines{});
  rs->SetSQL(sql);
  rs->Open();
  TRecBuf rec = rs->AllocRecBuf();
  rs->SetToBegin();
  rs->GetNextRecord(rec.get());
  EXPECT_FALSE(rs->GetEOF()) << sql;
  const Variant v = rs->GetFieldAsVariant(1, rec.get());
  return v.IsNull() ? "NULL" : v.AsString();
}

TEST(MySqlFormatterServer, EveryTemplateRunsOnTheServer) {
  LUMO_REQUIRE_SERVER();
  RegisterMySQLProvider();
  TLumoProvider& p = *LumoProviders().GetProvider("MySQL");
  auto c = Connect(p);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{fn CHAR_LENGTH('abc')}", "3"},
      {"{fn LOCATE('b', 'abc')}", "2"},
      {"{fn SUBSTRING('abcdef', 2, 3)}", "bcd"},
      {"{fn CONCAT('ab', 'cd')}", "abcd"},
      {"{fn CHAR(65)}", "A"},
      {"{fn TRIM('  x  ')}", "x"},
      {"{fn TRUNCATE(1.987, 2)}", "1.98"},
      {"{fn CEILING(1.2)}", "2"},
      {"{fn CURRENT_DATE} = CURRENT_DATE", "1"},
      {"{fn YEAR({date '2014-01-31'})}", "2014"},
      {"{fn MONTH({date '2014-01-31'})}", "1"},
      {"{fn DAY({date '2014-01-31'})}", "31"},
      {"{fn DATEADD(DAY, 5, {date '2014-01-31'})}", "2014-02-05"},
      {"{fn DATEADD(MONTH, '2', {date '2014-01-31'})}", "2014-03-31"},
      {"{date '2014-01-31'}", "2014-01-31"},
      {"{time '10:11:12'}", "10:11:12"},
      {"{timestamp '2014-01-31 10:11:12'}", "2014-01-31 10:11:12"},
      {"{fn TODATE('2014-01-31 10:11:12')}", "2014-01-31 10:11:12"},
      {"{fn TONUMBER('1.5')} * 2", "3"},
      {"{fn TOCHAR(42)}", "42"},
      {"{fn DATEDIFF(year, {date '2010-06-15'}, {date '2014-01-31'})}", "3"},
      {"{fn DATEDIFF(month, {date '2010-06-15'}, {date '2014-01-31'})}", "43"},
      {"{fn DATEDIFF(day, {date '2014-01-01'}, {date '2014-01-31'})}", "30"},
      {"{fn DATEDIFF(day, {date '2014-01-01'}, {date '2014-01-31'})} * 2", "60"},
      {"{fn DATEDIFF(hour, {timestamp '2014-01-01 10:00:00'}, {timestamp '2014-01-02 12:30:00'})}", "26"},
      {"{fn DATEDIFF(minute, {timestamp '2014-01-01 10:00:00'}, {timestamp '2014-01-02 12:30:00'})}", "1590"},
      {"{fn DATEDIFF(second, {timestamp '2014-01-01 10:00:00'}, {timestamp '2014-01-02 12:30:00'})}", "95400"},
      {"{fn DATEDIFF(millisecond, {timestamp '2014-01-01 10:00:00'}, {timestamp '2014-01-02 12:30:00'})} - 1",
       "95399999"},
  };
  for (const auto& [expr, expected] : cases) EXPECT_EQ(Value(p, *c, expr), expected) << expr;
  EXPECT_EQ(Value(p, *c, "{fn USER()}").substr(0, TestServer().user.size() + 1), TestServer().user + "@");

  // A column and an expression as the amount of DATEADD.
  auto& my = dynamic_cast<TMySQLConnection&>(*c);
  my.ExecStatement("DROP TABLE IF EXISTS fmt_dateadd");
  my.ExecStatement("CREATE TABLE fmt_dateadd (n INT, d DATE)");
  my.ExecStatement("INSERT INTO fmt_dateadd VALUES (3, '2014-01-31')");
  EXPECT_EQ(Value(p, *c, "{fn DATEADD(DAY, n, d)}", " FROM fmt_dateadd"), "2014-02-03");
  EXPECT_EQ(Value(p, *c, "{fn DATEADD(DAY, n * 2, \"d\")}", " FROM fmt_dateadd"), "2014-02-06");
  EXPECT_EQ(Value(p, *c, "{fn DATEDIFF(day, d, {fn DATEADD(DAY, n, d)})}", " FROM fmt_dateadd"), "3");
  my.ExecStatement("DROP TABLE fmt_dateadd");
}

}  // namespace
}  // namespace lumo
