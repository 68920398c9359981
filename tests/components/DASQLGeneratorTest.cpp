// The data-set service and SQL generator on rows of the fake provider: the
// texts of every statement kind, the parameters they collect, the
// updating-table rules and the failures; the MySQL generator's lock, table
// and HANDLER texts, parameter positions and COUNT rewrites.
#include <gtest/gtest.h>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DASQLGenerator.h>
#include <lumokit/mysql/provider/MyServices.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo::test {
namespace {

enum class ServiceKind { Neutral, MySQL };

// The neutral service with the server's unique index given by the test.
class KeyListService : public TDADataSetService {
 public:
  using TDADataSetService::TDADataSetService;
  std::string DBKeyList;
  std::string GetDBKeyList(const std::string&, const std::string&) override { return DBKeyList; }
};

class GenDataSet : public TCustomDADataSet {
 public:
  ServiceKind Kind = ServiceKind::Neutral;

 protected:
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    if (Kind == ServiceKind::MySQL) return std::make_unique<TCustomMyDataSetService>(*this);
    return std::make_unique<KeyListService>(*this);
  }
};

// A generator that allows only short identifiers.
class ShortNameGenerator : public TDASQLGenerator {
 public:
  using TDASQLGenerator::TDASQLGenerator;
  int MaxIdentLength() override { return 5; }
};

class SQLGenerator : public ::testing::Test {
 protected:
  static constexpr const char* kSelect = "SELECT id, a, b FROM t";

  void Open(ServiceKind kind = ServiceKind::Neutral, const std::string& sql = kSelect,
            std::vector<FakeColumn> columns = {{"id", dtInt32}, {"a", dtString, 20}, {"b", dtString, 20}},
            std::vector<std::vector<Variant>> rows = {{1, "x", Variant::Null()}}, const std::string& sent = "") {
    ds.Kind = kind;
    ds.SetName("Q");
    ds.SetConnection(&conn);
    server.OnRows(sent.empty() ? sql : sent, std::move(columns), std::move(rows));
    ds.SetSQLText(sql);
    ds.SetLocalUpdate(true);
    ds.Open();
  }
  // Gives every descriptor the table `name` (alias `alias`), as a provider
  // that reports column origins does, and works out the field roles again.
  void AttachTable(const std::string& name, const std::string& alias = "") {
    TKxTablesInfo& tables = ds.IRecordSet()->TablesInfo();
    TKxTableInfo& table = tables.Add();
    table.SetTableName(name);
    table.SetTableAlias(alias);
    TFieldDescs& descs = ds.IRecordSet()->Fields();
    for (int i = 0; i < descs.Count(); ++i) static_cast<TKxFieldDesc*>(descs[i])->SetTableInfo(&table);
    Reinit();
  }
  // The read-only marks the open gave before the tables were known are
  // worked out again.
  void Reinit() {
    TFieldDescs& descs = ds.IRecordSet()->Fields();
    for (int i = 0; i < descs.Count(); ++i) descs[i]->SetReadOnly(false);
    for (const auto& field : ds.Fields()) field->SetReadOnly(false);
    Service().ClearFieldDescRefs();
    Service().PreInitCursor();
  }
  TDADataSetService& Service() { return ds.DADataSetService(); }
  KeyListService& Neutral() { return dynamic_cast<KeyListService&>(Service()); }
  TDASQLGenerator& Gen() { return Service().SQLGenerator(); }
  std::string Generate(TStatementType type, bool modifiedOnly = true, int index = -1) {
    return Gen().GenerateSQL(type, modifiedOnly, &params, index);
  }
  std::vector<std::string> ParamNames() const {
    std::vector<std::string> names;
    for (int i = 0; i < params.Count(); ++i) names.push_back(params[i].Name());
    return names;
  }

  FakeServer server;
  FakeDAConnection conn{server};
  GenDataSet ds;
  TDAParams params;
};

