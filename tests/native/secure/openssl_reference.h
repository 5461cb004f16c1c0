// OpenSSL as the independent reference for the secure tests: BLAKE2s-256 and X25519.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace velmorine::secure::testing {

inline std::vector<uint8_t> openssl_blake2s(std::initializer_list<std::vector<uint8_t>> pieces) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_blake2s256(), nullptr);
  for (const auto& piece : pieces) EVP_DigestUpdate(ctx, piece.data(), piece.size());
  std::vector<uint8_t> digest(32);
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, digest.data(), &len);
  EVP_MD_CTX_free(ctx);
  return digest;
}

inline std::vector<uint8_t> openssl_x25519_public(const std::vector<uint8_t>& private_key) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(),
                                               private_key.size());
  std::vector<uint8_t> pub(32);
  size_t len = pub.size();
  EVP_PKEY_get_raw_public_key(key, pub.data(), &len);
  EVP_PKEY_free(key);
  return pub;
}

}  // namespace velmorine::secure::testing
