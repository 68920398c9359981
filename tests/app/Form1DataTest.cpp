// The main window's data components against the test server: the stored
// description connects while the window loads and the memo shows the demo
// value; the data-bound memo follows its data set and writes what is typed
// into the field; a stored update-SQL component writes the edit with its
// own statement; a missing row leaves the memo empty.
#include <gtest/gtest.h>

#include <QTextCursor>

#include <string>

#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/Field.h>
#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include "Client.h"
#include "Unit1.h"
#include "support/TestServer.h"

namespace lumo {
namespace {

using test::TestServer;

TServerTarget Target() {
  TServerTarget t;
  t.Server = TestServer().host;
  t.Port = TestServer().port;
  return t;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "not in the description: " << from;
  else text.replace(at, from.size(), to);
  return text;
}

class Form1Data : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_REQUIRE_SERVER();
    RegisterMySQLProvider();
    RegisterClientClasses();
  }

  // A connection of its own to the scratch database.
  static void ToScratch(TLumoConnection& c) {
    c.SetProviderName("MySQL");
    c.SetServer(TestServer().host);
    c.SetPort(TestServer().port);
    c.SetUsername(TestServer().user);
    c.SetPassword(TestServer().password);
    c.SetDatabase(TestServer().scratchDatabase);
    c.SetLoginPrompt(false);
  }
  static void Exec(const std::string& sql) {
    TLumoConnection c;
    ToScratch(c);
    c.ExecSQL(sql);
  }

  // The value of row 1 of `table`, read through a connection of its own.
  static std::string StoredValue(const std::string& table) {
    TLumoConnection c;
    ToScratch(c);
    auto ds = c.CreateDataSet();
    ds->SetSQLText("SELECT value FROM " + table + " WHERE id = 1");
    ds->Open();
    return ds->FieldByName("value").AsString();
  }

  // The stored description on the scratch database.
  static std::string OnScratch() {
    return Replace(std::string(TForm1::StoredDescription()), "Database = 'vexa'",
                   "Database = '" + TestServer().scratchDatabase + "'");
  }
};

TEST_F(Form1Data, StoredWindowConnectsWhileLoadingAndShowsTheValue) {
  std::unique_ptr<TForm1> form = TForm1::Create(TForm1::StoredDescription(), FormClasses(), Target());
  // Stored order: the controls, then the provider, connection, query and
  // data source.
  ASSERT_EQ(form->ComponentCount(), 6);
  EXPECT_EQ(&form->Components(2), static_cast<TComponent*>(form->MySQLLumoProvider1));
  EXPECT_EQ(&form->Components(5), static_cast<TComponent*>(form->LumoDataSource4));
  TLumoConnection& c = *form->LumoConnection1;
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.ProviderName(), "MySQL");
  EXPECT_EQ(c.Database(), "vexa");
  EXPECT_EQ(c.Username(), "root");
  EXPECT_FALSE(c.LoginPrompt());
  ASSERT_EQ(c.SpecificOptions().Count(), 1);
  EXPECT_EQ(c.SpecificOptions()[0], "MySQL.UseUnicode=True");
  Variant unicode;
  ASSERT_TRUE(c.IConnection()->GetProp(prUseUnicode, unicode));
  EXPECT_TRUE(unicode.AsBoolean());
  ASSERT_TRUE(form->LumoQuery5->Active());
  EXPECT_EQ(form->LumoQuery5->Connection(), &c);
  EXPECT_EQ(form->LumoDataSource4->DataSet(), form->LumoQuery5);
  EXPECT_EQ(form->DBMemo4->DataSource(), form->LumoDataSource4);
  EXPECT_EQ(form->DBMemo4->Text(), "1.0.0");
  // Destroying the window disconnects.
  form.reset();
}

