// TCustomDASQL: the SQL command component. It holds a statement's text
// with its parameters and macros, keeps the parameter list in step with the
// text, builds the final SQL (macros expanded, then the provider's escapes),
// hands parameters to the provider command and reads output values back,
// and runs the statement (or a stored procedure call) on its connection
// with the connection use, transaction and failover handling of the
// component layer. A SQL data set owns one as the holder of its text.
//
// Decisions:
// - A stand-alone command runs through a record set of its connection's
//   provider (GetIRecordSetClass): the provider command is the record
//   set's, and a statement that hands back rows (a stored procedure's
//   output values) is read by it; other rows are discarded. Without a
//   connection the text is still scanned for parameters by a command that
//   only scans; the parameters keep their values when the connection comes.
// - The parameter list has one parameter per distinct name, in the order
//   of first use; every marker of a name gets that parameter's value. So
//   parameters are matched to the provider's descriptors by name when they
//   are written and when output values are read back; a list the user
//   edited gets descriptors for parameters that have none, and only a list
//   built from the text loses descriptors without a parameter and has its
//   descriptors put in its own order, the text's, which a provider fills
//   its positional placeholders in.
// - Sizes of text parameters without a size are their length in bytes as
//   they are sent: 8-bit text as it is, UTF-16 text as UTF-8 (what a
//   Unicode connection sends and the process code page holds by default),
//   never a count of characters or UTF-16 units.
// - Line-break conversion (ConvertEOL) of a memo value is done on a copy:
//   the parameter's blob, which the program may share, is never changed.
//   Binary large objects are handed over as they are.
// - The final SQL is cached until the text, a macro, the escapes hook or
//   (for a data set) its filter and master/detail settings change. A text
//   without the macro character skips macro expansion.
// - Every connection use (BeginConnection with its EndConnection) is held
//   by a TDAUseGuard, so it ends on every path; the after-execute step ends
//   it early, and a provider that does not call that step back gets it from
//   Execute itself, exactly once.
// - The SQL monitor component does not exist yet: nothing is reported to
//   it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DAParams.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Component.h>
#include <lumokit/core/StringList.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

class TCustomDADataSet;
class TDATransaction;

// Holds one connection use of a data set or command for a scope:
// BeginConnection(true) on construction, EndConnection when released or
// destroyed (errors of the destructor's release are swallowed).
// A use taken before the connection was disconnected is stale (the
// disconnect dropped every use) and is not given back.
template <class T>
class TDAUseGuard {
 public:
  explicit TDAUseGuard(T& user) : FUser(&user) {
    user.BeginConnection(true);
    FConnection = user.UsedConnection();
    FGeneration = FConnection ? FConnection->UseGeneration() : 0;
  }
  ~TDAUseGuard() {
    try {
      Release();
    } catch (...) {
    }
  }
  TDAUseGuard(const TDAUseGuard&) = delete;
  TDAUseGuard& operator=(const TDAUseGuard&) = delete;

  // Ends the use now (errors propagate); later calls do nothing.
  void Release() {
    T* user = std::exchange(FUser, nullptr);
    if (user && FConnection && FConnection->UseGeneration() == FGeneration) user->EndConnection();
  }
  // The use stays (someone else ends it); returns its generation.
  std::uint64_t Keep() noexcept {
    FUser = nullptr;
    return FGeneration;
  }
  bool Holds() const noexcept { return FUser != nullptr; }

 private:
  T* FUser;
  TCustomDAConnection* FConnection = nullptr;
  std::uint64_t FGeneration = 0;
};

// The transaction step of BeginConnection for a data set or command on
// `connection`: with several-transaction providers the used transaction
// must exist ("Transaction not assigned") and is gained (noConnectCheck) or
// started when inactive. Returns the provider transaction to work in.
TKxTransaction* BeginUsedTransaction(TCustomDAConnection& connection, TDATransaction* used, bool noConnectCheck);
// EndConnection's counterpart: the transaction released (several-transaction
// providers), then the connection use.
void EndUsedConnection(TCustomDAConnection& connection, TDATransaction* used);

class TCustomDASQL : public TComponent, public IDAConnectionClient, public IDAMacrosOwner {
 public:
  using TBeforeExecuteEvent = std::function<void(TCustomDASQL& sender)>;
  using TAfterExecuteEvent = std::function<void(TCustomDASQL& sender, bool result)>;

  TCustomDASQL();
  ~TCustomDASQL() override;
  std::string ClassName() const override { return "TCustomDASQL"; }

