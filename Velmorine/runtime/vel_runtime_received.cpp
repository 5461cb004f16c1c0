// The received-files index as the user acts on it: forgetting a received item, re-attaching a
// received folder the user moved, and opening the "Received" folder in the data folder.

#include <algorithm>
#include <utility>

#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/transfer/receive_storage.h"
#include "Velmorine/transfer/received_access.h"
#include "Velmorine/transfer/scoped_content_access.h"
#include "platform/bookmarks/bookmarks.h"

namespace velmorine::runtime {

namespace {

// A committed receive's folder is named after its transfer, in lower case.
constexpr std::string_view kReceivedFolderPrefix = "Velmorine-";

}  // namespace

void VelRuntime::removeReceivedRecord(std::string transferID) {
  onQueue([transferID = std::move(transferID)](VelRuntime& self) {
    self.removeReceivedRecordOnQueue(transferID);
  });
}

void VelRuntime::relinkReceivedFolder(std::filesystem::path folder, std::string transferID,
                                      ReceivedFolderRelinked completion) {
  onQueue([folder = std::move(folder), transferID = std::move(transferID),
           completion = std::move(completion)](VelRuntime& self) mutable {
    auto entry = self.relinkReceivedFolderOnQueue(folder, transferID);
    if (!completion) return;
    self.onMain([completion = std::move(completion), entry = std::move(entry)] {
      completion(std::move(entry));
    });
  });
}

void VelRuntime::openReceivedFolder(ReceivedFolderOpened completion) {
  onQueue([completion = std::move(completion)](VelRuntime& self) mutable {
    auto result = self.openReceivedFolderOnQueue();
    if (!completion) return;
    self.onMain([completion = std::move(completion), result = std::move(result)] {
      completion(std::move(result));
    });
  });
}

void VelRuntime::removeReceivedRecordOnQueue(const std::string& transferID) {
  // Before the store is open (or once it is released) there is no index to forget from, and no
  // snapshot of this runtime to publish yet.
  if (!store) return;
  const auto id = core::Uuid::parse(transferID);
  if (id) {
    const auto& received = store->document().received;
    const bool listed = std::any_of(received.begin(), received.end(),
                                    [&](const auto& entry) { return entry.transferID == *id; });
    // Nothing to forget is nothing to write; the snapshot below is published all the same.
    if (listed) {
      try {
        store->update([&](store::StoreDocument& document) {
          std::erase_if(document.received, [&](const store::ReceiveIndexEntry& entry) {
            return entry.transferID == *id;
          });
        });
      } catch (...) {
        status = "storage.unavailable";
      }
    }
  }
  publishSnapshot();
}

std::optional<store::ReceiveIndexEntry> VelRuntime::relinkReceivedFolderOnQueue(
    const std::filesystem::path& folder, const std::string& transferID) {
  // Any failure gives none, writes nothing and publishes nothing: the view keeps what it shows.
  if (!folder.is_absolute()) return std::nullopt;
  const auto url = transfer::ContentUrl::file(folder, true);
  const auto access = transfer::ScopedContentAccess::start(url);
  const auto id = core::Uuid::parse(transferID);
  if (!store || !id) return std::nullopt;
  const auto& received = store->document().received;
  const auto old = std::find_if(received.begin(), received.end(),
                                [&](const auto& entry) { return entry.transferID == *id; });
  if (old == received.end()) return std::nullopt;
  if (url.lastPathComponent() != std::string(kReceivedFolderPrefix) + id->to_string()) {
    return std::nullopt;
  }
  store::ReceiveIndexEntry entry{*id, {}, old->committedAt};
  try {
    entry.containerBookmark = platform::create_bookmark(url.path(), false);
    // The bookmark must lead back to this very folder, opened without following a link.
    const transfer::ReceivedAccess container(entry.containerBookmark);
    container.verifiedURL(std::nullopt);
    store->update([&](store::StoreDocument& document) {
      for (auto& stored : document.received) {
        if (stored.transferID == *id) stored = entry;
      }
    });
  } catch (...) {
    return std::nullopt;
  }
  publishSnapshot();
  return entry;
}

std::expected<std::filesystem::path, transfer::ContentFailure::Case>
VelRuntime::openReceivedFolderOnQueue() {
  using Case = transfer::ContentFailure::Case;
  if (shuttingDown || !store || !directoryURL.is_absolute()) return std::unexpected(Case::access);
  try {
    return transfer::makeReceivedFolder(transfer::ContentUrl::file(directoryURL, true)).path();
  } catch (const transfer::ContentFailure& failure) {
    return std::unexpected(failure.failure());
  } catch (...) {
    return std::unexpected(Case::access);
  }
}

}  // namespace velmorine::runtime
