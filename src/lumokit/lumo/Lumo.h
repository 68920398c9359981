// The front components an application places on its forms: TLumoConnection,
// TLumoQuery (on TCustomLumoDataSet), TLumoSQL, TLumoTransaction,
// TLumoMetaData and TLumoDataSource. They are the component layer's
// connection, data set, command, transaction and metadata with one addition:
// the server is chosen at run time by a provider name looked up in
// LumoProviders(), whose classes, specific options ("MySQL.UseUnicode=True")
// and SQL formatter (server-independent macros and escapes) they use.
//
// Decisions:
// - ELumoError holds the component error it wraps by shared pointer (the
//   very object that was thrown, kept alive with it), copies its message,
//   code and component, and answers IsFatalError/IsKeyViolation from it.
//   WithLumoErrors runs an operation and turns every EDAError that is not
//   already an ELumoError into one; other exceptions pass unchanged.
// - A specific-option line written without a provider prefix gets the
//   current provider's name in front; that needs a provider name ("Provider
//   is not defined"). Lines are applied to provider objects when the object
//   is made and again before each use when they changed since (IsModified).
// - A connection's specific options changing while it is connected
//   disconnects it; a data set's may change only while it is inactive.
// - The provider is held by shared pointer, so unregistering it while a
//   connection still uses it cannot leave a dangling reference.
// - The provider check raises EDAError with the messages "Provider is not
//   defined", "%s is not a valid provider name" and the not-registered text.
// - FetchAll of a front data set is the provider option of that name
//   (default True for MySQL): reading it asks the record set, setting it
//   writes the option line.
// - A front data set takes its provider's data-set service when its
//   connection's provider is known at the service's first use, else the
//   component layer's.
// - Pooling goes through the component layer's pool manager hook; the
//   encryption is not part of this unit.
// - OnError of the connection hears an ELumoError around the component
//   error (the failover protocol sees the same fatal answer through it); the
//   wrapper lives for the call. Operations of the front components raise
//   ELumoError.
// - The provider's parameter-object classes are large objects only; a
//   cursor parameter passes the native cursor a provider returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <lumokit/components/DAConnectString.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DAMetaData.h>
#include <lumokit/components/DASQL.h>
#include <lumokit/components/DATransaction.h>
#include <lumokit/components/DAUpdateSQL.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/StringList.h>
#include <lumokit/dataset/KxDataSource.h>
#include <lumokit/lumo/LumoProvider.h>

namespace lumo {

class TLumoConnection;
class TLumoTransaction;

// Process-wide switch: TLumoSQL expands the connection's macros and the
// provider's escapes (true).
extern bool EnableLumoSQL;

// ---- errors ----------------------------------------------------------------------------------

class ELumoError : public EDAError {
 public:
  ELumoError(std::shared_ptr<const EDAError> inner, TComponent* component);
  // The wrapped error (nullptr when there is none).
  const EDAError* InnerError() const noexcept { return FInnerError.get(); }
  bool IsFatalError() const override;
  bool IsKeyViolation() const override;

 private:
  std::shared_ptr<const EDAError> FInnerError;
};

// The EDAError being handled (call inside a catch block of one).
std::shared_ptr<const EDAError> CurrentDAError();

template <class F>
decltype(auto) WithLumoErrors(TComponent* component, F&& operation) {
  try {
    return operation();
  } catch (const ELumoError&) {
    throw;
  } catch (const EDAError&) {
    throw ELumoError(CurrentDAError(), component);
  }
}

// ---- specific options ------------------------------------------------------------------------

// Name=Value lines whose names carry a provider prefix (MySQL.UseUnicode).
class TSpecificOptionsList : public TStringList {
 public:
  // Answers the current provider name (empty: none).
  using TProviderNameFunc = std::function<std::string()>;

  explicit TSpecificOptionsList(TProviderNameFunc providerName) : FProviderName(std::move(providerName)) {}

