// Prepared statements through the direct facade against the test server,
// with the C client library's statements as the reference: every column type
// read from binary rows, the results of a CALL, NULL in every position of 9
// and 17 parameters, 65,535 and 65,536 placeholders, a 1,000-column row, a
// 9,200-byte string, changed parameter types, TIME and DATETIME(6) limits, a
// statement whose session was killed, and a value above max_allowed_packet.
#include <gtest/gtest.h>
#include <mysql.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>

#include <lumokit/access/KxAccess.h>
#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/DirectFacade.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;
using Row = std::vector<std::optional<std::string>>;

using test::Api;
using test::Exec;

PMYSQL_CON Open() {
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 10);
  Api().SetTimeout(h, 120);
  Api().mysql_options(h, MYSQL_SET_CHARSET_NAME, "utf8");
  if (!Api().mysql_real_connect(h, TestServer().host, TestServer().user, TestServer().password,
                                TestServer().scratchDatabase, TestServer().port, "", 0)) {
    ADD_FAILURE() << Api().mysql_error(h);
    Api().mysql_close(h);
    return nullptr;
  }
  return h;
}

// A prepared statement of ours, closed at the end of the scope.
struct Stmt {
  explicit Stmt(PMYSQL_CON h) : st(Api().mysql_stmt_init(h)) {}
  ~Stmt() { Api().mysql_stmt_close(st); }
  int Prepare(const std::string& sql) { return Api().mysql_stmt_prepare(st, sql.data(), sql.size()); }
  int Execute(std::vector<TParamDesc*> params = {}) { return Api()._mysql_stmt_execute(st, params, true, false); }
  std::string Error() { return Api().mysql_stmt_error(st); }
  PMYSQL_STMT st;
};

// The text a text row holds for a value of a binary row.
std::string Canonical(const TMYSQL_FIELD& f, const char* p, std::size_t n) {
  char text[BinaryTextSize];
  const int len = BinaryValueText(f.MyType, f.Flags & field_flag::UNSIGNED, f.Decimals,
                                  reinterpret_cast<const std::uint8_t*>(p), n, text);
  return len >= 0 ? std::string(text, static_cast<std::size_t>(len)) : std::string(p, n);
}

// Every row of the current result of our statement.
std::vector<Row> OurRows(Stmt& s) {
  std::vector<Row> out;
  PMYSQL_RES meta = Api().mysql_stmt_result_metadata(s.st);
  if (!meta) return out;
  const std::uint32_t n = Api().mysql_num_fields(meta);
  std::vector<TMYSQL_FIELD> fields(n);
  for (std::uint32_t i = 0; i < n; ++i) Api()._mysql_fetch_field_direct(meta, i, fields[i], true);
  Api().mysql_free_result(meta);
  EXPECT_EQ(Api()._mysql_stmt_bind_result(s.st), 0);
  PMYSQL_ROW row = nullptr;
  int rc;
  while ((rc = Api()._mysql_stmt_fetch(s.st, row)) == 0) {
    std::vector<std::uint32_t> lens(n);
    Api()._mysql_stmt_fetch_lengths(row, lens);
    Row& r = out.emplace_back();
    for (std::uint32_t i = 0; i < n; ++i) {
      if (Api()._mysql_fetch_value_is_null(row, i)) {
        r.emplace_back();
        continue;
      }
      const char* p = Api()._mysql_stmt_fetch_value_ptr(s.st, i);
      r.emplace_back(Canonical(fields[i], p ? p : "", lens[i]));
    }
  }
  EXPECT_EQ(rc, NoData) << s.Error();
  return out;
}

// ---- the C client library's statements, values bound in their own types

