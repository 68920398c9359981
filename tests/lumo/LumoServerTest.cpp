// The front components against the test server: a query through a front
// connection set up by provider name and specific options, the MySQL
// data-set defaults (zero dates read as NULL, TINYINT(1) as Boolean, all
// rows at once), macros and escapes in a front command, the connection's
// OnError hearing an ELumoError, large-object parameters sent byte-exact
// through the provider's native blobs, date-times with microseconds and
// times beyond a day going there and back, and connection errors that carry
// the client code and never the password.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/dataset/Field.h>
#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include "LumoTestProvider.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;

class LumoServer : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_REQUIRE_SERVER();
    RegisterMySQLProvider();
    conn.SetProviderName("MySQL");
    conn.SetServer(TestServer().host);
    conn.SetPort(TestServer().port);
    conn.SetUsername(TestServer().user);
    conn.SetPassword(TestServer().password);
    conn.SetLoginPrompt(false);
    conn.SpecificOptions().Add("MySQL.UseUnicode=True");
  }

  std::unique_ptr<TCustomDADataSet> Query(const std::string& sql) {
    std::unique_ptr<TCustomDADataSet> ds = conn.CreateDataSet();
    ds->SetSQLText(sql);
    return ds;
  }

  TLumoConnection conn;
};

TEST_F(LumoServer, QueryReadsTheDemoValueWithTheMySQLDefaults) {
  conn.SetDatabase(TestServer().database);
  conn.Connect();
  auto ds = Query("select * from settings WHERE name='programm_version'");
  ds->Open();
  EXPECT_TRUE(ds->FetchAll());  // the data-set option's default
  ASSERT_EQ(ds->RecordCount(), 1);
  EXPECT_FALSE(ds->FieldByName("value").AsString().empty());
  ds->Close();

  // Zero dates and TINYINT(1) as the provider reads them by default.
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.ExecSQL("SET SESSION sql_mode = ''");
  conn.ExecSQL("DROP TABLE IF EXISTS lumo_defaults");
  conn.ExecSQL("CREATE TABLE lumo_defaults (d DATE, dt DATETIME, b TINYINT(1), n TINYINT(4))");
  conn.ExecSQL("INSERT INTO lumo_defaults VALUES ('0000-00-00', '0000-00-00 00:00:00', 1, 7)");
  auto zd = Query("SELECT d, dt, b, n FROM lumo_defaults");
  zd->Open();
  EXPECT_TRUE(zd->FieldByName("d").IsNull());
  EXPECT_TRUE(zd->FieldByName("dt").IsNull());
  EXPECT_EQ(zd->FieldByName("b").DataType(), ftBoolean);
  EXPECT_TRUE(zd->FieldByName("b").AsBoolean());
  EXPECT_NE(zd->FieldByName("n").DataType(), ftBoolean);
  zd->Close();

  // Turned off per data set through its own specific options.
  auto& front = dynamic_cast<TCustomLumoDataSet&>(*zd);
  front.SpecificOptions().Add("MySQL.NullForZeroDate=False");
  front.SpecificOptions().Add("MySQL.EnableBoolean=False");
  zd->Open();
  EXPECT_FALSE(zd->FieldByName("d").IsNull());
  EXPECT_NE(zd->FieldByName("b").DataType(), ftBoolean);
  zd->Close();
  conn.ExecSQL("DROP TABLE lumo_defaults");
}

