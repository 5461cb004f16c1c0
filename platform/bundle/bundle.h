#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::platform {

// The running program's bundle: its info keys, read from the Info.json installed with it.
class Bundle {
 public:
  // A bundle with exactly these info keys (a JSON object; anything else holds no keys).
  explicit Bundle(nlohmann::json info);

  // The bundle of the running program, read afresh at every call.
  static Bundle main();
  // The bundle of the program at `executable`: <prefix>/share/velmorine/Info.json, where the
  // program lies in <prefix>/bin (or any folder of <prefix>), else Info.json beside the program,
  // else the build's defaults. An Info.json that is not one JSON object counts as missing.
  static Bundle forProgram(const std::filesystem::path& executable);
  static Bundle withDefaults();

  // "BundleIdentifier" when it is text, else nothing.
  std::optional<std::string> identifier() const;
  // The info value under `key`, of any JSON kind; nullptr when missing.
  const nlohmann::json* infoValue(std::string_view key) const;

  static constexpr const char* kIdentifierKey = "BundleIdentifier";

 private:
  nlohmann::json info_;
};

// The user's Application Support folder, always absolute: $XDG_DATA_HOME/Velmorine when that is
// an absolute path, else <home>/.local/share/Velmorine with the first absolute home of $HOME and
// the user database's entry of the process's user (`account_home`). Throws std::runtime_error
// when neither gives one: a relative folder would land wherever the program was started.
std::filesystem::path applicationSupportFolder(const char* xdg_data_home, const char* home,
                                               const std::optional<std::string>& account_home);
std::filesystem::path applicationSupportFolder();

// The home folder of the process's real user in the user database, or nothing.
std::optional<std::string> accountHomeFolder();

// The computer's user-visible name: PRETTY_HOSTNAME of the machine-info file, else the host name;
// nothing when neither gives a non-empty text.
std::optional<std::string> computerName(const std::filesystem::path& machine_info,
                                        const std::optional<std::string>& host_name);
std::optional<std::string> computerName();

// PRETTY_HOSTNAME from machine-info text (shell-style assignments, quotes and escapes).
std::optional<std::string> prettyHostName(std::string_view machine_info);

}  // namespace velmorine::platform
