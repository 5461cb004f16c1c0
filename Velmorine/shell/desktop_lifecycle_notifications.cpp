// Notifications of incoming messages and files, and where a click on one leads.

#include "Velmorine/shell/desktop_lifecycle.h"
#include "native/protocol/uuid.h"
#include "platform/desktop/desktop_notifications.h"

namespace velmorine::shell {

namespace {

bool isUuid(const std::string& text) { return core::Uuid::parse(text).has_value(); }

}  // namespace

// Reads the snapshot being applied, not the model's current one, which is the previous
// snapshot while the hooks run: a message of the snapshot that turns notifications on is
// notified, and its text is in the language that snapshot chose.
void DesktopLifecycle::post(const runtime::RuntimePeer* peer,
                            const runtime::RuntimeSnapshot& snapshot, const char* bodyKey,
                            const char* category) {
  if (!model_ || peer == nullptr || !snapshot.preferences.notificationsEnabled) return;
  // In front, only a conversation the user is not reading is worth a notification.
  if (model_->applicationActive) {
    const auto unread = model_->unread().find(peer->id);
    if (unread == model_->unread().end() || unread->second <= 0) return;
  }
  const std::string& language = snapshot.preferences.language;
  platform::NotificationContent content;
  content.thread = peer->id;
  content.summary = peer->name;
  content.body = environment_.text(bodyKey, language);
  content.category = category;
  content.actionLabel = environment_.text("menu.open", language);
  notifications_->post(std::move(content));
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
