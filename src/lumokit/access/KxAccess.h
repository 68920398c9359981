// The contracts every database provider implements and the provider-neutral
// components rely on: the server connection with its failover protocol and
// pool hooks, transactions, commands with parameter scanning and parameter
// descriptors, server event alerters and cursors. Settings travel to these
// objects as integer property codes with variant values (SetProp/GetProp);
// each class handles its own codes and passes the rest to its base.
//
// Decisions:
// - A property code that no class of the chain knows is a programming
//   error: the root SetProp/GetProp raise EAssertionFailed ("Unknown
//   property code %d").
// - Abstract operations are pure virtual functions; class references are
//   virtual factory functions returning std::unique_ptr (CreateCommand,
//   CreateTransaction, CreateSQLInfo, CreateParamDesc ...).
// - The connection's internal transaction, its SQL info and its mapping
//   rules are made on first use (a constructor cannot reach a subclass's
//   factory). The base CreateSQLInfo and CreateDataTypeMap ask a command of
//   the provider for its helper classes; a provider may answer directly.
// - The time of the last connect is a 64-bit steady-clock tick; the clock is
//   injectable (SetClock) so that pool tests need not wait.
// - ReturnToPool takes the connection's ownership and hands it to its pool
//   through IKxConnectionPool::PutConnection.
// - DoError keeps InProcessError set for the whole failover loop (so errors
//   raised by the reconnect itself are not handled again), and EFailOver
//   carries the message of the error that caused it.
// - ParseSQL copies the text between markers byte for byte (blanks,
//   comments, quoting and line breaks stay as written; a comment between
//   ":" and the name goes with the marker). A byte the lexer
//   does not know is copied too rather than failing the statement. Without
//   ScanParams (and without DisableParamScan) markers are still replaced by
//   "?" but the parameter list is left as the caller built it.
// - BreakExec may be called from another thread: it sets an atomic request
//   (BreakExecRequested) that a provider's execution loop polls; Executing
//   is atomic too.
// - A parameter's SetObject makes it null exactly when no object is given;
//   with an encryptor a large object (a TBlob) gets an encrypted copy that
//   GetObject hands out, and the given object is left as it is.
// - A distributed transaction coordinator does not exist on this platform:
//   Enlist and starting a TMTSTransaction raise ENotSupportedError "MS DTC
//   transactions not supported".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxAccessSQLInfo.h>
#include <lumokit/access/KxParser.h>
#include <lumokit/core/SharedObject.h>
#include <lumokit/core/StringList.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/core/Ticks.h>
#include <lumokit/core/Variant.h>
#include <lumokit/data/KxDataTypeMap.h>
#include <lumokit/data/MemTypes.h>
#include <lumokit/data/MemUtils.h>
#include <lumokit/net/KxVio.h>

