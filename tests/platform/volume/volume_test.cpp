#include "platform/volume/volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/files/unique_fd.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

struct FileSystemCase {
  const char* name;
  std::uint64_t magic;
  bool supported;
};

class VolumeAllowList : public ::testing::TestWithParam<FileSystemCase> {};

TEST_P(VolumeAllowList, OnlyLocalFileSystemsWithExclusiveRenameQualify) {
  EXPECT_EQ(is_supported_file_system(GetParam().magic), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VolumeAllowList,
    ::testing::Values(
        FileSystemCase{"ext4", 0xEF53, true}, FileSystemCase{"xfs", 0x58465342, true},
        FileSystemCase{"btrfs", 0x9123683E, true}, FileSystemCase{"f2fs", 0xF2F52010, true},
        FileSystemCase{"tmpfs", 0x01021994, true}, FileSystemCase{"ramfs", 0x858458F6, false},
        FileSystemCase{"proc", 0x9FA0, false}, FileSystemCase{"nfs", 0x6969, false},
        FileSystemCase{"fuse", 0x65735546, false}, FileSystemCase{"vfat", 0x4D44, false},
        FileSystemCase{"exfat", 0x2011BAB0, false}, FileSystemCase{"cifs", 0xFF534D42, false},
        FileSystemCase{"overlayfs", 0x794C7630, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VolumeStatus, ReportsTheFolderVolumeAndRefusesABadDescriptor) {
  testing::TemporaryFolder folder;
  UniqueFd fd(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  const VolumeStatus status = volume_status(fd.get());
  EXPECT_EQ(status.supported, is_supported_file_system(status.type));
  EXPECT_FALSE(status.read_only);
  EXPECT_TRUE(status.available_bytes.has_value());

  try {
    volume_status(-1);
    FAIL() << "a bad descriptor has no volume";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EBADF);
  }
}

// The lookup follows by-uuid links to block device nodes; mknod needs root.
TEST(VolumeUuid, FindsTheLinkThatLeadsToTheDevice_NeedsRoot) {
  testing::TemporaryFolder folder;
  const auto devices = folder / "dev";
  const auto by_uuid = folder / "by-uuid";
  std::filesystem::create_directories(devices);
  std::filesystem::create_directories(by_uuid);
  const dev_t disk = makedev(7, 201);
  const dev_t other = makedev(7, 202);
  if (::mknod((devices / "disk").c_str(), S_IFBLK | 0600, disk) != 0 ||
      ::mknod((devices / "other").c_str(), S_IFBLK | 0600, other) != 0) {
    GTEST_SKIP() << "needs root (CAP_MKNOD) to make block device nodes: " << std::strerror(errno);
  }
  std::filesystem::create_symlink(devices / "disk", by_uuid / "4f6c-a1b2");
  std::filesystem::create_symlink(devices / "other", by_uuid / "not a uuid");
  std::filesystem::create_symlink(devices / "missing", by_uuid / "0000-0000");

  EXPECT_EQ(volume_uuid_of_device(disk, by_uuid), "4f6c-a1b2");
  EXPECT_EQ(volume_uuid_of_device(other, by_uuid), std::nullopt);  // its link is not a UUID name
  EXPECT_EQ(volume_uuid_of_device(makedev(7, 203), by_uuid), std::nullopt);
  EXPECT_EQ(volume_uuid_of_device(disk, folder / "absent"), std::nullopt);
}

}  // namespace
}  // namespace velmorine::platform
