// The login dialog: label sets and hand-set captions, the INI settings
// store (its file rights, exact round trip and location), and Execute with
// a login form hook, the stored login and the server history.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <lumokit/components/DAConnectDialog.h>
#include <lumokit/core/Streams.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo::test {
namespace {

namespace fs = std::filesystem;

// No test of this program writes into the settings of the user running it:
// the default store lives in a folder of the run.
class PrivateSettings : public ::testing::Environment {
 public:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("lumo-common-tests-config-" + std::to_string(::getpid()));
    ::setenv("XDG_CONFIG_HOME", FFolder.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(FFolder); }

 private:
  fs::path FFolder;
};
[[maybe_unused]] ::testing::Environment* const GPrivateSettings =
    ::testing::AddGlobalTestEnvironment(new PrivateSettings);

TEST(DALabelSets, LoadTheirSixCaptionsFromTheStringTable) {
  TCustomConnectDialog d;
  EXPECT_EQ(d.LabelSet(), lsEnglish);
  EXPECT_EQ(d.Caption(), "Connect");
  EXPECT_EQ(d.CancelButton(), "Cancel");
  d.SetLabelSet(lsGerman);
  EXPECT_EQ((std::vector<std::string>{d.Caption(), d.UsernameLabel(), d.PasswordLabel(), d.ServerLabel(),
                                      d.ConnectButton(), d.CancelButton()}),
            (std::vector<std::string>{"Anmeldung", "Benutzername", "Kennwort", "Host-Zeichenfolge", "Ok",
                                      "Abbrechen"}));
  d.SetLabelSet(lsPolish);
  EXPECT_EQ(d.UsernameLabel(), "Użytkownik");
  d.SetServerLabel("Host");
  EXPECT_EQ(d.LabelSet(), lsCustom);
  d.SetLabelSet(lsCustom);
  EXPECT_EQ(d.ServerLabel(), "Host");

  // The provider labels follow the six; lsRussian starts at 0.
  EXPECT_EQ(LabelSetBase(lsRussian), 0);
  EXPECT_EQ(LoadLabelString(0), "Соединение");
  EXPECT_EQ(LoadLabelString(10), "Источник данных");
  EXPECT_EQ(LoadLabelString(210), "Donnees de Soruce");
  EXPECT_EQ(LoadLabelString(703), "Cadena Conexiyn");
  EXPECT_EQ(LoadLabelString(606), "Base de dados");
  EXPECT_EQ(LoadLabelString(411), "");
  EXPECT_EQ(LoadLabelString(-1), "");
}

struct StoreFixture : ::testing::Test {
  fs::path folder;
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("lumo-settings-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
  }
  void TearDown() override { fs::remove_all(folder); }
  static unsigned Mode(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
  }
};

TEST_F(StoreFixture, IniFileIsPrivateAndReadsBackExactly) {
  const fs::path file = folder / "sub" / "settings.ini";
  TIniSettingsStore store(file.string());
  std::string value = "untouched";
  EXPECT_FALSE(store.ReadString("Connect", "Server 1", value));
  EXPECT_EQ(value, "untouched");

  const std::string tricky = "line1\nline2 %41 = [x] ; #";
  store.WriteString("Connect\\My]App", "User=Name", tricky);
  store.WriteString("Connect", "Server 1", "db1");
  EXPECT_EQ(Mode(file), 0600u);
  EXPECT_EQ(Mode(file.parent_path()), 0700u);
  ASSERT_TRUE(store.ReadString("connect\\my]app", "user=name", value));
  EXPECT_EQ(value, tricky);
  store.DeleteValue("Connect", "Server 1");
  EXPECT_FALSE(store.ReadString("Connect", "Server 1", value));

  // A file with wider rights becomes private at the next write.
  ::chmod(file.c_str(), 0644);
  store.WriteString("Connect", "Server 1", "db2");
  EXPECT_EQ(Mode(file), 0600u);

  // Lines that are not ours are skipped.
  std::ofstream(file, std::ios::app) << "garbage\n[unterminated\n=novalue\n";
  ASSERT_TRUE(store.ReadString("Connect", "Server 1", value));
  EXPECT_EQ(value, "db2");
}

// A file the store cannot own safely is refused on reads and writes, and
// left as it is.
TEST_F(StoreFixture, LinksSpecialAndOversizedFilesAreRefused) {
  fs::create_directories(folder);
  const fs::path target = folder / "elsewhere.ini";
  std::ofstream(target) << "[Other]\nkeep=1\n";
  ::chmod(target.c_str(), 0644);
  fs::create_symlink(target, folder / "link.ini");
  ::mkfifo((folder / "fifo.ini").c_str(), 0600);
  const fs::path big = folder / "big.ini";
  std::ofstream(big) << "[Connect]\n";
  fs::resize_file(big, (16u << 20) + 1);
  const struct {
    fs::path file;
    std::string why;
  } cases[] = {{folder / "link.ini", "is a symbolic link"},
               {folder / "fifo.ini", "is not a regular file"},
               {big, "is larger than 16 MiB"}};
  for (const auto& c : cases) {
    TIniSettingsStore store(c.file.string());
    const std::string message =
        "The settings file \"" + c.file.string() + "\" " + c.why + ": it is neither read nor written";
    std::string value;
    for (int op = 0; op < 3; ++op) {
      try {
        if (op == 0) store.ReadString("Connect", "Username", value);
        if (op == 1) store.WriteString("Connect", "Username", "me");
        if (op == 2) store.DeleteValue("Other", "keep");
        ADD_FAILURE() << c.file << " " << op;
      } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), message);
      }
    }
  }
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[Other]\nkeep=1\n");
  EXPECT_EQ(Mode(target), 0644u);
  EXPECT_EQ(fs::file_size(big), (16u << 20) + 1);
}

