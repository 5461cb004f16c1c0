#pragma once

// The one model of the main window. It owns the runtime for the life of the application,
// turns every snapshot into view state (workspace_model_apply.cpp), keeps a draft and an
// attachment preparation per contact and sends them (workspace_model_send.cpp), and orders
// and selects conversations (workspace_model_conversation.cpp). It lives on the main thread.
//
// Each published property has one signal, `<property>Published`, emitted on every assignment,
// equal values included; the hooks the application shell installs (`unreadChanged`,
// `languageChanged`, ...) are plain closures.

#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/workspace/application_appearance.h"
#include "Velmorine/workspace/attachment_preparation.h"
#include "Velmorine/workspace/conversation_item.h"
#include "Velmorine/workspace/runtime_operations.h"
#include "Velmorine/workspace/workspace_section.h"

namespace velmorine::workspace {

class WorkspaceModel : public QObject {
  Q_OBJECT

 public:
  using EnqueueText = std::function<void(std::string text, std::string wireID,
                                         std::string contactID, RuntimeOperations::TextSent)>;
  using EnqueueAttachments = std::function<void(PreparedAttachments batch, std::string wireID,
                                                RuntimeOperations::FilesSent)>;
  using ClearHistory =
      std::function<void(std::string wireID, std::string contactID, RuntimeOperations::Completion)>;
  // The peer of the incoming item (nullptr when the snapshot lists none) and the snapshot
  // being applied.
  using IncomingHook =
      std::function<void(const runtime::RuntimePeer* peer, const runtime::RuntimeSnapshot&)>;

  // What tests and previews may put in place of the model's own parts; the application
  // passes none of them.
  struct Replacements {
    std::shared_ptr<RuntimeOperations> runtime;
    EnqueueText enqueueText;
    EnqueueAttachments enqueueAttachments;
    ClearHistory clearHistory;
  };

  // Without a replacement runtime, builds one over the user's data folder (which throws
  // std::runtime_error when there is no absolute one); starts nothing.
  explicit WorkspaceModel(AttachmentPreparationFactory makePreparation,
                          Replacements replacements = {}, QObject* parent = nullptr);
  ~WorkspaceModel() override;

  // The placeholder shown until the runtime publishes.
  static runtime::RuntimeSnapshot placeholderSnapshot();

  // Published state.
  const runtime::RuntimeSnapshot& snapshot() const { return *snapshot_; }
  // The same snapshot, for a view that keeps it (and the items it lists) beyond this turn.
  const std::shared_ptr<const runtime::RuntimeSnapshot>& sharedSnapshot() const {
    return snapshot_;
  }
  WorkspaceSection section() const { return section_; }
  void setSection(WorkspaceSection section);
  const std::optional<std::string>& selectedPeerID() const { return selectedPeerID_; }
  // Every assignment runs the selection change.
  void setSelectedPeerID(std::optional<std::string> contactID);
  const std::map<std::string, std::string>& drafts() const { return drafts_; }
  const std::map<std::string, std::int64_t>& unread() const { return unread_; }
  // Every assignment runs `unreadChanged` afterwards.
  void setUnread(std::map<std::string, std::int64_t> unread);
  bool inspectorVisible() const { return inspectorVisible_; }
  void setInspectorVisible(bool visible);
  bool securityDetailsVisible() const { return securityDetailsVisible_; }
  void setSecurityDetailsVisible(bool visible);
  const std::optional<std::string>& errorKey() const { return errorKey_; }
  void setErrorKey(std::optional<std::string> key);
  const std::optional<std::string>& settingsErrorKey() const { return settingsErrorKey_; }
  void setSettingsErrorKey(std::optional<std::string> key);
  bool clearConfirmation() const { return clearConfirmation_; }
  void setClearConfirmation(bool shown);
  bool quitConfirmation() const { return quitConfirmation_; }
  void setQuitConfirmation(bool shown);
  bool showResidenceNotice() const { return showResidenceNotice_; }
  void setShowResidenceNotice(bool shown);
  bool settingsRequested() const { return settingsRequested_; }
  void setSettingsRequested(bool requested);
  bool helpRequested() const { return helpRequested_; }
  void setHelpRequested(bool requested);
  bool workspaceVisible() const { return workspaceVisible_; }
  void setWorkspaceVisible(bool visible);
  const std::set<std::string>& pendingSends() const { return pendingSends_; }
  // The composer's preparation for the current selection.
  const std::shared_ptr<AttachmentPreparation>& attachments() const { return attachments_; }

  // Plain state.
  bool hasReceivedSnapshot() const { return hasReceivedSnapshot_; }
  bool applicationActive = true;
  bool started = false;
  RuntimeOperations& runtime() { return *runtime_; }
  const std::map<std::string, std::shared_ptr<AttachmentPreparation>>& attachmentDrafts() const {
    return attachmentDrafts_;
  }
  const std::shared_ptr<AttachmentPreparation>& unaddressedAttachments() const {
    return unaddressedAttachments_;
  }

  // Hooks installed by the application shell.
  std::function<void()> unreadChanged;
  std::function<void()> revealWorkspace;
  std::function<void()> revealSettings;
  IncomingHook incomingNotification;
  IncomingHook incomingFileNotification;
  std::function<void(const std::string& language)> languageChanged;