std::string TimeText(const MYSQL_TIME& t, enum_field_types type, unsigned decimals) {
  char buf[64];
  int n;
  if (type == ::MYSQL_TYPE_TIME)
    n = std::snprintf(buf, sizeof buf, "%s%02u:%02u:%02u", t.neg ? "-" : "", t.day * 24 + t.hour, t.minute, t.second);
  else if (type == ::MYSQL_TYPE_DATE)
    n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", t.year, t.month, t.day);
  else
    n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
  std::string s(buf, static_cast<std::size_t>(n));
  const unsigned digits = decimals <= 6 ? decimals : (t.second_part ? 6 : 0);
  if (type != ::MYSQL_TYPE_DATE && digits) {
    std::snprintf(buf, sizeof buf, "%06lu", t.second_part);
    s += "." + std::string(buf, digits);
  }
  return s;
}

struct PeerStmt {
  PeerStmt() {
    h = mysql_init(nullptr);
    mysql_options(h, ::MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(h, TestServer().host.c_str(), TestServer().user.c_str(), TestServer().password.c_str(),
                            TestServer().scratchDatabase.c_str(), static_cast<unsigned>(TestServer().port), nullptr,
                            CLIENT_MULTI_RESULTS))
      ADD_FAILURE() << mysql_error(h);
    st = mysql_stmt_init(h);
  }
  ~PeerStmt() {
    mysql_stmt_close(st);
    mysql_close(h);
  }
  bool Prepare(const std::string& sql) {
    if (mysql_stmt_prepare(st, sql.data(), sql.size()) == 0) return true;
    ADD_FAILURE() << mysql_stmt_error(st);
    return false;
  }
  // The rows of the current result, each value as its text.
  std::vector<Row> Rows() {
    std::vector<Row> out;
    MYSQL_RES* meta = mysql_stmt_result_metadata(st);
    if (!meta) return out;
    const unsigned n = mysql_num_fields(meta);
    MYSQL_FIELD* fields = mysql_fetch_fields(meta);
    std::vector<MYSQL_BIND> b(n);
    std::vector<unsigned long> len(n);
    std::vector<my_bool> isNull(n);
    std::vector<std::array<char, 64>> fixed(n);
    for (unsigned i = 0; i < n; ++i) {
      std::memset(&b[i], 0, sizeof b[i]);
      b[i].length = &len[i];
      b[i].is_null = &isNull[i];
      b[i].is_unsigned = (fields[i].flags & UNSIGNED_FLAG) != 0;
      switch (fields[i].type) {
        case ::MYSQL_TYPE_TINY: case ::MYSQL_TYPE_SHORT: case ::MYSQL_TYPE_INT24: case ::MYSQL_TYPE_LONG:
        case ::MYSQL_TYPE_LONGLONG: case ::MYSQL_TYPE_YEAR:
          b[i].buffer_type = ::MYSQL_TYPE_LONGLONG;
          break;
        case ::MYSQL_TYPE_FLOAT: case ::MYSQL_TYPE_DOUBLE:
        case ::MYSQL_TYPE_DATE: case ::MYSQL_TYPE_DATETIME: case ::MYSQL_TYPE_TIMESTAMP: case ::MYSQL_TYPE_TIME:
          b[i].buffer_type = fields[i].type;
          break;
        default:
          b[i].buffer_type = ::MYSQL_TYPE_BLOB;  // bytes, read with mysql_stmt_fetch_column
          continue;
      }
      b[i].buffer = fixed[i].data();
      b[i].buffer_length = fixed[i].size();
    }
    mysql_stmt_bind_result(st, b.data());
    for (;;) {
      const int rc = mysql_stmt_fetch(st);
      if (rc == MYSQL_NO_DATA) break;
      if (rc == 1) {
        ADD_FAILURE() << mysql_stmt_error(st);
        break;
      }
      Row& r = out.emplace_back();
      for (unsigned i = 0; i < n; ++i) {
        if (isNull[i]) {
          r.emplace_back();
          continue;
        }
        const char* v = fixed[i].data();
        char text[64];
        switch (fields[i].type) {
          case ::MYSQL_TYPE_TINY: case ::MYSQL_TYPE_SHORT: case ::MYSQL_TYPE_INT24: case ::MYSQL_TYPE_LONG:
          case ::MYSQL_TYPE_LONGLONG: case ::MYSQL_TYPE_YEAR: {
            long long x;
            std::memcpy(&x, v, 8);
            if (fields[i].type == ::MYSQL_TYPE_YEAR)
              std::snprintf(text, sizeof text, "%04lld", x);
            else if (b[i].is_unsigned)
              std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(x));
            else
              std::snprintf(text, sizeof text, "%lld", x);
            r.emplace_back(text);
            break;
          }
          case ::MYSQL_TYPE_FLOAT: {
            float x;
            std::memcpy(&x, v, 4);
            r.emplace_back(std::string(text, std::to_chars(text, text + 64, x).ptr));
            break;
          }
          case ::MYSQL_TYPE_DOUBLE: {
            double x;
            std::memcpy(&x, v, 8);
            r.emplace_back(std::string(text, std::to_chars(text, text + 64, x).ptr));
            break;
          }
          case ::MYSQL_TYPE_DATE: case ::MYSQL_TYPE_DATETIME: case ::MYSQL_TYPE_TIMESTAMP: case ::MYSQL_TYPE_TIME: {
            MYSQL_TIME t;
            std::memcpy(&t, v, sizeof t);
            r.emplace_back(TimeText(t, fields[i].type == ::MYSQL_TYPE_TIMESTAMP ? ::MYSQL_TYPE_DATETIME : fields[i].type,
                                    fields[i].decimals));
            break;
          }
          default: {
            std::string bytes(len[i], '\0');
            MYSQL_BIND c;
            std::memset(&c, 0, sizeof c);
            c.buffer_type = ::MYSQL_TYPE_BLOB;
            c.buffer = bytes.data();
            c.buffer_length = bytes.size();
            if (!bytes.empty()) mysql_stmt_fetch_column(st, &c, i, 0);
            r.emplace_back(std::move(bytes));
          }
        }
      }
    }
    mysql_free_result(meta);
    return out;
  }
  MYSQL* h;
  MYSQL_STMT* st;
};

