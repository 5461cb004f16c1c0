#include "native/secure/noise/noise_patterns.h"

#include <array>
#include <cstddef>

namespace {

constexpr uint8_t S = NOISE_TOKEN_S;
constexpr uint8_t E = NOISE_TOKEN_E;
constexpr uint8_t EE = NOISE_TOKEN_EE;
constexpr uint8_t ES = NOISE_TOKEN_ES;
constexpr uint8_t SE = NOISE_TOKEN_SE;
constexpr uint8_t SS = NOISE_TOKEN_SS;
constexpr uint8_t FLIP = NOISE_TOKEN_FLIP_DIR;
constexpr uint8_t END = NOISE_TOKEN_END;

constexpr uint8_t lo(uint16_t flags) { return static_cast<uint8_t>(flags & 0xFF); }
constexpr uint8_t hi(uint16_t flags) { return static_cast<uint8_t>(flags >> 8); }

// Pre-messages are not tokens: they show as the "required before the handshake"
// flags and are mixed in when the handshake starts.
constexpr uint16_t kN =
    NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternN[] = {lo(kN), hi(kN), E, ES, END};
constexpr uint16_t kK = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                        NOISE_PAT_FLAG_LOCAL_REQUIRED | NOISE_PAT_FLAG_REMOTE_STATIC |
                        NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternK[] = {lo(kK), hi(kK), E, ES, SS, END};
constexpr uint16_t kX = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                        NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternX[] = {lo(kX), hi(kX), E, ES, S, SS, END};

constexpr uint16_t kNN = NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternNN[] = {lo(kNN), hi(kNN), E, FLIP, E, EE, END};
constexpr uint16_t kNK = NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_STATIC |
                         NOISE_PAT_FLAG_REMOTE_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternNK[] = {lo(kNK), hi(kNK), E, ES, FLIP, E, EE, END};
constexpr uint16_t kNX =
    NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternNX[] = {lo(kNX), hi(kNX), E, FLIP, E, EE, S, ES, END};
constexpr uint16_t kXN =
    NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternXN[] = {lo(kXN), hi(kXN), E, FLIP, E, EE, FLIP, S, SE, END};
constexpr uint16_t kXK = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternXK[] = {lo(kXK), hi(kXK), E, ES, FLIP, E, EE, FLIP, S, SE, END};
constexpr uint16_t kXX = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternXX[] = {lo(kXX), hi(kXX), E, FLIP, E, EE, S, ES, FLIP, S, SE, END};
constexpr uint16_t kKN = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_LOCAL_REQUIRED | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternKN[] = {lo(kKN), hi(kKN), E, FLIP, E, EE, SE, END};
constexpr uint16_t kKK = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_LOCAL_REQUIRED | NOISE_PAT_FLAG_REMOTE_STATIC |
                         NOISE_PAT_FLAG_REMOTE_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternKK[] = {lo(kKK), hi(kKK), E, ES, SS, FLIP, E, EE, SE, END};
constexpr uint16_t kKX = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_LOCAL_REQUIRED | NOISE_PAT_FLAG_REMOTE_STATIC |
                         NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternKX[] = {lo(kKX), hi(kKX), E, FLIP, E, EE, SE, S, ES, END};
constexpr uint16_t kIN =
    NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternIN[] = {lo(kIN), hi(kIN), E, S, FLIP, E, EE, SE, END};
constexpr uint16_t kIK = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_REQUIRED;
constexpr uint8_t kPatternIK[] = {lo(kIK), hi(kIK), E, ES, S, SS, FLIP, E, EE, SE, END};
constexpr uint16_t kIX = NOISE_PAT_FLAG_LOCAL_STATIC | NOISE_PAT_FLAG_LOCAL_EPHEMERAL |
                         NOISE_PAT_FLAG_REMOTE_STATIC | NOISE_PAT_FLAG_REMOTE_EPHEMERAL;
constexpr uint8_t kPatternIX[] = {lo(kIX), hi(kIX), E, S, FLIP, E, EE, SE, S, ES, END};

// Slots for 0x5001 to 0x5054. The fallback, "noidh" and "hfs" names resolve but
// have no pattern here: nothing runs them and no backend offers the hybrid keys.
constexpr std::array<const uint8_t*, 84> kPatterns = [] {
  std::array<const uint8_t*, 84> table{};
  table[0x01 - 1] = kPatternN;
  table[0x02 - 1] = kPatternX;
  table[0x03 - 1] = kPatternK;
  table[0x04 - 1] = kPatternNN;
  table[0x05 - 1] = kPatternNK;
  table[0x06 - 1] = kPatternNX;
  table[0x07 - 1] = kPatternXN;
  table[0x08 - 1] = kPatternXK;
  table[0x09 - 1] = kPatternXX;
  table[0x0A - 1] = kPatternKN;
  table[0x0B - 1] = kPatternKK;
  table[0x0C - 1] = kPatternKX;
  table[0x0D - 1] = kPatternIN;
  table[0x0E - 1] = kPatternIK;
  table[0x0F - 1] = kPatternIX;
  return table;
}();

}  // namespace

const uint8_t* noise_pattern_lookup(int id) {
  if (id < 0x5001 || id > 0x5054) return nullptr;
  return kPatterns[static_cast<size_t>(id - 0x5001)];
}

uint16_t noise_pattern_flags(const uint8_t* pattern) {
  return static_cast<uint16_t>(pattern[0] | (pattern[1] << 8));
}

uint16_t noise_pattern_reverse_flags(uint16_t flags) {
  return static_cast<uint16_t>((flags >> 8) | (flags << 8));
}
