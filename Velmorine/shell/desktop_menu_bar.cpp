#include "Velmorine/shell/desktop_menu_bar.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>
#include <array>

#include "Velmorine/shell/menu_localization.h"

namespace velmorine::shell {

namespace {

// The Edit menu's entries: key suffix, the slot of the focused widget, the shortcut.
struct EditEntry {
  const char* suffix;
  const char* slot;
  QKeySequence shortcut;
};

const std::array<EditEntry, 7>& editEntries() {
  static const std::array<EditEntry, 7> entries = {{
      {"undo", "undo", QKeySequence(Qt::CTRL | Qt::Key_Z)},
      {"redo", "redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)},
      {"cut", "cut", QKeySequence(Qt::CTRL | Qt::Key_X)},
      {"copy", "copy", QKeySequence(Qt::CTRL | Qt::Key_C)},
      {"paste", "paste", QKeySequence(Qt::CTRL | Qt::Key_V)},
      {"delete", "delete", QKeySequence()},
      {"selectAll", "selectAll", QKeySequence(Qt::CTRL | Qt::Key_A)},
  }};
  return entries;
}

QWidget* activeWindow() {
  if (QWidget* window = QApplication::activeWindow()) return window;
  return nullptr;
}

}  // namespace

void runEditCommand(const char* slot) {
  QWidget* focus = QApplication::focusWidget();
  if (focus == nullptr) return;
  if (std::string_view(slot) == "delete") {
    // Text fields have no slot of that name: delete removes the selection.
    if (auto* line = qobject_cast<QLineEdit*>(focus)) {
      if (line->hasSelectedText()) line->del();
    } else if (auto* text = qobject_cast<QTextEdit*>(focus)) {
      text->textCursor().removeSelectedText();
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(focus)) {
      plain->textCursor().removeSelectedText();
    }
    return;
  }
  if (focus->metaObject()->indexOfMethod(
          QMetaObject::normalizedSignature((std::string(slot) + "()").c_str())) >= 0) {
    QMetaObject::invokeMethod(focus, slot);
  }
}

DesktopMenuBar::DesktopMenuBar(workspace::ViewEnvironment& environment, QMenuBar* bar,
                               Actions actions)
    : QObject(bar), environment_(environment), bar_(bar), actions_(std::move(actions)) {
  auto& model = environment_.model();

  // The application menu keeps the product's name.
  auto* application = bar_->addMenu(QStringLiteral("Velmorine"));
  application->setObjectName(QStringLiteral("menu.application"));
  menus_["Velmorine"] = application;
  addAction(application, "menu.standard.about", {}, [this] {
    if (actions_.showAbout) actions_.showAbout();
  });
  application->addSeparator();
  addAction(application, "settings.title", QKeySequence(Qt::CTRL | Qt::Key_Comma), [this] {
    if (actions_.showSettings) actions_.showSettings();
  });
  application->addSeparator();
  addAction(application, "menu.quit", QKeySequence(Qt::CTRL | Qt::Key_Q), [this] {
    if (actions_.quit) actions_.quit();
  });

  auto* file = addMenu("menu.standard.file");
  addAction(file, "transfer.add", QKeySequence(Qt::CTRL | Qt::Key_O),
            [this] { environment_.model().addAttachments(); });
  file->addSeparator();
  addAction(file, "menu.standard.close", QKeySequence(Qt::CTRL | Qt::Key_W), [] {
    if (QWidget* window = activeWindow()) window->close();
  });

  auto* edit = addMenu("menu.standard.edit");
  for (const auto& entry : editEntries()) {
    addAction(edit, std::string("menu.standard.") + entry.suffix, entry.shortcut,
              [slot = entry.slot] { runEditCommand(slot); });
  }

  auto* view = addMenu("menu.standard.view");
  fullScreen_ = addAction(view, "menu.standard.enterFullScreen", QKeySequence::FullScreen,
                          [this] { toggleFullScreen(); });

  auto* conversation = addMenu("menu.conversation");
  addAction(conversation, "conversation.clear", {},
            [this] { environment_.model().setClearConfirmation(true); });
  addAction(conversation, "security.details", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_I),
            [this] { environment_.model().setSecurityDetailsVisible(true); });

  auto* network = addMenu("menu.network");
  network_ = addAction(network, "network.enable", {}, [this] { toggleNetwork(); });

