#include <lumokit/mysql/wire/MyParser.h>

#include <algorithm>
#include <array>

namespace lumo {

namespace {
constexpr int MyClauses[] = {lxWHERE, lxGROUP, lxHAVING, lxORDER, lxLIMIT, lxPROCEDURE, lxFOR, lxLOCK};
}

const TLexemTable& TMyParser::MyKeywords() {
  static const TLexemTable table(
      SQLKeywords(),
      {{"ALTER", lxALTER},         {"CHARSET", lxCHARSET},     {"COLUMNS", lxCOLUMNS},
       {"CREATE", lxCREATE},       {"CROSS", lxCROSS},         {"DELIMITER", lxDELIMITER},
       {"DESC", lxDESC},           {"DESCRIBE", lxDESCRIBE},   {"DISTINCTROW", lxDISTINCTROW},
       {"ENGINES", lxENGINES},     {"EXPLAIN", lxEXPLAIN},     {"FORCE", lxFORCE},
       {"FUNCTION", lxFUNCTION},   {"HANDLER", lxHANDLER},     {"IGNORE", lxIGNORE},
       {"NATURAL", lxNATURAL},     {"PRIVILEGES", lxPRIVILEGES}, {"PROCEDURE", lxPROCEDURE},
       {"PROCESSLIST", lxPROCESSLIST}, {"REPLACE", lxREPLACE}, {"SHOW", lxSHOW},
       {"SLAVE", lxSLAVE},         {"STATUS", lxSTATUS},       {"STRAIGHT_JOIN", lxSTRAIGHT_JOIN},
       {"TRIGGER", lxTRIGGER},     {"USE", lxUSE}});
  return table;
}

void TMyParser::InitParser() {
  TSQLParser::InitParser();
  SetKeywordLexems(&MyKeywords());
  SetClauses(MyClauses);
}

bool TMyParser::IsAlpha(unsigned char ch) const { return TParser::IsAlpha(ch); }

bool TMyParser::IsIdentChar(unsigned char ch) const { return TParser::IsIdentChar(ch) || ch == '$'; }

bool TMyParser::IsInlineComment(std::size_t index) {
  int ch = At(index);
  if (ch == '#') return true;
  if (ch != '-' || At(index + 1) != '-') return false;
  int next = At(index + 2);
  return next < 0 || next <= ' ' || next == 0x7F;
}

bool TMyParser::ToRightQuote(char quote) {
  if (IsIdentQuote(static_cast<unsigned char>(quote))) return ScanQuoted(quote, true, false);
  return ScanQuoted(quote, false, BackslashEscapes());
}

bool TMyParser::IsSelectModifier(int code) const {
  return TSQLParser::IsSelectModifier(code) || code == lxDISTINCTROW || code == lxSTRAIGHT_JOIN;
}

bool TMyParser::IsFunctionOrConst(std::string_view upperedName) const {
  static constexpr std::array<std::string_view, 12> values = {
      "NULL",      "TRUE",           "FALSE",    "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP",
      "CURRENT_USER", "LOCALTIME", "LOCALTIMESTAMP", "UTC_DATE", "UTC_TIME",     "UTC_TIMESTAMP"};
  return std::find(values.begin(), values.end(), upperedName) != values.end();
}

}  // namespace lumo
