#pragma once

// A D-Bus message bus of the test's own: dbus-daemon on a socket in a temporary folder, with a
// configuration written there that lets anyone own any name and starts no services. Tests use
// one as the session bus and another as the system bus.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QString>
#include <atomic>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temporary_folder.h"

namespace velmorine::testing {

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus() {
    for (const auto& name : connections_) QDBusConnection::disconnectFromBus(name);
    stop();
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Starts the daemon and waits until it listens; false when it cannot run.
  bool start() {
    const auto config = folder_ / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC "
                             "\"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <type>session</type>\n"
                             "  <listen>unix:path="
                          << (folder_ / "socket").string()
                          << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return false;
    const std::string configArgument = "--config-file=" + config.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(output[1], STDOUT_FILENO);
      ::execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork", "--print-address",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(output[1]);
    if (pid_ < 0) {
      ::close(output[0]);
      return false;
    }
    // The address is printed once the daemon listens.
    std::string line;
    char c;
    while (::read(output[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(output[0]);
    if (line.empty()) {
      stop();
      return false;
    }
    address_ = line;
    return true;
  }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  const std::string& address() const { return address_; }

  // A new connection of this process to the bus, closed with the bus.
  QDBusConnection connect() const {
    static std::atomic<int> counter = 0;
    return connect(QString("velmorine-test-bus-%1").arg(++counter));
  }

  // A connection named `name` within this process, closed with the bus.
  QDBusConnection connect(const QString& name) const {
    connections_.push_back(name);
    return QDBusConnection::connectToBus(QString::fromStdString(address_), name);
  }

 private:
  TemporaryFolder folder_;
  pid_t pid_ = -1;
  std::string address_;
  mutable std::vector<QString> connections_;
};

}  // namespace velmorine::testing
