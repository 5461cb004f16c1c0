#include "Velmorine/workspace/detail_area.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <vector>

#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/control_styles.h"
#include "Velmorine/workspace/conversation_header.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/key_change_banner.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"
#include "Velmorine/workspace/welcome_view.h"

namespace velmorine::workspace {

namespace {

// The bar under the panes: the window's colour a shade darker, with a separator line above.
class BarBackground final : public QWidget {
 public:
  explicit BarBackground(QWidget* parent) : QWidget(parent) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(104));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(rect().topLeft(), rect().topRight());
  }
};

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setForegroundRole(QPalette::Mid);
  return line;
}

// Moves the controls of `moved` that Tab reaches, in their order, after the last such control
// of `before`.
void tabAfter(QWidget* before, QWidget* moved) {
  const auto tabbable = [](QWidget* widget) { return (widget->focusPolicy() & Qt::TabFocus) != 0; };
  QWidget* last = nullptr;
  std::vector<QWidget*> controls;
  for (QWidget* widget = before->window()->nextInFocusChain(); widget != before->window();
       widget = widget->nextInFocusChain()) {
    if (!tabbable(widget)) continue;
    if (before->isAncestorOf(widget)) last = widget;
    if (moved->isAncestorOf(widget)) controls.push_back(widget);
  }
  for (QWidget* control : controls) {
    if (last != nullptr) QWidget::setTabOrder(last, control);
    last = control;
  }
}

}  // namespace

