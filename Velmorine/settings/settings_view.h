#pragma once

// The content of the settings window: four sections (general, network, notifications, about) in
// a scroll area, and the window-wide pieces: the about sheet, the confirmation of the device
// reset and the one alert of every settings error. What it shows comes from the model's
// snapshot and the lifecycle's status keys, in the snapshot's language, redrawn as they change;
// what it does goes to the runtime, the model or the lifecycle.

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <string>

#include "Velmorine/settings/settings_parts.h"
#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/workspace/view_environment.h"

class QScrollArea;

namespace velmorine::settings {

class AboutSection;
class AboutView;
class GeneralSection;
class NetworkSection;
class NotificationSection;

class SettingsView : public QWidget {
  Q_OBJECT

 public:
  SettingsView(workspace::ViewEnvironment& environment, shell::DesktopLifecycle& lifecycle,
               SettingsParts parts, QWidget* parent = nullptr);
  ~SettingsView() override;

  workspace::ViewEnvironment& environment() const { return environment_; }
  workspace::WorkspaceModel& model() const { return environment_.model(); }
  shell::DesktopLifecycle& lifecycle() const { return lifecycle_; }
  const SettingsParts& parts() const { return parts_; }

  // The about sheet, shown on "privacy" while true.
  bool showAbout() const { return showAbout_; }
  void setShowAbout(bool shown);
  // The device-reset confirmation, shown while true.
  bool confirmDeviceReset() const { return confirmDeviceReset_; }
  void setConfirmDeviceReset(bool shown);

  GeneralSection* general() const { return general_; }
  NetworkSection* network() const { return network_; }
  NotificationSection* notifications() const { return notifications_; }
  AboutSection* about() const { return about_; }
  QScrollArea* scrollArea() const { return scroll_; }
  AboutView* aboutSheet() const { return aboutSheet_; }
  QMessageBox* resetConfirmation() const { return reset_; }
  QMessageBox* errorAlert() const { return error_; }

  static constexpr QSize kMinimumSize{540, 600};

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void followSnapshot();
  void refreshTexts();
  void followAbout();
  void followReset();
  void followError();
  void resetDevices();
  // Closes a dialog without writing its flag back.
  void dismissQuietly(QDialog* dialog);

  workspace::ViewEnvironment& environment_;
  shell::DesktopLifecycle& lifecycle_;
  SettingsParts parts_;
  bool showAbout_ = false;
  bool confirmDeviceReset_ = false;
  std::string displayName_;
  std::string language_;
  QScrollArea* scroll_ = nullptr;
  GeneralSection* general_ = nullptr;
  NetworkSection* network_ = nullptr;
  NotificationSection* notifications_ = nullptr;
  AboutSection* about_ = nullptr;
  QPointer<AboutView> aboutSheet_;
  QPointer<QMessageBox> reset_;
  QPointer<QMessageBox> error_;
  bool closing_ = false;
};

}  // namespace velmorine::settings
