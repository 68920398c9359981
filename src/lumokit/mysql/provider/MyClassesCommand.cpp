#include <lumokit/mysql/provider/MyClassesCommand.h>

#include <algorithm>
#include <optional>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MyClassesLiterals.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include <lumokit/mysql/wire/MySqlErrors.h>

namespace lumo {

namespace {

int NextToken(TSQLParser& p) {
  for (;;) {
    try {
      return p.GetNextToken();
    } catch (const EParserError&) {
    }
  }
}

bool IsSymbol(TSQLParser& p, int code, char ch) {
  if (code != lcSymbol && !(code > 0 && p.IsSymbolCode(code))) return false;
  std::string_view v = p.LexemView();
  return v.size() == 1 && v[0] == ch;
}

std::unique_ptr<TSQLParser> MakeParser(std::string text, bool backslashes) {
  auto p = std::make_unique<TMyParser>(std::move(text));
  p->SetOmitBlank(true);
  p->SetOmitComment(true);
  p->SetUppered(false);
  p->SetQuotedString(true);
  p->SetBackslashEscapes(backslashes);
  return p;
}

// A number lexeme as a non-negative size (0 when it is none or too big).
std::int32_t SizeOf(std::string_view text) {
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
    if (v > 0x7FFFFFFF) return 0;
  }
  return static_cast<std::int32_t>(v);
}

using TTextRows = std::vector<std::vector<std::optional<std::string>>>;

}  // namespace

// ---- TMySQLCommand --------------------------------------------------------------------------

TMySQLCommand::TMySQLCommand() = default;

TMySQLCommand::~TMySQLCommand() {
  FreeSQLResult();
  CloseStmt();
}

std::unique_ptr<TKxTableInfo> TMySQLCommand::CreateTableInfo(TKxTablesInfo& owner) const {
  return std::make_unique<TMyTableInfo>(&owner);
}

std::unique_ptr<TSQLInfo> TMySQLCommand::CreateSQLInfo() const {
  // The command owns its SQL info, so the source never outlives it.
  return std::make_unique<TMySQLInfo>([this]() -> const TMySQLConnection* { return FMyConnection; });
}

std::unique_ptr<TKxMapRules> TMySQLCommand::CreateMapRules() const { return std::make_unique<TMyMapRules>(); }

void TMySQLCommand::SetConnection(TKxConnection* value) {
  TKxCommand::SetConnection(value);
  FMyConnection = dynamic_cast<TMySQLConnection*>(value);
}

TMySQLAPI& TMySQLCommand::API() const {
  if (!FMyConnection) throw EDAError("The command has no connection");
  if (!FMyConnection->MySQLAPI()) FMyConnection->CheckMySQLLib();
  return *FMyConnection->MySQLAPI();
}

PMYSQL_CON TMySQLCommand::Session() const {
  if (!FMyConnection) throw EDAError("The command has no connection");
  PMYSQL_CON h = FMyConnection->MySQL();
  if (!h) FMyConnection->MySQLError(FComponent);
  return h;
}

void TMySQLCommand::Check(const void* status) {
  if (!status) FMyConnection->MySQLError(FComponent);
}

void TMySQLCommand::Check(int status) {
  if (status != 0) FMyConnection->MySQLError(FComponent);
}

void TMySQLCommand::Check() { FMyConnection->Check(FComponent); }

// ---- parsing

bool TMySQLCommand::ParseSQLParam(std::string& builder, TSQLParser& parser, TParamDescs* params, char leftQuote,
                                  char rightQuote, const std::string& renamePrefix) {
  const std::size_t before = builder.size();
  const bool done = TKxCommand::ParseSQLParam(builder, parser, params, leftQuote, rightQuote, renamePrefix);
  if (done && FRecording && params && builder.size() == before + 1 && builder.back() == '?')
    FRecording->push_back(static_cast<std::int32_t>(builder.size()));
  return done;
}

void TMySQLCommand::ParseSQL(std::string_view sql, TParamDescs* params, std::string& result,
                             const std::string& renamePrefix) {
  std::vector<std::int32_t> positions;
  if (sql.find(':') == std::string_view::npos) {
    if (params) params->Clear();
    result.assign(sql);
  } else {
    std::vector<std::int32_t>* saved = FRecording;
    FRecording = &positions;
    try {
      TKxCommand::ParseSQL(sql, params, result, renamePrefix);
    } catch (...) {
      FRecording = saved;
      throw;
    }
    FRecording = saved;
  }
  if (params && renamePrefix.empty() && !FFillParamPosition) {
    FParamPositions = std::move(positions);
    FPositionsSQL = result;
    FPositionsExternal = false;
  }
}

void TMySQLCommand::SetSQL(const std::string& value) {
  if (value == FUserSQL) return;
  // The server's statement holds the old text.
  if (FPrepared) Unprepare();
  if (!FFillParamPosition) {
    FParamPositions.clear();
    FPositionsSQL.clear();
    FPositionsExternal = false;
  }
  FCachedSQL.clear();
  FCachedSQLValid = false;
  TKxCommand::SetSQL(value);
}

