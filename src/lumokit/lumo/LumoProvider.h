// The provider registry: TLumoProvider, the abstract provider that hands out
// a server's classes for every contract and declares the server-specific
// options it understands; the process-wide registry LumoProviders() in which
// providers are found by name; the login-dialog service and the alerter of
// providers without server events. Option kinds and lists are in
// LumoProviderOptions, the SQL formatter in LumoProviderFormatter.
//
// Decisions:
// - Registration is explicit: a provider unit offers a function (such as
//   RegisterMySQLProvider) that start-up calls; nothing registers itself
//   from a static object. The registry is made on first use and fills its
//   description table then.
// - The registry hands out providers as std::shared_ptr: a provider that is
//   unregistered while another thread still uses it lives until that use
//   ends. GetProviderDesc returns a copy of the description. Providers are
//   created and destroyed outside the registry's lock.
// - RegisterProvider with a class already registered under its name keeps
//   the instance there; another class replaces it.
// - The class getters answer class references (TLumoClassRef) of the role's
//   base with the constructor arguments the role needs; the classes of the
//   component layer are only declared here. Field type maps, converter
//   managers and pool managers are process-wide objects: their getters
//   answer the object (the pool manager may be none).
// - Option lists are built on first request, once, also when several
//   threads ask at the same time; after that they are only read.
// - SetObjectProps routes by the kind of object (overloads for the
//   contracts of this layer; objects of the component layer name their
//   option group). A record set gets the data-set options twice: as itself
//   and as its command (its command's exact class decides which options
//   apply there). Providers add their own settings by overriding
//   ApplyObjectProps.
// - GetParamObjectClass takes the parameter's field type.
// - Failures are plain errors (lumo::Exception); the dummy alerter raises
//   ENotSupportedError.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxAccessLoader.h>
#include <lumokit/access/KxAccessMetaData.h>
#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/access/KxParser.h>
#include <lumokit/core/Component.h>
#include <lumokit/core/StringList.h>
#include <lumokit/core/Variant.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/KxDataTypeMap.h>
#include <lumokit/dataset/DB.h>
#include <lumokit/lumo/LumoProviderFormatter.h>
#include <lumokit/lumo/LumoProviderOptions.h>

namespace lumo {

// Classes of the component layer and the connection pool, named here only.
class TKxConnectionParameters;
class TKxConnectionPoolManager;
class TKxServerEnumerator;
class TDataSetService;
class TMemDataSet;
class TDAScriptProcessor;
class TDAScript;
class TDADumpProcessor;
class TDADump;
class TFieldTypeMap;

// What a login dialog may offer for a provider.
class TConnectDialogService {
 public:
  TConnectDialogService() = default;
  TConnectDialogService(const TConnectDialogService&) = delete;
  TConnectDialogService& operator=(const TConnectDialogService&) = delete;
  virtual ~TConnectDialogService() = default;

  // No property codes are known here.
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  virtual int GetConnectMode() { return 1; }
  virtual bool UseDatabaseHistory() { return false; }
  virtual std::string GetDefaultDatabase() { return {}; }
  virtual bool UsernameEnabled() { return true; }
  virtual bool PasswordEnabled() { return true; }
  virtual bool ServerEnabled() { return true; }
  virtual bool DatabaseEnabled() { return true; }
  virtual bool PortEnabled() { return true; }
};

// The alerter of a provider without server events.
class TKxDummyAlerter : public TKxAlerter {
 public:
  // Each raises "Event notification is not supported by DBMS or provider".
  void SendEvent(const std::string& name, const std::string& message) override;
  void Start() override;
  void Stop() override;
};

// Which option list a provider object takes.
enum class TOptionGroup : std::uint8_t {
  ogConnection,
  ogSQL,
  ogDataSet,
  ogScript,
  ogLoader,
  ogDump,
  ogAlerter,
  ogTransaction,
};

class TLumoProvider;

// Class references of the provider roles.
using TLumoProviderClass = TLumoClassRef<TLumoProvider>;
using TConnectionParametersClass = TLumoClassRef<TKxConnectionParameters>;
using TConnectionClass = TLumoClassRef<TKxConnection>;
using TServerEnumeratorClass = TLumoClassRef<TKxServerEnumerator>;
using TTransactionClass = TLumoClassRef<TKxTransaction>;
using TCommandClass = TLumoClassRef<TKxCommand>;
using TRecordSetClass = TLumoClassRef<TKxRecordSet>;
using TDataSetServiceClass = TLumoClassRef<TDataSetService, TMemDataSet&>;
using TScriptProcessorClass = TLumoClassRef<TDAScriptProcessor, TDAScript&>;
using TDumpProcessorClass = TLumoClassRef<TDADumpProcessor, TDADump&>;
using TLoaderClass = TLumoClassRef<TKxLoader>;
using TAlerterClass = TLumoClassRef<TKxAlerter>;
using TMetaDataClass = TLumoClassRef<TKxMetaData>;
using TConnectDialogServiceClass = TLumoClassRef<TConnectDialogService>;
using TSqlFormatterClass = TLumoClassRef<TLumoSqlFormatter>;
using TParamObjectClass = TLumoClassRef<TBlob>;

class TLumoProvider : public TComponent {
 public:
  TLumoProvider();
  ~TLumoProvider() override;

