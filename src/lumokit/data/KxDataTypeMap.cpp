#include <lumokit/data/KxDataTypeMap.h>

#include <cstring>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

// ---- database types ----------------------------------------------------------------

void TDBTypeInfos::Add(std::uint16_t dbType, std::string name, bool length, bool scale) {
  FItems.Add(std::make_unique<TDBTypeInfo>(dbType, std::move(name), length, scale));
}

const TDBTypeInfo* TDBTypeInfos::FindTypeInfo(std::uint16_t dbType) const noexcept {
  for (const auto& info : FItems)
    if (info->DBType() == dbType) return info.get();
  return nullptr;
}

const TDBTypeInfo* TDBTypeInfos::FindTypeInfo(std::string_view name, int dbProvider) const {
  std::string_view trimmed = TrimView(name);
  for (const auto& info : FItems)
    if ((dbProvider == 0 || GetDBProvider(info->DBType()) == dbProvider) && SameFieldName(info->Name(), trimmed))
      return info.get();
  return nullptr;
}

void TDBTypeInfos::Validate(std::uint16_t dbType, int lengthMin, int lengthMax, int scaleMin, int scaleMax,
                            bool isDBTypeRequired) const {
  if (dbType == 0) {
    if (isDBTypeRequired) throw EInvalidDBTypeMapping("Database type is not defined");
    return;
  }
  const TDBTypeInfo* info = FindTypeInfo(dbType);
  if (!info) throw EInvalidDBTypeMapping(Format("Unsupported database type: %s", {std::to_string(dbType)}));
  if (!info->Length() && (lengthMin != -1 || lengthMax != -1))
    throw EInvalidDBTypeMapping(Format("Length cannot be specified for the \"%s\" database type", {info->Name()}));
  if (!info->Scale() && (scaleMin != -1 || scaleMax != -1))
    throw EInvalidDBTypeMapping(Format("Scale cannot be specified for the \"%s\" database type", {info->Name()}));
}

TDBTypeInfos& DBTypeInfos() {
  static TDBTypeInfos infos;
  return infos;
}

// ---- rules --------------------------------------------------------------------------

TMapRule::~TMapRule() = default;

void TMapRule::Set(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
                   int dbScaleMax, int fieldLength, int fieldScale, bool ignoreErrors) {
  FFieldName = std::move(fieldName);
  FDBType = dbType;
  FDBLengthMin = dbLengthMin;
  FDBLengthMax = dbLengthMax;
  FDBScaleMin = dbScaleMin;
  FDBScaleMax = dbScaleMax;
  FFieldLength = fieldLength;
  FFieldScale = fieldScale;
  FIgnoreErrors = ignoreErrors;
}

TMapRules::~TMapRules() = default;

TMapRule& TMapRules::AddItem(std::unique_ptr<TMapRule> rule) {
  rule->FCollection = this;
  TMapRule& added = *rule;
  FItems.Add(std::move(rule));
  Update();
  return added;
}

void TMapRules::Delete(int index) {
  FItems.Delete(index);
  Update();
}

void TMapRules::Clear() {
  FItems.Clear();
  Update();
}

const TConverterManager& TKxMapRules::GetConverterManager() const {
  AssertionFailure(__FILE__, __LINE__, "TKxMapRules has no converter manager");
}

TKxMapRule& TKxMapRules::AddRule(std::string fieldName, std::uint16_t dbType, int dbLengthMin, int dbLengthMax,
                                 int dbScaleMin, int dbScaleMax, std::uint16_t dataType, int fieldLength,
                                 int fieldScale, bool ignoreErrors) {
  DBTypeInfos().Validate(dbType, dbLengthMin, dbLengthMax, dbScaleMin, dbScaleMax, fieldName.empty());
  auto rule = std::make_unique<TKxMapRule>();
  rule->Set(std::move(fieldName), dbType, dbLengthMin, dbLengthMax, dbScaleMin, dbScaleMax, fieldLength, fieldScale,
            ignoreErrors);
  rule->SetDataType(dataType);
  return static_cast<TKxMapRule&>(AddItem(std::move(rule)));
}