TEST_F(StoreFixture, DefaultFolderFollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "/nonexistent";
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  EXPECT_EQ(TIniSettingsStore::DefaultFolder(), folder.string() + "/lumokit");
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_NE(TIniSettingsStore::DefaultFolder(), "relative/path/lumokit");
  ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  EXPECT_EQ(TIniSettingsStore::SettingsFolderOf("relative", "/home/u"), "/home/u/.config/lumokit");
  // No home folder: no folder at all, never a shared one.
  try {
    TIniSettingsStore::SettingsFolderOf("", "");
    ADD_FAILURE() << "a folder without a home";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "No home folder to keep the login settings in: set HOME or XDG_CONFIG_HOME");
  }
}

TEST_F(StoreFixture, ExecuteFillsTheLoginAndRemembersItOnSuccess) {
  TIniSettingsStore store((folder / "settings.ini").string());
  SetApplicationTitle("LumoTest");
  FakeServer server;
  FakeDAConnection c(server);
  TCustomConnectDialog d;
  d.SetSettingsStore(&store);
  EXPECT_THROW(d.Execute(), EDAError);  // "Connection is not defined"
  d.SetConnection(&c);

  store.WriteString("Connect\\LumoTest", "Username", "stored");
  store.WriteString("Connect\\LumoTest", "Server", "old-host");
  store.WriteString("Connect", "Server 1", "old-host");
  store.WriteString("Connect", "Server 2", "NEW-HOST");
  c.SetUsername("typed");
  c.SetPassword("secret");

  // Without a login form Execute fails and everything is as before.
  EXPECT_FALSE(d.Execute());
  EXPECT_EQ(c.Username(), "typed");
  EXPECT_EQ(c.Password(), "secret");

  std::string seenUser, seenPassword;
  SetShowConnectFormProc([&](TCustomConnectDialog& dialog) {
    seenUser = dialog.Connection()->Username();
    seenPassword = dialog.Connection()->Password();
    dialog.Connection()->SetServer("new-host");
    return true;
  });
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(seenUser, "stored");
  EXPECT_EQ(seenPassword, "");  // another user: the password is not offered
  std::string value;
  ASSERT_TRUE(store.ReadString("Connect\\LumoTest", "Server", value));
  EXPECT_EQ(value, "new-host");
  TStringList history;
  d.GetServerList(history);
  EXPECT_EQ(history.ToVector(), (std::vector<std::string>{"new-host", "old-host"}));
  EXPECT_FALSE(store.ReadString("Connect\\LumoTest", "Password", value));

  d.SetSavePassword(true);
  c.SetPassword("kept");
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(seenPassword, "kept");  // same user: kept when SavePassword is on

  SetShowConnectFormProc([](TCustomConnectDialog& dialog) {
    dialog.Connection()->SetUsername("someone else");
    return false;
  });
  EXPECT_FALSE(d.Execute());
  EXPECT_EQ(c.Username(), "stored");
  SetShowConnectFormProc(nullptr);
}

}  // namespace
}  // namespace lumo::test