DetailArea::DetailArea(ViewEnvironment& environment, DetailPanes panes, FolderChooser chooseFolder,
                       QWidget* parent)
    : QWidget(parent),
      environment_(environment),
      panes_(std::move(panes)),
      chooseFolder_(std::move(chooseFolder)) {
  setObjectName(QStringLiteral("detail"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  storage_ = new SurfaceFrame(environment_, SurfaceKind::warning, 0, false, this);
  storage_->setObjectName(QStringLiteral("storage.banner"));
  auto* storageRow = new QHBoxLayout(storage_);
  storageRow->setContentsMargins(12, 12, 12, 12);
  storageLabel_ = new SymbolLabel(TextStyle::callout, TextTone::primary, storage_);
  storageRow->addWidget(storageLabel_);
  column->addWidget(storage_);

  recovery_ = new SurfaceFrame(environment_, SurfaceKind::warning, 0, false, this);
  recovery_->setObjectName(QStringLiteral("storage.recoveryBanner"));
  auto* recoveryRow = new QHBoxLayout(recovery_);
  recoveryRow->setContentsMargins(12, 12, 12, 12);
  recoveryLabel_ = new TextLabel(TextStyle::callout, TextTone::primary, recovery_);
  recoveryLabel_->setWrapping(true);
  reauthorize_ = new QPushButton(recovery_);
  reauthorize_->setObjectName(QStringLiteral("storage.reauthorize"));
  reauthorize_->setAutoDefault(false);
  connect(reauthorize_, &QPushButton::clicked, this, [this] {
    chooseFolder_(window(), [model = QPointer<WorkspaceModel>(&environment_.model())](
                                std::optional<std::filesystem::path> folder) {
      if (model && folder) model->runtime().recoverReceives(*folder);
    });
  });
  recoveryRow->addWidget(recoveryLabel_, 1, Qt::AlignTop);
  recoveryRow->addWidget(reauthorize_, 0, Qt::AlignTop);
  column->addWidget(recovery_);

  stack_ = new QStackedWidget(this);
  stack_->setObjectName(QStringLiteral("detail.section"));
  empty_ = new QWidget(stack_);
  auto* emptyColumn = new QVBoxLayout(empty_);
  emptyColumn->setContentsMargins(0, 0, 0, 0);
  emptyColumn->setSpacing(0);
  welcome_ = new WelcomeView(environment_, empty_);
  emptyColumn->addWidget(welcome_, 1);
  auto* preparation = panes_.makePreparation(environment_, empty_);
  auto* preparationRow = new QHBoxLayout;
  preparationRow->setContentsMargins(20, 0, 20, 0);
  preparationRow->addWidget(preparation);
  emptyColumn->addLayout(preparationRow);
  stack_->addWidget(empty_);

  peerPage_ = new QWidget(stack_);
  auto* peerColumn = new QVBoxLayout(peerPage_);
  peerColumn->setContentsMargins(0, 0, 0, 0);
  peerColumn->setSpacing(0);
  header_ = new ConversationHeader(environment_, peerPage_);
  peerColumn->addWidget(header_);
  peerColumn->addWidget(divider(peerPage_));
  banner_ = new KeyChangeBanner(environment_, peerPage_);
  peerColumn->addWidget(banner_);
  stack_->addWidget(peerPage_);
  column->addWidget(stack_, 1);

  residence_ = new BarBackground(this);
  residence_->setObjectName(QStringLiteral("lifecycle.residence"));
  auto* residenceRow = new QHBoxLayout(residence_);
  residenceRow->setContentsMargins(12, 12, 12, 12);
  residenceRow->setSpacing(8);
  auto* residenceSymbol = new DecorativeSymbol("menubar.rectangle", TextStyle::caption, residence_);
  residenceLabel_ = new TextLabel(TextStyle::caption, TextTone::secondary, residence_);
  residenceLabel_->setWrapping(true);
  dismiss_ = new QToolButton(residence_);
  dismiss_->setObjectName(QStringLiteral("action.dismiss"));
  usePlainButtonStyle(dismiss_);
  dismiss_->setFocusPolicy(Qt::StrongFocus);
  connect(dismiss_, &QToolButton::clicked, this,
          [this] { environment_.model().setShowResidenceNotice(false); });
  residenceRow->addWidget(residenceSymbol, 0, Qt::AlignTop);
  residenceRow->addWidget(residenceLabel_, 1, Qt::AlignTop);
  residenceRow->addWidget(dismiss_, 0, Qt::AlignTop);
  column->addWidget(residence_);

  auto& model = environment_.model();
  for (auto signal :
       {&WorkspaceModel::snapshotPublished, &WorkspaceModel::sectionPublished,
        &WorkspaceModel::selectedPeerIDPublished, &WorkspaceModel::showResidenceNoticePublished}) {
    connect(&model, signal, this, &DetailArea::refresh);
  }
  refresh();
}

void DetailArea::setColumnWidth(int width) {
  if (width == columnWidth_) return;
  columnWidth_ = width;
  refresh();
}

QWidget* DetailArea::currentPane() const { return stack_->currentWidget(); }

void DetailArea::refresh() {
  auto& model = environment_.model();
  const auto& snapshot = model.snapshot();
  storage_->setVisible(snapshot.status == "storage.unavailable");
  storageLabel_->setContent("exclamationmark.triangle", environment_.text("storage.unavailable"));
  recovery_->setVisible(snapshot.recoveryNeeded);
  recoveryLabel_->setText(environment_.text("storage.recoveryNeeded"));
  reauthorize_->setText(buttonTitle(environment_.text("storage.reauthorize")));

  switch (model.section()) {
    case WorkspaceSection::transfers:
      if (transfers_ == nullptr) {
        transfers_ = panes_.makeTransfers(environment_, stack_);
        stack_->addWidget(transfers_);
      }
      stack_->setCurrentWidget(transfers_);
      break;
    case WorkspaceSection::received:
      if (library_ == nullptr) {
        library_ = panes_.makeLibrary(environment_, stack_);
        stack_->addWidget(library_);
      }
      stack_->setCurrentWidget(library_);
      break;
    case WorkspaceSection::conversation:
      if (const auto* peer = model.selectedPeer()) {
        header_->setPeer(*peer, columnWidth_ < kCompactBelow);
        banner_->setVisible(peer->keyChanged);
        banner_->setPeer(*peer);
        if (conversation_ == nullptr || conversationPeer_ != peer->id) {
          delete conversation_;
          conversation_ = panes_.makeConversation(environment_, *peer, peerPage_);
          conversationPeer_ = peer->id;
          static_cast<QVBoxLayout*>(peerPage_->layout())->addWidget(conversation_, 1);
          // Made after the window, it would come last for Tab: it reads after the banner.
          tabAfter(banner_, conversation_);
        }
        stack_->setCurrentWidget(peerPage_);
      } else {
        if (conversation_ != nullptr) {
          delete conversation_;
          conversation_ = nullptr;
          conversationPeer_.clear();
        }
        stack_->setCurrentWidget(empty_);
      }
      break;
  }

  residence_->setVisible(model.showResidenceNotice());
  residenceLabel_->setText(environment_.text("lifecycle.residence"));
  dismiss_->setIcon(symbolIcon("xmark", style()));
  dismiss_->setAccessibleName(environment_.text("action.dismiss"));
}

}  // namespace velmorine::workspace
