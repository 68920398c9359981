#include <lumokit/mysql/wire/MySqlAuth.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <lumokit/core/SysUtils.h>
#include <lumokit/mysql/wire/MySqlErrors.h>
#include <lumokit/mysql/wire/MySqlPacket.h>
#include <lumokit/mysql/wire/MySqlSha1.h>

namespace lumo {

// ---------------------------------------------------------------------------
// TSecureBytes

TSecureBytes::TSecureBytes(const void* data, std::size_t size) : FData(size) {
  if (size) std::memcpy(FData.data(), data, size);
}

TSecureBytes& TSecureBytes::operator=(TSecureBytes&& other) noexcept {
  if (this != &other) {
    Wipe();
    FData = std::move(other.FData);
    other.FData.clear();
  }
  return *this;
}

void TSecureBytes::Wipe() noexcept {
  if (!FData.empty()) OPENSSL_cleanse(FData.data(), FData.size());
}

namespace {

template <std::size_t N>
void Wipe(std::array<std::uint8_t, N>& a) noexcept {
  OPENSSL_cleanse(a.data(), N);
}

// The nonce without its closing zero byte when it has exactly one more
// byte than `length`; empty when it has neither length.
std::span<const std::uint8_t> NonceOf(std::span<const std::uint8_t> data, std::size_t length) noexcept {
  if (data.size() == length + 1 && data[length] == 0) return data.first(length);
  if (data.size() == length) return data;
  return {};
}

TSecureBytes PasswordWithZero(std::string_view password) {
  TSecureBytes out(password.size() + 1);
  if (!password.empty()) std::memcpy(out.data(), password.data(), password.size());
  out[password.size()] = 0;
  return out;
}

[[noreturn]] void RaisePluginError(std::string_view plugin, std::string_view reason) {
  throw AuthPluginError(cr::AUTH_PLUGIN_ERR, plugin, reason);
}

// A plugin over the login's password.
class TPasswordPlugin : public TMySqlAuthPlugin {
 protected:
  explicit TPasswordPlugin(const TMySqlAuthContext& c) : FContext(c) {}
  const TMySqlAuthContext& FContext;
};

// A plugin whose nonce is the 20-byte scramble.
class TScramblePlugin : public TPasswordPlugin {
 public:
  bool TakesNonce(std::span<const std::uint8_t> nonce) const noexcept override {
    return NonceOf(nonce, Scramble41Length).size() == Scramble41Length;
  }

