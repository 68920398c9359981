#include <lumokit/mysql/provider/MyServices.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DAMetaData.h>
#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/data/KxXml.h>
#include <lumokit/dataset/FieldTypes.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyUpdater.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MyParser.h>
#include <lumokit/mysql/wire/MySqlResultSet.h>

namespace lumo {

namespace {

constexpr char kRowsetNs[] = "urn:schemas-microsoft-com:rowset";

std::unique_ptr<TDAParamInfo> NewMyParamInfo() { return std::make_unique<TMyParamInfo>(); }

const TMySQLFieldDesc* AsMy(const TFieldDesc* desc) { return dynamic_cast<const TMySQLFieldDesc*>(desc); }

bool IsTimestamp(const TFieldDesc* desc) {
  const TMySQLFieldDesc* my = AsMy(desc);
  return my && my->MySQLType() == MYSQL_TYPE_TIMESTAMP;
}

// The data fields of a data set (not calculated or lookup).
std::vector<TField*> DataFieldsOf(TCustomDADataSet& ds) {
  std::vector<TField*> fields;
  for (const auto& field : ds.Fields())
    if (field->FieldKind() == fkData) fields.push_back(field.get());
  return fields;
}

TMySQLConnection* MyConnectionOf(TCustomDADataSet& ds) {
  TCustomDAConnection* connection = ds.UsedConnection();
  return connection ? dynamic_cast<TMySQLConnection*>(connection->IConnection()) : nullptr;
}

bool HasLineBreak(const std::string& value) { return value.find_first_of("\r\n") != std::string::npos; }

// Whether the text is a MySQL date, date-time or time literal (a zero
// date is not: the client cannot hold it as a value).
bool IsMySQLDateOrTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, n = 0;
  const char* c = text.c_str();
  auto whole = [&](int consumed) { return consumed == static_cast<int>(text.size()); };
  if (std::sscanf(c, "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) == 6 &&
      (whole(n) || (text[static_cast<std::size_t>(n)] == '.')))
    return y > 0 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && s < 60;
  n = 0;
  if (std::sscanf(c, "%4d-%2d-%2d%n", &y, &mo, &d, &n) == 3 && whole(n))
    return y > 0 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31;
  n = 0;
  if (std::sscanf(c, "%3d:%2d:%2d%n", &h, &mi, &s, &n) == 3 && (whole(n) || text[static_cast<std::size_t>(n)] == '.'))
    return mi < 60 && s < 60;
  return false;
}

// A column default as the metadata reports it, made a plain value.
// Servers that write defaults as expressions ('text', NULL,
// current_timestamp()) give them back here as the value, "CURRENT_TIMESTAMP"
// or nothing (false) for NULL and other expressions.
bool PlainDefault(std::string& value, bool expressions) {
  const std::string upper = AsciiUpperCase(value);
  if (upper == "CURRENT_TIMESTAMP" || upper.rfind("CURRENT_TIMESTAMP(", 0) == 0) {
    value = "CURRENT_TIMESTAMP";
    return true;
  }
  if (!expressions) return true;
  if (upper == "NULL") return false;
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    std::string plain;
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
      plain += value[i];
      if (value[i] == '\'' && value[i + 1] == '\'') ++i;
    }
    value = plain;
    return true;
  }
  // A number stays as it is; anything else is an expression.
  const bool number = !value.empty() && value.find_first_not_of("+-.0123456789eE") == std::string::npos;
  return number;
}

bool IsDateTimeField(const TField& field) { return dynamic_cast<const TDateTimeField*>(&field) != nullptr; }

}  // namespace

// ---- COUNT rewrite --------------------------------------------------------------------------

