#include <lumokit/access/KxParser.h>

#include <gtest/gtest.h>

#include <cstring>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/FormatSettings.h>

#include <lumokit/core/Streams.h>
#include "access/ParserTestUtil.h"

namespace lumo {
namespace {

using test::Lex;
using test::TLex;
using test::Tokens;
using TTokens = std::vector<std::pair<int, std::string>>;

enum TFlags : unsigned {
  fNone = 0,
  fKeepBlank = 1,
  fKeepComment = 2,
  fNotUppered = 4,
  fQuoted = 8,
  fNoKeywords = 16,
  fDollar = 32,
  fQQuote = 64,
  fAdvanced = 128,
};

void Apply(TParser& p, unsigned flags) {
  p.SetOmitBlank(!(flags & fKeepBlank));
  p.SetOmitComment(!(flags & fKeepComment));
  p.SetUppered(!(flags & fNotUppered));
  p.SetQuotedString(flags & fQuoted);
  p.SetOmitKeywords(flags & fNoKeywords);
  p.SetDollarQuoting(flags & fDollar);
  p.SetAlternativeQuoting(flags & fQQuote);
  p.SetAdvancedStringParsing(flags & fAdvanced);
}

struct TTokenCase {
  bool Sql;  // TSQLParser, else TParser
  unsigned Flags;
  std::string Text;
  TTokens Expected;
};

TEST(KxParserTest, TokenStreams) {
  const int I = lcIdent, S = lcString, N = lcNumber, Y = lcSymbol, B = lcBlank, C = lcComment;
  const std::vector<TTokenCase> cases = {
      {true, fNone, "SELECT a.b, 'x''y' FROM \"T\" -- note",
       {{138, "SELECT"}, {I, "a"}, {5, "."}, {I, "b"}, {4, ","}, {S, "x"}, {S, "y"}, {112, "FROM"}, {I, "\"T\""}}},
      {true, fNone, "select Select", {{138, "SELECT"}, {138, "SELECT"}}},
      {true, fNotUppered, "select", {{138, "select"}}},
      {true, fNoKeywords, "select", {{I, "select"}}},
      {true, fNone, "INTERSECT ONLY", {{I, "INTERSECT"}, {I, "ONLY"}}},
      {true, fNone, "12.5 12.a", {{N, "12.5"}, {N, "12"}, {5, "."}, {I, "a"}}},
      {true, fNone, "1e-5", {{N, "1"}, {I, "e"}, {Y, "-"}, {N, "5"}}},
      {true, fKeepBlank, "a b\r\n c", {{I, "a"}, {B, " "}, {I, "b"}, {B, "\r\n "}, {I, "c"}}},
      {true, fNone, ":= <> (x)", {{3, ":"}, {2, "="}, {Y, "<"}, {Y, ">"}, {Y, "("}, {I, "x"}, {Y, ")"}}},
      {true, fNone, "a$b#c #t $x _u", {{I, "a$b#c"}, {Y, "#"}, {I, "t"}, {Y, "$"}, {I, "x"}, {I, "_u"}}},
      {true, fKeepComment, "/* c\n */x--y\n--", {{C, "/* c\n */"}, {I, "x"}, {C, "--y"}, {C, "--"}}},
      {true, fKeepComment | fKeepBlank, "a/**/ /*/ b", {{I, "a"}, {C, "/**/"}, {B, " "}, {C, "/*/ b"}}},
      {true, fNone, "'abc", {{S, "abc"}}},
      {true, fQuoted, "'abc' 'x", {{S, "'abc'"}, {S, "'x"}}},
      {true, fNone, "\"a\"\"b\" \"open", {{I, "\"a\""}, {I, "\"b\""}, {I, "\"open"}}},
      {true, fNone, "'a\\' b'", {{S, "a\\"}, {I, "b"}, {S, ""}}},
      {true, fDollar, "$tag$ a $ b $tag$ $1 $$x$$ $t x",
       {{S, " a $ b "}, {Y, "$"}, {N, "1"}, {S, "x"}, {Y, "$"}, {I, "t"}, {I, "x"}}},
      {true, fDollar | fQuoted, "$q$x$q$ $open$ y", {{S, "$q$x$q$"}, {S, "$open$ y"}}},
      {true, fQQuote, "q'[it's]' Q'!x!' q'<a>' q x q'(open", {{S, "it's"}, {S, "x"}, {S, "a"}, {I, "q"}, {I, "x"}, {S, "open"}}},
      {true, fQQuote | fQuoted, "q'{a}' q'", {{S, "q'{a}'"}, {S, "q'"}}},
      {true, fNone, "q'[x]'", {{I, "q"}, {S, "[x]"}}},
      {true, fNone, "\xD0\xB8\xD0\xB4 x\xC3\x9F", {{I, "\xD0\xB8\xD0\xB4"}, {I, "x\xC3\x9F"}}},
      // The neutral lexer: its own symbols and keywords, both string quotes,
      // "//" comments and no identifier quotes.
      {false, fNone, "a >= 'x' and OR not \"y\" // c",
       {{I, "a"}, {20, ">"}, {19, "="}, {S, "x"}, {29, "AND"}, {31, "OR"}, {30, "NOT"}, {S, "y"}}},
      {false, fNone, "# $ ` \\ _ _x -- a$b",
       {{3, "#"}, {4, "$"}, {28, "`"}, {24, "\\"}, {I, "_"}, {I, "_x"}, {13, "-"}, {13, "-"}, {I, "a"}, {4, "$"}, {I, "b"}}},
      {false, fNone, "{|}~", {{Y, "{"}, {Y, "|"}, {Y, "}"}, {Y, "~"}}},
  };
  for (const auto& c : cases) {
    std::unique_ptr<TParser> p;
    if (c.Sql)
      p = std::make_unique<TSQLParser>(c.Text);
    else
      p = std::make_unique<TParser>(c.Text);
    Apply(*p, c.Flags);
    EXPECT_EQ(Tokens(*p), c.Expected) << c.Text;
  }
}

TEST(KxParserTest, DecSeparatorAndCommentMarkers) {
  // The neutral lexer takes the process-wide decimal separator, SQL takes ".".
  TFormatSettings settings;
  settings.DecimalSeparator = ',';
  TFormatSettingsOverride useComma(settings);
  TSQLParser sql("1,5");
  EXPECT_EQ(Tokens(sql).size(), 3u);
  TParser p("1,5 1.5 {c} x");
  p.SetCommentBegin("{");
  p.SetCommentEnd("}");
  EXPECT_EQ(Tokens(p), (TTokens{{lcNumber, "1,5"}, {lcNumber, "1"}, {14, "."}, {lcNumber, "5"}, {lcIdent, "x"}}));
  TSQLParser q("a /* b");
  q.SetCommentBegin("");
  EXPECT_EQ(Tokens(q), (TTokens{{lcIdent, "a"}, {6, "/"}, {1, "*"}, {lcIdent, "b"}}));
}

TEST(KxParserTest, UnknownSymbolRaisesAndReadsOn) {
  TSQLParser p(std::string("a \x01 b\x7F", 6));
  EXPECT_EQ(p.GetNextToken(), lcIdent);
  try {
    p.GetNextToken();
    FAIL() << "no error";
  } catch (const EParserError& e) {
    EXPECT_EQ(std::string(e.what()), std::string("Parser: The unknown symbol '\x01'  $0001"));
    EXPECT_EQ(e.Position(), 2);
  }
  EXPECT_EQ(p.GetNextToken(), lcIdent);
  EXPECT_THROW(p.GetNextToken(), EParserError);
  EXPECT_EQ(p.GetNextToken(), lcEnd);
  EXPECT_EQ(p.GetNextToken(), lcEnd);
}

TEST(KxParserTest, PositionsLinesAndColumns) {
  // CR LF, lone LF and lone CR each end one line; block comments count lines.
  TSQLParser p("SELECT a,\r\n  b\n\rFROM /* x\ny */ t\r'q\nr' z");
  const std::vector<TLex> expected = {
      {138, "SELECT", 0, 0, 0}, {lcIdent, "a", 7, 0, 7},   {4, ",", 8, 0, 8},
      {lcIdent, "b", 13, 1, 2}, {112, "FROM", 16, 3, 0},   {lcIdent, "t", 31, 4, 5},
      {lcString, "q\nr", 33, 5, 0}, {lcIdent, "z", 39, 5, 6},  // strings count lines only when asked
  };
  EXPECT_EQ(Lex(p), expected);
  EXPECT_EQ(p.CurrPos(), 40);
  EXPECT_EQ(p.TextLength(), 40);

  p.SetAdvancedStringParsing(true);
  p.ToBegin();
  auto lexems = Lex(p);
  ASSERT_EQ(lexems.size(), expected.size());
  EXPECT_EQ(lexems.back(), (TLex{lcIdent, "z", 39, 6, 3}));
  EXPECT_EQ(p.CurrLine(), 6);
  EXPECT_EQ(p.CurrCol(), 4);
}

TEST(KxParserTest, BackUndoesOneStep) {
  TSQLParser p("a\n b c");
  std::string lexem;
  p.GetNext(lexem);
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(lexem, "b");
  EXPECT_EQ(p.PrevPrevPos(), 0);
  p.Back();
  p.Back();  // one step only
  EXPECT_EQ(p.CurrPos(), 3);
  EXPECT_EQ(p.CurrLine(), 1);
  EXPECT_EQ(p.PrevPos(), 0);
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(lexem, "b");
  EXPECT_EQ(p.PrevPos(), 3);
  EXPECT_EQ(p.PrevCol(), 1);
  EXPECT_EQ(p.PrevPrevPos(), 0);
  p.GetNext(lexem);
  EXPECT_EQ(lexem, "c");
  p.ToBegin();
  EXPECT_EQ(p.Token(), lcBlank);
  EXPECT_EQ(p.CurrPos(), 0);
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(lexem, "a");
  p.SetText("x");
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(lexem, "x");
}

TEST(KxParserTest, ToLexemScans) {
  TSQLParser p("SELECT (SELECT x FROM y) z FROM t WHERE (a) ORDER BY 1");
  EXPECT_EQ(p.ToLexem(lxFROM, true), lxFROM);
  EXPECT_EQ(p.PrevPos(), 27);
  p.ToBegin();
  EXPECT_EQ(p.ToLexem(lxFROM), lxFROM);
  EXPECT_EQ(p.PrevPos(), 17);
  // Depth counts from where the scan starts: the clauses of the outer query
  // are not reached from inside the subquery.
  EXPECT_EQ(p.ToLexem({lxORDER, lxWHERE}), lcEnd);
  p.ToBegin();
  EXPECT_EQ(p.ToLexem({lxORDER, lxWHERE}), lxWHERE);
  EXPECT_EQ(p.ToLexem(lxLIMIT, true), lcEnd);

  // A closing parenthesis at depth 0 is found; inner pairs are skipped.
  TParser q("(a (b) c) d");
  q.GetNextToken();
  EXPECT_EQ(q.ToLexem(9, true), 9);
  EXPECT_EQ(q.PrevPos(), 8);

  // Raw text scan: case-folded, not inside strings or comments, and symbol
  // texts that the table does not know.
  TSQLParser r("'from' /* from */ x From $ $$ y");
  EXPECT_TRUE(r.ToLexem("FROM"));
  EXPECT_EQ(r.PrevPos(), 20);
  EXPECT_TRUE(r.ToLexem("$$"));
  EXPECT_EQ(r.PrevPos(), 27);
  EXPECT_EQ(r.Lexem(), "$$");
  EXPECT_FALSE(r.ToLexem("$$"));
  r.ToBegin();
  EXPECT_EQ(Tokens(r).back(), (std::pair<int, std::string>(lcIdent, "y")));
}

TEST(KxParserTest, TablesAndClauses) {
  TSQLParser p("");
  EXPECT_TRUE(p.IsSymbolCode(7));
  EXPECT_FALSE(p.IsSymbolCode(8));
  EXPECT_EQ(p.GetSymbolByCode(5), ".");
  EXPECT_EQ(p.GetSymbolByCode(99), "");
  EXPECT_EQ(p.PosClauseLexem(lxWHERE), 0);
  EXPECT_EQ(p.PosClauseLexem(lxORDER), 6);
  EXPECT_EQ(p.PosClauseLexem(lxLIMIT), -1);
  EXPECT_EQ(p.CompareClauseLexems(lxGROUP, lxORDER), -1);
  EXPECT_EQ(p.CompareClauseLexems(lxORDER, lxUNION), 1);
  EXPECT_EQ(p.CompareClauseLexems(lxHAVING, lxHAVING), 0);
  EXPECT_EQ(p.CompareClauseLexems(lxWHERE, lxSELECT), -2);
  EXPECT_TRUE(p.IsMacroAllowed(lcIdent));
  EXPECT_FALSE(p.IsMacroAllowed(lcString));
  EXPECT_TRUE(p.IsSelectModifier(lxDISTINCT));
  EXPECT_FALSE(p.IsSelectModifier(lxSELECT));
  EXPECT_TRUE(p.IsFunctionOrConst("NULL"));
  TParser n("");
  EXPECT_EQ(n.GetSymbolByCode(28), "`");
  EXPECT_FALSE(n.IsSymbolCode(29));

  // Lookups fold a-z only and prefer the longest entry of a run of symbols.
  TLexemTable t{{"<", 1}, {"<=", 2}, {"<>", 3}, {"Ab", 4}};
  EXPECT_EQ(t.Find("aB"), 4);
  EXPECT_EQ(t.Find("<="), 2);
  EXPECT_EQ(t.Find("<=>"), 0);
  EXPECT_EQ(t.TextOf(4), "AB");
  EXPECT_EQ(t.MaxCode(), 4);
}

// ---- properties of the neutral dialects --------------------------------------

TEST(KxParserTest, LexemesConcatenateBackToTheInput) {
  test::CheckRoundTrip({test::DialectOf<TParser>("TParser"), test::DialectOf<TSQLParser>("TSQLParser")});
}

TEST(KxParserTest, StreamReadsLikeString) {
  test::CheckStreamEquivalence({test::DialectOf<TParser>("TParser"), test::DialectOf<TSQLParser>("TSQLParser")});
}

// A stream of `size` bytes produced on the fly: `head`, then `fill` bytes,
// then `tail`. Its size may be hidden.
class TGeneratedStream : public TStream {
 public:
  TGeneratedStream(std::string head, char fill, std::int64_t size, std::string tail, bool sizeKnown = true)
      : FHead(std::move(head)), FTail(std::move(tail)), FFill(fill), FSize(size), FSizeKnown(sizeKnown) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    auto* out = static_cast<char*>(buffer);
    std::int64_t n = std::min(count, FSize - FPos);
    std::int64_t tailStart = FSize - static_cast<std::int64_t>(FTail.size());
    for (std::int64_t i = 0; i < n;) {
      std::int64_t at = FPos + i;
      if (at < static_cast<std::int64_t>(FHead.size())) {
        out[i++] = FHead[static_cast<std::size_t>(at)];
      } else if (at >= tailStart) {
        out[i++] = FTail[static_cast<std::size_t>(at - tailStart)];
      } else {
        std::int64_t run = std::min(n - i, tailStart - at);
        std::memset(out + i, FFill, static_cast<std::size_t>(run));
        i += run;
      }
    }
    FPos += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soEnd) {
      if (!FSizeKnown) throw EStreamError("Stream seek error");
      FPos = FSize + offset;
    } else {
      FPos = (origin == TSeekOrigin::soCurrent ? FPos : 0) + offset;
    }
    return FPos;
  }
  void SetSize(std::int64_t) override {}

