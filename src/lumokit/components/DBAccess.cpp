#include <lumokit/components/DBAccess.h>

#include <algorithm>
#include <limits>
#include <utility>

#include <lumokit/components/DAConnectDialog.h>
#include <lumokit/components/DAConnectionCommand.h>
#include <lumokit/components/DAConnectString.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DAMetaData.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/components/DATransaction.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Ticks.h>

namespace lumo {

namespace {

IDASQLMonitor* GMonitor = nullptr;
IDAConnectionPoolManager* GPoolManager = nullptr;
TSetCursorProc GSetCursorProc;
bool GChangeCursor = true;

bool IsIntegerVariant(const Variant& v) noexcept {
  switch (v.VarType()) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
      return true;
    default:
      return false;
  }
}

const char* const SInvalidParamsArray =
    "Invalid Params array. Valid format: <Name1>,<Value1>[,<Name2>,<Value2>[...]]";

}  // namespace

// ---- errors and hooks --------------------------------------------------------------------

// The base knows no codes; providers answer for theirs.
bool EDAError::IsFatalError() const { return false; }

bool EDAError::IsKeyViolation() const { return false; }

bool IsFatalDAError(const Exception& e) noexcept {
  const auto* da = dynamic_cast<const EDAError*>(&e);
  return da && da->IsFatalError();
}

IDASQLMonitor* DASQLMonitor() noexcept { return GMonitor; }
void SetDASQLMonitor(IDASQLMonitor* monitor) noexcept { GMonitor = monitor; }
IDAConnectionPoolManager* DAPoolManager() noexcept { return GPoolManager; }
void SetDAPoolManager(IDAConnectionPoolManager* manager) noexcept { GPoolManager = manager; }
void SetSetCursorProc(TSetCursorProc proc) { GSetCursorProc = std::move(proc); }
void SetChangeCursor(bool value) noexcept { GChangeCursor = value; }
bool ChangeCursor() noexcept { return GChangeCursor; }

TDABusyCursor::TDABusyCursor(bool enabled) : FActive(enabled && GChangeCursor && GSetCursorProc) {
  if (FActive) GSetCursorProc(true);
}

TDABusyCursor::~TDABusyCursor() { Stop(); }

void TDABusyCursor::Stop() noexcept {
  if (!FActive) return;
  FActive = false;
  try {
    GSetCursorProc(false);
  } catch (...) {
  }
}

// ---- TDAConnectionOptions ------------------------------------------------------------------

void TDAConnectionOptions::Assign(const TDAConnectionOptions& source) {
  if (&source == this) return;
  SetKeepDesignConnected(source.FKeepDesignConnected);
  SetDisconnectedMode(source.FDisconnectedMode);
  SetLocalFailover(source.FLocalFailover);
  SetDefaultSortType(source.FDefaultSortType);
  SetEnableBCD(source.FEnableBCD);
  SetEnableFMTBCD(source.FEnableFMTBCD);
  SetMaxReconnectAttempts(source.FMaxReconnectAttempts);
  SetReconnectDelayMs(source.FReconnectDelayMs);
}

void TDAConnectionOptions::SetProp(int prop, const Variant& value) {
  if (FOwner && FOwner->IConnection()) FOwner->IConnection()->SetProp(prop, value);
}

void TDAConnectionOptions::SetDisconnectedMode(bool value) {
  if (value == FDisconnectedMode) return;
  if (FOwner) FOwner->Disconnect();
  FDisconnectedMode = value;
  SetProp(prDisconnectedMode, value);
}

void TDAConnectionOptions::SetDefaultSortType(TSortType value) {
  FDefaultSortType = value;
  SetProp(prDefaultSortType, static_cast<std::int32_t>(value));
}

void TDAConnectionOptions::SetEnableBCD(bool value) {
  FEnableBCD = value;
  SetProp(prEnableBCD, value);
}

void TDAConnectionOptions::SetEnableFMTBCD(bool value) {
  FEnableFMTBCD = value;
  SetProp(prEnableFmtBCD, value);
}

void TDAConnectionOptions::SetMaxReconnectAttempts(int value) {
  if (value < 0 || value > 100)
    throw EDAError(Format("Invalid connection option value: MaxReconnectAttempts = %d", {value}));
  FMaxReconnectAttempts = value;
}

void TDAConnectionOptions::SetReconnectDelayMs(int value) {
  if (value < 0 || value > 60000)
    throw EDAError(Format("Invalid connection option value: ReconnectDelayMs = %d", {value}));
  FReconnectDelayMs = value;
}

// ---- TPoolingOptions ------------------------------------------------------------------------

namespace {

[[noreturn]] void InvalidPoolingValue(const char* name, std::int32_t value) {
  throw EDAError(Format("Invalid pooling option value: %s = %d", {name, value}));
}

}  // namespace

void TPoolingOptions::Assign(const TPoolingOptions& source) {
  if (&source == this) return;
  FMaxPoolSize = source.FMaxPoolSize;
  FMinPoolSize = source.FMinPoolSize;
  FConnectionLifetime = source.FConnectionLifetime;
  FValidate = source.FValidate;
}

void TPoolingOptions::SetMaxPoolSize(std::int32_t value) {
  if (value < 1) InvalidPoolingValue("MaxPoolSize", value);
  FMaxPoolSize = value;
}

void TPoolingOptions::SetMinPoolSize(std::int32_t value) {
  if (value < 0) InvalidPoolingValue("MinPoolSize", value);
  FMinPoolSize = value;
}

void TPoolingOptions::SetConnectionLifetime(std::int32_t value) {
  if (value < 0) InvalidPoolingValue("ConnectionLifetime", value);
  FConnectionLifetime = value;
}

void TPoolingOptions::CheckConsistent() const {
  if (FMinPoolSize > FMaxPoolSize)
    throw EDAError(Format("Invalid pooling options: MinPoolSize (%d) is greater than MaxPoolSize (%d)",
                          {FMinPoolSize, FMaxPoolSize}));
}

