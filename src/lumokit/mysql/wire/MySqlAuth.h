// The authentication plugins of the MySQL handshake: each turns the
// password and the server's nonce into the bytes the server checks, and
// answers the further requests of its exchange. The session (MySqlSession)
// picks a plugin by the name the server sends and carries the bytes over
// the packet layer; nothing here reads or writes a socket.
//
// Decisions:
// - The plugins: mysql_native_password (SHA-1 scramble), mysql_old_password
//   (the pre-4.1 scramble), caching_sha2_password (SHA-256 scramble, then
//   full authentication), client_ed25519 (an Ed25519 signature of the
//   nonce) and mysql_clear_password. Any other name raises 2059.
// - Nonces: 20 bytes for the SHA scrambles, 32 for client_ed25519, 8 or 20
//   for the pre-4.1 scramble (its first 8 bytes count); one closing zero
//   byte after them is dropped. Any other length raises 2027: a truncated
//   nonce would make a token the server rejects for no visible reason.
// - The password never travels in clear over plain TCP. Full
//   caching_sha2_password authentication sends it in clear only when the
//   transport is secure (TLS, or the local socket, which never leaves the
//   machine); otherwise it is RSA-encrypted (OAEP) with the server's public
//   key read from the file the user names, or fetched from the server when
//   the user allows it; with neither it fails with 2061. The key a server
//   sends over plain TCP can be replaced by anyone in the middle, which is
//   why fetching it is off by default. mysql_clear_password is refused
//   (2059) unless the user enables it and the transport is secure.
// - An empty password gives an empty token for the SHA scrambles; full
//   authentication then sends a single zero byte, which reveals nothing.
// - client_ed25519: MariaDB's construction. The password itself is the
//   signing secret: SHA-512 of the password is clamped into the secret
//   scalar and its second half seeds the nonce, exactly as Ed25519 treats
//   a 32-byte seed; the signature of the server's nonce is a standard
//   Ed25519 signature under the public key derived from that scalar. The
//   group operations come from libsodium, since OpenSSL's Ed25519 takes only
//   32-byte seeds.
// - The pre-4.1 scramble is refused (2049, before anything of it is sent)
//   over plain TCP unless the user allows it (MYSQL_SECURE_AUTH 0), and
//   allowed over TLS and the local socket unless the user refuses it
//   (MYSQL_SECURE_AUTH 1). Over plain TCP anyone on the path can answer a
//   native login with a switch to that scramble and take a token that
//   gives the password's weak hash away to a quick offline search; an
//   account that needs it must say so, or use TLS.
// - Every buffer that holds the password, a hash of it or a token is wiped
//   with OPENSSL_cleanse before it is freed (TSecureBytes, and the locals
//   of the computations).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

// Bytes that may hold a secret: a fixed size chosen when created, wiped when
// destroyed or overwritten by a move.
class TSecureBytes {
 public:
  TSecureBytes() = default;
  explicit TSecureBytes(std::size_t size) : FData(size) {}
  TSecureBytes(const void* data, std::size_t size);
  explicit TSecureBytes(std::string_view bytes) : TSecureBytes(bytes.data(), bytes.size()) {}
  TSecureBytes(TSecureBytes&& other) noexcept : FData(std::move(other.FData)) { other.FData.clear(); }
  TSecureBytes& operator=(TSecureBytes&& other) noexcept;
  TSecureBytes(const TSecureBytes&) = delete;
  TSecureBytes& operator=(const TSecureBytes&) = delete;
  ~TSecureBytes() { Wipe(); }

  std::uint8_t* data() noexcept { return FData.data(); }
  const std::uint8_t* data() const noexcept { return FData.data(); }
  std::size_t size() const noexcept { return FData.size(); }
  bool empty() const noexcept { return FData.empty(); }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(FData.data()), FData.size()}; }
  std::uint8_t& operator[](std::size_t i) noexcept { return FData[i]; }

 private:
  void Wipe() noexcept;
  std::vector<std::uint8_t> FData;
};

