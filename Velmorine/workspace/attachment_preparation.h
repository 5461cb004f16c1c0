#pragma once

// The composer's attachment preparation as the workspace model uses it: the files chosen for
// one peer and their preparation into a batch. The preparation itself belongs to the transfer
// subsystem; the model reaches it only through this interface, so that it sits below neither.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_url.h"
#include "native/protocol/uuid.h"

namespace velmorine::transfer {
class PreparedBatch;
}

namespace velmorine::workspace {

// A batch that is ready to send, with the identifier the preparation knows it by.
struct PreparedAttachments {
  core::Uuid id;
  std::shared_ptr<transfer::PreparedBatch> batch;
};

// All of it runs on the main thread.
class AttachmentPreparation {
 public:
  virtual ~AttachmentPreparation() = default;

  // Published state.
  virtual bool hasSelections() const = 0;
  virtual std::optional<PreparedAttachments> prepared() const = 0;
  virtual bool preparing() const = 0;
  // Drops whose items are still loading.
  virtual std::int64_t pendingImports() const = 0;
  virtual std::optional<transfer::ContentFailure::Case> error() const = 0;
  virtual void setError(std::optional<transfer::ContentFailure::Case> error) = 0;
  virtual const std::optional<std::string>& recipientID() const = 0;
  // Whether its file chooser is open.
  virtual bool choosing() const = 0;

  // What the composer's attachment list shows and changes. A preparation that offers none of it
  // lists nothing.
  // The chosen items in the order picked (a folder's URL marks itself as one).
  virtual std::vector<transfer::ContentUrl> selections() const { return {}; }
  virtual void setSelections(std::vector<transfer::ContentUrl>) {}
  // Prepares the current selections again, replacing any running preparation.
  virtual void prepare() {}
  // The user's consent to send package folders as items.
  virtual bool allowPackages() const { return false; }
  virtual void setAllowPackages(bool) {}
  // Runs `changed` on the main thread after published state changed, until the returned token is
  // released.
  virtual std::shared_ptr<void> observe(std::function<void()> changed) {
    (void)changed;
    return nullptr;
  }

  // Binds an unbound preparation to the contact, or confirms the same contact: true; false
  // when it belongs to another contact.
  virtual bool bindRecipient(const std::string& contactID) = 0;
  // Opens the file chooser.
  virtual void choose() = 0;
  // Stops any preparation and import and empties it.
  virtual void clear() = 0;
  // Stops the running preparation and drops its result.
  virtual void cancel() = 0;
  // The runtime accepted the batch `batchID`: the preparation empties itself when that is
  // still its prepared batch.
  virtual void finishSent(const core::Uuid& batchID) = 0;

  // Files dropped on the window: the drop announces itself before its items load (one more
  // pending import) and takes the generation to hand back; then it hands back the files it got,
  // in the order dropped, and whether any item gave none. A result of another generation (the
  // preparation was cleared meanwhile) is ignored; otherwise the files join the selections, the
  // pending imports go down by one, and a failed item cancels the run with `access`.
  virtual std::int64_t beginImport() = 0;
  virtual void importFinished(std::vector<std::filesystem::path> files, bool failed,
                              std::int64_t generation) = 0;
};

// Makes a new, empty preparation for a contact, or without one.
using AttachmentPreparationFactory =
    std::function<std::shared_ptr<AttachmentPreparation>(std::optional<std::string> recipientID)>;

}  // namespace velmorine::workspace