  // The line of `name`, or of provider + "." + name for a name without ".".
  int IndexOfName(std::string_view name) const;
  std::string Values(std::string_view name) const;
  // Sets or adds the line.
  void SetValues(std::string_view name, std::string_view value);
  std::string ProviderName() const { return FProviderName ? FProviderName() : std::string(); }

  void Put(int index, std::string s) override;
  void InsertObject(int index, std::string s, std::any object) override;
  int AddObject(std::string s, std::any object) override;

 private:
  // Puts the provider name in front of a line without a prefix.
  std::string WithPrefix(std::string line) const;

  TProviderNameFunc FProviderName;
};

// Owns one list, hears its changes and keeps whether they were applied.
class TSpecificOptionsHolder {
 public:
  // `changing` runs before every change (it may refuse by raising),
  // `changed` after it.
  TSpecificOptionsHolder(TSpecificOptionsList::TProviderNameFunc providerName, std::function<void()> changing = {},
                         std::function<void()> changed = {});
  TSpecificOptionsHolder(const TSpecificOptionsHolder&) = delete;
  TSpecificOptionsHolder& operator=(const TSpecificOptionsHolder&) = delete;

  TSpecificOptionsList& Values() noexcept { return FValues; }
  const TSpecificOptionsList& Values() const noexcept { return FValues; }
  bool IsModified() const noexcept { return FIsModified; }
  void SetIsModified(bool value) noexcept { FIsModified = value; }

 private:
  TSpecificOptionsList FValues;
  bool FIsModified = false;
};

// ---- macros ----------------------------------------------------------------------------------

class TLumoMacros;

class TLumoMacro {
 public:
  explicit TLumoMacro(TLumoMacros& owner) : FOwner(owner) {}
  const std::string& Name() const noexcept { return FName; }
  void SetName(const std::string& value);
  const std::string& Value() const noexcept { return FValue; }
  void SetValue(const std::string& value);
  const std::string& Condition() const noexcept { return FCondition; }
  void SetCondition(const std::string& value);

 private:
  TLumoMacros& FOwner;
  std::string FName;
  std::string FValue;
  std::string FCondition;
};

// The connection's macros, in order. Changes are reported through
// OnChanged, once per outermost update.
class TLumoMacros {
 public:
  TLumoMacros() = default;
  TLumoMacros(const TLumoMacros&) = delete;
  TLumoMacros& operator=(const TLumoMacros&) = delete;

  TLumoMacro& Add();
  TLumoMacro& Add(const std::string& name, const std::string& value, const std::string& condition = {});
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TLumoMacro& Items(int index) const;
  // The first macro of that name (ignoring case), or nullptr.
  TLumoMacro* FindMacro(std::string_view name) const;
  void Delete(int index);
  void Clear();
  void Assign(const TLumoMacros& source);
  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate();

  std::function<void()> OnChanged;

 private:
  friend class TLumoMacro;
  void Changed();

  std::vector<std::unique_ptr<TLumoMacro>> FItems;
  int FUpdateCount = 0;
  bool FPendingChange = false;
};

// ---- the connection --------------------------------------------------------------------------

class TLumoConnectionOptions : public TDAConnectionOptions {
 public:
  using TDAConnectionOptions::TDAConnectionOptions;
  // The connection's line-break conversion.
  bool ConvertEOL() const;
  void SetConvertEOL(bool value);
};

class TLumoConnectStringBuilder : public TDAConnectStringBuilder {
 public:
  explicit TLumoConnectStringBuilder(TLumoConnection& owner);
  std::string GetConnectString() override;
  void SetConnectString(const std::string& value) override;

 protected:
  void InitConnectStringOptions() override;
  void ProcessConnectStringParam(const std::string& name, const std::string& value, bool quoted) override;
  std::string CanonicalName(const std::string& name) override;

 private:
  TLumoConnection& Owner() const;
  // The provider's connect-string option of that name, or nullptr.
  const TOption* ConnectStringOption(const std::string& name) const;

