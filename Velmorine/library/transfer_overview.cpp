#include "Velmorine/library/transfer_overview.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <unordered_map>

#include "Velmorine/library/view_formats.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::library {

namespace {

using workspace::TextLabel;
using workspace::TextStyle;
using workspace::TextTone;

}  // namespace

std::string TransferOverview::dismissalKey(const transfer::RuntimeTransfer& transfer) {
  return transfer.contactID + ":" + transfer.id;
}

std::vector<const transfer::RuntimeTransfer*> TransferOverview::visibleTransfers(
    const runtime::RuntimeSnapshot& snapshot, bool activeOnly) {
  // Sorted by small keys, the snapshot position breaking ties, so that equal dates keep their
  // order without a stable sort's buffer.
  struct Key {
    bool ended;
    double createdAt;
    std::uint32_t position;
  };
  std::vector<Key> keys;
  keys.reserve(snapshot.transfers.size());
  const bool anyHidden = !snapshot.dismissedTransfers.empty();
  for (std::size_t i = 0; i < snapshot.transfers.size(); ++i) {
    const auto& transfer = snapshot.transfers[i];
    const bool ended = transfer::isEnded(transfer.state);
    if (ended && anyHidden && snapshot.dismissedTransfers.contains(dismissalKey(transfer)))
      continue;
    if (activeOnly && ended) continue;
    keys.push_back(
        {ended, transfer.createdAt.timeIntervalSinceReferenceDate, static_cast<std::uint32_t>(i)});
  }
  std::ranges::sort(keys, [](const Key& a, const Key& b) {
    if (a.ended != b.ended) return !a.ended;
    if (a.createdAt != b.createdAt) return a.createdAt > b.createdAt;
    return a.position < b.position;
  });
  std::vector<const transfer::RuntimeTransfer*> visible;
  visible.reserve(keys.size());
  for (const Key& key : keys) visible.push_back(&snapshot.transfers[key.position]);
  return visible;
}

bool TransferOverview::clearable(const runtime::RuntimeSnapshot& snapshot) {
  return std::ranges::any_of(snapshot.transfers, [&](const auto& transfer) {
    return transfer::isEnded(transfer.state) &&
           !snapshot.dismissedTransfers.contains(dismissalKey(transfer));
  });
}

