// The MySQL connection, transaction and name rules: version texts, errors,
// quoting, embedded parameters and the refusals that happen before anything
// is sent; against the test server: connecting with and without
// compression, Unicode, transactions seen from a second connection, every
// isolation level, borrowed sessions and the backslash mode.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include <lumokit/core/StringList.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/ConnectionMode.h"
#include "support/FakeMySqlServer.h"
#include "mysql/MyTestConnection.h"
#include "support/TestServer.h"
#include "support/Wait.h"

namespace lumo {
namespace {

using test::TestServer;

TEST(MyConnection, ParsesServerVersions) {
  const struct {
    const char* text;
    int major, minor, release;
  } cases[] = {
      {"5.5.30-log", 5, 5, 30},
      {"5.5.5-10.11.6-MariaDB-0+deb12u1", 10, 11, 6},
      {"8.0.36", 8, 0, 36},
      {"4.0.12-nt", 4, 0, 12},
      {"5.5.5-", 5, 5, 5},
      {"10", 10, 0, 0},
      {"", 0, 0, 0},
      {"99999999999.1.2", 2147483647, 1, 2},
  };
  for (const auto& c : cases) {
    int major = -1, minor = -1, release = -1;
    TMySQLConnection::ParseServerVersion(c.text, major, minor, release);
    EXPECT_EQ(major, c.major) << c.text;
    EXPECT_EQ(minor, c.minor) << c.text;
    EXPECT_EQ(release, c.release) << c.text;
  }
}

TEST(MyConnection, ErrorsKnowLinesFatalCodesAndKeys) {
  EXPECT_EQ(EMyError(1064, "You have an error in your SQL syntax; check the manual near 'FROM' at line 3")
                .LineNumber(),
            3);
  EXPECT_EQ(EMyError(1064, "syntax error near '12' at line 117\n").LineNumber(), 117);
  EXPECT_EQ(EMyError(1064, "no number here").LineNumber(), 0);
  EXPECT_EQ(EMyError(1064, "line 99999999999999").LineNumber(), 0);
  EXPECT_EQ(EMyError(1146, "Table 't2' doesn't exist").LineNumber(), 0);
  for (int code : {1053, 1927, 2003, 2006, 2013, 4031}) EXPECT_TRUE(EMyError(code, "x").IsFatalError()) << code;
  for (int code : {1062, 1064, 2014, 0}) EXPECT_FALSE(EMyError(code, "x").IsFatalError()) << code;
  EXPECT_TRUE(EMyError(1062, "Duplicate entry").IsKeyViolation());
  EXPECT_FALSE(EMyError(1452, "fk").IsKeyViolation());
}

TEST(MyConnection, InfoQuotesAndSplitsNames) {
  const TMySQLInfo& info = MySQLInfo();
  // Only back-quotes quote a name; text in string quotes is quoted again.
  for (const char* quoted : {"`a`", "`a b`", "`a``b`"}) EXPECT_TRUE(info.IsQuoted(quoted)) << quoted;
  for (const char* plain : {"a", "`", "`a\"", "`a`b`", "\"a b\"", "'x'", "'\\''); DROP TABLE v; #'"})
    EXPECT_FALSE(info.IsQuoted(plain)) << plain;
  EXPECT_EQ(info.Quote("a`b"), "`a``b`");
  EXPECT_EQ(info.Quote("\"x\""), "`\"x\"`");
  EXPECT_EQ(info.Quote("'\\''); DROP TABLE v; #'"), "`'\\''); DROP TABLE v; #'`");
  EXPECT_EQ(info.NormalizeName("'\\''); DROP TABLE v; #'"), "`'\\''); DROP TABLE v; #'`");
  EXPECT_EQ(info.UnQuote("`a``b`"), "a`b");
  EXPECT_EQ(info.UnQuote("\"q\"\"r\""), "q\"r");
  EXPECT_EQ(info.UnQuote("plain"), "plain");
  EXPECT_EQ(info.ToStringConst("O'Brien\\"), "'O''Brien\\\\'");

  std::string db, obj;
  info.SplitObjectName("shop.`or.ders`", db, obj);
  EXPECT_EQ(db, "shop");
  EXPECT_EQ(obj, "`or.ders`");

  TStringList list;
  info.NamesToList("  a; `b,c` ,, d  ", list);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[1], "b,c");
  EXPECT_EQ(list[2], "d");
  EXPECT_EQ(info.NamesFromList(list), "a, `b,c`, d");
}

TEST(MyConnection, EmbeddedParametersAreNormalised) {
  TMySQLConnection c;
  TMySQLConnection::CurrentProjectOutputDir() = "/opt/app";
  c.SetProp(prEmbParams, std::string("  --basedir=.\\emb\n--datadir=\\var\\db\n--tmpdir=/tmp/x\n--other=a\\b  "));
  TMySQLConnection::CurrentProjectOutputDir().clear();
  const TStringList& p = c.EmbParams();
  EXPECT_EQ(p.Values("--basedir"), "/opt/app/./emb");
  EXPECT_EQ(p.Values("--datadir"), "/var/db");
  EXPECT_EQ(p.Values("--tmpdir"), "/tmp/x");
  EXPECT_EQ(p.Values("--other"), "a\\b");
  EXPECT_TRUE(TMySQLConnection::IsValidCharsetName("utf8mb4_0900"));
  for (const char* bad : {"", "utf8; DROP", "latin1 ", "gb'k"}) EXPECT_FALSE(TMySQLConnection::IsValidCharsetName(bad));
}

TEST(MyConnection, AssignCopiesWhatASecondConnectionNeeds) {
  TMySQLConnection a;
  a.SetServer("db.example");
  a.SetProp(prPort, 3307);
  a.SetProp(prSSL_CA, std::string("ca.pem"));
  a.SetProp(prSSL_Key, std::string("k.pem"));
  a.SetProp(prSSL_Cert, std::string("c.pem"));
  a.SetProp(prSSL_Cipher, std::string("AES256"));
  a.SetProp(prSSL_CAPath, std::string("/etc/ca.d"));
  a.SetProp(prHttpUrl, std::string("http://h/tunnel.php"));
  a.SetProp(prProxyHostname, std::string("proxy"));
  a.SetProp(prEmbParams, std::string("--datadir=/d"));
  a.SetProp(prCheckBackslashes, true);
  a.SetProp(prUseUnicode, true);
  a.SetProp(prMultiStatements, false);
  TMySQLConnection b;
  b.Assign(a);
  EXPECT_EQ(b.Server(), "db.example");
  EXPECT_EQ(b.Port(), 3307);
  EXPECT_EQ(b.SSL_CA(), "ca.pem");
  EXPECT_EQ(b.SSL_Key(), "k.pem");
  EXPECT_EQ(b.SSL_Cert(), "c.pem");
  EXPECT_EQ(b.SSL_Cipher(), "AES256");
  EXPECT_EQ(b.SSL_CAPath(), "/etc/ca.d");
  EXPECT_EQ(b.HttpOptions().Url(), "http://h/tunnel.php");
  EXPECT_EQ(b.HttpOptions().ProxyOptions().Hostname(), "proxy");
  EXPECT_EQ(b.EmbParams().Values("--datadir"), "/d");
  EXPECT_TRUE(b.CheckBackslashes());
  EXPECT_TRUE(b.UseUnicode());
  EXPECT_FALSE(b.MultiStatements());
}

// Protocols that do not exist yet are refused before anything is sent (the address is unreachable: a connect attempt would fail
// differently).
TEST(MyConnection, RefusesUnavailableModesBeforeSending) {
  const struct {
    int prop;
    int value;
    const char* message;
  } cases[] = {
      {prProtocol, mpHttp, "The HTTP protocol is not yet supported"},
      {prProtocol, mpMemory, "Wrong protocol"},
      {prProtocol, 9, "Wrong protocol"},
  };
  for (const auto& c : cases) {
    TMySQLConnection conn;
    conn.SetServer("192.0.2.1");
    conn.SetProp(prConnectionTimeout, 1);
    conn.SetProp(c.prop, c.prop == prProtocol ? Variant(c.value) : Variant(c.value != 0));
    try {
      conn.Connect("");
      ADD_FAILURE() << "connected with " << c.message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_FALSE(conn.Connected());
    EXPECT_EQ(conn.MySQL(), nullptr);
  }
}

// An additional connection only asks its handler, which cannot make it
// reconnect; an ordinary one tries (and asks again after the failed try).
TEST(MyConnection, AdditionalConnectionsNeverFailOver) {
  for (bool additional : {true, false}) {
    TMySQLConnection c;
    c.SetServer("192.0.2.1");
    c.SetProp(prConnectionTimeout, 1);
    c.SetProp(prProtocol, static_cast<int>(mpHttp));  // any connect attempt fails at once
    c.SetAdditional(additional);
    std::vector<int> attempts;
    c.SetOnError([&](const Exception&, bool&, bool& reconnect, bool&, int attempt, TConnLostCause&) {
      attempts.push_back(attempt);
      reconnect = attempts.size() < 2;
    });
    bool fail = true;
    c.DoError(EMyError(2013, "Lost connection"), fail);
    EXPECT_EQ(attempts, additional ? std::vector<int>{0} : std::vector<int>({0, 1})) << additional;
    EXPECT_TRUE(fail);
  }
}

// What is sent after the login depends on the server's version: nothing
// for Unicode on a 4.0 server, the named character set as given otherwise.
TEST(MyConnection, CharsetPolicyFollowsTheServerVersion) {
  const struct {
    const char* version;
    bool unicode;
    const char* charset;
    const char* query;  // nullptr: no query at all
  } cases[] = {{"4.0.30-log", true, "", nullptr},
               {"5.5.5-10.11.6-MariaDB", false, "UTF8", "SET NAMES UTF8"},
               {"5.5.2", true, "", "SET NAMES utf8"},
               {"5.5.3", true, "", "SET NAMES utf8mb4"}};
  for (const auto& k : cases) {
    test::FakeGreeting greeting;
    greeting.ServerVersion = k.version;
    test::FakeMySqlScript script;
    script.Login(greeting).Receive();
    if (k.query) script.Send(test::OkPacket()).Receive();
    test::FakeMySqlServer server(script);
    TMySQLConnection c;
    c.SetServer("127.0.0.1");
    c.SetProp(prPort, server.Port());
    c.SetUsername("u");
    c.SetProp(prUseUnicode, k.unicode);
    c.SetProp(prCharset, std::string(k.charset));
    c.Connect("");
    EXPECT_EQ(c.UseUnicode(), k.unicode && k.query != nullptr) << k.version;
    c.Disconnect();
    ASSERT_TRUE(server.WaitDone()) << k.version;
    std::vector<std::string> queries;
    for (const auto& p : server.Received())
      if (!p.Payload.empty() && p.Payload[0] == '\x03') queries.push_back(p.Payload.substr(1));
    EXPECT_EQ(queries, k.query ? std::vector<std::string>{k.query} : std::vector<std::string>{}) << k.version;
  }
}

TEST(MyTransaction, MisuseIsRefusedBeforeSending) {
  auto expectError = [](TMySQLTransaction& t, const char* message, auto action) {
    try {
      action(t);
      ADD_FAILURE() << "no error, expected " << message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  };
  TMySQLConnection c1, c2;
  TMySQLTransaction t;
  expectError(t, "There are no connections in the transaction", [](TMySQLTransaction& x) { x.StartTransaction(); });
  t.AddConnection(&c1);
  expectError(t, "One of the connections in the transaction is not active",
              [](TMySQLTransaction& x) { x.StartTransaction(); });
  t.AddConnection(&c2);
  expectError(t, "multiple transaction", [](TMySQLTransaction& x) { x.StartTransaction(); });
  t.RemoveConnection(&c2);
  t.SetProp(prIsolationLevel, static_cast<int>(ilSnapshot));
  expectError(t, "Unsupported transaction isolation level", [](TMySQLTransaction& x) { x.StartTransaction(); });
  t.SetProp(prIsolationLevel, static_cast<int>(ilCustom));
  expectError(t, "Unsupported transaction isolation level", [](TMySQLTransaction& x) { x.StartTransaction(); });
  t.SetProp(prTransactionReadOnly, true);
  expectError(t, "Readonly transactions are not supported by the database",
              [](TMySQLTransaction& x) { x.StartTransaction(); });
  expectError(t, "Can't perform operation on inactive transaction", [](TMySQLTransaction& x) { x.Commit(); });
  expectError(t, "Can't perform operation on inactive transaction", [](TMySQLTransaction& x) { x.Savepoint("s"); });
}

// ---- against the test server, through the wire client and the client library --------------

class MyConnectionServer : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(MyConnectionServer);

std::unique_ptr<TMySQLConnection> Connect(bool compress = false, bool unicode = false) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(TestServer().host);
  c->SetProp(prPort, TestServer().port);
  c->SetUsername(TestServer().user);
  c->SetPassword(TestServer().password);
  test::ApplyMode(*c);
  c->SetProp(prCompress, compress);
  c->SetProp(prUseUnicode, unicode);
  c->Connect("");
  return c;
}

using test::Scalar;

TEST_P(MyConnectionServer, ConnectsWithAndWithoutCompression) {
  LUMO_REQUIRE_SERVER();
  for (bool compress : {false, true}) {
    auto c = Connect(compress);
    ASSERT_TRUE(c->Connected());
    EXPECT_GE(c->ServerPrimaryVer(), 5);
    EXPECT_EQ(c->GetServerVersion(), std::to_string(c->ServerPrimaryVer()) + "." +
                                          std::to_string(c->ServerMinorVer()) + "." +
                                          std::to_string(c->ServerReleaseVer()));
    EXPECT_FALSE(c->GetServerVersionFull().empty());
    EXPECT_EQ(Scalar(*c, "SHOW SESSION STATUS LIKE 'Compression'", 1), compress ? "ON" : "OFF");
    EXPECT_TRUE(c->CheckIsValid());
    c->Disconnect();
    EXPECT_FALSE(c->Connected());
    EXPECT_FALSE(c->CheckIsValid());
  }
}

TEST_P(MyConnectionServer, UnicodeUsesUtf8mb4AndKeepsEmoji) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect(false, true);
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "utf8mb4");
  EXPECT_EQ(Scalar(*c, "SELECT HEX('\xF0\x9F\x98\x80')"), "F09F9880");
  c->ExecStatement("CREATE TEMPORARY TABLE myconn_emoji (s VARCHAR(10) CHARACTER SET utf8mb4)");
  c->ExecStatement("INSERT INTO myconn_emoji VALUES ('a\xF0\x9F\x98\x80')");
  EXPECT_EQ(Scalar(*c, "SELECT CHAR_LENGTH(s) FROM myconn_emoji"), "2");
  EXPECT_EQ(Scalar(*c, "SELECT s FROM myconn_emoji"), "a\xF0\x9F\x98\x80");

