#include <lumokit/mysql/wire/MyParser.h>

#include <gtest/gtest.h>

#include "access/ParserTestUtil.h"

namespace lumo {
namespace {

using test::Lex;
using test::TLex;
using test::Tokens;
using TTokens = std::vector<std::pair<int, std::string>>;

struct TMyCase {
  bool Lumo;               // TMyLumoParser, else TMyParser
  bool BackslashEscapes;
  std::string Text;
  TTokens Expected;
};

TEST(MyParserTest, TokenStreams) {
  const int I = lcIdent, S = lcString, N = lcNumber, Y = lcSymbol;
  const std::vector<TMyCase> cases = {
      {false, true, "'it\\'s' \"a\\\"b\" 'x''y'", {{S, "it\\'s"}, {S, "a\\\"b"}, {S, "x"}, {S, "y"}}},
      {false, true, "'a\\\\' b", {{S, "a\\\\"}, {I, "b"}}},
      {false, true, "'ends in \\", {{S, "ends in \\"}}},
      {false, false, "'it\\'s'", {{S, "it\\"}, {I, "s"}, {S, ""}}},
      // Backquoted names: never keywords, a doubled quote inside, no escapes.
      {false, true, "`order` `a``b` `c\\` d", {{I, "`order`"}, {I, "`a``b`"}, {I, "`c\\`"}, {I, "d"}}},
      {false, true, "a # note\nb", {{I, "a"}, {I, "b"}}},
      {false, true, "--x -- y\nz", {{Y, "-"}, {Y, "-"}, {I, "x"}, {I, "z"}}},
      {false, true, "a--\tb\nc--\x01q\nd--", {{I, "a"}, {I, "c"}, {I, "d"}}},
      {false, true, "a$b $c a#b", {{I, "a$b"}, {Y, "$"}, {I, "c"}, {I, "a"}}},
      {false, true, "SHOW Delimiter straight_join DESC use SELECT",
       {{lxSHOW, "SHOW"}, {lxDELIMITER, "DELIMITER"}, {lxSTRAIGHT_JOIN, "STRAIGHT_JOIN"}, {lxDESC, "DESC"},
        {lxUSE, "USE"}, {lxSELECT, "SELECT"}}},
      {false, true, "x.y, 1.5;", {{I, "x"}, {5, "."}, {I, "y"}, {4, ","}, {N, "1.5"}, {7, ";"}}},
      {false, true, "/*!40101 SET x */ y", {{I, "y"}}},
      {true, true, "\"dq\" `bq` 'it\\'s' \"a\"\"b\"", {{I, "\"dq\""}, {I, "`bq`"}, {S, "it\\'s"}, {I, "\"a\"\"b\""}}},
      {true, true, "\"a\\\" b", {{I, "\"a\\\""}, {I, "b"}}},
  };
  for (const auto& c : cases) {
    std::unique_ptr<TMyParser> p;
    if (c.Lumo)
      p = std::make_unique<TMyLumoParser>(c.Text);
    else
      p = std::make_unique<TMyParser>(c.Text);
    p->SetBackslashEscapes(c.BackslashEscapes);
    EXPECT_EQ(Tokens(*p), c.Expected) << c.Text;
  }
}

TEST(MyParserTest, LinesInsideStringsAreCounted) {
  TMyParser p("'a\nb' `c\r\nd`\n  x");
  auto lexems = Lex(p);
  ASSERT_EQ(lexems.size(), 3u);
  EXPECT_EQ(lexems[1], (TLex{lcIdent, "`c\r\nd`", 6, 1, 3}));
  EXPECT_EQ(lexems[2], (TLex{lcIdent, "x", 15, 3, 2}));
}

TEST(MyParserTest, DialectPredicatesAndClauses) {
  TMyParser p("");
  EXPECT_EQ(p.PosClauseLexem(lxLIMIT), 4);
  EXPECT_EQ(p.CompareClauseLexems(lxORDER, lxLIMIT), -1);
  EXPECT_EQ(p.CompareClauseLexems(lxLOCK, lxFOR), 1);
  EXPECT_EQ(p.CompareClauseLexems(lxUNION, lxWHERE), -2);
  EXPECT_TRUE(p.IsSelectModifier(lxDISTINCTROW));
  EXPECT_TRUE(p.IsSelectModifier(lxALL));
  EXPECT_FALSE(p.IsSelectModifier(lxSELECT));
  EXPECT_TRUE(p.IsFunctionOrConst("CURRENT_TIMESTAMP"));
  EXPECT_TRUE(p.IsFunctionOrConst("NULL"));
  EXPECT_FALSE(p.IsFunctionOrConst("NAME"));
  EXPECT_EQ(TMyParser::MyKeywords().Count(), TSQLParser::SQLKeywords().Count() + 26);
  EXPECT_EQ(TMyParser::MyKeywords().Find("trigger"), lxTRIGGER);

  // The parser classes the command and script components name.
  TSQLParserClass cls = ParserClassOf<TMyLumoParser>();
  auto made = cls.Create("\"x\"");
  EXPECT_EQ(made->GetNextToken(), lcIdent);
  EXPECT_NE(dynamic_cast<TMyLumoParser*>(made.get()), nullptr);
  EXPECT_FALSE(cls == ParserClassOf<TMyParser>());
}

TEST(MyParserTest, ScriptScan) {
  // How a script reads: blanks and comments kept, strings with quotes, lines
  // counted, the DELIMITER keyword and a two-character delimiter.
  TMyParser p("DELIMITER $$\nCREATE PROCEDURE p() BEGIN SELECT 1; END $$\n-- done\n");
  test::KeepEverything(p);
  p.SetUppered(true);
  std::vector<int> codes;
  for (auto& l : Lex(p))
    if (l.Code != lcBlank) codes.push_back(l.Code);
  const std::vector<int> expected = {lxDELIMITER, lcSymbol, lcSymbol, lxCREATE, lxPROCEDURE, lcIdent,
                                     lcSymbol,    lcSymbol, lxBEGIN,  lxSELECT, lcNumber,    7,
                                     lxEND,       lcSymbol, lcSymbol, lcComment};
  EXPECT_EQ(codes, expected);
  EXPECT_EQ(p.CurrLine(), 3);
}

TEST(MyParserTest, LexemesConcatenateBackToTheInput) {
  test::CheckRoundTrip({test::DialectOf<TMyParser>("TMyParser"), test::DialectOf<TMyLumoParser>("TMyLumoParser")});
}

TEST(MyParserTest, StreamReadsLikeString) {
  test::CheckStreamEquivalence(
      {test::DialectOf<TMyParser>("TMyParser"), test::DialectOf<TMyLumoParser>("TMyLumoParser")});
}

}  // namespace
}  // namespace lumo
