// The session against the private test server: native and old-password
// logins, access denied, database selection, ping and statistics, large
// and compressed queries, multi-statement batches and LOAD DATA LOCAL
// INFILE.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include <lumokit/mysql/wire/MySqlSession.h>
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;

std::unique_ptr<TMySqlSession> Open(const std::string& user, const std::string& password, const std::string& db = "",
                                    std::uint32_t flags = 0, std::optional<bool> secureAuth = std::nullopt) {
  auto s = std::make_unique<TMySqlSession>();
  s->connectTimeout = 10;
  s->commandTimeout = 30;
  s->AuthSettings().SecureAuth = secureAuth;
  s->Connect(TestServer().host, user, password, db, TestServer().port, "", flags);
  return s;
}

std::unique_ptr<TMySqlSession> OpenRoot(const std::string& db = "", std::uint32_t flags = 0) {
  return Open(TestServer().user, TestServer().password, db, flags);
}

void Query(TMySqlSession& s, const std::string& sql) {
  s.SimpleCommand(TServerCommand::scQuery, sql.data(), sql.size(), true);
  s.ReadQueryResult();
}

// Runs a statement and skips any rows it returns.
void Exec(TMySqlSession& s, const std::string& sql) {
  Query(s, sql);
  if (s.fieldCount) s.FreeQuery();
}

// The first column of the next row of the pending result.
std::string NextValue(TMySqlSession& s) {
  s.Net().Receive();
  std::int64_t len = s.Net().ReadFieldLength();
  return len == NullLength ? "<NULL>" : s.Net().ReadString(static_cast<std::size_t>(len));
}

// The first column of the first row of a one-row query.
std::string Scalar(TMySqlSession& s, const std::string& sql) {
  Query(s, sql);
  EXPECT_GE(s.fieldCount, 1);
  std::string v = NextValue(s);
  s.FreeQuery();
  return v;
}

int ErrorOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EMySqlException& e) {
    if (message) *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

TEST(MySqlSessionServer, NativePasswordLoginReadsTheDatabase) {
  LUMO_REQUIRE_SERVER();
  auto s = Open(TestServer().nativeUser, TestServer().nativePassword, TestServer().database);
  EXPECT_FALSE(s->serverVersion.empty());
  EXPECT_GT(s->threadId, 0);
  EXPECT_TRUE(s->protocol41());
  EXPECT_EQ(s->database, TestServer().database);
  EXPECT_EQ(Scalar(*s, "SELECT CURRENT_USER()").rfind(TestServer().nativeUser + "@", 0), 0u);
  Query(*s, "SELECT name, value FROM settings WHERE name = 'programm_version'");
  EXPECT_EQ(s->fieldCount, 2);
  EXPECT_EQ(s->fields.size(), 2u);
  EXPECT_EQ(NextValue(*s), "programm_version");
  s->FreeQuery();
  EXPECT_EQ(s->status, msReady);
  s->Ping();
  s->Close();
}

TEST(MySqlSessionServer, RootWithoutPasswordAndDatabaseCommands) {
  LUMO_REQUIRE_SERVER();
  auto s = OpenRoot();
  EXPECT_EQ(Scalar(*s, "SELECT DATABASE()"), "<NULL>");
  s->SelectDb(TestServer().database);
  EXPECT_EQ(Scalar(*s, "SELECT DATABASE()"), TestServer().database);
  // The server reports the schema a USE statement selects.
  Exec(*s, "USE " + TestServer().scratchDatabase);
  EXPECT_EQ(s->database, TestServer().scratchDatabase);
  EXPECT_EQ(Scalar(*s, "SELECT DATABASE()"), TestServer().scratchDatabase);
  s->SelectDb(TestServer().database);
  EXPECT_EQ(s->database, TestServer().database);
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { s->SelectDb("lumo_no_such_db"); }, &msg), 1049);
  EXPECT_EQ(msg.rfind("\r\n#42000Unknown database", 0), 0u) << msg;
  // A server error leaves the session usable.
  s->Ping();
  EXPECT_EQ(s->Statistics().rfind("Uptime: ", 0), 0u);
  Query(*s, "SET @lumo_a = 1");
  EXPECT_EQ(s->fieldCount, 0);
  // The status flags of OK packets tell how literals are read.
  EXPECT_FALSE(s->NoBackslashEscapes());
  Query(*s, "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'");
  EXPECT_TRUE(s->NoBackslashEscapes());
  s->Ping();
  EXPECT_TRUE(s->NoBackslashEscapes());
  Query(*s, "SET SESSION sql_mode = DEFAULT");
  EXPECT_FALSE(s->NoBackslashEscapes());
  EXPECT_EQ(ErrorOf([&] { Query(*s, "SELECT * FROM lumo_no_such_table_xyz"); }, &msg), 1146);
  EXPECT_EQ(msg.rfind("\r\n#42S02Table '", 0), 0u) << msg;
  s->Ping();
}

TEST(MySqlSessionServer, WrongPasswordIsDenied) {
  LUMO_REQUIRE_SERVER();
  const std::string wrong = "Wr0ng-Secret!";
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { Open(TestServer().nativeUser, wrong); }, &msg), er::ACCESS_DENIED_ERROR);
  EXPECT_EQ(msg.rfind("\r\n#28000Access denied for user '" + TestServer().nativeUser + "'@'", 0), 0u) << msg;
  EXPECT_NE(msg.find("(using password: YES)"), std::string::npos) << msg;
  EXPECT_EQ(msg.find(wrong), std::string::npos);
}

