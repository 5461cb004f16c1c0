#include "Velmorine/workspace/sidebar_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/control_styles.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/peer_list_model.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"
#include "Velmorine/workspace/wrapping_button.h"

namespace velmorine::workspace {

SidebarView::SidebarView(ViewEnvironment& environment, QWidget* parent)
    : QWidget(parent), environment_(environment) {
  setObjectName(QStringLiteral("sidebar"));
  setMinimumWidth(kMinimumWidth);
  setMaximumWidth(kMaximumWidth);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // Brand header.
  auto* brand = new QWidget(this);
  auto* brandRow = new QHBoxLayout(brand);
  brandRow->setContentsMargins(20, 20, 20, 20);
  brandRow->setSpacing(10);
  auto* brandSymbol =
      new DecorativeSymbol("arrow.up.arrow.down.square.fill", TextStyle::title, brand);
  brandRow->addWidget(brandSymbol);
  auto* brandText = new QVBoxLayout;
  brandText->setSpacing(2);
  auto* product = new TextLabel(TextStyle::headline, TextTone::primary, brand);
  // The product's name is the one text that is not looked up by key.
  product->setText(QStringLiteral("Velmorine"));
  subtitle_ = new TextLabel(TextStyle::caption, TextTone::secondary, brand);
  brandText->addWidget(product);
  brandText->addWidget(subtitle_);
  brandRow->addLayout(brandText);
  brandRow->addStretch(1);
  column->addWidget(brand);

  // This device's name.
  auto* device = new QWidget(this);
  auto* deviceColumn = new QVBoxLayout(device);
  deviceColumn->setContentsMargins(20, 0, 20, 12);
  deviceColumn->setSpacing(6);
  thisDevice_ = new TextLabel(TextStyle::caption, TextTone::secondary, device);
  deviceName_ = new WrappingButton(environment_, TextStyle::body, device);
  deviceName_->setObjectName(QStringLiteral("deviceName.edit"));
  deviceName_->setMaximumLines(2);
  deviceName_->setTrailingSymbol("pencil", TextStyle::caption);
  connect(deviceName_, &QAbstractButton::clicked, this, [this] {
    if (environment_.model().revealSettings) environment_.model().revealSettings();
  });
  hint_ = new QWidget(device);
  auto* hintColumn = new QVBoxLayout(hint_);
  hintColumn->setContentsMargins(0, 0, 0, 0);
  hintColumn->setSpacing(4);
  hintText_ = new TextLabel(TextStyle::caption, TextTone::secondary, hint_);
  hintText_->setWrapping(true);
  notNow_ = new QPushButton(hint_);
  notNow_->setObjectName(QStringLiteral("deviceName.notNow"));
  notNow_->setFont(fontFor(TextStyle::caption, font()));
  useLinkButtonStyle(notNow_);
  connect(notNow_, &QPushButton::clicked, this, &SidebarView::dismissHint);
  hintColumn->addWidget(hintText_);
  hintColumn->addWidget(notNow_, 0, Qt::AlignLeft);
  deviceColumn->addWidget(thisDevice_);
  deviceColumn->addWidget(deviceName_);
  deviceColumn->addWidget(hint_);
  column->addWidget(device);

  // Peer list.
  peersTitle_ = new TextLabel(TextStyle::caption, TextTone::secondary, this);
  peersTitle_->setWeight(QFont::Bold);
  peersTitle_->setContentsMargins(16, 4, 16, 4);
  column->addWidget(peersTitle_);
  list_ = new QListView(this);
  list_->setObjectName(QStringLiteral("peers.list"));
  peers_ = new PeerListModel(environment_, list_);
  list_->setModel(peers_);
  list_->setItemDelegate(new PeerRowDelegate(list_));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->setTabKeyNavigation(false);
  useSidebarListBackground(list_);
  connect(list_, &QWidget::customContextMenuRequested, this, &SidebarView::showRowMenu);
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &SidebarView::selectionChangedByUser);
  // A click on the row already selected while another section shows selects it again.
  connect(list_, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
    const QString id = index.data(kPeerIDRole).toString();
    if (!syncing_ && !id.isEmpty() && !environment_.model().conversationSelection()) {
      environment_.model().setConversationSelection(id.toStdString());
    }
  });
  column->addWidget(list_, 1);

  // Section buttons.
  auto* sections = new QWidget(this);
  auto* sectionColumn = new QVBoxLayout(sections);
  sectionColumn->setContentsMargins(16, 16, 16, 16);
  sectionColumn->setSpacing(10);
  transfers_ = new QPushButton(sections);
  transfers_->setObjectName(QStringLiteral("section.transfers"));
  library_ = new QPushButton(sections);
  library_->setObjectName(QStringLiteral("section.received"));
  for (auto* button : {transfers_, library_}) {
    usePlainButtonStyle(button);
    sectionColumn->addWidget(button, 0, Qt::AlignLeft);
  }
  connect(transfers_, &QPushButton::clicked, this,
          [this] { environment_.model().setSection(WorkspaceSection::transfers); });
  connect(library_, &QPushButton::clicked, this,
          [this] { environment_.model().setSection(WorkspaceSection::received); });
  column->addWidget(sections);

  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  column->addWidget(divider);

  // Network footer.
  auto* footer = new QWidget(this);
  auto* footerColumn = new QVBoxLayout(footer);
  footerColumn->setContentsMargins(16, 16, 16, 16);
  footerColumn->setSpacing(10);
  networkState_ = new SymbolLabel(TextStyle::callout, TextTone::primary, footer);
  networkToggle_ = new QPushButton(footer);
  networkToggle_->setObjectName(QStringLiteral("network.toggle"));
  networkToggle_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(networkToggle_, &QPushButton::clicked, this, [this] {
    auto& model = environment_.model();
    model.runtime().setNetworkEnabled(!model.snapshot().enabled);
  });
  addFiles_ = new WrappingButton(environment_, TextStyle::body, footer);
  addFiles_->setObjectName(QStringLiteral("transfer.add"));
  addFiles_->setSurface(WrappingButton::Surface{SurfaceKind::subtle, 6});
  addFiles_->setPadding(6);
  connect(addFiles_, &QAbstractButton::clicked, this,
          [this] { environment_.model().addAttachments(); });
  settings_ = new QPushButton(footer);
  settings_->setObjectName(QStringLiteral("settings.open"));
  usePlainButtonStyle(settings_);
  applyTone(settings_, TextTone::secondary);
  connect(settings_, &QPushButton::clicked, this, [this] {
    if (environment_.model().revealSettings) environment_.model().revealSettings();
  });
  footerColumn->addWidget(networkState_);
  footerColumn->addWidget(networkToggle_);
  footerColumn->addWidget(addFiles_);
  footerColumn->addWidget(settings_, 0, Qt::AlignLeft);
  column->addWidget(footer);

  auto& model = environment_.model();
  connect(&model, &WorkspaceModel::snapshotPublished, this, &SidebarView::refresh);
  connect(&model, &WorkspaceModel::unreadPublished, this, &SidebarView::refresh);
  connect(&model, &WorkspaceModel::selectedPeerIDPublished, this, &SidebarView::syncSelection);
  connect(&model, &WorkspaceModel::sectionPublished, this, &SidebarView::syncSelection);
  refresh();
}