std::string MyRecCountSQL(const std::string& sql) {
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  int code = 0;
  do {
    code = parser.GetNextToken();
  } while (code != lcEnd && code != lxSELECT);
  if (code != lxSELECT) return {};
  const auto selectEnd = static_cast<std::size_t>(parser.LexemPos() + parser.LexemLength());

  bool distinct = false, asBeforeFrom = false, limit = false;
  std::size_t fromPos = std::string::npos, semicolon = std::string::npos;
  int depth = 0;
  bool first = true;
  while ((code = parser.GetNextToken()) != lcEnd) {
    const std::string_view lexem = parser.LexemView();
    if (first) {
      first = false;
      if (code == lxDISTINCT || code == lxDISTINCTROW) {
        distinct = true;
        continue;
      }
    }
    if (lexem == "(") {
      ++depth;
    } else if (lexem == ")") {
      if (depth > 0) --depth;
    } else if (lexem == ";" && depth == 0) {
      semicolon = static_cast<std::size_t>(parser.LexemPos());
      break;
    } else if (fromPos == std::string::npos) {
      if (code == lxAS) asBeforeFrom = true;
      if (code == lxFROM && depth == 0) fromPos = static_cast<std::size_t>(parser.LexemPos());
    } else if (code == lxLIMIT && depth == 0) {
      limit = true;
    }
  }
  if (fromPos == std::string::npos) return {};
  const std::string head = sql.substr(0, selectEnd);
  // The text from the blanks before FROM on.
  std::size_t fromStart = fromPos;
  while (fromStart > selectEnd && std::string_view(" \t\r\n").find(sql[fromStart - 1]) != std::string_view::npos)
    --fromStart;
  const std::size_t end = semicolon == std::string::npos ? sql.size() : semicolon;
  const std::string fromPart = (fromStart == fromPos ? " " : "") + sql.substr(fromStart, end - fromStart);
  const std::string tail = semicolon == std::string::npos ? std::string() : sql.substr(semicolon);
  if ((distinct && asBeforeFrom) || limit) {
    std::string rest = sql.substr(selectEnd, end - selectEnd);
    const std::size_t lead = rest.find_first_not_of(" \t\r\n");
    rest = lead == std::string::npos ? std::string() : rest.substr(lead);
    return head + " COUNT(*) FROM (SELECT " + rest + ") q" + tail;
  }
  if (distinct) return head + " COUNT(" + sql.substr(selectEnd, fromStart - selectEnd) + ")" + fromPart + tail;
  return head + " COUNT(*)" + fromPart + tail;
}

// ---- TCustomMySQLGenerator ------------------------------------------------------------------

TCustomMySQLGenerator::TCustomMySQLGenerator(TDADataSetService& owner) : TDASQLGenerator(owner) {
  FParamsInfo->SetFactory(&NewMyParamInfo);
}

void TCustomMySQLGenerator::AddParam(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                                     TParamType paramType, int index, bool old) {
  const auto position = static_cast<std::int32_t>(sb.size());
  const int before = FParamsInfo->Count();
  TDASQLGenerator::AddParam(sb, fieldDesc, statementType, paramType, index, old);
  if (FParamsInfo->Count() == before) return;
  auto* info = dynamic_cast<TMyParamInfo*>(&FParamsInfo->Items(FParamsInfo->Count() - 1));
  if (!info) return;
  // Which builder the marker went into; -1 for a text outside them.
  info->SetParamPosition(-1);
  for (TSQLBuilderKind kind : {sbHeader, sbFld, sbMiddle, sbFldParam, sbCond, sbFooter}) {
    if (Builder(kind) == &sb) {
      info->SetSB(kind);
      info->SetParamPosition(position);
    }
  }
}

std::int32_t TCustomMySQLGenerator::GetParamOffset(int index) {
  auto* info = dynamic_cast<TMyParamInfo*>(&FParamsInfo->Items(index));
  if (!info || info->ParamPosition() < 0) return -1;
  std::int64_t offset = 0;
  for (int kind = sbHeader; kind < info->SB(); ++kind)
    offset += static_cast<std::int64_t>(Builder(static_cast<TSQLBuilderKind>(kind))->size());
  return static_cast<std::int32_t>(offset + info->ParamPosition() + 1);
}

void TCustomMySQLGenerator::AddFieldToCondition(std::string& sb, const TKxFieldDesc& fieldDesc,
                                                TStatementType statementType, bool modifiedFieldsOnly, int index) {
  if (!fieldDesc.TableInfo()) return;
  if (statementType == stRefresh && modifiedFieldsOnly && IsTimestamp(&fieldDesc) && FieldIsNull(fieldDesc, true)) {
    if (!sb.empty()) sb += " AND ";
    sb += GetActualFieldName(fieldDesc, true) + " = '00000000'";
    return;
  }
  TDASQLGenerator::AddFieldToCondition(sb, fieldDesc, statementType, modifiedFieldsOnly, index);
}

