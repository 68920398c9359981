// The dataset framework's shared vocabulary: the database error that every
// data-access error derives from and the field types with their fixed
// ordinals. Data sets, fields, parameters and connection components all
// speak in these terms, so they live apart from any one of those units.
#pragma once

#include <cstdint>
#include <string>

#include "SysUtils.h"

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

}  // namespace lumo
