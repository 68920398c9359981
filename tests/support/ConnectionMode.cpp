#include "support/ConnectionMode.h"

#include <lumokit/mysql/provider/MyClasses.h>
#include "support/TestServer.h"

namespace lumo::test {

namespace {

ConnectionMode GMode = ConnectionMode::Direct;

void EnsureDatabase(const std::string& name) {
  static std::string made;
  if (made == name || !TestServerReachable()) return;
  TMySQLConnection c;
  c.SetServer(TestServer().host);
  c.SetProp(prPort, TestServer().port);
  c.SetUsername(TestServer().user);
  c.SetPassword(TestServer().password);
  c.Connect("");
  c.ExecStatement("CREATE DATABASE IF NOT EXISTS `" + name + "`");
  made = name;
}

}  // namespace

ConnectionMode CurrentMode() { return GMode; }

std::string ScratchDatabase() {
  return GMode == ConnectionMode::Direct ? TestServer().scratchDatabase : TestServer().scratchDatabase + "_lib";
}

std::string ModeName(const std::string& base) { return GMode == ConnectionMode::Direct ? base : base + "_lib"; }

void ApplyMode(TMySQLConnection& c) {
  c.SetProp(prDirect, GMode == ConnectionMode::Direct);
  c.SetProp(prDatabase, ScratchDatabase());
}

void ModeTest::SetUp() {
  GMode = GetParam();
  if (GMode != ConnectionMode::Direct) EnsureDatabase(ScratchDatabase());
}

void ModeTest::TearDown() { GMode = ConnectionMode::Direct; }

std::string ModeParamName(const ::testing::TestParamInfo<ConnectionMode>& info) {
  return info.param == ConnectionMode::Direct ? "Direct" : "ClientLibrary";
}

}  // namespace lumo::test
