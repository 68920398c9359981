// The component layer's connection: TCustomDAConnection holds the login
// data and options, owns the provider connection (TKxConnection) while it
// exists, counts its users, prompts for a login when asked, keeps its
// transactions and the SQL components that use it, runs ad-hoc statements
// and stored procedures, and decides what happens when the server
// connection breaks (error events, local failover, reconnect and
// re-execute). A provider front derives from it and answers the provider
// classes. EDAError is the layer's error; the option objects, the class
// references and the seams that later components fill are here too.
//
// Decisions:
// - The option objects, the mapping rules, the connect-string builder and
//   the internal transaction are made on first use by their factories
//   (CreateOptions ...), so that a front's overrides are the ones used.
// - Class references (GetIConnectionClass ...) are TClassRef values, the
//   same records the provider registry hands out (ClassRef.h), so a caller
//   can both create an object and ask whether one is exactly of that class.
// - Use counting has one invariant: a connection that is not connected has
//   no users; connecting (explicitly or implicitly) leaves exactly one use,
//   the one of whoever connected, and the matching Disconnect or
//   InternalDisconnect releases it. An explicit Connect holds its use until
//   an explicit Disconnect, so in DisconnectedMode a connection that the
//   application opened itself stays open. TDAConnectionUse takes a use for
//   a scope and gives it back however the scope ends; a use taken before a
//   disconnect is stale and is not released again (UseGeneration).
// - DisconnectedMode closes the connection when the last use goes and no
//   transaction is active; a prepared transaction holds one use on each of
//   its connections.
// - Reconnecting is bounded: the error hook asks for at most
//   Options().MaxReconnectAttempts() reconnects per error, waiting
//   ReconnectDelayMs() before the second attempt and twice as long before
//   each further one (SetReconnectSleeper replaces the wait in tests);
//   after that the original error is raised and the provider's
//   reconnect-failure hook disconnects. OnError fires once per error, not
//   once per attempt. An operation that is run again after a failover is
//   run again at most MaxReconnectAttempts times; after that it fails with
//   an EDAError carrying the message of the error that caused the failover.
// - Disconnecting tells every client, also those after one that fails; a
//   client that fails with a fatal EDAError is told once more, and a second
//   fatal error is swallowed too (the connection goes down either way). A
//   non-fatal error stops the disconnect.
// - The base CreateIConnection creates the provider connection of
//   GetIConnectionClass (or asks the pool manager when Pooling is on, see
//   IDAConnectionPoolManager); fronts may override it.
// - OnLogin, when set, is the login prompt: it gets "USER NAME",
//   "PASSWORD" and "SERVER" lines and the values it leaves are used; a
//   login dialog is used only without it.
// - With no login form installed (ShowConnectFormProc), a connection that
//   needs a prompt cannot connect: the dialog answers False and the connect
//   ends in the silent abort (EAbort) or, for a connection read from a
//   stored form, "Cannot connect to database".
// - The failover cause of an interrupted execute does not take an extra
//   use: the provider reconnects in place and the interrupted operation
//   keeps the use it holds.
// - ExecSQL, ExecProc and ParamByName run through an internal command made
//   by CreateInternalCommand: a SQL command component of this connection.
//   LongWord values go in as 64-bit integers (they do not fit a 32-bit one).
// - GetTableNames and GetStoredProcNames write each name part the server
//   gives as one identifier (TSQLInfo::IdentifierOf): a name holding a "."
//   or quote characters is quoted whole, never taken as already quoted.
// - CreateDataSet, CreateSQL and CreateMetaData make the component layer's
//   classes bound to this connection; a front makes its own.
// - Links to other components (dialog, default transaction, transport
//   handler, clients) are kept by free notification and never removed
//   again: the other side may have asked for the same link, which removing
//   it would cut. A notification about a component no longer linked
//   changes nothing.
// - The SQL monitor and the pool manager are hooks (IDASQLMonitor,
//   IDAConnectionPoolManager) that later units install; without them
//   nothing is monitored and Pooling raises "Connection pooling is not
//   available".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxAccessMetaData.h>
#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DAMapRules.h>
#include <lumokit/core/ClassRef.h>
#include <lumokit/core/Variant.h>
#include <lumokit/dataset/CustomConnection.h>
#include <lumokit/dataset/DB.h>
#include <lumokit/dataset/Params.h>

