#include "support/FakeProvider.h"

#include <gtest/gtest.h>

#include <cstring>

#include <lumokit/access/KxAccessLoader.h>
#include <lumokit/access/KxAccessMetaData.h>

namespace lumo {
namespace {

using test::FakeColumn;
using test::FakeConnection;
using test::FakeRecordSet;
using test::FakeServer;
using Rows = std::vector<std::vector<Variant>>;
using Names = std::vector<std::string>;

Rows Numbered(int n) {
  Rows rows;
  for (int i = 1; i <= n; ++i) rows.push_back({i, "n" + std::to_string(i)});
  return rows;
}

class KxAccessRecordSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.OnRows("SELECT id, name FROM t", {{"id", dtInt32}, {"name", dtString, 20}}, Numbered(7));
    conn.Connect("");
  }
  FakeServer server;
  FakeConnection conn{server};
};

TEST_F(KxAccessRecordSetTest, FetchesBlocksOnDemandOrAllAtOnce) {
  for (bool fetchAll : {false, true}) {
    SCOPED_TRACE(fetchAll);
    FakeRecordSet rs(conn);
    rs.SetProp(prFetchRows, 3);
    rs.SetProp(prFetchAll, fetchAll);
    int fetchAllDone = 0;
    rs.AfterFetchAll = [&] { ++fetchAllDone; };
    rs.SetSQL("SELECT id, name FROM t");
    rs.Open();
    EXPECT_EQ(rs.Fetches(), fetchAll ? 3 : 1);
    EXPECT_EQ(rs.GetRecordCount(), fetchAll ? 7 : 3);
    EXPECT_EQ(fetchAllDone, fetchAll ? 1 : 0);
    EXPECT_EQ(rs.Rows(), Numbered(7));  // walking fetches the rest
    EXPECT_EQ(rs.Fetches(), 3);
    EXPECT_TRUE(rs.NoData());
    EXPECT_EQ(rs.Command().GetCursorState(), csFetched);
    EXPECT_TRUE(rs.CanDisconnect());
    rs.Close();
  }
  EXPECT_EQ(server.Log(), (Names{"SELECT id, name FROM t", "SELECT id, name FROM t"}));
}

TEST_F(KxAccessRecordSetTest, BreakFetchAndCancelStopFetchingAll) {
  FakeRecordSet rs(conn);
  rs.SetProp(prFetchRows, 2);
  rs.SetProp(prFetchAll, true);
  rs.OnAfterFetch = [&] { rs.BreakFetch(); };
  rs.SetSQL("SELECT id, name FROM t");
  rs.Open();
  EXPECT_EQ(rs.GetRecordCount(), 2);
  EXPECT_EQ(rs.Command().GetCursorState(), csFetching);
  EXPECT_FALSE(rs.CanDisconnect());
  rs.OnAfterFetch = nullptr;
  EXPECT_EQ(rs.Rows().size(), 7u);
  rs.Close();

  // A cancel from OnBeforeFetch while everything is fetched turns the
  // cursor back to fetching block by block.
  rs.OnBeforeFetch = [](bool& cancel) { cancel = true; };
  rs.Open();
  EXPECT_EQ(rs.GetRecordCount(), 0);
  EXPECT_EQ(rs.Command().GetCursorState(), csFetching);
}

