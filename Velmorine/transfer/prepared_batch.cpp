#include "Velmorine/transfer/prepared_batch.h"

#include <array>
#include <utility>

#include "platform/bookmarks/bookmarks.h"

namespace velmorine::transfer {

namespace {

using Stage = SourceVerificationFailure::Stage;

constexpr std::array<std::pair<Stage, std::string_view>, 10> kStageNames = {{
    {Stage::preparationEOF, "preparationEOF"},
    {Stage::preparationFile, "preparationFile"},
    {Stage::preparationDirectory, "preparationDirectory"},
    {Stage::providerRelocation, "providerRelocation"},
    {Stage::reopenRoot, "reopenRoot"},
    {Stage::reopenDescendant, "reopenDescendant"},
    {Stage::reopenFile, "reopenFile"},
    {Stage::readMetadata, "readMetadata"},
    {Stage::readDigest, "readDigest"},
    {Stage::readEOF, "readEOF"},
}};

}  // namespace

std::string_view rawValue(SourceVerificationFailure::Stage stage) {
  for (const auto& [candidate, name] : kStageNames) {
    if (candidate == stage) return name;
  }
  return "readMetadata";
}

PreparedBatch::PreparedBatch(core::Uuid id, std::vector<ContentEntry> entries,
                             std::uint64_t totalBytes, std::int64_t topLevelCount,
                             std::vector<std::unique_ptr<ScopedContentAccess>> access,
                             std::vector<SourceStamp> roots, std::vector<PreparedSource> sources,
                             VerificationFailed verificationFailed)
    : id_(id),
      entries_(std::move(entries)),
      totalBytes_(totalBytes),
      topLevelCount_(topLevelCount),
      access_(std::move(access)),
      roots_(std::move(roots)),
      sources_(std::move(sources)),
      verificationFailed_(std::move(verificationFailed)) {}

void PreparedBatch::verificationFailed(const SourceVerificationFailure& failure) const {
  if (verificationFailed_) verificationFailed_(failure);
}

std::optional<std::vector<std::uint8_t>> PreparedBatch::sourceBookmark(std::int64_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return std::nullopt;
  const auto position = static_cast<std::size_t>(index);
  if (entries_[position].directory) return std::nullopt;
  const PreparedSource& source = sources_.at(position);
  ContentUrl url = access(static_cast<std::size_t>(source.root)).url();
  for (const auto& component : source.relative) url = url.appending(component, false);
  return platform::create_bookmark(url.path(), /*read_only=*/true);
}

PreparedReader::PreparedReader(platform::UniqueFd fd, SourceStamp stamp, ContentEntry entry,
                               std::shared_ptr<PreparedBatch> owner)
    : fd_(std::move(fd)), stamp_(stamp), entry_(std::move(entry)), owner_(std::move(owner)) {}

}  // namespace velmorine::transfer
