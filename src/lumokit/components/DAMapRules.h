// The mapping rules as a user writes them: the names of the presented field
// types (TFieldTypeInfos), and the front's rule collection TDAMapRules,
// which reads rules from text such as "Varchar(1..50) -> String(50)" or
// "[Price] -> FMTBCD(18,4), IgnoreErrors", validates them and copies them
// into a provider's TKxMapRules before a connection connects or a record
// set opens.
//
// Grammar of one rule (blanks and comments allowed between the tokens):
//   rule   = left "-" ">" fieldtype [ "(" int [ "," int ] ")" ] [ "," "IgnoreErrors" ] ( ";" | end )
//   left   = "[" column name "]" | dbtype [ "(" range [ "," range ] ")" ]
//   range  = int "." "." int         int = number | "ANY" (stands for -1)
// A database-type name is everything up to "(" or "-", a field-type name
// everything up to "(", ",", ";" or the end, trimmed and found ignoring
// case.
//
// Decisions:
// - A field type is an int: the code of the front's field-type map. The
//   base class uses DataTypeFieldTypeInfos(), whose field types are the
//   data-type codes themselves (GetDataType is the identity); the
//   connection's and data set's collections override GetFieldTypeInfos and
//   GetDataType with their framework's field types.
// - A type name is its lexemes as written, comments counting as blanks and
//   a run of blanks as one, trimmed ("Tinyint   Unsigned" is "Tinyint
//   Unsigned"). A column name in brackets is the source text between them,
//   trimmed.
// - An unknown name raises the validation classes with their messages
//   (EInvalidDBTypeMapping "Unsupported database type: %s",
//   EInvalidFieldTypeMapping "Unsupported field type: %s", the name in place
//   of %s); an empty database-type name is database type 0, so a rule
//   without field or type is rejected with "Database type is not defined".
// - AddRule(text) takes exactly one rule: text after its ";" raises
//   "Expected \"End of Rule\" ...". A byte the lexer does not know raises
//   "Invalid data type map rule expression".
// - The overloads with bounds take them in a TMapRuleOptions (designated
//   initialisers: {.DBLengthMin = 1, .DBLengthMax = 1}).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <lumokit/data/KxDataTypeMap.h>

namespace lumo {

class TFieldTypeInfo {
 public:
  TFieldTypeInfo(int fieldType, std::string name, bool length, bool scale)
      : FFieldType(fieldType), FName(std::move(name)), FLength(length), FScale(scale) {}
  int FieldType() const noexcept { return FFieldType; }
  const std::string& Name() const noexcept { return FName; }
  bool Length() const noexcept { return FLength; }
  bool Scale() const noexcept { return FScale; }

 private:
  int FFieldType;
  std::string FName;
  bool FLength;
  bool FScale;
};

class TFieldTypeInfos {
 public:
  void Add(int fieldType, std::string name, bool length, bool scale);
  int Count() const noexcept { return FItems.Count(); }
  const TFieldTypeInfo& Items(int index) const { return *FItems.Items(index); }
  const TFieldTypeInfo* FindTypeInfo(int fieldType) const noexcept;
  // Trimmed, ignoring case.
  const TFieldTypeInfo* FindTypeInfo(std::string_view name) const;
  // Raises EInvalidFieldTypeMapping: "Field type is not defined" (0),
  // "Unsupported field type: %s", "Length cannot be specified for the
  // \"%s\" field type", "Scale cannot be specified for the \"%s\" field
  // type" (a length or scale other than -1).
  void Validate(int fieldType, int length, int scale) const;

 private:
  TDAObjectList<TFieldTypeInfo> FItems;
};

// "Boolean", "Shortint", "Byte", "Smallint", "Word", "Integer", "LongWord",
// "Largeint", "Float", "Single", "Currency", "BCD", "FMTBCD", "Date",
// "Time", "DateTime", "TimeStamp", "String", "WideString", "Memo",
// "WideMemo", "Bytes", "VarBytes", "Guid", with the data-type codes they
// present as field types.
const TFieldTypeInfos& DataTypeFieldTypeInfos();

// "String(20)", "FMTBCD(18,4)" (positive length and scale shown), or
// "Unknown(<n>)" for a field type that is not in the list.
std::string FieldTypeMappingText(const TFieldTypeInfos& infos, int fieldType, int length, int scale);

class TDAMapRule : public TMapRule {
 public:
  int FieldType() const noexcept { return FFieldType; }
  void SetFieldType(int value) noexcept { FFieldType = value; }

 private:
  int FFieldType = 0;
};

struct TMapRuleOptions {
  int DBLengthMin = -1;
  int DBLengthMax = -1;
  int DBScaleMin = -1;
  int DBScaleMax = -1;
  int FieldLength = -1;
  int FieldScale = -1;
  bool IgnoreErrors = false;
};

class TDAMapRules : public TMapRules {
 public:
  TDAMapRule& Items(int index) const { return static_cast<TDAMapRule&>(TMapRules::Items(index)); }

  // The data-type code a field type presents.
  virtual std::uint16_t GetDataType(int fieldType) const;
  virtual const TFieldTypeInfos& GetFieldTypeInfos() const;
  // Checks one rule: the database side (a type is required without a field
  // name), then the field type with its length and scale.
  virtual void Validate(const TDAMapRule& rule) const;
  // Called after every change of the collection.
  virtual void DoRulesChanged() {}

  // Parses one rule, validates and appends it.
  void AddRule(std::string_view text);
  // Parses rules until the text ends; each is validated and appended before
  // the next is read, so a failure keeps the rules before it.
  void AddRules(std::string_view text);
  void AddDBTypeRule(std::uint16_t dbType, int fieldType, const TMapRuleOptions& options = {});
  void AddFieldNameRule(std::string fieldName, int fieldType, const TMapRuleOptions& options = {});
  TDAMapRule& AddRule(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
                      int dbScaleMax, int fieldType, int fieldLength, int fieldScale, bool ignoreErrors);

  // Replaces the provider rules with these, field types turned into data
  // types by GetDataType.
  void WriteTo(TKxMapRules& rules) const;

 protected:
  void Update() override { DoRulesChanged(); }

 private:
  class TRuleReader;
};

}  // namespace lumo
