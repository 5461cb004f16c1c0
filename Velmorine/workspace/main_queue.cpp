#include "Velmorine/workspace/main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace velmorine::workspace {

void postToMainQueue(std::function<void()> work) {
  // Events posted to one receiver are delivered in the order posted, whichever thread posts.
  auto* application = QCoreApplication::instance();
  if (application == nullptr || !work) return;
  QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

}  // namespace velmorine::workspace
