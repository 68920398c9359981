#include <lumokit/lumo/LumoProvider.h>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>

namespace lumo {

// ---- TConnectDialogService, TKxDummyAlerter ---------------------------------------------

bool TConnectDialogService::SetProp(int prop, const Variant&) { UnknownPropError(prop); }

bool TConnectDialogService::GetProp(int prop, Variant&) { UnknownPropError(prop); }

namespace {
[[noreturn]] void EventsNotSupported() {
  throw ENotSupportedError("Event notification is not supported by DBMS or provider");
}
}  // namespace

void TKxDummyAlerter::SendEvent(const std::string&, const std::string&) { EventsNotSupported(); }

void TKxDummyAlerter::Start() { EventsNotSupported(); }

void TKxDummyAlerter::Stop() { EventsNotSupported(); }

// ---- TLumoProvider ----------------------------------------------------------------------

TLumoProvider::TLumoProvider() = default;

TLumoProvider::~TLumoProvider() { Destroying(); }

TAlerterClass TLumoProvider::GetAlerterClass() const {
  return LumoClassOf<TKxAlerter, TKxDummyAlerter>("TKxDummyAlerter");
}

TParamObjectClass TLumoProvider::GetParamObjectClass(TFieldType dataType) const {
  switch (dataType) {
    case ftBlob:
      return LumoClassOf<TBlob, TCompressedBlob>("TCompressedBlob");
    case ftMemo:
    case ftWideMemo:
      return LumoClassOf<TBlob, TBlob>("TBlob");
    default:
      throw Exception("Unknown data type");
  }
}

TSharedRef<TBlob> TLumoProvider::CreateParamObject(TFieldType dataType) const {
  std::unique_ptr<TBlob> object = GetParamObjectClass(dataType).Create();
  if (dataType == ftWideMemo) object->SetIsUnicode(true);
  // A new shared object holds its creation reference; the result takes it.
  return TSharedRef<TBlob>::Adopt(object.release());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateScriptOptions() const {
  return std::make_unique<TOptionsList>(GetProviderName());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateLoaderOptions() const {
  return std::make_unique<TOptionsList>(GetProviderName());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateDumpOptions() const {
  return std::make_unique<TOptionsList>(GetProviderName());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateAlerterOptions() const {
  return std::make_unique<TOptionsList>(GetProviderName());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateTransactionOptions() const {
  return std::make_unique<TOptionsList>(GetProviderName());
}

std::unique_ptr<TOptionsList> TLumoProvider::CreateOptions(TOptionGroup group) const {
  switch (group) {
    case TOptionGroup::ogConnection:
      return CreateConnectionOptions();
    case TOptionGroup::ogSQL:
      return CreateSQLOptions();
    case TOptionGroup::ogDataSet:
      return CreateDataSetOptions();
    case TOptionGroup::ogScript:
      return CreateScriptOptions();
    case TOptionGroup::ogLoader:
      return CreateLoaderOptions();
    case TOptionGroup::ogDump:
      return CreateDumpOptions();
    case TOptionGroup::ogAlerter:
      return CreateAlerterOptions();
    case TOptionGroup::ogTransaction:
      return CreateTransactionOptions();
  }
  AssertionFailure(__FILE__, __LINE__);
}

TOptionsList& TLumoProvider::GetOptions(TOptionGroup group) const {
  const auto index = static_cast<std::size_t>(group);
  LUMO_ASSERT(index < GroupCount);
  TLazyList& lazy = FOptions[index];
  std::call_once(lazy.Once, [&] { lazy.List = CreateOptions(group); });
  LUMO_ASSERT(lazy.List);
  return *lazy.List;
}

TOptionsList& TLumoProvider::GetConnectionOptions() const { return GetOptions(TOptionGroup::ogConnection); }
TOptionsList& TLumoProvider::GetSQLOptions() const { return GetOptions(TOptionGroup::ogSQL); }
TOptionsList& TLumoProvider::GetDataSetOptions() const { return GetOptions(TOptionGroup::ogDataSet); }
TOptionsList& TLumoProvider::GetScriptOptions() const { return GetOptions(TOptionGroup::ogScript); }
TOptionsList& TLumoProvider::GetLoaderOptions() const { return GetOptions(TOptionGroup::ogLoader); }
TOptionsList& TLumoProvider::GetDumpOptions() const { return GetOptions(TOptionGroup::ogDump); }
TOptionsList& TLumoProvider::GetAlerterOptions() const { return GetOptions(TOptionGroup::ogAlerter); }
TOptionsList& TLumoProvider::GetTransactionOptions() const { return GetOptions(TOptionGroup::ogTransaction); }

void TLumoProvider::ApplyObjectProps(const TOptionTarget& target, TOptionGroup group, const TStrings& options) {
  GetOptions(group).ImportOptions(options, target);
}

void TLumoProvider::SetObjectProps(TKxConnection& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogConnection, options);
}

void TLumoProvider::SetObjectProps(TConnectDialogService& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogConnection, options);
}

void TLumoProvider::SetObjectProps(TKxCommand& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogSQL, options);
}

void TLumoProvider::SetObjectProps(TKxRecordSet& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogDataSet, options);
  ApplyObjectProps(TOptionTarget(object.GetCommand()), TOptionGroup::ogDataSet, options);
}

void TLumoProvider::SetObjectProps(TKxLoader& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogLoader, options);
}

void TLumoProvider::SetObjectProps(TKxAlerter& object, const TStrings& options) {
  ApplyObjectProps(TOptionTarget(object), TOptionGroup::ogAlerter, options);
}

// ---- TLumoProviders -----------------------------------------------------------------------

TLumoProviders::TLumoProviders() {
  static constexpr struct {
    const char* Name;
    const char* ShortName;
    const char* PackageName;
  } rows[] = {
      {"Access", "Access", "accessprovider"},  {"Advantage", "Advantage", "adsprovider"},
      {"ASE", "ASE", "aseprovider"},           {"DB2", "DB2", "db2provider"},
      {"DBF", "DBF", "dbfprovider"},           {"InterBase", "InterBase", "ibprovider"},
      {"MySQL", "MySQL", "myprovider"},        {"NexusDB", "NexusDB", "nexusprovider"},
      {"ODBC", "ODBC", "odbcprovider"},        {"Oracle", "Oracle", "oraprovider"},
      {"PostgreSQL", "PostgreSQL", "pgprovider"}, {"SQL Server", "SQLServer", "msprovider"},
      {"SQLite", "SQLite", "liteprovider"},
  };
  for (const auto& row : rows) RegisterProviderDesc(row.Name, row.ShortName, "", "", row.PackageName);
}

TLumoProviders::~TLumoProviders() = default;

TLumoProviderDesc* TLumoProviders::Find(std::string_view name) {
  for (TLumoProviderDesc& desc : FDescs)
    if (SameTextAscii(desc.ProviderName, name)) return &desc;
  return nullptr;
}

const TLumoProviderDesc* TLumoProviders::Find(std::string_view name) const {
  return const_cast<TLumoProviders*>(this)->Find(name);
}

void TLumoProviders::RegisterProviderDesc(const std::string& providerName, const std::string& providerShortName,
                                          const std::string& siblingProduct, const std::string& assemblyName,
                                          const std::string& packageName) {
  std::lock_guard<std::mutex> lock(FLock);
  if (Find(providerName)) return;
  FDescs.push_back({providerName, providerShortName, packageName, assemblyName, siblingProduct, nullptr});
}

void TLumoProviders::RegisterProvider(const TLumoProviderClass& providerClass) {
  // Made and freed outside the lock: a provider may use the registry.
  std::shared_ptr<TLumoProvider> instance = providerClass.Create();
  const std::string name = instance->GetProviderName();
  std::shared_ptr<TLumoProvider> replaced;
  std::lock_guard<std::mutex> lock(FLock);
  TLumoProviderDesc* desc = Find(name);
  if (!desc) throw Exception(Format("%s is not a valid provider name", {name}));
  if (desc->Provider && providerClass.IsClassOf(*desc->Provider)) return;
  replaced = std::exchange(desc->Provider, std::move(instance));
}

void TLumoProviders::UnRegisterProvider(const TLumoProviderClass& providerClass) {
  std::shared_ptr<TLumoProvider> removed;
  std::lock_guard<std::mutex> lock(FLock);
  for (TLumoProviderDesc& desc : FDescs) {
    if (desc.Provider && providerClass.IsClassOf(*desc.Provider)) {
      removed = std::move(desc.Provider);
      return;
    }
  }
}

TLumoProviderDesc TLumoProviders::GetProviderDesc(std::string_view name) const {
  std::lock_guard<std::mutex> lock(FLock);
  const TLumoProviderDesc* desc = Find(name);
  if (!desc) throw Exception(Format("%s is not a valid provider name", {name}));
  return *desc;
}

std::shared_ptr<TLumoProvider> TLumoProviders::GetProvider(std::string_view name) const {
  std::lock_guard<std::mutex> lock(FLock);
  const TLumoProviderDesc* desc = Find(name);
  return desc ? desc->Provider : nullptr;
}

void TLumoProviders::GetProviderNames(TStrings& names) const {
  std::vector<std::string> found;
  {
    std::lock_guard<std::mutex> lock(FLock);
    for (const TLumoProviderDesc& desc : FDescs)
      if (desc.Provider) found.push_back(desc.ProviderName);
  }
  names.Assign(found);
}

int TLumoProviders::Count() const {
  std::lock_guard<std::mutex> lock(FLock);
  return static_cast<int>(FDescs.size());
}

TLumoProviders& LumoProviders() {
  static TLumoProviders providers;
  return providers;
}

}  // namespace lumo