TEST_F(LumoServer, CommandsExpandConnectionMacrosAndEscapes) {
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.Macros().Add("TBL", "lumo_macros");
  conn.Macros().Add("WIDE", "4", "MYSQL");
  conn.Connect();
  auto sql = conn.CreateSQL();
  sql->SetSQLText("DROP TABLE IF EXISTS {TBL}");
  sql->Execute();
  sql->SetSQLText("CREATE TABLE {TBL} (v VARCHAR(20))");
  sql->Execute();
  sql->SetSQLText("INSERT INTO {TBL} VALUES ({if MYSQL}{fn CONCAT({fn TOCHAR({WIDE} * 2)}, '-my')}{else}'x'{endif})");
  sql->Execute();
  auto ds = Query("SELECT v FROM {TBL}");
  ds->Open();
  EXPECT_EQ(ds->FieldByName("v").AsString(), "8-my");
  ds->Close();

  // A changed macro reaches a command that ran before.
  conn.MacroByName("TBL").SetValue("lumo_missing_table");
  sql->SetSQLText("SELECT * FROM {TBL}");
  try {
    sql->Execute();
    ADD_FAILURE() << "no error";
  } catch (const ELumoError& e) {
    EXPECT_EQ(e.ErrorCode(), 1146) << e.what();
    EXPECT_NE(std::string(e.what()).find("lumo_missing_table"), std::string::npos) << e.what();
  }
  conn.ExecSQL("DROP TABLE lumo_macros");
}

TEST_F(LumoServer, EditsArePostedBackThroughTheProvidersService) {
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.ExecSQL("DROP TABLE IF EXISTS lumo_post");
  conn.ExecSQL("CREATE TABLE lumo_post (id INT PRIMARY KEY, value VARCHAR(40))");
  conn.ExecSQL("INSERT INTO lumo_post VALUES (1, 'one'), (2, 'two')");
  auto ds = Query("SELECT id, value FROM lumo_post ORDER BY id");
  // The update runs without a transaction of its own (StrictUpdate off):
  // with one, its commit closes the data set being posted.
  ds->Options().SetStrictUpdate(false);
  ds->Open();
  ds->Next();
  ds->Edit();
  ds->FieldByName("value").SetAsString("zwei");
  ds->Post();
  EXPECT_EQ(ds->FieldByName("value").AsString(), "zwei");
  EXPECT_EQ(ds->RecNo(), 2);
  ds->Close();
  auto check = Query("SELECT value FROM lumo_post WHERE id = 2");
  check->Open();
  EXPECT_EQ(check->FieldByName("value").AsString(), "zwei");
  check->Close();
  conn.ExecSQL("DROP TABLE lumo_post");
}

TEST_F(LumoServer, OnErrorHearsAnELumoErrorAroundTheServerError) {
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.Connect();
  int calls = 0;
  bool wrapped = false, innerIsMySQL = false;
  int code = 0, innerCode = 0;
  conn.OnError = [&](TCustomDAConnection&, const EDAError& e, bool&) {
    ++calls;
    code = e.ErrorCode();
    if (const auto* front = dynamic_cast<const ELumoError*>(&e)) {
      wrapped = true;
      innerIsMySQL = dynamic_cast<const EMyError*>(front->InnerError()) != nullptr;
      innerCode = front->InnerError() ? front->InnerError()->ErrorCode() : 0;
    }
  };
  auto sql = conn.CreateSQL();
  sql->SetSQLText("SELECT * FROM lumo_no_such_table");
  try {
    sql->Execute();
    ADD_FAILURE() << "no error";
  } catch (const ELumoError& e) {
    EXPECT_EQ(e.ErrorCode(), 1146);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(wrapped);
  EXPECT_TRUE(innerIsMySQL);
  EXPECT_EQ(code, 1146);
  EXPECT_EQ(innerCode, 1146);
  EXPECT_TRUE(conn.Connected());
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02X", c);
    out += two;
  }
  return out;
}

