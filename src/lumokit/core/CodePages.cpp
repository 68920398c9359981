#include <lumokit/core/CodePages.h>

#include <iconv.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

std::atomic<int> gDefaultCodePage{CP_UTF8};

enum class PageKind { Ascii8, Unicode16, Unicode32 };

struct CodePageInfo {
  int codePage;
  const char* iconvName;
  int maxBytesPerUnit;  // bytes per UTF-16 code unit, worst case
  PageKind kind;
};

// Windows code page numbers and the iconv names of the same character sets.
constexpr CodePageInfo kPages[] = {
    {437, "CP437", 1, PageKind::Ascii8},          {737, "CP737", 1, PageKind::Ascii8},
    {775, "CP775", 1, PageKind::Ascii8},          {850, "CP850", 1, PageKind::Ascii8},
    {852, "CP852", 1, PageKind::Ascii8},          {855, "CP855", 1, PageKind::Ascii8},
    {857, "CP857", 1, PageKind::Ascii8},          {860, "CP860", 1, PageKind::Ascii8},
    {861, "CP861", 1, PageKind::Ascii8},          {862, "CP862", 1, PageKind::Ascii8},
    {863, "CP863", 1, PageKind::Ascii8},          {865, "CP865", 1, PageKind::Ascii8},
    {866, "CP866", 1, PageKind::Ascii8},          {869, "CP869", 1, PageKind::Ascii8},
    {874, "CP874", 1, PageKind::Ascii8},          {932, "CP932", 2, PageKind::Ascii8},
    {936, "GBK", 2, PageKind::Ascii8},            {949, "CP949", 2, PageKind::Ascii8},
    {950, "BIG5", 2, PageKind::Ascii8},           {1200, "UTF-16LE", 2, PageKind::Unicode16},
    {1201, "UTF-16BE", 2, PageKind::Unicode16},   {1250, "CP1250", 1, PageKind::Ascii8},
    {1251, "CP1251", 1, PageKind::Ascii8},        {1252, "CP1252", 1, PageKind::Ascii8},
    {1253, "CP1253", 1, PageKind::Ascii8},        {1254, "CP1254", 1, PageKind::Ascii8},
    {1255, "CP1255", 1, PageKind::Ascii8},        {1256, "CP1256", 1, PageKind::Ascii8},
    {1257, "CP1257", 1, PageKind::Ascii8},        {1258, "CP1258", 1, PageKind::Ascii8},
    {1361, "JOHAB", 2, PageKind::Ascii8},         {10000, "MACINTOSH", 1, PageKind::Ascii8},
    {12000, "UTF-32LE", 4, PageKind::Unicode32},  {12001, "UTF-32BE", 4, PageKind::Unicode32},
    {20127, "ASCII", 1, PageKind::Ascii8},        {20866, "KOI8-R", 1, PageKind::Ascii8},
    {20932, "EUC-JP", 3, PageKind::Ascii8},       {20936, "GB2312", 2, PageKind::Ascii8},
    {21866, "KOI8-U", 1, PageKind::Ascii8},       {28591, "ISO-8859-1", 1, PageKind::Ascii8},
    {28592, "ISO-8859-2", 1, PageKind::Ascii8},   {28593, "ISO-8859-3", 1, PageKind::Ascii8},
    {28594, "ISO-8859-4", 1, PageKind::Ascii8},   {28595, "ISO-8859-5", 1, PageKind::Ascii8},
    {28596, "ISO-8859-6", 1, PageKind::Ascii8},   {28597, "ISO-8859-7", 1, PageKind::Ascii8},
    {28598, "ISO-8859-8", 1, PageKind::Ascii8},   {28599, "ISO-8859-9", 1, PageKind::Ascii8},
    {28603, "ISO-8859-13", 1, PageKind::Ascii8},  {28605, "ISO-8859-15", 1, PageKind::Ascii8},
    {51932, "EUC-JP", 3, PageKind::Ascii8},       {51949, "EUC-KR", 2, PageKind::Ascii8},
    {54936, "GB18030", 4, PageKind::Ascii8},      {65001, "UTF-8", 3, PageKind::Ascii8},
};

const CodePageInfo* FindPage(int codePage) noexcept {
  for (const auto& p : kPages)
    if (p.codePage == codePage) return &p;
  return nullptr;
}

[[noreturn]] void RaiseInvalidCodePage(int codePage) {
  throw EArgumentError(Format("Invalid codepage (%d)", {codePage}));
}