const char* kTypes = R"(
  ti TINYINT, tu TINYINT UNSIGNED, si SMALLINT, mi MEDIUMINT, mu MEDIUMINT UNSIGNED, i INT, iu INT UNSIGNED,
  bi BIGINT, bu BIGINT UNSIGNED, f FLOAT, d DOUBLE, dc DECIMAL(65,30), b64 BIT(64), dt DATE, tm TIME(6),
  dtt DATETIME, dt6 DATETIME(6), ts TIMESTAMP(3) NULL, y YEAR, c CHAR(10), vb VARBINARY(20), tx TEXT, bl BLOB,
  e ENUM('a','bb'), js JSON)";

TEST(MySqlStmtServer, EveryColumnTypeAsThePeerReadsIt) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open();
  ASSERT_NE(h, nullptr);
  Exec(h, "DROP TABLE IF EXISTS stmt_types");
  Exec(h, std::string("CREATE TABLE stmt_types (id INT PRIMARY KEY,") + kTypes + ") CHARACTER SET utf8mb4");
  Exec(h, "SET SESSION sql_mode = ''");
  Exec(h, R"(INSERT INTO stmt_types VALUES
    (1, -128, 255, -32768, -8388608, 16777215, -2147483648, 4294967295, -9223372036854775808,
     18446744073709551615, 3.14159, 2.718281828459045, '-12345678901234567890123456789012345.123456789012345678901234567891',
     b'1010101111001101', '2024-02-29', '-838:59:59', '2024-02-29 23:59:59', '2024-02-29 23:59:59.123456',
     '2024-02-29 12:00:00.5', 2024, 'fixed', x'00FF7F', 'caf\u00e9 \U0001F600', x'DEADBEEF', 'bb', '{"k": 1}'),
    (2, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1e-30, -1.7976931348623157e308, 0, b'0', '0000-00-00', '838:59:59.999999',
     '0000-00-00 00:00:00', '1000-01-01 00:00:00.000001', NULL, 0, '', '', '', '', 'a', '[]'),
    (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '-00:00:01.5', NULL,
     NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL))");
  const std::string sql = "SELECT * FROM stmt_types ORDER BY id";
  Stmt ours(h);
  ASSERT_EQ(ours.Prepare(sql), 0) << ours.Error();
  EXPECT_EQ(Api().mysql_stmt_field_count(ours.st), 26u);
  PeerStmt peer;
  ASSERT_TRUE(peer.Prepare(sql));
  for (int round = 0; round < 2; ++round) {  // executed again, the same rows
    ASSERT_EQ(ours.Execute(), 0) << ours.Error();
    ASSERT_EQ(mysql_stmt_execute(peer.st), 0) << mysql_stmt_error(peer.st);
    const std::vector<Row> a = OurRows(ours), b = peer.Rows();
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t r = 0; r < a.size(); ++r)
      for (std::size_t c = 0; c < a[r].size(); ++c)
        EXPECT_EQ(a[r][c], b[r][c]) << "row " << r << " column " << c;
    EXPECT_EQ(a[0][17], "2024-02-29 23:59:59.123456");
    EXPECT_EQ(a[2][15], "-00:00:01.500000");
  }
  Api().mysql_close(h);
}

