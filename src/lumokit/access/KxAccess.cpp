#include <lumokit/access/KxAccess.h>

#include <algorithm>
#include <exception>

#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/data/KxBlob.h>

namespace lumo {

namespace {

const char* const SNotSupported = "Operation is not supported by the database";
const char* const SMTSNotSupported = "MS DTC transactions not supported";

// The next lexeme; a byte the lexer does not know has been consumed and is
// copied with the text around it.
int NextLexem(TSQLParser& p) {
  for (;;) {
    try {
      return p.GetNextToken();
    } catch (const EParserError&) {
    }
  }
}

bool IsSymbolText(TSQLParser& p, int code, char ch) {
  if (code != lcSymbol && !(code > 0 && p.IsSymbolCode(code))) return false;
  std::string_view v = p.LexemView();
  return v.size() == 1 && v[0] == ch;
}

}  // namespace

void UnknownPropError(int prop) {
  AssertionFailure(__FILE__, __LINE__, Format("Unknown property code %d", {prop}));
}

// ---- TKxConnection ------------------------------------------------------------------------

TKxConnection::TKxConnection() : FClock(&DefaultClock()) {}

TKxConnection::~TKxConnection() = default;

std::unique_ptr<TSQLInfo> TKxConnection::CreateSQLInfo() { return CreateCommand()->CreateSQLInfo(); }

TSQLInfo& TKxConnection::GetSQLInfo() {
  if (!FSQLInfo) FSQLInfo = CreateSQLInfo();
  return *FSQLInfo;
}

std::unique_ptr<TKxMapRules> TKxConnection::CreateDataTypeMap() { return CreateCommand()->CreateMapRules(); }

TKxMapRules& TKxConnection::DataTypeMap() {
  if (!FDataTypeMap) FDataTypeMap = CreateDataTypeMap();
  return *FDataTypeMap;
}

TKxTransaction& TKxConnection::GetInternalTransaction() {
  if (!FInternalTransaction) {
    FInternalTransaction = CreateTransaction();
    FInternalTransaction->AddConnection(this);
  }
  return *FInternalTransaction;
}

void TKxConnection::Enlist(TKxTransaction&) { throw ENotSupportedError(SMTSNotSupported); }

void TKxConnection::UnEnlist(TKxTransaction&) { throw ENotSupportedError(SMTSNotSupported); }

void TKxConnection::DoError(const Exception& e, bool& fail) {
  if (FInProcessError) return;
  FInProcessError = true;
  struct TClear {
    bool& Flag;
    ~TClear() { Flag = false; }
  } clear{FInProcessError};

  int attempt = 0;
  for (;;) {
    bool reconnect = attempt > 0;
    bool reexecute = false;
    TConnLostCause cause = clUnknown;
    if (FOnError) FOnError(e, fail, reconnect, reexecute, attempt, cause);

    if (reconnect) {
      FReconnected = false;
      if (attempt == 0) {
        try {
          Disconnect();
        } catch (...) {
        }
      }
      bool ok = false;
      try {
        Connect("");
        ok = true;
      } catch (...) {
      }
      if (ok && FOnReconnectSuccess) {
        try {
          FOnReconnectSuccess();
        } catch (...) {
          ok = false;
        }
      }
      FReconnected = ok;
      if (FReconnected && reexecute) throw EFailOver(cause, e.Message());
      ++attempt;
    } else if (attempt > 0 && !FReconnected && FOnReconnectError) {
      const bool wasConnected = FConnected;
      FConnected = true;
      try {
        FOnReconnectError();
      } catch (...) {
      }
      FConnected = wasConnected;
    }
    if (!reconnect || FReconnected) break;
  }
}

void TKxConnection::Connect(const std::string&) {
  FConnectionTime = FClock->NowMs();
  FIsValid = true;
}

void TKxConnection::SetConnected(bool value) {
  if (value && !FConnected)
    Connect("");
  else if (!value && FConnected)
    Disconnect();
}

void TKxConnection::Assign(const TKxConnection& source) {
  FServer = source.FServer;
  FUsername = source.FUsername;
  FPassword = source.FPassword;
  FEnableBCD = source.FEnableBCD;
  FEnableFMTBCD = source.FEnableFMTBCD;
  FOnError = source.FOnError;
  FIOHandler = source.FIOHandler;
}

void TKxConnection::ReturnToPool(std::unique_ptr<TKxConnection> connection) {
  LUMO_ASSERT(connection != nullptr && connection->FPool != nullptr);
  IKxConnectionPool* pool = connection->FPool;
  connection->FOnError = nullptr;
  connection->FComponent = nullptr;
  pool->PutConnection(std::move(connection));
}

bool TKxConnection::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prAutoCommit:
      FAutoCommit = value.AsBoolean();
      return true;
    case prConvertEOL:
      FConvertEOL = value.AsBoolean();
      return true;
    case prDisconnectedMode:
      FDisconnectedMode = value.AsBoolean();
      return true;
    case prEnableBCD:
      FEnableBCD = value.AsBoolean();
      return true;
    case prEnableFmtBCD:
      FEnableFMTBCD = value.AsBoolean();
      return true;
    case prDefaultSortType:
      FDefaultSortType = static_cast<TSortType>(value.AsInt32());
      return true;
    case prDatabase:
    case prPort:
      return true;
    case prHttpUrl:
      FHttpOptions.SetUrl(value.AsString());
      return true;
    case prHttpUsername:
      FHttpOptions.SetUsername(value.AsString());
      return true;
    case prHttpPassword:
      FHttpOptions.SetPassword(value.AsString());
      return true;
    case prProxyHostname:
      FHttpOptions.ProxyOptions().SetHostname(value.AsString());
      return true;
    case prProxyPort:
      FHttpOptions.ProxyOptions().SetPort(value.AsInt32());
      return true;
    case prProxyUsername:
      FHttpOptions.ProxyOptions().SetUsername(value.AsString());
      return true;
    case prProxyPassword:
      FHttpOptions.ProxyOptions().SetPassword(value.AsString());
      return true;
    default:
      UnknownPropError(prop);
  }
}

