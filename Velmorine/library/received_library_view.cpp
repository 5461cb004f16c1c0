#include "Velmorine/library/received_library_view.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "Velmorine/library/media_preview.h"
#include "Velmorine/library/view_formats.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"
#include "platform/desktop/file_manager.h"

namespace velmorine::library {

namespace {

using workspace::TextLabel;
using workspace::TextStyle;
using workspace::TextTone;

constexpr const char* kMissing = "library.missing";

std::string containerName(const core::Uuid& id) { return "Velmorine-" + id.to_string(); }

QString shortIdentifier(const core::Uuid& id) {
  return QString::fromStdString(id.to_string()).toUpper().left(8);
}

QPushButton* plainButton(const char* name) {
  auto* button = new QPushButton;
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(false);
  return button;
}

QToolButton* iconButton(const char* name, const char* symbol, const QStyle* style) {
  auto* button = new QToolButton;
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoRaise(true);
  button->setIcon(workspace::symbolIcon(symbol, style));
  return button;
}

}  // namespace

LibraryDesktop systemLibraryDesktop() {
  LibraryDesktop desktop;
  desktop.open = [](const std::filesystem::path& item) { return platform::openFile(item); };
  desktop.reveal = [](const std::filesystem::path& item) { platform::revealItem(item); };
  desktop.trash = [](const std::filesystem::path& item) { return platform::moveToTrash(item); };
  desktop.chooseFolder = [](QWidget* parent, const QString& message,
                            std::function<void(std::optional<std::filesystem::path>)> chosen) {
    auto* dialog = new QFileDialog(parent ? parent->window() : nullptr);
    dialog->setObjectName(QStringLiteral("library.reconnectDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setWindowTitle(message);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, chosen](int result) {
      const auto files = dialog->selectedFiles();
      if (result == QDialog::Accepted && !files.isEmpty() && !files.front().isEmpty()) {
        chosen(std::filesystem::path(files.front().toStdString()));
      } else {
        chosen(std::nullopt);
      }
    });
    dialog->open();
  };
  return desktop;
}

int ReceivedLibraryView::previewHeight(int viewHeight) {
  return std::min(std::max(viewHeight - 400, 96), 220);
}

ReceivedLibraryView::ReceivedLibraryView(workspace::ViewEnvironment& environment,
                                         LibraryDesktop desktop, ReceivedBrowser::Queues queues,
                                         QWidget* parent)
    : QWidget(parent),
      environment_(environment),
      desktop_(std::move(desktop)),
      browser_(std::move(queues)) {
  setObjectName(QStringLiteral("library.pane"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(16);

  // 1. Header.
  title_ = new TextLabel(TextStyle::title2);
  title_->setWeight(QFont::Bold);
  count_ = new QLabel;
  count_->setObjectName(QStringLiteral("library.count"));
  count_->setTextFormat(Qt::PlainText);
  workspace::applyTone(count_, TextTone::secondary);
  auto* header = new QHBoxLayout;
  header->addWidget(title_);
  header->addStretch(1);
  header->addWidget(count_);
  column->addLayout(header);

  // 2. Nothing received.
  emptyState_ = new QWidget;
  auto* emptyColumn = new QVBoxLayout(emptyState_);
  empty_ = new workspace::SymbolLabel(TextStyle::body, TextTone::secondary);
  empty_->setObjectName(QStringLiteral("library.empty"));
  emptyColumn->addStretch(1);
  emptyColumn->addWidget(empty_, 0, Qt::AlignHCenter);
  emptyColumn->addStretch(1);
  column->addWidget(emptyState_, 1);

  // 3. Picker, container and error sections.
  content_ = new QWidget;
  auto* contentColumn = new QVBoxLayout(content_);
  contentColumn->setContentsMargins(0, 0, 0, 0);
  contentColumn->setSpacing(12);
  column->addWidget(content_, 1);

  pickerLabel_ = new TextLabel(TextStyle::body);
  picker_ = new QComboBox;
  picker_->setObjectName(QStringLiteral("library.batch"));
  pickerLabel_->setBuddy(picker_);
  auto* pickerRow = new QHBoxLayout;
  pickerRow->addWidget(pickerLabel_);
  pickerRow->addWidget(picker_, 1);
  contentColumn->addLayout(pickerRow);
  connect(picker_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (rebuildingPicker_) return;
    const QString text = picker_->itemData(index).toString();
    choose(text.isEmpty() ? std::nullopt : core::Uuid::parse(text.toStdString()));
  });

  container_ = new QWidget;
  container_->setObjectName(QStringLiteral("library.container"));
  auto* containerColumn = new QVBoxLayout(container_);
  containerColumn->setContentsMargins(0, 0, 0, 0);
  containerColumn->setSpacing(8);
  contentColumn->addWidget(container_, 1);

  revealButton_ = plainButton("library.reveal");
  trashButton_ = plainButton("library.trash");
  auto* actions = new QHBoxLayout;
  actions->addWidget(revealButton_);
  actions->addWidget(trashButton_);
  actions->addStretch(1);
  containerColumn->addLayout(actions);
  connect(revealButton_, &QPushButton::clicked, this, &ReceivedLibraryView::reveal);
  connect(trashButton_, &QPushButton::clicked, this, &ReceivedLibraryView::askToTrash);

  up_ = iconButton("library.up", "chevron.up", style());
  refresh_ = iconButton("library.refresh", "arrow.clockwise", style());
  pathText_ = new TextLabel(TextStyle::caption);
  pathText_->setObjectName(QStringLiteral("library.path"));
  pathText_->setWrapping(true);
  pathText_->setSelectable(true);
  pathText_->setMaximumHeight(pathText_->fontMetrics().lineSpacing() * 2 + 4);
  auto* pathBar = new QHBoxLayout;
  pathBar->addWidget(up_);
  pathBar->addWidget(pathText_, 1);
  pathBar->addWidget(refresh_);
  containerColumn->addLayout(pathBar);
  connect(up_, &QToolButton::clicked, this, [this] {
    auto above = browser_.path();
    if (above.empty()) return;
    above.pop_back();
    browser_.load(std::move(above), 0);
  });
  connect(refresh_, &QToolButton::clicked, this,
          [this] { browser_.load(std::nullopt, browser_.offset()); });

  listing_ = new QTreeWidget;
  listing_->setObjectName(QStringLiteral("library.listing"));
  listing_->setColumnCount(2);
  listing_->setHeaderHidden(true);
  listing_->setRootIsDecorated(false);
  listing_->setUniformRowHeights(true);
  listing_->setSelectionMode(QAbstractItemView::SingleSelection);
  listing_->setMinimumHeight(100);
  listing_->header()->setStretchLastSection(false);
  listing_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  listing_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  containerColumn->addWidget(listing_, 1);
  connect(listing_, &QTreeWidget::itemSelectionChanged, this, [this] {
    if (rebuildingListing_) return;
    const auto items = listing_->selectedItems();
    std::optional<std::string> id;
    if (!items.isEmpty()) id = items.front()->data(0, Qt::UserRole).toString().toStdString();
    if (id == browser_.selected()) return;
    browser_.setSelected(std::move(id));
    browser_.clearPreview();
  });

  previous_ = plainButton("library.previous");
  next_ = plainButton("library.next");
  pageRow_ = new QWidget;
  auto* pageLine = new QHBoxLayout(pageRow_);
  pageLine->setContentsMargins(0, 0, 0, 0);
  pageLine->addWidget(previous_);
  pageLine->addStretch(1);
  pageLine->addWidget(next_);
  containerColumn->addWidget(pageRow_);
  connect(previous_, &QPushButton::clicked, this,
          [this] { browser_.load(std::nullopt, browser_.offset() - ReceivedBrowser::kPageSize); });
  connect(next_, &QPushButton::clicked, this,
          [this] { browser_.load(std::nullopt, browser_.offset() + ReceivedBrowser::kPageSize); });

  image_ = new QLabel;
  image_->setObjectName(QStringLiteral("library.image"));
  image_->setAlignment(Qt::AlignCenter);
  containerColumn->addWidget(image_);
  quickLook_ = new QuickLookPreview;
  containerColumn->addWidget(quickLook_);

  browse_ = plainButton("library.browse");
  preview_ = plainButton("library.preview");
  open_ = plainButton("library.open");
  spinner_ = new QProgressBar;
  spinner_->setObjectName(QStringLiteral("library.loading"));
  spinner_->setRange(0, 0);
  spinner_->setTextVisible(false);
  spinner_->setMaximumWidth(48);
  spinner_->setMaximumHeight(12);
  auto* itemActions = new QHBoxLayout;
  itemActions->addWidget(browse_);
  itemActions->addWidget(preview_);
  itemActions->addWidget(open_);
  itemActions->addStretch(1);
  itemActions->addWidget(spinner_);
  containerColumn->addLayout(itemActions);
  connect(browse_, &QPushButton::clicked, this, [this] {
    if (const auto node = browser_.selectedNode(); node && node->directory) {
      browser_.load(node->components, 0);
    }
  });
  connect(preview_, &QPushButton::clicked, this, [this] { browser_.previewSelection(); });
  connect(open_, &QPushButton::clicked, this, &ReceivedLibraryView::askToOpen);

  errorSection_ = new QWidget;
  errorSection_->setObjectName(QStringLiteral("library.errorSection"));
  auto* errorColumn = new QVBoxLayout(errorSection_);
  errorColumn->setContentsMargins(0, 0, 0, 0);
  errorText_ = new TextLabel(TextStyle::callout, TextTone::secondary);
  errorText_->setObjectName(QStringLiteral("library.error"));
  errorText_->setWrapping(true);
  reconnect_ = plainButton("library.reconnect");
  errorColumn->addWidget(errorText_);
  errorColumn->addWidget(reconnect_, 0, Qt::AlignLeft);
  contentColumn->addWidget(errorSection_);
  connect(reconnect_, &QPushButton::clicked, this, &ReceivedLibraryView::reconnect);

  connect(&environment_.model(), &workspace::WorkspaceModel::snapshotPublished, this, [this] {
    snapshotDirty_ = true;
    // A hidden library catches up when it is shown again.
    if (isVisible()) refreshFromSnapshot();
  });
  connect(&browser_, &ReceivedBrowser::changed, this, &ReceivedLibraryView::refreshBrowser);
  refreshFromSnapshot();
}

ReceivedLibraryView::~ReceivedLibraryView() = default;

std::optional<store::ReceiveIndexEntry> ReceivedLibraryView::selectedEntry() const {
  if (!entryID_) return std::nullopt;
  for (const auto& entry : environment_.model().snapshot().received) {
    if (entry.transferID == *entryID_) return entry;
  }
  return std::nullopt;
}

void ReceivedLibraryView::choose(std::optional<core::Uuid> id) {
  entryID_ = id;
  const auto entry = selectedEntry();
  entryPresent_ = entry.has_value();
  if (entry) browser_.open(*entry);
  rebuildingPicker_ = true;
  const int index = id ? picker_->findData(QString::fromStdString(id->to_string())) : 0;
  picker_->setCurrentIndex(std::max(index, 0));
  rebuildingPicker_ = false;
  refreshBrowser();
}

void ReceivedLibraryView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (snapshotDirty_) refreshFromSnapshot();
}

void ReceivedLibraryView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // Nothing previewed plays or stays open behind another section.
  browser_.clearPreview();
}

