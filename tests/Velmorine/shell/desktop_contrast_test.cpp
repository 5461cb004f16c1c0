#include "Velmorine/shell/desktop_contrast.h"

#include <gtest/gtest.h>

#include <QDBusMessage>

#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/support/private_bus.h"

namespace velmorine::shell {

// A settings portal that knows one value, answering as portals do: a variant in a variant.
class ScriptedPortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  uint contrast = 1;

 public Q_SLOTS:
  QDBusVariant Read(const QString& group, const QString& key) {
    if (group == QStringLiteral("org.freedesktop.appearance") &&
        key == QStringLiteral("contrast")) {
      return QDBusVariant(QVariant::fromValue(QDBusVariant(contrast)));
    }
    return QDBusVariant(QVariant::fromValue(QDBusVariant(QString())));
  }
};

namespace {

class ContrastTest : public workspace::testing::ViewFixture {
 protected:
  void SetUp() override {
    if (!bus.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
  }
  void TearDown() override {
    QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
    QDBusConnection::disconnectFromBus(QStringLiteral("program"));
  }

  void offerPortal() {
    portalBus = bus.connect(QStringLiteral("portal"));
    ASSERT_TRUE(portalBus.registerService(QString::fromLatin1(DesktopContrast::kService)));
    ASSERT_TRUE(portalBus.registerObject(QString::fromLatin1(DesktopContrast::kPath), &portal,
                                         QDBusConnection::ExportAllSlots));
  }

  void announce(uint contrast) {
    auto signal = QDBusMessage::createSignal(QString::fromLatin1(DesktopContrast::kPath),
                                             QString::fromLatin1(DesktopContrast::kInterface),
                                             QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("contrast")
           << QVariant::fromValue(QDBusVariant(contrast));
    portalBus.send(signal);
  }

  velmorine::testing::PrivateBus bus;
  QDBusConnection portalBus{QStringLiteral("unset")};
  ScriptedPortal portal;
};

TEST_F(ContrastTest, ReadsThePortalAtStartAndFollowsItsChanges) {
  offerPortal();
  DesktopContrast contrast(*environment, bus.connect(QStringLiteral("program")));
  EXPECT_TRUE(QTest::qWaitFor([&] { return environment->surfaceSettings().increasedContrast; }));
  EXPECT_FALSE(environment->surfaceSettings().reduceTransparency);
  announce(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !environment->surfaceSettings().increasedContrast; }));
  announce(1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return environment->surfaceSettings().increasedContrast; }));
}

TEST_F(ContrastTest, WithoutAPortalNothingChanges) {
  auto program = bus.connect(QStringLiteral("program"));
  DesktopContrast contrast(*environment, program);
  // The failed read comes back as an error; a round trip on the same connection after it shows
  // that it has been handled.
  auto ping = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
  program.call(ping);
  QCoreApplication::processEvents();
  EXPECT_EQ(environment->surfaceSettings(), workspace::SurfaceSettings{});
}

}  // namespace
}  // namespace velmorine::shell

#include "desktop_contrast_test.moc"
