// Data-type mapping on the provider side: the registry of database-type
// names per provider (DBTypeInfos), the mapping rules a connection or a
// record set holds, and the converter manager with its fetch converters (a
// provider stores a column directly in another type while fetching) and
// on-demand converters (between the stored and the presented type on every
// read and write). The helpers at the end are what a record set does with
// them: find the rule of a column, settle a field's mapping once per field
// description, and convert one value with the field named in errors.
//
// Decisions:
// - DBTypeInfos() is created on first use and lives for the whole run;
//   providers add their types from their explicit registration functions
//   (for MySQL RegisterMyDataTypeMap), never from static initialisers.
// - A rule knows the collection it belongs to, so the converter manager of
//   the collection a rule was found in is the one that converts.
// - TKxMapRules::GetConverterManager of the base class is a programming
//   error (EAssertionFailed).
// - Field names of rules compare case-insensitively (SameFieldName).
// - The value converters take dates in their own exchange forms (dfDate,
//   dfTime, dfMSecs), the record store and fields in micros: a mapped value
//   passes through a temporary on each side where the two differ, so a
//   mapped date or time keeps milliseconds (dfMSecs keeps what a double of
//   milliseconds holds of a fraction).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/data/KxDataConverters.h>
#include <lumokit/data/MemUtils.h>

namespace lumo {

// The provider of a database-type code: code div 100 x 100.
constexpr int GetDBProvider(std::uint16_t dbType) noexcept { return dbType / 100 * 100; }

// --- Database types --------------------------------------------------------------
class TDBTypeInfo {
 public:
  TDBTypeInfo(std::uint16_t dbType, std::string name, bool length, bool scale)
      : FDBType(dbType), FName(std::move(name)), FLength(length), FScale(scale) {}
  std::uint16_t DBType() const noexcept { return FDBType; }
  const std::string& Name() const noexcept { return FName; }
  // Whether a rule may give a length (scale) range for the type.
  bool Length() const noexcept { return FLength; }
  bool Scale() const noexcept { return FScale; }

 private:
  std::uint16_t FDBType;
  std::string FName;
  bool FLength;
  bool FScale;
};

class TDBTypeInfos {
 public:
  void Add(std::uint16_t dbType, std::string name, bool length, bool scale);
  int Count() const noexcept { return FItems.Count(); }
  const TDBTypeInfo& Items(int index) const { return *FItems.Items(index); }
  // The first entry with the code, or nullptr.
  const TDBTypeInfo* FindTypeInfo(std::uint16_t dbType) const noexcept;
  // The name trimmed and compared ignoring case; dbProvider 0 means any.
  const TDBTypeInfo* FindTypeInfo(std::string_view name, int dbProvider) const;
  // Raises EInvalidDBTypeMapping: "Database type is not defined",
  // "Unsupported database type: %s", "Length cannot be specified for the
  // \"%s\" database type", "Scale cannot be specified for the \"%s\"
  // database type".
  void Validate(std::uint16_t dbType, int lengthMin, int lengthMax, int scaleMin, int scaleMax,
                bool isDBTypeRequired) const;

 private:
  TDAObjectList<TDBTypeInfo> FItems;
};

// The process-wide registry.
TDBTypeInfos& DBTypeInfos();

// --- Rules -------------------------------------------------------------------------
class TMapRules;

class TMapRule {
 public:
  TMapRule() = default;
  TMapRule(const TMapRule&) = delete;
  TMapRule& operator=(const TMapRule&) = delete;
  virtual ~TMapRule();

  void Set(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
           int dbScaleMax, int fieldLength, int fieldScale, bool ignoreErrors);

  const std::string& FieldName() const noexcept { return FFieldName; }
  std::uint16_t DBType() const noexcept { return FDBType; }
  int DBProvider() const noexcept { return GetDBProvider(FDBType); }
  int DBLengthMin() const noexcept { return FDBLengthMin; }
  int DBLengthMax() const noexcept { return FDBLengthMax; }
  int DBScaleMin() const noexcept { return FDBScaleMin; }
  int DBScaleMax() const noexcept { return FDBScaleMax; }
  int FieldLength() const noexcept { return FFieldLength; }
  int FieldScale() const noexcept { return FFieldScale; }
  bool IgnoreErrors() const noexcept { return FIgnoreErrors; }
  // The collection that holds the rule (nullptr while it holds none).
  TMapRules* Collection() const noexcept { return FCollection; }

