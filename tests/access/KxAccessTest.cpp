#include <lumokit/access/KxAccess.h>

#include <gtest/gtest.h>

#include <lumokit/data/KxBlob.h>
#include <lumokit/mysql/wire/MyParser.h>
#include "support/FakeProvider.h"

namespace lumo {
namespace {

using test::EFakeError;
using test::FakeCommand;
using test::FakeConnection;
using test::FakeServer;
using Names = std::vector<std::string>;

Names ParamNames(const TParamDescs& params) {
  Names names;
  for (int i = 0; i < params.Count(); ++i) names.push_back(params[i]->Name());
  return names;
}

// The MySQL lexer with back-quoted identifiers.
class MyDialectInfo : public TSQLInfo {
 public:
  using TSQLInfo::TSQLInfo;
  char LeftQuote() const override { return '`'; }
  char RightQuote() const override { return '`'; }
};

class MyDialectCommand : public FakeCommand {
 public:
  TSQLParserClass GetParserClass() const override { return ParserClassOf<TMyParser>(); }
  std::unique_ptr<TSQLInfo> CreateSQLInfo() const override { return std::make_unique<MyDialectInfo>(GetParserClass()); }
};

TEST(KxAccessTest, ParseSQLReplacesMarkersAndKeepsTheRest) {
  struct Case {
    bool MySQL;
    std::string SQL, Expected;
    Names Params;
  };
  const std::vector<Case> cases = {
      {false, "SELECT * FROM t WHERE a = :a AND b = :b", "SELECT * FROM t WHERE a = ? AND b = ?", {"a", "b"}},
      {false, "SELECT :a, :a", "SELECT ?, ?", {"a", "a"}},
      {false, "SELECT x::int, y := 1, ':a', \"q:a\" -- :c\n/* :d */ FROM t",
       "SELECT x::int, y := 1, ':a', \"q:a\" -- :c\n/* :d */ FROM t", {}},
      {false, "SELECT :@p, :\"my param\", :select, :1", "SELECT ?, ?, ?, ?", {"@p", "my param", "select", "1"}},
      {false, "SELECT\t:a\r\n  ,  :b  ", "SELECT\t?\r\n  ,  ?  ", {"a", "b"}},
      {false, "a : b, c:", "a : b, c:", {}},
      {false, "x:::y", "x::?", {"y"}},
      {false, "SELECT :a\x01, :b", "SELECT ?\x01, ?", {"a", "b"}},
      {false, "SELECT '\xC3\xA4', :\xC3\xA4", "SELECT '\xC3\xA4', ?", {"\xC3\xA4"}},
      {true, "SELECT 1 # :a\n, 'it\\'s :x', `:y`, :b -- :c\n", "SELECT 1 # :a\n, 'it\\'s :x', `:y`, ? -- :c\n",
       {"b"}},
      {true, "SET @v:=1, @w = :w", "SET @v:=1, @w = ?", {"w"}},
      {true, "SELECT :`my p`, :@`q`, :\"s\"", "SELECT ?, ?, :\"s\"", {"my p", "@q"}},
  };
  for (const Case& c : cases) {
    FakeCommand plain;
    MyDialectCommand my;
    TKxCommand& cmd = c.MySQL ? static_cast<TKxCommand&>(my) : plain;
    cmd.SetSQL(c.SQL);
    EXPECT_EQ(cmd.SQL(), c.Expected) << c.SQL;
    EXPECT_EQ(cmd.UserSQL(), c.SQL);
    EXPECT_EQ(ParamNames(cmd.Params()), c.Params) << c.SQL;
  }
}

TEST(KxAccessTest, ParseSQLModes) {
  FakeCommand cmd;
  const std::string sql = "SELECT :a, :@b FROM t WHERE c = :a";
  // A rename prefix writes names instead of "?"; without list and prefix
  // nothing is a parameter.
  EXPECT_EQ(cmd.ParseSQL(sql, nullptr, "p_"), "SELECT p_a, p_@b FROM t WHERE c = p_a");
  EXPECT_EQ(cmd.ParseSQL(sql, nullptr), sql);

  // With DisableParamScan the text goes out as it is and no parameter appears.
  ASSERT_TRUE(cmd.SetProp(prDisableParamScan, true));
  cmd.SetSQL(sql);
  EXPECT_EQ(cmd.SQL(), sql);
  EXPECT_EQ(cmd.GetParamCount(), 0);

  // Without ScanParams markers are replaced but the caller's list stays.
  cmd.SetProp(prDisableParamScan, false);
  cmd.SetProp(prScanParams, false);
  cmd.AddParam().SetName("mine");
  cmd.SetSQL("SELECT :x");
  EXPECT_EQ(cmd.SQL(), "SELECT ?");
  EXPECT_EQ(ParamNames(cmd.Params()), Names{"mine"});
  // Switching scanning on re-scans the current text.
  cmd.SetProp(prScanParams, true);
  EXPECT_EQ(ParamNames(cmd.Params()), Names{"x"});
}

// A connection whose connects can be made to fail.
class FlakyConnection : public FakeConnection {
 public:
  using FakeConnection::FakeConnection;
  void Connect(const std::string& s) override {
    ++ConnectAttempts;
    if (FailConnects > 0) {
      --FailConnects;
      throw EFakeError("Can't connect to server", 2003);
    }
    FakeConnection::Connect(s);
  }
  int FailConnects = 0;
  int ConnectAttempts = 0;
};

TEST(KxAccessTest, FailoverProtocol) {
  struct Case {
    const char* Name;
    int FailConnects;
    int GiveUpAt;  // the handler asks to reconnect while attempt < GiveUpAt
    bool Reexecute;
    bool SuccessHandlerFails;
    bool ExpectFailOver;
    int HandlerCalls, ConnectAttempts, ReconnectErrors;
  };
  const std::vector<Case> cases = {
      {"never asked to reconnect", 0, 0, true, false, false, 1, 0, 0},
      {"reconnect and repeat", 0, 99, true, false, true, 1, 1, 0},
      {"reconnect without repeat", 0, 99, false, false, false, 1, 1, 0},
      {"third connect succeeds", 2, 99, true, false, true, 3, 3, 0},
      {"handler gives up", 5, 2, true, false, false, 3, 2, 1},
      {"success handler fails", 0, 2, true, true, false, 3, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    FakeServer server;
    FlakyConnection conn(server);
    conn.Connect("");
    conn.ConnectAttempts = 0;
    conn.FailConnects = c.FailConnects;
    std::vector<int> attempts;
    std::vector<bool> presets;
    int reconnectErrors = 0;
    conn.SetOnError([&](const Exception&, bool& fail, bool& reconnect, bool& reexecute, int attempt,
                        TConnLostCause& cause) {
      attempts.push_back(attempt);
      presets.push_back(reconnect);
      reconnect = attempt < c.GiveUpAt;
      reexecute = c.Reexecute;
      cause = clExecute;
      fail = false;
      bool inner = true;  // a nested error report is ignored while one is handled
      conn.DoError(Exception("nested"), inner);
    });
    conn.SetOnReconnectSuccess([&] {
      if (c.SuccessHandlerFails) throw Exception("no");
    });
    conn.SetOnReconnectError([&] {
      ++reconnectErrors;
      EXPECT_TRUE(conn.Connected());
    });

    bool fail = true;
    bool failedOver = false;
    try {
      conn.DoError(EFakeError("Lost connection to MySQL server during query", 2013), fail);
    } catch (const EFailOver& e) {
      failedOver = true;
      EXPECT_EQ(e.ConnLostCause(), clExecute);
      EXPECT_EQ(e.Message(), "Lost connection to MySQL server during query");
    }
    EXPECT_EQ(failedOver, c.ExpectFailOver);
    EXPECT_FALSE(conn.InProcessError());
    EXPECT_FALSE(fail);
    ASSERT_EQ(static_cast<int>(attempts.size()), c.HandlerCalls);
    for (int i = 0; i < c.HandlerCalls; ++i) {
      EXPECT_EQ(attempts[i], i);
      EXPECT_EQ(presets[i], i > 0);
    }
    EXPECT_EQ(conn.ConnectAttempts, c.ConnectAttempts);
    EXPECT_EQ(reconnectErrors, c.ReconnectErrors);
    // Only the first attempt disconnects the broken session.
    EXPECT_EQ(server.Disconnects, c.ConnectAttempts > 0 ? 1 : 0);
  }
}

TEST(KxAccessTest, PropertyCodes) {
  FakeServer server;
  FakeConnection conn(server);
  FakeCommand cmd;
  test::FakeTransaction tr;
  Variant v;

  // Unknown codes (and codes a base class does not handle) are programming errors.
  EXPECT_THROW(conn.SetProp(3, 1), EAssertionFailed);
  EXPECT_THROW(conn.SetProp(prPassword, "x"), EAssertionFailed);
  EXPECT_THROW(conn.GetProp(prAutoCommit, v), EAssertionFailed);
  EXPECT_THROW(cmd.SetProp(prFetchRows, 5), EAssertionFailed);
  EXPECT_THROW(tr.GetProp(prUsername, v), EAssertionFailed);

  EXPECT_TRUE(conn.SetProp(prDatabase, "ignored"));
  EXPECT_TRUE(conn.SetProp(prHttpUrl, "http://h/tunnel.php"));
  EXPECT_TRUE(conn.SetProp(prProxyPort, 3128));
  EXPECT_TRUE(conn.SetProp(prDefaultSortType, static_cast<int>(stCaseInsensitive)));
  EXPECT_EQ(conn.HttpOptions().Url(), "http://h/tunnel.php");
  EXPECT_EQ(conn.HttpOptions().ProxyOptions().Port(), 3128);
  EXPECT_EQ(conn.DefaultSortType(), stCaseInsensitive);
  conn.SetUsername("joe");
  ASSERT_TRUE(conn.GetProp(prUsername, v));
  EXPECT_EQ(v.AsString(), "joe");
  ASSERT_TRUE(conn.GetProp(prLastInsertId, v));
  EXPECT_EQ(v.AsInt64(), 0);

  EXPECT_TRUE(cmd.SetProp(prCompressBlobMode, static_cast<int>(cbClient)));
  EXPECT_EQ(cmd.CompressBlob(), cbClient);
  ASSERT_TRUE(cmd.GetProp(prCanReadParams, v));
  EXPECT_TRUE(v.AsBoolean());

  EXPECT_TRUE(tr.SetProp(prIsolationLevel, static_cast<int>(ilRepeatableRead)));
  ASSERT_TRUE(tr.GetProp(prIsolationLevel, v));
  EXPECT_EQ(v.AsInt32(), ilRepeatableRead);
}

TEST(KxAccessTest, Transactions) {
  FakeServer server;
  FakeConnection a(server), b(server);
  test::FakeTransaction tr;
  EXPECT_TRUE(tr.AddConnection(&a));
  EXPECT_FALSE(tr.AddConnection(&a));
  EXPECT_FALSE(tr.RemoveConnection(&b));
  EXPECT_THROW(tr.ReleaseSavepoint("s"), ENotSupportedError);
  try {
    tr.CheckActive();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Can't perform operation on inactive transaction");
  }
  a.Connect("");
  tr.StartTransaction();
  try {
    tr.CheckInactive();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Can't perform operation on active transaction");
  }
  test::FakeTransaction taken;
  taken.AssignConnect(&tr);
  EXPECT_TRUE(taken.Active());
  EXPECT_FALSE(taken.NativeTransaction());
  tr.Commit();
  EXPECT_EQ(server.Log(), (Names{"START TRANSACTION", "COMMIT"}));

  // The internal transaction is made on first use and holds its connection.
  EXPECT_EQ(a.GetInternalTransaction().Connections(0), &a);

  TMTSTransaction mts;
  mts.AddConnection(&a);
  mts.AddConnection(&b);
  try {
    mts.StartTransaction();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "One of the connections in the transaction is not active");
  }
  b.Connect("");
  EXPECT_THROW(mts.StartTransaction(), ENotSupportedError);
  // A level without a coordinator flag is refused as such.
  EXPECT_EQ(MTSIsolationFlag(ilRepeatableRead), 0x10000);
  mts.SetProp(prIsolationLevel, static_cast<int>(ilSnapshot));
  try {
    mts.StartTransaction();
    FAIL();
  } catch (const ENotSupportedError& e) {
    EXPECT_STREQ(e.what(), "Transaction isolation level is not supported with MTS");
  }
  EXPECT_FALSE(mts.Active());
  EXPECT_THROW(a.Enlist(mts), ENotSupportedError);
}

TEST(KxAccessTest, PoolHooksAndConnectTime) {
  struct Pool : IKxConnectionPool {
    void PutConnection(std::unique_ptr<TKxConnection> c) override { Returned = std::move(c); }
    std::unique_ptr<TKxConnection> Returned;
  } pool;
  FakeServer server;
  TManualClock clock(1234);
  auto conn = std::make_unique<FakeConnection>(server);
  conn->SetClock(clock);
  conn->Connect("");
  EXPECT_EQ(conn->ConnectionTime(), 1234u);
  EXPECT_THROW(TKxConnection::ReturnToPool(std::move(conn)), EAssertionFailed);  // no pool

  conn = std::make_unique<FakeConnection>(server);
  TComponent owner;
  conn->SetPool(&pool);
  conn->SetComponent(&owner);
  conn->SetOnError([](const Exception&, bool&, bool&, bool&, int, TConnLostCause&) {});
  TKxConnection* raw = conn.get();
  TKxConnection::ReturnToPool(std::move(conn));
  ASSERT_EQ(pool.Returned.get(), raw);
  EXPECT_EQ(raw->Component(), nullptr);
  EXPECT_FALSE(raw->OnError());
}

TEST(KxAccessTest, ParamDescValues) {
  TParamDescs params;
  params.Add(std::make_unique<TParamDesc>());
  TParamDesc& p = *params[0];
  p.SetName("Amount");
  EXPECT_EQ(params.FindParam("AMOUNT"), &p);
  EXPECT_EQ(params.FindParam("other"), nullptr);
  EXPECT_THROW(params.ParamByName("other"), EAssertionFailed);

  EXPECT_TRUE(p.GetNull());
  p.SetValue(42);
  EXPECT_FALSE(p.GetNull());
  p.SetNull(true);
  EXPECT_TRUE(p.GetValue().IsNull());  // a plain value is cleared
  auto object = NewShared<TVariantObject>(Variant("held"));
  p.SetObject(object.Get());
  EXPECT_EQ(object->RefCount(), 2);
  p.SetNull(true);
  EXPECT_EQ(p.GetObject(), object.Get());  // a shared object stays
  p.Clear();
  EXPECT_EQ(p.GetObject(), nullptr);
  EXPECT_EQ(object->RefCount(), 1);

  // With an encryptor the value is encrypted in the form of its data type.
  std::vector<std::uint16_t> forms;
  p.SetEncryptor([&](const void* data, std::uint16_t form, std::int64_t& size) {
    forms.push_back(form);
    std::string plain(static_cast<const char*>(data), static_cast<std::size_t>(size));
    if (plain == "keep") size = 0;
    return Variant("<" + plain + ">");
  });
  p.SetDataType(dtString);
  p.SetValue("abc");
  EXPECT_EQ(p.GetValue().AsString(), "<abc>");
  p.SetValue("keep");
  EXPECT_EQ(p.GetValue().AsString(), "keep");
  p.SetDataType(dtWideString);
  p.SetValue("ab");
  EXPECT_EQ(p.GetValue().AsString(), std::string("<a\0b\0>", 6));
  p.SetValue(Variant::Null());
  EXPECT_TRUE(p.GetNull());
  EXPECT_EQ(forms, (std::vector<std::uint16_t>{dtString, dtString, dtWideString}));
  // A large object gets an encrypted copy; the object itself stays.
  auto memo = NewShared<TBlob>();
  memo->SetAsAnsiString("text");
  p.SetDataType(dtMemo);
  p.SetObject(memo.Get());
  auto* sent = dynamic_cast<TBlob*>(p.GetObject());
  ASSERT_NE(sent, nullptr);
  EXPECT_NE(sent, memo.Get());
  EXPECT_EQ(sent->AsAnsiString(), "<text>");
  EXPECT_EQ(memo->AsAnsiString(), "text");
  p.SetDataType(dtInt32);
  try {
    p.SetValue(1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Data type cannot be encrypted: 4");
  }
}

}  // namespace
}  // namespace lumo
