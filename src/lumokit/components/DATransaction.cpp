#include <lumokit/components/DATransaction.h>

#include <algorithm>
#include <optional>

#include <lumokit/core/Format.h>

namespace lumo {

TDATransaction::TDATransaction() = default;

TDATransaction::~TDATransaction() {
  Destroying();
  try {
    CloseTransaction(false);
  } catch (...) {
    // Nothing can be reported from here; the server ends the transaction
    // when the session goes.
  }
  UnPrepareTransaction();
  for (TCustomDAConnection* c : std::vector<TCustomDAConnection*>(FConnections)) Detach(*c);
}

// ---- connections --------------------------------------------------------------------------

TCustomDAConnection& TDATransaction::Connections(int index) const {
  if (index < 0 || index >= ConnectionsCount())
    throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FConnections[static_cast<std::size_t>(index)];
}

bool TDATransaction::HasConnection(const TCustomDAConnection& connection) const noexcept {
  return std::find(FConnections.begin(), FConnections.end(), &connection) != FConnections.end();
}

void TDATransaction::DoAddConnection(TCustomDAConnection& connection) {
  if (HasConnection(connection)) return;
  CheckInactive();
  FConnections.push_back(&connection);
  connection.DoAddTransaction(*this);
  FreeNotification(connection);
}

void TDATransaction::DoRemoveConnection(TCustomDAConnection& connection) {
  if (!HasConnection(connection)) return;
  CheckInactive();
  Detach(connection);
}

void TDATransaction::Detach(TCustomDAConnection& connection) noexcept {
  IConnectionChanging(connection);
  std::erase(FConnections, &connection);
  std::erase(FAutoCommitSuppressed, &connection);
  for (auto it = FUses.begin(); it != FUses.end();) {
    if (it->Connection() == &connection) {
      try {
        it->Release();
      } catch (...) {
      }
      it = FUses.erase(it);
    } else {
      ++it;
    }
  }
  if (FDefaultConnection == &connection) FDefaultConnection = nullptr;
  connection.DoRemoveTransaction(*this);
}

void TDATransaction::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    // The connection is past its own destructor: forget it, call nothing.
    auto* gone = static_cast<TComponent*>(&component);
    std::erase_if(FConnections, [gone](TCustomDAConnection* c) { return static_cast<TComponent*>(c) == gone; });
    std::erase_if(FAutoCommitSuppressed,
                  [gone](TCustomDAConnection* c) { return static_cast<TComponent*>(c) == gone; });
    for (auto it = FUses.begin(); it != FUses.end();) {
      if (static_cast<TComponent*>(it->Connection()) == gone) {
        it->Forget();
        it = FUses.erase(it);
      } else {
        ++it;
      }
    }
    if (FDefaultConnection && static_cast<TComponent*>(FDefaultConnection) == gone) FDefaultConnection = nullptr;
  }
  TComponent::Notification(component, operation);
}

void TDATransaction::SetDefaultConnection(TCustomDAConnection* value) {
  if (value == FDefaultConnection) return;
  if (FDefaultConnection && HasConnection(*FDefaultConnection)) DoRemoveConnection(*FDefaultConnection);
  FDefaultConnection = value;
  if (value) DoAddConnection(*value);
}

TCustomDAConnection* TDATransaction::UsedConnection() const {
  if (FDefaultConnection) return FDefaultConnection;
  return FConnections.empty() ? nullptr : FConnections.front();
}

// ---- the provider transaction ---------------------------------------------------------------

TClassRef<TKxTransaction> TDATransaction::GetITransactionClass() {
  if (FTransactionType == ttMTS) return ClassOf<TKxTransaction, TMTSTransaction>();
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}

void TDATransaction::SetITransaction(TKxTransaction* value) {
  FITransaction = value;
  if (value) value->SetComponent(this);
}

void TDATransaction::GainITransaction() {
  if (FShareTransaction) {
    TCustomDAConnection* c = UsedConnection();
    SetITransaction(c && c->IConnection() ? &c->IConnection()->GetInternalTransaction() : nullptr);
    return;
  }
  if (!FOwnedITransaction) {
    FOwnedITransaction = GetITransactionClass().Create();
    FOwnedITransaction->SetProp(prIsolationLevel, static_cast<std::int32_t>(FIsolationLevel));
    FOwnedITransaction->SetProp(prTransactionReadOnly, FReadOnly);
  }
  SetITransaction(FOwnedITransaction.get());
  for (TCustomDAConnection* c : FConnections)
    if (c->IConnection()) FITransaction->AddConnection(c->IConnection());
}

