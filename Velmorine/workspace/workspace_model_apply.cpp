// Applying a runtime snapshot: which incoming messages and offers are new, unread counts, the
// notification hooks, the language and the appearance.

#include <string_view>
#include <unordered_map>
#include <utility>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace {

bool WorkspaceModel::isViewed(const std::string& contactID) const {
  return applicationActive && workspaceVisible_ && section_ == WorkspaceSection::conversation &&
         selectedPeerID_ == contactID;
}

void WorkspaceModel::apply(runtime::RuntimeSnapshot snapshot) {
  apply(std::make_shared<const runtime::RuntimeSnapshot>(std::move(snapshot)));
}

void WorkspaceModel::apply(std::shared_ptr<const runtime::RuntimeSnapshot> snapshot) {
  hasReceivedSnapshot_ = true;
  const auto& next = *snapshot;
  const bool notify = next.preferences.notificationsEnabled;
  // The snapshot's peers by identifier, indexed the first time a hook needs one (the first peer
  // with an identifier wins, as in a scan): a snapshot may bring a thousand new messages.
  std::unordered_map<std::string_view, const runtime::RuntimePeer*> peersByID;
  const auto peerOf = [&](const std::string& contactID) -> const runtime::RuntimePeer* {
    if (peersByID.empty()) {
      peersByID.reserve(next.peers.size());
      for (const auto& peer : next.peers) peersByID.try_emplace(peer.id, &peer);
    }
    const auto found = peersByID.find(contactID);
    return found == peersByID.end() ? nullptr : found->second;
  };

  // New messages: one count and one notification per message not seen in the last snapshot.
  for (const auto& message : next.messages) {
    if (message.outgoing || receivedIDs_.contains(message.id)) continue;
    if (next.liveIncoming && !next.liveIncoming->contains(message.id)) continue;
    if (isViewed(message.contactID)) continue;
    raiseUnread(message.contactID);
    if (notify && incomingNotification) {
      incomingNotification(peerOf(message.contactID), next);
    }
  }

  // New offers: announced once for as long as the runtime reports the transfer. The set is
  // rebuilt over the new snapshot's transfers, which also drops those that are gone.
  std::unordered_set<std::string_view> invitations;
  for (const auto& transfer : next.transfers) {
    const bool known = invitationIDs_.contains(transfer.id) || invitations.contains(transfer.id);
    if (!transfer.outgoing && transfer.state == transfer::TransferState::pending && !known) {
      if (!isViewed(transfer.contactID)) {
        raiseUnread(transfer.contactID);
        const auto& hook =
            incomingFileNotification ? incomingFileNotification : incomingNotification;
        if (notify && hook) hook(peerOf(transfer.contactID), next);
      }
      invitations.insert(transfer.id);
    } else if (known) {
      invitations.insert(transfer.id);
    }
  }

  std::unordered_set<std::string_view> received;
  received.reserve(next.messages.size());
  for (const auto& message : next.messages) {
    if (!message.outgoing) received.insert(message.id);
  }

  const bool languageChangedNow = next.preferences.language != snapshot_->preferences.language;
  // The sets view the identifiers of the snapshot they are kept with.
  snapshot_ = std::move(snapshot);
  receivedIDs_ = std::move(received);
  invitationIDs_ = std::move(invitations);
  Q_EMIT snapshotPublished();
  if (unreadChanged) unreadChanged();

  if (languageChangedNow && languageChanged) languageChanged(snapshot_->preferences.language);
  appearance_.apply(snapshot_->preferences.appearance);
}

}  // namespace velmorine::workspace
