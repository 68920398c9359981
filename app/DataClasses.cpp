#include "DataClasses.h"

#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>

namespace lumo {

namespace {

void SetLines(TStrings& list, const std::vector<std::string>& lines) {
  list.BeginUpdate();
  list.Clear();
  for (const std::string& line : lines) list.Add(line);
  list.EndUpdate();
}

void RegisterConnection(TClassRegistry& r) {
  using C = TLumoConnection;
  r.RegisterClass<C>("TLumoConnection", "TComponent");
  r.RegisterString<C>("TLumoConnection", "ProviderName", [](C& c, const std::string& v) { c.SetProviderName(v); });
  r.RegisterString<C>("TLumoConnection", "Server", [](C& c, const std::string& v) { c.SetServer(v); });
  r.RegisterString<C>("TLumoConnection", "Database", [](C& c, const std::string& v) { c.SetDatabase(v); });
  r.RegisterString<C>("TLumoConnection", "Username", [](C& c, const std::string& v) { c.SetUsername(v); });
  r.RegisterString<C>("TLumoConnection", "Password", [](C& c, const std::string& v) { c.SetPassword(v); });
  r.RegisterInteger<C>("TLumoConnection", "Port", [](C& c, int v) { c.SetPort(v); });
  r.RegisterBoolean<C>("TLumoConnection", "LoginPrompt", [](C& c, bool v) { c.SetLoginPrompt(v); });
  r.RegisterBoolean<C>("TLumoConnection", "Connected", [](C& c, bool v) { c.SetConnected(v); });
  r.RegisterBoolean<C>("TLumoConnection", "Pooling", [](C& c, bool v) { c.SetPooling(v); });
  r.RegisterStrings<C>("TLumoConnection", "SpecificOptions.Strings",
                       [](C& c, const std::vector<std::string>& v) { SetLines(c.SpecificOptions(), v); });
  r.RegisterBoolean<C>("TLumoConnection", "Options.KeepDesignConnected",
                       [](C& c, bool v) { c.Options().SetKeepDesignConnected(v); });
  r.RegisterBoolean<C>("TLumoConnection", "Options.DisconnectedMode",
                       [](C& c, bool v) { c.Options().SetDisconnectedMode(v); });
  r.RegisterReference<C, TCustomDAConnection>(
      "TLumoConnection", "DefaultTransaction.DefaultConnection",
      [](C& c, TCustomDAConnection* v) { c.DefaultTransactionOrInternal().SetDefaultConnection(v); });
}

void RegisterQuery(TClassRegistry& r) {
  using Q = TLumoQuery;
  r.RegisterClass<Q>("TLumoQuery", "TComponent");
  r.RegisterReference<Q, TCustomDAConnection>("TLumoQuery", "Connection",
                                              [](Q& q, TCustomDAConnection* v) { q.SetConnection(v); });
  r.RegisterStrings<Q>("TLumoQuery", "SQL.Strings",
                       [](Q& q, const std::vector<std::string>& v) { SetLines(q.SQL(), v); });
  r.RegisterStrings<Q>("TLumoQuery", "SpecificOptions.Strings",
                       [](Q& q, const std::vector<std::string>& v) { SetLines(q.SpecificOptions(), v); });
  r.RegisterInteger<Q>("TLumoQuery", "FetchRows", [](Q& q, int v) { q.SetFetchRows(v); });
  r.RegisterBoolean<Q>("TLumoQuery", "ReadOnly", [](Q& q, bool v) { q.SetReadOnly(v); });
  r.RegisterBoolean<Q>("TLumoQuery", "CachedUpdates", [](Q& q, bool v) { q.SetCachedUpdates(v); });
  r.RegisterString<Q>("TLumoQuery", "KeyFields", [](Q& q, const std::string& v) { q.SetKeyFields(v); });
  r.RegisterReference<Q, TComponent>("TLumoQuery", "UpdateObject", [](Q& q, TComponent* v) { q.SetUpdateObject(v); });
  r.RegisterBoolean<Q>("TLumoQuery", "Active", [](Q& q, bool v) { q.SetActive(v); });
}

void RegisterUpdateSQL(TClassRegistry& r) {
  using U = TLumoUpdateSQL;
  r.RegisterClass<U>("TLumoUpdateSQL", "TComponent");
  // The statement texts, and the components that may run them instead.
  const struct {
    const char* Texts;
    const char* Object;
    TStringList& (TCustomDAUpdateSQL::*Lines)();
    TStatementType Type;
  } kinds[] = {{"InsertSQL.Strings", "InsertObject", &U::InsertSQL, stInsert},
               {"ModifySQL.Strings", "ModifyObject", &U::ModifySQL, stUpdate},
               {"DeleteSQL.Strings", "DeleteObject", &U::DeleteSQL, stDelete},
               {"LockSQL.Strings", "LockObject", &U::LockSQL, stLock},
               {"RefreshSQL.Strings", "RefreshObject", &U::RefreshSQL, stRefresh}};
  for (const auto& kind : kinds) {
    const auto lines = kind.Lines;
    const TStatementType type = kind.Type;
    r.RegisterStrings<U>("TLumoUpdateSQL", kind.Texts,
                         [lines](U& u, const std::vector<std::string>& v) { SetLines((u.*lines)(), v); });
    r.RegisterReference<U, TComponent>("TLumoUpdateSQL", kind.Object,
                                       [type](U& u, TComponent* v) { u.SetObject(type, v); });
  }
}

void RegisterDataSource(TClassRegistry& r) {
  using D = TLumoDataSource;
  r.RegisterClass<D>("TLumoDataSource", "TComponent");
  r.RegisterReference<D, TDataSet>("TLumoDataSource", "DataSet", [](D& d, TDataSet* v) { d.SetDataSet(v); });
  r.RegisterBoolean<D>("TLumoDataSource", "AutoEdit", [](D& d, bool v) { d.SetAutoEdit(v); });
  r.RegisterBoolean<D>("TLumoDataSource", "Enabled", [](D& d, bool v) { d.SetEnabled(v); });
}

}  // namespace

void RegisterDataClasses(TClassRegistry& r) {
  r.RegisterClass<TMySQLLumoProvider>("TMySQLLumoProvider", "TComponent");
  RegisterConnection(r);
  RegisterQuery(r);
  RegisterUpdateSQL(r);
  RegisterDataSource(r);
}

}  // namespace lumo