void ReceivedLibraryView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  refreshPreview();
}

void ReceivedLibraryView::retranslate() {
  title_->setText(environment_.text("library.title"));
  empty_->setContent("tray", environment_.text("library.empty"));
  pickerLabel_->setText(environment_.text("library.batch"));
  revealButton_->setText(workspace::buttonTitle(environment_.text("transfer.showFinder")));
  trashButton_->setText(workspace::buttonTitle(environment_.text("library.trash")));
  up_->setAccessibleName(environment_.text("library.up"));
  up_->setToolTip(workspace::escapedToolTip(up_->accessibleName()));
  refresh_->setAccessibleName(environment_.text("library.refresh"));
  refresh_->setToolTip(workspace::escapedToolTip(refresh_->accessibleName()));
  previous_->setText(workspace::buttonTitle(environment_.text("library.previous")));
  next_->setText(workspace::buttonTitle(environment_.text("library.next")));
  browse_->setText(workspace::buttonTitle(environment_.text("library.browse")));
  preview_->setText(workspace::buttonTitle(environment_.text("library.preview")));
  open_->setText(workspace::buttonTitle(environment_.text("library.open")));
  spinner_->setAccessibleName(environment_.text("library.loading"));
  reconnect_->setText(workspace::buttonTitle(environment_.text("library.reconnect")));
}

