#include <lumokit/components/DASQLGenerator.h>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/core/Format.h>

namespace lumo {

TDAParamInfo& TDAParamsInfo::Items(int index) const {
  if (index < 0 || index >= Count()) throw Exception(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TDAParamInfo& TDAParamsInfo::Add() {
  FItems.push_back(FFactory());
  return *FItems.back();
}

namespace {
std::unique_ptr<TDAParamInfo> NewDAParamInfo() { return std::make_unique<TDAParamInfo>(); }
}  // namespace

TDASQLGenerator::TDASQLGenerator(TDADataSetService& owner)
    : FDataSet(&owner.DADataSet()),
      FDataSetService(&owner),
      FParamsInfo(std::make_unique<TDAParamsInfo>(&NewDAParamInfo)) {
  for (std::string* sb : {&FHeaderSB, &FFldSB, &FMiddleSB, &FFldParamSB, &FCondSB, &FFooterSB}) sb->reserve(100);
}

TDASQLGenerator::~TDASQLGenerator() = default;

void TDASQLGenerator::Clear() {
  for (std::string* sb : {&FHeaderSB, &FFldSB, &FMiddleSB, &FFldParamSB, &FCondSB, &FFooterSB}) sb->clear();
  FOldRecBuf = FNewRecBuf = nullptr;
  FRecBufsKnown = false;
}

std::string TDASQLGenerator::AssembleSB(TStatementType) {
  std::string sql;
  sql.reserve(FHeaderSB.size() + FFldSB.size() + FMiddleSB.size() + FFldParamSB.size() + FCondSB.size() +
              FFooterSB.size());
  sql.append(FHeaderSB).append(FFldSB).append(FMiddleSB).append(FFldParamSB).append(FCondSB).append(FFooterSB);
  return sql;
}

bool TDASQLGenerator::IsBlobDataType(std::uint16_t dataType) {
  return dataType == dtBlob || dataType == dtMemo || dataType == dtWideMemo;
}

bool TDASQLGenerator::IsObjectDataType(std::uint16_t dataType) { return dataType == dtObject || dataType == dtArray; }

namespace {

// The attribute descriptors of an object descriptor: those that follow it
// with it as parent.
std::vector<TFieldDesc*> AttributesOf(const TData& data, const TFieldDesc& desc) {
  std::vector<TFieldDesc*> attributes;
  const TFieldDescs& descs = data.Fields();
  const int at = descs.IndexOf(&desc);
  if (at < 0) return attributes;
  for (int i = at + 1; i < descs.Count(); ++i) {
    TFieldDesc* d = descs[i];
    if (!d) continue;
    if (d->ParentField() != &desc) break;
    attributes.push_back(d);
  }
  return attributes;
}

}  // namespace

bool TDASQLGenerator::FieldIsNull(const TFieldDesc& fieldDesc, bool oldValue, TData& data, const void* oldRecBuf,
                                  const void* newRecBuf) {
  if (IsObjectDataType(fieldDesc.DataType())) {
    const std::vector<TFieldDesc*> attributes = AttributesOf(data, fieldDesc);
    if (!attributes.empty()) {
      for (TFieldDesc* attribute : attributes)
        if (!FieldIsNull(*attribute, oldValue, data, oldRecBuf, newRecBuf)) return false;
      return true;
    }
  }
  const void* buffer = oldValue ? oldRecBuf : newRecBuf;
  if (!buffer) return true;
  return data.GetNull(fieldDesc.FieldNo(), const_cast<void*>(buffer));
}

bool TDASQLGenerator::FieldIsNull(const TFieldDesc& fieldDesc, bool oldValue) {
  if (!FDataSet->Active()) return true;
  return FieldIsNull(fieldDesc, oldValue, FDataSet->Data(), OldRecBuf(), NewRecBuf());
}

bool TDASQLGenerator::FieldModified(const TFieldDesc& fieldDesc, TData& data, const void* oldRecBuf,
                                    const void* newRecBuf) {
  if (!newRecBuf) return false;
  if (!oldRecBuf) return !data.GetNull(fieldDesc.FieldNo(), const_cast<void*>(newRecBuf));
  if (IsBlobDataType(fieldDesc.DataType())) {
    if (TMemDSUtils::InCacheProcessing(*FDataSet))
      return data.GetObject(fieldDesc.FieldNo(), oldRecBuf) != data.GetObject(fieldDesc.FieldNo(), newRecBuf);
    if (auto* field = dynamic_cast<TBlobField*>(FieldOf(fieldDesc)); field && field->Modified()) return true;
    TBlob* blob = data.GetObject(fieldDesc.FieldNo(), newRecBuf);
    return blob && blob->CanRollback();
  }
  if (IsObjectDataType(fieldDesc.DataType())) {
    for (TFieldDesc* attribute : AttributesOf(data, fieldDesc))
      if (FieldModified(*attribute, data, oldRecBuf, newRecBuf)) return true;
    return false;
  }
  auto* memData = dynamic_cast<TMemData*>(&data);
  if (!memData) return true;
  return memData->CompareFields(oldRecBuf, newRecBuf, TCompareOptions{coOrdinalCompare}, fieldDesc) != 0;
}

bool TDASQLGenerator::FieldModified(const TFieldDesc& fieldDesc) {
  if (!FDataSet->Active()) return false;
  return FieldModified(fieldDesc, FDataSet->Data(), OldRecBuf(), NewRecBuf());
}

std::string TDASQLGenerator::GetActualFieldName(const TKxFieldDesc& fieldDesc, bool isRefresh) {
  std::string name = ColumnName(fieldDesc);
  if (isRefresh && IsFullRefresh() && !FDataSetService->UpdTableIsArtificial() && fieldDesc.TableInfo()) {
    const TKxTableInfo& table = *fieldDesc.TableInfo();
    const std::string& prefix = table.TableAlias().empty() ? table.TableName() : table.TableAlias();
    name = SQLInfo().NormalizeName(prefix, QuoteNames()) + "." + name;
  }
  return name;
}

std::string TDASQLGenerator::GenerateIndexName(const std::string& name) { return "_" + name; }

int TDASQLGenerator::DecodeFieldIndex(const std::string& fieldName) {
  if (fieldName.size() < 2 || fieldName[0] != '_' || fieldName.size() > 11) return -1;
  std::int64_t n = 0;
  for (std::size_t i = 1; i < fieldName.size(); ++i) {
    const char c = fieldName[i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  const TKxRecordSet* rs = FDataSet->IRecordSet();
  const std::int64_t count = rs ? rs->FieldCount() : 0;
  return n < count ? static_cast<int>(n) : -1;
}

int TDASQLGenerator::MaxIdentLength() { return 2147483647; }

void TDASQLGenerator::AddParam(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                               TParamType paramType, int index, bool old) {
  TSQLInfo& info = SQLInfo();
  const std::string& fieldName = fieldDesc.Name();
  std::string prefix = old ? "Old_" : "";
  if (statementType == stRefresh && FDataSet->FindParam(fieldName)) index = 1;
  if (index >= 0) prefix = IndexedPrefix() + std::to_string(index) + "_" + prefix;
  std::string name;
  bool shortened = false;
  if (static_cast<std::int64_t>(prefix.size() + fieldName.size()) > MaxIdentLength()) {
    name = prefix + std::to_string(fieldDesc.FieldNo());
    shortened = true;
  } else {
    name = prefix + fieldName;
  }
  std::string written = name;
  if ((info.ParamQuoteAllowed() && QuoteNames()) || (!shortened && info.QuotesNeeded(fieldName)))
    written = QuoteIdentifier(name);
  const bool substitute =
      FParams && IsSubstituteParamName() &&
      (statementType != stRefresh || (FDataSet->ParamCount() == 0 && !FDataSet->Options().FullRefresh()));
  sb += substitute ? std::string("?") : ":" + written;
  if (FParams) {
    FParams->CreateParam(ftUnknown, name, paramType);
    TDAParamInfo& item = FParamsInfo->Add();
    item.SetField(FieldOf(fieldDesc));
    item.SetOld(old);
    item.SetParamIndex(index);
  }
}

void TDASQLGenerator::AddFieldToInsertSQL(const TKxFieldDesc& fieldDesc, int index) {
  if (!FFldSB.empty()) {
    FFldSB += ", ";
    FFldParamSB += ", ";
  }
  FFldSB += ColumnName(fieldDesc);
  AddParam(FFldParamSB, fieldDesc, stInsert, ptInput, index);
}

void TDASQLGenerator::AddFieldToUpdateSQL(const TKxFieldDesc& fieldDesc, bool, int index) {
  if (!FFldSB.empty()) FFldSB += ", ";
  FFldSB += ColumnName(fieldDesc);
  FFldSB += " = ";
  AddParam(FFldSB, fieldDesc, stUpdate, ptInput, index);
}

void TDASQLGenerator::AddFieldToRefreshSQL(const TKxFieldDesc& fieldDesc) {
  if (!FFldSB.empty()) FFldSB += ", ";
  FFldSB += GetActualFieldName(fieldDesc, true);
  if (!FDesignMode) FFldSB += " AS " + GenerateIndexName(std::to_string(FieldIndexOf(fieldDesc)));
}

void TDASQLGenerator::AddFieldToCondition(std::string& sb, const TKxFieldDesc& fieldDesc,
                                          TStatementType statementType, bool, int index) {
  if (!sb.empty()) sb += " AND ";
  const bool refresh = statementType == stRefresh;
  sb += GetActualFieldName(fieldDesc, refresh);
  if (FDesignMode || !FieldIsNull(fieldDesc, !refresh)) {
    sb += " = ";
    const bool old = !refresh || (FDataSet->CachedUpdates() && !TMemDSUtils::InCacheProcessing(*FDataSet));
    AddParam(sb, fieldDesc, statementType, ptInput, index, old);
  } else {
    sb += " IS NULL";
  }
}

void TDASQLGenerator::GenerateInsertSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly,
                                        int index) {
  for (TKxFieldDesc* desc : keyAndDataFields.DataFieldDescs)
    if (!modifiedFieldsOnly || !FieldIsNull(*desc, false)) AddFieldToInsertSQL(*desc, index);
  FHeaderSB = "INSERT INTO " + TableName() + "\r\n  (";
  FMiddleSB = ")\r\nVALUES\r\n  (";
  FFooterSB = ")";
}

void TDASQLGenerator::GenerateUpdateSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly,
                                        int index) {
  for (TKxFieldDesc* desc : keyAndDataFields.DataFieldDescs)
    if (!modifiedFieldsOnly || FieldModified(*desc)) AddFieldToUpdateSQL(*desc, modifiedFieldsOnly, index);
  if (FFldSB.empty()) {
    Clear();
    return;
  }
  FHeaderSB = "UPDATE " + TableName() + "\r\nSET\r\n  ";
  FMiddleSB = "\r\nWHERE\r\n  ";
  GenerateConditions(FCondSB, stUpdate, modifiedFieldsOnly, keyAndDataFields, index);
}

void TDASQLGenerator::GenerateDeleteSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly,
                                        int index) {
  FHeaderSB = "DELETE FROM " + TableName() + "\r\nWHERE\r\n  ";
  GenerateConditions(FCondSB, stDelete, modifiedFieldsOnly, keyAndDataFields, index);
}

void TDASQLGenerator::GenerateLockSQL(const TKeyAndDataFields&, int) {}

void TDASQLGenerator::GenerateRefreshSQLSelectPart(const TKeyAndDataFields& keyAndDataFields) {
  FHeaderSB = "SELECT ";
  const TFieldDescArray& fields =
      keyAndDataFields.DataFieldDescs.empty() ? keyAndDataFields.KeyFieldDescs : keyAndDataFields.DataFieldDescs;
  for (TKxFieldDesc* desc : fields) AddFieldToRefreshSQL(*desc);
}

void TDASQLGenerator::GenerateRefreshSQLFromPart() {
  FMiddleSB = " FROM " + TableName();
  if (!FTableInfo->TableAlias().empty()) FMiddleSB += " " + SQLInfo().NormalizeName(FTableInfo->TableAlias(), QuoteNames());
  FMiddleSB += "\r\nWHERE\r\n  ";
}

void TDASQLGenerator::GenerateRefreshSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly) {
  if (IsFullRefresh()) {
    std::string conditions;
    GenerateConditions(conditions, stRefresh, modifiedFieldsOnly, keyAndDataFields);
    FHeaderSB = conditions.empty() ? FDataSet->GetFinalSQL()
                                   : FDataSet->SQLAddWhere(FDataSet->BaseSQL(), "\r\n  " + conditions);
    return;
  }
  GenerateRefreshSQLSelectPart(keyAndDataFields);
  GenerateRefreshSQLFromPart();
  GenerateConditions(FCondSB, stRefresh, modifiedFieldsOnly, keyAndDataFields);
}

void TDASQLGenerator::GenerateRefreshQuickSQL(const TKeyAndDataFields& keyAndDataFields) {
  std::string conditions;
  GenerateConditions(conditions, stRefreshQuick, false, keyAndDataFields);
  FHeaderSB = FDataSet->SQLAddWhere(FDataSet->GetFinalSQL(), conditions);
}

void TDASQLGenerator::GenerateRefreshCheckDeletedSQL(const TKeyAndDataFields& keyAndDataFields) {
  if (keyAndDataFields.KeyFieldDescs.empty()) throw EDAError("Key fields not found");
  std::string select, order;
  for (TKxFieldDesc* key : keyAndDataFields.KeyFieldDescs) {
    const std::string name = GetActualFieldName(*key, true);
    if (!select.empty()) {
      select += ", ";
      order += ", ";
    }
    select += name;
    if (!SameFieldName(key->Name(), key->ActualName())) select += " AS " + FDataSetService->QuoteName(key->Name());
    order += name;
  }
  const std::string finalSQL = FDataSet->GetFinalSQL();
  FHeaderSB = "SELECT " + select + " FROM " + FDataSet->SQLGetFrom(finalSQL);
  const std::string where = FDataSet->SQLGetWhere(finalSQL);
  if (!where.empty()) FHeaderSB += " WHERE " + where;
  FHeaderSB += " ORDER BY " + order;
}

void TDASQLGenerator::GenerateConditions(std::string& sb, TStatementType statementType, bool modifiedFieldsOnly,
                                         const TKeyAndDataFields& keyAndDataFields, int index) {
  if (!keyAndDataFields.KeyFieldDescs.empty()) {
    for (TKxFieldDesc* key : keyAndDataFields.KeyFieldDescs)
      AddFieldToCondition(sb, *key, statementType, modifiedFieldsOnly, index);
  } else if (TKxFieldDesc* identity = FDataSetService->IdentityField()) {
    AddFieldToCondition(sb, *identity, statementType, modifiedFieldsOnly, index);
  } else {
    if (keyAndDataFields.DataFieldDescs.empty()) throw EDAError("Key fields not found");
    const std::size_t before = sb.size();
    for (TKxFieldDesc* desc : keyAndDataFields.DataFieldDescs)
      if (!IsBlobDataType(desc->DataType())) AddFieldToCondition(sb, *desc, statementType, modifiedFieldsOnly, index);
    if (sb.size() == before) throw EDAError("Key fields not found");
  }
}

TDAParamsInfo::TItemFactory TDASQLGenerator::GetParamInfoClass() { return &NewDAParamInfo; }

std::string TDASQLGenerator::GenerateSQLforUpdTable(TKxTableInfo& tableInfo,
                                                    const TKeyAndDataFields& keyAndDataFields,
                                                    TStatementType statementType, bool modifiedFieldsOnly,
                                                    TDAParams* params, int index) {
  if (tableInfo.TableName().empty()) throw EDAError("TableInfo name must be provided");
  Clear();
  FTableInfo = &tableInfo;
  FParamsInfo->SetFactory(GetParamInfoClass());
  FParamsInfo->Clear();
  // The parameters are collected only while this statement is built, and
  // rebuilding them does not count as the user's change.
  struct TParamsScope {
    TDAParams*& Slot;
    ~TParamsScope() { Slot = nullptr; }
  } scope{FParams};
  std::unique_ptr<TDAParamsRebuild> rebuild = params ? std::make_unique<TDAParamsRebuild>(*params) : nullptr;
  if (params) params->Clear();
  FParams = params;
  switch (statementType) {
    case stInsert:
      GenerateInsertSQL(keyAndDataFields, modifiedFieldsOnly, index);
      break;
    case stUpdate:
      GenerateUpdateSQL(keyAndDataFields, modifiedFieldsOnly, index);
      break;
    case stDelete:
      GenerateDeleteSQL(keyAndDataFields, modifiedFieldsOnly, index);
      break;
    case stLock:
      GenerateLockSQL(keyAndDataFields, index);
      break;
    case stRefresh:
      GenerateRefreshSQL(keyAndDataFields, modifiedFieldsOnly);
      break;
    case stRefreshQuick:
      GenerateRefreshQuickSQL(keyAndDataFields);
      break;
    case stRefreshCheckDeleted:
      GenerateRefreshCheckDeletedSQL(keyAndDataFields);
      break;
    default:
      throw EDAError("Bad statement type");
  }
  return AssembleSB(statementType);
}

std::string TDASQLGenerator::GenerateSQL(TStatementType statementType, bool modifiedFieldsOnly, TDAParams* params,
                                         int index) {
  FDataSetService->CheckFieldsExt();
  TKxTableInfo* table = FDataSetService->UpdatingTableInfo();
  if (!table) return {};
  TKxTablesInfo* tables = FDataSet->TablesInfo();
  const bool forceUseAllFields =
      statementType == stRefresh && FDataSet->Options().FullRefresh() && (!tables || tables->Count() != 1);
  TKeyAndDataFields keyAndDataFields;
  FDataSetService->GetKeyAndDataFields(keyAndDataFields, forceUseAllFields);
  return GenerateSQLforUpdTable(*table, keyAndDataFields, statementType, modifiedFieldsOnly, params, index);
}

std::string TDASQLGenerator::GenerateTableSQL(const std::string& tableName, const std::string& orderFields) {
  std::string sql = "SELECT * FROM " + SQLInfo().NormalizeName(tableName, QuoteNames()) + "\r\n";
  const std::string order = Trim(orderFields);
  if (!order.empty()) sql += "ORDER BY " + order;
  return sql + "\r\n";
}

std::string TDASQLGenerator::GenerateSelectValues(const std::string& valuesList) { return "SELECT " + valuesList; }

TSQLInfo& TDASQLGenerator::SQLInfo() const { return *FDataSet->SQLInfo(); }

const std::string* TDASQLGenerator::Builder(TSQLBuilderKind kind) const noexcept {
  switch (kind) {
    case sbHeader:
      return &FHeaderSB;
    case sbFld:
      return &FFldSB;
    case sbMiddle:
      return &FMiddleSB;
    case sbFldParam:
      return &FFldParamSB;
    case sbCond:
      return &FCondSB;
    default:
      return &FFooterSB;
  }
}

const void* TDASQLGenerator::OldRecBuf() {
  if (!FRecBufsKnown) {
    TMemDSUtils::GetOldAndNewRecBuf(*FDataSet, FOldRecBuf, FNewRecBuf);
    FRecBufsKnown = true;
  }
  return FOldRecBuf;
}

const void* TDASQLGenerator::NewRecBuf() {
  OldRecBuf();
  return FNewRecBuf;
}

std::string TDASQLGenerator::TableName() const {
  return SQLInfo().NormalizeName(FTableInfo->TableNameFull(), QuoteNames());
}

std::string TDASQLGenerator::QuoteIdentifier(const std::string& name) const {
  TSQLInfo& info = SQLInfo();
  const char right = info.RightQuote();
  std::string quoted(1, info.LeftQuote());
  for (char c : name) {
    quoted += c;
    if (c == right) quoted += c;
  }
  quoted += right;
  return quoted;
}

std::string TDASQLGenerator::ColumnName(const TKxFieldDesc& fieldDesc) const {
  // A column name from the server is taken as one name: a "." or a quote
  // character in it does not make it qualified or quoted.
  const std::string& name = fieldDesc.ActualName().empty() ? fieldDesc.Name() : fieldDesc.ActualName();
  TSQLInfo& info = SQLInfo();
  const bool plain = !name.empty() && name.find_first_of(std::string{'.', info.LeftQuote(), info.RightQuote()}) ==
                                          std::string::npos;
  if (plain && !QuoteNames() && !info.QuotesNeeded(name)) return name;
  return QuoteIdentifier(name);
}

bool TDASQLGenerator::QuoteNames() const { return FDataSet->Options().QuoteNames(); }

bool TDASQLGenerator::IsFullRefresh() const { return FDataSet->Options().FullRefresh() || FDataSet->ReadOnly(); }

TField* TDASQLGenerator::FieldOf(const TFieldDesc& desc) const {
  for (const auto& field : FDataSet->Fields())
    if (FDataSet->GetFieldDesc(*field) == &desc) return field.get();
  return nullptr;
}

int TDASQLGenerator::FieldIndexOf(const TFieldDesc& desc) const {
  const TKxRecordSet* rs = FDataSet->IRecordSet();
  return rs ? rs->Fields().IndexOf(&desc) : -1;
}

}  // namespace lumo