  std::string FProviderFromString;
};

class TLumoConnection : public TCustomDAConnection {
 public:
  TLumoConnection();
  ~TLumoConnection() override;
  std::string ClassName() const override { return "TLumoConnection"; }

  // ---- provider
  const std::string& ProviderName() const noexcept { return FProviderName; }
  void SetProviderName(const std::string& value);
  // The registered provider, after the provider check (see the unit comment).
  TLumoProvider& Provider();
  // The registered provider or nullptr, without raising.
  std::shared_ptr<TLumoProvider> ProviderOrNull();

  // ---- properties
  std::int32_t Port() const noexcept { return FPort; }
  void SetPort(std::int32_t value);
  const std::string& Database() const noexcept { return FDatabase; }
  void SetDatabase(const std::string& value);
  TSpecificOptionsList& SpecificOptions() noexcept { return FSpecificOptions.Values(); }
  TLumoMacros& Macros() noexcept { return FMacros; }
  TLumoConnectionOptions& Options() const;
  // Require a connected connection ("Connection is not connected").
  std::string ServerVersion();
  std::string ServerVersionFull();
  std::string ClientVersion();

  // ---- transactions
  void StartTransaction() override;
  void StartTransaction(TKxIsolationLevel isolationLevel, bool readOnly = false);
  bool IsMultipleTransactionsSupported() override;
  TDATransaction* UsedTransaction() override;

  // ---- factories
  std::unique_ptr<TDATransaction> CreateTransaction() override;
  std::unique_ptr<TCustomDADataSet> CreateDataSet() override;
  std::unique_ptr<TCustomDASQL> CreateSQL() override;
  std::unique_ptr<TDAMetaData> CreateMetaData() override;

  // ---- macros
  TLumoMacro& MacroByName(const std::string& name);
  // The value of the active macro of that name; unassigned when none.
  Variant ActiveMacroValueByName(const std::string& name);
  // Expands the active macros and the provider's escapes in `sql`; nothing
  // without a provider.
  void ExpandMacros(std::string& sql);
  std::uint32_t MacrosVersion() const noexcept { return FMacrosVersion; }
  // The provider's lexer (the generic one without a provider).
  TSQLParserClass ParserClass();

  std::string DefaultTableSchema() override;

  // ---- provider classes
  TClassRef<TKxConnection> GetIConnectionClass() override;
  TClassRef<TKxCommand> GetICommandClass() override;
  TClassRef<TKxRecordSet> GetIRecordSetClass() override;
  TClassRef<TKxMetaData> GetIMetaDataClass() override;

 protected:
  void CreateIConnection() override;
  void DoConnect() override;
  void DoDisconnect() override;
  void DoError(const Exception& e, bool& fail, bool& reconnect, bool& reexecute, int reconnectAttempt,
               TConnLostCause& connLostCause) override;
  std::unique_ptr<TDAConnectionOptions> CreateOptions() override;
  std::unique_ptr<TDAConnectStringBuilder> CreateConnectStringBuilder() override;
  void AssignConnectOptions(TCustomDAConnection& source) override;

 private:
  friend class TLumoConnectStringBuilder;
  void MacrosChanged();
  void SpecificOptionsChanged();
  void DetectActiveMacros();
  // Whether `condition` names a known macro or an active one.
  bool IsConditionActive(const std::string& condition, const TLumoMacro* checking, int depth);
  TLumoSqlFormatter& Formatter();

  std::string FProviderName;
  std::shared_ptr<TLumoProvider> FProvider;
  std::int32_t FPort = 0;
  std::string FDatabase;
  TSpecificOptionsHolder FSpecificOptions;
  TLumoMacros FMacros;
  std::unique_ptr<TLumoSqlFormatter> FSQLFormatter;
  TStringList FMacroNames;
  TStringList FMacroValues;
  bool FMacrosChanged = true;
  std::uint32_t FMacrosVersion = 0;
};

// ---- transaction -----------------------------------------------------------------------------

class TLumoTransaction : public TDATransaction {
 public:
  TLumoTransaction();
  std::string ClassName() const override { return "TLumoTransaction"; }
  TSpecificOptionsList& SpecificOptions() noexcept { return FSpecificOptions.Values(); }

