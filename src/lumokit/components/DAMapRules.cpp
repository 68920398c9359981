#include <lumokit/components/DAMapRules.h>

#include <charconv>
#include <optional>

#include <lumokit/access/KxParser.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

// ---- field types ------------------------------------------------------------------

void TFieldTypeInfos::Add(int fieldType, std::string name, bool length, bool scale) {
  FItems.Add(std::make_unique<TFieldTypeInfo>(fieldType, std::move(name), length, scale));
}

const TFieldTypeInfo* TFieldTypeInfos::FindTypeInfo(int fieldType) const noexcept {
  for (const auto& info : FItems)
    if (info->FieldType() == fieldType) return info.get();
  return nullptr;
}

const TFieldTypeInfo* TFieldTypeInfos::FindTypeInfo(std::string_view name) const {
  std::string_view trimmed = TrimView(name);
  for (const auto& info : FItems)
    if (SameFieldName(info->Name(), trimmed)) return info.get();
  return nullptr;
}

void TFieldTypeInfos::Validate(int fieldType, int length, int scale) const {
  if (fieldType == 0) throw EInvalidFieldTypeMapping("Field type is not defined");
  const TFieldTypeInfo* info = FindTypeInfo(fieldType);
  if (!info) throw EInvalidFieldTypeMapping(Format("Unsupported field type: %s", {std::to_string(fieldType)}));
  if (!info->Length() && length != -1)
    throw EInvalidFieldTypeMapping(Format("Length cannot be specified for the \"%s\" field type", {info->Name()}));
  if (!info->Scale() && scale != -1)
    throw EInvalidFieldTypeMapping(Format("Scale cannot be specified for the \"%s\" field type", {info->Name()}));
}

const TFieldTypeInfos& DataTypeFieldTypeInfos() {
  static const TFieldTypeInfos infos = [] {
    TFieldTypeInfos r;
    struct Entry {
      std::uint16_t Type;
      const char* Name;
      bool Length, Scale;
    };
    static constexpr Entry entries[] = {{dtBoolean, "Boolean", false, false},
                                        {dtInt8, "Shortint", false, false},
                                        {dtUInt8, "Byte", false, false},
                                        {dtInt16, "Smallint", false, false},
                                        {dtUInt16, "Word", false, false},
                                        {dtInt32, "Integer", false, false},
                                        {dtUInt32, "LongWord", false, false},
                                        {dtInt64, "Largeint", false, false},
                                        {dtFloat, "Float", false, false},
                                        {dtSingle, "Single", false, false},
                                        {dtCurrency, "Currency", false, false},
                                        {dtBCD, "BCD", true, true},
                                        {dtFMTBCD, "FMTBCD", true, true},
                                        {dtDate, "Date", false, false},
                                        {dtTime, "Time", false, false},
                                        {dtDateTime, "DateTime", false, false},
                                        {dtSQLTimeStamp, "TimeStamp", false, false},
                                        {dtString, "String", true, false},
                                        {dtWideString, "WideString", true, false},
                                        {dtMemo, "Memo", false, false},
                                        {dtWideMemo, "WideMemo", false, false},
                                        {dtBytes, "Bytes", true, false},
                                        {dtVarBytes, "VarBytes", true, false},
                                        {dtGuid, "Guid", false, false}};
    for (const Entry& e : entries) r.Add(e.Type, e.Name, e.Length, e.Scale);
    return r;
  }();
  return infos;
}

std::string FieldTypeMappingText(const TFieldTypeInfos& infos, int fieldType, int length, int scale) {
  const TFieldTypeInfo* info = infos.FindTypeInfo(fieldType);
  if (!info) return "Unknown(" + std::to_string(fieldType) + ")";
  std::string text = info->Name();
  if (length > 0 || scale > 0) {
    text += '(';
    if (length > 0) text += std::to_string(length);
    if (length > 0 && scale > 0) text += ',';
    if (scale > 0) text += std::to_string(scale);
    text += ')';
  }
  return text;
}

// ---- rule text ----------------------------------------------------------------------

namespace {
constexpr int kOpen = 8, kClose = 9, kComma = 12, kMinus = 13, kPeriod = 14, kSemicolon = 17, kGreater = 20,
              kLBracket = 23, kRBracket = 25;

struct TParsedRule {
  std::string FieldName;
  std::uint16_t DBType = 0;
  int DBLengthMin = -1, DBLengthMax = -1, DBScaleMin = -1, DBScaleMax = -1;
  int FieldType = 0;
  int FieldLength = -1, FieldScale = -1;
  bool IgnoreErrors = false;
};
}  // namespace

// Reads rules one after another from one text.
class TDAMapRules::TRuleReader {
 public:
  TRuleReader(std::string_view text, const TFieldTypeInfos& fieldTypes)
      : FText(text), FParser(std::string(text)), FFieldTypes(fieldTypes) {
    FParser.SetOmitBlank(false);
    FParser.SetOmitComment(false);
    FParser.SetUppered(false);
  }