void TCustomMySQLGenerator::GenerateLockSQL(const TKeyAndDataFields& keyAndDataFields, int index) {
  FHeaderSB = "SELECT * FROM " + TableName() + "\r\nWHERE\r\n  ";
  GenerateConditions(FCondSB, stLock, false, keyAndDataFields, index);
  FFooterSB = MyService().LockType() == ilrDelayed ? "\r\nLOCK IN SHARE MODE" : "\r\nFOR UPDATE";
}

TMySQLFieldDesc* TCustomMySQLGenerator::TableTimestampField(const TKeyAndDataFields& keyAndDataFields) {
  TMySQLFieldDesc* current = nullptr;
  TMySQLFieldDesc* firstTimestamp = nullptr;
  for (TKxFieldDesc* desc : keyAndDataFields.DataFieldDescs) {
    auto* my = dynamic_cast<TMySQLFieldDesc*>(desc);
    if (!my || my->MySQLType() != MYSQL_TYPE_TIMESTAMP) continue;
    if (!firstTimestamp) firstTimestamp = my;
    if (my->IsCurrentTimestamp()) current = my;
  }
  return current ? current : firstTimestamp;
}

void TCustomMySQLGenerator::GenerateConditions(std::string& sb, TStatementType statementType, bool modifiedFieldsOnly,
                                               const TKeyAndDataFields& keyAndDataFields, int index) {
  if (statementType == stRefreshQuick) {
    TMySQLFieldDesc* timestamp = TableTimestampField(keyAndDataFields);
    auto* table = dynamic_cast<TMyTableInfo*>(FTableInfo);
    if (!timestamp || !FieldOf(*timestamp) || !table) throw EDAError("Timestamp field required");
    const TMySQLConnection* connection = MyConnectionOf(*FDataSet);
    sb += ColumnName(*timestamp) + " >= " +
          ValueToSQL(dtDateTime, Variant::FromDate(table->MaxTimestamp()), false, false, false,
                     connection ? connection->ServerPrimaryVer() : 5);
    return;
  }
  // A unique key allows several rows with NULL in it: a row whose key is
  // NULL is found by all its fields instead, never by the NULL key alone.
  if (FDataSet->KeyFields().empty() && !keyAndDataFields.KeyFieldDescs.empty()) {
    bool nullUniqueKey = false;
    for (TKxFieldDesc* key : keyAndDataFields.KeyFieldDescs) {
      const TMySQLFieldDesc* my = AsMy(key);
      if (my && !my->IsPrimaryKey() && FieldIsNull(*key, statementType != stRefresh)) nullUniqueKey = true;
    }
    if (nullUniqueKey) {
      TKeyAndDataFields withoutKey;
      withoutKey.DataFieldDescs = keyAndDataFields.DataFieldDescs;
      GenerateConditions(sb, statementType, modifiedFieldsOnly, withoutKey, index);
      return;
    }
  }
  if ((statementType == stUpdate || statementType == stDelete) && MyService().CheckRowVersion()) {
    const TFieldDescArray& keys = keyAndDataFields.KeyFieldDescs;
    for (TKxFieldDesc* key : keys) AddFieldToCondition(sb, *key, statementType, modifiedFieldsOnly, index);
    TMySQLFieldDesc* timestamp = TableTimestampField(keyAndDataFields);
    if (timestamp && !FieldIsNull(*timestamp, true)) {
      AddFieldToCondition(sb, *timestamp, statementType, modifiedFieldsOnly, index);
    } else {
      for (TKxFieldDesc* desc : keyAndDataFields.DataFieldDescs)
        if (!IsBlobDataType(desc->DataType()) && std::find(keys.begin(), keys.end(), desc) == keys.end())
          AddFieldToCondition(sb, *desc, statementType, modifiedFieldsOnly, index);
    }
    if (sb.empty()) throw EDAError("Key fields not found");
    return;
  }
  TDASQLGenerator::GenerateConditions(sb, statementType, modifiedFieldsOnly, keyAndDataFields, index);
}

TDAParamsInfo::TItemFactory TCustomMySQLGenerator::GetParamInfoClass() { return &NewMyParamInfo; }

