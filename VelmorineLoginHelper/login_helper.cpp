#include "VelmorineLoginHelper/login_helper.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <QDBusConnectionInterface>

#include "VelmorineLoginHelper/login_target.h"

extern char** environ;

namespace velmorine::login {

namespace {

bool alreadyRunning(const QDBusConnection& bus, const std::string& identifier) {
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const auto reply = bus.interface()->isServiceRegistered(QString::fromStdString(identifier));
  return reply.isValid() && reply.value();
}

// Starts the program in a session of its own with its standard streams on /dev/null and
// without the launcher's activation tokens: it was not activated by the user.
std::optional<pid_t> open(const std::filesystem::path& program,
                          const std::vector<std::string>& environment) {
  std::vector<std::string> kept;
  for (const auto& entry : environment) {
    if (entry.starts_with("DESKTOP_STARTUP_ID=") || entry.starts_with("XDG_ACTIVATION_TOKEN=")) {
      continue;
    }
    kept.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& entry : kept) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = program.string();
  char* argv[] = {path.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return std::nullopt;
  }
  bool ready = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID) == 0;
  for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    ready = ready &&
            posix_spawn_file_actions_addopen(&actions, stream, "/dev/null",
                                             stream == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0) == 0;
  }
  pid_t child = -1;
  const int failed =
      ready ? posix_spawn(&child, path.c_str(), &actions, &attributes, argv, envp.data()) : -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return std::nullopt;
  return child;
}

}  // namespace

std::vector<std::string> processEnvironment() {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  return environment;
}

HelperOutcome run(const HelperRun& helper) {
  HelperOutcome result;
  const auto target = LoginTarget::resolve(helper.helperPath, helper.identifier);
  if (!target) {
    result.outcome = kInvalidHelper;
  } else if (alreadyRunning(helper.bus, target->identifier)) {
    result.outcome = kAlreadyRunning;
  } else if (auto child = open(target->mainProgram, helper.environment)) {
    result.outcome = kMainOpened;
    result.opened = child;
  } else {
    result.outcome = kMainOpenFailed;
  }
  if (helper.log) helper.log("Login helper outcome: " + result.outcome);
  return result;
}

}  // namespace velmorine::login
