// TDATransaction: the component layer's transaction over one or more
// connections. It starts, commits and rolls back the provider transaction
// (its own, or for a connection's internal transaction the provider
// connection's), keeps the nesting of implicit starts that data sets and
// commands make (GainTransaction / AutoCommitTransaction /
// ReleaseTransaction), closes a transaction that DisconnectedMode would
// otherwise keep open, and resets and restores itself around a lost
// connection.
//
// Decisions:
// - A prepared transaction (one started here) holds one use of each of its
//   connections (TDAConnectionUse) and gives them back when it ends, so a
//   connection in DisconnectedMode stays open exactly as long as the
//   transaction needs it and a connection the application opened is never
//   released on its behalf.
// - Connections are added and removed only while the transaction is
//   inactive ("Can't perform operation on active transaction").
// - The base GetITransactionClass answers TMTSTransaction for ttMTS and
//   fails with "Must be overrided" for ttNative; a transaction that shares
//   the provider connection's own transaction (the connection's internal
//   one) never asks.
// - An error of the provider transaction goes to DoError (OnError may
//   clear Fail: the error becomes the silent abort). Starting again after a
//   failover is bounded as for the connection.
// - Reset (after a fatal error) remembers the nesting and whether the
//   transaction was started explicitly; Restore starts it again with both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Component.h>

namespace lumo {

class TDATransaction : public TComponent {
 public:
  using TDATransactionErrorEvent = std::function<void(TDATransaction& sender, const EDAError& e, bool& fail)>;
  using TNotifyEvent = std::function<void(TDATransaction& sender)>;

  TDATransaction();
  ~TDATransaction() override;

  std::string ClassName() const override { return "TDATransaction"; }

  virtual void StartTransaction();
  virtual void Commit();
  virtual void Rollback();
  void CommitRetaining() { DoCommitRetaining(); }
  void RollbackRetaining() { DoRollbackRetaining(); }
  void Savepoint(const std::string& name) { DoSavepoint(name); }
  void ReleaseSavepoint(const std::string& name) { DoReleaseSavepoint(name); }
  void RollbackToSavepoint(const std::string& name) { DoRollbackToSavepoint(name); }

  void AddConnection(TCustomDAConnection& connection) { DoAddConnection(connection); }
  void RemoveConnection(TCustomDAConnection& connection) { DoRemoveConnection(connection); }
  int ConnectionsCount() const noexcept { return static_cast<int>(FConnections.size()); }
  TCustomDAConnection& Connections(int index) const;
  bool HasConnection(const TCustomDAConnection& connection) const noexcept;

  // Implicit transactions of data sets and commands.
  virtual void GainTransaction();
  virtual void AutoCommitTransaction(bool needCommit);
  virtual void ReleaseTransaction();
  // Ends an active transaction with DefaultCloseAction (see the unit comment).
  virtual void CloseTransaction(bool force = false);
  // After a fatal error of a connection (see the unit comment).
  virtual void Reset();
  virtual void Restore();
  virtual void DoError(const EDAError& e, bool& fail);

  // Properties.
  bool Active() const;
  TCustomDAConnection* DefaultConnection() const noexcept { return FDefaultConnection; }
  void SetDefaultConnection(TCustomDAConnection* value);
  TTransactionType TransactionType() const noexcept { return FTransactionType; }
  void SetTransactionType(TTransactionType value);
  TKxTransactionAction DefaultCloseAction() const noexcept { return FDefaultCloseAction; }
  void SetDefaultCloseAction(TKxTransactionAction value) noexcept { FDefaultCloseAction = value; }
  TKxIsolationLevel IsolationLevel() const noexcept { return FIsolationLevel; }
  void SetIsolationLevel(TKxIsolationLevel value);
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool value);
  bool ShareTransaction() const noexcept { return FShareTransaction; }
  void SetShareTransaction(bool value);
  int TrStartCount() const noexcept { return FTrStartCount; }
  int UnCommitedStatementCount() const noexcept { return FUnCommitedStatementCount; }
  bool ExplicitlyStarted() const noexcept { return FExplicitlyStarted; }
  bool Prepared() const noexcept { return FPrepared; }
  // The provider transaction (nullptr until prepared).
  TKxTransaction* ITransaction() const noexcept { return FITransaction; }

  TDATransactionErrorEvent OnError;
  TNotifyEvent OnStart;
  TNotifyEvent OnCommit;
  TNotifyEvent OnRollback;

 protected:
  void Notification(TComponent& component, TOperation operation) override;

  virtual TClassRef<TKxTransaction> GetITransactionClass();
  // Makes sure the provider transaction exists and holds the provider
  // connections of every connection.
  virtual void GainITransaction();
  virtual void SetITransaction(TKxTransaction* value);
  virtual bool DetectInTransaction(bool canActivate = false);
  virtual bool CanAutoCommitExplicitTransaction() { return true; }
  virtual IDASQLMonitor* SQLMonitorClass() { return DASQLMonitor(); }
  virtual TCustomDAConnection* UsedConnection() const;
  virtual void DoCommitRetaining();
  virtual void DoRollbackRetaining();
  virtual void DoSavepoint(const std::string& name);
  virtual void DoReleaseSavepoint(const std::string& name);
  virtual void DoRollbackToSavepoint(const std::string& name);
  virtual void DoAddConnection(TCustomDAConnection& connection);
  virtual void DoRemoveConnection(TCustomDAConnection& connection);

  // Checks (checkOnly) or makes ready every connection; see the unit comment.
  void PrepareTransaction(bool checkOnly = false);
  void UnPrepareTransaction() noexcept;
  void CheckActive() const;
  void CheckInactive() const;

 private:
  friend class TCustomDAConnection;

  // Runs a provider call; an EDAError goes through DoError first.
  void Call(const std::function<void()>& call);
  // Commits or rolls back on the provider and ends the transaction here.
  void Finish(bool commit);
  void Monitor(IDASQLMonitor::TTransactionEvent event, bool before, const std::string& savepoint = {});
  // A connection's provider connection changes: drop references to it.
  void IConnectionChanging(TCustomDAConnection& connection);
  // The connection lists of both sides forget each other.
  void Detach(TCustomDAConnection& connection) noexcept;

  bool FDesignCreate = false;
  TCustomDAConnection* FDefaultConnection = nullptr;
  int FTrStartCount = 0;
  int FUnCommitedStatementCount = 0;
  bool FExplicitlyStarted = false;
  bool FDisconnectedMode = false;
  int FFailOverSatus = 0;
  bool FFailOverExplicit = false;
  bool FPrepared = false;
  TTransactionType FTransactionType = ttNative;
  TKxTransactionAction FDefaultCloseAction = taRollback;
  TKxIsolationLevel FIsolationLevel = ilReadCommitted;
  bool FReadOnly = false;
  bool FInProcessError = false;
  TKxTransaction* FITransaction = nullptr;
  std::unique_ptr<TKxTransaction> FOwnedITransaction;
  bool FShareTransaction = false;
  std::vector<TCustomDAConnection*> FConnections;
  std::vector<TDAConnectionUse> FUses;
  std::vector<TCustomDAConnection*> FAutoCommitSuppressed;
};

}  // namespace lumo