// ---- TDAConnectionUse / TDAOperationScope ---------------------------------------------------

TDAConnectionUse::TDAConnectionUse(TCustomDAConnection& connection) : FConnection(&connection), FGeneration(0) {
  connection.InternalConnect();
  FGeneration = connection.UseGeneration();
}

TDAConnectionUse::TDAConnectionUse(TDAConnectionUse&& other) noexcept
    : FConnection(std::exchange(other.FConnection, nullptr)), FGeneration(other.FGeneration) {}

TDAConnectionUse& TDAConnectionUse::operator=(TDAConnectionUse&& other) noexcept {
  if (this != &other) {
    try {
      Release();
    } catch (...) {
    }
    FConnection = std::exchange(other.FConnection, nullptr);
    FGeneration = other.FGeneration;
  }
  return *this;
}

TDAConnectionUse::~TDAConnectionUse() {
  try {
    Release();
  } catch (...) {
    // A failed close after the last use must not replace the error (or
    // result) of the scope that held it.
  }
}

void TDAConnectionUse::Release() {
  TCustomDAConnection* c = std::exchange(FConnection, nullptr);
  if (c && c->UseGeneration() == FGeneration) c->InternalDisconnect();
}

TDAOperationScope::TDAOperationScope(TCustomDAConnection& connection, TConnLostCause operation, bool allowFailOver)
    : FConnection(connection) {
  connection.PushOperation(operation, allowFailOver);
}

TDAOperationScope::~TDAOperationScope() { FConnection.PopOperation(); }

// ---- TCustomDAConnection: construction ----------------------------------------------------

TCustomDAConnection::TCustomDAConnection() { SetLoginPrompt(true); }

TDATransaction& TCustomDAConnection::InternalTransaction() const {
  if (!FInternalDefTransaction) {
    auto* self = const_cast<TCustomDAConnection*>(this);
    std::unique_ptr<TDATransaction> tr = self->CreateTransaction();
    tr->SetName("tr" + Name());
    tr->SetShareTransaction(true);
    FInternalDefTransaction = tr.get();
    self->InsertComponent(std::move(tr));
    FInternalDefTransaction->SetDefaultConnection(self);
  }
  return *FInternalDefTransaction;
}

TDAConnectionOptions& TCustomDAConnection::Options() const {
  if (!FOptions) FOptions = const_cast<TCustomDAConnection*>(this)->CreateOptions();
  return *FOptions;
}

TPoolingOptions& TCustomDAConnection::PoolingOptions() const {
  if (!FPoolingOptions) FPoolingOptions = const_cast<TCustomDAConnection*>(this)->CreatePoolingOptions();
  return *FPoolingOptions;
}

TDAMapRules& TCustomDAConnection::DataTypeMap() const {
  if (!FDataTypeMap) FDataTypeMap = const_cast<TCustomDAConnection*>(this)->CreateDataTypeMap();
  return *FDataTypeMap;
}

TDAConnectStringBuilder& TCustomDAConnection::ConnectStringBuilder() const {
  if (!FConnectStringBuilder)
    FConnectStringBuilder = const_cast<TCustomDAConnection*>(this)->CreateConnectStringBuilder();
  return *FConnectStringBuilder;
}

int TCustomDAConnection::TransactionCount() const {
  InternalTransaction();
  return static_cast<int>(FTransactions.size());
}

TCustomDAConnection::~TCustomDAConnection() {
  Destroying();
  try {
    Disconnect();
  } catch (...) {
  }
  if (FIOHandler) TKxIOHandlerUtils::UnRegisterClient(FIOHandler, this);
  ClearRefs();
  FCommand.reset();
  try {
    SetIConnection(nullptr);
  } catch (...) {
  }
  std::vector<TDATransaction*> transactions = FTransactions;
  for (TDATransaction* tr : transactions)
    if (tr != FInternalDefTransaction) tr->Detach(*this);
  if (FInternalDefTransaction) {
    FInternalDefTransaction->Detach(*this);
    TDATransaction* internal = std::exchange(FInternalDefTransaction, nullptr);
    DestroyComponent(*internal);
  }
  FTransactions.clear();
  if (IDASQLMonitor* m = SQLMonitorClass()) {
    try {
      m->CustomMessage(*this, "Connection destroyed");
    } catch (...) {
    }
  }
}

void TCustomDAConnection::SetName(const std::string& value) {
  TCustomConnection::SetName(value);
  if (FInternalDefTransaction) FInternalDefTransaction->SetName("tr" + value);
}

std::unique_ptr<TDATransaction> TCustomDAConnection::CreateTransaction() { return std::make_unique<TDATransaction>(); }
std::unique_ptr<TDAConnectionOptions> TCustomDAConnection::CreateOptions() {
  return std::make_unique<TDAConnectionOptions>(this);
}
std::unique_ptr<TPoolingOptions> TCustomDAConnection::CreatePoolingOptions() {
  return std::make_unique<TPoolingOptions>(this);
}
std::unique_ptr<TDAConnectStringBuilder> TCustomDAConnection::CreateConnectStringBuilder() {
  return std::make_unique<TDAConnectStringBuilder>(*this);
}
std::unique_ptr<TDAMapRules> TCustomDAConnection::CreateDataTypeMap() { return std::make_unique<TDAMapRules>(); }
std::unique_ptr<TCustomConnectDialog> TCustomDAConnection::ConnectDialogClass() {
  return std::make_unique<TCustomConnectDialog>();
}
std::unique_ptr<IDAConnectionCommand> TCustomDAConnection::CreateInternalCommand() {
  return std::make_unique<TDASQLConnectionCommand>(*this);
}

std::unique_ptr<TCustomDADataSet> TCustomDAConnection::CreateDataSet() {
  auto ds = std::make_unique<TCustomDADataSet>();
  ds->SetConnection(this);
  return ds;
}

