#include <lumokit/data/MemDataFilter.h>

#include <atomic>
#include <cmath>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

namespace {

bool IsIdentStart(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$' || c == '#' || c == '@' || c >= 0x80;
}

bool IsIdentChar(unsigned char c) noexcept { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int KeywordCode(std::string_view word) noexcept {
  static constexpr struct {
    const char* Word;
    int Code;
  } kKeywords[] = {{"AND", TBoolParser::lxAND},   {"FALSE", TBoolParser::lxFALSE}, {"IS", TBoolParser::lxIS},
                   {"LIKE", TBoolParser::lxLIKE}, {"NOT", TBoolParser::lxNOT},     {"NULL", TBoolParser::lxNULL},
                   {"OR", TBoolParser::lxOR},     {"TRUE", TBoolParser::lxTRUE}};
  for (const auto& k : kKeywords)
    if (SameTextAscii(word, k.Word)) return k.Code;
  return TBoolParser::lcIdent;
}

std::atomic<double> gFloatFilterDelta{0.0};

}  // namespace

// ---- lexer --------------------------------------------------------------------

int TBoolParser::Next() {
  const std::size_t n = FText.size();
  while (FPos < n && static_cast<unsigned char>(FText[FPos]) <= ' ') ++FPos;
  FStart = FPos;
  FValue.clear();
  if (FPos >= n) return FCode = lcEnd;
  const char c = FText[FPos];
  const auto uc = static_cast<unsigned char>(c);
  if (IsIdentStart(uc)) {
    while (FPos < n && IsIdentChar(static_cast<unsigned char>(FText[FPos]))) ++FPos;
    FValue.assign(FText.substr(FStart, FPos - FStart));
    return FCode = KeywordCode(FValue);
  }
  if (IsDigit(c)) {
    while (FPos < n && IsDigit(FText[FPos])) ++FPos;
    if (FPos + 1 < n && FText[FPos] == '.' && IsDigit(FText[FPos + 1])) {
      ++FPos;
      while (FPos < n && IsDigit(FText[FPos])) ++FPos;
    }
    if (FPos < n && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
      std::size_t p = FPos + 1;
      if (p < n && (FText[p] == '+' || FText[p] == '-')) ++p;
      if (p < n && IsDigit(FText[p])) {
        while (p < n && IsDigit(FText[p])) ++p;
        FPos = p;
      }
    }
    FValue.assign(FText.substr(FStart, FPos - FStart));
    return FCode = lcNumber;
  }
  if (c == '\'' || c == '"') {
    ++FPos;
    for (;;) {
      if (FPos >= n) {
        FValue.clear();
        return FCode = lcError;
      }
      if (FText[FPos] == c) {
        if (FPos + 1 < n && FText[FPos + 1] == c) {
          FValue += c;
          FPos += 2;
          continue;
        }
        ++FPos;
        break;
      }
      FValue += FText[FPos++];
    }
    return FCode = (c == '\'' ? lcString : lcQuotedName);
  }
  ++FPos;
  switch (c) {
    case '=':
      FCode = lxEqual;
      break;
    case '>':
      if (FPos < n && FText[FPos] == '=') {
        ++FPos;
        FCode = lxMoreEqual;
      } else {
        FCode = lxMore;
      }
      break;
    case '<':
      if (FPos < n && FText[FPos] == '=') {
        ++FPos;
        FCode = lxLessEqual;
      } else if (FPos < n && FText[FPos] == '>') {
        ++FPos;
        FCode = lxNoEqual;
      } else {
        FCode = lxLess;
      }
      break;
    case '(':
      FCode = lxLeftParen;
      break;
    case ')':
      FCode = lxRightParen;
      break;
    case '-':
      FCode = lxMinus;
      break;
    case '+':
      FCode = lxPlus;
      break;
    case '[':
      FCode = lxLeftBracket;
      break;
    case ']':
      FCode = lxRightBracket;
      break;
    case ',':
      FCode = lxComma;
      break;
    case ';':
      FCode = lxSemicolon;
      break;
    case '.':
      FCode = lxDot;
      break;
    default:
      FCode = lcError;
      break;
  }
  FValue.assign(FText.substr(FStart, FPos - FStart));
  return FCode;
}

bool TBoolParser::ReadBracketed(std::string& text) {
  const std::size_t close = FText.find(']', FPos);
  if (close == std::string_view::npos) return false;
  text.assign(FText.substr(FPos, close - FPos));
  FPos = close + 1;
  return true;
}

// ---- parser -------------------------------------------------------------------

class TFilterBuilder {
 public:
  TFilterBuilder(TFilterExpression& expr, std::string_view text, const TFilterExpression::TFindField& findField)
      : FExpr(expr), FLexer(text), FFindField(findField) {}

