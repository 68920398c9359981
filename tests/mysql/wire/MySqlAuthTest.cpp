// The authentication plugins without a server: the Ed25519 construction
// against OpenSSL's own Ed25519, RSA keys that cannot be used, the SHA-256
// scramble from its definition, the nonce lengths each plugin takes and the
// clear-password switch.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <functional>
#include <string>
#include <vector>

#include <lumokit/mysql/wire/MySqlAuth.h>
#include <lumokit/mysql/wire/MySqlErrors.h>
#include <lumokit/mysql/wire/MySqlSha1.h>
#include "support/ErrorCode.h"
#include "support/RsaTestKey.h"

namespace lumo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string S(const std::uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
template <std::size_t N>
std::string S(const std::array<std::uint8_t, N>& a) {
  return S(a.data(), N);
}

using test::MySqlErrorOf;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

bool OpenSslVerifies(const std::array<std::uint8_t, 32>& publicKey, const Bytes& message,
                     const std::array<std::uint8_t, 64>& signature) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  return key && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

TEST(MySqlAuth, Ed25519IsStandardEd25519OverThePassword) {
  const Bytes nonce = B("0123456789abcdef0123456789ABCDEF");
  // A 32-byte password is exactly an Ed25519 seed: keys and signatures are
  // OpenSSL's, byte for byte.
  for (std::string seed : {std::string(32, '\0'), std::string("abcdefghijklmnopqrstuvwxyz012345"),
                           std::string(32, '\xA7')}) {
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                          reinterpret_cast<const unsigned char*>(seed.data()), seed.size()));
    ASSERT_TRUE(key);
    std::array<std::uint8_t, 32> pub{};
    std::size_t len = pub.size();
    ASSERT_EQ(EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len), 1);
    EXPECT_EQ(S(Ed25519PublicKey(seed)), S(pub));
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::array<std::uint8_t, 64> sig{};
    len = sig.size();
    ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &len, nonce.data(), nonce.size()), 1);
    EXPECT_EQ(S(Ed25519Sign(seed, nonce)), S(sig));
  }
  // Passwords of any other length: signatures OpenSSL verifies under the
  // derived key, and only for the message signed.
  for (std::string pw : {std::string(), std::string("ed-pass"), std::string(100, 'x') + "\xD0\x96"}) {
    const auto pub = Ed25519PublicKey(pw);
    const auto sig = Ed25519Sign(pw, nonce);
    EXPECT_TRUE(OpenSslVerifies(pub, nonce, sig)) << pw.size();
    Bytes other = nonce;
    other[5] ^= 1;
    EXPECT_FALSE(OpenSslVerifies(pub, other, sig));
  }
  EXPECT_NE(S(Ed25519PublicKey("ed-pass")), S(Ed25519PublicKey("ed-pasS")));
}

TEST(MySqlAuth, RsaKeysThatCannotBeUsed) {
  // The round trip with a good key is seen on the fake server; here the
  // keys that cannot be used.
  const Bytes nonce = B("ABCDEFGHIJKLMNOPQRST");
  const std::string pw = "password";
  std::string msg;
  EXPECT_EQ(MySqlErrorOf([&] { RsaEncryptPassword(pw, nonce, "-----BEGIN PUBLIC KEY-----\nAAAA\n"); }, &msg),
            cr::AUTH_PLUGIN_ERR);
  EXPECT_EQ(msg, "Authentication plugin 'caching_sha2_password' reported error: the server's public key is not an "
                 "RSA public key in PEM form");
  Pkey ec(EVP_EC_gen("P-256"));
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  ASSERT_EQ(PEM_write_bio_PUBKEY(bio.get(), ec.get()), 1);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  const std::string ecPem(data, static_cast<std::size_t>(n));
  EXPECT_EQ(MySqlErrorOf([&] { RsaEncryptPassword(pw, nonce, ecPem); }), cr::AUTH_PLUGIN_ERR);
  test::RsaTestKey small(1024);  // OAEP takes at most 128 - 42 bytes
  EXPECT_EQ(MySqlErrorOf([&] { RsaEncryptPassword(std::string(86, 'p'), nonce, small.PublicPem()); }, &msg),
            cr::AUTH_PLUGIN_ERR);
  EXPECT_NE(msg.find("the password is too long for the server's RSA key"), std::string::npos);
  EXPECT_EQ(MySqlErrorOf([&] { RsaEncryptPassword(std::string(85, 'p'), nonce, small.PublicPem()); }), 0);
}