void TDATransaction::IConnectionChanging(TCustomDAConnection& connection) {
  if (FShareTransaction) {
    if (UsedConnection() == &connection) FITransaction = nullptr;
  } else if (FOwnedITransaction && connection.IConnection()) {
    FOwnedITransaction->RemoveConnection(connection.IConnection());
  }
}

bool TDATransaction::Active() const { return FITransaction && FITransaction->GetInTransaction(); }

bool TDATransaction::DetectInTransaction(bool canActivate) {
  return FITransaction && FITransaction->DetectInTransaction(canActivate);
}

void TDATransaction::CheckActive() const {
  if (!Active()) throw EDAError("Can't perform operation on inactive transaction");
}

void TDATransaction::CheckInactive() const {
  if (Active()) throw EDAError("Can't perform operation on active transaction");
}

// ---- settings ----------------------------------------------------------------------------------

void TDATransaction::SetTransactionType(TTransactionType value) {
  if (value == FTransactionType) return;
  CheckInactive();
  if (FITransaction == FOwnedITransaction.get()) FITransaction = nullptr;
  FOwnedITransaction.reset();
  FTransactionType = value;
}

void TDATransaction::SetIsolationLevel(TKxIsolationLevel value) {
  CheckInactive();
  FIsolationLevel = value;
  if (FITransaction) FITransaction->SetProp(prIsolationLevel, static_cast<std::int32_t>(value));
}

void TDATransaction::SetReadOnly(bool value) {
  CheckInactive();
  FReadOnly = value;
  if (FITransaction) FITransaction->SetProp(prTransactionReadOnly, value);
}

void TDATransaction::SetShareTransaction(bool value) {
  if (value == FShareTransaction) return;
  CheckInactive();
  FITransaction = nullptr;
  FShareTransaction = value;
}

// ---- preparing ---------------------------------------------------------------------------------

void TDATransaction::PrepareTransaction(bool checkOnly) {
  if (FConnections.empty()) throw EDAError("Connection is not defined");
  for (TCustomDAConnection* c : FConnections) {
    if (!c->Connected() && (checkOnly || !c->Options().DisconnectedMode()))
      throw EDAError("One of the connections in the transaction is not active");
  }
  if (!checkOnly && !FPrepared) {
    // Every use is taken before any is kept: a connect that fails gives the
    // uses taken so far back (the vector's destructor).
    std::vector<TDAConnectionUse> uses;
    uses.reserve(FConnections.size());
    for (TCustomDAConnection* c : FConnections) uses.emplace_back(*c);
    FUses = std::move(uses);
  }
  GainITransaction();
  if (!FITransaction) throw EDAError("One of the connections in the transaction is not active");
  FDisconnectedMode = std::all_of(FConnections.begin(), FConnections.end(),
                                  [](TCustomDAConnection* c) { return c->Options().DisconnectedMode(); });
  FPrepared = FPrepared || !checkOnly;
}

void TDATransaction::UnPrepareTransaction() noexcept {
  FTrStartCount = 0;
  FUnCommitedStatementCount = 0;
  FExplicitlyStarted = false;
  FPrepared = false;
  for (TCustomDAConnection* c : std::exchange(FAutoCommitSuppressed, {})) {
    try {
      if (c->IConnection()) c->IConnection()->SetProp(prAutoCommit, c->AutoCommit());
    } catch (...) {
    }
  }
  // Giving the uses back may close a connection in DisconnectedMode, which
  // comes back here through CloseTransaction: the list is empty by then.
  std::vector<TDAConnectionUse> uses = std::exchange(FUses, {});
  uses.clear();
}

// ---- running -----------------------------------------------------------------------------------

void TDATransaction::Call(const std::function<void()>& call) {
  try {
    call();
  } catch (const EDAError& e) {
    bool fail = true;
    DoError(e, fail);
    if (!fail) Abort();
    throw;
  }
}

