// Quitting: requests from the menus and from the quit signals go through the termination
// coordinator; the end is the event loop's after an orderly shutdown, and the process's own at
// the deadline, so that no destructor races the runtime's threads (the store and the history
// survive a process that ends anywhere).

#include <csignal>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "platform/desktop/quit_signals.h"

namespace velmorine::shell {

TerminationCoordinator::Steps DesktopLifecycle::terminationSteps() {
  TerminationCoordinator::Steps steps;
  steps.modelAlive = [this] { return !model_.isNull(); };
  steps.hasWorkInProgress = [this] { return model_->hasWorkInProgress(); };
  steps.confirm = [this] {
    return environment_.confirmation->ask(model_ ? model_->snapshot().preferences.language
                                                 : std::string("system"));
  };
  steps.cancelPreparation = [this] {
    if (!model_) return;
    model_->attachments()->cancel();
    model_->attachments()->setError(transfer::ContentFailure::Case::cancelled);
  };
  steps.shutdown = [this](std::function<void()> completion) {
    if (!model_) return;
    // The runtime answers on the main queue; the finishing step runs in a turn of its own.
    model_->runtime().shutdown([self = QPointer(this), completion = std::move(completion)] {
      if (!self) return;
      self->environment_.mainQueue([self, completion] {
        if (self) completion();
      });
    });
  };
  steps.after = [this](double seconds, std::function<void()> work) {
    environment_.delays->after(seconds, [self = QPointer(this), work = std::move(work)] {
      if (self) work();
    });
  };
  steps.end = [this](TerminationEnd how) { end(how); };
  return steps;
}

void DesktopLifecycle::end(TerminationEnd how) {
  if (how == TerminationEnd::deadline) {
    environment_.endProcess();
    return;
  }
  environment_.quitEventLoop();
}

TerminationReply DesktopLifecycle::requestQuit() {
  const auto reply = termination_.shouldTerminate(systemEnding_);
  if (reply == TerminationReply::now) environment_.quitEventLoop();
  return reply;
}

void DesktopLifecycle::setSystemEnding() {
  systemEnding_ = true;
  // Logging out waits for nobody: an alert still open counts as confirmed.
  if (termination_.state() == TerminationCoordinator::State::confirming) {
    environment_.confirmation->confirmOpenAlert();
  }
}

void DesktopLifecycle::quitSignal(int) {
  setSystemEnding();
  // With an alert open, closing it as confirmed continues the request that opened it.
  if (termination_.state() == TerminationCoordinator::State::confirming) return;
  requestQuit();
}

void DesktopLifecycle::installQuitSignals() {
  if (quitSignals_ != nullptr) return;
  quitSignals_ = new platform::QuitSignals([this](int signal) { quitSignal(signal); }, this);
}

}  // namespace velmorine::shell
