#include "Velmorine/settings/general_section.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>

#include "Velmorine/settings/return_key.h"
#include "Velmorine/settings/settings_view.h"
#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/view_text.h"

namespace velmorine::settings {

namespace {

workspace::TextLabel* caption(QWidget* parent) {
  auto* label = new workspace::TextLabel(workspace::TextStyle::caption,
                                         workspace::TextTone::secondary, parent);
  label->setWrapping(true);
  return label;
}

void setIndexQuietly(QComboBox* picker, const std::string& tag) {
  const QSignalBlocker quiet(picker);
  picker->setCurrentIndex(picker->findData(QString::fromStdString(tag)));
}

}  // namespace

GeneralSection::GeneralSection(SettingsView& view) : view_(view) {
  setObjectName(QStringLiteral("settings.general"));
  form_ = new QFormLayout(this);
  form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form_->setRowWrapPolicy(QFormLayout::WrapLongRows);

  auto* nameRow = new QHBoxLayout();
  name_ = new QLineEdit(this);
  name_->setObjectName(QStringLiteral("deviceName.field"));
  name_->setMaxLength(1024);
  save_ = new QPushButton(this);
  save_->setObjectName(QStringLiteral("deviceName.save"));
  save_->setAutoDefault(true);
  nameRow->addWidget(name_, 1);
  nameRow->addWidget(save_);
  nameTitle_ = new QLabel(this);
  nameTitle_->setBuddy(name_);
  form_->addRow(nameTitle_, nameRow);
  visible_ = caption(this);
  form_->addRow(QString(), visible_);
  automatic_ = new QPushButton(this);
  automatic_->setObjectName(QStringLiteral("deviceName.automatic"));
  automatic_->setAutoDefault(true);
  // A button of its own width, not the field's.
  automatic_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  form_->addRow(QString(), automatic_);
  automaticHelp_ = caption(this);
  form_->addRow(QString(), automaticHelp_);

  language_ = new QComboBox(this);
  language_->setObjectName(QStringLiteral("settings.language"));
  for (const auto& row : kLanguages) {
    language_->addItem(row.name != nullptr ? QString::fromUtf8(row.name) : QString(),
                       QString::fromLatin1(row.tag));
  }
  languageTitle_ = new QLabel(this);
  languageTitle_->setBuddy(language_);
  form_->addRow(languageTitle_, language_);

  appearance_ = new QComboBox(this);
  appearance_->setObjectName(QStringLiteral("settings.appearance"));
  for (const char* tag : kAppearances) appearance_->addItem(QString(), QString::fromLatin1(tag));
  appearanceTitle_ = new QLabel(this);
  appearanceTitle_->setBuddy(appearance_);
  form_->addRow(appearanceTitle_, appearance_);

  login_ = new QCheckBox(this);
  login_->setObjectName(QStringLiteral("startup.toggle"));
  clickOnReturn(login_);
  form_->addRow(QString(), login_);
  loginCaption_ = caption(this);
  loginCaption_->setObjectName(QStringLiteral("startup.status"));
  form_->addRow(QString(), loginCaption_);

  connect(name_, &QLineEdit::textChanged, this, &GeneralSection::followName);
  connect(name_, &QLineEdit::returnPressed, this, &GeneralSection::saveDeviceName);
  connect(save_, &QPushButton::clicked, this, &GeneralSection::saveDeviceName);
  connect(automatic_, &QPushButton::clicked, this, &GeneralSection::useAutomaticDeviceName);
  connect(language_, &QComboBox::activated, this, [this](int index) {
    const std::string tag = language_->itemData(index).toString().toStdString();
    view_.model().runtime().updatePreferences(
        [tag](store::AppPreferences& preferences) { preferences.language = tag; });
    // The stored value shows until the runtime publishes the new one.
    syncPickers();
  });
  connect(appearance_, &QComboBox::activated, this, [this](int index) {
    const std::string tag = appearance_->itemData(index).toString().toStdString();
    view_.model().runtime().updatePreferences(
        [tag](store::AppPreferences& preferences) { preferences.appearance = tag; });
    syncPickers();
  });
  connect(login_, &QCheckBox::toggled, this, [this](bool on) {
    view_.lifecycle().setLaunchAtLogin(on);
    syncLogin();
  });
  connect(&view_.lifecycle(), &shell::DesktopLifecycle::loginStatusPublished, this,
          &GeneralSection::syncLogin);
  refresh();
}

void GeneralSection::refillName() {
  name_->setText(QString::fromStdString(view_.model().snapshot().preferences.displayName));
  followName();
}

void GeneralSection::followName() {
  const std::string text = name_->text().toStdString();
  save_->setEnabled(store::DeviceNamePreferences::normalizedName(text).has_value() &&
                    text != view_.model().snapshot().preferences.displayName);
}

void GeneralSection::saveDeviceName() {
  auto& model = view_.model();
  const std::string text = name_->text().toStdString();
  if (!store::DeviceNamePreferences::normalizedName(text)) {
    model.setSettingsErrorKey("settings.invalidName");
    return;
  }
  // The runtime trims and checks again; it gets the name as typed.
  model.runtime().renameDevice(text, [model = QPointer(&model)](bool saved) {
    if (!saved && model) model->setSettingsErrorKey("deviceName.saveFailed");
  });
}

void GeneralSection::useAutomaticDeviceName() {
  auto& model = view_.model();
  model.runtime().renameDevice(std::nullopt, [model = QPointer(&model)](bool saved) {
    if (!saved && model) model->setSettingsErrorKey("deviceName.saveFailed");
  });
}

void GeneralSection::syncPickers() {
  const auto& preferences = view_.model().snapshot().preferences;
  setIndexQuietly(language_, preferences.language);
  setIndexQuietly(appearance_, preferences.appearance);
}

void GeneralSection::syncLogin() {
  const auto& status = view_.lifecycle().loginStatus();
  {
    const QSignalBlocker quiet(login_);
    login_->setChecked(status == shell::kStartupEnabled);
  }
  loginCaption_->setText(view_.environment().text(status));
}

void GeneralSection::refresh() {
  const auto& text = view_.environment();
  setTitle(text.text("settings.general"));
  nameTitle_->setText(text.text("settings.deviceName"));
  name_->setAccessibleName(text.text("settings.deviceName"));
  save_->setText(workspace::buttonTitle(text.text("deviceName.save")));
  visible_->setText(text.text("deviceName.visibleToOthers"));
  automatic_->setText(workspace::buttonTitle(text.text("deviceName.automatic")));
  automaticHelp_->setText(text.text("deviceName.automaticHelp"));
  languageTitle_->setText(text.text("settings.language"));
  language_->setAccessibleName(text.text("settings.language"));
  language_->setItemText(0, text.text("settings.system"));
  appearanceTitle_->setText(text.text("settings.appearance"));
  appearance_->setAccessibleName(text.text("settings.appearance"));
  appearance_->setItemText(0, text.text("settings.system"));
  appearance_->setItemText(1, text.text("settings.light"));
  appearance_->setItemText(2, text.text("settings.dark"));
  login_->setText(text.text("startup.title"));
  syncPickers();
  syncLogin();
  followName();
}

}  // namespace velmorine::settings