 protected:
  TClassRef<TKxTransaction> GetITransactionClass() override;
  void GainITransaction() override;

 private:
  TLumoConnection* LumoConnection() const;
  TSpecificOptionsHolder FSpecificOptions;
};

// ---- parameter objects -----------------------------------------------------------------------

// A large-object value held by a front parameter. The provider sends its own
// native blob (NativeBlob), which shares this blob's data object: once one
// exists, this blob keeps its content in the native class's kind of data.
// Writes here may give this blob a private data object (copy on write), so
// the sharing is renewed each time the native blob is asked for.
class TLumoBlob : public TBlob {
 public:
  using TBlob::TBlob;
  TSharedRef<TBlob> CreateClone() const override;
  TSharedRef<TKxBlobData> CreateBlobData() const override;

  // The native object (nullptr before a provider asked for one).
  TBlob* NativeBlob() const noexcept { return FNativeBlob.Get(); }
  // The native object of the provider's class for `dataType` with this
  // content; a missing one or one of another class is replaced by a new
  // one from the provider.
  TBlob& GetNativeBlob(const TLumoProvider& provider, TFieldType dataType);
  // `native` (a value the provider returned) becomes the native object, and
  // its content this blob's.
  void SetNativeBlob(TSharedRef<TBlob> native);

 private:
  // Gives the native object this blob's data object, converted to the
  // native class's kind of data when it is of another kind.
  void ShareWithNative();

  TSharedRef<TBlob> FNativeBlob;
};

// A cursor value held by a front parameter: a wrapper of the provider's
// cursor (NativeCursor), set when the provider returns one.
class TLumoCursor : public TKxCursor {
 public:
  // Whether the native cursor can fetch (false without one).
  bool CanFetch() override;
  TKxCursor* NativeCursor() const noexcept { return FNativeCursor.Get(); }
  void SetNativeCursor(TSharedRef<TKxCursor> value) { FNativeCursor = std::move(value); }

 private:
  TSharedRef<TKxCursor> FNativeCursor;
};

// A parameter of the front components: a cursor parameter holds a
// TLumoCursor; a blob, memo or wide-memo parameter a TLumoBlob (Unicode for
// the wide memo); other large objects a plain TBlob.
class TLumoParam : public TDAParam {
 public:
  // The wrapper objects (nullptr for other types or objects).
  TLumoBlob* LumoBlob() const noexcept { return dynamic_cast<TLumoBlob*>(ParamObject()); }
  TLumoCursor* LumoCursor() const noexcept { return dynamic_cast<TLumoCursor*>(ParamObject()); }
  // What the provider is sent: the native blob of a TLumoBlob (see
  // TLumoBlob::GetNativeBlob), the native cursor of a TLumoCursor (nullptr
  // while it has none), else ParamObject.
  TSharedObject* NativeObject(const TLumoProvider& provider) const;

 protected:
  TSharedRef<TSharedObject> CreateObject() override;
};

class TLumoParams : public TDAParams {
 public:
  using TDAParams::TDAParams;
  TLumoParam& Items(int index) const { return static_cast<TLumoParam&>(TDAParams::Items(index)); }
  TLumoParam& ParamByName(std::string_view name) const {
    return static_cast<TLumoParam&>(TDAParams::ParamByName(name));
  }

 protected:
  std::unique_ptr<TParam> CreateItem() override { return std::make_unique<TLumoParam>(); }
};

// ---- SQL command -----------------------------------------------------------------------------

class TLumoSQL : public TCustomDASQL {
 public:
  TLumoSQL();
  std::string ClassName() const override { return "TLumoSQL"; }
  TSpecificOptionsList& SpecificOptions() noexcept { return FSpecificOptions.Values(); }
  bool EnableLumoSQL() const noexcept { return FEnableLumoSQL; }
  void SetEnableLumoSQL(bool value);
  // The connection as a front connection (nullptr for none or another kind).
  TLumoConnection* LumoConnection();

