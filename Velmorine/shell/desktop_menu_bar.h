#pragma once

// The program's one menu bar, serving every window: the application menu (about, settings,
// quit), File, Edit, View, Conversation, Network, Window and Help. Every title comes from a key in
// the language of the model's snapshot; shortcuts act application-wide (Ctrl stands for Command),
// so Ctrl+W closes whichever window is active. The standard entries act on the active window or
// on the focused widget; the program's own act on the model and the runtime.

#include <QObject>
#include <functional>
#include <map>
#include <string>

#include "Velmorine/workspace/view_environment.h"

class QAction;
class QMenu;
class QMenuBar;

namespace velmorine::shell {

class DesktopMenuBar : public QObject {
  Q_OBJECT

 public:
  struct Actions {
    std::function<void()> showSettings;
    std::function<void()> showAbout;  // the about sheet on "privacy"
    std::function<void()> quit;
  };

  DesktopMenuBar(workspace::ViewEnvironment& environment, QMenuBar* bar, Actions actions);

  // The action of a key ("conversation.clear", "menu.standard.copy", ...), or nullptr.
  QAction* action(const std::string& key) const;
  // The menu of a key ("menu.conversation", ...), or nullptr; the application menu is "Velmorine".
  QMenu* menu(const std::string& key) const;
  QMenuBar* bar() const { return bar_; }

  // Brings titles and enabled states up to the model; runs on every change of the model and
  // whenever a menu is about to open.
  void refresh();

 private:
  QMenu* addMenu(const std::string& key);
  QAction* addAction(QMenu* menu, const std::string& key, const QKeySequence& shortcut,
                     std::function<void()> triggered);
  void showHelp();
  void toggleNetwork();
  void toggleFullScreen();

  workspace::ViewEnvironment& environment_;
  QMenuBar* bar_;
  Actions actions_;
  std::map<std::string, QAction*> byKey_;
  std::map<std::string, QMenu*> menus_;
  QAction* fullScreen_ = nullptr;
  QAction* network_ = nullptr;
};

// The widget a standard edit entry acts on: the focused one.
void runEditCommand(const char* slot);

}  // namespace velmorine::shell
