#include "Velmorine/shell/main_queue_delays.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cmath>

namespace velmorine::shell {

namespace {

class EventLoopDelays final : public MainQueueDelays {
 public:
  void after(double seconds, std::function<void()> work) override {
    auto* application = QCoreApplication::instance();
    if (application == nullptr || !work) return;
    const auto delay =
        std::chrono::milliseconds(static_cast<long long>(std::ceil(std::max(seconds, 0.0) * 1000)));
    QTimer::singleShot(delay, application, std::move(work));
  }
};

}  // namespace

std::shared_ptr<MainQueueDelays> eventLoopDelays() { return std::make_shared<EventLoopDelays>(); }

}  // namespace velmorine::shell
