// The direct facade against the scripted fake server: damaged column
// definitions and rows, wrong value counts, a connection dropped at every
// byte of a result, the state a failed result leaves behind, results and
// connections freed in either order, value copies, and the per-session
// query-buffer lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <lumokit/mysql/wire/MySqlApiDirect.h>
#include "support/FakeMySqlServer.h"
#include "support/Wait.h"

namespace lumo {
namespace {

using test::ColumnDef41;
using test::EofPacket;
using test::ErrPacket;
using test::FakeGreeting;
using test::FakeMySqlScript;
using test::FakeMySqlServer;
using test::FakePacket;
using test::OkPacket;
using test::TextRow;
using Packets = std::vector<std::string>;

TMySQLAPIDirect& Api() {
  RegisterMySqlApiDirect();
  return *MyAPIDirect;
}

PMYSQL_CON Connect(int port, int timeout = 5, std::uint32_t flags = 0) {
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, timeout);
  Api().SetTimeout(h, timeout);
  EXPECT_EQ(Api().mysql_real_connect(h, "127.0.0.1", "lumo", "pw", "", port, "", flags), h) << Api().mysql_error(h);
  return h;
}

int Query(PMYSQL_CON h, const std::string& sql) { return Api().mysql_real_query(h, sql.data(), sql.size()); }

// The first column of the next row ("NULL" for NULL, "<end>" at the end).
std::string Next(PMYSQL_RES r) {
  PMYSQL_ROW row = Api().mysql_fetch_row(r);
  if (!row) return "<end>";
  return Api()._mysql_fetch_value_is_null(row, 0) ? "NULL" : Api()._mysql_fetch_value_str(row, 0);
}

std::size_t WireSize(const Packets& packets) {
  std::size_t n = 0;
  for (const auto& p : packets) n += 4 + p.size();
  return n;
}

FakeMySqlScript& SendAll(FakeMySqlScript& sc, const Packets& packets) {
  for (const auto& p : packets) sc.Send(p);
  return sc;
}

// Two columns, rows (1, x), (2, NULL), (3, z).
Packets Result(std::uint16_t status = 2) {
  return {"\x02",           ColumnDef41("a"),          ColumnDef41("b"),       EofPacket(0, status),
          TextRow({"1", "x"}), TextRow({"2", nullptr}), TextRow({"3", "z"}), EofPacket(0, status)};
}

TEST(MySqlApiDirectFake, DamagedDefinitionsAndRowsRaise2027AndTheSessionRecovers) {
  struct Case {
    Packets reply;
    bool inDefinitions;
  };
  std::vector<Case> cases;
  const Packets good = Result();
  for (std::size_t k = 0; k < good[1].size(); ++k) {
    Packets r = good;
    r[1].resize(k);
    cases.push_back({r, true});
  }
  Packets tooFew = good;
  tooFew[0] = "\x03";
  Packets tooMany = good;
  tooMany[0] = "\x01";
  cases.push_back({tooFew, true});
  cases.push_back({tooMany, true});
  const std::string row = good[5];
  std::vector<std::string> badRows = {row + "\x01y", "\x01" "2", "\x01" "2\xFF", "\x01" "2\xFC\x01"};
  for (std::size_t k = 0; k < row.size(); ++k) badRows.push_back(row.substr(0, k));
  for (const auto& bad : badRows) {
    Packets r = good;
    r[5] = bad;
    cases.push_back({r, false});
  }
  Packets shortEof = good;  // an end-of-data packet of 3 bytes ends the rows
  shortEof.resize(6);
  shortEof[5] = std::string("\xFE\0\0", 3);
  cases.push_back({shortEof, false});

  FakeMySqlScript sc;
  sc.Login();
  for (const Case& c : cases) SendAll(sc.Receive(), c.reply).Receive().Send(OkPacket());
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    if (cases[i].inDefinitions) {
      EXPECT_EQ(Query(h, "SELECT a, b FROM t"), cr::MALFORMED_PACKET);
      EXPECT_EQ(Api().mysql_use_result(h), nullptr);
    } else {
      ASSERT_EQ(Query(h, "SELECT a, b FROM t"), 0);
      PMYSQL_RES r = Api().mysql_use_result(h);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(Next(r), "1");
      EXPECT_EQ(Next(r), "<end>");
      EXPECT_EQ(Next(r), "<end>");  // finished: returns at once
      Api().mysql_free_result(r);
    }
    EXPECT_EQ(Api().mysql_errno(h), static_cast<std::uint32_t>(cr::MALFORMED_PACKET));
    EXPECT_EQ(Api().mysql_error(h), "Malformed packet");
    // The rest of the reply was skipped: the connection goes on.
    EXPECT_EQ(Api().mysql_ping(h), 0) << Api().mysql_error(h);
  }
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
}