namespace {
bool Within(int value, int lo, int hi) noexcept {
  return value == -1 || ((lo == -1 || value >= lo) && (hi == -1 || value <= hi));
}
}  // namespace

bool TKxMapRules::CheckSQLType(const TMapRule& rule, std::uint16_t dbType, int dbLength, int dbScale) noexcept {
  return dbType == rule.DBType() && Within(dbLength, rule.DBLengthMin(), rule.DBLengthMax()) &&
         Within(dbScale, rule.DBScaleMin(), rule.DBScaleMax());
}

const TKxMapRule* TKxMapRules::DetectFieldNameMapRule(std::string_view fieldName, std::uint16_t dbType, int dbLength,
                                                      int dbScale) const {
  for (int i = 0; i < Count(); ++i) {
    const TKxMapRule& rule = Items(i);
    if (!rule.FieldName().empty() && SameFieldName(rule.FieldName(), fieldName) &&
        (rule.DBType() == 0 || CheckSQLType(rule, dbType, dbLength, dbScale)))
      return &rule;
  }
  return nullptr;
}

const TKxMapRule* TKxMapRules::DetectDBTypeMapRule(std::uint16_t dbType, int dbLength, int dbScale) const {
  for (int i = 0; i < Count(); ++i) {
    const TKxMapRule& rule = Items(i);
    if (rule.DBType() != 0 && CheckSQLType(rule, dbType, dbLength, dbScale)) return &rule;
  }
  return nullptr;
}

// ---- converter manager ---------------------------------------------------------------

TConverterManager::TConverterManager() {
  for (const TOnDemandPair& p : TDataConverters::MatrixPairs()) {
    TConvertProcedure get = TDataConverters::Find(p.SourceDataType, p.DestDataType);
    TConvertProcedure put = TDataConverters::Find(p.DestDataType, p.SourceDataType);
    LUMO_ASSERT(get && put);
    AddOnDemandConverter(p.SourceDataType, p.DestDataType, get, put, p.CalcLength, p.CalcScale);
  }
}

TConverterManager::~TConverterManager() = default;

void TConverterManager::AddFetchConverter(std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
                                          int dbScaleMax, std::uint16_t requiredDataType, std::uint16_t destDataType,
                                          TCalcSizeFunc calcLength, TCalcSizeFunc calcScale) {
  FFetchConverters.Add(std::make_unique<TFetchConverter>(dbType, dbLengthMin, dbLengthMax, dbScaleMin, dbScaleMax,
                                                         requiredDataType, destDataType, calcLength, calcScale));
}

void TConverterManager::AddFetchConverter(std::uint16_t dbType, int dbLengthMin, int dbLengthMax, int dbScaleMin,
                                          int dbScaleMax, std::uint16_t dataType) {
  AddFetchConverter(dbType, dbLengthMin, dbLengthMax, dbScaleMin, dbScaleMax, dataType, dataType);
}

void TConverterManager::AddFetchConverter(std::uint16_t dbType, std::uint16_t dataType) {
  AddFetchConverter(dbType, -1, -1, -1, -1, dataType, dataType);
}

void TConverterManager::AddFetchConverter(std::uint16_t dbType, std::uint16_t requiredDataType,
                                          std::uint16_t destDataType, TCalcSizeFunc calcLength,
                                          TCalcSizeFunc calcScale) {
  AddFetchConverter(dbType, -1, -1, -1, -1, requiredDataType, destDataType, calcLength, calcScale);
}

void TConverterManager::DeleteFetchConverter(int index) { FFetchConverters.Delete(index); }
void TConverterManager::ClearFetchMappers() { FFetchConverters.Clear(); }

