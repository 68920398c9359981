// The MySQL provider binding: its registration and classes, the default
// option lists (golden), option lines reaching the MySQL objects, and the
// rejection of invalid option values.
#include <lumokit/lumo/MySQLLumoProvider.h>

#include <gtest/gtest.h>

#include <lumokit/lumo/MySqlFormatter.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesLoader.h>
#include <lumokit/mysql/provider/MyClassesMetaData.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyServices.h>
#include "LumoTestProvider.h"

namespace lumo {
namespace {

using test::ErrorOf;
using test::OptionLines;

TLumoProvider& Provider() {
  RegisterMySQLProvider();
  static std::shared_ptr<TLumoProvider> provider = LumoProviders().GetProvider("mysql");
  return *provider;
}

std::vector<std::string> Defaults(const TOptionsList& list) {
  TStringList lines;
  list.ExportDefOptions(lines);
  std::vector<std::string> out;
  for (int i = 0; i < lines.Count(); ++i) out.push_back(lines[i]);
  return out;
}

TEST(MySQLLumoProvider, RegisteredWithTheMySQLClasses) {
  TLumoProvider& p = Provider();
  EXPECT_EQ(typeid(p), typeid(TMySQLLumoProvider));
  EXPECT_EQ(LumoProviders().GetProviderDesc("MySQL").ProviderComponentName(), "TMySQLLumoProvider");
  RegisterMySQLProvider();  // again: the same instance stays
  EXPECT_EQ(LumoProviders().GetProvider("MySQL").get(), &p);
  EXPECT_TRUE(p.IsDatabaseSupported());
  EXPECT_TRUE(p.IsPortSupported());
  EXPECT_TRUE(p.IsServerSupported());
  EXPECT_FALSE(p.IsDataSetNeedTransaction());

  EXPECT_EQ(typeid(*p.GetConnectionClass().Create()), typeid(TMySQLConnection));
  EXPECT_EQ(typeid(*p.GetTransactionClass().Create()), typeid(TMySQLTransaction));
  EXPECT_EQ(typeid(*p.GetCommandClass().Create()), typeid(TMySQLCommand));
  EXPECT_EQ(typeid(*p.GetRecordSetClass().Create()), typeid(TMySQLRecordset));
  EXPECT_EQ(typeid(*p.GetMetaDataClass().Create()), typeid(TMySQLMetaData));
  EXPECT_EQ(typeid(*p.GetLoaderClass().Create()), typeid(TMySQLLoader));
  EXPECT_EQ(typeid(*p.GetSqlFormatterClass().Create()), typeid(TMySqlFormatter));
  EXPECT_EQ(typeid(*p.GetConnectDialogServiceClass().Create()), typeid(TMyConnectDialogService));
  EXPECT_EQ(typeid(*p.GetParserClass().Create("")), typeid(TMyLumoParser));
  EXPECT_EQ(typeid(p.GetFieldTypeMapClass()), typeid(TCustomMyFieldTypeMap));
  EXPECT_EQ(p.GetConverterManagerClass().GetDBProvider(), MySqlDBProvider);
  EXPECT_EQ(*p.GetDataSetServiceClass().Type, typeid(TCustomMyDataSetService));
  // Not in this library yet: empty references a caller can test.
  EXPECT_FALSE(p.GetServerEnumeratorClass());
  EXPECT_FALSE(p.GetConnectionParametersClass());
  EXPECT_FALSE(p.GetScriptProcessorClass());
  EXPECT_FALSE(p.GetDumpProcessorClass());
  EXPECT_EQ(p.GetConnectionPoolingManagerClass(), nullptr);
}

TEST(MySQLLumoProvider, DefaultOptionLists) {
  TLumoProvider& p = Provider();
  EXPECT_EQ(Defaults(p.GetConnectionOptions()),
            (std::vector<std::string>{
                "MySQL.Charset=", "MySQL.Compress=False", "MySQL.ConnectionTimeout=15", "MySQL.Direct=True",
                "MySQL.Embedded=False", "MySQL.EmbeddedParams=", "MySQL.HttpPassword=", "MySQL.HttpUrl=",
                "MySQL.HttpUsername=", "MySQL.Interactive=False", "MySQL.NullForZeroOrvoDate=False",
                "MySQL.OptimizedBigint=False", "MySQL.Protocol=mpDefault", "MySQL.ProxyHostname=",
                "MySQL.ProxyPassword=", "MySQL.ProxyPort=0", "MySQL.ProxyUsername=", "MySQL.SSLCACert=",
                "MySQL.SSLCert=", "MySQL.SSLChipherList=", "MySQL.SSLKey=", "MySQL.UseUnicode=False"}));
  EXPECT_EQ(Defaults(p.GetSQLOptions()), (std::vector<std::string>{"MySQL.CommandTimeout=0"}));
  EXPECT_EQ(Defaults(p.GetDataSetOptions()),
            (std::vector<std::string>{"MySQL.BinaryAsString=True", "MySQL.CheckRowVersion=False",
                                      "MySQL.CommandTimeout=0", "MySQL.CreateConnection=True",
                                      "MySQL.EnableBoolean=True", "MySQL.FetchAll=True",
                                      "MySQL.FieldsAsString=False", "MySQL.NullForZeroDate=True"}));
  EXPECT_EQ(Defaults(p.GetLoaderOptions()),
            (std::vector<std::string>{"MySQL.Delayed=False", "MySQL.DuplicateKeys=dkNone", "MySQL.LockTable=False",
                                      "MySQL.RowsPerQuery=0"}));
  EXPECT_EQ(Defaults(p.GetDumpOptions()),
            (std::vector<std::string>{"MySQL.AddLock=False", "MySQL.BackupTables=False", "MySQL.BackupViews=False",
                                      "MySQL.CommitBatchSize=0", "MySQL.DisableKeys=False", "MySQL.HexBlob=False",
                                      "MySQL.InsertType=itInsert", "MySQL.UseDelayedIns=False",
                                      "MySQL.UseExtSyntax=True"}));
  EXPECT_TRUE(Defaults(p.GetScriptOptions()).empty());

  // Only connection options go into connect strings, and not all of them.
  const TOptionsList& connection = p.GetConnectionOptions();
  for (int i = 0; i < connection.Count(); ++i) {
    const TOption& o = connection.Items(i);
    const bool expected = o.OptionName() != "OptimizedBigint" && o.OptionName() != "NullForZeroOrvoDate";
    EXPECT_EQ(o.IsUsedInConnectString(), expected) << o.OptionName();
  }
  EXPECT_FALSE(p.GetDataSetOptions().OptionByName("FetchAll")->IsUsedInConnectString());

  TStringList values;
  p.GetLoaderOptions().OptionByName("DuplicateKeys")->GetValuesList(values);
  EXPECT_EQ(values.CommaText(), "dkNone,dkIgnore,dkReplace");
  p.GetDumpOptions().OptionByName("InsertType")->GetValuesList(values);
  EXPECT_EQ(values.CommaText(), "itInsert,itInsertIgnore,itReplaceInto");
}

TEST(MySQLLumoProvider, OptionLinesReachTheConnection) {
  TLumoProvider& p = Provider();
  TMySQLConnection c;
  p.SetObjectProps(c, OptionLines{"MySQL.UseUnicode=True"});
  Variant v;
  ASSERT_TRUE(c.GetProp(prUseUnicode, v));
  EXPECT_TRUE(v.AsBoolean());
  ASSERT_TRUE(c.GetProp(prConnectionTimeout, v));
  EXPECT_EQ(v.AsInt32(), 15);
  EXPECT_TRUE(c.Direct());
  EXPECT_TRUE(c.CheckPrecision());  // set by the provider before the options

  p.SetObjectProps(c, OptionLines{"mysql.CONNECTIONTIMEOUT= 30 ", "Protocol=mpssl", "Oracle.Compress=True",
                                  "MySQL.Charset=gbk", "MySQL.SSLChipherList=AES256-SHA", "MySQL.ProxyPort=8080"});
  EXPECT_FALSE(c.UseUnicode());  // absent now: back to its default
  EXPECT_EQ(c.ConnectionTimeout(), 30);
  EXPECT_EQ(c.Protocol(), mpSSL);
  EXPECT_FALSE(c.Compress());  // another provider's line
  EXPECT_EQ(c.Charset(), "gbk");
  EXPECT_EQ(c.SSL_Cipher(), "AES256-SHA");
  EXPECT_EQ(c.HttpOptions().ProxyOptions().Port(), 8080);

  // A command, a record set (its command takes no data-set option), a
  // loader and the dialog service take their own lists.
  TMySQLCommand command;
  p.SetObjectProps(command, OptionLines{"MySQL.CommandTimeout=7"});
  EXPECT_EQ(command.CommandTimeout(), 7);
  TMySQLRecordset rs;
  p.SetObjectProps(rs, OptionLines{"MySQL.FetchAll=False", "MySQL.EnableBoolean=False", "MySQL.CommandTimeout=9"});
  ASSERT_TRUE(rs.GetProp(prFetchAll, v));
  EXPECT_FALSE(v.AsBoolean());
  EXPECT_FALSE(rs.EnableBoolean());
  EXPECT_TRUE(rs.NullForZeroDate());
  EXPECT_EQ(rs.Command().CommandTimeout(), 9);
  TMySQLLoader loader;
  p.SetObjectProps(loader, OptionLines{"MySQL.DuplicateKeys=dkReplace", "MySQL.RowsPerQuery=2", "MySQL.Delayed=True"});
  EXPECT_EQ(loader.DuplicateKeys(), dkReplace);
  EXPECT_EQ(loader.RowsPerQuery(), 2);
  EXPECT_TRUE(loader.Delayed());
  EXPECT_FALSE(loader.Lock());
  TMyConnectDialogService dialog;
  EXPECT_TRUE(dialog.ServerEnabled());
  p.SetObjectProps(dialog, OptionLines{"MySQL.Embedded=True", "MySQL.Charset=gbk"});
  EXPECT_FALSE(dialog.ServerEnabled());
  EXPECT_FALSE(dialog.DatabaseEnabled());
  EXPECT_FALSE(dialog.PortEnabled());
  EXPECT_TRUE(dialog.UsernameEnabled());
}

TEST(MySQLLumoProvider, InvalidValuesAreRejected) {
  TLumoProvider& p = Provider();
  TMySQLConnection c;
  p.SetObjectProps(c, OptionLines{"MySQL.Compress=True", "MySQL.Charset=latin1"});
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"MySQL.Compress=yes", "Invalid value: yes for option Compress"},
      {"MySQL.Protocol=SSL", "Invalid value: SSL for option Protocol"},
      {"MySQL.ConnectionTimeout=15s", "Invalid value: 15s for option ConnectionTimeout"},
      {"MySQL.ConnectionTimeout=99999999999", "Invalid value: 99999999999 for option ConnectionTimeout"},
      {"MySQL.Charset=utf8; DROP TABLE t", "Invalid value: utf8; DROP TABLE t for option Charset"},
      {"MySQL.Charset=utf8.x", "Invalid value: utf8.x for option Charset"},
      {"MySQL.Charset=latin1'", "Invalid value: latin1' for option Charset"},
  };
  for (const auto& [line, message] : cases) {
    EXPECT_EQ(ErrorOf([&] { p.SetObjectProps(c, OptionLines{line}); }), message) << line;
    // A rejected line leaves every setting as it was.
    EXPECT_TRUE(c.Compress()) << line;
    EXPECT_EQ(c.Charset(), "latin1") << line;
  }
  p.SetObjectProps(c, OptionLines{"MySQL.Charset= utf8mb4 "});
  EXPECT_EQ(c.Charset(), "utf8mb4");

  TMySQLLoader loader;
  EXPECT_EQ(ErrorOf([&] { p.SetObjectProps(loader, OptionLines{"MySQL.DuplicateKeys=_dkIgnore"}); }),
            "Invalid value: _dkIgnore for option DuplicateKeys");
  EXPECT_EQ(ErrorOf([&] { p.SetObjectProps(loader, OptionLines{"MySQL.LockTable=1"}); }),
            "Invalid value: 1 for option LockTable");
  TMySQLRecordset rs;
  EXPECT_EQ(ErrorOf([&] { p.SetObjectProps(rs, OptionLines{"MySQL.FetchAll=on"}); }),
            "Invalid value: on for option FetchAll");
}

}  // namespace
}  // namespace lumo