 protected:
  friend class TMapRules;
  std::string FFieldName;
  std::uint16_t FDBType = 0;
  int FDBLengthMin = -1;
  int FDBLengthMax = -1;
  int FDBScaleMin = -1;
  int FDBScaleMax = -1;
  int FFieldLength = -1;
  int FFieldScale = -1;
  bool FIgnoreErrors = false;
  TMapRules* FCollection = nullptr;
};

class TKxMapRule : public TMapRule {
 public:
  // The presented data-type code.
  std::uint16_t DataType() const noexcept { return FDataType; }
  void SetDataType(std::uint16_t value) noexcept { FDataType = value; }

 private:
  std::uint16_t FDataType = 0;
};

// An owning, ordered collection of rules.
class TMapRules {
 public:
  TMapRules() = default;
  TMapRules(const TMapRules&) = delete;
  TMapRules& operator=(const TMapRules&) = delete;
  virtual ~TMapRules();

  int Count() const noexcept { return FItems.Count(); }
  TMapRule& Items(int index) const { return *FItems.Items(index); }
  void Delete(int index);
  void Clear();

 protected:
  // Appends and adopts the rule, then calls Update.
  TMapRule& AddItem(std::unique_ptr<TMapRule> rule);
  // Called after every change of the collection.
  virtual void Update() {}

 private:
  TDAObjectList<TMapRule> FItems;
};

class TConverterManager;

// The rules of a provider connection or record set.
class TKxMapRules : public TMapRules {
 public:
  bool Enabled() const noexcept { return FEnabled; }
  void SetEnabled(bool value) noexcept { FEnabled = value; }
  // The provider's converter manager; the base class has none.
  virtual const TConverterManager& GetConverterManager() const;

  TKxMapRule& Items(int index) const { return static_cast<TKxMapRule&>(TMapRules::Items(index)); }
  // Validates the database side (a database type is required when the
  // field name is empty) and appends the rule.
  TKxMapRule& AddRule(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
                      int dbScaleMax, std::uint16_t dataType, int fieldLength, int fieldScale, bool ignoreErrors);

  // The rule's type is dbType, and a length or scale other than -1 lies
  // within the rule's bounds (a -1 bound is open).
  static bool CheckSQLType(const TMapRule& rule, std::uint16_t dbType, int dbLength, int dbScale) noexcept;
  // The first rule naming the field (ignoring case) whose type is 0 or
  // passes CheckSQLType.
  const TKxMapRule* DetectFieldNameMapRule(std::string_view fieldName, std::uint16_t dbType, int dbLength,
                                           int dbScale) const;
  // The first rule with a type that passes CheckSQLType.
  const TKxMapRule* DetectDBTypeMapRule(std::uint16_t dbType, int dbLength, int dbScale) const;

 private:
  bool FEnabled = true;
};

// --- Converters ----------------------------------------------------------------------
class TOnDemandConverter {
 public:
  TOnDemandConverter(std::uint16_t sourceDataType, std::uint16_t destDataType, TConvertProcedure getDataConverter,
                     TConvertProcedure putDataConverter, TCalcSizeFunc calcLength, TCalcSizeFunc calcScale)
      : FSourceDataType(sourceDataType),
        FDestDataType(destDataType),
        FCalcLength(calcLength),
        FCalcScale(calcScale),
        FGetDataConverter(getDataConverter),
        FPutDataConverter(putDataConverter) {}
  std::uint16_t SourceDataType() const noexcept { return FSourceDataType; }
  std::uint16_t DestDataType() const noexcept { return FDestDataType; }
  TCalcSizeFunc CalcLength() const noexcept { return FCalcLength; }
  TCalcSizeFunc CalcScale() const noexcept { return FCalcScale; }
  // Stored to presented, and presented to stored.
  TConvertProcedure GetDataConverter() const noexcept { return FGetDataConverter; }
  TConvertProcedure PutDataConverter() const noexcept { return FPutDataConverter; }