void TConverterManager::AddOnDemandConverter(std::uint16_t sourceType, std::uint16_t destType,
                                             TConvertProcedure getDataConverter, TConvertProcedure putDataConverter,
                                             TCalcSizeFunc calcLength, TCalcSizeFunc calcScale) {
  FOnDemandConverters.Add(std::make_unique<TOnDemandConverter>(sourceType, destType, getDataConverter, putDataConverter,
                                                               calcLength, calcScale));
}

void TConverterManager::DeleteOnDemandConverter(int index) { FOnDemandConverters.Delete(index); }
void TConverterManager::ClearOnDemandConverters() { FOnDemandConverters.Clear(); }

const TFetchConverter* TConverterManager::DetectFetchConverter(std::uint16_t dbType, int dbLength, int dbScale,
                                                               std::uint16_t destDataType) const {
  for (const auto& c : FFetchConverters)
    if (c->DBType() == dbType && c->DestDataType() == destDataType &&
        Within(dbLength, c->DBLengthMin(), c->DBLengthMax()) && Within(dbScale, c->DBScaleMin(), c->DBScaleMax()))
      return c.get();
  return nullptr;
}

const TOnDemandConverter* TConverterManager::DetectOnDemandConverter(std::uint16_t sourceDataType,
                                                                     std::uint16_t destDataType) const {
  for (const auto& c : FOnDemandConverters)
    if (c->SourceDataType() == sourceDataType && c->DestDataType() == destDataType) return c.get();
  return nullptr;
}

// ---- record-set side -------------------------------------------------------------------

const TKxMapRule* FindMapRule(const TKxMapRules* recordSetRules, const TKxMapRules* connectionRules,
                              std::string_view fieldName, std::uint16_t dbType, int dbLength, int dbScale) {
  const TKxMapRule* rule = nullptr;
  if (recordSetRules) rule = recordSetRules->DetectFieldNameMapRule(fieldName, dbType, dbLength, dbScale);
  if (!rule && connectionRules) rule = connectionRules->DetectFieldNameMapRule(fieldName, dbType, dbLength, dbScale);
  if (!rule && recordSetRules) rule = recordSetRules->DetectDBTypeMapRule(dbType, dbLength, dbScale);
  if (!rule && connectionRules) rule = connectionRules->DetectDBTypeMapRule(dbType, dbLength, dbScale);
  return rule;
}

const TConverterManager& RuleConverterManager(const TKxMapRule& rule) {
  auto* rules = dynamic_cast<const TKxMapRules*>(rule.Collection());
  LUMO_ASSERT(rules != nullptr);
  return rules->GetConverterManager();
}

const TFetchConverter* FindMapFetchConverter(const TKxMapRule* rule, bool encrypted, std::uint16_t dbType, int dbLength,
                                             int dbScale) {
  if (encrypted || !rule) return nullptr;
  return RuleConverterManager(*rule).DetectFetchConverter(dbType, dbLength, dbScale, rule->DataType());
}

const TOnDemandConverter* FindMapOnDemandConverter(const TKxMapRule*& rule, std::uint16_t storedType, int dbLength,
                                                   int dbScale) {
  if (!rule) return nullptr;
  if (storedType == rule->DataType() && (rule->FieldLength() == -1 || rule->FieldLength() == dbLength) &&
      (rule->FieldScale() == -1 || rule->FieldScale() == dbScale)) {
    rule = nullptr;
    return nullptr;
  }
  return RuleConverterManager(*rule).DetectOnDemandConverter(storedType, rule->DataType());
}

void ConvertFetchedValue(const TFetchConverter& converter, TStringHeap* heap, std::uint16_t sourceType,
                         const void* source, int sourceLen, void* dest, int destLen, int destScale, bool ignoreErrors) {
  TConvertProcedure convert = TDataConverters::Find(sourceType, converter.InternalDataType());
  LUMO_ASSERT(convert != nullptr);
  convert(heap, source, sourceLen, 0, dest, destLen, destScale, ignoreErrors);
}