std::unique_ptr<TCustomDASQL> TCustomDAConnection::CreateSQL() {
  auto sql = std::make_unique<TCustomDASQL>();
  sql->SetConnection(this);
  return sql;
}

std::unique_ptr<TDAMetaData> TCustomDAConnection::CreateMetaData() {
  auto meta = std::make_unique<TDAMetaData>();
  meta->SetConnection(this);
  return meta;
}

TClassRef<TKxConnection> TCustomDAConnection::GetIConnectionClass() {
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}
TClassRef<TKxCommand> TCustomDAConnection::GetICommandClass() {
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}
TClassRef<TKxRecordSet> TCustomDAConnection::GetIRecordSetClass() {
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}
TClassRef<TKxMetaData> TCustomDAConnection::GetIMetaDataClass() {
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}

// ---- clients ----------------------------------------------------------------------------------

void TCustomDAConnection::RegisterClient(TComponent* client, TConnectChangeEvent event) {
  TCustomConnection::RegisterClient(client, std::move(event));
}

void TCustomDAConnection::UnRegisterClient(TComponent* client) { TCustomConnection::UnRegisterClient(client); }

std::vector<IDAConnectionClient*> TCustomDAConnection::DAClients() const {
  std::vector<IDAConnectionClient*> result;
  for (TComponent* c : Clients())
    if (auto* da = dynamic_cast<IDAConnectionClient*>(c)) result.push_back(da);
  return result;
}

void TCustomDAConnection::ClearRefs() {
  for (IDAConnectionClient* c : DAClients()) {
    try {
      c->ClearConnection();
    } catch (...) {
    }
    UnRegisterClient(&c->ClientComponent());
  }
}

void TCustomDAConnection::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    if (FConnectDialog && &component == static_cast<TComponent*>(FConnectDialog)) FConnectDialog = nullptr;
    if (FDefaultTransaction && &component == static_cast<TComponent*>(FDefaultTransaction))
      FDefaultTransaction = nullptr;
    if (&component == FIOHandler) FIOHandler = nullptr;
  }
  TCustomConnection::Notification(component, operation);
}

// ---- properties ---------------------------------------------------------------------------------

void TCustomDAConnection::SetUsername(const std::string& value) {
  if (value == FUsername) return;
  Disconnect();
  FUsername = value;
}

void TCustomDAConnection::SetPassword(const std::string& value) {
  if (value == FPassword) return;
  Disconnect();
  FPassword = value;
}

void TCustomDAConnection::SetServer(const std::string& value) {
  if (value == FServer) return;
  Disconnect();
  FServer = value;
}

void TCustomDAConnection::SetAutoCommit(bool value) {
  FAutoCommit = value;
  if (FIConnection) FIConnection->SetProp(prAutoCommit, value);
}

void TCustomDAConnection::SetConvertEOL(bool value) {
  FConvertEOL = value;
  if (FIConnection) FIConnection->SetProp(prConvertEOL, value);
}

void TCustomDAConnection::SetPooling(bool value) {
  if (value == FPooling) return;
  Disconnect();
  SetIConnection(nullptr);
  FPooling = value;
}

void TCustomDAConnection::SetConnectDialog(TCustomConnectDialog* value) {
  SetReference(FConnectDialog, value);
}

void TCustomDAConnection::SetIOHandler(TKxIOHandler* value) {
  if (value == FIOHandler) return;
  Disconnect();
  if (FIOHandler) TKxIOHandlerUtils::UnRegisterClient(FIOHandler, this);
  FIOHandler = value;
  if (value) {
    FreeNotification(*value);
    TKxIOHandlerUtils::RegisterClient(value, this);
  }
  if (FIConnection) FIConnection->SetIOHandler(value);
}

void TCustomDAConnection::SetDefaultTransaction(TDATransaction* value) {
  if (value == FDefaultTransaction) return;
  FDefaultTransaction = value;
  if (value) {
    FreeNotification(*value);
    if (!value->HasConnection(*this) && !value->Active()) value->AddConnection(*this);
  }
}

TDATransaction& TCustomDAConnection::DefaultTransactionOrInternal() const {
  return FDefaultTransaction ? *FDefaultTransaction : InternalTransaction();
}

TDATransaction& TCustomDAConnection::Transactions(int index) const {
  InternalTransaction();
  if (index < 0 || index >= TransactionCount())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FTransactions[static_cast<std::size_t>(index)];
}

void TCustomDAConnection::DoAddTransaction(TDATransaction& transaction) {
  if (std::find(FTransactions.begin(), FTransactions.end(), &transaction) != FTransactions.end()) return;
  if (&transaction == FInternalDefTransaction)
    FTransactions.insert(FTransactions.begin(), &transaction);
  else
    FTransactions.push_back(&transaction);
}

void TCustomDAConnection::DoRemoveTransaction(TDATransaction& transaction) {
  std::erase(FTransactions, &transaction);
  if (FDefaultTransaction == &transaction) FDefaultTransaction = nullptr;
}

void TCustomDAConnection::RemoveFromPool() {
  if (FIConnection) FIConnection->SetIsValid(false);
}

// ---- the provider connection ------------------------------------------------------------------

void TCustomDAConnection::ApplyProviderOptions(TKxConnection& connection) {
  connection.SetProp(prDisconnectedMode, Options().DisconnectedMode());
  connection.SetProp(prEnableBCD, Options().EnableBCD());
  connection.SetProp(prEnableFmtBCD, Options().EnableFMTBCD());
  connection.SetProp(prDefaultSortType, static_cast<std::int32_t>(Options().DefaultSortType()));
  connection.SetProp(prConvertEOL, FConvertEOL);
  connection.SetProp(prAutoCommit, FAutoCommit);
  connection.SetIOHandler(FIOHandler);
}