namespace lumo {

class TComponent;
class TCustomDAConnection;
class TDATransaction;
class TCustomConnectDialog;
class TDAConnectStringBuilder;
class IDAConnectionCommand;
class TCustomDADataSet;
class TCustomDASQL;
class TDAMetaData;

// ---- errors ----------------------------------------------------------------------------------

class EDAError : public EDatabaseError {
 public:
  EDAError(int errorCode, std::string message, TComponent* component = nullptr)
      : EDatabaseError(std::move(message)), FErrorCode(errorCode), FComponent(component) {}
  // A plain data-access error without a server code.
  explicit EDAError(std::string message) : EDAError(0, std::move(message)) {}

  int ErrorCode() const noexcept { return FErrorCode; }
  TComponent* Component() const noexcept { return FComponent; }
  void SetComponent(TComponent* value) noexcept { FComponent = value; }

  // The connection is lost (the provider knows its codes).
  virtual bool IsFatalError() const;
  // A unique or primary key was violated.
  virtual bool IsKeyViolation() const;

 private:
  int FErrorCode;
  TComponent* FComponent;
};

// True for an EDAError whose IsFatalError answers true.
bool IsFatalDAError(const Exception& e) noexcept;

// ---- enumerations -------------------------------------------------------------------------

enum TRetryMode : std::uint8_t { rmRaise = 0, rmReconnect = 1, rmReconnectExecute = 2 };
enum TTransactionType : std::uint8_t { ttNative = 0, ttMTS = 1 };

// ---- seams for later components -------------------------------------------------------------

// What the SQL monitor learns of the component layer. The monitor
// component installs itself with SetDASQLMonitor; the calls are
// notifications only (a monitor never changes the flow).
class IDASQLMonitor {
 public:
  enum TTransactionEvent { teStart, teCommit, teRollback, teCommitRetaining, teRollbackRetaining, teSavepoint,
                           teReleaseSavepoint, teRollbackToSavepoint };

  virtual ~IDASQLMonitor() = default;
  virtual void ConnectChange(TCustomDAConnection& connection, bool connecting, bool before) = 0;
  virtual void TransactionEvent(TDATransaction& transaction, TTransactionEvent event, bool before,
                                const std::string& savepoint) = 0;
  virtual void Error(TComponent* source, const EDAError& error) = 0;
  virtual void CustomMessage(TCustomDAConnection& connection, const std::string& message) = 0;
};
IDASQLMonitor* DASQLMonitor() noexcept;
void SetDASQLMonitor(IDASQLMonitor* monitor) noexcept;

// The login data and pool settings a pooled provider connection is asked
// for with.
struct TDAPoolParameters {
  std::string Username;
  std::string Password;
  std::string Server;
  std::int32_t MinPoolSize = 0;
  std::int32_t MaxPoolSize = 100;
  std::int32_t ConnectionLifetime = 0;
  bool Validate = false;
  TKxIOHandler* IOHandler = nullptr;
  TErrorProc OnError;
};

// Hands out pooled provider connections. The returned connection has its
// Pool set, so that a disconnect gives it back (TKxConnection::ReturnToPool).
class IDAConnectionPoolManager {
 public:
  virtual ~IDAConnectionPoolManager() = default;
  virtual std::unique_ptr<TKxConnection> GetConnection(TCustomDAConnection& requester,
                                                       const TDAPoolParameters& parameters) = 0;
};
IDAConnectionPoolManager* DAPoolManager() noexcept;
void SetDAPoolManager(IDAConnectionPoolManager* manager) noexcept;

// What the connection asks of the SQL data sets and SQL commands that use
// it. Such components register with RegisterClient and implement this
// interface as well; plain clients only hear connect and disconnect.
class IDAConnectionClient {
 public:
  virtual ~IDAConnectionClient() = default;

