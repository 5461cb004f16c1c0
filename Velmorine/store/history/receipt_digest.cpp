#include "Velmorine/store/history/receipt_digest.h"

#include "native/secure/primitives/sha256.h"

namespace velmorine::store::history {

std::array<uint8_t, 32> receiptDigest(std::string_view receiptText) {
  secure::Sha256State state;
  secure::sha256_reset(&state);
  secure::sha256_update(&state, reinterpret_cast<const uint8_t*>(receiptText.data()),
                        receiptText.size());
  std::array<uint8_t, 32> digest{};
  secure::sha256_finish(&state, digest.data());
  return digest;
}

}  // namespace velmorine::store::history
