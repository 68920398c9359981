#include <lumokit/access/KxAccessMetaData.h>

#include <algorithm>
#include <initializer_list>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Collation.h>

namespace lumo {

namespace {

std::string TrimLower(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return AsciiLowerCase(s.substr(b, e - b));
}

struct TFieldSpec {
  const char* Name;
  std::uint16_t DataType;
  int Length;
};

}  // namespace

// ---- TDataHelper ------------------------------------------------------------------------------

void TDataHelper::AllocBuffer() { FRecBuf = FData->AllocRecBuf(); }

void TDataHelper::FreeBuffer() { FRecBuf.reset(); }

void TDataHelper::InitRecord() {
  if (!FRecBuf) AllocBuffer();
  FData->InitRecord(FRecBuf.get());
}

void TDataHelper::AppendRecord() { FData->AppendRecord(FRecBuf.get()); }

bool TDataHelper::NextRecord() {
  if (!FRecBuf) AllocBuffer();
  FData->GetNextRecord(FRecBuf.get());
  return !FData->GetEOF();
}

Variant TDataHelper::GetFieldValue(int fieldNo) { return FData->GetFieldAsVariant(fieldNo, FRecBuf.get()); }

void TDataHelper::SetFieldValue(int fieldNo, const Variant& value) {
  FData->PutFieldAsVariant(fieldNo, FRecBuf.get(), value);
}

// ---- TKxMetaData ------------------------------------------------------------------------------

TKxMetaData::TKxMetaData() : FMemData(std::make_unique<TMemData>()) {
  FMemData->SetAutoInitFields(false);
  FMemDataHelper = std::make_unique<TDataHelper>(*FMemData);
}

TKxMetaData::~TKxMetaData() = default;

TData& TKxMetaData::GetMetaData(TKxConnection* connection, TKxTransaction* transaction,
                                const std::string& metaDataKind, TStrings& restrictions) {
  if (!FRecordSet) {
    FRecordSet = CreateRecordSet();
    FRecordSetHelper = std::make_unique<TDataHelper>(*FRecordSet);
  }
  FRecordSetHelper->FreeBuffer();  // the next query may lay out other fields
  FRecordSet->Close();
  FRecordSet->SetConnection(connection);
  FRecordSet->SetTransaction(transaction);
  ResetResult();
  return InternalGetMetaData(TrimLower(metaDataKind), restrictions);
}

void TKxMetaData::GetMetaDataKindsList(TStrings& list) {
  list.Clear();
  InternalGetMetaDataKindsList(list);
}

void TKxMetaData::GetRestrictionsList(TStrings& list, const std::string& metaDataKind) {
  list.Clear();
  InternalGetRestrictionsList(list, TrimLower(metaDataKind));
}

void TKxMetaData::RaiseUnsupported() { throw EMetaDataError("Unsupported metadata kind"); }

TData& TKxMetaData::InternalGetMetaData(const std::string& kind, TStrings& restrictions) {
  if (kind == "metadatakinds") return GetMetaDataKinds();
  if (kind == "restrictions") return GetRestrictions(restrictions);
  if (kind == "tables") return GetTables(restrictions);
  if (kind == "columns") return GetColumns(restrictions);
  if (kind == "procedures") return GetProcedures(restrictions);
  if (kind == "procedureparameters") return GetProcedureParameters(restrictions);
  if (kind == "indexes") return GetIndexes(restrictions);
  if (kind == "indexcolumns") return GetIndexColumns(restrictions);
  if (kind == "constraints") return GetConstraints(restrictions);
  if (kind == "databases") return GetDatabases(restrictions);
  if (kind == "datatypes") return GetDataTypes(restrictions);
  if (kind == "users") return GetUsers(restrictions);
  if (kind == "roles") return GetRoles(restrictions);
  if (kind == "userdefinedtypes") return GetUDTs(restrictions);
  if (kind == "packages") return GetPackages(restrictions);
  RaiseUnsupported();
}

void TKxMetaData::ResetResult() {
  FMemDataHelper->FreeBuffer();
  FMemData->Close();
  FMemData->ClearFields();
}

void TKxMetaData::AddField(const std::string& name, std::uint16_t dataType, int length) {
  std::unique_ptr<TFieldDesc> d = FMemData->GetFieldDescType();
  d->SetName(name);
  d->SetActualName(name);
  d->SetDataType(dataType);
  d->SetLength(static_cast<std::uint16_t>(length));
  if (dataType == dtString) d->SetSize(length + 1);
  FMemData->Fields().Add(std::move(d));
}

void TKxMetaData::OpenResult() {
  FMemData->InitFields();
  FMemData->Open();
  FMemDataHelper->AllocBuffer();
}

namespace {

void AddFields(TKxMetaData& md, void (TKxMetaData::*add)(const std::string&, std::uint16_t, int),
               std::initializer_list<TFieldSpec> specs) {
  for (const TFieldSpec& s : specs) (md.*add)(s.Name, s.DataType, s.Length);
}

}  // namespace

void TKxMetaData::CreateMetaDataKindsFields() { AddField("METADATA_NAME", dtString, 50); }

void TKxMetaData::InternalGetMetaDataKindsList(TStrings& list) {
  for (const char* kind : {"MetaDataKinds", "Restrictions", "Tables", "Columns", "Procedures", "ProcedureParameters",
                           "Indexes", "IndexColumns", "Constraints"})
    list.Add(kind);
}

TData& TKxMetaData::GetMetaDataKinds() {
  CreateMetaDataKindsFields();
  OpenResult();
  TStringList kinds;
  InternalGetMetaDataKindsList(kinds);
  for (int i = 0; i < kinds.Count(); ++i) {
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(1, kinds[i]);
    FMemDataHelper->AppendRecord();
  }
  FMemData->SetToBegin();
  return *FMemData;
}

void TKxMetaData::CreateRestrictionsFields() {
  AddField("METADATA_NAME", dtString, 50);
  AddField("RESTRICTION_NAME", dtString, 50);
}

void TKxMetaData::InternalGetRestrictionsList(TStrings& list, const std::string& kind) {
  std::vector<const char*> names;
  if (kind == "restrictions")
    names = {"METADATA_NAME"};
  else if (kind == "tables")
    names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"};
  else if (kind == "columns")
    names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "COLUMN_NAME"};
  else if (kind == "procedures")
    names = {"PROCEDURE_CATALOG", "PROCEDURE_SCHEMA", "PROCEDURE_NAME", "PROCEDURE_TYPE"};
  else if (kind == "procedureparameters")
    names = {"PROCEDURE_CATALOG", "PROCEDURE_SCHEMA", "PROCEDURE_NAME", "PARAMETER_NAME"};
  else if (kind == "indexes" || kind == "indexcolumns")
    names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "INDEX_NAME"};
  else if (kind == "constraints")
    names = {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "CONSTRAINT_NAME", "CONSTRAINT_TYPE"};
  for (const char* n : names) list.Add(n);
}

