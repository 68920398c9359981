// The SQL lexer. TParser splits a text or a stream into lexemes with integer
// codes (dialect-neutral: symbols, identifiers, numbers, strings, blanks and
// comments); TSQLParser adds the SQL keyword table, SQL quoting and comment
// rules, the order of clauses and the predicates that parameter, macro and
// column scanning ask of a dialect. Every unit that has to understand SQL
// without a server reads it through one of these parsers or a subclass.
//
// Text is bytes. The lexer works on 8-bit text (UTF-8 by default) and treats
// every byte >= 0x80 as a letter, so a multibyte character is always part of
// an identifier and never splits a lexeme. Where older descriptions of the
// lexer speak of characters, read bytes: positions, columns and lengths are
// 0-based byte offsets, 64-bit throughout (a dump larger than 2 GiB reads to
// its end; an unknown stream length is INT64_MAX).
//
// Stream mode. A parser created on a TStream reads it from the stream's
// current position in blocks (BLOCK_SIZE = 65536 bytes unless another size is
// given). A UTF-8 byte-order mark is skipped; FF FE selects UTF-16LE and FE FF
// UTF-16BE (the mark skipped, the text converted to UTF-8); otherwise the text
// is in the code page given to the constructor, or in the process 8-bit code
// page when none is (CP_ACP, 0). UTF-8 text is taken byte for byte; text in
// any other page is converted to UTF-8 while it is read, sequences cut by a
// block boundary are carried over, malformed ones become U+FFFD. Positions are offsets into that decoded text, counted
// from the first byte after the byte-order mark, so string mode over the
// decoded text and stream mode over the encoded stream report the same
// lexemes at the same positions. Text before the current lexeme is dropped
// once a block's worth of it has piled up, so memory stays proportional to
// the block size plus the longest lexeme.
//
// Decisions:
// - PrevPos/PrevLine/PrevCol give where the last lexeme itself starts, after
//   the blanks and comments skipped before it. Back() returns there (one step
//   only: a second Back() without GetNext in between does nothing), restores
//   the line count and makes the lexeme before it the previous one; the
//   current lexeme text is then empty.
// - A lexeme text returned by LexemView() is valid until the next call that
//   moves the parser. GetNext(std::string&) copies it.
// - A byte that is neither blank, symbol character, letter, "_" nor digit
//   raises EParserError; the byte is consumed (PrevPos is its position), so a
//   caller that catches the error and reads on continues after it.
// - Line breaks inside strings and quoted identifiers are counted with
//   AdvancedStringParsing (always by dialects that count them, e.g. MySQL);
//   comments and blanks always count them.
// - DecSeparator defaults to the decimal separator of the process-wide
//   FormatSettings in TParser and to "." in TSQLParser and its dialects.
// - A dollar quote tag consists of identifier characters between the two "$";
//   "$" followed by anything else is a symbol.
// - ToLexem(text) never matches a string or comment lexeme; a text made of
//   symbol characters matches at any place where it occurs outside strings
//   and comments, also when it is not a symbol of the table ("$$", "//").
// - The character classes (IsBlank, IsSymbol, IsAlpha ...) are worked out
//   once per dialect class and thread and reused by every parser of that
//   class: a dialect's tests depend on its class only, never on the state
//   of one parser.
// - BackslashEscapes (default true, as the server's default) is honoured by
//   the dialects whose strings know backslash escapes; a connection sets it
//   from its NO_BACKSLASH_ESCAPES state.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

class TStream;

// Lexeme codes. Codes from 1 up are symbols of the dialect's symbol table,
// from 100 up keywords of its keyword table.
inline constexpr int lcEnd = 0;
inline constexpr int lcLexem = -100;
inline constexpr int lcSymbol = -102;
inline constexpr int lcIdent = -103;
inline constexpr int lcNumber = -105;
inline constexpr int lcString = -106;
inline constexpr int lcBlank = -107;
inline constexpr int lcComment = -108;

