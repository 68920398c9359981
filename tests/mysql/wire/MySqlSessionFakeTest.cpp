// The session against the scripted fake server: handshakes of old and new
// servers, truncated and malformed replies at every step, dropped
// connections, LOCAL INFILE requests (honoured and refused), draining of
// results and the compressed protocol.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include <lumokit/mysql/wire/MySqlSession.h>
#include "support/FakeMySqlServer.h"

namespace lumo {
namespace {

using test::ColumnDef41;
using test::EofPacket;
using test::ErrPacket;
using test::FakeGreeting;
using test::FakeMySqlScript;
using test::FakeMySqlServer;
using test::FakePacket;
using test::LenEnc;
using test::OkPacket;
using test::TextRow;

const std::string Password = "s3cr3t-Pa55";

std::unique_ptr<TMySqlSession> NewSession() {
  auto s = std::make_unique<TMySqlSession>();
  s->connectTimeout = 5;
  s->commandTimeout = 5;
  return s;
}

void ConnectTo(TMySqlSession& s, const FakeMySqlServer& srv, const std::string& db = "",
               std::uint32_t flags = 0) {
  s.Connect("127.0.0.1", "lumo", Password, db, srv.Port(), "", flags);
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

const std::uint8_t* U8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// The query packet the client sends, as the fake server sees it.
std::string Query(const std::string& sql) { return "\x03" + sql; }

TEST(MySqlSessionFake, NativeLoginCommandsAndClose) {
  FakeGreeting g;
  FakeMySqlServer srv(FakeMySqlScript()
                          .Login(g)
                          .Receive()  // ping
                          .Send(OkPacket())
                          .Receive()  // statistics
                          .Send("Uptime: 5  Threads: 1")
                          .Receive()  // init db
                          .Send(OkPacket()));
  auto s = NewSession();
  s->charset = "utf8";
  ConnectTo(*s, srv, "vexa", client::MULTI_STATEMENTS);
  EXPECT_EQ(s->serverVersion, "5.5.5-10.11.6-MariaDB");
  EXPECT_EQ(s->threadId, 7);
  EXPECT_EQ(s->hostInfo, "127.0.0.1 via TCP/IP");
  EXPECT_TRUE(s->protocol41());
  EXPECT_EQ(s->database, "vexa");
  s->Ping();
  EXPECT_EQ(s->Statistics(), "Uptime: 5  Threads: 1");
  s->SelectDb("other");
  EXPECT_EQ(s->database, "other");
  s->Close();
  s->Close();  // does nothing
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());

  auto rx = srv.Received();
  ASSERT_EQ(rx.size(), 5u);
  // The handshake response, numbered 1.
  EXPECT_EQ(rx[0].Seq, 1);
  TMySqlPacketReader r(U8(rx[0].Payload), rx[0].Payload.size());
  const std::uint32_t flags = r.ReadUInt32();
  EXPECT_TRUE(flags & client::MULTI_RESULTS);
  EXPECT_TRUE(flags & client::PROTOCOL_41);
  EXPECT_FALSE(flags & client::COMPRESS);
  EXPECT_EQ(r.ReadUInt32(), MaxAllowedPacket);
  EXPECT_EQ(r.ReadByte(), 45);  // utf8 asks for utf8mb4 on this server
  r.Skip(23);
  EXPECT_EQ(r.ReadString(), "lumo");
  ASSERT_EQ(r.ReadByte(), 20);
  std::string token = r.ReadString(20);
  auto expected = Scramble41(Password, U8(g.Scramble));
  EXPECT_EQ(token, std::string(expected.begin(), expected.end()));
  EXPECT_EQ(r.ReadString(), "vexa");
  // Commands start a new numbering.
  EXPECT_EQ(rx[1].Payload, "\x0E");
  EXPECT_EQ(rx[1].Seq, 0);
  EXPECT_EQ(rx[2].Payload, "\x09");
  EXPECT_EQ(rx[3].Payload, "\x02other");
  EXPECT_EQ(rx[4].Payload, "\x01");  // one QUIT only
}

TEST(MySqlSessionFake, OldServersAndOldPasswords) {
  // A 4.0 server: no PROTOCOL_41, no SECURE_CONNECTION, no 4.1 greeting part.
  FakeGreeting g40;
  g40.ServerVersion = "4.0.27-log";
  g40.Capabilities = client::LONG_PASSWORD | client::LONG_FLAG | client::CONNECT_WITH_DB | client::TRANSACTIONS;
  g40.With41Part = false;
  // The 4.0 OK packet: no warning count.
  const std::string ok40 = std::string("\0\0\0\x02\0", 5);
  FakeMySqlServer srv40(FakeMySqlScript().Send(g40.Build()).Receive().Send(ok40));
  auto s = NewSession();
  s->AuthSettings().SecureAuth = false;  // plain TCP: allowed only when asked for
  ConnectTo(*s, srv40, "db40");
  EXPECT_FALSE(s->protocol41());
  s->Close();
  ASSERT_TRUE(srv40.WaitDone());
  auto rx = srv40.Received();
  ASSERT_FALSE(rx.empty());
  TMySqlPacketReader r(U8(rx[0].Payload), rx[0].Payload.size());
  EXPECT_FALSE(r.ReadUInt16() & client::PROTOCOL_41);
  EXPECT_EQ(r.ReadInt24(), 0u);  // 3-byte maximum packet size: 0
  EXPECT_EQ(r.ReadString(), "lumo");
  auto t323 = Scramble323(Password, U8(g40.Scramble));
  EXPECT_EQ(r.ReadString(), std::string(t323.begin(), t323.end()));
  EXPECT_EQ(r.ReadString(), "db40");
  EXPECT_TRUE(r.AtEnd());

  // A 4.1 server that asks for the pre-4.1 token with a single 0xFE.
  FakeGreeting g;
  FakeMySqlServer srvFe(FakeMySqlScript().Send(g.Build()).Receive().Send("\xFE").Receive().Send(OkPacket()));
  auto f = NewSession();
  f->AuthSettings().SecureAuth = false;
  ConnectTo(*f, srvFe);
  f->Close();
  ASSERT_TRUE(srvFe.WaitDone());
  rx = srvFe.Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[1].Seq, 3);
  EXPECT_EQ(rx[1].Payload, std::string(t323.begin(), t323.end()) + '\0');

