#pragma once

// A workspace model over a runtime and attachment preparations that do nothing, so that a
// benchmark measures the model's and the views' own work.

#include <memory>
#include <optional>
#include <string>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace::bench {

class IdleRuntime final : public RuntimeOperations {
 public:
  void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)>) override {}
  void start() override {}
  void suspend() override {}
  void resume() override {}
  void shutdown(std::function<void()>) override {}
  void refreshDeviceName() override {}
  void configureReminders() override {}
  void connectPeer(std::string) override {}
  void selectConversation(std::string, bool) override {}
  void sendText(std::string, std::string, std::string, TextSent) override {}
  void resendMessage(std::string, std::string) override {}
  void cancelMessage(std::string, std::string) override {}
  void cancelReminder(std::string) override {}
  void clearConversation(std::string, std::string, Completion) override {}
  void setPeerBlocked(std::string, bool) override {}
  void resolveChangedKey(std::string, bool) override {}
  void verifyPeer(std::string) override {}
  void setNetworkEnabled(bool) override {}
  void updatePreferences(std::function<void(store::AppPreferences&)>) override {}
  void renameDevice(std::optional<std::string>, Completion) override {}
  void resetDevices(Completion) override {}
  void sendFiles(PreparedAttachments, std::string, FilesSent) override {}
  void acceptTransfer(std::string, std::filesystem::path) override {}
  void declineTransfer(std::string) override {}
  void cancelTransfer(std::string) override {}
  void retryTransfer(std::string) override {}
  void hideEndedTransfers(std::optional<std::string>, std::optional<std::string>,
                          Completion) override {}
  void recoverReceives(std::filesystem::path) override {}
  void removeReceivedRecord(std::string) override {}
  void relinkReceivedFolder(std::string, std::filesystem::path, ReceivedFolderRelinked) override {}
  void openReceivedFolder(ReceivedFolderOpened) override {}
};

class NoAttachments final : public AttachmentPreparation {
 public:
  bool hasSelections() const override { return false; }
  std::optional<PreparedAttachments> prepared() const override { return std::nullopt; }
  bool preparing() const override { return false; }
  std::int64_t pendingImports() const override { return 0; }
  std::optional<transfer::ContentFailure::Case> error() const override { return std::nullopt; }
  void setError(std::optional<transfer::ContentFailure::Case>) override {}
  const std::optional<std::string>& recipientID() const override { return recipient_; }
  bool choosing() const override { return false; }
  bool bindRecipient(const std::string&) override { return true; }
  void choose() override {}
  void clear() override {}
  void cancel() override {}
  void finishSent(const core::Uuid&) override {}
  std::int64_t beginImport() override { return 0; }
  void importFinished(std::vector<std::filesystem::path>, bool, std::int64_t) override {}

 private:
  std::optional<std::string> recipient_;
};

inline std::unique_ptr<WorkspaceModel> makeIdleModel() {
  WorkspaceModel::Replacements replacements;
  replacements.runtime = std::make_shared<IdleRuntime>();
  replacements.enqueueText = [](auto&&...) {};
  replacements.enqueueAttachments = [](auto&&...) {};
  replacements.clearHistory = [](auto&&...) {};
  return std::make_unique<WorkspaceModel>(
      [](std::optional<std::string>) { return std::make_shared<NoAttachments>(); },
      std::move(replacements));
}

}  // namespace velmorine::workspace::bench