bool IsEqualDataTypes(std::uint16_t dataType, int length, int scale, const TKxMapRule& rule) {
  if (dataType != rule.DataType()) return false;
  if (IsSizedFieldType(dataType)) return rule.FieldLength() == -1 || rule.FieldLength() == length;
  if (dataType == dtBCD || dataType == dtFMTBCD)
    return (rule.FieldLength() == -1 || rule.FieldLength() == length) &&
           (rule.FieldScale() == -1 || rule.FieldScale() == scale);
  return true;
}

TFieldMapping ResolveFieldMapping(const TKxMapRules* recordSetRules, const TKxMapRules* connectionRules,
                                  bool rulesEnabled, std::string_view fieldName, std::uint16_t dataType, int length,
                                  int scale, std::uint16_t dbType, int dbLength, int dbScale) {
  TFieldMapping m;
  if (!rulesEnabled) return m;
  const TKxMapRule* rule = FindMapRule(recordSetRules, connectionRules, fieldName, dbType, dbLength, dbScale);
  const TOnDemandConverter* converter = FindMapOnDemandConverter(rule, dataType, dbLength, dbScale);
  if (!rule || IsEqualDataTypes(dataType, length, scale, *rule)) return m;
  m.MapRule = rule;
  if (!converter) return m;
  m.OnDemandConverter = converter;
  if (rule->FieldLength() >= 0)
    m.MapLength = rule->FieldLength();
  else if (converter->CalcLength())
    m.MapLength = converter->CalcLength()(length);
  else
    m.MapLength = IsSizedFieldType(rule->DataType()) ? 20 : length;
  if (rule->FieldScale() >= 0)
    m.MapScale = rule->FieldScale();
  else if (converter->CalcScale())
    m.MapScale = converter->CalcScale()(scale);
  else
    m.MapScale = scale;
  return m;
}

std::string DBTypeMappingText(std::uint16_t dbType, int length, int scale) {
  const TDBTypeInfo* info = DBTypeInfos().FindTypeInfo(dbType);
  if (!info) return "Unknown(" + std::to_string(dbType) + ")";
  std::string text = info->Name();
  if (length != 0 || scale != 0) {
    text += '(';
    if (length != 0) text += std::to_string(length);
    if (length != 0 && scale != 0) text += ',';
    if (scale != 0) text += std::to_string(scale);
    text += ')';
  }
  return text;
}

void RaiseUnsupportedDataTypeMapping(std::string_view dbTypeText, std::string_view fieldTypeText) {
  throw EUnsupportedDataTypeMapping(
      Format("Unsupported data type mapping: \"%s\" to \"%s\"", {dbTypeText, fieldTypeText}));
}

namespace {

// Re-raises the exception being handled as its own class with the field
// named in front; other exceptions pass unchanged.
[[noreturn]] void RethrowForField(std::string_view fieldName) {
  auto text = [&](const Exception& e) { return "Field: " + std::string(fieldName) + "\r\n" + e.Message(); };
  try {
    throw;
  } catch (const EDataMappingError& e) {
    throw EDataMappingError(text(e));
  } catch (const EUnsupportedDataTypeMapping& e) {
    throw EUnsupportedDataTypeMapping(text(e));
  } catch (const EInvalidFieldTypeMapping& e) {
    throw EInvalidFieldTypeMapping(text(e));
  } catch (const EInvalidDBTypeMapping& e) {
    throw EInvalidDBTypeMapping(text(e));
  } catch (const EInvalidMapRuleExpression& e) {
    throw EInvalidMapRuleExpression(text(e));
  } catch (const EDataTypeMappingError& e) {
    throw EDataTypeMappingError(text(e));
  }
}

bool IsStoredDate(std::uint16_t t) noexcept { return t == dtDate || t == dtTime || t == dtDateTime; }

// The form the value converters exchange a date type in.
TDateFormat ConverterDateFormat(std::uint16_t t) noexcept {
  return t == dtDate ? dfDate : t == dtTime ? dfTime : dfMSecs;
}

// Presented types whose converter form differs from the field's (micros).
bool PresentedInMicros(std::uint16_t t) noexcept { return t == dtTime || t == dtDateTime; }

// Between a field's micros and the converter form of a presented type; a
// value the other form cannot hold is a mapping error.
void ToMicros(void* micros, const void* converterForm, std::uint16_t presentedType) {
  try {
    PutDateToBuf(micros, converterForm, ConverterDateFormat(presentedType));
  } catch (const EConvertError& e) {
    throw EDataMappingError(e.Message());
  }
}

void FromMicros(const void* micros, void* converterForm, std::uint16_t presentedType) {
  try {
    GetDateFromBuf(micros, converterForm, ConverterDateFormat(presentedType));
  } catch (const EConvertError& e) {
    throw EDataMappingError(e.Message());
  }
}

}  // namespace

