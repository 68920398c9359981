// Helpers shared by the lexer tests of every dialect: reading a parser's
// whole token stream, the corpus of tricky statements, random byte texts,
// re-encoding through iconv, and the two properties every dialect must keep
// (round trip, string/stream equivalence).
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <lumokit/access/KxParser.h>
#include <lumokit/core/Streams.h>

namespace lumo::test {

inline constexpr int lcError = 999;  // stands for an EParserError in a token list

struct TLex {
  int Code;
  std::string Text;
  std::int64_t Pos, Line, Col;
  bool operator==(const TLex&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const TLex& l) {
  return os << "{" << l.Code << " '" << l.Text << "' @" << l.Pos << " " << l.Line << ":" << l.Col << "}";
}

// Every lexeme up to lcEnd (excluded); an unknown-symbol error becomes an
// lcError entry holding the offending byte, and reading goes on.
inline std::vector<TLex> Lex(TParser& p) {
  std::vector<TLex> out;
  for (;;) {
    int code;
    try {
      code = p.GetNextToken();
    } catch (const EParserError& e) {
      EXPECT_EQ(e.Position(), p.PrevPos());
      code = lcError;
    }
    if (code == lcEnd) break;
    out.push_back({code, std::string(p.LexemView()), p.PrevPos(), p.PrevLine(), p.PrevCol()});
  }
  return out;
}

// Just codes and texts, for the dialect tables.
inline std::vector<std::pair<int, std::string>> Tokens(TParser& p) {
  std::vector<std::pair<int, std::string>> out;
  for (auto& l : Lex(p)) out.emplace_back(l.Code, l.Text);
  return out;
}

// Options under which the lexemes concatenate back to the input.
inline void KeepEverything(TParser& p) {
  p.SetOmitBlank(false);
  p.SetOmitComment(false);
  p.SetQuotedString(true);
  p.SetUppered(false);
}

inline std::string Concat(const std::vector<TLex>& lexems) {
  std::string s;
  for (auto& l : lexems) s += l.Text;
  return s;
}

struct TDialect {
  const char* Name;
  std::function<std::unique_ptr<TParser>(std::string)> FromText;
  std::function<std::unique_ptr<TParser>(TStream&, int, std::int64_t)> FromStream;
};

template <class T>
TDialect DialectOf(const char* name) {
  return {name, [](std::string text) { return std::make_unique<T>(std::move(text)); },
          [](TStream& s, int cp, std::int64_t block) { return std::make_unique<T>(s, cp, block); }};
}

inline const std::vector<std::string>& TrickyCorpus() {
  static const std::vector<std::string> corpus = {
      "SELECT a.b, 'x''y' FROM \"T\" -- note\n",
      "INSERT INTO t VALUES (1, 'it\\'s', \"dq\\\"x\", `a``b`, 12.5e-3, 0x1F, -7);",
      "/* multi\r\nline */ SELECT 1 # hash comment\r\n--x\n-- real\n--\t\n--",
      "DELIMITER $$\nCREATE PROCEDURE p() BEGIN SELECT 1; END $$\nDELIMITER ;\n",
      "SELECT $tag$ body $ x\n $tag$, $$x$$, $1, q'[it's]', q'!x!', Q'<a\nb>', q'",
      "select :p, :\"q\", ::x, :=, &macro, @v, @@global.x FROM t WHERE a<>b AND c>=d // x",
      "'unterminated \\' string\nline",
      "/* unterminated comment\n",
      "`unterminated ident",
      "SELECT '\xD0\xBA\xD0\xB8\xD1\x80', \xD0\xB8\xD0\xB4 FROM \xD1\x82\xD0\xB0\xD0\xB1",
      "a\r\rb\n\nc\r\n\r\nd\n\r",
      "12.a 12. .5 1.2.3 a1$b $a #x a#b",
      "\\N \\ \\\\ '\\\\' 'a\\\r\nb' \"\"\"\"",
      "SELECT (SELECT x FROM y) z FROM t ORDER BY 1 LIMIT 2 FOR UPDATE",
      "",
  };
  return corpus;
}

// Random text over an alphabet that favours SQL's special characters but
// can produce any byte. A leading byte-order mark is avoided so that the
// text reads the same as a string and as a stream.
inline std::string RandomText(std::mt19937& rng, std::size_t maxLength) {
  static const std::string alphabet =
      "  \t\r\n'''\"\"``\\\\--//**##$$qQ(())::;;,.=<>!&@_aZ09\xD0\xB8\x80\xFF\x01\x7F\x00";
  std::uniform_int_distribution<std::size_t> len(0, maxLength);
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<std::size_t> ch(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(len(rng), ' ');
  for (auto& c : s) c = pick(rng) == 0 ? static_cast<char>(byte(rng)) : alphabet[ch(rng)];
  if (!s.empty() && (static_cast<unsigned char>(s[0]) >= 0xEF)) s[0] = 'x';
  return s;
}

// Converts `text` between iconv encodings; false when it cannot be
// converted without loss.
inline bool Recode(const std::string& text, const char* from, const char* to, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(text.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* o = out.data();
  std::size_t oLeft = out.size();
  std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
  iconv_close(cd);
  out.resize(out.size() - oLeft);
  return r != static_cast<std::size_t>(-1) && inLeft == 0;
}

// Configures a parser the way the property checks read it.
using TConfigure = std::function<void(TParser&)>;

// Stream mode over `encoded` (in `codePage`, 0 = by byte-order mark) with
// each of the block sizes gives the same lexemes at the same positions as
// string mode over `utf8`.
inline void ExpectStreamMatchesString(const TDialect& d, const std::string& utf8, const std::string& encoded,
                                      int codePage, const TConfigure& configure) {
  auto str = d.FromText(utf8);
  configure(*str);
  auto expected = Lex(*str);
  for (std::int64_t block : {1, 2, 3, 7, 65536}) {
    TStringStream stream(encoded);
    auto p = d.FromStream(stream, codePage, block);
    configure(*p);
    EXPECT_EQ(Lex(*p), expected) << d.Name << " block " << block << " page " << codePage << " text: " << utf8;
    EXPECT_EQ(p->TextLength(), static_cast<std::int64_t>(utf8.size()));
  }
}

// Every option that changes how text is split, on.
inline void ConfigureAll(TParser& p) {
  KeepEverything(p);
  p.SetDollarQuoting(true);
  p.SetAlternativeQuoting(true);
  p.SetAdvancedStringParsing(true);
}

// With blanks and comments kept, the lexemes of the corpus and of random
// texts concatenate back to the input, each starting where the one before
// it ended.
inline void CheckRoundTrip(const std::vector<TDialect>& dialects) {
  std::mt19937 rng(20240601);
  std::vector<std::string> texts = TrickyCorpus();
  for (int i = 0; i < 300; ++i) texts.push_back(RandomText(rng, 80));
  for (const auto& d : dialects) {
    for (bool extras : {false, true}) {
      for (const auto& text : texts) {
        auto p = d.FromText(text);
        if (extras)
          ConfigureAll(*p);
        else
          KeepEverything(*p);
        auto lexems = Lex(*p);
        EXPECT_EQ(Concat(lexems), text) << d.Name;
        std::int64_t pos = 0;
        for (auto& l : lexems) {
          EXPECT_EQ(l.Pos, pos) << d.Name << " " << text;
          pos += static_cast<std::int64_t>(l.Text.size());
        }
      }
    }
  }
}

// Stream mode over UTF-8 (with and without a byte-order mark), UTF-16LE and
// UTF-16BE with their marks and cp1251 reads like string mode over the UTF-8
// text, under several option sets.
inline void CheckStreamEquivalence(const std::vector<TDialect>& dialects) {
  std::mt19937 rng(7);
  std::vector<std::string> texts = TrickyCorpus();
  for (int i = 0; i < 40; ++i) texts.push_back(RandomText(rng, 60));
  const TConfigure configs[] = {ConfigureAll, [](TParser& p) { p.SetAdvancedStringParsing(true); },
                                [](TParser&) {}};
  int cp1251 = 0;
  for (const auto& d : dialects) {
    for (const auto& configure : configs) {
      for (const auto& text : texts) {
        ExpectStreamMatchesString(d, text, text, 65001, configure);
        ExpectStreamMatchesString(d, text, "\xEF\xBB\xBF" + text, 0, configure);
        std::string encoded;
        if (Recode(text, "UTF-8", "UTF-16LE", encoded))
          ExpectStreamMatchesString(d, text, "\xFF\xFE" + encoded, 0, configure);
        if (Recode(text, "UTF-8", "UTF-16BE", encoded))
          ExpectStreamMatchesString(d, text, "\xFE\xFF" + encoded, 0, configure);
        if (Recode(text, "UTF-8", "CP1251", encoded)) {
          ExpectStreamMatchesString(d, text, encoded, 1251, configure);
          if (encoded != text) ++cp1251;
        }
      }
    }
  }
  EXPECT_GT(cp1251, 0);  // some texts did use the page's upper half
}

}  // namespace lumo::test