  // The next rule, or nothing when the text ends where a rule would start.
  std::optional<TParsedRule> Next() {
    try {
      Advance();
      if (FCode == lcEnd) return std::nullopt;
      return ReadRule();
    } catch (const EParserError&) {
      throw EInvalidMapRuleExpression("Invalid data type map rule expression");
    }
  }
  // Whether nothing but blanks and comments follows.
  void ExpectEnd() {
    try {
      Advance();
    } catch (const EParserError&) {
      throw EInvalidMapRuleExpression("Invalid data type map rule expression");
    }
    if (FCode != lcEnd) Expected("End of Rule");
  }

 private:
  // The next lexeme that is not a blank or comment.
  void Advance() {
    do {
      FCode = FParser.GetNextToken();
    } while (FCode == lcBlank || FCode == lcComment);
    FStart = FParser.PrevPos();
  }
  bool AtEnd() const noexcept { return FCode == lcEnd || FCode == kSemicolon; }
  std::string Lexem() const { return std::string(FParser.LexemView()); }

  [[noreturn]] void UnexpectedEnd() {
    throw EInvalidMapRuleExpression("Unexpected end of data type map rule expression");
  }
  [[noreturn]] void Expected(std::string_view what) {
    if (AtEnd() && FCode == lcEnd) UnexpectedEnd();
    std::string found = FCode == kSemicolon ? ";" : Lexem();
    if (what.empty() || found.empty()) throw EInvalidMapRuleExpression("Invalid data type map rule expression");
    throw EInvalidMapRuleExpression(
        Format("Expected \"%s\" instead of \"%s\" in data type map rule expression", {what, found}));
  }
  // Advances and requires the symbol.
  void Expect(int code) {
    Advance();
    if (AtEnd()) UnexpectedEnd();
    if (FCode != code) Expected(FParser.GetSymbolByCode(code));
  }
  // The name made of the current lexeme and those after it, up to (not
  // including) the first lexeme whose code is in `stops` or the end, which
  // is left current. Comments count as blanks, runs of blanks as one.
  std::string ReadName(std::initializer_list<int> stops) {
    std::string name;
    auto stopped = [&] {
      for (int s : stops)
        if (FCode == s) return true;
      return FCode == lcEnd;
    };
    while (!stopped()) {
      if (FCode == lcBlank || FCode == lcComment) {
        if (!name.empty() && name.back() != ' ') name += ' ';
      } else {
        name.append(
            FText.substr(static_cast<std::size_t>(FStart), static_cast<std::size_t>(FParser.CurrPos() - FStart)));
      }
      FCode = FParser.GetNextToken();
      FStart = FParser.PrevPos();
    }
    return Trim(name);
  }
  int ReadInteger() {
    Advance();
    if (AtEnd()) UnexpectedEnd();
    std::string lexem = Lexem();
    if (FCode == lcIdent && SameFieldName(lexem, "ANY")) return -1;
    int value = 0;
    if (FCode == lcNumber) {
      auto [p, ec] = std::from_chars(lexem.data(), lexem.data() + lexem.size(), value);
      if (ec == std::errc() && p == lexem.data() + lexem.size()) return value;
    }
    Expected("Integer value");
  }
  void ReadRange(int& lo, int& hi) {
    lo = ReadInteger();
    Expect(kPeriod);
    Expect(kPeriod);
    hi = ReadInteger();
  }

  TParsedRule ReadRule() {
    TParsedRule r;
    if (AtEnd()) UnexpectedEnd();
    // The column name in brackets, or the database type with its ranges.
    if (FCode == kLBracket) {
      std::int64_t begin = FParser.CurrPos();
      do {
        FCode = FParser.GetNextToken();
      } while (FCode != kRBracket && FCode != lcEnd);
      if (FCode == lcEnd) UnexpectedEnd();
      r.FieldName =
          Trim(FText.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(FParser.PrevPos() - begin)));
      Expect(kMinus);
    } else {
      std::string name = ReadName({kOpen, kMinus, kSemicolon});
      if (AtEnd()) UnexpectedEnd();
      if (!name.empty()) {
        const TDBTypeInfo* info = DBTypeInfos().FindTypeInfo(name, 0);
        if (!info) throw EInvalidDBTypeMapping(Format("Unsupported database type: %s", {name}));
        r.DBType = info->DBType();
      }
      if (FCode == kOpen) {
        ReadRange(r.DBLengthMin, r.DBLengthMax);
        Advance();
        if (FCode == kComma) {
          ReadRange(r.DBScaleMin, r.DBScaleMax);
          Advance();
        }
        if (AtEnd()) UnexpectedEnd();
        if (FCode != kClose) Expected(")");
        Expect(kMinus);
      }
    }
    // The arrow.
    Expect(kGreater);
    // The presented type.
    Advance();
    if (AtEnd()) UnexpectedEnd();
    std::string name = ReadName({kOpen, kComma, kSemicolon});
    if (!name.empty()) {
      const TFieldTypeInfo* info = FFieldTypes.FindTypeInfo(name);
      if (!info) throw EInvalidFieldTypeMapping(Format("Unsupported field type: %s", {name}));
      r.FieldType = info->FieldType();
    }
    if (FCode == kOpen) {
      r.FieldLength = ReadInteger();
      Advance();
      if (FCode == kComma) {
        r.FieldScale = ReadInteger();
        Advance();
      }
      if (AtEnd()) UnexpectedEnd();
      if (FCode != kClose) Expected(")");
      Advance();
    }
    // Options and the end of the rule.
    if (FCode == kComma) {
      Advance();
      if (AtEnd()) UnexpectedEnd();
      if (FCode != lcIdent || !SameFieldName(Lexem(), "IgnoreErrors")) Expected("IgnoreErrors");
      r.IgnoreErrors = true;
      Advance();
    }
    if (!AtEnd()) Expected("End of Rule");
    return r;
  }

  std::string_view FText;
  TParser FParser;
  const TFieldTypeInfos& FFieldTypes;
  int FCode = lcBlank;
  std::int64_t FStart = 0;
};