std::string TCustomMySQLGenerator::GenerateTableSQL(const std::string& tableName, const std::string& orderFields) {
  const std::string name = SQLInfo().NormalizeName(tableName, QuoteNames());
  const std::string order = Trim(orderFields);
  if (!FUseHandler) {
    std::string sql = "SELECT * FROM " + name;
    if (!order.empty()) sql += " ORDER BY " + order;
    // Without a limit an offset needs the largest row count MySQL takes:
    // "LIMIT n, -1" is not SQL.
    if (FLimit != -1 || FOffset != 0)
      sql += " LIMIT " + std::to_string(FOffset) + ", " +
             (FLimit == -1 ? std::string("18446744073709551615") : std::to_string(FLimit));
    return sql;
  }
  const bool is41 = Is41Capable();
  std::string sql = is41 ? "HANDLER " + name + " OPEN; " : std::string();
  sql += "HANDLER " + name + " READ";
  const std::string index = Trim(FHandlerIndex);
  if (!index.empty()) {
    sql += " " + index;
    TMyParser parser(index);
    parser.GetNextToken();
    parser.GetNextToken();
    const std::string_view next = parser.LexemView();
    const bool comparison = !next.empty() && (next[0] == '=' || next[0] == '<' || next[0] == '>');
    if (!comparison) sql += " FIRST";
  } else {
    sql += " FIRST";
  }
  if (!FDataSet->FilterSQL().empty()) sql += " WHERE " + FDataSet->FilterSQL();
  sql += " LIMIT " + std::to_string(FOffset) + ", " + std::to_string(FLimit == -1 ? 2147483647 : FLimit);
  if (is41) sql += "; HANDLER " + name + " CLOSE";
  return sql;
}

TCustomMyDataSetService& TCustomMySQLGenerator::MyService() const {
  return static_cast<TCustomMyDataSetService&>(*FDataSetService);
}

bool TCustomMySQLGenerator::Is41Capable() {
  const TMySQLConnection* connection = MyConnectionOf(*FDataSet);
  if (!connection) return true;
  const bool server41 = connection->ServerPrimaryVer() > 4 ||
                        (connection->ServerPrimaryVer() == 4 && connection->ServerMinorVer() >= 1);
  return server41 && connection->IsClient41();
}

// ---- TCustomMyDataSetService ----------------------------------------------------------------

TCustomMyDataSetService::TCustomMyDataSetService(TMemDataSet& owner) : TDADataSetService(owner) {}

TCustomMyDataSetService::~TCustomMyDataSetService() = default;

std::unique_ptr<TDataSetUpdater> TCustomMyDataSetService::CreateDataSetUpdater() {
  return std::make_unique<TCustomMyDataSetUpdater>(*this);
}

void TCustomMyDataSetService::SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) {
  TDADataSetService::SetDataSetUpdater(std::move(value));
}

