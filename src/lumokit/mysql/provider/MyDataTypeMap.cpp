#include <lumokit/mysql/provider/MyDataTypeMap.h>

#include <initializer_list>
#include <memory>

#include <lumokit/data/MemTypes.h>

namespace lumo {

void InitMyTypes() {
  TDBTypeInfos& infos = DBTypeInfos();
  if (infos.FindTypeInfo(myBit)) return;
  struct Entry {
    std::uint16_t Code;
    const char* Name;
    bool Length, Scale;
  };
  static constexpr Entry entries[] = {
      {myBit, "Bit", true, false},
      {myTinyint, "Tinyint", true, false},
      {myTinyintUnsigned, "Tinyint Unsigned", true, false},
      {mySmallint, "Smallint", false, false},
      {mySmallintUnsigned, "Smallint Unsigned", false, false},
      {myMediumint, "Mediumint", false, false},
      {myMediumintUnsigned, "Mediumint Unsigned", false, false},
      {myInteger, "Integer", false, false},
      {myIntegerUnsigned, "Integer Unsigned", false, false},
      {myBigint, "Bigint", true, false},
      {myBigintUnsigned, "Bigint Unsigned", true, false},
      {myFloat, "Float", false, false},
      {myDouble, "Double", false, false},
      {myDecimal, "Decimal", true, true},
      {myDate, "Date", false, false},
      {myTime, "Time", false, false},
      {myDatetime, "Datetime", false, false},
      {myTimestamp, "Timestamp", true, false},
      {myYear, "Year", true, false},
      {myChar, "Char", true, false},
      {myVarchar, "Varchar", true, false},
      {myBinary, "Binary", true, false},
      {myVarbinary, "Varbinary", true, false},
      {myTinyBlob, "TinyBlob", false, false},
      {myBlob, "Blob", false, false},
      {myTinyText, "TinyText", false, false},
      {myText, "Text", false, false},
      {myEnum, "Enum", false, false},
      {mySet, "Set", false, false},
  };
  for (const Entry& e : entries) infos.Add(e.Code, e.Name, e.Length, e.Scale);
}

TMyConverterManager::TMyConverterManager() {
  using Types = std::initializer_list<std::uint16_t>;
  const Types first = {dtBoolean, dtInt8, dtInt16, dtUInt16, dtInt32, dtUInt32, dtInt64};
  const Types firstNoBool = {dtInt8, dtInt16, dtUInt16, dtInt32, dtUInt32, dtInt64};
  // Every presented type of `presented` stored as `stored`.
  auto add = [this](Types dbTypes, int lenMin, int lenMax, int scaleMin, int scaleMax, Types presented,
                    std::uint16_t stored) {
    for (std::uint16_t db : dbTypes)
      for (std::uint16_t p : presented) AddFetchConverter(db, lenMin, lenMax, scaleMin, scaleMax, p, stored);
  };
  // Each presented type stored as itself.
  auto same = [this](Types dbTypes, Types presented) {
    for (std::uint16_t db : dbTypes)
      for (std::uint16_t p : presented) AddFetchConverter(db, p);
  };
  add({myBit}, 1, 8, -1, -1, first, dtUInt16);
  add({myBit}, 9, 32, -1, -1, first, dtUInt32);
  add({myBit}, 33, 64, -1, -1, first, dtInt64);
  add({myTinyint}, 1, 4, -1, -1, first, dtInt8);
  add({myTinyint}, 5, -1, -1, -1, first, dtInt16);
  add({myTinyintUnsigned}, 1, 3, -1, -1, first, dtUInt8);
  add({myTinyintUnsigned}, 4, -1, -1, -1, first, dtUInt16);
  add({myBigint, myBigintUnsigned}, 1, 9, -1, -1, firstNoBool, dtInt32);
  add({myBigint, myBigintUnsigned}, 10, 20, -1, -1, firstNoBool, dtInt64);
  same({myBigintUnsigned}, {dtFMTBCD, dtString});
  add({myDecimal}, 1, 4, 0, 0, firstNoBool, dtInt16);
  add({myDecimal}, 5, 9, 0, 0, firstNoBool, dtInt32);
  add({myDecimal}, 10, -1, 0, 0, firstNoBool, dtInt64);
  same({myDecimal}, {dtString, dtFloat, dtBCD, dtFMTBCD});
  add({myChar, myVarchar}, -1, -1, -1, -1, {dtBytes, dtVarBytes, dtString}, dtString);
  add({myChar, myVarchar}, -1, -1, -1, -1, {dtWideString}, dtWideString);
  same({myBinary, myVarbinary}, {dtBytes, dtVarBytes, dtString, dtWideString});
  same({myEnum, mySet}, {dtString, dtWideString});
  add({myTinyBlob, myBlob, myTinyText, myText}, -1, -1, -1, -1, {dtMemo, dtString}, dtMemo);
  add({myTinyBlob, myBlob, myTinyText, myText}, -1, -1, -1, -1, {dtWideMemo, dtWideString}, dtWideMemo);
}

std::uint16_t TMyConverterManager::GetDBType(int sqlType, std::int64_t lengthInBytes, int charsetNr,
                                             std::uint32_t flags) {
  const bool isUnsigned = flags & 32, isBinary = flags & 128, isEnum = flags & 256, isSet = flags & 2048;
  const bool binaryCharset = charsetNr == 63;
  switch (sqlType) {
    case 0:
    case 246:
      return myDecimal;
    case 1:
      return isUnsigned ? myTinyintUnsigned : myTinyint;
    case 2:
      return isUnsigned ? mySmallintUnsigned : mySmallint;
    case 3:
      return isUnsigned ? myIntegerUnsigned : myInteger;
    case 9:
      return isUnsigned ? myMediumintUnsigned : myMediumint;
    case 8:
      return isUnsigned ? myBigintUnsigned : myBigint;
    case 4:
      return myFloat;
    case 5:
      return myDouble;
    case 7:
      return myTimestamp;
    case 10:
    case 14:
      return myDate;
    case 11:
      return myTime;
    case 12:
      return myDatetime;
    case 13:
      return myYear;
    case 15:
    case 253:
      return isBinary && binaryCharset ? myVarbinary : myVarchar;
    case 6:
      return myVarchar;
    case 16:
      return myBit;
    case 247:
      return myEnum;
    case 248:
      return mySet;
    case 249:
      return isBinary ? myTinyBlob : myTinyText;
    case 250:
    case 251:
    case 252:
    case 255:
      if (isBinary) return lengthInBytes > 255 ? myBlob : myTinyBlob;
      return lengthInBytes > 255 ? myText : myTinyText;
    case 254:
      if (isBinary && binaryCharset) return myBinary;
      if (isEnum) return myEnum;
      if (isSet) return mySet;
      return myChar;
    default:
      return 0;
  }
}

namespace {
std::unique_ptr<TMyConverterManager>& ManagerSlot() {
  static std::unique_ptr<TMyConverterManager> slot;
  return slot;
}
}  // namespace

const TMyConverterManager& MyConverterManager() {
  const auto& slot = ManagerSlot();
  LUMO_ASSERT(slot != nullptr);
  return *slot;
}

void RegisterMyDataTypeMap() {
  InitMyTypes();
  auto& slot = ManagerSlot();
  if (!slot) slot = std::make_unique<TMyConverterManager>();
}

void UnregisterMyDataTypeMap() { ManagerSlot().reset(); }

}  // namespace lumo