void TDATransaction::DoError(const EDAError& e, bool& fail) {
  if (IDASQLMonitor* m = SQLMonitorClass()) m->Error(this, e);
  if (OnError) OnError(*this, e, fail);
  if (e.IsFatalError() && !FInProcessError) {
    TFlagScope inProcess(FInProcessError);
    try {
      CloseTransaction(true);
    } catch (...) {
    }
  }
}

void TDATransaction::Monitor(IDASQLMonitor::TTransactionEvent event, bool before, const std::string& savepoint) {
  if (IDASQLMonitor* m = SQLMonitorClass()) m->TransactionEvent(*this, event, before, savepoint);
}

void TDATransaction::StartTransaction() {
  CheckInactive();
  for (TCustomDAConnection* c : FConnections) {
    if (c->IsMultipleTransactionsSupported()) continue;
    for (int i = 0; i < c->TransactionCount(); ++i) {
      TDATransaction& other = c->Transactions(i);
      if (&other != this && other.Active()) throw EDAError("Multiple transactions are not supported by the database");
    }
  }
  PrepareTransaction(false);
  try {
    Monitor(IDASQLMonitor::teStart, true);
    FITransaction->SetProp(prIsolationLevel, static_cast<std::int32_t>(FIsolationLevel));
    FITransaction->SetProp(prTransactionReadOnly, FReadOnly);
    {
      std::optional<TDAOperationScope> operation;
      TCustomDAConnection* single = FConnections.size() == 1 ? FConnections.front() : nullptr;
      if (single) operation.emplace(*single, clTransStart, single->IsFailOverAllowed());
      int repeats = 0;
      for (;;) {
        try {
          Call([this] { FITransaction->StartTransaction(); });
          break;
        } catch (const EFailOver& e) {
          const int cap = single ? single->Options().MaxReconnectAttempts() : 0;
          if (e.ConnLostCause() != clTransStart) throw;
          if (repeats >= cap) throw EDAError(e.Message());
          ++repeats;
          single->RestoreAfterFailOver();
          PrepareTransaction(false);
        }
      }
    }
    for (TCustomDAConnection* c : FConnections) {
      if (c->IsMultipleTransactionsSupported() || !c->IConnection()) continue;
      c->IConnection()->SetProp(prAutoCommit, false);
      FAutoCommitSuppressed.push_back(c);
    }
    FTrStartCount = 1;
    FExplicitlyStarted = true;
  } catch (...) {
    UnPrepareTransaction();
    throw;
  }
  Monitor(IDASQLMonitor::teStart, false);
  if (OnStart) OnStart(*this);
}

void TDATransaction::Finish(bool commit) {
  // The data sets and commands working in this transaction end with it.
  for (TCustomDAConnection* c : std::vector<TCustomDAConnection*>(FConnections)) {
    for (IDAConnectionClient* client : c->DAClients()) {
      TDATransaction* used = client->UsedTransaction();
      if (used == this || (!used && c->UsedTransaction() == this)) client->TransactionEnds(*this);
    }
  }
  try {
    Call([this, commit] {
      if (commit)
        FITransaction->Commit();
      else
        FITransaction->Rollback();
    });
  } catch (...) {
    if (!Active()) UnPrepareTransaction();
    throw;
  }
  if (!Active()) UnPrepareTransaction();
}

void TDATransaction::Commit() {
  CheckActive();
  if (!FPrepared) PrepareTransaction(true);
  Monitor(IDASQLMonitor::teCommit, true);
  Finish(true);
  Monitor(IDASQLMonitor::teCommit, false);
  if (OnCommit) OnCommit(*this);
}

void TDATransaction::Rollback() {
  CheckActive();
  if (!FPrepared) PrepareTransaction(true);
  Monitor(IDASQLMonitor::teRollback, true);
  Finish(false);
  Monitor(IDASQLMonitor::teRollback, false);
  if (OnRollback) OnRollback(*this);
}

void TDATransaction::DoCommitRetaining() {
  CheckActive();
  Monitor(IDASQLMonitor::teCommitRetaining, true);
  Call([this] { FITransaction->CommitRetaining(); });
  Monitor(IDASQLMonitor::teCommitRetaining, false);
}

