#pragma once

// Taking over a data folder of the program once, whole: staging checks a folder that the user
// picked and copies it, complete, beside the data folder D (in its parent A) as the pending
// folder; finishing swaps the pending folder in as D before the runtime opens the store. Every
// rename is exclusive and followed by an fsync of A, so that a crash or power cut at any point
// leaves D with its old data or the whole import, never a mix, and never loses the data it
// replaced (kept in A as "Velmorine-BeforeImport-" + UUID).

#include <filesystem>
#include <functional>
#include <string_view>

#include "Velmorine/shell/legacy_import_error.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/store_document.h"

namespace velmorine::shell {

// The places of an import, all in A, the parent of the data folder.
inline constexpr std::string_view kLegacyDataFolderName = "Velmorine";
inline constexpr std::string_view kPendingImportName = "Velmorine-PendingLegacyImport";
inline constexpr std::string_view kStagingCopyPrefix = ".Velmorine-import-";
inline constexpr std::string_view kPreviousDataPrefix = "Velmorine-BeforeImport-";
inline constexpr std::string_view kUnusedImportPrefix = "Velmorine-UnusedImport-";
// Written into the pending folder when finishing begins; it travels into D with the swap.
inline constexpr std::string_view kFinishingMarkerName = ".legacy-import-finishing";
inline constexpr std::string_view kHistoryFileName = "conversation-history-v2.sqlite";
inline constexpr std::string_view kReceivedFolderName = "Received";

// The steps after which a crash test may stop the process.
enum class LegacyImportStep {
  copying,           // the first file of the staging copy is written
  copied,            // the staging copy is complete
  copyChecked,       // the copy passed the tree check
  historyRead,       // the copy's history opened and read
  synced,            // A's file system was synced
  staged,            // the copy became the pending folder
  markerWritten,     // the finishing marker lies in the pending folder
  dataSetAside,      // D became a previous-data folder
  pendingSwapped,    // the pending folder became D
  documentAdjusted,  // the imported document's preferences and bookmarks are made
  documentWritten,   // the adjusted document is in D
  markerRemoved,     // the finishing marker is gone
};
std::string_view stepName(LegacyImportStep step);
using LegacyImportCheckpoint = std::function<void(LegacyImportStep)>;

// Throws LegacyMacImportError::invalidSource unless `root` is a folder (not a link) whose whole
// tree holds only folders and regular files; links are never followed. Hidden files are taken.
// File-system failures are thrown as std::system_error.
void validateLegacyTree(const std::filesystem::path& root);

// Throws destinationUsed when the data folder holds anything of a device in use: a trust
// record, audit entry, received entry or pending receive in its document, a history record, or
// an entry in "Received". A missing folder is not in use. Throws the tree check's error and the
// errors of reading the document and the history.
void ensureImportDestinationNotInUse(const std::filesystem::path& dataFolder);

// Checks `source` and copies it into the pending folder beside `dataFolder`. Blocking file
// work, for a thread of its own. Throws LegacyMacImportError, LocalStoreError,
// ConversationHistoryFailure, the JSON decoder's errors or std::system_error; a failure leaves
// no pending folder and no copy.
void stageLegacyImport(const std::filesystem::path& source, const std::filesystem::path& dataFolder,
                       store::IdentityKeychain& keychain,
                       const LegacyImportCheckpoint& checkpoint = {});

// Completes a pending or interrupted import, or does nothing when none waits. Runs before the
// runtime opens the store. A failure of the swap or the rewrite puts D and the pending folder
// back; a failure before the swap moved nothing.
void finishPendingLegacyImport(const std::filesystem::path& dataFolder,
                               store::IdentityKeychain& keychain,
                               const LegacyImportCheckpoint& checkpoint = {});

// Writes `document`, with networking, notifications and the destination folder cleared and the
// received folders bookmarked anew, into the data folder, then removes the finishing marker.
void rewriteImportedDocument(const std::filesystem::path& dataFolder, store::StoreDocument document,
                             const LegacyImportCheckpoint& checkpoint = {});

// Renames the waiting pending folder to "Velmorine-UnusedImport-" + UUID in A, where it is
// kept: an import that can no longer be finished must not stop every later launch. False when
// no pending folder waits.
bool setAsideUnusedImport(const std::filesystem::path& dataFolder);

// Removes the staging copies in A that no staging holds any more (a crash or a quit during a
// copy left them); a copy whose lock is held is another staging's and stays. Best effort.
void removeAbandonedStagingCopies(const std::filesystem::path& dataFolder);

}  // namespace velmorine::shell
