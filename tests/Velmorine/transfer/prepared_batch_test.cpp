#include "Velmorine/transfer/prepared_batch.h"

#include <gtest/gtest.h>

namespace velmorine::transfer {
namespace {

ContentEntry folderEntry(std::int64_t index, std::string path) {
  return {index, std::move(path), true, 0, "2024-05-01T10:20:30.000Z", std::nullopt};
}

TEST(PreparedBatch, NoBookmarkForFoldersOrIndexesOutOfRange) {
  // The root does not exist: a bookmark that touched the file system would throw.
  std::vector<std::unique_ptr<ScopedContentAccess>> access;
  access.push_back(std::make_unique<ScopedContentAccess>(
      ContentUrl::file("/nonexistent/velmorine/Photos", true), false, nullptr));
  const auto batch = std::make_shared<PreparedBatch>(
      core::Uuid::random(), std::vector<ContentEntry>{folderEntry(0, "Photos")}, 0, 1,
      std::move(access), std::vector<SourceStamp>{SourceStamp{}},
      std::vector<PreparedSource>{PreparedSource{}}, nullptr);
  EXPECT_EQ(batch->sourceBookmark(0), std::nullopt);
  EXPECT_EQ(batch->sourceBookmark(-1), std::nullopt);
  EXPECT_EQ(batch->sourceBookmark(1), std::nullopt);
}

TEST(SourceVerificationFailure, StagesHaveTheirCaseNamesAsRawValues) {
  using Stage = SourceVerificationFailure::Stage;
  EXPECT_EQ(rawValue(Stage::preparationEOF), "preparationEOF");
  EXPECT_EQ(rawValue(Stage::providerRelocation), "providerRelocation");
  EXPECT_EQ(rawValue(Stage::reopenDescendant), "reopenDescendant");
  EXPECT_EQ(rawValue(Stage::readEOF), "readEOF");
}

}  // namespace
}  // namespace velmorine::transfer