  void Build() {
    FLexer.Next();
    FExpr.FRoot = Expression();
    if (FLexer.Code() != TBoolParser::lcEnd) Illegal();
  }

 private:
  [[noreturn]] static void Illegal() { throw Exception("Illegal filter expression"); }

  void Enter() {
    if (++FDepth > MaxFilterDepth) Illegal();
  }

  TExpressionNode* Binary(TExpressionType type, TExpressionNode* left, TExpressionNode* right) {
    TExpressionNode* node = FExpr.NewNode(type);
    node->LeftOperand = left;
    node->RightOperand = right;
    return node;
  }

  TExpressionNode* Expression() {
    TExpressionNode* left = Term();
    while (FLexer.Code() == TBoolParser::lxOR) {
      FLexer.Next();
      left = Binary(ntOr, left, Term());
    }
    return left;
  }

  TExpressionNode* Term() {
    TExpressionNode* left = Factor();
    while (FLexer.Code() == TBoolParser::lxAND) {
      FLexer.Next();
      left = Binary(ntAnd, left, Factor());
    }
    return left;
  }

  static bool IsComparison(int code) noexcept {
    return (code >= TBoolParser::lxEqual && code <= TBoolParser::lxNoEqual) || code == TBoolParser::lxLIKE ||
           code == TBoolParser::lxNOT || code == TBoolParser::lxIS;
  }

  TExpressionNode* Factor() {
    const int code = FLexer.Code();
    if (code == TBoolParser::lxLeftParen) {
      Enter();
      FLexer.Next();
      TExpressionNode* inner = Expression();
      if (FLexer.Code() != TBoolParser::lxRightParen) Illegal();
      FLexer.Next();
      --FDepth;
      return inner;
    }
    if (code == TBoolParser::lxNOT) {
      Enter();
      FLexer.Next();
      TExpressionNode* node = FExpr.NewNode(ntNot);
      node->LeftOperand = Factor();
      --FDepth;
      return node;
    }
    if (code == TBoolParser::lxTRUE || code == TBoolParser::lxFALSE) {
      // A constant factor unless a comparison follows (TRUE = FLAG).
      TBoolParser ahead = FLexer;
      if (!IsComparison(ahead.Next())) {
        FLexer.Next();
        return FExpr.NewNode(code == TBoolParser::lxTRUE ? ntTrue : ntFalse);
      }
    }
    TExpressionNode* left = Operand();
    return Comparison(left);
  }

  TExpressionNode* Comparison(TExpressionNode* left) {
    TExpressionType type;
    switch (FLexer.Code()) {
      case TBoolParser::lxEqual:
        type = ntEqual;
        break;
      case TBoolParser::lxMore:
        type = ntMore;
        break;
      case TBoolParser::lxLess:
        type = ntLess;
        break;
      case TBoolParser::lxMoreEqual:
        type = ntMoreEqual;
        break;
      case TBoolParser::lxLessEqual:
        type = ntLessEqual;
        break;
      case TBoolParser::lxNoEqual:
        type = ntNoEqual;
        break;
      case TBoolParser::lxLIKE:
        type = ntLike;
        break;
      case TBoolParser::lxNOT:
        if (FLexer.Next() != TBoolParser::lxLIKE) Illegal();
        type = ntNotLike;
        break;
      case TBoolParser::lxIS: {
        bool negate = false;
        if (FLexer.Next() == TBoolParser::lxNOT) {
          negate = true;
          FLexer.Next();
        }
        if (FLexer.Code() != TBoolParser::lxNULL) Illegal();
        FLexer.Next();
        TExpressionNode* nullValue = FExpr.NewNode(ntValue);
        nullValue->Value = Variant::Null();
        return Finish(Binary(negate ? ntNoEqual : ntEqual, left, nullValue));
      }
      default:
        Illegal();
    }
    FLexer.Next();
    return Finish(Binary(type, left, Operand()));
  }

