// Prepared statements of the MySQL wire client: TMySqlStmt prepares a
// statement on the server, sends the parameter values in binary form with
// every execution and hands the result's binary rows out through a
// TMySqlResultSet. The parameter encoding (TMySqlStmtParam and the packet
// builders) and the parsing of the prepare reply are free-standing and do
// no I/O; the statement object drives them over its session.
//
// Decisions:
// - A statement belongs to its session, which knows it: closing the
//   session, losing its connection or connecting it again detaches the
//   statement, which then answers 2006 "MySQL server has gone away" to
//   everything but Close (the server forgot the statement with the
//   connection). A statement never points to a freed session.
// - Values of strings, byte strings and large objects of LongDataThreshold
//   bytes or more go ahead of the execution in COM_STMT_SEND_LONG_DATA
//   packets of at most LongDataChunk bytes (large objects chunk by chunk,
//   never copied whole), so an execution packet stays small and a value
//   larger than the server's max_allowed_packet fails with the server's
//   error while the connection stays usable. After such a refused
//   execution the statement is reset on the server (COM_STMT_RESET), which
//   otherwise keeps the long data and refuses every later execution.
// - The number of parameters given must equal the statement's: otherwise
//   2030 "Not all parameters data supplied" is raised before anything is
//   sent.
// - The parameter types are sent again whenever they differ from the ones
//   sent last (also the unsigned flag); preparing again or closing forgets
//   them, so a statement prepared anew always sends its types.
// - TIME values carry their sign, days and hours modulo 24 (a signed
//   duration of any length); microseconds are the milliseconds the
//   date-time number holds, times 1000. The zero date (ZeroDate) is sent as
//   a DATE, DATETIME or TIME of length 0.
// - Integers go as the declared type when the value fits it (dtUInt32 as
//   an unsigned LONG, dtUInt64 as an unsigned LONGLONG), else as a LONGLONG
//   that holds them: like the text protocol, the server gets the value
//   itself. Floating-point values for integer types go as DOUBLE, currency
//   and decimal values as their exact decimal text, text values are
//   converted to the declared type (EConvertError when they are no
//   number). NaN and infinities raise EConvertError.
// - Text, byte and large-object values are the bytes the literal writer
//   would quote (ValueBytes): a byte value goes with its own length, never
//   the declared size; 8-bit text is sent whole (zero bytes included).
// - dtSingle goes as FLOAT, dtSQLTimeStamp as DATETIME, dtGuid as text;
//   dtVariant (and a dtUnknown number) by the kind of the value; codes that
//   hold no value (objects, arrays, cursors) raise "Invalid internal field
//   type $%X (%d)".
// - Executing again first drops what is left of the statement's own
//   results (rows and further results of a CALL), as the client library
//   does; another command's pending result still raises 2014.
// - FreeResult reads and drops every result that is left, so the session is
//   ready for the next command; NextResult steps to the next result of a
//   CALL (its rows are binary rows too). The status packet that ends a
//   stored-procedure call is read as the last of those results, so the
//   session's FSkipPacket is not used by statements.
// - The prepare reply is checked like every reply: a parameter or column
//   definition too many or too few, or one that is cut short, raises 2027
//   after the rest of the reply was skipped, and a statement the server
//   already created for it is closed again.
// - The reply's end-of-data packets carry the server status, which is taken
//   as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <lumokit/core/SharedObject.h>
#include <lumokit/core/Variant.h>
#include <lumokit/mysql/wire/MySqlResultSet.h>

