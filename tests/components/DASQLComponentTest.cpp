// The SQL command and SQL data set components over the fake provider:
// parameters that follow the text, what reaches the provider and what comes
// back, text sizes and line breaks of parameters, the failover bookkeeping
// of Execute, the record count with a count query, the filter and WHERE
// editing of a data set, and the fetch events.
#include <gtest/gtest.h>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DAMetaData.h>
#include <lumokit/components/DASQL.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo {
namespace {

using test::FakeColumn;
using test::FakeDAConnection;
using test::FakeServer;

// Counts the failover operations pushed and not yet popped.
class CountingConnection : public FakeDAConnection {
 public:
  using FakeDAConnection::FakeDAConnection;
  void PushOperation(TConnLostCause operation, bool allowFailOver) override {
    ++Depth;
    FakeDAConnection::PushOperation(operation, allowFailOver);
  }
  void PopOperation() override {
    --Depth;
    FakeDAConnection::PopOperation();
  }
  int Depth = 0;
};

std::vector<std::vector<Variant>> Numbers(int n) {
  std::vector<std::vector<Variant>> rows;
  for (int i = 1; i <= n; ++i) rows.push_back({i});
  return rows;
}

TEST(DASQLTest, ParameterValuesFollowTheTextByName) {
  FakeServer server;
  FakeDAConnection conn(server);
  TCustomDASQL sql;
  // Scanned before there is a connection; the values stay when it comes.
  sql.SetSQLText("UPDATE t SET a = 1 WHERE id = :id");
  ASSERT_EQ(sql.ParamCount(), 1);
  sql.ParamByName("id").SetAsInteger(5);
  sql.SetConnection(&conn);
  sql.SetSQLText("UPDATE t SET a = :name WHERE id = :id OR parent = :id");
  ASSERT_EQ(sql.ParamCount(), 2);
  EXPECT_EQ(sql.Params()[0].Name(), "name");
  EXPECT_EQ(sql.ParamByName("id").AsInteger(), 5);
  sql.ParamByName("name").SetAsString("x");
  server.OnAffected("UPDATE t SET a = ? WHERE id = ? OR parent = ?", 2);
  sql.Execute();
  ASSERT_EQ(server.Statements().size(), 1u);
  const auto& st = server.Statements()[0];
  // Every marker of a name gets the parameter's value.
  EXPECT_EQ(st.ParamValues, (std::vector<Variant>{Variant(u"x"), Variant(5), Variant(5)}));
  EXPECT_EQ(sql.RowsAffected(), 2);
  // The use Execute took (and the connect it made) is given back.
  EXPECT_TRUE(conn.Connected());
  EXPECT_EQ(conn.ConnectCount(), 0);
}

TEST(DASQLTest, ValuesAreWrittenAndOutputValuesReadBackByName) {
  FakeServer server;
  FakeDAConnection conn(server);
  TCustomDASQL sql;
  sql.SetConnection(&conn);
  sql.SetSQLText("CALL p(:inp, :outp)");
  sql.ParamByName("inp").SetAsInteger(7);
  sql.ParamByName("outp").SetParamType(ptOutput);
  sql.ParamByName("outp").SetDataType(ftInteger);
  // The user reorders the list: matching stays by name.
  auto moved = sql.Params().RemoveParam(sql.ParamByName("inp"));
  sql.Params().AddParam(std::move(moved));
  EXPECT_EQ(sql.Params().ParamsChangeType(), ctUsers);
  server.BeforeExecute = [&](const std::string&) { sql.ICommand()->FindParam("outp")->SetValue(42); };
  int after = 0;
  sql.AfterExecute = [&](TCustomDASQL&, bool result) { after += result ? 1 : 100; };
  sql.Execute();
  EXPECT_EQ(server.Statements()[0].ParamNames, (std::vector<std::string>{"inp", "outp"}));
  EXPECT_EQ(server.Statements()[0].ParamValues[0], Variant(7));
  EXPECT_EQ(sql.ParamByName("outp").AsInteger(), 42);
  EXPECT_EQ(sql.ParamByName("inp").AsInteger(), 7);
  EXPECT_EQ(after, 1);
}

TEST(DASQLTest, TextSizesAreBytesAndLineBreaksChangeOnACopy) {
  FakeServer server;
  FakeDAConnection conn(server);
  conn.SetConvertEOL(true);
  TCustomDASQL sql;
  sql.SetConnection(&conn);
  sql.SetSQLText("INSERT INTO t VALUES (:s, :m)");
  sql.ParamByName("s").SetAsWideString(u"\u00e9\u00e9\u00e9");
  sql.ParamByName("s").SetParamType(ptInput);
  sql.ParamByName("m").SetAsMemo("a\r\nb");
  TBlob* memo = sql.ParamByName("m").AsBlobRef();
  memo->AddRef();  // the program shares the blob
  TSharedRef<TBlob> shared = TSharedRef<TBlob>::Adopt(memo);
  sql.Execute();
  EXPECT_EQ(sql.ICommand()->FindParam("s")->Size(), 6);
  const Variant sent = server.Statements()[0].ParamValues[1];
  auto* sentBlob = dynamic_cast<TBlob*>(sent.AsSharedObject().Get());
  ASSERT_NE(sentBlob, nullptr);
  EXPECT_EQ(sentBlob->AsString(), "a\nb");
  EXPECT_EQ(shared->AsString(), "a\r\nb");
}

TEST(DASQLTest, ExecuteErrorsEndTheUseAndTheOperation) {
  FakeServer server;
  CountingConnection conn(server);
  server.OnError("DELETE FROM t", "Table 't' doesn't exist", 1146);
  TCustomDASQL sql;
  sql.SetConnection(&conn);
  sql.SetSQLText("DELETE FROM t");
  bool failed = false;
  sql.AfterExecute = [&](TCustomDASQL&, bool result) { failed = !result; };
  conn.Connect();
  EXPECT_THROW(sql.Execute(), EDAError);
  EXPECT_TRUE(failed);
  EXPECT_EQ(conn.ConnectCount(), 1);
  EXPECT_EQ(conn.Depth, 0);
  EXPECT_THROW(TCustomDASQL().Execute(), EDAError);
}

class CountedDataSet : public TCustomDADataSet {
 public:
  std::int64_t Count = 0;

