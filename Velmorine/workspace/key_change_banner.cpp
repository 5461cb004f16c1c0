#include "Velmorine/workspace/key_change_banner.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/fitting_button_layout.h"
#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

KeyChangeBanner::KeyChangeBanner(ViewEnvironment& environment, QWidget* parent)
    : SurfaceFrame(environment, SurfaceKind::warning, 0, false, parent), environment_(environment) {
  setObjectName(QStringLiteral("trust.banner"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 16, 16, 16);
  column->setSpacing(8);
  title_ = new SymbolLabel(TextStyle::headline, TextTone::primary, this);
  help_ = new TextLabel(TextStyle::callout, TextTone::primary, this);
  help_->setWrapping(true);
  column->addWidget(title_);
  column->addWidget(help_);
  auto* buttons = new QWidget(this);
  buttons_ = new FittingButtonLayout(buttons);
  cancel_ = new QPushButton(buttons);
  cancel_->setObjectName(QStringLiteral("trust.cancel"));
  replace_ = new QPushButton(buttons);
  replace_->setObjectName(QStringLiteral("trust.replace"));
  separate_ = new QPushButton(buttons);
  separate_->setObjectName(QStringLiteral("trust.separate"));
  for (auto* button : {cancel_, replace_, separate_}) {
    button->setAutoDefault(false);
    buttons_->addWidget(button);
  }
  column->addWidget(buttons);

  connect(cancel_, &QPushButton::clicked, this,
          [this] { environment_.model().setSelectedPeerID(std::nullopt); });
  connect(replace_, &QPushButton::clicked, this,
          [this] { environment_.model().runtime().resolveChangedKey(wireID_, false); });
  connect(separate_, &QPushButton::clicked, this,
          [this] { environment_.model().runtime().resolveChangedKey(wireID_, true); });
}

void KeyChangeBanner::setPeer(const runtime::RuntimePeer& peer) {
  wireID_ = peer.wireID;
  title_->setContent("exclamationmark.shield", environment_.text("trust.changedKey"));
  help_->setText(environment_.text("trust.changeHelp"));
  cancel_->setText(buttonTitle(environment_.text("action.cancel")));
  replace_->setText(buttonTitle(environment_.text("trust.replace")));
  separate_->setText(buttonTitle(environment_.text("trust.separate")));
}

}  // namespace velmorine::workspace
