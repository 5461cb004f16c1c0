#pragma once

// Tells the conversation whether its list stands at its end and whether the user moved it away
// from there. The vertical scroll bar's actionTriggered fires for wheel, key, drag and click
// movement and never for programmatic scrolls, so it alone marks the user's movement. A burst of
// value and range changes leads to one measurement, taken on the next turn of the event loop.

#include <QObject>
#include <QPointer>
#include <functional>

class QAbstractScrollArea;

namespace velmorine::workspace {

class ConversationScrollPosition : public QObject {
  Q_OBJECT

 public:
  // Within this many pixels of the end the list counts as at its end.
  static constexpr int kEndDistance = 30;

  explicit ConversationScrollPosition(QObject* parent = nullptr);

  // With true whenever a measurement finds the list at its end; with false only when it is away
  // from its end and the user moved it since the previous measurement.
  std::function<void(bool atEnd)> onBottomChanged;

  // Watches `area` instead of the one watched before (none: nothing).
  void observe(QAbstractScrollArea* area);

  // Whether the list stands at its end now.
  bool atEnd() const;

 private:
  void schedule();
  void measure();

  QPointer<QAbstractScrollArea> observed_;
  QMetaObject::Connection action_, value_, range_;
  bool pendingUserMovement_ = false;
  bool measurementPending_ = false;
};

}  // namespace velmorine::workspace
