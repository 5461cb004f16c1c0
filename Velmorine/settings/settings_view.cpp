#include "Velmorine/settings/settings_view.h"

#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "Velmorine/settings/about_section.h"
#include "Velmorine/settings/about_view.h"
#include "Velmorine/settings/general_section.h"
#include "Velmorine/settings/network_section.h"
#include "Velmorine/settings/notification_section.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::settings {

namespace {

QMessageBox* makeAlert(QWidget* parent, const char* name) {
  auto* alert = new QMessageBox(parent);
  alert->setObjectName(QString::fromLatin1(name));
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setIcon(QMessageBox::NoIcon);
  alert->setTextFormat(Qt::PlainText);
  return alert;
}

}  // namespace

SettingsView::SettingsView(workspace::ViewEnvironment& environment,
                           shell::DesktopLifecycle& lifecycle, SettingsParts parts, QWidget* parent)
    : QWidget(parent), environment_(environment), lifecycle_(lifecycle), parts_(std::move(parts)) {
  setObjectName(QStringLiteral("settings.content"));
  setMinimumSize(kMinimumSize);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("settings.scroll"));
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setFocusPolicy(Qt::NoFocus);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* sections = new QWidget();
  auto* column = new QVBoxLayout(sections);
  column->setContentsMargins(16, 16, 16, 16);
  column->setSpacing(16);
  general_ = new GeneralSection(*this);
  network_ = new NetworkSection(*this);
  notifications_ = new NotificationSection(*this);
  about_ = new AboutSection(*this);
  for (QWidget* section :
       std::initializer_list<QWidget*>{general_, network_, notifications_, about_}) {
    column->addWidget(section);
  }
  column->addStretch(1);
  scroll_->setWidget(sections);
  outer->addWidget(scroll_);

  auto& model = environment_.model();
  displayName_ = model.snapshot().preferences.displayName;
  language_ = environment_.language();
  connect(&model, &workspace::WorkspaceModel::snapshotPublished, this,
          &SettingsView::followSnapshot);
  connect(&model, &workspace::WorkspaceModel::settingsErrorKeyPublished, this,
          &SettingsView::followError);
  general_->refillName();
  followError();
}

SettingsView::~SettingsView() {
  closing_ = true;
  for (QDialog* dialog :
       {static_cast<QDialog*>(aboutSheet_.data()), static_cast<QDialog*>(reset_.data()),
        static_cast<QDialog*>(error_.data())}) {
    delete dialog;
  }
}

void SettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Every opening starts from the stored name, over an edit left unsaved.
  general_->refillName();
  lifecycle_.refreshStatus();
}

void SettingsView::followSnapshot() {
  const auto& preferences = model().snapshot().preferences;
  general_->refresh();
  network_->refresh();
  notifications_->refresh();
  about_->refresh();
  if (preferences.displayName != displayName_) {
    displayName_ = preferences.displayName;
    general_->refillName();
  }
  if (environment_.language() != language_) {
    language_ = environment_.language();
    refreshTexts();
  }
}

void SettingsView::refreshTexts() {
  if (reset_) {
    reset_->setWindowTitle(environment_.text("devices.reset"));
    reset_->setText(environment_.text("devices.reset"));
    reset_->setInformativeText(environment_.text("devices.resetDescription"));
    for (auto* button : reset_->buttons()) {
      const bool confirming = reset_->buttonRole(button) == QMessageBox::AcceptRole;
      button->setText(workspace::buttonTitle(
          environment_.text(confirming ? "devices.reset" : "action.cancel")));
    }
  }
  if (error_) {
    error_->setWindowTitle(environment_.text("error.title"));
    error_->setText(environment_.text("error.title"));
    error_->setInformativeText(
        environment_.text(model().settingsErrorKey().value_or("error.title")));
    for (auto* button : error_->buttons()) {
      button->setText(workspace::buttonTitle(environment_.text("action.ok")));
    }
  }
}

void SettingsView::dismissQuietly(QDialog* dialog) {
  if (dialog == nullptr) return;
  closing_ = true;
  dialog->done(QDialog::Rejected);
  closing_ = false;
}

void SettingsView::setShowAbout(bool shown) {
  showAbout_ = shown;
  followAbout();
}

void SettingsView::followAbout() {
  if (!showAbout_) {
    dismissQuietly(aboutSheet_);
    return;
  }
  if (aboutSheet_) return;
  auto* sheet = new AboutView(environment_, parts_.about, "privacy", window());
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->setWindowModality(Qt::WindowModal);
  connect(sheet, &QDialog::finished, this, [this] {
    if (!closing_) showAbout_ = false;
  });
  aboutSheet_ = sheet;
  sheet->open();
}

void SettingsView::setConfirmDeviceReset(bool shown) {
  confirmDeviceReset_ = shown;
  followReset();
}

void SettingsView::followReset() {
  if (!confirmDeviceReset_) {
    dismissQuietly(reset_);
    return;
  }
  if (reset_) return;
  auto* alert = makeAlert(window(), "devices.resetConfirmation");
  auto* confirm = alert->addButton(QString(), QMessageBox::AcceptRole);
  confirm->setObjectName(QStringLiteral("devices.reset"));
  auto* cancel = alert->addButton(QString(), QMessageBox::RejectRole);
  cancel->setObjectName(QStringLiteral("action.cancel"));
  alert->setEscapeButton(cancel);
  alert->setDefaultButton(cancel);
  connect(confirm, &QPushButton::clicked, this, &SettingsView::resetDevices);
  connect(alert, &QDialog::finished, this, [this] {
    if (!closing_) confirmDeviceReset_ = false;
  });
  reset_ = alert;
  refreshTexts();
  alert->open();
}

void SettingsView::resetDevices() {
  model().runtime().resetDevices([model = QPointer(&model())](bool success) {
    // A completion after the model went is dropped.
    if (model) model->finishDeviceReset(success);
  });
}

void SettingsView::followError() {
  const auto& key = model().settingsErrorKey();
  if (!key) {
    dismissQuietly(error_);
    return;
  }
  if (!error_) {
    auto* alert = makeAlert(window(), "settings.errorAlert");
    auto* ok = alert->addButton(QString(), QMessageBox::RejectRole);
    ok->setObjectName(QStringLiteral("action.ok"));
    alert->setEscapeButton(ok);
    alert->setDefaultButton(ok);
    connect(alert, &QDialog::finished, this, [this] {
      if (!closing_) model().setSettingsErrorKey(std::nullopt);
    });
    error_ = alert;
    refreshTexts();
    alert->open();
    return;
  }
  refreshTexts();
}

}  // namespace velmorine::settings