bool TKxConnection::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prUsername:
      value = FUsername;
      return true;
    case prMaxStringSize:
      value = std::int32_t(0);
      return true;
    case prLastInsertId:
      value = std::int64_t(0);
      return true;
    default:
      UnknownPropError(prop);
  }
}

// ---- TKxTransaction ------------------------------------------------------------------------

TKxTransaction::TKxTransaction() = default;

TKxTransaction::~TKxTransaction() = default;

bool TKxTransaction::AddConnection(TKxConnection* connection) {
  if (!connection || std::find(FConnections.begin(), FConnections.end(), connection) != FConnections.end())
    return false;
  FConnections.push_back(connection);
  return true;
}

bool TKxTransaction::RemoveConnection(TKxConnection* connection) {
  auto it = std::find(FConnections.begin(), FConnections.end(), connection);
  if (it == FConnections.end()) return false;
  FConnections.erase(it);
  return true;
}

TKxConnection* TKxTransaction::Connections(int index) const {
  if (index < 0 || index >= ConnectionsCount())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return FConnections[static_cast<std::size_t>(index)];
}

bool TKxTransaction::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prIsolationLevel:
      FIsolationLevel = static_cast<TKxIsolationLevel>(value.AsInt32());
      return true;
    case prTransactionReadOnly:
      FReadOnly = value.AsBoolean();
      return true;
    default:
      UnknownPropError(prop);
  }
}

bool TKxTransaction::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prIsolationLevel:
      value = static_cast<std::int32_t>(FIsolationLevel);
      return true;
    case prTransactionReadOnly:
      value = FReadOnly;
      return true;
    default:
      UnknownPropError(prop);
  }
}

bool TKxTransaction::DetectInTransaction(bool) { return GetInTransaction(); }

void TKxTransaction::AssignConnect(TKxTransaction* source) {
  FActive = source ? source->FActive : false;
  FNativeTransaction = !FActive;
}

void TKxTransaction::CommitRetaining() { throw ENotSupportedError(SNotSupported); }
void TKxTransaction::RollbackRetaining() { throw ENotSupportedError(SNotSupported); }
void TKxTransaction::Savepoint(const std::string&) { throw ENotSupportedError(SNotSupported); }
void TKxTransaction::ReleaseSavepoint(const std::string&) { throw ENotSupportedError(SNotSupported); }
void TKxTransaction::RollbackToSavepoint(const std::string&) { throw ENotSupportedError(SNotSupported); }

void TKxTransaction::Reset() { FActive = false; }