const std::vector<std::string>& TMySQLCommand::CachedSQL() {
  const bool backslashes = FMyConnection ? FMyConnection->NeedBackslashes() : true;
  if (FCachedSQLValid && FCachedSQLText == FSQL && FCachedBackslashes == backslashes) return FCachedSQL;
  FCachedSQL.clear();
  auto parser = MakeParser(FSQL, backslashes);
  parser->SetOmitBlank(false);
  std::size_t copied = 0;
  for (;;) {
    const int code = NextToken(*parser);
    if (code == lcEnd) break;
    if (!IsSymbol(*parser, code, '?')) continue;
    const auto at = static_cast<std::size_t>(parser->LexemPos());
    FCachedSQL.emplace_back(FSQL.substr(copied, at - copied));
    copied = at + 1;
  }
  FCachedSQL.emplace_back(FSQL.substr(std::min(copied, FSQL.size())));
  FCachedSQLText = FSQL;
  FCachedBackslashes = backslashes;
  FCachedSQLValid = true;
  return FCachedSQL;
}

// ---- the text sent

std::string TMySQLCommand::EncodeSQL(std::string_view text) const {
  if (FMyConnection && FMyConnection->UseUnicode()) return AnsiToUtf8(text);
  return std::string(text);
}

std::string TMySQLCommand::LiteralCharset() const {
  if (!FMyConnection) return {};
  return FMyConnection->UseUnicode() ? FMyConnection->UnicodeCharset() : FMyConnection->Charset();
}

void TMySQLCommand::AppendParamValue(std::string& sql, TParamDesc& param) {
  const bool useUnicode = FMyConnection && FMyConnection->UseUnicode();
  const bool needBackslashes = FMyConnection ? FMyConnection->NeedBackslashes() : true;
  const int serverVer = FMyConnection ? FMyConnection->ServerPrimaryVer() : 0;
  const bool sendCompressed = FCompressBlob == cbServer || FCompressBlob == cbClientServer;
  Variant value = param.GetValue();
  if (value.VarType() == varSharedObject) {
    // The encrypted copy of a large object when the parameter has one.
    if (TSharedObject* obj = param.GetObject()) value = Variant(TSharedRef<TSharedObject>::Share(obj));
  }
  AppendValueToSQL(sql, param.DataType(), value, param.GetNull(), useUnicode, sendCompressed, needBackslashes,
                   serverVer, LiteralCharset());
}

std::vector<TParamDesc*> TMySQLCommand::PlaceholderParams() const {
  std::vector<TParamDesc*> order;
  PlaceholderParams(order);
  return order;
}

void TMySQLCommand::PlaceholderParams(std::vector<TParamDesc*>& order) const {
  order.clear();
  if (FStoredProc) {
    for (const auto& p : FParams)
      if (p && p->ParamType() == pdInputOutput) order.push_back(p.get());
    for (const auto& p : FParams)
      if (p && (p->ParamType() == pdInput || p->ParamType() == pdUnknown)) order.push_back(p.get());
  } else {
    for (const auto& p : FParams)
      if (p && p->ParamType() != pdResult) order.push_back(p.get());
  }
}

bool TMySQLCommand::PositionsUsable() const {
  if (FParamPositions.empty()) return false;
  if (!FPositionsExternal && FPositionsSQL != FSQL) return false;
  std::int32_t prev = 0;
  for (std::int32_t p : FParamPositions) {
    if (p <= prev || static_cast<std::size_t>(p) > FSQL.size() || FSQL[static_cast<std::size_t>(p) - 1] != '?')
      return false;
    prev = p;
  }
  return true;
}

std::string TMySQLCommand::PlaceParamValues() {
  const std::vector<TParamDesc*> order = PlaceholderParams();
  std::size_t capacity = FSQL.size();
  for (const TParamDesc* p : order) capacity += 2 * static_cast<std::size_t>(std::max<std::int32_t>(p->Size(), 0));
  std::string out;
  out.reserve(capacity);
  auto param = [&](std::size_t index) -> TParamDesc& {
    if (index >= order.size())
      throw EDAError(Format("Not enough parameters: the statement has more placeholders than the %d parameters given",
                            {static_cast<int>(order.size())}));
    return *order[index];
  };

  if (PositionsUsable()) {
    std::size_t prev = 0;
    for (std::size_t i = 0; i < FParamPositions.size(); ++i) {
      const auto at = static_cast<std::size_t>(FParamPositions[i]) - 1;
      out += EncodeSQL(std::string_view(FSQL).substr(prev, at - prev));
      AppendParamValue(out, param(i));
      prev = at + 1;
    }
    out += EncodeSQL(std::string_view(FSQL).substr(prev));
  } else {
    const std::vector<std::string>& pieces = CachedSQL();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      out += EncodeSQL(pieces[i]);
      if (i + 1 < pieces.size()) AppendParamValue(out, param(i));
    }
  }
  return out;
}

