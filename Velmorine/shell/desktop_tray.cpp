#include "Velmorine/shell/desktop_tray.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "Velmorine/shell/menu_localization.h"
#include "Velmorine/workspace/symbols.h"

namespace velmorine::shell {

std::vector<TrayEntry> trayEntries(const runtime::RuntimeSnapshot& snapshot,
                                   const workspace::ViewEnvironment& environment) {
  using Kind = TrayEntry::Kind;
  using Command = TrayEntry::Command;
  auto entry = [&](Kind kind, Command command, std::string key) {
    TrayEntry made{kind, command, std::move(key), {}};
    if (!made.key.empty()) made.title = environment.text(made.key);
    return made;
  };
  std::size_t running = 0;
  for (const auto& transfer : snapshot.transfers) {
    if (!transfer::isEnded(transfer.state)) ++running;
  }
  auto transfers = entry(Kind::text, Command::none, "transfers.title");
  transfers.title += QStringLiteral(": ") + QString::number(running);
  return {
      entry(Kind::text, Command::none, snapshot.enabled ? "network.enabled" : "network.paused"),
      transfers,
      entry(Kind::button, Command::open, "menu.open"),
      entry(Kind::button, Command::toggleNetwork,
            snapshot.enabled ? "network.pause" : "network.enable"),
      entry(Kind::button, Command::settings, "settings.title"),
      entry(Kind::separator, Command::none, {}),
      entry(Kind::button, Command::quit, "menu.quit"),
  };
}

std::string traySymbol(const std::map<std::string, std::int64_t>& unread) {
  std::int64_t total = 0;
  for (const auto& [contact, count] : unread) total += count;
  return total > 0 ? "arrow.up.arrow.down.circle.fill" : "arrow.up.arrow.down.circle";
}

DesktopTray::DesktopTray(workspace::ViewEnvironment& environment, Actions actions, QObject* parent)
    : QObject(parent), environment_(environment), actions_(std::move(actions)) {
  menu_ = new QMenu();
  menu_->setObjectName(QStringLiteral("tray.menu"));
  connect(menu_, &QMenu::aboutToShow, this, &DesktopTray::rebuild);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(menu_);
    icon_->setToolTip(QStringLiteral("Velmorine"));
  }
  connect(&environment_.model(), &workspace::WorkspaceModel::unreadPublished, this,
          &DesktopTray::refreshIcon);
  rebuild();
  refreshIcon();
  if (icon_ != nullptr) icon_->show();
}

DesktopTray::~DesktopTray() { delete menu_; }

void DesktopTray::refreshIcon() {
  const auto symbol = traySymbol(environment_.model().unread());
  if (symbol == symbol_) return;
  symbol_ = symbol;
  if (icon_ != nullptr) icon_->setIcon(workspace::symbolIcon(symbol_, QApplication::style()));
}

void DesktopTray::rebuild() {
  menu_->clear();
  auto& model = environment_.model();
  for (const auto& entry : trayEntries(model.snapshot(), environment_)) {
    if (entry.kind == TrayEntry::Kind::separator) {
      menu_->addSeparator();
      continue;
    }
    auto* action = menu_->addAction(actionTitle(entry.title));
    action->setObjectName(QString::fromStdString(entry.key));
    // The transfers line is made of its key's text and a count: not retitled from the key alone.
    if (entry.key != "transfers.title") {
      action->setProperty(kTextKeyProperty, QString::fromStdString(entry.key));
    }
    action->setEnabled(entry.kind == TrayEntry::Kind::button);
    switch (entry.command) {
      case TrayEntry::Command::open:
        connect(action, &QAction::triggered, this, [this] {
          auto& current = environment_.model();
          if (current.revealWorkspace) current.revealWorkspace();
          current.markWorkspaceVisible();
        });
        break;
      case TrayEntry::Command::toggleNetwork:
        connect(action, &QAction::triggered, this, [this] {
          auto& current = environment_.model();
          current.runtime().setNetworkEnabled(!current.snapshot().enabled);
        });
        break;
      case TrayEntry::Command::settings:
        connect(action, &QAction::triggered, this, [this] {
          if (actions_.showSettings) actions_.showSettings();
        });
        break;
      case TrayEntry::Command::quit:
        connect(action, &QAction::triggered, this, [this] {
          if (actions_.quit) actions_.quit();
        });
        break;
      case TrayEntry::Command::none:
        break;
    }
  }
}

}  // namespace velmorine::shell
