#include "Velmorine/workspace/workspace_model.h"

#include <QPointer>
#include <utility>

#include "Velmorine/network/discovery_transport.h"
#include "Velmorine/reminders/reminder_service_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/keychain_service.h"
#include "Velmorine/workspace/main_queue.h"
#include "Velmorine/workspace/vel_runtime_operations.h"
#include "platform/bundle/bundle.h"
#include "platform/keychain/keychain.h"

namespace velmorine::workspace {

namespace {

// The application's own runtime over the user's data folder, with the identity item in the
// keychain store beside it and the application's one reminder client.
std::shared_ptr<RuntimeOperations> makeApplicationRuntime() {
  const auto dataFolder = platform::applicationSupportFolder();
  auto keychain = std::make_shared<store::SystemIdentityKeychain>(
      store::keychainServiceBase() + store::kIdentityServiceSuffix, store::keychainAccessGroup(),
      platform::Keychain::forUser());
  runtime::RuntimeEnvironment environment;
  environment.mainQueue = postToMainQueue;
  auto runtime = runtime::VelRuntime::create(
      dataFolder, std::move(keychain), reminders::ReminderServiceClient::shared(),
      network::makeDiscoveryService, /*durableReceipts=*/true, runtime::sendOnSession,
      runtime::sendOnSession, std::move(environment));
  return std::make_shared<VelRuntimeOperations>(std::move(runtime), postToMainQueue);
}

}  // namespace

runtime::RuntimeSnapshot WorkspaceModel::placeholderSnapshot() {
  runtime::RuntimeSnapshot snapshot;
  snapshot.status = "network.paused";
  snapshot.enabled = false;
  // The preferences' defaults: language and appearance "system", notifications and networking
  // off, the default display name, no device naming and no destination.
  snapshot.preferences = store::AppPreferences{};
  return snapshot;
}

WorkspaceModel::WorkspaceModel(AttachmentPreparationFactory makePreparation,
                               Replacements replacements, QObject* parent)
    : QObject(parent), makePreparation_(std::move(makePreparation)) {
  snapshot_ = std::make_shared<const runtime::RuntimeSnapshot>(placeholderSnapshot());
  runtime_ = replacements.runtime ? std::move(replacements.runtime) : makeApplicationRuntime();

  enqueueText_ = replacements.enqueueText
                     ? std::move(replacements.enqueueText)
                     : EnqueueText([runtime = runtime_](std::string text, std::string wireID,
                                                        std::string contactID,
                                                        RuntimeOperations::TextSent done) {
                         runtime->sendText(std::move(text), std::move(wireID), std::move(contactID),
                                           std::move(done));
                       });
  enqueueAttachments_ =
      replacements.enqueueAttachments
          ? std::move(replacements.enqueueAttachments)
          : EnqueueAttachments([runtime = runtime_](PreparedAttachments batch, std::string wireID,
                                                    RuntimeOperations::FilesSent done) {
              runtime->sendFiles(std::move(batch), std::move(wireID), std::move(done));
            });
  clearHistory_ =
      replacements.clearHistory
          ? std::move(replacements.clearHistory)
          : ClearHistory([runtime = runtime_](std::string wireID, std::string contactID,
                                              RuntimeOperations::Completion done) {
              runtime->clearConversation(std::move(wireID), std::move(contactID), std::move(done));
            });

  unaddressedAttachments_ = makePreparation_(std::nullopt);
  attachments_ = unaddressedAttachments_;

  runtime_->setOnSnapshot([model = QPointer<WorkspaceModel>(this)](runtime::RuntimeSnapshot next) {
    if (model) model->apply(std::move(next));
  });
}

WorkspaceModel::~WorkspaceModel() = default;

void WorkspaceModel::setSection(WorkspaceSection section) {
  section_ = section;
  Q_EMIT sectionPublished();
}

void WorkspaceModel::setSelectedPeerID(std::optional<std::string> contactID) {
  selectedPeerID_ = std::move(contactID);
  Q_EMIT selectedPeerIDPublished();
  selectionDidChange();
}

void WorkspaceModel::setUnread(std::map<std::string, std::int64_t> unread) {
  unread_ = std::move(unread);
  publishUnread();
}

void WorkspaceModel::publishUnread() {
  Q_EMIT unreadPublished();
  if (unreadChanged) unreadChanged();
}

void WorkspaceModel::raiseUnread(const std::string& contactID) {
  ++unread_[contactID];
  publishUnread();
}

void WorkspaceModel::removeUnread(const std::string& contactID) {
  unread_.erase(contactID);
  publishUnread();
}

void WorkspaceModel::setInspectorVisible(bool visible) {
  inspectorVisible_ = visible;
  Q_EMIT inspectorVisiblePublished();
}

void WorkspaceModel::setSecurityDetailsVisible(bool visible) {
  securityDetailsVisible_ = visible;
  Q_EMIT securityDetailsVisiblePublished();
}

void WorkspaceModel::setErrorKey(std::optional<std::string> key) {
  errorKey_ = std::move(key);
  Q_EMIT errorKeyPublished();
}

void WorkspaceModel::setSettingsErrorKey(std::optional<std::string> key) {
  settingsErrorKey_ = std::move(key);
  Q_EMIT settingsErrorKeyPublished();
}

void WorkspaceModel::setClearConfirmation(bool shown) {
  clearConfirmation_ = shown;
  Q_EMIT clearConfirmationPublished();
}

void WorkspaceModel::setQuitConfirmation(bool shown) {
  quitConfirmation_ = shown;
  Q_EMIT quitConfirmationPublished();
}

void WorkspaceModel::setShowResidenceNotice(bool shown) {
  showResidenceNotice_ = shown;
  Q_EMIT showResidenceNoticePublished();
}

void WorkspaceModel::setSettingsRequested(bool requested) {
  settingsRequested_ = requested;
  Q_EMIT settingsRequestedPublished();
}

void WorkspaceModel::setHelpRequested(bool requested) {
  helpRequested_ = requested;
  Q_EMIT helpRequestedPublished();
}

void WorkspaceModel::setWorkspaceVisible(bool visible) {
  workspaceVisible_ = visible;
  Q_EMIT workspaceVisiblePublished();
}

void WorkspaceModel::setDrafts(std::map<std::string, std::string> drafts) {
  drafts_ = std::move(drafts);
  Q_EMIT draftsPublished();
}

void WorkspaceModel::setPendingSends(std::set<std::string> pending) {
  pendingSends_ = std::move(pending);
  Q_EMIT pendingSendsPublished();
}

void WorkspaceModel::removePending(const std::string& contactID) {
  auto pending = pendingSends_;
  pending.erase(contactID);
  setPendingSends(std::move(pending));
}

void WorkspaceModel::setAttachments(std::shared_ptr<AttachmentPreparation> preparation) {
  attachments_ = std::move(preparation);
  Q_EMIT attachmentsPublished();
}

const runtime::RuntimePeer* WorkspaceModel::peerWithID(const runtime::RuntimeSnapshot& snapshot,
                                                       const std::string& contactID) const {
  for (const auto& peer : snapshot.peers) {
    if (peer.id == contactID) return &peer;
  }
  return nullptr;
}

const runtime::RuntimePeer* WorkspaceModel::selectedPeer() const {
  return selectedPeerID_ ? peerWithID(*snapshot_, *selectedPeerID_) : nullptr;
}

bool WorkspaceModel::hasWorkInProgress() const {
  if (!snapshot_->waitingReminderPeers.empty()) return true;
  for (const auto& message : snapshot_->messages) {
    if (message.delivery == runtime::MessageDelivery::queued ||
        message.delivery == runtime::MessageDelivery::sending) {
      return true;
    }
  }
  for (const auto& transfer : snapshot_->transfers) {
    if (!transfer::isEnded(transfer.state)) return true;
  }
  return false;
}

void WorkspaceModel::markWorkspaceVisible() {
  setWorkspaceVisible(true);
  if (section_ == WorkspaceSection::conversation && selectedPeerID_) {
    removeUnread(*selectedPeerID_);
  }
}

void WorkspaceModel::addAttachments() {
  if (selectedPeerID_) setSection(WorkspaceSection::conversation);
  attachments_->choose();
}

void WorkspaceModel::finishDeviceReset(bool success) {
  if (!success) {
    setSettingsErrorKey("devices.resetFailed");
    return;
  }
  if (selectedPeerID_ && peerWithID(*snapshot_, *selectedPeerID_) == nullptr) {
    setSelectedPeerID(std::nullopt);
  }
}

std::function<void()> WorkspaceModel::startRuntime() {
  return [model = QPointer<WorkspaceModel>(this)] {
    if (model) model->runtime_->start();
  };
}

}  // namespace velmorine::workspace
