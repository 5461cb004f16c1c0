#include "Velmorine/transfer/received_access.h"

#include <gtest/gtest.h>

#include <optional>
#include <system_error>

#include "Velmorine/transfer/content_failure.h"
#include "platform/bookmarks/bookmarks.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;

template <typename Body>
std::optional<Case> failureOf(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

const platform::VolumeUuidLookup kNoUuid = [](dev_t) { return std::optional<std::string>(); };

class Container : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  std::filesystem::path container = folder / "Velmorine-x";
  std::optional<ReceivedAccess> access;

  void SetUp() override {
    std::filesystem::create_directories(container / "sub");
    testing::writeFile(container / "sub/file.txt", "content");
    std::filesystem::create_directory_symlink(container / "sub", container / "link");
    access.emplace(platform::create_bookmark(container, false, kNoUuid), kNoUuid);
  }

  ReceivedNode listed(const std::vector<std::string>& components) const {
    std::filesystem::path path = container;
    for (const auto& component : components) path /= component;
    const struct stat status = testing::lstatOf(path);
    return {components.back(), components, S_ISDIR(status.st_mode),
            static_cast<std::uint64_t>(status.st_size), SourceStamp::of(status)};
  }
};

TEST_F(Container, OpensNodesBelowItWithoutFollowingLinks) {
  EXPECT_EQ(access->url(), ContentUrl::file(container, true));
  const auto file = access->open({"sub", "file.txt"}, false);
  EXPECT_EQ(SourceStamp::ofDescriptor(file.get()), listed({"sub", "file.txt"}).stamp);
  const auto self = access->open({}, true);
  EXPECT_NE(self.get(), access->root());
  EXPECT_EQ(SourceStamp::ofDescriptor(self.get()), access->rootStamp());

  EXPECT_EQ(failureOf([&] { access->open({"link", "file.txt"}, false); }), Case::access);
  EXPECT_EQ(failureOf([&] { access->open({"link"}, true); }), Case::access);
  EXPECT_EQ(failureOf([&] { access->open({"sub", "file.txt"}, true); }), Case::access);
  EXPECT_EQ(failureOf([&] { access->open({"missing"}, false); }), Case::access);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{".."},
                                              {"sub", "."},
                                              {""},
                                              {"sub/file.txt"},
                                              {std::string("a\0b", 3)}}) {
    EXPECT_EQ(failureOf([&] { access->open(bad, false); }), Case::invalidPath);
  }
}

TEST_F(Container, VerifiedUrlsLeadToTheListedNodes) {
  EXPECT_EQ(access->verifiedURL(std::nullopt), access->url());
  EXPECT_EQ(access->verifiedURL(listed({"sub", "file.txt"})),
            ContentUrl::file(container / "sub/file.txt"));
  EXPECT_EQ(access->verifiedURL(listed({"sub"})).text(),
            ContentUrl::file(container / "sub", true).text());
}

TEST_F(Container, AFileReplacedAfterListingIsChanged) {
  const ReceivedNode node = listed({"sub", "file.txt"});
  testing::writeFile(container / "sub/new", "content");
  std::filesystem::rename(container / "sub/new", container / "sub/file.txt");
  EXPECT_EQ(failureOf([&] { access->verifiedURL(node); }), Case::changed);
}

TEST_F(Container, ARenamedContainerIsChangedEvenForItself) {
  std::filesystem::rename(container, folder / "renamed");
  EXPECT_EQ(failureOf([&] { access->verifiedURL(std::nullopt); }), Case::changed);
  // Another folder now at the old path is not the container either.
  std::filesystem::create_directories(container);
  EXPECT_EQ(failureOf([&] { access->verifiedURL(std::nullopt); }), Case::changed);
}

TEST_F(Container, BookmarksThatNoLongerLeadToTheContainer) {
  const auto bookmark = platform::create_bookmark(container, false, kNoUuid);
  std::filesystem::create_directories(folder / "replacement");
  std::filesystem::rename(container, folder / "old");
  std::filesystem::rename(folder / "replacement", container);
  EXPECT_EQ(failureOf([&] { ReceivedAccess again(bookmark, kNoUuid); }), Case::access);
  std::filesystem::remove_all(container);
  EXPECT_THROW(ReceivedAccess(bookmark, kNoUuid), std::system_error);
  EXPECT_THROW(ReceivedAccess(std::vector<std::uint8_t>{1, 2, 3}, kNoUuid),
               platform::BookmarkDataError);
}

}  // namespace
}  // namespace velmorine::transfer
