#include "Velmorine/workspace/conversation_scroll_position.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <functional>
#include <string>
#include <vector>

namespace velmorine::workspace {
namespace {

constexpr int kViewport = 200;

// One notch of the wheel towards the end; the tests scroll one pixel per notch.
void wheelDown(QAbstractScrollArea& area) {
  const QPointF at(10, 10);
  QWheelEvent event(at, area.viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(area.viewport(), &event);
}

struct Case {
  std::string name;
  int contentHeight;
  // Pixels from the end, set by the program before the step.
  int startDistance;
  std::function<void(QScrollArea&, QWidget& content)> step;
  std::vector<bool> reports;
  bool scrollBar = true;
};

class ScrollPositionTest : public ::testing::TestWithParam<Case> {};

TEST_P(ScrollPositionTest, ReportsAsTheUserAndTheContentMove) {
  const Case& test = GetParam();
  const int savedLines = QApplication::wheelScrollLines();
  QApplication::setWheelScrollLines(1);
  QScrollArea area;
  area.setFrameShape(QFrame::NoFrame);
  area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  if (!test.scrollBar) area.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget;
  content->setFixedSize(100, test.contentHeight);
  area.setWidget(content);
  area.resize(150, kViewport);
  area.verticalScrollBar()->setSingleStep(1);
  area.show();
  QCoreApplication::processEvents();

  ConversationScrollPosition position;
  std::vector<bool> reports;
  position.onBottomChanged = [&](bool atEnd) { reports.push_back(atEnd); };
  position.observe(&area);
  QScrollBar* bar = area.verticalScrollBar();
  bar->setValue(bar->maximum() - test.startDistance);
  QCoreApplication::processEvents();
  reports.clear();

  test.step(area, *content);
  QCoreApplication::processEvents();
  EXPECT_EQ(reports, test.reports);
  QApplication::setWheelScrollLines(savedLines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScrollPositionTest,
    ::testing::Values(
        Case{"ShorterThanTheViewport",
             120,
             0,
             [](QScrollArea& area, QWidget&) { wheelDown(area); },
             {true}},
        Case{"GrowthWithoutMovementNeverReportsFalse",
             1000,
             0,
             [](QScrollArea&, QWidget& content) { content.setFixedHeight(1500); },
             {}},
        Case{"ProgrammaticScrollAwayReportsNothing",
             1000,
             0,
             [](QScrollArea& area, QWidget&) { area.verticalScrollBar()->setValue(0); },
             {}},
        Case{"WheelEndingThirtyOneFromTheEnd",
             1000,
             32,
             [](QScrollArea& area, QWidget&) { wheelDown(area); },
             {false}},
        Case{"WheelEndingThirtyFromTheEnd",
             1000,
             31,
             [](QScrollArea& area, QWidget&) { wheelDown(area); },
             {true}},
        Case{"BurstOfRangeChangesGivesOneReport",
             1000,
             0,
             [](QScrollArea& area, QWidget& content) {
               for (int height = 1010; height <= 1100; height += 10) {
                 content.setFixedHeight(height);
                 area.verticalScrollBar()->setValue(area.verticalScrollBar()->maximum());
               }
             },
             {true}},
        Case{"NoScrollBarCountsAsAtTheEnd",
             1000,
             1000,
             [](QScrollArea& area, QWidget&) {
               area.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
             },
             {true},
             false}),
    [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });

}  // namespace
}  // namespace velmorine::workspace