  // ---- properties
  TCustomDAConnection* Connection() const noexcept { return FConnection; }
  virtual void SetConnection(TCustomDAConnection* value);
  TDATransaction* Transaction() const noexcept { return FTransaction; }
  virtual void SetTransaction(TDATransaction* value);
  TStringList& SQL() noexcept { return FSQL; }
  const TStringList& SQL() const noexcept { return FSQL; }
  // The whole text (lines joined).
  std::string SQLText() const { return FSQL.Text(); }
  void SetSQLText(const std::string& value) { FSQL.SetText(value); }
  TDAParams& Params() noexcept { return *FParams; }
  int ParamCount() const noexcept { return FParams->Count(); }
  Variant ParamValues(std::string_view name) const { return FParams->ParamByName(name).Value(); }
  void SetParamValues(std::string_view name, const Variant& value) { FParams->ParamByName(name).SetValue(value); }
  TMacros& Macros() noexcept { return FMacros; }
  int MacroCount() const noexcept { return FMacros.Count(); }
  bool ParamCheck() const noexcept { return FParamCheck; }
  void SetParamCheck(bool value);
  bool Prepared() const;
  void SetPrepared(bool value);
  bool AutoCommit() const noexcept { return FAutoCommit; }
  void SetAutoCommit(bool value);
  bool StoredProcIsQuery() const noexcept { return FStoredProcIsQuery; }
  void SetStoredProcIsQuery(bool value) noexcept { FStoredProcIsQuery = value; }
  bool Debug() const noexcept { return FDebug; }
  void SetDebug(bool value) noexcept { FDebug = value; }
  bool ChangeCursor() const noexcept { return FChangeCursor; }
  void SetChangeCursor(bool value) noexcept { FChangeCursor = value; }
  std::int64_t RowsAffected() const noexcept { return FRowsAffected; }
  std::int64_t LastInsertId() const noexcept { return FLastInsertId; }
  const std::string& StoredProcName() const noexcept { return FStoredProcName; }
  void SetStoredProcName(const std::string& value) { FStoredProcName = value; }
  // The text sent (cached, see the unit comment).
  const std::string& FinalSQL();
  // The provider command (nullptr while there is none).
  TKxCommand* ICommand() const noexcept { return FICommand; }
  // The data set the command belongs to (nullptr for a stand-alone one).
  TCustomDADataSet* DataSet() const noexcept { return FDataSet; }

  // ---- operations
  void Prepare();
  void UnPrepare();
  void Execute() { Execute(1); }
  virtual void Execute(int iters);
  bool Executing() const;
  // Whether the statement is still running (the provider runs it in the
  // calling thread, so this is only true while another thread executes).
  bool WaitExecuting() const { return Executing(); }
  // May be called from another thread.
  void BreakExec();
  TDAParam* FindParam(std::string_view name) const { return FParams->FindParam(name); }
  TDAParam& ParamByName(std::string_view name) const { return FParams->ParamByName(name); }
  TMacro* FindMacro(std::string_view name) const { return FMacros.FindMacro(name); }
  TMacro& MacroByName(std::string_view name) const { return FMacros.MacroByName(name); }
  // Makes the text a call of the stored procedure `name` ("StoredProcName
  // must be defined" for an empty name): with needDescribe the parameters
  // come from the server's declaration, else the current ones are used.
  void CreateProcCall(const std::string& name, bool needDescribe = true, bool isQuery = false) {
    InternalCreateProcCall(name, needDescribe, isQuery);
  }

  TBeforeExecuteEvent BeforeExecute;
  TAfterExecuteEvent AfterExecute;

  // ---- IDAConnectionClient
  TComponent& ClientComponent() override { return *this; }
  TCustomDAConnection* ClientConnection() override { return FConnection; }
  void SetIConnection(TKxConnection* value) override;
  void ClearConnection() override;
  bool PreventsReconnect(TComponent* failing, TConnLostCause cause) override;
  TDATransaction* UsedTransaction() override;
  void TransactionEnds(TDATransaction& transaction) override;
  void ResetProviderObjects() override;

  // ---- IDAMacrosOwner
  void MacroChanged(TMacro& macro) override;
  const TSQLInfo* MacroSQLInfo() override;

  // The cached final SQL must be built again.
  void InvalidateFinalSQL() noexcept { FFinalSQLValid = false; }
  // The text with trailing blanks removed, macros expanded and escapes
  // expanded (what a data set adds its conditions to).
  std::string ExpandedSQL();

 protected:
  template <class>
  friend class TDAUseGuard;
  friend class TCustomDADataSet;
  friend class TDADataSetOptions;
  // The updater sets generated statements with macro and parameter scans
  // locked.
  friend class TDADataSetUpdater;