  // Switching Unicode off and a named character set on acts at once.
  c->SetProp(prUseUnicode, false);
  c->SetProp(prCharset, std::string("latin1"));
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "latin1");
  try {
    c->SetProp(prCharset, std::string("latin1; SET @x = 1"));
    ADD_FAILURE() << "an invalid character-set name was accepted";
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(), "Invalid character set name: latin1; SET @x = 1");
  }
  EXPECT_EQ(Scalar(*c, "SELECT @x"), std::nullopt);
}

TEST_P(MyConnectionServer, ErrorsCarryCodeLineAndComponent) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect();
  try {
    c->ExecStatement("SELECT 1,\n2,\n3 FROM");
    ADD_FAILURE() << "no syntax error";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1064);
    EXPECT_EQ(e.LineNumber(), 3);
  }
  // A handler that clears Fail turns the error into the silent abort.
  c->SetOnError([](const Exception&, bool& fail, bool&, bool&, int, TConnLostCause&) { fail = false; });
  EXPECT_THROW(c->ExecStatement("SELECT * FROM myconn_no_such_table"), EAbort);

  TMySQLConnection bad;
  bad.SetServer(TestServer().host);
  bad.SetProp(prPort, TestServer().port);
  test::ApplyMode(bad);
  bad.SetUsername("myconn_nobody");
  bad.SetPassword("wrong");
  try {
    bad.Connect("");
    ADD_FAILURE() << "connected with a wrong password";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1045);
  }
  EXPECT_FALSE(bad.Connected());
  EXPECT_EQ(bad.MySQL(), nullptr);
}

