// The embedded server, one start per process (each test is a ctest entry of
// its own): a data folder made by mariadb-install-db, refused while another
// process holds its lock, then tables written and read through the provider
// with the general log seen by a callback, and a clean end; a start with an
// unknown option fails with the server's own messages, and a second start
// in the same process is refused.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <lumokit/core/SyncObjs.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApiEmbedded.h>
#include "support/TestServer.h"
#include "support/Wait.h"

namespace lumo {
namespace {

const std::string SecondInstance =
    "Cannot run second Embedded server instance for single data folder. Please see details in Ostrel help or "
    "MySQL Reference manual";

// A temporary folder, removed with the object.
struct TempDir {
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/lumo-emb-test-XXXXXX";
    if (::mkdtemp(pattern.data())) Path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!Path.empty()) std::filesystem::remove_all(Path, ec);
  }
  std::string Path;
};

void ExpectMessage(TMySQLConnection& c, const std::string& prefix) {
  try {
    c.Connect("");
    ADD_FAILURE() << "connected; expected " << prefix;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().substr(0, prefix.size()), prefix) << e.Message();
  }
  EXPECT_FALSE(c.Connected());
}

// Another process that holds a lock file until it is told to let go.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      NamedFileLock lock(path);
      const char ok = lock.Acquire(-1) ? 'y' : 'n';
      (void)!::write(ready[1], &ok, 1);
      char c;
      (void)!::read(release[0], &c, 1);  // returns when the parent closes its end
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    FRelease = release[1];
    char ok = 'n';
    FHeld = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
    ::close(ready[0]);
  }
  ~LockHolder() {
    if (FRelease >= 0) ::close(FRelease);
    int status = 0;
    if (FPid > 0) ::waitpid(FPid, &status, 0);
  }
  bool Held() const { return FHeld; }

 private:
  pid_t FPid = -1;
  int FRelease = -1;
  bool FHeld = false;
};

std::unique_ptr<TMySQLConnection> Embedded(const std::string& params) {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetProp(prEmbedded, true);
  c->SetUsername("root");
  c->SetProp(prEmbParams, params);
  return c;
}