 protected:
  void SetICommand(TKxCommand* value) override;
  void BeginConnection(bool noConnectCheck = true) override;
  void InternalPrepare() override;
  void InternalUnPrepare() override;
  void InternalExecute(int iters) override;
  void InternalCreateProcCall(const std::string& name, bool needDescribe, bool isQuery) override;
  void ExpandEscapes(std::string& sql) override;
  std::unique_ptr<TDAParams> CreateParamsObject() override;
  // The provider's native objects go out; objects the provider returns
  // become the native objects of the parameter's wrappers.
  TSharedObject* ParamObjectToSend(const TDAParam& param) override;
  void AssignParamDescValue(TDAParam& param, const TParamDesc& desc) override;

 private:
  friend class TCustomLumoDataSet;
  // Sets the SQL again when the connection's macros changed since.
  void CheckMacrosVersion();
  void ApplySpecificOptions(TKxCommand& command);

  TSpecificOptionsHolder FSpecificOptions;
  bool FEnableLumoSQL;
  std::uint32_t FMacrosVersion = 0;
};

// ---- data sets -------------------------------------------------------------------------------

class TLumoDataSetOptions : public TDADataSetOptions {
 public:
  using TDADataSetOptions::TDADataSetOptions;
};

class TCustomLumoDataSet : public TCustomDADataSet {
 public:
  TCustomLumoDataSet();
  ~TCustomLumoDataSet() override;
  std::string ClassName() const override { return "TCustomLumoDataSet"; }

  TSpecificOptionsList& SpecificOptions() noexcept { return FSpecificOptions.Values(); }
  TLumoConnection* LumoConnection();
  // The command that holds the text (always a TLumoSQL, see the constructor).
  TLumoSQL& LumoCommand() const;
  void Prepare() override;
  void UnPrepare() override;

 protected:
  std::unique_ptr<TCustomDASQL> CreateCommand() override;
  std::unique_ptr<TDADataSetOptions> CreateOptions() override;
  void SetIRecordSet(std::unique_ptr<TData> data) override;
  // The provider's data-set service (the component layer's without one),
  // with the data-set options applied.
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override;
  void BeginConnection(bool noConnectCheck = true) override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalExecute() override;
  bool GetFetchAll() override;
  void SetFetchAllImpl(bool value) override;

 private:
  void ApplySpecificOptions(TKxRecordSet& rs);

  TSpecificOptionsHolder FSpecificOptions;
  bool FSettingFetchAll = false;
};

class TLumoQuery : public TCustomLumoDataSet {
 public:
  std::string ClassName() const override { return "TLumoQuery"; }
};

// ---- update statements ---------------------------------------------------------------------

// The update-SQL component of the front: its objects are front data sets
// and front commands.
class TLumoUpdateSQL : public TCustomDAUpdateSQL {
 public:
  std::string ClassName() const override { return "TLumoUpdateSQL"; }
  bool IsDataSetClass(const TComponent& component) const override;
  bool IsSQLClass(const TComponent& component) const override;
  std::string DataSetClassName() const override { return "TCustomLumoDataSet"; }
  std::string SQLClassName() const override { return "TLumoSQL"; }
};

// ---- metadata and data source ----------------------------------------------------------------

class TLumoMetaData : public TDAMetaData {
 public:
  std::string ClassName() const override { return "TLumoMetaData"; }

 protected:
  void OpenCursor(bool infoQuery) override;
};

class TLumoDataSource : public TKxDataSource {
 public:
  using TKxDataSource::TKxDataSource;
  std::string ClassName() const override { return "TLumoDataSource"; }
};

}  // namespace lumo