TEST_P(MyConnectionServer, TransactionsAndSavepointsSeenFromASecondConnection) {
  LUMO_REQUIRE_SERVER();
  auto a = Connect();
  auto b = Connect();
  a->ExecStatement("DROP TABLE IF EXISTS myconn_tx");
  a->ExecStatement("CREATE TABLE myconn_tx (id INT PRIMARY KEY) ENGINE=InnoDB");
  TKxTransaction& t = a->GetInternalTransaction();
  t.StartTransaction();
  a->ExecStatement("INSERT INTO myconn_tx VALUES (1)");
  t.Savepoint("first point");
  a->ExecStatement("INSERT INTO myconn_tx VALUES (2)");
  t.Savepoint("p2");
  a->ExecStatement("INSERT INTO myconn_tx VALUES (3)");
  t.Savepoint("'p`3'");  // any text is one savepoint name
  t.RollbackToSavepoint("'p`3'");
  t.ReleaseSavepoint("'p`3'");
  t.RollbackToSavepoint("first point");
  t.ReleaseSavepoint("first point");
  EXPECT_EQ(Scalar(*b, "SELECT COUNT(*) FROM myconn_tx"), "0");
  t.Commit();
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(Scalar(*b, "SELECT GROUP_CONCAT(id) FROM myconn_tx"), "1");

  t.StartTransaction();
  a->ExecStatement("DELETE FROM myconn_tx");
  t.Rollback();
  EXPECT_EQ(Scalar(*b, "SELECT COUNT(*) FROM myconn_tx"), "1");
  a->ExecStatement("DROP TABLE myconn_tx");
}