TData& TKxMetaData::GetRestrictions(TStrings& restrictions) {
  CreateRestrictionsFields();
  OpenResult();
  std::string wanted = TrimLower(restrictions.Values("METADATA_NAME"));
  if (wanted.empty()) wanted = TrimLower(restrictions.Values("METAINFO_NAME"));
  TStringList kinds;
  InternalGetMetaDataKindsList(kinds);
  for (int i = 0; i < kinds.Count(); ++i) {
    const std::string kind = TrimLower(kinds[i]);
    if (!wanted.empty() && kind != wanted) continue;
    TStringList names;
    InternalGetRestrictionsList(names, kind);
    for (int j = 0; j < names.Count(); ++j) {
      FMemDataHelper->InitRecord();
      FMemDataHelper->SetFieldValue(1, kinds[i]);
      FMemDataHelper->SetFieldValue(2, names[j]);
      FMemDataHelper->AppendRecord();
    }
  }
  FMemData->SetToBegin();
  return *FMemData;
}

void TKxMetaData::CreateTablesFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"TABLE_CATALOG", dtString, 100}, {"TABLE_SCHEMA", dtString, 100}, {"TABLE_NAME", dtString, 100},
             {"TABLE_TYPE", dtString, 50}});
}

void TKxMetaData::CreateColumnsFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"TABLE_CATALOG", dtString, 100},
             {"TABLE_SCHEMA", dtString, 100},
             {"TABLE_NAME", dtString, 100},
             {"COLUMN_NAME", dtString, 100},
             {"POSITION", dtInt32, 0},
             {"DATA_TYPE", dtString, 50},
             {"DATA_LENGTH", dtInt32, 0},
             {"DATA_PRECISION", dtInt32, 0},
             {"DATA_SCALE", dtInt32, 0},
             {"NULLABLE", dtInt32, 0},
             {"DEFAULT_VALUE", dtMemo, 0}});
}

