#include "Velmorine/workspace/welcome_view.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/accessible_surface.h"
#include "Velmorine/workspace/control_styles.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

constexpr int kSymbolSize = 52;
constexpr int kBodyWidth = 420;
constexpr int kStatusWidth = 440;

// A row that centres `widget`, which takes the width it may up to its maximum: a wrapping text
// laid out this way gets the height of its lines at that width.
QHBoxLayout* centred(QWidget* widget) {
  auto* row = new QHBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch(1);
  row->addWidget(widget, 100);
  row->addStretch(1);
  return row;
}

}  // namespace

WelcomeView::WelcomeView(ViewEnvironment& environment, QWidget* parent)
    : QScrollArea(parent), environment_(environment) {
  setObjectName(QStringLiteral("welcome"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(this);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(16);
  // Stretches above and below centre the content while the pane is taller than it.
  column->addStretch(1);

  auto* symbol = new DecorativeSymbol("network", TextStyle::body, content);
  symbol->setPixelSize(kSymbolSize);
  column->addWidget(symbol, 0, Qt::AlignHCenter);

  title_ = new TextLabel(TextStyle::title, TextTone::primary, content);
  title_->setWeight(QFont::DemiBold);
  title_->setWrapping(true);
  title_->setAlignment(Qt::AlignHCenter);
  column->addWidget(title_);

  body_ = new TextLabel(TextStyle::body, TextTone::secondary, content);
  body_->setWrapping(true);
  body_->setAlignment(Qt::AlignHCenter);
  body_->setMaximumWidth(kBodyWidth);
  column->addLayout(centred(body_));

  enable_ = new QPushButton(content);
  enable_->setObjectName(QStringLiteral("welcome.enable"));
  enable_->setDefault(true);
  enable_->setMinimumHeight(enable_->sizeHint().height() + 8);
  connect(enable_, &QPushButton::clicked, this, [this] {
    auto& model = environment_.model();
    model.runtime().setNetworkEnabled(!model.snapshot().enabled);
  });
  column->addWidget(enable_, 0, Qt::AlignHCenter);

  auto* box = new SurfaceFrame(environment_, SurfaceKind::neutral, 12, false, content);
  box->setObjectName(QStringLiteral("welcome.status"));
  box->setMaximumWidth(kStatusWidth);
  auto* boxColumn = new QVBoxLayout(box);
  boxColumn->setContentsMargins(20, 20, 20, 20);
  boxColumn->setSpacing(8);
  status_ = new TextLabel(TextStyle::callout, TextTone::primary, box);
  status_->setWrapping(true);
  status_->setAlignment(Qt::AlignHCenter);
  permission_ = new TextLabel(TextStyle::caption, TextTone::secondary, box);
  permission_->setWrapping(true);
  permission_->setAlignment(Qt::AlignHCenter);
  settings_ = new QPushButton(box);
  settings_->setObjectName(QStringLiteral("network.settings"));
  useLinkButtonStyle(settings_);
  connect(settings_, &QPushButton::clicked, this, [this] {
    if (environment_.model().revealSettings) environment_.model().revealSettings();
  });
  boxColumn->addWidget(status_);
  boxColumn->addWidget(permission_);
  boxColumn->addWidget(settings_, 0, Qt::AlignHCenter);
  column->addLayout(centred(box));

  privacy_ = new TextLabel(TextStyle::caption, TextTone::secondary, content);
  privacy_->setWrapping(true);
  privacy_->setAlignment(Qt::AlignHCenter);
  privacy_->setContentsMargins(24, 24, 24, 24);
  column->addWidget(privacy_);
  column->addStretch(1);
  setWidget(content);

  connect(&environment_.model(), &WorkspaceModel::snapshotPublished, this, &WelcomeView::refresh);
  refresh();
}

void WelcomeView::refresh() {
  const auto& snapshot = environment_.model().snapshot();
  title_->setText(environment_.text("welcome.title"));
  // The pane scrolls from the keyboard too: it takes focus, under the greeting's name.
  setAccessibleName(title_->text());
  body_->setText(environment_.text("welcome.body"));
  enable_->setVisible(!snapshot.enabled);
  enable_->setText(buttonTitle(environment_.text("network.enable")));
  status_->setText(environment_.text(snapshot.status));
  permission_->setText(environment_.text("network.permissionHelp"));
  settings_->setText(buttonTitle(environment_.text("network.settings")));
  privacy_->setText(environment_.text("welcome.privacy"));
}

}  // namespace velmorine::workspace
