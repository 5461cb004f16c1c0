#pragma once

#include <functional>

namespace velmorine::workspace {

// The interface's main queue: posts work to the Qt event loop of the main thread, from any
// thread, to run in the order it was posted. Work posted while no application object exists,
// or still waiting when it is destroyed, is dropped.
void postToMainQueue(std::function<void()> work);

}  // namespace velmorine::workspace
