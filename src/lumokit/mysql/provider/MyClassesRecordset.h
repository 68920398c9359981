// The MySQL record set: TMySQLRecordset runs its TMySQLCommand, describes the
// result columns as TMySQLFieldDesc (the one place where MySQL column types,
// flags, lengths and character sets are mapped to data-type codes), finds the
// tables the columns come from, and fetches rows block by block (or all at
// once) from the unbuffered result into the record store, converting the
// server's text values into record formats. It also keeps the additional
// connection that lets a streamed result stay open while the user's
// connection is used for other statements, steps through several results of
// one execution and reads stored-procedure output parameters back.
//
// Decisions:
// - The column mapping and the text-row conversion are free-standing
//   (ConvertMySQLTypeToInternalFormat, DescribeMySQLColumn, TMyRowConverter)
//   so that they work on hand-made column descriptions and row texts; the
//   record set only feeds them.
// - DATE, DATETIME, TIMESTAMP and TIME values go into their slots as micros
//   (DateTimeUtils), from text and binary rows alike: a fraction keeps all
//   six digits. TIME values are signed spans of up to ±838:59:59.999999
//   with hours beyond 24; a TIME beyond that range (which no server sends)
//   is a wrong time format in a text row and a malformed packet in a binary
//   one. Fraction digits past the sixth are ignored, as the server has none.
// - Every copy into a record slot is bounded by the slot: 8-bit text by the
//   field's size and never cut inside a UTF-8 sequence, UTF-16 text by its
//   units, dtBytes/dtVarBytes by the field's length, BIT values by 8 bytes.
// - Integers are parsed with overflow detection. BIGINT UNSIGNED maps to
//   dtUInt64 and keeps values above 2^63-1 exactly. A value that does not fit
//   a narrower type chosen by OptimizedBigInt or a mapping rule raises
//   EConvertError "Value is out of range: %s" (the field named in front),
//   unless the rule ignores errors; then the nearest limit is stored.
// - Column lengths are unsigned (LONGBLOB's 4294967295 is not -1), computed in
//   64 bits and capped at 65535 before they size anything.
// - With UseUnicode the length in characters is the length in bytes divided
//   by the maximum bytes per character of the column's character set (4 for
//   utf8mb4, 3 for utf8mb3; an unknown number takes the connection's). A
//   dtWideString slot of a 4-byte character set has room for two UTF-16 units
//   per character, so characters outside the BMP are never cut.
// - dtString fields hold bytes: with FieldsAsString a text column keeps its
//   length in bytes as its Length, so UTF-8 text cannot overrun the slot.
//   A FLOAT or DOUBLE column read as text has room for 24 characters, the
//   longest text of a double, whatever its display length says.
// - Binary strings (binary flag and character set 63) read as text
//   (BinaryAsString) stay 8-bit text with UseUnicode: their bytes are not
//   UTF-8 and would not survive decoding.
// - JSON (type 245) maps to memo (wide memo with UseUnicode). Large-object
//   columns are blobs only when binary-flagged with the binary character set
//   (63); a text column with a binary collation is memo.
// - Text values are parsed locale-independently ('.' as decimal point): the
//   server always sends '.'.
// - DECIMAL values go to dtFMTBCD normalised to the column's precision and
//   scale; a value with more than 64 significant digits (possible only for
//   DECIMAL(65,x)) is rounded to the 64 digits the packed decimal holds.
// - A date-time zero point read as null (NullForZeroOrvoDate) applies to
//   dates and date-times, not to TIME values (00:00:00 is a time).
// - The zero limit that describes a statement without reading rows replaces
//   the row count of an existing LIMIT (the second number of "LIMIT a, b",
//   the first of "LIMIT a OFFSET b"), so that an offset cannot turn it into
//   a row count.
// - The additional connection goes back (to ReturnMySQLConnection, or is
//   disconnected) when the last result is read, after an error while rows
//   arrive (still valid), after an error at execution and after a KILL of
//   an abandoned result (then marked not valid). Its lifetime is owned here;
//   the command only points to it. One made here (no GetMySQLConnection)
//   connects to the schema the user's session is in now (CurrentDatabase),
//   so a statement after a USE reads the same tables on it.
// - Closing with fetch-all on finishes every result; with fetch-all off a
//   further result stays pending for OpenNext (prOpenNext) and is finished
//   with the next execution or the record set's end.
// - Unidirectional fetching (outside FetchAll) frees the rows already held
//   before it fills the next block, so memory stays at one block.
// - A BIT value longer than 8 bytes whose leading bytes are not zero, and a
//   date text that is neither a date nor a zero date, raise instead of
//   storing a cut or null value.
// - Prepared statements read binary rows: integers, floating-point values,
//   dates and times are taken from their binary form straight into the
//   record (a FLOAT as the shortest decimal that reads back to the same
//   float, so 0.1 stays 0.1), every other value as in a text row; a record
//   field whose type does not take the binary form (FieldsAsString, a
//   mapping rule) gets the value's text. A zero TIME (length 0) reads as 0;
//   a zero date as the text path's zero date. Values are the same as the
//   text path reads, but for FLOAT and DOUBLE, which the binary form keeps
//   exactly.
// - A prepared statement stays on the connection it was prepared on: an
//   additional connection taken for it is kept until it is unprepared, and
//   executing it never takes another one. OpenNext on a prepared statement
//   raises "Cannot OpenNext if statement is Prepared"; the further results
//   of a prepared CALL are read and dropped with its first one.
// - The table and alias names the server gives a column are each one
//   identifier: they are kept quoted when they need quotes (IdentifierOf),
//   so a table named "a.b" is never read as table b of database a by the
//   statements generated for it. Names of the FROM list are split into
//   database and table only at a "." outside quotes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyDataTypeMap.h>
#include <lumokit/mysql/wire/MySqlApi.h>

