// A small in-process provider for tests of the provider-neutral layers: a
// scripted "server" that answers statements with rows, row counts or errors
// and records every statement it gets, and the connection, transaction,
// command and record set that talk to it. No network, no real server.
//
//   FakeServer server;
//   server.OnRows("SELECT id, name FROM t", {{"id", dtInt32}, {"name", dtString, 20}},
//                 {{1, "a"}, {2, "b"}});
//   server.OnError("SELECT * FROM missing", "Table 'missing' doesn't exist", 1146);
//   FakeConnection conn(server);
//   conn.Connect("");
//   FakeRecordSet rs(conn);            // or FakeCommand for statements
//   rs.SetSQL("SELECT id, name FROM t");
//   rs.Open();
//   EXPECT_EQ(server.Log(), (std::vector<std::string>{"SELECT id, name FROM t"}));
//
// Statements are matched by their exact text as sent (markers already
// replaced by "?"); anything unscripted gets DefaultResult (no rows, no
// columns). Transactions log "START TRANSACTION", "COMMIT" and "ROLLBACK".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Variant.h>
#include <lumokit/data/MemTypes.h>

namespace lumo::test {

struct FakeColumn {
  std::string Name;
  std::uint16_t DataType = dtString;
  int Length = 0;  // characters of text, bytes of binary values
  int Scale = 0;
  bool Required = false;
  bool ReadOnly = false;
  std::uint16_t DBType = 0;  // the server's type code (for mapping rules)
};

struct FakeResult {
  std::vector<FakeColumn> Columns;  // empty: a statement without rows
  std::vector<std::vector<Variant>> Rows;
  std::int64_t RowsAffected = 0;
  std::string Error;  // not empty: executing raises EFakeError
  int ErrorCode = 0;
};

// What the fake server raises. The codes of a lost connection (2003, 2006,
// 2013) are fatal, as the MySQL provider's are.
class EFakeError : public EDAError {
 public:
  EFakeError(std::string message, int code) : EDAError(code, std::move(message)) {}
  int Code() const noexcept { return ErrorCode(); }
  bool IsFatalError() const override { return Code() == 2003 || Code() == 2006 || Code() == 2013; }
};

// One statement as the server got it.
struct FakeStatement {
  std::string SQL;
  std::vector<std::string> ParamNames;
  std::vector<Variant> ParamValues;  // Null for a null parameter
};

class FakeServer {
 public:
  FakeServer& On(const std::string& sql, FakeResult result);
  FakeServer& OnRows(const std::string& sql, std::vector<FakeColumn> columns,
                     std::vector<std::vector<Variant>> rows);
  FakeServer& OnAffected(const std::string& sql, std::int64_t rows);
  FakeServer& OnError(const std::string& sql, std::string message, int code = 0);

  // The texts of every statement run, in order.
  std::vector<std::string> Log() const;
  const std::vector<FakeStatement>& Statements() const noexcept { return FStatements; }
  void ClearLog() { FStatements.clear(); }

  // Runs a statement: records it, calls BeforeExecute (which may raise) and
  // answers with the script. `sessionAlive` false raises the lost-connection
  // error (2013).
  const FakeResult& Execute(const FakeStatement& statement, bool sessionAlive);

  // Ends every open session: their next statement raises the
  // lost-connection error and their validity check fails.
  void DropSessions() { ++FGeneration; }
  std::uint64_t Generation() const noexcept { return FGeneration; }

  FakeResult DefaultResult;
  std::function<void(const std::string& sql)> BeforeExecute;
  // Called on every connect; may raise to refuse it.
  std::function<void()> OnConnect;
  int Connects = 0;
  int Disconnects = 0;
  // Transactions say they can be restored after a failover.
  bool RestorableTransactions = false;
  std::string ServerVersion = "10.11.6-fake";

 private:
  std::map<std::string, FakeResult> FScript;
  std::vector<FakeStatement> FStatements;
  std::uint64_t FGeneration = 0;
};

// An open session; connections that share it (AssignConnect) share the object.
struct FakeSession {
  FakeServer* Server = nullptr;
  std::uint64_t Generation = 0;
  bool Alive() const noexcept { return Server && Generation == Server->Generation(); }
};

class FakeConnection : public TKxConnection {
 public:
  explicit FakeConnection(FakeServer& server) : FServerScript(&server) {}

