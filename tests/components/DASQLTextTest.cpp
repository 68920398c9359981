// Editing SELECT texts: conditions added to WHERE, WHERE replaced and
// removed, ORDER BY replaced and read, FROM and WHERE read, over MySQL
// syntax (WITH, subqueries, UNION, LIMIT, FOR UPDATE, comments, macros).
#include <gtest/gtest.h>

#include <lumokit/components/DASQLText.h>
#include <lumokit/mysql/wire/MyParser.h>

namespace lumo {
namespace {

const TSQLParserClass My = ParserClassOf<TMyParser>();

TEST(DASQLTextTest, AddWhereKeepsTheDocumentedTexts) {
  std::string sql = TDASQLText::AddWhere("SELECT * FROM t ORDER BY a", "x=1", My);
  EXPECT_EQ(sql, "SELECT * FROM t \r\nWHERE x=1 ORDER BY a");
  sql = TDASQLText::AddWhere(sql, "y=2", My);
  EXPECT_EQ(sql, "SELECT * FROM t \r\nWHERE (x=1 ) AND y=2 ORDER BY a");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t  ", "x=1", My), "SELECT * FROM t\r\nWHERE x=1 ");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t", "  ", My), "SELECT * FROM t");
}

TEST(DASQLTextTest, AddedConditionsWithOrNarrowInsteadOfWidening) {
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1", "b=2 OR c=3", My),
            "SELECT * FROM t WHERE (a=1) AND (b=2 OR c=3) ");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1", "b=2 XOR c=3", My),
            "SELECT * FROM t WHERE (a=1) AND (b=2 XOR c=3) ");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1", "b=2 || c=3", My),
            "SELECT * FROM t WHERE (a=1) AND (b=2 || c=3) ");
  // An OR inside parentheses or a string needs nothing.
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1", "(b=2 OR c=3) AND s='x OR y'", My),
            "SELECT * FROM t WHERE (a=1) AND (b=2 OR c=3) AND s='x OR y' ");
}

TEST(DASQLTextTest, OnlyTheTopLevelOfTheFirstSelectCounts) {
  // WITH and subqueries: their WHERE clauses are not the statement's.
  EXPECT_EQ(TDASQLText::AddWhere("WITH c AS (SELECT id FROM u WHERE u.x = 1) SELECT * FROM c LIMIT 5", "id > 2", My),
            "WITH c AS (SELECT id FROM u WHERE u.x = 1) SELECT * FROM c \r\nWHERE id > 2 LIMIT 5");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT (SELECT MAX(v) FROM w WHERE w.k = t.k) m FROM t WHERE a IN (SELECT b FROM z "
                                 "WHERE c) FOR UPDATE",
                                 "d=1", My),
            "SELECT (SELECT MAX(v) FROM w WHERE w.k = t.k) m FROM t WHERE (a IN (SELECT b FROM z WHERE c) ) AND d=1 "
            "FOR UPDATE");
  // UNION ends the first select.
  EXPECT_EQ(TDASQLText::AddWhere("SELECT a FROM t UNION SELECT a FROM u", "a>1", My),
            "SELECT a FROM t \r\nWHERE a>1 UNION SELECT a FROM u");
  // A WHERE right after the macro character is a macro.
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t &where", "x=1", My), "SELECT * FROM t &where\r\nWHERE x=1 ");
}

TEST(DASQLTextTest, CommentsCannotSwallowTheAddedText) {
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t -- all rows", "x=1", My),
            "SELECT * FROM t -- all rows\r\nWHERE x=1 ");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1 # one", "x=1", My),
            "SELECT * FROM t WHERE (a=1 # one\r\n) AND x=1 ");
  EXPECT_EQ(TDASQLText::AddWhere("SELECT * FROM t WHERE a=1 ORDER BY b", "x=1 -- why", My),
            "SELECT * FROM t WHERE (a=1 ) AND x=1 -- why\r\n ORDER BY b");
}

TEST(DASQLTextTest, SetWhereReplacesRemovesAndInserts) {
  EXPECT_EQ(TDASQLText::SetWhere("SELECT * FROM t WHERE a=1 ORDER BY b", "c=2", My),
            "SELECT * FROM t WHERE c=2 ORDER BY b");
  EXPECT_EQ(TDASQLText::DeleteWhere("SELECT * FROM t WHERE a=1 ORDER BY b", My), "SELECT * FROM t ORDER BY b");
  EXPECT_EQ(TDASQLText::DeleteWhere("SELECT * FROM t WHERE a=1", My), "SELECT * FROM t");
  EXPECT_EQ(TDASQLText::SetWhere("SELECT * FROM t GROUP BY a", "c=2", My), "SELECT * FROM t WHERE c=2 GROUP BY a");
  EXPECT_EQ(TDASQLText::SetWhere("SELECT *\r\nFROM t", "c=2", My), "SELECT *\r\nFROM t\r\n WHERE c=2");
}

TEST(DASQLTextTest, OrderByIsReplacedAndReadAfterTheLastUnion) {
  EXPECT_EQ(TDASQLText::SetOrderBy("SELECT * FROM t", "a;b", My), "SELECT * FROM t ORDER BY a,b");
  EXPECT_EQ(TDASQLText::SetOrderBy("SELECT * FROM t ORDER BY x DESC LIMIT 3", "a", My),
            "SELECT * FROM t ORDER BY a LIMIT 3");
  EXPECT_EQ(TDASQLText::SetOrderBy("SELECT * FROM t LIMIT 3 FOR UPDATE", "a", My),
            "SELECT * FROM t ORDER BY a LIMIT 3 FOR UPDATE");
  EXPECT_EQ(TDASQLText::SetOrderBy("SELECT * FROM t ORDER BY x", "", My), "SELECT * FROM t");
  EXPECT_EQ(TDASQLText::GetOrderBy("SELECT a FROM t ORDER BY q UNION SELECT a FROM u ORDER BY a DESC -- end", My),
            "a DESC");
  EXPECT_EQ(TDASQLText::GetOrderBy("SELECT a FROM t", My), "");
}

TEST(DASQLTextTest, FromAndWhereAreReadAsWritten) {
  const std::string sql = "SELECT t.a FROM t JOIN (SELECT k FROM u WHERE z) v ON v.k = t.k WHERE t.a > 1 LIMIT 2";
  EXPECT_EQ(TDASQLText::GetFrom(sql, My), "t JOIN (SELECT k FROM u WHERE z) v ON v.k = t.k");
  EXPECT_EQ(TDASQLText::GetWhere(sql, My), "t.a > 1");
  EXPECT_EQ(TDASQLText::GetWhere("SELECT 1", My), "");
}

}  // namespace
}  // namespace lumo
