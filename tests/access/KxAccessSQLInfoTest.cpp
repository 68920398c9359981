#include <lumokit/access/KxAccessSQLInfo.h>

#include <gtest/gtest.h>

#include <lumokit/core/StringList.h>

namespace lumo {
namespace {

class UpperSQLInfo : public TSQLInfo {
 public:
  TIdentCase IdentCase() const override { return icUpper; }
};

TEST(KxAccessSQLInfoTest, QuoteAndUnQuoteRoundTrip) {
  TSQLInfo info;
  struct Case {
    std::string Name, Quoted;
  };
  const std::vector<Case> cases = {
      {"abc", "\"abc\""},
      {"a\"b", "\"a\"\"b\""},
      {"\"", "\"\"\"\""},
      {"", "\"\""},
      // Looks quoted but ends its quotes early: quoted again, safely.
      {"\"x\"; DROP TABLE t; --\"", "\"\"\"x\"\"; DROP TABLE t; --\"\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(info.Quote(c.Name), c.Quoted);
    EXPECT_TRUE(info.IsQuoted(c.Quoted));
    EXPECT_EQ(info.UnQuote(c.Quoted), c.Name);
    EXPECT_EQ(info.Quote(c.Quoted), c.Quoted);  // a quoted name stays as it is
  }
  EXPECT_FALSE(info.IsQuoted("\"\"\""));
  EXPECT_FALSE(info.IsQuoted("\"a\"b\""));
  EXPECT_EQ(info.UnQuote("plain"), "plain");
  EXPECT_EQ(info.Quote("a]b", '[', ']'), "[a]]b]");
  EXPECT_EQ(info.UnQuote("[a]]b]", '[', ']'), "a]b");
  EXPECT_EQ(info.ToStringConst("it's ''"), "'it''s '''''");
}

TEST(KxAccessSQLInfoTest, QuotesNeeded) {
  TSQLInfo mixed;
  UpperSQLInfo upper;
  struct Case {
    const TSQLInfo& Info;
    std::string Name;
    bool Needed;
  };
  const std::vector<Case> cases = {
      {mixed, "Name_1", false}, {mixed, "x$1", false},    {mixed, "1Name", true},  {mixed, "my-name", true},
      {mixed, "a b", true},     {mixed, "_x", true},      {mixed, "", false},      {mixed, "gr\xC3\xB6\xC3\x9F" "e", true},
      {upper, "NAME_1", false}, {upper, "Name", true},    {upper, "nAME", true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.Info.QuotesNeeded(c.Name), c.Needed) << c.Name;
  EXPECT_EQ(mixed.QuoteIfNeed("a b"), "\"a b\"");
  EXPECT_EQ(mixed.QuoteIfNeed("ab"), "ab");
}

TEST(KxAccessSQLInfoTest, NormalizeName) {
  TSQLInfo mixed;
  UpperSQLInfo upper;
  struct Case {
    const TSQLInfo& Info;
    std::string Name;
    bool QuoteNames, UnQuoteNames;
    std::string Expected;
  };
  const std::vector<Case> cases = {
      {mixed, "sch.\"my tab\"", false, false, "sch.\"my tab\""},
      {mixed, "sch.\"my tab\"", false, true, "sch.my tab"},
      {mixed, "\"Sch\".tab", false, false, "Sch.tab"},
      {mixed, "tab", true, false, "\"tab\""},
      {mixed, "cat.sch.tab", true, false, "\"cat\".\"sch\".\"tab\""},
      {mixed, "\"a.b\".c", false, false, "\"a.b\".c"},
      {mixed, "\"a\"\".b\".c", false, false, "\"a\"\".b\".c"},
      {mixed, "\"a\"\".b\".c", false, true, "a\".b.c"},
      {upper, "abc", false, false, "ABC"},
      {upper, "\"abc\"", false, false, "\"abc\""},
      {upper, "abc", true, false, "\"abc\""},
      {upper, "\"ABC\"", false, false, "ABC"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.Info.NormalizeName(c.Name, c.QuoteNames, c.UnQuoteNames), c.Expected) << c.Name;
}

TEST(KxAccessSQLInfoTest, SplitObjectNameAndNameLists) {
  TSQLInfo info;
  struct Case {
    std::string Name, Catalog, Schema, Table;
  };
  const std::vector<Case> cases = {
      {"cat.sch.tab", "cat", "sch", "tab"},
      {"tab", "", "", "tab"},
      {"\"a.b\".tab", "", "\"a.b\"", "tab"},
      {"sch.\"t\"\".x\"", "", "sch", "\"t\"\".x\""},
      {"w.x.y.z", "w.x", "y", "z"},
  };
  for (const Case& c : cases) {
    TExtTableInfo ext;
    ext.Catalog = "stale";
    info.SplitObjectName(c.Name, ext);
    EXPECT_EQ(ext.Catalog, c.Catalog) << c.Name;
    EXPECT_EQ(ext.Schema, c.Schema) << c.Name;
    EXPECT_EQ(ext.Table, c.Table) << c.Name;
  }

  TStringList list;
  list.Add("old");
  info.NamesToList(" a , b;;c ,\"d,e\"; ", list);
  EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"a", "b", "c", "\"d,e\""}));
  EXPECT_EQ(info.NamesFromList(list), "a;b;c;\"d,e\"");
}

TEST(KxAccessSQLInfoTest, ParseTablesInfo) {
  TSQLInfo info;
  using Tables = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::string SQL;
    Tables Expected;
  };
  const std::vector<Case> cases = {
      {"SELECT * FROM a x JOIN b ON x.id = b.id WHERE x.n > 0", {{"a", "x"}, {"b", ""}}},
      {"select * from db.t AS tt, u order by 1", {{"db.t", "tt"}, {"u", ""}}},
      {"SELECT * FROM a LEFT OUTER JOIN b bb ON a.id = b.id INNER JOIN c ON (a.x = c.x AND c.y IN "
       "(SELECT y FROM z)) RIGHT JOIN d ON 1 = 1 FULL JOIN e ON e.i = d.i",
       {{"a", ""}, {"b", "bb"}, {"c", ""}, {"d", ""}, {"e", ""}}},
      {"SELECT * FROM (SELECT id FROM inner_t) s JOIN outer_t o ON s.id = o.id", {{"outer_t", "o"}}},
      {"SELECT * FROM (a JOIN b ON a.i = b.i) JOIN c ON c.i = a.i", {{"a", ""}, {"b", ""}, {"c", ""}}},
      {"SELECT * FROM ((a)), (b bb JOIN (c) ON 1=1) WHERE 1", {{"a", ""}, {"b", "bb"}, {"c", ""}}},
      {"SELECT * FROM \"My Table\" \"m\", \"s\".\"x.y\"", {{"My Table", "m"}, {"s.x.y", ""}}},
      {"SELECT (SELECT max(x) FROM y) AS m, f(z) FROM t GROUP BY m", {{"t", ""}}},
      {"SELECT * /* FROM fake */ FROM t -- JOIN u\n WHERE a", {{"t", ""}}},
      {"SELECT * FROM ONLY t, only", {{"t", ""}, {"only", ""}}},
      {"SELECT * FROM a UNION SELECT * FROM b", {{"a", ""}}},
      {"SELECT * FROM a CROSS JOIN b NATURAL JOIN c JOIN d USING (id) STRAIGHT_JOIN e",
       {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"e", ""}}},
      {"SELECT * FROM t USE INDEX (i1) JOIN u FORCE INDEX (i2) ON 1=1", {{"t", ""}, {"u", ""}}},
      {"(SELECT * FROM t) UNION (SELECT * FROM u)", {{"t", ""}}},
      {"SELECT * FROM t LIMIT 10", {{"t", ""}}},
      {"SELECT a FROM t x FOR UPDATE", {{"t", "x"}}},
      {"SELECT * FROM a JOIN b ON a.i = b.i AND NOT b.j IS NULL LIMIT 1", {{"a", ""}, {"b", ""}}},
      {"SELECT 1", {}},
      {"UPDATE t SET a = 1", {}},
      {"SELECT * FROM t\x01 x", {{"t", "x"}}},
  };
  for (const Case& c : cases) {
    TKxTablesInfo tables;
    tables.Add().SetTableName("stale");
    info.ParseTablesInfo(c.SQL, tables);
    Tables got;
    for (int i = 0; i < tables.Count(); ++i) got.emplace_back(tables[i].TableName(), tables[i].TableAlias());
    EXPECT_EQ(got, c.Expected) << c.SQL;
  }
}