TEST(MySqlApiDirectFake, ConnectionDroppedAtEveryByteOfAResult) {
  const Packets reply = Result();
  const std::size_t login = 4 + FakeGreeting().Build().size() + 4 + OkPacket().size();
  std::vector<FakeMySqlScript> scripts;
  for (std::size_t k = 0; k < WireSize(reply); ++k) {
    FakeMySqlScript sc;
    sc.Login().Receive().CutAfter(login + k);
    scripts.push_back(SendAll(sc, reply));
  }
  FakeMySqlServer srv(scripts);
  for (std::size_t k = 0; k < scripts.size(); ++k) {
    SCOPED_TRACE(k);
    PMYSQL_CON h = Connect(srv.Port());
    int rc = Query(h, "SELECT a, b FROM t");
    PMYSQL_RES r = rc == 0 ? Api().mysql_use_result(h) : nullptr;
    if (r) {
      while (Next(r) != "<end>") {
      }
      rc = static_cast<int>(Api().mysql_errno(h));
    }
    EXPECT_EQ(rc, cr::SERVER_LOST);
    EXPECT_EQ(Api().mysql_error(h).rfind("Lost connection to MySQL server during query", 0), 0u);
    // A clean state: nothing waits, nothing is pending.
    const auto t0 = std::chrono::steady_clock::now();
    if (r) {
      EXPECT_EQ(Next(r), "<end>");
    }
    EXPECT_EQ(Api().mysql_ping(h), cr::SERVER_GONE_ERROR);
    EXPECT_EQ(Query(h, "SELECT 1"), cr::SERVER_GONE_ERROR);
    EXPECT_FALSE(Api().mysql_more_results(h));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    Api().mysql_free_result(r);
    Api().mysql_close(h);
  }
}

TEST(MySqlApiDirectFake, AFailedFetchNeverWaits) {
  // An error in place of the second row; the server then stays silent.
  Packets reply = Result(2 | server::MORE_RESULTS_EXISTS);
  reply[5] = ErrPacket(1317, "70100", "Query execution was interrupted");
  reply.resize(6);
  FakeMySqlScript sc;
  sc.Login().Receive();
  SendAll(sc, reply).Receive().Send(OkPacket()).Do([](test::FakeMySqlConnection& c) {
    FakePacket p;
    c.Receive(p, true);  // until the client hangs up
  });
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  Api().SetTimeout(h, 0);
  EXPECT_EQ(TMySQLAPIDirect::Session(h)->commandTimeout, 31536000);
  ASSERT_EQ(Query(h, "SELECT a, b FROM t"), 0);
  PMYSQL_RES r = Api().mysql_use_result(h);
  EXPECT_EQ(Next(r), "1");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Next(r), "<end>");
  EXPECT_EQ(Api().mysql_errno(h), 1317u);
  EXPECT_EQ(Api().mysql_error(h), "\r\n#70100Query execution was interrupted");
  EXPECT_EQ(Next(r), "<end>");
  EXPECT_EQ(Next(r), "<end>");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  // The error ended the reply: no further result is announced.
  EXPECT_FALSE(Api().mysql_more_results(h));
  Api().mysql_free_result(r);
  EXPECT_EQ(Api().mysql_ping(h), 0);
  Api().mysql_close(h);
}

