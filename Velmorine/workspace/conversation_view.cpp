#include "Velmorine/workspace/conversation_view.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <unordered_map>

#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/composer_text_view.h"
#include "Velmorine/workspace/conversation_scroll_position.h"
#include "Velmorine/workspace/item_column.h"
#include "Velmorine/workspace/message_row.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

constexpr int kSideMargin = 24;
constexpr int kBottomMargin = 12;
constexpr int kRowSpacing = 16;
constexpr int kComposerHeight = 70;
constexpr int kLatestInset = 12;
const std::string kHeaderID = "header";

bool offersRetry(runtime::MessageDelivery delivery) {
  return delivery == runtime::MessageDelivery::unconfirmed ||
         delivery == runtime::MessageDelivery::failed;
}

QDateTime localTime(const store::Date& date) {
  const double unix =
      date.timeIntervalSinceReferenceDate + store::Date::kReferenceDateInUnixSeconds;
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(unix * 1000.0)).toLocalTime();
}

QLocale localeFor(std::string_view language) {
  static const std::vector<std::string> preferred =
      shell::systemPreferredLanguages(shell::processEnvironment());
  const std::string_view code = shell::resolvedLanguageCode(language, preferred);
  return QLocale(QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size())));
}

// The stand-in transfer row: the batch's name and state on a card.
class PlainTransferRow : public SurfaceFrame {
 public:
  PlainTransferRow(ViewEnvironment& environment, QWidget* parent)
      : SurfaceFrame(environment, SurfaceKind::neutral, 12, true, parent),
        environment_(environment),
        label_(new TextLabel(TextStyle::body, TextTone::primary)) {
    setObjectName(QStringLiteral("transfer.row"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 12, 16, 12);
    label_->setElided(true);
    column->addWidget(label_);
    setMaximumWidth(520);
  }
  void show(const transfer::RuntimeTransfer& transfer) {
    const std::string stateKey = "transfer.state." + std::string(rawValue(transfer.state));
    label_->setText(QString::fromStdString(transfer.name) + QStringLiteral(" · ") +
                    environment_.text(stateKey));
  }

 private:
  ViewEnvironment& environment_;
  TextLabel* label_;
};

}  // namespace

// The list's items as the column asks for them: index 0 is the header (the caption and the
// earlier-page button), then the conversation's items.
class ConversationView::Rows : public ItemColumn::Delegate {
 public:
  explicit Rows(ConversationView& view) : view_(view) {}

  QWidget* create(int kind, QWidget* parent) override {
    switch (kind) {
      case headerRow:
        return view_.header_;
      case incomingRow:
      case outgoingRow:
        return new MessageRow(view_.environment_, kind == outgoingRow, parent);
      default:
        return view_.parts_.makeTransferRow(parent);
    }
  }

  void show(QWidget* widget, std::size_t index, int width) override {
    if (index == 0) return;
    const ConversationItem& item = items[index - 1];
    if (const auto* transfer = item.transfer()) {
      view_.parts_.showTransfer(widget, *transfer);
      return;
    }
    const runtime::RuntimeMessage& message = *item.message();
    auto* row = static_cast<MessageRow*>(widget);
    row->setContent(content(message, width));
    row->onRetry = [view = &view_, id = message.id] {
      if (const auto* current = view->currentMessage(id)) view->askRetry(*current);
    };
    row->onContextMenu = [view = &view_, id = message.id](const QPoint& at) {
      view->openMenu(id, at);
    };
  }

  int measure(std::size_t index, int width) override {
    if (index == 0) {
      QLayout* layout = view_.header_->layout();
      layout->activate();
      return layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                         : layout->totalSizeHint().height();
    }
    const ConversationItem& item = items[index - 1];
    if (const auto* transfer = item.transfer()) {
      QWidget* measurer = transferMeasurer();
      view_.parts_.showTransfer(measurer, *transfer);
      const int cardWidth = std::min(width, measurer->maximumWidth());
      return measurer->hasHeightForWidth() ? measurer->heightForWidth(cardWidth)
                                           : measurer->sizeHint().height();
    }
    const auto& message = *item.message();
    return layout(message, width).height();
  }