void GetMappedFieldData(const TFieldMapping& mapping, TStringHeap* heap, std::uint16_t storedType, int length,
                        int scale, const void* fieldData, void* dest, std::string_view fieldName) {
  LUMO_ASSERT(mapping.OnDemandConverter && mapping.MapRule);
  alignas(8) unsigned char temp[8];
  alignas(8) unsigned char presented[8] = {};
  const void* source = fieldData;
  const std::uint16_t presentedType = mapping.OnDemandConverter->DestDataType();
  try {
    if (IsStoredDate(storedType)) {
      GetDateFromBuf(fieldData, temp, ConverterDateFormat(storedType));
      source = temp;
    }
    void* out = PresentedInMicros(presentedType) ? presented : dest;
    mapping.OnDemandConverter->GetDataConverter()(heap, source, length, scale, out, mapping.MapLength,
                                                  mapping.MapScale, mapping.MapRule->IgnoreErrors());
    if (out != dest) ToMicros(dest, presented, presentedType);
  } catch (const EDataTypeMappingError&) {
    RethrowForField(fieldName);
  }
}

void PutMappedFieldData(const TFieldMapping& mapping, TStringHeap* heap, std::uint16_t storedType, int length,
                        int scale, const void* source, void* fieldData, std::string_view fieldName) {
  LUMO_ASSERT(mapping.OnDemandConverter && mapping.MapRule);
  try {
    if (IsBlobFieldType(storedType)) {
      void* handle;
      std::memcpy(&handle, fieldData, sizeof handle);
      if (handle) static_cast<TBlob*>(handle)->EnableRollback();
    }
    alignas(8) unsigned char presented[8];
    if (const std::uint16_t presentedType = mapping.OnDemandConverter->DestDataType();
        PresentedInMicros(presentedType)) {
      FromMicros(source, presented, presentedType);
      source = presented;
    }
    if (!IsStoredDate(storedType)) {
      mapping.OnDemandConverter->PutDataConverter()(heap, source, mapping.MapLength, mapping.MapScale, fieldData,
                                                    length, scale, mapping.MapRule->IgnoreErrors());
      return;
    }
    // The temporary starts with the current value, so that what a converter
    // leaves unwritten stays as it was.
    alignas(8) unsigned char temp[8];
    TDateFormat format = ConverterDateFormat(storedType);
    GetDateFromBuf(fieldData, temp, format);
    mapping.OnDemandConverter->PutDataConverter()(heap, source, mapping.MapLength, mapping.MapScale, temp, length,
                                                  scale, mapping.MapRule->IgnoreErrors());
    try {
      PutDateToBuf(fieldData, temp, format);
    } catch (const EConvertError& e) {
      throw EDataMappingError(e.Message());
    }
  } catch (const EDataTypeMappingError&) {
    RethrowForField(fieldName);
  }
}

}  // namespace lumo
