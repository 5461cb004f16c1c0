#include "Velmorine/workspace/security_inspector.h"

#include <QFontDatabase>
#include <QFrame>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/symbol_label.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

constexpr QRgb kDestructiveRed = qRgb(0xc0, 0x1c, 0x28);

QFont monospaced(const QFont& base, TextStyle style) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSizeF(fontFor(style, base).pointSizeF());
  return font;
}

}  // namespace

void setDestructive(QPushButton* button, bool destructive) {
  if (destructive) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, QColor(kDestructiveRed));
    button->setPalette(palette);
  } else {
    // A palette that resolves nothing: every role comes from the parent again.
    button->setPalette(QPalette());
  }
  button->setProperty("destructive", destructive);
}

SecurityInspector::SecurityInspector(ViewEnvironment& environment, QWidget* parent)
    : QScrollArea(parent), environment_(environment) {
  setObjectName(QStringLiteral("security.inspector"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(this);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(20, 20, 20, 20);
  column->setSpacing(20);

  title_ = new SymbolLabel(TextStyle::headline, TextTone::primary, content);
  name_ = new TextLabel(TextStyle::title3, TextTone::primary, content);
  name_->setObjectName(QStringLiteral("security.name"));
  name_->setWrapping(true);
  name_->setSelectable(true);
  auto* status = new QWidget(content);
  auto* statusColumn = new QVBoxLayout(status);
  statusColumn->setContentsMargins(0, 0, 0, 0);
  statusColumn->setSpacing(8);
  connection_ = new SymbolLabel(TextStyle::callout, TextTone::primary, status);
  verification_ = new SymbolLabel(TextStyle::callout, TextTone::primary, status);
  statusColumn->addWidget(connection_);
  statusColumn->addWidget(verification_);
  codeHelp_ = new TextLabel(TextStyle::caption, TextTone::secondary, content);
  codeHelp_->setWrapping(true);

  code_ = new TextLabel(TextStyle::body, TextTone::primary, content);
  code_->setObjectName(QStringLiteral("security.code"));
  code_->setWrapping(true);
  code_->setSelectable(true);
  code_->setFont(monospaced(font(), TextStyle::body));
  verify_ = new QPushButton(content);
  verify_->setObjectName(QStringLiteral("security.verify"));
  connect_ = new QPushButton(content);
  connect_->setObjectName(QStringLiteral("security.connect"));
  for (auto* button : {verify_, connect_}) button->setAutoDefault(false);
  connect(verify_, &QPushButton::clicked, this, &SecurityInspector::openVerifyAlert);
  connect(connect_, &QPushButton::clicked, this, [this] {
    if (peer_) environment_.model().runtime().connectPeer(peer_->wireID);
  });

  auto* divider = new QFrame(content);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  deviceTitle_ = new TextLabel(TextStyle::caption, TextTone::secondary, content);
  deviceID_ = new TextLabel(TextStyle::caption, TextTone::primary, content);
  deviceID_->setObjectName(QStringLiteral("security.deviceID"));
  deviceID_->setWrapping(true);
  deviceID_->setSelectable(true);
  deviceID_->setFont(monospaced(font(), TextStyle::caption));
  block_ = new QPushButton(content);
  block_->setObjectName(QStringLiteral("security.block"));
  block_->setAutoDefault(false);
  connect(block_, &QPushButton::clicked, this, &SecurityInspector::openBlockAlert);

  column->addWidget(title_);
  column->addWidget(name_);
  column->addWidget(status);
  column->addWidget(codeHelp_);
  column->addWidget(code_);
  column->addWidget(verify_, 0, Qt::AlignLeft);
  column->addWidget(connect_, 0, Qt::AlignLeft);
  column->addWidget(divider);
  column->addWidget(deviceTitle_);
  column->addWidget(deviceID_);
  column->addWidget(block_, 0, Qt::AlignLeft);
  column->addStretch(1);
  setWidget(content);
}

void SecurityInspector::setPeer(const runtime::RuntimePeer& peer) {
  peer_ = peer;
  refresh();
}

void SecurityInspector::refresh() {
  if (!peer_) return;
  const auto& peer = *peer_;
  title_->setContent("lock.shield", environment_.text("security.details"));
  setAccessibleName(environment_.text("security.details"));
  name_->setText(QString::fromStdString(peer.name));
  if (peer.safetyCode) {
    connection_->setContent("lock.fill", environment_.text("security.encrypted"));
  } else {
    connection_->setContent("lock.open", environment_.text("security.notConnected"));
  }
  if (peer.verified) {
    verification_->setContent("checkmark.seal", environment_.text("security.verified"));
  } else {
    verification_->setContent("person.crop.circle.badge.questionmark",
                              environment_.text("security.unverified"));
  }
  codeHelp_->setText(environment_.text("security.codeHelp"));

  const bool hasCode = peer.safetyCode.has_value();
  code_->setVisible(hasCode);
  verify_->setVisible(hasCode);
  if (hasCode) code_->setText(QString::fromStdString(*peer.safetyCode));
  verify_->setText(buttonTitle(environment_.text("security.verify")));
  verify_->setEnabled(!peer.verified);
  connect_->setVisible(!hasCode && peer.online && !peer.blocked && !peer.keyChanged);
  connect_->setText(buttonTitle(environment_.text("security.connect")));

  deviceTitle_->setText(environment_.text("security.deviceID"));
  deviceID_->setText(QString::fromStdString(peer.contactID));
  block_->setText(
      buttonTitle(environment_.text(peer.blocked ? "security.unblock" : "security.block")));
  setDestructive(block_, !peer.blocked);
}

void SecurityInspector::openVerifyAlert() {
  if (!peer_ || verifyAlert_) return;
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("security.verifyAlert"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::NoIcon);
  alert->setTextFormat(Qt::PlainText);
  alert->setWindowTitle(environment_.text("security.verify"));
  alert->setText(environment_.text("security.verify"));
  alert->setInformativeText(environment_.text("security.verifyHelp"));
  auto* cancel =
      alert->addButton(buttonTitle(environment_.text("action.cancel")), QMessageBox::RejectRole);
  auto* confirm = alert->addButton(buttonTitle(environment_.text("security.confirmMatch")),
                                   QMessageBox::AcceptRole);
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(cancel);
  const std::string wireID = peer_->wireID;
  connect(confirm, &QPushButton::clicked, this,
          [this, wireID] { environment_.model().runtime().verifyPeer(wireID); });
  verifyAlert_ = alert;
  alert->open();
}

void SecurityInspector::openBlockAlert() {
  if (!peer_ || blockAlert_) return;
  // The alert decides on the peer as it was when it opened.
  const bool blocked = peer_->blocked;
  const std::string id = peer_->id;
  const QString title = environment_.text(blocked ? "security.unblock" : "security.block");
  auto* alert = new QMessageBox(this);
  alert->setObjectName(QStringLiteral("security.blockAlert"));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::NoIcon);
  alert->setTextFormat(Qt::PlainText);
  alert->setWindowTitle(title);
  alert->setText(title);
  alert->setInformativeText(environment_.text("security.blockHelp"));
  auto* cancel =
      alert->addButton(buttonTitle(environment_.text("action.cancel")), QMessageBox::RejectRole);
  auto* confirm = alert->addButton(buttonTitle(title), QMessageBox::AcceptRole);
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(cancel);
  connect(confirm, &QPushButton::clicked, this,
          [this, id, blocked] { environment_.model().runtime().setPeerBlocked(id, !blocked); });
  blockAlert_ = alert;
  alert->open();
}

}  // namespace velmorine::workspace