namespace authplugin {
constexpr std::string_view NativePassword = "mysql_native_password";
constexpr std::string_view OldPassword = "mysql_old_password";
constexpr std::string_view CachingSha2Password = "caching_sha2_password";
constexpr std::string_view ClearPassword = "mysql_clear_password";
constexpr std::string_view Ed25519 = "client_ed25519";
}  // namespace authplugin

// What the user chose about authentication (client-API options).
struct TMySqlAuthSettings {
  // The plugin of the first answer; empty: the one the server's greeting
  // names when this client has it, else mysql_native_password.
  std::string DefaultPlugin;
  // A PEM file with the server's RSA public key (full caching_sha2_password
  // authentication without a secure transport).
  std::string ServerPublicKeyFile;
  // Ask the server for its RSA public key when no file is named. Off by
  // default: over plain TCP someone in the middle can hand over a key of
  // their own and read the password.
  bool GetServerPublicKey = false;
  // Allow mysql_clear_password (still only over a secure transport).
  bool EnableCleartextPlugin = false;
  // Refuse the pre-4.1 scramble (MYSQL_SECURE_AUTH): true refuses it, false
  // allows it, unset refuses it over plain TCP only (see OldPasswordRefused).
  std::optional<bool> SecureAuth;
};

// What a plugin works with during one login.
struct TMySqlAuthContext {
  std::string_view Password;
  // TLS is on, or the transport is the local socket.
  bool SecureTransport = false;
  TMySqlAuthSettings Settings;
};

// One plugin's side of one exchange.
class TMySqlAuthPlugin {
 public:
  virtual ~TMySqlAuthPlugin() = default;
  virtual std::string_view Name() const noexcept = 0;
  // Whether `nonce` has the length this plugin takes (a closing zero byte
  // aside).
  virtual bool TakesNonce(std::span<const std::uint8_t> nonce) const noexcept = 0;
  // The first answer, over the server's nonce (the greeting's or a switch
  // request's data). A nonce of the wrong length raises 2027.
  virtual TSecureBytes Start(std::span<const std::uint8_t> nonce) = 0;
  // The server sent more data (0x01 followed by `data`): the bytes to send
  // back, or nothing when the server's next packet is to be read. Data this
  // plugin does not expect at this step raises 2027.
  virtual std::optional<TSecureBytes> Continue(std::span<const std::uint8_t> data);
};

// Whether a login with the pre-4.1 scramble is refused: as SecureAuth says,
// else exactly when the transport is not secure (plain TCP).
bool OldPasswordRefused(const TMySqlAuthContext& context) noexcept;

// Creates the plugin named `name`; 2059 for a plugin this client does not
// have, and for mysql_clear_password when it is not enabled or the
// transport is not secure; 2049 for mysql_old_password when
// OldPasswordRefused. The context must outlive the plugin.
std::unique_ptr<TMySqlAuthPlugin> CreateAuthPlugin(std::string_view name, const TMySqlAuthContext& context);

// ---- the computations (also used by tests)

// SHA256(password) XOR SHA256(SHA256(SHA256(password)) + nonce20).
std::array<std::uint8_t, 32> CachingSha2Scramble(std::string_view password, const std::uint8_t* nonce20);

// The password with its closing zero byte, XOR-ed with the nonce (repeated),
// encrypted with RSA-OAEP under the PEM public key. Raises 2061 for
// caching_sha2_password when the key cannot be read or is too small.
TSecureBytes RsaEncryptPassword(std::string_view password, std::span<const std::uint8_t> nonce,
                                std::string_view pemPublicKey);

// client_ed25519: the public key of a password, and the signature of
// `message` under it (R then S, 64 bytes).
std::array<std::uint8_t, 32> Ed25519PublicKey(std::string_view password);
std::array<std::uint8_t, 64> Ed25519Sign(std::string_view password, std::span<const std::uint8_t> message);

}  // namespace lumo
