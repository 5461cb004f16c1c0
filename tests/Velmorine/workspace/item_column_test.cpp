#include "Velmorine/workspace/item_column.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velmorine::workspace {
namespace {

constexpr int kViewport = 300;

// Items whose heights the test sets; counts what the column asks.
class Heights : public ItemColumn::Delegate {
 public:
  QWidget* create(int kind, QWidget* parent) override {
    ++created;
    auto* label = new QLabel(parent);
    label->setProperty("kind", kind);
    return label;
  }
  void show(QWidget* widget, std::size_t index, int) override {
    ++shown;
    static_cast<QLabel*>(widget)->setText(QString::fromStdString(ids[index]));
  }
  int measure(std::size_t index, int) override {
    ++measured;
    return height.at(ids[index]);
  }

  std::vector<std::string> ids;
  std::map<std::string, int> height;
  int created = 0;
  int shown = 0;
  int measured = 0;
};

class ItemColumnTest : public ::testing::Test {
 protected:
  ItemColumnTest() {
    column.setSpacing(10);
    column.resize(200, kViewport);
    column.show();
    QCoreApplication::processEvents();
  }

  // Items "<prefix>0", "<prefix>1", ... each 50 high.
  static std::vector<std::string> named(const std::string& prefix, int count) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(prefix + std::to_string(i));
    return ids;
  }

  void set(std::vector<std::string> ids, const std::vector<std::string>& changed = {}) {
    std::vector<ItemColumn::Item> items;
    for (const auto& id : ids) {
      if (!rows.height.contains(id)) rows.height[id] = 50;
      const bool isChanged = std::find(changed.begin(), changed.end(), id) != changed.end();
      items.push_back({id, 0, isChanged || !shownBefore.contains(id)});
      shownBefore.insert(id);
    }
    rows.ids = std::move(ids);
    column.setItems(std::move(items));
  }

  int topOnScreen(const std::string& id) {
    return column.itemRect(column.indexOf(id)).top() - column.verticalScrollBar()->value();
  }

  Heights rows;
  std::set<std::string> shownBefore;
  ItemColumn column{rows};
};

TEST_F(ItemColumnTest, RealisesOnlyRowsNearTheViewportAndReusesThem) {
  set(named("m", 1000));
  const std::size_t visible = column.visibleCount();
  EXPECT_LT(column.realisedCount(), 2 * visible);
  const int made = rows.created;
  for (int step = 0; step < 40; ++step) {
    column.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_LT(column.realisedCount(), 2 * column.visibleCount());
    // The widget of each item on screen shows that item.
    const std::size_t first =
        column.indexOf("m" + std::to_string(column.verticalScrollBar()->value() / 60));
    auto* label = static_cast<QLabel*>(column.widgetFor(rows.ids[first]));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().toStdString(), rows.ids[first]);
  }
  // Scrolling made no more than a screen's worth of spares.
  EXPECT_LE(rows.created, made + 8);
}

TEST_F(ItemColumnTest, ItemsInsertedAboveLeaveTheFirstVisibleItemInPlace) {
  set(named("m", 100));
  ASSERT_TRUE(column.scrollTo("m40", ItemColumn::Anchor::top));
  column.verticalScrollBar()->setValue(column.verticalScrollBar()->value() + 17);
  const int before = topOnScreen("m40");
  auto ids = named("older", 100);
  const auto current = named("m", 100);
  ids.insert(ids.end(), current.begin(), current.end());
  set(ids);
  EXPECT_EQ(topOnScreen("m40"), before);

  // The first visible item removed: the next one takes its place.
  ids.erase(std::find(ids.begin(), ids.end(), "m40"));
  const int next = topOnScreen("m41");
  set(ids);
  EXPECT_EQ(topOnScreen("m41"), next - 60);
}

TEST_F(ItemColumnTest, ItemsRemovedAboveLeaveTheFirstVisibleItemInPlace) {
  set(named("m", 100));
  ASSERT_TRUE(column.scrollTo("m60", ItemColumn::Anchor::top));
  auto ids = named("m", 100);
  ids.erase(ids.begin(), ids.begin() + 30);
  set(ids);
  EXPECT_EQ(topOnScreen("m60"), 0);
}

TEST_F(ItemColumnTest, OnlyChangedItemsAreMeasuredAndShownAgain) {
  set(named("m", 50));
  column.scrollToEnd();
  const int measured = rows.measured;
  const int shown = rows.shown;
  set(named("m", 50));
  EXPECT_EQ(rows.measured, measured);
  EXPECT_EQ(rows.shown, shown);
  rows.height["m49"] = 120;
  set(named("m", 50), {"m49"});
  EXPECT_EQ(rows.measured, measured + 1);
  EXPECT_EQ(rows.shown, shown + 1);
  EXPECT_EQ(column.widgetFor("m49")->height(), 120);
}

TEST_F(ItemColumnTest, ScrollsToAnItemAtTheTopOrTheBottom) {
  set(named("m", 100));
  ASSERT_TRUE(column.scrollTo("m20", ItemColumn::Anchor::top));
  EXPECT_EQ(topOnScreen("m20"), 0);
  ASSERT_TRUE(column.scrollTo("m20", ItemColumn::Anchor::bottom));
  EXPECT_EQ(topOnScreen("m20") + 50, column.viewport()->height());
  EXPECT_FALSE(column.scrollTo("none", ItemColumn::Anchor::top));
}

TEST_F(ItemColumnTest, AResizeAtTheEndStaysAtTheEnd) {
  set(named("m", 100));
  column.scrollToEnd();
  column.resize(260, kViewport - 80);
  QCoreApplication::processEvents();
  EXPECT_TRUE(column.atEnd());
  column.verticalScrollBar()->setValue(100);
  const int before = topOnScreen("m2");
  column.resize(200, kViewport);
  QCoreApplication::processEvents();
  EXPECT_EQ(topOnScreen("m2"), before);
}

struct KeyCase {
  std::string name;
  Qt::Key key;
  int startValue;
  int expectedValue;  // -1: the maximum
};

class ItemColumnKeys : public ItemColumnTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(ItemColumnKeys, ScrollThroughTheScrollBarsActions) {
  const KeyCase& test = GetParam();
  set(named("m", 100));
  column.verticalScrollBar()->setValue(test.startValue);
  int actions = 0;
  QObject::connect(column.verticalScrollBar(), &QAbstractSlider::actionTriggered,
                   [&](int action) { actions += action != QAbstractSlider::SliderNoAction; });
  QTest::keyClick(&column, test.key);
  const int expected =
      test.expectedValue < 0 ? column.verticalScrollBar()->maximum() : test.expectedValue;
  EXPECT_EQ(column.verticalScrollBar()->value(), expected);
  EXPECT_EQ(actions, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ItemColumnKeys,
    ::testing::Values(KeyCase{"PageUp", Qt::Key_PageUp, 1000, 1000 - kViewport},
                      KeyCase{"PageDown", Qt::Key_PageDown, 1000, 1000 + kViewport},
                      KeyCase{"Home", Qt::Key_Home, 1000, 0}, KeyCase{"End", Qt::Key_End, 1000, -1},
                      KeyCase{"Up", Qt::Key_Up, 1000, 980},
                      KeyCase{"Down", Qt::Key_Down, 1000, 1020}),
    [](const ::testing::TestParamInfo<KeyCase>& param) { return param.param.name; });

}  // namespace
}  // namespace velmorine::workspace