namespace lumo {

class TComponent;
class TKxConnection;
class TKxTransaction;
class TKxCommand;

// ---- property codes ---------------------------------------------------------------------

inline constexpr int prUsername = 1;
inline constexpr int prPassword = 2;
inline constexpr int prServer = 4;
inline constexpr int prAutoCommit = 5;
inline constexpr int prSQL = 10;
inline constexpr int prScanParams = 11;
inline constexpr int prSQLType = 12;
inline constexpr int prRowsProcessed = 13;
inline constexpr int prUniDirectional = 20;
inline constexpr int prFetchRows = 21;
inline constexpr int prFetchAll = 22;
inline constexpr int prRowsFetched = 23;
inline constexpr int prExecuting = 24;
inline constexpr int prLongStrings = 25;
inline constexpr int prFlatBuffers = 27;
inline constexpr int prConvertEOL = 28;
inline constexpr int prIndexFieldNames = 29;
inline constexpr int prCompressBlobMode = 30;
inline constexpr int prDisconnectedMode = 31;
inline constexpr int prDisableParamScan = 32;
inline constexpr int prStoredProcIsQuery = 33;
inline constexpr int prQuoteNames = 34;
inline constexpr int prIsolationLevel = 35;
inline constexpr int prTransactionReadOnly = 37;
inline constexpr int prDatabase = 38;
inline constexpr int prPort = 39;
inline constexpr int prMaxStringSize = 40;
inline constexpr int prEnableBCD = 41;
inline constexpr int prEnableFmtBCD = 42;
inline constexpr int prCanReadParams = 43;
inline constexpr int prReadOnly = 44;
inline constexpr int prIsStoredProc = 45;
inline constexpr int prIsSelectParams = 46;
inline constexpr int prLockFetchAll = 47;
inline constexpr int prDefaultSortType = 48;
inline constexpr int prLastInsertId = 49;
inline constexpr int prFieldsAsString = 50;
inline constexpr int prExtendedFieldsInfo = 51;
inline constexpr int prDefaultValues = 52;
inline constexpr int prFieldsOrigin = 53;
inline constexpr int prUseDescribeParams = 54;
inline constexpr int prRoAfterUpdate = 55;
inline constexpr int prEncryptedFields = 56;
inline constexpr int prHttpUrl = 57;
inline constexpr int prHttpUsername = 58;
inline constexpr int prHttpPassword = 59;
inline constexpr int prProxyHostname = 60;
inline constexpr int prProxyPort = 61;
inline constexpr int prProxyUsername = 62;
inline constexpr int prProxyPassword = 63;

// ---- enumerations ------------------------------------------------------------------------

enum TCommandType : std::uint8_t { ctUnknown = 0, ctStatement = 1, ctCursor = 2 };
enum TCursorState : std::uint8_t {
  csInactive = 0,
  csOpen = 1,
  csParsed = 2,
  csPrepared = 3,
  csBound = 4,
  csExecuteFetchAll = 5,
  csExecuting = 6,
  csExecuted = 7,
  csFetching = 8,
  csFetchingAll = 9,
  csFetched = 10
};
enum TParamDirection : std::uint8_t { pdUnknown = 0, pdInput = 1, pdOutput = 2, pdInputOutput = 3, pdResult = 4 };
enum TKxIsolationLevel : std::uint8_t {
  ilReadCommitted = 0,
  ilReadUnCommitted = 1,
  ilRepeatableRead = 2,
  ilIsolated = 3,
  ilSnapshot = 4,
  ilCustom = 5
};
enum TKxTransactionAction : std::uint8_t { taCommit = 0, taRollback = 1 };

// ---- errors and events -------------------------------------------------------------------------

// Raised by DoError after a successful reconnect when the interrupted
// operation should be repeated; the caller catches it and repeats.
class EFailOver : public Exception {
 public:
  explicit EFailOver(TConnLostCause cause, std::string message = "Connection lost")
      : Exception(std::move(message)), FConnLostCause(cause) {}
  TConnLostCause ConnLostCause() const noexcept { return FConnLostCause; }

 private:
  TConnLostCause FConnLostCause;
};

using TErrorProc = std::function<void(const Exception& e, bool& fail, bool& reconnect, bool& reexecute,
                                      int reconnectAttempt, TConnLostCause& connLostCause)>;
using TReconnectProc = std::function<void()>;

// Field encryption (the encryptor's two methods). Encrypt returns the value
// in the form `dataType` asks for and sets `size` to its length; Decrypt
// works in place and answers whether it decrypted.
using TEncryptionMethod = std::function<Variant(const void* data, std::uint16_t dataType, std::int64_t& size)>;
using TDecryptionMethod = std::function<bool(void* data, std::uint16_t dataType, std::int64_t& size)>;

// Raises the programming error of an unknown property code.
[[noreturn]] void UnknownPropError(int prop);

// ---- pools ----------------------------------------------------------------------------------

// What a connection pool offers a connection that goes back to it.
class IKxConnectionPool {
 public:
  virtual ~IKxConnectionPool() = default;
  virtual void PutConnection(std::unique_ptr<TKxConnection> connection) = 0;
};

// ---- TKxConnection --------------------------------------------------------------------------

class TKxConnection {
 public:
  TKxConnection();
  TKxConnection(const TKxConnection&) = delete;
  TKxConnection& operator=(const TKxConnection&) = delete;
  virtual ~TKxConnection();

