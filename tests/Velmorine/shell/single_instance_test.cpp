#include "Velmorine/shell/single_instance.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>
#include <atomic>

#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

const QString kName = QStringLiteral("org.velmorine.Velmorine");

TEST(ApplicationObjectPath, IsTheBusNameAsAPath) {
  EXPECT_EQ(applicationObjectPath(QStringLiteral("org.velmorine.Velmorine")),
            QStringLiteral("/org/velmorine/Velmorine"));
  EXPECT_EQ(applicationObjectPath(QStringLiteral("org.example.my-app")),
            QStringLiteral("/org/example/my_app"));
}

TEST(SingleInstance, WithoutASessionBusTheProgramRunsOn) {
  const QDBusConnection none(QStringLiteral("no such connection"));
  EXPECT_EQ(claimSingleInstance(none, kName), InstanceClaim::noBus);
}

// The first program, answering on a thread of its own so that a second one in this process may
// block on its call.
class FirstProgram {
 public:
  explicit FirstProgram(const velmorine::testing::PrivateBus& bus)
      : connection_(bus.connect(QStringLiteral("first"))) {
    thread_.start();
    activation_ = new ApplicationActivation([this] { ++activations; });
    activation_->moveToThread(&thread_);
  }
  ~FirstProgram() {
    QMetaObject::invokeMethod(activation_, &QObject::deleteLater);
    thread_.quit();
    thread_.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("first"));
  }

  InstanceClaim claim() {
    activation_->exportOn(connection_, kName);
    return claimSingleInstance(connection_, kName);
  }

  std::atomic<int> activations{0};

 private:
  QDBusConnection connection_;
  QThread thread_;
  ApplicationActivation* activation_;
};

class SingleInstanceOnABus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
  }
  velmorine::testing::PrivateBus bus;
};

TEST_F(SingleInstanceOnABus, TheSecondClaimRevealsTheFirst) {
  FirstProgram first(bus);
  EXPECT_EQ(first.claim(), InstanceClaim::claimed);
  auto second = bus.connect(QStringLiteral("second"));
  EXPECT_EQ(claimSingleInstance(second, kName), InstanceClaim::revealedOther);
  EXPECT_EQ(first.activations, 1);
  QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}

TEST_F(SingleInstanceOnABus, AHolderThatDoesNotAnswerStillMakesTheSecondEnd) {
  auto holder = bus.connect(QStringLiteral("holder"));
  ASSERT_EQ(claimSingleInstance(holder, kName), InstanceClaim::claimed);  // exports nothing
  auto second = bus.connect(QStringLiteral("second"));
  EXPECT_EQ(claimSingleInstance(second, kName), InstanceClaim::otherSilent);
  QDBusConnection::disconnectFromBus(QStringLiteral("second"));
  QDBusConnection::disconnectFromBus(QStringLiteral("holder"));
}

TEST_F(SingleInstanceOnABus, TheRealProgramStartedAgainShowsTheFirstAndEnds) {
  FirstProgram first(bus);
  ASSERT_EQ(first.claim(), InstanceClaim::claimed);
  velmorine::testing::TemporaryFolder home;
  QProcess program;
  QProcessEnvironment environment;
  environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
  environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
  environment.insert(QStringLiteral("XDG_DATA_HOME"),
                     QString::fromStdString((home / "data").string()));
  environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                     QString::fromStdString((home / "config").string()));
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                     QString::fromStdString(home.path().string()));
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                     QString::fromStdString(bus.address()));
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(VELMORINE_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_EQ(first.activations, 1);
  // It ended before making any data of its own.
  EXPECT_FALSE(std::filesystem::exists(home / "data" / "Velmorine"));
}

TEST(Program, WithoutADisplaySaysSoAndEnds) {
  QProcess program;
  QProcessEnvironment environment;
  environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(VELMORINE_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitCode(), 1);
  const QString said = QString::fromUtf8(program.readAllStandardError());
  EXPECT_EQ(said.count(QLatin1Char('\n')), 1);
  EXPECT_TRUE(said.contains(QStringLiteral("DISPLAY")));
}

}  // namespace
}  // namespace velmorine::shell
