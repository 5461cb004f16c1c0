// Staging: the chosen folder is checked and copied, complete and synced, into the pending
// folder; and the sweep of copies that a staging cut short left behind.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_files.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "platform/files/durable_file.h"

namespace velmorine::shell {

namespace {

using import_files::ItemIdentity;
using platform::throw_errno;
using platform::UniqueFd;

[[noreturn]] void fail(LegacyMacImportError::Case errorCase) {
  throw LegacyMacImportError(errorCase);
}

// Whether the folder `outer` is one of the folders that lead to `path` (links followed, as the
// path's own lookup follows them).
bool liesWithin(const std::filesystem::path& path, const ItemIdentity& outer) {
  for (auto folder = path.parent_path(); !folder.empty(); folder = folder.parent_path()) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0 &&
        ItemIdentity{status.st_dev, status.st_ino} == outer) {
      return true;
    }
    if (folder == folder.root_path()) break;
  }
  return false;
}

void checkSourcePlace(const std::filesystem::path& source, const std::filesystem::path& data) {
  if (source == data) fail(LegacyMacImportError::Case::invalidSource);
  // The same folder by another path (a bind mount, a link on the way), or one folder inside the
  // other: the copy would take the data folder along, or land inside what it copies.
  const auto sourceIdentity = import_files::identityAt(source);
  const auto dataIdentity = import_files::identityAt(data);
  if (sourceIdentity && dataIdentity && *sourceIdentity == *dataIdentity) {
    fail(LegacyMacImportError::Case::invalidSource);
  }
  if (sourceIdentity && liesWithin(data, *sourceIdentity)) {
    fail(LegacyMacImportError::Case::invalidSource);
  }
  if (dataIdentity && liesWithin(source, *dataIdentity)) {
    fail(LegacyMacImportError::Case::invalidSource);
  }
}

std::unique_ptr<store::LocalStore> openSourceStore(const std::filesystem::path& source) {
  try {
    return std::make_unique<store::LocalStore>(source);
  } catch (const store::LocalStoreError& error) {
    if (error.errorCase() == store::LocalStoreError::Case::alreadyRunning) {
      fail(LegacyMacImportError::Case::sourceBusy);
    }
    throw;
  }
}

// A fresh, empty staging copy in A, 0700 and locked: the lock tells the sweep of a later launch
// that a staging still works on it.
UniqueFd makeStagingCopy(int parent, const std::string& name) {
  if (::mkdirat(parent, name.c_str(), 0700) != 0) throw_errno("mkdirat");
  UniqueFd copy(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid()) throw_errno("openat");
  if (::flock(copy.get(), LOCK_EX | LOCK_NB) != 0) throw_errno("flock");
  struct stat status {};
  if (::fstat(copy.get(), &status) != 0) throw_errno("fstat");
  // A sweep that took the lock first removed the folder.
  if (status.st_nlink == 0) throw_errno(ENOENT, "flock");
  if (::fchmod(copy.get(), 0700) != 0) throw_errno("fchmod");
  return copy;
}

}  // namespace

std::string_view stepName(LegacyImportStep step) {
  switch (step) {
    case LegacyImportStep::copying:
      return "copying";
    case LegacyImportStep::copied:
      return "copied";
    case LegacyImportStep::copyChecked:
      return "copyChecked";
    case LegacyImportStep::historyRead:
      return "historyRead";
    case LegacyImportStep::synced:
      return "synced";
    case LegacyImportStep::staged:
      return "staged";
    case LegacyImportStep::markerWritten:
      return "markerWritten";
    case LegacyImportStep::dataSetAside:
      return "dataSetAside";
    case LegacyImportStep::pendingSwapped:
      return "pendingSwapped";
    case LegacyImportStep::documentAdjusted:
      return "documentAdjusted";
    case LegacyImportStep::documentWritten:
      return "documentWritten";
    case LegacyImportStep::markerRemoved:
      return "markerRemoved";
  }
  return "unknown";
}

