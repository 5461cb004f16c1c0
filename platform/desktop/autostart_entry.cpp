#include "platform/desktop/autostart_entry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <span>
#include <utility>

#include "platform/files/durable_file.h"
#include "platform/files/unique_fd.h"

namespace velmorine::platform {

namespace {

// An entry larger than this is not one we wrote.
constexpr std::size_t kEntryLimit = 64 * 1024;

// Characters that make an Exec argument need quotes in a desktop entry.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

// A string value as it is written in the file.
std::string escapedValue(std::string_view value) {
  std::string escaped;
  for (const char c : value) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string unescapedValue(std::string_view value) {
  std::string plain;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      plain += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        plain += ' ';
        break;
      case 'n':
        plain += '\n';
        break;
      case 't':
        plain += '\t';
        break;
      case 'r':
        plain += '\r';
        break;
      case '\\':
        plain += '\\';
        break;
      default:
        plain += '\\';
        plain += value[i];
    }
  }
  return plain;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool isHelperProgram(const std::filesystem::path& helper) {
  struct stat info {};
  return ::stat(helper.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(helper.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> desktopEntryValue(std::string_view entry, std::string_view key) {
  bool inGroup = false;
  std::optional<std::string> value;
  while (!entry.empty()) {
    const auto end = entry.find('\n');
    const std::string_view line = trimmed(entry.substr(0, end));
    entry.remove_prefix(end == std::string_view::npos ? entry.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    const auto equals = line.find('=');
    if (!inGroup || equals == std::string_view::npos) continue;
    // A key given twice: the first counts.
    if (trimmed(line.substr(0, equals)) == key && !value) {
      value = unescapedValue(trimmed(line.substr(equals + 1)));
    }
  }
  return value;
}

AutostartEntry::AutostartEntry(std::filesystem::path configHome, std::string fileName,
                               std::filesystem::path helper, std::string displayName)
    : configHome_(std::move(configHome)),
      fileName_(std::move(fileName)),
      helper_(std::move(helper)),
      displayName_(std::move(displayName)) {}

std::string AutostartEntry::execValue() const {
  const std::string program = helper_.string();
  std::string value;
  if (program.find_first_of(kReserved) == std::string::npos) {
    value = program;
  } else {
    value = "\"";
    for (const char c : program) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') value += '\\';
      value += c;
    }
    value += '"';
  }
  // A percent sign would start a field code.
  std::string exec;
  for (const char c : value) {
    exec += c;
    if (c == '%') exec += '%';
  }
  return exec;
}

std::string AutostartEntry::contents() const {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" +
         escapedValue(displayName_) +
         "\n"
         "Exec=" +
         escapedValue(execValue()) +
         "\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

AutostartStatus AutostartEntry::status() const {
  if (!isHelperProgram(helper_)) return AutostartStatus::unavailable;
  const UniqueFd folderFd(::open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd.valid()) {
    return errno == ENOENT ? AutostartStatus::disabled : AutostartStatus::unavailable;
  }
  const UniqueFd file(::openat(folderFd.get(), fileName_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    return errno == ENOENT ? AutostartStatus::disabled : AutostartStatus::unavailable;
  }
  std::string entry;
  std::array<char, 4096> buffer{};
  while (entry.size() <= kEntryLimit) {
    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return AutostartStatus::unavailable;
    if (got == 0) break;
    entry.append(buffer.data(), static_cast<std::size_t>(got));
  }
  if (entry.size() > kEntryLimit) return AutostartStatus::disabled;
  if (desktopEntryValue(entry, "Hidden") == "true") return AutostartStatus::disabled;
  if (desktopEntryValue(entry, "Exec") != execValue()) return AutostartStatus::disabled;
  return AutostartStatus::enabled;
}

void AutostartEntry::enable() const {
  create_private_folders(folder());
  const UniqueFd folderFd = open_folder(folder());
  if (!folderFd.valid()) throw_errno("open autostart folder");
  const std::string text = contents();
  replace_file_durably(folderFd.get(), fileName_, std::as_bytes(std::span(text)));
}

void AutostartEntry::disable() const {
  const UniqueFd folderFd = open_folder(folder());
  if (!folderFd.valid()) {
    if (errno == ENOENT) return;
    throw_errno("open autostart folder");
  }
  if (::unlinkat(folderFd.get(), fileName_.c_str(), 0) != 0) {
    if (errno == ENOENT) return;
    throw_errno("remove autostart entry");
  }
  if (::fsync(folderFd.get()) != 0) throw_errno("fsync autostart folder");
}

std::optional<std::filesystem::path> userConfigFolder(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
    return std::filesystem::path(xdgConfigHome);
  if (home != nullptr && home[0] == '/') return std::filesystem::path(home) / ".config";
  return std::nullopt;
}

std::filesystem::path loginHelperProgram(const std::filesystem::path& executable) {
  return executable.parent_path().parent_path() / "libexec" / "velmorine" /
         "velmorine-login-helper";
}

}  // namespace velmorine::platform
