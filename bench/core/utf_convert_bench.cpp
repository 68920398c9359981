// UTF-8 <-> UTF-16 conversion speed of the hand-written path against iconv
// on the same 64 MB of mixed text (ASCII words, accented Latin, Cyrillic,
// CJK and emoji). Prints MB of UTF-8 text per second and the ratio; run by
// hand.
#include <iconv.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <lumokit/core/CodePages.h>

namespace {

std::string MakeText(std::size_t bytes) {
  const char* const pieces[] = {"select ", "from ", "where ", "value ", "id = 42, ", "name ", "\n",
                                "caf\xC3\xA9 ", "na\xC3\xAFve ", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ",
                                "\xE4\xB8\xAD\xE6\x96\x87 ", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ",
                                "\xF0\x9F\x98\x80 ", "ordinary ascii text, ", "more ascii here; "};
  std::mt19937 rng(42);
  std::string s;
  s.reserve(bytes + 64);
  while (s.size() < bytes) s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
  // cut back to a character boundary
  while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

std::size_t IconvConvert(const char* to, const char* from, const char* in, std::size_t inLen, char* out,
                         std::size_t outCap) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::perror("iconv_open");
    return 0;
  }
  char* ip = const_cast<char*>(in);
  char* op = out;
  std::size_t left = inLen, room = outCap;
  if (iconv(cd, &ip, &left, &op, &room) == static_cast<std::size_t>(-1)) std::perror("iconv");
  iconv_close(cd);
  return outCap - room;
}

void Report(const char* what, double mb, double ours, double theirs, bool same) {
  std::printf("%-34s ours %7.1f MB/s, iconv %7.1f MB/s, ratio %.2f (outputs %s)\n", what, mb / ours, mb / theirs,
              theirs / ours, same ? "equal" : "DIFFER");
}

}  // namespace

int main() {
  const std::string utf8 = MakeText(64u << 20);
  const double mb = static_cast<double>(utf8.size()) / (1 << 20);
  std::printf("text: %.1f MB of UTF-8 (MB/s below count UTF-8 bytes)\n", mb);
  bool ok = true;

  // 1. Each call returns a new string, as the library's callers get it.
  std::u16string ours16;
  double a1 = BestSeconds([&] { ours16 = lumo::Utf8ToUtf16(utf8); });
  std::u16string theirs16;
  double a2 = BestSeconds([&] {
    std::u16string out(utf8.size(), u'\0');
    std::size_t n = IconvConvert("UTF-16LE", "UTF-8", utf8.data(), utf8.size(), reinterpret_cast<char*>(out.data()),
                                 out.size() * 2);
    out.resize(n / 2);
    theirs16 = std::move(out);
  });
  Report("UTF-8 -> UTF-16, new string:", mb, a1, a2, ours16 == theirs16);
  ok = ok && ours16 == theirs16;

  std::string ours8;
  double b1 = BestSeconds([&] { ours8 = lumo::Utf16ToUtf8(ours16); });
  std::string theirs8;
  double b2 = BestSeconds([&] {
    std::string out(ours16.size() * 3, '\0');
    out.resize(IconvConvert("UTF-8", "UTF-16LE", reinterpret_cast<const char*>(ours16.data()), ours16.size() * 2,
                            out.data(), out.size()));
    theirs8 = std::move(out);
  });
  Report("UTF-16 -> UTF-8, new string:", mb, b1, b2, ours8 == theirs8 && ours8 == utf8);
  ok = ok && ours8 == theirs8 && ours8 == utf8;

  // 2. Into buffers allocated (and touched) once, so only the conversion counts.
  std::u16string buf16(utf8.size() + 1, u'x');
  std::u16string ref16(utf8.size() + 1, u'y');
  std::size_t n1 = 0, n2 = 0;
  double c1 = BestSeconds([&] { n1 = lumo::Utf8ToUnicode(buf16.data(), buf16.size(), utf8.data(), utf8.size()) - 1; });
  double c2 = BestSeconds([&] {
    n2 = IconvConvert("UTF-16LE", "UTF-8", utf8.data(), utf8.size(), reinterpret_cast<char*>(ref16.data()),
                      ref16.size() * 2) / 2;
  });
  bool same = n1 == n2 && buf16.compare(0, n1, ref16, 0, n2) == 0;
  Report("UTF-8 -> UTF-16, reused buffer:", mb, c1, c2, same);
  ok = ok && same;

  std::string buf8(ours16.size() * 3 + 1, 'x');
  std::string ref8(ours16.size() * 3 + 1, 'y');
  double d1 = BestSeconds([&] { n1 = lumo::UnicodeToUtf8(buf8.data(), buf8.size(), ours16.data(), ours16.size()) - 1; });
  double d2 = BestSeconds([&] {
    n2 = IconvConvert("UTF-8", "UTF-16LE", reinterpret_cast<const char*>(ours16.data()), ours16.size() * 2,
                      ref8.data(), ref8.size());
  });
  same = n1 == n2 && buf8.compare(0, n1, ref8, 0, n2) == 0;
  Report("UTF-16 -> UTF-8, reused buffer:", mb, d1, d2, same);
  ok = ok && same;
  return ok ? 0 : 1;
}