void TCustomDAConnection::CreateIConnection() {
  if (FIConnection) return;
  std::unique_ptr<TKxConnection> connection;
  if (FPooling) {
    PoolingOptions().CheckConsistent();
    IDAConnectionPoolManager* manager = FPoolManager ? FPoolManager : DAPoolManager();
    if (!manager) throw EDAError("Connection pooling is not available");
    TDAPoolParameters p;
    p.Username = FUsername;
    p.Password = FPassword;
    p.Server = InternalGetServer();
    p.MinPoolSize = PoolingOptions().MinPoolSize();
    p.MaxPoolSize = PoolingOptions().MaxPoolSize();
    p.ConnectionLifetime = PoolingOptions().ConnectionLifetime();
    p.Validate = PoolingOptions().Validate();
    p.IOHandler = FIOHandler;
    p.OnError = [this](const Exception& e, bool& fail, bool& reconnect, bool& reexecute, int attempt,
                       TConnLostCause& cause) { DoError(e, fail, reconnect, reexecute, attempt, cause); };
    connection = manager->GetConnection(*this, p);
    if (!connection) throw EDAError("Cannot connect to database");
  } else {
    connection = GetIConnectionClass().Create();
  }
  ApplyProviderOptions(*connection);
  SetIConnection(std::move(connection));
}

void TCustomDAConnection::SetIConnection(std::unique_ptr<TKxConnection> value) {
  if (value.get() == FIConnection.get()) return;
  if (value || (FIConnection && !HasState(csDestroying))) {
    for (IDAConnectionClient* c : DAClients()) c->SetIConnection(value.get());
  }
  if (FCommand) FCommand->Disconnect();
  for (TDATransaction* tr : FTransactions) tr->IConnectionChanging(*this);

  std::unique_ptr<TKxConnection> old = std::exchange(FIConnection, std::move(value));
  if (old) {
    old->SetOnError(nullptr);
    old->SetOnReconnectError(nullptr);
    old->SetOnReconnectSuccess(nullptr);
    if (old->Pool() && old->IsValid() && old->Connected())
      TKxConnection::ReturnToPool(std::move(old));
    else
      old.reset();
  }
  if (FIConnection) {
    FIConnection->SetComponent(this);
    FIConnection->SetOnError([this](const Exception& e, bool& fail, bool& reconnect, bool& reexecute, int attempt,
                                    TConnLostCause& cause) { DoError(e, fail, reconnect, reexecute, attempt, cause); });
    FIConnection->SetOnReconnectError([this] { Disconnect(); });
    FIConnection->SetOnReconnectSuccess([this] { DoAfterReconnect(); });
  }
}

bool TCustomDAConnection::GetConnected() const { return FIConnection && FIConnection->Connected(); }

// ---- connecting ---------------------------------------------------------------------------------

void TCustomDAConnection::Connect(const std::string& connectString) {
  SetConnectString(connectString);
  Connect();
}

void TCustomDAConnection::SetConnected(bool value) {
  if (HasState(csReading)) {
    SetStreamedConnected(value);
    return;
  }
  if (value == GetConnected()) return;
  if (value)
    ConnectWithPrompt(true);
  else
    DisconnectImpl();
}

bool TCustomDAConnection::NeedPrompt() {
  if (FLockLoginPrompt) return false;
  const bool designing = HasState(csDesigning);
  if (!LoginPrompt() && (!designing || !FUsername.empty() || !FPassword.empty())) return false;
  if (designing && (HasState(csReading) || FApplyingStreamed)) return false;
  return true;
}

bool TCustomDAConnection::ShowLoginPrompt() {
  if (OnLogin) {
    TStringList params;
    params.SetValues("USER NAME", FUsername);
    params.SetValues("PASSWORD", FPassword);
    params.SetValues("SERVER", FServer);
    OnLogin(*this, params);
    FUsername = params.Values("USER NAME");
    FPassword = params.Values("PASSWORD");
    FServer = params.Values("SERVER");
    return true;
  }
  std::unique_ptr<TCustomConnectDialog> temporary;
  TCustomConnectDialog* dialog = FConnectDialog;
  if (!dialog) {
    temporary = ConnectDialogClass();
    if (!temporary) return true;  // no dialog class: no prompt
    dialog = temporary.get();
  }
  TCustomDAConnection* previous = dialog->Connection();
  dialog->SetConnection(this);
  bool ok = false;
  try {
    ok = dialog->Execute();
  } catch (...) {
    if (dialog == FConnectDialog) dialog->SetConnection(previous);
    throw;
  }
  if (dialog == FConnectDialog) dialog->SetConnection(previous);
  return ok;
}

void TCustomDAConnection::ConnectWithPrompt(bool promptAllowed) {
  if (promptAllowed && NeedPrompt()) {
    if (!ShowLoginPrompt()) {
      FConnectCount = 0;
      if (!FApplyingStreamed && !HasState(csDesigning)) Abort();
      throw EDAError("Cannot connect to database");
    }
  }
  try {
    PerformConnect(false);
  } catch (...) {
    if (!GetConnected()) FConnectCount = 0;
    throw;
  }
}

void TCustomDAConnection::PerformConnect(bool retry) {
  if (HasState(csReading)) {
    SetStreamedConnected(true);
    return;
  }
  if (GetConnected()) return;
  if (!retry) DoBeforeConnect();
  DoConnect();
  FConnectCount = 1;
  SendConnectEvent(true);
  DoAfterConnect();
}

void TCustomDAConnection::DoConnect() {
  IDASQLMonitor* monitor = SQLMonitorClass();
  if (monitor) monitor->ConnectChange(*this, true, true);
  CreateIConnection();
  {
    TDAOperationScope operation(*this, clConnect, true);
    TDABusyCursor busy;
    DataTypeMap().WriteTo(FIConnection->DataTypeMap());
    InternalTransaction().GainITransaction();
    FIConnection->SetUsername(FUsername);
    FIConnection->SetPassword(FPassword);
    FIConnection->SetServer(InternalGetServer());
    if (!FIConnection->Connected()) {
      TFlagScope connecting(FConnecting);
      try {
        FIConnection->Connect("");
      } catch (const EFailOver&) {
        // The provider reconnected after a lost connect: that is a connect.
        if (!FIConnection->Connected()) throw;
      }
    }
  }
  if (monitor) monitor->ConnectChange(*this, true, false);
}