namespace lumo {

// ---- process-wide settings ----------------------------------------------------------

// Length of an Ext text field whose column reports length 0.
extern std::int32_t SizeForFieldsWithZeroLength;
// A computed VAR_STRING column of length 65535 becomes a blob or memo.
extern bool __Strings65535ToMemo;

// ---- column flags and character sets ----------------------------------------------------

namespace my_flag {
enum : std::uint32_t {
  NotNull = 1,
  PriKey = 2,
  UniqueKey = 4,
  MultipleKey = 8,
  Unsigned = 32,
  Binary = 128,
  AutoIncrement = 512,
  Timestamp = 1024,
  PartKey = 16384,
};
}  // namespace my_flag

constexpr std::uint32_t MyBinaryCharsetNr = 63;

// Maximum bytes per character of a collation number (utf8mb3 and utf8mb4
// collations of both server families; 1 for the binary set); 0 when unknown.
int MySQLCharsetMaxBytes(std::uint32_t charsetNr) noexcept;

// ---- field descriptor ------------------------------------------------------------------------

class TMySQLFieldDesc : public TKxFieldDesc {
 public:
  void Assign(const TFieldDesc& source) override;

  std::uint8_t MySQLType() const noexcept { return FMySQLType; }
  void SetMySQLType(std::uint8_t value) noexcept { FMySQLType = value; }
  bool IsUnsigned() const noexcept { return FIsUnsigned; }
  void SetIsUnsigned(bool value) noexcept { FIsUnsigned = value; }
  bool IsPrimaryKey() const noexcept { return FIsPrimaryKey; }
  void SetIsPrimaryKey(bool value) noexcept { FIsPrimaryKey = value; }
  // The column alone is a unique key (the server's UNIQUE_KEY flag; a
  // column that is only part of a unique or non-unique index is not).
  bool IsUniqueKey() const noexcept { return FIsUniqueKey; }
  void SetIsUniqueKey(bool value) noexcept { FIsUniqueKey = value; }
  bool IsBinary() const noexcept { return FIsBinary; }
  void SetIsBinary(bool value) noexcept { FIsBinary = value; }
  bool IsCurrentTimestamp() const noexcept { return FIsCurrentTimestamp; }
  void SetIsCurrentTimestamp(bool value) noexcept { FIsCurrentTimestamp = value; }

  // What the column description said (for the conversion of values).
  std::uint32_t LengthInBytes() const noexcept { return FLengthInBytes; }
  void SetLengthInBytes(std::uint32_t value) noexcept { FLengthInBytes = value; }
  std::uint32_t CharsetNr() const noexcept { return FCharsetNr; }
  void SetCharsetNr(std::uint32_t value) noexcept { FCharsetNr = value; }
  // Values that do not fit the stored type are clamped instead of raising
  // (a mapping rule with IgnoreErrors).
  bool IgnoreRangeErrors() const noexcept { return FIgnoreRangeErrors; }
  void SetIgnoreRangeErrors(bool value) noexcept { FIgnoreRangeErrors = value; }