namespace lumo {

class TMySqlSession;
class TParamDesc;
class TBlob;

enum TPrepStmtState { psUnknown, psPrepare, psExecute };

// The result of a fetch when no row is left (MYSQL_NO_DATA).
constexpr int NoData = 100;

// Values of at least this many bytes are sent ahead of the execution, in
// chunks of at most LongDataChunk bytes.
constexpr std::size_t LongDataThreshold = 65536;
constexpr std::size_t LongDataChunk = 65536;

// The flag of an unsigned parameter type in the type list.
constexpr std::uint16_t ParamTypeUnsigned = 0x8000;

// The first packet of the reply to COM_STMT_PREPARE.
struct TMySqlPrepareOk {
  std::uint32_t StmtId = 0;
  std::uint16_t FieldCount = 0;
  std::uint16_t ParamCount = 0;
  std::uint16_t WarningCount = 0;
};

// Parses it: status byte 0, statement id (4 bytes), column and parameter
// counts (2 bytes each), then optionally a filler byte and the warning
// count. Anything else raises 2027.
TMySqlPrepareOk ParsePrepareOk(const std::uint8_t* payload, std::size_t length);

// One parameter value as it goes on the wire.
struct TMySqlStmtParam {
  std::uint8_t Type = MYSQL_TYPE_NULL;
  bool Unsigned = false;
  bool IsNull = true;
  // A value sent with a length prefix (text, bytes, decimals, large
  // objects); else Fixed holds the value's bytes (dates and times with
  // their length byte in front).
  bool Sized = false;
  std::uint8_t FixedLength = 0;
  std::uint8_t Fixed[13] = {};
  // Where the bytes of a sized value are: in Holder, in the value's own
  // string or byte array, in memory the value (or, for SetStmtParamView,
  // the parameter) keeps alive (External), or in a large object whose
  // content goes chunk by chunk (Blob). Views are found again from the
  // members, so a parameter may be copied and moved.
  enum TBytesAt : std::uint8_t { baHolder, baValueString, baValueBytes, baExternal, baBlob };
  TBytesAt At = baHolder;
  std::uint64_t Length = 0;
  const std::uint8_t* External = nullptr;
  TBlob* Blob = nullptr;
  std::string Holder;
  Variant Value;  // keeps the viewed value alive

  // The bytes of a sized value (not for baBlob).
  const std::uint8_t* Bytes() const noexcept;
  std::uint16_t TypeCode() const noexcept { return static_cast<std::uint16_t>(Type | (Unsigned ? ParamTypeUnsigned : 0)); }
  // Goes ahead of the execution (COM_STMT_SEND_LONG_DATA).
  bool Long() const noexcept { return !IsNull && Sized && Length >= LongDataThreshold; }
};

// The wire form of one parameter (see the unit comment), written over
// whatever `p` held (its text holder's memory is reused). Raises
// EConvertError for a value that the declared type cannot take; `p` is then
// left in some valid state.
void SetStmtParam(TMySqlStmtParam& p, const TParamDesc& param, bool unicode, bool sendBlobCompressed);
void SetStmtParam(TMySqlStmtParam& p, std::uint16_t dataType, Variant value, bool isNull, bool unicode,
                  bool sendBlobCompressed);
// The same, viewing the parameter's text or bytes where they are instead of
// copying them: `p` is valid only while `param` is not changed.
void SetStmtParamView(TMySqlStmtParam& p, const TParamDesc& param, bool unicode, bool sendBlobCompressed);
// The same into a new parameter.
TMySqlStmtParam MakeStmtParam(const TParamDesc& param, bool unicode, bool sendBlobCompressed);
TMySqlStmtParam MakeStmtParam(std::uint16_t dataType, Variant value, bool isNull, bool unicode,
                              bool sendBlobCompressed);

// COM_STMT_EXECUTE up to the values: statement id, flags 0, iteration count
// 1, then for a statement with parameters the NULL bitmap, the new-types
// byte and (when they differ from sentTypes, which then takes them) the
// types.
void AppendExecuteHead(TMySqlByteBuffer& out, std::uint32_t stmtId, std::span<const TMySqlStmtParam> params,
                       std::vector<std::uint16_t>& sentTypes);
// The values that go inside the execution packet (not NULL, not long).
void AppendExecuteValues(TMySqlByteBuffer& out, std::span<const TMySqlStmtParam> params);

// ---- binary values of result rows

// A date, date-time or time of a binary row. Times are durations: Days and
// Hour (0-23) together, with the sign apart.
struct TMySqlBinaryMoment {
  bool Negative = false;
  std::uint32_t Days = 0;
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  std::uint32_t Micro = 0;
};

// A DATE, DATETIME or TIMESTAMP value of 0, 4, 7 or 11 bytes (0 is the zero
// date); false for any other length.
bool DecodeBinaryDate(const std::uint8_t* p, std::size_t n, TMySqlBinaryMoment& m) noexcept;
// A TIME value of 0, 8 or 12 bytes; false for any other length.
bool DecodeBinaryTime(const std::uint8_t* p, std::size_t n, TMySqlBinaryMoment& m) noexcept;
// A little-endian integer of 1, 2, 4 or 8 bytes, sign-extended unless
// isUnsigned, as its sign and magnitude; false for another length.
bool DecodeBinaryInteger(const std::uint8_t* p, std::size_t n, bool isUnsigned, bool& negative,
                         std::uint64_t& magnitude) noexcept;
// Room for the text of any fixed-size or temporal binary value.
constexpr std::size_t BinaryTextSize = 64;
// The text a text row would hold for a binary value of a fixed-size or
// temporal type (integers, FLOAT and DOUBLE as their shortest exact text,
// dates 'YYYY-MM-DD[ HH:MM:SS[.f]]', times '[-]HH:MM:SS[.f]' with
// `decimals` fraction digits, all six when decimals is above 6 and the
// value has a fraction). Returns the length written to `out`, or -1 when
// the type is sent as text anyway or the length does not fit the type.
int BinaryValueText(std::uint8_t type, bool isUnsigned, unsigned decimals, const std::uint8_t* p, std::size_t n,
                    char* out) noexcept;

class TMySqlStmt {
 public:
  // A statement of `session`, which knows it from then on.
  explicit TMySqlStmt(TMySqlSession& session);
  TMySqlStmt(const TMySqlStmt&) = delete;
  TMySqlStmt& operator=(const TMySqlStmt&) = delete;
  // Closes (errors ignored).
  ~TMySqlStmt();

