#include <lumokit/dataset/DB.h>

namespace lumo {

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

const char* FieldTypeName(TFieldType type) noexcept {
  static constexpr const char* names[FieldTypeCount] = {
      "Unknown",     "String",       "Smallint",    "Integer",        "Word",        "Boolean",
      "Float",       "Currency",     "BCD",         "Date",           "Time",        "DateTime",
      "Bytes",       "VarBytes",     "AutoInc",     "Blob",           "Memo",        "Graphic",
      "FmtMemo",     "ParadoxOle",   "DBaseOle",    "TypedBinary",    "Cursor",      "FixedChar",
      "WideString",  "Largeint",     "ADT",         "Array",          "Reference",   "DataSet",
      "OraBlob",     "OraClob",      "Variant",     "Interface",      "IDispatch",   "Guid",
      "TimeStamp",   "FMTBcd",       "FixedWideChar", "WideMemo",     "OraTimeStamp", "OraInterval",
      "LongWord",    "Shortint",     "Byte",        "Extended",       "Connection",  "Params",
      "Stream",      "TimeStampOffset", "Object",   "Single"};
  const int i = static_cast<int>(type);
  return i >= 0 && i < FieldTypeCount ? names[i] : "Unknown";
}

}  // namespace lumo