// The sequence of results a CALL gives: field count and rows of each.
template <class NextFn, class RowsFn, class FieldsFn>
std::vector<std::pair<unsigned, std::vector<Row>>> Results(NextFn next, RowsFn rows, FieldsFn fields) {
  std::vector<std::pair<unsigned, std::vector<Row>>> out;
  for (int guard = 0; guard < 10; ++guard) {
    out.emplace_back(fields(), rows());
    const int rc = next();
    if (rc == -1) break;
    if (rc != 0) {
      ADD_FAILURE() << "next result: " << rc;
      break;
    }
  }
  return out;
}

TEST(MySqlStmtServer, ACallWithTwoResultSetsAsThePeerSeesIt) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open();
  ASSERT_NE(h, nullptr);
  Exec(h, "DROP PROCEDURE IF EXISTS stmt_two");
  Exec(h, "CREATE PROCEDURE stmt_two(IN n INT) BEGIN SELECT n AS a, 'x' AS b UNION ALL SELECT n + 1, NULL; "
          "SELECT CAST(2.5 AS DOUBLE) AS c, NOW(6) > '2000-01-01' AS d; END");
  Stmt ours(h);
  ASSERT_EQ(ours.Prepare("CALL stmt_two(?)"), 0) << ours.Error();
  TParamDesc n;
  n.SetDataType(dtInt32);
  n.SetValue(Variant(41));
  PeerStmt peer;
  ASSERT_TRUE(peer.Prepare("CALL stmt_two(?)"));
  int peerN = 41;
  MYSQL_BIND pb;
  std::memset(&pb, 0, sizeof pb);
  pb.buffer_type = ::MYSQL_TYPE_LONG;
  pb.buffer = &peerN;
  mysql_stmt_bind_param(peer.st, &pb);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(ours.Execute({&n}), 0) << ours.Error();
    ASSERT_EQ(mysql_stmt_execute(peer.st), 0) << mysql_stmt_error(peer.st);
    const auto a = Results([&] { return Api().mysql_stmt_next_result(ours.st); }, [&] { return OurRows(ours); },
                           [&] { return Api().mysql_stmt_field_count(ours.st); });
    const auto b = Results([&] { return mysql_stmt_next_result(peer.st); }, [&] { return peer.Rows(); },
                           [&] { return mysql_stmt_field_count(peer.st); });
    ASSERT_EQ(a.size(), 3u);  // two result sets and the call's status
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0].second[1][0], "42");
  }
  // Executed again without reading: the rest is dropped, the session goes on.
  ASSERT_EQ(ours.Execute({&n}), 0) << ours.Error();
  ASSERT_EQ(ours.Execute({&n}), 0) << ours.Error();
  ASSERT_EQ(Api().mysql_stmt_free_result(ours.st), 0);
  Exec(h, "DO 1");
  Api().mysql_close(h);
}