TEST_F(Form1Data, MemoFollowsItsDataSetAndTypedTextGoesIntoTheField) {
  Exec("DROP TABLE IF EXISTS front_memo");
  Exec("CREATE TABLE front_memo (id INT PRIMARY KEY, value VARCHAR(40))");
  Exec("INSERT INTO front_memo VALUES (1, 'first'), (2, 'second')");
  std::string text = Replace(OnScratch(), "select * from settings WHERE name='#39'programm_version'#39",
                             "select id, value from front_memo order by id'");
  std::unique_ptr<TForm1> form = TForm1::Create(text, FormClasses(), Target());
  TDBMemo& memo = *form->DBMemo4;
  TLumoQuery& ds = *form->LumoQuery5;
  EXPECT_EQ(memo.Text(), "first");
  // Edits stay in the data set (writing back is the updater's).
  ds.Close();
  EXPECT_EQ(memo.Text(), "");
  EXPECT_TRUE(memo.ReadOnly());
  ds.SetLocalUpdate(true);
  ds.Open();
  EXPECT_EQ(memo.Text(), "first");
  ds.Next();
  EXPECT_EQ(memo.Text(), "second");
  ds.Edit();
  ds.FieldByName("value").SetAsString("changed");
  EXPECT_EQ(memo.Text(), "changed");
  ds.Cancel();
  EXPECT_EQ(memo.Text(), "second");

  // Typing puts the data set into edit mode; posting writes the text.
  ASSERT_FALSE(memo.ReadOnly());
  memo.Editor().moveCursor(QTextCursor::End);
  memo.Editor().insertPlainText(" typed");
  EXPECT_EQ(ds.State(), dsEdit);
  EXPECT_EQ(memo.Text(), "second typed");
  ds.Post();
  EXPECT_EQ(ds.FieldByName("value").AsString(), "second typed");
  ds.First();
  EXPECT_EQ(memo.Text(), "first");

  form.reset();
  Exec("DROP TABLE front_memo");
}

TEST_F(Form1Data, TypedTextIsPostedBackToTheServer) {
  Exec("DROP TABLE IF EXISTS front_post");
  Exec("CREATE TABLE front_post (id INT PRIMARY KEY, value VARCHAR(40))");
  Exec("INSERT INTO front_post VALUES (1, 'stored')");
  const std::string text = Replace(OnScratch(), "select * from settings WHERE name='#39'programm_version'#39",
                                   "select id, value from front_post'");
  std::unique_ptr<TForm1> form = TForm1::Create(text, FormClasses(), Target());
  TDBMemo& memo = *form->DBMemo4;
  // Without an update transaction of its own (see LumoServer.EditsArePostedBack...).
  form->LumoQuery5->Options().SetStrictUpdate(false);
  ASSERT_FALSE(memo.ReadOnly());
  memo.Editor().moveCursor(QTextCursor::End);
  memo.Editor().insertPlainText(" and typed");
  form->LumoQuery5->Post();
  form.reset();

  EXPECT_EQ(StoredValue("front_post"), "stored and typed");
  Exec("DROP TABLE front_post");
}

TEST_F(Form1Data, StoredUpdateSQLWritesTheEditWithItsStatement) {
  Exec("DROP TABLE IF EXISTS front_upd");
  Exec("CREATE TABLE front_upd (id INT PRIMARY KEY, value VARCHAR(40))");
  Exec("INSERT INTO front_upd VALUES (1, 'stored')");
  std::string text = Replace(OnScratch(), "select * from settings WHERE name='#39'programm_version'#39",
                             "select id, value from front_upd'");
  text = Replace(text, "    Active = True\n", "    UpdateObject = LumoUpdateSQL1\n    Active = True\n");
  text = Replace(text, "  object LumoDataSource4", R"(  object LumoUpdateSQL1: TLumoUpdateSQL
    ModifySQL.Strings = (
      'UPDATE front_upd SET value = CONCAT(:value, '#39'!'#39')'
      'WHERE id = :OLD_id')
  end
  object LumoDataSource4)");
  std::unique_ptr<TForm1> form = TForm1::Create(text, FormClasses(), Target());
  TLumoQuery& ds = *form->LumoQuery5;
  auto* update = dynamic_cast<TLumoUpdateSQL*>(form->FindComponent("LumoUpdateSQL1"));
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(ds.UpdateObject(), update);
  EXPECT_EQ(update->ModifySQL().Count(), 2);
  ds.Options().SetStrictUpdate(false);
  ds.Edit();
  ds.FieldByName("value").SetAsString("edited");
  ds.Post();
  form.reset();

  EXPECT_EQ(StoredValue("front_upd"), "edited!");
  Exec("DROP TABLE front_upd");
}

TEST_F(Form1Data, MissingRowLeavesTheMemoEmpty) {
  Exec("CREATE TABLE IF NOT EXISTS settings (id INT PRIMARY KEY, name VARCHAR(64), value TEXT)");
  Exec("DELETE FROM settings WHERE name = 'programm_version'");
  std::unique_ptr<TForm1> form = TForm1::Create(OnScratch(), FormClasses(), Target());
  ASSERT_TRUE(form->LumoQuery5->Active());
  EXPECT_TRUE(form->LumoQuery5->IsEmpty());
  EXPECT_EQ(form->DBMemo4->Text(), "");
}

}  // namespace
}  // namespace lumo