TEST_F(SQLGenerator, InsertUpdateAndDeleteTextsWithTheirParameters) {
  Open();
  AttachTable("t");
  ds.SetKeyFields("id");

  ds.Edit();
  ds.FieldByName("a").SetAsString("y");
  EXPECT_EQ(Generate(stUpdate), "UPDATE t\r\nSET\r\n  a = ?\r\nWHERE\r\n  id = ?");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"a", "Old_id"}));
  ASSERT_EQ(Gen().ParamsInfo().Count(), 2);
  EXPECT_EQ(Gen().ParamsInfo()[0].Field(), ds.FindField("a"));
  EXPECT_FALSE(Gen().ParamsInfo()[0].Old());
  EXPECT_TRUE(Gen().ParamsInfo()[1].Old());
  EXPECT_EQ(Gen().ParamsInfo()[1].ParamIndex(), -1);
  EXPECT_EQ(Generate(stUpdate, false), "UPDATE t\r\nSET\r\n  id = ?, a = ?, b = ?\r\nWHERE\r\n  id = ?");
  // Within a batch every name carries the statement's number.
  Generate(stUpdate, true, 3);
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"P_3_a", "P_3_Old_id"}));
  EXPECT_EQ(Gen().ParamsInfo()[1].ParamIndex(), 3);
  ds.Cancel();

  ds.Edit();  // nothing changed: no statement
  EXPECT_EQ(Generate(stUpdate), "");
  ds.Cancel();

  ds.Append();
  ds.FieldByName("id").SetAsInteger(2);
  EXPECT_EQ(Generate(stInsert), "INSERT INTO t\r\n  (id)\r\nVALUES\r\n  (?)");
  EXPECT_EQ(Generate(stInsert, false), "INSERT INTO t\r\n  (id, a, b)\r\nVALUES\r\n  (?, ?, ?)");
  ds.Cancel();

  EXPECT_EQ(Generate(stDelete), "DELETE FROM t\r\nWHERE\r\n  id = ?");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"Old_id"}));
  EXPECT_THROW(Generate(stCustom), EDAError);
}

TEST_F(SQLGenerator, NullKeysAreTestedWithIsNullAndWithoutKeyEveryNonBlobFieldIsTested) {
  Open(ServiceKind::Neutral, "SELECT id, a, m FROM t", {{"id", dtInt32}, {"a", dtString, 20}, {"m", dtMemo}},
       {{Variant::Null(), "x", "memo"}});
  AttachTable("t");
  ds.SetKeyFields("id");
  EXPECT_EQ(Generate(stDelete), "DELETE FROM t\r\nWHERE\r\n  id IS NULL");
  EXPECT_EQ(params.Count(), 0);

  // The server's unique index is the key; one with a column the result
  // lacks is none, and then every data field but large objects is tested.
  ds.SetKeyFields("");
  Neutral().DBKeyList = "a";
  Service().ClearCachedKeyFieldDescs();
  EXPECT_EQ(Generate(stDelete), "DELETE FROM t\r\nWHERE\r\n  a = ?");
  Neutral().DBKeyList = "a;zz";
  Service().ClearCachedKeyFieldDescs();
  EXPECT_EQ(Generate(stDelete), "DELETE FROM t\r\nWHERE\r\n  id IS NULL AND a = ?");

  ds.SetKeyFields("nope");
  try {
    Generate(stDelete);
    FAIL() << "a missing key field must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Q: Key field 'nope' not found");
  }
}

TEST_F(SQLGenerator, NoUsableFieldForAConditionRaises) {
  Open(ServiceKind::Neutral, "SELECT m FROM t", {{"m", dtMemo}}, {{"memo"}});
  AttachTable("t");
  try {
    Generate(stDelete);
    FAIL() << "no key and only large objects must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Key fields not found");
  }
}

