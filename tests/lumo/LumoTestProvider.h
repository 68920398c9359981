// A small provider for the registry and option tests: provider objects that
// record the properties set on them, and a provider (registered as "ODBC",
// a name of the description table that no real provider here uses) that
// declares a few options of every kind for them; with two small helpers.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <lumokit/lumo/LumoProvider.h>
#include "support/FakeProvider.h"

namespace lumo::test {

// The property calls one object got, in order.
struct PropLog {
  std::vector<std::pair<int, Variant>> Calls;

  void Add(int prop, const Variant& value) { Calls.emplace_back(prop, value); }
  // The last value set for `prop` (Empty when never set).
  Variant Last(int prop) const {
    for (auto it = Calls.rbegin(); it != Calls.rend(); ++it)
      if (it->first == prop) return it->second;
    return {};
  }
};

// Property codes of the test options (provider-specific range).
inline constexpr int prTestTimeout = 5001;
inline constexpr int prTestCharset = 5002;
inline constexpr int prTestUnicode = 5003;
inline constexpr int prTestProtocol = 5004;
inline constexpr int prTestFetchAll = 5005;
inline constexpr int prTestCommandTimeout = 5006;
inline constexpr int prTestDialogOnly = 5007;

// A provider object that records its property calls.
template <class Base>
class Recording : public Base {
 public:
  using Base::Base;
  bool SetProp(int prop, const Variant& value) override {
    Log.Add(prop, value);
    return true;
  }
  PropLog Log;
};

using RecordingConnection = Recording<FakeConnection>;
using RecordingCommand = Recording<FakeCommand>;
using RecordingDialogService = Recording<TConnectDialogService>;

// A subclass: the exact class test must not give it its base's options.
class DerivedConnection : public RecordingConnection {
 public:
  using RecordingConnection::RecordingConnection;
};

class RecordingRecordSet : public Recording<FakeRecordSet> {
 public:
  std::unique_ptr<TKxCommand> CreateCommand() override { return std::make_unique<RecordingCommand>(); }
  RecordingCommand& Command() { return static_cast<RecordingCommand&>(GetCommand()); }
};

enum TTestProtocol { tpDefault, tpTCP, tpSocket };

// Options: connection "Timeout" (integer 15), "Charset" (string), "Unicode"
// (boolean False), "Protocol" (enumeration, tpDefault) for the recording
// connection, "Unicode" and "DialogOnly" also for the dialog service; SQL
// "CommandTimeout" for the recording command; data-set "FetchAll" (True)
// for the record set and "CommandTimeout" for the record set's command.
class TestProvider : public TLumoProvider {
 public:
  std::string GetProviderName() const override { return "ODBC"; }

  TConnectionParametersClass GetConnectionParametersClass() const override { return {}; }
  TKxConnectionPoolManager* GetConnectionPoolingManagerClass() const override { return nullptr; }
  TConnectionClass GetConnectionClass() const override { return {}; }
  TServerEnumeratorClass GetServerEnumeratorClass() const override { return {}; }
  TTransactionClass GetTransactionClass() const override {
    return LumoClassOf<TKxTransaction, FakeTransaction>("FakeTransaction");
  }
  TSQLParserClass GetParserClass() const override { return ParserClassOf<TSQLParser>(); }
  TCommandClass GetCommandClass() const override {
    return LumoClassOf<TKxCommand, RecordingCommand>("RecordingCommand");
  }
  TRecordSetClass GetRecordSetClass() const override {
    return LumoClassOf<TKxRecordSet, RecordingRecordSet>("RecordingRecordSet");
  }
  TDataSetServiceClass GetDataSetServiceClass() const override { return {}; }
  TScriptProcessorClass GetScriptProcessorClass() const override { return {}; }
  TLoaderClass GetLoaderClass() const override { return {}; }
  TDumpProcessorClass GetDumpProcessorClass() const override { return {}; }
  const TFieldTypeMap& GetFieldTypeMapClass() const override {
    throw std::logic_error("no field type map in the test provider");
  }
  TMetaDataClass GetMetaDataClass() const override { return {}; }
  TConnectDialogServiceClass GetConnectDialogServiceClass() const override {
    return LumoClassOf<TConnectDialogService, RecordingDialogService>("RecordingDialogService");
  }
  TSqlFormatterClass GetSqlFormatterClass() const override {
    return LumoClassOf<TLumoSqlFormatter, TLumoSqlFormatter>("TLumoSqlFormatter");
  }
  const TConverterManager& GetConverterManagerClass() const override {
    static const TConverterManager manager;
    return manager;
  }

  // How often each list was built.
  mutable std::atomic<int> ConnectionListsBuilt{0};

 protected:
  std::unique_ptr<TOptionsList> CreateConnectionOptions() const override {
    ++ConnectionListsBuilt;
    const TClassId connection = ClassIdOf<RecordingConnection>("RecordingConnection");
    const TClassId dialog = ClassIdOf<RecordingDialogService>("RecordingDialogService");
    auto list = std::make_unique<TOptionsList>(GetProviderName());
    list->AddNew<TIntegerOption>("Timeout", prTestTimeout, std::vector{connection}, 15, true);
    list->AddNew<TStringOption>("Charset", prTestCharset, std::vector{connection}, "", true);
    list->AddNew<TBooleanOption>("Unicode", prTestUnicode, std::vector{connection, dialog}, false, true);
    list->AddNew<TEnumeratorOption>("Protocol", prTestProtocol, std::vector{connection},
                                    static_cast<std::int32_t>(tpDefault),
                                    TEnumTypeInfo{"TTestProtocol", {"tpDefault", "tpTCP", "tpSocket"}, 0}, true);
    list->AddNew<TBooleanOption>("DialogOnly", prTestDialogOnly, std::vector{dialog}, true);
    return list;
  }
  std::unique_ptr<TOptionsList> CreateSQLOptions() const override {
    auto list = std::make_unique<TOptionsList>(GetProviderName());
    list->AddNew<TIntegerOption>("CommandTimeout", prTestCommandTimeout,
                                 std::vector{ClassIdOf<RecordingCommand>("RecordingCommand")}, 0);
    return list;
  }
  std::unique_ptr<TOptionsList> CreateDataSetOptions() const override {
    auto list = std::make_unique<TOptionsList>(GetProviderName());
    list->AddNew<TBooleanOption>("FetchAll", prTestFetchAll,
                                 std::vector{ClassIdOf<RecordingRecordSet>("RecordingRecordSet")}, true);
    list->AddNew<TIntegerOption>("CommandTimeout", prTestCommandTimeout,
                                 std::vector{ClassIdOf<RecordingCommand>("RecordingCommand")}, 0);
    return list;
  }
};

// The message of what `f` raises, "(no error)" when it raises nothing.
inline std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

// Option lines written in place: OptionLines lines{"ODBC.Unicode=True"}.
class OptionLines : public TStringList {
 public:
  OptionLines(std::initializer_list<const char*> lines) {
    for (const char* line : lines) Add(line);
  }
};

}  // namespace lumo::test
