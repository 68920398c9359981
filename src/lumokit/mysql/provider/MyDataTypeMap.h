// The MySQL side of data-type mapping: the MySQL database types (codes
// 201..229) in the process-wide registry, the MySQL converter manager with
// the fetch converters that let a mapped column be stored in another type
// while it is fetched, the database type of a result column, and the MySQL
// rule collection that converts through that manager.
//
// Decisions:
// - Start-up calls RegisterMyDataTypeMap() (InitMyTypes, then the manager);
//   it may be called again and does nothing then. UnregisterMyDataTypeMap()
//   frees the manager; the registered types stay, as the registry lives for
//   the whole run. Using MyConverterManager() while it is not registered is
//   a programming error (EAssertionFailed).
// - Registration and use of the manager are not locked: start-up registers
//   before any connection exists.
// - Some fetch converters store a column in a narrower type than the
//   column's range (Bigint(1..9) as dtInt32: a display width does not bound
//   the values). The record set puts fetched values in through
//   ConvertFetchedValue, which raises "Value is out of range: %s" for a value
//   that does not fit (unless the rule ignores errors) instead of cutting it.
#pragma once

#include <cstdint>

#include <lumokit/data/KxDataTypeMap.h>

namespace lumo {

constexpr int MySqlDBProvider = 200;

constexpr std::uint16_t myBit = 201;
constexpr std::uint16_t myTinyint = 202;
constexpr std::uint16_t myTinyintUnsigned = 203;
constexpr std::uint16_t mySmallint = 204;
constexpr std::uint16_t mySmallintUnsigned = 205;
constexpr std::uint16_t myMediumint = 206;
constexpr std::uint16_t myMediumintUnsigned = 207;
constexpr std::uint16_t myInteger = 208;
constexpr std::uint16_t myIntegerUnsigned = 209;
constexpr std::uint16_t myBigint = 210;
constexpr std::uint16_t myBigintUnsigned = 211;
constexpr std::uint16_t myFloat = 212;
constexpr std::uint16_t myDouble = 213;
constexpr std::uint16_t myDecimal = 214;
constexpr std::uint16_t myDate = 215;
constexpr std::uint16_t myTime = 216;
constexpr std::uint16_t myDatetime = 217;
constexpr std::uint16_t myTimestamp = 218;
constexpr std::uint16_t myYear = 219;
constexpr std::uint16_t myChar = 220;
constexpr std::uint16_t myVarchar = 221;
constexpr std::uint16_t myBinary = 222;
constexpr std::uint16_t myVarbinary = 223;
constexpr std::uint16_t myTinyBlob = 224;
constexpr std::uint16_t myBlob = 225;
constexpr std::uint16_t myTinyText = 226;
constexpr std::uint16_t myText = 227;
constexpr std::uint16_t myEnum = 228;
constexpr std::uint16_t mySet = 229;

// Adds the MySQL database types to DBTypeInfos() (once).
void InitMyTypes();

class TMyConverterManager : public TConverterManager {
 public:
  // The generic matrix, then the MySQL fetch converters.
  TMyConverterManager();
  int GetDBProvider() const override { return MySqlDBProvider; }

  // The database type of a result column from its protocol type code, its
  // length in bytes, its character set number and its flags; 0 when the
  // type is not known.
  static std::uint16_t GetDBType(int sqlType, std::int64_t lengthInBytes, int charsetNr, std::uint32_t flags);
};

// The process-wide MySQL converter manager.
const TMyConverterManager& MyConverterManager();

// The rules of a MySQL connection or record set.
class TMyMapRules : public TKxMapRules {
 public:
  const TConverterManager& GetConverterManager() const override { return MyConverterManager(); }
};

void RegisterMyDataTypeMap();
void UnregisterMyDataTypeMap();

}  // namespace lumo
