// Locale-aware comparison and case mapping of text through ICU: the
// comparisons behind sorting, locating and case-insensitive name lookup, on
// UTF-16 and on 8-bit text in the process code page.
//
// Decisions: the locale is one process-wide setting, "en_US" by default
// (whose collation is the CLDR root order), independent of the environment so
// results are the same on every machine; tests and applications may change
// it. Comparisons use "string sort": punctuation and symbols are significant
// and sort before digits and letters (ICU's non-ignorable alternate handling,
// not "shifted"), and canonically equivalent forms compare equal. The case-
// sensitive functions compare up to the tertiary level (lower case before
// upper case when the letters are otherwise equal); the case-insensitive ones
// up to the secondary level, so accents still count. Results are -1, 0 or 1.
// Each thread keeps its own collators, re-created after a locale change, so
// every function may be called from several threads at once. Texts longer
// than 2^31-1 code units are rejected with EArgumentError (ICU's limit).
#pragma once

#include <string>
#include <string_view>

namespace lumo {

// The locale used for comparison and case mapping (an ICU locale id).
std::string CollationLocale();
void SetCollationLocale(const std::string& localeId);

// UTF-16 comparisons; the L variants compare the first MaxLen units.
int AnsiStrCompWS(std::u16string_view S1, std::u16string_view S2);
int AnsiStrICompWS(std::u16string_view S1, std::u16string_view S2);
int AnsiStrLCompWS(std::u16string_view S1, std::u16string_view S2, std::size_t MaxLen);
int AnsiStrLICompWS(std::u16string_view S1, std::u16string_view S2, std::size_t MaxLen);

// 8-bit text in the process code page (ill-formed UTF-8 compares as U+FFFD).
int AnsiCompareStr(std::string_view S1, std::string_view S2);
int AnsiCompareText(std::string_view S1, std::string_view S2);
bool AnsiSameStr(std::string_view S1, std::string_view S2);
bool AnsiSameText(std::string_view S1, std::string_view S2);
bool AnsiSameText(std::u16string_view S1, std::u16string_view S2);

// Full case mapping for the locale (the length may change: "ß" -> "SS").
std::string AnsiUpperCase(std::string_view S);
std::string AnsiLowerCase(std::string_view S);
std::u16string AnsiUpperCase(std::u16string_view S);
std::u16string AnsiLowerCase(std::u16string_view S);

}  // namespace lumo