TEST_P(MyConnectionServer, MultiStatementsOnByDefaultAndCanBeTurnedOff) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect();
  Variant v;
  ASSERT_TRUE(c->GetProp(prMultiStatements, v));
  EXPECT_TRUE(v.AsBoolean());
  c->ExecStatement("SET @myconn_m = 1; SET @myconn_m = @myconn_m + 1");
  EXPECT_EQ(Scalar(*c, "SELECT @myconn_m"), "2");

  TMySQLConnection single;
  single.Assign(*c);
  single.SetProp(prMultiStatements, false);
  single.Connect("");
  try {
    single.ExecStatement("SET @myconn_m = 1; SET @myconn_m = 5");
    ADD_FAILURE() << "a stacked statement ran";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1064);
  }
  EXPECT_EQ(Scalar(single, "SELECT @myconn_m"), std::nullopt);
  // The transaction sends its two statements one by one.
  TKxTransaction& t = single.GetInternalTransaction();
  t.SetProp(prIsolationLevel, static_cast<int>(ilReadCommitted));
  t.StartTransaction();
  EXPECT_EQ(Scalar(single, "SELECT @@in_transaction"), "1");
  t.Commit();
}

// The server's transaction table is refreshed only after 100 ms without a
// reader: two tests polling it at once keep each other's view stale, so this
// one runs alone.
class MyConnectionServerSerial : public test::ModeTest {};
LUMO_INSTANTIATE_MODES(MyConnectionServerSerial);