  virtual TComponent& ClientComponent() = 0;
  // The connection the client uses (for the ownership check of ApplyUpdates).
  virtual TCustomDAConnection* ClientConnection() = 0;
  // The provider connection changed (nullptr: there is none now).
  virtual void SetIConnection(TKxConnection* value) = 0;
  // The connection goes away: drop every reference to it.
  virtual void ClearConnection() = 0;
  // Reconnecting now would lose server state the client holds (a prepared
  // statement, rows still to fetch). `failing` is the component whose
  // operation failed, `cause` the operation.
  virtual bool PreventsReconnect(TComponent* failing, TConnLostCause cause) = 0;
  // The transaction the client works in (nullptr: the connection's).
  virtual TDATransaction* UsedTransaction() = 0;
  // `transaction` commits or rolls back: close what depends on it.
  virtual void TransactionEnds(TDATransaction& transaction) = 0;
  // After a fatal error: drop the provider objects (errors are ignored).
  virtual void ResetProviderObjects() = 0;

  // Cached updates (SQL data sets): whether there are updates to apply,
  // the transaction to apply them in, the apply itself with the client's
  // own autocommit switched as told, and the final commit of the cache.
  virtual bool HasCachedUpdates() { return false; }
  virtual TDATransaction* UpdateTransaction() { return nullptr; }
  virtual void ApplyCachedUpdates() {}
  virtual bool ClientAutoCommit() const { return true; }
  virtual void SetClientAutoCommit(bool /*value*/) {}
  virtual void CommitCachedUpdates() {}
};

// ---- process-wide hooks ---------------------------------------------------------------------

// Shows a busy cursor while the connection talks to the server (true) and
// takes it away (false); nothing when unset or when ChangeCursor is off.
using TSetCursorProc = std::function<void(bool busy)>;
void SetSetCursorProc(TSetCursorProc proc);
void SetChangeCursor(bool value) noexcept;
bool ChangeCursor() noexcept;

// The busy cursor for a scope (or until Stop); nothing when `enabled` is
// false, the process-wide ChangeCursor is off or no hook is installed.
class TDABusyCursor {
 public:
  explicit TDABusyCursor(bool enabled = true);
  ~TDABusyCursor();
  TDABusyCursor(const TDABusyCursor&) = delete;
  TDABusyCursor& operator=(const TDABusyCursor&) = delete;
  void Stop() noexcept;

 private:
  bool FActive;
};

// ---- options ------------------------------------------------------------------------------

class TDAConnectionOptions {
 public:
  explicit TDAConnectionOptions(TCustomDAConnection* owner) : FOwner(owner) {}
  TDAConnectionOptions(const TDAConnectionOptions&) = delete;
  TDAConnectionOptions& operator=(const TDAConnectionOptions&) = delete;
  virtual ~TDAConnectionOptions() = default;

  virtual void Assign(const TDAConnectionOptions& source);

  bool KeepDesignConnected() const noexcept { return FKeepDesignConnected; }
  void SetKeepDesignConnected(bool value) noexcept { FKeepDesignConnected = value; }
  bool DisconnectedMode() const noexcept { return FDisconnectedMode; }
  // A change disconnects first and is passed to the provider.
  void SetDisconnectedMode(bool value);
  bool LocalFailover() const noexcept { return FLocalFailover; }
  void SetLocalFailover(bool value) noexcept { FLocalFailover = value; }
  TSortType DefaultSortType() const noexcept { return FDefaultSortType; }
  void SetDefaultSortType(TSortType value);
  bool EnableBCD() const noexcept { return FEnableBCD; }
  void SetEnableBCD(bool value);
  bool EnableFMTBCD() const noexcept { return FEnableFMTBCD; }
  void SetEnableFMTBCD(bool value);
  // Reconnects asked for one error (0: never reconnect); 0..100.
  int MaxReconnectAttempts() const noexcept { return FMaxReconnectAttempts; }
  void SetMaxReconnectAttempts(int value);
  // The wait before the second reconnect attempt, doubled for each
  // further one; 0..60000 ms.
  int ReconnectDelayMs() const noexcept { return FReconnectDelayMs; }
  void SetReconnectDelayMs(int value);

