#include <lumokit/components/DADataSetService.h>

#include <algorithm>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DAMetaData.h>
#include <lumokit/components/DASQLGenerator.h>
#include <lumokit/core/Format.h>

namespace lumo {

bool OldFieldsReadOnly = false;

namespace {

// The data fields of the data set (not calculated or lookup).
std::vector<TField*> DataFields(TCustomDADataSet& ds) {
  std::vector<TField*> fields;
  for (const auto& field : ds.Fields())
    if (field->FieldKind() == fkData) fields.push_back(field.get());
  return fields;
}

}  // namespace

TDADataSetService::TDADataSetService(TMemDataSet& owner) : TDataSetService(owner) {}

TDADataSetService::~TDADataSetService() = default;

std::unique_ptr<TDataSetUpdater> TDADataSetService::CreateDataSetUpdater() {
  return std::make_unique<TDADataSetUpdater>(*this);
}

void TDADataSetService::SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) {
  TDataSetService::SetDataSetUpdater(std::move(value));
}

void TDADataSetService::PreInitCursor() {
  if (FFieldsExtInited) return;
  InitUpdatingTableIdx();
  FIdentityField = DetectIdentityField();
  SetFieldsReadOnly();
  FFieldsExtInited = true;
}

void TDADataSetService::WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDataSetService::WriteFieldXMLAttributeType(field, desc, writer);
}

TCustomDADataSet& TDADataSetService::DADataSet() const {
  auto* ds = dynamic_cast<TCustomDADataSet*>(FDataSet);
  if (!ds) AssertionFailure(__FILE__, __LINE__, "The service does not belong to a SQL data set");
  return *ds;
}

TDADataSetUpdater& TDADataSetService::DAUpdater() {
  auto* updater = dynamic_cast<TDADataSetUpdater*>(&Updater());
  if (!updater) AssertionFailure(__FILE__, __LINE__, "The updater of a SQL data set is not a TDADataSetUpdater");
  return *updater;
}

TDASQLGenerator& TDADataSetService::SQLGenerator() {
  if (!FSQLGenerator) FSQLGenerator = CreateSQLGenerator();
  return *FSQLGenerator;
}

std::unique_ptr<TDASQLGenerator> TDADataSetService::CreateSQLGenerator() {
  return std::make_unique<TDASQLGenerator>(*this);
}

void TDADataSetService::SetSQLGenerator(std::unique_ptr<TDASQLGenerator> value) { FSQLGenerator = std::move(value); }

void TDADataSetService::InitCursor() {
  InitUpdatingTableFields();
  TCustomDADataSet& ds = DADataSet();
  for (TField* field : DataFields(ds)) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(ds.GetFieldDesc(*field));
    if (!desc) continue;
    if (ds.Options().FieldsOrigin()) SetFieldOrigin(*field, *desc);
    if (desc->IsAutoIncrement()) field->SetAutoGenerateValue(arAutoInc);
  }
  if (ds.DefaultFields()) {
    for (TField* field : DetectHiddenFields()) {
      field->SetVisible(false);
      field->SetReadOnly(true);
    }
  }
  FKeyGeneratorField = DetectKeyGeneratorField();
  if (FKeyGeneratorField) FKeyGeneratorField->SetRequired(false);
}

void TDADataSetService::InitUpdatingTableIdx() {
  TCustomDADataSet& ds = DADataSet();
  FUpdatingTableInfoIdx = -1;
  FUpdTableIsArtificial = false;
  TKxTablesInfo* tables = TablesInfo();
  if (!tables) return;
  const std::string name =
      ds.UpdatingTable().empty() ? std::string() : ds.SQLInfo()->NormalizeName(ds.UpdatingTable());
  if (tables->Count() > 0) {
    if (name.empty()) {
      FUpdatingTableInfoIdx = 0;
      return;
    }
    int index = tables->IndexByName(name);
    if (index < 0) index = tables->IndexByAlias(name);
    if (index < 0) throw EDAError(Format("Wrong UpdatingTable value - table %s is unknown", {name}));
    FUpdatingTableInfoIdx = index;
  } else if (!name.empty()) {
    tables->Add().SetTableName(name);
    FUpdatingTableInfoIdx = 0;
    FUpdTableIsArtificial = true;
  }
}