TEST_F(KxAccessRecordSetTest, WalksFetchOnDemandAcrossReleasedAndEarlierBlocks) {
  FakeRecordSet rs(conn);
  rs.KeepNewestBlock = true;  // each forward block replaces the one before
  rs.FetchBackRows = true;
  rs.SetProp(prFetchRows, 3);
  rs.SetSQL("SELECT id, name FROM t");
  rs.Open();
  EXPECT_EQ(rs.Rows(), Numbered(7));
  EXPECT_EQ(rs.GetRecordCount(), 1);  // only the last block is held

  // Backward from the end, the blocks before the first row held come back.
  TRecBuf buf = rs.AllocRecBuf();
  std::vector<int> ids;
  for (rs.GetPriorRecord(buf.get()); !rs.GetBOF(); rs.GetPriorRecord(buf.get()))
    ids.push_back(rs.GetFieldAsVariant(1, buf.get()).AsInt32());
  EXPECT_EQ(ids, (std::vector<int>{7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(rs.GetRecordCount(), 7);
  EXPECT_EQ(rs.Fetches(), 5);

  // Fetching everything on a command without a result leaves it alone.
  FakeRecordSet idle(conn);
  idle.FetchAll();
  EXPECT_EQ(idle.Command().GetCursorState(), csInactive);
}

TEST_F(KxAccessRecordSetTest, FailedOpenLeavesTheCommandInactive) {
  server.OnError("SELECT * FROM missing", "Table 'missing' doesn't exist", 1146);
  FakeRecordSet rs(conn);
  rs.SetSQL("SELECT * FROM missing");
  EXPECT_THROW(rs.Open(), test::EFakeError);
  EXPECT_FALSE(rs.Active());
  EXPECT_EQ(rs.Command().GetCursorState(), csInactive);
}

TEST_F(KxAccessRecordSetTest, PropertiesAndLocalSort) {
  FakeRecordSet rs(conn);
  Variant v;
  EXPECT_THROW(rs.SetProp(prUsername, "x"), EAssertionFailed);
  rs.SetProp(prFetchAll, true);
  rs.SetProp(prUniDirectional, true);
  ASSERT_TRUE(rs.GetProp(prFetchAll, v));
  EXPECT_FALSE(v.AsBoolean());
  rs.SetProp(prUniDirectional, false);
  rs.SetProp(prLockFetchAll, true);
  rs.SetProp(prFetchAll, true);
  EXPECT_FALSE(rs.FetchAllRows());
  rs.SetProp(prLockFetchAll, false);
  rs.SetProp(prFetchRows, 0);
  EXPECT_EQ(rs.FetchRows(), 1);
  rs.SetProp(prFetchRows, 1 << 30);
  EXPECT_EQ(rs.FetchRows(), 65535);
  rs.SetProp(prCompressBlobMode, static_cast<int>(cbServer));
  EXPECT_EQ(rs.Command().CompressBlob(), cbServer);

  // A local order needs every row: sorting fetches the rest first.
  rs.SetProp(prFetchRows, 2);
  rs.SetSQL("SELECT id, name FROM t");
  rs.Open();
  rs.SetProp(prIndexFieldNames, "id DESC");
  Rows expected = Numbered(7);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(rs.Rows(), expected);
}

TEST_F(KxAccessRecordSetTest, MappedFieldsConvertBothWays) {
  FakeRecordSet rs(conn);
  rs.DataTypeMap().AddRule("ID", 0, -1, -1, -1, -1, dtString, 10, -1, false);
  rs.SetSQL("SELECT id, name FROM t");
  rs.Open();
  auto& id = static_cast<TKxFieldDesc&>(rs.FieldByName("id"));
  auto& name = static_cast<TKxFieldDesc&>(rs.FieldByName("name"));
  ASSERT_NE(id.OnDemandConverter(), nullptr);
  EXPECT_EQ(id.MappedDataType(), dtString);
  EXPECT_EQ(id.MapLength(), 10);
  EXPECT_EQ(name.MapRule(), nullptr);

  TRecBuf buf = rs.AllocRecBuf();
  rs.SetToBegin();
  rs.GetNextRecord(buf.get());
  char text[16] = {};
  bool blank = true;
  rs.GetField(id.FieldNo(), buf.get(), text, blank, true);
  EXPECT_STREQ(text, "1");
  EXPECT_EQ(rs.GetFieldAsVariant(id.FieldNo(), buf.get()).AsInt32(), 1);  // the stored form
  // What the data set writes is presented; a database value and a variant are stored.
  rs.PutField(id.FieldNo(), buf.get(), "42");
  EXPECT_EQ(rs.GetFieldAsVariant(id.FieldNo(), buf.get()).AsInt32(), 42);
  const std::int32_t stored = 43;
  rs.PutField(id.FieldNo(), buf.get(), &stored, true);
  EXPECT_EQ(rs.GetFieldAsVariant(id.FieldNo(), buf.get()).AsInt32(), 43);
  rs.PutFieldAsVariant(id.FieldNo(), buf.get(), 44);
  EXPECT_EQ(rs.GetFieldAsVariant(id.FieldNo(), buf.get()).AsInt32(), 44);
  rs.PutMappedField(id.FieldNo(), buf.get(), "45");
  EXPECT_EQ(rs.GetFieldAsVariant(id.FieldNo(), buf.get()).AsInt32(), 45);
  EXPECT_THROW(rs.PutField(id.FieldNo(), buf.get(), "4x"), Exception);
  // Disabled rules map nothing.
  rs.Close();
  rs.DataTypeMap().SetEnabled(false);
  rs.Open();
  EXPECT_EQ(static_cast<TKxFieldDesc&>(rs.FieldByName("id")).OnDemandConverter(), nullptr);
}

TEST_F(KxAccessRecordSetTest, MapRulesOfTheRecordSetComeBeforeTheConnections) {
  constexpr std::uint16_t tpFakeInt = 951;
  if (!DBTypeInfos().FindTypeInfo(tpFakeInt)) DBTypeInfos().Add(tpFakeInt, "FakeInt", false, false);
  server.OnRows("SELECT id, name FROM t", {{"id", dtInt32, 0, 0, false, false, tpFakeInt}, {"name", dtString, 20}},
                Numbered(2));
  FakeRecordSet rs(conn);
  rs.SetSQL("SELECT id, name FROM t");
  auto mapped = [&] {
    rs.Close();
    rs.Open();
    const auto& id = static_cast<const TKxFieldDesc&>(rs.FieldByName("id"));
    EXPECT_EQ(static_cast<const TKxFieldDesc&>(rs.FieldByName("name")).MapRule(), nullptr);
    return id.MappedDataType();
  };
  // By database type: the record set's rule before the connection's.
  conn.DataTypeMap().AddRule("", tpFakeInt, -1, -1, -1, -1, dtFloat, -1, -1, false);
  EXPECT_EQ(mapped(), dtFloat);
  rs.DataTypeMap().AddRule("", tpFakeInt, -1, -1, -1, -1, dtString, 12, -1, false);
  EXPECT_EQ(mapped(), dtString);
  // A rule for the field's name comes before any rule by type.
  conn.DataTypeMap().AddRule("ID", 0, -1, -1, -1, -1, dtInt64, -1, -1, false);
  EXPECT_EQ(mapped(), dtInt64);
  rs.DataTypeMap().AddRule("id", 0, -1, -1, -1, -1, dtInt16, -1, -1, false);
  EXPECT_EQ(mapped(), dtInt16);
  EXPECT_EQ(rs.Rows(), Numbered(2));  // the records keep the stored type
}

TEST_F(KxAccessRecordSetTest, EncryptedFieldsAndTableNameCase) {
  // Values arrive as hexadecimal text; "BAD" fails its check.
  auto decrypt = [](void* data, std::uint16_t type, std::int64_t& size) {
    EXPECT_EQ(type, dtString);
    auto* text = static_cast<char*>(data);
    const std::string hex(text, static_cast<std::size_t>(size));
    if (hex == "BAD") {
      size = 0;
      return false;
    }
    for (std::size_t i = 0; i < hex.size() / 2; ++i)
      text[i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    size /= 2;
    return true;
  };
  server.OnRows("SELECT id, name FROM t", {{"id", dtInt32}, {"name", dtString, 20}},
                {{1, "6869"}, {2, "BAD"}, {3, ""}, {4, Variant::Null()}});
  FakeRecordSet rs(conn);
  rs.SetEncryptor({[](const void*, std::uint16_t, std::int64_t&) { return Variant(); }, decrypt});
  rs.SetProp(prEncryptedFields, "\"name\"");
  rs.SetSQL("SELECT id, name FROM t");
  rs.Open();
  EXPECT_EQ(rs.Rows(), (Rows{{1, "hi"}, {2, Variant::Null()}, {3, ""}, {4, Variant::Null()}}));
  EXPECT_EQ(rs.GetEncryptStateSize(), 1);
  EXPECT_EQ(rs.GetEncryptState(rs.FieldByName("name").FieldNo()), 0x0001);
  EXPECT_EQ(rs.GetEncryptState(rs.FieldByName("id").FieldNo()), -1);
  EXPECT_TRUE(rs.FieldIsEncrypted("NAME"));
  rs.Close();
  rs.SetProp(prEncryptedFields, "id");
  EXPECT_THROW(rs.Open(), Exception);  // an integer cannot be encrypted

  conn.GetSQLInfo().SetTableNamesCaseSensitive(true);
  FakeRecordSet other(conn);
  other.SetSQL("SELECT id, name FROM t");
  other.Open();
  EXPECT_TRUE(other.TablesInfo().CaseSensitive());
}

// ---- metadata and loader ---------------------------------------------------------------------

class FakeMetaData : public TKxMetaData {
 protected:
  std::unique_ptr<TKxRecordSet> CreateRecordSet() override { return std::make_unique<FakeRecordSet>(); }
  TData& GetTables(TStrings& restrictions) override {
    std::string where;
    AddWhere(where, "table_schema", restrictions.Values("TABLE_SCHEMA"));
    AddWhere(where, "table_name", restrictions.Values("TABLE_NAME"), true);
    FRecordSet->SetSQL("SELECT table_schema, table_name FROM tables WHERE " + where);
    FRecordSet->Open();
    CreateTablesFields();
    OpenResult();
    while (FRecordSetHelper->NextRecord()) {
      FMemDataHelper->InitRecord();
      CopyRecord({1, 2}, {2, 3});
      FMemDataHelper->AppendRecord();
    }
    return *FMemData;
  }
};

Rows AllRows(TData& data) {
  Rows rows;
  TRecBuf buf = data.AllocRecBuf();
  data.SetToBegin();
  for (data.GetNextRecord(buf.get()); !data.GetEOF(); data.GetNextRecord(buf.get())) {
    std::vector<Variant> row;
    for (int f = 1; f <= data.FieldCount(); ++f) row.push_back(data.GetFieldAsVariant(f, buf.get()));
    rows.push_back(std::move(row));
  }
  return rows;
}

TEST_F(KxAccessRecordSetTest, MetaDataKindsRestrictionsAndLiterals) {
  FakeMetaData md;
  TStringList restrictions;
  TData& kinds = md.GetMetaData(&conn, nullptr, "MetaDataKinds", restrictions);
  EXPECT_EQ(kinds.GetRecordCount(), 9);

  restrictions.Add("METADATA_NAME=tables");
  TData& r = md.GetMetaData(&conn, nullptr, "Restrictions", restrictions);
  EXPECT_EQ(AllRows(r), (Rows{{"Tables", "TABLE_CATALOG"}, {"Tables", "TABLE_SCHEMA"}, {"Tables", "TABLE_NAME"},
                              {"Tables", "TABLE_TYPE"}}));
  restrictions.Clear();
  EXPECT_EQ(md.GetMetaData(&conn, nullptr, "restrictions", restrictions).GetRecordCount(), 30);

  // The kind is trimmed and case-insensitive; values go through the literal writer.
  server.OnRows("SELECT table_schema, table_name FROM tables WHERE table_schema = 'it''s' AND table_name IS NULL",
                {{"table_schema", dtString, 64}, {"table_name", dtString, 64}}, {{"it's", "t1"}});
  restrictions.Add("TABLE_SCHEMA=\"it's\"");
  TData& tables = md.GetMetaData(&conn, nullptr, " TABLES ", restrictions);
  EXPECT_EQ(AllRows(tables), (Rows{{Variant::Null(), "it's", "t1", Variant::Null()}}));
  try {
    md.GetMetaData(&conn, nullptr, "Users", restrictions);
    FAIL();
  } catch (const EMetaDataError& e) {
    EXPECT_STREQ(e.what(), "Unsupported metadata kind");
  }

  TStringList types;
  TKxMetaData::ParseTypes(" view, table ,VIEW", types);
  EXPECT_EQ(types.ToVector(), (Names{"TABLE", "VIEW"}));
  TKxMetaData::ParseTypes("", types);
  EXPECT_EQ(types.ToVector(), Names{""});
}

class FakeLoader : public TKxLoader {
 public:
  std::unique_ptr<TKxRecordSet> CreateRecordSet() override { return std::make_unique<FakeRecordSet>(); }
  void DoPutColumnData(int col, int row, const Variant& value) override {
    Cells.push_back(std::to_string(row) + ":" + std::to_string(col) + "=" + value.AsString());
  }
  void DoLoad() override { FLoadedRows = FLastRow + 1; }
  void Finish() override {}
  Names Cells;
};

TEST_F(KxAccessRecordSetTest, LoaderColumnsAndRowOrder) {
  server.OnRows("SELECT * FROM \"my table\" WHERE 1=0",
                {{"id", dtInt32, 10}, {"name", dtString, 20}, {"stamp", dtString, 19, 0, false, true}}, {});
  FakeLoader loader;
  loader.SetConnection(&conn);
  try {
    loader.Prepare();
    FAIL();
  } catch (const ELoaderError& e) {
    EXPECT_STREQ(e.what(), "TableName must be defined");
  }
  loader.SetTableName("my table");
  loader.Prepare();
  loader.CreateColumns();
  ASSERT_EQ(loader.Columns().Count(), 2);  // the read-only column is skipped
  EXPECT_EQ(loader.Columns()[0]->Precision(), 10);
  EXPECT_EQ(loader.Columns()[1]->Size(), 20);
  EXPECT_EQ(&loader.Columns().GetColumnByName("NAME"), loader.Columns()[1]);
  EXPECT_THROW(loader.Columns().GetColumnByName("x"), ELoaderError);

  loader.PutColumnData(0, 1, 5);
  loader.PutColumnData(1, 1, "a");
  loader.PutColumnData(0, 2, 6);
  loader.DiscardRow();
  loader.PutColumnData(0, 2, 7);
  EXPECT_EQ(loader.Cells, (Names{"1:0=5", "1:1=a", "2:0=6", "2:0=7"}));
  struct Bad {
    int Col, Row;
    const char* Message;
  };
  auto rejected = [&](int col, int row, const char* message) {
    try {
      loader.PutColumnData(col, row, 0);
      ADD_FAILURE() << col << "," << row;
    } catch (const ELoaderError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  rejected(2, 2, "Invalid column number");
  rejected(0, 4, "Invalid row number");
  rejected(0, 1, "Invalid row number");
  // A row that has been loaded takes no more values; the next one does.
  loader.DoLoad();
  rejected(0, 2, "Invalid row number");
  loader.PutColumnData(0, 3, 8);
  EXPECT_EQ(loader.Cells.back(), "3:0=8");
}

}  // namespace
}  // namespace lumo
