#pragma once

// Work run on the main queue after a delay, on a clock the owner chooses: the event loop's own
// timers in the application, a clock moved by hand in tests.

#include <functional>
#include <memory>

namespace velmorine::shell {

class MainQueueDelays {
 public:
  virtual ~MainQueueDelays() = default;
  virtual void after(double seconds, std::function<void()> work) = 0;
};

// The event loop's timers (QTimer); work still waiting when the application object goes is
// dropped.
std::shared_ptr<MainQueueDelays> eventLoopDelays();

}  // namespace velmorine::shell