// ---- the collection -----------------------------------------------------------------

std::uint16_t TDAMapRules::GetDataType(int fieldType) const { return static_cast<std::uint16_t>(fieldType); }

const TFieldTypeInfos& TDAMapRules::GetFieldTypeInfos() const { return DataTypeFieldTypeInfos(); }

void TDAMapRules::Validate(const TDAMapRule& rule) const {
  DBTypeInfos().Validate(rule.DBType(), rule.DBLengthMin(), rule.DBLengthMax(), rule.DBScaleMin(), rule.DBScaleMax(),
                         rule.FieldName().empty());
  GetFieldTypeInfos().Validate(rule.FieldType(), rule.FieldLength(), rule.FieldScale());
}

void TDAMapRules::AddRule(std::string_view text) {
  TRuleReader reader(text, GetFieldTypeInfos());
  std::optional<TParsedRule> r = reader.Next();
  if (!r) throw EInvalidMapRuleExpression("Unexpected end of data type map rule expression");
  reader.ExpectEnd();
  AddRule(std::move(r->FieldName), r->DBType, r->DBLengthMin, r->DBLengthMax, r->DBScaleMin, r->DBScaleMax,
          r->FieldType, r->FieldLength, r->FieldScale, r->IgnoreErrors);
}

void TDAMapRules::AddRules(std::string_view text) {
  TRuleReader reader(text, GetFieldTypeInfos());
  while (std::optional<TParsedRule> r = reader.Next())
    AddRule(std::move(r->FieldName), r->DBType, r->DBLengthMin, r->DBLengthMax, r->DBScaleMin, r->DBScaleMax,
            r->FieldType, r->FieldLength, r->FieldScale, r->IgnoreErrors);
}

void TDAMapRules::AddDBTypeRule(std::uint16_t dbType, int fieldType, const TMapRuleOptions& o) {
  AddRule({}, dbType, o.DBLengthMin, o.DBLengthMax, o.DBScaleMin, o.DBScaleMax, fieldType, o.FieldLength, o.FieldScale,
          o.IgnoreErrors);
}

void TDAMapRules::AddFieldNameRule(std::string fieldName, int fieldType, const TMapRuleOptions& o) {
  AddRule(std::move(fieldName), 0, o.DBLengthMin, o.DBLengthMax, o.DBScaleMin, o.DBScaleMax, fieldType, o.FieldLength,
          o.FieldScale, o.IgnoreErrors);
}

TDAMapRule& TDAMapRules::AddRule(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax,
                                 int dbScaleMin, int dbScaleMax, int fieldType, int fieldLength, int fieldScale,
                                 bool ignoreErrors) {
  auto rule = std::make_unique<TDAMapRule>();
  rule->Set(std::move(fieldName), dbType, dbLengthMin, dbLengthMax, dbScaleMin, dbScaleMax, fieldLength, fieldScale,
            ignoreErrors);
  rule->SetFieldType(fieldType);
  Validate(*rule);
  return static_cast<TDAMapRule&>(AddItem(std::move(rule)));
}

void TDAMapRules::WriteTo(TKxMapRules& rules) const {
  rules.Clear();
  for (int i = 0; i < Count(); ++i) {
    const TDAMapRule& r = Items(i);
    rules.AddRule(r.FieldName(), r.DBType(), r.DBLengthMin(), r.DBLengthMax(), r.DBScaleMin(), r.DBScaleMax(),
                  GetDataType(r.FieldType()), r.FieldLength(), r.FieldScale(), r.IgnoreErrors());
  }
}

}  // namespace lumo