 protected:
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    struct Service : TDADataSetService {
      using TDADataSetService::TDADataSetService;
      std::int64_t GetRecCount() override { return static_cast<CountedDataSet&>(DADataSet()).Count; }
    };
    return std::make_unique<Service>(*this);
  }
};

TEST(DADataSetTest, FetchesInBlocksAndEndsTheUseWhenTheLastRowArrives) {
  FakeServer server;
  FakeDAConnection conn(server);
  server.OnRows("SELECT id FROM t", {{"id", dtInt32}}, Numbers(23));
  CountedDataSet ds;
  ds.SetConnection(&conn);
  ds.SetSQLText("SELECT id FROM t");
  ds.SetFetchRows(10);
  EXPECT_THROW(ds.SetFetchRows(0), EDAError);
  EXPECT_EQ(ds.FetchRows(), 10);
  int before = 0, after = 0;
  ds.BeforeFetch = [&](TCustomDADataSet&, bool&) { ++before; };
  ds.AfterFetch = [&](TCustomDADataSet&) { ++after; };
  conn.Options().SetDisconnectedMode(true);
  ds.Open();
  EXPECT_EQ(before, 1);
  EXPECT_EQ(ds.RecordCount(), 10);
  EXPECT_TRUE(conn.Connected());  // rows remain to be read
  ds.Last();
  EXPECT_EQ(ds.RecordCount(), 23);
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 23);
  EXPECT_EQ(after, before);
  EXPECT_TRUE(ds.Fetched());
  EXPECT_FALSE(conn.Connected());  // the last row ended the last use
}

TEST(DADataSetTest, AStoredActiveOpensWhenLoadingEnds) {
  FakeServer server;
  FakeDAConnection conn(server);
  server.OnRows("SELECT id FROM t", {{"id", dtInt32}}, Numbers(2));
  CountedDataSet ds;
  ds.BeginLoading();
  ds.SetActive(true);
  ds.SetConnection(&conn);
  ds.SetSQLText("SELECT id FROM t");
  EXPECT_FALSE(ds.Active());
  ds.EndReading();
  ds.Loaded();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 2);
}

TEST(DADataSetTest, RecordCountOfACountQueryIsNeverBelowTheRowsHeld) {
  FakeServer server;
  FakeDAConnection conn(server);
  server.OnRows("SELECT id FROM t", {{"id", dtInt32}}, Numbers(50));
  CountedDataSet ds;
  ds.SetConnection(&conn);
  ds.SetSQLText("SELECT id FROM t");
  ds.SetFetchRows(10);
  ds.Options().SetQueryRecCount(true);
  ds.Count = 100;
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 100);
  ds.Close();
  ds.Count = 3;  // counted before rows were added on the server
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 10);
}

