#include "Velmorine/library/transfer_card.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "Velmorine/library/transfer_card_hub.h"
#include "Velmorine/library/transfer_item_row.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/desktop/file_manager.h"

namespace velmorine::library {

namespace {

using transfer::ContentFailure;
using transfer::TransferState;
using workspace::TextLabel;
using workspace::TextStyle;
using workspace::TextTone;

QString byteCount(const workspace::ViewEnvironment& environment, std::uint64_t count) {
  return QString::fromStdString(shell::formattedByteCount(count, environment.language()));
}

std::string lowered(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return text;
}

QWidget* row(std::initializer_list<QWidget*> widgets, bool trailingStretch = true) {
  auto* holder = new QWidget;
  auto* layout = new QHBoxLayout(holder);
  layout->setContentsMargins(0, 0, 0, 0);
  for (QWidget* widget : widgets) layout->addWidget(widget, 0, Qt::AlignVCenter);
  if (trailingStretch) layout->addStretch(1);
  return holder;
}

}  // namespace

std::shared_ptr<TransferCardState> TransferCardStates::stateFor(const std::string& transferID) {
  auto& state = states_[transferID];
  if (!state) state = std::make_shared<TransferCardState>();
  return state;
}

void TransferCardStates::keepOnly(const std::vector<std::string>& transferIDs) {
  std::erase_if(states_, [&](const auto& entry) {
    return std::ranges::find(transferIDs, entry.first) == transferIDs.end();
  });
}

DestinationChooser folderDestinationChooser() {
  return [](QWidget* parent, std::optional<std::filesystem::path> start,
            std::function<void(std::optional<std::filesystem::path>)> chosen) {
    auto* dialog = new QFileDialog(parent ? parent->window() : nullptr);
    dialog->setObjectName(QStringLiteral("transfer.chooseFolderDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    if (start) dialog->setDirectory(QString::fromStdString(start->string()));
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
}

ItemRevealer desktopItemRevealer() {
  return [](const std::filesystem::path& item) { platform::revealItem(item); };
}

int TransferCard::progressValue(std::uint64_t bytes, std::uint64_t total) {
  const std::uint64_t whole = std::max<std::uint64_t>(total, 1);
  __extension__ typedef unsigned __int128 Wide;  // bytes × 10,000 needs more than 64 bits
  const auto done = static_cast<Wide>(std::min(bytes, whole));
  return static_cast<int>(done * kProgressSteps / whole);
}

TransferCard::TransferCard(workspace::ViewEnvironment& environment,
                           std::shared_ptr<TransferCardState> state, bool embedded,
                           TransferCardParts parts, QWidget* parent)
    : SurfaceFrame(environment, workspace::SurfaceKind::neutral, 12, !embedded, parent),
      environment_(environment),
      state_(std::move(state)),
      embedded_(embedded),
      parts_(std::move(parts)) {
  setObjectName(QStringLiteral("transfer.card"));
  auto* column = new QVBoxLayout(this);
  const int inset = embedded_ ? 0 : 16;
  column->setContentsMargins(inset, inset, inset, inset);
  column->setSpacing(10);
  if (!embedded_) setMaximumWidth(kGreatestWidth);

  // 1. Header.
  direction_ = new workspace::DecorativeSymbol("arrow.down.doc", TextStyle::title2);
  title_ = new TextLabel(TextStyle::headline);
  title_->setObjectName(QStringLiteral("transfer.title"));
  title_->setWrapping(true);
  title_->setSelectable(true);
  title_->setMaximumHeight(title_->fontMetrics().lineSpacing() * 2 + 4);
  stateLabel_ = new TextLabel(TextStyle::callout, TextTone::secondary);
  stateLabel_->setObjectName(QStringLiteral("transfer.state"));
  auto* heading = new QWidget;
  auto* headingColumn = new QVBoxLayout(heading);
  headingColumn->setContentsMargins(0, 0, 0, 0);
  headingColumn->setSpacing(4);
  headingColumn->addWidget(title_);
  headingColumn->addWidget(stateLabel_);
  auto* header = new QWidget;
  auto* headerRow = new QHBoxLayout(header);
  headerRow->setContentsMargins(0, 0, 0, 0);
  headerRow->addWidget(direction_, 0, Qt::AlignTop);
  headerRow->addWidget(heading, 1, Qt::AlignTop);
  column->addWidget(header);

  // 2. Items and their pages.
  items_ = new QWidget;
  itemColumn_ = new QVBoxLayout(items_);
  itemColumn_->setContentsMargins(0, 0, 0, 0);
  itemColumn_->setSpacing(10);
  previous_ = makeButton("transfer.previous");
  next_ = makeButton("transfer.next");
  position_ = new TextLabel(TextStyle::caption);
  position_->setObjectName(QStringLiteral("transfer.position"));
  paging_ = row({previous_, position_, next_});
  itemColumn_->addWidget(paging_);
  column->addWidget(items_);
  connect(previous_, &QPushButton::clicked, this, [this] {
    state_->itemPage = std::max(0, state_->itemPage - 1);
    state_->announce();
  });
  connect(next_, &QPushButton::clicked, this, [this] {
    ++state_->itemPage;
    state_->announce();
  });

  // 3, 4. Progress and bytes.
  progress_ = new QProgressBar;
  progress_->setObjectName(QStringLiteral("transfer.progress"));
  progress_->setRange(0, kProgressSteps);
  progress_->setTextVisible(false);
  column->addWidget(progress_);
  byteText_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  byteText_->setObjectName(QStringLiteral("transfer.bytes"));
  {
    QFont digits = byteText_->font();
    digits.setStyleHint(QFont::Monospace);
    byteText_->setFont(digits);
  }
  column->addWidget(byteText_);

  // 5. Error.
  error_ = new workspace::SymbolLabel(TextStyle::caption);
  error_->setObjectName(QStringLiteral("transfer.error"));
  error_->label()->setWrapping(true);
  column->addWidget(error_);

  // 6. Controls.
  decision_ = new QWidget;
  auto* decisionColumn = new QVBoxLayout(decision_);
  decisionColumn->setContentsMargins(0, 0, 0, 0);
  destinationError_ = new workspace::SymbolLabel(TextStyle::caption);
  destinationError_->setObjectName(QStringLiteral("transfer.destinationError"));
  destinationError_->label()->setWrapping(true);
  accept_ = makeButton("transfer.accept");
  accept_->setDefault(true);
  reject_ = makeButton("transfer.reject");
  saveAs_ = makeButton("transfer.saveAs");
  defaultDestination_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  defaultDestination_->setWrapping(true);
  decisionColumn->addWidget(destinationError_);
  decisionColumn->addWidget(row({accept_, reject_, saveAs_}));
  decisionColumn->addWidget(defaultDestination_);
  column->addWidget(decision_);
  connect(accept_, &QPushButton::clicked, this, &TransferCard::accept);
  connect(saveAs_, &QPushButton::clicked, this, &TransferCard::saveAs);
  connect(reject_, &QPushButton::clicked, this,
          [this] { environment_.model().runtime().declineTransfer(transfer_.id); });

  retry_ = makeButton("transfer.retryQueued");
  retryCancel_ = makeButton("transfer.cancel");
  retryRow_ = row({retry_, retryCancel_});
  column->addWidget(retryRow_);
  cancel_ = makeButton("transfer.cancel");
  column->addWidget(row({cancel_}));
  connect(retry_, &QPushButton::clicked, this,
          [this] { environment_.model().runtime().retryTransfer(transfer_.id); });
  for (QPushButton* button : {retryCancel_, cancel_}) {
    connect(button, &QPushButton::clicked, this,
            [this] { environment_.model().runtime().cancelTransfer(transfer_.id); });
  }

  // 7, 8. Confirmation help and reveal.
  confirmationHelp_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  confirmationHelp_->setWrapping(true);
  column->addWidget(confirmationHelp_);
  revealButton_ = makeButton("transfer.showFinder");
  column->addWidget(row({revealButton_}));
  connect(revealButton_, &QPushButton::clicked, this, [this] {
    if (!transfer_.location) return;
    const auto url = transfer::ContentUrl::parse(*transfer_.location);
    if (!url || !url->isFile() || !parts_.reveal) return;
    // Checked just before it is handed over: a received item that became a link is not shown.
    std::error_code error;
    const auto status = std::filesystem::symlink_status(url->path(), error);
    if (error || std::filesystem::is_symlink(status) || !std::filesystem::exists(status)) return;
    parts_.reveal(url->path());
  });

  stateConnection_ =
      connect(state_.get(), &TransferCardState::changed, this, &TransferCard::refresh);
  // The host hands the transfer over itself; of the rest of the snapshot only the language, and
  // for a received batch its container, change what the card shows. The hub follows those for
  // every card of the model at once.
  hub_ = &TransferCardHub::of(environment_.model());
  hub_->add(this);
}

TransferCard::~TransferCard() {
  if (hub_) hub_->remove(this);
}

void TransferCard::followSnapshot() {
  if (!hasTransfer_) return;
  if (environment_.language() != language_ || (!received_ && awaitsContainer())) refresh();
}

QPushButton* TransferCard::makeButton(const char* objectName) {
  auto* button = new QPushButton;
  button->setObjectName(QString::fromLatin1(objectName));
  button->setAutoDefault(false);
  return button;
}

namespace {

// Every field but the bytes done, compared without a copy.
bool sameButBytes(const transfer::RuntimeTransfer& a, const transfer::RuntimeTransfer& b) {
  return a.id == b.id && a.state == b.state && a.totalBytes == b.totalBytes &&
         a.outgoing == b.outgoing && a.name == b.name && a.peerID == b.peerID &&
         a.contactID == b.contactID && a.error == b.error && a.location == b.location &&
         a.itemCount == b.itemCount && a.createdAt == b.createdAt &&
         a.canRetryQueued == b.canRetryQueued && a.items == b.items;
}

}  // namespace

void TransferCard::showTransfer(const transfer::RuntimeTransfer& transfer,
                                std::shared_ptr<TransferCardState> state) {
  if (state == state_) {
    setTransfer(transfer);
    return;
  }
  disconnect(stateConnection_);
  state_ = std::move(state);
  stateConnection_ =
      connect(state_.get(), &TransferCardState::changed, this, &TransferCard::refresh);
  transfer_ = transfer;
  hasTransfer_ = true;
  refresh();
}

void TransferCard::setTransfer(const transfer::RuntimeTransfer& transfer) {
  const bool same = hasTransfer_ && sameButBytes(transfer, transfer_);
  if (same && transfer.bytes == transfer_.bytes) return;
  transfer_ = transfer;
  hasTransfer_ = true;
  if (same) {
    refreshProgress();
  } else {
    refresh();
  }
}

void TransferCard::refreshProgress() {
  progress_->setValue(progressValue(transfer_.bytes, transfer_.totalBytes));
  const QString bytes = QStringLiteral("%1 / %2").arg(
      byteCount(environment_, transfer_.bytes), byteCount(environment_, transfer_.totalBytes));
  // A label of fixed size changes its text without laying out the list it stands in again; it
  // grows (and lays out once) only when a text needs more room.
  const QFontMetrics metrics = byteText_->fontMetrics();
  const int needed = metrics.horizontalAdvance(bytes) + 2;
  if (needed > byteText_->maximumWidth() ||
      byteText_->minimumWidth() != byteText_->maximumWidth()) {
    byteText_->setFixedSize(needed + metrics.averageCharWidth() * 6, metrics.height());
  }
  byteText_->setText(bytes);
  progress_->setAccessibleName(environment_.text("transfer.progress") + QStringLiteral(": ") +
                               QString::fromStdString(transfer_.name));
  progress_->setAccessibleDescription(bytes);
}

void TransferCard::retranslate() {
  previous_->setText(workspace::buttonTitle(environment_.text("library.previous")));
  next_->setText(workspace::buttonTitle(environment_.text("library.next")));
  accept_->setText(workspace::buttonTitle(environment_.text("transfer.accept")));
  reject_->setText(workspace::buttonTitle(environment_.text("transfer.reject")));
  saveAs_->setText(workspace::buttonTitle(environment_.text("transfer.saveAs")));
  defaultDestination_->setText(environment_.text("transfer.defaultDestination"));
  retry_->setText(workspace::buttonTitle(environment_.text("transfer.retryQueued")));
  retryCancel_->setText(workspace::buttonTitle(environment_.text("action.cancel")));
  cancel_->setText(workspace::buttonTitle(environment_.text("action.cancel")));
  confirmationHelp_->setText(environment_.text("transfer.confirmationHelp"));
  revealButton_->setText(workspace::buttonTitle(environment_.text("transfer.showFinder")));
}

bool TransferCard::awaitsContainer() const {
  return !transfer_.outgoing && transfer_.state == TransferState::committed &&
         !transfer_.items.empty();
}

void TransferCard::refresh() {
  language_ = environment_.language();
  retranslate();
  const auto state = transfer_.state;
  direction_->setSymbol(transfer_.outgoing ? "arrow.up.doc" : "arrow.down.doc");
  if (transfer_.items.size() < 2) {
    title_->setText(QString::fromStdString(transfer_.name));
  } else {
    title_->setText(environment_.text("transfer.batchTitle")
                        .arg(static_cast<qlonglong>(transfer_.items.size())));
  }
  stateLabel_->setText(
      environment_.text("transfer.state." + std::string(transfer::rawValue(state))));

  received_.reset();
  const std::string id = lowered(transfer_.id);
  for (const auto& entry : environment_.model().snapshot().received) {
    if (entry.transferID.to_string() == id) {
      received_ = entry;
      break;
    }
  }
  refreshRows();
  if (hub_) hub_->setAwaiting(this, !received_ && awaitsContainer());

  progress_->setVisible(state == TransferState::transferring ||
                        state == TransferState::awaitingCommit);
  refreshProgress();

  error_->setVisible(transfer_.error.has_value());
  if (transfer_.error)
    error_->setContent("exclamationmark.triangle", environment_.text(*transfer_.error));

  const bool pending = state == TransferState::pending;
  const bool retryable = !pending && transfer_.canRetryQueued.value_or(false);
  decision_->setVisible(pending);
  retryRow_->setVisible(retryable);
  cancel_->parentWidget()->setVisible(!pending && !retryable && !transfer::isEnded(state));
  if (pending) {
    destinationError_->setVisible(state_->destinationError.has_value());
    if (const auto failure = state_->destinationError) {
      const std::string key = *failure == ContentFailure::Case::access
                                  ? std::string("transfer.error.destinationAccess")
                                  : "transfer.error." + std::string(transfer::rawValue(*failure));
      destinationError_->setContent("exclamationmark.triangle", environment_.text(key));
    }
    for (QPushButton* button : {accept_, reject_, saveAs_}) button->setEnabled(!state_->choosing);
  }
  confirmationHelp_->setVisible(state == TransferState::awaitingCommit ||
                                state == TransferState::unconfirmed);
  revealButton_->parentWidget()->setVisible(state == TransferState::committed &&
                                            !transfer_.outgoing && transfer_.location.has_value());
}

void TransferCard::refreshRows() {
  const auto count = static_cast<int>(transfer_.items.size());
  items_->setVisible(count > 0);
  const int first = state_->itemPage * kItemsPerPage;
  const int last = std::min(first + kItemsPerPage, count);
  std::vector<const transfer::TransferDisplayItem*> page;
  for (int i = first; i < last; ++i) page.push_back(&transfer_.items[static_cast<std::size_t>(i)]);

  const bool samePaths =
      page.size() == rows_.size() &&
      std::ranges::equal(page, rows_, [](const auto* item, const TransferItemRow* row) {
        return item->entry.path == row->item().entry.path;
      });
  if (samePaths) {
    for (std::size_t i = 0; i < page.size(); ++i) rows_[i]->update(*page[i], transfer_, received_);
  } else {
    for (TransferItemRow* old : rows_) delete old;
    rows_.clear();
    for (std::size_t i = 0; i < page.size(); ++i) {
      auto* made = new TransferItemRow(environment_, *page[i], transfer_, received_);
      itemColumn_->insertWidget(static_cast<int>(i), made);
      rows_.push_back(made);
    }
  }
  for (TransferItemRow* made : rows_) made->retranslate();

  paging_->setVisible(count > kItemsPerPage);
  if (count > kItemsPerPage) {
    previous_->setEnabled(state_->itemPage > 0);
    next_->setEnabled((state_->itemPage + 1) * kItemsPerPage < count);
    position_->setText(QStringLiteral("%1\u2013%2 / %3")
                           .arg(first + 1)
                           .arg(std::min((state_->itemPage + 1) * kItemsPerPage, count))
                           .arg(count));
  }
}

void TransferCard::accept() {
  if (state_->choosing) return;
  state_->choosing = true;
  state_->announce();
  // The completion acts on the transfer and its state, whichever card shows them by then.
  QPointer<workspace::WorkspaceModel> model(&environment_.model());
  environment_.model().runtime().openReceivedFolder(
      [model, state = state_, id = transfer_.id](auto folder) {
        state->choosing = false;
        if (folder) {
          state->destinationError.reset();
          if (model) model->runtime().acceptTransfer(id, *folder);
        } else {
          state->destinationError = folder.error();
        }
        state->announce();
      });
}

void TransferCard::saveAs() {
  if (state_->choosing) return;
  state_->choosing = true;
  state_->announce();
  std::optional<std::filesystem::path> start;
  std::shared_ptr<transfer::ScopedContentAccess> access;
  if (const auto& bookmark = environment_.model().snapshot().preferences.destinationBookmark) {
    try {
      const auto resolved = platform::resolve_bookmark(*bookmark);
      if (!resolved.stale) {
        const auto url = transfer::ContentUrl::file(resolved.path, true);
        access = transfer::ScopedContentAccess::start(url);
        start = resolved.path;
      }
    } catch (...) {
      // The dialog opens at its default place; nothing is reported.
    }
  }
  QPointer<workspace::WorkspaceModel> model(&environment_.model());
  parts_.chooseDestination(this, start,
                           [model, state = state_, id = transfer_.id,
                            access](std::optional<std::filesystem::path> folder) {
                             state->choosing = false;
                             if (folder) {
                               state->destinationError.reset();
                               if (model) model->runtime().acceptTransfer(id, *folder);
                             }
                             state->announce();
                           });
}

}  // namespace velmorine::library
