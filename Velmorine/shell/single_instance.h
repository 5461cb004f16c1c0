#pragma once

// One program per login: the program claims its bundle identifier as a name on the session bus.
// When another process holds the name, it asks that process to show itself through the standard
// application interface's Activate (exported by the desktop lifecycle) and ends. Without a
// session bus it runs on.

#include <QDBusConnection>
#include <QString>

namespace velmorine::shell {

// The object path of a bus name under the standard application interface: "/" and the name
// with its dots as slashes ("org.velmorine.Velmorine" -> "/org/velmorine/Velmorine").
QString applicationObjectPath(const QString& busName);

enum class InstanceClaim {
  claimed,        // this process holds the name: it is the one program
  revealedOther,  // another process held it and was asked to show itself
  otherSilent,    // another process holds it but did not answer
  noBus,          // no session bus: run on
};

// Claims `busName` on `bus`; on losing to another process, calls that process's Activate.
InstanceClaim claimSingleInstance(QDBusConnection bus, const QString& busName);

}  // namespace velmorine::shell
