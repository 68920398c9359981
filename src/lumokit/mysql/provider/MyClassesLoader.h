// The MySQL bulk loader: TMySQLLoader collects rows value by value and sends
// them as multi-row INSERT (INSERT IGNORE, REPLACE, optionally DELAYED)
// statements, every value written as a MySQL literal by the literal writer
// for the connection's escaping mode and character set. A statement is sent
// when it would grow past 163840 bytes, or every RowsPerQuery rows.
//
// Decisions:
// - The table name and the column names are written in back-quotes
//   (TMySQLInfo::QuoteObjectName, QuoteIdentifier), never as given: a name
//   holding a blank, a quote or a reserved word still makes a valid
//   statement, and nothing the caller wrote reaches SQL unquoted. The same
//   name goes into LOCK TABLES.
// - Prepare makes the columns from the table (the contract's empty query)
//   only when none were defined before.
// - A statement that fails is dropped from the buffer as well (its rows are
//   lost, as the error says): keeping it would send rows again that a
//   server may already have applied, for example after a timeout.
// - Property codes other than the four below are a programming error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxAccessLoader.h>
#include <lumokit/core/Variant.h>
#include <lumokit/mysql/provider/MyClasses.h>

namespace lumo {

inline constexpr int prLock = prMySQLBase + 37;
inline constexpr int prDelayed = prMySQLBase + 38;
inline constexpr int prRowsPerQuery = prMySQLBase + 39;
inline constexpr int prDuplicateKeys = prMySQLBase + 40;

// What happens to a row whose key exists (the provider's option table
// names this enumeration "_TMyDuplicateKeys").
enum TMyDuplicateKeys : std::uint8_t { dkNone = 0, dkIgnore = 1, dkReplace = 2 };

class TMySQLLoader : public TKxLoader {
 public:
  // Statement size at which the buffer is sent first (RowsPerQuery <= 0).
  static constexpr std::size_t MaxStatementSize = 163840;

  TMySQLLoader();
  ~TMySQLLoader() override;

  std::unique_ptr<TKxRecordSet> CreateRecordSet() override;
  void SetConnection(TKxConnection* value) override;
  // A boolean column is loaded as an integer.
  void FillColumn(TKxLoaderColumn& column, const TFieldDesc& field) override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  void Reset() override;
  void PutColumnData(int col, int row, const Variant& value) override;
  void DoLoad() override;
  void Finish() override;

  // The statement head ("INSERT INTO `t` (`a`, `b`) VALUES "), empty until
  // prepared.
  const std::string& InsHeader() const noexcept { return FInsHeader; }
  // Statements sent so far (since construction).
  int StatementsSent() const noexcept { return FStatementsSent; }

  bool Lock() const noexcept { return FLock; }
  bool Delayed() const noexcept { return FDelayed; }
  int RowsPerQuery() const noexcept { return FRowsPerQuery; }
  TMyDuplicateKeys DuplicateKeys() const noexcept { return FDuplicateKeys; }

 protected:
  void DoPrepare() override;
  void DoPutColumnData(int col, int row, const Variant& value) override;

  // The head's keyword for DuplicateKeys and Delayed.
  std::string InsertKeyword() const;
  // Adds the row being filled (number `row`) to the statement.
  void LoadRow(int row);
  // Sends the statement when it holds a row; the buffer is the head again.
  void ExecuteBuffer();
  void ClearBuffer();
  TMySQLConnection& MyConnection() const;

  TMySQLConnection* FMyConnection = nullptr;
  std::string FInsHeader;
  std::int32_t FInsHeaderLen = 0;
  std::string FBuffer;
  std::string FRowBuffer;
  std::vector<Variant> FValues;
  bool FLock = false;
  bool FDelayed = false;
  std::int32_t FRowsPerQuery = 0;
  bool FDebug = false;
  TMyDuplicateKeys FDuplicateKeys = dkNone;
  int FStatementsSent = 0;
};

}  // namespace lumo
