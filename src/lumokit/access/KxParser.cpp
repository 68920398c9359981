#include <lumokit/access/KxParser.h>

#include <cstring>
#include <typeinfo>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/Streams.h>

namespace lumo {

namespace {

// Compares `a` (folded on the fly) with the stored, already folded key `b`.
int CompareFolded(std::string_view a, std::string_view b) noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = AsciiUpper(static_cast<unsigned char>(a[i]));
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

constexpr std::int64_t MaxBlockSize = std::int64_t(1) << 30;
constexpr char ReplacementChar[] = "\xEF\xBF\xBD";

}  // namespace

// ---- TLexemTable -------------------------------------------------------------

TLexemTable::TLexemTable(std::initializer_list<std::pair<std::string_view, int>> entries) {
  for (auto& e : entries) Add(e.first, e.second);
  Finish();
}

TLexemTable::TLexemTable(const TLexemTable& base, std::initializer_list<std::pair<std::string_view, int>> more)
    : FEntries(base.FEntries) {
  for (auto& e : more) Add(e.first, e.second);
  Finish();
}

void TLexemTable::Add(std::string_view text, int code) {
  LUMO_ASSERT(!text.empty() && code > 0);
  std::string key(text);
  for (auto& ch : key) ch = AsciiUpper(ch);
  FEntries.push_back({std::move(key), code});
}

void TLexemTable::Finish() {
  std::sort(FEntries.begin(), FEntries.end(),
            [](const TEntry& a, const TEntry& b) { return CompareFolded(a.Text, b.Text) < 0; });
  FFirstChars.reset();
  FLonger.reset();
  FLengths = 0;
  std::fill(std::begin(FSingle), std::end(FSingle), 0);
  FMaxCode = 0;
  FMaxLength = 0;
  for (std::size_t i = 0; i < FEntries.size(); ++i) {
    LUMO_ASSERT(i == 0 || FEntries[i - 1].Text != FEntries[i].Text);
    const auto& e = FEntries[i];
    unsigned char first = static_cast<unsigned char>(e.Text[0]);
    unsigned char lower = AsciiLower(first);
    FFirstChars.set(first);
    FFirstChars.set(lower);
    if (e.Text.size() == 1) {
      FSingle[first] = e.Code;
      FSingle[lower] = e.Code;
    } else {
      FLonger.set(first);
      FLonger.set(lower);
    }
    FLengths |= e.Text.size() < 64 ? std::uint64_t(1) << e.Text.size() : std::uint64_t(1) << 63;
    FMaxCode = std::max(FMaxCode, e.Code);
    FMaxLength = std::max(FMaxLength, e.Text.size());
  }
}

const TLexemTable::TEntry* TLexemTable::Lookup(std::string_view text) const noexcept {
  if (text.empty() || text.size() > FMaxLength || !FFirstChars[static_cast<unsigned char>(text[0])] ||
      !(FLengths & (std::uint64_t(1) << std::min<std::size_t>(text.size(), 63))))
    return nullptr;
  std::size_t lo = 0, hi = FEntries.size();
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    int c = CompareFolded(text, FEntries[mid].Text);
    if (c == 0) return &FEntries[mid];
    if (c < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return nullptr;
}

int TLexemTable::Find(std::string_view text) const noexcept {
  const TEntry* e = Lookup(text);
  return e ? e->Code : 0;
}

std::string_view TLexemTable::KeyOf(std::string_view text) const noexcept {
  const TEntry* e = Lookup(text);
  return e ? std::string_view(e->Text) : std::string_view();
}

std::string_view TLexemTable::TextOf(int code) const noexcept {
  for (const auto& e : FEntries)
    if (e.Code == code) return e.Text;
  return {};
}

// ---- stream source -----------------------------------------------------------

// Reads a stream in blocks and decodes it to UTF-8: byte-order mark
// detection, iconv for every page but UTF-8, incomplete sequences carried to
// the next block.
class TParser::TSource {
 public:
  TSource(TStream& stream, int codePage, std::int64_t blockSize)
      : FStream(stream), FRequestedCodePage(codePage), FBlockSize(blockSize) {
    FStartOffset = FStream.Position();
    FRaw.resize(static_cast<std::size_t>(FBlockSize));
  }
  ~TSource() { CloseConverter(); }
  TSource(const TSource&) = delete;
  TSource& operator=(const TSource&) = delete;

  std::int64_t BlockSize() const noexcept { return FBlockSize; }

  // (Re)starts reading at the parser's start offset.
  void Start() {
    FStream.SetPosition(FStartOffset);
    FPending.clear();
    FEnd = false;
    FConsumed = 0;
    FProduced = 0;
    // Probe for a byte-order mark; the probed bytes are decoded first.
    char probe[3];
    std::int64_t got = 0;
    while (got < 3) {
      std::int64_t n = FStream.Read(probe + got, 3 - got);
      if (n <= 0) break;
      got += n;
    }
    auto has = [&](std::string_view mark) {
      return got >= static_cast<std::int64_t>(mark.size()) && std::memcmp(probe, mark.data(), mark.size()) == 0;
    };
    int page = FRequestedCodePage;
    std::size_t bom = 0;
    if (has("\xEF\xBB\xBF") && (page == 0 || page == CP_UTF8)) {
      page = CP_UTF8;
      bom = 3;
    } else if (has("\xFF\xFE") && (page == 0 || page == CP_UTF16LE)) {
      page = CP_UTF16LE;
      bom = 2;
    } else if (has("\xFE\xFF") && (page == 0 || page == CP_UTF16BE)) {
      page = CP_UTF16BE;
      bom = 2;
    } else if (page == 0) {
      page = DefaultCodePage();
    }
    OpenConverter(page);
    FProbe.assign(probe + bom, static_cast<std::size_t>(got) - bom);
    FRawTotal = UnknownLength;
    try {
      std::int64_t size = FStream.Size();
      if (size >= FStartOffset) FRawTotal = size - FStartOffset - static_cast<std::int64_t>(bom);
    } catch (const Exception&) {
      // A stream that cannot tell its size: the length stays unknown.
    }
  }

  // Appends the decoded text of at least one more block to `out`; false
  // when the end was reached and nothing more came.
  bool Read(std::string& out) {
    std::size_t before = out.size();
    while (out.size() == before) {
      if (FEnd) return false;
      if (!FProbe.empty()) {
        std::string probe = std::move(FProbe);
        FProbe.clear();
        Decode(probe.data(), probe.size(), out);
        continue;
      }
      std::int64_t n = FStream.Read(FRaw.data(), FBlockSize);
      if (n <= 0) {
        FinishDecoding(out);
        FEnd = true;
        break;
      }
      Decode(FRaw.data(), static_cast<std::size_t>(n), out);
    }
    return out.size() > before;
  }

  std::int64_t TextLength() const noexcept {
    if (FEnd) return FProduced;
    if (FRawTotal == UnknownLength) return UnknownLength;
    return std::max<std::int64_t>(FProduced, FProduced + (FRawTotal - FConsumed));
  }

 private:
  void OpenConverter(int page) {
    CloseConverter();
    FUnit = 1;
    page = ResolveCodePage(page);
    if (page == CP_UTF8) return;
    CheckCodePage(page);
    const char* name = CodePageIconvName(page);
    if (name) FConverter = iconv_open("UTF-8", name);
    if (FConverter == reinterpret_cast<iconv_t>(-1))
      throw EArgumentError(Format("Invalid codepage (%d)", {page}));
    if (page == CP_UTF16LE || page == CP_UTF16BE) FUnit = 2;
  }

  void CloseConverter() noexcept {
    if (FConverter != reinterpret_cast<iconv_t>(-1)) iconv_close(FConverter);
    FConverter = reinterpret_cast<iconv_t>(-1);
  }

  void Decode(const char* data, std::size_t size, std::string& out) {
    std::size_t outBefore = out.size();
    if (FConverter == reinterpret_cast<iconv_t>(-1)) {
      out.append(data, size);
      FConsumed += static_cast<std::int64_t>(size);
    } else {
      FPending.append(data, size);
      char* in = FPending.data();
      std::size_t left = FPending.size();
      while (left > 0) {
        std::size_t old = out.size();
        std::size_t room = left * 4 + 16;
        out.resize(old + room);
        char* o = out.data() + old;
        std::size_t oleft = room;
        std::size_t r = iconv(FConverter, &in, &left, &o, &oleft);
        int err = errno;
        out.resize(old + (room - oleft));
        if (r != static_cast<std::size_t>(-1)) break;
        if (err == E2BIG) continue;
        if (err == EINVAL) break;  // an incomplete sequence: wait for the next block
        out.append(ReplacementChar);
        std::size_t skip = std::min<std::size_t>(FUnit, left);
        in += skip;
        left -= skip;
      }
      std::size_t used = FPending.size() - left;
      FConsumed += static_cast<std::int64_t>(used);
      FPending.erase(0, used);
    }
    FProduced += static_cast<std::int64_t>(out.size() - outBefore);
  }

  void FinishDecoding(std::string& out) {
    if (!FPending.empty()) {
      // A sequence cut off by the end of the stream.
      out.append(ReplacementChar);
      FProduced += 3;
      FConsumed += static_cast<std::int64_t>(FPending.size());
      FPending.clear();
    }
  }

  TStream& FStream;
  int FRequestedCodePage;
  std::int64_t FBlockSize;
  std::int64_t FStartOffset = 0;
  std::vector<char> FRaw;
  std::string FProbe;
  std::string FPending;
  iconv_t FConverter = reinterpret_cast<iconv_t>(-1);
  std::size_t FUnit = 1;
  bool FEnd = false;
  std::int64_t FRawTotal = UnknownLength;
  std::int64_t FConsumed = 0;
  std::int64_t FProduced = 0;
};

// ---- TParser -------------------------------------------------------------------

const TLexemTable& TParser::ParserSymbols() {
  static const TLexemTable table{
      {"!", 1},  {"\"", 2}, {"#", 3},  {"$", 4},  {"%", 5},  {"&", 6},  {"'", 7},
      {"(", 8},  {")", 9},  {"*", 10}, {"+", 11}, {",", 12}, {"-", 13}, {".", 14},
      {"/", 15}, {":", 16}, {";", 17}, {"<", 18}, {"=", 19}, {">", 20}, {"?", 21},
      {"@", 22}, {"[", 23}, {"\\", 24}, {"]", 25}, {"^", 26}, {"_", 27}, {"`", 28}};
  return table;
}

const TLexemTable& TParser::ParserKeywords() {
  static const TLexemTable table{{"AND", 29}, {"NOT", 30}, {"OR", 31}};
  return table;
}

TParser::TParser(std::string text) : FText(std::move(text)) { FDecSeparator = FormatSettings().DecimalSeparator; }

TParser::TParser(TStream& stream, int codePage, std::int64_t blockSize) {
  if (blockSize < 1 || blockSize > MaxBlockSize)
    throw EArgumentError(Format("Invalid block size (%d)", {blockSize}));
  FDecSeparator = FormatSettings().DecimalSeparator;
  FSource = std::make_unique<TSource>(stream, codePage, blockSize);
  FSource->Start();
}

TParser::~TParser() = default;

void TParser::InitParser() {
  FSymbolLexems = &ParserSymbols();
  FKeywordLexems = &ParserKeywords();
}

void TParser::EnsureInit() {
  if (FInitDone) return;
  InitParser();
  // The character classes are a function of the dialect class: they are
  // worked out once per class (and thread) and copied into every parser.
  struct TCachedClasses {
    const std::type_info* Type;
    std::uint8_t Classes[256];
  };
  thread_local std::vector<TCachedClasses> cache;
  const std::type_info& type = typeid(*this);
  for (const TCachedClasses& c : cache) {
    if (*c.Type == type) {
      std::memcpy(FClass, c.Classes, sizeof FClass);
      FInitDone = true;
      return;
    }
  }
  for (int i = 0; i < 256; ++i) {
    auto ch = static_cast<unsigned char>(i);
    std::uint8_t cls = 0;
    if (IsBlank(ch)) cls |= ccBlank;
    if (IsSymbol(ch)) cls |= ccSymbol;
    if (IsAlpha(ch) || ch == '_') cls |= ccStart;
    if (IsIdentChar(ch)) cls |= ccIdent;
    if (IsNumber(ch)) cls |= ccDigit;
    if (IsStringQuote(ch)) cls |= ccStringQuote;
    if (IsIdentQuote(ch)) cls |= ccIdentQuote;
    FClass[i] = cls;
  }
  TCachedClasses entry;
  entry.Type = &type;
  std::memcpy(entry.Classes, FClass, sizeof FClass);
  cache.push_back(entry);
  FInitDone = true;
}

bool TParser::IsBlank(unsigned char ch) const { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

bool TParser::IsSymbol(unsigned char ch) const {
  return (ch >= '!' && ch <= '/') || (ch >= ':' && ch <= '@') || (ch >= '[' && ch <= '^') || ch == '`' ||
         (ch >= '{' && ch <= '~');
}

bool TParser::IsAlpha(unsigned char ch) const { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch >= 0x80; }

bool TParser::IsIdentChar(unsigned char ch) const { return IsAlpha(ch) || IsNumber(ch) || ch == '_'; }

bool TParser::IsNumber(unsigned char ch) const { return ch >= '0' && ch <= '9'; }

bool TParser::IsStringQuote(unsigned char ch) const { return ch == '\'' || ch == '"'; }

bool TParser::IsIdentQuote(unsigned char) const { return false; }

bool TParser::IsInlineComment(std::size_t index) { return At(index) == '/' && At(index + 1) == '/'; }

bool TParser::ToRightQuote(char quote) { return ScanQuoted(quote, false, false); }

void TParser::SetText(std::string text) {
  FSource.reset();
  FText = std::move(text);
  ToBegin();
}

void TParser::ToBegin() {
  FPos = 0;
  FBase = 0;
  FCurrLine = 0;
  FCurrBegLine = 0;
  FPrev = {};
  FPrevPrev = {};
  FCanBack = false;
  FToken = lcBlank;
  FPrevToken = lcBlank;
  FLexemBegin = FLexemEnd = 0;
  FKeywordText = {};
  if (FSource) {
    FText.clear();
    FSource->Start();
  }
}

void TParser::Back() {
  if (!FCanBack) return;
  FPos = static_cast<std::size_t>(FPrev.Pos - FBase);
  FCurrLine = FPrev.Line;
  FCurrBegLine = FPrev.BegLine;
  FPrev = FPrevPrev;
  FCanBack = false;
  FToken = FPrevToken;
  FLexemBegin = FLexemEnd = FPos;
  FKeywordText = {};
}

std::int64_t TParser::TextLength() const noexcept {
  return FSource ? FSource->TextLength() : static_cast<std::int64_t>(FText.size());
}

std::string_view TParser::LexemView() const noexcept {
  if (!FKeywordText.empty()) return FKeywordText;
  return std::string_view(FText).substr(FLexemBegin, FLexemEnd - FLexemBegin);
}

bool TParser::Fill(std::size_t index) {
  while (index >= FText.size())
    if (!FSource->Read(FText)) return false;
  return true;
}

std::size_t TParser::Compact() {
  // Keeps one byte before the next lexeme so that a CR LF pair split between
  // two lexemes still counts as one line break.
  if (!FSource || FPos <= 1) return 0;
  std::size_t drop = FPos - 1;
  if (static_cast<std::int64_t>(drop) < FSource->BlockSize()) return 0;
  FText.erase(0, drop);
  FBase += static_cast<std::int64_t>(drop);
  FPos -= drop;
  FLexemBegin = FLexemEnd = FPos;
  std::size_t keep = static_cast<std::size_t>(std::max<std::int64_t>(FSource->BlockSize(), BLOCK_SIZE));
  if (FText.capacity() > 4 * keep && FText.size() * 4 < FText.capacity()) FText.shrink_to_fit();
  return drop;
}

bool TParser::MatchAt(std::size_t index, std::string_view text) {
  if (text.empty() || !Has(index + text.size() - 1)) return false;
  return std::memcmp(FText.data() + index, text.data(), text.size()) == 0;
}

void TParser::NoteBreak(std::size_t index) noexcept {
  if (FText[index] == '\r' || index == 0 || FText[index - 1] != '\r') ++FCurrLine;
  FCurrBegLine = FBase + static_cast<std::int64_t>(index) + 1;
}

void TParser::CountLines(std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    char ch = FText[i];
    if (ch == '\r' || ch == '\n') NoteBreak(i);
  }
}

bool TParser::ScanQuoted(char quote, bool doubling, bool backslash) {
  for (;;) {
    std::size_t n = FText.size();
    const char* p = FText.data();
    std::size_t i = FPos;
    if (backslash) {
      while (i < n && p[i] != quote && p[i] != '\\') ++i;
    } else if (i < n) {
      const void* found = std::memchr(p + i, quote, n - i);
      i = found ? static_cast<std::size_t>(static_cast<const char*>(found) - p) : n;
    }
    FPos = i;
    if (i >= n) {
      if (!Has(i)) return false;
      continue;
    }
    if (p[i] == '\\') {
      // The escaped byte, whatever it is.
      if (!Has(i + 1)) {
        FPos = i + 1;
        return false;
      }
      FPos = i + 2;
      continue;
    }
    if (doubling && At(i + 1) == static_cast<unsigned char>(quote)) {
      FPos = i + 2;
      continue;
    }
    FPos = i + 1;
    return true;
  }
}

int TParser::SetLexem(const TMark& start, std::size_t begin, std::size_t end, int code) noexcept {
  FPrevPrev = FPrev;
  FPrev = start;
  FCanBack = true;
  FLexemBegin = begin;
  FLexemEnd = end;
  FKeywordText = {};
  return code;
}

bool TParser::SkipComment() {
  // A comment that is skipped may be dropped from a stream's buffer while it
  // is read, so that a huge comment does not have to be held.
  const bool discard = FOmitComment && FSource;
  std::size_t begin = FPos;
  if (IsInlineComment(begin)) {
    for (;;) {
      std::size_t n = FText.size();
      while (FPos < n && FText[FPos] != '\r' && FText[FPos] != '\n') ++FPos;
      if (FPos < n) break;
      if (discard) Compact();
      if (!Has(FPos)) break;
    }
    return true;
  }
  if (FCommentBegin.empty() || FText[begin] != FCommentBegin[0] || !MatchAt(begin, FCommentBegin)) return false;
  FPos = begin + FCommentBegin.size();
  std::size_t counted = begin;
  if (FCommentEnd.empty()) {
    for (;;) {
      FPos = FText.size();
      CountLines(counted, FPos);
      counted = FPos;
      if (discard) counted -= Compact();
      if (!Has(FPos)) break;
    }
    return true;
  }
  const char last = FCommentEnd.back();
  const std::size_t tail = FCommentEnd.size() - 1;
  for (;;) {
    std::size_t n = FText.size();
    const char* p = FText.data();
    std::size_t i = FPos + tail;
    bool found = false;
    while (i < n) {
      const void* hit = std::memchr(p + i, last, n - i);
      if (!hit) break;
      i = static_cast<std::size_t>(static_cast<const char*>(hit) - p);
      if (std::memcmp(p + i - tail, FCommentEnd.data(), tail) == 0) {
        found = true;
        break;
      }
      ++i;
    }
    if (found) {
      FPos = i + 1;
      break;
    }
    // The last bytes may begin the closing text that the next block ends.
    if (n > FPos + tail) FPos = n - tail;
    CountLines(counted, FPos);
    counted = FPos;
    if (discard) counted -= Compact();
    if (!Has(FText.size())) {
      FPos = FText.size();
      break;
    }
  }
  CountLines(counted, FPos);
  return true;
}

[[noreturn]] void TParser::UnknownSymbol(const TMark& start) {
  std::size_t begin = FPos;
  unsigned char ch = static_cast<unsigned char>(FText[begin]);
  ++FPos;
  SetLexem(start, begin, FPos, lcSymbol);
  FToken = lcSymbol;
  char hex[8];
  std::snprintf(hex, sizeof hex, "%.4X", static_cast<unsigned>(ch));
  throw EParserError("Parser: The unknown symbol '" + std::string(1, static_cast<char>(ch)) + "'  $" + hex,
                     start.Pos);
}

int TParser::ScanSymbol(const TMark& start) {
  std::size_t begin = FPos;
  std::size_t len = 1;
  int code = lcSymbol;
  auto ch = static_cast<unsigned char>(FText[begin]);
  if (FSymbolLexems && FSymbolLexems->SingleCode(ch)) {
    code = FSymbolLexems->SingleCode(ch);
    if (FSymbolLexems->HasLonger(ch)) {
      for (std::size_t n = 2; n <= FSymbolLexems->MaxLength(); ++n) {
        if (!Has(begin + n - 1) || !(FClass[static_cast<unsigned char>(FText[begin + n - 1])] & ccSymbol)) break;
        int found = FSymbolLexems->Find(std::string_view(FText.data() + begin, n));
        if (!found) break;
        code = found;
        len = n;
      }
    }
  }
  if (!FDesiredLexem.empty() && FDesiredLexem.size() > len && MatchAt(begin, FDesiredLexem)) {
    len = FDesiredLexem.size();
    code = FSymbolLexems ? FSymbolLexems->Find(FDesiredLexem) : 0;
    if (!code) code = lcSymbol;
  }
  FPos = begin + len;
  return SetLexem(start, begin, FPos, code);
}

bool TParser::ScanDollar(const TMark& start) {
  std::size_t begin = FPos;
  std::size_t i = begin + 1;
  if (Has(i) && (FClass[static_cast<unsigned char>(FText[i])] & ccDigit)) return false;
  while (Has(i) && FText[i] != '$' && (FClass[static_cast<unsigned char>(FText[i])] & ccIdent)) ++i;
  if (At(i) != '$') return false;
  std::string tag = FText.substr(begin, i + 1 - begin);
  FPos = i + 1;
  std::size_t contentBegin = FPos;
  std::size_t contentEnd;
  for (;;) {
    if (!Has(FPos)) {
      contentEnd = FPos;
      break;
    }
    if (FText[FPos] == '$' && MatchAt(FPos, tag)) {
      contentEnd = FPos;
      FPos += tag.size();
      break;
    }
    ++FPos;
  }
  if (CountsLinesInStrings()) CountLines(contentBegin, contentEnd);
  if (FQuotedString)
    SetLexem(start, begin, FPos, lcString);
  else
    SetLexem(start, contentBegin, contentEnd, lcString);
  return true;
}

void TParser::ScanQQuote(const TMark& start) {
  std::size_t begin = FPos - 1;  // the q
  auto quote = static_cast<unsigned char>(FText[FPos]);
  ++FPos;
  std::size_t contentBegin = FPos;
  std::size_t contentEnd = FPos;
  int open = At(FPos);
  if (open >= 0) {
    int close = open == '(' ? ')' : open == '<' ? '>' : open == '[' ? ']' : open == '{' ? '}' : open;
    ++FPos;
    contentBegin = FPos;
    for (;;) {
      if (!Has(FPos)) {
        contentEnd = FPos;
        break;
      }
      if (static_cast<unsigned char>(FText[FPos]) == close && At(FPos + 1) == quote) {
        contentEnd = FPos;
        FPos += 2;
        break;
      }
      ++FPos;
    }
  }
  if (CountsLinesInStrings()) CountLines(begin + 2, FPos);
  if (FQuotedString)
    SetLexem(start, begin, FPos, lcString);
  else
    SetLexem(start, contentBegin, contentEnd, lcString);
}

int TParser::InternalGetNext() {
  for (;;) {
    TMark start = MarkHere();
    std::size_t begin = FPos;
    bool skipped = false;
    for (;;) {
      std::size_t n = FText.size();
      while (FPos < n) {
        char ch = FText[FPos];
        if (!(FClass[static_cast<unsigned char>(ch)] & ccBlank)) break;
        if (ch == '\r' || ch == '\n') NoteBreak(FPos);
        ++FPos;
        skipped = true;
      }
      if (FPos < n) break;
      if (FOmitBlank) Compact();  // a long run of skipped blanks is not held
      if (!Has(FPos)) break;
    }
    if (skipped && !FOmitBlank) return SetLexem(start, begin, FPos, lcBlank);
    if (!Has(FPos)) return SetLexem(MarkHere(), FPos, FPos, lcEnd);
    std::uint8_t cls = FClass[static_cast<unsigned char>(FText[FPos])];
    if ((cls & ccSymbol) || !(cls & ccIdent)) {
      start = MarkHere();
      begin = FPos;
      if (SkipComment()) {
        if (!FOmitComment) return SetLexem(start, begin, FPos, lcComment);
        continue;
      }
    }
    break;
  }

  TMark start = MarkHere();
  std::size_t begin = FPos;
  auto ch = static_cast<unsigned char>(FText[begin]);
  std::uint8_t cls = FClass[ch];

  if (cls & ccSymbol) {
    if (cls & (ccStringQuote | ccIdentQuote)) {
      bool string = cls & ccStringQuote;
      ++FPos;
      bool closed = ToRightQuote(static_cast<char>(ch));
      if (CountsLinesInStrings()) CountLines(begin + 1, FPos);
      if (!string || FQuotedString) return SetLexem(start, begin, FPos, string ? lcString : lcIdent);
      return SetLexem(start, begin + 1, closed ? FPos - 1 : FPos, lcString);
    }
    if (FDollarQuoting && ch == '$' && ScanDollar(start)) return lcString;
    return ScanSymbol(start);
  }

  if (cls & ccStart) {
    ++FPos;
    for (;;) {
      std::size_t n = FText.size();
      while (FPos < n && (FClass[static_cast<unsigned char>(FText[FPos])] & ccIdent)) ++FPos;
      if (FPos < n || !Has(FPos)) break;
    }
    if (FAlternativeQuoting && FPos == begin + 1 && (ch == 'q' || ch == 'Q') && Has(FPos) &&
        (FClass[static_cast<unsigned char>(FText[FPos])] & ccStringQuote)) {
      ScanQQuote(start);
      return lcString;
    }
    return SetLexem(start, begin, FPos, lcIdent);
  }

  if (cls & ccDigit) {
    auto digits = [this] {
      for (;;) {
        std::size_t n = FText.size();
        while (FPos < n && (FClass[static_cast<unsigned char>(FText[FPos])] & ccDigit)) ++FPos;
        if (FPos < n || !Has(FPos)) break;
      }
    };
    digits();
    if (At(FPos) == static_cast<unsigned char>(FDecSeparator) && Has(FPos + 1) &&
        (FClass[static_cast<unsigned char>(FText[FPos + 1])] & ccDigit)) {
      ++FPos;
      digits();
    }
    return SetLexem(start, begin, FPos, lcNumber);
  }

  UnknownSymbol(start);
}

int TParser::GetNextToken() {
  EnsureInit();
  if (FSource) Compact();
  FPrevToken = FToken;
  int code = InternalGetNext();
  if (code == lcIdent && !FOmitKeywords && FKeywordLexems) {
    std::string_view text(FText.data() + FLexemBegin, FLexemEnd - FLexemBegin);
    if (text.size() <= FKeywordLexems->MaxLength()) {
      int keyword = FKeywordLexems->Find(text);
      if (keyword) {
        code = keyword;
        if (FUppered) FKeywordText = FKeywordLexems->KeyOf(text);
      }
    }
  }
  FToken = code;
  return code;
}

int TParser::GetNext(std::string& lexem) {
  int code = GetNextToken();
  lexem.assign(LexemView());
  return code;
}

namespace {
// "(" and ")" are symbol lexemes in every dialect, with or without a code.
int ParenthesisDelta(int code, std::string_view text) {
  if (code >= lcEnd || code == lcSymbol) {
    if (text.size() == 1 && text[0] == '(') return 1;
    if (text.size() == 1 && text[0] == ')') return -1;
  }
  return 0;
}
}  // namespace

int TParser::ToLexem(int code, bool skipSubQueries) {
  int depth = 0;
  for (;;) {
    int t = GetNextToken();
    if (t == lcEnd) return lcEnd;
    int delta = ParenthesisDelta(t, LexemView());
    if (t == code && (!skipSubQueries || depth == 0)) return t;
    depth += delta;
  }
}

int TParser::ToLexem(std::span<const int> codes) {
  int depth = 0;
  for (;;) {
    int t = GetNextToken();
    if (t == lcEnd) return lcEnd;
    int delta = ParenthesisDelta(t, LexemView());
    if (depth == 0 && std::find(codes.begin(), codes.end(), t) != codes.end()) return t;
    depth += delta;
  }
}

bool TParser::ToLexem(std::string_view lexem) {
  EnsureInit();
  // Only a text of symbol characters can extend a symbol lexeme.
  bool symbolic = !lexem.empty();
  for (char ch : lexem)
    if (!(FClass[static_cast<unsigned char>(ch)] & ccSymbol)) symbolic = false;
  FDesiredLexem = symbolic ? std::string(lexem) : std::string();
  struct TReset {
    std::string& Text;
    ~TReset() { Text.clear(); }
  } reset{FDesiredLexem};
  for (;;) {
    Compact();
    FPrevToken = FToken;
    int t = InternalGetNext();
    FToken = t;
    if (t == lcEnd) return false;
    if (t != lcString && t != lcComment && SameTextAscii(LexemView(), lexem)) return true;
  }
}

bool TParser::IsSymbolCode(int code) {
  EnsureInit();
  return FSymbolLexems && code >= 1 && code <= FSymbolLexems->MaxCode();
}

std::string TParser::GetSymbolByCode(int code) {
  if (!IsSymbolCode(code)) return {};
  return std::string(FSymbolLexems->TextOf(code));
}

// ---- TSQLParser ----------------------------------------------------------------

namespace {
constexpr int SQLClauses[] = {lxWHERE, lxGROUP, lxHAVING, lxUNION, lxINTERSECT, lxMINUS, lxORDER};
}

const TLexemTable& TSQLParser::SQLSymbols() {
  static const TLexemTable table{{"*", 1}, {"=", 2}, {":", 3}, {",", 4}, {".", 5}, {"/", 6}, {";", 7}};
  return table;
}

const TLexemTable& TSQLParser::SQLKeywords() {
  static const TLexemTable table{
      {"ALL", lxALL},         {"AND", lxAND},
      {"AS", lxAS},           {"BEGIN", lxBEGIN},
      {"BY", lxBY},           {"COMMIT", lxCOMMIT},
      {"DELETE", lxDELETE},   {"DISTINCT", lxDISTINCT},
      {"END", lxEND},         {"EXECUTE", lxEXECUTE},
      {"FETCH", lxFETCH},     {"FOR", lxFOR},
      {"FROM", lxFROM},       {"FULL", lxFULL},
      {"GROUP", lxGROUP},     {"HAVING", lxHAVING},
      {"INNER", lxINNER},     {"INSERT", lxINSERT},
      {"INTO", lxINTO},       {"IS", lxIS},
      {"JOIN", lxJOIN},       {"LEFT", lxLEFT},
      {"LIMIT", lxLIMIT},     {"LOCK", lxLOCK},
      {"MINUS", lxMINUS},     {"NOT", lxNOT},
      {"OFFSET", lxOFFSET},   {"ON", lxON},
      {"OR", lxOR},           {"ORDER", lxORDER},
      {"OUTER", lxOUTER},     {"RELEASE", lxRELEASE},
      {"RETURNING", lxRETURNING}, {"RIGHT", lxRIGHT},
      {"ROLLBACK", lxROLLBACK}, {"SAVEPOINT", lxSAVEPOINT},
      {"SELECT", lxSELECT},   {"SET", lxSET},
      {"TO", lxTO},           {"TRANSACTION", lxTRANSACTION},
      {"UNION", lxUNION},     {"UPDATE", lxUPDATE},
      {"WHERE", lxWHERE},     {"WITH", lxWITH}};
  return table;
}

void TSQLParser::InitParser() {
  TParser::InitParser();
  SetSymbolLexems(&SQLSymbols());
  SetKeywordLexems(&SQLKeywords());
  FClauses = SQLClauses;
}

bool TSQLParser::IsAlpha(unsigned char ch) const { return TParser::IsAlpha(ch) || ch == '#' || ch == '$'; }

bool TSQLParser::IsInlineComment(std::size_t index) { return At(index) == '-' && At(index + 1) == '-'; }

int TSQLParser::PosClauseLexem(int code) {
  EnsureInit();
  auto it = std::find(FClauses.begin(), FClauses.end(), code);
  return it == FClauses.end() ? -1 : static_cast<int>(it - FClauses.begin());
}

int TSQLParser::CompareClauseLexems(int code1, int code2) {
  int a = PosClauseLexem(code1);
  int b = PosClauseLexem(code2);
  if (a < 0 || b < 0) return -2;
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace lumo