void TKxTransaction::CheckActive() const {
  if (!FActive) throw Exception("Can't perform operation on inactive transaction");
}

void TKxTransaction::CheckInactive() const {
  if (FActive) throw Exception("Can't perform operation on active transaction");
}

// ---- TMTSTransaction -------------------------------------------------------------------------

bool TMTSTransaction::AddConnection(TKxConnection* connection) {
  bool added = TKxTransaction::AddConnection(connection);
  if (added && FActive) EnlistLink(*connection);
  return added;
}

bool TMTSTransaction::RemoveConnection(TKxConnection* connection) {
  if (FActive && connection && std::find(FConnections.begin(), FConnections.end(), connection) != FConnections.end())
    UnEnlistLink(*connection);
  return TKxTransaction::RemoveConnection(connection);
}

void TMTSTransaction::StartTransaction() {
  CheckInactive();
  for (TKxConnection* c : FConnections)
    if (!c->Connected()) throw Exception("One of the connections in the transaction is not active");
  StartMTSTransaction();
  FActive = true;
  try {
    for (TKxConnection* c : FConnections) EnlistLink(*c);
  } catch (...) {
    try {
      CompleteMTSTransaction(false);
    } catch (...) {
    }
    throw;
  }
}

std::int32_t MTSIsolationFlag(TKxIsolationLevel level) {
  switch (level) {
    case ilReadCommitted:
      return 0x1000;
    case ilReadUnCommitted:
      return 0x100;
    case ilRepeatableRead:
      return 0x10000;
    case ilIsolated:
      return 0x100000;
    default:
      throw ENotSupportedError("Transaction isolation level is not supported with MTS");
  }
}

void TMTSTransaction::StartMTSTransaction() {
  (void)MTSIsolationFlag(FIsolationLevel);
  throw ENotSupportedError(SMTSNotSupported);
}

void TMTSTransaction::CompleteMTSTransaction(bool) {
  FActive = false;
  for (TKxConnection* c : FConnections) {
    try {
      UnEnlistLink(*c);
    } catch (...) {
    }
  }
}

void TMTSTransaction::Commit() {
  CheckActive();
  CompleteMTSTransaction(true);
}

void TMTSTransaction::Rollback() {
  CheckActive();
  CompleteMTSTransaction(false);
}

// ---- TParamDesc ------------------------------------------------------------------------------

TParamDesc::TParamDesc() = default;

TParamDesc::~TParamDesc() = default;

void TParamDesc::SetValue(const Variant& value) {
  FEncryptedBlob.Reset();
  if (FEncryptor && !value.IsNullOrEmpty())
    FData = EncryptValue(value);
  else
    FData = value;
  FIsNull = value.IsNullOrEmpty();
}

TSharedObject* TParamDesc::GetObject() const {
  if (FEncryptedBlob) return FEncryptedBlob.Get();
  if (FData.IsNullOrEmpty()) return nullptr;
  return TSharedObject::FromVariant(FData);
}

void TParamDesc::SetObject(TSharedObject* value) {
  FEncryptedBlob.Reset();
  if (!value) {
    FData = Variant::Null();
    FIsNull = true;
    return;
  }
  FData = Variant(TSharedRef<TSharedObject>::Share(value));
  FIsNull = false;
  if (FEncryptor) FEncryptedBlob = EncryptObject(*value);
}

void TParamDesc::SetNull(bool value) {
  FIsNull = value;
  if (value && FData.VarType() != varSharedObject) FData = Variant::Null();
}

void TParamDesc::Clear() {
  FData = Variant();
  FIsNull = true;
  FEncryptedBlob.Reset();
}

namespace {

[[noreturn]] void CannotEncrypt(std::uint16_t dataType) {
  throw Exception(Format("Data type cannot be encrypted: %s", {std::to_string(dataType)}));
}

}  // namespace