  // Otherwise the pre-4.1 scramble is refused over plain TCP before any of
  // it is sent: to a 4.0 server (not even the response goes out), after a
  // 0xFE request, after the 4.1.0 exchange's "*" reply, and on a switch to
  // mysql_old_password (in both forms; a server that names it first gets
  // the native answer).
  std::string star(24, 'A');
  star[0] = '*';
  FakeGreeting plugins;
  plugins.UpperCapabilities = client::PLUGIN_AUTH >> 16;
  FakeGreeting oldFirst = plugins;
  oldFirst.AuthPlugin = "mysql_old_password";
  FakeMySqlServer refused(std::vector<FakeMySqlScript>{
      FakeMySqlScript().Send(g40.Build()), FakeMySqlScript().Send(g.Build()).Receive().Send("\xFE"),
      FakeMySqlScript().Send(g.Build()).Receive().Send(star),
      FakeMySqlScript().Send(plugins.Build()).Receive().Send(std::string("\xFEmysql_old_password\0", 20) +
                                                              "01234567" + '\0'),
      FakeMySqlScript().Send(oldFirst.Build()).Receive().Send("\xFE")});
  for (int i = 0; i < 5; ++i) {
    auto r = NewSession();
    std::string msg;
    EXPECT_EQ(ErrorOf([&] { ConnectTo(*r, refused); }, &msg), cr::SECURE_AUTH) << i;
    EXPECT_EQ(msg, "Connection using old (pre-4.1.1) authentication protocol refused (client option "
                   "'secure_auth' enabled)");
  }
  ASSERT_TRUE(refused.WaitDone(5));
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(refused.Received(i).size(), i == 0 ? 0u : 1u) << i;  // at most the 4.1 response
}

TEST(MySqlSessionFake, The410Exchange) {
  FakeGreeting g;
  std::string reply(24, '\0');
  for (int i = 0; i < 24; ++i) reply[i] = static_cast<char>('A' + i);
  std::string starReply = reply;
  starReply[0] = '*';
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{
      FakeMySqlScript().Send(g.Build()).Receive().Send(reply).Receive().Send(OkPacket()),
      FakeMySqlScript().Send(g.Build()).Receive().Send(starReply).Receive().Send(OkPacket())});
  auto a = NewSession();
  ConnectTo(*a, srv);
  a->Close();
  auto b = NewSession();
  b->AuthSettings().SecureAuth = false;  // its "*" reply asks for the pre-4.1 token
  ConnectTo(*b, srv);
  b->Close();
  ASSERT_TRUE(srv.WaitDone(2));
  auto rxA = srv.Received(0), rxB = srv.Received(1);
  ASSERT_EQ(rxA.size(), 3u);
  ASSERT_EQ(rxB.size(), 3u);
  auto answer = Answer410(Password, U8(reply));
  EXPECT_EQ(rxA[1].Payload, std::string(answer.begin(), answer.end()));
  // '*': bytes 4..23 are the new scramble for the pre-4.1 token.
  auto t323 = Scramble323(Password, U8(starReply) + 4);
  EXPECT_EQ(rxB[1].Payload, std::string(t323.begin(), t323.end()) + '\0');
}