  // Class references of the provider.
  virtual std::unique_ptr<TKxCommand> CreateCommand() = 0;
  virtual std::unique_ptr<TKxTransaction> CreateTransaction() = 0;
  // The base asks a command of the provider for its SQL info.
  virtual std::unique_ptr<TSQLInfo> CreateSQLInfo();
  TSQLInfo& GetSQLInfo();
  // An empty rule list of the provider's rules class (the base asks a command).
  virtual std::unique_ptr<TKxMapRules> CreateDataTypeMap();
  // The connection's mapping rules, made on first use.
  TKxMapRules& DataTypeMap();

  // Distributed transactions: not supported here.
  virtual void Enlist(TKxTransaction& transaction);
  virtual void UnEnlist(TKxTransaction& transaction);

  // The failover protocol: called by the component layer when an operation
  // on this connection raised `e`. May raise EFailOver.
  virtual void DoError(const Exception& e, bool& fail);

  // The base records the connect time and marks the connection valid;
  // providers open their session first and then call it.
  virtual void Connect(const std::string& connectString);
  virtual void Disconnect() = 0;
  bool Connected() const noexcept { return FConnected; }
  void SetConnected(bool value);

  // Copies server, user name, password, the BCD flags, the error handler and
  // the transport handler.
  virtual void Assign(const TKxConnection& source);
  // Takes over the open session of `source` (sharing it); nullptr gives a
  // borrowed session back.
  virtual void AssignConnect(TKxConnection* source) = 0;

  virtual void SetUsername(const std::string& value) { FUsername = value; }
  virtual void SetPassword(const std::string& value) { FPassword = value; }
  virtual void SetServer(const std::string& value) { FServer = value; }
  const std::string& Username() const noexcept { return FUsername; }
  const std::string& Password() const noexcept { return FPassword; }
  const std::string& Server() const noexcept { return FServer; }

  // Tests a pooled connection; sets IsValid.
  virtual bool CheckIsValid() = 0;
  // Hands the connection back to the pool it came from.
  static void ReturnToPool(std::unique_ptr<TKxConnection> connection);

  virtual std::string GetServerVersion() = 0;
  virtual std::string GetServerVersionFull() = 0;
  virtual std::string GetClientVersion() = 0;
  virtual bool CanChangeDatabase() { return true; }

  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);

  TKxTransaction& GetInternalTransaction();

  // Properties.
  const TErrorProc& OnError() const noexcept { return FOnError; }
  void SetOnError(TErrorProc value) { FOnError = std::move(value); }
  const TReconnectProc& OnReconnectError() const noexcept { return FOnReconnectError; }
  void SetOnReconnectError(TReconnectProc value) { FOnReconnectError = std::move(value); }
  const TReconnectProc& OnReconnectSuccess() const noexcept { return FOnReconnectSuccess; }
  void SetOnReconnectSuccess(TReconnectProc value) { FOnReconnectSuccess = std::move(value); }
  std::uint64_t ConnectionTime() const noexcept { return FConnectionTime; }
  bool NativeConnection() const noexcept { return FNativeConnection; }
  bool AutoCommit() const noexcept { return FAutoCommit; }
  bool ConvertEOL() const noexcept { return FConvertEOL; }
  bool IsValid() const noexcept { return FIsValid; }
  void SetIsValid(bool value) noexcept { FIsValid = value; }
  IKxConnectionPool* Pool() const noexcept { return FPool; }
  void SetPool(IKxConnectionPool* value) noexcept { FPool = value; }
  std::int32_t PoolVersion() const noexcept { return FPoolVersion; }
  void SetPoolVersion(std::int32_t value) noexcept { FPoolVersion = value; }
  TComponent* Component() const noexcept { return FComponent; }
  void SetComponent(TComponent* value) noexcept { FComponent = value; }
  bool DisconnectedMode() const noexcept { return FDisconnectedMode; }
  bool EnableBCD() const noexcept { return FEnableBCD; }
  bool EnableFMTBCD() const noexcept { return FEnableFMTBCD; }
  bool InProcessError() const noexcept { return FInProcessError; }
  bool Reconnected() const noexcept { return FReconnected; }
  TSortType DefaultSortType() const noexcept { return FDefaultSortType; }
  TKxIOHandler* IOHandler() const noexcept { return FIOHandler; }
  void SetIOHandler(TKxIOHandler* value) noexcept { FIOHandler = value; }
  const THttpOptions& HttpOptions() const noexcept { return FHttpOptions; }
  THttpOptions& HttpOptions() noexcept { return FHttpOptions; }

