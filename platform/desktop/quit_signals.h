#pragma once

// SIGTERM, SIGINT and SIGHUP as events of the main loop: the signals are blocked in every
// thread and read from a signalfd, so that the handler runs as ordinary code on the main
// thread. blockQuitSignals() must run in main() before any thread starts, since threads take
// their signal mask from the thread that starts them.

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace velmorine::platform {

// Blocks the three signals in the calling thread (and so in every thread it starts later).
void blockQuitSignals();

class QuitSignals : public QObject {
  Q_OBJECT

 public:
  // `onSignal` gets the signal's number. Throws std::system_error when no signalfd can be made.
  explicit QuitSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~QuitSignals() override;

 private:
  void readSignals();

  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::function<void(int)> onSignal_;
};

}  // namespace velmorine::platform