TEST(MySqlApiDirectFake, ErrorPacketsKeepTheServersNumbers) {
  // A server may send any 16-bit number: 2013 or 2027 in an error packet is
  // the server's error, which ends the reply and leaves the connection
  // usable, and numbers above 32767 are not sign-extended.
  struct Case {
    std::uint16_t code;
    std::size_t at;  // the reply packet the error replaces: 0 count, 1 definitions, 5 rows
  };
  const std::vector<Case> cases = {{2013, 0}, {2027, 1}, {2013, 5}, {2027, 5}, {40000, 5}};
  FakeMySqlScript sc;
  sc.Login();
  for (const Case& c : cases) {
    Packets reply = Result();
    reply.resize(c.at + 1);
    reply[c.at] = ErrPacket(c.code, "HY000", "hostile");
    SendAll(sc.Receive(), reply).Receive().Send(OkPacket());
  }
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " at " + std::to_string(c.at));
    if (c.at < 5) {
      EXPECT_EQ(Query(h, "SELECT a, b FROM t"), c.code);
    } else {
      ASSERT_EQ(Query(h, "SELECT a, b FROM t"), 0);
      PMYSQL_RES r = Api().mysql_use_result(h);
      EXPECT_EQ(Next(r), "1");
      EXPECT_EQ(Next(r), "<end>");
      Api().mysql_free_result(r);
    }
    EXPECT_EQ(Api().mysql_errno(h), c.code);
    EXPECT_EQ(Api().mysql_error(h), "\r\n#HY000hostile");
    EXPECT_EQ(Api().mysql_ping(h), 0) << Api().mysql_error(h);
  }
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
}

TEST(MySqlApiDirectFake, AfterTheServerClosesTheNextCallReportsGoneAway) {
  // The server sends an error that ends the connection on its side (a query
  // over its max_allowed_packet; a connection killed while rows were read)
  // and closes it: the next call reports 2006, in plain and compressed mode.
  for (bool compress : {false, true}) {
    for (bool inRows : {false, true}) {
      SCOPED_TRACE(std::string(compress ? "compressed" : "plain") + (inRows ? ", in rows" : ""));
      FakeMySqlScript sc;
      sc.Login();
      if (compress) sc.Compress(true, true);
      sc.Receive();
      if (inRows) {
        Packets head = Result();
        head.resize(5);
        SendAll(sc, head).Send(ErrPacket(1927, "70100", "Connection was killed"));
      } else {
        sc.Send(ErrPacket(er::NET_PACKET_TOO_LARGE, "08S01", "Got a packet bigger than 'max_allowed_packet' bytes"));
      }
      sc.Close();
      FakeMySqlServer srv(sc);
      PMYSQL_CON h = Connect(srv.Port(), 5, compress ? std::uint32_t{client::COMPRESS} : 0u);
      if (inRows) {
        ASSERT_EQ(Query(h, "SELECT a, b FROM t"), 0);
        PMYSQL_RES r = Api().mysql_use_result(h);
        EXPECT_EQ(Next(r), "1");
        EXPECT_EQ(Next(r), "<end>");
        EXPECT_EQ(Api().mysql_errno(h), 1927u);
        Api().mysql_free_result(r);
      } else {
        EXPECT_EQ(Query(h, "SELECT 1"), er::NET_PACKET_TOO_LARGE);
      }
      ASSERT_TRUE(srv.WaitDone());
      EXPECT_EQ(Query(h, "SELECT 1"), cr::SERVER_GONE_ERROR);
      EXPECT_EQ(Api().mysql_error(h), "MySQL server has gone away");
      EXPECT_EQ(Api().mysql_ping(h), cr::SERVER_GONE_ERROR);
      Api().mysql_close(h);
      EXPECT_TRUE(srv.Failures().empty());
    }
  }
}