// A statement of `count` placeholders returning them: "SELECT ?, ?, ...".
std::string Placeholders(const std::string& head, std::size_t count) {
  std::string sql = head;
  for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
  return sql;
}

TEST(MySqlStmtServer, NullInEveryPositionOfNineAndSeventeenParameters) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open();
  ASSERT_NE(h, nullptr);
  for (std::size_t count : {9u, 17u}) {
    Stmt s(h);
    ASSERT_EQ(s.Prepare(Placeholders("SELECT ", count)), 0) << s.Error();
    std::vector<TParamDesc> params(count);
    std::vector<TParamDesc*> refs;
    for (auto& p : params) refs.push_back(&p);
    for (std::size_t nullAt = 0; nullAt < count; ++nullAt) {
      for (std::size_t i = 0; i < count; ++i) {
        params[i].SetDataType(i % 2 ? dtString : dtInt32);
        if (i == nullAt)
          params[i].SetNull(true);
        else
          params[i].SetValue(i % 2 ? Variant("s" + std::to_string(i)) : Variant(static_cast<int>(i)));
      }
      ASSERT_EQ(s.Execute(refs), 0) << s.Error();
      const std::vector<Row> rows = OurRows(s);
      ASSERT_EQ(rows.size(), 1u);
      for (std::size_t i = 0; i < count; ++i) {
        if (i == nullAt)
          EXPECT_FALSE(rows[0][i]) << count << " " << i;
        else
          EXPECT_EQ(rows[0][i], (i % 2 ? "s" : "") + std::to_string(i)) << count << " " << i;
      }
    }
  }
  Api().mysql_close(h);
}

TEST(MySqlStmtServer, PlaceholderLimitAndAThousandColumns) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open();
  ASSERT_NE(h, nullptr);
  {
    Stmt s(h);
    ASSERT_EQ(s.Prepare(Placeholders("SELECT 65534 IN (", 65535) + ")"), 0) << s.Error();
    EXPECT_EQ(Api().mysql_stmt_param_count(s.st), 65535u);
    std::vector<TParamDesc> params(65535);
    std::vector<TParamDesc*> refs;
    for (std::size_t i = 0; i < params.size(); ++i) {
      params[i].SetDataType(dtInt32);
      params[i].SetValue(Variant(static_cast<int>(i)));
      refs.push_back(&params[i]);
    }
    ASSERT_EQ(s.Execute(refs), 0) << s.Error();
    EXPECT_EQ(OurRows(s), std::vector<Row>{Row{std::string("1")}});
  }
  {
    Stmt s(h);
    EXPECT_EQ(s.Prepare(Placeholders("SELECT 1 IN (", 65536) + ")"), 1390) << s.Error();
    EXPECT_NE(s.Error().find("too many placeholders"), std::string::npos) << s.Error();
  }
  Exec(h, "DO 1");  // the connection goes on
  std::string sql = "SELECT ";
  for (int i = 0; i < 1000; ++i) {
    if (i) sql += ", ";
    switch (i % 4) {
      case 0: sql += std::to_string(i); break;
      case 1: sql += "'v" + std::to_string(i) + "'"; break;
      case 2: sql += "NULL"; break;
      default: sql += "CAST(" + std::to_string(i) + ".5 AS DOUBLE)"; break;
    }
  }
  Stmt s(h);
  ASSERT_EQ(s.Prepare(sql), 0) << s.Error();
  ASSERT_EQ(s.Execute(), 0) << s.Error();
  const std::vector<Row> rows = OurRows(s);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    std::optional<std::string> want;
    if (i % 4 == 0) want = std::to_string(i);
    if (i % 4 == 1) want = "v" + std::to_string(i);
    if (i % 4 == 3) want = std::to_string(i) + ".5";
    EXPECT_EQ(rows[0][static_cast<std::size_t>(i)], want) << i;
  }
  Api().mysql_close(h);
}