  std::pair<int, int> placement(std::size_t index, int width) override {
    if (index == 0 || items[index - 1].kind() == ConversationItem::Kind::message) {
      return {0, width};
    }
    return {0, std::min(width, transferMeasurer()->maximumWidth())};
  }

  MessageRow::Content content(const runtime::RuntimeMessage& message, int width) {
    MessageRow::Content content;
    content.text = QString::fromStdString(message.text);
    content.outgoing = message.outgoing;
    content.time = locale.toString(localTime(message.date).time(), QLocale::ShortFormat);
    content.delivery =
        view_.environment_.text("delivery." + std::string(runtime::rawValue(message.delivery)));
    if (offersRetry(message.delivery)) content.retry = view_.environment_.text("message.retry");
    content.layout = layout(message, width);
    return content;
  }

  MessageRowLayout layout(const runtime::RuntimeMessage& message, int width) {
    if (statusHeight < 0) {
      statusHeight = MessageRow::statusHeight(view_.list_->viewport(), false);
      retryStatusHeight = MessageRow::statusHeight(view_.list_->viewport(), true);
    }
    return measure_.layout(QString::fromStdString(message.text), view_.list_->viewport()->font(),
                           width, offersRetry(message.delivery) ? retryStatusHeight : statusHeight);
  }

  QWidget* transferMeasurer() {
    if (measurer_ == nullptr) {
      measurer_ = view_.parts_.makeTransferRow(&view_);
      measurer_->hide();
    }
    return measurer_;
  }

  std::shared_ptr<const runtime::RuntimeSnapshot> snapshot;
  std::vector<ConversationItem> items;
  std::optional<std::string> language;
  QLocale locale;
  bool earlierShown = false;
  int statusHeight = -1;
  int retryStatusHeight = -1;

 private:
  ConversationView& view_;
  MessageTextMeasure measure_;
  QWidget* measurer_ = nullptr;
};

