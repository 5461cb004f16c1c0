#include "Velmorine/shell/menu_localization.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTextEdit>

#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::shell {
namespace {

class MenuLocalizationTest : public ::testing::Test {
 protected:
  MenuLocalizationTest() { workspace::testing::useViewTestLook(); }

  static void settle() { QCoreApplication::processEvents(); }

  // Each text field's own context menu, opened: what the user sees there.
  template <typename Field>
  QStringList contextTitles(Field& field) {
    std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    menu->popup(QPoint(0, 0));
    settle();
    QStringList titles;
    for (auto* action : menu->actions()) {
      if (!action->isSeparator()) titles.push_back(action->objectName() + "=" + action->text());
    }
    menu->close();
    return titles;
  }

  MenuLocalization localization{workspace::testing::markedLookup()};
};

TEST_F(MenuLocalizationTest, RetitlesKeyedActionsAndMenusOnTheNextTurn) {
  QMenuBar bar;
  auto* menu = bar.addMenu(QStringLiteral("File"));
  menu->menuAction()->setProperty(kTextKeyProperty, QStringLiteral("menu.standard.file"));
  auto* close = menu->addAction(QStringLiteral("Close"));
  setActionKey(close, "menu.standard.close", QStringLiteral("Close"));
  auto* plain = menu->addAction(QStringLiteral("Ours, unkeyed"));
  localization.install();
  EXPECT_EQ(menu->title(), QStringLiteral("[en] File"));
  localization.setLanguage("ko");
  EXPECT_EQ(close->text(), QStringLiteral("[en] Close"));
  settle();
  EXPECT_EQ(menu->title(), QStringLiteral("[ko] File"));
  EXPECT_EQ(close->text(), QStringLiteral("[ko] Close"));
  EXPECT_EQ(plain->text(), QStringLiteral("Ours, unkeyed"));
}

TEST_F(MenuLocalizationTest, ASecondInstallAddsNothing) {
  localization.install();
  localization.install();
  EXPECT_TRUE(localization.installed());
}

TEST_F(MenuLocalizationTest, TextFieldsContextMenusTakeTheActionTablesKeys) {
  localization.install();
  localization.setLanguage("ru");
  settle();
  QLineEdit line;
  line.setText(QStringLiteral("text"));
  const QStringList expected = {
      "edit-undo=[ru] Undo\t" + QKeySequence(QKeySequence::Undo).toString(QKeySequence::NativeText),
      "edit-redo=[ru] Redo\t" + QKeySequence(QKeySequence::Redo).toString(QKeySequence::NativeText),
      "edit-cut=[ru] Cut\t" + QKeySequence(QKeySequence::Cut).toString(QKeySequence::NativeText),
      "edit-copy=[ru] Copy\t" + QKeySequence(QKeySequence::Copy).toString(QKeySequence::NativeText),
      "edit-paste=[ru] Paste\t" +
          QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText),
      "edit-delete=[ru] Delete",
      "select-all=[ru] Select All\t" +
          QKeySequence(QKeySequence::SelectAll).toString(QKeySequence::NativeText)};
  EXPECT_EQ(contextTitles(line), expected);
  QTextEdit text;
  text.setPlainText(QStringLiteral("text"));
  EXPECT_EQ(contextTitles(text), expected);
}

TEST(StandardEditActions, EachHasAKeyOfTheStandardTable) {
  EXPECT_EQ(standardEditActions().size(), 7u);
  for (const auto& entry : standardEditActions()) {
    EXPECT_TRUE(entry.key.starts_with("menu.standard.")) << entry.key;
    EXPECT_NE(workspace::testing::tableLookup()(entry.key, "en"), std::string(entry.key));
  }
}

TEST(ActionTitle, DoublesAmpersandsAndKeepsTheShortcutHint) {
  EXPECT_EQ(actionTitle(QStringLiteral("Emoji & Symbols")), QStringLiteral("Emoji && Symbols"));
  EXPECT_EQ(actionTitle(QStringLiteral("Kopieren"), QStringLiteral("&Copy\tCtrl+C")),
            QStringLiteral("Kopieren\tCtrl+C"));
}

}  // namespace
}  // namespace velmorine::shell