// Conversion descriptors of the calling thread, opened on first use.
class IconvCache {
 public:
  IconvCache() = default;
  IconvCache(const IconvCache&) = delete;
  IconvCache& operator=(const IconvCache&) = delete;
  ~IconvCache() {
    for (auto& e : FEntries)
      if (e.cd != kInvalid) iconv_close(e.cd);
  }

  // nullptr-like kInvalid when iconv cannot convert the page.
  iconv_t Get(const CodePageInfo& page, bool toUnicode) {
    for (auto& e : FEntries)
      if (e.codePage == page.codePage && e.toUnicode == toUnicode) return e.cd;
    iconv_t cd = toUnicode ? iconv_open("UTF-16LE", page.iconvName) : iconv_open(page.iconvName, "UTF-16LE");
    FEntries.push_back({page.codePage, toUnicode, cd});
    return cd;
  }

  static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

 private:
  struct Entry {
    int codePage;
    bool toUnicode;
    iconv_t cd;
  };
  std::vector<Entry> FEntries;
};

IconvCache& ThreadIconv() {
  thread_local IconvCache cache;
  return cache;
}

// ---- UTF-8 -----------------------------------------------------------------

constexpr char32_t kBad = 0x110000;  // marks an ill-formed subsequence

// Decodes one character at p (p < end) and returns the bytes consumed. An
// ill-formed sequence yields kBad and consumes its maximal well-formed
// prefix (at least one byte), so that each such subpart becomes one U+FFFD.
inline std::size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept {
  unsigned b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need;
  unsigned lo = 0x80, hi = 0xBF;
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    else if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    else if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    cp = kBad;
    return 1;
  }
  std::size_t avail = static_cast<std::size_t>(end - p);
  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= avail) {
      cp = kBad;
      return i;
    }
    unsigned b = p[i];
    if (b < lo || b > hi) {
      cp = kBad;
      return i;
    }
    lo = 0x80;
    hi = 0xBF;
    c = (c << 6) | (b & 0x3F);
  }
  cp = c;
  return need + 1;
}

inline bool IsHighSurrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

// Reads one character from UTF-16 at s (s < end); lone surrogates give
// U+FFFD. Returns the units consumed.
inline std::size_t DecodeUtf16(const char16_t* s, const char16_t* end, char32_t& cp) noexcept {
  char32_t c = s[0];
  if (c < 0xD800 || c > 0xDFFF) {
    cp = c;
    return 1;
  }
  if (IsHighSurrogate(c) && end - s >= 2 && IsLowSurrogate(s[1])) {
    cp = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
    return 2;
  }
  cp = 0xFFFD;
  return 1;
}

