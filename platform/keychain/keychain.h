#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmorine::platform {

// Result codes of keychain calls, with the values that callers already know them by.
enum class KeychainStatus : std::int32_t {
  success = 0,
  io = -36,                // the item file cannot be read or written
  duplicateItem = -25299,  // an add found an item with the same service, account and group
  itemNotFound = -25300,
  decode = -26275,  // the item file exists but is not one that this layer wrote
};

// Where one generic-password item lives.
struct KeychainItemAddress {
  std::string service;
  std::string account;
  std::optional<std::string> accessGroup;  // absent: the item has no access group
};

// Item data handed out by the keychain; wiped when released, since it may hold secrets.
class KeychainData {
 public:
  KeychainData() = default;
  explicit KeychainData(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  KeychainData(KeychainData&& other) noexcept;
  KeychainData& operator=(KeychainData&& other) noexcept;
  KeychainData(const KeychainData&) = delete;
  KeychainData& operator=(const KeychainData&) = delete;
  ~KeychainData();

  std::span<const std::uint8_t> bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  void wipe();

 private:
  std::vector<std::uint8_t> bytes_;
};

struct KeychainLoadResult {
  KeychainStatus status = KeychainStatus::success;
  KeychainData data;  // set when status is success
};

// Generic-password items by service, account and access group, kept in one private file in a
// folder of the user's data. Items are read, added and updated (their data replaced); nothing
// deletes them. Changes from several threads and processes are kept apart by a lock on a file
// beside the item file, and each lands whole: the file is replaced durably, never edited.
class Keychain {
 public:
  // `root`: the folder of the item file (created 0700 when missing).
  explicit Keychain(std::filesystem::path root);

  // The user's keychain, beside the data folder: $XDG_DATA_HOME/velmorine-keychain, else
  // <home>/.local/share/velmorine-keychain with an absolute home ($HOME, else the user
  // database's); throws std::runtime_error when there is none.
  static Keychain forUser();
  static std::filesystem::path userRoot(const char* xdg_data_home, const char* home,
                                        const std::optional<std::string>& account_home);

  KeychainLoadResult load(const KeychainItemAddress& address) const;
  KeychainStatus add(const KeychainItemAddress& address, std::span<const std::uint8_t> data) const;
  // Replaces the data of the item at `address`; itemNotFound when there is none.
  KeychainStatus update(const KeychainItemAddress& address,
                        std::span<const std::uint8_t> data) const;

  const std::filesystem::path& root() const { return root_; }
  static constexpr const char* kItemFileName = "items-v1.json";
  static constexpr const char* kLockFileName = "items.lock";
  // An item file beyond this size is not one that this layer wrote.
  static constexpr std::size_t kMaximumFileSize = 4 * 1024 * 1024;

 private:
  std::filesystem::path root_;
};

}  // namespace velmorine::platform
