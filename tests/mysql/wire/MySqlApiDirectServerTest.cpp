// The direct facade against the private test server, with the C client
// library as the reference: logins, errors as the C API reports them,
// database commands, a 20 MiB value through plain and compressed packets,
// multi-statement batches, LOAD DATA LOCAL INFILE, and every column type
// read back as text, stored and streamed, compared with what the C client
// library returns for the same query.
#include <gtest/gtest.h>
#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/DirectFacade.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;

using test::Api;
using test::Exec;

// A connection through the facade; null with the error in `error`.
PMYSQL_CON Open(const std::string& user, const std::string& password, const std::string& db = "",
                std::uint32_t flags = 0, std::string* error = nullptr, int secureAuth = -1) {
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 10);
  if (secureAuth >= 0) Api().mysql_options(h, MYSQL_SECURE_AUTH, secureAuth);
  Api().SetTimeout(h, 60);
  Api().mysql_options(h, MYSQL_SET_CHARSET_NAME, "utf8");  // utf8mb4, as the C client's default
  if (Api().mysql_real_connect(h, TestServer().host, user, password, db, TestServer().port, "", flags)) return h;
  if (error) *error = std::to_string(Api().mysql_errno(h)) + ":" + Api().mysql_error(h);
  Api().mysql_close(h);
  return nullptr;
}

PMYSQL_CON OpenRoot(std::uint32_t flags = 0) { return Open(TestServer().user, TestServer().password, "", flags); }

