// The tree check and the test that a data folder holds nothing of a device in use.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_files.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "platform/files/durable_file.h"

namespace velmorine::shell {

namespace {

using platform::throw_errno;
using platform::UniqueFd;
using store::LocalStore;

// The document's text, read without following a link and never beyond the store's limit.
std::string readDocument(int folder) {
  UniqueFd file(
      ::openat(folder, LocalStore::kDocumentName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) throw_errno("openat");
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw_errno("fstat");
  if (!S_ISREG(status.st_mode)) throw store::LocalStoreError::corrupt();
  std::string text(LocalStore::kMaximumDocumentSize + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t got = ::read(file.get(), text.data() + filled, text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > LocalStore::kMaximumDocumentSize) throw store::LocalStoreError::corrupt();
  text.resize(filled);
  return text;
}

bool documentInUse(const store::StoreDocument& document) {
  return !document.trust.empty() || !document.received.empty() || !document.audit.empty() ||
         (document.pendingReceives && !document.pendingReceives->empty());
}

[[noreturn]] void destinationUsed() {
  throw LegacyMacImportError(LegacyMacImportError::Case::destinationUsed);
}

}  // namespace

void validateLegacyTree(const std::filesystem::path& root) {
  const UniqueFd folder = import_files::openTreeRoot(root);
  import_files::validateTree(folder.get());
}

void ensureImportDestinationNotInUse(const std::filesystem::path& dataFolder) {
  if (!import_files::identityAt(dataFolder)) return;
  const UniqueFd folder = import_files::openTreeRoot(dataFolder);
  import_files::validateTree(folder.get());

  if (import_files::existsAt(folder.get(), LocalStore::kDocumentName)) {
    if (documentInUse(store::readStoreDocument(readDocument(folder.get())))) destinationUsed();
  }
  const std::string history(kHistoryFileName);
  if (import_files::existsAt(folder.get(), history)) {
    store::ConversationHistory conversations(dataFolder / history);
    const auto page = conversations.loadRecords(std::nullopt, std::nullopt, 1, false);
    // A row that breaks the value rules is still someone's history.
    if (!page.records.empty() || !page.skipped.empty()) destinationUsed();
  }
  const std::string received(kReceivedFolderName);
  if (import_files::existsAt(folder.get(), received)) {
    const UniqueFd receivedFolder = import_files::openTreeFolder(folder.get(), received);
    if (!import_files::entryNames(receivedFolder.get()).empty()) destinationUsed();
  }
}

}  // namespace velmorine::shell
