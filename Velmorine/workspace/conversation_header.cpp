#include "Velmorine/workspace/conversation_header.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/control_styles.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/peer_status.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

ConversationHeader::ConversationHeader(ViewEnvironment& environment, QWidget* parent)
    : QWidget(parent), environment_(environment) {
  setObjectName(QStringLiteral("conversation.header"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(24, 16, 24, 16);
  row->setSpacing(12);
  symbol_ = new DecorativeSymbol({}, TextStyle::title2, this);
  row->addWidget(symbol_);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(3);
  name_ = new TextLabel(TextStyle::headline, TextTone::primary, this);
  name_->setElided(true);
  name_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  status_ = new TextLabel(TextStyle::caption, TextTone::secondary, this);
  texts->addWidget(name_);
  texts->addWidget(status_);
  row->addLayout(texts, 1);

  inspector_ = new QToolButton(this);
  inspector_->setObjectName(QStringLiteral("conversation.inspector"));
  usePlainButtonStyle(inspector_);
  inspector_->setFocusPolicy(Qt::StrongFocus);
  connect(inspector_, &QToolButton::clicked, this, [this] {
    auto& model = environment_.model();
    if (compact_) {
      model.setSecurityDetailsVisible(true);
    } else {
      model.setInspectorVisible(!model.inspectorVisible());
    }
  });
  row->addWidget(inspector_);

  actions_ = new QToolButton(this);
  actions_->setObjectName(QStringLiteral("conversation.actions"));
  usePlainButtonStyle(actions_);
  actions_->setFocusPolicy(Qt::StrongFocus);
  actions_->setPopupMode(QToolButton::InstantPopup);
  actions_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  menu_ = new QMenu(actions_);
  menu_->setObjectName(QStringLiteral("conversation.actionsMenu"));
  clear_ = menu_->addAction(QString());
  clear_->setObjectName(QStringLiteral("conversation.clear"));
  connect(clear_, &QAction::triggered, this,
          [this] { environment_.model().setClearConfirmation(true); });
  actions_->setMenu(menu_);
  row->addWidget(actions_);
}

void ConversationHeader::setPeer(const runtime::RuntimePeer& peer, bool compact) {
  compact_ = compact;
  symbol_->setSymbol(peer.symbolName());
  const QString name = QString::fromStdString(peer.name);
  name_->setText(name);
  name_->setToolTip(escapedToolTip(name));
  status_->setText(environment_.text(peerStatusKey(peer)));
  const QString details = environment_.text("security.details");
  inspector_->setIcon(symbolIcon("sidebar.right", style()));
  inspector_->setToolTip(escapedToolTip(details));
  inspector_->setAccessibleName(details);
  actions_->setIcon(symbolIcon("ellipsis.circle", style()));
  actions_->setAccessibleName(environment_.text("conversation.actions"));
  clear_->setText(buttonTitle(environment_.text("conversation.clear")));
}

}  // namespace velmorine::workspace
