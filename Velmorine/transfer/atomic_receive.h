#pragma once

// One accepted incoming transfer written so that its folder appears in the destination whole or
// not at all: a hidden stage with its journal and every folder of the manifest is laid out before
// the first byte, files are written strictly in order while they are hashed and sealed by size,
// digest and stamp, and the commit is one exclusive rename after everything was made durable.
// Nothing on disk is trusted: sealed files are checked again around the rename, and a stage is
// removed only while it is provably the one the journal names.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "Velmorine/store/receive_journal.h"
#include "Velmorine/transfer/background_digest.h"
#include "Velmorine/transfer/content_entry.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/receive_stage.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "Velmorine/transfer/source_stamp.h"
#include "native/protocol/uuid.h"
#include "platform/files/unique_fd.h"
#include "platform/volume/volume.h"

namespace velmorine::transfer {

// What a receive takes from its surroundings; tests replace parts of it.
struct ReceiveServices {
  ContentAccessFactory access = ScopedContentAccess::start;
  platform::VolumeUuidLookup volumeUuid = platform::system_volume_uuid_lookup();
  ReceiveCheckpoint checkpoint;  // test-only
};

// The largest FILE_CHUNK payload a receive writes in one call.
inline constexpr std::size_t kMaxReceiveChunk = 1 << 20;

class AtomicReceive {
 public:
  // Checks the manifest, the names this system's volumes can hold and the destination's volume,
  // then lays out the stage. Throws ContentFailure, leaving nothing behind that it can tell it
  // made.
  AtomicReceive(const ContentUrl& destination, const core::Uuid& transferID,
                std::vector<ContentEntry> entries, std::int64_t topLevelCount,
                std::uint64_t totalBytes, ReceiveServices services = {});
  // Closes what it holds and removes nothing.
  ~AtomicReceive();
  AtomicReceive(const AtomicReceive&) = delete;
  AtomicReceive& operator=(const AtomicReceive&) = delete;

  // FILE_BEGIN, FILE_CHUNK, FILE_END and TRANSFER_COMPLETE of the data session. Throw
  // ContentFailure (invalidManifest for a call out of order).
  void beginFile(std::int64_t index);
  void write(std::int64_t index, std::uint64_t offset, std::span<const std::uint8_t> data);
  void finishFile(std::int64_t index);
  ContentUrl commit();
  // Removes the stage while it is still the genuine one (after a commit, only its journal is
  // left in it). Never throws; a second call does nothing.
  void cancel() noexcept;

  std::uint64_t receivedBytes() const { return receivedBytes_; }
  const store::ReceiveJournal& journal() const { return journal_; }
  const ContentUrl& destination() const { return destination_; }
  const ContentUrl& finalURL() const { return finalURL_; }

  // After a restart or a released receive: decides from the file system alone whether the
  // journal's receive committed (the final folder's URL) or not (none), and removes its stage,
  // but only where the destination and the stage are provably the journal's. Throws
  // ContentFailure, or passes on an error of the volume UUID lookup.
  static std::optional<ContentUrl> recoverStaleStages(const ContentUrl& destination,
                                                      const store::ReceiveJournal& journal,
                                                      const ReceiveServices& services = {});

 private:
  void layOutStage();
  void removeStageAfterFailedInit() noexcept;
  void pass(std::string_view point) const;
  std::vector<std::string> componentsOf(const ContentEntry& entry) const;
  platform::UniqueFd openEntryFile(const ContentEntry& entry) const;
  void verify() const;
  void revalidateSealedFiles();
  SourceStamp rehashFile(int fd, const SourceStamp& sealed, const ContentEntry& entry);

  ContentUrl destination_;
  core::Uuid transferID_;
  std::vector<ContentEntry> entries_;
  std::uint64_t totalBytes_;
  ReceiveServices services_;
  std::string stageName_;
  std::string finalName_;
  ContentUrl finalURL_;
  store::ReceiveJournal journal_;
  std::unique_ptr<ScopedContentAccess> scope_;
  platform::UniqueFd root_;
  platform::UniqueFd stage_;
  platform::UniqueFd payload_;
  std::set<std::int64_t> completed_;
  platform::UniqueFd file_;
  std::optional<ContentEntry> current_;
  std::uint64_t fileOffset_ = 0;
  BackgroundDigest hash_;
  std::map<std::int64_t, SourceStamp> sealed_;
  std::uint64_t receivedBytes_ = 0;
  bool committed_ = false;
  bool cancelled_ = false;
};

}  // namespace velmorine::transfer