void stageLegacyImport(const std::filesystem::path& sourceFolder,
                       const std::filesystem::path& dataFolder, store::IdentityKeychain& keychain,
                       const LegacyImportCheckpoint& checkpoint) {
  const auto reach = [&](LegacyImportStep step) {
    if (checkpoint) checkpoint(step);
  };
  const auto source = import_files::standardised(sourceFolder);
  const auto data = import_files::standardised(dataFolder);
  const auto parentFolder = data.parent_path();

  checkSourcePlace(source, data);
  if (source.filename() != kLegacyDataFolderName) fail(LegacyMacImportError::Case::invalidSource);
  validateLegacyTree(source);
  ensureImportDestinationNotInUse(data);
  {
    const UniqueFd folder = import_files::openTreeRoot(source);
    struct stat status {};
    if (::fstatat(folder.get(), store::LocalStore::kDocumentName, &status, AT_SYMLINK_NOFOLLOW) !=
            0 ||
        !S_ISREG(status.st_mode)) {
      fail(LegacyMacImportError::Case::invalidSource);
    }
  }

  // Held until staging ends: no other process writes the source while it is copied.
  const auto sourceStore = openSourceStore(source);
  const auto& document = sourceStore->document();
  if (!document.identity) fail(LegacyMacImportError::Case::identityMismatch);
  if (!keychain.load()) fail(LegacyMacImportError::Case::identityMismatch);
  sourceStore->loadOrCreateIdentity(keychain);
  if (document.pendingReceives && !document.pendingReceives->empty()) {
    fail(LegacyMacImportError::Case::unfinished);
  }

  platform::create_private_folders(parentFolder);
  const UniqueFd parent = platform::open_folder(parentFolder);
  if (!parent.valid()) throw_errno("open");
  const std::string pending(kPendingImportName);
  if (import_files::existsAt(parent.get(), pending)) {
    fail(LegacyMacImportError::Case::destinationUsed);
  }

  const std::string copyName = std::string(kStagingCopyPrefix) + import_files::freshUpperUuid();
  const UniqueFd copy = makeStagingCopy(parent.get(), copyName);
  try {
    const UniqueFd from = import_files::openTreeRoot(source);
    bool firstFile = true;
    import_files::copyTree(from.get(), copy.get(), import_files::identityOf(copy.get()), [&] {
      if (std::exchange(firstFile, false)) reach(LegacyImportStep::copying);
    });
    reach(LegacyImportStep::copied);

    // A link or node swapped into the source after its check was copied as it is: caught here.
    import_files::validateTree(copy.get());
    reach(LegacyImportStep::copyChecked);

    const std::string history(kHistoryFileName);
    if (import_files::existsAt(copy.get(), history)) {
      store::ConversationHistory conversations(parentFolder / copyName / history);
      conversations.loadRecords(std::nullopt, std::nullopt, 1, false);
    }
    reach(LegacyImportStep::historyRead);

    // Everything of the copy reaches the disk before a name says it is complete; one sync of
    // the file system is far cheaper than an fsync of every file and folder.
    if (::syncfs(copy.get()) != 0) throw_errno("syncfs");
    reach(LegacyImportStep::synced);

    if (::renameat2(parent.get(), copyName.c_str(), parent.get(), pending.c_str(),
                    RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) fail(LegacyMacImportError::Case::destinationUsed);
      throw_errno("renameat2");
    }
  } catch (...) {
    try {
      import_files::removeTree(parent.get(), copyName);
    } catch (...) {
      // The sweep of a later launch takes what is left once the lock is gone.
    }
    throw;
  }
  try {
    import_files::syncFolder(parent.get());
  } catch (...) {
    // Not known to be durable: a failed staging leaves no pending folder.
    try {
      import_files::removeTree(parent.get(), pending);
    } catch (...) {
    }
    throw;
  }
  reach(LegacyImportStep::staged);
}

void removeAbandonedStagingCopies(const std::filesystem::path& dataFolder) {
  const UniqueFd parent =
      platform::open_folder(import_files::standardised(dataFolder).parent_path());
  if (!parent.valid()) return;
  std::vector<std::string> names;
  try {
    names = import_files::entryNames(parent.get());
  } catch (...) {
    return;
  }
  bool removed = false;
  for (const auto& name : names) {
    const std::string_view text = name;
    if (!text.starts_with(kStagingCopyPrefix) ||
        !import_files::isUpperUuid(text.substr(kStagingCopyPrefix.size()))) {
      continue;
    }
    struct stat status {};
    if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode)) {
      continue;
    }
    const UniqueFd copy(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!copy.valid() || ::flock(copy.get(), LOCK_EX | LOCK_NB) != 0) continue;
    try {
      import_files::removeTree(parent.get(), name);
      removed = true;
    } catch (...) {
      // Left for a later launch.
    }
  }
  if (removed) {
    try {
      import_files::syncFolder(parent.get());
    } catch (...) {
    }
  }
}

}  // namespace velmorine::shell
