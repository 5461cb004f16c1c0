#pragma once

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
  // as the transfer engine records them to notice a replaced folder.
  std::uint64_t rootDevice = 0;
  std::optional<std::string> rootVolumeUUID;
  std::uint64_t rootInode = 0;
  std::uint64_t stageInode = 0;
  std::uint64_t payloadInode = 0;

  friend bool operator==(const ReceiveJournal&, const ReceiveJournal&) = default;
};

OrderedJson encodeReceiveJournal(const ReceiveJournal& journal);
ReceiveJournal decodeReceiveJournal(const FieldReader& object);

}  // namespace velmorine::store