 protected:
  void SetProp(int prop, const Variant& value);

  TCustomDAConnection* FOwner;
  bool FKeepDesignConnected = true;
  bool FDisconnectedMode = false;
  bool FLocalFailover = false;
  TSortType FDefaultSortType = stCaseSensitive;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
  int FMaxReconnectAttempts = 3;
  int FReconnectDelayMs = 100;
};

// Pool settings (their meaning is the pool's). Values out of range raise
// EDAError "Invalid pooling option value: <name> = <value>".
class TPoolingOptions {
 public:
  explicit TPoolingOptions(TCustomDAConnection* owner) : FOwner(owner) {}
  TPoolingOptions(const TPoolingOptions&) = delete;
  TPoolingOptions& operator=(const TPoolingOptions&) = delete;
  virtual ~TPoolingOptions() = default;

  virtual void Assign(const TPoolingOptions& source);
  // MinPoolSize must not exceed MaxPoolSize (checked when a pool is asked
  // for, as the two are set one after the other).
  void CheckConsistent() const;

  // 1 .. 2^31-1.
  std::int32_t MaxPoolSize() const noexcept { return FMaxPoolSize; }
  void SetMaxPoolSize(std::int32_t value);
  // 0 .. 2^31-1.
  std::int32_t MinPoolSize() const noexcept { return FMinPoolSize; }
  void SetMinPoolSize(std::int32_t value);
  // Milliseconds, 0 = unlimited; never negative.
  std::int32_t ConnectionLifetime() const noexcept { return FConnectionLifetime; }
  void SetConnectionLifetime(std::int32_t value);
  bool Validate() const noexcept { return FValidate; }
  void SetValidate(bool value) noexcept { FValidate = value; }

 protected:
  TCustomDAConnection* FOwner;
  std::int32_t FMaxPoolSize = 100;
  std::int32_t FMinPoolSize = 0;
  std::int32_t FConnectionLifetime = 0;
  bool FValidate = false;
};

// ---- the connection -------------------------------------------------------------------------

class TCustomDAConnection : public TCustomConnection {
 public:
  using TDAConnectionErrorEvent = std::function<void(TCustomDAConnection& sender, const EDAError& e, bool& fail)>;
  using TConnectionLostEvent = std::function<void(TCustomDAConnection& sender, TComponent* component,
                                                  TConnLostCause connLostCause, TRetryMode& retryMode)>;
  using TReconnectSleeper = std::function<void(std::int64_t ms)>;

  TCustomDAConnection();
  ~TCustomDAConnection() override;

  std::string ClassName() const override { return "TCustomDAConnection"; }
  void SetName(const std::string& value) override;

  // ---- connecting
  void Connect() { SetConnected(true); }
  void Connect(const std::string& connectString);
  void Disconnect() { SetConnected(false); }
  void SetConnected(bool value) override;
  void Loaded() override;
  // Connects unless connected (no prompt; BeforeConnect not fired on a
  // retry).
  void PerformConnect(bool retry = false);
  // Shares the provider session of `source` (nullptr detaches).
  void AssignConnect(TCustomDAConnection* source);
  // Marks the provider connection invalid, so that its pool discards it.
  void RemoveFromPool();

  // Use counting (see the unit comment).
  virtual void InternalConnect();
  virtual void InternalDisconnect();
  int ConnectCount() const noexcept { return FConnectCount; }
  // Changes with every disconnect; a use belongs to the generation it was
  // taken in.
  std::uint64_t UseGeneration() const noexcept { return FUseGeneration; }