  static bool IsDateField(const TExpressionNode* n) noexcept {
    if (n->NodeType != ntField) return false;
    const std::uint16_t t = n->FieldDesc->DataType();
    return t == dtDate || t == dtTime || t == dtDateTime;
  }

  // Text constants compared with a date field are converted once here.
  static TExpressionNode* Finish(TExpressionNode* node) {
    TExpressionNode* l = node->LeftOperand;
    TExpressionNode* r = node->RightOperand;
    if (IsDateField(l) && r->NodeType == ntValue && r->Value.IsText()) ConvertDate(r->Value);
    if (IsDateField(r) && l->NodeType == ntValue && l->Value.IsText()) ConvertDate(l->Value);
    return node;
  }

 public:
  static void ConvertDate(Variant& value) {
    TDateTime dt = 0;
    if (TryStrToDateTime(VarToStr(value), dt)) {
      value = Variant::FromDate(dt);
      return;
    }
    try {
      value = VarAsType(value, varDate);
    } catch (const Exception&) {
      // Left as text: the comparison then fails for every record.
    }
  }

 private:
  Variant Number(const std::string& text, bool negative) {
    std::int64_t i = 0;
    if (TryStrToInt64(text, i)) {
      if (negative) {
        if (i == INT64_MIN) Illegal();
        i = -i;
      }
      return Variant(i);
    }
    if (negative) {
      std::int64_t j = 0;
      if (TryStrToInt64("-" + text, j)) return Variant(j);
    }
    double d = 0;
    if (!TryStrToFloat(text, d, InvariantFormatSettings()) || !std::isfinite(d)) Illegal();
    return Variant(negative ? -d : d);
  }

  TExpressionNode* FieldNode(const std::string& name) {
    TFieldDesc* field = FFindField ? FFindField(name) : nullptr;
    if (!field) throw Exception(Format("Field %s not found", {name}));
    TExpressionNode* node = FExpr.NewNode(ntField);
    node->FieldDesc = field;
    node->Value = Variant(name);
    return node;
  }

  TExpressionNode* Operand() {
    const int code = FLexer.Code();
    switch (code) {
      case TBoolParser::lcIdent: {
        std::string name = FLexer.Text();
        while (FLexer.Next() == TBoolParser::lxDot) {
          if (FLexer.Next() != TBoolParser::lcIdent) Illegal();
          name += '.';
          name += FLexer.Text();
        }
        return FieldNode(name);
      }
      case TBoolParser::lxLeftBracket: {
        std::string name;
        if (!FLexer.ReadBracketed(name)) Illegal();
        FLexer.Next();
        return FieldNode(name);
      }
      case TBoolParser::lcString: {
        TExpressionNode* node = FExpr.NewNode(ntValue);
        node->Value = Variant(FLexer.Text());
        FLexer.Next();
        return node;
      }
      case TBoolParser::lcNumber: {
        TExpressionNode* node = FExpr.NewNode(ntValue);
        node->Value = Number(FLexer.Text(), false);
        FLexer.Next();
        return node;
      }
      case TBoolParser::lxMinus:
      case TBoolParser::lxPlus: {
        if (FLexer.Next() != TBoolParser::lcNumber) Illegal();
        TExpressionNode* node = FExpr.NewNode(ntValue);
        node->Value = Number(FLexer.Text(), code == TBoolParser::lxMinus);
        FLexer.Next();
        return node;
      }
      case TBoolParser::lxTRUE:
      case TBoolParser::lxFALSE: {
        TExpressionNode* node = FExpr.NewNode(ntValue);
        node->Value = Variant(code == TBoolParser::lxTRUE);
        FLexer.Next();
        return node;
      }
      case TBoolParser::lxNULL: {
        TExpressionNode* node = FExpr.NewNode(ntValue);
        node->Value = Variant::Null();
        FLexer.Next();
        return node;
      }
      default:
        Illegal();
    }
  }