TEST_F(SQLGenerator, RefreshTexts) {
  Open();
  AttachTable("t", "x");
  ds.SetKeyFields("id");
  EXPECT_EQ(Generate(stRefresh), "SELECT id AS _0, a AS _1, b AS _2 FROM t x\r\nWHERE\r\n  id = ?");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"id"}));
  EXPECT_FALSE(Gen().ParamsInfo()[0].Old());
  Gen().SetDesignMode(true);
  EXPECT_EQ(Generate(stRefresh), "SELECT id, a, b FROM t x\r\nWHERE\r\n  id = ?");
  Gen().SetDesignMode(false);

  // Keys still present: the FROM and WHERE of the data set's statement.
  EXPECT_EQ(Generate(stRefreshCheckDeleted), "SELECT id FROM t ORDER BY id");

  // A full refresh restricts the data set's own statement, columns
  // qualified by the alias.
  ds.Options().SetFullRefresh(true);
  const std::string full = Generate(stRefresh);
  EXPECT_EQ(full.rfind("SELECT id, a, b FROM t", 0), 0u) << full;
  EXPECT_NE(full.find("WHERE x.id = :id"), std::string::npos) << full;
}

TEST_F(SQLGenerator, ARefreshOfADataSetWithAParameterNamedLikeAFieldUsesP1) {
  Open(ServiceKind::Neutral, "SELECT id, a, b FROM t WHERE id = :id",
       {{"id", dtInt32}, {"a", dtString, 20}, {"b", dtString, 20}}, {{1, "x", Variant::Null()}},
       "SELECT id, a, b FROM t WHERE id = ?");
  AttachTable("t");
  ds.SetKeyFields("id");
  EXPECT_EQ(Generate(stRefresh), "SELECT id AS _0, a AS _1, b AS _2 FROM t\r\nWHERE\r\n  id = :P_1_id");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"P_1_id"}));
}

TEST_F(SQLGenerator, LongNamesBecomeFieldNumbersAndOddNamesAreQuoted) {
  Open(ServiceKind::Neutral, "SELECT id, abcdef, \"my col\", \"a\"\"b\", \"x.y\" FROM t",
       {{"id", dtInt32}, {"abcdef", dtInt32}, {"my col", dtInt32}, {"a\"b", dtInt32}, {"x.y", dtInt32}},
       {{1, 2, 3, 4, 5}});
  AttachTable("t");
  ds.SetKeyFields("id");
  Service().SetSQLGenerator(std::make_unique<ShortNameGenerator>(Service()));
  ds.Edit();
  ds.FieldByName("abcdef").SetAsInteger(20);
  EXPECT_EQ(Generate(stUpdate), "UPDATE t\r\nSET\r\n  abcdef = ?\r\nWHERE\r\n  id = ?");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"2", "Old_1"}));
  ds.Cancel();

  Service().SetSQLGenerator(std::make_unique<TDASQLGenerator>(Service()));
  ds.Edit();
  ds.FieldByName("my col").SetAsInteger(30);
  ds.FieldByName("a\"b").SetAsInteger(40);
  ds.FieldByName("x.y").SetAsInteger(50);
  // A dot or a quote inside a column name never qualifies or ends it.
  EXPECT_EQ(Generate(stUpdate), "UPDATE t\r\nSET\r\n  \"my col\" = ?, \"a\"\"b\" = ?, \"x.y\" = ?\r\nWHERE\r\n  id = ?");
  ds.Cancel();
}

TEST_F(SQLGenerator, UpdatingTableRules) {
  // No table in the statement: UpdatingTable makes an artificial entry.
  ds.Options().SetSetFieldsReadOnly(false);
  ds.SetUpdatingTable("u");
  Open();
  ds.SetKeyFields("id");
  EXPECT_TRUE(Service().UpdTableIsArtificial());
  ds.Edit();
  ds.FieldByName("b").SetAsString("z");
  EXPECT_EQ(Generate(stUpdate), "UPDATE u\r\nSET\r\n  b = ?\r\nWHERE\r\n  id = ?");
  ds.Cancel();
  ds.Close();

  ds.SetUpdatingTable("");
  ds.Options().SetSetFieldsReadOnly(true);
  Open();
  EXPECT_EQ(Service().UpdatingTableInfoIdx(), -1);
  EXPECT_EQ(Generate(stDelete), "");  // no table: nothing can be written

  AttachTable("t", "x");
  EXPECT_EQ(Service().UpdatingTableInfoIdx(), 0);
  ds.SetUpdatingTable("x");  // by alias
  EXPECT_EQ(Service().UpdatingTableInfoIdx(), 0);
  try {
    ds.SetUpdatingTable("nope");
    FAIL() << "an unknown table must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "Wrong UpdatingTable value - table nope is unknown");
  }
  ds.SetUpdatingTable("");

  ds.IRecordSet()->TablesInfo()[0].SetTableName("");
  ds.SetKeyFields("id");
  try {
    Generate(stDelete);
    FAIL() << "a table without name must raise";
  } catch (const EDAError& e) {
    EXPECT_STREQ(e.what(), "TableInfo name must be provided");
  }
}