TEST(EmbeddedServer, RunsTablesLogsAndEndsCleanly) {
  if (std::system("command -v mariadb-install-db >/dev/null 2>&1") != 0) {
    if (test::RunningInCI()) FAIL() << "mariadb-install-db is missing (CI=true)";
    GTEST_SKIP() << "mariadb-install-db is missing: install mariadb-server";
  }
  RegisterMyDataTypeMap();
  TempDir dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string data = dir.Path + "/data";
  ASSERT_EQ(std::system(("mariadb-install-db --no-defaults --datadir=" + data +
                         " --auth-root-authentication-method=normal --skip-test-db >" + dir.Path +
                         "/install.log 2>&1")
                            .c_str()),
            0)
      << "see " << dir.Path << "/install.log";
  const std::string params = "# the test's server\n--datadir=" + data + "\n\n--innodb-buffer-pool-size=16M\n";
  const std::string lockPath =
      TMySQLAPIEmbedded::DataFolderLockPath(TMySQLAPIEmbedded::DataFolder({"--datadir=" + data}));

  // Another process holds the data folder: refused, nothing started.
  {
    LockHolder other(lockPath);
    ASSERT_TRUE(other.Held());
    auto c = Embedded(params);
    ExpectMessage(*c, SecondInstance);
    ASSERT_NE(MyAPIEmbedded, nullptr);
    EXPECT_FALSE(MyAPIEmbedded->ServerRunning());
  }

  std::mutex lock;
  std::condition_variable seen;
  std::vector<std::string> log;
  const int id = MyAPIEmbedded->RegisterOnLogEvent([&](const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    log.push_back(line);
    seen.notify_all();
  });
  auto c = Embedded(params);
  c->Connect("");
  ASSERT_TRUE(c->Connected());
  EXPECT_NE(c->GetServerVersionFull().find("embedded"), std::string::npos) << c->GetServerVersionFull();
  EXPECT_TRUE(MyAPIEmbedded->ServerRunning());
  c->ExecStatement("CREATE DATABASE lumo_emb");
  c->SetProp(prDatabase, std::string("lumo_emb"));
  c->ExecStatement("CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(40), at DATETIME, body MEDIUMBLOB)");

  TMySQLCommand ins;
  ins.SetConnection(c.get());
  ins.SetSQL("INSERT INTO items VALUES (:id, :name, :at, :body)");
  ins.GetParam(0).SetDataType(dtInt32);
  ins.GetParam(1).SetDataType(dtString);
  ins.GetParam(2).SetDataType(dtDateTime);
  ins.GetParam(3).SetDataType(dtBlob);
  for (bool prepared : {false, true}) {
    if (prepared) ins.Prepare();
    for (int i = 0; i < 50; ++i) {
      const int n = (prepared ? 50 : 0) + i;
      ins.GetParam(0).SetValue(Variant(n));
      ins.GetParam(1).SetValue(Variant("item " + std::to_string(n)));
      ins.GetParam(2).SetValue(Variant::FromDate(EncodeDateTime(2024, 1, 1 + n % 28, 12, 0, 0, 0)));
      ins.GetParam(3).SetValue(Variant(std::string(static_cast<std::size_t>(n) * 1000, 'x')));
      ins.Execute();
      EXPECT_EQ(ins.RowsAffected(), 1);
    }
  }
  ins.Unprepare();

  for (bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "prepared" : "text");
    TMySQLRecordset rs;
    rs.SetConnection(c.get());
    rs.SetSQL("SELECT id, name, at, LENGTH(body) FROM items ORDER BY id");
    rs.SetProp(prFetchAll, true);
    if (prepared) rs.Prepare();
    rs.Open();
    ASSERT_EQ(rs.GetRecordCount(), 100);
    TRecBuf rec = rs.AllocRecBuf();
    rs.SetToBegin();
    for (int n = 0; n < 100; ++n) {
      rs.GetNextRecord(rec.get());
      ASSERT_FALSE(rs.GetEOF());
      EXPECT_EQ(rs.GetFieldAsVariant(1, rec.get()).AsInt32(), n);
      EXPECT_EQ(rs.GetFieldAsVariant(2, rec.get()).AsString(), "item " + std::to_string(n));
      EXPECT_EQ(rs.GetFieldAsVariant(3, rec.get()).AsDate(), EncodeDateTime(2024, 1, 1 + n % 28, 12, 0, 0, 0));
      EXPECT_EQ(rs.GetFieldAsVariant(4, rec.get()).AsInt64(), n * 1000);
    }
    rs.Close();
  }

  // The general log reaches the callback, a statement far longer than a
  // pipe's buffer included.
  const std::string longText = std::string(300000, 'y');
  c->ExecStatement("DO LENGTH('" + longText + "')");
  auto logged = [&](const std::string& text) {
    std::unique_lock<std::mutex> guard(lock);
    return seen.wait_for(guard, std::chrono::milliseconds(test::kPatienceMs), [&] {
      return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    });
  };
  EXPECT_TRUE(logged("SELECT id, name, at, LENGTH(body) FROM items"));
  EXPECT_TRUE(logged("DO LENGTH('" + longText + "')"));
  MyAPIEmbedded->UnRegisterOnLogEvent(id);

  // Other parameters while it runs: refused.
  auto other = Embedded(params + "--key-buffer-size=1M\n");
  ExpectMessage(*other, SecondInstance);
  EXPECT_NO_THROW(c->ExecStatement("DO 1"));  // the first connection is untouched

  c->Disconnect();
  UnregisterMySqlApiEmbedded();
  EXPECT_EQ(MyAPIEmbedded, nullptr);
  NamedFileLock free(lockPath);
  EXPECT_TRUE(free.Acquire(0));  // the data folder is free again
  free.Release();

  // The library cannot start a second server in this process.
  auto again = Embedded(params);
  ExpectMessage(*again, "The embedded server was ended and cannot start again in this process");
  UnregisterMySqlApiEmbedded();
}

TEST(EmbeddedServer, RefusedStartReportsTheServerMessages) {
  TempDir dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string data = dir.Path + "/data";  // its lock file goes with the folder
  std::filesystem::create_directory(data);
  auto c = Embedded("--datadir=" + data + "\n--no-such-option=1");
  ExpectMessage(*c, "A call to an mysql_server_init failed\n");
  EXPECT_NE(MySQLEmbServerInitMessage().find("unknown variable 'no-such-option=1'"), std::string::npos)
      << MySQLEmbServerInitMessage();
  EXPECT_FALSE(MySQLEmbServerIniting());
  // A parameter the process would not survive never reaches the server.
  auto help = Embedded("--datadir=" + data + "\n--help");
  ExpectMessage(*help, "Embedded server parameter \"--help\" is not accepted");
  // The library does not start after a failed start.
  auto again = Embedded("--datadir=" + data);
  ExpectMessage(*again, "The embedded server failed to start in this process and cannot start again");
  UnregisterMySqlApiEmbedded();
}

}  // namespace
}  // namespace lumo