// ---- execution

std::int64_t TMySQLCommand::CalcRowsAffected() {
  TMySQLAPI& api = API();
  PMYSQL_CON h = Session();
  const std::int64_t rows = api.mysql_affected_rows(h);
  FCursorState = api.mysql_field_count(h) > 0 ? csExecuted : csInactive;
  return rows;
}

void TMySQLCommand::FreeSQLResult() noexcept {
  if (!FSQLResult) return;
  PMYSQL_RES r = FSQLResult;
  FSQLResult = nullptr;
  try {
    if (FResultAPI) FResultAPI->mysql_free_result(r);
  } catch (...) {
  }
}

void TMySQLCommand::Execute(int /*iters*/) {
  if (FCursorState != csInactive && FCursorState != csPrepared) return;
  TMySQLAPI& api = API();
  PMYSQL_CON h = Session();

  FCanReadParams = false;
  FIsSelectParams = false;
  const TCursorState oldState = FCursorState;
  api.SetTimeout(h, FCommandTimeout);
  if (FMyConnection->MySQLAPI() == MyAPIDirect) TMySQLAPIDirect::Session(h)->FSkipPacket = FStoredProc;
  {
    std::lock_guard<std::mutex> guard(FBreakExecCS);
    FThreadId.store(api.mysql_thread_id(h), std::memory_order_release);
    FWaitForBreak.store(false, std::memory_order_release);
    ClearBreakExec();
    ++FExecGeneration;
    SetExecuting(true);
  }
  FCursorState = csExecuting;

  auto finish = [this] {
    if (!FSQLResult) FCursorState = csInactive;
    std::lock_guard<std::mutex> guard(FBreakExecCS);
    SetExecuting(false);
  };
  try {
    if (FPrepared)
      DoExecutePrepared();
    else
      DoExecute();
  } catch (...) {
    FreeSQLResult();
    finish();
    if (FCursorState != csInactive) FCursorState = oldState;
    if (FAfterExecute) FAfterExecute(false);
    if (FWaitForBreak.load(std::memory_order_acquire)) Abort();
    throw;
  }
  finish();
  if (FAfterExecute) FAfterExecute(true);
}

void TMySQLCommand::DoExecute() {
  TMySQLAPI& api = API();
  PMYSQL_CON h = Session();
  const bool direct = FMyConnection->MySQLAPI() == MyAPIDirect;
  const bool useUnicode = FMyConnection->UseUnicode();

  if (!FOpenNext) {
    std::string text;
    if (GetParamCount() > 0 && FSQL.find('?') != std::string::npos)
      text = PlaceParamValues();
    else
      text = EncodeSQL(FSQL);
    if (FOnExecute) FOnExecute(useUnicode ? Utf8ToAnsi(text) : text);
    Check(api.mysql_real_query(h, text.data(), text.size()));
  }

  FRowsAffectedPrev = FRowsAffected;
  FRowsAffected = CalcRowsAffected();
  FStatementRows.assign(1, FRowsAffected);

  if (!FRequestResultset) {
    if (direct) TMySQLAPIDirect::Session(h)->FSkipPacket = false;
    if (PMYSQL_RES r = api.mysql_use_result(h)) api.mysql_free_result(r);
    if (FMyConnection->IsClient41()) {
      // The further results are read and freed; the count stays the first
      // statement's.
      int rc;
      while ((rc = api.mysql_next_result(h)) == 0) {
        FStatementRows.push_back(api.mysql_affected_rows(h));
        if (PMYSQL_RES r = api.mysql_use_result(h)) api.mysql_free_result(r);
      }
      if (rc > 0) Check(rc);
    }
    FCursorState = csInactive;
    return;
  }

  FResultAPI = &api;
  FSQLResult = api.mysql_use_result(h);
  Check();
  if (FMyConnection->IsClient41()) {
    while (!FSQLResult && api.mysql_more_results(h)) {
      const int rc = api.mysql_next_result(h);
      if (rc > 0) {
        FCursorState = csInactive;
        Check(rc);
      }
      if (rc < 0) break;
      FRowsAffectedPrev = FRowsAffected;
      FRowsAffected = CalcRowsAffected();
      FStatementRows.push_back(FRowsAffected);
      FSQLResult = api.mysql_use_result(h);
      Check();
    }
  }
  FCursorState = FSQLResult ? csExecuted : csInactive;
}