  auto* window = addMenu("menu.standard.window");
  addAction(window, "menu.standard.minimize", QKeySequence(Qt::CTRL | Qt::Key_M), [] {
    if (QWidget* active = activeWindow()) active->showMinimized();
  });
  addAction(window, "menu.standard.zoom", {}, [] {
    if (QWidget* active = activeWindow()) {
      active->isMaximized() ? active->showNormal() : active->showMaximized();
    }
  });
  window->addSeparator();
  addAction(window, "menu.standard.bringAllFront", {}, [] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->isVisible() && !top->isMinimized()) top->raise();
    }
  });

  auto* help = addMenu("menu.standard.help");
  addAction(help, "about.help", {}, [this] { showHelp(); });

  for (auto signal : {&workspace::WorkspaceModel::snapshotPublished,
                      &workspace::WorkspaceModel::selectedPeerIDPublished}) {
    connect(&model, signal, this, &DesktopMenuBar::refresh);
  }
  refresh();
}

QMenu* DesktopMenuBar::addMenu(const std::string& key) {
  auto* menu = bar_->addMenu(QString());
  menu->setObjectName(QString::fromStdString(key));
  menu->menuAction()->setProperty(kTextKeyProperty, QString::fromStdString(key));
  connect(menu, &QMenu::aboutToShow, this, &DesktopMenuBar::refresh);
  menus_[key] = menu;
  return menu;
}

QAction* DesktopMenuBar::addAction(QMenu* menu, const std::string& key,
                                   const QKeySequence& shortcut, std::function<void()> triggered) {
  auto* action = menu->addAction(QString());
  action->setObjectName(QString::fromStdString(key));
  action->setProperty(kTextKeyProperty, QString::fromStdString(key));
  if (!shortcut.isEmpty()) {
    action->setShortcut(shortcut);
    // The menu bar serves every window.
    action->setShortcutContext(Qt::ApplicationShortcut);
  }
  connect(action, &QAction::triggered, this, [triggered = std::move(triggered)] { triggered(); });
  byKey_[key] = action;
  return action;
}

QAction* DesktopMenuBar::action(const std::string& key) const {
  const auto found = byKey_.find(key);
  return found == byKey_.end() ? nullptr : found->second;
}

QMenu* DesktopMenuBar::menu(const std::string& key) const {
  const auto found = menus_.find(key);
  return found == menus_.end() ? nullptr : found->second;
}

void DesktopMenuBar::refresh() {
  auto& model = environment_.model();
  const auto& snapshot = model.snapshot();
  // The entries whose key follows a state.
  QWidget* window = activeWindow();
  const bool fullScreen = window != nullptr && window->isFullScreen();
  fullScreen_->setProperty(kTextKeyProperty, fullScreen
                                                 ? QStringLiteral("menu.standard.exitFullScreen")
                                                 : QStringLiteral("menu.standard.enterFullScreen"));
  network_->setProperty(kTextKeyProperty, snapshot.enabled ? QStringLiteral("network.pause")
                                                           : QStringLiteral("network.enable"));
  for (const auto& [key, menu] : menus_) {
    if (const auto menuKey = menu->menuAction()->property(kTextKeyProperty); menuKey.isValid()) {
      const QString title = actionTitle(environment_.text(menuKey.toString().toStdString()));
      if (menu->title() != title) menu->setTitle(title);
    }
    for (QAction* entry : menu->actions()) {
      const auto entryKey = entry->property(kTextKeyProperty);
      if (!entryKey.isValid()) continue;
      const QString title = actionTitle(environment_.text(entryKey.toString().toStdString()));
      if (entry->text() != title) entry->setText(title);
    }
  }
  action("conversation.clear")->setEnabled(model.selectedPeerID().has_value());
  action("security.details")->setEnabled(model.selectedPeer() != nullptr);
}

void DesktopMenuBar::showHelp() {
  auto& model = environment_.model();
  if (model.revealWorkspace) model.revealWorkspace();
  model.markWorkspaceVisible();
  model.setHelpRequested(true);
}

void DesktopMenuBar::toggleNetwork() {
  auto& model = environment_.model();
  model.runtime().setNetworkEnabled(!model.snapshot().enabled);
}

void DesktopMenuBar::toggleFullScreen() {
  QWidget* window = activeWindow();
  if (window == nullptr) return;
  window->isFullScreen() ? window->showNormal() : window->showFullScreen();
  refresh();
}

}  // namespace velmorine::shell