TEST(MySqlSessionFake, WrongProtocolAndRecoveryOnTheSameSession) {
  FakeGreeting v9;
  v9.ProtocolVersion = 9;
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{FakeMySqlScript().Send(v9.Build()),
                                                   FakeMySqlScript().Login().Receive().Send(OkPacket())});
  auto s = NewSession();
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(*s, srv); }, &msg), cr::VERSION_ERROR);
  EXPECT_EQ(msg, "Protocol mismatch. Server Version = 9 Client Version = 10");
  EXPECT_EQ(s->Net().vio(), nullptr);
  ConnectTo(*s, srv);
  s->Ping();
}

// Every prefix of the greeting, sent as a complete packet, then the server
// hangs up; and every cut of the raw bytes.
TEST(MySqlSessionFake, TruncatedGreetings) {
  const std::string greeting = FakeGreeting().Build();
  std::vector<FakeMySqlScript> scripts;
  for (std::size_t n = 0; n <= greeting.size(); ++n)
    scripts.push_back(FakeMySqlScript().Send(greeting.substr(0, n)).Receive().Close());
  for (std::size_t n = 0; n < greeting.size() + 4; ++n)
    scripts.push_back(FakeMySqlScript().CutAfter(n).Send(greeting));
  FakeMySqlServer srv(scripts);
  const std::size_t filler = 1 + 22 + 4 + 8;
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    auto s = NewSession();
    // A greeting cut before its capability flags reads as a pre-4.1
    // server's: the old scramble is allowed, so the response goes out.
    s->AuthSettings().SecureAuth = false;
    std::string msg;
    const int code = ErrorOf([&] { ConnectTo(*s, srv); }, &msg);
    if (i <= greeting.size() && i < filler) {
      EXPECT_EQ(code, cr::MALFORMED_PACKET) << i;
    } else {
      EXPECT_EQ(code, cr::SERVER_LOST) << i;
    }
    EXPECT_EQ(msg.find(Password), std::string::npos);
    EXPECT_EQ(s->Net().vio(), nullptr) << i;
  }
}

TEST(MySqlSessionFake, MalformedRepliesDuringTheHandshake) {
  const FakeGreeting g;
  struct Case {
    std::string reply;
    int code;
  } cases[] = {
      {"", cr::MALFORMED_PACKET},                                // empty reply
      {"\x05garbage", cr::SERVER_HANDSHAKE_ERR},                 // neither OK nor a request
      {"\xFE" "mysql_native_password", cr::SERVER_HANDSHAKE_ERR},  // auth switch not negotiated
      {std::string("\0", 1), cr::MALFORMED_PACKET},             // OK cut short
      {"\xFF\x15", cr::MALFORMED_PACKET},                        // error packet without a full code
      {ErrPacket(1045, "28000", "Access denied for user 'lumo'@'localhost' (using password: YES)"), 1045},
  };
  std::vector<FakeMySqlScript> scripts;
  for (const auto& c : cases) scripts.push_back(FakeMySqlScript().Send(g.Build()).Receive().Send(c.reply));
  FakeMySqlServer srv(scripts);
  for (const auto& c : cases) {
    auto s = NewSession();
    std::string msg;
    EXPECT_EQ(ErrorOf([&] { ConnectTo(*s, srv); }, &msg), c.code) << c.reply;
    EXPECT_EQ(msg.find(Password), std::string::npos);
    if (c.code == 1045) {
      EXPECT_EQ(msg, "\r\n#28000Access denied for user 'lumo'@'localhost' (using password: YES)");
    }
  }
}

TEST(MySqlSessionFake, DroppedMidHandshakeThenCleanState) {
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{FakeMySqlScript().Send(FakeGreeting().Build()).Receive().Close(),
                                                   FakeMySqlScript().Login().Receive().Send(OkPacket())});
  auto s = NewSession();
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(*s, srv); }, &msg), cr::SERVER_LOST);
  EXPECT_EQ(msg.rfind("Lost connection to MySQL server during query", 0), 0u);
  EXPECT_EQ(s->Net().vio(), nullptr);
  EXPECT_EQ(s->status, msReady);
  // Without a transport, a command reports that the server has gone.
  EXPECT_EQ(ErrorOf([&] { s->Ping(); }), cr::SERVER_GONE_ERROR);
  ConnectTo(*s, srv);
  s->Ping();
  s->Close();
  EXPECT_EQ(ErrorOf([&] { s->Ping(); }), cr::SERVER_GONE_ERROR);
}

