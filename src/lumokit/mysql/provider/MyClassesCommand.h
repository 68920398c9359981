// The MySQL command: TMySQLCommand runs one SQL text on a TMySQLConnection
// as a text query with every parameter written as a MySQL literal, steps
// through the results of a multi-statement text, builds the call text of
// stored procedures and functions from their declarations, and cancels a
// running statement with KILL on a second connection. The record set reads
// the rows of the result it leaves open (SQLResult).
//
// Decisions:
// - Prepare makes a server-side statement of the SQL through the facade;
//   Execute then sends the parameters in binary form (in placeholder order,
//   as the text path writes them) and, when a result set is asked for,
//   leaves the statement's column description as SQLResult for the record
//   set, which fetches the rows from the statement (Stmt). Without a result
//   set the statement's results are read and dropped. Statement errors
//   raise EMyError with the statement's code and text (CheckStmt). A failed
//   Prepare closes the statement; Unprepare and destruction close it
//   whatever state its connection is in. A new SQL text unprepares the
//   command: the server's statement holds the old one.
// - A string given for an integer or floating-point parameter is converted
//   to the declared type before it is written, never pasted raw (a text
//   that is not a number raises EConvertError).
// - BreakExec: a mutex makes the test of the executing flag and its
//   clearing at the end of Execute exclusive; the flag is atomic. A cancel
//   of an idle command sends nothing. The killing connection is opened
//   outside the lock; KILL is sent only when, under the lock, the same
//   execution is still running (an execution counter), so a cancel that
//   loses the race against the end of Execute reaches neither the idle
//   session nor its next statement, and the end of Execute never waits for
//   a connect. A cancelled execution ends in EAbort.
// - The routine and database names in the description queries go through
//   the literal writer; a routine whose body the server does not show
//   (SHOW CREATE gives NULL without the privilege to see it) raises "Cannot
//   read the parameters of routine %s: its definition is not visible to
//   this user".
// - Statements of the description queries are read through the command and
//   the facade directly (the record set is built on this unit).
// - Placeholder positions recorded while parsing are used only for the
//   parsed text they were recorded for (and only where they point at "?");
//   otherwise the text is split at its "?" lexemes, read with the
//   connection's backslash mode. Fewer parameters than placeholders raise
//   "Not enough parameters: ..."; parameters beyond them are not used.
// - The read-back aliases of output parameters are single-quoted with
//   doubled quotes; a name holding a backslash is back-quoted instead, as
//   the two escaping modes read a backslash in a string differently.
// - Names read from a routine's definition (its parameters) are written as
//   one identifier (TSQLInfo::IdentifierOf): quoted whole with back-quotes
//   doubled unless plain (an ASCII letter, then letters, digits, "_" or
//   "$"), never taken as already quoted; so a plain parameter still reads @x in
//   the call text, as callers have seen it. The routine's name in SHOW
//   CREATE PROCEDURE/FUNCTION is always back-quoted (QuoteIdentifier).
// - Affected-row counts are 64-bit. When no result set is asked for, the
//   count is the first statement's: the further results of a
//   batch are read and freed without changing it. When one is asked for,
//   it follows each statement passed over up to the one that yields the
//   result set.
// - Stored-procedure calls over the built-in wire client set the session's
//   FSkipPacket. The session reads the extra status packet that ends a
//   call only when the end of the result announces more results
//   (SERVER_MORE_RESULTS_EXISTS), and never after an error packet: a
//   result without that flag has nothing after it, and a read would wait
//   for a packet that never comes.
// - The cancel sends "KILL <thread id>" (the whole session of the running
//   statement ends, as the server cannot tell a half-read reply apart);
//   the killing connection is a bare copy of the settings (no character
//   set, no mode query, no error handler).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/wire/MyParser.h>
#include <lumokit/mysql/wire/MySqlApi.h>

namespace lumo {

class TFieldDesc;

class TMyTableInfo : public TKxTableInfo {
 public:
  using TKxTableInfo::TKxTableInfo;

  std::string TableNameFull() const override { return FTableNameFull; }
  void SetTableNameFull(std::string value) override { FTableNameFull = std::move(value); }
  TDateTime MaxTimestamp() const noexcept { return FMaxTimestamp; }
  void SetMaxTimestamp(TDateTime value) noexcept { FMaxTimestamp = value; }
  TFieldDesc* TimestampField() const noexcept { return FTimestampField; }
  void SetTimestampField(TFieldDesc* value) noexcept { FTimestampField = value; }

