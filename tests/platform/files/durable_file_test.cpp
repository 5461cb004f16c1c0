#include "platform/files/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

std::string read_text(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

mode_t mode_of(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0);
  return status.st_mode;
}

void replace(const std::filesystem::path& folder, const std::string& name, std::string_view text) {
  UniqueFd fd = open_folder(folder);
  ASSERT_TRUE(fd.valid());
  replace_file_durably(fd.get(), name, std::as_bytes(std::span(text)));
}

TEST(DurableFile, ReplacesContentWithPrivateFileAndLeavesNoTemporary) {
  testing::TemporaryFolder folder;
  const mode_t old_mask = ::umask(0277);  // a narrow umask must not leave the owner without write
  replace(folder.path(), "doc", "first");
  replace(folder.path(), "doc", "second, longer");
  ::umask(old_mask);
  EXPECT_EQ(read_text(folder / "doc"), "second, longer");
  EXPECT_EQ(mode_of(folder / "doc") & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(folder / temporary_name_for("doc")));
}

TEST(DurableFile, StaleTemporaryOrPlantedLinkIsRemovedNotFollowed) {
  testing::TemporaryFolder folder;
  std::ofstream(folder / "victim") << "keep";
  std::filesystem::create_symlink(folder / "victim", folder / temporary_name_for("doc"));
  replace(folder.path(), "doc", "new");
  EXPECT_EQ(read_text(folder / "victim"), "keep");
  EXPECT_EQ(read_text(folder / "doc"), "new");
}

TEST(DurableFile, LinkAtTheNameIsReplacedItselfNotItsTarget) {
  testing::TemporaryFolder folder;
  std::ofstream(folder / "victim") << "keep";
  std::filesystem::create_symlink(folder / "victim", folder / "doc");
  replace(folder.path(), "doc", "new");
  EXPECT_EQ(read_text(folder / "victim"), "keep");
  EXPECT_TRUE(S_ISREG(mode_of(folder / "doc")));
}

TEST(DurableFile, FailedRenameKeepsOldContentAndRemovesTemporary) {
  testing::TemporaryFolder folder;
  std::filesystem::create_directory(folder / "doc");  // a folder cannot be replaced by a file
  std::ofstream(folder / "doc" / "inside") << "x";
  UniqueFd fd = open_folder(folder.path());
  const std::string text = "new";
  EXPECT_THROW(replace_file_durably(fd.get(), "doc", std::as_bytes(std::span(text))),
               std::system_error);
  EXPECT_TRUE(std::filesystem::is_directory(folder / "doc"));
  EXPECT_FALSE(std::filesystem::exists(folder / temporary_name_for("doc")));
}

TEST(DurableFile, CreatesMissingFoldersPrivate) {
  testing::TemporaryFolder folder;
  const auto nested = folder / "a" / "b" / "c";
  create_private_folders(nested);
  create_private_folders(nested);  // existing folders are fine
  for (const auto& path : {folder / "a", folder / "a" / "b", nested}) {
    EXPECT_EQ(mode_of(path) & 07777, 0700u) << path;
  }
  std::ofstream(folder / "file") << "x";
  EXPECT_THROW(create_private_folders(folder / "file" / "below"), std::system_error);
}

}  // namespace
}  // namespace velmorine::platform