void ReceivedLibraryView::refreshFromSnapshot() {
  snapshotDirty_ = false;
  const auto& received = environment_.model().snapshot().received;
  const bool languageChanged = language_ != environment_.language();
  if (languageChanged) {
    language_ = environment_.language();
    retranslate();
  }
  count_->setText(QString::number(received.size()));

  // The picker is rebuilt only when what it lists changed. The store keeps the entries in the
  // order they were recorded, removing some and appending others, so a list of the same length
  // with the same first and last entries lists the same batches (a reconnected batch changes
  // only its bookmark, which the picker does not show). Snapshots that move bytes cost no walk
  // over thousands of entries.
  auto sameEnds = [&] {
    if (received.size() != receivedCount_) return false;
    if (received.empty()) return true;
    return received.front().transferID == receivedFirst_.first &&
           received.front().committedAt.timeIntervalSinceReferenceDate == receivedFirst_.second &&
           received.back().transferID == receivedLast_.first &&
           received.back().committedAt.timeIntervalSinceReferenceDate == receivedLast_.second;
  };
  if (languageChanged || !pickerBuilt_ || !sameEnds()) {
    std::vector<std::pair<core::Uuid, double>> listed;
    listed.reserve(received.size());
    for (const auto& entry : received) {
      listed.emplace_back(entry.transferID, entry.committedAt.timeIntervalSinceReferenceDate);
    }
    std::ranges::stable_sort(listed,
                             [](const auto& a, const auto& b) { return a.second > b.second; });
    receivedCount_ = received.size();
    if (!received.empty()) {
      receivedFirst_ = {received.front().transferID,
                        received.front().committedAt.timeIntervalSinceReferenceDate};
      receivedLast_ = {received.back().transferID,
                       received.back().committedAt.timeIntervalSinceReferenceDate};
    }
    entryPresent_ = entryID_ && std::ranges::any_of(received, [&](const auto& entry) {
                      return entry.transferID == *entryID_;
                    });
    if (languageChanged || !pickerBuilt_ || listed != pickerEntries_) {
      pickerEntries_ = std::move(listed);
      rebuildPicker();
      pickerBuilt_ = true;
    }
  }
  emptyState_->setVisible(received.empty());
  content_->setVisible(!received.empty());
  refreshBrowser();
}

