#include "Velmorine/transfer/atomic_receive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_paths.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/manifest_check.h"
#include "Velmorine/transfer/receive_storage.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using platform::UniqueFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kMaxNameBytes = 255;  // NAME_MAX of every allowed file system
// Below this, handing a chunk to the digest's thread costs more than hashing it here.
constexpr std::size_t kBackgroundHashBytes = 256 << 10;

// The manifest check compares names by key, as a case-insensitive volume would; ours are
// case-sensitive and take at most 255 bytes a name. A receive refuses, before it makes anything,
// what it could not lay out exactly as sent: a longer name, or an entry whose parent folder is
// in the manifest only under another spelling ("Docs", "docs/a").
void refuseWhatThisVolumeCannotHold(const std::vector<ContentEntry>& entries) {
  std::unordered_set<std::string_view> folders;
  for (const auto& entry : entries) {
    if (entry.directory) folders.insert(entry.path);
  }
  for (const auto& entry : entries) {
    for (const auto& component : validatePath(entry.path)) {
      if (component.size() > kMaxNameBytes) throw ContentFailure(Case::pathLimit);
    }
    const auto slash = entry.path.rfind('/');
    if (slash != std::string::npos &&
        !folders.contains(std::string_view(entry.path).substr(0, slash))) {
      throw ContentFailure(Case::invalidManifest);
    }
  }
}

struct stat statAt(int parent, const std::string& name, bool& found) {
  struct stat status {};
  found = ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  return status;
}

}  // namespace

AtomicReceive::AtomicReceive(const ContentUrl& destination, const core::Uuid& transferID,
                             std::vector<ContentEntry> entries, std::int64_t topLevelCount,
                             std::uint64_t totalBytes, ReceiveServices services)
    : destination_(destination),
      transferID_(transferID),
      entries_(std::move(entries)),
      totalBytes_(totalBytes),
      services_(std::move(services)),
      stageName_(stageNameFor(transferID)),
      finalName_(finalNameFor(transferID)),
      finalURL_(destination) {
  validateManifest(entries_, topLevelCount, totalBytes_);
  refuseWhatThisVolumeCannotHold(entries_);
  if (!destination_.isFile()) throw ContentFailure(Case::access);
  finalURL_ = destination_.appending(finalName_, true);
  scope_ = services_.access(destination_);
  layOutStage();
}

AtomicReceive::~AtomicReceive() = default;

void AtomicReceive::pass(std::string_view point) const {
  if (services_.checkpoint) services_.checkpoint(point);
}

void AtomicReceive::layOutStage() {
  root_ = UniqueFd(::open(destination_.path().c_str(), kFolderFlags));
  if (!root_.valid()) throw ContentFailure(Case::access, errno);
  checkVolume(root_.get(), totalBytes_);
  bool exists = false;
  statAt(root_.get(), finalName_, exists);
  if (exists) throw ContentFailure(Case::conflict);
  if (errno != ENOENT) throw ContentFailure(Case::access, errno);
  if (::mkdirat(root_.get(), stageName_.c_str(), 0700) != 0) {
    throw ContentFailure(Case::conflict, errno);
  }
  pass("init.stage");
  stage_ = UniqueFd(::openat(root_.get(), stageName_.c_str(), kFolderFlags));
  // A stage that cannot be opened cannot be identified either, so it is left in place.
  if (!stage_.valid()) throw ContentFailure(Case::io, errno);

  try {
    if (::mkdirat(stage_.get(), kPayloadName, 0700) != 0) throw ContentFailure(Case::io, errno);
    payload_ = UniqueFd(::openat(stage_.get(), kPayloadName, kFolderFlags));
    if (!payload_.valid()) throw ContentFailure(Case::io, errno);
    pass("init.payload");

    const SourceStamp rootStamp = SourceStamp::ofDescriptor(root_.get());
    const SourceStamp stageStamp = SourceStamp::ofDescriptor(stage_.get());
    const SourceStamp payloadStamp = SourceStamp::ofDescriptor(payload_.get());
    journal_.schema = 1;
    journal_.transferID = transferID_;
    journal_.stageName = stageName_;
    journal_.finalName = finalName_;
    journal_.rootDevice = store::journalDevice(rootStamp.device);
    journal_.rootVolumeUUID = platform::volume_uuid_of(root_.get(), services_.volumeUuid);
    journal_.rootInode = rootStamp.inode;
    journal_.stageInode = stageStamp.inode;
    journal_.payloadInode = payloadStamp.inode;
    writeJournalFile(stage_.get(), journal_);
    pass("init.journal");

    std::vector<const ContentEntry*> folders;
    for (const auto& entry : entries_) {
      if (entry.directory) folders.push_back(&entry);
    }
    std::stable_sort(folders.begin(), folders.end(), [](const auto* a, const auto* b) {
      return std::count(a->path.begin(), a->path.end(), '/') <
             std::count(b->path.begin(), b->path.end(), '/');
    });
    for (const ContentEntry* folder : folders) {
      std::vector<std::string> components = validatePath(folder->path);
      const std::string last = components.back();
      components.pop_back();
      const UniqueFd parent = openDirectoryPath(payload_.get(), components);
      if (::mkdirat(parent.get(), last.c_str(), 0700) != 0) {
        throw ContentFailure(Case::conflict, errno);
      }
      completed_.insert(folder->index);
    }
    pass("init.folders");
    fsyncOrThrow(stage_.get());
    fsyncOrThrow(root_.get());
  } catch (...) {
    removeStageAfterFailedInit();
    throw;
  }
}