  // ---- ad-hoc statements
  Variant ExecSQL(const std::string& text);
  virtual Variant ExecSQL(const std::string& text, const std::vector<Variant>& params);
  // Name/value pairs.
  virtual Variant ExecSQLEx(const std::string& text, const std::vector<Variant>& params);
  virtual Variant ExecProc(const std::string& name, const std::vector<Variant>& params);
  virtual Variant ExecProcEx(const std::string& name, const std::vector<Variant>& params);
  // A parameter of the internal command.
  TParam& ParamByName(const std::string& name);

  // ---- names
  virtual void GetTableNames(TStrings& list, bool allTables = false, bool onlyTables = false);
  virtual void GetDatabaseNames(TStrings& list);
  virtual void GetStoredProcNames(TStrings& list, bool allProcs = false);
  virtual void GetFieldNames(const std::string& tableName, TStrings& list);

  // ---- transactions (on the default transaction, see DefaultTransaction)
  virtual void StartTransaction();
  virtual void Commit();
  virtual void Rollback();
  void CommitRetaining() { DoCommitRetaining(); }
  void RollbackRetaining() { DoRollbackRetaining(); }
  void Savepoint(const std::string& name) { DoSavepoint(name); }
  void ReleaseSavepoint(const std::string& name) { DoReleaseSavepoint(name); }
  void RollbackToSavepoint(const std::string& name) { DoRollbackToSavepoint(name); }
  bool InTransaction() { return GetInTransaction(); }
  // DefaultTransaction when set, else the internal one.
  TDATransaction& DefaultTransactionOrInternal() const;
  TDATransaction* DefaultTransaction() const noexcept { return FDefaultTransaction; }
  void SetDefaultTransaction(TDATransaction* value);
  // The built-in transaction (a sub-component named "tr" + Name()).
  TDATransaction& InternalTransaction() const;
  int TransactionCount() const;
  TDATransaction& Transactions(int index) const;
  // The transaction an operation uses (see UsedTransaction).
  virtual TDATransaction* UsedTransaction();
  virtual bool IsMultipleTransactionsSupported() { return false; }

  // ---- cached updates of several data sets in one go
  virtual void ApplyUpdates(const std::vector<IDAConnectionClient*>& dataSets);
  virtual void ApplyUpdates();

  // ---- factories of bound components
  virtual std::unique_ptr<TDATransaction> CreateTransaction();
  virtual std::unique_ptr<TCustomDADataSet> CreateDataSet();
  virtual std::unique_ptr<TCustomDASQL> CreateSQL();
  virtual std::unique_ptr<TDAMetaData> CreateMetaData();

  void MonitorMessage(const std::string& message);

  // ---- failover bookkeeping (pushed by operations, see TDAOperationScope)
  virtual void PushOperation(TConnLostCause operation, bool allowFailOver = true);
  virtual void PopOperation();
  virtual bool IsFailOverAllowed();
  virtual TConnLostCause DetectConnLostCause(TComponent* component);
  // Every transaction restores what a fatal error reset.
  virtual void RestoreAfterFailOver();
  // Runs `operation`, and again after an EFailOver of `cause` (after
  // RestoreAfterFailOver), at most Options().MaxReconnectAttempts() times.
  void RunWithFailover(TConnLostCause cause, const std::function<void()>& operation);
  // The provider connection's error hook (see the failover protocol).
  virtual void DoError(const Exception& e, bool& fail, bool& reconnect, bool& reexecute, int reconnectAttempt,
                       TConnLostCause& connLostCause);