void ReceivedLibraryView::rebuildPicker() {
  rebuildingPicker_ = true;
  picker_->clear();
  picker_->addItem(environment_.text("library.choose"), QString());
  for (const auto& [id, committedAt] : pickerEntries_) {
    picker_->addItem(dateTimeText(store::Date{committedAt}, language_) +
                         QStringLiteral(" \u00b7 ") + shortIdentifier(id),
                     QString::fromStdString(id.to_string()));
  }
  const int index = entryID_ ? picker_->findData(QString::fromStdString(entryID_->to_string())) : 0;
  picker_->setCurrentIndex(std::max(index, 0));
  rebuildingPicker_ = false;
}

void ReceivedLibraryView::rebuildListing() {
  rebuildingListing_ = true;
  listing_->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(browser_.nodes().size()));
  for (const auto& node : browser_.nodes()) {
    auto* item = new QTreeWidgetItem;
    const QString name = QString::fromStdString(node.name);
    item->setText(0, name);
    item->setIcon(0, workspace::symbolIcon(node.directory ? "folder" : "doc", style()));
    item->setToolTip(0, workspace::escapedToolTip(name));
    item->setData(0, Qt::UserRole, QString::fromStdString(node.id()));
    if (!node.directory) {
      item->setText(1, byteCountText(node.size, language_));
      item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
      item->setForeground(1, palette().brush(QPalette::PlaceholderText));
      QFont caption = fontFor(TextStyle::caption, font());
      item->setFont(1, caption);
    }
    items.push_back(item);
  }
  listing_->addTopLevelItems(items);
  listedNodes_ = browser_.nodes();
  rebuildingListing_ = false;
}