TEST_P(MyConnectionServerSerial, EveryIsolationLevelReachesTheServer) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect();
  c->ExecStatement("CREATE TEMPORARY TABLE myconn_iso (id INT) ENGINE=InnoDB");
  const struct {
    TKxIsolationLevel level;
    const char* name;
  } cases[] = {{ilReadCommitted, "READ COMMITTED"},
               {ilReadUnCommitted, "READ UNCOMMITTED"},
               {ilRepeatableRead, "REPEATABLE READ"},
               {ilIsolated, "SERIALIZABLE"}};
  TKxTransaction& t = c->GetInternalTransaction();
  for (const auto& k : cases) {
    t.SetProp(prIsolationLevel, static_cast<int>(k.level));
    t.StartTransaction();
    // The transaction starts in the engine with its first access. The
    // server's transaction table may still show the one before: it is
    // refreshed only when nobody read it for 100 ms, hence the slow polling.
    Scalar(*c, "SELECT COUNT(*) FROM myconn_iso");
    std::optional<std::string> level;
    test::WaitUntil(
        [&] {
          level = Scalar(*c, "SELECT trx_isolation_level FROM information_schema.INNODB_TRX "
                             "WHERE trx_mysql_thread_id = CONNECTION_ID()");
          return level == k.name;
        },
        test::kPatienceMs, 150);
    EXPECT_EQ(level, std::string(k.name));
    t.Commit();
  }
}