  // ---- properties
  const std::string& Username() const noexcept { return FUsername; }
  void SetUsername(const std::string& value);
  const std::string& Password() const noexcept { return FPassword; }
  void SetPassword(const std::string& value);
  const std::string& Server() const noexcept { return FServer; }
  virtual void SetServer(const std::string& value);
  bool AutoCommit() const noexcept { return FAutoCommit; }
  void SetAutoCommit(bool value);
  bool ConvertEOL() const noexcept { return FConvertEOL; }
  void SetConvertEOL(bool value);
  bool Debug() const noexcept { return FDebug; }
  void SetDebug(bool value) noexcept { FDebug = value; }
  bool Pooling() const noexcept { return FPooling; }
  void SetPooling(bool value);
  TDAConnectionOptions& Options() const;
  TPoolingOptions& PoolingOptions() const;
  TDAMapRules& DataTypeMap() const;
  TCustomConnectDialog* ConnectDialog() const noexcept { return FConnectDialog; }
  void SetConnectDialog(TCustomConnectDialog* value);
  TKxIOHandler* IOHandler() const noexcept { return FIOHandler; }
  void SetIOHandler(TKxIOHandler* value);
  std::string ConnectString() { return GetConnectString(); }
  void SetConnectString(const std::string& value) { SetConnectStringImpl(value); }
  TDAConnectStringBuilder& ConnectStringBuilder() const;
  // The provider connection (nullptr while none exists).
  TKxConnection* IConnection() const noexcept { return FIConnection.get(); }
  bool LockLoginPrompt() const noexcept { return FLockLoginPrompt; }
  void SetLockLoginPrompt(bool value) noexcept { FLockLoginPrompt = value; }
  // The pool manager to ask (nullptr: the process-wide one).
  void SetPoolManager(IDAConnectionPoolManager* value) noexcept { FPoolManager = value; }
  // Replaces the wait between reconnect attempts (tests).
  void SetReconnectSleeper(TReconnectSleeper value) { FReconnectSleeper = std::move(value); }
  bool IsConnectedStored() const { return Connected() && !Options().DisconnectedMode(); }

  TDAConnectionErrorEvent OnError;
  TConnectionLostEvent OnConnectionLost;

  // ---- provider classes (a front answers them)
  virtual TClassRef<TKxConnection> GetIConnectionClass();
  virtual TClassRef<TKxCommand> GetICommandClass();
  virtual TClassRef<TKxRecordSet> GetIRecordSetClass();
  virtual TClassRef<TKxMetaData> GetIMetaDataClass();
  virtual std::string DefaultTableSchema() { return {}; }

  // Called by transactions when they take or leave this connection.
  virtual void DoAddTransaction(TDATransaction& transaction);
  virtual void DoRemoveTransaction(TDATransaction& transaction);
  bool GetInTransaction();
  virtual bool DetectInTransaction(bool canActivate = false);

  // Registration keeps the SQL components apart (IDAConnectionClient).
  void RegisterClient(TComponent* client, TConnectChangeEvent event = nullptr) override;
  void UnRegisterClient(TComponent* client) override;
  // The registered SQL data sets and commands.
  std::vector<IDAConnectionClient*> DAClients() const;

 protected:
  bool GetConnected() const override;
  void DoConnect() override;
  void DoDisconnect() override;
  void Notification(TComponent& component, TOperation operation) override;

  virtual void ClearRefs();
  virtual void CreateIConnection();
  virtual void SetIConnection(std::unique_ptr<TKxConnection> value);
  virtual std::unique_ptr<TDAMapRules> CreateDataTypeMap();
  virtual IDASQLMonitor* SQLMonitorClass() { return DASQLMonitor(); }
  virtual std::unique_ptr<TCustomConnectDialog> ConnectDialogClass();
  virtual void DisconnectTransaction();
  virtual std::string InternalGetServer() { return FServer; }
  virtual bool NeedPrompt();
  virtual void ResetOnFatalError();
  virtual std::string GetConnectString();
  virtual void SetConnectStringImpl(const std::string& value);
  virtual void AssignConnectOptions(TCustomDAConnection& source);
  virtual std::unique_ptr<TDAConnectionOptions> CreateOptions();
  virtual std::unique_ptr<TPoolingOptions> CreatePoolingOptions();
  virtual std::unique_ptr<TDAConnectStringBuilder> CreateConnectStringBuilder();
  // The command behind ExecSQL and ExecProc.
  virtual std::unique_ptr<IDAConnectionCommand> CreateInternalCommand();
  IDAConnectionCommand& CheckCommand();
  virtual void DoCommitRetaining();
  virtual void DoRollbackRetaining();
  virtual void DoSavepoint(const std::string& name);
  virtual void DoReleaseSavepoint(const std::string& name);
  virtual void DoRollbackToSavepoint(const std::string& name);
  // The provider's reconnect-success hook: AfterConnect (not while a
  // connect of this component is running, which fires it itself).
  void DoAfterReconnect();