  // The clock of ConnectionTime (the steady clock unless replaced; not owned).
  IClock& Clock() const noexcept { return *FClock; }
  void SetClock(IClock& clock) noexcept { FClock = &clock; }

 protected:
  TErrorProc FOnError;
  TReconnectProc FOnReconnectError;
  TReconnectProc FOnReconnectSuccess;
  std::uint64_t FConnectionTime = 0;
  std::unique_ptr<TSQLInfo> FSQLInfo;
  std::unique_ptr<TKxMapRules> FDataTypeMap;
  std::unique_ptr<TKxTransaction> FInternalTransaction;
  bool FConnected = false;
  bool FNativeConnection = true;
  std::string FUsername;
  std::string FPassword;
  std::string FServer;
  bool FAutoCommit = true;
  bool FConvertEOL = false;
  bool FIsValid = true;
  IKxConnectionPool* FPool = nullptr;
  std::int32_t FPoolVersion = 0;
  TComponent* FComponent = nullptr;
  bool FDisconnectedMode = false;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
  bool FInProcessError = false;
  bool FReconnected = false;
  TSortType FDefaultSortType = stCaseSensitive;
  TKxIOHandler* FIOHandler = nullptr;
  THttpOptions FHttpOptions;
  IClock* FClock;
};

// ---- transactions ----------------------------------------------------------------------------

class TKxTransaction {
 public:
  TKxTransaction();
  TKxTransaction(const TKxTransaction&) = delete;
  TKxTransaction& operator=(const TKxTransaction&) = delete;
  virtual ~TKxTransaction();

  // False when the connection is already in the list (or null).
  virtual bool AddConnection(TKxConnection* connection);
  // False when it is not in the list.
  virtual bool RemoveConnection(TKxConnection* connection);
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  virtual bool GetInTransaction() { return FActive; }
  // Providers ask the server; the base answers GetInTransaction.
  virtual bool DetectInTransaction(bool canActivate = false);
  // Takes over the state of `source`; one taken over while active is not native.
  virtual void AssignConnect(TKxTransaction* source);
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual void CommitRetaining();
  virtual void RollbackRetaining();
  virtual void Savepoint(const std::string& name);
  virtual void ReleaseSavepoint(const std::string& name);
  virtual void RollbackToSavepoint(const std::string& name);
  // Marks the transaction inactive without talking to the server.
  virtual void Reset();
  virtual bool CanRestoreAfterFailover() { return false; }

  void CheckActive() const;
  void CheckInactive() const;

  bool Active() const noexcept { return FActive; }
  TComponent* Component() const noexcept { return FComponent; }
  void SetComponent(TComponent* value) noexcept { FComponent = value; }
  const TErrorProc& OnError() const noexcept { return FOnError; }
  void SetOnError(TErrorProc value) { FOnError = std::move(value); }
  int ConnectionsCount() const noexcept { return static_cast<int>(FConnections.size()); }
  TKxConnection* Connections(int index) const;
  TKxIsolationLevel IsolationLevel() const noexcept { return FIsolationLevel; }
  bool ReadOnly() const noexcept { return FReadOnly; }
  bool NativeTransaction() const noexcept { return FNativeTransaction; }

