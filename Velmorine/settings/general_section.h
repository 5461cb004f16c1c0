#pragma once

// The general section: the device name that others see (saved, or returned to the automatic
// name), the language and the appearance, and the start at login. The pickers and the toggle
// keep no value of their own: they show the snapshot or the lifecycle's status, also right
// after the user changed them.

#include <QGroupBox>
#include <string>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace velmorine::workspace {
class TextLabel;
}

namespace velmorine::settings {

class SettingsView;

class GeneralSection : public QGroupBox {
  Q_OBJECT

 public:
  explicit GeneralSection(SettingsView& view);

  // The field takes the current display name, over any unsaved edit.
  void refillName();
  void saveDeviceName();
  void useAutomaticDeviceName();
  // Texts in the snapshot's language and the controls' values from their sources.
  void refresh();

  QLineEdit* nameField() const { return name_; }
  QPushButton* saveButton() const { return save_; }
  QPushButton* automaticButton() const { return automatic_; }
  QComboBox* languagePicker() const { return language_; }
  QComboBox* appearancePicker() const { return appearance_; }
  QCheckBox* loginToggle() const { return login_; }
  workspace::TextLabel* loginCaption() const { return loginCaption_; }

  // The language picker's rows: the tag and, for all but "system", its literal name.
  struct LanguageRow {
    const char* tag;
    const char* name;  // nullptr: the text of "settings.system"
  };
  static constexpr LanguageRow kLanguages[] = {{"system", nullptr}, {"zh-Hans", "简体中文"},
                                               {"en", "English"},   {"ja", "日本語"},
                                               {"ko", "한국어"},    {"ru", "Русский"}};
  static constexpr const char* kAppearances[] = {"system", "light", "dark"};

 private:
  void followName();
  void syncPickers();
  void syncLogin();

  SettingsView& view_;
  QFormLayout* form_ = nullptr;
  QLabel* nameTitle_ = nullptr;
  QLineEdit* name_ = nullptr;
  QPushButton* save_ = nullptr;
  workspace::TextLabel* visible_ = nullptr;
  QPushButton* automatic_ = nullptr;
  workspace::TextLabel* automaticHelp_ = nullptr;
  QLabel* languageTitle_ = nullptr;
  QComboBox* language_ = nullptr;
  QLabel* appearanceTitle_ = nullptr;
  QComboBox* appearance_ = nullptr;
  QCheckBox* login_ = nullptr;
  workspace::TextLabel* loginCaption_ = nullptr;
};

}  // namespace velmorine::settings
