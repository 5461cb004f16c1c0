#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "Velmorine/store/document_fields.h"
#include "native/protocol/uuid.h"

namespace velmorine::store {

// The journal of one staged incoming transfer, as the transfer engine writes it beside the
// staged files; the store keeps a whole copy with each pending receive and never looks inside.
struct ReceiveJournal {
  std::int64_t schema = 1;
  core::Uuid transferID;
  std::string stageName;
  std::string finalName;
  // Device, volume and inodes of the destination root, the stage folder and the payload folder,
  // as the transfer engine records them to notice a replaced folder. The device is a signed
  // number in the journal's format; a Linux dev_t is kept by its bit pattern (journalDevice).
  std::int64_t rootDevice = 0;
  std::optional<std::string> rootVolumeUUID;
  std::uint64_t rootInode = 0;
  std::uint64_t stageInode = 0;
  std::uint64_t payloadInode = 0;

  friend bool operator==(const ReceiveJournal&, const ReceiveJournal&) = default;
};

// A Linux dev_t is 64 unsigned bits and the journal's device a signed 64-bit number: the bit
// pattern is kept as it is, so every device number, the top bit set or not, comes back unchanged.
static_assert(sizeof(dev_t) == sizeof(std::int64_t) && static_cast<dev_t>(-1) > 0);
constexpr std::int64_t journalDevice(dev_t device) { return static_cast<std::int64_t>(device); }
constexpr dev_t linuxDevice(std::int64_t journal_device) {
  return static_cast<dev_t>(journal_device);
}

OrderedJson encodeReceiveJournal(const ReceiveJournal& journal);
ReceiveJournal decodeReceiveJournal(const FieldReader& object);

}  // namespace velmorine::store