  // Prepares `query` (a statement prepared before is closed first). Server
  // errors raise; the statement then stays unprepared.
  void Prepare(const char* query, std::size_t length);
  // The statement must be prepared (2029) and have columns (2000).
  void BindResult();
  // Executes with these parameter values, in placeholder order.
  void Execute(std::span<TParamDesc* const> params, bool unicode, bool sendBlobCompressed = false);
  // Executes with values already in wire form.
  void Execute(std::vector<TMySqlStmtParam>& params);
  // The next row into the result's bind list (row points to it): 0, or
  // NoData when no row is left.
  int Fetch(TMySqlBinds*& row);
  // Steps to the next result of the execution: 0, or -1 when none follows.
  int NextResult();
  // Reads and drops the rest of the statement's results.
  void FreeResult();
  // Drops the results and the server's statement (COM_STMT_CLOSE, which has
  // no reply); the statement is unprepared afterwards.
  void Close();
  // Forgets the session without touching the connection (the session does
  // this when it closes or loses its connection).
  void Detach() noexcept;

  TMySqlSession* Session() const noexcept { return fsession; }
  TPrepStmtState State() const noexcept { return fstate; }
  std::uint32_t StmtId() const noexcept { return fstmtId; }
  int ParamCount() const noexcept { return fparamCount; }
  int FieldCount() const noexcept { return ffieldCount; }
  const TMySqlFieldInfos& Fields() const noexcept { return ffields; }
  std::int64_t AffectedRows() const noexcept { return faffectedRows; }
  std::int64_t InsertId() const noexcept { return finsertId; }
  // The result whose rows are being read (null when there is none).
  TMySqlResultSet* Result() const noexcept { return fresult.get(); }
  const std::vector<std::uint16_t>& SentTypes() const noexcept { return FSendedTypes; }

  std::uint32_t Errno() const noexcept { return Ferrno; }
  void SetErrno(std::uint32_t v) noexcept { Ferrno = v; }
  const std::string& Error() const noexcept { return Ferror; }
  void SetError(std::string v) { Ferror = std::move(v); }

 private:
  // The session; 2006 when the statement was detached or the connection
  // is gone.
  TMySqlSession& Live() const;
  void ReadDefinitions(const TMySqlPrepareOk& ok);
  // Takes the reply just read (OK packet or result set) as the current
  // result.
  void TakeResult();
  void SendLongData(std::uint16_t index, const TMySqlStmtParam& param);
  void SendLongChunk(std::uint16_t index, const void* data, std::size_t count);
  // COM_STMT_RESET: the server drops the statement's long data and error.
  void ResetOnServer() noexcept;
  void Reset() noexcept;

  std::uint32_t Ferrno = 0;
  std::string Ferror;
  TMySqlSession* fsession = nullptr;
  std::unique_ptr<TMySqlResultSet> fresult;
  std::uint32_t fstmtId = 0;
  TPrepStmtState fstate = psUnknown;
  int fparamCount = 0;
  int ffieldCount = 0;
  TMySqlFieldInfos ffields;
  std::int64_t faffectedRows = 0;
  std::int64_t finsertId = 0;
  std::vector<std::uint16_t> FSendedTypes;
  // The wire forms of Execute(params, ...), kept for their memory; their
  // views into the parameters are valid only during that call.
  std::vector<TMySqlStmtParam> FWire;
  // Results of the last execution are still to be read (rows or further
  // results).
  bool FPending = false;
};

}  // namespace lumo