 private:
  std::string FHead, FTail;
  char FFill;
  std::int64_t FSize, FPos = 0;
  bool FSizeKnown;
};

TEST(KxParserTest, StreamPositionsAreSixtyFourBit) {
  // A comment of more than 2 GiB: positions past 2^31 and the length are
  // exact, and the skipped comment is not held in memory.
  const std::int64_t size = (std::int64_t(1) << 31) + 1000;
  TGeneratedStream stream("a\n/*", 'x', size, "\n*/ b c", true);
  TSQLParser p(stream, 65001, 1 << 20);
  EXPECT_EQ(p.TextLength(), size);
  std::string lexem;
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(lexem, "b");
  EXPECT_EQ(p.PrevPos(), size - 3);
  EXPECT_EQ(p.PrevLine(), 2);
  EXPECT_EQ(p.PrevCol(), 3);
  EXPECT_LT(p.BufferedBytes(), std::size_t(4) << 20);
  EXPECT_EQ(p.GetNext(lexem), lcIdent);
  EXPECT_EQ(p.GetNext(lexem), lcEnd);

  TGeneratedStream unknown("a b", ' ', 3, "", false);
  TSQLParser q(unknown);
  EXPECT_EQ(q.TextLength(), TParser::UnknownLength);
  EXPECT_EQ(Tokens(q).size(), 2u);
  EXPECT_EQ(q.TextLength(), 3);
}