void TDADataSetService::InitUpdatingTableFields() {
  TCustomDADataSet& ds = DADataSet();
  FIsAnyFieldCanBeModified = false;
  for (const auto& field : ds.Fields())
    if (!field->ReadOnly()) FIsAnyFieldCanBeModified = true;
  TKxTablesInfo* tables = TablesInfo();
  // The framework's key fields are the ones the data set names; working out
  // the server's key here would cost metadata queries on every open.
  if (tables && tables->Count() > 0) ds.SetOldKeyFields(ds.KeyFields());
  if (ds.Options().DefaultValues()) FillFieldsDefaultValues();
}

void TDADataSetService::InitUpdatingTable() {
  TCustomDADataSet& ds = DADataSet();
  ClearCachedKeyFieldDescs();
  ClearCachedDataFieldDescs();
  InitUpdatingTableIdx();
  if (!ds.ReadOnly() && ds.Options().SetFieldsReadOnly() && ds.IRecordSet()) {
    for (TField* field : DataFields(ds)) field->SetReadOnly(true);
    TFieldDescs& descs = ds.IRecordSet()->Fields();
    for (int i = 0; i < descs.Count(); ++i)
      if (TFieldDesc* desc = descs[i]) desc->SetReadOnly(false);
    TFieldDescArray data;
    GetDataFieldDescs(data);
    for (TField* field : DataFields(ds)) {
      TFieldDesc* desc = ds.GetFieldDesc(*field);
      if (!desc) continue;
      TFieldDesc* top = desc;
      while (top->ParentField()) top = top->ParentField();
      for (TKxFieldDesc* d : data)
        if (d == desc || d == top) field->SetReadOnly(false);
    }
  }
  InitUpdatingTableFields();
}

void TDADataSetService::SetFieldOrigin(TField& field, TKxFieldDesc& fieldDesc) {
  if (fieldDesc.TableInfo())
    field.SetOrigin(DADataSet().SQLInfo()->NormalizeName(fieldDesc.TableInfo()->TableName(), false, true) + "." +
                    fieldDesc.ActualName());
  else
    field.SetOrigin(fieldDesc.ActualName());
}

void TDADataSetService::FillFieldsDefaultValues() {
  TCustomDADataSet& ds = DADataSet();
  for (TField* field : DataFields(ds))
    if (auto* desc = dynamic_cast<TKxFieldDesc*>(ds.GetFieldDesc(*field)))
      field->SetDefaultExpression(desc->DefaultExpr());
}

void TDADataSetService::SetFieldsReadOnly() {
  TCustomDADataSet& ds = DADataSet();
  const bool setReadOnly = ds.Options().SetFieldsReadOnly();
  if ((OldFieldsReadOnly && !setReadOnly) || !ds.IRecordSet()) return;
  TKxTableInfo* updating = UpdatingTableInfo();
  TFieldDescs& descs = ds.IRecordSet()->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(descs[i]);
    if (!desc || desc->FieldDescKind() != fdkData) continue;
    const bool own = updating && IsUpdatingTableField(*desc);
    if (setReadOnly) {
      if (!own) desc->SetReadOnly(true);
    } else {
      desc->SetReadOnly(false);
      if (!own) desc->SetRequired(false);
    }
  }
}

bool TDADataSetService::DetectCanModify() {
  TCustomDADataSet& ds = DADataSet();
  if (ds.ReadOnly() || ds.UniDirectional()) return false;
  return ds.LocalUpdate() || (ds.CachedUpdates() && ds.OnUpdateRecord) || ds.UpdateObject() != nullptr;
}

void TDADataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool) {
  keyFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  if (!ds.KeyFields().empty()) {
    FillKeyFieldDescs(keyFieldDescs, ds.KeyFields(), true);
  } else if (FIdentityField) {
    keyFieldDescs.push_back(FIdentityField);
  } else if (TKxTableInfo* table = UpdatingTableInfo()) {
    FillKeyFieldDescs(keyFieldDescs, GetDBKeyList(table->TableNameFull(), ""), false);
  }
}

