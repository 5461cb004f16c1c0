#include "Velmorine/transfer/receive_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <limits>
#include <optional>

#include "Velmorine/transfer/content_failure.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

template <typename Body>
std::optional<Case> failureOf(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

struct VolumeCase {
  const char* name;
  bool supported;
  bool readOnly;
  std::optional<std::uint64_t> available;
  std::uint64_t needed;
  std::optional<Case> failure;
};

void PrintTo(const VolumeCase& row, std::ostream* out) { *out << row.name; }

class VolumeRule : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(VolumeRule, DecidesByTypeWritabilityAndSpace) {
  const VolumeCase& row = GetParam();
  platform::VolumeStatus status;
  status.supported = row.supported;
  status.read_only = row.readOnly;
  status.available_bytes = row.available;
  EXPECT_EQ(failureOf([&] { checkVolumeStatus(status, row.needed); }), row.failure);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, VolumeRule,
    ::testing::Values(
        VolumeCase{"ExactlyNeededPlusMargin", true, false, 5000 + kMiB, 5000, std::nullopt},
        VolumeCase{"OneByteShort", true, false, 5000 + kMiB - 1, 5000, Case::diskSpace},
        VolumeCase{"NothingNeededExactlyMargin", true, false, kMiB, 0, std::nullopt},
        VolumeCase{"NothingNeededMarginShort", true, false, kMiB - 1, 0, Case::diskSpace},
        VolumeCase{"LessThanNeeded", true, false, 100, 5000, Case::diskSpace},
        VolumeCase{"HugeNeed", true, false, kMax, kMax, Case::diskSpace},
        VolumeCase{"HugeNeedJustFits", true, false, kMax, kMax - kMiB, std::nullopt},
        VolumeCase{"SpaceBeyond64Bits", true, false, std::nullopt, 0, Case::diskSpace},
        VolumeCase{"ReadOnly", true, true, kMax, 0, Case::access},
        VolumeCase{"Unsupported", false, false, kMax, 0, Case::unsupportedVolume},
        VolumeCase{"UnsupportedBeforeReadOnly", false, true, 0, 0, Case::unsupportedVolume}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(CheckVolume, ABadDescriptorIsAnAccessFailure) {
  EXPECT_EQ(failureOf([] { checkVolume(-1, 0); }), Case::access);
}

class ReceivedFolder : public ::testing::Test {
 protected:
  testing::ReceiveFolder destination;
  void SetUp() override {
    if (!destination.usable()) GTEST_SKIP() << destination.why();
  }
};

TEST_F(ReceivedFolder, IsMadePrivateOnceAndReusedAsItIs) {
  const ContentUrl url = ContentUrl::file(destination.path(), true);
  const ContentUrl received = makeReceivedFolder(url);
  EXPECT_EQ(received, url.appending("Received", true));
  EXPECT_EQ(testing::lstatOf(destination / "Received").st_mode & 07777, 0700u);
  ASSERT_EQ(::chmod((destination / "Received").c_str(), 0750), 0);
  EXPECT_EQ(makeReceivedFolder(url), received);
  EXPECT_EQ(testing::lstatOf(destination / "Received").st_mode & 07777, 0750u);
}

TEST_F(ReceivedFolder, ALinkOrAFileInItsPlaceIsRefused) {
  std::filesystem::create_directories(destination / "a/elsewhere");
  std::filesystem::create_directory_symlink(destination / "a/elsewhere",
                                            destination / "a/Received");
  EXPECT_EQ(failureOf([&] { makeReceivedFolder(ContentUrl::file(destination / "a", true)); }),
            Case::access);
  std::filesystem::create_directories(destination / "b");
  testing::writeFile(destination / "b/Received", "file");
  EXPECT_EQ(failureOf([&] { makeReceivedFolder(ContentUrl::file(destination / "b", true)); }),
            Case::access);
  EXPECT_EQ(failureOf([&] { makeReceivedFolder(ContentUrl::file(destination / "none", true)); }),
            Case::access);
}

// Real mounts of file systems that cannot hold a receive.
struct ForeignMount {
  const char* name;
  const char* type;
  unsigned long flags;
  Case failure;
};

void PrintTo(const ForeignMount& row, std::ostream* out) { *out << row.name; }

class ForeignMounts : public ::testing::TestWithParam<ForeignMount> {};

TEST_P(ForeignMounts, AreRefused_NeedsRootAndNamespaces) {
  testing::TemporaryFolder folder;
  std::string why;
  const bool ran = testing::in_private_mounts(
      [&] {
        const auto where = folder / "mnt";
        if (!testing::mount_here(GetParam().type, where, "", 0, why)) return;
        if (GetParam().flags != 0 &&
            ::mount(nullptr, where.c_str(), nullptr, MS_REMOUNT | GetParam().flags, nullptr) != 0) {
          why = "cannot remount read-only";
          return;
        }
        platform::UniqueFd fd(::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(fd.valid());
        EXPECT_EQ(failureOf([&] { checkVolume(fd.get(), 0); }), GetParam().failure);
      },
      why);
  if (!ran || !why.empty()) GTEST_SKIP() << why;
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, ForeignMounts,
    ::testing::Values(ForeignMount{"ReadOnlyTmpfs", "tmpfs", MS_RDONLY, Case::access},
                      ForeignMount{"Ramfs", "ramfs", 0, Case::unsupportedVolume},
                      ForeignMount{"Procfs", "proc", 0, Case::unsupportedVolume}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace velmorine::transfer
