// The connection component on the fake provider: use counting and
// DisconnectedMode, the connect and disconnect protocol with its client
// notifications, the login prompt, stored Connected, pooled connections and
// the ad-hoc statements.
#include <gtest/gtest.h>

#include <lumokit/components/DAConnectDialog.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo::test {

FakeServer*& CurrentFakeServer() {
  static FakeServer* server = nullptr;
  return server;
}

namespace {

TEST(DAConnectionUse, ExplicitAndImplicitConnectsLeaveOneUse) {
  FakeServer server;
  FakeDAConnection c(server);

  c.InternalConnect();  // implicit connect
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.ConnectCount(), 1);
  c.InternalConnect();
  EXPECT_EQ(c.ConnectCount(), 2);
  c.InternalDisconnect();
  c.InternalDisconnect();
  c.InternalDisconnect();  // never below 0
  EXPECT_EQ(c.ConnectCount(), 0);
  EXPECT_TRUE(c.Connected());  // not in DisconnectedMode

  c.Disconnect();
  c.Connect();
  c.Connect();  // already connected: no further use
  EXPECT_EQ(c.ConnectCount(), 1);
  EXPECT_EQ(server.Connects, 2);

  // A use taken before a disconnect is not given back after a reconnect.
  std::optional<TDAConnectionUse> stale(std::in_place, c);
  EXPECT_EQ(c.ConnectCount(), 2);
  c.Disconnect();
  c.Connect();
  stale.reset();
  EXPECT_EQ(c.ConnectCount(), 1);
}

TEST(DAConnectionUse, DisconnectedModeClosesAfterTheLastUseEvenOnErrors) {
  FakeServer server;
  server.OnError("bad", "You have an error in your SQL syntax", 1064);
  FakeDAConnection c(server);
  c.Options().SetDisconnectedMode(true);

  c.ExecSQL("UPDATE t SET a = 1");
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(server.Connects, 1);
  EXPECT_EQ(server.Disconnects, 1);

  EXPECT_THROW(c.ExecSQL("bad"), EFakeError);
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.ConnectCount(), 0);
  EXPECT_EQ(server.Disconnects, 2);

  {
    TDAConnectionUse outer(c);
    c.ExecSQL("UPDATE t SET a = 2");  // reuses the open connection
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(server.Connects, 3);
  }
  EXPECT_FALSE(c.Connected());

  // An application that connects itself keeps its connection.
  c.Connect();
  c.ExecSQL("UPDATE t SET a = 3");
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.ConnectCount(), 1);
}

TEST(DAConnectionUse, FailedConnectLeavesNoUse) {
  FakeServer server;
  server.OnConnect = [] { throw EFakeError("Can't connect to MySQL server", 2003); };
  FakeDAConnection c(server);
  EXPECT_THROW(c.InternalConnect(), EFakeError);
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.ConnectCount(), 0);
  EXPECT_THROW(c.Connect(), EFakeError);
  EXPECT_EQ(c.ConnectCount(), 0);
}

TEST(DAConnection, ConnectAndDisconnectTellClientsAndFireEventsOnce) {
  FakeServer server;
  FakeDAConnection c(server);
  RecordingClient client(c);
  std::vector<std::string> events;
  c.BeforeConnect = [&](TCustomConnection&) { events.push_back("before connect"); };
  c.AfterConnect = [&](TCustomConnection&) { events.push_back("after connect"); };
  c.BeforeDisconnect = [&](TCustomConnection&) { events.push_back("before disconnect"); };
  c.AfterDisconnect = [&](TCustomConnection&) { events.push_back("after disconnect"); };

  c.Connect();
  c.Disconnect();
  c.Disconnect();
  EXPECT_EQ(events, (std::vector<std::string>{"before connect", "after connect", "before disconnect",
                                              "after disconnect"}));
  EXPECT_EQ(client.Events, (std::vector<std::string>{"iconnection", "connect", "disconnect"}));
}

