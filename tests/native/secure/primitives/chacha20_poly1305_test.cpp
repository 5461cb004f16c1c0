#include "native/secure/primitives/chacha20_poly1305.h"

#include <gtest/gtest.h>

#include "tests/native/secure/primitives/primitive_test_support.h"

namespace velmorine::secure {
namespace {

using testing::Bytes;

// The Noise nonce n is the 96-bit RFC 8439 nonce 00000000 || little-endian n.
Bytes openssl_seal(const Bytes& key, std::uint64_t nonce, const Bytes& ad, const Bytes& plain) {
  Bytes iv(12, 0);
  for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<std::uint8_t>(nonce >> (8 * i));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), iv.data());
  int length = 0;
  if (!ad.empty()) EVP_EncryptUpdate(ctx, nullptr, &length, ad.data(), static_cast<int>(ad.size()));
  Bytes out(plain.size() + 16);
  EVP_EncryptUpdate(ctx, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + length, &length);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plain.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

Bytes seal(const Bytes& key, std::uint64_t nonce, const Bytes& ad, const Bytes& plain) {
  Bytes out(plain.size() + 16);
  chacha20_poly1305_seal(out.data(), key.data(), nonce, ad.data(), ad.size(), plain.data(),
                         plain.size());
  return out;
}

TEST(ChaCha20Poly1305, OpensRfc8439AppendixA5) {
  const Bytes key =
      testing::from_hex("1c9240a5eb55d38af333888604f6b5f0473917c1402b80099dca5cbc207075c0");
  // Nonce 00000000 0102030405060708.
  const std::uint64_t nonce = 0x0807060504030201;
  const Bytes ad = testing::from_hex("f33388860000000000004e91");
  const Bytes plain = testing::text_bytes(
      "Internet-Drafts are draft documents valid for a maximum of six months and may be "
      "updated, replaced, or obsoleted by other documents at any time. It is inappropriate to "
      "use Internet-Drafts as reference material or to cite them other than as "
      "/\xe2\x80\x9cwork in progress./\xe2\x80\x9d");
  const Bytes sealed = seal(key, nonce, ad, plain);
  EXPECT_EQ(testing::to_hex(sealed.data(), 16), "64a0861575861af460f062c79be643bd");
  EXPECT_EQ(testing::to_hex(sealed.data() + plain.size(), 16), "eead9d67890cbb22392336fea1851f38");
  Bytes opened(plain.size());
  ASSERT_TRUE(chacha20_poly1305_open(opened.data(), key.data(), nonce, ad.data(), ad.size(),
                                     sealed.data(), sealed.size()));
  EXPECT_EQ(opened, plain);
}

TEST(ChaCha20Poly1305, MatchesOpenSslAcrossLengths) {
  testing::SeededBytes random(79);
  for (const std::size_t length : testing::interesting_lengths()) {
    const Bytes key = random.next(32), ad = random.next(random.below(40));
    const Bytes plain = random.next(length);
    const std::uint64_t nonce = random.below(1u << 30) * 0x100000007ull;
    const Bytes sealed = seal(key, nonce, ad, plain);
    ASSERT_EQ(sealed, openssl_seal(key, nonce, ad, plain)) << "length " << length;
    Bytes in_place = sealed;
    ASSERT_TRUE(chacha20_poly1305_open(in_place.data(), key.data(), nonce, ad.data(), ad.size(),
                                       in_place.data(), in_place.size()));
    in_place.resize(length);
    ASSERT_EQ(in_place, plain);
  }
}

TEST(ChaCha20Poly1305, LargestRecordMatchesOpenSsl) {
  // 61440 bytes run the block counter across many byte boundaries and every vector loop.
  testing::SeededBytes random(81);
  const Bytes key = random.next(32), ad = random.next(11), plain = random.next(61440);
  const std::uint64_t nonce = 0xfffffffffffffffeull;
  const Bytes sealed = seal(key, nonce, ad, plain);
  ASSERT_EQ(sealed, openssl_seal(key, nonce, ad, plain));
  Bytes opened(plain.size());
  ASSERT_TRUE(chacha20_poly1305_open(opened.data(), key.data(), nonce, ad.data(), ad.size(),
                                     sealed.data(), sealed.size()));
  EXPECT_EQ(opened, plain);
}

TEST(ChaCha20Poly1305, RefusesAnyAlterationAndLeavesTheOutputAlone) {
  testing::SeededBytes random(83);
  const Bytes key = random.next(32), ad = random.next(13), plain = random.next(100);
  const Bytes sealed = seal(key, 5, ad, plain);
  struct Alteration {
    const char* what;
    std::size_t byte;
    bool in_ad;
  };
  const Alteration alterations[] = {
      {"first ciphertext byte", 0, false}, {"last ciphertext byte", 99, false},
      {"first tag byte", 100, false},      {"last tag byte", 115, false},
      {"associated data", 4, true},
  };
  for (const Alteration& a : alterations) {
    Bytes altered = sealed, altered_ad = ad;
    (a.in_ad ? altered_ad : altered)[a.byte] ^= 0x20;
    Bytes out(100, 0xaa);
    EXPECT_FALSE(chacha20_poly1305_open(out.data(), key.data(), 5, altered_ad.data(),
                                        altered_ad.size(), altered.data(), altered.size()))
        << a.what;
    EXPECT_EQ(out, Bytes(100, 0xaa)) << a.what;
  }
  Bytes out(100);
  EXPECT_FALSE(chacha20_poly1305_open(out.data(), key.data(), 6, ad.data(), ad.size(),
                                      sealed.data(), sealed.size()))
      << "other nonce";
  EXPECT_FALSE(
      chacha20_poly1305_open(out.data(), key.data(), 5, ad.data(), ad.size(), sealed.data(), 15))
      << "shorter than a tag";
}

}  // namespace
}  // namespace velmorine::secure
