#pragma once

// The program's front end around the one workspace model: the main window (1120 by 760 at first,
// at least 900 by 600), the settings window made on first use, the menu bar, the tray, and the
// menus' language. Closing a window hides it; both keep their frames in windows.ini. What other
// parts of the shell provide (the desktop lifecycle, the data-import gate, the settings window's
// content) comes in through `FrontEndParts`, with defaults that do the simple thing until they
// exist: the runtime starts at once, quitting shuts the runtime down and ends the loop.

#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <filesystem>
#include <functional>
#include <memory>

#include "Velmorine/shell/language_code.h"
#include "Velmorine/workspace/view_environment.h"
#include "Velmorine/workspace/workspace_view.h"
class QWidget;

namespace velmorine::shell {

class DesktopMenuBar;
class DesktopTray;
class MenuLocalization;

struct FrontEndParts {
  workspace::WorkspaceViewParts view;
  // The settings window's content; a stand-in with the title and the version until it exists.
  std::function<QWidget*(workspace::ViewEnvironment&, QWidget* parent)> makeSettingsContent;
  // Attaches the desktop lifecycle to the model once the windows exist. Without one the
  // model's language hook retitles the menus.
  std::function<void(workspace::WorkspaceModel&, MenuLocalization&)> attachLifecycle;
  // Runs each time the settings window is shown (the lifecycle's status refresh).
  std::function<void()> refreshStatus;
  // The quit request of the menus and the tray; without one the runtime shuts down and the
  // event loop ends.
  std::function<void()> quit;
  // Where the windows' frames are kept; empty keeps none.
  std::filesystem::path framesFile;
};

// $XDG_CONFIG_HOME/Velmorine/windows.ini, else ~/.config/Velmorine/windows.ini; empty without
// either.
std::filesystem::path windowFramesFile(const EnvironmentLookup& environment);

class DesktopFrontEnd : public QObject {
  Q_OBJECT

 public:
  DesktopFrontEnd(workspace::WorkspaceModel& model, workspace::TextLookup lookup,
                  FrontEndParts parts = {});
  ~DesktopFrontEnd() override;

  // Shows the main window and makes it the active one.
  void start();

  void showMain();
  void showSettings();
  void quit();

  workspace::ViewEnvironment& environment() { return *environment_; }
  QMainWindow* mainWindow() const { return main_; }
  workspace::WorkspaceView* workspace() const { return workspace_; }
  // None until first shown.
  QWidget* settingsWindow() const { return settings_; }
  DesktopMenuBar* menus() const { return menus_; }
  DesktopTray* tray() const { return tray_.get(); }
  MenuLocalization* menuLocalization() const { return localization_; }

  static constexpr QSize kMainSize{1120, 760};
  static constexpr QSize kSettingsSize{620, 700};
  static constexpr QSize kSettingsMinimumSize{560, 620};

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refreshTitles();
  void saveFrame(QWidget* window, const char* name) const;
  bool restoreFrame(QWidget* window, const char* name) const;

  workspace::WorkspaceModel& model_;
  FrontEndParts parts_;
  workspace::AboutSheetFactory makeAboutSheet_;
  std::unique_ptr<workspace::ViewEnvironment> environment_;
  QPointer<QMainWindow> main_;
  workspace::WorkspaceView* workspace_ = nullptr;
  QPointer<QWidget> settings_;
  DesktopMenuBar* menus_ = nullptr;
  std::unique_ptr<DesktopTray> tray_;
  MenuLocalization* localization_ = nullptr;
  bool quitting_ = false;
};

}  // namespace velmorine::shell
