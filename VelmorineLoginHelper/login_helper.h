#pragma once

// One run of the login helper: check its own place and identity, open the main program unless
// it already runs, and log the outcome once. It does not wait for the program it opened.

#include <sys/types.h>

#include <QDBusConnection>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorine::login {

inline constexpr const char* kInvalidHelper = "invalid-helper-location-or-identity";
inline constexpr const char* kAlreadyRunning = "already-running";
inline constexpr const char* kMainOpenFailed = "main-open-failed";
inline constexpr const char* kMainOpened = "main-opened";

struct HelperRun {
  std::filesystem::path helperPath;
  std::optional<std::string> identifier;
  // Where the main program claims its name; a bus that cannot be reached counts as nobody
  // running it.
  QDBusConnection bus;
  // The environment the main program starts from ("NAME=value" each).
  std::vector<std::string> environment;
  // Receives the one log line.
  std::function<void(const std::string& line)> log;
};

struct HelperOutcome {
  std::string outcome;
  std::optional<pid_t> opened;  // the process started, for "main-opened"
};

HelperOutcome run(const HelperRun& helper);

// The process's environment as `run` takes it.
std::vector<std::string> processEnvironment();

}  // namespace velmorine::login
