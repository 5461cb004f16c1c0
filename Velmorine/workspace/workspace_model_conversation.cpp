// The selected conversation, its order, and what a change of selection implies.

#include <cctype>
#include <utility>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace {

std::vector<runtime::RuntimeMessage> WorkspaceModel::conversationMessages() const {
  std::vector<runtime::RuntimeMessage> messages;
  if (!selectedPeerID_) return messages;
  for (const auto& message : snapshot_->messages) {
    if (message.contactID == *selectedPeerID_) messages.push_back(message);
  }
  return messages;
}

std::vector<ConversationItem> WorkspaceModel::conversationItems() const {
  return orderedConversation(*snapshot_, selectedPeerID_);
}

bool WorkspaceModel::itemPrecedes(const ConversationItem& a, const ConversationItem& b) const {
  std::string contactKey;
  if (selectedPeerID_) {
    for (const char c : *selectedPeerID_) {
      contactKey += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  std::string scratch;
  const auto first = conversationOrderKey(a, snapshot_->historyOrder, contactKey, scratch);
  const auto second = conversationOrderKey(b, snapshot_->historyOrder, contactKey, scratch);
  return precedes(first, second);
}

std::optional<std::string> WorkspaceModel::conversationSelection() const {
  if (section_ != WorkspaceSection::conversation) return std::nullopt;
  return selectedPeerID_;
}

void WorkspaceModel::setConversationSelection(std::optional<std::string> contactID) {
  // Leaving the conversation pane must not drop the selection.
  if (!contactID && section_ != WorkspaceSection::conversation) return;
  setSelectedPeerID(std::move(contactID));
}

void WorkspaceModel::selectionDidChange() {
  if (!selectedPeerID_) {
    setAttachments(unaddressedAttachments_);
    return;
  }
  const std::string contact = *selectedPeerID_;
  const auto busy = [](const AttachmentPreparation& preparation) {
    return preparation.hasSelections() || preparation.choosing() ||
           preparation.pendingImports() > 0;
  };
  const bool unaddressedBusy = busy(*unaddressedAttachments_);
  const auto own = attachmentDrafts_.find(contact);
  if (own != attachmentDrafts_.end() &&
      (busy(*own->second) || !unaddressedBusy || pendingSends_.contains(contact))) {
    setAttachments(own->second);
  } else if (own == attachmentDrafts_.end() && !unaddressedBusy) {
    auto preparation = makePreparation_(contact);
    attachmentDrafts_[contact] = preparation;
    setAttachments(std::move(preparation));
  } else {
    // Files picked before a peer was chosen go to the peer chosen next.
    auto adopted = std::move(unaddressedAttachments_);
    adopted->bindRecipient(contact);
    attachmentDrafts_[contact] = adopted;
    unaddressedAttachments_ = makePreparation_(std::nullopt);
    setAttachments(std::move(adopted));
  }

  setSection(WorkspaceSection::conversation);
  runtime_->selectConversation(contact, /*earlier=*/false);
  removeUnread(contact);
  if (const auto* peer = selectedPeer(); peer != nullptr && !peer->historical) {
    runtime_->connectPeer(peer->wireID);
  }
}

}  // namespace velmorine::workspace
