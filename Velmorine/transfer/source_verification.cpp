#include "Velmorine/transfer/source_verification.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_preparation.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;
using Stage = SourceVerificationFailure::Stage;
using platform::UniqueFd;

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

[[noreturn]] void failVerification(const PreparedBatch& batch, Stage stage,
                                   std::vector<std::string> fields = {}) {
  batch.verificationFailed({stage, std::move(fields)});
  throw ContentFailure(Case::changed);
}

}  // namespace

void verifyStamp(const SourceStamp& expected, const SourceStamp& actual, Stage stage,
                 const VerificationFailed& verificationFailed) {
  if (expected == actual) return;
  if (verificationFailed) verificationFailed({stage, differingFields(expected, actual)});
  throw ContentFailure(Case::changed);
}

std::string verificationFailureLine(const SourceVerificationFailure& failure) {
  std::string fields;
  for (const auto& field : failure.fields) {
    if (!fields.empty()) fields.push_back(',');
    fields += field;
  }
  return "Velmorine: source verification failed (" + std::string(rawValue(failure.stage)) +
         "; fields=" + fields + ")";
}

void logVerificationFailure(const SourceVerificationFailure& failure) {
  ::syslog(LOG_WARNING, "%s", verificationFailureLine(failure).c_str());
}

std::unique_ptr<PreparedReader> PreparedBatch::openReader(std::int64_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= entries_.size() ||
      entries_[static_cast<std::size_t>(index)].directory) {
    throw ContentFailure(Case::invalidManifest);
  }
  const auto position = static_cast<std::size_t>(index);
  const PreparedSource& source = sources_.at(position);
  const auto root = static_cast<std::size_t>(source.root);
  const ContentUrl& rootUrl = access(root).url();
  const SourceStamp& rootStamp = roots_.at(root);

  // Nothing but a regular file is opened as the file, and nothing but a folder as a folder above
  // it, so a FIFO or device put in a source's place is never opened.
  struct stat status {};
  if (::lstat(rootUrl.path().c_str(), &status) != 0) throw ContentFailure(Case::access, errno);
  const bool rootIsFile = source.relative.empty();
  if (rootIsFile ? !S_ISREG(status.st_mode) : !S_ISDIR(status.st_mode)) {
    failVerification(*this, Stage::reopenRoot, differingFields(rootStamp, SourceStamp::of(status)));
  }
  UniqueFd current(::open(rootUrl.path().c_str(), kReadFlags));
  if (!current.valid()) throw ContentFailure(Case::access, errno);
  verifyStamp(rootStamp, SourceStamp::ofDescriptor(current.get()), Stage::reopenRoot,
              verificationFailed_);

  for (std::size_t i = 0; i < source.relative.size(); ++i) {
    const char* name = source.relative[i].c_str();
    const bool last = i + 1 == source.relative.size();
    if (last) {
      if (::fstatat(current.get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        failVerification(*this, Stage::reopenDescendant);
      }
      if (!S_ISREG(status.st_mode)) {
        failVerification(*this, Stage::reopenFile,
                         differingFields(source.stamp, SourceStamp::of(status)));
      }
    }
    UniqueFd next(::openat(current.get(), name, last ? kReadFlags : kReadFlags | O_DIRECTORY));
    if (!next.valid()) failVerification(*this, Stage::reopenDescendant);
    current = std::move(next);
  }
  verifyStamp(source.stamp, SourceStamp::ofDescriptor(current.get()), Stage::reopenFile,
              verificationFailed_);
  return std::make_unique<PreparedReader>(std::move(current), source.stamp, entries_[position],
                                          shared_from_this());
}

std::optional<std::vector<std::uint8_t>> PreparedReader::next(
    const ContentCancellation& cancellation) {
  cancellation.check();
  const VerificationFailed report = [this](const SourceVerificationFailure& failure) {
    owner_->verificationFailed(failure);
  };
  verifyStamp(stamp_, SourceStamp::ofDescriptor(fd_.get()), Stage::readMetadata, report);
  if (offset_ < entry_.size) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(
        entry_.size - offset_, static_cast<std::uint64_t>(kReadChunkBytes)));
    std::vector<std::uint8_t> chunk(want);
    const std::size_t got = readChunk(fd_.get(), offset_, chunk);
    if (got == 0) failVerification(*owner_, SourceVerificationFailure::Stage::readEOF);
    chunk.resize(got);
    hash_.update(chunk);
    offset_ += got;
    return chunk;
  }
  if (entry_.sha256 != hash_.hexOfCopy()) {
    failVerification(*owner_, SourceVerificationFailure::Stage::readDigest);
  }
  return std::nullopt;
}

}  // namespace velmorine::transfer