void TMySQLCommand::DoExecutePrepared() {
  if (!Fstmt || !FStmtAPI) throw EMyError(2029, GetError(2029), FComponent);
  TMySQLAPI& api = *FStmtAPI;
  PMYSQL_CON h = Session();
  // The statement reads every result of a CALL itself.
  if (FMyConnection->MySQLAPI() == MyAPIDirect) TMySQLAPIDirect::Session(h)->FSkipPacket = false;
  FreeSQLResult();
  PlaceholderParams(FExecParams);
  if (FOnExecute) FOnExecute(FSQL);
  const bool sendCompressed = FCompressBlob == cbServer || FCompressBlob == cbClientServer;
  CheckStmt(api._mysql_stmt_execute(Fstmt, FExecParams, FMyConnection->UseUnicode(), sendCompressed));
  FRowsAffectedPrev = FRowsAffected;
  FRowsAffected = api.mysql_stmt_affected_rows(Fstmt);
  const bool rows = api.mysql_stmt_field_count(Fstmt) > 0;
  if (FRequestResultset && rows) {
    FResultAPI = &api;
    FSQLResult = api.mysql_stmt_result_metadata(Fstmt);
    FCursorState = FSQLResult ? csExecuted : csInactive;
    Check();
  } else {
    FCursorState = csInactive;
    CheckStmt(api.mysql_stmt_free_result(Fstmt));
  }
}

void TMySQLCommand::CheckStmt(int status) {
  if (status == 0) return;
  if (!Fstmt || !FStmtAPI) throw EMyError(2029, GetError(2029), FComponent);
  const int code = static_cast<int>(FStmtAPI->mysql_stmt_errno(Fstmt));
  std::string msg = FStmtAPI->mysql_stmt_error(Fstmt);
  if (FMyConnection && FMyConnection->UseUnicode()) msg = Utf8ToAnsi(msg);
  EMyError e(code != 0 ? code : status, std::move(msg), FComponent);
  if (FMyConnection) FMyConnection->RaiseError(e);
  throw e;
}

void TMySQLCommand::CloseStmt() noexcept {
  PMYSQL_STMT stmt = Fstmt;
  TMySQLAPI* api = FStmtAPI;
  Fstmt = nullptr;
  FStmtAPI = nullptr;
  if (!stmt || !api) return;
  try {
    api->mysql_stmt_close(stmt);
  } catch (...) {
  }
}

void TMySQLCommand::Prepare() {
  if (FPrepared) return;
  if (!FMyConnection) throw EDAError("The command has no connection");
  if (!FMyConnection->MySQLAPI() || !FMyConnection->IsClient41())
    throw EDAError("Prepare/UnPrepare is not supported by this MySQL client version");
  if (!FMyConnection->IsServer41()) throw EDAError("Prepare/UnPrepare is not supported by this MySQL server version");
  TMySQLAPI& api = API();
  PMYSQL_CON h = Session();
  PMYSQL_STMT stmt = api.mysql_stmt_init(h);
  Check(stmt);
  Fstmt = stmt;
  FStmtAPI = &api;
  try {
    api.SetTimeout(h, FCommandTimeout);
    const std::string text = EncodeSQL(FSQL);
    CheckStmt(api.mysql_stmt_prepare(stmt, text.data(), text.size()));
  } catch (...) {
    // A failed prepare leaves no statement behind.
    CloseStmt();
    throw;
  }
  FPrepared = true;
  TKxCommand::Prepare();
}

void TMySQLCommand::Unprepare() {
  FreeSQLResult();
  CloseStmt();
  FPrepared = false;
  TKxCommand::Unprepare();
}

void TMySQLCommand::BreakExec() {
  TMySQLConnection killer;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(FBreakExecCS);
    if (!Executing() || !FMyConnection) return;
    TKxCommand::BreakExec();
    FWaitForBreak.store(true, std::memory_order_release);
    generation = FExecGeneration;
    killer.Assign(*FMyConnection);
  }
  try {
    // A bare session is enough for KILL: no error handling of the
    // owner's, no character set, no mode query.
    killer.SetOnError(nullptr);
    killer.SetComponent(nullptr);
    killer.SetProp(prUseUnicode, false);
    killer.SetProp(prCharset, std::string());
    killer.SetProp(prCheckBackslashes, false);
    killer.Connect("");
    std::lock_guard<std::mutex> guard(FBreakExecCS);
    // The execution ended (or another began) while connecting: its session
    // is idle or runs a statement nobody asked to cancel.
    if (!Executing() || FExecGeneration != generation) return;
    const std::string sql = "KILL " + std::to_string(FThreadId.load(std::memory_order_acquire));
    killer.MySQLAPI()->mysql_real_query(killer.MySQL(), sql.data(), sql.size());
  } catch (...) {
    // The cancel is best effort: the statement then runs to its end.
  }
}

// ---- properties

bool TMySQLCommand::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prCanReadParams:
      FCanReadParams = value.AsBoolean();
      return true;
    case prIsStoredProc:
      FStoredProc = value.AsBoolean();
      return true;
    case prCommandTimeout:
      FCommandTimeout = value.AsInt32();
      return true;
    case prParamPosition:
      FParamPositions.push_back(value.AsInt32());
      FPositionsExternal = true;
      return true;
    case prFillParamPosition:
      FFillParamPosition = value.AsBoolean();
      if (FFillParamPosition) {
        FParamPositions.clear();
        FPositionsExternal = true;
      }
      return true;
    default:
      return TKxCommand::SetProp(prop, value);
  }
}