void TCustomDAConnection::DoAfterReconnect() {
  if (!FConnecting) DoAfterConnect();
}

void TCustomDAConnection::InternalConnect() {
  if (GetConnected()) {
    ++FConnectCount;
    return;
  }
  ConnectWithPrompt(LoginPrompt() && FShouldShowPrompt);
  FShouldShowPrompt = !GetConnected();
}

void TCustomDAConnection::InternalDisconnect() {
  if (FConnectCount > 0) --FConnectCount;
  if (FConnectCount == 0 && Options().DisconnectedMode() && !FInDisconnect && GetConnected() && !GetInTransaction())
    Disconnect();
  FShouldShowPrompt = false;
}

void TCustomDAConnection::NotifyClientsOfDisconnect() {
  // Every client hears of it even when one fails on the lost connection;
  // those that failed are told once more.
  std::vector<TComponent*> failed;
  for (TComponent* client : Clients()) {
    try {
      NotifyClient(client, false);
    } catch (const EDAError& e) {
      if (!e.IsFatalError()) throw;
      failed.push_back(client);
    }
  }
  for (TComponent* client : failed) {
    try {
      NotifyClient(client, false);
    } catch (const EDAError& e) {
      if (!e.IsFatalError()) throw;
    }
  }
}

void TCustomDAConnection::DisconnectImpl() {
  if (FInDisconnect) return;
  TFlagScope disconnecting(FInDisconnect);
  DoBeforeDisconnect();
  FConnectCount = 0;
  ++FUseGeneration;
  FShouldShowPrompt = true;
  NotifyClientsOfDisconnect();
  DoDisconnect();
  DoAfterDisconnect();
}

void TCustomDAConnection::DisconnectTransaction() {
  for (TDATransaction* tr : std::vector<TDATransaction*>(FTransactions)) tr->CloseTransaction(true);
  for (TDATransaction* tr : std::vector<TDATransaction*>(FTransactions)) tr->IConnectionChanging(*this);
}

void TCustomDAConnection::DoDisconnect() {
  try {
    DisconnectTransaction();
    if (FIConnection && FIConnection->Connected()) {
      IDASQLMonitor* monitor = SQLMonitorClass();
      if (monitor) monitor->ConnectChange(*this, false, true);
      if (FIConnection->Pool() && FIConnection->IsValid()) {
        SetIConnection(nullptr);  // goes back to its pool
      } else {
        FIConnection->Disconnect();
      }
      if (monitor) monitor->ConnectChange(*this, false, false);
    }
  } catch (const EDAError& e) {
    if (!(HasState(csDestroying) && e.IsFatalError())) throw;
  }
}

void TCustomDAConnection::Loaded() {
  TComponent::Loaded();
  const bool connect = StreamedConnected();
  SetStreamedConnected(false);
  if (!connect) return;
  if (!Options().KeepDesignConnected() && !HasState(csDesigning)) return;
  TFlagScope applying(FApplyingStreamed);
  try {
    SetConnected(true);
  } catch (const EAbort&) {
    if (!HasState(csDesigning)) throw;
  } catch (const Exception&) {
    // In the design environment a failed connect is shown, not raised; the
    // stored value stays.
    if (!HasState(csDesigning)) throw;
  }
}

void TCustomDAConnection::AssignConnect(TCustomDAConnection* source) {
  if (source == this) return;
  Disconnect();
  if (FPooling || (source && source->FPooling)) throw EDAError("Operation is not allowed when Pooling is True");
  if (!source) {
    if (FIConnection) FIConnection->AssignConnect(nullptr);
    return;
  }
  AssignConnectOptions(*source);
  if (source->FIConnection) {
    CreateIConnection();
    FIConnection->AssignConnect(source->FIConnection.get());
  } else {
    SetIConnection(nullptr);
  }
  if (GetConnected()) {
    FConnectCount = 1;
    TKxTransaction& shared = FIConnection->GetInternalTransaction();
    if (shared.GetInTransaction()) InternalTransaction().PrepareTransaction(true);
  }
}

void TCustomDAConnection::AssignConnectOptions(TCustomDAConnection& source) {
  FUsername = source.FUsername;
  FPassword = source.FPassword;
  FServer = source.FServer;
}

// ---- connect string ----------------------------------------------------------------------------

std::string TCustomDAConnection::GetConnectString() { return ConnectStringBuilder().GetConnectString(); }

void TCustomDAConnection::SetConnectStringImpl(const std::string& value) {
  const std::string previous = GetConnectString();
  if (value == previous) return;
  Disconnect();
  try {
    ConnectStringBuilder().SetConnectString(value);
  } catch (...) {
    ConnectStringBuilder().SetConnectString(previous);
    throw;
  }
}

// ---- transactions -------------------------------------------------------------------------------

TDATransaction* TCustomDAConnection::UsedTransaction() {
  if (!IsMultipleTransactionsSupported()) {
    for (TDATransaction* tr : FTransactions)
      if (tr->Active()) return tr;
  }
  return &DefaultTransactionOrInternal();
}

bool TCustomDAConnection::GetInTransaction() {
  return std::any_of(FTransactions.begin(), FTransactions.end(), [](TDATransaction* tr) { return tr->Active(); });
}

bool TCustomDAConnection::DetectInTransaction(bool canActivate) {
  bool result = false;
  for (TDATransaction* tr : FTransactions)
    if (tr->DetectInTransaction(canActivate)) result = true;
  return result;
}

