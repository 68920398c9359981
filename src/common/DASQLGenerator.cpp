#include "DASQLGenerator.h"

#include "DADataSet.h"
#include "Format.h"
#include "KxAccessRecordSet.h"

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
    : FDataSet(&owner.DADataSet()), FDataSetService(&owner), FParamsInfo(std::make_unique<TDAParamsInfo>(&NewDAParamInfo)) {}

TDASQLGenerator::~TDASQLGenerator() = default;

void TDASQLGenerator::Clear() {}
std::string TDASQLGenerator::AssembleSB(TStatementType) { return {}; }
bool TDASQLGenerator::IsBlobDataType(std::uint16_t) { return false; }
bool TDASQLGenerator::IsObjectDataType(std::uint16_t) { return false; }
bool TDASQLGenerator::FieldIsNull(const TFieldDesc&, bool, TData&, const void*, const void*) { return true; }
bool TDASQLGenerator::FieldIsNull(const TFieldDesc&, bool) { return true; }
bool TDASQLGenerator::FieldModified(const TFieldDesc&, TData&, const void*, const void*) { return false; }
bool TDASQLGenerator::FieldModified(const TFieldDesc&) { return false; }
std::string TDASQLGenerator::GetActualFieldName(const TKxFieldDesc&, bool) { return {}; }
std::string TDASQLGenerator::GenerateIndexName(const std::string&) { return {}; }
int TDASQLGenerator::DecodeFieldIndex(const std::string&) { return -1; }
int TDASQLGenerator::MaxIdentLength() { return 2147483647; }
void TDASQLGenerator::AddParam(std::string&, const TKxFieldDesc&, TStatementType, TParamType, int, bool) {}
void TDASQLGenerator::AddFieldToInsertSQL(const TKxFieldDesc&, int) {}
void TDASQLGenerator::AddFieldToUpdateSQL(const TKxFieldDesc&, bool, int) {}
void TDASQLGenerator::AddFieldToRefreshSQL(const TKxFieldDesc&) {}
void TDASQLGenerator::AddFieldToCondition(std::string&, const TKxFieldDesc&, TStatementType, bool, int) {}
void TDASQLGenerator::GenerateInsertSQL(const TKeyAndDataFields&, bool, int) {}
void TDASQLGenerator::GenerateUpdateSQL(const TKeyAndDataFields&, bool, int) {}
void TDASQLGenerator::GenerateDeleteSQL(const TKeyAndDataFields&, bool, int) {}
void TDASQLGenerator::GenerateLockSQL(const TKeyAndDataFields&, int) {}
void TDASQLGenerator::GenerateRefreshSQLSelectPart(const TKeyAndDataFields&) {}
void TDASQLGenerator::GenerateRefreshSQLFromPart() {}
void TDASQLGenerator::GenerateRefreshSQL(const TKeyAndDataFields&, bool) {}
void TDASQLGenerator::GenerateRefreshQuickSQL(const TKeyAndDataFields&) {}
void TDASQLGenerator::GenerateRefreshCheckDeletedSQL(const TKeyAndDataFields&) {}
void TDASQLGenerator::GenerateConditions(std::string&, TStatementType, bool, const TKeyAndDataFields&, int) {}
TDAParamsInfo::TItemFactory TDASQLGenerator::GetParamInfoClass() { return &NewDAParamInfo; }
std::string TDASQLGenerator::GenerateSQLforUpdTable(TKxTableInfo&, const TKeyAndDataFields&, TStatementType, bool,
                                                    TDAParams*, int) {
  return {};
}
std::string TDASQLGenerator::GenerateSQL(TStatementType, bool, TDAParams*, int) { return {}; }
std::string TDASQLGenerator::GenerateTableSQL(const std::string&, const std::string&) { return {}; }
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

const void* TDASQLGenerator::OldRecBuf() { return FOldRecBuf; }
const void* TDASQLGenerator::NewRecBuf() { return FNewRecBuf; }
std::string TDASQLGenerator::TableName() const { return {}; }
bool TDASQLGenerator::QuoteNames() const { return false; }
bool TDASQLGenerator::IsFullRefresh() const { return false; }
TField* TDASQLGenerator::FieldOf(const TFieldDesc&) const { return nullptr; }
int TDASQLGenerator::FieldIndexOf(const TFieldDesc&) const { return -1; }

}  // namespace lumo
