#pragma once

// What the durable attachment outbox persists for a batch it copied into its staging folder;
// the bytes of file entry k lie there as "content-k".

#include <cstdint>
#include <string>
#include <vector>

#include "Velmorine/store/document_fields.h"
#include "Velmorine/transfer/content_entry.h"
#include "native/protocol/uuid.h"

namespace velmorine::transfer {

struct DurableBatchSource {
  core::Uuid id;  // its lower-case text names the staging folder
  std::vector<ContentEntry> entries;
  std::uint64_t totalBytes = 0;
  std::int64_t topLevelCount = 0;

  friend bool operator==(const DurableBatchSource&, const DurableBatchSource&) = default;
};

// Keys "id" (upper-case UUID text), "entries", "totalBytes", "topLevelCount", in that order.
store::OrderedJson encodeJson(const DurableBatchSource& source);
// Every key is required and must hold its kind; the values are checked by whoever reopens the
// batch. Throws store::StoreDecodingError.
DurableBatchSource decodeDurableBatchSource(const store::Json& value,
                                            const std::string& path = "source");

}  // namespace velmorine::transfer