void TCustomMyDataSetService::SetNumberRange(TFieldDef& fieldDef) {
  TCustomDADataSet& ds = DADataSet();
  // Runs before the fields are bound: the descriptor comes by field number.
  TField* field = ds.FindField(fieldDef.Name());
  TData& data = ds.Data();
  const int no = fieldDef.FieldNo();
  const TMySQLFieldDesc* desc = field && no >= 1 && no <= data.FieldCount() ? AsMy(data.Fields()[no - 1]) : nullptr;
  if (!desc) return;
  const bool isUnsigned = desc->IsUnsigned();
  auto setInt = [&](std::int64_t min, std::int64_t max) {
    if (auto* f = dynamic_cast<TIntegerField*>(field)) {
      f->SetMinValue(min);
      f->SetMaxValue(max);
    } else if (auto* l = dynamic_cast<TLargeintField*>(field)) {
      l->SetMinValue(min);
      l->SetMaxValue(max);
    }
  };
  auto setFloat = [&](double max, int precision) {
    if (auto* f = dynamic_cast<TFloatField*>(field)) {
      f->SetMinValue(-max);
      f->SetMaxValue(max);
      if (precision > 0) f->SetPrecision(precision);
    }
  };
  switch (desc->MySQLType()) {
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL: {
      // The column's display length counts the point and the sign.
      const int scale = desc->DBScale();
      const int precision = desc->DBLength() - (scale > 0 ? 1 : 0) - (isUnsigned ? 0 : 1);
      if (precision <= 0 || precision < scale) break;
      const double max = std::pow(10.0, precision - scale) - std::pow(10.0, -scale);
      if (auto* f = dynamic_cast<TFloatField*>(field)) {
        f->SetMinValue(-max);
        f->SetMaxValue(max);
      } else if (auto* b = dynamic_cast<TBCDField*>(field)) {
        const double limit = std::min(max, 922337203685477.0);
        b->SetMinValue(Currency::FromScaled(static_cast<std::int64_t>(-limit * Currency::Factor)));
        b->SetMaxValue(Currency::FromScaled(static_cast<std::int64_t>(limit * Currency::Factor)));
      } else if (auto* m = dynamic_cast<TFMTBCDField*>(field)) {
        std::string nines(static_cast<std::size_t>(precision - scale), '9');
        if (nines.empty()) nines = "0";
        if (scale > 0) nines += "." + std::string(static_cast<std::size_t>(scale), '9');
        m->SetMinValue("-" + nines);
        m->SetMaxValue(nines);
      }
      break;
    }
    case MYSQL_TYPE_TINY:
      isUnsigned ? setInt(0, 255) : setInt(-128, 127);
      break;
    case MYSQL_TYPE_SHORT:
      isUnsigned ? setInt(0, 65535) : setInt(-32768, 32767);
      break;
    case MYSQL_TYPE_INT24:
      isUnsigned ? setInt(0, 16777215) : setInt(-8388608, 8388607);
      break;
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
      if (dynamic_cast<TIntegerField*>(field) && !dynamic_cast<TLargeintField*>(field))
        isUnsigned ? setInt(0, 0) : setInt(-2147483647, 2147483647);
      break;
    case MYSQL_TYPE_FLOAT:
      setFloat(3.402823466E38, desc->DBLength());
      break;
    case MYSQL_TYPE_DOUBLE:
      setFloat(1.7976931348623157E308, desc->DBLength());
      break;
    case MYSQL_TYPE_YEAR:
      if (desc->DBLength() == 2) setInt(0, 99);
      break;
    default:
      TDADataSetService::SetNumberRange(fieldDef);
  }
}

void TCustomMyDataSetService::WriteFieldXMLDataType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDADataSetService::WriteFieldXMLDataType(field, desc, writer);
}

void TCustomMyDataSetService::WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  TDADataSetService::WriteFieldXMLAttributeType(field, desc, writer);
  if (desc && desc->IsAutoIncrement()) writer.WriteAttributeString("rs", "maybenull", kRowsetNs, "false");
  if (IsTimestamp(desc)) writer.WriteAttributeString("rs", "rowver", kRowsetNs, "true");
}

void TCustomMyDataSetService::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prCheckRowVersion:
      FCheckRowVersion = value.AsBoolean();
      break;
    case prLockType:
      FLockType = value.AsInt32() == ilrDelayed ? ilrDelayed : ilrImmediately;
      break;
    case prAutoIncrementReadOnly:
      FAutoIncrementReadOnly = value.AsBoolean();
      break;
    default:
      TDADataSetService::SetProp(prop, value);
  }
}

bool TCustomMyDataSetService::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prCheckRowVersion:
      value = FCheckRowVersion;
      return true;
    case prLockType:
      value = static_cast<std::int32_t>(FLockType);
      return true;
    case prAutoIncrementReadOnly:
      value = FAutoIncrementReadOnly;
      return true;
    default:
      return TDADataSetService::GetProp(prop, value);
  }
}

std::unique_ptr<TDASQLGenerator> TCustomMyDataSetService::CreateSQLGenerator() {
  return std::make_unique<TCustomMySQLGenerator>(*this);
}

