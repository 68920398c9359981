#include <lumokit/mysql/provider/MyClassesMetaData.h>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>

namespace lumo {

namespace {

const char* const kTablesSQL =
    "SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES "
    "%s ORDER BY TABLE_SCHEMA, TABLE_NAME ";
const char* const kColumnsSQL =
    "SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, ORDINAL_POSITION POSITION, "
    "DATA_TYPE, CHARACTER_MAXIMUM_LENGTH DATA_LENGTH, NUMERIC_PRECISION DATA_PRECISION, NUMERIC_SCALE DATA_SCALE, "
    "(case IS_NULLABLE when 'YES' then 1 else 0 end) NULLABLE, COLUMN_DEFAULT DEFAULT_VALUE FROM "
    "information_schema.COLUMNS %s ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION ";
const char* const kProceduresSQL =
    "SELECT cast('' as char(1)) PROCEDURE_CATALOG, ROUTINE_SCHEMA PROCEDURE_SCHEMA, ROUTINE_NAME PROCEDURE_NAME, "
    "ROUTINE_TYPE PROCEDURE_TYPE FROM information_schema.ROUTINES %s ORDER BY ROUTINE_SCHEMA, ROUTINE_NAME ";
const char* const kConstraintsSQL =
    "SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, CONSTRAINT_NAME, CONSTRAINT_TYPE, "
    "cast('' as char(1)) INDEX_CATALOG, cast('' as char(1)) INDEX_OWNER, cast('' as char(1)) INDEX_NAME FROM "
    "information_schema.table_constraints %s ORDER BY TABLE_SCHEMA, TABLE_NAME, CONSTRAINT_NAME";

std::string DirectionText(TParamDirection direction) {
  switch (direction) {
    case pdInput:
      return "IN";
    case pdInputOutput:
      return "IN/OUT";
    default:
      return "OUT";
  }
}

}  // namespace

TMySQLMetaData::TMySQLMetaData() = default;

TMySQLMetaData::~TMySQLMetaData() = default;

std::unique_ptr<TKxRecordSet> TMySQLMetaData::CreateRecordSet() {
  auto rs = std::make_unique<TMySQLRecordset>();
  rs->SetProp(prFetchAll, true);
  return rs;
}

TMySQLRecordset& TMySQLMetaData::RecordSet() {
  LUMO_ASSERT(FRecordSet != nullptr);
  return static_cast<TMySQLRecordset&>(*FRecordSet);
}

TMySQLConnection& TMySQLMetaData::Connection() {
  TMySQLConnection* c = RecordSet().Command().GetConnection();
  if (!c) throw EMetaDataError("A metadata request needs a MySQL connection");
  return *c;
}

// ---- helpers ------------------------------------------------------------------------------------

void TMySQLMetaData::OpenQuery(const std::string& sql) {
  TMySQLRecordset& rs = RecordSet();
  FRecordSetHelper->FreeBuffer();
  rs.Close();
  rs.SetSQL(sql);
  rs.Open();
  rs.SetToBegin();
}

std::string TMySQLMetaData::PutWhere(const std::string& sql, const std::string& where) {
  const std::size_t at = sql.find("%s");
  LUMO_ASSERT(at != std::string::npos);
  return sql.substr(0, at) + (where.empty() ? std::string() : "WHERE " + where) + sql.substr(at + 2);
}

std::string TMySQLMetaData::Restriction(TStrings& restrictions, const char* name) {
  return std::string(TrimView(restrictions.Values(name)));
}

void TMySQLMetaData::Require(const std::string& value, const char* name) {
  if (value.empty()) throw EMetaDataError(Format("%s restriction must be set", {name}));
}

void TMySQLMetaData::AddSchema(std::string& where, const std::string& column, const std::string& schema,
                               bool local) {
  if (!local) {
    AddWhere(where, column, schema);
    return;
  }
  if (!where.empty()) where += " AND ";
  where += column + " = DATABASE()";
}

std::string TMySQLMetaData::GetTypesForSQL(const std::string& types) {
  TStringList names;
  ParseTypes(types, names);
  std::string out;
  for (int i = 0; i < names.Count(); ++i) {
    if (names[i].empty()) continue;
    if (!out.empty()) out += ", ";
    out += SQLInfo().ToStringConst(names[i]);
  }
  return out;
}

void TMySQLMetaData::AddTypes(std::string& where, const std::string& column, const std::string& types) {
  const std::string list = GetTypesForSQL(types);
  if (list.empty()) return;
  if (!where.empty()) where += " AND ";
  where += column + " IN (" + list + ")";
}

std::string TMySQLMetaData::Unquoted(const std::string& name) const {
  return MySQLInfo().NormalizeName(name, false, true);
}

std::string TMySQLMetaData::ShownSchema(const std::string& schema) {
  return schema.empty() ? Connection().Database() : Unquoted(schema);
}

namespace {
// " FROM `schema`" for a non-empty schema restriction.
std::string FromSchema(const std::string& schema) {
  if (schema.empty()) return {};
  return " FROM " + TMySQLInfo::QuoteIdentifier(MySQLInfo().UnQuote(schema));
}
}  // namespace

// ---- kinds --------------------------------------------------------------------------------------

TData& TMySQLMetaData::GetTables(TStrings& restrictions) {
  const std::string schema = Restriction(restrictions, "TABLE_SCHEMA");
  if (Connection().ServerPrimaryVer() >= 5) {
    std::string where;
    AddSchema(where, "TABLE_SCHEMA", schema, AsciiUpperCase(Restriction(restrictions, "SCOPE")) == "LOCAL");
    AddWhere(where, "TABLE_NAME", Restriction(restrictions, "TABLE_NAME"));
    AddTypes(where, "TABLE_TYPE", Restriction(restrictions, "TABLE_TYPE"));
    OpenQuery(PutWhere(kTablesSQL, where));
    return *FRecordSet;
  }
  CreateTablesFields();
  OpenResult();
  if (!Connection().Database().empty()) CopyTablesData(schema);
  FMemData->SetToBegin();
  return *FMemData;
}

void TMySQLMetaData::CopyTablesData(const std::string& schema) {
  OpenQuery("SHOW TABLES" + FromSchema(schema));
  const std::string shown = ShownSchema(schema);
  while (FRecordSetHelper->NextRecord()) {
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(2, shown);
    CopyRecord({1}, {3});
    FMemDataHelper->AppendRecord();
  }
  RecordSet().Close();
}

TData& TMySQLMetaData::GetColumns(TStrings& restrictions) {
  const std::string schema = Restriction(restrictions, "TABLE_SCHEMA");
  const std::string table = Restriction(restrictions, "TABLE_NAME");
  if (Connection().ServerPrimaryVer() >= 5) {
    std::string where;
    AddSchema(where, "TABLE_SCHEMA", schema, Restriction(restrictions, "SCOPE") == "LOCAL");
    AddWhere(where, "TABLE_NAME", table);
    AddWhere(where, "COLUMN_NAME", Restriction(restrictions, "COLUMN_NAME"));
    OpenQuery(PutWhere(kColumnsSQL, where));
    return *FRecordSet;
  }
  Require(table, "TABLE_NAME");
  CreateColumnsFields();
  OpenResult();
  CopyColumnsData(schema, table);
  FMemData->SetToBegin();
  return *FMemData;
}

void TMySQLMetaData::CopyColumnsData(const std::string& schema, const std::string& table) {
  OpenQuery("SHOW COLUMNS FROM " + MySQLInfo().QuoteObjectName(table) + FromSchema(schema));
  const std::string shown = ShownSchema(schema);
  const std::string tableName = Unquoted(table);
  int position = 0;
  while (FRecordSetHelper->NextRecord()) {
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(2, shown);
    FMemDataHelper->SetFieldValue(3, tableName);
    FMemDataHelper->SetFieldValue(5, static_cast<std::int32_t>(++position));
    CopyRecord({1, 2, 5}, {4, 6, 11});
    const Variant isNull = FRecordSetHelper->GetFieldValue(3);
    const std::string nullText = isNull.IsNull() ? std::string() : AsciiUpperCase(isNull.AsString());
    FMemDataHelper->SetFieldValue(10, static_cast<std::int32_t>(nullText == "Y" || nullText == "YES" ? 1 : 0));
    FMemDataHelper->AppendRecord();
  }
  RecordSet().Close();
}

TData& TMySQLMetaData::GetProcedures(TStrings& restrictions) {
  if (Connection().ServerPrimaryVer() >= 5) {
    std::string where;
    AddSchema(where, "ROUTINE_SCHEMA", Restriction(restrictions, "PROCEDURE_SCHEMA"),
              AsciiUpperCase(Restriction(restrictions, "SCOPE")) == "LOCAL");
    AddWhere(where, "ROUTINE_NAME", Restriction(restrictions, "PROCEDURE_NAME"));
    AddTypes(where, "ROUTINE_TYPE", Restriction(restrictions, "PROCEDURE_TYPE"));
    OpenQuery(PutWhere(kProceduresSQL, where));
    return *FRecordSet;
  }
  CreateProceduresFields();
  OpenResult();
  return *FMemData;
}

TData& TMySQLMetaData::GetProcedureParameters(TStrings& restrictions) {
  CreateProcedureParametersFields();
  OpenResult();
  if (Connection().ServerPrimaryVer() < 5) return *FMemData;
  const std::string schema = Restriction(restrictions, "PROCEDURE_SCHEMA");
  const std::string name = Restriction(restrictions, "PROCEDURE_NAME");
  Require(name, "PROCEDURE_NAME");

  // An unqualified name is looked up in the schema asked for.
  std::string database, object, lookup = name;
  MySQLInfo().SplitObjectName(name, database, object);
  if (database.empty() && !schema.empty())
    lookup = TMySQLInfo::QuoteIdentifier(MySQLInfo().UnQuote(schema)) + "." + name;
  bool isFunction = false;
  std::string paramList, returns;
  TMySQLCommand& command = RecordSet().Command();
  command.GetSPParams(lookup, isFunction, paramList, returns);

  const std::string shownSchema = schema.empty() ? (database.empty() ? Connection().Database() : Unquoted(database))
                                                 : Unquoted(schema);
  const std::string shownName = Unquoted(object);
  auto add = [&](const TMySPParam& p, const std::string& paramName, int position, TParamDirection direction) {
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(2, shownSchema);
    FMemDataHelper->SetFieldValue(3, shownName);
    FMemDataHelper->SetFieldValue(4, paramName);
    FMemDataHelper->SetFieldValue(5, static_cast<std::int32_t>(position));
    FMemDataHelper->SetFieldValue(6, DirectionText(direction));
    FMemDataHelper->SetFieldValue(7, p.TypeText);
    if (p.Size > 0) FMemDataHelper->SetFieldValue(8, p.Size);
    FMemDataHelper->AppendRecord();
  };
  if (isFunction) {
    const std::vector<TMySPParam> result = TMySQLCommand::ParseParamList("Result " + returns);
    if (!result.empty()) add(result[0], "", 0, pdResult);
  }
  int position = 0;
  for (const TMySPParam& p : TMySQLCommand::ParseParamList(paramList)) add(p, p.Name, ++position, p.Direction);
  FMemData->SetToBegin();
  return *FMemData;
}

std::string TMySQLMetaData::GetIndex(TStrings& restrictions) {
  const std::string table = Restriction(restrictions, "TABLE_NAME");
  Require(table, "TABLE_NAME");
  const std::string schema = Restriction(restrictions, "TABLE_SCHEMA");
  OpenQuery("SHOW INDEX FROM " + MySQLInfo().QuoteObjectName(table) + FromSchema(schema));
  return ShownSchema(schema);
}

TData& TMySQLMetaData::GetIndexes(TStrings& restrictions) {
  const std::string schema = GetIndex(restrictions);
  CreateIndexesFields();
  OpenResult();
  CopyIndexesData(schema);
  FMemData->SetToBegin();
  return *FMemData;
}

void TMySQLMetaData::CopyIndexesData(const std::string& schema) {
  std::string previous;
  bool first = true;
  while (FRecordSetHelper->NextRecord()) {
    const std::string key = FRecordSetHelper->GetFieldValue(3).AsString();
    if (!first && key == previous) continue;
    first = false;
    previous = key;
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(2, schema);
    FMemDataHelper->SetFieldValue(5, schema);
    CopyRecord({1, 3}, {3, 6});
    const bool unique = FRecordSetHelper->GetFieldValue(2).AsInt32() == 0;
    FMemDataHelper->SetFieldValue(7, static_cast<std::int32_t>(unique ? 1 : 0));
    FMemDataHelper->AppendRecord();
  }
  RecordSet().Close();
}

TData& TMySQLMetaData::GetIndexColumns(TStrings& restrictions) {
  const std::string schema = GetIndex(restrictions);
  CreateIndexColumnsFields();
  OpenResult();
  CopyIndexColumnsData(schema);
  FMemData->SetToBegin();
  return *FMemData;
}

void TMySQLMetaData::CopyIndexColumnsData(const std::string& schema) {
  while (FRecordSetHelper->NextRecord()) {
    FMemDataHelper->InitRecord();
    FMemDataHelper->SetFieldValue(2, schema);
    FMemDataHelper->SetFieldValue(5, schema);
    CopyRecord({1, 3, 5, 4}, {3, 6, 7, 8});
    const Variant collation = FRecordSetHelper->GetFieldValue(6);
    if (!collation.IsNull()) {
      const std::string order = collation.AsString();
      FMemDataHelper->SetFieldValue(9, order == "A" ? std::string("ASC") : order == "D" ? std::string("DESC") : order);
    }
    FMemDataHelper->AppendRecord();
  }
  RecordSet().Close();
}

TData& TMySQLMetaData::GetConstraints(TStrings& restrictions) {
  if (Connection().ServerPrimaryVer() >= 5) {
    std::string where;
    AddWhere(where, "TABLE_SCHEMA", Restriction(restrictions, "TABLE_SCHEMA"));
    AddWhere(where, "TABLE_NAME", Restriction(restrictions, "TABLE_NAME"));
    AddWhere(where, "CONSTRAINT_NAME", Restriction(restrictions, "CONSTRAINT_NAME"));
    AddTypes(where, "CONSTRAINT_TYPE", Restriction(restrictions, "CONSTRAINT_TYPE"));
    OpenQuery(PutWhere(kConstraintsSQL, where));
    return *FRecordSet;
  }
  CreateConstraintsFields();
  OpenResult();
  return *FMemData;
}

TData& TMySQLMetaData::GetDatabases(TStrings&) {
  CreateDatabasesFields();
  OpenResult();
  CopyDatabasesData();
  FMemData->SetToBegin();
  return *FMemData;
}

void TMySQLMetaData::CopyDatabasesData() {
  OpenQuery("SHOW DATABASES");
  while (FRecordSetHelper->NextRecord()) {
    FMemDataHelper->InitRecord();
    CopyRecord({1}, {1});
    FMemDataHelper->AppendRecord();
  }
  RecordSet().Close();
}

}  // namespace lumo