TEST_F(LumoServer, LargeObjectParametersReachTheServerByteExact) {
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.ExecSQL("DROP TABLE IF EXISTS lumo_blobs");
  conn.ExecSQL("CREATE TABLE lumo_blobs (id INT PRIMARY KEY, b LONGBLOB, m LONGTEXT CHARACTER SET utf8mb4)");
  // Every byte value, NULs and bytes >= 0x80 among them, across more than
  // one blob piece.
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>((i * 7) % 256);
  const std::string memo = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 na\xC3\xAFve\r\nzweite Zeile";

  auto sql = conn.CreateSQL();
  sql->SetSQLText("INSERT INTO lumo_blobs VALUES (:id, :b, :m)");
  auto& params = static_cast<TLumoParams&>(sql->Params());
  params.ParamByName("id").SetAsInteger(1);
  TLumoParam& b = params.ParamByName("b");
  b.SetAsBlob(Variant::Bytes(bytes.begin(), bytes.end()));
  params.ParamByName("m").SetAsMemo(memo);
  ASSERT_NE(b.LumoBlob(), nullptr);
  ASSERT_NE(params.ParamByName("m").LumoBlob(), nullptr);
  sql->Execute();
  // The provider was sent its own class, sharing the wrapper's data.
  ASSERT_NE(b.LumoBlob()->NativeBlob(), nullptr);
  EXPECT_NE(dynamic_cast<TCompressedBlob*>(b.LumoBlob()->NativeBlob()), nullptr);
  EXPECT_EQ(b.LumoBlob()->NativeBlob()->Data(), b.LumoBlob()->Data());

  // A value written into the wrapper after a use is the one sent next.
  params.ParamByName("id").SetAsInteger(2);
  const std::string second = std::string("\0\xFF\x80 second", 10);
  b.LumoBlob()->SetAsBytes(std::vector<std::uint8_t>(second.begin(), second.end()));
  params.ParamByName("m").LumoBlob()->SetAsString("zwei \xC3\xA4");
  sql->Execute();

  auto check = Query("SELECT id, LENGTH(b) AS n, HEX(b) AS hb, HEX(m) AS hm FROM lumo_blobs ORDER BY id");
  check->Open();
  ASSERT_EQ(check->RecordCount(), 2);
  EXPECT_EQ(check->FieldByName("n").AsInteger(), 70000);
  EXPECT_TRUE(check->FieldByName("hb").AsString() == Hex(bytes)) << "the first blob differs";
  EXPECT_EQ(check->FieldByName("hm").AsString(), Hex(memo));
  check->Next();
  EXPECT_EQ(check->FieldByName("hb").AsString(), Hex(second));
  EXPECT_EQ(check->FieldByName("hm").AsString(), Hex("zwei \xC3\xA4"));
  check->Close();
  conn.ExecSQL("DROP TABLE lumo_blobs");
}