void TCustomMyDataSetService::InitCursor() {
  TDADataSetService::InitCursor();
  TCustomDADataSet& ds = DADataSet();
  const std::vector<TField*> fields = DataFieldsOf(ds);
  TMySQLFieldDesc* firstCurrent = nullptr;
  TMySQLFieldDesc* lastTimestamp = nullptr;
  for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
    TField& field = **it;
    auto* desc = dynamic_cast<TMySQLFieldDesc*>(ds.GetFieldDesc(field));
    if (!desc) continue;
    if (desc->IsAutoIncrement()) {
      if (ds.Options().SetFieldsReadOnly() && FAutoIncrementReadOnly) field.SetReadOnly(true);
      field.SetAutoGenerateValue(arAutoInc);
    }
    if (desc->MySQLType() == MYSQL_TYPE_TIMESTAMP) {
      if (!lastTimestamp) lastTimestamp = desc;
      if (desc->IsCurrentTimestamp()) firstCurrent = desc;  // walking backwards: the first one wins
    }
  }
  FTimestampField = firstCurrent ? firstCurrent : lastTimestamp;
  // The updating table's TIMESTAMP field is the one quick refresh tests.
  if (auto* table = dynamic_cast<TMyTableInfo*>(UpdatingTableInfo())) {
    TKeyAndDataFields fields2;
    try {
      GetDataFieldDescs(fields2.DataFieldDescs);
    } catch (const EDAError&) {
    }
    table->SetTimestampField(MySQLGenerator().TableTimestampField(fields2));
  }
}

void TCustomMyDataSetService::CloseCursor() { FTimestampField = nullptr; }

void TCustomMyDataSetService::SetFieldOrigin(TField& field, TKxFieldDesc& fieldDesc) {
  if (TKxTableInfo* table = fieldDesc.TableInfo()) {
    const std::string& name = table->TableAlias().empty() ? table->TableName() : table->TableAlias();
    field.SetOrigin(DADataSet().SQLInfo()->NormalizeName(name, false, true) + "." + fieldDesc.ActualName());
  } else {
    field.SetOrigin(fieldDesc.ActualName());
  }
}

void TCustomMyDataSetService::FillFieldsDefaultValues() {
  TCustomDADataSet& ds = DADataSet();
  TKxTableInfo* table = UpdatingTableInfo();
  if (!ds.Options().DefaultValues() || !table || !ds.UsedConnection()) return;
  TSQLInfo& info = *ds.SQLInfo();
  TExtTableInfo parts;
  info.SplitObjectName(table->TableNameFull(), parts);
  std::string database = info.UnQuote(parts.Schema);
  const std::string tableName = info.UnQuote(parts.Table);
  if (database.empty()) database = GetCurrentSchema();
  // One restriction a line: a line break inside a name would add others.
  if (HasLineBreak(database) || HasLineBreak(tableName) || tableName.empty()) return;

  // Newer servers report defaults as expressions ('text', NULL).
  bool expressions = false;
  if (TMySQLConnection* mine = MyConnectionOf(ds)) {
    TMySQLConnection* connection = mine;
    const std::string version = connection->GetServerVersionFull();
    int major = 0, minor = 0, release = 0;
    TMySQLConnection::ParseServerVersion(connection->GetServerVersion(), major, minor, release);
    expressions = AsciiUpperCase(version).find("MARIADB") != std::string::npos &&
                  (major > 10 || (major == 10 && (minor > 2 || (minor == 2 && release >= 7))));
  }

  // The columns' defaults from information_schema, the names passed as
  // parameters (written by the literal writer).
  TMySQLConnection* connection = MyConnectionOf(ds);
  if (!connection || connection->ServerPrimaryVer() < 5) return;
  std::unique_ptr<TCustomDADataSet> query = ds.UsedConnection()->CreateDataSet();
  query->SetTransaction(ds.UsedTransaction());
  query->SetSQLText(
      "SELECT COLUMN_NAME, COLUMN_DEFAULT AS DEFAULT_VALUE FROM information_schema.COLUMNS "
      "WHERE TABLE_SCHEMA = :s AND TABLE_NAME = :t ORDER BY ORDINAL_POSITION");
  query->ParamByName("s").SetAsString(database);
  query->ParamByName("t").SetAsString(tableName);
  query->Open();
  TCustomDADataSet& metaData = *query;
  const std::vector<TField*> fields = DataFieldsOf(ds);
  for (; !metaData.Eof(); metaData.Next()) {
    TField& defaultField = metaData.FieldByName("DEFAULT_VALUE");
    if (defaultField.IsNull()) continue;
    const std::string column = metaData.FieldByName("COLUMN_NAME").AsString();
    for (TField* field : fields) {
      auto* desc = dynamic_cast<TKxFieldDesc*>(ds.GetFieldDesc(*field));
      if (!desc || desc->TableInfo() != table || !SameFieldName(desc->ActualName(), column)) continue;
      std::string value = defaultField.AsString();
      if (!PlainDefault(value, expressions)) {
        field->SetDefaultExpression("");
        continue;
      }
      if (DefaultExpressionOldBehavior) {
        if (dynamic_cast<TBooleanField*>(field)) {
          value = value == "0" ? "False" : "True";
        } else if (dynamic_cast<TFloatField*>(field) || dynamic_cast<TBCDField*>(field) ||
                   dynamic_cast<TFMTBCDField*>(field)) {
          std::replace(value.begin(), value.end(), '.', FormatSettings().DecimalSeparator);
        }
        field->SetDefaultExpression(value);
      } else if (value == "CURRENT_TIMESTAMP") {
        field->SetDefaultExpression(value);
      } else if (!IsDateTimeField(*field) || IsMySQLDateOrTime(value)) {
        field->SetDefaultExpression(info.TSQLInfo::ToStringConst(value));
      } else {
        field->SetDefaultExpression("");
      }
    }
  }
}

