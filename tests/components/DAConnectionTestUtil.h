// A connection component over the fake provider, and a client that records
// what the connection tells it, for the connection and transaction tests.
#pragma once

#include <string>
#include <vector>

#include <lumokit/components/DATransaction.h>
#include <lumokit/components/DBAccess.h>
#include "support/FakeProvider.h"

namespace lumo::test {

// The fake server the next FakeDAConnection's provider connection talks to.
FakeServer*& CurrentFakeServer();

class FakeDAConnection : public TCustomDAConnection {
 public:
  explicit FakeDAConnection(FakeServer& server) : FServerScript(server) {
    CurrentFakeServer() = &server;
    SetLoginPrompt(false);
    SetReconnectSleeper([this](std::int64_t ms) { Sleeps.push_back(ms); });
  }

  TClassRef<TKxConnection> GetIConnectionClass() override {
    CurrentFakeServer() = &FServerScript;
    return TClassRef<TKxConnection>(
        []() -> std::unique_ptr<TKxConnection> { return std::make_unique<FakeConnection>(*CurrentFakeServer()); },
        typeid(FakeConnection));
  }
  TClassRef<TKxRecordSet> GetIRecordSetClass() override { return ClassOf<TKxRecordSet, FakeRecordSet>(); }

  FakeConnection* Fake() const { return static_cast<FakeConnection*>(IConnection()); }

  std::vector<std::int64_t> Sleeps;

 private:
  FakeServer& FServerScript;
};

// A SQL data set or command stand-in: records the connection's calls.
class RecordingClient : public TComponent, public IDAConnectionClient {
 public:
  explicit RecordingClient(TCustomDAConnection& connection, std::string name = "client") : FConnection(&connection) {
    SetName(name);
    connection.RegisterClient(this, [this](bool connecting) {
      Events.push_back(connecting ? "connect" : "disconnect");
      if (!connecting && FatalOnDisconnect > 0) {
        --FatalOnDisconnect;
        throw EFakeError("Lost connection to MySQL server during query", 2013);
      }
    });
  }
  ~RecordingClient() override {
    if (FConnection) FConnection->UnRegisterClient(this);
  }

  TComponent& ClientComponent() override { return *this; }
  TCustomDAConnection* ClientConnection() override { return FConnection; }
  void SetIConnection(TKxConnection* value) override { Events.push_back(value ? "iconnection" : "no iconnection"); }
  void ClearConnection() override { FConnection = nullptr; }
  bool PreventsReconnect(TComponent*, TConnLostCause) override { return HoldsServerState; }
  TDATransaction* UsedTransaction() override { return Transaction; }
  void TransactionEnds(TDATransaction&) override { Events.push_back("transaction ends"); }
  void ResetProviderObjects() override { Events.push_back("reset"); }
  bool HasCachedUpdates() override { return CachedUpdates; }
  TDATransaction* UpdateTransaction() override { return Transaction; }
  void ApplyCachedUpdates() override {
    Events.push_back(AutoCommit ? "apply (autocommit)" : "apply");
    if (FailApply) throw EFakeError("Duplicate entry", 1062);
  }
  bool ClientAutoCommit() const override { return AutoCommit; }
  void SetClientAutoCommit(bool value) override { AutoCommit = value; }
  void CommitCachedUpdates() override { Events.push_back("commit updates"); }

  std::vector<std::string> Events;
  int FatalOnDisconnect = 0;
  bool HoldsServerState = false;
  bool CachedUpdates = false;
  bool FailApply = false;
  bool AutoCommit = true;
  TDATransaction* Transaction = nullptr;

 private:
  TCustomDAConnection* FConnection;
};

}  // namespace lumo::test
