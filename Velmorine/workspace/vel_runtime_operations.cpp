#include "Velmorine/workspace/vel_runtime_operations.h"

#include <utility>

namespace velmorine::workspace {

VelRuntimeOperations::VelRuntimeOperations(std::shared_ptr<runtime::VelRuntime> runtime,
                                           std::function<void(std::function<void()>)> mainQueue)
    : runtime_(std::move(runtime)), mainQueue_(std::move(mainQueue)) {}

void VelRuntimeOperations::setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)> onSnapshot) {
  runtime_->setOnSnapshot(std::move(onSnapshot));
}

void VelRuntimeOperations::start() { runtime_->start(); }
void VelRuntimeOperations::suspend() { runtime_->suspend(); }
void VelRuntimeOperations::resume() { runtime_->resume(); }

void VelRuntimeOperations::shutdown(std::function<void()> completion) {
  runtime_->shutdown(std::move(completion));
}

void VelRuntimeOperations::refreshDeviceName() { runtime_->refreshDeviceName(); }
void VelRuntimeOperations::configureReminders() { runtime_->configureReminders(); }
void VelRuntimeOperations::connectPeer(std::string wireID) {
  runtime_->connectPeer(std::move(wireID));
}

void VelRuntimeOperations::selectConversation(std::string contactID, bool earlier) {
  runtime_->selectConversation(std::move(contactID), earlier);
}

void VelRuntimeOperations::sendText(std::string text, std::string wireID, std::string contactID,
                                    TextSent completion) {
  runtime_->sendText(std::move(wireID), std::move(text), std::move(contactID),
                     std::move(completion));
}

void VelRuntimeOperations::resendMessage(std::string messageID, std::string contactID) {
  runtime_->resendMessage(std::move(contactID), std::move(messageID));
}

void VelRuntimeOperations::cancelMessage(std::string messageID, std::string contactID) {
  runtime_->cancelMessage(std::move(contactID), std::move(messageID));
}

void VelRuntimeOperations::cancelReminder(std::string peerID) {
  runtime_->cancelReminder(std::move(peerID));
}

void VelRuntimeOperations::clearConversation(std::string wireID, std::string contactID,
                                             Completion completion) {
  runtime_->clearConversation(std::move(contactID), std::move(wireID), std::move(completion));
}

void VelRuntimeOperations::setPeerBlocked(std::string peerID, bool blocked) {
  runtime_->setPeerBlocked(std::move(peerID), blocked);
}

void VelRuntimeOperations::resolveChangedKey(std::string wireID, bool separate) {
  runtime_->resolveChangedKey(std::move(wireID), separate);
}

void VelRuntimeOperations::verifyPeer(std::string wireID) {
  runtime_->verifyPeer(std::move(wireID));
}

void VelRuntimeOperations::setNetworkEnabled(bool enabled) { runtime_->setNetworkEnabled(enabled); }

void VelRuntimeOperations::updatePreferences(std::function<void(store::AppPreferences&)> change) {
  runtime_->updatePreferences(std::move(change));
}

void VelRuntimeOperations::renameDevice(std::optional<std::string> name, Completion completion) {
  runtime_->renameDevice(std::move(name), std::move(completion));
}

void VelRuntimeOperations::resetDevices(Completion completion) {
  runtime_->resetDevices(std::move(completion));
}

void VelRuntimeOperations::hideEndedTransfers(std::optional<std::string> contactID,
                                              std::optional<std::string> transferID,
                                              Completion completion) {
  runtime_->hideEndedTransfers({std::move(contactID), std::move(transferID)},
                               std::move(completion));
}

// A selection without a prepared batch is refused; the composer keeps its draft.
void VelRuntimeOperations::sendFiles(PreparedAttachments batch, std::string wireID,
                                     FilesSent completion) {
  if (!batch.batch) {
    if (!completion) return;
    mainQueue_([completion = std::move(completion)] {
      completion(transfer::ContentFailure::Case::access);
    });
    return;
  }
  runtime_->sendFiles(std::move(batch.batch), std::move(wireID), std::move(completion));
}

void VelRuntimeOperations::acceptTransfer(std::string transferID,
                                          std::filesystem::path destination) {
  runtime_->acceptTransfer(std::move(transferID), std::move(destination));
}

void VelRuntimeOperations::declineTransfer(std::string transferID) {
  runtime_->declineTransfer(std::move(transferID));
}

void VelRuntimeOperations::cancelTransfer(std::string transferID) {
  runtime_->cancelTransfer(std::move(transferID));
}

void VelRuntimeOperations::retryTransfer(std::string transferID) {
  runtime_->retryTransfer(std::move(transferID));
}

void VelRuntimeOperations::recoverReceives(std::filesystem::path destination) {
  runtime_->recoverReceives(std::move(destination));
}

void VelRuntimeOperations::removeReceivedRecord(std::string transferID) {
  runtime_->removeReceivedRecord(std::move(transferID));
}

void VelRuntimeOperations::relinkReceivedFolder(std::string transferID,
                                                std::filesystem::path folder,
                                                ReceivedFolderRelinked completion) {
  runtime_->relinkReceivedFolder(std::move(folder), std::move(transferID), std::move(completion));
}

void VelRuntimeOperations::openReceivedFolder(ReceivedFolderOpened completion) {
  runtime_->openReceivedFolder(std::move(completion));
}

}  // namespace velmorine::workspace
