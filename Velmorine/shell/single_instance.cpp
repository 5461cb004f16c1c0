#include "Velmorine/shell/single_instance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace velmorine::shell {

namespace {

constexpr int kActivateTimeoutMilliseconds = 5000;

}  // namespace

QString applicationObjectPath(const QString& busName) {
  QString path = busName;
  path.replace(QLatin1Char('.'), QLatin1Char('/'));
  path.replace(QLatin1Char('-'), QLatin1Char('_'));
  return QLatin1Char('/') + path;
}

InstanceClaim claimSingleInstance(QDBusConnection bus, const QString& busName) {
  if (!bus.isConnected() || bus.interface() == nullptr) return InstanceClaim::noBus;
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus.interface()->registerService(busName, QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) return InstanceClaim::noBus;
  if (reply.value() == QDBusConnectionInterface::ServiceRegistered) return InstanceClaim::claimed;
  auto activate = QDBusMessage::createMethodCall(busName, applicationObjectPath(busName),
                                                 QStringLiteral("org.freedesktop.Application"),
                                                 QStringLiteral("Activate"));
  activate << QVariantMap{};
  const QDBusMessage answer = bus.call(activate, QDBus::Block, kActivateTimeoutMilliseconds);
  return answer.type() == QDBusMessage::ReplyMessage ? InstanceClaim::revealedOther
                                                     : InstanceClaim::otherSilent;
}

}  // namespace velmorine::shell
