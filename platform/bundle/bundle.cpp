#include "platform/bundle/bundle.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/bundle/bundle_defaults.h"

namespace velmorine::platform {

namespace {

constexpr std::uintmax_t kMaximumInfoSize = 1024 * 1024;

std::optional<nlohmann::json> read_info(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, error);
  if (error || size > kMaximumInfoSize) return std::nullopt;
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  auto info = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!info.is_object()) return std::nullopt;
  return info;
}

}  // namespace

Bundle::Bundle(nlohmann::json info) : info_(std::move(info)) {
  if (!info_.is_object()) info_ = nlohmann::json::object();
}

Bundle Bundle::withDefaults() {
  return Bundle(nlohmann::json::parse(kDefaultInfoJson, nullptr, /*allow_exceptions=*/false));
}

Bundle Bundle::forProgram(const std::filesystem::path& executable) {
  const auto folder = executable.parent_path();
  for (const auto& candidate :
       {folder.parent_path() / "share" / "velmorine" / "Info.json", folder / "Info.json"}) {
    if (auto info = read_info(candidate)) return Bundle(std::move(*info));
  }
  return withDefaults();
}

Bundle Bundle::main() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return withDefaults();
  return forProgram(executable);
}

std::optional<std::string> Bundle::identifier() const {
  const auto* value = infoValue(kIdentifierKey);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

const nlohmann::json* Bundle::infoValue(std::string_view key) const {
  const auto found = info_.find(key);
  return found == info_.end() ? nullptr : &*found;
}

std::filesystem::path applicationSupportFolder(const char* xdg_data_home, const char* home,
                                               const std::optional<std::string>& account_home) {
  // XDG: a relative value is invalid and is ignored.
  if (xdg_data_home != nullptr && xdg_data_home[0] == '/') {
    return std::filesystem::path(xdg_data_home) / "Velmorine";
  }
  std::filesystem::path folder;
  if (home != nullptr && home[0] == '/') {
    folder = home;
  } else if (account_home && account_home->starts_with('/')) {
    folder = *account_home;
  } else {
    throw std::runtime_error(
        "no data folder: neither XDG_DATA_HOME, HOME nor the user database names an absolute "
        "home folder");
  }
  return folder / ".local" / "share" / "Velmorine";
}

std::filesystem::path applicationSupportFolder() {
  return applicationSupportFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"),
                                  accountHomeFolder());
}

std::optional<std::string> accountHomeFolder() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  struct passwd entry {};
  struct passwd* found = nullptr;
  for (;;) {
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < 1024 * 1024) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || entry.pw_dir == nullptr) return std::nullopt;
    return std::string(entry.pw_dir);
  }
}

}  // namespace velmorine::platform
