#include "Velmorine/shell/desktop_contrast.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace velmorine::shell {

namespace {

constexpr const char* kGroup = "org.freedesktop.appearance";
constexpr const char* kKey = "contrast";

// The portal answers with a variant, which older portals wrap once more.
QVariant unwrapped(QVariant value) {
  while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
    value = value.value<QDBusVariant>().variant();
  }
  return value;
}

}  // namespace

DesktopContrast::DesktopContrast(workspace::ViewEnvironment& environment, QDBusConnection bus,
                                 QObject* parent)
    : QObject(parent), environment_(environment) {
  if (!bus.isConnected()) return;
  // The slot is found by its signature's type names, which needs the variant's name registered.
  qRegisterMetaType<QDBusVariant>();
  bus.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
              QString::fromLatin1(kInterface), QStringLiteral("SettingChanged"), this,
              SLOT(settingChanged(QString, QString, QDBusVariant)));
  auto read =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kInterface), QStringLiteral("Read"));
  read << QString::fromLatin1(kGroup) << QString::fromLatin1(kKey);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (!reply.isError()) apply(reply.value().variant());
    call->deleteLater();
  });
}

void DesktopContrast::settingChanged(const QString& group, const QString& key,
                                     const QDBusVariant& value) {
  if (group == QLatin1String(kGroup) && key == QLatin1String(kKey)) apply(value.variant());
}

void DesktopContrast::apply(const QVariant& value) {
  bool ok = false;
  const uint contrast = unwrapped(value).toUInt(&ok);
  if (!ok) return;
  auto settings = environment_.surfaceSettings();
  settings.increasedContrast = contrast == 1;
  settings.reduceTransparency = false;
  environment_.setSurfaceSettings(settings);
}

}  // namespace velmorine::shell
