// Hostile discovery datagrams: the reader must never crash, and whatever it accepts must be
// writable again and read back to the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "native/protocol/discovery_announcement.h"

using namespace velmorine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto local = *core::Uuid::parse("0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3");
  const auto result = protocol::parse_discovery(std::span<const uint8_t>(data, size), local);
  if (result.status != protocol::DiscoveryStatus::accepted) return 0;
  if (!result.announcement) std::abort();
  const auto text = protocol::serialize_discovery(*result.announcement);
  if (!text) std::abort();
  const auto again = protocol::parse_discovery(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text->data()), text->size()),
      local);
  if (again.status != protocol::DiscoveryStatus::accepted ||
      *again.announcement != *result.announcement) {
    std::abort();
  }
  return 0;
}
