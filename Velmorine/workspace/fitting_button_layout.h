#pragma once

// Buttons side by side when they fit the width, else one under the other, each at its natural
// width and aligned to the leading edge.

#include <QLayout>
#include <QList>

namespace velmorine::workspace {

class FittingButtonLayout : public QLayout {
 public:
  explicit FittingButtonLayout(QWidget* parent = nullptr);
  ~FittingButtonLayout() override;

  // Whether the items stand side by side at `width`.
  bool fitsSideBySide(int width) const;

  void addItem(QLayoutItem* item) override;
  int count() const override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  void setGeometry(const QRect& rect) override;
  Qt::Orientations expandingDirections() const override { return {}; }

 private:
  int arrange(const QRect& rect, bool apply) const;
  int sideBySideWidth() const;

  QList<QLayoutItem*> items_;
};

}  // namespace velmorine::workspace