TEST(DAConnection, FatalErrorOfAClosingClientIsSwallowedAndRepeatedOnce) {
  FakeServer server;
  FakeDAConnection c(server);
  RecordingClient always(c, "always");
  always.FatalOnDisconnect = 1000;
  RecordingClient once(c, "once");
  once.FatalOnDisconnect = 1;
  RecordingClient fine(c, "fine");

  c.Connect();
  c.Disconnect();  // terminates although a client never stops failing
  EXPECT_FALSE(c.Connected());
  const auto told = [](const RecordingClient& r) { return std::count(r.Events.begin(), r.Events.end(), "disconnect"); };
  EXPECT_EQ(told(always), 2);
  EXPECT_EQ(told(once), 2);
  EXPECT_EQ(told(fine), 1);  // told although a client before it failed
}

TEST(DAConnection, NonFatalErrorOfAClosingClientStopsTheDisconnect) {
  FakeServer server;
  FakeDAConnection c(server);
  c.Connect();
  TComponent plain;
  c.RegisterClient(&plain, [](bool connecting) {
    if (!connecting) throw EDAError("cannot close");
  });
  EXPECT_THROW(c.Disconnect(), EDAError);
  EXPECT_TRUE(c.Connected());
  c.UnRegisterClient(&plain);
}

TEST(DAConnection, LoginPromptWithoutAFormAbortsAndOnLoginSuppliesTheLogin) {
  FakeServer server;
  FakeDAConnection c(server);
  TCustomConnectDialog dialog;
  dialog.SetStoreLogInfo(false);
  c.SetConnectDialog(&dialog);
  c.SetLoginPrompt(true);
  EXPECT_THROW(c.Connect(), EAbort);  // no login form installed
  EXPECT_EQ(server.Connects, 0);

  c.OnLogin = [](TCustomConnection&, TStrings& params) {
    params.SetValues("USER NAME", "scott");
    params.SetValues("PASSWORD", "tiger");
  };
  c.Connect();
  EXPECT_EQ(c.Fake()->Username(), "scott");
  EXPECT_EQ(c.Fake()->Password(), "tiger");

  // After an implicit connect's use ends, a reconnect does not prompt.
  int prompts = 0;
  c.OnLogin = [&](TCustomConnection&, TStrings&) { ++prompts; };
  c.Disconnect();
  c.Options().SetDisconnectedMode(true);
  c.ExecSQL("SELECT 1");
  c.ExecSQL("SELECT 2");
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(server.Connects, 3);
}

TEST(DAConnection, StoredConnectedIsAppliedWhenLoaded) {
  FakeServer server;
  FakeDAConnection c(server);
  c.BeginLoading();
  c.SetConnected(true);
  EXPECT_FALSE(c.Connected());
  c.EndReading();
  c.Loaded();
  EXPECT_TRUE(c.Connected());

  FakeDAConnection kept(server);
  kept.Options().SetKeepDesignConnected(false);
  kept.BeginLoading();
  kept.SetConnected(true);
  kept.EndReading();
  kept.Loaded();
  EXPECT_FALSE(kept.Connected());
}

// Hands out fake connections and takes them back.
class FakePool : public IDAConnectionPoolManager, public IKxConnectionPool {
 public:
  explicit FakePool(FakeServer& server) : FServer(server) {}
  std::unique_ptr<TKxConnection> GetConnection(TCustomDAConnection&, const TDAPoolParameters& p) override {
    Requests.push_back(p);
    if (!Idle.empty()) {
      auto c = std::move(Idle.back());
      Idle.pop_back();
      return c;
    }
    auto c = std::make_unique<FakeConnection>(FServer);
    c->SetPool(this);
    return c;
  }
  void PutConnection(std::unique_ptr<TKxConnection> connection) override { Idle.push_back(std::move(connection)); }

  std::vector<TDAPoolParameters> Requests;
  std::vector<std::unique_ptr<TKxConnection>> Idle;

 private:
  FakeServer& FServer;
};