TEST(MySqlStmtServer, LongStringChangedTypesAndTimeLimits) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open();
  ASSERT_NE(h, nullptr);
  Stmt s(h);
  ASSERT_EQ(s.Prepare("SELECT ?, ?"), 0) << s.Error();
  TParamDesc a, b;
  const std::string long9200(9200, 'q');
  a.SetDataType(dtString);
  a.SetValue(Variant(long9200 + "\u00e9"));
  b.SetDataType(dtInt64);
  b.SetValue(Variant(std::int64_t{-5}));
  ASSERT_EQ(s.Execute({&a, &b}), 0) << s.Error();
  EXPECT_EQ(OurRows(s), (std::vector<Row>{{long9200 + "\u00e9", std::string("-5")}}));
  // The same statement with other types: the new types are sent.
  a.SetDataType(dtFloat);
  a.SetValue(Variant(0.1));
  b.SetDataType(dtDateTime);
  b.SetValue(Variant::FromDate(EncodeDateTime(2024, 2, 29, 23, 59, 59, 987)));
  ASSERT_EQ(s.Execute({&a, &b}), 0) << s.Error();
  EXPECT_EQ(OurRows(s), (std::vector<Row>{{std::string("0.1"), std::string("2024-02-29 23:59:59.987000")}}));
  a.SetDataType(dtUInt32);
  a.SetValue(Variant(std::uint32_t{4294967295u}));
  b.SetNull(true);
  ASSERT_EQ(s.Execute({&a, &b}), 0) << s.Error();
  EXPECT_EQ(OurRows(s), (std::vector<Row>{{std::string("4294967295"), std::nullopt}}));
  // Bytes are binary to the server: compared byte by byte, never read as
  // text of the connection's character set.
  Stmt bin(h);
  ASSERT_EQ(bin.Prepare("SELECT ? = 'ABC', HEX(?)"), 0) << bin.Error();
  a.SetDataType(dtVarBytes);
  a.SetValue(Variant::FromBytes("abc", 3));
  b.SetNull(false);
  b.SetDataType(dtBytes);
  b.SetValue(Variant::FromBytes("\xFF\x00\xC3", 3));
  ASSERT_EQ(bin.Execute({&a, &b}), 0) << bin.Error();
  EXPECT_EQ(OurRows(bin), (std::vector<Row>{{std::string("0"), std::string("FF00C3")}}));

  // TIME values with sign and days, read back from a TIME(6) column.
  Exec(h, "DROP TABLE IF EXISTS stmt_times");
  Exec(h, "CREATE TABLE stmt_times (id INT PRIMARY KEY, t TIME(6), d DATETIME(6))");
  Stmt ins(h);
  ASSERT_EQ(ins.Prepare("INSERT INTO stmt_times VALUES (?, ?, ?)"), 0) << ins.Error();
  const double hour = 1.0 / 24;
  const struct {
    double value;
    const char* text;
  } times[] = {{-(838 * hour + (59 * 60 + 59) / 86400.0), "-838:59:59.000000"},
               {838 * hour + (59 * 60 + 59) / 86400.0, "838:59:59.000000"},
               {-1500.0 / MSecsPerDay, "-00:00:01.500000"},
               {-1.5 * hour, "-01:30:00.000000"},
               {26 * hour, "26:00:00.000000"}};
  TParamDesc id, t, d;
  id.SetDataType(dtInt32);
  t.SetDataType(dtTime);
  d.SetDataType(dtDateTime);
  d.SetValue(Variant::FromDate(EncodeDateTime(1000, 1, 1, 0, 0, 0, 1)));
  for (int i = 0; i < 5; ++i) {
    id.SetValue(Variant(i));
    t.SetValue(Variant::FromDate(times[i].value));
    ASSERT_EQ(ins.Execute({&id, &t, &d}), 0) << ins.Error();
    EXPECT_EQ(Api().mysql_stmt_affected_rows(ins.st), 1);
  }
  Stmt sel(h);
  ASSERT_EQ(sel.Prepare("SELECT t, d FROM stmt_times ORDER BY id"), 0);
  ASSERT_EQ(sel.Execute(), 0) << sel.Error();
  const std::vector<Row> rows = OurRows(sel);
  ASSERT_EQ(rows.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rows[static_cast<std::size_t>(i)][0], times[i].text);
    EXPECT_EQ(rows[static_cast<std::size_t>(i)][1], "1000-01-01 00:00:00.001000");
  }
  Api().mysql_close(h);
}

