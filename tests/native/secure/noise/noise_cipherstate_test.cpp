// The ChaChaPoly CipherState against OpenSSL's ChaCha20-Poly1305 (96-bit nonce:
// four zero bytes, then the Noise nonce little-endian).
#include "native/secure/noise/noise_cipherstate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <limits>
#include <vector>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes openssl_seal(const Bytes& key, uint64_t nonce, const Bytes& ad, const Bytes& plaintext) {
  uint8_t iv[12] = {};
  for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<uint8_t>(nonce >> (8 * i));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), iv);
  int len = 0;
  if (!ad.empty()) EVP_EncryptUpdate(ctx, nullptr, &len, ad.data(), static_cast<int>(ad.size()));
  Bytes out(plaintext.size() + 16);
  if (!plaintext.empty()) {
    EVP_EncryptUpdate(ctx, out.data(), &len, plaintext.data(), static_cast<int>(plaintext.size()));
  }
  EVP_EncryptFinal_ex(ctx, out.data() + plaintext.size(), &len);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

class ChaChaPolyCipher : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(noise_cipherstate_new_by_id(&cipher_, NOISE_CIPHER_CHACHAPOLY), NOISE_ERROR_NONE);
    for (size_t i = 0; i < key_.size(); ++i) key_[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(noise_cipherstate_init_key(cipher_, key_.data(), key_.size()), NOISE_ERROR_NONE);
  }
  void TearDown() override { noise_cipherstate_free(cipher_); }

  Bytes seal(const Bytes& ad, const Bytes& plaintext) {
    Bytes buffer = plaintext;
    buffer.resize(plaintext.size() + 16);
    size_t out_len = 0;
    last_error_ = noise_cipherstate_encrypt_with_ad(cipher_, ad.data(), ad.size(), buffer.data(),
                                                    plaintext.size(), buffer.size(), &out_len);
    buffer.resize(out_len);
    return buffer;
  }

  NoiseCipherState* cipher_ = nullptr;
  Bytes key_ = Bytes(32);
  int last_error_ = 0;
};

TEST_F(ChaChaPolyCipher, SealsLikeOpenSslAcrossLengthsAndNonces) {
  const Bytes ad = {1, 2, 3, 4, 5};
  for (size_t len : {0, 1, 15, 16, 17, 63, 64, 65, 1000}) {
    Bytes plaintext(len);
    for (size_t i = 0; i < len; ++i) plaintext[i] = static_cast<uint8_t>(i ^ 0x5A);
    const uint64_t nonce = cipher_->n;
    EXPECT_EQ(seal(ad, plaintext), openssl_seal(key_, nonce, ad, plaintext)) << len;
  }
  ASSERT_EQ(noise_cipherstate_set_nonce(cipher_, 0x0102030405060708ull), NOISE_ERROR_NONE);
  EXPECT_EQ(seal({}, {9, 9, 9}), openssl_seal(key_, 0x0102030405060708ull, {}, {9, 9, 9}));
}

TEST_F(ChaChaPolyCipher, RekeyTakesTheFirst32BytesOfZerosSealedUnderTheLastNonce) {
  ASSERT_EQ(noise_cipherstate_set_nonce(cipher_, 5), NOISE_ERROR_NONE);
  ASSERT_EQ(noise_cipherstate_rekey(cipher_), NOISE_ERROR_NONE);
  EXPECT_EQ(cipher_->n, 5u);  // the nonce carries on
  Bytes new_key = openssl_seal(key_, std::numeric_limits<uint64_t>::max(), {}, Bytes(32));
  new_key.resize(32);
  EXPECT_EQ(seal({}, {1, 2, 3}), openssl_seal(new_key, 5, {}, {1, 2, 3}));
}

TEST_F(ChaChaPolyCipher, RefusesTheReservedNonceAndMovingBack) {
  ASSERT_EQ(noise_cipherstate_set_nonce(cipher_, 10), NOISE_ERROR_NONE);
  EXPECT_EQ(noise_cipherstate_set_nonce(cipher_, 9), NOISE_ERROR_INVALID_NONCE);
  ASSERT_EQ(noise_cipherstate_set_nonce(cipher_, std::numeric_limits<uint64_t>::max() - 1), 0);
  EXPECT_EQ(seal({}, {1}).size(), 17u);
  seal({}, {1});
  EXPECT_EQ(last_error_, NOISE_ERROR_INVALID_NONCE);
}

TEST_F(ChaChaPolyCipher, OpensOnlyWhatAuthenticatesAndAdvancesEitherWay) {
  NoiseCipherState* receiver = nullptr;
  ASSERT_EQ(noise_cipherstate_new_by_name(&receiver, "ChaChaPoly"), NOISE_ERROR_NONE);
  ASSERT_EQ(noise_cipherstate_init_key(receiver, key_.data(), 32), NOISE_ERROR_NONE);
  const Bytes ad = {7};
  Bytes first = seal(ad, {'h', 'i'});
  Bytes second = seal(ad, {'y', 'o'});
  first[0] ^= 1;
  const Bytes tampered = first;
  size_t out_len = 99;
  EXPECT_EQ(noise_cipherstate_decrypt_with_ad(receiver, ad.data(), 1, first.data(), first.size(),
                                              &out_len),
            NOISE_ERROR_MAC_FAILURE);
  EXPECT_EQ(out_len, 0u);
  EXPECT_EQ(first, tampered);  // nothing deciphered
  ASSERT_EQ(noise_cipherstate_decrypt_with_ad(receiver, ad.data(), 1, second.data(), second.size(),
                                              &out_len),
            NOISE_ERROR_NONE);
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 2), (Bytes{'y', 'o'}));
  EXPECT_EQ(noise_cipherstate_decrypt(receiver, second.data(), 15, &out_len),
            NOISE_ERROR_INVALID_LENGTH);
  noise_cipherstate_free(receiver);
}

TEST(NoiseCipherState, PassesDataThroughWithoutAKey) {
  NoiseCipherState* cipher = nullptr;
  ASSERT_EQ(noise_cipherstate_new_by_id(&cipher, NOISE_CIPHER_CHACHAPOLY), NOISE_ERROR_NONE);
  uint8_t data[4] = {1, 2, 3, 4};
  size_t out_len = 0;
  ASSERT_EQ(noise_cipherstate_encrypt(cipher, data, 4, 4, &out_len), NOISE_ERROR_NONE);
  EXPECT_EQ(out_len, 4u);
  EXPECT_EQ(data[3], 4);
  EXPECT_EQ(noise_cipherstate_rekey(cipher), NOISE_ERROR_INVALID_STATE);
  noise_cipherstate_free(cipher);
}

TEST(NoiseCipherState, CarriesOnlyChaChaPoly) {
  NoiseCipherState* cipher = nullptr;
  EXPECT_EQ(noise_cipherstate_new_by_id(&cipher, NOISE_CIPHER_AESGCM), NOISE_ERROR_NO_MEMORY);
  EXPECT_EQ(noise_cipherstate_new_by_name(&cipher, "AESGCM"), NOISE_ERROR_NO_MEMORY);
  EXPECT_EQ(noise_cipherstate_new_by_name(&cipher, "Salsa"), NOISE_ERROR_UNKNOWN_NAME);
  EXPECT_EQ(cipher, nullptr);
}

}  // namespace