void TCustomDAConnection::StartTransaction() { DefaultTransactionOrInternal().StartTransaction(); }
void TCustomDAConnection::Commit() { DefaultTransactionOrInternal().Commit(); }
void TCustomDAConnection::Rollback() { DefaultTransactionOrInternal().Rollback(); }
void TCustomDAConnection::DoCommitRetaining() { DefaultTransactionOrInternal().CommitRetaining(); }
void TCustomDAConnection::DoRollbackRetaining() { DefaultTransactionOrInternal().RollbackRetaining(); }
void TCustomDAConnection::DoSavepoint(const std::string& name) { DefaultTransactionOrInternal().Savepoint(name); }
void TCustomDAConnection::DoReleaseSavepoint(const std::string& name) {
  DefaultTransactionOrInternal().ReleaseSavepoint(name);
}
void TCustomDAConnection::DoRollbackToSavepoint(const std::string& name) {
  DefaultTransactionOrInternal().RollbackToSavepoint(name);
}

void TCustomDAConnection::ResetOnFatalError() {
  for (TDATransaction* tr : std::vector<TDATransaction*>(FTransactions)) tr->Reset();
}

void TCustomDAConnection::RestoreAfterFailOver() {
  for (TDATransaction* tr : std::vector<TDATransaction*>(FTransactions)) tr->Restore();
}

// ---- failover -----------------------------------------------------------------------------------

void TCustomDAConnection::PushOperation(TConnLostCause operation, bool allowFailOver) {
  FOperationsStack.push_back({operation, allowFailOver});
}

void TCustomDAConnection::PopOperation() {
  if (!FOperationsStack.empty()) FOperationsStack.pop_back();
}

bool TCustomDAConnection::IsFailOverAllowed() {
  for (TDATransaction* tr : FTransactions) {
    TKxTransaction* itr = tr->ITransaction();
    if (tr->Active() && itr && !itr->CanRestoreAfterFailover()) return false;
  }
  return true;
}

TConnLostCause TCustomDAConnection::DetectConnLostCause(TComponent* component) {
  // Operations are recorded for failover only; without it there is no cause.
  if (!Options().LocalFailover()) return clUnknown;
  TConnLostCause cause = clUnknown;
  bool allowed = true;
  for (auto it = FOperationsStack.rbegin(); it != FOperationsStack.rend(); ++it) {
    if (it->Operation > cause) {
      cause = it->Operation;
      allowed = it->AllowFailOver;
    }
    if (it->Operation == clConnect) {
      if (component == this && NeedPrompt() && FShouldShowPrompt && LoginPrompt()) cause = clUnknown;
      break;
    }
  }
  if (!allowed) return clUnknown;
  switch (cause) {
    case clExecute:
    case clOpen:
    case clServiceQuery:
    case clTransStart:
      if (!IsFailOverAllowed()) return clUnknown;
      break;
    default:
      break;
  }
  return cause;
}

void TCustomDAConnection::DoError(const Exception& e, bool& fail, bool& reconnect, bool& reexecute,
                                  int reconnectAttempt, TConnLostCause& connLostCause) {
  const auto* error = dynamic_cast<const EDAError*>(&e);
  if (reconnectAttempt == 0) FErrorReported = false;
  connLostCause = clUnknown;
  if (IDASQLMonitor* m = SQLMonitorClass(); m && error) m->Error(error->Component(), *error);
  const bool fatal = error && error->IsFatalError();

  if (fatal) {
    connLostCause = DetectConnLostCause(error->Component());
    reconnect = (GetConnected() || (reconnectAttempt > 0 && Options().LocalFailover()) ||
                 (connLostCause == clConnect && Options().DisconnectedMode())) &&
                (IsFailOverAllowed() || connLostCause == clConnectionApply);
    // Bounded: a connection that does not come back ends in the error; and
    // one that is being closed or destroyed is not reopened.
    if (reconnectAttempt >= Options().MaxReconnectAttempts() || FInDisconnect || HasState(csDestroying))
      reconnect = false;
  }

  if (reconnect) {
    for (IDAConnectionClient* c : DAClients()) {
      if (c->PreventsReconnect(error ? error->Component() : nullptr, connLostCause)) {
        reconnect = false;
        break;
      }
    }
  }

  if (reconnect && Options().LocalFailover()) {
    TRetryMode retryMode =
        connLostCause != clUnknown && connLostCause != clExecute ? rmReconnectExecute : rmRaise;
    if (OnConnectionLost) OnConnectionLost(*this, error ? error->Component() : nullptr, connLostCause, retryMode);
    reconnect = retryMode != rmRaise;
    reexecute = (retryMode == rmReconnectExecute && connLostCause != clUnknown) ||
                (connLostCause == clConnect && retryMode != rmRaise);
    fail = !reexecute;
  }

  // Giving up after attempts that asked to re-execute: the error is raised
  // again unless the handler says otherwise.
  if (!reexecute && !FErrorReported) fail = true;
  if (!reexecute && error && OnError && !FErrorReported) {
    FErrorReported = true;
    OnError(*this, *error, fail);
  }

  if (fatal && FIConnection) FIConnection->SetIsValid(false);
  if (fatal && reconnectAttempt == 0) ResetOnFatalError();
  if (fatal && reconnectAttempt == 0 && !reconnect && !FInProcessError) {
    TFlagScope inProcess(FInProcessError);
    try {
      Disconnect();
    } catch (...) {
    }
  }

  // The wait before the next attempt (none before the first one).
  if (reconnect && reconnectAttempt > 0) {
    std::int64_t delay = Options().ReconnectDelayMs();
    for (int i = 1; i < reconnectAttempt && delay < 60000; ++i) delay *= 2;
    delay = std::min<std::int64_t>(delay, 60000);
    if (delay > 0) {
      if (FReconnectSleeper)
        FReconnectSleeper(delay);
      else
        lumo::Sleep(delay);
    }
  }
}

