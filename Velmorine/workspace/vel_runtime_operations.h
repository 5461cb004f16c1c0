#pragma once

#include <memory>

#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/workspace/runtime_operations.h"

namespace velmorine::workspace {

// The runtime's operations as the workspace asks for them.
class VelRuntimeOperations final : public RuntimeOperations {
 public:
  // `mainQueue` delivers the completions that this adapter answers itself.
  VelRuntimeOperations(std::shared_ptr<runtime::VelRuntime> runtime,
                       std::function<void(std::function<void()>)> mainQueue);

  runtime::VelRuntime& runtime() { return *runtime_; }

  void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)> onSnapshot) override;
  void start() override;
  void suspend() override;
  void resume() override;
  void shutdown(std::function<void()> completion) override;
  void refreshDeviceName() override;
  void configureReminders() override;
  void connectPeer(std::string wireID) override;
  void selectConversation(std::string contactID, bool earlier) override;
  void sendText(std::string text, std::string wireID, std::string contactID,
                TextSent completion) override;
  void resendMessage(std::string messageID, std::string contactID) override;
  void cancelMessage(std::string messageID, std::string contactID) override;
  void cancelReminder(std::string peerID) override;
  void clearConversation(std::string wireID, std::string contactID, Completion completion) override;
  void setPeerBlocked(std::string peerID, bool blocked) override;
  void resolveChangedKey(std::string wireID, bool separate) override;
  void verifyPeer(std::string wireID) override;
  void setNetworkEnabled(bool enabled) override;
  void updatePreferences(std::function<void(store::AppPreferences&)> change) override;
  void renameDevice(std::optional<std::string> name, Completion completion) override;
  void resetDevices(Completion completion) override;
  void sendFiles(PreparedAttachments batch, std::string wireID, FilesSent completion) override;
  void acceptTransfer(std::string transferID, std::filesystem::path destination) override;
  void declineTransfer(std::string transferID) override;
  void cancelTransfer(std::string transferID) override;
  void retryTransfer(std::string transferID) override;
  void hideEndedTransfers(std::optional<std::string> contactID,
                          std::optional<std::string> transferID, Completion completion) override;
  void recoverReceives(std::filesystem::path destination) override;
  void removeReceivedRecord(std::string transferID) override;
  void relinkReceivedFolder(std::string transferID, std::filesystem::path folder,
                            ReceivedFolderRelinked completion) override;
  void openReceivedFolder(ReceivedFolderOpened completion) override;

 private:
  std::shared_ptr<runtime::VelRuntime> runtime_;
  std::function<void(std::function<void()>)> mainQueue_;
};

}  // namespace velmorine::workspace
