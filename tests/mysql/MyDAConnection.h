// A connection component over the MySQL provider for tests against the test
// server: its login data, port and scratch database come from the
// LUMO_TEST_* settings, its facade and scratch database from the current
// connection mode.
#pragma once

#include <cstdint>

#include <lumokit/components/DBAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesMetaData.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include "support/ConnectionMode.h"
#include "support/TestServer.h"

namespace lumo::test {

class MyDAConnection : public TCustomDAConnection {
 public:
  explicit MyDAConnection(bool useUnicode = false) : FUseUnicode(useUnicode) {
    SetLoginPrompt(false);
    SetServer(TestServer().host);
    SetUsername(TestServer().user);
    SetPassword(TestServer().password);
  }
  TClassRef<TKxConnection> GetIConnectionClass() override { return ClassOf<TKxConnection, TMySQLConnection>(); }
  TClassRef<TKxCommand> GetICommandClass() override { return ClassOf<TKxCommand, TMySQLCommand>(); }
  TClassRef<TKxRecordSet> GetIRecordSetClass() override { return ClassOf<TKxRecordSet, TMySQLRecordset>(); }
  TClassRef<TKxMetaData> GetIMetaDataClass() override { return ClassOf<TKxMetaData, TMySQLMetaData>(); }

  std::uint32_t ThreadId() { return static_cast<TMySQLConnection*>(IConnection())->GetThreadId(); }

 protected:
  void CreateIConnection() override {
    if (IConnection()) return;
    TCustomDAConnection::CreateIConnection();
    IConnection()->SetProp(prPort, TestServer().port);
    ApplyMode(*static_cast<TMySQLConnection*>(IConnection()));
    if (FUseUnicode) IConnection()->SetProp(prUseUnicode, true);
  }

 private:
  bool FUseUnicode;
};

}  // namespace lumo::test
