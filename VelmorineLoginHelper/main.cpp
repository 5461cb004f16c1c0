// velmorine-login-helper: started by the desktop at login through the autostart entry; opens
// velmorine unless it runs already, logs the outcome, and ends.

#include <syslog.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <filesystem>

#include "VelmorineLoginHelper/login_helper.h"
#include "VelmorineLoginHelper/login_target.h"
#include "native/product/product_identifier.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  std::string identifier(velmorine::kProductIdentifier);
  identifier += velmorine::login::kHelperSuffix;

  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self.clear();

  openlog(identifier.c_str(), LOG_PID, LOG_USER);
  velmorine::login::run({self.lexically_normal(), identifier, QDBusConnection::sessionBus(),
                         velmorine::login::processEnvironment(),
                         [](const std::string& line) { syslog(LOG_NOTICE, "%s", line.c_str()); }});
  closelog();
  return 0;
}