void ReceivedLibraryView::refreshBrowser() {
  // The chosen entry's presence is known without a walk over the received list.
  const bool present = entryPresent_;
  container_->setVisible(present);
  const bool access = browser_.access() != nullptr;
  const bool busy = browser_.busy();
  revealButton_->setEnabled(access);
  trashButton_->setEnabled(access && !busy);

  const auto& path = browser_.path();
  up_->setEnabled(!path.empty() && !busy);
  if (path.empty()) {
    pathText_->setText(present && entryID_ ? QString::fromStdString(containerName(*entryID_))
                                           : QString());
  } else {
    QStringList parts;
    for (const auto& component : path) parts << QString::fromStdString(component);
    pathText_->setText(parts.join(QStringLiteral(" / ")));
  }

  if (browser_.nodes() != listedNodes_) rebuildListing();
  // The list follows the browser's selection (which the browser clears when a page loads).
  rebuildingListing_ = true;
  const auto& selected = browser_.selected();
  for (int i = 0; i < listing_->topLevelItemCount(); ++i) {
    auto* item = listing_->topLevelItem(i);
    const bool chosen =
        selected && item->data(0, Qt::UserRole).toString().toStdString() == *selected;
    if (item->isSelected() != chosen) item->setSelected(chosen);
    if (chosen) listing_->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
  }
  rebuildingListing_ = false;

  pageRow_->setVisible(browser_.offset() > 0 || browser_.hasMore());
  previous_->setEnabled(browser_.offset() > 0 && !busy);
  next_->setEnabled(browser_.hasMore() && !busy);

  const auto node = browser_.selectedNode();
  const bool folder = node && node->directory;
  browse_->setVisible(folder);
  preview_->setVisible(!folder);
  open_->setVisible(!folder);
  preview_->setEnabled(node.has_value() && !busy);
  open_->setEnabled(node.has_value() && !busy);
  spinner_->setVisible(busy);

  errorSection_->setVisible(browser_.error().has_value());
  if (browser_.error()) errorText_->setText(environment_.text(*browser_.error()));
  reconnect_->setVisible(present);
  refreshPreview();
}

