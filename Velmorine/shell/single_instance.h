#pragma once

// One program per login: the program claims its bundle identifier as a name on the session bus.
// When another process holds the name, it asks that process to show itself through the standard
// application interface's Activate and ends. Without a session bus it runs on.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

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

// The standard application interface, as far as this program offers it: Activate shows the
// program (the desktop lifecycle's re-open). Exported at `applicationObjectPath`.
class ApplicationActivation : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit ApplicationActivation(std::function<void()> activate, QObject* parent = nullptr);

  // Registers the object on `bus` under `busName`'s path; false when the path is taken.
  bool exportOn(QDBusConnection bus, const QString& busName);

 public Q_SLOTS:
  void Activate(const QVariantMap& platformData);
  void Open(const QStringList& uris, const QVariantMap& platformData);
  void ActivateAction(const QString& name, const QVariantList& parameter,
                      const QVariantMap& platformData);

 private:
  std::function<void()> activate_;
};

}  // namespace velmorine::shell
