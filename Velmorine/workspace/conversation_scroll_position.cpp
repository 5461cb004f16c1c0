#include "Velmorine/workspace/conversation_scroll_position.h"

#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QTimer>

namespace velmorine::workspace {

ConversationScrollPosition::ConversationScrollPosition(QObject* parent) : QObject(parent) {}

void ConversationScrollPosition::observe(QAbstractScrollArea* area) {
  if (area == observed_) return;
  for (auto* connection : {&action_, &value_, &range_}) disconnect(*connection);
  observed_ = area;
  if (area == nullptr) return;
  QScrollBar* bar = area->verticalScrollBar();
  action_ = connect(bar, &QAbstractSlider::actionTriggered, this, [this](int action) {
    if (action != QAbstractSlider::SliderNoAction) pendingUserMovement_ = true;
    schedule();
  });
  value_ = connect(bar, &QAbstractSlider::valueChanged, this, [this] { schedule(); });
  range_ = connect(bar, &QAbstractSlider::rangeChanged, this, [this] { schedule(); });
}

bool ConversationScrollPosition::atEnd() const {
  if (observed_ == nullptr) return true;
  // Without a vertical scroll bar the list is measured as scrolled to its end.
  if (observed_->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff) return true;
  const QScrollBar* bar = observed_->verticalScrollBar();
  return bar->maximum() <= bar->minimum() || bar->maximum() - bar->value() <= kEndDistance;
}

void ConversationScrollPosition::schedule() {
  if (measurementPending_) return;
  measurementPending_ = true;
  QTimer::singleShot(0, this, &ConversationScrollPosition::measure);
}

void ConversationScrollPosition::measure() {
  measurementPending_ = false;
  const bool moved = std::exchange(pendingUserMovement_, false);
  if (observed_ == nullptr) return;
  const bool end = atEnd();
  if ((end || moved) && onBottomChanged) onBottomChanged(end);
}

}  // namespace velmorine::workspace
