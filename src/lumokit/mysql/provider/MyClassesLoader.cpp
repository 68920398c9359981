#include <lumokit/mysql/provider/MyClassesLoader.h>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>

namespace lumo {

TMySQLLoader::TMySQLLoader() {
  FBuffer.reserve(MaxStatementSize);
  FRowBuffer.reserve(1000);
}

TMySQLLoader::~TMySQLLoader() = default;

std::unique_ptr<TKxRecordSet> TMySQLLoader::CreateRecordSet() { return std::make_unique<TMySQLRecordset>(); }

void TMySQLLoader::SetConnection(TKxConnection* value) {
  TKxLoader::SetConnection(value);
  FMyConnection = dynamic_cast<TMySQLConnection*>(value);
}

TMySQLConnection& TMySQLLoader::MyConnection() const {
  if (!FMyConnection) throw ELoaderError("The loader has no MySQL connection");
  return *FMyConnection;
}

void TMySQLLoader::FillColumn(TKxLoaderColumn& column, const TFieldDesc& field) {
  TKxLoader::FillColumn(column, field);
  if (field.DataType() == dtBoolean) column.SetDataType(dtInt32);
}

bool TMySQLLoader::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prLock:
      FLock = value.AsBoolean();
      return true;
    case prDelayed:
      FDelayed = value.AsBoolean();
      return true;
    case prRowsPerQuery:
      FRowsPerQuery = value.AsInt32();
      return true;
    case prDuplicateKeys: {
      const std::int32_t v = value.AsInt32();
      if (v < dkNone || v > dkReplace) throw ELoaderError(Format("Invalid DuplicateKeys value: %d", {v}));
      FDuplicateKeys = static_cast<TMyDuplicateKeys>(v);
      return true;
    }
    default:
      return TKxLoader::SetProp(prop, value);
  }
}

bool TMySQLLoader::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prLock:
      value = FLock;
      return true;
    case prDelayed:
      value = FDelayed;
      return true;
    case prRowsPerQuery:
      value = FRowsPerQuery;
      return true;
    case prDuplicateKeys:
      value = static_cast<std::int32_t>(FDuplicateKeys);
      return true;
    default:
      return TKxLoader::GetProp(prop, value);
  }
}

std::string TMySQLLoader::InsertKeyword() const {
  switch (FDuplicateKeys) {
    case dkIgnore:
      return FDelayed ? "INSERT DELAYED IGNORE INTO " : "INSERT IGNORE INTO ";
    case dkReplace:
      return FDelayed ? "REPLACE DELAYED INTO " : "REPLACE INTO ";
    case dkNone:
      break;
  }
  return FDelayed ? "INSERT DELAYED INTO " : "INSERT INTO ";
}

void TMySQLLoader::DoPrepare() {
  TMySQLConnection& c = MyConnection();
  if (FColumns.Count() == 0) CreateColumns();
  const std::string table = MySQLInfo().QuoteObjectName(FTableName);
  std::string columns;
  for (int i = 0; i < FColumns.Count(); ++i) {
    if (i > 0) columns += ", ";
    columns += TMySQLInfo::QuoteIdentifier(FColumns[i]->Name());
  }
  FInsHeader = InsertKeyword() + table + " (" + columns + ") VALUES ";
  ClearBuffer();
  FValues.assign(static_cast<std::size_t>(FColumns.Count()), Variant());
  if (FLock) c.ExecStatement("LOCK TABLES " + table + " WRITE");
}

void TMySQLLoader::ClearBuffer() {
  FBuffer = FMyConnection && FMyConnection->UseUnicode() ? AnsiToUtf8(FInsHeader) : FInsHeader;
  FInsHeaderLen = static_cast<std::int32_t>(FBuffer.size());
}

void TMySQLLoader::Reset() {
  TKxLoader::Reset();
  FInsHeader.clear();
  FBuffer.clear();
  FInsHeaderLen = 0;
  FValues.clear();
}

void TMySQLLoader::PutColumnData(int col, int row, const Variant& value) {
  if (FInsHeader.empty()) Prepare();
  // The first value of the next row completes the row being filled.
  const bool validColumn = col >= 0 && col < FColumns.Count();
  if (validColumn && FLastRow >= 0 && row == FLastRow + 2 && FLastRow + 1 > FLoadedRows) LoadRow(FLastRow + 1);
  TKxLoader::PutColumnData(col, row, value);
}

void TMySQLLoader::DoPutColumnData(int col, int, const Variant& value) {
  FValues[static_cast<std::size_t>(col)] = value;
}

void TMySQLLoader::LoadRow(int row) {
  const TMySQLConnection& c = MyConnection();
  const bool useUnicode = c.UseUnicode();
  const std::string charset = useUnicode ? c.UnicodeCharset() : c.Charset();
  FRowBuffer.clear();
  for (std::size_t i = 0; i < FValues.size(); ++i) {
    if (i > 0) FRowBuffer += ", ";
    Variant& v = FValues[i];
    AppendValueToSQL(FRowBuffer, FColumns[static_cast<int>(i)]->DataType(), v, v.IsNullOrEmpty(), useUnicode, false,
                     c.NeedBackslashes(), c.ServerPrimaryVer(), charset);
    v = Variant();
  }
  bool holdsRow = FBuffer.size() > static_cast<std::size_t>(FInsHeaderLen);
  if (FRowsPerQuery <= 0 && holdsRow && FRowBuffer.size() + FBuffer.size() + 10 > MaxStatementSize) {
    ExecuteBuffer();
    holdsRow = false;
  }
  if (holdsRow) FBuffer += ", ";
  FBuffer += '(';
  FBuffer += FRowBuffer;
  FBuffer += ')';
  ++FLoadedRows;
  if (FRowsPerQuery > 0 && row % FRowsPerQuery == 0) ExecuteBuffer();
}

void TMySQLLoader::ExecuteBuffer() {
  if (FBuffer.size() <= static_cast<std::size_t>(FInsHeaderLen)) return;
  TMySQLConnection& c = MyConnection();
  PMYSQL_CON h = c.MySQL();
  if (!h) c.MySQLError(nullptr);
  // The statement leaves the buffer whether it succeeds or not.
  std::string sql = std::move(FBuffer);
  ClearBuffer();
  TMySQLAPI& api = *c.MySQLAPI();
  api.SetTimeout(h, c.ConnectionTimeout());
  ++FStatementsSent;
  c.Check(api.mysql_real_query(h, sql.data(), sql.size()), nullptr);
  if (PMYSQL_RES result = api.mysql_use_result(h)) api.mysql_free_result(result);
}

void TMySQLLoader::DoLoad() {
  if (FLastRow + 1 > FLoadedRows) LoadRow(FLastRow + 1);
  ExecuteBuffer();
}

void TMySQLLoader::Finish() {
  if (FLock) MyConnection().ExecStatement("UNLOCK TABLES");
  Reset();
}

}  // namespace lumo
