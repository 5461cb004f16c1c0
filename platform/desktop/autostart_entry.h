#pragma once

// Starting the login helper at login: an XDG autostart entry in the user's configuration
// folder ($XDG_CONFIG_HOME/autostart) whose Exec is the helper program. The entry counts as on
// only when it is ours: present, not hidden, and running exactly that program.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::platform {

enum class AutostartStatus {
  enabled,
  disabled,     // no entry, a hidden one, or one that runs another program
  unavailable,  // the helper program is missing, or the autostart folder cannot be read
};

class AutostartEntry {
 public:
  // `configHome`: the user's configuration folder; `fileName`: the entry's name
  // ("<identifier>.LoginHelper.desktop"); `helper`: the program the entry runs.
  AutostartEntry(std::filesystem::path configHome, std::string fileName,
                 std::filesystem::path helper, std::string displayName);

  AutostartStatus status() const;
  // Writes the entry durably (creating the folder). Throws std::system_error.
  void enable() const;
  // Removes the entry, whatever it runs and whether or not the helper exists; a missing entry
  // is no error. Throws std::system_error.
  void disable() const;

  std::filesystem::path folder() const { return configHome_ / "autostart"; }
  std::filesystem::path path() const { return folder() / fileName_; }
  // The entry's text as enable() writes it.
  std::string contents() const;
  // The value of Exec that runs the helper.
  std::string execValue() const;

 private:
  std::filesystem::path configHome_;
  std::string fileName_;
  std::filesystem::path helper_;
  std::string displayName_;
};

// $XDG_CONFIG_HOME when it is an absolute path, else <home>/.config; none without either.
std::optional<std::filesystem::path> userConfigFolder(const char* xdgConfigHome, const char* home);

// <prefix>/libexec/velmorine/velmorine-login-helper for a program installed in <prefix>/bin.
std::filesystem::path loginHelperProgram(const std::filesystem::path& executable);

// A value of a desktop entry's [Desktop Entry] group, unescaped; none when the key is absent.
// Keys with a locale suffix are distinct keys.
std::optional<std::string> desktopEntryValue(std::string_view entry, std::string_view key);

}  // namespace velmorine::platform
