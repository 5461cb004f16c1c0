#include "Velmorine/library/received_listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "Velmorine/transfer/content_failure.h"
#include "tests/Velmorine/library/library_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {
namespace {

using namespace testing;
using transfer::ContentFailure;
using Case = ContentFailure::Case;

Case failureOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
  ADD_FAILURE() << "no failure";
  return Case::cancelled;
}

class ReceivedListing : public ::testing::Test {
 protected:
  ReceivedListing() { std::filesystem::create_directories(container()); }

  std::filesystem::path container() const { return folder / "Velmorine-c"; }
  ReceivedAccess open() const {
    return ReceivedAccess(platform::create_bookmark(container(), false));
  }
  void files(int count, const std::string& below = "") {
    for (int i = 0; i < count; ++i) {
      writeText(container() / below / ("f" + std::to_string(i)), "x");
    }
  }
  std::set<std::string> names(const ReceivedPage& page) const {
    std::set<std::string> listed;
    for (const auto& node : page.nodes) listed.insert(node.name);
    return listed;
  }

  velmorine::testing::TemporaryFolder folder;
};

struct PageCase {
  int entries;
  std::int64_t offset;
  std::int64_t limit;
  std::size_t listed;
  bool hasMore;
};

class ReceivedListingPages : public ReceivedListing,
                             public ::testing::WithParamInterface<PageCase> {};

TEST_P(ReceivedListingPages, CountsOnlyListableEntries) {
  files(GetParam().entries);
  const auto page = list(open(), {}, GetParam().offset, GetParam().limit);
  EXPECT_EQ(page.nodes.size(), GetParam().listed);
  EXPECT_EQ(page.hasMore, GetParam().hasMore);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceivedListingPages,
    ::testing::Values(PageCase{200, 0, 200, 200, false}, PageCase{201, 0, 200, 200, true},
                      PageCase{201, 200, 200, 1, false}, PageCase{5, 5, 200, 0, false},
                      PageCase{5, 99, 200, 0, false}, PageCase{5, 0, 1, 1, true},
                      PageCase{1001, 0, 1000, 1000, true}));

TEST_F(ReceivedListing, PagesTogetherListEveryEntryOnce) {
  files(450);
  const auto access = open();
  std::set<std::string> seen;
  for (std::int64_t offset = 0;; offset += 200) {
    const auto page = list(access, {}, offset, 200);
    for (const auto& node : page.nodes) EXPECT_TRUE(seen.insert(node.name).second);
    if (!page.hasMore) break;
  }
  EXPECT_EQ(seen.size(), 450u);
}

TEST_F(ReceivedListing, RefusesLimitsOutsideOneToThousandAndNegativeOffsets) {
  files(1);
  const auto access = open();
  for (std::int64_t limit : {0, 1001, -1}) {
    EXPECT_EQ(failureOf([&] { list(access, {}, 0, limit); }), Case::entryLimit) << limit;
  }
  EXPECT_EQ(failureOf([&] { list(access, {}, -1, 10); }), Case::entryLimit);
  EXPECT_EQ(list(access, {}, 0, 1).nodes.size(), 1u);
  EXPECT_EQ(list(access, {}, 0, 1000).nodes.size(), 1u);
}

TEST_F(ReceivedListing, NodesCarryTheirPathKindSizeAndStamp) {
  writeText(container() / "docs" / "note.txt", "hello");
  const auto access = open();
  const auto top = list(access, {}, 0, 10);
  ASSERT_EQ(top.nodes.size(), 1u);
  EXPECT_TRUE(top.nodes[0].directory);
  EXPECT_EQ(top.nodes[0].id(), "docs");
  const auto inner = list(access, {"docs"}, 0, 10);
  ASSERT_EQ(inner.nodes.size(), 1u);
  EXPECT_EQ(inner.nodes[0].id(), "docs/note.txt");
  EXPECT_EQ(inner.nodes[0].size, 5u);
  EXPECT_EQ(inner.nodes[0], fileNode(access, {"docs", "note.txt"}));
}

TEST_F(ReceivedListing, LinksAreNeitherListedNorFollowed) {
  writeText(folder / "outside" / "secret.txt", "secret");
  std::filesystem::create_directory_symlink(folder / "outside", container() / "out");
  std::filesystem::create_symlink(folder / "outside" / "secret.txt", container() / "secret.txt");
  files(1);
  const auto access = open();
  EXPECT_EQ(names(list(access, {}, 0, 10)), (std::set<std::string>{"f0"}));
  EXPECT_EQ(failureOf([&] { list(access, {"out"}, 0, 10); }), Case::access);
  EXPECT_EQ(failureOf([&] { fileNode(access, {"secret.txt"}); }), Case::access);
  EXPECT_EQ(failureOf([&] { fileNode(access, {"out", "secret.txt"}); }), Case::access);
}

