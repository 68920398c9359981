#include "support/FakeProvider.h"

#include <algorithm>

namespace lumo::test {

// ---- FakeServer ---------------------------------------------------------------------------

FakeServer& FakeServer::On(const std::string& sql, FakeResult result) {
  FScript[sql] = std::move(result);
  return *this;
}

FakeServer& FakeServer::OnRows(const std::string& sql, std::vector<FakeColumn> columns,
                               std::vector<std::vector<Variant>> rows) {
  FakeResult r;
  r.Columns = std::move(columns);
  r.Rows = std::move(rows);
  return On(sql, std::move(r));
}

FakeServer& FakeServer::OnAffected(const std::string& sql, std::int64_t rows) {
  FakeResult r;
  r.RowsAffected = rows;
  return On(sql, std::move(r));
}

FakeServer& FakeServer::OnError(const std::string& sql, std::string message, int code) {
  FakeResult r;
  r.Error = std::move(message);
  r.ErrorCode = code;
  return On(sql, std::move(r));
}

std::vector<std::string> FakeServer::Log() const {
  std::vector<std::string> log;
  log.reserve(FStatements.size());
  for (const FakeStatement& s : FStatements) log.push_back(s.SQL);
  return log;
}

const FakeResult& FakeServer::Execute(const FakeStatement& statement, bool sessionAlive) {
  if (!sessionAlive) throw EFakeError("Lost connection to MySQL server during query", 2013);
  FStatements.push_back(statement);
  if (BeforeExecute) BeforeExecute(statement.SQL);
  auto it = FScript.find(statement.SQL);
  const FakeResult& r = it == FScript.end() ? DefaultResult : it->second;
  if (!r.Error.empty()) throw EFakeError(r.Error, r.ErrorCode);
  return r;
}

// ---- FakeConnection -----------------------------------------------------------------------

std::unique_ptr<TKxCommand> FakeConnection::CreateCommand() { return std::make_unique<FakeCommand>(); }

std::unique_ptr<TKxTransaction> FakeConnection::CreateTransaction() { return std::make_unique<FakeTransaction>(); }

void FakeConnection::Connect(const std::string& connectString) {
  ++FServerScript->Connects;
  if (FServerScript->OnConnect) {
    try {
      FServerScript->OnConnect();
    } catch (const EFakeError& e) {
      RaiseError(e);
    }
  }
  auto session = std::make_shared<FakeSession>();
  session->Server = FServerScript;
  session->Generation = FServerScript->Generation();
  FSession = std::move(session);
  FNativeConnection = true;
  FConnected = true;
  TKxConnection::Connect(connectString);
}

void FakeConnection::Disconnect() {
  if (!FConnected) return;
  if (FNativeConnection) ++FServerScript->Disconnects;
  FSession.reset();
  FConnected = false;
}

void FakeConnection::AssignConnect(TKxConnection* source) {
  if (FConnected && FNativeConnection) Disconnect();
  auto* fake = dynamic_cast<FakeConnection*>(source);
  if (source && !fake) throw Exception("FakeConnection can only take over a FakeConnection");
  FSession = fake ? fake->FSession : nullptr;
  FConnected = FSession != nullptr;
  FNativeConnection = FSession == nullptr;
}

bool FakeConnection::CheckIsValid() {
  FIsValid = FSession && FSession->Alive();
  return FIsValid;
}

const FakeResult& FakeConnection::Run(const FakeStatement& statement) {
  try {
    if (!FConnected || !FSession) throw EFakeError("Not connected", 2006);
    return FServerScript->Execute(statement, FSession->Alive());
  } catch (const EFakeError& e) {
    RaiseError(e);
  }
}

void FakeConnection::RaiseError(const EFakeError& e) {
  if (!FOnError) throw e;
  bool fail = true;
  DoError(e, fail);
  if (fail) throw e;
  Abort();
}

// ---- FakeTransaction ----------------------------------------------------------------------

void FakeTransaction::RunOnAll(const std::string& sql) {
  for (TKxConnection* c : FConnections) {
    FakeStatement s;
    s.SQL = sql;
    static_cast<FakeConnection*>(c)->Run(s);
  }
}

bool FakeTransaction::CanRestoreAfterFailover() {
  return !FConnections.empty() && static_cast<FakeConnection*>(FConnections.front())->Server().RestorableTransactions;
}

void FakeTransaction::StartTransaction() {
  CheckInactive();
  RunOnAll("START TRANSACTION");
  FActive = true;
}

void FakeTransaction::Commit() {
  CheckActive();
  RunOnAll("COMMIT");
  FActive = false;
}

void FakeTransaction::Rollback() {
  CheckActive();
  RunOnAll("ROLLBACK");
  FActive = false;
}

void FakeTransaction::Savepoint(const std::string& name) {
  CheckActive();
  RunOnAll("SAVEPOINT " + name);
}

void FakeTransaction::RollbackToSavepoint(const std::string& name) {
  CheckActive();
  RunOnAll("ROLLBACK TO SAVEPOINT " + name);
}

const TConverterManager& FakeMapRules::GetConverterManager() const {
  static const TConverterManager manager;
  return manager;
}

// ---- FakeCommand --------------------------------------------------------------------------

FakeConnection& FakeCommand::CheckConnection() {
  auto* c = dynamic_cast<FakeConnection*>(FConnection);
  if (!c) throw Exception("FakeCommand needs a FakeConnection");
  return *c;
}

void FakeCommand::Prepare() {
  CheckConnection();
  TKxCommand::Prepare();
  FPrepared = true;
}

void FakeCommand::Unprepare() {
  TKxCommand::Unprepare();
  FPrepared = false;
}

void FakeCommand::Execute(int) {
  FakeConnection& conn = CheckConnection();
  // A result not yet read is the one a record set opens next (as a
  // provider's command does).
  if (FCursorState == csExecuted) return;
  if (FReadParams) FReadParams();
  FakeStatement statement;
  statement.SQL = FSQL;
  for (int i = 0; i < GetParamCount(); ++i) {
    TParamDesc& p = GetParam(i);
    statement.ParamNames.push_back(p.Name());
    statement.ParamValues.push_back(p.GetNull() ? Variant::Null() : p.GetValue());
  }
  ClearBreakExec();
  SetExecuting(true);
  FCursorState = csExecuting;
  try {
    FResult = conn.Run(statement);
  } catch (...) {
    SetExecuting(false);
    FCursorState = FPrepared ? csPrepared : csInactive;
    if (FAfterExecute) FAfterExecute(false);
    throw;
  }
  ++FExecutions;
  SetExecuting(false);
  // Like a provider's: a statement without rows leaves nothing to read.
  FCursorState = FResult->Columns.empty() ? (FPrepared ? csPrepared : csInactive) : csExecuted;
  if (FAfterExecute) FAfterExecute(true);
}

std::string FakeCommand::CreateProcCall(const std::string& name, bool, bool) {
  std::string sql = "CALL " + GetSQLInfo().NormalizeName(name) + "(";
  for (int i = 0; i < GetParamCount(); ++i) sql += i ? ", ?" : "?";
  return sql + ")";
}

bool FakeCommand::GetProp(int prop, Variant& value) {
  if (prop == prRowsProcessed) {
    value = RowsAffected();
    return true;
  }
  return TKxCommand::GetProp(prop, value);
}


// ---- FakeRecordSet ------------------------------------------------------------------------

void FakeRecordSet::ExecCommand() {
  TKxRecordSet::ExecCommand();
  FRowLow = FRowPos = 0;
  const auto& r = Command().Result();
  FCommandType = r && !r->Columns.empty() ? ctCursor : ctStatement;
}

void FakeRecordSet::InternalInitFields() {
  const auto& r = Command().Result();
  if (!r) return;
  for (const FakeColumn& c : r->Columns) {
    auto d = std::make_unique<TKxFieldDesc>();
    d->SetName(c.Name);
    d->SetActualName(c.Name);
    d->SetDataType(c.DataType);
    d->SetLength(static_cast<std::uint16_t>(c.Length));
    d->SetScale(static_cast<std::uint16_t>(c.Scale));
    d->SetRequired(c.Required);
    d->SetReadOnly(c.ReadOnly);
    d->SetDBType(c.DBType);
    d->SetDBLength(c.Length);
    d->SetDBScale(c.Scale);
    Fields().Add(std::move(d));
  }
}

bool FakeRecordSet::Fetch(bool fetchBack) {
  FakeCommand& cmd = Command();
  const auto& r = cmd.Result();
  if (!r || r->Columns.empty()) return false;
  if (fetchBack ? !FetchBackRows || FRowLow == 0 : FNoData) return false;
  bool cancel = false;
  DoBeforeFetch(cancel);
  if (cancel) return false;
  if (!fetchBack && FRowPos >= r->Rows.size()) {
    FNoData = true;
    cmd.SetCursorState(csFetched);
    return false;
  }
  ++FFetches;
  if (cmd.GetCursorState() < csFetching) cmd.SetCursorState(csFetching);
  const std::size_t rows = static_cast<std::size_t>(FFetchRows);
  if (fetchBack) {
    const std::size_t n = std::min(rows, FRowLow);
    FillBlock(FRowLow - n, n, true);
    FRowLow -= n;
  } else {
    const std::size_t n = std::min(rows, r->Rows.size() - FRowPos);
    if (KeepNewestBlock) {
      ReleaseFetchedRows();
      FRowLow = FRowPos;
    }
    FillBlock(FRowPos, n, false);
    FRowPos += n;
    if (FRowPos >= r->Rows.size()) {
      FNoData = true;
      cmd.SetCursorState(csFetched);
    }
  }
  DoAfterFetch();
  return true;
}

void FakeRecordSet::FillBlock(std::size_t from, std::size_t n, bool fetchBack) {
  const auto& r = *Command().Result();
  TBlockHeader* block = AllocFetchBlock(static_cast<std::uint32_t>(FFetchRows));
  std::size_t initialised = 0;
  try {
    for (std::size_t i = 0; i < n; ++i) {
      void* rec = TBlockManager::GetRecordPtr(BlockMan().BlockItem(block, static_cast<std::uint32_t>(i)));
      InitRecord(rec);
      ++initialised;
      const std::vector<Variant>& row = r.Rows[fetchBack ? from + n - 1 - i : from + i];
      for (std::size_t f = 0; f < row.size() && static_cast<int>(f) < FieldCount(); ++f)
        PutFieldAsVariant(static_cast<int>(f) + 1, rec, row[f], true);
    }
  } catch (...) {
    for (std::size_t i = 0; i < initialised; ++i)
      FreeComplexFields(TBlockManager::GetRecordPtr(BlockMan().BlockItem(block, static_cast<std::uint32_t>(i))), true);
    LinkFetchedItems(block, 0, false);
    throw;
  }
  CreateBlockStruct(block, static_cast<int>(n), fetchBack);
}

std::vector<std::vector<Variant>> FakeRecordSet::Rows() {
  std::vector<std::vector<Variant>> rows;
  TRecBuf buf = AllocRecBuf();
  SetToBegin();
  for (;;) {
    GetNextRecord(buf.get());
    if (GetEOF()) break;
    std::vector<Variant> row;
    for (int f = 1; f <= FieldCount(); ++f) row.push_back(GetFieldAsVariant(f, buf.get()));
    rows.push_back(std::move(row));
  }
  return rows;
}


}  // namespace lumo::test
