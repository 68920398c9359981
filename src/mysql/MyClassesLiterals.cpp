#include "MyClassesLiterals.h"

#include "CodePages.h"
#include "MemTypes.h"

namespace lumo {

TDateTime ZeroDate = -657434.0;
bool __UseNewBooleanParamType = false;

void AppendEscapedStr(std::string& SQL, std::string_view From, bool NeedBackslashes, const std::string& Charset) {
  (void)NeedBackslashes;
  (void)Charset;
  SQL += '\'';
  SQL.append(From);
  SQL += '\'';
}

void AppendEscapedWideStr(std::u16string& SQL, std::u16string_view From, bool NeedBackslashes) {
  (void)NeedBackslashes;
  SQL += u'\'';
  SQL.append(From);
  SQL += u'\'';
}

std::string EscapeAndQuoteStr(std::string_view From, bool NeedBackslashes, const std::string& Charset) {
  std::string r;
  AppendEscapedStr(r, From, NeedBackslashes, Charset);
  return r;
}

std::u16string EscapeAndQuoteWideStr(std::u16string_view From, bool NeedBackslashes) {
  std::u16string r;
  AppendEscapedWideStr(r, From, NeedBackslashes);
  return r;
}

std::string EscapeAndQuoteVar(const Variant& Data, bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes,
                              const std::string& Charset) {
  (void)UseUnicode;
  (void)SendBlobCompressed;
  return EscapeAndQuoteStr(Data.AsString(), NeedBackslashes, Charset);
}

void AppendValueToSQL(std::string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                      bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset) {
  (void)DataType;
  (void)ServerPrimaryVer;
  if (IsNull) {
    SQL += "NULL";
    return;
  }
  SQL += EscapeAndQuoteVar(Value, UseUnicode, SendBlobCompressed, NeedBackslashes, Charset);
}

void AppendValueToSQL(std::u16string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull,
                      bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset) {
  std::string s;
  AppendValueToSQL(s, DataType, Value, IsNull, UseUnicode, SendBlobCompressed, NeedBackslashes, ServerPrimaryVer,
                   Charset);
  SQL += Utf8ToUtf16(s);
}

std::string ValueToSQL(std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                       bool SendBlobCompressed, int ServerPrimaryVer) {
  std::string s;
  AppendValueToSQL(s, DataType, Value, IsNull, UseUnicode, SendBlobCompressed, false, ServerPrimaryVer, "");
  return s;
}

}  // namespace lumo