 protected:
  using TPasswordPlugin::TPasswordPlugin;
};

// ---- mysql_native_password

class TNativePassword : public TScramblePlugin {
 public:
  explicit TNativePassword(const TMySqlAuthContext& c) : TScramblePlugin(c) {}
  std::string_view Name() const noexcept override { return authplugin::NativePassword; }
  TSecureBytes Start(std::span<const std::uint8_t> nonce) override {
    if (!TakesNonce(nonce)) RaiseMalformedPacket();
    if (FContext.Password.empty()) return {};
    TSha1Digest token = Scramble41(FContext.Password, nonce.data());
    TSecureBytes out(token.data(), token.size());
    Wipe(token);
    return out;
  }
};

// ---- mysql_old_password

class TOldPassword : public TPasswordPlugin {
 public:
  explicit TOldPassword(const TMySqlAuthContext& c) : TPasswordPlugin(c) {}
  std::string_view Name() const noexcept override { return authplugin::OldPassword; }
  bool TakesNonce(std::span<const std::uint8_t> nonce) const noexcept override {
    return !NonceOf(nonce, ScrambleLength).empty() || !NonceOf(nonce, Scramble41Length).empty();
  }
  TSecureBytes Start(std::span<const std::uint8_t> nonce) override {
    if (!TakesNonce(nonce)) RaiseMalformedPacket();
    if (FContext.Password.empty()) return TSecureBytes(std::string_view("\0", 1));
    auto token = Scramble323(FContext.Password, nonce.data());
    TSecureBytes out(token.size() + 1);
    std::memcpy(out.data(), token.data(), token.size());
    out[token.size()] = 0;
    Wipe(token);
    return out;
  }
};

// ---- mysql_clear_password

class TClearPassword : public TPasswordPlugin {
 public:
  explicit TClearPassword(const TMySqlAuthContext& c) : TPasswordPlugin(c) {}
  std::string_view Name() const noexcept override { return authplugin::ClearPassword; }
  bool TakesNonce(std::span<const std::uint8_t>) const noexcept override { return true; }
  TSecureBytes Start(std::span<const std::uint8_t>) override { return PasswordWithZero(FContext.Password); }
};

// ---- caching_sha2_password

std::string ReadPublicKeyFile(const std::string& path) {
  // A PEM public key is a few hundred bytes; a far larger file is not one.
  constexpr std::streamsize MaxKeyFile = 64 * 1024;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno;
    RaisePluginError(authplugin::CachingSha2Password,
                     "cannot read the server's public key file '" + path + "': " + SysErrorMessage(err));
  }
  std::string text(static_cast<std::size_t>(MaxKeyFile) + 1, '\0');
  in.read(text.data(), MaxKeyFile + 1);
  if (in.bad())
    RaisePluginError(authplugin::CachingSha2Password, "cannot read the server's public key file '" + path + "'");
  if (in.gcount() > MaxKeyFile)
    RaisePluginError(authplugin::CachingSha2Password,
                     "the server's public key file '" + path + "' is too large to hold a key");
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

class TCachingSha2Password : public TScramblePlugin {
 public:
  explicit TCachingSha2Password(const TMySqlAuthContext& c) : TScramblePlugin(c) {}
  std::string_view Name() const noexcept override { return authplugin::CachingSha2Password; }
  TSecureBytes Start(std::span<const std::uint8_t> nonce) override {
    if (!TakesNonce(nonce)) RaiseMalformedPacket();
    std::memcpy(FNonce.data(), nonce.data(), FNonce.size());
    FState = sScrambleSent;
    if (FContext.Password.empty()) return {};
    auto token = CachingSha2Scramble(FContext.Password, FNonce.data());
    TSecureBytes out(token.data(), token.size());
    Wipe(token);
    return out;
  }
  std::optional<TSecureBytes> Continue(std::span<const std::uint8_t> data) override {
    constexpr std::uint8_t FastAuthOk = 3, FullAuth = 4;
    switch (FState) {
      case sScrambleSent:
        if (data.size() == 1 && data[0] == FastAuthOk) {
          FState = sDone;  // the OK packet follows
          return std::nullopt;
        }
        if (data.size() == 1 && data[0] == FullAuth) return FullAuthentication();
        break;
      case sKeyRequested: {
        FState = sDone;
        const std::string_view pem(reinterpret_cast<const char*>(data.data()), data.size());
        return RsaEncryptPassword(FContext.Password, FNonce, pem);
      }
      case sStart:
      case sDone:
        break;
    }
    RaiseMalformedPacket();
  }

 private:
  enum TState { sStart, sScrambleSent, sKeyRequested, sDone };

  std::optional<TSecureBytes> FullAuthentication() {
    FState = sDone;
    if (FContext.SecureTransport || FContext.Password.empty()) return PasswordWithZero(FContext.Password);
    if (!FContext.Settings.ServerPublicKeyFile.empty()) {
      std::string pem = ReadPublicKeyFile(FContext.Settings.ServerPublicKeyFile);
      return RsaEncryptPassword(FContext.Password, FNonce, pem);
    }
    if (FContext.Settings.GetServerPublicKey) {
      FState = sKeyRequested;
      return TSecureBytes(std::string_view("\x02", 1));  // the public-key request
    }
    RaisePluginError(Name(),
                     "Authentication requires secure connection. Connect over TLS or the local socket, name the "
                     "server's RSA public key file, or allow the key to be requested from the server");
  }