Variant TParamDesc::EncryptValue(const Variant& value) {
  if (value.IsNullOrEmpty()) return value;
  std::uint16_t form;
  Variant::Bytes bytes;
  std::string text;
  const void* data;
  std::int64_t size;
  switch (FDataType) {
    case dtString:
    case dtExtString:
      text = value.AsString();
      form = dtString;
      data = text.data();
      size = static_cast<std::int64_t>(text.size());
      break;
    case dtBlob:
    case dtMemo:
    case dtWideMemo:
      text = value.AsString();
      form = dtBytes;
      data = text.data();
      size = static_cast<std::int64_t>(text.size());
      break;
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes:
      if (value.IsByteArray()) {
        bytes = value.AsBytes();
        data = bytes.data();
        size = static_cast<std::int64_t>(bytes.size());
      } else {
        text = value.AsString();
        data = text.data();
        size = static_cast<std::int64_t>(text.size());
      }
      form = dtBytes;
      break;
    case dtWideString:
    case dtExtWideString: {
      std::u16string wide = value.AsWideString();
      bytes.resize(wide.size() * 2);
      for (std::size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
      }
      form = dtWideString;
      data = bytes.data();
      size = static_cast<std::int64_t>(bytes.size());
      break;
    }
    default:
      CannotEncrypt(FDataType);
  }
  Variant result = FEncryptor(data, form, size);
  return size == 0 ? value : result;
}

TSharedRef<TSharedObject> TParamDesc::EncryptObject(TSharedObject& object) {
  auto* blob = dynamic_cast<TBlob*>(&object);
  if (!blob) CannotEncrypt(FDataType);
  std::string plain;
  std::uint16_t form;
  switch (FDataType) {
    case dtBlob: {
      Variant::Bytes bytes = blob->AsBytes();
      plain.assign(bytes.begin(), bytes.end());
      form = dtBytes;
      break;
    }
    case dtMemo:
    case dtWideMemo:
      if (blob->IsUnicode()) {
        std::u16string wide = blob->AsWideString();
        plain.reserve(wide.size() * 2);
        for (char16_t c : wide) {
          plain += static_cast<char>(c & 0xFF);
          plain += static_cast<char>(c >> 8);
        }
        form = dtWideString;
      } else {
        plain = blob->AsAnsiString();
        form = dtString;
      }
      break;
    default:
      CannotEncrypt(FDataType);
  }
  auto size = static_cast<std::int64_t>(plain.size());
  Variant encrypted = FEncryptor(plain.data(), form, size);
  if (size == 0) return nullptr;  // the plain value is sent
  TSharedRef<TBlob> copy = NewShared<TBlob>(form == dtWideString);
  if (form == dtWideString)
    copy->SetAsWideString(encrypted.AsWideString());
  else if (form == dtString)
    copy->SetAsAnsiString(encrypted.AsString());
  else
    copy->SetAsBytes(encrypted.AsBytes());
  return copy;
}

TParamDesc* TParamDescs::FindParam(std::string_view name) const {
  for (const auto& p : *this)
    if (p && AnsiSameText(p->Name(), name)) return p.get();
  return nullptr;
}

TParamDesc& TParamDescs::ParamByName(std::string_view name) const {
  TParamDesc* p = FindParam(name);
  if (!p) AssertionFailure(__FILE__, __LINE__, Format("Parameter %s not found", {name}));
  return *p;
}

// ---- TKxCommand ------------------------------------------------------------------------------

TKxCommand::TKxCommand() = default;

TKxCommand::~TKxCommand() = default;

std::unique_ptr<TSQLInfo> TKxCommand::CreateSQLInfo() const { return std::make_unique<TSQLInfo>(GetParserClass()); }

std::unique_ptr<TKxTableInfo> TKxCommand::CreateTableInfo(TKxTablesInfo& owner) const {
  return std::make_unique<TKxTableInfo>(&owner);
}

TSQLInfo& TKxCommand::GetSQLInfo() {
  if (FConnection) return FConnection->GetSQLInfo();
  if (!FSQLInfo) FSQLInfo = CreateSQLInfo();
  return *FSQLInfo;
}

bool TKxCommand::ParseSQLParam(std::string& builder, TSQLParser& parser, TParamDescs* params, char leftQuote,
                               char rightQuote, const std::string& renamePrefix) {
  int code = NextLexem(parser);
  const bool at = IsSymbolText(parser, code, '@');
  if (at) code = NextLexem(parser);
  if (!params && renamePrefix.empty()) return false;
  if (code != lcIdent && code != lcNumber && !(code > 0 && !parser.IsSymbolCode(code))) return false;

  std::string name = parser.Lexem();
  if (code == lcIdent) name = GetSQLInfo().UnQuote(name, leftQuote, rightQuote);
  if (at) name = "@" + name;
  if (params) {
    auto param = CreateParamDesc();
    param->SetName(std::move(name));
    params->Add(std::move(param));
    builder += '?';
  } else {
    builder += renamePrefix;
    builder += name;
  }
  return true;
}