// One column as a client describes it.
struct Column {
  std::string name, orgName, table, orgTable, db;
  unsigned type = 0;
  unsigned long length = 0;
  unsigned flags = 0, decimals = 0, charset = 0;
  bool operator==(const Column&) const = default;
};
using Row = std::vector<std::optional<std::string>>;
struct Rows {
  std::vector<Column> columns;
  std::vector<Row> rows;
  bool operator==(const Rows&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rows& r) {
  for (const Column& c : r.columns)
    os << c.name << "/" << c.orgName << "/" << c.table << "/" << c.orgTable << "/" << c.db << " t" << c.type << " l"
       << c.length << " f" << c.flags << " d" << c.decimals << " cs" << c.charset << "\n";
  for (const Row& row : r.rows) {
    for (const auto& v : row) os << (v ? v->substr(0, 40) : "NULL") << " | ";
    os << "\n";
  }
  return os;
}

// The flags both clients agree on: the C client library also counts
// NEWDECIMAL as numeric.
unsigned ComparableFlags(unsigned type, unsigned flags) {
  return type == MYSQL_TYPE_NEWDECIMAL ? flags & ~unsigned{field_flag::NUM} : flags;
}

Rows Read(PMYSQL_CON h, const std::string& sql, bool store) {
  Rows out;
  EXPECT_EQ(Api().mysql_real_query(h, sql.data(), sql.size()), 0) << Api().mysql_error(h);
  PMYSQL_RES r = store ? Api().mysql_store_result(h) : Api().mysql_use_result(h);
  if (!r) return out;
  const auto n = Api().mysql_num_fields(r);
  const auto& infos = TMySQLAPIDirect::ResultSet(r)->Fields();
  for (std::uint32_t i = 0; i < n; ++i) {
    const TMySqlFieldInfo& f = infos[i];
    out.columns.push_back({f.Name, f.OrgName, f.Table, f.OrgTable, f.Database, f.MyType, f.Length,
                           ComparableFlags(f.MyType, f.Flags), f.Scale, f.CharsetNr});
  }
  std::vector<std::uint32_t> lens(n);
  while (PMYSQL_ROW row = Api().mysql_fetch_row(r)) {
    Api()._mysql_fetch_lengths(r, lens);
    Row values;
    for (std::uint32_t i = 0; i < n; ++i) {
      const char* p = Api()._mysql_fetch_value_ptr(r, row, i);
      values.push_back(Api()._mysql_fetch_value_is_null(row, i) ? std::nullopt
                                                                  : std::optional<std::string>(std::string(p ? p : "", lens[i])));
    }
    out.rows.push_back(std::move(values));
  }
  EXPECT_EQ(Api().mysql_errno(h), 0u) << Api().mysql_error(h);
  Api().mysql_free_result(r);
  return out;
}

// The same through the C client library.
Rows ReadReference(MYSQL* m, const std::string& sql, bool store) {
  Rows out;
  EXPECT_EQ(::mysql_real_query(m, sql.data(), sql.size()), 0) << ::mysql_error(m);
  MYSQL_RES* r = store ? ::mysql_store_result(m) : ::mysql_use_result(m);
  if (!r) return out;
  const unsigned n = ::mysql_num_fields(r);
  const MYSQL_FIELD* fields = ::mysql_fetch_fields(r);
  for (unsigned i = 0; i < n; ++i) {
    const MYSQL_FIELD& f = fields[i];
    out.columns.push_back({f.name, f.org_name, f.table, f.org_table, f.db, static_cast<unsigned>(f.type), f.length,
                           ComparableFlags(f.type, f.flags), f.decimals, f.charsetnr});
  }
  while (MYSQL_ROW row = ::mysql_fetch_row(r)) {
    const unsigned long* lens = ::mysql_fetch_lengths(r);
    Row values;
    for (unsigned i = 0; i < n; ++i)
      values.push_back(row[i] ? std::optional<std::string>(std::string(row[i], lens[i])) : std::nullopt);
    out.rows.push_back(std::move(values));
  }
  ::mysql_free_result(r);
  return out;
}

struct Reference {
  explicit Reference(bool compress) : m(::mysql_init(nullptr)) {
    if (compress) ::mysql_options(m, ::MYSQL_OPT_COMPRESS, nullptr);
    ::mysql_options(m, ::MYSQL_SET_CHARSET_NAME, "utf8mb4");
    EXPECT_NE(::mysql_real_connect(m, TestServer().host.c_str(), TestServer().user.c_str(),
                                   TestServer().password.c_str(), nullptr, static_cast<unsigned>(TestServer().port),
                                   nullptr, 0),
              nullptr)
        << ::mysql_error(m);
  }
  ~Reference() { ::mysql_close(m); }
  MYSQL* m;
};

TEST(MySqlApiDirectServer, LoginsAndConnectionCommands) {
  LUMO_REQUIRE_SERVER();
  const auto& ts = TestServer();
  struct Case {
    std::string user, password, db;
    int secureAuth = -1;
  };
  // An old password over plain TCP only when MYSQL_SECURE_AUTH allows it.
  std::string refused;
  EXPECT_EQ(Open(ts.oldUser, ts.oldPassword, "", 0, &refused), nullptr);
  EXPECT_EQ(refused, "2049:Connection using old (pre-4.1.1) authentication protocol refused (client option "
                     "'secure_auth' enabled)");
  PMYSQL_CON strict = Open(ts.nativeUser, ts.nativePassword, "", 0, nullptr, 1);  // 4.1 accounts are not concerned
  EXPECT_NE(strict, nullptr);
  Api().mysql_close(strict);
  for (const Case& c : {Case{ts.nativeUser, ts.nativePassword, ts.database}, Case{ts.user, ts.password, ""},
                        Case{ts.oldUser, ts.oldPassword, "", 0}}) {
    std::string error;
    PMYSQL_CON h = Open(c.user, c.password, c.db, 0, &error, c.secureAuth);
    ASSERT_NE(h, nullptr) << c.user << " " << error;
    EXPECT_EQ(Read(h, "SELECT CURRENT_USER(), DATABASE()", false).rows.at(0).at(0)->rfind(c.user + "@", 0), 0u);
    EXPECT_EQ(Api().mysql_get_host_info(h), ts.host + " via TCP/IP");
    EXPECT_FALSE(Api().mysql_get_server_info(h).empty());
    EXPECT_GT(Api().mysql_thread_id(h), 0u);
    EXPECT_EQ(Api().mysql_select_db(h, ts.database), 0) << Api().mysql_error(h);
    EXPECT_EQ(Read(h, "SELECT DATABASE()", true).rows.at(0).at(0), ts.database);
    const int rc = Api().mysql_select_db(h, "lumo_no_such_db");  // unknown, or denied to this user
    EXPECT_TRUE(rc == 1049 || rc == 1044) << rc;
    EXPECT_EQ(Api().mysql_error(h).rfind("\r\n#42000", 0), 0u) << Api().mysql_error(h);
    EXPECT_EQ(Api().mysql_ping(h), 0);
    EXPECT_EQ(Api().mysql_errno(h), 0u);
    EXPECT_EQ(TMySQLAPIDirect::Session(h)->Statistics().rfind("Uptime: ", 0), 0u);
    Api().mysql_close(h);
  }
  std::string error;
  EXPECT_EQ(Open(ts.nativeUser, "Wr0ng-Secret!", "", 0, &error), nullptr);
  EXPECT_EQ(error.rfind("1045:\r\n#28000Access denied for user '" + ts.nativeUser + "'@'", 0), 0u) << error;
  EXPECT_EQ(Api().mysql_get_client_info(), "7.0.0 Direct");
}

TEST(MySqlApiDirectServer, EveryColumnTypeReadsAsTheCClientReadsIt) {
  LUMO_REQUIRE_SERVER();
  const std::string table = TestServer().scratchDatabase + ".facade_types_" + std::to_string(::getpid());
  PMYSQL_CON h = OpenRoot();
  Exec(h, "DROP TABLE IF EXISTS " + table);
  Exec(h, "CREATE TABLE " + table +
              " (id INT NOT NULL AUTO_INCREMENT PRIMARY KEY, ti TINYINT, uti TINYINT UNSIGNED, si SMALLINT,"
              " mi MEDIUMINT, bi BIGINT, ubi BIGINT(20) UNSIGNED ZEROFILL, f FLOAT, d DOUBLE, de DECIMAL(30,10),"
              " da DATE, tm TIME(3), dt DATETIME(6), ts TIMESTAMP NULL, y YEAR, ch CHAR(10), vc VARCHAR(300),"
              " bn BINARY(4), vb VARBINARY(20), tt TINYTEXT, tx TEXT, mt MEDIUMTEXT, lt LONGTEXT, tb TINYBLOB,"
              " bl BLOB, mb MEDIUMBLOB, lb LONGBLOB, en ENUM('a','b'), st SET('x','y','z'), bt BIT(10),"
              " js JSON, pt POINT, ip INET6, UNIQUE KEY (si)) CHARACTER SET utf8mb4");
  Exec(h, "INSERT INTO " + table +
              " VALUES (NULL, -128, 255, -32768, 8388607, -9223372036854775808, 18446744073709551615, 1.5e-3,"
              " -2.2250738585072014e-308, -12345678901234567890.0123456789, '2024-02-29', '-838:59:58.999',"
              " '9999-12-31 23:59:59.999999', '2038-01-19 03:14:07', 2155, 'k\\xC3\\xBC', REPEAT('v', 300),"
              " X'00FBFF01', X'FE00', 'tiny', REPEAT('t', 1000), REPEAT('m', 70000), 'long \\'text\\'',"
              " X'FB', X'', REPEAT(X'FE', 70000), X'00', 'b', 'x,z', b'1010101010', '{\"k\": [1, 2]}',"
              " POINT(1, 2), '::1')");
  Exec(h, "INSERT INTO " + table + " (id) VALUES (NULL)");
  const std::string sql = "SELECT *, 1 + 1 AS expr, NULL AS nothing, 'lit' FROM " + table + " AS t ORDER BY id";
  for (bool compress : {false, true}) {
    PMYSQL_CON c = OpenRoot(compress ? std::uint32_t{client::COMPRESS} : 0u);
    Reference ref(compress);
    const Rows expected = ReadReference(ref.m, sql, true);
    ASSERT_EQ(expected.rows.size(), 2u);
    EXPECT_EQ(expected, ReadReference(ref.m, sql, false));
    for (bool store : {false, true}) EXPECT_EQ(Read(c, sql, store), expected) << "compress " << compress << " store "
                                                                               << store << "\n" << expected;
    Api().mysql_close(c);
  }
  Exec(h, "DROP TABLE " + table);
  Api().mysql_close(h);
}

TEST(MySqlApiDirectServer, TwentyMiBValuePlainAndCompressed) {
  LUMO_REQUIRE_SERVER();
  const std::string table = TestServer().scratchDatabase + ".facade_blob_" + std::to_string(::getpid());
  std::string value(20 << 20, '\0');
  std::uint32_t x = 12345;
  for (char& ch : value) {
    x = x * 1103515245 + 12345;
    ch = static_cast<char>(x >> 23);
  }
  static const char hex[] = "0123456789ABCDEF";
  std::string insert = "INSERT INTO " + table + " VALUES (1, X'";
  for (unsigned char ch : value) {
    insert += hex[ch >> 4];
    insert += hex[ch & 15];
  }
  insert += "')";
  for (bool compress : {false, true}) {
    PMYSQL_CON h = OpenRoot(compress ? std::uint32_t{client::COMPRESS} : 0u);
    Exec(h, "DROP TABLE IF EXISTS " + table);
    Exec(h, "CREATE TABLE " + table + " (id INT PRIMARY KEY, b LONGBLOB)");
    Exec(h, insert);
    for (bool store : {false, true}) {
      const Rows r = Read(h, "SELECT b, LENGTH(b) FROM " + table, store);
      ASSERT_EQ(r.rows.size(), 1u);
      EXPECT_EQ(r.rows[0][1], std::to_string(value.size()));
      EXPECT_TRUE(r.rows[0][0] == value) << "compress " << compress << " store " << store;
    }
    Exec(h, "DROP TABLE " + table);
    Api().mysql_close(h);
  }
}

TEST(MySqlApiDirectServer, MultiStatementBatchesAndCommandsOutOfSync) {
  LUMO_REQUIRE_SERVER();
  const std::string batch =
      "CREATE TEMPORARY TABLE tmp (a INT); INSERT INTO tmp VALUES (1), (2), (3); SELECT a FROM tmp ORDER BY a;"
      " SELECT COUNT(*) FROM tmp; DROP TEMPORARY TABLE tmp";
  for (bool compress : {false, true}) {
    for (bool freeEarly : {false, true}) {
      SCOPED_TRACE(testing::Message() << "compress " << compress << " free early " << freeEarly);
      PMYSQL_CON h = Open(TestServer().user, TestServer().password, TestServer().scratchDatabase,
                          client::MULTI_STATEMENTS | (compress ? std::uint32_t{client::COMPRESS} : 0u));
      Exec(h, batch);
      std::vector<std::string> seen;
      for (int rc = 0; rc == 0; rc = Api().mysql_next_result(h)) {
        PMYSQL_RES r = Api().mysql_use_result(h);
        if (!r) {
          seen.push_back("ok " + std::to_string(Api().mysql_affected_rows(h)));
          continue;
        }
        EXPECT_EQ(Api().mysql_real_query(h, "DO 1", 4), cr::COMMANDS_OUT_OF_SYNC);
        EXPECT_EQ(Api().mysql_error(h), "Commands out of sync;  You can't run this command now");
        std::string values = "rows";
        while (PMYSQL_ROW row = Api().mysql_fetch_row(r)) {
          values += " " + Api()._mysql_fetch_value_str(row, 0);
          if (freeEarly) break;
        }
        seen.push_back(values);
        Api().mysql_free_result(r);
      }
      EXPECT_EQ(Api().mysql_errno(h), 0u) << Api().mysql_error(h);
      const std::vector<std::string> expected = {"ok 0", "ok 3", freeEarly ? "rows 1" : "rows 1 2 3", "rows 3", "ok 0"};
      EXPECT_EQ(seen, expected);
      EXPECT_EQ(Api().mysql_ping(h), 0);
      // An error ends the batch.
      Exec(h, "SELECT 1; SELECT * FROM lumo_no_such_table_xyz; SELECT 3");
      Api().mysql_free_result(Api().mysql_use_result(h));
      EXPECT_EQ(Api().mysql_next_result(h), 1146);
      EXPECT_FALSE(Api().mysql_more_results(h));
      EXPECT_EQ(Api().mysql_ping(h), 0);
      Api().mysql_close(h);
    }
  }
  // Without the flag a stacked statement is refused, as by the C client
  // library.
  const std::string stacked = "SELECT 1; SELECT 2";
  PMYSQL_CON single = OpenRoot();
  Reference ref(false);
  const int rc = Api().mysql_real_query(single, stacked.data(), stacked.size());
  EXPECT_EQ(rc, er::PARSE_ERROR);
  EXPECT_NE(::mysql_real_query(ref.m, stacked.data(), stacked.size()), 0);
  EXPECT_EQ(static_cast<int>(::mysql_errno(ref.m)), rc);
  EXPECT_FALSE(Api().mysql_more_results(single));
  EXPECT_EQ(Read(single, "SELECT 3", false).rows, (std::vector<Row>{{std::string("3")}}));
  Api().mysql_close(single);
}

TEST(MySqlApiDirectServer, EscapingSqlStateAndCharacterSetAsTheCClient) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = OpenRoot();
  Reference ref(false);
  EXPECT_EQ(Api().mysql_character_set_name(h), ::mysql_character_set_name(ref.m));
  const std::string text("a\0b\nc\rd\x1A'\"\\%_ \xC3\xBC", 17);
  for (bool noBackslashes : {false, true}) {
    if (noBackslashes) {
      Exec(h, "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'");
      ASSERT_EQ(::mysql_query(ref.m, "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'"), 0);
    }
    std::string expected(2 * text.size() + 1, '\0');
    expected.resize(::mysql_real_escape_string(ref.m, expected.data(), text.data(), text.size()));
    const std::string escaped = Api().mysql_real_escape_string(h, text);
    EXPECT_EQ(escaped, expected) << "no backslashes " << noBackslashes;
    // The server reads the literal back as the text.
    EXPECT_EQ(Read(h, "SELECT '" + escaped + "'", true).rows.at(0).at(0), text) << "no backslashes " << noBackslashes;
  }