TEST(MySqlSessionFake, MalformedQueryReplies) {
  struct Case {
    std::vector<std::string> reply;
    int code;
  } cases[] = {
      {{""}, cr::MALFORMED_PACKET},                                          // empty reply
      {{"\xFC\x01"}, cr::MALFORMED_PACKET},                                  // column count cut short
      {{"\xFE\x01\x02\x03"}, cr::MALFORMED_PACKET},                          // 8-byte count cut short
      {{std::string("\xFE\0\0\0\0\0\0\0\x80", 9)}, cr::MALFORMED_PACKET},    // absurd count
      {{std::string("\0\xFC", 2)}, cr::MALFORMED_PACKET},                    // OK cut short
      {{"\x01", ColumnDef41("a"), "\x01\x02"}, cr::MALFORMED_PACKET},       // no EOF after the columns
      {{"\x01", ColumnDef41("a"), "\xFE\x01\x02"}, cr::MALFORMED_PACKET},   // EOF of 3 bytes
      {{"\x01", ""}, cr::MALFORMED_PACKET},                                  // empty column definition
      {{ErrPacket(1146, "42S02", "Table 'vexa.nosuch' doesn't exist")}, 1146},
  };
  std::vector<FakeMySqlScript> scripts;
  for (const auto& c : cases) {
    FakeMySqlScript sc;
    sc.Login().Receive();
    for (const auto& p : c.reply) sc.Send(p);
    scripts.push_back(sc);
  }
  FakeMySqlServer srv(scripts);
  for (const auto& c : cases) {
    auto s = NewSession();
    ConnectTo(*s, srv);
    const std::string q = "SELECT a FROM t";
    s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
    std::string msg;
    EXPECT_EQ(ErrorOf([&] { s->ReadQueryResult(); }, &msg), c.code) << c.reply[0];
    if (c.code == 1146) {
      EXPECT_EQ(msg, "\r\n#42S02Table 'vexa.nosuch' doesn't exist");
    }
  }
}

TEST(MySqlSessionFake, OutOfOrderReply) {
  FakeMySqlServer srv(FakeMySqlScript().Login().Receive().SendSeq(OkPacket(), 7));
  auto s = NewSession();
  ConnectTo(*s, srv);
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { s->Ping(); }, &msg), er::NET_PACKETS_OUT_OF_ORDER);
  EXPECT_EQ(msg, "\r\nReceiveHeader: Net packets out of order: received[7], expected[1]");
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

std::string FileContent(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 10 == 9 ? '\n' : '0' + i % 10);
  return s;
}

TEST(MySqlSessionFake, LocalInfileIsSentInChunks) {
  TempFile file(FileContent(20000));
  FakeMySqlServer srv(FakeMySqlScript()
                          .Login()
                          .Receive()
                          .Send("\xFB" + file.Path())
                          .ReceiveUntilEmpty()
                          .Send(OkPacket(2000, 0, 2, 0, "Records: 2000  Deleted: 0  Skipped: 0  Warnings: 0")));
  auto s = NewSession();
  ConnectTo(*s, srv);
  const std::string q = "LOAD DATA LOCAL INFILE '" + file.Path() + "' INTO TABLE t";
  s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
  s->ReadQueryResult();
  EXPECT_EQ(s->fieldCount, 0);
  EXPECT_EQ(s->affectedRows, 2000);
  EXPECT_EQ(s->info, "Records: 2000  Deleted: 0  Skipped: 0  Warnings: 0");
  s->Close();
  ASSERT_TRUE(srv.WaitDone());
  auto rx = srv.Received();
  ASSERT_EQ(rx.size(), 7u);  // response, query, 3 chunks, empty, quit
  EXPECT_EQ(rx[1].Payload, Query(q));
  const std::size_t sizes[] = {8192, 8192, 3616, 0};
  std::string sent;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rx[2 + i].Payload.size(), sizes[i]);
    EXPECT_EQ(rx[2 + i].Seq, 2 + i);
    sent += rx[2 + i].Payload;
  }
  EXPECT_EQ(sent, FileContent(20000));
}

TEST(MySqlSessionFake, RogueLocalInfileRequestsAreRefused) {
  TempFile secret("not for the server");
  TempFile named(FileContent(10));
  auto refused = [&](const std::string& asked) {
    return FakeMySqlScript().Login().Receive().Send("\xFB" + asked).ReceiveUntilEmpty().Send(OkPacket()).Receive().Send(
        OkPacket());
  };
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{
      refused(secret.Path()),  // a SELECT answered with a file request
      refused(secret.Path()),  // a LOAD naming another file
      refused(named.Path()),   // local files disabled
  });
  const std::string select = "SELECT 1";
  const std::string load = "LOAD DATA LOCAL INFILE '" + named.Path() + "' INTO TABLE t";
  const std::string other = "LOAD DATA LOCAL INFILE '/tmp/other.csv' INTO TABLE t";
  for (int i = 0; i < 3; ++i) {
    auto s = NewSession();
    if (i == 2) s->SetLocalInfile(false);
    ConnectTo(*s, srv);
    const std::string& q = i == 0 ? select : i == 1 ? other : load;
    s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
    std::string msg;
    EXPECT_EQ(ErrorOf([&] { s->ReadQueryResult(); }, &msg), cr::LOAD_DATA_LOCAL_INFILE_REJECTED) << i;
    EXPECT_NE(msg.find("was not sent"), std::string::npos) << msg;
    // The exchange was completed: the session goes on.
    s->Ping();
    s->Close();
  }
  ASSERT_TRUE(srv.WaitDone(3));
  // Per connection: response, query, empty packet, ping, quit.
  for (int i = 0; i < 3; ++i) {
    auto rx = srv.Received(i);
    ASSERT_EQ(rx.size(), 5u) << i;
    for (const auto& p : rx) EXPECT_EQ(p.Payload.find("not for the server"), std::string::npos);
    EXPECT_EQ(rx[2].Payload, "") << i;
    // With local files disabled the capability is not announced.
    EXPECT_EQ((TMySqlPacketReader(U8(rx[0].Payload), 4).ReadUInt32() & client::LOCAL_FILES) != 0, i != 2);
  }
}

