#include "native/secure/channel/prelude.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 8> kMagic = {'V', 'E', 'L', 'M', 'O', 'R', 'I', '2'};
constexpr std::array<uint8_t, 4> kVersionBytes = {0x10, 0x02, 0x01, 0x01};
constexpr char kPrologueLabel[] = "Velmorine/VelSecure/v1";
constexpr size_t kPrologueLabelLength = sizeof(kPrologueLabel) - 1;
static_assert(kPrologueLabelLength + 2 * kVelSecurePreludeLength == kVelSecurePrologueLength);

// Why a peer prelude was refused; the detail of the protocol_error.
enum PreludeRefusal : uint32_t {
  kTooShort = 1,
  kTooLong = 2,
  kTlsClient = 3,
  kPlainJson = 4,
  kWrongMagic = 5,
  kWrongByte8 = 6,
  kWrongByte9 = 7,
  kWrongByte10 = 8,
  kWrongByte11 = 9,
  kWrongPurpose = 10,
  kWrongRole = 11,
  kNonZeroPadding = 12,
};

bool valid_role(uint32_t role) {
  return role == kVelSecureRoleInitiator || role == kVelSecureRoleResponder;
}
bool valid_purpose(uint32_t purpose) {
  return purpose == kVelSecurePurposeControl || purpose == kVelSecurePurposeData;
}

void fill_prelude(uint32_t role, uint32_t purpose, uint8_t* out) {
  std::memcpy(out, kMagic.data(), kMagic.size());
  std::memcpy(out + 8, kVersionBytes.data(), kVersionBytes.size());
  out[12] = static_cast<uint8_t>(purpose);
  out[13] = static_cast<uint8_t>(role);
  out[14] = 0;
  out[15] = 0;
}

// Checks in a fixed order so that a peer speaking another protocol is named as
// such before the magic is compared.
uint32_t refusal_of(uint32_t local_role, uint32_t local_purpose, const uint8_t* peer,
                    size_t length) {
  if (length < kVelSecurePreludeLength) return kTooShort;
  if (length > kVelSecurePreludeLength) return kTooLong;
  if (peer[0] == '{' || peer[0] == '[') return kPlainJson;
  if (peer[0] == 0x16 && peer[1] == 0x03) return kTlsClient;
  if (!std::equal(kMagic.begin(), kMagic.end(), peer)) return kWrongMagic;
  if (peer[8] != kVersionBytes[0]) return kWrongByte8;
  if (peer[9] != kVersionBytes[1]) return kWrongByte9;
  if (peer[10] != kVersionBytes[2]) return kWrongByte10;
  if (peer[11] != kVersionBytes[3]) return kWrongByte11;
  if (peer[12] != local_purpose) return kWrongPurpose;
  const uint32_t expected_role =
      local_role == kVelSecureRoleInitiator ? kVelSecureRoleResponder : kVelSecureRoleInitiator;
  if (peer[13] != expected_role) return kWrongRole;
  if (peer[14] != 0 || peer[15] != 0) return kNonZeroPadding;
  return 0;
}

}  // namespace

uint32_t velsecure_prelude_write(uint32_t role, uint32_t purpose, uint8_t* out, size_t capacity,
                                 size_t* out_length, StatusRecord* status) {
  if (out_length != nullptr) *out_length = 0;
  if (out_length == nullptr || out == nullptr || !valid_role(role) || !valid_purpose(purpose)) {
    if (out != nullptr && capacity >= kVelSecurePreludeLength) {
      std::memset(out, 0, kVelSecurePreludeLength);
    }
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PRELUDE, 0);
  }
  if (capacity < kVelSecurePreludeLength) {
    return velsecure_fail(status, VELSECURE_BUFFER_TOO_SMALL, VELSECURE_OP_PRELUDE, 1);
  }
  fill_prelude(role, purpose, out);
  *out_length = kVelSecurePreludeLength;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t velsecure_prelude_accept(uint32_t local_role, uint32_t local_purpose, const uint8_t* peer,
                                  size_t peer_length, uint8_t* prologue, size_t capacity,
                                  size_t* out_length, StatusRecord* status) {
  if (out_length != nullptr) *out_length = 0;
  if (prologue != nullptr && capacity >= kVelSecurePrologueLength) {
    std::memset(prologue, 0, kVelSecurePrologueLength);
  }
  if (!valid_role(local_role) || !valid_purpose(local_purpose) || peer == nullptr ||
      prologue == nullptr || out_length == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_PRELUDE, 0);
  }
  if (capacity < kVelSecurePrologueLength) {
    return velsecure_fail(status, VELSECURE_BUFFER_TOO_SMALL, VELSECURE_OP_PRELUDE, 1);
  }
  if (const uint32_t refusal = refusal_of(local_role, local_purpose, peer, peer_length)) {
    return velsecure_fail(status, VELSECURE_PROTOCOL_ERROR, VELSECURE_OP_PRELUDE, refusal);
  }
  // The initiator's prelude comes first whichever side builds the prologue.
  std::memcpy(prologue, kPrologueLabel, kPrologueLabelLength);
  uint8_t* first = prologue + kPrologueLabelLength;
  uint8_t* second = first + kVelSecurePreludeLength;
  uint8_t* local = local_role == kVelSecureRoleInitiator ? first : second;
  uint8_t* remote = local_role == kVelSecureRoleInitiator ? second : first;
  fill_prelude(local_role, local_purpose, local);
  std::memcpy(remote, peer, kVelSecurePreludeLength);
  *out_length = kVelSecurePrologueLength;
  velsecure_error_reset(status);
  return VELSECURE_OK;
}
