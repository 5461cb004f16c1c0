// The login helper on an installed tree: the build installed into a temporary prefix, with a
// private session bus. The real program starts offscreen, a second run finds it running, and a
// main program that cannot be run is reported; the outcomes come from the log sink.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTest>
#include <fstream>
#include <sstream>

#include "VelmorineLoginHelper/login_helper.h"
#include "VelmorineLoginHelper/login_target.h"
#include "native/product/product_identifier.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::login {
namespace {

constexpr int kWait = 30000;

bool install(const std::filesystem::path& prefix, const char* component) {
  const std::string command = std::string("\"") + VELMORINE_CMAKE_COMMAND + "\" --install \"" +
                              VELMORINE_BINARY_DIR + "\" --component " + component +
                              " --prefix \"" + prefix.string() + "\" > /dev/null";
  return std::system(command.c_str()) == 0;
}

// The environment entries of a running process.
std::vector<std::string> environmentOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/environ");
  std::vector<std::string> entries;
  std::string entry;
  while (std::getline(file, entry, '\0')) entries.push_back(entry);
  return entries;
}

class LoginHelperInstalled : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install(prefix.path(), "program"));
    ASSERT_TRUE(install(prefix.path(), "resources"));
    ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
    connection.emplace(bus.connect(QStringLiteral("login-helper-test")));
    ASSERT_TRUE(connection->isConnected());
    std::filesystem::create_directories(home / "runtime");
    ::chmod((home / "runtime").c_str(), 0700);
  }

  void TearDown() override {
    for (pid_t pid : started) {
      ::kill(pid, SIGTERM);
      int status = 0;
      if (!QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, kWait)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
      }
    }
  }

  HelperRun helperRun() {
    return HelperRun{prefix / "libexec" / "velmorine" / "velmorine-login-helper",
                     std::string(kProductIdentifier) + std::string(kHelperSuffix),
                     *connection,
                     {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "QT_QPA_PLATFORM=offscreen",
                      "HOME=" + home.path().string(), "XDG_DATA_HOME=" + (home / "data").string(),
                      "XDG_CONFIG_HOME=" + (home / "config").string(),
                      "XDG_RUNTIME_DIR=" + (home / "runtime").string(), "PATH=/usr/bin:/bin",
                      "DESKTOP_STARTUP_ID=launcher-token", "XDG_ACTIVATION_TOKEN=activation-token"},
                     [this](const std::string& line) { log.push_back(line); }};
  }

  bool mainRunning() {
    const auto reply = connection->interface()->isServiceRegistered(QString::fromLatin1(
        kProductIdentifier.data(), static_cast<qsizetype>(kProductIdentifier.size())));
    return reply.isValid() && reply.value();
  }

  velmorine::testing::TemporaryFolder prefix;
  velmorine::testing::TemporaryFolder home;
  velmorine::testing::PrivateBus bus;
  std::optional<QDBusConnection> connection;
  std::vector<std::string> log;
  std::vector<pid_t> started;
};

TEST_F(LoginHelperInstalled, OpensTheProgramOnceAndFindsItRunningAfterwards) {
  const auto first = run(helperRun());
  ASSERT_EQ(first.outcome, kMainOpened);
  ASSERT_TRUE(first.opened);
  started.push_back(*first.opened);
  EXPECT_EQ(log, (std::vector<std::string>{"Login helper outcome: main-opened"}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return mainRunning(); }, kWait))
      << "the program never claimed its name";

  // Not activated: the launcher's tokens stay behind; a session of its own.
  const auto environment = environmentOf(*first.opened);
  EXPECT_TRUE(std::find(environment.begin(), environment.end(), "QT_QPA_PLATFORM=offscreen") !=
              environment.end());
  for (const auto& entry : environment) {
    EXPECT_FALSE(entry.starts_with("DESKTOP_STARTUP_ID=")) << entry;
    EXPECT_FALSE(entry.starts_with("XDG_ACTIVATION_TOKEN=")) << entry;
  }
  EXPECT_EQ(::getsid(*first.opened), *first.opened);

  const auto second = run(helperRun());
  EXPECT_EQ(second.outcome, kAlreadyRunning);
  EXPECT_FALSE(second.opened);
  EXPECT_EQ(log.back(), "Login helper outcome: already-running");
}

TEST_F(LoginHelperInstalled, AMainProgramThatCannotRunIsReported) {
  const auto main = prefix / "bin" / "velmorine";
  // Without its execute bit the installation is not one the helper opens.
  ::chmod(main.c_str(), 0644);
  EXPECT_EQ(run(helperRun()).outcome, kInvalidHelper);
  // Executable, but the system cannot start it.
  std::filesystem::remove(main);
  std::ofstream(main) << "#!/nonexistent/interpreter\n";
  ::chmod(main.c_str(), 0755);
  const auto outcome = run(helperRun());
  EXPECT_EQ(outcome.outcome, kMainOpenFailed);
  EXPECT_FALSE(outcome.opened);
  EXPECT_EQ(log,
            (std::vector<std::string>{"Login helper outcome: invalid-helper-location-or-identity",
                                      "Login helper outcome: main-open-failed"}));
  EXPECT_FALSE(mainRunning());
}

TEST_F(LoginHelperInstalled, TheInstalledHelperOpensTheProgramAndEnds) {
  QProcess helper;
  QProcessEnvironment environment;
  for (const auto& entry : helperRun().environment) {
    const auto equals = entry.find('=');
    environment.insert(QString::fromStdString(entry.substr(0, equals)),
                       QString::fromStdString(entry.substr(equals + 1)));
  }
  helper.setProcessEnvironment(environment);
  helper.start(QString::fromStdString(
                   (prefix / "libexec" / "velmorine" / "velmorine-login-helper").string()),
               {});
  ASSERT_TRUE(helper.waitForFinished(kWait));
  EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(helper.exitCode(), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return mainRunning(); }, kWait));
  // The program is not this test's child: it is ended through the bus's knowledge of it.
  const auto pid = connection->interface()->servicePid(QString::fromLatin1(
      kProductIdentifier.data(), static_cast<qsizetype>(kProductIdentifier.size())));
  ASSERT_TRUE(pid.isValid());
  ::kill(static_cast<pid_t>(pid.value()), SIGTERM);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !mainRunning(); }, kWait));
}

}  // namespace
}  // namespace velmorine::login
