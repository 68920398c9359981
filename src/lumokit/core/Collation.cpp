#include <lumokit/core/Collation.h>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/ustring.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

std::mutex gLocaleLock;
std::string gLocale = "en_US";        // guarded by gLocaleLock
std::atomic<unsigned> gGeneration{1};  // bumped on every locale change

struct ThreadCollators {
  unsigned generation = 0;
  std::string locale;
  std::unique_ptr<icu::Collator> sensitive;
  std::unique_ptr<icu::Collator> insensitive;
};

std::unique_ptr<icu::Collator> MakeCollator(const std::string& locale, UColAttributeValue strength) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale(locale.c_str()), status));
  if (U_FAILURE(status) || !c)
    throw Exception(Format("Cannot create a collator for locale \"%s\": %s", {locale, u_errorName(status)}));
  c->setAttribute(UCOL_STRENGTH, strength, status);
  c->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);
  c->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
  if (U_FAILURE(status))
    throw Exception(Format("Cannot configure the collator for locale \"%s\": %s", {locale, u_errorName(status)}));
  return c;
}

ThreadCollators& Current() {
  thread_local ThreadCollators tc;
  unsigned gen = gGeneration.load(std::memory_order_acquire);
  if (tc.generation != gen) {
    std::string locale;
    {
      std::lock_guard<std::mutex> lock(gLocaleLock);
      locale = gLocale;
      gen = gGeneration.load(std::memory_order_acquire);
    }
    tc.sensitive = MakeCollator(locale, UCOL_TERTIARY);
    tc.insensitive = MakeCollator(locale, UCOL_SECONDARY);
    tc.locale = std::move(locale);
    tc.generation = gen;
  }
  return tc;
}

int32_t CheckedLength(std::size_t n) {
  if (n > static_cast<std::size_t>(INT32_MAX)) throw EArgumentError("Text too long for comparison");
  return static_cast<int32_t>(n);
}

int Sign(UCollationResult r) noexcept { return r < 0 ? -1 : r > 0 ? 1 : 0; }

int CompareWide(std::u16string_view a, std::u16string_view b, bool ignoreCase) {
  ThreadCollators& tc = Current();
  icu::Collator& c = ignoreCase ? *tc.insensitive : *tc.sensitive;
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = c.compare(a.data(), CheckedLength(a.size()), b.data(), CheckedLength(b.size()), status);
  if (U_FAILURE(status)) throw Exception(Format("Text comparison failed: %s", {u_errorName(status)}));
  return Sign(r);
}

int CompareAnsi(std::string_view a, std::string_view b, bool ignoreCase) {
  int cp = DefaultCodePage();
  if (cp != CP_UTF8) return CompareWide(CodePageToUnicode(a, cp), CodePageToUnicode(b, cp), ignoreCase);
  ThreadCollators& tc = Current();
  icu::Collator& c = ignoreCase ? *tc.insensitive : *tc.sensitive;
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = c.compareUTF8(icu::StringPiece(a.data(), CheckedLength(a.size())),
                                     icu::StringPiece(b.data(), CheckedLength(b.size())), status);
  if (U_FAILURE(status)) throw Exception(Format("Text comparison failed: %s", {u_errorName(status)}));
  return Sign(r);
}

using CaseMapFn = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

std::u16string MapCase(std::u16string_view s, bool upper) {
  if (s.empty()) return {};
  std::string locale = Current().locale;
  CaseMapFn fn = upper ? u_strToUpper : u_strToLower;
  int32_t len = CheckedLength(s.size());
  std::u16string out(s.size() + 8, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = fn(out.data(), CheckedLength(out.size()), s.data(), len, locale.c_str(), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && attempt == 0) {
      out.assign(static_cast<std::size_t>(n), u'\0');
      continue;
    }
    if (U_FAILURE(status)) throw Exception(Format("Case mapping failed: %s", {u_errorName(status)}));
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  throw Exception("Case mapping failed");
}

// Turkish and Azeri map 'i' and 'I' differently, so ASCII cannot take the
// shortcut there.
bool AsciiCaseIsPlain(const std::string& locale) {
  return locale.compare(0, 2, "tr") != 0 && locale.compare(0, 2, "az") != 0;
}

std::string MapCaseAnsi(std::string_view s, bool upper) {
  bool ascii = true;
  for (char ch : s)
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii && AsciiCaseIsPlain(Current().locale)) return upper ? AsciiUpperCase(s) : AsciiLowerCase(s);
  int cp = DefaultCodePage();
  return UnicodeToCodePage(MapCase(CodePageToUnicode(s, cp), upper), cp);
}

}  // namespace

std::string CollationLocale() {
  std::lock_guard<std::mutex> lock(gLocaleLock);
  return gLocale;
}

void SetCollationLocale(const std::string& localeId) {
  std::lock_guard<std::mutex> lock(gLocaleLock);
  gLocale = localeId;
  gGeneration.fetch_add(1, std::memory_order_acq_rel);
}

int AnsiStrCompWS(std::u16string_view S1, std::u16string_view S2) { return CompareWide(S1, S2, false); }

int AnsiStrICompWS(std::u16string_view S1, std::u16string_view S2) { return CompareWide(S1, S2, true); }

int AnsiStrLCompWS(std::u16string_view S1, std::u16string_view S2, std::size_t MaxLen) {
  return CompareWide(S1.substr(0, MaxLen), S2.substr(0, MaxLen), false);
}

int AnsiStrLICompWS(std::u16string_view S1, std::u16string_view S2, std::size_t MaxLen) {
  return CompareWide(S1.substr(0, MaxLen), S2.substr(0, MaxLen), true);
}

int AnsiCompareStr(std::string_view S1, std::string_view S2) { return CompareAnsi(S1, S2, false); }

int AnsiCompareText(std::string_view S1, std::string_view S2) { return CompareAnsi(S1, S2, true); }

bool AnsiSameStr(std::string_view S1, std::string_view S2) { return CompareAnsi(S1, S2, false) == 0; }

bool AnsiSameText(std::string_view S1, std::string_view S2) { return CompareAnsi(S1, S2, true) == 0; }

bool AnsiSameText(std::u16string_view S1, std::u16string_view S2) { return CompareWide(S1, S2, true) == 0; }

std::string AnsiUpperCase(std::string_view S) { return MapCaseAnsi(S, true); }

std::string AnsiLowerCase(std::string_view S) { return MapCaseAnsi(S, false); }

std::u16string AnsiUpperCase(std::u16string_view S) { return MapCase(S, true); }

std::u16string AnsiLowerCase(std::u16string_view S) { return MapCase(S, false); }

}  // namespace lumo
