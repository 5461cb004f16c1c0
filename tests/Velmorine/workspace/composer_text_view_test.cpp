#include "Velmorine/workspace/composer_text_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputMethodEvent>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

namespace velmorine::workspace {
namespace {

// An input method starting to compose `preedit` at the cursor.
void compose(QWidget* view, const QString& preedit) {
  QInputMethodEvent event(preedit, {});
  QApplication::sendEvent(view, &event);
}

void commit(QWidget* view, const QString& text) {
  QInputMethodEvent event;
  event.setCommitString(text);
  QApplication::sendEvent(view, &event);
}

class ComposerTest : public ::testing::Test {
 protected:
  ComposerTest() {
    auto* column = new QVBoxLayout(&window);
    column->addWidget(&editor);
    column->addWidget(after);
    editor.update({[this] { return draft; },
                   [this](std::string text) {
                     draft = std::move(text);
                     ++writes;
                   }},
                  QStringLiteral("Message"), [this] { ++sends; });
    window.show();
    view()->setFocus();
  }

  ComposerTextView* view() { return editor.textView(); }

  std::string draft;
  int writes = 0;
  int sends = 0;
  QWidget window;
  MessageEditor editor{&window};
  QPushButton* after = new QPushButton(QStringLiteral("next"), &window);
};

class ControlReturn : public ComposerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ControlReturn, SendsOnceAndInsertsNothing) {
  draft = GetParam();
  editor.refresh();
  QTest::keyClick(view(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(view()->toPlainText().toStdString(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Texts, ControlReturn, ::testing::Values("", "hello"));

TEST_F(ComposerTest, ReturnAndTheKeypadsEnterInsertALineBreak) {
  QTest::keyClicks(view(), QStringLiteral("a"));
  QTest::keyClick(view(), Qt::Key_Return);
  QTest::keyClick(view(), Qt::Key_Enter, Qt::KeypadModifier);
  QTest::keyClicks(view(), QStringLiteral("b"));
  EXPECT_EQ(sends, 0);
  EXPECT_EQ(draft, "a\n\nb");
}

TEST_F(ComposerTest, ControlReturnWhileComposingDoesNothing) {
  compose(view(), QStringLiteral("ka"));
  ASSERT_TRUE(view()->hasMarkedText());
  ASSERT_TRUE(isComposingText(view()));
  QTest::keyClick(view(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(sends, 0);
  commit(view(), QStringLiteral("か"));
  EXPECT_FALSE(view()->hasMarkedText());
  EXPECT_EQ(draft, "か");
  QTest::keyClick(view(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(sends, 1);
}

TEST_F(ComposerTest, TabMovesTheFocusAndInsertsNoTab) {
  QApplication::setActiveWindow(&window);
  view()->setFocus();
  ASSERT_TRUE(view()->hasFocus());
  QTest::keyClick(view(), Qt::Key_Tab);
  EXPECT_TRUE(after->hasFocus());
  EXPECT_EQ(view()->toPlainText(), QString());
  QTest::keyClick(after, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_TRUE(view()->hasFocus());
}

TEST_F(ComposerTest, ADraftChangedFromOutsideShowsUnlessComposing) {
  draft = "restored";
  editor.refresh();
  EXPECT_EQ(view()->toPlainText(), QStringLiteral("restored"));
  // Showing the bound text is not a change to write back.
  EXPECT_EQ(writes, 0);

  compose(view(), QStringLiteral("ni"));
  draft.clear();
  editor.refresh();
  EXPECT_EQ(view()->toPlainText(), QStringLiteral("restored"));
  commit(view(), QString());
  draft.clear();
  editor.refresh();
  EXPECT_EQ(view()->toPlainText(), QString());
}

TEST_F(ComposerTest, TypingUpdatesTheDraftOnEveryChange) {
  QTest::keyClicks(view(), QStringLiteral("hey"));
  EXPECT_EQ(draft, "hey");
  EXPECT_EQ(writes, 3);
  QTest::keyClick(view(), Qt::Key_Backspace);
  EXPECT_EQ(draft, "he");
}

}  // namespace
}  // namespace velmorine::workspace