TEST(DAConnection, PooledConnectionsGoBackToThePoolUnlessBroken) {
  FakeServer server;
  FakePool pool(server);
  FakeDAConnection c(server);
  c.SetPooling(true);
  EXPECT_THROW(c.Connect(), EDAError);  // no pool manager anywhere
  c.SetPoolManager(&pool);
  c.SetUsername("u");
  c.PoolingOptions().SetMaxPoolSize(5);
  c.Connect();
  ASSERT_EQ(pool.Requests.size(), 1u);
  EXPECT_EQ(pool.Requests[0].Username, "u");
  EXPECT_EQ(pool.Requests[0].MaxPoolSize, 5);
  c.Disconnect();
  EXPECT_EQ(pool.Idle.size(), 1u);
  EXPECT_EQ(server.Disconnects, 0);  // still open in the pool

  c.Connect();  // the idle one again
  EXPECT_EQ(server.Connects, 1);
  c.RemoveFromPool();
  c.Disconnect();
  EXPECT_TRUE(pool.Idle.empty());
  EXPECT_EQ(server.Disconnects, 1);

  c.PoolingOptions().SetMinPoolSize(10);  // above MaxPoolSize
  c.SetPooling(false);
  c.SetPooling(true);
  EXPECT_THROW(c.Connect(), EDAError);
}

TEST(DAConnectionExec, ParametersTakeValuesByPositionAndByName) {
  FakeServer server;
  FakeDAConnection c(server);
  c.ExecSQL("UPDATE t SET a = :a, b = :b WHERE c = :c",
            {Variant(std::uint32_t(4000000000u)), Variant(std::int16_t(7)), Variant("x")});
  ASSERT_EQ(server.Statements().size(), 1u);
  const FakeStatement& s = server.Statements()[0];
  EXPECT_EQ(s.SQL, "UPDATE t SET a = ?, b = ? WHERE c = ?");
  ASSERT_EQ(s.ParamValues.size(), 3u);
  EXPECT_EQ(s.ParamValues[0].AsInt64(), 4000000000LL);  // a long word is not cut to 32 bits
  EXPECT_EQ(s.ParamValues[1].AsInt32(), 7);
  EXPECT_EQ(c.ParamByName("B").DataType(), ftInteger);
  EXPECT_EQ(c.ParamByName("c").ParamType(), ptInputOutput);

  c.ExecSQLEx("DELETE FROM t WHERE c = :c AND d = :d", {Variant("d"), Variant(2), Variant("C"), Variant("y")});
  EXPECT_EQ(server.Statements().back().ParamValues[0].AsString(), "y");
  EXPECT_EQ(server.Statements().back().ParamValues[1].AsInt32(), 2);

  // A malformed pair list fails before anything is sent.
  server.ClearLog();
  c.Disconnect();
  EXPECT_THROW(c.ExecSQLEx("DELETE FROM t WHERE c = :c", {Variant("c"), Variant(1), Variant("d")}), EDAError);
  EXPECT_THROW(c.ExecSQLEx("DELETE FROM t WHERE c = :c", {Variant(1), Variant(1)}), EDAError);
  EXPECT_EQ(server.Connects, 1);
  EXPECT_TRUE(server.Log().empty());
  EXPECT_THROW(c.ExecSQLEx("DELETE FROM t WHERE c = :c", {Variant("nope"), Variant(1)}), EDatabaseError);
  c.ExecSQLEx("DELETE FROM t", {Variant::Null()});
  EXPECT_EQ(server.Log(), std::vector<std::string>{"DELETE FROM t"});
}

}  // namespace
}  // namespace lumo::test

namespace lumo::test {
namespace {

// Answers the tables kind with fixed rows and remembers the restrictions.
class FakeMetaData : public TKxMetaData {
 public:
  static inline std::vector<std::vector<std::string>> Rows;
  static inline std::string Restrictions;