  std::array<std::uint8_t, Scramble41Length> FNonce{};
  TState FState = sStart;
};

// ---- client_ed25519

constexpr std::size_t Ed25519NonceLength = 32;

class TEd25519 : public TPasswordPlugin {
 public:
  explicit TEd25519(const TMySqlAuthContext& c) : TPasswordPlugin(c) {}
  std::string_view Name() const noexcept override { return authplugin::Ed25519; }
  bool TakesNonce(std::span<const std::uint8_t> nonce) const noexcept override {
    return NonceOf(nonce, Ed25519NonceLength).size() == Ed25519NonceLength;
  }
  TSecureBytes Start(std::span<const std::uint8_t> nonce) override {
    if (!TakesNonce(nonce)) RaiseMalformedPacket();
    auto signature = Ed25519Sign(FContext.Password, nonce.first(Ed25519NonceLength));
    TSecureBytes out(signature.data(), signature.size());
    Wipe(signature);
    return out;
  }
};

// ---- Ed25519 over libsodium's group operations

void RequireSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) RaisePluginError(authplugin::Ed25519, "the Ed25519 library could not be initialised");
}

using TSha512 = std::array<std::uint8_t, crypto_hash_sha512_BYTES>;

TSha512 Sha512(std::initializer_list<std::span<const std::uint8_t>> parts) {
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  for (auto part : parts) crypto_hash_sha512_update(&state, part.data(), part.size());
  TSha512 out{};
  crypto_hash_sha512_final(&state, out.data());
  OPENSSL_cleanse(&state, sizeof state);
  return out;
}

std::span<const std::uint8_t> Bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The secret scalar a (reduced modulo the group order) and the nonce seed
// of a password: SHA-512 of the password, its first half clamped.
struct TEd25519Secret {
  std::array<std::uint8_t, 32> Scalar{};
  std::array<std::uint8_t, 32> Prefix{};
  ~TEd25519Secret() {
    Wipe(Scalar);
    Wipe(Prefix);
  }
};

void DeriveSecret(std::string_view password, TEd25519Secret& secret) {
  TSha512 h = Sha512({Bytes(password)});
  h[0] &= 248;
  h[31] &= 63;
  h[31] |= 64;
  std::array<std::uint8_t, 64> wide{};
  std::memcpy(wide.data(), h.data(), 32);
  crypto_core_ed25519_scalar_reduce(secret.Scalar.data(), wide.data());
  std::memcpy(secret.Prefix.data(), h.data() + 32, 32);
  Wipe(wide);
  Wipe(h);
}

void ScalarBase(std::uint8_t* point, const std::uint8_t* scalar) {
  if (crypto_scalarmult_ed25519_base_noclamp(point, scalar) != 0)
    RaisePluginError(authplugin::Ed25519, "the signing scalar is zero");
}

}  // namespace

std::optional<TSecureBytes> TMySqlAuthPlugin::Continue(std::span<const std::uint8_t>) { RaiseMalformedPacket(); }

bool OldPasswordRefused(const TMySqlAuthContext& context) noexcept {
  return context.Settings.SecureAuth.value_or(!context.SecureTransport);
}

std::unique_ptr<TMySqlAuthPlugin> CreateAuthPlugin(std::string_view name, const TMySqlAuthContext& context) {
  if (name == authplugin::NativePassword) return std::make_unique<TNativePassword>(context);
  if (name == authplugin::CachingSha2Password) return std::make_unique<TCachingSha2Password>(context);
  if (name == authplugin::Ed25519) return std::make_unique<TEd25519>(context);
  if (name == authplugin::OldPassword) {
    if (OldPasswordRefused(context)) throw SecureAuthError();
    return std::make_unique<TOldPassword>(context);
  }
  if (name == authplugin::ClearPassword) {
    if (!context.Settings.EnableCleartextPlugin)
      throw AuthPluginError(cr::AUTH_PLUGIN_CANNOT_LOAD, name,
                            "plugin not enabled (it sends the password in clear; enable it with "
                            "MYSQL_ENABLE_CLEARTEXT_PLUGIN)");
    if (!context.SecureTransport)
      throw AuthPluginError(cr::AUTH_PLUGIN_CANNOT_LOAD, name,
                            "the password would travel in clear: it is sent only over TLS or the local socket");
    return std::make_unique<TClearPassword>(context);
  }
  throw AuthPluginError(cr::AUTH_PLUGIN_CANNOT_LOAD, name, "this client does not provide it");
}