ConversationView::ConversationView(ViewEnvironment& environment, runtime::RuntimePeer peer,
                                   ConversationParts parts, QWidget* parent)
    : QWidget(parent),
      environment_(environment),
      peer_(std::move(peer)),
      parts_(std::move(parts)),
      rows_(std::make_unique<Rows>(*this)) {
  setObjectName(QStringLiteral("conversation.pane"));
  if (!parts_.makeTransferRow || !parts_.showTransfer) {
    parts_.makeTransferRow = [&environment](QWidget* rowParent) -> QWidget* {
      return new PlainTransferRow(environment, rowParent);
    };
    parts_.showTransfer = [](QWidget* row, const transfer::RuntimeTransfer& transfer) {
      static_cast<PlainTransferRow*>(row)->show(transfer);
    };
  }

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // 1. The list.
  list_ = new ItemColumn(*rows_, this);
  list_->setObjectName(QStringLiteral("conversation.list"));
  list_->setAccessibleName(QString::fromStdString(peer_.name));
  list_->setMargins(kSideMargin, 0, kSideMargin, kBottomMargin);
  list_->setSpacing(kRowSpacing);
  // The viewport takes its geometry after the column's own resize handling.
  list_->viewport()->installEventFilter(this);
  column->addWidget(list_, 1);

  header_ = new QWidget(list_->viewport());
  header_->hide();
  auto* headerColumn = new QVBoxLayout(header_);
  headerColumn->setContentsMargins(0, 12, 0, 0);
  headerColumn->setSpacing(12 + kRowSpacing);
  caption_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  caption_->setObjectName(QStringLiteral("conversation.localHistory"));
  caption_->setAlignment(Qt::AlignCenter);
  caption_->setWrapping(true);
  headerColumn->addWidget(caption_);
  earlier_ = new QPushButton;
  earlier_->setObjectName(QStringLiteral("history.earlier"));
  earlier_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  headerColumn->addWidget(earlier_);
  connect(earlier_, &QPushButton::clicked, this, &ConversationView::showEarlier);

  position_ = new ConversationScrollPosition(this);
  position_->onBottomChanged = [this](bool atEnd) { setFollowing(atEnd); };
  position_->observe(list_);

  latest_ = new QPushButton(list_);
  latest_->setObjectName(QStringLiteral("history.latest"));
  latest_->setIcon(symbolIcon("arrow.down", style()));
  latest_->hide();
  connect(latest_, &QPushButton::clicked, this, &ConversationView::showLatest);

  // 2. The divider.
  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  column->addWidget(divider);

  // 3. The composer.
  auto* composer = new QWidget;
  composer->setObjectName(QStringLiteral("conversation.composer"));
  auto* composerColumn = new QVBoxLayout(composer);
  composerColumn->setContentsMargins(20, 20, 20, 20);
  composerColumn->setSpacing(10);
  column->addWidget(composer);

  waiting_ = new QWidget;
  waiting_->setObjectName(QStringLiteral("notification.waiting"));
  auto* waitingRow = new QHBoxLayout(waiting_);
  waitingRow->setContentsMargins(0, 0, 0, 0);
  waitingText_ = new TextLabel(TextStyle::callout);
  waitingText_->setWrapping(true);
  waitingRow->addWidget(waitingText_, 1);
  waitingCancel_ = new QPushButton;
  waitingCancel_->setObjectName(QStringLiteral("notification.waiting.cancel"));
  waitingRow->addWidget(waitingCancel_);
  connect(waitingCancel_, &QPushButton::clicked, this,
          [this] { environment_.model().stopWaiting(); });
  waiting_->hide();
  composerColumn->addWidget(waiting_);

  preparation_ = parts_.makePreparation ? parts_.makePreparation(composer) : new QWidget;
  if (!parts_.makePreparation) preparation_->setFixedHeight(0);
  composerColumn->addWidget(preparation_);

  editor_ = new MessageEditor;
  editor_->setFixedHeight(kComposerHeight);
  composerColumn->addWidget(editor_);

  auto* controls = new QHBoxLayout;
  controls->setSpacing(10);
  add_ = new QToolButton;
  add_->setObjectName(QStringLiteral("composer.add"));
  add_->setIcon(symbolIcon("paperclip", style()));
  add_->setAutoRaise(true);
  add_->setFocusPolicy(Qt::StrongFocus);
  connect(add_, &QToolButton::clicked, this, [this] { environment_.model().addAttachments(); });
  controls->addWidget(add_);
  hint_ = new TextLabel(TextStyle::caption, TextTone::secondary);
  hint_->setWrapping(true);
  controls->addWidget(hint_, 1);
  send_ = new QPushButton;
  send_->setObjectName(QStringLiteral("composer.send"));
  send_->setDefault(true);
  connect(send_, &QPushButton::clicked, this, &ConversationView::sendFromButton);
  controls->addWidget(send_);
  composerColumn->addLayout(controls);

  // Tab follows the order of making: the list, the earlier page, the jump button, the banner's
  // cancel, the attachments, the composer, the paperclip, send.

  auto& model = environment_.model();
  connect(&model, &WorkspaceModel::snapshotPublished, this, &ConversationView::refresh);
  for (auto signal :
       {&WorkspaceModel::draftsPublished, &WorkspaceModel::attachmentsPublished,
        &WorkspaceModel::pendingSendsPublished, &WorkspaceModel::selectedPeerIDPublished}) {
    connect(&model, signal, this, &ConversationView::refreshComposer);
  }
  refresh();
}

ConversationView::~ConversationView() {
  // The column's widgets ask the rows while they go, and the viewport is no longer the
  // column's while the column goes.
  list_->viewport()->removeEventFilter(this);
  delete list_;
}

bool ConversationView::browsing() const {
  return environment_.model().snapshot().browsingHistory.contains(peer_.id);
}