 private:
  std::uint16_t FSourceDataType;
  std::uint16_t FDestDataType;
  TCalcSizeFunc FCalcLength;
  TCalcSizeFunc FCalcScale;
  TConvertProcedure FGetDataConverter;
  TConvertProcedure FPutDataConverter;
};

class TFetchConverter {
 public:
  TFetchConverter(std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin, int dbScaleMax,
                  std::uint16_t destDataType, std::uint16_t internalDataType, TCalcSizeFunc calcLength,
                  TCalcSizeFunc calcScale)
      : FDBType(dbType),
        FDBLengthMin(dbLengthMin),
        FDBLengthMax(dbLengthMax),
        FDBScaleMin(dbScaleMin),
        FDBScaleMax(dbScaleMax),
        FDestDataType(destDataType),
        FInternalDataType(internalDataType),
        FCalcLength(calcLength),
        FCalcScale(calcScale) {}
  std::uint16_t DBType() const noexcept { return FDBType; }
  int DBLengthMin() const noexcept { return FDBLengthMin; }
  int DBLengthMax() const noexcept { return FDBLengthMax; }
  int DBScaleMin() const noexcept { return FDBScaleMin; }
  int DBScaleMax() const noexcept { return FDBScaleMax; }
  // The presented type a rule asks for, and the type the column is stored in.
  std::uint16_t DestDataType() const noexcept { return FDestDataType; }
  std::uint16_t InternalDataType() const noexcept { return FInternalDataType; }
  TCalcSizeFunc CalcLength() const noexcept { return FCalcLength; }
  TCalcSizeFunc CalcScale() const noexcept { return FCalcScale; }

 private:
  std::uint16_t FDBType;
  int FDBLengthMin, FDBLengthMax, FDBScaleMin, FDBScaleMax;
  std::uint16_t FDestDataType;
  std::uint16_t FInternalDataType;
  TCalcSizeFunc FCalcLength;
  TCalcSizeFunc FCalcScale;
};

class TConverterManager {
 public:
  // Registers the generic on-demand matrix (TDataConverters::MatrixPairs).
  TConverterManager();
  TConverterManager(const TConverterManager&) = delete;
  TConverterManager& operator=(const TConverterManager&) = delete;
  virtual ~TConverterManager();
  virtual int GetDBProvider() const { return 0; }

  // requiredDataType is the presented type a rule asks for (the converter's
  // DestDataType), destDataType the type the column is stored in.
  void AddFetchConverter(std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin, int dbScaleMax,
                         std::uint16_t requiredDataType, std::uint16_t destDataType, TCalcSizeFunc calcLength = nullptr,
                         TCalcSizeFunc calcScale = nullptr);
  // One type for both.
  void AddFetchConverter(std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin, int dbScaleMax,
                         std::uint16_t dataType);
  void AddFetchConverter(std::uint16_t dbType, std::uint16_t dataType);
  void AddFetchConverter(std::uint16_t dbType, std::uint16_t requiredDataType, std::uint16_t destDataType,
                         TCalcSizeFunc calcLength = nullptr, TCalcSizeFunc calcScale = nullptr);
  void DeleteFetchConverter(int index);
  void ClearFetchMappers();
  int FetchConverterCount() const noexcept { return FFetchConverters.Count(); }
  const TFetchConverter& FetchConverters(int index) const { return *FFetchConverters.Items(index); }

  void AddOnDemandConverter(std::uint16_t sourceType, std::uint16_t destType, TConvertProcedure getDataConverter,
                            TConvertProcedure putDataConverter, TCalcSizeFunc calcLength = nullptr,
                            TCalcSizeFunc calcScale = nullptr);
  void DeleteOnDemandConverter(int index);
  void ClearOnDemandConverters();
  int OnDemandConverterCount() const noexcept { return FOnDemandConverters.Count(); }
  const TOnDemandConverter& OnDemandConverters(int index) const { return *FOnDemandConverters.Items(index); }

  // The first fetch converter with the type, the presented type, and a
  // length and scale (when not -1) within its bounds; or nullptr.
  const TFetchConverter* DetectFetchConverter(std::uint16_t dbType, int dbLength, int dbScale,
                                              std::uint16_t destDataType) const;
  // The first on-demand converter for exactly that pair, or nullptr.
  const TOnDemandConverter* DetectOnDemandConverter(std::uint16_t sourceDataType, std::uint16_t destDataType) const;