  // The name the provider is registered under.
  virtual std::string GetProviderName() const = 0;

  virtual bool IsServerSupported() const { return true; }
  virtual bool IsDatabaseSupported() const { return false; }
  virtual bool IsPortSupported() const { return false; }
  virtual bool IsDataSetNeedTransaction() const { return false; }
  virtual bool IsInOutParamSupported() const { return true; }
  virtual bool IsPoolingSupported() const { return true; }
  virtual bool NeedRecreateProcCall() const { return false; }
  virtual bool NeedComplexUpdateFieldDefList() const { return false; }

  // The provider's classes.
  virtual TConnectionParametersClass GetConnectionParametersClass() const = 0;
  // The provider's process-wide pool manager (not owned; nullptr for none).
  virtual TKxConnectionPoolManager* GetConnectionPoolingManagerClass() const = 0;
  virtual TConnectionClass GetConnectionClass() const = 0;
  virtual TServerEnumeratorClass GetServerEnumeratorClass() const = 0;
  virtual TTransactionClass GetTransactionClass() const = 0;
  virtual TSQLParserClass GetParserClass() const = 0;
  virtual TCommandClass GetCommandClass() const = 0;
  virtual TRecordSetClass GetRecordSetClass() const = 0;
  virtual TDataSetServiceClass GetDataSetServiceClass() const = 0;
  virtual TScriptProcessorClass GetScriptProcessorClass() const = 0;
  virtual TLoaderClass GetLoaderClass() const = 0;
  // TKxDummyAlerter here.
  virtual TAlerterClass GetAlerterClass() const;
  virtual TDumpProcessorClass GetDumpProcessorClass() const = 0;
  virtual const TFieldTypeMap& GetFieldTypeMapClass() const = 0;
  virtual TMetaDataClass GetMetaDataClass() const = 0;
  virtual TConnectDialogServiceClass GetConnectDialogServiceClass() const = 0;
  virtual TSqlFormatterClass GetSqlFormatterClass() const = 0;
  virtual const TConverterManager& GetConverterManagerClass() const = 0;

  // The large-object class for a parameter of field type blob
  // (TCompressedBlob), memo or wide memo (TBlob); other types raise
  // "Unknown data type".
  virtual TParamObjectClass GetParamObjectClass(TFieldType dataType) const;
  // A new object of that class; a wide memo's is Unicode.
  virtual TSharedRef<TBlob> CreateParamObject(TFieldType dataType) const;

  // The option lists, built on first request.
  TOptionsList& GetConnectionOptions() const;
  TOptionsList& GetSQLOptions() const;
  TOptionsList& GetDataSetOptions() const;
  TOptionsList& GetScriptOptions() const;
  TOptionsList& GetLoaderOptions() const;
  TOptionsList& GetDumpOptions() const;
  TOptionsList& GetAlerterOptions() const;
  TOptionsList& GetTransactionOptions() const;
  TOptionsList& GetOptions(TOptionGroup group) const;

