// SHA-1 and SHA-256 (from OpenSSL's libcrypto) and the password tokens of
// the MySQL handshake: the 4.1 native-password token, the pre-4.1 token,
// and the answer of the 4.1.0 exchange. Passwords and scrambles are byte
// strings; nothing here keeps them beyond the call, and the intermediate
// hashes of a password are wiped before returning.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumo {

constexpr std::size_t ScrambleLength = 8;
constexpr std::size_t Scramble41Length = 20;

using TSha1Digest = std::array<std::uint8_t, 20>;
using TSha256Digest = std::array<std::uint8_t, 32>;

// SHA-1 and SHA-256 of the concatenation of up to two byte strings.
TSha1Digest Sha1(std::string_view part1, std::string_view part2 = {});
TSha256Digest Sha256(std::string_view part1, std::string_view part2 = {});

// The bytes of a digest as a string view.
template <std::size_t N>
std::string_view DigestView(const std::array<std::uint8_t, N>& d) noexcept {
  return {reinterpret_cast<const char*>(d.data()), N};
}

// SHA1(password) XOR SHA1(scramble[0..19] + SHA1(SHA1(password))).
TSha1Digest Scramble41(std::string_view password, const std::uint8_t* scramble20);

// The two 31-bit values of the pre-4.1 password hash (spaces and tabs are
// skipped); printed as two 8-digit hex numbers they are the server's old
// password hash.
std::array<std::uint32_t, 2> HashPassword323(std::string_view text);

// The pre-4.1 token over the first 8 scramble bytes: 8 bytes, without the
// terminating zero byte the handshake adds.
std::array<std::uint8_t, ScrambleLength> Scramble323(std::string_view password, const std::uint8_t* scramble8);

// The 4.1.0 exchange: the server sent 24 bytes (4 bytes of salt, then 20
// bytes), the first not 0 and not '*'. Computes H1 = SHA1(password without
// spaces and tabs), H2 = SHA1(reply[0..3] + H1), the new scramble
// reply[4..23] XOR H2, and returns the answer scramble XOR H1.
TSha1Digest Answer410(std::string_view password, const std::uint8_t* reply24);

}  // namespace lumo