TEST(MySqlStmtServer, AStatementWhoseSessionWasKilled) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON h = Open(), killer = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_NE(killer, nullptr);
  Stmt s(h);
  ASSERT_EQ(s.Prepare("SELECT ?"), 0) << s.Error();
  TParamDesc p;
  p.SetDataType(dtInt32);
  p.SetValue(Variant(1));
  ASSERT_EQ(s.Execute({&p}), 0);
  Exec(killer, "KILL " + std::to_string(Api().mysql_thread_id(h)));
  // The first use after the kill fails (lost or gone), every later one
  // answers 2006 at once; nothing is read from a freed session.
  const int first = s.Execute({&p});
  EXPECT_NE(first, 0);
  EXPECT_EQ(s.Execute({&p}), cr::SERVER_GONE_ERROR) << s.Error();
  PMYSQL_ROW row = nullptr;
  EXPECT_EQ(Api()._mysql_stmt_fetch(s.st, row), cr::SERVER_GONE_ERROR);
  EXPECT_EQ(Api().mysql_ping(h), cr::SERVER_GONE_ERROR);
  Api().mysql_close(h);
  EXPECT_EQ(s.Prepare("SELECT 1"), cr::SERVER_GONE_ERROR);
  Api().mysql_close(killer);
}

// Lowers the server-wide packet limit for a moment: runs alone (see the
// "Serial" suites in tests/CMakeLists.txt).
TEST(MySqlStmtServerSerial, AValueAboveMaxAllowedPacketFailsAndTheConnectionGoesOn) {
  LUMO_REQUIRE_SERVER();
  PMYSQL_CON admin = Open();
  ASSERT_NE(admin, nullptr);
  // The limit of a new connection is the global one when it connects: set
  // for a moment and restored at once.
  Exec(admin, "SET GLOBAL max_allowed_packet = 1048576");
  PMYSQL_CON h = Open();
  Exec(admin, "SET GLOBAL max_allowed_packet = 1073741824");
  ASSERT_NE(h, nullptr);
  Exec(h, "DROP TABLE IF EXISTS stmt_large");
  Exec(h, "CREATE TABLE stmt_large (id INT PRIMARY KEY, b LONGBLOB)");
  Stmt s(h);
  ASSERT_EQ(s.Prepare("INSERT INTO stmt_large VALUES (?, ?)"), 0) << s.Error();
  TParamDesc id, b;
  id.SetDataType(dtInt32);
  id.SetValue(Variant(1));
  b.SetDataType(dtBlob);
  b.SetValue(Variant::FromBytes(std::vector<std::uint8_t>(2 * 1048576, 0x5A)));
  const int rc = s.Execute({&id, &b});
  EXPECT_NE(rc, 0);
  EXPECT_GE(rc, 1000);  // the server's error
  EXPECT_LT(rc, 2000);
  EXPECT_EQ(Api().mysql_ping(h), 0) << Api().mysql_error(h);
  // A value below the limit but above the long-data threshold goes.
  b.SetValue(Variant::FromBytes(std::vector<std::uint8_t>(300000, 0x5B)));
  ASSERT_EQ(s.Execute({&id, &b}), 0) << s.Error();
  Stmt sel(h);
  ASSERT_EQ(sel.Prepare("SELECT LENGTH(b), MIN(b) = REPEAT('[', 300000) FROM stmt_large"), 0);
  ASSERT_EQ(sel.Execute(), 0);
  EXPECT_EQ(OurRows(sel), (std::vector<Row>{{std::string("300000"), std::string("1")}}));
  Api().mysql_close(h);
  Api().mysql_close(admin);
}

}  // namespace
}  // namespace lumo