void AtomicReceive::removeStageAfterFailedInit() noexcept {
  std::optional<SourceStamp> stamp;
  try {
    stamp = SourceStamp::ofDescriptor(stage_.get());
  } catch (const ContentFailure&) {
  }
  payload_.reset();
  stage_.reset();
  if (!stamp) return;
  try {
    removeStageTree(root_.get(), stageName_, stamp->inode, services_.checkpoint);
  } catch (...) {
  }
}

std::vector<std::string> AtomicReceive::componentsOf(const ContentEntry& entry) const {
  return validatePath(entry.path);
}

UniqueFd AtomicReceive::openEntryFile(const ContentEntry& entry) const {
  std::vector<std::string> components = componentsOf(entry);
  const std::string last = components.back();
  components.pop_back();
  const UniqueFd parent = openDirectoryPath(payload_.get(), components);
  UniqueFd file(
      ::openat(parent.get(), last.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid()) throw ContentFailure(Case::changed, errno);
  return file;
}

void AtomicReceive::beginFile(std::int64_t index) {
  if (cancelled_ || committed_ || file_.valid() || index < 0 ||
      static_cast<std::size_t>(index) >= entries_.size() || completed_.contains(index) ||
      entries_[static_cast<std::size_t>(index)].directory) {
    throw ContentFailure(Case::invalidManifest);
  }
  const ContentEntry& entry = entries_[static_cast<std::size_t>(index)];
  std::vector<std::string> components = componentsOf(entry);
  const std::string last = components.back();
  components.pop_back();
  const UniqueFd parent = openDirectoryPath(payload_.get(), components);
  UniqueFd file(::openat(parent.get(), last.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) throw ContentFailure(Case::conflict, errno);
  file_ = std::move(file);
  current_ = entry;
  fileOffset_ = 0;
  hash_.reset();
  pass("file.begun");
}

void AtomicReceive::write(std::int64_t index, std::uint64_t offset,
                          std::span<const std::uint8_t> data) {
  if (cancelled_ || committed_ || !file_.valid() || !current_ || current_->index != index ||
      offset != fileOffset_ || data.empty() || data.size() > kMaxReceiveChunk ||
      current_->size - fileOffset_ < data.size()) {
    throw ContentFailure(Case::invalidManifest);
  }
  // A large chunk is hashed beside the write: the hash alone takes about as long as a plain
  // write with its fsync. Its pages go to the device at once, so the seal's fsync finds little
  // left to do (only a hint: durability still comes from that fsync, which follows a file's last
  // chunk at once anyway).
  const bool beside = data.size() >= kBackgroundHashBytes;
  {
    if (beside) hash_.start(data);
    struct Finish {
      BackgroundDigest& digest;
      ~Finish() { digest.finish(); }
    } finish{hash_};
    writeAll(file_.get(), data);
    if (current_->size - fileOffset_ > data.size()) {
      ::sync_file_range(file_.get(), static_cast<off_t>(fileOffset_),
                        static_cast<off_t>(data.size()), SYNC_FILE_RANGE_WRITE);
    }
  }
  if (!beside) hash_.update(data);
  fileOffset_ += data.size();
  receivedBytes_ += data.size();
  pass("file.chunk");
}

void AtomicReceive::finishFile(std::int64_t index) {
  if (cancelled_ || !file_.valid() || !current_ || current_->index != index ||
      fileOffset_ != current_->size) {
    throw ContentFailure(Case::corrupt);
  }
  if (current_->sha256 != hash_.hexOfCopy()) throw ContentFailure(Case::corrupt);
  fsyncOrThrow(file_.get());
  file_.reset();

  const UniqueFd sealedFile = openEntryFile(*current_);
  const SourceStamp stamp = SourceStamp::ofDescriptor(sealedFile.get());
  if (!stamp.isRegularFile() || stamp.size < 0 ||
      static_cast<std::uint64_t>(stamp.size) != current_->size) {
    throw ContentFailure(Case::changed);
  }
  sealed_[index] = stamp;
  current_.reset();
  completed_.insert(index);
  pass("file.sealed");
}

void AtomicReceive::verify() const {
  const std::uint64_t device = store::linuxDevice(journal_.rootDevice);
  struct stat status {};
  if (::lstat(destination_.path().c_str(), &status) != 0 ||
      !isFolderWithIdentity(status, device, journal_.rootInode)) {
    throw ContentFailure(Case::changed);
  }
  bool found = false;
  status = statAt(root_.get(), stageName_, found);
  if (!found || !isFolderWithIdentity(status, device, journal_.stageInode)) {
    throw ContentFailure(Case::changed);
  }
  status = statAt(stage_.get(), kPayloadName, found);
  if (!found || !isFolderWithIdentity(status, device, journal_.payloadInode)) {
    throw ContentFailure(Case::changed);
  }
}

SourceStamp AtomicReceive::rehashFile(int fd, const SourceStamp& sealed,
                                      const ContentEntry& entry) {
  if (!entry.sha256) throw ContentFailure(Case::invalidManifest);
  const auto check = [&](const SourceStamp& stamp) {
    if (!stamp.isRegularFile() || stamp.device != sealed.device || stamp.inode != sealed.inode ||
        stamp.size < 0 || static_cast<std::uint64_t>(stamp.size) != entry.size) {
      throw ContentFailure(Case::changed);
    }
  };
  std::vector<std::uint8_t> buffer(kReadChunkBytes);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const SourceStamp before = SourceStamp::ofDescriptor(fd);
    check(before);
    ContentDigest digest;
    for (std::uint64_t offset = 0; offset < entry.size;) {
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(entry.size - offset, static_cast<std::uint64_t>(buffer.size())));
      std::size_t got = 0;
      try {
        got = readChunk(fd, offset, std::span(buffer).first(want));
      } catch (const ContentFailure&) {
        throw ContentFailure(Case::changed);
      }
      if (got == 0) throw ContentFailure(Case::changed);
      digest.update(std::span(buffer).first(got));
      offset += got;
    }
    const SourceStamp after = SourceStamp::ofDescriptor(fd);
    check(after);
    if (digest.hexOfCopy() != *entry.sha256) throw ContentFailure(Case::changed);
    if (after.size == before.size && after.mode == before.mode &&
        after.modifiedSeconds == before.modifiedSeconds &&
        after.modifiedNanos == before.modifiedNanos &&
        after.changedSeconds == before.changedSeconds &&
        after.changedNanos == before.changedNanos) {
      return after;
    }
  }
  throw ContentFailure(Case::changed);
}