  TFilterExpression& FExpr;
  TBoolParser FLexer;
  const TFilterExpression::TFindField& FFindField;
  int FDepth = 0;
};

TExpressionNode* TFilterExpression::NewNode(TExpressionType type) {
  FNodes.push_back(std::make_unique<TExpressionNode>());
  TExpressionNode* node = FNodes.back().get();
  node->NodeType = type;
  return node;
}

std::unique_ptr<TFilterExpression> TFilterExpression::Parse(std::string_view text, const TFindField& findField) {
  if (TrimView(text).empty()) return nullptr;
  auto expr = std::make_unique<TFilterExpression>();
  TFilterBuilder(*expr, text, findField).Build();
  return expr;
}

// ---- masks --------------------------------------------------------------------

namespace {

std::size_t CharLen(std::string_view s, std::size_t pos) noexcept {
  char32_t cp = 0;
  return DecodeUtf8Char(s.data() + pos, s.data() + s.size(), cp);
}

bool IsWild(char c) noexcept { return c == '*' || c == '%'; }

}  // namespace

bool MatchesMask(std::string_view text, std::string_view mask) noexcept {
  std::size_t t = 0, m = 0;
  std::size_t starMask = std::string_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && IsWild(mask[m])) {
      while (m < mask.size() && IsWild(mask[m])) ++m;
      if (m == mask.size()) return true;
      starMask = m;
      starText = t;
      continue;
    }
    if (m < mask.size()) {
      if (mask[m] == '_') {
        t += CharLen(text, t);
        ++m;
        continue;
      }
      const std::size_t tl = CharLen(text, t), ml = CharLen(mask, m);
      if (tl == ml && text.compare(t, tl, mask.substr(m, ml)) == 0) {
        t += tl;
        m += ml;
        continue;
      }
    }
    if (starMask == std::string_view::npos) return false;
    // Let the last run of wildcards take one more character and retry.
    starText += CharLen(text, starText);
    t = starText;
    m = starMask;
  }
  while (m < mask.size() && IsWild(mask[m])) ++m;
  return m == mask.size();
}

double FloatFilterDelta() noexcept { return gFloatFilterDelta.load(std::memory_order_relaxed); }

void SetFloatFilterDelta(double value) noexcept { gFloatFilterDelta.store(value, std::memory_order_relaxed); }

// ---- evaluation ---------------------------------------------------------------

namespace {

bool IsFloatField(const TExpressionNode* n) noexcept {
  return n->NodeType == ntField && (n->FieldDesc->DataType() == dtFloat || n->FieldDesc->DataType() == dtCurrency);
}

bool IsDateFieldNode(const TExpressionNode* n) noexcept {
  if (n->NodeType != ntField) return false;
  const std::uint16_t t = n->FieldDesc->DataType();
  return t == dtDate || t == dtTime || t == dtDateTime;
}

class TEvaluator {
 public:
  TEvaluator(TFilterRecord& record, bool caseInsensitive, bool noPartialCompare)
      : FRecord(record), FCaseInsensitive(caseInsensitive), FNoPartial(noPartialCompare) {}

  bool Eval(const TExpressionNode* node) {
    switch (node->NodeType) {
      case ntTrue:
        return true;
      case ntFalse:
        return false;
      case ntNot:
        return !Eval(node->LeftOperand);
      case ntAnd:
      case ntOr:
        return Chain(node);
      case ntField:
      case ntValue: {
        // A lone operand (not produced by the parser) passes when it is true.
        Variant v = Value(node);
        try {
          return !v.IsNullOrEmpty() && v.AsBoolean();
        } catch (const Exception&) {
          return false;
        }
      }
      default:
        return Compare(node);
    }
  }

