#include "Velmorine/shell/termination_coordinator.h"

#include <utility>

namespace velmorine::shell {

TerminationCoordinator::TerminationCoordinator(Steps steps) : steps_(std::move(steps)) {}

TerminationReply TerminationCoordinator::shouldTerminate(bool systemEnding) {
  if (!steps_.modelAlive()) return TerminationReply::now;
  switch (state_) {
    case State::finished:
      return TerminationReply::now;
    // The shutdown under way answers.
    case State::cleaning:
      return TerminationReply::later;
    // One alert at a time.
    case State::confirming:
      return TerminationReply::cancel;
    case State::idle:
      break;
  }
  if (!systemEnding && steps_.hasWorkInProgress()) {
    state_ = State::confirming;
    const bool confirmed = steps_.confirm();
    if (!confirmed) {
      state_ = State::idle;
      return TerminationReply::cancel;
    }
  }
  state_ = State::cleaning;
  steps_.cancelPreparation();
  steps_.shutdown([this] { finish(TerminationEnd::shutDown); });
  steps_.after(kDeadlineSeconds, [this] { finish(TerminationEnd::deadline); });
  return TerminationReply::later;
}

void TerminationCoordinator::finish(TerminationEnd how) {
  if (state_ != State::cleaning) return;
  state_ = State::finished;
  steps_.end(how);
}

std::string_view rawValue(TerminationCoordinator::State state) {
  switch (state) {
    case TerminationCoordinator::State::idle:
      return "idle";
    case TerminationCoordinator::State::confirming:
      return "confirming";
    case TerminationCoordinator::State::cleaning:
      return "cleaning";
    case TerminationCoordinator::State::finished:
      return "finished";
  }
  return "idle";
}

}  // namespace velmorine::shell