// DATETIME(6), TIMESTAMP(6) and TIME(6) values keep their microseconds and
// a TIME its whole signed range, read as text and as binary rows, shown by
// their fields, sent back as parameters (text and prepared) and matched by
// the generated WHERE of a table without a key.
TEST_F(LumoServer, DateTimesKeepMicrosecondsAndTimesTheirRange) {
  conn.SetDatabase(TestServer().scratchDatabase);
  conn.ExecSQL("DROP TABLE IF EXISTS lumo_micros");
  conn.ExecSQL("CREATE TABLE lumo_micros (n INT, dt DATETIME(6), ts TIMESTAMP(6) NULL, t TIME(6), "
               "dt2 DATETIME(6), t2 TIME(6))");
  conn.ExecSQL("INSERT INTO lumo_micros (n, dt, ts, t) VALUES "
               "(1, '2026-03-04 05:06:07.019400', '2026-03-04 05:06:07.000001', '26:00:00'), "
               "(2, '9999-12-31 23:59:59.999999', '2037-12-31 23:59:59.999999', '-01:30:00.5'), "
               "(3, '1000-01-01 00:00:00.000001', '1970-01-02 00:00:00.5', '838:59:59.999999'), "
               "(4, '1899-12-29 06:00:00.123456', '2000-02-29 12:00:00.000010', '-838:59:59.999999')");
  const std::vector<std::string> times = {"26:00:00", "-01:30:00.5", "838:59:59.999999", "-838:59:59.999999"};
  for (const bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "binary rows" : "text rows");
    conn.ExecSQL("UPDATE lumo_micros SET dt2 = NULL, t2 = NULL");
    auto ds = Query("SELECT n, dt, ts, t, dt2, t2 FROM lumo_micros ORDER BY n");
    ds->Options().SetStrictUpdate(false);
    if (prepared) ds->Prepare();
    ds->Open();
    ASSERT_EQ(ds->RecordCount(), 4);
    for (std::size_t i = 0; i < times.size(); ++i, ds->Next()) {
      EXPECT_EQ(ds->FieldByName("t").AsString(), times[i]);
      // Each value goes back through a field and a parameter of the
      // generated UPDATE, whose WHERE holds every old value.
      ds->Edit();
      ds->FieldByName("dt2").SetValue(ds->FieldByName("dt").Value());
      ds->FieldByName("t2").SetValue(ds->FieldByName("t").Value());
      ds->Post();
    }
    ds->Close();
    auto check = Query("SELECT COUNT(*) AS c FROM lumo_micros WHERE dt2 = dt AND t2 = t");
    check->Open();
    EXPECT_EQ(check->FieldByName("c").AsInteger(), 4);
    check->Close();
  }

  // A field's text, and parameters given as date-time numbers, in both protocols.
  for (const bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "prepared" : "text");
    conn.ExecSQL("DELETE FROM lumo_micros WHERE n = 5");
    auto ins = conn.CreateSQL();
    ins->SetSQLText("INSERT INTO lumo_micros (n, dt, t) VALUES (5, :dt, :t)");
    if (prepared) ins->Prepare();
    ins->ParamByName("dt").SetAsDateTime(EncodeDateTime(2026, 3, 4, 5, 6, 7, 19) + 0.4 / SecsPerDay / 1000);
    ins->ParamByName("t").SetAsTime(-(26.0 + 0.25 / 3600) / 24);
    ins->Execute();
    auto back = Query("SELECT CAST(dt AS CHAR) AS dt, CAST(t AS CHAR) AS t FROM lumo_micros WHERE n = 5");
    back->Open();
    EXPECT_EQ(back->FieldByName("dt").AsString(), "2026-03-04 05:06:07.019400");
    EXPECT_EQ(back->FieldByName("t").AsString(), "-26:00:00.250000");
    back->Close();
  }
  auto edit = Query("SELECT n, t FROM lumo_micros WHERE n = 5");
  edit->Options().SetStrictUpdate(false);
  edit->Open();
  edit->Edit();
  edit->FieldByName("t").SetAsString("-100:00:00.000250");
  edit->Post();
  edit->Close();
  auto back = Query("SELECT CAST(t AS CHAR) AS t FROM lumo_micros WHERE n = 5");
  back->Open();
  EXPECT_EQ(back->FieldByName("t").AsString(), "-100:00:00.000250");
  back->Close();
  conn.ExecSQL("DROP TABLE lumo_micros");
}

TEST_F(LumoServer, ConnectErrorsCarryTheCodeAndNeverThePassword) {
  const std::string secret = "Very-Secret-Pw-4711";
  conn.SetUsername(TestServer().nativeUser);
  conn.SetPassword(secret);
  try {
    conn.Connect();
    ADD_FAILURE() << "connected with a wrong password";
  } catch (const ELumoError& e) {
    EXPECT_EQ(e.ErrorCode(), 1045);
    EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos) << e.what();
    ASSERT_NE(e.InnerError(), nullptr);
    EXPECT_EQ(e.InnerError()->ErrorCode(), 1045);
  }

  // No server on the port: the transport's error, client code 2003, fatal.
  TLumoConnection down;
  down.SetProviderName("MySQL");
  down.SetServer("127.0.0.1");
  down.SetPort(1);
  down.SetLoginPrompt(false);
  down.SetPassword(secret);
  try {
    down.Connect();
    ADD_FAILURE() << "connected to port 1";
  } catch (const ELumoError& e) {
    EXPECT_EQ(e.ErrorCode(), 2003) << e.what();
    EXPECT_TRUE(e.IsFatalError());
    EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace lumo
