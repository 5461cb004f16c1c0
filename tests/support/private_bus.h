#pragma once

// A D-Bus daemon of the test's own, on a socket in a temporary folder: a session bus that
// reaches only the processes the test hands its address. Stopped at the end.

#include <signal.h>
#include <sys/wait.h>

#include <QDBusConnection>
#include <QString>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temporary_folder.h"

namespace velmorine::testing {

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus() { stop(); }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Starts the daemon; false when dbus-daemon cannot run here.
  bool start() {
    const auto config = folder_ / "bus.conf";
    address_ = "unix:path=" + (folder_ / "bus").string();
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n  <type>session</type>\n  <listen>"
                          << address_
                          << "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                             "  </policy>\n</busconfig>\n";
    const std::string command =
        "dbus-daemon --fork --print-pid=1 --config-file=" + config.string() + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    int pid = 0;
    const bool read = std::fscanf(pipe, "%d", &pid) == 1;
    ::pclose(pipe);
    if (!read || pid <= 0) return false;
    pid_ = pid;
    return true;
  }

  const std::string& address() const { return address_; }

  // A connection of its own to the bus, named `name` within this process.
  QDBusConnection connect(const QString& name) const {
    return QDBusConnection::connectToBus(QString::fromStdString(address_), name);
  }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      pid_ = -1;
    }
  }

 private:
  TemporaryFolder folder_;
  std::string address_;
  int pid_ = -1;
};

}  // namespace velmorine::testing