 protected:
  std::uint8_t FMySQLType = 0;
  bool FIsUnsigned = false;
  bool FIsPrimaryKey = false;
  bool FIsUniqueKey = false;
  bool FIsBinary = false;
  bool FIsCurrentTimestamp = false;
  bool FIgnoreRangeErrors = false;
  std::uint32_t FLengthInBytes = 0;
  std::uint32_t FCharsetNr = 0;
};

// ---- column mapping ----------------------------------------------------------------------

// The data type of a MySQL column, and whether it is fixed-length text.
// Raises "Unknown MySQL datatype (N)" for a type number the protocol does
// not send in result columns.
void ConvertMySQLTypeToInternalFormat(std::uint8_t MySQLType, std::uint32_t FieldLengthInBytes,
                                      std::uint32_t Decimals, bool IsBinary, bool IsUnsigned, bool EnableBoolean,
                                      bool OptimizedBigInt, bool BinaryAsString, bool Unicode, bool EnableBCD,
                                      bool EnableFMTBCD, bool CheckPrecision, std::uint32_t CharsetNr,
                                      std::uint16_t& InternalType, bool& Fixed);

// The settings that decide how columns are described.
struct TMyColumnOptions {
  bool UseUnicode = false;
  bool EnableBoolean = true;
  bool OptimizedBigInt = false;
  bool BinaryAsString = true;
  bool EnableBCD = false;
  bool EnableFMTBCD = false;
  bool CheckPrecision = false;
  bool FieldsAsString = false;
  bool LongStrings = true;
  bool FlatBuffers = true;
  // The statement is a SHOW statement (its lengths are characters already).
  bool ShowStatement = false;
  // Bytes per character of a text column whose collation is not known.
  int DefaultCharsetMaxBytes = 4;
};

// The column's length in characters (before SHOW-statement corrections).
std::uint32_t GetFieldLengthInChars(const TMYSQL_FIELD& column, const TMyColumnOptions& options);

// Fills a descriptor from a column description: names, server type, length
// and scale, data type, flags and sizes. `lengthInChars` is the column's
// length in characters (GetFieldLengthInChars with any corrections);
// `fetchInternalType` is the stored type a mapping rule's fetch converter
// asks for (0: none). Table information is the record set's.
void DescribeMySQLColumn(const TMYSQL_FIELD& column, std::uint32_t lengthInChars, const TMyColumnOptions& options,
                         std::uint16_t fetchInternalType, TMySQLFieldDesc& desc);

// ---- text rows --------------------------------------------------------------------------

// One value of a text row (Data is not zero-terminated).
struct TMyRowValue {
  const char* Data = nullptr;
  std::uint32_t Length = 0;
  bool IsNull = true;
};

// Converts text rows into record buffers of a laid-out record store whose
// fields are TMySQLFieldDesc. Prepare once after the layout; then
// ConvertRow for every record (initialised by TData::InitRecord).
class TMyRowConverter {
 public:
  struct TOptions {
    bool UseUnicode = false;
    bool NullForZeroDate = true;
    bool NullForZeroOrvoDate = false;
    TCompressBlobMode CompressBlob = cbNone;
    // Rows are binary rows (prepared statements).
    bool Binary = false;
  };
  // Called for every TIMESTAMP value read (field, value).
  using TTimestampEvent = std::function<void(TMySQLFieldDesc& field, TDateTime value)>;

  void Prepare(TData& data, const TOptions& options);
  // `values` holds one value per field of the store. On failure the record
  // keeps what was converted so far (its complex values stay freeable).
  void ConvertRow(void* recBuf, const TMyRowValue* values);
  std::size_t FieldCount() const noexcept { return FPlans.size(); }

  TTimestampEvent OnTimestamp;

  // Single-value parsers (exposed for the record set and tests).
  // A TIME text as a signed span in micros.
  static bool ParseTime(const char* p, std::size_t n, std::int64_t& micros);
  // A date or date-time text in micros; false for a value that is not a
  // valid date.
  static bool ParseDateTime(const char* p, std::size_t n, std::int64_t& micros);