TEST_P(MyConnectionServer, BorrowedSessionFollowsItsOwner) {
  LUMO_REQUIRE_SERVER();
  auto owner = Connect();
  owner->ExecStatement("SET @myconn_mark = 7");
  {
    TMySQLConnection borrower;
    borrower.AssignConnect(owner.get());
    EXPECT_TRUE(borrower.Connected());
    EXPECT_FALSE(borrower.NativeConnection());
    EXPECT_EQ(Scalar(borrower, "SELECT @myconn_mark"), "7");
    EXPECT_EQ(borrower.ServerPrimaryVer(), owner->ServerPrimaryVer());
    borrower.Disconnect();
    EXPECT_FALSE(borrower.Connected());
  }
  EXPECT_EQ(Scalar(*owner, "SELECT @myconn_mark"), "7");

  TMySQLConnection borrower;
  borrower.AssignConnect(owner.get());
  owner->Disconnect();
  EXPECT_FALSE(borrower.Connected());
  EXPECT_EQ(borrower.MySQL(), nullptr);
  try {
    borrower.ExecStatement("SELECT 1");
    ADD_FAILURE() << "a borrowed session outlived its owner";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.Message(), "Not connected");
  }
}

TEST_P(MyConnectionServer, BackslashModeFollowsTheServer) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect();
  EXPECT_TRUE(c->NeedBackslashes());
  c->ExecStatement("SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')");
  EXPECT_FALSE(c->NeedBackslashes());
  c->SetProp(prCheckBackslashes, true);
  Variant v;
  ASSERT_TRUE(c->GetProp(prNeedBackslashes, v));
  EXPECT_FALSE(v.AsBoolean());
  c->ExecStatement("SET SESSION sql_mode = ''");
  EXPECT_TRUE(c->NeedBackslashes());

  // Literals of the connection's SQL info follow its mode and stay closed.
  const TSQLInfo& info = c->GetSQLInfo();
  const std::string tricky = "a\\'; DROP TABLE x; -- \\";
  for (const char* mode : {"NO_BACKSLASH_ESCAPES", ""}) {
    c->ExecStatement(std::string("SET SESSION sql_mode = '") + mode + "'");
    EXPECT_EQ(Scalar(*c, "SELECT " + info.ToStringConst(tricky)), tricky) << mode;
  }

  // A connection that checks the mode learns it at connect time.
  TMySQLConnection d;
  d.Assign(*c);
  d.Connect("");
  EXPECT_TRUE(d.CheckBackslashes());
  EXPECT_TRUE(d.NeedBackslashes());
}

TEST_P(MyConnectionServer, LastInsertIdAndDatabase) {
  LUMO_REQUIRE_SERVER();
  auto c = Connect();
  c->ExecStatement("CREATE TEMPORARY TABLE myconn_ai (id INT AUTO_INCREMENT PRIMARY KEY, v INT)");
  c->ExecStatement("INSERT INTO myconn_ai (id, v) VALUES (41, 0)");
  c->ExecStatement("INSERT INTO myconn_ai (v) VALUES (1)");
  Variant id;
  ASSERT_TRUE(c->GetProp(prLastInsertId, id));
  EXPECT_EQ(id.AsInt64(), 42);
  c->SetProp(prDatabase, TestServer().database);
  EXPECT_EQ(Scalar(*c, "SELECT DATABASE()"), TestServer().database);
}

// Old passwords over plain TCP through the wire client: refused unless the
// connection allows them.
TEST(MyConnectionOldPasswords, SecureAuthDecides) {
  LUMO_REQUIRE_SERVER();
  TMySQLConnection c;
  c.SetServer(TestServer().host);
  c.SetProp(prPort, TestServer().port);
  c.SetUsername(TestServer().oldUser);
  c.SetPassword(TestServer().oldPassword);
  Variant v;
  ASSERT_TRUE(c.GetProp(prSecureAuth, v));
  EXPECT_TRUE(v.IsNull());
  for (const Variant& setting : {Variant::Null(), Variant(true)}) {
    c.SetProp(prSecureAuth, setting);
    try {
      c.Connect("");
      ADD_FAILURE() << "an old password went over plain TCP";
    } catch (const EMyError& e) {
      EXPECT_EQ(e.ErrorCode(), 2049);
    }
  }
  c.SetProp(prSecureAuth, false);
  TMySQLConnection copy;
  copy.Assign(c);
  copy.Connect("");
  EXPECT_EQ(Scalar(copy, "SELECT CURRENT_USER()")->rfind(TestServer().oldUser + "@", 0), 0u);
}

}  // namespace
}  // namespace lumo