// Keyword codes of TSQLParser (and of every SQL dialect below it).
inline constexpr int lxSQLFirst = 100;
inline constexpr int lxALL = 100;
inline constexpr int lxAND = 101;
inline constexpr int lxAS = 102;
inline constexpr int lxBEGIN = 103;
inline constexpr int lxBY = 104;
inline constexpr int lxCOMMIT = 105;
inline constexpr int lxDELETE = 106;
inline constexpr int lxDISTINCT = 107;
inline constexpr int lxEND = 108;
inline constexpr int lxEXECUTE = 109;
inline constexpr int lxFETCH = 110;
inline constexpr int lxFOR = 111;
inline constexpr int lxFROM = 112;
inline constexpr int lxFULL = 113;
inline constexpr int lxGROUP = 114;
inline constexpr int lxHAVING = 115;
inline constexpr int lxINNER = 116;
inline constexpr int lxINSERT = 117;
inline constexpr int lxINTERSECT = 118;  // reserved: not in the SQL table
inline constexpr int lxINTO = 119;
inline constexpr int lxIS = 120;
inline constexpr int lxJOIN = 121;
inline constexpr int lxLEFT = 122;
inline constexpr int lxLIMIT = 123;
inline constexpr int lxLOCK = 124;
inline constexpr int lxMINUS = 125;
inline constexpr int lxNOT = 126;
inline constexpr int lxOFFSET = 127;
inline constexpr int lxON = 128;
inline constexpr int lxONLY = 129;  // reserved: not in the SQL table
inline constexpr int lxOR = 130;
inline constexpr int lxORDER = 131;
inline constexpr int lxOUTER = 132;
inline constexpr int lxRELEASE = 133;
inline constexpr int lxRETURNING = 134;
inline constexpr int lxRIGHT = 135;
inline constexpr int lxROLLBACK = 136;
inline constexpr int lxSAVEPOINT = 137;
inline constexpr int lxSELECT = 138;
inline constexpr int lxSET = 139;
inline constexpr int lxTO = 140;
inline constexpr int lxTRANSACTION = 141;
inline constexpr int lxUNION = 142;
inline constexpr int lxUPDATE = 143;
inline constexpr int lxWHERE = 144;
inline constexpr int lxWITH = 145;

// "Parser: The unknown symbol 'c'  $00XX".
class EParserError : public Exception {
 public:
  EParserError(std::string message, std::int64_t position)
      : Exception(std::move(message)), FPosition(position) {}
  // Byte offset of the offending byte.
  std::int64_t Position() const noexcept { return FPosition; }

 private:
  std::int64_t FPosition;
};

// A sorted table mapping lexeme texts to codes. Lookups compare with a-z
// folded to A-Z (a shorter text sorts before a longer one with the same
// beginning); bytes >= 0x80 are compared as they are. Tables are immutable
// after construction and may be shared between threads.
class TLexemTable {
 public:
  TLexemTable(std::initializer_list<std::pair<std::string_view, int>> entries);
  // The entries of `base` plus `more`.
  TLexemTable(const TLexemTable& base, std::initializer_list<std::pair<std::string_view, int>> more);

  // The code of `text`, or 0 when it is not in the table.
  int Find(std::string_view text) const noexcept;
  // The (upper-cased) text stored for `code`, or an empty view.
  std::string_view TextOf(int code) const noexcept;
  // The stored text of an entry found with Find (same folding).
  std::string_view KeyOf(std::string_view text) const noexcept;
  // True when some entry starts with `ch`.
  bool IsFirstChar(unsigned char ch) const noexcept { return FFirstChars[ch]; }
  // The code of the one-byte entry `ch` (0 when none), and whether a longer
  // entry starts with `ch`: the fast path of symbol scanning.
  int SingleCode(unsigned char ch) const noexcept { return FSingle[ch]; }
  bool HasLonger(unsigned char ch) const noexcept { return FLonger[ch]; }
  int MaxCode() const noexcept { return FMaxCode; }
  std::size_t MaxLength() const noexcept { return FMaxLength; }
  std::size_t Count() const noexcept { return FEntries.size(); }

 private:
  struct TEntry {
    std::string Text;
    int Code;
  };
  void Add(std::string_view text, int code);
  void Finish();
  const TEntry* Lookup(std::string_view text) const noexcept;

  std::vector<TEntry> FEntries;
  std::bitset<256> FFirstChars;
  std::bitset<256> FLonger;
  std::uint64_t FLengths = 0;  // bit n: some entry has n bytes (n < 64)
  int FSingle[256] = {};
  int FMaxCode = 0;
  std::size_t FMaxLength = 0;
};

class TParser {
 public:
  static constexpr std::int64_t BLOCK_SIZE = 65536;
  static constexpr std::int64_t UnknownLength = std::numeric_limits<std::int64_t>::max();