 private:
  // Evaluates a left-leaning chain of one operator without recursing
  // along the chain.
  bool Chain(const TExpressionNode* node) {
    const TExpressionType op = node->NodeType;
    // Short chains (the usual case) keep their right operands on the stack.
    constexpr std::size_t kInline = 16;
    const TExpressionNode* inlineRights[kInline];
    std::vector<const TExpressionNode*> moreRights;
    std::size_t count = 0;
    const TExpressionNode* n = node;
    while (n->NodeType == op) {
      if (count < kInline)
        inlineRights[count] = n->RightOperand;
      else
        moreRights.push_back(n->RightOperand);
      ++count;
      n = n->LeftOperand;
    }
    bool result = Eval(n);
    for (std::size_t i = count; i-- > 0;) {
      if (op == ntAnd ? !result : result) break;
      result = Eval(i < kInline ? inlineRights[i] : moreRights[i - kInline]);
    }
    return result;
  }

  Variant Value(const TExpressionNode* n) {
    if (n->NodeType == ntField) return FRecord.FieldValue(*n->FieldDesc);
    return n->Value;
  }

  static void UpperText(Variant& v) {
    if (const std::string* s = v.StringPtr())
      v = Variant(AnsiUpperCase(*s));
    else if (const std::u16string* w = v.WideStringPtr())
      v = Variant(AnsiUpperCase(*w));
  }

  bool Compare(const TExpressionNode* node) {
    const TExpressionNode* ln = node->LeftOperand;
    const TExpressionNode* rn = node->RightOperand;
    Variant l = Value(ln);
    Variant r = Value(rn);
    if (IsDateFieldNode(ln) && r.IsText()) TFilterBuilder::ConvertDate(r);
    if (IsDateFieldNode(rn) && l.IsText()) TFilterBuilder::ConvertDate(l);
    const bool floatMode = IsFloatField(ln) || IsFloatField(rn);
    if (FCaseInsensitive) {
      UpperText(l);
      UpperText(r);
    }
    const TExpressionType op = node->NodeType;
    if (l.IsNullOrEmpty() || r.IsNullOrEmpty()) {
      const bool bothNull = l.IsNullOrEmpty() && r.IsNullOrEmpty();
      switch (op) {
        case ntEqual:
        case ntLike:
          return bothNull;
        case ntNoEqual:
        case ntNotLike:
          return !bothNull;
        default:
          return false;
      }
    }
    try {
      switch (op) {
        case ntEqual:
        case ntLike:
          return Equal(op, l, r, floatMode);
        case ntNoEqual:
        case ntNotLike:
          return !Equal(op, l, r, false);
        case ntMore:
          return VarCompare(l, r) > 0;
        case ntLess:
          return VarCompare(l, r) < 0;
        case ntMoreEqual:
          return VarCompare(l, r) >= 0;
        case ntLessEqual:
          return VarCompare(l, r) <= 0;
        default:
          return false;
      }
    } catch (const Exception&) {
      return false;
    }
  }

  bool Equal(TExpressionType op, const Variant& l, const Variant& r, bool floatMode) {
    const bool like = op == ntLike || op == ntNotLike;
    if (!FNoPartial && (l.IsText() || (like && r.IsText()))) return MatchesMask(VarToStr(l), VarToStr(r));
    if (floatMode && VarIsNumeric(l) && VarIsNumeric(r)) {
      const double delta = FloatFilterDelta();
      if (delta > 0) return std::fabs(l.AsDouble() - r.AsDouble()) < delta;
    }
    return VarEqual(l, r);
  }

  TFilterRecord& FRecord;
  bool FCaseInsensitive;
  bool FNoPartial;
};

}  // namespace

bool TFilterExpression::Evaluate(TFilterRecord& record, bool caseInsensitive, bool noPartialCompare) const {
  if (!FRoot) return true;
  return TEvaluator(record, caseInsensitive, noPartialCompare).Eval(FRoot);
}

}  // namespace lumo
