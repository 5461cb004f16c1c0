#include "Velmorine/workspace/item_column.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <algorithm>

namespace velmorine::workspace {

namespace {

// Spare widgets kept per kind beyond those on screen.
constexpr std::size_t kGreatestSpare = 6;

}  // namespace

ItemColumn::ItemColumn(Delegate& delegate, QWidget* parent)
    : QAbstractScrollArea(parent), delegate_(delegate) {
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  verticalScrollBar()->setSingleStep(20);
  viewport()->setBackgroundRole(QPalette::Window);
  viewport()->setAutoFillBackground(true);
}

ItemColumn::~ItemColumn() = default;

void ItemColumn::setMargins(int left, int top, int right, int bottom) {
  left_ = left;
  top_ = top;
  right_ = right;
  bottom_ = bottom;
  invalidateAll();
}

void ItemColumn::setSpacing(int spacing) {
  spacing_ = spacing;
  arrange(firstVisible(), false);
}

int ItemColumn::rowWidth() const { return std::max(0, viewport()->width() - left_ - right_); }

std::size_t ItemColumn::indexOf(const std::string& id) const {
  const auto found = index_.find(id);
  return found == index_.end() ? rows_.size() : found->second;
}

std::size_t ItemColumn::firstBelow(int y) const {
  const auto found = std::partition_point(
      rows_.begin(), rows_.end(), [y](const Row& row) { return row.top + row.height <= y; });
  return static_cast<std::size_t>(found - rows_.begin());
}

std::optional<ItemColumn::Place> ItemColumn::firstVisible() const {
  const int value = verticalScrollBar()->value();
  const std::size_t first = firstBelow(value);
  if (first >= rows_.size()) return std::nullopt;
  return Place{rows_[first].item.id, rows_[first].top - value};
}

void ItemColumn::setItems(std::vector<Item> items) {
  const auto place = firstVisible();
  const std::size_t oldFirst = place ? indexOf(place->id) : 0;
  std::vector<Row> old = std::move(rows_);
  rows_.clear();
  rows_.reserve(items.size());
  bool sameIDs = old.size() == items.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    Row row{std::move(items[i])};
    const Row* before = nullptr;
    if (i < old.size() && old[i].item.id == row.item.id) {
      before = &old[i];
    } else {
      sameIDs = false;
      if (const auto found = index_.find(row.item.id); found != index_.end()) {
        before = &old[found->second];
      }
    }
    if (before != nullptr && before->item.kind == row.item.kind && !row.item.changed) {
      row.height = before->height;
      row.measuredWidth = before->measuredWidth;
    } else {
      row.item.changed = true;
    }
    rows_.push_back(std::move(row));
  }
  if (!sameIDs) {
    index_.clear();
    index_.reserve(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) index_.emplace(rows_[i].item.id, i);
  }
  // A widget whose item went away or changed goes back to the spares; realising shows the item
  // again.
  std::vector<std::string> stale;
  for (const auto& [id, widget] : realised_) {
    const std::size_t at = indexOf(id);
    if (at == rows_.size() || rows_[at].item.changed || kindOf_[widget] != rows_[at].item.kind) {
      stale.push_back(id);
    }
  }
  for (const auto& id : stale) release(id);
  for (auto& row : rows_) row.item.changed = false;
  arrange(place, false, &old, oldFirst);
}

void ItemColumn::invalidateAll() {
  for (auto& row : rows_) row.measuredWidth = -1;
  std::vector<std::string> all;
  for (const auto& entry : realised_) all.push_back(entry.first);
  for (const auto& id : all) release(id);
  arrange(firstVisible(), atEnd() && verticalScrollBar()->maximum() > 0);
}

void ItemColumn::arrange(const std::optional<Place>& place, bool keepEnd,
                         const std::vector<Row>* fallbacks, std::size_t fallbackFrom) {
  // A hidden column has no width of its own yet: showing it lays it out.
  if (!isVisible()) {
    laidOutWidth_ = -1;
    return;
  }
  const int width = rowWidth();
  int y = top_;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    Row& row = rows_[i];
    if (row.measuredWidth != width) {
      row.height = std::max(0, delegate_.measure(i, width));
      row.measuredWidth = width;
    }
    row.top = y;
    y += row.height + (i + 1 < rows_.size() ? spacing_ : 0);
  }
  contentHeight_ = y + bottom_;
  laidOutWidth_ = width;

  QScrollBar* bar = verticalScrollBar();
  arranging_ = true;
  const int viewportHeight = viewport()->height();
  bar->setPageStep(std::max(1, viewportHeight));
  bar->setRange(0, std::max(0, contentHeight_ - viewportHeight));
  if (keepEnd) {
    bar->setValue(bar->maximum());
  } else if (place) {
    std::size_t at = indexOf(place->id);
    if (at == rows_.size() && fallbacks != nullptr) {
      // The item is gone: the next one that is still listed takes its place.
      for (std::size_t i = fallbackFrom + 1; i < fallbacks->size() && at == rows_.size(); ++i) {
        at = indexOf((*fallbacks)[i].item.id);
      }
    }
    if (at < rows_.size()) bar->setValue(rows_[at].top - place->offset);
  }
  arranging_ = false;
  realise();
}