void TKxCommand::ParseSQL(std::string_view sql, TParamDescs* params, std::string& result,
                          const std::string& renamePrefix) {
  std::string out;
  out.reserve(sql.size() + sql.size() / 2);
  std::unique_ptr<TSQLParser> parser = GetParserClass().Create(std::string(sql));
  parser->SetOmitBlank(false);
  parser->SetOmitComment(true);
  parser->SetUppered(false);
  parser->SetQuotedString(true);
  parser->SetDecSeparator('.');
  TSQLInfo& info = GetSQLInfo();
  const char leftQuote = info.LeftQuote(), rightQuote = info.RightQuote();

  std::size_t copied = 0;  // the text before this offset is in `out`
  for (;;) {
    int code = NextLexem(*parser);
    if (code == lcEnd) break;
    if (!IsSymbolText(*parser, code, ':')) continue;
    const auto marker = static_cast<std::size_t>(parser->PrevPos());
    out.append(sql.substr(copied, marker - copied));
    copied = marker;
    // Not a parameter: the marker and what was read after it stay in the
    // text and are copied with the rest.
    if (ParseSQLParam(out, *parser, params, leftQuote, rightQuote, renamePrefix))
      copied = static_cast<std::size_t>(parser->CurrPos());
  }
  out.append(sql.substr(std::min(copied, sql.size())));
  result = std::move(out);
}

std::string TKxCommand::ParseSQL(std::string_view sql, TParamDescs* params, const std::string& renamePrefix) {
  std::string result;
  ParseSQL(sql, params, result, renamePrefix);
  return result;
}

void TKxCommand::SetSQL(const std::string& value) {
  if (value == FUserSQL) return;
  FUserSQL = value;
  ScanSQL();
}

void TKxCommand::ScanSQL() {
  if (FDisableParamScan) {
    FSQL = FUserSQL;
    return;
  }
  if (FScanParams) {
    TParamDescs params;
    std::string sql = ParseSQL(FUserSQL, &params);
    FParams = std::move(params);
    FSQL = std::move(sql);
  } else {
    TParamDescs scratch;
    FSQL = ParseSQL(FUserSQL, &scratch);
  }
}

TParamDesc& TKxCommand::AddParam() {
  FParams.Add(CreateParamDesc());
  return *FParams.Last();
}

void TKxCommand::SetCursor(TSharedObject*) { throw ENotSupportedError(SNotSupported); }

void TKxCommand::BreakExec() { FBreakExecRequested.store(true, std::memory_order_release); }

bool TKxCommand::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prAutoCommit:
      FAutoCommit = value.AsBoolean();
      return true;
    case prScanParams: {
      const bool was = FScanParams;
      FScanParams = value.AsBoolean();
      if (FScanParams && !was) ScanSQL();
      return true;
    }
    case prCompressBlobMode:
      FCompressBlob = static_cast<TCompressBlobMode>(value.AsInt32());
      return true;
    case prDisableParamScan:
      FDisableParamScan = value.AsBoolean();
      return true;
    case prQuoteNames:
      FQuoteNames = value.AsBoolean();
      return true;
    case prEnableBCD:
      FEnableBCD = value.AsBoolean();
      return true;
    case prEnableFmtBCD:
      FEnableFMTBCD = value.AsBoolean();
      return true;
    case prStoredProcIsQuery:
    case prCanReadParams:
    case prIsStoredProc:
      return true;
    default:
      UnknownPropError(prop);
  }
}

bool TKxCommand::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prExecuting:
      value = Executing();
      return true;
    case prCanReadParams:
      value = true;
      return true;
    case prIsSelectParams:
    case prUseDescribeParams:
      value = false;
      return true;
    default:
      UnknownPropError(prop);
  }
}

// ---- TKxAlerter ------------------------------------------------------------------------------

bool TKxAlerter::SetProp(int prop, const Variant&) {
  if (prop == prAutoCommit) return true;
  UnknownPropError(prop);
}

bool TKxAlerter::GetProp(int prop, Variant&) { UnknownPropError(prop); }

}  // namespace lumo
