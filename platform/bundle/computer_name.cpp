#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>

#include "platform/bundle/bundle.h"

namespace velmorine::platform {

namespace {

constexpr std::size_t kMaximumMachineInfoSize = 64 * 1024;

// One value of a shell-style assignment: unquoted, "double quoted" (with \ escapes) or
// 'single quoted' parts, concatenated; nothing when a quote is left open.
std::optional<std::string> unquote(std::string_view value) {
  std::string result;
  std::size_t i = 0;
  while (i < value.size()) {
    const char c = value[i];
    if (c == '\'') {
      const auto close = value.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      result.append(value.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < value.size()) {
        if (value[i] == '"') {
          closed = true;
          ++i;
          break;
        }
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        result.push_back(value[i++]);
      }
      if (!closed) return std::nullopt;
    } else if (c == '\\' && i + 1 < value.size()) {
      result.push_back(value[i + 1]);
      i += 2;
    } else {
      result.push_back(c);
      ++i;
    }
  }
  return result;
}

std::string_view trim_blanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> prettyHostName(std::string_view machine_info) {
  std::optional<std::string> found;
  while (!machine_info.empty()) {
    const auto end = machine_info.find('\n');
    auto line = trim_blanks(machine_info.substr(0, end));
    machine_info =
        end == std::string_view::npos ? std::string_view{} : machine_info.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (trim_blanks(line.substr(0, equals)) != "PRETTY_HOSTNAME") continue;
    found = unquote(trim_blanks(line.substr(equals + 1)));  // the last assignment wins
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::optional<std::string> computerName(const std::filesystem::path& machine_info,
                                        const std::optional<std::string>& host_name) {
  std::ifstream stream(machine_info, std::ios::binary);
  if (stream) {
    std::string text;
    text.resize(kMaximumMachineInfoSize);
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(stream.gcount()));
    if (auto pretty = prettyHostName(text)) return pretty;
  }
  if (host_name && !host_name->empty()) return host_name;
  return std::nullopt;
}

std::optional<std::string> computerName() {
  char name[HOST_NAME_MAX + 1] = {};
  std::optional<std::string> host_name;
  if (::gethostname(name, sizeof name - 1) == 0) host_name = std::string(name);
  return computerName("/etc/machine-info", host_name);
}

}  // namespace velmorine::platform