void TCustomDAConnection::RunWithFailover(TConnLostCause cause, const std::function<void()>& operation) {
  int repeats = 0;
  for (;;) {
    try {
      operation();
      return;
    } catch (const EFailOver& e) {
      if (e.ConnLostCause() != cause) throw;
      if (repeats >= Options().MaxReconnectAttempts()) throw EDAError(e.Message());
      ++repeats;
      RestoreAfterFailOver();
    }
  }
}

// ---- ad-hoc statements --------------------------------------------------------------------------

IDAConnectionCommand& TCustomDAConnection::CheckCommand() {
  if (!FCommand) FCommand = CreateInternalCommand();
  return *FCommand;
}

TParam& TCustomDAConnection::ParamByName(const std::string& name) { return CheckCommand().Params().ParamByName(name); }

void TCustomDAConnection::AssignExecParam(TParam& param, const Variant& value) {
  if (param.ParamType() == ptUnknown) param.SetParamType(ptInputOutput);
  if (IsIntegerVariant(value)) {
    if (value.VarType() == varLongWord)
      param.SetAsLargeInt(value.AsInt64());
    else
      param.SetAsInteger(value.AsInt32());
  } else {
    param.SetValue(value);
  }
}

Variant TCustomDAConnection::ResultParamValue() {
  TParams& params = CheckCommand().Params();
  for (int i = params.Count() - 1; i >= 0; --i)
    if (params[i].ParamType() == ptResult) return params[i].Value();
  return Variant();
}

Variant TCustomDAConnection::ExecSQL(const std::string& text) { return ExecSQL(text, {}); }

Variant TCustomDAConnection::ExecSQL(const std::string& text, const std::vector<Variant>& params) {
  TDAConnectionUse use(*this);
  IDAConnectionCommand& command = CheckCommand();
  command.SetSQL(text);
  TParams& p = command.Params();
  for (int i = 0; i < p.Count(); ++i) {
    if (static_cast<std::size_t>(i) < params.size()) AssignExecParam(p[i], params[static_cast<std::size_t>(i)]);
    if (p[i].ParamType() == ptResult && p[i].DataType() == ftUnknown) p[i].SetDataType(ftString);
  }
  command.Execute();
  Variant result = ResultParamValue();
  use.Release();
  return result;
}

void TCustomDAConnection::CheckParamsArray(const std::vector<Variant>& params) const {
  if (params.empty() || (params.size() == 1 && params[0].IsNull())) return;
  if (params.size() % 2 != 0) throw EDAError(SInvalidParamsArray);
  for (std::size_t i = 0; i < params.size(); i += 2)
    if (!params[i].IsText()) throw EDAError(SInvalidParamsArray);
}

Variant TCustomDAConnection::ExecSQLEx(const std::string& text, const std::vector<Variant>& params) {
  CheckParamsArray(params);
  TDAConnectionUse use(*this);
  IDAConnectionCommand& command = CheckCommand();
  command.SetSQL(text);
  TParams& p = command.Params();
  if (params.size() >= 2) {
    for (std::size_t i = 0; i + 1 < params.size(); i += 2) {
      TParam& param = p.ParamByName(params[i].AsString());
      param.SetParamType(ptInputOutput);
      AssignExecParam(param, params[i + 1]);
    }
  }
  for (int i = 0; i < p.Count(); ++i)
    if (p[i].ParamType() == ptResult && p[i].DataType() == ftUnknown) p[i].SetDataType(ftString);
  command.Execute();
  Variant result = ResultParamValue();
  use.Release();
  return result;
}

Variant TCustomDAConnection::ExecProc(const std::string& name, const std::vector<Variant>& params) {
  TDAConnectionUse use(*this);
  IDAConnectionCommand& command = CheckCommand();
  command.SetStoredProc(name);
  TParams& p = command.Params();
  std::size_t next = 0;
  for (int i = 0; i < p.Count(); ++i) {
    TParam& param = p[i];
    if (param.ParamType() == ptResult) continue;
    if (next < params.size()) {
      AssignExecParam(param, params[next++]);
    } else if (param.ParamType() == ptInput) {
      param.Clear();
      param.SetBound(false);  // the server's default applies
    }
  }
  command.Execute();
  Variant result = ResultParamValue();
  use.Release();
  return result;
}

Variant TCustomDAConnection::ExecProcEx(const std::string& name, const std::vector<Variant>& params) {
  CheckParamsArray(params);
  TDAConnectionUse use(*this);
  IDAConnectionCommand& command = CheckCommand();
  command.SetStoredProc(name);
  TParams& p = command.Params();
  for (int i = 0; i < p.Count(); ++i) {
    if (p[i].ParamType() == ptInput) {
      p[i].Clear();
      p[i].SetBound(false);
    }
  }
  if (params.size() >= 2) {
    for (std::size_t i = 0; i + 1 < params.size(); i += 2)
      AssignExecParam(p.ParamByName(params[i].AsString()), params[i + 1]);
  }
  command.Execute();
  Variant result = ResultParamValue();
  use.Release();
  return result;
}

void TCustomDAConnection::MonitorMessage(const std::string& message) {
  if (IDASQLMonitor* m = SQLMonitorClass()) m->CustomMessage(*this, message);
}

// ---- name lists ---------------------------------------------------------------------------------

namespace {

// The rows of one metadata kind, read through the provider's metadata object.
void ReadMetaData(TCustomDAConnection& connection, const std::string& kind, TStrings& restrictions,
                  const std::function<void(TDataHelper&, TData&)>& row) {
  TDAConnectionUse use(connection);
  std::unique_ptr<TKxMetaData> meta = connection.GetIMetaDataClass().Create();
  TDATransaction* tr = connection.UsedTransaction();
  TData& data = meta->GetMetaData(connection.IConnection(), tr ? tr->ITransaction() : nullptr, kind, restrictions);
  TDataHelper helper(data);
  helper.AllocBuffer();
  data.SetToBegin();
  while (helper.NextRecord()) row(helper, data);
  use.Release();
}

int FieldNoOf(TData& data, const std::string& name) {
  TFieldDesc* f = data.FindField(name);
  if (!f) throw EDAError(Format("Field %s not found", {name}));
  return f->FieldNo();
}

}  // namespace