TEST(MySqlSessionFake, LocalInfileRequestedTwiceSendsOnce) {
  TempFile named(FileContent(10));
  FakeMySqlServer srv(FakeMySqlScript()
                          .Login()
                          .Receive()
                          .Send("\xFB" + named.Path())
                          .ReceiveUntilEmpty()
                          .Send("\xFB" + named.Path())
                          .ReceiveUntilEmpty()
                          .Send(OkPacket()));
  auto s = NewSession();
  ConnectTo(*s, srv);
  const std::string q = "load data local infile '" + named.Path() + "' into table t";
  s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
  EXPECT_EQ(ErrorOf([&] { s->ReadQueryResult(); }), cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
  s->Close();
  ASSERT_TRUE(srv.WaitDone());
  auto rx = srv.Received();
  ASSERT_EQ(rx.size(), 6u);  // response, query, file, empty, empty (refusal), quit
  EXPECT_EQ(rx[2].Payload, FileContent(10));
  EXPECT_EQ(rx[3].Payload, "");
  EXPECT_EQ(rx[4].Payload, "");
}

TEST(MySqlSessionFake, LocalInfileNamesOfStatements) {
  EXPECT_EQ(LocalInfileNames("LOAD DATA LOCAL INFILE '/tmp/a.csv' INTO TABLE t", false),
            std::vector<std::string>{"/tmp/a.csv"});
  EXPECT_EQ(LocalInfileNames("/* c */ load data low_priority local infile \"x\"'y' into table t;"
                             " -- LOAD DATA LOCAL INFILE 'no'\n LOAD XML LOCAL INFILE 'it''s' INTO TABLE u",
                             false),
            (std::vector<std::string>{"xy", "it's"}));
  EXPECT_EQ(LocalInfileNames("LOAD DATA LOCAL INFILE 'C:\\\\dir\\\\f.txt' INTO TABLE t", false),
            std::vector<std::string>{"C:\\dir\\f.txt"});
  EXPECT_EQ(LocalInfileNames("LOAD DATA LOCAL INFILE 'C:\\dir' INTO TABLE t", true),
            std::vector<std::string>{"C:\\dir"});
  // Literals apart are joined; a control byte is read past.
  EXPECT_EQ(LocalInfileNames("SELECT \x01; LOAD DATA LOCAL INFILE 'a' \"b\" 'c''d' INTO TABLE t", false),
            std::vector<std::string>{"abc'd"});
  // Not at the start of a statement, in a literal, or without LOCAL.
  EXPECT_TRUE(LocalInfileNames("SELECT 'LOAD DATA LOCAL INFILE ''/etc/passwd'''", false).empty());
  EXPECT_TRUE(LocalInfileNames("SELECT 1 FROM t WHERE a = 'x'; SELECT 2 LOAD DATA LOCAL INFILE 'y'", false).empty());
  EXPECT_TRUE(LocalInfileNames("LOAD DATA INFILE '/srv/file' INTO TABLE t", false).empty());
  EXPECT_TRUE(LocalInfileNames("SELECT 1; LOAD DATA LOCAL INFILE", false).empty());
}

// A result of one column and `rows` rows; `status` goes into both EOFs.
std::vector<std::string> ResultSet(int rows, std::uint16_t status) {
  std::vector<std::string> r = {"\x01", ColumnDef41("v"), EofPacket(0, status)};
  for (int i = 0; i < rows; ++i) r.push_back(TextRow({std::to_string(i).c_str()}));
  r.push_back(EofPacket(0, status));
  return r;
}

FakeMySqlScript& SendAll(FakeMySqlScript& sc, const std::vector<std::string>& packets) {
  for (const auto& p : packets) sc.Send(p);
  return sc;
}

TEST(MySqlSessionFake, UnreadableLocalFilesEndTheExchangeAndKeepTheBatch) {
  const std::uint16_t more = 2 | server::MORE_RESULTS_EXISTS;
  char dir[] = "/tmp/lumo-infile-dir-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string missing = "/nonexistent/lumo.csv";
  // A missing file in a batch: the server's OK announces the next result,
  // which the session skips before the ping. A directory (a read error):
  // the server's error reply wins and ends the batch.
  FakeMySqlScript first;
  first.Login().Receive().Send("\xFB" + missing).ReceiveUntilEmpty().Send(OkPacket(0, 0, more));
  SendAll(first, ResultSet(1, 2)).Receive().Send(OkPacket());
  FakeMySqlServer srv(std::vector<FakeMySqlScript>{
      first, FakeMySqlScript()
                 .Login()
                 .Receive()
                 .Send("\xFB" + std::string(dir))
                 .ReceiveUntilEmpty()
                 .Send(ErrPacket(1261, "01000", "Row 1 doesn't contain data for all columns"))
                 .Receive()
                 .Send(OkPacket())});
  for (const std::string& file : {missing, std::string(dir)}) {
    auto s = NewSession();
    ConnectTo(*s, srv, "", client::MULTI_STATEMENTS);
    const std::string q = "LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE t; SELECT 7";
    s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
    std::string msg;
    const int code = ErrorOf([&] { s->ReadQueryResult(); }, &msg);
    if (file == missing) {
      EXPECT_EQ(code, cr::LOAD_DATA_LOCAL_INFILE_REJECTED);
      EXPECT_NE(msg.find("The server asked for the local file '/nonexistent/lumo.csv', but it cannot be opened: "
                         "No such file or directory; the file was not sent"),
                std::string::npos)
          << msg;
      EXPECT_TRUE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    } else {
      EXPECT_EQ(code, 1261) << msg;
      EXPECT_FALSE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    }
    s->Ping();
    s->Close();
  }
  ASSERT_TRUE(srv.WaitDone(2));
  EXPECT_TRUE(srv.Failures().empty());
  ::rmdir(dir);
  // Response, query, empty packet, ping, quit: the skipped result was read
  // without a command of its own.
  for (int i = 0; i < 2; ++i) {
    auto rx = srv.Received(i);
    ASSERT_EQ(rx.size(), 5u) << i;
    EXPECT_EQ(rx[2].Payload, "") << i;
    EXPECT_EQ(rx[3].Payload, "\x0E") << i;
  }
}

TEST(MySqlSessionFake, PendingResultsAndFreeQuery) {
  for (bool compress : {false, true}) {
    const std::uint16_t more = 2 | server::MORE_RESULTS_EXISTS;
    std::vector<std::string> batch = ResultSet(3, more);
    batch.push_back(OkPacket(1, 0, more));
    for (auto& p : ResultSet(2, 2)) batch.push_back(p);
    FakeMySqlScript sc;
    sc.Login();
    if (compress) sc.Compress(true, true);
    sc.Receive();
    // The whole batch: in compressed mode packets of later results travel
    // in the same compressed packets as earlier ones.
    SendAll(sc, batch).Receive().Send(OkPacket());
    FakeMySqlServer srv(sc);
    auto s = NewSession();
    ConnectTo(*s, srv, "", compress ? std::uint32_t{client::COMPRESS} : 0u);
    EXPECT_EQ(s->Net().Compress(), compress);
    const std::string q = "SELECT v FROM a; UPDATE b SET c = 1; SELECT v FROM d";
    s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
    s->ReadQueryResult();
    EXPECT_EQ(s->fieldCount, 1);
    EXPECT_EQ(s->status, msGetResult);
    ASSERT_EQ(s->fields.size(), 1u);
    // A command while rows are pending is out of sync.
    std::string msg;
    EXPECT_EQ(ErrorOf([&] { s->Ping(); }, &msg), cr::COMMANDS_OUT_OF_SYNC);
    EXPECT_EQ(msg, "Commands out of sync;  You can't run this command now");
    s->FreeQuery();
    EXPECT_EQ(s->status, msReady);
    EXPECT_TRUE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    // Further results announced: still out of sync until they are read.
    EXPECT_EQ(ErrorOf([&] { s->Ping(); }), cr::COMMANDS_OUT_OF_SYNC);
    s->ReadQueryResult();
    EXPECT_EQ(s->fieldCount, 0);
    EXPECT_EQ(s->affectedRows, 1);
    s->ReadQueryResult();
    EXPECT_EQ(s->fieldCount, 1);
    s->FreeQuery();
    EXPECT_FALSE(s->serverStatus & server::MORE_RESULTS_EXISTS);
    s->Ping();
    s->Close();
    ASSERT_TRUE(srv.WaitDone()) << compress;
    EXPECT_TRUE(srv.Failures().empty()) << compress;
  }
}

TEST(MySqlSessionFake, CompressedRepliesSharingOnePacket) {
  // Rows, the EOF and the next result's packets inside one compressed
  // packet: nothing that follows the EOF may be lost.
  const std::uint16_t more = 2 | server::MORE_RESULTS_EXISTS;
  std::vector<std::string> batch = ResultSet(50, more);
  for (auto& p : ResultSet(1, 2)) batch.push_back(p);
  FakeMySqlScript sc;
  sc.Login().Compress(true).Receive().Do([batch](test::FakeMySqlConnection& c) {
    // One compressed packet (sequence 1) carrying plain packets 1...
    std::string plain;
    std::uint8_t seq = 1;
    for (const auto& p : batch) {
      const auto n = static_cast<std::uint32_t>(p.size());
      plain += std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                           static_cast<char>(n >> 16), static_cast<char>(seq++)};
      plain += p;
    }
    const auto n = static_cast<std::uint32_t>(plain.size());
    c.SendRaw(std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n >> 16),
                          1, 0, 0, 0} +
              plain);
  });
  sc.Receive().Send(OkPacket());
  FakeMySqlServer srv(sc);
  auto s = NewSession();
  ConnectTo(*s, srv, "", client::COMPRESS);
  const std::string q = "SELECT v FROM a; SELECT v FROM b";
  s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
  s->ReadQueryResult();
  s->FreeQuery();
  s->ReadQueryResult();
  EXPECT_EQ(s->fieldCount, 1);
  s->FreeQuery();
  EXPECT_EQ(s->status, msReady);
  s->Ping();
}

