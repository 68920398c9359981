// An RSA key pair made in memory for tests of password encryption: its
// public half as PEM text (what a server hands out) and OAEP decryption
// with the private half (what the server does with the client's blob).
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

namespace lumo::test {

class RsaTestKey {
 public:
  // Throws std::runtime_error when OpenSSL cannot make the key.
  explicit RsaTestKey(unsigned bits = 2048);

  std::string PublicPem() const;
  // The OAEP plaintext of `blob`; throws std::runtime_error when it does not
  // decrypt.
  std::string Decrypt(const std::string& blob) const;

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
  };
  std::unique_ptr<EVP_PKEY, KeyFree> FKey;
};

}  // namespace lumo::test