TEST(DADataSetTest, ExecuteThatReturnsEarlyStillPopsItsOperation) {
  FakeServer server;
  CountingConnection conn(server);
  CountedDataSet ds;
  ds.SetConnection(&conn);
  ds.SetSQLText("UPDATE t SET a = 1");
  int nested = 0;
  server.BeforeExecute = [&](const std::string&) {
    if (nested++ == 0) ds.Execute();  // already executing: returns at once
  };
  ds.Execute();
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(conn.Depth, 0);
  EXPECT_EQ(conn.ConnectCount(), 0);
}

TEST(DADataSetTest, FilterAndWhereEditingKeepTheConditionAndTheText) {
  FakeServer server;
  FakeDAConnection conn(server);
  CountedDataSet ds;
  ds.SetConnection(&conn);
  ds.SetSQLText("SELECT * FROM t WHERE a = 1");
  ds.SetFilterSQL(" b = 2 OR c = 3 ");
  EXPECT_EQ(ds.FinalSQL(), "SELECT * FROM t WHERE (a = 1) AND (b = 2 OR c = 3) ");
  ds.SetFilterSQL("");
  EXPECT_EQ(ds.FinalSQL(), "SELECT * FROM t WHERE a = 1");

  ds.SetSQLText("SELECT * FROM t ORDER BY a");
  ds.AddWhere("x=1");
  EXPECT_EQ(ds.SQLText(), "SELECT * FROM t \r\nWHERE x=1 ORDER BY a\r\n");
  ds.AddWhere("y=2");
  EXPECT_EQ(ds.SQLText(), "SELECT * FROM t \r\nWHERE (x=1 ) AND y=2 ORDER BY a\r\n");
  EXPECT_EQ(ds.BaseSQL(), "SELECT * FROM t ORDER BY a");
  ds.SetOrderBy("a;b");
  EXPECT_EQ(ds.GetOrderBy(), "a,b");
  ds.RestoreSQL();
  EXPECT_EQ(ds.SQLText(), "SELECT * FROM t ORDER BY a\r\n");
  EXPECT_FALSE(ds.SQLSaved());
}

// Metadata of one kind, "tables": two names with the SUFFIX restriction.
class FakeMetaData : public TKxMetaData {
 protected:
  std::unique_ptr<TKxRecordSet> CreateRecordSet() override { return std::make_unique<test::FakeRecordSet>(); }
  TData& InternalGetMetaData(const std::string& kind, TStrings& restrictions) override {
    if (kind != "tables") return TKxMetaData::InternalGetMetaData(kind, restrictions);
    ResetResult();
    AddField("TABLE_NAME", dtString, 30);
    OpenResult();
    for (const char* name : {"a", "b"}) {
      FMemDataHelper->InitRecord();
      FMemDataHelper->SetFieldValue(1, std::string(name) + restrictions.Values("SUFFIX"));
      FMemDataHelper->AppendRecord();
    }
    return *FMemData;
  }
};

class MetaConnection : public FakeDAConnection {
 public:
  using FakeDAConnection::FakeDAConnection;
  TClassRef<TKxMetaData> GetIMetaDataClass() override { return ClassOf<TKxMetaData, FakeMetaData>(); }
};

TEST(DAMetaDataTest, OpensTheKindWithItsRestrictionsAndClosesOnChanges) {
  FakeServer server;
  MetaConnection conn(server);
  std::unique_ptr<TDAMetaData> meta = conn.CreateMetaData();
  EXPECT_THROW(TDAMetaData().Open(), EDAError);
  meta->SetMetaDataKind("tables");
  meta->Restrictions().SetValues("SUFFIX", "_x");
  meta->Open();
  ASSERT_EQ(meta->RecordCount(), 2);
  EXPECT_EQ(meta->FieldByName("TABLE_NAME").AsString(), "a_x");
  EXPECT_EQ(conn.ConnectCount(), 0);  // the use ended with the read
  meta->Restrictions().SetValues("SUFFIX", "_y");
  EXPECT_FALSE(meta->Active());
  meta->Open();
  meta->Last();
  EXPECT_EQ(meta->FieldByName("TABLE_NAME").AsString(), "b_y");
  meta->SetMetaDataKind("columns");
  EXPECT_FALSE(meta->Active());
  EXPECT_THROW(meta->Open(), Exception);
}

}  // namespace
}  // namespace lumo