TEST(KxAccessSQLInfoTest, TableNameCaseFollowsTheServer) {
  for (bool sensitive : {false, true}) {
    SCOPED_TRACE(sensitive);
    TSQLInfo info;
    info.SetTableNamesCaseSensitive(sensitive);
    TKxTablesInfo tables;
    info.ParseTablesInfo("SELECT * FROM T a JOIN t b ON a.x = b.x", tables);
    ASSERT_EQ(tables.Count(), 2);
    EXPECT_EQ(tables.CaseSensitive(), sensitive);
    EXPECT_EQ(tables.IndexByName("t"), sensitive ? 1 : 0);
    EXPECT_EQ(tables.IndexByName("T"), 0);
    EXPECT_EQ(tables.IndexByAlias("B"), sensitive ? -1 : 1);
    // The same answers while an update is open (linear search).
    tables.BeginUpdate();
    EXPECT_EQ(tables.IndexByName("t"), sensitive ? 1 : 0);
    EXPECT_EQ(tables.IndexByAlias("B"), sensitive ? -1 : 1);
    tables.EndUpdate();
    // Renaming an entry is seen by the index.
    tables[1].SetTableName("renamed");
    EXPECT_EQ(tables.FindByName("RENAMED"), sensitive ? nullptr : &tables[1]);
    EXPECT_EQ(tables.IndexOf(&tables[1]), 1);
  }
}

TEST(KxAccessSQLInfoTest, ParseColumnsInfo) {
  TSQLInfo info;
  TColumnsInfo columns;
  info.ParseColumnsInfo(
      "SELECT DISTINCT a, t.b AS bb, count(*) cnt, 'x' c, *, s.t.\"C 1\", NULL, a + (b, c) \"sum\", t.* "
      "INTO @x FROM t WHERE (a, b) IN (1, 2)",
      columns);
  struct Col {
    std::string Name, Table, Expr, Alias;
    bool operator==(const Col&) const = default;
  };
  std::vector<Col> got;
  for (int i = 0; i < columns.Count(); ++i) {
    const TColumnInfo& c = *columns[i];
    EXPECT_EQ(c.TableIndex, -1);
    got.push_back({c.Name, c.Table, c.Expr, c.Alias});
  }
  const std::vector<Col> expected = {
      {"a", "", "", ""},         {"b", "t", "", "bb"},  {"", "", "count(*)", "cnt"}, {"", "", "'x'", "c"},
      {"", "", "*", ""},         {"C 1", "s.t", "", ""}, {"", "", "NULL", ""},        {"", "", "a + (b, c)", "sum"},
      {"", "", "t.*", ""},
  };
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].Name, expected[i].Name) << i;
    EXPECT_EQ(got[i].Table, expected[i].Table) << i;
    EXPECT_EQ(got[i].Expr, expected[i].Expr) << i;
    EXPECT_EQ(got[i].Alias, expected[i].Alias) << i;
  }
}

}  // namespace
}  // namespace lumo