  // A parser over `text`, positioned at its beginning.
  explicit TParser(std::string text = {});
  // A parser over `stream` from its current position; `codePage` 0 means
  // "by byte-order mark, else the process 8-bit code page". `blockSize` is
  // the number of bytes read at a time (>= 1; EArgumentError otherwise).
  TParser(TStream& stream, int codePage = 0, std::int64_t blockSize = BLOCK_SIZE);
  TParser(const TParser&) = delete;
  TParser& operator=(const TParser&) = delete;
  virtual ~TParser();

  // Replaces the text (leaving stream mode) and goes to the beginning.
  void SetText(std::string text);
  // Position 0, line 0, no lexeme, current code lcBlank. In stream mode the
  // stream is read again from where the parser started.
  void ToBegin();
  // Returns to the start of the last lexeme (one step only).
  void Back();

  // Reads the next lexeme; returns its code.
  int GetNextToken();
  int GetNext(std::string& lexem);

  // Reads lexemes until one with `code` or the end; with `skipSubQueries` a
  // match counts only outside parentheses. Returns the code reached (lcEnd
  // at the end).
  int ToLexem(int code, bool skipSubQueries = false);
  // Reads until any of `codes` occurs outside parentheses; returns it, or 0.
  int ToLexem(std::span<const int> codes);
  int ToLexem(std::initializer_list<int> codes) {
    return ToLexem(std::span<const int>(codes.begin(), codes.size()));
  }
  // Raw scan (no keyword lookup) until a lexeme equal to `lexem` (a-z folded)
  // is found; returns whether it was found.
  bool ToLexem(std::string_view lexem);

  bool IsSymbolCode(int code);
  // The symbol's text, empty when the code is not a symbol.
  std::string GetSymbolByCode(int code);

  // The current lexeme.
  int Token() const noexcept { return FToken; }
  std::string_view LexemView() const noexcept;
  std::string Lexem() const { return std::string(LexemView()); }
  // Offset and length of the current lexeme's text (without the quotes a
  // string lexeme loses).
  std::int64_t LexemPos() const noexcept { return FBase + static_cast<std::int64_t>(FLexemBegin); }
  std::int64_t LexemLength() const noexcept { return static_cast<std::int64_t>(FLexemEnd - FLexemBegin); }

  // Positions: 0-based byte offsets, lines and columns.
  std::int64_t CurrPos() const noexcept { return FBase + static_cast<std::int64_t>(FPos); }
  std::int64_t PrevPos() const noexcept { return FPrev.Pos; }
  std::int64_t PrevPrevPos() const noexcept { return FPrevPrev.Pos; }
  std::int64_t CurrLine() const noexcept { return FCurrLine; }
  std::int64_t PrevLine() const noexcept { return FPrev.Line; }
  std::int64_t CurrCol() const noexcept { return CurrPos() - FCurrBegLine; }
  std::int64_t PrevCol() const noexcept { return FPrev.Pos - FPrev.BegLine; }
  // Length of the text: the string's length; in stream mode the expected
  // length of the decoded text (exact once the end has been read), or
  // UnknownLength when the stream cannot tell its size.
  std::int64_t TextLength() const noexcept;
  bool StreamMode() const noexcept { return FSource != nullptr; }
  // Bytes of text currently held (the whole text in string mode).
  std::size_t BufferedBytes() const noexcept { return FText.size(); }

  // Options.
  bool OmitBlank() const noexcept { return FOmitBlank; }
  void SetOmitBlank(bool value) noexcept { FOmitBlank = value; }
  bool OmitComment() const noexcept { return FOmitComment; }
  void SetOmitComment(bool value) noexcept { FOmitComment = value; }
  bool Uppered() const noexcept { return FUppered; }
  void SetUppered(bool value) noexcept { FUppered = value; }
  bool QuotedString() const noexcept { return FQuotedString; }
  void SetQuotedString(bool value) noexcept { FQuotedString = value; }
  bool AdvancedStringParsing() const noexcept { return FAdvancedStringParsing; }
  void SetAdvancedStringParsing(bool value) noexcept { FAdvancedStringParsing = value; }
  char DecSeparator() const noexcept { return FDecSeparator; }
  void SetDecSeparator(char value) noexcept { FDecSeparator = value; }
  const std::string& CommentBegin() const noexcept { return FCommentBegin; }
  void SetCommentBegin(std::string value) { FCommentBegin = std::move(value); }
  const std::string& CommentEnd() const noexcept { return FCommentEnd; }
  void SetCommentEnd(std::string value) { FCommentEnd = std::move(value); }
  bool OmitKeywords() const noexcept { return FOmitKeywords; }
  void SetOmitKeywords(bool value) noexcept { FOmitKeywords = value; }
  bool AlternativeQuoting() const noexcept { return FAlternativeQuoting; }
  void SetAlternativeQuoting(bool value) noexcept { FAlternativeQuoting = value; }
  bool DollarQuoting() const noexcept { return FDollarQuoting; }
  void SetDollarQuoting(bool value) noexcept { FDollarQuoting = value; }
  bool BackslashEscapes() const noexcept { return FBackslashEscapes; }
  void SetBackslashEscapes(bool value) noexcept { FBackslashEscapes = value; }

