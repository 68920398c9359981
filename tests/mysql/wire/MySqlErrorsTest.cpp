// The client error catalogue and the message-building rules of
// EMySqlException. The C client's headers are included first on purpose:
// the constants must not collide with their macros.
#include <mariadb/mysql.h>
#include <mariadb/errmsg.h>
#include <mariadb/mysqld_error.h>

#include <gtest/gtest.h>

#include <lumokit/mysql/wire/MySqlErrors.h>
#include <lumokit/mysql/wire/MySqlHandshake.h>
#include <lumokit/mysql/wire/MySqlPacket.h>
#include <lumokit/mysql/wire/MySqlSession.h>

namespace lumo {
namespace {

TEST(MySqlErrors, CatalogueTexts) {
  EXPECT_EQ(GetError(2000), "Unknown MySQL error");
  EXPECT_EQ(GetError(2014), "Commands out of sync;  You can't run this command now");
  EXPECT_EQ(GetError(2016), "Can't wait for named pipe to host: %s  pipe: %s (%s)");
  EXPECT_EQ(GetError(2027), "Malformed packet");
  EXPECT_EQ(GetError(2035), "Using unsupported buffer type: %s  (parameter: %s)");
  EXPECT_EQ(GetError(2037), "Can't open shared memory. Request event don't create  (%s)");
  EXPECT_EQ(GetError(2044), "Can't open shared memory. Server abandoded and don't sent the answer event (%s)");
  EXPECT_EQ(GetError(2047), "Invalid connection handle");
  EXPECT_EQ(GetError(1999), "");
  EXPECT_EQ(GetError(2048), "");
  EXPECT_EQ(GetError(1045), "");
  // Every entry of the catalogue has a text; the named codes match the
  // classic numbering that peers report.
  for (int code = cr::MinError; code <= cr::MaxError; ++code) EXPECT_FALSE(GetError(code).empty()) << code;
  EXPECT_EQ(cr::SERVER_LOST, CR_SERVER_LOST);
  EXPECT_EQ(cr::COMMANDS_OUT_OF_SYNC, CR_COMMANDS_OUT_OF_SYNC);
  EXPECT_EQ(cr::NET_PACKET_TOO_LARGE, CR_NET_PACKET_TOO_LARGE);
  EXPECT_EQ(cr::MALFORMED_PACKET, CR_MALFORMED_PACKET);
  EXPECT_EQ(er::NET_PACKETS_OUT_OF_ORDER, ER_NET_PACKETS_OUT_OF_ORDER);
  EXPECT_EQ(er::ACCESS_DENIED_ERROR, ER_ACCESS_DENIED_ERROR);
  EXPECT_EQ(er::TRG_DOES_NOT_EXIST, 1360);
  // MySQL's names where the peer's headers use other ones.
  EXPECT_EQ(er::KEY_COLUMN_DOES_NOT_EXITS, 1072);
  EXPECT_EQ(er::READY, 1076);
  EXPECT_EQ(er::BLOB_CANT_HAVE_DEFAULT, 1101);
  EXPECT_EQ(er::DUMP_NOT_IMPLEMENTED, 1185);
  EXPECT_EQ(client::CAPABILITIES, 238213u);
  EXPECT_EQ(client::PROTOCOL_41, static_cast<std::uint32_t>(CLIENT_PROTOCOL_41));
  EXPECT_EQ(server::MORE_RESULTS_EXISTS, SERVER_MORE_RESULTS_EXIST);
  EXPECT_EQ(static_cast<int>(MYSQL_PROTOCOL_SSL), 5);  // lumo's, found first inside namespace lumo
}

TEST(MySqlErrors, MessageRules) {
  EMySqlException gone(2006);
  EXPECT_STREQ(gone.what(), "MySQL server has gone away");
  EXPECT_EQ(gone.ErrorCode(), 2006);

  // Placeholders stay unfilled without arguments.
  EXPECT_EQ(EMySqlException(2001).Message(), "Can't create UNIX socket (%d)");

  EXPECT_EQ(EMySqlException(2013, "x").Message(), "Lost connection to MySQL server during query\r\nx");

  // 2003: a non-empty extra text replaces the message; an empty one leaves
  // the formatted catalogue text.
  EXPECT_EQ(EMySqlException(2003, "Cannot connect...", {"db.example", 10061}).Message(), "Cannot connect...");
  EXPECT_EQ(EMySqlException(2003, "", {"db.example", 10061}).Message(),
            "Can't connect to MySQL server on 'db.example' (10061)");

  EMySqlException denied(1045, "#28000Access denied for user 'u'@'h' (using password: YES)");
  EXPECT_EQ(denied.ErrorCode(), 1045);
  EXPECT_EQ(denied.Message(), "\r\n#28000Access denied for user 'u'@'h' (using password: YES)");

  EXPECT_EQ(EMySqlException(2007, "", {9, 10}).Message(),
            "Protocol mismatch. Server Version = 9 Client Version = 10");
  // "%-.64s" cuts the argument to 64 characters.
  std::string longHost(100, 'h');
  EXPECT_EQ(EMySqlException(2005, "", {longHost, 7}).Message(),
            "Unknown MySQL Server Host '" + std::string(64, 'h') + "' (7)");
  // A client code outside the catalogue has an empty text, so the extra text
  // follows a line break.
  EXPECT_EQ(EMySqlException(cr::LOAD_DATA_LOCAL_INFILE_REJECTED, "refused").Message(), "\r\nrefused");
  // Text coming from outside is never read as a template.
  EXPECT_EQ(EMySqlException(1064, "near '%s%d'").Message(), "\r\nnear '%s%d'");
}

}  // namespace
}  // namespace lumo
