#include "Velmorine/workspace/control_styles.h"

#include <QAbstractItemView>
#include <QPushButton>
#include <QToolButton>

#include "Velmorine/workspace/text_styles.h"

namespace velmorine::workspace {

void usePlainButtonStyle(QAbstractButton* button) {
  if (auto* push = qobject_cast<QPushButton*>(button)) push->setFlat(true);
  if (auto* tool = qobject_cast<QToolButton*>(button)) tool->setAutoRaise(true);
  button->setCursor(Qt::PointingHandCursor);
}

void useLinkButtonStyle(QAbstractButton* button) {
  usePlainButtonStyle(button);
  followPaletteRole(button, QPalette::ButtonText, QPalette::Link);
}

void useSidebarListBackground(QAbstractItemView* list) {
  list->setFrameShape(QFrame::NoFrame);
  list->setBackgroundRole(QPalette::Window);
  list->viewport()->setBackgroundRole(QPalette::Window);
  list->viewport()->setAutoFillBackground(true);
}

}  // namespace velmorine::workspace
