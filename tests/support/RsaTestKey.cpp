#include "support/RsaTestKey.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <stdexcept>

namespace lumo::test {

RsaTestKey::RsaTestKey(unsigned bits) : FKey(EVP_RSA_gen(bits)) {
  if (!FKey) throw std::runtime_error("EVP_RSA_gen failed");
}

std::string RsaTestKey::PublicPem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), FKey.get()) != 1) throw std::runtime_error("PEM_write_bio_PUBKEY failed");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

std::string RsaTestKey::Decrypt(const std::string& blob) const {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(FKey.get(), nullptr),
                                                                  &EVP_PKEY_CTX_free);
  std::size_t n = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(blob.data());
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &n, in, blob.size()) != 1)
    throw std::runtime_error("RSA decryption set-up failed");
  std::string out(n, '\0');
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, in, blob.size()) != 1)
    throw std::runtime_error("the blob does not decrypt with this key");
  out.resize(n);
  return out;
}

}  // namespace lumo::test
