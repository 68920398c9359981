// The dataset framework's shared vocabulary: the database error that every
// data-access error derives from, the field types with their fixed
// ordinals, and the enumerations that data sets, fields, data links and
// the components above them exchange (states, data events, update kinds
// and actions, locate and filter options). They live apart from any one
// of those units.
//
// Decisions: the framework's update kind is an enum class (TUpdateKind::
// ukModify …) because the record store's ukInsert/ukDelete share its value
// names; everything else is a plain enumeration with its own prefix.
#pragma once

#include <cstdint>
#include <string>

#include <lumokit/core/SysUtils.h>
#include <lumokit/data/MemTypes.h>

namespace lumo {

// A data-access error raised by the framework or a provider. Handlers that
// route "database errors" (update-error events, error hooks) catch this
// class and its descendants; any other exception passes them.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] void DatabaseError(const std::string& message);

// Field types in their fixed order: the ordinals are observable (stored
// mapping rules, type tables) and must not change.
enum TFieldType : std::uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
  ftFixedWideChar = 38,
  ftWideMemo = 39,
  ftOraTimeStamp = 40,
  ftOraInterval = 41,
  ftLongWord = 42,
  ftShortint = 43,
  ftByte = 44,
  ftExtended = 45,
  ftConnection = 46,
  ftParams = 47,
  ftStream = 48,
  ftTimeStampOffset = 49,
  ftObject = 50,
  ftSingle = 51,
};
inline constexpr int FieldTypeCount = 52;

// The field type's name as written in type tables and messages ("String",
// "Largeint" …); "Unknown" for a value outside the enumeration.
const char* FieldTypeName(TFieldType type) noexcept;

// ---- data sets ----------------------------------------------------------------

enum TDataSetState : std::uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening
};

// What a data set tells its data sources and links.
enum TDataEvent : std::uint8_t {
  deFieldChange,       // a field's value changed (the field goes with it)
  deRecordChange,      // the active record changed as a whole (edit began, values reloaded)
  deDataSetChange,     // the buffered rows changed: re-read everything shown
  deDataSetScroll,     // the window of buffered rows moved by a distance
  deLayoutChange,      // fields were added, removed or re-ordered
  deUpdateRecord,      // controls write pending edits into their fields now
  deUpdateState,       // the state changed
  deCheckBrowseMode,   // the data set is about to leave an edit state
  deFieldListChange,   // the field list changed
  deFocusControl,      // a control bound to the field should take the focus
  deParentScroll,      // the parent of a nested data set moved
};

enum TGetMode : std::uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : std::uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : std::uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TResyncOption : std::uint8_t { rmExact, rmCenter };
using TResyncMode = TEnumSet<TResyncOption>;

// What an error event decides: raise, abort silently, or try again.
enum TDataAction : std::uint8_t { daFail, daAbort, daRetry };

enum TFieldKind : std::uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };

enum TLocateOption : std::uint8_t { loCaseInsensitive, loPartialKey };
using TLocateOptions = TEnumSet<TLocateOption>;

enum TFilterOption : std::uint8_t { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TEnumSet<TFilterOption>;

enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };

// ---- cached updates -------------------------------------------------------------

enum TUpdateStatus : std::uint8_t { usUnmodified, usModified, usInserted, usDeleted };

enum TUpdateRecordType : std::uint8_t { rtModified, rtInserted, rtDeleted, rtUnmodified };
using TUpdateRecordTypes = TEnumSet<TUpdateRecordType>;

enum class TUpdateKind : std::uint8_t { ukModify, ukInsert, ukDelete };

// What an update-record or update-error handler decides. A handler may
// also leave uaDefault, which no named action has: the default write then
// runs after the handler.
enum TUpdateAction : std::uint8_t { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };
inline constexpr TUpdateAction uaDefault = static_cast<TUpdateAction>(10);

}  // namespace lumo
