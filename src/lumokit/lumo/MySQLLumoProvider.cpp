#include <lumokit/lumo/MySQLLumoProvider.h>

#include <lumokit/core/Ascii.h>
#include <lumokit/lumo/MySqlFormatter.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesLoader.h>
#include <lumokit/mysql/provider/MyClassesMetaData.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/provider/MyServices.h>
#include <lumokit/mysql/wire/MyParser.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>

namespace lumo {

namespace {

// Property codes of options whose classes come later (dump processor).
constexpr int prBackupTables = 104;
constexpr int prBackupViews = 105;
constexpr int prAddLock = 108;
constexpr int prDisableKeys = 109;
constexpr int prHexBlob = 110;
constexpr int prUseExtSyntax = 111;
constexpr int prUseDelayedIns = 112;
constexpr int prCommitBatchSize = 113;
constexpr int prInsertType = 114;

const TEnumTypeInfo& ProtocolType() {
  static const TEnumTypeInfo info{
      "TMyProtocol", {"mpDefault", "mpTCP", "mpSocket", "mpPipe", "mpMemory", "mpSSL", "mpHttp"}, 0};
  return info;
}

const TEnumTypeInfo& DuplicateKeysType() {
  static const TEnumTypeInfo info{"_TMyDuplicateKeys", {"_dkNone", "_dkIgnore", "_dkReplace"}, 0};
  return info;
}

const TEnumTypeInfo& InsertTypeType() {
  static const TEnumTypeInfo info{"_TMyInsertType", {"_itInsert", "_itInsertIgnore", "_itReplaceInto"}, 0};
  return info;
}

// A character-set name: [A-Za-z0-9_]+ or nothing, blanks around it trimmed.
class TMyCharsetOption : public TStringOption {
 public:
  using TStringOption::TStringOption;
  Variant GetAsNative(const std::string& text) const override {
    if (!CheckValue(text)) InvalidOptionValue(text, OptionName());
    return std::string(TrimView(text));
  }
  bool CheckValue(const std::string& text) const override {
    const std::string_view name = TrimView(text);
    return name.empty() || TMySQLConnection::IsValidCharsetName(name);
  }
};

std::vector<TClassId> ConnectionClasses() { return {ClassIdOf<TMySQLConnection>("TMySQLConnection")}; }

}  // namespace

// ---- TMyConnectDialogService -----------------------------------------------------------------

bool TMyConnectDialogService::SetProp(int prop, const Variant& value) {
  if (prop != prEmbedded) return TConnectDialogService::SetProp(prop, value);
  FEmbedded = value.AsBoolean();
  return true;
}

bool TMyConnectDialogService::GetProp(int prop, Variant& value) {
  if (prop != prEmbedded) return TConnectDialogService::GetProp(prop, value);
  value = FEmbedded;
  return true;
}

// ---- classes ----------------------------------------------------------------------------------

TConnectionClass TMySQLLumoProvider::GetConnectionClass() const {
  return LumoClassOf<TKxConnection, TMySQLConnection>("TMySQLConnection");
}

TTransactionClass TMySQLLumoProvider::GetTransactionClass() const {
  return LumoClassOf<TKxTransaction, TMySQLTransaction>("TMySQLTransaction");
}

TSQLParserClass TMySQLLumoProvider::GetParserClass() const { return ParserClassOf<TMyLumoParser>(); }

TCommandClass TMySQLLumoProvider::GetCommandClass() const {
  return LumoClassOf<TKxCommand, TMySQLCommand>("TMySQLCommand");
}

TRecordSetClass TMySQLLumoProvider::GetRecordSetClass() const {
  return LumoClassOf<TKxRecordSet, TMySQLRecordset>("TMySQLRecordset");
}

TDataSetServiceClass TMySQLLumoProvider::GetDataSetServiceClass() const {
  return LumoClassOf<TDataSetService, TCustomMyDataSetService, TMemDataSet&>("TCustomMyDataSetService");
}

TLoaderClass TMySQLLumoProvider::GetLoaderClass() const {
  return LumoClassOf<TKxLoader, TMySQLLoader>("TMySQLLoader");
}

const TFieldTypeMap& TMySQLLumoProvider::GetFieldTypeMapClass() const {
  static const TCustomMyFieldTypeMap map;
  return map;
}

TMetaDataClass TMySQLLumoProvider::GetMetaDataClass() const {
  return LumoClassOf<TKxMetaData, TMySQLMetaData>("TMySQLMetaData");
}

TConnectDialogServiceClass TMySQLLumoProvider::GetConnectDialogServiceClass() const {
  return LumoClassOf<TConnectDialogService, TMyConnectDialogService>("TMyConnectDialogService");
}

TSqlFormatterClass TMySQLLumoProvider::GetSqlFormatterClass() const {
  return LumoClassOf<TLumoSqlFormatter, TMySqlFormatter>("TMySqlFormatter");
}

const TConverterManager& TMySQLLumoProvider::GetConverterManagerClass() const { return MyConverterManager(); }

// ---- options ----------------------------------------------------------------------------------

void TMySQLLumoProvider::ApplyObjectProps(const TOptionTarget& target, TOptionGroup group,
                                          const TStrings& options) {
  if (group == TOptionGroup::ogConnection && target.Class() == typeid(TMySQLConnection))
    target.SetProp(prCheckPrecision, true);
  // Auto-increment columns stay writable in a data set of the provider.
  if (group == TOptionGroup::ogDataSet && target.Class() == typeid(TCustomMyDataSetService))
    target.SetProp(prAutoIncrementReadOnly, false);
  TLumoProvider::ApplyObjectProps(target, group, options);
}

std::unique_ptr<TOptionsList> TMySQLLumoProvider::CreateConnectionOptions() const {
  const std::vector<TClassId> connection = ConnectionClasses();
  std::vector<TClassId> embedded = connection;
  embedded.push_back(ClassIdOf<TMyConnectDialogService>("TMyConnectDialogService"));
  auto list = std::make_unique<TOptionsList>(GetProviderName());
  auto text = [&](const char* name, int prop) { list->AddNew<TStringOption>(name, prop, connection, "", true); };
  auto flag = [&](const char* name, int prop, bool value, bool cs) {
    list->AddNew<TBooleanOption>(name, prop, connection, value, cs);
  };
  list->AddNew<TIntegerOption>("ConnectionTimeout", prConnectionTimeout, connection, 15, true);
  list->AddNew<TMyCharsetOption>("Charset", prCharset, connection, "", true);
  flag("UseUnicode", prUseUnicode, false, true);
  flag("OptimizedBigint", prOptimizedBigInt, false, false);
  flag("NullForZeroOrvoDate", prNullForZeroOrvoDate, false, false);
  flag("Compress", prCompress, false, true);
  list->AddNew<TEnumeratorOption>("Protocol", prProtocol, connection, static_cast<std::int32_t>(mpDefault),
                                  ProtocolType(), true);
  list->AddNew<TBooleanOption>("Embedded", prEmbedded, embedded, false, true);
  flag("Direct", prDirect, true, true);
  text("EmbeddedParams", prEmbParams);
  flag("Interactive", prInteractive, false, true);
  text("SSLChipherList", prSSL_Cipher);
  text("SSLCACert", prSSL_CA);
  text("SSLKey", prSSL_Key);
  text("SSLCert", prSSL_Cert);
  text("HttpUrl", prHttpUrl);
  text("HttpUsername", prHttpUsername);
  text("HttpPassword", prHttpPassword);
  text("ProxyHostname", prProxyHostname);
  list->AddNew<TIntegerOption>("ProxyPort", prProxyPort, connection, 0, true);
  text("ProxyUsername", prProxyUsername);
  text("ProxyPassword", prProxyPassword);
  return list;
}

std::unique_ptr<TOptionsList> TMySQLLumoProvider::CreateSQLOptions() const {
  auto list = std::make_unique<TOptionsList>(GetProviderName());
  list->AddNew<TIntegerOption>("CommandTimeout", prCommandTimeout,
                               std::vector{ClassIdOf<TMySQLCommand>("TMySQLCommand")}, 0);
  return list;
}

std::unique_ptr<TOptionsList> TMySQLLumoProvider::CreateDataSetOptions() const {
  const std::vector<TClassId> recordSet{ClassIdOf<TMySQLRecordset>("TMySQLRecordset")};
  auto list = std::make_unique<TOptionsList>(GetProviderName());
  auto flag = [&](const char* name, int prop, bool value) {
    list->AddNew<TBooleanOption>(name, prop, recordSet, value);
  };
  flag("FetchAll", prFetchAll, true);
  list->AddNew<TIntegerOption>("CommandTimeout", prCommandTimeout, recordSet, 0);
  flag("FieldsAsString", prMySQLFieldsAsString, false);
  flag("NullForZeroDate", prNullForZeroDate, true);
  list->AddNew<TBooleanOption>("CheckRowVersion", prCheckRowVersion,
                               std::vector{ClassIdOf<TCustomMyDataSetService>("TCustomMyDataSetService")}, false);
  flag("EnableBoolean", prEnableBoolean, true);
  flag("CreateConnection", prCreateConnection, true);
  flag("BinaryAsString", prBinaryAsString, true);
  return list;
}

std::unique_ptr<TOptionsList> TMySQLLumoProvider::CreateLoaderOptions() const {
  const std::vector<TClassId> loader{ClassIdOf<TMySQLLoader>("TMySQLLoader")};
  auto list = std::make_unique<TOptionsList>(GetProviderName());
  list->AddNew<TBooleanOption>("LockTable", prLock, loader, false);
  list->AddNew<TBooleanOption>("Delayed", prDelayed, loader, false);
  list->AddNew<TIntegerOption>("RowsPerQuery", prRowsPerQuery, loader, 0);
  list->AddNew<TEnumeratorOption>("DuplicateKeys", prDuplicateKeys, loader, static_cast<std::int32_t>(dkNone),
                                  DuplicateKeysType());
  return list;
}

std::unique_ptr<TOptionsList> TMySQLLumoProvider::CreateDumpOptions() const {
  // The dump processor comes later: the options have no class yet.
  const std::vector<TClassId> none;
  auto list = std::make_unique<TOptionsList>(GetProviderName());
  auto flag = [&](const char* name, int prop, bool value) { list->AddNew<TBooleanOption>(name, prop, none, value); };
  flag("AddLock", prAddLock, false);
  flag("DisableKeys", prDisableKeys, false);
  flag("HexBlob", prHexBlob, false);
  flag("UseExtSyntax", prUseExtSyntax, true);
  flag("UseDelayedIns", prUseDelayedIns, false);
  list->AddNew<TIntegerOption>("CommitBatchSize", prCommitBatchSize, none, 0);
  list->AddNew<TEnumeratorOption>("InsertType", prInsertType, none, 0, InsertTypeType());
  flag("BackupTables", prBackupTables, false);
  flag("BackupViews", prBackupViews, false);
  return list;
}

// ---- registration -------------------------------------------------------------------------------

namespace {
const TLumoProviderClass& ProviderClass() {
  static const TLumoProviderClass cls = LumoClassOf<TLumoProvider, TMySQLLumoProvider>("TMySQLLumoProvider");
  return cls;
}
}  // namespace

void RegisterMySQLProvider() {
  RegisterMySqlApiDirect();
  RegisterMyDataTypeMap();
  LumoProviders().RegisterProvider(ProviderClass());
}

void UnRegisterMySQLProvider() { LumoProviders().UnRegisterProvider(ProviderClass()); }

}  // namespace lumo