bool TCustomMyDataSetService::IsConsideredField(const TKxFieldDesc& desc) const {
  if (desc.FieldDescKind() != fdkData) return false;
  if (IsUpdatingTableField(desc)) return true;
  return !UpdatingTableInfo() && !desc.TableInfo() && !DADataSet().Options().SetFieldsReadOnly();
}

TKxFieldDesc* TCustomMyDataSetService::DetectIdentityField() {
  // Runs before the fields exist: the record set's descriptors are read.
  TCustomDADataSet& ds = DADataSet();
  TKxTableInfo* table = UpdatingTableInfo();
  if (!table || !ds.IRecordSet()) return nullptr;
  TFieldDescs& descs = ds.IRecordSet()->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(descs[i]);
    if (desc && desc->FieldDescKind() == fdkData && !desc->HasParent() && desc->IsAutoIncrement() &&
        desc->TableInfo() == table)
      return desc;
  }
  return nullptr;
}

bool TCustomMyDataSetService::DetectCanModify() {
  if (TDADataSetService::DetectCanModify()) return true;
  TCustomDADataSet& ds = DADataSet();
  if (ds.ReadOnly() || ds.UniDirectional()) return false;
  return FIsAnyFieldCanBeModified || !ds.SQLInsert().Text().empty() || !ds.SQLUpdate().Text().empty() ||
         !ds.SQLDelete().Text().empty();
}

bool TCustomMyDataSetService::CanUseAllKeyFields() {
  return !UpdatingTableInfo() || DADataSet().Options().FullRefresh();
}

void TCustomMyDataSetService::FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool forceUseAllKeyFields) {
  keyFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  if (!ds.KeyFields().empty()) {
    TDADataSetService::FillKeyFieldDescs(keyFieldDescs, forceUseAllKeyFields);
    return;
  }
  TFieldDescArray primary, unique;
  for (TField* field : DataFieldsOf(ds)) {
    auto* desc = dynamic_cast<TMySQLFieldDesc*>(ds.GetFieldDesc(*field));
    if (!desc) continue;
    if (!(forceUseAllKeyFields ? desc->FieldDescKind() == fdkData && desc->TableInfo() : IsConsideredField(*desc)))
      continue;
    if (desc->IsPrimaryKey()) primary.push_back(desc);
    // A column flagged as a key only through a non-unique ("multiple")
    // index or as part of an index is no key: its value may be shared.
    else if (desc->IsUniqueKey()) unique.push_back(desc);
  }
  if (!primary.empty()) {
    keyFieldDescs = std::move(primary);
  } else if (!unique.empty()) {
    keyFieldDescs = std::move(unique);
  } else if (TKxTableInfo* table = UpdatingTableInfo(); table && !FUpdTableIsArtificial && !forceUseAllKeyFields) {
    // A composite unique key carries no per-column flag: the server's index
    // list says which columns form it.
    TDADataSetService::FillKeyFieldDescs(keyFieldDescs, GetDBKeyList(table->TableNameFull(), ""), false);
  }
}