TEST_F(ReceivedListing, RefusesComponentsThatLeaveTheFolder) {
  files(1, "sub");
  const auto access = open();
  for (const std::vector<std::string>& components : std::vector<std::vector<std::string>>{
           {".."}, {"."}, {""}, {"a/b"}, {"sub", ".."}, {std::string("f\0", 2)}}) {
    EXPECT_EQ(failureOf([&] { list(access, components, 0, 10); }), Case::invalidPath);
  }
  EXPECT_EQ(failureOf([&] { fileNode(access, {}); }), Case::invalidPath);
  EXPECT_EQ(failureOf([&] { fileNode(access, {".."}); }), Case::invalidPath);
}

TEST_F(ReceivedListing, PipesAndSocketsAreSkippedAndNoFileNode) {
  ASSERT_EQ(::mkfifo((container() / "pipe").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (container() / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  files(1);
  const auto access = open();
  EXPECT_EQ(names(list(access, {}, 0, 10)), (std::set<std::string>{"f0"}));
  // Opening a pipe without a writer must not block: it is opened non-blocking and refused.
  EXPECT_EQ(failureOf([&] { fileNode(access, {"pipe"}); }), Case::unsupportedNode);
  EXPECT_EQ(failureOf([&] { fileNode(access, {"socket"}); }), Case::access);
  ::close(sock);
}

TEST_F(ReceivedListing, ANameThatIsNotUtf8IsInvalid) {
  writeText(container() / std::string("bad\xff"), "x");
  EXPECT_EQ(failureOf([&] { list(open(), {}, 0, 10); }), Case::invalidPath);
}

TEST_F(ReceivedListing, ReadsAListedFileUpToItsLimit) {
  writeText(container() / "a.txt", "12345");
  const auto access = open();
  const auto node = fileNode(access, {"a.txt"});
  EXPECT_EQ(readFile(access, node, 5), (Bytes{'1', '2', '3', '4', '5'}));
  EXPECT_EQ(failureOf([&] { readFile(access, node, 4); }), Case::sizeLimit);
  const auto top = list(access, {}, 0, 10);
  std::filesystem::create_directory(container() / "d");
  const auto folderNode = list(access, {}, 0, 10);
  for (const auto& listed : folderNode.nodes) {
    if (listed.directory) {
      EXPECT_EQ(failureOf([&] { readFile(access, listed, 1000); }), Case::sizeLimit);
    }
  }
}

struct ChangeCase {
  const char* name;
  std::function<void(const std::filesystem::path&)> change;
  Case failure;
};

class ReceivedListingChanges : public ReceivedListing,
                               public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ReceivedListingChanges, AFileChangedSinceListedIsRefused) {
  writeText(container() / "a.txt", "12345");
  const auto access = open();
  const auto node = fileNode(access, {"a.txt"});
  GetParam().change(container() / "a.txt");
  EXPECT_EQ(failureOf([&] { readFile(access, node, 1000); }), GetParam().failure);
  EXPECT_EQ(failureOf([&] { access.verifiedURL(node); }), GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceivedListingChanges,
    ::testing::Values(ChangeCase{"sameSizeNewTime",
                                 [](const std::filesystem::path& file) {
                                   struct timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
                                   ::utimensat(AT_FDCWD, file.c_str(), times, 0);
                                 },
                                 Case::changed},
                      ChangeCase{"grown",
                                 [](const std::filesystem::path& file) {
                                   std::ofstream(file, std::ios::app) << "6";
                                 },
                                 Case::changed},
                      ChangeCase{"replaced",
                                 [](const std::filesystem::path& file) {
                                   std::filesystem::remove(file);
                                   writeText(file, "12345");
                                 },
                                 Case::changed},
                      ChangeCase{"replacedByLink",
                                 [](const std::filesystem::path& file) {
                                   std::filesystem::remove(file);
                                   std::filesystem::create_symlink("/etc/hostname", file);
                                 },
                                 Case::access},
                      ChangeCase{
                          "removed",
                          [](const std::filesystem::path& file) { std::filesystem::remove(file); },
                          Case::access}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(ReceivedListing, AMovedContainerIsNoLongerVerified) {
  files(1);
  const auto access = open();
  EXPECT_EQ(access.verifiedURL(std::nullopt).path(), container());
  std::filesystem::rename(container(), folder / "elsewhere");
  std::filesystem::create_directory(container());
  EXPECT_EQ(failureOf([&] { access.verifiedURL(std::nullopt); }), Case::changed);
}

}  // namespace
}  // namespace velmorine::library
