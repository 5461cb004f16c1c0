#pragma once

// What the workspace model and the views ask of the runtime. Every operation captures its
// arguments and returns at once; its effect arrives as a later snapshot, and a completion, where
// there is one, runs on the main queue. VelRuntimeOperations implements it over the runtime;
// tests record the calls.

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Velmorine/runtime/runtime_message.h"
#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/store/store_document.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/workspace/attachment_preparation.h"

namespace velmorine::workspace {

class RuntimeOperations {
 public:
  using Completion = std::function<void(bool)>;
  using TextSent = std::function<void(std::optional<runtime::SendRejection>)>;
  using FilesSent = std::function<void(std::optional<transfer::ContentFailure::Case>)>;
  // The folder, or the failure that kept it from being made.
  using ReceivedFolderOpened =
      std::function<void(std::expected<std::filesystem::path, transfer::ContentFailure::Case>)>;
  using ReceivedFolderRelinked = std::function<void(std::optional<store::ReceiveIndexEntry>)>;

  virtual ~RuntimeOperations() = default;

  // Installed once by the model before the runtime starts; called on the main queue.
  virtual void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)> onSnapshot) = 0;

  // Lifecycle.
  virtual void start() = 0;
  virtual void suspend() = 0;
  virtual void resume() = 0;
  virtual void shutdown(std::function<void()> completion) = 0;
  virtual void refreshDeviceName() = 0;
  virtual void configureReminders() = 0;

  // Peers and chat.
  virtual void connectPeer(std::string wireID) = 0;
  virtual void selectConversation(std::string contactID, bool earlier) = 0;
  virtual void sendText(std::string text, std::string wireID, std::string contactID,
                        TextSent completion) = 0;
  virtual void resendMessage(std::string messageID, std::string contactID) = 0;
  virtual void cancelMessage(std::string messageID, std::string contactID) = 0;
  virtual void cancelReminder(std::string peerID) = 0;
  virtual void clearConversation(std::string wireID, std::string contactID,
                                 Completion completion) = 0;
  virtual void setPeerBlocked(std::string peerID, bool blocked) = 0;
  virtual void resolveChangedKey(std::string wireID, bool separate) = 0;
  virtual void verifyPeer(std::string wireID) = 0;

  // Settings.
  virtual void setNetworkEnabled(bool enabled) = 0;
  virtual void updatePreferences(std::function<void(store::AppPreferences&)> change) = 0;
  virtual void renameDevice(std::optional<std::string> name, Completion completion) = 0;
  virtual void resetDevices(Completion completion) = 0;

  // Transfers and received files.
  virtual void sendFiles(PreparedAttachments batch, std::string wireID, FilesSent completion) = 0;
  virtual void acceptTransfer(std::string transferID, std::filesystem::path destination) = 0;
  virtual void declineTransfer(std::string transferID) = 0;
  virtual void cancelTransfer(std::string transferID) = 0;
  virtual void retryTransfer(std::string transferID) = 0;
  // All ended transfers, or those of one contact, or one transfer.
  virtual void hideEndedTransfers(std::optional<std::string> contactID,
                                  std::optional<std::string> transferID, Completion completion) = 0;
  virtual void recoverReceives(std::filesystem::path destination) = 0;
  virtual void removeReceivedRecord(std::string transferID) = 0;
  virtual void relinkReceivedFolder(std::string transferID, std::filesystem::path folder,
                                    ReceivedFolderRelinked completion) = 0;
  virtual void openReceivedFolder(ReceivedFolderOpened completion) = 0;
};

}  // namespace velmorine::workspace
