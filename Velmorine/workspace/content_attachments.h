#pragma once

// The composer's attachment preparation as the program makes it: the content layer's model, run
// on the interface's main queue, with files chosen in a file dialog over the active window.

#include <map>
#include <memory>

#include "Velmorine/transfer/attachment_preparation.h"
#include "Velmorine/workspace/attachment_preparation.h"

namespace velmorine::workspace {

class ContentAttachments final : public AttachmentPreparation {
 public:
  explicit ContentAttachments(std::shared_ptr<transfer::AttachmentPreparation> preparation);

  bool hasSelections() const override;
  std::optional<PreparedAttachments> prepared() const override;
  bool preparing() const override;
  std::int64_t pendingImports() const override;
  std::optional<transfer::ContentFailure::Case> error() const override;
  void setError(std::optional<transfer::ContentFailure::Case> error) override;
  const std::optional<std::string>& recipientID() const override;
  bool choosing() const override;
  std::vector<transfer::ContentUrl> selections() const override;
  void setSelections(std::vector<transfer::ContentUrl> selections) override;
  void prepare() override;
  bool allowPackages() const override;
  void setAllowPackages(bool allow) override;
  std::shared_ptr<void> observe(std::function<void()> changed) override;
  bool bindRecipient(const std::string& contactID) override;
  void choose() override;
  void clear() override;
  void cancel() override;
  void finishSent(const core::Uuid& batchID) override;
  std::int64_t beginImport() override;
  void importFinished(std::vector<std::filesystem::path> files, bool failed,
                      std::int64_t generation) override;

  transfer::AttachmentPreparation& content() { return *preparation_; }

 private:
  void announce();

  std::shared_ptr<transfer::AttachmentPreparation> preparation_;
  // Observers by number; a change is announced once per turn of the main queue.
  std::map<std::uint64_t, std::function<void()>> observers_;
  std::uint64_t nextObserver_ = 0;
  bool announcing_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Files (several at once) picked in a window-modal file dialog over the active window.
class FileDialogChooser final : public transfer::AttachmentChooser {
 public:
  void choose(std::function<void(std::optional<std::vector<transfer::ContentUrl>>)> done) override;
};

// The interface's main queue as the content layer's executor.
std::shared_ptr<transfer::Executor> mainQueueExecutor();

// Makes the program's preparations.
AttachmentPreparationFactory contentAttachmentFactory();

}  // namespace velmorine::workspace