 private:
  std::string FTableNameFull;
  TDateTime FMaxTimestamp = 0;
  TFieldDesc* FTimestampField = nullptr;
};

// One declared parameter of a routine, as read from its definition.
struct TMySPParam {
  std::string Name;
  TParamDirection Direction = pdInput;
  std::string TypeName;  // upper-cased, without size
  std::string TypeText;  // with its parenthesised part for DECIMAL and NUMERIC
  bool Unsigned = false;
  std::int32_t Size = 0;
};

class TMySQLCommand : public TKxCommand {
 public:
  TMySQLCommand();
  ~TMySQLCommand() override;

  bool ParseSQLParam(std::string& builder, TSQLParser& parser, TParamDescs* params, char leftQuote,
                     char rightQuote, const std::string& renamePrefix) override;
  std::unique_ptr<TKxTableInfo> CreateTableInfo(TKxTablesInfo& owner) const override;
  std::unique_ptr<TSQLInfo> CreateSQLInfo() const override;
  TSQLParserClass GetParserClass() const override { return ParserClassOf<TMyParser>(); }
  std::unique_ptr<TKxMapRules> CreateMapRules() const override;

  void Prepare() override;
  void Unprepare() override;
  bool GetPrepared() override { return FPrepared; }
  void Execute(int iters = 1) override;
  void SetConnection(TKxConnection* value) override;
  TCursorState GetCursorState() override { return FCursorState; }
  void SetCursorState(TCursorState value) override { FCursorState = value; }
  void SetSQL(const std::string& value) override;
  // A text without ":" is left as it is (and the parameter list cleared).
  void ParseSQL(std::string_view sql, TParamDescs* params, std::string& result,
                const std::string& renamePrefix) override;
  using TKxCommand::ParseSQL;
  std::string CreateProcCall(const std::string& name, bool needDescribe, bool isQuery) override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  void BreakExec() override;

  virtual void Check(const void* status);
  virtual void Check(int status);
  virtual void Check();
  // Raises the statement's error when status is not 0.
  virtual void CheckStmt(int status);

  // Rows affected by the last statement; moves the cursor state to
  // csExecuted when the statement has result columns, else csInactive.
  std::int64_t CalcRowsAffected();
  // The text sent for the current SQL and parameters (8-bit: UTF-8 with
  // UseUnicode, else the process code page).
  std::string PlaceParamValues();
  // The literal of one parameter as sent on this connection.
  void AppendParamValue(std::string& sql, TParamDesc& param);

  // Reads the routine's declaration (function or procedure, parameters,
  // return type).
  void GetSPParams(const std::string& name, bool& isFunction, std::string& paramList, std::string& returns);
  // Rebuilds the parameter list from a declaration; returns the parameter
  // information used for the call text.
  std::vector<TMySPParam> DescribeParams(const std::string& paramList, bool isFunction, const std::string& returns);
  // The call text (user SQL and SQL sent) for a routine with these
  // parameters.
  static void BuildProcCall(const std::string& name, bool isFunction, const std::vector<TMySPParam>& params,
                            const TSQLInfo& info, std::string& sql, std::string& userSQL);
  // The expression that reads one output parameter back.
  static std::string ReadBackExpression(const TMySPParam& param, const std::string& variable,
                                        const std::string& alias);
  // Parses one declaration list ("IN a INT, OUT b VARCHAR(10)").
  static std::vector<TMySPParam> ParseParamList(std::string_view paramList);
  // The data type of a declared type name (raises for an unknown one).
  static std::uint16_t TypeNameToDataType(const std::string& typeName, const std::string& paramList);

  // Output parameters from the single row of a stored-procedure call's
  // result: findField answers a field's index by name (-1 when none),
  // fieldValue its value (Null for NULL; a large object as a shared TBlob).
  // Fills the output, input-output and result parameters, sets
  // CanReadParams and IsSelectParams and fires ReadParams.
  void ReadOutParams(const std::function<int(std::string_view name)>& findField,
                     const std::function<Variant(int index)>& fieldValue);

