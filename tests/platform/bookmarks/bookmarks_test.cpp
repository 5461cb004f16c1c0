#include "platform/bookmarks/bookmarks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

// Offset of the 64-bit device number in the record: magic (8) and flags (1).
constexpr std::size_t kDeviceOffset = 9;

VolumeUuidLookup fixedUuid(std::optional<std::string> uuid) {
  return [uuid](dev_t) { return uuid; };
}

void touch(const std::filesystem::path& path) { std::ofstream(path) << "x"; }

class BookmarkTest : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  std::filesystem::path item = folder / "item";
  void SetUp() override { touch(item); }
};

TEST_F(BookmarkTest, ResolvesToTheSameItemUntilItIsReplaced) {
  const auto data = create_bookmark(item, /*read_only=*/true, fixedUuid(std::nullopt));
  ResolvedBookmark resolved = resolve_bookmark(data, fixedUuid(std::nullopt));
  EXPECT_EQ(resolved.path, item);
  EXPECT_FALSE(resolved.stale);
  EXPECT_TRUE(resolved.read_only);

  // Another file renamed over the name has another inode (made first, so it cannot reuse it).
  touch(folder / "replacement");
  std::filesystem::rename(folder / "replacement", item);
  EXPECT_TRUE(resolve_bookmark(data, fixedUuid(std::nullopt)).stale);
}

TEST_F(BookmarkTest, AMovedItemCannotBeResolved) {
  const auto data = create_bookmark(item, false, fixedUuid(std::nullopt));
  std::filesystem::rename(item, folder / "moved");
  try {
    resolve_bookmark(data, fixedUuid(std::nullopt));
    FAIL() << "the bookmarked path leads nowhere";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
}

TEST_F(BookmarkTest, VolumeUuidIdentifiesTheVolumeWhenItsDeviceNumberChanged) {
  auto data = create_bookmark(item, false, fixedUuid("4f6c-a1b2"));
  data[kDeviceOffset] ^= 0x5A;  // as after mounting the volume anew
  EXPECT_FALSE(resolve_bookmark(data, fixedUuid("4f6c-a1b2")).stale);
  EXPECT_TRUE(resolve_bookmark(data, fixedUuid("0000-1111")).stale);
  EXPECT_TRUE(resolve_bookmark(data, fixedUuid(std::nullopt)).stale);

  auto withoutUuid = create_bookmark(item, false, fixedUuid(std::nullopt));
  withoutUuid[kDeviceOffset] ^= 0x5A;
  EXPECT_TRUE(resolve_bookmark(withoutUuid, fixedUuid("4f6c-a1b2")).stale);
}

TEST_F(BookmarkTest, ARelativePathIsRefused) {
  EXPECT_THROW(create_bookmark("relative/item", false, fixedUuid(std::nullopt)), std::system_error);
}

TEST_F(BookmarkTest, ForeignBytesAreRefused) {
  const auto good = create_bookmark(item, false, fixedUuid("4f6c"));
  std::vector<std::vector<std::uint8_t>> broken;
  broken.push_back({});
  broken.emplace_back(good.begin(), good.end() - 1);  // cut short
  auto trailing = good;
  trailing.push_back(0);
  broken.push_back(trailing);
  auto magic = good;
  magic[0] = 'X';
  broken.push_back(magic);
  auto flags = good;
  flags[8] |= 0x80;
  broken.push_back(flags);
  auto relative = good;
  relative[8 + 1 + 16 + 4] = 'x';  // the path's first byte, no longer "/"
  broken.push_back(relative);
  auto noUuid = good;
  noUuid[8] &= static_cast<std::uint8_t>(~2);  // says no UUID but carries one
  broken.push_back(noUuid);
  for (std::size_t i = 0; i < broken.size(); ++i) {
    EXPECT_THROW(resolve_bookmark(broken[i], fixedUuid(std::nullopt)), BookmarkDataError) << i;
  }
}

TEST(SecurityScopedAccess, StartsAndStopsWithoutASandbox) {
  EXPECT_TRUE(start_security_scoped_access("/any/path"));
  stop_security_scoped_access("/any/path");
}

}  // namespace
}  // namespace velmorine::platform
