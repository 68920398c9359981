#include <lumokit/mysql/wire/MySqlSha1.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cmath>
#include <memory>
#include <string>

#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

struct TMdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

std::string WithoutBlanks(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t') s += c;
  return s;
}

// The random generator of the pre-4.1 scramble.
class TRand323 {
 public:
  TRand323(std::uint64_t seed1, std::uint64_t seed2) : FSeed1(seed1 % Max), FSeed2(seed2 % Max) {}
  double Next() {
    FSeed1 = (FSeed1 * 3 + FSeed2) % Max;
    FSeed2 = (FSeed1 + FSeed2 + 33) % Max;
    return static_cast<double>(FSeed1) / static_cast<double>(Max);
  }

 private:
  static constexpr std::uint64_t Max = 0x3FFFFFFF;
  std::uint64_t FSeed1;
  std::uint64_t FSeed2;
};

template <std::size_t N>
std::array<std::uint8_t, N> Digest(const EVP_MD* md, const char* name, std::string_view part1,
                                   std::string_view part2) {
  std::array<std::uint8_t, N> digest{};
  std::unique_ptr<EVP_MD_CTX, TMdCtxDeleter> ctx(EVP_MD_CTX_new());
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), part1.data(), part1.size()) != 1 ||
      EVP_DigestUpdate(ctx.get(), part2.data(), part2.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1 || len != N)
    throw Exception(std::string(name) + " is not available");
  return digest;
}

template <std::size_t N>
void Wipe(std::array<std::uint8_t, N>& d) noexcept {
  OPENSSL_cleanse(d.data(), N);
}

}  // namespace

TSha1Digest Sha1(std::string_view part1, std::string_view part2) {
  return Digest<20>(EVP_sha1(), "SHA-1", part1, part2);
}

TSha256Digest Sha256(std::string_view part1, std::string_view part2) {
  return Digest<32>(EVP_sha256(), "SHA-256", part1, part2);
}

TSha1Digest Scramble41(std::string_view password, const std::uint8_t* scramble20) {
  TSha1Digest stage1 = Sha1(password);
  TSha1Digest stage2 = Sha1(DigestView(stage1));
  TSha1Digest mix =
      Sha1(std::string_view(reinterpret_cast<const char*>(scramble20), Scramble41Length), DigestView(stage2));
  for (std::size_t i = 0; i < stage1.size(); ++i) mix[i] ^= stage1[i];
  Wipe(stage1);
  Wipe(stage2);
  return mix;
}

std::array<std::uint32_t, 2> HashPassword323(std::string_view text) {
  // Unsigned 32-bit arithmetic: the low 31 bits that are kept do not depend
  // on the width of the intermediate values.
  std::uint32_t nr = 1345345333u, add = 7, nr2 = 0x12345671u;
  for (char ch : text) {
    if (ch == ' ' || ch == '\t') continue;
    std::uint32_t b = static_cast<std::uint8_t>(ch);
    nr ^= (((nr & 63) + add) * b) + (nr << 8);
    nr2 += (nr2 << 8) ^ nr;
    add += b;
  }
  return {nr & 0x7FFFFFFFu, nr2 & 0x7FFFFFFFu};
}

std::array<std::uint8_t, ScrambleLength> Scramble323(std::string_view password, const std::uint8_t* scramble8) {
  auto hp = HashPassword323(password);
  auto hm = HashPassword323(std::string_view(reinterpret_cast<const char*>(scramble8), ScrambleLength));
  TRand323 rnd(hp[0] ^ hm[0], hp[1] ^ hm[1]);
  std::array<std::uint8_t, ScrambleLength> out{};
  for (auto& b : out) b = static_cast<std::uint8_t>(std::floor(rnd.Next() * 31) + 64);
  auto extra = static_cast<std::uint8_t>(std::floor(rnd.Next() * 31));
  for (auto& b : out) b ^= extra;
  return out;
}

TSha1Digest Answer410(std::string_view password, const std::uint8_t* reply24) {
  std::string plain = WithoutBlanks(password);
  TSha1Digest h1 = Sha1(plain);
  OPENSSL_cleanse(plain.data(), plain.size());
  TSha1Digest h2 = Sha1(std::string_view(reinterpret_cast<const char*>(reply24), 4), DigestView(h1));
  TSha1Digest answer{};
  for (std::size_t i = 0; i < answer.size(); ++i)
    answer[i] = static_cast<std::uint8_t>(reply24[4 + i] ^ h2[i] ^ h1[i]);
  Wipe(h1);
  Wipe(h2);
  return answer;
}

}  // namespace lumo
