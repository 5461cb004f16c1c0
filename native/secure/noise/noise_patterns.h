// Handshake patterns: a requirement word and the token string of each pattern.
#pragma once

#include <cstdint>

// Requirement bits, from the initiator's point of view.
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_STATIC = 0x0001;
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_EPHEMERAL = 0x0002;
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_REQUIRED = 0x0004;
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_EPHEM_REQ = 0x0008;
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_HYBRID = 0x0010;
inline constexpr uint16_t NOISE_PAT_FLAG_LOCAL_HYBRID_REQ = 0x0020;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_STATIC = 0x0100;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_EPHEMERAL = 0x0200;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_REQUIRED = 0x0400;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_EPHEM_REQ = 0x0800;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_HYBRID = 0x1000;
inline constexpr uint16_t NOISE_PAT_FLAG_REMOTE_HYBRID_REQ = 0x2000;

// Tokens of a pattern's byte string.
inline constexpr uint8_t NOISE_TOKEN_END = 0;
inline constexpr uint8_t NOISE_TOKEN_S = 1;
inline constexpr uint8_t NOISE_TOKEN_E = 2;
inline constexpr uint8_t NOISE_TOKEN_EE = 3;
inline constexpr uint8_t NOISE_TOKEN_ES = 4;
inline constexpr uint8_t NOISE_TOKEN_SE = 5;
inline constexpr uint8_t NOISE_TOKEN_SS = 6;
inline constexpr uint8_t NOISE_TOKEN_F = 7;
inline constexpr uint8_t NOISE_TOKEN_FF = 8;
inline constexpr uint8_t NOISE_TOKEN_FLIP_DIR = 255;

// The pattern bytes of `id`: the requirement word, low byte first, then the tokens
// ended by NOISE_TOKEN_END. Null for an identifier without a pattern.
const uint8_t* noise_pattern_lookup(int id);

// The requirement word of a pattern as read by its first two bytes.
uint16_t noise_pattern_flags(const uint8_t* pattern);

// Swaps the local and remote halves of a requirement word: the responder's view.
uint16_t noise_pattern_reverse_flags(uint16_t flags);
