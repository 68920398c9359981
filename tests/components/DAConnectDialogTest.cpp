// The login dialog: label sets and hand-set captions, the INI settings
// store (its file rights, exact round trip and location), and Execute with
// a login form hook, the stored login and the server history.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <lumokit/components/DAConnectDialog.h>
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

TEST_F(StoreFixture, DefaultFolderFollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "/nonexistent";
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  EXPECT_EQ(TIniSettingsStore::DefaultFolder(), folder.string() + "/lumokit");
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_NE(TIniSettingsStore::DefaultFolder(), "relative/path/lumokit");
  ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
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
