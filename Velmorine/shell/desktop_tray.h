#pragma once

// The tray icon and its menu: the network state, the count of running transfers, and open,
// network, settings and quit. The menu is made afresh from the snapshot each time it is about to
// open; the icon fills in while any conversation has unread messages.

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "Velmorine/workspace/view_environment.h"

class QMenu;
class QSystemTrayIcon;

namespace velmorine::shell {

struct TrayEntry {
  enum class Kind { text, button, separator };
  enum class Command { none, open, toggleNetwork, settings, quit };

  Kind kind = Kind::text;
  Command command = Command::none;
  std::string key;  // the localisation key of its title; empty for the separator
  QString title;

  friend bool operator==(const TrayEntry&, const TrayEntry&) = default;
};

// The seven entries for a snapshot, titled in its language.
std::vector<TrayEntry> trayEntries(const runtime::RuntimeSnapshot& snapshot,
                                   const workspace::ViewEnvironment& environment);

// "arrow.up.arrow.down.circle.fill" while any unread count is above 0, else without ".fill".
std::string traySymbol(const std::map<std::string, std::int64_t>& unread);

class DesktopTray : public QObject {
  Q_OBJECT

 public:
  struct Actions {
    std::function<void()> showSettings;
    std::function<void()> quit;
  };

  // Shows the icon where the desktop has a tray; the menu exists either way.
  DesktopTray(workspace::ViewEnvironment& environment, Actions actions, QObject* parent = nullptr);
  ~DesktopTray() override;

  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }
  const std::string& symbol() const { return symbol_; }

  // Makes the menu from the current snapshot.
  void rebuild();

 private:
  void refreshIcon();

  workspace::ViewEnvironment& environment_;
  Actions actions_;
  QMenu* menu_;
  QSystemTrayIcon* icon_ = nullptr;
  std::string symbol_;
};

}  // namespace velmorine::shell
