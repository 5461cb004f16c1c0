// Finishing: the pending folder is swapped in as the data folder, with recovery after a crash,
// and the imported document is adjusted for this device.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_files.h"
#include "Velmorine/store/local_store.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/files/durable_file.h"

namespace velmorine::shell {

namespace {

using platform::throw_errno;
using platform::UniqueFd;

UniqueFd openFolderOrThrow(const std::filesystem::path& folder) {
  UniqueFd fd = platform::open_folder(folder);
  if (!fd.valid()) throw_errno("open");
  return fd;
}

}  // namespace

void finishPendingLegacyImport(const std::filesystem::path& dataFolder,
                               store::IdentityKeychain& keychain,
                               const LegacyImportCheckpoint& checkpoint) {
  const auto reach = [&](LegacyImportStep step) {
    if (checkpoint) checkpoint(step);
  };
  const auto data = import_files::standardised(dataFolder);
  const auto parentFolder = data.parent_path();
  const std::string dataName = data.filename().string();
  const std::string pending(kPendingImportName);

  // The swap was made and the rewrite did not end: finish the rewrite.
  if (import_files::identityAt(data / kFinishingMarkerName)) {
    validateLegacyTree(data);
    store::LocalStore dataStore(data);
    dataStore.loadOrCreateIdentity(keychain);
    rewriteImportedDocument(data, dataStore.document(), checkpoint);
    return;
  }

  UniqueFd parent = platform::open_folder(parentFolder);
  if (!parent.valid()) {
    if (errno == ENOENT) return;
    throw_errno("open");
  }
  if (!import_files::existsAt(parent.get(), pending)) return;

  validateLegacyTree(parentFolder / pending);
  ensureImportDestinationNotInUse(data);
  // Both stores stay open until the marker is gone. Each holds its folder by descriptor: after
  // the swap the data store's lock guards the previous data, the pending store's guards D.
  const auto dataStore = std::make_unique<store::LocalStore>(data);
  const auto pendingStore = std::make_unique<store::LocalStore>(parentFolder / pending);

  const store::StoreDocument document = pendingStore->document();
  if (!document.identity || !keychain.load()) {
    throw LegacyMacImportError(LegacyMacImportError::Case::identityMismatch);
  }
  pendingStore->loadOrCreateIdentity(keychain);

  {
    const UniqueFd pendingFolder = openFolderOrThrow(parentFolder / pending);
    platform::replace_file_durably(pendingFolder.get(), std::string(kFinishingMarkerName), {});
  }
  reach(LegacyImportStep::markerWritten);

  const std::string previous = std::string(kPreviousDataPrefix) + import_files::freshUpperUuid();
  import_files::renameExclusively(parent.get(), dataName, previous);
  reach(LegacyImportStep::dataSetAside);

  try {
    import_files::renameExclusively(parent.get(), pending, dataName);
    reach(LegacyImportStep::pendingSwapped);
    rewriteImportedDocument(data, document, checkpoint);
  } catch (...) {
    // Back as it was: the import waits again (its marker travels with it), the data returns.
    if (import_files::existsAt(parent.get(), dataName) &&
        !import_files::existsAt(parent.get(), pending)) {
      import_files::renameExclusively(parent.get(), dataName, pending);
    }
    import_files::renameExclusively(parent.get(), previous, dataName);
    throw;
  }
}

void rewriteImportedDocument(const std::filesystem::path& dataFolder, store::StoreDocument document,
                             const LegacyImportCheckpoint& checkpoint) {
  const auto reach = [&](LegacyImportStep step) {
    if (checkpoint) checkpoint(step);
  };
  const auto data = import_files::standardised(dataFolder);
  // Networking, notifications and the destination wait for the user on this device.
  document.preferences.destinationBookmark.reset();
  document.preferences.networkEnabled = false;
  document.preferences.notificationsEnabled = false;
  for (auto& entry : document.received) {
    const auto container =
        data / kReceivedFolderName / ("Velmorine-" + entry.transferID.to_string());
    if (import_files::identityAt(container)) {
      entry.containerBookmark = platform::create_bookmark(container, /*read_only=*/false);
    }
  }
  reach(LegacyImportStep::documentAdjusted);

  const std::string text = store::encodeStoreDocument(document);
  if (text.size() > store::LocalStore::kMaximumDocumentSize) {
    throw store::LocalStoreError::capacity();
  }
  // By path: a store opened before the swap holds the folder that is now the previous data.
  const UniqueFd folder = openFolderOrThrow(data);
  platform::replace_file_durably(folder.get(), store::LocalStore::kDocumentName,
                                 std::as_bytes(std::span(text)));
  reach(LegacyImportStep::documentWritten);

  if (::unlinkat(folder.get(), std::string(kFinishingMarkerName).c_str(), 0) != 0) {
    throw_errno("unlinkat");
  }
  import_files::syncFolder(folder.get());
  reach(LegacyImportStep::markerRemoved);
}

bool setAsideUnusedImport(const std::filesystem::path& dataFolder) {
  const auto parentFolder = import_files::standardised(dataFolder).parent_path();
  const std::string pending(kPendingImportName);
  const UniqueFd parent = openFolderOrThrow(parentFolder);
  if (!import_files::existsAt(parent.get(), pending)) return false;
  // A store open on the pending folder (a finishing elsewhere) keeps it where it is.
  const UniqueFd pendingFolder = import_files::openTreeFolder(parent.get(), pending);
  const UniqueFd lock(
      ::openat(pendingFolder.get(), store::LocalStore::kLockName, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (lock.valid() && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    throw store::LocalStoreError::alreadyRunning();
  }
  if (!lock.valid() && errno != ENOENT) throw_errno("openat");
  import_files::renameExclusively(
      parent.get(), pending, std::string(kUnusedImportPrefix) + import_files::freshUpperUuid());
  return true;
}

}  // namespace velmorine::shell
