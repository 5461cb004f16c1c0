#include "Velmorine/transfer/content_preparation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>
#include <unordered_set>

#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_paths.h"
#include "Velmorine/transfer/data_session_size.h"
#include "Velmorine/transfer/manifest_check.h"
#include "Velmorine/transfer/source_verification.h"
#include "platform/files/unique_fd.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using Stage = SourceVerificationFailure::Stage;
using platform::UniqueFd;

// Opening for reading never blocks (a FIFO), never takes a terminal and never follows a link.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// What one preparation run keeps for its whole duration.
struct Run {
  Run(bool allow, ContentCancellation& token, const PreparationServices& with,
      const VerificationFailed& report)
      : allowPackages(allow), cancellation(token), services(with), verificationFailed(report) {}

  bool allowPackages;
  ContentCancellation& cancellation;
  const PreparationServices& services;
  const VerificationFailed& verificationFailed;
  std::vector<std::unique_ptr<ScopedContentAccess>> access;
  std::vector<SourceStamp> roots;
  std::vector<ContentEntry> entries;
  std::vector<PreparedSource> sources;
  std::unordered_set<std::string> keys;
  std::uint64_t totalBytes = 0;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReadChunkBytes);
};

// Only files and folders are ever opened: a device could act on being opened, and a socket or
// FIFO is nothing to send. A symbolic link shows as itself here, since nothing follows it.
void refuseUnlessFileOrFolder(const struct stat& status) {
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    throw ContentFailure(Case::unsupportedNode);
  }
}

UniqueFd openNode(int parent, const char* name) {
  UniqueFd fd(::openat(parent, name, kReadFlags));
  if (!fd.valid()) {
    throw ContentFailure(errno == ELOOP ? Case::unsupportedNode : Case::access, errno);
  }
  return fd;
}

std::string hashFile(int fd, std::uint64_t size, const std::string& path, Run& run) {
  ContentDigest digest;
  std::uint64_t offset = 0;
  while (offset < size) {
    run.cancellation.check();
    if (run.services.beforeRead) run.services.beforeRead(path, offset);
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(size - offset, static_cast<std::uint64_t>(kReadChunkBytes)));
    const std::size_t got = readChunk(fd, offset, std::span(run.buffer).first(want));
    if (got == 0) {
      if (run.verificationFailed) run.verificationFailed({Stage::preparationEOF, {}});
      throw ContentFailure(Case::changed);
    }
    digest.update(std::span(run.buffer).first(got));
    offset += got;
  }
  return digest.hexOfCopy();
}

void enumerateNode(int fd, const std::string& path, const std::vector<std::string>& components,
                   std::int64_t root, const ContentUrl& url, Run& run) {
  run.cancellation.check();
  if (run.entries.size() > static_cast<std::size_t>(kMaxEntries - 1)) {
    throw ContentFailure(Case::entryLimit);
  }
  validatePath(path);
  if (!run.keys.insert(pathKey(path)).second) throw ContentFailure(Case::duplicatePath);

  const SourceStamp first = SourceStamp::ofDescriptor(fd);
  if (!first.isDirectory() && !first.isRegularFile()) throw ContentFailure(Case::unsupportedNode);
  if (!run.allowPackages && run.services.isPackage && run.services.isPackage(url)) {
    throw ContentFailure(Case::packageReview);
  }
  const bool directory = first.isDirectory();
  const std::uint64_t size =
      directory ? 0 : static_cast<std::uint64_t>(std::max<std::int64_t>(first.size, 0));
  if (size > kMaxFileBytes) throw ContentFailure(Case::sizeLimit);
  if (kMaxBatchBytes - run.totalBytes < size) throw ContentFailure(Case::sizeLimit);

  std::optional<std::string> digest;
  if (!directory) {
    digest = hashFile(fd, size, path, run);
    verifyStamp(first, SourceStamp::ofDescriptor(fd), Stage::preparationFile,
                run.verificationFailed);
    run.totalBytes += size;
  }

  run.entries.push_back(ContentEntry{
      .index = static_cast<std::int64_t>(run.entries.size()),
      .path = path,
      .directory = directory,
      .size = size,
      .modifiedUTC = iso8601Milliseconds(first.modifiedSeconds, first.modifiedNanos),
      .sha256 = digest,
  });
  run.sources.push_back(PreparedSource{root, components, first});
  if (!directory) return;

  UniqueFd listing(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!listing.valid()) throw ContentFailure(Case::access, errno);
  DIR* stream = ::fdopendir(listing.get());
  if (stream == nullptr) throw ContentFailure(Case::access, errno);
  listing.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);

  while (true) {
    errno = 0;
    const dirent* item = ::readdir(stream);
    if (item == nullptr) {
      if (errno != 0) throw ContentFailure(Case::access, errno);
      break;
    }
    const std::string name = item->d_name;
    if (!isValidUtf8(name)) throw ContentFailure(Case::invalidPath);
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      throw ContentFailure(Case::access, errno);
    }
    if (S_ISLNK(status.st_mode)) continue;  // links inside a folder are left out
    refuseUnlessFileOrFolder(status);
    const UniqueFd child = openNode(fd, name.c_str());
    std::vector<std::string> childComponents = components;
    childComponents.push_back(name);
    enumerateNode(child.get(), path + "/" + name, childComponents, root,
                  url.appending(name, S_ISDIR(status.st_mode)), run);
  }
  verifyStamp(first, SourceStamp::ofDescriptor(fd), Stage::preparationDirectory,
              run.verificationFailed);
}

