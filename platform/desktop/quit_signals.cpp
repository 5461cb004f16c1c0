#include "platform/desktop/quit_signals.h"

#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <utility>

#include "platform/files/durable_file.h"

namespace velmorine::platform {

namespace {

sigset_t quitSignalSet() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGTERM);
  ::sigaddset(&set, SIGINT);
  ::sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void blockQuitSignals() {
  const sigset_t set = quitSignalSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

QuitSignals::QuitSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  const sigset_t set = quitSignalSet();
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) throw_errno("signalfd");
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::readSignals);
}

QuitSignals::~QuitSignals() {
  delete notifier_;
  ::close(fd_);
}

void QuitSignals::readSignals() {
  signalfd_siginfo info{};
  while (true) {
    const ssize_t got = ::read(fd_, &info, sizeof info);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof info)) return;
    if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
  }
}

}  // namespace velmorine::platform
