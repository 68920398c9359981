// The connection component of the data-set benchmarks: the MySQL provider
// over the wire client, with the test server's port, database and UTF-8.
#pragma once

#include <lumokit/components/DBAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include "BenchSupport.h"

namespace lumo::bench {

class BenchConnection : public TCustomDAConnection {
 public:
  explicit BenchConnection(const bench::Server& s) : FTarget(s) {
    SetLoginPrompt(false);
    SetServer(s.host);
    SetUsername(s.user);
    SetPassword(s.password);
  }
  TClassRef<TKxConnection> GetIConnectionClass() override { return ClassOf<TKxConnection, TMySQLConnection>(); }
  TClassRef<TKxCommand> GetICommandClass() override { return ClassOf<TKxCommand, TMySQLCommand>(); }
  TClassRef<TKxRecordSet> GetIRecordSetClass() override { return ClassOf<TKxRecordSet, TMySQLRecordset>(); }

 protected:
  void CreateIConnection() override {
    if (IConnection()) return;
    TCustomDAConnection::CreateIConnection();
    IConnection()->SetProp(prPort, FTarget.port);
    IConnection()->SetProp(prDatabase, FTarget.db);
    IConnection()->SetProp(prConnectionTimeout, 600);
    IConnection()->SetProp(prUseUnicode, true);
  }

 private:
  bench::Server FTarget;
};

}  // namespace lumo::bench
