// Drafts, the send button's rule, sending text after its attachments, and the send
// generations that make the completions of an abandoned send void.

#include <QPointer>
#include <utility>

#include "Velmorine/workspace/workspace_model.h"
#include "native/protocol/ve_outbound_policy.h"

namespace velmorine::workspace {

namespace {

std::string sendErrorKey(runtime::SendRejection rejection) {
  return "send." + std::string(runtime::rawValue(rejection));
}

}  // namespace

std::uint64_t WorkspaceModel::generationOf(const std::string& contactID) const {
  const auto found = sendGenerations_.find(contactID);
  return found == sendGenerations_.end() ? 0 : found->second;
}

std::uint64_t WorkspaceModel::revisionOf(const std::string& contactID) const {
  const auto found = draftRevisions_.find(contactID);
  return found == draftRevisions_.end() ? 0 : found->second;
}

std::string WorkspaceModel::draft(const std::string& contactID) const {
  const auto found = drafts_.find(contactID);
  return found == drafts_.end() ? std::string() : found->second;
}

void WorkspaceModel::setDraft(std::string text, const std::string& contactID) {
  auto drafts = drafts_;
  drafts[contactID] = std::move(text);
  ++draftRevisions_[contactID];
  setDrafts(std::move(drafts));
}

bool WorkspaceModel::canSend() const {
  const auto* peer = selectedPeer();
  if (peer == nullptr) return false;
  const bool queueable = snapshot_->outboxPeers.contains(peer->id);
  const bool reachable = peer->online || queueable;
  const auto& preparation = *attachments_;
  if (!reachable || peer->blocked || peer->keyChanged) return false;
  if (peer->historical && !queueable) return false;
  if (pendingSends_.contains(peer->id) || preparation.pendingImports() > 0) return false;
  if (!preparation.hasSelections()) return !draft(peer->id).empty();
  return preparation.recipientID() == peer->id && preparation.prepared() &&
         !preparation.preparing() && !preparation.error() &&
         (peer->safetyCode.has_value() || queueable);
}

void WorkspaceModel::send() {
  if (!canSend() || !selectedPeerID_) return;
  const auto* peer = selectedPeer();
  if (peer == nullptr) return;
  const std::string contact = *selectedPeerID_;
  const std::string text = draft(contact);
  if (!text.empty()) {
    const auto verdict = VEOutboundPolicy::validateText(text);
    if (verdict == VEOutboundPolicy::kTextInvalid) {
      setErrorKey("send.invalidText");
      return;
    }
    if (verdict == VEOutboundPolicy::kTextTooLong) {
      setErrorKey("send.tooLarge");
      return;
    }
  }
  const auto revision = revisionOf(contact);
  const auto generation = generationOf(contact);
  const auto preparation = attachments_;
  auto pending = pendingSends_;
  pending.insert(contact);
  setPendingSends(std::move(pending));

  const auto prepared = preparation->prepared();
  if (!prepared || !preparation->hasSelections()) {
    sendText(text, peer->wireID, peer->contactID, contact, generation, revision);
    return;
  }
  // The text goes only once the runtime has accepted the batch.
  enqueueAttachments_(
      *prepared, peer->wireID,
      [model = QPointer<WorkspaceModel>(this), preparation, batchID = prepared->id, contact,
       wireID = peer->wireID, peerContact = peer->contactID, text, generation,
       revision](std::optional<transfer::ContentFailure::Case> failure) {
        if (!model || model->generationOf(contact) != generation) return;
        if (failure) {
          preparation->setError(*failure);
          model->removePending(contact);
          return;
        }
        preparation->finishSent(batchID);
        model->sendText(text, wireID, peerContact, contact, generation, revision);
      });
}

void WorkspaceModel::sendText(const std::string& text, const std::string& wireID,
                              const std::string& peerContactID, const std::string& contactID,
                              std::uint64_t generation, std::uint64_t revision) {
  if (generationOf(contactID) != generation) return;
  if (text.empty()) {
    removePending(contactID);
    return;
  }
  enqueueText_(text, wireID, peerContactID,
               [model = QPointer<WorkspaceModel>(this), contactID, generation,
                revision](std::optional<runtime::SendRejection> rejection) {
                 if (!model || model->generationOf(contactID) != generation) return;
                 model->removePending(contactID);
                 if (rejection) {
                   model->setErrorKey(sendErrorKey(*rejection));
                   return;
                 }
                 // A draft edited while the send was under way stays.
                 if (model->revisionOf(contactID) == revision) model->setDraft({}, contactID);
               });
}

void WorkspaceModel::resend(const runtime::RuntimeMessage& message) {
  if (snapshot_->queuedMessageIDs.contains(message.id)) {
    runtime_->resendMessage(message.id, message.contactID);
    return;
  }
  const auto* peer = selectedPeer();
  if (peer != nullptr && peer->contactID == message.contactID && !peer->historical) {
    runtime_->sendText(
        message.text, message.peerID, message.contactID,
        [model = QPointer<WorkspaceModel>(this)](std::optional<runtime::SendRejection> rejection) {
          if (model && rejection) model->setErrorKey(sendErrorKey(*rejection));
        });
    return;
  }
  setErrorKey("send.offline");
}

void WorkspaceModel::stopWaiting() {
  const auto* peer = selectedPeer();
  if (peer == nullptr) return;
  ++sendGenerations_[peer->id];
  removePending(peer->id);
  // The runtime keeps a peer's reminder wait under its device identifier, as it lists it in
  // `waitingReminderPeers`.
  runtime_->cancelReminder(peer->wireID);
}

void WorkspaceModel::clearSelectedConversation() {
  const auto* peer = selectedPeer();
  if (peer == nullptr) return;
  clearHistory_(peer->wireID, peer->contactID,
                [model = QPointer<WorkspaceModel>(this), contact = peer->id,
                 preparation = attachments_](bool success) {
                  if (model) model->historyCleared(success, contact, preparation);
                });
}

void WorkspaceModel::historyCleared(bool success, const std::string& contactID,
                                    const std::shared_ptr<AttachmentPreparation>& preparation) {
  if (!success) return;
  ++sendGenerations_[contactID];
  removePending(contactID);
  if (preparation) preparation->clear();
  ++draftRevisions_[contactID];
  auto drafts = drafts_;
  drafts[contactID].clear();
  setDrafts(std::move(drafts));
  removeUnread(contactID);
}

}  // namespace velmorine::workspace