void TDADataSetService::FillDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllKeyFields) {
  dataFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  if (!ds.IRecordSet()) return;
  auto qualifies = [&](const TKxFieldDesc& desc) {
    return !desc.HasParent() && desc.FieldDescKind() == fdkData &&
           (&desc != FIdentityField || IdentityFieldIsData()) &&
           (forceUseAllKeyFields || IsUpdatingTableField(desc)) && !desc.ReadOnly();
  };
  TFieldDescs& descs = ds.IRecordSet()->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(descs[i]);
    if (!desc) continue;
    if (ds.DefaultFields()) {
      if (qualifies(*desc)) dataFieldDescs.push_back(desc);
    } else if (desc->HasParent()) {
      TFieldDesc* top = desc;
      while (top->ParentField()) top = top->ParentField();
      auto* parent = dynamic_cast<TKxFieldDesc*>(top);
      if (parent && ds.FindField(desc->ActualName()) && qualifies(*parent) &&
          (dataFieldDescs.empty() || dataFieldDescs.back() != parent))
        dataFieldDescs.push_back(parent);
    } else if (qualifies(*desc) && (desc->DataType() == dtTable || ds.FindField(desc->Name()))) {
      dataFieldDescs.push_back(desc);
    }
  }
}

void TDADataSetService::ClearFieldDescRefs() {
  FFieldsExtInited = false;
  FUpdatingTableInfoIdx = -1;
  FUpdTableIsArtificial = false;
  FIdentityField = nullptr;
  FKeyGeneratorField = nullptr;
  ClearCachedKeyFieldDescs();
  ClearCachedDataFieldDescs();
  if (FSQLGenerator) FSQLGenerator->Clear();
}

std::string TDADataSetService::GetDBKeyList(const std::string& tableName, const std::string& indexName) {
  TCustomDADataSet& ds = DADataSet();
  TCustomDAConnection* connection = ds.UsedConnection();
  if (!connection) return {};
  TExtTableInfo info;
  ds.SQLInfo()->SplitObjectName(tableName, info);
  const std::string catalog = ds.SQLInfo()->UnQuote(info.Catalog);
  std::string schema = ds.SQLInfo()->UnQuote(info.Schema);
  const std::string table = ds.SQLInfo()->UnQuote(info.Table);
  if (schema.empty()) schema = GetCurrentSchema();
  // A value is one restriction line: a line break in a name would add
  // restrictions of its own.
  for (const std::string* value : {&catalog, static_cast<const std::string*>(&schema), &table, &indexName})
    if (value->find_first_of("\r\n") != std::string::npos) return {};
  const std::string restrictions = "table_catalog=" + catalog + "\r\ntable_schema=" + schema + "\r\ntable_name=" +
                                   table + "\r\nindex_name=" + indexName + "\r\nunique=1";

  TDAMetaData metaData;
  metaData.SetConnection(connection);
  metaData.SetTransaction(ds.UsedTransaction());
  // The unique indexes by name: a provider may list every index's columns
  // whatever the unique restriction says.
  metaData.SetMetaDataKind("indexes");
  metaData.Restrictions().SetText(restrictions);
  metaData.Open();
  std::vector<std::string> unique;
  for (; !metaData.Eof(); metaData.Next()) {
    const std::string name = metaData.FieldByName("INDEX_NAME").AsString();
    if (metaData.FieldByName("UNIQUE").AsInteger() == 1 && (indexName.empty() || name == indexName))
      unique.push_back(name);
  }
  metaData.Close();
  if (unique.empty()) return {};

  metaData.SetMetaDataKind("indexcolumns");
  metaData.Restrictions().SetText(restrictions);
  metaData.Open();
  std::string result;
  bool found = false;
  std::string foundName, foundSchema;
  for (; !metaData.Eof(); metaData.Next()) {
    const std::string name = metaData.FieldByName("INDEX_NAME").AsString();
    const std::string indexSchema = metaData.FieldByName("INDEX_SCHEMA").AsString();
    if (found && (name != foundName || indexSchema != foundSchema)) break;
    if (!found) {
      if (std::find(unique.begin(), unique.end(), name) == unique.end()) continue;
      found = true;
      foundName = name;
      foundSchema = indexSchema;
    }
    result += (result.empty() ? "" : ";") + metaData.FieldByName("COLUMN_NAME").AsString();
  }
  return result;
}