  // Window state.
  // The first peer of the snapshot with the selected identifier, or nullptr.
  const runtime::RuntimePeer* selectedPeer() const;
  // A message waits for a reminder, is queued or sending, or a transfer has not ended.
  bool hasWorkInProgress() const;
  void markWorkspaceVisible();
  void addAttachments();
  void finishDeviceReset(bool success);
  // Starts the runtime while the model exists; the closure holds the model weakly.
  std::function<void()> startRuntime();

  // Snapshots: the only entry, called in order with every snapshot the runtime publishes. The
  // snapshot is kept as it is, never copied.
  void apply(runtime::RuntimeSnapshot snapshot);
  void apply(std::shared_ptr<const runtime::RuntimeSnapshot> snapshot);

  // Drafts and sending.
  std::string draft(const std::string& contactID) const;
  void setDraft(std::string text, const std::string& contactID);
  bool canSend() const;
  void send();
  void resend(const runtime::RuntimeMessage& message);
  // Gives up the pending send of the selected contact and its wait for a reminder.
  void stopWaiting();
  // Clears the selected conversation; its completion is `historyCleared`.
  void clearSelectedConversation();
  void historyCleared(bool success, const std::string& contactID,
                      const std::shared_ptr<AttachmentPreparation>& preparation);

  // Conversation.
  std::vector<runtime::RuntimeMessage> conversationMessages() const;
  // The selected conversation in display order; the items refer to the current snapshot.
  std::vector<ConversationItem> conversationItems() const;
  bool itemPrecedes(const ConversationItem& a, const ConversationItem& b) const;
  // The peer list's selection: the selected contact while the conversation pane is shown.
  std::optional<std::string> conversationSelection() const;
  // Writing nil outside the conversation pane keeps the selection.
  void setConversationSelection(std::optional<std::string> contactID);

  const ApplicationAppearance& appearance() const { return appearance_; }

 Q_SIGNALS:
  void snapshotPublished();
  void sectionPublished();
  void selectedPeerIDPublished();
  void draftsPublished();
  void unreadPublished();
  void inspectorVisiblePublished();
  void securityDetailsVisiblePublished();
  void errorKeyPublished();
  void settingsErrorKeyPublished();
  void clearConfirmationPublished();
  void quitConfirmationPublished();
  void showResidenceNoticePublished();
  void settingsRequestedPublished();
  void helpRequestedPublished();
  void workspaceVisiblePublished();
  void pendingSendsPublished();
  void attachmentsPublished();

 private:
  bool isViewed(const std::string& contactID) const;
  const runtime::RuntimePeer* peerWithID(const runtime::RuntimeSnapshot& snapshot,
                                         const std::string& contactID) const;
  void raiseUnread(const std::string& contactID);
  void removeUnread(const std::string& contactID);
  // Announces an assignment of `unread_`: its signal, then `unreadChanged`.
  void publishUnread();
  void setDrafts(std::map<std::string, std::string> drafts);
  void setPendingSends(std::set<std::string> pending);
  void removePending(const std::string& contactID);
  void setAttachments(std::shared_ptr<AttachmentPreparation> preparation);
  void selectionDidChange();
  // Step two of a send, once its attachments (if any) were accepted.
  void sendText(const std::string& text, const std::string& wireID,
                const std::string& peerContactID, const std::string& contactID,
                std::uint64_t generation, std::uint64_t revision);
  std::uint64_t generationOf(const std::string& contactID) const;
  std::uint64_t revisionOf(const std::string& contactID) const;

  AttachmentPreparationFactory makePreparation_;
  std::shared_ptr<RuntimeOperations> runtime_;
  EnqueueText enqueueText_;
  EnqueueAttachments enqueueAttachments_;
  ClearHistory clearHistory_;

  std::shared_ptr<const runtime::RuntimeSnapshot> snapshot_;
  bool hasReceivedSnapshot_ = false;
  WorkspaceSection section_ = WorkspaceSection::conversation;
  std::optional<std::string> selectedPeerID_;
  std::map<std::string, std::string> drafts_;
  std::map<std::string, std::int64_t> unread_;
  bool inspectorVisible_ = true;
  bool securityDetailsVisible_ = false;
  std::optional<std::string> errorKey_;
  std::optional<std::string> settingsErrorKey_;
  bool clearConfirmation_ = false;
  bool quitConfirmation_ = false;
  bool showResidenceNotice_ = true;
  bool settingsRequested_ = false;
  bool helpRequested_ = false;
  bool workspaceVisible_ = true;
  std::set<std::string> pendingSends_;
  std::shared_ptr<AttachmentPreparation> attachments_;
  std::map<std::string, std::shared_ptr<AttachmentPreparation>> attachmentDrafts_;
  std::shared_ptr<AttachmentPreparation> unaddressedAttachments_;
  std::map<std::string, std::uint64_t> sendGenerations_;
  std::map<std::string, std::uint64_t> draftRevisions_;
  // The identifiers of the incoming messages of `snapshot_`, viewing that snapshot's texts: it
  // is replaced together with the snapshot.
  std::unordered_set<std::string_view> receivedIDs_;
  // The announced offers among the transfers of `snapshot_`, viewing that snapshot likewise.
  std::unordered_set<std::string_view> invitationIDs_;
  ApplicationAppearance appearance_;
};

}  // namespace velmorine::workspace