TransferOverview::TransferOverview(workspace::ViewEnvironment& environment, TransferCardParts parts,
                                   QWidget* parent)
    : QWidget(parent), environment_(environment), parts_(std::move(parts)) {
  setObjectName(QStringLiteral("transfers.pane"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(16);

  title_ = new TextLabel(TextStyle::title2);
  title_->setWeight(QFont::Bold);
  activeToggle_ = new QCheckBox;
  activeToggle_->setObjectName(QStringLiteral("transfers.activeOnly"));
  clear_ = new QPushButton;
  clear_->setObjectName(QStringLiteral("transfers.clear"));
  clear_->setAutoDefault(false);
  auto* header = new QHBoxLayout;
  header->addWidget(title_, 0, Qt::AlignVCenter);
  header->addStretch(1);
  header->addWidget(activeToggle_, 0, Qt::AlignVCenter);
  header->addWidget(clear_, 0, Qt::AlignVCenter);
  column->addLayout(header);
  connect(activeToggle_, &QCheckBox::toggled, this, [this](bool on) {
    activeOnly_ = on;
    refresh();
  });
  connect(clear_, &QPushButton::clicked, this, &TransferOverview::confirmClear);

  auto* scroll = new QScrollArea;
  scroll->setObjectName(QStringLiteral("transfers.list"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* frame = new QWidget;
  auto* frameRow = new QHBoxLayout(frame);
  frameRow->setContentsMargins(0, 0, 0, 0);
  list_ = new QWidget;
  list_->setMaximumWidth(kGreatestListWidth);
  listColumn_ = new QVBoxLayout(list_);
  listColumn_->setContentsMargins(0, 0, 0, 0);
  listColumn_->setSpacing(12);
  empty_ = new TextLabel(TextStyle::body, TextTone::secondary);
  empty_->setObjectName(QStringLiteral("transfers.empty"));
  empty_->setContentsMargins(0, 40, 0, 0);
  listColumn_->addWidget(empty_);
  listColumn_->addStretch(1);
  frameRow->addWidget(list_, 1);
  frameRow->addStretch(0);  // beyond its greatest width the list stays at the leading edge
  scroll->setWidget(frame);
  column->addWidget(scroll, 1);

  connect(&environment_.model(), &workspace::WorkspaceModel::snapshotPublished, this,
          &TransferOverview::refresh);
  refresh();
}

TransferOverview::~TransferOverview() = default;

std::vector<TransferOverviewRow*> TransferOverview::rows() const { return order_; }

TransferOverviewRow* TransferOverview::row(const std::string& transferID) const {
  const auto found = rows_.find(transferID);
  return found == rows_.end() ? nullptr : found->second;
}

void TransferOverview::retranslate() {
  title_->setText(environment_.text("transfers.title"));
  activeToggle_->setText(environment_.text("transfers.activeOnly"));
  clear_->setText(workspace::buttonTitle(environment_.text("transfer.clearRecords")));
  empty_->setText(environment_.text("transfers.empty"));
}

void TransferOverview::refresh() {
  const auto& snapshot = environment_.model().snapshot();
  const bool languageChanged = language_ != environment_.language();
  if (languageChanged) {
    language_ = environment_.language();
    retranslate();
  }
  clear_->setEnabled(clearable(snapshot) && !cleanupBusy_);

  if (!languageChanged && showInPlace(snapshot)) return;

  const auto visible = visibleTransfers(snapshot, activeOnly_);
  // Each peer's name is made once per snapshot, not once per row.
  std::unordered_map<std::string_view, QString> peerNames;
  for (const auto& peer : snapshot.peers) {
    peerNames.try_emplace(peer.id, QString::fromStdString(peer.name));
  }
  const QString otherDevice = environment_.text("transfer.otherDevice");
  auto peerNameOf = [&](const transfer::RuntimeTransfer& transfer) -> const QString& {
    const auto found = peerNames.find(transfer.contactID);
    return found == peerNames.end() ? otherDevice : found->second;
  };

  // The usual snapshot lists the same transfers in the same order: each row takes its value.
  const bool sameOrder =
      visible.size() == order_.size() &&
      std::ranges::equal(visible, order_, [](const auto* transfer, const auto* shown) {
        return transfer->id == shown->card()->transfer().id;
      });
  if (sameOrder) {
    for (std::size_t i = 0; i < visible.size(); ++i) {
      order_[i]->show(*visible[i], peerNameOf(*visible[i]), languageChanged);
    }
    empty_->setVisible(order_.empty());
    rememberPlaces(snapshot, visible, order_);
    return;
  }

  std::vector<TransferOverviewRow*> order;
  order.reserve(visible.size());
  std::map<std::string, TransferOverviewRow*> kept;
  for (const auto* transfer : visible) {
    TransferOverviewRow*& made = kept[transfer->id];
    if (made != nullptr) continue;  // an identifier listed twice shows once
    if (auto found = rows_.find(transfer->id); found != rows_.end()) {
      made = found->second;
      rows_.erase(found);
    } else {
      made = new TransferOverviewRow(environment_, states_.stateFor(transfer->id), parts_, list_);
      connect(made, &TransferOverviewRow::removeRequested, this, &TransferOverview::clearOne);
    }
    made->show(*transfer, peerNameOf(*transfer), languageChanged);
    order.push_back(made);
  }
  for (auto& [id, gone] : rows_) delete gone;
  rows_ = std::move(kept);

  // The layout is touched only when the order changed.
  if (order != order_) {
    for (auto* shown : order_) listColumn_->removeWidget(shown);
    for (std::size_t i = 0; i < order.size(); ++i) {
      listColumn_->insertWidget(static_cast<int>(i), order[i]);
    }
    order_ = std::move(order);
    std::vector<std::string> ids;
    for (const auto& [id, kept_row] : rows_) ids.push_back(id);
    states_.keepOnly(ids);
  }
  empty_->setVisible(order_.empty());
  rememberPlaces(snapshot, visible, order_);
}

void TransferOverview::rememberPlaces(const runtime::RuntimeSnapshot& snapshot,
                                      const std::vector<const transfer::RuntimeTransfer*>& visible,
                                      const std::vector<TransferOverviewRow*>& rows) {
  Places remembered;
  remembered.activeOnly = activeOnly_;
  remembered.dismissed = snapshot.dismissedTransfers;
  for (const auto& peer : snapshot.peers) remembered.peerNames.emplace_back(peer.id, peer.name);
  remembered.places.resize(snapshot.transfers.size());
  const bool stamped = snapshot.transferStamps.size() == snapshot.transfers.size();
  for (std::size_t i = 0; i < snapshot.transfers.size(); ++i) {
    const auto& transfer = snapshot.transfers[i];
    auto& place = remembered.places[i];
    place.stamp = stamped ? snapshot.transferStamps[i] : 0;
    place.ended = transfer::isEnded(transfer.state);
    place.createdAt = transfer.createdAt.timeIntervalSinceReferenceDate;
    place.id = transfer.id;
  }
  // A row shows the first listing of its identifier in the visible order; that place keeps the
  // row, whose transfer carries the identifier.
  std::size_t next = 0;
  for (const auto* transfer : visible) {
    if (next == rows.size()) break;
    if (rows[next]->transfer().id != transfer->id) continue;
    auto& place = remembered.places[static_cast<std::size_t>(transfer - snapshot.transfers.data())];
    place.row = rows[next++];
    place.id.clear();
  }
  places_ = std::move(remembered);
}

bool TransferOverview::showInPlace(const runtime::RuntimeSnapshot& snapshot) {
  if (!places_ || places_->activeOnly != activeOnly_ ||
      places_->places.size() != snapshot.transfers.size() ||
      places_->dismissed != snapshot.dismissedTransfers ||
      !std::ranges::equal(snapshot.peers, places_->peerNames,
                          [](const runtime::RuntimePeer& peer, const auto& known) {
                            return peer.id == known.first && peer.name == known.second;
                          })) {
    return false;
  }
  // The place of a transfer follows from its identifier, whether it ended and its date; with
  // those unchanged for every transfer the order is the same. A transfer whose stamp is the one
  // shown costs a comparison of the stamps, one equal to the value its row shows a comparison of
  // the values.
  const bool stamped = snapshot.transferStamps.size() == snapshot.transfers.size();
  std::vector<std::pair<TransferOverviewRow*, const transfer::RuntimeTransfer*>> changed;
  std::vector<std::pair<std::size_t, std::uint64_t>> restamped;
  for (std::size_t i = 0; i < snapshot.transfers.size(); ++i) {
    const std::uint64_t stamp = stamped ? snapshot.transferStamps[i] : 0;
    const Place& place = places_->places[i];
    if (stamp != 0 && stamp == place.stamp) continue;
    if (stamp != place.stamp) restamped.emplace_back(i, stamp);
    const auto& transfer = snapshot.transfers[i];
    if (place.row != nullptr) {
      const auto& shown = place.row->transfer();
      if (shown == transfer) continue;
      if (shown.id != transfer.id) return false;
    } else if (place.id != transfer.id) {
      return false;
    }
    if (place.ended != transfer::isEnded(transfer.state) ||
        place.createdAt != transfer.createdAt.timeIntervalSinceReferenceDate) {
      return false;
    }
    if (place.row != nullptr) changed.emplace_back(place.row, &transfer);
  }
  for (const auto& [i, stamp] : restamped) places_->places[i].stamp = stamp;
  if (changed.empty()) return true;
  const QString otherDevice = environment_.text("transfer.otherDevice");
  for (const auto& [row, transfer] : changed) {
    QString name = otherDevice;
    for (const auto& peer : snapshot.peers) {
      if (peer.id == transfer->contactID) {
        name = QString::fromStdString(peer.name);
        break;
      }
    }
    row->show(*transfer, name, false);
  }
  return true;
}

void TransferOverview::confirmClear() {
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("transfers.clearAlert"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::Question);
  alert->setText(environment_.text("transfer.clearRecords"));
  alert->setInformativeText(environment_.text("transfer.clearHelp"));
  alert->setTextFormat(Qt::PlainText);
  auto* cancel = alert->addButton(workspace::buttonTitle(environment_.text("action.cancel")),
                                  QMessageBox::RejectRole);
  auto* confirm = alert->addButton(workspace::buttonTitle(environment_.text("transfer.clearEnded")),
                                   QMessageBox::AcceptRole);
  confirm->setObjectName(QStringLiteral("transfers.clearConfirm"));
  alert->setDefaultButton(cancel);
  alert->setEscapeButton(cancel);
  connect(confirm, &QAbstractButton::clicked, this, &TransferOverview::clearEnded);
  alert->open();
}

void TransferOverview::clearEnded() {
  cleanupBusy_ = true;
  refresh();
  environment_.model().runtime().hideEndedTransfers(
      std::nullopt, std::nullopt, [self = QPointer<TransferOverview>(this)](bool success) {
        if (self) self->finishCleanup(success);
      });
}

void TransferOverview::clearOne(const transfer::RuntimeTransfer& transfer) {
  cleanupBusy_ = true;
  refresh();
  environment_.model().runtime().hideEndedTransfers(
      transfer.contactID, transfer.id, [self = QPointer<TransferOverview>(this)](bool success) {
        if (self) self->finishCleanup(success);
      });
}

void TransferOverview::finishCleanup(bool success) {
  cleanupBusy_ = false;
  refresh();
  if (success) return;
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("transfers.clearFailed"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::Warning);
  alert->setTextFormat(Qt::PlainText);
  alert->setText(environment_.text("transfer.clearFailed"));
  alert->addButton(workspace::buttonTitle(environment_.text("action.cancel")),
                   QMessageBox::RejectRole);
  alert->open();
}

TransferOverviewRow::TransferOverviewRow(workspace::ViewEnvironment& environment,
                                         std::shared_ptr<TransferCardState> state,
                                         const TransferCardParts& parts, QWidget* parent)
    : SurfaceFrame(environment, workspace::SurfaceKind::neutral, 12, true, parent),
      environment_(environment) {
  setObjectName(QStringLiteral("transfers.row"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(14, 14, 14, 14);
  column->setSpacing(8);

  peer_ = new workspace::SymbolLabel(TextStyle::callout, TextTone::secondary);
  peer_->setObjectName(QStringLiteral("transfers.peer"));
  date_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  date_->setObjectName(QStringLiteral("transfers.date"));
  menuButton_ = new QToolButton;
  menuButton_->setObjectName(QStringLiteral("transfers.rowMenu"));
  menuButton_->setAutoRaise(true);
  menuButton_->setFixedWidth(28);
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  menuButton_->setIcon(workspace::symbolIcon("ellipsis", style()));
  menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
  auto* menu = new QMenu(menuButton_);
  removeAction_ = menu->addAction(QString());
  removeAction_->setObjectName(QStringLiteral("transfer.removeRecord"));
  menuButton_->setMenu(menu);
  connect(removeAction_, &QAction::triggered, this, [this] { Q_EMIT removeRequested(transfer_); });
  auto* header = new QHBoxLayout;
  header->addWidget(peer_, 0, Qt::AlignVCenter);
  header->addStretch(1);
  header->addWidget(date_, 0, Qt::AlignVCenter);
  header->addWidget(menuButton_, 0, Qt::AlignVCenter);
  column->addLayout(header);

  disclosure_ = new QWidget;
  disclosure_->setObjectName(QStringLiteral("transfers.disclosure"));
  auto* disclosureRow = new QHBoxLayout(disclosure_);
  disclosureRow->setContentsMargins(0, 0, 0, 0);
  disclosureButton_ = new QToolButton;
  disclosureButton_->setObjectName(QStringLiteral("transfers.expand"));
  disclosureButton_->setCheckable(true);
  disclosureButton_->setAutoRaise(true);
  disclosureButton_->setArrowType(Qt::RightArrow);
  summaryName_ = new TextLabel(TextStyle::body);
  summaryName_->setObjectName(QStringLiteral("transfers.summaryName"));
  summaryName_->setWeight(QFont::Medium);
  summaryName_->setWrapping(true);
  summaryName_->setMaximumHeight(summaryName_->fontMetrics().lineSpacing() * 2 + 4);
  summaryLine_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  summaryLine_->setObjectName(QStringLiteral("transfers.summaryLine"));
  auto* summary = new QVBoxLayout;
  summary->setSpacing(4);
  summary->addWidget(summaryName_);
  summary->addWidget(summaryLine_);
  disclosureRow->addWidget(disclosureButton_, 0, Qt::AlignTop);
  disclosureRow->addLayout(summary, 1);
  column->addWidget(disclosure_);

  card_ = new TransferCard(environment_, std::move(state), true, parts);
  column->addWidget(card_);
  connect(disclosureButton_, &QToolButton::toggled, this, [this](bool open) {
    disclosureButton_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    card_->setVisible(!ended_ || open);
  });
}

bool TransferOverviewRow::expanded() const { return disclosureButton_->isChecked(); }
void TransferOverviewRow::setExpanded(bool expanded) { disclosureButton_->setChecked(expanded); }

void TransferOverviewRow::show(const transfer::RuntimeTransfer& transfer, const QString& peerName,
                               bool retranslate) {
  if (shownOnce_ && !retranslate && peerName == peerName_ && transfer == transfer_) return;
  card_->setTransfer(transfer);
  const bool headerChanged = !shownOnce_ || retranslate || peerName != peerName_ ||
                             transfer.outgoing != transfer_.outgoing ||
                             transfer.createdAt != transfer_.createdAt ||
                             transfer.state != transfer_.state || transfer.name != transfer_.name ||
                             transfer.totalBytes != transfer_.totalBytes;
  transfer_ = transfer;
  peerName_ = peerName;
  shownOnce_ = true;
  if (!headerChanged) return;

  const std::string& language = environment_.language();
  peer_->setContent(transfer_.outgoing ? "arrow.up.right" : "arrow.down.left", peerName_);
  date_->setText(dateText(transfer_.createdAt, language));
  const bool ended = transfer::isEnded(transfer_.state);
  menuButton_->setVisible(ended);
  removeAction_->setText(environment_.text("transfer.removeRecord"));
  menuButton_->setAccessibleName(environment_.text("transfer.removeRecord"));
  menuButton_->setToolTip(workspace::escapedToolTip(menuButton_->accessibleName()));
  if (ended && !ended_) disclosureButton_->setChecked(false);  // collapsed at first display
  ended_ = ended;
  disclosure_->setVisible(ended);
  card_->setVisible(!ended || disclosureButton_->isChecked());
  if (ended) {
    summaryName_->setText(QString::fromStdString(transfer_.name));
    summaryLine_->setText(
        environment_.text("transfer.state." + std::string(transfer::rawValue(transfer_.state))) +
        QStringLiteral(" \u00b7 ") + byteCountText(transfer_.totalBytes, language));
    disclosureButton_->setAccessibleName(summaryName_->text());
  }
}

}  // namespace velmorine::library