 private:
  enum TKind : std::uint8_t {
    ckSigned,
    ckUnsigned,
    ckBoolean,
    ckFloat,
    ckBCD,
    ckFMTBCD,
    ckTime,
    ckDateTime,
    ckTimestamp,
    ckString,
    ckWideString,
    ckExtString,
    ckExtWideString,
    ckBytes,
    ckVarBytes,
    ckExtVarBytes,
    ckBlob,
    ckNone,
  };
  struct TPlan {
    TMySQLFieldDesc* Field = nullptr;
    std::int32_t Offset = 0;
    std::int32_t Size = 0;
    std::uint16_t DataType = 0;
    std::uint16_t Length = 0;
    std::uint16_t Scale = 0;
    std::uint8_t Width = 0;  // bytes of an integer
    TKind Kind = ckNone;
    std::uint16_t Column = 0;  // index of the value in the row
    bool UnicodeBlob = false;
    bool BitSource = false;  // an integer field filled from BIT bytes
    // How a binary row's value is taken (by the column's type and the
    // field's kind).
    std::uint8_t Binary = 0;
    std::uint8_t WireType = 0;
    bool WireUnsigned = false;
    std::uint8_t Decimals = 0;
  };
  static std::uint8_t BinaryWay(std::uint8_t wireType, TKind kind) noexcept;
  // One value of a binary row into its slot.
  void ConvertBinaryValue(const TPlan& plan, std::uint8_t* rec, const char* p, std::uint32_t n,
                          std::uint8_t& isNull);
  // One value into its slot, by the family of its kind (each below).
  void ConvertValue(const TPlan& plan, std::uint8_t* rec, const char* p, std::uint32_t n, std::uint8_t& isNull);
  void ConvertInteger(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n);
  void ConvertNumber(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n);
  void ConvertDateTime(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n,
                       std::uint8_t& isNull);
  void ConvertText(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n);
  void ConvertBytes(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n);
  void ConvertBlob(const TPlan& plan, std::uint8_t* slot, const char* p, std::uint32_t n, std::uint8_t& isNull);
  std::int64_t ParseCurrency(const TPlan& plan, const char* p, std::uint32_t n);
  bool ParseTimestampDigits(const TPlan& plan, const char* p, std::uint32_t n, std::int64_t& v);
  void SetHeapBuf(std::uint8_t* slot, void* buf);
  void PutInteger(const TPlan& plan, std::uint8_t* slot, bool negative, std::uint64_t magnitude, const char* p,
                  std::uint32_t n);
  bool PutDate(const TPlan& plan, std::uint8_t* slot, bool valid, std::int64_t micros);
  [[noreturn]] void RangeError(const TPlan& plan, const char* p, std::uint32_t n);
  [[noreturn]] void ValueError(const TPlan& plan, const char* p, std::uint32_t n);

  TData* FData = nullptr;
  TOptions FOptions;
  std::vector<TPlan> FPlans;
  std::int32_t FDataSize = 0;
  std::u16string FWide;
};

// ---- the record set -----------------------------------------------------------------------

// Property codes of the record set (the generic prFieldsAsString, 50, is
// understood as well). GetProp answers every one of them.
inline constexpr int prMySQLFieldsAsString = prMySQLBase + 5;
inline constexpr int prNullForZeroDate = prMySQLBase + 6;
inline constexpr int prEnableBoolean = prMySQLBase + 14;
inline constexpr int prCreateConnection = prMySQLBase + 15;
inline constexpr int prOpenNext = prMySQLBase + 17;
inline constexpr int prIsCanOpenNext = prMySQLBase + 25;
inline constexpr int prUseHandler = prMySQLBase + 29;
inline constexpr int prBinaryAsString = prMySQLBase + 34;

enum TMySQLFetchState : std::uint8_t { fsBOF, fsMiddle, fsEof };
enum TMyOpenNextState : std::uint8_t { osNotChecked, osMoreResults, osNoMoreResults, osError };

// A SELECT with its row count replaced by 0 (or "LIMIT 0" added), so that
// executing it describes the columns without reading rows. Other
// statements come back unchanged.
std::string SetLimit0(const std::string& sql);

class TMySQLRecordset : public TKxRecordSet {
 public:
  TMySQLRecordset();
  ~TMySQLRecordset() override;

  // ---- the record store
  void InternalPrepare() override;
  void InternalUnPrepare() override;
  using TKxRecordSet::InternalOpen;
  void InternalClose() override;
  void InternalInitFields() override;
  int GetIndicatorSize() override { return FieldCount(); }
  std::unique_ptr<TFieldDesc> GetFieldDescType() override { return std::make_unique<TMySQLFieldDesc>(); }
  void ExplicitInitFields() override;
  // Blob, memo and wide-memo fields give the object handle itself.
  void GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool needConvert = false) override;
  void SetToEnd() override;
  bool Fetch(bool fetchBack = false) override;