TEST(MySqlSessionServer, OldPasswordAccount) {
  LUMO_REQUIRE_SERVER();
  // Over plain TCP only when allowed.
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { Open(TestServer().oldUser, TestServer().oldPassword); }, &msg), cr::SECURE_AUTH);
  auto s = Open(TestServer().oldUser, TestServer().oldPassword, "", 0, false);
  EXPECT_EQ(Scalar(*s, "SELECT CURRENT_USER()").rfind(TestServer().oldUser + "@", 0), 0u);
  EXPECT_EQ(ErrorOf([&] { Open(TestServer().oldUser, "not-the-old-pass", "", 0, false); }, &msg),
            er::ACCESS_DENIED_ERROR);

  // The password member is an input for one login: wiped once used.
  auto m = std::make_unique<TMySqlSession>();
  m->connectTimeout = 10;
  m->password = TestServer().nativePassword;
  m->Connect(TestServer().host, TestServer().nativeUser, "", "", TestServer().port, "", 0);
  EXPECT_TRUE(m->password.empty());
  EXPECT_EQ(Scalar(*m, "SELECT CURRENT_USER()").rfind(TestServer().nativeUser + "@", 0), 0u);
}

TEST(MySqlSessionServer, LargeAndCompressedQueries) {
  LUMO_REQUIRE_SERVER();
  for (bool compress : {false, true}) {
    auto s = OpenRoot("", compress ? std::uint32_t{client::COMPRESS} : 0u);
    EXPECT_EQ(s->Net().Compress(), compress);
    EXPECT_EQ(Scalar(*s, "SELECT LENGTH(REPEAT('x', 100000))"), "100000");
    std::string ab;
    for (int i = 0; i < 50000; ++i) ab += "ab";
    EXPECT_EQ(Scalar(*s, "SELECT REPEAT('ab', 50000)"), ab);
    // A query of more than one full packet.
    std::string big = "SELECT LENGTH('" + std::string(20000000, 'q') + "')";
    EXPECT_EQ(Scalar(*s, big), "20000000") << compress;
    // A reply of more than one full packet.
    Query(*s, "SELECT REPEAT('z', 17000000)");
    s->Net().Receive();
    EXPECT_EQ(s->Net().ReadFieldLength(), 17000000);
    s->FreeQuery();
    s->Ping();
  }
}

TEST(MySqlSessionServer, MultiStatementBatches) {
  LUMO_REQUIRE_SERVER();
  for (bool compress : {false, true}) {
    std::uint32_t flags = client::MULTI_STATEMENTS | (compress ? std::uint32_t{client::COMPRESS} : 0u);
    auto s = OpenRoot("", flags);
    Query(*s, "SELECT 1 UNION SELECT 2 UNION SELECT 3; SET @lumo_b = 2; SELECT @lumo_b");
    EXPECT_EQ(s->fieldCount, 1);
    s->FreeQuery();
    EXPECT_TRUE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    EXPECT_EQ(ErrorOf([&] { s->Ping(); }), cr::COMMANDS_OUT_OF_SYNC);
    s->ReadQueryResult();
    EXPECT_EQ(s->fieldCount, 0);
    s->ReadQueryResult();
    EXPECT_EQ(s->fieldCount, 1);
    EXPECT_EQ(NextValue(*s), "2");
    s->FreeQuery();
    EXPECT_FALSE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    s->Ping();
    // An error ends the batch.
    Query(*s, "SELECT 1; SELECT * FROM lumo_no_such_table_xyz; SELECT 3");
    s->FreeQuery();
    EXPECT_EQ(ErrorOf([&] { s->ReadQueryResult(); }), 1046);  // no database selected
    EXPECT_FALSE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    s->Ping();
  }
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/lumo-infile-XXXXXX";
    int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    FPath = name;
  }
  ~TempFile() { std::remove(FPath.c_str()); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

TEST(MySqlSessionServer, LoadDataLocalInfile) {
  LUMO_REQUIRE_SERVER();
  std::string rows;
  for (int i = 0; i < 3000; ++i) rows += std::to_string(i) + "\tvalue-" + std::to_string(i) + "\n";
  TempFile file(rows);
  const std::string table = TestServer().scratchDatabase + ".wire_infile_" + std::to_string(::getpid());
  for (bool compress : {false, true}) {
    auto s = OpenRoot("", compress ? std::uint32_t{client::COMPRESS} : 0u);
    Exec(*s, "DROP TABLE IF EXISTS " + table);
    Exec(*s, "CREATE TABLE " + table + " (id INT, name VARCHAR(40))");
    Query(*s, "LOAD DATA LOCAL INFILE '" + file.Path() + "' INTO TABLE " + table);
    EXPECT_EQ(s->affectedRows, 3000);
    EXPECT_EQ(s->info.rfind("Records: 3000", 0), 0u) << s->info;
    EXPECT_EQ(Scalar(*s, "SELECT SUM(id) FROM " + table), "4498500");

    // A file that does not exist: the server gets an empty file, the caller
    // the file error, the session goes on.
    EXPECT_EQ(ErrorOf([&] { Query(*s, "LOAD DATA LOCAL INFILE '/nonexistent/lumo.csv' INTO TABLE " + table); }),
              cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
    s->Ping();
    // Local files disabled: refused.
    s->SetLocalInfile(false);
    EXPECT_EQ(ErrorOf([&] { Query(*s, "LOAD DATA LOCAL INFILE '" + file.Path() + "' INTO TABLE " + table); }),
              cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
    s->Ping();
    EXPECT_EQ(Scalar(*s, "SELECT COUNT(*) FROM " + table), "3000");
    Exec(*s, "DROP TABLE " + table);
  }
}

}  // namespace
}  // namespace lumo