QSize SidebarView::sizeHint() const { return {kIdealWidth, QWidget::sizeHint().height()}; }

void SidebarView::refresh() {
  const auto& snapshot = environment_.model().snapshot();
  const auto& preferences = snapshot.preferences;
  subtitle_->setText(environment_.text("brand.subtitle"));
  thisDevice_->setText(environment_.text("deviceName.thisDevice"));
  deviceName_->setTitle(QString::fromStdString(preferences.displayName));
  deviceName_->setToolTip(escapedToolTip(environment_.text("deviceName.rename")));
  const bool hint = snapshot.deviceNameUsesFallback &&
                    (!preferences.deviceNaming || !preferences.deviceNaming->hintDismissed);
  hint_->setVisible(hint);
  hintText_->setText(environment_.text("deviceName.hint"));
  notNow_->setText(buttonTitle(environment_.text("deviceName.notNow")));
  peersTitle_->setText(environment_.text("peers.title"));
  list_->setAccessibleName(environment_.text("peers.title"));
  transfers_->setText(buttonTitle(environment_.text("transfers.title")));
  transfers_->setIcon(symbolIcon("arrow.up.arrow.down", style()));
  library_->setText(buttonTitle(environment_.text("library.title")));
  library_->setIcon(symbolIcon("tray.full", style()));
  networkState_->setContent(
      snapshot.enabled ? "network" : "pause.circle",
      environment_.text(snapshot.enabled ? "network.enabled" : "network.paused"));
  networkToggle_->setText(
      buttonTitle(environment_.text(snapshot.enabled ? "network.pause" : "network.enable")));
  addFiles_->setTitle(environment_.text("transfer.add"));
  settings_->setText(buttonTitle(environment_.text("settings.title")));

  syncing_ = true;
  peers_->refresh();
  syncing_ = false;
  syncSelection();
}

