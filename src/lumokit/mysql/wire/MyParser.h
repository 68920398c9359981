// The MySQL dialect of the SQL lexer. TMyParser reads MySQL text: strings in
// single or double quotes with backslash escapes, backquoted identifiers,
// "#" and "-- " line comments, the MySQL keywords (codes from lxMyFirst) and
// the MySQL clause order. TMyLumoParser is the variant the provider-neutral
// front uses: only single-quoted strings, double quotes and backquotes both
// quote identifiers. It lives with the wire client, whose session finds
// LOAD DATA LOCAL file names with it; the provider above shares it.
//
// Decisions:
// - "--" starts a comment when followed by a blank, a control character
//   (bytes up to 0x20 and 0x7F) or the end of the text, as the server reads
//   it; "--x" is two "-" symbols and an identifier.
// - Backslash escapes in strings follow BackslashEscapes (default on); a
//   connection turns them off when the server runs with
//   NO_BACKSLASH_ESCAPES. Quoted identifiers never know backslash escapes: a
//   doubled quote (``) stands for one quote inside them.
// - "$" continues an identifier (a$b is one identifier) but does not start
//   one; "#" and "$" are no letters otherwise.
// - Line breaks inside strings and quoted identifiers are always counted.
// - Besides ALL and DISTINCT, DISTINCTROW and STRAIGHT_JOIN are select
//   modifiers; besides NULL, TRUE, FALSE and the functions that MySQL calls
//   without parentheses (CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP,
//   CURRENT_USER, LOCALTIME, LOCALTIMESTAMP, UTC_DATE, UTC_TIME,
//   UTC_TIMESTAMP) are values rather than column names.
#pragma once

#include <lumokit/access/KxParser.h>

namespace lumo {

inline constexpr int lxMyFirst = 1000;
inline constexpr int lxALTER = 1000;
inline constexpr int lxCHARSET = 1001;
inline constexpr int lxCOLUMNS = 1002;
inline constexpr int lxCREATE = 1003;
inline constexpr int lxCROSS = 1004;
inline constexpr int lxDELIMITER = 1005;
inline constexpr int lxDESC = 1006;
inline constexpr int lxDESCRIBE = 1007;
inline constexpr int lxDISTINCTROW = 1008;
inline constexpr int lxENGINES = 1009;
inline constexpr int lxEXPLAIN = 1010;
inline constexpr int lxFORCE = 1011;
inline constexpr int lxFUNCTION = 1012;
inline constexpr int lxHANDLER = 1013;
inline constexpr int lxIGNORE = 1014;
inline constexpr int lxNATURAL = 1015;
inline constexpr int lxPRIVILEGES = 1016;
inline constexpr int lxPROCEDURE = 1017;
inline constexpr int lxPROCESSLIST = 1018;
inline constexpr int lxREPLACE = 1019;
inline constexpr int lxSHOW = 1020;
inline constexpr int lxSLAVE = 1021;
inline constexpr int lxSTATUS = 1022;
inline constexpr int lxSTRAIGHT_JOIN = 1023;
inline constexpr int lxTRIGGER = 1024;
inline constexpr int lxUSE = 1025;

class TMyParser : public TSQLParser {
 public:
  using TSQLParser::TSQLParser;

  bool IsSelectModifier(int code) const override;
  bool IsFunctionOrConst(std::string_view upperedName) const override;

  // The SQL keywords and the MySQL ones.
  static const TLexemTable& MyKeywords();

 protected:
  void InitParser() override;
  bool IsAlpha(unsigned char ch) const override;
  bool IsIdentChar(unsigned char ch) const override;
  bool IsStringQuote(unsigned char ch) const override { return ch == '\'' || ch == '"'; }
  bool IsIdentQuote(unsigned char ch) const override { return ch == '`'; }
  bool IsInlineComment(std::size_t index) override;
  bool ToRightQuote(char quote) override;
  bool CountsLinesInStrings() const override { return true; }
};

class TMyLumoParser : public TMyParser {
 public:
  using TMyParser::TMyParser;

 protected:
  bool IsStringQuote(unsigned char ch) const override { return ch == '\''; }
  bool IsIdentQuote(unsigned char ch) const override { return ch == '"' || ch == '`'; }
};

}  // namespace lumo