TEST(MySqlAuth, PluginTableAndNonceLengths) {
  TMySqlAuthContext ctx;
  ctx.Password = "s3cr3t";
  const Bytes nonce20 = B("ABCDEFGHIJKLMNOPQRST");
  Bytes nonce21 = nonce20;
  nonce21.push_back(0);

  // The SHA-256 scramble from its definition.
  std::uint8_t h1[32], h2[32], h3[32];
  SHA256(reinterpret_cast<const unsigned char*>("s3cr3t"), 6, h1);
  SHA256(h1, 32, h2);
  Bytes mix(h2, h2 + 32);
  mix.insert(mix.end(), nonce20.begin(), nonce20.end());
  SHA256(mix.data(), mix.size(), h3);
  for (int i = 0; i < 32; ++i) h3[i] ^= h1[i];
  auto sha2 = CreateAuthPlugin(authplugin::CachingSha2Password, ctx);
  EXPECT_EQ(sha2->Start(nonce21).view(), S(h3, 32));

  auto native = CreateAuthPlugin(authplugin::NativePassword, ctx);
  EXPECT_EQ(native->Start(nonce21).view(), S(Scramble41("s3cr3t", nonce20.data())));
  auto ed = CreateAuthPlugin(authplugin::Ed25519, ctx);
  // The pre-4.1 scramble: refused over an insecure transport unless allowed,
  // allowed over a secure one unless refused.
  EXPECT_EQ(MySqlErrorOf([&] { CreateAuthPlugin(authplugin::OldPassword, ctx); }), cr::SECURE_AUTH);
  TMySqlAuthContext secure = ctx;
  secure.SecureTransport = true;
  EXPECT_NO_THROW(CreateAuthPlugin(authplugin::OldPassword, secure));
  secure.Settings.SecureAuth = true;
  EXPECT_EQ(MySqlErrorOf([&] { CreateAuthPlugin(authplugin::OldPassword, secure); }), cr::SECURE_AUTH);
  ctx.Settings.SecureAuth = false;
  auto old = CreateAuthPlugin(authplugin::OldPassword, ctx);
  const auto t323 = Scramble323("s3cr3t", nonce20.data());
  EXPECT_EQ(old->Start(Bytes(nonce20.begin(), nonce20.begin() + 8)).view(), S(t323) + '\0');
  EXPECT_EQ(old->Start(nonce21).view(), S(t323) + '\0');

  // Wrong lengths are malformed, never cut or padded.
  Bytes notZero = nonce20;
  notZero.push_back('x');
  for (const Bytes& bad : {Bytes(nonce20.begin(), nonce20.end() - 1), notZero, Bytes()}) {
    EXPECT_EQ(MySqlErrorOf([&] { native->Start(bad); }), cr::MALFORMED_PACKET) << bad.size();
    EXPECT_EQ(MySqlErrorOf([&] { sha2->Start(bad); }), cr::MALFORMED_PACKET) << bad.size();
  }
  EXPECT_EQ(MySqlErrorOf([&] { ed->Start(nonce20); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(MySqlErrorOf([&] { ed->Start(Bytes(31, 7)); }), cr::MALFORMED_PACKET);
  EXPECT_EQ(MySqlErrorOf([&] { old->Start(Bytes(12, 7)); }), cr::MALFORMED_PACKET);

  // Empty passwords: empty tokens for the SHA scrambles.
  TMySqlAuthContext empty;
  EXPECT_TRUE(CreateAuthPlugin(authplugin::NativePassword, empty)->Start(nonce20).empty());
  EXPECT_TRUE(CreateAuthPlugin(authplugin::CachingSha2Password, empty)->Start(nonce20).empty());

  // The clear password: only when enabled, and then only over a secure
  // transport (the insecure refusal is seen on the fake server).
  std::string msg;
  EXPECT_EQ(MySqlErrorOf([&] { CreateAuthPlugin(authplugin::ClearPassword, ctx); }, &msg), cr::AUTH_PLUGIN_CANNOT_LOAD);
  EXPECT_EQ(msg.rfind("Authentication plugin 'mysql_clear_password' cannot be loaded: plugin not enabled", 0), 0u);
  ctx.Settings.EnableCleartextPlugin = true;
  ctx.SecureTransport = true;
  EXPECT_EQ(CreateAuthPlugin(authplugin::ClearPassword, ctx)->Start({}).view(), std::string("s3cr3t", 7));
}

}  // namespace
}  // namespace lumo
