#pragma once

// The transfers section: every transfer of the snapshot, of all peers, those that have not ended
// first, then the ended ones, each group newest first. A running transfer shows its card; an
// ended one a collapsed summary that opens onto the same card. Ended transfers can be cleared
// from the list, all after a confirmation or one from its row's menu: clearing only asks the
// runtime to mark them hidden.
//
// Rows are kept by transfer id across snapshots and moved only when the order changes, so a
// snapshot that moves one transfer's bytes costs one comparison per transfer and one card's
// progress update: no sorting, no lookup by identifier.

#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Velmorine/library/transfer_card.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "Velmorine/workspace/view_environment.h"

class QAction;
class QCheckBox;
class QMessageBox;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace velmorine::workspace {
class SymbolLabel;
class TextLabel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class TransferOverviewRow;

class TransferOverview : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kGreatestListWidth = 720;

  explicit TransferOverview(workspace::ViewEnvironment& environment, TransferCardParts parts = {},
                            QWidget* parent = nullptr);
  ~TransferOverview() override;

  // The transfers listed, in order, from the current snapshot and the toggle.
  static std::vector<const transfer::RuntimeTransfer*> visibleTransfers(
      const runtime::RuntimeSnapshot& snapshot, bool activeOnly);
  // At least one ended transfer is not hidden yet.
  static bool clearable(const runtime::RuntimeSnapshot& snapshot);
  // "<contact>:<transfer id>".
  static std::string dismissalKey(const transfer::RuntimeTransfer& transfer);

  // Rows in the order shown.
  std::vector<TransferOverviewRow*> rows() const;
  TransferOverviewRow* row(const std::string& transferID) const;

  // Clears every ended transfer (what the confirmation's button does), or one.
  void clearEnded();
  void clearOne(const transfer::RuntimeTransfer& transfer);

  bool cleanupBusy() const { return cleanupBusy_; }

 private:
  void refresh();
  // The usual snapshot: the same transfers in the same places, only some values changed. Shows
  // the changed ones and says true, or says false (and changes nothing) for a full refresh.
  bool showInPlace(const runtime::RuntimeSnapshot& snapshot);
  // What showInPlace checks the next snapshot against.
  void rememberPlaces(const runtime::RuntimeSnapshot& snapshot,
                      const std::vector<const transfer::RuntimeTransfer*>& visible,
                      const std::vector<TransferOverviewRow*>& rows);
  void retranslate();
  void finishCleanup(bool success);
  void confirmClear();

  workspace::ViewEnvironment& environment_;
  TransferCardParts parts_;
  TransferCardStates states_;
  bool activeOnly_ = false;
  bool cleanupBusy_ = false;
  std::string language_;

  workspace::TextLabel* title_;
  QCheckBox* activeToggle_;
  QPushButton* clear_;
  QWidget* list_;
  QVBoxLayout* listColumn_;
  workspace::TextLabel* empty_;
  std::map<std::string, TransferOverviewRow*> rows_;
  std::vector<TransferOverviewRow*> order_;

  // Each transfer of the last snapshot shown, in the snapshot's order: the row that shows it,
  // or none for one left out (hidden, filtered, or a second listing of an identifier), with
  // what decided its place.
  struct Place {
    TransferOverviewRow* row = nullptr;
    std::string id;  // only for a transfer without a row
    bool ended = false;
    double createdAt = 0;
    std::uint64_t stamp = 0;  // the runtime's stamp of the value shown, 0 without one
  };
  struct Places {
    bool activeOnly = false;
    std::set<std::string> dismissed;
    std::vector<std::pair<std::string, std::string>> peerNames;
    std::vector<Place> places;
  };
  std::optional<Places> places_;
};

// One transfer of the overview on its surface: the peer and direction, the date, the menu of an
// ended transfer, and the card (behind a disclosure once ended).
class TransferOverviewRow : public workspace::SurfaceFrame {
  Q_OBJECT

 public:
  TransferOverviewRow(workspace::ViewEnvironment& environment,
                      std::shared_ptr<TransferCardState> state, const TransferCardParts& parts,
                      QWidget* parent = nullptr);

  // The transfer and its peer's name; cheap when nothing changed.
  void show(const transfer::RuntimeTransfer& transfer, const QString& peerName, bool retranslate);

  TransferCard* card() const { return card_; }
  const transfer::RuntimeTransfer& transfer() const { return transfer_; }
  bool expanded() const;
  void setExpanded(bool expanded);

 Q_SIGNALS:
  void removeRequested(const transfer::RuntimeTransfer& transfer);

 private:
  workspace::ViewEnvironment& environment_;
  transfer::RuntimeTransfer transfer_;
  QString peerName_;
  bool shownOnce_ = false;
  bool ended_ = false;

  QToolButton* menuButton_;
  QAction* removeAction_;
  workspace::SymbolLabel* peer_;
  workspace::TextLabel* date_;
  QWidget* disclosure_;
  QToolButton* disclosureButton_;
  workspace::TextLabel* summaryName_;
  workspace::TextLabel* summaryLine_;
  TransferCard* card_;
};

}  // namespace velmorine::library