TEST(MySqlApiDirectFake, ResultsAndConnectionsFreedInAnyOrder) {
  const std::uint16_t more = 2 | server::MORE_RESULTS_EXISTS;
  Packets batch = Result(more);
  for (auto& p : Result()) batch.push_back(p);
  FakeMySqlScript sc;
  sc.Login();
  SendAll(sc.Receive(), batch);                     // two results
  sc.Receive().Send(OkPacket(1, 5, 2));             // an INSERT
  SendAll(sc.Receive(), Result());                  // closed while reading
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  Api().mysql_close(nullptr);

  ASSERT_EQ(Query(h, "SELECT 1; SELECT 2"), 0);
  PMYSQL_RES r1 = Api().mysql_use_result(h);
  EXPECT_EQ(Api().mysql_use_result(h), nullptr);  // taken already
  EXPECT_EQ(Query(h, "SELECT 3"), cr::COMMANDS_OUT_OF_SYNC);
  EXPECT_EQ(Api().mysql_error(h), "Commands out of sync;  You can't run this command now");
  EXPECT_EQ(Api().mysql_next_result(h), cr::COMMANDS_OUT_OF_SYNC);
  EXPECT_EQ(Api().mysql_error(h), "Commands out of sync;  You can't run this command now\r\nmysql.status = 2");
  while (Next(r1) != "<end>") {
  }
  EXPECT_EQ(Api().mysql_num_rows(r1), 3);
  EXPECT_TRUE(Api().mysql_more_results(h));
  EXPECT_EQ(Api().mysql_next_result(h), 0);
  PMYSQL_RES r2 = Api().mysql_use_result(h);
  EXPECT_EQ(Next(r2), "1");
  Api().mysql_free_result(r1);  // the finished first result leaves the second alone
  EXPECT_EQ(Next(r2), "2");
  Api().mysql_free_result(r2);  // skips the third row
  EXPECT_FALSE(Api().mysql_more_results(h));
  EXPECT_EQ(Api().mysql_next_result(h), -1);
  EXPECT_EQ(Api().mysql_affected_rows(h), -1);

  ASSERT_EQ(Query(h, "INSERT INTO t VALUES (1)"), 0);
  EXPECT_EQ(Api().mysql_use_result(h), nullptr);
  EXPECT_EQ(Api().mysql_affected_rows(h), 1);
  EXPECT_EQ(Api().mysql_insert_id(h), 5);
  EXPECT_EQ(Api().mysql_field_count(h), 0u);

  ASSERT_EQ(Query(h, "SELECT a, b FROM t"), 0);
  PMYSQL_RES open = Api().mysql_use_result(h);
  EXPECT_EQ(Next(open), "1");
  Api().mysql_close(h);  // the open result is detached, not left dangling
  EXPECT_EQ(Next(open), "<end>");
  Api().mysql_free_result(open);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
}

TEST(MySqlApiDirectFake, ValuesAndFields) {
  FakeMySqlScript sc;
  sc.Login().Receive();
  SendAll(sc, {"\x03", ColumnDef41("s"), ColumnDef41("n"), ColumnDef41("e"), EofPacket(),
               TextRow({"hello", nullptr, ""}), EofPacket()});
  FakeMySqlServer srv(sc);
  PMYSQL_CON h = Connect(srv.Port());
  ASSERT_EQ(Query(h, "SELECT s, n, e FROM t"), 0);
  PMYSQL_RES r = Api().mysql_store_result(h);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Api().mysql_num_rows(r), 1);
  EXPECT_EQ(Api().mysql_num_fields(r), 3u);
  TMYSQL_FIELD f;
  Api()._mysql_fetch_field_direct(r, 1, f, true);
  EXPECT_EQ(f.Name, "n");
  EXPECT_EQ(f.MyType, MYSQL_TYPE_VAR_STRING);
  EXPECT_EQ(f.LengthInBytes, 255);
  EXPECT_EQ(f.CharsetNr, 45u);
  EXPECT_THROW(Api()._mysql_fetch_field_direct(r, 3, f, false), EArgumentError);
  EXPECT_EQ(TMySQLAPI::CorrectFieldLen(70000), 65535);

  PMYSQL_ROW row = Api().mysql_fetch_row(r);
  ASSERT_NE(row, nullptr);
  std::uint32_t lens[3];
  Api()._mysql_fetch_lengths(r, lens);
  EXPECT_EQ(lens[0], 5u);
  EXPECT_EQ(lens[1], 0u);
  EXPECT_THROW(Api()._mysql_fetch_lengths(r, std::span<std::uint32_t>(lens, 2)), EArgumentError);
  EXPECT_TRUE(Api()._mysql_fetch_value_is_null(row, 1));
  EXPECT_FALSE(Api()._mysql_fetch_value_is_null(row, 2));
  EXPECT_EQ(Api()._mysql_fetch_value_ptr(r, row, 1), nullptr);
  EXPECT_EQ(std::string(Api()._mysql_fetch_value_ptr(r, row, 0), 5), "hello");
  std::int32_t off = 0;
  const std::uint8_t* bytes = Api()._mysql_fetch_value_arr(row, 0, off);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes) + off, 5), "hello");
  // Copies are clamped to the value; a span is never overrun.
  std::uint8_t buf[16];
  std::fill(std::begin(buf), std::end(buf), '#');
  EXPECT_EQ(Api()._mysql_fetch_value_to_buff(row, 0, 1000, buf), 5u);
  EXPECT_EQ(buf[5], '#');
  EXPECT_EQ(Api()._mysql_fetch_value_to_str(row, 0, 3, 2, std::span<std::uint8_t>(buf)), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), std::string("he" "hel\0", 6));
  EXPECT_EQ(Api()._mysql_fetch_value_to_str(row, 1, 100, buf), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_THROW(Api()._mysql_fetch_value_to_str(row, 0, 100, 11, std::span<std::uint8_t>(buf)), EArgumentError);
  EXPECT_EQ(Api()._mysql_fetch_value_to_buff(row, 0, 100, 11, std::span<std::uint8_t>(buf)), 5u);
  EXPECT_THROW(Api()._mysql_fetch_value_str(row, 3), EArgumentError);
  EXPECT_EQ(Api().mysql_fetch_row(r), nullptr);
  EXPECT_THROW(Api().mysql_fetch_row(nullptr), EMySqlException);
  Api().mysql_free_result(r);
  Api().mysql_close(h);
  EXPECT_THROW(Api().mysql_ping(nullptr), EMySqlException);
}

