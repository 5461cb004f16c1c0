#include "native/secure/noise/noise_fingerprint.h"

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/noise/noise_util.h"
#include "native/secure/primitives/sha256.h"

int noise_format_fingerprint(int fingerprint_type, char* buffer, size_t len,
                             const uint8_t* public_key, size_t public_key_len) {
  if (buffer == nullptr || public_key == nullptr) return NOISE_ERROR_INVALID_PARAM;
  size_t bytes = 0;
  if (fingerprint_type == NOISE_FINGERPRINT_BASIC) {
    bytes = 16;
  } else if (fingerprint_type == NOISE_FINGERPRINT_FULL) {
    bytes = 32;
  } else {
    return NOISE_ERROR_INVALID_PARAM;
  }
  if (len < bytes * 3) {
    if (len > 0) buffer[0] = '\0';
    return NOISE_ERROR_INVALID_LENGTH;
  }
  velmorine::secure::Sha256State sha;
  uint8_t digest[32];
  velmorine::secure::sha256_reset(&sha);
  velmorine::secure::sha256_update(&sha, public_key, public_key_len);
  velmorine::secure::sha256_finish(&sha, digest);
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes; ++i) {
    buffer[i * 3] = kHex[digest[i] >> 4];
    buffer[i * 3 + 1] = kHex[digest[i] & 0x0F];
    buffer[i * 3 + 2] = i + 1 < bytes ? ':' : '\0';
  }
  noise_clean(digest, sizeof(digest));
  return NOISE_ERROR_NONE;
}
