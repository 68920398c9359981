// The MySQL provider of the front: TMySQLLumoProvider is the TLumoProvider
// registered under "MySQL". It names the MySQL classes for every contract,
// declares every MySQL-specific option (name, kind, default, property code
// and the classes that take it) and hands out TMySqlFormatter. Start-up
// calls RegisterMySQLProvider(); nothing registers itself.
//
// Decisions:
// - RegisterMySQLProvider() first registers what the provider's objects
//   stand on (the wire client's facade, the MySQL data-type map), so one
//   call makes the provider usable; calling it again does nothing.
//   UnRegisterMySQLProvider() removes the provider from the registry and
//   leaves those process-wide objects alone.
// - Classes that this library does not have yet — the server enumerator,
//   the pool's parameters and manager, the script and dump processors —
//   are answered with empty class references (operator bool is false; the
//   pool manager is nullptr), so a caller can test for them and fall back. Their options are declared with their
//   names and defaults but take no class yet: the dump options apply to
//   no object, and the connection options reach the connection (and, for
//   "Embedded", the connect-dialog service) only.
// - "Charset" accepts only names of [A-Za-z0-9_] (surrounding blanks
//   trimmed) or nothing; anything else raises the invalid-value error when
//   the options are applied, long before SET NAMES is written.
// - Enumeration options read their names from explicit tables. The
//   duplicate-keys and insert-type enumerations keep their type names
//   "_TMyDuplicateKeys" and "_TMyInsertType" with "_"-prefixed value names,
//   so the registry shows and reads them as "dkIgnore", "itInsert" ...
// - Before the options reach a TMySQLConnection (exactly that class), its
//   prCheckPrecision is set on; before they reach a TCustomMyDataSetService,
//   its prAutoIncrementReadOnly is set off.
#pragma once

#include <memory>
#include <string>

#include <lumokit/dataset/MemDS.h>
#include <lumokit/lumo/LumoProvider.h>

namespace lumo {

// The field-type map of the MySQL provider: the generic one, nothing added.
class TCustomMyFieldTypeMap : public TFieldTypeMap {};

// What a login dialog offers for MySQL: no server, database or port while
// the embedded server is chosen (prEmbedded).
class TMyConnectDialogService : public TConnectDialogService {
 public:
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  bool ServerEnabled() override { return !FEmbedded; }
  bool DatabaseEnabled() override { return !FEmbedded; }
  bool PortEnabled() override { return !FEmbedded; }

  bool Embedded() const noexcept { return FEmbedded; }

 private:
  bool FEmbedded = false;
};

class TMySQLLumoProvider : public TLumoProvider {
 public:
  std::string GetProviderName() const override { return "MySQL"; }
  bool IsDatabaseSupported() const override { return true; }
  bool IsPortSupported() const override { return true; }

  TConnectionParametersClass GetConnectionParametersClass() const override { return {}; }
  TKxConnectionPoolManager* GetConnectionPoolingManagerClass() const override { return nullptr; }
  TConnectionClass GetConnectionClass() const override;
  TServerEnumeratorClass GetServerEnumeratorClass() const override { return {}; }
  TTransactionClass GetTransactionClass() const override;
  TSQLParserClass GetParserClass() const override;
  TCommandClass GetCommandClass() const override;
  TRecordSetClass GetRecordSetClass() const override;
  TDataSetServiceClass GetDataSetServiceClass() const override;
  TScriptProcessorClass GetScriptProcessorClass() const override { return {}; }
  TLoaderClass GetLoaderClass() const override;
  TDumpProcessorClass GetDumpProcessorClass() const override { return {}; }
  const TFieldTypeMap& GetFieldTypeMapClass() const override;
  TMetaDataClass GetMetaDataClass() const override;
  TConnectDialogServiceClass GetConnectDialogServiceClass() const override;
  TSqlFormatterClass GetSqlFormatterClass() const override;
  const TConverterManager& GetConverterManagerClass() const override;

 protected:
  void ApplyObjectProps(const TOptionTarget& target, TOptionGroup group, const TStrings& options) override;

  std::unique_ptr<TOptionsList> CreateConnectionOptions() const override;
  std::unique_ptr<TOptionsList> CreateSQLOptions() const override;
  std::unique_ptr<TOptionsList> CreateDataSetOptions() const override;
  std::unique_ptr<TOptionsList> CreateLoaderOptions() const override;
  std::unique_ptr<TOptionsList> CreateDumpOptions() const override;
};

// Registers the provider under "MySQL" (and what it stands on, see above).
void RegisterMySQLProvider();
void UnRegisterMySQLProvider();

}  // namespace lumo