TEST_F(SQLGenerator, FieldsOfOtherTablesAreReadOnlyAndNotWritten) {
  Open();
  TKxTablesInfo& tables = ds.IRecordSet()->TablesInfo();
  tables.Add().SetTableName("t");
  tables.Add().SetTableName("u");
  TFieldDescs& descs = ds.IRecordSet()->Fields();
  static_cast<TKxFieldDesc*>(descs[0])->SetTableInfo(&tables[0]);
  static_cast<TKxFieldDesc*>(descs[1])->SetTableInfo(&tables[0]);
  static_cast<TKxFieldDesc*>(descs[2])->SetTableInfo(&tables[1]);
  Reinit();
  EXPECT_TRUE(descs[2]->ReadOnly());
  EXPECT_FALSE(descs[1]->ReadOnly());
  ds.SetKeyFields("id");
  EXPECT_EQ(Generate(stInsert, false), "INSERT INTO t\r\n  (id, a)\r\nVALUES\r\n  (?, ?)");
}

TEST_F(SQLGenerator, DecodeFieldIndexAcceptsOnlyDescriptorPositions) {
  Open();
  EXPECT_EQ(Gen().GenerateIndexName("2"), "_2");
  EXPECT_EQ(Gen().DecodeFieldIndex("_0"), 0);
  EXPECT_EQ(Gen().DecodeFieldIndex("_2"), 2);
  for (const char* name : {"_3", "_", "2", "_-1", "_1a", "_99999999999", "_4294967297"})
    EXPECT_EQ(Gen().DecodeFieldIndex(name), -1) << name;
}

TEST_F(SQLGenerator, TableTexts) {
  Open();
  EXPECT_EQ(Gen().GenerateTableSQL("t", " a "), "SELECT * FROM t\r\nORDER BY a\r\n");
  EXPECT_EQ(Gen().GenerateTableSQL("t", ""), "SELECT * FROM t\r\n\r\n");
  EXPECT_EQ(Gen().GenerateSelectValues("1, 2"), "SELECT 1, 2");
}

// ---- the MySQL generator ----------------------------------------------------------------------

TEST_F(SQLGenerator, MySQLLockTextsAndParameterPositions) {
  Open(ServiceKind::MySQL);
  AttachTable("t");
  ds.SetKeyFields("id");
  const std::string lock = Generate(stLock);
  EXPECT_EQ(lock, "SELECT * FROM t\r\nWHERE\r\n  id = ?\r\nFOR UPDATE");
  auto& gen = static_cast<TCustomMySQLGenerator&>(Gen());
  EXPECT_EQ(gen.GetParamOffset(0), static_cast<std::int32_t>(lock.find('?') + 1));
  Service().SetProp(prLockType, static_cast<std::int32_t>(ilrDelayed));
  EXPECT_EQ(Generate(stLock), "SELECT * FROM t\r\nWHERE\r\n  id = ?\r\nLOCK IN SHARE MODE");

  ds.Edit();
  ds.FieldByName("a").SetAsString("y");
  ds.FieldByName("b").SetAsString("z");
  const std::string update = Generate(stUpdate);
  ASSERT_EQ(update, "UPDATE t\r\nSET\r\n  a = ?, b = ?\r\nWHERE\r\n  id = ?");
  std::vector<std::int32_t> marks;
  for (std::size_t i = 0; i < update.size(); ++i)
    if (update[i] == '?') marks.push_back(static_cast<std::int32_t>(i + 1));
  EXPECT_EQ((std::vector<std::int32_t>{gen.GetParamOffset(0), gen.GetParamOffset(1), gen.GetParamOffset(2)}), marks);
  ds.Cancel();

  ds.Append();
  ds.FieldByName("id").SetAsInteger(5);
  ds.FieldByName("b").SetAsString("q");
  const std::string insert = Generate(stInsert);
  ASSERT_EQ(insert, "INSERT INTO t\r\n  (id, b)\r\nVALUES\r\n  (?, ?)");
  EXPECT_EQ(gen.GetParamOffset(1), static_cast<std::int32_t>(insert.rfind('?') + 1));
  ds.Cancel();
}

