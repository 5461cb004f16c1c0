// Notifications of incoming messages and files, and where a click on one leads.

#include "Velmorine/shell/desktop_lifecycle.h"
#include "native/protocol/uuid.h"
#include "platform/desktop/desktop_notifications.h"

namespace velmorine::shell {

namespace {

bool isUuid(const std::string& text) { return core::Uuid::parse(text).has_value(); }

}  // namespace

// Judged by the snapshot being applied, not by the model's current one, which is still the
// previous snapshot while the hooks run: a message of the snapshot that turns notifications on
// is notified, and its text is in the language that snapshot chose.
void DesktopLifecycle::post(const runtime::RuntimePeer* peer,
                            const runtime::RuntimeSnapshot& snapshot, const char* bodyKey,
                            const char* category) {
  if (!model_ || peer == nullptr || !snapshot.preferences.notificationsEnabled) return;
  // In front, only a conversation the user is not reading is worth a notification.
  if (model_->applicationActive) {
    const auto unread = model_->unread().find(peer->id);
    if (unread == model_->unread().end() || unread->second <= 0) return;
  }
  const auto [slot, added] = noticeOfPeer_.try_emplace(peer, notices_.size());
  if (added) {
    notices_.push_back(
        Notice{peer->id, peer->name, snapshot.preferences.language, bodyKey, category});
  } else {
    notices_[slot->second].bodyKey = bodyKey;
    notices_[slot->second].category = category;
  }
  if (noticesScheduled_) return;
  noticesScheduled_ = true;
  environment_.mainQueue([self = QPointer(this)] {
    if (self) self->postNotices();
  });
}

void DesktopLifecycle::postNotices() {
  noticesScheduled_ = false;
  auto notices = std::move(notices_);
  notices_.clear();
  for (auto& notice : notices) {
    platform::NotificationContent content;
    content.thread = std::move(notice.peerID);
    content.summary = std::move(notice.name);
    content.body = environment_.text(notice.bodyKey, notice.language);
    content.category = notice.category;
    content.actionLabel = environment_.text("menu.open", notice.language);
    notifications_->post(std::move(content));
  }
}

void DesktopLifecycle::notificationResponse(std::optional<std::string> peerID,
                                            std::optional<std::string> route,
                                            const std::string& action) {
  if (action == platform::kDefaultNotificationAction && route) {
    environment_.push->contactForRoute(
        *route, [self = QPointer(this), peerID, action](std::optional<std::string> contact) {
          if (!self) return;
          // A route the reminder state does not know falls back to the notification's peer.
          if (contact) {
            self->setPendingContact(*contact);
          } else {
            self->navigate(peerID, action);
          }
        });
    return;
  }
  navigate(peerID, action);
}

void DesktopLifecycle::setPendingContact(const std::string& contact) {
  if (!isUuid(contact)) return;
  pendingRemoteContact_ = contact;
  pendingNavigation();
}

void DesktopLifecycle::pendingNavigation() {
  if (!pendingRemoteContact_ || !model_) return;
  for (const auto& peer : model_->snapshot().peers) {
    if (peer.id != *pendingRemoteContact_) continue;
    pendingRemoteContact_.reset();
    if (peer.blocked || peer.keyChanged) return;
    navigate(peer.id, platform::kDefaultNotificationAction);
    return;
  }
  // Kept for a later snapshot.
}

void DesktopLifecycle::navigate(const std::optional<std::string>& peerID,
                                const std::string& action) {
  if (action != platform::kDefaultNotificationAction || !model_ || !peerID || !isUuid(*peerID)) {
    return;
  }
  bool found = false;
  for (const auto& peer : model_->snapshot().peers) {
    if (peer.id == *peerID && !peer.blocked && !peer.keyChanged) {
      found = true;
      break;
    }
  }
  if (!found) return;
  // Copied: the selection change may publish a new snapshot.
  const std::string target = *peerID;
  model_->setSelectedPeerID(target);
  if (model_ && model_->revealWorkspace) model_->revealWorkspace();
  if (model_) model_->markWorkspaceVisible();
}

}  // namespace velmorine::shell
