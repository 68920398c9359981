// Fuzz target for the SQL lexer: the same text read as a string and as a
// stream with a tiny block size must give the same lexemes, codes and
// positions, and with blanks and comments kept the lexemes must concatenate
// back to the text. Any disagreement aborts.
//
// Input: byte 0 picks the dialect (bits 0-1), the stream encoding (bits 2-3)
// and Back() probing (bit 4); byte 1 the options (bits 0-5) and the block
// size (bits 6-7, with byte 0 bits 5-7); the rest is the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxParser.h>
#include <lumokit/core/Streams.h>
#include <lumokit/mysql/wire/MyParser.h>

using namespace lumo;

namespace {

struct Lexeme {
  int Code;
  std::string Text;
  std::int64_t Pos, Line, Col, CurrPos, CurrLine;
  bool operator==(const Lexeme&) const = default;
};

std::unique_ptr<TParser> Make(int dialect, std::string text) {
  switch (dialect) {
    case 0: return std::make_unique<TParser>(std::move(text));
    case 1: return std::make_unique<TSQLParser>(std::move(text));
    case 2: return std::make_unique<TMyParser>(std::move(text));
    default: return std::make_unique<TMyLumoParser>(std::move(text));
  }
}

std::unique_ptr<TParser> Make(int dialect, TStream& s, int codePage, std::int64_t block) {
  switch (dialect) {
    case 0: return std::make_unique<TParser>(s, codePage, block);
    case 1: return std::make_unique<TSQLParser>(s, codePage, block);
    case 2: return std::make_unique<TMyParser>(s, codePage, block);
    default: return std::make_unique<TMyLumoParser>(s, codePage, block);
  }
}

void Configure(TParser& p, unsigned options) {
  p.SetOmitBlank(options & 1);
  p.SetOmitComment(options & 2);
  p.SetQuotedString(options & 4);
  p.SetDollarQuoting(options & 8);
  p.SetAlternativeQuoting(options & 16);
  p.SetBackslashEscapes(options & 32);
  p.SetAdvancedStringParsing(options & 64);
  p.SetUppered(options & 128);
}

std::vector<Lexeme> Read(TParser& p, bool probeBack) {
  std::vector<Lexeme> out;
  for (std::size_t n = 0;; ++n) {
    int code;
    try {
      code = p.GetNextToken();
    } catch (const EParserError& e) {
      if (e.Position() != p.PrevPos()) abort();
      code = 999;
    }
    Lexeme l{code, std::string(p.LexemView()), p.PrevPos(), p.PrevLine(), p.PrevCol(), p.CurrPos(), p.CurrLine()};
    if (probeBack && code != 999 && n % 3 == 0) {
      p.Back();
      if (p.CurrPos() != l.Pos || p.GetNextToken() != code) abort();
      Lexeme again{code, std::string(p.LexemView()), p.PrevPos(), p.PrevLine(), p.PrevCol(), p.CurrPos(), p.CurrLine()};
      if (!(again == l)) abort();
    }
    if (code == lcEnd) break;
    out.push_back(std::move(l));
    if (out.size() > 1000000) abort();  // more lexemes than bytes: no progress
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int dialect = data[0] & 3;
  const int encoding = (data[0] >> 2) & 3;
  const bool probeBack = data[0] & 16;
  const unsigned options = data[1];
  static const std::int64_t blocks[] = {1, 2, 3, 7, 1, 5, 64, 4096};
  const std::int64_t block = blocks[data[0] >> 5];
  static const int pages[] = {65001, 1200, 1251, 936};
  const int page = pages[encoding];
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);

  // The decoded text: a stream read in one block with everything kept.
  std::string decoded;
  {
    TStringStream s(input);
    auto p = Make(dialect, s, page, static_cast<std::int64_t>(input.size()) + 1);
    Configure(*p, 4 | 8 | 16 | 32 | 64);
    for (auto& l : Read(*p, false)) decoded += l.Text;
    if (p->TextLength() != static_cast<std::int64_t>(decoded.size())) abort();
  }
  if (page == 65001) {
    std::string expected = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
    if (decoded != expected) abort();
  }

  auto str = Make(dialect, decoded);
  Configure(*str, options);
  auto fromString = Read(*str, probeBack);

  TStringStream s(input);
  auto stream = Make(dialect, s, page, block);
  Configure(*stream, options);
  auto fromStream = Read(*stream, probeBack);
  if (fromString != fromStream) {
    std::fprintf(stderr, "string and stream disagree (dialect %d, page %d, block %lld)\n", dialect, page,
                 static_cast<long long>(block));
    abort();
  }
  return 0;
}
