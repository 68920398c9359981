// The MySQL data-set service and SQL generator: which columns of a MySQL
// result are keys, data and identity fields, the TIMESTAMP field used for
// quick refresh and row versions, field origins, default values read from the
// server, number ranges, the record count of a query (a rewritten COUNT
// statement), row locks (SELECT ... FOR UPDATE / LOCK IN SHARE MODE),
// parameter placement by position and the text a table component opens.
//
// Decisions:
// - Key fields come from the primary key when the result has one; else from
//   columns the server flags as a unique key; else from the first unique
//   index the server lists for the updating table (which covers composite
//   unique keys); else there is no key and conditions use every
//   non-large-object data field. A non-unique index never makes a key: an
//   UPDATE or DELETE must not reach several rows because of the chosen key.
// - A unique key may hold NULL in several rows: a row whose (automatically
//   chosen, non-primary) key is NULL is found by all its fields instead.
// - The current schema (unqualified table names of default values and key
//   lookups) is the one the session is in, not the Database setting: a USE
//   statement moves it.
// - Default values are read from information_schema with the schema and
//   table passed as parameters (written by the literal writer). Servers
//   that report defaults as expressions (MariaDB 10.2.7 and later: 'text',
//   NULL, current_timestamp()) are read back to plain values; other
//   expressions give no default.
// - The record count runs on a data set of the connection made for it (the
//   updater's own statement may be in use); BreakExec cancels it from any
//   thread.
// - An offset without a limit writes the largest row count MySQL takes
//   ("LIMIT n, -1" is not SQL).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DASQLGenerator.h>

namespace lumo {

class TCustomDADataSet;
class TCustomDASQL;
class TMySQLFieldDesc;

// ---- property codes of the service --------------------------------------------------------

inline constexpr int prCheckRowVersion = 101;
inline constexpr int prLockType = 102;
inline constexpr int prAutoIncrementReadOnly = 103;

enum TLockRecordTypeI : std::uint8_t { ilrImmediately = 0, ilrDelayed = 1 };

// ---- COUNT rewrite --------------------------------------------------------------------------

// The statement that counts the rows of `sql` (its ORDER BY already
// removed): SELECT COUNT(*) FROM ..., SELECT COUNT( DISTINCT list) FROM ...,
// or a count over the derived table q for DISTINCT with AS and for LIMIT.
// An empty text when `sql` has no SELECT ... FROM.
std::string MyRecCountSQL(const std::string& sql);

// ---- generator ---------------------------------------------------------------------------

// The parameter information of the MySQL generator: the builder the
// marker went into and its 0-based position there.
class TMyParamInfo : public TDAParamInfo {
 public:
  TSQLBuilderKind SB() const noexcept { return FSB; }
  void SetSB(TSQLBuilderKind value) noexcept { FSB = value; }
  std::int32_t ParamPosition() const noexcept { return FParamPosition; }
  void SetParamPosition(std::int32_t value) noexcept { FParamPosition = value; }

 protected:
  TSQLBuilderKind FSB = sbHeader;
  std::int32_t FParamPosition = 0;
};

class TCustomMyDataSetService;

class TCustomMySQLGenerator : public TDASQLGenerator {
 public:
  explicit TCustomMySQLGenerator(TDADataSetService& owner);

  void AddParam(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType, TParamType paramType,
                int index = -1, bool old = false) override;
  void AddFieldToCondition(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                           bool modifiedFieldsOnly, int index = -1) override;
  void GenerateLockSQL(const TKeyAndDataFields& keyAndDataFields, int index = -1) override;
  void GenerateConditions(std::string& sb, TStatementType statementType, bool modifiedFieldsOnly,
                          const TKeyAndDataFields& keyAndDataFields, int index = -1) override;
  TDAParamsInfo::TItemFactory GetParamInfoClass() override;
  std::string GenerateTableSQL(const std::string& tableName, const std::string& orderFields) override;

  // The 1-based position of parameter `index`'s marker in the assembled
  // statement.
  std::int32_t GetParamOffset(int index);

  std::int32_t Limit() const noexcept { return FLimit; }
  void SetLimit(std::int32_t value) noexcept { FLimit = value; }
  std::int32_t Offset() const noexcept { return FOffset; }
  void SetOffset(std::int32_t value) noexcept { FOffset = value; }
  bool UseHandler() const noexcept { return FUseHandler; }
  void SetUseHandler(bool value) noexcept { FUseHandler = value; }
  const std::string& HandlerIndex() const noexcept { return FHandlerIndex; }
  void SetHandlerIndex(std::string value) { FHandlerIndex = std::move(value); }

  // The table's TIMESTAMP data field: the last one carrying
  // IsCurrentTimestamp, else the first TIMESTAMP field; nullptr when none.
  TMySQLFieldDesc* TableTimestampField(const TKeyAndDataFields& keyAndDataFields);

 protected:
  TCustomMyDataSetService& MyService() const;
  // Client and server both speak 4.1 (HANDLER ... OPEN; ... ; HANDLER CLOSE).
  virtual bool Is41Capable();

  std::int32_t FLimit = -1;
  std::int32_t FOffset = 0;
  bool FUseHandler = false;
  std::string FHandlerIndex;
};

// ---- service -----------------------------------------------------------------------------

class TCustomMyDataSetService : public TDADataSetService {
 public:
  explicit TCustomMyDataSetService(TMemDataSet& owner);
  ~TCustomMyDataSetService() override;

  // The MySQL updater (see MyUpdater.h).
  std::unique_ptr<TDataSetUpdater> CreateDataSetUpdater() override;
  void SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) override;
  void SetNumberRange(TFieldDef& fieldDef) override;
  void WriteFieldXMLDataType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) override;
  void WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) override;
  void SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  std::unique_ptr<TDASQLGenerator> CreateSQLGenerator() override;
  void InitCursor() override;
  void CloseCursor() override;
  void SetFieldOrigin(TField& field, TKxFieldDesc& fieldDesc) override;
  void FillFieldsDefaultValues() override;
  TKxFieldDesc* DetectIdentityField() override;
  bool DetectCanModify() override;
  bool CanUseAllKeyFields() override;
  void FillKeyFieldDescs(TFieldDescArray& keyFieldDescs, bool forceUseAllKeyFields) override;
  void FillDataFieldDescs(TFieldDescArray& dataFieldDescs, bool forceUseAllKeyFields) override;
  std::int64_t GetRecCount() override;
  // May be called from another thread: cancels a running count query.
  void BreakExec() override;
  bool Executing() override;
  bool OpenNext() override;
  std::string GetCurrentSchema() override;

  using TDADataSetService::FillKeyFieldDescs;

  bool CheckRowVersion() const noexcept { return FCheckRowVersion; }
  TLockRecordTypeI LockType() const noexcept { return FLockType; }
  bool AutoIncrementReadOnly() const noexcept { return FAutoIncrementReadOnly; }
  TMySQLFieldDesc* TimestampField() const noexcept { return FTimestampField; }
  TCustomMySQLGenerator& MySQLGenerator();

 protected:
  // Whether a field of the data set takes part in the key and data choice.
  bool IsConsideredField(const TKxFieldDesc& desc) const;

  std::atomic<bool> FInGetRecCount{false};
  bool FCheckRowVersion = false;
  TLockRecordTypeI FLockType = ilrImmediately;
  TMySQLFieldDesc* FTimestampField = nullptr;
  bool FAutoIncrementReadOnly = true;
  // The running count query (cancelled by BreakExec).
  std::mutex FCountLock;
  TCustomDADataSet* FCountDataSet = nullptr;
};

}  // namespace lumo