TEST(MySqlSessionFake, FreeQueryStopsAtErrorsAndReadsTheCallStatus) {
  // An error in place of a row: raised, and no extra packet awaited.
  std::vector<std::string> failing = {"\x01", ColumnDef41("v"), EofPacket(0, 2 | server::MORE_RESULTS_EXISTS),
                                      TextRow({"1"}), ErrPacket(1317, "70100", "Query execution was interrupted")};
  // A stored-procedure call: its result, then the status packet of the call.
  std::vector<std::string> call = ResultSet(2, 2 | server::MORE_RESULTS_EXISTS);
  call.push_back(OkPacket(0, 0, 2));
  FakeMySqlScript sc;
  sc.Login().Receive();
  SendAll(sc, failing).Receive().Send(OkPacket()).Receive();
  SendAll(sc, call).Receive().Send(OkPacket());
  FakeMySqlServer srv(sc);
  auto s = NewSession();
  ConnectTo(*s, srv);
  s->FSkipPacket = true;
  const std::string q = "SELECT v FROM a";
  s->SimpleCommand(TServerCommand::scQuery, q.data(), q.size(), true);
  s->ReadQueryResult();
  EXPECT_EQ(ErrorOf([&] { s->FreeQuery(); }), 1317);
  EXPECT_EQ(s->status, msReady);
  EXPECT_FALSE(s->FSkipPacket);
  s->Ping();

  s->FSkipPacket = true;
  const std::string c = "CALL p()";
  s->SimpleCommand(TServerCommand::scQuery, c.data(), c.size(), true);
  s->ReadQueryResult();
  s->FreeQuery();
  EXPECT_FALSE(s->FSkipPacket);
  EXPECT_FALSE(s->serverStatus & server::MORE_RESULTS_EXISTS);
  s->Ping();
  s->Close();
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Failures().empty());
}