void ConversationView::refresh() {
  auto& model = environment_.model();
  auto snapshot = model.sharedSnapshot();
  for (const auto& candidate : snapshot->peers) {
    if (candidate.id == peer_.id) {
      peer_ = candidate;
      break;
    }
  }

  // Texts.
  const std::string& language = environment_.language();
  const bool retranslated = rows_->language != language;
  if (retranslated) {
    rows_->language = language;
    rows_->locale = localeFor(language);
    caption_->setText(environment_.text("conversation.localHistory"));
    earlier_->setText(buttonTitle(environment_.text("conversation.earlier")));
    latest_->setText(buttonTitle(environment_.text("conversation.latest")));
    latest_->adjustSize();
    placeLatestButton();
    waitingText_->setText(environment_.text("notifications.waiting"));
    waitingCancel_->setText(buttonTitle(environment_.text("action.cancel")));
    add_->setToolTip(escapedToolTip(environment_.text("transfer.add")));
    add_->setAccessibleName(environment_.text("transfer.add"));
    hint_->setText(environment_.text("composer.hint"));
    send_->setText(buttonTitle(environment_.text("composer.send")));
  }
  const bool earlierShown = snapshot->earlierHistory.contains(peer_.id);
  const bool headerChanged = retranslated || earlierShown != rows_->earlierShown;
  rows_->earlierShown = earlierShown;
  earlier_->setVisible(earlierShown);

  // The items, each marked changed unless the pane showed the same value under its identity.
  std::vector<ConversationItem> items = orderedConversation(*snapshot, peer_.id);
  std::vector<ItemColumn::Item> columnItems;
  columnItems.reserve(items.size() + 1);
  columnItems.push_back({kHeaderID, headerRow, headerChanged});
  std::vector<std::string> ids;
  ids.reserve(items.size());
  const auto& before = rows_->items;
  std::unordered_map<std::string, const ConversationItem*> shownByID;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ConversationItem& item = items[i];
    std::string id = item.id();
    const ConversationItem* old = nullptr;
    if (i < before.size() && i < shownIDs_.size() && shownIDs_[i] == id) {
      old = &before[i];
    } else {
      if (shownByID.empty()) {
        for (std::size_t j = 0; j < before.size() && j < shownIDs_.size(); ++j) {
          shownByID.emplace(shownIDs_[j], &before[j]);
        }
      }
      if (const auto found = shownByID.find(id); found != shownByID.end()) old = found->second;
    }
    bool changed = retranslated || old == nullptr;
    if (!changed) {
      changed = item.message() != nullptr ? *item.message() != *old->message()
                                          : *item.transfer() != *old->transfer();
    }
    int kind = transferRow;
    if (const auto* message = item.message()) kind = message->outgoing ? outgoingRow : incomingRow;
    columnItems.push_back({id, kind, changed});
    ids.push_back(std::move(id));
  }
  rows_->items = std::move(items);
  rows_->snapshot = snapshot;
  list_->setItems(std::move(columnItems));

  // Scrolling reactions: only the identities and browsing move the list.
  const bool browsingNow = browsing();
  if (ids != shownIDs_) {
    shownIDs_ = std::move(ids);
    if (pendingHistoryAnchor_) {
      const std::string anchor = *std::exchange(pendingHistoryAnchor_, std::nullopt);
      QTimer::singleShot(0, this,
                         [this, anchor] { list_->scrollTo(anchor, ItemColumn::Anchor::top); });
    } else if (following_ && !browsingNow) {
      QTimer::singleShot(0, this, [this] {
        if (!following_) return;
        list_->scrollToEnd();
        setFollowing(true);
      });
    }
  }
  if (wasBrowsing_ && !browsingNow && awaitingLatest_) {
    awaitingLatest_ = false;
    setFollowing(true);
    QTimer::singleShot(0, this, [this] { list_->scrollToEnd(); });
  }
  wasBrowsing_ = browsingNow;

  waiting_->setVisible(snapshot->waitingReminderPeers.contains(peer_.wireID));
  showLatestButton(!(following_ && !browsingNow));
  refreshComposer();
}

void ConversationView::refreshComposer() {
  auto& model = environment_.model();
  editor_->update(
      {[&model, id = peer_.id] { return model.draft(id); },
       [&model, id = peer_.id](std::string text) { model.setDraft(std::move(text), id); }},
      environment_.text("composer.placeholder"), [&model] { model.send(); });
  send_->setEnabled(model.canSend());
}

void ConversationView::setFollowing(bool following) {
  following_ = following;
  showLatestButton(!(following_ && !browsing()));
}

