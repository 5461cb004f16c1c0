#pragma once

// Follows whether the main window is the one the user looks at: activation marks the workspace
// visible (and clears the shown conversation's unread count); deactivation, closing and hiding
// set it invisible. It also gives the window its minimum size. Tracking a window stops tracking
// the one before.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace {

class WindowTracking : public QObject {
  Q_OBJECT

 public:
  explicit WindowTracking(WorkspaceModel& model, QObject* parent = nullptr);

  void track(QWidget* window);
  QWidget* window() const { return window_; }

  static constexpr QSize kMinimumSize{900, 600};

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<WorkspaceModel> model_;
  QPointer<QWidget> window_;
};

}  // namespace velmorine::workspace