std::array<std::uint8_t, 32> CachingSha2Scramble(std::string_view password, const std::uint8_t* nonce20) {
  TSha256Digest stage1 = Sha256(password);
  TSha256Digest stage2 = Sha256(DigestView(stage1));
  TSha256Digest mix =
      Sha256(DigestView(stage2), std::string_view(reinterpret_cast<const char*>(nonce20), Scramble41Length));
  for (std::size_t i = 0; i < mix.size(); ++i) mix[i] ^= stage1[i];
  Wipe(stage1);
  Wipe(stage2);
  return mix;
}

TSecureBytes RsaEncryptPassword(std::string_view password, std::span<const std::uint8_t> nonce,
                                std::string_view pemPublicKey) {
  const std::string_view plugin = authplugin::CachingSha2Password;
  struct TBioFree {
    void operator()(BIO* b) const noexcept { BIO_free(b); }
  };
  struct TKeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
  };
  struct TCtxFree {
    void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
  };
  if (nonce.empty() || pemPublicKey.size() > 64 * 1024)
    RaisePluginError(plugin, "the server's public key cannot be used");
  std::unique_ptr<BIO, TBioFree> bio(BIO_new_mem_buf(pemPublicKey.data(), static_cast<int>(pemPublicKey.size())));
  std::unique_ptr<EVP_PKEY, TKeyFree> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
    ERR_clear_error();
    RaisePluginError(plugin, "the server's public key is not an RSA public key in PEM form");
  }
  // OAEP takes at most the key size less 42 bytes.
  const int keySize = EVP_PKEY_get_size(key.get());
  TSecureBytes plain = PasswordWithZero(password);
  if (keySize <= 42 || plain.size() > static_cast<std::size_t>(keySize - 42))
    RaisePluginError(plugin, "the password is too long for the server's RSA key");
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] ^= nonce[i % nonce.size()];
  std::unique_ptr<EVP_PKEY_CTX, TCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  std::size_t outLen = static_cast<std::size_t>(keySize);
  TSecureBytes out(outLen);
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &outLen, plain.data(), plain.size()) != 1 ||
      outLen != static_cast<std::size_t>(keySize)) {
    ERR_clear_error();
    RaisePluginError(plugin, "RSA encryption of the password failed");
  }
  return out;
}

std::array<std::uint8_t, 32> Ed25519PublicKey(std::string_view password) {
  RequireSodium();
  TEd25519Secret secret;
  DeriveSecret(password, secret);
  std::array<std::uint8_t, 32> a{};
  ScalarBase(a.data(), secret.Scalar.data());
  return a;
}

std::array<std::uint8_t, 64> Ed25519Sign(std::string_view password, std::span<const std::uint8_t> message) {
  RequireSodium();
  TEd25519Secret secret;
  DeriveSecret(password, secret);
  std::array<std::uint8_t, 32> publicKey{};
  ScalarBase(publicKey.data(), secret.Scalar.data());

  // r = H(prefix || M) mod L, R = rB.
  TSha512 h = Sha512({secret.Prefix, message});
  std::array<std::uint8_t, 32> r{};
  crypto_core_ed25519_scalar_reduce(r.data(), h.data());
  std::array<std::uint8_t, 64> signature{};
  ScalarBase(signature.data(), r.data());

  // k = H(R || A || M) mod L, S = r + k a mod L.
  TSha512 hk = Sha512({std::span<const std::uint8_t>(signature.data(), 32), publicKey, message});
  std::array<std::uint8_t, 32> k{}, ka{};
  crypto_core_ed25519_scalar_reduce(k.data(), hk.data());
  crypto_core_ed25519_scalar_mul(ka.data(), k.data(), secret.Scalar.data());
  crypto_core_ed25519_scalar_add(signature.data() + 32, r.data(), ka.data());
  Wipe(h);
  Wipe(r);
  Wipe(ka);
  return signature;
}

}  // namespace lumo