bool TMySQLCommand::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prRowsProcessed: {
      std::int64_t n = FIsSelectParams ? FRowsAffectedPrev : FRowsAffected;
      value = n < 0 ? std::int64_t{0} : n;
      return true;
    }
    case prStatementRowsAffected: {
      Variant::Array counts;
      for (std::int64_t n : FStatementRows) counts.emplace_back(n);
      value = Variant::FromArray(std::move(counts));
      return true;
    }
    case prCanReadParams:
      value = FCanReadParams;
      return true;
    case prIsSelectParams:
      value = FIsSelectParams;
      return true;
    default:
      return TKxCommand::GetProp(prop, value);
  }
}

// ---- stored procedures and functions

std::uint16_t TMySQLCommand::TypeNameToDataType(const std::string& typeName, const std::string& paramList) {
  static const struct {
    const char* Name;
    std::uint16_t Type;
  } map[] = {{"BIT", dtBoolean},         {"TINYINT", dtInt8},         {"SMALLINT", dtInt16},
             {"MEDIUMINT", dtInt32},     {"INT", dtInt32},            {"INTEGER", dtInt32},
             {"BIGINT", dtInt64},        {"DOUBLE", dtFloat},         {"FLOAT", dtFloat},
             {"DECIMAL", dtFloat},       {"NUMERIC", dtFloat},        {"CHAR", dtString},
             {"NCHAR", dtString},        {"VARCHAR", dtString},       {"NVARCHAR", dtString},
             {"ENUM", dtString},         {"SET", dtString},           {"DATE", dtDate},
             {"TIME", dtTime},           {"TIMESTAMP", dtDateTime},   {"DATETIME", dtDateTime},
             {"YEAR", dtUInt16},         {"BOOL", dtInt8},            {"BOOLEAN", dtInt8},
             {"BINARY", dtBytes},        {"VARBINARY", dtVarBytes},   {"TINYBLOB", dtBlob},
             {"BLOB", dtBlob},           {"MEDIUMBLOB", dtBlob},      {"LONGBLOB", dtBlob},
             {"GEOMETRY", dtBlob},       {"POINT", dtBlob},           {"LINESTRING", dtBlob},
             {"POLYGON", dtBlob},        {"GEOMETRYCOLLECTION", dtBlob}, {"MULTIPOINT", dtBlob},
             {"MULTILINESTRING", dtBlob}, {"MULTIPOLYGON", dtBlob},   {"TINYTEXT", dtMemo},
             {"TEXT", dtMemo},           {"MEDIUMTEXT", dtMemo},      {"LONGTEXT", dtMemo},
             {"JSON", dtMemo}};
  const std::string upper = AsciiUpperCase(typeName);
  for (const auto& m : map)
    if (upper == m.Name) return m.Type;
  throw EDAError(Format("Unknown column type \"%s\" in \"%s\"", {typeName, paramList}));
}

std::vector<TMySPParam> TMySQLCommand::ParseParamList(std::string_view paramList) {
  std::vector<TMySPParam> result;
  auto parser = MakeParser(std::string(paramList), true);
  int code = NextToken(*parser);
  while (code != lcEnd) {
    TMySPParam p;
    // Direction.
    std::string word = AsciiUpperCase(parser->LexemView());
    if (code != lcString && (word == "IN" || word == "OUT" || word == "INOUT")) {
      p.Direction = word == "IN" ? pdInput : word == "OUT" ? pdOutput : pdInputOutput;
      code = NextToken(*parser);
    }
    // Name ("$" is kept with it).
    if (IsSymbol(*parser, code, '$')) {
      p.Name = "$";
      code = NextToken(*parser);
    }
    if (code == lcEnd) break;
    p.Name += MySQLInfo().UnQuote(parser->LexemView());
    code = NextToken(*parser);
    // Type.
    if (code == lcEnd || IsSymbol(*parser, code, ',')) {
      result.push_back(std::move(p));
      if (code != lcEnd) code = NextToken(*parser);
      continue;
    }
    p.TypeName = AsciiUpperCase(parser->LexemView());
    p.TypeText = p.TypeName;
    code = NextToken(*parser);
    if (IsSymbol(*parser, code, '(')) {
      // Size, or precision and scale; anything else (ENUM values) skipped.
      std::vector<std::int32_t> numbers;
      bool numeric = true;
      int depth = 1;
      while (depth > 0) {
        code = NextToken(*parser);
        if (code == lcEnd) break;
        if (IsSymbol(*parser, code, '(')) ++depth;
        else if (IsSymbol(*parser, code, ')')) --depth;
        else if (code == lcNumber) numbers.push_back(SizeOf(parser->LexemView()));
        else if (!IsSymbol(*parser, code, ',')) numeric = false;
      }
      if (numeric && !numbers.empty()) {
        p.Size = numbers[0];
        if (p.TypeName == "DECIMAL" || p.TypeName == "NUMERIC") {
          p.TypeText += "(" + std::to_string(numbers[0]);
          if (numbers.size() > 1) p.TypeText += "," + std::to_string(numbers[1]);
          p.TypeText += ")";
        }
      }
      if (code != lcEnd) code = NextToken(*parser);
    }
    // Attributes up to the next declaration.
    int depth = 0;
    while (code != lcEnd && !(depth == 0 && IsSymbol(*parser, code, ','))) {
      if (code != lcString && AsciiUpperCase(parser->LexemView()) == "UNSIGNED") p.Unsigned = true;
      if (IsSymbol(*parser, code, '(')) ++depth;
      if (IsSymbol(*parser, code, ')')) --depth;
      code = NextToken(*parser);
    }
    result.push_back(std::move(p));
    if (code != lcEnd) code = NextToken(*parser);
  }
  return result;
}

