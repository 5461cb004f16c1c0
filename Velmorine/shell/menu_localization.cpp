#include "Velmorine/shell/menu_localization.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <algorithm>
#include <array>

#include "Velmorine/workspace/view_text.h"

namespace velmorine::shell {

namespace {

constexpr std::array kStandardEditActions = {
    StandardEditAction{"edit-undo", "&Undo", "menu.standard.undo"},
    StandardEditAction{"edit-redo", "&Redo", "menu.standard.redo"},
    StandardEditAction{"edit-cut", "Cu&t", "menu.standard.cut"},
    StandardEditAction{"edit-copy", "&Copy", "menu.standard.copy"},
    StandardEditAction{"edit-paste", "&Paste", "menu.standard.paste"},
    StandardEditAction{"edit-delete", "Delete", "menu.standard.delete"},
    StandardEditAction{"select-all", "Select All", "menu.standard.selectAll"},
};

QString latin(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The standard action that `action` is: by its object name, else (a line edit names none) by the
// title Qt gave it in the widget's translation context.
const StandardEditAction* standardActionOf(const QAction* action) {
  const QString name = action->objectName();
  if (!name.isEmpty()) {
    const auto found = std::ranges::find_if(
        kStandardEditActions, [&](const auto& entry) { return name == latin(entry.objectName); });
    return found == kStandardEditActions.end() ? nullptr : &*found;
  }
  const QString title = action->text().section(QLatin1Char('\t'), 0, 0);
  for (const auto& entry : kStandardEditActions) {
    const std::string source(entry.qtTitle);
    if (title == QCoreApplication::translate("QLineEdit", source.c_str()) ||
        title == QCoreApplication::translate("QWidgetTextControl", source.c_str())) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

std::span<const StandardEditAction> standardEditActions() { return kStandardEditActions; }

QString actionTitle(const QString& text, const QString& previous) {
  QString title = workspace::buttonTitle(text);
  const qsizetype tab = previous.indexOf(QLatin1Char('\t'));
  if (tab >= 0) title += previous.mid(tab);
  return title;
}

void setActionKey(QAction* action, std::string_view key, const QString& text) {
  action->setProperty(kTextKeyProperty, QString::fromStdString(std::string(key)));
  const QString title = actionTitle(text, action->text());
  if (action->text() != title) action->setText(title);
}

MenuLocalization::MenuLocalization(workspace::TextLookup lookup, QObject* parent)
    : QObject(parent), lookup_(std::move(lookup)) {}

MenuLocalization::~MenuLocalization() {
  if (installed_ && QCoreApplication::instance() != nullptr) {
    QCoreApplication::instance()->removeEventFilter(this);
  }
}

void MenuLocalization::install() {
  if (installed_ || QCoreApplication::instance() == nullptr) return;
  QCoreApplication::instance()->installEventFilter(this);
  installed_ = true;
  refresh();
}

void MenuLocalization::setLanguage(std::string language) {
  language_ = std::move(language);
  QTimer::singleShot(0, this, &MenuLocalization::refresh);
}

QString MenuLocalization::text(std::string_view key) const {
  return QString::fromStdString(lookup_(key, language_));
}

void MenuLocalization::retitle(QMenu* menu) const {
  if (menu == nullptr) return;
  if (const auto key = menu->menuAction()->property(kTextKeyProperty); key.isValid()) {
    const QString title = actionTitle(text(key.toString().toStdString()));
    if (menu->title() != title) menu->setTitle(title);
  }
  for (QAction* action : menu->actions()) {
    if (action->isSeparator()) continue;
    if (const auto key = action->property(kTextKeyProperty); key.isValid()) {
      const QString title = actionTitle(text(key.toString().toStdString()), action->text());
      if (action->text() != title) action->setText(title);
    } else if (const auto* standard = standardActionOf(action)) {
      if (action->objectName().isEmpty()) action->setObjectName(latin(standard->objectName));
      const QString title = actionTitle(text(standard->key), action->text());
      if (action->text() != title) action->setText(title);
    }
  }
}

void MenuLocalization::refresh() {
  if (refreshing_) return;
  refreshing_ = true;
  for (QWidget* widget : QApplication::allWidgets()) {
    if (auto* menu = qobject_cast<QMenu*>(widget)) {
      retitle(menu);
    } else if (auto* bar = qobject_cast<QMenuBar*>(widget)) {
      for (QAction* action : bar->actions()) {
        if (auto* submenu = action->menu()) retitle(submenu);
      }
    }
  }
  refreshing_ = false;
}

bool MenuLocalization::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show && !refreshing_) {
    if (auto* menu = qobject_cast<QMenu*>(watched)) retitle(menu);
  }
  return false;
}

}  // namespace velmorine::shell
