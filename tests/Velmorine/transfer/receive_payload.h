#pragma once

// A batch as a sender would announce and stream it to a receive: the manifest, and the bytes of
// each file.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/transfer/atomic_receive.h"
#include "tests/Velmorine/transfer/content_files.h"

namespace velmorine::testing {

struct PayloadItem {
  std::string path;
  std::optional<std::vector<std::uint8_t>> bytes;  // none: a folder
};

struct Payload {
  std::vector<transfer::ContentEntry> entries;
  std::map<std::int64_t, std::vector<std::uint8_t>> bytes;
  std::int64_t topLevelCount = 0;
  std::uint64_t totalBytes = 0;

  explicit Payload(const std::vector<PayloadItem>& items) {
    std::set<std::string> tops;
    for (const auto& item : items) {
      const auto index = static_cast<std::int64_t>(entries.size());
      transfer::ContentEntry entry{
          index, item.path, !item.bytes, 0, "2024-05-01T10:20:30.000Z", std::nullopt};
      if (item.bytes) {
        entry.size = item.bytes->size();
        entry.sha256 = sha256Of(*item.bytes);
        bytes[index] = *item.bytes;
        totalBytes += entry.size;
      }
      tops.insert(item.path.substr(0, item.path.find('/')));
      entries.push_back(entry);
    }
    topLevelCount = static_cast<std::int64_t>(tops.size());
  }

  std::unique_ptr<transfer::AtomicReceive> receiveInto(
      const std::filesystem::path& destination, const core::Uuid& id,
      transfer::ReceiveServices services = {}) const {
    return std::make_unique<transfer::AtomicReceive>(transfer::ContentUrl::file(destination, true),
                                                     id, entries, topLevelCount, totalBytes,
                                                     std::move(services));
  }

  // FILE_BEGIN, FILE_CHUNKs of `chunk` bytes and FILE_END for one file.
  void sendFile(transfer::AtomicReceive& receive, std::int64_t index,
                std::size_t chunk = transfer::kMaxReceiveChunk) const {
    const auto& data = bytes.at(index);
    receive.beginFile(index);
    for (std::size_t offset = 0; offset < data.size(); offset += chunk) {
      const std::size_t length = std::min(chunk, data.size() - offset);
      receive.write(index, offset, std::span(data).subspan(offset, length));
    }
    receive.finishFile(index);
  }

  void sendFiles(transfer::AtomicReceive& receive) const {
    for (const auto& [index, data] : bytes) sendFile(receive, index);
  }
};

// Every file and folder under `root`, by path relative to it, with a file's bytes.
inline std::map<std::string, std::optional<std::vector<std::uint8_t>>> treeOf(
    const std::filesystem::path& root) {
  std::map<std::string, std::optional<std::vector<std::uint8_t>>> tree;
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    const auto relative = std::filesystem::relative(it->path(), root).string();
    if (it->is_symlink()) {
      tree[relative] = std::vector<std::uint8_t>{'@'};
    } else if (it->is_directory()) {
      tree[relative] = std::nullopt;
    } else {
      tree[relative] = readFile(it->path());
    }
  }
  return tree;
}

}  // namespace velmorine::testing
