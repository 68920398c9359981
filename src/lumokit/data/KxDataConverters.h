// The value converters between stored and presented data types: one
// procedure per ordered pair of exchange forms, generated from a table of
// type tags and a few templates rather than written out pair by pair, the
// size functions that go with them, and the table of pairs a converter
// manager registers as its on-demand matrix. Also home of the mapping
// exceptions, which every part of data-type mapping raises.
//
// Exchange forms: integers and floats as in a record; dtCurrency as a double
// (it uses the Float converters); dtBoolean as a 16-bit word; dtBCD as a
// 64-bit integer holding value x 10 000; dtFMTBCD as the 34-byte TBcd;
// dtDate as a 32-bit day number (the time stamp's, 693594 = 30 December
// 1899); dtTime as 32-bit milliseconds since midnight; dtDateTime as the
// double millisecond form (dfMSecs); dtSQLTimeStamp as its 16-byte record;
// dtString and dtGuid as zero-terminated 8-bit text, dtWideString as
// zero-terminated UTF-16 (inline, DestLen characters of room plus the
// terminator); dtBytes as DestLen raw bytes; dtVarBytes as a 16-bit length
// and the bytes; the Ext forms as a pointer to a buffer of the string heap
// (nullptr for an empty value); dtMemo, dtWideMemo and dtBlob as the TBlob
// handle (dtBlob uses the Memo converters).
//
// Decisions:
// - Text for dtTime may be a span ("26:00:00", "-01:30:00.5", up to
//   ±838:59:59.999999), read as its signed milliseconds, the form that the
//   dtTime to text converter writes.
// - Nothing is clamped silently: a value outside the destination's range
//   raises "Value is out of range: %s" (integer to dtBCD beyond
//   +-922 337 203 685 477 included, and integer text beyond the 64-bit
//   range) unless errors are ignored, when the nearest limit is stored.
// - "Whole" checks are made on exact decimal values: a double is taken as
//   the shortest decimal text that reads back to it, so 0.1 is a valid
//   dtBCD value and 0.00001 is not.
// - A number mapped to dtBoolean is true whenever it is not zero: the word
//   keeps the low 16 bits of the integer, or -1 (the framework's true) when
//   those are all zero. A fraction still raises "Value cannot be
//   converted: %s"; with errors ignored such a value is true when not zero.
// - dtBoolean to an unsigned integer stores 1 for true values (-1 does not
//   fit); to signed numbers the word is sign-extended.
// - dtBoolean text is "True" or "False"; text is read by TryStrToBool.
// - Float text is the shortest text that reads back to the same value;
//   dtBCD text is exact (no detour through a double). Date and time text
//   carries ".zzz" milliseconds when they are not zero, so the opposite
//   converter reads back the same moment.
// - NaN and infinities cannot be converted to integers or decimals ("Value
//   cannot be converted: %s"; ignoring: 0 for NaN, the nearest limit for
//   an infinity). dtFloat to dtSingle beyond the single range is out of
//   range; NaN and infinities stay what they are.
// - A dtVarBytes destination has room for DestLen bytes after its 16-bit
//   length (the presented field's length is its byte count), capped at
//   65 535. An Ext destination with DestLen <= 0 has no length limit (65 535
//   bytes for dtExtVarBytes).
// - Text cut to a length never splits a UTF-8 sequence (process page
//   UTF-8) or a UTF-16 surrogate pair. A GUID text is trimmed before braces
//   are added.
// - Binary to dtFMTBCD, dates and times also checks that the bytes form a
//   valid value ("Invalid binary value"), so no broken value reaches a
//   record; with errors ignored an invalid value becomes zero or the
//   date-time number 0.
// - A failed conversion leaves the destination as it was (with errors
//   ignored nothing fails). Any other error met inside a converter is
//   re-raised as EDataMappingError with its message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

class TStringHeap;

// --- Mapping exceptions -------------------------------------------------------
class EDataTypeMappingError : public Exception {
 public:
  EDataTypeMappingError() : Exception("Unexpected data type mapping error") {}
  explicit EDataTypeMappingError(std::string message) : Exception(std::move(message)) {}
};
// Rule text that does not follow the grammar.
class EInvalidMapRuleExpression : public EDataTypeMappingError {
 public:
  using EDataTypeMappingError::EDataTypeMappingError;
};
// Validation of the database side of a rule.
class EInvalidDBTypeMapping : public EDataTypeMappingError {
 public:
  using EDataTypeMappingError::EDataTypeMappingError;
};
// Validation of the presented side of a rule.
class EInvalidFieldTypeMapping : public EDataTypeMappingError {
 public:
  using EDataTypeMappingError::EDataTypeMappingError;
};
// A rule that applies but has no converter.
class EUnsupportedDataTypeMapping : public EDataTypeMappingError {
 public:
  using EDataTypeMappingError::EDataTypeMappingError;
};
// A value that cannot be converted.
class EDataMappingError : public EDataTypeMappingError {
 public:
  using EDataTypeMappingError::EDataTypeMappingError;
};

// Copies one value from Source (SourceLen, SourceScale) to Dest (DestLen,
// DestScale); heap-held destinations take their buffers from StringHeap.
using TConvertProcedure = void (*)(TStringHeap* StringHeap, const void* Source, int SourceLen, int SourceScale,
                                   void* Dest, int DestLen, int DestScale, bool IgnoreConvertErrors);
// Takes a size and returns a size.
using TCalcSizeFunc = int (*)(int Size);

struct TSizeConverters {
  static int CopySize(int Size) { return Size; }
  static int SizeX2(int Size) { return Size * 2; }
  static int SizeDiv2(int Size) { return Size / 2; }
  static int Size0(int) { return 0; }
  static int GuidSize(int) { return 38; }
};

// One entry of the on-demand matrix.
struct TOnDemandPair {
  std::uint16_t SourceDataType;
  std::uint16_t DestDataType;
  TCalcSizeFunc CalcLength;
  TCalcSizeFunc CalcScale;
};

struct TDataConverters {
  // The converter from `source` to `dest` exchange form, or nullptr when
  // there is none. dtCurrency is served by the Float converters and dtBlob
  // by the Memo ones.
  static TConvertProcedure Find(std::uint16_t source, std::uint16_t dest) noexcept;
  // The converter's name, source first ("Int8ToUInt8"); empty when none.
  static std::string Name(std::uint16_t source, std::uint16_t dest);
  // The pairs every converter manager registers, in registration order.
  static const std::vector<TOnDemandPair>& MatrixPairs();
};

}  // namespace lumo
