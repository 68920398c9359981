#include <lumokit/lumo/LumoProvider.h>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "LumoTestProvider.h"

namespace lumo {
namespace {

using test::ErrorOf;
using test::FakeServer;
using test::OptionLines;
using test::RecordingCommand;
using test::RecordingConnection;
using test::RecordingDialogService;
using test::RecordingRecordSet;
using test::TestProvider;

// Another class under the same name, and one under a name of its own.
class OtherTestProvider : public TestProvider {};
class LiteTestProvider : public TestProvider {
 public:
  std::string GetProviderName() const override { return "SQLite"; }
};
class NowhereProvider : public TestProvider {
 public:
  std::string GetProviderName() const override { return "Nowhere"; }
};

const TLumoProviderClass kTestClass = LumoClassOf<TLumoProvider, TestProvider>("TestProvider");
const TLumoProviderClass kOtherClass = LumoClassOf<TLumoProvider, OtherTestProvider>("OtherTestProvider");

TEST(LumoProvidersTest, TheDescriptionTableKnowsEveryProviderName) {
  TLumoProviders registry;
  EXPECT_EQ(registry.Count(), 13);
  const TLumoProviderDesc my = registry.GetProviderDesc("mysql");
  EXPECT_EQ(my.ProviderName, "MySQL");
  EXPECT_EQ(my.PackageName, "myprovider");
  EXPECT_EQ(my.ProviderUnitName(), "MySQLLumoProvider");
  EXPECT_EQ(my.ProviderComponentName(), "TMySQLLumoProvider");
  EXPECT_EQ(my.Provider, nullptr);
  const TLumoProviderDesc ms = registry.GetProviderDesc("SQL SERVER");
  EXPECT_EQ(ms.ProviderShortName, "SQLServer");
  EXPECT_EQ(ms.PackageName, "msprovider");

  EXPECT_EQ(ErrorOf([&] { registry.GetProviderDesc("Foo"); }), "Foo is not a valid provider name");
  EXPECT_EQ(registry.GetProvider("Oracle"), nullptr);
  EXPECT_EQ(registry.GetProvider("Foo"), nullptr);

  registry.RegisterProviderDesc("MYSQL", "X", "", "", "x");  // a name already there
  registry.RegisterProviderDesc("Custom", "Custom", "", "", "customprovider");
  EXPECT_EQ(registry.Count(), 14);
  EXPECT_EQ(registry.GetProviderDesc("MySQL").ProviderShortName, "MySQL");

  EXPECT_EQ(&LumoProviders(), &LumoProviders());
  EXPECT_GE(LumoProviders().Count(), 13);
}

TEST(LumoProvidersTest, RegisteringAndUnregisteringProviders) {
  TLumoProviders registry;
  registry.RegisterProvider(kTestClass);
  std::shared_ptr<TLumoProvider> first = registry.GetProvider("odbc");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(typeid(*first), typeid(TestProvider));
  EXPECT_EQ(registry.GetProviderDesc("ODBC").Provider, first);

  registry.RegisterProvider(kTestClass);  // the same class again: kept
  EXPECT_EQ(registry.GetProvider("ODBC"), first);
  registry.RegisterProvider(kOtherClass);  // another class: replaces
  std::shared_ptr<TLumoProvider> other = registry.GetProvider("ODBC");
  EXPECT_EQ(typeid(*other), typeid(OtherTestProvider));

  registry.RegisterProvider(LumoClassOf<TLumoProvider, LiteTestProvider>("LiteTestProvider"));
  TStringList names;
  names.Add("stale");
  registry.GetProviderNames(names);
  EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"ODBC", "SQLite"}));  // table order

  registry.UnRegisterProvider(kTestClass);  // not the registered class: nothing
  EXPECT_NE(registry.GetProvider("ODBC"), nullptr);
  registry.UnRegisterProvider(kOtherClass);
  EXPECT_EQ(registry.GetProvider("ODBC"), nullptr);
  EXPECT_EQ(other->GetProviderName(), "ODBC");  // a holder keeps its provider alive

  EXPECT_EQ(ErrorOf([&] { registry.RegisterProvider(LumoClassOf<TLumoProvider, NowhereProvider>("NowhereProvider")); }),
            "Nowhere is not a valid provider name");
}

TEST(LumoProvidersTest, ConcurrentLookupsRegistrationAndImports) {
  TLumoProviders registry;
  registry.RegisterProvider(LumoClassOf<TLumoProvider, LiteTestProvider>("LiteTestProvider"));
  constexpr int kReaders = 4;
  constexpr int kRounds = 200;
  std::latch start(kReaders + 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      registry.RegisterProvider(kTestClass);
      registry.UnRegisterProvider(kTestClass);
    }
  });
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&, t] {
      FakeServer server;
      // The stable provider: its lists are built once however many ask
      // at the same moment.
      const std::shared_ptr<TLumoProvider> lite = registry.GetProvider("sqlite");
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        RecordingConnection connection(server);
        lite->SetObjectProps(connection, OptionLines{"Timeout=30"});
        if (connection.Log.Last(test::prTestTimeout).AsInt32() != 30) ++wrong;
        // The flipping one: either absent or complete.
        if (std::shared_ptr<TLumoProvider> odbc = registry.GetProvider("ODBC")) {
          RecordingConnection other(server);
          odbc->SetObjectProps(other, OptionLines{"ODBC.Unicode=True"});
          if (!other.Log.Last(test::prTestUnicode).AsBoolean()) ++wrong;
        }
        TStringList names;
        registry.GetProviderNames(names);
        if (names.IndexOf("SQLite") < 0 || registry.GetProviderDesc("SQLite").Provider != lite) ++wrong;
        if (t == 0 && i % 50 == 0) registry.RegisterProviderDesc("Extra" + std::to_string(i), "E", "", "", "e");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(static_cast<TestProvider&>(*registry.GetProvider("SQLite")).ConnectionListsBuilt.load(), 1);
  EXPECT_EQ(registry.GetProvider("ODBC"), nullptr);
}