void TCustomDAConnection::GetTableNames(TStrings& list, bool allTables, bool onlyTables) {
  TStringList restrictions;
  if (!allTables) restrictions.Add("SCOPE=LOCAL");
  if (onlyTables) restrictions.Add("TABLE_TYPE=TABLE");
  list.BeginUpdate();
  try {
    list.Clear();
    const std::string defaultSchema = DefaultTableSchema();
    ReadMetaData(*this, "tables", restrictions, [&](TDataHelper& h, TData& data) {
      TSQLInfo& info = FIConnection->GetSQLInfo();
      const auto text = [&](const char* field) { return VarToStr(h.GetFieldValue(FieldNoOf(data, field))); };
      // Each name from the server is one identifier (a "." or quote in it
      // belongs to it).
      std::string name = info.IdentifierOf(text("TABLE_NAME"));
      const std::string schema = text("TABLE_SCHEMA");
      if (allTables) {
        if (!schema.empty()) name = info.IdentifierOf(schema) + "." + name;
        const std::string catalog = text("TABLE_CATALOG");
        if (!catalog.empty()) name = info.IdentifierOf(catalog) + "." + name;
      } else if (!schema.empty() && !AnsiSameText(schema, defaultSchema)) {
        name = info.IdentifierOf(schema) + "." + name;
      }
      list.Add(std::move(name));
    });
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

void TCustomDAConnection::GetDatabaseNames(TStrings& list) {
  TStringList restrictions;
  list.BeginUpdate();
  try {
    list.Clear();
    ReadMetaData(*this, "Databases", restrictions, [&](TDataHelper& h, TData& data) {
      list.Add(VarToStr(h.GetFieldValue(FieldNoOf(data, "DATABASE_NAME"))));
    });
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

void TCustomDAConnection::GetStoredProcNames(TStrings& list, bool allProcs) {
  TStringList restrictions;
  if (!allProcs) restrictions.Add("SCOPE=LOCAL");
  list.BeginUpdate();
  try {
    list.Clear();
    ReadMetaData(*this, "procedures", restrictions, [&](TDataHelper& h, TData& data) {
      list.Add(FIConnection->GetSQLInfo().IdentifierOf(
          VarToStr(h.GetFieldValue(FieldNoOf(data, "PROCEDURE_NAME")))));
    });
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

void TCustomDAConnection::GetFieldNames(const std::string& tableName, TStrings& list) {
  TStringList restrictions;
  restrictions.SetValues("TABLE_NAME", tableName);
  list.BeginUpdate();
  try {
    list.Clear();
    ReadMetaData(*this, "columns", restrictions, [&](TDataHelper& h, TData& data) {
      list.Add(VarToStr(h.GetFieldValue(FieldNoOf(data, "COLUMN_NAME"))));
    });
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

// ---- connection-level apply ---------------------------------------------------------------------

void TCustomDAConnection::ApplyUpdates() { ApplyUpdates(DAClients()); }

void TCustomDAConnection::ApplyUpdates(const std::vector<IDAConnectionClient*>& dataSets) {
  for (IDAConnectionClient* ds : dataSets)
    if (ds->ClientConnection() != this)
      throw EDAError(Format("Cannot update, %s is not owned by %s", {ds->ClientComponent().Name(), Name()}));

  std::vector<IDAConnectionClient*> pending;
  std::vector<TDATransaction*> transactions;
  for (IDAConnectionClient* ds : dataSets) {
    if (!ds->HasCachedUpdates()) continue;
    TDATransaction* tr = ds->UpdateTransaction();
    if (!tr) throw EDAError("Transaction not assigned");
    pending.push_back(ds);
    if (std::find(transactions.begin(), transactions.end(), tr) == transactions.end()) transactions.push_back(tr);
  }
  if (pending.empty()) return;

  std::vector<TDATransaction*> startedHere;
  bool firstPass = true;
  {
    TDAOperationScope operation(*this, clConnectionApply, IsFailOverAllowed());
    RunWithFailover(clConnectionApply, [&] {
      try {
        for (TDATransaction* tr : transactions) {
          if (tr->Active()) continue;
          tr->StartTransaction();
          if (firstPass) startedHere.push_back(tr);
        }
        firstPass = false;
        for (IDAConnectionClient* ds : pending) {
          const bool autoCommit = ds->ClientAutoCommit();
          ds->SetClientAutoCommit(false);
          try {
            ds->ApplyCachedUpdates();
          } catch (...) {
            ds->SetClientAutoCommit(autoCommit);
            throw;
          }
          ds->SetClientAutoCommit(autoCommit);
        }
        if (FAutoCommit) {
          for (TDATransaction* tr : transactions) {
            const bool here = std::find(startedHere.begin(), startedHere.end(), tr) != startedHere.end();
            if (here || !IsMultipleTransactionsSupported())
              tr->Commit();
            else
              tr->CommitRetaining();
          }
        }
      } catch (const EFailOver&) {
        throw;
      } catch (...) {
        for (TDATransaction* tr : transactions) {
          if (!tr->Active()) continue;
          const bool here = std::find(startedHere.begin(), startedHere.end(), tr) != startedHere.end();
          try {
            if (here || !IsMultipleTransactionsSupported())
              tr->Rollback();
            else
              tr->RollbackRetaining();
          } catch (...) {
          }
        }
        throw;
      }
    });
  }
  for (IDAConnectionClient* ds : pending) ds->CommitCachedUpdates();
}

}  // namespace lumo