  // Properties (also for the record set).
  TMySQLConnection* GetConnection() const noexcept { return FMyConnection; }
  int CommandTimeout() const noexcept { return FCommandTimeout; }
  std::int64_t RowsAffected() const noexcept { return FRowsAffected; }
  bool StoredProc() const noexcept { return FStoredProc; }
  bool CanReadParams() const noexcept { return FCanReadParams; }
  void SetCanReadParams(bool value) noexcept { FCanReadParams = value; }
  bool IsSelectParams() const noexcept { return FIsSelectParams; }
  void SetIsSelectParams(bool value) noexcept { FIsSelectParams = value; }
  bool RequestResultset() const noexcept { return FRequestResultset; }
  void SetRequestResultset(bool value) noexcept { FRequestResultset = value; }
  // The open result of the session (rows read by the record set).
  PMYSQL_RES SQLResult() const noexcept { return FSQLResult; }
  void SetSQLResult(PMYSQL_RES value) noexcept {
    FSQLResult = value;
    if (value && FMyConnection) FResultAPI = FMyConnection->MySQLAPI();
  }
  // Frees the open result (reading its remaining rows off the wire).
  void FreeSQLResult() noexcept;
  // The server-side statement while prepared (rows are fetched from it).
  PMYSQL_STMT Stmt() const noexcept { return Fstmt; }
  TMySQLAPI* StmtAPI() const noexcept { return FStmtAPI; }
  // Execute opens the next result of a multi-result execution instead.
  bool OpenNext() const noexcept { return FOpenNext; }
  void SetOpenNext(bool value) noexcept { FOpenNext = value; }
  bool WaitForBreak() const noexcept { return FWaitForBreak.load(std::memory_order_acquire); }
  const std::vector<std::int32_t>& ParamPositions() const noexcept { return FParamPositions; }
  using TExecuteEvent = std::function<void(const std::string& sql)>;
  void SetOnExecute(TExecuteEvent value) { FOnExecute = std::move(value); }

 protected:
  virtual void DoExecute();
  // The seam for server-side prepared statements.
  virtual void DoExecutePrepared();
  // The SQL split at its "?" placeholders (comments and strings kept whole).
  const std::vector<std::string>& CachedSQL();
  // The parameter for placeholder `index` (stored-procedure order for calls).
  TParamDesc& ParamForPlaceholder(int index);
  std::string EncodeSQL(std::string_view text) const;
  // The character set the literal writer escapes for.
  std::string LiteralCharset() const;
  // The parameters in placeholder order (into `order`, which is cleared
  // first and keeps its memory).
  std::vector<TParamDesc*> PlaceholderParams() const;
  void PlaceholderParams(std::vector<TParamDesc*>& order) const;
  // The recorded positions belong to the current SQL and point at "?".
  bool PositionsUsable() const;
  TMySQLAPI& API() const;
  PMYSQL_CON Session() const;
  // Closes the statement (errors ignored) and clears the handle.
  void CloseStmt() noexcept;

  TMySQLConnection* FMyConnection = nullptr;
  int FCommandTimeout = 0;
  TCursorState FCursorState = csInactive;
  std::int64_t FRowsAffected = -1;
  std::int64_t FRowsAffectedPrev = 0;
  // The count of each statement of the last text, in order.
  std::vector<std::int64_t> FStatementRows;
  bool FStoredProc = false;
  bool FCanReadParams = false;
  bool FIsSelectParams = false;
  bool FRequestResultset = false;
  std::vector<std::string> FCachedSQL;
  bool FCachedSQLValid = false;
  std::string FCachedSQLText;
  bool FCachedBackslashes = true;
  std::vector<std::int32_t> FParamPositions;
  std::string FPositionsSQL;        // the parsed text the positions belong to
  bool FPositionsExternal = false;  // given through prParamPosition
  std::vector<std::int32_t>* FRecording = nullptr;
  bool FFillParamPosition = false;
  bool FPrepared = false;
  PMYSQL_STMT Fstmt = nullptr;
  // The facade that made Fstmt (process-wide, so the statement can be
  // closed after its connection is gone).
  TMySQLAPI* FStmtAPI = nullptr;
  // The parameters of a prepared execution in placeholder order, kept
  // between executions so that their memory is reused.
  std::vector<TParamDesc*> FExecParams;
  bool FOpenNext = false;
  TExecuteEvent FOnExecute;
  PMYSQL_RES FSQLResult = nullptr;
  // The facade that made FSQLResult (a process-wide object, so the result
  // can be freed after the connection is gone).
  TMySQLAPI* FResultAPI = nullptr;
  std::mutex FBreakExecCS;
  std::atomic<bool> FWaitForBreak{false};
  std::atomic<std::uint32_t> FThreadId{0};
  // Counts executions (under FBreakExecCS): a cancel kills only the
  // execution it was asked for.
  std::uint64_t FExecGeneration = 0;
};

}  // namespace lumo