TEST(KxParserTest, StreamKeepsOnlyWhatItNeeds) {
  std::string statement = "INSERT INTO t VALUES (1, 'some text', 2.5); -- row\n";
  std::string text;
  while (text.size() < (4u << 20)) text += statement;
  TStringStream stream(text);
  const std::int64_t block = 4096;
  TSQLParser p(stream, 0, block);
  p.SetOmitBlank(false);
  std::size_t peak = 0, count = 0;
  while (p.GetNextToken() != lcEnd) {
    peak = std::max(peak, p.BufferedBytes());
    ++count;
  }
  EXPECT_GT(count, 100000u);
  EXPECT_LE(peak, static_cast<std::size_t>(3 * block));

  // A lexeme longer than a block is assembled whole.
  std::string big = "x '" + std::string(100000, 'q') + "' y";
  TStringStream bigStream(big);
  TSQLParser b(bigStream, 0, 7);
  std::string lexem;
  b.GetNext(lexem);
  EXPECT_EQ(b.GetNext(lexem), lcString);
  EXPECT_EQ(lexem.size(), 100000u);
  b.Back();
  EXPECT_EQ(b.GetNext(lexem), lcString);
  EXPECT_EQ(b.GetNext(lexem), lcIdent);
}

TEST(KxParserTest, StreamEncodingsAndRestart) {
  // Reading starts at the stream's position; ToBegin goes back there.
  TStringStream stream("skip\xEF\xBB\xBFselect x");
  stream.SetPosition(4);
  TSQLParser p(stream);
  EXPECT_EQ(Lex(p), (std::vector<TLex>{{lxSELECT, "SELECT", 0, 0, 0}, {lcIdent, "x", 7, 0, 7}}));
  p.ToBegin();
  EXPECT_EQ(p.GetNextToken(), lxSELECT);
  EXPECT_EQ(p.PrevPos(), 0);

  // A UTF-16 sequence cut off by the end of the stream, and a lone surrogate.
  TStringStream odd(std::string("\xFF\xFE" "a\0\x00\xD8 \0b", 10));
  TSQLParser q(odd, 0, 1);
  EXPECT_EQ(Tokens(q), (TTokens{{lcIdent, "a\xEF\xBF\xBD"}, {lcIdent, "b"}}));
  TStringStream cut(std::string("\xFF\xFE" "a\0b", 5));
  TSQLParser r(cut, 0, 2);
  EXPECT_EQ(Tokens(r), (TTokens{{lcIdent, "a\xEF\xBF\xBD"}}));

  // Without a mark the text is in the process code page.
  TCodePageOverride page(1251);
  TStringStream cyrillic("\xEA\xE8\xF0 x");
  TSQLParser c(cyrillic, 0, 2);
  EXPECT_EQ(Tokens(c), (TTokens{{lcIdent, "\xD0\xBA\xD0\xB8\xD1\x80"}, {lcIdent, "x"}}));

  TStringStream s("x");
  EXPECT_THROW(TSQLParser(s, 4242), EArgumentError);
  EXPECT_THROW(TSQLParser(s, 0, 0), EArgumentError);
  try {
    TSQLParser(s, 4242);
  } catch (const EArgumentError& e) {
    EXPECT_STREQ(e.what(), "Invalid codepage (4242)");
  }
}

}  // namespace
}  // namespace lumo