 private:
  TDAObjectList<TFetchConverter> FFetchConverters;
  TDAObjectList<TOnDemandConverter> FOnDemandConverters;
};

// --- What a record set does with rules ----------------------------------------------

// The four searches, first hit wins: by field name in the record set's own
// rules, then in the connection's; by database type in the record set's
// rules, then in the connection's. Either collection may be nullptr.
const TKxMapRule* FindMapRule(const TKxMapRules* recordSetRules, const TKxMapRules* connectionRules,
                              std::string_view fieldName, std::uint16_t dbType, int dbLength, int dbScale);

// The converter manager of the collection the rule belongs to.
const TConverterManager& RuleConverterManager(const TKxMapRule& rule);

// The fetch converter for a column: none for an encrypted column or without
// a rule, else the rule's manager's converter for the rule's data type.
const TFetchConverter* FindMapFetchConverter(const TKxMapRule* rule, bool encrypted, std::uint16_t dbType, int dbLength,
                                             int dbScale);

// Stores a fetched value (in the exchange form of `sourceType`: the
// column's text, or its 64-bit integer) in the converter's internal type
// with the value converters, so that a narrower stored type range-checks:
// "Value is out of range: %s" unless ignoreErrors.
void ConvertFetchedValue(const TFetchConverter& converter, TStringHeap* heap, std::uint16_t sourceType,
                         const void* source, int sourceLen, void* dest, int destLen, int destScale, bool ignoreErrors);

// The on-demand converter for a field stored as `storedType`. `rule` comes
// in as the rule that applies and goes out as nullptr when the field is
// stored exactly as the rule presents it (same type, and the rule's length
// and scale -1 or equal to dbLength and dbScale). May return nullptr with a
// rule left: no converter for that pair.
const TOnDemandConverter* FindMapOnDemandConverter(const TKxMapRule*& rule, std::uint16_t storedType, int dbLength,
                                                   int dbScale);

// True when the stored type is the rule's type and, for text and binary
// types, the rule's length is -1 or the field's; for dtBCD and dtFMTBCD
// both the rule's length and scale are -1 or the field's.
bool IsEqualDataTypes(std::uint16_t dataType, int length, int scale, const TKxMapRule& rule);

// A field's settled mapping (the mapping fields of a field descriptor).
struct TFieldMapping {
  const TKxMapRule* MapRule = nullptr;
  const TOnDemandConverter* OnDemandConverter = nullptr;
  int MapLength = -1;
  int MapScale = -1;
};

// Settles one field after the record store laid it out (stored dataType,
// length, scale; server dbType, dbLength, dbScale): no mapping unless
// `rulesEnabled`; a rule that needs no conversion leaves none; with a
// converter MapLength/MapScale are the rule's, else the size functions',
// else 20 for presented text and binary types (the field's length
// otherwise) and the field's scale. A rule without a converter is kept
// with no converter (the data-set layer reports it, see
// RaiseUnsupportedDataTypeMapping).
TFieldMapping ResolveFieldMapping(const TKxMapRules* recordSetRules, const TKxMapRules* connectionRules,
                                  bool rulesEnabled, std::string_view fieldName, std::uint16_t dataType, int length,
                                  int scale, std::uint16_t dbType, int dbLength, int dbScale);

// "Varchar(10)", "Decimal(10,2)", "Unknown(999)" (length and scale shown
// when not zero).
std::string DBTypeMappingText(std::uint16_t dbType, int length, int scale);
// Raises EUnsupportedDataTypeMapping "Unsupported data type mapping:
// \"%s\" to \"%s\"" with the two texts.
[[noreturn]] void RaiseUnsupportedDataTypeMapping(std::string_view dbTypeText, std::string_view fieldTypeText);

// Reads a mapped value: `fieldData` is the field's slot in the record
// (stored type, length, scale), `dest` gets the presented value. Stored
// dates go through a temporary in their exchange form. Converter errors
// are re-raised as the same class with "Field: <name>\r\n" in front.
void GetMappedFieldData(const TFieldMapping& mapping, TStringHeap* heap, std::uint16_t storedType, int length,
                        int scale, const void* fieldData, void* dest, std::string_view fieldName);
// Writes a presented value into the field's slot. A stored large object
// has its rollback enabled first.
void PutMappedFieldData(const TFieldMapping& mapping, TStringHeap* heap, std::uint16_t storedType, int length,
                        int scale, const void* source, void* fieldData, std::string_view fieldName);

}  // namespace lumo
