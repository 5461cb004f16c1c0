#include "Velmorine/shell/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <QProcess>
#include <QTest>
#include <QThread>
#include <atomic>

#include "platform/desktop/application_activation.h"
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
    activation_ = new velmorine::platform::ApplicationActivation(connection_, kName.toStdString(),
                                                                 [this] { ++activations; });
    activation_->moveToThread(&thread_);
  }
  ~FirstProgram() {
    QMetaObject::invokeMethod(activation_, &QObject::deleteLater);
    thread_.quit();
    thread_.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("first"));
  }

  InstanceClaim claim() { return claimSingleInstance(connection_, kName); }

  std::atomic<int> activations{0};

 private:
  QDBusConnection connection_;
  QThread thread_;
  velmorine::platform::ApplicationActivation* activation_;
};

// The real program's environment: a home of its own, offscreen, on the test's session bus and
// a system bus that is not there.
QProcessEnvironment programEnvironment(const velmorine::testing::TemporaryFolder& home,
                                       const velmorine::testing::PrivateBus& bus) {
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
  environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                     QString::fromStdString("unix:path=" + (home / "no-system-bus").string()));
  return environment;
}

// Whether another process holds the exclusive lock on `file`.
bool lockedByAnother(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

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
  program.setProcessEnvironment(programEnvironment(home, bus));
  program.start(QStringLiteral(VELMORINE_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_EQ(first.activations, 1);
  // It ended before making any data of its own.
  EXPECT_FALSE(std::filesystem::exists(home / "data" / "Velmorine"));
}

TEST_F(SingleInstanceOnABus, TheRealProgramEndsInOrderOnSIGTERM) {
  velmorine::testing::TemporaryFolder home;
  QProcess program;
  program.setProcessEnvironment(programEnvironment(home, bus));
  program.start(QStringLiteral(VELMORINE_PROGRAM), {});
  ASSERT_TRUE(program.waitForStarted(60000));
  // The runtime started at launch holds the data folder's lock.
  const auto lock = home / "data" / "Velmorine" / "instance.lock";
  ASSERT_TRUE(QTest::qWaitFor([&] { return lockedByAnother(lock); }, 60000));
  // A second start finds it on the bus.
  auto second = bus.connect(QStringLiteral("second"));
  EXPECT_EQ(claimSingleInstance(second, kName), InstanceClaim::revealedOther);
  QDBusConnection::disconnectFromBus(QStringLiteral("second"));

  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_FALSE(lockedByAnother(lock));
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
