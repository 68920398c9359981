// Code pages and Unicode conversions: the process-wide 8-bit code page (the
// "ANSI" page, UTF-8 by default), conversions between any supported code page
// and UTF-16 through iconv, and a hand-written UTF-8 <-> UTF-16 path for the
// hot paths. Malformed input never raises: every ill-formed UTF-8 subsequence,
// undecodable byte and lone surrogate becomes U+FFFD, and a character the
// target page cannot represent becomes '?'.
//
// Decisions: code pages are numbered as on the original platform (65001
// UTF-8, 1200/1201 UTF-16LE/BE, 1252, 932 ...); 0 (CP_ACP) stands for the
// process page wherever a page is taken. UTF-16 and UTF-32 pages can be used
// for byte conversions but not as the process page. The buffer helpers
// (UnicodeToUtf8, Utf8ToUnicode) count the terminating zero in their result,
// also when asked for the size needed (no destination).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumo {

inline constexpr int CP_ACP = 0;
inline constexpr int CP_UTF16LE = 1200;
inline constexpr int CP_UTF16BE = 1201;
inline constexpr int CP_ASCII = 20127;
inline constexpr int CP_LATIN1 = 28591;
inline constexpr int CP_UTF8 = 65001;

// ---- the process code page -------------------------------------------------

// The process-wide 8-bit code page; reads are lock-free and thread-safe.
int DefaultCodePage() noexcept;
// Raises "Invalid codepage (%d)" for a page that is unknown or not an 8-bit
// (ASCII-compatible) page, such as UTF-16.
void SetDefaultCodePage(int codePage);

// Replaces the process code page for its lifetime and restores the previous
// one when it ends (for tests).
class TCodePageOverride {
 public:
  explicit TCodePageOverride(int codePage) : FSaved(DefaultCodePage()) { SetDefaultCodePage(codePage); }
  ~TCodePageOverride() { SetDefaultCodePage(FSaved); }
  TCodePageOverride(const TCodePageOverride&) = delete;
  TCodePageOverride& operator=(const TCodePageOverride&) = delete;

 private:
  int FSaved;
};

// True when conversions to and from the page are available.
bool IsCodePageSupported(int codePage) noexcept;
// Raises EArgumentError "Invalid codepage (%d)" when the page is not supported.
void CheckCodePage(int codePage);
// The iconv name of a page, or nullptr when the page is unknown.
const char* CodePageIconvName(int codePage) noexcept;
// The largest number of bytes one UTF-16 code unit can take in the page.
int CodePageMaxBytesPerChar(int codePage);
// The page itself, or the process page for CP_ACP.
int ResolveCodePage(int codePage) noexcept;

// ---- whole-string conversions ----------------------------------------------

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text) noexcept;
// Returns `text` with every ill-formed subsequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

// Decodes one UTF-8 character at p (p < end) and returns the bytes consumed
// (at least one). An ill-formed subsequence yields kInvalidUtf8 and consumes
// its maximal well-formed prefix, so that each one counts as one U+FFFD.
inline constexpr char32_t kInvalidUtf8 = 0x110000;
std::size_t DecodeUtf8Char(const char* p, const char* end, char32_t& cp) noexcept;
// Writes the UTF-8 form of a code point (at most four bytes) to dest and
// returns the bytes written.
std::size_t EncodeUtf8Char(char32_t cp, char* dest) noexcept;

// Bytes in `codePage` to UTF-16 and back; raise "Invalid codepage (%d)".
std::u16string CodePageToUnicode(std::string_view bytes, int codePage);
std::string UnicodeToCodePage(std::u16string_view text, int codePage);
// Re-encodes bytes from one page into another (through UTF-16).
std::string ConvertCodePage(std::string_view bytes, int fromCodePage, int toCodePage);

// 8-bit text in the process page to UTF-16 and back.
std::u16string AnsiToUnicode(std::string_view text);
std::string UnicodeToAnsi(std::u16string_view text);

// ---- the classic helpers ---------------------------------------------------

// Converts SourceChars UTF-16 units into Dest (capacity MaxDestBytes).
// Without a destination returns the bytes needed including the terminator.
// Otherwise writes as many whole characters as fit before a terminating zero
// (never part of a multi-byte sequence or half of a surrogate pair) and
// returns the bytes written including the terminator; 0 when MaxDestBytes
// is 0.
std::size_t UnicodeToUtf8(char* Dest, std::size_t MaxDestBytes, const char16_t* Source,
                          std::size_t SourceChars);
// The same from UTF-8 into UTF-16 units (MaxDestChars units of capacity).
std::size_t Utf8ToUnicode(char16_t* Dest, std::size_t MaxDestChars, const char* Source,
                          std::size_t SourceBytes);

std::string Utf8Encode(std::u16string_view text);
std::u16string Utf8Decode(std::string_view text);
// Process page <-> UTF-8 (with the process page UTF-8 they clean up
// malformed sequences and otherwise copy).
std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);

// Copies at most MaxChars units of the zero-terminated Source and a
// terminating zero into Dest, which must hold MaxChars + 1 units; returns
// Dest.
char16_t* StrLCopyW(char16_t* Dest, const char16_t* Source, std::size_t MaxChars);
// Units before the terminating zero; 0 for nullptr.
std::size_t StrLenW(const char16_t* Text) noexcept;
// Overwrite trailing blanks and zero characters of the first Len characters
// with zeros (Len -1: up to the terminating zero). Return the length left.
std::size_t StrTrim(char* Text, std::ptrdiff_t Len) noexcept;
std::size_t StrTrimW(char16_t* Text, std::ptrdiff_t Len) noexcept;

}  // namespace lumo