void AtomicReceive::revalidateSealedFiles() {
  for (const ContentEntry& entry : entries_) {
    if (entry.directory) continue;
    const UniqueFd file = openEntryFile(entry);
    const auto sealed = sealed_.find(entry.index);
    if (sealed == sealed_.end()) throw ContentFailure(Case::changed);
    const SourceStamp stamp = SourceStamp::ofDescriptor(file.get());
    if (!stamp.isRegularFile() || stamp.device != sealed->second.device ||
        stamp.inode != sealed->second.inode || stamp.size < 0 ||
        static_cast<std::uint64_t>(stamp.size) != entry.size) {
      throw ContentFailure(Case::changed);
    }
    if (stamp != sealed->second) sealed->second = rehashFile(file.get(), sealed->second, entry);
  }
}

ContentUrl AtomicReceive::commit() {
  if (cancelled_ || committed_ || file_.valid() || completed_.size() != entries_.size() ||
      receivedBytes_ != totalBytes_) {
    throw ContentFailure(Case::incomplete);
  }
  verify();
  revalidateSealedFiles();
  pass("commit.verified");

  std::vector<const ContentEntry*> folders;
  for (const auto& entry : entries_) {
    if (entry.directory) folders.push_back(&entry);
  }
  // Deepest first: a folder's entry reaches the disk before its parent's.
  std::stable_sort(folders.begin(), folders.end(),
                   [](const auto* a, const auto* b) { return a->path.size() > b->path.size(); });
  for (const ContentEntry* folder : folders) {
    const UniqueFd fd = openDirectoryPath(payload_.get(), componentsOf(*folder));
    fsyncOrThrow(fd.get());
  }
  fsyncOrThrow(payload_.get());
  fsyncOrThrow(stage_.get());
  pass("commit.synced");

  if (::renameat2(stage_.get(), kPayloadName, root_.get(), finalName_.c_str(), RENAME_NOREPLACE) !=
      0) {
    throw ContentFailure(errno == EEXIST ? Case::conflict : Case::io, errno);
  }
  committed_ = true;
  pass("commit.renamed");

  bool found = false;
  const struct stat status = statAt(root_.get(), finalName_, found);
  if (!found || !isFolderWithIdentity(status, store::linuxDevice(journal_.rootDevice),
                                      journal_.payloadInode)) {
    throw ContentFailure(Case::changed);
  }
  revalidateSealedFiles();
  fsyncOrThrow(root_.get());
  pass("commit.done");
  return finalURL_;
}

