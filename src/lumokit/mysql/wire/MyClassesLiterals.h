// The MySQL literal writer: turns one parameter value into the text of a
// MySQL literal (quoted and escaped string, number, date, bit value) and
// appends it to the statement being built. Commands use it for parameters,
// and the SQL generator, bulk loader and dump for the values they write, so
// nothing from a user or a server is pasted into SQL unescaped. It lives
// with the wire client, whose statements and facade write values with it,
// and stands only on the data area below, so the provider above shares it.
//
// Decisions:
// - Strings are escaped for the connection's character set exactly as the
//   server's lexer reads them. For the multi-byte sets gbk, big5, sjis,
//   cp932, gb18030 and euckr a valid multi-byte character (lead byte plus
//   trail bytes valid for that set; gb18030 also four-byte sequences) is
//   copied whole, and any other byte goes through the escape table, so a
//   0x5C or 0x27 trail byte can never end the literal early. Every other
//   character set (utf8, utf8mb4, latin1, binary …) is escaped byte by byte.
// - Without NeedBackslashes (the server runs with NO_BACKSLASH_ESCAPES) only
//   the single quote is doubled; everything else is copied.
// - Numbers: a text value given for an integer, float or BCD type is
//   converted to the declared type first and raises EConvertError when it
//   is not a number; it is never pasted raw. Floats are written as the
//   shortest text that reads back to the same double (dtSingle: the same
//   float); NaN and infinities raise EConvertError. The decimal separator is
//   always '.', whatever FormatSettings says.
// - dtCurrency is written like dtFloat: a double (or a
//   text, read as a double) is never rounded to the currency type's four
//   decimals, so 1.23456 goes as 1.23456 and the column decides. A value of
//   the currency or decimal kind goes as its exact text, integers as
//   integers. dtBCD is the currency value: four decimals.
// - Date-times (dtDateTime, dtSQLTimeStamp) are written
//   'YYYY-MM-DD HH:NN:SS' and keep a non-zero fraction of a second with its
//   digits to the microsecond, trailing zeros removed
//   ('2024-01-02 03:04:05.12', '2024-01-02 03:04:05.0194'); times likewise.
//   Date variants give their exact microseconds (Variant::AsDateMicros), so
//   a value read from a DATETIME(6) column goes back as it came; a plain
//   date-time number gives what its double holds, rounded to the
//   microsecond. Whole seconds are written without a fraction, as always. A
//   value equal to ZeroDate writes '0000-00-00 00:00:00'.
// - dtTime is the signed duration in whole hours (not padded, may exceed
//   23): -1.5 h gives '-1:30:00', 26 h '26:00:00', up to the microsecond.
// - dtGuid is written as a quoted, escaped string. dtVariant and other
//   codes that are no integers are written by the kind of the value (text
//   quoted, numbers as numbers, dates as date-times), never pasted raw.
// - A Null or unassigned value given with IsNull false is written NULL for
//   numbers, dates and booleans, and '' for text and bytes.
// - Lone lead bytes (a lead byte of one of the multi-byte sets above that
//   starts no valid character, also one cut off at the end) are written as
//   a backslash and the byte when backslashes are in use, which the server
//   reads back as that byte.
// - Large objects with SendBlobCompressed: the compressed form (a blob
//   above 50 bytes whose compression saves space) is sent as its stored
//   bytes and never re-encoded, also for text columns with UseUnicode.
// - UseUnicode sends text as UTF-8: 16-bit text is encoded, 8-bit text is
//   converted from the process code page. Binary types never re-encode.
// - A 16-bit (Unicode) blob sent for a text type without UseUnicode is
//   converted to the process code page (8 bits), as 16-bit text is. Part
//   5.2 sends a blob's bytes as they are there, which would put UTF-16 code
//   units into an 8-bit text column. For binary types the bytes still go
//   as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Variant.h>

namespace lumo {

// 1 January 100 as a date-time number: the value that stands for the zero
// date "0000-00-00 00:00:00".
extern TDateTime ZeroDate;
// When on (and the server's major version is 5 or more), booleans are
// written b'1' / b'0' instead of 1 / 0. Off by default.
extern bool __UseNewBooleanParamType;

void AppendValueToSQL(std::string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull,
                      bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset);
void AppendValueToSQL(std::u16string& SQL, std::uint16_t DataType, const Variant& Value, bool IsNull,
                      bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes, int ServerPrimaryVer,
                      const std::string& Charset);

// The literal alone, escaped byte by byte (no character set). Callers that
// know the connection's escaping mode pass it as NeedBackslashes. Without it
// the mode is unknown: quotes are doubled (read the same in both modes) and
// a text that holds a backslash, which the two modes read differently, is
// written as a hexadecimal literal X'...' instead.
std::string ValueToSQL(std::uint16_t DataType, const Variant& Value, bool IsNull, bool UseUnicode,
                       bool SendBlobCompressed, int ServerPrimaryVer,
                       std::optional<bool> NeedBackslashes = std::nullopt);

// 'escaped bytes' for the character set Charset (case-insensitive name).
std::string EscapeAndQuoteStr(std::string_view From, bool NeedBackslashes, const std::string& Charset);
// The escaped bytes alone (no quotes), as a literal of that character set
// holds them: what the client API's mysql_real_escape_string gives.
std::string EscapeStr(std::string_view From, bool NeedBackslashes, const std::string& Charset);
// The same table applied to 16-bit text, quoted.
std::u16string EscapeAndQuoteWideStr(std::u16string_view From, bool NeedBackslashes);
// The quoted literal of a text, byte-array or large-object value.
std::string EscapeAndQuoteVar(const Variant& Data, bool UseUnicode, bool SendBlobCompressed, bool NeedBackslashes,
                              const std::string& Charset);

// The bytes a text, byte-array or large-object value stands for, in the
// form a literal holds them before escaping (and the binary protocol sends
// them): 8-bit text as it is (converted to UTF-8 with UseUnicode), UTF-16
// text in the process code page or UTF-8, byte arrays as they are, large
// objects by the rules above (TextType: the value goes to a text column),
// other values as their text; a null or unassigned value is empty. The
// result views the value's own memory or Holder.
std::string_view ValueBytes(const Variant& Data, bool UseUnicode, bool TextType, bool SendBlobCompressed,
                            std::string& Holder);

// A number from a value: text is read in its '.' form first, then with the
// process settings (the variant's own conversion, which raises
// EConvertError for what is not a number); other kinds convert as variants
// do.
double TextToDouble(const Variant& v);
Currency TextToCurr(const Variant& v);
TBcd TextToBcd(const Variant& v);

// Appending forms used by the functions above (no temporary strings).
void AppendEscapedStr(std::string& SQL, std::string_view From, bool NeedBackslashes, const std::string& Charset);
void AppendEscapedWideStr(std::u16string& SQL, std::u16string_view From, bool NeedBackslashes);

}  // namespace lumo
