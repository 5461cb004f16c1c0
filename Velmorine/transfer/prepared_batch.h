#pragma once

// A prepared batch as the sender keeps it from preparation to the end of its transfer: the
// manifest, where each entry's bytes come from, and what each source looked like when it was
// read; and the reader that streams one file of it, checking it against that record.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_entry.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "Velmorine/transfer/source_stamp.h"
#include "native/protocol/uuid.h"
#include "platform/files/unique_fd.h"

namespace velmorine::transfer {

// A verification step that found a source other than it was prepared.
struct SourceVerificationFailure {
  enum class Stage {
    preparationEOF,
    preparationFile,
    preparationDirectory,
    providerRelocation,
    reopenRoot,
    reopenDescendant,
    reopenFile,
    readMetadata,
    readDigest,
    readEOF,
  };

  Stage stage = Stage::preparationEOF;
  std::vector<std::string> fields;  // differing stamp fields; empty where none were compared

  friend bool operator==(const SourceVerificationFailure&,
                         const SourceVerificationFailure&) = default;
};

std::string_view rawValue(SourceVerificationFailure::Stage stage);

using VerificationFailed = std::function<void(const SourceVerificationFailure&)>;

// Where one entry's bytes come from.
struct PreparedSource {
  std::int64_t root = 0;              // index into the batch's access objects and root stamps
  std::vector<std::string> relative;  // components from the root down; empty for the root
  SourceStamp stamp;                  // the node when it was prepared

  friend bool operator==(const PreparedSource&, const PreparedSource&) = default;
};

class PreparedReader;

class PreparedBatch : public std::enable_shared_from_this<PreparedBatch> {
 public:
  PreparedBatch(core::Uuid id, std::vector<ContentEntry> entries, std::uint64_t totalBytes,
                std::int64_t topLevelCount,
                std::vector<std::unique_ptr<ScopedContentAccess>> access,
                std::vector<SourceStamp> roots, std::vector<PreparedSource> sources,
                VerificationFailed verificationFailed);
  PreparedBatch(const PreparedBatch&) = delete;
  PreparedBatch& operator=(const PreparedBatch&) = delete;

  const core::Uuid& id() const { return id_; }
  const std::vector<ContentEntry>& entries() const { return entries_; }
  std::uint64_t totalBytes() const { return totalBytes_; }
  std::int64_t topLevelCount() const { return topLevelCount_; }
  const ScopedContentAccess& access(std::size_t root) const { return *access_.at(root); }
  const std::vector<SourceStamp>& roots() const { return roots_; }
  const std::vector<PreparedSource>& sources() const { return sources_; }

  // Reports a failed verification step to the closure the batch was prepared with.
  void verificationFailed(const SourceVerificationFailure& failure) const;

  // The read-only bookmark of a file entry's source; none for a folder entry or an index out of
  // range, without touching the file system. The bookmark layer's error is passed on.
  std::optional<std::vector<std::uint8_t>> sourceBookmark(std::int64_t index) const;

  // Reopens a file entry's source relative to its root without following links and checks each
  // node against the batch's record; see source_verification.cpp.
  std::unique_ptr<PreparedReader> openReader(std::int64_t index);

 private:
  core::Uuid id_;
  std::vector<ContentEntry> entries_;
  std::uint64_t totalBytes_;
  std::int64_t topLevelCount_;
  std::vector<std::unique_ptr<ScopedContentAccess>> access_;
  std::vector<SourceStamp> roots_;
  std::vector<PreparedSource> sources_;
  VerificationFailed verificationFailed_;
};

// Streams one file entry of a batch from a descriptor that stays open for the reader's life.
class PreparedReader {
 public:
  PreparedReader(platform::UniqueFd fd, SourceStamp stamp, ContentEntry entry,
                 std::shared_ptr<PreparedBatch> owner);

  // The next chunk of at most 0x40000 bytes, or none once the whole file was read and matched
  // its digest. The file's stamp is checked before every chunk and before the end. Throws
  // cancelled, access, or changed after reporting the failed step to the batch.
  std::optional<std::vector<std::uint8_t>> next(const ContentCancellation& cancellation);

  const ContentEntry& entry() const { return entry_; }
  std::uint64_t offset() const { return offset_; }

 private:
  platform::UniqueFd fd_;
  SourceStamp stamp_;
  ContentEntry entry_;
  std::shared_ptr<PreparedBatch> owner_;
  ContentDigest hash_;
  std::uint64_t offset_ = 0;
};

}  // namespace velmorine::transfer