TEST_F(SQLGenerator, MySQLTableAndHandlerTexts) {
  ds.SetFilterSQL("a > 1");
  Open(ServiceKind::MySQL);
  auto& gen = static_cast<TCustomMySQLGenerator&>(Gen());
  EXPECT_EQ(gen.GenerateTableSQL("t", "a"), "SELECT * FROM t ORDER BY a");
  gen.SetOffset(5);
  // An offset without a limit still gives a valid LIMIT clause.
  EXPECT_EQ(gen.GenerateTableSQL("t", ""), "SELECT * FROM t LIMIT 5, 18446744073709551615");
  gen.SetLimit(10);
  EXPECT_EQ(gen.GenerateTableSQL("t", ""), "SELECT * FROM t LIMIT 5, 10");

  gen.SetUseHandler(true);
  gen.SetOffset(0);
  gen.SetLimit(-1);
  EXPECT_EQ(gen.GenerateTableSQL("t", ""),
            "HANDLER t OPEN; HANDLER t READ FIRST WHERE a > 1 LIMIT 0, 2147483647; HANDLER t CLOSE");
  gen.SetHandlerIndex("idx");
  EXPECT_EQ(gen.GenerateTableSQL("t", ""),
            "HANDLER t OPEN; HANDLER t READ idx FIRST WHERE a > 1 LIMIT 0, 2147483647; HANDLER t CLOSE");
  gen.SetHandlerIndex("idx >= (5)");
  gen.SetLimit(3);
  EXPECT_EQ(gen.GenerateTableSQL("t", ""),
            "HANDLER t OPEN; HANDLER t READ idx >= (5) WHERE a > 1 LIMIT 0, 3; HANDLER t CLOSE");
}

TEST(MyRecCountSQL, CountRewrites) {
  EXPECT_EQ(MyRecCountSQL("SELECT a, b FROM t WHERE a = 1"), "SELECT COUNT(*) FROM t WHERE a = 1");
  EXPECT_EQ(MyRecCountSQL("SELECT DISTINCT a, b FROM t"), "SELECT COUNT( DISTINCT a, b) FROM t");
  EXPECT_EQ(MyRecCountSQL("select distinctrow a\r\nfrom t"), "select COUNT( distinctrow a)\r\nfrom t");
  EXPECT_EQ(MyRecCountSQL("SELECT DISTINCT a AS x FROM t"), "SELECT COUNT(*) FROM (SELECT DISTINCT a AS x FROM t) q");
  EXPECT_EQ(MyRecCountSQL("SELECT a FROM t LIMIT 5"), "SELECT COUNT(*) FROM (SELECT a FROM t LIMIT 5) q");
  EXPECT_EQ(MyRecCountSQL("SELECT a FROM t LIMIT 2; SELECT 1"), "SELECT COUNT(*) FROM (SELECT a FROM t LIMIT 2) q; SELECT 1");
  // FROM and LIMIT inside parentheses are not the statement's.
  EXPECT_EQ(MyRecCountSQL("SELECT (SELECT MAX(x) FROM u LIMIT 1) m FROM t"), "SELECT COUNT(*) FROM t");
  EXPECT_EQ(MyRecCountSQL("SELECT 'FROM' /* FROM */, a FROM t"), "SELECT COUNT(*) FROM t");
  EXPECT_EQ(MyRecCountSQL("SELECT 1"), "");
  EXPECT_EQ(MyRecCountSQL("SHOW TABLES"), "");
}

}  // namespace
}  // namespace lumo::test
