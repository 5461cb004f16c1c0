#pragma once

// The quit state machine. A request to quit is answered now, cancelled, or answered later: while
// work is unfinished the user confirms first (unless the system is ending the session), then
// the runtime shuts down in order, and the application ends when the runtime reports that it
// has finished or when the deadline passes, whichever comes first. Runs on the main thread.

#include <functional>
#include <string_view>

namespace velmorine::shell {

enum class TerminationReply { now, cancel, later };

// How the finishing step ended the application.
enum class TerminationEnd {
  shutDown,  // the runtime finished: the event loop may end and destructors run
  deadline,  // the runtime did not finish in time: end without running anything more
};

class TerminationCoordinator {
 public:
  enum class State { idle, confirming, cleaning, finished };

  static constexpr double kDeadlineSeconds = 3.0;

  struct Steps {
    std::function<bool()> modelAlive;
    std::function<bool()> hasWorkInProgress;
    // Runs the confirmation modally: true only when the user confirmed.
    std::function<bool()> confirm;
    // Stops the composer's attachment preparation.
    std::function<void()> cancelPreparation;
    // Shuts the runtime down; the completion runs on the main queue.
    std::function<void(std::function<void()> completion)> shutdown;
    // Runs work on the main queue after a delay, on the owner's clock.
    std::function<void(double seconds, std::function<void()> work)> after;
    // The application ends; called at most once.
    std::function<void(TerminationEnd)> end;
  };

  explicit TerminationCoordinator(Steps steps);

  // A request to quit. `systemEnding`: the session or the machine is going down, nobody waits
  // for an answer.
  TerminationReply shouldTerminate(bool systemEnding);
  // The finishing step: cleaning to finished, then ends the application; otherwise nothing.
  void finish(TerminationEnd how);

  State state() const { return state_; }

 private:
  Steps steps_;
  State state_ = State::idle;
};

std::string_view rawValue(TerminationCoordinator::State state);

}  // namespace velmorine::shell
