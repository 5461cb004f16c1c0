#include "Velmorine/workspace/window_tracking.h"

#include <QEvent>

namespace velmorine::workspace {

WindowTracking::WindowTracking(WorkspaceModel& model, QObject* parent)
    : QObject(parent), model_(&model) {}

void WindowTracking::track(QWidget* window) {
  if (window_ == window) return;
  if (window_) window_->removeEventFilter(this);
  window_ = window;
  if (window_ == nullptr) return;
  window_->setMinimumSize(window_->minimumSize().expandedTo(kMinimumSize));
  window_->installEventFilter(this);
}

bool WindowTracking::eventFilter(QObject* watched, QEvent* event) {
  if (watched != window_ || !model_) return false;
  switch (event->type()) {
    case QEvent::WindowActivate:
      model_->markWorkspaceVisible();
      break;
    case QEvent::WindowDeactivate:
    case QEvent::Close:
    case QEvent::Hide:
      if (model_->workspaceVisible()) model_->setWorkspaceVisible(false);
      break;
    default:
      break;
  }
  return false;
}

}  // namespace velmorine::workspace
