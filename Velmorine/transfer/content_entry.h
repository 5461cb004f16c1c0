#pragma once

// One file or folder of a batch's manifest, and its JSON as records and the outbox keep it.

#include <cstdint>
#include <optional>
#include <string>

#include "Velmorine/store/document_fields.h"

namespace velmorine::transfer {

struct ContentEntry {
  int64_t index = 0;  // position in the batch, from 0
  std::string path;   // "/"-joined, beginning with the top-level item's name
  bool directory = false;
  uint64_t size = 0;                  // 0 for a folder
  std::string modifiedUTC;            // ISO 8601 UTC with milliseconds and "Z"
  std::optional<std::string> sha256;  // 64 lower-case hex digits; absent for a folder

  friend bool operator==(const ContentEntry&, const ContentEntry&) = default;
};

// Keys "index", "path", "directory", "size", "modifiedUTC", then "sha256" only when present.
store::OrderedJson encodeJson(const ContentEntry& entry);
// Every key but "sha256" is required and must hold its kind; throws store::StoreDecodingError
// naming `path` otherwise.
ContentEntry decodeContentEntry(const store::Json& value, const std::string& path = "entry");

}  // namespace velmorine::transfer