TEST(MySqlApiDirectFake, AStalledServerDoesNotHoldUpOtherConnections) {
  // The stalled server reads only the header of a large query and then
  // nothing until the other connection has had its answer, so the first
  // query stays blocked in sending.
  test::FakeLatch sending, otherAnswered;
  FakeMySqlServer stalled(
      FakeMySqlScript().Login().AwaitClient().Release(sending).Await(otherAnswered, 60000).Receive().Send(OkPacket()));
  FakeMySqlServer quick(FakeMySqlScript().Login().Receive().Send(OkPacket()));
  PMYSQL_CON a = Connect(stalled.Port(), 60);
  PMYSQL_CON b = Connect(quick.Port());
  const std::string big = "SELECT '" + std::string(64 << 20, 'x') + "'";
  std::atomic<bool> aDone{false};
  std::thread t([&] {
    EXPECT_EQ(Query(a, big), 0) << Api().mysql_error(a);
    aDone = true;
  });
  EXPECT_TRUE(sending.Wait());
  auto other = std::async(std::launch::async, [&] { return Query(b, "DO 1"); });
  // Held up, the other query would only end once the stalled one can go on.
  EXPECT_EQ(other.wait_for(std::chrono::milliseconds(test::kPatienceMs)), std::future_status::ready);
  EXPECT_FALSE(aDone);
  otherAnswered.Release();
  t.join();
  EXPECT_EQ(other.get(), 0) << Api().mysql_error(b);
  EXPECT_TRUE(stalled.Failures().empty());
  Api().mysql_close(a);
  Api().mysql_close(b);
}

// TLS asked for with mysql_ssl_set stays asked for when a protocol is
// chosen afterwards: a server without TLS is refused before any
// credential is sent.
TEST(MySqlApiDirectFake, TlsIsNotDroppedByALaterProtocolChoice) {
  FakeMySqlServer srv(FakeMySqlScript().Send(FakeGreeting().Build()));
  PMYSQL_CON h = Api().mysql_init(nullptr);
  Api().mysql_options(h, MYSQL_OPT_CONNECT_TIMEOUT, 5);
  Api().mysql_ssl_set(h, "", "", "", "", "");
  Api().mysql_options(h, MYSQL_OPT_PROTOCOL, MYSQL_PROTOCOL_TCP);
  EXPECT_EQ(Api().mysql_real_connect(h, "127.0.0.1", "lumo", "pw", "", srv.Port(), "", 0), nullptr);
  EXPECT_EQ(Api().mysql_errno(h), 2026u);
  EXPECT_EQ(Api().mysql_get_host_info(h), "127.0.0.1 via SSL");
  Api().mysql_close(h);
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Received().empty());
}


}  // namespace
}  // namespace lumo