void TDATransaction::DoRollbackRetaining() {
  CheckActive();
  Monitor(IDASQLMonitor::teRollbackRetaining, true);
  Call([this] { FITransaction->RollbackRetaining(); });
  Monitor(IDASQLMonitor::teRollbackRetaining, false);
}

void TDATransaction::DoSavepoint(const std::string& name) {
  CheckActive();
  Monitor(IDASQLMonitor::teSavepoint, true, name);
  Call([&] { FITransaction->Savepoint(name); });
  Monitor(IDASQLMonitor::teSavepoint, false, name);
}

void TDATransaction::DoReleaseSavepoint(const std::string& name) {
  CheckActive();
  Monitor(IDASQLMonitor::teReleaseSavepoint, true, name);
  Call([&] { FITransaction->ReleaseSavepoint(name); });
  Monitor(IDASQLMonitor::teReleaseSavepoint, false, name);
}

void TDATransaction::DoRollbackToSavepoint(const std::string& name) {
  CheckActive();
  Monitor(IDASQLMonitor::teRollbackToSavepoint, true, name);
  Call([&] { FITransaction->RollbackToSavepoint(name); });
  Monitor(IDASQLMonitor::teRollbackToSavepoint, false, name);
}

// ---- implicit transactions --------------------------------------------------------------------

void TDATransaction::GainTransaction() {
  if (FTrStartCount == 0 && !Active()) {
    StartTransaction();
    FExplicitlyStarted = false;
    return;
  }
  ++FTrStartCount;
}

void TDATransaction::AutoCommitTransaction(bool needCommit) {
  if (!needCommit || (FExplicitlyStarted && !CanAutoCommitExplicitTransaction())) {
    ++FUnCommitedStatementCount;
    return;
  }
  if (!Active()) return;
  if (FTrStartCount <= 1)
    Commit();
  else
    CommitRetaining();
}

void TDATransaction::ReleaseTransaction() {
  if (FTrStartCount == 1 && FDisconnectedMode && FUnCommitedStatementCount == 0 && Active()) {
    CloseTransaction(false);
    return;
  }
  if (FTrStartCount > 0) --FTrStartCount;
}

void TDATransaction::CloseTransaction(bool force) {
  if (!Active()) return;
  try {
    if (FDefaultCloseAction == taCommit)
      Commit();
    else
      Rollback();
  } catch (const Exception& e) {
    const bool swallow = force || (HasState(csDestroying) && IsFatalDAError(e));
    if (!swallow) throw;
    if (FITransaction) FITransaction->Reset();
    UnPrepareTransaction();
  }
}

// ---- failover ----------------------------------------------------------------------------------

void TDATransaction::Reset() {
  if (!Active()) return;
  FFailOverSatus = FITransaction->CanRestoreAfterFailover() ? FTrStartCount : 0;
  FFailOverExplicit = FExplicitlyStarted;
  for (TCustomDAConnection* c : std::vector<TCustomDAConnection*>(FConnections)) {
    for (IDAConnectionClient* client : c->DAClients()) {
      TDATransaction* used = client->UsedTransaction();
      if (used != this && !(used == nullptr && c->UsedTransaction() == this)) continue;
      try {
        client->ResetProviderObjects();
      } catch (...) {
      }
    }
  }
  try {
    if (FDefaultCloseAction == taCommit)
      FITransaction->Commit();
    else
      FITransaction->Rollback();
  } catch (...) {
    if (FITransaction) FITransaction->Reset();
  }
  UnPrepareTransaction();
}

void TDATransaction::Restore() {
  if (FFailOverSatus <= 0) return;
  const int count = std::exchange(FFailOverSatus, 0);
  PrepareTransaction(false);
  try {
    if (!FITransaction->GetInTransaction()) Call([this] { FITransaction->StartTransaction(); });
    for (TCustomDAConnection* c : FConnections) {
      if (c->IsMultipleTransactionsSupported() || !c->IConnection()) continue;
      c->IConnection()->SetProp(prAutoCommit, false);
      FAutoCommitSuppressed.push_back(c);
    }
  } catch (...) {
    UnPrepareTransaction();
    throw;
  }
  FTrStartCount = count;
  FExplicitlyStarted = FFailOverExplicit;
}

}  // namespace lumo