 protected:
  std::unique_ptr<TKxRecordSet> CreateRecordSet() override { return std::make_unique<FakeRecordSet>(); }
  TData& GetTables(TStrings& restrictions) override {
    Restrictions = restrictions.CommaText();
    CreateTablesFields();
    OpenResult();
    for (const auto& row : Rows) {
      FMemDataHelper->InitRecord();
      for (std::size_t i = 0; i < row.size(); ++i) FMemDataHelper->SetFieldValue(static_cast<int>(i) + 1, row[i]);
      FMemDataHelper->AppendRecord();
    }
    return *FMemData;
  }
};

class MetaConnection : public FakeDAConnection {
 public:
  using FakeDAConnection::FakeDAConnection;
  TClassRef<TKxMetaData> GetIMetaDataClass() override { return ClassOf<TKxMetaData, FakeMetaData>(); }
  std::string DefaultTableSchema() override { return "shop"; }
};

TEST(DAConnectionNames, TableNamesArePrefixedOutsideTheDefaultSchema) {
  FakeServer server;
  MetaConnection c(server);
  c.Options().SetDisconnectedMode(true);
  FakeMetaData::Rows = {{"def", "shop", "orders", "TABLE"}, {"def", "other", "my table", "VIEW"},
                        {"def", "SHOP", "t2", "TABLE"}, {"def", "shop", "\"q\"", "TABLE"}};
  TStringList names;
  c.GetTableNames(names);
  // A name holding quotes is one name, quoted again (not table q).
  EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"orders", "other.\"my table\"", "t2", "\"\"\"q\"\"\""}));
  EXPECT_EQ(FakeMetaData::Restrictions, "SCOPE=LOCAL");
  EXPECT_FALSE(c.Connected());  // the use ended with the read
  c.GetTableNames(names, true, true);
  EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"def.shop.orders", "def.other.\"my table\"", "def.SHOP.t2",
                                                        "def.shop.\"\"\"q\"\"\""}));
  EXPECT_EQ(FakeMetaData::Restrictions, "TABLE_TYPE=TABLE");
}

}  // namespace
}  // namespace lumo::test

namespace lumo::test {
namespace {

class DesignedConnection : public FakeDAConnection {
 public:
  using FakeDAConnection::FakeDAConnection;
  void Design() { IncludeState(csDesigning); }
};

TEST(DAConnection, DialogLinksSurviveAPromptAndDesignTimeNeedsLoginData) {
  FakeServer server;
  DesignedConnection c(server);
  int prompts = 0;
  {
    TCustomConnectDialog dialog;
    dialog.SetStoreLogInfo(false);
    c.SetConnectDialog(&dialog);
    c.SetLoginPrompt(true);
    SetShowConnectFormProc([&](TCustomConnectDialog&) { return ++prompts > 0; });
    c.Connect();  // the dialog is given back its (empty) connection afterwards
    EXPECT_EQ(dialog.Connection(), nullptr);
  }
  EXPECT_EQ(c.ConnectDialog(), nullptr);  // told that the dialog went away
  c.Disconnect();

  TCustomConnectDialog quiet;  // nothing is remembered
  quiet.SetStoreLogInfo(false);
  c.SetConnectDialog(&quiet);
  c.Design();
  c.SetLoginPrompt(false);
  c.Connect();  // at design time a connection without login data asks
  EXPECT_EQ(prompts, 2);
  c.Disconnect();
  c.SetUsername("u");
  c.Connect();  // with a user name it does not, even at design time
  EXPECT_EQ(prompts, 2);
  SetShowConnectFormProc(nullptr);
}

}  // namespace
}  // namespace lumo::test

namespace lumo::test {
namespace {

TEST(DAConnection, AssignConnectSharesTheSessionOfAnother) {
  FakeServer server;
  FakeDAConnection a(server), b(server);
  a.SetUsername("owner");
  a.Connect();
  b.AssignConnect(&a);
  EXPECT_TRUE(b.Connected());
  EXPECT_EQ(b.ConnectCount(), 1);
  EXPECT_EQ(b.Username(), "owner");
  b.ExecSQL("UPDATE t SET a = 1");
  EXPECT_EQ(server.Connects, 1);
  b.Disconnect();  // a borrower lets go without closing the session
  EXPECT_TRUE(a.Connected());
  a.ExecSQL("UPDATE t SET a = 2");
  EXPECT_EQ(server.Disconnects, 0);

  b.SetPooling(true);
  EXPECT_THROW(b.AssignConnect(&a), EDAError);  // "Operation is not allowed when Pooling is True"
}

}  // namespace
}  // namespace lumo::test
