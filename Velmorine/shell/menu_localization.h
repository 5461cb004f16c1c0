#pragma once

// Every menu of the program is its own and titled from localisation keys: an action carries its
// key in the property "textKey", and a retitle sets each such action's text to the key's text in
// the current language. The one menu that Qt builds itself is a text field's context menu: its
// standard actions are recognised by their object names (or, where Qt leaves them unnamed, by
// Qt's own titles) and retitled with the action table's keys as the menu opens. The language
// follows the preference; the desktop lifecycle calls `setLanguage` and `refresh`.

#include <QObject>
#include <QPointer>
#include <span>
#include <string>
#include <string_view>

#include "Velmorine/workspace/view_environment.h"

class QAction;
class QMenu;
class QWidget;

namespace velmorine::shell {

// The property that holds an action's localisation key.
inline constexpr const char* kTextKeyProperty = "textKey";

// One standard action of a text field's context menu.
struct StandardEditAction {
  std::string_view objectName;  // as Qt names it ("edit-copy")
  std::string_view qtTitle;     // Qt's own title, mnemonic included ("&Copy")
  std::string_view key;         // "menu.standard.copy"
};

std::span<const StandardEditAction> standardEditActions();

// Gives `action` its key and the text of the key.
void setActionKey(QAction* action, std::string_view key, const QString& text);

// The title an action shows for `text`: "&" doubled, and the shortcut hint after a tab kept.
QString actionTitle(const QString& text, const QString& previous = {});

class MenuLocalization : public QObject {
  Q_OBJECT

 public:
  explicit MenuLocalization(workspace::TextLookup lookup, QObject* parent = nullptr);
  ~MenuLocalization() override;

  // Watches menus as they open; a second call does nothing.
  void install();
  bool installed() const { return installed_; }
  // Stores the language and retitles on the event loop's next turn.
  void setLanguage(std::string language);
  const std::string& language() const { return language_; }
  // Retitles every keyed action of every menu and menu bar now.
  void refresh();
  // Retitles one menu: its keyed actions, and the standard actions of a text field's menu.
  void retitle(QMenu* menu) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString text(std::string_view key) const;

  workspace::TextLookup lookup_;
  std::string language_ = "system";
  bool installed_ = false;
  bool refreshing_ = false;
};

}  // namespace velmorine::shell