inline std::size_t Utf8Length(char32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

inline char* EncodeUtf8(char32_t cp, char* d) noexcept {
  if (cp < 0x80) {
    *d++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *d++ = static_cast<char>(0xC0 | (cp >> 6));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *d++ = static_cast<char>(0xE0 | (cp >> 12));
    *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *d++ = static_cast<char>(0xF0 | (cp >> 18));
    *d++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return d;
}

inline char16_t* EncodeUtf16(char32_t cp, char16_t* d) noexcept {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    *d++ = static_cast<char16_t>(0xD800 + (cp >> 10));
    *d++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    *d++ = static_cast<char16_t>(cp);
  }
  return d;
}

// ---- iconv -----------------------------------------------------------------

[[maybe_unused]] void SwapUnits(char16_t* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<char16_t>((p[i] >> 8) | (p[i] << 8));
}

// Bytes the target page uses for an unrepresentable character.
std::string_view ReplacementBytes(const CodePageInfo& page) noexcept {
  switch (page.codePage) {
    case 1200: return std::string_view("\xFD\xFF", 2);
    case 1201: return std::string_view("\xFF\xFD", 2);
    case 12000: return std::string_view("\xFD\xFF\x00\x00", 4);
    case 12001: return std::string_view("\x00\x00\xFF\xFD", 4);
    default: return "?";
  }
}

std::u16string IconvDecode(std::string_view bytes, const CodePageInfo& page) {
  iconv_t cd = ThreadIconv().Get(page, true);
  if (cd == IconvCache::kInvalid) RaiseInvalidCodePage(page.codePage);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  // Every supported page yields at most one UTF-16 unit per input byte.
  std::u16string out(bytes.size() + 2, u'\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  char* base = reinterpret_cast<char*>(out.data());
  char* o = base;
  std::size_t outLeft = out.size() * 2;
  auto grow = [&] {
    std::size_t used = static_cast<std::size_t>(o - base);
    out.resize(out.size() * 2 + 8);
    base = reinterpret_cast<char*>(out.data());
    o = base + used;
    outLeft = out.size() * 2 - used;
  };
  while (inLeft > 0) {
    std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    if (r != static_cast<std::size_t>(-1)) break;
    int err = errno;
    if (err == E2BIG) {
      grow();
      continue;
    }
    if (outLeft < 2) grow();
    // Undecodable byte (EILSEQ) or a sequence cut off at the end (EINVAL).
    o[0] = static_cast<char>(0xFD);
    o[1] = static_cast<char>(0xFF);
    o += 2;
    outLeft -= 2;
    if (err != EILSEQ) break;
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  for (;;) {  // flush a stateful decoder
    std::size_t r = iconv(cd, nullptr, nullptr, &o, &outLeft);
    if (r != static_cast<std::size_t>(-1) || errno != E2BIG) break;
    grow();
  }
  out.resize(static_cast<std::size_t>(o - base) / 2);
  if constexpr (std::endian::native == std::endian::big) SwapUnits(out.data(), out.size());
  return out;
}

std::string IconvEncode(std::u16string_view text, const CodePageInfo& page) {
  iconv_t cd = ThreadIconv().Get(page, false);
  if (cd == IconvCache::kInvalid) RaiseInvalidCodePage(page.codePage);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  std::u16string le;
  const char16_t* units = text.data();
  if constexpr (std::endian::native == std::endian::big) {
    le.assign(text);
    SwapUnits(le.data(), le.size());
    units = le.data();
  }
  std::string out(text.size() * static_cast<std::size_t>(page.maxBytesPerUnit) + 8, '\0');
  char* const inBase = reinterpret_cast<char*>(const_cast<char16_t*>(units));
  char* in = inBase;
  std::size_t inLeft = text.size() * 2;
  char* o = out.data();
  std::size_t outLeft = out.size();
  auto grow = [&] {
    std::size_t used = static_cast<std::size_t>(o - out.data());
    out.resize(out.size() * 2 + 8);
    o = out.data() + used;
    outLeft = out.size() - used;
  };
  const std::string_view repl = ReplacementBytes(page);
  while (inLeft > 0) {
    std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    if (r != static_cast<std::size_t>(-1)) break;
    int err = errno;
    if (err == E2BIG) {
      grow();
      continue;
    }
    while (outLeft < repl.size()) grow();
    std::memcpy(o, repl.data(), repl.size());
    o += repl.size();
    outLeft -= repl.size();
    if (err != EILSEQ) break;
    // Skip the unrepresentable character: a whole surrogate pair or one unit.
    std::size_t pos = static_cast<std::size_t>(in - inBase) / 2;
    std::size_t step = 1;
    if (pos + 1 < text.size() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[pos + 1])) step = 2;
    if (step * 2 > inLeft) step = inLeft / 2;
    if (step == 0) break;
    in += step * 2;
    inLeft -= step * 2;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  for (;;) {
    std::size_t r = iconv(cd, nullptr, nullptr, &o, &outLeft);
    if (r != static_cast<std::size_t>(-1) || errno != E2BIG) break;
    grow();
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

const CodePageInfo& PageOrRaise(int codePage) {
  int cp = ResolveCodePage(codePage);
  const CodePageInfo* page = FindPage(cp);
  if (!page) RaiseInvalidCodePage(cp);
  return *page;
}

}  // namespace

// ---- the process code page -------------------------------------------------

int DefaultCodePage() noexcept { return gDefaultCodePage.load(std::memory_order_relaxed); }

int ResolveCodePage(int codePage) noexcept { return codePage == CP_ACP ? DefaultCodePage() : codePage; }

void SetDefaultCodePage(int codePage) {
  const CodePageInfo* page = FindPage(codePage);
  if (!page || page->kind != PageKind::Ascii8 || !IsCodePageSupported(codePage)) RaiseInvalidCodePage(codePage);
  gDefaultCodePage.store(codePage, std::memory_order_relaxed);
}

const char* CodePageIconvName(int codePage) noexcept {
  const CodePageInfo* page = FindPage(ResolveCodePage(codePage));
  return page ? page->iconvName : nullptr;
}

bool IsCodePageSupported(int codePage) noexcept {
  const CodePageInfo* page = FindPage(ResolveCodePage(codePage));
  if (!page) return false;
  switch (page->codePage) {
    case CP_UTF8:
    case CP_UTF16LE:
    case CP_UTF16BE:
    case CP_ASCII:
    case CP_LATIN1:
      return true;
    default:
      break;
  }
  try {
    return ThreadIconv().Get(*page, true) != IconvCache::kInvalid &&
           ThreadIconv().Get(*page, false) != IconvCache::kInvalid;
  } catch (...) {
    return false;
  }
}

void CheckCodePage(int codePage) {
  if (!IsCodePageSupported(codePage)) RaiseInvalidCodePage(ResolveCodePage(codePage));
}

int CodePageMaxBytesPerChar(int codePage) { return PageOrRaise(codePage).maxBytesPerUnit; }

// ---- whole-string conversions ----------------------------------------------

namespace {

// Converts [p, end) into d, which has room for at least end - p units (no
// character takes more units than bytes); returns the end of the output.
char16_t* ConvertUtf8ToUtf16(const unsigned char* p, const unsigned char* end, char16_t* d) noexcept {
  while (p < end) {
    unsigned b0 = *p;
    if (b0 < 0x80) {
      // ASCII: eight bytes at a time while they last.
      while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & 0x8080808080808080ULL) break;
        for (int i = 0; i < 8; ++i) d[i] = p[i];
        p += 8;
        d += 8;
      }
      while (p < end && *p < 0x80) *d++ = *p++;
      continue;
    }
    // Well-formed two- and three-byte sequences inline; the rest (four
    // bytes and anything ill-formed) through the full decoder.
    std::ptrdiff_t left = end - p;
    if (b0 >= 0xC2 && b0 <= 0xDF && left >= 2 && (p[1] & 0xC0) == 0x80) {
      *d++ = static_cast<char16_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
      continue;
    }
    if ((b0 & 0xF0) == 0xE0 && left >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
      unsigned c = ((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
        *d++ = static_cast<char16_t>(c);
        p += 3;
        continue;
      }
    }
    char32_t cp;
    p += DecodeUtf8(p, end, cp);
    d = EncodeUtf16(cp == kBad ? 0xFFFD : cp, d);
  }
  return d;
}

// Exact UTF-8 length of UTF-16 text (lone surrogates count as U+FFFD).
std::size_t Utf8LengthOf(const char16_t* s, const char16_t* end) noexcept {
  std::size_t n = 0;
  while (s < end) {
    char32_t c = *s;
    if (c < 0x80) {
      ++n;
      ++s;
    } else if (c < 0x800) {
      n += 2;
      ++s;
    } else if (IsHighSurrogate(c) && end - s >= 2 && IsLowSurrogate(s[1])) {
      n += 4;
      s += 2;
    } else {
      n += 3;
      ++s;
    }
  }
  return n;
}

// Converts [s, end) into d, which has room for Utf8LengthOf(s, end) bytes;
// returns the end of the output.
char* ConvertUtf16ToUtf8(const char16_t* s, const char16_t* end, char* d) noexcept {
  while (s < end) {
    char32_t c = *s;
    if (c < 0x80) {
      while (end - s >= 4) {
        std::uint64_t w;
        std::memcpy(&w, s, 8);
        if (w & 0xFF80FF80FF80FF80ULL) break;
        d[0] = static_cast<char>(s[0]);
        d[1] = static_cast<char>(s[1]);
        d[2] = static_cast<char>(s[2]);
        d[3] = static_cast<char>(s[3]);
        s += 4;
        d += 4;
      }
      while (s < end && *s < 0x80) *d++ = static_cast<char>(*s++);
      continue;
    }
    if (c < 0x800) {
      d[0] = static_cast<char>(0xC0 | (c >> 6));
      d[1] = static_cast<char>(0x80 | (c & 0x3F));
      d += 2;
      ++s;
      continue;
    }
    if (c < 0xD800 || c > 0xDFFF) {
      d[0] = static_cast<char>(0xE0 | (c >> 12));
      d[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      d[2] = static_cast<char>(0x80 | (c & 0x3F));
      d += 3;
      ++s;
      continue;
    }
    char32_t cp;
    s += DecodeUtf16(s, end, cp);
    d = EncodeUtf8(cp, d);
  }
  return d;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  char16_t* d = ConvertUtf8ToUtf16(p, p + text.size(), out.data());
  out.resize(static_cast<std::size_t>(d - out.data()));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  const char16_t* s = text.data();
  const char16_t* end = s + text.size();
  std::string out(Utf8LengthOf(s, end), '\0');
  ConvertUtf16ToUtf8(s, end, out.data());
  return out;
}

bool IsValidUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    char32_t cp;
    p += DecodeUtf8(p, end, cp);
    if (cp == kBad) return false;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  char buf[4];
  while (p < end) {
    char32_t cp;
    p += DecodeUtf8(p, end, cp);
    char* e = EncodeUtf8(cp == kBad ? 0xFFFD : cp, buf);
    out.append(buf, static_cast<std::size_t>(e - buf));
  }
  return out;
}

std::size_t DecodeUtf8Char(const char* p, const char* end, char32_t& cp) noexcept {
  std::size_t n = DecodeUtf8(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(end), cp);
  if (cp == kBad) cp = kInvalidUtf8;
  return n;
}

std::size_t EncodeUtf8Char(char32_t cp, char* dest) noexcept {
  return static_cast<std::size_t>(EncodeUtf8(cp, dest) - dest);
}

std::u16string CodePageToUnicode(std::string_view bytes, int codePage) {
  const CodePageInfo& page = PageOrRaise(codePage);
  switch (page.codePage) {
    case CP_UTF8:
      return Utf8ToUtf16(bytes);
    case CP_UTF16LE:
    case CP_UTF16BE: {
      std::u16string out(bytes.size() / 2 + (bytes.size() & 1), u'\0');
      const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
      bool le = page.codePage == CP_UTF16LE;
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out[i / 2] = le ? static_cast<char16_t>(b[i] | (b[i + 1] << 8)) : static_cast<char16_t>((b[i] << 8) | b[i + 1]);
      if (bytes.size() & 1) out.back() = u'\xFFFD';  // a dangling byte
      return out;
    }
    case CP_ASCII: {
      std::u16string out(bytes.size(), u'\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out[i] = b < 0x80 ? b : u'\xFFFD';
      }
      return out;
    }
    case CP_LATIN1: {
      std::u16string out(bytes.size(), u'\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
      return out;
    }
    default:
      return IconvDecode(bytes, page);
  }
}

std::string UnicodeToCodePage(std::u16string_view text, int codePage) {
  const CodePageInfo& page = PageOrRaise(codePage);
  switch (page.codePage) {
    case CP_UTF8:
      return Utf16ToUtf8(text);
    case CP_UTF16LE:
    case CP_UTF16BE: {
      std::string out(text.size() * 2, '\0');
      bool le = page.codePage == CP_UTF16LE;
      for (std::size_t i = 0; i < text.size(); ++i) {
        char lo = static_cast<char>(text[i] & 0xFF), hi = static_cast<char>(text[i] >> 8);
        out[2 * i] = le ? lo : hi;
        out[2 * i + 1] = le ? hi : lo;
      }
      return out;
    }
    case CP_ASCII:
    case CP_LATIN1: {
      char32_t limit = page.codePage == CP_ASCII ? 0x80 : 0x100;
      std::string out;
      out.reserve(text.size());
      const char16_t* s = text.data();
      const char16_t* end = s + text.size();
      while (s < end) {
        char32_t cp;
        s += DecodeUtf16(s, end, cp);
        out.push_back(cp < limit ? static_cast<char>(cp) : '?');
      }
      return out;
    }
    default:
      return IconvEncode(text, page);
  }
}

std::string ConvertCodePage(std::string_view bytes, int fromCodePage, int toCodePage) {
  int from = ResolveCodePage(fromCodePage), to = ResolveCodePage(toCodePage);
  PageOrRaise(to);
  if (from == to && from == CP_UTF8) return SanitizeUtf8(bytes);
  return UnicodeToCodePage(CodePageToUnicode(bytes, from), to);
}

std::u16string AnsiToUnicode(std::string_view text) { return CodePageToUnicode(text, DefaultCodePage()); }

std::string UnicodeToAnsi(std::u16string_view text) { return UnicodeToCodePage(text, DefaultCodePage()); }

// ---- the classic helpers ---------------------------------------------------

std::size_t UnicodeToUtf8(char* Dest, std::size_t MaxDestBytes, const char16_t* Source, std::size_t SourceChars) {
  if (!Source) SourceChars = 0;
  const char16_t* s = Source;
  const char16_t* end = Source + SourceChars;
  if (!Dest) {
    std::size_t need = 0;
    while (s < end) {
      char32_t cp;
      s += DecodeUtf16(s, end, cp);
      need += Utf8Length(cp);
    }
    return need + 1;
  }
  if (MaxDestBytes == 0) return 0;
  std::size_t room = MaxDestBytes - 1;  // keep one byte for the terminator
  if (room / 3 >= SourceChars) {       // everything fits: the bulk path
    char* e = ConvertUtf16ToUtf8(s, end, Dest);
    *e = '\0';
    return static_cast<std::size_t>(e - Dest) + 1;
  }
  char* d = Dest;
  while (s < end) {
    char32_t cp;
    std::size_t used = DecodeUtf16(s, end, cp);
    if (Utf8Length(cp) > room) break;
    char* e = EncodeUtf8(cp, d);
    room -= static_cast<std::size_t>(e - d);
    d = e;
    s += used;
  }
  *d = '\0';
  return static_cast<std::size_t>(d - Dest) + 1;
}

std::size_t Utf8ToUnicode(char16_t* Dest, std::size_t MaxDestChars, const char* Source, std::size_t SourceBytes) {
  if (!Source) SourceBytes = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(Source);
  const auto* end = p + SourceBytes;
  if (!Dest) {
    std::size_t need = 0;
    while (p < end) {
      char32_t cp;
      p += DecodeUtf8(p, end, cp);
      need += cp != kBad && cp >= 0x10000 ? 2 : 1;
    }
    return need + 1;
  }
  if (MaxDestChars == 0) return 0;
  std::size_t room = MaxDestChars - 1;
  if (room >= SourceBytes) {  // everything fits: the bulk path
    char16_t* e = ConvertUtf8ToUtf16(p, end, Dest);
    *e = u'\0';
    return static_cast<std::size_t>(e - Dest) + 1;
  }
  char16_t* d = Dest;
  while (p < end) {
    char32_t cp;
    std::size_t used = DecodeUtf8(p, end, cp);
    if (cp == kBad) cp = 0xFFFD;
    std::size_t units = cp >= 0x10000 ? 2 : 1;
    if (units > room) break;
    d = EncodeUtf16(cp, d);
    room -= units;
    p += used;
  }
  *d = u'\0';
  return static_cast<std::size_t>(d - Dest) + 1;
}

std::string Utf8Encode(std::u16string_view text) { return Utf16ToUtf8(text); }

std::u16string Utf8Decode(std::string_view text) { return Utf8ToUtf16(text); }

std::string AnsiToUtf8(std::string_view text) {
  int cp = DefaultCodePage();
  if (cp == CP_UTF8) return SanitizeUtf8(text);
  return Utf16ToUtf8(CodePageToUnicode(text, cp));
}

std::string Utf8ToAnsi(std::string_view text) {
  int cp = DefaultCodePage();
  if (cp == CP_UTF8) return SanitizeUtf8(text);
  return UnicodeToCodePage(Utf8ToUtf16(text), cp);
}

char16_t* StrLCopyW(char16_t* Dest, const char16_t* Source, std::size_t MaxChars) {
  if (!Dest) return Dest;
  std::size_t i = 0;
  if (Source)
    for (; i < MaxChars && Source[i] != u'\0'; ++i) Dest[i] = Source[i];
  Dest[i] = u'\0';
  return Dest;
}

std::size_t StrLenW(const char16_t* Text) noexcept {
  if (!Text) return 0;
  std::size_t n = 0;
  while (Text[n] != u'\0') ++n;
  return n;
}

std::size_t StrTrim(char* Text, std::ptrdiff_t Len) noexcept {
  if (!Text) return 0;
  std::size_t n = Len < 0 ? std::strlen(Text) : static_cast<std::size_t>(Len);
  while (n > 0 && (Text[n - 1] == ' ' || Text[n - 1] == '\0')) Text[--n] = '\0';
  return n;
}

std::size_t StrTrimW(char16_t* Text, std::ptrdiff_t Len) noexcept {
  if (!Text) return 0;
  std::size_t n = Len < 0 ? StrLenW(Text) : static_cast<std::size_t>(Len);
  while (n > 0 && (Text[n - 1] == u' ' || Text[n - 1] == u'\0')) Text[--n] = u'\0';
  return n;
}

}  // namespace lumo
