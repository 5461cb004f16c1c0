#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/local_store_error.h"
#include "Velmorine/store/store_document.h"
#include "platform/files/unique_fd.h"

namespace velmorine::store {

// The application's one store document in a store folder, held under an exclusive lock on
// "instance.lock" for as long as the object lives, so that one store at a time, in this process
// or another, works on the folder. Used from one thread or queue at a time.
class LocalStore {
 public:
  static constexpr const char* kDocumentName = "state-v1.json";
  static constexpr const char* kLockName = "instance.lock";
  static constexpr std::size_t kMaximumDocumentSize = 8 * 1024 * 1024;
  static constexpr std::size_t kMaximumTrustRecords = 4096;
  static constexpr std::size_t kMaximumAuditEntries = 10000;
  static constexpr std::size_t kMaximumReceivedEntries = 10000;
  static constexpr std::size_t kMaximumPendingReceives = 128;

  // Creates the folder (0700) when missing, takes the lock and reads the document, or starts
  // from the default document when there is none; writes nothing. Throws LocalStoreError
  // (corrupt, newerSchema, alreadyRunning), std::system_error and StoreDecodingError; a failed
  // open holds no lock.
  explicit LocalStore(const std::filesystem::path& folder);
  ~LocalStore() = default;  // closing the lock descriptor releases the lock

  LocalStore(const LocalStore&) = delete;
  LocalStore& operator=(const LocalStore&) = delete;

  // The current document: the only copy that readers see; it changes only when an update has
  // been written durably.
  const StoreDocument& document() const { return document_; }
  // Names the current document: it changes with every write and no two stores of the process
  // share one, so whoever derives something from the document can tell when to derive it again.
  uint64_t revision() const { return revision_; }
  // The document file: the store folder followed by "state-v1.json".
  const std::filesystem::path& url() const { return url_; }
  int lockFD() const { return lock_.get(); }

  // A change receives a copy of the document and may throw; its error reaches the caller and
  // nothing is written.
  using Change = std::function<void(StoreDocument&)>;

  // Applies `change` to a copy, checks the store's limits (LocalStoreError::capacity), writes the
  // copy durably and only then makes it the current document. Throws the change's error,
  // capacity, StoreEncodingError or std::system_error; `document()` is unchanged by a failure.
  void update(const Change& change);

  // Un-hides the historical peers whose trust record belongs to an announced device: its
  // identifier text (lower case) and the fingerprint text of its announced key. Writes only when
  // a hidden peer comes back; throws the errors of update.
  void unhidePeers(std::string_view deviceID, std::string_view fingerprint);

  // Reads the identity item from `keychain` and checks it against the document, or, on the first
  // start, creates the identity, adds the item and stores the identity's public half. Throws
  // LocalStoreError (corrupt, identityMissing, identityMismatch, keychain),
  // SecureIdentityError and the errors of update. Nothing is repaired.
  DeviceIdentity loadOrCreateIdentity(IdentityKeychain& keychain);

  // Whether `updated` may follow `current`: the schema and the size limits hold, the audit is
  // only appended to and a stored identity keeps its value.
  static bool acceptsChange(const StoreDocument& current, const StoreDocument& updated);

 private:
  std::filesystem::path url_;
  platform::UniqueFd folder_;  // the folder as opened, so later moves of its path do not matter
  platform::UniqueFd lock_;
  StoreDocument document_;
  uint64_t revision_ = 0;
};

// The document's text in the store folder `folder`, read without following a link and never
// beyond the store's limit; nothing when there is none. A link, another kind of file or an
// oversized one is `corrupt`.
std::optional<std::string> readStoreDocumentText(int folder);

}  // namespace velmorine::store