std::vector<TMySPParam> TMySQLCommand::DescribeParams(const std::string& paramList, bool isFunction,
                                                      const std::string& returns) {
  const bool useUnicode = FMyConnection && FMyConnection->UseUnicode();
  auto add = [&](const TMySPParam& info, TParamDirection direction, const std::string& name) {
    std::uint16_t type = TypeNameToDataType(info.TypeName, paramList);
    const bool isString = type == dtString;
    if (info.Size > 0 && type == dtInt8) type = dtBoolean;
    if (useUnicode && type == dtString) type = dtWideString;
    if (useUnicode && type == dtMemo) type = dtWideMemo;
    TParamDesc& p = AddParam();
    p.SetName(name);
    p.SetParamType(direction);
    p.SetDataType(type);
    if (isString && info.Size > 0) p.SetSize(info.Size);
  };

  ClearParams();
  if (isFunction) {
    std::vector<TMySPParam> ret = ParseParamList("Result " + returns);
    if (ret.empty() || ret[0].TypeName.empty())
      throw EDAError(Format("Unknown column type \"%s\" in \"%s\"", {returns, paramList}));
    add(ret[0], pdResult, "Result");
  }
  std::vector<TMySPParam> params = ParseParamList(paramList);
  for (const TMySPParam& info : params) add(info, info.Direction, info.Name);
  return params;
}

std::string TMySQLCommand::ReadBackExpression(const TMySPParam& param, const std::string& variable,
                                              const std::string& alias) {
  const std::string& t = param.TypeName;
  std::string cast;
  if (t == "TINYINT" || t == "SMALLINT" || t == "MEDIUMINT" || t == "INT" || t == "INTEGER" || t == "BIGINT")
    cast = param.Unsigned ? "UNSIGNED" : "SIGNED";
  else if (t == "YEAR")
    cast = "UNSIGNED";
  else if (t == "DATE" || t == "TIME" || t == "DATETIME")
    cast = t;
  else if (t == "TINYBLOB" || t == "BLOB" || t == "MEDIUMBLOB" || t == "LONGBLOB")
    cast = "BINARY";
  else if (t == "DECIMAL" || t == "NUMERIC")
    cast = param.TypeText;
  if (cast.empty()) return variable + " AS " + alias;
  return "CAST(" + variable + " AS " + cast + ") AS " + alias;
}