 protected:
  bool FActive = false;
  TComponent* FComponent = nullptr;
  TErrorProc FOnError;
  std::vector<TKxConnection*> FConnections;
  TKxIsolationLevel FIsolationLevel = ilReadCommitted;
  bool FReadOnly = false;
  bool FNativeTransaction = true;
};

// The coordinator's isolation flag for a level (0x1000 read committed,
// 0x100 read uncommitted, 0x10000 repeatable read, 0x100000 isolated);
// other levels raise "Transaction isolation level is not supported with MTS".
std::int32_t MTSIsolationFlag(TKxIsolationLevel level);

// A transaction over a distributed transaction coordinator. There is none
// on this platform: starting one (after checking that every connection is
// connected and that the isolation level has a coordinator flag) raises
// that it is not supported.
class TMTSTransaction : public TKxTransaction {
 public:
  bool AddConnection(TKxConnection* connection) override;
  bool RemoveConnection(TKxConnection* connection) override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;

  virtual void StartMTSTransaction();
  virtual void CompleteMTSTransaction(bool commit);
  virtual void EnlistLink(TKxConnection& connection) { connection.Enlist(*this); }
  virtual void UnEnlistLink(TKxConnection& connection) { connection.UnEnlist(*this); }
};

// ---- parameters ---------------------------------------------------------------------------------

class TParamDesc {
 public:
  TParamDesc();
  TParamDesc(const TParamDesc&) = delete;
  TParamDesc& operator=(const TParamDesc&) = delete;
  virtual ~TParamDesc();

  virtual void SetDataType(std::uint16_t value) { FDataType = value; }
  virtual void SetSubDataType(std::uint16_t value) { FSubDataType = value; }
  virtual void SetParamType(TParamDirection value) { FParamType = value; }
  virtual void SetSize(std::int32_t value) { FSize = value; }
  virtual Variant GetValue() const { return FData; }
  // The value as stored, without a copy: what GetValue answers unless a
  // subclass answers otherwise (callers check the dynamic type first).
  const Variant& StoredValue() const noexcept { return FData; }
  // Encrypted first when an encryptor is set; a null or empty value makes
  // the parameter null.
  virtual void SetValue(const Variant& value);
  // nullptr for a null or empty value; the encrypted copy when there is one.
  virtual TSharedObject* GetObject() const;
  // Stores a counted reference (encrypted when an encryptor is set).
  virtual void SetObject(TSharedObject* value);
  virtual bool GetNull() const { return FIsNull; }
  // Also clears a value that is not a shared object.
  virtual void SetNull(bool value);
  virtual void SetIsBound(bool value) { FIsBound = value; }
  virtual bool GetNational() const { return FNational; }
  virtual void SetNational(bool value) { FNational = value; }

  // Empty value, null, no encrypted copy.
  void Clear();
  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  std::uint16_t DataType() const noexcept { return FDataType; }
  std::uint16_t SubDataType() const noexcept { return FSubDataType; }
  TParamDirection ParamType() const noexcept { return FParamType; }
  std::int32_t Size() const noexcept { return FSize; }
  bool IsBound() const noexcept { return FIsBound; }
  bool ConvertEOL() const noexcept { return FConvertEOL; }
  void SetConvertEOL(bool value) noexcept { FConvertEOL = value; }
  const TEncryptionMethod& Encryptor() const noexcept { return FEncryptor; }
  void SetEncryptor(TEncryptionMethod value) { FEncryptor = std::move(value); }

 protected:
  // The value as the encryptor makes it for this parameter's data type
  // (null and empty values stay as they are).
  virtual Variant EncryptValue(const Variant& value);
  // An encrypted copy of a large object; the object itself is not changed.
  virtual TSharedRef<TSharedObject> EncryptObject(TSharedObject& object);

  std::string FName;
  std::uint16_t FDataType = dtUnknown;
  std::uint16_t FSubDataType = 0;
  TParamDirection FParamType = pdUnknown;
  std::int32_t FSize = 0;
  Variant FData;
  bool FIsNull = true;
  bool FIsBound = true;
  bool FConvertEOL = false;
  bool FNational = false;
  TEncryptionMethod FEncryptor;
  TSharedRef<TSharedObject> FEncryptedBlob;
};