void prepareRoot(const ContentUrl& handed, std::size_t index, Run& run) {
  run.cancellation.check();
  const ContentUrl& selected = run.access[index]->url();
  if (handed.standardized().path() != selected.standardized().path()) {
    if (run.verificationFailed) run.verificationFailed({Stage::providerRelocation, {}});
    throw ContentFailure(Case::changed);
  }
  struct stat status {};
  if (::lstat(handed.path().c_str(), &status) != 0) throw ContentFailure(Case::access, errno);
  refuseUnlessFileOrFolder(status);  // a selected symbolic link included
  const UniqueFd fd = openNode(AT_FDCWD, handed.path().c_str());
  run.roots.push_back(SourceStamp::ofDescriptor(fd.get()));
  enumerateNode(fd.get(), handed.lastPathComponent(), {}, static_cast<std::int64_t>(index), handed,
                run);
}

}  // namespace

std::size_t readChunk(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  while (true) {
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw ContentFailure(Case::access, errno);
  }
}

std::string iso8601Milliseconds(std::int64_t seconds, std::int64_t nanos) {
  // Normalise so that the fraction is in [0, 1 s), whatever sign the parts have.
  seconds += nanos / 1'000'000'000;
  nanos %= 1'000'000'000;
  if (nanos < 0) {
    nanos += 1'000'000'000;
    --seconds;
  }
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  ::gmtime_r(&time, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(nanos / 1'000'000));
  return text;
}

std::shared_ptr<PreparedBatch> prepareBatch(const std::vector<ContentUrl>& urls, bool allowPackages,
                                            ContentCancellation& cancellation,
                                            const PreparationServices& services,
                                            VerificationFailed verificationFailed) {
  if (urls.empty() || urls.size() > static_cast<std::size_t>(kMaxTopLevelItems)) {
    throw ContentFailure(Case::topLevelLimit);
  }
  Run run(allowPackages, cancellation, services, verificationFailed);
  run.access.reserve(urls.size());
  for (const auto& url : urls) run.access.push_back(services.access(url));

  for (std::size_t i = 0; i < urls.size(); ++i) {
    cancellation.check();
    const ContentUrl url = run.access[i]->url();
    if (!url.isFile()) throw ContentFailure(Case::access);
    const auto coordinator = services.coordinator();
    cancellation.registerCoordinator(coordinator);

    bool ran = false;
    std::exception_ptr outcome;
    const bool coordinated = coordinator->coordinateReading(url, [&](const ContentUrl& handed) {
      ran = true;
      try {
        prepareRoot(handed, i, run);
      } catch (...) {
        outcome = std::current_exception();
      }
    });
    const auto clearCoordinator = [&] {
      try {
        cancellation.registerCoordinator(nullptr);
      } catch (const ContentFailure&) {
      }
    };
    clearCoordinator();
    if (!coordinated) throw ContentFailure(Case::cloudUnavailable);
    if (outcome) std::rethrow_exception(outcome);
    if (!ran) throw ContentFailure(Case::cancelled);
  }

  validateManifest(run.entries, static_cast<std::int64_t>(urls.size()), run.totalBytes);
  checkDataSessionSize(run.entries);
  return std::make_shared<PreparedBatch>(
      core::Uuid::random(), std::move(run.entries), run.totalBytes,
      static_cast<std::int64_t>(run.access.size()), std::move(run.access), std::move(run.roots),
      std::move(run.sources), std::move(verificationFailed));
}

}  // namespace velmorine::transfer
