// lumokit-example: connects to a MySQL-protocol server through the provider
// named "MySQL", fills a small table, reads it with a parameterised query,
// raises the quantity of one row through the data set and reads the value
// back from the server. It is the program the package tests build against
// an installed LumoKit, once with CMake and once with pkg-config flags.
#include <lumokit/core/LumoKitVersion.h>
#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace {

struct Options {
  std::string host = "localhost";
  int port = 3306;
  std::string user = "root";
  std::string password;
  std::string database = "test";
};

constexpr const char* kUsage =
    "Usage: lumokit-example [--host=HOST] [--port=PORT] [--user=USER]\n"
    "                       [--password=PASSWORD] [--database=DATABASE]\n"
    "Creates or empties the table lumokit_example in DATABASE, fills it, reads\n"
    "it back with a query and edits one row.\n";

// Reads --name=value options; false (with a message) on anything else.
bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::size_t eq = arg.find('=');
    std::string_view name = arg.substr(0, eq);
    std::string value(eq == std::string_view::npos ? std::string_view() : arg.substr(eq + 1));
    if (name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (eq == std::string_view::npos) {
      std::fprintf(stderr, "lumokit-example: option '%s' needs a value (%s=...)\n", argv[i], argv[i]);
      return false;
    } else if (name == "--host") {
      options.host = value;
    } else if (name == "--port") {
      char* end = nullptr;
      long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "lumokit-example: --port takes a number from 1 to 65535, not '%s'\n", value.c_str());
        return false;
      }
      options.port = static_cast<int>(port);
    } else if (name == "--user") {
      options.user = value;
    } else if (name == "--password") {
      options.password = value;
    } else if (name == "--database") {
      options.database = value;
    } else {
      std::fprintf(stderr, "lumokit-example: unknown option '%s'\n", argv[i]);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    std::printf("LumoKit %s\n", std::string(lumo::LumoKitVersion()).c_str());

    // The provider is found by its name once it is registered.
    lumo::RegisterMySQLProvider();
    lumo::TLumoConnection connection;
    connection.SetProviderName("MySQL");
    connection.SetServer(options.host);
    connection.SetPort(options.port);
    connection.SetUsername(options.user);
    connection.SetPassword(options.password);
    connection.SetDatabase(options.database);
    connection.SetLoginPrompt(false);
    connection.SpecificOptions().Add("MySQL.UseUnicode=True");
    connection.Connect();
    std::printf("connected to %s:%d, database %s\n", options.host.c_str(), options.port,
                options.database.c_str());

    connection.ExecSQL(
        "CREATE TABLE IF NOT EXISTS lumokit_example "
        "(id INT PRIMARY KEY, item VARCHAR(40) NOT NULL, qty INT NOT NULL)");
    connection.ExecSQL("DELETE FROM lumokit_example");
    connection.ExecSQL(
        "INSERT INTO lumokit_example VALUES (1, 'bolts', 40), (2, 'nuts', 15), (3, 'washers', 90)");

    // A query with a parameter; its rows are walked like any data set.
    lumo::TLumoQuery query;
    query.SetConnection(&connection);
    query.SetSQLText("SELECT id, item, qty FROM lumokit_example WHERE qty >= :min_qty ORDER BY id");
    query.ParamByName("min_qty").SetAsInteger(20);
    query.Open();
    for (; !query.Eof(); query.Next()) {
      std::printf("row: %d %s %d\n", query.FieldByName("id").AsInteger(),
                  query.FieldByName("item").AsString().c_str(), query.FieldByName("qty").AsInteger());
    }

    // An edit posted through the data set becomes an UPDATE on the server.
    query.First();
    const std::string item = query.FieldByName("item").AsString();
    const int qty = query.FieldByName("qty").AsInteger();
    query.Edit();
    query.FieldByName("qty").SetAsInteger(qty + 5);
    query.Post();
    query.Close();
    std::printf("posted: %s %d -> %d\n", item.c_str(), qty, qty + 5);

    lumo::TLumoQuery check;
    check.SetConnection(&connection);
    check.SetSQLText("SELECT qty FROM lumokit_example WHERE item = :item");
    check.ParamByName("item").SetAsString(item);
    check.Open();
    std::printf("on the server: %s %d\n", item.c_str(), check.FieldByName("qty").AsInteger());
    check.Close();
    connection.Disconnect();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumokit-example: %s\n", e.what());
    return 1;
  }
}
