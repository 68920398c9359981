#include "MyServices.h"

#include "MyUpdater.h"

#include "DADataSet.h"
#include "Format.h"
#include "MyClassesRecordset.h"

namespace lumo {

std::string MyRecCountSQL(const std::string&) { return {}; }

namespace {
std::unique_ptr<TDAParamInfo> NewMyParamInfo() { return std::make_unique<TMyParamInfo>(); }
}  // namespace

// ---- TCustomMySQLGenerator ------------------------------------------------------------------

TCustomMySQLGenerator::TCustomMySQLGenerator(TDADataSetService& owner) : TDASQLGenerator(owner) {
  FParamsInfo = std::make_unique<TDAParamsInfo>(&NewMyParamInfo);
}

void TCustomMySQLGenerator::AddParam(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                                     TParamType paramType, int index, bool old) {
  TDASQLGenerator::AddParam(sb, fieldDesc, statementType, paramType, index, old);
}

void TCustomMySQLGenerator::AddFieldToCondition(std::string& sb, const TKxFieldDesc& fieldDesc,
                                                TStatementType statementType, bool modifiedFieldsOnly, int index) {
  TDASQLGenerator::AddFieldToCondition(sb, fieldDesc, statementType, modifiedFieldsOnly, index);
}

void TCustomMySQLGenerator::GenerateLockSQL(const TKeyAndDataFields&, int) {}

void TCustomMySQLGenerator::GenerateConditions(std::string& sb, TStatementType statementType, bool modifiedFieldsOnly,
                                               const TKeyAndDataFields& keyAndDataFields, int index) {
  TDASQLGenerator::GenerateConditions(sb, statementType, modifiedFieldsOnly, keyAndDataFields, index);
}

TDAParamsInfo::TItemFactory TCustomMySQLGenerator::GetParamInfoClass() { return &NewMyParamInfo; }

std::string TCustomMySQLGenerator::GenerateTableSQL(const std::string& tableName, const std::string& orderFields) {
  return TDASQLGenerator::GenerateTableSQL(tableName, orderFields);
}

std::int32_t TCustomMySQLGenerator::GetParamOffset(int) { return 0; }

TCustomMyDataSetService& TCustomMySQLGenerator::MyService() const {
  return static_cast<TCustomMyDataSetService&>(*FDataSetService);
}

bool TCustomMySQLGenerator::Is41Capable() { return true; }

TMySQLFieldDesc* TCustomMySQLGenerator::TableTimestampField(const TKeyAndDataFields&) { return nullptr; }

// ---- TCustomMyDataSetService ----------------------------------------------------------------

TCustomMyDataSetService::TCustomMyDataSetService(TMemDataSet& owner) : TDADataSetService(owner) {}

TCustomMyDataSetService::~TCustomMyDataSetService() = default;

std::unique_ptr<TDataSetUpdater> TCustomMyDataSetService::CreateDataSetUpdater() {
  return std::make_unique<TCustomMyDataSetUpdater>(*this);
}

void TCustomMyDataSetService::SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) {
  TDADataSetService::SetDataSetUpdater(std::move(value));
}

void TCustomMyDataSetService::SetNumberRange(TFieldDef& fieldDef) { TDADataSetService::SetNumberRange(fieldDef); }

void TCustomMyDataSetService::WriteFieldXMLDataType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDADataSetService::WriteFieldXMLDataType(field, desc, writer);
}

void TCustomMyDataSetService::WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDADataSetService::WriteFieldXMLAttributeType(field, desc, writer);
}

void TCustomMyDataSetService::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prCheckRowVersion:
      FCheckRowVersion = value.AsBoolean();
      break;
    case prLockType:
      FLockType = static_cast<TLockRecordTypeI>(value.AsInt32());
      break;
    case prAutoIncrementReadOnly:
      FAutoIncrementReadOnly = value.AsBoolean();
      break;
    default:
      TDADataSetService::SetProp(prop, value);
  }
}

bool TCustomMyDataSetService::GetProp(int prop, Variant& value) { return TDADataSetService::GetProp(prop, value); }

std::unique_ptr<TDASQLGenerator> TCustomMyDataSetService::CreateSQLGenerator() {
  return std::make_unique<TCustomMySQLGenerator>(*this);
}

void TCustomMyDataSetService::InitCursor() { TDADataSetService::InitCursor(); }
void TCustomMyDataSetService::CloseCursor() { FTimestampField = nullptr; }
void TCustomMyDataSetService::SetFieldOrigin(TField& field, TKxFieldDesc& fieldDesc) {
  TDADataSetService::SetFieldOrigin(field, fieldDesc);
}
void TCustomMyDataSetService::FillFieldsDefaultValues() {}
TKxFieldDesc* TCustomMyDataSetService::DetectIdentityField() { return nullptr; }
bool TCustomMyDataSetService::DetectCanModify() { return TDADataSetService::DetectCanModify(); }
bool TCustomMyDataSetService::CanUseAllKeyFields() { return false; }
void TCustomMyDataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool forceUseAllKeyFields) {
  TDADataSetService::FillKeyFieldDescs(keyFieldDescs, forceUseAllKeyFields);
}
void TCustomMyDataSetService::FillDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllKeyFields) {
  TDADataSetService::FillDataFieldDescs(dataFieldDescs, forceUseAllKeyFields);
}
std::int64_t TCustomMyDataSetService::GetRecCount() { return 0; }
void TCustomMyDataSetService::BreakExec() {}
bool TCustomMyDataSetService::Executing() { return FInGetRecCount; }
bool TCustomMyDataSetService::OpenNext() { return false; }
std::string TCustomMyDataSetService::GetCurrentSchema() { return {}; }

TCustomMySQLGenerator& TCustomMyDataSetService::MySQLGenerator() {
  return static_cast<TCustomMySQLGenerator&>(SQLGenerator());
}

bool TCustomMyDataSetService::IsConsideredField(const TKxFieldDesc&) const { return false; }

}  // namespace lumo