  // ---- what subclasses may change
  // A provider record set whose command runs this command's statements.
  virtual std::unique_ptr<TKxRecordSet> CreateIRecordSet();
  // Points the command at a provider command (owned elsewhere).
  virtual void SetICommand(TKxCommand* value);
  virtual std::unique_ptr<TDAParams> CreateParamsObject();
  // Makes the parameter list again with CreateParamsObject: a subclass whose
  // parameters are of its own kind calls it from its constructor.
  void RecreateParamsObject() { FParams = CreateParamsObject(); }
  virtual const TFieldTypeMap& GetFieldTypeMapClass();
  virtual TCustomDAConnection* UsedConnection();
  virtual void CheckConnection();
  virtual void BeginConnection(bool noConnectCheck = true);
  virtual void EndConnection();
  virtual void Disconnect();
  virtual void ConnectChange(bool connecting);
  virtual TDATransaction* GetTransaction() { return FTransaction; }
  virtual void InternalPrepare();
  virtual void InternalUnPrepare();
  virtual void InternalExecute(int iters);
  virtual void InternalCreateProcCall(const std::string& name, bool needDescribe, bool isQuery);
  virtual void DoBeforeExecute();
  virtual void DoAfterExecute(bool result);
  virtual bool ScanMacros();
  virtual std::string GetFinalSQL();
  virtual void AssembleSQL();
  virtual bool NeedRecreateProcCall() { return false; }
  // Whether the command registers with its connection as a client.
  virtual bool RegisterAsClient() const { return true; }
  virtual void CheckSQL(int iters);
  virtual bool IsInOutParamSupported() { return true; }
  virtual bool NeedConvertEOLForBlob() { return true; }
  // Expands the provider's server-independent escapes ({fn ...}, quoted
  // names, "--" comments); a front with a provider formatter overrides it.
  virtual void ExpandEscapes(std::string& sql) { (void)sql; }
  // Parameter <-> descriptor copies.
  virtual void AssignParam(TParamDesc& desc, const TDAParam& param);
  virtual void AssignParamValue(TParamDesc& desc, const TDAParam& param);
  // The object sent for a large-object or object parameter: its own
  // ParamObject here; a front answers its provider's native object.
  virtual TSharedObject* ParamObjectToSend(const TDAParam& param) { return param.ParamObject(); }
  virtual void AssignParamDesc(TDAParam& param, const TParamDesc& desc);
  virtual void AssignParamDescValue(TDAParam& param, const TParamDesc& desc);
  // Rebuilds the parameters from the provider's descriptors, values kept by
  // name.
  virtual void CreateParams();
  virtual void CreateParams(TDAParams& params, const TParamDescs& descs);
  virtual void WriteParams(bool writeValue = true);
  virtual void ReadParams();
  TDAParam* FindResultParam() const;
  // The size a text parameter of size 0 is sent with.
  virtual std::int32_t ParamTextSize(const TDAParam& param, TParamDesc& desc);

  // The provider command, made when needed (a scanning one without a
  // connection).
  TKxCommand& CheckICommand();
  // The command that only scans parameters (made on first use).
  TKxCommand& UseScanCommand();
  TKxRecordSet* IRecordSet() const noexcept { return FIRecordSet.get(); }
  void SetDataSet(TCustomDADataSet* value) noexcept { FDataSet = value; }
  void SQLChanged();
  // The statement ran and the rows it returned were read and dropped.
  void ExecuteRecordSet(int iters);

  void Notification(TComponent& component, TOperation operation) override;

  bool FLockAssembleSQL = false;
  bool FLockMacros = false;
  bool FLockScanParams = false;
  // Set while the SQL text changes through SaveModifiedSQL of a data set.
  bool FSavingModifiedSQL = false;

 private:
  class TScanCommand;
  void RegisterWithConnection();
  void ReleaseExecuteUse();
  void SetProviderCommandProps(TKxCommand& command);

  TCustomDAConnection* FConnection = nullptr;
  TDATransaction* FTransaction = nullptr;
  TStringList FSQL;
  std::string FLastSQLText;
  std::unique_ptr<TDAParams> FParams;
  bool FParamCheck = true;
  TMacros FMacros;
  bool FDebug = false;
  bool FChangeCursor = true;
  bool FAutoCommit = true;
  TKxCommand* FICommand = nullptr;
  // The record set of a stand-alone command, or the scanning command.
  std::unique_ptr<TKxRecordSet> FIRecordSet;
  std::unique_ptr<TKxCommand> FScanCommand;
  TKxConnection* FBoundIConnection = nullptr;
  TCustomDADataSet* FDataSet = nullptr;
  std::string FStoredProcName;
  bool FStoredProcIsQuery = false;
  bool FIsSPInit = false;
  std::int64_t FLastInsertId = 0;
  std::int64_t FRowsAffected = -1;
  std::string FFinalSQL;
  bool FFinalSQLValid = false;
  // The use Execute holds while it runs (ended by the after-execute step).
  TDAUseGuard<TCustomDASQL>* FExecuteUse = nullptr;
  bool FAfterExecuteDone = false;
  std::unique_ptr<TDABusyCursor> FBusy;
};

}  // namespace lumo
