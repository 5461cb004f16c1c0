// Identifiers of Noise algorithms, patterns and prefixes, and the protocol name
// parser built on one name table.
#pragma once

#include <cstddef>

// An identifier is its category (high byte) and a number (low byte).
inline constexpr int NOISE_CATEGORY_CIPHER = 0x4300;
inline constexpr int NOISE_CATEGORY_DH = 0x4400;
inline constexpr int NOISE_CATEGORY_FINGERPRINT = 0x4600;
inline constexpr int NOISE_CATEGORY_HASH = 0x4800;
inline constexpr int NOISE_CATEGORY_PREFIX = 0x4E00;
inline constexpr int NOISE_CATEGORY_PATTERN = 0x5000;
inline constexpr int NOISE_CATEGORY_SIGN = 0x5300;

inline constexpr int NOISE_CIPHER_CHACHAPOLY = 0x4301;
inline constexpr int NOISE_CIPHER_AESGCM = 0x4302;
inline constexpr int NOISE_HASH_BLAKE2s = 0x4801;
inline constexpr int NOISE_HASH_BLAKE2b = 0x4802;
inline constexpr int NOISE_HASH_SHA256 = 0x4803;
inline constexpr int NOISE_HASH_SHA512 = 0x4804;
inline constexpr int NOISE_DH_CURVE25519 = 0x4401;
inline constexpr int NOISE_DH_CURVE448 = 0x4402;
inline constexpr int NOISE_DH_NEWHOPE = 0x4403;
inline constexpr int NOISE_PATTERN_XX = 0x5009;
inline constexpr int NOISE_PREFIX_STANDARD = 0x4E01;
inline constexpr int NOISE_PREFIX_PSK = 0x4E02;
inline constexpr int NOISE_SIGN_ED25519 = 0x5301;

inline constexpr int NOISE_ROLE_INITIATOR = 0x5201;
inline constexpr int NOISE_ROLE_RESPONDER = 0x5202;

inline constexpr int NOISE_FINGERPRINT_BASIC = 0x4601;
inline constexpr int NOISE_FINGERPRINT_FULL = 0x4602;

// The components of a protocol name as identifiers; hybrid_id is 0 when absent.
struct NoiseProtocolId {
  int prefix_id;
  int pattern_id;
  int dh_id;
  int cipher_id;
  int hash_id;
  int hybrid_id;
};

// The identifier named exactly `name` within `category` (0 matches any); 0 when none.
int noise_name_to_id(int category, const char* name, size_t name_len);

// The name of `id`, or null when the table has none.
const char* noise_id_to_name(int category, int id);

// Parses a protocol name such as "Noise_XX_25519_ChaChaPoly_BLAKE2s". Any unknown or
// missing component zeroes `id` and gives NOISE_ERROR_UNKNOWN_NAME.
int noise_protocol_name_to_id(NoiseProtocolId* id, const char* name, size_t name_len);

// Formats `id` as a zero-terminated protocol name; NOISE_ERROR_UNKNOWN_ID for a
// component without a name, NOISE_ERROR_INVALID_LENGTH when it does not fit (the
// output then holds an empty string).
int noise_protocol_id_to_name(char* name, size_t capacity, const NoiseProtocolId* id);
