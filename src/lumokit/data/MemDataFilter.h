// The filter language of the record store: the lexer (TBoolParser) shared
// with IndexFieldNames lists, the expression tree (TExpressionNode) built by
// a recursive-descent parser, wildcard masks, and the evaluation of an
// expression against one record's field values.
//
// Decisions:
// - Masks ("*" and "%" for any run, "_" for one character) are matched
//   iteratively with a single back-tracking point, so the time is bounded by
//   text length × mask length whatever the mask. "_" consumes one UTF-8
//   character (one byte of text that is not well-formed UTF-8).
// - Parentheses and NOT may nest at most MaxFilterDepth levels; deeper input
//   is an "Illegal filter expression". Chains of AND and OR of any length
//   are evaluated without recursion.
// - Numbers in a filter always use '.' as the decimal point.
// - A comparison that cannot be made (text against a number that it does
//   not convert to, a variant kind without an order) makes the record fail
//   the filter instead of raising in the middle of navigation.
// - Double-quoted text is a quoted name (IndexFieldNames); the filter
//   grammar does not accept it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/Variant.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

constexpr int MaxFilterDepth = 200;

// The lexer of filter expressions and IndexFieldNames lists; blanks are
// skipped. Keywords are recognised regardless of case.
class TBoolParser {
 public:
  // Lexeme kinds that are not symbols or keywords.
  static constexpr int lcEnd = 0;
  static constexpr int lcIdent = -1;
  static constexpr int lcNumber = -2;
  static constexpr int lcString = -3;      // '...' (Text() is unquoted)
  static constexpr int lcQuotedName = -4;  // "..." (Text() is unquoted)
  static constexpr int lcError = -5;       // unknown character or unterminated quote
  // Symbols.
  static constexpr int lxEqual = 1;
  static constexpr int lxMore = 2;
  static constexpr int lxLess = 3;
  static constexpr int lxMoreEqual = 4;
  static constexpr int lxLessEqual = 5;
  static constexpr int lxNoEqual = 6;
  static constexpr int lxLeftParen = 7;
  static constexpr int lxRightParen = 8;
  static constexpr int lxMinus = 9;
  static constexpr int lxPlus = 10;
  static constexpr int lxLeftBracket = 11;
  static constexpr int lxRightBracket = 12;
  // Keywords.
  static constexpr int lxAND = 13;
  static constexpr int lxFALSE = 14;
  static constexpr int lxIS = 15;
  static constexpr int lxLIKE = 16;
  static constexpr int lxNOT = 17;
  static constexpr int lxNULL = 18;
  static constexpr int lxOR = 19;
  static constexpr int lxTRUE = 20;
  // Separators used by IndexFieldNames and attribute paths.
  static constexpr int lxComma = 21;
  static constexpr int lxSemicolon = 22;
  static constexpr int lxDot = 23;

  explicit TBoolParser(std::string_view text) : FText(text) {}

  // Reads the next lexeme and returns its code.
  int Next();
  int Code() const noexcept { return FCode; }
  // The lexeme as written (keywords and identifiers), or the unquoted text
  // of a quoted lexeme.
  const std::string& Text() const noexcept { return FValue; }
  // The lexeme exactly as it stands in the input, quotes included.
  std::string_view Raw() const noexcept { return FText.substr(FStart, FPos - FStart); }
  std::size_t Position() const noexcept { return FStart; }
  // After a "[": takes everything up to the next "]" as it stands (blanks
  // included) and consumes the "]". False when there is no "]".
  bool ReadBracketed(std::string& text);

 private:
  std::string_view FText;
  std::size_t FPos = 0;
  std::size_t FStart = 0;
  int FCode = lcEnd;
  std::string FValue;
};

enum TExpressionType : std::uint8_t {
  ntEqual = 0,
  ntMore = 1,
  ntLess = 2,
  ntMoreEqual = 3,
  ntLessEqual = 4,
  ntNoEqual = 5,
  ntAnd = 6,
  ntOr = 7,
  ntNot = 8,
  ntField = 9,
  ntValue = 10,
  ntTrue = 11,
  ntFalse = 12,
  ntLike = 13,
  ntNotLike = 14
};

// One node of a parsed filter. Comparisons and AND/OR use both operands,
// NOT its left one; ntField names its descriptor (Value holds the name as
// written), ntValue holds the constant.
struct TExpressionNode {
  TExpressionType NodeType = ntTrue;
  TExpressionNode* LeftOperand = nullptr;
  TExpressionNode* RightOperand = nullptr;
  TExpressionNode* NextOperand = nullptr;
  TFieldDesc* FieldDesc = nullptr;
  Variant Value;
};

// Gives the value of a field of the record under test (Null for null).
class TFilterRecord {
 public:
  virtual ~TFilterRecord() = default;
  virtual Variant FieldValue(const TFieldDesc& field) = 0;
};

// A parsed filter: owns its nodes.
class TFilterExpression {
 public:
  using TFindField = std::function<TFieldDesc*(const std::string& name)>;

  // Raises "Field %s not found" for a name that findField does not know and
  // "Illegal filter expression" for any other deviation from the grammar.
  // An empty or blank text gives nullptr.
  static std::unique_ptr<TFilterExpression> Parse(std::string_view text, const TFindField& findField);

  TExpressionNode* Root() const noexcept { return FRoot; }
  int NodeCount() const noexcept { return static_cast<int>(FNodes.size()); }

  // True when the record passes.
  bool Evaluate(TFilterRecord& record, bool caseInsensitive, bool noPartialCompare) const;

 private:
  friend class TFilterBuilder;
  TExpressionNode* NewNode(TExpressionType type);

  std::vector<std::unique_ptr<TExpressionNode>> FNodes;
  TExpressionNode* FRoot = nullptr;
};

// The process-wide tolerance of "=" between floating-point operands (0: exact).
double FloatFilterDelta() noexcept;
void SetFloatFilterDelta(double value) noexcept;

// True when the whole text matches the mask ("*" and "%": any run of
// characters, "_": one character, anything else: itself).
bool MatchesMask(std::string_view text, std::string_view mask) noexcept;

}  // namespace lumo
