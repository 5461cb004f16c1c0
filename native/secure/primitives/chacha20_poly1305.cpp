#include "native/secure/primitives/chacha20_poly1305.h"

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/chacha20.h"
#include "native/secure/primitives/poly1305.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

constexpr std::uint8_t kZeros[16] = {};

// Keys ChaCha20 for this nonce and takes the one-time Poly1305 key from block 0; the cipher
// is left at block 1.
void begin(ChaChaState* cipher, Poly1305State* mac, const std::uint8_t key[32],
           std::uint64_t nonce) {
  std::uint8_t nonce_bytes[8];
  store_le64(nonce_bytes, nonce);
  chacha_keysetup(cipher, key, 256);
  chacha_ivsetup(cipher, nonce_bytes, nullptr);
  std::uint8_t block[64] = {};
  chacha_encrypt_bytes(cipher, block, block, sizeof block);
  poly1305_init(mac, block);
  wipe_secret(block, sizeof block);
}

void pad16(Poly1305State* mac, std::size_t length) {
  if ((length & 15) != 0) poly1305_update(mac, kZeros, 16 - (length & 15));
}

void authenticate_associated(Poly1305State* mac, const std::uint8_t* associated_data,
                             std::size_t associated_length) {
  poly1305_update(mac, associated_data, associated_length);
  pad16(mac, associated_length);
}

void finish(Poly1305State* mac, std::size_t associated_length, std::size_t length,
            std::uint8_t tag[16]) {
  pad16(mac, length);
  std::uint8_t lengths[16];
  store_le64(lengths, associated_length);
  store_le64(lengths + 8, length);
  poly1305_update(mac, lengths, sizeof lengths);
  poly1305_finish(mac, tag);
}

}  // namespace

void chacha20_poly1305_seal(std::uint8_t* output, const std::uint8_t key[kChaChaPolyKeyLength],
                            std::uint64_t nonce, const std::uint8_t* associated_data,
                            std::size_t associated_length, const std::uint8_t* plaintext,
                            std::size_t length) {
  ChaChaState cipher;
  Poly1305State mac;
  begin(&cipher, &mac, key, nonce);
  authenticate_associated(&mac, associated_data, associated_length);
  chacha_encrypt_bytes(&cipher, plaintext, output, length);
  poly1305_update(&mac, output, length);
  finish(&mac, associated_length, length, output + length);
  wipe_secret(&cipher, sizeof cipher);
}

bool chacha20_poly1305_open(std::uint8_t* output, const std::uint8_t key[kChaChaPolyKeyLength],
                            std::uint64_t nonce, const std::uint8_t* associated_data,
                            std::size_t associated_length, const std::uint8_t* sealed,
                            std::size_t sealed_length) {
  if (sealed_length < kChaChaPolyTagLength) return false;
  const std::size_t length = sealed_length - kChaChaPolyTagLength;
  ChaChaState cipher;
  Poly1305State mac;
  begin(&cipher, &mac, key, nonce);
  std::uint8_t tag[kChaChaPolyTagLength];
  authenticate_associated(&mac, associated_data, associated_length);
  poly1305_update(&mac, sealed, length);
  finish(&mac, associated_length, length, tag);
  // Nothing is deciphered before the tag is known to match.
  const bool authentic = poly1305_verify(tag, sealed + length) == 1;
  if (authentic) chacha_encrypt_bytes(&cipher, sealed, output, length);
  wipe_secret(&cipher, sizeof cipher);
  wipe_secret(tag, sizeof tag);
  return authentic;
}

}  // namespace velmorine::secure
