#include "Velmorine/workspace/fitting_button_layout.h"

#include <QWidget>

namespace velmorine::workspace {

FittingButtonLayout::FittingButtonLayout(QWidget* parent) : QLayout(parent) {
  setContentsMargins(0, 0, 0, 0);
  setSpacing(8);
}

FittingButtonLayout::~FittingButtonLayout() {
  while (QLayoutItem* item = takeAt(0)) delete item;
}

void FittingButtonLayout::addItem(QLayoutItem* item) { items_.push_back(item); }
int FittingButtonLayout::count() const { return static_cast<int>(items_.size()); }
QLayoutItem* FittingButtonLayout::itemAt(int index) const {
  return index >= 0 && index < items_.size() ? items_[index] : nullptr;
}
QLayoutItem* FittingButtonLayout::takeAt(int index) {
  return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

int FittingButtonLayout::sideBySideWidth() const {
  int width = 0;
  int shown = 0;
  for (const auto* item : items_) {
    if (item->isEmpty()) continue;
    width += item->sizeHint().width();
    ++shown;
  }
  return width + std::max(0, shown - 1) * spacing();
}

bool FittingButtonLayout::fitsSideBySide(int width) const {
  const auto margins = contentsMargins();
  return sideBySideWidth() <= width - margins.left() - margins.right();
}

QSize FittingButtonLayout::sizeHint() const {
  const auto margins = contentsMargins();
  int height = 0;
  for (const auto* item : items_) {
    if (!item->isEmpty()) height = std::max(height, item->sizeHint().height());
  }
  return {sideBySideWidth() + margins.left() + margins.right(),
          height + margins.top() + margins.bottom()};
}

QSize FittingButtonLayout::minimumSize() const {
  const auto margins = contentsMargins();
  int width = 0;
  for (const auto* item : items_) {
    if (!item->isEmpty()) width = std::max(width, item->minimumSize().width());
  }
  return {width + margins.left() + margins.right(),
          heightForWidth(width + margins.left() + margins.right())};
}

int FittingButtonLayout::heightForWidth(int width) const {
  return arrange(QRect(0, 0, width, 0), false);
}

void FittingButtonLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  arrange(rect, true);
}

int FittingButtonLayout::arrange(const QRect& rect, bool apply) const {
  const auto margins = contentsMargins();
  const QRect area =
      rect.adjusted(margins.left(), margins.top(), -margins.right(), -margins.bottom());
  const bool row = fitsSideBySide(rect.width());
  const bool rightToLeft =
      parentWidget() != nullptr && parentWidget()->layoutDirection() == Qt::RightToLeft;
  int x = 0;
  int y = 0;
  int rowHeight = 0;
  for (auto* item : items_) {
    if (item->isEmpty()) continue;
    const QSize size(std::min(item->sizeHint().width(), area.width()), item->sizeHint().height());
    if (row) {
      if (apply) {
        const int left = rightToLeft ? area.right() - x - size.width() + 1 : area.left() + x;
        item->setGeometry(QRect(left, area.top(), size.width(), size.height()));
      }
      x += size.width() + spacing();
      rowHeight = std::max(rowHeight, size.height());
    } else {
      if (apply) {
        const int left = rightToLeft ? area.right() - size.width() + 1 : area.left();
        item->setGeometry(QRect(left, area.top() + y, size.width(), size.height()));
      }
      y += size.height() + spacing();
    }
  }
  const int content = row ? rowHeight : std::max(0, y - spacing());
  return content + margins.top() + margins.bottom();
}

}  // namespace velmorine::workspace
