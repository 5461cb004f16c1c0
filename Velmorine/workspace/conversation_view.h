#pragma once

// The selected peer's conversation: the list of its messages and transfers with the paging of
// older history, the button that jumps to the newest items, the banner while a message waits
// for the peer to wake, the attachments, and the composer. It reads the model's snapshot and
// acts through the model and the runtime's operations.
//
// The list follows new items while it stands at its end; once the user scrolls away or asks for
// an earlier page it stays put, and an earlier page keeps in place the item that was first.
// One pane per peer: selecting another peer makes a new one.

#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/workspace/conversation_item.h"
#include "Velmorine/workspace/view_environment.h"

class QPushButton;
class QToolButton;

namespace velmorine::workspace {

class ConversationScrollPosition;
class ItemColumn;
class MessageEditor;
class MessageRow;
class TextLabel;

// What the transfer views provide to the pane.
struct ConversationParts {
  // An empty transfer row, and how a row shows a transfer; rows are reused for other
  // transfers. Without them the pane shows a plain line per transfer.
  std::function<QWidget*(QWidget* parent)> makeTransferRow;
  std::function<void(QWidget* row, const transfer::RuntimeTransfer& transfer)> showTransfer;
  // The composer's attachments; without it, nothing.
  std::function<QWidget*(QWidget* parent)> makePreparation;
};

class ConversationView : public QWidget {
  Q_OBJECT

 public:
  // The list's kinds of rows.
  enum RowKind { headerRow, incomingRow, outgoingRow, transferRow };

  ConversationView(ViewEnvironment& environment, runtime::RuntimePeer peer,
                   ConversationParts parts = {}, QWidget* parent = nullptr);
  ~ConversationView() override;

  const runtime::RuntimePeer& peer() const { return peer_; }
  bool following() const { return following_; }
  const std::optional<std::string>& pendingHistoryAnchor() const { return pendingHistoryAnchor_; }
  bool awaitingLatest() const { return awaitingLatest_; }
  const std::optional<runtime::RuntimeMessage>& retryMessage() const { return retryMessage_; }

  ItemColumn* list() const { return list_; }
  QPushButton* earlierButton() const { return earlier_; }
  QPushButton* latestButton() const { return latest_; }
  QWidget* waitingBanner() const { return waiting_; }
  MessageEditor* editor() const { return editor_; }
  QToolButton* addButton() const { return add_; }
  QPushButton* sendButton() const { return send_; }
  QWidget* preparation() const { return preparation_; }
  // The open resend confirmation and context menu, if any.
  QMessageBox* retryAlert() const { return retryAlert_; }
  QMenu* contextMenu() const { return menu_; }
  // The row showing the message, when it is realised.
  MessageRow* messageRow(const std::string& messageID) const;

  // The context menu's entries for a message, as keys; none: no menu.
  std::vector<std::string> menuEntries(const runtime::RuntimeMessage& message) const;
  // The retry button's question for `message`.
  void askRetry(const runtime::RuntimeMessage& message);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Rows;

  void refresh();
  void refreshComposer();
  void setFollowing(bool following);
  void showEarlier();
  void showLatest();
  void sendFromButton();
  void openMenu(const std::string& messageID, const QPoint& globalPosition);
  void placeLatestButton();
  void showLatestButton(bool shown);
  bool browsing() const;
  const runtime::RuntimeMessage* currentMessage(const std::string& messageID) const;

  ViewEnvironment& environment_;
  runtime::RuntimePeer peer_;
  ConversationParts parts_;
  std::unique_ptr<Rows> rows_;

  bool following_ = true;
  std::optional<runtime::RuntimeMessage> retryMessage_;
  std::optional<std::string> pendingHistoryAnchor_;
  bool awaitingLatest_ = false;
  bool wasBrowsing_ = false;
  std::vector<std::string> shownIDs_;

  ItemColumn* list_;
  ConversationScrollPosition* position_;
  QWidget* header_;
  TextLabel* caption_;
  QPushButton* earlier_;
  QPushButton* latest_;
  QWidget* waiting_;
  TextLabel* waitingText_;
  QPushButton* waitingCancel_;
  QWidget* preparation_;
  MessageEditor* editor_;
  QToolButton* add_;
  TextLabel* hint_;
  QPushButton* send_;
  QPointer<QMessageBox> retryAlert_;
  QPointer<QMenu> menu_;
};

}  // namespace velmorine::workspace
