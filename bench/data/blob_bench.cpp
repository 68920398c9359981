// Compressed large objects against raw zlib: compresses and decompresses
// about 64 MB of mixed data (text-like runs, random bytes, repeated bytes)
// through TCompressedBlob and through compress2/uncompress, and prints the
// best of several runs with the time ratio blob / zlib (close to 1.0 means
// the blob adds no work of its own around zlib).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <lumokit/data/KxBlob.h>

using namespace lumo;

namespace {

std::string MixedData(std::size_t size) {
  static const char* const kWords[] = {"select ", "from ", "where ", "lumo ", "value ", "settings ", "id = ", "\n"};
  std::mt19937_64 rng(42);
  std::string s;
  s.reserve(size);
  while (s.size() < size) {
    switch (rng() % 4) {
      case 0:
      case 1:  // text-like
        for (int i = 0; i < 2000; ++i) s += kWords[rng() % 8];
        break;
      case 2:  // incompressible
        for (int i = 0; i < 4000; ++i) s.push_back(static_cast<char>(rng()));
        break;
      default:  // runs
        s.append(8000, static_cast<char>('a' + rng() % 26));
    }
  }
  s.resize(size);
  return s;
}

template <class F>
double BestSeconds(int runs, F&& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main() {
  constexpr std::size_t kSize = 64u << 20;
  constexpr int kRuns = 3;
  const std::string data = MixedData(kSize);
  std::vector<char> out(kSize);
  std::memset(out.data(), 0, out.size());

  // Raw zlib, with the output buffer allocated per run as the blob does.
  std::vector<Bytef> packed;
  const double zc = BestSeconds(kRuns, [&] {
    uLongf len = compressBound(kSize);
    auto* dest = static_cast<Bytef*>(std::malloc(len));
    if (compress2(dest, &len, reinterpret_cast<const Bytef*>(data.data()), kSize, Z_DEFAULT_COMPRESSION) != Z_OK)
      std::abort();
    packed.assign(dest, dest + len);
    std::free(dest);
  });
  const double zu = BestSeconds(kRuns, [&] {
    uLongf len = kSize;
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &len, packed.data(), packed.size()) != Z_OK || len != kSize)
      std::abort();
  });

  TSharedRef<TCompressedBlob> blob;
  const double bc = BestSeconds(kRuns, [&] {
    blob = NewShared<TCompressedBlob>();
    blob->Write(0, kSize, data.data());
  });
  if (!blob->Compressed()) std::abort();
  const double bu = BestSeconds(kRuns, [&] {
    if (blob->Read(0, 0, out.data(), kSize) != static_cast<std::int64_t>(kSize)) std::abort();
  });
  if (std::memcmp(out.data(), data.data(), kSize) != 0) std::abort();

  std::printf("data: %zu bytes, zlib stream %zu bytes, blob stored %lld bytes\n", kSize, packed.size(),
              static_cast<long long>(blob->CompressedSize()));
  std::printf("compress:   zlib %.3f s  blob %.3f s  ratio %.3f\n", zc, bc, bc / zc);
  std::printf("uncompress: zlib %.3f s  blob %.3f s  ratio %.3f\n", zu, bu, bu / zu);
  return 0;
}