  // The shared tables of the neutral lexer.
  static const TLexemTable& ParserSymbols();
  static const TLexemTable& ParserKeywords();

 protected:
  // Installs the dialect's tables; runs once, before the first lexeme is
  // read (after construction, so overrides of the character tests apply).
  // An override calls its base first.
  virtual void InitParser();

  // Character classes of the dialect.
  virtual bool IsBlank(unsigned char ch) const;
  virtual bool IsSymbol(unsigned char ch) const;
  virtual bool IsAlpha(unsigned char ch) const;
  // May continue an identifier (default: a letter, a digit or "_").
  virtual bool IsIdentChar(unsigned char ch) const;
  virtual bool IsNumber(unsigned char ch) const;
  virtual bool IsStringQuote(unsigned char ch) const;
  virtual bool IsIdentQuote(unsigned char ch) const;
  // True when a line comment starts at buffer index `index`.
  virtual bool IsInlineComment(std::size_t index);
  // Scans from the byte after the opening `quote` to just after the closing
  // one (or to the end); returns whether the closing quote was found.
  virtual bool ToRightQuote(char quote);
  // Whether strings and quoted identifiers count line breaks even without
  // AdvancedStringParsing.
  virtual bool CountsLinesInStrings() const { return FAdvancedStringParsing; }

  // Scanning helpers for dialects. Buffer indexes are relative to the text
  // held; Has() reads more of a stream when needed.
  bool Has(std::size_t index) { return index < FText.size() || (FSource && Fill(index)); }
  // The byte at `index`, or -1 past the end of the text.
  int At(std::size_t index) { return Has(index) ? static_cast<unsigned char>(FText[index]) : -1; }
  bool MatchAt(std::size_t index, std::string_view text);
  // Quoted text: a doubled quote stands for one; a backslash escapes the
  // next byte.
  bool ScanQuoted(char quote, bool doubling, bool backslash);
  // Counts the line breaks in [begin, end) of the buffer.
  void CountLines(std::size_t begin, std::size_t end);

  void SetSymbolLexems(const TLexemTable* table) noexcept { FSymbolLexems = table; }
  void SetKeywordLexems(const TLexemTable* table) noexcept { FKeywordLexems = table; }
  const TLexemTable* SymbolLexems() const noexcept { return FSymbolLexems; }
  const TLexemTable* KeywordLexems() const noexcept { return FKeywordLexems; }
  void EnsureInit();

  std::string FText;       // the text, or in stream mode the part still needed
  std::size_t FPos = 0;    // buffer index of the next byte

 private:
  class TSource;
  struct TMark {
    std::int64_t Pos = 0;
    std::int64_t Line = 0;
    std::int64_t BegLine = 0;
  };
  enum : std::uint8_t {
    ccBlank = 1,
    ccSymbol = 2,
    ccStart = 4,
    ccIdent = 8,
    ccDigit = 16,
    ccStringQuote = 32,
    ccIdentQuote = 64,
  };

  bool Fill(std::size_t index);
  // Drops text before the next byte once a block's worth has piled up (stream
  // mode); returns the bytes dropped, by which buffer indexes move down.
  std::size_t Compact();
  TMark MarkHere() const noexcept { return {CurrPos(), FCurrLine, FCurrBegLine}; }
  void NoteBreak(std::size_t index) noexcept;
  int SetLexem(const TMark& start, std::size_t begin, std::size_t end, int code) noexcept;
  int InternalGetNext();
  bool SkipComment();
  int ScanSymbol(const TMark& start);
  bool ScanDollar(const TMark& start);
  void ScanQQuote(const TMark& start);
  [[noreturn]] void UnknownSymbol(const TMark& start);

  std::unique_ptr<TSource> FSource;
  std::int64_t FBase = 0;  // offset of FText[0] in the whole text