void AtomicReceive::cancel() noexcept {
  if (cancelled_) return;
  cancelled_ = true;
  file_.reset();
  current_.reset();
  if (!root_.valid()) return;
  bool found = false;
  const struct stat status = statAt(root_.get(), stageName_, found);
  if (!found ||
      !isFolderWithIdentity(status, store::linuxDevice(journal_.rootDevice), journal_.stageInode)) {
    return;
  }
  pass("cancel.removing");
  try {
    removeStageTree(root_.get(), stageName_, journal_.stageInode, services_.checkpoint);
    fsyncOrThrow(root_.get());
  } catch (...) {
  }
  pass("cancel.done");
}

std::optional<ContentUrl> AtomicReceive::recoverStaleStages(const ContentUrl& destination,
                                                            const store::ReceiveJournal& journal,
                                                            const ReceiveServices& services) {
  if (journal.schema != 1 || journal.stageName != stageNameFor(journal.transferID) ||
      journal.finalName != finalNameFor(journal.transferID)) {
    throw ContentFailure(Case::invalidManifest);
  }
  if (!destination.isFile()) throw ContentFailure(Case::access);
  const auto scope = services.access(destination);
  const UniqueFd root(::open(destination.path().c_str(), kFolderFlags));
  if (!root.valid()) throw ContentFailure(Case::access, errno);
  const SourceStamp rootStamp = SourceStamp::ofDescriptor(root.get());

  if (rootStamp.inode != journal.rootInode) throw ContentFailure(Case::changed);
  if (!journal.rootVolumeUUID) {
    if (rootStamp.device != store::linuxDevice(journal.rootDevice))
      throw ContentFailure(Case::changed);
  } else if (platform::volume_uuid_of(root.get(), services.volumeUuid) != journal.rootVolumeUUID) {
    // The same volume may come back under another device number after a restart.
    throw ContentFailure(Case::changed);
  }

  bool found = false;
  struct stat status = statAt(root.get(), journal.finalName, found);
  const bool committed =
      found && isFolderWithIdentity(status, rootStamp.device, journal.payloadInode);

  status = statAt(root.get(), journal.stageName, found);
  if (!found) {
    if (errno != ENOENT) throw ContentFailure(Case::access, errno);
  } else {
    if (!isFolderWithIdentity(status, rootStamp.device, journal.stageInode)) {
      throw ContentFailure(Case::changed);
    }
    removeStageTree(root.get(), journal.stageName, journal.stageInode, services.checkpoint);
    fsyncOrThrow(root.get());
  }
  if (!committed) return std::nullopt;
  return destination.appending(journal.finalName, true);
}

}  // namespace velmorine::transfer