void SidebarView::syncSelection() {
  const auto selection = environment_.model().conversationSelection();
  const int row = selection ? peers_->rowOf(*selection) : -1;
  auto* selectionModel = list_->selectionModel();
  const QModelIndex wanted = row >= 0 ? peers_->index(row) : QModelIndex();
  const auto selected = selectionModel->selectedIndexes();
  if ((selected.isEmpty() && !wanted.isValid()) ||
      (selected.size() == 1 && selected.front() == wanted)) {
    return;
  }
  syncing_ = true;
  if (wanted.isValid()) {
    selectionModel->setCurrentIndex(wanted, QItemSelectionModel::ClearAndSelect);
  } else {
    selectionModel->clearSelection();
  }
  syncing_ = false;
}

void SidebarView::selectionChangedByUser() {
  if (syncing_) return;
  const auto selected = list_->selectionModel()->selectedIndexes();
  auto& model = environment_.model();
  if (selected.isEmpty()) {
    model.setConversationSelection(std::nullopt);
    return;
  }
  const QString id = selected.front().data(kPeerIDRole).toString();
  if (id.isEmpty()) return;
  if (model.selectedPeerID() == id.toStdString() &&
      model.section() == WorkspaceSection::conversation) {
    return;
  }
  model.setConversationSelection(id.toStdString());
}

void SidebarView::showRowMenu(const QPoint& position) {
  const QModelIndex at = list_->indexAt(position);
  openRowMenu(at.isValid() ? at.row() : list_->currentIndex().row());
}

void SidebarView::openRowMenu(int row) {
  const QModelIndex index = peers_->index(row);
  const QString id = index.data(kPeerIDRole).toString();
  if (!index.isValid() || id.isEmpty()) return;
  if (rowMenu_ == nullptr) {
    rowMenu_ = new QMenu(this);
    rowMenu_->setObjectName(QStringLiteral("peers.rowMenu"));
  }
  rowMenu_->clear();
  auto* details = rowMenu_->addAction(buttonTitle(environment_.text("security.details")));
  details->setObjectName(QStringLiteral("security.details"));
  auto* clear = rowMenu_->addAction(buttonTitle(environment_.text("conversation.clear")));
  clear->setObjectName(QStringLiteral("conversation.clear"));
  const std::string contact = id.toStdString();
  // Each first selects the row's peer (which runs the selection change), then raises its flag.
  connect(details, &QAction::triggered, this, [this, contact] {
    environment_.model().setSelectedPeerID(contact);
    environment_.model().setSecurityDetailsVisible(true);
  });
  connect(clear, &QAction::triggered, this, [this, contact] {
    environment_.model().setSelectedPeerID(contact);
    environment_.model().setClearConfirmation(true);
  });
  rowMenu_->popup(list_->viewport()->mapToGlobal(list_->visualRect(index).center()));
}

void SidebarView::dismissHint() {
  environment_.model().runtime().updatePreferences([](store::AppPreferences& preferences) {
    if (preferences.deviceNaming) preferences.deviceNaming->hintDismissed = true;
  });
}

}  // namespace velmorine::workspace