TEST(MySqlSessionFake, TlsIsCheckedBeforeCredentials) {
  FakeMySqlServer srv(FakeMySqlScript().Send(FakeGreeting().Build()).Receive());
  auto s = NewSession();
  s->protocolType = MYSQL_PROTOCOL_SSL;
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(*s, srv); }, &msg), cr::SSL_CONNECTION_ERROR);
  EXPECT_EQ(msg, "SSL connection error\r\nThe server does not support SSL connections");
  EXPECT_EQ(s->Net().vio(), nullptr);
  ASSERT_TRUE(srv.WaitDone());
  // Nothing at all was sent: no user name, no password token.
  EXPECT_TRUE(srv.Received().empty());

  // The caller's CLIENT_SSL flag asks for TLS too.
  FakeMySqlServer plain(FakeMySqlScript().Send(FakeGreeting().Build()).Receive());
  auto flagged = NewSession();
  EXPECT_EQ(ErrorOf([&] { ConnectTo(*flagged, plain, "", client::SSL); }), cr::SSL_CONNECTION_ERROR);
  EXPECT_EQ(flagged->hostInfo, "127.0.0.1 via SSL");
}

// A packet as it travels: 3-byte length, sequence number, payload.
std::string Frame(const std::string& payload, std::uint8_t seq) {
  const auto n = payload.size();
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(seq)} +
         payload;
}

