#include "native/secure/velsecure_key_codes.h"

#include <cstring>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_hashstate.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"

namespace {

constexpr size_t kKeyLength = 32;
constexpr size_t kDigestLength = 32;
// The labels are hashed with their terminating zero byte.
constexpr char kSafetyCodeLabel[] = "Velmorine safety code v1";
constexpr char kSeparateContactLabel[] = "Velmorine separate contact UUID v1";
static_assert(sizeof(kSafetyCodeLabel) == 25);
static_assert(sizeof(kSeparateContactLabel) == 35);

struct Piece {
  const uint8_t* data;
  size_t length;
};

// BLAKE2s-256 over the pieces in order.
template <size_t N>
int digest_of(const Piece (&pieces)[N], uint8_t digest[kDigestLength]) {
  NoiseHashState* hash = nullptr;
  int err = noise_hashstate_new_by_id(&hash, NOISE_HASH_BLAKE2s);
  if (err == NOISE_ERROR_NONE) err = noise_hashstate_reset(hash);
  for (const Piece& piece : pieces) {
    if (err == NOISE_ERROR_NONE) err = noise_hashstate_update(hash, piece.data, piece.length);
  }
  if (err == NOISE_ERROR_NONE) err = noise_hashstate_finalize(hash, digest, kDigestLength);
  if (hash != nullptr) noise_hashstate_free(hash);
  return err;
}

// Unsigned byte order of (identifier, key) pairs; A first when both are equal.
bool a_comes_first(const uint8_t* id_a, const uint8_t* key_a, const uint8_t* id_b,
                   const uint8_t* key_b) {
  const int by_id = std::memcmp(id_a, id_b, VELSECURE_DEVICE_ID_LENGTH);
  if (by_id != 0) return by_id < 0;
  return std::memcmp(key_a, key_b, kKeyLength) <= 0;
}

}  // namespace

uint32_t velsecure_public_key_fingerprint(const uint8_t public_key[32], uint8_t fingerprint[32],
                                          StatusRecord* status) {
  if (public_key == nullptr || fingerprint == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_KEY_CODES);
  }
  const Piece pieces[] = {{public_key, kKeyLength}};
  const int err = digest_of(pieces, fingerprint);
  if (err != NOISE_ERROR_NONE) noise_clean(fingerprint, VELSECURE_FINGERPRINT_LENGTH);
  return velsecure_status_from_noise(err, VELSECURE_OP_KEY_CODES, status);
}

uint32_t velsecure_safety_code(const uint8_t id_a[16], const uint8_t key_a[32],
                               const uint8_t id_b[16], const uint8_t key_b[32],
                               const uint8_t handshake_hash[32], char text[60],
                               StatusRecord* status) {
  if (id_a == nullptr || key_a == nullptr || id_b == nullptr || key_b == nullptr ||
      handshake_hash == nullptr || text == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_KEY_CODES);
  }
  const bool a_first = a_comes_first(id_a, key_a, id_b, key_b);
  const uint8_t* first_id = a_first ? id_a : id_b;
  const uint8_t* first_key = a_first ? key_a : key_b;
  const uint8_t* second_id = a_first ? id_b : id_a;
  const uint8_t* second_key = a_first ? key_b : key_a;
  const Piece pieces[] = {
      {reinterpret_cast<const uint8_t*>(kSafetyCodeLabel), sizeof(kSafetyCodeLabel)},
      {first_id, VELSECURE_DEVICE_ID_LENGTH},
      {first_key, kKeyLength},
      {second_id, VELSECURE_DEVICE_ID_LENGTH},
      {second_key, kKeyLength},
      {handshake_hash, kDigestLength}};
  uint8_t digest[kDigestLength];
  const int err = digest_of(pieces, digest);
  if (err != NOISE_ERROR_NONE) {
    noise_clean(digest, sizeof(digest));
    noise_clean(text, VELSECURE_SAFETY_CODE_CAPACITY);
    return velsecure_status_from_noise(err, VELSECURE_OP_KEY_CODES, status);
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t at = 0;
  for (size_t i = 0; i < 24; ++i) {
    if (i != 0 && i % 2 == 0) text[at++] = '-';
    text[at++] = kHex[digest[i] >> 4];
    text[at++] = kHex[digest[i] & 0x0F];
  }
  text[at] = '\0';
  noise_clean(digest, sizeof(digest));
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t velsecure_separate_contact_uuid(const uint8_t claimed_id[16], const uint8_t public_key[32],
                                         uint8_t uuid[16], StatusRecord* status) {
  if (claimed_id == nullptr || public_key == nullptr || uuid == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_KEY_CODES);
  }
  const Piece pieces[] = {
      {reinterpret_cast<const uint8_t*>(kSeparateContactLabel), sizeof(kSeparateContactLabel)},
      {claimed_id, VELSECURE_DEVICE_ID_LENGTH},
      {public_key, kKeyLength}};
  uint8_t digest[kDigestLength];
  const int err = digest_of(pieces, digest);
  if (err != NOISE_ERROR_NONE) {
    noise_clean(digest, sizeof(digest));
    noise_clean(uuid, VELSECURE_DEVICE_ID_LENGTH);
    return velsecure_status_from_noise(err, VELSECURE_OP_KEY_CODES, status);
  }
  std::memcpy(uuid, digest, VELSECURE_DEVICE_ID_LENGTH);
  // RFC 9562 version 8 (custom) with the variant bits 10.
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x80);
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
  noise_clean(digest, sizeof(digest));
  velsecure_error_reset(status);
  return VELSECURE_OK;
}
