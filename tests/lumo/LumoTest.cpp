// The front components without a server: the provider chosen by name and
// its errors, specific options reaching the provider connection, the
// connect-string builder, the connection's macros, ELumoError and the
// parameter objects with their native counterparts.
#include <lumokit/lumo/Lumo.h>

#include <gtest/gtest.h>

#include <lumokit/lumo/MySQLLumoProvider.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include "LumoTestProvider.h"
#include "support/FakeMySqlServer.h"

namespace lumo {
namespace {

using test::ErrorOf;

// Reaches the provider connection without connecting.
class TTestConnection : public TLumoConnection {
 public:
  TTestConnection() {
    RegisterMySQLProvider();
    SetLoginPrompt(false);
  }
  TMySQLConnection& Made() {
    CreateIConnection();
    return dynamic_cast<TMySQLConnection&>(*IConnection());
  }
};

TEST(LumoConnection, ProviderByNameAndItsErrors) {
  TTestConnection c;
  EXPECT_EQ(ErrorOf([&] { c.Provider(); }), "Provider is not defined");
  EXPECT_EQ(ErrorOf([&] { c.SpecificOptions().Add("UseUnicode=True"); }), "Provider is not defined");
  c.SetProviderName("  mysql ");
  EXPECT_EQ(c.ProviderName(), "mysql");
  EXPECT_EQ(c.Provider().GetProviderName(), "MySQL");
  c.SetProviderName("Oracle");
  EXPECT_EQ(ErrorOf([&] { c.Connect(); }),
            "Oracle provider is not registered. You should add the OracleLumoProvider unit to the uses clause of "
            "any unit in your project or place the TOracleLumoProvider component on the form.");
  c.SetProviderName("Nonesuch");
  EXPECT_EQ(ErrorOf([&] { c.Connect(); }), "Nonesuch is not a valid provider name");
  EXPECT_EQ(ErrorOf([&] { c.ServerVersion(); }), "Connection is not connected");
}

TEST(LumoConnection, SpecificOptionsReachTheProviderConnection) {
  TTestConnection c;
  c.SetProviderName("MySQL");
  c.SetDatabase(" vexa ");
  c.SetPort(3307);
  // A name without prefix addresses the provider's line.
  c.SpecificOptions().SetValues("UseUnicode", "True");
  EXPECT_EQ(c.SpecificOptions()[0], "MySQL.UseUnicode=True");
  EXPECT_EQ(c.SpecificOptions().Values("UseUnicode"), "True");
  TMySQLConnection& my = c.Made();
  Variant v;
  ASSERT_TRUE(my.GetProp(prUseUnicode, v));
  EXPECT_TRUE(v.AsBoolean());
  ASSERT_TRUE(my.GetProp(prConnectionTimeout, v));
  EXPECT_EQ(v.AsInt32(), 15);
  ASSERT_TRUE(my.GetProp(prDatabase, v));
  EXPECT_EQ(v.AsString(), "vexa");
  ASSERT_TRUE(my.GetProp(prPort, v));
  EXPECT_EQ(v.AsInt32(), 3307);

  // A later change is applied before the next use; a bad value is refused
  // with the option's message and the connection stays as it was.
  c.SpecificOptions().SetValues("Charset", "latin1; SET GLOBAL x=1");
  EXPECT_EQ(ErrorOf([&] { c.Made(); }), "Invalid value: latin1; SET GLOBAL x=1 for option Charset");
  EXPECT_EQ(my.Charset(), "");
  c.SpecificOptions().SetValues("Charset", "latin1");
  c.SpecificOptions().SetValues("Protocol", "mpSSL");
  c.Made();
  EXPECT_EQ(my.Charset(), "latin1");
  EXPECT_EQ(my.Protocol(), mpSSL);
  EXPECT_TRUE(my.UseUnicode());
}

TEST(LumoConnection, ConnectStringRoundTrip) {
  TTestConnection c;
  c.SetConnectString("Provider Name=MySQL;Data Source=db.example;User ID=ann;Database=vexa");
  EXPECT_EQ(c.ProviderName(), "MySQL");
  EXPECT_EQ(c.Server(), "db.example");
  EXPECT_EQ(c.Username(), "ann");
  EXPECT_EQ(c.Database(), "vexa");
  EXPECT_TRUE(c.LoginPrompt());
  EXPECT_EQ(c.ConnectString(), "Provider Name=MySQL;Data Source=db.example;Database=vexa;User ID=ann");

  // Aliases, a port, quoted values and provider options usable in connect
  // strings; options at their default are left out when building.
  c.SetConnectString(
      "ProviderName=mysql; host=h;uid=bob;PWD=\"p;w=\"\"x\";Port=3307;Login Prompt=False;UseUnicode=True;"
      "Compress=False");
  EXPECT_EQ(c.Password(), "p;w=\"x");
  EXPECT_EQ(c.Port(), 3307);
  EXPECT_EQ(c.SpecificOptions().Values("UseUnicode"), "True");
  const std::string built = c.ConnectString();
  EXPECT_EQ(built,
            "Login Prompt=False;Provider Name=mysql;Data Source=h;User ID=bob;Password=\"p;w=\"\"x\";Port=3307;"
            "UseUnicode=True");
  TTestConnection copy;
  copy.SetConnectString(built);
  EXPECT_EQ(copy.ConnectString(), built);
  EXPECT_EQ(copy.Password(), "p;w=\"x");

  // A bad option value fails and the previous string stays.
  EXPECT_EQ(ErrorOf([&] { copy.SetConnectString("Provider Name=MySQL;Compress=yes"); }),
            "Invalid value: yes for option Compress");
  EXPECT_EQ(copy.ConnectString(), built);
  EXPECT_EQ(ErrorOf([&] { copy.SetConnectString("Provider Name=MySQL;Port=70000"); }),
            "Invalid value of connection parameter Port: 70000");
}

TEST(LumoConnection, MacrosAndTheirConditions) {
  TTestConnection c;
  c.SetProviderName("MySQL");
  c.Macros().Add("T", "plain");
  c.Macros().Add("T", "mine", "MYSQL");
  c.Macros().Add("U", "u1");
  c.Macros().Add("U", "u2", "NOSUCH");
  EXPECT_EQ(c.ActiveMacroValueByName("t").AsString(), "mine");
  EXPECT_EQ(c.ActiveMacroValueByName("U").AsString(), "u1");
  EXPECT_TRUE(c.ActiveMacroValueByName("V").IsEmpty());
  std::string sql = "SELECT {T}, {U} FROM \"x\" {if NOSUCH}WHERE 1{endif}";
  c.ExpandMacros(sql);
  EXPECT_EQ(sql, "SELECT mine, u1 FROM `x` ");

  const std::uint32_t version = c.MacrosVersion();
  c.MacroByName("U").SetValue("u3");
  EXPECT_GT(c.MacrosVersion(), version);
  EXPECT_EQ(c.ActiveMacroValueByName("U").AsString(), "u3");

  c.Macros().Clear();
  c.Macros().Add("A", "a", "B");
  c.Macros().Add("B", "b", "A");
  EXPECT_EQ(ErrorOf([&] { c.ActiveMacroValueByName("A"); }), "Cyclic macros conditions");
}

// TLS asked for by the specific option Protocol: a server that offers none
// is left before the login packet (with the password) is sent.
TEST(LumoConnection, SslProtocolWithoutServerTlsSendsNoCredentials) {
  test::FakeMySqlServer srv(test::FakeMySqlScript().Send(test::FakeGreeting().Build()));
  TTestConnection c;
  c.SetProviderName("MySQL");
  c.SetServer("127.0.0.1");
  c.SetPort(srv.Port());
  c.SetUsername("lumo");
  c.SetPassword("Secret-Tls-Pw");
  c.SpecificOptions().Add("MySQL.Protocol=mpSSL");
  try {
    c.Connect();
    ADD_FAILURE() << "connected without TLS";
  } catch (const ELumoError& e) {
    EXPECT_EQ(e.ErrorCode(), 2026) << e.what();
    EXPECT_EQ(std::string(e.what()).find("Secret-Tls-Pw"), std::string::npos) << e.what();
  }
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Received().empty());
}

TEST(LumoUpdateSQL, TakesFrontComponentsOnly) {
  TLumoUpdateSQL update;
  TLumoQuery query;
  TCustomDADataSet plain;
  TLumoSQL sql;
  TCustomDASQL plainSql;
  EXPECT_TRUE(update.IsDataSetClass(query));
  EXPECT_FALSE(update.IsDataSetClass(plain));
  EXPECT_TRUE(update.IsSQLClass(sql));
  EXPECT_FALSE(update.IsSQLClass(plainSql));
}

TEST(ELumoError, KeepsTheInnerErrorItsCodeAndKind) {
  TTestConnection c;
  try {
    WithLumoErrors(&c, [] { throw EMyError(1062, "Duplicate entry '1' for key 'PRIMARY'"); });
    ADD_FAILURE() << "nothing raised";
  } catch (const ELumoError& e) {
    EXPECT_STREQ(e.what(), "Duplicate entry '1' for key 'PRIMARY'");
    EXPECT_EQ(e.ErrorCode(), 1062);
    EXPECT_EQ(e.Component(), &c);
    EXPECT_TRUE(e.IsKeyViolation());
    EXPECT_FALSE(e.IsFatalError());
    ASSERT_NE(dynamic_cast<const EMyError*>(e.InnerError()), nullptr);
  }
  try {
    WithLumoErrors(&c, [] { throw EMyError(2013, "Lost connection to server during query"); });
  } catch (const ELumoError& e) {
    EXPECT_TRUE(e.IsFatalError());
    EXPECT_FALSE(e.IsKeyViolation());
  }
  // Other errors pass unchanged.
  EXPECT_THROW(WithLumoErrors(&c, [] { throw Exception("plain"); }), Exception);
  EXPECT_FALSE(ELumoError(nullptr, &c).IsFatalError());
}

TEST(LumoParam, WrappersAndTheProvidersNativeObjects) {
  TTestConnection c;
  c.SetProviderName("MySQL");
  TLumoParams params;
  TLumoParam& blob = static_cast<TLumoParam&>(params.CreateParam(ftBlob, "b", ptInput));
  TLumoParam& wide = static_cast<TLumoParam&>(params.CreateParam(ftWideMemo, "w", ptInput));
  TLumoParam& cursor = static_cast<TLumoParam&>(params.CreateParam(ftCursor, "c", ptOutput));
  TLumoParam& graphic = static_cast<TLumoParam&>(params.CreateParam(ftGraphic, "g", ptInput));
  ASSERT_NE(blob.LumoBlob(), nullptr);
  ASSERT_NE(wide.LumoBlob(), nullptr);
  EXPECT_TRUE(wide.LumoBlob()->IsUnicode());
  ASSERT_NE(cursor.LumoCursor(), nullptr);
  EXPECT_FALSE(cursor.LumoCursor()->CanFetch());
  EXPECT_EQ(cursor.NativeObject(c.Provider()), nullptr);
  EXPECT_EQ(graphic.LumoBlob(), nullptr);
  EXPECT_NE(graphic.AsBlobRef(), nullptr);

  // The native blob is of the provider's class and has the wrapper's bytes;
  // a later write into the wrapper is what the next request hands out.
  blob.SetAsBlob({0, 0xFF, 'a', 0x80});
  auto* native = dynamic_cast<TBlob*>(blob.NativeObject(c.Provider()));
  ASSERT_NE(native, nullptr);
  EXPECT_TRUE(c.Provider().GetParamObjectClass(ftBlob).IsClassOf(*native));
  EXPECT_EQ(native->AsBytes(), (std::vector<std::uint8_t>{0, 0xFF, 'a', 0x80}));
  blob.LumoBlob()->SetAsBytes({1, 2, 3});
  EXPECT_EQ(blob.NativeObject(c.Provider()), native);
  EXPECT_EQ(native->AsBytes(), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(blob.AsBytes(), (Variant::Bytes{1, 2, 3}));

  wide.SetAsWideMemo(u"\u00e4\u20ac");
  auto* wideNative = dynamic_cast<TBlob*>(wide.NativeObject(c.Provider()));
  ASSERT_NE(wideNative, nullptr);
  EXPECT_TRUE(wideNative->IsUnicode());
  EXPECT_EQ(wideNative->AsWideString(), u"\u00e4\u20ac");

  // A blob the provider returns becomes the native object; its content is
  // the wrapper's.
  TSharedRef<TBlob> returned = c.Provider().CreateParamObject(ftBlob);
  returned->SetAsBytes({9, 8});
  blob.LumoBlob()->SetNativeBlob(returned);
  EXPECT_EQ(blob.LumoBlob()->NativeBlob(), returned.Get());
  EXPECT_EQ(blob.AsBytes(), (Variant::Bytes{9, 8}));
}

}  // namespace
}  // namespace lumo