  // Applies option lines to one provider object.
  void SetObjectProps(TKxConnection& object, const TStrings& options);
  void SetObjectProps(TConnectDialogService& object, const TStrings& options);
  void SetObjectProps(TKxCommand& object, const TStrings& options);
  void SetObjectProps(TKxRecordSet& object, const TStrings& options);
  void SetObjectProps(TKxLoader& object, const TStrings& options);
  void SetObjectProps(TKxAlerter& object, const TStrings& options);
  // Pool parameters and server enumerators (connection options), data-set
  // services, script and dump processors.
  template <class T>
  void SetObjectProps(T& object, TOptionGroup group, const TStrings& options) {
    ApplyObjectProps(TOptionTarget(object), group, options);
  }

  virtual std::string DefaultTableSchema() const { return {}; }

 protected:
  // Imports the group's options into the target; providers override it to
  // set properties of their own before or after.
  virtual void ApplyObjectProps(const TOptionTarget& target, TOptionGroup group, const TStrings& options);

  // The lists the provider declares.
  virtual std::unique_ptr<TOptionsList> CreateConnectionOptions() const = 0;
  virtual std::unique_ptr<TOptionsList> CreateSQLOptions() const = 0;
  virtual std::unique_ptr<TOptionsList> CreateDataSetOptions() const = 0;
  // An empty list with the provider name as prefix in the base.
  virtual std::unique_ptr<TOptionsList> CreateScriptOptions() const;
  virtual std::unique_ptr<TOptionsList> CreateLoaderOptions() const;
  virtual std::unique_ptr<TOptionsList> CreateDumpOptions() const;
  virtual std::unique_ptr<TOptionsList> CreateAlerterOptions() const;
  virtual std::unique_ptr<TOptionsList> CreateTransactionOptions() const;

 private:
  struct TLazyList {
    std::once_flag Once;
    std::unique_ptr<TOptionsList> List;
  };
  static constexpr int GroupCount = 8;

  std::unique_ptr<TOptionsList> CreateOptions(TOptionGroup group) const;

  mutable TLazyList FOptions[GroupCount];
};

// One row of the description table.
struct TLumoProviderDesc {
  std::string ProviderName;
  std::string ProviderShortName;
  std::string PackageName;
  std::string AssemblyName;
  std::string SiblingProduct;
  std::shared_ptr<TLumoProvider> Provider;  // the registered instance, or none

  // Short name + "LumoProvider".
  std::string ProviderUnitName() const { return ProviderShortName + "LumoProvider"; }
  // "T" + unit name.
  std::string ProviderComponentName() const { return "T" + ProviderUnitName(); }
};

// The thread-safe list of provider descriptions. Names compare ignoring
// case.
class TLumoProviders {
 public:
  // Fills the description table.
  TLumoProviders();
  TLumoProviders(const TLumoProviders&) = delete;
  TLumoProviders& operator=(const TLumoProviders&) = delete;
  ~TLumoProviders();

  // Adds a description unless one with that name exists.
  void RegisterProviderDesc(const std::string& providerName, const std::string& providerShortName,
                            const std::string& siblingProduct, const std::string& assemblyName,
                            const std::string& packageName);
  // Creates the class's instance and stores it in the description of its
  // provider name (which must exist).
  void RegisterProvider(const TLumoProviderClass& providerClass);
  // Frees the instance of exactly that class, if registered.
  void UnRegisterProvider(const TLumoProviderClass& providerClass);
  // A copy of the description; raises "%s is not a valid provider name".
  TLumoProviderDesc GetProviderDesc(std::string_view name) const;
  // The registered instance; nullptr when the name is unknown or has none.
  std::shared_ptr<TLumoProvider> GetProvider(std::string_view name) const;
  // Clears `names` and adds the names that have an instance, in table order.
  void GetProviderNames(TStrings& names) const;
  int Count() const;

 private:
  // The description of `name`, or nullptr (the lock is held).
  TLumoProviderDesc* Find(std::string_view name);
  const TLumoProviderDesc* Find(std::string_view name) const;

  mutable std::mutex FLock;
  std::vector<TLumoProviderDesc> FDescs;
};

// The process-wide registry, made on first use.
TLumoProviders& LumoProviders();

}  // namespace lumo
