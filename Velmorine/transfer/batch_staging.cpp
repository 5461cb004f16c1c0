#include "Velmorine/transfer/batch_staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/manifest_check.h"
#include "Velmorine/transfer/source_verification.h"
#include "platform/files/durable_file.h"
#include "platform/files/unique_fd.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using platform::UniqueFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string contentName(std::int64_t index) { return "content-" + std::to_string(index); }

bool isContentName(const std::string& name) {
  constexpr std::string_view prefix = "content-";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return false;
  return std::all_of(name.begin() + prefix.size(), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

[[noreturn]] void throwWriteFailure(int error) {
  throw ContentFailure(error == ENOSPC ? Case::diskSpace : Case::io, error);
}

void fsyncOrThrow(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) throw ContentFailure(Case::io, errno);
  }
}

void writeChunk(int fd, std::span<const std::uint8_t> bytes,
                const ContentCancellation& cancellation) {
  while (!bytes.empty()) {
    cancellation.check();
    errno = 0;
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throwWriteFailure(errno);
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void copyEntries(int batchFolder, PreparedBatch& batch, const ContentCancellation& cancellation,
                 const StagingServices& services) {
  for (const ContentEntry& entry : batch.entries()) {
    if (entry.directory) continue;
    cancellation.check();
    auto reader = batch.openReader(entry.index);
    UniqueFd file(::openat(batchFolder, contentName(entry.index).c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) throwWriteFailure(errno);
    while (auto chunk = reader->next(cancellation)) writeChunk(file.get(), *chunk, cancellation);
    fsyncOrThrow(file.get());
    if (services.checkpoint) services.checkpoint("staging.copied");
  }
}

}  // namespace

DurableBatchSource stageBatch(const ContentUrl& stagingRoot, PreparedBatch& batch,
                              const ContentCancellation& cancellation,
                              const StagingServices& services) {
  platform::create_private_folders(stagingRoot.path());
  if (services.excludeFromBackup) services.excludeFromBackup(stagingRoot);
  const UniqueFd root(::open(stagingRoot.path().c_str(), kFolderFlags));
  if (!root.valid()) throw ContentFailure(Case::access, errno);
  const std::string name = batch.id().to_string();
  if (::mkdirat(root.get(), name.c_str(), 0700) != 0) throw ContentFailure(Case::conflict, errno);
  try {
    const UniqueFd folder(::openat(root.get(), name.c_str(), kFolderFlags));
    if (!folder.valid()) throw ContentFailure(Case::access, errno);
    copyEntries(folder.get(), batch, cancellation, services);
    fsyncOrThrow(folder.get());
    fsyncOrThrow(root.get());
  } catch (...) {
    try {
      removeStagedBatch(batch.id(), stagingRoot);
    } catch (...) {
    }
    throw;
  }
  return DurableBatchSource{batch.id(), batch.entries(), batch.totalBytes(), batch.topLevelCount()};
}

std::shared_ptr<PreparedBatch> reopenStagedBatch(const DurableBatchSource& source,
                                                 const ContentUrl& stagingRoot,
                                                 const ContentCancellation& cancellation,
                                                 const StagingServices& services,
                                                 VerificationFailed verificationFailed) {
  validateManifest(source.entries, source.topLevelCount, source.totalBytes);
  const UniqueFd root(::open(stagingRoot.path().c_str(), kFolderFlags));
  if (!root.valid()) throw ContentFailure(Case::access, errno);
  const std::string name = source.id.to_string();
  const UniqueFd folder(::openat(root.get(), name.c_str(), kFolderFlags));
  if (!folder.valid()) throw ContentFailure(Case::access, errno);
  const SourceStamp folderStamp = SourceStamp::ofDescriptor(folder.get());

  std::vector<PreparedSource> sources;
  sources.reserve(source.entries.size());
  std::vector<std::uint8_t> buffer(kReadChunkBytes);
  for (const ContentEntry& entry : source.entries) {
    cancellation.check();
    if (entry.directory) {
      sources.push_back(PreparedSource{0, {}, folderStamp});
      continue;
    }
    const std::string fileName = contentName(entry.index);
    const UniqueFd file(
        ::openat(folder.get(), fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) throw ContentFailure(Case::changed, errno);
    const SourceStamp first = SourceStamp::ofDescriptor(file.get());
    if (!first.isRegularFile() || first.size < 0 ||
        static_cast<std::uint64_t>(first.size) != entry.size) {
      throw ContentFailure(Case::changed);
    }
    ContentDigest digest;
    for (std::uint64_t offset = 0; offset < entry.size;) {
      cancellation.check();
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(entry.size - offset, static_cast<std::uint64_t>(buffer.size())));
      const std::size_t got = readChunk(file.get(), offset, std::span(buffer).first(want));
      if (got == 0) throw ContentFailure(Case::changed);
      digest.update(std::span(buffer).first(got));
      offset += got;
    }
    if (entry.sha256 != digest.hexOfCopy()) throw ContentFailure(Case::changed);
    if (SourceStamp::ofDescriptor(file.get()) != first) throw ContentFailure(Case::changed);
    sources.push_back(PreparedSource{0, {fileName}, first});
  }

  std::vector<std::unique_ptr<ScopedContentAccess>> access;
  access.push_back(services.access(stagingRoot.appending(name, true)));
  if (!verificationFailed) verificationFailed = logVerificationFailure;
  return std::make_shared<PreparedBatch>(
      source.id, source.entries, source.totalBytes, source.topLevelCount, std::move(access),
      std::vector<SourceStamp>{folderStamp}, std::move(sources), std::move(verificationFailed));
}

void removeStagedBatch(const core::Uuid& id, const ContentUrl& stagingRoot) {
  const UniqueFd root(::open(stagingRoot.path().c_str(), kFolderFlags));
  if (!root.valid()) {
    if (errno == ENOENT) return;
    throw ContentFailure(Case::access, errno);
  }
  const std::string name = id.to_string();
  UniqueFd folder(::openat(root.get(), name.c_str(), kFolderFlags));
  if (!folder.valid()) {
    if (errno == ENOENT) return;
    throw ContentFailure(Case::access, errno);
  }
  DIR* stream = ::fdopendir(folder.get());
  if (stream == nullptr) throw ContentFailure(Case::io, errno);
  const int folderFd = folder.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);

  // Every name is checked before the first unlink, so a folder holding anything foreign is left
  // whole.
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* item = ::readdir(stream);
    if (item == nullptr) {
      if (errno != 0) throw ContentFailure(Case::io, errno);
      break;
    }
    std::string child = item->d_name;
    if (child == "." || child == "..") continue;
    if (!isContentName(child)) throw ContentFailure(Case::io);
    names.push_back(std::move(child));
  }
  for (const auto& child : names) {
    if (::unlinkat(folderFd, child.c_str(), 0) != 0) throw ContentFailure(Case::io, errno);
  }
  if (::unlinkat(root.get(), name.c_str(), AT_REMOVEDIR) != 0) {
    throw ContentFailure(Case::io, errno);
  }
  fsyncOrThrow(root.get());
}

}  // namespace velmorine::transfer