void ReceivedLibraryView::refreshPreview() {
  const int height = previewHeight(this->height());
  if (const auto& image = browser_.preview()) {
    // Scaled to fit the preview's height, never enlarged.
    const QSize shown =
        image->height() > height
            ? image->size().scaled(QSize(image->width(), height), Qt::KeepAspectRatio)
            : image->size();
    image_->setPixmap(
        QPixmap::fromImage(image->scaled(shown, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    image_->setMaximumHeight(height);
    const auto node = browser_.selectedNode();
    image_->setAccessibleName(node ? QString::fromStdString(node->name) : QString());
    image_->show();
  } else {
    image_->clear();
    image_->hide();
  }

  const auto& url = browser_.quickLookURL();
  const bool media = url && isAudiovisual(browser_.quickLookKind());
  if (media) {
    if (media_ == nullptr) {
      media_ = new MediaPreview;
      static_cast<QVBoxLayout*>(container_->layout())
          ->insertWidget(container_->layout()->indexOf(quickLook_), media_);
    }
    media_->setFixedHeight(height);
    media_->setUrl(QUrl::fromLocalFile(QString::fromStdString(url->path().string())));
  } else if (media_ != nullptr) {
    // Removal stops and detaches the player.
    delete media_;
    media_ = nullptr;
  }
  if (url && !media) {
    const auto kind = browser_.quickLookKind() == FileKind::pdf ? QuickLookPreview::Kind::pdf
                                                                : QuickLookPreview::Kind::text;
    if (quickLook_->kind() != kind || quickLook_->isHidden()) {
      quickLook_->show(kind, browser_.quickLookBytes().value_or(QByteArray()),
                       QString::fromStdString(url->lastPathComponent()));
    }
    quickLook_->setFixedHeight(height);
    quickLook_->setVisible(true);
  } else if (!quickLook_->isHidden() || quickLook_->kind() != QuickLookPreview::Kind::none) {
    quickLook_->clear();
    quickLook_->setVisible(false);
  }
}

void ReceivedLibraryView::reveal() {
  const auto access = browser_.access();
  if (!access) return;
  try {
    const auto url = access->verifiedURL(browser_.selectedNode());
    if (desktop_.reveal) desktop_.reveal(url.path());
  } catch (...) {
    browser_.setError(kMissing);
  }
}

void ReceivedLibraryView::askToOpen() {
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("library.openAlert"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setTextFormat(Qt::PlainText);
  alert->setText(environment_.text("library.open"));
  alert->setInformativeText(environment_.text("library.openHelp"));
  auto* cancel = alert->addButton(workspace::buttonTitle(environment_.text("action.cancel")),
                                  QMessageBox::RejectRole);
  auto* confirm = alert->addButton(workspace::buttonTitle(environment_.text("library.open")),
                                   QMessageBox::AcceptRole);
  confirm->setObjectName(QStringLiteral("library.openConfirm"));
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(confirm);
  connect(confirm, &QAbstractButton::clicked, this, &ReceivedLibraryView::openSelected);
  alert->open();
}

void ReceivedLibraryView::openSelected() {
  const auto access = browser_.access();
  const auto node = browser_.selectedNode();
  if (!access || !node) return;
  try {
    const auto url = access->verifiedURL(node);
    if (desktop_.open && !desktop_.open(url.path())) browser_.setError(kMissing);
  } catch (...) {
    browser_.setError(kMissing);
  }
}

void ReceivedLibraryView::askToTrash() {
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("library.trashAlert"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::Warning);
  alert->setTextFormat(Qt::PlainText);
  alert->setText(environment_.text("library.trash"));
  alert->setInformativeText(environment_.text("library.trashHelp"));
  auto* cancel = alert->addButton(workspace::buttonTitle(environment_.text("action.cancel")),
                                  QMessageBox::RejectRole);
  auto* confirm = alert->addButton(workspace::buttonTitle(environment_.text("library.trash")),
                                   QMessageBox::DestructiveRole);
  confirm->setObjectName(QStringLiteral("library.trashConfirm"));
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(cancel);
  connect(confirm, &QAbstractButton::clicked, this, &ReceivedLibraryView::trashContainer);
  alert->open();
}

void ReceivedLibraryView::trashContainer() {
  const auto entry = selectedEntry();
  const auto access = browser_.access();
  if (!entry || !access) return;
  std::filesystem::path container;
  try {
    container = access->verifiedURL(std::nullopt).path();
  } catch (...) {
    browser_.setError(kMissing);
    return;
  }
  browser_.clearPreview();
  // The access stays open until the move is done.
  const bool moved = desktop_.trash && desktop_.trash(container);
  if (!moved) {
    browser_.setError(kMissing);
    return;
  }
  environment_.model().runtime().removeReceivedRecord(entry->transferID.to_string());
  choose(std::nullopt);
}

void ReceivedLibraryView::reconnect() {
  const auto entry = selectedEntry();
  if (!entry || !desktop_.chooseFolder) return;
  const QString message = environment_.text("library.reconnectHelp") + QLatin1Char('\n') +
                          QString::fromStdString(containerName(entry->transferID));
  desktop_.chooseFolder(this, message,
                        [self = QPointer<ReceivedLibraryView>(this),
                         id = entry->transferID](std::optional<std::filesystem::path> folder) {
                          if (!self || !folder) return;
                          self->environment_.model().runtime().relinkReceivedFolder(
                              id.to_string(), *folder,
                              [self](std::optional<store::ReceiveIndexEntry> updated) {
                                if (self && updated) self->browser_.open(*updated);
                              });
                        });
}

}  // namespace velmorine::library
