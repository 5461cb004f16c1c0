#pragma once

// The layout of a receive inside its destination folder D: the hidden stage
// ".velmorine-<id>.partial" holding "journal.json" and the "payload" folder, and the final folder
// "Velmorine-<id>" that the payload becomes by one exclusive rename. Also the descriptor-relative
// steps that the staged receive and its recovery share.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/store/receive_journal.h"
#include "Velmorine/transfer/source_stamp.h"
#include "native/protocol/uuid.h"
#include "platform/files/unique_fd.h"

namespace velmorine::transfer {

inline constexpr const char* kJournalFileName = "journal.json";
inline constexpr const char* kPayloadName = "payload";

// Test-only: called with a point's name as a receive passes it, so that a test can act there, or
// stop the process there. Empty in the program.
using ReceiveCheckpoint = std::function<void(std::string_view point)>;

std::string stageNameFor(const core::Uuid& transferID);  // ".velmorine-<lower-case id>.partial"
std::string finalNameFor(const core::Uuid& transferID);  // "Velmorine-<lower-case id>"

// Whether a status shows a folder with the given device and inode.
bool isFolderWithIdentity(const struct stat& status, std::uint64_t device, std::uint64_t inode);

// Opens each component relative to the last as a folder, without following links; a new
// descriptor of `from` for no components. Throws ContentFailure access; nothing stays open on
// failure.
platform::UniqueFd openDirectoryPath(int from, const std::vector<std::string>& components);

// Writes the whole buffer, restarting after EINTR. Throws diskSpace for ENOSPC, io otherwise
// (also for a write that makes no progress).
void writeAll(int fd, std::span<const std::uint8_t> bytes);

// fsync, restarted after EINTR; throws io.
void fsyncOrThrow(int fd);

// Creates "journal.json" in the stage exclusively, writes and fsyncs it: io, or diskSpace when
// the volume is full.
void writeJournalFile(int stage, const store::ReceiveJournal& journal);

// Removes the folder tree `name` under `parent`, never following a link and never removing a
// folder by its name alone: at the top level (an expected inode given) the folder must be that
// inode, and every folder is checked again, just before its last unlink, to be the one emptied.
// Throws changed, invalidPath (a name that is not UTF-8), access or io.
void removeStageTree(int parent, const std::string& name,
                     std::optional<std::uint64_t> expectedInode,
                     const ReceiveCheckpoint& checkpoint = {});

}  // namespace velmorine::transfer
