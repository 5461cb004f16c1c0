// The tables the views draw from: symbols, text styles and tones, escaped texts, and the
// decorative symbol's absence from assistive technology.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <set>

#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/workspace/decorative_symbol.h"
#include "Velmorine/workspace/symbols.h"
#include "Velmorine/workspace/text_label.h"
#include "Velmorine/workspace/text_styles.h"
#include "Velmorine/workspace/view_text.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

TEST(SymbolTable, EverySymbolHasOneRowAFreedesktopNameAndAFallback) {
  useViewTestLook();
  std::set<std::string_view> seen;
  for (const auto& entry : symbolTable()) {
    EXPECT_TRUE(seen.insert(entry.symbol).second) << entry.symbol;
    EXPECT_FALSE(entry.iconName.empty()) << entry.symbol;
    // Without an icon theme the style's icon shows.
    EXPECT_FALSE(symbolIcon(entry.symbol, nullptr).isNull()) << entry.symbol;
  }
}

TEST(SymbolTable, HoldsThePlatformSymbolsOfPeers) {
  for (const char* platform : {"macos", "windows", "linux", "ios", "android", "plan9"}) {
    runtime::RuntimePeer peer;
    peer.platform = platform;
    EXPECT_NE(symbolEntry(peer.symbolName()), nullptr) << platform;
  }
  EXPECT_EQ(symbolEntry("no.such.symbol"), nullptr);
  useViewTestLook();
  EXPECT_FALSE(symbolIcon("no.such.symbol", nullptr).isNull());
}

struct StyleCase {
  TextStyle style;
  qreal points;  // from a 13-point body
  bool bold;
};

class TextStyles : public ::testing::TestWithParam<StyleCase> {};

TEST_P(TextStyles, SizeAndWeightFromTheBodyFont) {
  QFont body(QStringLiteral("DejaVu Sans"));
  body.setPointSizeF(13);
  const QFont font = fontFor(GetParam().style, body);
  EXPECT_DOUBLE_EQ(font.pointSizeF(), GetParam().points);
  EXPECT_EQ(font.bold(), GetParam().bold);
  EXPECT_EQ(font.family(), body.family());
}

INSTANTIATE_TEST_SUITE_P(Table, TextStyles,
                         ::testing::Values(StyleCase{TextStyle::largeTitle, 26, false},
                                           StyleCase{TextStyle::title, 22, false},
                                           StyleCase{TextStyle::title2, 17, false},
                                           StyleCase{TextStyle::title3, 15, false},
                                           StyleCase{TextStyle::headline, 13, true},
                                           StyleCase{TextStyle::body, 13, false},
                                           StyleCase{TextStyle::callout, 12, false},
                                           StyleCase{TextStyle::subheadline, 11, false},
                                           StyleCase{TextStyle::footnote, 10, false},
                                           StyleCase{TextStyle::caption, 10, false}));

TEST(TextStyles, EveryStyleHasARow) { EXPECT_EQ(textStyleTable().size(), 10u); }

class ToneTest : public ViewFixture {};

TEST_F(ToneTest, SecondaryAndTintFollowThePaletteAlsoWhenItChanges) {
  QWidget window;
  auto& secondary = *new TextLabel(TextStyle::caption, TextTone::secondary, &window);
  auto& tint = *new TextLabel(TextStyle::caption, TextTone::tint, &window);
  const QPalette original = QApplication::palette();
  EXPECT_EQ(secondary.palette().color(QPalette::WindowText),
            original.color(QPalette::PlaceholderText));
  EXPECT_EQ(tint.palette().color(QPalette::WindowText), original.color(QPalette::Highlight));

  QPalette changed = original;
  changed.setColor(QPalette::PlaceholderText, QColor(1, 2, 3));
  changed.setColor(QPalette::Highlight, QColor(4, 5, 6));
  QApplication::setPalette(changed);
  QCoreApplication::processEvents();  // the change reaches widgets as a posted event
  EXPECT_EQ(secondary.palette().color(QPalette::WindowText), QColor(1, 2, 3));
  EXPECT_EQ(tint.palette().color(QPalette::WindowText), QColor(4, 5, 6));
  QApplication::setPalette(original);
  QCoreApplication::processEvents();
  EXPECT_EQ(secondary.palette().color(QPalette::WindowText),
            original.color(QPalette::PlaceholderText));
}

TEST_F(ToneTest, LabelsShowMarkupAsText) {
  TextLabel label;
  label.setText(QStringLiteral("<b>Eve</b>"));
  EXPECT_EQ(label.textFormat(), Qt::PlainText);
}

TEST(ViewText, TooltipsShowTheirTextLiterally) {
  for (const QString& text : {QStringLiteral("<b>Eve</b> & <img src=x>"), QStringLiteral("plain"),
                              QStringLiteral("a &amp; b")}) {
    const QString tip = escapedToolTip(text);
    EXPECT_TRUE(Qt::mightBeRichText(tip));
    QTextDocument document;
    document.setHtml(tip);
    EXPECT_EQ(document.toPlainText(), text);
  }
  EXPECT_EQ(escapedToolTip(QString()), QString());
}

TEST_F(ToneTest, ButtonTitlesMakeNoMnemonic) {
  QPushButton button(buttonTitle(QStringLiteral("Tom & &Jerry")));
  EXPECT_EQ(button.text(), QStringLiteral("Tom && &&Jerry"));
  EXPECT_TRUE(button.shortcut().isEmpty());
  auto* accessible = QAccessible::queryAccessibleInterface(&button);
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Tom & &Jerry"));
}

TEST_F(ToneTest, DecorativeSymbolsAreHiddenFromAssistiveTechnology) {
  QWidget parent;
  auto* symbol = new DecorativeSymbol("network", TextStyle::title, &parent);
  auto* accessible = QAccessible::queryAccessibleInterface(symbol);
  ASSERT_NE(accessible, nullptr);
  EXPECT_TRUE(accessible->state().invisible);
  EXPECT_TRUE(accessible->text(QAccessible::Name).isEmpty());
  EXPECT_EQ(symbol->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(symbol->sizeHint().height(),
            QFontMetrics(fontFor(TextStyle::title, QApplication::font())).height());
}

}  // namespace
}  // namespace velmorine::workspace::testing