  std::unique_ptr<TKxCommand> CreateCommand() override;
  std::unique_ptr<TKxTransaction> CreateTransaction() override;
  void Connect(const std::string& connectString) override;
  void Disconnect() override;
  void AssignConnect(TKxConnection* source) override;
  bool CheckIsValid() override;
  std::string GetServerVersion() override { return FServerScript->ServerVersion; }
  std::string GetServerVersionFull() override { return FServerScript->ServerVersion; }
  std::string GetClientVersion() override { return "fake"; }

  FakeServer& Server() const noexcept { return *FServerScript; }
  const std::shared_ptr<FakeSession>& Session() const noexcept { return FSession; }
  // Runs a statement on the session (raises when not connected). With an
  // error handler set, errors go through DoError first, as a provider's do.
  const FakeResult& Run(const FakeStatement& statement);
  // Raises `e` after offering it to DoError (when a handler is set).
  [[noreturn]] void RaiseError(const EFakeError& e);

 private:
  FakeServer* FServerScript;
  std::shared_ptr<FakeSession> FSession;
};

class FakeTransaction : public TKxTransaction {
 public:
  bool CanRestoreAfterFailover() override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  // Logged as SAVEPOINT name / ROLLBACK TO SAVEPOINT name.
  void Savepoint(const std::string& name) override;
  void RollbackToSavepoint(const std::string& name) override;

 private:
  void RunOnAll(const std::string& sql);
};

// Rules with the generic converter matrix (no provider fetch converters).
class FakeMapRules : public TKxMapRules {
 public:
  const TConverterManager& GetConverterManager() const override;
};

class FakeCommand : public TKxCommand {
 public:
  std::unique_ptr<TKxMapRules> CreateMapRules() const override { return std::make_unique<FakeMapRules>(); }
  void Prepare() override;
  void Unprepare() override;
  bool GetPrepared() override { return FPrepared; }
  void Execute(int iters = 1) override;
  TCursorState GetCursorState() override { return FCursorState; }
  void SetCursorState(TCursorState value) override { FCursorState = value; }
  std::string CreateProcCall(const std::string& name, bool needDescribe, bool isQuery) override;
  bool GetProp(int prop, Variant& value) override;

  // A copy of the answer of the last Execute.
  const std::optional<FakeResult>& Result() const noexcept { return FResult; }
  std::int64_t RowsAffected() const noexcept { return FResult ? FResult->RowsAffected : 0; }
  int Executions() const noexcept { return FExecutions; }

 private:
  FakeConnection& CheckConnection();

  TCursorState FCursorState = csInactive;
  bool FPrepared = false;
  std::optional<FakeResult> FResult;
  int FExecutions = 0;
};

// Serves the rows of its command's answer in blocks of FetchRows. Values
// are stored as the columns' data types say (through the variant writer).
// With KeepNewestBlock only the last block fetched forward is held (as a
// provider does for unidirectional access); with FetchBackRows the rows
// before the first one held can be fetched backward.
class FakeRecordSet : public TKxRecordSet {
 public:
  FakeRecordSet() = default;
  explicit FakeRecordSet(FakeConnection& connection) { SetConnection(&connection); }

  std::unique_ptr<TKxCommand> CreateCommand() override { return std::make_unique<FakeCommand>(); }
  FakeCommand& Command() { return static_cast<FakeCommand&>(GetCommand()); }
  void ExecCommand() override;
  bool Fetch(bool fetchBack = false) override;

  // Every stored row (visible ones, from the first), as variants.
  std::vector<std::vector<Variant>> Rows();
  int Fetches() const noexcept { return FFetches; }
  bool CanFetchBack() override { return FetchBackRows; }

  bool KeepNewestBlock = false;
  bool FetchBackRows = false;

 protected:
  void InternalInitFields() override;

 private:
  // Fills a fetch block with rows [from, from + n) of the answer (in
  // reverse order when fetching backward) and hands it to the store.
  void FillBlock(std::size_t from, std::size_t n, bool fetchBack);

  std::size_t FRowLow = 0;  // the first row held
  std::size_t FRowPos = 0;  // the row after the last one held
  int FFetches = 0;
};

}  // namespace lumo::test