  // Line state: the current line and where it begins; the starts of the last
  // two lexemes.
  std::int64_t FCurrLine = 0;
  std::int64_t FCurrBegLine = 0;
  TMark FPrev;
  TMark FPrevPrev;
  bool FCanBack = false;
  int FPrevToken = lcBlank;

  int FToken = lcBlank;
  std::size_t FLexemBegin = 0;
  std::size_t FLexemEnd = 0;
  std::string_view FKeywordText;  // the stored keyword text when Uppered

  std::string FDesiredLexem;

  bool FInitDone = false;
  std::uint8_t FClass[256] = {};
  const TLexemTable* FSymbolLexems = nullptr;
  const TLexemTable* FKeywordLexems = nullptr;

  bool FOmitBlank = true;
  bool FOmitComment = true;
  bool FUppered = true;
  bool FQuotedString = false;
  bool FAdvancedStringParsing = false;
  char FDecSeparator = '.';
  std::string FCommentBegin = "/*";
  std::string FCommentEnd = "*/";
  bool FOmitKeywords = false;
  bool FAlternativeQuoting = false;
  bool FDollarQuoting = false;
  bool FBackslashEscapes = true;
};

// The SQL dialect: SQL keywords and symbols, single-quoted strings,
// double-quoted identifiers, "--" line comments, "#" and "$" as identifier
// characters, and the order of the clauses of a SELECT.
class TSQLParser : public TParser {
 public:
  explicit TSQLParser(std::string text = {}) : TParser(std::move(text)) { SetDecSeparator('.'); }
  TSQLParser(TStream& stream, int codePage = 0, std::int64_t blockSize = BLOCK_SIZE)
      : TParser(stream, codePage, blockSize) {
    SetDecSeparator('.');
  }

  // Whether a macro marker may be followed by a lexeme of this code.
  virtual bool IsMacroAllowed(int code) const { return code != lcString; }
  virtual bool IsNumericMacroNameAllowed() const { return false; }
  // Words that may follow SELECT before the first column.
  virtual bool IsSelectModifier(int code) const { return code == lxALL || code == lxDISTINCT; }
  // Words that are values rather than column names.
  virtual bool IsFunctionOrConst(std::string_view upperedName) const { return upperedName == "NULL"; }
  virtual bool IsQuasiColumn(std::string_view /*upperedName*/) const { return false; }

  // Clause order.
  bool IsClauseLexem(int code) { return PosClauseLexem(code) >= 0; }
  // The index of `code` in the clause order, or -1.
  int PosClauseLexem(int code);
  // -1, 0 or 1 by clause order; -2 when either code is not a clause.
  int CompareClauseLexems(int code1, int code2);

  static const TLexemTable& SQLSymbols();
  static const TLexemTable& SQLKeywords();

 protected:
  void InitParser() override;
  bool IsAlpha(unsigned char ch) const override;
  bool IsStringQuote(unsigned char ch) const override { return ch == '\''; }
  bool IsIdentQuote(unsigned char ch) const override { return ch == '"'; }
  bool IsInlineComment(std::size_t index) override;
  void SetClauses(std::span<const int> clauses) noexcept { FClauses = clauses; }

 private:
  std::span<const int> FClauses;
};

// A parser class reference: makes parsers of one dialect on a text or a
// stream (what a command's or a script's parser class names).
struct TSQLParserClass {
  std::unique_ptr<TSQLParser> (*CreateForText)(std::string text);
  std::unique_ptr<TSQLParser> (*CreateForStream)(TStream& stream, int codePage, std::int64_t blockSize);

  std::unique_ptr<TSQLParser> Create(std::string text) const { return CreateForText(std::move(text)); }
  std::unique_ptr<TSQLParser> Create(TStream& stream, int codePage = 0,
                                     std::int64_t blockSize = TParser::BLOCK_SIZE) const {
    return CreateForStream(stream, codePage, blockSize);
  }
  bool operator==(const TSQLParserClass&) const = default;
};

template <class T>
constexpr TSQLParserClass ParserClassOf() {
  return {[](std::string text) -> std::unique_ptr<TSQLParser> { return std::make_unique<T>(std::move(text)); },
          [](TStream& stream, int codePage, std::int64_t blockSize) -> std::unique_ptr<TSQLParser> {
            return std::make_unique<T>(stream, codePage, blockSize);
          }};
}

}  // namespace lumo