class TParamDescs : public TDAObjectList<TParamDesc> {
 public:
  // The first parameter whose name matches ignoring case, or nullptr.
  TParamDesc* FindParam(std::string_view name) const;
  // The same; a missing name is a programming error.
  TParamDesc& ParamByName(std::string_view name) const;
};

// ---- TKxCommand ------------------------------------------------------------------------------

class TKxCommand {
 public:
  using TAfterExecuteEvent = std::function<void(bool result)>;
  using TReadParamsEvent = std::function<void()>;

  TKxCommand();
  TKxCommand(const TKxCommand&) = delete;
  TKxCommand& operator=(const TKxCommand&) = delete;
  virtual ~TKxCommand();

  // Class references of the provider's helpers.
  virtual std::unique_ptr<TSQLInfo> CreateSQLInfo() const;
  virtual TSQLParserClass GetParserClass() const { return ParserClassOf<TSQLParser>(); }
  virtual std::unique_ptr<TKxTableInfo> CreateTableInfo(TKxTablesInfo& owner) const;
  virtual std::unique_ptr<TParamDesc> CreateParamDesc() const { return std::make_unique<TParamDesc>(); }
  virtual std::unique_ptr<TKxMapRules> CreateMapRules() const { return std::make_unique<TKxMapRules>(); }
  // The connection's SQL info when a connection is set, else the command's own.
  TSQLInfo& GetSQLInfo();

  // Reads one parameter marker; the ":" has been read and `builder` holds
  // the text before it. Returns true when the marker was a parameter and its
  // replacement was written; false writes nothing, and the marker and what
  // was read after it are copied with the text.
  virtual bool ParseSQLParam(std::string& builder, TSQLParser& parser, TParamDescs* params, char leftQuote,
                             char rightQuote, const std::string& renamePrefix);
  // Replaces the markers of `sql`: with "?" and a parameter appended to
  // `params` each, or with renamePrefix + name; otherwise copies the text.
  virtual void ParseSQL(std::string_view sql, TParamDescs* params, std::string& result,
                        const std::string& renamePrefix = {});
  std::string ParseSQL(std::string_view sql, TParamDescs* params, const std::string& renamePrefix = {});

  virtual void Prepare() { SetCursorState(csPrepared); }
  virtual void Unprepare() { SetCursorState(csInactive); }
  virtual bool GetPrepared() = 0;
  virtual void Execute(int iters = 1) = 0;

  virtual void SetConnection(TKxConnection* value) { FConnection = value; }
  virtual void SetTransaction(TKxTransaction* value) { FTransaction = value; }
  TKxConnection* Connection() const noexcept { return FConnection; }
  TKxTransaction* Transaction() const noexcept { return FTransaction; }

  virtual TCursorState GetCursorState() = 0;
  virtual void SetCursorState(TCursorState value) = 0;

  // Stores the text and scans it for parameters (unless told not to).
  virtual void SetSQL(const std::string& value);
  const std::string& SQL() const noexcept { return FSQL; }
  const std::string& UserSQL() const noexcept { return FUserSQL; }

  // The statement that calls a stored procedure.
  virtual std::string CreateProcCall(const std::string& name, bool needDescribe, bool isQuery) = 0;
  virtual bool ForceCreateSPParams() { return false; }

  TParamDesc& AddParam();
  void ClearParams() { FParams.Clear(); }
  void DeleteParam(int index) { FParams.Delete(index); }
  int GetParamCount() const noexcept { return FParams.Count(); }
  TParamDesc& GetParam(int index) const { return *FParams.Items(index); }
  TParamDesc* FindParam(std::string_view name) const { return FParams.FindParam(name); }
  TParamDescs& Params() noexcept { return FParams; }