void ConversationView::showLatestButton(bool shown) {
  if (shown == latest_->isVisibleTo(list_)) return;
  if (shown) placeLatestButton();
  latest_->setVisible(shown);
}

void ConversationView::showEarlier() {
  setFollowing(false);
  pendingHistoryAnchor_ =
      shownIDs_.empty() ? std::nullopt : std::optional<std::string>(shownIDs_.front());
  environment_.model().runtime().selectConversation(peer_.id, true);
}

void ConversationView::showLatest() {
  if (browsing()) {
    awaitingLatest_ = true;
    environment_.model().runtime().selectConversation(peer_.id, false);
    return;
  }
  list_->scrollToEnd();
  setFollowing(true);
}

void ConversationView::sendFromButton() {
  // Not while an input method composes in the focused text field of the active window.
  QWidget* window = QApplication::activeWindow();
  if (window == nullptr) window = this->window();
  if (isComposingText(window->focusWidget())) return;
  environment_.model().send();
}

const runtime::RuntimeMessage* ConversationView::currentMessage(const std::string& id) const {
  for (const auto& item : rows_->items) {
    if (const auto* message = item.message(); message != nullptr && message->id == id) {
      return message;
    }
  }
  return nullptr;
}

MessageRow* ConversationView::messageRow(const std::string& messageID) const {
  return static_cast<MessageRow*>(list_->widgetFor("message:" + messageID));
}

std::vector<std::string> ConversationView::menuEntries(
    const runtime::RuntimeMessage& message) const {
  if (message.outgoing && environment_.model().snapshot().queuedMessageIDs.contains(message.id)) {
    return {"message.cancelQueued"};
  }
  return {};
}

void ConversationView::openMenu(const std::string& messageID, const QPoint& globalPosition) {
  const auto* message = currentMessage(messageID);
  if (message == nullptr) return;
  const auto entries = menuEntries(*message);
  if (entries.empty()) return;
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->setObjectName(QStringLiteral("message.menu"));
  auto* cancel = menu->addAction(buttonTitle(environment_.text(entries.front())));
  cancel->setObjectName(QStringLiteral("message.cancelQueued"));
  connect(cancel, &QAction::triggered, this,
          [this, id = message->id, contact = message->contactID] {
            environment_.model().runtime().cancelMessage(id, contact);
          });
  menu_ = menu;
  menu->popup(globalPosition);
}

void ConversationView::askRetry(const runtime::RuntimeMessage& message) {
  retryMessage_ = message;
  if (retryAlert_ != nullptr) return;
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("message.retryAlert"));
  alert->setWindowModality(Qt::WindowModal);
  alert->setText(environment_.text("message.retry"));
  alert->setInformativeText(environment_.text("message.retryHelp"));
  alert->setWindowTitle(environment_.text("message.retry"));
  auto* cancel =
      alert->addButton(buttonTitle(environment_.text("action.cancel")), QMessageBox::RejectRole);
  cancel->setObjectName(QStringLiteral("action.cancel"));
  auto* retry =
      alert->addButton(buttonTitle(environment_.text("message.retry")), QMessageBox::AcceptRole);
  retry->setObjectName(QStringLiteral("message.retry"));
  alert->setDefaultButton(cancel);
  connect(alert, &QMessageBox::finished, this, [this, alert, retry] {
    if (alert->clickedButton() == retry && retryMessage_) {
      environment_.model().resend(*retryMessage_);
    }
    retryMessage_.reset();
    alert->deleteLater();
  });
  retryAlert_ = alert;
  alert->open();
}

void ConversationView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  list_->scrollToEnd();
}

bool ConversationView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::Resize) placeLatestButton();
  return QWidget::eventFilter(watched, event);
}

void ConversationView::placeLatestButton() {
  const QRect area = list_->viewport()->geometry();
  const QSize size = latest_->sizeHint();
  latest_->setGeometry(area.right() + 1 - size.width() - kLatestInset,
                       area.bottom() + 1 - size.height() - kLatestInset, size.width(),
                       size.height());
  latest_->raise();
}

}  // namespace velmorine::workspace
