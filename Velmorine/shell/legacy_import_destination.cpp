// The tree check and the test that a data folder holds nothing of a device in use.

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_files.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "platform/files/unique_fd.h"

namespace velmorine::shell {

namespace {

using platform::UniqueFd;

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

  if (const auto text = store::readStoreDocumentText(folder.get())) {
    if (documentInUse(store::readStoreDocument(*text))) destinationUsed();
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