bool TDADataSetService::OpenNext() { throw EDAError("Operation is not supported by the database"); }

bool TDADataSetService::UseAllFieldsFlag(bool forceUseAllFields) {
  return forceUseAllFields && CanUseAllKeyFields();
}

void TDADataSetService::CheckFieldsExt() {
  if (!FFieldsExtInited && DADataSet().Active() && DADataSet().IRecordSet()) PreInitCursor();
}

void TDADataSetService::CachedFieldDescs(TFieldDescArray (&cache)[2], bool (&cached)[2], bool forceUseAllFields,
                                         TFill fill, TFieldDescArray& result) {
  CheckFieldsExt();
  const int slot = UseAllFieldsFlag(forceUseAllFields) ? 1 : 0;
  if (!cached[slot]) {
    (this->*fill)(cache[slot], slot == 1);
    cached[slot] = true;
  }
  result = cache[slot];
}

void TDADataSetService::GetKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool forceUseAllFields) {
  CachedFieldDescs(FCachedKeyFieldDescs, FKeyFieldDescsIsCached, forceUseAllFields,
                   &TDADataSetService::FillKeyFieldDescs, keyFieldDescs);
}

void TDADataSetService::GetDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllFields) {
  CachedFieldDescs(FCachedDataFieldDescs, FDataFieldDescsIsCached, forceUseAllFields,
                   &TDADataSetService::FillDataFieldDescs, dataFieldDescs);
}

void TDADataSetService::GetKeyAndDataFields(TKeyAndDataFields& keyAndDataFields, bool forceUseAllFields) {
  GetKeyFieldDescs(keyAndDataFields.KeyFieldDescs, forceUseAllFields);
  GetDataFieldDescs(keyAndDataFields.DataFieldDescs, forceUseAllFields);
}

void TDADataSetService::ClearCachedKeyFieldDescs() noexcept {
  for (int i = 0; i < 2; ++i) {
    FCachedKeyFieldDescs[i].clear();
    FKeyFieldDescsIsCached[i] = false;
  }
}

void TDADataSetService::ClearCachedDataFieldDescs() noexcept {
  for (int i = 0; i < 2; ++i) {
    FCachedDataFieldDescs[i].clear();
    FDataFieldDescsIsCached[i] = false;
  }
}

std::string TDADataSetService::QuoteName(const std::string& name) {
  TSQLInfo& info = *DADataSet().SQLInfo();
  if (DADataSet().Options().QuoteNames() || info.QuotesNeeded(name)) return info.Quote(name);
  return name;
}

void TDADataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, const std::string& keyFields,
                                          bool checkKeyFields) {
  keyFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  if (keyFields.empty() || !ds.IRecordSet()) return;
  for (const std::string& text : SplitFieldNames(keyFields)) {
    const std::string name = ds.SQLInfo()->NormalizeName(text, false, true);
    if (name.empty()) continue;
    auto* desc = dynamic_cast<TKxFieldDesc*>(ds.IRecordSet()->FindField(name));
    if (!desc) {
      keyFieldDescs.clear();
      if (checkKeyFields) throw EDAError(Format("%s: Key field '%s' not found", {ds.Name(), name}));
      return;
    }
    keyFieldDescs.push_back(desc);
  }
}

TKxTableInfo* TDADataSetService::UpdatingTableInfo() const {
  TKxTablesInfo* tables = TablesInfo();
  if (FUpdatingTableInfoIdx < 0 || !tables || FUpdatingTableInfoIdx >= tables->Count()) return nullptr;
  return &tables->Items(FUpdatingTableInfoIdx);
}

TKxTablesInfo* TDADataSetService::TablesInfo() const { return DADataSet().TablesInfo(); }

bool TDADataSetService::IsUpdatingTableField(const TKxFieldDesc& desc) const {
  TKxTableInfo* updating = UpdatingTableInfo();
  if (!updating) return false;
  // An artificial entry stands for the table of columns that name none.
  return desc.TableInfo() == updating || (FUpdTableIsArtificial && !desc.TableInfo());
}

}  // namespace lumo
