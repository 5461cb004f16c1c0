#pragma once

// The card of one transfer: what is sent or received, how far it has come, how it ended, and
// the actions its state allows: accept an offer into the default or a chosen folder, decline,
// cancel, retry a batch waiting in the outbox, and reveal a received item. Everything it shows
// follows from the transfer value of the latest snapshot and from its small state, which its
// host keeps per transfer so that a card rebuilt by a later snapshot carries on.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "Velmorine/workspace/accessible_surface.h"

class QBoxLayout;
class QProgressBar;
class QPushButton;
class QLabel;

namespace velmorine::workspace {
class DecorativeSymbol;
class SymbolLabel;
class TextLabel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class TransferCardHub;
class TransferItemRow;

// What a card remembers of itself; one per transfer, held by the card's host.
class TransferCardState : public QObject {
  Q_OBJECT

 public:
  int itemPage = 0;
  // From a press of Accept or Save As until the folder is known or the dialog closed.
  bool choosing = false;
  // Why the default receive folder was not obtained at the last attempt.
  std::optional<transfer::ContentFailure::Case> destinationError;

  void announce() { Q_EMIT changed(); }

 Q_SIGNALS:
  void changed();
};

// The states of the cards a host shows, by transfer id.
class TransferCardStates {
 public:
  std::shared_ptr<TransferCardState> stateFor(const std::string& transferID);
  // Forgets the states of transfers no longer listed.
  void keepOnly(const std::vector<std::string>& transferIDs);

 private:
  std::map<std::string, std::shared_ptr<TransferCardState>> states_;
};

// Asks for a folder, starting at `start` when given; answers with it, or with none when the
// user cancelled.
using DestinationChooser =
    std::function<void(QWidget* parent, std::optional<std::filesystem::path> start,
                       std::function<void(std::optional<std::filesystem::path>)> chosen)>;

// A window-modal folder dialog (the toolkit's own, so that it behaves the same everywhere).
DestinationChooser folderDestinationChooser();

// Shows the item in the file manager.
using ItemRevealer = std::function<void(const std::filesystem::path& item)>;
ItemRevealer desktopItemRevealer();

struct TransferCardParts {
  DestinationChooser chooseDestination = folderDestinationChooser();
  ItemRevealer reveal = desktopItemRevealer();
};

class TransferCard : public workspace::SurfaceFrame {
  Q_OBJECT

 public:
  static constexpr int kItemsPerPage = 8;
  static constexpr int kGreatestWidth = 520;
  static constexpr int kProgressSteps = 10000;

  TransferCard(workspace::ViewEnvironment& environment, std::shared_ptr<TransferCardState> state,
               bool embedded, TransferCardParts parts = {}, QWidget* parent = nullptr);
  ~TransferCard() override;

  // Another transfer with its state, for a host that reuses the card.
  void showTransfer(const transfer::RuntimeTransfer& transfer,
                    std::shared_ptr<TransferCardState> state);
  // The value of the latest snapshot; a value equal to the shown one costs a comparison.
  void setTransfer(const transfer::RuntimeTransfer& transfer);
  const transfer::RuntimeTransfer& transfer() const { return transfer_; }
  const std::shared_ptr<TransferCardState>& state() const { return state_; }

  // A snapshot changed the language, or may list the container this card waits for; the hub
  // of the model's cards calls it.
  void followSnapshot();

  // The controls' actions, as the buttons run them.
  void accept();
  void saveAs();

  // bytes/total scaled to 0…10,000, bytes clamped to the total, a total of 0 counted as 1.
  static int progressValue(std::uint64_t bytes, std::uint64_t total);

  std::vector<TransferItemRow*> rows() const { return rows_; }

 private:
  void refresh();
  void retranslate();
  // An incoming batch that committed while the store does not list its container yet.
  bool awaitsContainer() const;
  void refreshRows();
  void refreshProgress();
  QPushButton* makeButton(const char* objectName);

  workspace::ViewEnvironment& environment_;
  QPointer<TransferCardHub> hub_;
  std::shared_ptr<TransferCardState> state_;
  QMetaObject::Connection stateConnection_;
  bool embedded_;
  TransferCardParts parts_;
  transfer::RuntimeTransfer transfer_;
  bool hasTransfer_ = false;
  std::optional<store::ReceiveIndexEntry> received_;
  std::string language_;

  workspace::DecorativeSymbol* direction_;
  workspace::TextLabel* title_;
  workspace::TextLabel* stateLabel_;
  QWidget* items_;
  QBoxLayout* itemColumn_;
  std::vector<TransferItemRow*> rows_;
  QWidget* paging_;
  QPushButton* previous_;
  workspace::TextLabel* position_;
  QPushButton* next_;
  QProgressBar* progress_;
  workspace::TextLabel* byteText_;
  workspace::SymbolLabel* error_;
  QWidget* decision_;
  workspace::SymbolLabel* destinationError_;
  QPushButton* accept_;
  QPushButton* reject_;
  QPushButton* saveAs_;
  workspace::TextLabel* defaultDestination_;
  QWidget* retryRow_;
  QPushButton* retry_;
  QPushButton* retryCancel_;
  QPushButton* cancel_;
  workspace::TextLabel* confirmationHelp_;
  QPushButton* revealButton_;
};

}  // namespace velmorine::library