void TKxMetaData::CreateProceduresFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"PROCEDURE_CATALOG", dtString, 100}, {"PROCEDURE_SCHEMA", dtString, 100},
             {"PROCEDURE_NAME", dtString, 100}, {"PROCEDURE_TYPE", dtString, 50}});
}

void TKxMetaData::CreateProcedureParametersFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"PROCEDURE_CATALOG", dtString, 100},
             {"PROCEDURE_SCHEMA", dtString, 100},
             {"PROCEDURE_NAME", dtString, 100},
             {"PARAMETER_NAME", dtString, 100},
             {"POSITION", dtInt32, 0},
             {"DIRECTION", dtString, 10},
             {"DATA_TYPE", dtString, 50},
             {"DATA_LENGTH", dtInt32, 0},
             {"DATA_PRECISION", dtInt32, 0},
             {"DATA_SCALE", dtInt32, 0}});
}

void TKxMetaData::CreateIndexesFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"TABLE_CATALOG", dtString, 100},
             {"TABLE_SCHEMA", dtString, 100},
             {"TABLE_NAME", dtString, 100},
             {"INDEX_CATALOG", dtString, 100},
             {"INDEX_SCHEMA", dtString, 100},
             {"INDEX_NAME", dtString, 100},
             {"UNIQUE", dtInt32, 0}});
}

void TKxMetaData::CreateIndexColumnsFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"TABLE_CATALOG", dtString, 100},
             {"TABLE_SCHEMA", dtString, 100},
             {"TABLE_NAME", dtString, 100},
             {"INDEX_CATALOG", dtString, 100},
             {"INDEX_SCHEMA", dtString, 100},
             {"INDEX_NAME", dtString, 100},
             {"COLUMN_NAME", dtString, 100},
             {"COLUMN_POSITION", dtInt32, 0},
             {"SORT_ORDER", dtString, 4}});
}

void TKxMetaData::CreateConstraintsFields() {
  AddFields(*this, &TKxMetaData::AddField,
            {{"TABLE_CATALOG", dtString, 100},
             {"TABLE_SCHEMA", dtString, 100},
             {"TABLE_NAME", dtString, 100},
             {"CONSTRAINT_NAME", dtString, 100},
             {"CONSTRAINT_TYPE", dtString, 100},
             {"INDEX_CATALOG", dtString, 100},
             {"INDEX_SCHEMA", dtString, 100},
             {"INDEX_NAME", dtString, 100}});
}

void TKxMetaData::CreateDatabasesFields() { AddField("DATABASE_NAME", dtString, 100); }

TData& TKxMetaData::GetTables(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetColumns(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetProcedures(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetProcedureParameters(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetIndexes(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetIndexColumns(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetConstraints(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetDatabases(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetDataTypes(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetUsers(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetRoles(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetUDTs(TStrings&) { RaiseUnsupported(); }
TData& TKxMetaData::GetPackages(TStrings&) { RaiseUnsupported(); }

TSQLInfo& TKxMetaData::SQLInfo() {
  LUMO_ASSERT(FRecordSet != nullptr);
  return FRecordSet->GetCommand().GetSQLInfo();
}

void TKxMetaData::AddWhere(std::string& where, const std::string& column, const std::string& value, bool addNull) {
  if (value.empty() && !addNull) return;
  if (!where.empty()) where += " AND ";
  where += column;
  if (value.empty()) {
    where += " IS NULL";
    return;
  }
  TSQLInfo& info = SQLInfo();
  where += ' ';
  where += FOperator;
  where += ' ';
  where += info.ToStringConst(info.NormalizeName(value, false, true));
}

void TKxMetaData::ParseTypes(const std::string& text, TStrings& list) {
  std::vector<std::string> names;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    std::string_view piece = std::string_view(text).substr(begin, comma == std::string::npos ? std::string::npos
                                                                                            : comma - begin);
    std::size_t b = 0, e = piece.size();
    while (b < e && static_cast<unsigned char>(piece[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(piece[e - 1]) <= ' ') --e;
    names.push_back(AnsiUpperCase(piece.substr(b, e - b)));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  list.Assign(names);
}

void TKxMetaData::CopyRecord(const std::vector<int>& sourceFieldNos, const std::vector<int>& destFieldNos) {
  LUMO_ASSERT(sourceFieldNos.size() == destFieldNos.size());
  for (std::size_t i = 0; i < sourceFieldNos.size(); ++i)
    FMemDataHelper->SetFieldValue(destFieldNos[i], FRecordSetHelper->GetFieldValue(sourceFieldNos[i]));
}

}  // namespace lumo