void ItemColumn::release(const std::string& id) {
  const auto found = realised_.find(id);
  if (found == realised_.end()) return;
  QWidget* widget = found->second;
  realised_.erase(found);
  widget->hide();
  auto& spares = spare_[kindOf_[widget]];
  if (spares.size() < kGreatestSpare) {
    spares.push_back(widget);
  } else {
    // It may be the sender of the signal being handled.
    kindOf_.erase(widget);
    widget->deleteLater();
  }
}

std::size_t ItemColumn::spareCount() const {
  std::size_t count = 0;
  for (const auto& entry : spare_) count += entry.second.size();
  return count;
}

std::size_t ItemColumn::visibleCount() const {
  const int value = verticalScrollBar()->value();
  const int bottom = value + viewport()->height();
  std::size_t count = 0;
  for (std::size_t i = firstBelow(value); i < rows_.size() && rows_[i].top < bottom; ++i) ++count;
  return count;
}

void ItemColumn::realise() {
  const int value = verticalScrollBar()->value();
  const int viewportHeight = viewport()->height();
  // Half a screen above and below what shows: scrolling by a step finds its rows made.
  const int margin = viewportHeight / 4;
  const int bandTop = value - margin;
  const int bandBottom = value + viewportHeight + margin;
  const std::size_t first = firstBelow(bandTop);
  std::size_t last = first;
  while (last < rows_.size() && rows_[last].top < bandBottom) ++last;

  std::vector<std::string> leaving;
  for (const auto& [id, widget] : realised_) {
    const std::size_t at = indexOf(id);
    if (at < first || at >= last) leaving.push_back(id);
  }
  for (const auto& id : leaving) release(id);

  const int width = rowWidth();
  for (std::size_t i = first; i < last; ++i) {
    const Row& row = rows_[i];
    QWidget*& widget = realised_[row.item.id];
    const auto [x, itemWidth] = delegate_.placement(i, width);
    if (widget == nullptr) {
      auto& spares = spare_[row.item.kind];
      if (!spares.empty()) {
        widget = spares.back();
        spares.pop_back();
      } else {
        widget = delegate_.create(row.item.kind, viewport());
        kindOf_[widget] = row.item.kind;
      }
      widget->setGeometry(left_ + x, row.top - value, itemWidth, row.height);
      delegate_.show(widget, i, itemWidth);
      widget->show();
    } else {
      widget->setGeometry(left_ + x, row.top - value, itemWidth, row.height);
    }
  }
}

bool ItemColumn::scrollTo(const std::string& id, Anchor anchor) {
  const std::size_t at = indexOf(id);
  if (at == rows_.size()) return false;
  const Row& row = rows_[at];
  const int value = anchor == Anchor::top ? row.top : row.top + row.height - viewport()->height();
  verticalScrollBar()->setValue(std::clamp(value, 0, verticalScrollBar()->maximum()));
  return true;
}

void ItemColumn::scrollToEnd() { verticalScrollBar()->setValue(verticalScrollBar()->maximum()); }

bool ItemColumn::atEnd() const {
  return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

QRect ItemColumn::itemRect(std::size_t index) const {
  const Row& row = rows_[index];
  return {left_, row.top, rowWidth(), row.height};
}

QWidget* ItemColumn::widgetFor(const std::string& id) const {
  const auto found = realised_.find(id);
  return found == realised_.end() ? nullptr : found->second;
}

void ItemColumn::scrollContentsBy(int, int) {
  if (!arranging_) realise();
}

void ItemColumn::resizeEvent(QResizeEvent* event) {
  const bool wasAtEnd = laidOutWidth_ >= 0 && atEnd() && verticalScrollBar()->maximum() > 0;
  const auto place = firstVisible();
  QAbstractScrollArea::resizeEvent(event);
  arrange(place, wasAtEnd);
}

void ItemColumn::showEvent(QShowEvent* event) {
  QAbstractScrollArea::showEvent(event);
  if (laidOutWidth_ < 0) arrange(firstVisible(), false);
}

void ItemColumn::keyPressEvent(QKeyEvent* event) {
  // The scroll area moves by lines and pages itself; Home and End go through the scroll bar's
  // actions too, so that they count as the user's movement.
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::ControlModifier) {
    if (event->key() == Qt::Key_Home) {
      verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
      return;
    }
    if (event->key() == Qt::Key_End) {
      verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
      return;
    }
  }
  QAbstractScrollArea::keyPressEvent(event);
}

QSize ItemColumn::viewportSizeHint() const { return {400, 300}; }

}  // namespace velmorine::workspace