namespace {

// A column alias holding `name` exactly: single quotes with doubled quotes,
// or back-quotes where a backslash would be read differently by the two
// escaping modes.
std::string AliasOf(const std::string& name) {
  if (name.find('\\') != std::string::npos) return TMySQLInfo::QuoteIdentifier(name);
  std::string out = "'";
  for (char c : name) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace

void TMySQLCommand::BuildProcCall(const std::string& name, bool isFunction, const std::vector<TMySPParam>& params,
                                  const TSQLInfo& info, std::string& sql, std::string& userSQL) {
  std::string call = (isFunction ? "SELECT " : "CALL ") + name + "(";
  std::string userCall = call;
  std::string set, userSet, select;
  bool first = true;
  for (const TMySPParam& p : params) {
    if (!first) {
      call += ", ";
      userCall += ", ";
    }
    first = false;
    if (p.Direction == pdInput || p.Direction == pdUnknown) {
      call += "?";
      userCall += ":" + p.Name;
      continue;
    }
    // The name comes from the server's definition: one identifier, quoted
    // whole unless it is plain, never taken as already quoted.
    const std::string variable = "@" + info.IdentifierOf(p.Name);
    call += variable;
    userCall += variable;
    if (p.Direction == pdInputOutput) {
      if (!set.empty()) {
        set += ", ";
        userSet += ", ";
      }
      set += variable + " = ?";
      userSet += variable + " = :" + p.Name;
    }
    if (!select.empty()) select += ", ";
    select += ReadBackExpression(p, variable, AliasOf("@" + p.Name));
  }
  call += ")";
  userCall += ")";
  sql.clear();
  userSQL.clear();
  if (!set.empty()) {
    sql = "SET " + set + "; ";
    userSQL = "SET " + userSet + "; ";
  }
  sql += call;
  userSQL += userCall;
  if (!select.empty()) {
    sql += "; SELECT " + select;
    userSQL += "; SELECT " + select;
  }
}

namespace {

// Runs a query through a command of its own and returns its rows as text.
TTextRows QueryRows(TMySQLConnection& connection, TComponent* component, const std::string& sql) {
  TMySQLCommand command;
  command.SetConnection(&connection);
  command.SetComponent(component);
  command.SetProp(prDisableParamScan, true);
  command.SetProp(prCommandTimeout, connection.ConnectionTimeout());
  command.SetRequestResultset(true);
  command.SetSQL(sql);
  command.Execute();
  TTextRows rows;
  TMySQLAPI& api = *connection.MySQLAPI();
  if (PMYSQL_RES res = command.SQLResult()) {
    const std::uint32_t n = api.mysql_num_fields(res);
    try {
      while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
        auto& r = rows.emplace_back();
        for (std::uint32_t i = 0; i < n; ++i) {
          if (api._mysql_fetch_value_is_null(row, i)) {
            r.emplace_back();
          } else {
            std::string v = api._mysql_fetch_value_str(row, i);
            r.emplace_back(connection.UseUnicode() ? Utf8ToAnsi(v) : std::move(v));
          }
        }
      }
    } catch (...) {
      command.FreeSQLResult();
      throw;
    }
    const std::uint32_t err = api.mysql_errno(connection.MySQL());
    command.FreeSQLResult();
    if (err != 0) connection.MySQLError(component);
  }
  return rows;
}

// The text of a parenthesised block starting at the "(" the parser has just
// read (exclusive), and the position after its ")".
std::string CutBlock(TSQLParser& parser, const std::string& text, std::size_t& after) {
  const auto begin = static_cast<std::size_t>(parser.CurrPos());
  int depth = 1;
  for (;;) {
    const int code = NextToken(parser);
    if (code == lcEnd) break;
    if (IsSymbol(parser, code, '(')) ++depth;
    if (IsSymbol(parser, code, ')') && --depth == 0) {
      const auto end = static_cast<std::size_t>(parser.LexemPos());
      after = end + 1;
      return text.substr(begin, end - begin);
    }
  }
  after = text.size();
  return text.substr(std::min(begin, text.size()));
}

}  // namespace

void TMySQLCommand::GetSPParams(const std::string& name, bool& isFunction, std::string& paramList,
                                std::string& returns) {
  if (!FMyConnection) throw EDAError("The command has no connection");
  TMySQLConnection& c = *FMyConnection;
  const TMySQLInfo& info = MySQLInfo();
  std::string database, object;
  info.SplitObjectName(name, database, object);
  database = database.empty() ? c.Database() : info.NormalizeName(database, false, true);
  object = info.NormalizeName(object, false, true);
  isFunction = false;
  paramList.clear();
  returns.clear();

  // Values are written as literals for the 8-bit text; the whole statement
  // is encoded when it is sent.
  auto lit = [&](const std::string& v) {
    std::string out;
    AppendValueToSQL(out, dtString, Variant(v), false, false, false, c.NeedBackslashes(), c.ServerPrimaryVer(),
                     c.UseUnicode() ? std::string() : c.Charset());
    return out;
  };

  const bool oldServer = c.ServerPrimaryVer() == 5 && c.ServerMinorVer() == 0 && c.ServerReleaseVer() <= 3;
  if (oldServer || c.Embedded()) {
    const std::string base = "SELECT type, returns, param_list FROM mysql.proc WHERE (name = " + lit(object);
    TTextRows rows = QueryRows(c, FComponent, base + ") AND (db = " + lit(database) + ")");
    if (rows.empty())
      rows = QueryRows(c, FComponent, base + ") AND (LOWER(db) = " + lit(AsciiLowerCase(database)) + ")");
    if (rows.empty() || rows[0].size() < 3)
      throw EDAError(Format("Routine %s not found", {name}));
    isFunction = AsciiUpperCase(rows[0][0].value_or("")) == "FUNCTION";
    returns = rows[0][1].value_or("");
    paramList = rows[0][2].value_or("");
    return;
  }

  const std::string base =
      "SELECT ROUTINE_TYPE FROM INFORMATION_SCHEMA.ROUTINES WHERE (ROUTINE_NAME = " + lit(object);
  TTextRows rows = QueryRows(c, FComponent, base + ") AND (ROUTINE_SCHEMA = " + lit(database) + ")");
  if (rows.empty())
    rows = QueryRows(c, FComponent, base + ") AND (LOWER(ROUTINE_SCHEMA) = " + lit(AsciiLowerCase(database)) + ")");
  if (!rows.empty() && !rows[0].empty()) isFunction = AsciiUpperCase(rows[0][0].value_or("")) == "FUNCTION";

  std::string fullName = TMySQLInfo::QuoteIdentifier(object);
  if (!database.empty()) fullName = TMySQLInfo::QuoteIdentifier(database) + "." + fullName;
  TTextRows source = QueryRows(c, FComponent,
                           std::string(isFunction ? "SHOW CREATE FUNCTION " : "SHOW CREATE PROCEDURE ") + fullName);
  if (source.empty() || source[0].size() < 3 || !source[0][2])
    throw EDAError(Format("Cannot read the parameters of routine %s: its definition is not visible to this user",
                          {name}));
  const std::string& text = *source[0][2];

  // The parameter block follows the routine's name after PROCEDURE or
  // FUNCTION; RETURNS follows the block.
  auto parser = MakeParser(text, c.NeedBackslashes());
  int code = NextToken(*parser);
  while (code != lcEnd && !(code != lcString && (AsciiUpperCase(parser->LexemView()) == "PROCEDURE" ||
                                                 AsciiUpperCase(parser->LexemView()) == "FUNCTION")))
    code = NextToken(*parser);
  while (code != lcEnd && !IsSymbol(*parser, code, '(')) code = NextToken(*parser);
  if (code == lcEnd) throw EDAError(Format("Cannot read the parameters of routine %s", {name}));
  std::size_t after = 0;
  paramList = CutBlock(*parser, text, after);
  if (isFunction) {
    code = NextToken(*parser);
    while (code != lcEnd && !(code != lcString && AsciiUpperCase(parser->LexemView()) == "RETURNS"))
      code = NextToken(*parser);
    if (code != lcEnd) returns = std::string(TrimView(std::string_view(text).substr(
                            static_cast<std::size_t>(parser->CurrPos()))));
  }
}

std::string TMySQLCommand::CreateProcCall(const std::string& name, bool needDescribe, bool /*isQuery*/) {
  bool isFunction = false;
  std::string paramList, returns;
  std::vector<TMySPParam> declared;
  if (needDescribe || GetParamCount() > 0) GetSPParams(name, isFunction, paramList, returns);
  if (needDescribe) {
    declared = DescribeParams(paramList, isFunction, returns);
  } else if (GetParamCount() > 0) {
    declared = ParseParamList(paramList);
  }
  // Output values are set and read back by statements around the call.
  const bool around = std::any_of(declared.begin(), declared.end(), [](const TMySPParam& p) {
    return p.Direction != pdInput && p.Direction != pdUnknown;
  });
  if (around && FMyConnection && !FMyConnection->MultiStatements())
    throw EDAError(Format("The output parameters of routine %s need multi-statement texts: turn MultiStatements on",
                          {name}));
  const TSQLInfo& info = GetSQLInfo();
  const std::string callName = info.NormalizeName(name, FQuoteNames, false);
  std::string sql, userSQL;
  BuildProcCall(callName, isFunction, declared, info, sql, userSQL);
  FUserSQL = userSQL;
  FSQL = sql;
  FParamPositions.clear();
  FPositionsSQL.clear();
  FPositionsExternal = false;
  FCachedSQLValid = false;
  return userSQL;
}

// ---- output parameters

void TMySQLCommand::ReadOutParams(const std::function<int(std::string_view name)>& findField,
                                  const std::function<Variant(int index)>& fieldValue) {
  for (const auto& pp : FParams) {
    if (!pp) continue;
    TParamDesc& p = *pp;
    int index = -1;
    if (p.ParamType() == pdOutput || p.ParamType() == pdInputOutput)
      index = findField("@" + p.Name());
    else if (p.ParamType() == pdResult)
      index = 0;
    if (index < 0) continue;
    Variant v = fieldValue(index);
    if (v.IsNullOrEmpty()) {
      p.SetNull(true);
      continue;
    }
    if (v.VarType() != varSharedObject) {
      p.SetValue(v);
      continue;
    }
    TSharedRef<TSharedObject> obj = v.AsSharedObject();
    auto* blob = dynamic_cast<TBlob*>(obj.Get());
    if (!blob) throw EDAError("Data type is not supported");
    switch (p.DataType()) {
      case dtBlob:
      case dtMemo:
      case dtWideMemo: {
        TSharedRef<TBlob> copy = NewShared<TBlob>(p.DataType() == dtWideMemo);
        if (p.DataType() == dtWideMemo)
          copy->SetAsWideString(blob->AsWideString());
        else if (p.DataType() == dtMemo)
          copy->SetAsAnsiString(blob->AsAnsiString());
        else
          copy->SetAsBytes(blob->AsBytes());
        p.SetObject(copy.Get());
        break;
      }
      case dtWideString:
      case dtExtWideString:
        p.SetValue(Variant(blob->AsWideString()));
        break;
      case dtBytes:
      case dtVarBytes:
      case dtExtVarBytes:
        p.SetValue(Variant::FromBytes(blob->AsBytes()));
        break;
      default:
        p.SetValue(Variant(blob->AsAnsiString()));
        break;
    }
  }
  FCanReadParams = true;
  FIsSelectParams = true;
  if (FReadParams) FReadParams();
}

}  // namespace lumo