  // ---- the record set
  std::unique_ptr<TKxCommand> CreateCommand() override;
  void SetCommand(std::unique_ptr<TKxCommand> value) override;
  void SetConnection(TKxConnection* value) override;
  void Disconnect() override;
  void ExecCommand() override;
  void BreakFetch() override;
  bool CanDisconnect() override;
  bool RowsReturn() override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;
  bool IsCaseSensitive() override { return false; }
  const TOnDemandConverter* GetMapOnDemandConverter(const TKxFieldDesc& field, const TKxMapRule*& mapRule) override;

  // Raise the session error of the connection in use (the record set's
  // component as source).
  void Check(const void* status);
  void Check(int status);
  void Check();

  TMySQLCommand& Command();
  // The connection the command runs on (the additional one while in use).
  TMySQLConnection* UsedConnection();
  // The user's connection while an additional one is in use, else null.
  TMySQLConnection* ConnectionSwap() const noexcept { return FConnectionSwap; }
  TMyOpenNextState OpenNextState() const noexcept { return FOpenNextState; }
  bool NullForZeroDate() const noexcept { return FNullForZeroDate; }
  bool FieldsAsString() const noexcept { return FFieldsAsString; }
  bool EnableBoolean() const noexcept { return FEnableBoolean; }
  bool BinaryAsString() const noexcept { return FBinaryAsString; }
  bool CreateConnection() const noexcept { return FCreateConnection; }
  bool UseHandler() const noexcept { return FUseHandler; }
  std::int64_t RowsAffectedNext() const noexcept { return FRowsAffectedNext; }

  // Finishes the current result: with tryGetNextResult the next result of
  // the execution is taken into place as pending; with tryToFinishFetch the
  // remaining rows are read (a requested break cancels the statement first).
  void FreeResult(bool tryGetNextResult, bool tryToFinishFetch);
  // Finishes every result of the execution.
  void DrainResults();

 protected:
  // Takes an additional connection for the command (see the unit comment).
  void QuerySwapConnection();
  // Gives the additional connection back (to ReturnMySQLConnection or
  // disconnected and freed); with forbidQueries it is not used again.
  void ReleaseSwapConnection(bool forbidQueries = false);
  // Copies the settings of the connection in use.
  void UpdateConnectionSettings();
  void CreateFieldDescs();
  void FillTablesAliases();
  // The table names of a column as the table list keys them: its alias
  // (Key) and its original table (Name), both normalised.
  struct TColumnTableNames {
    std::string Table, OrgTable;  // as the server sent them
    const TSQLInfo* Info = nullptr;
    bool UseUnicode = false;
    int CodePage = 0;
    std::string Key, Name;
  };
  const TColumnTableNames& ColumnTableNames(const TMYSQL_FIELD& col, const TSQLInfo& info);
  // The table entry of a column, added when the list has none by that name
  // or alias.
  TMyTableInfo* AddSQLObjectIfNeed(const TColumnTableNames& names);
  TMyColumnOptions ColumnOptions(bool showStatement) const;
  // Reads the output parameters of a stored-procedure call from the only
  // row of its result.
  void ReadOutParams();
  // Fills `values` from a row of the current result (of the prepared
  // statement when `prepared`).
  void ReadRowValues(TMySQLAPI& api, PMYSQL_RES res, PMYSQL_ROW row, bool prepared);
  // Finishes the results of a prepared statement's execution.
  void FreePreparedResult(bool tryToFinishFetch);

  bool FIsClient41 = true;
  bool FUseUnicode = false;
  bool FOptimizedBigInt = false;
  bool FNullForZeroOrvoDate = false;
  bool FCheckPrecision = false;
  int FServerPrimaryVer = 0;
  int FServerMinorVer = 0;
  TMySQLConnection* FConnectionSwap = nullptr;
  std::unique_ptr<TMySQLConnection> FAdditional;
  bool FNullForZeroDate = true;
  bool FFieldsAsString = false;
  bool FEnableBoolean = true;
  bool FBinaryAsString = true;
  TMySQLFetchState FFetchState = fsBOF;
  bool FCreateConnection = true;
  TMyOpenNextState FOpenNextState = osNotChecked;
  PMYSQL_RES FSQLResultNext = nullptr;
  std::int64_t FRowsAffectedNext = 0;
  bool FIsCanFastClose = false;
  bool FUseHandler = false;
  // A unidirectional walk freed rows of the current result.
  bool FBlocksReleased = false;
  TMyRowConverter FConverter;
  std::vector<TMyRowValue> FValues;
  std::vector<std::uint32_t> FLengths;
  // The table names of the columns described last: a data set opened again
  // and again describes the same columns, and their names are normalised
  // once.
  std::vector<TColumnTableNames> FColumnTableNames;
};

}  // namespace lumo
