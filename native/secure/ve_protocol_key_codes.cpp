// The key codes of VEProtocol: fingerprints, safety codes and separate-contact
// identifiers, over the velsecure derivations.
#include <array>

#include "native/protocol/uuid.h"
#include "native/protocol/ve_protocol.h"
#include "native/secure/noise/noise_util.h"
#include "native/secure/velsecure_key_codes.h"

namespace velmorine {

namespace {

constexpr size_t kKeyLength = 32;

}  // namespace

std::optional<std::string> VEProtocol::fingerprint(std::span<const uint8_t> publicKey) {
  if (publicKey.size() != kKeyLength) return std::nullopt;
  std::array<uint8_t, VELSECURE_FINGERPRINT_LENGTH> digest{};
  if (velsecure_public_key_fingerprint(publicKey.data(), digest.data(), nullptr) != VELSECURE_OK) {
    return std::nullopt;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}

std::optional<std::string> VEProtocol::safetyCodeWithLocalID(std::string_view localID,
                                                             std::span<const uint8_t> localKey,
                                                             std::string_view remoteID,
                                                             std::span<const uint8_t> remoteKey,
                                                             std::span<const uint8_t> transcript) {
  const std::optional<core::Uuid> local = core::Uuid::parse(localID);
  const std::optional<core::Uuid> remote = core::Uuid::parse(remoteID);
  if (!local || !remote || localKey.size() != kKeyLength || remoteKey.size() != kKeyLength ||
      transcript.size() != kKeyLength) {
    return std::nullopt;
  }
  std::array<char, VELSECURE_SAFETY_CODE_CAPACITY> text{};
  if (velsecure_safety_code(local->bytes().data(), localKey.data(), remote->bytes().data(),
                            remoteKey.data(), transcript.data(), text.data(),
                            nullptr) != VELSECURE_OK) {
    return std::nullopt;
  }
  std::string code(text.data(), VELSECURE_SAFETY_CODE_LENGTH);
  noise_clean(text.data(), text.size());
  return code;
}

std::optional<std::string> VEProtocol::separateContactWithClaimedID(
    std::string_view claimedID, std::span<const uint8_t> publicKey) {
  const std::optional<core::Uuid> claimed = core::Uuid::parse(claimedID);
  if (!claimed || publicKey.size() != kKeyLength) return std::nullopt;
  core::Uuid::Bytes derived{};
  if (velsecure_separate_contact_uuid(claimed->bytes().data(), publicKey.data(), derived.data(),
                                      nullptr) != VELSECURE_OK) {
    return std::nullopt;
  }
  return core::Uuid(derived).to_string();
}

}  // namespace velmorine