class ProviderRoutingTest : public ::testing::Test {
 protected:
  TestProvider provider;
  FakeServer server;
};

TEST_F(ProviderRoutingTest, EachKindOfObjectGetsItsOwnOptions) {
  OptionLines lines{"ODBC.Unicode=True", "protocol = tpSocket", "ODBC.CommandTimeout=9", "FetchAll=False",
                    "DialogOnly=False"};
  RecordingConnection connection(server);
  provider.SetObjectProps(connection, lines);
  EXPECT_EQ(connection.Log.Calls.size(), 4u);  // Timeout, Charset, Unicode, Protocol
  EXPECT_TRUE(connection.Log.Last(test::prTestUnicode).AsBoolean());
  EXPECT_EQ(connection.Log.Last(test::prTestProtocol).AsInt32(), test::tpSocket);
  EXPECT_EQ(connection.Log.Last(test::prTestTimeout).AsInt32(), 15);

  RecordingDialogService dialog;
  provider.SetObjectProps(dialog, lines);
  EXPECT_EQ(dialog.Log.Calls.size(), 2u);
  EXPECT_FALSE(dialog.Log.Last(test::prTestDialogOnly).AsBoolean());

  RecordingCommand command;
  provider.SetObjectProps(command, lines);
  EXPECT_EQ(command.Log.Calls.size(), 1u);
  EXPECT_EQ(command.Log.Last(test::prTestCommandTimeout).AsInt32(), 9);

  // A record set: the data-set options for its class, and for its command's.
  RecordingRecordSet recordSet;
  provider.SetObjectProps(recordSet, lines);
  EXPECT_EQ(recordSet.Log.Calls.size(), 1u);
  EXPECT_FALSE(recordSet.Log.Last(test::prTestFetchAll).AsBoolean());
  EXPECT_EQ(recordSet.Command().Log.Calls.size(), 1u);
  EXPECT_EQ(recordSet.Command().Log.Last(test::prTestCommandTimeout).AsInt32(), 9);
}

TEST_F(ProviderRoutingTest, ProvidersMaySetPropertiesOfTheirOwn) {
  class PresettingProvider : public TestProvider {
   protected:
    void ApplyObjectProps(const TOptionTarget& target, TOptionGroup group, const TStrings& options) override {
      if (target.Class() == typeid(RecordingConnection)) target.SetProp(9999, true);
      TestProvider::ApplyObjectProps(target, group, options);
    }
  } presetting;
  RecordingConnection connection(server);
  presetting.SetObjectProps(connection, OptionLines{});
  ASSERT_EQ(connection.Log.Calls.size(), 5u);
  EXPECT_EQ(connection.Log.Calls.front().first, 9999);
}

TEST_F(ProviderRoutingTest, DefaultListsAndBaseAnswers) {
  EXPECT_EQ(&provider.GetConnectionOptions(), &provider.GetConnectionOptions());
  EXPECT_EQ(provider.ConnectionListsBuilt.load(), 1);
  for (TOptionsList* list : {&provider.GetScriptOptions(), &provider.GetLoaderOptions(), &provider.GetDumpOptions(),
                             &provider.GetAlerterOptions(), &provider.GetTransactionOptions()}) {
    EXPECT_EQ(list->Prefix(), "ODBC");
    EXPECT_EQ(list->Count(), 0);
  }

  std::unique_ptr<TKxAlerter> alerter = provider.GetAlerterClass().Create();
  EXPECT_EQ(typeid(*alerter), typeid(TKxDummyAlerter));
  EXPECT_EQ(ErrorOf([&] { alerter->Start(); }), "Event notification is not supported by DBMS or provider");
  EXPECT_THROW(alerter->SendEvent("e", "m"), ENotSupportedError);

  TConnectDialogService dialog;  // knows no property codes
  Variant value;
  EXPECT_THROW(dialog.SetProp(1, true), EAssertionFailed);
  EXPECT_THROW(dialog.GetProp(1, value), EAssertionFailed);
}

TEST_F(ProviderRoutingTest, ClassReferencesAndParameterObjects) {
  const TCommandClass commands = provider.GetCommandClass();
  std::unique_ptr<TKxCommand> command = commands.Create();
  EXPECT_TRUE(commands.IsClassOf(*command));
  EXPECT_FALSE(commands.IsClassOf(test::FakeCommand()));  // exact class only
  EXPECT_EQ(commands, (LumoClassOf<TKxCommand, RecordingCommand>("another name")));
  EXPECT_THROW(provider.GetConnectionClass().Create(), EAssertionFailed);  // not set

  EXPECT_TRUE(provider.GetParamObjectClass(ftBlob).IsClassOf(TCompressedBlob()));
  EXPECT_FALSE(provider.GetParamObjectClass(ftMemo).IsClassOf(TCompressedBlob()));
  TSharedRef<TBlob> blob = provider.CreateParamObject(ftBlob);
  EXPECT_EQ(typeid(*blob), typeid(TCompressedBlob));
  EXPECT_FALSE(blob->IsUnicode());
  TSharedRef<TBlob> wide = provider.CreateParamObject(ftWideMemo);
  EXPECT_EQ(typeid(*wide), typeid(TBlob));
  EXPECT_TRUE(wide->IsUnicode());
  EXPECT_FALSE(provider.CreateParamObject(ftMemo)->IsUnicode());
  EXPECT_EQ(ErrorOf([&] { provider.GetParamObjectClass(ftString); }), "Unknown data type");
}

}  // namespace
}  // namespace lumo
