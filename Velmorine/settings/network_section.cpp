#include "Velmorine/settings/network_section.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "Velmorine/settings/return_key.h"
#include "Velmorine/settings/settings_view.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/text_styles.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::settings {

namespace {

workspace::TextLabel* caption(QWidget* parent, const char* name) {
  auto* label = new workspace::TextLabel(workspace::TextStyle::caption,
                                         workspace::TextTone::secondary, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setWrapping(true);
  return label;
}

}  // namespace

QString discoveryIssueLine(const network::DiscoveryIssue& issue) {
  return QString::fromStdString(issue.interface) + QStringLiteral(" \u00b7 ") +
         QString::fromStdString(issue.operation) + QStringLiteral(" \u00b7 ") +
         QString::number(issue.code);
}

NetworkSection::NetworkSection(SettingsView& view) : view_(view) {
  setObjectName(QStringLiteral("network.settings"));
  column_ = new QVBoxLayout(this);
  column_->setSpacing(8);

  toggle_ = new QCheckBox(this);
  toggle_->setObjectName(QStringLiteral("network.toggle"));
  clickOnReturn(toggle_);
  status_ =
      new workspace::TextLabel(workspace::TextStyle::callout, workspace::TextTone::primary, this);
  status_->setObjectName(QStringLiteral("network.status"));
  status_->setWrapping(true);
  permissionHelp_ = caption(this, "network.permissionHelp");
  // Linux has one help text: what a firewall must let through.
  systemHelp_ = caption(this, "network.legacyHelp");
  retry_ = new QPushButton(this);
  retry_->setObjectName(QStringLiteral("network.retry"));
  retry_->setAutoDefault(true);
  reset_ = new QPushButton(this);
  reset_->setObjectName(QStringLiteral("settings.resetDevices"));
  reset_->setAutoDefault(true);
  resetDescription_ = caption(this, "devices.resetDescription");

  column_->addWidget(toggle_);
  column_->addWidget(status_);
  column_->addWidget(permissionHelp_);
  column_->addWidget(systemHelp_);
  column_->addWidget(retry_, 0, Qt::AlignLeft);
  column_->addWidget(reset_, 0, Qt::AlignLeft);
  column_->addWidget(resetDescription_);

  connect(toggle_, &QCheckBox::toggled, this, [this](bool on) {
    view_.model().runtime().setNetworkEnabled(on);
    // The toggle shows the runtime's state: the next snapshot moves it.
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(view_.model().snapshot().enabled);
  });
  connect(retry_, &QPushButton::clicked, this,
          [this] { view_.model().runtime().setNetworkEnabled(true); });
  connect(reset_, &QPushButton::clicked, this, [this] { view_.setConfirmDeviceReset(true); });
  refresh();
}

QList<QLabel*> NetworkSection::issueLines() const {
  if (issues_ == nullptr) return {};
  return issues_->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
}

void NetworkSection::syncIssues() {
  const auto& issues = view_.model().snapshot().issues;
  if (issues.empty()) {
    delete details_;
    delete issues_;
    details_ = nullptr;
    issues_ = nullptr;
    shownIssues_.clear();
    return;
  }
  if (details_ == nullptr) {
    details_ = new QToolButton(this);
    details_->setObjectName(QStringLiteral("network.details"));
    clickOnReturn(details_);
    details_->setCheckable(true);
    details_->setChecked(false);
    details_->setAutoRaise(true);
    details_->setFocusPolicy(Qt::StrongFocus);
    details_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    details_->setArrowType(Qt::RightArrow);
    issues_ = new QWidget(this);
    issues_->setObjectName(QStringLiteral("network.issues"));
    auto* lines = new QVBoxLayout(issues_);
    lines->setContentsMargins(16, 0, 0, 0);
    lines->setSpacing(2);
    issues_->setVisible(false);
    connect(details_, &QToolButton::toggled, this, [this](bool open) {
      details_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
      issues_->setVisible(open);
    });
    column_->addWidget(details_, 0, Qt::AlignLeft);
    column_->addWidget(issues_);
    // Made after the rest: Tab reaches it where it stands, after the reset.
    QWidget::setTabOrder(reset_, details_);
    details_->show();
  }
  details_->setText(view_.environment().text("network.details"));
  if (issues == shownIssues_) return;
  shownIssues_ = issues;
  qDeleteAll(issueLines());
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSizeF(workspace::fontFor(workspace::TextStyle::caption, font()).pointSizeF());
  for (const auto& issue : issues) {
    // Interface names come from the system: plain text, never markup.
    auto* line = new QLabel(issues_);
    line->setTextFormat(Qt::PlainText);
    line->setFont(mono);
    line->setText(discoveryIssueLine(issue));
    issues_->layout()->addWidget(line);
    line->show();
  }
}

void NetworkSection::refresh() {
  const auto& text = view_.environment();
  const auto& snapshot = view_.model().snapshot();
  setTitle(text.text("network.settings"));
  toggle_->setText(text.text("network.enable"));
  {
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(snapshot.enabled);
  }
  status_->setText(text.text(snapshot.status));
  permissionHelp_->setText(text.text("network.permissionHelp"));
  systemHelp_->setText(text.text("network.legacyHelp"));
  retry_->setText(workspace::buttonTitle(text.text("network.retry")));
  reset_->setText(workspace::buttonTitle(text.text("devices.reset")));
  resetDescription_->setText(text.text("devices.resetDescription"));
  syncIssues();
}

}  // namespace velmorine::settings