  EXPECT_EQ(Api().mysql_sqlstate(h), "00000");
  const std::string missing = "SELECT * FROM " + TestServer().scratchDatabase + ".lumo_no_such_table_xyz";
  EXPECT_EQ(Api().mysql_real_query(h, missing.data(), missing.size()), 1146);
  ::mysql_query(ref.m, missing.c_str());
  EXPECT_EQ(Api().mysql_sqlstate(h), ::mysql_sqlstate(ref.m));
  EXPECT_EQ(Api().mysql_sqlstate(h), "42S02");
  EXPECT_EQ(Api().mysql_error(h).rfind("\r\n#42S02Table ", 0), 0u) << Api().mysql_error(h);
  // A client error.
  Exec(h, "SELECT 1");
  PMYSQL_RES r = Api().mysql_use_result(h);
  EXPECT_EQ(Api().mysql_real_query(h, "SELECT 2", 8), cr::COMMANDS_OUT_OF_SYNC);
  EXPECT_EQ(Api().mysql_sqlstate(h), "HY000");
  Api().mysql_free_result(r);
  Api().mysql_close(h);
}

TEST(MySqlApiDirectServer, LoadDataLocalInfile) {
  LUMO_REQUIRE_SERVER();
  std::string content;
  for (int i = 0; i < 2500; ++i) content += std::to_string(1000000 + i) + "\n";  // 8 bytes a line
  ASSERT_EQ(content.size(), 20000u);
  char path[] = "/tmp/lumo-facade-infile-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, content.data(), content.size()), 20000);
  ::close(fd);
  const std::string table = TestServer().scratchDatabase + ".facade_infile_" + std::to_string(::getpid());
  PMYSQL_CON h = OpenRoot();
  Exec(h, "DROP TABLE IF EXISTS " + table);
  Exec(h, "CREATE TABLE " + table + " (a INT)");
  Exec(h, "LOAD DATA LOCAL INFILE '" + std::string(path) + "' INTO TABLE " + table);
  EXPECT_EQ(Api().mysql_affected_rows(h), 2500);
  EXPECT_EQ(Api().mysql_info(h).rfind("Records: 2500", 0), 0u) << Api().mysql_info(h);
  EXPECT_EQ(Read(h, "SELECT COUNT(*), SUM(a) FROM " + table, false).rows.at(0),
            (Row{std::string("2500"), std::string("2503123750")}));
  // Refused when local files are switched off.
  Api().mysql_options(h, MYSQL_OPT_LOCAL_INFILE, 0);
  const std::string again = "LOAD DATA LOCAL INFILE '" + std::string(path) + "' INTO TABLE " + table;
  EXPECT_EQ(Api().mysql_real_query(h, again.data(), again.size()), cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
  EXPECT_EQ(Api().mysql_ping(h), 0);
  Api().mysql_close(h);

  // A file that cannot be opened, inside a batch: the error names the file
  // and the reason, the batch goes on, and the connection stays in step
  // (the C client library hands out the stale second result for the next
  // query there). The rest of the batch can be read or left behind.
  const std::string missing = std::string(path) + ".missing";
  const std::string batch = "LOAD DATA LOCAL INFILE '" + missing + "' INTO TABLE " + table + "; SELECT 7";
  for (bool readOn : {false, true}) {
    PMYSQL_CON b = OpenRoot(client::MULTI_STATEMENTS);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Api().mysql_real_query(b, batch.data(), batch.size()), cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
    EXPECT_NE(Api().mysql_error(b).find("'" + missing + "'"), std::string::npos) << Api().mysql_error(b);
    EXPECT_NE(Api().mysql_error(b).find("No such file or directory"), std::string::npos) << Api().mysql_error(b);
    EXPECT_TRUE(Api().mysql_more_results(b));
    if (readOn) {
      ASSERT_EQ(Api().mysql_next_result(b), 0) << Api().mysql_error(b);
      PMYSQL_RES r = Api().mysql_use_result(b);
      ASSERT_NE(r, nullptr);
      PMYSQL_ROW row = Api().mysql_fetch_row(r);
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(Api()._mysql_fetch_value_str(row, 0), "7");
      Api().mysql_free_result(r);
    }
    EXPECT_EQ(Read(b, "SELECT 8", false).rows, (std::vector<Row>{{std::string("8")}})) << "read on " << readOn;
    EXPECT_EQ(Api().mysql_ping(b), 0);
    Api().mysql_close(b);
  }
  h = OpenRoot();
  Exec(h, "DROP TABLE " + table);
  Api().mysql_close(h);
  std::remove(path);
}

}  // namespace
}  // namespace lumo