void TCustomMyDataSetService::FillDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllKeyFields) {
  dataFieldDescs.clear();
  TCustomDADataSet& ds = DADataSet();
  for (TField* field : DataFieldsOf(ds)) {
    auto* desc = dynamic_cast<TKxFieldDesc*>(ds.GetFieldDesc(*field));
    if (!desc || desc->ReadOnly()) continue;
    if (forceUseAllKeyFields ? desc->FieldDescKind() == fdkData && desc->TableInfo() : IsConsideredField(*desc))
      dataFieldDescs.push_back(desc);
  }
}

std::int64_t TCustomMyDataSetService::GetRecCount() {
  TCustomDADataSet& ds = DADataSet();
  if (ds.FetchAll() || !ds.Options().QueryRecCount()) return TDADataSetService::GetRecCount();
  if (ds.ParamCount() > 0 && ds.Params()[0].ParamType() == ptResult) return TDADataSetService::GetRecCount();
  TCustomDAConnection* connection = ds.UsedConnection();
  if (!connection) return 0;
  const std::string sql = MyRecCountSQL(ds.SQLSetOrderBy(ds.GetFinalSQL(), ""));
  if (sql.empty()) return 0;

  struct TRunning {
    std::atomic<bool>& Flag;
    std::mutex& Lock;
    TCustomDADataSet*& Slot;
    ~TRunning() {
      std::lock_guard<std::mutex> guard(Lock);
      Slot = nullptr;
      Flag = false;
    }
  };
  std::unique_ptr<TCustomDADataSet> query = connection->CreateDataSet();
  query->SetTransaction(ds.UsedTransaction());
  query->SetSQLText(sql);
  query->Macros().Assign(ds.Macros());
  for (int i = 0; i < ds.ParamCount(); ++i)
    if (TDAParam* param = query->FindParam(ds.Params()[i].Name())) param->Assign(ds.Params()[i]);
  {
    std::lock_guard<std::mutex> guard(FCountLock);
    FCountDataSet = query.get();
    FInGetRecCount = true;
  }
  TRunning running{FInGetRecCount, FCountLock, FCountDataSet};
  query->Open();
  const std::int64_t count = query->Fields().Count() > 0 ? query->Fields()[0].AsLargeInt() : 0;
  query->Close();
  return count;
}

void TCustomMyDataSetService::BreakExec() {
  std::lock_guard<std::mutex> guard(FCountLock);
  if (FCountDataSet) FCountDataSet->BreakExec();
}

bool TCustomMyDataSetService::Executing() { return FInGetRecCount; }

bool TCustomMyDataSetService::OpenNext() {
  TCustomDADataSet& ds = DADataSet();
  if (!ds.Active()) {
    ds.Open();
    return true;
  }
  if (ds.Prepared()) throw EDAError("Cannot OpenNext if statement is Prepared");
  if (ds.FetchAll()) throw EDAError("OpenNext is not compatible with FetchAll = True");
  TKxRecordSet* rs = ds.IRecordSet();
  Variant more;
  const bool canOpenNext = rs && rs->GetProp(prIsCanOpenNext, more) && more.AsBoolean();
  ds.Close();
  ds.UnPrepare();
  if (!canOpenNext) return false;
  rs->SetProp(prOpenNext, true);
  try {
    ds.FieldDefs().SetUpdated(false);
    ds.Open();
  } catch (...) {
    rs->SetProp(prOpenNext, false);
    throw;
  }
  rs->SetProp(prOpenNext, false);
  return true;
}

std::string TCustomMyDataSetService::GetCurrentSchema() {
  // The schema the session is in, which a USE statement may have changed.
  if (TMySQLConnection* connection = MyConnectionOf(DADataSet())) return connection->CurrentDatabase();
  TCustomDAConnection* connection = DADataSet().UsedConnection();
  if (!connection || !connection->IConnection()) return {};
  Variant database;
  if (!connection->IConnection()->GetProp(prDatabase, database) || database.IsNull() || database.IsEmpty()) return {};
  return database.AsString();
}

TCustomMySQLGenerator& TCustomMyDataSetService::MySQLGenerator() {
  return static_cast<TCustomMySQLGenerator&>(SQLGenerator());
}

}  // namespace lumo
