#include "platform/keychain/keychain.h"

#include "platform/bundle/bundle.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/bundle/bundle.h"
#include "platform/files/durable_file.h"
#include "platform/files/unique_fd.h"

namespace velmorine::platform {

namespace {

using nlohmann::json;

constexpr const char* kAccessible = "afterFirstUnlockThisDeviceOnly";

void wipe_bytes(void* data, std::size_t size) {
  if (size != 0) ::explicit_bzero(data, size);
}

// A text buffer that may hold secrets (the item file); wiped when it goes.
struct WipedText {
  std::string text;
  WipedText() = default;
  WipedText(const WipedText&) = delete;
  WipedText& operator=(const WipedText&) = delete;
  ~WipedText() { wipe_bytes(text.data(), text.size()); }
};

// Wipes every string of a parsed item file before the tree is freed.
struct WipedJson {
  json value;
  WipedJson() = default;
  WipedJson(const WipedJson&) = delete;
  WipedJson& operator=(const WipedJson&) = delete;
  ~WipedJson() { wipe(value); }
  static void wipe(json& node) {
    if (node.is_string()) {
      auto& text = node.get_ref<std::string&>();
      wipe_bytes(text.data(), text.size());
    } else if (node.is_structured()) {
      for (auto& child : node) wipe(child);
    }
  }
};

struct KeychainFailure {
  KeychainStatus status;
};

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::uint8_t> from_hex(const std::string& text) {
  if (text.size() % 2 != 0) throw KeychainFailure{KeychainStatus::decode};
  std::vector<std::uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      wipe_bytes(bytes.data(), bytes.size());
      throw KeychainFailure{KeychainStatus::decode};
    }
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return bytes;
}

// The item folder, held open for the *at() calls, and the lock that orders adds and loads.
class LockedFolder {
 public:
  LockedFolder(const std::filesystem::path& root, int operation) {
    try {
      create_private_folders(root);
    } catch (const std::system_error&) {
      throw KeychainFailure{KeychainStatus::io};
    }
    folder_ = open_folder(root);
    if (!folder_.valid()) throw KeychainFailure{KeychainStatus::io};
    lock_ = UniqueFd(::openat(folder_.get(), Keychain::kLockFileName,
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock_.valid()) throw KeychainFailure{KeychainStatus::io};
    while (::flock(lock_.get(), operation) != 0) {
      if (errno != EINTR) throw KeychainFailure{KeychainStatus::io};
    }
  }
  int folder() const { return folder_.get(); }

 private:
  UniqueFd folder_;
  UniqueFd lock_;  // closing it releases the lock
};

// Reads the item file into `items` (an array); a missing file holds no items.
void read_items(int folder, WipedJson& items) {
  UniqueFd file(
      ::openat(folder, Keychain::kItemFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) {
      items.value = json::array();
      return;
    }
    throw KeychainFailure{errno == ELOOP ? KeychainStatus::decode : KeychainStatus::io};
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw KeychainFailure{KeychainStatus::io};
  if (!S_ISREG(status.st_mode) || status.st_size < 0 ||
      static_cast<std::uint64_t>(status.st_size) > Keychain::kMaximumFileSize) {
    throw KeychainFailure{KeychainStatus::decode};
  }
  WipedText content;
  content.text.resize(Keychain::kMaximumFileSize + 1);
  std::size_t filled = 0;
  while (filled < content.text.size()) {
    const ssize_t got =
        ::read(file.get(), content.text.data() + filled, content.text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw KeychainFailure{KeychainStatus::io};
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > Keychain::kMaximumFileSize) throw KeychainFailure{KeychainStatus::decode};
  try {
    WipedJson document;
    document.value = json::parse(content.text.data(), content.text.data() + filled);
    if (!document.value.is_object() || document.value.value("version", json()) != json(1)) {
      throw KeychainFailure{KeychainStatus::decode};
    }
    auto found = document.value.find("items");
    if (found == document.value.end() || !found->is_array()) {
      throw KeychainFailure{KeychainStatus::decode};
    }
    for (const auto& item : *found) {
      if (!item.is_object() || !item.contains("service") || !item["service"].is_string() ||
          !item.contains("account") || !item["account"].is_string() || !item.contains("data") ||
          !item["data"].is_string() ||
          (item.contains("accessGroup") && !item["accessGroup"].is_string())) {
        throw KeychainFailure{KeychainStatus::decode};
      }
    }
    items.value = std::move(*found);
  } catch (const json::exception&) {
    throw KeychainFailure{KeychainStatus::decode};
  }
}

// Replaces the item file with `items` (moved out), durably. Called with the lock held.
void write_items(int folder, WipedJson& items) {
  WipedJson document;
  document.value = json::object();
  document.value["version"] = 1;
  document.value["items"] = std::move(items.value);
  WipedText text;
  text.text = document.value.dump();
  replace_file_durably(folder, Keychain::kItemFileName, std::as_bytes(std::span(text.text)));
}

bool matches(const json& item, const KeychainItemAddress& address) {
  if (item["service"].get_ref<const std::string&>() != address.service) return false;
  if (item["account"].get_ref<const std::string&>() != address.account) return false;
  const auto group = item.find("accessGroup");
  if (group == item.end()) return !address.accessGroup.has_value();
  return address.accessGroup && group->get_ref<const std::string&>() == *address.accessGroup;
}

}  // namespace

KeychainData::KeychainData(KeychainData&& other) noexcept : bytes_(std::move(other.bytes_)) {
  other.bytes_.clear();
}

KeychainData& KeychainData::operator=(KeychainData&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

KeychainData::~KeychainData() { wipe(); }

void KeychainData::wipe() { wipe_bytes(bytes_.data(), bytes_.size()); }

Keychain::Keychain(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path Keychain::userRoot(const char* xdg_data_home, const char* home,
                                         const std::optional<std::string>& account_home) {
  // Beside the data folder, and as absolute as it is.
  return applicationSupportFolder(xdg_data_home, home, account_home).parent_path() /
         "velmorine-keychain";
}

Keychain Keychain::forUser() {
  return Keychain(
      userRoot(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"), accountHomeFolder()));
}

KeychainLoadResult Keychain::load(const KeychainItemAddress& address) const {
  try {
    LockedFolder folder(root_, LOCK_SH);
    WipedJson items;
    read_items(folder.folder(), items);
    for (const auto& item : items.value) {
      if (!matches(item, address)) continue;
      return {KeychainStatus::success,
              KeychainData(from_hex(item["data"].get_ref<const std::string&>()))};
    }
    return {KeychainStatus::itemNotFound, {}};
  } catch (const KeychainFailure& failure) {
    return {failure.status, {}};
  }
}

KeychainStatus Keychain::add(const KeychainItemAddress& address,
                             std::span<const std::uint8_t> data) const {
  try {
    LockedFolder folder(root_, LOCK_EX);
    WipedJson items;
    read_items(folder.folder(), items);
    for (const auto& item : items.value) {
      if (matches(item, address)) return KeychainStatus::duplicateItem;
    }
    json item = json::object();
    item["service"] = address.service;
    item["account"] = address.account;
    if (address.accessGroup) item["accessGroup"] = *address.accessGroup;
    item["accessible"] = kAccessible;
    item["data"] = to_hex(data);
    items.value.push_back(std::move(item));
    write_items(folder.folder(), items);
    return KeychainStatus::success;
  } catch (const KeychainFailure& failure) {
    return failure.status;
  } catch (const json::exception&) {
    // Service, account or group text that is not UTF-8 cannot be stored.
    return KeychainStatus::decode;
  } catch (const std::system_error&) {
    return KeychainStatus::io;
  }
}

KeychainStatus Keychain::update(const KeychainItemAddress& address,
                                std::span<const std::uint8_t> data) const {
  try {
    LockedFolder folder(root_, LOCK_EX);
    WipedJson items;
    read_items(folder.folder(), items);
    for (auto& item : items.value) {
      if (!matches(item, address)) continue;
      // Data that this layer did not write is not replaced, as a file it did not write is not.
      const KeychainData old(from_hex(item["data"].get_ref<const std::string&>()));
      WipedJson::wipe(item["data"]);
      item["data"] = to_hex(data);
      item["accessible"] = kAccessible;
      write_items(folder.folder(), items);
      return KeychainStatus::success;
    }
    return KeychainStatus::itemNotFound;
  } catch (const KeychainFailure& failure) {
    return failure.status;
  } catch (const json::exception&) {
    return KeychainStatus::decode;
  } catch (const std::system_error&) {
    return KeychainStatus::io;
  }
}

}  // namespace velmorine::platform
