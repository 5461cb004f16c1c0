#include "platform/desktop/application_activation.h"

#include <QDBusAbstractAdaptor>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <utility>

namespace velmorine::platform {

// The interface's three methods. The program opens no files and has no actions of its own:
// opening brings it forward like activating, and an action does nothing.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit ApplicationAdaptor(ApplicationActivation* owner)
      : QDBusAbstractAdaptor(owner), owner_(owner) {}

 public Q_SLOTS:
  void Activate(const QVariantMap&) { owner_->activated(); }
  void Open(const QStringList&, const QVariantMap&) { owner_->activated(); }
  void ActivateAction(const QString&, const QVariantList&, const QVariantMap&) {}

 private:
  ApplicationActivation* owner_;
};

QString applicationObjectPath(const std::string& busName) {
  QString path = "/" + QString::fromStdString(busName);
  path.replace('.', '/');
  path.replace('-', '_');
  return path;
}

ApplicationActivation::ApplicationActivation(QDBusConnection bus, const std::string& busName,
                                             std::function<void()> activate, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      path_(applicationObjectPath(busName)),
      activate_(std::move(activate)) {
  new ApplicationAdaptor(this);
  exported_ = bus_.registerObject(path_, this);
}

ApplicationActivation::~ApplicationActivation() {
  if (exported_) bus_.unregisterObject(path_);
}

}  // namespace velmorine::platform

#include "application_activation.moc"