  friend class TDATransaction;
  friend class TDAConnectStringBuilder;

 private:
  struct TOperationEntry {
    TConnLostCause Operation;
    bool AllowFailOver;
  };

  // Step 5 of connecting: the prompt, then PerformConnect.
  void ConnectWithPrompt(bool promptAllowed);
  // Runs the login prompt; false when it was cancelled.
  bool ShowLoginPrompt();
  void DisconnectImpl();
  void NotifyClientsOfDisconnect();
  void ApplyProviderOptions(TKxConnection& connection);
  void AssignExecParam(TParam& param, const Variant& value);
  Variant ResultParamValue();
  void CheckParamsArray(const std::vector<Variant>& params) const;
  void Reconnected() noexcept;

  std::vector<TDATransaction*> FTransactions;
  std::string FUsername;
  bool FAutoCommit = true;
  bool FInProcessError = false;
  TCustomConnectDialog* FConnectDialog = nullptr;
  bool FDebug = false;
  bool FConvertEOL = false;
  // Made on first use by their factories (a constructor cannot reach a
  // subclass's).
  mutable std::unique_ptr<TDAConnectionOptions> FOptions;
  mutable std::unique_ptr<TPoolingOptions> FPoolingOptions;
  bool FPooling = false;
  mutable std::unique_ptr<TDAMapRules> FDataTypeMap;
  mutable std::unique_ptr<TDAConnectStringBuilder> FConnectStringBuilder;
  TDATransaction* FDefaultTransaction = nullptr;
  mutable TDATransaction* FInternalDefTransaction = nullptr;  // owned as a sub-component
  int FConnectCount = 0;
  std::uint64_t FUseGeneration = 0;
  std::unique_ptr<TKxConnection> FIConnection;
  std::string FServer;
  std::string FPassword;
  bool FShouldShowPrompt = true;
  std::vector<TOperationEntry> FOperationsStack;
  std::unique_ptr<IDAConnectionCommand> FCommand;
  bool FLockLoginPrompt = false;
  TKxIOHandler* FIOHandler = nullptr;
  IDAConnectionPoolManager* FPoolManager = nullptr;
  TReconnectSleeper FReconnectSleeper;
  bool FInDisconnect = false;
  bool FConnecting = false;
  bool FErrorReported = false;
  bool FApplyingStreamed = false;
};

// Holds one use of a connection for a scope (InternalConnect on
// construction, InternalDisconnect on destruction, errors of that release
// swallowed). A use taken before the connection was disconnected is not
// released again. Movable, not copyable.
class TDAConnectionUse {
 public:
  explicit TDAConnectionUse(TCustomDAConnection& connection);
  TDAConnectionUse(TDAConnectionUse&& other) noexcept;
  TDAConnectionUse& operator=(TDAConnectionUse&& other) noexcept;
  ~TDAConnectionUse();

  // Gives the use back now (errors propagate); later calls do nothing.
  void Release();
  // Drops the use without touching the connection (it is going away).
  void Forget() noexcept { FConnection = nullptr; }
  TCustomDAConnection* Connection() const noexcept { return FConnection; }

 private:
  TCustomDAConnection* FConnection;
  std::uint64_t FGeneration;
};

// Sets a flag for a scope (guards against re-entry), restoring it after.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : FFlag(flag), FOld(flag) { flag = true; }
  ~TFlagScope() { FFlag = FOld; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
  bool FOld;
};

// Pushes a failover operation for a scope.
class TDAOperationScope {
 public:
  TDAOperationScope(TCustomDAConnection& connection, TConnLostCause operation, bool allowFailOver);
  ~TDAOperationScope();
  TDAOperationScope(const TDAOperationScope&) = delete;
  TDAOperationScope& operator=(const TDAOperationScope&) = delete;

 private:
  TCustomDAConnection& FConnection;
};

}  // namespace lumo