// The SSL request goes out alone and in clear: 32 bytes numbered 1 with
// CLIENT_SSL and no user name. A server that closes during the TLS
// handshake gives the transport's handshake message.
TEST(MySqlSessionFake, TlsRequestAndAServerThatClosesDuringTheHandshake) {
  FakeGreeting withSsl;
  withSsl.Capabilities |= client::SSL;
  FakeMySqlServer srv(FakeMySqlScript().Send(withSsl.Build()).Receive().Close());
  auto s = NewSession();
  s->protocolType = MYSQL_PROTOCOL_SSL;
  std::string msg;
  try {
    ConnectTo(*s, srv);
  } catch (const EMySqlException& e) {
    msg = "EMySqlException: " + e.Message();
  } catch (const Exception& e) {
    msg = e.Message();
  }
  EXPECT_EQ(msg.rfind("SSL_do_handshake = ", 0), 0u) << msg;
  EXPECT_EQ(s->Net().vio(), nullptr);
  ASSERT_TRUE(srv.WaitDone());
  const auto got = srv.Received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Seq, 1);
  ASSERT_EQ(got[0].Payload.size(), 32u);
  EXPECT_TRUE(static_cast<std::uint8_t>(got[0].Payload[1]) & (client::SSL >> 8));
  EXPECT_EQ(got[0].Payload.find("lumo"), std::string::npos);
}

// Bytes behind the greeting would be read as if they had come through TLS
// (a forged OK packet here): the connect stops before the SSL request.
TEST(MySqlSessionFake, DataSentBeforeTheTlsSwitchIsRefused) {
  FakeGreeting withSsl;
  withSsl.Capabilities |= client::SSL;
  FakeMySqlServer srv(FakeMySqlScript().SendRaw(Frame(withSsl.Build(), 0) + Frame(OkPacket(), 2)));
  auto s = NewSession();
  s->protocolType = MYSQL_PROTOCOL_SSL;
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(*s, srv); }, &msg), cr::SSL_CONNECTION_ERROR);
  EXPECT_EQ(msg, "SSL connection error\r\nThe server sent data before the TLS handshake");
  ASSERT_TRUE(srv.WaitDone());
  EXPECT_TRUE(srv.Received().empty());
}

// An I/O handler whose connect fails with an error of its own.
class TFailingHandler : public TKxIOHandler {
 public:
  std::string ClassName() const override { return "TFailingHandler"; }
  std::unique_ptr<TKxIOHandle> Connect(const std::string&, int, const std::string&, const std::string&,
                                       const std::string&) override {
    throw ENotSupportedError("the tunnel is closed");
  }
};

TEST(MySqlSessionFake, TransportChoice) {
  // The I/O handler's own exception passes unchanged.
  TFailingHandler handler;
  auto h = NewSession();
  h->SetIOHandler(&handler);
  try {
    h->Connect("db.example", "u", "", "", 0, "", 0);
    FAIL();
  } catch (const ENotSupportedError& e) {
    EXPECT_STREQ(e.what(), "the tunnel is closed");
  }
  EXPECT_EQ(h->hostInfo, "db.example via TFailingHandler");

  // Transports that are not available yet.
  auto s = NewSession();
  s->protocolType = MYSQL_PROTOCOL_MEMORY;
  EXPECT_EQ(ErrorOf([&] { s->Connect("localhost", "u", "", "", 0, "", 0); }), cr::CONN_UNKNOW_PROTOCOL);
  THttpOptions http;
  s->protocolType = MYSQL_PROTOCOL_TCP;
  s->SetHttpOptions(&http);
  EXPECT_EQ(ErrorOf([&] { s->Connect("localhost", "u", "", "", 0, "", 0); }), cr::CONN_UNKNOW_PROTOCOL);
}

TEST(MySqlSessionFake, ConnectFailureAndDefaults) {
  // Nothing listens on the port of a stopped fake server.
  int port;
  {
    FakeMySqlServer gone(FakeMySqlScript{});
    port = gone.Port();
  }
  auto s = NewSession();
  std::string msg;
  EXPECT_EQ(ErrorOf([&] { s->Connect("127.0.0.1", "u", Password, "", port, "", 0); }, &msg), cr::CONN_HOST_ERROR);
  EXPECT_FALSE(msg.empty());
  EXPECT_EQ(msg.find(Password), std::string::npos);

  // Empty arguments take the session's fields.
  FakeMySqlServer srv(FakeMySqlScript().Login());
  auto d = NewSession();
  d->host = "127.0.0.1";
  d->port = srv.Port();
  d->user = "fielduser";
  d->database = "fielddb";
  d->Connect("", "", "", "", 0, "", 0);
  EXPECT_EQ(d->host, "127.0.0.1");
  d->Close();
  ASSERT_TRUE(srv.WaitDone());
  auto rx = srv.Received();
  ASSERT_FALSE(rx.empty());
  EXPECT_NE(rx[0].Payload.find(std::string("fielduser\0\0fielddb", 18)), std::string::npos);
}

}  // namespace
}  // namespace lumo
