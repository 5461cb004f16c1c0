#include "Velmorine/workspace/workspace_sheets.h"

#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "Velmorine/workspace/security_inspector.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::workspace {

namespace {

QMessageBox* makeAlert(QWidget* parent, const QString& title, const QString& message) {
  auto* alert = new QMessageBox(parent);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::NoIcon);
  alert->setTextFormat(Qt::PlainText);
  alert->setWindowTitle(title);
  alert->setText(title);
  alert->setInformativeText(message);
  return alert;
}

}  // namespace

QDialog* makeHelpPlaceholderSheet(ViewEnvironment& environment, const std::string&,
                                  QWidget* parent) {
  auto* sheet = new QDialog(parent);
  sheet->setObjectName(QStringLiteral("about.sheet"));
  sheet->setWindowTitle(environment.text("about.help"));
  auto* column = new QVBoxLayout(sheet);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(12);
  auto* title = new TextLabel(TextStyle::title3, TextTone::primary, sheet);
  title->setText(environment.text("about.help"));
  auto* body = new TextLabel(TextStyle::body, TextTone::primary, sheet);
  body->setWrapping(true);
  body->setText(environment.text("about.helpBody"));
  auto* done = new QPushButton(buttonTitle(environment.text("action.done")), sheet);
  done->setObjectName(QStringLiteral("action.done"));
  done->setDefault(true);
  QObject::connect(done, &QPushButton::clicked, sheet, &QDialog::accept);
  column->addWidget(title);
  column->addWidget(body);
  column->addWidget(done, 0, Qt::AlignRight);
  sheet->setFixedWidth(420);
  return sheet;
}

WorkspaceSheets::WorkspaceSheets(ViewEnvironment& environment, QWidget* window,
                                 AboutSheetFactory makeAboutSheet)
    : QObject(window),
      environment_(environment),
      window_(window),
      makeAboutSheet_(std::move(makeAboutSheet)) {
  auto& model = environment_.model();
  connect(&model, &WorkspaceModel::securityDetailsVisiblePublished, this,
          &WorkspaceSheets::followSecurityDetails);
  connect(&model, &WorkspaceModel::helpRequestedPublished, this, &WorkspaceSheets::followHelp);
  connect(&model, &WorkspaceModel::clearConfirmationPublished, this, &WorkspaceSheets::followClear);
  connect(&model, &WorkspaceModel::errorKeyPublished, this, &WorkspaceSheets::followError);
  connect(&model, &WorkspaceModel::snapshotPublished, this,
          &WorkspaceSheets::refreshSecurityDetails);
  connect(&model, &WorkspaceModel::selectedPeerIDPublished, this,
          &WorkspaceSheets::refreshSecurityDetails);
  followSecurityDetails();
  followHelp();
  followClear();
  followError();
}

WorkspaceSheets::~WorkspaceSheets() {
  closing_ = true;
  for (QDialog* dialog :
       {securityDetails_.data(), help_.data(), static_cast<QDialog*>(clear_.data()),
        static_cast<QDialog*>(error_.data())}) {
    delete dialog;
  }
}

void WorkspaceSheets::dismissQuietly(QDialog* dialog) {
  if (dialog == nullptr) return;
  closing_ = true;
  dialog->done(QDialog::Rejected);
  closing_ = false;
}

void WorkspaceSheets::followSecurityDetails() {
  auto& model = environment_.model();
  if (!model.securityDetailsVisible()) {
    dismissQuietly(securityDetails_);
    return;
  }
  if (securityDetails_) return;
  auto* sheet = new QDialog(window_);
  sheet->setObjectName(QStringLiteral("security.sheet"));
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->setWindowModality(Qt::WindowModal);
  sheet->setWindowTitle(environment_.text("security.details"));
  sheet->setFixedWidth(kSheetWidth);
  auto* column = new QVBoxLayout(sheet);
  column->setContentsMargins(0, 0, 0, 0);
  inspector_ = new SecurityInspector(environment_, sheet);
  inspector_->setMinimumHeight(420);
  column->addWidget(inspector_, 1);
  auto* done = new QPushButton(buttonTitle(environment_.text("action.done")), sheet);
  done->setObjectName(QStringLiteral("action.done"));
  done->setAutoDefault(false);
  // Escape rejects the dialog, which is the cancel shortcut of this button as well.
  connect(done, &QPushButton::clicked, sheet, &QDialog::reject);
  column->addWidget(done, 0, Qt::AlignHCenter);
  column->addSpacing(12);
  connect(sheet, &QDialog::finished, this, [this] {
    if (!closing_) environment_.model().setSecurityDetailsVisible(false);
  });
  securityDetails_ = sheet;
  refreshSecurityDetails();
  sheet->open();
}

void WorkspaceSheets::refreshSecurityDetails() {
  if (!securityDetails_ || !inspector_) return;
  const auto* peer = environment_.model().selectedPeer();
  inspector_->setVisible(peer != nullptr);
  if (peer != nullptr) inspector_->setPeer(*peer);
  securityDetails_->adjustSize();
}

void WorkspaceSheets::followHelp() {
  auto& model = environment_.model();
  if (!model.helpRequested()) {
    dismissQuietly(help_);
    return;
  }
  if (help_) return;
  QDialog* sheet = makeAboutSheet_(environment_, "help", window_);
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->setWindowModality(Qt::WindowModal);
  connect(sheet, &QDialog::finished, this, [this] {
    if (!closing_) environment_.model().setHelpRequested(false);
  });
  help_ = sheet;
  sheet->open();
}

void WorkspaceSheets::followClear() {
  auto& model = environment_.model();
  if (!model.clearConfirmation()) {
    dismissQuietly(clear_);
    return;
  }
  if (clear_) return;
  auto* alert = makeAlert(window_, environment_.text("conversation.clear"),
                          environment_.text("conversation.clearHelp"));
  alert->setObjectName(QStringLiteral("conversation.clearAlert"));
  auto* cancel =
      alert->addButton(buttonTitle(environment_.text("action.cancel")), QMessageBox::RejectRole);
  auto* clear = alert->addButton(buttonTitle(environment_.text("conversation.clear")),
                                 QMessageBox::DestructiveRole);
  setDestructive(clear, true);
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(cancel);
  // The clear acts on the selection of the moment it is confirmed; a peer gone from the
  // snapshot by then clears nothing.
  connect(clear, &QPushButton::clicked, this,
          [this] { environment_.model().clearSelectedConversation(); });
  connect(alert, &QDialog::finished, this, [this] {
    if (!closing_) environment_.model().setClearConfirmation(false);
  });
  clear_ = alert;
  alert->open();
}

void WorkspaceSheets::followError() {
  auto& model = environment_.model();
  if (!model.errorKey()) {
    dismissQuietly(error_);
    return;
  }
  if (error_) {
    error_->setInformativeText(environment_.text(*model.errorKey()));
    return;
  }
  auto* alert =
      makeAlert(window_, environment_.text("error.title"), environment_.text(*model.errorKey()));
  alert->setObjectName(QStringLiteral("error.alert"));
  auto* ok = alert->addButton(buttonTitle(environment_.text("action.ok")), QMessageBox::RejectRole);
  alert->setEscapeButton(ok);
  alert->setDefaultButton(ok);
  connect(alert, &QDialog::finished, this, [this] {
    if (!closing_) environment_.model().setErrorKey(std::nullopt);
  });
  error_ = alert;
  alert->open();
}

}  // namespace velmorine::workspace