  virtual TSharedObject* GetCursor() { return nullptr; }
  virtual void SetCursor(TSharedObject* value);

  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);

  // May be called from another thread while Execute runs.
  virtual void BreakExec();
  bool BreakExecRequested() const noexcept { return FBreakExecRequested.load(std::memory_order_acquire); }
  void ClearBreakExec() noexcept { FBreakExecRequested.store(false, std::memory_order_release); }

  bool Executing() const noexcept { return FExecuting.load(std::memory_order_acquire); }
  void SetExecuting(bool value) noexcept { FExecuting.store(value, std::memory_order_release); }
  bool AutoCommit() const noexcept { return FAutoCommit; }
  bool ScanParams() const noexcept { return FScanParams; }
  bool DisableParamScan() const noexcept { return FDisableParamScan; }
  bool QuoteNames() const noexcept { return FQuoteNames; }
  TCompressBlobMode CompressBlob() const noexcept { return FCompressBlob; }
  bool EnableBCD() const noexcept { return FEnableBCD; }
  bool EnableFMTBCD() const noexcept { return FEnableFMTBCD; }
  TComponent* Component() const noexcept { return FComponent; }
  void SetComponent(TComponent* value) noexcept { FComponent = value; }
  const TAfterExecuteEvent& AfterExecute() const noexcept { return FAfterExecute; }
  void SetAfterExecute(TAfterExecuteEvent value) { FAfterExecute = std::move(value); }
  const TReadParamsEvent& ReadParams() const noexcept { return FReadParams; }
  void SetReadParams(TReadParamsEvent value) { FReadParams = std::move(value); }

 protected:
  // Scans FUserSQL into FSQL (and FParams when ScanParams is set).
  void ScanSQL();

  std::unique_ptr<TSQLInfo> FSQLInfo;
  TComponent* FComponent = nullptr;
  TKxConnection* FConnection = nullptr;
  TKxTransaction* FTransaction = nullptr;
  std::string FSQL;
  std::string FUserSQL;
  TParamDescs FParams;
  bool FAutoCommit = true;
  TAfterExecuteEvent FAfterExecute;
  std::atomic<bool> FExecuting{false};
  std::atomic<bool> FBreakExecRequested{false};
  bool FScanParams = true;
  bool FDisableParamScan = false;
  bool FQuoteNames = false;
  TCompressBlobMode FCompressBlob = cbNone;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
  TReadParamsEvent FReadParams;
};

// ---- server events and cursors ------------------------------------------------------------

class TKxAlerter {
 public:
  using TEventEvent = std::function<void(const std::string& eventName, const std::string& message)>;
  using TErrorEvent = std::function<void(const Exception& e)>;

  TKxAlerter() = default;
  TKxAlerter(const TKxAlerter&) = delete;
  TKxAlerter& operator=(const TKxAlerter&) = delete;
  virtual ~TKxAlerter() = default;

  virtual void SetConnection(TKxConnection* value) { FConnection = value; }
  virtual void SetTransaction(TKxTransaction* value) { FTransaction = value; }
  // Only prAutoCommit is known here (accepted).
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  virtual void SendEvent(const std::string& name, const std::string& message) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool IsActive() { return FActive; }

  TKxConnection* Connection() const noexcept { return FConnection; }
  TKxTransaction* Transaction() const noexcept { return FTransaction; }
  TStringList& EventNames() noexcept { return FEventNames; }
  const TEventEvent& OnEvent() const noexcept { return FOnEvent; }
  void SetOnEvent(TEventEvent value) { FOnEvent = std::move(value); }
  const TErrorEvent& OnError() const noexcept { return FOnError; }
  void SetOnError(TErrorEvent value) { FOnError = std::move(value); }

 protected:
  TKxConnection* FConnection = nullptr;
  TKxTransaction* FTransaction = nullptr;
  TStringList FEventNames;
  bool FActive = false;
  TEventEvent FOnEvent;
  TErrorEvent FOnError;
};

// A server-side cursor handed out in a dtCursor field or parameter.
class TKxCursor : public TSharedObject {
 public:
  virtual bool CanFetch() = 0;
};

}  // namespace lumo
